// What the setup library tells of an INF file as a whole: its information
// record (SetupGetInfInformationW) and, from that, the name of the INF and
// catalog it was published from (SetupQueryInfOriginalFileInformationW).  A
// published INF (C:\Windows\INF\oemN.inf) was published from the last part
// of its store entry's original path; any other INF from its own name.
#include <cstddef>
#include <cstring>

#include "setupapi_internal.h"

using namespace winsim;
using namespace winsim::setup;

namespace {

// The record's version data is the library's own; the stand-in keeps a
// mark, then the INF's path, the original INF name and the original catalog
// name, each with its NUL.
constexpr uint32_t kVersionDataMark = 0x4D495357;   // "WSIM"
constexpr size_t kRecordHead = offsetof(SP_INF_INFORMATION, VersionData);

std::vector<uint8_t> VersionData(const Text &path, const Text &originalInf, const Text &originalCatalog)
{
    std::vector<uint8_t> data(sizeof kVersionDataMark);
    std::memcpy(data.data(), &kVersionDataMark, sizeof kVersionDataMark);
    for (const Text *text : {&path, &originalInf, &originalCatalog}) {
        std::vector<uint8_t> bytes = StringBytes(*text);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    return data;
}

// The INF an information call names: 0 and its loaded form, or the error.
uint32_t FindInf(LPCVOID infSpec, DWORD searchControl, LoadedInf &loaded)
{
    if (searchControl == INFINFO_INF_SPEC_IS_HINF) {
        OpenInf *open = LookupInf(const_cast<void *>(infSpec));
        if (open == nullptr)
            return ERROR_INVALID_HANDLE;
        loaded = open->inf;
        return 0;
    }
    if (searchControl < INFINFO_INF_NAME_IS_ABSOLUTE || searchControl > INFINFO_INF_PATH_LIST_SEARCH)
        return ERROR_INVALID_PARAMETER;
    Text path = TextOf(static_cast<const WCHAR *>(infSpec));
    // The default searches look in the INF folder first; the system folder
    // and the device path hold nothing of the machine's.
    if (searchControl != INFINFO_INF_NAME_IS_ABSOLUTE && path.find_first_of(u"\\/") == Text::npos)
        path = Text(kInfDirectory) + u"\\" + path;
    return LoadInf(path, loaded);
}

}  // namespace

BOOL SetupGetInfInformationW(LPCVOID infSpec, DWORD searchControl, PSP_INF_INFORMATION returnBuffer,
                             DWORD returnBufferSize, PDWORD requiredSize)
{
    const Text subject = searchControl == INFINFO_INF_SPEC_IS_HINF || !infSpec
                             ? Text()
                             : TextOf(static_cast<const WCHAR *>(infSpec));
    Trace("SetupGetInfInformationW", "inf=" + Narrow(subject) + " search=" + std::to_string(searchControl) +
                                         " size=" + std::to_string(returnBufferSize));
    if (auto fault = CheckFault("SetupGetInfInformationW", subject))
        return FailBool(*fault);
    if (!infSpec)
        return FailBool(ERROR_INVALID_PARAMETER);
    LoadedInf loaded;
    if (uint32_t error = FindInf(infSpec, searchControl, loaded))
        return FailBool(error);

    const DriverStoreEntry *entry = StoreEntryAt(Current(), loaded.path);
    if (!entry && loaded.path.find_first_of(u"\\/") == Text::npos) {
        for (const DriverStoreEntry &published : Current().driverStore)
            if (EqualNoCase(published.publishedName, loaded.path))
                entry = &published;
    }
    const Text ownName = loaded.path.substr(loaded.path.find_last_of(u"\\/") + 1);
    const std::vector<uint8_t> data = VersionData(loaded.path, entry ? OriginalInfName(*entry) : ownName,
                                                  loaded.file->VersionValue(u"CatalogFile").value_or(Text()));
    const DWORD needed = static_cast<DWORD>(kRecordHead + data.size());
    if (requiredSize)
        *requiredSize = needed;
    // Without a buffer the call only tells the size it needs.
    if (returnBuffer == nullptr) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (returnBufferSize < needed)
        return FailBool(ERROR_INSUFFICIENT_BUFFER);
    returnBuffer->InfStyle = INF_STYLE_WIN4;
    returnBuffer->InfCount = 1;
    std::memcpy(returnBuffer->VersionData, data.data(), data.size());
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupQueryInfOriginalFileInformationW(PSP_INF_INFORMATION infInformation, UINT infIndex,
                                           PSP_ALTPLATFORM_INFO alternatePlatformInfo,
                                           PSP_ORIGINAL_FILE_INFO_W originalFileInfo)
{
    Trace("SetupQueryInfOriginalFileInformationW", "index=" + std::to_string(infIndex));
    if (auto fault = CheckFault("SetupQueryInfOriginalFileInformationW"))
        return FailBool(*fault);
    if (!infInformation || !originalFileInfo)
        return FailBool(ERROR_INVALID_PARAMETER);
    if (originalFileInfo->cbSize != sizeof(SP_ORIGINAL_FILE_INFO_W))
        return FailBool(ERROR_INVALID_USER_BUFFER);
    // Catalogs for another platform are not modelled.
    if (alternatePlatformInfo)
        return FailBool(ERROR_CALL_NOT_IMPLEMENTED);
    uint32_t mark;
    std::memcpy(&mark, infInformation->VersionData, sizeof mark);
    if (infIndex >= infInformation->InfCount || mark != kVersionDataMark)
        return FailBool(ERROR_INVALID_PARAMETER);
    // The three texts after the mark: the path, the INF's, the catalog's.
    const auto *text = reinterpret_cast<const char16_t *>(infInformation->VersionData + sizeof mark);
    Text parts[3];
    for (Text &part : parts) {
        part = text;
        text += part.size() + 1;
    }
    if (parts[1].size() >= MAX_PATH || parts[2].size() >= MAX_PATH)
        return FailBool(ERROR_INVALID_DATA);
    std::memcpy(originalFileInfo->OriginalInfName, parts[1].c_str(), (parts[1].size() + 1) * sizeof(WCHAR));
    std::memcpy(originalFileInfo->OriginalCatalogName, parts[2].c_str(), (parts[2].size() + 1) * sizeof(WCHAR));
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
