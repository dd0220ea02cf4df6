// pkgcheck run as a vendor runs it, on the example package and on broken
// copies of it: each row of the table is one change to the example and the
// findings it must produce in the JSON document and the exit status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "facts.h"
#include "hosttools/hosttools.h"
#include "package_edit.h"
#include "report.h"

namespace fs = std::filesystem;

namespace {

using pkgcheck_test::EditPackage;
using pkgcheck_test::Expected;
using pkgcheck_test::ExpectFindings;
using pkgcheck_test::Findings;
using pkgcheck_test::FindingsOf;
using pkgcheck_test::PackageEdit;
using pkgcheck_test::ReadFile;

// A scratch directory with the three places a run must keep apart: the
// package copy, the current directory and $TMPDIR.
class PkgcheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fs::copy(EXAMPLE_PACKAGE, Package());
        fs::create_directories(Cwd());
        fs::create_directories(Tmp());
    }

    fs::path Package() const { return root_ / "pkg"; }
    fs::path Cwd() const { return root_ / "cwd"; }
    fs::path Tmp() const { return root_ / "tmp"; }

    struct Run {
        int exitCode = -1;
        std::string out, err;
    };

    Run Pkgcheck(const std::vector<std::string> &args)
    {
        hosttools::Process pkgcheck;
        pkgcheck.program = PKGCHECK_BINARY;
        pkgcheck.args = args;
        pkgcheck.cwd = Cwd().string();
        pkgcheck.environment = {{"TMPDIR", Tmp().string()}};
        const hosttools::ProcessResult result = hosttools::Run(pkgcheck);
        Run run;
        run.exitCode = result.exitCode;
        run.out = result.output;
        run.err = result.errors;
        // Nothing is left behind: neither in the current directory nor in $TMPDIR.
        EXPECT_TRUE(fs::is_empty(Cwd())) << "pkgcheck wrote into its current directory";
        EXPECT_TRUE(fs::is_empty(Tmp())) << "pkgcheck left its temporary directory behind";
        return run;
    }

    std::vector<std::string> PackageArgs() const { return {Package().string(), "qvxdsm.inf", "Root\\QVXDSM"}; }

    hosttools::ScratchDir scratch_{"test_pkgcheck"};
    fs::path root_ = scratch_.Dir();
};

// Every finding of 'table' ("" for both) but those named passes, does not
// apply, or warns of the example's placeholder images and catalogs.
void ExpectOnlyThePlaceholdersWarn(const Findings &findings, const std::string &table,
                                   const std::vector<Expected> &named = {})
{
    for (const auto &[key, finding] : findings) {
        const bool isNamed = std::any_of(named.begin(), named.end(), [&](const Expected &e) { return e.finding == key; });
        if (isNamed || key.rfind(table, 0) != 0 || finding["verdict"] == "pass" || finding["verdict"] == "not-applicable")
            continue;
        EXPECT_EQ(finding["verdict"], "warning") << key << ": " << finding;
        EXPECT_TRUE(finding["check"] == "driver-images" || finding["check"] == "catalog-format") << key;
        EXPECT_NE(finding["reason"].get<std::string>().find("is a placeholder, not a"), std::string::npos)
            << key << ": " << finding;
    }
}

// The example's own findings: its placeholders warn, one cell of each of the
// two rows per INF.
void ExpectTheExamplesFindings(const nlohmann::json &document)
{
    EXPECT_EQ(document["errors"], 0);
    EXPECT_EQ(document["warnings"], 6);
    ExpectOnlyThePlaceholdersWarn(FindingsOf(document), "");
}

TEST_F(PkgcheckTest, ExamplePackagePassesEveryCheckOnEveryGeneration)
{
    Run json = Pkgcheck([&] {
        auto args = PackageArgs();
        args.push_back("--json");
        return args;
    }());
    ASSERT_EQ(json.exitCode, 0) << json.out << json.err;
    const auto document = nlohmann::json::parse(json.out);
    EXPECT_EQ(document["generations"], nlohmann::json({"5.0 x86", "5.2 x64", "6.1 x64", "10.0 x64"}));
    ExpectTheExamplesFindings(document);
    const Findings findings = FindingsOf(document);
    // The step a correct package fails on the oldest systems is told as expected.
    EXPECT_EQ(findings.at("lifecycle/install-again/5.2 x64")["exit_code"], -1);
    // Another vendor's DSM is left as it was, and without --disk the strings were not matched to a real array.
    for (const std::string column : {"5.0 x86", "5.2 x64", "6.1 x64", "10.0 x64"}) {
        ExpectFindings(findings, {{"lifecycle/neighbour-installed/" + column, "pass", ""},
                                  {"lifecycle/neighbour-uninstalled/" + column, "pass", ""},
                                  {"lifecycle/disk-match/" + column, "not-applicable", "no --disk"}});
        EXPECT_EQ(findings.count("lifecycle/upgrade/" + column), 0u);
    }

    Run table = Pkgcheck(PackageArgs());
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(table.out.find("✗"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("0 errors, 6 warnings: the package passes"), std::string::npos) << table.out;
}

TEST_F(PkgcheckTest, ExamplePackagePassesOnTheOtherGenerations)
{
    auto args = PackageArgs();
    args.insert(args.end(), {"--json", "--generations", "5.1,6.0,6.2,6.3,5.1"});
    Run run = Pkgcheck(args);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document["generations"], nlohmann::json({"5.1 x86", "6.0 x64", "6.2 x64", "6.3 x64"}));
    ExpectTheExamplesFindings(document);
}

TEST_F(PkgcheckTest, TableMarksAFaultAndListsItsReasonAndLog)
{
    EditPackage(Package(), {{"qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86"}});
    auto args = PackageArgs();
    args.insert(args.end(), {"--generations", "10.0"});
    Run run = Pkgcheck(args);
    EXPECT_EQ(run.exitCode, 1);
    for (const char *line : {
             "  models section, NTamd64 (x64)               ✓         ✓          ✗\n",
             "  -i                                          ✗ -1\n",
             "  ✗ models section, NTamd64 (x64) [qvxdsm.inf]: no [QuorvexDsm.NTamd64] listed in [Manufacturer]",
             "  ✗ -i [10.0 x64]: exit -1, 0xE0000228 ERROR_NO_COMPAT_DRIVERS",
             "        | Error code (0xe0000228)\n",
             "  ! driver files are PE images of the platform [qvxdsm.inf]: qvxdsm.sys is a placeholder, not a driver (the "
             "example package's, which loads nothing), and an AMD64 image, copied for Windows 2000 (i386), x86 (i386) "
             "only",
             "errors, 6 warnings: the package is not ready to ship\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
}

// Packages built on Windows often differ from their INFs in letter case:
// with its driver files and mpio.inf in upper case the example still passes.
TEST_F(PkgcheckTest, PackageInAnotherCasePasses)
{
    for (const auto &entry : fs::directory_iterator(Package())) {
        std::string name = entry.path().filename().string();
        if (name == "mpio.inf" || entry.path().extension() == ".sys") {
            std::transform(name.begin(), name.end(), name.begin(), ::toupper);
            fs::rename(entry.path(), Package() / name);
        }
    }
    auto args = PackageArgs();
    args.push_back("--json");
    Run run = Pkgcheck(args);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document["inf_files"], nlohmann::json({"MPIO.INF", "mpdev.inf", "qvxdsm.inf"}));
    ExpectTheExamplesFindings(document);
}

// What the example package says of itself.
TEST_F(PkgcheckTest, FactsOfTheExamplePackage)
{
    const pkgcheck::PackageFacts facts =
        pkgcheck::ReadFacts(pkgcheck::LoadPackage(Package().string(), "qvxdsm.inf", "Root\\QVXDSM"));
    EXPECT_EQ(facts.dsmService, u"qvxdsm");
    EXPECT_EQ(facts.driverVerText, u"12/08/2026,2.4.1.0");
    EXPECT_EQ(facts.supportedDevices, std::vector<std::u16string>{u"QUORVEX LUMENSTRIDE     "});
}

// An interrupted run ends the installer it started and removes its temporary directory.
TEST_F(PkgcheckTest, InterruptLeavesNothingBehind)
{
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("TMPDIR", Tmp().c_str(), 1);
        if (chdir(Cwd().c_str()) != 0)
            _exit(127);
        const auto args = PackageArgs();
        execl(PKGCHECK_BINARY, PKGCHECK_BINARY, args[0].c_str(), args[1].c_str(), args[2].c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    // Wait until the lifecycle has begun: its first machine lies in the temporary directory.
    for (int i = 0; i < 500 && fs::is_empty(Tmp()); i++)
        usleep(10000);
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_TRUE(fs::is_empty(Tmp()));
    EXPECT_TRUE(fs::is_empty(Cwd()));
}

// The Markdown summary beside the table: a warning and an error of the
// example in its tables and reasons, and the table's counts (the JUnit file
// is read back by a JUnit parser in tests/pkgcheck_junit.py).
TEST_F(PkgcheckTest, MarkdownSummaryCarriesTheFindingsBesideTheTable)
{
    EditPackage(Package(), {{"qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86"},
                            {"mpdev.inf", "NTx86, NTamd64", "NTamd64"}});
    const fs::path summary = root_ / "summary.md";
    auto args = PackageArgs();
    args.insert(args.end(), {"--generations", "10.0", "--markdown=" + summary.string()});
    Run run = Pkgcheck(args);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const size_t counts = run.out.rfind('\n', run.out.size() - 2) + 1;   // the table's last line
    const std::string markdown = ReadFile(summary);
    for (const std::string &line : {std::string("## pkgcheck: `qvxdsm.inf` `Root\\QVXDSM`\n"),
                                    "❌ **" + run.out.substr(counts, run.out.size() - counts - 1) + "**",
                                    std::string("| models section, NTamd64 (x64) | ✓ | ✓ | ✗ |\n"),
                                    std::string("| models section, NTx86 (32-bit) | ✓ | ! | ✓ |\n"),
                                    std::string("- ✗ **models section, NTamd64 (x64)** [qvxdsm.inf]: no \\[QuorvexDsm"),
                                    std::string("  Error code (0xe0000228)\n")})
        EXPECT_NE(markdown.find(line), std::string::npos) << line << "\n" << markdown;
}

TEST_F(PkgcheckTest, HelpPrintsTheUsageOfEveryOption)
{
    for (const char *help : {"--help", "-h"}) {
        Run run = Pkgcheck({help});
        EXPECT_EQ(run.exitCode, 0) << help;
        for (const char *option : {"--json", "--generations", "--junit FILE", "--markdown FILE", "--disk",
                                   "--upgrade-from OLD_SOURCE_DIR", "--keep DIR", "--facts"})
            EXPECT_NE(run.out.find(option), std::string::npos) << option << "\n" << run.out;
    }
}

// Reasons name the vendor's hardware IDs and file names; logs carry what the
// installer wrote: any of it reaches an XML attribute or a Markdown cell.
TEST(ReportEscaping, XmlAndMarkdownCarryAnyText)
{
    const struct {
        std::string text, xml, markdown;
    } cases[] = {
        {"a & b <c> \"d\" 'e'", "a &amp; b &lt;c&gt; &quot;d&quot; &apos;e&apos;", "a &amp; b \\<c\\> \"d\" 'e'"},
        {"x | y_*\\Q", "x | y_*\\Q", "x \\| y\\_\\*\\\\Q"},
        {"a\tb\nc", "a&#9;b&#10;c", "a b c"},
        {std::string("nul\0 esc\x1b ✓", 13), "nul\\x00 esc\\x1B ✓", "nul\\\\x00 esc\\\\x1B ✓"},
        {"bad \xff \xc0\x80 \xed\xa0\x80 \xe2\x9c", "bad \\xFF \\xC0\\x80 \\xED\\xA0\\x80 \\xE2\\x9C",
         "bad \\\\xFF \\\\xC0\\\\x80 \\\\xED\\\\xA0\\\\x80 \\\\xE2\\\\x9C"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(pkgcheck::XmlEscape(c.text), c.xml) << c.text;
        EXPECT_EQ(pkgcheck::MarkdownCell(c.text), c.markdown) << c.text;
    }
}

struct Mutation {
    const char *name;
    std::vector<PackageEdit> edits;
    const char *generations;
    int exitCode;
    std::vector<Expected> expected;
};

const Mutation kMutations[] = {
    {"DescriptionNotTheBuilds", {{"qvxdsm.inf", "DsmDescription = \"Quorvex Lumenstride Device Specific Module\"",
     "DsmDescription = \"Quorvex Lumenstride DSM\""}}, "5.2", 1,
     {{"inf_checks/description/qvxdsm.inf", "error", "-c never finds the DSM"},
      {"lifecycle/check-installed/5.2 x64", "error", "did not find the DSM"}}},
    {"BusDescriptionNotTheChecks", {{"mpio.inf", "MpioDescription   = \"Multi-Path Support\"",
     "MpioDescription   = \"Multipath Support\""}}, "5.0", 1,
     {{"inf_checks/description/mpio.inf", "error", "\"Multi-Path Support\""},
      {"lifecycle/check-installed/5.0 x86", "error", "did not find the MPIO bus device"}}},
    {"NoNtamd64Models", {{"qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86"}}, "10.0", 1,
     {{"inf_checks/models-ntamd64/qvxdsm.inf", "error", "x64 Windows ignores an undecorated"},
      {"inf_checks/hardware-id/qvxdsm.inf", "error", "for x64"},
      {"inf_checks/driver-images/qvxdsm.inf", "warning", "AMD64 image, copied for Windows 2000 (i386), x86 (i386) only"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_NO_COMPAT_DRIVERS"}}},
    {"NoUndecoratedModels", {{"mpio.inf", "[MultiPathBus]\n", "[MultiPathBusOld]\n"}}, "5.0", 1,
     {{"inf_checks/models-plain/mpio.inf", "error", "Windows 2000 reads only"},
      {"inf_checks/hardware-id/mpio.inf", "error", "for Windows 2000"},
      {"lifecycle/install/5.0 x86", "error", "ERROR_NO_COMPAT_DRIVERS",
       "Installing the Multi-Path Adapter Filter and Multi-Path Bus Driver..."}}},
    {"NoNtx86ModelsIsAWarning", {{"mpdev.inf", "NTx86, NTamd64", "NTamd64"}}, "5.0", 0,
     {{"inf_checks/models-ntx86/mpdev.inf", "warning", "fall back to [MultiPathDisk]"}}},
    {"HardwareIdMissingFromX64Models", {{"qvxdsm.inf",
     "[QuorvexDsm.NTamd64]\n%DsmDescription% = QvxDsmInstall, Root\\QVXDSM",
     "[QuorvexDsm.NTamd64]\n%DsmDescription% = QvxDsmInstall, Root\\QVXDSM2"}}, "10.0", 1,
     {{"inf_checks/hardware-id/qvxdsm.inf", "error", "Root\\QVXDSM is not in the models section for x64"},
      {"inf_checks/driver-images/qvxdsm.inf", "warning", "AMD64 image, copied for Windows 2000 (i386), x86 (i386) only"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_NO_COMPAT_DRIVERS"}}},
    {"CopiedFileMissing", {{"qvxdsm.sys", "", ""}}, "10.0", 1,
     {{"inf_checks/copy-files/qvxdsm.inf", "error", "not in the package: qvxdsm.sys"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_FILE_NOT_FOUND", "Failure. The system cannot find the file specified."}}},
    {"NoAssociatedService", {{"qvxdsm.inf", "AddService = qvxdsm, 0x00000002,", "AddService = qvxdsm, 0x00000000,"}},
     "10.0", 1,
     {{"inf_checks/install-sections/qvxdsm.inf", "error", "no AddService with flag 0x00000002"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_NO_ASSOCIATED_SERVICE"}}},
    {"NoUninstallServicesSection", {{"qvxdsm.inf", "[DefaultUninstall.Services]", "[DefaultUninstall.Svc]"}}, "10.0", 1,
     {{"inf_checks/uninstall/qvxdsm.inf", "error", "no [DefaultUninstall.Services]"},
      {"lifecycle/uninstall/10.0 x64", "error", "ERROR_SECTION_NOT_FOUND", "Uninstalling the Device Specific Module..."}}},
    {"NoDelRegLine", {{"qvxdsm.inf", "DelReg   = QvxDsmSupportedDevicesRemove\n", ""}}, "5.2", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "no DelReg line"},
      {"lifecycle/left-strings/5.2 x64", "error", "still holds \"QUORVEX LUMENSTRIDE     \""},
      {"lifecycle/released-disks/5.2 x64", "error", "not given back"}}},
    {"DelRegWithWrongFlags", {{"qvxdsm.inf", "0x00018002, \"QUORVEX", "0x00010002, \"QUORVEX"}}, "5.0", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "does not delete \"QUORVEX LUMENSTRIDE     \""},
      {"inf_checks/delreg-scope/qvxdsm.inf", "error", "deletes the whole MPIOSupportedDeviceList value"}}},
    {"SupportedDeviceStringTooShort",
     {{"qvxdsm.inf", "0x00010008, \"QUORVEX LUMENSTRIDE     \"", "0x00010008, \"QUORVEX LUMENSTRIDE    \""},
      {"qvxdsm.inf", "0x00018002, \"QUORVEX LUMENSTRIDE     \"", "0x00018002, \"QUORVEX LUMENSTRIDE    \""}},
     "5.2", 1,
     {{"inf_checks/supported-devices/qvxdsm.inf", "error", "has 23 characters"}}},
    // The string is written, and the disks claimed: what is wrong is the other vendors' strings lost.
    {"SupportedDeviceListReplaced", {{"qvxdsm.inf", "0x00010008", "0x00010000"}}, "5.2", 1,
     {{"inf_checks/supported-devices/qvxdsm.inf", "error",
       "[QvxDsmSupportedDevices] replaces the whole MPIOSupportedDeviceList with its strings (flags 0x00010000)"},
      {"lifecycle/installed-strings/5.2 x64", "pass", ""},
      {"lifecycle/installed-disks/5.2 x64", "pass", ""},
      {"lifecycle/neighbour-installed/5.2 x64", "error",
       "MPIOSupportedDeviceList lost \"HALCYON MERIDIAN-5      \"; disk SCSI\\DISK&VEN_HALCYON"},
      {"lifecycle/neighbour-uninstalled/5.2 x64", "error",
       "(see the INF check 'supported-device strings (8 + 16)' [qvxdsm.inf])"}}},
    // An uninstall that deletes the whole list takes the other vendor's
    // strings, its disks' claim and (the list being empty) the base with it.
    {"UninstallDeletesTheWholeList", {{"qvxdsm.inf", "0x00018002, \"QUORVEX LUMENSTRIDE     \"",
     "0x00018002, \"QUORVEX LUMENSTRIDE     \"\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList"}},
     "5.2,10.0", 1,
     {{"inf_checks/delreg-scope/qvxdsm.inf", "error", "deletes the whole MPIOSupportedDeviceList value"},
      {"lifecycle/neighbour-installed/5.2 x64", "pass", ""},
      {"lifecycle/neighbour-uninstalled/5.2 x64", "error",
       "lost \"HALCYON MERIDIAN-5      \"; UpperFilters lost \"mpfilt\"; device ROOT\\MPIO\\0000 (Detected\\MPIO) is gone"},
      {"lifecycle/neighbour-uninstalled/5.2 x64", "error", "claimed by MPIO, driver mpdev before, now not claimed"},
      {"lifecycle/neighbour-uninstalled/5.2 x64", "error", "service mpio is gone"},
      {"lifecycle/neighbour-uninstalled/10.0 x64", "error", "MultipathIo Enabled before, now Disabled"},
      {"lifecycle/neighbour-uninstalled/10.0 x64", "error", "(see the INF check 'DelReg deletes only what the install added'"}}},
    // Deleting the whole list instead of the string: on 5.0 the installer
    // writes the list back, the string in it; later the whole list goes.
    {"UninstallDeletesTheListInsteadOfTheString", {{"qvxdsm.inf",
     "MPIOSupportedDeviceList, 0x00018002, \"QUORVEX LUMENSTRIDE     \"", "MPIOSupportedDeviceList"}}, "5.0,10.0", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error",
       "on 5.0 [QvxDsmSupportedDevicesRemove] does not delete \"QUORVEX LUMENSTRIDE     \""},
      {"inf_checks/delreg-scope/qvxdsm.inf", "error", "deletes the whole MPIOSupportedDeviceList value"},
      {"lifecycle/left-strings/5.0 x86", "error", "still holds \"QUORVEX LUMENSTRIDE     \""},
      {"lifecycle/left-strings/10.0 x64", "pass", ""},
      {"lifecycle/neighbour-uninstalled/10.0 x64", "error", "lost \"HALCYON MERIDIAN-5      \""}}},
    // An install section Windows 2000 runs deletes the whole list there at -i.
    {"InstallSectionDelRegOnWindows2000", {{"qvxdsm.inf", "AddReg    = QvxDsmSupportedDevices\n",
     "AddReg    = QvxDsmSupportedDevices\nDelReg    = QvxDsmSupportedDevicesRemove\n"}}, "5.0", 1,
     {{"inf_checks/delreg-scope/qvxdsm.inf", "error", "which [QvxDsmInstall] runs on Windows 2000"},
      {"lifecycle/neighbour-installed/5.0 x86", "error",
       "lost \"HALCYON MERIDIAN-5      \"; disk SCSI\\DISK&VEN_HALCYON"},
      {"lifecycle/neighbour-installed/5.0 x86", "error",
       "(see the INF check 'DelReg deletes only what the install added' [qvxdsm.inf])"}}},
    {"NoCatalogFileIsAWarning", {{"qvxdsm.inf", "CatalogFile = qvxdsm.cat\n", ""}}, "10.0", 0,
     {{"inf_checks/catalog/qvxdsm.inf", "warning", "loads only signed drivers"}}},
    {"CatalogFileMissing", {{"mpdev.cat", "", ""}}, "10.0", 1,
     {{"inf_checks/catalog/mpdev.inf", "error", "names mpdev.cat, which is not in the package"}}},
    {"NotAWindowsNtInf", {{"mpdev.inf", "$WINDOWS NT$", "$WINDOWS 95$"}}, "10.0", 1,
     {{"inf_checks/version/mpdev.inf", "error", "Signature is \"$WINDOWS 95$\""}}},
    {"MalformedDriverVer", {{"mpio.inf", "DriverVer   = 12/08/2026,", "DriverVer   = 2026-12-08,"}}, "10.0", 1,
     {{"inf_checks/version/mpio.inf", "error", "is not mm/dd/yyyy"}}},
    {"InfDoesNotParse", {{"mpdev.inf", "[Strings]", "[Strings"}}, "10.0", 1,
     {{"inf_checks/version/mpdev.inf", "error", "does not parse: error 0xE0000001 at line"},
      {"inf_checks/class/mpdev.inf", "not-applicable", "not checked"}}},
    {"CopyFilesNamesNoSection", {{"qvxdsm.inf", "CopyFiles = QvxDsmDriverFiles", "CopyFiles = QvxDsmFiles"}}, "10.0", 1,
     {{"inf_checks/copy-files/qvxdsm.inf", "error", "names [QvxDsmFiles], which does not exist"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_SECTION_NOT_FOUND"}}},
    {"ServiceInstallWithoutBinary", {{"qvxdsm.inf", "ServiceBinary  = %12%\\qvxdsm.sys", ""}}, "10.0", 1,
     {{"inf_checks/install-sections/qvxdsm.inf", "error", "[QvxDsmServiceInstall] has no ServiceBinary"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_BAD_SERVICE_INSTALLSECT"}}},
    {"ServiceNotDeletedOnUninstall", {{"qvxdsm.inf", "DelService = qvxdsm, 0x00000200", ""}}, "5.2", 1,
     {{"inf_checks/uninstall/qvxdsm.inf", "error", "does not delete the service qvxdsm"},
      {"lifecycle/left-services/5.2 x64", "error", "still installed after the reboot: qvxdsm"}}},
    {"DelRegNamesTwoSections", {{"qvxdsm.inf", "DelReg   = QvxDsmSupportedDevicesRemove",
     "DelReg   = QvxDsmSupportedDevicesRemove, QvxDsmMore"}}, "5.0", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "reads it as one section name"}}},
    // The setup library reads only the abbreviated roots: a spelt-out one
    // appends nothing and fails the install.
    {"AddRegRootSpeltOut", {{"qvxdsm.inf", "HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00010008",
     "HKEY_LOCAL_MACHINE, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00010008"}}, "10.0", 1,
     {{"inf_checks/supported-devices/qvxdsm.inf", "error", "no disk would be claimed"},
      {"inf_checks/delreg-scope/qvxdsm.inf", "error", "under the root HKLM, which the install never writes"},
      {"lifecycle/install/10.0 x64", "error", "exit -1"}}},
    {"ServiceTypeNotANumber", {{"qvxdsm.inf", "ServiceType    = 1", "ServiceType    = kernel"}}, "10.0", 1,
     {{"inf_checks/install-sections/qvxdsm.inf", "error", "[QvxDsmServiceInstall] has no ServiceType"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_BAD_SERVICE_INSTALLSECT"}}},
    // 32-bit Windows looks for the file where the x86 source disk lies.
    {"DriverFileNotWhereTheX86DiskSays", {{"qvxdsm.inf", "[SourceDisksFiles]",
     "[SourceDisksNames.x86]\n1 = %DiskName%,,,\\x86\n\n[SourceDisksFiles]"}}, "5.0", 1,
     {{"inf_checks/copy-files/qvxdsm.inf", "error", "not in the package: \\x86\\qvxdsm.sys"},
      {"lifecycle/install/5.0 x86", "error", "ERROR_FILE_NOT_FOUND"}}},
    {"DsmNotASystemDevice", {{"qvxdsm.inf", "Class       = System\nClassGuid   = {4D36E97D",
     "Class       = SCSIAdapter\nClassGuid   = {4D36E97B"}}, "10.0", 1,
     {{"inf_checks/class/qvxdsm.inf", "error", "expected System"}}},
};

void PrintTo(const Mutation &mutation, std::ostream *out) { *out << mutation.name; }

class MutationTest : public PkgcheckTest, public ::testing::WithParamInterface<Mutation> {};

TEST_P(MutationTest, NamesTheFault)
{
    const Mutation &mutation = GetParam();
    ASSERT_NO_FATAL_FAILURE(EditPackage(Package(), mutation.edits));
    auto args = PackageArgs();
    args.insert(args.end(), {"--json", "--generations", mutation.generations});
    Run run = Pkgcheck(args);
    ASSERT_EQ(run.exitCode, mutation.exitCode) << run.out << run.err;
    const auto document = nlohmann::json::parse(run.out);
    const Findings findings = FindingsOf(document);
    ExpectFindings(findings, mutation.expected);
    // The INF checks name this fault and no other.
    ExpectOnlyThePlaceholdersWarn(findings, "inf_checks/", mutation.expected);
    EXPECT_EQ(document["passed"], mutation.exitCode == 0);
}

INSTANTIATE_TEST_SUITE_P(BrokenPackages, MutationTest, ::testing::ValuesIn(kMutations),
                         [](const ::testing::TestParamInfo<Mutation> &info) { return info.param.name; });

const char kDsmInf[] = "qvxdsm.inf";
const char kDriverVer[] = "DriverVer   = 12/08/2026,2.4.1.0";
const char kUninstallStringLine[] = "0x00018002, \"QUORVEX LUMENSTRIDE     \"";
const char kInstallStringLine[] = "0x00010008, \"QUORVEX LUMENSTRIDE     \"";

// --upgrade-from an older copy of the example, made by editing its DSM INF.
struct Upgrade {
    const char *name;
    std::vector<PackageEdit> oldEdits;   // made to the old copy
    std::vector<PackageEdit> newEdits;   // made to the new package
    const char *generations;
    std::vector<Expected> expected;
};

const Upgrade kUpgrades[] = {
    {"FromAnOlderSelf", {{kDsmInf, kDriverVer, "DriverVer   = 06/01/2026,2.3.0.0"}}, {}, "6.1,10.0",
     {{"lifecycle/upgrade/6.1 x64", "pass", ""},
      {"lifecycle/upgrade-driver-ver/6.1 x64", "pass", ""},
      {"lifecycle/upgrade-strings/10.0 x64", "pass", ""},
      {"lifecycle/upgrade-neighbour/10.0 x64", "pass", ""}}},
    // Before 6.0 the customer uninstalls first; the bus device that the other
    // vendor's DSM keeps already runs the same bus driver, which the
    // installer's unforced update refuses: a limit of the installer, told as
    // a note, not held against the package.
    {"BeforeSixTheBusRefusesTheSameDriver", {{kDsmInf, kDriverVer, "DriverVer   = 06/01/2026,2.3.0.0"}}, {}, "5.0,5.2",
     {{"lifecycle/upgrade/5.0 x86", "pass", "refused at the bus driver with 259"},
      {"lifecycle/upgrade/5.2 x64", "pass", "a limit of the installer"},
      {"lifecycle/upgrade-driver-ver/5.2 x64", "not-applicable", "refused at the bus driver"},
      {"lifecycle/upgrade-strings/5.2 x64", "not-applicable", "refused at the bus driver"},
      {"lifecycle/upgrade-neighbour/5.2 x64", "pass", ""}}},
    {"BeforeSixSameDriverVerStillAWarning", {}, {}, "5.2",
     {{"lifecycle/upgrade-driver-ver/5.2 x64", "warning", "is not newer than the old package's"}}},
    {"SameDriverVerIsAWarning", {}, {}, "10.0",
     {{"lifecycle/upgrade-driver-ver/10.0 x64", "warning", "is not newer than the old package's"}}},
    {"NewerOldDriverVerIsAWarning", {{kDsmInf, kDriverVer, "DriverVer   = 12/08/2027,1.0.0.0"}}, {}, "10.0",
     {{"lifecycle/upgrade-driver-ver/10.0 x64", "warning", "\"12/08/2026,2.4.1.0\" is not newer"}}},
    // Same date: the version decides, part by part as numbers (2.10 is newer than 2.4).
    {"VersionComparedByNumber", {{kDsmInf, kDriverVer, "DriverVer   = 12/08/2026,2.10.0.0"}}, {}, "10.0",
     {{"lifecycle/upgrade-driver-ver/10.0 x64", "warning", "is not newer than the old package's \"12/08/2026,2.10.0.0\""}}},
    {"SameDateLowerVersionPasses", {{kDsmInf, kDriverVer, "DriverVer   = 12/08/2026,2.4.0.9"}}, {}, "10.0",
     {{"lifecycle/upgrade-driver-ver/10.0 x64", "pass", ""}}},
    // The old release listed a second array; -i over it does not take it out.
    {"DroppedStringLeftListed",
     {{kDsmInf, kDriverVer, "DriverVer   = 06/01/2026,2.3.0.0"},
      {kDsmInf, kInstallStringLine, std::string(kInstallStringLine) + ", \"QUORVEX PRISMLINE       \""},
      {kDsmInf, kUninstallStringLine, std::string(kUninstallStringLine) + ", \"QUORVEX PRISMLINE       \""}},
     {},
     "10.0",
     {{"lifecycle/upgrade-strings/10.0 x64", "error", "\"QUORVEX PRISMLINE       \" is still listed"},
      {"lifecycle/upgrade-driver-ver/10.0 x64", "pass", ""}}},
    // The same, with the new install section deleting the dropped string.
    {"DroppedStringDeletedByTheNewInstall",
     {{kDsmInf, kDriverVer, "DriverVer   = 06/01/2026,2.3.0.0"},
      {kDsmInf, kInstallStringLine, std::string(kInstallStringLine) + ", \"QUORVEX PRISMLINE       \""},
      {kDsmInf, kUninstallStringLine, std::string(kUninstallStringLine) + ", \"QUORVEX PRISMLINE       \""}},
     {{kDsmInf, "AddReg    = QvxDsmSupportedDevices\n", "AddReg    = QvxDsmSupportedDevices\nDelReg    = QvxDsmDropped\n"},
      {kDsmInf, "[QvxDsmServiceInstall]", "[QvxDsmDropped]\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, "
                                 "MPIOSupportedDeviceList, 0x00018002, \"QUORVEX PRISMLINE       \"\n\n"
                                 "[QvxDsmServiceInstall]"}},
     "10.0",
     {{"lifecycle/upgrade-strings/10.0 x64", "pass", ""}}},
    // The same delete where Windows 2000 does not run it: its models section
    // names an install section of its own, without the DelReg.
    {"DroppedStringDeletedBesideWindows2000",
     {{kDsmInf, kDriverVer, "DriverVer   = 06/01/2026,2.3.0.0"},
      {kDsmInf, kInstallStringLine, std::string(kInstallStringLine) + ", \"QUORVEX PRISMLINE       \""},
      {kDsmInf, kUninstallStringLine, std::string(kUninstallStringLine) + ", \"QUORVEX PRISMLINE       \""}},
     {{kDsmInf, "AddReg    = QvxDsmSupportedDevices\n", "AddReg    = QvxDsmSupportedDevices\nDelReg    = QvxDsmDropped\n"},
      {kDsmInf, "[QuorvexDsm]\n%DsmDescription% = QvxDsmInstall,", "[QuorvexDsm]\n%DsmDescription% = QvxDsmInstall2000,"},
      {kDsmInf, "[QvxDsmServiceInstall]", "[QvxDsmInstall2000]\nCopyFiles = QvxDsmDriverFiles\nAddReg    = QvxDsmSupportedDevices\n\n"
                                 "[QvxDsmInstall2000.Services]\nAddService = qvxdsm, 0x00000002, QvxDsmServiceInstall\n\n"
                                 "[QvxDsmDropped]\nHKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, "
                                 "MPIOSupportedDeviceList, 0x00018002, \"QUORVEX PRISMLINE       \"\n\n"
                                 "[QvxDsmServiceInstall]"}},
     "5.0,10.0",
     {{"inf_checks/delreg-scope/qvxdsm.inf", "pass", ""},
      {"lifecycle/neighbour-installed/5.0 x86", "pass", ""},
      {"lifecycle/upgrade-neighbour/5.0 x86", "pass", ""},
      {"lifecycle/upgrade-strings/10.0 x64", "pass", ""},
      {"lifecycle/upgrade-neighbour/10.0 x64", "pass", ""}}},
};

void PrintTo(const Upgrade &upgrade, std::ostream *out) { *out << upgrade.name; }

class UpgradeTest : public PkgcheckTest, public ::testing::WithParamInterface<Upgrade> {};

TEST_P(UpgradeTest, NamesTheOutcome)
{
    const Upgrade &upgrade = GetParam();
    const fs::path old = root_ / "old";
    fs::copy(EXAMPLE_PACKAGE, old);
    EditPackage(old, upgrade.oldEdits);
    EditPackage(Package(), upgrade.newEdits);
    auto args = PackageArgs();
    args.insert(args.end(), {"--json", "--generations", upgrade.generations, "--upgrade-from", old.string()});
    Run run = Pkgcheck(args);
    ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.out << run.err;
    const Findings findings = FindingsOf(nlohmann::json::parse(run.out));
    ExpectFindings(findings, upgrade.expected);
}

INSTANTIATE_TEST_SUITE_P(Upgrades, UpgradeTest, ::testing::ValuesIn(kUpgrades),
                         [](const ::testing::TestParamInfo<Upgrade> &info) { return info.param.name; });

// --disk: the inquiry identities of the vendor's real arrays against the DSM's strings.
struct RealArrays {
    const char *name;
    std::vector<PackageEdit> edits;
    std::vector<std::string> disks;
    const char *verdict;
    const char *reason;
};

const RealArrays kRealArrays[] = {
    {"StringClaimsTheArray", {}, {"QUORVEX LUMENSTRIDE     "}, "pass", "claims \"QUORVEX LUMENSTRIDE     \""},
    {"ArrayNoStringClaims", {}, {"QUORVEX LUMENSTRIDE     ", "QUORVEX PRISMLINE       "}, "error",
     "no string of the DSM claims --disk \"QUORVEX PRISMLINE       \""},
    // 24 characters, but the vendor field is not padded to 8: it claims no real disk.
    {"VendorPaddedWrong",
     {{kDsmInf, kInstallStringLine, "0x00010008, \"QUORVEXLUMENSTRIDE      \""},
      {kDsmInf, kUninstallStringLine, "0x00018002, \"QUORVEXLUMENSTRIDE      \""}},
     {"QUORVEX LUMENSTRIDE     "}, "error", "\"QUORVEXLUMENSTRIDE      \" claims none of the --disk arrays"},
};

void PrintTo(const RealArrays &arrays, std::ostream *out) { *out << arrays.name; }

class RealArraysTest : public PkgcheckTest, public ::testing::WithParamInterface<RealArrays> {};

TEST_P(RealArraysTest, SaysWhichTheStringsClaim)
{
    const RealArrays &arrays = GetParam();
    EditPackage(Package(), arrays.edits);
    auto args = PackageArgs();
    args.insert(args.end(), {"--json", "--generations", "5.2"});
    for (const std::string &disk : arrays.disks)
        args.insert(args.end(), {"--disk", disk});
    Run run = Pkgcheck(args);
    ASSERT_EQ(run.exitCode, std::string(arrays.verdict) == "pass" ? 0 : 1) << run.out << run.err;
    const Findings findings = FindingsOf(nlohmann::json::parse(run.out));
    // The arrays the strings claim are the ones claimed on the machine; no other is.
    ExpectFindings(findings, {{"lifecycle/disk-match/5.2 x64", arrays.verdict, arrays.reason},
                              {"lifecycle/installed-disks/5.2 x64", arrays.edits.empty() ? "pass" : "not-applicable", ""}});
}

INSTANTIATE_TEST_SUITE_P(Disks, RealArraysTest, ::testing::ValuesIn(kRealArrays),
                         [](const ::testing::TestParamInfo<RealArrays> &info) { return info.param.name; });

// --keep leaves each generation's machine, and the machine before and after
// each run, where winsim show reads them, and refuses a directory that
// already holds one.
TEST_F(PkgcheckTest, KeptMachineIsReadByWinsimShow)
{
    // Given relative to pkgcheck's current directory.
    const fs::path kept = root_ / "kept";
    auto args = PackageArgs();
    args.insert(args.end(), {"--generations", "5.2,10.0", "--keep", fs::relative(kept, Cwd()).string()});
    ASSERT_EQ(Pkgcheck(args).exitCode, 0);
    for (const char *generation : {"5.2", "10.0"}) {
        EXPECT_NE(ReadFile(kept / generation / "MPIOInstall.LOG").find("Installing the Device Specific Module"),
                  std::string::npos);
        hosttools::Process show;
        show.program = (fs::path(PKGCHECK_BINARY).parent_path() / "winsim").string();
        show.args = {"show", (kept / generation / "machine.json").string()};
        const hosttools::ProcessResult shown = hosttools::Run(show);
        EXPECT_EQ(shown.exitCode, 0) << shown.errors;
        EXPECT_NE(shown.output.find(std::string("OS ") + generation), std::string::npos) << shown.output;
        EXPECT_NE(shown.output.find("HALCYON"), std::string::npos) << shown.output;
    }
    // The machine before and after each run, in the order of the runs: the package's -i brings the DSM
    // device, its -u takes it away.
    const fs::path runs = kept / "10.0" / "runs";
    const std::pair<const char *, bool> snapshots[] = {
        {"01-neighbour-i.before.json", false}, {"02-i.before.json", false}, {"02-i.after.json", true},
        {"05-u.before.json", true}, {"05-u.after.json", false}, {"07-neighbour-u.after.json", false}};
    for (const auto &[file, hasDsm] : snapshots) {
        hosttools::Process show;
        show.program = (fs::path(PKGCHECK_BINARY).parent_path() / "winsim").string();
        show.args = {"show", (runs / file).string()};
        const hosttools::ProcessResult shown = hosttools::Run(show);
        EXPECT_EQ(shown.exitCode, 0) << file << shown.errors;
        EXPECT_EQ(shown.output.find("hardware IDs \"Root\\QVXDSM\"") != std::string::npos, hasDsm) << file;
    }
    Run again = Pkgcheck(args);
    EXPECT_EQ(again.exitCode, 2);
    EXPECT_NE(again.err.find("already holds files"), std::string::npos) << again.err;
}

struct Usage {
    const char *name;
    std::vector<std::string> args;   // "{pkg}" is the example package's copy
    const char *message;
};

const Usage kUsages[] = {
    {"NoArguments", {}, "expected SOURCE_DIR DSM_INF DSM_HWID"},
    {"UnknownOption", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--verbose"}, "unknown option --verbose"},
    {"UnknownGeneration", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--generations", "5.2,7.0"},
     "unknown Windows generation '7.0'"},
    {"DiskNotEightAndSixteen", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--disk", "QUORVEX LUMENSTRIDE"},
     "is not 8 vendor and 16 product characters"},
    {"NoOldPackage", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--upgrade-from", "{pkg}/nothing"}, "not a directory"},
    {"NoSourceDirectory", {"{pkg}/nothing", "qvxdsm.inf", "Root\\QVXDSM"}, "not a directory"},
    {"NoDsmInf", {"{pkg}", "other.inf", "Root\\QVXDSM"}, "other.inf: no such file in the package"},
    {"JunitWithoutFile", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--junit"}, "--junit needs a file name"},
    {"JunitInNoDirectory", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--junit", "{pkg}/none/r.xml"},
     "cannot write the --junit file"},
    {"MarkdownIntoADirectory", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--markdown={pkg}"},
     "cannot write the --markdown file"},
    {"ReportFilesWithFacts", {"{pkg}", "qvxdsm.inf", "Root\\QVXDSM", "--facts", "--junit", "{pkg}/r.xml"},
     "--facts checks nothing"},
};

void PrintTo(const Usage &usage, std::ostream *out) { *out << usage.name; }

class UsageTest : public PkgcheckTest, public ::testing::WithParamInterface<Usage> {};

TEST_P(UsageTest, ExitsTwoWithAMessage)
{
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        if (const size_t at = arg.find("{pkg}"); at != std::string::npos)
            arg.replace(at, 5, Package().string());
        args.push_back(arg);
    }
    Run run = Pkgcheck(args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.out.empty()) << run.out;
    EXPECT_NE(run.err.find(GetParam().message), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(BadUsage, UsageTest, ::testing::ValuesIn(kUsages),
                         [](const ::testing::TestParamInfo<Usage> &info) { return info.param.name; });

}  // namespace
