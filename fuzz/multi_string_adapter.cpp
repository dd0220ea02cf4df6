// Calls into the program's multi-string functions with today's signatures.
#include "multi_string_adapter.h"

#include <cstring>

#include "device/device.h"
#include "package/package.h"
#include "registry/registry.h"
#include "winsim/machine.h"

namespace fuzz {

void StoreSupportedDeviceList(const std::string &bytes)
{
    const WCHAR *keyPath = nullptr;
    const WCHAR *valueName = nullptr;
    LookupMultiSzKind(MULTISZ_SUPPORTED_DEVICES, &keyPath, &valueName);
    winsim::RegKey *key = winsim::FindKey(keyPath, true);
    winsim::RegValue value{REG_MULTI_SZ, std::vector<uint8_t>(bytes.begin(), bytes.end())};
    key->values[winsim::Fold(valueName)] = {valueName, value};
}

void ClaimAndReleaseDisks()
{
    WCHAR *list = nullptr;
    DWORD size = 0;
    INT flag = 0;

    // The sequences read the version once at the start; the release walk asks it.
    OsVersion.dwMajorVersion = winsim::Current().os.major;
    OsVersion.dwMinorVersion = winsim::Current().os.minor;
    if (ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &list, &size) == 0) {
        CloseListAtByteCount(list, size);
        NormalizeSupportedDeviceList(list);
        EnumClassDevices(&GUID_DEVCLASS_DISKDRIVE, ClaimDiskCallback, list, &flag);
        EnumClassDevices(&GUID_DEVCLASS_DISKDRIVE, ReleaseDiskCallback, list, &flag);
    }
    if (list != nullptr)
        LocalFree(list);
}

void RemoveDelRegStrings(const WCHAR *infName, const std::string &bytes)
{
    WCHAR *section = nullptr;

    if (ReadDelRegSectionName(infName, &section) == 0 && section[0] != 0) {
        for (MultiSzKind kind : {MULTISZ_SUPPORTED_DEVICES, MULTISZ_UPPER_FILTERS}) {
            auto *list = static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, bytes.size()));
            DWORD size = static_cast<DWORD>(bytes.size());
            std::memcpy(list, bytes.data(), bytes.size());
            // Writing the list back reads the whole count the removal returned.
            if (::RemoveDelRegStrings(infName, section, kind, &list, &size) == 0)
                WriteMultiSzValue(kind, list, size);
            LocalFree(list);
        }
    }
    if (section != nullptr)
        LocalFree(section);
}

}  // namespace fuzz
