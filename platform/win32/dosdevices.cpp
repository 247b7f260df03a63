// DOS device names: DefineDosDeviceW, QueryDosDeviceW and GetLogicalDrives,
// over the definitions in "\??".
#include "files_internal.h"

#include "platform/nt/rtl.h"

#include <cstring>

using korin::win32::FailWith;
using korin::win32::Syscalls;

namespace {

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (RtlUpcaseUnicodeChar(text[i]) != RtlUpcaseUnicodeChar(prefix[i])) return false;
    return true;
}

// The target as stored: raw, or the NT form of a Win32 path.
std::optional<std::u16string> StoredTarget(DWORD flags, LPCWSTR target) {
    if (flags & DDD_RAW_TARGET_PATH) return std::u16string(target);
    return korin::win32::Win32PathToNtPath(target);
}

}  // namespace

BOOL DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath) {
    if (!lpDeviceName || !*lpDeviceName || std::u16string_view(lpDeviceName).find(u'\\') != std::u16string_view::npos) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string name(lpDeviceName);
    bool hasTarget = lpTargetPath && *lpTargetPath;
    std::optional<std::u16string> target;
    if (hasTarget) {
        target = StoredTarget(dwFlags, lpTargetPath);
        if (!target) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
    }
    NTSTATUS status;
    if (!(dwFlags & DDD_REMOVE_DEFINITION)) {
        if (!hasTarget) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        status = Syscalls().DefineDosDevice(name, *target);
    } else if (!hasTarget) {
        status = Syscalls().RemoveDosDevice(name, nullptr, false);
    } else if (dwFlags & DDD_EXACT_MATCH_ON_REMOVE) {
        status = Syscalls().RemoveDosDevice(name, &*target, true);
    } else {
        // Without an exact match the newest definition that starts with the target goes.
        status = STATUS_OBJECT_NAME_NOT_FOUND;
        for (const std::u16string& defined : Syscalls().QueryDosDevice(name)) {
            if (StartsWithNoCase(defined, *target)) {
                status = Syscalls().RemoveDosDevice(name, &defined, true);
                break;
            }
        }
    }
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}

DWORD QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
    std::vector<std::u16string> strings =
        lpDeviceName ? Syscalls().QueryDosDevice(lpDeviceName) : Syscalls().ListDosDevices();
    if (strings.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    size_t needed = 1;
    for (const auto& s : strings) needed += s.size() + 1;
    if (!lpTargetPath || needed > ucchMax) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    WCHAR* out = lpTargetPath;
    for (const auto& s : strings) {
        std::memcpy(out, s.data(), s.size() * sizeof(WCHAR));
        out += s.size();
        *out++ = u'\0';
    }
    *out = u'\0';
    return static_cast<DWORD>(needed);
}

DWORD GetLogicalDrives() {
    DWORD drives = 0;
    for (const std::u16string& name : Syscalls().ListDosDevices()) {
        if (name.size() != 2 || name[1] != u':') continue;
        WCHAR letter = RtlUpcaseUnicodeChar(name[0]);
        if (letter >= u'A' && letter <= u'Z') drives |= 1u << (letter - u'A');
    }
    return drives;
}
