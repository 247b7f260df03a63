// Handle tables. A handle names a shared object (a registry key, a file
// object, a service) in the table of the process that opened it; kernel
// handles (the Zw routines) live in one table of their own.
#pragma once

#include "ntbase.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace korin::ob {

// Anything a handle can name. OnHandleClosed runs once when its handle is
// closed (explicitly, or because the owning process went away).
class HandleObject {
public:
    virtual ~HandleObject() = default;
    virtual void OnHandleClosed() {}
};

class HandleTable {
public:
    HandleTable() = default;
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;
    ~HandleTable();

    HANDLE Insert(std::shared_ptr<HandleObject> object);
    std::shared_ptr<HandleObject> Lookup(HANDLE handle) const;
    template <typename T>
    std::shared_ptr<T> LookupAs(HANDLE handle) const {
        return std::dynamic_pointer_cast<T>(Lookup(handle));
    }
    // Removes the handle and runs OnHandleClosed; STATUS_INVALID_HANDLE when unknown.
    NTSTATUS Close(HANDLE handle);
    // Closes every handle, newest first (process exit, dropped connection).
    void CloseAll();
    size_t Count() const;

private:
    mutable std::mutex mutex_;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> handles_;
    uintptr_t next_ = 4;
};

// The kernel's table: the one Zw routines use.
HandleTable& KernelHandles();

}  // namespace korin::ob
