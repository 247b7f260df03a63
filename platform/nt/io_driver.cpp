// Drivers: starting one (a shared object found by its "DriverEntry", or a
// routine built into the machine), finding it by service name, unloading it.
//
// A driver object lives from its start until it is unloaded and has no device
// left: devices a driver leaves behind at unload keep its code loaded, since
// requests on them still call into it.
//
// An image, once loaded, stays mapped in the process even after its last
// unload (RTLD_NODELETE): a routine pointer a driver left somewhere (a work
// item still queued, a callback) never points into unmapped memory, and what
// the image's own code allocated and keeps in its static data is not lost on
// every stop and start of its service. A reload runs DriverEntry again on the
// same image; drivers initialise their global state there, as they must on
// any system.
#include "exceptions.h"
#include "iomgr.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

namespace korin::io {
namespace {

constexpr SHORT kDriverObjectType = 4;
constexpr ULONG kKernelDriver = 1;      // SERVICE_KERNEL_DRIVER
constexpr ULONG kFileSystemDriver = 2;  // SERVICE_FILE_SYSTEM_DRIVER

struct DriverRecord : DRIVER_OBJECT {
    std::u16string name;          // DriverName's buffer
    std::u16string registryPath;  // the service key, as DriverEntry received it
    std::u16string key;           // upper-cased service name
    void* image = nullptr;        // dlopen handle; NULL for a built-in driver
    size_t liveDevices = 0;       // created and not yet freed
    bool started = false;         // DriverEntry succeeded and no unload began; FindDriver sees it
    bool unloaded = false;
};

struct Drivers {
    std::mutex mutex;
    std::unordered_map<PDRIVER_OBJECT, DriverRecord*> records;
    std::map<std::u16string, DriverRecord*> byService;  // started or starting
};

Drivers& TheDrivers() {
    static auto* drivers = new Drivers;
    return *drivers;
}

// What every major function does until the driver installs its own routine.
NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// Frees an unloaded driver once its last device is gone.
void ReleaseIfUnused(DriverRecord* record) {
    {
        Drivers& drivers = TheDrivers();
        std::lock_guard lock(drivers.mutex);
        if (!record->unloaded || record->liveDevices) return;
        drivers.records.erase(record);
    }
    if (record->image) dlclose(record->image);
    delete record;
}

template <typename Fn>
NTSTATUS CallDriverRoutine(const char* what, Fn fn) {
    try {
        return fn();
    } catch (const NtStatusException& e) {
        std::fprintf(stderr, "korin: driver %s raised %s\n", what, e.what());
        return e.status();
    } catch (const std::bad_alloc&) {
        return STATUS_INSUFFICIENT_RESOURCES;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korin: driver %s threw %s\n", what, e.what());
        return STATUS_DRIVER_INTERNAL_ERROR;
    }
}

// Creates the driver object and runs entry. image (may be NULL) belongs to the
// driver from here on, whatever the outcome.
NTSTATUS StartDriver(PDRIVER_INITIALIZE entry, void* image, const std::u16string& service, ULONG type,
                     PDRIVER_OBJECT* driver) {
    if (driver) *driver = nullptr;
    if (!entry || service.empty() || (type != kKernelDriver && type != kFileSystemDriver)) {
        if (image) dlclose(image);
        return STATUS_INVALID_PARAMETER;
    }
    auto* record = new DriverRecord();
    record->Type = kDriverObjectType;
    record->Size = sizeof(DRIVER_OBJECT);
    record->name = (type == kFileSystemDriver ? u"\\FileSystem\\" : u"\\Driver\\") + service;
    record->DriverName = {static_cast<USHORT>(record->name.size() * sizeof(WCHAR)),
                          static_cast<USHORT>(record->name.size() * sizeof(WCHAR)), record->name.data()};
    record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    record->key = UpcaseText(service);
    record->image = image;
    record->DriverSection = image;
    record->DriverInit = entry;
    for (auto& slot : record->MajorFunction) slot = InvalidDeviceRequest;
    {
        Drivers& drivers = TheDrivers();
        std::lock_guard lock(drivers.mutex);
        if (drivers.byService.count(record->key)) {
            if (image) dlclose(image);
            delete record;
            return STATUS_IMAGE_ALREADY_LOADED;
        }
        drivers.records[record] = record;
        drivers.byService[record->key] = record;
    }
    UNICODE_STRING registryPath{static_cast<USHORT>(record->registryPath.size() * sizeof(WCHAR)),
                                static_cast<USHORT>(record->registryPath.size() * sizeof(WCHAR)),
                                record->registryPath.data()};
    NTSTATUS status = CallDriverRoutine("DriverEntry", [&] { return entry(record, &registryPath); });
    if (!NT_SUCCESS(status)) {
        // A failed start leaves nothing: devices the driver made are deleted.
        while (record->DeviceObject) IoDeleteDevice(record->DeviceObject);
        {
            Drivers& drivers = TheDrivers();
            std::lock_guard lock(drivers.mutex);
            drivers.byService.erase(record->key);
            record->unloaded = true;
        }
        ReleaseIfUnused(record);
        return status;
    }
    // Devices made during DriverEntry are ready once it returns.
    for (PDEVICE_OBJECT device = record->DeviceObject; device; device = device->NextDevice)
        device->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        std::lock_guard lock(TheDrivers().mutex);
        record->started = true;
    }
    if (driver) *driver = record;
    return status;
}

}  // namespace

void DriverDeviceCreated(PDRIVER_OBJECT driver) {
    Drivers& drivers = TheDrivers();
    std::lock_guard lock(drivers.mutex);
    auto it = drivers.records.find(driver);
    if (it != drivers.records.end()) ++it->second->liveDevices;
}

void DriverDeviceFreed(PDRIVER_OBJECT driver) {
    DriverRecord* record;
    {
        Drivers& drivers = TheDrivers();
        std::lock_guard lock(drivers.mutex);
        auto it = drivers.records.find(driver);
        if (it == drivers.records.end()) return;
        record = it->second;
        --record->liveDevices;
    }
    ReleaseIfUnused(record);
}

NTSTATUS LoadDriver(const std::string& imagePath, const std::u16string& service, ULONG type,
                    PDRIVER_OBJECT* driver) {
    if (driver) *driver = nullptr;
    if (FindDriver(service)) return STATUS_IMAGE_ALREADY_LOADED;
    if (access(imagePath.c_str(), F_OK) != 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    void* image = dlopen(imagePath.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!image) {
        std::fprintf(stderr, "korin: cannot load driver image %s: %s\n", imagePath.c_str(), dlerror());
        return STATUS_DLL_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
    if (!entry) {
        dlclose(image);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    return StartDriver(entry, image, service, type, driver);
}

NTSTATUS StartBuiltinDriver(PDRIVER_INITIALIZE entry, const std::u16string& service, ULONG type,
                            PDRIVER_OBJECT* driver) {
    return StartDriver(entry, nullptr, service, type, driver);
}

NTSTATUS UnloadDriver(PDRIVER_OBJECT driver) {
    DriverRecord* record;
    {
        Drivers& drivers = TheDrivers();
        std::lock_guard lock(drivers.mutex);
        auto it = drivers.records.find(driver);
        record = it == drivers.records.end() ? nullptr : it->second;
        if (!record || !record->started) return STATUS_INVALID_PARAMETER;
        if (!record->DriverUnload) return STATUS_INVALID_DEVICE_REQUEST;
        // From here no one finds the driver and its unload routine runs once;
        // the record stays until it has returned (unloaded is set after).
        record->started = false;
        drivers.byService.erase(record->key);
    }
    CallDriverRoutine("unload routine", [&] {
        record->DriverUnload(record);
        return STATUS_SUCCESS;
    });
    {
        std::lock_guard lock(TheDrivers().mutex);
        record->unloaded = true;
    }
    ReleaseIfUnused(record);
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT FindDriver(const std::u16string& service) {
    Drivers& drivers = TheDrivers();
    std::lock_guard lock(drivers.mutex);
    auto it = drivers.byService.find(UpcaseText(service));
    return it != drivers.byService.end() && it->second->started ? it->second : nullptr;
}

}  // namespace korin::io
