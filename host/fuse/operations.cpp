// The operations table, filled in one place.
#include "ops_common.h"

namespace korin::fuse {
namespace {

fuse_lowlevel_ops MakeOperations() {
    fuse_lowlevel_ops ops{};
    AddVolumeOperations(&ops);
    AddLookupOperations(&ops);
    AddDirectoryOperations(&ops);
    AddFileOperations(&ops);
    AddChangeOperations(&ops);
    return ops;
}

}  // namespace

const fuse_lowlevel_ops& DriveOperations() {
    static const fuse_lowlevel_ops ops = MakeOperations();
    return ops;
}

}  // namespace korin::fuse
