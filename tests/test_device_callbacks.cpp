// The visitors that act on devices by hardware ID: removal (with its
// not-disableable rule), lookup with FoundDevInst, and the restart of every
// SCSI adapter but the MPIO bus device, with their log lines and the
// parameter records they hand the class installer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "support/machine_test.h"

namespace {

using harness::Crlf;
using harness::ErrorRecords;
using harness::FaultOn;

const std::string kDsmId = "Root\\QVXDSM";

std::string Adapter(int n)
{
    return "PCI\\VEN_1000&DEV_0054\\4&2A&0&0" + std::to_string(n);
}

class DeviceCallbackTest : public harness::MachineTest {
protected:
    void UseGeneration(uint32_t major) { machine_.os.major = major; }

    void AddAdapter(int n, const std::vector<std::string> &ids)
    {
        machine_.devices.push_back(harness::ScsiAdapter(Adapter(n), ids, "Adapter " + std::to_string(n)));
    }

    void AddSystemDevice(int n, const std::vector<std::string> &ids)
    {
        machine_.devices.push_back(
            harness::SystemDevice("ROOT\\SYSTEM\\000" + std::to_string(n), ids, "System " + std::to_string(n)));
    }

    // One walk with a callback and a hardware ID.
    DWORD Walk(const GUID &classGuid, DeviceCallback callback, const std::string &hardwareId)
    {
        std::u16string id = winsim::Widen(hardwareId);
        return OnMachine([&] { return EnumClassDevices(&classGuid, callback, id.data(), &flag_); });
    }

    DWORD Restart()
    {
        return OnMachine([&] { return RestartScsiAdapters(&rebootFlag_); });
    }

    const winsim::Device &Device(size_t devInst) const { return machine_.devices.at(devInst - 1); }

    INT flag_ = 0;
    INT rebootFlag_ = 0;
};

// ---------------------------------------------------------------------------
// RemoveDeviceCallback
// ---------------------------------------------------------------------------

TEST_F(DeviceCallbackTest, RemoveMissingHardwareIdsEndsTheWalk)
{
    AddSystemDevice(0, {kDsmId});
    machine_.devices.back().hardwareIds.reset();
    AddSystemDevice(1, {kDsmId});
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(Device(2).removed);
    EXPECT_EQ(flag_, 0);
}

TEST_F(DeviceCallbackTest, RemoveFailureOtherThanNotDisableableEndsTheWalk)
{
    AddSystemDevice(0, {kDsmId});
    AddSystemDevice(1, {kDsmId});
    machine_.faults.push_back(FaultOn("SetupDiCallClassInstaller", ERROR_ACCESS_DENIED, "ROOT\\SYSTEM\\0000"));
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(Device(1).removed);
    EXPECT_FALSE(Device(2).removed);
    EXPECT_FALSE(winsim::TraceHas("SetupDiGetDeviceRegistryPropertyW", "device=ROOT\\SYSTEM\\0001"));

    machine_.faults = {FaultOn("SetupDiSetClassInstallParamsW", ERROR_INVALID_PARAMETER, "ROOT\\SYSTEM\\0000")};
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId),
              static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(winsim::TraceHas("SetupDiCallClassInstaller"));
}

TEST_F(DeviceCallbackTest, RemoveTakesWholeIdsInAnyLetterCase)
{
    AddSystemDevice(0, {"Other\\ID", "root\\qvxdsm"});
    AddSystemDevice(1, {"Root\\QVXDSM2"});
    AddSystemDevice(2, {"Root\\QVXDS"});
    AddSystemDevice(3, {});
    AddSystemDevice(4, {"ROOT\\QVXDSM", "Other\\ID"});
    machine_.devices.back().present = false;   // recorded, unplugged: removed as well
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), 0u);
    EXPECT_TRUE(Device(1).removed);
    EXPECT_FALSE(Device(2).removed);
    EXPECT_FALSE(Device(3).removed);
    EXPECT_FALSE(Device(4).removed);
    EXPECT_TRUE(Device(5).removed);
    EXPECT_EQ(flag_, 0);
    EXPECT_EQ(winsim::TraceCount("SetupDiCallClassInstaller"), 2u);
    // SP_REMOVEDEVICE_PARAMS with a header of its own size, global scope.
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetClassInstallParamsW",
                                 "size=" + std::to_string(sizeof(SP_REMOVEDEVICE_PARAMS)) +
                                     " dif=0x5 scope=1 profile=0 device=ROOT\\SYSTEM\\0000"));
    EXPECT_TRUE(winsim::TraceHas("SetupDiGetDeviceRegistryPropertyW", "property=0x1 size=2052"));
    EXPECT_TRUE(
        winsim::TraceHas("SetupDiGetDeviceInstallParamsW", "size=" + std::to_string(sizeof(SP_DEVINSTALL_PARAMS_W))));
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]!!TRY ENTRY 1.\n[T]!!TRY ENTRY 2.\n[T]!!TRY ENTRY 3.\n"
                          "[T]!!TRY ENTRY 4.\n"));
}

TEST_F(DeviceCallbackTest, RemovalThatNeedsARestartOrRebootSetsTheFlag)
{
    AddSystemDevice(0, {kDsmId});
    machine_.devices.back().installFlagsAfterChange = DI_NEEDREBOOT;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_FALSE(Device(1).removed);
    EXPECT_NE(Device(1).status & DN_WILL_BE_REMOVED, 0u);

    machine_.devices.clear();
    flag_ = 0;
    AddSystemDevice(0, {kDsmId});
    machine_.devices.back().installFlagsAfterChange = DI_NEEDRESTART;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_TRUE(Device(1).removed);
}

TEST_F(DeviceCallbackTest, RemovalWhoseInstallParamsCannotBeReadStillSucceeds)
{
    AddSystemDevice(0, {kDsmId});
    machine_.devices.back().installFlagsAfterChange = DI_NEEDRESTART;
    machine_.faults.push_back(FaultOn("SetupDiGetDeviceInstallParamsW", ERROR_INVALID_HANDLE));
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), 0u);
    EXPECT_TRUE(Device(1).removed);
    EXPECT_EQ(flag_, 0);
}

// A device that cannot be removed now goes at the next reboot: the walk
// carries on and asks for the reboot.
TEST_F(DeviceCallbackTest, NotDisableableRemovalCountsAsDoneWithAReboot)
{
    AddSystemDevice(0, {kDsmId});
    machine_.devices.back().refuseRemoval = true;
    AddSystemDevice(1, {kDsmId});
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_FALSE(Device(1).removed);
    EXPECT_TRUE(Device(2).removed);

    // The same code from attaching the parameters counts alike.
    machine_.devices.clear();
    flag_ = 0;
    AddSystemDevice(0, {kDsmId});
    machine_.faults = {FaultOn("SetupDiSetClassInstallParamsW", ERROR_NOT_DISABLEABLE)};
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, kDsmId), 0u);
    EXPECT_EQ(flag_, 1);
}

// ---------------------------------------------------------------------------
// Hardware-ID lists at the size of the buffer
// ---------------------------------------------------------------------------

TEST_F(DeviceCallbackTest, ListTooLongForTheBufferStopsEveryCallback)
{
    const std::string longId(1025, 'X');   // 1025 units, NUL, closing NUL: 2054 bytes
    AddAdapter(0, {longId});
    AddAdapter(1, {"PCI\\OTHER"});
    for (DeviceCallback callback : {RemoveDeviceCallback, FindDeviceCallback, RestartDeviceCallback}) {
        EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER, callback, longId), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_FALSE(Device(1).removed);
        EXPECT_FALSE(winsim::TraceHas("SetupDiGetDeviceRegistryPropertyW", "device=" + Adapter(1)));
    }
}

TEST_F(DeviceCallbackTest, ListThatFillsTheBufferExactlyIsReadToItsLastId)
{
    // "A", NUL, 1022 units, NUL, closing NUL: 2052 bytes.
    const std::string lastId = "R" + std::string(1021, 'Y');
    AddSystemDevice(0, {"A", lastId});
    FoundDevInst = 0;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, FindDeviceCallback, lastId), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_EQ(FoundDevInst, 1u);
    EXPECT_EQ(Walk(GUID_DEVCLASS_SYSTEM, RemoveDeviceCallback, lastId), 0u);
    EXPECT_TRUE(Device(1).removed);
}

// ---------------------------------------------------------------------------
// FindDeviceCallback
// ---------------------------------------------------------------------------

TEST_F(DeviceCallbackTest, FindWithoutAMatchKeepsFoundDevInst)
{
    UseGeneration(10);
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054"});
    AddAdapter(1, {"ROOT\\MPIO2", "ROOT\\MPI"});
    AddAdapter(2, {});
    FoundDevInst = 77;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER, FindDeviceCallback, "ROOT\\MPIO"), 0u);
    EXPECT_EQ(flag_, 0);
    EXPECT_EQ(FoundDevInst, 77u);
    EXPECT_EQ(winsim::TraceCount("SetupDiCallClassInstaller"), 0u);
}

TEST_F(DeviceCallbackTest, FindLooksAtEveryDeviceAndKeepsTheLastMatch)
{
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054", "root\\mpio"});
    machine_.devices.back().present = false;
    AddAdapter(1, {"PCI\\VEN_1000&DEV_0055"});
    machine_.devices.push_back(harness::MpioBus("ROOT\\MPIO"));
    AddAdapter(3, {"PCI\\VEN_1000&DEV_0056"});
    FoundDevInst = 0;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER, FindDeviceCallback, "ROOT\\MPIO"), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_EQ(FoundDevInst, 3u);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]!!TRY ENTRY 1.\n[T]!!TRY ENTRY 2.\n[T]!!TRY ENTRY 3.\n"));

    // A device that is recorded but not plugged in counts as found.
    machine_.devices.erase(machine_.devices.begin() + 2);
    FoundDevInst = 0;
    flag_ = 0;
    EXPECT_EQ(Walk(GUID_DEVCLASS_SCSIADAPTER, FindDeviceCallback, "ROOT\\MPIO"), 0u);
    EXPECT_EQ(flag_, 1);
    EXPECT_EQ(FoundDevInst, 1u);
}

TEST_F(DeviceCallbackTest, FindWritesItsFlagOnEveryCallOnlyWhenGivenOne)
{
    AddAdapter(0, {"ROOT\\MPIO"});
    AddAdapter(1, {"ROOT\\MPIO"});
    machine_.devices.back().hardwareIds.reset();
    Enter();
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_SCSIADAPTER, nullptr, nullptr, 0);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    std::u16string id = u"ROOT\\MPIO";
    INT found = 5;

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &device));
    EXPECT_EQ(FindDeviceCallback(set, &device, id.data(), &found), 0u);
    EXPECT_EQ(found, 1);
    FoundDevInst = 0;
    EXPECT_EQ(FindDeviceCallback(set, &device, id.data(), nullptr), 0u);
    EXPECT_EQ(FoundDevInst, 1u);

    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 1, &device));
    EXPECT_EQ(FindDeviceCallback(set, &device, id.data(), &found), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(found, 0);
    EXPECT_EQ(FindDeviceCallback(set, &device, id.data(), nullptr), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(FoundDevInst, 1u);
    SetupDiDestroyDeviceInfoList(set);
}

// ---------------------------------------------------------------------------
// RestartDeviceCallback and RestartScsiAdapters
// ---------------------------------------------------------------------------

TEST_F(DeviceCallbackTest, RestartSkipsTheBusDeviceAfterLoggingItsIds)
{
    UseGeneration(10);
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054", "ROOT\\MPIO", "Never\\Logged"});
    AddAdapter(1, {"PCI\\VEN_1000&DEV_0055"});
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n"
                          "[T]HWID:PCI\\VEN_1000&DEV_0054\n"
                          "[T]HWID:ROOT\\MPIO\n"
                          "[T]Skipped\n"
                          "[T]!!TRY ENTRY 1.\n"
                          "[T]HWID:PCI\\VEN_1000&DEV_0055\n"
                          "[T]Success \n"));
    EXPECT_EQ(Device(1).restarts, 0u);
    EXPECT_EQ(Device(2).restarts, 1u);
    EXPECT_EQ(rebootFlag_, 0);
    EXPECT_EQ(winsim::TraceCount("SetupDiCallClassInstaller"), 1u);
    EXPECT_TRUE(winsim::TraceHas("SetupDiCallClassInstaller", "dif=0x12 device=" + Adapter(1)));
    // SP_PROPCHANGE_PARAMS: a property change for the current profile only.
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetClassInstallParamsW",
                                 "size=" + std::to_string(sizeof(SP_PROPCHANGE_PARAMS)) +
                                     " dif=0x12 state=3 scope=2 profile=0 device=" + Adapter(1)));
    EXPECT_TRUE(
        winsim::TraceHas("SetupDiGetDeviceInstallParamsW", "size=" + std::to_string(sizeof(SP_DEVINSTALL_PARAMS_W))));
    EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
}

TEST_F(DeviceCallbackTest, RestartComparesTheWholeBusIdInAnyLetterCase)
{
    UseGeneration(6);
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054", "root\\mpio"});
    AddAdapter(1, {"ROOT\\MPIOX"});
    AddAdapter(2, {"ROOT\\MPI"});
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(Device(1).restarts, 0u);
    EXPECT_EQ(Device(2).restarts, 1u);
    EXPECT_EQ(Device(3).restarts, 1u);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]HWID:PCI\\VEN_1000&DEV_0054\n[T]HWID:root\\mpio\n[T]Skipped\n"
                          "[T]!!TRY ENTRY 1.\n[T]HWID:ROOT\\MPIOX\n"
                          "[T]!!TRY ENTRY 2.\n[T]HWID:ROOT\\MPI\n[T]Success \n"));
}

TEST_F(DeviceCallbackTest, RestartOnGeneration5SkipsTheDetectedBusDevice)
{
    UseGeneration(5);
    machine_.devices.push_back(harness::MpioBus("Detected\\MPIO"));
    AddAdapter(1, {"ROOT\\MPIO"});
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(Device(1).restarts, 0u);
    EXPECT_EQ(Device(2).restarts, 1u);
}

TEST_F(DeviceCallbackTest, RestartOfADeviceWithoutIdsLogsNoIdLine)
{
    UseGeneration(10);
    AddAdapter(0, {});
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(Device(1).restarts, 1u);
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]Success \n"));
}

TEST_F(DeviceCallbackTest, RestartRequestIsReportedAndFoldedIntoAClearFlagOnly)
{
    UseGeneration(10);
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054"});
    machine_.devices.back().installFlagsAfterChange = DI_NEEDRESTART;
    const std::string walk = "[T]!!TRY ENTRY 0.\n[T]HWID:PCI\\VEN_1000&DEV_0054\n";
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(rebootFlag_, 1);
    EXPECT_EQ(Log(), Crlf(walk + "[T]Success (Please reboot the system)\n"));

    // A flag that is already set keeps its value.
    rebootFlag_ = 2;
    ClearLog();
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(rebootFlag_, 2);

    // The line follows this step's own request, not the caller's flag.
    machine_.devices.back().installFlagsAfterChange = 0;
    rebootFlag_ = 1;
    ClearLog();
    EXPECT_EQ(Restart(), 0u);
    EXPECT_EQ(rebootFlag_, 1);
    EXPECT_EQ(Log(), Crlf(walk + "[T]Success \n"));
}

TEST_F(DeviceCallbackTest, RestartStopsAtAnAdapterWhoseIdsCannotBeRead)
{
    UseGeneration(10);
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054"});
    machine_.devices.back().installFlagsAfterChange = DI_NEEDRESTART;
    AddAdapter(1, {"PCI\\VEN_1000&DEV_0055"});
    machine_.devices.back().hardwareIds.reset();
    AddAdapter(2, {"PCI\\VEN_1000&DEV_0056"});
    EXPECT_EQ(Restart(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(Device(1).restarts, 1u);
    EXPECT_EQ(Device(3).restarts, 0u);
    EXPECT_EQ(rebootFlag_, 0);   // the restart request of the first adapter is not taken
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]HWID:PCI\\VEN_1000&DEV_0054\n[T]!!TRY ENTRY 1.\n[T]Failure." +
                          ErrorRecords(ERROR_INVALID_DATA, "The data is invalid.")));
}

TEST_F(DeviceCallbackTest, RestartFailureOfTheClassInstallerIsReturned)
{
    UseGeneration(10);
    AddAdapter(0, {"PCI\\VEN_1000&DEV_0054"});
    machine_.faults.push_back(FaultOn("SetupDiCallClassInstaller", ERROR_NOT_DISABLEABLE));
    EXPECT_EQ(Restart(), static_cast<DWORD>(ERROR_NOT_DISABLEABLE));
    EXPECT_EQ(Log(), Crlf("[T]!!TRY ENTRY 0.\n[T]HWID:PCI\\VEN_1000&DEV_0054\n[T]Failure." +
                          ErrorRecords(ERROR_NOT_DISABLEABLE,
                                     "Indicates that an attempt was made to grow an LDT by setting its size, or "
                                     "that the size was not an even number of selectors.")));

    machine_.faults = {FaultOn("SetupDiGetClassDevsW", ERROR_ACCESS_DENIED)};
    ClearLog();
    EXPECT_EQ(Restart(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Log(), Crlf("[T]Failure." + ErrorRecords(ERROR_ACCESS_DENIED, "Access is denied.")));
}

}  // namespace
