#include "inf_checks.h"

#include <set>

#include "common/product.h"
#include "inf_subject.h"
#include "shared_values.h"

namespace pkgcheck {

using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;

const RoleClass kRoleClasses[3] = {
    {&GUID_DEVCLASS_SCSIADAPTER, "the SCSI adapter class",
     "the installer looks for the MPIO bus device among the SCSI adapters"},
    {&GUID_DEVCLASS_DISKDRIVE, "the disk drive class", "the MPIO disk driver takes over disk drives"},
    {&GUID_DEVCLASS_SYSTEM, "the system device class",
     "the installer creates the DSM device in the INF's class and -c looks for it among system devices"},
};

std::vector<inf::ModelLine> ModelLines(const Subject &s, Platform platform)
{
    return inf::ModelLines(s.file, OldestWindows(platform), s.hardwareId);
}

namespace {

// --- [Version] ---------------------------------------------------------------

Cell CheckVersion(const Subject &s)
{
    if (!s.file.FindSection(u"Version"))
        return Fail("no [Version] section");
    auto signature = s.file.VersionValue(u"Signature");
    if (!signature)
        return Fail("no Signature in [Version]");
    if (!s.file.HasWin4Signature())
        return Fail("Signature is " + InQuotes(*signature) + ": the setup library opens only \"$Windows NT$\" or "
                    "\"$Chicago$\" INFs");
    const inf::Line *driverVer = s.file.FindLine(u"Version", u"DriverVer");
    if (!driverVer)
        return Fail("no DriverVer in [Version]: Windows ranks and shows drivers by its date and version");
    if (!inf::ParseDriverVer(*driverVer).driverVer)
        return Fail("DriverVer " + InQuotes(driverVer->CompactText()) + " is not mm/dd/yyyy[,w.x.y.z]");
    return Pass();
}

Cell CheckClass(const Subject &s)
{
    const RoleClass &expected = kRoleClasses[static_cast<int>(s.document.role)];
    Text expectedName;
    for (const winsim::KnownClass &known : winsim::kKnownClasses)
        if (known.guid == *expected.guid)
            expectedName = known.name;
    const std::string expectedGuid = winsim::GuidToString(*expected.guid);
    auto name = s.file.VersionValue(u"Class");
    auto guid = s.file.VersionValue(u"ClassGuid");
    if (!name || !guid)
        return Fail(std::string("no ") + (name ? "ClassGuid" : "Class") + " in [Version]; expected " +
                    Narrow(expectedName) + " " + expectedGuid);
    auto parsed = winsim::GuidFromString(Narrow(*guid));
    if (!parsed)
        return Fail("ClassGuid " + InQuotes(*guid) + " is not a GUID");
    if (*parsed != *expected.guid || !EqualNoCase(*name, expectedName))
        return Fail("class " + Narrow(*name) + " " + Narrow(*guid) + ", expected " + Narrow(expectedName) + " " +
                    expectedGuid + ": " + expected.why);
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
                return Fail("no " + InBrackets(base) + ": Windows 2000 reads only the undecorated models section");
            break;
        case Platform::X86:
            if (models.decorated)
                break;
            if (!models.section)
                return Fail("no " + InBrackets(base + u".NTx86") + " and no " + InBrackets(base) +
                            ": 32-bit Windows finds no driver");
            return Warn("no " + InBrackets(base + u".NTx86") + " listed in [Manufacturer]: 32-bit Windows XP and "
                        "later fall back to " + InBrackets(base) + "; decorate it so each platform's section is "
                        "explicit");
        case Platform::Amd64:
            if (!models.decorated)
                return Fail("no " + InBrackets(base + u".NTamd64") + " listed in [Manufacturer]: x64 Windows ignores "
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
        if (ModelLines(s, platform).empty())
            missing.push_back(PlatformName(platform));
    if (!missing.empty())
        return Fail(Narrow(s.hardwareId) + " is not in the models section for " + JoinWith(missing) +
                    ": no driver is installed for it there");
    return Pass();
}

// The fault of one AddService line's service-install section, as the setup
// library refuses it; empty when it installs.
std::string ServiceInstallFault(const inf::InfFile &file, const inf::ServiceLine &addService)
{
    const inf::Section *install = file.FindSection(addService.installSection);
    if (install == nullptr)
        return "AddService " + Narrow(addService.name) + " names " + InBrackets(addService.installSection) +
               ", which does not exist";
    if (auto missing = inf::MissingServiceEntry(file, *install))
        return InBrackets(install->name) + " has no " + Narrow(*missing);
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
                return Fail(InBrackets(model.models->name) + " names " + InBrackets(name) + ", which does not exist");
            const std::string servicesName = InBrackets(install->name + SERVICES_SUFFIX);
            const inf::Section *services = inf::ServicesSection(s.file, *install);
            if (services == nullptr)
                return Fail("no " + servicesName + ": the device would get no function driver");
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
                return Fail(servicesName + " has no AddService with flag 0x00000002: the device would get no "
                            "function driver");
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
                return Fail("the device description in " + InBrackets(model.models->name) + " is " +
                            InQuotes(description) + ": -c recognises the MPIO bus device only by " +
                            InQuotes(MPIO_BUS_DESCRIPTION));
            return Fail("the device description in " + InBrackets(model.models->name) + " is " +
                        InQuotes(description) + ", the build's is " + InQuotes(s.expectedDescription) +
                        ": -c never finds the DSM; build with -DMPIO_DSM_DESCRIPTION=" + InQuotes(description));
        }
    }
    return Pass();
}

// --- supported-device strings ------------------------------------------------

Cell CheckSupportedDevices(const Subject &s)
{
    if (s.document.role != Role::Dsm)
        return NotApplicable();
    for (const ListAdd &add : ListAdds(s.file, MULTISZ_SUPPORTED_DEVICES))
        if (!add.Appends())
            return Fail(InBrackets(add.section->name) + " replaces the whole " + Narrow(SUPPORTED_DEVICES_VALUE) +
                        " with its strings (flags " + HexText(add.flags) + ") instead of appending them: other "
                        "vendors' strings are lost at -i and their disks released; append with 0x00010008");
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
            faults.push_back(InQuotes(string) + " holds characters other than printable ASCII, which SCSI inquiry "
                             "data does not");
        else if (string.size() != SUPPORTED_DEVICE_UNITS)
            faults.push_back(InQuotes(string) + " has " + std::to_string(string.size()) +
                             " characters; the disk claim compares vendor (8) and product (16), padded with "
                             "spaces: 24");
    }
    if (!faults.empty())
        return Fail(JoinWith(faults, "; "));
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
            const inf::Section *list = install ? inf::ServicesSection(s.file, *install) : nullptr;
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
        return Warn(JoinWith(faults, "; ") + ": a disk the system boots from is reached only through drivers that "
                    "start with the boot drivers; use 0 (SERVICE_BOOT_START)");
    return Pass();
}

// --- the table -----------------------------------------------------------------

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
    {"delreg", "DelReg deletes what the install appends", CheckAppendedStringsDeleted},
    {"delreg-scope", "DelReg deletes only what the install added", CheckDeletionScope},
    {"start-type", "services start at boot (StartType 0)", CheckStartType},
    {"driver-images", "driver files are PE images of the platform", CheckDriverImages},
    {"catalog", "CatalogFile", CheckCatalog},
    {"catalog-format", "catalogs are DER PKCS#7 signed-data", CheckCatalogFormat},
};

Cell Unparsed(const InfDocument &document, bool first)
{
    if (!first)
        return NotApplicable("not checked: the INF does not parse");
    return Fail("the INF does not parse: error " + HexText(document.parseError) + " at line " +
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
