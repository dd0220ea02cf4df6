#include "installer_run.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "hosttools/hosttools.h"

namespace pkgcheck {

namespace {

volatile sig_atomic_t pendingSignal = 0;

void NoteSignal(int signal) { pendingSignal = signal; }

void ThrowIfInterrupted()
{
    if (pendingSignal)
        throw Interrupted{pendingSignal};
}

std::string ReadLog(const std::filesystem::path &path)
{
    return hosttools::ReadFile(path.string()).value_or(std::string());
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos)
            lines.push_back(line.substr(start));
    }
    return lines;
}

bool StartsWithAny(const std::string &line, std::initializer_list<const char *> starts)
{
    return std::any_of(starts.begin(), starts.end(), [&](const char *start) { return line.rfind(start, 0) == 0; });
}

bool IsProgressLine(const std::string &line)
{
    return StartsWithAny(line, {"Installing", "Uninstalling", "Restarting", "Rebuilding", "Check "});
}

bool IsWalkLine(const std::string &line)
{
    return StartsWithAny(line, {"!!TRY ENTRY", "HWID:", "Skipped", "Device Desc:", "Driver Status:"});
}

bool IsFailureLine(const std::string &line)
{
    return line.find("Failure") != std::string::npos || line.find("Unable to validate") != std::string::npos ||
           line.find("failed with error") != std::string::npos;
}

// What the setup library's codes that a package can cause mean.
struct KnownError {
    uint32_t code;
    const char *name;
    const char *meaning;
};
const KnownError kKnownErrors[] = {
    {0x00000002, "ERROR_FILE_NOT_FOUND", "a file the INF names is not in the package"},
    {0x00000103, "ERROR_NO_MORE_ITEMS", "the same driver is already installed and the update is not forced"},
    {0x00000430, "ERROR_SERVICE_MARKED_FOR_DELETE", "a service is marked for deletion until the next reboot"},
    {0xE0000003, "ERROR_GENERAL_SYNTAX", "the INF does not parse"},
    {0xE0000100, "ERROR_WRONG_INF_STYLE", "the INF's Signature is not \"$Windows NT$\""},
    {0xE0000101, "ERROR_SECTION_NOT_FOUND", "a section the INF names does not exist"},
    {0xE0000200, "ERROR_NO_ASSOCIATED_CLASS", "the INF has no Class or ClassGuid"},
    {0xE0000206, "ERROR_INVALID_CLASS", "the INF's ClassGuid is not a GUID"},
    {0xE0000217, "ERROR_BAD_SERVICE_INSTALLSECT", "a service-install section lacks an entry"},
    {0xE0000219, "ERROR_NO_ASSOCIATED_SERVICE", "the driver's .Services section has no AddService with flag 0x2"},
    {0xE0000228, "ERROR_NO_COMPAT_DRIVERS", "no models section for this platform lists the hardware ID"},
};

std::vector<std::string> PackageArgs(const Package &package)
{
    return {std::filesystem::absolute(package.dir).string(), package.Dsm().fileName, package.dsmHwid};
}

}  // namespace

MachineRun::MachineRun(const std::filesystem::path &dir, const std::string &installer, const Package &package,
                       bool keepRuns)
    : dir_(std::filesystem::absolute(dir)), machineFile_((dir_ / "machine.json").string()), installer_(installer),
      packageArgs_(PackageArgs(package)), keepRuns_(keepRuns)
{
    std::filesystem::create_directories(dir_);
    if (keepRuns_)
        std::filesystem::create_directories(dir_ / "runs");
}

Step MachineRun::Run(const std::string &mode) { return RunWith(mode, packageArgs_, std::string()); }

Step MachineRun::Run(const std::string &mode, const Package &other, const std::string &whose)
{
    return RunWith(mode, PackageArgs(other), whose);
}

void MachineRun::KeepMachine(const std::string &name) const
{
    std::filesystem::copy_file(machineFile_, dir_ / "runs" / name, std::filesystem::copy_options::overwrite_existing);
}

Step MachineRun::RunWith(const std::string &mode, const std::vector<std::string> &packageArgs, const std::string &whose)
{
    char number[16];
    std::snprintf(number, sizeof number, "%02d-", ++runs_);
    const std::string kept = number + (whose.empty() ? std::string() : whose + "-") + mode.substr(1);
    if (keepRuns_)
        KeepMachine(kept + ".before.json");
    hosttools::Process install;
    install.program = installer_;
    install.args = {mode};
    if (mode != "-c")
        install.args.insert(install.args.end(), packageArgs.begin(), packageArgs.end());
    install.cwd = dir_.string();
    install.environment = {{"WINSIM_MACHINE", machineFile_}};
    install.stop = &pendingSignal;
    const std::filesystem::path logPath = dir_ / "MPIOInstall.LOG";
    const std::string before = ReadLog(logPath);
    ThrowIfInterrupted();
    const hosttools::ProcessResult result = hosttools::Run(install);
    ThrowIfInterrupted();
    if (keepRuns_)
        KeepMachine(kept + ".after.json");
    const std::string after = ReadLog(logPath);
    Step step;
    step.exitCode = result.exitCode;
    step.log = Lines(hosttools::MaskTimes(after.substr(std::min(before.size(), after.size())), ""));
    step.console = Lines(result.output);
    step.errors = result.errors;
    return step;
}

winsim::Machine MachineRun::Load() const { return winsim::LoadMachineFile(machineFile_); }

void MachineRun::Save(const winsim::Machine &machine) const { winsim::SaveMachineFile(machine, machineFile_); }

void MachineRun::Reboot() const
{
    winsim::Machine machine = Load();
    winsim::Reboot(machine);
    Save(machine);
}

std::vector<std::string> Explain(const Step &step)
{
    const std::vector<std::string> &lines =
        std::any_of(step.log.begin(), step.log.end(), IsFailureLine) ? step.log : step.console;
    auto failure = std::find_if(lines.rbegin(), lines.rend(), IsFailureLine);
    auto end = lines.end(), start = lines.size() > 4 ? lines.end() - 4 : lines.begin();
    if (failure != lines.rend()) {
        end = std::min(lines.end(), failure.base() + 2);
        start = failure.base() - 1;
        while (start != lines.begin() && !IsProgressLine(*start))
            --start;
    }
    std::vector<std::string> explained;
    for (auto it = start; it != end; ++it)
        if (!IsWalkLine(*it))
            explained.push_back(*it);
    if (explained.size() > 10)
        explained.erase(explained.begin() + 1, explained.end() - 9);
    for (const std::string &line : Lines(step.errors))
        explained.push_back(line);
    return explained;
}

std::string LastError(const Step &step)
{
    for (const std::vector<std::string> *lines : {&step.log, &step.console}) {
        for (auto it = lines->rbegin(); it != lines->rend(); ++it) {
            const size_t at = it->find("Error code (0x");
            unsigned code = 0;
            if (at == std::string::npos || std::sscanf(it->c_str() + at, "Error code (0x%x)", &code) != 1)
                continue;
            char text[16];
            std::snprintf(text, sizeof text, "0x%08X", code);
            for (const KnownError &known : kKnownErrors)
                if (known.code == code)
                    return std::string(text) + " " + known.name + ": " + known.meaning;
            return text;
        }
    }
    return std::string();
}

void CatchInterrupts()
{
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;   // no restart: a wait returns at once with EINTR
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
}

void RaiseAgain(const Interrupted &interrupted)
{
    signal(interrupted.signal, SIG_DFL);
    raise(interrupted.signal);
    _exit(128 + interrupted.signal);
}

}  // namespace pkgcheck
