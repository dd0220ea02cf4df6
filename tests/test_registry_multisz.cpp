// The two known multi-string values, read and written whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/registry.h"
#include "support/machine_test.h"

namespace {

using namespace std::string_literals;
using harness::FaultOn;
using harness::Utf16Bytes;

const std::string kMpdevKey = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";
const std::string kListName = "MPIOSupportedDeviceList";
const std::string kScsiClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}";

using Bytes = std::vector<uint8_t>;

WCHAR *const kUntouched = reinterpret_cast<WCHAR *>(static_cast<uintptr_t>(0x5a5a));

// The entries of a read buffer of 'size' bytes, as the program's readers
// walk it.
std::vector<std::u16string> Walk(WCHAR *buffer, DWORD size)
{
    std::vector<std::u16string> strings;
    MULTISZ_VIEW view;
    MULTISZ_ENTRY entry;
    MultiSzViewInit(&view, buffer, size);
    for (BOOL more = MultiSzViewFirst(&view, &entry); more; more = MultiSzViewNext(&view, &entry))
        strings.emplace_back(entry.text, entry.length);
    return strings;
}

class MultiSzTest : public harness::MachineTest {
protected:
    void SetUp() override { machine_ = harness::Gen6(); }

    DWORD Read(MultiSzKind kind, WCHAR **buffer, DWORD *size)
    {
        return OnMachine([&] { return ReadMultiSzValue(kind, buffer, size); });
    }
    DWORD Write(MultiSzKind kind, const WCHAR *data, DWORD size)
    {
        return OnMachine([&] { return WriteMultiSzValue(kind, data, size); });
    }

    // Reads 'kind' and checks the result, the bytes as stored and that the
    // key was closed; the block is freed here.
    void CheckRead(int line, MultiSzKind kind, DWORD expected, const Bytes &stored)
    {
        SCOPED_TRACE(testing::Message() << "from line " << line);
        WCHAR *buffer = kUntouched;
        DWORD size = 0x5a5a;
        size_t blocks = 0;
        EXPECT_EQ(OnMachine([&] {
                      blocks = winsim::LiveLocalBlocks();
                      return ReadMultiSzValue(kind, &buffer, &size);
                  }),
                  expected);
        ASSERT_NE(buffer, kUntouched);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(size, stored.size());
        EXPECT_EQ(Bytes(reinterpret_cast<uint8_t *>(buffer), reinterpret_cast<uint8_t *>(buffer) + size), stored);
        EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
        LocalFree(buffer);
        EXPECT_EQ(winsim::LiveLocalBlocks(), blocks);
    }
};
#define CHECK_READ(...) CheckRead(__LINE__, __VA_ARGS__)

class ReadMultiSzValueTest : public MultiSzTest {};
class WriteMultiSzValueTest : public MultiSzTest {};

// ---------------------------------------------------------------------------
// ReadMultiSzValue
// ---------------------------------------------------------------------------

// A read that fails hands back no block and leaves the size alone.
TEST_F(ReadMultiSzValueTest, FailedReads)
{
    struct Case {
        const char *name;
        void (*setUp)(winsim::Machine &);
        MultiSzKind kind;
        DWORD code;
        WCHAR *bufferBefore;
        WCHAR *bufferAfter;
        bool opens;        // the key was opened
        size_t closes;     // and closed this often
    };
    const auto none = [](winsim::Machine &) {};
    const auto keyOnly = [](winsim::Machine &machine) { winsim::FindKey(machine, winsim::Widen(kMpdevKey), true); };
    const auto denied = [](winsim::Machine &machine) {
        harness::SetMultiSz(machine, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     "});
        winsim::FindKey(machine, winsim::Widen(kMpdevKey))->denyAccess = true;
    };
    const auto noMemory = [](winsim::Machine &machine) {
        harness::SetMultiSz(machine, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     "});
        machine.faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
    };
    const Case cases[] = {
        {"UnknownKindTouchesNothing (0)", none, 0, ERROR_INVALID_PARAMETER, kUntouched, kUntouched, false, 0},
        {"UnknownKindTouchesNothing (3)", none, 3, ERROR_INVALID_PARAMETER, kUntouched, kUntouched, false, 0},
        {"UnknownKindTouchesNothing (-1)", none, -1, ERROR_INVALID_PARAMETER, kUntouched, kUntouched, false, 0},
        {"AbsentListLeavesTheOutputsAlone (no key)", none, MULTISZ_SUPPORTED_DEVICES, ERROR_FILE_NOT_FOUND, nullptr,
         nullptr, true, 0},
        {"AbsentListLeavesTheOutputsAlone (no value)", keyOnly, MULTISZ_SUPPORTED_DEVICES, ERROR_FILE_NOT_FOUND,
         nullptr, nullptr, true, 1},
        {"DeniedKeyGivesItsCode", denied, MULTISZ_SUPPORTED_DEVICES, ERROR_ACCESS_DENIED, nullptr, nullptr, true, 0},
        {"AllocationFailing", noMemory, MULTISZ_SUPPORTED_DEVICES, ERROR_NOT_ENOUGH_MEMORY, kUntouched, nullptr, true,
         1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        machine_ = harness::Gen6();
        c.setUp(machine_);
        WCHAR *buffer = c.bufferBefore;
        DWORD size = 7;
        EXPECT_EQ(Read(c.kind, &buffer, &size), c.code);
        EXPECT_EQ(buffer, c.bufferAfter);
        EXPECT_EQ(size, 7u);
        EXPECT_EQ(winsim::TraceHas("RegOpenKeyExW"), c.opens);
        EXPECT_EQ(winsim::TraceCount("RegCloseKey"), c.closes);
        EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
    }
}

TEST_F(ReadMultiSzValueTest, DataQueryFailingHandsOverTheBlock)
{
    harness::SetMultiSz(machine_, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     "});
    machine_.faults.push_back(FaultOn("RegQueryValueExW", ERROR_GEN_FAILURE, "", 2));
    WCHAR *buffer = nullptr;
    DWORD size = 7;
    EXPECT_EQ(Read(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_GEN_FAILURE);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(size, (24u + 2u) * 2u);
    // Nothing was read, yet the block is a (empty) multi-string.
    EXPECT_TRUE(Walk(buffer, size).empty());
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
    LocalFree(buffer);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
}

TEST_F(ReadMultiSzValueTest, BothKnownValues)
{
    harness::SetMultiSz(machine_, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     ", "TESSELLAORBIT-2         "});
    harness::SetMultiSz(machine_, kScsiClassKey, "UpperFilters", {"mpio"});
    CHECK_READ(MULTISZ_SUPPORTED_DEVICES, ERROR_SUCCESS,
               Utf16Bytes(u"QUORVEX LUMENSTRIDE     \0TESSELLAORBIT-2         \0\0"s));
    EXPECT_TRUE(winsim::TraceHas("RegOpenKeyExW", "path=" + kMpdevKey + " access=0x20019"));
    EXPECT_TRUE(winsim::TraceHas("RegQueryValueExW", "name=MPIOSupportedDeviceList size=0"));

    CHECK_READ(MULTISZ_UPPER_FILTERS, ERROR_SUCCESS, Utf16Bytes(u"mpio\0\0"s));
    EXPECT_TRUE(winsim::TraceHas("RegOpenKeyExW", "path=" + kScsiClassKey + " access=0x20019"));
}

TEST_F(ReadMultiSzValueTest, OtherTypeIsReadByteForByte)
{
    harness::SetDword(machine_, kMpdevKey, kListName, 0x01020304);
    CHECK_READ(MULTISZ_SUPPORTED_DEVICES, ERROR_SUCCESS, Bytes({4, 3, 2, 1}));
}

TEST_F(ReadMultiSzValueTest, MalformedValuesAreSafeToWalk)
{
    struct Case {
        Bytes stored;
        std::vector<std::u16string> walked;
    };
    const Case cases[] = {
        {{}, {}},
        {{0x41, 0}, {u"A"}},                       // no terminators at all
        {{0x41, 0, 0x42, 0, 0, 0}, {u"AB"}},          // no closing NUL
        {{0x41, 0, 0, 0, 0x42, 0}, {u"A", u"B"}},     // last string unterminated
        {{0x41, 0, 0, 0, 0x42}, {u"A"}},              // odd size: half a unit is no entry
        {{0x41}, {}},                              // one byte
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "stored size " << c.stored.size());
        harness::SetRaw(machine_, kMpdevKey, kListName, REG_MULTI_SZ, c.stored);
        WCHAR *buffer = nullptr;
        DWORD size = 0;
        ASSERT_EQ(Read(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(size, c.stored.size());
        // Exactly the stored bytes: the walk is bounded by the size.
        EXPECT_TRUE(winsim::TraceHas("LocalAlloc", "flags=0x0 size=" + std::to_string(c.stored.size())));
        EXPECT_EQ(Walk(buffer, size), c.walked);
        LocalFree(buffer);
    }
}

// ---------------------------------------------------------------------------
// WriteMultiSzValue
// ---------------------------------------------------------------------------

TEST_F(WriteMultiSzValueTest, UnknownKindTouchesNothing)
{
    const WCHAR data[] = u"x\0";
    Enter();
    EXPECT_EQ(WriteMultiSzValue(0, data, 6), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WriteMultiSzValue(3, data, 6), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(winsim::TraceHas("RegOpenKeyExW"));
    EXPECT_FALSE(winsim::TraceHas("RegSetValueExW"));
}

TEST_F(WriteMultiSzValueTest, MissingKeyIsNotMade)
{
    const WCHAR data[] = u"QUORVEX LUMENSTRIDE     \0";
    EXPECT_EQ(Write(MULTISZ_SUPPORTED_DEVICES, data, sizeof(data)), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(winsim::FindKey(machine_, winsim::Widen(kMpdevKey)), nullptr);
    EXPECT_FALSE(winsim::TraceHas("RegCreateKeyExW"));
}

TEST_F(WriteMultiSzValueTest, RefusedWriteClosesTheKey)
{
    harness::SetMultiSz(machine_, kMpdevKey, kListName, {"OLD"});
    machine_.faults.push_back(FaultOn("RegSetValueExW", ERROR_ACCESS_DENIED));
    const WCHAR data[] = u"NEW\0";
    EXPECT_EQ(Write(MULTISZ_SUPPORTED_DEVICES, data, sizeof(data)), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(harness::GetMultiSz(machine_, kMpdevKey, kListName), std::vector<std::string>{"OLD"});
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST_F(WriteMultiSzValueTest, StoresExactlyTheBytesGiven)
{
    harness::SetRaw(machine_, kMpdevKey, kListName, REG_SZ, Utf16Bytes(u"old text"));
    harness::SetMultiSz(machine_, kScsiClassKey, "UpperFilters", {"mpio", "other"});

    const WCHAR list[] = u"QUORVEX LUMENSTRIDE     \0";
    EXPECT_EQ(Write(MULTISZ_SUPPORTED_DEVICES, list, sizeof(list)), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(winsim::TraceHas("RegOpenKeyExW", "path=" + kMpdevKey + " access=0x2"));
    const winsim::RegValue *value = harness::GetRaw(machine_, kMpdevKey, kListName);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, (uint32_t)REG_MULTI_SZ);
    EXPECT_EQ(value->data, Utf16Bytes(u"QUORVEX LUMENSTRIDE     \0\0"s));
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);

    // The size is passed on unchanged, even one byte.
    EXPECT_EQ(Write(MULTISZ_UPPER_FILTERS, u"other\0", 1), (DWORD)ERROR_SUCCESS);
    value = harness::GetRaw(machine_, kScsiClassKey, "UpperFilters");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->data, Bytes({'o'}));
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

}  // namespace
