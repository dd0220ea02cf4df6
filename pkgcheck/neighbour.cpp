#include "neighbour.h"

#include <algorithm>

#include "common/product.h"
#include "hosttools/hosttools.h"
#include "inf_text.h"
#include "test_machine.h"

namespace pkgcheck {

using winsim::Narrow;
using winsim::Widen;

namespace {

const char kNeighbourInf[] = "hlcdsm.inf";
const char kNeighbourHwid[] = "Root\\HLCDSM";

// Arrays of vendors that no test package is likely to name; the first whose
// string and disks stay clear of the package's is the neighbour's.
const char *const kNeighbourModels[] = {"HALCYON MERIDIAN-5      ", "TIDEMARKSOUNDING-3      ",
                                        "ZEPHYRN CALDERA-2       "};

std::string DsmInf(const std::string &model)
{
    const std::string key = Narrow(SUPPORTED_DEVICES_KEY), value = Narrow(SUPPORTED_DEVICES_VALUE);
    const std::string models = "%DsmDescription% = HlcDsmInstall, " + std::string(kNeighbourHwid) + "\n";
    return "; The DSM of another vendor, installed before the package under check.\n"
           "\n"
           "[Version]\n"
           "Signature   = \"$WINDOWS NT$\"\n"
           "Class       = System\n"
           "ClassGuid   = {4D36E97D-E325-11CE-BFC1-08002BE10318}\n"
           "Provider    = %Provider%\n"
           "DriverVer   = 03/14/2025,3.1.0.0\n"
           "CatalogFile = hlcdsm.cat\n"
           "\n"
           "[SourceDisksNames]\n1 = %DiskName%,,,\n\n"
           "[SourceDisksFiles]\nhlcdsm.sys = 1\n\n"
           "[DestinationDirs]\nDefaultDestDir = 12\n\n"
           "[Manufacturer]\n%Provider% = HalcyonDsm, NTx86, NTamd64\n\n"
           "[HalcyonDsm]\n" + models + "\n"
           "[HalcyonDsm.NTx86]\n" + models + "\n"
           "[HalcyonDsm.NTamd64]\n" + models + "\n"
           "[HlcDsmInstall]\nCopyFiles = HlcDsmDriverFiles\nAddReg    = HlcDsmSupportedDevices\n\n"
           "[HlcDsmInstall.Services]\nAddService = hlcdsm, 0x00000002, HlcDsmServiceInstall\n\n"
           "[HlcDsmDriverFiles]\nhlcdsm.sys\n\n"
           "[HlcDsmSupportedDevices]\nHKLM, " + key + ", " + value + ", 0x00010008, \"" + model + "\"\n\n"
           "[HlcDsmServiceInstall]\n"
           "DisplayName    = %DsmServiceName%\n"
           "ServiceType    = 1\n"
           "StartType      = 0\n"
           "ErrorControl   = 1\n"
           "ServiceBinary  = %12%\\hlcdsm.sys\n"
           "LoadOrderGroup = System Bus Extender\n\n"
           "[DefaultUninstall]\nDelFiles = HlcDsmDriverFiles\nDelReg   = HlcDsmSupportedDevicesRemove\n\n"
           "[DefaultUninstall.Services]\nDelService = hlcdsm, 0x00000200\n\n"
           "[HlcDsmSupportedDevicesRemove]\nHKLM, " + key + ", " + value + ", 0x00018002, \"" + model + "\"\n\n"
           "[Strings]\n"
           "Provider       = \"Halcyon Data Systems\"\n"
           "DiskName       = \"Halcyon Meridian DSM Disk\"\n"
           "DsmDescription = \"Halcyon Meridian Device Specific Module\"\n"
           "DsmServiceName = \"Halcyon Meridian DSM\"\n";
}

// Another vendor's copy of a base INF: the same sections, other bytes, so
// that the setup library holds it as a driver package of its own.
std::string OtherVendorsCopy(std::string bytes)
{
    const std::string comment = "\r\n; the neighbour vendor's copy\r\n";
    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    for (char c : comment) {
        bytes += c;
        if (utf16)
            bytes += '\0';
    }
    return bytes;
}

// The hardware IDs of a disk of a model, as its SCSI port reports them.
std::vector<Text> DiskIds(const std::string &model) { return *ArrayDisk(model, 0).hardwareIds; }

// Whether a candidate model stays clear of the package: none of the
// package's strings covers its disks, and it covers none of the package's.
bool ClearOfThePackage(const std::string &candidate, const std::vector<Text> &packageStrings,
                       const std::vector<std::string> &diskModels)
{
    if (winsim::SupportedDeviceListCovers(packageStrings, DiskIds(candidate)))
        return false;
    for (const std::string &model : diskModels)
        if (winsim::SupportedDeviceListCovers({Widen(candidate)}, DiskIds(model)))
            return false;
    return true;
}

std::string DeviceState(const winsim::Device &device)
{
    std::string state = device.service.empty() ? "no driver" : "driver " + Narrow(device.service);
    if (device.status & DN_WILL_BE_REMOVED)
        state += ", to be removed";
    if (device.problem)
        state += ", problem " + std::to_string(device.problem);
    return state;
}

template <typename Map>
void CompareStates(const char *kind, const Map &before, const Map &after, std::vector<std::string> &changes)
{
    for (const auto &[name, state] : before) {
        auto now = after.find(name);
        if (now == after.end())
            changes.push_back(std::string(kind) + " " + name + " is gone");
        else if (now->second != state)
            changes.push_back(std::string(kind) + " " + name + ": " + state + " before, now " + now->second);
    }
}

}  // namespace

Neighbour MakeNeighbour(const Package &package, const std::vector<std::string> &diskModels,
                        const std::filesystem::path &dir)
{
    const std::vector<Text> packageStrings = SupportedDeviceStrings(package.Dsm());
    std::string model = kNeighbourModels[0];
    for (const char *candidate : kNeighbourModels)
        if (ClearOfThePackage(candidate, packageStrings, diskModels)) {
            model = candidate;
            break;
        }

    std::filesystem::create_directories(dir);
    std::filesystem::copy(package.dir, dir, std::filesystem::copy_options::recursive);
    for (const InfDocument &base : package.infs)
        if (base.role != Role::Dsm)
            if (auto bytes = hosttools::ReadFile(base.path))
                hosttools::WriteFile((dir / std::filesystem::path(base.path).filename()).string(),
                                     OtherVendorsCopy(*bytes));
    hosttools::WriteFile((dir / kNeighbourInf).string(), DsmInf(model));
    hosttools::WriteFile((dir / "hlcdsm.sys").string(), "MZ the neighbour's DSM driver (placeholder)\n");
    hosttools::WriteFile((dir / "hlcdsm.cat").string(), "the neighbour's catalog (placeholder)\n");

    Neighbour neighbour{LoadPackage(dir.string(), kNeighbourInf, kNeighbourHwid), {}, model};
    neighbour.strings = SupportedDeviceStrings(neighbour.package.Dsm());
    return neighbour;
}

NeighbourState SnapshotNeighbour(winsim::Machine &machine, const Neighbour &neighbour, const std::vector<Text> &disks,
                                 const std::vector<Text> &services)
{
    NeighbourState state;
    const std::vector<Text> list = winsim::ReadMultiString(machine, SUPPORTED_DEVICES_KEY, SUPPORTED_DEVICES_VALUE);
    for (const Text &string : neighbour.strings)
        if (winsim::ContainsNoCase(list, string))
            state.strings.push_back(string);
    state.filters = winsim::ReadMultiString(machine, UPPER_FILTERS_KEY, UPPER_FILTERS_VALUE);
    for (const Text &id :
         {Widen(neighbour.package.dsmHwid), Text(MPIO_BUS_HARDWARE_ID_OLD), Text(MPIO_BUS_HARDWARE_ID_NEW)})
        for (const winsim::Device *device : winsim::DevicesWithHardwareId(machine, id))
            state.devices[Narrow(device->instanceId) + " (" + Narrow(id) + ")"] = DeviceState(*device);
    for (const Text &id : disks) {
        const winsim::Device *disk = winsim::FindDevice(machine, id);
        if (disk == nullptr || disk->removed)
            continue;
        const bool claimed = disk->hardwareIds && winsim::ContainsNoCase(*disk->hardwareIds, MPIO_DISK_HARDWARE_ID);
        state.disks[Narrow(id)] = (claimed ? "claimed by MPIO, " : "not claimed, ") + DeviceState(*disk);
    }
    for (const winsim::Service &service : winsim::Services(machine))
        if (winsim::ContainsNoCase(services, service.name))
            state.services[Narrow(service.name)] =
                "start " + (service.start ? std::to_string(*service.start) : std::string("absent")) +
                (service.markedForDelete ? ", marked for deletion" : "");
    if (auto feature = machine.features.find("MultipathIo"); feature != machine.features.end())
        state.feature = feature->second;
    return state;
}

std::vector<std::string> NeighbourChanges(const NeighbourState &before, const NeighbourState &after)
{
    std::vector<std::string> changes;
    for (const Text &string : before.strings)
        if (!winsim::ContainsNoCase(after.strings, string))
            changes.push_back(Narrow(SUPPORTED_DEVICES_VALUE) + " lost " + InQuotes(string));
    for (const Text &filter : before.filters)
        if (!winsim::ContainsNoCase(after.filters, filter))
            changes.push_back(Narrow(UPPER_FILTERS_VALUE) + " lost " + InQuotes(filter));
    CompareStates("device", before.devices, after.devices, changes);
    CompareStates("disk", before.disks, after.disks, changes);
    CompareStates("service", before.services, after.services, changes);
    if (before.feature != after.feature)
        changes.push_back("MultipathIo " + before.feature + " before, now " +
                          (after.feature.empty() ? std::string("absent") : after.feature));
    return changes;
}

}  // namespace pkgcheck
