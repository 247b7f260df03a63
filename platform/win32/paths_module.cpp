// GetModuleFileNameW: the running executable as a Win32 path of this machine.
#include "paths.h"

#include <unistd.h>

#include <climits>

DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr) {
        // Only the executable itself is a module of this platform.
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    char target[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", target, sizeof target);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof target)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    auto path = korin::win32::HostPathToWin32Path(std::string_view(target, static_cast<size_t>(n)));
    if (!path) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    if (nSize == 0 || !lpFilename) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path->size() >= nSize) {
        // Cut to the buffer with a NUL, as Windows does since Vista.
        path->copy(lpFilename, nSize - 1);
        lpFilename[nSize - 1] = u'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    path->copy(lpFilename, path->size());
    lpFilename[path->size()] = u'\0';
    return static_cast<DWORD>(path->size());
}
