// The uninstall sequence ("-u") after an install of the example package:
// what goes and what stays as the supported-device list allows, the DelReg
// clean-up of the oldest systems, and the feature switch-off.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/machine_test.h"
#include "support/package_runs.h"

namespace {

using namespace package_runs;

const std::string kBanner = "Starting Multi-Path install/uninstall package\n";
const std::string kDsmLine = "\nUninstalling the Device Specific Module...\n";
const std::string kDiskLine = "\nUninstalling the Multi-Path Device Driver.This may take a few minutes..\n";
const std::string kBusLine = "\nUninstalling the Multi-Path Bus Driver...\n";
const std::string kRebuildLine = "\nRebuilding the storage stack...\n";
const std::string kSwitchOffLine = "\nUninstalling the MPIO OC. This may take some time, please be patient...\n";

// Every device the service drives.
std::vector<winsim::Device *> DevicesOf(winsim::Machine &machine, const std::u16string &service)
{
    std::vector<winsim::Device *> devices;
    for (auto &device : machine.devices)
        if (device.service == service)
            devices.push_back(&device);
    return devices;
}

class UninstallTest : public harness::MachineTest {
protected:
    // Installs the package on the machine; the uninstall then starts from it.
    void Installed(winsim::Machine machine)
    {
        machine_ = machine;
        harness::Run run = harness::RunInProcess(machine_, Args("-i"));
        ASSERT_GE(run.exitCode, 0) << run.log;
        winsim::Reboot(machine_);
        machine_.trace.clear();
    }

    harness::Run Uninstall(const std::string &source = PackageDir())
    {
        harness::Run run = harness::RunInProcess(machine_, Args("-u", source));
        EXPECT_EQ(run.localBlocksLeft, 0u);
        return run;
    }

    bool BaseRemoved() const { return FindByHardwareId(machine_, "Detected\\MPIO") == nullptr; }
};

// ---------------------------------------------------------------------------
// Generation 5
// ---------------------------------------------------------------------------

TEST_F(UninstallTest, Generation5WithTheListEmptiedRemovesEverything)
{
    Installed(Server(harness::Gen5(2)));
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), CompleteUninstallRecords());
    EXPECT_EQ(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_EQ(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    for (int disk : {kQuorvexDisk0, kQuorvexDisk1}) {
        EXPECT_EQ(machine_.devices[disk].restarts, 1u);
        EXPECT_EQ(machine_.devices[disk].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    }
    EXPECT_EQ(machine_.devices[kTessellaDisk].restarts, 0u);
    for (const char *service : {"qvxdsm", "mpdev", "mpio", "mpfilt"})
        EXPECT_TRUE(HasService(machine_, service, true)) << service;
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices), std::vector<std::string>());
    EXPECT_EQ(harness::GetMultiSz(machine_, kAdapterClassKey, "UpperFilters"), std::vector<std::string>());
    // On 5.1 and later the values are left to the uninstall sections.
    EXPECT_FALSE(winsim::TraceHas("RegSetValueExW"));
    EXPECT_EQ(winsim::TraceCount("FindClose"), 1u);

    winsim::Reboot(machine_);
    EXPECT_TRUE(winsim::Services(machine_).empty());
}

TEST_F(UninstallTest, Generation5ListSharedWithAnotherVendorKeepsTheBase)
{
    winsim::Machine machine = Server(harness::Gen5(1));
    harness::SetMultiSz(machine, kMpdevKey, kSupportedDevices, {kTessellaEntry});
    Installed(machine);
    ASSERT_EQ(HardwareIds(machine_.devices[kTessellaDisk]).back(), "MPIODisk");

    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", kDiskLine}) + TryEntries(3) +
                                      Records({"Success \n"}));
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kTessellaEntry}));
    EXPECT_EQ(machine_.devices[kQuorvexDisk0].restarts, 1u);
    EXPECT_EQ(machine_.devices[kTessellaDisk].restarts, 0u);   // still covered
    EXPECT_NE(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    EXPECT_TRUE(HasService(machine_, "mpdev"));
    EXPECT_TRUE(HasService(machine_, "mpio"));
    EXPECT_TRUE(HasService(machine_, "qvxdsm", true));
}

// A removal that needs a reboot is reported by its step, and the run exits
// with 1.  A bus device that waits for the reboot is removed then.
TEST_F(UninstallTest, Generation5RemovalsThatNeedARebootAreReported)
{
    struct Case {
        const char *name;
        void (*mark)(winsim::Machine &);
        std::string records;
        bool busWaits;
    };
    const Case cases[] = {
        {"Generation5DiskRemovalRebootIsReported",
         [](winsim::Machine &machine) { machine.devices[kQuorvexDisk1].installFlagsAfterChange = DI_NEEDREBOOT; },
         TryEntries(3) + Records({"Success\n", "Success (Please reboot the system)\n"}), false},
        {"Generation5BusRemovalRebootIsReported",
         [](winsim::Machine &machine) {
             for (winsim::Device *device : DevicesOf(machine, u"mpio"))
                 device->installFlagsAfterChange = DI_NEEDREBOOT;
         },
         Records({kBusLine}) + TryEntries(3) + Records({"Success\n", "Success (Please reboot the system)\n"}), true},
        {"DsmThatCannotBeRemovedAtOnceAsksForAReboot",
         [](winsim::Machine &machine) {
             for (winsim::Device *device : DevicesOf(machine, u"qvxdsm"))
                 device->refuseRemoval = true;
         },
         Records({kDsmLine, "!!TRY ENTRY 0.\n", "Success\n", "Success (Please reboot the system)\n"}), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Installed(Server(harness::Gen5(2)));
        c.mark(machine_);
        harness::Run run = Uninstall();
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(MaskTimes(run.log).find(c.records), std::string::npos);
        const winsim::Device *bus = FindByHardwareId(machine_, "Detected\\MPIO");
        EXPECT_EQ(bus != nullptr && (bus->status & DN_WILL_BE_REMOVED) != 0, c.busWaits);
    }
}

TEST_F(UninstallTest, MissingSourcePathLogsItsTextTwice)
{
    Installed(Server(harness::Gen5(2)));
    harness::Run run = Uninstall(PackageDir() + "\\absent");
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(MaskTimes(run.log),
              Records({kBanner, "Unable to validate the source path.", " The system cannot find the file specified.\r\n\n",
                       " Error code (0x00000002)\n", "Failure.", " The system cannot find the file specified.\r\n\n",
                       " Error code (0x00000002)\n"}));
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
}

TEST_F(UninstallTest, UnreadableListStopsBeforeAnyDiskIsReleased)
{
    Installed(Server(harness::Gen5(2)));
    machine_.faults.push_back(harness::FaultOn("RegQueryValueExW", ERROR_ACCESS_DENIED, kSupportedDevices));
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", "Failure.", " Access is denied.\r\n\n",
                                               " Error code (0x00000005)\n"}));
    EXPECT_EQ(machine_.devices[kQuorvexDisk0].restarts, 0u);
    EXPECT_NE(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
}

TEST_F(UninstallTest, FailingUninstallSectionIsReportedThreeTimes)
{
    Installed(Server(harness::Gen5(2)));
    machine_.faults.push_back(harness::FaultOn("SetupInstallServicesFromInfSectionW", ERROR_ACCESS_DENIED));
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, -1);
    const std::string failure = Records({"Failure.", " Access is denied.\r\n\n", " Error code (0x00000005)\n"});
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) + failure + failure + failure);
}

// ---------------------------------------------------------------------------
// Supported-device lists the uninstall finds malformed (the DSM's uninstall
// section finds none of its own entries in them, so it leaves them alone).
// ---------------------------------------------------------------------------

class StoredListUninstallTest : public UninstallTest {
protected:
    void SetUp() override { Installed(Server(harness::Gen5(2))); }
};

TEST_F(StoredListUninstallTest, MissingListCountsAsEmpty)
{
    winsim::RegKey *key = winsim::FindKey(machine_, harness::U(kMpdevKey), false);
    ASSERT_NE(key, nullptr);
    key->values.erase(winsim::Fold(harness::U(kSupportedDevices)));
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), CompleteUninstallRecords());
    EXPECT_TRUE(BaseRemoved());
    EXPECT_EQ(machine_.devices[kQuorvexDisk0].restarts, 1u);
}

// A list with no whole entry counts as empty: the base goes too.  The
// DSM's disks are released either way.
TEST_F(UninstallTest, MalformedListsCountTheirWholeEntries)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> stored;
        bool baseRemoved;
    };
    const Case cases[] = {
        {"ZeroSizeListCountsAsEmpty", {}, true},
        {"OnlyClosingNulsCountsAsEmpty", {0, 0, 0, 0}, true},
        {"OtherVendorWithoutClosingNulKeepsTheBase", Utf16(kTessellaEntry), false},
        // "TESS" and a dangling byte: one entry, so the base stays.
        {"OddSizeListIsReadUpToItsLastWholeUnit", {'T', 0, 'E', 0, 'S', 0, 'S', 0, 'E'}, false},
        // A dangling byte alone is no entry.
        {"OddSizeListIsReadUpToItsLastWholeUnit (one byte)", {'T'}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Installed(Server(harness::Gen5(2)));
        SetRawList(machine_, c.stored);
        EXPECT_EQ(Uninstall().exitCode, 0);
        EXPECT_EQ(BaseRemoved(), c.baseRemoved);
        EXPECT_EQ(machine_.devices[kQuorvexDisk0].restarts, 1u);
    }
}

// ---------------------------------------------------------------------------
// Generation 5.0: the program takes the DelReg strings out itself.
// ---------------------------------------------------------------------------

TEST_F(UninstallTest, Generation50RewritesBothValuesFromTheirDelRegSections)
{
    Installed(Server(harness::Gen5(0)));
    // Stored without their closing NULs: the rewrite closes them.
    SetRawList(machine_, Utf16(std::string(kTessellaEntry) + '\0' + kQuorvexEntry + '\0'));
    winsim::RegKey *filters = winsim::FindKey(machine_, harness::U(kAdapterClassKey), false);
    ASSERT_NE(filters, nullptr);
    filters->values[winsim::Fold(u"UpperFilters")].second.data = Utf16(std::string("mpfilt") + '\0' + "vendorfilt");

    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(RawList(machine_), Utf16(std::string(kTessellaEntry) + '\0' + '\0'));
    // The list still names the other vendor: the bus driver and its filter stay.
    EXPECT_NE(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    EXPECT_TRUE(winsim::TraceHas("RegSetValueExW", "name=MPIOSupportedDeviceList"));
    EXPECT_FALSE(winsim::TraceHas("RegSetValueExW", "name=UpperFilters"));
}

// Lists in the forms other tools write, emptied by the clean-up: stored back
// as one NUL unit of type REG_MULTI_SZ.
TEST_F(UninstallTest, Generation50EmptiedListsAreStoredAsOneNulUnit)
{
    Installed(Server(harness::Gen5(0)));
    SetRawList(machine_, Utf16(std::string(kQuorvexEntry) + '\0'));
    harness::SetString(machine_, kAdapterClassKey, "UpperFilters", "mpfilt");

    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(RawList(machine_), std::vector<uint8_t>({0, 0}));
    // The emptied list lets the bus driver go, and "mpfilt" with it.
    EXPECT_EQ(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    const winsim::RegValue *filters = harness::GetRaw(machine_, kAdapterClassKey, "UpperFilters");
    ASSERT_NE(filters, nullptr);
    EXPECT_EQ(filters->type, static_cast<uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(filters->data, std::vector<uint8_t>({0, 0}));
}

// The value is read before the DSM's uninstall section runs, since only the
// program's write-back takes the DSM's entries out.  A value that cannot be
// read fails the step before the section runs; one that does not exist means
// there is nothing to clean up.
TEST_F(UninstallTest, Generation50UnreadableValueFailsBeforeTheSectionRuns)
{
    struct Case {
        const char *name;
        winsim::Fault fault;
        DWORD code;
        std::string text;
    };
    const Case cases[] = {
        {"DeniedKey", harness::FaultOn("RegOpenKeyExW", ERROR_ACCESS_DENIED, kMpdevKey, 1), ERROR_ACCESS_DENIED,
         " Access is denied.\r\n\n"},
        {"DeniedSizeQuery", harness::FaultOn("RegQueryValueExW", ERROR_ACCESS_DENIED, kSupportedDevices, 1),
         ERROR_ACCESS_DENIED, " Access is denied.\r\n\n"},
        // The data query fails after the block was allocated.
        {"NoMemoryForTheData", harness::FaultOn("RegQueryValueExW", ERROR_NOT_ENOUGH_MEMORY, kSupportedDevices, 2),
         ERROR_NOT_ENOUGH_MEMORY, " Not enough memory resources are available to process this command.\r\n\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Installed(Server(harness::Gen5(0)));
        const std::vector<uint8_t> stored = RawList(machine_);
        machine_.faults.push_back(c.fault);
        harness::Run run = Uninstall();
        EXPECT_EQ(run.exitCode, -1);
        char codeLine[64];
        std::snprintf(codeLine, sizeof codeLine, " Error code (0x%08x)\n", static_cast<unsigned>(c.code));
        const std::string failure = Records({"Failure.", c.text, codeLine});
        EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) + failure + failure);
        EXPECT_TRUE(HasService(machine_, "qvxdsm"));   // the section did not run
        EXPECT_EQ(RawList(machine_), stored);
    }

    Installed(Server(harness::Gen5(0)));
    winsim::FindKey(machine_, harness::U(kMpdevKey), false)->values.clear();
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(HasService(machine_, "qvxdsm", true));
}

TEST_F(UninstallTest, Generation50EmptyDelRegLineFailsAfterTheSectionRan)
{
    Installed(Server(harness::Gen5(0)));
    // A package whose DSM names no DelReg section.
    std::string inf = PackageFile("qvxdsm.inf");
    const std::string named = "DelReg   = QvxDsmSupportedDevicesRemove";
    ASSERT_NE(inf.find(named), std::string::npos);
    inf.replace(inf.find(named), named.size(), "DelReg   =");
    scratch_.WriteFile("package/qvxdsm.inf", inf);
    scratch_.WriteFile("package/qvxdsm.sys", "placeholder\n");

    harness::Run run = Uninstall(scratch_.Path("package"));
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Failure.", " The data is invalid.\r\n\n",
                                               " Error code (0x0000000d)\n", "Failure.", " The data is invalid.\r\n\n",
                                               " Error code (0x0000000d)\n"}));
    EXPECT_TRUE(HasService(machine_, "qvxdsm", true));
}

// ---------------------------------------------------------------------------
// Generation 6: the storage-stack rebuild and the feature switch-off.
// ---------------------------------------------------------------------------

class Generation6UninstallTest : public UninstallTest {
protected:
    void SetUp() override { Installed(Server(harness::Gen6())); }
};

TEST_F(Generation6UninstallTest, EmptyListSwitchesTheFeatureOffAndChecksTheBusDevice)
{
    machine_.dism.onDisable = "remove";
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", kRebuildLine}) + TryEntries(3) +
                                      Records({"Success \n"}) + TryEntries(3) + TryEntries(2));
    EXPECT_NE(run.console.find(harness::Crlf("!!TRY ENTRY 2.\n" + kSwitchOffLine)), std::string::npos);
    EXPECT_NE(run.console.find(harness::Crlf("!!TRY ENTRY 1.\nSuccess \n")), std::string::npos);
    EXPECT_EQ(machine_.features["MultipathIo"], "Disabled");
    EXPECT_EQ(FindByHardwareId(machine_, "ROOT\\MPIO"), nullptr);
    // Every disk is rebuilt on generation 6.
    for (int disk : {kQuorvexDisk0, kQuorvexDisk1, kTessellaDisk})
        EXPECT_EQ(machine_.devices[disk].restarts, 1u);
    EXPECT_FALSE(winsim::TraceHas("CM_Get_DevNode_Status"));
}

TEST_F(Generation6UninstallTest, BusDeviceMarkedForRemovalNeedsAReboot)
{
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.console.find(harness::Crlf("!!TRY ENTRY 2.\nSuccess (but need a reboot)\n")), std::string::npos);
    winsim::Reboot(machine_);
    EXPECT_EQ(FindByHardwareId(machine_, "ROOT\\MPIO"), nullptr);
}

TEST_F(Generation6UninstallTest, FeatureAskingForARebootSkipsTheCheck)
{
    machine_.dism.exitStatus = 3010;
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.console.find(harness::Crlf(kSwitchOffLine + "Success (but need a reboot)\n")), std::string::npos);
    EXPECT_EQ(winsim::TraceCount("_wsystem"), 1u);
    EXPECT_FALSE(winsim::TraceHas("CM_Get_DevNode_Status"));
    EXPECT_EQ(machine_.features["MultipathIo"], "DisablePending");
}

TEST_F(Generation6UninstallTest, BusDeviceThatStaysIsAFailure)
{
    machine_.dism.onDisable = "keep";
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, -1);
    const std::string text = Records({" A device attached to the system is not functioning.\r\n\n",
                                      " Error code (0x0000001f)\n"});
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", kRebuildLine}) + TryEntries(3) +
                                      Records({"Success \n"}) + TryEntries(3) + TryEntries(3) + text +
                                      Records({"Failure."}) + text);
    EXPECT_NE(run.console.find("!!TRY ENTRY 2.\r\nFailure. A device attached"), std::string::npos);
}

TEST_F(Generation6UninstallTest, LaterOfTwoBusDevicesDecidesTheCheck)
{
    // The feature's own device comes first in the walk; a second one follows.
    machine_.devices.push_back(harness::MpioBus("ROOT\\MPIO"));
    machine_.devices.back().instanceId = u"ROOT\\MPIO\\0001";
    const winsim::Machine installed = machine_;

    // The first is marked for removal, the later one is not: a failure.
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_NE(run.console.find("Failure. A device attached"), std::string::npos);

    // The first stays, the later one is marked: success with a reboot.
    machine_ = installed;
    machine_.dism.onDisable = "keep";
    machine_.devices.back().status |= DN_WILL_BE_REMOVED;
    run = Uninstall();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.console.find(harness::Crlf("!!TRY ENTRY 3.\nSuccess (but need a reboot)\n")), std::string::npos);
}

TEST_F(Generation6UninstallTest, FailingFeatureCommandEndsTheUninstall)
{
    machine_.dism.exitStatus = 1;
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, -1);
    const std::string text = Records({" Incorrect function.\r\n\n", " Error code (0x00000001)\n"});
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", kRebuildLine}) + TryEntries(3) +
                                      Records({"Success \n"}) + TryEntries(3) + text + Records({"Failure."}) + text);
    EXPECT_NE(FindByHardwareId(machine_, "ROOT\\MPIO"), nullptr);
}

TEST_F(Generation6UninstallTest, ListWithEntriesOnlyRebuilds)
{
    harness::SetMultiSz(machine_, kMpdevKey, kSupportedDevices, {kTessellaEntry, kQuorvexEntry});
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", kRebuildLine}) + TryEntries(3) +
                                      Records({"Success \n"}));
    EXPECT_FALSE(winsim::TraceHas("_wsystem"));
    EXPECT_EQ(machine_.features["MultipathIo"], "Enabled");
    // The DSM took its own entry out: only the other vendor's disk stays covered.
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kTessellaEntry}));
    EXPECT_EQ(machine_.devices[kTessellaDisk].restarts, 0u);
    EXPECT_EQ(machine_.devices[kQuorvexDisk0].restarts, 1u);
}

TEST_F(Generation6UninstallTest, NoBusDeviceLeavesTheFeatureAlone)
{
    for (auto &device : machine_.devices)
        if (device.hardwareIds && device.hardwareIds->front() == u"ROOT\\MPIO")
            device.removed = true;
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_FALSE(winsim::TraceHas("_wsystem"));
}

// A reboot the DSM removal or the rebuild asks for is reported on the
// rebuild line; the feature is switched off all the same, and its own check
// of the bus device is skipped.
TEST_F(UninstallTest, Generation6RebootBeforeTheSwitchOffSkipsTheRemovalCheck)
{
    struct Case {
        const char *name;
        void (*mark)(winsim::Machine &);
    };
    const Case cases[] = {
        {"DsmRebootCarriesIntoTheRebuildLine",
         [](winsim::Machine &machine) {
             for (winsim::Device *device : DevicesOf(machine, u"qvxdsm"))
                 device->refuseRemoval = true;
             machine.dism.onDisable = "remove";
         }},
        {"RebuildRebootSkipsTheRemovalCheck",
         [](winsim::Machine &machine) { machine.devices[kTessellaDisk].installFlagsAfterChange = DI_NEEDRESTART; }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Installed(Server(harness::Gen6()));
        c.mark(machine_);
        harness::Run run = Uninstall();
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_NE(MaskTimes(run.log).find(Records({kRebuildLine}) + TryEntries(3) +
                                          Records({"Success (Please reboot the system)\n"})),
                  std::string::npos);
        EXPECT_NE(run.console.find(harness::Crlf(kSwitchOffLine + "Success (but need a reboot)\n")),
                  std::string::npos);
        EXPECT_FALSE(winsim::TraceHas("CM_Get_DevNode_Status"));
    }
}

TEST_F(Generation6UninstallTest, FailingRebuildIsLoggedOnce)
{
    machine_.faults.push_back(
        harness::FaultOn("SetupDiGetDeviceRegistryPropertyW", ERROR_GEN_FAILURE, winsim::Narrow(machine_.devices[kQuorvexDisk1].instanceId)));
    harness::Run run = Uninstall();
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(MaskTimes(run.log), Records({kBanner, kDsmLine}) + TryEntries(1) +
                                      Records({"Success\n", "Success \n", kRebuildLine}) + TryEntries(2) +
                                      Records({"Failure.", " A device attached to the system is not functioning.\r\n\n",
                                               " Error code (0x0000001f)\n"}));
}

}  // namespace
