// The korin commands against a running korin-host: set-up, drives, folders
// and mappings with their collisions, listings through the drive, and the
// registry as reg.exe would show it.

#include "cli_fixture.h"

#include <algorithm>
#include <filesystem>

namespace korin::cli_test {
namespace {

using Commands = CliTest;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Commands, SetUpTwiceAndTheStoreItMakes) {
    EXPECT_TRUE(Contains(Ok({"setup"}), "registered and started"));
    EXPECT_TRUE(Contains(Ok({"setup"}), "already registered and already running"));
    const std::string reg = Ok({"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KRDriver"});
    EXPECT_TRUE(Contains(reg, "\nHKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\n")) << reg;
    EXPECT_TRUE(Contains(reg, "    Type    REG_DWORD    0x2\n")) << reg;
    EXPECT_TRUE(Contains(reg, "    Start    REG_DWORD    0x2\n")) << reg;
    EXPECT_TRUE(Contains(reg, "    ErrorControl    REG_DWORD    0x1\n")) << reg;
    EXPECT_TRUE(Contains(reg, "    DisplayName    REG_SZ    Korin Driver\n")) << reg;
    EXPECT_TRUE(Contains(reg, "    Group    REG_SZ    File System\n")) << reg;
    EXPECT_TRUE(Contains(reg, "\\KRDriver.sys\n")) << reg;
    EXPECT_TRUE(Contains(reg, "KRDriver\\Drive\n    NextInstance    REG_DWORD    0x0\n")) << reg;
    EXPECT_EQ(Ok({"drives"}), "");
}

TEST_F(Commands, DriveLifecycle) {
    SetUpDrive();
    EXPECT_EQ(Ok({"drives"}), "K:\\  Work\n");
    Outcome again = Korin({"drive", "create", "k:", "Again"});
    EXPECT_EQ(again.code, 1);
    EXPECT_TRUE(Contains(again.err, "K: is in use")) << again.err;
    Outcome host = Korin({"drive", "create", "T", "Clash"});  // a host drive letter
    EXPECT_EQ(host.code, 1);
    EXPECT_TRUE(Contains(host.err, "T: is in use")) << host.err;

    Ok({"mkdir", "K:\\Docs"});
    Ok({"drive", "rename", "K:", "Home"});
    EXPECT_EQ(Ok({"drives"}), "K:\\  Home\n");
    Ok({"drive", "move", "K", "M"});
    EXPECT_EQ(Ok({"drives"}), "M:\\  Home\n");
    EXPECT_EQ(Ok({"type", "M:\\Docs"}), "folder\n");
    EXPECT_EQ(Ok({"type", "K:\\Docs"}), "none\n");
    EXPECT_TRUE(Contains(Ok({"ls", "M:\\"}), " Docs\n"));

    Outcome missing = Korin({"drive", "delete", "Q"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_TRUE(Contains(missing.err, "no virtual drive Q:")) << missing.err;
    Ok({"drive", "delete", "M"});
    EXPECT_EQ(Ok({"drives"}), "");
    EXPECT_EQ(Ok({"type", "M:\\"}), "none\n");
    // The letter is free again, and the new drive gets the next instance.
    Ok({"drive", "create", "M", "Fresh"});
    const std::string reg = Ok({"reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive"});
    EXPECT_TRUE(Contains(reg, "\n    1    REG_BINARY    4D000A0046007200650073006800\n")) << reg;
    EXPECT_FALSE(Contains(reg, "\n    0    REG_BINARY")) << reg;
    EXPECT_EQ(Ok({"type", "M:\\Docs"}), "not found\n");
}

TEST_F(Commands, FoldersAndMappingsWithTheirCollisions) {
    SetUpDrive();
    Ok({"mkdir", "K:\\Docs"});
    Outcome twice = Korin({"mkdir", "K:/docs"});
    EXPECT_EQ(twice.code, 1);
    EXPECT_TRUE(Contains(twice.err, "already exists")) << twice.err;
    Outcome noParent = Korin({"mkdir", "K:\\No\\Sub"});
    EXPECT_EQ(noParent.code, 1);
    EXPECT_TRUE(Contains(noParent.err, "its folder does not exist")) << noParent.err;
    Outcome badName = Korin({"mkdir", "K:\\a*b"});
    EXPECT_EQ(badName.code, 1);

    // A Linux path, turned into its Win32 form; into a folder under its own name.
    EXPECT_EQ(Ok({"map", data_ + "/a.txt", "K:\\Docs\\"}), "K:\\Docs\\a.txt -> T:\\a.txt\n");
    // A Win32 folder path gets its trailing backslash.
    EXPECT_EQ(Ok({"map", "T:\\dir", "K:\\Docs\\folder"}), "K:\\Docs\\folder -> T:\\dir\\\n");
    EXPECT_EQ(Ok({"map", data_ + "/dir/", "K:\\"}), "K:\\dir -> T:\\dir\\\n");
    Outcome taken = Korin({"map", "T:\\b.txt", "K:\\Docs\\A.TXT"});
    EXPECT_EQ(taken.code, 1);
    EXPECT_TRUE(Contains(taken.err, "already exists")) << taken.err;
    Outcome nowhere = Korin({"map", data_ + "/missing.txt", "K:\\Docs\\"});
    EXPECT_EQ(nowhere.code, 1);
    Outcome virtualSource = Korin({"map", "K:\\Docs\\a.txt", "K:\\again.txt"});
    EXPECT_EQ(virtualSource.code, 1);
    EXPECT_TRUE(Contains(virtualSource.err, "on a virtual drive")) << virtualSource.err;

    EXPECT_EQ(Ok({"type", "K:\\Docs\\a.txt"}), "file mapping\n");
    EXPECT_EQ(Ok({"type", "k:\\docs\\FOLDER"}), "folder mapping\n");
    EXPECT_EQ(Ok({"type", "K:\\"}), "drive root\n");
    EXPECT_EQ(Ok({"type", "K:\\nothing"}), "not found\n");
    EXPECT_EQ(Ok({"type", "\\\\srv\\share\\x.txt"}), "none\n");

    // Renames: case only collides; a sibling's name collides.
    Outcome caseOnly = Korin({"mv", "K:\\Docs\\a.txt", "A.TXT"});
    EXPECT_EQ(caseOnly.code, 1);
    EXPECT_TRUE(Contains(caseOnly.err, "already exists")) << caseOnly.err;
    Outcome sibling = Korin({"mv", "K:\\Docs\\a.txt", "folder"});
    EXPECT_EQ(sibling.code, 1);
    Ok({"mv", "K:\\Docs\\a.txt", "renamed.txt"});
    Ok({"mv", "K:\\Docs\\", "Papers"});
    EXPECT_EQ(Ok({"type", "K:\\Papers\\renamed.txt"}), "file mapping\n");
    Outcome root = Korin({"mv", "K:\\", "x"});
    EXPECT_EQ(root.code, 1);
    EXPECT_TRUE(Contains(root.err, "drive root")) << root.err;

    // Deletes: a full folder needs -r; a mapping never takes its target along.
    Outcome full = Korin({"rm", "K:\\Papers"});
    EXPECT_EQ(full.code, 1);
    EXPECT_TRUE(Contains(full.err, "not empty")) << full.err;
    Ok({"rm", "K:\\Papers\\renamed.txt"});
    EXPECT_TRUE(std::filesystem::exists(data_ + "/a.txt"));
    Ok({"rm", "-r", "K:\\Papers"});
    EXPECT_EQ(Ok({"type", "K:\\Papers"}), "not found\n");
    Outcome gone = Korin({"rm", "K:\\Papers"});
    EXPECT_EQ(gone.code, 1);
    EXPECT_TRUE(Contains(gone.err, "no such folder or mapping")) << gone.err;
    Ok({"mkdir", "K:\\Empty"});
    Ok({"rm", "K:\\Empty\\"});
}

TEST_F(Commands, ListingsShowTheTargetsThroughTheDrive) {
    SetUpDrive();
    Ok({"mkdir", "K:\\Docs"});
    Ok({"map", "T:\\a.txt", "K:\\Docs\\first.txt"});
    Ok({"map", "T:\\b.txt", "K:\\Docs\\second.log"});
    Ok({"map", "T:\\dir", "K:\\Docs\\folder"});
    const std::string all = Ok({"ls", "K:\\Docs"});
    EXPECT_TRUE(Contains(all, "            6 ")) << all;  // "hello\n"
    EXPECT_TRUE(Contains(all, " first.txt\n")) << all;
    EXPECT_TRUE(Contains(all, "           23 ")) << all;
    EXPECT_TRUE(Contains(all, " second.log\n")) << all;
    EXPECT_TRUE(Contains(all, "\nd----")) << all;
    EXPECT_TRUE(Contains(all, " folder\n")) << all;
    const std::string texts = Ok({"ls", "K:\\Docs", "*.txt"});
    EXPECT_TRUE(Contains(texts, " first.txt\n")) << texts;
    EXPECT_FALSE(Contains(texts, "second.log")) << texts;
    // "." and ".." are not held to the pattern.
    const std::string none = Ok({"ls", "K:\\Docs", "*.none"});
    EXPECT_TRUE(Contains(none, " .\n") && Contains(none, " ..\n")) << none;
    EXPECT_EQ(std::count(none.begin(), none.end(), '\n'), 2) << none;
    // Through a folder mapping, the real folder's contents.
    EXPECT_TRUE(Contains(Ok({"ls", "K:\\Docs\\folder"}), " inner.txt\n"));
    Outcome missing = Korin({"ls", "K:\\Nothing"});
    EXPECT_EQ(missing.code, 1);
}

TEST_F(Commands, RegistryQueryWritesKeysAndValuesAsRegDoes) {
    SetUpDrive();
    Ok({"mkdir", "K:\\Docs"});
    Ok({"map", "T:\\a.txt", "K:\\Docs\\a.txt"});
    const std::string reg =
        Ok({"reg", "query", "hklm/SYSTEM/CurrentControlSet/Services/KRDriver/Drive/"});
    EXPECT_EQ(reg,
              "\n"
              "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\n"
              "    NextInstance    REG_DWORD    0x1\n"
              "    0    REG_BINARY    4B00080057006F0072006B00\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\0\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\0\\Docs\n"
              "    a.txt    REG_SZ    T:\\a.txt\n"
              "\n");
    Outcome missing = Korin({"reg", "query", "HKLM\\SOFTWARE\\Nothing"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_EQ(missing.err, "ERROR: The system was unable to find the specified registry key or value.\n");
}

TEST_F(Commands, UsageErrorsAndHelp) {
    const struct {
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {{}, 2},
        {{"--help"}, 0},
        {{"nothing"}, 2},
        {{"--bogus"}, 2},
        {{"drive"}, 2},
        {{"drive", "--help"}, 0},
        {{"drive", "explode"}, 2},
        {{"drive", "create", "K"}, 2},
        {{"drive", "create", "1", "Work"}, 2},
        {{"drive", "create", "KK", "Work"}, 2},
        {{"drive", "move", "K", "K"}, 2},
        {{"mkdir"}, 2},
        {{"mkdir", "relative\\path"}, 2},
        {{"map", "T:\\a.txt"}, 2},
        {{"mv", "K:\\a", "b\\c"}, 2},
        {{"rm"}, 2},
        {{"ls"}, 2},
        {{"reg", "query", "HKXX\\a"}, 2},
        {{"host", "stop", "now"}, 2},
        {{"setup", "extra"}, 2},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const std::string& arg : c.args) shown += arg + " ";
        Outcome run = Korin(c.args);
        EXPECT_EQ(run.code, c.code) << shown << "\n" << run.err;
        if (c.code == 2) {
            EXPECT_TRUE(Contains(run.err, "usage: korin")) << shown << "\n" << run.err;
        }
    }
    for (const char* command : {"setup", "drives", "ls", "map", "mkdir", "rm", "mv", "type"}) {
        Outcome run = Korin({command, "--help"});
        EXPECT_EQ(run.code, 0) << command;
        EXPECT_EQ(run.out.rfind(std::string("usage: korin ") + command, 0), 0u) << run.out;
    }
    for (const char* sub : {"create", "delete", "rename", "move"}) {
        EXPECT_EQ(Korin({"drive", sub, "--help"}).code, 0) << sub;
    }
    for (const char* sub : {"start", "stop", "status"}) EXPECT_EQ(Korin({"host", sub, "--help"}).code, 0) << sub;
    EXPECT_EQ(Korin({"reg", "query", "--help"}).code, 0);
}

TEST_F(Commands, WithoutAHostTheCommandsSaySo) {
    StopHost();
    Outcome status = Korin({"host", "status"});
    EXPECT_EQ(status.code, 1);
    EXPECT_TRUE(Contains(status.out, "not running")) << status.out;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"mkdir", "K:\\x"}, {"setup"}, {"drive", "create", "K", "Work"}}) {
        Outcome run = Korin(args);
        EXPECT_EQ(run.code, 1) << args[0];
        EXPECT_TRUE(Contains(run.err, "korin-host is not running")) << run.err;
    }
    EXPECT_EQ(Ok({"drives"}), "");  // the store can be read without a host
}

}  // namespace
}  // namespace korin::cli_test
