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

void OpenObjects::Clear() {
    std::unordered_map<OpenObject*, std::unique_ptr<OpenObject>> all;
    {
        std::lock_guard lock(mutex_);
        all.swap(objects_);
    }
}

}  // namespace korin::fuse
