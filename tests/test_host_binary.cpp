// The host binary as an administrator runs it: the machine file in, the exit
// status, the log and the machine file out.  These runs go through the real
// sequences and the stand-in's entry, not test doubles.
#include <gtest/gtest.h>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/harness.h"
#include "support/package_runs.h"

namespace {

using harness::Crlf;
using harness::MaskTimes;
using harness::WithoutTimes;
using package_runs::PackageDir;

const char kParametersKey[] = "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters";

// Runs the host binary on a terminal of its own and answers the first
// message-box prompt that appears there with 'answer'.  Returns the signed
// exit status; 'screen' receives everything the terminal showed.
int RunOnTerminal(const std::string &machineFile, const std::vector<std::string> &args, const std::string &cwd,
                  const std::string &answer, std::string &screen)
{
    int terminal = -1;
    pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (child < 0)
        return -1000;
    if (child == 0) {
        std::vector<char *> argv{const_cast<char *>(INSTALL_BINARY)};
        for (const auto &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        if (chdir(cwd.c_str()) == 0 && setenv("WINSIM_MACHINE", machineFile.c_str(), 1) == 0)
            execv(INSTALL_BINARY, argv.data());
        _exit(127);
    }
    bool answered = false;
    for (;;) {
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 20000) <= 0)
            break;
        char bytes[4096];
        ssize_t count = read(terminal, bytes, sizeof bytes);
        if (count <= 0)
            break;   // the child closed the terminal
        screen.append(bytes, static_cast<size_t>(count));
        if (!answered && screen.find("ancel? ") != std::string::npos)
            answered = write(terminal, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size());
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(terminal);
    return WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : -1000;
}

class HostBinaryTest : public ::testing::Test {
protected:
    // Runs the binary on a copy of 'machine'; after_ is the copy afterwards.
    harness::Run Run(winsim::Machine machine, const std::vector<std::string> &args)
    {
        after_ = std::move(machine);
        return harness::RunBinaryOn(after_, args, scratch_);
    }
    harness::Run Reinstall(winsim::Machine machine, const std::string &source = PackageDir())
    {
        return Run(std::move(machine), package_runs::BinaryArgs("-r", source));
    }

    harness::Scratch scratch_;
    winsim::Machine after_;
};

TEST_F(HostBinaryTest, WrongArgumentsPrintTheUsageAndExitMinusOne)
{
    const std::vector<std::vector<std::string>> shapes = {
        {}, {"-i"}, {"-c", "a", "b", "c"}, {"-I", "a", "b", "c"}, {"-x"}, {"-i", "a", "b", "c", "d"}};
    for (const auto &args : shapes) {
        scratch_.WriteFile("MPIOInstall.LOG", "");
        harness::Run run = Run(harness::Gen6(), args);
        std::string log = scratch_.Log();
        EXPECT_EQ(run.exitCode, -1) << args.size() << " arguments";
        const std::string banner = Crlf("[T]Starting Multi-Path install/uninstall package\n");
        EXPECT_EQ(MaskTimes(log).substr(0, banner.size()), banner);
        EXPECT_NE(log.find("Usage: install switch source_path dsm_inf dsm_hwid\r\n"), std::string::npos);
        EXPECT_EQ(run.console, WithoutTimes(log));
    }
}

TEST_F(HostBinaryTest, CheckOnGeneration6ExitsWithConditionOne)
{
    harness::Run run = Run(harness::Gen6(), {"-c"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(MaskTimes(scratch_.Log()), Crlf("[T]Starting Multi-Path install/uninstall package\n"
                                              "[T]CheckInstallMPIO: install condition 1\n"));
}

TEST_F(HostBinaryTest, MalformedMachineStopsBeforeTheProgramAndChangesNothing)
{
    scratch_.WriteFile("machine.json", "{\"os\": {\"major\": \"six\"}}");
    harness::Run run = harness::RunBinary(scratch_.Path("machine.json"), {"-c"}, scratch_.Dir());
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.errors.find("machine.json"), std::string::npos) << run.errors;
    EXPECT_EQ(scratch_.ReadFile("machine.json"), "{\"os\": {\"major\": \"six\"}}");
    EXPECT_FALSE(scratch_.Exists("MPIOInstall.LOG"));
}

TEST_F(HostBinaryTest, ReinstallFailingShowsOnlyTheFailureBox)
{
    winsim::Machine machine = package_runs::Server(harness::Gen6());
    machine.messageBoxAnswers = {IDOK};
    harness::Run run = Reinstall(machine, scratch_.Path("no-such-package"));

    EXPECT_EQ(run.exitCode, -1);
    ASSERT_EQ(after_.messageBoxes.size(), 1u);
    EXPECT_EQ(winsim::Narrow(after_.messageBoxes[0].text), "Driver reinstall Failed \n Manual uninstall required");
    EXPECT_EQ(winsim::Narrow(after_.messageBoxes[0].caption), "REINSTALL");
    EXPECT_EQ(after_.messageBoxes[0].type, (uint32_t)MB_OK);
    EXPECT_FALSE(harness::GetDword(after_, kParametersKey, "PathVerifyEnabled"));
    EXPECT_TRUE(after_.reboots.empty());
}

TEST_F(HostBinaryTest, ReinstallSucceedingSetsTheParametersAndRebootsOnlyOnOk)
{
    winsim::Machine machine = package_runs::Server(harness::Gen6());
    machine.messageBoxAnswers = {IDCANCEL};
    harness::Run cancelled = Reinstall(machine);

    EXPECT_EQ(cancelled.exitCode, -1);
    EXPECT_EQ(harness::GetDword(after_, kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(harness::GetDword(after_, kParametersKey, "PDORemovePeriod"), 120u);
    ASSERT_EQ(after_.messageBoxes.size(), 1u);
    EXPECT_EQ(winsim::Narrow(after_.messageBoxes[0].text), "Driver reinstall success \n Reboot required!");
    EXPECT_EQ(after_.messageBoxes[0].type, (uint32_t)MB_OKCANCEL);
    EXPECT_TRUE(after_.reboots.empty());

    machine.messageBoxAnswers = {IDOK};
    harness::Run accepted = Reinstall(machine);
    EXPECT_EQ(accepted.exitCode, -1);
    ASSERT_EQ(after_.reboots.size(), 1u);
    EXPECT_EQ(after_.reboots[0].flags, (uint32_t)(EWX_REBOOT | EWX_FORCE));
    EXPECT_EQ(after_.reboots[0].reason, 0x80020003u);
}

// With no scripted answer an interactive machine asks on the terminal.
TEST_F(HostBinaryTest, ReinstallAsksOnTheTerminalWhenNothingIsScripted)
{
    winsim::Machine machine = package_runs::Server(harness::Gen6());
    machine.interactive = true;
    const std::vector<std::string> args = package_runs::BinaryArgs("-r");
    std::string screen;

    winsim::SaveMachineFile(machine, scratch_.Path("machine.json"));
    EXPECT_EQ(RunOnTerminal(scratch_.Path("machine.json"), args, scratch_.Dir(), "c\n", screen), -1);
    EXPECT_NE(screen.find("REINSTALL"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Driver reinstall success"), std::string::npos) << screen;
    after_ = winsim::LoadMachineFile(scratch_.Path("machine.json"));
    ASSERT_EQ(after_.messageBoxes.size(), 1u);
    EXPECT_EQ(after_.messageBoxes[0].answer, IDCANCEL);
    EXPECT_TRUE(after_.reboots.empty());

    screen.clear();
    winsim::SaveMachineFile(machine, scratch_.Path("machine.json"));
    EXPECT_EQ(RunOnTerminal(scratch_.Path("machine.json"), args, scratch_.Dir(), "o\n", screen), -1);
    after_ = winsim::LoadMachineFile(scratch_.Path("machine.json"));
    ASSERT_EQ(after_.messageBoxes.size(), 1u);
    EXPECT_EQ(after_.messageBoxes[0].answer, IDOK);
    EXPECT_EQ(after_.reboots.size(), 1u);
}

TEST_F(HostBinaryTest, ReinstallWithoutTheShutdownPrivilegeDoesNotReboot)
{
    winsim::Machine machine = package_runs::Server(harness::Gen6());
    machine.messageBoxAnswers = {IDOK};
    machine.shutdownPrivilege = false;
    harness::Run run = Reinstall(machine);

    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(after_.messageBoxes.size(), 1u);
    EXPECT_TRUE(after_.reboots.empty());
}

TEST_F(HostBinaryTest, TheLogIsAppendedAcrossRuns)
{
    scratch_.WriteFile("MPIOInstall.LOG", "earlier run\r\n");
    Run(harness::Gen6(), {"-c"});
    EXPECT_EQ(MaskTimes(scratch_.Log()).substr(0, 16), "earlier run\r\n[T]");
}

}  // namespace
