// The multipath feature command: the command line, the tool's statuses and
// what reaches the console and the log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "package/package.h"
#include "support/machine_test.h"

namespace {

const std::string kEnable = "DISM.exe /online /norestart /enable-feature:MultipathIo";
const std::string kDisable = "DISM.exe /online /norestart /disable-feature:MultipathIo";
const std::string kInstalling = "\r\nInstalling the MPIO OC. This may take some time, please be patient...\r\n";
const std::string kUninstalling = "\r\nUninstalling the MPIO OC. This may take some time, please be patient...\r\n";

class FeatureTest : public harness::MachineTest {
protected:
    // Runs the command on a machine whose tool exits with 'status'.
    DWORD Run(BOOL enable, int status, INT *rebootFlag)
    {
        machine_ = harness::Gen6();
        machine_.dism.exitStatus = status;
        return OnMachine([&] { return RunMultipathFeatureCommand(enable, rebootFlag); });
    }
    // The command lines handed to the interpreter.
    std::vector<std::string> Commands() const
    {
        std::vector<std::string> commands;
        for (const auto &entry : machine_.trace)
            if (entry.function == "_wsystem")
                commands.push_back(entry.args);
        return commands;
    }
};

// Any status but 0 and 3010 is a failure, handed up as it is: the console
// says "Failure." and the error text, the log gets the error text only.
TEST_F(FeatureTest, FailingStatuses)
{
    struct Case {
        const char *name;
        BOOL enable;
        int status;
        const char *systemText;
        std::string console;
    };
    const Case cases[] = {
        {"ToolFailingIsReportedAndHandedUp", TRUE, 1, "Incorrect function.",
         kInstalling + "Failure. Incorrect function.\r\r\n\r\n Error code (0x00000001)\r\n"},
        {"NoInterpreter", FALSE, -1, "", kUninstalling + "Failure. Error code (0xffffffff)\r\n"},
        {"OtherStatusesAreNotInterpreted", TRUE, 3011, "", kInstalling + "Failure. Error code (0x00000bc3)\r\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ClearLog();
        INT rebootFlag = 0;
        EXPECT_EQ(Run(c.enable, c.status, &rebootFlag), static_cast<DWORD>(c.status));
        EXPECT_EQ(rebootFlag, 0);
        EXPECT_EQ(machine_.console, c.console);
        EXPECT_EQ(Log(), harness::Crlf(harness::ErrorRecords(c.status, c.systemText)));
    }
}

// Success and a reboot that is needed log nothing; only a needed reboot sets
// the caller's flag.
TEST_F(FeatureTest, SucceedingStatuses)
{
    struct Case {
        const char *name;
        BOOL enable;
        int status;
        INT flagBefore;
        INT flagAfter;
        const std::string &command;
        const std::string &console;
        const char *feature;
    };
    const Case cases[] = {
        {"SwitchedOn", TRUE, 0, 0, 0, kEnable, kInstalling, "Enabled"},
        {"SwitchedOffKeepsTheCallersFlag", FALSE, 0, 5, 5, kDisable, kUninstalling, "Disabled"},
        {"RebootNeededIsSuccessWithTheFlagSet (flag 0)", TRUE, 3010, 0, 1, kEnable, kInstalling, "EnablePending"},
        {"RebootNeededIsSuccessWithTheFlagSet (flag 5)", TRUE, 3010, 5, 1, kEnable, kInstalling, "EnablePending"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        INT rebootFlag = c.flagBefore;
        EXPECT_EQ(Run(c.enable, c.status, &rebootFlag), 0u);
        EXPECT_EQ(rebootFlag, c.flagAfter);
        EXPECT_EQ(Commands(), std::vector<std::string>{"command=" + c.command});
        EXPECT_EQ(machine_.console, c.console);
        EXPECT_EQ(machine_.features["MultipathIo"], c.feature);
    }
    EXPECT_FALSE(scratch_.Exists("MPIOInstall.LOG"));
}

}  // namespace
