#include "lifecycle.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "installer_run.h"

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

// A disk as the SCSI port reports it, for a model of 8 vendor and 16 product
// characters ("QUORVEX LUMENSTRIDE     ").
winsim::Device Disk(std::string model, unsigned unit)
{
    model.resize(SUPPORTED_DEVICE_UNITS, ' ');
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "5&2B3C4D5E&0&%02u0000", unit % 100);
    winsim::Device disk = winsim::ScsiDisk(model.substr(0, 8), model.substr(8, 16), "0100", Widen(suffix));
    disk.driverInf = u"disk.inf";
    return disk;
}

// A disk of another vendor that no supported-device string covers.
winsim::Device OtherVendorDisk(const std::vector<Text> &strings, unsigned unit)
{
    for (const char *model : {"KESTRELXVAULT-7         ", "ORRERY  NEBULA-9        "})
        if (winsim::Device disk = Disk(model, unit); !winsim::SupportedDeviceListCovers(strings, *disk.hardwareIds))
            return disk;
    return Disk("ZZZZZZZZZZZZZZZZZZZZZZZZ", unit);
}

struct TestMachine {
    winsim::Machine machine;
    std::vector<Text> dsmDisks;   // instance IDs of the disks the strings match, one per string
    Text otherDisk;               // a disk no string matches
};

// The built-in default server at another generation, with one disk per
// supported-device string of the DSM and one disk of another vendor.
TestMachine BuildMachine(const Generation &generation, const std::vector<Text> &strings)
{
    TestMachine built;
    winsim::Machine &machine = built.machine;
    machine = winsim::DefaultMachine();
    machine.os = winsim::OsInfo{generation.major, generation.minor, generation.build, Text(), std::string()};
    machine.interactive = false;
    if (generation.major < 6)
        machine.features.clear();
    machine.devices.erase(std::remove_if(machine.devices.begin(), machine.devices.end(),
                                         [](const winsim::Device &d) { return d.classGuid == GUID_DEVCLASS_DISKDRIVE; }),
                          machine.devices.end());
    unsigned unit = 0;
    for (const Text &string : strings) {
        machine.devices.push_back(Disk(Narrow(string), unit++));
        built.dsmDisks.push_back(machine.devices.back().instanceId);
    }
    machine.devices.push_back(OtherVendorDisk(strings, unit));
    built.otherDisk = machine.devices.back().instanceId;
    return built;
}


bool HasLine(const std::vector<std::string> &log, const std::string &text)
{
    return std::find(log.begin(), log.end(), text) != log.end();
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
        const std::string why = step.exitCode == 0
                                    ? "condition 0: the MPIO bus device or the DSM waits for a restart or its removal"
                                    : "exit " + std::to_string(step.exitCode) + ": the check itself failed";
        Cell cell = StepCell(step, Verdict::Fail, why, false);
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
                        "the check did not find the MPIO bus device: it looks for " + Quote(MPIO_BUS_DESCRIPTION), false);
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
    auto devices = winsim::DevicesWithHardwareId(machine, expect.dsmHwid);
    if (devices.empty())
        return Fail("no device carries " + Narrow(expect.dsmHwid));
    for (const winsim::Device *device : devices)
        if (device->driverInf.empty() || device->service.empty())
            return Fail(Narrow(device->instanceId) + " has no driver");
    return Pass();
}

// The DSM's strings in the supported-device list: all there after -i, none
// left after -u.
Cell JudgeStrings(winsim::Machine &machine, const Expectations &expect, bool installed)
{
    if (installed && expect.strings.empty())
        return NotApplicable("the DSM adds no supported-device string");
    const std::vector<Text> list = winsim::ReadMultiString(machine, SUPPORTED_DEVICES_KEY, SUPPORTED_DEVICES_VALUE);
    std::vector<std::string> wrong;
    for (const Text &string : expect.strings)
        if (winsim::ContainsNoCase(list, string) != installed)
            wrong.push_back(Quote(string));
    if (!wrong.empty())
        return Fail(Narrow(SUPPORTED_DEVICES_VALUE) + (installed ? " lacks " : " still holds ") + Join(wrong));
    return Pass();
}

Cell JudgeClaims(const Generation &generation, const winsim::Machine &machine, const Expectations &expect,
                 const std::vector<Text> &dsmDisks, const Text &otherDisk)
{
    if (generation.major >= 6)
        return NotApplicable("from 6.0 on the system's multipath feature claims the disks");
    if (dsmDisks.empty())
        return NotApplicable("the DSM adds no supported-device string");
    std::vector<std::string> faults;
    for (const Text &id : dsmDisks) {
        const winsim::Device *disk = winsim::FindDevice(machine, id);
        if (disk == nullptr || !disk->hardwareIds || !winsim::ContainsNoCase(*disk->hardwareIds, MPIO_DISK_HARDWARE_ID))
            faults.push_back("not claimed: " + Narrow(id));
        else if (!winsim::ContainsNoCase(expect.diskServices, disk->service))
            faults.push_back("claimed without the MPIO disk driver: " + Narrow(id));
    }
    const winsim::Device *other = winsim::FindDevice(machine, otherDisk);
    if (other && other->hardwareIds && winsim::ContainsNoCase(*other->hardwareIds, MPIO_DISK_HARDWARE_ID))
        faults.push_back("another vendor's disk claimed: " + Narrow(otherDisk));
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
        const winsim::Device *disk = winsim::FindDevice(machine, id);
        if (disk == nullptr)
            continue;
        auto before = restartsBefore.find(id);
        const bool restarted = before != restartsBefore.end() && disk->restarts > before->second;
        const bool marked = disk->configFlags && (*disk->configFlags & CONFIGFLAG_REINSTALL);
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
    for (const Text &id : {expect.dsmHwid, Text(generation.major >= 6 ? MPIO_BUS_HARDWARE_ID_NEW : MPIO_BUS_HARDWARE_ID_OLD)})
        for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, id))
            left.push_back(Narrow(device->instanceId) + " (" + Narrow(id) + ")");
    if (!left.empty())
        return Fail("still there after the reboot: " + Join(left));
    return Pass();
}

Cell JudgeServicesGone(const winsim::Machine &machine, const Expectations &expect)
{
    std::vector<std::string> left;
    for (const auto &[folded, service] : machine.services)
        if (winsim::ContainsNoCase(expect.services, service.name))
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

    const TestMachine built = BuildMachine(generation, expect.strings);
    const std::vector<Text> &dsmDisks = built.dsmDisks;
    MachineRun run(dir, installer, package);
    run.Save(built.machine);

    Outcome out;
    Step install = run.Run("-i");
    out.cells["install"] = JudgeSuccess(install);
    winsim::Machine machine = run.Load();
    out.cells["installed-dsm"] = JudgeDsmDevice(machine, expect);
    out.cells["installed-strings"] = JudgeStrings(machine, expect, true);
    out.cells["installed-disks"] = JudgeClaims(generation, machine, expect, dsmDisks, built.otherDisk);
    std::optional<Text> dsmDeviceDescription;
    for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, expect.dsmHwid))
        if (device->description)
            dsmDeviceDescription = *device->description;

    run.Reboot();
    out.cells["check-installed"] =
        JudgeCheck(generation, run.Run("-c"), true, dsmDescription, dsmDeviceDescription);
    out.cells["install-again"] = JudgeSecondInstall(generation, run.Run("-i"));

    std::map<Text, uint32_t> restartsBefore;
    machine = run.Load();
    for (const Text &id : dsmDisks)
        if (const winsim::Device *disk = winsim::FindDevice(machine, id))
            restartsBefore[id] = disk->restarts;
    out.cells["uninstall"] = JudgeSuccess(run.Run("-u"));
    machine = run.Load();
    out.cells["released-disks"] = JudgeRelease(machine, restartsBefore, dsmDisks);

    run.Reboot();
    out.cells["check-removed"] = JudgeCheck(generation, run.Run("-c"), false, dsmDescription, std::nullopt);
    machine = run.Load();
    out.cells["left-devices"] = JudgeLeftDevices(generation, machine, expect);
    out.cells["left-strings"] = JudgeStrings(machine, expect, false);
    out.cells["left-services"] = JudgeServicesGone(machine, expect);
    return out;
}

struct RowHeading {
    const char *id;
    const char *title;
};
const RowHeading kRows[] = {
    {"install", "-i"},
    {"installed-dsm", "  DSM device with its driver"},
    {"installed-strings", "  DSM strings in the supported-device list"},
    {"installed-disks", "  DSM's disks claimed, others not"},
    {"check-installed", "-c after -i and a reboot"},
    {"install-again", "second -i"},
    {"uninstall", "-u"},
    {"released-disks", "  DSM's disks given back"},
    {"check-removed", "-c after -u and a reboot"},
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
    for (const RowHeading &heading : kRows) {
        Row row{heading.id, heading.title, {}};
        for (const Outcome &outcome : outcomes)
            row.cells.push_back(outcome.cells.at(heading.id));
        table.rows.push_back(std::move(row));
    }
    return table;
}

}  // namespace pkgcheck
