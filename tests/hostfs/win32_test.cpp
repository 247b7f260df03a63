// The host drives as programs see them through the Win32 file calls.
#include "fixture.h"

#include "platform/win32/files.h"

#include <sys/stat.h>

#include <algorithm>

namespace korin::hostfs::test {
namespace {

using Win32Test = HostFsTest;

HANDLE CreateW(const char16_t* name, DWORD access, DWORD disposition, DWORD flags = 0) {
    return CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       flags, nullptr);
}

std::vector<std::u16string> FindAll(const char16_t* pattern, DWORD* error) {
    std::vector<std::u16string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern, &data);
    *error = find == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        names.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    *error = GetLastError();
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(Win32Test, CreateWriteReadWithoutCase) {
    MakeHostDirectory("Docs");
    HANDLE file = CreateW(u"T:\\Docs\\Plan.TXT", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, "the plan", 8, &written, nullptr));
    EXPECT_EQ(written, 8u);
    ASSERT_TRUE(CloseHandle(file));
    EXPECT_EQ(ReadHostFile("Docs/Plan.TXT"), "the plan");

    file = CreateW(u"t:\\docs\\plan.txt", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    char buffer[32];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "the plan");
    ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &read, nullptr));
    EXPECT_EQ(read, 0u);  // the end of the file
    ASSERT_TRUE(CloseHandle(file));
}

TEST_F(Win32Test, ErrorsOfOpens) {
    WriteHostFile("there.txt", "x");
    const struct {
        const char16_t* name;
        DWORD disposition;
        DWORD error;
    } cases[] = {
        {u"T:\\there.txt", CREATE_NEW, ERROR_FILE_EXISTS},
        {u"T:\\absent.txt", OPEN_EXISTING, ERROR_FILE_NOT_FOUND},
        {u"T:\\absent\\x.txt", OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        {u"\\\\server\\share\\a.doc", OPEN_EXISTING, ERROR_BAD_NETPATH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        HANDLE file = CreateW(c.name, GENERIC_READ, c.disposition);
        EXPECT_EQ(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
}

TEST_F(Win32Test, MovesAndDeletes) {
    WriteHostFile("a.txt", "a");
    WriteHostFile("B.txt", "b");
    EXPECT_FALSE(MoveFileW(u"T:\\a.txt", u"T:\\b.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadHostFile("B.txt"), "b");
    ASSERT_TRUE(MoveFileExW(u"T:\\a.txt", u"T:\\b.txt", MOVEFILE_REPLACE_EXISTING)) << GetLastError();
    EXPECT_FALSE(HostExists("a.txt"));
    EXPECT_EQ(ReadHostFile("b.txt"), "a");

    ASSERT_TRUE(CreateDirectoryW(u"T:\\dir", nullptr));
    ASSERT_TRUE(MoveFileW(u"T:\\b.txt", u"T:\\DIR\\moved.txt")) << GetLastError();
    EXPECT_FALSE(RemoveDirectoryW(u"T:\\dir"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    ASSERT_TRUE(DeleteFileW(u"T:\\dir\\MOVED.TXT")) << GetLastError();
    EXPECT_FALSE(HostExists("dir/moved.txt"));
    ASSERT_TRUE(RemoveDirectoryW(u"T:\\dir")) << GetLastError();
    EXPECT_FALSE(HostExists("dir"));
    EXPECT_FALSE(DeleteFileW(u"T:\\dir"));
}

TEST_F(Win32Test, ListingsAndAttributes) {
    MakeHostDirectory("list");
    for (const char* name : {"a.txt", "B.TXT", "readme", ".hidden"}) WriteHostFile(std::string("list/") + name, "x");
    ASSERT_EQ(chmod(Host("list/readme").c_str(), 0444), 0);
    MakeHostDirectory("list/sub");
    DWORD error;
    EXPECT_EQ(FindAll(u"T:\\list\\*.txt", &error), (std::vector<std::u16string>{u"B.TXT", u"a.txt"}));
    EXPECT_EQ(error, ERROR_NO_MORE_FILES);
    EXPECT_EQ(FindAll(u"T:\\LIST\\*.*", &error),
              (std::vector<std::u16string>{u".", u"..", u".hidden", u"B.TXT", u"a.txt", u"readme", u"sub"}));
    EXPECT_TRUE(FindAll(u"T:\\list\\*.none", &error).empty());
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

    EXPECT_EQ(GetFileAttributesW(u"T:\\list\\readme"), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(GetFileAttributesW(u"T:\\list\\.hidden"), FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(GetFileAttributesW(u"T:\\list\\sub"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(u"T:\\list\\absent"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Win32Test, VolumeInformation) {
    WCHAR fileSystem[16] = {};
    DWORD serial = 0, maximumComponent = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(u"T:\\", nullptr, 0, &serial, &maximumComponent, &flags, fileSystem, 16))
        << GetLastError();
    EXPECT_EQ(std::u16string(fileSystem), u"hostfs");
    EXPECT_EQ(maximumComponent, 255u);
    EXPECT_EQ(flags & FILE_CASE_SENSITIVE_SEARCH, 0u);
}

}  // namespace
}  // namespace korin::hostfs::test
