// Counted strings, the upper-case table and integer conversion.
#include "platform/nt/pool.h"
#include "platform/nt/rtl.h"
#include "strings.h"

#include <gtest/gtest.h>

#include <cstring>

using korin::test::Text;
using korin::test::Ustr;

namespace {

// A writable string over a fixed buffer pre-filled with 'x', so tests can see
// exactly which units a routine wrote.
struct Buffer {
    explicit Buffer(USHORT maxBytes) {
        for (auto& c : units) c = u'x';
        s = UNICODE_STRING{0, maxBytes, units};
    }
    WCHAR units[64];
    UNICODE_STRING s;
};

TEST(RtlInitUnicodeString, CountsUnitsWithoutTheNul) {
    UNICODE_STRING s = Ustr(u"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);
    UNICODE_STRING empty;
    RtlInitUnicodeString(&empty, nullptr);
    EXPECT_EQ(empty.Length, 0);
    EXPECT_EQ(empty.MaximumLength, 0);
    EXPECT_EQ(empty.Buffer, nullptr);
}

TEST(RtlCopyUnicodeString, CopiesWhatFitsInTheDestination) {
    UNICODE_STRING src = Ustr(u"abcdef");
    Buffer big(20);
    RtlCopyUnicodeString(&big.s, &src);
    EXPECT_EQ(Text(big.s), u"abcdef");
    EXPECT_EQ(big.units[6], 0) << "terminated when there is room";

    Buffer small(6);
    RtlCopyUnicodeString(&small.s, &src);
    EXPECT_EQ(Text(small.s), u"abc");
    EXPECT_EQ(small.units[3], u'x') << "nothing written beyond MaximumLength";

    RtlCopyUnicodeString(&big.s, nullptr);
    EXPECT_EQ(big.s.Length, 0);
}

TEST(RtlAppend, AppendsWhenItFits) {
    Buffer b(20);
    UNICODE_STRING abc = Ustr(u"abc");
    ASSERT_EQ(RtlAppendUnicodeStringToString(&b.s, &abc), STATUS_SUCCESS);
    ASSERT_EQ(RtlAppendUnicodeToString(&b.s, u"de"), STATUS_SUCCESS);
    EXPECT_EQ(Text(b.s), u"abcde");
    ASSERT_EQ(RtlAppendUnicodeToString(&b.s, u"fghij"), STATUS_SUCCESS);
    EXPECT_EQ(Text(b.s), u"abcdefghij") << "exactly MaximumLength";
}

TEST(RtlAppend, OverflowChangesNothing) {
    Buffer b(10);
    ASSERT_EQ(RtlAppendUnicodeToString(&b.s, u"abcd"), STATUS_SUCCESS);
    WCHAR before[64];
    std::memcpy(before, b.units, sizeof before);

    UNICODE_STRING two = Ustr(u"yz");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&b.s, &two), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlAppendUnicodeToString(&b.s, u"yz"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(b.s), u"abcd");
    EXPECT_EQ(std::memcmp(before, b.units, sizeof before), 0);
}

struct CompareCase {
    const char16_t* a;
    const char16_t* b;
    BOOLEAN caseInsensitive;
    LONG expected;  // exact value: difference of the first differing units, or of the byte lengths
};

TEST(RtlCompareUnicodeString, Table) {
    const CompareCase cases[] = {
        {u"abc", u"abc", FALSE, 0},
        {u"abc", u"ABC", FALSE, u'a' - u'A'},
        {u"abc", u"ABC", TRUE, 0},
        {u"abc", u"abd", TRUE, u'C' - u'D'},
        {u"ABD", u"abc", TRUE, u'D' - u'C'},
        {u"abc", u"ab", FALSE, 2},
        {u"ab", u"abc", TRUE, -2},
        {u"", u"", TRUE, 0},
        {u"", u"a", FALSE, -2},
        {u"\u00C4BC", u"\u00E4bc", TRUE, 0},       // Ä / ä
        {u"\u00C4BC", u"\u00E4bc", FALSE, 0xC4 - 0xE4},
        {u"\u03A3\u039F\u03A3", u"\u03C3\u03BF\u03C2", TRUE, 0},  // ΣΟΣ / σος (final sigma)
        {u"\u0416", u"\u0436", TRUE, 0},           // Ж / ж
        {u"\uFF21", u"\uFF41", TRUE, 0},           // fullwidth A / a
        {u"STRASSE", u"stra\u00DFe", TRUE, u'S' - 0xDF},  // ß has no 1:1 upper case
        {u"a[", u"A{", TRUE, u'[' - u'{'},          // only letters fold
    };
    for (const auto& c : cases) {
        UNICODE_STRING a = Ustr(c.a), b = Ustr(c.b);
        EXPECT_EQ(RtlCompareUnicodeString(&a, &b, c.caseInsensitive), c.expected)
            << "case " << (&c - cases);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.expected == 0) << "case " << (&c - cases);
    }
}

TEST(RtlPrefixUnicodeString, Table) {
    struct {
        const char16_t* prefix;
        const char16_t* string;
        BOOLEAN caseInsensitive;
        BOOLEAN expected;
    } const cases[] = {
        {u"", u"abc", FALSE, TRUE},     {u"ab", u"abc", FALSE, TRUE},  {u"AB", u"abc", FALSE, FALSE},
        {u"AB", u"abc", TRUE, TRUE},    {u"abc", u"abc", FALSE, TRUE}, {u"abcd", u"abc", TRUE, FALSE},
        {u"\u00C4", u"\u00E4x", TRUE, TRUE},
    };
    for (const auto& c : cases) {
        UNICODE_STRING p = Ustr(c.prefix), s = Ustr(c.string);
        EXPECT_EQ(RtlPrefixUnicodeString(&p, &s, c.caseInsensitive), c.expected) << "case " << (&c - cases);
    }
}

TEST(RtlUpcaseUnicodeChar, SimpleMappingsAcrossTheBmp) {
    const struct {
        WCHAR c, upper;
    } cases[] = {
        {u'a', u'A'},       {u'z', u'Z'},       {u'A', u'A'},       {u'1', u'1'},       {u'_', u'_'},
        {0x00E4, 0x00C4},   {0x00FF, 0x0178},   {0x00B5, 0x039C},   {0x0131, u'I'},     {0x017F, u'S'},
        {0x00DF, 0x00DF},   {0x03C2, 0x03A3},   {0x0450, 0x0400},   {0x1F80, 0x1F88},   {0x1F88, 0x1F88},
        {0x1FB3, 0x1FBC},   {0xFB00, 0xFB00},   {0xFF41, 0xFF21},   {0x01C6, 0x01C4},   {0x01C5, 0x01C4},
        {0x2170, 0x2160},   {0x24D0, 0x24B6},   {0x10D0, 0x1C90},   {0xD800, 0xD800},   {0x0000, 0x0000},
    };
    for (const auto& c : cases) EXPECT_EQ(RtlUpcaseUnicodeChar(c.c), c.upper) << std::hex << static_cast<int>(c.c);
    EXPECT_EQ(korin::rtl::UpcaseTable()[0x00E4], 0x00C4);
}

TEST(RtlUpcaseUnicodeString, AllocatesWithItsTagAndFrees) {
    UNICODE_STRING src = Ustr(u"abc\u00E4");
    size_t before = korin::pool::LiveBlocks("Ustr");
    UNICODE_STRING dst{};
    ASSERT_EQ(RtlUpcaseUnicodeString(&dst, &src, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(dst), u"ABC\u00C4");
    EXPECT_EQ(dst.MaximumLength, src.Length);
    EXPECT_EQ(korin::pool::LiveBlocks("Ustr"), before + 1);
    RtlFreeUnicodeString(&dst);
    EXPECT_EQ(dst.Buffer, nullptr);
    EXPECT_EQ(dst.Length, 0);
    EXPECT_EQ(korin::pool::LiveBlocks("Ustr"), before);
}

TEST(RtlUpcaseUnicodeString, ReportsPoolExhaustion) {
    UNICODE_STRING src = Ustr(u"abc");
    UNICODE_STRING dst{};
    korin::pool::FailNthAllocation("Ustr", 1);
    EXPECT_EQ(RtlUpcaseUnicodeString(&dst, &src, TRUE), STATUS_NO_MEMORY);
    EXPECT_EQ(dst.Buffer, nullptr);
}

TEST(RtlUpcaseUnicodeString, IntoCallersBuffer) {
    UNICODE_STRING src = Ustr(u"abc");
    Buffer fits(6);
    ASSERT_EQ(RtlUpcaseUnicodeString(&fits.s, &src, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(fits.s), u"ABC");

    Buffer tooSmall(4);
    EXPECT_EQ(RtlUpcaseUnicodeString(&tooSmall.s, &src, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(tooSmall.s.Length, 0);
    EXPECT_EQ(tooSmall.units[0], u'x');

    // In place.
    WCHAR text[] = u"mixed Case";
    UNICODE_STRING s = Ustr(text);
    ASSERT_EQ(RtlUpcaseUnicodeString(&s, &s, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"MIXED CASE");
}

TEST(RtlIntegerToUnicodeString, Bases) {
    const struct {
        ULONG value, base;
        const char16_t* text;
    } cases[] = {
        {0, 10, u"0"},          {7, 0, u"7"},         {1234567890, 10, u"1234567890"}, {4294967295u, 10, u"4294967295"},
        {5, 2, u"101"},         {0, 2, u"0"},          {8, 8, u"10"},                   {0755, 8, u"755"},
        {255, 16, u"FF"},       {0xDEADBEEF, 16, u"DEADBEEF"},                            {4294967295u, 2, u"11111111111111111111111111111111"},
    };
    for (const auto& c : cases) {
        Buffer b(sizeof(Buffer::units));
        ASSERT_EQ(RtlIntegerToUnicodeString(c.value, c.base, &b.s), STATUS_SUCCESS) << c.value;
        EXPECT_EQ(Text(b.s), c.text);
        EXPECT_EQ(b.units[b.s.Length / 2], 0) << "NUL written when there is room";
    }
}

TEST(RtlIntegerToUnicodeString, ExactFitOverflowAndBadBase) {
    Buffer exact(6);
    ASSERT_EQ(RtlIntegerToUnicodeString(123, 10, &exact.s), STATUS_SUCCESS);
    EXPECT_EQ(Text(exact.s), u"123");
    EXPECT_EQ(exact.units[3], u'x') << "no room for the NUL: none written";

    Buffer small(4);
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &small.s), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(small.s.Length, 0);
    EXPECT_EQ(small.units[0], u'x');

    Buffer b(20);
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 3, &b.s), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 36, &b.s), STATUS_INVALID_PARAMETER);
}

}  // namespace
