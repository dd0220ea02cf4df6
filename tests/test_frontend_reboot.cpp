// The forced reboot: what it asks of the platform and when it gives up.
#include <gtest/gtest.h>

#include "frontend/frontend.h"
#include "support/harness.h"

namespace {

winsim::Fault FailEveryCall(const char *function, DWORD error)
{
    winsim::Fault fault;
    fault.function = function;
    fault.error = error;
    return fault;
}

void ExpectTokenClosed(int line)
{
    SCOPED_TRACE(testing::Message() << "from line " << line);
    EXPECT_EQ(winsim::TraceCount("OpenProcessToken"), 1u);
    EXPECT_EQ(winsim::TraceCount("CloseHandle"), 1u);
}

TEST(RebootSystem, NoTokenNoRequest)
{
    winsim::Machine machine = harness::Gen6();
    machine.faults.push_back(FailEveryCall("OpenProcessToken", ERROR_ACCESS_DENIED));
    winsim::SetCurrent(machine);
    EXPECT_EQ(RebootSystem(), 0);
    EXPECT_FALSE(winsim::TraceHas("AdjustTokenPrivileges"));
    EXPECT_FALSE(winsim::TraceHas("ExitWindowsEx"));
    EXPECT_TRUE(winsim::Current().reboots.empty());
}

TEST(RebootSystem, PrivilegeNotGrantedNoRequest)
{
    winsim::Machine machine = harness::Gen6();
    machine.shutdownPrivilege = false;
    winsim::SetCurrent(machine);
    // The adjustment itself succeeds; only the last error tells the partial grant.
    EXPECT_EQ(RebootSystem(), 0);
    EXPECT_FALSE(winsim::TraceHas("ExitWindowsEx"));
    EXPECT_TRUE(winsim::Current().reboots.empty());
    ExpectTokenClosed(__LINE__);
}

TEST(RebootSystem, AdjustmentFailingNoRequest)
{
    winsim::Machine machine = harness::Gen6();
    machine.faults.push_back(FailEveryCall("AdjustTokenPrivileges", ERROR_ACCESS_DENIED));
    winsim::SetCurrent(machine);
    EXPECT_EQ(RebootSystem(), 0);
    EXPECT_FALSE(winsim::TraceHas("ExitWindowsEx"));
    ExpectTokenClosed(__LINE__);
}

TEST(RebootSystem, RequestRefused)
{
    winsim::Machine machine = harness::Gen6();
    machine.faults.push_back(FailEveryCall("ExitWindowsEx", ERROR_SHUTDOWN_IN_PROGRESS));
    winsim::SetCurrent(machine);
    EXPECT_EQ(RebootSystem(), 0);
    EXPECT_TRUE(winsim::Current().reboots.empty());
    ExpectTokenClosed(__LINE__);
}

TEST(RebootSystem, ForcedPlannedUpgradeReboot)
{
    winsim::SetCurrent(harness::Gen6());
    // A stale last error from before does not count against the grant.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(RebootSystem(), 1);
    EXPECT_TRUE(winsim::TraceHas("OpenProcessToken", "access=0x28"));
    EXPECT_TRUE(winsim::TraceHas("LookupPrivilegeValueW", "name=SeShutdownPrivilege"));
    EXPECT_TRUE(winsim::TraceHas("AdjustTokenPrivileges", "disable_all=0 count=1"));
    const auto &reboots = winsim::Current().reboots;
    ASSERT_EQ(reboots.size(), 1u);
    EXPECT_EQ(reboots[0].flags, 6u);
    EXPECT_EQ(reboots[0].reason, 0x80020003u);
    ExpectTokenClosed(__LINE__);
}

}  // namespace
