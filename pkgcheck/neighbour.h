// The neighbour: another vendor's DSM, installed on every lifecycle machine
// before the package under check, by the same installer from a package of
// its own.  Its base INFs are the package's own mpio.inf and mpdev.inf as
// another vendor's copy (every vendor ships the same multipath base), its
// DSM INF is written here.  What the package's runs may not change of it is
// taken as a snapshot and compared.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "package.h"
#include "winsim/machine.h"

namespace pkgcheck {

struct Neighbour {
    Package package;
    std::vector<Text> strings;      // its supported-device strings
    std::string diskModel;          // vendor (8) and product (16) of its disks
};

// Writes the neighbour's package below 'dir' and reads it.  Its strings
// cover none of 'diskModels' (the package's disks) and none of the
// package's strings covers its disks.
Neighbour MakeNeighbour(const Package &package, const std::vector<std::string> &diskModels,
                        const std::filesystem::path &dir);

// What a real installed neighbour has and the package's runs must leave as
// it is.  Each part maps what it names to a short description of its state.
struct NeighbourState {
    std::vector<Text> strings;                 // its strings found in the supported-device list
    std::vector<Text> filters;                 // the SCSI adapter class's upper filters
    std::map<std::string, std::string> devices;    // its DSM devices and the MPIO bus devices
    std::map<std::string, std::string> disks;      // its disks: claimed or not, and their driver
    std::map<std::string, std::string> services;   // its services
    std::string feature;                       // MultipathIo, from 6.0 on
};

NeighbourState SnapshotNeighbour(winsim::Machine &machine, const Neighbour &neighbour, const std::vector<Text> &disks,
                                 const std::vector<Text> &services);

// Each change from 'before' to 'after', named for a person.
std::vector<std::string> NeighbourChanges(const NeighbourState &before, const NeighbourState &after);

}  // namespace pkgcheck
