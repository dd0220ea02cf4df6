#include "lifecycle.h"

#include <algorithm>
#include <map>
#include <sstream>

#include "common/log_texts.h"
#include "common/product.h"
#include "inf_text.h"
#include "lifecycle_steps.h"

namespace pkgcheck {

using winsim::Narrow;
using winsim::Widen;

namespace {

const char kSwitchedOnBefore[] =
    "the machine has Multipath I/O switched on beforehand, as an administrator does with Server Manager: 6.0 has "
    "no DISM.exe, and without the MPIO bus device the installer's -i fails at the feature step (exit -1, error 1)";

Cell JudgeSecondInstall(const Generation &generation, const Step &step)
{
    if (generation.major >= 6)
        return JudgeSuccess(step);
    if (RefusedAtBus(step))
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
            if (IsCheckFindingLine(line))
                cell.log.push_back(line);
        return cell;
    }
    if (!installed)
        return StepCell(step, Verdict::Pass, std::string(), false);
    if (!HasLogLine(step.log, LOG_MPIO_CHECKED))
        return StepCell(step, Verdict::Fail,
                        "the check did not find the MPIO bus device: it looks for " + InQuotes(MPIO_BUS_DESCRIPTION),
                        false);
    if (!HasLogLine(step.log, LOG_DSM_CHECKED)) {
        std::string why = "the check did not find the DSM: it looks for \"" + dsmDescription + "\"";
        if (dsmDeviceDescription)
            why += ", the DSM device is described " + InQuotes(*dsmDeviceDescription);
        return StepCell(step, Verdict::Fail, why, false);
    }
    return StepCell(step, Verdict::Pass, std::string(), false);
}

// --- one generation ----------------------------------------------------------

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
            wrong.push_back(InQuotes(string));
    if (!wrong.empty())
        return Fail(Narrow(SUPPORTED_DEVICES_VALUE) + (installed ? " lacks " : " still holds ") + JoinWith(wrong));
    return Pass();
}

Cell NoDsmDisks(const Expectations &expect)
{
    return NotApplicable(expect.strings.empty() ? "the DSM adds no supported-device string"
                                                : "the DSM's strings claim none of the machine's disks");
}

Cell JudgeClaims(const Generation &generation, const winsim::Machine &machine, const Expectations &expect,
                 const std::vector<Text> &dsmDisks, const std::vector<Text> &otherDisks)
{
    if (generation.major >= 6)
        return NotApplicable("from 6.0 on the system's multipath feature claims the disks");
    if (dsmDisks.empty())
        return NoDsmDisks(expect);
    std::vector<std::string> faults;
    for (const Text &id : dsmDisks) {
        const winsim::Device *disk = winsim::FindDevice(machine, id);
        if (disk == nullptr || !disk->hardwareIds || !winsim::ContainsNoCase(*disk->hardwareIds, MPIO_DISK_HARDWARE_ID))
            faults.push_back("not claimed: " + Narrow(id));
        else if (!winsim::ContainsNoCase(expect.diskServices, disk->service))
            faults.push_back("claimed without the MPIO disk driver: " + Narrow(id));
    }
    for (const Text &id : otherDisks) {
        const winsim::Device *other = winsim::FindDevice(machine, id);
        if (other && other->hardwareIds && winsim::ContainsNoCase(*other->hardwareIds, MPIO_DISK_HARDWARE_ID))
            faults.push_back("a disk no string of the DSM names claimed: " + Narrow(id));
    }
    if (!faults.empty())
        return Fail(JoinWith(faults));
    return Pass();
}

Cell JudgeRelease(const winsim::Machine &machine, const Expectations &expect,
                  const std::map<Text, uint32_t> &restartsBefore, const std::vector<Text> &dsmDisks)
{
    if (dsmDisks.empty())
        return NoDsmDisks(expect);
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
        return Fail("not given back to the disk driver (no reinstall mark and restart): " + JoinWith(kept));
    return Pass();
}

Cell JudgeLeftDevices(const Generation &generation, const winsim::Machine &machine, const Expectations &expect)
{
    std::vector<Text> gone = {expect.dsmHwid};
    // Where the administrator switched the feature on, its bus device stays.
    if (!LacksFeatureTool(generation))
        gone.push_back(generation.major >= 6 ? MPIO_BUS_HARDWARE_ID_NEW : MPIO_BUS_HARDWARE_ID_OLD);
    std::vector<std::string> left;
    for (const Text &id : gone)
        for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, id))
            left.push_back(Narrow(device->instanceId) + " (" + Narrow(id) + ")");
    if (!left.empty())
        return Fail("still there after the reboot: " + JoinWith(left));
    if (LacksFeatureTool(generation))
        return Pass("the DSM device is gone; the MPIO bus device stays with Multipath I/O, which the administrator "
                    "switched on and the installer cannot switch off without DISM.exe (its last -u exits -1 there)");
    return Pass();
}

Cell JudgeServicesGone(const winsim::Machine &machine, const Expectations &expect)
{
    std::vector<std::string> left;
    for (const winsim::Service &service : winsim::Services(machine))
        if (winsim::ContainsNoCase(expect.services, service.name))
            left.push_back(Narrow(service.name));
    if (!left.empty())
        return Fail("still installed after the reboot: " + JoinWith(left));
    return Pass();
}

// Which of the --disk arrays the DSM's strings claim: each array must be
// claimed, and each string must claim one (else it claims no real disk).
Cell JudgeDiskMatch(const std::vector<std::string> &disks, const std::vector<Text> &strings)
{
    if (disks.empty())
        return NotApplicable("no --disk given: the strings were not checked against a real array's inquiry data");
    std::vector<std::string> claimed, unclaimed, unused;
    for (const std::string &model : disks)
        (winsim::SupportedDeviceListCovers(strings, *ArrayDisk(model, 0).hardwareIds) ? claimed : unclaimed)
            .push_back(InQuotes(Widen(model)));
    for (const Text &string : strings)
        if (std::none_of(disks.begin(), disks.end(), [&](const std::string &model) {
                return winsim::SupportedDeviceListCovers({string}, *ArrayDisk(model, 0).hardwareIds);
            }))
            unused.push_back(InQuotes(string));
    std::vector<std::string> faults;
    if (!unclaimed.empty())
        faults.push_back("no string of the DSM claims --disk " + JoinWith(unclaimed));
    if (!unused.empty())
        faults.push_back(JoinWith(unused) + " claims none of the --disk arrays, so no real disk");
    if (!faults.empty())
        return Fail(JoinWith(faults, "; "));
    return Pass("claims " + JoinWith(claimed));
}

// The directory a generation's machine lives in: kept, or in the scratch directory.
std::filesystem::path MachineDir(const Setting &setting, const std::filesystem::path &scratch,
                                 const Generation &generation)
{
    return (setting.options.keep.empty() ? scratch / "machines" : setting.options.keep) / generation.Name();
}

Outcome RunGeneration(const Setting &setting, const Generation &generation, const std::filesystem::path &dir)
{
    const Package &package = setting.package;
    Expectations expect;
    expect.dsmHwid = Widen(package.dsmHwid);
    expect.strings = SupportedDeviceStrings(package.Dsm());
    expect.services = ServicesOn(generation, package);
    expect.diskServices = ServicesOn(generation, package, Role::Disk);

    const TestMachine built = BuildMachine(generation, DiskModels(setting, expect.strings),
                                           !setting.options.disks.empty(), expect.strings,
                                           setting.neighbour.diskModel);
    const std::vector<Text> &dsmDisks = built.dsmDisks;
    MachineRun run(dir, setting.installer, package, !setting.options.keep.empty());
    run.Save(built.machine);
    const InstalledNeighbour neighbour = InstallNeighbour(setting, generation, run, built.neighbourDisks);

    Outcome out;
    Step install = run.Run("-i");
    out.cells["install"] = JudgeSuccess(install);
    if (LacksFeatureTool(generation) && out.cells["install"].verdict == Verdict::Pass)
        out.cells["install"].reason = kSwitchedOnBefore;
    winsim::Machine machine = run.Load();
    out.cells["installed-dsm"] = JudgeDsmDevice(machine, expect);
    out.cells["installed-strings"] = JudgeStrings(machine, expect, true);
    out.cells["installed-disks"] = JudgeClaims(generation, machine, expect, dsmDisks, built.otherDisks);
    std::optional<Text> dsmDeviceDescription;
    for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, expect.dsmHwid))
        if (device->description)
            dsmDeviceDescription = *device->description;

    run.Reboot();
    out.cells["neighbour-installed"] = JudgeNeighbour(setting, generation, neighbour, run, built.neighbourDisks);
    out.cells["check-installed"] =
        JudgeCheck(generation, run.Run("-c"), true, setting.dsmDescription, dsmDeviceDescription);
    out.cells["install-again"] = JudgeSecondInstall(generation, run.Run("-i"));

    std::map<Text, uint32_t> restartsBefore;
    machine = run.Load();
    for (const Text &id : dsmDisks)
        if (const winsim::Device *disk = winsim::FindDevice(machine, id))
            restartsBefore[id] = disk->restarts;
    out.cells["uninstall"] = JudgeSuccess(run.Run("-u"));
    machine = run.Load();
    out.cells["released-disks"] = JudgeRelease(machine, expect, restartsBefore, dsmDisks);

    run.Reboot();
    out.cells["check-removed"] = JudgeCheck(generation, run.Run("-c"), false, setting.dsmDescription, std::nullopt);
    out.cells["neighbour-uninstalled"] = JudgeNeighbour(setting, generation, neighbour, run, built.neighbourDisks);

    // The other vendor's DSM goes too, so that the last -u removes the base.
    if (neighbour.state)
        run.Run("-u", setting.neighbour.package, "neighbour");
    run.Reboot();
    machine = run.Load();
    out.cells["left-devices"] = JudgeLeftDevices(generation, machine, expect);
    out.cells["left-strings"] = JudgeStrings(machine, expect, false);
    out.cells["left-services"] = JudgeServicesGone(machine, expect);
    out.cells["disk-match"] = JudgeDiskMatch(setting.options.disks, expect.strings);
    return out;
}

struct RowHeading {
    const char *id;
    const char *title;
    bool upgrade;                   // shown only with --upgrade-from
    const char *explainedBy;        // INF check rows that can explain an error, comma-separated
};
const RowHeading kRows[] = {
    {"install", "-i", false,
     "version,class,models-plain,models-ntx86,models-ntamd64,hardware-id,install-sections,copy-files,"
     "supported-devices"},
    {"installed-dsm", "  DSM device with its driver", false, "class,hardware-id,install-sections"},
    {"installed-strings", "  DSM strings in the supported-device list", false, "supported-devices"},
    {"installed-disks", "  DSM's disks claimed, others not", false, "supported-devices"},
    {"disk-match", "  DSM strings against the --disk arrays", false, "supported-devices"},
    {"check-installed", "-c after -i and a reboot", false, "class,description"},
    {"neighbour-installed", "  another vendor's DSM intact after -i", false, "delreg,delreg-scope,supported-devices"},
    {"install-again", "second -i", false, "models-plain,models-ntx86,models-ntamd64,hardware-id,install-sections"},
    {"uninstall", "-u", false, "uninstall,delreg"},
    {"released-disks", "  DSM's disks given back", false, "delreg,delreg-scope"},
    {"check-removed", "-c after -u and a reboot", false, "uninstall,delreg,delreg-scope"},
    {"neighbour-uninstalled", "  another vendor's DSM intact after -u", false,
     "delreg,delreg-scope,uninstall,supported-devices"},
    {"left-devices", "left: DSM and MPIO bus devices", false, "uninstall"},
    {"left-strings", "left: DSM strings in the list", false, "delreg,delreg-scope"},
    {"left-services", "left: the package's services", false, "uninstall"},
    {"upgrade", "upgrade from the old package", true,
     "version,models-plain,models-ntx86,models-ntamd64,hardware-id,install-sections,copy-files"},
    {"upgrade-driver-ver", "  new DriverVer on the DSM device", true, "version"},
    {"upgrade-strings", "  new strings listed, dropped ones gone", true, "supported-devices,delreg,delreg-scope"},
    {"upgrade-neighbour", "  another vendor's DSM intact (upgrade)", true, "delreg,delreg-scope,supported-devices"},
};

// The INF checks that failed or warned and may explain a lifecycle error in
// a column: every INF before 6.0, only the DSM's from 6.0 on.
std::string InfCheckPointer(const Table &infChecks, const char *explainedBy, const Generation &generation)
{
    std::vector<std::string> seen;
    std::istringstream ids(explainedBy);
    std::string id;
    const bool x86 = generation.Column().find("x86") != std::string::npos;
    while (std::getline(ids, id, ',')) {
        // A models section of another platform explains nothing here.
        if ((id == "models-ntamd64" && x86) || ((id == "models-ntx86" || id == "models-plain") && !x86))
            continue;
        for (const Row &row : infChecks.rows) {
            if (row.id != id)
                continue;
            for (size_t c = 0; c < row.cells.size() && c < infChecks.columns.size(); c++) {
                const bool failed = row.cells[c].verdict == Verdict::Fail || row.cells[c].verdict == Verdict::Warn;
                const bool read = generation.major < 6 || c + 1 == infChecks.columns.size();
                if (failed && read) {
                    seen.push_back("'" + WithoutIndent(row.title) + "' [" + infChecks.columns[c] + "]");
                    break;
                }
            }
        }
    }
    if (seen.empty())
        return std::string();
    return " (see the INF check " + JoinWith(seen, ", ") + ")";
}

}  // namespace

void CheckKeepDir(const LifecycleOptions &options)
{
    if (options.keep.empty())
        return;
    for (const Generation &generation : options.generations) {
        const std::filesystem::path dir = options.keep / generation.Name();
        std::error_code error;
        if (std::filesystem::exists(dir, error) && !std::filesystem::is_empty(dir, error))
            throw PackageError("--keep: " + dir.string() + " already holds files; give an empty or new directory");
    }
}

Table RunLifecycle(const Package &package, const std::string &installer, const std::string &dsmDescription,
                   const LifecycleOptions &options, const std::filesystem::path &scratch)
{
    std::vector<std::string> packageDisks = options.disks;
    for (const Text &string : SupportedDeviceStrings(package.Dsm()))
        packageDisks.push_back(Narrow(string));
    const Neighbour neighbour = MakeNeighbour(package, packageDisks, scratch / "neighbour");
    const Setting setting{package, installer, dsmDescription, options, neighbour};

    Table table;
    table.title = "Lifecycle on simulated machines";
    std::vector<Outcome> outcomes;
    for (const Generation &generation : options.generations) {
        table.columns.push_back(generation.Column());
        const std::filesystem::path dir = MachineDir(setting, scratch, generation);
        outcomes.push_back(RunGeneration(setting, generation, dir));
        if (options.upgradeFrom)
            for (auto &[id, cell] : RunUpgrade(setting, generation, dir / "upgrade").cells)
                outcomes.back().cells[id] = cell;
    }
    for (const RowHeading &heading : kRows) {
        if (heading.upgrade && !options.upgradeFrom)
            continue;
        Row row{heading.id, heading.title, {}};
        // The table itself says so when no real array was named.
        if (row.id == "disk-match" && options.disks.empty())
            row.title = "  strings not checked against a real array";
        for (size_t c = 0; c < outcomes.size(); c++) {
            Cell cell = outcomes[c].cells.at(heading.id);
            if (cell.verdict == Verdict::Fail && options.infChecks)
                cell.reason += InfCheckPointer(*options.infChecks, heading.explainedBy, options.generations[c]);
            row.cells.push_back(std::move(cell));
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

}  // namespace pkgcheck
