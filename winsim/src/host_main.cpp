// The host program's entry: load the machine, run the program's wmain on it,
// complete a reboot the run asked for, and save the machine atomically.
//
// Exit status: the program's own, or 2 when the machine description cannot
// be read or is malformed (nothing runs, nothing changes), or 3 when the
// changed machine could not be saved.
//
// With WINSIM_TRACE set, the run's platform calls and the LocalAlloc blocks
// it left are written to the file it names.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "winsim/machine.h"

int wmain(int argc, WCHAR **argv);

namespace {

constexpr int kExitBadMachine = 2;
constexpr int kExitNotSaved = 3;

std::string machinePath;
size_t firstRebootRecord = 0;
bool finished = true;

// One call a line, "Function(arguments)"; a line break inside an argument
// is written as \n.  The last line counts the live LocalAlloc blocks.
void WriteTrace(const char *path)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const winsim::TraceEntry &entry : winsim::Current().trace) {
        std::string args;
        for (char c : entry.args)
            args += c == '\n' ? std::string("\\n") : c == '\r' ? std::string("\\r") : std::string(1, c);
        out << entry.function << '(' << args << ")\n";
    }
    out << "live LocalAlloc blocks: " << winsim::LiveLocalBlocks() << '\n';
    out.close();
    if (!out)
        std::fprintf(stderr, "winsim: %s: the trace was not written\n", path);
}

// Runs once, whether wmain returned or the program called exit().
void Finish()
{
    if (finished)
        return;
    finished = true;
    std::fflush(stdout);
    if (const char *tracePath = std::getenv("WINSIM_TRACE"); tracePath && *tracePath)
        WriteTrace(tracePath);
    winsim::Machine &machine = winsim::Current();
    winsim::CompleteRequestedReboot(machine, firstRebootRecord);
    try {
        winsim::SaveMachineFile(machine, machinePath);
    } catch (const std::exception &error) {
        std::fflush(stdout);
        std::fprintf(stderr, "winsim: %s: the machine was not saved: %s\n", machinePath.c_str(), error.what());
        std::fflush(stderr);
        _exit(kExitNotSaved);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const char *fromEnvironment = std::getenv("WINSIM_MACHINE");
    machinePath = fromEnvironment && *fromEnvironment ? fromEnvironment : "winsim-machine.json";

    winsim::Machine machine;
    if (access(machinePath.c_str(), F_OK) != 0) {
        machine = winsim::DefaultMachine();
    } else {
        try {
            machine = winsim::LoadMachineFile(machinePath);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "winsim: %s: %s\n", machinePath.c_str(), error.what());
            return kExitBadMachine;
        }
    }
    machine.path = machinePath;
    machine.echoConsole = true;
    const char *tracePath = std::getenv("WINSIM_TRACE");
    machine.recordTrace = tracePath && *tracePath;
    firstRebootRecord = machine.reboots.size();
    winsim::SetCurrent(std::move(machine));

    std::vector<winsim::Text> arguments;
    for (int i = 0; i < argc; i++)
        arguments.push_back(winsim::Widen(argv[i]));
    std::vector<WCHAR *> wideArgv;
    for (auto &argument : arguments)
        wideArgv.push_back(argument.data());
    wideArgv.push_back(nullptr);

    finished = false;
    std::atexit(Finish);
    int code = wmain(argc, wideArgv.data());
    std::fflush(stdout);
    Finish();
    return code;
}
