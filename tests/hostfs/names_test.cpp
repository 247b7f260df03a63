// Conversion of names between the NT side (UTF-16) and the host (bytes,
// usually UTF-8), and host names that are not UTF-8.
#include "fixture.h"

#include "platform/hostfs/hostfs_internal.h"

namespace korin::hostfs::test {
namespace {

TEST(HostNames, ConvertBothWays) {
    const struct {
        std::u16string wide;
        std::string host;
    } cases[] = {
        {u"plain.txt", "plain.txt"},
        {u"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
        {u"\u6587\u66f8", "\xe6\x96\x87\xe6\x9b\xb8"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},       // a pair of surrogates
        {u"bad\xDCFF", "bad\xff"},                  // a byte that is no UTF-8
        {u"\xDCC3(", "\xc3("},                      // a lead byte without its follower
        {u"\xDCED\xDCA0\xDC80", "\xed\xa0\x80"},   // an encoded surrogate is no UTF-8 either
        {u"\xDCC0\xDC80", "\xc0\x80"},             // nor an overlong form
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.wide));
        std::string host;
        ASSERT_TRUE(ToHostName(c.wide, &host));
        EXPECT_EQ(host, c.host);
        std::u16string wide;
        ToWideName(c.host, &wide);
        EXPECT_EQ(wide, c.wide);
    }
}

TEST(HostNames, RefusesWhatTheHostCannotHold) {
    const std::u16string cases[] = {
        u"a/b",
        std::u16string(u"a\0b", 3),
        u"\xD83D",       // a high surrogate alone
        u"x\xDE00",      // a low surrogate that stands for no byte
        u"\xDCC3\xDCA9", // bytes that would read back as one character: another name's alias
    };
    for (const auto& name : cases) {
        SCOPED_TRACE(Narrow(name));
        std::string host;
        EXPECT_FALSE(ToHostName(name, &host));
    }
}

TEST(HostNames, SplitsPaths) {
    const struct {
        std::u16string name;
        NTSTATUS status;
        std::vector<std::string> components;
        bool trailing;
    } cases[] = {
        {u"", STATUS_SUCCESS, {}, false},
        {u"\\", STATUS_SUCCESS, {}, false},
        {u"\\a\\b", STATUS_SUCCESS, {"a", "b"}, false},
        {u"a\\b\\", STATUS_SUCCESS, {"a", "b"}, true},
        {u"\\a\\\\b", STATUS_OBJECT_NAME_INVALID, {}, false},
        {u"\\\\", STATUS_OBJECT_NAME_INVALID, {}, false},
        {u"\\a\\..\\b", STATUS_OBJECT_NAME_INVALID, {}, false},
        {u"\\.", STATUS_OBJECT_NAME_INVALID, {}, false},
        {u"\\a/b", STATUS_OBJECT_NAME_INVALID, {}, false},
        {u"\\...", STATUS_SUCCESS, {"..."}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        std::vector<std::string> components;
        bool trailing = false;
        EXPECT_EQ(SplitName(c.name, &components, &trailing), c.status);
        if (c.status != STATUS_SUCCESS) continue;
        EXPECT_EQ(components, c.components);
        EXPECT_EQ(trailing, c.trailing);
    }
}

using HostNameFileTest = HostFsTest;

// A host name that is not UTF-8 is listed with its bytes as U+DC80..U+DCFF
// and opens by that name.
TEST_F(HostNameFileTest, NamesThatAreNotUtf8) {
    WriteHostFile("caf\xe9.txt", "latin-1");
    Handle directory;
    ASSERT_EQ(Open(u"\\??\\T:\\", &directory), STATUS_SUCCESS);
    EXPECT_EQ(List(directory.get()), std::vector<std::u16string>{u"caf\xDCE9.txt"});
    Handle h;
    ASSERT_EQ(Open(T(u"CAF\xDCE9.TXT"), &h), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(h.get()), "latin-1");
    EXPECT_EQ(QueryName(h.get()), u"\\caf\xDCE9.txt");
}

}  // namespace
}  // namespace korin::hostfs::test
