// korin setup: what the product's installation does before the first drive
// can be made: the driver's Drive key with "NextInstance", the driver
// service registered, and the driver started.

#include "cli.h"

#include "common/drive_list.h"
#include "platform/win32/files.h"
#include "platform/win32/paths.h"
#include "platform/win32/registry.h"
#include "platform/win32/services.h"

#include <sys/stat.h>

#include <cstdio>

namespace korin::cli {

namespace {

constexpr char16_t kServiceName[] = u"KRDriver";

// Creates the Drive key when missing and gives it "NextInstance" 0 when it
// has none; an existing value is kept whatever it holds.
bool PrepareDriveKey() {
    const std::u16string path = WithoutTrailingBackslash(kDriveKeyPath);
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        Fail("cannot create HKLM\\" + Narrow(path) + ": " + DescribeError(static_cast<DWORD>(status)));
        return false;
    }
    status = RegQueryValueExW(key, u"NextInstance", nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_FILE_NOT_FOUND) {
        const DWORD zero = 0;
        status = RegSetValueExW(key, u"NextInstance", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
        if (status != ERROR_SUCCESS) Fail("cannot write NextInstance: " + DescribeError(static_cast<DWORD>(status)));
    } else if (status != ERROR_SUCCESS) {
        Fail("cannot read NextInstance: " + DescribeError(static_cast<DWORD>(status)));
    }
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The Win32 path of KRDriver.sys beside this program, or empty (with a
// message) when this program or the file cannot be reached.
std::u16string DriverImagePath() {
    WCHAR self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Fail("cannot name this program as a Win32 path (" + DescribeError(GetLastError()) +
             "); is its folder below a host drive letter?");
        return {};
    }
    std::u16string path(self, length);
    path = path.substr(0, path.find_last_of(u'\\')) + u"\\KRDriver.sys";
    std::optional<std::string> host = win32::Win32PathToHostPath(path);
    struct stat info;
    if (!host || stat(host->c_str(), &info) != 0) {
        Fail("the driver file " + Narrow(path) + " is missing; it belongs beside the korin program");
        return {};
    }
    return path;
}

// Registers the service (an existing one is kept as it is) and starts it (a
// running one is fine).
int InstallAndStart(const std::u16string& imagePath) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return Fail("cannot open the service control manager: " + DescribeError(GetLastError()));
    SC_HANDLE service = CreateServiceW(manager, kServiceName, u"Korin Driver", SERVICE_ALL_ACCESS,
                                       SERVICE_FILE_SYSTEM_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       imagePath.c_str(), u"File System", nullptr, nullptr, nullptr, nullptr);
    bool created = service != nullptr;
    if (!service) {
        const DWORD createError = GetLastError();
        service = OpenServiceW(manager, kServiceName, SERVICE_ALL_ACCESS);
        if (!service) {
            CloseServiceHandle(manager);
            return Fail("cannot register the KRDriver service: " + DescribeError(createError));
        }
    }
    const bool started = StartServiceW(service, 0, nullptr);
    const DWORD startError = started ? ERROR_SUCCESS : GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    if (!started && startError != ERROR_SERVICE_ALREADY_RUNNING) {
        return Fail("the KRDriver service is registered but does not start: " + DescribeError(startError));
    }
    std::printf("KRDriver service %s and %s\n", created ? "registered" : "already registered",
                started ? "started" : "already running");
    return kExitOk;
}

int Setup(const Args& args) {
    if (!args.empty()) return UsageError("setup takes no arguments");
    if (!ConnectHost()) return kExitFailure;
    if (!PrepareDriveKey()) return kExitFailure;
    const std::u16string imagePath = DriverImagePath();
    if (imagePath.empty()) return kExitFailure;
    return InstallAndStart(imagePath);
}

}  // namespace

std::vector<Command> SetupCommands() {
    return {{"setup", "create the driver's store, register the KRDriver service and start it", "", Setup}};
}

}  // namespace korin::cli
