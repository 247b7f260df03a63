// Mounts follow the drive-letter links: a letter that comes to lead to a
// drive is mounted, one that goes (or leads to a host drive) is unmounted;
// mounts left by a host that died are cleaned at the next start; stopping
// with programs still inside a mount does not hang.
#include "mount_fixture.h"

#include "host/fuse/stale_mounts.h"
#include "platform/nt/ob.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace korin::fusetest {
namespace {

using std::chrono::seconds;

class LifecycleTest : public MountTest {
protected:
    void SetUp() override {
        MountTest::SetUp();
        WriteHostFile("a.txt", "alpha");
        ASSERT_EQ(CreateFolder(u"X:\\Docs"), STATUS_SUCCESS);
        ASSERT_EQ(CreateMapping(u"X:\\Docs\\a.txt", u"H:\\a.txt"), STATUS_SUCCESS);
    }

    std::vector<char16_t> MountedLetters() {
        std::vector<char16_t> letters;
        for (const auto& [letter, path] : Mounts().Mounted()) letters.push_back(letter);
        return letters;
    }

    bool IsMountPoint(const std::string& path) {
        for (const auto& point : fuse::FuseMountsBelow(MountRoot())) {
            if (point == path) return true;
        }
        return false;
    }

    // A mount whose server is gone, as a killed host leaves it: the device is
    // closed right after mounting. Empty when mounting is not allowed here.
    std::string MakeStaleMount(const std::string& name) {
        std::string point = MountRoot() + "/" + name;
        mkdir(point.c_str(), 0700);
        int fd = open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fd < 0) return "";
        std::string options = "fd=" + std::to_string(fd) + ",rootmode=40000,user_id=" + std::to_string(getuid()) +
                              ",group_id=" + std::to_string(getgid());
        int result = mount("korin:Q", point.c_str(), "fuse.korin", MS_NOSUID | MS_NODEV, options.c_str());
        close(fd);
        return result == 0 ? point : "";
    }
};

// The change of the link returns once the mount follows it: a program that
// has just defined a letter finds it mounted.
TEST_F(LifecycleTest, ALetterLinkedToTheDriveIsMountedAndUnmounted) {
    ASSERT_EQ(ob::DefineDosDevice(u"Y:", u"\\Device\\KTDrive0"), STATUS_SUCCESS);
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{u'X', u'Y'}));
    EXPECT_EQ(ReadFile(MountRoot() + "/Y/Docs/a.txt"), "alpha");

    ASSERT_EQ(ob::RemoveDosDevice(u"Y:", nullptr, false), STATUS_SUCCESS);
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{u'X'}));
    EXPECT_FALSE(IsMountPoint(MountRoot() + "/Y"));
    EXPECT_NE(access((MountRoot() + "/Y").c_str(), F_OK), 0) << "the mount point stays behind";
}

TEST_F(LifecycleTest, HostDrivesAreNeverMounted) {
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{u'X'})) << "H: is a host drive";
    // A definition hiding the drive's letter behind a host drive unmounts it;
    // removing it brings the drive back.
    ASSERT_EQ(ob::DefineDosDevice(u"X:", u"\\Device\\HostVolumeH"), STATUS_SUCCESS);
    ASSERT_TRUE(Mounts().Settle(seconds(10)));
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{}));
    ASSERT_EQ(ob::RemoveDosDevice(u"X:", nullptr, false), STATUS_SUCCESS);
    ASSERT_TRUE(Mounts().Settle(seconds(10)));
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{u'X'}));
    EXPECT_EQ(ReadFile(MountPath("Docs/a.txt")), "alpha");
}

TEST_F(LifecycleTest, DriveMovedAndDeletedThroughControlRequests) {
    std::u16string pair = {u'X', u'M'};
    ASSERT_EQ(Control(IOCTL_CODE_CHANGE_DRIVE_LETTER, pair), STATUS_SUCCESS);
    ASSERT_TRUE(Mounts().Settle(seconds(10)));
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{u'M'}));
    EXPECT_EQ(ReadFile(MountRoot() + "/M/Docs/a.txt"), "alpha");

    ASSERT_EQ(Control(IOCTL_CODE_DELETE_DRIVE, std::u16string(1, u'M')), STATUS_SUCCESS);
    ASSERT_TRUE(Mounts().Settle(seconds(10)));
    EXPECT_EQ(MountedLetters(), (std::vector<char16_t>{}));
    EXPECT_FALSE(IsMountPoint(MountRoot() + "/M"));
}

TEST_F(LifecycleTest, StaleMountsAreCleanedAtTheNextStart) {
    std::string stale = MakeStaleMount("Q");
    if (stale.empty()) GTEST_SKIP() << "mounting is not allowed here";
    struct stat st;
    EXPECT_EQ(ErrnoOf(stat((stale + "/x").c_str(), &st)), ENOTCONN);
    // The next run of the host removes it and mounts the drive again.
    Mounts().Stop();
    mounts_ = std::make_unique<DriveMounts>(MountOptions{MountRoot(), {}, nullptr});
    ASSERT_EQ(mounts_->Start(), 0);
    ASSERT_TRUE(mounts_->Settle(seconds(10)));
    EXPECT_FALSE(IsMountPoint(stale));
    EXPECT_EQ(ReadFile(MountPath("Docs/a.txt")), "alpha");
}

TEST_F(LifecycleTest, AMountTakenAwayFromOutsideComesBack) {
    ASSERT_EQ(umount2(MountPath().c_str(), MNT_DETACH), 0) << strerror(errno);
    auto deadline = std::chrono::steady_clock::now() + seconds(10);
    while (!IsMountPoint(MountPath()) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(Mounts().Settle(seconds(10)));
    EXPECT_TRUE(IsMountPoint(MountPath()));
    EXPECT_EQ(ReadFile(MountPath("Docs/a.txt")), "alpha");
}

TEST_F(LifecycleTest, StoppingWithAFileOpenInsideDoesNotHang) {
    int fd = open(MountPath("Docs/a.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int dirFd = open(MountPath("Docs").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirFd, 0);
    Mounts().Stop();
    EXPECT_TRUE(Mounts().Mounted().empty());
    char byte;
    EXPECT_EQ(pread(fd, &byte, 1, 0), -1) << "the connection should be gone";
    close(fd);
    close(dirFd);
    EXPECT_FALSE(IsMountPoint(MountPath()));
}

}  // namespace
}  // namespace korin::fusetest
