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

#include "hosttools/hosttools.h"
#include "package.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path &path)
{
    return hosttools::ReadFile(path.string()).value_or(std::string());
}

void WriteFile(const fs::path &path, const std::string &bytes)
{
    hosttools::WriteFile(path.string(), bytes);
}

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

// Every finding of the document: (table, check, column) -> the finding.
std::map<std::string, nlohmann::json> Findings(const nlohmann::json &document)
{
    std::map<std::string, nlohmann::json> findings;
    for (const char *table : {"inf_checks", "lifecycle"})
        for (const auto &finding : document[table])
            findings[std::string(table) + "/" + finding["check"].get<std::string>() + "/" +
                     finding["column"].get<std::string>()] = finding;
    return findings;
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
    EXPECT_EQ(document["errors"], 0);
    EXPECT_EQ(document["warnings"], 0);
    EXPECT_EQ(document["generations"], nlohmann::json({"5.0 x86", "5.2 x64", "6.1 x64", "10.0 x64"}));
    for (const auto &[key, finding] : Findings(document))
        EXPECT_TRUE(finding["verdict"] == "pass" || finding["verdict"] == "not-applicable") << key << ": " << finding;
    // The step a correct package fails on the oldest systems is told as expected.
    EXPECT_EQ(Findings(document)["lifecycle/install-again/5.2 x64"]["exit_code"], -1);

    Run table = Pkgcheck(PackageArgs());
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_EQ(table.out.find("✗"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("0 errors, 0 warnings: the package passes"), std::string::npos) << table.out;
}

TEST_F(PkgcheckTest, ExamplePackagePassesOnTheOtherGenerations)
{
    auto args = PackageArgs();
    args.insert(args.end(), {"--json", "--generations", "5.1,6.0,6.2,6.3,5.1"});
    Run run = Pkgcheck(args);
    ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
    const auto document = nlohmann::json::parse(run.out);
    EXPECT_EQ(document["generations"], nlohmann::json({"5.1 x86", "6.0 x64", "6.2 x64", "6.3 x64"}));
    EXPECT_EQ(document["errors"], 0);
    EXPECT_EQ(document["warnings"], 0);
}

TEST_F(PkgcheckTest, TableMarksAFaultAndListsItsReasonAndLog)
{
    const fs::path inf = Package() / "qvxdsm.inf";
    std::string text = ReadFile(inf);
    text.replace(text.find("QuorvexDsm, NTx86, NTamd64"), 26, "QuorvexDsm, NTx86");
    WriteFile(inf, text);
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
             "  ! driver files are PE images of the platform [qvxdsm.inf]: qvxdsm.sys is an AMD64 image, copied for "
             "Windows 2000 (i386), x86 (i386) only",
             "errors, 1 warning: the package is not ready to ship\n"})
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
    EXPECT_EQ(document["errors"], 0);
    EXPECT_EQ(document["warnings"], 0);
}

// What the example package says of itself.
TEST_F(PkgcheckTest, FactsOfTheExamplePackage)
{
    const pkgcheck::PackageFacts facts =
        pkgcheck::ReadFacts(pkgcheck::LoadPackage(Package().string(), "qvxdsm.inf", "Root\\QVXDSM"));
    EXPECT_EQ(facts.dsmService, u"qvxdsm");
    EXPECT_EQ(facts.driverVer, u"12/08/2026,2.4.1.0");
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

struct Expected {
    const char *finding;   // "table/check/column"
    const char *verdict;
    const char *reason;    // a part of the reason
    const char *logLine = nullptr;   // for an installer run: a log line that explains it
};

struct Mutation {
    const char *name;
    const char *file;
    const char *from;      // every occurrence replaced by 'to'; nullptr: the file is removed
    const char *to;
    const char *generations;
    int exitCode;
    std::vector<Expected> expected;
};

const Mutation kMutations[] = {
    {"DescriptionNotTheBuilds", "qvxdsm.inf", "DsmDescription = \"Quorvex Lumenstride Device Specific Module\"",
     "DsmDescription = \"Quorvex Lumenstride DSM\"", "5.2", 1,
     {{"inf_checks/description/qvxdsm.inf", "error", "-c never finds the DSM"},
      {"lifecycle/check-installed/5.2 x64", "error", "did not find the DSM"}}},
    {"BusDescriptionNotTheChecks", "mpio.inf", "MpioDescription   = \"Multi-Path Support\"",
     "MpioDescription   = \"Multipath Support\"", "5.0", 1,
     {{"inf_checks/description/mpio.inf", "error", "\"Multi-Path Support\""},
      {"lifecycle/check-installed/5.0 x86", "error", "did not find the MPIO bus device"}}},
    {"NoNtamd64Models", "qvxdsm.inf", "QuorvexDsm, NTx86, NTamd64", "QuorvexDsm, NTx86", "10.0", 1,
     {{"inf_checks/models-ntamd64/qvxdsm.inf", "error", "x64 Windows ignores an undecorated"},
      {"inf_checks/hardware-id/qvxdsm.inf", "error", "for x64"},
      {"inf_checks/driver-images/qvxdsm.inf", "warning", "AMD64 image, copied for Windows 2000 (i386), x86 (i386) only"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_NO_COMPAT_DRIVERS"}}},
    {"NoUndecoratedModels", "mpio.inf", "[MultiPathBus]\n", "[MultiPathBusOld]\n", "5.0", 1,
     {{"inf_checks/models-plain/mpio.inf", "error", "Windows 2000 reads only"},
      {"inf_checks/hardware-id/mpio.inf", "error", "for Windows 2000"},
      {"lifecycle/install/5.0 x86", "error", "ERROR_NO_COMPAT_DRIVERS",
       "Installing the Multi-Path Adapter Filter and Multi-Path Bus Driver..."}}},
    {"NoNtx86ModelsIsAWarning", "mpdev.inf", "NTx86, NTamd64", "NTamd64", "5.0", 0,
     {{"inf_checks/models-ntx86/mpdev.inf", "warning", "fall back to [MultiPathDisk]"}}},
    {"HardwareIdMissingFromX64Models", "qvxdsm.inf",
     "[QuorvexDsm.NTamd64]\n%DsmDescription% = QvxDsmInstall, Root\\QVXDSM",
     "[QuorvexDsm.NTamd64]\n%DsmDescription% = QvxDsmInstall, Root\\QVXDSM2", "10.0", 1,
     {{"inf_checks/hardware-id/qvxdsm.inf", "error", "Root\\QVXDSM is not in the models section for x64"},
      {"inf_checks/driver-images/qvxdsm.inf", "warning", "AMD64 image, copied for Windows 2000 (i386), x86 (i386) only"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_NO_COMPAT_DRIVERS"}}},
    {"CopiedFileMissing", "qvxdsm.sys", nullptr, nullptr, "10.0", 1,
     {{"inf_checks/copy-files/qvxdsm.inf", "error", "not in the package: qvxdsm.sys"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_FILE_NOT_FOUND", "Failure. The system cannot find the file specified."}}},
    {"NoAssociatedService", "qvxdsm.inf", "AddService = qvxdsm, 0x00000002,", "AddService = qvxdsm, 0x00000000,",
     "10.0", 1,
     {{"inf_checks/install-sections/qvxdsm.inf", "error", "no AddService with flag 0x00000002"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_NO_ASSOCIATED_SERVICE"}}},
    {"NoUninstallServicesSection", "qvxdsm.inf", "[DefaultUninstall.Services]", "[DefaultUninstall.Svc]", "10.0", 1,
     {{"inf_checks/uninstall/qvxdsm.inf", "error", "no [DefaultUninstall.Services]"},
      {"lifecycle/uninstall/10.0 x64", "error", "ERROR_SECTION_NOT_FOUND", "Uninstalling the Device Specific Module..."}}},
    {"NoDelRegLine", "qvxdsm.inf", "DelReg   = QvxDsmSupportedDevicesRemove\n", "", "5.2", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "no DelReg line"},
      {"lifecycle/left-strings/5.2 x64", "error", "still holds \"QUORVEX LUMENSTRIDE     \""},
      {"lifecycle/released-disks/5.2 x64", "error", "not given back"}}},
    {"DelRegWithWrongFlags", "qvxdsm.inf", "0x00018002, \"QUORVEX", "0x00010002, \"QUORVEX", "5.0", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "does not delete \"QUORVEX LUMENSTRIDE     \""},
      {"inf_checks/delreg-scope/qvxdsm.inf", "error", "deletes the whole MPIOSupportedDeviceList value"}}},
    {"SupportedDeviceStringTooShort", "qvxdsm.inf", "LUMENSTRIDE     \"", "LUMENSTRIDE    \"", "5.2", 1,
     {{"inf_checks/supported-devices/qvxdsm.inf", "error", "has 23 characters"}}},
    {"SupportedDeviceListReplaced", "qvxdsm.inf", "0x00010008", "0x00010000", "5.2", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "replaces the whole MPIOSupportedDeviceList"},
      {"inf_checks/supported-devices/qvxdsm.inf", "error", "no disk would be claimed"}}},
    {"NoCatalogFileIsAWarning", "qvxdsm.inf", "CatalogFile = qvxdsm.cat\n", "", "10.0", 0,
     {{"inf_checks/catalog/qvxdsm.inf", "warning", "loads only signed drivers"}}},
    {"CatalogFileMissing", "mpdev.cat", nullptr, nullptr, "10.0", 1,
     {{"inf_checks/catalog/mpdev.inf", "error", "names mpdev.cat, which is not in the package"}}},
    {"NotAWindowsNtInf", "mpdev.inf", "$WINDOWS NT$", "$WINDOWS 95$", "10.0", 1,
     {{"inf_checks/version/mpdev.inf", "error", "Signature is \"$WINDOWS 95$\""}}},
    {"MalformedDriverVer", "mpio.inf", "DriverVer   = 12/08/2026,", "DriverVer   = 2026-12-08,", "10.0", 1,
     {{"inf_checks/version/mpio.inf", "error", "is not mm/dd/yyyy"}}},
    {"InfDoesNotParse", "mpdev.inf", "[Strings]", "[Strings", "10.0", 1,
     {{"inf_checks/version/mpdev.inf", "error", "does not parse: error 0xE0000001 at line"},
      {"inf_checks/class/mpdev.inf", "not-applicable", "not checked"}}},
    {"CopyFilesNamesNoSection", "qvxdsm.inf", "CopyFiles = QvxDsmDriverFiles", "CopyFiles = QvxDsmFiles", "10.0", 1,
     {{"inf_checks/copy-files/qvxdsm.inf", "error", "names [QvxDsmFiles], which does not exist"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_SECTION_NOT_FOUND"}}},
    {"ServiceInstallWithoutBinary", "qvxdsm.inf", "ServiceBinary  = %12%\\qvxdsm.sys", "", "10.0", 1,
     {{"inf_checks/install-sections/qvxdsm.inf", "error", "[QvxDsmServiceInstall] has no ServiceBinary"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_BAD_SERVICE_INSTALLSECT"}}},
    {"ServiceNotDeletedOnUninstall", "qvxdsm.inf", "DelService = qvxdsm, 0x00000200", "", "5.2", 1,
     {{"inf_checks/uninstall/qvxdsm.inf", "error", "does not delete the service qvxdsm"},
      {"lifecycle/left-services/5.2 x64", "error", "still installed after the reboot: qvxdsm"}}},
    {"DelRegNamesTwoSections", "qvxdsm.inf", "DelReg   = QvxDsmSupportedDevicesRemove",
     "DelReg   = QvxDsmSupportedDevicesRemove, QvxDsmMore", "5.0", 1,
     {{"inf_checks/delreg/qvxdsm.inf", "error", "reads it as one section name"}}},
    // The setup library reads only the abbreviated roots: a spelt-out one
    // appends nothing and fails the install.
    {"AddRegRootSpeltOut", "qvxdsm.inf", "HKLM, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00010008",
     "HKEY_LOCAL_MACHINE, SYSTEM\\CurrentControlSet\\Control\\MPDEV, MPIOSupportedDeviceList, 0x00010008", "10.0", 1,
     {{"inf_checks/supported-devices/qvxdsm.inf", "error", "no disk would be claimed"},
      {"inf_checks/delreg-scope/qvxdsm.inf", "error", "under the root HKLM, which the install never writes"},
      {"lifecycle/install/10.0 x64", "error", "exit -1"}}},
    {"ServiceTypeNotANumber", "qvxdsm.inf", "ServiceType    = 1", "ServiceType    = kernel", "10.0", 1,
     {{"inf_checks/install-sections/qvxdsm.inf", "error", "[QvxDsmServiceInstall] has no ServiceType"},
      {"lifecycle/install/10.0 x64", "error", "ERROR_BAD_SERVICE_INSTALLSECT"}}},
    // 32-bit Windows looks for the file where the x86 source disk lies.
    {"DriverFileNotWhereTheX86DiskSays", "qvxdsm.inf", "[SourceDisksFiles]",
     "[SourceDisksNames.x86]\n1 = %DiskName%,,,\\x86\n\n[SourceDisksFiles]", "5.0", 1,
     {{"inf_checks/copy-files/qvxdsm.inf", "error", "not in the package: \\x86\\qvxdsm.sys"},
      {"lifecycle/install/5.0 x86", "error", "ERROR_FILE_NOT_FOUND"}}},
    {"DsmNotASystemDevice", "qvxdsm.inf", "Class       = System\nClassGuid   = {4D36E97D",
     "Class       = SCSIAdapter\nClassGuid   = {4D36E97B", "10.0", 1,
     {{"inf_checks/class/qvxdsm.inf", "error", "expected System"}}},
};

void PrintTo(const Mutation &mutation, std::ostream *out) { *out << mutation.name; }

class MutationTest : public PkgcheckTest, public ::testing::WithParamInterface<Mutation> {};

TEST_P(MutationTest, NamesTheFault)
{
    const Mutation &mutation = GetParam();
    const fs::path file = Package() / mutation.file;
    if (mutation.from == nullptr) {
        ASSERT_TRUE(fs::remove(file));
    } else {
        std::string text = ReadFile(file);
        const std::string from = mutation.from, to = mutation.to;
        ASSERT_NE(text.find(from), std::string::npos) << from;
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
        WriteFile(file, text);
    }
    auto args = PackageArgs();
    args.insert(args.end(), {"--json", "--generations", mutation.generations});
    Run run = Pkgcheck(args);
    ASSERT_EQ(run.exitCode, mutation.exitCode) << run.out << run.err;
    const auto document = nlohmann::json::parse(run.out);
    auto findings = Findings(document);
    for (const Expected &expected : mutation.expected) {
        ASSERT_TRUE(findings.count(expected.finding)) << expected.finding;
        const auto &finding = findings[expected.finding];
        EXPECT_EQ(finding["verdict"], expected.verdict) << expected.finding << ": " << finding;
        EXPECT_NE(finding["reason"].get<std::string>().find(expected.reason), std::string::npos)
            << expected.finding << ": " << finding;
        if (expected.logLine) {
            EXPECT_EQ(finding["exit_code"], -1) << expected.finding;
            EXPECT_NE(finding["log"].dump().find(nlohmann::json(expected.logLine).dump()), std::string::npos)
                << expected.finding << ": " << finding;
        }
    }
    // The INF checks name this fault and no other.
    for (const auto &[key, finding] : findings) {
        bool named = false;
        for (const Expected &expected : mutation.expected)
            named = named || key == expected.finding;
        if (key.rfind("inf_checks/", 0) == 0 && !named) {
            EXPECT_TRUE(finding["verdict"] == "pass" || finding["verdict"] == "not-applicable") << key << ": " << finding;
        }
    }
    EXPECT_EQ(document["passed"], mutation.exitCode == 0);
}

INSTANTIATE_TEST_SUITE_P(BrokenPackages, MutationTest, ::testing::ValuesIn(kMutations),
                         [](const ::testing::TestParamInfo<Mutation> &info) { return info.param.name; });

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
    {"NoSourceDirectory", {"{pkg}/nothing", "qvxdsm.inf", "Root\\QVXDSM"}, "not a directory"},
    {"NoDsmInf", {"{pkg}", "other.inf", "Root\\QVXDSM"}, "other.inf: no such file in the package"},
};

void PrintTo(const Usage &usage, std::ostream *out) { *out << usage.name; }

class UsageTest : public PkgcheckTest, public ::testing::WithParamInterface<Usage> {};

TEST_P(UsageTest, ExitsTwoWithAMessage)
{
    std::vector<std::string> args;
    for (std::string arg : GetParam().args) {
        if (arg.rfind("{pkg}", 0) == 0)
            arg = Package().string() + arg.substr(5);
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
