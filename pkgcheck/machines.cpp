#include "machines.h"

#include <algorithm>
#include <cstdio>

#include "package.h"

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

// A disk as the SCSI port reports it, for a model of 8 vendor and 16 product
// characters ("QUORVEX LUMENSTRIDE     ").
winsim::Device Disk(std::string model, unsigned unit)
{
    model.resize(24, ' ');
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, "5&2B3C4D5E&0&%02u0000", unit % 100);
    winsim::Device disk = winsim::ScsiDisk(model.substr(0, 8), model.substr(8, 16), "0100", Widen(suffix));
    disk.driverInf = u"disk.inf";
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
    const GUID diskClass = *winsim::GuidFromString(kDiskClass);
    machine.devices.erase(std::remove_if(machine.devices.begin(), machine.devices.end(),
                                         [&](const winsim::Device &d) { return d.classGuid == diskClass; }),
                          machine.devices.end());
    unsigned unit = 0;
    for (const Text &string : strings) {
        machine.devices.push_back(Disk(Narrow(string), unit++));
        built.dsmDisks.push_back(machine.devices.back().instanceId);
    }
    machine.devices.push_back(Disk(OtherVendorModel(strings), unit));
    built.otherDisk = machine.devices.back().instanceId;
    return built;
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

bool Contains(const std::vector<Text> &list, const Text &text)
{
    return std::any_of(list.begin(), list.end(), [&](const Text &entry) { return EqualNoCase(entry, text); });
}

}  // namespace pkgcheck
