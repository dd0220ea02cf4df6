// pkgcheck --facts: what a deployment tool needs to know of a package to tell
// whether a host has it, read from the package's INFs, as one JSON document.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "package.h"

namespace pkgcheck {

// What a package says of itself: the DSM's service (the one its x64
// install section associates with the device), its DriverVer and its
// supported-device strings.  Empty where the DSM INF does not tell.
struct PackageFacts {
    Text dsmService;
    Text driverVerText;                        // [Version] DriverVer as the INF writes it
    std::optional<inf::DriverVer> driverVer;   // as the setup library reads it; nothing when it cannot
    std::vector<Text> supportedDevices;
};
PackageFacts ReadFacts(const Package &package);

// {"dsm_inf", "dsm_hwid", "dsm_service", "driver_ver": {"date", "version"},
// "supported_devices": [...]}; a fact the DSM INF does not give is null (an
// empty list for the strings), a DriverVer the setup library cannot read
// too.  The date is mm/dd/yyyy, the version w.x.y.z with the parts it lacks 0.
std::string RenderFacts(const Package &package);

}  // namespace pkgcheck
