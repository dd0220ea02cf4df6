// The host program's entry: load the machine, run the program's wmain on it,
// complete a reboot the run asked for, and save the machine atomically.
//
// Exit status: the program's own, or 2 when the machine description cannot
// be read or is malformed (nothing runs, nothing changes), or 3 when the
// changed machine could not be saved.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
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

// Runs once, whether wmain returned or the program called exit().
void Finish()
{
    if (finished)
        return;
    finished = true;
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
