#include "inf_checks.h"

#include <cstdio>

namespace pkgcheck {

namespace inf = winsim::inf;
using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;

namespace {

constexpr uint32_t kDelStringFlags = 0x00018002;   // FLG_DELREG_MULTI_SZ_DELSTRING
constexpr uint32_t kAssociatedService = 0x00000002;   // SPSVCINST_ASSOCSERVICE
const Text kMpioDescription = u"Multi-Path Support";

struct Subject {
    const Package &package;
    const InfDocument &document;
    const inf::InfFile &file;
    Text hardwareId;
    Text expectedDescription;   // empty: the role's device is not looked for by description
};

std::string Quote(const Text &text) { return "\"" + Narrow(text) + "\""; }
std::string Bracket(const Text &section) { return "[" + Narrow(section) + "]"; }

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Join(const std::vector<std::string> &parts, const char *separator = ", ")
{
    std::string joined;
    for (const std::string &part : parts)
        joined += (joined.empty() ? "" : separator) + part;
    return joined;
}

const Platform kPlatforms[] = {Platform::Windows2000, Platform::X86, Platform::Amd64};

// --- [Version] ---------------------------------------------------------------

// "mm/dd/yyyy" and an optional "w.x.y.z" of numbers up to 65535.
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
        auto value = inf::ParseInt(number);
        if (number.empty() || number[0] == u'-' || !value || *value > 65535 || ++parts > 4)
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

ClassExpectation ExpectedClass(Role role)
{
    switch (role) {
    case Role::Bus:
        return {u"SCSIAdapter", u"{4D36E97B-E325-11CE-BFC1-08002BE10318}",
                "the installer looks for the MPIO bus device among the SCSI adapters"};
    case Role::Disk:
        return {u"DiskDrive", u"{4D36E967-E325-11CE-BFC1-08002BE10318}",
                "the MPIO disk driver takes over disk drives"};
    case Role::Dsm:
        break;
    }
    return {u"System", u"{4D36E97D-E325-11CE-BFC1-08002BE10318}",
            "the installer creates the DSM device in the INF's class and -c looks for it among system devices"};
}

Cell CheckClass(const Subject &s)
{
    const ClassExpectation expected = ExpectedClass(s.document.role);
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
        const bool plain = s.file.FindSection(base) != nullptr;
        switch (platform) {
        case Platform::Windows2000:
            if (!plain)
                return Fail("no " + Bracket(base) + ": Windows 2000 reads only the undecorated models section");
            break;
        case Platform::X86:
            if (DecoratedModels(s.file, *entry, platform))
                break;
            if (!plain)
                return Fail("no " + Bracket(base + u".NTx86") + " and no " + Bracket(base) +
                            ": 32-bit Windows finds no driver");
            return Warn("no " + Bracket(base + u".NTx86") + " listed in [Manufacturer]: 32-bit Windows XP and "
                        "later fall back to " + Bracket(base) + "; decorate it so each platform's section is explicit");
        case Platform::Amd64:
            if (!DecoratedModels(s.file, *entry, platform))
                return Fail("no " + Bracket(base + u".NTamd64") + " listed in [Manufacturer]: x64 Windows ignores "
                            "an undecorated models section and installs nothing");
            break;
        }
    }
    return Pass();
}

Cell CheckHardwareId(const Subject &s)
{
    std::vector<std::string> missing;
    for (Platform platform : kPlatforms)
        if (FindModelLines(s.file, platform, s.hardwareId).empty())
            missing.push_back(PlatformName(platform));
    if (!missing.empty())
        return Fail(Narrow(s.hardwareId) + " is not in the models section for " + Join(missing) +
                    ": no driver is installed for it there");
    return Pass();
}

// The fault of one AddService line's service-install section, as the setup
// library refuses it; empty when it installs.
std::string ServiceInstallFault(const inf::InfFile &file, const inf::Line &addService)
{
    const Text installName = addService.fields.size() > 2 ? addService.fields[2] : Text();
    const inf::Section *install = file.FindSection(installName);
    if (install == nullptr)
        return "AddService " + Narrow(addService.fields[0]) + " names " + Bracket(installName) +
               ", which does not exist";
    for (const char16_t *key : {u"ServiceType", u"StartType", u"ErrorControl", u"ServiceBinary"}) {
        const inf::Line *line = file.FindLine(install->name, key);
        if (line == nullptr || line->fields.empty() || line->fields[0].empty())
            return Bracket(install->name) + " has no " + Narrow(key);
    }
    return std::string();
}

Cell CheckInstallSections(const Subject &s)
{
    bool any = false;
    for (Platform platform : kPlatforms) {
        for (const ModelLine &model : FindModelLines(s.file, platform, s.hardwareId)) {
            any = true;
            const Text name = model.line->fields[0];
            const inf::Section *install = InstallSection(s.file, platform, name);
            if (install == nullptr)
                return Fail(Bracket(model.models->name) + " names " + Bracket(name) + ", which does not exist");
            const Text servicesName = install->name + u".Services";
            const inf::Section *services = s.file.FindSection(servicesName);
            if (services == nullptr)
                return Fail("no " + Bracket(servicesName) + ": the device would get no function driver");
            bool associated = false;
            for (const inf::Line &line : services->lines) {
                if (!line.key || !EqualNoCase(*line.key, u"AddService") || line.fields.empty() ||
                    line.fields[0].empty())
                    continue;
                std::string fault = ServiceInstallFault(s.file, line);
                if (!fault.empty())
                    return Fail(fault + ": the setup library refuses the services section");
                auto flags = line.fields.size() > 1 ? inf::ParseInt(line.fields[1]) : std::nullopt;
                associated = associated || (flags && (static_cast<uint32_t>(*flags) & kAssociatedService));
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
        for (const ModelLine &model : FindModelLines(s.file, platform, s.hardwareId)) {
            const Text description = model.line->key ? *model.line->key : Text();
            if (EqualNoCase(description, s.expectedDescription))
                continue;
            if (s.document.role == Role::Bus)
                return Fail("the device description in " + Bracket(model.models->name) + " is " + Quote(description) +
                            ": -c recognises the MPIO bus device only by " + Quote(kMpioDescription));
            return Fail("the device description in " + Bracket(model.models->name) + " is " + Quote(description) +
                        ", the build's is " + Quote(s.expectedDescription) +
                        ": -c never finds the DSM; build with -DMPIO_DSM_DESCRIPTION=" + Quote(description));
        }
    }
    return Pass();
}

// --- files -------------------------------------------------------------------

const inf::Line *SourceLine(const inf::InfFile &file, const Text &section, const Text &key)
{
    for (const Text &suffix : {Text(u".amd64"), Text(u".x86"), Text()})
        if (const inf::Line *line = file.FindLine(section + suffix, key))
            return line;
    return nullptr;
}

// Where a source file lies in the package: the disk's path from
// [SourceDisksNames] and the file's subdirectory from [SourceDisksFiles].
std::string SourcePath(const inf::InfFile &file, const Text &name)
{
    std::string path;
    if (const inf::Line *fileLine = SourceLine(file, u"SourceDisksFiles", name)) {
        const Text disk = fileLine->fields.empty() ? Text() : fileLine->fields[0];
        const inf::Line *diskLine = SourceLine(file, u"SourceDisksNames", disk);
        if (diskLine && diskLine->fields.size() > 3 && !diskLine->fields[3].empty())
            path += Narrow(diskLine->fields[3]) + "\\";
        if (fileLine->fields.size() > 1 && !fileLine->fields[1].empty())
            path += Narrow(fileLine->fields[1]) + "\\";
    }
    return path + Narrow(name);
}

Cell CheckCopyFiles(const Subject &s)
{
    std::vector<std::string> missing;
    auto need = [&](const Text &name) {
        const std::string path = SourcePath(s.file, name);
        if (!FindFile(s.package.dir, path))
            missing.push_back(path);
    };
    for (const inf::Section &section : s.file.Sections()) {
        for (const inf::Line &line : section.lines) {
            if (!line.key || !EqualNoCase(*line.key, u"CopyFiles"))
                continue;
            for (const Text &value : line.fields) {
                if (value.empty())
                    continue;
                if (value[0] == u'@') {
                    need(value.substr(1));
                    continue;
                }
                const inf::Section *list = s.file.FindSection(value);
                if (list == nullptr)
                    return Fail(Bracket(section.name) + " CopyFiles names " + Bracket(value) + ", which does not exist");
                for (const inf::Line &entry : list->lines) {
                    auto target = entry.Field(1);
                    auto source = entry.Field(2);
                    if (source && !source->empty())
                        need(*source);
                    else if (target && !target->empty())
                        need(*target);
                }
            }
        }
    }
    if (!missing.empty())
        return Fail("not in the package: " + Join(missing));
    return Pass();
}

Cell CheckCatalog(const Subject &s)
{
    std::vector<std::string> named, missing;
    if (const inf::Section *version = s.file.FindSection(u"Version")) {
        for (const inf::Line &line : version->lines) {
            if (!line.key || line.fields.empty())
                continue;
            const Text key = *line.key;
            const Text prefix = u"CatalogFile";
            if (key.size() < prefix.size() || !EqualNoCase(key.substr(0, prefix.size()), prefix))
                continue;
            named.push_back(Narrow(line.fields[0]));
            if (!FindFile(s.package.dir, named.back()))
                missing.push_back(named.back());
        }
    }
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

// A DelReg line that the installer's own removal (Windows 2000) applies:
// exactly five fields, HKLM, the value's key and name, the delete-string
// flags and the string.
bool DeletesString(const inf::Line &line, const MultiSzValue &value, const Text &string)
{
    if (line.fields.size() != 5 || !EqualNoCase(line.fields[0], u"HKLM") ||
        !EqualNoCase(line.fields[1], value.keyPath) || !EqualNoCase(line.fields[2], value.valueName))
        return false;
    auto flags = inf::ParseInt(line.fields[3]);
    return flags && static_cast<uint32_t>(*flags) == kDelStringFlags && EqualNoCase(line.fields[4], string);
}

Cell CheckDelReg(const Subject &s)
{
    std::vector<std::pair<const MultiSzValue *, Text>> appended;
    for (const MultiSzValue *value : {&SupportedDeviceList(), &UpperFilters()}) {
        for (const RegistryLine &add : MultiSzAdds(s.file, *value)) {
            if (!IsAppend(add))
                return Fail(Bracket(add.section->name) + " replaces the whole " + Narrow(value->valueName) +
                            " (flags " + Hex(add.flags) + "): other vendors' entries would be lost; append with "
                            "0x00010008");
            appended.emplace_back(value, add.string);
        }
    }
    if (appended.empty())
        return NotApplicable("appends to no shared multi-string value");
    const inf::Line *delReg = s.file.FindLine(u"DefaultUninstall", u"DelReg");
    if (delReg == nullptr || delReg->fields.empty() || delReg->fields[0].empty())
        return Fail("[DefaultUninstall] has no DelReg line: " + Quote(appended[0].second) + " stays in " +
                    Narrow(appended[0].first->valueName) + " after -u");
    if (delReg->fields.size() != 1)
        return Fail("the DelReg line names " + std::to_string(delReg->fields.size()) +
                    " sections; the installer's own removal on Windows 2000 reads it as one section name");
    const inf::Section *section = s.file.FindSection(delReg->fields[0]);
    if (section == nullptr)
        return Fail("DelReg names " + Bracket(delReg->fields[0]) + ", which does not exist");
    for (const auto &[value, string] : appended) {
        bool deleted = false;
        for (const inf::Line &line : section->lines)
            deleted = deleted || DeletesString(line, *value, string);
        if (!deleted)
            return Fail(Bracket(section->name) + " does not delete " + Quote(string) + " from " +
                        Narrow(value->valueName) + " (HKLM, " + Narrow(value->keyPath) + ", " +
                        Narrow(value->valueName) + ", 0x00018002, " + Quote(string) + ")");
    }
    return Pass();
}

Cell CheckSupportedDevices(const Subject &s)
{
    if (s.document.role != Role::Dsm)
        return NotApplicable();
    const std::vector<Text> strings = SupportedDeviceStrings(s.document);
    if (strings.empty())
        return Fail("the DSM appends no string to MPIOSupportedDeviceList (AddReg HKLM, " +
                    Narrow(SupportedDeviceList().keyPath) + ", MPIOSupportedDeviceList, 0x00010008, "
                    "\"VENDOR  PRODUCT         \"): no disk would be claimed");
    std::vector<std::string> faults;
    for (const Text &string : strings) {
        bool printable = true;
        for (char16_t c : string)
            printable = printable && c >= 0x20 && c <= 0x7E;
        if (!printable)
            faults.push_back(Quote(string) + " holds characters other than printable ASCII, which SCSI inquiry "
                             "data does not");
        else if (string.size() != 24)
            faults.push_back(Quote(string) + " has " + std::to_string(string.size()) +
                             " characters; the disk claim compares vendor (8) and product (16), padded with "
                             "spaces: 24");
    }
    if (!faults.empty())
        return Fail(Join(faults, "; "));
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
    {"catalog", "CatalogFile", CheckCatalog},
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
                description = kMpioDescription;
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
