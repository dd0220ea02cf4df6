#include "lifecycle.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <sstream>

#include "installer_run.h"
#include "neighbour.h"

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

// Windows 6.0 (Vista, Server 2008) has no DISM.exe, which ships from 6.1 on;
// the installer runs it from 6.0 on to switch the multipath feature.
bool LacksFeatureTool(const Generation &generation)
{
    return generation.major == 6 && generation.minor == 0;
}

const char kSwitchedOnBefore[] =
    "the machine has Multipath I/O switched on beforehand, as an administrator does with Server Manager: 6.0 has "
    "no DISM.exe, and without the MPIO bus device the installer's -i fails at the feature step (exit -1, error 1)";

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
    std::vector<Text> dsmDisks;         // instance IDs of the disks the DSM's strings claim
    std::vector<Text> otherDisks;       // disks no string of the DSM claims
    std::vector<Text> neighbourDisks;   // the other vendor's DSM's disks
};

// The built-in default server at another generation, with the package's
// disks ('diskModels': the --disk arrays, else one per string of the DSM),
// one disk of another vendor and the neighbour's array on two paths.
TestMachine BuildMachine(const Generation &generation, const std::vector<std::string> &diskModels, bool realArrays,
                         const std::vector<Text> &strings, const std::string &neighbourModel)
{
    TestMachine built;
    winsim::Machine &machine = built.machine;
    machine = winsim::DefaultMachine();
    machine.os = winsim::OsInfo{generation.major, generation.minor, generation.build, Text(), std::string()};
    machine.interactive = false;
    if (generation.major < 6)
        machine.features.clear();
    if (LacksFeatureTool(generation)) {
        // The server an administrator has there: Multipath I/O switched on
        // with Server Manager and the server restarted.
        machine.features["MultipathIo"] = "EnablePending";
        winsim::Reboot(machine);
    }
    machine.devices.erase(std::remove_if(machine.devices.begin(), machine.devices.end(),
                                         [](const winsim::Device &d) { return d.classGuid == GUID_DEVCLASS_DISKDRIVE; }),
                          machine.devices.end());
    unsigned unit = 0;
    for (const std::string &model : diskModels) {
        machine.devices.push_back(Disk(model, unit++));
        const winsim::Device &disk = machine.devices.back();
        const bool claimed = !realArrays || winsim::SupportedDeviceListCovers(strings, *disk.hardwareIds);
        (claimed ? built.dsmDisks : built.otherDisks).push_back(disk.instanceId);
    }
    machine.devices.push_back(OtherVendorDisk(strings, unit++));
    built.otherDisks.push_back(machine.devices.back().instanceId);
    for (int path = 0; path < 2; path++) {
        machine.devices.push_back(Disk(neighbourModel, unit++));
        built.neighbourDisks.push_back(machine.devices.back().instanceId);
    }
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

// The bus driver's update is not forced before 6.0: the setup library
// refuses to put the same driver on the device again (259).
bool RefusedAtBus(const Step &step)
{
    return step.exitCode == -1 && !HasLine(step.log, "Installing the Device Specific Module...") &&
           std::any_of(step.log.begin(), step.log.end(),
                       [](const std::string &line) { return line.find("(0x00000103)") != std::string::npos; });
}

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
        return Fail(Join(faults));
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
        return Fail("not given back to the disk driver (no reinstall mark and restart): " + Join(kept));
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
        return Fail("still there after the reboot: " + Join(left));
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
        return Fail("still installed after the reboot: " + Join(left));
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
        (winsim::SupportedDeviceListCovers(strings, *Disk(model, 0).hardwareIds) ? claimed : unclaimed)
            .push_back(Quote(Widen(model)));
    for (const Text &string : strings)
        if (std::none_of(disks.begin(), disks.end(), [&](const std::string &model) {
                return winsim::SupportedDeviceListCovers({string}, *Disk(model, 0).hardwareIds);
            }))
            unused.push_back(Quote(string));
    std::vector<std::string> faults;
    if (!unclaimed.empty())
        faults.push_back("no string of the DSM claims --disk " + Join(unclaimed));
    if (!unused.empty())
        faults.push_back(Join(unused) + " claims none of the --disk arrays, so no real disk");
    if (!faults.empty())
        return Fail(Join(faults, "; "));
    return Pass("claims " + Join(claimed));
}

// What every generation's runs share.
struct Setting {
    const Package &package;
    const std::string &installer;
    const std::string &dsmDescription;
    const LifecycleOptions &options;
    const Neighbour &neighbour;
};

std::vector<std::string> DiskModels(const Setting &setting, const std::vector<Text> &strings)
{
    if (!setting.options.disks.empty())
        return setting.options.disks;
    std::vector<std::string> models;
    for (const Text &string : strings)
        models.push_back(Narrow(string));
    return models;
}

// The services a package's INFs install on a generation: from 6.0 on only
// the DSM's, the system owning the multipath base.
std::vector<Text> ServicesOn(const Generation &generation, const Package &package,
                             std::optional<Role> only = std::nullopt)
{
    std::vector<Text> services;
    for (const InfDocument &document : package.infs)
        if (document.file && (generation.major < 6 || document.role == Role::Dsm) &&
            (!only || document.role == *only))
            for (const Text &service : InstalledServices(*document.file))
                services.push_back(service);
    return services;
}

// The neighbour installed by its own -i and a reboot, and its state then;
// the reason when it could not be installed.
struct InstalledNeighbour {
    std::optional<NeighbourState> state;
    std::string fault;
};

InstalledNeighbour InstallNeighbour(const Setting &setting, const Generation &generation, MachineRun &run,
                                    const std::vector<Text> &disks)
{
    InstalledNeighbour installed;
    const Step step = run.Run("-i", setting.neighbour.package, "neighbour");
    run.Reboot();
    if (step.exitCode != 0 && step.exitCode != 1) {
        installed.fault = "another vendor's DSM could not be installed with this package's base INFs: exit " +
                          std::to_string(step.exitCode);
        if (std::string error = LastError(step); !error.empty())
            installed.fault += ", " + error;
        return installed;
    }
    winsim::Machine machine = run.Load();
    installed.state =
        SnapshotNeighbour(machine, setting.neighbour, disks, ServicesOn(generation, setting.neighbour.package));
    return installed;
}

Cell JudgeNeighbour(const Setting &setting, const Generation &generation, const InstalledNeighbour &installed,
                    const MachineRun &run, const std::vector<Text> &disks)
{
    if (!installed.state)
        return Fail(installed.fault);
    winsim::Machine machine = run.Load();
    const NeighbourState now =
        SnapshotNeighbour(machine, setting.neighbour, disks, ServicesOn(generation, setting.neighbour.package));
    const std::vector<std::string> changes = NeighbourChanges(*installed.state, now);
    if (!changes.empty())
        return Fail("another vendor's DSM changed: " + Join(changes, "; "));
    return Pass();
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

// --- upgrade from an older release ------------------------------------------

// "mm/dd/yyyy[,w[.x[.y[.z]]]]" as (yyyy, mm, dd, w, x, y, z), missing parts
// 0, so that keys compare as the setup library ranks drivers: date first,
// then version.  Nothing when it is not one.
std::optional<std::array<unsigned, 7>> DriverVerKey(const Text &driverVer)
{
    std::array<unsigned, 7> key{};
    const std::string text = Narrow(driverVer);
    const size_t comma = text.find(',');
    int used = 0;
    if (std::sscanf(text.c_str(), "%u/%u/%u%n", &key[1], &key[2], &key[0], &used) != 3 ||
        static_cast<size_t>(used) != std::min(comma, text.size()))
        return std::nullopt;
    if (comma == std::string::npos)
        return key;
    std::istringstream version(text.substr(comma + 1));
    std::string part;
    for (size_t index = 3; std::getline(version, part, '.'); index++) {
        // Each part is a 16-bit number.
        if (index == key.size() || part.empty() || part.size() > 5 ||
            part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        key[index] = static_cast<unsigned>(std::stoul(part));
    }
    return key;
}

// The DriverVer of the INF a device's driver was installed from, as the
// driver store holds it.
Text InstalledDriverVer(const winsim::Machine &machine, const winsim::Device &device)
{
    for (const winsim::DriverStoreEntry &entry : machine.driverStore) {
        if (!EqualNoCase(entry.publishedName, device.driverInf))
            continue;
        const inf::ParseResult parsed = inf::Parse(entry.content, Text());
        if (parsed.file)
            if (const inf::Line *line = parsed.file->FindLine(u"Version", u"DriverVer"))
                return line->CompactText();
    }
    return Text();
}

// A warning when the new package's DriverVer does not rank above the old one's.
Cell JudgeNewer(const Package &package, const Package &old)
{
    const Text expected = ReadFacts(package).driverVer, older = ReadFacts(old).driverVer;
    const auto newKey = DriverVerKey(expected), oldKey = DriverVerKey(older);
    if (!newKey || !oldKey)
        return Warn("DriverVer " + Quote(expected) + " or the old package's " + Quote(older) +
                    " is not mm/dd/yyyy[,w.x.y.z]: which is newer cannot be told");
    if (*newKey <= *oldKey)
        return Warn("DriverVer " + Quote(expected) + " is not newer than the old package's " + Quote(older) +
                    ": the setup library may keep the old driver where the update is not forced");
    return Pass();
}

Cell JudgeDriverVer(const winsim::Machine &machine, const Package &package, const Package &old)
{
    const Text expected = ReadFacts(package).driverVer;
    std::vector<std::string> installed;
    for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, Widen(package.dsmHwid))) {
        const Text driverVer = InstalledDriverVer(machine, *device);
        if (driverVer != expected)
            return Fail(Narrow(device->instanceId) + " runs DriverVer " + Quote(driverVer) + ", the new package's is " +
                        Quote(expected));
        installed.push_back(Narrow(device->instanceId));
    }
    if (installed.empty())
        return Fail("no device carries " + package.dsmHwid);
    return JudgeNewer(package, old);
}

Cell JudgeUpgradedStrings(winsim::Machine &machine, const std::vector<Text> &strings,
                          const std::vector<Text> &oldStrings)
{
    const std::vector<Text> list = winsim::ReadMultiString(machine, SUPPORTED_DEVICES_KEY, SUPPORTED_DEVICES_VALUE);
    std::vector<std::string> missing, stale;
    for (const Text &string : strings)
        if (!winsim::ContainsNoCase(list, string))
            missing.push_back(Quote(string));
    for (const Text &string : oldStrings)
        if (!winsim::ContainsNoCase(strings, string) && winsim::ContainsNoCase(list, string))
            stale.push_back(Quote(string));
    std::vector<std::string> faults;
    if (!missing.empty())
        faults.push_back(Narrow(SUPPORTED_DEVICES_VALUE) + " lacks " + Join(missing));
    if (!stale.empty())
        faults.push_back("the old package's " + Join(stale) + " is still listed, which the new package no longer adds");
    if (!faults.empty())
        return Fail(Join(faults, "; "));
    return Pass();
}

// The old release installed, then the new one brought in as a customer
// does: -i over it from 6.0 on, before 6.0 -u, a reboot and -i.
Outcome RunUpgrade(const Setting &setting, const Generation &generation, const std::filesystem::path &dir)
{
    const Package &package = setting.package, &old = *setting.options.upgradeFrom;
    const std::vector<Text> strings = SupportedDeviceStrings(package.Dsm());
    const TestMachine built = BuildMachine(generation, DiskModels(setting, strings), !setting.options.disks.empty(),
                                           strings, setting.neighbour.diskModel);
    MachineRun run(dir, setting.installer, package, !setting.options.keep.empty());
    run.Save(built.machine);
    const InstalledNeighbour neighbour = InstallNeighbour(setting, generation, run, built.neighbourDisks);

    Outcome out;
    const char *const rows[] = {"upgrade", "upgrade-driver-ver", "upgrade-strings", "upgrade-neighbour"};
    auto failedAt = [&](const std::string &what, const Step &step) {
        Cell cell = JudgeSuccess(step);
        cell.reason = what + ": " + cell.reason;
        out.cells[rows[0]] = cell;
        for (size_t r = 1; r < std::size(rows); r++)
            out.cells[rows[r]] = NotApplicable("the upgrade did not complete");
        return out;
    };
    Step step = run.Run("-i", old, "old");
    if (JudgeSuccess(step).verdict != Verdict::Pass)
        return failedAt("the old package's -i", step);
    run.Reboot();
    if (generation.major < 6) {
        step = run.Run("-u", old, "old");
        if (JudgeSuccess(step).verdict != Verdict::Pass)
            return failedAt("the old package's -u", step);
        run.Reboot();
    }
    step = run.Run("-i");
    // Before 6.0 the installer does not force the bus driver's update, so
    // while another vendor's DSM keeps the MPIO bus device on its driver the
    // new -i is refused there (259), whatever the package holds: a note on
    // the installer, not a finding on the package.
    const bool refusedAtBus = generation.major < 6 && RefusedAtBus(step);
    out.cells["upgrade"] = refusedAtBus
        ? StepCell(step, Verdict::Pass,
                   "-1, refused at the bus driver with 259: before 6.0 the installer does not force the bus "
                   "driver's update, and the MPIO bus device, kept by the other vendor's DSM, already runs it; "
                   "on such a server the new version goes in only once the other vendor's DSM is uninstalled "
                   "too (a limit of the installer, not of the package)",
                   false)
        : JudgeSuccess(step);
    run.Reboot();
    winsim::Machine machine = run.Load();
    if (refusedAtBus) {
        // Nothing new was installed; only a DriverVer that is not newer is still worth a word.
        const Cell newer = JudgeNewer(package, old);
        const Cell refused = NotApplicable("the new package's -i was refused at the bus driver");
        out.cells["upgrade-driver-ver"] = newer.verdict == Verdict::Warn ? newer : refused;
        out.cells["upgrade-strings"] = refused;
    } else {
        out.cells["upgrade-driver-ver"] = JudgeDriverVer(machine, package, old);
        out.cells["upgrade-strings"] = JudgeUpgradedStrings(machine, strings, SupportedDeviceStrings(old.Dsm()));
    }
    out.cells["upgrade-neighbour"] = JudgeNeighbour(setting, generation, neighbour, run, built.neighbourDisks);
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
                    seen.push_back("'" + Trimmed(row.title) + "' [" + infChecks.columns[c] + "]");
                    break;
                }
            }
        }
    }
    if (seen.empty())
        return std::string();
    return " (see the INF check " + Join(seen, ", ") + ")";
}

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
