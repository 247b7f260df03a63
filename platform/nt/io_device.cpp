// Device objects: creation with a zeroed extension, naming in the namespace,
// the driver's device chain, deletion and reference-counted lifetime.
//
// Lock: DeviceLock guards every device's ReferenceCount and Deleted flag and
// every driver's device chain. It is taken after the namespace lock.
#include "iomgr.h"
#include "ob.h"

#include <cstddef>
#include <memory>
#include <mutex>

namespace korin::io {
namespace {

constexpr SHORT kDeviceObjectType = 3;

struct DeviceRecord : DEVICE_OBJECT {
    std::unique_ptr<std::byte[]> extension;
};

std::mutex& DeviceLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void FreeDevice(PDEVICE_OBJECT device) {
    PDRIVER_OBJECT driver = device->DriverObject;
    delete static_cast<DeviceRecord*>(device);
    DriverDeviceFreed(driver);
}

void UnlinkFromDriver(PDEVICE_OBJECT device) {
    for (PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject; *link; link = &(*link)->NextDevice) {
        if (*link == device) {
            *link = device->NextDevice;
            device->NextDevice = nullptr;
            return;
        }
    }
}

}  // namespace

void ReferenceDevice(PDEVICE_OBJECT device) {
    std::lock_guard lock(DeviceLock());
    ++device->ReferenceCount;
}

void DereferenceDevice(PDEVICE_OBJECT device) {
    bool free;
    {
        std::lock_guard lock(DeviceLock());
        free = --device->ReferenceCount == 0 && device->Deleted;
    }
    if (free) FreeDevice(device);
}

}  // namespace korin::io

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName,
                              DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive,
                              PCUNICODE_STRING defaultSddl, LPCGUID classGuid, PDEVICE_OBJECT* device) {
    using namespace korin::io;
    if (!driver || !device) return STATUS_INVALID_PARAMETER;
    *device = nullptr;
    auto record = std::make_unique<DeviceRecord>();
    if (extensionSize) record->extension.reset(new (std::nothrow) std::byte[extensionSize]());
    if (extensionSize && !record->extension) return STATUS_INSUFFICIENT_RESOURCES;
    record->Type = kDeviceObjectType;
    record->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    record->DriverObject = driver;
    // Initialising until the driver says otherwise (or its DriverEntry returns).
    record->Flags = DO_DEVICE_INITIALIZING | (exclusive ? DO_EXCLUSIVE : 0);
    record->Characteristics = characteristics;
    record->DeviceExtension = record->extension.get();
    record->DeviceType = deviceType;
    record->StackSize = 1;
    record->Name = ToString(deviceName);
    record->Sddl = ToString(defaultSddl);
    record->ClassGuid = classGuid ? *classGuid : GUID{};
    if (!record->Name.empty()) {
        NTSTATUS status = korin::ob::InsertDevice(record->Name, record.get());
        if (!NT_SUCCESS(status)) return status;
    }
    DriverDeviceCreated(driver);
    {
        std::lock_guard lock(DeviceLock());
        record->NextDevice = driver->DeviceObject;
        driver->DeviceObject = record.get();
    }
    *device = record.release();
    return STATUS_SUCCESS;
}

NTSTATUS IoCreateDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING deviceName,
                        DEVICE_TYPE deviceType, ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device) {
    return IoCreateDeviceSecure(driver, extensionSize, deviceName, deviceType, characteristics, exclusive, nullptr,
                                nullptr, device);
}

// The name goes at once, so no new open reaches the device; the memory stays
// while file objects (and queued work items) still reference it.
void IoDeleteDevice(PDEVICE_OBJECT device) {
    using namespace korin::io;
    if (!device) return;
    korin::ob::RemoveDevice(device);
    bool free;
    {
        std::lock_guard lock(DeviceLock());
        if (device->Deleted) return;
        device->Deleted = true;
        UnlinkFromDriver(device);
        free = device->ReferenceCount == 0;
    }
    if (free) FreeDevice(device);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING linkName, PUNICODE_STRING targetName) {
    if (!linkName || !targetName) return STATUS_INVALID_PARAMETER;
    return korin::ob::CreateSymbolicLink(korin::io::ToString(linkName), korin::io::ToString(targetName));
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING linkName) {
    if (!linkName) return STATUS_INVALID_PARAMETER;
    return korin::ob::DeleteSymbolicLink(korin::io::ToString(linkName));
}
