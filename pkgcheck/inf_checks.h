// The INF checks: what the three INFs must hold for the installer to install,
// check and remove the package on every Windows it supports.  One row per
// check, one column per INF.
#pragma once

#include <string>

#include "package.h"
#include "report.h"

namespace pkgcheck {

// 'dsmDescription' is the build's DSM description, which "-c" looks for.
Table CheckInfs(const Package &package, const std::string &dsmDescription);

}  // namespace pkgcheck
