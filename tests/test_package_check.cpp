// The installation health check ("-c"): the MPIO bus device and the DSM
// device found by description among the SCSI adapters and the system
// devices, each judged by its status, and the install condition that
// becomes the exit code.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frontend/frontend.h"
#include "package/package.h"
#include "support/machine_test.h"

namespace {

using harness::Crlf;
using harness::FaultOn;

const char kDsmDescription[] = "Quorvex Lumenstride Device Specific Module";
const char kBusInstance[] = "ROOT\\MPIO\\0000";
const char kDsmInstance[] = "ROOT\\SYSTEM\\0000";
const uint32_t kStarted = DN_DRIVER_LOADED | DN_STARTED;

const std::string kCheckMpio = "[T]Check MPIO, please wait ...\n";
const std::string kCheckDsm = "[T]Check DSM, please wait ...\n";

std::string Condition(int condition)
{
    return "[T]CheckInstallMPIO: install condition " + std::to_string(condition) + "\n";
}

// The lines of one visited device that carries a description the check
// looks for; 'kind' is "MPIO" or "DSM".
std::string Judged(int index, const std::string &description, const std::string &kind, const char *status,
                   bool good)
{
    return "[T]!!TRY ENTRY " + std::to_string(index) + ".\n[T]Device Desc: " + description + "\n[T]" + kind +
           " Checked\n[T]Driver Status: ulStatus = " + status + ", ulProblem = 0x00000000\n[T]" + kind +
           (good ? " Good\n" : " Bad\n");
}

std::string Other(int index, const std::string &description)
{
    return "[T]!!TRY ENTRY " + std::to_string(index) + ".\n[T]Device Desc: " + description + "\n";
}

winsim::Device Bus(uint32_t status = kStarted | DN_ROOT_ENUMERATED)
{
    winsim::Device bus = harness::MpioBus("Detected\\MPIO");
    bus.status = status;
    return bus;
}

winsim::Device Dsm(uint32_t status = kStarted, const std::string &instance = kDsmInstance)
{
    winsim::Device dsm = harness::SystemDevice(instance, {"Root\\QVXDSM"}, kDsmDescription);
    dsm.status = status;
    return dsm;
}

winsim::Device Adapter(const std::string &description = "Tessella SAS Adapter")
{
    return harness::ScsiAdapter("PCI\\VEN_1000&DEV_0054\\4&2A&0&00A8", {"PCI\\VEN_1000&DEV_0054"}, description);
}

winsim::Device Button()
{
    return harness::SystemDevice("ACPI\\FIXEDBUTTON\\2&DABA3FF&0", {"ACPI\\FixedButton"}, "ACPI Fixed Feature Button");
}

class CheckTest : public harness::MachineTest {
protected:
    DWORD Check()
    {
        ClearLog();
        return OnMachine([&] { return CheckInstallMPIO(&condition_, &rebootFlag_); });
    }

    INT condition_ = 42;
    INT rebootFlag_ = 0;
};

TEST_F(CheckTest, Generation6ReportsConditionOneWithoutAWalk)
{
    machine_ = harness::Gen6();
    machine_.devices.push_back(Bus(kStarted | DN_NEED_RESTART));
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 1);
    EXPECT_EQ(Log(), Crlf(Condition(1)));
    EXPECT_EQ(winsim::TraceCount("SetupDiGetClassDevsW"), 0u);
}

TEST_F(CheckTest, NeitherDeviceFoundGivesConditionOne)
{
    machine_.devices.push_back(Adapter());
    machine_.devices.push_back(Button());
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 1);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + Other(0, "Tessella SAS Adapter") + kCheckDsm +
                          Other(0, "ACPI Fixed Feature Button") + Condition(1)));
    EXPECT_TRUE(winsim::TraceHas("SetupDiGetDeviceRegistryPropertyW", "property=0x0 size=65536"));
    EXPECT_EQ(rebootFlag_, 0);
}

TEST_F(CheckTest, BusDeviceWaitingForARestartEndsTheCheckWithConditionZero)
{
    machine_.devices.push_back(Adapter());
    machine_.devices.push_back(Bus(kStarted | DN_ROOT_ENUMERATED | DN_NEED_RESTART));
    machine_.devices.push_back(Dsm());
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 0);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + Other(0, "Tessella SAS Adapter") +
                          Judged(1, "Multi-Path Support", "MPIO", "0x0000010B", false) + Condition(0)));
    EXPECT_TRUE(winsim::TraceHas("CM_Get_DevNode_Status", "devinst=2 flags=0x0"));
    EXPECT_EQ(winsim::TraceCount("SetupDiGetClassDevsW"), 1u);   // no DSM walk
    EXPECT_EQ(rebootFlag_, 0);
}

TEST_F(CheckTest, GoodBusAndDsmWaitingForRemovalGiveConditionZero)
{
    machine_.devices.push_back(Bus());
    machine_.devices.push_back(Button());
    machine_.devices.push_back(Dsm(kStarted | DN_WILL_BE_REMOVED));
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 0);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + Judged(0, "Multi-Path Support", "MPIO", "0x0000000B", true) + kCheckDsm +
                          Other(0, "ACPI Fixed Feature Button") +
                          Judged(1, kDsmDescription, "DSM", "0x0004000A", false) + Condition(0)));
}

TEST_F(CheckTest, GoodDsmWithoutBusDeviceGivesConditionOne)
{
    machine_.devices.push_back(Dsm());
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 1);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + kCheckDsm + Judged(0, kDsmDescription, "DSM", "0x0000000A", true) +
                          Condition(1)));
}

// Only a pending restart or removal makes a device bad; a problem code or
// any other status bit does not.
TEST_F(CheckTest, OnlyTheRestartAndRemovalBitsMakeADeviceBad)
{
    struct Case {
        uint32_t status;
        uint32_t problem;
        int condition;
    };
    const Case cases[] = {
        {kStarted | DN_NEED_RESTART, 0, 0},
        {kStarted | DN_WILL_BE_REMOVED, 0, 0},
        {DN_WILL_BE_REMOVED | DN_NEED_RESTART, 0, 0},
        {~static_cast<uint32_t>(DN_WILL_BE_REMOVED | DN_NEED_RESTART), 0, 1},
        {DN_HAS_PROBLEM | DN_ROOT_ENUMERATED, 28, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        // As the bus device, and as the DSM next to a good bus device.
        machine_.devices = {Bus(c.status)};
        machine_.devices[0].problem = c.problem;
        condition_ = 42;
        EXPECT_EQ(Check(), 0u);
        EXPECT_EQ(condition_, c.condition);

        machine_.devices = {Bus(), Dsm(c.status)};
        machine_.devices[1].problem = c.problem;
        condition_ = 42;
        EXPECT_EQ(Check(), 0u);
        EXPECT_EQ(condition_, c.condition);
    }
    machine_.devices = {Bus(DN_HAS_PROBLEM | DN_ROOT_ENUMERATED)};
    machine_.devices[0].problem = 28;
    EXPECT_EQ(Check(), 0u);
    EXPECT_NE(Log().find("[T]Driver Status: ulStatus = 0x00000401, ulProblem = 0x0000001C\r\n[T]MPIO Good\r\n"),
              std::string::npos);
}

TEST_F(CheckTest, OneGoodDeviceOfADescriptionIsEnoughInEitherOrder)
{
    const uint32_t bad = kStarted | DN_NEED_RESTART;
    for (bool badFirst : {true, false}) {
        SCOPED_TRACE(badFirst);
        machine_.devices = {badFirst ? Bus(bad) : Bus(), badFirst ? Bus() : Bus(bad)};
        machine_.devices[1].instanceId = u"ROOT\\MPIO\\0001";
        EXPECT_EQ(Check(), 0u);
        EXPECT_EQ(condition_, 1);
        EXPECT_NE(Log().find(Crlf(kCheckDsm)), std::string::npos);

        machine_.devices = {badFirst ? Dsm(bad) : Dsm(), badFirst ? Dsm() : Dsm(bad, "ROOT\\SYSTEM\\0001")};
        machine_.devices[1].instanceId = u"ROOT\\SYSTEM\\0001";
        EXPECT_EQ(Check(), 0u);
        EXPECT_EQ(condition_, 1);
    }
    machine_.devices = {Dsm(bad), Dsm(bad, "ROOT\\SYSTEM\\0001")};
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 0);
}

TEST_F(CheckTest, DescriptionsCompareWholeIgnoringAsciiCase)
{
    machine_.devices = {Bus(kStarted | DN_NEED_RESTART)};
    machine_.devices[0].description = u"MULTI-PATH support";
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 0);

    machine_.devices[0].description = u"Multi-Path Support ";
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 1);
    EXPECT_EQ(Log().find("MPIO Checked"), std::string::npos);

    machine_.devices = {Dsm(kStarted | DN_NEED_RESTART)};
    machine_.devices[0].description = u"quorvex lumenstride device specific modulE";
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 0);
}

TEST_F(CheckTest, DsmAmongTheAdaptersCountsInTheDsmJudgement)
{
    machine_.devices.push_back(Bus());
    winsim::Device dsm = Dsm(kStarted | DN_NEED_RESTART);
    dsm.classGuid = GUID_DEVCLASS_SCSIADAPTER;
    machine_.devices.push_back(dsm);
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 0);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + Judged(0, "Multi-Path Support", "MPIO", "0x0000000B", true) +
                          Judged(1, kDsmDescription, "DSM", "0x0000010A", false) + kCheckDsm + Condition(0)));
}

TEST_F(CheckTest, DescriptionReadFailingWithNoMoreItemsSkipsTheDevice)
{
    machine_.devices.push_back(Bus(kStarted | DN_NEED_RESTART));
    machine_.devices.push_back(Adapter());
    machine_.faults.push_back(FaultOn("SetupDiGetDeviceRegistryPropertyW", ERROR_NO_MORE_ITEMS, kBusInstance));
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 1);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + "[T]!!TRY ENTRY 0.\n[T]SetupDiGetDeviceRegistryProperty() failed with error 259\n" +
                          Other(1, "Tessella SAS Adapter") + kCheckDsm + Condition(1)));
}

TEST_F(CheckTest, DeviceWithoutADescriptionFailsTheCheck)
{
    machine_.devices.push_back(Adapter());
    machine_.devices[0].description.reset();
    machine_.devices.push_back(Bus(kStarted | DN_NEED_RESTART));
    EXPECT_EQ(Check(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(condition_, 42);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + "[T]!!TRY ENTRY 0.\n[T]SetupDiGetDeviceRegistryProperty() failed with error 13\n"
                                       "[T]CheckInstallMPIO failed with error 13\n"));

    // A setup-library code shows as a negative number.
    machine_.devices[0].description = u"Tessella SAS Adapter";
    machine_.faults.push_back(FaultOn("SetupDiGetDeviceRegistryPropertyW", ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(Check(), ERROR_NO_SUCH_DEVINST);
    EXPECT_NE(Log().find("[T]CheckInstallMPIO failed with error -536870389\r\n"), std::string::npos);
}

TEST_F(CheckTest, DescriptionLongerThanTheBufferFailsTheCheck)
{
    // 32767 units and the NUL fill the 65536 bytes exactly.
    machine_.devices.push_back(Adapter(std::string(32767, 'D')));
    EXPECT_EQ(Check(), 0u);
    EXPECT_EQ(condition_, 1);

    machine_.devices[0].description = winsim::Widen(std::string(32768, 'D'));
    EXPECT_EQ(Check(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_NE(Log().find("failed with error 122\r\n[T]CheckInstallMPIO failed with error 122\r\n"), std::string::npos);
}

TEST_F(CheckTest, StatusQueryFailureFailsTheCheck)
{
    machine_.devices.push_back(Bus());
    machine_.devices.push_back(Adapter());
    machine_.faults.push_back(FaultOn("CM_Get_DevNode_Status", CR_INVALID_DEVNODE));
    EXPECT_EQ(Check(), static_cast<DWORD>(CR_INVALID_DEVNODE));
    EXPECT_EQ(condition_, 42);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + "[T]!!TRY ENTRY 0.\n[T]Device Desc: Multi-Path Support\n[T]MPIO Checked\n"
                                       "[T]CM_Get_DevNode_Status() failed with error code 5\n"
                                       "[T]CheckInstallMPIO failed with error 5\n"));

    // A bus device that is recorded but not plugged in has no status either.
    machine_.faults.clear();
    machine_.devices[0].present = false;
    EXPECT_EQ(Check(), static_cast<DWORD>(CR_NO_SUCH_DEVNODE));
    EXPECT_NE(Log().find("[T]CM_Get_DevNode_Status() failed with error code 13\r\n"), std::string::npos);
}

TEST_F(CheckTest, ClassThatCannotBeListedFailsTheCheck)
{
    machine_.devices.push_back(Bus());
    machine_.faults.push_back(FaultOn("SetupDiGetClassDevsW", ERROR_ACCESS_DENIED));
    EXPECT_EQ(Check(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(condition_, 42);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + "[T]CheckInstallMPIO failed with error 5\n"));

    machine_.faults = {FaultOn("SetupDiGetClassDevsW", ERROR_ACCESS_DENIED, "", 2)};
    EXPECT_EQ(Check(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(condition_, 42);
    EXPECT_EQ(Log(), Crlf(kCheckMpio + Judged(0, "Multi-Path Support", "MPIO", "0x0000000B", true) + kCheckDsm +
                          "[T]CheckInstallMPIO failed with error 5\n"));
}

// ---------------------------------------------------------------------------
// "-c" through the entry
// ---------------------------------------------------------------------------

const std::string kBanner = "[T]Starting Multi-Path install/uninstall package\n";

class CheckRun : public harness::MachineTest {};

TEST_F(CheckRun, ConditionBecomesTheExitCode)
{
    machine_.devices.push_back(Bus(kStarted | DN_NEED_RESTART));
    harness::Run run = harness::RunInProcess(machine_, {u"-c"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(harness::MaskTimes(run.log),
              Crlf(kBanner + kCheckMpio + Judged(0, "Multi-Path Support", "MPIO", "0x0000010A", false) + Condition(0)));
    EXPECT_NE(run.console.find("MPIO Bad\r\n"), std::string::npos);

    machine_.devices[0].status = kStarted;
    EXPECT_EQ(harness::RunInProcess(machine_, {u"-c"}).exitCode, 1);

    machine_.devices[0].description.reset();
    EXPECT_EQ(harness::RunInProcess(machine_, {u"-c"}).exitCode, -1);

    winsim::Machine gen6 = harness::Gen6();
    gen6.devices.push_back(Bus(kStarted | DN_NEED_RESTART));
    run = harness::RunInProcess(gen6, {u"-c"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(harness::MaskTimes(run.log), Crlf(kBanner + Condition(1)));
}

TEST_F(CheckRun, HostBinaryExitsWithTheCondition)
{
    machine_.devices.push_back(Bus());
    machine_.devices.push_back(Dsm(kStarted | DN_WILL_BE_REMOVED));
    harness::Run run = harness::RunBinaryOn(machine_, {"-c"}, scratch_);
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    const std::string expected =
        Crlf(kBanner + kCheckMpio + Judged(0, "Multi-Path Support", "MPIO", "0x0000000B", true) + kCheckDsm +
             Judged(0, kDsmDescription, "DSM", "0x0004000A", false) + Condition(0));
    EXPECT_EQ(harness::MaskTimes(run.log), expected);
    // The console shows the same lines without their time stamps.
    EXPECT_EQ(run.console, harness::WithoutTimes(run.log));

    // The check changes nothing: a second run gives the same answer.
    EXPECT_EQ(harness::RunBinaryOn(machine_, {"-c"}, scratch_).exitCode, 0);
}

}  // namespace
