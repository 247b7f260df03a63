// Volumes: devices and links per host drive letter, configuration changes
// while running, UNC with and without a root, volume information.
#include "fixture.h"

#include "platform/nt/ob.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstring>
#include <filesystem>

namespace korin::hostfs::test {
namespace {

using VolumeTest = HostFsTest;

TEST_F(VolumeTest, LettersLinkToHostVolumes) {
    EXPECT_EQ(korin::ob::QueryLinkTargets(u"\\??\\T:"), std::vector<std::u16string>{u"\\Device\\HostVolumeT"});
    EXPECT_EQ(korin::ob::QueryLinkTargets(u"\\??\\C:"), std::vector<std::u16string>{u"\\Device\\HostVolumeC"});
    EXPECT_EQ(korin::ob::QueryLinkTargets(u"\\??\\UNC"), std::vector<std::u16string>{u"\\Device\\Mup"});
    for (const char16_t* path : {u"\\??\\T:", u"\\??\\C:", u"\\??\\UNC"}) {
        SCOPED_TRACE(Narrow(path));
        PDEVICE_OBJECT device = nullptr;
        std::u16string remainder;
        ASSERT_EQ(korin::ob::ParsePath(path, &device, &remainder), STATUS_SUCCESS);
        EXPECT_TRUE(IsHostVolume(device));
        EXPECT_EQ(device->DeviceType, std::u16string(path) == u"\\??\\UNC" ? FILE_DEVICE_NETWORK_FILE_SYSTEM
                                                                         : FILE_DEVICE_DISK_FILE_SYSTEM);
    }
    EXPECT_FALSE(IsHostVolume(nullptr));

    // C: is the host's "/".
    std::u16string hostRoot(root_.begin(), root_.end());
    for (auto& c : hostRoot) c = c == u'/' ? u'\\' : c;
    Handle h;
    ASSERT_EQ(Open(u"\\??\\C:" + hostRoot, &h), STATUS_SUCCESS);
    EXPECT_EQ(QueryName(h.get()), hostRoot);
}

TEST_F(VolumeTest, ReconfigureWhileRunning) {
    char other[] = "/tmp/korin-hostfs-other-XXXXXX";
    ASSERT_NE(mkdtemp(other), nullptr);
    WriteHostFile("in-t.txt", "t");
    Handle held;
    ASSERT_EQ(Open(T(u"in-t.txt"), &held), STATUS_SUCCESS);

    Configuration configuration;
    configuration.Drives = {{u'c', "/"}, {u'U', std::string(other) + "/"}};
    ASSERT_EQ(Configure(configuration), STATUS_SUCCESS);
    EXPECT_TRUE(korin::ob::QueryLinkTargets(u"\\??\\T:").empty());
    EXPECT_EQ(korin::ob::QueryLinkTargets(u"\\??\\U:"), std::vector<std::u16string>{u"\\Device\\HostVolumeU"});
    Handle h;
    EXPECT_NE(Open(T(u"in-t.txt"), &h), STATUS_SUCCESS);
    // A handle opened through the dropped letter keeps working.
    EXPECT_EQ(ReadAll(held.get()), "t");
    OpenArgs create;
    create.Access = FILE_GENERIC_WRITE;
    create.Disposition = FILE_CREATE;
    ASSERT_EQ(Open(u"\\??\\U:\\made.txt", &h, create), STATUS_SUCCESS);
    h.Close();
    EXPECT_TRUE(std::filesystem::exists(std::string(other) + "/made.txt"));

    // The letter comes back on another directory.
    configuration.Drives.push_back({u'T', other});
    ASSERT_EQ(Configure(configuration), STATUS_SUCCESS);
    ASSERT_EQ(Open(T(u"made.txt"), &h), STATUS_SUCCESS);
    EXPECT_EQ(CurrentConfiguration().Drives.size(), 3u);
    EXPECT_EQ(CurrentConfiguration().Drives[1].Directory, other);  // trailing '/' dropped
    h.Close();
    held.Close();
    std::filesystem::remove_all(other);
}

// Handles open when the driver is unloaded keep working until they close,
// and their close frees what they held.
TEST_F(VolumeTest, HandlesOutliveAnUnload) {
    WriteHostFile("kept.txt", "still here");
    Handle h;
    ASSERT_EQ(Open(T(u"kept.txt"), &h), STATUS_SUCCESS);
    ASSERT_EQ(korin::io::UnloadDriver(driver_), STATUS_SUCCESS);
    driver_ = nullptr;
    EXPECT_TRUE(korin::ob::QueryLinkTargets(u"\\??\\T:").empty());
    EXPECT_EQ(ReadAll(h.get()), "still here");
    EXPECT_EQ(QueryName(h.get()), u"\\kept.txt");
    FILE_FS_DEVICE_INFORMATION device{};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(h.Close(), STATUS_SUCCESS);
}

TEST_F(VolumeTest, BadConfigurationsChangeNothing) {
    const struct {
        const char* what;
        Configuration configuration;
        NTSTATUS status;
    } cases[] = {
        {"relative directory", {{{u'X', "tmp"}}, std::nullopt}, STATUS_INVALID_PARAMETER},
        {"missing directory", {{{u'X', "/nonexistent/korin"}}, std::nullopt}, STATUS_OBJECT_PATH_NOT_FOUND},
        {"a file", {{{u'X', "/etc/hostname"}}, std::nullopt}, STATUS_OBJECT_PATH_NOT_FOUND},
        {"bad letter", {{{u'1', "/"}}, std::nullopt}, STATUS_INVALID_PARAMETER},
        {"duplicate letter", {{{u'X', "/"}, {u'x', "/tmp"}}, std::nullopt}, STATUS_INVALID_PARAMETER},
        {"missing UNC root", {{{u'X', "/"}}, std::string("/nonexistent/unc")}, STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Configure(c.configuration), c.status);
        EXPECT_TRUE(korin::ob::QueryLinkTargets(u"\\??\\X:").empty());
        EXPECT_EQ(korin::ob::QueryLinkTargets(u"\\??\\T:"), std::vector<std::u16string>{u"\\Device\\HostVolumeT"});
    }
}

TEST_F(VolumeTest, UncWithoutRootIsAnUnreachableNetwork) {
    Handle h;
    EXPECT_EQ(Open(u"\\??\\UNC\\server\\share\\a.doc", &h), STATUS_BAD_NETWORK_PATH);
    EXPECT_EQ(Open(u"\\??\\UNC\\server\\share\\", &h), STATUS_BAD_NETWORK_PATH);
}

class UncTest : public HostFsTest {
protected:
    Configuration MakeConfiguration() override {
        Configuration configuration = HostFsTest::MakeConfiguration();
        configuration.UncRoot = root_ + "/net";
        return configuration;
    }
    // The UNC root must exist before the configuration names it.
    void PrepareHost() override { std::filesystem::create_directories(root_ + "/net/Server/Share"); }
};

TEST_F(UncTest, ServerAndShareBelowTheRoot) {
    WriteHostFile("net/Server/Share/a.doc", "unc");
    const struct {
        const char16_t* name;
        NTSTATUS status;
    } cases[] = {
        {u"\\??\\UNC\\server\\share\\a.doc", STATUS_SUCCESS},
        {u"\\??\\UNC\\SERVER\\SHARE\\A.DOC", STATUS_SUCCESS},
        {u"\\??\\UNC\\server\\share\\", STATUS_SUCCESS},
        {u"\\??\\UNC\\server\\share\\missing.doc", STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\??\\UNC\\server\\share\\missing\\x.doc", STATUS_OBJECT_PATH_NOT_FOUND},
        {u"\\??\\UNC\\nobody\\share\\a.doc", STATUS_BAD_NETWORK_PATH},
        {u"\\??\\UNC\\server\\noshare\\a.doc", STATUS_BAD_NETWORK_NAME},
        {u"\\??\\UNC\\server\\noshare", STATUS_BAD_NETWORK_NAME},
        {u"\\??\\UNC\\server\\share\\a.doc\\x", STATUS_OBJECT_PATH_NOT_FOUND},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        Handle h;
        EXPECT_EQ(Open(c.name, &h), c.status);
    }
    Handle h;
    ASSERT_EQ(Open(u"\\??\\UNC\\server\\share\\a.doc", &h), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(h.get()), "unc");
    EXPECT_EQ(QueryName(h.get()), u"\\Server\\Share\\a.doc");
    FILE_FS_DEVICE_INFORMATION device{};
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(device.Characteristics & FILE_REMOTE_DEVICE, FILE_REMOTE_DEVICE);

    // Neither a server nor a share is made or removed through UNC names.
    OpenArgs create;
    create.Disposition = FILE_CREATE;
    create.Options |= FILE_DIRECTORY_FILE;
    Handle made;
    EXPECT_EQ(Open(u"\\??\\UNC\\server\\newshare", &made, create), STATUS_BAD_NETWORK_NAME);
    EXPECT_FALSE(HostExists("net/Server/newshare"));
    OpenArgs remove;
    remove.Access = DELETE;
    remove.Options |= FILE_DELETE_ON_CLOSE;
    EXPECT_EQ(Open(u"\\??\\UNC\\server\\share", &made, remove), STATUS_CANNOT_DELETE);
}

TEST_F(VolumeTest, VolumeInformation) {
    Handle h;
    ASSERT_EQ(Open(u"\\??\\T:\\", &h), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    struct statvfs vfs;
    ASSERT_EQ(statvfs(root_.c_str(), &vfs), 0);

    FILE_FS_SIZE_INFORMATION size{};
    ASSERT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, &size, sizeof(size), FileFsSizeInformation),
              STATUS_SUCCESS);
    ULONGLONG unit = static_cast<ULONGLONG>(size.SectorsPerAllocationUnit) * size.BytesPerSector;
    EXPECT_EQ(size.BytesPerSector, 512u);
    EXPECT_EQ(static_cast<ULONGLONG>(size.TotalAllocationUnits.QuadPart) * unit,
              static_cast<ULONGLONG>(vfs.f_blocks) * vfs.f_frsize);

    FILE_FS_FULL_SIZE_INFORMATION full{};
    ASSERT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, &full, sizeof(full), FileFsFullSizeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(full.TotalAllocationUnits.QuadPart, size.TotalAllocationUnits.QuadPart);
    EXPECT_LE(full.CallerAvailableAllocationUnits.QuadPart, full.ActualAvailableAllocationUnits.QuadPart);

    alignas(8) char buffer[64];
    ASSERT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, buffer, sizeof(buffer), FileFsAttributeInformation),
              STATUS_SUCCESS);
    auto* attribute = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
    EXPECT_EQ(std::u16string(attribute->FileSystemName, attribute->FileSystemNameLength / 2), u"hostfs");
    EXPECT_EQ(attribute->FileSystemAttributes & FILE_CASE_SENSITIVE_SEARCH, 0u);
    EXPECT_EQ(attribute->MaximumComponentNameLength, 255);
    EXPECT_EQ(iosb.Information, 12u + 12u);
    // Room for part of the name only.
    EXPECT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, buffer, 16, FileFsAttributeInformation),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(attribute->FileSystemNameLength, 12u);

    FILE_FS_DEVICE_INFORMATION device{};
    ASSERT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, &device, sizeof(device), FileFsDeviceInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(device.DeviceType, FILE_DEVICE_DISK);
    EXPECT_EQ(device.Characteristics, 0u);

    ASSERT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, buffer, sizeof(buffer), FileFsVolumeInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(NtQueryVolumeInformationFile(h.get(), &iosb, buffer, 8, FileFsSizeInformation),
              STATUS_INFO_LENGTH_MISMATCH);
}

}  // namespace
}  // namespace korin::hostfs::test
