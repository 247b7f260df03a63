// Control requests from one client over korin-host's syscall socket: the
// real korin-host started in a temporary home, KRDriver registered and
// started as a service, this process connected as one client.

#include "bench_support.h"

#include "platform/win32/files.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/paths.h"
#include "platform/win32/services.h"

#include <cstdio>
#include <cstdlib>

namespace korin::control_bench {
namespace {

struct HostedDriver {
    HostedDriver() {
        home = MakeTempDir("korin-control-bench-home");
        std::string message;
        if (!win32::StartHost(home, {}, &message)) {
            std::fprintf(stderr, "korin-host did not start: %s\n", message.c_str());
            std::abort();
        }
        if (!win32::ConnectToHost(home)) std::abort();
        PrepareDriveKey();
        StartDriverService();
        device = OpenControlDevice();
        if (device == INVALID_HANDLE_VALUE) std::abort();
        PrepareDrive(device);
    }
    ~HostedDriver() {
        CloseHandle(device);
        win32::DisconnectFromHost();
        std::string message;
        win32::StopHost(home, &message);
        RemoveDir(home);
    }

    // KRDriver.sys beside this program, registered and started as the
    // installation does it.
    static void StartDriverService() {
        WCHAR self[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) std::abort();
        std::u16string image(self, length);
        image = image.substr(0, image.find_last_of(u'\\')) + u"\\KRDriver.sys";
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = CreateServiceW(manager, u"KRDriver", u"Korin Driver", SERVICE_ALL_ACCESS,
                                           SERVICE_FILE_SYSTEM_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                           image.c_str(), u"File System", nullptr, nullptr, nullptr, nullptr);
        if (!service || !StartServiceW(service, 0, nullptr)) {
            std::fprintf(stderr, "KRDriver did not start: %s\n", Win32ErrorName(GetLastError()));
            std::abort();
        }
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }

    std::string home;
    HANDLE device = INVALID_HANDLE_VALUE;
};

HostedDriver& Driver() {
    static HostedDriver driver;
    return driver;
}

void BM_Socket_CreateThenDeleteMapping(benchmark::State& state) { CreateThenDelete(state, Driver().device); }
void BM_Socket_CreateMapping(benchmark::State& state) { CreateOnly(state, Driver().device); }
void BM_Socket_QueryItemType(benchmark::State& state) { QueryItemTypeLatency(state, Driver().device); }

BENCHMARK(BM_Socket_CreateThenDeleteMapping)->UseRealTime();
BENCHMARK(BM_Socket_CreateMapping)->Arg(100)->Arg(10000)->UseRealTime();
BENCHMARK(BM_Socket_QueryItemType)->UseRealTime();

}  // namespace
}  // namespace korin::control_bench

BENCHMARK_MAIN();
