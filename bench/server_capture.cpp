// A storage server's description as capture.exe writes it: its layout (one
// device, service or store entry a line; members in capture.exe's order),
// its members (no "dism", "interactive" and the like, which capture.exe
// does not write) and the values a Windows Server 2019 of that shape gives.
#include <cstdio>
#include <string>
#include <vector>

#include "machines.h"
#include "winsim/machine.h"

namespace bench {

namespace {

constexpr const char *kProcessorClass = "{50127DC3-0F36-415E-A6CC-4CB3BE910B65}";
constexpr const char *kVolumeClass = "{71A27CDD-812A-11D0-BEC7-08002BE2092F}";
// DN_DRIVER_LOADED | DN_STARTED | DN_DISABLEABLE | DN_NT_ENUMERATOR | DN_NT_DRIVER
constexpr const char *kStarted = "0x0180200A";

// The servers' releases: build, service pack and the version of their own
// drivers (the disk driver's among them).
struct Release {
    unsigned major, minor;
    const char *build, *csd, *driverVersion;
};
const Release kReleases[] = {
    {5, 2, "3790", "Service Pack 2", "5.2.3790.3959"},
    {6, 1, "7601", "Service Pack 1", "6.1.7601.17514"},
    {10, 0, "17763", "", "10.0.17763.1"},
};

const Release *ReleaseOf(const ServerShape &shape)
{
    for (const Release &release : kReleases)
        if (release.major == shape.osMajor && release.minor == shape.osMinor)
            return &release;
    return nullptr;
}

// A JSON string of text that may hold control characters (INF lines).
std::string Quoted(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\r': quoted += "\\r"; break;
        case '\n': quoted += "\\n"; break;
        case '\t': quoted += "\\t"; break;
        default: quoted += c;
        }
    }
    return quoted + "\"";
}

std::string QuotedList(const std::vector<std::string> &texts)
{
    std::string list = "[";
    for (size_t i = 0; i < texts.size(); i++)
        list += (i ? ", " : "") + Quoted(texts[i]);
    return list + "]";
}

// One device entry, its members in capture.exe's order.
struct DeviceEntry {
    std::string instanceId;
    const char *classGuid;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> compatibleIds;
    std::string description;
    std::string enumerator;
    std::string service;
    std::string driverInf;
    std::string driverVersion;
};

std::string DeviceLine(const DeviceEntry &d)
{
    std::string line = "    {\"instance_id\": " + Quoted(d.instanceId) + ", \"class\": " + Quoted(d.classGuid) +
                       ", \"hardware_ids\": " + QuotedList(d.hardwareIds);
    if (!d.compatibleIds.empty())
        line += ", \"compatible_ids\": " + QuotedList(d.compatibleIds);
    line += ", \"description\": " + Quoted(d.description) + ", \"enumerator\": " + Quoted(d.enumerator) +
            ", \"config_flags\": 0";
    if (!d.service.empty())
        line += ", \"service\": " + Quoted(d.service);
    line += std::string(", \"status\": \"") + kStarted + "\", \"problem\": 0";
    if (!d.driverInf.empty())
        line += ", \"driver_inf\": " + Quoted(d.driverInf) + ", \"driver_version\": " + Quoted(d.driverVersion);
    return line + "}";
}

std::string Hex(const char *format, size_t value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The devices of a server board: root complex, bridges, processors, the
// platform's own devices and volumes, each kind a few times.
struct SystemKind {
    const char *idFormat;       // instance ID with one %zX for the device's number
    const char *classGuid;
    const char *hardwareId;
    const char *compatibleId;   // empty: none
    const char *description;
    const char *enumerator;
    const char *service;
    const char *inf;
    size_t count;
};

const SystemKind kSystemKinds[] = {
    {"ACPI\\PNP0A08\\%zX", kSystemClass, "ACPI\\PNP0A08", "*PNP0A03", "PCI Express Root Complex", "ACPI", "pci",
     "machine.inf", 4},
    {"ACPI\\ACPI0007\\%zX", kProcessorClass, "ACPI\\ACPI0007", "", "Processor", "ACPI", "processr",
     "cpu.inf", 64},
    {"PCI\\VEN_1F3C&DEV_0480&SUBSYS_04801F3C&REV_00\\3&2411E6FE&0&%02zX", kSystemClass,
     "PCI\\VEN_1F3C&DEV_0480&SUBSYS_04801F3C&REV_00", "PCI\\CC_060400", "PCI Express Root Port", "PCI", "pci",
     "machine.inf", 24},
    {"ACPI\\PNP0C02\\%zX", kSystemClass, "ACPI\\PNP0C02", "", "Motherboard resources", "ACPI", "", "machine.inf", 6},
    {"ACPI\\PNP0B00\\%zX", kSystemClass, "ACPI\\PNP0B00", "", "System CMOS/real time clock", "ACPI", "",
     "machine.inf", 1},
    {"ACPI\\PNP0103\\%zX", kSystemClass, "ACPI\\PNP0103", "", "High precision event timer", "ACPI", "",
     "machine.inf", 1},
    {"ROOT\\ACPI_HAL\\%04zX", kSystemClass, "acpiapic", "", "ACPI x64-based PC", "ROOT", "", "hal.inf", 1},
    {"ACPI_HAL\\PNP0C08\\%zX", kSystemClass, "ACPI_HAL\\PNP0C08", "*PNP0C08", "Microsoft ACPI-Compliant System",
     "ACPI_HAL", "ACPI", "acpi.inf", 1},
    {"ROOT\\SYSTEM\\%04zX", kSystemClass, "ROOT\\SWENUM", "", "Plug and Play Software Device Enumerator", "ROOT",
     "swenum", "swenum.inf", 3},
    {"STORAGE\\VOLUME\\{A1B2C3D4-0000-0000-0000-%012zX}", kVolumeClass, "STORAGE\\Volume", "", "Volume", "STORAGE",
     "volume", "volume.inf", 8},
};

void AddSystemDevices(std::vector<DeviceEntry> &devices, const char *driverVersion)
{
    for (const SystemKind &kind : kSystemKinds)
        for (size_t n = 0; n < kind.count; n++)
            devices.push_back({Hex(kind.idFormat, n), kind.classGuid, {kind.hardwareId},
                               *kind.compatibleId ? std::vector<std::string>{kind.compatibleId}
                                                  : std::vector<std::string>{},
                               kind.description, kind.enumerator, kind.service, kind.inf, driverVersion});
}

constexpr const char *kAdapterIds = "PCI\\VEN_1D7A&DEV_0A31";

DeviceEntry Adapter(size_t index)
{
    const std::string ids = kAdapterIds;
    return {ids + "&SUBSYS_00011D7A&REV_01\\4&" + Hex("%08zX", 0x1C2B3A4D + 0x1000 * index) + "&0&0010",
            kScsiAdapterClass,
            {ids + "&SUBSYS_00011D7A&REV_01", ids + "&SUBSYS_00011D7A", ids + "&CC_010700", ids + "&CC_0107"},
            {ids + "&REV_01", ids, "PCI\\VEN_1D7A&CC_010700", "PCI\\VEN_1D7A&CC_0107", "PCI\\VEN_1D7A",
             "PCI\\CC_010700", "PCI\\CC_0107"},
            "Brightwater 12G SAS Host Bus Adapter", "PCI", "bwsas", "oem0.inf", "2.4.1.0"};
}

// LUN 'lun' as adapter 'path' sees it: the instance ID's last part names
// the adapter's port and the target and LUN, as a SCSI port does.
DeviceEntry Disk(size_t path, size_t lun, const char *driverVersion)
{
    const std::string suffix =
        "5&" + Hex("%08zX", 0x2F1E0D3C + 0x10000 * path) + "&0&00" + Hex("%02zX", lun / 256) + Hex("%02zX", lun % 256);
    const winsim::Device disk = winsim::ScsiDisk("QUORVEX ", "LUMENSTRIDE     ", "0100", winsim::Widen(suffix));
    DeviceEntry entry{winsim::Narrow(disk.instanceId), kDiskClass, {}, {"SCSI\\Disk", "SCSI\\RAW"},
                      winsim::Narrow(*disk.description), "SCSI", "disk", "disk.inf", driverVersion};
    for (const winsim::Text &id : *disk.hardwareIds)
        entry.hardwareIds.push_back(winsim::Narrow(id));
    return entry;
}

// The services: the drivers of the devices above, then further kernel
// drivers and Windows services up to the count.
struct ServiceEntry {
    std::string name, displayName, binary;
    unsigned type, start;
};

std::vector<ServiceEntry> ServiceList(size_t count)
{
    std::vector<ServiceEntry> services = {
        {"ACPI", "Microsoft ACPI Driver", "System32\\drivers\\ACPI.sys", 1, 0},
        {"processr", "Processor Driver", "\\SystemRoot\\System32\\drivers\\processr.sys", 1, 3},
        {"bwsas", "Brightwater SAS Miniport", "\\SystemRoot\\System32\\drivers\\bwsas.sys", 1, 0},
        {"disk", "Disk Driver", "\\SystemRoot\\System32\\drivers\\disk.sys", 1, 0},
        {"partmgr", "Partition driver", "System32\\drivers\\partmgr.sys", 1, 0},
        {"pci", "PCI Bus Driver", "System32\\drivers\\pci.sys", 1, 0},
        {"swenum", "Software Bus Driver", "\\SystemRoot\\System32\\DriverStore\\swenum.sys", 1, 3},
        {"volmgr", "Volume Manager Driver", "System32\\drivers\\volmgr.sys", 1, 0},
        {"volume", "Volume driver", "\\SystemRoot\\System32\\drivers\\volume.sys", 1, 3},
    };
    for (size_t i = services.size(); i < count; i++) {
        const bool driver = i % 3 == 0;
        const std::string name = (driver ? "drv" : "svc") + Hex("%03zu", i);
        services.push_back({name, (driver ? "Kernel driver " : "Windows service ") + Hex("%zu", i),
                            driver ? "\\SystemRoot\\System32\\drivers\\" + name + ".sys"
                                   : "C:\\Windows\\system32\\svchost.exe -k netsvcs -p",
                            driver ? 1u : 32u, driver ? 3u : 2u});
    }
    return services;
}

std::string ServiceLine(const ServiceEntry &s)
{
    return "    " + Quoted(s.name) + ": {\"display_name\": " + Quoted(s.displayName) +
           ", \"binary\": " + Quoted(s.binary) + ", \"type\": " + std::to_string(s.type) +
           ", \"start\": " + std::to_string(s.start) + ", \"error_control\": 1}";
}

// The published INFs: a short driver INF for each of three drivers.
std::string StoreInf(const char *name, const char *maker, const char *classGuid, const char *className,
                     const char *hardwareId)
{
    const std::string n = name;
    return "; " + n + ".inf\r\n\r\n[Version]\r\nSignature   = \"$Windows NT$\"\r\nClass       = " + className +
           "\r\nClassGuid   = " + classGuid + "\r\nProvider    = %Maker%\r\nDriverVer   = 03/14/2026,2.4.1.0\r\n"
           "CatalogFile = " + n + ".cat\r\n\r\n[Manufacturer]\r\n%Maker% = Models,NTamd64\r\n\r\n"
           "[Models.NTamd64]\r\n%Desc% = Install, " + hardwareId + "\r\n\r\n[Install.NTamd64]\r\n"
           "CopyFiles = Files\r\n\r\n[Install.NTamd64.Services]\r\nAddService = " + n +
           ", 0x2, Service\r\n\r\n[Service]\r\nServiceType   = 1\r\nStartType     = 0\r\n"
           "ErrorControl  = 1\r\nServiceBinary = %12%\\" + n + ".sys\r\n\r\n[Files]\r\n" + n +
           ".sys\r\n\r\n[DestinationDirs]\r\nFiles = 12\r\n\r\n[SourceDisksNames]\r\n1 = %Disk%\r\n\r\n"
           "[SourceDisksFiles]\r\n" + n + ".sys = 1\r\n\r\n[Strings]\r\nMaker = \"" + maker + "\"\r\n"
           "Desc  = \"" + n + " device\"\r\nDisk  = \"" + n + " driver disk\"\r\n";
}

std::string StoreLine(size_t index, const char *name, const std::string &content)
{
    return "    {\"published_name\": \"oem" + std::to_string(index) + ".inf\", \"original_path\": " +
           Quoted(std::string(name) + ".inf") + ", \"content\": " + Quoted(content) + "}";
}

// Elements on lines of their own, as capture.exe writes a container.
std::string Lines(const std::string &open, const std::vector<std::string> &lines, const std::string &close)
{
    std::string text = open;
    for (size_t i = 0; i < lines.size(); i++)
        text += (i ? ",\n" : "\n") + lines[i];
    return text + (lines.empty() ? "" : "\n  ") + close;
}

}  // namespace

std::string ServerCaptureJson(const ServerShape &shape)
{
    const Release *release = ReleaseOf(shape);
    if (release == nullptr)
        return std::string();
    std::vector<DeviceEntry> devices;
    AddSystemDevices(devices, release->driverVersion);
    for (size_t path = 0; path < shape.adapters; path++)
        devices.push_back(Adapter(path));
    std::string json = "{\n  \"os\": {\"major\": " + std::to_string(shape.osMajor) + ", \"minor\": " +
                       std::to_string(shape.osMinor) + ", \"build\": " + release->build + ", \"csd\": " +
                       Quoted(release->csd) + ", \"arch\": \"amd64\"},\n  \"clock\": {\"time\": "
                       "\"2026-12-09 10:20:30.123\"},\n  \"devices\": [";
    for (size_t i = 0; i < devices.size(); i++)
        json += (i ? ",\n" : "\n") + DeviceLine(devices[i]);
    // Each path's disks together, as the setup library lists them.
    for (size_t path = 0; path < shape.adapters; path++)
        for (size_t lun = 0; lun < shape.luns; lun++)
            json += ",\n" + DeviceLine(Disk(path, lun, release->driverVersion));
    json += "\n  ],\n";

    const std::string classRoot = "    \"SYSTEM\\\\CurrentControlSet\\\\Control\\\\Class\\\\";
    json += "  \"registry\": {\n";
    json += classRoot + kScsiAdapterClass + "\": {\n      \"values\": {}\n    },\n";
    json += classRoot + kDiskClass + "\": {\n      \"values\": {\n        \"UpperFilters\": {\"type\": "
            "\"REG_MULTI_SZ\", \"data\": [\"partmgr\"]}\n      }\n    },\n";
    json += classRoot + kSystemClass + "\": {\n      \"values\": {}\n    }\n  },\n";

    std::vector<std::string> lines;
    for (const ServiceEntry &service : ServiceList(shape.services))
        lines.push_back(ServiceLine(service));
    json += Lines("  \"services\": {", lines, "}") + ",\n";
    // Windows asks its servicing tool from 6.1 on; 6.0 has none (a note).
    if (shape.osMajor > 6 || (shape.osMajor == 6 && shape.osMinor >= 1))
        json += "  \"features\": {\"MultipathIo\": \"Disabled\"},\n";

    const struct {
        const char *name, *maker, *classGuid, *className, *hardwareId;
    } infs[] = {{"bwsas", "Brightwater", kScsiAdapterClass, "SCSIAdapter", "PCI\\VEN_1D7A&DEV_0A31"},
                {"korvfc", "Korvane", kScsiAdapterClass, "SCSIAdapter", "PCI\\VEN_1E4B&DEV_2261"},
                {"brmgmt", "Brightwater", kSystemClass, "System", "ROOT\\BRMGMT"}};
    lines.clear();
    for (size_t i = 0; i < sizeof infs / sizeof infs[0]; i++)
        lines.push_back(StoreLine(i, infs[i].name,
                                  StoreInf(infs[i].name, infs[i].maker, infs[i].classGuid, infs[i].className,
                                           infs[i].hardwareId)));
    json += Lines("  \"driver_store\": [", lines, "]") + ",\n";
    json += "  \"administrator\": true,\n  \"capture\": {\n    \"program\": \"capture.exe\",\n"
            "    \"version\": \"1.0.0\",\n    \"time\": \"2026-12-09 10:20:30.125\",\n    \"unread\": []\n  }\n}\n";
    return json;
}

}  // namespace bench
