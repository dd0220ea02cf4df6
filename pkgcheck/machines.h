// The simulated machines the lifecycle runs the installer on: the built-in
// default server at a Windows generation, with disks that the DSM's
// supported-device strings match and a disk of another vendor, and what is
// read from a machine afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace pkgcheck {

using winsim::Text;

struct Generation {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;

    std::string Name() const;     // "5.2"
    std::string Column() const;   // "5.2 x64"
};

// "5.0", "5.2", "6.1", "10.0", ...: the versions the installer knows; nothing otherwise.
std::optional<Generation> ParseGeneration(const std::string &text);

struct TestMachine {
    winsim::Machine machine;
    std::vector<Text> dsmDisks;   // instance IDs of the disks the strings match, one per string
    Text otherDisk;               // a disk no string matches
};
TestMachine BuildMachine(const Generation &generation, const std::vector<Text> &supportedDeviceStrings);

// Devices not removed that list the hardware ID; the device of an instance ID.
std::vector<const winsim::Device *> DevicesWithId(const winsim::Machine &machine, const Text &hardwareId);
const winsim::Device *DeviceById(const winsim::Machine &machine, const Text &instanceId);
// The machine's MPIOSupportedDeviceList, empty when it has none.
std::vector<Text> SupportedDevices(winsim::Machine &machine);
// Whether a list holds the text, ignoring ASCII case.
bool Contains(const std::vector<Text> &list, const Text &text);

}  // namespace pkgcheck
