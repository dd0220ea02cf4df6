// The lifecycle: the real host installer run step by step on a simulated
// machine of each Windows generation (install, reboot, check, install again,
// uninstall, reboot, check), each step judged by what a correct package
// gives there, and what the package leaves behind.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "machines.h"
#include "package.h"
#include "report.h"

namespace pkgcheck {

// 'scratch' is where the machines and logs live; 'installer' the host binary.
Table RunLifecycle(const Package &package, const std::string &installer, const std::string &dsmDescription,
                   const std::vector<Generation> &generations, const std::filesystem::path &scratch);

}  // namespace pkgcheck
