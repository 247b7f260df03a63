// Calls on names in the file system: attributes, directories, deletion and
// renames. Each opens the name, makes its one request and closes it again.
#include "files_internal.h"

#include <cstring>
#include <vector>

using korin::win32::FailWith;
using korin::win32::OpenWin32Path;
using korin::win32::Syscalls;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Runs request on a handle opened for it, closes the handle, and turns the
// status into the Win32 result.
template <typename Request>
BOOL WithOpened(LPCWSTR path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options, Request request) {
    HANDLE handle;
    NTSTATUS status = OpenWin32Path(path, access, share, disposition, options, &handle);
    if (!NT_SUCCESS(status)) return FALSE;
    status = request(handle);
    Syscalls().Close(handle);
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

}  // namespace

DWORD GetFileAttributesW(LPCWSTR lpFileName) {
    FILE_BASIC_INFORMATION basic{};
    BOOL ok = WithOpened(lpFileName, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
                         FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, [&](HANDLE handle) {
                             IO_STATUS_BLOCK io{};
                             return Syscalls().QueryInformationFile(handle, &io, &basic, sizeof basic,
                                                                    FileBasicInformation);
                         });
    return ok ? basic.FileAttributes : INVALID_FILE_ATTRIBUTES;
}

BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    HANDLE handle;
    NTSTATUS status = OpenWin32Path(lpPathName, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    FILE_CREATE,
                                    FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                                    &handle, nullptr, FILE_ATTRIBUTE_NORMAL);
    if (!NT_SUCCESS(status)) return FALSE;
    Syscalls().Close(handle);
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR lpPathName) {
    return WithOpened(lpPathName, DELETE | SYNCHRONIZE, kShareAll, FILE_OPEN,
                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                      korin::win32::MarkForDeletion);
}

BOOL DeleteFileW(LPCWSTR lpFileName) {
    return WithOpened(lpFileName, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
                      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, korin::win32::MarkForDeletion);
}

BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
    std::optional<std::u16string> target = lpNewFileName ? korin::win32::Win32PathToNtPath(lpNewFileName) : std::nullopt;
    if (!target) {
        SetLastError(lpNewFileName ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The full new name goes to the system, which opens its directory.
    size_t nameBytes = target->size() * sizeof(WCHAR);
    std::vector<uint64_t> storage((offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes) / 8 + 1);
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(storage.data());
    rename->ReplaceIfExists = (dwFlags & MOVEFILE_REPLACE_EXISTING) ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<ULONG>(nameBytes);
    std::memcpy(rename->FileName, target->data(), nameBytes);
    auto length = static_cast<ULONG>(offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes);
    return WithOpened(lpExistingFileName, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, FILE_OPEN,
                      FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, [&](HANDLE handle) {
                          IO_STATUS_BLOCK io{};
                          return Syscalls().SetInformationFile(handle, &io, rename, length, FileRenameInformation);
                      });
}

BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName) {
    return MoveFileExW(lpExistingFileName, lpNewFileName, 0);
}
