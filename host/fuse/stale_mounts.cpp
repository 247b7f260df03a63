// Finding and removing FUSE mounts below the mount root.
#include "stale_mounts.h"

#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <sstream>

extern char** environ;

namespace korin::fuse {
namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            int value = 0;
            bool octal = true;
            for (size_t k = 1; k <= 3; ++k) {
                char c = field[i + k];
                if (c < '0' || c > '7') octal = false;
                value = value * 8 + (c - '0');
            }
            if (octal) {
                out.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

}  // namespace

std::vector<std::string> FuseMountsBelow(const std::string& root) {
    std::vector<std::string> found;
    std::string prefix = root;
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    prefix += '/';
    std::ifstream mountinfo("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mountinfo, line)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        std::istringstream fields(line);
        std::string id, parent, device, mountRoot, mountPoint, options, word;
        fields >> id >> parent >> device >> mountRoot >> mountPoint >> options;
        while (fields >> word && word != "-") {
        }
        std::string fsType;
        fields >> fsType;
        if (fsType != "fuse" && fsType.rfind("fuse.", 0) != 0) continue;
        std::string point = Unescape(mountPoint);
        if (point.size() > prefix.size() && point.compare(0, prefix.size(), prefix) == 0) found.push_back(point);
    }
    return found;
}

int DetachMount(const std::string& mountPoint) {
    if (umount2(mountPoint.c_str(), MNT_DETACH) == 0) return 0;
    if (errno != EPERM) return errno;
    // Not root: the setuid helper unmounts what this user mounted.
    const char* argv[] = {"fusermount3", "-u", "-q", "-z", mountPoint.c_str(), nullptr};
    pid_t child;
    if (posix_spawnp(&child, "fusermount3", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        return EPERM;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : EPERM;
}

}  // namespace korin::fuse
