// The control tests' fixture.

#include "control_fixture.h"

#include "driver/drive.h"
#include "platform/nt/ob.h"
#include "platform/nt/syscalls.h"
#include "platform/registry/process_database.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>

namespace korin::control_test {

namespace {

constexpr char16_t kDriveKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver\\Drive";
constexpr ULONG kFileSystemDriver = 2;
constexpr UCHAR kUntouched = 0xAB;
constexpr ULONG_PTR kNoInformation = 0xDEADBEEF;

void Append(Bytes& bytes, std::u16string_view text) {
    const size_t at = bytes.size();
    bytes.resize(at + text.size() * sizeof(WCHAR));
    std::memcpy(bytes.data() + at, text.data(), text.size() * sizeof(WCHAR));
}

void AppendUnit(Bytes& bytes, WCHAR unit) { Append(bytes, std::u16string_view(&unit, 1)); }

struct Name {
    explicit Name(std::u16string_view value) : text(value) {
        string = UNICODE_STRING{static_cast<USHORT>(text.size() * sizeof(WCHAR)),
                                static_cast<USHORT>(text.size() * sizeof(WCHAR)), text.data()};
    }
    std::u16string text;
    UNICODE_STRING string;
};

NTSTATUS OpenKeyAt(HANDLE* key, std::u16string_view path, HANDLE root, bool create) {
    Name name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    if (create) return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    return ZwOpenKey(key, KEY_ALL_ACCESS, &attributes);
}

std::u16string DriveKeyPath(std::u16string_view relative) {
    std::u16string path = kDriveKey;
    if (!relative.empty()) path += u"\\" + std::u16string(relative);
    return path;
}

std::string Hex(const UCHAR* data, ULONG length) {
    std::string text;
    char byte[3];
    for (ULONG i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        text += byte;
    }
    return text;
}

// One line per value, then each subkey's dump, indented by depth.
void DumpKey(HANDLE key, const std::string& indent, std::ostringstream& out) {
    std::vector<UCHAR> buffer(1 << 17);
    for (ULONG index = 0;; ++index) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &length);
        if (status != STATUS_SUCCESS) break;
        auto* info = reinterpret_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.data());
        out << indent << "value " << Narrow({info->Name, info->NameLength / sizeof(WCHAR)}) << " type "
            << info->Type << " " << Hex(buffer.data() + info->DataOffset, info->DataLength) << "\n";
    }
    for (ULONG index = 0;; ++index) {
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(),
                                         static_cast<ULONG>(buffer.size()), &length);
        if (status != STATUS_SUCCESS) break;
        auto* info = reinterpret_cast<KEY_BASIC_INFORMATION*>(buffer.data());
        std::u16string name(info->Name, info->NameLength / sizeof(WCHAR));
        out << indent << "key " << Narrow(name) << "\n";
        HANDLE subkey = nullptr;
        if (OpenKeyAt(&subkey, name, key, false) == STATUS_SUCCESS) {
            DumpKey(subkey, indent + "  ", out);
            ZwClose(subkey);
        }
    }
}

std::u16string Text(PCUNICODE_STRING s) {
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

void DumpNode(TREE_NODE* node, const std::string& indent, std::ostringstream& out) {
    for (PLIST_ENTRY entry = node->ChildList.Flink; entry != &node->ChildList; entry = entry->Flink) {
        TREE_NODE* child = CONTAINING_RECORD(entry, TREE_NODE, SiblingLink);
        out << indent << Narrow(Text(&child->Name));
        if (child->Target) out << " -> " << Narrow(Text(child->Target));
        if (child->Parent != node) out << " (parent mismatch)";
        out << "\n";
        DumpNode(child, indent + "  ", out);
    }
}

}  // namespace

Bytes PathBytes(std::u16string_view path) {
    Bytes bytes;
    Append(bytes, path);
    return bytes;
}

Bytes PairBytes(std::u16string_view first, std::u16string_view second) {
    Bytes bytes;
    Append(bytes, first);
    AppendUnit(bytes, 0);
    Append(bytes, second);
    AppendUnit(bytes, 0);
    return bytes;
}

Bytes LetterBytes(WCHAR letter) {
    Bytes bytes;
    AppendUnit(bytes, letter);
    return bytes;
}

Bytes LetterPairBytes(WCHAR current, WCHAR next) {
    Bytes bytes;
    AppendUnit(bytes, current);
    AppendUnit(bytes, next);
    return bytes;
}

Bytes RecordBytes(WCHAR letter, std::u16string_view name) {
    Bytes bytes;
    AppendUnit(bytes, letter);
    AppendUnit(bytes, static_cast<WCHAR>(name.size() * sizeof(WCHAR)));
    Append(bytes, name);
    return bytes;
}

Bytes LetterAndNameBytes(WCHAR letter, std::u16string_view name) {
    Bytes bytes;
    AppendUnit(bytes, letter);
    Append(bytes, name);
    AppendUnit(bytes, 0);
    return bytes;
}

std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out;
}

ULONG Reply::Word() const {
    ULONG word = 0;
    if (output.size() >= sizeof word) std::memcpy(&word, output.data(), sizeof word);
    return word;
}

bool Reply::OutputUntouched() const {
    for (UCHAR b : output) {
        if (b != kUntouched) return false;
    }
    return true;
}

void ControlTest::SetUp() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korin-control-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    ASSERT_EQ(registry::OpenDatabase(dir_ + "/registry.db"), STATUS_SUCCESS);
    // What installation provides: the Drive key with "NextInstance" 0.
    std::u16string path = u"\\Registry\\Machine\\System";
    for (std::u16string_view part : {u"CurrentControlSet", u"Services", u"KRDriver", u"Drive"}) {
        path += u"\\";
        path += part;
        HANDLE key = nullptr;
        ASSERT_EQ(OpenKeyAt(&key, path, nullptr, true), STATUS_SUCCESS) << Narrow(path);
        ZwClose(key);
    }
    SetNextInstance(0);
    ob::ResetNamespace();
    StartDriver();
}

void ControlTest::TearDown() {
    StopDriver();
    ob::ResetNamespace();
    registry::CloseDatabase();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void ControlTest::StartDriver() {
    ASSERT_EQ(io::StartBuiltinDriver(DriverEntry, u"KRDriver", kFileSystemDriver, &driver_), STATUS_SUCCESS);
    control_ = OpenControl();
    ASSERT_NE(control_, nullptr);
}

HANDLE ControlTest::OpenControl() {
    Name name(u"\\??\\KRDriver");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name.string, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    NTSTATUS status = NtCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    EXPECT_EQ(status, STATUS_SUCCESS) << NtStatusName(status);
    return NT_SUCCESS(status) ? handle : nullptr;
}

void ControlTest::StopDriver() {
    if (control_) NtClose(control_);
    control_ = nullptr;
    if (driver_) {
        EXPECT_EQ(io::UnloadDriver(driver_), STATUS_SUCCESS);
    }
    driver_ = nullptr;
}

void ControlTest::RestartDriver() {
    StopDriver();
    StartDriver();
}

Reply ControlTest::Send(ULONG code, const Bytes& input, ULONG outputLength, HANDLE handle) {
    Reply reply;
    reply.output.assign(outputLength, kUntouched);
    IO_STATUS_BLOCK io{};
    io.Information = kNoInformation;
    reply.status = NtDeviceIoControlFile(handle ? handle : control_, nullptr, nullptr, nullptr, &io, code,
                                         input.empty() ? nullptr : const_cast<UCHAR*>(input.data()),
                                         static_cast<ULONG>(input.size()),
                                         outputLength ? reply.output.data() : nullptr, outputLength);
    reply.information = io.Information;
    return reply;
}

NTSTATUS ControlTest::Verdict(ULONG code, const Bytes& input) {
    Reply reply = Send(code, input);
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << NtStatusName(reply.status);
    EXPECT_EQ(reply.information, 4u);
    return static_cast<NTSTATUS>(reply.Word());
}

void ControlTest::MakeDrive(WCHAR letter, std::u16string_view name) {
    Reply reply = Send(IOCTL_CREATE_DRIVE, RecordBytes(letter, name));
    ASSERT_EQ(reply.status, STATUS_SUCCESS) << NtStatusName(reply.status);
    ASSERT_EQ(reply.Word(), 0u);
}

void ControlTest::MakeFolder(std::u16string_view path) {
    NTSTATUS verdict = Verdict(IOCTL_CREATE_FOLDER, PathBytes(path));
    ASSERT_EQ(verdict, STATUS_SUCCESS) << Narrow(path) << ": " << NtStatusName(verdict);
}

void ControlTest::MakeMapping(std::u16string_view path, std::u16string_view target) {
    NTSTATUS verdict = Verdict(IOCTL_CREATE_MAPPING, PairBytes(path, target));
    ASSERT_EQ(verdict, STATUS_SUCCESS) << Narrow(path) << ": " << NtStatusName(verdict);
}

ItemType ControlTest::TypeOf(std::u16string_view path) {
    Reply reply = Send(IOCTL_QUERY_ITEM_TYPE, PathBytes(path));
    EXPECT_EQ(reply.status, STATUS_SUCCESS) << Narrow(path) << ": " << NtStatusName(reply.status);
    EXPECT_EQ(reply.information, 4u);
    return static_cast<ItemType>(reply.Word());
}

void ControlTest::SetNextInstance(ULONG next) {
    HANDLE key = nullptr;
    ASSERT_EQ(OpenKeyAt(&key, kDriveKey, nullptr, false), STATUS_SUCCESS);
    Name name(u"NextInstance");
    EXPECT_EQ(ZwSetValueKey(key, &name.string, 0, REG_DWORD, &next, sizeof next), STATUS_SUCCESS);
    ZwClose(key);
}

bool ControlTest::ReadValue(std::u16string_view keyPath, std::u16string_view valueName, ULONG* type, Bytes* data) {
    HANDLE key = nullptr;
    if (OpenKeyAt(&key, DriveKeyPath(keyPath), nullptr, false) != STATUS_SUCCESS) return false;
    Name name(valueName);
    std::vector<UCHAR> buffer(1 << 17);
    ULONG length = 0;
    NTSTATUS status = ZwQueryValueKey(key, &name.string, KeyValuePartialInformation, buffer.data(),
                                      static_cast<ULONG>(buffer.size()), &length);
    ZwClose(key);
    if (status != STATUS_SUCCESS) return false;
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    *type = info->Type;
    data->assign(info->Data, info->Data + info->DataLength);
    return true;
}

bool ControlTest::KeyExists(std::u16string_view keyPath) {
    HANDLE key = nullptr;
    if (OpenKeyAt(&key, DriveKeyPath(keyPath), nullptr, false) != STATUS_SUCCESS) return false;
    ZwClose(key);
    return true;
}

std::string ControlTest::RegistryDump() {
    std::ostringstream out;
    HANDLE key = nullptr;
    if (OpenKeyAt(&key, kDriveKey, nullptr, false) != STATUS_SUCCESS) return "no Drive key\n";
    out << "key Drive\n";
    DumpKey(key, "  ", out);
    ZwClose(key);
    return out.str();
}

std::string ControlTest::NamespaceDump() {
    std::ostringstream out;
    for (WCHAR letter = u'A'; letter <= u'Z'; ++letter) {
        VCB* vcb = VcbFromLetter(letter);
        if (!vcb) continue;
        ExAcquireResourceExclusiveLite(&vcb->MainResource, TRUE);
        out << "drive " << static_cast<char>(letter) << " instance " << Narrow(Text(&vcb->InstanceName))
            << " name " << Narrow(Text(&vcb->DriveName)) << "\n";
        DumpNode(vcb->RootFcb->Node, "  ", out);
        ExReleaseResourceLite(&vcb->MainResource);
    }
    for (const std::u16string& link : ob::ListLinks(u"\\??")) {
        out << "link " << Narrow(link);
        for (const std::u16string& target : ob::QueryLinkTargets(u"\\??\\" + link)) out << " -> " << Narrow(target);
        out << "\n";
    }
    return out.str();
}

}  // namespace korin::control_test
