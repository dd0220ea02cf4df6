#include "package.h"

#include <fstream>
#include <set>
#include <sstream>

namespace pkgcheck {

namespace inf = winsim::inf;
using winsim::EqualNoCase;
using winsim::Fold;
using winsim::Widen;

namespace {

constexpr uint32_t kRegTypeMask = 0xFFFF0001;
constexpr uint32_t kRegTypeMultiSz = 0x00010000;
constexpr uint32_t kRegAppend = 0x00000008;

std::string ReadBytes(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (!in.good() && !in.eof())
        throw PackageError(path.string() + ": cannot be read");
    return bytes.str();
}

bool IsUninstallSection(const Text &name)
{
    const Text folded = Fold(name), uninstall = Fold(u"DefaultUninstall");
    return folded.compare(0, uninstall.size(), uninstall) == 0;
}

bool EndsWithNoCase(const Text &text, const Text &suffix)
{
    return text.size() >= suffix.size() && EqualNoCase(text.substr(text.size() - suffix.size()), suffix);
}

std::optional<uint32_t> Number(const Text &text)
{
    auto value = inf::ParseInt(text);
    if (!value || *value < 0)
        return std::nullopt;
    return static_cast<uint32_t>(*value);
}

struct Decoration {
    bool applies = false;
    bool hasArch = false;
    uint32_t major = 0, minor = 0;
};

// A decoration "NT[arch][.major[.minor[...]]]" judged for the oldest Windows
// of the platform that reads decorations: 32-bit XP (5.1) or x64 Server 2003 (5.2).
Decoration Judge(const Text &decoration, Platform platform)
{
    Decoration out;
    if (platform == Platform::Windows2000)
        return out;
    std::vector<Text> parts(1);
    for (char16_t c : decoration) {
        if (c == u'.')
            parts.emplace_back();
        else
            parts.back().push_back(c);
    }
    const Text &target = parts[0];
    if (target.size() < 2 || !EqualNoCase(target.substr(0, 2), u"NT"))
        return out;
    const Text arch = target.substr(2);
    if (!arch.empty() && !EqualNoCase(arch, platform == Platform::X86 ? u"x86" : u"amd64"))
        return out;
    out.hasArch = !arch.empty();
    if (parts.size() > 1 && !parts[1].empty()) {
        auto major = Number(parts[1]);
        if (!major)
            return out;
        out.major = *major;
    }
    if (parts.size() > 2 && !parts[2].empty()) {
        auto minor = Number(parts[2]);
        if (!minor)
            return out;
        out.minor = *minor;
    }
    const uint32_t oldestMinor = platform == Platform::X86 ? 1 : 2;
    out.applies = out.major < 5 || (out.major == 5 && out.minor <= oldestMinor);
    return out;
}

bool Better(const Decoration &a, const Decoration &b)
{
    if (a.hasArch != b.hasArch)
        return a.hasArch;
    if (a.major != b.major)
        return a.major > b.major;
    return a.minor > b.minor;
}

}  // namespace

Package LoadPackage(const std::string &dir, const std::string &dsmInf, const std::string &dsmHwid)
{
    std::error_code error;
    if (!std::filesystem::is_directory(dir, error))
        throw PackageError(dir + ": not a directory");
    Package package;
    package.dir = dir;
    package.dsmHwid = dsmHwid;
    const std::pair<std::string, Role> names[] = {{"mpio.inf", Role::Bus}, {"mpdev.inf", Role::Disk}, {dsmInf, Role::Dsm}};
    for (const auto &[name, role] : names) {
        auto path = FindFile(package.dir, name);
        if (!path)
            throw PackageError((package.dir / name).string() + ": no such file in the package");
        // The name as the package spells it: Windows finds files without
        // regard to case, the simulated machine's file system does not.
        InfDocument document;
        document.fileName = std::filesystem::relative(*path, package.dir).string();
        document.role = role;
        inf::ParseResult parsed = inf::Parse(ReadBytes(*path), Widen(package.dir.string()));
        document.file = parsed.file;
        document.parseError = parsed.error;
        document.errorLine = parsed.errorLine;
        package.infs.push_back(std::move(document));
    }
    return package;
}

std::optional<std::filesystem::path> FindFile(const std::filesystem::path &dir, const std::string &relative)
{
    std::filesystem::path found = dir;
    std::string part;
    std::istringstream parts(relative);
    while (std::getline(parts, part, '/')) {
        std::istringstream pieces(part);
        std::string piece;
        while (std::getline(pieces, piece, '\\')) {
            if (piece.empty() || piece == ".")
                continue;
            std::error_code error;
            if (std::filesystem::exists(found / piece, error)) {
                found /= piece;
                continue;
            }
            bool matched = false;
            for (const auto &entry : std::filesystem::directory_iterator(found, error)) {
                if (EqualNoCase(Widen(entry.path().filename().string()), Widen(piece))) {
                    found = entry.path();
                    matched = true;
                    break;
                }
            }
            if (!matched)
                return std::nullopt;
        }
    }
    std::error_code error;
    if (!std::filesystem::is_regular_file(found, error))
        return std::nullopt;
    return found;
}

Text InstalledHardwareId(const InfDocument &inf, const std::string &dsmHwid)
{
    switch (inf.role) {
    case Role::Bus:
        return u"Detected\\MPIO";
    case Role::Disk:
        return u"MPIODisk";
    case Role::Dsm:
        break;
    }
    return Widen(dsmHwid);
}

const char *PlatformName(Platform platform)
{
    switch (platform) {
    case Platform::Windows2000:
        return "Windows 2000";
    case Platform::X86:
        return "x86";
    case Platform::Amd64:
        break;
    }
    return "x64";
}

const inf::Section *DecoratedModels(const inf::InfFile &file, const inf::Line &manufacturer, Platform platform)
{
    if (manufacturer.fields.empty())
        return nullptr;
    const inf::Section *best = nullptr;
    Decoration bestDecoration;
    for (size_t i = 1; i < manufacturer.fields.size(); i++) {
        Decoration decoration = Judge(manufacturer.fields[i], platform);
        if (!decoration.applies)
            continue;
        const inf::Section *section = file.FindSection(manufacturer.fields[0] + u"." + manufacturer.fields[i]);
        if (section && (best == nullptr || Better(decoration, bestDecoration))) {
            best = section;
            bestDecoration = decoration;
        }
    }
    return best;
}

const inf::Section *ChosenModels(const inf::InfFile &file, const inf::Line &manufacturer, Platform platform)
{
    if (manufacturer.fields.empty())
        return nullptr;
    if (platform == Platform::Windows2000)
        return file.FindSection(manufacturer.fields[0]);
    if (const inf::Section *decorated = DecoratedModels(file, manufacturer, platform))
        return decorated;
    return platform == Platform::X86 ? file.FindSection(manufacturer.fields[0]) : nullptr;
}

std::vector<ModelLine> FindModelLines(const inf::InfFile &file, Platform platform, const Text &hardwareId)
{
    std::vector<ModelLine> found;
    const inf::Section *manufacturers = file.FindSection(u"Manufacturer");
    if (manufacturers == nullptr)
        return found;
    for (const inf::Line &manufacturer : manufacturers->lines) {
        const inf::Section *models = ChosenModels(file, manufacturer, platform);
        if (models == nullptr)
            continue;
        for (const inf::Line &line : models->lines)
            for (size_t i = 1; i < line.fields.size(); i++)
                if (EqualNoCase(line.fields[i], hardwareId)) {
                    found.push_back({models, &line});
                    break;
                }
    }
    return found;
}

const inf::Section *InstallSection(const inf::InfFile &file, Platform platform, const Text &name)
{
    const Text archSuffix = platform == Platform::Amd64 ? u".NTamd64" : u".NTx86";
    for (const Text &suffix : {archSuffix, Text(u".NT"), Text()})
        if (const inf::Section *section = file.FindSection(name + suffix))
            return section;
    return nullptr;
}

const MultiSzValue &SupportedDeviceList()
{
    static const MultiSzValue value{u"SYSTEM\\CurrentControlSet\\Control\\MPDEV", u"MPIOSupportedDeviceList"};
    return value;
}

const MultiSzValue &UpperFilters()
{
    static const MultiSzValue value{
        u"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}", u"UpperFilters"};
    return value;
}

std::vector<RegistryLine> MultiSzAdds(const inf::InfFile &file, const MultiSzValue &value)
{
    std::vector<RegistryLine> adds;
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
                for (const inf::Line &line : addReg->lines) {
                    auto flags = line.fields.size() > 3 ? Number(line.fields[3]) : std::nullopt;
                    if (!flags || ((*flags & kRegTypeMask) != kRegTypeMultiSz) ||
                        !(EqualNoCase(line.fields[0], u"HKLM") || EqualNoCase(line.fields[0], u"HKEY_LOCAL_MACHINE")) ||
                        !EqualNoCase(line.fields[1], value.keyPath) || !EqualNoCase(line.fields[2], value.valueName))
                        continue;
                    for (size_t i = 4; i < line.fields.size(); i++)
                        adds.push_back({addReg, &line, *flags, line.fields[i]});
                }
            }
        }
    }
    return adds;
}

bool IsAppend(const RegistryLine &add) { return (add.flags & kRegAppend) != 0; }

std::vector<Text> SupportedDeviceStrings(const InfDocument &dsm)
{
    std::vector<Text> strings;
    if (!dsm.file)
        return strings;
    std::set<Text> seen;
    for (const RegistryLine &add : MultiSzAdds(*dsm.file, SupportedDeviceList()))
        if (IsAppend(add) && !add.string.empty() && seen.insert(Fold(add.string)).second)
            strings.push_back(add.string);
    return strings;
}

std::vector<Text> InstalledServices(const inf::InfFile &file)
{
    std::vector<Text> services;
    std::set<Text> seen;
    for (const inf::Section &section : file.Sections()) {
        if (IsUninstallSection(section.name) || !EndsWithNoCase(section.name, u".Services"))
            continue;
        for (const inf::Line &line : section.lines)
            if (line.key && EqualNoCase(*line.key, u"AddService") && !line.fields.empty() &&
                !line.fields[0].empty() && seen.insert(Fold(line.fields[0])).second)
                services.push_back(line.fields[0]);
    }
    return services;
}

}  // namespace pkgcheck
