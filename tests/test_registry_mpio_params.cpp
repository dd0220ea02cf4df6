// The MPIO bus driver's timing parameters.
#include <gtest/gtest.h>

#include <string>

#include "registry/registry.h"
#include "support/harness.h"

namespace {

const std::string kParametersKey = "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters";

winsim::Fault FaultOn(const char *function, DWORD error, const std::u16string &subject = u"")
{
    winsim::Fault fault;
    fault.function = function;
    fault.error = error;
    fault.subject = subject;
    return fault;
}

TEST(SetMpioParameters, KeyRefusedWritesNothing)
{
    winsim::Machine machine = harness::Gen6();
    machine.faults.push_back(FaultOn("RegCreateKeyExW", ERROR_ACCESS_DENIED));
    winsim::SetCurrent(machine);
    EXPECT_EQ(SetMpioParameters(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(winsim::TraceHas("RegSetValueExW"));
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 0u);
}

TEST(SetMpioParameters, FirstValueRefusedLeavesTheSecondAlone)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetDword(machine, kParametersKey, "PDORemovePeriod", 20);
    machine.faults.push_back(FaultOn("RegSetValueExW", ERROR_ACCESS_DENIED, u"PathVerifyEnabled"));
    winsim::SetCurrent(machine);
    EXPECT_EQ(SetMpioParameters(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(harness::GetDword(winsim::Current(), kParametersKey, "PDORemovePeriod"), 20u);
    EXPECT_EQ(winsim::TraceCount("RegSetValueExW"), 1u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST(SetMpioParameters, SecondValueRefusedKeepsTheFirst)
{
    winsim::Machine machine = harness::Gen6();
    machine.faults.push_back(FaultOn("RegSetValueExW", ERROR_GEN_FAILURE, u"PDORemovePeriod"));
    winsim::SetCurrent(machine);
    EXPECT_EQ(SetMpioParameters(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(harness::GetDword(winsim::Current(), kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST(SetMpioParameters, CreatesTheMissingKey)
{
    winsim::SetCurrent(harness::Gen6());
    ASSERT_EQ(winsim::FindKey(winsim::Current(), winsim::Widen("SYSTEM\\CurrentControlSet\\Services\\mpio")),
              nullptr);
    EXPECT_EQ(SetMpioParameters(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(winsim::TraceHas("RegCreateKeyExW", "path=" + kParametersKey + " access=0xf003f options=0x0"));
    EXPECT_EQ(harness::GetDword(winsim::Current(), kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(harness::GetDword(winsim::Current(), kParametersKey, "PDORemovePeriod"), 120u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST(SetMpioParameters, OverwritesOtherTypesAndData)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetString(machine, kParametersKey, "PathVerifyEnabled", "yes");
    harness::SetDword(machine, kParametersKey, "PDORemovePeriod", 20);
    winsim::SetCurrent(machine);
    EXPECT_EQ(SetMpioParameters(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(winsim::TraceHas("RegSetValueExW", "name=PathVerifyEnabled type=4 size=4"));
    EXPECT_TRUE(winsim::TraceHas("RegSetValueExW", "name=PDORemovePeriod type=4 size=4"));
    EXPECT_EQ(harness::GetDword(winsim::Current(), kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(harness::GetDword(winsim::Current(), kParametersKey, "PDORemovePeriod"), 120u);
}

}  // namespace
