// Listings and attributes through the mount: the drive's own folders list
// their children, mappings show the real items' attributes, a mapping whose
// target is gone is absent, and names Linux cannot show leave the rest of
// the listing intact.
#include "mount_fixture.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <chrono>
#include <thread>

namespace korin::fusetest {
namespace {

class ListingTest : public MountTest {
protected:
    void SetUp() override {
        MountTest::SetUp();
        WriteHostFile("report.txt", std::string(12345, 'r'));
        MakeHostDirectory("work/sub");
        WriteHostFile("work/a.txt", "alpha");
        ASSERT_EQ(CreateFolder(u"X:\\Docs"), STATUS_SUCCESS);
        ASSERT_EQ(CreateFolder(u"X:\\Docs\\Old"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\report.txt", u"H:\\report.txt"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\Work", u"H:\\work\\"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\gone.txt", u"H:\\missing.txt"), STATUS_SUCCESS);
    }
};

TEST_F(ListingTest, VirtualFolderListsFoldersAndLiveMappings) {
    EXPECT_EQ(List(MountPath()), (std::vector<std::string>{"Docs"}));
    EXPECT_EQ(List(MountPath("Docs")), (std::vector<std::string>{"Old", "Work", "report.txt"}));
    EXPECT_EQ(List(MountPath("Docs/Work")), (std::vector<std::string>{"a.txt", "sub"}));
}

TEST_F(ListingTest, MappedItemsShowTheRealItemsAttributes) {
    struct stat real, mapped;
    ASSERT_EQ(stat(HostPath("report.txt").c_str(), &real), 0);
    ASSERT_EQ(stat(MountPath("Docs/report.txt").c_str(), &mapped), 0);
    EXPECT_TRUE(S_ISREG(mapped.st_mode));
    EXPECT_EQ(mapped.st_size, 12345);
    EXPECT_EQ(mapped.st_mode, real.st_mode);
    EXPECT_EQ(mapped.st_uid, real.st_uid);
    EXPECT_EQ(mapped.st_mtim.tv_sec, real.st_mtim.tv_sec);
    EXPECT_EQ(mapped.st_mtim.tv_nsec, real.st_mtim.tv_nsec);

    struct stat folder;
    ASSERT_EQ(stat(MountPath("Docs/Work").c_str(), &folder), 0);
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    ASSERT_EQ(stat(MountPath("Docs/Old").c_str(), &folder), 0);
    EXPECT_TRUE(S_ISDIR(folder.st_mode));
    EXPECT_EQ(folder.st_uid, geteuid());
}

TEST_F(ListingTest, MappingWhoseTargetIsGoneIsAbsent) {
    struct stat st;
    EXPECT_EQ(ErrnoOf(stat(MountPath("Docs/gone.txt").c_str(), &st)), ENOENT);
    // It comes back with its target.
    WriteHostFile("missing.txt", "back");
    EXPECT_EQ(ErrnoOf(stat(MountPath("Docs/gone.txt").c_str(), &st)), 0);
    EXPECT_EQ(ReadFile(MountPath("Docs/gone.txt")), "back");
}

// The kernel may keep a listing for as long as it keeps real items'
// attributes: a target deleted or made on the host directly shows in the
// listing within a second.
TEST_F(ListingTest, HostChangesShowInListingsWithinASecond) {
    auto listedWithin = [&](const std::string& path, const std::vector<std::string>& expected) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (List(path) != expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return List(path);
    };
    ASSERT_EQ(List(MountPath("Docs")), (std::vector<std::string>{"Old", "Work", "report.txt"}));
    ASSERT_EQ(unlink(HostPath("report.txt").c_str()), 0);
    WriteHostFile("missing.txt", "now here");
    EXPECT_EQ(listedWithin(MountPath("Docs"), {"Old", "Work", "gone.txt"}),
              (std::vector<std::string>{"Old", "Work", "gone.txt"}));

    ASSERT_EQ(List(MountPath("Docs/Work")), (std::vector<std::string>{"a.txt", "sub"}));
    WriteHostFile("work/b.txt", "beta");
    EXPECT_EQ(listedWithin(MountPath("Docs/Work"), {"a.txt", "b.txt", "sub"}),
              (std::vector<std::string>{"a.txt", "b.txt", "sub"}));
}

// Many more entries than one reply holds, so the kernel asks in several
// rounds (with and without attributes): every live mapping is listed once,
// the ones whose target is gone are not.
TEST_F(ListingTest, ALargeFolderListsEveryLiveMappingOnce) {
    constexpr int kMappings = 400;
    ASSERT_EQ(CreateFolder(u"X:\\Big"), STATUS_SUCCESS);
    std::vector<std::string> expected;
    for (int i = 0; i < kMappings; ++i) {
        std::string name = "m" + std::to_string(1000 + i);
        std::u16string wide(name.begin(), name.end());
        bool dangling = i % 50 == 7;
        ASSERT_EQ(CreateMapping(u"X:\\Big\\" + wide, dangling ? u"H:\\nothing\\here" : u"H:\\report.txt"),
                  STATUS_SUCCESS);
        if (!dangling) expected.push_back(name);
    }
    EXPECT_EQ(List(MountPath("Big")), expected);
    EXPECT_EQ(List(MountPath("Big")), expected);  // again, from whatever the kernel kept
}

TEST_F(ListingTest, StatfsReportsTheDrivesFigures) {
    struct statvfs st;
    ASSERT_EQ(statvfs(MountPath().c_str(), &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.f_blocks) * st.f_frsize, 107374182400ull);  // 100 GiB
    EXPECT_EQ(static_cast<uint64_t>(st.f_bavail) * st.f_frsize, 107374182400ull);
    EXPECT_EQ(st.f_namemax, 512u);
}

}  // namespace
}  // namespace korin::fusetest
