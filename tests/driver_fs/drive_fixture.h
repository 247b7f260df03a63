// A machine for the file-system handler tests: a temporary registry, a
// temporary host directory served as drive H:, and KRDriver started with one
// drive X: named "Projects". The drive's tree is built per test through the
// driver's own tree operations, and the requests go through the system calls
// (or, where a request must be looked at from the driver's side, as raw
// IRPs).
#pragma once

#include "driver/handlers.h"
#include "platform/nt/iomgr.h"
#include "platform/nt/process.h"
#include "platform/nt/syscalls.h"
#include "tests/support/counted.h"
#include "tests/support/dir_records.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korin::drivertest {

using testsupport::Counted;
using testsupport::Text;

// For failure messages.
std::string Narrow(const std::u16string& text);

// A handle of the test's process, closed at scope exit.
class Handle {
public:
    Handle() = default;
    ~Handle() { Close(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE* out() { return &h_; }
    HANDLE get() const { return h_; }
    NTSTATUS Close() {
        NTSTATUS status = h_ ? NtClose(h_) : STATUS_SUCCESS;
        h_ = nullptr;
        return status;
    }

private:
    HANDLE h_ = nullptr;
};

// What an open answered.
struct OpenResult {
    NTSTATUS Status;
    ULONG_PTR Information;
};

// What a raw IRP_MJ_CREATE left in its file object.
struct RawCreateResult {
    NTSTATUS Status;
    ULONG_PTR Information;
    CCHAR Boost;
    std::u16string FileName;
    PVOID FsContext;
    PVOID FsContext2;
};

class DriveTest : public ::testing::Test {
protected:
    static constexpr char16_t kLetter = u'X';
    static constexpr char16_t kHostLetter = u'H';

    void SetUp() override;
    void TearDown() override;

    // ----- The host directory behind H: ------------------------------------------
    std::string HostPath(const std::string& relative) const { return hostDir_ + "/" + relative; }
    void WriteHostFile(const std::string& relative, const std::string& contents);
    void MakeHostDirectory(const std::string& relative);

    // ----- The drive's tree, through the driver's operations under its lock ------
    VCB* Drive() const;
    TREE_NODE* Root() const;
    // Makes the folders of path ("a\b") that are missing; returns the last.
    TREE_NODE* AddFolder(const std::u16string& path);
    // A mapping at path whose target is the Win32 path target.
    TREE_NODE* AddMapping(const std::u16string& path, const std::u16string& target);
    TREE_NODE* Find(const std::u16string& path);
    // Names of a folder's children in enumeration order.
    std::vector<std::u16string> Children(const std::u16string& path);

    // ----- The registry store of drive X (instance 0) ---------------------------
    // relative is below the drive's key: "a\b" names folder b in a.
    bool StoreKeyExists(const std::u16string& relative);
    bool StoreValueExists(const std::u16string& folder, const std::u16string& value);
    std::vector<uint8_t> DriveRecordBytes();

    // ----- Requests ------------------------------------------------------------------
    // NtCreateFile of the Win32 path ("X:\a") as "\??\X:\a".
    OpenResult Open(const std::u16string& path, Handle& handle,
                    ULONG options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, ULONG disposition = FILE_OPEN,
                    ACCESS_MASK access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                    ULONG share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    // An IRP_MJ_CREATE sent straight to the drive's volume device with name as
    // the file object's name; a successful open is cleaned up and closed again.
    RawCreateResult RawCreate(const std::u16string& name, ULONG options = FILE_DIRECTORY_FILE,
                              ULONG disposition = FILE_OPEN, UCHAR stackFlags = 0);
    PDEVICE_OBJECT VolumeDevice() const;

    // ----- Pool ------------------------------------------------------------------------
    // Live blocks of the driver's tags that belong to requests and opens (not
    // to the tree): each must be back to what it was after start-up (the
    // root FCB) once every handle is closed.
    static std::map<std::string, size_t> TransientPool();
    void ExpectPoolClean();

    std::string dir_;
    std::string hostDir_;
    PDRIVER_OBJECT hostFs_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::unique_ptr<ps::Process> process_;
    std::unique_ptr<ps::ProcessScope> scope_;
    std::map<std::string, size_t> poolBaseline_;
};

// ----- Directory listings ------------------------------------------------------------

// One entry of a listing, read field by field (entries are not aligned).
struct DirEntry {
    ULONG Offset;
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LONGLONG CreationTime, LastAccessTime, LastWriteTime, ChangeTime;
    LONGLONG EndOfFile, AllocationSize;
    ULONG FileAttributes;
    std::u16string Name;
};

struct Listing {
    NTSTATUS Status;
    ULONG_PTR Information;
    std::vector<uint8_t> Buffer;
    std::vector<DirEntry> Entries;
    std::vector<std::u16string> Names() const;
};

using testsupport::NameOffsetOf;
using testsupport::StructureSizeOf;
// Entries by NextEntryOffset from the start of buffer, within used bytes.
std::vector<DirEntry> ParseEntries(const std::vector<uint8_t>& buffer, ULONG used, FILE_INFORMATION_CLASS infoClass);
// One KorinQueryDirectoryFile into a buffer of length bytes filled with 0xEE.
Listing QueryDirectory(HANDLE handle, FILE_INFORMATION_CLASS infoClass, ULONG length, UCHAR flags = 0,
                       const char16_t* pattern = nullptr, ULONG fileIndex = 0);
// Every entry of a fresh listing, query after query until the end status.
std::vector<std::u16string> ListAll(HANDLE handle, FILE_INFORMATION_CLASS infoClass = FileBothDirectoryInformation,
                                    ULONG length = 4096, const char16_t* pattern = nullptr);

}  // namespace korin::drivertest
