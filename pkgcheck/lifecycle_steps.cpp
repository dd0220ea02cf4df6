#include "lifecycle_steps.h"

#include <algorithm>

#include "common/log_texts.h"

namespace pkgcheck {

Cell StepCell(const Step &step, Verdict verdict, const std::string &reason, bool explain)
{
    Cell cell;
    cell.verdict = verdict;
    cell.reason = reason;
    cell.exitCode = step.exitCode;
    cell.shown = std::to_string(step.exitCode);
    if (explain)
        cell.log = Explain(step);
    return cell;
}

Cell JudgeSuccess(const Step &step)
{
    if (step.exitCode == 0 || step.exitCode == 1)
        return StepCell(step, Verdict::Pass, std::string(), false);
    std::string why = "exit " + std::to_string(step.exitCode);
    if (step.exitCode == -2)
        why += ": a service of the package is still marked for deletion";
    else if (step.exitCode == 2 || step.exitCode == 3)
        why += ": the simulated machine could not be read or saved";
    else if (std::string error = LastError(step); !error.empty())
        why += ", " + error;
    return StepCell(step, Verdict::Fail, why, true);
}

bool RefusedAtBus(const Step &step)
{
    return step.exitCode == -1 && !HasLogLine(step.log, LOG_INSTALLING_DSM) &&
           std::any_of(step.log.begin(), step.log.end(),
                       [](const std::string &line) { return LoggedErrorCode(line) == ERROR_NO_MORE_ITEMS; });
}

std::vector<std::string> DiskModels(const Setting &setting, const std::vector<Text> &strings)
{
    if (!setting.options.disks.empty())
        return setting.options.disks;
    std::vector<std::string> models;
    for (const Text &string : strings)
        models.push_back(winsim::Narrow(string));
    return models;
}

std::vector<Text> ServicesOn(const Generation &generation, const Package &package, std::optional<Role> only)
{
    std::vector<Text> services;
    for (const InfDocument &document : package.infs)
        if (document.file && (generation.major < 6 || document.role == Role::Dsm) &&
            (!only || document.role == *only))
            for (const Text &service : InstalledServices(*document.file))
                services.push_back(service);
    return services;
}

InstalledNeighbour InstallNeighbour(const Setting &setting, const Generation &generation, MachineRun &run,
                                    const std::vector<Text> &disks)
{
    InstalledNeighbour installed;
    const Step step = run.Run("-i", setting.neighbour.package, "neighbour");
    run.Reboot();
    if (step.exitCode != 0 && step.exitCode != 1) {
        installed.fault = "another vendor's DSM could not be installed with this package's base INFs: exit " +
                          std::to_string(step.exitCode);
        if (std::string error = LastError(step); !error.empty())
            installed.fault += ", " + error;
        return installed;
    }
    winsim::Machine machine = run.Load();
    installed.state =
        SnapshotNeighbour(machine, setting.neighbour, disks, ServicesOn(generation, setting.neighbour.package));
    return installed;
}

Cell JudgeNeighbour(const Setting &setting, const Generation &generation, const InstalledNeighbour &installed,
                    const MachineRun &run, const std::vector<Text> &disks)
{
    if (!installed.state)
        return Fail(installed.fault);
    winsim::Machine machine = run.Load();
    const NeighbourState now =
        SnapshotNeighbour(machine, setting.neighbour, disks, ServicesOn(generation, setting.neighbour.package));
    const std::vector<std::string> changes = NeighbourChanges(*installed.state, now);
    if (!changes.empty())
        return Fail("another vendor's DSM changed: " + JoinWith(changes, "; "));
    return Pass();
}

}  // namespace pkgcheck
