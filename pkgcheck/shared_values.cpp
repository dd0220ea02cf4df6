#include "shared_values.h"

#include <set>

namespace pkgcheck {

using winsim::CanonicalKeyPath;
using winsim::EqualNoCase;

SharedValue SharedValueOf(MultiSzKind kind)
{
    const WCHAR *keyPath = u"", *valueName = u"";
    LookupMultiSzKind(kind, &keyPath, &valueName);
    return {keyPath, valueName};
}

std::vector<inf::RegistryEntry> InstallAddRegLines(const inf::InfFile &file)
{
    std::vector<inf::RegistryEntry> lines;
    std::set<const inf::Line *> seen;
    for (const inf::Section &install : file.Sections()) {
        if (IsUninstallSection(install.name))
            continue;
        for (inf::RegistryEntry &entry : inf::RegistryLines(file, install, u"AddReg"))
            if (entry.section && seen.insert(entry.text).second)
                lines.push_back(std::move(entry));
    }
    return lines;
}

std::vector<ListAdd> ListAdds(const inf::InfFile &file, MultiSzKind kind)
{
    std::vector<ListAdd> adds;
    const SharedValue value = SharedValueOf(kind);
    for (const inf::RegistryEntry &entry : InstallAddRegLines(file)) {
        const inf::RegistryLine &line = entry.line;
        if (!inf::WritesMultiString(line) || !EqualNoCase(line.root, u"HKLM") ||
            !EqualNoCase(CanonicalKeyPath(line.subkey), CanonicalKeyPath(value.keyPath)) || !line.valueName ||
            !EqualNoCase(*line.valueName, value.valueName))
            continue;
        for (const Text &string : line.values)
            adds.push_back({entry.section, line.flags, string});
    }
    return adds;
}

}  // namespace pkgcheck
