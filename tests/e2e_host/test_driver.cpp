// A small driver for the host tests: a device named after its service that
// echoes, pends a request until released, and counts its opens. Built twice:
// with an unload routine and, with KORIN_TEST_NO_UNLOAD, without one.
#include "test_driver.h"

#include "platform/nt/ntddk.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace korin::test;

std::mutex g_mutex;
std::vector<PIRP> g_waiting;  // pended IOCTL_TEST_WAIT requests
LONG g_opens = 0;
PDEVICE_OBJECT g_device = nullptr;
std::u16string g_linkName;

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Create(PDEVICE_OBJECT, PIRP irp) {
    std::lock_guard lock(g_mutex);
    ++g_opens;
    return Complete(irp, STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS Close(PDEVICE_OBJECT, PIRP irp) {
    {
        std::lock_guard lock(g_mutex);
        --g_opens;
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS Succeed(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS PutUlong(PIRP irp, ULONG value) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
        return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
    *static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer) = value;
    return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
}

NTSTATUS DeviceControl(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_TEST_ECHO:
        if (out < in) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        std::reverse(buffer, buffer + in);
        return Complete(irp, STATUS_SUCCESS, in);
    case IOCTL_TEST_WAIT: {
        std::lock_guard lock(g_mutex);
        IoMarkIrpPending(irp);
        g_waiting.push_back(irp);
        return STATUS_PENDING;
    }
    case IOCTL_TEST_RELEASE: {
        std::vector<PIRP> waiting;
        {
            std::lock_guard lock(g_mutex);
            waiting.swap(g_waiting);
        }
        for (PIRP w : waiting) Complete(w, STATUS_SUCCESS, 0);
        return PutUlong(irp, static_cast<ULONG>(waiting.size()));
    }
    case IOCTL_TEST_OPEN_COUNT: {
        LONG opens;
        {
            std::lock_guard lock(g_mutex);
            opens = g_opens;
        }
        return PutUlong(irp, static_cast<ULONG>(opens));
    }
    default: return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

UNICODE_STRING Counted(std::u16string& s) {
    return {static_cast<USHORT>(s.size() * 2), static_cast<USHORT>(s.size() * 2), s.data()};
}

#ifndef KORIN_TEST_NO_UNLOAD
void Unload(PDRIVER_OBJECT) {
    UNICODE_STRING link = Counted(g_linkName);
    IoDeleteSymbolicLink(&link);
    if (g_device) IoDeleteDevice(g_device);
    g_device = nullptr;
}
#endif

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    std::u16string path(registryPath->Buffer, registryPath->Length / 2);
    std::u16string service = path.substr(path.find_last_of(u'\\') + 1);
    std::u16string deviceName = u"\\Device\\" + service;
    g_linkName = u"\\??\\" + service;
    UNICODE_STRING name = Counted(deviceName);
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING link = Counted(g_linkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        return status;
    }
    g_device->Flags |= DO_BUFFERED_IO;
    driver->MajorFunction[IRP_MJ_CREATE] = Create;
    driver->MajorFunction[IRP_MJ_CLOSE] = Close;
    driver->MajorFunction[IRP_MJ_CLEANUP] = Succeed;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
#ifndef KORIN_TEST_NO_UNLOAD
    driver->DriverUnload = Unload;
#endif
    return STATUS_SUCCESS;
}
