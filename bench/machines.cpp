#include "machines.h"

#include <cstdio>

#include "winsim/machine.h"

namespace bench {

namespace {

constexpr const char *kVendor = "BENCH   ";
constexpr const char *kRevision = "0100";

// "MODEL00042": the product name of a model, as the instance IDs spell it.
std::string ModelName(size_t model)
{
    char text[32];
    std::snprintf(text, sizeof text, "MODEL%05zu", model);
    return text;
}

// The product as the inquiry data holds it: padded with blanks to 16.
std::string Product(size_t model)
{
    std::string product = ModelName(model);
    product.resize(16, ' ');
    return product;
}

// A JSON string: the generated texts hold only printable ASCII.
std::string Quoted(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
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

std::string DiskJson(size_t index, size_t model)
{
    char unit[24];
    std::snprintf(unit, sizeof unit, "5&1B2C3D4E&0&%06zx", index);
    const winsim::Device disk = winsim::ScsiDisk(kVendor, Product(model), kRevision, winsim::Widen(unit));
    std::vector<std::string> hardwareIds;
    for (const winsim::Text &id : *disk.hardwareIds)
        hardwareIds.push_back(winsim::Narrow(id));
    return "    {\"instance_id\": " + Quoted(winsim::Narrow(disk.instanceId)) + ", \"class\": " + Quoted(kDiskClass) +
           ", \"hardware_ids\": " + QuotedList(hardwareIds) + ", \"description\": " +
           Quoted(winsim::Narrow(*disk.description)) +
           ", \"enumerator\": \"SCSI\", \"config_flags\": 0, \"service\": \"disk\"}";
}

std::string AdapterJson()
{
    return "    {\"instance_id\": \"PCI\\\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A&REV_01\\\\4&1C2B3A4D&0&0010\", "
           "\"class\": " + Quoted(kScsiAdapterClass) +
           ", \"hardware_ids\": [\"PCI\\\\VEN_1D7A&DEV_0A31&SUBSYS_00011D7A&REV_01\", "
           "\"PCI\\\\VEN_1D7A&DEV_0A31&CC_010700\"], \"description\": \"Brightwater 12G SAS Host Bus Adapter\", "
           "\"enumerator\": \"PCI\", \"config_flags\": 0, \"service\": \"bwsas\"}";
}

std::string ValueJson(const std::string &name, const std::string &type, const std::string &data)
{
    return Quoted(name) + ": {\"type\": " + Quoted(type) + ", \"data\": " + data + "}";
}

std::string KeyJson(const std::string &path, const std::string &values)
{
    return "    " + Quoted(path) + ": {\"values\": {" + values + "}}";
}

// The build and service pack of the 5.x releases; later ones, and versions
// Windows never had, keep the default.
std::string OsBuild(const MachineShape &shape)
{
    const auto known = winsim::KnownWindowsVersion(shape.osMajor, shape.osMinor);
    if (shape.osMajor != 5 || !known)
        return "";
    return ", \"build\": " + std::to_string(known->build) + ", \"csd\": \"Service Pack 2\"";
}

}  // namespace

std::vector<std::string> SupportedDeviceList(size_t entries)
{
    std::vector<std::string> list;
    for (size_t model = 0; model < entries; model++)
        list.push_back(kVendor + Product(model));
    return list;
}

std::string MachineJson(const MachineShape &shape)
{
    const size_t models = 2 * (shape.listEntries ? shape.listEntries : 1);
    std::string json = "{\n  \"os\": {\"major\": " + std::to_string(shape.osMajor) +
                       ", \"minor\": " + std::to_string(shape.osMinor) + OsBuild(shape) +
                       "},\n  \"interactive\": false,\n";

    json += "  \"devices\": [\n" + AdapterJson();
    for (size_t i = 0; i < shape.disks; i++)
        json += ",\n" + DiskJson(i, i % models);
    json += "\n  ],\n";

    const std::string classRoot = "SYSTEM\\CurrentControlSet\\Control\\Class\\";
    json += "  \"registry\": {\n";
    json += KeyJson(classRoot + kScsiAdapterClass, ValueJson("Class", "REG_SZ", "\"SCSIAdapter\"")) + ",\n";
    json += KeyJson(classRoot + kDiskClass, ValueJson("Class", "REG_SZ", "\"DiskDrive\"")) + ",\n";
    json += KeyJson(classRoot + kSystemClass, ValueJson("Class", "REG_SZ", "\"System\"")) + ",\n";
    json += "    \"SYSTEM\\\\CurrentControlSet\\\\Services\": {}";
    if (shape.listEntries)
        json += ",\n" + KeyJson("SYSTEM\\CurrentControlSet\\Control\\MPDEV",
                                ValueJson("MPIOSupportedDeviceList", "REG_MULTI_SZ",
                                          QuotedList(SupportedDeviceList(shape.listEntries))));
    for (size_t i = 0; i < shape.registryKeys; i++) {
        char unit[24];
        std::snprintf(unit, sizeof unit, "%06zx", i);
        const std::string model = ModelName(i % models);
        json += ",\n" + KeyJson("SYSTEM\\CurrentControlSet\\Enum\\SCSI\\Disk&Ven_BENCH&Prod_" + model +
                                    "&Rev_0100\\5&1B2C3D4E&0&" + unit,
                                ValueJson("FriendlyName", "REG_SZ", Quoted("BENCH " + model + " SCSI Disk Device")));
    }
    json += "\n  }\n}\n";
    return json;
}

}  // namespace bench
