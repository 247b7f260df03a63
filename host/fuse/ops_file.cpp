// File data: open, create, read, write, flush, fsync, fallocate, release.
//
// An open goes through NtCreateFile, so the drive reparses a mapped name to
// the real file; data then passes straight through the host descriptor
// behind the handle. The kernel's page cache is kept across opens only while
// the real file is unchanged (its identity, size and times as the last open
// saw them).
#include "names.h"
#include "ops_common.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace korin::fuse {
namespace {

ACCESS_MASK AccessForFlags(int flags) {
    ACCESS_MASK access = FILE_READ_ATTRIBUTES;
    switch (flags & O_ACCMODE) {
        case O_RDONLY:
            access |= FILE_READ_DATA;
            break;
        case O_WRONLY:
            access |= FILE_WRITE_DATA | FILE_APPEND_DATA;
            break;
        default:
            access |= FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA;
            break;
    }
    return access;
}

bool Writable(int flags) { return (flags & O_ACCMODE) != O_RDONLY; }

// Decides about the page cache for a fresh open of a real file: keep it when
// the file is the one the cache was filled from; otherwise drop it and the
// kernel's attributes as well (a file grown on the host would otherwise read
// short until they expired). The attribute invalidation is safe here: it
// takes no lock the open holds.
void DecideCaching(DriveFs& fs, Inode& inode, const ItemInfo& info, fuse_file_info* fi) {
    if (!info.Stamp) {
        fi->keep_cache = 0;
        return;
    }
    std::optional<ChangeStamp> previous = fs.Inodes().ExchangeCacheStamp(inode, *info.Stamp);
    bool unchanged = previous && *previous == *info.Stamp;
    fi->keep_cache = unchanged ? 1 : 0;
    if (previous && !unchanged) fs.InvalidateAttributes(inode.Ino);
}

void ReplyOpen(fuse_req_t req, DriveFs& fs, OpenFile* file, fuse_file_info* fi) {
    fi->fh = reinterpret_cast<uint64_t>(file);
    fi->direct_io = 0;
    if (fuse_reply_open(req, fi) != 0) fs.Opens().Release(file);
}

// Truncation asked by O_TRUNC, on the real file or through the driver.
int TruncateOpened(OpenFile* file) {
    if (file->HostFd >= 0) return ftruncate(file->HostFd, 0) == 0 ? 0 : errno;
    FILE_END_OF_FILE_INFORMATION end{};
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status = NtSetInformationFile(file->Handle.Get(), &ioStatus, &end, sizeof end, FileEndOfFileInformation);
    return ErrnoFromStatus(status);
}

// Opens a file by its path (a mapping reparses to the real file) for the
// access the flags ask, truncating for O_TRUNC, and decides about the page
// cache.
int DoOpen(DriveFs& fs, fuse_ino_t ino, fuse_file_info* fi, OpenFile** opened) {
    auto inode = InodeOf(fs, ino);
    if (!inode) return ENOENT;
    std::u16string path;
    if (int err = PathOfInode(fs, *inode, &path)) return err;
    auto file = std::make_unique<OpenFile>();
    NTSTATUS status = OpenPath(path, AccessForFlags(fi->flags), FILE_OPEN, FILE_NON_DIRECTORY_FILE, &file->Handle);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    file->HostFd = io::HostDescriptorOfHandle(file->Handle.Get());
    file->Node = inode;
    if ((fi->flags & O_TRUNC) && Writable(fi->flags)) {
        if (int err = TruncateOpened(file.get())) return err;
        file->Written = true;
    }
    ItemInfo info;
    int err = file->HostFd >= 0 ? DescribeHostDescriptor(file->HostFd, &info)
                                : DescribeOpenItem(file->Handle.Get(), fs.Volume(), false, &info);
    if (err) return err;
    DecideCaching(fs, *inode, info, fi);
    *opened = fs.Opens().Adopt(std::move(file));
    return 0;
}

void OpOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    DriveFs& fs = FsOf(req);
    OpenFile* file = nullptr;
    int err = Guarded("open", [&] { return DoOpen(fs, ino, fi, &file); });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        ReplyOpen(req, fs, file, fi);
    }
}

ULONG CreateDisposition(int flags) {
    if (flags & O_EXCL) return FILE_CREATE;
    if (flags & O_TRUNC) return FILE_OVERWRITE_IF;
    return FILE_OPEN_IF;
}

// Applies the mode a new real file was asked with (the host file system
// creates with its default).
void ApplyCreateMode(int fd, mode_t mode) {
    struct stat st;
    if (fstat(fd, &st) != 0 || (st.st_mode & 07777) == (mode & 07777)) return;
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    chmod(path.c_str(), mode & 07777);
}

// Creates or opens a file in a directory. In the drive's own folders, which
// hold no files, the refusal is EPERM with an explanation in the log.
int DoCreate(DriveFs& fs, fuse_ino_t parentIno, const char* name, mode_t mode, fuse_file_info* fi,
             fuse_entry_param* entry, OpenFile** opened) {
    auto parent = InodeOf(fs, parentIno);
    if (!parent) return ENOENT;
    std::u16string wideName, path;
    if (int err = ChildPathOf(fs, *parent, name, &wideName, &path)) return err;
    auto file = std::make_unique<OpenFile>();
    ULONG_PTR information = 0;
    NTSTATUS status = OpenPath(path, AccessForFlags(fi->flags), CreateDisposition(fi->flags), FILE_NON_DIRECTORY_FILE,
                               &file->Handle, &information);
    if (!NT_SUCCESS(status)) {
        bool missing = status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND;
        if (missing && IsVirtualKind(parent->Kind)) {
            // The drive's own folders hold folders and mappings, never files.
            Log("%s: no file can be created there: a virtual folder holds only folders and mappings "
                "(refused with EPERM)",
                Printable(DrivePath(path)).c_str());
            return EPERM;
        }
        return ErrnoFromStatus(status);
    }
    file->HostFd = io::HostDescriptorOfHandle(file->Handle.Get());
    if (file->HostFd >= 0 && information == FILE_CREATED) ApplyCreateMode(file->HostFd, mode);
    ItemInfo info;
    int err = file->HostFd >= 0 ? DescribeHostDescriptor(file->HostFd, &info)
                                : DescribeOpenItem(file->Handle.Get(), fs.Volume(), false, &info);
    if (err) return err;
    auto inode = fs.Inodes().Remember(parent, wideName, info.Kind, info.Directory);
    FillEntry(fs, *inode, parent->Kind, info, entry);
    file->Node = inode;
    file->Written = true;
    if (info.Stamp) fs.Inodes().SetCacheStamp(*inode, *info.Stamp);
    fi->keep_cache = 0;
    *opened = fs.Opens().Adopt(std::move(file));
    return 0;
}

void OpCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
    DriveFs& fs = FsOf(req);
    fuse_entry_param entry{};
    OpenFile* file = nullptr;
    int err = Guarded("create", [&] { return DoCreate(fs, parent, name, mode, fi, &entry, &file); });
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    fi->fh = reinterpret_cast<uint64_t>(file);
    if (fuse_reply_create(req, &entry, fi) != 0) {
        fs.Inodes().Forget(entry.ino, 1);
        fs.Opens().Release(file);
    }
}

// Reads through the driver when no host descriptor is behind the handle.
int ReadThroughHandle(OpenFile* file, size_t size, off_t offset, std::vector<char>* data) {
    data->resize(size);
    IO_STATUS_BLOCK ioStatus{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = NtReadFile(file->Handle.Get(), nullptr, nullptr, nullptr, &ioStatus, data->data(),
                                 static_cast<ULONG>(size), &at, nullptr);
    if (status == STATUS_END_OF_FILE) {
        data->clear();
        return 0;
    }
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    data->resize(std::min<size_t>(ioStatus.Information, size));
    return 0;
}

void OpRead(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, fuse_file_info* fi) {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    if (file->HostFd >= 0) {
        // Spliced from the real file when the kernel allows it.
        fuse_bufvec data = FUSE_BUFVEC_INIT(size);
        data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        data.buf[0].fd = file->HostFd;
        data.buf[0].pos = offset;
        fuse_reply_data(req, &data, FUSE_BUF_SPLICE_MOVE);
        return;
    }
    std::vector<char> data;
    int err = Guarded("read", [&] { return ReadThroughHandle(file, size, offset, &data); });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_buf(req, data.data(), data.size());
    }
}

// Writes to the real file; O_APPEND appends where the file really ends.
int WriteHost(OpenFile* file, const char* buffer, size_t size, off_t offset, bool append, size_t* written) {
    iovec vector{const_cast<char*>(buffer), size};
    ssize_t result = pwritev2(file->HostFd, &vector, 1, append ? -1 : offset, append ? RWF_APPEND : 0);
    if (result < 0) return errno;
    *written = static_cast<size_t>(result);
    return 0;
}

int WriteThroughHandle(OpenFile* file, const char* buffer, size_t size, off_t offset, size_t* written) {
    IO_STATUS_BLOCK ioStatus{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = NtWriteFile(file->Handle.Get(), nullptr, nullptr, nullptr, &ioStatus, const_cast<char*>(buffer),
                                  static_cast<ULONG>(size), &at, nullptr);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    *written = ioStatus.Information;
    return 0;
}

void OpWrite(fuse_req_t req, fuse_ino_t, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    size_t written = 0;
    int err = Guarded("write", [&] {
        file->Written = true;
        return file->HostFd >= 0 ? WriteHost(file, buffer, size, offset, (fi->flags & O_APPEND) != 0, &written)
                                 : WriteThroughHandle(file, buffer, size, offset, &written);
    });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_write(req, written);
    }
}

void OpFlush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void OpFsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    int err = 0;
    if (file->HostFd >= 0) {
        int result = datasync ? fdatasync(file->HostFd) : fsync(file->HostFd);
        if (result != 0) err = errno;
    }
    fuse_reply_err(req, err);
}

void OpFallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length, fuse_file_info* fi) {
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    int err = EOPNOTSUPP;
    if (file->HostFd >= 0) {
        file->Written = true;
        err = fallocate(file->HostFd, mode, offset, length) == 0 ? 0 : errno;
    }
    fuse_reply_err(req, err);
}

// After writes through this open, the page cache holds what the file now
// holds: the next open may keep it.
void OpRelease(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    DriveFs& fs = FsOf(req);
    auto* file = reinterpret_cast<OpenFile*>(fi->fh);
    Guarded("release", [&] {
        if (file->Written && file->HostFd >= 0) {
            struct stat st;
            if (fstat(file->HostFd, &st) == 0) fs.Inodes().SetCacheStamp(*file->Node, StampOf(st));
        }
        std::shared_ptr<Inode> node = file->Node;
        fs.Opens().Release(file);
        if (node) fs.OnReleased(node.get());
        return 0;
    });
    fuse_reply_err(req, 0);
}

}  // namespace

void AddFileOperations(fuse_lowlevel_ops* ops) {
    ops->open = OpOpen;
    ops->create = OpCreate;
    ops->read = OpRead;
    ops->write = OpWrite;
    ops->flush = OpFlush;
    ops->fsync = OpFsync;
    ops->fallocate = OpFallocate;
    ops->release = OpRelease;
}

}  // namespace korin::fuse
