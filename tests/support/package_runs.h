// Helpers for the install and uninstall tests: a server with two SCSI
// adapters and disks of the DSM's vendor and of one other vendor, the
// example package's arguments, and expected log records.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "support/harness.h"

namespace package_runs {

inline const char *const kMpdevKey = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";
inline const char *const kSupportedDevices = "MPIOSupportedDeviceList";
inline const char *const kAdapterClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}";
inline const char *const kQuorvexEntry = "QUORVEX LUMENSTRIDE     ";
inline const char *const kTessellaEntry = "TESSELLAORBIT-2         ";

inline std::string PackageDir()
{
    return std::string(SOURCE_DIR) + "/examples/package";
}

// A file of the example package, "" when there is none.
inline std::string PackageFile(const std::string &name)
{
    return harness::FileBytes(PackageDir() + "/" + name);
}

// "-i", "-u" or "-r" with a package (the example one by default), its DSM INF
// and hardware ID: for the host binary, and for a run in this process.
inline std::vector<std::string> BinaryArgs(const char *mode, const std::string &source = PackageDir())
{
    return {mode, source, "qvxdsm.inf", "Root\\QVXDSM"};
}

inline std::vector<std::u16string> Args(const char *mode, const std::string &source = PackageDir())
{
    std::vector<std::u16string> args;
    for (const std::string &arg : BinaryArgs(mode, source))
        args.push_back(harness::U(arg));
    return args;
}

// Adds the adapters (in walk order before anything installed later) and
// three disks: two of the DSM's vendor, one of the other vendor.
inline winsim::Machine Server(winsim::Machine machine)
{
    machine.devices.push_back(harness::ScsiAdapter("PCI\\VEN_1D5A&DEV_0210\\4&2A6F1C3&0&0010",
                                                   {"PCI\\VEN_1D5A&DEV_0210&REV_02", "PCI\\VEN_1D5A&DEV_0210"},
                                                   "Quorvex Lumenstride FC Host Adapter"));
    machine.devices.push_back(harness::ScsiAdapter("PCI\\VEN_1E37&DEV_0054\\4&2A6F1C3&0&00A8",
                                                   {"PCI\\VEN_1E37&DEV_0054"}, "Tessella SAS Adapter"));
    machine.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     ", "0100", "SCSI", 0));
    machine.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     ", "0100", "SCSI", 1));
    machine.devices.push_back(harness::Disk("TESSELLA", "ORBIT-2         ", "0200", "SCSI", 2));
    return machine;
}

// Indices of Server()'s devices.
enum ServerDevice { kQuorvexAdapter = 0, kTessellaAdapter = 1, kQuorvexDisk0 = 2, kQuorvexDisk1 = 3, kTessellaDisk = 4 };

// Log records: each gets the masked time stamp; "\n" becomes CR LF.
inline std::string Records(std::initializer_list<std::string> records)
{
    std::string text;
    for (const auto &record : records)
        text += "[T]" + record;
    return harness::Crlf(text);
}

// The class walk's progress records for 'count' devices.
inline std::string TryEntries(int count)
{
    std::string text;
    for (int i = 0; i < count; i++)
        text += Records({"!!TRY ENTRY " + std::to_string(i) + ".\n"});
    return text;
}

// The log of a generation 5 uninstall that takes out the DSM, then the disk
// driver from Server()'s three disks, then the bus driver.
inline std::string CompleteUninstallRecords()
{
    return Records({"Starting Multi-Path install/uninstall package\n",
                    "\nUninstalling the Device Specific Module...\n"}) +
           TryEntries(1) +
           Records({"Success\n", "Success \n",
                    "\nUninstalling the Multi-Path Device Driver.This may take a few minutes..\n"}) +
           TryEntries(3) + Records({"Success\n", "Success \n", "\nUninstalling the Multi-Path Bus Driver...\n"}) +
           TryEntries(3) + Records({"Success\n", "Success \n"});
}

// The restart of Server()'s adapters with the MPIO bus device third.
inline std::string RestartRecords(const std::string &busId)
{
    return Records({"\nRestarting all SCSI adapters...\n", "!!TRY ENTRY 0.\n", "HWID:PCI\\VEN_1D5A&DEV_0210&REV_02\n",
                    "HWID:PCI\\VEN_1D5A&DEV_0210\n", "!!TRY ENTRY 1.\n", "HWID:PCI\\VEN_1E37&DEV_0054\n",
                    "!!TRY ENTRY 2.\n", "HWID:" + busId + "\n", "Skipped\n", "Success \n"});
}

using harness::FindByHardwareId;
using harness::HardwareIds;
using harness::MaskTimes;
using harness::WithoutTimes;

inline bool HasService(const winsim::Machine &machine, const std::string &name, bool markedForDelete = false)
{
    auto found = winsim::FindService(machine, winsim::Widen(name));
    return found && found->markedForDelete == markedForDelete;
}

// The supported-device list as stored: set as any bytes (REG_MULTI_SZ), read
// back byte for byte (none when absent).
inline void SetRawList(winsim::Machine &machine, const std::vector<uint8_t> &bytes)
{
    harness::SetRaw(machine, kMpdevKey, kSupportedDevices, REG_MULTI_SZ, bytes);
}

inline std::vector<uint8_t> RawList(winsim::Machine &machine)
{
    const winsim::RegValue *value = harness::GetRaw(machine, kMpdevKey, kSupportedDevices);
    return value ? value->data : std::vector<uint8_t>();
}

// UTF-16LE bytes of ASCII text, NULs included as written.
inline std::vector<uint8_t> Utf16(const std::string &text)
{
    return harness::Utf16Bytes(harness::U(text));
}

}  // namespace package_runs
