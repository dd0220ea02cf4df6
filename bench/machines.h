// Machine descriptions of a given size for the benchmarks and scripts/bench.sh:
// the one generator both use, so that they measure the same machines.
//
// Disks come in models of vendor "BENCH" and product "MODEL<n>"; entry k of
// the supported-device list names model k.  Disk i is of model i mod 2M, so
// that with M list entries half the disks are listed (models 0 to M-1) and
// half are not (M to 2M-1); without a list, disks alternate two models.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

// The setup classes of the generated devices, as descriptions spell them.
inline constexpr const char *kScsiAdapterClass = "{4D36E97B-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char *kDiskClass = "{4D36E967-E325-11CE-BFC1-08002BE10318}";
inline constexpr const char *kSystemClass = "{4D36E97D-E325-11CE-BFC1-08002BE10318}";

struct MachineShape {
    unsigned osMajor = 5;
    unsigned osMinor = 2;
    size_t disks = 0;          // disk drives with the hardware IDs a SCSI disk reports
    size_t listEntries = 0;    // MPIOSupportedDeviceList entries; 0: no list value
    size_t registryKeys = 0;   // further keys under SYSTEM\CurrentControlSet\Enum, one value each
};

// The machine as the JSON description the host binary loads.
std::string MachineJson(const MachineShape &shape);

// A storage server as capture.exe describes it: LUNs of vendor "QUORVEX"
// and product "LUMENSTRIDE" (the example package's), each seen through
// every adapter, so that it is adapters x luns disk devices, each with its
// own instance ID; beside them a server's system devices, its services, the
// disk class's filter, the feature and three published INFs.
struct ServerShape {
    unsigned osMajor = 5;     // 5.2, 6.1 or 10.0
    unsigned osMinor = 2;
    size_t adapters = 16;     // SCSI adapters, one path each to every LUN
    size_t luns = 4096;
    size_t services = 300;
};
// Empty for a release not listed (only 5.2, 6.1 and 10.0 are).
std::string ServerCaptureJson(const ServerShape &shape);

// The list's entries as the registry holds them: 8 vendor and 16 product
// characters, padded with spaces.
std::vector<std::string> SupportedDeviceList(size_t entries);

}  // namespace bench
