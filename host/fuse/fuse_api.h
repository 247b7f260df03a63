// The one place libfuse's lowlevel interface is included, at the API level
// this layer is written against (Debian 12's libfuse 3.14).
#pragma once

#define FUSE_USE_VERSION 314
#include <fuse_lowlevel.h>

static_assert(sizeof(fuse_ino_t) >= sizeof(uint64_t), "inode numbers are 64-bit counters");
