// Data through a handle: ReadFile, WriteFile and DeviceIoControl.
#include "files_internal.h"

using korin::win32::FailWith;
using korin::win32::Syscalls;

namespace {

// The explicit offset an OVERLAPPED carries; NULL without one (the file's
// position is used).
PLARGE_INTEGER OffsetOf(LPOVERLAPPED overlapped, LARGE_INTEGER* storage) {
    if (!overlapped) return nullptr;
    storage->u.LowPart = overlapped->Offset;
    storage->u.HighPart = static_cast<LONG>(overlapped->OffsetHigh);
    return storage;
}

// ReadFile and WriteFile: the status as Win32 reports it, the bytes moved in *done.
BOOL Finish(NTSTATUS status, const IO_STATUS_BLOCK& io, LPDWORD done, LPOVERLAPPED overlapped) {
    if (overlapped) {
        overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
        overlapped->InternalHigh = io.Information;
    }
    if (NT_SUCCESS(status)) {
        if (done) *done = static_cast<DWORD>(io.Information);
        return TRUE;
    }
    if (NT_WARNING(status) && done) *done = static_cast<DWORD>(io.Information);
    return FailWith(status);
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
    if (!lpNumberOfBytesRead && !lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LARGE_INTEGER offset;
    IO_STATUS_BLOCK io{};
    NTSTATUS status = Syscalls().ReadFile(hFile, nullptr, nullptr, nullptr, &io, lpBuffer, nNumberOfBytesToRead,
                                          OffsetOf(lpOverlapped, &offset), nullptr);
    // Reading at the end is not an error for a synchronous read: 0 bytes.
    if (status == STATUS_END_OF_FILE && !lpOverlapped) return TRUE;
    return Finish(status, io, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
    if (!lpNumberOfBytesWritten && !lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    LARGE_INTEGER offset;
    IO_STATUS_BLOCK io{};
    NTSTATUS status = Syscalls().WriteFile(hFile, nullptr, nullptr, nullptr, &io, const_cast<LPVOID>(lpBuffer),
                                           nNumberOfBytesToWrite, OffsetOf(lpOverlapped, &offset), nullptr);
    return Finish(status, io, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    if (!lpBytesReturned && !lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    IO_STATUS_BLOCK io{};
    NTSTATUS status = Syscalls().DeviceIoControlFile(hDevice, nullptr, nullptr, nullptr, &io, dwIoControlCode,
                                                     lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
    if (lpBytesReturned) *lpBytesReturned = 0;
    return Finish(status, io, lpBytesReturned, lpOverlapped);
}
