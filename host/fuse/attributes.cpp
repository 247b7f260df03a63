// Attributes of open items.
#include "attributes.h"

#include "nt_file.h"
#include "status_errno.h"

#include <unistd.h>

#include <cerrno>

namespace korin::fuse {
namespace {

constexpr LONGLONG kUnixEpochAsNt = 116444736000000000LL;  // 1970-01-01 in 100 ns units since 1601
constexpr LONGLONG kNtUnitsPerSecond = 10000000LL;

// Attributes from the directory information a driver keeps, for items
// without a host descriptor.
void FillFromNetworkOpen(const FILE_NETWORK_OPEN_INFORMATION& nt, ItemInfo* info) {
    struct stat& st = info->Stat;
    st = {};
    info->Directory = (nt.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool readOnly = (nt.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (info->Directory) {
        st.st_mode = S_IFDIR | (readOnly ? 0555 : 0755);
    } else {
        st.st_mode = S_IFREG | (readOnly ? 0444 : 0644);
    }
    // One link: tools must not infer a subdirectory count from it.
    st.st_nlink = 1;
    st.st_uid = geteuid();
    st.st_gid = getegid();
    st.st_size = nt.EndOfFile.QuadPart;
    st.st_blocks = (nt.AllocationSize.QuadPart + 511) / 512;
    st.st_blksize = 4096;
    st.st_atim = UnixTimeFromNt(nt.LastAccessTime.QuadPart);
    st.st_mtim = UnixTimeFromNt(nt.LastWriteTime.QuadPart);
    st.st_ctim = UnixTimeFromNt(nt.ChangeTime.QuadPart);
}

}  // namespace

struct timespec UnixTimeFromNt(LONGLONG time) {
    if (time == 0) return {0, 0};
    LONGLONG units = time - kUnixEpochAsNt;
    LONGLONG seconds = units / kNtUnitsPerSecond;
    LONGLONG rest = units % kNtUnitsPerSecond;
    if (rest < 0) {
        rest += kNtUnitsPerSecond;
        --seconds;
    }
    return {static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

ChangeStamp StampOf(const struct stat& st) {
    ChangeStamp stamp;
    stamp.Device = st.st_dev;
    stamp.Inode = st.st_ino;
    stamp.Size = st.st_size;
    stamp.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ChangedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    return stamp;
}

int DescribeHostDescriptor(int fd, ItemInfo* info) {
    if (fstat(fd, &info->Stat) != 0) return errno;
    info->Kind = ItemKind::Host;
    info->Directory = S_ISDIR(info->Stat.st_mode);
    info->Stamp = StampOf(info->Stat);
    info->HostFd = fd;
    return 0;
}

int DescribeOpenItem(HANDLE handle, PDEVICE_OBJECT volume, bool root, ItemInfo* info) {
    int fd = io::HostDescriptorOfHandle(handle);
    if (fd >= 0) return DescribeHostDescriptor(fd, info);
    FILE_NETWORK_OPEN_INFORMATION nt;
    NTSTATUS status = QueryNetworkOpen(handle, &nt);
    if (!NT_SUCCESS(status)) return ErrnoFromStatus(status);
    FillFromNetworkOpen(nt, info);
    info->Stamp.reset();
    info->HostFd = -1;
    if (root) {
        info->Kind = ItemKind::DriveRoot;
    } else {
        info->Kind = DeviceOfHandle(handle) == volume ? ItemKind::Virtual : ItemKind::Other;
    }
    return 0;
}

}  // namespace korin::fuse
