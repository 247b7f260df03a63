// The Win32 service functions: SC_HANDLEs of this process, the service keys
// CreateServiceW writes, and the calls that go to the service control manager.
#include "services.h"

#include "services_control.h"
#include "services_internal.h"

#include "platform/nt/zw.h"
#include "platform/registry/process_database.h"

#include <mutex>
#include <unordered_set>

struct SC_HANDLE__ {
    bool manager;
    DWORD access;          // after mapping generic rights
    std::u16string name;   // the service's name (services only)
};

namespace {

using namespace korin::win32;

std::mutex g_mutex;
std::unordered_set<SC_HANDLE> g_handles;  // live handles of this process

SC_HANDLE NewHandle(bool manager, DWORD access, std::u16string name) {
    auto* handle = new SC_HANDLE__{manager, access, std::move(name)};
    std::lock_guard lock(g_mutex);
    g_handles.insert(handle);
    return handle;
}

// A copy of a live handle's fields: the caller works without the lock while
// another thread may close the handle.
bool Lookup(SC_HANDLE handle, bool manager, SC_HANDLE__* out) {
    std::lock_guard lock(g_mutex);
    if (!g_handles.count(handle) || handle->manager != manager) return false;
    *out = *handle;
    return true;
}

DWORD MapServiceAccess(DWORD access) {
    if (access & GENERIC_READ)
        access |= SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE | SERVICE_ENUMERATE_DEPENDENTS |
                  READ_CONTROL;
    if (access & GENERIC_WRITE) access |= SERVICE_CHANGE_CONFIG | READ_CONTROL;
    if (access & GENERIC_EXECUTE)
        access |= SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL | READ_CONTROL;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= SERVICE_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

DWORD MapManagerAccess(DWORD access) {
    if (access & GENERIC_READ) access |= SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | READ_CONTROL;
    if (access & GENERIC_WRITE) access |= SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG | READ_CONTROL;
    if (access & GENERIC_EXECUTE) access |= SC_MANAGER_CONNECT | SC_MANAGER_LOCK | READ_CONTROL;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= SC_MANAGER_ALL_ACCESS;
    return access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
}

template <class T>
T Fail(DWORD error, T result) {
    SetLastError(error);
    return result;
}

std::u16string Text(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

// Looks up a service handle that grants every bit of required.
DWORD UseService(SC_HANDLE handle, DWORD required, SC_HANDLE__* out) {
    if (!Lookup(handle, false, out)) return ERROR_INVALID_HANDLE;
    return (out->access & required) == required ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// Writes a new service's values in the order the service manager writes them.
NTSTATUS WriteServiceKey(const korin::registry::Key& key, DWORD type, DWORD start, DWORD errorControl,
                         const std::u16string& imagePath, const std::u16string& displayName,
                         const std::u16string& group) {
    using namespace korin::win32::services;
    NTSTATUS s = WriteDword(key, u"Type", type);
    if (NT_SUCCESS(s)) s = WriteDword(key, u"Start", start);
    if (NT_SUCCESS(s)) s = WriteDword(key, u"ErrorControl", errorControl);
    if (NT_SUCCESS(s)) s = WriteText(key, u"ImagePath", imagePath, REG_EXPAND_SZ);
    if (NT_SUCCESS(s)) s = WriteText(key, u"DisplayName", displayName);
    if (NT_SUCCESS(s) && !group.empty()) s = WriteText(key, u"Group", group);
    return s;
}

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess) {
    if (lpMachineName && *lpMachineName) return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE{});
    if (lpDatabaseName && Text(lpDatabaseName) != u"ServicesActive") return Fail(ERROR_INVALID_NAME, SC_HANDLE{});
    return NewHandle(true, MapManagerAccess(dwDesiredAccess), u"");
}

SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR, LPCWSTR, LPCWSTR) {
    using namespace korin::win32::services;
    SC_HANDLE__ manager;
    if (!Lookup(hSCManager, true, &manager)) return Fail(ERROR_INVALID_HANDLE, SC_HANDLE{});
    if (!(manager.access & SC_MANAGER_CREATE_SERVICE)) return Fail(ERROR_ACCESS_DENIED, SC_HANDLE{});
    std::u16string name = Text(lpServiceName);
    if (!IsValidName(name)) return Fail(ERROR_INVALID_NAME, SC_HANDLE{});
    bool driver = dwServiceType == SERVICE_KERNEL_DRIVER || dwServiceType == SERVICE_FILE_SYSTEM_DRIVER;
    bool win32 = dwServiceType == SERVICE_WIN32_OWN_PROCESS || dwServiceType == SERVICE_WIN32_SHARE_PROCESS;
    if ((!driver && !win32) || dwStartType > SERVICE_DISABLED || (!driver && dwStartType < SERVICE_AUTO_START) ||
        dwErrorControl > SERVICE_ERROR_CRITICAL || !lpBinaryPathName || !*lpBinaryPathName)
        return Fail(ERROR_INVALID_PARAMETER, SC_HANDLE{});

    auto db = korin::registry::CurrentDatabase();
    if (!db) return Fail(ERROR_INTERNAL_ERROR, SC_HANDLE{});
    std::shared_ptr<korin::registry::Key> key;
    ULONG disposition = 0;
    NTSTATUS s = korin::registry::Key::CreateAbsolute(db, kServicesKey + u"\\" + name, KEY_ALL_ACCESS,
                                                      korin::registry::CreateMode::kWholePath, &key, &disposition);
    if (!NT_SUCCESS(s)) return Fail(ErrorOfStatus(s), SC_HANDLE{});
    // A key without a Type (the driver's own Drive key made first, say) is no service yet.
    if (ReadDword(*key, u"Type")) {
        DWORD error = ReadDword(*key, u"DeleteFlag").value_or(0) ? ERROR_SERVICE_MARKED_FOR_DELETE
                                                                  : ERROR_SERVICE_EXISTS;
        return Fail(error, SC_HANDLE{});
    }
    s = WriteServiceKey(*key, dwServiceType, dwStartType, dwErrorControl, Text(lpBinaryPathName),
                        lpDisplayName && *lpDisplayName ? Text(lpDisplayName) : name, Text(lpLoadOrderGroup));
    if (!NT_SUCCESS(s)) return Fail(ErrorOfStatus(s), SC_HANDLE{});
    if (lpdwTagId) *lpdwTagId = 0;  // no load order tags on this machine
    return NewHandle(false, MapServiceAccess(dwDesiredAccess), name);
}

SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess) {
    SC_HANDLE__ manager;
    if (!Lookup(hSCManager, true, &manager)) return Fail(ERROR_INVALID_HANDLE, SC_HANDLE{});
    std::u16string name = Text(lpServiceName);
    std::shared_ptr<korin::registry::Key> key;
    if (DWORD e = korin::win32::services::OpenServiceKey(name, KEY_READ, &key)) return Fail(e, SC_HANDLE{});
    return NewHandle(false, MapServiceAccess(dwDesiredAccess), name);
}

BOOL StartServiceW(SC_HANDLE hService, DWORD, LPCWSTR*) {
    SC_HANDLE__ service;
    if (DWORD e = UseService(hService, SERVICE_START, &service)) return Fail(e, FALSE);
    SERVICE_STATUS status;
    if (DWORD e = ServiceControl().Start(service.name, &status)) return Fail(e, FALSE);
    return TRUE;
}

BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
    DWORD required = dwControl == SERVICE_CONTROL_STOP          ? SERVICE_STOP
                     : dwControl == SERVICE_CONTROL_INTERROGATE ? SERVICE_INTERROGATE
                     : dwControl == SERVICE_CONTROL_PAUSE || dwControl == SERVICE_CONTROL_CONTINUE
                         ? SERVICE_PAUSE_CONTINUE
                         : SERVICE_USER_DEFINED_CONTROL;
    SC_HANDLE__ service;
    if (DWORD e = UseService(hService, required, &service)) return Fail(e, FALSE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    SERVICE_STATUS status{};
    DWORD error = ServiceControl().Control(service.name, dwControl, &status);
    // The status is reported whenever the service's state is known.
    if (error == ERROR_SUCCESS || error == ERROR_INVALID_SERVICE_CONTROL || error == ERROR_SERVICE_NOT_ACTIVE ||
        error == ERROR_SERVICE_CANNOT_ACCEPT_CTRL)
        *lpServiceStatus = status;
    return error ? Fail(error, FALSE) : TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
    SC_HANDLE__ service;
    if (DWORD e = UseService(hService, SERVICE_QUERY_STATUS, &service)) return Fail(e, FALSE);
    if (!lpServiceStatus) return Fail(ERROR_INVALID_PARAMETER, FALSE);
    SERVICE_STATUS status{};
    if (DWORD e = ServiceControl().Query(service.name, &status)) return Fail(e, FALSE);
    *lpServiceStatus = status;
    return TRUE;
}

BOOL DeleteService(SC_HANDLE hService) {
    SC_HANDLE__ service;
    if (DWORD e = UseService(hService, DELETE, &service)) return Fail(e, FALSE);
    if (DWORD e = ServiceControl().Delete(service.name)) return Fail(e, FALSE);
    return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE hSCObject) {
    {
        std::lock_guard lock(g_mutex);
        if (!g_handles.erase(hSCObject)) return Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    delete hSCObject;
    return TRUE;
}
