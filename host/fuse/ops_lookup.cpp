// Names and attributes: lookup, forget, getattr, setattr.
#include "names.h"
#include "ops_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace korin::fuse {

std::shared_ptr<Inode> InodeOf(DriveFs& fs, fuse_ino_t ino) { return fs.Inodes().Find(ino); }

int ChildPathOf(DriveFs& fs, const Inode& parent, const char* name, std::u16string* wideName, std::u16string* path) {
    if (!WideFromLinux(name, wideName)) return EINVAL;
    if (parent.Parent && !fs.Inodes().IsNamed(parent)) return ENOENT;
    *path = fs.Inodes().ChildPath(parent, *wideName);
    return 0;
}

int PathOfInode(DriveFs& fs, const Inode& inode, std::u16string* path) {
    if (inode.Parent && !fs.Inodes().IsNamed(inode)) return ENOENT;
    *path = fs.Inodes().PathOf(inode);
    return 0;
}

void FillEntry(DriveFs& fs, const Inode& inode, ItemKind parentKind, const ItemInfo& info, fuse_entry_param* entry) {
    *entry = {};
    entry->ino = inode.Ino;
    entry->generation = 0;  // inode numbers are never reused
    entry->attr = info.Stat;
    entry->attr.st_ino = inode.Ino;
    entry->attr_timeout = fs.AttrTimeout(info.Kind);
    entry->entry_timeout = fs.EntryTimeout(parentKind);
}

void RememberOpened(DriveFs& fs, const std::shared_ptr<Inode>& parent, const std::u16string& wideName,
                    const ItemInfo& info, fuse_entry_param* entry) {
    auto inode = fs.Inodes().Remember(parent, wideName, info.Kind, info.Directory);
    FillEntry(fs, *inode, parent->Kind, info, entry);
}

int LookupChild(DriveFs& fs, const std::shared_ptr<Inode>& parent, const std::u16string& wideName,
                fuse_entry_param* entry) {
    if (parent->Parent && !fs.Inodes().IsNamed(*parent)) return ENOENT;
    std::u16string path = fs.Inodes().ChildPath(*parent, wideName);
    NtHandle handle;
    NTSTATUS status = OpenPath(path, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    ItemInfo info;
    int err = DescribeOpenItem(handle.Get(), fs.Volume(), false, &info);
    if (err) return err;
    RememberOpened(fs, parent, wideName, info, entry);
    return 0;
}

namespace {

// A lookup the kernel never received (the request was interrupted) must not
// stay counted.
void ReplyEntry(fuse_req_t req, DriveFs& fs, const fuse_entry_param& entry) {
    if (fuse_reply_entry(req, &entry) != 0 && entry.ino) fs.Inodes().Forget(entry.ino, 1);
}

void OpLookup(fuse_req_t req, fuse_ino_t parentIno, const char* name) {
    DriveFs& fs = FsOf(req);
    fuse_entry_param entry{};
    int err = Guarded("lookup", [&] {
        auto parent = InodeOf(fs, parentIno);
        if (!parent) return ENOENT;
        std::u16string wideName;
        // A name a syscall path cannot hold cannot exist on the drive.
        if (!WideFromLinux(name, &wideName)) return ENOENT;
        return LookupChild(fs, parent, wideName, &entry);
    });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        ReplyEntry(req, fs, entry);
    }
}

void OpForget(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
    FsOf(req).Inodes().Forget(ino, nlookup);
    fuse_reply_none(req);
}

void OpForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    DriveFs& fs = FsOf(req);
    for (size_t i = 0; i < count; ++i) fs.Inodes().Forget(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

// The attributes of an inode, through its open file when the kernel gives
// one, through any open of it once its name is gone (an unlinked but open
// file still has attributes), else by its path.
// A path that now leads to an item of another type answers ESTALE, which
// makes the kernel look the name up again.
int DoGetattr(DriveFs& fs, fuse_ino_t ino, fuse_file_info* fi, struct stat* st, double* timeout) {
    auto inode = InodeOf(fs, ino);
    if (!inode) return ENOENT;
    ItemInfo info;
    if (fi && fi->fh) {
        auto* file = reinterpret_cast<OpenFile*>(fi->fh);
        int err = file->HostFd >= 0 ? DescribeHostDescriptor(file->HostFd, &info)
                                    : DescribeOpenItem(file->Handle.Get(), fs.Volume(), false, &info);
        if (err) return err;
    } else if (inode->Parent && !fs.Inodes().IsNamed(*inode)) {
        // Removed or replaced, but possibly still open (fstat of an unlinked file).
        int err = ENOENT;
        fs.Opens().WithHostFdOf(inode.get(), [&](int fd) { err = DescribeHostDescriptor(fd, &info); });
        if (err) return err;
    } else {
        std::u16string path;
        if (int err = PathOfInode(fs, *inode, &path)) return err;
        NtHandle handle;
        NTSTATUS status = OpenPath(path, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle);
        if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
        if (int err = DescribeOpenItem(handle.Get(), fs.Volume(), inode->Parent == nullptr, &info)) return err;
        if (info.Directory != inode->Directory || IsVirtualKind(info.Kind) != IsVirtualKind(inode->Kind)) {
            if (inode->Parent) fs.Inodes().Unname(inode->Parent->Ino, inode->Name);
            return ESTALE;
        }
    }
    *st = info.Stat;
    st->st_ino = ino;
    *timeout = fs.AttrTimeout(info.Kind);
    return 0;
}

void OpGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    DriveFs& fs = FsOf(req);
    struct stat st{};
    double timeout = 0;
    int err = Guarded("getattr", [&] { return DoGetattr(fs, ino, fi, &st, &timeout); });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_attr(req, &st, timeout);
    }
}

// "/proc/self/fd/N": names the file behind a descriptor for the calls that
// take no descriptor opened only for a path.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// Changes a real item through its host descriptor.
int SetHostAttributes(int fd, bool writable, const struct stat* attr, int toSet) {
    std::string path = DescriptorPath(fd);
    if ((toSet & FUSE_SET_ATTR_MODE) && chmod(path.c_str(), attr->st_mode & 07777) != 0) return errno;
    if (toSet & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
        uid_t uid = (toSet & FUSE_SET_ATTR_UID) ? attr->st_uid : static_cast<uid_t>(-1);
        gid_t gid = (toSet & FUSE_SET_ATTR_GID) ? attr->st_gid : static_cast<gid_t>(-1);
        if (fchownat(fd, "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return errno;
    }
    if (toSet & FUSE_SET_ATTR_SIZE) {
        int result = writable ? ftruncate(fd, attr->st_size) : truncate(path.c_str(), attr->st_size);
        if (result != 0) return errno;
    }
    if (toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) {
        struct timespec times[2];
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_nsec = UTIME_OMIT;
        if (toSet & FUSE_SET_ATTR_ATIME_NOW) {
            times[0].tv_nsec = UTIME_NOW;
        } else if (toSet & FUSE_SET_ATTR_ATIME) {
            times[0] = attr->st_atim;
        }
        if (toSet & FUSE_SET_ATTR_MTIME_NOW) {
            times[1].tv_nsec = UTIME_NOW;
        } else if (toSet & FUSE_SET_ATTR_MTIME) {
            times[1] = attr->st_mtim;
        }
        if (utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return errno;
    }
    return 0;
}

// The drive's own folders have no owner, mode, size or times to change; the
// driver is asked about times anyway and refuses them.
int SetVirtualAttributes(HANDLE handle, int toSet) {
    if (toSet & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID | FUSE_SET_ATTR_SIZE)) return EPERM;
    if (!(toSet & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME))) return 0;
    FILE_BASIC_INFORMATION basic{};
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = NtSetInformationFile(handle, &ioStatus, &basic, sizeof basic, FileBasicInformation);
    if (NT_SUCCESS(status)) return 0;
    return status == STATUS_INVALID_INFO_CLASS || status == STATUS_INVALID_PARAMETER ? EPERM : ErrnoFromStatus(status);
}

// Changes what the kernel asks of an item: a real item through its host
// descriptor (the open one when the kernel gives it), the drive's own
// folders through the driver, which refuses what they do not have.
int DoSetattr(DriveFs& fs, fuse_ino_t ino, const struct stat* attr, int toSet, fuse_file_info* fi, struct stat* st,
              double* timeout) {
    auto inode = InodeOf(fs, ino);
    if (!inode) return ENOENT;
    OpenFile* file = fi && fi->fh ? reinterpret_cast<OpenFile*>(fi->fh) : nullptr;
    NtHandle opened;
    HANDLE handle;
    int fd;
    bool writable = false;
    if (file) {
        handle = file->Handle.Get();
        fd = file->HostFd;
        writable = (fi->flags & O_ACCMODE) != O_RDONLY;
    } else if (inode->Parent && !fs.Inodes().IsNamed(*inode)) {
        // Removed but still open (fchmod of an unlinked file): changed through an open of it.
        int err = ENOENT;
        ItemInfo info;
        fs.Opens().WithHostFdOf(inode.get(), [&](int openFd) {
            err = SetHostAttributes(openFd, false, attr, toSet);
            if (!err) err = DescribeHostDescriptor(openFd, &info);
        });
        if (err) return err;
        *st = info.Stat;
        st->st_ino = ino;
        *timeout = fs.AttrTimeout(info.Kind);
        return 0;
    } else {
        std::u16string path;
        if (int err = PathOfInode(fs, *inode, &path)) return err;
        NTSTATUS status = OpenPath(path, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, &opened);
        if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
        handle = opened.Get();
        fd = io::HostDescriptorOfHandle(handle);
    }
    int err = fd >= 0 ? SetHostAttributes(fd, writable, attr, toSet) : SetVirtualAttributes(handle, toSet);
    if (err) return err;
    ItemInfo info;
    if (int describeErr = DescribeOpenItem(handle, fs.Volume(), inode->Parent == nullptr, &info)) return describeErr;
    *st = info.Stat;
    st->st_ino = ino;
    *timeout = fs.AttrTimeout(info.Kind);
    return 0;
}

void OpSetattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int toSet, fuse_file_info* fi) {
    DriveFs& fs = FsOf(req);
    struct stat st{};
    double timeout = 0;
    int err = Guarded("setattr", [&] { return DoSetattr(fs, ino, attr, toSet, fi, &st, &timeout); });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_attr(req, &st, timeout);
    }
}

}  // namespace

void AddLookupOperations(fuse_lowlevel_ops* ops) {
    ops->lookup = OpLookup;
    ops->forget = OpForget;
    ops->forget_multi = OpForgetMulti;
    ops->getattr = OpGetattr;
    ops->setattr = OpSetattr;
}

}  // namespace korin::fuse
