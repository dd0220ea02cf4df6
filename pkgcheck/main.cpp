// pkgcheck: checks a DSM package before it ships.  It reads the package's
// INFs as the simulated machine installs them, then runs the host installer
// through a package's whole life on a simulated machine of each Windows
// generation, and prints one table (or one JSON document) of what it found.
//
// Exit status: 0 when no finding is an error, 1 when one is, 2 on bad usage
// or a package that cannot be read.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>


#include "facts.h"
#include "hosttools/hosttools.h"
#include "inf_checks.h"
#include "installer_run.h"
#include "lifecycle.h"
#include "vendor.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: pkgcheck SOURCE_DIR DSM_INF DSM_HWID [--json] [--generations 5.0,5.2,6.1,10.0]\n"
    "                [--disk \"VENDOR  PRODUCT         \"]... [--upgrade-from OLD_SOURCE_DIR] [--keep DIR]\n"
    "       pkgcheck SOURCE_DIR DSM_INF DSM_HWID --facts\n"
    "\n"
    "  SOURCE_DIR     the package: mpio.inf, mpdev.inf, the DSM INF and the files they copy\n"
    "  DSM_INF        the DSM INF's file name\n"
    "  DSM_HWID       the DSM's hardware ID, as given to install -i\n"
    "  --json         print the findings as one JSON document instead of the table\n"
    "  --generations  the Windows versions to run the lifecycle on (5.0 5.1 5.2 6.0 6.1 6.2 6.3 10.0)\n"
    "  --disk         a disk of the vendor's real array, as its inquiry data gives it (8 vendor and 16\n"
    "                 product characters); repeatable.  The lifecycle machines get these disks instead of\n"
    "                 disks made from the DSM's own strings, and each must be claimed by a string\n"
    "  --upgrade-from an older release of the package (same DSM INF and hardware ID) to upgrade from\n"
    "  --keep         keep each generation's machine and log in DIR/<generation>/ (see winsim show)\n"
    "  --facts        print the package's facts (DSM service, DriverVer, supported-device strings) as JSON,\n"
    "                 without checking it\n";

struct Options {
    std::string sourceDir, dsmInf, dsmHwid;
    bool json = false;
    bool facts = false;
    std::vector<pkgcheck::Generation> generations;
    std::vector<std::string> disks;
    std::string upgradeFrom, keep;
};

struct UsageError {
    std::string message;
};

std::vector<pkgcheck::Generation> ParseGenerations(const std::string &list)
{
    std::vector<pkgcheck::Generation> generations;
    std::istringstream parts(list);
    std::string part;
    while (std::getline(parts, part, ',')) {
        auto generation = pkgcheck::ParseGeneration(part);
        if (!generation)
            throw UsageError{"unknown Windows generation '" + part + "'"};
        bool seen = false;
        for (const auto &known : generations)
            seen = seen || known.Name() == generation->Name();
        if (!seen)
            generations.push_back(*generation);
    }
    if (generations.empty())
        throw UsageError{"--generations needs at least one version"};
    return generations;
}

Options ParseOptions(int argc, char **argv)
{
    Options options;
    std::vector<std::string> positional;
    std::string generations = "5.0,5.2,6.1,10.0";
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--facts") {
            options.facts = true;
        } else if (arg == "--generations") {
            if (++i == argc)
                throw UsageError{"--generations needs a list"};
            generations = argv[i];
        } else if (arg.rfind("--generations=", 0) == 0) {
            generations = arg.substr(sizeof "--generations=" - 1);
        } else if (arg == "--disk" || arg == "--upgrade-from" || arg == "--keep") {
            if (++i == argc)
                throw UsageError{arg + " needs a value"};
            const std::string value = argv[i];
            if (arg == "--disk" && winsim::Widen(value).size() != SUPPORTED_DEVICE_UNITS)
                throw UsageError{"--disk \"" + value + "\" is not 8 vendor and 16 product characters"};
            if (arg == "--disk")
                options.disks.push_back(value);
            else if (arg == "--keep")
                options.keep = value;
            else
                options.upgradeFrom = value;
        } else if (arg.rfind("--", 0) == 0) {
            throw UsageError{"unknown option " + arg};
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() != 3)
        throw UsageError{"expected SOURCE_DIR DSM_INF DSM_HWID"};
    options.sourceDir = positional[0];
    options.dsmInf = positional[1];
    options.dsmHwid = positional[2];
    options.generations = ParseGenerations(generations);
    return options;
}

// The host installer of the same build, beside this program.
std::string FindInstaller()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path installer = self.parent_path() / "install";
    if (error || access(installer.c_str(), X_OK) != 0)
        throw pkgcheck::PackageError("the host installer " + installer.string() +
                                     " is missing: build the host preset (cmake --build build/host)");
    return installer.string();
}

int Check(const Options &options)
{
    if (options.facts) {
        std::cout << pkgcheck::RenderFacts(pkgcheck::LoadPackage(options.sourceDir, options.dsmInf, options.dsmHwid))
                  << std::flush;
        return kExitClean;
    }
    pkgcheck::Report report;
    report.sourceDir = options.sourceDir;
    report.dsmInf = options.dsmInf;
    report.dsmHwid = options.dsmHwid;
    report.dsmDescription = winsim::Narrow(INSTALL_DSM_DESCRIPTION_TEXT);
    const std::string installer = FindInstaller();
    // Shown relative to the current directory when it lies below it.
    std::error_code error;
    const std::string relative = std::filesystem::proximate(installer, error).string();
    report.installer = error || relative.rfind("..", 0) == 0 ? installer : relative;
    const pkgcheck::Package package = pkgcheck::LoadPackage(options.sourceDir, options.dsmInf, options.dsmHwid);

    report.infChecks = pkgcheck::CheckInfs(package, report.dsmDescription);
    pkgcheck::LifecycleOptions lifecycle{options.generations, options.disks, std::nullopt, options.keep,
                                         &report.infChecks};
    if (!options.upgradeFrom.empty())
        lifecycle.upgradeFrom = pkgcheck::LoadPackage(options.upgradeFrom, options.dsmInf, options.dsmHwid);
    pkgcheck::CheckKeepDir(lifecycle);
    {
        hosttools::ScratchDir scratch("pkgcheck");
        report.lifecycle = pkgcheck::RunLifecycle(package, installer, report.dsmDescription, lifecycle, scratch.Dir());
    }
    std::cout << (options.json ? pkgcheck::RenderJson(report) : pkgcheck::RenderText(report)) << std::flush;
    return report.Count(pkgcheck::Verdict::Fail) ? kExitFindings : kExitClean;
}

}  // namespace

int main(int argc, char **argv)
{
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError &error) {
        std::cerr << "pkgcheck: " << error.message << "\n\n" << kUsage;
        return kExitUsage;
    }
    pkgcheck::CatchInterrupts();
    try {
        return Check(options);
    } catch (const pkgcheck::Interrupted &interrupted) {
        pkgcheck::RaiseAgain(interrupted);
    } catch (const std::exception &error) {
        std::cerr << "pkgcheck: " << error.what() << "\n";
        return kExitUsage;
    }
}
