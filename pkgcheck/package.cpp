#include "package.h"

#include <set>

#include "hosttools/hosttools.h"

namespace pkgcheck {

using winsim::EqualNoCase;
using winsim::Fold;
using winsim::Widen;

bool StartsWithNoCase(const Text &text, const Text &prefix)
{
    return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(const Text &text, const Text &suffix)
{
    return text.size() >= suffix.size() && EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

bool IsUninstallSection(const Text &name) { return StartsWithNoCase(name, UNINSTALL_SECTION); }

Package LoadPackage(const std::string &dir, const std::string &dsmInf, const std::string &dsmHwid)
{
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error))
        throw PackageError(dir + ": not a directory");
    Package package;
    package.dir = dir;
    package.dsmHwid = dsmHwid;
    const std::pair<Text, Role> names[] = {
        {MPIO_INF_NAME, Role::Bus}, {MPDEV_INF_NAME, Role::Disk}, {Widen(dsmInf), Role::Dsm}};
    for (const auto &[name, role] : names) {
        auto path = winsim::FindHostPath(Widen(package.dir.string()) + u"\\" + name);
        auto bytes = path ? hosttools::ReadFile(*path) : std::nullopt;
        if (!bytes)
            throw PackageError((package.dir / winsim::Narrow(name)).string() + ": no such file in the package");
        InfDocument document;
        document.fileName = std::filesystem::path(*path).filename().string();
        document.path = *path;
        document.role = role;
        inf::ParseResult parsed = inf::Parse(*bytes, Widen(package.dir.string()));
        document.file = parsed.file;
        document.parseError = parsed.error;
        document.errorLine = parsed.errorLine;
        package.infs.push_back(std::move(document));
    }
    return package;
}

std::string Quote(const Text &text)
{
    return "\"" + winsim::Narrow(text) + "\"";
}

Text InstalledHardwareId(const InfDocument &inf, const std::string &dsmHwid)
{
    switch (inf.role) {
    case Role::Bus:
        return MPIO_BUS_HARDWARE_ID_OLD;
    case Role::Disk:
        return MPIO_DISK_HARDWARE_ID;
    case Role::Dsm:
        break;
    }
    return Widen(dsmHwid);
}

const char *PlatformName(Platform platform)
{
    static const char *const names[] = {"Windows 2000", "x86", "x64"};
    return names[static_cast<int>(platform)];
}

const winsim::OsInfo &OldestWindows(Platform platform)
{
    static const winsim::OsInfo windows[] = {
        {5, 0, 2195, Text(), "x86"}, {5, 1, 2600, Text(), "x86"}, {5, 2, 3790, Text(), "amd64"}};
    return windows[static_cast<int>(platform)];
}

MultiSzValue ValueOf(MultiSzKind kind)
{
    const WCHAR *keyPath = u"", *valueName = u"";
    LookupMultiSzKind(kind, &keyPath, &valueName);
    return {keyPath, valueName};
}

std::vector<ListAdd> ListAdds(const inf::InfFile &file, MultiSzKind kind)
{
    std::vector<ListAdd> adds;
    const MultiSzValue value = ValueOf(kind);
    std::set<Text> visited;
    for (const inf::Section &section : file.Sections()) {
        if (IsUninstallSection(section.name))
            continue;
        for (const inf::Line &directive : section.lines) {
            if (!directive.key || !EqualNoCase(*directive.key, u"AddReg"))
                continue;
            for (const Text &name : directive.fields) {
                const inf::Section *addReg = file.FindSection(name);
                if (addReg == nullptr || !visited.insert(Fold(name)).second)
                    continue;
                for (const inf::Line &text : addReg->lines) {
                    const inf::RegistryLine line = inf::DecodeRegistryLine(text);
                    if (inf::AddRegType(line.flags) != REG_MULTI_SZ || (line.flags & FLG_ADDREG_BINVALUETYPE) ||
                        !EqualNoCase(line.root, u"HKLM") || !EqualNoCase(line.subkey, value.keyPath) ||
                        !line.valueName || !EqualNoCase(*line.valueName, value.valueName))
                        continue;
                    for (const Text &string : line.values)
                        adds.push_back({addReg, line.flags, string});
                }
            }
        }
    }
    return adds;
}

std::vector<Text> SupportedDeviceStrings(const InfDocument &dsm)
{
    std::vector<Text> strings;
    if (!dsm.file)
        return strings;
    std::set<Text> seen;
    for (const ListAdd &add : ListAdds(*dsm.file, MULTISZ_SUPPORTED_DEVICES))
        if (!add.string.empty() && seen.insert(Fold(add.string)).second)
            strings.push_back(add.string);
    return strings;
}

std::vector<Text> InstalledServices(const inf::InfFile &file)
{
    std::vector<Text> services;
    std::set<Text> seen;
    for (const inf::Section &section : file.Sections()) {
        if (IsUninstallSection(section.name) || !EndsWithNoCase(section.name, SERVICES_SUFFIX))
            continue;
        for (const inf::ServiceLine &line : inf::AddServiceLines(section))
            if (!line.name.empty() && seen.insert(Fold(line.name)).second)
                services.push_back(line.name);
    }
    return services;
}

PackageFacts ReadFacts(const Package &package)
{
    PackageFacts facts;
    const InfDocument &dsm = package.Dsm();
    if (!dsm.file)
        return facts;
    facts.supportedDevices = SupportedDeviceStrings(dsm);
    if (const inf::Line *driverVer = dsm.file->FindLine(u"Version", u"DriverVer"))
        facts.driverVer = driverVer->CompactText();
    const winsim::OsInfo &x64 = OldestWindows(Platform::Amd64);
    for (const inf::ModelLine &model : inf::ModelLines(*dsm.file, x64, Widen(package.dsmHwid))) {
        const inf::Section *install = inf::InstallSection(*dsm.file, model.line->fields[0], x64);
        const inf::Section *services = install ? dsm.file->FindSection(install->name + SERVICES_SUFFIX) : nullptr;
        if (services == nullptr)
            continue;
        for (const inf::ServiceLine &line : inf::AddServiceLines(*services)) {
            if (!line.name.empty() && (line.flags & SPSVCINST_ASSOCSERVICE)) {
                facts.dsmService = line.name;
                return facts;
            }
        }
    }
    return facts;
}

}  // namespace pkgcheck
