// End-to-end runs of the host binary on the example machines with the
// example package: each run loads the machine file and saves it back, so a
// scenario is a sequence of runs as an administrator would make them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/machine_test.h"
#include "support/package_runs.h"

namespace {

using namespace package_runs;

class ScenarioTest : public harness::MachineTest {
protected:
    void UseMachine(const std::string &exampleName)
    {
        machine_ = winsim::LoadMachineFile(std::string(SOURCE_DIR) + "/examples/machines/" + exampleName);
    }

    // One run of the binary on machine_, which it saves back.
    harness::Run Run(const std::vector<std::string> &args)
    {
        harness::Run run = harness::RunBinaryOn(machine_, args, scratch_);
        EXPECT_EQ(run.errors, "") << "standard error of " << args[0];
        return run;
    }
    harness::Run Package(const char *mode, const std::string &source = PackageDir())
    {
        return Run(BinaryArgs(mode, source));
    }

    const winsim::Device &Disk(const std::string &instanceSuffix) const
    {
        for (const auto &device : machine_.devices)
            if (winsim::Narrow(device.instanceId).find(instanceSuffix) != std::string::npos)
                return device;
        throw std::runtime_error("no disk " + instanceSuffix);
    }
};

// The example machines' disks, by the end of their instance IDs.
const char kQuorvexA[] = "REV_0100\\5&1C0FE2A&0&000000";
const char kQuorvexB[] = "REV_0100\\5&1C0FE2A&0&000100";
const char kTessella[] = "REV_0200\\5&3B9D471&0&000000";

TEST_F(ScenarioTest, Generation52InstallCheckUninstallReboot)
{
    UseMachine("gen5-server.json");

    harness::Run install = Package("-i");
    EXPECT_EQ(install.exitCode, 0);
    EXPECT_EQ(install.console, WithoutTimes(install.log));
    EXPECT_EQ(HardwareIds(Disk(kQuorvexA)).back(), "MPIODisk");
    EXPECT_EQ(HardwareIds(Disk(kQuorvexB)).back(), "MPIODisk");
    EXPECT_EQ(Disk(kQuorvexA).configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_EQ(HardwareIds(Disk(kTessella)).back(), "GenDisk");
    EXPECT_NE(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_EQ(harness::GetMultiSz(machine_, kAdapterClassKey, "UpperFilters"), std::vector<std::string>({"mpfilt"}));
    EXPECT_EQ(machine_.driverStore.size(), 3u);

    harness::Run check = Run({"-c"});
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_NE(MaskTimes(check.log).find("[T]CheckInstallMPIO: install condition 1\r\n"), std::string::npos);

    harness::Run uninstall = Package("-u");
    EXPECT_EQ(uninstall.exitCode, 0);
    EXPECT_EQ(MaskTimes(uninstall.log), CompleteUninstallRecords());
    EXPECT_EQ(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);
    EXPECT_EQ(Disk(kQuorvexA).restarts, 1u);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices), std::vector<std::string>());
    EXPECT_EQ(harness::GetMultiSz(machine_, kAdapterClassKey, "UpperFilters"), std::vector<std::string>());
    EXPECT_TRUE(HasService(machine_, "qvxdsm", true));

    // The next boot gives the released disks their bus's IDs and the disk driver.
    winsim::Reboot(machine_);
    EXPECT_FALSE(winsim::FindService(machine_, u"qvxdsm"));
    for (const char *disk : {kQuorvexA, kQuorvexB}) {
        EXPECT_EQ(HardwareIds(Disk(disk)).back(), "GenDisk") << disk;
        EXPECT_EQ(Disk(disk).service, u"disk") << disk;
    }
    EXPECT_EQ(Run({"-c"}).exitCode, 1);
    // The log holds every run, one after the other.
    const std::string runs = install.log + check.log + uninstall.log;
    EXPECT_EQ(scratch_.Log().substr(0, runs.size()), runs);
}

TEST_F(ScenarioTest, Generation50UninstallRewritesTheValuesItself)
{
    UseMachine("gen5-server.json");
    machine_.os.minor = 0;
    machine_.os.build = 2195;
    harness::SetMultiSz(machine_, kMpdevKey, kSupportedDevices, {kTessellaEntry});
    harness::SetMultiSz(machine_, kAdapterClassKey, "UpperFilters", {"vendorfilt"});

    EXPECT_EQ(Package("-i").exitCode, 0);
    EXPECT_EQ(HardwareIds(Disk(kTessella)).back(), "MPIODisk");
    EXPECT_EQ(harness::GetMultiSz(machine_, kAdapterClassKey, "UpperFilters"),
              std::vector<std::string>({"vendorfilt", "mpfilt"}));

    harness::Run uninstall = Package("-u");
    EXPECT_EQ(uninstall.exitCode, 0);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kTessellaEntry}));
    EXPECT_EQ(RawList(machine_), Utf16(std::string(kTessellaEntry) + '\0' + '\0'));
    EXPECT_EQ(Disk(kQuorvexA).restarts, 1u);
    EXPECT_EQ(Disk(kTessella).restarts, 0u);
    EXPECT_NE(FindByHardwareId(machine_, "Detected\\MPIO"), nullptr);   // the other vendor still needs it

    // At the next boot the disk the list still names stays claimed.
    winsim::Reboot(machine_);
    EXPECT_EQ(HardwareIds(Disk(kTessella)).back(), "MPIODisk");
    EXPECT_EQ(Disk(kTessella).service, u"mpdev");
    EXPECT_EQ(HardwareIds(Disk(kQuorvexA)).back(), "GenDisk");
}

TEST_F(ScenarioTest, Generation61InstallCheckUninstallReboot)
{
    UseMachine("gen6-server.json");

    harness::Run install = Package("-i");
    EXPECT_EQ(install.exitCode, 0);
    EXPECT_NE(install.console.find("Installing the MPIO OC. This may take some time, please be patient...\r\n"
                                   "Success \r\n"),
              std::string::npos);
    EXPECT_EQ(MaskTimes(install.log).find("MPIO OC"), std::string::npos);
    EXPECT_EQ(machine_.features["MultipathIo"], "Enabled");
    EXPECT_NE(FindByHardwareId(machine_, "ROOT\\MPIO"), nullptr);
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_EQ(HardwareIds(Disk(kQuorvexA)).back(), "GenDisk");   // the system's own disk driver claims

    EXPECT_EQ(Run({"-c"}).exitCode, 1);

    harness::Run uninstall = Package("-u");
    EXPECT_EQ(uninstall.exitCode, 1);   // the bus device goes at the next reboot
    EXPECT_NE(uninstall.console.find("Uninstalling the MPIO OC. This may take some time, please be patient...\r\n"),
              std::string::npos);
    EXPECT_NE(uninstall.console.find("Success (but need a reboot)\r\n"), std::string::npos);
    EXPECT_EQ(machine_.features["MultipathIo"], "Disabled");
    for (const char *disk : {kQuorvexA, kQuorvexB, kTessella})
        EXPECT_EQ(Disk(disk).restarts, 1u);

    winsim::Reboot(machine_);
    EXPECT_EQ(FindByHardwareId(machine_, "ROOT\\MPIO"), nullptr);
    EXPECT_EQ(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
    EXPECT_FALSE(winsim::FindService(machine_, u"qvxdsm"));

    // Installing again brings the feature and the DSM back.
    EXPECT_EQ(Package("-i").exitCode, 0);
    EXPECT_EQ(machine_.features["MultipathIo"], "Enabled");
    EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
}

TEST_F(ScenarioTest, InstallAfterUninstallWithoutRebootGivesMinusTwo)
{
    UseMachine("gen5-server.json");
    ASSERT_EQ(Package("-i").exitCode, 0);
    ASSERT_EQ(Package("-u").exitCode, 0);

    // The uninstall marked the services for deletion; they go at the next reboot.
    harness::Run again = Package("-i");
    EXPECT_EQ(again.exitCode, -2);
    EXPECT_NE(MaskTimes(again.log).find(Records({"\nFailure.", " The specified service has been marked for deletion.\r\n\n",
                                                 " Error code (0x00000430)\n"})),
              std::string::npos);

    // After the reboot the services install again, and the released disks,
    // back with their bus's IDs and the disk driver, are claimed again.
    winsim::Reboot(machine_);
    harness::Run afterReboot = Package("-i");
    EXPECT_EQ(afterReboot.exitCode, 0);
    EXPECT_TRUE(HasService(machine_, "mpio"));
    EXPECT_TRUE(HasService(machine_, "qvxdsm"));
    EXPECT_EQ(HardwareIds(Disk(kQuorvexA)).back(), "MPIODisk");
    EXPECT_EQ(Disk(kQuorvexA).service, u"mpdev");
}

// A package whose file names differ from its INFs only in case, as packages
// built on Windows often do, installs on every generation: here the driver
// files and mpio.inf are in upper case.
TEST_F(ScenarioTest, PackageInAnotherCaseInstallsOnEveryGeneration)
{
    for (const auto &entry : std::filesystem::directory_iterator(PackageDir())) {
        std::string name = entry.path().filename().string();
        if (name == "mpio.inf" || entry.path().extension() == ".sys")
            std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        scratch_.WriteFile("upper/" + name, harness::FileBytes(entry.path().string()));
    }
    const struct {
        const char *machine;
        uint32_t minor;
    } generations[] = {{"gen5-server.json", 0}, {"gen5-server.json", 2}, {"gen6-server.json", 1}};
    for (const auto &generation : generations) {
        SCOPED_TRACE(std::string(generation.machine) + " minor " + std::to_string(generation.minor));
        UseMachine(generation.machine);
        machine_.os.minor = generation.minor;
        EXPECT_EQ(Package("-i", scratch_.Path("upper")).exitCode, 0);
        EXPECT_NE(FindByHardwareId(machine_, "Root\\QVXDSM"), nullptr);
        if (machine_.os.major == 5) {
            EXPECT_EQ(HardwareIds(Disk(kQuorvexA)).back(), "MPIODisk");
        }
    }
}

TEST_F(ScenarioTest, SecondInstallOnGeneration5FailsAtTheBusDriver)
{
    UseMachine("gen5-server.json");
    ASSERT_EQ(Package("-i").exitCode, 0);
    harness::Run again = Package("-i");
    EXPECT_EQ(again.exitCode, -1);
    EXPECT_NE(MaskTimes(again.log).find("[T]F UDPNPD.[T] No more data is available."), std::string::npos);
    EXPECT_EQ(machine_.driverStore.size(), 3u);
}

TEST_F(ScenarioTest, MissingSourcePathChangesNothing)
{
    UseMachine("gen6-server.json");
    const std::string before = winsim::SerializeMachine(machine_);
    harness::Run run = Package("-i", scratch_.Path("no-such-package"));
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(MaskTimes(run.log),
              Records({"Starting Multi-Path install/uninstall package\n", "Unable to validate the source path.",
                       " The system cannot find the file specified.\r\n\n", " Error code (0x00000002)\n"}));
    EXPECT_EQ(winsim::SerializeMachine(machine_), before);
}

TEST_F(ScenarioTest, FeatureAnswers3010ThenReboot)
{
    UseMachine("gen6-server.json");
    machine_.dism.exitStatus = 3010;
    harness::Run install = Package("-i");
    EXPECT_EQ(install.exitCode, 1);
    EXPECT_NE(install.console.find("Success (but need a reboot)\r\n"), std::string::npos);
    EXPECT_EQ(machine_.features["MultipathIo"], "EnablePending");
    EXPECT_EQ(MaskTimes(install.log).find("Restarting"), std::string::npos);
    winsim::Reboot(machine_);
    EXPECT_NE(FindByHardwareId(machine_, "ROOT\\MPIO"), nullptr);
}

TEST_F(ScenarioTest, SupportedListSharedAndMalformedOnGeneration6)
{
    UseMachine("gen6-server.json");
    ASSERT_EQ(Package("-i").exitCode, 0);
    // The other vendor's entry, stored without its closing NUL and with an
    // odd byte count, and after it the DSM's own entry.
    std::vector<uint8_t> stored = Utf16(std::string(kTessellaEntry) + '\0' + kQuorvexEntry);
    stored.push_back(0);
    SetRawList(machine_, stored);

    harness::Run uninstall = Package("-u");
    EXPECT_EQ(uninstall.exitCode, 0);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kSupportedDevices),
              std::vector<std::string>({kTessellaEntry}));
    EXPECT_EQ(machine_.features["MultipathIo"], "Enabled");
    EXPECT_EQ(Disk(kTessella).restarts, 0u);
    EXPECT_EQ(Disk(kQuorvexA).restarts, 1u);
}

}  // namespace
