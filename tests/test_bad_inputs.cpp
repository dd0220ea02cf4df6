// Bad inputs to the host binary, one table: argument shapes, paths, INF
// files, registry values, devices, machine files and the log file.  Each
// row names its exit code, how the log ends and what the machine is
// afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/package_runs.h"

namespace {

using namespace package_runs;
namespace fs = std::filesystem;

// What a row starts from: a machine (saved as machine.json unless the row
// writes the file itself), the arguments, and a copy of the example
// package in the scratch directory ("pkg") that the row may change.  The
// default: "-i" of the example package on a generation 6 server whose
// multipath feature is on, so that the run installs the DSM alone.
struct Input {
    const harness::Scratch &scratch;
    winsim::Machine machine;
    std::vector<std::string> args;
    std::string machineFile = "machine.json";
    bool writeMachine = true;
    fs::perms mode = fs::perms::unknown;   // given to the machine file before the run, and kept by it

    explicit Input(const harness::Scratch &where) : scratch(where), machine(Server(harness::Gen6()))
    {
        machine.features["MultipathIo"] = "Enabled";
        machine.devices.push_back(harness::MpioBus());
        args = BinaryArgs("-i", Package());
    }
    std::string Package() const { return scratch.Path("pkg"); }
    std::string Inf() const { return harness::FileBytes(Package() + "/qvxdsm.inf"); }
    void WriteInf(const std::string &bytes) const { scratch.WriteFile("pkg/qvxdsm.inf", bytes); }
    // The package copied to another directory, which becomes the source.
    void MovePackage(const std::string &name)
    {
        fs::create_directories(fs::path(scratch.Path(name)).parent_path());
        fs::copy(Package(), scratch.Path(name));
        args[1] = scratch.Path(name);
    }
    void Generation5(uint32_t minor = 2) { machine = Server(harness::Gen5(minor)); }
    void MachineText(const std::string &text)
    {
        scratch.WriteFile(machineFile, text);
        writeMachine = false;
    }
};

// What the machine is afterwards.
enum class State {
    kUnchanged,        // the machine file holds the bytes it had before the run
    kDsmInstalled,     // a device of the DSM's hardware ID runs its driver
    kDsmNotInstalled,  // the run saved the machine, and no device runs the DSM's driver
    kDisksClaimed,     // the DSM vendor's two disks carry MPIODisk, the other vendor's does not
    kDisksUnclaimed,   // the DSM is installed, no disk carries MPIODisk
    kListClosed,       // the supported-device list is the other vendor's entry, closed
};

struct BadInput {
    const char *name;
    std::function<void(Input &)> prepare;
    int exitCode;
    std::string logTail;   // the masked log ends with it ("\n" as CR LF); "" for no log at all
    State state;
    std::string errors = "";   // a piece of standard error ("": nothing written there)
};

const char kUsageEnd[] = "[T]  dsm_hwid   \tHardware Id associated with the dsm\n[T]\n";
const char kDsmDone[] = "[T]Skipped\n[T]Success \n";

std::string CodeLine(const char *code)
{
    return std::string("[T] Error code (0x") + code + ")\n";
}

// The UTF-16LE bytes of a text, with a byte-order mark.
std::string Utf16File(const std::string &text)
{
    std::string bytes = "\xff\xfe";
    for (char c : text) {
        bytes += c;
        bytes += '\0';
    }
    return bytes;
}

// A supported-device list of 'count' entries, the DSM vendor's last.
std::vector<std::string> LongList(size_t count)
{
    std::vector<std::string> entries;
    for (size_t i = 1; i < count; i++)
        entries.push_back("VENDOR" + std::to_string(i % 100) + " PRODUCT" + std::to_string(i));
    entries.push_back(kQuorvexEntry);
    return entries;
}

winsim::Device DsmDevice()
{
    winsim::Device dsm = harness::SystemDevice("ROOT\\SYSTEM\\0001", {"Root\\QVXDSM"}, "Quorvex DSM");
    dsm.service = u"qvxdsm";
    return dsm;
}

// A device of the DSM's hardware ID that runs its driver.
bool HasDsm(const winsim::Machine &machine)
{
    for (const winsim::Device &device : machine.devices)
        if (!device.removed && device.service == u"qvxdsm" && FindByHardwareId(machine, "Root\\QVXDSM") != nullptr)
            return true;
    return false;
}

bool Claimed(const winsim::Device &disk)
{
    return HardwareIds(disk).back() == "MPIODisk";
}

std::string CheckState(State state, const std::string &before, const std::string &file)
{
    const std::string after = harness::FileBytes(file);
    if (state == State::kUnchanged)
        return after == before ? "" : "the machine file changed";
    winsim::Machine machine = winsim::LoadMachineFile(file);
    const bool dsm = HasDsm(machine);
    switch (state) {
    case State::kDsmInstalled:
        return dsm ? "" : "no DSM device";
    case State::kDsmNotInstalled:
        return !dsm && after != before ? "" : "a DSM device, or the machine was not saved";
    case State::kDisksClaimed:
        return Claimed(machine.devices[kQuorvexDisk0]) && Claimed(machine.devices[kQuorvexDisk1]) &&
                       !Claimed(machine.devices[kTessellaDisk])
                   ? ""
                   : "the disks are not claimed as listed";
    case State::kDisksUnclaimed:
        for (const winsim::Device &device : machine.devices)
            if (device.hardwareIds && Claimed(device))
                return "a disk was claimed";
        return dsm ? "" : "no DSM device";
    case State::kListClosed: {
        const winsim::RegValue *list = harness::GetRaw(machine, kMpdevKey, kSupportedDevices);
        if (list == nullptr || list->type != REG_MULTI_SZ ||
            list->data != Utf16(std::string(kTessellaEntry) + '\0' + '\0'))
            return "the list is not the other vendor's entry, closed";
        return "";
    }
    default:
        return "";
    }
}

TEST(BadInputs, EachEndsAsItsRowSays)
{
    const BadInput rows[] = {
        // --- arguments --------------------------------------------------
        {"EmptySwitch", [](Input &in) { in.args = {""}; }, -1, kUsageEnd, State::kUnchanged},
        {"SwitchWithTrailingText", [](Input &in) { in.args = {"-cx"}; }, -1, kUsageEnd, State::kUnchanged},
        {"LongSwitch", [](Input &in) { in.args = {std::string(600, 'i')}; }, -1, kUsageEnd, State::kUnchanged},
        {"ThreeEmptyValues", [](Input &in) { in.args = {"-i", "", "", ""}; }, -1, CodeLine("00000003"),
         State::kUnchanged},
        {"EmptyHardwareId", [](Input &in) { in.args[3] = ""; }, -1, CodeLine("00000057"), State::kUnchanged},
        // Cut to fit the root device's ID list, so the second install finds no device either.
        {"LongHardwareId", [](Input &in) { in.args[3] = "Root\\" + std::string(1200, 'Q'); }, -1,
         CodeLine("e000020b"), State::kDsmNotInstalled},
        {"PercentSignsInTheValues", [](Input &in) { in.MovePackage("pkg %s %n %d"); }, 0, kDsmDone,
         State::kDsmInstalled},
        // --- paths ------------------------------------------------------
        {"SourcePathWithSpaces", [](Input &in) { in.MovePackage("my package/v 1.0"); }, 0, kDsmDone,
         State::kDsmInstalled},
        {"NonAsciiSourcePath", [](Input &in) { in.MovePackage("paquete-\xc3\xb1-\xd0\xbf\xd0\xb0\xd0\xba"); }, 0,
         kDsmDone, State::kDsmInstalled},
        {"SourcePathOver260Units",
         [](Input &in) { in.MovePackage(std::string(120, 'a') + "/" + std::string(120, 'b') + "/pkg"); }, -1,
         CodeLine("00000002"), State::kUnchanged},
        {"SourcePathIsAFile", [](Input &in) { in.args[1] = in.Package() + "/qvxdsm.inf"; }, -1, CodeLine("00000002"),
         State::kUnchanged},
        {"MissingDsmInf", [](Input &in) { in.args[2] = "absent.inf"; }, -1, CodeLine("00000002"), State::kUnchanged},
        // --- INF files --------------------------------------------------
        {"EmptyDsmInf", [](Input &in) { in.WriteInf(""); }, -1, CodeLine("e0000100"), State::kUnchanged},
        {"BinaryDsmInf",
         [](Input &in) {
             std::string bytes;
             for (int i = 0; i < 512; i++)
                 bytes += static_cast<char>(i * 37);
             in.WriteInf(bytes);
         },
         -1, CodeLine("e0000000"), State::kUnchanged},
        {"Utf16DsmInf", [](Input &in) { in.WriteInf(Utf16File(in.Inf())); }, 0, kDsmDone, State::kDsmInstalled},
        {"DsmInfWithoutSignature",
         [](Input &in) {
             std::string inf = in.Inf();
             inf.erase(inf.find("Signature"), inf.find('\n', inf.find("Signature")) - inf.find("Signature"));
             in.WriteInf(inf);
         },
         -1, CodeLine("e0000100"), State::kUnchanged},
        // The root device made for the second try stays, without a driver.
        {"DsmInfWithOnlyItsVersion",
         [](Input &in) { in.WriteInf("[Version]\r\nSignature=\"$WINDOWS NT$\"\r\nClass=System\r\n"); }, -1,
         CodeLine("e0000228"), State::kDsmNotInstalled},
        {"UninstallWithoutDefaultUninstall",
         [](Input &in) {
             std::string inf = in.Inf();
             inf.replace(inf.find("[DefaultUninstall]"), 18, "[NotTheUninstall]");
             in.WriteInf(inf);
             in.machine.devices.push_back(DsmDevice());
             in.args[0] = "-u";
         },
         -1, CodeLine("e0000101"), State::kDsmNotInstalled},
        // --- registry values (generation 5.2) ---------------------------
        {"ListOfAnotherType",
         [](Input &in) {
             in.Generation5();
             harness::SetDword(in.machine, kMpdevKey, kSupportedDevices, 0x00510051);
         },
         0, "[T]Success \n", State::kDisksClaimed},
        {"ListWithAnOddByteCount",
         [](Input &in) {
             in.Generation5();
             std::vector<uint8_t> bytes = Utf16(std::string(kQuorvexEntry) + '\0');
             bytes.push_back('Q');
             SetRawList(in.machine, bytes);
         },
         0, "[T]Success \n", State::kDisksClaimed},
        {"UnterminatedList",
         [](Input &in) {
             in.Generation5();
             SetRawList(in.machine, Utf16(kQuorvexEntry));
         },
         0, "[T]Success \n", State::kDisksClaimed},
        {"TenThousandListEntries",
         [](Input &in) {
             in.Generation5();
             harness::SetMultiSz(in.machine, kMpdevKey, kSupportedDevices, LongList(10000));
         },
         0, "[T]Success \n", State::kDisksClaimed},
        // Another vendor's entry alone, as text: stored back as a closed list.
        {"ListStoredAsTextOnUninstall50",
         [](Input &in) {
             in.Generation5(0);
             in.machine.devices.push_back(DsmDevice());
             harness::SetString(in.machine, kMpdevKey, kSupportedDevices, kTessellaEntry);
             in.args[0] = "-u";
         },
         0, "[T]Success \n", State::kListClosed},
        // --- devices (generation 5.2) -----------------------------------
        {"DiskWithAThousandHardwareIds",
         [](Input &in) {
             in.Generation5();
             std::vector<winsim::Text> ids;
             for (int i = 0; i < 1000; i++)
                 ids.push_back(u"SCSI\\DiskQUORVEX_LUMENSTRIDE_____" + winsim::Widen(std::to_string(i)));
             in.machine.devices[kQuorvexDisk1].hardwareIds = ids;
         },
         -1, CodeLine("0000007a"), State::kDsmInstalled},
        {"DevicesLackingProperties",
         [](Input &in) {
             in.Generation5();
             for (winsim::Device &device : in.machine.devices) {
                 device.hardwareIds.reset();
                 device.description.reset();
             }
             in.args = {"-c"};
         },
         -1, "[T]CheckInstallMPIO failed with error 13\n", State::kUnchanged},
        {"DiskLackingHardwareIds",
         [](Input &in) {
             in.Generation5();
             in.machine.devices[kTessellaDisk].hardwareIds.reset();
         },
         -1, CodeLine("0000000d"), State::kDsmInstalled},
        // --- the machine file -------------------------------------------
        {"TruncatedMachine",
         [](Input &in) {
             const std::string text = winsim::SerializeMachine(in.machine);
             in.MachineText(text.substr(0, text.size() / 2));
         },
         2, "", State::kUnchanged, "machine.json: "},
        {"MachineThatIsNoObject", [](Input &in) { in.MachineText("[1, 2]"); }, 2, "", State::kUnchanged,
         "machine.json: "},
        {"UnknownMember", [](Input &in) { in.MachineText("{\"colour\": \"blue\"}"); }, 2, "", State::kUnchanged,
         "colour"},
        {"EmptyMachineFile", [](Input &in) { in.MachineText(""); }, 2, "", State::kUnchanged, "machine.json: "},
        {"NumberOutOfRange", [](Input &in) { in.MachineText("{\"os\": {\"major\": 6e333}}"); }, 2, "",
         State::kUnchanged, "machine.json: not valid JSON: number out of range: 6e333\n"},
        {"MachinePathIsADirectory",
         [](Input &in) {
             fs::create_directory(in.scratch.Path(in.machineFile));
             in.writeMachine = false;
         },
         2, "", State::kUnchanged, "machine.json: a directory, not a machine file\n"},
        // The program runs; its changes are not saved over the file.
        {"ReadOnlyMachineFile", [](Input &in) { in.mode = fs::perms::owner_read | fs::perms::group_read; }, 3,
         kDsmDone, State::kUnchanged, "machine.json: the machine was not saved: the file is read-only\n"},
        {"MachineFileOfMode0600", [](Input &in) { in.mode = fs::perms::owner_read | fs::perms::owner_write; }, 0,
         kDsmDone, State::kDsmInstalled},
        // The built-in machine is used, and cannot be saved there.
        {"MachineInAMissingDirectory",
         [](Input &in) {
             in.machineFile = "absent/machine.json";
             in.writeMachine = false;
             in.args = {"-c"};
         },
         3, "[T]CheckInstallMPIO: install condition 1\n", State::kUnchanged, "the machine was not saved"},
        // --- the log ----------------------------------------------------
        {"LogNameTakenByADirectory",
         [](Input &in) {
             fs::create_directory(in.scratch.Path("MPIOInstall.LOG"));
             in.args = {"-c"};
         },
         1, "", State::kUnchanged},
    };
    for (const BadInput &row : rows) {
        SCOPED_TRACE(row.name);
        harness::Scratch scratch;
        fs::copy(PackageDir(), scratch.Path("pkg"));
        Input input(scratch);
        row.prepare(input);
        const std::string file = scratch.Path(input.machineFile);
        if (input.writeMachine)
            winsim::SaveMachineFile(input.machine, file);
        if (input.mode != fs::perms::unknown)
            fs::permissions(file, input.mode);
        const std::string before = harness::FileBytes(file);

        harness::Run run = harness::RunBinary(file, input.args, scratch.Dir());
        const std::string log = harness::MaskTimes(fs::is_regular_file(scratch.Path("MPIOInstall.LOG")) ? run.log : "");
        const std::string tail = harness::Crlf(row.logTail);
        EXPECT_EQ(run.exitCode, row.exitCode) << run.errors;
        if (tail.empty())
            EXPECT_EQ(log, "");
        else
            EXPECT_EQ(log.substr(log.size() >= tail.size() ? log.size() - tail.size() : 0), tail)
                << log.substr(log.size() > 400 ? log.size() - 400 : 0);
        EXPECT_EQ(run.console, harness::WithoutTimes(run.log));
        if (row.errors.empty())
            EXPECT_EQ(run.errors, "");
        else
            EXPECT_NE(run.errors.find(row.errors), std::string::npos) << run.errors;
        EXPECT_EQ(run.errors.find("json.exception"), std::string::npos) << run.errors;
        EXPECT_EQ(CheckState(row.state, before, file), "");
        if (input.mode != fs::perms::unknown) {
            EXPECT_EQ(fs::status(file).permissions(), input.mode);
        }
    }
}

}  // namespace
