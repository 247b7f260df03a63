// I/O manager internals shared by the namespace, the device and driver code,
// the IRP machinery and the system calls; also the hooks tests use to issue
// requests the system calls would not (an asynchronous IRP, a raw major
// function). Drivers do not include this header.
#pragma once

#include "handles.h"
#include "io.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace korin::io {

// The text of a counted string (empty for NULL or a NULL buffer).
inline std::u16string ToString(PCUNICODE_STRING s) {
    return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

// Upper case of a name, for lookups that ignore case.
std::u16string UpcaseText(const std::u16string& s);

// ----- Drivers ---------------------------------------------------------------
// Device bookkeeping of the drivers the I/O manager started: a driver that was
// unloaded while devices of it were still alive keeps its image until the last
// of them is freed. Driver objects the I/O manager did not create are ignored.
void DriverDeviceCreated(PDRIVER_OBJECT driver);
void DriverDeviceFreed(PDRIVER_OBJECT driver);

// ----- Devices ---------------------------------------------------------------
// A device stays allocated while anything references it: its name in the
// namespace does not count, file objects and queued work items do. Deleting a
// device removes its name at once; its memory goes with the last reference.
void ReferenceDevice(PDEVICE_OBJECT device);
void DereferenceDevice(PDEVICE_OBJECT device);

// ----- File objects ----------------------------------------------------------
// Creates a file object on device (referenced) with FileName copied into a
// pool buffer. related, when given, is referenced and kept until the file
// object goes. Returns NULL when pool is exhausted.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, const std::u16string& fileName, PFILE_OBJECT related,
                              ULONG flags);
// Frees a file object whose create did not succeed: no cleanup, no close.
void DiscardFileObject(PFILE_OBJECT fileObject);
void ReferenceFileObject(PFILE_OBJECT fileObject);
// Counts handles to the file object: the last one to close sends IRP_MJ_CLEANUP.
void AddHandleToFileObject(PFILE_OBJECT fileObject);
void CloseHandleToFileObject(PFILE_OBJECT fileObject);
// File objects alive (created and not yet closed): lets tests prove a failed
// or reparsed open left nothing behind.
size_t LiveFileObjects();
// Serialises requests on a file object opened for synchronous I/O, as the
// file position they share requires; no-op for other file objects.
class FileObjectLock {
public:
    explicit FileObjectLock(PFILE_OBJECT fileObject);
    ~FileObjectLock();
    FileObjectLock(const FileObjectLock&) = delete;
    FileObjectLock& operator=(const FileObjectLock&) = delete;

private:
    std::mutex* mutex_;
};

// What a handle to a file names: the file object and the access granted.
// Closing the handle (NtClose, ZwClose, process exit) releases the handle's
// share of the file object: cleanup at the last handle, close at the last
// reference.
class FileHandle : public ob::HandleObject {
public:
    FileHandle(PFILE_OBJECT fileObject, ACCESS_MASK granted);
    ~FileHandle() override;
    void OnHandleClosed() override;
    // The file object, referenced for the caller; NULL once the handle closed.
    PFILE_OBJECT Reference() const;
    ACCESS_MASK GrantedAccess() const { return granted_; }

private:
    mutable std::mutex mutex_;
    PFILE_OBJECT fileObject_;  // NULL once closed
    ACCESS_MASK granted_;
};

// The handle table a request of mode uses: the kernel's for kernel mode (the
// Zw routines), the calling process's otherwise.
ob::HandleTable& HandleTableOf(KPROCESSOR_MODE mode);

// A system call's hold on the file behind a handle: the file object stays
// referenced, and locked when it is open for synchronous I/O, until the call
// ends.
class FileHandleReference {
public:
    FileHandleReference() = default;
    ~FileHandleReference();
    FileHandleReference(const FileHandleReference&) = delete;
    FileHandleReference& operator=(const FileHandleReference&) = delete;
    // See ReferenceFileObjectByHandle for the statuses.
    NTSTATUS Acquire(KPROCESSOR_MODE mode, HANDLE handle, ACCESS_MASK required);
    PFILE_OBJECT FileObject() const { return fileObject_; }
    ACCESS_MASK GrantedAccess() const { return granted_; }

private:
    PFILE_OBJECT fileObject_ = nullptr;
    ACCESS_MASK granted_ = 0;
    std::unique_ptr<FileObjectLock> lock_;
};

// Looks a handle up in table: the file object (referenced) and the access the
// handle grants. STATUS_INVALID_HANDLE for an unknown handle or one that does
// not name a file, STATUS_ACCESS_DENIED when the handle lacks every bit of
// required (0 requires nothing).
NTSTATUS ReferenceFileObjectByHandle(ob::HandleTable& table, HANDLE handle, ACCESS_MASK required,
                                     PFILE_OBJECT* fileObject, ACCESS_MASK* granted = nullptr);

// ----- IRPs ------------------------------------------------------------------
// A zeroed IRP with one stack location set to major on fileObject and
// fileObject's device. mode is the requestor. The caller holds a reference to
// fileObject for as long as the IRP exists (the close request is sent when
// the last reference is gone, so the IRP itself takes none).
PIRP AllocateIrp(UCHAR major, PFILE_OBJECT fileObject, KPROCESSOR_MODE mode);
// Frees the IRP, its MDLs and its system buffer (when IRP_BUFFERED_IO).
void FreeIrp(PIRP irp);
// Sends the IRP to its file object's device and waits until it is completed,
// however the driver gets there (at once, or later from a worker thread).
// Returns the final IoStatus.Status.
NTSTATUS SendIrpAndWait(PIRP irp);
// Sends a request whose data travels in its system buffer, with the caller's
// buffer (length bytes) declared for the call, then frees the IRP. With
// copyBack, the Information bytes the driver reports (at most length) are
// copied from the system buffer to buffer, unless the request ended in an
// error. *ioStatus receives the final status block.
NTSTATUS SendBufferedRequest(PIRP irp, PVOID buffer, ULONG length, bool copyBack, PIO_STATUS_BLOCK ioStatus);
// Allocates the system buffer of a buffered request (pool tag "IoSb"); NULL
// for a zero length. Returns FALSE when pool is exhausted.
bool AllocateSystemBuffer(PIRP irp, ULONG length);

// ----- Namespace ---------------------------------------------------------------
// As ob::ParsePath, with the device referenced before the namespace lock is
// dropped so that a concurrent IoDeleteDevice cannot free it under the caller.
NTSTATUS ParseAndReferenceDevice(const std::u16string& path, PDEVICE_OBJECT* device, std::u16string* remainder);

// ----- Creates -----------------------------------------------------------------
struct OpenParameters {
    ACCESS_MASK desiredAccess = 0;
    ULONG fileAttributes = 0;
    ULONG shareAccess = 0;
    ULONG disposition = 0;
    ULONG options = 0;
    ULONG attributes = 0;  // OBJ_* of the object attributes
    PVOID eaBuffer = nullptr;
    ULONG eaLength = 0;
    UCHAR stackFlags = 0;  // SL_OPEN_TARGET_DIRECTORY for a rename's target
    KPROCESSOR_MODE mode = UserMode;
};
// Opens name (absolute, or relative to root's file object when root is not
// NULL), following reparses. On success *fileObject is the new file object
// with one handle counted for the caller (close it with
// CloseHandleToFileObject) and ioStatus holds the driver's answer.
NTSTATUS OpenFileObject(const std::u16string& name, PFILE_OBJECT root, const OpenParameters& parameters,
                        PFILE_OBJECT* fileObject, IO_STATUS_BLOCK* ioStatus);
// Maps GENERIC_* and MAXIMUM_ALLOWED onto the file-specific rights.
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access);

}  // namespace korin::io
