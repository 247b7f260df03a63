// The syscalls the mount makes, in the shapes it needs them. Every call is
// made in the calling thread's process (the mount's own, bound by its
// worker threads).
#pragma once

#include "platform/nt/syscalls.h"

#include <string>
#include <utility>

namespace korin::fuse {

// A handle of the current process, closed when it goes.
class NtHandle {
public:
    NtHandle() = default;
    explicit NtHandle(HANDLE handle) : handle_(handle) {}
    ~NtHandle() { Reset(); }
    NtHandle(NtHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    NtHandle& operator=(NtHandle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    NtHandle(const NtHandle&) = delete;
    NtHandle& operator=(const NtHandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Reset();

private:
    HANDLE handle_ = nullptr;
};

// Opens an absolute path. Everything is shared (Linux programs expect no
// share modes) and names are asked for with their case, which the drive and
// the host file system may still match without it. information receives the
// create's answer (FILE_OPENED, FILE_CREATED...).
NTSTATUS OpenPath(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options,
                  NtHandle* handle, ULONG_PTR* information = nullptr);

NTSTATUS QueryNetworkOpen(HANDLE handle, FILE_NETWORK_OPEN_INFORMATION* info);
NTSTATUS SetDeleteDisposition(HANDLE handle, bool deleteFile);
// Renames the open item to newPath (absolute).
NTSTATUS RenameTo(HANDLE handle, const std::u16string& newPath, bool replaceIfExists);
NTSTATUS QueryFullSize(HANDLE handle, FILE_FS_FULL_SIZE_INFORMATION* info);
// The volume's longest name component, in characters.
NTSTATUS QueryMaximumComponentLength(HANDLE handle, ULONG* length);

// The device whose driver serves the open file behind handle (not
// referenced: only for comparison), or NULL.
PDEVICE_OBJECT DeviceOfHandle(HANDLE handle);

}  // namespace korin::fuse
