// The mount's open objects.
#include "open_objects.h"

namespace korin::fuse {

void OpenObjects::Release(OpenObject* object) {
    std::unique_ptr<OpenObject> released;
    {
        std::lock_guard lock(mutex_);
        auto it = objects_.find(object);
        if (it == objects_.end()) return;
        released = std::move(it->second);
        objects_.erase(it);
    }
    // The handle closes here, outside the lock: cleanup and close may take a while.
}

bool OpenObjects::HasOpenFileOf(const Inode* inode) {
    std::lock_guard lock(mutex_);
    for (const auto& [raw, object] : objects_) {
        auto* file = dynamic_cast<OpenFile*>(raw);
        if (file && file->Node.get() == inode) return true;
    }
    return false;
}

void OpenObjects::Clear() {
    std::unordered_map<OpenObject*, std::unique_ptr<OpenObject>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(objects_);
    }
}

}  // namespace korin::fuse
