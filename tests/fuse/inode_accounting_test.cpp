// Every lookup the kernel receives is counted once and forgotten once:
// after a listing with attributes of many mappings, dropping the kernel's
// caches empties the mount's inode table down to its root.
#include "mount_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace korin::fusetest {
namespace {

class InodeAccountingTest : public MountTest {};

bool DropKernelCaches() {
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, "2", 1) == 1;
    close(fd);
    return ok;
}

TEST_F(InodeAccountingTest, EveryLookupIsForgottenOnce) {
    constexpr int kMappings = 300;
    MakeHostDirectory("files");
    ASSERT_EQ(CreateFolder(u"X:\\Many"), STATUS_SUCCESS);
    for (int i = 0; i < kMappings; ++i) {
        std::string name = "f" + std::to_string(i);
        WriteHostFile("files/" + name, name);
        std::u16string wide(name.begin(), name.end());
        ASSERT_EQ(CreateMapping(u"X:\\Many\\" + wide, u"H:\\files\\" + wide), STATUS_SUCCESS);
    }
    ASSERT_EQ(CreateMapping(u"X:\\Many\\dir", u"H:\\files\\"), STATUS_SUCCESS);

    // ls -l: a listing (with attributes), then a stat of each name.
    DIR* dir = opendir(MountPath("Many").c_str());
    ASSERT_NE(dir, nullptr);
    int seen = 0;
    while (dirent* entry = readdir(dir)) {
        struct stat st;
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        ASSERT_EQ(fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW), 0) << name;
        ++seen;
    }
    closedir(dir);
    EXPECT_EQ(seen, kMappings + 1);
    EXPECT_EQ(List(MountPath("Many/dir")).size(), static_cast<size_t>(kMappings));
    EXPECT_GT(Mount()->Inodes().Size(), static_cast<size_t>(kMappings));

    if (!DropKernelCaches()) GTEST_SKIP() << "cannot drop the kernel's caches here";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Mount()->Inodes().Size() > 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        DropKernelCaches();
    }
    EXPECT_EQ(Mount()->Inodes().Size(), 1u) << "lookups the kernel never forgot, or forgot twice";
}

}  // namespace
}  // namespace korin::fusetest
