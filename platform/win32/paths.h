// Win32 paths of this machine and host (Linux) paths, both ways, through the
// host drive letters: "C:\dir\file" is <directory of C>/dir/file, and
// "\\server\share\x" is <UNC root>/server/share/x.
//
// korin-host writes its table into the registry at boot, so that every
// process reads the same one:
//   HKLM\SYSTEM\Korin\HostDrives   one REG_SZ value per letter ("C" = "/")
//   HKLM\SYSTEM\Korin  UncRoot     REG_SZ, absent or empty: no UNC root
//                      MountRoot   REG_SZ, where virtual drives are mounted
// A process that finds no table (no host has booted on this registry) uses
// the default: C: is "/", no UNC root.
#pragma once

#include "win32.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

// The Win32 path of the running executable (/proc/self/exe through the host
// drive letters). hModule must be NULL. Returns the length without the NUL;
// a buffer too small gets the path cut to nSize - 1 characters and a NUL, the
// result is nSize and the last error ERROR_INSUFFICIENT_BUFFER. 0 with the
// last error set on failure (ERROR_PATH_NOT_FOUND when no host drive letter
// reaches the executable).
DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);

namespace korin::win32 {

struct HostDriveTable {
    std::map<char16_t, std::string> letters{{u'C', "/"}};  // upper-case letter -> absolute host directory
    std::optional<std::string> uncRoot;                    // absent: UNC paths are unreachable
    std::optional<std::string> mountRoot;                  // where korin-host mounts virtual drives
    bool operator==(const HostDriveTable&) const = default;
};

// The table in the registry, or the default when there is none.
HostDriveTable LoadHostDriveTable();
// Replaces the table in the registry (korin-host at boot): letters not in
// table are removed. A registry status on failure.
NTSTATUS StoreHostDriveTable(const HostDriveTable& table);

// Win32 path to host path. Accepts "X:\..." (either slash), "\\?\X:\...",
// "\??\X:\...", "\\server\share\..." and "\\?\UNC\server\share\...". "." and
// ".." are resolved as Win32 does, never above the drive's root or the share.
// nullopt for a relative path, an unknown letter, a UNC path without a UNC
// root, or a name that is not valid UTF-16.
std::optional<std::string> Win32PathToHostPath(std::u16string_view path, const HostDriveTable& table);
std::optional<std::string> Win32PathToHostPath(std::u16string_view path);

// Host path to Win32 path: through the letter whose directory holds the path
// most closely (ties go to the earlier letter), or the UNC root when it is
// closer still and the path names at least a share. nullopt for a relative
// path, a path no letter reaches, or a name Win32 cannot carry (a backslash,
// invalid UTF-8).
std::optional<std::u16string> HostPathToWin32Path(std::string_view path, const HostDriveTable& table);
std::optional<std::u16string> HostPathToWin32Path(std::string_view path);

// UTF-8 and UTF-16 text; nullopt for invalid input (unpaired surrogates,
// overlong or truncated sequences).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);

}  // namespace korin::win32
