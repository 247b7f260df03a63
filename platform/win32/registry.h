// The Win32 registry functions. User-mode programs read and write the
// registry database directly, without the kernel; handles (HKEY) live in a
// table of this library.
//
// Predefined keys: HKEY_LOCAL_MACHINE is \Registry\Machine, HKEY_USERS
// \Registry\User, HKEY_CURRENT_USER \Registry\User\CurrentUser (one user per
// Korin home) and HKEY_CLASSES_ROOT the merged view of the Software\Classes
// keys of the two (see registry_view.h).
#pragma once

#include "platform/nt/zw.h"
#include "win32.h"

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef ACCESS_MASK REGSAM;

#define KORIN_PREDEFINED_HKEY(value) (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(value))))
#define HKEY_CLASSES_ROOT KORIN_PREDEFINED_HKEY(0x80000000)
#define HKEY_CURRENT_USER KORIN_PREDEFINED_HKEY(0x80000001)
#define HKEY_LOCAL_MACHINE KORIN_PREDEFINED_HKEY(0x80000002)
#define HKEY_USERS KORIN_PREDEFINED_HKEY(0x80000003)

constexpr REGSAM KEY_EXECUTE = KEY_READ;
constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
constexpr DWORD REG_OPTION_OPEN_LINK = 0x8;
constexpr DWORD REG_DWORD_LITTLE_ENDIAN = REG_DWORD;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_QWORD_LITTLE_ENDIAN = REG_QWORD;

// Every function returns ERROR_SUCCESS or a Win32 error and leaves the
// last-error slot alone.

// lpSubKey NULL or "" opens a new handle to hKey's key.
LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
// Creates every missing key along lpSubKey; *lpdwDisposition (optional)
// receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition);
// cchName counts the terminating NUL; a name that does not fit answers
// ERROR_MORE_DATA. Past the last subkey: ERROR_NO_MORE_ITEMS.
LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName);
// *lpcchName: buffer size in characters with the NUL on entry, characters
// stored without it on return. Keys have no class: lpClass receives "".
LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime);
// ERROR_MORE_DATA when the name does not fit (*lpcchValueName unchanged) or
// the data does not (*lpcbData receives the size needed). lpData NULL with
// lpcbData asks for the size.
LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
// lpValueName NULL or "" is the default value. lpData NULL answers the size.
// Data are returned as stored: a REG_SZ gets no NUL that was not written.
LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData);
LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData);
LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
// Deletes a key without subkeys (ERROR_ACCESS_DENIED otherwise).
LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
LSTATUS RegCloseKey(HKEY hKey);
// Counts and longest lengths: names in characters without the NUL, data in bytes.
LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime);
