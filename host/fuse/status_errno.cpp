// The status-to-errno table.
//
// Choices that are not one-to-one:
//  * STATUS_ACCESS_DENIED is EACCES everywhere, a move of a virtual folder
//    into another folder included: EXDEV would make mv copy the folder and
//    its mappings' contents instead, which the drive cannot hold.
//  * STATUS_NOT_SAME_DEVICE (a mapped item moved onto another volume) is
//    EXDEV, so mv falls back to copying exactly as across file systems.
//  * STATUS_CANNOT_DELETE (the drive root) is EPERM.
//  * STATUS_DELETE_PENDING is ENOENT: the name is on its way out.
//  * Unreachable network targets are EHOSTUNREACH, so a mapping to an
//    unreachable share does not read as a missing file.
#include "status_errno.h"

#include <cerrno>

namespace korin::fuse {
namespace {

struct StatusErrno {
    NTSTATUS Status;
    int Errno;
};

constexpr StatusErrno kTable[] = {
    {STATUS_OBJECT_NAME_NOT_FOUND, ENOENT},
    {STATUS_OBJECT_PATH_NOT_FOUND, ENOENT},
    {STATUS_NO_SUCH_FILE, ENOENT},
    {STATUS_NOT_FOUND, ENOENT},
    {STATUS_DELETE_PENDING, ENOENT},
    {STATUS_FILE_DELETED, ENOENT},
    {STATUS_KEY_DELETED, ENOENT},
    {STATUS_OBJECT_NAME_COLLISION, EEXIST},
    {STATUS_ACCESS_DENIED, EACCES},
    {STATUS_CANNOT_DELETE, EPERM},
    {STATUS_DIRECTORY_NOT_EMPTY, ENOTEMPTY},
    {STATUS_SHARING_VIOLATION, EBUSY},
    {STATUS_NOT_A_DIRECTORY, ENOTDIR},
    {STATUS_FILE_IS_A_DIRECTORY, EISDIR},
    {STATUS_INVALID_PARAMETER, EINVAL},
    {STATUS_INVALID_INFO_CLASS, EINVAL},
    {STATUS_INFO_LENGTH_MISMATCH, EINVAL},
    {STATUS_OBJECT_NAME_INVALID, EINVAL},
    {STATUS_OBJECT_PATH_INVALID, EINVAL},
    {STATUS_OBJECT_PATH_SYNTAX_BAD, EINVAL},
    {STATUS_OBJECT_TYPE_MISMATCH, EINVAL},
    {STATUS_INVALID_VARIANT, EINVAL},
    {STATUS_NAME_TOO_LONG, ENAMETOOLONG},
    {STATUS_DISK_FULL, ENOSPC},
    {STATUS_MEDIA_WRITE_PROTECTED, EROFS},
    {STATUS_INSUFFICIENT_RESOURCES, ENOMEM},
    {STATUS_NO_MEMORY, ENOMEM},
    {STATUS_BAD_NETWORK_PATH, EHOSTUNREACH},
    {STATUS_BAD_NETWORK_NAME, EHOSTUNREACH},
    {STATUS_NETWORK_UNREACHABLE, EHOSTUNREACH},
    {STATUS_NOT_SAME_DEVICE, EXDEV},
    {STATUS_NOT_IMPLEMENTED, EOPNOTSUPP},
    {STATUS_NOT_SUPPORTED, EOPNOTSUPP},
    {STATUS_INVALID_DEVICE_REQUEST, EOPNOTSUPP},
    {STATUS_NO_SUCH_DEVICE, ENODEV},
    {STATUS_INVALID_HANDLE, EBADF},
    {STATUS_FILE_CLOSED, EBADF},
    {STATUS_TOO_MANY_OPENED_FILES, EMFILE},
    {STATUS_REPARSE_POINT_NOT_RESOLVED, ELOOP},
    {STATUS_ACCESS_VIOLATION, EFAULT},
    {STATUS_INVALID_USER_BUFFER, EFAULT},
    {STATUS_DATATYPE_MISALIGNMENT, EFAULT},
    {STATUS_BUFFER_TOO_SMALL, ERANGE},
    {STATUS_BUFFER_OVERFLOW, EOVERFLOW},
    {STATUS_END_OF_FILE, ENODATA},
    {STATUS_TIMEOUT, ETIMEDOUT},
    {STATUS_IO_DEVICE_ERROR, EIO},
    {STATUS_DRIVER_INTERNAL_ERROR, EIO},
    {STATUS_UNSUCCESSFUL, EIO},
};

}  // namespace

int ErrnoFromStatus(NTSTATUS status) {
    for (const auto& entry : kTable) {
        if (entry.Status == status) return entry.Errno;
    }
    if (NT_SUCCESS(status)) return 0;
    return EIO;
}

}  // namespace korin::fuse
