// pkgcheck --facts: what a deployment tool needs to know of a package to tell
// whether a host has it, read from the package's INFs, as one JSON document.
#pragma once

#include <string>

#include "package.h"

namespace pkgcheck {

// {"dsm_inf", "dsm_hwid", "dsm_service", "driver_ver": {"date", "version"},
// "supported_devices": [...]}; a fact the DSM INF does not give is null (an
// empty list for the strings).
std::string RenderFacts(const Package &package);

}  // namespace pkgcheck
