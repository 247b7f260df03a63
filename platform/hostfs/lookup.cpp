// Lookup of NT names in host directories: exact first, then without case.
#include "hostfs_internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace korin::hostfs {

namespace {

// Scans directory for an entry equal to wanted without case. Returns 0 and
// sets *found, ENOENT when there is none, or the errno of a failed read.
int ScanNoCase(const std::string& directory, const std::u16string& wanted, std::string* found) {
    DIR* dir = opendir(directory.c_str());
    if (!dir) return errno;
    int result = ENOENT;
    std::u16string wide;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        std::string_view name(entry->d_name);
        if (name == "." || name == "..") continue;
        ToWideName(name, &wide);
        if (EqualNoCase(wide, wanted)) {
            found->assign(name);
            result = 0;
            break;
        }
    }
    if (result == ENOENT && errno != 0) result = errno;
    closedir(dir);
    return result;
}

}  // namespace

bool FindEntryNoCase(const std::string& directory, const std::string& name, std::string* found, int* error) {
    *error = 0;
    struct stat st;
    std::string path = JoinPath(directory, name);
    if (fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        *found = name;
        return true;
    }
    if (errno != ENOENT) {
        *error = errno;
        return false;
    }
    std::u16string wanted;
    ToWideName(name, &wanted);
    int result = ScanNoCase(directory, wanted, found);
    if (result == 0) return true;
    if (result != ENOENT) *error = result;
    return false;
}

NTSTATUS ResolvePath(const std::string& base, const std::vector<std::string>& components, RESOLVED_PATH* out,
                     size_t* missingAt) {
    out->Parent = base;
    out->Leaf.clear();
    out->Exists = true;
    *missingAt = components.size();
    std::string found;
    for (size_t i = 0; i < components.size(); ++i) {
        bool last = i + 1 == components.size();
        int error;
        if (!FindEntryNoCase(out->Parent, components[i], &found, &error)) {
            *missingAt = i;
            if (error == 0 && last) {
                out->Leaf = components[i];
                out->Exists = false;
                return STATUS_SUCCESS;
            }
            // A missing directory on the way, or one that is a file.
            if (error == 0 || error == ENOENT || error == ENOTDIR) return STATUS_OBJECT_PATH_NOT_FOUND;
            return StatusFromErrno(error);
        }
        if (last) {
            out->Leaf = std::move(found);
        } else {
            out->Parent = JoinPath(out->Parent, found);
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace korin::hostfs
