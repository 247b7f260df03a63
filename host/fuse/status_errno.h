// What a Linux program is told when a syscall on a drive fails: the errno
// for each status the driver, the host file system or the I/O manager gives.
#pragma once

#include "platform/nt/ntbase.h"

namespace korin::fuse {

// 0 for success and information statuses; the table's errno for a known
// failure; EIO for anything else.
int ErrnoFromStatus(NTSTATUS status);

}  // namespace korin::fuse
