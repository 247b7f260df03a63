#include "handles.h"

#include <algorithm>

namespace korin::ob {

HandleTable::~HandleTable() { CloseAll(); }

HANDLE HandleTable::Insert(std::shared_ptr<HandleObject> object) {
    std::lock_guard lock(mutex_);
    uintptr_t value = next_;
    next_ += 4;
    handles_.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> HandleTable::Lookup(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    return it == handles_.end() ? nullptr : it->second;
}

NTSTATUS HandleTable::Close(HANDLE handle) {
    std::shared_ptr<HandleObject> object;
    {
        std::lock_guard lock(mutex_);
        auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
        if (it == handles_.end()) return STATUS_INVALID_HANDLE;
        object = std::move(it->second);
        handles_.erase(it);
    }
    object->OnHandleClosed();
    return STATUS_SUCCESS;
}

void HandleTable::CloseAll() {
    std::vector<std::pair<uintptr_t, std::shared_ptr<HandleObject>>> all;
    {
        std::lock_guard lock(mutex_);
        all.assign(handles_.begin(), handles_.end());
        handles_.clear();
    }
    std::sort(all.begin(), all.end(), [](auto& a, auto& b) { return a.first > b.first; });
    for (auto& [value, object] : all) object->OnHandleClosed();
}

size_t HandleTable::Count() const {
    std::lock_guard lock(mutex_);
    return handles_.size();
}

HandleTable& KernelHandles() {
    static HandleTable table;
    return table;
}

}  // namespace korin::ob
