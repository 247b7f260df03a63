// The test machine of core_fixture.h.
#include "core_fixture.h"

#include "platform/nt/iomgr.h"
#include "platform/nt/ob.h"
#include "platform/nt/pool.h"
#include "platform/nt/workqueue.h"
#include "platform/registry/process_database.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace korin::drivercore {
namespace {

constexpr ULONG kFileSystemDriver = 2;

// Every tag the driver allocates with, and the I/O manager's tags its
// requests use.
constexpr const char* kDriverTags[] = {"RIcx", "RDcb", "RCcb", "QTN0", "Qstr", "QStr", "Qdev", "QReg", "QKey",
                                       "QVol", "aaa0", "Qnfn", "RDi1", "RDi2", "RDi3", "FSNs", "IoWk", "IoMd"};

class KeyHandle {
public:
    KeyHandle() = default;
    ~KeyHandle() {
        if (h_) ZwClose(h_);
    }
    KeyHandle(const KeyHandle&) = delete;
    KeyHandle& operator=(const KeyHandle&) = delete;
    HANDLE* out() { return &h_; }
    HANDLE get() const { return h_; }

private:
    HANDLE h_ = nullptr;
};

NTSTATUS OpenAbsolute(KeyHandle& key, const std::u16string& path, bool create) {
    std::u16string text = path;
    UNICODE_STRING name = Counted(text);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    if (!create) return ZwOpenKey(key.out(), KEY_ALL_ACCESS, &attributes);
    return ZwCreateKey(key.out(), KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::vector<uint8_t> DriveRecord(char16_t letter, const std::u16string& name) {
    std::vector<uint8_t> record(4 + name.size() * 2);
    const auto length = static_cast<uint16_t>(name.size() * 2);
    std::memcpy(record.data(), &letter, 2);
    std::memcpy(record.data() + 2, &length, 2);
    std::memcpy(record.data() + 4, name.data(), length);
    return record;
}

std::vector<uint8_t> StringData(const std::u16string& text) {
    std::vector<uint8_t> data((text.size() + 1) * 2, 0);
    std::memcpy(data.data(), text.data(), text.size() * 2);
    return data;
}

void CreateKeyPath(const std::u16string& path) {
    const size_t start = std::u16string(u"\\Registry\\Machine\\").size();
    for (size_t at = start; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != u'\\') continue;
        KeyHandle key;
        ASSERT_EQ(OpenAbsolute(key, path.substr(0, at), true), STATUS_SUCCESS) << Narrow(path.substr(0, at));
    }
}

bool KeyExists(const std::u16string& path) {
    KeyHandle key;
    return NT_SUCCESS(OpenAbsolute(key, path, false));
}

void SetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type, const std::vector<uint8_t>& data) {
    KeyHandle key;
    ASSERT_EQ(OpenAbsolute(key, keyPath, false), STATUS_SUCCESS) << Narrow(keyPath);
    std::u16string text = name;
    UNICODE_STRING valueName = Counted(text);
    ASSERT_EQ(ZwSetValueKey(key.get(), &valueName, 0, type, const_cast<uint8_t*>(data.data()),
                            static_cast<ULONG>(data.size())),
              STATUS_SUCCESS);
}

void SetDword(const std::u16string& keyPath, const std::u16string& name, ULONG value) {
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    SetValue(keyPath, name, REG_DWORD, data);
}

std::optional<RegValue> ReadValue(const std::u16string& keyPath, const std::u16string& name) {
    KeyHandle key;
    if (!NT_SUCCESS(OpenAbsolute(key, keyPath, false))) return std::nullopt;
    std::u16string text = name;
    UNICODE_STRING valueName = Counted(text);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key.get(), &valueName, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL) return std::nullopt;
    std::vector<uint64_t> buffer(needed / 8 + 1);
    if (!NT_SUCCESS(ZwQueryValueKey(key.get(), &valueName, KeyValuePartialInformation, buffer.data(), needed, &needed)))
        return std::nullopt;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    return RegValue{info->Type, std::vector<uint8_t>(info->Data, info->Data + info->DataLength)};
}

void DeleteValue(const std::u16string& keyPath, const std::u16string& name) {
    KeyHandle key;
    ASSERT_EQ(OpenAbsolute(key, keyPath, false), STATUS_SUCCESS);
    std::u16string text = name;
    UNICODE_STRING valueName = Counted(text);
    ASSERT_EQ(ZwDeleteValueKey(key.get(), &valueName), STATUS_SUCCESS);
}

std::vector<std::u16string> Subkeys(const std::u16string& path) {
    std::vector<std::u16string> names;
    KeyHandle key;
    if (!NT_SUCCESS(OpenAbsolute(key, path, false))) return names;
    alignas(8) uint8_t buffer[1024];
    ULONG needed;
    for (ULONG i = 0; NT_SUCCESS(ZwEnumerateKey(key.get(), i, KeyBasicInformation, buffer, sizeof buffer, &needed)); ++i) {
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer);
        names.emplace_back(info->Name, info->NameLength / 2);
    }
    return names;
}

std::vector<std::u16string> ValueNames(const std::u16string& path) {
    std::vector<std::u16string> names;
    KeyHandle key;
    if (!NT_SUCCESS(OpenAbsolute(key, path, false))) return names;
    std::vector<uint64_t> buffer(8192);
    ULONG needed;
    for (ULONG i = 0; NT_SUCCESS(ZwEnumerateValueKey(key.get(), i, KeyValueBasicInformation, buffer.data(),
                                                     buffer.size() * 8, &needed));
         ++i) {
        auto* info = reinterpret_cast<KEY_VALUE_BASIC_INFORMATION*>(buffer.data());
        names.emplace_back(info->Name, info->NameLength / 2);
    }
    return names;
}

// ----- The fixture ---------------------------------------------------------------------------------

void DriverTest::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korin-drivercore-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ob::ResetNamespace();
    ASSERT_EQ(registry::OpenDatabase(dir_ + "/registry.db"), STATUS_SUCCESS);
    CreateKeyPath(kDriveKey);
    SetDword(kDriveKey, u"NextInstance", 0);
    for (const auto& [tag, count] : DriverBlocks()) ADD_FAILURE() << count << " block(s) of " << tag << " before the test";
}

void DriverTest::TearDown() {
    pool::ClearInjectedFailures();
    workqueue::Drain();
    if (driver_) Stop();
    for (const auto& [tag, count] : DriverBlocks()) ADD_FAILURE() << count << " block(s) of " << tag << " left";
    ob::ResetNamespace();
    registry::CloseDatabase();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

NTSTATUS DriverTest::Start() {
    EXPECT_EQ(driver_, nullptr);
    return io::StartBuiltinDriver(DriverEntry, u"KRDriver", kFileSystemDriver, &driver_);
}

void DriverTest::Stop() {
    workqueue::Drain();
    ASSERT_NE(driver_, nullptr);
    EXPECT_EQ(io::UnloadDriver(driver_), STATUS_SUCCESS);
    driver_ = nullptr;
}

void DriverTest::StoreDrive(const std::u16string& instance, char16_t letter, const std::u16string& name,
                            bool withKey) {
    SetValue(kDriveKey, instance, REG_BINARY, DriveRecord(letter, name));
    if (withKey) CreateKeyPath(kDriveKey + u"\\" + instance);
}

NTSTATUS DriverTest::CreateDriveNow(char16_t letter, const std::u16string& name) {
    std::vector<uint8_t> record = DriveRecord(letter, name);
    return CreateDrive(record.data(), static_cast<ULONG>(record.size()));
}

TREE_NODE* DriverTest::Root(char16_t letter) const {
    VCB* vcb = Drive(letter);
    return vcb ? vcb->RootFcb->Node : nullptr;
}

VCB* VcbOf(TREE_NODE* node) {
    while (node->Parent) node = node->Parent;
    return node->Fcb->Vcb;
}

TREE_NODE* DriverTest::AddFolder(TREE_NODE* parent, const std::u16string& name) {
    DriveLock lock(VcbOf(parent));
    std::u16string text = name;
    UNICODE_STRING counted = Counted(text);
    TREE_NODE* node = nullptr;
    EXPECT_EQ(CreateFolderNode(&node, parent, &counted), STATUS_SUCCESS);
    return node;
}

TREE_NODE* DriverTest::AddMapping(TREE_NODE* parent, const std::u16string& name, const std::u16string& target) {
    DriveLock lock(VcbOf(parent));
    std::u16string nameText = name, targetText = target;  // targetText's buffer ends with a NUL
    UNICODE_STRING counted = Counted(nameText), targetString = Counted(targetText);
    TREE_NODE* node = nullptr;
    EXPECT_EQ(CreateMappingNode(&node, parent, &counted, &targetString), STATUS_SUCCESS);
    return node;
}

TREE_NODE* DriverTest::Find(char16_t letter, const std::u16string& path) {
    VCB* vcb = Drive(letter);
    if (!vcb) return nullptr;
    DriveLock lock(vcb);
    TREE_NODE* node = vcb->RootFcb->Node;
    for (const std::u16string& part : SplitPath(path)) {
        UNICODE_STRING name = Counted(part);
        node = LookupChild(node, &name);
        if (!node) return nullptr;
    }
    return node;
}

std::vector<std::u16string> DriverTest::Children(TREE_NODE* node) {
    std::vector<std::u16string> names;
    for (PLIST_ENTRY e = node->ChildList.Flink; e != &node->ChildList; e = e->Flink)
        names.push_back(Text(CONTAINING_RECORD(e, TREE_NODE, SiblingLink)->Name));
    return names;
}

std::u16string DriverTest::LinkTarget(const std::u16string& link) const {
    std::vector<std::u16string> targets = ob::QueryLinkTargets(link);
    return targets.empty() ? std::u16string() : targets.front();
}

bool DriverTest::DeviceExists(const std::u16string& name) const {
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder;
    return NT_SUCCESS(ob::ParsePath(name, &device, &remainder)) && device && remainder.empty();
}

std::map<std::string, size_t> DriverTest::DriverBlocks() {
    std::map<std::string, size_t> blocks;
    const std::map<std::string, size_t> live = pool::LiveByTag();
    for (const char* tag : kDriverTags) {
        auto it = live.find(tag);
        if (it != live.end()) blocks[tag] = it->second;
    }
    return blocks;
}

}  // namespace korin::drivercore
