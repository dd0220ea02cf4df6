// winsim diff: what changed from one machine to another, and the summary
// line an administrator reads (adapters restarted, disks claimed and
// released, whether a reboot is needed).
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "diff.h"
#include "support/harness.h"
#include "support/package_runs.h"
#include "winsim/description.h"

namespace {

using winsim::Machine;

const char kKey[] = "SOFTWARE\\Vendor";
const char kAdapter[] = "  changed PCI\\A: ";
const char kDisk[] = "  changed SCSI\\D1: ";
const char kNone[] = "summary: 0 adapters restarted, 0 disks claimed, 0 disks released, reboot needed: no\n";
const char kRebootOnly[] = "summary: 0 adapters restarted, 0 disks claimed, 0 disks released, reboot needed: yes\n";

// A server with one SCSI adapter "PCI\A" and one disk "SCSI\D1" of the
// generic disk driver ("GenDisk" last among its hardware IDs).
Machine Server()
{
    Machine m = harness::Gen6();
    m.devices.push_back(harness::ScsiAdapter("PCI\\A", {"PCI\\VEN_1"}, "Adapter"));
    m.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
    m.devices.back().instanceId = u"SCSI\\D1";
    return m;
}

winsim::Device &DiskOf(Machine &m)
{
    return m.devices[1];
}

void Claim(winsim::Device &disk)
{
    std::vector<winsim::Text> ids = *disk.hardwareIds;
    ids.back() = u"MPIODisk";
    disk.hardwareIds = ids;
}

struct Row {
    const char *name;
    std::function<void(Machine &before, Machine &after)> edit;
    std::string expected;
};

TEST(WinsimDiff, ChangesAndSummary)
{
    const Row rows[] = {
        {"no change", [](Machine &, Machine &) {}, kNone},
        {"devices added and removed; an instance ID in another case is the same device",
         [](Machine &, Machine &a) {
             a.devices[0].instanceId = u"pci\\a";
             a.devices.erase(a.devices.begin() + 1);
             a.devices.push_back(harness::SystemDevice("ROOT\\DSM\\0000", {"Root\\DSM"}, "DSM"));
             a.devices.back().status |= DN_NEED_RESTART;
         },
         "devices\n"
         "  removed SCSI\\D1: diskdrive \"QUORVEX LUMENSTRIDE SCSI Disk Device\", service disk, status 0x0000000A "
         "(DN_DRIVER_LOADED|DN_STARTED)\n"
         "  added   ROOT\\DSM\\0000: system \"DSM\", status 0x0000010A (DN_DRIVER_LOADED|DN_STARTED|DN_NEED_RESTART)\n" +
             std::string(kRebootOnly)},
        {"a disk claimed", [](Machine &, Machine &a) { Claim(DiskOf(a)); },
         "devices\n" + std::string(kDisk) + "hardware_ids +\"MPIODisk\" -\"GenDisk\"\n" +
             "summary: 0 adapters restarted, 1 disk claimed, 0 disks released, reboot needed: no\n"},
        {"a disk released", [](Machine &b, Machine &) { Claim(DiskOf(b)); },
         "devices\n" + std::string(kDisk) + "hardware_ids +\"GenDisk\" -\"MPIODisk\"\n" +
             "summary: 0 adapters restarted, 0 disks claimed, 1 disk released, reboot needed: no\n"},
        {"an adapter restarted; a disk's restart is no adapter's",
         [](Machine &, Machine &a) {
             a.devices[0].restarts = 1;
             DiskOf(a).restarts = 2;
         },
         "devices\n" + std::string(kAdapter) + "restarts 0 -> 1\n" + kDisk + "restarts 0 -> 2\n" +
             "summary: 1 adapter restarted, 0 disks claimed, 0 disks released, reboot needed: no\n"},
        {"an adapter started", [](Machine &b, Machine &) { b.devices[0].status = DN_DRIVER_LOADED; },
         "devices\n" + std::string(kAdapter) + "status 0x00000002 -> 0x0000000A (+DN_STARTED)\n" +
             "summary: 1 adapter restarted, 0 disks claimed, 0 disks released, reboot needed: no\n"},
        {"a disk newly marked for removal, compatible IDs where there were none",
         [](Machine &, Machine &a) {
             DiskOf(a).status |= DN_WILL_BE_REMOVED;
             DiskOf(a).compatibleIds = std::vector<winsim::Text>{u"SCSI\\Disk", u"GenDisk"};
         },
         "devices\n" + std::string(kDisk) + "compatible_ids absent -> \"SCSI\\Disk\" \"GenDisk\"\n" + kDisk +
             "status 0x0000000A -> 0x0004000A (+DN_WILL_BE_REMOVED)\n" + kRebootOnly},
        {"what was so before stays so: a claimed disk, what waits for a reboot",
         [](Machine &b, Machine &a) {
             for (Machine *m : {&b, &a}) {
                 Claim(DiskOf(*m));
                 DiskOf(*m).status |= DN_NEED_RESTART;
                 harness::AddService(*m, "qvxdsm", 0, true);
                 m->features["MultipathIo"] = "EnablePending";
             }
         },
         kNone},
        {"hardware IDs in another order: the order ranks drivers",
         [](Machine &b, Machine &a) {
             b.devices[0].hardwareIds = std::vector<winsim::Text>{u"PCI\\VEN_1", u"PCI\\CC_0107"};
             a.devices[0].hardwareIds = std::vector<winsim::Text>{u"PCI\\CC_0107", u"PCI\\VEN_1"};
         },
         "devices\n" + std::string(kAdapter) +
             "hardware_ids \"PCI\\VEN_1\" \"PCI\\CC_0107\" -> \"PCI\\CC_0107\" \"PCI\\VEN_1\"\n" + kNone},
        {"a multi-string's entries added and removed; a DWORD; a value's type; a key denied",
         [](Machine &b, Machine &a) {
             harness::SetMultiSz(b, kKey, "List", {"A", "B", "B"});
             harness::SetMultiSz(a, kKey, "List", {"B", "C", "B"});
             harness::SetDword(b, kKey, "Count", 1);
             harness::SetDword(a, kKey, "Count", 2);
             harness::SetDword(b, kKey, "Mode", 1);
             harness::SetString(a, kKey, "Mode", "one");
             harness::SetRaw(a, kKey, "Raw", REG_MULTI_SZ, {0x41, 0});
             winsim::FindKey(a, u"SOFTWARE\\Vendor\\Locked", true)->denyAccess = true;
         },
         "registry\n"
         "  changed SOFTWARE\\Vendor, Count: REG_DWORD 1 -> 2\n"
         "  changed SOFTWARE\\Vendor, List: REG_MULTI_SZ +\"C\" -\"A\"\n"
         "  changed SOFTWARE\\Vendor, Mode: type REG_DWORD 1 -> REG_SZ \"one\"\n"
         "  added   SOFTWARE\\Vendor, Raw: REG_MULTI_SZ hex 41 00\n"
         "  added   SOFTWARE\\Vendor\\Locked: key, deny_access\n" +
             std::string(kNone)},
        {"a service marked for deletion, shown as the service only",
         [](Machine &b, Machine &a) {
             harness::AddService(b, "qvxdsm", 0);
             harness::AddService(a, "qvxdsm", 3, true);
             harness::AddService(a, "mpio", 0);
         },
         "services\n"
         "  changed qvxdsm: start 0 -> 3\n"
         "  changed qvxdsm: marked_for_delete false -> true\n"
         "  added   mpio: type 1, start 0, error_control 1\n" +
             std::string(kRebootOnly)},
        {"a feature pending and the reboot pending",
         [](Machine &, Machine &a) {
             a.features["MultipathIo"] = "EnablePending";
             a.rebootPending = true;
         },
         "features\n  changed MultipathIo: Disabled -> EnablePending\n"
         "reboot_pending\n  changed reboot_pending: false -> true\n" +
             std::string(kRebootOnly)},
        {"a reboot asked for, a message box shown",
         [](Machine &b, Machine &a) {
             b.reboots.push_back({EWX_REBOOT, 1});
             a.reboots = {{EWX_REBOOT, 1}, {EWX_REBOOT | EWX_FORCE, 0x80020003}};
             a.messageBoxes.push_back({u"Reboot required!", u"REINSTALL", MB_OKCANCEL, IDOK});
         },
         "reboots\n  added   #2: flags 0x00000006, reason 0x80020003\n"
         "message_boxes\n  added   #1: caption \"REINSTALL\", text \"Reboot required!\", type 1, answer 1\n" +
             std::string(kRebootOnly)},
        {"files copied and deleted, an INF published",
         [](Machine &b, Machine &a) {
             b.files.push_back({u"12\\old.sys", u"pkg\\old.sys", false});
             a.files = {{u"12\\OLD.sys", u"pkg\\old.sys", true}, {u"12\\new.sys", u"pkg\\new.sys", false}};
             a.driverStore.push_back({u"oem0.inf", u"pkg\\new.inf", "[Version]\n"});
         },
         "files\n  changed 12\\OLD.sys: deleted false -> true\n  added   12\\new.sys: from pkg\\new.sys\n"
         "driver_store\n  added   oem0.inf: from pkg\\new.inf\n" +
             std::string(kNone)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Machine before = Server();
        Machine after = before;
        row.edit(before, after);
        const winsim::diff::MachineDiff diff = winsim::diff::Compare(before, after);
        EXPECT_EQ(winsim::diff::FormatText(diff), row.expected);
        // Only the summary line: no difference.
        EXPECT_EQ(diff.Empty(), row.expected.rfind("summary:", 0) == 0);
    }
}

// The JSON: every section as an array, in the text's order, then the summary
// as numbers and a flag; texts escaped so that a JSON reader reads them back.
TEST(WinsimDiff, JsonHoldsTheSameChanges)
{
    Machine before = Server(), after = before;
    Claim(DiskOf(after));
    harness::SetMultiSz(after, kKey, "Say \"hi\"\\", {"A"});
    const auto json = nlohmann::ordered_json::parse(winsim::diff::FormatJson(winsim::diff::Compare(before, after)));
    std::vector<std::string> members;
    for (const auto &[name, value] : json.items())
        members.push_back(name);
    EXPECT_EQ(members, (std::vector<std::string>{"devices", "registry", "services", "features", "files", "driver_store",
                                                 "reboots", "message_boxes", "reboot_pending", "summary"}));
    EXPECT_EQ(json["devices"], nlohmann::ordered_json::parse(R"([{"change": "changed", "instance_id": "SCSI\\D1",
        "field": "hardware_ids", "added": ["MPIODisk"], "removed": ["GenDisk"]}])"));
    EXPECT_EQ(json["registry"][2], nlohmann::ordered_json::parse(R"({"change": "added", "key": "SOFTWARE\\Vendor",
        "value": "Say \"hi\"\\", "after": "REG_MULTI_SZ \"A\""})"));
    EXPECT_EQ(json["reboots"], nlohmann::ordered_json::array());
    EXPECT_EQ(json["summary"], nlohmann::ordered_json::parse(R"({"adapters_restarted": 0, "disks_claimed": 1,
        "disks_released": 0, "reboot_needed": false})"));
}

// Exit status as diff(1)'s: 0 the same, 1 different, 2 trouble, with the
// file named.
TEST(WinsimDiff, ExitStatus)
{
    harness::Scratch scratch;
    Machine claimed = Server();
    Claim(DiskOf(claimed));
    winsim::SaveMachineFile(Server(), scratch.Path("a.json"));
    winsim::SaveMachineFile(claimed, scratch.Path("b.json"));
    scratch.WriteFile("bad.json", "{\"os\": 1}");
    const std::string a = scratch.Path("a.json"), b = scratch.Path("b.json");
    const std::string bad = scratch.Path("bad.json"), missing = scratch.Path("missing.json");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string outStart, errPart;
    } rows[] = {
        {{"diff", a, a}, 0, kNone, ""},
        {{"diff", a, b}, 1, "devices\n", ""},
        {{"diff", "--json", a, b}, 1, "{\n  \"devices\": [\n", ""},
        {{"diff", a, missing}, 2, "", "winsim: " + missing + ": cannot read the file"},
        {{"diff", bad, a}, 2, "", "winsim: " + bad + ": os: "},
        {{"diff", a}, 2, "", "usage: winsim diff BEFORE AFTER [--json]"},
        {{"diff", a, b, "--text"}, 2, "", "unknown option --text"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        hosttools::Process winsim;
        winsim.program = (std::filesystem::path(INSTALL_BINARY).parent_path() / "winsim").string();
        winsim.args = row.args;
        const hosttools::ProcessResult run = hosttools::Run(winsim);
        EXPECT_EQ(run.exitCode, row.status);
        EXPECT_EQ(run.output.rfind(row.outStart, 0), 0u) << run.output;
        EXPECT_NE(run.errors.find(row.errPart), std::string::npos) << run.errors;
    }
}

// A preview of "-i" with the example package on a twin: the summary is what
// the installer does.  It restarts every SCSI adapter the server had (not
// the MPIO bus device it adds), claims on Windows Server 2003 the disks the
// package's supported-device entry covers (from Vista on the system's own
// multipath feature takes them, which the machine does not model), and a
// reboot is needed exactly when it exits 1.
TEST(WinsimDiff, PreviewOfAnInstallSummarisesWhatTheInstallerDoes)
{
    const struct {
        const char *name;
        Machine server;
        size_t coveredDisks;   // checked against the machine below
    } servers[] = {
        {"the default machine", winsim::DefaultMachine(), 0},
        {"gen5-server.json", winsim::LoadMachineFile(std::string(SOURCE_DIR) + "/examples/machines/gen5-server.json"), 2},
    };
    for (const auto &server : servers) {
        SCOPED_TRACE(server.name);
        harness::Scratch scratch;
        Machine twin = server.server;
        const harness::Run run = harness::RunInProcess(twin, package_runs::Args("-i"));
        ASSERT_TRUE(run.exitCode == 0 || run.exitCode == 1) << run.log;
        size_t adapters = 0, covered = 0;
        for (const winsim::Device &device : server.server.devices) {
            adapters += device.classGuid == GUID_DEVCLASS_SCSIADAPTER;
            covered += server.server.os.major == 5 && device.classGuid == GUID_DEVCLASS_DISKDRIVE &&
                       winsim::SupportedDeviceListCovers({u"QUORVEX LUMENSTRIDE     "}, *device.hardwareIds);
        }
        EXPECT_EQ(covered, server.coveredDisks);
        const winsim::diff::Summary summary = winsim::diff::Compare(server.server, twin).summary;
        EXPECT_EQ(summary.adaptersRestarted, adapters);
        EXPECT_EQ(summary.disksClaimed, covered);
        EXPECT_EQ(summary.disksReleased, 0u);
        EXPECT_EQ(summary.rebootNeeded, run.exitCode == 1);
    }
}

}  // namespace
