// INF installation: the default file queue callback, install sections (file
// copies and deletions, registry additions and deletions), services sections
// and the driver store.
#include <cstring>

#include "setupapi_internal.h"

namespace winsim::setup {

namespace {

constexpr UINT kFileOpCopy = 0;
constexpr UINT kFileOpDelete = 2;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorBadKey = 1010;

constexpr uint32_t kAddRegBinary = 0x00000001;
constexpr uint32_t kAddRegNoClobber = 0x00000002;
constexpr uint32_t kAddRegDelVal = 0x00000004;
constexpr uint32_t kAddRegAppend = 0x00000008;
constexpr uint32_t kAddRegKeyOnly = 0x00000010;
constexpr uint32_t kAddRegOverwriteOnly = 0x00000020;
constexpr uint32_t kAddRegKeyOnlyCommon = 0x00002000;
constexpr uint32_t kDelRegKeyOnlyCommon = 0x00002000;

constexpr uint32_t kServiceAssoc = 0x00000002;
constexpr uint32_t kServiceNoClobberDisplayName = 0x00000008;
constexpr uint32_t kServiceNoClobberStartType = 0x00000010;

const Text kDefaultDestDir = u"11";   // used when [DestinationDirs] names none

// ---------------------------------------------------------------------------
// Helpers over the parsed INF
// ---------------------------------------------------------------------------

// Every value of every line of a section whose key is 'directive'.
std::vector<Text> DirectiveValues(const inf::Section &section, const Text &directive)
{
    std::vector<Text> values;
    for (const inf::Line &line : section.lines)
        if (line.key && EqualNoCase(*line.key, directive))
            for (const Text &field : line.fields)
                if (!field.empty())
                    values.push_back(field);
    return values;
}

Text FieldOr(const inf::Line &line, uint32_t index, const Text &fallback = Text())
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

Text JoinPath(const Text &a, const Text &b)
{
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    // Host paths keep their '/'; everything else is joined with '\\'.
    const char16_t separator = a.find(u'\\') == Text::npos && a.find(u'/') != Text::npos ? u'/' : u'\\';
    Text joined = a;
    if (joined.back() != u'\\' && joined.back() != u'/')
        joined.push_back(separator);
    size_t skip = 0;
    while (skip < b.size() && (b[skip] == u'\\' || b[skip] == u'/'))
        skip++;
    return joined + b.substr(skip);
}

// Registry paths: always joined with '\\'.
Text JoinKey(const Text &a, const Text &b)
{
    if (a.empty() || b.empty())
        return a.empty() ? b : a;
    return a + u"\\" + b;
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------

struct FileOp {
    bool remove = false;
    Text destination;    // "<dirid>[\subdir]\name"
    Text source;         // the source file in the caller's path form (copies only)
};

// The destination directory of a file-list section, as [DestinationDirs] gives it.
Text DestinationDir(const inf::InfFile &file, const Text &listSection)
{
    const inf::Line *line = file.FindLine(u"DestinationDirs", listSection);
    if (line == nullptr)
        line = file.FindLine(u"DestinationDirs", u"DefaultDestDir");
    if (line == nullptr || line->fields.empty())
        return kDefaultDestDir;
    Text dir = line->fields[0];
    if (line->fields.size() > 1 && !line->fields[1].empty())
        dir = JoinPath(dir, line->fields[1]);
    return dir;
}

const inf::Line *FindDecorated(const inf::InfFile &file, const Text &section, const Text &key)
{
    for (const Text &suffix : {Text(u".amd64"), Text()})
        if (const inf::Line *line = file.FindLine(section + suffix, key))
            return line;
    return nullptr;
}

// Where a source file lies: the INF's directory (or the caller's source
// root), the disk's path from [SourceDisksNames] and the file's subdirectory
// from [SourceDisksFiles].
Text SourceFile(const LoadedInf &inf, const Text *sourceRoot, const Text &name)
{
    Text dir = sourceRoot ? *sourceRoot : inf.sourceDir;
    if (const inf::Line *fileLine = FindDecorated(*inf.file, u"SourceDisksFiles", name)) {
        Text disk = FieldOr(*fileLine, 1);
        if (const inf::Line *diskLine = FindDecorated(*inf.file, u"SourceDisksNames", disk))
            dir = JoinPath(dir, FieldOr(*diskLine, 4));
        dir = JoinPath(dir, FieldOr(*fileLine, 2));
    }
    return JoinPath(dir, name);
}

uint32_t CollectFileOps(const LoadedInf &inf, const inf::Section &section, const Text *sourceRoot,
                        std::vector<FileOp> &ops)
{
    const inf::InfFile &file = *inf.file;
    for (bool remove : {true, false}) {
        for (const Text &value : DirectiveValues(section, remove ? u"DelFiles" : u"CopyFiles")) {
            if (!remove && value[0] == u'@') {
                // A single file copied to the default destination.
                Text name = value.substr(1);
                ops.push_back({false, JoinPath(DestinationDir(file, u"DefaultDestDir"), name),
                               SourceFile(inf, sourceRoot, name)});
                continue;
            }
            const inf::Section *list = file.FindSection(value);
            if (list == nullptr)
                return ERROR_SECTION_NOT_FOUND;
            Text dir = DestinationDir(file, value);
            for (const inf::Line &line : list->lines) {
                Text target = FieldOr(line, 1);
                if (target.empty())
                    continue;
                Text sourceName = FieldOr(line, 2);
                if (sourceName.empty())
                    sourceName = target;
                FileOp op{remove, JoinPath(dir, target), Text()};
                if (!remove)
                    op.source = SourceFile(inf, sourceRoot, sourceName);
                ops.push_back(op);
            }
        }
    }
    return 0;
}

void RecordFile(const FileOp &op)
{
    auto &files = Current().files;
    for (CopiedFile &file : files) {
        if (EqualNoCase(file.destination, op.destination)) {
            file.deleted = op.remove;
            if (!op.remove)
                file.source = op.source;
            return;
        }
    }
    files.push_back(CopiedFile{op.destination, op.source, op.remove});
}

// ---------------------------------------------------------------------------
// Registry
// ---------------------------------------------------------------------------

// Opens (or creates) a key under HKLM as the registry functions would: any
// key on the way that refuses access refuses the whole operation.
uint32_t OpenKey(const Text &path, bool create, RegKey *&key)
{
    key = &Current().hklm;
    for (const Text &part : SplitKeyPath(path)) {
        if (key->denyAccess)
            return ERROR_ACCESS_DENIED;
        auto found = key->subkeys.find(Fold(part));
        if (found == key->subkeys.end()) {
            if (!create) {
                key = nullptr;
                return 0;
            }
            RegKey child;
            child.name = part;
            found = key->subkeys.emplace(Fold(part), std::move(child)).first;
        }
        key = &found->second;
    }
    if (key->denyAccess)
        return ERROR_ACCESS_DENIED;
    return 0;
}

uint32_t DeleteKey(const Text &path)
{
    std::vector<Text> parts = SplitKeyPath(path);
    if (parts.empty())
        return ERROR_ACCESS_DENIED;   // the root itself cannot go
    Text parentPath;
    for (size_t i = 0; i + 1 < parts.size(); i++)
        parentPath = JoinKey(parentPath, parts[i]);
    RegKey *parent;
    if (uint32_t error = OpenKey(parentPath, false, parent))
        return error;
    if (parent == nullptr)
        return 0;
    auto found = parent->subkeys.find(Fold(parts.back()));
    if (found == parent->subkeys.end())
        return 0;
    if (found->second.denyAccess)
        return ERROR_ACCESS_DENIED;
    parent->subkeys.erase(found);
    return 0;
}

// The key path a line names: its root (field 1) and subkey (field 2).
// Nothing for a root this machine does not hold (HKCU, HKU).
uint32_t LineKeyPath(const inf::Line &line, const std::optional<Text> &hkr, std::optional<Text> &path)
{
    Text root = FieldOr(line, 1);
    Text base;
    if (EqualNoCase(root, u"HKLM")) {
        base.clear();
    } else if (EqualNoCase(root, u"HKCR")) {
        base = u"SOFTWARE\\Classes";
    } else if (EqualNoCase(root, u"HKR")) {
        if (!hkr)
            return kErrorBadKey;
        base = *hkr;
    } else if (EqualNoCase(root, u"HKCU") || EqualNoCase(root, u"HKU")) {
        path.reset();
        return 0;
    } else {
        return kErrorBadKey;
    }
    path = JoinKey(base, FieldOr(line, 2));
    return 0;
}

// Applies an AddReg line to the key it names, at 'path'.
uint32_t AddRegLine(const inf::Line &line, const Text &path)
{
    const uint32_t flags = IntFieldOr(line, 4, 0);
    auto valueName = line.Field(3);
    if (flags & kAddRegDelVal) {
        if (!valueName)
            return DeleteKey(path);
        RegKey *key;
        if (uint32_t error = OpenKey(path, false, key))
            return error;
        if (key)
            key->values.erase(Fold(*valueName));
        return 0;
    }
    RegKey *key;
    if (uint32_t error = OpenKey(path, true, key))
        return error;
    if (!valueName || (flags & (kAddRegKeyOnly | kAddRegKeyOnlyCommon)))
        return 0;

    const Text folded = Fold(*valueName);
    auto existing = key->values.find(folded);
    const bool exists = existing != key->values.end();
    if ((flags & kAddRegNoClobber) && exists)
        return 0;
    if ((flags & kAddRegOverwriteOnly) && !exists)
        return 0;

    std::vector<Text> values;
    for (uint32_t i = 5; line.Field(i); i++)
        values.push_back(*line.Field(i));

    RegValue value;
    const uint32_t high = flags >> 16;
    if (flags & kAddRegBinary) {
        value.type = high == 0 ? REG_BINARY : high == 1 ? REG_DWORD : high == 2 ? REG_NONE : high;
        auto number = values.size() == 1 ? inf::ParseInt(values[0]) : std::nullopt;
        if (value.type == REG_DWORD && number) {
            uint32_t dword = static_cast<uint32_t>(*number);
            value.data.resize(4);
            std::memcpy(value.data.data(), &dword, 4);
        } else {
            // Raw data: one byte per field, written in hexadecimal.
            for (const Text &byte : values) {
                auto parsed = inf::ParseInt(u"0x" + byte);
                if (!parsed)
                    return ERROR_INVALID_DATA;
                value.data.push_back(static_cast<uint8_t>(*parsed));
            }
        }
    } else if (high == 1) {
        value.type = REG_MULTI_SZ;
        std::vector<Text> strings;
        if ((flags & kAddRegAppend) && exists)
            strings = ParseMultiString(existing->second.second.data);
        for (const Text &s : values)
            if (!(flags & kAddRegAppend) || !ContainsNoCase(strings, s))
                strings.push_back(s);
        value.data = MultiStringBytes(strings);
    } else {
        value.type = high == 2 ? REG_EXPAND_SZ : REG_SZ;
        value.data = StringBytes(values.empty() ? Text() : values[0]);
    }
    Text name = exists ? existing->second.first : *valueName;
    key->values[folded] = {name, std::move(value)};
    return 0;
}

// Whether the machine's setup library knows the delete-string flag; the one
// of 5.0 and earlier does not, and deletes the value a line names whole.
bool KnowsDeleteString(const OsInfo &os)
{
    return os.major > 5 || (os.major == 5 && os.minor >= 1);
}

// Applies a DelReg line to the key it names, at 'path'.
uint32_t DelRegLine(const inf::Line &line, const Text &path)
{
    const uint32_t flags = IntFieldOr(line, 4, 0);
    auto valueName = line.Field(3);
    const bool deleteString = valueName &&
                              (flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING &&
                              KnowsDeleteString(Current().os);
    if (!valueName || (!deleteString && (flags & kDelRegKeyOnlyCommon)))
        return DeleteKey(path);
    RegKey *key;
    if (uint32_t error = OpenKey(path, false, key))
        return error;
    if (key == nullptr)
        return 0;
    auto found = key->values.find(Fold(*valueName));
    if (found == key->values.end())
        return 0;
    if (!deleteString) {
        key->values.erase(found);
        return 0;
    }
    // Every string equal to the one named goes, whatever its letter case.
    Text victim = FieldOr(line, 5);
    std::vector<Text> kept;
    bool changed = false;
    RegValue &value = found->second.second;
    for (const Text &s : ParseMultiString(value.data)) {
        if (EqualNoCase(s, victim))
            changed = true;
        else
            kept.push_back(s);
    }
    if (changed) {
        value.type = REG_MULTI_SZ;
        value.data = MultiStringBytes(kept);   // no strings: the closing NUL alone
    }
    return 0;
}

uint32_t RunRegistrySections(const LoadedInf &inf, const inf::Section &section, const Text &directive,
                             const std::optional<Text> &hkr, bool add)
{
    for (const Text &name : DirectiveValues(section, directive)) {
        const inf::Section *target = inf.file->FindSection(name);
        if (target == nullptr)
            return ERROR_SECTION_NOT_FOUND;
        for (const inf::Line &line : target->lines) {
            std::optional<Text> path;
            if (uint32_t error = LineKeyPath(line, hkr, path))
                return error;
            if (!path)
                continue;
            if (uint32_t error = add ? AddRegLine(line, *path) : DelRegLine(line, *path))
                return error;
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Queue callback contexts
// ---------------------------------------------------------------------------

struct QueueContext {
    HWND owner = nullptr;
};

HandleTable<QueueContext> &LiveContexts()
{
    static HandleTable<QueueContext> contexts;
    return contexts;
}

}  // namespace

// ---------------------------------------------------------------------------
// The install engine
// ---------------------------------------------------------------------------

uint32_t InstallFiles(const LoadedInf &inf, const inf::Section &section, const FileQueueHandler &handler,
                      const Text *sourceRoot)
{
    std::vector<FileOp> ops;
    if (uint32_t error = CollectFileOps(inf, section, sourceRoot, ops))
        return error;
    if (ops.empty())
        return 0;
    auto notify = [&](UINT notification, UINT_PTR param1, UINT_PTR param2) -> UINT {
        return handler.callback ? handler.callback(handler.context, notification, param1, param2) : FILEOP_DOIT;
    };
    if (notify(SPFILENOTIFY_STARTQUEUE, 0, 0) == 0)
        return ERROR_CANCELLED;
    uint32_t result = 0;
    for (const FileOp &op : ops) {
        QueueFilePaths paths{op.destination.c_str(), op.remove ? nullptr : op.source.c_str(), 0, 0};
        UINT answer = notify(op.remove ? SPFILENOTIFY_STARTDELETE : SPFILENOTIFY_STARTCOPY,
                             reinterpret_cast<UINT_PTR>(&paths), op.remove ? kFileOpDelete : kFileOpCopy);
        if (answer == FILEOP_ABORT) {
            result = ERROR_CANCELLED;
            break;
        }
        if (answer == FILEOP_SKIP)
            continue;
        if (!op.remove && !HostFileExists(HostPath(op.source)))
            paths.Win32Error = ERROR_FILE_NOT_FOUND;
        else
            RecordFile(op);
        notify(op.remove ? SPFILENOTIFY_ENDDELETE : SPFILENOTIFY_ENDCOPY, reinterpret_cast<UINT_PTR>(&paths), 0);
        if (paths.Win32Error) {
            result = paths.Win32Error;
            break;
        }
    }
    notify(SPFILENOTIFY_ENDQUEUE, result == 0, 0);
    return result;
}

uint32_t InstallRegistry(const LoadedInf &inf, const inf::Section &section, const std::optional<Text> &hkr)
{
    if (uint32_t error = RunRegistrySections(inf, section, u"DelReg", hkr, false))
        return error;
    return RunRegistrySections(inf, section, u"AddReg", hkr, true);
}

uint32_t InstallServices(const LoadedInf &inf, const inf::Section &section, std::optional<Text> *associated)
{
    Machine &machine = Current();
    for (const inf::Line &line : section.lines) {
        if (!line.key || !EqualNoCase(*line.key, u"DelService"))
            continue;
        Text name = FieldOr(line, 1);
        auto found = machine.services.find(Fold(name));
        if (found != machine.services.end())
            found->second.markedForDelete = true;   // it goes at the next reboot
    }
    for (const inf::Line &line : section.lines) {
        if (!line.key || !EqualNoCase(*line.key, u"AddService"))
            continue;
        Text name = FieldOr(line, 1);
        uint32_t flags = IntFieldOr(line, 2, 0);
        if (name.empty()) {
            // The null driver: no service to install.
            if ((flags & kServiceAssoc) && associated && !*associated)
                *associated = Text();
            continue;
        }
        const inf::Section *install = inf.file->FindSection(FieldOr(line, 3));
        if (install == nullptr)
            return ERROR_BAD_SERVICE_INSTALLSECT;
        const inf::Line *type = inf.file->FindLine(install->name, u"ServiceType");
        const inf::Line *start = inf.file->FindLine(install->name, u"StartType");
        const inf::Line *errorControl = inf.file->FindLine(install->name, u"ErrorControl");
        const inf::Line *binary = inf.file->FindLine(install->name, u"ServiceBinary");
        if (!type || !start || !errorControl || !binary || !inf::ParseInt(FieldOr(*type, 1)) ||
            !inf::ParseInt(FieldOr(*start, 1)) || !inf::ParseInt(FieldOr(*errorControl, 1)) ||
            FieldOr(*binary, 1).empty())
            return ERROR_BAD_SERVICE_INSTALLSECT;
        const inf::Line *display = inf.file->FindLine(install->name, u"DisplayName");

        auto found = machine.services.find(Fold(name));
        if (found != machine.services.end() && found->second.markedForDelete)
            return ERROR_SERVICE_MARKED_FOR_DELETE;
        const bool exists = found != machine.services.end();
        Service &service = machine.services[Fold(name)];
        if (!exists)
            service.name = name;
        service.type = static_cast<uint32_t>(*inf::ParseInt(FieldOr(*type, 1)));
        if (!exists || !(flags & kServiceNoClobberStartType))
            service.start = static_cast<uint32_t>(*inf::ParseInt(FieldOr(*start, 1)));
        if (display && (!exists || !(flags & kServiceNoClobberDisplayName)))
            service.displayName = FieldOr(*display, 1);
        service.binary = FieldOr(*binary, 1);
        if (uint32_t error = InstallRegistry(inf, *install, u"SYSTEM\\CurrentControlSet\\Services\\" + name))
            return error;
        if ((flags & kServiceAssoc) && associated && !*associated)
            *associated = name;
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

constexpr DWORD kCopyDeleteSource = 0x00000001;
constexpr DWORD kCopyReplaceOnly = 0x00000002;
constexpr DWORD kCopyNoOverwrite = 0x00000008;
constexpr DWORD kCopyOemInfCatalogOnly = 0x00040000;

const Text kInfDirectory = u"C:\\Windows\\INF\\";

}  // namespace

PVOID SetupInitDefaultQueueCallbackEx(HWND owner, HWND alternateProgressWindow, UINT progressMessage, DWORD,
                                      PVOID)
{
    Trace("SetupInitDefaultQueueCallbackEx", "owner=" + Hex(reinterpret_cast<uintptr_t>(owner)) +
                                                 " progress=" +
                                                 Hex(reinterpret_cast<uintptr_t>(alternateProgressWindow)) +
                                                 " message=" + std::to_string(progressMessage));
    if (auto fault = CheckFault("SetupInitDefaultQueueCallbackEx")) {
        SetLastError(*fault);
        return nullptr;
    }
    return LiveContexts().Add(std::make_unique<QueueContext>(QueueContext{owner}));
}

UINT SetupDefaultQueueCallbackW(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2)
{
    Text target;
    if ((notification == SPFILENOTIFY_STARTCOPY || notification == SPFILENOTIFY_STARTDELETE ||
         notification == SPFILENOTIFY_ENDCOPY || notification == SPFILENOTIFY_ENDDELETE) &&
        param1 != 0) {
        auto paths = reinterpret_cast<const QueueFilePaths *>(param1);
        if (paths->Target)
            target = paths->Target;
    }
    Trace("SetupDefaultQueueCallbackW", "notification=" + Hex(notification) + " target=" + Narrow(target));
    (void)param2;
    if (auto fault = CheckFault("SetupDefaultQueueCallbackW", target)) {
        SetLastError(*fault);
        return FILEOP_ABORT;
    }
    if (!LiveContexts().Find(context)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FILEOP_ABORT;
    }
    switch (notification) {
    case SPFILENOTIFY_STARTQUEUE:
        return TRUE;
    case SPFILENOTIFY_STARTCOPY:
    case SPFILENOTIFY_STARTDELETE:
        return FILEOP_DOIT;
    default:
        return NO_ERROR;
    }
}

void SetupTermDefaultQueueCallback(PVOID context)
{
    Trace("SetupTermDefaultQueueCallback", "");
    CheckFault("SetupTermDefaultQueueCallback");   // counted; releasing cannot fail
    LiveContexts().Remove(context);
}

BOOL SetupInstallFromInfSectionW(HWND, HINF handle, PCWSTR sectionName, UINT flags, HKEY relativeKeyRoot,
                                 PCWSTR sourceRootPath, UINT copyFlags, PSP_FILE_CALLBACK_W msgHandler,
                                 PVOID context, HDEVINFO deviceSet, PSP_DEVINFO_DATA deviceData)
{
    Text section = TextOf(sectionName);
    Trace("SetupInstallFromInfSectionW", "section=" + TextArg(sectionName) + " flags=" + Hex(flags) +
                                             " copyflags=" + Hex(copyFlags));
    if (auto fault = CheckFault("SetupInstallFromInfSectionW", section))
        return FailBool(*fault);
    OpenInf *open = LookupInf(handle);
    if (open == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (sectionName == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
    const UINT known = SPINST_ALL | 0x00010000 | 0x00020000 | 0x00040000 | 0x00080000 | 0x00100000;
    if (flags & ~known)
        return FailBool(ERROR_INVALID_FLAGS);
    const inf::Section *found = open->inf.file->FindSection(section);
    if (found == nullptr)
        return FailBool(ERROR_SECTION_NOT_FOUND);

    // HKR: the device's software key, or the key the caller gives.
    std::optional<Text> hkr;
    if (deviceData) {
        DeviceInfoSet *set = LookupSet(deviceSet);
        if (set == nullptr)
            return FailBool(ERROR_INVALID_HANDLE);
        DeviceElement *element = ResolveElement(*set, deviceData);
        Device *device = element ? DeviceOf(*element) : nullptr;
        if (device == nullptr)
            return FailBool(ERROR_INVALID_PARAMETER);
        hkr = SoftwareKey(*device, element->devInst);
    } else if (relativeKeyRoot == HKEY_LOCAL_MACHINE) {
        hkr = Text();
    } else if (relativeKeyRoot != nullptr) {
        return FailBool(ERROR_INVALID_PARAMETER);   // other open keys are not modelled here
    }

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
    OpenInf *open = LookupInf(handle);
    if (open == nullptr)
        return FailBool(ERROR_INVALID_HANDLE);
    if (sectionName == nullptr)
        return FailBool(ERROR_INVALID_PARAMETER);
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
    if (uint32_t error = CopyTextOut(kInfDirectory + published, destinationInfFileName,
                                     destinationInfFileNameSize, requiredSize))
        return FailBool(error);
    if (destinationInfFileName && destinationInfFileNameComponent)
        *destinationInfFileNameComponent = destinationInfFileName + kInfDirectory.size();
    if ((copyStyle & kCopyNoOverwrite) && present)
        return FailBool(kErrorFileExists);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
