// capture.exe's program on the host build: its exit codes, what it notes as
// not read, and the masked serials.  That a capture equals its machine's
// captured view is checked on every machine of the suite
// (support/capture_round_trip.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <nlohmann/json.hpp>

#include "support/harness.h"
#include "winsim/description.h"

namespace {

using harness::U;
using nlohmann::json;

TEST(CaptureProgram, ExitCodesLeaveAnExistingFileWhole)
{
    harness::Scratch scratch;
    scratch.WriteFile("kept/twin.json", "old");
    scratch.WriteFile("readonly/twin.json", "old");
    chmod(scratch.Path("readonly").c_str(), 0555);
    const bool folderRefuses = access(scratch.Path("readonly").c_str(), W_OK) != 0;   // not so for root
    winsim::Machine machine = harness::Gen6(), notAdministrator = machine, refusesTheMove = machine;
    notAdministrator.administrator = false;
    refusesTheMove.faults.push_back(harness::FaultOn("MoveFileExW", ERROR_ACCESS_DENIED));
    const struct {
        const winsim::Machine &machine;
        std::u16string file;
        int exitCode;
        const char *message;   // the start of its first line
    } rows[] = {
        {machine, u"", 1, "capture: usage: capture.exe FILE"},
        {notAdministrator, U(scratch.Path("kept/twin.json")), 2, "capture: not run as an administrator"},
        {machine, U(scratch.Path("absent/twin.json")), 3, "capture: cannot write"},
        {refusesTheMove, U(scratch.Path("kept/twin.json")), 3, "capture: cannot write"},
        {machine, U(scratch.Path("readonly/twin.json")), folderRefuses ? 3 : 0, folderRefuses ? "capture: cannot write"
                                                                                             : "capture: wrote"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(winsim::Narrow(row.file));
        harness::CaptureRun run = harness::CaptureInProcess(
            row.machine, row.file.empty() ? std::vector<std::u16string>{} : std::vector<std::u16string>{row.file});
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.errors.rfind(row.message, 0), 0u) << run.errors;
        EXPECT_EQ(run.handlesLeft + run.localBlocksLeft, 0u);
    }
    EXPECT_EQ(scratch.ReadFile("kept/twin.json"), "old");
    EXPECT_FALSE(scratch.Exists("kept/twin.json.tmp") || scratch.Exists("readonly/twin.json.tmp"));
    if (folderRefuses) {
        EXPECT_EQ(scratch.ReadFile("readonly/twin.json"), "old");
    }
    chmod(scratch.Path("readonly").c_str(), 0755);
}

// What it cannot read is named, with the platform's code, in the file and on
// standard error; the twin keeps a refused key refused.
TEST(CaptureProgram, NotesWhatItCouldNotRead)
{
    const std::string mpdev = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";
    const struct {
        const char *what;
        std::function<void(winsim::Machine &)> make;
        uint32_t error;
    } rows[] = {
        {"registry SYSTEM\\CurrentControlSet\\Control\\MPDEV",
         [&](winsim::Machine &m) { winsim::FindKey(m, winsim::Widen(mpdev), true)->denyAccess = true; }, 5},
        {"features: MultipathIo (Windows 6.0 has no DISM.exe to ask)", [](winsim::Machine &m) { m.os.minor = 0; }, 50},
    };
    harness::Scratch scratch;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        winsim::Machine machine = harness::Gen6();
        machine.os.major = 6;
        machine.os.minor = 1;
        row.make(machine);
        harness::CaptureRun run = harness::CaptureInProcess(machine, {U(scratch.Path("twin.json"))});
        ASSERT_EQ(run.exitCode, 0);
        const json file = json::parse(scratch.ReadFile("twin.json"));
        EXPECT_EQ(file["capture"]["unread"], json::array({{{"what", row.what}, {"error", row.error}}}));
        EXPECT_NE(run.errors.find("capture: not read: " + std::string(row.what) + " (error " +
                                  std::to_string(row.error) + ")\r\n"),
                  std::string::npos);
    }
}

// Disks only, the serial part only; equal parts alike, distinct ones apart.
TEST(CaptureProgram, MaskedSerialsKeepDisksApart)
{
    harness::Scratch scratch;
    winsim::Machine machine = harness::Gen6();
    machine.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     ", "0100", "SCSI", 7));
    machine.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     ", "0100", "SCSI", 9));
    machine.devices.push_back(harness::Disk("TESSELLA", "ORBIT-2         ", "0220", "SCSI", 7));
    machine.devices.push_back(harness::ScsiAdapter("PCI\\VEN_1D5A&DEV_0210\\4&2A6F1C3&0&0010", {"PCI\\X"}, "HBA"));
    ASSERT_EQ(harness::CaptureInProcess(machine, {U(scratch.Path("twin.json")), u"--mask-serials"}).exitCode, 0);
    const json file = json::parse(scratch.ReadFile("twin.json"));
    std::vector<std::string> ids;
    for (const json &device : file["devices"])
        ids.push_back(device["instance_id"]);
    EXPECT_EQ(ids, (std::vector<std::string>{"SCSI\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\MASKED&0001",
                                             "SCSI\\DISK&VEN_QUORVEX&PROD_LUMENSTRIDE&REV_0100\\MASKED&0002",
                                             "SCSI\\DISK&VEN_TESSELLA&PROD_ORBIT-2&REV_0220\\MASKED&0001",
                                             "PCI\\VEN_1D5A&DEV_0210\\4&2A6F1C3&0&0010"}));
}

// The host program loads the machine, captures it and saves it back as it
// was: the machine file is the same to the byte.
TEST(CaptureHostBinary, ChangesNothingAndWritesTheTwin)
{
    harness::Scratch scratch;
    winsim::SaveMachineFile(winsim::DefaultMachine(), scratch.Path("server.json"));
    const std::string before = scratch.ReadFile("server.json");
    hosttools::Process capture;
    capture.program = CAPTURE_BINARY;
    capture.args = {"twin.json"};
    capture.cwd = scratch.Dir();
    capture.environment = {{"WINSIM_MACHINE", scratch.Path("server.json")}};
    const hosttools::ProcessResult result = hosttools::Run(capture);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors, "capture: wrote twin.json: 8 devices, 5 services, 0 published INFs, 0 items not read\r\n");
    EXPECT_EQ(scratch.ReadFile("server.json"), before);
    winsim::Machine twin = winsim::LoadMachineFile(scratch.Path("twin.json"));
    twin.capture.reset();
    EXPECT_EQ(winsim::SerializeMachine(twin), winsim::SerializeMachine(winsim::CapturedView(winsim::DefaultMachine())));
}

}  // namespace
