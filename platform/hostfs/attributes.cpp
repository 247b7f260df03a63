// Attributes, times and sizes of host files as the NT side reports them.
#include "hostfs_internal.h"

#include <fcntl.h>

#include <cerrno>

namespace korin::hostfs {

namespace {

// 100 ns intervals from 1601-01-01 to 1970-01-01.
constexpr LONGLONG kUnixEpoch = 116444736000000000LL;
constexpr LONGLONG kTicksPerSecond = 10000000LL;

LONGLONG TimeOf(const struct statx_timestamp& t) { return UnixTimeToNt(t.tv_sec, t.tv_nsec); }

// Directory, read-only (the owner may not write), hidden (a dot name),
// archive for regular files; normal only when nothing else applies.
ULONG AttributesOf(const struct statx& stx, bool hidden) {
    ULONG attributes = 0;
    if (S_ISDIR(stx.stx_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (IsReadOnlyMode(stx.stx_mode)) attributes |= FILE_ATTRIBUTE_READONLY;
    if (hidden) attributes |= FILE_ATTRIBUTE_HIDDEN;
    if (S_ISREG(stx.stx_mode)) attributes |= FILE_ATTRIBUTE_ARCHIVE;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

bool IsReadOnlyMode(mode_t mode) { return (mode & S_IWUSR) == 0; }

bool IsHiddenName(std::string_view name) {
    return !name.empty() && name[0] == '.' && name != "." && name != "..";
}

LONGLONG UnixTimeToNt(int64_t seconds, uint32_t nanoseconds) {
    LONGLONG t = kUnixEpoch + seconds * kTicksPerSecond + nanoseconds / 100;
    return t < 0 ? 0 : t;
}

void NtTimeToUnix(LONGLONG time, struct timespec* ts) {
    LONGLONG since = time - kUnixEpoch;
    LONGLONG seconds = since / kTicksPerSecond;
    LONGLONG rest = since % kTicksPerSecond;
    if (rest < 0) {
        rest += kTicksPerSecond;
        --seconds;
    }
    ts->tv_sec = static_cast<time_t>(seconds);
    ts->tv_nsec = static_cast<long>(rest * 100);
}

int StatEntry(int dirfd, const char* path, int flags, bool hidden, HOST_STAT* out) {
    if (statx(dirfd, path, flags, STATX_BASIC_STATS | STATX_BTIME, &out->Stx) != 0) return errno;
    const struct statx& stx = out->Stx;
    out->Directory = S_ISDIR(stx.stx_mode);
    out->Attributes = AttributesOf(stx, hidden);
    out->LastAccessTime = TimeOf(stx.stx_atime);
    out->LastWriteTime = TimeOf(stx.stx_mtime);
    out->ChangeTime = TimeOf(stx.stx_ctime);
    // Linux keeps no creation time everywhere; the last write is the closest.
    out->CreationTime = (stx.stx_mask & STATX_BTIME) ? TimeOf(stx.stx_btime) : out->LastWriteTime;
    if (out->Directory) {
        out->EndOfFile = out->AllocationSize = 0;
    } else {
        out->EndOfFile = static_cast<LONGLONG>(stx.stx_size);
        out->AllocationSize = static_cast<LONGLONG>(stx.stx_blocks) * 512;
    }
    return 0;
}

int StatOpen(const HOST_OPEN* open, HOST_STAT* out) {
    // The open's own name decides "hidden"; a root never is.
    bool hidden = false;
    if (!open->Root) {
        std::lock_guard lock(TableLock());
        hidden = IsHiddenName(LastComponent(open->Path));
    }
    return StatEntry(open->Fd, "", AT_EMPTY_PATH, hidden, out);
}

}  // namespace korin::hostfs
