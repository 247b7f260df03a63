// Control requests with KRDriver in this process: the driver client's
// DeviceIoControl through the in-process system calls, each change written
// through to a registry database in a temporary directory.

#include "bench_support.h"

#include "driver/drive.h"
#include "platform/nt/ob.h"
#include "platform/registry/process_database.h"
#include "platform/win32/files.h"

#include <cstdlib>

namespace korin::control_bench {
namespace {

struct InProcessDriver {
    InProcessDriver() {
        dir = MakeTempDir("korin-control-bench");
        if (!NT_SUCCESS(registry::OpenDatabase(dir + "/registry.db"))) std::abort();
        PrepareDriveKey();
        if (!NT_SUCCESS(io::StartBuiltinDriver(DriverEntry, u"KRDriver", 2, &driver))) std::abort();
        device = OpenControlDevice();
        if (device == INVALID_HANDLE_VALUE) std::abort();
        PrepareDrive(device);
    }
    ~InProcessDriver() {
        CloseHandle(device);
        io::UnloadDriver(driver);
        registry::CloseDatabase();
        RemoveDir(dir);
    }
    std::string dir;
    PDRIVER_OBJECT driver = nullptr;
    HANDLE device = INVALID_HANDLE_VALUE;
};

InProcessDriver& Driver() {
    static InProcessDriver driver;
    return driver;
}

void BM_InProcess_CreateThenDeleteMapping(benchmark::State& state) { CreateThenDelete(state, Driver().device); }
void BM_InProcess_CreateMapping(benchmark::State& state) { CreateOnly(state, Driver().device); }
void BM_InProcess_QueryItemType(benchmark::State& state) { QueryItemTypeLatency(state, Driver().device); }

BENCHMARK(BM_InProcess_CreateThenDeleteMapping)->UseRealTime();
BENCHMARK(BM_InProcess_CreateMapping)->Arg(100)->Arg(10000)->UseRealTime();
BENCHMARK(BM_InProcess_QueryItemType)->UseRealTime();

}  // namespace
}  // namespace korin::control_bench

BENCHMARK_MAIN();
