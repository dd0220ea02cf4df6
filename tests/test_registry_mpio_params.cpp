// The MPIO bus driver's timing parameters.
#include <gtest/gtest.h>

#include <string>

#include "registry/registry.h"
#include "support/machine_test.h"

namespace {

using harness::FaultOn;
using harness::GetDword;

const std::string kParametersKey = "SYSTEM\\CurrentControlSet\\Services\\mpio\\Parameters";

class SetMpioParametersTest : public harness::MachineTest {
protected:
    void SetUp() override { machine_ = harness::Gen6(); }
    DWORD Set() { return OnMachine(SetMpioParameters); }
};

TEST_F(SetMpioParametersTest, KeyRefusedWritesNothing)
{
    machine_.faults.push_back(FaultOn("RegCreateKeyExW", ERROR_ACCESS_DENIED));
    EXPECT_EQ(Set(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_FALSE(winsim::TraceHas("RegSetValueExW"));
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 0u);
}

TEST_F(SetMpioParametersTest, FirstValueRefusedLeavesTheSecondAlone)
{
    harness::SetDword(machine_, kParametersKey, "PDORemovePeriod", 20);
    machine_.faults.push_back(FaultOn("RegSetValueExW", ERROR_ACCESS_DENIED, "PathVerifyEnabled"));
    EXPECT_EQ(Set(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetDword(machine_, kParametersKey, "PDORemovePeriod"), 20u);
    EXPECT_EQ(winsim::TraceCount("RegSetValueExW"), 1u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST_F(SetMpioParametersTest, SecondValueRefusedKeepsTheFirst)
{
    machine_.faults.push_back(FaultOn("RegSetValueExW", ERROR_GEN_FAILURE, "PDORemovePeriod"));
    EXPECT_EQ(Set(), (DWORD)ERROR_GEN_FAILURE);
    EXPECT_EQ(GetDword(machine_, kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST_F(SetMpioParametersTest, CreatesTheMissingKey)
{
    ASSERT_EQ(winsim::FindKey(machine_, winsim::Widen("SYSTEM\\CurrentControlSet\\Services\\mpio")), nullptr);
    EXPECT_EQ(Set(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(winsim::TraceHas("RegCreateKeyExW", "path=" + kParametersKey + " access=0xf003f options=0x0"));
    EXPECT_EQ(GetDword(machine_, kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(GetDword(machine_, kParametersKey, "PDORemovePeriod"), 120u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST_F(SetMpioParametersTest, OverwritesOtherTypesAndData)
{
    harness::SetString(machine_, kParametersKey, "PathVerifyEnabled", "yes");
    harness::SetDword(machine_, kParametersKey, "PDORemovePeriod", 20);
    EXPECT_EQ(Set(), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(winsim::TraceHas("RegSetValueExW", "name=PathVerifyEnabled type=4 size=4"));
    EXPECT_TRUE(winsim::TraceHas("RegSetValueExW", "name=PDORemovePeriod type=4 size=4"));
    EXPECT_EQ(GetDword(machine_, kParametersKey, "PathVerifyEnabled"), 1u);
    EXPECT_EQ(GetDword(machine_, kParametersKey, "PDORemovePeriod"), 120u);
}

}  // namespace
