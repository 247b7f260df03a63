// Opens and listings through the host file system beside the same work done
// with plain POSIX calls, on one temporary directory:
//   open+close of one host file (CreateFileW/CloseHandle, NtCreateFile/NtClose
//   against open()/close());
//   a listing of 10,000 host files with their attributes
//   (FindFirstFileW/FindNextFileW, NtQueryDirectoryFile against
//   opendir/readdir and a stat per entry).
#include "platform/hostfs/hostfs.h"
#include "platform/nt/ntddk.h"
#include "platform/nt/syscalls.h"
#include "platform/win32/files.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kListedFiles = 10000;

std::string g_root;

// Builds the directory tree once and serves it as T:.
bool SetUpHost(PDRIVER_OBJECT* driver) {
    char pattern[] = "/tmp/korin-hostfs-bench-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    g_root = pattern;
    std::FILE* file = std::fopen((g_root + "/bench.txt").c_str(), "w");
    if (!file) return false;
    std::fputs("benchmark", file);
    std::fclose(file);
    std::filesystem::create_directory(g_root + "/many");
    for (int i = 0; i < kListedFiles; ++i) {
        char name[64];
        std::snprintf(name, sizeof(name), "/many/file-%05d.txt", i);
        int fd = open((g_root + name).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) return false;
        close(fd);
    }
    korin::hostfs::Configuration configuration;
    configuration.Drives = {{u'C', "/"}, {u'T', g_root}};
    if (!NT_SUCCESS(korin::hostfs::Configure(configuration))) return false;
    return NT_SUCCESS(korin::io::StartBuiltinDriver(HostFsDriverEntry, korin::hostfs::kServiceName, 2, driver));
}

NTSTATUS NtOpen(const std::u16string& name, HANDLE* handle, ULONG options) {
    std::u16string text = name;
    UNICODE_STRING string{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &string, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    return NtCreateFile(handle, FILE_GENERIC_READ, &attributes, &iosb, nullptr, 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

void BM_OpenClose_Posix(benchmark::State& state) {
    std::string path = g_root + "/bench.txt";
    for (auto _ : state) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) state.SkipWithError("open failed");
        close(fd);
    }
}
BENCHMARK(BM_OpenClose_Posix);

void BM_OpenClose_NtCreateFile(benchmark::State& state) {
    const std::u16string name = u"\\??\\T:\\bench.txt";
    for (auto _ : state) {
        HANDLE handle;
        if (!NT_SUCCESS(NtOpen(name, &handle, FILE_NON_DIRECTORY_FILE))) state.SkipWithError("open failed");
        NtClose(handle);
    }
}
BENCHMARK(BM_OpenClose_NtCreateFile);

void BM_OpenClose_CreateFileW(benchmark::State& state) {
    for (auto _ : state) {
        HANDLE handle = CreateFileW(u"T:\\bench.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) state.SkipWithError("CreateFileW failed");
        CloseHandle(handle);
    }
}
BENCHMARK(BM_OpenClose_CreateFileW);

void BM_List10000_PosixReaddirStat(benchmark::State& state) {
    std::string path = g_root + "/many";
    for (auto _ : state) {
        DIR* dir = opendir(path.c_str());
        size_t entries = 0;
        while (struct dirent* entry = readdir(dir)) {
            struct stat st;
            if (fstatat(dirfd(dir), entry->d_name, &st, 0) == 0) ++entries;
        }
        closedir(dir);
        if (entries != kListedFiles + 2) state.SkipWithError("short listing");
    }
    state.SetItemsProcessed(state.iterations() * kListedFiles);
}
BENCHMARK(BM_List10000_PosixReaddirStat)->Unit(benchmark::kMillisecond);

void BM_List10000_NtQueryDirectoryFile(benchmark::State& state) {
    std::vector<char> buffer(64 * 1024);
    for (auto _ : state) {
        HANDLE handle;
        if (!NT_SUCCESS(NtOpen(u"\\??\\T:\\many", &handle, FILE_DIRECTORY_FILE))) state.SkipWithError("open failed");
        size_t entries = 0;
        for (;;) {
            IO_STATUS_BLOCK iosb{};
            NTSTATUS status = NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &iosb, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), FileBothDirectoryInformation,
                                                   FALSE, nullptr, FALSE);
            if (status != STATUS_SUCCESS) break;
            for (ULONG at = 0;;) {
                auto* entry = reinterpret_cast<FILE_BOTH_DIR_INFORMATION*>(buffer.data() + at);
                ++entries;
                if (entry->NextEntryOffset == 0) break;
                at += entry->NextEntryOffset;
            }
        }
        NtClose(handle);
        if (entries != kListedFiles + 2) state.SkipWithError("short listing");
    }
    state.SetItemsProcessed(state.iterations() * kListedFiles);
}
BENCHMARK(BM_List10000_NtQueryDirectoryFile)->Unit(benchmark::kMillisecond);

void BM_List10000_FindFirstFileW(benchmark::State& state) {
    for (auto _ : state) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(u"T:\\many\\*", &data);
        if (find == INVALID_HANDLE_VALUE) state.SkipWithError("FindFirstFileW failed");
        size_t entries = 1;
        while (FindNextFileW(find, &data)) ++entries;
        FindClose(find);
        if (entries != kListedFiles + 2) state.SkipWithError("short listing");
    }
    state.SetItemsProcessed(state.iterations() * kListedFiles);
}
BENCHMARK(BM_List10000_FindFirstFileW)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    PDRIVER_OBJECT driver = nullptr;
    if (!SetUpHost(&driver)) {
        std::fprintf(stderr, "bench_hostfs: could not set up the host directory and driver\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    korin::io::UnloadDriver(driver);
    std::filesystem::remove_all(g_root);
    return 0;
}
