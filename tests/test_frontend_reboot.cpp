// The forced reboot: what it asks of the platform and when it gives up.
#include <gtest/gtest.h>

#include "frontend/frontend.h"
#include "support/machine_test.h"

namespace {

class RebootSystemTest : public harness::MachineTest {
protected:
    void SetUp() override { machine_ = harness::Gen6(); }
};

// Each step that fails ends the attempt without a reboot; the token, once
// opened, is closed.
TEST_F(RebootSystemTest, GivesUpAtTheFirstFailingStep)
{
    struct Case {
        const char *name;
        const char *failing;      // the function that fails, or none
        DWORD error;
        bool privilegeGranted;
        bool tokenOpened;
        bool adjusted;            // AdjustTokenPrivileges was called
        bool asked;               // ExitWindowsEx was called
    };
    const Case cases[] = {
        {"NoTokenNoRequest", "OpenProcessToken", ERROR_ACCESS_DENIED, true, false, false, false},
        // The adjustment itself succeeds; only the last error tells the partial grant.
        {"PrivilegeNotGrantedNoRequest", nullptr, 0, false, true, true, false},
        {"AdjustmentFailingNoRequest", "AdjustTokenPrivileges", ERROR_ACCESS_DENIED, true, true, true, false},
        {"RequestRefused", "ExitWindowsEx", ERROR_SHUTDOWN_IN_PROGRESS, true, true, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        machine_ = harness::Gen6();
        machine_.shutdownPrivilege = c.privilegeGranted;
        if (c.failing != nullptr)
            machine_.faults.push_back(harness::FaultOn(c.failing, c.error));
        EXPECT_EQ(OnMachine(RebootSystem), 0);
        EXPECT_EQ(winsim::TraceHas("AdjustTokenPrivileges"), c.adjusted);
        EXPECT_EQ(winsim::TraceHas("ExitWindowsEx"), c.asked);
        EXPECT_TRUE(machine_.reboots.empty());
        EXPECT_EQ(winsim::TraceCount("OpenProcessToken"), 1u);
        EXPECT_EQ(winsim::TraceCount("CloseHandle"), c.tokenOpened ? 1u : 0u);
    }
}

TEST_F(RebootSystemTest, ForcedPlannedUpgradeReboot)
{
    // A stale last error from before does not count against the grant.
    EXPECT_EQ(OnMachine([] {
                  SetLastError(ERROR_ACCESS_DENIED);
                  return RebootSystem();
              }),
              1);
    EXPECT_TRUE(winsim::TraceHas("OpenProcessToken", "access=0x28"));
    EXPECT_TRUE(winsim::TraceHas("LookupPrivilegeValueW", "name=SeShutdownPrivilege"));
    EXPECT_TRUE(winsim::TraceHas("AdjustTokenPrivileges", "disable_all=0 count=1"));
    ASSERT_EQ(machine_.reboots.size(), 1u);
    EXPECT_EQ(machine_.reboots[0].flags, 6u);
    EXPECT_EQ(machine_.reboots[0].reason, 0x80020003u);
    EXPECT_EQ(winsim::TraceCount("OpenProcessToken"), 1u);
    EXPECT_EQ(winsim::TraceCount("CloseHandle"), 1u);
}

}  // namespace
