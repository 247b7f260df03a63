// Mounts left behind by a korin-host that did not exit cleanly: their
// connection is gone, and every access to them fails with ENOTCONN.
#pragma once

#include <string>
#include <vector>

namespace korin::fuse {

// The FUSE mount points strictly below root, from /proc/self/mountinfo.
std::vector<std::string> FuseMountsBelow(const std::string& root);

// Detaches a FUSE mount (lazily: programs inside keep what they hold).
// Returns 0 or an errno.
int DetachMount(const std::string& mountPoint);

}  // namespace korin::fuse
