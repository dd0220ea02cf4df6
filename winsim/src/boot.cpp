// A boot of the machine: what waited for a reboot completes, and a disk
// marked for reinstallation is enumerated afresh by its bus.
#include <algorithm>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

bool SupportedDeviceListCovers(const std::vector<Text> &entries, const std::vector<Text> &hardwareIds)
{
    for (Text entry : entries) {
        entry.resize(std::min<size_t>(entry.size(), kSupportedDeviceUnits));
        std::replace(entry.begin(), entry.end(), u' ', u'_');
        const Text key = kMatchKeyPrefix + entry;
        for (const Text &id : hardwareIds)
            if (id.size() >= key.size() && EqualNoCase(id.substr(0, key.size()), key))
                return true;
    }
    return false;
}

namespace {

// A device marked for reinstallation whose hardware IDs a program replaced
// gets the IDs its bus reports again, unless the multipath filter claims it
// (it then keeps the IDs the multipath drivers gave it).  A disk given back so
// runs the plain disk driver.
void Enumerate(Device &device, const std::vector<Text> &supportedDevices)
{
    const bool reinstall = device.configFlags && (*device.configFlags & CONFIGFLAG_REINSTALL);
    if (device.removed || !device.busHardwareIds || !reinstall ||
        SupportedDeviceListCovers(supportedDevices, *device.busHardwareIds))
        return;
    device.hardwareIds = std::move(device.busHardwareIds);
    device.busHardwareIds.reset();
    *device.configFlags &= ~static_cast<uint32_t>(CONFIGFLAG_REINSTALL);
    if (device.classGuid == GUID_DEVCLASS_DISKDRIVE) {
        device.driverInf = u"disk.inf";
        device.driverVersion.clear();
        device.service = u"disk";
        device.description = u"Disk drive";
    }
}

}  // namespace

void Reboot(Machine &machine)
{
    for (auto &[name, state] : machine.features) {
        if (state == "EnablePending") {
            state = "Enabled";
            if (name == "MultipathIo" && !FindMpioBusDevice(machine))
                AddMpioBusDevice(machine);
        } else if (state == "DisablePending") {
            state = "Disabled";
            if (name == "MultipathIo")
                if (Device *bus = FindMpioBusDevice(machine))
                    bus->removed = true;
        }
    }
    const std::vector<Text> supportedDevices =
        ReadMultiString(machine, kSupportedDevicesKey, kSupportedDevicesValue);
    for (auto &device : machine.devices) {
        if (device.status & DN_WILL_BE_REMOVED)
            device.removed = true;
        device.status &= ~static_cast<uint32_t>(DN_NEED_RESTART);
        Enumerate(device, supportedDevices);
    }
    // A service marked for deletion goes with its whole key.
    if (RegKey *services = FindKey(machine, kServicesKeyPath)) {
        for (auto it = services->subkeys.begin(); it != services->subkeys.end();) {
            auto service = ServiceOf(it->second);
            it = service && service->markedForDelete ? services->subkeys.erase(it) : std::next(it);
        }
    }
    machine.rebootPending = false;
}

bool CompleteRequestedReboot(Machine &machine, size_t firstRecord)
{
    for (size_t i = firstRecord; i < machine.reboots.size(); i++) {
        if (machine.reboots[i].flags & (EWX_REBOOT | EWX_SHUTDOWN | EWX_POWEROFF)) {
            Reboot(machine);
            return true;
        }
    }
    return false;
}

}  // namespace winsim
