// The host binary's entry (machine file handling, reboot completion) and the
// harness's two ways of running the program, which must agree.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/harness.h"
#include "support/package_runs.h"
#include "winsim/machine.h"

namespace {

const std::string kBanner = "Starting Multi-Path install/uninstall package\r\n";

TEST(HostBinary, MalformedMachineChangesNothingAndNamesTheFault)
{
    harness::Scratch scratch;
    const std::string bad = R"({"devices": [{"instance_id": "A\\1", "class": "foo"}]})";
    scratch.WriteFile("m.json", bad);
    harness::Run run = harness::RunBinary(scratch.Path("m.json"), {"-c"}, scratch.Dir());
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.errors, "winsim: " + scratch.Path("m.json") + ": devices[0].class: unknown class \"foo\"\n");
    EXPECT_EQ(scratch.ReadFile("m.json"), bad);
    EXPECT_FALSE(scratch.Exists("MPIOInstall.LOG"));  // the program never ran
    EXPECT_EQ(run.console, "");
}

TEST(HostBinary, AbsentMachineIsCreatedFromTheDefault)
{
    harness::Scratch scratch;
    harness::Run run = harness::RunBinary("winsim-machine.json", {}, scratch.Dir());
    EXPECT_EQ(run.exitCode, -1);  // usage
    EXPECT_EQ(run.console.rfind(kBanner, 0), 0u);
    ASSERT_TRUE(scratch.Exists("winsim-machine.json"));
    winsim::Machine saved = winsim::LoadMachineFile(scratch.Path("winsim-machine.json"));
    winsim::Machine expected = winsim::DefaultMachine();
    EXPECT_EQ(saved.devices.size(), expected.devices.size());
    EXPECT_EQ(saved.features, expected.features);
}

TEST(HostBinary, ForcedRebootAfterReinstallIsCompletedBeforeSaving)
{
    harness::Scratch scratch;
    winsim::Machine after = harness::Gen6();
    after.dism.exitStatus = 3010;  // the feature arrives only with the reboot
    after.messageBoxAnswers = {IDOK};
    harness::Run run = harness::RunBinaryOn(after, package_runs::BinaryArgs("-r"), scratch);
    EXPECT_EQ(run.exitCode, -1) << run.errors;  // "-r" always ends so
    ASSERT_EQ(after.messageBoxes.size(), 1u);
    EXPECT_EQ(after.messageBoxes[0].answer, IDOK);
    ASSERT_EQ(after.reboots.size(), 1u);
    EXPECT_EQ(after.reboots[0].flags, static_cast<uint32_t>(EWX_REBOOT | EWX_FORCE));
    // The reboot happened: the pending feature settled and its device came.
    EXPECT_EQ(after.features.at("MultipathIo"), "Enabled");
    EXPECT_FALSE(after.rebootPending);
    EXPECT_NE(harness::FindByHardwareId(after, "ROOT\\MPIO"), nullptr);
}

// WINSIM_TRACE names a file for the run's platform calls, one a line, and
// the count of LocalAlloc blocks still live at the end.
TEST(HostBinary, TraceFileHoldsEveryCallAndTheLiveBlocks)
{
    harness::Scratch scratch;
    winsim::Machine machine = harness::Gen6();
    machine.messageBoxAnswers = {IDOK};
    setenv("WINSIM_TRACE", scratch.Path("trace.txt").c_str(), 1);
    harness::Run run = harness::RunBinaryOn(machine, {"-r", scratch.Path("absent"), "x.inf", "X"}, scratch);
    unsetenv("WINSIM_TRACE");
    EXPECT_EQ(run.exitCode, -1);
    const std::string trace = scratch.ReadFile("trace.txt");
    EXPECT_EQ(trace.rfind("GetLocalTime()\nWriteFile(size=47)\nGetVersionExW(size=276)\n", 0), 0u) << trace;
    // A line break inside an argument stays on the call's line.
    EXPECT_NE(trace.find("\nMessageBoxW(caption=REINSTALL type=0x0 text=Driver reinstall Failed \\n Manual "
                         "uninstall required)\n"),
              std::string::npos)
        << trace;
    EXPECT_EQ(trace.substr(trace.rfind('\n', trace.size() - 2) + 1), "live LocalAlloc blocks: 0\n");
}

// The winsim command, built beside the host binary.
hosttools::ProcessResult Winsim(const std::vector<std::string> &args)
{
    hosttools::Process winsim;
    winsim.program = (std::filesystem::path(INSTALL_BINARY).parent_path() / "winsim").string();
    winsim.args = args;
    return hosttools::Run(winsim);
}

TEST(WinsimCommand, RebootCompletesWhatWaitsForIt)
{
    harness::Scratch scratch;
    winsim::Machine m = harness::Gen6();
    m.features["MultipathIo"] = "EnablePending";
    m.rebootPending = true;
    m.devices.push_back(harness::Disk("TESSELLA", "ORBIT-2         "));
    m.devices.back().status |= DN_WILL_BE_REMOVED;
    winsim::SaveMachineFile(m, scratch.Path("m.json"));
    ASSERT_EQ(Winsim({"reboot", scratch.Path("m.json")}).exitCode, 0);
    winsim::Machine after = winsim::LoadMachineFile(scratch.Path("m.json"));
    EXPECT_EQ(after.features.at("MultipathIo"), "Enabled");
    EXPECT_FALSE(after.rebootPending);
    EXPECT_EQ(harness::FindByHardwareId(after, "GenDisk"), nullptr);
    EXPECT_NE(harness::FindByHardwareId(after, "ROOT\\MPIO"), nullptr);
}

TEST(WinsimCommand, RefusesMalformedMachinesAndWritesTheDefault)
{
    harness::Scratch scratch;
    scratch.WriteFile("bad.json", "{\"os\": 1}");
    EXPECT_EQ(Winsim({"show", scratch.Path("bad.json")}).exitCode, 2);
    EXPECT_EQ(Winsim({"reboot", scratch.Path("bad.json")}).exitCode, 2);
    EXPECT_EQ(scratch.ReadFile("bad.json"), "{\"os\": 1}");
    EXPECT_EQ(Winsim({"frobnicate"}).exitCode, 1);
    ASSERT_EQ(Winsim({"default", scratch.Path("new.json")}).exitCode, 0);
    EXPECT_EQ(scratch.ReadFile("new.json"), winsim::SerializeMachine(winsim::DefaultMachine()) + "\n");
    EXPECT_EQ(Winsim({"show", scratch.Path("new.json")}).exitCode, 0);
}

// "captured" writes the part of a machine a capture records; of that part a
// capture records all.
TEST(WinsimCommand, CapturedWritesTheCapturedView)
{
    harness::Scratch scratch;
    scratch.WriteFile("bad.json", "{\"os\": 1}");
    EXPECT_EQ(Winsim({"captured", scratch.Path("bad.json"), scratch.Path("out.json")}).exitCode, 2);
    EXPECT_FALSE(scratch.Exists("out.json"));
    winsim::Machine server = package_runs::Server(harness::Gen6());
    harness::AddService(server, "qvxdsm", 3, true);
    winsim::SaveMachineFile(server, scratch.Path("server.json"));
    ASSERT_EQ(Winsim({"captured", scratch.Path("server.json"), scratch.Path("view.json")}).exitCode, 0);
    const winsim::Machine view = winsim::LoadMachineFile(scratch.Path("view.json"));
    EXPECT_EQ(winsim::SerializeMachine(view), winsim::SerializeMachine(winsim::CapturedView(server)));
    EXPECT_EQ(winsim::SerializeMachine(winsim::CapturedView(view)), winsim::SerializeMachine(view));
}

// "show" lists a multi-string's entries and the numbers of DWORD and QWORD
// values, the services from the registry, and what a device's bus reports,
// its compatible IDs and its driver's version.
TEST(WinsimCommand, ShowListsValuesServicesAndDeviceIds)
{
    harness::Scratch scratch;
    winsim::Machine m = harness::Gen5(2);
    harness::SetMultiSz(m, "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "MPIOSupportedDeviceList",
                        {"QUORVEX LUMENSTRIDE     ", "TESSELLAORBIT-2         "});
    harness::AddService(m, "qvxdsm", 0, true);
    harness::SetRaw(m, "SYSTEM\\CurrentControlSet\\Services\\qvxdsm", "Big", REG_QWORD, {0, 0, 0, 0, 1, 0, 0, 0});
    m.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
    m.devices.back().busHardwareIds = std::vector<winsim::Text>{u"GenDisk"};
    m.devices.back().compatibleIds = std::vector<winsim::Text>{u"SCSI\\Disk", u"SCSI\\RAW"};
    m.devices.back().driverVersion = u"2.4.1.0";
    winsim::SaveMachineFile(m, scratch.Path("m.json"));
    const hosttools::ProcessResult show = Winsim({"show", scratch.Path("m.json")});
    EXPECT_EQ(show.exitCode, 0);
    for (const char *part : {"    MPIOSupportedDeviceList  type 7, 102 bytes:\n"
                             "      \"QUORVEX LUMENSTRIDE     \"\n"
                             "      \"TESSELLAORBIT-2         \"\n",
                             "    Start  type 4, 4 bytes: 0 (0x00000000)\n",
                             "    Big  type 11, 8 bytes: 4294967296 (0x0000000100000000)\n",
                             "Services (1)\n  qvxdsm  type 1, start 0, error control 1  [marked for delete]\n",
                             "      bus reports \"GenDisk\"\n", "      compatible IDs \"SCSI\\Disk\" \"SCSI\\RAW\"\n",
                             "  version 2.4.1.0  "})
        EXPECT_NE(show.output.find(part), std::string::npos) << part << "\n" << show.output;
}

TEST(Harness, InProcessRunMatchesTheBinaryByteForByte)
{
    harness::Scratch scratch;
    winsim::Machine m = harness::Gen6();
    winsim::SaveMachineFile(m, scratch.Path("m.json"));
    harness::Run binary = harness::RunBinary(scratch.Path("m.json"), {"-c"}, scratch.Dir());

    harness::Run inProcess = harness::RunInProcess(m, {u"-c"});
    EXPECT_EQ(inProcess.exitCode, binary.exitCode);
    EXPECT_EQ(inProcess.console, binary.console);
    EXPECT_EQ(harness::MaskTimes(inProcess.log), harness::MaskTimes(binary.log));
    EXPECT_EQ(inProcess.log.rfind("[12/08/2026 10:20:30.123]" + kBanner, 0), 0u);
    // Each run's log is its own part of the growing file.
    EXPECT_EQ(scratch.Log(), binary.log + inProcess.log);
    EXPECT_EQ(inProcess.localBlocksLeft, 0u);
    EXPECT_FALSE(inProcess.rebooted);
}

TEST(Harness, InProcessRunHandsTheChangedMachineBack)
{
    harness::Scratch scratch;
    winsim::Machine m = harness::Gen6();
    m.messageBoxAnswers = {IDOK, IDOK};
    // The install fails at once (missing source), so "-r" shows its failure box.
    harness::Run run = harness::RunInProcess(m, {u"-r", harness::U(scratch.Path("absent")), u"qvxdsm.inf",
                                                  u"Root\\QVXDSM"});
    EXPECT_EQ(run.exitCode, -1);
    ASSERT_EQ(m.messageBoxes.size(), 1u);
    EXPECT_EQ(m.messageBoxes[0].type, static_cast<uint32_t>(MB_OK));
    EXPECT_EQ(m.messageBoxAnswers, std::vector<int>{IDOK});
    EXPECT_TRUE(m.reboots.empty());
    EXPECT_FALSE(run.rebooted);
}

TEST(Harness, MaskTimesAndCrlf)
{
    EXPECT_EQ(harness::MaskTimes("[12/08/2026 10:20:30.123]a[01/02/33 00:00:00.000]b\r\n"), "[T]a[T]b\r\n");
    EXPECT_EQ(harness::MaskTimes("[12/08/2026 10:20:30]"), "[12/08/2026 10:20:30]");
    EXPECT_EQ(harness::Crlf("a\nb\n"), "a\r\nb\r\n");
}

}  // namespace
