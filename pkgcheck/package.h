// A DSM package as pkgcheck sees it: the source directory and its three INF
// files, read with the INF model the simulated machine installs from, and
// what they install.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "winsim/inf.h"

namespace pkgcheck {

using winsim::Text;
namespace inf = winsim::inf;

// The package cannot be read at all (exit 2, not a finding).
struct PackageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What an INF installs: the MPIO bus driver, the MPIO disk driver or the DSM.
enum class Role { Bus, Disk, Dsm };

struct InfDocument {
    std::string fileName;                        // as the package spells it
    std::string path;                            // on the host
    Role role = Role::Dsm;
    std::shared_ptr<const inf::InfFile> file;    // null when it does not parse
    uint32_t parseError = 0;                     // the INF reader's code, with its line
    uint32_t errorLine = 0;
};

struct Package {
    std::filesystem::path dir;
    std::string dsmHwid;
    std::vector<InfDocument> infs;   // mpio.inf, mpdev.inf, the DSM INF

    const InfDocument &Dsm() const { return infs.back(); }
};

// Reads SOURCE_DIR's three INFs, found as Windows finds file names; throws
// PackageError when the directory or one of them cannot be read.
Package LoadPackage(const std::string &dir, const std::string &dsmInf, const std::string &dsmHwid);

// [DefaultUninstall] and the sections named after it (".Services", ".NTamd64").
bool IsUninstallSection(const Text &name);

// The hardware ID an INF's driver is installed for, as the installer asks.
Text InstalledHardwareId(const InfDocument &inf, const std::string &dsmHwid);

// The strings the DSM writes into the supported-device list (appending
// them, or, wrongly, replacing the list with them).
std::vector<Text> SupportedDeviceStrings(const InfDocument &dsm);

// The services the INF installs (AddService names of every .Services section
// but [DefaultUninstall.Services]).
std::vector<Text> InstalledServices(const inf::InfFile &file);

}  // namespace pkgcheck
