// The drive list read from a registry written as the driver writes its
// store: drives, their key and namespace paths, folders and mappings.

#include "common/drive_list.h"

#include "platform/registry/process_database.h"
#include "platform/win32/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

namespace korin::common_test {
namespace {

constexpr char16_t kDrive[] = u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive";

class DriveListTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "korin-drivelist-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ASSERT_EQ(registry::OpenDatabase(dir_ + "/registry.db"), STATUS_SUCCESS);
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDrive, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &drive_, nullptr),
                  ERROR_SUCCESS);
        const DWORD next = 4;
        SetValue(drive_, u"NextInstance", REG_DWORD, &next, sizeof next);
    }
    void TearDown() override {
        RegCloseKey(drive_);
        registry::CloseDatabase();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    void SetValue(HKEY key, const char16_t* name, DWORD type, const void* data, size_t size) {
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
                  ERROR_SUCCESS);
    }
    // A drive as the driver stores it: the record and the empty folder key.
    void StoreDrive(const char16_t* instance, char16_t letter, std::u16string_view name) {
        std::vector<BYTE> record(4 + name.size() * 2);
        const USHORT bytes = static_cast<USHORT>(name.size() * 2);
        std::memcpy(record.data(), &letter, 2);
        std::memcpy(record.data() + 2, &bytes, 2);
        std::memcpy(record.data() + 4, name.data(), bytes);
        SetValue(drive_, instance, REG_BINARY, record.data(), record.size());
        MakeKey(instance);
    }
    void MakeKey(std::u16string_view relative) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(drive_, std::u16string(relative).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void StoreMapping(std::u16string_view folder, const char16_t* name, std::u16string_view target) {
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(drive_, std::u16string(folder).c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
        SetValue(key, name, REG_SZ, std::u16string(target).c_str(), (target.size() + 1) * 2);
        RegCloseKey(key);
    }

    std::string dir_;
    HKEY drive_ = nullptr;
};

TEST_F(DriveListTest, OnlyNextInstanceMeansNoDrives) { EXPECT_TRUE(ListDrives().empty()); }

TEST_F(DriveListTest, MissingDriveKeyListsNothing) {
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDrive), ERROR_SUCCESS);
    EXPECT_TRUE(ListDrives().empty());
    EXPECT_TRUE(ListSubfolders(kDriveKeyPath + std::u16string(u"3\\"), u"K:\\").empty());
}

TEST_F(DriveListTest, DriveUnderInstanceThree) {
    StoreDrive(u"3", u'K', u"Work");
    const std::vector<DriveEntry> drives = ListDrives();
    ASSERT_EQ(drives.size(), 1u);
    const DriveEntry& drive = drives[0];
    EXPECT_EQ(drive.InstanceName, u"3");
    EXPECT_EQ(drive.Letter, u'K');
    EXPECT_EQ(drive.DisplayName, u"Work");
    EXPECT_EQ(drive.NamespacePath, u"K:\\");
    EXPECT_EQ(drive.KeyPath, u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\3\\");
    EXPECT_EQ(DriveLabel(drive), u"Work (K:)");
    EXPECT_EQ(ShellDriveLabel(drive), u"K: (Work)");
}

TEST_F(DriveListTest, FoldersAndMappingsWithTheirPaths) {
    StoreDrive(u"3", u'K', u"Work");
    MakeKey(u"3\\Docs");
    MakeKey(u"3\\Docs\\Sub");
    StoreMapping(u"3\\Docs", u"a.txt", u"C:\\a.txt");
    StoreMapping(u"3\\Docs", u"data", u"\\\\srv\\share\\data\\");
    const DriveEntry drive = ListDrives().at(0);
    EXPECT_TRUE(HasSubfolders(drive.KeyPath));

    const std::vector<FolderEntry> top = ListSubfolders(drive.KeyPath, drive.NamespacePath);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0].Name, u"Docs");
    EXPECT_EQ(top[0].KeyPath, u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive\\3\\Docs\\");
    EXPECT_EQ(top[0].NamespacePath, u"K:\\Docs\\");
    EXPECT_TRUE(HasSubfolders(top[0].KeyPath));

    const std::vector<FolderEntry> inner = ListSubfolders(top[0].KeyPath, top[0].NamespacePath);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].NamespacePath, u"K:\\Docs\\Sub\\");
    EXPECT_FALSE(HasSubfolders(inner[0].KeyPath));

    const std::vector<MappingEntry> mappings = ListMappings(top[0].KeyPath, top[0].NamespacePath);
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_EQ(mappings[0].Name, u"a.txt");
    EXPECT_EQ(mappings[0].Target, u"C:\\a.txt");
    EXPECT_EQ(mappings[0].NamespacePath, u"K:\\Docs\\a.txt");
    EXPECT_EQ(mappings[1].Target, u"\\\\srv\\share\\data\\");
    EXPECT_TRUE(ListMappings(drive.KeyPath, drive.NamespacePath).empty());
}

TEST_F(DriveListTest, NextInstanceIsSkippedOnlyUnderItsExactName) {
    // Value names ignore case in the registry: the other spelling replaces it.
    ASSERT_EQ(RegDeleteValueW(drive_, u"NextInstance"), ERROR_SUCCESS);
    StoreDrive(u"nextinstance", u'N', u"Odd");
    const std::vector<DriveEntry> drives = ListDrives();
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].InstanceName, u"nextinstance");
}

// A record exactly as long as the 200-byte buffer has no zero after its
// name; a longer one does not fit at all. Neither may read past the record
// or hide the drives after it.
TEST_F(DriveListTest, LongRecordsAreReadWholeAndHideNothing) {
    const std::u16string fills(98, u'f');   // 4 + 196 = 200 bytes
    const std::u16string longer(150, u'l');  // 304 bytes
    StoreDrive(u"0", u'F', fills);
    StoreDrive(u"1", u'L', longer);
    StoreDrive(u"2", u'K', u"Work");
    const std::vector<DriveEntry> drives = ListDrives();
    ASSERT_EQ(drives.size(), 3u);
    EXPECT_EQ(drives[0].DisplayName, fills);
    EXPECT_EQ(drives[1].DisplayName, longer);
    EXPECT_EQ(drives[2].DisplayName, u"Work");
}

TEST_F(DriveListTest, NameEndsAtTheFirstZeroUnit) {
    const BYTE record[] = {'K', 0, 10, 0, 'W', 0, 0, 0, 'x', 0};
    SetValue(drive_, u"5", REG_BINARY, record, sizeof record);
    EXPECT_EQ(ListDrives().at(0).DisplayName, u"W");
}

}  // namespace
}  // namespace korin::common_test
