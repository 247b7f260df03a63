// The service functions against the in-process machine: the keys
// CreateServiceW writes, and starting, stopping, querying and deleting a
// driver service through the service control manager.
#include "platform/nt/io.h"
#include "platform/nt/ob.h"
#include "platform/registry/process_database.h"
#include "platform/win32/paths.h"
#include "platform/win32/registry.h"
#include "platform/win32/services.h"
#include "platform/win32/services_control.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace korin::win32 {
namespace {

class ServiceControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("korin-scm-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        ASSERT_EQ(registry::OpenDatabase((dir_ / "registry.db").string()), STATUS_SUCCESS);
        manager_ = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr);
    }
    void TearDown() override {
        CloseServiceHandle(manager_);
        registry::CloseDatabase();
        std::filesystem::remove_all(dir_);
    }
    static std::u16string Image(const std::string& hostPath) { return *HostPathToWin32Path(hostPath, {}); }
    SC_HANDLE Create(const std::u16string& name, const std::string& hostImage, DWORD start = SERVICE_DEMAND_START,
                     DWORD type = SERVICE_FILE_SYSTEM_DRIVER) {
        return CreateServiceW(manager_, name.c_str(), u"Korin Driver", SERVICE_ALL_ACCESS, type, start,
                              SERVICE_ERROR_NORMAL, Image(hostImage).c_str(), u"File System", nullptr, nullptr,
                              nullptr, nullptr);
    }
    // A value of the service key, or nullopt.
    std::optional<std::pair<DWORD, std::vector<BYTE>>> Value(const std::u16string& service, const char16_t* name) {
        HKEY key;
        std::u16string path = u"SYSTEM\\CurrentControlSet\\Services\\" + service;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
        DWORD type = 0, size = 0;
        std::optional<std::pair<DWORD, std::vector<BYTE>>> out;
        if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
            std::vector<BYTE> data(size);
            RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
            out = std::make_pair(type, data);
        }
        RegCloseKey(key);
        return out;
    }
    bool KeyExists(const std::u16string& service) { return Value(service, u"Type").has_value(); }

    std::filesystem::path dir_;
    SC_HANDLE manager_ = nullptr;
};

std::vector<BYTE> Dword(DWORD v) { return {BYTE(v), BYTE(v >> 8), BYTE(v >> 16), BYTE(v >> 24)}; }
std::vector<BYTE> Text(const std::u16string& s) {
    std::vector<BYTE> out;
    for (char16_t c : s + u'\0') {
        out.push_back(BYTE(c));
        out.push_back(BYTE(c >> 8));
    }
    return out;
}

TEST_F(ServiceControlTest, CreateWritesTheServiceKeyAsTheManagerDoes) {
    std::string image = "/opt/Korin Folder/KRDriver.sys";  // blanks kept as given
    SC_HANDLE service = Create(u"KRDriverKey", image, SERVICE_AUTO_START);
    ASSERT_NE(service, nullptr) << GetLastError();
    EXPECT_EQ(Value(u"KRDriverKey", u"Type"), std::make_pair(DWORD{REG_DWORD}, Dword(2)));
    EXPECT_EQ(Value(u"KRDriverKey", u"Start"), std::make_pair(DWORD{REG_DWORD}, Dword(2)));
    EXPECT_EQ(Value(u"KRDriverKey", u"ErrorControl"), std::make_pair(DWORD{REG_DWORD}, Dword(1)));
    EXPECT_EQ(Value(u"KRDriverKey", u"ImagePath"),
              std::make_pair(DWORD{REG_EXPAND_SZ}, Text(u"C:\\opt\\Korin Folder\\KRDriver.sys")));
    EXPECT_EQ(Value(u"KRDriverKey", u"DisplayName"), std::make_pair(DWORD{REG_SZ}, Text(u"Korin Driver")));
    EXPECT_EQ(Value(u"KRDriverKey", u"Group"), std::make_pair(DWORD{REG_SZ}, Text(u"File System")));

    // A second create changes nothing and says the service exists.
    EXPECT_EQ(Create(u"krdriverkey", "/elsewhere.sys", SERVICE_DEMAND_START), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_EXISTS);
    EXPECT_EQ(Value(u"KRDriverKey", u"Start"), std::make_pair(DWORD{REG_DWORD}, Dword(2)));
    EXPECT_TRUE(CloseServiceHandle(service));
    EXPECT_FALSE(CloseServiceHandle(service));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(ServiceControlTest, AKeyWithoutTypeIsNoServiceYet) {
    // The driver's own store may be made before the service is registered.
    HKEY drive;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRDriverEarly\\Drive", 0,
                              nullptr, 0, KEY_ALL_ACCESS, nullptr, &drive, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(drive);
    EXPECT_EQ(OpenServiceW(manager_, u"KRDriverEarly", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    SC_HANDLE service = Create(u"KRDriverEarly", "/x.sys");
    ASSERT_NE(service, nullptr) << GetLastError();
    CloseServiceHandle(service);
}

TEST_F(ServiceControlTest, BadArgumentsAreRefused) {
    struct Case {
        const char* what;
        const char16_t* name;
        DWORD type, start, errorControl;
        const char16_t* image;
        DWORD error;
    };
    const Case cases[] = {
        {"empty name", u"", 2, 3, 1, u"C:\\x.sys", ERROR_INVALID_NAME},
        {"backslash in name", u"a\\b", 2, 3, 1, u"C:\\x.sys", ERROR_INVALID_NAME},
        {"unknown type", u"KRBad1", 7, 3, 1, u"C:\\x.sys", ERROR_INVALID_PARAMETER},
        {"unknown start", u"KRBad2", 2, 5, 1, u"C:\\x.sys", ERROR_INVALID_PARAMETER},
        {"unknown error control", u"KRBad3", 2, 3, 4, u"C:\\x.sys", ERROR_INVALID_PARAMETER},
        {"no image", u"KRBad4", 2, 3, 1, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CreateServiceW(manager_, c.name, nullptr, SERVICE_ALL_ACCESS, c.type, c.start, c.errorControl,
                                 c.image, nullptr, nullptr, nullptr, nullptr, nullptr),
                  nullptr)
            << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_FALSE(KeyExists(u"KRBad1"));

    SC_HANDLE readOnly = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    EXPECT_EQ(CreateServiceW(readOnly, u"KRBad5", nullptr, SERVICE_ALL_ACCESS, 2, 3, 1, u"C:\\x.sys", nullptr,
                             nullptr, nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseServiceHandle(readOnly);
    EXPECT_EQ(OpenSCManagerW(u"otherhost", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
}

TEST_F(ServiceControlTest, StartStopAndDeleteADriver) {
    SC_HANDLE service = Create(u"KorinTestInProc", KORIN_TEST_DRIVER);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status{};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_NOT_ACTIVE);

    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    EXPECT_NE(io::FindDriver(u"KorinTestInProc"), nullptr);
    EXPECT_FALSE(ob::QueryLinkTargets(u"\\??\\KorinTestInProc").empty());
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwServiceType, SERVICE_FILE_SYSTEM_DRIVER);
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(status.dwControlsAccepted, SERVICE_ACCEPT_STOP);
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status));
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_PAUSE, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);

    // Deleting a running service marks it; the stop then removes the key.
    ASSERT_TRUE(DeleteService(service));
    EXPECT_TRUE(KeyExists(u"KorinTestInProc"));
    EXPECT_EQ(Value(u"KorinTestInProc", u"DeleteFlag"), std::make_pair(DWORD{REG_DWORD}, Dword(1)));
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);
    EXPECT_EQ(Create(u"KorinTestInProc", KORIN_TEST_DRIVER), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_MARKED_FOR_DELETE);

    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(io::FindDriver(u"KorinTestInProc"), nullptr);
    EXPECT_TRUE(ob::QueryLinkTargets(u"\\??\\KorinTestInProc").empty());
    EXPECT_FALSE(KeyExists(u"KorinTestInProc"));
    EXPECT_FALSE(QueryServiceStatus(service, &status));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
    CloseServiceHandle(service);
}

TEST_F(ServiceControlTest, HandlesGrantOnlyWhatWasAskedFor) {
    SC_HANDLE created = Create(u"KorinTestAccess", KORIN_TEST_DRIVER);
    ASSERT_NE(created, nullptr);
    SC_HANDLE query = OpenServiceW(manager_, u"KorinTestAccess", SERVICE_QUERY_STATUS);
    ASSERT_NE(query, nullptr);
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(query, &status));
    EXPECT_FALSE(StartServiceW(query, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteService(query));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(StartServiceW(manager_, 0, nullptr));  // a manager handle is no service handle
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(DeleteService(created));
    EXPECT_FALSE(KeyExists(u"KorinTestAccess"));
    CloseServiceHandle(query);
    CloseServiceHandle(created);
}

TEST_F(ServiceControlTest, StartFailuresNameTheCause) {
    std::ofstream(dir_ / "notadriver.sys") << "text, not a shared object";
    struct Case {
        std::u16string name;
        std::string image;
        DWORD error;
    };
    const Case cases[] = {
        {u"KRMissingFile", (dir_ / "KRDriver.sys").string(), ERROR_FILE_NOT_FOUND},
        {u"KRMissingDir", (dir_ / "no" / "KRDriver.sys").string(), ERROR_PATH_NOT_FOUND},
        {u"KRNotADriver", (dir_ / "notadriver.sys").string(), ERROR_BAD_FORMAT},
        {u"KRDirectory", dir_.string(), ERROR_ACCESS_DENIED},
    };
    for (const auto& c : cases) {
        SC_HANDLE service = Create(c.name, c.image);
        ASSERT_NE(service, nullptr);
        EXPECT_FALSE(StartServiceW(service, 0, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << c.image;
        SERVICE_STATUS status{};
        EXPECT_TRUE(QueryServiceStatus(service, &status));
        EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_TRUE(DeleteService(service));
        CloseServiceHandle(service);
    }
    SC_HANDLE disabled = Create(u"KRDisabled", KORIN_TEST_DRIVER, SERVICE_DISABLED);
    EXPECT_FALSE(StartServiceW(disabled, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_SERVICE_DISABLED);
    CloseServiceHandle(disabled);
}

TEST_F(ServiceControlTest, BootStartsAutomaticDriversAndDropsDeletedOnes) {
    CloseServiceHandle(Create(u"KorinTestAuto", KORIN_TEST_DRIVER, SERVICE_AUTO_START));
    CloseServiceHandle(Create(u"KorinTestDemand", KORIN_TEST_DRIVER, SERVICE_DEMAND_START));
    CloseServiceHandle(Create(u"KorinTestAutoMissing", (dir_ / "none.sys").string(), SERVICE_AUTO_START));
    SC_HANDLE marked = Create(u"KorinTestMarked", KORIN_TEST_DRIVER, SERVICE_AUTO_START);
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KorinTestMarked", 0,
                            KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExW(key, u"DeleteFlag", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegCloseKey(key);
    CloseServiceHandle(marked);

    auto outcomes = scm::StartAutomaticServices();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0].name, u"KorinTestAuto");
    EXPECT_EQ(outcomes[0].error, ERROR_SUCCESS);
    EXPECT_EQ(outcomes[1].name, u"KorinTestAutoMissing");
    EXPECT_EQ(outcomes[1].error, ERROR_FILE_NOT_FOUND);
    EXPECT_NE(io::FindDriver(u"KorinTestAuto"), nullptr);
    EXPECT_EQ(io::FindDriver(u"KorinTestDemand"), nullptr);
    EXPECT_FALSE(KeyExists(u"KorinTestMarked"));

    auto stopped = scm::StopAllServices();
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_EQ(stopped[0].name, u"KorinTestAuto");
    EXPECT_EQ(stopped[0].error, ERROR_SUCCESS);
    EXPECT_EQ(io::FindDriver(u"KorinTestAuto"), nullptr);
}

TEST_F(ServiceControlTest, ADriverWithoutUnloadRoutineKeepsRunning) {
    SC_HANDLE service = Create(u"KorinTestStays", KORIN_TEST_DRIVER_NO_UNLOAD);
    ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
    SERVICE_STATUS status{};
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_SERVICE_CONTROL);
    EXPECT_EQ(status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_NE(io::FindDriver(u"KorinTestStays"), nullptr);
    auto stopped = scm::StopAllServices();
    ASSERT_EQ(stopped.size(), 1u);
    EXPECT_TRUE(stopped[0].skipped);
    CloseServiceHandle(service);
}

}  // namespace
}  // namespace korin::win32
