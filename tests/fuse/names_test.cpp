// Names between Linux bytes and syscall UTF-16.
#include "host/fuse/names.h"

#include <gtest/gtest.h>

namespace korin::fuse {
namespace {

TEST(FuseNames, LinuxNamesRoundTrip) {
    const std::string cases[] = {
        "plain.txt",
        "caf\xc3\xa9",             // é
        "\xf0\x9f\x98\x80 smile",  // U+1F600, a surrogate pair in UTF-16
        "latin1-\xe9-byte",        // not UTF-8: a stray byte
        "\xc3",                    // truncated sequence
        "\xed\xa0\x80",            // an encoded surrogate is not valid UTF-8
        "\xc0\xaf",                // overlong '/'
        "\xff\xfe",
    };
    for (const std::string& name : cases) {
        std::u16string wide;
        ASSERT_TRUE(WideFromLinux(name, &wide)) << name;
        std::string back;
        ASSERT_TRUE(LinuxFromWide(wide, &back)) << name;
        EXPECT_EQ(back, name);
    }
}

TEST(FuseNames, StrayBytesTravelAsTheHostFileSystemShowsThem) {
    std::u16string wide;
    ASSERT_TRUE(WideFromLinux("a\xe9", &wide));
    EXPECT_EQ(wide, std::u16string(u"a\xDCE9"));
}

TEST(FuseNames, NamesASyscallPathCannotHold) {
    std::u16string wide;
    EXPECT_FALSE(WideFromLinux("a\\b", &wide));
    EXPECT_FALSE(WideFromLinux("", &wide));
}

TEST(FuseNames, NamesLinuxCannotShow) {
    const std::u16string cases[] = {
        u"a/b",                       // a separator inside a name
        std::u16string(u"a\0b", 3),   // NUL
        u".", u"..", u"",
        u"x\xD800",                   // unpaired high surrogate
        u"\xDC41",                    // low surrogate that stands for no byte
        u"\xDCC3\xDCA9",              // escaped bytes spelling valid UTF-8 ("é") would alias that name
    };
    for (const auto& name : cases) {
        std::string out;
        EXPECT_FALSE(LinuxFromWide(name, &out)) << Printable(name);
    }
}

}  // namespace
}  // namespace korin::fuse
