// Changes made behind the mount's back (control requests, another process's
// syscalls) are seen through the mount at once, although the kernel is told
// to keep the drive's entries and attributes for a day.
#include "mount_fixture.h"

#include "host/fuse/nt_file.h"

#include <sys/stat.h>

#include <thread>

namespace korin::fusetest {
namespace {

class InvalidationTest : public MountTest {
protected:
    void SetUp() override {
        MountTest::SetUp();
        ASSERT_EQ(Mount()->Settings().VirtualTimeout, 86400.0);
        WriteHostFile("one.txt", "one");
        WriteHostFile("two.txt", "two, longer");
        ASSERT_EQ(CreateFolder(u"X:\\Docs"), STATUS_SUCCESS);
        ASSERT_EQ(CreateFolder(u"X:\\Docs\\Sub"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\m.txt", u"H:\\one.txt"), STATUS_SUCCESS);
        // The kernel now holds these names.
        struct stat st;
        ASSERT_EQ(stat(MountPath("Docs/Sub").c_str(), &st), 0);
        ASSERT_EQ(stat(MountPath("Docs/m.txt").c_str(), &st), 0);
        ASSERT_EQ(ReadFile(MountPath("Docs/m.txt")), "one");
    }

    static bool Exists(const std::string& path) {
        struct stat st;
        return stat(path.c_str(), &st) == 0;
    }
};

TEST_F(InvalidationTest, ControlRequestsAreSeenAtOnce) {
    ASSERT_EQ(DeleteMapping(u"X:\\Docs\\m.txt"), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(MountPath("Docs/m.txt")));

    ASSERT_EQ(RenameFolder(u"X:\\Docs\\Sub", u"Renamed"), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(MountPath("Docs/Sub")));
    EXPECT_TRUE(Exists(MountPath("Docs/Renamed")));

    ASSERT_EQ(DeleteFolder(u"X:\\Docs\\Renamed"), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(MountPath("Docs/Renamed")));
}

TEST_F(InvalidationTest, AMappingGivenAnotherTargetReadsTheNewTarget) {
    ASSERT_EQ(DeleteMapping(u"X:\\Docs\\m.txt"), STATUS_SUCCESS);
    ASSERT_EQ(CreateMapping(u"X:\\Docs\\m.txt", u"H:\\two.txt"), STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(MountPath("Docs/m.txt")), "two, longer");
    struct stat st;
    ASSERT_EQ(stat(MountPath("Docs/m.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 11);
}

TEST_F(InvalidationTest, AFolderReplacedByAMappingOfTheSameName) {
    ASSERT_EQ(DeleteFolder(u"X:\\Docs\\Sub"), STATUS_SUCCESS);
    ASSERT_EQ(CreateMapping(u"X:\\Docs\\Sub", u"H:\\one.txt"), STATUS_SUCCESS);
    struct stat st;
    ASSERT_EQ(stat(MountPath("Docs/Sub").c_str(), &st), 0) << strerror(errno);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(MountPath("Docs/Sub")), "one");
}

TEST_F(InvalidationTest, AnotherProcessesRenameIsSeenAtOnce) {
    // Another process renames the folder through the file system, as a
    // program on the drive would.
    ps::Process other("other program");
    std::thread([&] {
        ps::ProcessScope scope(other);
        fuse::NtHandle handle;
        ASSERT_EQ(fuse::OpenPath(u"\\??\\X:\\Docs\\Sub", DELETE, FILE_OPEN, FILE_DIRECTORY_FILE, &handle),
                  STATUS_SUCCESS);
        ASSERT_EQ(fuse::RenameTo(handle.Get(), u"\\??\\X:\\Docs\\Moved", false), STATUS_SUCCESS);
    }).join();
    EXPECT_FALSE(Exists(MountPath("Docs/Sub")));
    EXPECT_TRUE(Exists(MountPath("Docs/Moved")));
}

TEST_F(InvalidationTest, ChangesFromManyThreadsAreAllSeen) {
    constexpr int kThreads = 8;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([this, i] {
            ps::Process process("changer");
            ps::ProcessScope scope(process);
            std::u16string name = u"X:\\Docs\\f" + std::u16string(1, static_cast<char16_t>(u'0' + i));
            EXPECT_EQ(CreateFolder(name), STATUS_SUCCESS);
            EXPECT_EQ(CreateMapping(name + u"\\m", u"H:\\one.txt"), STATUS_SUCCESS);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        std::string folder = MountPath("Docs/f" + std::to_string(i));
        EXPECT_EQ(ReadFile(folder + "/m"), "one") << folder;
    }
    for (int i = 0; i < kThreads; ++i) ASSERT_EQ(DeleteMapping(u"X:\\Docs\\f" + std::u16string(1, u'0' + i) + u"\\m"),
                                                 STATUS_SUCCESS);
    for (int i = 0; i < kThreads; ++i) EXPECT_FALSE(Exists(MountPath("Docs/f" + std::to_string(i) + "/m")));
}

}  // namespace
}  // namespace korin::fusetest
