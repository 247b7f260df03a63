// Shared steps of the Win32 file calls.
#pragma once

#include "files.h"
#include "syscall_table.h"

namespace korin::win32 {

// Sets the last error from status and returns FALSE.
BOOL FailWith(NTSTATUS status);

// Opens the Win32 path lpPath through the system call table. On failure the
// last error is set and the status returned; a path with no NT form gives
// STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS OpenWin32Path(LPCWSTR path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                       HANDLE* handle, IO_STATUS_BLOCK* ioStatus = nullptr, ULONG attributes = 0);

// Sets one FileDispositionInformation on handle (deletes at the last close).
NTSTATUS MarkForDeletion(HANDLE handle);

}  // namespace korin::win32
