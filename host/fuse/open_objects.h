// What an open through the mount holds: a file's handle and host
// descriptor, or a directory's handle and listing. The mount owns them
// (fi->fh points at one) so that a connection that goes away without
// releasing them frees them anyway.
#pragma once

#include "inode_table.h"
#include "nt_file.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace korin::fuse {

struct OpenObject {
    virtual ~OpenObject() = default;
};

struct OpenFile : OpenObject {
    NtHandle Handle;
    int HostFd = -1;  // owned by the handle's file object; -1 when no host file is behind it
    std::shared_ptr<Inode> Node;
    std::atomic<bool> Written{false};  // data or size changed through this open
};

struct DirEntry {
    std::u16string Name;    // as the driver spells it
    std::string LinuxName;  // as Linux is shown it
    bool TypeKnown = false;  // the listing said whether it is a directory
    bool Directory = false;
};

struct OpenDir : OpenObject {
    NtHandle Handle;
    std::shared_ptr<Inode> Node;
    std::mutex Mutex;               // one listing request at a time
    std::vector<DirEntry> Entries;  // ".", "..", then the children; under Mutex
};

// The set of open objects of a mount.
class OpenObjects {
public:
    template <typename T>
    T* Adopt(std::unique_ptr<T> object) {
        T* raw = object.get();
        std::lock_guard lock(mutex_);
        objects_.emplace(raw, std::move(object));
        return raw;
    }
    // Frees one; the caller's thread must be in the mount's process.
    void Release(OpenObject* object);
    // Frees all (unmount).
    void Clear();
    // TRUE while some open of inode is not released.
    bool HasOpenFileOf(const Inode* inode);
    // Runs use on the host descriptor of some open of inode, under the lock
    // (so the descriptor stays open meanwhile). FALSE when no open of it has
    // one.
    template <typename Use>
    bool WithHostFdOf(const Inode* inode, Use&& use) {
        std::lock_guard lock(mutex_);
        for (const auto& [raw, object] : objects_) {
            auto* file = dynamic_cast<OpenFile*>(raw);
            if (file && file->Node.get() == inode && file->HostFd >= 0) {
                use(file->HostFd);
                return true;
            }
        }
        return false;
    }

private:
    std::mutex mutex_;
    std::unordered_map<OpenObject*, std::unique_ptr<OpenObject>> objects_;
};

}  // namespace korin::fuse
