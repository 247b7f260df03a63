// Changing names: mkdir, rmdir, unlink, rename, and the kinds of item the
// drive cannot hold (special files, symbolic and hard links).
//
// mkdir is CreateDirectory (a create with FILE_CREATE and
// FILE_DIRECTORY_FILE); rmdir and unlink set the delete disposition on an
// open of the name and close it, so the deletion happens at that close as
// the driver defines; rename is FileRenameInformation with the new full path.
#include "names.h"
#include "ops_common.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

namespace korin::fuse {
namespace {

void ReplyEntryOrForget(fuse_req_t req, DriveFs& fs, int err, const fuse_entry_param& entry) {
    if (err) {
        fuse_reply_err(req, err);
    } else if (fuse_reply_entry(req, &entry) != 0) {
        fs.Inodes().Forget(entry.ino, 1);
    }
}

// CreateDirectory: a virtual folder in the drive's own folders, a real
// directory (with the mode asked) inside a mapped one.
int DoMkdir(DriveFs& fs, fuse_ino_t parentIno, const char* name, mode_t mode, fuse_entry_param* entry) {
    auto parent = InodeOf(fs, parentIno);
    if (!parent) return ENOENT;
    std::u16string wideName, path;
    if (int err = ChildPathOf(fs, *parent, name, &wideName, &path)) return err;
    NtHandle handle;
    NTSTATUS status = OpenPath(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_CREATE,
                               FILE_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    ItemInfo info;
    if (int err = DescribeOpenItem(handle.Get(), fs.Volume(), false, &info)) return err;
    if (info.Kind == ItemKind::Host && (info.Stat.st_mode & 07777) != (mode & 07777)) {
        std::string fdPath = "/proc/self/fd/" + std::to_string(info.HostFd);
        if (chmod(fdPath.c_str(), mode & 07777) == 0) info.Stat.st_mode = (info.Stat.st_mode & S_IFMT) | (mode & 07777);
    }
    RememberOpened(fs, parent, wideName, info, entry);
    return 0;
}

void OpMkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    DriveFs& fs = FsOf(req);
    fuse_entry_param entry{};
    int err = Guarded("mkdir", [&] { return DoMkdir(fs, parent, name, mode, &entry); });
    ReplyEntryOrForget(req, fs, err, entry);
}

constexpr auto kReleaseWait = std::chrono::seconds(2);

// Deletes what path names: open for delete, set the disposition, close.
NTSTATUS DeletePath(const std::u16string& path, bool directory) {
    NtHandle handle;
    NTSTATUS status = OpenPath(path, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN,
                               directory ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) return status;
    return SetDeleteDisposition(handle.Get(), true);
}

// A real file still open through the mount: renamed to a hidden name in its
// directory and deleted from there, so that its name is free at once (the
// deletion itself happens when the last open goes). FALSE when it cannot be
// renamed there (a mapping's name in a virtual folder): then it is deleted
// under its own name.
bool RemoveOpenFile(DriveFs& fs, const std::shared_ptr<Inode>& parent, const std::shared_ptr<Inode>& node,
                    const std::u16string& path) {
    std::u16string hiddenName = fs.HiddenName(node->Ino);
    std::u16string hiddenPath = fs.Inodes().ChildPath(*parent, hiddenName);
    NtHandle handle;
    if (!NT_SUCCESS(OpenPath(path, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &handle)))
        return false;
    if (!NT_SUCCESS(RenameTo(handle.Get(), hiddenPath, false))) return false;
    fs.NoteHidden(parent->Ino, hiddenName, node);
    NTSTATUS status = SetDeleteDisposition(handle.Get(), true);
    if (!NT_SUCCESS(status)) {
        Log("%s: renamed to %s on removal, but could not be marked for deletion (%s)",
            Printable(DrivePath(path)).c_str(), Printable(hiddenName).c_str(), NtStatusName(status));
    }
    return true;
}

int DoRemove(DriveFs& fs, fuse_ino_t parentIno, const char* name, bool directory) {
    auto parent = InodeOf(fs, parentIno);
    if (!parent) return ENOENT;
    std::u16string wideName, path;
    if (int err = ChildPathOf(fs, *parent, name, &wideName, &path)) return err;
    fuse_ino_t childIno = fs.Inodes().LookupName(parentIno, wideName);
    std::shared_ptr<Inode> child = childIno ? fs.Inodes().Find(childIno) : nullptr;
    if (!directory && child && child->Kind == ItemKind::Host && parent->Kind == ItemKind::Host &&
        fs.Opens().HasOpenFileOf(child.get()) && RemoveOpenFile(fs, parent, child, path)) {
        fs.Inodes().Unname(parentIno, wideName);
        return 0;
    }
    NTSTATUS status = DeletePath(path, directory);
    // Files removed while open may still sit in the directory until their
    // last release, which the kernel sends after close() returned.
    if (status == STATUS_DIRECTORY_NOT_EMPTY && child && fs.WaitForHiddenIn(child->Ino, kReleaseWait)) {
        status = DeletePath(path, directory);
    }
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    fs.Inodes().Unname(parentIno, wideName);
    return 0;
}

void OpUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    DriveFs& fs = FsOf(req);
    fuse_reply_err(req, Guarded("unlink", [&] { return DoRemove(fs, parent, name, false); }));
}

void OpRmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    DriveFs& fs = FsOf(req);
    fuse_reply_err(req, Guarded("rmdir", [&] { return DoRemove(fs, parent, name, true); }));
}

// Renames (parent, name) to (newParent, newName) with FileRenameInformation;
// the driver and the host file system decide what may move where.
int DoRename(DriveFs& fs, fuse_ino_t parentIno, const char* name, fuse_ino_t newParentIno, const char* newName,
             unsigned int flags) {
    // Exchanging two names has no counterpart in the syscalls.
    if (flags & ~RENAME_NOREPLACE) return EINVAL;
    auto parent = InodeOf(fs, parentIno);
    auto newParent = InodeOf(fs, newParentIno);
    if (!parent || !newParent) return ENOENT;
    std::u16string wideName, path, wideNewName, newPath;
    if (int err = ChildPathOf(fs, *parent, name, &wideName, &path)) return err;
    if (int err = ChildPathOf(fs, *newParent, newName, &wideNewName, &newPath)) return err;
    NtHandle handle;
    NTSTATUS status = OpenPath(path, DELETE | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    status = RenameTo(handle.Get(), newPath, (flags & RENAME_NOREPLACE) == 0);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    handle.Reset();
    fs.Inodes().Move(parentIno, wideName, newParent, wideNewName);
    return 0;
}

void OpRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newParent, const char* newName,
              unsigned int flags) {
    DriveFs& fs = FsOf(req);
    fuse_reply_err(req, Guarded("rename", [&] { return DoRename(fs, parent, name, newParent, newName, flags); }));
}

// A plain file through mknod is a create whose handle closes at once; other
// special files have no place on the drive.
int DoMknod(DriveFs& fs, fuse_ino_t parentIno, const char* name, mode_t mode, fuse_entry_param* entry) {
    if (!S_ISREG(mode)) return EPERM;
    auto parent = InodeOf(fs, parentIno);
    if (!parent) return ENOENT;
    std::u16string wideName, path;
    if (int err = ChildPathOf(fs, *parent, name, &wideName, &path)) return err;
    NtHandle handle;
    NTSTATUS status =
        OpenPath(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &handle);
    if (!NT_SUCCESS(status)) {
        bool missing = status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND;
        if (missing && IsVirtualKind(parent->Kind)) {
            Log("%s: no file can be created there: a virtual folder holds only folders and mappings "
                "(refused with EPERM)",
                Printable(DrivePath(path)).c_str());
            return EPERM;
        }
        return ErrnoFromStatus(status);
    }
    ItemInfo info;
    if (int err = DescribeOpenItem(handle.Get(), fs.Volume(), false, &info)) return err;
    RememberOpened(fs, parent, wideName, info, entry);
    return 0;
}

void OpMknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
    DriveFs& fs = FsOf(req);
    fuse_entry_param entry{};
    int err = Guarded("mknod", [&] { return DoMknod(fs, parent, name, mode, &entry); });
    ReplyEntryOrForget(req, fs, err, entry);
}

void OpSymlink(fuse_req_t req, const char*, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }

void OpLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char*) { fuse_reply_err(req, EPERM); }

}  // namespace

void AddChangeOperations(fuse_lowlevel_ops* ops) {
    ops->mkdir = OpMkdir;
    ops->rmdir = OpRmdir;
    ops->unlink = OpUnlink;
    ops->rename = OpRename;
    ops->mknod = OpMknod;
    ops->symlink = OpSymlink;
    ops->link = OpLink;
}

}  // namespace korin::fuse
