// File objects: their life from a create to the close request, the handles
// that name them, and the lock that serialises synchronous I/O on them.
//
// Counts: `references` holds the file object in memory (each handle holds
// one, so do system calls in progress and file objects opened relative to
// it); `handles` counts the handles. The last handle closed sends
// IRP_MJ_CLEANUP; the last reference dropped sends IRP_MJ_CLOSE and frees the
// file object, then releases what it referenced (its related file object and
// its device).
#include "iomgr.h"
#include "pool.h"
#include "syscalls.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace korin::io {
namespace {

constexpr SHORT kFileObjectType = 5;
constexpr ULONG kFileNameTag = PoolTag("IoNm");

struct FileObjectRecord : FILE_OBJECT {
    std::atomic<long> references{1};  // the creator's, until it hands it to a handle
    std::atomic<long> handles{0};
    bool opened = false;  // the driver accepted the create: closing it needs IRP_MJ_CLOSE
    std::mutex syncLock;  // FO_SYNCHRONOUS_IO: one request at a time
};

std::atomic<size_t> g_liveFileObjects{0};

FileObjectRecord* RecordOf(PFILE_OBJECT fileObject) { return static_cast<FileObjectRecord*>(fileObject); }

void FreeRecord(FileObjectRecord* record) {
    // The driver may have replaced the name's buffer with one of its own pool blocks.
    if (record->FileName.Buffer) ExFreePool(record->FileName.Buffer);
    PFILE_OBJECT related = record->RelatedFileObject;
    PDEVICE_OBJECT device = record->DeviceObject;
    delete record;
    --g_liveFileObjects;
    if (related) DereferenceFileObject(related);
    DereferenceDevice(device);
}

// Sends a cleanup or close request for fileObject and waits for its end.
void SendLifecycleRequest(UCHAR major, PFILE_OBJECT fileObject) {
    PIRP irp = AllocateIrp(major, fileObject, KernelMode);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    SendIrpAndWait(irp);
    FreeIrp(irp);
}

}  // namespace

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string& fileName, PFILE_OBJECT related,
                              ULONG flags) {
    size_t bytes = fileName.size() * sizeof(WCHAR);
    PVOID buffer = nullptr;
    if (bytes) {
        buffer = ExAllocatePoolWithTag(NonPagedPool, bytes, kFileNameTag);
        if (!buffer) return nullptr;
        std::memcpy(buffer, fileName.data(), bytes);
    }
    auto* record = new FileObjectRecord();
    record->Type = kFileObjectType;
    record->Size = sizeof(FILE_OBJECT);
    record->DeviceObject = device;
    record->RelatedFileObject = related;
    record->Flags = flags;
    record->FileName = {static_cast<USHORT>(bytes), static_cast<USHORT>(bytes), static_cast<PWSTR>(buffer)};
    ReferenceDevice(device);
    if (related) ReferenceFileObject(related);
    ++g_liveFileObjects;
    return record;
}

void DiscardFileObject(PFILE_OBJECT fileObject) { FreeRecord(RecordOf(fileObject)); }

void ReferenceFileObject(PFILE_OBJECT fileObject) { ++RecordOf(fileObject)->references; }

void DereferenceFileObject(PFILE_OBJECT fileObject) {
    FileObjectRecord* record = RecordOf(fileObject);
    if (--record->references != 0) return;
    if (record->opened) SendLifecycleRequest(IRP_MJ_CLOSE, fileObject);
    FreeRecord(record);
}

void AddHandleToFileObject(PFILE_OBJECT fileObject) {
    FileObjectRecord* record = RecordOf(fileObject);
    record->opened = true;
    record->Flags |= FO_HANDLE_CREATED;
    ++record->handles;
}

void CloseHandleToFileObject(PFILE_OBJECT fileObject) {
    FileObjectRecord* record = RecordOf(fileObject);
    if (--record->handles == 0) {
        // Waits for a synchronous request still running on the file.
        FileObjectLock lock(fileObject);
        SendLifecycleRequest(IRP_MJ_CLEANUP, fileObject);
    }
    DereferenceFileObject(fileObject);
}

size_t LiveFileObjects() { return g_liveFileObjects; }

FileObjectLock::FileObjectLock(PFILE_OBJECT fileObject)
    : mutex_(fileObject->Flags & FO_SYNCHRONOUS_IO ? &RecordOf(fileObject)->syncLock : nullptr) {
    if (mutex_) mutex_->lock();
}

FileObjectLock::~FileObjectLock() {
    if (mutex_) mutex_->unlock();
}

// ----- Handles -------------------------------------------------------------------

FileHandle::FileHandle(PFILE_OBJECT fileObject, ACCESS_MASK granted) : fileObject_(fileObject), granted_(granted) {}

// A handle object dropped without being closed (never inserted in a table)
// still releases its file object.
FileHandle::~FileHandle() {
    if (fileObject_) CloseHandleToFileObject(fileObject_);
}

void FileHandle::OnHandleClosed() {
    PFILE_OBJECT fileObject;
    {
        std::lock_guard lock(mutex_);
        fileObject = fileObject_;
        fileObject_ = nullptr;
    }
    if (fileObject) CloseHandleToFileObject(fileObject);
}

PFILE_OBJECT FileHandle::Reference() const {
    std::lock_guard lock(mutex_);
    if (fileObject_) ReferenceFileObject(fileObject_);
    return fileObject_;
}

NTSTATUS ReferenceFileObjectByHandle(ob::HandleTable& table, HANDLE handle, ACCESS_MASK required,
                                     PFILE_OBJECT* fileObject, ACCESS_MASK* granted) {
    *fileObject = nullptr;
    std::shared_ptr<ob::HandleObject> object = table.Lookup(handle);
    if (!object) return STATUS_INVALID_HANDLE;
    auto* file = dynamic_cast<FileHandle*>(object.get());
    if (!file) return STATUS_OBJECT_TYPE_MISMATCH;
    if (required && !(file->GrantedAccess() & required)) return STATUS_ACCESS_DENIED;
    *fileObject = file->Reference();
    if (!*fileObject) return STATUS_INVALID_HANDLE;
    if (granted) *granted = file->GrantedAccess();
    return STATUS_SUCCESS;
}

}  // namespace korin::io

namespace korin::io {

FileHandleReference::~FileHandleReference() {
    lock_.reset();
    if (fileObject_) DereferenceFileObject(fileObject_);
}

NTSTATUS FileHandleReference::Acquire(KPROCESSOR_MODE mode, HANDLE handle, ACCESS_MASK required) {
    NTSTATUS status = ReferenceFileObjectByHandle(HandleTableOf(mode), handle, required, &fileObject_, &granted_);
    if (NT_SUCCESS(status)) lock_ = std::make_unique<FileObjectLock>(fileObject_);
    return status;
}

}  // namespace korin::io
