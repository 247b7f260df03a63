// The test machine of drive_fixture.h.
#include "drive_fixture.h"

#include "driver/drive.h"
#include "platform/hostfs/hostfs.h"
#include "platform/nt/ob.h"
#include "platform/nt/pool.h"
#include "platform/nt/workqueue.h"
#include "platform/registry/process_database.h"
#include "platform/win32/paths.h"
#include "tests/support/drive_lock.h"
#include "tests/support/registry_keys.h"
#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace korin::drivertest {
namespace {

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\KRDriver";
constexpr ULONG kFileSystemDriver = 2;

// Tags of blocks that live only as long as a request or an open.
constexpr const char* kTransientTags[] = {"RIcx", "RDcb", "RCcb", "Qnfn", "RDi1", "RDi2",
                                          "RDi3", "QKey", "QVol", "aaa0", "Qdev"};
// Every tag the driver allocates with.
constexpr const char* kDriverTags[] = {"RIcx", "RDcb", "RCcb", "QTN0", "Qstr", "QStr", "Qdev", "QReg",
                                       "QKey", "QVol", "aaa0", "Qnfn", "RDi1", "RDi2", "RDi3"};

using testsupport::KeyHandle;
using testsupport::OpenOrCreateKey;

std::vector<std::u16string> SplitPath(const std::u16string& path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

using testsupport::DriveLock;

}  // namespace

std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

void DriveTest::SetUp() {
    dir_ = testsupport::MakeTempDir("korin-driverfs");
    ASSERT_FALSE(dir_.empty());
    hostDir_ = dir_ + "/host";
    std::filesystem::create_directory(hostDir_);
    ASSERT_EQ(registry::OpenDatabase(dir_ + "/registry.db"), STATUS_SUCCESS);

    // The store: drive instance 0 on X:, named "Projects", with an empty root.
    const std::u16string driveKey = std::u16string(kServiceKey) + u"\\Drive";
    testsupport::StoreDriveZero(driveKey, kLetter, u"Projects", /*createKeys=*/false);

    win32::HostDriveTable table;
    table.letters = {{kHostLetter, hostDir_}};
    ASSERT_EQ(win32::StoreHostDriveTable(table), STATUS_SUCCESS);
    hostfs::Configuration configuration;
    configuration.Drives = {{kHostLetter, hostDir_}};
    ASSERT_EQ(hostfs::Configure(configuration), STATUS_SUCCESS);
    ASSERT_EQ(io::StartBuiltinDriver(HostFsDriverEntry, hostfs::kServiceName, kFileSystemDriver, &hostFs_),
              STATUS_SUCCESS);
    ASSERT_EQ(io::StartBuiltinDriver(DriverEntry, u"KRDriver", kFileSystemDriver, &driver_), STATUS_SUCCESS);
    ASSERT_NE(Drive(), nullptr) << "drive X was not mounted";
    poolBaseline_ = TransientPool();  // the root FCB lives as long as the drive

    process_ = std::make_unique<ps::Process>("driver_fs test");
    scope_ = std::make_unique<ps::ProcessScope>(*process_);
}

void DriveTest::TearDown() {
    // As at process exit: every handle still open is cleaned up and closed.
    scope_.reset();
    process_.reset();
    workqueue::Drain();
    pool::ClearInjectedFailures();
    if (driver_) {
        ExpectPoolClean();
        EXPECT_EQ(io::UnloadDriver(driver_), STATUS_SUCCESS);
        const std::map<std::string, size_t> live = pool::LiveByTag();
        for (const char* tag : kDriverTags) EXPECT_EQ(live.count(tag), 0u) << "tag " << tag << " after unload";
    }
    if (hostFs_) io::UnloadDriver(hostFs_);
    workqueue::Drain();
    ob::ResetNamespace();
    registry::CloseDatabase();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void DriveTest::WriteHostFile(const std::string& relative, const std::string& contents) {
    std::ofstream out(HostPath(relative), std::ios::binary);
    out << contents;
    ASSERT_TRUE(out.good()) << relative;
}

void DriveTest::MakeHostDirectory(const std::string& relative) {
    std::filesystem::create_directories(HostPath(relative));
}

VCB* DriveTest::Drive() const { return VcbFromLetter(kLetter); }

TREE_NODE* DriveTest::Root() const { return Drive()->RootFcb->Node; }

PDEVICE_OBJECT DriveTest::VolumeDevice() const { return Drive()->VolumeDevice; }

TREE_NODE* DriveTest::AddFolder(const std::u16string& path) {
    DriveLock lock(Drive());
    TREE_NODE* node = Root();
    for (const std::u16string& part : SplitPath(path)) {
        UNICODE_STRING name = Counted(part);
        TREE_NODE* child = LookupChild(node, &name);
        if (!child) {
            EXPECT_EQ(CreateFolderNode(&child, node, &name), STATUS_SUCCESS);
            if (!child) return nullptr;
        }
        node = child;
    }
    return node;
}

TREE_NODE* DriveTest::AddMapping(const std::u16string& path, const std::u16string& target) {
    const size_t slash = path.rfind(u'\\');
    TREE_NODE* parent = slash == std::u16string::npos ? Root() : AddFolder(path.substr(0, slash));
    const std::u16string leaf = slash == std::u16string::npos ? path : path.substr(slash + 1);
    DriveLock lock(Drive());
    UNICODE_STRING name = Counted(leaf);
    UNICODE_STRING targetString = Counted(target);  // target's buffer is NUL-terminated
    TREE_NODE* node = nullptr;
    EXPECT_EQ(CreateMappingNode(&node, parent, &name, &targetString), STATUS_SUCCESS);
    return node;
}

TREE_NODE* DriveTest::Find(const std::u16string& path) {
    DriveLock lock(Drive());
    TREE_NODE* node = Root();
    for (const std::u16string& part : SplitPath(path)) {
        UNICODE_STRING name = Counted(part);
        node = LookupChild(node, &name);
        if (!node) return nullptr;
    }
    return node;
}

std::vector<std::u16string> DriveTest::Children(const std::u16string& path) {
    TREE_NODE* folder = path.empty() ? Root() : Find(path);
    std::vector<std::u16string> names;
    if (!folder) return names;
    DriveLock lock(Drive());
    for (PLIST_ENTRY e = folder->ChildList.Flink; e != &folder->ChildList; e = e->Flink) {
        names.push_back(Text(CONTAINING_RECORD(e, TREE_NODE, SiblingLink)->Name));
    }
    return names;
}

bool DriveTest::StoreKeyExists(const std::u16string& relative) {
    KeyHandle key;
    std::u16string path = std::u16string(kServiceKey) + u"\\Drive\\0";
    if (!relative.empty()) path += u"\\" + relative;
    return NT_SUCCESS(OpenOrCreateKey(key, path, false));
}

bool DriveTest::StoreValueExists(const std::u16string& folder, const std::u16string& value) {
    KeyHandle key;
    std::u16string path = std::u16string(kServiceKey) + u"\\Drive\\0";
    if (!folder.empty()) path += u"\\" + folder;
    if (!NT_SUCCESS(OpenOrCreateKey(key, path, false))) return false;
    std::u16string text = value;
    UNICODE_STRING name = Counted(text);
    ULONG needed = 0;
    NTSTATUS status = ZwQueryValueKey(key.get(), &name, KeyValuePartialInformation, nullptr, 0, &needed);
    return status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW || NT_SUCCESS(status);
}

std::vector<uint8_t> DriveTest::DriveRecordBytes() {
    KeyHandle key;
    if (!NT_SUCCESS(OpenOrCreateKey(key, std::u16string(kServiceKey) + u"\\Drive", false))) return {};
    std::u16string text = u"0";
    UNICODE_STRING name = Counted(text);
    alignas(8) uint8_t buffer[1024];
    ULONG needed = 0;
    if (!NT_SUCCESS(
            ZwQueryValueKey(key.get(), &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed))) {
        return {};
    }
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    return std::vector<uint8_t>(info->Data, info->Data + info->DataLength);
}

OpenResult DriveTest::Open(const std::u16string& path, Handle& handle, ULONG options, ULONG disposition,
                           ACCESS_MASK access, ULONG share) {
    std::u16string ntPath = u"\\??\\" + path;
    UNICODE_STRING name = Counted(ntPath);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Information = 0xBADBAD;
    NTSTATUS status =
        NtCreateFile(handle.out(), access, &attributes, &ioStatus, nullptr, 0, share, disposition, options, nullptr, 0);
    return OpenResult{status, ioStatus.Information};
}

RawCreateResult DriveTest::RawCreate(const std::u16string& name, ULONG options, ULONG disposition, UCHAR stackFlags) {
    PFILE_OBJECT fileObject = io::CreateFileObject(VolumeDevice(), name, nullptr, 0);
    IO_SECURITY_CONTEXT security{nullptr, nullptr, FILE_READ_ATTRIBUTES, options};
    PIRP irp = io::AllocateIrp(IRP_MJ_CREATE, fileObject, UserMode);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    irp->Stack.Flags = stackFlags;
    irp->Stack.Parameters.Create.SecurityContext = &security;
    irp->Stack.Parameters.Create.Options = (disposition << 24) | (options & 0x00FFFFFF);
    irp->Stack.Parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    RawCreateResult result;
    result.Status = io::SendIrpAndWait(irp);
    result.Information = irp->IoStatus.Information;
    result.Boost = irp->Completion.PriorityBoost;
    result.FileName = Text(fileObject->FileName);
    result.FsContext = fileObject->FsContext;
    result.FsContext2 = fileObject->FsContext2;
    io::FreeIrp(irp);
    if (NT_SUCCESS(result.Status) && result.Status != STATUS_REPARSE) {
        io::AddHandleToFileObject(fileObject);
        io::CloseHandleToFileObject(fileObject);  // cleanup, then close with the last reference
    } else {
        io::DiscardFileObject(fileObject);
    }
    return result;
}

std::map<std::string, size_t> DriveTest::TransientPool() {
    std::map<std::string, size_t> live;
    for (const auto& [tag, count] : pool::LiveByTag()) {
        for (const char* transient : kTransientTags) {
            if (tag == transient && count) live[tag] = count;
        }
    }
    return live;
}

void DriveTest::ExpectPoolClean() {
    workqueue::Drain();
    EXPECT_EQ(TransientPool(), poolBaseline_) << "driver blocks left behind";
    EXPECT_EQ(io::LiveFileObjects(), 0u);
}

std::vector<std::u16string> Listing::Names() const {
    std::vector<std::u16string> names;
    for (const DirEntry& e : Entries) names.push_back(e.Name);
    return names;
}

namespace {
template <typename T>
T Read(const std::vector<uint8_t>& buffer, size_t offset) {
    T value{};
    if (offset + sizeof(T) <= buffer.size()) std::memcpy(&value, buffer.data() + offset, sizeof(T));
    return value;
}
}  // namespace

std::vector<DirEntry> ParseEntries(const std::vector<uint8_t>& buffer, ULONG used, FILE_INFORMATION_CLASS infoClass) {
    std::vector<DirEntry> entries;
    const ULONG nameOffset = NameOffsetOf(infoClass);
    const bool namesOnly = infoClass == FileNamesInformation;
    ULONG offset = 0;
    while (offset < used && entries.size() < 100000) {
        DirEntry e{};
        e.Offset = offset;
        e.NextEntryOffset = Read<ULONG>(buffer, offset);
        e.FileIndex = Read<ULONG>(buffer, offset + 4);
        ULONG nameLength;
        if (namesOnly) {
            nameLength = Read<ULONG>(buffer, offset + offsetof(FILE_NAMES_INFORMATION, FileNameLength));
        } else {
            e.CreationTime = Read<LONGLONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, CreationTime));
            e.LastAccessTime = Read<LONGLONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, LastAccessTime));
            e.LastWriteTime = Read<LONGLONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, LastWriteTime));
            e.ChangeTime = Read<LONGLONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, ChangeTime));
            e.EndOfFile = Read<LONGLONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, EndOfFile));
            e.AllocationSize = Read<LONGLONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, AllocationSize));
            e.FileAttributes = Read<ULONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes));
            nameLength = Read<ULONG>(buffer, offset + offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength));
        }
        if (offset + nameOffset + nameLength > buffer.size()) break;
        e.Name.resize(nameLength / 2);
        std::memcpy(e.Name.data(), buffer.data() + offset + nameOffset, nameLength & ~1u);
        entries.push_back(e);
        if (e.NextEntryOffset == 0) break;
        offset += e.NextEntryOffset;
    }
    return entries;
}

Listing QueryDirectory(HANDLE handle, FILE_INFORMATION_CLASS infoClass, ULONG length, UCHAR flags,
                       const char16_t* pattern, ULONG fileIndex) {
    Listing listing;
    listing.Buffer.assign(length, 0xEE);
    std::u16string patternText = pattern ? pattern : u"";
    UNICODE_STRING patternString = Counted(patternText);
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Information = 0xBADBAD;
    listing.Status = KorinQueryDirectoryFile(handle, &ioStatus, listing.Buffer.data(), length, infoClass, flags,
                                             pattern ? &patternString : nullptr, fileIndex);
    listing.Information = ioStatus.Information;
    if (NT_SUCCESS(listing.Status)) {
        listing.Entries = ParseEntries(listing.Buffer, static_cast<ULONG>(listing.Information), infoClass);
    }
    return listing;
}

std::vector<std::u16string> ListAll(HANDLE handle, FILE_INFORMATION_CLASS infoClass, ULONG length,
                                    const char16_t* pattern) {
    std::vector<std::u16string> names;
    UCHAR flags = SL_RESTART_SCAN;
    for (int round = 0; round < 100000; ++round) {
        Listing listing = QueryDirectory(handle, infoClass, length, flags, round == 0 ? pattern : nullptr);
        flags = 0;
        if (listing.Status != STATUS_SUCCESS) break;
        for (const DirEntry& e : listing.Entries) names.push_back(e.Name);
    }
    return names;
}

}  // namespace korin::drivertest
