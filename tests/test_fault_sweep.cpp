// The fault sweep: every platform call of a run of each switch is failed in
// turn, once with the function's typical error and once with
// ERROR_NOT_ENOUGH_MEMORY, and each run must end as a failure should: no
// block left, a failure exit, the failure lines at the end of the log, and
// every multi-string it wrote well formed.  The calls the program passes
// over by design, and the steps that log nothing of their own, are the one
// table of exceptions below.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/package_runs.h"

namespace {

using namespace package_runs;

constexpr uint32_t kNoMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr uint32_t kNoMessageText = 317;        // ERROR_MR_MID_NOT_FOUND
constexpr uint32_t kElevationRequired = 740;    // ERROR_ELEVATION_REQUIRED

// The error each function typically fails with on a real system.
const std::map<std::string, uint32_t> kTypicalErrors = {
    {"AdjustTokenPrivileges", ERROR_ACCESS_DENIED},
    {"CM_Get_DevNode_Status", 0x0D},   // CR_NO_SUCH_DEVNODE
    {"ExitWindowsEx", ERROR_PRIVILEGE_NOT_HELD},
    {"FindFirstFileW", ERROR_PATH_NOT_FOUND},
    {"FormatMessageW", kNoMessageText},
    {"GetVersionExW", ERROR_INSUFFICIENT_BUFFER},
    {"LocalAlloc", kNoMemory},
    {"LookupPrivilegeValueW", ERROR_NO_SUCH_PRIVILEGE},
    {"MessageBoxW", ERROR_ACCESS_DENIED},   // no desktop to show it on
    {"OpenProcessToken", ERROR_ACCESS_DENIED},
    {"RegCreateKeyExW", ERROR_ACCESS_DENIED},
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
    {"RegQueryValueExW", ERROR_ACCESS_DENIED},
    {"RegSetValueExW", ERROR_ACCESS_DENIED},
    {"SetupCopyOEMInfW", ERROR_FILE_NOT_FOUND},
    {"SetupDefaultQueueCallbackW", ERROR_ACCESS_DENIED},
    {"SetupDiCallClassInstaller", ERROR_INVALID_PARAMETER},
    {"SetupDiCreateDeviceInfoList", ERROR_INVALID_CLASS},
    {"SetupDiCreateDeviceInfoW", ERROR_DEVINST_ALREADY_EXISTS},
    {"SetupDiDestroyDeviceInfoList", ERROR_INVALID_HANDLE},
    {"SetupDiEnumDeviceInfo", ERROR_INVALID_HANDLE},
    {"SetupDiGetClassDevsW", ERROR_INVALID_CLASS},
    {"SetupDiGetDeviceInstallParamsW", ERROR_INVALID_HANDLE},
    {"SetupDiGetDeviceRegistryPropertyW", ERROR_INVALID_DATA},
    {"SetupDiGetINFClassW", ERROR_FILE_NOT_FOUND},
    {"SetupDiSetClassInstallParamsW", ERROR_INVALID_PARAMETER},
    {"SetupDiSetDeviceRegistryPropertyW", ERROR_ACCESS_DENIED},
    {"SetupGetFieldCount", ERROR_INVALID_PARAMETER},
    {"SetupGetIntField", ERROR_INVALID_DATA},
    {"SetupGetLineByIndexW", ERROR_LINE_NOT_FOUND},
    {"SetupGetLineCountW", ERROR_SECTION_NOT_FOUND},
    {"SetupGetLineTextW", ERROR_LINE_NOT_FOUND},
    {"SetupGetStringFieldW", ERROR_INVALID_PARAMETER},
    {"SetupInitDefaultQueueCallbackEx", kNoMemory},
    {"SetupInstallFromInfSectionW", ERROR_SECTION_NOT_FOUND},
    {"SetupInstallServicesFromInfSectionW", ERROR_SERVICE_MARKED_FOR_DELETE},
    {"SetupOpenInfFileW", ERROR_FILE_NOT_FOUND},
    {"UpdateDriverForPlugAndPlayDevicesW", ERROR_NO_SUCH_DEVINST},
    {"WriteFile", ERROR_INVALID_HANDLE},   // standard output closed
    {"_wsystem", kElevationRequired},   // the servicing tool's exit status
};

// Calls that release something or read the clock: they cannot fail.
const std::set<std::string> kCannotFail = {"CloseHandle",     "FindClose", "GetLocalTime",
                                           "LocalFree",       "RegCloseKey", "SetupCloseInfFile",
                                           "SetupTermDefaultQueueCallback", "wprintf"};

// A failed call normally ends the run as a failure whose log ends with the
// failure lines of the call's own error.  The exceptions, by design:
enum class Design {
    kPassedOver,   // the program goes on: the run succeeds
    kOtherCode,    // the failure lines carry another code ('detail': its 8 hex digits, or "version")
    kSilent,       // the step logs nothing of its own ('detail': a pattern of the whole log)
};

// An entry matches a failed call by its function and error ("" and 0: any),
// a piece of its traced arguments, the function called just before it and
// the sweep run's name ("": any).
struct Exception {
    const char *function;
    uint32_t error;
    const char *args;
    const char *previous;
    const char *run;
    Design design;
    const char *detail;
    const char *reason;
};

constexpr Design kPassedOver = Design::kPassedOver;

const Exception kExceptions[] = {
    {"WriteFile", 0, "", "", "", kPassedOver, "", "the console echo of a log line; the log file has the line"},
    {"FormatMessageW", 0, "", "", "", kPassedOver, "",
     "the system's text of a code logged on the way (the first driver install of a device that is not there "
     "yet); the code line is logged without it"},
    {"SetupDiDestroyDeviceInfoList", 0, "", "", "", kPassedOver, "",
     "releasing a walk's device set; the walk's result stands"},
    {"SetupDiGetDeviceInstallParamsW", 0, "", "", "", kPassedOver, "",
     "a device's restart need that cannot be read counts as none"},
    {"SetupDefaultQueueCallbackW", 0, "notification=0x2 ", "", "", kPassedOver, "",
     "the file queue ignores the answer to its end-of-queue notice"},
    {"SetupDefaultQueueCallbackW", 0, "notification=0x6 ", "", "", kPassedOver, "",
     "the file queue ignores the answer to its end-of-delete notice"},
    {"UpdateDriverForPlugAndPlayDevicesW", ERROR_NO_SUCH_DEVINST, "hwid=MPIODisk", "", "", kPassedOver, "",
     "no disk carries MPIODisk: no disk was claimed, now or before, so there is nothing to update"},
    // The DelReg clean-up of 5.0 passes over a line it cannot read, as it
    // does a line that does not qualify.
    {"SetupGetLineCountW", 0, "", "", "-u 5.0", kPassedOver, "", "a DelReg section that cannot be counted has no lines"},
    {"SetupGetLineByIndexW", 0, "", "", "-u 5.0", kPassedOver, "", "a DelReg line that cannot be read is passed over"},
    {"SetupGetFieldCount", 0, "", "", "-u 5.0", kPassedOver, "", "a DelReg line that cannot be read is passed over"},
    {"SetupGetIntField", 0, "", "", "-u 5.0", kPassedOver, "", "a DelReg line that cannot be read is passed over"},
    {"SetupGetStringFieldW", 0, "", "", "-u 5.0", kPassedOver, "", "a DelReg line that cannot be read is passed over"},
    {"LocalAlloc", 0, "flags=0x0 ", "SetupGetStringFieldW", "-u 5.0", kPassedOver, "",
     "a DelReg line whose field text cannot be allocated is passed over"},
    // "-r" after a successful install.
    {"RegCreateKeyExW", 0, "", "", "-r", kPassedOver, "", "the MPIO timing parameters: their result is not consulted"},
    {"RegSetValueExW", 0, "type=4 ", "", "-r", kPassedOver, "",
     "the MPIO timing parameters: their result is not consulted"},
    {"MessageBoxW", 0, "type=0x1 ", "", "-r", kPassedOver, "",
     "a reboot question that gets no answer is no OK: no reboot"},
    {"OpenProcessToken", 0, "", "", "-r", kPassedOver, "", "the reboot: a refused one is silent, and -r exits -1 anyway"},
    {"LookupPrivilegeValueW", 0, "", "", "-r", kPassedOver, "",
     "the reboot: a refused one is silent, and -r exits -1 anyway"},
    {"AdjustTokenPrivileges", 0, "", "", "-r", kPassedOver, "",
     "the reboot: a refused one is silent, and -r exits -1 anyway"},
    {"ExitWindowsEx", 0, "", "", "-r", kPassedOver, "", "the reboot: a refused one is silent, and -r exits -1 anyway"},
    // Failures reported with a code of their own.
    {"GetVersionExW", 0, "", "", "", Design::kOtherCode, "version", "the version failure has a line of its own"},
    {"SetupDefaultQueueCallbackW", 0, "", "", "", Design::kOtherCode, "000004c7",
     "an abort at the start of the file queue or of a deletion ends the queue as cancelled (1223)"},
    {"CM_Get_DevNode_Status", 0, "", "", "-u", Design::kOtherCode, "0000001f",
     "after the feature switch-off, a bus device whose status cannot be read counts as one that stays (31)"},
    // Generation 6 looks for the MPIO bus device before any progress line.
    {"", 0, "", "", "10.0", Design::kSilent,
     R"(\[T\]Starting Multi-Path install/uninstall package\r\n(\[T\]!!TRY ENTRY \d+\.\r\n)*)",
     "the MPIO bus device lookup before the feature command hands its code up without a line"},
};

// ---------------------------------------------------------------------------
// The sweep runs
// ---------------------------------------------------------------------------

struct SweepRun {
    const char *name;
    std::function<winsim::Machine()> machine;   // the machine the run starts from
    std::vector<std::u16string> args;
};

// The server with the example package installed, after the reboot.
winsim::Machine Installed(winsim::Machine machine)
{
    harness::Run run = harness::RunInProcess(machine, Args("-i"));
    if (run.exitCode < 0)
        ADD_FAILURE() << "the install the sweep starts from failed:\n" << run.log;
    winsim::Reboot(machine);
    machine.trace.clear();
    return machine;
}

winsim::Machine Answering(winsim::Machine machine, int answer)
{
    machine.messageBoxAnswers = {answer};
    return machine;
}

std::vector<SweepRun> SweepRuns()
{
    return {
        {"-i 5.0", [] { return Server(harness::Gen5(0)); }, Args("-i")},
        {"-i 5.2", [] { return Server(harness::Gen5(2)); }, Args("-i")},
        {"-i 10.0", [] { return Server(harness::Gen6()); }, Args("-i")},
        // The DSM's entry is the only one, so both DelReg clean-ups run; both
        // lists are stored in forms other tools write.
        {"-u 5.0",
         [] {
             winsim::Machine machine = Installed(Server(harness::Gen5(0)));
             SetRawList(machine, Utf16(std::string(kQuorvexEntry) + '\0'));
             harness::SetString(machine, kAdapterClassKey, "UpperFilters", "mpfilt");
             return machine;
         },
         Args("-u")},
        {"-u 5.2", [] { return Installed(Server(harness::Gen5(2))); }, Args("-u")},
        {"-u 10.0 emptied", [] { return Installed(Server(harness::Gen6())); }, Args("-u")},
        {"-u 10.0 entries left",
         [] {
             winsim::Machine machine = Server(harness::Gen6());
             harness::SetMultiSz(machine, kMpdevKey, kSupportedDevices, {kTessellaEntry});
             return Installed(machine);
         },
         Args("-u")},
        {"-c 5.2", [] { return Installed(Server(harness::Gen5(2))); }, {u"-c"}},
        {"-r 10.0 OK", [] { return Answering(Server(harness::Gen6()), IDOK); }, Args("-r")},
        {"-r 5.2 Cancel", [] { return Answering(Server(harness::Gen5(2)), IDCANCEL); }, Args("-r")},
    };
}

// ---------------------------------------------------------------------------
// What a run must leave
// ---------------------------------------------------------------------------

// Every multi-string value of a key and its subkeys, by path and name.
void CollectMultiSz(const winsim::RegKey &key, const std::string &path,
                    std::map<std::string, std::vector<uint8_t>> &values)
{
    for (const auto &[folded, named] : key.values)
        if (named.second.type == REG_MULTI_SZ)
            values[path + "\\" + winsim::Narrow(folded)] = named.second.data;
    for (const auto &[folded, subkey] : key.subkeys)
        CollectMultiSz(subkey, path + "\\" + winsim::Narrow(folded), values);
}

// Strings, each with its NUL, then the closing NUL (alone for the empty
// list); NUL units behind it are padding no reader sees.
bool WellFormedMultiSz(const std::vector<uint8_t> &bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2 != 0)
        return false;
    const std::u16string units = winsim::UnitsOf(bytes.data(), bytes.size());
    size_t closing = 0;   // the first empty string
    while (closing < units.size() && units[closing] != 0) {
        const size_t nul = units.find(u'\0', closing);
        if (nul == std::u16string::npos)
            return false;
        closing = nul + 1;
    }
    return closing < units.size() && units.find_first_not_of(u'\0', closing) == std::u16string::npos;
}

// The code of the failure record the log ends with: the code line of
// LogErrorText, or the check's own failure line; "version" for the version
// failure; "" for any other record.
std::string FailureCode(const std::string &log)
{
    static const std::regex failure(
        R"((?: Error code \(0x([0-9a-f]{8})\)|CheckInstallMPIO failed with error (-?\d+)|(Failed to get the OS version), exiting \.\.\.)\r\n)");
    const size_t stamp = log.rfind("[T]");
    const std::string last = stamp == std::string::npos ? log : log.substr(stamp + 3);
    std::smatch match;
    if (!std::regex_match(last, match, failure))
        return "";
    if (match[1].matched)
        return match[1].str();
    if (match[2].matched) {
        char code[16];
        std::snprintf(code, sizeof code, "%08x", static_cast<uint32_t>(std::stol(match[2].str())));
        return code;
    }
    return "version";
}

struct Call {
    std::string function;
    uint32_t number;   // the how-manieth call of the function, from 1
    std::string args;
    std::string previous;   // the function called just before it
};

// One run of the program on a copy of the starting machine.
struct Result {
    harness::Run run;
    winsim::Machine machine;   // as the run left it
    std::string log;           // time stamps masked
};

Result RunOnce(const SweepRun &sweep, const winsim::Machine &start, std::vector<winsim::Fault> faults)
{
    harness::Scratch scratch;
    Result result;
    result.machine = start;
    result.machine.trace.clear();
    result.machine.faults = std::move(faults);
    result.run = harness::RunInProcess(result.machine, sweep.args);
    result.log = harness::MaskTimes(result.run.log);
    return result;
}

// "-r" exits with -1 whatever happens: it succeeded when it asked about the reboot.
bool Succeeded(const SweepRun &sweep, const Result &result)
{
    if (sweep.args[0] == u"-r") {
        for (const winsim::TraceEntry &entry : result.machine.trace)
            if (entry.function == "MessageBoxW" && entry.args.find("type=0x1 ") != std::string::npos)
                return true;
        return false;
    }
    return result.run.exitCode >= 0;
}

bool SameCalls(const Result &a, const Result &b)
{
    if (a.machine.trace.size() != b.machine.trace.size())
        return false;
    for (size_t i = 0; i < a.machine.trace.size(); i++)
        if (a.machine.trace[i].function != b.machine.trace[i].function ||
            a.machine.trace[i].args != b.machine.trace[i].args)
            return false;
    return true;
}

// What no run may leave: blocks, and multi-strings written malformed.
std::vector<std::string> Leftovers(const winsim::Machine &start, const Result &result)
{
    std::vector<std::string> broken;
    if (result.run.localBlocksLeft != 0)
        broken.push_back(std::to_string(result.run.localBlocksLeft) + " blocks left");
    std::map<std::string, std::vector<uint8_t>> before, after;
    CollectMultiSz(start.hklm, "HKLM", before);
    CollectMultiSz(result.machine.hklm, "HKLM", after);
    for (const auto &[name, bytes] : after) {
        auto old = before.find(name);
        if ((old == before.end() || old->second != bytes) && !WellFormedMultiSz(bytes))
            broken.push_back(name + " written malformed");
    }
    return broken;
}

const std::regex &Pattern(const char *text)
{
    static std::map<const char *, std::regex> patterns;
    auto found = patterns.find(text);
    if (found == patterns.end())
        found = patterns.emplace(text, std::regex(text)).first;
    return found->second;
}

// The first entry that matches counts.
const Exception *FindException(const Call &call, uint32_t error, const char *run, const std::string &log)
{
    for (const Exception &exception : kExceptions) {
        if ((*exception.function == 0 || call.function == exception.function) &&
            (exception.error == 0 || exception.error == error) &&
            call.args.find(exception.args) != std::string::npos &&
            (*exception.previous == 0 || call.previous == exception.previous) &&
            std::string(run).find(exception.run) != std::string::npos &&
            (exception.design != Design::kSilent || std::regex_match(log, Pattern(exception.detail))))
            return &exception;
    }
    return nullptr;
}

struct Outcome {
    size_t runs = 0;
    size_t clean = 0;
    std::vector<std::string> unclean;
};

class FaultSweep {
public:
    explicit FaultSweep(const SweepRun &sweep) : sweep_(sweep), start_(sweep.machine()) {}

    // Records the run's calls, then fails each in turn.
    Outcome Run()
    {
        Outcome outcome;
        recording_ = RunOnce(sweep_, start_, {});
        std::vector<std::string> broken = Leftovers(start_, recording_);
        if (!Succeeded(sweep_, recording_))
            broken.push_back("the run without faults failed");
        if (!broken.empty()) {
            outcome.runs = 1;
            outcome.unclean.push_back(Describe("no fault", broken, recording_));
            return outcome;
        }
        for (const Call &call : Calls()) {
            auto typical = kTypicalErrors.find(call.function);
            if (typical == kTypicalErrors.end()) {
                outcome.runs++;
                outcome.unclean.push_back("no typical error for " + call.function);
                continue;
            }
            std::vector<uint32_t> errors = {typical->second};
            if (typical->second != kNoMemory)
                errors.push_back(kNoMemory);
            for (uint32_t error : errors) {
                outcome.runs++;
                std::string unclean = FailOneCall(call, error);
                if (unclean.empty())
                    outcome.clean++;
                else
                    outcome.unclean.push_back(unclean);
            }
        }
        return outcome;
    }

    std::set<const Exception *> used;   // the exceptions some run needed

private:
    std::vector<Call> Calls() const
    {
        std::vector<Call> calls;
        std::map<std::string, uint32_t> counts;
        std::string previous;
        for (const winsim::TraceEntry &entry : recording_.machine.trace) {
            if (!kCannotFail.count(entry.function))
                calls.push_back({entry.function, ++counts[entry.function], entry.args, previous});
            previous = entry.function;
        }
        return calls;
    }

    // Fails one call and names what broke ("" when the run is clean).
    std::string FailOneCall(const Call &call, uint32_t error)
    {
        Result result = RunOnce(sweep_, start_, {harness::FaultOn(call.function.c_str(), error, "", call.number)});
        std::vector<std::string> broken = Leftovers(start_, result);
        const Exception *exception = FindException(call, error, sweep_.name, result.log);
        if (exception != nullptr)
            used.insert(exception);
        char code[16];
        std::snprintf(code, sizeof code, "%08x", error);
        if (Unchanged(result)) {
            // The call fails so anyway (the first driver install for a
            // device that is not there yet): nothing else to check.
        } else if (exception != nullptr && exception->design == Design::kPassedOver) {
            if (!Succeeded(sweep_, result))
                broken.push_back("failed, though the call is passed over by design");
        } else {
            if (Succeeded(sweep_, result))
                broken.push_back("exit " + std::to_string(result.run.exitCode) + " reports success");
            const std::string expected = exception == nullptr ? code : exception->detail;
            if ((exception == nullptr || exception->design == Design::kOtherCode) &&
                FailureCode(result.log) != expected)
                broken.push_back("the log does not end with the failure lines of " + expected);
        }
        if (broken.empty())
            return "";
        return Describe(call.function + " call " + std::to_string(call.number) + " (" + call.args + ") with 0x" +
                            code,
                        broken, result);
    }

    // The same calls, log, exit code and machine as without the fault.
    bool Unchanged(const Result &result) const
    {
        if (result.run.exitCode != recording_.run.exitCode || result.log != recording_.log ||
            result.run.console != recording_.run.console || !SameCalls(result, recording_))
            return false;
        winsim::Machine machine = result.machine;
        machine.faults.clear();
        return winsim::SerializeMachine(machine) == winsim::SerializeMachine(recording_.machine);
    }

    std::string Describe(const std::string &what, const std::vector<std::string> &broken, const Result &result) const
    {
        std::string text = std::string(sweep_.name) + ": " + what + ":";
        for (const std::string &problem : broken)
            text += " " + problem + ";";
        const std::string &log = result.log;
        return text + "\n    log ends: " + log.substr(log.size() > 200 ? log.size() - 200 : 0);
    }

    const SweepRun &sweep_;
    const winsim::Machine start_;
    Result recording_;
};

TEST(FaultSweep, EveryFailedCallEndsTheRunAsAFailure)
{
    const auto started = std::chrono::steady_clock::now();
    std::set<const Exception *> used;
    size_t runs = 0, clean = 0;
    for (const SweepRun &sweep : SweepRuns()) {
        FaultSweep faultSweep(sweep);
        Outcome outcome = faultSweep.Run();
        used.insert(faultSweep.used.begin(), faultSweep.used.end());
        std::printf("fault sweep %s: %zu runs, %zu clean\n", sweep.name, outcome.runs, outcome.clean);
        for (const std::string &unclean : outcome.unclean)
            std::printf("  unclean: %s\n", unclean.c_str());
        runs += outcome.runs;
        clean += outcome.clean;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("fault sweep: %zu runs, %zu clean (%.1f s)\n", runs, clean, seconds);
    EXPECT_EQ(clean, runs);
    for (const Exception &exception : kExceptions)
        EXPECT_TRUE(used.count(&exception)) << "no run needs the exception for " << exception.function << ": "
                                            << exception.reason;
}

}  // namespace
