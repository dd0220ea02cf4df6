// The lifecycle: the real host installer run step by step on a simulated
// machine of each Windows generation (install, reboot, check, install again,
// uninstall, reboot, check), each step judged by what a correct package
// gives there, and what the package leaves behind.  The machine is the
// built-in default server at that generation, with one disk per supported-
// device string of the DSM and one disk of another vendor.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package.h"
#include "report.h"

namespace pkgcheck {

// A Windows generation the lifecycle runs on, as its machine reports it.
struct Generation {
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;

    std::string Name() const;     // "5.2"
    std::string Column() const;   // "5.2 x64"
};

// "5.0", "5.2", "6.1", "10.0", ...: the versions the installer knows; nothing otherwise.
std::optional<Generation> ParseGeneration(const std::string &text);


// 'scratch' is where the machines and logs live; 'installer' the host binary.
Table RunLifecycle(const Package &package, const std::string &installer, const std::string &dsmDescription,
                   const std::vector<Generation> &generations, const std::filesystem::path &scratch);

}  // namespace pkgcheck
