// What the lifecycle's runs and the upgrade's share: the setting of a
// generation's runs, the cells of installer steps, and another vendor's DSM
// installed before the package and judged after its runs.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "installer_run.h"
#include "lifecycle.h"
#include "neighbour.h"

namespace pkgcheck {

// What every generation's runs share.
struct Setting {
    const Package &package;
    const std::string &installer;
    const std::string &dsmDescription;
    const LifecycleOptions &options;
    const Neighbour &neighbour;
};

// A generation's cells, by row id.
struct Outcome {
    std::map<std::string, Cell> cells;
};

Cell StepCell(const Step &step, Verdict verdict, const std::string &reason, bool explain);
// Exit 0 (done) or 1 (done, reboot needed) is what a correct package gives.
Cell JudgeSuccess(const Step &step);
// The bus driver's update is not forced before 6.0: the setup library
// refuses to put the same driver on the device again (259).
bool RefusedAtBus(const Step &step);

// The disks a machine gets for the package: the --disk arrays, else one per string.
std::vector<std::string> DiskModels(const Setting &setting, const std::vector<Text> &strings);
// The services a package's INFs install on a generation: from 6.0 on only
// the DSM's, the system owning the multipath base.
std::vector<Text> ServicesOn(const Generation &generation, const Package &package,
                             std::optional<Role> only = std::nullopt);

// The neighbour installed by its own -i and a reboot, and its state then;
// the reason when it could not be installed.
struct InstalledNeighbour {
    std::optional<NeighbourState> state;
    std::string fault;
};
InstalledNeighbour InstallNeighbour(const Setting &setting, const Generation &generation, MachineRun &run,
                                    const std::vector<Text> &disks);
// Whether the neighbour is as it was when installed.
Cell JudgeNeighbour(const Setting &setting, const Generation &generation, const InstalledNeighbour &installed,
                    const MachineRun &run, const std::vector<Text> &disks);

// upgrade.cpp: the old release installed, then this one brought in as a
// customer does, on a machine of its own in 'dir'.
Outcome RunUpgrade(const Setting &setting, const Generation &generation, const std::filesystem::path &dir);

}  // namespace pkgcheck
