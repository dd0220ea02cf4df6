// Calls into the program's multi-string functions with today's signatures.
// Lists live in LocalAlloc blocks of exactly their byte count, so that a
// read past the count is caught by AddressSanitizer.
#include "multi_string_adapter.h"

#include <cstring>

#include "common/multisz_view.h"
#include "device/device.h"
#include "registry/registry.h"
#include "winsim/machine.h"

namespace fuzz {

namespace {

WCHAR *CopyToBlock(const std::string &bytes)
{
    auto *block = static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, bytes.size()));
    std::memcpy(block, bytes.data(), bytes.size());
    return block;
}

}  // namespace

void ClaimAndReleaseDisks(const std::string &bytes)
{
    WCHAR *block = CopyToBlock(bytes);
    MULTISZ_VIEW list;
    INT flag = 0;

    // The sequences read the version once at the start; the release walk asks it.
    OsVersion.dwMajorVersion = winsim::Current().os.major;
    OsVersion.dwMinorVersion = winsim::Current().os.minor;
    MultiSzViewInit(&list, block, static_cast<DWORD>(bytes.size()));
    NormalizeSupportedDeviceList(&list);
    EnumDiskDrives(ClaimDiskCallback, &list, &flag);
    EnumDiskDrives(ReleaseDiskCallback, &list, &flag);
    LocalFree(block);
}

void RemoveDelRegStrings(const WCHAR *infName, const std::string &bytes)
{
    WCHAR *section = nullptr;

    if (ReadDelRegSectionName(infName, &section) == ERROR_SUCCESS && section[0] != 0) {
        for (MultiSzKind kind : {MULTISZ_SUPPORTED_DEVICES, MULTISZ_UPPER_FILTERS}) {
            WCHAR *list = CopyToBlock(bytes);
            DWORD size = static_cast<DWORD>(bytes.size());
            // Writing the list back reads the whole count the removal returned.
            if (::RemoveDelRegStrings(infName, section, kind, &list, &size) == ERROR_SUCCESS)
                WriteMultiSzValue(kind, list, size);
            LocalFree(list);
        }
    }
    if (section != nullptr)
        LocalFree(section);
}

}  // namespace fuzz
