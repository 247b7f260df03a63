// IRP_MJ_CLEANUP (the last handle of a file object is gone) and
// IRP_MJ_CLOSE (the file object itself goes).
#include "hostfs_internal.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace korin::hostfs {

namespace {

// Removes the name a delete was asked through, but only while it still
// names this file: a name taken over by another file meanwhile is kept.
// TableLock held.
void RemoveName(HOST_FILE* file) {
    const std::string& path = file->DeletePath;
    struct statx stx;
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_TYPE | STATX_INO, &stx) != 0) return;
    if (makedev(stx.stx_dev_major, stx.stx_dev_minor) != file->Key.Device || stx.stx_ino != file->Key.Inode) return;
    int rc = S_ISDIR(stx.stx_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
    if (rc != 0) {
        // Cleanup cannot fail; a directory filled meanwhile simply stays.
        std::fprintf(stderr, "hostfs: could not delete %s: errno %d\n", path.c_str(), errno);
        return;
    }
    ForgetFile(file);
}

// The cleanup work: share access released, a delete-on-close turned into a
// pending delete, the pending delete done by the file's last cleanup.
// TableLock held.
void CleanupOpen(HOST_OPEN* open, PFILE_OBJECT fileObject) {
    if (open->CleanedUp) return;
    open->CleanedUp = true;
    HOST_FILE* file = open->File;
    IoRemoveShareAccess(fileObject, &file->ShareAccess);
    if (open->DeleteOnClose && !file->DeletePending) {
        file->DeletePending = true;
        file->DeletePath = open->Path;
    }
    if (--file->HandleCount == 0 && file->DeletePending) {
        RemoveName(file);
        file->DeletePending = false;
    }
}

}  // namespace

// The file object's last handle is gone: see CleanupOpen.
NTSTATUS CommonCleanup(HOST_OPEN* open, PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    std::lock_guard lock(TableLock());
    CleanupOpen(open, fileObject);
    return STATUS_SUCCESS;
}

// Frees the open; a file object closed without a cleanup is cleaned up
// first, so share access and deletes are never left behind.
NTSTATUS CommonClose(HOST_OPEN* open, PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    FreeScan(open);
    {
        std::lock_guard lock(TableLock());
        CleanupOpen(open, fileObject);
        close(open->Fd);
        DereferenceFile(open->File);
        ReleaseVolumeOpen(open->Volume);
        FreeOpen(open);
    }
    fileObject->FsContext = nullptr;
    fileObject->FsContext2 = nullptr;
    return STATUS_SUCCESS;
}

}  // namespace korin::hostfs
