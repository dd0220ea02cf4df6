// The new-device library: installing an INF's driver on every present device
// that carries a hardware ID, as the INF's [Manufacturer] and models sections
// select it.
#include "setupapi_internal.h"

using namespace winsim;
using namespace winsim::setup;

namespace {

struct Decoration {
    bool applies = false;
    bool hasArch = false;
    uint32_t major = 0, minor = 0, build = 0;
};

bool ReadNumber(const Text &text, uint32_t &value)
{
    auto parsed = inf::ParseInt(text);
    if (!parsed || *parsed < 0)
        return false;
    value = static_cast<uint32_t>(*parsed);
    return true;
}

// The platform suffix of this machine's decorations: "NTamd64" or "NTx86".
Text PlatformDecoration(const OsInfo &os)
{
    return Arch(os) == "x86" ? u"NTX86" : u"NTAMD64";
}

// A models-section decoration "NT[arch][.major[.minor[.product[.suite[.build]]]]]",
// judged for this machine: its architecture and its OS version.
Decoration Judge(const Text &decoration, const OsInfo &os)
{
    Decoration out;
    const std::vector<Text> parts = SplitText(decoration, u'.');
    Text platform = Fold(parts[0]);
    if (platform.compare(0, 2, u"NT") != 0)
        return out;
    Text arch = platform.substr(2);
    if (!arch.empty() && u"NT" + arch != PlatformDecoration(os))
        return out;
    out.hasArch = !arch.empty();
    if (parts.size() > 1 && !parts[1].empty() && !ReadNumber(parts[1], out.major))
        return out;
    if (parts.size() > 2 && !parts[2].empty() && !ReadNumber(parts[2], out.minor))
        return out;
    if (parts.size() > 5 && !parts[5].empty() && !ReadNumber(parts[5], out.build))
        return out;
    if (out.major > os.major || (out.major == os.major && out.minor > os.minor))
        return out;
    if (out.build != 0 && out.build > os.build)
        return out;
    out.applies = true;
    return out;
}

bool Better(const Decoration &a, const Decoration &b)
{
    if (a.hasArch != b.hasArch)
        return a.hasArch;
    if (a.major != b.major)
        return a.major > b.major;
    if (a.minor != b.minor)
        return a.minor > b.minor;
    return a.build > b.build;
}

// The models section a [Manufacturer] entry selects on this machine: the
// best decorated one that applies, else the undecorated one.  Windows 2000
// knows no decorations; x64 Windows ignores an undecorated models section.
const inf::Section *ModelsSection(const inf::InfFile &file, const inf::Line &manufacturer, const OsInfo &os)
{
    if (manufacturer.fields.empty())
        return nullptr;
    const Text &base = manufacturer.fields[0];
    if (os.major == 5 && os.minor == 0)
        return file.FindSection(base);
    const inf::Section *best = nullptr;
    Decoration bestDecoration;
    for (size_t i = 1; i < manufacturer.fields.size(); i++) {
        Decoration decoration = Judge(manufacturer.fields[i], os);
        if (!decoration.applies)
            continue;
        const inf::Section *section = file.FindSection(base + u"." + manufacturer.fields[i]);
        if (section && (best == nullptr || Better(decoration, bestDecoration))) {
            best = section;
            bestDecoration = decoration;
        }
    }
    if (best == nullptr && Arch(os) == "x86")
        best = file.FindSection(base);
    return best;
}

struct Driver {
    Text description;
    const inf::Section *install = nullptr;
};

// The INF's driver for a device: the models line that matches the device's
// earliest hardware ID; its install section with the best platform suffix.
std::optional<Driver> SelectDriver(const inf::InfFile &file, const Device &device, const OsInfo &os)
{
    const inf::Section *manufacturers = file.FindSection(u"Manufacturer");
    if (manufacturers == nullptr || !device.hardwareIds)
        return std::nullopt;
    for (const Text &id : *device.hardwareIds) {
        for (const inf::Line &manufacturer : manufacturers->lines) {
            const inf::Section *models = ModelsSection(file, manufacturer, os);
            if (models == nullptr)
                continue;
            for (const inf::Line &model : models->lines) {
                for (size_t i = 1; i < model.fields.size(); i++) {
                    if (!EqualNoCase(model.fields[i], id))
                        continue;
                    Driver driver;
                    driver.description = model.key ? *model.key : Text();
                    const Text platform = Arch(os) == "x86" ? u".NTx86" : u".NTamd64";
                    for (const Text &suffix : {platform, Text(u".NT"), Text()})
                        if (!driver.install)
                            driver.install = file.FindSection(model.fields[0] + suffix);
                    if (driver.install == nullptr)
                        return std::nullopt;
                    return driver;
                }
            }
        }
    }
    return std::nullopt;
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
    for (DEVINST devInst : matching) {
        const Device &device = machine.devices[devInst - 1];
        if (!(installFlags & INSTALLFLAG_FORCE) && storedName && EqualNoCase(device.driverInf, *storedName))
            continue;
        auto driver = SelectDriver(*loaded.file, device, machine.os);
        if (!driver)
            return ERROR_NO_COMPAT_DRIVERS;
        targets.emplace_back(devInst, *driver);
    }
    return targets.empty() ? ERROR_NO_MORE_ITEMS : 0;
}

// Installs the driver on one device: files, class, registry, services; the
// device then runs it.  'reboot' is set when the device needs a restart.
uint32_t InstallOnDevice(const LoadedInf &loaded, DEVINST devInst, const Driver &driver, DWORD installFlags,
                         const Text &published, bool &reboot)
{
    // Device references are taken afresh: installing never adds devices,
    // but keep no reference across the engine's calls.
    Machine &machine = Current();
    if (!(installFlags & INSTALLFLAG_READONLY))
        if (uint32_t error = InstallFiles(loaded, *driver.install, FileQueueHandler{}, nullptr))
            return error;
    GUID classGuid{};
    Text className;
    if (InfClass(*loaded.file, classGuid, className) == 0)
        machine.devices[devInst - 1].classGuid = classGuid;
    if (uint32_t error = InstallRegistry(loaded, *driver.install, SoftwareKey(machine.devices[devInst - 1], devInst)))
        return error;
    std::optional<Text> service;
    if (const inf::Section *services = loaded.file->FindSection(driver.install->name + u".Services"))
        if (uint32_t error = InstallServices(loaded, *services, &service))
            return error;
    if (!service)
        return ERROR_NO_ASSOCIATED_SERVICE;

    Device &device = machine.devices[devInst - 1];
    device.driverInf = published;
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
    for (const auto &[devInst, driver] : targets)
        if (uint32_t error = InstallOnDevice(loaded, devInst, driver, installFlags, published, reboot))
            return FailBool(error);
    if (rebootRequired)
        *rebootRequired = reboot ? TRUE : FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
