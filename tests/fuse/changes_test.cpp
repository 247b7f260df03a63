// Changing the drive through the mount: folders made with mkdir exist in the
// driver, rmdir and mv act on virtual folders as the driver allows, and what
// the drive cannot do fails with the errno a Linux user expects.
#include "mount_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace korin::fusetest {
namespace {

constexpr uint32_t kItemFolder = 2;
constexpr uint32_t kItemNotFound = 5;

class ChangesTest : public MountTest {
protected:
    void SetUp() override {
        MountTest::SetUp();
        MakeHostDirectory("work");
        WriteHostFile("work/a.txt", "alpha");
        WriteHostFile("b.txt", "beta");
        ASSERT_EQ(CreateFolder(u"X:\\Docs"), STATUS_SUCCESS);
        ASSERT_EQ(CreateFolder(u"X:\\Other"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\Work", u"H:\\work\\"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\b.txt", u"H:\\b.txt"), STATUS_SUCCESS);
    }
};

TEST_F(ChangesTest, MkdirMakesVirtualFoldersAllTheWayDown) {
    std::string path = MountPath("Docs");
    std::u16string ntPath = u"X:\\Docs";
    for (const char* level : {"one", "two", "three", "four"}) {
        path += std::string("/") + level;
        ntPath += u"\\" + std::u16string(level, level + std::char_traits<char>::length(level));
        ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path << ": " << strerror(errno);
    }
    EXPECT_EQ(ItemTypeOf(ntPath), kItemFolder);
    EXPECT_EQ(List(MountPath("Docs/one/two/three")), (std::vector<std::string>{"four"}));
    EXPECT_EQ(ErrnoOf(mkdir(MountPath("Docs/one").c_str(), 0755)), EEXIST);
}

TEST_F(ChangesTest, RmdirDeletesAnEmptyVirtualFolder) {
    ASSERT_EQ(mkdir(MountPath("Docs/empty").c_str(), 0755), 0);
    ASSERT_EQ(rmdir(MountPath("Docs/empty").c_str()), 0) << strerror(errno);
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\empty"), kItemNotFound);
    struct stat st;
    EXPECT_EQ(ErrnoOf(stat(MountPath("Docs/empty").c_str(), &st)), ENOENT);
}

TEST_F(ChangesTest, MvRenamesAVirtualFolderWithinItsFolder) {
    ASSERT_EQ(mkdir(MountPath("Docs/old").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(MountPath("Docs/old/inner").c_str(), 0755), 0);
    ASSERT_EQ(rename(MountPath("Docs/old").c_str(), MountPath("Docs/new").c_str()), 0) << strerror(errno);
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\new\\inner"), kItemFolder);
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\old"), kItemNotFound);
    EXPECT_EQ(List(MountPath("Docs/new")), (std::vector<std::string>{"inner"}));
    // The moved folder's children are reached by the new path.
    ASSERT_EQ(mkdir(MountPath("Docs/new/inner/deeper").c_str(), 0755), 0);
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\new\\inner\\deeper"), kItemFolder);
}

// Each refusal with the errno a Linux user expects for it.
TEST_F(ChangesTest, RefusalsGiveTheExpectedErrno) {
    ASSERT_EQ(mkdir(MountPath("Docs/full").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(MountPath("Docs/full/child").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(MountPath("Docs/mover").c_str(), 0755), 0);
    struct Case {
        const char* what;
        std::function<int()> call;
        int expected;
    };
    const Case cases[] = {
        {"rmdir of a folder with a folder in it", [&] { return rmdir(MountPath("Docs/full").c_str()); }, ENOTEMPTY},
        {"rmdir of a folder holding mappings", [&] { return rmdir(MountPath("Docs").c_str()); }, ENOTEMPTY},
        {"rmdir of the drive root", [&] { return rmdir(MountPath().c_str()); }, EBUSY},
        {"mv of a virtual folder into another folder",
         [&] { return rename(MountPath("Docs/mover").c_str(), MountPath("Other/mover").c_str()); }, EACCES},
        {"mv onto an existing name",
         [&] { return rename(MountPath("Docs/mover").c_str(), MountPath("Docs/full").c_str()); }, EEXIST},
        {"mv of a mapped file into a virtual folder",
         [&] { return rename(MountPath("Docs/Work/a.txt").c_str(), MountPath("Other/a.txt").c_str()); }, EXDEV},
        {"unlink of a virtual folder", [&] { return unlink(MountPath("Docs/full").c_str()); }, EISDIR},
        {"a plain file in a virtual folder",
         [&] { return open(MountPath("Docs/plain.txt").c_str(), O_CREAT | O_WRONLY, 0644); }, EPERM},
        {"a plain file in the drive root",
         [&] { return open(MountPath("plain.txt").c_str(), O_CREAT | O_WRONLY, 0644); }, EPERM},
        {"a fifo", [&] { return mkfifo(MountPath("Docs/Work/fifo").c_str(), 0644); }, EPERM},
        {"a symbolic link", [&] { return symlink("a.txt", MountPath("Docs/Work/link").c_str()); }, EPERM},
        {"a hard link",
         [&] { return link(MountPath("Docs/Work/a.txt").c_str(), MountPath("Docs/Work/hard").c_str()); }, EPERM},
        {"chmod of a virtual folder", [&] { return chmod(MountPath("Docs/full").c_str(), 0700); }, EPERM},
    };
    for (const Case& c : cases) {
        errno = 0;
        int result = c.call();
        EXPECT_EQ(result, -1) << c.what;
        EXPECT_EQ(errno, c.expected) << c.what << ": " << strerror(errno);
    }
    // Nothing moved or vanished on the way.
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\mover"), kItemFolder);
    EXPECT_EQ(ItemTypeOf(u"X:\\Docs\\full\\child"), kItemFolder);
    EXPECT_EQ(ReadFile(HostPath("work/a.txt")), "alpha");
}

TEST_F(ChangesTest, APlainFileRefusedInAVirtualFolderIsExplainedInTheLog) {
    EXPECT_EQ(ErrnoOf(open(MountPath("Docs/plain.txt").c_str(), O_CREAT | O_WRONLY, 0644)), EPERM);
    auto lines = LogLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("X:\\Docs\\plain.txt") != std::string::npos &&
               line.find("virtual folder holds only folders and mappings") != std::string::npos;
    })) << "no explanation in the log";
}

}  // namespace
}  // namespace korin::fusetest
