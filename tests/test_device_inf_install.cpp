// INF section installation and root device creation: the arguments handed
// to the setup and new-device libraries, the outcome lines with the tag of
// each failing call, the creation of the root device "MPIO" when no device
// has the hardware ID, and the clean-up of a half-made device.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "support/machine_test.h"

namespace {

using harness::Crlf;
using harness::ErrorRecords;
using harness::FaultOn;

const char kInfPath[] = "pkg\\qvxtest.inf";
const std::string kHardwareId = "Root\\QVXTEST";

const char kInf[] = R"([Version]
Signature = "$Windows NT$"
Class     = System
ClassGuid = {4D36E97D-E325-11CE-BFC1-08002BE10318}
Provider  = %Vendor%

[SourceDisksNames]
1 = %Disk%,,,

[SourceDisksFiles]
qvxtest.sys = 1

[DestinationDirs]
DefaultDestDir = 12

[Manufacturer]
%Vendor% = Models, NTamd64

[Models.NTamd64]
%DeviceName% = TestInstall, Root\QVXTEST

[TestInstall]
CopyFiles = TestFiles
AddReg    = TestReg

[TestInstall.Services]
AddService = qvxtest, 0x00000002, TestService

[FilesOnly]
CopyFiles = TestFiles

[TestFiles]
qvxtest.sys

[TestReg]
HKLM, SOFTWARE\QvxTest, Installed, 0x00010001, 1

[TestService]
DisplayName   = %ServiceName%
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\qvxtest.sys

[DefaultUninstall]
DelFiles = TestFiles
DelReg   = TestRegRemove

[DefaultUninstall.Services]
DelService = qvxtest, 0x00000200

[TestRegRemove]
HKLM, SOFTWARE\QvxTest, Installed

[Strings]
Vendor      = "Quorvex Storage"
Disk        = "Quorvex Test Disk"
DeviceName  = "Quorvex Test Device"
ServiceName = "Quorvex Test Service"
)";

const std::string kNoDevice = "[T]F UDPNPD." + ErrorRecords(ERROR_NO_SUCH_DEVINST);
const std::string kSuccess = "[T]\nSuccess \n";
const std::string kOutOfMemory = "Not enough memory resources are available to process this command.";

bool IsRegistered(const winsim::Device *device)
{
    return device != nullptr && device->registered && !device->removed;
}

class InfInstallTest : public harness::MachineTest {
protected:
    void SetUp() override
    {
        scratch_.WriteFile("pkg/qvxtest.inf", kInf);
        scratch_.WriteFile("pkg/qvxtest.sys", "driver");
    }

    DWORD InstallSection(const std::string &section, const std::string &infPath = kInfPath)
    {
        std::u16string path = winsim::Widen(infPath), name = winsim::Widen(section);
        return OnMachine([&] { return InstallInfSection(path.c_str(), name.c_str()); });
    }

    DWORD InstallRoot(const std::string &hardwareId, INT force)
    {
        std::u16string path = winsim::Widen(kInfPath), id = winsim::Widen(hardwareId);
        return OnMachine([&] { return InstallRootDevice(path.c_str(), id.c_str(), force, &rebootFlag_); });
    }

    void AddTestDevice()
    {
        machine_.devices.push_back(harness::SystemDevice("ROOT\\SYSTEM\\0000", {kHardwareId}, "Test Device"));
    }

    const winsim::Device *CreatedDevice() const { return harness::FindByHardwareId(machine_, kHardwareId); }

    INT rebootFlag_ = 0;
};

// ---------------------------------------------------------------------------
// InstallInfSection
// ---------------------------------------------------------------------------

TEST_F(InfInstallTest, SectionOfAMissingInfFails)
{
    EXPECT_EQ(InstallSection("TestInstall", "pkg\\absent.inf"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Log(), Crlf("[T]Failure." + ErrorRecords(ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.")));
    EXPECT_EQ(winsim::TraceCount("SetupInitDefaultQueueCallbackEx"), 0u);
    EXPECT_EQ(winsim::TraceCount("SetupCloseInfFile"), 0u);
}

TEST_F(InfInstallTest, SectionWithoutAQueueContextFailsWithNoMemory)
{
    machine_.faults.push_back(FaultOn("SetupInitDefaultQueueCallbackEx", ERROR_GEN_FAILURE));
    EXPECT_EQ(InstallSection("TestInstall"), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Log(), Crlf("[T]Failure." + ErrorRecords(ERROR_NOT_ENOUGH_MEMORY, kOutOfMemory)));
    EXPECT_EQ(winsim::TraceCount("SetupInstallFromInfSectionW"), 0u);
    EXPECT_EQ(winsim::TraceCount("SetupTermDefaultQueueCallback"), 0u);
    EXPECT_EQ(winsim::OpenInfFiles(), 0u);
}

TEST_F(InfInstallTest, MissingSectionFailsBeforeItsServices)
{
    EXPECT_EQ(InstallSection("NoSuchSection"), ERROR_SECTION_NOT_FOUND);
    EXPECT_EQ(Log(), Crlf("[T]Failure." + ErrorRecords(ERROR_SECTION_NOT_FOUND)));
    EXPECT_EQ(winsim::TraceCount("SetupInstallServicesFromInfSectionW"), 0u);
    EXPECT_EQ(winsim::TraceCount("SetupTermDefaultQueueCallback"), 1u);
    EXPECT_EQ(winsim::OpenInfFiles(), 0u);
}

TEST_F(InfInstallTest, SectionInstallsFilesRegistryAndServices)
{
    EXPECT_EQ(InstallSection("TestInstall"), 0u);
    EXPECT_EQ(Log(), Crlf("[T]Success\n"));
    EXPECT_TRUE(winsim::TraceHas("SetupOpenInfFileW", "file=pkg\\qvxtest.inf class=null style=0x2"));
    // Files and registry only, an older file replaced by a newer one.
    EXPECT_TRUE(winsim::TraceHas("SetupInstallFromInfSectionW", "section=TestInstall flags=0x14 copyflags=0x2000"));
    EXPECT_TRUE(winsim::TraceHas("SetupInstallServicesFromInfSectionW", "section=TestInstall.Services flags=0x0"));
    // The queue ran through the default handler with a live context.
    EXPECT_TRUE(winsim::TraceHas("SetupDefaultQueueCallbackW", "notification=0xb"));
    EXPECT_TRUE(winsim::TraceHas("SetupInitDefaultQueueCallbackEx", "owner=0x0 progress=0xffffffffffffffff message=0"));
    EXPECT_EQ(winsim::TraceCount("SetupTermDefaultQueueCallback"), 1u);
    EXPECT_EQ(winsim::TraceCount("SetupCloseInfFile"), 1u);
    EXPECT_EQ(winsim::OpenInfFiles(), 0u);

    ASSERT_EQ(machine_.files.size(), 1u);
    EXPECT_FALSE(machine_.files[0].deleted);
    EXPECT_EQ(harness::GetDword(machine_, "SOFTWARE\\QvxTest", "Installed"), 1u);
    auto service = winsim::FindService(machine_, u"qvxtest");
    ASSERT_TRUE(service.has_value());
    EXPECT_FALSE(service->markedForDelete);

    ClearLog();
    EXPECT_EQ(InstallSection("DefaultUninstall"), 0u);
    EXPECT_EQ(Log(), Crlf("[T]Success\n"));
    EXPECT_TRUE(machine_.files[0].deleted);
    EXPECT_FALSE(harness::GetDword(machine_, "SOFTWARE\\QvxTest", "Installed"));
    service = winsim::FindService(machine_, u"qvxtest");
    EXPECT_TRUE(!service || service->markedForDelete);
}

TEST_F(InfInstallTest, FailingServicesSectionFailsTheWholeSection)
{
    EXPECT_EQ(InstallSection("FilesOnly"), ERROR_SECTION_NOT_FOUND);
    EXPECT_EQ(Log(), Crlf("[T]Failure." + ErrorRecords(ERROR_SECTION_NOT_FOUND)));
    EXPECT_TRUE(winsim::TraceHas("SetupInstallServicesFromInfSectionW", "section=FilesOnly.Services"));
    EXPECT_EQ(machine_.files.size(), 1u);   // the copies stay
    EXPECT_EQ(winsim::TraceCount("SetupTermDefaultQueueCallback"), 1u);
    EXPECT_EQ(winsim::OpenInfFiles(), 0u);
}

TEST_F(InfInstallTest, ServicesSectionNameIsCutAtItsBuffer)
{
    // 255 units of name and ".Services" do not fit in 259 units.
    const std::string name(255, 'S');
    scratch_.WriteFile("pkg/qvxtest.inf", std::string(kInf) + "\n[" + name + "]\nCopyFiles = TestFiles\n");
    EXPECT_EQ(InstallSection(name), ERROR_SECTION_NOT_FOUND);
    EXPECT_TRUE(winsim::TraceHas("SetupInstallServicesFromInfSectionW", "section=" + name + ".Ser flags=0x0"));
}

// ---------------------------------------------------------------------------
// InstallRootDevice
// ---------------------------------------------------------------------------

TEST_F(InfInstallTest, ExistingDeviceGetsTheDriverWithoutCreation)
{
    AddTestDevice();
    EXPECT_EQ(InstallRoot(kHardwareId, 0), 0u);
    EXPECT_EQ(Log(), Crlf(kSuccess));
    EXPECT_EQ(rebootFlag_, 0);
    EXPECT_EQ(winsim::TraceCount("UpdateDriverForPlugAndPlayDevicesW"), 1u);
    EXPECT_TRUE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW",
                                 "hwid=Root\\QVXTEST inf=pkg\\qvxtest.inf flags=0x0"));
    EXPECT_EQ(winsim::TraceCount("SetupDiGetINFClassW"), 0u);
    EXPECT_EQ(machine_.devices.size(), 1u);
    EXPECT_EQ(machine_.devices[0].service, u"qvxtest");
}

TEST_F(InfInstallTest, UpdateThatNeedsARebootIsReportedAndFoldedIntoAClearFlagOnly)
{
    AddTestDevice();
    machine_.devices[0].installFlagsAfterChange = DI_NEEDREBOOT;
    EXPECT_EQ(InstallRoot(kHardwareId, 1), 0u);
    EXPECT_EQ(Log(), Crlf("[T]\nSuccess (Please reboot the system)\n"));
    EXPECT_EQ(rebootFlag_, 1);
    EXPECT_TRUE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW", "flags=0x1"));

    rebootFlag_ = 2;
    EXPECT_EQ(InstallRoot(kHardwareId, 1), 0u);
    EXPECT_EQ(rebootFlag_, 2);
    machine_.devices[0].installFlagsAfterChange = 0;
    EXPECT_EQ(InstallRoot(kHardwareId, 1), 0u);
    EXPECT_EQ(rebootFlag_, 2);
}

TEST_F(InfInstallTest, MissingDeviceIsCreatedRegisteredAndInstalled)
{
    EXPECT_EQ(InstallRoot(kHardwareId, 1), 0u);
    EXPECT_EQ(Log(), Crlf(kNoDevice + kSuccess));
    const winsim::Device *device = CreatedDevice();
    ASSERT_TRUE(IsRegistered(device));
    EXPECT_EQ(device->instanceId, u"ROOT\\MPIO\\0000");
    EXPECT_TRUE(device->classGuid == GUID_DEVCLASS_SYSTEM);
    EXPECT_EQ(*device->hardwareIds, std::vector<winsim::Text>{u"Root\\QVXTEST"});
    EXPECT_EQ(device->service, u"qvxtest");

    // Only the first update is forced.
    ASSERT_EQ(winsim::TraceCount("UpdateDriverForPlugAndPlayDevicesW"), 2u);
    std::vector<std::string> updates;
    for (const auto &entry : winsim::Current().trace)
        if (entry.function == "UpdateDriverForPlugAndPlayDevicesW")
            updates.push_back(entry.args);
    EXPECT_EQ(updates[0], "hwid=Root\\QVXTEST inf=pkg\\qvxtest.inf flags=0x1");
    EXPECT_EQ(updates[1], "hwid=Root\\QVXTEST inf=pkg\\qvxtest.inf flags=0x0");

    EXPECT_TRUE(winsim::TraceHas("SetupDiGetINFClassW", "inf=pkg\\qvxtest.inf size=32"));
    EXPECT_TRUE(winsim::TraceHas("SetupDiCreateDeviceInfoW",
                                 "name=MPIO class={4D36E97D-E325-11CE-BFC1-08002BE10318} flags=0x1 size=" +
                                     std::to_string(sizeof(SP_DEVINFO_DATA))));
    // "Root\QVXTEST", its NUL and the list's closing NUL.
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetDeviceRegistryPropertyW", "property=0x1 size=28"));
    EXPECT_TRUE(winsim::TraceHas("SetupDiCallClassInstaller", "dif=0x19"));
    EXPECT_FALSE(winsim::TraceHas("SetupDiCallClassInstaller", "dif=0x5"));
    EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
}

TEST_F(InfInstallTest, HardwareIdLongerThanTheBufferIsStoredCut)
{
    const std::string longId = "Root\\" + std::string(1100, 'L');
    EXPECT_EQ(InstallRoot(longId, 0), ERROR_NO_SUCH_DEVINST);
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetDeviceRegistryPropertyW", "property=0x1 size=2052"));
    const winsim::Device *device = harness::FindByHardwareId(machine_, longId.substr(0, 1024));
    ASSERT_TRUE(IsRegistered(device));
    EXPECT_EQ(device->hardwareIds->size(), 1u);
    // The cut ID is not the one the driver is for, so the second update
    // finds no device; the registered device stays.
    EXPECT_EQ(Log(), Crlf(kNoDevice + "[T]F UDPNPD2." + ErrorRecords(ERROR_NO_SUCH_DEVINST) + "[T]\nFailure." +
                          ErrorRecords(ERROR_NO_SUCH_DEVINST)));
}

TEST_F(InfInstallTest, FirstUpdateFailureOtherThanNoDeviceEndsTheStep)
{
    machine_.faults.push_back(FaultOn("UpdateDriverForPlugAndPlayDevicesW", ERROR_ACCESS_DENIED));
    EXPECT_EQ(InstallRoot(kHardwareId, 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Log(), Crlf("[T]F UDPNPD." + ErrorRecords(ERROR_ACCESS_DENIED, "Access is denied.") + "[T]\nFailure." +
                          ErrorRecords(ERROR_ACCESS_DENIED, "Access is denied.")));
    EXPECT_EQ(winsim::TraceCount("SetupDiGetINFClassW"), 0u);
    EXPECT_EQ(rebootFlag_, 0);
}

// The code decides, not the return value: a failure without a code ends in
// the success lines.
TEST_F(InfInstallTest, FirstUpdateFailureWithoutACodeCountsAsSuccess)
{
    AddTestDevice();
    machine_.faults.push_back(FaultOn("UpdateDriverForPlugAndPlayDevicesW", ERROR_SUCCESS));
    EXPECT_EQ(InstallRoot(kHardwareId, 0), 0u);
    EXPECT_EQ(Log(), Crlf("[T]F UDPNPD." + ErrorRecords(0, "The operation completed successfully.") + kSuccess));
    EXPECT_EQ(winsim::TraceCount("SetupDiGetINFClassW"), 0u);
}

TEST_F(InfInstallTest, UnreadableInfClassHasNoTag)
{
    machine_.faults.push_back(FaultOn("SetupDiGetINFClassW", ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(InstallRoot(kHardwareId, 0), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Log(), Crlf(kNoDevice + "[T]\nFailure." +
                          ErrorRecords(ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.")));
    EXPECT_EQ(winsim::TraceCount("SetupDiCreateDeviceInfoList"), 0u);
    EXPECT_EQ(winsim::TraceCount("SetupDiDestroyDeviceInfoList"), 0u);
    EXPECT_EQ(CreatedDevice(), nullptr);
}

// Each failing call of the creation logs its tag; a device element that was
// made but not registered is removed again, and the set always goes.
TEST_F(InfInstallTest, EachCreationFailureLogsItsTagAndLeavesNoHalfMadeDevice)
{
    struct Case {
        const char *function;
        uint32_t onCall;
        const char *tag;
        bool removesElement;
    };
    const Case cases[] = {
        {"SetupDiCreateDeviceInfoList", 0, "F SDiCDIL.", false},
        {"SetupDiCreateDeviceInfoW", 0, "F SDiCDI.", false},
        {"SetupDiSetDeviceRegistryPropertyW", 0, "F SDiSDRP.", true},
        {"SetupDiCallClassInstaller", 1, "F SDiCCI.", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.function);
        machine_ = harness::Gen5(2);
        machine_.faults.push_back(FaultOn(c.function, ERROR_NOT_ENOUGH_MEMORY, "", c.onCall));
        ClearLog();
        EXPECT_EQ(InstallRoot(kHardwareId, 1), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
        const std::string failure = ErrorRecords(ERROR_NOT_ENOUGH_MEMORY, kOutOfMemory);
        EXPECT_EQ(Log(), Crlf(kNoDevice + "[T]" + c.tag + failure + "[T]\nFailure." + failure));
        EXPECT_EQ(winsim::TraceHas("SetupDiCallClassInstaller", "dif=0x5"), c.removesElement);
        EXPECT_EQ(CreatedDevice(), nullptr);
        EXPECT_EQ(winsim::TraceCount("UpdateDriverForPlugAndPlayDevicesW"), 1u);
        EXPECT_EQ(winsim::OpenDeviceInfoSets(), 0u);
        EXPECT_EQ(rebootFlag_, 0);
    }
}

TEST_F(InfInstallTest, SecondUpdateFailureKeepsTheRegisteredDevice)
{
    machine_.faults.push_back(FaultOn("UpdateDriverForPlugAndPlayDevicesW", ERROR_ACCESS_DENIED, "", 2));
    EXPECT_EQ(InstallRoot(kHardwareId, 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    const std::string failure = ErrorRecords(ERROR_ACCESS_DENIED, "Access is denied.");
    EXPECT_EQ(Log(), Crlf(kNoDevice + "[T]F UDPNPD2." + failure + "[T]\nFailure." + failure));
    ASSERT_TRUE(IsRegistered(CreatedDevice()));
    EXPECT_EQ(CreatedDevice()->service, u"");
    EXPECT_FALSE(winsim::TraceHas("SetupDiCallClassInstaller", "dif=0x5"));
}

}  // namespace
