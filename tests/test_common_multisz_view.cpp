// The bounded multi-string view: the entries it hands out for well-formed
// and malformed buffers, and the disk-driver steps that build the list's
// match keys from it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/common.h"
#include "device/device.h"
#include "package/package.h"
#include "support/harness.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

// The step's failure lines for ERROR_NOT_ENOUGH_MEMORY, as the console shows them.
const std::string kOutOfMemoryFailure =
    "Failure. Not enough memory resources are available to process this command.\r\r\n\r\n"
    " Error code (0x00000008)\r\n";

Bytes Utf16Bytes(const std::u16string &units)
{
    Bytes bytes(units.size() * 2);
    std::memcpy(bytes.data(), units.data(), bytes.size());
    return bytes;
}

// The entries a view over 'stored' hands out.  Behind the stored bytes the
// buffer holds "ZZ" and NULs: a walk past the byte count would take them in.
std::vector<std::u16string> Entries(const Bytes &stored)
{
    Bytes buffer = stored;
    for (uint8_t byte : Bytes{'Z', 0, 'Z', 0, 0, 0, 0, 0})
        buffer.push_back(byte);
    std::vector<WCHAR> units((buffer.size() + 1) / 2);
    std::memcpy(units.data(), buffer.data(), buffer.size());

    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    std::vector<std::u16string> entries;
    MultiSzViewInit(&view, units.data(), static_cast<DWORD>(stored.size()));
    for (BOOL more = MultiSzViewFirst(&view, &entry); more; more = MultiSzViewNext(&view, &entry)) {
        EXPECT_LE(entry.offset + entry.length, view.count);
        entries.emplace_back(entry.text, entry.length);
    }
    EXPECT_EQ(MultiSzViewIsEmpty(&view), entries.empty());
    return entries;
}

TEST(MultiSzView, HandsOutTheEntriesInsideTheByteCount)
{
    struct Case {
        const char *what;
        Bytes stored;
        std::vector<std::u16string> entries;
    };
    const Case cases[] = {
        {"well-formed", Utf16Bytes(u"A\0BC\0\0"s), {u"A", u"BC"}},
        {"only the closing NULs", Utf16Bytes(u"\0\0"s), {}},
        {"0 bytes", {}, {}},
        {"1 byte", {'A'}, {}},
        {"odd count: half a unit is no entry", {'A', 0, 0, 0, 'B'}, {u"A"}},
        {"odd count inside the last string", {'A', 0, 'B', 0, 'C'}, {u"AB"}},
        {"no closing NUL", Utf16Bytes(u"A\0B\0"s), {u"A", u"B"}},
        {"last string unterminated", Utf16Bytes(u"AB\0C"s), {u"AB", u"C"}},
        {"no NUL at all", Utf16Bytes(u"ABC"s), {u"ABC"}},
        {"embedded empty entry ends the list", Utf16Bytes(u"A\0\0B\0\0"s), {u"A"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Entries(c.stored), c.entries);
    }
}

TEST(MultiSzView, NullHasNoEntries)
{
    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    MultiSzViewInit(&view, nullptr, 8);
    EXPECT_FALSE(MultiSzViewFirst(&view, &entry));
    EXPECT_TRUE(MultiSzViewIsEmpty(nullptr));
    EXPECT_FALSE(MultiSzViewFirst(nullptr, &entry));
}

TEST(MultiSzView, EntryEndingAtTheCountComparesByItsLength)
{
    WCHAR units[] = u"AB\0cZZ";
    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    MultiSzViewInit(&view, units, 4 * sizeof(WCHAR));
    ASSERT_TRUE(MultiSzViewFirst(&view, &entry));
    ASSERT_TRUE(MultiSzViewNext(&view, &entry));
    EXPECT_TRUE(MultiSzEntryEqualsNoCase(&entry, u"C"));
    EXPECT_FALSE(MultiSzEntryEqualsNoCase(&entry, u"CZ"));
    EXPECT_FALSE(MultiSzEntryEqualsNoCase(&entry, u""));

    WCHAR copy[4] = {'x', 'x', 'x', 'x'};
    TextCopyN(copy, 4, entry.text, entry.length);
    EXPECT_EQ(std::u16string(copy), u"c");
}

// ---------------------------------------------------------------------------
// The disk-driver steps: the match keys are built once per walk, in one
// block, and a failed allocation fails the step like any other error.
// ---------------------------------------------------------------------------

class DiskDriverStepTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        machine_.devices.push_back(harness::Disk("QUORVEX ", "LUMENSTRIDE     ", "0100", "SCSI", 0));
        harness::SetMultiSz(machine_, "SYSTEM\\CurrentControlSet\\Control\\MPDEV", "MPIOSupportedDeviceList",
                            {"TESSELLAORBIT-2         ", "QUORVEX LUMENSTRIDE     "});
    }
    void Start()
    {
        winsim::SetCurrent(machine_);
        OsVersion.dwMajorVersion = machine_.os.major;
        OsVersion.dwMinorVersion = machine_.os.minor;
        blocks_ = winsim::LiveLocalBlocks();
    }
    winsim::Device &Disk() { return winsim::Current().devices[0]; }

    harness::Scratch scratch_;
    winsim::Machine machine_ = harness::Gen5(2);
    size_t blocks_ = 0;
    const std::u16string mpdev_ = harness::U(std::string(SOURCE_DIR) + "/examples/package/mpdev.inf");
};

TEST_F(DiskDriverStepTest, InstallFailsWhenTheKeysCannotBeAllocated)
{
    machine_.faults.push_back({"LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 2, false, {}, 0});   // the list, then the keys
    Start();
    INT reboot = 0;
    EXPECT_EQ(InstallDiskDriver(mpdev_.c_str(), &reboot), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(harness::WithoutTimes(scratch_.Log()), kOutOfMemoryFailure);
    EXPECT_EQ(Disk().hardwareIds->back(), u"GenDisk");
    EXPECT_FALSE(winsim::TraceHas("UpdateDriverForPlugAndPlayDevicesW"));
    EXPECT_EQ(winsim::LiveLocalBlocks(), blocks_);
}

TEST_F(DiskDriverStepTest, KeysAreBuiltOncePerWalkAndFreed)
{
    machine_.devices.push_back(harness::Disk("TESSELLA", "ORBIT-2         ", "0200", "SCSI", 1));
    machine_.devices.push_back(harness::Disk("OTHER   ", "MODEL           ", "0300", "SCSI", 2));
    Start();
    INT reboot = 0;
    EXPECT_EQ(InstallDiskDriver(mpdev_.c_str(), &reboot), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(Disk().hardwareIds->back(), u"MPIODisk");
    EXPECT_EQ(winsim::Current().devices[1].hardwareIds->back(), u"MPIODisk");
    EXPECT_EQ(winsim::Current().devices[2].hardwareIds->back(), u"GenDisk");
    EXPECT_EQ(winsim::TraceCount("LocalAlloc"), 2u);   // the list and its keys, for three disks
    EXPECT_EQ(winsim::LiveLocalBlocks(), blocks_);
}

}  // namespace
