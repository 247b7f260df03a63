// From a drive-qualified path to the deepest node it names and the part not
// resolved, and from a letter in either case to its drive.
#include "core_fixture.h"

#include <thread>

namespace korin::drivercore {
namespace {

class ResolveTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        StoreDrive(u"0", u'X', u"Resolve");
        ASSERT_EQ(Start(), STATUS_SUCCESS);
        a_ = AddFolder(Root(u'X'), u"a");
        mapping_ = AddMapping(a_, u"m", u"C:\\real\\");
    }
    TREE_NODE* a_ = nullptr;
    TREE_NODE* mapping_ = nullptr;
};

struct ResolveCase {
    std::u16string path;
    const char16_t* node;  // "root", "a", "m"
    std::u16string remainder;
};

class ResolvePathTest : public ResolveTest, public ::testing::WithParamInterface<ResolveCase> {};

TEST_P(ResolvePathTest, FindsTheDeepestNode) {
    const ResolveCase& c = GetParam();
    std::u16string buffer = c.path;
    UNICODE_STRING path = Counted(buffer);
    UNICODE_STRING remainder{};
    TREE_NODE* node = nullptr;
    ASSERT_EQ(ResolvePath(&path, &remainder, &node), STATUS_SUCCESS) << Narrow(c.path);
    const std::u16string expected = c.node;
    TREE_NODE* want = expected == u"root" ? Root(u'X') : expected == u"a" ? a_ : mapping_;
    EXPECT_EQ(node, want) << Narrow(c.path);
    EXPECT_EQ(Text(remainder), c.remainder) << Narrow(c.path);
    EXPECT_EQ(buffer[0], u'X') << "the letter is upper-cased in the caller's buffer";
    if (remainder.Length) {
        EXPECT_GE(remainder.Buffer, buffer.data());
        EXPECT_LE(remainder.Buffer + remainder.Length / 2, buffer.data() + buffer.size()) << "points into the path";
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, ResolvePathTest,
                         ::testing::Values(ResolveCase{u"x:\\a\\b", u"a", u"b"},
                                           ResolveCase{u"X:\\", u"root", u""},
                                           ResolveCase{u"X:", u"root", u""},
                                           ResolveCase{u"x", u"root", u""},
                                           ResolveCase{u"X:\\A", u"a", u""},
                                           ResolveCase{u"X:\\a\\", u"a", u""},
                                           ResolveCase{u"X:\\b\\c", u"root", u"b\\c"},
                                           ResolveCase{u"X:\\a\\M\\rest\\more", u"m", u"rest\\more"},
                                           ResolveCase{u"X:\\a\\m\\", u"m", u""}));

TEST_F(ResolveTest, LettersWithoutDriveAreInternalErrors) {
    for (std::u16string text : {u"q:\\a", u"\\\\srv\\share", u"1:\\", u""}) {
        std::u16string buffer = text;
        UNICODE_STRING path = Counted(buffer);
        UNICODE_STRING remainder{7, 7, nullptr};
        TREE_NODE* node = reinterpret_cast<TREE_NODE*>(0x1);
        EXPECT_EQ(ResolvePath(&path, &remainder, &node), STATUS_DRIVER_INTERNAL_ERROR) << Narrow(text);
        EXPECT_EQ(node, reinterpret_cast<TREE_NODE*>(0x1));
        EXPECT_EQ(remainder.Length, 7);
    }
    std::u16string lower = u"q:\\a";
    UNICODE_STRING path = Counted(lower);
    UNICODE_STRING remainder;
    TREE_NODE* node;
    ResolvePath(&path, &remainder, &node);
    EXPECT_EQ(lower[0], u'Q');
}

TEST_F(ResolveTest, ReleasesTheDriveLock) {
    std::u16string buffer = u"X:\\a\\m";
    UNICODE_STRING path = Counted(buffer);
    UNICODE_STRING remainder;
    TREE_NODE* node;
    ASSERT_EQ(ResolvePath(&path, &remainder, &node), STATUS_SUCCESS);
    VCB* vcb = Drive(u'X');
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&vcb->MainResource), 0u);
    bool free = false;
    std::thread other([&] {
        free = ExAcquireResourceExclusiveLite(&vcb->MainResource, FALSE);
        if (free) ExReleaseResourceLite(&vcb->MainResource);
    });
    other.join();
    EXPECT_TRUE(free);
}

TEST_F(ResolveTest, VcbFromLetterTakesEitherCaseAndOnlyLetters) {
    VCB* vcb = Drive(u'X');
    ASSERT_NE(vcb, nullptr);
    EXPECT_EQ(VcbFromLetter(u'x'), vcb);
    EXPECT_EQ(VcbFromLetter(u'Y'), nullptr);
    for (char16_t c : {u'\0', u'@', u'[', u'`', u'{', u'1', u'\\', u'\u00C4'}) EXPECT_EQ(VcbFromLetter(c), nullptr);
    EXPECT_EQ(DriveIndex(u'a'), 0);
    EXPECT_EQ(DriveIndex(u'Z'), 25);
    EXPECT_EQ(DriveIndex(u'@'), -1);
}

}  // namespace
}  // namespace korin::drivercore
