// The two multi-string values a package shares with the system, the
// supported-device list and the SCSI adapter class's upper filters, and
// what the package's install sections write into them.
#pragma once

#include <vector>

#include "package.h"
#include "registry/registry.h"

namespace pkgcheck {

// The key path and value name of a kind, as the installer names them.
struct SharedValue {
    Text keyPath;
    Text valueName;
};
SharedValue SharedValueOf(MultiSzKind kind);

// Every line the AddReg directives of the install sections (all but
// [DefaultUninstall] and the sections named after it) run, each line once,
// in the order the install sections name their AddReg sections.
std::vector<inf::RegistryEntry> InstallAddRegLines(const inf::InfFile &file);

// A string an AddReg line of the install sections writes into a shared value.
struct ListAdd {
    const inf::Section *section = nullptr;
    uint32_t flags = 0;
    Text string;
    bool Appends() const { return (flags & FLG_ADDREG_APPEND) != 0; }
};
std::vector<ListAdd> ListAdds(const inf::InfFile &file, MultiSzKind kind);

}  // namespace pkgcheck
