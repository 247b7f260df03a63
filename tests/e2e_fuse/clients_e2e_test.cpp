// Real Linux programs on a drive mount: ls -l shows the real sizes, cat and
// cp give the mapped file's bytes, find, cp -r and rsync walk the drive
// tree, and only the user running the host reaches the mount.
#include "mount_e2e_fixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace korin::fuse_e2e {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Clients : public MountE2eTest {
protected:
    void SetUp() override {
        MountE2eTest::SetUp();
        if (HasFatalFailure()) return;
        std::filesystem::create_directories(Data("dir/deeper"));
        std::ofstream(Data("dir/deeper/leaf.bin"), std::ios::binary) << std::string(70000, 'z');
        Ok({"mkdir", "K:\\Docs"});
        Ok({"mkdir", "K:\\Docs\\Empty"});
        Ok({"map", Data("a.txt"), "K:\\Docs\\a.txt"});
        Ok({"map", Data("b.txt"), "K:\\Docs\\b.txt"});
        Ok({"map", Data("dir"), "K:\\Docs\\Dir"});
        Ok({"map", Data("b.txt"), "K:\\top.txt"});
    }
};

TEST_F(Clients, LsShowsTheRealSizes) {
    const std::string listing = ShOk("ls -l " + Quote(Mount("Docs")));
    // "hello\n" is 6 bytes, "a somewhat longer file\n" 23.
    EXPECT_TRUE(Contains(listing, " 6 ")) << listing;
    EXPECT_TRUE(Contains(listing, " 23 ")) << listing;
    EXPECT_TRUE(Contains(listing, "a.txt")) << listing;
    EXPECT_TRUE(Contains(listing, "\nd")) << listing;  // the folders
    EXPECT_EQ(ShOk("stat -c %s " + Quote(Mount("Docs/Dir/deeper/leaf.bin"))), "70000\n");
}

TEST_F(Clients, CatAndCpGiveTheMappedBytes) {
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/a.txt"))), "hello\n");
    ShOk("cp " + Quote(Mount("Docs/Dir/deeper/leaf.bin")) + " copy.bin");
    ShOk("cmp copy.bin " + Quote(Data("dir/deeper/leaf.bin")));
}

TEST_F(Clients, FindCpAndRsyncWalkTheDriveTree) {
    const std::string found = ShOk("cd " + Quote(Mount()) + " && find . | sort");
    EXPECT_EQ(found,
              ".\n./Docs\n./Docs/Dir\n./Docs/Dir/deeper\n./Docs/Dir/deeper/leaf.bin\n./Docs/Dir/inner.txt\n"
              "./Docs/Empty\n./Docs/a.txt\n./Docs/b.txt\n./top.txt\n");
    // What the tree holds, built from the real items.
    ShOk("mkdir -p expected/Docs/Empty && cp -r " + Quote(Data("dir")) + " expected/Docs/Dir && cp " +
         Quote(Data("a.txt")) + " " + Quote(Data("b.txt")) + " expected/Docs/ && cp " + Quote(Data("b.txt")) +
         " expected/top.txt");
    ShOk("cp -r " + Quote(Mount()) + " copied");
    ShOk("diff -r expected copied");
    ShOk("rsync -a " + Quote(Mount() + "/") + " synced/");
    ShOk("diff -r expected synced");
    // A second run finds nothing to send.
    const std::string again = ShOk("rsync -a --itemize-changes " + Quote(Mount() + "/") + " synced/");
    EXPECT_EQ(again, "");
}

TEST_F(Clients, NobodyElseReachesTheMount) {
    ShellRun other = Sh("setpriv --reuid=65534 --regid=65534 --clear-groups ls " + Quote(Mount()));
    EXPECT_NE(other.code, 0) << other.out;
    struct stat st;
    ASSERT_EQ(stat((home_ + "/mnt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 077, 0u) << "the mount root is open to others";
    // The mount itself refuses others, even with the root opened up.
    ASSERT_EQ(chmod((home_ + "/mnt").c_str(), 0755), 0);
    ShellRun direct = Sh("setpriv --reuid=65534 --regid=65534 --clear-groups stat " + Quote(Mount("Docs")));
    chmod((home_ + "/mnt").c_str(), 0700);
    EXPECT_NE(direct.code, 0) << direct.out;
    EXPECT_TRUE(Contains(direct.out, "Permission denied")) << direct.out;
}

}  // namespace
}  // namespace korin::fuse_e2e
