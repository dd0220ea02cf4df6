// The upgrade: an older release of the package installed, then this one
// brought in as a customer does (-i over it from 6.0 on; before 6.0 -u, a
// reboot and -i), on a machine of its own; the new DriverVer, the strings
// and another vendor's DSM judged after it.
#include <array>

#include "common/product.h"
#include "facts.h"
#include "inf_text.h"
#include "lifecycle_steps.h"

namespace pkgcheck {

using winsim::EqualNoCase;
using winsim::Narrow;
using winsim::Widen;

namespace {

// A DriverVer as the setup library ranks drivers: date first, then version
// (the parts it lacks 0).
std::array<unsigned, 7> Rank(const inf::DriverVer &driverVer)
{
    const std::array<uint16_t, 4> version = driverVer.version.value_or(std::array<uint16_t, 4>{});
    return {driverVer.year, driverVer.month, driverVer.day, version[0], version[1], version[2], version[3]};
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
    const PackageFacts facts = ReadFacts(package), oldFacts = ReadFacts(old);
    const std::string expected = InQuotes(facts.driverVerText), older = InQuotes(oldFacts.driverVerText);
    if (!facts.driverVer || !oldFacts.driverVer)
        return Warn("DriverVer " + expected + " or the old package's " + older +
                    " is not mm/dd/yyyy[,w.x.y.z]: which is newer cannot be told");
    if (Rank(*facts.driverVer) <= Rank(*oldFacts.driverVer))
        return Warn("DriverVer " + expected + " is not newer than the old package's " + older +
                    ": the setup library may keep the old driver where the update is not forced");
    return Pass();
}

Cell JudgeDriverVer(const winsim::Machine &machine, const Package &package, const Package &old)
{
    const Text expected = ReadFacts(package).driverVerText;
    std::vector<std::string> installed;
    for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, Widen(package.dsmHwid))) {
        const Text driverVer = InstalledDriverVer(machine, *device);
        if (driverVer != expected)
            return Fail(Narrow(device->instanceId) + " runs DriverVer " + InQuotes(driverVer) +
                        ", the new package's is " + InQuotes(expected));
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
            missing.push_back(InQuotes(string));
    for (const Text &string : oldStrings)
        if (!winsim::ContainsNoCase(strings, string) && winsim::ContainsNoCase(list, string))
            stale.push_back(InQuotes(string));
    std::vector<std::string> faults;
    if (!missing.empty())
        faults.push_back(Narrow(SUPPORTED_DEVICES_VALUE) + " lacks " + JoinWith(missing));
    if (!stale.empty())
        faults.push_back("the old package's " + JoinWith(stale) +
                         " is still listed, which the new package no longer adds");
    if (!faults.empty())
        return Fail(JoinWith(faults, "; "));
    return Pass();
}

}  // namespace

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

}  // namespace pkgcheck
