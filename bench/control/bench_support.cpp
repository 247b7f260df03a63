// The control benchmarks' shared loops.

#include "bench_support.h"

#include "platform/win32/registry.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace korin::control_bench {

namespace {

[[noreturn]] void Die(const char* what, long code) {
    std::fprintf(stderr, "control benchmark: %s failed (0x%lx)\n", what, code);
    std::abort();
}

std::u16string Numbered(std::u16string prefix, long n) {
    for (char c : std::to_string(n)) prefix.push_back(static_cast<char16_t>(c));
    return prefix;
}

}  // namespace

std::string MakeTempDir(const char* prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) Die("mkdtemp", 0);
    return pattern;
}

void RemoveDir(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void PrepareDriveKey() {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\KRDriver\\Drive", 0,
                                     nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) Die("creating the Drive key", status);
    const DWORD zero = 0;
    status = RegSetValueExW(key, u"NextInstance", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    if (status != ERROR_SUCCESS) Die("writing NextInstance", status);
    RegCloseKey(key);
}

void PrepareDrive(HANDLE device) {
    NTSTATUS status = CreateDrive(device, u'K', u"Bench");
    if (status != STATUS_SUCCESS) Die("CreateDrive", status);
    status = CreateFolder(device, u"K:\\Docs");
    if (status != STATUS_SUCCESS) Die("CreateFolder", status);
    status = CreateMapping(device, u"K:\\Docs\\a.txt", u"C:\\a.txt");
    if (status != STATUS_SUCCESS) Die("CreateMapping", status);
}

void CreateThenDelete(benchmark::State& state, HANDLE device) {
    long n = 0;
    for (auto _ : state) {
        const std::u16string path = Numbered(u"K:\\Docs\\m", n++);
        NTSTATUS status = CreateMapping(device, path, u"C:\\data\\report.txt");
        if (status != STATUS_SUCCESS) Die("CreateMapping", status);
        DeleteMapping(device, path, &status);
        if (status != STATUS_SUCCESS) Die("DeleteMapping", status);
    }
    state.SetItemsProcessed(state.iterations());
}

void CreateOnly(benchmark::State& state, HANDLE device) {
    static long folder = 0;
    const long perFolder = state.range(0);
    std::u16string parent = Numbered(u"K:\\Work", folder++);
    if (CreateFolder(device, parent) != STATUS_SUCCESS) Die("CreateFolder", 0);
    long n = 0;
    for (auto _ : state) {
        NTSTATUS status = CreateMapping(device, Numbered(parent + u"\\m", n), u"C:\\data\\report.txt");
        if (status != STATUS_SUCCESS) Die("CreateMapping", status);
        if (++n % perFolder == 0) {
            state.PauseTiming();
            DeleteFolder(device, parent);
            parent = Numbered(u"K:\\Work", folder++);
            if (CreateFolder(device, parent) != STATUS_SUCCESS) Die("CreateFolder", 0);
            state.ResumeTiming();
        }
    }
    DeleteFolder(device, parent);
    state.SetItemsProcessed(state.iterations());
}

void QueryItemTypeLatency(benchmark::State& state, HANDLE device) {
    for (auto _ : state) {
        NTSTATUS status = STATUS_SUCCESS;
        if (QueryItemType(device, u"K:\\Docs\\a.txt", &status) != ItemFileMapping) Die("QueryItemType", status);
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace korin::control_bench
