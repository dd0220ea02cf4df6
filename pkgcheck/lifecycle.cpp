#include "lifecycle.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

#include "process.h"
#include "winsim/machine.h"

namespace pkgcheck {

using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;

namespace {

struct KnownGeneration {
    uint32_t major, minor, build;
};
const KnownGeneration kGenerations[] = {{5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002},
                                        {6, 1, 7601}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 17763}};

const char *const kDiskClass = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
const Text kClaimedDiskId = u"MPIODisk";

std::string Quote(const Text &text) { return "\"" + Narrow(text) + "\""; }

std::string Join(const std::vector<std::string> &parts)
{
    std::string joined;
    for (const std::string &part : parts)
        joined += (joined.empty() ? "" : ", ") + part;
    return joined;
}

bool Contains(const std::vector<Text> &list, const Text &text)
{
    return std::any_of(list.begin(), list.end(), [&](const Text &entry) { return EqualNoCase(entry, text); });
}

bool HasLine(const std::vector<std::string> &log, const std::string &text)
{
    return std::find(log.begin(), log.end(), text) != log.end();
}

// --- the machine -------------------------------------------------------------

// A disk as the SCSI port reports it, for a model of 8 vendor and 16 product
// characters ("QUORVEX LUMENSTRIDE     ").
winsim::Device Disk(std::string model, unsigned unit)
{
    model.resize(24, ' ');
    const std::string rev = "0100";
    auto underscored = [](std::string text) {
        std::replace(text.begin(), text.end(), ' ', '_');
        return text;
    };
    auto trimmed = [](std::string text) {
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    };
    const std::string vendor = model.substr(0, 8), product = model.substr(8, 16);
    const std::string both = underscored(vendor) + underscored(product);
    winsim::Device disk;
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "5&2B3C4D5E&0&%02u0000", unit % 100);
    disk.instanceId = Widen("SCSI\\DISK&VEN_" + trimmed(vendor) + "&PROD_" + trimmed(product) + "&REV_" + rev + "\\" +
                            suffix);
    disk.classGuid = *winsim::GuidFromString(kDiskClass);
    disk.hardwareIds = std::vector<Text>{Widen("SCSI\\Disk" + both + rev), Widen("SCSI\\Disk" + both),
                                         Widen("SCSI\\Disk" + underscored(vendor)),
                                         Widen("SCSI\\" + both + rev.substr(0, 1)), Widen(both + rev.substr(0, 1)),
                                         u"GenDisk"};
    disk.description = Widen(trimmed(vendor) + " " + trimmed(product) + " SCSI Disk Device");
    disk.enumerator = u"SCSI";
    disk.configFlags = 0;
    disk.driverInf = u"disk.inf";
    disk.service = u"disk";
    return disk;
}

// A model of another vendor that no supported-device string covers (the
// claim compares each string, blanks as underscores, as a prefix).
std::string OtherVendorModel(const std::vector<Text> &strings)
{
    for (const char *model : {"KESTRELXVAULT-7         ", "ORRERY  NEBULA-9        "}) {
        std::string id = model;
        std::replace(id.begin(), id.end(), ' ', '_');
        bool covered = false;
        for (const Text &string : strings) {
            std::string prefix = Narrow(string.substr(0, 24));
            std::replace(prefix.begin(), prefix.end(), ' ', '_');
            covered = covered || EqualNoCase(Widen(id.substr(0, prefix.size())), Widen(prefix));
        }
        if (!covered)
            return model;
    }
    return "ZZZZZZZZZZZZZZZZZZZZZZZZ";
}

// The built-in default server at another generation, with one disk per
// supported-device string of the DSM and one disk of another vendor.
winsim::Machine BuildMachine(const Generation &generation, const std::vector<Text> &strings,
                             std::vector<Text> &dsmDisks, Text &otherDisk)
{
    winsim::Machine machine = winsim::DefaultMachine();
    machine.os = winsim::OsInfo{generation.major, generation.minor, generation.build, Text(), std::string()};
    machine.interactive = false;
    if (generation.major < 6)
        machine.features.clear();
    const GUID diskClass = *winsim::GuidFromString(kDiskClass);
    machine.devices.erase(std::remove_if(machine.devices.begin(), machine.devices.end(),
                                         [&](const winsim::Device &d) { return d.classGuid == diskClass; }),
                          machine.devices.end());
    unsigned unit = 0;
    for (const Text &string : strings) {
        machine.devices.push_back(Disk(Narrow(string), unit++));
        dsmDisks.push_back(machine.devices.back().instanceId);
    }
    machine.devices.push_back(Disk(OtherVendorModel(strings), unit));
    otherDisk = machine.devices.back().instanceId;
    return machine;
}

std::vector<const winsim::Device *> DevicesWithId(const winsim::Machine &machine, const Text &hardwareId)
{
    std::vector<const winsim::Device *> found;
    for (const winsim::Device &device : machine.devices)
        if (!device.removed && device.hardwareIds && Contains(*device.hardwareIds, hardwareId))
            found.push_back(&device);
    return found;
}

const winsim::Device *DeviceById(const winsim::Machine &machine, const Text &instanceId)
{
    for (const winsim::Device &device : machine.devices)
        if (!device.removed && EqualNoCase(device.instanceId, instanceId))
            return &device;
    return nullptr;
}

std::vector<Text> SupportedDevices(winsim::Machine &machine)
{
    std::vector<Text> strings;
    winsim::RegKey *key = winsim::FindKey(machine, SupportedDeviceList().keyPath);
    if (key == nullptr)
        return strings;
    auto found = key->values.find(winsim::Fold(SupportedDeviceList().valueName));
    if (found == key->values.end())
        return strings;
    const std::vector<uint8_t> &bytes = found->second.second.data;
    Text current;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit != 0) {
            current.push_back(unit);
        } else if (!current.empty()) {
            strings.push_back(current);
            current.clear();
        }
    }
    return strings;
}

// --- one machine and the installer runs on it --------------------------------

struct Step {
    int exitCode = 0;
    std::vector<std::string> log;       // the lines this run appended, without time stamps
    std::vector<std::string> console;
    std::string errors;
};

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos)
            lines.push_back(line.substr(start));
    }
    return lines;
}

// "[12/08/2026 10:20:30.123]" starts every record of the log.
std::string WithoutTimeStamps(const std::string &log)
{
    std::string out;
    for (size_t i = 0; i < log.size(); i++) {
        if (log[i] == '[' && i + 25 <= log.size() && log[i + 3] == '/' && log[i + 6] == '/' && log[i + 24] == ']') {
            i += 24;
            continue;
        }
        out.push_back(log[i]);
    }
    return out;
}

class MachineRun {
public:
    MachineRun(const std::filesystem::path &dir, const std::string &installer, const Package &package)
        : dir_(dir), machineFile_((dir / "machine.json").string()), installer_(installer),
          packageArgs_{std::filesystem::absolute(package.dir).string(), package.Dsm().fileName, package.dsmHwid}
    {
        std::filesystem::create_directories(dir_);
    }

    Step Run(const std::string &mode)
    {
        std::vector<std::string> args{mode};
        if (mode != "-c")
            args.insert(args.end(), packageArgs_.begin(), packageArgs_.end());
        const std::string logPath = (dir_ / "MPIOInstall.LOG").string();
        const std::string before = ReadFile(logPath);
        ProcessResult result = RunProcess(installer_, args, dir_, {{"WINSIM_MACHINE", machineFile_}});
        std::string after = ReadFile(logPath);
        Step step;
        step.exitCode = result.exitCode;
        step.log = Lines(WithoutTimeStamps(after.substr(std::min(before.size(), after.size()))));
        step.console = Lines(result.output);
        step.errors = result.errors;
        return step;
    }

    winsim::Machine Load() const { return winsim::LoadMachineFile(machineFile_); }
    void Save(const winsim::Machine &machine) const { winsim::SaveMachineFile(machine, machineFile_); }
    void Reboot() const
    {
        winsim::Machine machine = Load();
        winsim::Reboot(machine);
        Save(machine);
    }

private:
    static std::string ReadFile(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }

    std::filesystem::path dir_;
    std::string machineFile_;
    std::string installer_;
    std::vector<std::string> packageArgs_;
};

// --- judging the steps -------------------------------------------------------

bool IsProgressLine(const std::string &line)
{
    for (const char *start : {"Installing", "Uninstalling", "Restarting", "Rebuilding", "Check "})
        if (line.rfind(start, 0) == 0)
            return true;
    return false;
}

bool IsWalkLine(const std::string &line)
{
    for (const char *start : {"!!TRY ENTRY", "HWID:", "Skipped", "Device Desc:", "Driver Status:"})
        if (line.rfind(start, 0) == 0)
            return true;
    return false;
}

bool IsFailureLine(const std::string &line)
{
    return line.find("Failure") != std::string::npos || line.find("Unable to validate") != std::string::npos ||
           line.find("failed with error") != std::string::npos;
}

// The lines that explain a failed run: from the progress line of the step
// that failed to its last failure and error code.
std::vector<std::string> Explain(const Step &step)
{
    const std::vector<std::string> &lines =
        std::any_of(step.log.begin(), step.log.end(), IsFailureLine) ? step.log : step.console;
    auto failure = std::find_if(lines.rbegin(), lines.rend(), IsFailureLine);
    auto end = lines.end(), start = lines.size() > 4 ? lines.end() - 4 : lines.begin();
    if (failure != lines.rend()) {
        end = std::min(lines.end(), failure.base() + 2);
        start = failure.base() - 1;
        while (start != lines.begin() && !IsProgressLine(*start))
            --start;
    }
    std::vector<std::string> explained;
    for (auto it = start; it != end; ++it)
        if (!IsWalkLine(*it))
            explained.push_back(*it);
    if (explained.size() > 10)
        explained.erase(explained.begin() + 1, explained.end() - 9);
    for (const std::string &line : Lines(step.errors))
        explained.push_back(line);
    return explained;
}

// What the setup library's codes that a package can cause mean.
struct KnownError {
    uint32_t code;
    const char *name;
    const char *meaning;
};
const KnownError kKnownErrors[] = {
    {0x00000002, "ERROR_FILE_NOT_FOUND", "a file the INF names is not in the package"},
    {0x00000103, "ERROR_NO_MORE_ITEMS", "the same driver is already installed and the update is not forced"},
    {0x00000430, "ERROR_SERVICE_MARKED_FOR_DELETE", "a service is marked for deletion until the next reboot"},
    {0xE0000003, "ERROR_GENERAL_SYNTAX", "the INF does not parse"},
    {0xE0000100, "ERROR_WRONG_INF_STYLE", "the INF's Signature is not \"$Windows NT$\""},
    {0xE0000101, "ERROR_SECTION_NOT_FOUND", "a section the INF names does not exist"},
    {0xE0000200, "ERROR_NO_ASSOCIATED_CLASS", "the INF has no Class or ClassGuid"},
    {0xE0000206, "ERROR_INVALID_CLASS", "the INF's ClassGuid is not a GUID"},
    {0xE0000217, "ERROR_BAD_SERVICE_INSTALLSECT", "a service-install section lacks an entry"},
    {0xE0000219, "ERROR_NO_ASSOCIATED_SERVICE", "the driver's .Services section has no AddService with flag 0x2"},
    {0xE0000228, "ERROR_NO_COMPAT_DRIVERS", "no models section for this platform lists the hardware ID"},
};

// The last error code the run logged, named when a package can cause it.
std::string LastError(const Step &step)
{
    for (const std::vector<std::string> *lines : {&step.log, &step.console}) {
        for (auto it = lines->rbegin(); it != lines->rend(); ++it) {
            const size_t at = it->find("Error code (0x");
            unsigned code = 0;
            if (at == std::string::npos || std::sscanf(it->c_str() + at, "Error code (0x%x)", &code) != 1)
                continue;
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", code);
            for (const KnownError &known : kKnownErrors)
                if (known.code == code)
                    return std::string(text) + " " + known.name + ": " + known.meaning;
            return text;
        }
    }
    return std::string();
}

Cell StepCell(const Step &step, Verdict verdict, const std::string &reason, bool explain)
{
    Cell cell;
    cell.verdict = verdict;
    cell.reason = reason;
    cell.exitCode = step.exitCode;
    cell.shown = std::to_string(step.exitCode);
    if (explain)
        cell.log = Explain(step);
    return cell;
}

// Exit 0 (done) or 1 (done, reboot needed) is what a correct package gives.
Cell JudgeSuccess(const Step &step)
{
    if (step.exitCode == 0 || step.exitCode == 1)
        return StepCell(step, Verdict::Pass, std::string(), false);
    std::string why = "exit " + std::to_string(step.exitCode);
    if (step.exitCode == -2)
        why += ": a service of the package is still marked for deletion";
    else if (step.exitCode == 2 || step.exitCode == 3)
        why += ": the simulated machine could not be read or saved";
    else if (std::string error = LastError(step); !error.empty())
        why += ", " + error;
    return StepCell(step, Verdict::Fail, why, true);
}

Cell JudgeSecondInstall(const Generation &generation, const Step &step)
{
    if (generation.major >= 6)
        return JudgeSuccess(step);
    // The bus driver's update is not forced before 6.0: the setup library
    // refuses to put the same driver on the device again (259).
    const bool refusedAtBus = step.exitCode == -1 && !HasLine(step.log, "Installing the Device Specific Module...") &&
                              std::any_of(step.log.begin(), step.log.end(), [](const std::string &line) {
                                  return line.find("(0x00000103)") != std::string::npos;
                              });
    if (refusedAtBus)
        return StepCell(step, Verdict::Pass,
                        "-1 is what a correct package gives before 6.0: the bus driver's update is not forced and "
                        "the same driver is refused (259); uninstall first",
                        false);
    return StepCell(step, Verdict::Fail,
                    "exit " + std::to_string(step.exitCode) +
                        "; a correct package gives -1 here, refused at the bus driver with 259",
                    true);
}

Cell JudgeCheck(const Generation &generation, const Step &step, bool installed, const std::string &dsmDescription,
                const std::optional<Text> &dsmDeviceDescription)
{
    if (generation.major >= 6) {
        if (step.exitCode == 1)
            return StepCell(step, Verdict::Pass, "condition 1 without looking at any device, as from 6.0 on", false);
        return StepCell(step, Verdict::Fail, "exit " + std::to_string(step.exitCode) + ", expected 1", true);
    }
    if (step.exitCode != 1) {
        Cell cell = StepCell(step, Verdict::Fail, "condition " + std::to_string(step.exitCode) + ", expected 1", false);
        for (const std::string &line : step.log)
            if (line.find("Bad") != std::string::npos || line.find("Checked") != std::string::npos ||
                line.find("failed") != std::string::npos || line.rfind("Driver Status", 0) == 0)
                cell.log.push_back(line);
        return cell;
    }
    if (!installed)
        return StepCell(step, Verdict::Pass, std::string(), false);
    if (!HasLine(step.log, "MPIO Checked"))
        return StepCell(step, Verdict::Fail,
                        "the check did not find the MPIO bus device: it looks for \"Multi-Path Support\"", false);
    if (!HasLine(step.log, "DSM Checked")) {
        std::string why = "the check did not find the DSM: it looks for \"" + dsmDescription + "\"";
        if (dsmDeviceDescription)
            why += ", the DSM device is described " + Quote(*dsmDeviceDescription);
        return StepCell(step, Verdict::Fail, why, false);
    }
    return StepCell(step, Verdict::Pass, std::string(), false);
}

// --- one generation ----------------------------------------------------------

struct Outcome {
    std::map<std::string, Cell> cells;   // by row id
};

struct Expectations {
    Text dsmHwid;
    std::vector<Text> strings;        // the DSM's supported-device strings
    std::vector<Text> diskServices;   // what the MPIO disk driver installs
    std::vector<Text> services;       // every service the package installs on this generation
};

Cell JudgeDsmDevice(const winsim::Machine &machine, const Expectations &expect)
{
    auto devices = DevicesWithId(machine, expect.dsmHwid);
    if (devices.empty())
        return Fail("no device carries " + Narrow(expect.dsmHwid));
    for (const winsim::Device *device : devices)
        if (device->driverInf.empty() || device->service.empty())
            return Fail(Narrow(device->instanceId) + " has no driver");
    return Pass();
}

Cell JudgeStringsPresent(winsim::Machine &machine, const Expectations &expect)
{
    if (expect.strings.empty())
        return NotApplicable("the DSM adds no supported-device string");
    const std::vector<Text> list = SupportedDevices(machine);
    std::vector<std::string> missing;
    for (const Text &string : expect.strings)
        if (!Contains(list, string))
            missing.push_back(Quote(string));
    if (!missing.empty())
        return Fail("MPIOSupportedDeviceList lacks " + Join(missing));
    return Pass();
}

Cell JudgeClaims(const Generation &generation, const winsim::Machine &machine, const Expectations &expect,
                 const std::vector<Text> &dsmDisks, const Text &otherDisk)
{
    if (generation.major >= 6)
        return NotApplicable("from 6.0 on the system's multipath feature claims the disks");
    std::vector<std::string> faults;
    for (const Text &id : dsmDisks) {
        const winsim::Device *disk = DeviceById(machine, id);
        if (disk == nullptr || !disk->hardwareIds || !Contains(*disk->hardwareIds, kClaimedDiskId))
            faults.push_back("not claimed: " + Narrow(id));
        else if (!Contains(expect.diskServices, disk->service))
            faults.push_back("claimed without the MPIO disk driver: " + Narrow(id));
    }
    const winsim::Device *other = DeviceById(machine, otherDisk);
    if (other && other->hardwareIds && Contains(*other->hardwareIds, kClaimedDiskId))
        faults.push_back("another vendor's disk claimed: " + Narrow(otherDisk));
    if (dsmDisks.empty())
        return NotApplicable("the DSM adds no supported-device string");
    if (!faults.empty())
        return Fail(Join(faults));
    return Pass();
}

Cell JudgeRelease(const winsim::Machine &machine, const std::map<Text, uint32_t> &restartsBefore,
                  const std::vector<Text> &dsmDisks)
{
    if (dsmDisks.empty())
        return NotApplicable("the DSM adds no supported-device string");
    std::vector<std::string> kept;
    for (const Text &id : dsmDisks) {
        const winsim::Device *disk = DeviceById(machine, id);
        if (disk == nullptr)
            continue;
        auto before = restartsBefore.find(id);
        const bool restarted = before != restartsBefore.end() && disk->restarts > before->second;
        const bool marked = disk->configFlags && (*disk->configFlags & 0x20 /* CONFIGFLAG_REINSTALL */);
        if (!restarted || !marked)
            kept.push_back(Narrow(id));
    }
    if (!kept.empty())
        return Fail("not given back to the disk driver (no reinstall mark and restart): " + Join(kept));
    return Pass();
}

Cell JudgeLeftDevices(const Generation &generation, const winsim::Machine &machine, const Expectations &expect)
{
    std::vector<std::string> left;
    for (const Text &id : {expect.dsmHwid, Text(generation.major >= 6 ? u"ROOT\\MPIO" : u"Detected\\MPIO")})
        for (const winsim::Device *device : DevicesWithId(machine, id))
            left.push_back(Narrow(device->instanceId) + " (" + Narrow(id) + ")");
    if (!left.empty())
        return Fail("still there after the reboot: " + Join(left));
    return Pass();
}

Cell JudgeStringsGone(winsim::Machine &machine, const Expectations &expect)
{
    const std::vector<Text> list = SupportedDevices(machine);
    std::vector<std::string> left;
    for (const Text &string : expect.strings)
        if (Contains(list, string))
            left.push_back(Quote(string));
    if (!left.empty())
        return Fail("MPIOSupportedDeviceList still holds " + Join(left));
    return Pass();
}

Cell JudgeServicesGone(const winsim::Machine &machine, const Expectations &expect)
{
    std::vector<std::string> left;
    for (const auto &[folded, service] : machine.services)
        if (Contains(expect.services, service.name))
            left.push_back(Narrow(service.name));
    if (!left.empty())
        return Fail("still installed after the reboot: " + Join(left));
    return Pass();
}

Outcome RunGeneration(const Package &package, const std::string &installer, const std::string &dsmDescription,
                      const Generation &generation, const std::filesystem::path &dir)
{
    Expectations expect;
    expect.dsmHwid = Widen(package.dsmHwid);
    expect.strings = SupportedDeviceStrings(package.Dsm());
    for (const InfDocument &document : package.infs) {
        if (!document.file || (generation.major >= 6 && document.role != Role::Dsm))
            continue;
        for (const Text &service : InstalledServices(*document.file)) {
            expect.services.push_back(service);
            if (document.role == Role::Disk)
                expect.diskServices.push_back(service);
        }
    }

    std::vector<Text> dsmDisks;
    Text otherDisk;
    MachineRun run(dir, installer, package);
    run.Save(BuildMachine(generation, expect.strings, dsmDisks, otherDisk));

    Outcome out;
    Step install = run.Run("-i");
    out.cells["install"] = JudgeSuccess(install);
    winsim::Machine machine = run.Load();
    out.cells["installed-dsm"] = JudgeDsmDevice(machine, expect);
    out.cells["installed-strings"] = JudgeStringsPresent(machine, expect);
    out.cells["installed-disks"] = JudgeClaims(generation, machine, expect, dsmDisks, otherDisk);
    std::optional<Text> dsmDeviceDescription;
    for (const winsim::Device *device : DevicesWithId(machine, expect.dsmHwid))
        if (device->description)
            dsmDeviceDescription = *device->description;

    run.Reboot();
    out.cells["check-installed"] =
        JudgeCheck(generation, run.Run("-c"), true, dsmDescription, dsmDeviceDescription);
    out.cells["install-again"] = JudgeSecondInstall(generation, run.Run("-i"));

    std::map<Text, uint32_t> restartsBefore;
    machine = run.Load();
    for (const Text &id : dsmDisks)
        if (const winsim::Device *disk = DeviceById(machine, id))
            restartsBefore[id] = disk->restarts;
    out.cells["uninstall"] = JudgeSuccess(run.Run("-u"));
    machine = run.Load();
    out.cells["released-disks"] = JudgeRelease(machine, restartsBefore, dsmDisks);

    run.Reboot();
    out.cells["check-removed"] = JudgeCheck(generation, run.Run("-c"), false, dsmDescription, std::nullopt);
    machine = run.Load();
    out.cells["left-devices"] = JudgeLeftDevices(generation, machine, expect);
    out.cells["left-strings"] = JudgeStringsGone(machine, expect);
    out.cells["left-services"] = JudgeServicesGone(machine, expect);
    return out;
}

struct RowSpec {
    const char *id;
    const char *title;
};
const RowSpec kRows[] = {
    {"install", "-i"},
    {"installed-dsm", "  DSM device with its driver"},
    {"installed-strings", "  DSM strings in the supported-device list"},
    {"installed-disks", "  DSM's disks claimed, others not"},
    {"check-installed", "-c, installed, after a reboot"},
    {"install-again", "second -i"},
    {"uninstall", "-u"},
    {"released-disks", "  DSM's disks given back"},
    {"check-removed", "-c, removed, after a reboot"},
    {"left-devices", "left: DSM and MPIO bus devices"},
    {"left-strings", "left: DSM strings in the list"},
    {"left-services", "left: the package's services"},
};

}  // namespace

std::string Generation::Name() const { return std::to_string(major) + "." + std::to_string(minor); }

std::string Generation::Column() const
{
    winsim::OsInfo os{major, minor, build, Text(), std::string()};
    return Name() + (winsim::Arch(os) == "x86" ? " x86" : " x64");
}

std::optional<Generation> ParseGeneration(const std::string &text)
{
    for (const KnownGeneration &known : kGenerations) {
        Generation generation{known.major, known.minor, known.build};
        if (generation.Name() == text)
            return generation;
    }
    return std::nullopt;
}

Table RunLifecycle(const Package &package, const std::string &installer, const std::string &dsmDescription,
                   const std::vector<Generation> &generations, const std::filesystem::path &scratch)
{
    Table table;
    table.title = "Lifecycle on simulated machines";
    std::vector<Outcome> outcomes;
    for (const Generation &generation : generations) {
        table.columns.push_back(generation.Column());
        outcomes.push_back(RunGeneration(package, installer, dsmDescription, generation, scratch / generation.Name()));
    }
    for (const RowSpec &spec : kRows) {
        Row row{spec.id, spec.title, {}};
        for (const Outcome &outcome : outcomes)
            row.cells.push_back(outcome.cells.at(spec.id));
        table.rows.push_back(std::move(row));
    }
    return table;
}

}  // namespace pkgcheck
