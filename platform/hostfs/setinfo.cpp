// IRP_MJ_SET_INFORMATION: times and the read-only attribute, deletion,
// size, position; renames are in rename.cpp.
#include "hostfs_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korin::hostfs {

namespace {

// NT times of 0 and -1 (and other negative values) leave a time alone.
struct timespec TimeOrOmit(const LARGE_INTEGER& time) {
    struct timespec ts {};
    if (time.QuadPart <= 0) {
        ts.tv_nsec = UTIME_OMIT;
    } else {
        NtTimeToUnix(time.QuadPart, &ts);
    }
    return ts;
}

// Last access and last write times go to the host; creation and change
// times cannot be set on Linux and are left as they are. Of the attributes
// only read-only has a host meaning: the owner's (and everybody's) write
// permission. 0 leaves the attributes alone.
NTSTATUS SetBasic(HOST_OPEN* open, const FILE_BASIC_INFORMATION* info) {
    if (!(open->Granted & FILE_WRITE_ATTRIBUTES)) return STATUS_ACCESS_DENIED;
    std::string self = DescriptorPath(open->Fd);
    struct timespec times[2] = {TimeOrOmit(info->LastAccessTime), TimeOrOmit(info->LastWriteTime)};
    if (times[0].tv_nsec != UTIME_OMIT || times[1].tv_nsec != UTIME_OMIT) {
        if (utimensat(AT_FDCWD, self.c_str(), times, 0) != 0) return StatusFromErrno(errno);
    }
    if (info->FileAttributes == 0) return STATUS_SUCCESS;
    struct stat st;
    if (fstat(open->Fd, &st) != 0) return StatusFromErrno(errno);
    mode_t mode = st.st_mode & 07777;
    bool readOnly = (info->FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly == IsReadOnlyMode(st.st_mode)) return STATUS_SUCCESS;
    mode = readOnly ? (mode & ~0222) : (mode | S_IWUSR);
    if (chmod(self.c_str(), mode) != 0) return StatusFromErrno(errno);
    return STATUS_SUCCESS;
}

// Marks the file for deletion at its last cleanup, or takes the mark back.
// A non-empty directory is refused now rather than silently kept later.
NTSTATUS SetDisposition(HOST_OPEN* open, PFILE_OBJECT fileObject, const FILE_DISPOSITION_INFORMATION* info) {
    if (!(open->Granted & DELETE)) return STATUS_ACCESS_DENIED;
    if (!info->DeleteFile) {
        std::lock_guard lock(TableLock());
        open->File->DeletePending = false;
        fileObject->DeletePending = FALSE;
        return STATUS_SUCCESS;
    }
    if (open->Root) return STATUS_CANNOT_DELETE;
    struct stat st;
    if (fstat(open->Fd, &st) != 0) return StatusFromErrno(errno);
    if (S_ISDIR(st.st_mode)) {
        NTSTATUS status = CheckDirectoryEmpty(open->Fd);
        if (!NT_SUCCESS(status)) return status;
    } else if (IsReadOnlyMode(st.st_mode)) {
        return STATUS_CANNOT_DELETE;
    }
    std::lock_guard lock(TableLock());
    open->File->DeletePending = true;
    open->File->DeletePath = open->Path;
    fileObject->DeletePending = TRUE;
    return STATUS_SUCCESS;
}

// End of file: the file is cut or extended to the size.
NTSTATUS SetEndOfFile(HOST_OPEN* open, const FILE_END_OF_FILE_INFORMATION* info, bool advanceOnly) {
    if (open->Directory) return STATUS_INVALID_PARAMETER;
    if (!open->CanWrite) return STATUS_ACCESS_DENIED;
    if (info->EndOfFile.QuadPart < 0) return STATUS_INVALID_PARAMETER;
    if (advanceOnly) {
        // Valid-data bookkeeping of a cache this file system does not keep.
        return STATUS_SUCCESS;
    }
    return ftruncate(open->Fd, info->EndOfFile.QuadPart) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
}

// Allocation size: below the end of file it cuts the file there; above, it
// reserves space without changing the end of file (best effort).
NTSTATUS SetAllocation(HOST_OPEN* open, LONGLONG size) {
    if (open->Directory) return STATUS_INVALID_PARAMETER;
    if (!open->CanWrite) return STATUS_ACCESS_DENIED;
    if (size < 0) return STATUS_INVALID_PARAMETER;
    struct stat st;
    if (fstat(open->Fd, &st) != 0) return StatusFromErrno(errno);
    if (size < st.st_size) {
        return ftruncate(open->Fd, size) == 0 ? STATUS_SUCCESS : StatusFromErrno(errno);
    }
    if (size > st.st_size && fallocate(open->Fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno == ENOSPC) {
        return STATUS_DISK_FULL;
    }
    return STATUS_SUCCESS;
}

// The size each class needs in the caller's buffer.
ULONG MinimumLength(FILE_INFORMATION_CLASS type) {
    switch (type) {
    case FileBasicInformation:
        return sizeof(FILE_BASIC_INFORMATION);
    case FileDispositionInformation:
        return sizeof(FILE_DISPOSITION_INFORMATION);
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return sizeof(FILE_END_OF_FILE_INFORMATION);
    case FilePositionInformation:
        return sizeof(FILE_POSITION_INFORMATION);
    case FileRenameInformation:
        return offsetof(FILE_RENAME_INFORMATION, FileName);
    default:
        return 0;
    }
}

}  // namespace

// STATUS_DIRECTORY_NOT_EMPTY when the directory holds anything but "." and "..".
NTSTATUS CheckDirectoryEmpty(int fd) {
    int dirfd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return StatusFromErrno(errno);
    bool empty = true;
    int error = ForEachName(dirfd, [&](std::string_view) { return empty = false; });
    close(dirfd);
    if (error != 0) return StatusFromErrno(error);
    return empty ? STATUS_SUCCESS : STATUS_DIRECTORY_NOT_EMPTY;
}

// Sends each class to its routine. STATUS_INVALID_PARAMETER for a class not
// served, STATUS_INFO_LENGTH_MISMATCH for a short buffer.
NTSTATUS CommonSetInformation(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    UNREFERENCED_PARAMETER(information);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FILE_INFORMATION_CLASS type = stack->Parameters.SetFile.FileInformationClass;
    ULONG length = stack->Parameters.SetFile.Length;
    if (type == FileLinkInformation) return STATUS_NOT_SUPPORTED;
    ULONG minimum = MinimumLength(type);
    if (minimum == 0) return STATUS_INVALID_PARAMETER;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    const void* buffer = InfoBuffer(irp, length, false);
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    switch (type) {
    case FileBasicInformation:
        return SetBasic(open, static_cast<const FILE_BASIC_INFORMATION*>(buffer));
    case FileDispositionInformation:
        return SetDisposition(open, stack->FileObject, static_cast<const FILE_DISPOSITION_INFORMATION*>(buffer));
    case FileEndOfFileInformation:
        return SetEndOfFile(open, static_cast<const FILE_END_OF_FILE_INFORMATION*>(buffer),
                            stack->Parameters.SetFile.AdvanceOnly);
    case FileAllocationInformation:
        return SetAllocation(open, static_cast<const FILE_END_OF_FILE_INFORMATION*>(buffer)->EndOfFile.QuadPart);
    case FilePositionInformation: {
        LARGE_INTEGER position = static_cast<const FILE_POSITION_INFORMATION*>(buffer)->CurrentByteOffset;
        if (position.QuadPart < 0) return STATUS_INVALID_PARAMETER;
        stack->FileObject->CurrentByteOffset = position;
        return STATUS_SUCCESS;
    }
    case FileRenameInformation:
        return CommonRename(open, irp);
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace korin::hostfs
