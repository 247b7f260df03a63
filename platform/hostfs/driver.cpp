// Driver start, unload and the one dispatch routine every request enters by.
#include "hostfs_internal.h"
#include "platform/nt/syscalls.h"

#include <cstdio>
#include <cstdlib>
#include <new>

using namespace korin::hostfs;

namespace {

// KORIN_HOSTFS_TRACE=1 logs one line per request at its completion.
bool Tracing() {
    static const bool tracing = [] {
        const char* value = std::getenv("KORIN_HOSTFS_TRACE");
        return value && *value && *value != '0';
    }();
    return tracing;
}

// The open a request names, or NULL when its file object is not one of ours.
HOST_OPEN* OpenOf(PIRP irp) {
    PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (!fileObject) return nullptr;
    auto* open = static_cast<HOST_OPEN*>(fileObject->FsContext2);
    return open && open->NodeTypeCode == HOSTFS_NTC_OPEN ? open : nullptr;
}

// Sends the request to its Common routine.
NTSTATUS CommonDispatch(PDEVICE_OBJECT device, PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        HOST_VOLUME* volume = VolumeOf(device);
        if (!volume) return STATUS_INVALID_DEVICE_REQUEST;
        return CommonCreate(volume, irp, information);
    }
    // An open outlives an unload of the driver: its requests still come here.
    HOST_OPEN* open = OpenOf(irp);
    if (!open) return STATUS_INVALID_PARAMETER;
    switch (stack->MajorFunction) {
    case IRP_MJ_CLEANUP:
        return CommonCleanup(open, irp);
    case IRP_MJ_CLOSE:
        return CommonClose(open, irp);
    case IRP_MJ_READ:
        return CommonRead(open, irp, information);
    case IRP_MJ_WRITE:
        return CommonWrite(open, irp, information);
    case IRP_MJ_FLUSH_BUFFERS:
        return CommonFlush(open, irp, information);
    case IRP_MJ_QUERY_INFORMATION:
        return CommonQueryInformation(open, irp, information);
    case IRP_MJ_SET_INFORMATION:
        return CommonSetInformation(open, irp, information);
    case IRP_MJ_DIRECTORY_CONTROL:
        return CommonDirectoryControl(open, irp, information);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        return CommonQueryVolumeInformation(open, irp, information);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// Every major function: runs the Common routine, turns a raised status (a bad
// caller buffer) or exhausted memory into the request's status, and
// completes the request exactly once.
NTSTATUS FsdDispatch(PDEVICE_OBJECT device, PIRP irp) {
    ULONG_PTR information = 0;
    NTSTATUS status;
    try {
        status = CommonDispatch(device, irp, &information);
    } catch (const NtStatusException& e) {
        status = e.status();
        information = 0;
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        information = 0;
    }
    if (Tracing()) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        std::fprintf(stderr, "hostfs: %s/%u -> %s (%llu)\n", IrpMajorName(stack->MajorFunction),
                     stack->MinorFunction, NtStatusName(status), static_cast<unsigned long long>(information));
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, NT_SUCCESS(status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
    return status;
}

void HostFsUnload(PDRIVER_OBJECT) {
    korin::io::SetHostDescriptorHook(nullptr);
    DeleteVolumes();
}

}  // namespace

// Registers the dispatch routine for every major function and makes the
// volumes of the configuration (hostfs.h).
NTSTATUS HostFsDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    UNREFERENCED_PARAMETER(registryPath);
    for (auto& routine : driver->MajorFunction) routine = FsdDispatch;
    driver->DriverUnload = HostFsUnload;
    NTSTATUS status = CreateVolumes(driver);
    // Handles that end on host files hand out their descriptor (the FUSE
    // layer passes reads and writes straight to it).
    if (NT_SUCCESS(status)) korin::io::SetHostDescriptorHook(DescriptorOf);
    return status;
}
