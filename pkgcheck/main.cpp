// pkgcheck: checks a DSM package before it ships.  It reads the package's
// INFs as the simulated machine installs them, then runs the host installer
// through a package's whole life on a simulated machine of each Windows
// generation, and prints one table (or one JSON document) of what it found,
// and on request writes it as JUnit XML and as a Markdown summary for CI.
//
// Exit status: 0 when no finding is an error, 1 when one is, 2 on bad usage,
// a package that cannot be read or a report file that cannot be written.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>


#include "common/product.h"
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
    "                [--junit FILE] [--markdown FILE] [--disk \"VENDOR  PRODUCT         \"]...\n"
    "                [--upgrade-from OLD_SOURCE_DIR] [--keep DIR]\n"
    "       pkgcheck SOURCE_DIR DSM_INF DSM_HWID --facts\n"
    "       pkgcheck --help\n"
    "\n"
    "  SOURCE_DIR     the package: mpio.inf, mpdev.inf, the DSM INF and the files they copy\n"
    "  DSM_INF        the DSM INF's file name\n"
    "  DSM_HWID       the DSM's hardware ID, as given to install -i\n"
    "  --json         print the findings as one JSON document instead of the table\n"
    "  --generations  the Windows versions to run the lifecycle on (5.0 5.1 5.2 6.0 6.1 6.2 6.3 10.0)\n"
    "  --junit FILE   also write the findings as JUnit XML to FILE: one test case per cell, errors as\n"
    "                 failures, warnings as passes with their reason, cells that do not apply skipped\n"
    "  --markdown FILE  also write the tables as a Markdown summary to FILE (a CI job summary)\n"
    "  --disk \"VENDOR  PRODUCT         \"\n"
    "                 a disk of the vendor's real array, as its inquiry data gives it (8 vendor and 16\n"
    "                 product characters); repeatable.  The lifecycle machines get these disks instead of\n"
    "                 disks made from the DSM's own strings, and each must be claimed by a string\n"
    "  --upgrade-from OLD_SOURCE_DIR\n"
    "                 an older release of the package (same DSM INF and hardware ID): installed first,\n"
    "                 then this one brought in over it as a customer would\n"
    "  --keep DIR     keep each generation's machine and log in DIR/<generation>/, and the machine before\n"
    "                 and after each installer run in DIR/<generation>/runs/ (see winsim show)\n"
    "  --facts        print the package's facts (DSM service, DriverVer, supported-device strings) as JSON,\n"
    "                 without checking it\n"
    "  -h, --help     print this text\n"
    "\n"
    "Exit status: 0 no error (warnings allowed), 1 an error found, 2 bad usage, a package that cannot\n"
    "be read or a file that cannot be written.\n";

struct Options {
    std::string sourceDir, dsmInf, dsmHwid;
    bool json = false;
    bool facts = false;
    bool help = false;
    std::string junitFile, markdownFile;
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

// The field of --junit or --markdown (either as "--junit FILE" or "--junit=FILE").
std::string *ReportFileOption(const std::string &arg, Options &options)
{
    for (auto [name, file] : {std::pair{"--junit", &options.junitFile}, std::pair{"--markdown", &options.markdownFile}})
        if (arg == name || arg.rfind(std::string(name) + "=", 0) == 0)
            return file;
    return nullptr;
}

std::string OptionValue(const std::string &arg, int argc, char **argv, int &i)
{
    const size_t equals = arg.find('=');
    std::string value;
    if (equals != std::string::npos)
        value = arg.substr(equals + 1);
    else if (++i < argc)
        value = argv[i];
    if (value.empty())
        throw UsageError{arg.substr(0, equals) + " needs a file name"};
    return value;
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
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (std::string *file = ReportFileOption(arg, options)) {
            *file = OptionValue(arg, argc, argv, i);
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
    if (options.facts && !(options.junitFile.empty() && options.markdownFile.empty()))
        throw UsageError{"--facts checks nothing to write with --junit or --markdown"};
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

// Raised when a report file cannot be written; the run ends with status 2.
struct OutputError {
    std::string message;
};

// Whether the report file could be written, asked before the lifecycle's
// minutes are spent: its directory must exist and take files, and the file,
// if there, must be a writable file.
void CheckWritable(const std::string &file, const char *option)
{
    const std::filesystem::path path(file);
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : ".";
    std::string problem;
    if (std::filesystem::is_directory(status))
        problem = "it is a directory";
    else if (std::filesystem::exists(status) ? access(path.c_str(), W_OK) != 0 : access(dir.c_str(), W_OK) != 0)
        problem = std::strerror(errno);
    if (!problem.empty())
        throw OutputError{"cannot write the " + std::string(option) + " file " + file + ": " + problem};
}

void WriteReportFile(const std::string &file, const char *option, const std::string &text)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw OutputError{"cannot write the " + std::string(option) + " file " + file + ": " + std::strerror(errno)};
}

int Check(const Options &options)
{
    if (!options.junitFile.empty())
        CheckWritable(options.junitFile, "--junit");
    if (!options.markdownFile.empty())
        CheckWritable(options.markdownFile, "--markdown");
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
    if (!options.junitFile.empty())
        WriteReportFile(options.junitFile, "--junit", pkgcheck::RenderJunit(report));
    if (!options.markdownFile.empty())
        WriteReportFile(options.markdownFile, "--markdown", pkgcheck::RenderMarkdown(report));
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
    if (options.help) {
        std::cout << kUsage << std::flush;
        return kExitClean;
    }
    pkgcheck::CatchInterrupts();
    try {
        return Check(options);
    } catch (const OutputError &error) {
        std::cerr << "pkgcheck: " << error.message << "\n";
        return kExitUsage;
    } catch (const pkgcheck::Interrupted &interrupted) {
        pkgcheck::RaiseAgain(interrupted);
    } catch (const std::exception &error) {
        std::cerr << "pkgcheck: " << error.what() << "\n";
        return kExitUsage;
    }
}
