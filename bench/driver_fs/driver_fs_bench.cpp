// A virtual drive against the host drive it leads to, on one temporary
// directory of 10,000 files:
//   a listing of a virtual folder of 10,000 mappings to those files
//   (FileIdBothDirectoryInformation, 64 KiB buffer) beside a listing of the
//   host directory itself;
//   an open and close of a mapped file through the drive (a reparse to the
//   host drive) beside the same open on the host drive.
#include "driver/drive.h"
#include "driver/namespace.h"
#include "platform/hostfs/hostfs.h"
#include "platform/nt/ntddk.h"
#include "platform/nt/ob.h"
#include "platform/nt/syscalls.h"
#include "platform/registry/process_database.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kFiles = 10000;
constexpr ULONG kListingBuffer = 64 * 1024;
constexpr char16_t kDriveKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver\\Drive";

std::string g_root;

UNICODE_STRING Counted(const std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          const_cast<PWSTR>(text.data())};
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::string FileName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "file-%05d.txt", i);
    return name;
}

bool CreateKey(const std::u16string& path) {
    UNICODE_STRING name = Counted(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr)))
        return false;
    ZwClose(key);
    return true;
}

bool SetValue(const std::u16string& keyPath, const std::u16string& valueName, ULONG type, const void* data,
              ULONG size) {
    UNICODE_STRING name = Counted(keyPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes))) return false;
    std::u16string text = valueName;
    UNICODE_STRING value = Counted(text);
    NTSTATUS status = ZwSetValueKey(key, &value, 0, type, const_cast<void*>(data), size);
    ZwClose(key);
    return NT_SUCCESS(status);
}

// The store of drive X (instance 0): a folder Many whose 10,000 mappings
// lead to the host files, written before the driver starts and loads it.
bool WriteStore() {
    const std::u16string drive = kDriveKey;
    for (const std::u16string& key : {std::u16string(u"\\Registry\\Machine\\System"),
                                      std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet"),
                                      std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services"),
                                      std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver"),
                                      drive, drive + u"\\0", drive + u"\\0\\Many"}) {
        if (!CreateKey(key)) return false;
    }
    DWORD next = 1;
    const unsigned char record[] = {'X', 0, 8, 0, 'B', 0, 'e', 0, 'n', 0, 'c', 0};
    if (!SetValue(drive, u"NextInstance", REG_DWORD, &next, sizeof next)) return false;
    if (!SetValue(drive, u"0", REG_BINARY, record, sizeof record)) return false;
    for (int i = 0; i < kFiles; ++i) {
        const std::u16string target = u"H:\\many\\" + Wide(FileName(i));
        if (!SetValue(drive + u"\\0\\Many", Wide(FileName(i)), REG_SZ, target.c_str(),
                      static_cast<ULONG>((target.size() + 1) * 2)))
            return false;
    }
    return true;
}

bool SetUp(PDRIVER_OBJECT* hostFs, PDRIVER_OBJECT* driver) {
    char pattern[] = "/tmp/korin-driverfs-bench-XXXXXX";
    if (!mkdtemp(pattern)) return false;
    g_root = pattern;
    std::filesystem::create_directory(g_root + "/host");
    std::filesystem::create_directory(g_root + "/host/many");
    for (int i = 0; i < kFiles; ++i) {
        int fd = open((g_root + "/host/many/" + FileName(i)).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) return false;
        if (write(fd, "x", 1) != 1) return false;
        close(fd);
    }
    if (!NT_SUCCESS(korin::registry::OpenDatabase(g_root + "/registry.db"))) return false;
    if (!WriteStore()) return false;
    korin::hostfs::Configuration configuration;
    configuration.Drives = {{u'H', g_root + "/host"}};
    if (!NT_SUCCESS(korin::hostfs::Configure(configuration))) return false;
    if (!NT_SUCCESS(korin::io::StartBuiltinDriver(HostFsDriverEntry, korin::hostfs::kServiceName, 2, hostFs)))
        return false;
    if (!NT_SUCCESS(korin::io::StartBuiltinDriver(DriverEntry, u"KRDriver", 2, driver))) return false;
    return VcbFromLetter(u'X') != nullptr;
}

NTSTATUS Open(const std::u16string& path, HANDLE* handle, ACCESS_MASK access, ULONG options) {
    std::u16string text = path;
    UNICODE_STRING name = Counted(text);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    return NtCreateFile(handle, access, &attributes, &ioStatus, nullptr, 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                        options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// Lists directory to the end; the number of entries, -1 on failure.
long ListAll(const std::u16string& directory, std::vector<unsigned char>& buffer) {
    HANDLE handle;
    if (!NT_SUCCESS(Open(directory, &handle, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_DIRECTORY_FILE))) return -1;
    long entries = 0;
    for (;;) {
        IO_STATUS_BLOCK ioStatus{};
        NTSTATUS status = NtQueryDirectoryFile(handle, nullptr, nullptr, nullptr, &ioStatus, buffer.data(),
                                               kListingBuffer, FileIdBothDirectoryInformation, FALSE, nullptr, FALSE);
        if (status != STATUS_SUCCESS) break;
        for (ULONG at = 0;;) {
            ULONG next;
            std::memcpy(&next, buffer.data() + at, sizeof next);  // entries are not aligned
            ++entries;
            if (next == 0) break;
            at += next;
        }
    }
    NtClose(handle);
    return entries;
}

void ListBenchmark(benchmark::State& state, const std::u16string& directory) {
    std::vector<unsigned char> buffer(kListingBuffer);
    for (auto _ : state) {
        if (ListAll(directory, buffer) != kFiles + 2) state.SkipWithError("short listing");
    }
    state.SetItemsProcessed(state.iterations() * kFiles);
}

void BM_List10000_VirtualFolderOfMappings(benchmark::State& state) { ListBenchmark(state, u"\\??\\X:\\Many"); }
BENCHMARK(BM_List10000_VirtualFolderOfMappings)->Unit(benchmark::kMillisecond);

void BM_List10000_HostDirectory(benchmark::State& state) { ListBenchmark(state, u"\\??\\H:\\many"); }
BENCHMARK(BM_List10000_HostDirectory)->Unit(benchmark::kMillisecond);

void OpenBenchmark(benchmark::State& state, const std::u16string& path) {
    for (auto _ : state) {
        HANDLE handle;
        if (!NT_SUCCESS(Open(path, &handle, FILE_GENERIC_READ, FILE_NON_DIRECTORY_FILE))) {
            state.SkipWithError("open failed");
            break;
        }
        NtClose(handle);
    }
}

void BM_OpenClose_MappedFileThroughTheDrive(benchmark::State& state) {
    OpenBenchmark(state, u"\\??\\X:\\Many\\file-04242.txt");
}
BENCHMARK(BM_OpenClose_MappedFileThroughTheDrive);

void BM_OpenClose_SameFileOnTheHostDrive(benchmark::State& state) {
    OpenBenchmark(state, u"\\??\\H:\\many\\file-04242.txt");
}
BENCHMARK(BM_OpenClose_SameFileOnTheHostDrive);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    PDRIVER_OBJECT hostFs = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    if (!SetUp(&hostFs, &driver)) {
        std::fprintf(stderr, "bench_driver_fs: could not set up the host directory, store and drivers\n");
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    korin::io::UnloadDriver(driver);
    korin::io::UnloadDriver(hostFs);
    korin::registry::CloseDatabase();
    std::filesystem::remove_all(g_root);
    return 0;
}
