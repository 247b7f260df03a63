// Service control: the calls that need the machine which runs the drivers.
//
// The Win32 service functions (services.h) go through a table: in-process by
// default (the kernel runs in this process, as in tests and in korin-host
// itself), or korin-host's socket client once a program connected to the
// running machine (host_connection.h). Every call names the service and
// returns a Win32 error (ERROR_SUCCESS when it succeeded).
#pragma once

#include "services.h"

#include <string>
#include <vector>

namespace korin::win32 {

struct ServiceControlCalls {
    // status receives the service's status after the call, whatever its outcome.
    DWORD (*Start)(const std::u16string& name, SERVICE_STATUS* status);
    DWORD (*Control)(const std::u16string& name, DWORD control, SERVICE_STATUS* status);
    DWORD (*Query)(const std::u16string& name, SERVICE_STATUS* status);
    DWORD (*Delete)(const std::u16string& name);
};

// The table in use; starts as the in-process one.
const ServiceControlCalls& ServiceControl();
void UseServiceControl(const ServiceControlCalls& calls);
const ServiceControlCalls& InProcessServiceControl();

// The in-process service control manager: the table's in-process entries,
// plus what the machine does at boot and at shutdown. Calls are serialised.
namespace scm {

DWORD StartService(const std::u16string& name, SERVICE_STATUS* status);
DWORD ControlService(const std::u16string& name, DWORD control, SERVICE_STATUS* status);
DWORD QueryService(const std::u16string& name, SERVICE_STATUS* status);
DWORD DeleteService(const std::u16string& name);

// What happened to one service at boot or at shutdown.
struct ServiceOutcome {
    std::u16string name;
    std::u16string imagePath;  // as the service key gives it
    DWORD error = ERROR_SUCCESS;
    bool skipped = false;  // not touched: stop without an unload routine
};

// Boot: deletes the keys of services marked for deletion, then starts every
// driver service (type 1 or 2) whose start type is automatic, in the
// registry's order of service names. A failure is reported and the others
// still start.
std::vector<ServiceOutcome> StartAutomaticServices();
// Shutdown: stops every service this manager started whose driver has an
// unload routine (newest first); drivers without one are reported as skipped.
std::vector<ServiceOutcome> StopAllServices();

}  // namespace scm
}  // namespace korin::win32
