// String helpers: pool copies with their tags, the one check of folder and
// mapping names, and the unpacking of a two-string control buffer, which
// must never read past the buffer.
#include "core_fixture.h"

#include "platform/nt/pool.h"

#include <cstring>

namespace korin::drivercore {
namespace {

class NameSupportTest : public ::testing::Test {
protected:
    void TearDown() override {
        pool::ClearInjectedFailures();
        EXPECT_TRUE(DriverTestBlocks().empty());
    }
    static std::map<std::string, size_t> DriverTestBlocks() {
        std::map<std::string, size_t> live = pool::LiveByTag();
        std::map<std::string, size_t> ours;
        for (const char* tag : {"QStr", "Qstr"})
            if (live.count(tag)) ours[tag] = live[tag];
        return ours;
    }
};

TEST_F(NameSupportTest, DuplicatesCopyWithTheirTags) {
    std::u16string text = u"Projects";
    UNICODE_STRING source = Counted(text);
    UNICODE_STRING bytes{}, string{};
    ASSERT_EQ(DuplicateBytes(&bytes, source.Length, source.Buffer), STATUS_SUCCESS);
    ASSERT_EQ(DuplicateString(&string, &source), STATUS_SUCCESS);
    EXPECT_EQ(pool::LiveBlocks("QStr"), 1u);
    EXPECT_EQ(pool::LiveBlocks("Qstr"), 1u);
    for (const UNICODE_STRING* copy : {&bytes, &string}) {
        EXPECT_NE(copy->Buffer, source.Buffer);
        EXPECT_EQ(Text(*copy), text);
        EXPECT_EQ(copy->MaximumLength, copy->Length) << "no terminator is counted or kept";
    }
    ExFreePoolWithTag(bytes.Buffer, PoolTag("QStr"));
    ExFreePoolWithTag(string.Buffer, PoolTag("Qstr"));
}

TEST_F(NameSupportTest, EmptyCopiesAllocateNothing) {
    UNICODE_STRING empty{0, 0, nullptr};
    UNICODE_STRING bytes{7, 7, reinterpret_cast<PWSTR>(1)}, string = bytes;
    EXPECT_EQ(DuplicateBytes(&bytes, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(DuplicateString(&string, &empty), STATUS_SUCCESS);
    EXPECT_EQ(bytes.Buffer, nullptr);
    EXPECT_EQ(string.Buffer, nullptr);
    EXPECT_EQ(bytes.Length + string.Length, 0);
}

TEST_F(NameSupportTest, ExhaustedPoolLeavesTheDestinationAlone) {
    std::u16string text = u"Docs";
    UNICODE_STRING source = Counted(text);
    UNICODE_STRING destination{2, 2, const_cast<PWSTR>(u"x")};
    pool::FailNthAllocation("QStr", 1);
    EXPECT_EQ(DuplicateBytes(&destination, source.Length, source.Buffer), STATUS_INSUFFICIENT_RESOURCES);
    pool::FailNthAllocation("Qstr", 1);
    EXPECT_EQ(DuplicateString(&destination, &source), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Text(destination), u"x");
}

TEST_F(NameSupportTest, MakeStringCopiesNothing) {
    WCHAR buffer[] = u"abc";
    UNICODE_STRING s;
    MakeString(&s, 4, buffer);
    EXPECT_EQ(s.Buffer, buffer);
    EXPECT_EQ(s.Length, 4);
    EXPECT_EQ(s.MaximumLength, 4);
}

struct PairCase {
    const char* what;
    std::u16string buffer;  // the packed bytes, NULs included
    ULONG length;           // bytes handed in; ~0u for the whole buffer
    NTSTATUS status;
    std::u16string first, second;
};

class SplitStringPairTest : public ::testing::TestWithParam<PairCase> {};

TEST_P(SplitStringPairTest, SplitsWithinTheBuffer) {
    const PairCase& c = GetParam();
    // A heap copy of exactly the bytes handed in, so a read past them is caught.
    const ULONG length = c.length == ~0u ? static_cast<ULONG>(c.buffer.size() * 2) : c.length;
    std::vector<WCHAR> bytes(c.buffer.begin(), c.buffer.end());
    bytes.resize((length + 1) / 2);
    UNICODE_STRING first{99, 99, nullptr}, second{99, 99, nullptr};
    ASSERT_EQ(SplitStringPair(bytes.data(), length, &first, &second), c.status) << c.what;
    if (!NT_SUCCESS(c.status)) {
        EXPECT_EQ(first.Length, 99) << "outputs untouched on failure";
        return;
    }
    EXPECT_EQ(Text(first), c.first);
    EXPECT_EQ(Text(second), c.second);
    EXPECT_EQ(first.Buffer, bytes.data()) << "nothing is copied";
    EXPECT_EQ(first.MaximumLength, first.Length);
    EXPECT_EQ(second.MaximumLength, second.Length);
}

using namespace std::string_literals;
INSTANTIATE_TEST_SUITE_P(
    Cases, SplitStringPairTest,
    ::testing::Values(
        PairCase{"path and target", u"K:\\Docs\0C:\\Specs\\\0"s, ~0u, STATUS_SUCCESS, u"K:\\Docs", u"C:\\Specs\\"},
        PairCase{"empty second", u"K:\\a\0\0"s, ~0u, STATUS_SUCCESS, u"K:\\a", u""},
        PairCase{"both empty", u"\0\0"s, ~0u, STATUS_SUCCESS, u"", u""},
        PairCase{"bytes after the pair are ignored", u"a\0b\0junk"s, ~0u, STATUS_SUCCESS, u"a", u"b"},
        PairCase{"second NUL missing", u"K:\\a\0target"s, ~0u, STATUS_INVALID_PARAMETER, u"", u""},
        PairCase{"no NUL at all", u"K:\\a"s, ~0u, STATUS_INVALID_PARAMETER, u"", u""},
        PairCase{"second NUL just past the length", u"a\0b\0"s, 6, STATUS_INVALID_PARAMETER, u"", u""},
        PairCase{"odd length ignores the half unit", u"a\0b\0"s, 7, STATUS_INVALID_PARAMETER, u"", u""},
        PairCase{"empty buffer", u""s, 0, STATUS_INVALID_PARAMETER, u"", u""}));

struct NameCase {
    const char* what;
    std::u16string name;
    NTSTATUS expected;
};

// The name rule every caller shares: the file-system handlers' and the
// control requests' refusals, surrogates and the length limit included.
TEST(CheckComponentNameTest, AcceptsAndRefusesByOneRule) {
    const NameCase cases[] = {
        {"plain", u"Docs", STATUS_SUCCESS},
        {"three dots", u"...", STATUS_SUCCESS},
        {"dot prefix", u".git", STATUS_SUCCESS},
        {"surrogate pair", u"a\xD83D\xDE00" u"b", STATUS_SUCCESS},
        {"255 characters", std::u16string(255, u'n'), STATUS_SUCCESS},
        {"256 characters", std::u16string(256, u'n'), STATUS_NAME_TOO_LONG},
        {"empty", u"", STATUS_OBJECT_NAME_INVALID},
        {"dot", u".", STATUS_OBJECT_NAME_INVALID},
        {"dot dot", u"..", STATUS_OBJECT_NAME_INVALID},
        {"control character", u"a\x1F" u"b", STATUS_OBJECT_NAME_INVALID},
        {"NUL", std::u16string(u"a\0b", 3), STATUS_OBJECT_NAME_INVALID},
        {"high surrogate last", u"a\xD800", STATUS_OBJECT_NAME_INVALID},
        {"high surrogate before a letter", u"\xD800" u"a", STATUS_OBJECT_NAME_INVALID},
        {"low surrogate alone", u"\xDC00" u"a", STATUS_OBJECT_NAME_INVALID},
        {"two highs then a low", u"\xD800\xD800\xDC00", STATUS_OBJECT_NAME_INVALID},
    };
    for (const NameCase& c : cases) {
        UNICODE_STRING name = Counted(c.name);
        EXPECT_EQ(CheckComponentName(&name), c.expected) << c.what;
    }
    for (char16_t forbidden : std::u16string(u"\\/:*?\"<>|")) {
        std::u16string text = u"a";
        text += forbidden;
        UNICODE_STRING name = Counted(text);
        EXPECT_EQ(CheckComponentName(&name), STATUS_OBJECT_NAME_INVALID) << static_cast<char>(forbidden);
    }
    std::u16string odd = u"ab";
    UNICODE_STRING oddName{3, 4, odd.data()};
    EXPECT_EQ(CheckComponentName(&oddName), STATUS_OBJECT_NAME_INVALID) << "odd byte count";
}

}  // namespace
}  // namespace korin::drivercore
