// Mounts across the host's life: a clean restart and a restart after the
// host was killed both bring the drive's mount back.
#include "mount_e2e_fixture.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace korin::fuse_e2e {
namespace {

class Restart : public MountE2eTest {
protected:
    void SetUp() override {
        MountE2eTest::SetUp();
        if (HasFatalFailure()) return;
        Ok({"mkdir", "K:\\Docs"});
        Ok({"map", Data("a.txt"), "K:\\Docs\\a.txt"});
    }
};

TEST_F(Restart, ACleanRestartBringsTheMountBack) {
    StopHost();
    EXPECT_FALSE(IsMounted(Mount()));
    ASSERT_TRUE(StartHost());
    EXPECT_TRUE(IsMounted(Mount()));
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/a.txt"))), "hello\n");
}

TEST_F(Restart, AKilledHostLeavesAMountTheNextRunReplaces) {
    pid_t pid = HostPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    for (int i = 0; i < 200 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    hostRunning_ = false;
    ShellRun dead = Sh("ls " + Quote(Mount()));
    EXPECT_NE(dead.code, 0);
    EXPECT_TRUE(dead.out.find("Transport endpoint is not connected") != std::string::npos) << dead.out;
    ASSERT_TRUE(StartHost());
    EXPECT_TRUE(IsMounted(Mount()));
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/a.txt"))), "hello\n");
    EXPECT_TRUE(MountLog().find("removed a mount left by an earlier run") != std::string::npos) << MountLog();
}

}  // namespace
}  // namespace korin::fuse_e2e
