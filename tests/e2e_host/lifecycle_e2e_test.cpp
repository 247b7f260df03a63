// korin-host's life: one host per home, a clean stop, a restart after kill -9,
// starting in the background and asking after it.
#include "host_fixture.h"
#include "test_driver.h"

#include "platform/nt/syscalls.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/paths.h"
#include "platform/win32/services.h"
#include "platform/win32/syscall_table.h"

#include <signal.h>
#include <sys/stat.h>

namespace korin::test {
namespace {

using win32::Syscalls;

using LifecycleTest = HostTest;

TEST_F(LifecycleTest, ASecondHostForTheSameHomeRefusesToStart) {
    std::string err;
    int code = RunHost({"--foreground", "--home", home_.path()}, &err);
    EXPECT_EQ(code, 1);
    EXPECT_NE(err.find("another korin-host is running for " + home_.path()), std::string::npos) << err;
    EXPECT_NE(err.find("pid " + std::to_string(host_.pid())), std::string::npos) << err;
    // The first host is untouched.
    EXPECT_TRUE(win32::QueryHost(home_.path()).answering);
    EXPECT_FALSE(Syscalls().QueryDosDevice(u"T:").empty());
}

TEST_F(LifecycleTest, TheHomeAndTheSocketArePrivate) {
    struct stat st;
    ASSERT_EQ(stat(home_.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(win32::HostSocketPath(home_.path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(LifecycleTest, BootWritesTheHostConfigurationForEveryProcess) {
    auto table = win32::LoadHostDriveTable();
    EXPECT_EQ(table.letters.at(u'C'), "/");
    EXPECT_EQ(table.letters.at(u'T'), data_.path());
    EXPECT_FALSE(table.uncRoot);
    EXPECT_EQ(table.mountRoot, home_.path() + "/mnt");
    std::string log = host_.Stderr();
    EXPECT_NE(log.find("host drive T: is " + data_.path()), std::string::npos) << log;
    EXPECT_NE(log.find("\\??\\T: -> \\Device\\HostVolumeT"), std::string::npos) << log;
}

TEST_F(LifecycleTest, SigtermStopsServicesAndRemovesTheSocket) {
    auto image = win32::HostPathToWin32Path(KORIN_TEST_DRIVER);
    ASSERT_TRUE(image);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceW(manager, u"KorinTestStop", u"Test", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image->c_str(), nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    StopHost();
    EXPECT_EQ(exitCode_, 0);
    std::string log = host_.Stderr();
    EXPECT_NE(log.find("service KorinTestStop stopped"), std::string::npos) << log;
    EXPECT_NE(log.find("registry closed"), std::string::npos) << log;
    EXPECT_FALSE(Exists(win32::HostSocketPath(home_.path())));
    EXPECT_FALSE(win32::QueryHost(home_.path()).running);
}

// Killed with -9, the host leaves its socket behind; the next one replaces it,
// starts the automatic services again and so gets the same namespace back.
TEST_F(LifecycleTest, AKilledHostRestartsIntoTheSameNamespace) {
    auto image = win32::HostPathToWin32Path(KORIN_TEST_DRIVER);
    ASSERT_TRUE(image);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceW(manager, u"KorinTestBoot", u"Test", SERVICE_ALL_ACCESS,
                                       SERVICE_FILE_SYSTEM_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       image->c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr));
    // A service that cannot start does not keep the others from starting.
    SC_HANDLE broken = CreateServiceW(manager, u"KorinTestBroken", nullptr, SERVICE_ALL_ACCESS,
                                      SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                      u"C:\\no\\such\\driver.sys", nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(broken, nullptr);
    CloseServiceHandle(broken);
    ASSERT_EQ(Syscalls().DefineDosDevice(u"K:", u"\\Device\\HostVolumeT"), STATUS_SUCCESS);

    win32::DisconnectFromHost();
    EXPECT_EQ(host_.Stop(SIGKILL), 128 + SIGKILL);
    EXPECT_TRUE(Exists(win32::HostSocketPath(home_.path())));

    ASSERT_TRUE(host_.Start(home_.path(), {"--drive", "T=" + data_.path()})) << host_.Stderr();
    ASSERT_TRUE(win32::ConnectToHost(home_.path()));
    std::string log = host_.Stderr();
    EXPECT_NE(log.find("replaced the stale socket"), std::string::npos) << log;
    EXPECT_NE(log.find("service KorinTestBoot started"), std::string::npos) << log;
    EXPECT_NE(log.find("service KorinTestBroken did not start"), std::string::npos) << log;

    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    HANDLE device = nullptr;
    ASSERT_EQ(Open(u"\\??\\KorinTestBoot", FILE_GENERIC_READ, 0, 0, &device), STATUS_SUCCESS);
    EXPECT_EQ(Syscalls().Close(device), STATUS_SUCCESS);
    // A caller's own definition lives in memory only, as on Windows.
    EXPECT_TRUE(Syscalls().QueryDosDevice(u"K:").empty());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST(HostCommandLine, HelpAndBadOptions) {
    std::string err;
    EXPECT_EQ(RunHost({"--help"}, &err), 0);
    EXPECT_EQ(RunHost({"--drive", "CC=/"}, &err), 2);
    EXPECT_NE(err.find("--drive wants LETTER=DIRECTORY"), std::string::npos) << err;
    EXPECT_EQ(RunHost({"--drive", "D=/no/such/dir", "--home", "/tmp/unused-home"}, &err), 2);
    EXPECT_NE(err.find("drive D: /no/such/dir is not an existing directory"), std::string::npos) << err;
    EXPECT_EQ(RunHost({"--bogus"}, &err), 2);
    EXPECT_NE(err.find("unknown option --bogus"), std::string::npos) << err;
}

// The helpers `korin host start|stop|status` use: korin-host in the background.
TEST(HostInBackground, StartQueryStop) {
    TempDir home;
    std::string message;
    EXPECT_FALSE(win32::QueryHost(home.path()).running);
    ASSERT_TRUE(win32::StartHost(home.path(), {}, &message)) << message;
    auto state = win32::QueryHost(home.path());
    EXPECT_TRUE(state.running);
    EXPECT_TRUE(state.answering);
    EXPECT_GT(state.pid, 0);
    EXPECT_TRUE(win32::StartHost(home.path(), {}, &message));
    EXPECT_NE(message.find("already running"), std::string::npos);

    ASSERT_TRUE(win32::StopHost(home.path(), &message)) << message;
    EXPECT_FALSE(win32::QueryHost(home.path()).running);
    EXPECT_FALSE(Exists(win32::HostSocketPath(home.path())));
    std::string log = ReadWholeFile(win32::HostLogPath(home.path()));
    EXPECT_NE(log.find("ready"), std::string::npos) << log;
    EXPECT_NE(log.find("stopped"), std::string::npos) << log;
    EXPECT_EQ(SanitizerFindings(log), "") << log;
    EXPECT_TRUE(win32::StopHost(home.path(), &message));
    EXPECT_EQ(message, "not running");
}

}  // namespace
}  // namespace korin::test
