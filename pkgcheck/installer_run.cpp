#include "installer_run.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "common/log_texts.h"
#include "hosttools/hosttools.h"
#include "inf_text.h"

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

std::string LogTextLead(const WCHAR *text)
{
    std::string lead = winsim::Narrow(text);
    lead.erase(std::min(lead.find('%'), lead.size()));
    const size_t start = lead.find_first_not_of(" \r\n");
    if (start == std::string::npos)
        return std::string();
    return lead.substr(start, lead.find_last_not_of(" \r\n") + 1 - start);
}

bool BeginsWithAny(const std::string &line, std::initializer_list<const WCHAR *> texts)
{
    return std::any_of(texts.begin(), texts.end(),
                       [&](const WCHAR *text) { return line.rfind(LogTextLead(text), 0) == 0; });
}

bool HoldsAny(const std::string &line, std::initializer_list<const WCHAR *> texts)
{
    return std::any_of(texts.begin(), texts.end(),
                       [&](const WCHAR *text) { return line.find(LogTextLead(text)) != std::string::npos; });
}

bool IsProgressLine(const std::string &line)
{
    return BeginsWithAny(line, {LOG_INSTALLING_BUS, LOG_INSTALLING_DSM, LOG_INSTALLING_DISK_DRIVER,
                                LOG_RESTARTING_ADAPTERS, LOG_UNINSTALLING_DISK_DRIVER, LOG_UNINSTALLING_BUS,
                                LOG_REBUILDING_STACK, LOG_UNINSTALLING_DSM, LOG_INSTALLING_FEATURE,
                                LOG_UNINSTALLING_FEATURE, LOG_CHECK_MPIO, LOG_CHECK_DSM});
}

bool IsWalkLine(const std::string &line)
{
    return BeginsWithAny(line, {LOG_TRY_ENTRY, LOG_HARDWARE_ID, LOG_SKIPPED, LOG_DEVICE_DESCRIPTION, LOG_DRIVER_STATUS});
}

bool IsFailureLine(const std::string &line)
{
    return HoldsAny(line, {LOG_FAILURE, LOG_BAD_SOURCE_PATH, LOG_DEVNODE_STATUS_FAILED, LOG_PROPERTY_FAILED,
                           LOG_CHECK_FAILED});
}

// What the setup library's codes that a package can cause mean.
struct KnownError {
    uint32_t code;
    const char *name;
    const char *meaning;
};
const KnownError kKnownErrors[] = {
    {ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND", "a file the INF names is not in the package"},
    {ERROR_NO_MORE_ITEMS, "ERROR_NO_MORE_ITEMS", "the same driver is already installed and the update is not forced"},
    {ERROR_SERVICE_MARKED_FOR_DELETE, "ERROR_SERVICE_MARKED_FOR_DELETE",
     "a service is marked for deletion until the next reboot"},
    {ERROR_GENERAL_SYNTAX, "ERROR_GENERAL_SYNTAX", "the INF does not parse"},
    {ERROR_WRONG_INF_STYLE, "ERROR_WRONG_INF_STYLE", "the INF's Signature is not \"$Windows NT$\""},
    {ERROR_SECTION_NOT_FOUND, "ERROR_SECTION_NOT_FOUND", "a section the INF names does not exist"},
    {ERROR_NO_ASSOCIATED_CLASS, "ERROR_NO_ASSOCIATED_CLASS", "the INF has no Class or ClassGuid"},
    {ERROR_INVALID_CLASS, "ERROR_INVALID_CLASS", "the INF's ClassGuid is not a GUID"},
    {ERROR_BAD_SERVICE_INSTALLSECT, "ERROR_BAD_SERVICE_INSTALLSECT", "a service-install section lacks an entry"},
    {ERROR_NO_ASSOCIATED_SERVICE, "ERROR_NO_ASSOCIATED_SERVICE",
     "the driver's .Services section has no AddService with flag 0x2"},
    {ERROR_NO_COMPAT_DRIVERS, "ERROR_NO_COMPAT_DRIVERS", "no models section for this platform lists the hardware ID"},
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

bool HasLogLine(const std::vector<std::string> &log, const WCHAR *text)
{
    return std::find(log.begin(), log.end(), LogTextLead(text)) != log.end();
}

std::optional<uint32_t> LoggedErrorCode(const std::string &line)
{
    const std::string lead = LogTextLead(LOG_ERROR_CODE);
    const size_t at = line.find(lead);
    unsigned code = 0;
    if (at == std::string::npos || std::sscanf(line.c_str() + at + lead.size(), "%x", &code) != 1)
        return std::nullopt;
    return code;
}

bool IsCheckFindingLine(const std::string &line)
{
    return HoldsAny(line, {LOG_MPIO_CHECKED, LOG_MPIO_BAD, LOG_DSM_CHECKED, LOG_DSM_BAD, LOG_DEVNODE_STATUS_FAILED,
                           LOG_PROPERTY_FAILED, LOG_CHECK_FAILED}) ||
           BeginsWithAny(line, {LOG_DRIVER_STATUS});
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
            const auto code = LoggedErrorCode(*it);
            if (!code)
                continue;
            for (const KnownError &known : kKnownErrors)
                if (known.code == *code)
                    return HexText(*code) + " " + known.name + ": " + known.meaning;
            return HexText(*code);
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
