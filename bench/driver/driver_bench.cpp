// KRDriver's core paths, with the driver running in-process over a temporary
// registry:
//   ResolvePath of a path of 10 components (goal: under 2 us);
//   LookupChild in a folder of 100,000 children, random names and one name
//   again and again;
//   start-up (DriverEntry) with a store of 100,000 mappings in 1,000
//   folders (goal: under 1 s), and with one folder of 100,000 mappings;
//   the memory of one mapping node beside its name and target: the record
//   and what pool and the heap add to it (goal: under 200 bytes).
#include "driver/drive.h"
#include "driver/namespace.h"
#include "platform/nt/iomgr.h"
#include "platform/nt/ob.h"
#include "platform/registry/process_database.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr char16_t kDriveKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver\\Drive";
constexpr ULONG kFileSystemDriver = 2;

UNICODE_STRING Counted(const std::u16string& text) {
    return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                          const_cast<PWSTR>(text.data())};
}

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

std::u16string Numbered(const char* format, int n) {
    char text[64];
    std::snprintf(text, sizeof text, format, n);
    return Wide(text);
}

HANDLE CreateKey(const std::u16string& name, HANDLE root) {
    std::u16string text = name;
    UNICODE_STRING counted = Counted(text);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &counted, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr))) {
        std::fprintf(stderr, "cannot create key\n");
        std::abort();
    }
    return key;
}

void SetValue(HANDLE key, const std::u16string& name, ULONG type, const void* data, ULONG size) {
    std::u16string text = name;
    UNICODE_STRING counted = Counted(text);
    if (!NT_SUCCESS(ZwSetValueKey(key, &counted, 0, type, const_cast<void*>(data), size))) std::abort();
}

// A registry of its own in a temporary directory, with the Drive key and
// one drive X (instance 0), and the driver started over it.
class Machine {
public:
    // populate fills the Drive key (open handle) before the driver starts.
    template <typename Populate>
    explicit Machine(Populate populate) {
        std::string pattern = (std::filesystem::temp_directory_path() / "korin-driverbench-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        dir_ = pattern;
        korin::ob::ResetNamespace();
        if (!NT_SUCCESS(korin::registry::OpenDatabase(dir_ + "/registry.db"))) std::abort();
        HANDLE key = CreateKey(u"\\Registry\\Machine\\System\\CurrentControlSet", nullptr);
        HANDLE services = CreateKey(u"Services", key);
        HANDLE service = CreateKey(u"KRDriver", services);
        HANDLE drive = CreateKey(u"Drive", service);
        ULONG next = 1;
        SetValue(drive, u"NextInstance", REG_DWORD, &next, sizeof next);
        const std::u16string label = u"Bench";
        std::vector<uint8_t> record(4 + label.size() * 2);
        record[0] = 'X';
        record[2] = static_cast<uint8_t>(label.size() * 2);
        std::memcpy(record.data() + 4, label.data(), label.size() * 2);
        SetValue(drive, u"0", REG_BINARY, record.data(), static_cast<ULONG>(record.size()));
        HANDLE root = CreateKey(u"0", drive);
        populate(root);
        for (HANDLE h : {root, drive, service, services, key}) ZwClose(h);
    }
    ~Machine() {
        Stop();
        korin::registry::CloseDatabase();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    void Start() {
        if (!NT_SUCCESS(korin::io::StartBuiltinDriver(DriverEntry, u"KRDriver", kFileSystemDriver, &driver_)))
            std::abort();
    }
    void Stop() {
        if (driver_) korin::io::UnloadDriver(driver_);
        driver_ = nullptr;
    }
    TREE_NODE* Root() const { return VcbFromLetter(u'X')->RootFcb->Node; }
    VCB* Drive() const { return VcbFromLetter(u'X'); }

private:
    std::string dir_;
    PDRIVER_OBJECT driver_ = nullptr;
};

// A node added in memory only, as the loader adds one.
TREE_NODE* AddNode(TREE_NODE* parent, const std::u16string& name) {
    TREE_NODE* node;
    if (!NT_SUCCESS(AllocateTreeNode(&node))) std::abort();
    UNICODE_STRING counted = Counted(name);
    if (!NT_SUCCESS(DuplicateString(&node->Name, &counted))) std::abort();
    InsertChild(parent, node);
    return node;
}

void BM_ResolvePath10Components(benchmark::State& state) {
    Machine machine([](HANDLE) {});
    machine.Start();
    // Ten levels of twenty folders each; the path takes one of them per level.
    std::u16string text = u"X:";
    {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&machine.Drive()->MainResource, TRUE);
        TREE_NODE* at = machine.Root();
        for (int level = 0; level < 10; ++level) {
            TREE_NODE* next = nullptr;
            for (int i = 0; i < 20; ++i) {
                TREE_NODE* node = AddNode(at, Numbered("Folder %02d", i));
                if (i == 13) next = node;
            }
            text += u"\\Folder 13";
            at = next;
        }
        ExReleaseResourceLite(&machine.Drive()->MainResource);
        KeLeaveCriticalRegion();
    }
    UNICODE_STRING path = Counted(text);
    UNICODE_STRING remainder;
    TREE_NODE* node = nullptr;
    KeEnterCriticalRegion();
    for (auto _ : state) {
        ResolvePath(&path, &remainder, &node);
        benchmark::DoNotOptimize(node);
    }
    KeLeaveCriticalRegion();
    if (remainder.Length != 0) state.SkipWithError("the path did not resolve");
}
BENCHMARK(BM_ResolvePath10Components);

// A folder of 100,000 children inserted in random order.
class LargeFolder {
public:
    LargeFolder() : machine_([](HANDLE) {}) {
        machine_.Start();
        for (int i = 0; i < 100000; ++i) names_.push_back(Numbered("mapping-%06d.txt", i));
        std::mt19937 random(42);
        std::shuffle(names_.begin(), names_.end(), random);
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&machine_.Drive()->MainResource, TRUE);
        for (const auto& name : names_) AddNode(machine_.Root(), name);
        std::shuffle(names_.begin(), names_.end(), random);
    }
    ~LargeFolder() {
        ExReleaseResourceLite(&machine_.Drive()->MainResource);
        KeLeaveCriticalRegion();
    }
    TREE_NODE* Root() const { return machine_.Root(); }
    const std::vector<std::u16string>& Names() const { return names_; }

private:
    Machine machine_;
    std::vector<std::u16string> names_;
};

void BM_LookupChildRandomIn100k(benchmark::State& state) {
    LargeFolder folder;
    std::vector<UNICODE_STRING> names;
    for (const auto& name : folder.Names()) names.push_back(Counted(name));
    size_t i = 0;
    for (auto _ : state) {
        TREE_NODE* found = LookupChild(folder.Root(), &names[i]);
        benchmark::DoNotOptimize(found);
        if (++i == names.size()) i = 0;
    }
}
BENCHMARK(BM_LookupChildRandomIn100k);

void BM_LookupChildSameNameIn100k(benchmark::State& state) {
    LargeFolder folder;
    UNICODE_STRING name = Counted(folder.Names()[777]);
    for (auto _ : state) {
        TREE_NODE* found = LookupChild(folder.Root(), &name);
        benchmark::DoNotOptimize(found);
    }
}
BENCHMARK(BM_LookupChildSameNameIn100k);

// DriverEntry over a store of 100,000 mappings in 1,000 folders of drive X.
void BM_StartWith100kMappings(benchmark::State& state) {
    Machine machine([](HANDLE root) {
        for (int f = 0; f < 1000; ++f) {
            HANDLE folder = CreateKey(Numbered("Folder %04d", f), root);
            for (int m = 0; m < 100; ++m) {
                std::u16string target = Numbered("C:\\Data\\Projects\\%06d\\report.docx", f * 100 + m);
                SetValue(folder, Numbered("Report %03d.docx", m), REG_SZ, target.c_str(),
                         static_cast<ULONG>((target.size() + 1) * 2));
            }
            ZwClose(folder);
        }
    });
    for (auto _ : state) {
        machine.Start();
        state.PauseTiming();
        if (!machine.Drive() || IsFolderEmpty(machine.Root())) state.SkipWithError("the drive did not load");
        machine.Stop();
        state.ResumeTiming();
    }
    state.counters["mappings"] = 100000;
}
BENCHMARK(BM_StartWith100kMappings)->Unit(benchmark::kMillisecond)->Iterations(5);

// DriverEntry over a store whose drive X holds ONE folder of 100,000
// mappings, stored in name order as the registry lists them; each run also
// looks up the folder's first child once: the bottom of the chain a folder
// loaded in order would become if each newcomer were only splayed to the top.
void BM_StartWithOneFolderOf100kMappings(benchmark::State& state) {
    Machine machine([](HANDLE root) {
        HANDLE folder = CreateKey(u"Big", root);
        const std::u16string target = u"C:\\Data\\report.docx";
        for (int m = 0; m < 100000; ++m) {
            SetValue(folder, Numbered("Report %06d.docx", m), REG_SZ, target.c_str(),
                     static_cast<ULONG>((target.size() + 1) * 2));
        }
        ZwClose(folder);
    });
    std::u16string bigText = u"Big", lastText = u"Report 000000.docx";
    UNICODE_STRING bigName = Counted(bigText), lastName = Counted(lastText);
    for (auto _ : state) {
        machine.Start();
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&machine.Drive()->MainResource, TRUE);
        TREE_NODE* big = LookupChild(machine.Root(), &bigName);
        TREE_NODE* found = big ? LookupChild(big, &lastName) : nullptr;
        ExReleaseResourceLite(&machine.Drive()->MainResource);
        KeLeaveCriticalRegion();
        state.PauseTiming();
        if (!found) state.SkipWithError("the folder did not load");
        machine.Stop();
        state.ResumeTiming();
    }
    state.counters["mappings"] = 100000;
}
BENCHMARK(BM_StartWithOneFolderOf100kMappings)->Unit(benchmark::kMillisecond)->Iterations(5);

// The heap bytes one node takes: the record, pool's header and the heap's
// own rounding and bookkeeping, measured over many nodes; its name and
// target are separate blocks and not counted.
void BM_MappingNodeMemory(benchmark::State& state) {
    constexpr int kNodes = 100000;
    std::vector<TREE_NODE*> nodes(kNodes);
    double perNode = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        for (auto& node : nodes)
            if (!NT_SUCCESS(AllocateTreeNode(&node))) std::abort();
        perNode = static_cast<double>(mallinfo2().uordblks - before) / kNodes;
        for (TREE_NODE* node : nodes) FreeTreeNode(node);
    }
    state.counters["bytes_per_node"] = perNode;
    state.counters["sizeof_TREE_NODE"] = sizeof(TREE_NODE);
}
BENCHMARK(BM_MappingNodeMemory)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
