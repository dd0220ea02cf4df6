// The bounded text helpers and the program's own formatter: the log's bytes
// depend on both, so they are pinned here on their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

#include "common/common.h"

namespace {

// Formats into a buffer pre-filled with 'x' and checks result and text.
template <typename... Args>
void CheckFormat(int line, int expectedResult, const std::u16string &expected, size_t capacity,
                 const WCHAR *format, Args... args)
{
    SCOPED_TRACE(testing::Message() << "from line " << line);
    WCHAR buffer[64];
    std::fill(buffer, buffer + 64, u'x');
    ASSERT_LE(capacity, 64u);
    int result = TextFormat(buffer, capacity, format, args...);
    EXPECT_EQ(result, expectedResult);
    EXPECT_EQ(std::u16string(buffer), expected);
}
#define CHECK_FORMAT(...) CheckFormat(__LINE__, __VA_ARGS__)

TEST(TextFormat, RefusesWhatCannotBeWritten)
{
    WCHAR buffer[4] = {u'x', u'x', u'x', u'x'};
    // No room even for the terminator: nothing is touched.
    EXPECT_EQ(TextFormat(buffer, 0, u"a"), -1);
    EXPECT_EQ(buffer[0], u'x');
    EXPECT_EQ(TextFormat(nullptr, 4, u"a"), -1);
    // A null format gives the empty text.
    EXPECT_EQ(TextFormat(buffer, 4, nullptr), -1);
    EXPECT_EQ(buffer[0], 0);
}

TEST(TextFormat, TextAndTerminatorMustFit)
{
    CHECK_FORMAT(4, u"abcd", 5, u"abcd");
    CHECK_FORMAT(-1, u"", 4, u"abcd");
    CHECK_FORMAT(0, u"", 1, u"");
    // The limit applies to the formatted text, not to the format.
    CHECK_FORMAT(-1, u"", 5, u"%s", u"abcde");
    CHECK_FORMAT(-1, u"", 8, u"%08x", 1u);
    CHECK_FORMAT(8, u"00000001", 9, u"%08x", 1u);
}

TEST(TextFormat, UnknownConversionGivesEmptyText)
{
    CHECK_FORMAT(-1, u"", 64, u"value %q", 1);
    CHECK_FORMAT(-1, u"", 64, u"ends with %");
    CHECK_FORMAT(-1, u"", 64, u"%c", 'a');
}

TEST(TextFormat, Text)
{
    CHECK_FORMAT(8, u"[a%db\\c]", 64, u"[%s]", u"a%db\\c");
    CHECK_FORMAT(6, u"(null)", 64, u"%s", static_cast<const WCHAR *>(nullptr));
    CHECK_FORMAT(5, u"ab|cd", 64, u"%ls|%s", u"ab", u"cd");
    CHECK_FORMAT(5, u"   ab", 64, u"%5s", u"ab");
    CHECK_FORMAT(2, u"%%", 64, u"%%%%");
    CHECK_FORMAT(0, u"", 64, u"%s", u"");
}

TEST(TextFormat, SignedDecimal)
{
    CHECK_FORMAT(1, u"0", 64, u"%d", 0);
    CHECK_FORMAT(10, u"2147483647", 64, u"%d", INT_MAX);
    CHECK_FORMAT(11, u"-2147483648", 64, u"%d", INT_MIN);
    // Setup library codes print as negative numbers.
    CHECK_FORMAT(10, u"-536870389", 64, u"%d", static_cast<int>(0xE000020Bu));
    CHECK_FORMAT(2, u"05", 64, u"%02d", 5);
    CHECK_FORMAT(2, u"12", 64, u"%02d", 12);
    CHECK_FORMAT(3, u"123", 64, u"%02d", 123);
    CHECK_FORMAT(3, u"007", 64, u"%03d", 7);
    CHECK_FORMAT(5, u"-0042", 64, u"%05d", -42);
    CHECK_FORMAT(5, u"  -42", 64, u"%5d", -42);
    CHECK_FORMAT(5, u"-42  ", 64, u"%-5d", -42);
}

TEST(TextFormat, UnsignedAndHex)
{
    CHECK_FORMAT(10, u"4294967295", 64, u"%u", 0xFFFFFFFFu);
    CHECK_FORMAT(8, u"e000020b", 64, u"%08x", 0xE000020Bu);
    CHECK_FORMAT(8, u"E000020B", 64, u"%08X", 0xE000020Bu);
    CHECK_FORMAT(8, u"00000002", 64, u"%08x", 2u);
    CHECK_FORMAT(8, u"ffffffff", 64, u"%08x", static_cast<unsigned>(-1));
    CHECK_FORMAT(1, u"0", 64, u"%x", 0u);
    CHECK_FORMAT(3, u"bc2", 64, u"%x", 3010u);
}

// What may stand between '%' and the letter: the flags in any order and
// repeated, a width, and a size letter 'l' that changes nothing.
TEST(TextFormat, FlagsWidthAndSizeLetter)
{
    CHECK_FORMAT(5, u"-42  ", 64, u"%-05d", -42);   // left alignment pads with spaces
    CHECK_FORMAT(5, u"-42  ", 64, u"%0-5d", -42);
    CHECK_FORMAT(4, u"0007", 64, u"%0004d", 7);
    CHECK_FORMAT(5, u"   ab", 64, u"%05s", u"ab");  // text is never padded with zeros
    CHECK_FORMAT(5, u"ab   ", 64, u"%-5ls", u"ab");
    CHECK_FORMAT(3, u"-42", 64, u"%ld", -42);
    CHECK_FORMAT(4, u"00ff", 64, u"%04lx", 255u);
    CHECK_FORMAT(1, u"%", 64, u"%-5%");
    CHECK_FORMAT(-1, u"", 64, u"ends with %l");
    CHECK_FORMAT(-1, u"", 64, u"ends with %-0");
}

TEST(TextFormat, WidthIsAtMost1024)
{
    std::vector<WCHAR> buffer(1100, u'x');
    EXPECT_EQ(TextFormat(buffer.data(), buffer.size(), u"%1024d", 7), 1024);
    EXPECT_EQ(buffer[1022], u' ');
    EXPECT_EQ(buffer[1023], u'7');
    EXPECT_EQ(TextFormat(buffer.data(), buffer.size(), u"%1025d", 7), -1);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(TextFormat(buffer.data(), buffer.size(), u"%99999999999999999999999d", 7), -1);
}

TEST(TextFormat, TimeStampShape)
{
    CHECK_FORMAT(25, u"[03/07/2026 09:05:04.007]", 64, u"[%02d/%02d/%d %02d:%02d:%02d.%03d]", 3, 7, 2026, 9,
                 5, 4, 7);
}

// Exact, ASCII-case-blind, and ASCII-case-blind over a count of units.
TEST(TextCompare, Comparisons)
{
    enum Relation { kEqual, kDiffers, kLess, kGreater };
    struct Case {
        const char *group;
        const char16_t *a;
        const char16_t *b;
        int count;   // -1: the whole texts
        bool noCase;
        Relation relation;
    };
    const Case cases[] = {
        {"ExactComparison", u"-i", u"-i", -1, false, kEqual},
        {"ExactComparison", u"-i", u"-I", -1, false, kDiffers},
        {"ExactComparison", u"-i", u"-i ", -1, false, kLess},
        {"ExactComparison", u"b", u"a", -1, false, kGreater},
        // Units compare unsigned: a unit above U+7FFF sorts last.
        {"ExactComparison", u"\xFFFF", u"a", -1, false, kGreater},
        {"ExactComparison", u"", u"", -1, false, kEqual},
        {"IgnoresCaseOfAsciiLettersOnly", u"ROOT\\MPIO", u"root\\mpio", -1, true, kEqual},
        {"IgnoresCaseOfAsciiLettersOnly", u"Detected\\MPIO", u"DETECTED\\mpio", -1, true, kEqual},
        {"IgnoresCaseOfAsciiLettersOnly", u"\u00C4", u"\u00E4", -1, true, kDiffers},
        {"IgnoresCaseOfAsciiLettersOnly", u"ROOT\\MPIO", u"ROOT\\MPIO2", -1, true, kLess},
        // Letters fold to lower case, as the C runtime's does: '_' sorts
        // before 'A' once folded.
        {"IgnoresCaseOfAsciiLettersOnly", u"_", u"A", -1, true, kLess},
        {"IgnoresCaseOfAsciiLettersOnly", u"a", u"_", -1, true, kGreater},
        {"PrefixOfCountUnits", u"QUORVEX LUMENSTRIDE", u"quorvex lumen", 13, true, kEqual},
        {"PrefixOfCountUnits", u"QUORVEX LUMENSTRIDE", u"quorvex lumen", 14, true, kDiffers},
        {"PrefixOfCountUnits", u"abc", u"xyz", 0, true, kEqual},
        // Equal texts shorter than the count are equal.
        {"PrefixOfCountUnits", u"abc", u"ABC", 100, true, kEqual},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.group << ", row " << &c - cases);
        const int result = !c.noCase         ? TextCompare(c.a, c.b)
                           : c.count < 0     ? TextCompareNoCase(c.a, c.b)
                                             : TextCompareNoCaseN(c.a, c.b, static_cast<size_t>(c.count));
        switch (c.relation) {
        case kEqual: EXPECT_EQ(result, 0); break;
        case kDiffers: EXPECT_NE(result, 0); break;
        case kLess: EXPECT_LT(result, 0); break;
        case kGreater: EXPECT_GT(result, 0); break;
        }
    }
}

TEST(TextCopy, CutsAndTerminates)
{
    WCHAR buffer[8];
    std::fill(buffer, buffer + 8, u'x');
    TextCopy(buffer, 4, u"abcdef");
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'x');   // nothing past the capacity
    TextCopy(buffer, 8, nullptr);
    EXPECT_EQ(buffer[0], 0);
    TextCopy(buffer, 0, u"abc");   // no room: untouched
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(TextLength(u"abc"), 3u);
    EXPECT_EQ(TextLength(nullptr), 0u);
}

TEST(TextAppend, CutsAndTerminates)
{
    WCHAR buffer[8];
    std::fill(buffer, buffer + 8, u'x');
    TextCopy(buffer, 6, u"ab");
    TextAppend(buffer, 6, u"cdefgh");
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(buffer[6], u'x');
    // A full buffer stays as it is.
    TextAppend(buffer, 6, u"z");
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    // A buffer without a terminator is cut at its end, never read past it.
    std::fill(buffer, buffer + 8, u'x');
    TextAppend(buffer, 4, u"z");
    EXPECT_EQ(std::u16string(buffer), u"xxx");
    EXPECT_EQ(buffer[4], u'x');
}

}  // namespace
