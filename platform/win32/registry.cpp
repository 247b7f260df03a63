// The Win32 registry functions over the registry database.
#include "registry.h"

#include "registry_view.h"

#include <cstring>
#include <string_view>

using korin::win32::RegistryView;

namespace {

constexpr REGSAM kWow64Flags = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

LSTATUS ToError(NTSTATUS status) { return static_cast<LSTATUS>(RtlNtStatusToDosError(status)); }

std::u16string_view View(LPCWSTR text) { return text ? std::u16string_view(text) : std::u16string_view(); }

// Copies name with its NUL into a buffer of capacity characters; false when
// it does not fit.
bool CopyName(const std::u16string& name, LPWSTR buffer, DWORD capacity) {
    if (buffer == nullptr || name.size() + 1 > capacity) return false;
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = u'\0';
    return true;
}

FILETIME ToFileTime(int64_t time) {
    return FILETIME{static_cast<DWORD>(time & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(time) >> 32)};
}

LSTATUS Reference(HKEY hKey, std::shared_ptr<RegistryView>* view) {
    return ToError(korin::win32::ReferenceRegistryHandle(hKey, view));
}

// Hands out data the way RegQueryValueExW and RegEnumValueW do: the size
// alone for a NULL buffer, ERROR_MORE_DATA and the size for a short one.
LSTATUS ReturnData(const korin::registry::ValueEntry& value, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpType) *lpType = value.type;
    if (lpcbData == nullptr) return ERROR_SUCCESS;
    DWORD size = static_cast<DWORD>(value.data.size());
    if (lpData != nullptr) {
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size) std::memcpy(lpData, value.data.data(), size);
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult) {
    UNREFERENCED_PARAMETER(ulOptions);
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> parent, view;
    LSTATUS error = Reference(hKey, &parent);
    if (error != ERROR_SUCCESS) return error;
    NTSTATUS status = parent->Open(View(lpSubKey), samDesired & ~kWow64Flags, &view);
    if (!NT_SUCCESS(status)) return ToError(status);
    *phkResult = korin::win32::InsertRegistryHandle(std::move(view));
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                        REGSAM samDesired, const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                        LPDWORD lpdwDisposition) {
    UNREFERENCED_PARAMETER(Reserved);
    UNREFERENCED_PARAMETER(lpClass);  // classes are not kept
    UNREFERENCED_PARAMETER(dwOptions);  // volatile keys are kept like the others
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> parent, view;
    LSTATUS error = Reference(hKey, &parent);
    if (error != ERROR_SUCCESS) return error;
    ULONG disposition = 0;
    NTSTATUS status = parent->Create(View(lpSubKey), samDesired & ~kWow64Flags, &view, &disposition);
    if (!NT_SUCCESS(status)) return ToError(status);
    *phkResult = korin::win32::InsertRegistryHandle(std::move(view));
    if (lpdwDisposition) *lpdwDisposition = disposition;
    return ERROR_SUCCESS;
}

LSTATUS RegEnumKeyW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, DWORD cchName) {
    DWORD length = cchName;
    return RegEnumKeyExW(hKey, dwIndex, lpName, &length, nullptr, nullptr, nullptr, nullptr);
}

LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved, LPWSTR lpClass,
                      LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (lpClass != nullptr && lpcchClass == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    korin::registry::SubkeyEntry entry;
    NTSTATUS status = view->EnumerateSubkey(dwIndex, &entry);
    if (!NT_SUCCESS(status)) return ToError(status);
    if (!CopyName(entry.name, lpName, *lpcchName)) return ERROR_MORE_DATA;
    *lpcchName = static_cast<DWORD>(entry.name.size());
    if (lpcchClass) {
        if (lpClass && *lpcchClass > 0) lpClass[0] = u'\0';
        *lpcchClass = 0;
    }
    if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(entry.lastWrite);
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName, LPDWORD lpReserved,
                      LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    if (lpValueName == nullptr || lpcchValueName == nullptr || lpReserved != nullptr) return ERROR_INVALID_PARAMETER;
    if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    korin::registry::ValueEntry value;
    NTSTATUS status = view->EnumerateValue(dwIndex, &value);
    if (!NT_SUCCESS(status)) return ToError(status);
    if (!CopyName(value.name, lpValueName, *lpcchValueName)) return ERROR_MORE_DATA;
    *lpcchValueName = static_cast<DWORD>(value.name.size());
    return ReturnData(value, lpType, lpData, lpcbData);
}

LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                         LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    korin::registry::ValueEntry value;
    NTSTATUS status = view->QueryValue(View(lpValueName), &value);
    if (!NT_SUCCESS(status)) return ToError(status);
    return ReturnData(value, lpType, lpData, lpcbData);
}

LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                       DWORD cbData) {
    UNREFERENCED_PARAMETER(Reserved);
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    return ToError(view->SetValue(View(lpValueName), dwType, lpData, cbData));
}

LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    return ToError(view->DeleteValue(View(lpValueName)));
}

LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    return ToError(view->DeleteSubkey(View(lpSubKey)));
}

LSTATUS RegCloseKey(HKEY hKey) { return ToError(korin::win32::CloseRegistryHandle(hKey)); }

LSTATUS RegQueryInfoKeyW(HKEY hKey, LPWSTR lpClass, LPDWORD lpcchClass, LPDWORD lpReserved, LPDWORD lpcSubKeys,
                         LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen, LPDWORD lpcValues,
                         LPDWORD lpcbMaxValueNameLen, LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor,
                         PFILETIME lpftLastWriteTime) {
    if (lpReserved != nullptr || (lpClass != nullptr && lpcchClass == nullptr)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<RegistryView> view;
    LSTATUS error = Reference(hKey, &view);
    if (error != ERROR_SUCCESS) return error;
    korin::registry::KeyInfo info;
    NTSTATUS status = view->QueryInfo(&info);
    if (!NT_SUCCESS(status)) return ToError(status);
    if (lpcchClass) {
        if (lpClass && *lpcchClass > 0) lpClass[0] = u'\0';
        *lpcchClass = 0;
    }
    if (lpcSubKeys) *lpcSubKeys = info.subkeys;
    if (lpcbMaxSubKeyLen) *lpcbMaxSubKeyLen = info.maxSubkeyNameBytes / sizeof(WCHAR);
    if (lpcbMaxClassLen) *lpcbMaxClassLen = 0;
    if (lpcValues) *lpcValues = info.values;
    if (lpcbMaxValueNameLen) *lpcbMaxValueNameLen = info.maxValueNameBytes / sizeof(WCHAR);
    if (lpcbMaxValueLen) *lpcbMaxValueLen = info.maxValueDataBytes;
    if (lpcbSecurityDescriptor) *lpcbSecurityDescriptor = 0;
    if (lpftLastWriteTime) *lpftLastWriteTime = ToFileTime(info.lastWrite);
    return ERROR_SUCCESS;
}
