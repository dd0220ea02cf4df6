// The install sequence ("-i") on generation 5 and 6 machines with the
// example package: log bytes, exit code and the machine afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/common.h"
#include "package/package.h"
#include "support/machine_test.h"
#include "support/package_runs.h"

namespace {

using namespace package_runs;

const std::string kBusLine = "\nInstalling the Multi-Path Adapter Filter and Multi-Path Bus Driver...\n";
const std::string kDsmLine = "\nInstalling the Device Specific Module...\n";
const std::string kDiskLine = "\nInstalling the Multi-Path Device Driver...\n";

// A root device created for the ID: the update finds none first.
std::string CreatedRootDevice()
{
    return Records({"F UDPNPD.", " Error code (0xe000020b)\n", "\nSuccess \n"});
}

class InstallTest : public harness::MachineTest {
protected:
    void SetUp() override { machine_ = Server(harness::Gen5(2)); }

    harness::Run Install(const std::string &source = PackageDir())
    {
        harness::Run run = harness::RunInProcess(machine_, Args("-i", source));
        EXPECT_EQ(run.localBlocksLeft, 0u);
        return run;
    }
};

TEST_F(InstallTest, Generation5InstallsBusDsmAndDiskDriverThenRestartsAdapters)
{
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log),
              Records({"Starting Multi-Path install/uninstall package\n", kBusLine}) + CreatedRootDevice() +
                  Records({kDsmLine}) + CreatedRootDevice() + Records({kDiskLine}) + TryEntries(3) +
                  Records({"Success \n"}) + RestartRecords("Detected\\MPIO"));
    EXPECT_EQ(run.console, WithoutTimes(run.log));

    const winsim::Device *bus = FindByHardwareId(machine_, "Detected\\MPIO");
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->service, u"mpio");
    EXPECT_EQ(bus->description, u"Multi-Path Support");
    const winsim::Device *dsm = FindByHardwareId(machine_, "Root\\QVXDSM");
    ASSERT_NE(dsm, nullptr);
    EXPECT_EQ(dsm->service, u"qvxdsm");
    EXPECT_EQ(dsm->description, u"Quorvex Lumenstride Device Specific Module");

    for (int disk : {kQuorvexDisk0, kQuorvexDisk1}) {
        EXPECT_EQ(HardwareIds(machine_.devices[disk]).back(), "MPIODisk");
        EXPECT_EQ(machine_.devices[disk].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
        EXPECT_EQ(machine_.devices[disk].service, u"mpdev");
    }
    EXPECT_EQ(HardwareIds(machine_.devices[kTessellaDisk]).back(), "GenDisk");
    EXPECT_EQ(machine_.devices[kTessellaDisk].configFlags, 0u);
    EXPECT_EQ(machine_.devices[kTessellaDisk].service, u"disk");

    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kQuorvexEntry}));
    EXPECT_EQ(harness::GetMultiSz(machine_, kAdapterClassKey, "UpperFilters"), std::vector<std::string>({"mpfilt"}));
    for (const char *service : {"mpio", "mpfilt", "qvxdsm", "mpdev"})
        EXPECT_TRUE(HasService(machine_, service)) << service;
    ASSERT_EQ(machine_.driverStore.size(), 3u);
    EXPECT_EQ(machine_.driverStore[2].originalPath, harness::U(PackageDir() + "\\mpdev.inf"));
    EXPECT_EQ(machine_.devices[kQuorvexAdapter].restarts, 1u);
    EXPECT_EQ(machine_.devices[kTessellaAdapter].restarts, 1u);
    EXPECT_EQ(bus->restarts, 0u);
    EXPECT_EQ(winsim::TraceCount("FindClose"), 1u);
}

TEST_F(InstallTest, SecondInstallStopsAtTheUnforcedBusDriverUpdate)
{
    ASSERT_EQ(Install().exitCode, 0);
    const std::vector<winsim::Device> devicesBefore = machine_.devices;
    harness::Run run = Install();
    // The bus device already runs "mpio.inf" and its update is not forced:
    // the library finds no better driver, and the install ends there.
    EXPECT_EQ(run.exitCode, -1);
    const std::string noMoreItems = Records({" No more data is available.\r\n\n", " Error code (0x00000103)\n"});
    EXPECT_EQ(MaskTimes(run.log), Records({"Starting Multi-Path install/uninstall package\n", kBusLine, "F UDPNPD."}) +
                                      noMoreItems + Records({"\nFailure."}) + noMoreItems);
    ASSERT_EQ(machine_.devices.size(), devicesBefore.size());
    for (size_t i = 0; i < devicesBefore.size(); i++) {
        EXPECT_EQ(machine_.devices[i].hardwareIds, devicesBefore[i].hardwareIds);
        EXPECT_EQ(machine_.devices[i].configFlags, devicesBefore[i].configFlags);
        EXPECT_EQ(machine_.devices[i].restarts, devicesBefore[i].restarts);
    }
    EXPECT_EQ(machine_.driverStore.size(), 3u);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kQuorvexEntry}));
}

TEST_F(InstallTest, BusDriverRebootStillInstallsTheRestButSkipsTheRestart)
{
    winsim::Device bus = harness::MpioBus("Detected\\MPIO");
    bus.installFlagsAfterChange = DI_NEEDREBOOT;
    machine_.devices.push_back(bus);
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(MaskTimes(run.log),
              Records({"Starting Multi-Path install/uninstall package\n", kBusLine,
                       "\nSuccess (Please reboot the system)\n", kDsmLine}) +
                  CreatedRootDevice() + Records({kDiskLine}) + TryEntries(3) + Records({"Success \n"}));
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_EQ(HardwareIds(machine_.devices[kQuorvexDisk0]).back(), "MPIODisk");
    EXPECT_EQ(machine_.devices[kQuorvexAdapter].restarts, 0u);
}

TEST_F(InstallTest, DiskDriverRebootIsReportedByItsStep)
{
    machine_.devices[kQuorvexDisk1].installFlagsAfterChange = DI_NEEDRESTART;
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(MaskTimes(run.log).find(TryEntries(3) + Records({"Success (Please reboot the system)\n"})),
              std::string::npos);
    EXPECT_EQ(MaskTimes(run.log).find("Restarting"), std::string::npos);
}

TEST_F(InstallTest, AdapterRestartRebootGivesExitOne)
{
    machine_.devices[kTessellaAdapter].installFlagsAfterChange = DI_NEEDREBOOT;
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(MaskTimes(run.log).find(Records({"Skipped\n", "Success (Please reboot the system)\n"})),
              std::string::npos);
}

TEST_F(InstallTest, DsmRebootIsMergedAndSkipsTheRestart)
{
    winsim::Device dsm = harness::SystemDevice("ROOT\\SYSTEM\\0007", {"Root\\QVXDSM"}, "Old DSM");
    dsm.installFlagsAfterChange = DI_NEEDREBOOT;
    machine_.devices.push_back(dsm);
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(MaskTimes(run.log).find(Records({kDsmLine, "\nSuccess (Please reboot the system)\n", kDiskLine})),
              std::string::npos);
    EXPECT_EQ(MaskTimes(run.log).find("Restarting"), std::string::npos);
}

TEST_F(InstallTest, RebootFlagSetOnEntryIsClearedFirst)
{
    INT rebootFlag = 1;
    const std::u16string source = harness::U(PackageDir());
    EXPECT_EQ(OnMachine([&] { return InstallPackage(source.c_str(), u"qvxdsm.inf", u"Root\\QVXDSM", &rebootFlag); }),
              0u);
    EXPECT_EQ(rebootFlag, 0);
    EXPECT_EQ(machine_.devices[kQuorvexAdapter].restarts, 1u);
}

TEST_F(InstallTest, MissingSourcePathTouchesNothing)
{
    for (winsim::Machine machine : {Server(harness::Gen5(2)), Server(harness::Gen6())}) {
        machine_ = machine;
        harness::Run run = Install(PackageDir() + "/absent");
        EXPECT_EQ(run.exitCode, -1);
        EXPECT_EQ(MaskTimes(run.log),
                  Records({"Starting Multi-Path install/uninstall package\n", "Unable to validate the source path.",
                           " The system cannot find the file specified.\r\n\n", " Error code (0x00000002)\n"}));
        EXPECT_EQ(machine_.devices.size(), 5u);
        EXPECT_TRUE(machine_.driverStore.empty());
        EXPECT_TRUE(winsim::Services(machine_).empty());
        EXPECT_EQ(machine_.features, machine.features);
        EXPECT_FALSE(winsim::TraceHas("FindClose"));
    }
}

TEST_F(InstallTest, NoClaimedDiskIsStillASuccess)
{
    machine_.devices.erase(machine_.devices.begin() + kQuorvexDisk0, machine_.devices.begin() + kTessellaDisk);
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(MaskTimes(run.log).find(Records({kDiskLine}) + TryEntries(1) + Records({"Success \n"})),
              std::string::npos);
    EXPECT_TRUE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW", "hwid=MPIODisk"));
    EXPECT_EQ(machine_.driverStore.size(), 3u);   // "mpdev.inf" is in the store all the same
}

TEST_F(InstallTest, SpacesInTheStoredListAreUnderscoresOnlyForTheMatch)
{
    // The other vendor's entry is there already; the DSM appends its own.
    harness::SetMultiSz(machine_, kMpdevKey, kSupportedDevices, {kTessellaEntry});
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(HardwareIds(machine_.devices[kTessellaDisk]).back(), "MPIODisk");
    EXPECT_EQ(HardwareIds(machine_.devices[kQuorvexDisk0]).back(), "MPIODisk");
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kTessellaEntry, kQuorvexEntry}));
}

// ---------------------------------------------------------------------------
// The supported-device list as the disk driver step finds it.  The DSM here
// adds nothing to the list, so the stored bytes reach the step unchanged.
// ---------------------------------------------------------------------------

const char kPlainDsmInf[] =
    "[Version]\n"
    "Signature=\"$WINDOWS NT$\"\n"
    "Class=System\n"
    "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\n"
    "[SourceDisksNames]\n"
    "1=Disk\n"
    "[SourceDisksFiles]\n"
    "plain.sys=1\n"
    "[DestinationDirs]\n"
    "DefaultDestDir=12\n"
    "[Manufacturer]\n"
    "Quorvex=Models,NTamd64\n"
    "[Models.NTamd64]\n"
    "\"Quorvex Lumenstride Device Specific Module\"=Dsm,Root\\QVXDSM\n"
    "[Dsm]\n"
    "CopyFiles=DsmFiles\n"
    "[DsmFiles]\n"
    "plain.sys\n"
    "[Dsm.Services]\n"
    "AddService=qvxdsm,2,DsmService\n"
    "[DsmService]\n"
    "ServiceType=1\n"
    "StartType=0\n"
    "ErrorControl=1\n"
    "ServiceBinary=%12%\\plain.sys\n";

class StoredListTest : public InstallTest {
protected:
    // The example package with a DSM INF that leaves the list alone.
    harness::Run InstallWithList(const std::vector<uint8_t> *stored)
    {
        for (const char *name : {"mpio.inf", "mpdev.inf", "mpio.sys", "mpfilt.sys", "mpdev.sys"})
            scratch_.WriteFile(std::string("package/") + name, PackageFile(name));
        scratch_.WriteFile("package/qvxdsm.inf", kPlainDsmInf);
        scratch_.WriteFile("package/plain.sys", "placeholder\n");
        if (stored != nullptr)
            SetRawList(machine_, *stored);
        harness::Run run = Install(scratch_.Path("package"));
        if (stored != nullptr) {
            EXPECT_EQ(RawList(machine_), *stored) << "the stored value is never rewritten";
        }
        return run;
    }

    bool QuorvexClaimed() const { return HardwareIds(machine_.devices[kQuorvexDisk0]).back() == "MPIODisk"; }
    bool TessellaClaimed() const { return HardwareIds(machine_.devices[kTessellaDisk]).back() == "MPIODisk"; }
};

TEST_F(StoredListTest, MissingListFailsTheDiskDriverStep)
{
    harness::Run run = InstallWithList(nullptr);
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_NE(MaskTimes(run.log).find(Records({kDiskLine, "Failure.", " The system cannot find the file specified.\r\n\n",
                                               " Error code (0x00000002)\n"})),
              std::string::npos);
    EXPECT_FALSE(QuorvexClaimed());
    EXPECT_EQ(machine_.driverStore.size(), 3u);   // copied before the list was read
    EXPECT_EQ(MaskTimes(run.log).find("Restarting"), std::string::npos);
}

// Lists stored empty, without their last NULs or with an odd byte count: the
// disks the list names are claimed, and the install succeeds.
TEST_F(StoredListTest, MalformedListsClaimTheDisksTheyName)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> stored;
        bool quorvex;
        bool tessella;
    };
    const std::string both = std::string(kTessellaEntry) + '\0' + kQuorvexEntry;
    const auto withByte = [](std::vector<uint8_t> bytes, uint8_t byte) {
        bytes.push_back(byte);
        return bytes;
    };
    const Case cases[] = {
        {"EmptyOrZeroSizeListClaimsNothing (empty)", Utf16(std::string(2, '\0')), false, false},
        {"EmptyOrZeroSizeListClaimsNothing (zero size)", {}, false, false},
        {"ListWithoutClosingNulIsReadUpToItsEnd", Utf16(both + '\0'), true, true},
        {"LastEntryWithoutItsNulStillCounts", Utf16(both), true, true},
        // The dangling byte would make the entry "QUORVEX LUMENSTRIDE     Q".
        {"OddByteCountDropsTheDanglingByte", withByte(Utf16(both), 'Q'), true, true},
        // "TESS" is a prefix; "TESSX" would not be.
        {"OddByteCountDropsTheDanglingByte (prefix)", withByte(Utf16("TESS"), 'X'), false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        machine_ = Server(harness::Gen5(2));
        harness::Run run = InstallWithList(&c.stored);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(QuorvexClaimed(), c.quorvex);
        EXPECT_EQ(TessellaClaimed(), c.tessella);
    }
}

TEST_F(StoredListTest, LongSourcePathIsCutAtTheBufferEnd)
{
    // 250 units: "\mpio.inf" just fits the 259 units of a path, the DSM's
    // name is cut to "qvxdsm.i", which names no file.
    std::string source = scratch_.Path("p");
    source += "/" + std::string(250 - source.size() - 1, 'd');
    ASSERT_EQ(source.size(), 250u);
    for (const char *name : {"mpio.inf", "mpio.sys", "mpfilt.sys", "qvxdsm.inf", "qvxdsm.sys"})
        scratch_.WriteFile(source.substr(scratch_.Dir().size() + 1) + "/" + name, PackageFile(name));

    harness::Run run = Install(source);
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_NE(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    EXPECT_TRUE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW", "inf=" + source + "\\mpio.inf flags=0x0"));
    EXPECT_TRUE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW", "inf=" + source + "\\qvxdsm.i flags=0x1"));
    EXPECT_EQ(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
}

// ---------------------------------------------------------------------------
// Generation 6: the feature, then the DSM.
// ---------------------------------------------------------------------------

class Generation6InstallTest : public InstallTest {
protected:
    void SetUp() override { machine_ = Server(harness::Gen6()); }
};

TEST_F(Generation6InstallTest, SwitchesTheFeatureOnThenInstallsTheDsm)
{
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), Records({"Starting Multi-Path install/uninstall package\n"}) + TryEntries(2) +
                                      Records({kDsmLine}) + CreatedRootDevice() + RestartRecords("ROOT\\MPIO"));
    const std::string console = MaskTimes(run.console);
    EXPECT_NE(console.find(harness::Crlf("!!TRY ENTRY 1.\n"
                                         "\nInstalling the MPIO OC. This may take some time, please be patient...\n"
                                         "Success \n"
                                         "\nInstalling the Device Specific Module...\n")),
              std::string::npos);
    EXPECT_TRUE(winsim::TraceHas("_wsystem", "DISM.exe /online /norestart /enable-feature:MultipathIo"));
    EXPECT_EQ(machine_.features["MultipathIo"], "Enabled");
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kQuorvexEntry}));
    // Neither "mpio.inf" nor "mpdev.inf" is used, and no disk is rewritten.
    ASSERT_EQ(machine_.driverStore.size(), 1u);
    EXPECT_EQ(HardwareIds(machine_.devices[kQuorvexDisk0]).back(), "GenDisk");
}

TEST_F(Generation6InstallTest, SecondInstallReinstallsTheForcedDsm)
{
    ASSERT_EQ(Install().exitCode, 0);
    machine_.trace.clear();
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), Records({"Starting Multi-Path install/uninstall package\n"}) + TryEntries(3) +
                                      Records({kDsmLine, "\nSuccess \n"}) + RestartRecords("ROOT\\MPIO"));
    EXPECT_EQ(winsim::TraceCount("_wsystem"), 0u);
    EXPECT_EQ(machine_.driverStore.size(), 1u);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kQuorvexEntry}));
    EXPECT_EQ(machine_.devices[kQuorvexAdapter].restarts, 2u);
}

TEST_F(Generation6InstallTest, PresentBusDeviceLeavesTheFeatureAlone)
{
    winsim::Device bus = harness::MpioBus("ROOT\\MPIO");
    bus.present = false;   // recorded but absent still counts
    machine_.devices.push_back(bus);
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), Records({"Starting Multi-Path install/uninstall package\n"}) + TryEntries(3) +
                                      Records({kDsmLine}) + CreatedRootDevice() + RestartRecords("ROOT\\MPIO"));
    EXPECT_FALSE(winsim::TraceHas("_wsystem"));
    EXPECT_EQ(machine_.features["MultipathIo"], "Disabled");
}

TEST_F(Generation6InstallTest, FeatureAskingForARebootSkipsTheRestart)
{
    machine_.dism.exitStatus = 3010;
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(MaskTimes(run.log), Records({"Starting Multi-Path install/uninstall package\n"}) + TryEntries(2) +
                                      Records({kDsmLine}) + CreatedRootDevice());
    EXPECT_NE(run.console.find(harness::Crlf("Success (but need a reboot)\n")), std::string::npos);
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_EQ(machine_.devices[kQuorvexAdapter].restarts, 0u);
}

TEST_F(Generation6InstallTest, FailingFeatureEndsTheInstall)
{
    machine_.dism.exitStatus = 5;
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, -1);
    // Only the error text reaches the log; "Failure." is on the console.
    EXPECT_EQ(MaskTimes(run.log), Records({"Starting Multi-Path install/uninstall package\n"}) + TryEntries(2) +
                                      Records({" Access is denied.\r\n\n", " Error code (0x00000005)\n"}));
    EXPECT_NE(run.console.find("Failure. Access is denied."), std::string::npos);
    EXPECT_EQ(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_TRUE(winsim::Services(machine_).empty());
}

TEST_F(Generation6InstallTest, ServiceMarkedForDeleteGivesExitMinusTwo)
{
    harness::AddService(machine_, "qvxdsm", 0, true);
    machine_.devices.push_back(harness::MpioBus("ROOT\\MPIO"));
    harness::Run run = Install();
    EXPECT_EQ(run.exitCode, -2);
    EXPECT_EQ(MaskTimes(run.log),
              Records({"Starting Multi-Path install/uninstall package\n"}) + TryEntries(3) +
                  Records({kDsmLine, "F UDPNPD.", " Error code (0xe000020b)\n", "F UDPNPD2.",
                           " The specified service has been marked for deletion.\r\n\n", " Error code (0x00000430)\n",
                           "\nFailure.", " The specified service has been marked for deletion.\r\n\n",
                           " Error code (0x00000430)\n"}));
}

}  // namespace
