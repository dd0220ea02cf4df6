#include "test_machine.h"

#include <algorithm>
#include <cstdio>

namespace pkgcheck {

std::string Generation::Name() const { return std::to_string(major) + "." + std::to_string(minor); }

std::string Generation::Column() const
{
    winsim::OsInfo os{major, minor, build, Text(), std::string()};
    return Name() + (winsim::Arch(os) == "x86" ? " x86" : " x64");
}

std::optional<Generation> ParseGeneration(const std::string &text)
{
    for (const winsim::OsInfo &known : winsim::KnownWindowsVersions()) {
        Generation generation{known.major, known.minor, known.build};
        if (generation.Name() == text)
            return generation;
    }
    return std::nullopt;
}

bool LacksFeatureTool(const Generation &generation)
{
    return generation.major == 6 && generation.minor == 0;
}

winsim::Device ArrayDisk(const std::string &model, unsigned unit)
{
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "5&2B3C4D5E&0&%02u0000", unit % 100);
    winsim::Device disk = winsim::ScsiDisk(model, "0100", winsim::Widen(suffix));
    disk.driverInf = u"disk.inf";
    return disk;
}

namespace {

// A disk of another vendor that no supported-device string covers.
winsim::Device OtherVendorDisk(const std::vector<Text> &strings, unsigned unit)
{
    for (const char *model : {"KESTRELXVAULT-7         ", "ORRERY  NEBULA-9        "})
        if (winsim::Device disk = ArrayDisk(model, unit); !winsim::SupportedDeviceListCovers(strings, *disk.hardwareIds))
            return disk;
    return ArrayDisk("ZZZZZZZZZZZZZZZZZZZZZZZZ", unit);
}

}  // namespace

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
        machine.devices.push_back(ArrayDisk(model, unit++));
        const winsim::Device &disk = machine.devices.back();
        const bool claimed = !realArrays || winsim::SupportedDeviceListCovers(strings, *disk.hardwareIds);
        (claimed ? built.dsmDisks : built.otherDisks).push_back(disk.instanceId);
    }
    machine.devices.push_back(OtherVendorDisk(strings, unit++));
    built.otherDisks.push_back(machine.devices.back().instanceId);
    for (int path = 0; path < 2; path++) {
        machine.devices.push_back(ArrayDisk(neighbourModel, unit++));
        built.neighbourDisks.push_back(machine.devices.back().instanceId);
    }
    return built;
}

}  // namespace pkgcheck
