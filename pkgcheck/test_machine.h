// The simulated machines the lifecycle runs on: the built-in default server
// at a Windows generation from the simulated machine's table of versions,
// with the package's disks, one disk of another vendor and the neighbour's
// array on two paths.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "winsim/machine.h"

namespace pkgcheck {

using winsim::Text;

// A Windows generation the lifecycle runs on, as its machine reports it.
struct Generation {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;

    std::string Name() const;     // "5.2"
    std::string Column() const;   // "5.2 x64"
};

// "5.0", "5.2", "6.1", "10.0", ...: the versions the simulated machine
// knows; nothing otherwise.
std::optional<Generation> ParseGeneration(const std::string &text);

// Windows 6.0 (Vista, Server 2008) has no DISM.exe, which ships from 6.1 on;
// the installer runs it from 6.0 on to switch the multipath feature.
bool LacksFeatureTool(const Generation &generation);

// A disk of an array as the SCSI port reports it, for a model of 8 vendor
// and 16 product characters ("QUORVEX LUMENSTRIDE     "); 'unit' tells the
// disks of a machine apart.
winsim::Device ArrayDisk(const std::string &model, unsigned unit);

struct TestMachine {
    winsim::Machine machine;
    std::vector<Text> dsmDisks;         // instance IDs of the disks the DSM's strings claim
    std::vector<Text> otherDisks;       // disks no string of the DSM claims
    std::vector<Text> neighbourDisks;   // the other vendor's DSM's disks
};

// The built-in default server at another generation, with the package's
// disks ('diskModels': the --disk arrays, else one per string of the DSM;
// with 'realArrays' only those the strings cover count as the DSM's), one
// disk of another vendor and the neighbour's array on two paths.
TestMachine BuildMachine(const Generation &generation, const std::vector<std::string> &diskModels, bool realArrays,
                         const std::vector<Text> &strings, const std::string &neighbourModel);

}  // namespace pkgcheck
