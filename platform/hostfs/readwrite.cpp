// IRP_MJ_READ, IRP_MJ_WRITE and IRP_MJ_FLUSH_BUFFERS: straight to the host
// descriptor at the request's byte offset.
#include "hostfs_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korin::hostfs {

namespace {

// Byte offsets with a meaning of their own (high part -1).
constexpr ULONG FILE_WRITE_TO_END_OF_FILE = 0xFFFFFFFF;
constexpr ULONG FILE_USE_FILE_POINTER_POSITION = 0xFFFFFFFE;

// The offset a transfer starts at: the given one, or the file object's
// current position when the caller asked for it.
LONGLONG StartOffset(PFILE_OBJECT fileObject, const LARGE_INTEGER& byteOffset) {
    if (byteOffset.u.HighPart == -1 && byteOffset.u.LowPart == FILE_USE_FILE_POINTER_POSITION) {
        return fileObject->CurrentByteOffset.QuadPart;
    }
    return byteOffset.QuadPart;
}

// A synchronous file object's position follows each transfer.
void Advance(PFILE_OBJECT fileObject, LONGLONG offset, size_t transferred) {
    if (fileObject->Flags & FO_SYNCHRONOUS_IO) fileObject->CurrentByteOffset.QuadPart = offset + transferred;
}

}  // namespace

// Reads up to Length bytes; STATUS_END_OF_FILE when the offset is at or past
// the end (nothing read), else as many bytes as the file holds.
NTSTATUS CommonRead(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (open->Directory) return STATUS_INVALID_DEVICE_REQUEST;
    if (!open->CanRead) return STATUS_ACCESS_DENIED;
    ULONG length = stack->Parameters.Read.Length;
    LONGLONG offset = StartOffset(stack->FileObject, stack->Parameters.Read.ByteOffset);
    if (offset < 0) return STATUS_INVALID_PARAMETER;
    if (length == 0) return STATUS_SUCCESS;
    auto* buffer = static_cast<char*>(OutputBuffer(irp, length));
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    size_t done = 0;
    while (done < length) {
        ssize_t n = pread(open->Fd, buffer + done, length - done, offset + static_cast<LONGLONG>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done != 0) break;
            return StatusFromErrno(errno);
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    if (done == 0) return STATUS_END_OF_FILE;
    Advance(stack->FileObject, offset, done);
    *information = done;
    return STATUS_SUCCESS;
}

// Writes Length bytes at the offset (or at the end of the file); a full
// disk is STATUS_DISK_FULL.
NTSTATUS CommonWrite(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (open->Directory) return STATUS_INVALID_DEVICE_REQUEST;
    if (!open->CanWrite) return STATUS_ACCESS_DENIED;
    ULONG length = stack->Parameters.Write.Length;
    const LARGE_INTEGER& given = stack->Parameters.Write.ByteOffset;
    LONGLONG offset;
    if (given.u.HighPart == -1 && given.u.LowPart == FILE_WRITE_TO_END_OF_FILE) {
        struct stat st;
        if (fstat(open->Fd, &st) != 0) return StatusFromErrno(errno);
        offset = st.st_size;
    } else {
        offset = StartOffset(stack->FileObject, given);
    }
    if (offset < 0) return STATUS_INVALID_PARAMETER;
    if (length == 0) return STATUS_SUCCESS;
    auto* buffer = static_cast<const char*>(InputBuffer(irp, length));
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    size_t done = 0;
    while (done < length) {
        ssize_t n = pwrite(open->Fd, buffer + done, length - done, offset + static_cast<LONGLONG>(done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return StatusFromErrno(errno);
        }
        done += static_cast<size_t>(n);
    }
    Advance(stack->FileObject, offset, done);
    *information = done;
    return STATUS_SUCCESS;
}

// Writes the file's data through to the disk.
NTSTATUS CommonFlush(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(information);
    if (open->Directory) return STATUS_SUCCESS;
    if (!open->CanWrite) return STATUS_ACCESS_DENIED;
    return fsync(open->Fd) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
}

}  // namespace korin::hostfs
