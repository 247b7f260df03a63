// The Win32 file calls the programs make: opening files, directories and
// devices by their Win32 names, reading, writing, device control, directory
// listings, volume information and DOS device names. Every call goes through
// the system call table (in-process, or korin-host's socket).
#pragma once

#include "win32.h"

#include "platform/nt/fileinfo.h"
#include "platform/nt/io.h"

#include <optional>
#include <string>
#include <string_view>

// ----- CreateFileW ---------------------------------------------------------------
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000;
constexpr DWORD FILE_FLAG_RANDOM_ACCESS = 0x10000000;
constexpr DWORD FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000;
constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;
constexpr DWORD FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;
constexpr DWORD FILE_FLAG_POSIX_SEMANTICS = 0x01000000;
constexpr DWORD FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000;

// Only the offset is read: every handle of this layer is used synchronously.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
// A synchronous read at the end of the file succeeds with 0 bytes read.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
// FALSE with the last error for any status that is not a success; a warning
// (STATUS_BUFFER_OVERFLOW) still reports the bytes returned.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);

// ----- Names in the file system -----------------------------------------------------
DWORD GetFileAttributesW(LPCWSTR lpFileName);  // INVALID_FILE_ATTRIBUTES on failure
BOOL CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);
BOOL RemoveDirectoryW(LPCWSTR lpPathName);
BOOL DeleteFileW(LPCWSTR lpFileName);

constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;
// A rename within one volume; across volumes ERROR_NOT_SAME_DEVICE (nothing
// is copied).
BOOL MoveFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName);
BOOL MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);

// ----- Directory listings ------------------------------------------------------------
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;  // the reparse tag of a reparse point
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAW* PWIN32_FIND_DATAW;
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;

// lpFileName is a directory and a pattern ("X:\dir\*.txt"); the pattern
// matches as on Windows ("*.*" is everything, '?' and '.' take their DOS
// meaning). INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when nothing matches.
HANDLE FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
// FALSE with ERROR_NO_MORE_FILES after the last entry.
BOOL FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

// ----- Volumes -----------------------------------------------------------------------
// lpRootPathName is a root with its backslash ("X:\", "\\server\share\").
BOOL GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                           LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize);

// ----- DOS device names ------------------------------------------------------------------
constexpr DWORD DDD_RAW_TARGET_PATH = 0x1;
constexpr DWORD DDD_REMOVE_DEFINITION = 0x2;
constexpr DWORD DDD_EXACT_MATCH_ON_REMOVE = 0x4;
constexpr DWORD DDD_NO_BROADCAST_SYSTEM = 0x8;

// Defines lpDeviceName ("X:") as lpTargetPath, hiding an earlier definition
// until this one is removed. Without DDD_RAW_TARGET_PATH the target is a
// Win32 path. Removing takes the newest definition, or with a target the
// newest one that starts with it (that equals it with
// DDD_EXACT_MATCH_ON_REMOVE).
BOOL DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath);
// The targets of lpDeviceName, newest first, as NUL-terminated strings ending
// with an extra NUL; with lpDeviceName NULL the names of every DOS device.
// Returns the characters stored, 0 with the last error on failure
// (ERROR_INSUFFICIENT_BUFFER when ucchMax is too small).
DWORD QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax);
// Bit n set when the letter 'A' + n is a DOS device.
DWORD GetLogicalDrives();

namespace korin::win32 {

// The NT name of a Win32 path: "X:\a" is "\??\X:\a", "\\server\share\a" is
// "\??\UNC\server\share\a", "\\.\NAME" is "\??\NAME", and "\\?\" or "\??\"
// names are taken as they are. Forward slashes are separators; "." and ".."
// are resolved, never above the drive's root or the share; repeated
// separators collapse; trailing dots and spaces leave the last component. A
// drive without a backslash ("X:", "X:a") is taken from its root. nullopt for
// a path without a drive or share (there is no current directory).
std::optional<std::u16string> Win32PathToNtPath(std::u16string_view path);

}  // namespace korin::win32
