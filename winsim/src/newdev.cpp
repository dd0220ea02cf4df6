// The new-device library: installing an INF's driver on every present device
// that carries a hardware ID, as the INF's [Manufacturer] and models sections
// select it.
#include <set>

#include "setupapi_internal.h"

using namespace winsim;
using namespace winsim::setup;

namespace {

struct Driver {
    Text description;
    const inf::Section *install = nullptr;
};

// The INF's driver for a device: the models line that matches the device's
// earliest hardware ID; its install section with the best platform suffix.
std::optional<Driver> SelectDriver(const inf::InfFile &file, const Device &device, const OsInfo &os)
{
    if (!device.hardwareIds)
        return std::nullopt;
    for (const Text &id : *device.hardwareIds) {
        const std::vector<inf::ModelLine> lines = inf::ModelLines(file, os, id);
        if (lines.empty())
            continue;
        const inf::Line &model = *lines.front().line;
        Driver driver{model.key ? *model.key : Text(), inf::InstallSection(file, model.fields[0], os)};
        if (driver.install == nullptr)
            return std::nullopt;
        return driver;
    }
    return std::nullopt;
}

// The version of a driver: its install section's DriverVer, which takes
// precedence, else the [Version] one; empty when neither gives one.
Text DriverVersion(const inf::InfFile &file, const inf::Section &install)
{
    for (const Text &section : {install.name, Text(u"Version")}) {
        if (const inf::Line *line = file.FindLine(section, u"DriverVer")) {
            const inf::DriverVerReading reading = inf::ParseDriverVer(*line);
            return reading.driverVer ? reading.driverVer->versionText : Text();
        }
    }
    return Text();
}

// The present devices that carry the hardware ID.
std::vector<DEVINST> MatchingDevices(const Machine &machine, const Text &hardwareId)
{
    std::vector<DEVINST> matching;
    for (size_t i = 0; i < machine.devices.size(); i++) {
        const Device &device = machine.devices[i];
        if (!device.removed && device.registered && device.present && device.hardwareIds &&
            ContainsNoCase(*device.hardwareIds, hardwareId))
            matching.push_back(static_cast<DEVINST>(i + 1));
    }
    return matching;
}

// The devices to install on, with their drivers: without force, a device
// that already runs this very INF keeps it.  0, or the error to fail with.
uint32_t SelectTargets(const LoadedInf &loaded, const std::vector<DEVINST> &matching, DWORD installFlags,
                       std::vector<std::pair<DEVINST, Driver>> &targets)
{
    const Machine &machine = Current();
    std::optional<Text> storedName;
    for (const DriverStoreEntry &entry : machine.driverStore)
        if (entry.content == loaded.bytes)
            storedName = entry.publishedName;
    // The many paths to one LUN carry equal IDs: a driver is chosen once
    // for a run of devices with equal lists.
    const std::optional<TextList> *chosenFor = nullptr;
    std::optional<Driver> chosen;
    for (DEVINST devInst : matching) {
        const Device &device = machine.devices[devInst - 1];
        if (!(installFlags & INSTALLFLAG_FORCE) && storedName && EqualNoCase(device.driverInf, *storedName))
            continue;
        if (chosenFor == nullptr || *chosenFor != device.hardwareIds)
            chosen = SelectDriver(*loaded.file, device, machine.os);
        chosenFor = &device.hardwareIds;
        if (!chosen)
            return ERROR_NO_COMPAT_DRIVERS;
        targets.emplace_back(devInst, *chosen);
    }
    return targets.empty() ? ERROR_NO_MORE_ITEMS : 0;
}

// Installs the driver on one device: files, class, registry, services; the
// device then runs it.  'reboot' is set when the device needs a restart.
// The files of an install section are copied once a call ('filesCopied'):
// copying them again for the next device would find and record the same.
uint32_t InstallOnDevice(const LoadedInf &loaded, DEVINST devInst, const Driver &driver, DWORD installFlags,
                         const Text &published, std::set<const inf::Section *> &filesCopied, bool &reboot)
{
    // Device references are taken afresh: installing never adds devices,
    // but keep no reference across the engine's calls.
    Machine &machine = Current();
    if (!(installFlags & INSTALLFLAG_READONLY) && filesCopied.insert(driver.install).second)
        if (uint32_t error = InstallFiles(loaded, *driver.install, FileQueueHandler{}, nullptr))
            return error;
    GUID classGuid{};
    Text className;
    if (InfClass(*loaded.file, classGuid, className) == 0)
        machine.devices[devInst - 1].classGuid = classGuid;
    if (uint32_t error = InstallRegistry(loaded, *driver.install, SoftwareKey(machine.devices[devInst - 1], devInst)))
        return error;
    std::optional<Text> service;
    if (const inf::Section *services = inf::ServicesSection(*loaded.file, *driver.install))
        if (uint32_t error = InstallServices(loaded, *services, &service))
            return error;
    if (!service)
        return ERROR_NO_ASSOCIATED_SERVICE;

    Device &device = machine.devices[devInst - 1];
    device.driverInf = published;
    device.driverVersion = DriverVersion(*loaded.file, *driver.install);
    device.service = *service;
    device.description = driver.description;
    device.problem = 0;
    device.status &= ~static_cast<uint32_t>(DN_HAS_PROBLEM);
    device.status |= DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER;
    if (device.installFlagsAfterChange & (DI_NEEDREBOOT | DI_NEEDRESTART)) {
        device.status |= DN_NEED_RESTART;
        machine.rebootPending = true;
        reboot = true;
    }
    return 0;
}

}  // namespace

BOOL UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR hardwareId, LPCWSTR fullInfPath, DWORD installFlags,
                                        PBOOL rebootRequired)
{
    Text id = TextOf(hardwareId);
    Trace("UpdateDriverForPlugAndPlayDevicesW",
          "hwid=" + Narrow(id) + " inf=" + TextArg(fullInfPath) +
              " flags=" + Hex(installFlags));
    if (auto fault = CheckFault("UpdateDriverForPlugAndPlayDevicesW", id))
        return FailBool(*fault);
    if (hardwareId == nullptr || fullInfPath == nullptr || id.empty())
        return FailBool(ERROR_INVALID_PARAMETER);
    if (installFlags & ~static_cast<DWORD>(INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE))
        return FailBool(ERROR_INVALID_FLAGS);
    LoadedInf loaded;
    if (uint32_t error = LoadInf(fullInfPath, loaded))
        return FailBool(error);

    std::vector<DEVINST> matching = MatchingDevices(Current(), id);
    if (matching.empty())
        return FailBool(ERROR_NO_SUCH_DEVINST);
    std::vector<std::pair<DEVINST, Driver>> targets;
    if (uint32_t error = SelectTargets(loaded, matching, installFlags, targets))
        return FailBool(error);
    Text published;
    PublishInf(loaded, published);
    bool reboot = false;
    std::set<const inf::Section *> filesCopied;
    for (const auto &[devInst, driver] : targets)
        if (uint32_t error = InstallOnDevice(loaded, devInst, driver, installFlags, published, filesCopied, reboot))
            return FailBool(error);
    if (rebootRequired)
        *rebootRequired = reboot ? TRUE : FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
