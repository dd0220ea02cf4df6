// One simulated machine in a scratch directory and the host installer's runs
// on it: the exit code and the log lines of each run, and the lines and the
// error code that explain a failed one.  An interrupt (SIGINT, SIGTERM,
// SIGHUP) ends the run under way and unwinds pkgcheck, so that its scratch
// directory goes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "package.h"
#include "winsim/machine.h"

namespace pkgcheck {

// One run of the installer.
struct Step {
    int exitCode = 0;
    std::vector<std::string> log;       // the lines this run appended, without time stamps
    std::vector<std::string> console;
    std::string errors;
};

class MachineRun {
public:
    // With 'keepRuns', each run leaves the machine as it found it and as it
    // left it in dir/runs/: NN-<whose>-<mode>.before.json and .after.json.
    MachineRun(const std::filesystem::path &dir, const std::string &installer, const Package &package,
               bool keepRuns = false);

    // "-i", "-u" (with the package's arguments) or "-c".
    Step Run(const std::string &mode);
    // "-i" or "-u" of another package on the same machine; 'whose' names it in the kept runs.
    Step Run(const std::string &mode, const Package &other, const std::string &whose);

    winsim::Machine Load() const;
    void Save(const winsim::Machine &machine) const;
    void Reboot() const;

private:
    std::filesystem::path dir_;
    std::string machineFile_;
    std::string installer_;
    std::vector<std::string> packageArgs_;
    bool keepRuns_ = false;
    int runs_ = 0;

    Step RunWith(const std::string &mode, const std::vector<std::string> &packageArgs, const std::string &whose);
    void KeepMachine(const std::string &name) const;
};

// A line of a run that the installer wrote from one of its log texts
// (common/log_texts.h), which it is told by: the text up to its first
// conversion, without the line breaks and blanks around it that the run's
// lines lose.  Whether the log has a line that is the text; the error code
// a line of the error-code text gives (nothing for another line); whether a
// line is one of -c's findings: a device checked, good or bad, a failed
// query, a device's status.
bool HasLogLine(const std::vector<std::string> &log, const WCHAR *text);
std::optional<uint32_t> LoggedErrorCode(const std::string &line);
bool IsCheckFindingLine(const std::string &line);

// The lines that explain a failed run: from the progress line of the step
// that failed to its last failure and error code.
std::vector<std::string> Explain(const Step &step);
// The last error code the run logged, named when a package can cause it;
// empty when it logged none.
std::string LastError(const Step &step);

// An interrupt arrived: thrown by a run, and raised again once pkgcheck has
// unwound.
struct Interrupted {
    int signal;
};
void CatchInterrupts();
[[noreturn]] void RaiseAgain(const Interrupted &interrupted);

}  // namespace pkgcheck
