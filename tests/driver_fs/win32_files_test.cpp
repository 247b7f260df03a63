// The virtual drive as programs see it through the Win32 file calls: reading
// a real file through a mapping, folder attributes, directory creation,
// renames, deletion, listings and the volume's label.
#include "drive_fixture.h"

#include "platform/nt/pool.h"
#include "platform/win32/files.h"

#include <filesystem>

namespace korin::drivertest {
namespace {

class Win32FilesTest : public DriveTest {};

TEST_F(Win32FilesTest, ReadThroughAMappedFolderReadsTheRealFile) {
    MakeHostDirectory("Work/Docs");
    WriteHostFile("Work/Docs/plan.txt", "the real plan");
    AddMapping(u"Docs", u"H:\\Work\\Docs\\");

    HANDLE file = CreateFileW(u"X:\\Docs\\plan.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    char buffer[64] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "the real plan");
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(pool::LiveBlocks("Qnfn"), 0u);
}

TEST_F(Win32FilesTest, DeleteThroughAFileMappingDeletesTheRealFile) {
    WriteHostFile("m.txt", "x");
    AddMapping(u"M", u"H:\\m.txt");
    EXPECT_TRUE(DeleteFileW(u"X:\\M")) << GetLastError();
    EXPECT_FALSE(std::filesystem::exists(HostPath("m.txt")));
    EXPECT_NE(Find(u"M"), nullptr) << "the mapping itself stays";
}

TEST_F(Win32FilesTest, FoldersAndTheRootAreDirectories) {
    AddFolder(u"Docs");
    EXPECT_EQ(GetFileAttributesW(u"X:\\Docs"), 0x90u);
    EXPECT_EQ(GetFileAttributesW(u"X:\\"), 0x90u);
    EXPECT_EQ(GetFileAttributesW(u"X:\\Missing"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Win32FilesTest, CreateAndRemoveDirectory) {
    ASSERT_TRUE(CreateDirectoryW(u"X:\\d1", nullptr)) << GetLastError();
    EXPECT_TRUE(StoreKeyExists(u"d1"));
    EXPECT_TRUE(RemoveDirectoryW(u"X:\\d1")) << GetLastError();
    EXPECT_EQ(Find(u"d1"), nullptr);
    EXPECT_FALSE(StoreKeyExists(u"d1"));

    AddMapping(u"holder\\m", u"H:\\m.txt");
    EXPECT_FALSE(RemoveDirectoryW(u"X:\\holder"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(RemoveDirectoryW(u"X:\\"));
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
}

TEST_F(Win32FilesTest, MoveFileRenamesWithinAFolderOnly) {
    AddFolder(u"a\\old");
    AddFolder(u"b");
    EXPECT_FALSE(MoveFileW(u"X:\\a\\old", u"X:\\b\\old"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(MoveFileW(u"X:\\a\\old", u"X:\\a\\OLD"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MoveFileW(u"X:\\a\\old", u"X:\\a\\new")) << GetLastError();
    EXPECT_NE(Find(u"a\\new"), nullptr);
    EXPECT_TRUE(StoreKeyExists(u"a\\new"));
    EXPECT_FALSE(StoreKeyExists(u"a\\old"));
}

TEST_F(Win32FilesTest, FindFilesListsFoldersAndMappingsWithTheTargetsFacts) {
    WriteHostFile("b.txt", "twelve bytes");
    AddFolder(u"F\\a");
    AddMapping(u"F\\b.txt", u"H:\\b.txt");
    AddMapping(u"F\\c", u"H:\\nothing-here\\");
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(u"X:\\F\\*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE) << GetLastError();
    std::vector<std::u16string> names;
    do {
        names.emplace_back(data.cFileName);
        if (names.back() == u"b.txt") {
            EXPECT_EQ(data.nFileSizeLow, 12u);
            EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
        }
        if (names.back() == u"a") {
            EXPECT_EQ(data.dwFileAttributes, 0x90u);
        }
    } while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(find));
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"a", u"b.txt"}));

    find = FindFirstFileW(u"X:\\F\\*.txt", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    names.clear();
    do {
        names.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"b.txt"}));
}

TEST_F(Win32FilesTest, VolumeInformationGivesTheDriveNameAndKorin) {
    WCHAR label[64] = {};
    WCHAR fileSystem[64] = {};
    DWORD serial = 1, component = 0, flags = 0;
    ASSERT_TRUE(GetVolumeInformationW(u"X:\\", label, 64, &serial, &component, &flags, fileSystem, 64))
        << GetLastError();
    EXPECT_EQ(std::u16string(label), u"Projects");
    EXPECT_EQ(std::u16string(fileSystem), u"Korin");
    EXPECT_EQ(serial, 0u);
    EXPECT_EQ(component, 512u);
    EXPECT_EQ(flags, 7u);
}

}  // namespace
}  // namespace korin::drivertest
