// Registry speed: one value write, one key creation, the driver's chain of
// three key opens, and enumeration by index at two sizes (the time per
// entry should not grow with the count).
#include "platform/nt/zw.h"
#include "platform/registry/process_database.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// A registry database in a fresh temporary directory for the whole run.
struct BenchRegistry {
    BenchRegistry() {
        std::string pattern = (std::filesystem::temp_directory_path() / "korin-registry-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        dir = pattern;
        if (!NT_SUCCESS(korin::registry::OpenDatabase(dir + "/registry.db"))) std::abort();
    }
    ~BenchRegistry() {
        korin::registry::CloseDatabase();
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::string dir;
};

BenchRegistry& Registry() {
    static BenchRegistry registry;
    return registry;
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

HANDLE Create(const std::u16string& path, HANDLE root = nullptr) {
    Registry();
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<PWSTR>(path.data())};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE key = nullptr;
    if (ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr) != STATUS_SUCCESS)
        std::abort();
    return key;
}

NTSTATUS SetDword(HANDLE key, const std::u16string& name, DWORD value) {
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                        const_cast<PWSTR>(name.data())};
    return ZwSetValueKey(key, &text, 0, REG_DWORD, &value, sizeof value);
}

// One committed value write (a mapping's REG_SZ, as the driver writes it).
void BM_SetValue(benchmark::State& state) {
    HANDLE key = Create(u"\\Registry\\Machine\\BenchWrite");
    const char16_t target[] = u"C:\\Projects\\Plans\\";
    std::u16string name = u"Mapping";
    UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    DWORD i = 0;
    for (auto _ : state) {
        text.Buffer[0] = static_cast<char16_t>(u'A' + (i++ % 26));  // 26 values rewritten in turn
        if (ZwSetValueKey(key, &text, 0, REG_SZ, const_cast<char16_t*>(target), sizeof target) != STATUS_SUCCESS)
            state.SkipWithError("write failed");
    }
    ZwClose(key);
}
BENCHMARK(BM_SetValue)->Repetitions(5)->ReportAggregatesOnly(true);

// One committed key creation, a new key each time.
void BM_CreateKey(benchmark::State& state) {
    static int round = 0;
    HANDLE parent = Create(u"\\Registry\\Machine\\BenchCreate" + Wide(std::to_string(round++)));
    long i = 0;
    for (auto _ : state) {
        HANDLE key = Create(Wide("Folder" + std::to_string(i++)), parent);
        ZwClose(key);
    }
    ZwClose(parent);
}
BENCHMARK(BM_CreateKey)->Repetitions(5)->ReportAggregatesOnly(true);

NTSTATUS Open(const std::u16string& path, HANDLE root, HANDLE* key) {
    UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                        const_cast<PWSTR>(path.data())};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwOpenKey(key, KEY_ALL_ACCESS, &oa);
}

// The driver's walk to a folder key: the Drive key by its absolute name,
// then the drive's key and a folder key, each relative to the one above.
void BM_OpenKeyChain(benchmark::State& state) {
    const std::u16string drive = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\BenchDriver\\Drive";
    ZwClose(Create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet"));
    ZwClose(Create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services"));
    ZwClose(Create(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\BenchDriver"));
    HANDLE driveKey = Create(drive);
    HANDLE instance = Create(u"Instance0", driveKey);
    ZwClose(Create(u"Docs", instance));
    ZwClose(instance);
    ZwClose(driveKey);
    for (auto _ : state) {
        HANDLE key, next;
        NTSTATUS status = Open(drive, nullptr, &key);
        for (const char16_t* part : {u"Instance0", u"Docs"}) {
            if (!NT_SUCCESS(status)) break;
            status = Open(part, key, &next);
            ZwClose(key);
            key = next;
        }
        if (!NT_SUCCESS(status)) state.SkipWithError("open failed");
        ZwClose(key);
    }
}
BENCHMARK(BM_OpenKeyChain)->Repetitions(5)->ReportAggregatesOnly(true);

// Enumerating every value by index the driver's way: ask the size with an
// empty buffer, then read the entry into a buffer of exactly that size.
void BM_EnumerateValues(benchmark::State& state) {
    const long count = state.range(0);
    HANDLE key = Create(u"\\Registry\\Machine\\BenchValues" + Wide(std::to_string(count)));
    for (long i = 0; i < count; ++i) SetDword(key, Wide("Value" + std::to_string(i)), static_cast<DWORD>(i));
    std::vector<uint8_t> buffer;
    for (auto _ : state) {
        // A fresh handle each round: the snapshot is built inside the timing.
        HANDLE handle = Create(u"", key);
        for (ULONG index = 0;; ++index) {
            ULONG needed = 0;
            NTSTATUS status = ZwEnumerateValueKey(handle, index, KeyValueFullInformation, nullptr, 0, &needed);
            if (status == STATUS_NO_MORE_ENTRIES) break;
            buffer.resize(needed);
            if (ZwEnumerateValueKey(handle, index, KeyValueFullInformation, buffer.data(), needed, &needed) !=
                STATUS_SUCCESS)
                state.SkipWithError("enumeration failed");
        }
        ZwClose(handle);
    }
    state.SetItemsProcessed(state.iterations() * count);
    ZwClose(key);
}
BENCHMARK(BM_EnumerateValues)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

void BM_EnumerateSubkeys(benchmark::State& state) {
    const long count = state.range(0);
    HANDLE key = Create(u"\\Registry\\Machine\\BenchKeys" + Wide(std::to_string(count)));
    for (long i = 0; i < count; ++i) ZwClose(Create(Wide("Folder" + std::to_string(i)), key));
    for (auto _ : state) {
        HANDLE handle = Create(u"", key);
        for (ULONG index = 0;; ++index) {
            alignas(8) uint8_t buffer[534];
            ULONG length;
            NTSTATUS status = ZwEnumerateKey(handle, index, KeyBasicInformation, buffer, sizeof buffer, &length);
            if (status == STATUS_NO_MORE_ENTRIES) break;
            if (status != STATUS_SUCCESS) state.SkipWithError("enumeration failed");
        }
        ZwClose(handle);
    }
    state.SetItemsProcessed(state.iterations() * count);
    ZwClose(key);
}
BENCHMARK(BM_EnumerateSubkeys)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
