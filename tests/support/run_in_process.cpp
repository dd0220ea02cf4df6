// Runs of the program's wmain in this process, on a machine of the test's.
#include <cstdio>

#include "common/common.h"
#include "frontend/frontend.h"
#include "support/harness.h"

namespace harness {

Run RunInProcess(winsim::Machine &machine, const std::vector<std::u16string> &args)
{
    machine.echoConsole = false;
    const size_t consoleBefore = machine.console.size();
    const size_t rebootsBefore = machine.reboots.size();
    const size_t blocksBefore = winsim::LiveLocalBlocks();
    const std::string logBefore = FileBytes("MPIOInstall.LOG");
    MakeCurrent(machine);
    FoundDevInst = 0;

    std::vector<std::u16string> arguments;
    arguments.push_back(u"install.exe");
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::vector<WCHAR *> argv;
    for (auto &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    Run run;
    run.exitCode = wmain(static_cast<int>(args.size() + 1), argv.data());
    std::fflush(stdout);

    winsim::Machine &after = winsim::Current();
    run.rebooted = winsim::CompleteRequestedReboot(after, rebootsBefore);
    run.console = after.console.substr(consoleBefore);
    const size_t blocksAfter = winsim::LiveLocalBlocks();
    run.localBlocksLeft = blocksAfter > blocksBefore ? blocksAfter - blocksBefore : 0;
    const std::string log = FileBytes("MPIOInstall.LOG");
    run.log = log.size() >= logBefore.size() ? log.substr(logBefore.size()) : log;
    machine = after;
    RunEnded();
    return run;
}

}  // namespace harness
