// The machine of mount_fixture.h.
#include "mount_fixture.h"

#include "driver/drive.h"
#include "platform/hostfs/hostfs.h"
#include "platform/nt/ob.h"
#include "platform/nt/workqueue.h"
#include "platform/nt/zw.h"
#include "platform/registry/process_database.h"
#include "tests/support/counted.h"
#include "tests/support/registry_keys.h"
#include "tests/support/temp_dir.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace korin::fusetest {
namespace {

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver";
constexpr ULONG kFileSystemDriver = 2;

using testsupport::Counted;
using testsupport::CreateKeyPath;

}  // namespace

void MountTest::StartMachine(const std::vector<StoredMapping>& stored, MountSettings settings) {
    dir_ = testsupport::MakeTempDir("korin-fuse");
    ASSERT_FALSE(dir_.empty());
    hostDir_ = dir_ + "/host";
    std::filesystem::create_directory(hostDir_);
    ASSERT_EQ(registry::OpenDatabase(dir_ + "/registry.db"), STATUS_SUCCESS);

    const std::u16string driveKey = std::u16string(kServiceKey) + u"\\Drive";
    testsupport::StoreDriveZero(driveKey, kLetter, u"Projects", /*createKeys=*/true);
    for (const StoredMapping& m : stored) {
        std::u16string key = driveKey + u"\\0" + (m.Folder.empty() ? u"" : u"\\" + m.Folder);
        CreateKeyPath(key);
        std::u16string data = m.Target;
        data.push_back(0);
        testsupport::SetValue(key, m.Name, REG_SZ, data.data(), static_cast<ULONG>(data.size() * 2), /*createKey=*/true);
    }

    hostfs::Configuration configuration;
    configuration.Drives = {{kHostLetter, hostDir_}};
    ASSERT_EQ(hostfs::Configure(configuration), STATUS_SUCCESS);
    ASSERT_EQ(io::StartBuiltinDriver(HostFsDriverEntry, hostfs::kServiceName, kFileSystemDriver, &hostFs_),
              STATUS_SUCCESS);
    ASSERT_EQ(io::StartBuiltinDriver(DriverEntry, u"KRDriver", kFileSystemDriver, &driver_), STATUS_SUCCESS);

    process_ = std::make_unique<ps::Process>("fuse test");
    scope_ = std::make_unique<ps::ProcessScope>(*process_);

    MountOptions options;
    options.MountRoot = MountRoot();
    options.Settings = settings;
    options.Log = [this](const std::string& line) {
        std::lock_guard lock(logMutex_);
        log_.push_back(line);
    };
    mounts_ = std::make_unique<DriveMounts>(options);
    ASSERT_EQ(mounts_->Start(), 0);
    ASSERT_TRUE(mounts_->Settle(std::chrono::seconds(10)));
    ASSERT_NE(Mount(), nullptr) << "X: was not mounted";
}

void MountTest::StopMachine() {
    if (mounts_) mounts_->Stop();
    mounts_.reset();
    scope_.reset();
    process_.reset();
    workqueue::Drain();
    if (driver_) {
        EXPECT_EQ(io::UnloadDriver(driver_), STATUS_SUCCESS);
    }
    driver_ = nullptr;
    if (hostFs_) io::UnloadDriver(hostFs_);
    hostFs_ = nullptr;
    workqueue::Drain();
    ob::ResetNamespace();
    registry::CloseDatabase();
}

void MountTest::TearDown() {
    StopMachine();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

void MountTest::WriteHostFile(const std::string& relative, const std::string& contents) {
    std::ofstream out(HostPath(relative), std::ios::binary | std::ios::trunc);
    out << contents;
    ASSERT_TRUE(out.good()) << relative;
}

std::string MountTest::ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream contents;
    contents << in.rdbuf();
    return contents.str();
}

void MountTest::MakeHostDirectory(const std::string& relative) {
    std::filesystem::create_directories(HostPath(relative));
}

std::vector<std::string> MountTest::List(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (!dir) return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> MountTest::LogLines() {
    std::lock_guard lock(logMutex_);
    return log_;
}

NTSTATUS MountTest::Control(ULONG code, const std::u16string& input, std::vector<uint8_t>* output) {
    std::u16string path = u"\\??\\KRDriver";
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    HANDLE device = nullptr;
    NTSTATUS status = NtCreateFile(&device, GENERIC_READ | GENERIC_WRITE, &attributes, &ioStatus, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    std::vector<uint8_t> out(260, 0);
    ULONG word = 0xFFFFFFFF;
    std::memcpy(out.data(), &word, sizeof word);
    status = NtDeviceIoControlFile(device, nullptr, nullptr, nullptr, &ioStatus, code,
                                   const_cast<char16_t*>(input.data()), static_cast<ULONG>(input.size() * 2),
                                   out.data(), static_cast<ULONG>(out.size()));
    NtClose(device);
    if (output) *output = out;
    if (!NT_SUCCESS(status)) return status;
    NTSTATUS verdict;
    std::memcpy(&verdict, out.data(), sizeof verdict);
    return verdict;
}

NTSTATUS MountTest::CreateMapping(const std::u16string& path, const std::u16string& target) {
    std::u16string pair = path;
    pair.push_back(0);
    pair += target;
    pair.push_back(0);
    return Control(IOCTL_CODE_CREATE_MAPPING, pair);
}

NTSTATUS MountTest::RenameFolder(const std::u16string& path, const std::u16string& newName) {
    std::u16string pair = path;
    pair.push_back(0);
    pair += newName;
    pair.push_back(0);
    return Control(IOCTL_CODE_RENAME_FOLDER, pair);
}

NTSTATUS MountTest::RenameMapping(const std::u16string& path, const std::u16string& newName) {
    std::u16string pair = path;
    pair.push_back(0);
    pair += newName;
    pair.push_back(0);
    return Control(IOCTL_CODE_RENAME_MAPPING, pair);
}

uint32_t MountTest::ItemTypeOf(const std::u16string& path) {
    std::vector<uint8_t> out;
    Control(IOCTL_CODE_QUERY_ITEM_TYPE, path, &out);
    uint32_t type;
    std::memcpy(&type, out.data(), sizeof type);
    return type;
}

}  // namespace korin::fusetest
