// The built-in default machine: a server (10.0 build 17763) with two storage
// adapters, three SCSI disks of two products and no multipath support; and
// the Windows versions the machine stands in for.
#include <algorithm>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

namespace {

Device MakeDevice(const Text &instanceId, const GUID &cls, std::vector<Text> hardwareIds, const Text &description,
                  const Text &service)
{
    Device device;
    device.instanceId = instanceId;
    device.classGuid = cls;
    device.hardwareIds = std::move(hardwareIds);
    device.description = description;
    device.enumerator = EnumeratorOf(instanceId);
    device.configFlags = 0;
    device.service = service;
    return device;
}

void AddDevices(Machine &m)
{
    m.devices.push_back(MakeDevice(u"PCI\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A&REV_01\\4&1C2B3A4D&0&0010",
                                   GUID_DEVCLASS_SCSIADAPTER,
                                   {u"PCI\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A&REV_01",
                                    u"PCI\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A", u"PCI\\VEN_1D7A&DEV_0A31&CC_010700",
                                    u"PCI\\VEN_1D7A&DEV_0A31&CC_0107"},
                                   u"Brightwater 12G SAS Host Bus Adapter", u"bwsas"));
    m.devices.push_back(MakeDevice(u"PCI\\VEN_1E4B&DEV_2210&SUBSYS_22101E4B&REV_02\\4&3F0E9A12&0&0018",
                                   GUID_DEVCLASS_SCSIADAPTER,
                                   {u"PCI\\VEN_1E4B&DEV_2210&SUBSYS_22101E4B&REV_02",
                                    u"PCI\\VEN_1E4B&DEV_2210&SUBSYS_22101E4B", u"PCI\\VEN_1E4B&DEV_2210&CC_0C0400",
                                    u"PCI\\VEN_1E4B&DEV_2210&CC_0C04"},
                                   u"Korvane 16Gb Fibre Channel Adapter", u"korvfc"));
    m.devices.push_back(ScsiDisk("QUORVEX ", "LUMENSTRIDE     ", "0100", u"5&2B3C4D5E&0&000000"));
    m.devices.push_back(ScsiDisk("QUORVEX ", "LUMENSTRIDE     ", "0100", u"5&2B3C4D5E&0&000100"));
    m.devices.push_back(ScsiDisk("TESSELLA", "ORBIT-2         ", "0220", u"5&11A0C3F7&0&010000"));
    m.devices.push_back(MakeDevice(u"ACPI\\PNP0A08\\0", GUID_DEVCLASS_SYSTEM, {u"ACPI\\PNP0A08", u"*PNP0A08"},
                                   u"PCI Express Root Complex", u"pci"));
    m.devices.push_back(MakeDevice(u"ROOT\\VOLMGR\\0000", GUID_DEVCLASS_SYSTEM, {u"ROOT\\VOLMGR"},
                                   u"Volume Manager", u"volmgr"));
    m.devices.back().status |= DN_ROOT_ENUMERATED;
    m.devices.push_back(MakeDevice(u"ACPI\\ACPI0010\\2&DABA3FF&1", GUID_DEVCLASS_SYSTEM,
                                   {u"ACPI\\ACPI0010", u"*ACPI0010"}, u"Generic Bus", Text()));
}

void AddClassKeys(Machine &m)
{
    const Text classRoot = u"SYSTEM\\CurrentControlSet\\Control\\Class\\";
    for (const KnownClass &known : kKnownClasses)
        SetValueIn(*FindKey(m, classRoot + Widen(GuidToString(known.guid)), true), u"Class", REG_SZ,
                   StringBytes(known.name));
}

// The drivers of its devices, as service keys: kernel drivers (type 1)
// started by the boot loader (start 0), error control normal (1).
void AddServices(Machine &m)
{
    struct {
        const char16_t *name, *display, *binary;
    } services[] = {
        {u"bwsas", u"Brightwater SAS Miniport", u"System32\\drivers\\bwsas.sys"},
        {u"korvfc", u"Korvane Fibre Channel Miniport", u"System32\\drivers\\korvfc.sys"},
        {u"disk", u"Disk Driver", u"System32\\drivers\\disk.sys"},
        {u"pci", u"PCI Bus Driver", u"System32\\drivers\\pci.sys"},
        {u"volmgr", u"Volume Manager Driver", u"System32\\drivers\\volmgr.sys"},
    };
    for (const auto &s : services) {
        RegKey &key = *FindKey(m, Text(kServicesKeyPath) + u"\\" + s.name, true);
        SetValueIn(key, u"Type", REG_DWORD, DwordBytes(1));
        SetValueIn(key, u"Start", REG_DWORD, DwordBytes(0));
        SetValueIn(key, u"ErrorControl", REG_DWORD, DwordBytes(1));
        SetValueIn(key, u"DisplayName", REG_SZ, StringBytes(s.display));
        SetValueIn(key, u"ImagePath", REG_EXPAND_SZ, StringBytes(s.binary));
    }
}

}  // namespace

Device ScsiDisk(const std::string &vendor, const std::string &product, const std::string &rev,
                const Text &instanceSuffix, const std::string &enumerator)
{
    auto underscored = [](std::string text) {
        std::replace(text.begin(), text.end(), ' ', '_');
        return text;
    };
    auto trimmed = [](std::string text) {
        text.erase(text.find_last_not_of(' ') + 1);
        return text;
    };
    const std::string v = underscored(vendor), p = underscored(product), first = rev.substr(0, 1);
    std::vector<Text> ids = {Widen(enumerator + "\\Disk" + v + p + rev), Widen(enumerator + "\\Disk" + v + p),
                             Widen(enumerator + "\\Disk" + v),           Widen(enumerator + "\\" + v + p + first),
                             Widen(v + p + first),                       kGenericDiskId};
    const Text instance = Widen(enumerator + "\\DISK&VEN_" + trimmed(vendor) + "&PROD_" + trimmed(product) +
                                "&REV_" + rev + "\\") +
                          instanceSuffix;
    return MakeDevice(instance, GUID_DEVCLASS_DISKDRIVE, std::move(ids),
                      Widen(trimmed(vendor) + " " + trimmed(product) + " SCSI Disk Device"), u"disk");
}

const std::vector<OsInfo> &KnownWindowsVersions()
{
    static const std::vector<OsInfo> versions = {
        {5, 0, 2195, Text(), std::string()}, {5, 1, 2600, Text(), std::string()},
        {5, 2, 3790, Text(), std::string()}, {6, 0, 6002, Text(), std::string()},
        {6, 1, 7601, Text(), std::string()}, {6, 2, 9200, Text(), std::string()},
        {6, 3, 9600, Text(), std::string()}, {10, 0, 17763, Text(), std::string()},
    };
    return versions;
}

std::optional<OsInfo> KnownWindowsVersion(uint32_t major, uint32_t minor)
{
    for (const OsInfo &version : KnownWindowsVersions())
        if (version.major == major && version.minor == minor)
            return version;
    return std::nullopt;
}

Device ScsiDisk(std::string vendorAndProduct, const std::string &rev, const Text &instanceSuffix)
{
    vendorAndProduct.resize(kSupportedDeviceUnits, ' ');
    return ScsiDisk(vendorAndProduct.substr(0, 8), vendorAndProduct.substr(8), rev, instanceSuffix);
}

Machine DefaultMachine()
{
    Machine m;
    m.os = *KnownWindowsVersion(10, 0);
    m.interactive = true;
    AddDevices(m);
    AddClassKeys(m);
    AddServices(m);
    m.features["MultipathIo"] = "Disabled";
    m.dism = DismConfig{0, "mark"};
    return m;
}

}  // namespace winsim
