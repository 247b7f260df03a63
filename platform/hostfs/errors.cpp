// Host errors as NT statuses.
#include "hostfs_internal.h"

#include <cerrno>

namespace korin::hostfs {

// The status a caller of the NT side expects for what the host reported.
// Callers that know more (a missing parent against a missing leaf) decide
// before asking here.
NTSTATUS StatusFromErrno(int error) {
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return STATUS_DISK_FULL;
    case EROFS:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case ENAMETOOLONG:
        return STATUS_NAME_TOO_LONG;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOTEMPTY:
        return STATUS_DIRECTORY_NOT_EMPTY;
    case EMFILE:
    case ENFILE:
        return STATUS_TOO_MANY_OPENED_FILES;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    case EXDEV:
        return STATUS_NOT_SAME_DEVICE;
    case EBUSY:
    case ETXTBSY:
        return STATUS_SHARING_VIOLATION;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    case EBADF:
        return STATUS_INVALID_HANDLE;
    case ELOOP:
        return STATUS_REPARSE_POINT_NOT_RESOLVED;
    case ENXIO:
    case ENODEV:
        return STATUS_NO_SUCH_DEVICE;
    case EOPNOTSUPP:
        return STATUS_NOT_SUPPORTED;
    case EIO:
        return STATUS_IO_DEVICE_ERROR;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

}  // namespace korin::hostfs
