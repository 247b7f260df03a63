// Changes on a drive mount and behind it: mkdir -p makes registry folders,
// mv and rmdir do what the drive allows and fail with clear messages
// otherwise, a change through the korin command is seen by the very next ls,
// and a real file rewritten on the host reads back new.
#include "mount_e2e_fixture.h"

#include <fstream>

namespace korin::fuse_e2e {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Changes : public MountE2eTest {
protected:
    void SetUp() override {
        MountE2eTest::SetUp();
        if (HasFatalFailure()) return;
        Ok({"mkdir", "K:\\Docs"});
        Ok({"mkdir", "K:\\Other"});
        Ok({"map", Data("a.txt"), "K:\\Docs\\a.txt"});
        Ok({"map", Data("dir"), "K:\\Docs\\Dir"});
    }
};

TEST_F(Changes, MkdirPMakesFoldersInTheRegistry) {
    ShOk("mkdir -p " + Quote(Mount("Docs/one/two/three/four")));
    EXPECT_EQ(Ok({"type", "K:\\Docs\\one\\two\\three\\four"}), "folder\n");
    const std::string reg =
        Ok({"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\0\\Docs\\one\\two\\three"});
    EXPECT_TRUE(Contains(reg, "\\Docs\\one\\two\\three\\four")) << reg;
}

TEST_F(Changes, MvAndRmdirAndTheirRefusals) {
    ShOk("mkdir " + Quote(Mount("Docs/old")));
    ShOk("mv " + Quote(Mount("Docs/old")) + " " + Quote(Mount("Docs/new")));
    EXPECT_EQ(Ok({"type", "K:\\Docs\\new"}), "folder\n");
    EXPECT_EQ(Ok({"type", "K:\\Docs\\old"}), "not found\n");

    struct Refusal {
        std::string command;
        std::string message;
    };
    const Refusal refusals[] = {
        {"mv " + Quote(Mount("Docs/new")) + " " + Quote(Mount("Other/new")), "Permission denied"},
        {"rmdir " + Quote(Mount("Docs")), "Directory not empty"},
        {"rmdir " + Quote(Mount()), "Device or resource busy"},
        {"touch " + Quote(Mount("Docs/plain.txt")), "Operation not permitted"},
        {"mv " + Quote(Mount("Docs/Dir/inner.txt")) + " " + Quote(Mount("Other/inner.txt")),
         "Operation not permitted"},  // mv copies across devices, and the copy is refused
    };
    for (const Refusal& r : refusals) {
        ShellRun run = Sh(r.command);
        EXPECT_NE(run.code, 0) << r.command;
        EXPECT_TRUE(Contains(run.out, r.message)) << r.command << "\n" << run.out;
    }
    // The refused move left its source alone.
    EXPECT_EQ(ShOk("cat " + Quote(Data("dir/inner.txt"))), "inner\n");
    EXPECT_TRUE(Contains(MountLog(), "K:\\Docs\\plain.txt: no file can be created there")) << MountLog();

    ShOk("rmdir " + Quote(Mount("Docs/new")));
    EXPECT_EQ(Ok({"type", "K:\\Docs\\new"}), "not found\n");
    // rm of a mapped file deletes the real file.
    ShOk("rm " + Quote(Mount("Docs/a.txt")));
    EXPECT_NE(Sh("test -e " + Quote(Data("a.txt"))).code, 0);
}

TEST_F(Changes, AKorinChangeIsSeenByTheNextLs) {
    EXPECT_EQ(ShOk("ls " + Quote(Mount("Docs"))), "Dir\na.txt\n");
    ShOk("stat " + Quote(Mount("Docs/a.txt")) + " > /dev/null");
    Ok({"mv", "K:\\Docs\\a.txt", "renamed.txt"});
    EXPECT_EQ(ShOk("ls " + Quote(Mount("Docs"))), "Dir\nrenamed.txt\n");
    EXPECT_NE(Sh("stat " + Quote(Mount("Docs/a.txt"))).code, 0);
    Ok({"map", Data("b.txt"), "K:\\Docs\\b.txt"});
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/b.txt"))), "a somewhat longer file\n");
    Ok({"rm", "-r", "K:\\Docs"});
    EXPECT_NE(Sh("ls " + Quote(Mount("Docs"))).code, 0);
    EXPECT_EQ(ShOk("ls " + Quote(Mount())), "Other\n");
}

TEST_F(Changes, AHostRewriteReadsBackThroughTheDrive) {
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/a.txt"))), "hello\n");
    std::ofstream(Data("a.txt"), std::ios::binary | std::ios::trunc) << "HELLO\n";
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/a.txt"))), "HELLO\n");
    std::ofstream(Data("a.txt"), std::ios::binary | std::ios::trunc) << "hello again, longer\n";
    EXPECT_EQ(ShOk("cat " + Quote(Mount("Docs/a.txt"))), "hello again, longer\n");
}

}  // namespace
}  // namespace korin::fuse_e2e
