// The in-process service control manager: starts driver services from their
// keys through the I/O manager, stops them through their unload routines, and
// the table that routes the Win32 service functions to it (or to korin-host).
//
// A service runs while the driver it started is loaded. The manager only
// stops drivers it started itself: drivers built into the machine are not
// services and cannot be stopped through it.
#include "services_control.h"

#include "paths.h"
#include "services_internal.h"

#include "platform/nt/io.h"
#include "platform/nt/zw.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>

namespace korin::win32 {
namespace scm {
namespace {

struct Running {
    std::u16string name;  // as the service was started
    std::u16string upname;
    PDRIVER_OBJECT driver;
};

struct Manager {
    std::mutex mutex;              // one service operation at a time
    std::vector<Running> started;  // in start order
};

Manager& TheManager() {
    static auto* manager = new Manager;
    return *manager;
}

std::u16string Upcase(std::u16string s) {
    for (auto& c : s)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

// The driver this manager started for name, or NULL. Caller holds the mutex.
Running* FindStarted(Manager& m, const std::u16string& name) {
    auto up = Upcase(name);
    for (auto& r : m.started)
        if (r.upname == up) return &r;
    return nullptr;
}

SERVICE_STATUS MakeStatus(DWORD type, PDRIVER_OBJECT running, bool stoppable) {
    SERVICE_STATUS s{};
    s.dwServiceType = type;
    s.dwCurrentState = running ? SERVICE_RUNNING : SERVICE_STOPPED;
    s.dwControlsAccepted = running && stoppable && running->DriverUnload ? SERVICE_ACCEPT_STOP : 0;
    return s;
}

// The status of a service whose key is open. Caller holds the mutex.
SERVICE_STATUS StatusOf(Manager& m, const std::u16string& name, const registry::Key& key) {
    DWORD type = services::ReadDword(key, u"Type").value_or(0);
    if (Running* r = FindStarted(m, name)) return MakeStatus(type, r->driver, true);
    return MakeStatus(type, io::FindDriver(name), false);
}

// The Win32 error of a missing or unusable driver image.
DWORD CheckImage(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    if (errno == EACCES) return ERROR_ACCESS_DENIED;
    if (errno != ENOENT) return ERROR_PATH_NOT_FOUND;
    size_t slash = path.find_last_of('/');
    std::string parent = slash == 0 || slash == std::string::npos ? std::string("/") : path.substr(0, slash);
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
}

DWORD ErrorOfLoad(NTSTATUS status) {
    switch (status) {
    case STATUS_IMAGE_ALREADY_LOADED: return ERROR_SERVICE_ALREADY_RUNNING;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_DLL_NOT_FOUND: return ERROR_BAD_FORMAT;  // not a shared object we can load
    case STATUS_PROCEDURE_NOT_FOUND: return ERROR_PROC_NOT_FOUND;  // no DriverEntry
    default: return services::ErrorOfStatus(status);
    }
}

DWORD StartLocked(Manager& m, const std::u16string& name, SERVICE_STATUS* status) {
    std::shared_ptr<registry::Key> key;
    *status = MakeStatus(0, nullptr, false);
    if (DWORD e = services::OpenServiceKey(name, KEY_READ, &key)) return e;
    *status = StatusOf(m, name, *key);
    DWORD type = status->dwServiceType;
    if (services::ReadDword(*key, u"DeleteFlag").value_or(0)) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (services::ReadDword(*key, u"Start").value_or(SERVICE_DEMAND_START) == SERVICE_DISABLED)
        return ERROR_SERVICE_DISABLED;
    if (status->dwCurrentState == SERVICE_RUNNING) return ERROR_SERVICE_ALREADY_RUNNING;
    if (type != SERVICE_KERNEL_DRIVER && type != SERVICE_FILE_SYSTEM_DRIVER) return ERROR_NOT_SUPPORTED;

    auto imagePath = services::ReadText(*key, u"ImagePath");
    if (!imagePath || imagePath->empty()) return ERROR_FILE_NOT_FOUND;
    auto hostPath = Win32PathToHostPath(*imagePath);
    if (!hostPath) return ERROR_PATH_NOT_FOUND;
    if (DWORD e = CheckImage(*hostPath)) return e;

    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS loaded = io::LoadDriver(*hostPath, name, type, &driver);
    if (!NT_SUCCESS(loaded) || !driver) {
        if (io::FindDriver(name)) *status = MakeStatus(type, io::FindDriver(name), false);
        return NT_SUCCESS(loaded) ? ERROR_INTERNAL_ERROR : ErrorOfLoad(loaded);
    }
    m.started.push_back({name, Upcase(name), driver});
    *status = MakeStatus(type, driver, true);
    return ERROR_SUCCESS;
}

// Stops a running service this manager started. Caller holds the mutex.
DWORD StopLocked(Manager& m, const std::u16string& name, DWORD type, SERVICE_STATUS* status) {
    Running* r = FindStarted(m, name);
    if (!r) {
        PDRIVER_OBJECT other = io::FindDriver(name);
        *status = MakeStatus(type, other, false);
        return other ? ERROR_INVALID_SERVICE_CONTROL : ERROR_SERVICE_NOT_ACTIVE;
    }
    if (!r->driver->DriverUnload) {
        *status = MakeStatus(type, r->driver, true);
        return ERROR_INVALID_SERVICE_CONTROL;
    }
    NTSTATUS unloaded = io::UnloadDriver(r->driver);
    if (!NT_SUCCESS(unloaded)) {
        *status = MakeStatus(type, r->driver, true);
        return services::ErrorOfStatus(unloaded);
    }
    auto up = r->upname;
    std::erase_if(m.started, [&](const Running& x) { return x.upname == up; });
    *status = MakeStatus(type, nullptr, false);
    return ERROR_SUCCESS;
}

// Removes the key of a stopped service marked for deletion.
void DeleteIfMarked(const std::u16string& name) {
    std::shared_ptr<registry::Key> key;
    if (services::OpenServiceKey(name, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    if (services::ReadDword(*key, u"DeleteFlag").value_or(0)) services::DeleteKeyTree(*key);
}

}  // namespace

DWORD StartService(const std::u16string& name, SERVICE_STATUS* status) {
    Manager& m = TheManager();
    std::lock_guard lock(m.mutex);
    return StartLocked(m, name, status);
}

DWORD ControlService(const std::u16string& name, DWORD control, SERVICE_STATUS* status) {
    Manager& m = TheManager();
    std::lock_guard lock(m.mutex);
    *status = MakeStatus(0, nullptr, false);
    std::shared_ptr<registry::Key> key;
    DWORD type = 0;
    if (DWORD e = services::OpenServiceKey(name, KEY_READ, &key)) {
        // A running service whose key went behind our back can still be stopped.
        if (e != ERROR_SERVICE_DOES_NOT_EXIST || !FindStarted(m, name)) return e;
    } else {
        *status = StatusOf(m, name, *key);
        type = status->dwServiceType;
    }
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_INTERROGATE)
        return ERROR_INVALID_SERVICE_CONTROL;
    if (control == SERVICE_CONTROL_INTERROGATE)
        return status->dwCurrentState == SERVICE_RUNNING ? ERROR_SUCCESS : ERROR_SERVICE_NOT_ACTIVE;
    DWORD error = StopLocked(m, name, type, status);
    if (error == ERROR_SUCCESS) DeleteIfMarked(name);
    return error;
}

DWORD QueryService(const std::u16string& name, SERVICE_STATUS* status) {
    Manager& m = TheManager();
    std::lock_guard lock(m.mutex);
    *status = MakeStatus(0, nullptr, false);
    std::shared_ptr<registry::Key> key;
    if (DWORD e = services::OpenServiceKey(name, KEY_READ, &key)) return e;
    *status = StatusOf(m, name, *key);
    return ERROR_SUCCESS;
}

DWORD DeleteService(const std::u16string& name) {
    Manager& m = TheManager();
    std::lock_guard lock(m.mutex);
    std::shared_ptr<registry::Key> key;
    if (DWORD e = services::OpenServiceKey(name, KEY_ALL_ACCESS, &key)) return e;
    if (services::ReadDword(*key, u"DeleteFlag").value_or(0)) return ERROR_SERVICE_MARKED_FOR_DELETE;
    if (FindStarted(m, name) || io::FindDriver(name)) {
        // Marked now, removed when it stops.
        NTSTATUS s = services::WriteDword(*key, u"DeleteFlag", 1);
        return NT_SUCCESS(s) ? ERROR_SUCCESS : services::ErrorOfStatus(s);
    }
    NTSTATUS s = services::DeleteKeyTree(*key);
    return NT_SUCCESS(s) ? ERROR_SUCCESS : services::ErrorOfStatus(s);
}

std::vector<ServiceOutcome> StartAutomaticServices() {
    struct Candidate {
        DWORD start;
        std::u16string name, imagePath;
    };
    std::vector<Candidate> candidates;
    for (const auto& name : services::ListServiceKeys()) {
        std::shared_ptr<registry::Key> key;
        if (services::OpenServiceKey(name, KEY_READ, &key) != ERROR_SUCCESS) continue;
        if (services::ReadDword(*key, u"DeleteFlag").value_or(0)) {
            DeleteIfMarked(name);  // deleted while it ran; it goes now, as at a restart
            continue;
        }
        DWORD type = services::ReadDword(*key, u"Type").value_or(0);
        DWORD start = services::ReadDword(*key, u"Start").value_or(SERVICE_DEMAND_START);
        if ((type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER) && start <= SERVICE_AUTO_START)
            candidates.push_back({start, name, services::ReadText(*key, u"ImagePath").value_or(u"")});
    }
    // Boot and system drivers come before automatic ones; the registry's order within each.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.start < b.start; });
    std::vector<ServiceOutcome> outcomes;
    for (const auto& c : candidates) {
        SERVICE_STATUS status;
        outcomes.push_back({c.name, c.imagePath, StartService(c.name, &status), false});
    }
    return outcomes;
}

std::vector<ServiceOutcome> StopAllServices() {
    Manager& m = TheManager();
    std::vector<ServiceOutcome> outcomes;
    std::lock_guard lock(m.mutex);
    while (!m.started.empty()) {
        Running r = m.started.back();
        const std::u16string& name = r.name;
        if (!r.driver->DriverUnload) {
            outcomes.push_back({name, u"", ERROR_INVALID_SERVICE_CONTROL, true});
            m.started.pop_back();
            continue;
        }
        SERVICE_STATUS status;
        DWORD error = StopLocked(m, name, 0, &status);
        if (error != ERROR_SUCCESS) m.started.pop_back();  // never loop on a driver that will not go
        else DeleteIfMarked(name);
        outcomes.push_back({name, u"", error, false});
    }
    return outcomes;
}

}  // namespace scm

namespace {

const ServiceControlCalls kInProcess = {scm::StartService, scm::ControlService, scm::QueryService,
                                        scm::DeleteService};
std::atomic<const ServiceControlCalls*> g_calls{&kInProcess};

}  // namespace

const ServiceControlCalls& ServiceControl() { return *g_calls.load(); }
const ServiceControlCalls& InProcessServiceControl() { return kInProcess; }

void UseServiceControl(const ServiceControlCalls& calls) {
    if (&calls == &kInProcess) {
        g_calls.store(&kInProcess);
        return;
    }
    // Copies live for the life of the process: a caller may still be using
    // the previous table while another thread switches.
    static std::mutex mutex;
    static auto* kept = new std::vector<std::unique_ptr<ServiceControlCalls>>;
    std::lock_guard lock(mutex);
    kept->push_back(std::make_unique<ServiceControlCalls>(calls));
    g_calls.store(kept->back().get());
}

}  // namespace korin::win32
