// The driver client and the drive list against the real KRDriver, started
// in this process on a temporary registry.

#include "common/drive_list.h"
#include "common/driver_client.h"
#include "driver/drive.h"

#include "platform/nt/ob.h"
#include "platform/registry/process_database.h"
#include "platform/win32/files.h"
#include "platform/win32/registry.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace korin::common_test {
namespace {

class ClientWithDriver : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "korin-client-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        ASSERT_EQ(registry::OpenDatabase(dir_ + "/registry.db"), STATUS_SUCCESS);
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive", 0,
                                  nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const DWORD next = 12;
        RegSetValueExW(key, u"NextInstance", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&next), sizeof next);
        RegCloseKey(key);
        ob::ResetNamespace();
        ASSERT_EQ(io::StartBuiltinDriver(DriverEntry, u"KRDriver", 2, &driver_), STATUS_SUCCESS);
        client_.Handle = OpenControlDevice();
        ASSERT_NE(client_.Handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (client_.Handle != INVALID_HANDLE_VALUE) CloseHandle(client_.Handle);
        if (driver_) io::UnloadDriver(driver_);
        ob::ResetNamespace();
        registry::CloseDatabase();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::string dir_;
    PDRIVER_OBJECT driver_ = nullptr;
    DriverClient client_;
};

TEST_F(ClientWithDriver, DriveOfInstanceTwelveAndItsListing) {
    EXPECT_TRUE(client_.LastName.empty());
    ASSERT_EQ(CreateDrive(client_.Handle, u'K', u"Work"), STATUS_SUCCESS);
    const std::u16string device = GetDriveDeviceName(client_.Handle, u'k');
    EXPECT_EQ(device, u"\\Device\\KTDrive12");
    EXPECT_EQ(device.size(), 17u);
    ASSERT_EQ(CreateFolder(client_.Handle, u"K:\\Docs"), STATUS_SUCCESS);
    EXPECT_EQ(CreateFolder(client_.Handle, u"K:\\docs"), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_EQ(CreateMapping(client_.Handle, u"K:\\Docs\\a.txt", u"C:\\a.txt"), STATUS_SUCCESS);

    const std::vector<DriveEntry> drives = ListDrives();
    ASSERT_EQ(drives.size(), 1u);
    EXPECT_EQ(drives[0].InstanceName, u"12");
    EXPECT_EQ(DriveLabel(drives[0]), u"Work (K:)");
    const std::vector<FolderEntry> folders = ListSubfolders(drives[0].KeyPath, drives[0].NamespacePath);
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_EQ(folders[0].NamespacePath, u"K:\\Docs\\");
    const std::vector<MappingEntry> mappings = ListMappings(folders[0].KeyPath, folders[0].NamespacePath);
    ASSERT_EQ(mappings.size(), 1u);
    EXPECT_EQ(mappings[0].Target, u"C:\\a.txt");
    EXPECT_EQ(QueryItemType(client_.Handle, mappings[0].NamespacePath), ItemFileMapping);

    // A deleted drive is gone from the next listing.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    DeleteDrive(client_.Handle, u'K', &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(ListDrives().empty());
}

TEST_F(ClientWithDriver, MissingThingsGiveTheDesignedAnswers) {
    EXPECT_EQ(QueryItemType(client_.Handle, u"Q:\\x"), ItemNone);
    ASSERT_EQ(CreateDrive(client_.Handle, u'K', u"Work"), STATUS_SUCCESS);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(DeleteMapping(client_.Handle, u"K:\\missing.txt", &status), 1);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RenameMapping(client_.Handle, u"K:\\missing.txt", u"b"), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetDriveName(client_.Handle, u"Q:", u"x"), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(SetDriveName(client_.Handle, u"K:\\", u"Home"), STATUS_SUCCESS);
    EXPECT_EQ(ListDrives().at(0).DisplayName, u"Home");
    ChangeDriveLetter(client_.Handle, u'K', u'M', &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(ListDrives().at(0).NamespacePath, u"M:\\");
}

}  // namespace
}  // namespace korin::common_test
