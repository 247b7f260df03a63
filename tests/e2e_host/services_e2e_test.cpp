// The service functions of a program connected to korin-host: the key is
// written in the program, the driver runs in the host.
#include "host_fixture.h"
#include "test_driver.h"

#include "platform/nt/syscalls.h"
#include "platform/win32/paths.h"
#include "platform/win32/registry.h"
#include "platform/win32/services.h"
#include "platform/win32/syscall_table.h"

namespace korin::test {
namespace {

using win32::Syscalls;

class ServicesTest : public HostTest {
protected:
    void SetUp() override {
        HostTest::SetUp();
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr);
    }
    void TearDown() override {
        CloseServiceHandle(manager_);
        HostTest::TearDown();
    }
    SC_HANDLE Create(const std::u16string& name, const std::string& hostImage, DWORD start = SERVICE_DEMAND_START) {
        auto image = win32::HostPathToWin32Path(hostImage);
        EXPECT_TRUE(image);
        return CreateServiceW(manager_, name.c_str(), u"Korin Test", SERVICE_ALL_ACCESS, SERVICE_FILE_SYSTEM_DRIVER,
                              start, SERVICE_ERROR_NORMAL, image ? image->c_str() : u"", u"File System", nullptr,
                              nullptr, nullptr, nullptr);
    }
    bool KeyExists(const std::u16string& name) {
        HKEY key;
        std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + name;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    SC_HANDLE manager_ = nullptr;
};

TEST_F(ServicesTest, InstallStartStopDeleteAsTheProductDoes) {
    SC_HANDLE service = Create(u"KorinTestSvc", KORIN_TEST_DRIVER);
    ASSERT_NE(service, nullptr) << GetLastError();
    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);

    HANDLE device = nullptr;
    ASSERT_EQ(Open(u"\\??\\KorinTestSvc", FILE_GENERIC_READ, 0, 0, &device), STATUS_SUCCESS);
    ULONG opens = 0;
    EXPECT_EQ(Ioctl(device, IOCTL_TEST_OPEN_COUNT, nullptr, 0, &opens, sizeof opens), STATUS_SUCCESS);
    EXPECT_EQ(opens, 1u);
    EXPECT_EQ(Syscalls().Close(device), STATUS_SUCCESS);

    SERVICE_STATUS status{};
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(Open(u"\\??\\KorinTestSvc", FILE_GENERIC_READ, 0, 0, &device), STATUS_OBJECT_NAME_NOT_FOUND);

    ASSERT_TRUE(DeleteService(service));
    EXPECT_FALSE(KeyExists(u"KorinTestSvc"));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_EQ(OpenServiceW(manager_, u"KorinTestSvc", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(ServicesTest, ADriverWithoutUnloadRoutineCannotBeStopped) {
    SC_HANDLE service = Create(u"KorinTestNoUnload", KORIN_TEST_DRIVER_NO_UNLOAD);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, 0u);

    // Deleting it only marks it while it runs.
    EXPECT_TRUE(DeleteService(service));
    EXPECT_TRUE(KeyExists(u"KorinTestNoUnload"));
    EXPECT_FALSE(DeleteService(service));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    CloseServiceHandle(service);

    StopHost();
    EXPECT_NE(host_.Stderr().find("service KorinTestNoUnload left running"), std::string::npos);
}

TEST_F(ServicesTest, AMissingDriverFileFailsTheStartAndTheServiceStays) {
    SC_HANDLE service = Create(u"KorinTestMissing", data_.path() + "/KRDriver.sys");
    ASSERT_NE(service, nullptr);
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_TRUE(KeyExists(u"KorinTestMissing"));
    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
}

}  // namespace
}  // namespace korin::test
