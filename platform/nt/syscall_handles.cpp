// Handles of the calling process: closing them, and reaching the file object
// or host descriptor behind one.
#include "iomgr.h"
#include "process.h"
#include "syscalls.h"

#include <atomic>

namespace korin::io {
namespace {
std::atomic<int (*)(PFILE_OBJECT)> g_hostDescriptorHook{nullptr};
}

ob::HandleTable& HandleTableOf(KPROCESSOR_MODE mode) {
    return mode == KernelMode ? ob::KernelHandles() : ps::CurrentProcess().Handles();
}

PFILE_OBJECT ReferenceFileObjectByHandle(HANDLE handle) {
    PFILE_OBJECT fileObject = nullptr;
    ReferenceFileObjectByHandle(ps::CurrentProcess().Handles(), handle, 0, &fileObject);
    return fileObject;
}

void SetHostDescriptorHook(int (*hook)(PFILE_OBJECT fileObject)) { g_hostDescriptorHook = hook; }

int HostDescriptorOfHandle(HANDLE handle) {
    auto hook = g_hostDescriptorHook.load();
    if (!hook) return -1;
    PFILE_OBJECT fileObject = ReferenceFileObjectByHandle(handle);
    if (!fileObject) return -1;
    int descriptor = hook(fileObject);
    DereferenceFileObject(fileObject);
    return descriptor;
}

}  // namespace korin::io

NTSTATUS NtClose(HANDLE handle) { return korin::ps::CurrentProcess().Handles().Close(handle); }
