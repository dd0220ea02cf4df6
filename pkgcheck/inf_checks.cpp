#include "inf_checks.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "binary_formats.h"
#include "hosttools/hosttools.h"

namespace pkgcheck {

using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;

namespace {

struct Subject {
    const Package &package;
    const InfDocument &document;
    const inf::InfFile &file;
    Text hardwareId;
    Text expectedDescription;   // empty: the role's device is not looked for by description
};

std::string Bracket(const Text &section) { return "[" + Narrow(section) + "]"; }

constexpr uint32_t kDelRegKeyOnlyCommon = 0x00002000;   // FLG_DELREG_KEYONLY_COMMON

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// --- [Version] ---------------------------------------------------------------

// "mm/dd/yyyy" and an optional "w.x.y.z" of decimal numbers up to 65535.
bool ValidDriverVer(const inf::Line &line)
{
    const Text date = line.fields.empty() ? Text() : line.fields[0];
    int month = 0, day = 0, year = 0;
    char rest = 0;
    if (std::sscanf(Narrow(date).c_str(), "%2d/%2d/%4d%c", &month, &day, &year, &rest) != 3 || month < 1 ||
        month > 12 || day < 1 || day > 31 || year < 1980)
        return false;
    if (line.fields.size() < 2 || line.fields[1].empty())
        return true;
    int parts = 0;
    Text number;
    for (char16_t c : line.fields[1] + u".") {
        if (c != u'.') {
            number.push_back(c);
            continue;
        }
        const bool decimal = !number.empty() && std::all_of(number.begin(), number.end(), [](char16_t d) {
            return d >= u'0' && d <= u'9';
        });
        auto value = decimal ? inf::ParseInt(number) : std::nullopt;
        if (!value || *value > 65535 || ++parts > 4)
            return false;
        number.clear();
    }
    return true;
}

Cell CheckVersion(const Subject &s)
{
    if (!s.file.FindSection(u"Version"))
        return Fail("no [Version] section");
    auto signature = s.file.VersionValue(u"Signature");
    if (!signature)
        return Fail("no Signature in [Version]");
    if (!s.file.HasWin4Signature())
        return Fail("Signature is " + Quote(*signature) + ": the setup library opens only \"$Windows NT$\" or "
                    "\"$Chicago$\" INFs");
    const inf::Line *driverVer = s.file.FindLine(u"Version", u"DriverVer");
    if (!driverVer)
        return Fail("no DriverVer in [Version]: Windows ranks and shows drivers by its date and version");
    if (!ValidDriverVer(*driverVer))
        return Fail("DriverVer " + Quote(driverVer->CompactText()) + " is not mm/dd/yyyy[,w.x.y.z]");
    return Pass();
}

struct ClassExpectation {
    const char16_t *name;
    const char16_t *guid;
    const char *why;
};

// By role, in the order of the Role enumeration.
const ClassExpectation kExpectedClasses[] = {
    {u"SCSIAdapter", u"{4D36E97B-E325-11CE-BFC1-08002BE10318}",
     "the installer looks for the MPIO bus device among the SCSI adapters"},
    {u"DiskDrive", u"{4D36E967-E325-11CE-BFC1-08002BE10318}", "the MPIO disk driver takes over disk drives"},
    {u"System", u"{4D36E97D-E325-11CE-BFC1-08002BE10318}",
     "the installer creates the DSM device in the INF's class and -c looks for it among system devices"},
};

Cell CheckClass(const Subject &s)
{
    const ClassExpectation &expected = kExpectedClasses[static_cast<int>(s.document.role)];
    auto name = s.file.VersionValue(u"Class");
    auto guid = s.file.VersionValue(u"ClassGuid");
    if (!name || !guid)
        return Fail(std::string("no ") + (name ? "ClassGuid" : "Class") + " in [Version]; expected " +
                    Narrow(expected.name) + " " + Narrow(expected.guid));
    auto parsed = winsim::GuidFromString(Narrow(*guid));
    if (!parsed)
        return Fail("ClassGuid " + Quote(*guid) + " is not a GUID");
    if (!EqualNoCase(Widen(winsim::GuidToString(*parsed)), expected.guid) || !EqualNoCase(*name, expected.name))
        return Fail("class " + Narrow(*name) + " " + Narrow(*guid) + ", expected " + Narrow(expected.name) + " " +
                    Narrow(expected.guid) + ": " + expected.why);
    return Pass();
}

// --- models sections ---------------------------------------------------------

std::vector<const inf::Line *> Manufacturers(const inf::InfFile &file)
{
    std::vector<const inf::Line *> entries;
    if (const inf::Section *section = file.FindSection(u"Manufacturer"))
        for (const inf::Line &line : section->lines)
            if (!line.fields.empty() && !line.fields[0].empty())
                entries.push_back(&line);
    return entries;
}

Cell CheckModels(const Subject &s, Platform platform)
{
    auto entries = Manufacturers(s.file);
    if (entries.empty())
        return Fail("no [Manufacturer] entry");
    for (const inf::Line *entry : entries) {
        const Text &base = entry->fields[0];
        const inf::Models models = inf::ModelsSection(s.file, *entry, OldestWindows(platform));
        switch (platform) {
        case Platform::Windows2000:
            if (!models.section)
                return Fail("no " + Bracket(base) + ": Windows 2000 reads only the undecorated models section");
            break;
        case Platform::X86:
            if (models.decorated)
                break;
            if (!models.section)
                return Fail("no " + Bracket(base + u".NTx86") + " and no " + Bracket(base) +
                            ": 32-bit Windows finds no driver");
            return Warn("no " + Bracket(base + u".NTx86") + " listed in [Manufacturer]: 32-bit Windows XP and "
                        "later fall back to " + Bracket(base) + "; decorate it so each platform's section is explicit");
        case Platform::Amd64:
            if (!models.decorated)
                return Fail("no " + Bracket(base + u".NTamd64") + " listed in [Manufacturer]: x64 Windows ignores "
                            "an undecorated models section and installs nothing");
            break;
        }
    }
    return Pass();
}

// Every models line that lists the INF's hardware ID, on a platform.
std::vector<inf::ModelLine> ModelLines(const Subject &s, Platform platform)
{
    return inf::ModelLines(s.file, OldestWindows(platform), s.hardwareId);
}

Cell CheckHardwareId(const Subject &s)
{
    std::vector<std::string> missing;
    for (Platform platform : kPlatforms)
        if (ModelLines(s, platform).empty())
            missing.push_back(PlatformName(platform));
    if (!missing.empty())
        return Fail(Narrow(s.hardwareId) + " is not in the models section for " + Join(missing) +
                    ": no driver is installed for it there");
    return Pass();
}

// The fault of one AddService line's service-install section, as the setup
// library refuses it; empty when it installs.
std::string ServiceInstallFault(const inf::InfFile &file, const inf::ServiceLine &addService)
{
    const inf::Section *install = file.FindSection(addService.installSection);
    if (install == nullptr)
        return "AddService " + Narrow(addService.name) + " names " + Bracket(addService.installSection) +
               ", which does not exist";
    if (auto missing = inf::MissingServiceEntry(file, *install))
        return Bracket(install->name) + " has no " + Narrow(*missing);
    return std::string();
}

Cell CheckInstallSections(const Subject &s)
{
    bool any = false;
    for (Platform platform : kPlatforms) {
        for (const inf::ModelLine &model : ModelLines(s, platform)) {
            any = true;
            const Text name = model.line->fields[0];
            const inf::Section *install = inf::InstallSection(s.file, name, OldestWindows(platform));
            if (install == nullptr)
                return Fail(Bracket(model.models->name) + " names " + Bracket(name) + ", which does not exist");
            const Text servicesName = install->name + SERVICES_SUFFIX;
            const inf::Section *services = s.file.FindSection(servicesName);
            if (services == nullptr)
                return Fail("no " + Bracket(servicesName) + ": the device would get no function driver");
            bool associated = false;
            for (const inf::ServiceLine &line : inf::AddServiceLines(*services)) {
                if (line.name.empty())
                    continue;
                std::string fault = ServiceInstallFault(s.file, line);
                if (!fault.empty())
                    return Fail(fault + ": the setup library refuses the services section");
                associated = associated || (line.flags & SPSVCINST_ASSOCSERVICE);
            }
            if (!associated)
                return Fail(Bracket(servicesName) + " has no AddService with flag 0x00000002: the device would get "
                            "no function driver");
        }
    }
    if (!any)
        return NotApplicable("no models line lists " + Narrow(s.hardwareId));
    return Pass();
}

Cell CheckDescription(const Subject &s)
{
    if (s.expectedDescription.empty())
        return NotApplicable();
    for (Platform platform : kPlatforms) {
        for (const inf::ModelLine &model : ModelLines(s, platform)) {
            const Text description = model.line->key ? *model.line->key : Text();
            if (EqualNoCase(description, s.expectedDescription))
                continue;
            if (s.document.role == Role::Bus)
                return Fail("the device description in " + Bracket(model.models->name) + " is " + Quote(description) +
                            ": -c recognises the MPIO bus device only by " + Quote(MPIO_BUS_DESCRIPTION));
            return Fail("the device description in " + Bracket(model.models->name) + " is " + Quote(description) +
                        ", the build's is " + Quote(s.expectedDescription) +
                        ": -c never finds the DSM; build with -DMPIO_DSM_DESCRIPTION=" + Quote(description));
        }
    }
    return Pass();
}

// --- files -------------------------------------------------------------------

// A file of the package, found as Windows finds names; nothing when absent.
std::optional<std::string> PackageFile(const Package &package, const std::string &relative)
{
    auto found = winsim::FindHostPath(Widen(package.dir.string() + "\\" + relative));
    std::error_code error;
    if (!found || !std::filesystem::is_regular_file(*found, error))
        return std::nullopt;
    return found;
}

bool InPackage(const Package &package, const std::string &relative) { return PackageFile(package, relative).has_value(); }

// Where the setup library looks for a source file on a platform, below the
// package's directory.
std::string SourcePath(const inf::InfFile &file, const Text &name, const winsim::OsInfo &os)
{
    const inf::SourceLocation location = inf::SourceOf(file, name, os);
    std::string path;
    for (const Text &part : {location.diskPath, location.subdirectory})
        if (!part.empty())
            path += Narrow(part) + "\\";
    return path + Narrow(name);
}

Cell CheckCopyFiles(const Subject &s)
{
    std::vector<std::string> missing;
    // Where the setup library looks for a source file, on each architecture.
    auto need = [&](const Text &name) {
        for (Platform platform : kPlatforms) {
            const std::string path = SourcePath(s.file, name, OldestWindows(platform));
            if (!InPackage(s.package, path) && std::find(missing.begin(), missing.end(), path) == missing.end())
                missing.push_back(path);
        }
    };
    for (const inf::Section &section : s.file.Sections()) {
        for (const Text &value : inf::DirectiveValues(section, u"CopyFiles")) {
            auto copies = inf::CopyList(s.file, value);
            if (!copies)
                return Fail(Bracket(section.name) + " CopyFiles names " + Bracket(value) + ", which does not exist");
            for (const inf::FileCopy &copy : *copies)
                need(copy.sourceName);
        }
    }
    if (!missing.empty())
        return Fail("not in the package: " + Join(missing));
    return Pass();
}

// The catalog files [Version] names: CatalogFile and its decorated forms.
std::vector<std::string> CatalogFiles(const inf::InfFile &file)
{
    std::vector<std::string> names;
    if (const inf::Section *version = file.FindSection(u"Version"))
        for (const inf::Line &line : version->lines)
            if (line.key && !line.fields.empty() && StartsWithNoCase(*line.key, u"CatalogFile"))
                names.push_back(Narrow(line.fields[0]));
    return names;
}

Cell CheckCatalog(const Subject &s)
{
    std::vector<std::string> named = CatalogFiles(s.file), missing;
    for (const std::string &name : named)
        if (!InPackage(s.package, name))
            missing.push_back(name);
    if (named.empty())
        return Warn("no CatalogFile in [Version]: x64 Windows (Vista on) loads only signed drivers; sign the "
                    "package and name its catalog");
    if (!missing.empty())
        return Fail("CatalogFile names " + Join(missing) + ", which is not in the package");
    return Pass();
}

// --- uninstall ---------------------------------------------------------------

Cell CheckUninstall(const Subject &s)
{
    if (!s.file.FindSection(u"DefaultUninstall"))
        return Fail("no [DefaultUninstall]: -u runs it and fails without it");
    const inf::Section *services = s.file.FindSection(u"DefaultUninstall.Services");
    if (!services)
        return Fail("no [DefaultUninstall.Services]: -u runs it after [DefaultUninstall] and fails without it");
    for (const Text &service : InstalledServices(s.file)) {
        bool deleted = false;
        for (const inf::Line &line : services->lines)
            deleted = deleted || (line.key && EqualNoCase(*line.key, u"DelService") && !line.fields.empty() &&
                                  EqualNoCase(line.fields[0], service));
        if (!deleted)
            return Fail("[DefaultUninstall.Services] does not delete the service " + Narrow(service) +
                        ": it stays after -u");
    }
    return Pass();
}

// Whether the installer's own removal (Windows 2000) deletes each string
// from a list that holds them all: it reads the DelReg section name of
// [DefaultUninstall] and removes what that section's lines name.  The INF
// is opened through the simulated machine's setup library.
std::vector<bool> DeletedByTheInstaller(const InfDocument &document, MultiSzKind kind,
                                        const std::vector<Text> &strings)
{
    const winsim::Machine empty;
    winsim::SetCurrent(empty);
    const std::vector<uint8_t> bytes = winsim::MultiStringBytes(strings);
    DWORD size = static_cast<DWORD>(bytes.size());
    WCHAR *list = static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, size));
    WCHAR *section = nullptr;
    const Text path = Widen(document.path);
    std::vector<bool> deleted(strings.size(), false);
    if (list == nullptr)
        return deleted;
    std::memcpy(list, bytes.data(), size);
    if (ReadDelRegSectionName(path.c_str(), &section) == ERROR_SUCCESS)
        RemoveDelRegStrings(path.c_str(), section, kind, &list, &size);
    const std::vector<Text> left = winsim::ParseMultiString(reinterpret_cast<const uint8_t *>(list), size);
    for (size_t i = 0; i < strings.size(); i++)
        deleted[i] = std::none_of(left.begin(), left.end(), [&](const Text &entry) { return EqualNoCase(entry, strings[i]); });
    LocalFree(section);
    LocalFree(list);
    return deleted;
}

// The value the installer itself writes back on 5.0 after the uninstall
// section ran, as it was read before minus the DelReg strings: the
// supported-device list for the DSM, the adapter class's UpperFilters for
// the bus driver.  The disk driver has none.
std::optional<inf::RegistryLine> RestoredOn50(Role role)
{
    if (role == Role::Disk)
        return std::nullopt;
    const MultiSzValue value = ValueOf(role == Role::Dsm ? MULTISZ_SUPPORTED_DEVICES : MULTISZ_UPPER_FILTERS);
    inf::RegistryLine line;
    line.root = DELREG_ROOT;
    line.subkey = value.keyPath;
    line.valueName = value.valueName;
    return line;
}

// How a DelReg section of [DefaultUninstall] deletes a string of a shared
// list on 5.1 and later: by a delete-string line naming it, with the whole
// value or key, or not at all.
enum class UninstallDeletion { None, String, Whole };

// Key paths compared as the registry compares them: no case, no leading or
// trailing separators.
Text KeyPath(Text path)
{
    while (!path.empty() && path.front() == u'\\')
        path.erase(path.begin());
    while (!path.empty() && path.back() == u'\\')
        path.pop_back();
    return path;
}

bool OnKeyOf(const inf::RegistryLine &line, const MultiSzValue &value)
{
    return EqualNoCase(line.root, DELREG_ROOT) && EqualNoCase(KeyPath(line.subkey), KeyPath(value.keyPath));
}

UninstallDeletion DeletionOf(const inf::Section &section, MultiSzKind kind, const Text &string)
{
    const MultiSzValue value = ValueOf(kind);
    UninstallDeletion found = UninstallDeletion::None;
    for (const inf::Line &text : section.lines) {
        const inf::RegistryLine line = inf::DecodeRegistryLine(text);
        if (!OnKeyOf(line, value))
            continue;
        const bool deleteString =
            line.valueName && (line.flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING;
        if (!line.valueName || (!deleteString && (line.flags & kDelRegKeyOnlyCommon)))
            return UninstallDeletion::Whole;   // the key, with every value in it
        if (!EqualNoCase(*line.valueName, value.valueName))
            continue;
        if (!deleteString)
            return UninstallDeletion::Whole;
        if (!line.values.empty() && EqualNoCase(line.values[0], string))
            found = UninstallDeletion::String;
    }
    return found;
}

Cell CheckDelReg(const Subject &s)
{
    std::vector<std::pair<MultiSzKind, std::vector<Text>>> appended;
    for (MultiSzKind kind : {MULTISZ_SUPPORTED_DEVICES, MULTISZ_UPPER_FILTERS}) {
        std::vector<Text> strings;
        for (const ListAdd &add : ListAdds(s.file, kind)) {
            // A replaced supported-device list is the strings row's finding;
            // its strings must still go at -u.
            if (!add.Appends() && kind != MULTISZ_SUPPORTED_DEVICES)
                return Fail(Bracket(add.section->name) + " replaces the whole " + Narrow(ValueOf(kind).valueName) +
                            " (flags " + Hex(add.flags) + "): other vendors' entries would be lost; append with "
                            "0x00010008");
            if (!winsim::ContainsNoCase(strings, add.string))
                strings.push_back(add.string);
        }
        if (!strings.empty())
            appended.emplace_back(kind, strings);
    }
    if (appended.empty())
        return NotApplicable("appends to no shared multi-string value");
    const inf::Line *delReg = s.file.FindLine(UNINSTALL_SECTION, DELREG_KEY);
    if (delReg == nullptr || delReg->fields.empty() || delReg->fields[0].empty())
        return Fail("[DefaultUninstall] has no DelReg line: " + Quote(appended[0].second[0]) + " stays in " +
                    Narrow(ValueOf(appended[0].first).valueName) + " after -u");
    if (delReg->fields.size() != 1)
        return Fail("the DelReg line names " + std::to_string(delReg->fields.size()) +
                    " sections; the installer's own removal on Windows 2000 reads it as one section name");
    const inf::Section *section = s.file.FindSection(delReg->fields[0]);
    if (section == nullptr)
        return Fail("DelReg names " + Bracket(delReg->fields[0]) + ", which does not exist");
    const bool serves50 = !ModelLines(s, Platform::Windows2000).empty();
    const auto restored = RestoredOn50(s.document.role);
    for (const auto &[kind, strings] : appended) {
        const MultiSzValue value = ValueOf(kind);
        const bool writtenBackOn50 = serves50 && restored && EqualNoCase(*restored->valueName, value.valueName);
        const std::vector<bool> deletedOn50 = DeletedByTheInstaller(s.document, kind, strings);
        const std::string line = "(" + Narrow(DELREG_ROOT) + ", " + Narrow(value.keyPath) + ", " +
                                 Narrow(value.valueName) + ", 0x00018002, ";
        for (size_t i = 0; i < strings.size(); i++) {
            const UninstallDeletion deletion = DeletionOf(*section, kind, strings[i]);
            if (deletion == UninstallDeletion::None)
                return Fail(Bracket(section->name) + " does not delete " + Quote(strings[i]) + " from " +
                            Narrow(value.valueName) + " " + line + Quote(strings[i]) + ")");
            // On 5.0 the installer writes the value back as it read it before
            // the section ran, minus the strings its own removal takes out.
            if (writtenBackOn50 && !deletedOn50[i])
                return Fail("on 5.0 " + Bracket(section->name) + " does not delete " + Quote(strings[i]) + " from " +
                            Narrow(value.valueName) + ": the setup library deletes the whole value there and the "
                            "installer writes it back as it was, taking out only the strings of five-field lines with "
                            "flags 0x00018002 " + line + Quote(strings[i]) + ")" +
                            (deletion == UninstallDeletion::Whole ? "; on later Windows the whole value goes" : ""));
        }
    }
    return Pass();
}

Cell CheckSupportedDevices(const Subject &s)
{
    if (s.document.role != Role::Dsm)
        return NotApplicable();
    for (const ListAdd &add : ListAdds(s.file, MULTISZ_SUPPORTED_DEVICES))
        if (!add.Appends())
            return Fail(Bracket(add.section->name) + " replaces the whole " + Narrow(SUPPORTED_DEVICES_VALUE) +
                        " with its strings (flags " + Hex(add.flags) + ") instead of appending them: other vendors' "
                        "strings are lost at -i and their disks released; append with 0x00010008");
    const std::vector<Text> strings = SupportedDeviceStrings(s.document);
    if (strings.empty())
        return Fail("the DSM appends no string to " + Narrow(SUPPORTED_DEVICES_VALUE) + " (AddReg HKLM, " +
                    Narrow(SUPPORTED_DEVICES_KEY) + ", " + Narrow(SUPPORTED_DEVICES_VALUE) +
                    ", 0x00010008, \"VENDOR  PRODUCT         \"): no disk would be claimed");
    std::vector<std::string> faults;
    for (const Text &string : strings) {
        bool printable = true;
        for (char16_t c : string)
            printable = printable && c >= 0x20 && c <= 0x7E;
        if (!printable)
            faults.push_back(Quote(string) + " holds characters other than printable ASCII, which SCSI inquiry "
                             "data does not");
        else if (string.size() != SUPPORTED_DEVICE_UNITS)
            faults.push_back(Quote(string) + " has " + std::to_string(string.size()) +
                             " characters; the disk claim compares vendor (8) and product (16), padded with "
                             "spaces: 24");
    }
    if (!faults.empty())
        return Fail(Join(faults, "; "));
    return Pass();
}

// --- what -u deletes ---------------------------------------------------------

bool SameKey(const inf::RegistryLine &a, const inf::RegistryLine &b)
{
    return EqualNoCase(a.root, b.root) && EqualNoCase(KeyPath(a.subkey), KeyPath(b.subkey));
}

bool SameValue(const inf::RegistryLine &a, const inf::RegistryLine &b)
{
    return SameKey(a, b) && a.valueName && b.valueName && EqualNoCase(*a.valueName, *b.valueName);
}

// Every AddReg line the install sections run (all but the uninstall ones).
std::vector<inf::RegistryLine> InstallAddRegLines(const inf::InfFile &file)
{
    std::vector<inf::RegistryLine> lines;
    std::set<Text> visited;
    for (const inf::Section &section : file.Sections()) {
        if (IsUninstallSection(section.name))
            continue;
        for (const Text &name : inf::DirectiveValues(section, u"AddReg")) {
            const inf::Section *addReg = file.FindSection(name);
            if (addReg == nullptr || !visited.insert(winsim::Fold(name)).second)
                continue;
            for (const inf::Line &line : addReg->lines)
                lines.push_back(inf::DecodeRegistryLine(line));
        }
    }
    return lines;
}

const Text kClassKeyPrefix = u"SYSTEM\\CurrentControlSet\\Control\\Class\\";
const Text kServicesKeyPrefix = u"SYSTEM\\CurrentControlSet\\Services\\";

// A key as a reason names it: a setup class by its name, else root\subkey.
std::string KeyName(const inf::RegistryLine &line)
{
    static const std::pair<const char16_t *, const char *> classes[] = {
        {u"{4D36E967-E325-11CE-BFC1-08002BE10318}", "the disk drive class"},
        {u"{4D36E97B-E325-11CE-BFC1-08002BE10318}", "the SCSI adapter class"},
        {u"{4D36E97D-E325-11CE-BFC1-08002BE10318}", "the system device class"},
    };
    const Text path = KeyPath(line.subkey);
    if (EqualNoCase(line.root, u"HKLM") && StartsWithNoCase(path, kClassKeyPrefix)) {
        const Text guid = path.substr(kClassKeyPrefix.size());
        for (const auto &[classGuid, name] : classes)
            if (EqualNoCase(guid, classGuid))
                return name;
        return "the class " + Narrow(guid);
    }
    return Narrow(line.root) + (path.empty() ? "" : "\\" + Narrow(path));
}

// The service whose key (or a key below it) an HKLM path names: "" for the
// Services key itself, nothing for a path outside it.
std::optional<Text> ServiceOfKey(const inf::RegistryLine &line)
{
    const Text path = KeyPath(line.subkey);
    if (!EqualNoCase(line.root, u"HKLM") || !StartsWithNoCase(path + u"\\", kServicesKeyPrefix))
        return std::nullopt;
    const Text below = path.size() > kServicesKeyPrefix.size() ? path.substr(kServicesKeyPrefix.size()) : Text();
    return below.substr(0, below.find(u'\\'));
}

// A key other drivers and the system keep values in: a class key, the
// supported-device list's key, or another service's key.
bool SharedKey(const inf::RegistryLine &line, const std::vector<Text> &services)
{
    if (!EqualNoCase(line.root, u"HKLM"))
        return false;
    const Text path = KeyPath(line.subkey);
    if (path.empty() || EqualNoCase(path, SUPPORTED_DEVICES_KEY) || StartsWithNoCase(path + u"\\", kClassKeyPrefix))
        return true;
    const auto service = ServiceOfKey(line);
    return service && (service->empty() || !winsim::ContainsNoCase(services, *service));
}

// What is wrong with one DelReg line, judged against the install's AddReg
// lines; empty when it deletes only what the install added.  A line is
// read as the setup library reads it: no value name (or the key-only flag)
// deletes the key, the delete-string flag one string of a multi-string
// (on 5.1 and later; the 5.0 library does not know that flag and deletes
// the whole value), any other line the value.
std::string DelRegLineFault(const Subject &s, const inf::Section &section, const inf::Line &text,
                            const std::vector<inf::RegistryLine> &added)
{
    const inf::RegistryLine line = inf::DecodeRegistryLine(text);
    const bool deleteString =
        line.valueName && (line.flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING;
    const bool deletesKey = !line.valueName || (!deleteString && (line.flags & kDelRegKeyOnlyCommon));
    const std::string where = Bracket(section.name) + " line " + std::to_string(text.sourceLine) + " (" +
                              Narrow(text.CompactText()) + ")";
    const std::string key = KeyName(line);
    const std::string value = line.valueName ? Narrow(*line.valueName) : std::string();
    const Text string = line.values.empty() ? Text() : line.values[0];

    if (line.root.empty())
        return where + " names no registry root: the setup library refuses the section and -u fails";
    const bool rootWritten = std::any_of(added.begin(), added.end(),
                                         [&](const inf::RegistryLine &a) { return EqualNoCase(a.root, line.root); });
    const std::string what = deletesKey ? "the key " + key
                                        : (deleteString ? Quote(string) + " from " : std::string()) + "the value " +
                                              value + " of " + key;
    if (!rootWritten)
        return where + " deletes " + what + ", under the root " + Narrow(line.root) + ", which the install never writes" +
               (EqualNoCase(line.root, u"HKCU") ? " (on Windows: the profile of the user who runs -u)" : "");

    if (deletesKey) {
        const std::vector<Text> services = InstalledServices(s.file);
        if (SharedKey(line, services))
            return where + " deletes the key " + key + " with every value in it, other drivers' and the "
                   "system's too, on every Windows";
        // The package's own service keys are its to delete, whatever the install wrote below them.
        if (ServiceOfKey(line))
            return std::string();
        if (std::none_of(added.begin(), added.end(), [&](const inf::RegistryLine &a) { return SameKey(a, line); }))
            return where + " deletes the key " + key + ", which the install never writes";
        return std::string();
    }

    std::vector<const inf::RegistryLine *> writes;
    for (const inf::RegistryLine &a : added)
        if (SameValue(a, line))
            writes.push_back(&a);
    // On 5.0 the setup library deletes the value a delete-string line names
    // whole; the installer then writes back the one value it restores, minus
    // the strings of the lines its own removal reads: five fields, flags
    // exactly 0x00018002.  It passes any other line over.
    const auto restored = RestoredOn50(s.document.role);
    const bool restoredOn50 = restored && SameValue(*restored, line);
    const bool readByInstaller = text.fields.size() == 5 && line.flags == FLG_DELREG_MULTI_SZ_DELSTRING;
    std::string whole = "on 5.0 this deletes the whole " + value + " value of " + key;
    if (restoredOn50)
        whole = readByInstaller ? "on 5.0 the installer's own removal deletes it too"
                                : "on 5.0 the installer writes the value back as it was, passing this line over (it "
                                  "reads only lines of five fields with flags 0x00018002)";
    if (deleteString && line.values.empty())
        return where + " is a delete-string line that names no string: it deletes nothing from the value " + value +
               " of " + key + " on 5.1 and later; " + whole;
    if (writes.empty())
        return where + " deletes " + what + ", which the install never writes" + (deleteString ? "; " + whole : "");
    const bool appended = std::any_of(writes.begin(), writes.end(), [](const inf::RegistryLine *a) {
        return (a->flags & FLG_ADDREG_APPEND) != 0;
    });
    if (!deleteString) {
        if (appended)
            return where + " deletes the whole " + value + " value of " + key +
                   ", to which the install only appends: other entries go with it";
        return std::string();
    }
    const bool stringAdded = std::any_of(writes.begin(), writes.end(), [&](const inf::RegistryLine *a) {
        return inf::AddRegType(a->flags) == REG_MULTI_SZ && !(a->flags & FLG_ADDREG_BINVALUETYPE) &&
               winsim::ContainsNoCase(a->values, string);
    });
    if (!stringAdded)
        return where + " deletes " + what + ", a string the install never adds; " + whole;
    if (appended && !restoredOn50 && !ModelLines(s, Platform::Windows2000).empty())
        return where + ": " + whole + ", other drivers' entries with it; the installer puts back " +
               (restored ? "only " + Narrow(*restored->valueName) : std::string("no value")) +
               " after this INF's uninstall section";
    return std::string();
}

// The DelReg lines of the install sections Windows 2000 runs that delete a
// value others share there: the 5.0 setup library does not know the
// delete-string flag and deletes the whole value, and after an install the
// installer puts nothing back.
std::vector<std::string> InstallDelRegFaultsOn50(const Subject &s)
{
    std::vector<std::string> faults;
    std::set<Text> seen;
    const std::vector<Text> services = InstalledServices(s.file);
    for (const inf::ModelLine &model : ModelLines(s, Platform::Windows2000)) {
        const inf::Section *install =
            inf::InstallSection(s.file, model.line->fields[0], OldestWindows(Platform::Windows2000));
        if (install == nullptr)
            continue;
        for (const Text &name : inf::DirectiveValues(*install, DELREG_KEY)) {
            const inf::Section *section = s.file.FindSection(name);
            if (section == nullptr || !seen.insert(winsim::Fold(name)).second)
                continue;
            for (const inf::Line &text : section->lines) {
                const inf::RegistryLine line = inf::DecodeRegistryLine(text);
                const bool deleteString =
                    line.valueName && (line.flags & FLG_DELREG_MULTI_SZ_DELSTRING) == FLG_DELREG_MULTI_SZ_DELSTRING;
                if (!line.valueName || (!deleteString && (line.flags & kDelRegKeyOnlyCommon)) ||
                    !SharedKey(line, services))
                    continue;
                faults.push_back(Bracket(section->name) + " line " + std::to_string(text.sourceLine) + " (" +
                                 Narrow(text.CompactText()) + "), which " + Bracket(install->name) +
                                 " runs on Windows 2000, deletes the whole " + Narrow(*line.valueName) + " value of " +
                                 KeyName(line) + " there at every -i" +
                                 (deleteString ? " (the 5.0 setup library does not know the delete-string flag)" : "") +
                                 ": other vendors' entries go with it; let " + Bracket(model.models->name) +
                                 ", the models section Windows 2000 reads, name an install section without it");
            }
        }
    }
    return faults;
}

Cell CheckDelRegScope(const Subject &s)
{
    const inf::Section *uninstall = s.file.FindSection(UNINSTALL_SECTION);
    const std::vector<Text> sections = uninstall ? inf::DirectiveValues(*uninstall, DELREG_KEY) : std::vector<Text>();
    const std::vector<std::string> installFaults = InstallDelRegFaultsOn50(s);
    if (sections.empty() && installFaults.empty())
        return NotApplicable("[DefaultUninstall] deletes no registry entries");
    const std::vector<inf::RegistryLine> added = InstallAddRegLines(s.file);
    std::vector<std::string> faults;
    for (const Text &name : sections)
        if (const inf::Section *section = s.file.FindSection(name))
            for (const inf::Line &line : section->lines) {
                std::string fault = DelRegLineFault(s, *section, line, added);
                if (!fault.empty())
                    faults.push_back(std::move(fault));
            }
    faults.insert(faults.end(), installFaults.begin(), installFaults.end());
    if (!faults.empty())
        return Fail(Join(faults, "; "));
    return Pass();
}

// --- services ------------------------------------------------------------------

// Every service the models lines' install sections add on some platform,
// with the section that installs it, once each.
std::vector<std::pair<Text, const inf::Section *>> ModelServices(const Subject &s)
{
    std::vector<std::pair<Text, const inf::Section *>> services;
    std::set<Text> seen;
    for (Platform platform : kPlatforms)
        for (const inf::ModelLine &model : ModelLines(s, platform)) {
            const inf::Section *install = inf::InstallSection(s.file, model.line->fields[0], OldestWindows(platform));
            const inf::Section *list = install ? s.file.FindSection(install->name + SERVICES_SUFFIX) : nullptr;
            if (list == nullptr)
                continue;
            for (const inf::ServiceLine &line : inf::AddServiceLines(*list)) {
                const inf::Section *serviceInstall = s.file.FindSection(line.installSection);
                if (!line.name.empty() && serviceInstall && seen.insert(winsim::Fold(line.name)).second)
                    services.emplace_back(line.name, serviceInstall);
            }
        }
    return services;
}

Cell CheckStartType(const Subject &s)
{
    constexpr int32_t kBootStart = 0;   // SERVICE_BOOT_START
    static const char *const kStartNames[] = {"boot", "system", "automatic", "demand", "disabled"};
    const auto services = ModelServices(s);
    if (services.empty())
        return NotApplicable("installs no service");
    std::vector<std::string> faults;
    for (const auto &[name, install] : services) {
        const inf::Line *line = s.file.FindLine(install->name, u"StartType");
        auto start = line && !line->fields.empty() ? inf::ParseInt(line->fields[0]) : std::nullopt;
        if (!start || *start == kBootStart)
            continue;   // absent or no number: the install-sections row tells
        const bool named = *start > 0 && *start < 5;
        faults.push_back("the service " + Narrow(name) + " has StartType " + std::to_string(*start) +
                         (named ? std::string(" (") + kStartNames[*start] + " start)" : std::string()));
    }
    if (!faults.empty())
        return Warn(Join(faults, "; ") + ": a disk the system boots from is reached only through drivers that "
                    "start with the boot drivers; use 0 (SERVICE_BOOT_START)");
    return Pass();
}

// --- driver images and catalogs ------------------------------------------------

// The machine type a platform's models section asks of a driver.  Windows
// 2000 reads the undecorated section and runs only on x86; NTx86 is i386 and
// NTamd64 AMD64.  Other decorations (NTia64, NTarm64) are not among the
// platforms the package serves.
uint16_t MachineOf(Platform platform)
{
    return platform == Platform::Amd64 ? kMachineAmd64 : kMachineI386;
}

// Reads a package file found as Windows finds names; nothing when absent.
std::optional<std::string> ReadPackageFile(const Package &package, const std::string &relative)
{
    const auto found = PackageFile(package, relative);
    return found ? hosttools::ReadFile(*found) : std::nullopt;
}

// Each driver file (a copied .sys) is judged once per source path, against
// every platform that copies it from there: each must be able to load it.
// A file that one source path gives platforms of different machine types
// cannot fit them all; per-architecture source files (SourceDisksNames.x86
// and .amd64 naming different paths) can.
Cell CheckDriverImages(const Subject &s)
{
    std::map<std::string, std::vector<Platform>> served;   // package path -> platforms
    for (Platform platform : kPlatforms)
        for (const inf::ModelLine &model : ModelLines(s, platform)) {
            const winsim::OsInfo &os = OldestWindows(platform);
            const inf::Section *install = inf::InstallSection(s.file, model.line->fields[0], os);
            if (install == nullptr)
                continue;
            for (const Text &value : inf::DirectiveValues(*install, u"CopyFiles")) {
                for (const inf::FileCopy &copy : inf::CopyList(s.file, value).value_or(std::vector<inf::FileCopy>())) {
                    const Text target = copy.target.empty() ? copy.sourceName : copy.target;
                    if (!EndsWithNoCase(target, u".sys"))
                        continue;
                    auto &platforms = served[SourcePath(s.file, copy.sourceName, os)];
                    if (std::find(platforms.begin(), platforms.end(), platform) == platforms.end())
                        platforms.push_back(platform);
                }
            }
        }
    if (served.empty())
        return NotApplicable("copies no driver file");
    std::vector<std::string> errors, warnings;
    std::set<std::string> advice;
    for (const auto &[path, platforms] : served) {
        auto bytes = ReadPackageFile(s.package, path);
        if (!bytes)
            continue;   // the copy-files row tells
        const PeImage image = ReadPeImage(*bytes);
        if (!image.valid) {
            errors.push_back(path + " is not a PE image (" + image.fault + "): Windows cannot load it as a driver");
            continue;
        }
        std::vector<std::string> unfit;
        for (Platform platform : platforms)
            if (MachineOf(platform) != image.machine)
                unfit.push_back(std::string(PlatformName(platform)) + " (" + MachineName(MachineOf(platform)) + ")");
        std::vector<std::string> what;
        if (IsExamplePlaceholder(*bytes)) {
            what.push_back("a placeholder, not a driver (the example package's, which loads nothing)");
            advice.insert("ship your drivers in their place");
        }
        if (unfit.size() == platforms.size()) {
            what.push_back("an " + MachineName(image.machine) + " image, copied for " + Join(unfit) +
                           " only: no platform that installs it can load it");
        } else if (!unfit.empty()) {
            what.push_back("an " + MachineName(image.machine) + " image that the same source path also gives " +
                           Join(unfit) + ", which cannot load it");
            advice.insert("give each architecture its own file");
        }
        if (!what.empty())
            warnings.push_back(path + " is " + Join(what, ", and "));
    }
    if (!errors.empty())
        return Fail(Join(errors, "; "));
    if (!warnings.empty())
        return Warn(Join(warnings, "; ") +
                    (advice.empty() ? std::string() : "; " + Join({advice.rbegin(), advice.rend()}, ", and ")));
    return Pass();
}

Cell CheckCatalogFormat(const Subject &s)
{
    std::vector<std::string> faults, placeholders;
    bool any = false;
    for (const std::string &name : CatalogFiles(s.file)) {
        auto bytes = ReadPackageFile(s.package, name);
        if (!bytes)
            continue;   // the catalog row tells
        any = true;
        const std::string fault = SignedDataFault(*bytes);
        if (!fault.empty())
            faults.push_back(name + " is not a DER PKCS#7 signed-data structure (" + fault + ")");
        else if (IsExamplePlaceholder(*bytes))
            placeholders.push_back(name + " is a placeholder, not a signed catalog (the example package's, which "
                                   "signs nothing)");
    }
    if (!any)
        return NotApplicable("no catalog file in the package");
    std::vector<std::string> warnings;
    if (!faults.empty())
        warnings.push_back(Join(faults, "; ") + ": Windows cannot read it as the package's signature; ship the "
                           "signed catalog made from the INF and its files");
    if (!placeholders.empty())
        warnings.push_back(Join(placeholders, "; ") + ": ship the signed catalog made from your INF and its files");
    if (!warnings.empty())
        return Warn(Join(warnings, "; "));
    return Pass();
}

struct Check {
    const char *id;
    const char *title;
    Cell (*run)(const Subject &);
};

const Check kChecks[] = {
    {"version", "Windows signature, [Version], DriverVer", CheckVersion},
    {"class", "setup class and class GUID", CheckClass},
    {"models-plain", "models section, undecorated (Windows 2000)",
     [](const Subject &s) { return CheckModels(s, Platform::Windows2000); }},
    {"models-ntx86", "models section, NTx86 (32-bit)", [](const Subject &s) { return CheckModels(s, Platform::X86); }},
    {"models-ntamd64", "models section, NTamd64 (x64)",
     [](const Subject &s) { return CheckModels(s, Platform::Amd64); }},
    {"hardware-id", "hardware ID in every models section", CheckHardwareId},
    {"install-sections", "install and service sections", CheckInstallSections},
    {"description", "device description -c looks for", CheckDescription},
    {"copy-files", "CopyFiles sources in the package", CheckCopyFiles},
    {"supported-devices", "supported-device strings (8 + 16)", CheckSupportedDevices},
    {"uninstall", "[DefaultUninstall] and its .Services", CheckUninstall},
    {"delreg", "DelReg deletes what the install appends", CheckDelReg},
    {"delreg-scope", "DelReg deletes only what the install added", CheckDelRegScope},
    {"start-type", "services start at boot (StartType 0)", CheckStartType},
    {"driver-images", "driver files are PE images of the platform", CheckDriverImages},
    {"catalog", "CatalogFile", CheckCatalog},
    {"catalog-format", "catalogs are DER PKCS#7 signed-data", CheckCatalogFormat},
};

Cell Unparsed(const InfDocument &document, bool first)
{
    if (!first)
        return NotApplicable("not checked: the INF does not parse");
    return Fail("the INF does not parse: error " + Hex(document.parseError) + " at line " +
                std::to_string(document.errorLine));
}

}  // namespace

Table CheckInfs(const Package &package, const std::string &dsmDescription)
{
    Table table;
    table.title = "INF checks";
    for (const InfDocument &document : package.infs)
        table.columns.push_back(document.fileName);
    for (const Check &check : kChecks) {
        Row row{check.id, check.title, {}};
        for (const InfDocument &document : package.infs) {
            if (!document.file) {
                row.cells.push_back(Unparsed(document, &check == &kChecks[0]));
                continue;
            }
            Text description;
            if (document.role == Role::Bus)
                description = MPIO_BUS_DESCRIPTION;
            else if (document.role == Role::Dsm)
                description = Widen(dsmDescription);
            Subject subject{package, document, *document.file, InstalledHardwareId(document, package.dsmHwid),
                            description};
            row.cells.push_back(check.run(subject));
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

}  // namespace pkgcheck
