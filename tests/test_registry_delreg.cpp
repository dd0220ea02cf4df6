// DelReg string removal: the section name, the field reader and the removal
// of delete-string entries from a list in memory, well-formed or not; and
// the closing of that list before it is stored back (CloseMultiSzList, whose
// cases use the removal's list blocks).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "support/machine_test.h"

namespace {

using namespace std::string_literals;
using harness::FaultOn;
using harness::Utf16Bytes;

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

// On a generation 5.0 machine; every block the program allocated must be
// freed by the end of the test.
class DelRegTest : public harness::MachineTest {
protected:
    void SetUp() override
    {
        machine_ = harness::Gen5(0);
        Enter();
        blocksBefore_ = winsim::LiveLocalBlocks();
    }
    void TearDown() override { EXPECT_EQ(winsim::LiveLocalBlocks(), blocksBefore_) << "a block was left behind"; }

    size_t blocksBefore_ = 0;
};

class RemoveDelRegStringsTest : public DelRegTest {
protected:
    void TearDown() override
    {
        if (list_ != nullptr)
            LocalFree(list_);
        DelRegTest::TearDown();
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
        if (!stored.empty())  // an empty vector's data() may be null
            std::memcpy(list_, stored.data(), stored.size());
        std::memcpy(reinterpret_cast<uint8_t *>(list_) + stored.size(), trailer, sizeof trailer);
        size_ = static_cast<DWORD>(stored.size());
    }
    void SetList(const std::u16string &units) { SetList(Utf16Bytes(units)); }

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

    WCHAR *list_ = nullptr;
    DWORD size_ = 0;
};

// ---------------------------------------------------------------------------
// The removals: a stored list, the DelReg lines, the list handed back.  The
// malformed lists (stored without their last NULs, with an odd byte count)
// show that the count never wraps, the new block holds what is copied and a
// closing NUL, and the result is a closed list.
// ---------------------------------------------------------------------------

enum class Block { kAny, kSame, kNew };

struct Removal {
    const char *name;
    std::u16string units;            // the stored list: these UTF-16 units,
    std::string tail;                // then these bytes (an odd byte count)
    std::string lines;               // the DelReg lines
    std::vector<uint8_t> expected;   // the list handed back, exactly its byte count
    Block block = Block::kAny;       // whether the block handed back is the one handed in
};

TEST_F(RemoveDelRegStringsTest, Removals)
{
    // A list emptied in its own block: one NUL unit, never an odd count.
    const std::vector<uint8_t> emptyList = {0, 0};
    const Removal removals[] = {
        {"PresentThenAbsentStringShrinksByOneEntry", u"QUORVEX LUMENSTRIDE     \0TESSELLAORBIT-2         \0\0"s, "",
         DeleteLine("QUORVEX LUMENSTRIDE     ") + DeleteLine("NOTTHERE"),
         Utf16Bytes(u"TESSELLAORBIT-2         \0\0"s)},
        {"RemovesOnlyTheFirstOccurrenceWhateverItsCase", u"Keep\0mpfilt\0Other\0MPFILT\0\0"s, "",
         DeleteLine("MpFilt"), Utf16Bytes(u"Keep\0Other\0MPFILT\0\0"s)},
        {"LinesApplyOneAfterAnother", u"A\0B\0C\0\0"s, "", DeleteLine("C") + DeleteLine("A"), Utf16Bytes(u"B\0\0"s)},
        {"OnlyEntryLeavesANewTwoByteList", u"A\0\0"s, "", DeleteLine("A"), Utf16Bytes(u"\0"s), Block::kNew},
        {"NulsBehindTheListKeepTheLongerCountZeroFilled", u"A\0B\0\0\0\0"s, "", DeleteLine("A"),
         Utf16Bytes(u"B\0\0\0\0"s)},
        {"PassesOverLinesThatDoNotQualify", u"A\0\0"s, "",
         std::string("HKLM,") + kMpdevKey + ",MPIOSupportedDeviceList,0x00018002\n" +            // four fields
             "HKLM," + kMpdevKey + ",MPIOSupportedDeviceList,0x00018002,A,extra\n" +              // six fields
             "HKLM," + kMpdevKey + ",MPIOSupportedDeviceList,0x00000002,A\n" +                    // other flags
             "HKLM," + kMpdevKey + ",MPIOSupportedDeviceList,flags,A\n" +                         // flags not a number
             "HKCU," + kMpdevKey + ",MPIOSupportedDeviceList,0x00018002,A\n" +                    // other root
             "HKLM," + kFilterKey + ",MPIOSupportedDeviceList,0x00018002,A\n" +                   // other kind's key
             "HKLM," + kMpdevKey + ",UpperFilters,0x00018002,A\n",                                 // other kind's value
         Utf16Bytes(u"A\0\0"s)},
        {"LowerCaseRootKeyAndValueQualify", u"A\0B\0\0"s, "",
         "hklm,system\\currentcontrolset\\control\\mpdev,mpiosupporteddevicelist,0x18002,a\n", Utf16Bytes(u"B\0\0"s)},
        {"OnlyEntryWithoutClosingNulLeavesOneNulUnitInPlace", u"A\0"s, "", DeleteLine("A"), emptyList, Block::kSame},
        // 2 - 2*1 - 2 is negative: taken as the empty list, not as ~4 GiB.
        {"OnlyEntryWithoutAnyNulDoesNotWrapTheCount", u"A"s, "", DeleteLine("A"), emptyList, Block::kSame},
        // Setting the first byte alone would leave U+0100 behind as 0x0100.
        {"NonLatinOnlyEntryIsClearedWhole", u"\u0141"s, "",
         "HKLM,SYSTEM\\CurrentControlSet\\Control\\MPDEV,MPIOSupportedDeviceList,0x18002,\"\u0141\"\n", emptyList},
        // Three bytes: the entry's unit is the whole room there is.
        {"OnlyEntryAndADanglingByteLeaveOneNulUnitInPlace", u"A"s, "X", DeleteLine("A"), emptyList, Block::kSame},
        {"MissingClosingNulIsAddedToTheNewList", u"A\0B\0"s, "", DeleteLine("A"), Utf16Bytes(u"B\0\0"s)},
        {"MissingClosingNulIsAddedToTheNewList (last)", u"A\0B\0"s, "", DeleteLine("B"), Utf16Bytes(u"A\0\0"s)},
        // The new count is 2: the old walk copied "C" and two NULs into it.
        {"LastStringWithoutNulIsClosedInTheNewList", u"AB\0C"s, "", DeleteLine("AB"), Utf16Bytes(u"C\0\0"s)},
        {"RemovingTheUnterminatedLastString", u"AB\0C"s, "", DeleteLine("C"), Utf16Bytes(u"AB\0\0"s)},
        {"SecondLineWorksOnTheClosedList", u"A\0B\0C"s, "", DeleteLine("A") + DeleteLine("C"), Utf16Bytes(u"B\0\0"s)},
        // 11 - 4 bytes, zero-filled: "B", its NUL, the closing NUL and one byte.
        {"OddByteCountIgnoresTheDanglingByte", u"A\0B\0\0"s, "X", DeleteLine("A"), {'B', 0, 0, 0, 0, 0, 0}},
        {"OddByteCountIgnoresTheDanglingByte (only entry)", u"A\0"s, "B", DeleteLine("A"), emptyList},
    };
    for (const Removal &removal : removals) {
        SCOPED_TRACE(removal.name);
        std::vector<uint8_t> stored = Utf16Bytes(removal.units);
        stored.insert(stored.end(), removal.tail.begin(), removal.tail.end());
        SetList(stored);
        WCHAR *before = list_;
        EXPECT_EQ(Remove(removal.lines), 0u);
        EXPECT_EQ(Stored(), removal.expected);
        if (removal.block != Block::kAny) {
            EXPECT_EQ(list_ == before, removal.block == Block::kSame);
        }
    }
}

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
    EXPECT_EQ(Stored(), Utf16Bytes(u"A\0B\0\0"s));
    // The INF is closed on these early paths too.
    EXPECT_EQ(winsim::TraceCount("SetupCloseInfFile"), 2u);
}

TEST_F(RemoveDelRegStringsTest, KindSelectsWhichLinesApply)
{
    SetList(u"mpfilt\0A\0\0"s);
    const std::string filterLine = std::string("HKLM,") + kFilterKey + ",UpperFilters,0x00018002,mpfilt\n";
    EXPECT_EQ(Remove(filterLine + DeleteLine("A"), MULTISZ_UPPER_FILTERS), 0u);
    EXPECT_EQ(Stored(), Utf16Bytes(u"A\0\0"s));
    // No line qualifies for a kind outside the two known values.
    EXPECT_EQ(Remove(filterLine + DeleteLine("A"), 3), 0u);
    EXPECT_EQ(Stored(), Utf16Bytes(u"A\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, FailedAllocationStopsWithEarlierRemovalsKept)
{
    SetList(u"A\0B\0C\0\0"s);
    // Each line allocates its four field texts, then the new list: the
    // tenth allocation is the second line's list.
    winsim::Current().faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY, "", 10));
    EXPECT_EQ(Remove(DeleteLine("A") + DeleteLine("B") + DeleteLine("C")),
              static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(Stored(), Utf16Bytes(u"B\0C\0\0"s));
}

TEST_F(RemoveDelRegStringsTest, TextBehindTheByteCountIsNotPartOfTheList)
{
    // The block holds "CZZ" but only "C" is inside the count.
    SetList(u"AB\0C"s);
    EXPECT_EQ(Remove(DeleteLine("CZZ")), 0u);
    EXPECT_EQ(Stored(), Utf16Bytes(u"AB\0C"s));
    // After the first line the list is closed, so the second one leaves
    // the two-byte empty list.
    EXPECT_EQ(Remove(DeleteLine("C") + DeleteLine("AB")), 0u);
    EXPECT_EQ(Stored(), Utf16Bytes(u"\0"s));
}

TEST_F(RemoveDelRegStringsTest, CountsBelowOneUnitHoldNoEntries)
{
    for (DWORD count : {0u, 1u}) {
        SetList(u"A\0\0"s);
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
// CloseMultiSzList: the list made fit to store back, whatever was removed.
// ---------------------------------------------------------------------------

TEST_F(RemoveDelRegStringsTest, ClosingAListKeepsItsEntries)
{
    struct Closing {
        const char *name;
        std::vector<uint8_t> stored;
        std::vector<uint8_t> expected;
        Block block;
    };
    const Closing closings[] = {
        {"ClosedListStaysAsItIs", Utf16Bytes(u"A\0B\0\0"s), Utf16Bytes(u"A\0B\0\0"s), Block::kSame},
        {"NulsBehindTheClosingNulStay", Utf16Bytes(u"A\0\0\0\0"s), Utf16Bytes(u"A\0\0\0\0"s), Block::kSame},
        {"EmptyListStaysAsItIs", Utf16Bytes(u"\0"s), Utf16Bytes(u"\0"s), Block::kSame},
        {"MissingClosingNulIsAdded", Utf16Bytes(u"A\0B\0"s), Utf16Bytes(u"A\0B\0\0"s), Block::kNew},
        // A REG_SZ value: one string and its NUL.
        {"SingleStringGetsItsClosingNul", Utf16Bytes(u"mpfilt\0"s), Utf16Bytes(u"mpfilt\0\0"s), Block::kNew},
        {"LastStringWithoutNulIsClosed", Utf16Bytes(u"A\0BC"s), Utf16Bytes(u"A\0BC\0\0"s), Block::kNew},
        {"DanglingByteIsDropped", {'A', 0, 0, 0, 0, 0, 'X'}, Utf16Bytes(u"A\0\0"s), Block::kNew},
        {"NoDataBecomesTheEmptyList", {}, Utf16Bytes(u"\0"s), Block::kNew},
        {"OneByteBecomesTheEmptyList", {0}, Utf16Bytes(u"\0"s), Block::kNew},
    };
    for (const Closing &closing : closings) {
        SCOPED_TRACE(closing.name);
        SetList(closing.stored);
        WCHAR *before = list_;
        EXPECT_EQ(CloseMultiSzList(&list_, &size_), 0u);
        EXPECT_EQ(Stored(), closing.expected);
        EXPECT_EQ(list_ == before, closing.block == Block::kSame);
    }
}

TEST_F(RemoveDelRegStringsTest, ClosingWithoutMemoryKeepsTheList)
{
    SetList(Utf16Bytes(u"A\0B"s));
    WCHAR *before = list_;
    winsim::Current().faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(CloseMultiSzList(&list_, &size_), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(list_, before);
    EXPECT_EQ(Stored(), Utf16Bytes(u"A\0B"s));
}

// ---------------------------------------------------------------------------
// ReadDelRegSectionName
// ---------------------------------------------------------------------------

class DelRegSectionNameTest : public DelRegTest {
protected:
    void TearDown() override
    {
        if (name_ != nullptr)
            LocalFree(name_);
        DelRegTest::TearDown();
    }

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
    winsim::Current().faults.push_back(FaultOn("SetupGetLineTextW", ERROR_GEN_FAILURE, "", 2));
    EXPECT_EQ(ReadDelRegSectionName(u"x.inf", &name_), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_NE(name_, nullptr);   // freed by TearDown, as the caller does
}

// ---------------------------------------------------------------------------
// GetInfStringField
// ---------------------------------------------------------------------------

class InfStringFieldTest : public DelRegTest {
protected:
    void SetUp() override
    {
        DelRegTest::SetUp();
        scratch_.WriteFile("x.inf", DelRegInf(DeleteLine("QUORVEX LUMENSTRIDE     ")));
        inf_ = SetupOpenInfFileW(u"x.inf", nullptr, INF_STYLE_WIN4, nullptr);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetupGetLineByIndexW(inf_, u"Remove", 0, &context_));
    }
    void TearDown() override
    {
        SetupCloseInfFile(inf_);
        DelRegTest::TearDown();
    }

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

// A read that fails leaves no text and no block behind.
TEST_F(InfStringFieldTest, FailedReadsLeaveNoText)
{
    struct Case {
        const char *name;
        DWORD field;
        std::vector<winsim::Fault> faults;
        DWORD code;
    };
    const Case cases[] = {
        {"FailedSizeQueryAllocatesNothing", 6, {}, ERROR_INVALID_PARAMETER},
        {"FailedReadFreesTheBlockItAllocated", 5, {FaultOn("SetupGetStringFieldW", ERROR_GEN_FAILURE, "", 2)},
         ERROR_GEN_FAILURE},
        {"FailedAllocationSetsTheTextToNull", 5, {FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)},
         ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        winsim::Current().faults = c.faults;
        WCHAR *text = nullptr;
        DWORD count = 0;
        EXPECT_EQ(GetInfStringField(&context_, c.field, &count, &text), c.code);
        EXPECT_EQ(text, nullptr);
    }
}

}  // namespace
