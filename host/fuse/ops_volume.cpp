// The connection and the volume: init, statfs.
#include "ops_common.h"

#include <sys/statvfs.h>

namespace korin::fuse {
namespace {

// What the kernel is asked to do for us. Caching is long and explicit
// invalidation keeps it right; reads are spliced from the real file;
// listings carry attributes; requests are up to 1 MiB.
void OpInit(void*, fuse_conn_info* conn) {
    auto want = [conn](unsigned capability) {
        if (conn->capable & capability) conn->want |= capability;
    };
    want(FUSE_CAP_ASYNC_READ);
    want(FUSE_CAP_SPLICE_WRITE);
    want(FUSE_CAP_SPLICE_MOVE);
    want(FUSE_CAP_READDIRPLUS);
    want(FUSE_CAP_READDIRPLUS_AUTO);
    want(FUSE_CAP_PARALLEL_DIROPS);
    want(FUSE_CAP_ATOMIC_O_TRUNC);
    // Attributes refreshed from a real file that changed on the host drop
    // the pages read before the change.
    want(FUSE_CAP_AUTO_INVAL_DATA);
    // Requests arrive in memory: writes go to the real file with one pwrite.
    conn->want &= ~FUSE_CAP_SPLICE_READ;
    // The kernel may not keep dirty pages of its own: the real file is the truth.
    conn->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    conn->max_write = 1u << 20;
    conn->max_readahead = 1u << 20;
    conn->max_background = 64;
    conn->congestion_threshold = 48;
    conn->time_gran = 1;
}

// The figures of the volume an inode is on: the drive's own for its
// folders, the host's for real items below a mapped folder.
int DoStatfs(DriveFs& fs, fuse_ino_t ino, struct statvfs* st) {
    auto inode = InodeOf(fs, ino);
    if (!inode) return ENOENT;
    std::u16string path;
    if (int err = PathOfInode(fs, *inode, &path)) return err;
    NtHandle handle;
    NTSTATUS status = OpenPath(path, FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &handle);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    FILE_FS_FULL_SIZE_INFORMATION size;
    status = QueryFullSize(handle.Get(), &size);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    ULONG nameLength = 255;
    QueryMaximumComponentLength(handle.Get(), &nameLength);
    *st = {};
    unsigned long unit = static_cast<unsigned long>(size.SectorsPerAllocationUnit) * size.BytesPerSector;
    st->f_bsize = unit;
    st->f_frsize = unit;
    st->f_blocks = static_cast<fsblkcnt_t>(size.TotalAllocationUnits.QuadPart);
    st->f_bfree = static_cast<fsblkcnt_t>(size.ActualAvailableAllocationUnits.QuadPart);
    st->f_bavail = static_cast<fsblkcnt_t>(size.CallerAvailableAllocationUnits.QuadPart);
    st->f_namemax = nameLength;
    return 0;
}

void OpStatfs(fuse_req_t req, fuse_ino_t ino) {
    DriveFs& fs = FsOf(req);
    struct statvfs st{};
    int err = Guarded("statfs", [&] { return DoStatfs(fs, ino, &st); });
    if (err) {
        fuse_reply_err(req, err);
    } else {
        fuse_reply_statfs(req, &st);
    }
}

}  // namespace

void AddVolumeOperations(fuse_lowlevel_ops* ops) {
    ops->init = OpInit;
    ops->statfs = OpStatfs;
}

}  // namespace korin::fuse
