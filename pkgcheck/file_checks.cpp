// The file checks: the files the INF copies and the catalogs it names are in
// the package, where the setup library of each platform looks for them, and
// are what Windows can load: PE images of the platform's machine type, DER
// PKCS#7 signed-data catalogs.
#include <algorithm>
#include <map>
#include <set>

#include "binary_formats.h"
#include "hosttools/hosttools.h"
#include "inf_subject.h"

namespace pkgcheck {

using winsim::Narrow;
using winsim::Widen;

namespace {

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

// Reads a package file found as Windows finds names; nothing when absent.
std::optional<std::string> ReadPackageFile(const Package &package, const std::string &relative)
{
    const auto found = PackageFile(package, relative);
    return found ? hosttools::ReadFile(*found) : std::nullopt;
}

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

// The machine type a platform's models section asks of a driver.  Windows
// 2000 reads the undecorated section and runs only on x86; NTx86 is i386 and
// NTamd64 AMD64.  Other decorations (NTia64, NTarm64) are not among the
// platforms the package serves.
uint16_t MachineOf(Platform platform)
{
    return platform == Platform::Amd64 ? kMachineAmd64 : kMachineI386;
}

}  // namespace

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
                return Fail(InBrackets(section.name) + " CopyFiles names " + InBrackets(value) +
                            ", which does not exist");
            for (const inf::FileCopy &copy : *copies)
                need(copy.sourceName);
        }
    }
    if (!missing.empty())
        return Fail("not in the package: " + JoinWith(missing));
    return Pass();
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
        return Fail("CatalogFile names " + JoinWith(missing) + ", which is not in the package");
    return Pass();
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
            what.push_back("an " + MachineName(image.machine) + " image, copied for " + JoinWith(unfit) +
                           " only: no platform that installs it can load it");
        } else if (!unfit.empty()) {
            what.push_back("an " + MachineName(image.machine) + " image that the same source path also gives " +
                           JoinWith(unfit) + ", which cannot load it");
            advice.insert("give each architecture its own file");
        }
        if (!what.empty())
            warnings.push_back(path + " is " + JoinWith(what, ", and "));
    }
    if (!errors.empty())
        return Fail(JoinWith(errors, "; "));
    if (!warnings.empty())
        return Warn(JoinWith(warnings, "; ") +
                    (advice.empty() ? std::string() : "; " + JoinWith({advice.rbegin(), advice.rend()}, ", and ")));
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
        warnings.push_back(JoinWith(faults, "; ") + ": Windows cannot read it as the package's signature; ship the "
                           "signed catalog made from the INF and its files");
    if (!placeholders.empty())
        warnings.push_back(JoinWith(placeholders, "; ") + ": ship the signed catalog made from your INF and its files");
    if (!warnings.empty())
        return Warn(JoinWith(warnings, "; "));
    return Pass();
}

}  // namespace pkgcheck
