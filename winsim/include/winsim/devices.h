// The machine's devices: what the device installation functions read and
// change, and what a boot makes of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winsim/text.h"

namespace winsim {

struct Machine;

// The setup classes the machine knows by name, as INFs and class keys name them.
struct KnownClass {
    const char16_t *name;
    GUID guid;
};
inline constexpr KnownClass kKnownClasses[] = {
    {u"SCSIAdapter", GUID_DEVCLASS_SCSIADAPTER},
    {u"DiskDrive", GUID_DEVCLASS_DISKDRIVE},
    {u"System", GUID_DEVCLASS_SYSTEM},
};

struct Device {
    Text instanceId;                 // "ROOT\\SCSIADAPTER\\0000"; DevInst is its index + 1
    GUID classGuid{};
    std::optional<TextList> hardwareIds;   // absent: the property read fails with 13
    // What the device's bus reports, kept when a program replaced the
    // hardware IDs; the next boot may give them back.  Absent: the hardware
    // IDs are the bus's.
    std::optional<TextList> busHardwareIds;
    std::optional<TextList> compatibleIds;   // absent: the property read fails with 13
    std::optional<Text> description;
    std::optional<Text> enumerator;
    std::optional<uint32_t> configFlags;
    uint32_t status = DN_DRIVER_LOADED | DN_STARTED;
    uint32_t problem = 0;
    bool present = true;
    bool registered = true;          // false while only a member of a set (DICD_GENERATE_ID)
    Text driverInf;                  // INF (store name) of the installed driver, empty when none
    Text driverVersion;              // its DriverVer version, "w.x.y.z"; empty when none
    Text service;                    // service of the installed driver
    uint32_t restarts = 0;           // property-change restarts seen
    // How the device answers changes.
    bool refuseRemoval = false;      // DIF_REMOVE fails with ERROR_NOT_DISABLEABLE
    uint32_t installFlagsAfterChange = 0;   // DI_NEEDREBOOT / DI_NEEDRESTART reported after a change
    bool removed = false;            // gone from the machine; kept so that handles stay stable
};

// What Windows' multipath drivers and the MultipathIo feature read and
// report.  An entry of the supported-device list (kSupportedDevicesValue of
// kSupportedDevicesKey, under HKLM) names a disk by its first
// kSupportedDeviceUnits units, 8 of vendor and 16 of product as the SCSI
// inquiry data gives them, matched after kMatchKeyPrefix; a SCSI disk's last
// hardware ID is kGenericDiskId; the feature brings the MPIO bus device.
inline constexpr char16_t kMatchKeyPrefix[] = u"SCSI\\Disk";
inline constexpr size_t kSupportedDeviceUnits = 24;
inline constexpr char16_t kSupportedDevicesKey[] = u"SYSTEM\\CurrentControlSet\\Control\\MPDEV";
inline constexpr char16_t kSupportedDevicesValue[] = u"MPIOSupportedDeviceList";
inline constexpr char16_t kGenericDiskId[] = u"GenDisk";
inline constexpr char16_t kMpioBusHardwareId[] = u"ROOT\\MPIO";
inline constexpr char16_t kMpioBusDescription[] = u"Multi-Path Support";

// A disk as a SCSI port reports it, from its inquiry data: vendor (8) and
// product (16) padded with blanks, revision (4).  The six hardware IDs end in
// "GenDisk"; the instance ID is ENUMERATOR\DISK&VEN_..&PROD_..&REV_..\suffix;
// the disk driver's service is "disk".
Device ScsiDisk(const std::string &vendor, const std::string &product, const std::string &rev,
                const Text &instanceSuffix, const std::string &enumerator = "SCSI");
// The same disk from its vendor and product in one text, as a supported-
// device entry gives them: padded with blanks, or cut, to 24 characters.
Device ScsiDisk(std::string vendorAndProduct, const std::string &rev, const Text &instanceSuffix);

// Whether the multipath drivers claim a disk with these hardware IDs for a
// supported-device list: some entry, cut to its 8 units of vendor and 16 of
// product and its blanks read as underscores, begins one of the IDs after
// the match-key prefix, ASCII case aside.
bool SupportedDeviceListCovers(const std::vector<Text> &entries, const std::vector<Text> &hardwareIds);

// The devices not removed that list the hardware ID (in any case), in
// enumeration order; the device of an instance ID.
std::vector<const Device *> DevicesWithHardwareId(const Machine &machine, const Text &hardwareId);
const Device *FindDevice(const Machine &machine, const Text &instanceId);
// The current machine's device of a DevInst handle; null when removed.
Device *FindDeviceByDevInst(DEVINST devInst);

}  // namespace winsim
