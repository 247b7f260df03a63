// UTF-8 <-> UTF-16: the strict conversions refuse malformed text, the
// escaped ones carry stray bytes as U+DC80..U+DCFF and refuse aliases.
#include "platform/nt/text.h"

#include <gtest/gtest.h>

namespace korin::text {
namespace {

TEST(Text, StrictRoundTripsWellFormedText) {
    const std::u16string wide = u"a\u00e9\u4e2d\U0001F600";
    const std::string utf8 = "a\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80";
    EXPECT_EQ(Utf16ToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToUtf16(utf8), wide);
}

TEST(Text, StrictRefusesMalformedText) {
    for (std::string_view bad : {"\x80", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe4\xb8"}) {
        EXPECT_FALSE(Utf8ToUtf16(bad).has_value()) << bad.size();
    }
    for (std::u16string_view bad : {u"\xD800", u"\xDC80", u"a\xD800" u"b"}) {
        EXPECT_FALSE(Utf16ToUtf8(bad).has_value());
    }
}

TEST(Text, EscapedBytesRoundTrip) {
    const std::string bytes = "a\xff\xc0\x80\xe4\xb8\xad";
    const std::u16string wide = WideFromBytes(bytes);
    EXPECT_EQ(wide, u"a\xDCFF\xDCC0\xDC80\u4e2d");
    std::string back;
    ASSERT_TRUE(BytesFromWide(wide, &back));
    EXPECT_EQ(back, bytes);
}

TEST(Text, EscapedRefusesLoneSurrogatesAndAliases) {
    std::string out;
    EXPECT_FALSE(BytesFromWide(u"\xD800", &out));
    EXPECT_FALSE(BytesFromWide(u"\xDC7F", &out));
    // U+DCC3 U+DCA9 spell the UTF-8 of U+00E9: the same bytes as "\u00e9".
    EXPECT_FALSE(BytesFromWide(u"\xDCC3\xDCA9", &out));
}

}  // namespace
}  // namespace korin::text
