// The bounded multi-string view: the entries it hands out for well-formed
// and malformed buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/common.h"

namespace {

using namespace std::string_literals;
using Bytes = std::vector<uint8_t>;

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
    TextCopyN(copy, 2, u"LONG", 4);   // cut at the capacity, still terminated
    EXPECT_EQ(std::u16string(copy), u"L");
}

}  // namespace
