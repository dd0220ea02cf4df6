// DelReg string removal: the section name, the field reader and the removal
// of delete-string entries from a list in memory, well-formed or not.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "support/harness.h"

namespace {

using namespace std::string_literals;

const char kMpdevKey[] = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";
const char kFilterKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}";

std::string DeleteLine(const std::string &text)
{
    return std::string("HKLM,") + kMpdevKey + ",MPIOSupportedDeviceList,0x00018002,\"" + text + "\"\n";
}

// An INF whose [DefaultUninstall] names [Remove], with the given lines.
std::string DelRegInf(const std::string &lines)
{
    return "[Version]\n"
           "Signature=\"$WINDOWS NT$\"\n"
           "Class=System\n"
           "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\n"
           "\n"
           "[DefaultUninstall]\n"
           "DelFiles=Files\n"
           "DelReg=Remove\n"
           "\n"
           "[Remove]\n" +
           lines;
}

// A fault on the Nth call of a function (every call when 'call' is 0).
winsim::Fault FaultOn(const char *function, uint32_t error, uint32_t call = 0)
{
    winsim::Fault fault;
    fault.function = function;
    fault.error = error;
    fault.onCall = call;
    return fault;
}

// Stored list bytes from UTF-16 units (the units are taken as written,
// NULs included).
std::vector<uint8_t> Bytes(const std::u16string &units)
{
    std::vector<uint8_t> bytes;
    for (char16_t unit : units) {
        bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

class RemoveDelRegStringsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        winsim::SetCurrent(harness::Gen5(0));
        blocksBefore_ = winsim::LiveLocalBlocks();
    }

    void TearDown() override
    {
        if (list_ != nullptr)
            LocalFree(list_);
        EXPECT_EQ(winsim::LiveLocalBlocks(), blocksBefore_) << "a block was left behind";
    }

    // The list block: the stored bytes, then text a reader that goes past
    // the byte count would take for more of the list ("ZZ"), then NULs so
    // that such a reader still stops.
    void SetList(const std::vector<uint8_t> &stored)
    {
        static const uint8_t trailer[] = {'Z', 0, 'Z', 0, 0, 0, 0, 0};
        if (list_ != nullptr)
            LocalFree(list_);
        list_ = static_cast<WCHAR *>(LocalAlloc(LMEM_FIXED, stored.size() + sizeof trailer));
        ASSERT_NE(list_, nullptr);
        std::memcpy(list_, stored.data(), stored.size());
        std::memcpy(reinterpret_cast<uint8_t *>(list_) + stored.size(), trailer, sizeof trailer);
        size_ = static_cast<DWORD>(stored.size());
    }
    void SetList(const std::u16string &units) { SetList(Bytes(units)); }

    DWORD Remove(const std::string &lines, MultiSzKind kind = MULTISZ_SUPPORTED_DEVICES,
                 const char16_t *section = u"Remove")
    {
        scratch_.WriteFile("dsm.inf", DelRegInf(lines));
        return RemoveDelRegStrings(u"dsm.inf", section, kind, &list_, &size_);
    }

    // The list as handed back: exactly its byte count.
    std::vector<uint8_t> Stored() const
    {
        const uint8_t *bytes = reinterpret_cast<const uint8_t *>(list_);
        return std::vector<uint8_t>(bytes, bytes + size_);
    }

    harness::Scratch scratch_;
    size_t blocksBefore_ = 0;
    WCHAR *list_ = nullptr;
    DWORD size_ = 0;
};

// ---------------------------------------------------------------------------
// Well-formed lists: the results the removal is defined by.
// ---------------------------------------------------------------------------

TEST_F(RemoveDelRegStringsTest, MissingInfFailsWithTheOpenCodeAndKeepsTheList)
{
    SetList(u"A\0\0"s);
    WCHAR *before = list_;
    EXPECT_EQ(RemoveDelRegStrings(u"absent.inf", u"Remove", MULTISZ_SUPPORTED_DEVICES, &list_, &size_),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(list_, before);
    EXPECT_EQ(size_, 6u);
}

TEST_F(RemoveDelRegStringsTest, MissingOrEmptySectionChangesNothing)
{
    SetList(u"A\0B\0\0"s);
    WCHAR *before = list_;
    EXPECT_EQ(Remove(DeleteLine("A"), MULTISZ_SUPPORTED_DEVICES, u"NoSuchSection"), 0u);
    EXPECT_EQ(Remove(""), 0u);
    EXPECT_EQ(list_, before);
    EXPECT_EQ(Stored(), Bytes(u"A\0B\0\0"s));
    // The INF is closed on these early paths too.
    EXPECT_EQ(winsim::TraceCount("SetupCloseInfFile"), 2u);
}

TEST_F(RemoveDelRegStringsTest, PresentThenAbsentStringShrinksByOneEntry)
{
    SetList(u"QUORVEX LUMENSTRIDE     \0TESSELLAORBIT-2         \0\0"s);
    EXPECT_EQ(Remove(DeleteLine("QUORVEX LUMENSTRIDE     ") + DeleteLine("NOTTHERE")), 0u);
    EXPECT_EQ(size_, 2u * (24 + 1 + 24 + 1 + 1) - 2u * (24 + 1));
    EXPECT_EQ(Stored(), Bytes(u"TESSELLAORBIT-2         \0\0"s));
}

TEST_F(RemoveDelRegStringsTest, RemovesOnlyTheFirstOccurrenceWhateverItsCase)
{
    SetList(u"Keep\0mpfilt\0Other\0MPFILT\0\0"s);
    EXPECT_EQ(Remove(DeleteLine("MpFilt")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"Keep\0Other\0MPFILT\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, LinesApplyOneAfterAnother)
{
    SetList(u"A\0B\0C\0\0"s);
    EXPECT_EQ(Remove(DeleteLine("C") + DeleteLine("A")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"B\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, OnlyEntryLeavesANewTwoByteList)
{
    SetList(u"A\0\0"s);
    WCHAR *before = list_;
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_NE(list_, before);
    EXPECT_EQ(Stored(), Bytes(u"\0"s));
}

TEST_F(RemoveDelRegStringsTest, NulsBehindTheListKeepTheLongerCountZeroFilled)
{
    SetList(u"A\0B\0\0\0\0"s);
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"B\0\0\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, PassesOverLinesThatDoNotQualify)
{
    const std::string value = ",MPIOSupportedDeviceList,";
    SetList(u"A\0\0"s);
    EXPECT_EQ(Remove(std::string("HKLM,") + kMpdevKey + value + "0x00018002\n" +            // four fields
                     "HKLM," + kMpdevKey + value + "0x00018002,A,extra\n" +                  // six fields
                     "HKLM," + kMpdevKey + value + "0x00000002,A\n" +                        // other flags
                     "HKLM," + kMpdevKey + value + "flags,A\n" +                             // flags not a number
                     "HKCU," + kMpdevKey + value + "0x00018002,A\n" +                        // other root
                     "HKLM," + kFilterKey + value + "0x00018002,A\n" +                       // other kind's key
                     "HKLM," + kMpdevKey + ",UpperFilters,0x00018002,A\n"),                   // other kind's value
              0u);
    EXPECT_EQ(Stored(), Bytes(u"A\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, LowerCaseRootKeyAndValueQualify)
{
    SetList(u"A\0B\0\0"s);
    EXPECT_EQ(Remove("hklm,system\\currentcontrolset\\control\\mpdev,mpiosupporteddevicelist,0x18002,a\n"), 0u);
    EXPECT_EQ(Stored(), Bytes(u"B\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, KindSelectsWhichLinesApply)
{
    SetList(u"mpfilt\0A\0\0"s);
    const std::string filterLine = std::string("HKLM,") + kFilterKey + ",UpperFilters,0x00018002,mpfilt\n";
    EXPECT_EQ(Remove(filterLine + DeleteLine("A"), MULTISZ_UPPER_FILTERS), 0u);
    EXPECT_EQ(Stored(), Bytes(u"A\0\0"s));
    // No line qualifies for a kind outside the two known values.
    EXPECT_EQ(Remove(filterLine + DeleteLine("A"), 3), 0u);
    EXPECT_EQ(Stored(), Bytes(u"A\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, FailedAllocationStopsWithEarlierRemovalsKept)
{
    SetList(u"A\0B\0C\0\0"s);
    // Each line allocates its four field texts, then the new list: the
    // tenth allocation is the second line's list.
    winsim::Current().faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, 10));
    EXPECT_EQ(Remove(DeleteLine("A") + DeleteLine("B") + DeleteLine("C")),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Stored(), Bytes(u"B\0C\0\0"s));
}

// ---------------------------------------------------------------------------
// Lists stored without their last NULs, with an odd byte count, or shorter
// than the walk would make them: the count never wraps, the new block holds
// what is copied and a closing NUL, and the result is a closed list.
// ---------------------------------------------------------------------------

TEST_F(RemoveDelRegStringsTest, OnlyEntryWithoutClosingNulKeepsTheBlockWithCountOne)
{
    SetList(u"A\0"s);
    WCHAR *before = list_;
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_EQ(list_, before);
    EXPECT_EQ(size_, 1u);
    EXPECT_EQ(list_[0], 0);   // the whole first unit: the block reads as an empty list
}

TEST_F(RemoveDelRegStringsTest, OnlyEntryWithoutAnyNulDoesNotWrapTheCount)
{
    // 2 - 2*1 - 2 is negative: taken as the empty list, not as ~4 GiB.
    SetList(u"A"s);
    WCHAR *before = list_;
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_EQ(list_, before);
    EXPECT_EQ(size_, 1u);
    EXPECT_EQ(list_[0], 0);
}

TEST_F(RemoveDelRegStringsTest, NonLatinOnlyEntryIsClearedWhole)
{
    // Setting the first byte alone would leave U+0100 behind as 0x0100.
    SetList(u"\u0141"s);
    EXPECT_EQ(Remove("HKLM,SYSTEM\\CurrentControlSet\\Control\\MPDEV,MPIOSupportedDeviceList,0x18002,\"\u0141\"\n"),
              0u);
    EXPECT_EQ(size_, 1u);
    EXPECT_EQ(list_[0], 0);
}

TEST_F(RemoveDelRegStringsTest, MissingClosingNulIsAddedToTheNewList)
{
    SetList(u"A\0B\0"s);
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"B\0\0"s));

    SetList(u"A\0B\0"s);
    EXPECT_EQ(Remove(DeleteLine("B")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"A\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, LastStringWithoutNulIsClosedInTheNewList)
{
    // The new count is 2: the old walk copied "C" and two NULs into it.
    SetList(u"AB\0C"s);
    EXPECT_EQ(Remove(DeleteLine("AB")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"C\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, RemovingTheUnterminatedLastString)
{
    SetList(u"AB\0C"s);
    EXPECT_EQ(Remove(DeleteLine("C")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"AB\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, TextBehindTheByteCountIsNotPartOfTheList)
{
    // The block holds "CZZ" but only "C" is inside the count.
    SetList(u"AB\0C"s);
    EXPECT_EQ(Remove(DeleteLine("CZZ")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"AB\0C"s));
    // After the first line the list is closed, so the second one leaves
    // the two-byte empty list.
    EXPECT_EQ(Remove(DeleteLine("C") + DeleteLine("AB")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"\0"s));
}

TEST_F(RemoveDelRegStringsTest, SecondLineWorksOnTheClosedList)
{
    SetList(u"A\0B\0C"s);
    EXPECT_EQ(Remove(DeleteLine("A") + DeleteLine("C")), 0u);
    EXPECT_EQ(Stored(), Bytes(u"B\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, OddByteCountIgnoresTheDanglingByte)
{
    std::vector<uint8_t> stored = Bytes(u"A\0B\0\0"s);
    stored.push_back('X');
    SetList(stored);
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    // 11 - 4 bytes, zero-filled: "B", its NUL, the closing NUL and one byte.
    EXPECT_EQ(Stored(), std::vector<uint8_t>({'B', 0, 0, 0, 0, 0, 0}));

    stored = Bytes(u"A\0"s);
    stored.push_back('B');
    SetList(stored);
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_EQ(size_, 1u);
    EXPECT_EQ(list_[0], 0);
}

TEST_F(RemoveDelRegStringsTest, CountsBelowOneUnitHoldNoEntries)
{
    for (DWORD count : {0u, 1u}) {
        SetList(Bytes(u"A\0\0"s));
        size_ = count;
        WCHAR *before = list_;
        EXPECT_EQ(Remove(DeleteLine("A")), 0u);
        EXPECT_EQ(list_, before);
        EXPECT_EQ(size_, count);
    }
}

TEST_F(RemoveDelRegStringsTest, NullListHasNoEntries)
{
    EXPECT_EQ(Remove(DeleteLine("A")), 0u);
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(size_, 0u);
}

// ---------------------------------------------------------------------------
// ReadDelRegSectionName
// ---------------------------------------------------------------------------

class DelRegSectionNameTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        winsim::SetCurrent(harness::Gen5(0));
        blocksBefore_ = winsim::LiveLocalBlocks();
    }
    void TearDown() override
    {
        if (name_ != nullptr)
            LocalFree(name_);
        EXPECT_EQ(winsim::LiveLocalBlocks(), blocksBefore_);
    }

    harness::Scratch scratch_;
    size_t blocksBefore_ = 0;
    WCHAR *name_ = nullptr;
};

TEST_F(DelRegSectionNameTest, MissingInfFailsWithoutABlock)
{
    EXPECT_EQ(ReadDelRegSectionName(u"absent.inf", &name_), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(name_, nullptr);
}

TEST_F(DelRegSectionNameTest, NoDelRegLineFailsWithTheLineQueryCode)
{
    scratch_.WriteFile("x.inf", "[Version]\nSignature=\"$WINDOWS NT$\"\n[DefaultUninstall]\nDelFiles=Files\n");
    EXPECT_EQ(ReadDelRegSectionName(u"x.inf", &name_), static_cast<DWORD>(ERROR_LINE_NOT_FOUND));
    EXPECT_EQ(name_, nullptr);
}

TEST_F(DelRegSectionNameTest, ReadsTheLineTextIntoABlockOfItsSize)
{
    scratch_.WriteFile("x.inf", DelRegInf(""));
    EXPECT_EQ(ReadDelRegSectionName(u"x.inf", &name_), 0u);
    ASSERT_NE(name_, nullptr);
    EXPECT_EQ(std::u16string(name_), u"Remove");
    EXPECT_TRUE(winsim::TraceHas("LocalAlloc", "flags=0x0 size=14"));
    EXPECT_EQ(winsim::TraceCount("SetupCloseInfFile"), 1u);
}

TEST_F(DelRegSectionNameTest, FailedAllocationSetsTheNameToNull)
{
    scratch_.WriteFile("x.inf", DelRegInf(""));
    winsim::Current().faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(ReadDelRegSectionName(u"x.inf", &name_), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(name_, nullptr);
}

TEST_F(DelRegSectionNameTest, FailedTextReadLeavesTheBlockToTheCaller)
{
    scratch_.WriteFile("x.inf", DelRegInf(""));
    winsim::Current().faults.push_back(FaultOn("SetupGetLineTextW", ERROR_GEN_FAILURE, 2));
    EXPECT_EQ(ReadDelRegSectionName(u"x.inf", &name_), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_NE(name_, nullptr);   // freed by TearDown, as the caller does
}

// ---------------------------------------------------------------------------
// GetInfStringField
// ---------------------------------------------------------------------------

class InfStringFieldTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        winsim::SetCurrent(harness::Gen5(0));
        blocksBefore_ = winsim::LiveLocalBlocks();
        scratch_.WriteFile("x.inf", DelRegInf(DeleteLine("QUORVEX LUMENSTRIDE     ")));
        inf_ = SetupOpenInfFileW(u"x.inf", nullptr, INF_STYLE_WIN4, nullptr);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetupGetLineByIndexW(inf_, u"Remove", 0, &context_));
    }
    void TearDown() override
    {
        SetupCloseInfFile(inf_);
        EXPECT_EQ(winsim::LiveLocalBlocks(), blocksBefore_);
    }

    harness::Scratch scratch_;
    size_t blocksBefore_ = 0;
    HINF inf_ = INVALID_HANDLE_VALUE;
    INFCONTEXT context_ = {};
};

TEST_F(InfStringFieldTest, NullCountIsRejected)
{
    WCHAR *text = nullptr;
    EXPECT_EQ(GetInfStringField(&context_, 5, nullptr, &text), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(text, nullptr);
}

TEST_F(InfStringFieldTest, CountZeroAllocatesTheField)
{
    WCHAR *text = nullptr;
    DWORD count = 0;
    EXPECT_EQ(GetInfStringField(&context_, 5, &count, &text), 0u);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::u16string(text), u"QUORVEX LUMENSTRIDE     ");
    EXPECT_EQ(count, 25u);
    EXPECT_TRUE(winsim::TraceHas("LocalAlloc", "flags=0x0 size=50"));
    LocalFree(text);
}

TEST_F(InfStringFieldTest, CallersBlockIsFilledAndNeverFreed)
{
    WCHAR buffer[8] = {};
    WCHAR *text = buffer;
    DWORD count = 8;
    EXPECT_EQ(GetInfStringField(&context_, 1, &count, &text), 0u);
    EXPECT_EQ(std::u16string(buffer), u"HKLM");

    count = 8;   // too small for field 5
    EXPECT_EQ(GetInfStringField(&context_, 5, &count, &text), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(text, buffer);
    EXPECT_EQ(winsim::TraceCount("LocalAlloc"), 0u);
}

TEST_F(InfStringFieldTest, FailedSizeQueryAllocatesNothing)
{
    WCHAR *text = nullptr;
    DWORD count = 0;
    EXPECT_EQ(GetInfStringField(&context_, 6, &count, &text), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(text, nullptr);
}

TEST_F(InfStringFieldTest, FailedReadFreesTheBlockItAllocated)
{
    WCHAR *text = nullptr;
    DWORD count = 0;
    winsim::Current().faults.push_back(FaultOn("SetupGetStringFieldW", ERROR_GEN_FAILURE, 2));
    EXPECT_EQ(GetInfStringField(&context_, 5, &count, &text), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(text, nullptr);
}

TEST_F(InfStringFieldTest, FailedAllocationSetsTheTextToNull)
{
    WCHAR *text = nullptr;
    DWORD count = 0;
    winsim::Current().faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(GetInfStringField(&context_, 5, &count, &text), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(text, nullptr);
}

}  // namespace
