// The real driver as the product installs it, through a running korin-host:
// a drive made through the control device survives the host being killed,
// because the service starts again at boot and the driver mounts its stored
// drives.
#include "host_fixture.h"

#include "common/driver_client.h"
#include "common/drive_list.h"
#include "platform/nt/syscalls.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/paths.h"
#include "platform/win32/registry.h"
#include "platform/win32/services.h"
#include "platform/win32/syscall_table.h"

#include <signal.h>

namespace korin::test {
namespace {

using win32::Syscalls;

using KRDriverTest = HostTest;

// What the product's setup does: the Drive key with NextInstance, the service
// registered for automatic start, the service started.
void InstallKRDriver() {
    std::u16string driveKey(kDriveKeyPath);
    driveKey.pop_back();
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, driveKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    DWORD zero = 0;
    ASSERT_EQ(RegSetValueExW(key, u"NextInstance", 0, REG_DWORD, reinterpret_cast<BYTE*>(&zero), 4), ERROR_SUCCESS);
    RegCloseKey(key);

    auto image = win32::HostPathToWin32Path(KORIN_KRDRIVER);
    ASSERT_TRUE(image);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceW(manager, u"KRDriver", u"Korin Driver", SERVICE_ALL_ACCESS,
                                       SERVICE_FILE_SYSTEM_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       image->c_str(), u"File System", nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr) << GetLastError();
    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}


TEST_F(KRDriverTest, ADriveSurvivesAKilledHost) {
    InstallKRDriver();
    WriteFile(data_.path() + "/real.txt", "mapped content");

    HANDLE device = OpenControlDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    ASSERT_EQ(CreateDrive(device, u'X', u"Work"), STATUS_SUCCESS);
    ASSERT_EQ(CreateMapping(device, u"X:\\real.txt", u"T:\\real.txt"), STATUS_SUCCESS);
    EXPECT_EQ(Syscalls().Close(device), STATUS_SUCCESS);
    // Made at run time, the drive has no letter link until the driver's next start.
    EXPECT_TRUE(Syscalls().QueryDosDevice(u"X:").empty());

    win32::DisconnectFromHost();
    ASSERT_EQ(host_.Stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(host_.Start(home_.path(), {"--drive", "T=" + data_.path()})) << host_.Stderr();
    ASSERT_TRUE(win32::ConnectToHost(home_.path()));

    auto targets = Syscalls().QueryDosDevice(u"X:");
    ASSERT_FALSE(targets.empty()) << host_.Stderr();
    EXPECT_EQ(targets.front().rfind(u"\\Device\\KTDrive", 0), 0u);

    // The mapping leads to the real file through the driver's reparse.
    HANDLE file = nullptr;
    ASSERT_EQ(Open(u"\\??\\X:\\real.txt", FILE_GENERIC_READ, FILE_SHARE_READ, FILE_NON_DIRECTORY_FILE, &file),
              STATUS_SUCCESS);
    char buffer[64] = {};
    IO_STATUS_BLOCK io{};
    ASSERT_EQ(Syscalls().ReadFile(file, nullptr, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, io.Information), "mapped content");
    EXPECT_EQ(Syscalls().Close(file), STATUS_SUCCESS);

    StopHost();
    EXPECT_NE(host_.Stderr().find("service KRDriver stopped"), std::string::npos) << host_.Stderr();
}

// The product's uninstall (stop, then delete) followed by a new install, all
// while the host keeps running.
TEST_F(KRDriverTest, UninstallAndInstallAgainWithoutARestart) {
    InstallKRDriver();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceW(manager, u"KRDriver", SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    ASSERT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    InstallKRDriver();
    HANDLE device = OpenControlDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateDrive(device, u'Y', u"Again"), STATUS_SUCCESS);
    EXPECT_EQ(Syscalls().Close(device), STATUS_SUCCESS);
}

}  // namespace
}  // namespace korin::test
