// The syscall socket's cost: one trivial call's round trip (and so calls per
// second from one client), and reads of growing size, against a real
// korin-host started in a temporary home.
#include "platform/nt/syscalls.h"
#include "platform/win32/host_connection.h"
#include "platform/win32/syscall_table.h"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using korin::win32::Syscalls;

// One host for the whole run, with a temporary directory as drive B:.
class Host {
public:
    Host() {
        char pattern[] = "/tmp/korin-bench-XXXXXX";
        home_ = mkdtemp(pattern);
        std::filesystem::create_directories(home_ + "/data");
        std::ofstream(home_ + "/data/file.bin", std::ios::binary) << std::string(16 << 20, 'k');
        std::string message;
        if (!korin::win32::StartHost(home_, {"--drive", "B=" + home_ + "/data"}, &message) ||
            !korin::win32::ConnectToHost(home_)) {
            std::fprintf(stderr, "cannot start korin-host: %s\n", message.c_str());
            std::exit(1);
        }
    }
    ~Host() {
        korin::win32::DisconnectFromHost();
        std::string message;
        korin::win32::StopHost(home_, &message);
        std::filesystem::remove_all(home_);
    }
    HANDLE Open() {
        std::u16string path = u"\\??\\B:\\file.bin";
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        HANDLE handle = nullptr;
        NTSTATUS status = Syscalls().CreateFile(&handle, FILE_GENERIC_READ, &attributes, &io, nullptr, 0,
                                                FILE_SHARE_READ, FILE_OPEN,
                                                FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
        if (status != STATUS_SUCCESS) std::exit(2);
        return handle;
    }

private:
    std::string home_;
};

Host& TheHost() {
    static Host host;
    return host;
}

// One call that does almost nothing in the machine: the socket's round trip.
void BM_QueryInformationRoundTrip(benchmark::State& state) {
    HANDLE file = TheHost().Open();
    FILE_STANDARD_INFORMATION info;
    IO_STATUS_BLOCK io;
    for (auto _ : state) {
        NTSTATUS status = Syscalls().QueryInformationFile(file, &io, &info, sizeof info, FileStandardInformation);
        benchmark::DoNotOptimize(status);
    }
    state.SetItemsProcessed(state.iterations());
    Syscalls().Close(file);
}
BENCHMARK(BM_QueryInformationRoundTrip)->UseRealTime();

// Open and close: two round trips and the file system's work.
void BM_OpenClose(benchmark::State& state) {
    for (auto _ : state) Syscalls().Close(TheHost().Open());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenClose)->UseRealTime();

// Reads at an offset: how the cost grows with the bytes carried.
void BM_Read(benchmark::State& state) {
    HANDLE file = TheHost().Open();
    std::string buffer(static_cast<size_t>(state.range(0)), '\0');
    IO_STATUS_BLOCK io;
    LARGE_INTEGER offset{};
    for (auto _ : state) {
        NTSTATUS status = Syscalls().ReadFile(file, nullptr, nullptr, nullptr, &io, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &offset, nullptr);
        benchmark::DoNotOptimize(status);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
    Syscalls().Close(file);
}
BENCHMARK(BM_Read)->UseRealTime()->Arg(512)->Arg(64 << 10)->Arg(1 << 20)->Arg(16 << 20);

}  // namespace

BENCHMARK_MAIN();
