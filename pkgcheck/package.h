// A DSM package as pkgcheck sees it: the source directory and its three INF
// files, read with the INF model the simulated machine installs from, and
// the facts about them that the INF checks and the lifecycle share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "registry/registry.h"
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

// Texts compared as Windows compares names, without regard to case.
bool StartsWithNoCase(const Text &text, const Text &prefix);
bool EndsWithNoCase(const Text &text, const Text &suffix);

// [DefaultUninstall] and the sections named after it (".Services", ".NTamd64").
bool IsUninstallSection(const Text &name);

// A text in quotes, for the reasons of findings.
std::string Quote(const Text &text);

// The hardware ID an INF's driver is installed for, as the installer asks.
Text InstalledHardwareId(const InfDocument &inf, const std::string &dsmHwid);

// The platforms whose models sections the INF checks look at, each as the
// oldest Windows of its kind: Windows 2000 (5.0), which reads only the
// undecorated models section; 32-bit Windows XP (5.1); x64 Server 2003 (5.2).
enum class Platform { Windows2000, X86, Amd64 };
inline constexpr Platform kPlatforms[] = {Platform::Windows2000, Platform::X86, Platform::Amd64};
const char *PlatformName(Platform platform);
const winsim::OsInfo &OldestWindows(Platform platform);

// A string an AddReg line outside [DefaultUninstall] writes into one of the
// two multi-string values the package shares with the system.
struct ListAdd {
    const inf::Section *section = nullptr;
    uint32_t flags = 0;
    Text string;
    bool Appends() const { return (flags & FLG_ADDREG_APPEND) != 0; }
};
std::vector<ListAdd> ListAdds(const inf::InfFile &file, MultiSzKind kind);
// The key path and value name of a kind, as the installer names them.
struct MultiSzValue {
    Text keyPath;
    Text valueName;
};
MultiSzValue ValueOf(MultiSzKind kind);

// The strings the DSM writes into the supported-device list (appending
// them, or, wrongly, replacing the list with them).
std::vector<Text> SupportedDeviceStrings(const InfDocument &dsm);

// The services the INF installs (AddService names of every .Services section
// but [DefaultUninstall.Services]).
std::vector<Text> InstalledServices(const inf::InfFile &file);

// What a package says of itself: the DSM's service (the one its x64
// install section associates with the device), its DriverVer and its
// supported-device strings.  Empty where the DSM INF does not tell.
struct PackageFacts {
    Text dsmService;
    Text driverVer;
    std::vector<Text> supportedDevices;
};
PackageFacts ReadFacts(const Package &package);

}  // namespace pkgcheck
