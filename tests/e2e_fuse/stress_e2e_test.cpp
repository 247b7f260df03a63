// Real-client stress on a mapped folder through the mount, bounded in size
// and time: fio random writes verified with crc32c, and stress-ng's file,
// directory and rename stressors.
#include "mount_e2e_fixture.h"

#include <filesystem>

namespace korin::fuse_e2e {
namespace {

class Stress : public MountE2eTest {
protected:
    void SetUp() override {
        MountE2eTest::SetUp();
        if (HasFatalFailure()) return;
        std::filesystem::create_directory(Data("scratch"));
        Ok({"mkdir", "K:\\Work"});
        Ok({"map", Data("scratch"), "K:\\Work\\Scratch"});
    }
};

TEST_F(Stress, FioRandomWritesVerify) {
    if (Sh("command -v fio").code != 0) GTEST_SKIP() << "fio is not installed";
    const std::string run = ShOk(
        "fio --name=randwrite --directory=" + Quote(Mount("Work/Scratch")) +
        " --rw=randwrite --bs=4k --size=16m --numjobs=2 --ioengine=psync --verify=crc32c --do_verify=1"
        " --verify_fatal=1 --runtime=60 --group_reporting");
    EXPECT_NE(run.find("err= 0"), std::string::npos) << run;
    EXPECT_EQ(run.find("verify:"), std::string::npos) << run;
}

TEST_F(Stress, StressNgFileDirectoryAndRenameStressors) {
    if (Sh("command -v stress-ng").code != 0) GTEST_SKIP() << "stress-ng is not installed";
    ShOk("stress-ng --temp-path " + Quote(Mount("Work/Scratch")) +
         " --hdd 2 --hdd-ops 400 --hdd-bytes 4m --dir 2 --dir-ops 400 --rename 2 --rename-ops 2000"
         " --timeout 60s --metrics-brief");
}

}  // namespace
}  // namespace korin::fuse_e2e
