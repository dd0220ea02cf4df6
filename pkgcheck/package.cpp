#include "package.h"

#include <set>

#include "common/product.h"
#include "hosttools/hosttools.h"
#include "inf_text.h"
#include "shared_values.h"

namespace pkgcheck {

using winsim::Fold;
using winsim::Widen;

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

}  // namespace pkgcheck
