// Many programs at once on one mount: files made, renamed, read and removed
// in a mapped folder and folders made and removed in the drive's own
// folders, while control requests change the drive behind the mount. Nothing
// may crash or deadlock, every lookup must be forgotten exactly once, and
// the real folder must end as the programs left it.
#include "mount_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace korin::fusetest {
namespace {

class ConcurrencyTest : public MountTest {};

bool DropKernelCaches() {
    int fd = open("/proc/sys/vm/drop_caches", O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, "2", 1) == 1;
    close(fd);
    return ok;
}

TEST_F(ConcurrencyTest, ProgramsAndControlRequestsAtOnce) {
    MakeHostDirectory("shared");
    ASSERT_EQ(CreateFolder(u"X:\\Docs"), STATUS_SUCCESS);
    ASSERT_EQ(CreateMapping(u"X:\\Docs\\Shared", u"H:\\shared\\"), STATUS_SUCCESS);
    constexpr int kWorkers = 6;
    constexpr int kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
        threads.emplace_back([&, w] {
            const std::string mine = MountPath("Docs/Shared/w" + std::to_string(w));
            for (int r = 0; r < kRounds; ++r) {
                std::string a = mine + "-a" + std::to_string(r), b = mine + "-b" + std::to_string(r);
                int fd = open(a.c_str(), O_CREAT | O_EXCL | O_RDWR, 0644);
                if (fd < 0) {
                    ++failures;
                    continue;
                }
                std::string text = "round " + std::to_string(r);
                if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) ++failures;
                if (rename(a.c_str(), b.c_str()) != 0) ++failures;
                struct stat st;
                if (fstat(fd, &st) != 0 || st.st_size != static_cast<off_t>(text.size())) ++failures;
                if (r % 2 && unlink(b.c_str()) != 0) ++failures;  // half removed while still open
                close(fd);
                if (r % 2 == 0 && (ReadFile(b) != text || unlink(b.c_str()) != 0)) ++failures;
                std::string folder = MountPath("Docs/f" + std::to_string(w));
                if (mkdir(folder.c_str(), 0755) != 0 || rmdir(folder.c_str()) != 0) ++failures;
            }
        });
    }
    // Meanwhile the drive changes behind the mount, and another program lists.
    threads.emplace_back([&] {
        ps::Process control("control");
        ps::ProcessScope scope(control);
        for (int r = 0; r < kRounds; ++r) {
            std::u16string name = u"X:\\Docs\\c" + std::u16string(1, static_cast<char16_t>(u'a' + r % 26));
            if (CreateFolder(name) != STATUS_SUCCESS || DeleteFolder(name) != STATUS_SUCCESS) ++failures;
        }
    });
    threads.emplace_back([&] {
        for (int r = 0; r < kRounds; ++r) {
            List(MountPath("Docs/Shared"));
            List(MountPath("Docs"));
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!List(HostPath("shared")).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(List(HostPath("shared")), std::vector<std::string>{}) << "files left behind on the host";
    EXPECT_EQ(List(MountPath("Docs")), (std::vector<std::string>{"Shared"}));

    if (!DropKernelCaches()) GTEST_SKIP() << "cannot drop the kernel's caches here";
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Mount()->Inodes().Size() > 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        DropKernelCaches();
    }
    EXPECT_EQ(Mount()->Inodes().Size(), 1u);
}

}  // namespace
}  // namespace korin::fusetest
