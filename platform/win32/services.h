// The service control manager's Win32 functions, for driver services.
//
// A service is its registry key HKLM\SYSTEM\CurrentControlSet\Services\<name>
// (Type, Start, ErrorControl, ImagePath, DisplayName, Group); a key counts as
// a service once it has a Type value. CreateServiceW and OpenServiceW work on
// the registry in the calling process; starting, stopping, querying and
// deleting ask the machine that runs the drivers (korin-host once the program
// connected to it, else the kernel in this process), through
// services_control.h.
//
// Only driver services (SERVICE_KERNEL_DRIVER, SERVICE_FILE_SYSTEM_DRIVER) can
// be started: the driver is the shared object named by ImagePath, a Win32 path
// of this machine ("C:\...\KRDriver.sys" or "\??\C:\..."). Handles are
// SC_HANDLEs of this process; every function sets the last error on failure.
#pragma once

#include "win32.h"

struct SC_HANDLE__;
typedef SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;

// Manager access rights.
constexpr DWORD SC_MANAGER_CONNECT = 0x0001;
constexpr DWORD SC_MANAGER_CREATE_SERVICE = 0x0002;
constexpr DWORD SC_MANAGER_ENUMERATE_SERVICE = 0x0004;
constexpr DWORD SC_MANAGER_LOCK = 0x0008;
constexpr DWORD SC_MANAGER_QUERY_LOCK_STATUS = 0x0010;
constexpr DWORD SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020;
constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;

// Service access rights.
constexpr DWORD SERVICE_QUERY_CONFIG = 0x0001;
constexpr DWORD SERVICE_CHANGE_CONFIG = 0x0002;
constexpr DWORD SERVICE_QUERY_STATUS = 0x0004;
constexpr DWORD SERVICE_ENUMERATE_DEPENDENTS = 0x0008;
constexpr DWORD SERVICE_START = 0x0010;
constexpr DWORD SERVICE_STOP = 0x0020;
constexpr DWORD SERVICE_PAUSE_CONTINUE = 0x0040;
constexpr DWORD SERVICE_INTERROGATE = 0x0080;
constexpr DWORD SERVICE_USER_DEFINED_CONTROL = 0x0100;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;

// Service types.
constexpr DWORD SERVICE_KERNEL_DRIVER = 0x00000001;
constexpr DWORD SERVICE_FILE_SYSTEM_DRIVER = 0x00000002;
constexpr DWORD SERVICE_DRIVER = 0x0000000B;
constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x00000010;
constexpr DWORD SERVICE_WIN32_SHARE_PROCESS = 0x00000020;

// Start types.
constexpr DWORD SERVICE_BOOT_START = 0;
constexpr DWORD SERVICE_SYSTEM_START = 1;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_DISABLED = 4;

// Error control.
constexpr DWORD SERVICE_ERROR_IGNORE = 0;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;
constexpr DWORD SERVICE_ERROR_SEVERE = 2;
constexpr DWORD SERVICE_ERROR_CRITICAL = 3;

// Controls.
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;

// Current states.
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;

// Controls accepted.
constexpr DWORD SERVICE_ACCEPT_STOP = 0x00000001;

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
typedef SERVICE_STATUS* LPSERVICE_STATUS;
static_assert(sizeof(SERVICE_STATUS) == 28);

// lpMachineName must be NULL or empty (this machine); lpDatabaseName NULL or
// "ServicesActive".
SC_HANDLE OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName, DWORD dwDesiredAccess);

// Writes the service key. ERROR_SERVICE_EXISTS when the service exists (its
// configuration is left alone), ERROR_SERVICE_MARKED_FOR_DELETE when it is
// being deleted, ERROR_INVALID_NAME for an empty name or one with a
// backslash, ERROR_INVALID_PARAMETER for an unknown type, start or error
// control. Dependencies, account and password are not kept (drivers need
// none); *lpdwTagId, when asked for, is 0: there is no load order by tag.
SC_HANDLE CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, LPCWSTR lpDisplayName, DWORD dwDesiredAccess,
                         DWORD dwServiceType, DWORD dwStartType, DWORD dwErrorControl, LPCWSTR lpBinaryPathName,
                         LPCWSTR lpLoadOrderGroup, LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                         LPCWSTR lpServiceStartName, LPCWSTR lpPassword);

// ERROR_SERVICE_DOES_NOT_EXIST when there is no such service.
SC_HANDLE OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName, DWORD dwDesiredAccess);

// Loads the driver and calls its DriverEntry. ERROR_SERVICE_ALREADY_RUNNING
// when it runs; ERROR_FILE_NOT_FOUND / ERROR_PATH_NOT_FOUND when the image is
// missing; ERROR_BAD_FORMAT when it is no driver; ERROR_SERVICE_DISABLED;
// otherwise the error of the status DriverEntry returned.
BOOL StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs, LPCWSTR* lpServiceArgVectors);

// SERVICE_CONTROL_STOP unloads a driver that has an unload routine and reports
// SERVICE_STOPPED; a driver without one cannot be stopped
// (ERROR_INVALID_SERVICE_CONTROL, status SERVICE_RUNNING). A stopped service
// answers ERROR_SERVICE_NOT_ACTIVE. SERVICE_CONTROL_INTERROGATE reports the
// status. lpServiceStatus receives the status in every case it can be known.
BOOL ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus);

BOOL QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus);

// Marks the service for deletion; its key goes as soon as it is stopped (at
// once when it is not running). ERROR_SERVICE_MARKED_FOR_DELETE when already
// marked.
BOOL DeleteService(SC_HANDLE hService);

BOOL CloseServiceHandle(SC_HANDLE hSCObject);
