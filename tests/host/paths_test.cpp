// Win32 paths <-> host paths through the host drive table, the table in the
// registry, and GetModuleFileNameW.
#include "platform/registry/process_database.h"
#include "platform/win32/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>

namespace korin::win32 {
namespace {

HostDriveTable Table() {
    HostDriveTable t;
    t.letters = {{u'C', "/"}, {u'D', "/srv/data"}, {u'E', "/srv/data/deep"}, {u'F', "/srv/data"}};
    t.uncRoot = "/net";
    return t;
}

TEST(Win32ToHost, PathsOfTheMachineReachTheirHostDirectories) {
    struct Case {
        std::u16string win32;
        std::optional<std::string> host;
    };
    const Case cases[] = {
        {u"C:\\", "/"},
        {u"C:\\etc\\hosts", "/etc/hosts"},
        {u"c:/etc/hosts", "/etc/hosts"},
        {u"D:\\a\\b.txt", "/srv/data/a/b.txt"},
        {u"D:\\", "/srv/data"},
        {u"D:\\a\\\\b\\.\\c\\", "/srv/data/a/b/c"},
        // ".." stops at the drive's root, as Win32 resolves it: never above the letter's directory.
        {u"D:\\..\\..\\etc\\passwd", "/srv/data/etc/passwd"},
        {u"D:\\a\\..\\b", "/srv/data/b"},
        {u"\\\\?\\D:\\x", "/srv/data/x"},
        {u"\\??\\D:\\x", "/srv/data/x"},
        {u"\\\\.\\D:\\x", "/srv/data/x"},
        {u"\\\\server\\share\\dir\\f", "/net/server/share/dir/f"},
        {u"\\\\server\\share", "/net/server/share"},
        {u"\\\\server\\share\\..\\..\\x", "/net/server/share/x"},
        {u"\\\\?\\UNC\\server\\share\\f", "/net/server/share/f"},
        {u"\\??\\UNC\\server\\share\\f", "/net/server/share/f"},
        {u"D:\\caf\u00e9", "/srv/data/caf\xc3\xa9"},
        // Not paths of this machine.
        {u"Z:\\x", std::nullopt},
        {u"D:x", std::nullopt},
        {u"D:", std::nullopt},
        {u"relative\\x", std::nullopt},
        {u"\\rooted", std::nullopt},
        {u"\\\\server", std::nullopt},
        {u"\\\\..\\share\\x", std::nullopt},
        {u"\\\\.\\KRDriver", std::nullopt},
        {u"D:\\bad\xD800", std::nullopt},
        {std::u16string(u"D:\\nul\0x", 8), std::nullopt},
        {u"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(Win32PathToHostPath(c.win32, Table()), c.host) << std::string(c.win32.begin(), c.win32.end());
}

TEST(Win32ToHost, UncPathsNeedAUncRoot) {
    HostDriveTable t = Table();
    t.uncRoot.reset();
    EXPECT_EQ(Win32PathToHostPath(u"\\\\server\\share\\f", t), std::nullopt);
    EXPECT_EQ(Win32PathToHostPath(u"C:\\f", t), "/f");
}

TEST(HostToWin32, TheClosestLetterOrTheUncRootNamesAHostPath) {
    struct Case {
        std::string host;
        std::optional<std::u16string> win32;
    };
    const Case cases[] = {
        {"/", u"C:\\"},
        {"/etc/hosts", u"C:\\etc\\hosts"},
        {"/srv/data", u"D:\\"},  // D and F serve the same directory: the earlier letter
        {"/srv/data/a/b", u"D:\\a\\b"},
        {"/srv/data/deep/x", u"E:\\x"},
        {"/srv/database", u"C:\\srv\\database"},  // a prefix of a name is not a parent
        {"/srv//data/./a/../b", u"D:\\b"},
        {"/net/server/share/f", u"\\\\server\\share\\f"},
        {"/net/server/share", u"\\\\server\\share"},
        {"/net/server", u"C:\\net\\server"},  // no share: not a UNC path
        {"/srv/data/caf\xc3\xa9", u"D:\\caf\u00e9"},
        {"/srv/data/back\\slash", std::nullopt},
        {"/srv/data/\xff", std::nullopt},
        {"relative/x", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(HostPathToWin32Path(c.host, Table()), c.win32) << c.host;
}

TEST(HostToWin32, APathNoLetterReachesHasNoWin32Name) {
    HostDriveTable t;
    t.letters = {{u'D', "/srv/data"}};
    EXPECT_EQ(HostPathToWin32Path("/etc/hosts", t), std::nullopt);
    EXPECT_EQ(HostPathToWin32Path("/srv/data/x", t), u"D:\\x");
}

TEST(Utf, ConversionsRefuseInvalidText) {
    EXPECT_EQ(Utf8ToUtf16("a\xf0\x9f\x98\x80"), std::u16string(u"a\U0001F600"));
    EXPECT_EQ(Utf16ToUtf8(u"a\U0001F600"), "a\xf0\x9f\x98\x80");
    for (const char* bad : {"\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xc3", "\x80"})
        EXPECT_EQ(Utf8ToUtf16(bad), std::nullopt) << bad;
    EXPECT_EQ(Utf16ToUtf8(u"\xDC00"), std::nullopt);
    EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), std::nullopt);
}

// The table in a registry of its own.
class HostDriveRegistry : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("korin-paths-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ASSERT_EQ(registry::OpenDatabase((dir_ / "registry.db").string()), STATUS_SUCCESS);
    }
    void TearDown() override {
        registry::CloseDatabase();
        std::filesystem::remove_all(dir_);
    }
    std::filesystem::path dir_;
};

TEST_F(HostDriveRegistry, WithoutATableCIsTheRoot) {
    HostDriveTable defaults;
    EXPECT_EQ(LoadHostDriveTable(), defaults);
    EXPECT_EQ(defaults.letters.at(u'C'), "/");
    EXPECT_FALSE(defaults.uncRoot);
}

TEST_F(HostDriveRegistry, AStoredTableIsWhatEveryoneLoads) {
    HostDriveTable t = Table();
    t.mountRoot = "/home/u/.local/share/korin/mnt";
    ASSERT_EQ(StoreHostDriveTable(t), STATUS_SUCCESS);
    EXPECT_EQ(LoadHostDriveTable(), t);

    // A later boot with fewer letters and no UNC root leaves nothing of the earlier one.
    HostDriveTable smaller;
    smaller.letters = {{u'T', "/tmp"}};
    ASSERT_EQ(StoreHostDriveTable(smaller), STATUS_SUCCESS);
    EXPECT_EQ(LoadHostDriveTable(), smaller);
    EXPECT_EQ(Win32PathToHostPath(u"T:\\x"), "/tmp/x");
    EXPECT_EQ(Win32PathToHostPath(u"C:\\x"), std::nullopt);
}

TEST_F(HostDriveRegistry, GetModuleFileNameNamesThisExecutable) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self);
    ASSERT_GT(n, 0);
    auto expected = HostPathToWin32Path(std::string(self, n), HostDriveTable{});
    ASSERT_TRUE(expected);

    WCHAR buffer[MAX_PATH * 4];
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    ASSERT_EQ(length, expected->size());
    EXPECT_EQ(std::u16string(buffer), *expected);
    EXPECT_EQ(buffer[0], u'C');

    // Too small: cut, NUL-terminated, nSize returned, ERROR_INSUFFICIENT_BUFFER.
    WCHAR small[8];
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 8), 8u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(small), expected->substr(0, 7));

    EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(0x1000), buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    // With no letter reaching the executable there is no Win32 name for it.
    HostDriveTable none;
    none.letters = {{u'Q', "/nonexistent-korin-dir"}};
    ASSERT_EQ(StoreHostDriveTable(none), STATUS_SUCCESS);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, MAX_PATH), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
}  // namespace korin::win32
