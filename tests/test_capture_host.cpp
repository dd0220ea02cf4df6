// capture.exe's program on the host build: its exit codes and messages, what
// it notes as not read, the feature by generation and the masked serials.
// That a capture equals its machine's captured view is checked on every
// machine of the suite (support/capture_round_trip.cpp).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "support/harness.h"
#include "winsim/description.h"

namespace {

using harness::U;
using nlohmann::json;

const char *const kMpdev = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";

struct Captured {
    harness::CaptureRun run;
    json file;
};

Captured CaptureOf(const winsim::Machine &machine, const harness::Scratch &scratch,
                   std::vector<std::u16string> extra = {})
{
    extra.insert(extra.begin(), U(scratch.Path("twin.json")));
    Captured captured{harness::CaptureInProcess(machine, extra), json()};
    EXPECT_EQ(captured.run.exitCode, 0) << captured.run.errors;
    captured.file = json::parse(scratch.ReadFile("twin.json"));
    return captured;
}

TEST(CaptureProgram, ExitCodesLeaveAnExistingFileWhole)
{
    harness::Scratch scratch;
    scratch.WriteFile("kept/twin.json", "old");
    scratch.WriteFile("readonly/twin.json", "old");
    chmod(scratch.Path("readonly").c_str(), 0555);
    winsim::Machine machine = harness::Gen6();
    winsim::Machine notAdministrator = machine;
    notAdministrator.administrator = false;
    winsim::Machine refusesTheMove = machine;
    refusesTheMove.faults.push_back(harness::FaultOn("MoveFileExW", ERROR_ACCESS_DENIED));
    const struct {
        const char *what;
        const winsim::Machine &machine;
        std::vector<std::u16string> args;
        int exitCode;
        const char *message;   // the start of its first line
        const char *folder;    // where FILE was, kept whole
    } rows[] = {
        {"no file", machine, {}, 1, "capture: usage: capture.exe FILE", nullptr},
        {"an unknown option", machine, {U(scratch.Path("x.json")), u"--mask"}, 1, "capture: usage:", nullptr},
        {"not elevated", notAdministrator, {U(scratch.Path("kept/twin.json"))}, 2,
         "capture: not run as an administrator", "kept"},
        {"a missing folder", machine, {U(scratch.Path("absent/twin.json"))}, 3, "capture: cannot write", nullptr},
        {"the move refused", refusesTheMove, {U(scratch.Path("kept/twin.json"))}, 3,
         "capture: cannot write", "kept"},
        {"a read-only folder", machine, {U(scratch.Path("readonly/twin.json"))}, 3, "capture: cannot write",
         "readonly"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        if (std::string(row.what) == "a read-only folder" && access(scratch.Path("readonly").c_str(), W_OK) == 0)
            continue;   // this user writes there all the same (root)
        harness::CaptureRun run = harness::CaptureInProcess(row.machine, row.args);
        EXPECT_EQ(run.exitCode, row.exitCode);
        EXPECT_EQ(run.errors.rfind(row.message, 0), 0u) << run.errors;
        EXPECT_EQ(run.handlesLeft + run.localBlocksLeft, 0u);
        if (row.folder) {
            EXPECT_EQ(scratch.ReadFile(std::string(row.folder) + "/twin.json"), "old");
            EXPECT_FALSE(scratch.Exists(std::string(row.folder) + "/twin.json.tmp"));
        }
    }
    chmod(scratch.Path("readonly").c_str(), 0755);
}

// What it cannot read is named with the platform's code, and the twin keeps
// the refusal; a device without a driver has no driver members; a service
// marked for deletion says so.
TEST(CaptureProgram, NotesWhatItCouldNotRead)
{
    harness::Scratch scratch;
    winsim::Machine machine = harness::Gen6();
    harness::SetMultiSz(machine, kMpdev, "MPIOSupportedDeviceList", {"QUORVEX LUMENSTRIDE     "});
    winsim::FindKey(machine, winsim::Widen(kMpdev))->denyAccess = true;
    machine.devices.push_back(harness::SystemDevice("ROOT\\SYSTEM\\0000", {"Root\\QVXDSM"}, "DSM"));
    harness::AddService(machine, "qvxdsm", 3, true);
    Captured captured = CaptureOf(machine, scratch);

    EXPECT_EQ(captured.file["registry"][kMpdev], json({{"deny_access", true}}));
    EXPECT_EQ(captured.file["capture"]["unread"],
              json::parse(R"([{"what": "registry SYSTEM\\CurrentControlSet\\Control\\MPDEV", "error": 5}])"));
    EXPECT_NE(captured.run.errors.find("capture: not read: registry SYSTEM\\CurrentControlSet\\Control\\MPDEV "
                                       "(error 5)\r\n"),
              std::string::npos);
    const json &device = captured.file["devices"][0];
    EXPECT_FALSE(device.contains("driver_inf") || device.contains("driver_version") || device.contains("service"));
    EXPECT_EQ(captured.file["services"]["qvxdsm"],
              json({{"type", 1}, {"start", 3}, {"error_control", 1}, {"marked_for_delete", true}}));
}

TEST(CaptureProgram, FeatureFromWindows61On)
{
    const struct {
        uint32_t major, minor;
        const char *state;      // what the file says; nullptr: no member
        bool notedUnread;
    } rows[] = {
        {5, 2, nullptr, false},
        {6, 0, nullptr, true},   // no DISM.exe to ask
        {6, 1, "Enabled", false},
        {10, 0, "DisablePending", false},
    };
    harness::Scratch scratch;
    for (const auto &row : rows) {
        SCOPED_TRACE(std::to_string(row.major) + "." + std::to_string(row.minor));
        winsim::Machine machine = harness::Gen6();
        machine.os.major = row.major;
        machine.os.minor = row.minor;
        machine.features["MultipathIo"] = row.state ? row.state : "Enabled";
        Captured captured = CaptureOf(machine, scratch);
        EXPECT_EQ(captured.file.contains("features"), row.state != nullptr);
        if (row.state) {
            EXPECT_EQ(captured.file["features"]["MultipathIo"], row.state);
        }
        EXPECT_EQ(captured.file["capture"]["unread"].size(), row.notedUnread ? 1u : 0u);
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
    Captured captured = CaptureOf(machine, scratch, {u"--mask-serials"});
    std::vector<std::string> ids;
    for (const json &device : captured.file["devices"])
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
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_EQ(result.errors.rfind("capture: wrote twin.json: 8 devices, 5 services, 0 published INFs, 0 items not read",
                                  0),
              0u)
        << result.errors;
    EXPECT_EQ(scratch.ReadFile("server.json"), before);
    winsim::Machine twin = winsim::LoadMachineFile(scratch.Path("twin.json"));
    twin.capture.reset();
    EXPECT_EQ(winsim::SerializeMachine(twin), winsim::SerializeMachine(winsim::CapturedView(winsim::DefaultMachine())));
}

}  // namespace
