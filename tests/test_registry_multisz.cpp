// The two known multi-string values, read and written whole.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "registry/registry.h"
#include "support/harness.h"

namespace {

const std::string kMpdevKey = "SYSTEM\\CurrentControlSet\\Control\\MPDEV";
const std::string kListName = "MPIOSupportedDeviceList";
const std::string kScsiClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E97B-E325-11CE-BFC1-08002BE10318}";

using Bytes = std::vector<uint8_t>;

void SetRaw(winsim::Machine &machine, const std::string &keyPath, const std::string &name, uint32_t type,
            const Bytes &bytes)
{
    winsim::RegKey *key = winsim::FindKey(machine, winsim::Widen(keyPath), true);
    key->values[winsim::Fold(winsim::Widen(name))] = {winsim::Widen(name), winsim::RegValue{type, bytes}};
}

const winsim::RegValue *GetRaw(const std::string &keyPath, const std::string &name)
{
    winsim::RegKey *key = winsim::FindKey(winsim::Current(), winsim::Widen(keyPath));
    if (!key)
        return nullptr;
    auto it = key->values.find(winsim::Fold(winsim::Widen(name)));
    return it == key->values.end() ? nullptr : &it->second.second;
}

Bytes Utf16Bytes(const std::u16string &text)
{
    Bytes bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

winsim::Fault FaultOn(const char *function, DWORD error, uint32_t call = 0)
{
    winsim::Fault fault;
    fault.function = function;
    fault.error = error;
    fault.onCall = call;
    return fault;
}

WCHAR *const kUntouched = reinterpret_cast<WCHAR *>(static_cast<uintptr_t>(0x5a5a));

// Reads 'kind' and checks the result, the bytes as stored and that the key
// was closed; the block is freed here.
void CheckRead(int line, MultiSzKind kind, DWORD expected, const Bytes &stored)
{
    SCOPED_TRACE(testing::Message() << "from line " << line);
    WCHAR *buffer = kUntouched;
    DWORD size = 0x5a5a;
    size_t blocks = winsim::LiveLocalBlocks();
    EXPECT_EQ(ReadMultiSzValue(kind, &buffer, &size), expected);
    ASSERT_NE(buffer, kUntouched);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(size, stored.size());
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t *>(buffer), reinterpret_cast<uint8_t *>(buffer) + size), stored);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
    LocalFree(buffer);
    EXPECT_EQ(winsim::LiveLocalBlocks(), blocks);
}
#define CHECK_READ(...) CheckRead(__LINE__, __VA_ARGS__)

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

TEST(ReadMultiSzValue, UnknownKindTouchesNothing)
{
    winsim::SetCurrent(harness::Gen6());
    for (MultiSzKind kind : {0, 3, -1}) {
        WCHAR *buffer = kUntouched;
        DWORD size = 7;
        EXPECT_EQ(ReadMultiSzValue(kind, &buffer, &size), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(buffer, kUntouched);
        EXPECT_EQ(size, 7u);
    }
    EXPECT_FALSE(winsim::TraceHas("RegOpenKeyExW"));
}

TEST(ReadMultiSzValue, AbsentListLeavesTheOutputsAlone)
{
    winsim::SetCurrent(harness::Gen6());
    WCHAR *buffer = nullptr;
    DWORD size = 7;
    // No key.
    EXPECT_EQ(ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 0u);
    // The key without the value.
    winsim::FindKey(winsim::Current(), winsim::Widen(kMpdevKey), true);
    EXPECT_EQ(ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
}

TEST(ReadMultiSzValue, DeniedKeyGivesItsCode)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetMultiSz(machine, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     "});
    winsim::FindKey(machine, winsim::Widen(kMpdevKey))->denyAccess = true;
    winsim::SetCurrent(machine);
    WCHAR *buffer = nullptr;
    DWORD size = 7;
    EXPECT_EQ(ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 7u);
}

TEST(ReadMultiSzValue, AllocationFailing)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetMultiSz(machine, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     "});
    machine.faults.push_back(FaultOn("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY));
    winsim::SetCurrent(machine);
    WCHAR *buffer = kUntouched;
    DWORD size = 7;
    EXPECT_EQ(ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST(ReadMultiSzValue, DataQueryFailingHandsOverTheBlock)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetMultiSz(machine, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     "});
    machine.faults.push_back(FaultOn("RegQueryValueExW", ERROR_GEN_FAILURE, 2));
    winsim::SetCurrent(machine);
    WCHAR *buffer = nullptr;
    DWORD size = 7;
    EXPECT_EQ(ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_GEN_FAILURE);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(size, (24u + 2u) * 2u);
    // Nothing was read, yet the block is a (empty) multi-string.
    EXPECT_TRUE(Walk(buffer, size).empty());
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
    LocalFree(buffer);
    EXPECT_EQ(winsim::LiveLocalBlocks(), 0u);
}

TEST(ReadMultiSzValue, BothKnownValues)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetMultiSz(machine, kMpdevKey, kListName, {"QUORVEX LUMENSTRIDE     ", "TESSELLAORBIT-2         "});
    harness::SetMultiSz(machine, kScsiClassKey, "UpperFilters", {"mpio"});
    winsim::SetCurrent(machine);
    CHECK_READ(MULTISZ_SUPPORTED_DEVICES, ERROR_SUCCESS,
               Utf16Bytes(std::u16string(u"QUORVEX LUMENSTRIDE     \0TESSELLAORBIT-2         \0\0", 51)));
    EXPECT_TRUE(winsim::TraceHas("RegOpenKeyExW", "path=" + kMpdevKey + " access=0x20019"));
    EXPECT_TRUE(winsim::TraceHas("RegQueryValueExW", "name=MPIOSupportedDeviceList size=0"));

    winsim::Current().trace.clear();
    CHECK_READ(MULTISZ_UPPER_FILTERS, ERROR_SUCCESS, Utf16Bytes(std::u16string(u"mpio\0\0", 6)));
    EXPECT_TRUE(winsim::TraceHas("RegOpenKeyExW", "path=" + kScsiClassKey + " access=0x20019"));
}

TEST(ReadMultiSzValue, OtherTypeIsReadByteForByte)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetDword(machine, kMpdevKey, kListName, 0x01020304);
    winsim::SetCurrent(machine);
    CHECK_READ(MULTISZ_SUPPORTED_DEVICES, ERROR_SUCCESS, Bytes({4, 3, 2, 1}));
}

TEST(ReadMultiSzValue, MalformedValuesAreSafeToWalk)
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
        winsim::Machine machine = harness::Gen6();
        SetRaw(machine, kMpdevKey, kListName, REG_MULTI_SZ, c.stored);
        winsim::SetCurrent(machine);
        WCHAR *buffer = nullptr;
        DWORD size = 0;
        ASSERT_EQ(ReadMultiSzValue(MULTISZ_SUPPORTED_DEVICES, &buffer, &size), (DWORD)ERROR_SUCCESS);
        EXPECT_EQ(size, c.stored.size());
        // Exactly the stored bytes: the walk is bounded by the size.
        EXPECT_TRUE(winsim::TraceHas("LocalAlloc", "flags=0x0 size=" + std::to_string(c.stored.size())));
        EXPECT_EQ(Walk(buffer, size), c.walked);
        LocalFree(buffer);
    }
}

TEST(WriteMultiSzValue, UnknownKindTouchesNothing)
{
    winsim::SetCurrent(harness::Gen6());
    const WCHAR data[] = u"x\0";
    EXPECT_EQ(WriteMultiSzValue(0, data, 6), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WriteMultiSzValue(3, data, 6), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(winsim::TraceHas("RegOpenKeyExW"));
    EXPECT_FALSE(winsim::TraceHas("RegSetValueExW"));
}

TEST(WriteMultiSzValue, MissingKeyIsNotMade)
{
    winsim::SetCurrent(harness::Gen6());
    const WCHAR data[] = u"QUORVEX LUMENSTRIDE     \0";
    EXPECT_EQ(WriteMultiSzValue(MULTISZ_SUPPORTED_DEVICES, data, sizeof(data)), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(winsim::FindKey(winsim::Current(), winsim::Widen(kMpdevKey)), nullptr);
    EXPECT_FALSE(winsim::TraceHas("RegCreateKeyExW"));
}

TEST(WriteMultiSzValue, RefusedWriteClosesTheKey)
{
    winsim::Machine machine = harness::Gen6();
    harness::SetMultiSz(machine, kMpdevKey, kListName, {"OLD"});
    machine.faults.push_back(FaultOn("RegSetValueExW", ERROR_ACCESS_DENIED));
    winsim::SetCurrent(machine);
    const WCHAR data[] = u"NEW\0";
    EXPECT_EQ(WriteMultiSzValue(MULTISZ_SUPPORTED_DEVICES, data, sizeof(data)), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(harness::GetMultiSz(winsim::Current(), kMpdevKey, kListName), std::vector<std::string>{"OLD"});
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 1u);
}

TEST(WriteMultiSzValue, StoresExactlyTheBytesGiven)
{
    winsim::Machine machine = harness::Gen6();
    SetRaw(machine, kMpdevKey, kListName, REG_SZ, Utf16Bytes(u"old text"));
    harness::SetMultiSz(machine, kScsiClassKey, "UpperFilters", {"mpio", "other"});
    winsim::SetCurrent(machine);

    const WCHAR list[] = u"QUORVEX LUMENSTRIDE     \0";
    EXPECT_EQ(WriteMultiSzValue(MULTISZ_SUPPORTED_DEVICES, list, sizeof(list)), (DWORD)ERROR_SUCCESS);
    EXPECT_TRUE(winsim::TraceHas("RegOpenKeyExW", "path=" + kMpdevKey + " access=0x2"));
    const winsim::RegValue *value = GetRaw(kMpdevKey, kListName);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->type, (uint32_t)REG_MULTI_SZ);
    EXPECT_EQ(value->data, Utf16Bytes(std::u16string(u"QUORVEX LUMENSTRIDE     \0\0", 26)));

    // The size is passed on unchanged, even one byte.
    EXPECT_EQ(WriteMultiSzValue(MULTISZ_UPPER_FILTERS, u"other\0", 1), (DWORD)ERROR_SUCCESS);
    value = GetRaw(kScsiClassKey, "UpperFilters");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->data, Bytes({'o'}));
    EXPECT_EQ(winsim::TraceCount("RegCloseKey"), 2u);
}

}  // namespace
