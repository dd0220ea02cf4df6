// The lifecycle: the real host installer run step by step on a simulated
// machine of each Windows generation (install, reboot, check, install again,
// uninstall, reboot, check), each step judged by what a correct package
// gives there, and what the package leaves behind.  The machine is the
// built-in default server at that generation, with one disk per supported-
// device string of the DSM (or the vendor's arrays given with --disk), one
// disk of another vendor, and another vendor's DSM installed before the
// package, which the package's runs must leave as it was.  With an older
// release given, its upgrade to this one runs on machines of their own.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package.h"
#include "report.h"
#include "test_machine.h"

namespace pkgcheck {

struct LifecycleOptions {
    std::vector<Generation> generations;
    // The inquiry identities (8 vendor + 16 product characters) of the
    // vendor's real arrays; empty: disks made from the DSM's own strings.
    std::vector<std::string> disks;
    // An older release of the package, upgraded from on machines of their own.
    std::optional<Package> upgradeFrom;
    // Where each generation's machine and log, and the machine before and
    // after each run, are kept; empty: nowhere.
    std::filesystem::path keep;
    // The INF checks, whose failed rows a lifecycle error points at.
    const Table *infChecks = nullptr;
};

// Throws PackageError when 'keep' already holds a generation's directory
// with something in it, which the runs would mix with their own.
void CheckKeepDir(const LifecycleOptions &options);

// 'scratch' is where the machines and logs live unless kept; 'installer' the host binary.
Table RunLifecycle(const Package &package, const std::string &installer, const std::string &dsmDescription,
                   const LifecycleOptions &options, const std::filesystem::path &scratch);

}  // namespace pkgcheck
