// The device class walk: which devices it visits and in which order, its
// progress lines, the end of the walk at the first failing visit, the
// folding of the visits' restart requests into the caller's flag, and the
// set it builds and always destroys.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "device/device.h"
#include "support/machine_test.h"

namespace {

using harness::Crlf;

// A visitor that follows a script: per visit the result and the out flag it
// reports; it records what the walk handed it.
struct Visit {
    HDEVINFO set;
    DWORD devInst;
    PVOID context;
    INT outFlagOnEntry;
};
std::vector<Visit> visits;
std::vector<std::pair<DWORD, INT>> script;

DWORD ScriptedCallback(HDEVINFO set, PSP_DEVINFO_DATA device, PVOID context, INT *outFlag)
{
    visits.push_back({set, device->DevInst, context, *outFlag});
    std::pair<DWORD, INT> step{0, 0};
    if (visits.size() <= script.size())
        step = script[visits.size() - 1];
    *outFlag = step.second;
    return step.first;
}

class DeviceWalkTest : public harness::MachineTest {
protected:
    void SetUp() override
    {
        visits.clear();
        script.clear();
    }

    DWORD Walk(const GUID &classGuid)
    {
        return OnMachine([&] { return EnumClassDevices(&classGuid, ScriptedCallback, &context_, &flag_); });
    }

    void AddAdapters(int count)
    {
        for (int i = 0; i < count; i++)
            machine_.devices.push_back(harness::ScsiAdapter("PCI\\VEN_1000&DEV_0054\\4&2A&0&0" + std::to_string(i),
                                                            {"PCI\\VEN_1000&DEV_0054"}, "Tessella SAS Adapter"));
    }

    int context_ = 0;
    INT flag_ = 0;
};

TEST_F(DeviceWalkTest, SetThatCannotBeBuiltReturnsItsCodeAndLogsNothing)
{
    AddAdapters(1);
    machine_.faults.push_back(harness::FaultOn("SetupDiGetClassDevsW", ERROR_ACCESS_DENIED));
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(visits.empty());
    EXPECT_EQ(scratch_.Log(), "");
    EXPECT_EQ(flag_, 0);
    EXPECT_EQ(winsim::TraceCount("SetupDiDestroyDeviceInfoList"), 0u);
}

TEST_F(DeviceWalkTest, ClassWithoutDevicesVisitsNothing)
{
    machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), 0u);
    EXPECT_TRUE(visits.empty());
    EXPECT_EQ(scratch_.Log(), "");
    EXPECT_EQ(flag_, 0);
    EXPECT_EQ(winsim::TraceCount("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
}

TEST_F(DeviceWalkTest, VisitsEveryDeviceOfTheClassInListOrderPresentOrNot)
{
    AddAdapters(1);
    machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
    AddAdapters(1);
    machine_.devices.back().instanceId = u"PCI\\VEN_1000&DEV_0054\\UNPLUGGED";
    machine_.devices.back().present = false;
    machine_.devices.push_back(harness::MpioBus("Detected\\MPIO"));

    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), 0u);
    ASSERT_EQ(visits.size(), 3u);
    EXPECT_EQ(visits[0].devInst, 1u);
    EXPECT_EQ(visits[1].devInst, 3u);   // not present, visited all the same
    EXPECT_EQ(visits[2].devInst, 4u);
    for (const Visit &visit : visits) {
        EXPECT_EQ(visit.context, &context_);
        EXPECT_EQ(visit.set, visits[0].set);
    }
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]!!TRY ENTRY 1.\n[T]!!TRY ENTRY 2.\n"));
    // Flags 0: every recorded device, not only the present ones.
    EXPECT_TRUE(winsim::TraceHas("SetupDiGetClassDevsW",
                                 "class={4D36E97B-E325-11CE-BFC1-08002BE10318} enumerator=null flags=0x0"));
    EXPECT_TRUE(winsim::TraceHas("SetupDiEnumDeviceInfo", "size=" + std::to_string(sizeof(SP_DEVINFO_DATA))));
    EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
}

TEST_F(DeviceWalkTest, FirstFailingVisitEndsTheWalkAndItsFlagIsNotTaken)
{
    AddAdapters(3);
    script = {{ERROR_GEN_FAILURE, 1}};
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(visits.size(), 1u);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n"));
    EXPECT_EQ(flag_, 0);
    EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
}

TEST_F(DeviceWalkTest, FailureAfterARestartRequestKeepsTheRequest)
{
    AddAdapters(3);
    script = {{0, 1}, {ERROR_ACCESS_DENIED, 0}};
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(visits.size(), 2u);
    EXPECT_EQ(flag_, 1);
}

TEST_F(DeviceWalkTest, FirstRestartRequestSticks)
{
    AddAdapters(3);
    script = {{0, 0}, {0, 1}, {0, 0}};
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]!!TRY ENTRY 1.\n[T]!!TRY ENTRY 2.\n"));
    // Every visit starts from a cleared out flag.
    for (const Visit &visit : visits)
        EXPECT_EQ(visit.outFlagOnEntry, 0);

    // A later, different request does not replace the first one.
    visits.clear();
    flag_ = 0;
    script = {{0, 2}, {0, 1}};
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), 0u);
    EXPECT_EQ(flag_, 2);
}

TEST_F(DeviceWalkTest, FlagSetOnEntryIsNeverCleared)
{
    AddAdapters(2);
    flag_ = 1;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), 0u);
    EXPECT_EQ(visits.size(), 2u);
    EXPECT_EQ(flag_, 1);
}

// Stopping quietly would leave the remaining devices unvisited while the
// walk reported success.
TEST_F(DeviceWalkTest, EnumerationFailureEndsTheWalkWithItsCode)
{
    AddAdapters(3);
    machine_.faults.push_back(harness::FaultOn("SetupDiEnumDeviceInfo", ERROR_GEN_FAILURE, "", 2));
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(visits.size(), 1u);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n"));
    EXPECT_EQ(winsim::TraceCount("SetupDiDestroyDeviceInfoList"), 1u);
    EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
}

TEST_F(DeviceWalkTest, WalksOnlyTheRequestedClass)
{
    AddAdapters(1);
    machine_.devices.push_back(harness::SystemDevice("ROOT\\SYSTEM\\0000", {"Root\\QVXDSM"}, "DSM"));
    machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     "));
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM), 0u);
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(visits[0].devInst, 2u);
    EXPECT_EQ(Walk(GUID_DEVCLASS_DISKDRIVE), 0u);
    ASSERT_EQ(visits.size(), 2u);
    EXPECT_EQ(visits[1].devInst, 3u);
}

}  // namespace
