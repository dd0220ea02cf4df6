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

struct MachineShape {
    unsigned osMajor = 5;
    unsigned osMinor = 2;
    size_t disks = 0;          // disk drives with the hardware IDs a SCSI disk reports
    size_t listEntries = 0;    // MPIOSupportedDeviceList entries; 0: no list value
    size_t registryKeys = 0;   // further keys under SYSTEM\CurrentControlSet\Enum, one value each
};

// The machine as the JSON description the host binary loads.
std::string MachineJson(const MachineShape &shape);

// The list's entries as the registry holds them: 8 vendor and 16 product
// characters, padded with spaces.
std::vector<std::string> SupportedDeviceList(size_t entries);

}  // namespace bench
