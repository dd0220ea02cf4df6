// A DSM package as pkgcheck sees it: the source directory and its three INF
// files, read with the INF reader the simulated machine installs from, and
// the facts about them that the INF checks and the lifecycle share.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "winsim/inf.h"

namespace pkgcheck {

using winsim::Text;

// The package cannot be read at all (exit 2, not a finding).
struct PackageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What an INF installs: the MPIO bus driver, the MPIO disk driver or the DSM.
enum class Role { Bus, Disk, Dsm };

struct InfDocument {
    std::string fileName;
    Role role = Role::Dsm;
    std::shared_ptr<const winsim::inf::InfFile> file;   // null when it does not parse
    uint32_t parseError = 0;                            // the INF reader's code, with its line
    uint32_t errorLine = 0;
};

struct Package {
    std::filesystem::path dir;
    std::string dsmHwid;
    std::vector<InfDocument> infs;   // mpio.inf, mpdev.inf, the DSM INF

    const InfDocument &Dsm() const { return infs.back(); }
};

// Reads SOURCE_DIR's three INFs; throws PackageError when the directory or
// one of them cannot be read.
Package LoadPackage(const std::string &dir, const std::string &dsmInf, const std::string &dsmHwid);

// The file a package-relative path names ('\' or '/' separated), found
// without regard to letter case as Windows finds it; nothing when absent.
std::optional<std::filesystem::path> FindFile(const std::filesystem::path &dir, const std::string &relative);

// The hardware ID an INF's driver is installed for, as the installer asks.
Text InstalledHardwareId(const InfDocument &inf, const std::string &dsmHwid);

// The platforms whose models sections the INF checks look at, each by the
// oldest Windows of its kind: Windows 2000 reads only the undecorated models
// section, 32-bit Windows XP and later prefer an NTx86 decoration and fall
// back to it, x64 Windows reads only an NTamd64 (or plain NT) decoration.
enum class Platform { Windows2000, X86, Amd64 };
const char *PlatformName(Platform platform);

// The models section one [Manufacturer] entry names for a platform: decorated
// only (nothing when no decoration applies), or as Windows chooses it.
const winsim::inf::Section *DecoratedModels(const winsim::inf::InfFile &file, const winsim::inf::Line &manufacturer,
                                            Platform platform);
const winsim::inf::Section *ChosenModels(const winsim::inf::InfFile &file, const winsim::inf::Line &manufacturer,
                                         Platform platform);

struct ModelLine {
    const winsim::inf::Section *models = nullptr;
    const winsim::inf::Line *line = nullptr;   // key: the device description; fields: install section, IDs
};
// Every models line that lists the hardware ID, in the sections the platform reads.
std::vector<ModelLine> FindModelLines(const winsim::inf::InfFile &file, Platform platform, const Text &hardwareId);
// A models line's install section with the platform's suffix, as Windows picks it.
const winsim::inf::Section *InstallSection(const winsim::inf::InfFile &file, Platform platform, const Text &name);

// The two multi-string values the package shares with the system.
struct MultiSzValue {
    Text keyPath;
    Text valueName;
};
const MultiSzValue &SupportedDeviceList();
const MultiSzValue &UpperFilters();

// A registry line of an AddReg or DelReg section.
struct RegistryLine {
    const winsim::inf::Section *section = nullptr;
    const winsim::inf::Line *line = nullptr;
    uint32_t flags = 0;
    Text string;   // field 5: the string added or deleted
};
// The AddReg lines outside [DefaultUninstall] that write the value as a
// multi-string (appending or replacing).
std::vector<RegistryLine> MultiSzAdds(const winsim::inf::InfFile &file, const MultiSzValue &value);
bool IsAppend(const RegistryLine &add);

// The strings the DSM appends to the supported-device list.
std::vector<Text> SupportedDeviceStrings(const InfDocument &dsm);

// The services the INF installs (AddService names of every .Services section
// but [DefaultUninstall.Services]).
std::vector<Text> InstalledServices(const winsim::inf::InfFile &file);

}  // namespace pkgcheck
