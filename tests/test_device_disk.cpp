// Multipath disk claim and release: the list normalisation, the match of
// supported-device entries against disk hardware IDs, the rewrite of the
// hardware IDs and the release of disks the list no longer names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/device.h"
#include "support/machine_test.h"

namespace {

using namespace std::string_literals;
using Ids = std::vector<std::string>;
using harness::HardwareIds;

const char kQuorvex[] = "QUORVEX ";
const char kLumenstride[] = "LUMENSTRIDE     ";
const char kTessella[] = "TESSELLA";
const char kOrbit[] = "ORBIT-2         ";

Ids QuorvexIds(const std::string &last)
{
    return {"SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "SCSI\\DiskQUORVEX_LUMENSTRIDE_____", "SCSI\\DiskQUORVEX_",
            "SCSI\\QUORVEX_LUMENSTRIDE_____0",        "QUORVEX_LUMENSTRIDE_____0",         last};
}

winsim::Device DiskWithIds(const Ids &ids, unsigned unit = 0)
{
    winsim::Device disk = harness::Disk(kQuorvex, kLumenstride, "0100", "SCSI", unit);
    std::vector<winsim::Text> wide;
    for (const auto &id : ids)
        wide.push_back(winsim::Widen(id));
    disk.hardwareIds = wide;
    return disk;
}

// The one place the tests hand a list to the normalisation.
std::u16string Normalized(std::u16string list)
{
    MULTISZ_VIEW view;
    MultiSzViewInit(&view, list.data(), static_cast<DWORD>(list.size() * sizeof(WCHAR)));
    NormalizeSupportedDeviceList(&view);
    return list;
}

// One walk of the disk drive class with a callback and a list (none for a
// null list): the one place the tests hand a list to the callbacks.
class DiskWalkTest : public harness::MachineTest {
protected:
    DWORD Walk(DeviceCallback callback, const std::u16string *list)
    {
        flag_ = 0;
        std::u16string copy = list ? *list : std::u16string();
        MULTISZ_VIEW view;
        MultiSzViewInit(&view, copy.data(), static_cast<DWORD>(copy.size() * sizeof(WCHAR)));
        return OnMachine([&] { return EnumDiskDrives(callback, list ? &view : nullptr, &flag_); });
    }
    DWORD Claim(const std::u16string &list) { return Walk(ClaimDiskCallback, &list); }
    DWORD Release(const std::u16string *list) { return Walk(ReleaseDiskCallback, list); }

    INT flag_ = 0;
};

// ---------------------------------------------------------------------------
// NormalizeSupportedDeviceList
// ---------------------------------------------------------------------------

TEST(NormalizeSupportedDeviceList, NullAndEmptyListsAreLeftAlone)
{
    NormalizeSupportedDeviceList(nullptr);
    EXPECT_EQ(Normalized(u"\0A B\0\0"s), u"\0A B\0\0"s);
}

TEST(NormalizeSupportedDeviceList, BlanksBecomeUnderscoresUpToTheClosingNul)
{
    EXPECT_EQ(Normalized(u"QUORVEX LUMENSTRIDE     \0 A  B \0\0C D\0"s), u"QUORVEX_LUMENSTRIDE_____\0_A__B_\0\0C D\0"s);
}

// ---------------------------------------------------------------------------
// ClaimDiskCallback
// ---------------------------------------------------------------------------

TEST_F(DiskWalkTest, ClaimNeedsTheNormalisedEntry)
{
    machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride));
    EXPECT_EQ(Claim(u"QUORVEX LUMENSTRIDE     \0\0"s), 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[0]), QuorvexIds("GenDisk"));

    EXPECT_EQ(Claim(u"QUORVEX_LUMENSTRIDE_____\0\0"s), 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[0]), QuorvexIds("MPIODisk"));
    EXPECT_EQ(machine_.devices[0].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_EQ(flag_, 0);   // the claim never asks for a restart
}

// Which disks a list claims: the last hardware ID of each disk afterwards.
TEST_F(DiskWalkTest, ClaimMatchesTheListedModelsByPrefix)
{
    struct Case {
        const char *name;
        std::vector<winsim::Device> disks;
        std::u16string list;
        Ids lastIds;
    };
    const Case cases[] = {
        {"ClaimMatchesOnlyTheListedModels",
         {harness::Disk(kQuorvex, kLumenstride, "0100", "SCSI", 0), harness::Disk(kTessella, kOrbit, "0200", "SCSI", 1),
          harness::Disk(kQuorvex, "NOCTURNE        ", "0100", "SCSI", 2)},
         u"TESSELLAORBIT-2_________\0\0"s,
         {"GenDisk", "MPIODisk", "GenDisk"}},
        {"ShortEntryIsAPrefixAndLongEntryCountsItsFirst24",
         {harness::Disk(kQuorvex, kLumenstride, "0100", "SCSI", 0),
          harness::Disk(kQuorvex, "NOCTURNE        ", "0100", "SCSI", 1),
          harness::Disk(kTessella, kOrbit, "0200", "SCSI", 2)},
         u"QUORVEX\0TESSELLAORBIT-2_________ANYTHING\0\0"s,
         {"MPIODisk", "MPIODisk", "MPIODisk"}},
        {"KeysOfMixedLengthsAndCaseInAnyOrder",
         {harness::Disk(kQuorvex, kLumenstride, "0100", "SCSI", 0), harness::Disk(kTessella, kOrbit, "0200", "SCSI", 1),
          harness::Disk("ZEPHYR  ", "DRIFT           ", "0100", "SCSI", 2),
          harness::Disk("ACME    ", "VAULT           ", "0100", "SCSI", 3)},
         u"zz\0YONDER__ANYTHING________\0TESSELLAORBIT-2_________\0ZENITH__ANYTHING________\0Quorvex_L\0AC\0ACME____VAULTX\0QUORVEX_LUMENSTRIDE____X\0A\0\0"s,
         {"MPIODisk", "MPIODisk", "GenDisk", "MPIODisk"}},
        {"HardwareIdShorterThanTheKeyNeverMatches",
         {DiskWithIds({"SCSI\\DiskQUORVEX_LUMEN", "GenDisk"})},
         u"QUORVEX_LUMENSTRIDE_____\0\0"s,
         {"GenDisk"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        machine_.devices = c.disks;
        EXPECT_EQ(Claim(c.list), 0u);
        Ids lastIds;
        for (const auto &disk : machine_.devices)
            lastIds.push_back(HardwareIds(disk).back());
        EXPECT_EQ(lastIds, c.lastIds);
    }
}

TEST_F(DiskWalkTest, LetterCaseNeverMatters)
{
    machine_.devices.push_back(DiskWithIds({"scsi\\diskquorvex_lumenstride_____0100", "gendisk"}));
    EXPECT_EQ(Claim(u"Quorvex_Lumenstride_____\0\0"s), 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[0]),
              Ids({"scsi\\diskquorvex_lumenstride_____0100", "MPIODisk"}));
}

TEST_F(DiskWalkTest, CoveredDiskWithoutGenDiskIsNotWritten)
{
    machine_.devices.push_back(DiskWithIds(QuorvexIds("MPIODisk")));
    EXPECT_EQ(Claim(u"QUORVEX_LUMENSTRIDE_____\0\0"s), 0u);
    EXPECT_EQ(machine_.devices[0].configFlags, 0u);
    EXPECT_FALSE(winsim::TraceHas("SetupDiSetDeviceRegistryPropertyW"));
}

TEST_F(DiskWalkTest, EveryGenDiskIsReplacedInPlace)
{
    machine_.devices.push_back(DiskWithIds({"SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "GenDisk", "B", "GENDISK"}));
    EXPECT_EQ(Claim(u"QUORVEX_LUMENSTRIDE_____\0\0"s), 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[0]),
              Ids({"SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "MPIODisk", "B", "MPIODisk"}));
    // The strings with their NULs and the closing NUL: 2 * (37 + 8 + 1 + 8 + 4) + 2.
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetDeviceRegistryPropertyW", "property=0x1 size=118"));
}

TEST_F(DiskWalkTest, NoEntriesClaimNothing)
{
    machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride));
    EXPECT_EQ(Claim(u"\0\0"s), 0u);
    EXPECT_EQ(Walk(ClaimDiskCallback, nullptr), 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[0]).back(), "GenDisk");
    EXPECT_EQ(machine_.devices[0].configFlags, 0u);
}

TEST_F(DiskWalkTest, ListThatWouldNotFitLeavesTheDiskUnclaimed)
{
    // 1025 units of strings and NULs: readable (2052 bytes with the closing
    // NUL), but "MPIODisk" makes it one unit too long to store whole.
    Ids ids = {"SCSI\\DiskQUORVEX_LUMENSTRIDE_____0100", "GenDisk"};
    size_t used = 38 + 8;
    while (used < 1025) {
        size_t length = std::min<size_t>(200, 1025 - used - 1);
        ids.push_back(std::string(length, 'X'));
        used += length + 1;
    }
    machine_.devices.push_back(DiskWithIds(ids, 0));
    const size_t lastLength = ids.back().size();
    ids.pop_back();
    ids.push_back(std::string(lastLength - 1, 'Y'));   // one unit shorter: fits exactly
    machine_.devices.push_back(DiskWithIds(ids, 1));
    ids[1] = "MPIODisk";

    EXPECT_EQ(Claim(u"QUORVEX_LUMENSTRIDE_____\0\0"s), 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[0])[1], "GenDisk");
    EXPECT_EQ(machine_.devices[0].configFlags, 0u);
    EXPECT_EQ(HardwareIds(machine_.devices[1]), ids);
    EXPECT_EQ(machine_.devices[1].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetDeviceRegistryPropertyW", "property=0x1 size=2052"));
}

TEST_F(DiskWalkTest, UnreadableHardwareIdsEndTheWalk)
{
    machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride, "0100", "SCSI", 0));
    machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride, "0100", "SCSI", 1));
    machine_.devices[0].hardwareIds.reset();
    EXPECT_EQ(Claim(u"QUORVEX_LUMENSTRIDE_____\0\0"s), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(HardwareIds(machine_.devices[1]).back(), "GenDisk");
}

TEST_F(DiskWalkTest, UnreadableFlagsLeaveTheRewrittenIdsWithoutTheFlag)
{
    machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride));
    machine_.devices[0].configFlags.reset();
    EXPECT_EQ(Claim(u"QUORVEX_LUMENSTRIDE_____\0\0"s), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(HardwareIds(machine_.devices[0]).back(), "MPIODisk");
    EXPECT_FALSE(machine_.devices[0].configFlags.has_value());
}

// ---------------------------------------------------------------------------
// ReleaseDiskCallback
// ---------------------------------------------------------------------------

// Four disks that the list "TESSELLA..." does not cover, one that it does.
class ReleaseTest : public DiskWalkTest {
protected:
    void AddDisks()
    {
        machine_.devices.push_back(DiskWithIds(QuorvexIds("MPIODisk"), 0));                  // claimed
        machine_.devices.push_back(DiskWithIds(QuorvexIds("GenDisk"), 1));                   // never claimed
        machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride, "0100", "MPIO", 2));  // from the bus
        winsim::Device covered = harness::Disk(kTessella, kOrbit, "0200", "SCSI", 3);
        std::vector<winsim::Text> ids = *covered.hardwareIds;
        ids.back() = u"MPIODisk";
        covered.hardwareIds = ids;
        covered.enumerator = u"MPIO";
        machine_.devices.push_back(covered);
    }
    const std::u16string list_ = u"TESSELLAORBIT-2_________\0\0"s;
};

TEST_F(ReleaseTest, Generation5RestartsClaimedDisksAndRemovesBusDisks)
{
    AddDisks();
    EXPECT_EQ(Release(&list_), 0u);
    EXPECT_EQ(machine_.devices[0].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_EQ(machine_.devices[0].restarts, 1u);
    EXPECT_EQ(machine_.devices[1].configFlags, 0u);   // not claimed: not touched
    EXPECT_EQ(machine_.devices[1].restarts, 0u);
    EXPECT_TRUE(machine_.devices[2].removed);
    EXPECT_FALSE(machine_.devices[3].removed);        // still covered
    EXPECT_EQ(machine_.devices[3].restarts, 0u);
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetClassInstallParamsW", "size=20 dif=0x12 state=3 scope=2 profile=0"));
    EXPECT_TRUE(winsim::TraceHas("SetupDiSetClassInstallParamsW", "size=16 dif=0x5 scope=1 profile=0"));
    EXPECT_EQ(flag_, 0);
}

TEST_F(ReleaseTest, Generation6RestartsEveryUncoveredDisk)
{
    machine_ = harness::Gen6();
    AddDisks();
    EXPECT_EQ(Release(&list_), 0u);
    EXPECT_EQ(machine_.devices[0].restarts, 1u);
    EXPECT_EQ(machine_.devices[1].restarts, 1u);
    EXPECT_EQ(machine_.devices[1].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_TRUE(machine_.devices[2].removed);
    EXPECT_EQ(machine_.devices[3].restarts, 0u);
}

TEST_F(ReleaseTest, WithoutAListNoDiskIsCovered)
{
    AddDisks();
    EXPECT_EQ(Release(nullptr), 0u);
    EXPECT_TRUE(machine_.devices[3].removed);
    const std::u16string empty = u"\0\0"s;
    machine_.devices.clear();
    AddDisks();
    EXPECT_EQ(Release(&empty), 0u);
    EXPECT_TRUE(machine_.devices[3].removed);
}

TEST_F(ReleaseTest, LetterCaseOfMpioDiskAndTheEnumeratorNeverMatters)
{
    machine_.devices.push_back(DiskWithIds(QuorvexIds("mpiodisk"), 0));
    machine_.devices.push_back(harness::Disk(kQuorvex, kLumenstride, "0100", "Mpio", 1));
    EXPECT_EQ(Release(&list_), 0u);
    EXPECT_EQ(machine_.devices[0].restarts, 1u);
    EXPECT_EQ(machine_.devices[0].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_TRUE(machine_.devices[1].removed);
}

TEST_F(ReleaseTest, RestartOrRebootNeedSetsTheFlag)
{
    machine_.devices.push_back(DiskWithIds(QuorvexIds("MPIODisk")));
    machine_.devices[0].installFlagsAfterChange = DI_NEEDRESTART;
    EXPECT_EQ(Release(&list_), 0u);
    EXPECT_EQ(flag_, 1);
}

TEST_F(ReleaseTest, RefusedChangeEndsTheWalkWithItsCode)
{
    AddDisks();
    machine_.faults.push_back(harness::FaultOn("SetupDiCallClassInstaller", ERROR_GEN_FAILURE));
    EXPECT_EQ(Release(&list_), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(machine_.devices[0].restarts, 0u);
    EXPECT_EQ(machine_.devices[0].configFlags, static_cast<uint32_t>(CONFIGFLAG_REINSTALL));
    EXPECT_FALSE(machine_.devices[2].removed);   // never reached
}

TEST_F(ReleaseTest, UnreadableEnumeratorEndsTheWalk)
{
    machine_.devices.push_back(DiskWithIds(QuorvexIds("MPIODisk")));
    machine_.devices[0].enumerator.reset();
    EXPECT_EQ(Release(&list_), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(machine_.devices[0].restarts, 0u);
}

}  // namespace
