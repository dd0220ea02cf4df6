// The entry: banner, version, switch dispatch, exit codes and the reinstall
// flow, with scripted sequences (sequence_doubles.h) in place of the real ones.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "sequence_doubles.h"
#include "support/machine_test.h"

namespace {

using Args = std::vector<std::u16string>;

const Args kPackage = {u"C:\\pkg", u"qvxdsm.inf", u"Root\\QVXDSM"};
const std::string kBanner = "[T]Starting Multi-Path install/uninstall package\n";
const std::string kParametersKey = "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters";
const std::u16string kFailedBox = u"Driver reinstall Failed \n Manual uninstall required";
const std::u16string kSuccessBox = u"Driver reinstall success \n Reboot required!";

Args WithSwitch(const std::u16string &switchText, const Args &rest = kPackage)
{
    Args args = {switchText};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

class EntryTest : public harness::MachineTest {
protected:
    void SetUp() override
    {
        doubles::Reset();
        machine_ = harness::Gen6();
    }

    harness::Run Run(const Args &args) { return harness::RunInProcess(machine_, args); }
    // The run's log holds exactly these records and the console their text.
    void ExpectLog(int line, const harness::Run &run, const std::string &records)
    {
        SCOPED_TRACE(testing::Message() << "from line " << line);
        EXPECT_EQ(harness::MaskTimes(run.log), harness::Crlf(records));
        EXPECT_EQ(run.console, harness::WithoutTimes(run.log));
    }
    void ExpectUsage(int line, const Args &args)
    {
        SCOPED_TRACE(testing::Message() << "from line " << line);
        doubles::Reset();
        harness::Run run = Run(args);
        EXPECT_EQ(run.exitCode, -1);
        ExpectLog(line, run, kBanner + harness::kUsageRecords);
        EXPECT_EQ(doubles::TotalCalls(), 0);
    }
};

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------
TEST_F(EntryTest, VersionFailureEndsTheRunAfterTheBanner)
{
    machine_.faults.push_back(harness::FaultOn("GetVersionExW", ERROR_INVALID_PARAMETER));
    for (const Args &args : {Args{u"-c"}, WithSwitch(u"-i"), Args{u"-x"}}) {
        harness::Run run = Run(args);
        EXPECT_EQ(run.exitCode, -1);
        ExpectLog(__LINE__, run, kBanner + "[T]Failed to get the OS version, exiting ...\n");
    }
    EXPECT_EQ(doubles::TotalCalls(), 0);
}

TEST_F(EntryTest, VersionRecordAndBusHardwareId)
{
    struct Case {
        uint32_t major;
        std::u16string busId;
    };
    for (const Case &c : {Case{5, u"Detected\\MPIO"}, Case{6, u"ROOT\\MPIO"}, Case{10, u"ROOT\\MPIO"}}) {
        SCOPED_TRACE(testing::Message() << "major " << c.major);
        machine_ = c.major == 5 ? harness::Gen5(2) : harness::Gen6();
        machine_.os.major = c.major;
        doubles::Reset();
        Run({u"-c"});
        EXPECT_TRUE(winsim::TraceHas("GetVersionExW", "size=276"));
        EXPECT_EQ(doubles::check.majorVersion, c.major);
        EXPECT_EQ(doubles::check.busHardwareId, c.busId);
    }
    EXPECT_EQ(OsVersion.dwOSVersionInfoSize, 276u);
}

TEST_F(EntryTest, WrongShapesPrintTheUsage)
{
    ExpectUsage(__LINE__, {});
    ExpectUsage(__LINE__, {u"-i"});
    ExpectUsage(__LINE__, {u"-u"});
    ExpectUsage(__LINE__, {u"-r"});
    ExpectUsage(__LINE__, {u"-x"});
    ExpectUsage(__LINE__, {u""});
    ExpectUsage(__LINE__, {u"-c", u"x"});
    ExpectUsage(__LINE__, {u"-i", u"C:\\pkg", u"qvxdsm.inf"});
    ExpectUsage(__LINE__, WithSwitch(u"-c"));
    ExpectUsage(__LINE__, {u"-i", u"C:\\pkg", u"qvxdsm.inf", u"Root\\QVXDSM", u"extra"});
    ExpectUsage(__LINE__, {u"-c", u"C:\\pkg", u"qvxdsm.inf", u"Root\\QVXDSM", u"extra"});
}

TEST_F(EntryTest, SwitchesMatchExactly)
{
    for (const char16_t *switchText : {u"-I", u"/i", u"-i ", u" -i", u"-U", u"/u", u"-R", u"--i", u"-i\t"})
        ExpectUsage(__LINE__, WithSwitch(switchText));
    ExpectUsage(__LINE__, {u"-C"});
    ExpectUsage(__LINE__, {u"/c"});
    ExpectUsage(__LINE__, {u"-c "});
}

// ---------------------------------------------------------------------------
// Check
// ---------------------------------------------------------------------------
TEST_F(EntryTest, CheckExitsWithTheCondition)
{
    for (INT condition : {0, 1}) {
        doubles::Reset();
        doubles::check.condition = condition;
        harness::Run run = Run({u"-c"});
        EXPECT_EQ(run.exitCode, condition);
        EXPECT_EQ(doubles::check.calls, 1);
        EXPECT_EQ(doubles::check.flagOnEntry, 0);
        ExpectLog(__LINE__, run, kBanner);
    }
}

TEST_F(EntryTest, CheckFailingExitsWithMinusOne)
{
    // Whatever the failed check left as its condition is not used.
    doubles::check.result = ERROR_ACCESS_DENIED;
    doubles::check.condition = 1;
    EXPECT_EQ(Run({u"-c"}).exitCode, -1);
    doubles::check.result = ERROR_SERVICE_MARKED_FOR_DELETE;
    doubles::check.condition = 0;
    EXPECT_EQ(Run({u"-c"}).exitCode, -1);
}

// ---------------------------------------------------------------------------
// Install and uninstall
// ---------------------------------------------------------------------------
// The install and uninstall switches run their sequence once, with a cleared
// flag, and log nothing of their own; neither offers a reboot.
TEST_F(EntryTest, InstallAndUninstallExitCodes)
{
    struct Case {
        const char16_t *switchText;
        doubles::Sequence *sequence;
        DWORD result;
        INT rebootFlag;
        int exitCode;
    };
    const Case cases[] = {
        {u"-i", &doubles::install, ERROR_SUCCESS, 0, 0},
        {u"-i", &doubles::install, ERROR_SUCCESS, 1, 1},
        {u"-i", &doubles::install, ERROR_SUCCESS, 7, 1},
        {u"-i", &doubles::install, ERROR_SERVICE_MARKED_FOR_DELETE, 0, -2},
        {u"-i", &doubles::install, ERROR_SERVICE_MARKED_FOR_DELETE, 1, -2},
        {u"-i", &doubles::install, ERROR_ACCESS_DENIED, 0, -1},
        {u"-i", &doubles::install, ERROR_ACCESS_DENIED, 1, -1},
        {u"-i", &doubles::install, ERROR_NO_SUCH_DEVINST, 0, -1},
        {u"-i", &doubles::install, ERROR_SUCCESS_REBOOT_REQUIRED, 0, -1},
        {u"-u", &doubles::uninstall, ERROR_SUCCESS, 0, 0},
        {u"-u", &doubles::uninstall, ERROR_SUCCESS, 1, 1},
        // The special value belongs to the install switch only.
        {u"-u", &doubles::uninstall, ERROR_SERVICE_MARKED_FOR_DELETE, 0, -1},
        {u"-u", &doubles::uninstall, ERROR_ACCESS_DENIED, 1, -1},
        {u"-u", &doubles::uninstall, 0xFFFFFFFF, 0, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << winsim::Narrow(c.switchText) << " result " << c.result << " flag "
                                        << c.rebootFlag);
        doubles::Reset();
        c.sequence->result = c.result;
        c.sequence->rebootFlag = c.rebootFlag;
        harness::Run run = Run(WithSwitch(c.switchText));
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_EQ(c.sequence->calls, 1);
        EXPECT_EQ(doubles::TotalCalls(), 1);
        EXPECT_EQ(c.sequence->flagOnEntry, 0);
        ExpectLog(__LINE__, run, kBanner);
        EXPECT_TRUE(machine_.messageBoxes.empty());
        EXPECT_TRUE(machine_.reboots.empty());
    }
}

TEST_F(EntryTest, PackageValuesAreHandedOnUnchanged)
{
    const Args odd = {u" C:\\My pkg\\%s ", u"QVXDSM.INF", u"root\\qvxdsm\u4e2d"};
    Run(WithSwitch(u"-i", odd));
    Run(WithSwitch(u"-u", odd));
    EXPECT_EQ(doubles::install.args, odd);
    EXPECT_EQ(doubles::uninstall.args, odd);
}

// ---------------------------------------------------------------------------
// Log file that cannot be written
// ---------------------------------------------------------------------------
TEST_F(EntryTest, UnwritableLogStillRunsTheSequence)
{
    // A directory takes the log's name, so every open fails, even for root.
    ASSERT_EQ(mkdir(scratch_.Path("MPIOInstall.LOG").c_str(), 0755), 0);
    doubles::install.rebootFlag = 1;
    harness::Run run = Run(WithSwitch(u"-i"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(doubles::install.calls, 1);
    EXPECT_EQ(run.console, "");
    // The usage text is lost too, the exit code is not.
    run = Run({u"-i"});
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(run.console, "");
}

TEST_F(EntryTest, ReadOnlyLogStillRunsTheSequence)
{
    scratch_.WriteFile("MPIOInstall.LOG", "");
    if (!scratch_.MakeReadOnly("MPIOInstall.LOG"))
        GTEST_SKIP() << "this user may write read-only files";
    doubles::uninstall.rebootFlag = 1;
    harness::Run run = Run(WithSwitch(u"-u"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(doubles::uninstall.calls, 1);
    EXPECT_EQ(run.console, "");
    EXPECT_EQ(scratch_.Log(), "");
}

// ---------------------------------------------------------------------------
// Reinstall
// ---------------------------------------------------------------------------
void ExpectBox(int line, const winsim::MessageBoxRecord &box, const std::u16string &text, uint32_t type,
               int answer)
{
    SCOPED_TRACE(testing::Message() << "from line " << line);
    EXPECT_EQ(winsim::Narrow(box.text), winsim::Narrow(text));
    EXPECT_EQ(winsim::Narrow(box.caption), "REINSTALL");
    EXPECT_EQ(box.type, type);
    EXPECT_EQ(box.answer, answer);
}

TEST_F(EntryTest, ReinstallFailingAsksForAManualUninstall)
{
    machine_.messageBoxAnswers = {IDOK};
    doubles::install.result = ERROR_SERVICE_MARKED_FOR_DELETE;
    harness::Run run = Run(WithSwitch(u"-r"));
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(doubles::install.calls, 1);
    EXPECT_EQ(doubles::install.args, kPackage);
    ASSERT_EQ(machine_.messageBoxes.size(), 1u);
    ExpectBox(__LINE__, machine_.messageBoxes[0], kFailedBox, MB_OK, IDOK);
    EXPECT_FALSE(winsim::TraceHas("RegCreateKeyExW"));
    EXPECT_EQ(harness::GetDword(machine_, kParametersKey, "PathVerifyEnabled"), std::nullopt);
    EXPECT_TRUE(machine_.reboots.empty());
    EXPECT_FALSE(run.rebooted);
    // The boxes are not logged.
    ExpectLog(__LINE__, run, kBanner);
}

TEST_F(EntryTest, ReinstallCancelledSetsTheParametersOnly)
{
    machine_.messageBoxAnswers = {IDCANCEL};
    harness::Run run = Run(WithSwitch(u"-r"));
    EXPECT_EQ(run.exitCode, -1);
    ASSERT_EQ(machine_.messageBoxes.size(), 1u);
    ExpectBox(__LINE__, machine_.messageBoxes[0], kSuccessBox, MB_OKCANCEL, IDCANCEL);
    EXPECT_EQ(harness::GetDword(machine_, kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(harness::GetDword(machine_, kParametersKey, "PDORemovePeriod"), 120u);
    EXPECT_TRUE(machine_.reboots.empty());
    EXPECT_FALSE(winsim::TraceHas("OpenProcessToken"));
    ExpectLog(__LINE__, run, kBanner);
}

TEST_F(EntryTest, ReinstallAcceptedRebootsWhateverTheFlag)
{
    machine_.messageBoxAnswers = {IDOK};
    doubles::install.rebootFlag = 0;
    harness::Run run = Run(WithSwitch(u"-r"));
    EXPECT_EQ(run.exitCode, -1);
    ASSERT_EQ(machine_.messageBoxes.size(), 1u);
    ExpectBox(__LINE__, machine_.messageBoxes[0], kSuccessBox, MB_OKCANCEL, IDOK);
    ASSERT_EQ(machine_.reboots.size(), 1u);
    EXPECT_EQ(machine_.reboots[0].flags, 6u);
    EXPECT_EQ(machine_.reboots[0].reason, 0x80020003u);
    EXPECT_TRUE(run.rebooted);

    // The parameters are written after the install, before the box.
    const auto &trace = winsim::Current().trace;
    size_t created = trace.size(), box = trace.size();
    for (size_t i = 0; i < trace.size(); i++) {
        if (trace[i].function == "RegCreateKeyExW" && created == trace.size())
            created = i;
        if (trace[i].function == "MessageBoxW" && box == trace.size())
            box = i;
    }
    EXPECT_GE(created, doubles::install.traceLength);
    EXPECT_LT(created, box);
    EXPECT_EQ(harness::GetDword(machine_, kParametersKey, "PDORemovePeriod"), 120u);
}

TEST_F(EntryTest, ReinstallRebootNotPossible)
{
    // The privilege refused: nothing happens and nothing is said.
    machine_.messageBoxAnswers = {IDOK};
    machine_.shutdownPrivilege = false;
    harness::Run run = Run(WithSwitch(u"-r"));
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_TRUE(machine_.reboots.empty());
    EXPECT_FALSE(run.rebooted);
    ExpectLog(__LINE__, run, kBanner);
}

TEST_F(EntryTest, ReinstallParametersRefusedStillOffersTheReboot)
{
    machine_.faults.push_back(harness::FaultOn("RegCreateKeyExW", ERROR_ACCESS_DENIED));
    machine_.messageBoxAnswers = {IDOK};
    harness::Run run = Run(WithSwitch(u"-r"));
    EXPECT_EQ(run.exitCode, -1);
    ASSERT_EQ(machine_.messageBoxes.size(), 1u);
    ExpectBox(__LINE__, machine_.messageBoxes[0], kSuccessBox, MB_OKCANCEL, IDOK);
    EXPECT_EQ(machine_.reboots.size(), 1u);
}

TEST_F(EntryTest, ReinstallBoxThatCannotShowIsNoConsent)
{
    // No answer scripted and no terminal: the box fails, which is not OK.
    harness::Run run = Run(WithSwitch(u"-r"));
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_TRUE(machine_.reboots.empty());
}

}  // namespace
