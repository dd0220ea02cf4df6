// The multipath feature command: the command line, the tool's statuses and
// what reaches the console and the log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "package/package.h"
#include "support/harness.h"

namespace {

const std::string kEnable = "DISM.exe /online /norestart /enable-feature:MultipathIo";
const std::string kDisable = "DISM.exe /online /norestart /disable-feature:MultipathIo";
const std::string kInstalling = "\r\nInstalling the MPIO OC. This may take some time, please be patient...\r\n";
const std::string kUninstalling = "\r\nUninstalling the MPIO OC. This may take some time, please be patient...\r\n";

class FeatureTest : public testing::Test {
protected:
    // Runs the command on a machine whose tool exits with 'status'.
    DWORD Run(BOOL enable, int status, INT *rebootFlag)
    {
        winsim::Machine machine = harness::Gen6();
        machine.dism.exitStatus = status;
        winsim::SetCurrent(machine);
        return RunMultipathFeatureCommand(enable, rebootFlag);
    }
    std::string Console() const { return winsim::Current().console; }
    // The command lines handed to the interpreter.
    std::vector<std::string> Commands() const
    {
        std::vector<std::string> commands;
        for (const auto &entry : winsim::Current().trace)
            if (entry.function == "_wsystem")
                commands.push_back(entry.args);
        return commands;
    }

    harness::Scratch scratch;
};

TEST_F(FeatureTest, ToolFailingIsReportedAndHandedUp)
{
    INT rebootFlag = 0;
    EXPECT_EQ(Run(TRUE, 1, &rebootFlag), 1u);
    EXPECT_EQ(rebootFlag, 0);
    EXPECT_EQ(Console(), kInstalling + "Failure. Incorrect function.\r\r\n\r\n Error code (0x00000001)\r\n");
    // Only the error text reaches the log.
    EXPECT_EQ(harness::MaskTimes(scratch.Log()),
              harness::Crlf("[T] Incorrect function.\r\n\n[T] Error code (0x00000001)\n"));
}

TEST_F(FeatureTest, NoInterpreter)
{
    INT rebootFlag = 0;
    EXPECT_EQ(Run(FALSE, -1, &rebootFlag), 0xFFFFFFFFu);
    EXPECT_EQ(rebootFlag, 0);
    EXPECT_EQ(Console(), kUninstalling + "Failure. Error code (0xffffffff)\r\n");
    EXPECT_EQ(harness::MaskTimes(scratch.Log()), harness::Crlf("[T] Error code (0xffffffff)\n"));
}

TEST_F(FeatureTest, OtherStatusesAreNotInterpreted)
{
    INT rebootFlag = 0;
    EXPECT_EQ(Run(TRUE, 3011, &rebootFlag), 3011u);
    EXPECT_EQ(rebootFlag, 0);
    EXPECT_EQ(harness::MaskTimes(scratch.Log()), harness::Crlf("[T] Error code (0x00000bc3)\n"));
}

TEST_F(FeatureTest, SwitchedOn)
{
    INT rebootFlag = 0;
    EXPECT_EQ(Run(TRUE, 0, &rebootFlag), 0u);
    EXPECT_EQ(rebootFlag, 0);
    EXPECT_EQ(Commands(), std::vector<std::string>{"command=" + kEnable});
    EXPECT_EQ(kEnable.size(), 55u);
    EXPECT_EQ(Console(), kInstalling);
    EXPECT_FALSE(scratch.Exists("MPIOInstall.LOG"));
    EXPECT_EQ(winsim::Current().features["MultipathIo"], "Enabled");
}

TEST_F(FeatureTest, SwitchedOffKeepsTheCallersFlag)
{
    INT rebootFlag = 5;
    EXPECT_EQ(Run(FALSE, 0, &rebootFlag), 0u);
    EXPECT_EQ(rebootFlag, 5);
    EXPECT_EQ(Commands(), std::vector<std::string>{"command=" + kDisable});
    EXPECT_EQ(kDisable.size(), 56u);
    EXPECT_EQ(Console(), kUninstalling);
    EXPECT_FALSE(scratch.Exists("MPIOInstall.LOG"));
}

TEST_F(FeatureTest, RebootNeededIsSuccessWithTheFlagSet)
{
    for (INT before : {0, 5}) {
        SCOPED_TRACE(testing::Message() << "flag before " << before);
        INT rebootFlag = before;
        EXPECT_EQ(Run(TRUE, 3010, &rebootFlag), 0u);
        EXPECT_EQ(rebootFlag, 1);
        EXPECT_EQ(Console(), kInstalling);
        EXPECT_EQ(winsim::Current().features["MultipathIo"], "EnablePending");
    }
    EXPECT_FALSE(scratch.Exists("MPIOInstall.LOG"));
}

}  // namespace
