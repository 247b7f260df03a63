// Reading and writing: NtReadFile and NtWriteFile. The offset is the one
// given, or for a file open for synchronous I/O the file's current position,
// which then advances by what was transferred. The device's flags decide how
// the data travels: a system buffer (DO_BUFFERED_IO), an MDL over the
// caller's buffer (DO_DIRECT_IO), or the caller's buffer itself.
#include "exceptions.h"
#include "iomgr.h"
#include "syscalls.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr ULONG kUseFilePointerPosition = 0xFFFFFFFE;
constexpr ULONG kWriteToEndOfFile = 0xFFFFFFFF;

bool IsSpecial(const LARGE_INTEGER& offset, ULONG low) {
    return offset.u.HighPart == -1 && offset.u.LowPart == low;
}

NTSTATUS Transfer(UCHAR major, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                  PLARGE_INTEGER byteOffset, PULONG key) {
    using namespace korin::io;
    bool read = major == IRP_MJ_READ;
    if (!ioStatus || (!buffer && length)) return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status =
        file.Acquire(UserMode, fileHandle, read ? FILE_READ_DATA : (FILE_WRITE_DATA | FILE_APPEND_DATA));
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT fileObject = file.FileObject();
    bool synchronous = fileObject->Flags & FO_SYNCHRONOUS_IO;

    LARGE_INTEGER offset;
    bool usePosition = !byteOffset || IsSpecial(*byteOffset, kUseFilePointerPosition);
    if (usePosition) {
        if (!synchronous) return STATUS_INVALID_PARAMETER;
        offset = fileObject->CurrentByteOffset;
    } else {
        offset = *byteOffset;
        if (offset.QuadPart < 0 && !(!read && IsSpecial(offset, kWriteToEndOfFile))) return STATUS_INVALID_PARAMETER;
    }

    UserBufferScope scope(buffer, length);
    PIRP irp = AllocateIrp(major, fileObject, UserMode);
    irp->UserBuffer = buffer;
    auto& parameters = irp->Stack.Parameters.Read;  // Write has the same layout
    parameters.Length = length;
    parameters.Key = key ? *key : 0;
    parameters.ByteOffset = offset;
    ULONG deviceFlags = fileObject->DeviceObject->Flags;
    if (deviceFlags & DO_BUFFERED_IO) {
        if (!AllocateSystemBuffer(irp, length)) {
            FreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (read) {
            irp->Flags |= IRP_INPUT_OPERATION;
        } else if (length) {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
        }
    } else if ((deviceFlags & DO_DIRECT_IO) && length) {
        PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        if (!mdl) {
            FreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        try {
            MmProbeAndLockPages(mdl, UserMode, read ? IoWriteAccess : IoReadAccess);
        } catch (const NtStatusException& e) {
            FreeIrp(irp);
            return e.status();
        }
    }
    status = SendIrpAndWait(irp);
    if (read && (deviceFlags & DO_BUFFERED_IO) && !NT_ERROR(status) && irp->AssociatedIrp.SystemBuffer)
        std::memcpy(buffer, irp->AssociatedIrp.SystemBuffer, std::min<ULONG_PTR>(irp->IoStatus.Information, length));
    *ioStatus = irp->IoStatus;
    if (synchronous && NT_SUCCESS(status) && offset.QuadPart >= 0)
        fileObject->CurrentByteOffset.QuadPart = offset.QuadPart + static_cast<LONGLONG>(irp->IoStatus.Information);
    FreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS NtReadFile(HANDLE fileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                    PLARGE_INTEGER byteOffset, PULONG key) {
    return Transfer(IRP_MJ_READ, fileHandle, ioStatus, buffer, length, byteOffset, key);
}

NTSTATUS NtWriteFile(HANDLE fileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                     PLARGE_INTEGER byteOffset, PULONG key) {
    return Transfer(IRP_MJ_WRITE, fileHandle, ioStatus, buffer, length, byteOffset, key);
}
