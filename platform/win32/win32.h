// The user-mode API subset the programs call: base types, error codes and the
// last-error slot. Area headers (registry.h, files.h, services.h, ...) build on it.
#pragma once

#include "platform/nt/ntbase.h"

typedef int BOOL;
typedef LONG LSTATUS;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef ULONG_PTR DWORD_PTR;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
typedef FILETIME* PFILETIME;
typedef FILETIME* LPFILETIME;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
typedef SECURITY_ATTRIBUTES* PSECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
constexpr DWORD MAX_PATH = 260;

// Win32 error codes, X(name, value).
#define KORIN_WIN32_ERROR_LIST(X)              \
    X(ERROR_SUCCESS, 0)                        \
    X(ERROR_INVALID_FUNCTION, 1)               \
    X(ERROR_FILE_NOT_FOUND, 2)                 \
    X(ERROR_PATH_NOT_FOUND, 3)                 \
    X(ERROR_TOO_MANY_OPEN_FILES, 4)            \
    X(ERROR_ACCESS_DENIED, 5)                  \
    X(ERROR_INVALID_HANDLE, 6)                 \
    X(ERROR_NOT_ENOUGH_MEMORY, 8)              \
    X(ERROR_BAD_FORMAT, 11)                    \
    X(ERROR_INVALID_DRIVE, 15)                 \
    X(ERROR_NOT_SAME_DEVICE, 17)               \
    X(ERROR_NO_MORE_FILES, 18)                 \
    X(ERROR_WRITE_PROTECT, 19)                 \
    X(ERROR_NOT_READY, 21)                     \
    X(ERROR_GEN_FAILURE, 31)                   \
    X(ERROR_SHARING_VIOLATION, 32)             \
    X(ERROR_HANDLE_EOF, 38)                    \
    X(ERROR_NOT_SUPPORTED, 50)                 \
    X(ERROR_BAD_NETPATH, 53)                   \
    X(ERROR_BAD_NET_NAME, 67)                  \
    X(ERROR_FILE_EXISTS, 80)                   \
    X(ERROR_INVALID_PARAMETER, 87)             \
    X(ERROR_DISK_FULL, 112)                    \
    X(ERROR_INSUFFICIENT_BUFFER, 122)          \
    X(ERROR_INVALID_NAME, 123)                 \
    X(ERROR_INVALID_LEVEL, 124)                \
    X(ERROR_MOD_NOT_FOUND, 126)                \
    X(ERROR_PROC_NOT_FOUND, 127)               \
    X(ERROR_DIR_NOT_EMPTY, 145)                \
    X(ERROR_BAD_PATHNAME, 161)                 \
    X(ERROR_ALREADY_EXISTS, 183)               \
    X(ERROR_FILENAME_EXCED_RANGE, 206)         \
    X(ERROR_MORE_DATA, 234)                    \
    X(ERROR_NO_MORE_ITEMS, 259)                \
    X(ERROR_DIRECTORY, 267)                    \
    X(ERROR_NOT_FOUND, 1168)                   \
    X(ERROR_INVALID_USER_BUFFER, 1784)         \
    X(ERROR_NOACCESS, 998)                     \
    X(ERROR_STACK_OVERFLOW, 1001)              \
    X(ERROR_INVALID_FLAGS, 1004)               \
    X(ERROR_KEY_DELETED, 1018)                 \
    X(ERROR_SERVICE_REQUEST_TIMEOUT, 1053)     \
    X(ERROR_DEPENDENT_SERVICES_RUNNING, 1051)  \
    X(ERROR_INVALID_SERVICE_CONTROL, 1052)     \
    X(ERROR_SERVICE_ALREADY_RUNNING, 1056)     \
    X(ERROR_INVALID_SERVICE_ACCOUNT, 1057)     \
    X(ERROR_SERVICE_DISABLED, 1058)            \
    X(ERROR_SERVICE_DOES_NOT_EXIST, 1060)      \
    X(ERROR_SERVICE_CANNOT_ACCEPT_CTRL, 1061)  \
    X(ERROR_SERVICE_NOT_ACTIVE, 1062)          \
    X(ERROR_SERVICE_MARKED_FOR_DELETE, 1072)   \
    X(ERROR_SERVICE_EXISTS, 1073)              \
    X(ERROR_INTERNAL_ERROR, 1359)              \
    X(ERROR_NETWORK_UNREACHABLE, 1231)         \
    X(ERROR_CANT_RESOLVE_FILENAME, 1921)       \
    X(ERROR_INVALID_DATA, 13)                  \
    X(ERROR_DEV_NOT_EXIST, 55)                 \
    X(ERROR_UNEXP_NET_ERR, 59)                 \
    X(ERROR_OPERATION_ABORTED, 995)            \
    X(ERROR_IO_PENDING, 997)                   \
    X(ERROR_NO_SYSTEM_RESOURCES, 1450)         \
    X(ERROR_BUFFER_OVERFLOW, 111)              \
    X(ERROR_DELETE_PENDING, 303)               \
    X(ERROR_NO_SUCH_DEVICE, 433)               \
    X(ERROR_FILE_INVALID, 1006)                \
    X(ERROR_CANNOT_MAKE, 82)                   \
    X(ERROR_NOT_A_REPARSE_POINT, 4390)         \
    X(ERROR_BAD_LENGTH, 24)                    \
    X(ERROR_MR_MID_NOT_FOUND, 317)             \
    X(ERROR_INVALID_VARIANT, 604)              \
    X(ERROR_REPARSE, 741)                      \
    X(ERROR_IO_DEVICE, 1117)                   \
    X(ERROR_TIMEOUT, 1460)

#define KORIN_DEFINE_ERROR(name, value) constexpr DWORD name = value;
KORIN_WIN32_ERROR_LIST(KORIN_DEFINE_ERROR)
#undef KORIN_DEFINE_ERROR

DWORD GetLastError();
void SetLastError(DWORD error);
// The platform's status-to-error conversion (every status the system returns).
ULONG RtlNtStatusToDosError(NTSTATUS status);
const char* Win32ErrorName(DWORD error);
