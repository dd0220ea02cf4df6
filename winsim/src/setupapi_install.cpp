// INF installation: services sections, the driver store, and the functions
// that run an install or services section of an open INF.  The engine's
// file and registry parts live in their own files.
#include "setupapi_internal.h"

namespace winsim::setup {

namespace {

constexpr uint32_t kServiceNoClobberDisplayName = 0x00000008;
constexpr uint32_t kServiceNoClobberStartType = 0x00000010;
constexpr uint32_t kServiceNoClobberErrorControl = 0x00000020;

}  // namespace

Text FieldOr(const inf::Line &line, uint32_t index, const Text &fallback)
{
    auto field = line.Field(index);
    return field ? *field : fallback;
}

uint32_t IntFieldOr(const inf::Line &line, uint32_t index, uint32_t fallback)
{
    auto field = line.Field(index);
    if (!field || field->empty())
        return fallback;
    auto value = inf::ParseInt(*field);
    return value ? static_cast<uint32_t>(*value) : fallback;
}

namespace {

// The service an AddService line installs, from its service-install
// section: the values of its key.  A service that exists keeps what the
// no-clobber flags protect.
uint32_t AddService(const LoadedInf &inf, const Text &name, uint32_t flags, const inf::Section &install)
{
    if (inf::MissingServiceEntry(*inf.file, install))
        return ERROR_BAD_SERVICE_INSTALLSECT;
    // The service control manager takes no '/' or '\' in a service name.
    if (name.find_first_of(u"/\\") != Text::npos)
        return ERROR_INVALID_NAME;
    auto number = [&](const char16_t *entry) {
        return DwordBytes(static_cast<uint32_t>(*inf::ParseInt(FieldOr(*inf.file->FindLine(install.name, entry), 1))));
    };
    const inf::Line *display = inf.file->FindLine(install.name, u"DisplayName");

    Machine &machine = Current();
    const std::optional<Service> existing = FindService(machine, name);
    if (existing && existing->markedForDelete)
        return ERROR_SERVICE_MARKED_FOR_DELETE;
    const Text keyPath = Text(kServicesKeyPath) + u"\\" + name;
    RegKey &key = *FindKey(machine, keyPath, true);
    SetValueIn(key, u"Type", REG_DWORD, number(u"ServiceType"));
    if (!existing || !(flags & kServiceNoClobberStartType))
        SetValueIn(key, u"Start", REG_DWORD, number(u"StartType"));
    if (!existing || !(flags & kServiceNoClobberErrorControl))
        SetValueIn(key, u"ErrorControl", REG_DWORD, number(u"ErrorControl"));
    if (display && (!existing || !(flags & kServiceNoClobberDisplayName)))
        SetValueIn(key, u"DisplayName", REG_SZ, StringBytes(FieldOr(*display, 1)));
    SetValueIn(key, u"ImagePath", REG_EXPAND_SZ,
               StringBytes(FieldOr(*inf.file->FindLine(install.name, u"ServiceBinary"), 1)));
    return InstallRegistry(inf, install, keyPath);
}

}  // namespace

uint32_t InstallServices(const LoadedInf &inf, const inf::Section &section, std::optional<Text> *associated)
{
    Machine &machine = Current();
    for (const inf::Line &line : section.lines) {
        if (!line.key || !EqualNoCase(*line.key, u"DelService"))
            continue;
        // The service is marked; its key goes at the next reboot.
        const Text name = FieldOr(line, 1);
        if (FindService(machine, name))
            SetValueIn(*FindKey(machine, Text(kServicesKeyPath) + u"\\" + name), u"DeleteFlag", REG_DWORD,
                       DwordBytes(1));
    }
    for (const inf::ServiceLine &line : inf::AddServiceLines(section)) {
        // An empty name is the null driver: no service to install.
        if (!line.name.empty()) {
            const inf::Section *install = inf.file->FindSection(line.installSection);
            if (install == nullptr)
                return ERROR_BAD_SERVICE_INSTALLSECT;
            if (uint32_t error = AddService(inf, line.name, line.flags, *install))
                return error;
        }
        if ((line.flags & SPSVCINST_ASSOCSERVICE) && associated && !*associated)
            *associated = line.name;
    }
    return 0;
}

uint32_t PublishInf(const LoadedInf &inf, Text &publishedName)
{
    auto &store = Current().driverStore;
    for (const DriverStoreEntry &entry : store) {
        if (entry.content == inf.bytes) {
            publishedName = entry.publishedName;
            return 0;
        }
    }
    for (unsigned number = 0;; number++) {
        Text name = u"oem" + Widen(std::to_string(number)) + u".inf";
        bool taken = false;
        for (const DriverStoreEntry &entry : store)
            taken = taken || EqualNoCase(entry.publishedName, name);
        if (!taken) {
            store.push_back(DriverStoreEntry{name, inf.path, inf.bytes});
            publishedName = name;
            return 0;
        }
    }
}

}  // namespace winsim::setup

using namespace winsim;
using namespace winsim::setup;

namespace {

constexpr uint32_t kErrorFileExists = 80;
constexpr DWORD kCopyDeleteSource = 0x00000001;
constexpr DWORD kCopyReplaceOnly = 0x00000002;
constexpr DWORD kCopyNoOverwrite = 0x00000008;
constexpr DWORD kCopyOemInfCatalogOnly = 0x00040000;

const Text kInfFolder = Text(kInfDirectory) + u"\\";

// The open INF a section call names: 0, or the error to fail with.
uint32_t OpenedInf(HINF handle, PCWSTR sectionName, OpenInf *&open)
{
    open = LookupInf(handle);
    if (open == nullptr)
        return ERROR_INVALID_HANDLE;
    if (sectionName == nullptr)
        return ERROR_INVALID_PARAMETER;
    return 0;
}

// The key HKR stands for: the device's software key, or the key the caller
// gives (only HKLM is modelled), or none.  0, or the error to fail with.
uint32_t RelativeKey(HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceData, HKEY relativeKeyRoot,
                     std::optional<Text> &hkr)
{
    if (deviceData) {
        DeviceInfoSet *set = LookupSet(deviceSet);
        if (set == nullptr)
            return ERROR_INVALID_HANDLE;
        DeviceElement *element = ResolveElement(*set, deviceData);
        Device *device = element ? DeviceOf(*element) : nullptr;
        if (device == nullptr)
            return ERROR_INVALID_PARAMETER;
        hkr = SoftwareKey(*device, element->devInst);
    } else if (relativeKeyRoot == HKEY_LOCAL_MACHINE) {
        hkr = Text();
    } else if (relativeKeyRoot != nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    return 0;
}

}  // namespace

BOOL SetupInstallFromInfSectionW(HWND, HINF handle, PCWSTR sectionName, UINT flags, HKEY relativeKeyRoot,
                                 PCWSTR sourceRootPath, UINT copyFlags, PSP_FILE_CALLBACK_W msgHandler,
                                 PVOID context, HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceData)
{
    Text section = TextOf(sectionName);
    Trace("SetupInstallFromInfSectionW", "section=" + TextArg(sectionName) + " flags=" + Hex(flags) +
                                             " copyflags=" + Hex(copyFlags));
    if (auto fault = CheckFault("SetupInstallFromInfSectionW", section))
        return FailBool(*fault);
    OpenInf *open;
    if (uint32_t error = OpenedInf(handle, sectionName, open))
        return FailBool(error);
    const UINT known = SPINST_ALL | 0x00010000 | 0x00020000 | 0x00040000 | 0x00080000 | 0x00100000;
    if (flags & ~known)
        return FailBool(ERROR_INVALID_FLAGS);
    const inf::Section *found = open->inf.file->FindSection(section);
    if (found == nullptr)
        return FailBool(ERROR_SECTION_NOT_FOUND);

    std::optional<Text> hkr;
    if (uint32_t error = RelativeKey(deviceSet, deviceData, relativeKeyRoot, hkr))
        return FailBool(error);

    if (flags & SPINST_FILES) {
        bool hasFiles = !DirectiveValues(*found, u"CopyFiles").empty() || !DirectiveValues(*found, u"DelFiles").empty();
        if (hasFiles && msgHandler == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
        Text root = TextOf(sourceRootPath);
        if (uint32_t error =
                InstallFiles(open->inf, *found, FileQueueHandler{msgHandler, context}, sourceRootPath ? &root : nullptr))
            return FailBool(error);
    }
    if (flags & SPINST_REGISTRY)
        if (uint32_t error = InstallRegistry(open->inf, *found, hkr))
            return FailBool(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupInstallServicesFromInfSectionW(HINF handle, PCWSTR sectionName, DWORD flags)
{
    Text section = TextOf(sectionName);
    Trace("SetupInstallServicesFromInfSectionW", "section=" + TextArg(sectionName) + " flags=" + Hex(flags));
    if (auto fault = CheckFault("SetupInstallServicesFromInfSectionW", section))
        return FailBool(*fault);
    OpenInf *open;
    if (uint32_t error = OpenedInf(handle, sectionName, open))
        return FailBool(error);
    const inf::Section *found = open->inf.file->FindSection(section);
    if (found == nullptr)
        return FailBool(ERROR_SECTION_NOT_FOUND);
    if (uint32_t error = InstallServices(open->inf, *found, nullptr))
        return FailBool(error);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL SetupCopyOEMInfW(PCWSTR sourceInfFileName, PCWSTR oemSourceMediaLocation, DWORD oemSourceMediaType,
                      DWORD copyStyle, PWSTR destinationInfFileName, DWORD destinationInfFileNameSize,
                      PDWORD requiredSize, PWSTR *destinationInfFileNameComponent)
{
    Text source = TextOf(sourceInfFileName);
    Trace("SetupCopyOEMInfW", "source=" + TextArg(sourceInfFileName) + " location=" +
                                  TextArg(oemSourceMediaLocation) + " media_type=" +
                                  std::to_string(oemSourceMediaType) + " style=" + Hex(copyStyle) +
                                  " size=" + std::to_string(destinationInfFileNameSize));
    if (auto fault = CheckFault("SetupCopyOEMInfW", source))
        return FailBool(*fault);
    if (sourceInfFileName == nullptr || oemSourceMediaType > SPOST_URL ||
        (destinationInfFileName == nullptr && destinationInfFileNameSize != 0))
        return FailBool(ERROR_INVALID_PARAMETER);
    if (copyStyle & ~(kCopyDeleteSource | kCopyReplaceOnly | kCopyNoOverwrite | kCopyOemInfCatalogOnly))
        return FailBool(ERROR_INVALID_FLAGS);
    LoadedInf loaded;
    if (uint32_t error = LoadInf(source, loaded))
        return FailBool(error);

    bool present = false;
    for (const DriverStoreEntry &entry : Current().driverStore)
        present = present || entry.content == loaded.bytes;
    if ((copyStyle & kCopyReplaceOnly) && !present)
        return FailBool(ERROR_FILE_NOT_FOUND);
    Text published;
    PublishInf(loaded, published);
    if (uint32_t error = CopyTextOut(kInfFolder + published, destinationInfFileName,
                                     destinationInfFileNameSize, requiredSize))
        return FailBool(error);
    if (destinationInfFileName && destinationInfFileNameComponent)
        *destinationInfFileNameComponent = destinationInfFileName + kInfFolder.size();
    if ((copyStyle & kCopyNoOverwrite) && present)
        return FailBool(kErrorFileExists);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
