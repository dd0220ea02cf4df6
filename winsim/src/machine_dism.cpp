// The command interpreter as far as the machine goes: the servicing tool
// (DISM.exe, from Windows 6.1 on) switching the MultipathIo feature and
// answering what state it is in.  _wsystem and _wpopen both run command
// lines through here.
#include <cstdio>
#include <string>

#include "core_internal.h"
#include "winsim/machine.h"

namespace winsim {

namespace {

const Text kFeatureArgumentsOn = u"/online /norestart /enable-feature:MultipathIo";
const Text kFeatureArgumentsOff = u"/online /norestart /disable-feature:MultipathIo";
// Option names compare without case; the feature name is the tool's own.
const Text kFeatureQuery = u"/english /online /get-featureinfo /featurename:";
const char *const kFeature = "MultipathIo";
constexpr int kUnknownFeature = static_cast<int>(0x800F080C);

// The servicing tool switching the feature: the state, the MPIO bus device
// and the exit status the machine's dism member gives.
int SwitchFeature(Machine &machine, bool enable)
{
    const int status = machine.dism.exitStatus;
    std::string &state = machine.features[kFeature];
    if (status == 0 && enable) {
        state = "Enabled";
        if (!FindMpioBusDevice(machine))
            AddMpioBusDevice(machine);
    } else if (status == ERROR_SUCCESS_REBOOT_REQUIRED && enable) {
        // The device appears at the next reboot.
        state = "EnablePending";
        machine.rebootPending = true;
    } else if (status == 0) {
        state = "Disabled";
        if (Device *bus = FindMpioBusDevice(machine)) {
            if (machine.dism.onDisable == "mark")
                bus->status |= DN_WILL_BE_REMOVED;
            else if (machine.dism.onDisable == "remove")
                bus->removed = true;
        }
    } else if (status == ERROR_SUCCESS_REBOOT_REQUIRED) {
        state = "DisablePending";
        machine.rebootPending = true;
        if (Device *bus = FindMpioBusDevice(machine))
            bus->status |= DN_WILL_BE_REMOVED;
    }
    return status;
}

// The state as the tool prints it.
const char *ShownState(const std::string &state)
{
    if (state == "EnablePending")
        return "Enable Pending";
    if (state == "DisablePending")
        return "Disable Pending";
    return state.c_str();
}

// The tool's English answer to /Get-FeatureInfo, in its layout; it exits 0
// (the dism member's exit status is that of the switches).
CommandRun DescribeFeature(const Machine &machine, const Text &feature)
{
    CommandRun run;
    char version[64];
    std::snprintf(version, sizeof version, "%u.%u.%u.1", machine.os.major, machine.os.minor, machine.os.build);
    run.output = std::string("\r\nDeployment Image Servicing and Management tool\r\nVersion: ") + version +
                 "\r\n\r\nImage Version: " + version + "\r\n\r\n";
    auto found = machine.features.find(Narrow(feature));
    if (found == machine.features.end()) {
        run.output += "Error: 0x800f080c\r\n\r\nFeature name " + Narrow(feature) +
                      " is unknown.\r\nA Windows feature name was not recognized.\r\nUse the /Get-Features option "
                      "to find the name of the feature in the image and try the command again.\r\n\r\n"
                      "The DISM log file can be found at C:\\Windows\\Logs\\DISM\\dism.log\r\n";
        run.status = kUnknownFeature;
        return run;
    }
    run.output += "Feature Information:\r\n\r\nFeature Name : " + found->first +
                  "\r\nDisplay Name : Multipath I/O\r\nDescription : Provides support for using multiple data "
                  "paths to a storage device.\r\nRestart Required : Possible\r\nState : " +
                  ShownState(found->second) +
                  "\r\n\r\nCustom Properties:\r\n\r\n(No custom properties found)\r\n\r\n"
                  "The operation completed successfully.\r\n";
    return run;
}

// The servicing tool ships from 6.1 (Windows 7, Server 2008 R2) on; on 6.0
// and older systems it is no program at all.
bool IsFeatureTool(const Text &word, const OsInfo &os)
{
    const bool shipped = os.major > 6 || (os.major == 6 && os.minor >= 1);
    return shipped && (EqualNoCase(word, u"DISM.exe") || EqualNoCase(word, u"DISM"));
}

CommandRun RunFeatureTool(Machine &machine, const Text &arguments)
{
    CommandRun run;
    if (arguments == kFeatureArgumentsOn || arguments == kFeatureArgumentsOff) {
        run.status = SwitchFeature(machine, arguments == kFeatureArgumentsOn);
        return run;
    }
    if (arguments.size() > kFeatureQuery.size() && EqualNoCase(arguments.substr(0, kFeatureQuery.size()), kFeatureQuery))
        return DescribeFeature(machine, arguments.substr(kFeatureQuery.size()));
    // The tool rejects any other request as an unknown option.
    run.errors = "\r\nError: 87\r\n\r\nThe option is unknown.\r\n";
    run.status = ERROR_INVALID_PARAMETER;
    return run;
}

}  // namespace

CommandRun RunCommandLine(Machine &machine, const Text &line)
{
    CommandRun run;
    if (machine.dism.exitStatus == -1) {
        // No command interpreter could be started.
        run.started = false;
        run.status = -1;
        return run;
    }
    const size_t space = line.find(u' ');
    const Text program = line.substr(0, space);
    const Text arguments = space == Text::npos ? Text() : line.substr(space + 1);
    if (IsFeatureTool(program, machine.os))
        return RunFeatureTool(machine, arguments);
    run.errors = "'" + Narrow(program) +
                 "' is not recognized as an internal or external command,\r\noperable program or batch file.\r\n";
    run.status = 1;
    return run;
}

}  // namespace winsim
