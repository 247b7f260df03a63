// Linux attributes of what an open handle reaches.
//
// A real item (the open ended on a host descriptor) shows exactly what the
// host shows: fstat of that descriptor. The drive's own folders have no
// times, sizes or owner of their own: they show the drive's figures as the
// directory information gives them, owned by the user who runs the mount.
#pragma once

#include "inode_table.h"
#include "platform/nt/io.h"

#include <sys/stat.h>

#include <optional>

namespace korin::fuse {

struct ItemInfo {
    ItemKind Kind = ItemKind::Virtual;
    bool Directory = false;
    struct stat Stat{};  // st_ino is the caller's to fill
    std::optional<ChangeStamp> Stamp;  // real items only
    int HostFd = -1;                   // real items: the descriptor behind the handle (owned by it)
};

// Describes the item open behind handle. volume is the drive's volume device
// (what tells the drive's own folders from another driver's); root marks the
// open of the drive's root. Returns 0 or an errno.
int DescribeOpenItem(HANDLE handle, PDEVICE_OBJECT volume, bool root, ItemInfo* info);

// fstat of a host descriptor into info (Kind Host). Returns 0 or an errno.
int DescribeHostDescriptor(int fd, ItemInfo* info);

ChangeStamp StampOf(const struct stat& st);

// An NT time (100 ns units since 1601) as Unix time; 0 ("no time") is the epoch.
struct timespec UnixTimeFromNt(LONGLONG time);

}  // namespace korin::fuse
