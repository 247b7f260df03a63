// The one entry point of every request (FsdDispatch), the per-request
// context, the routing to the handlers and the shared completion steps.
#include "handlers.h"

#include <cstring>

namespace {

constexpr char kContextSignature[4] = {'I', 'C', 'X', ':'};

// Restores the thread state FsdDispatch changed on entry, however it leaves.
class FsdFrame {
public:
    explicit FsdFrame(PIRP irp) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            KeEnterCriticalRegion();
            leaveRegion_ = true;
        }
        if (IoGetTopLevelIrp() == nullptr) {
            IoSetTopLevelIrp(irp);
            clearTopLevel_ = true;
        }
    }
    ~FsdFrame() {
        if (clearTopLevel_) IoSetTopLevelIrp(nullptr);
        if (leaveRegion_) KeLeaveCriticalRegion();
    }
    FsdFrame(const FsdFrame&) = delete;
    FsdFrame& operator=(const FsdFrame&) = delete;

private:
    bool leaveRegion_ = false;
    bool clearTopLevel_ = false;
};

// A device the driver no longer serves: the control device of an earlier
// start, which the unload deleted while a handle to it stayed open (a
// program that stops the service holding the control device open). It has
// no drive behind it, so no handler may see it: its handles' cleanup and
// close succeed and anything else is refused.
bool IsRetiredDevice(PDEVICE_OBJECT device) {
    return device != KrGlobal.ControlDevice && !IsVcb(device->DeviceExtension);
}

NTSTATUS CompleteOnRetiredDevice(PIRP irp) {
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    const NTSTATUS status =
        major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

// Every served request enters here, on the control device or a volume: marks
// the thread's critical region and top-level IRP, wraps the request in a
// context and runs its handler in the exception frame. Returns the handler's
// status (STATUS_PENDING when it was posted), the status of an expected
// exception, or STATUS_INSUFFICIENT_RESOURCES when no context could be made
// (the request is then completed here). Requests on a retired device are
// completed here too. An unexpected exception is not
// handled here: it goes on to the I/O manager, which fails the request.
NTSTATUS FsdDispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (IsRetiredDevice(device)) return CompleteOnRetiredDevice(irp);
    FsdFrame frame(irp);
    IRP_CONTEXT* context = CreateIrpContext(device, irp);
    if (!context) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return NtTryExcept([&] { return DispatchRequest(context); },
                       [&](NTSTATUS code) { return ExceptionFilter(context, code); },
                       [&](NTSTATUS) { return ProcessException(context); });
}

// Allocates the context of a request (tag "RIcx"): the IRP, its major and
// minor function and file object, the device, whether the handler may wait,
// and whether this IRP is the thread's top-level one. NULL without pool.
IRP_CONTEXT* CreateIrpContext(PDEVICE_OBJECT device, PIRP irp) {
    auto* context =
        static_cast<IRP_CONTEXT*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IRP_CONTEXT), TAG_IRP_CONTEXT));
    if (!context) return nullptr;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    std::memcpy(context->Signature, kContextSignature, 4);
    context->Size = sizeof(IRP_CONTEXT);
    context->Irp = irp;
    context->MajorFunction = stack->MajorFunction;
    context->MinorFunction = stack->MinorFunction;
    context->DeviceObject = device;
    context->FileObject = stack->FileObject;
    switch (stack->MajorFunction) {
    case IRP_MJ_CLOSE:
    case IRP_MJ_DEVICE_CONTROL:
        context->Wait = TRUE;
        break;
    case IRP_MJ_CLEANUP:
        // Cleanup runs in the thread that closes the handle: it never blocks
        // there, a busy drive posts it instead.
        context->Wait = FALSE;
        break;
    default:
        context->Wait = IoIsOperationSynchronous(irp);
        break;
    }
    context->IsTopLevel = IoGetTopLevelIrp() == irp;
    context->WorkItem = nullptr;
    context->ExceptionStatus = STATUS_SUCCESS;
    return context;
}

void FreeIrpContext(IRP_CONTEXT* context) { ExFreePoolWithTag(context, TAG_IRP_CONTEXT); }

// Runs the request's handler, which owns the context from here (see the
// handler contract in dispatch.h). A major function the driver does not
// serve is completed at once with STATUS_DRIVER_INTERNAL_ERROR.
NTSTATUS DispatchRequest(IRP_CONTEXT* context) {
    switch (context->MajorFunction) {
    case IRP_MJ_CREATE:
        return CommonCreate(context);
    case IRP_MJ_CLOSE:
        return CommonClose(context);
    case IRP_MJ_QUERY_INFORMATION:
        return CommonQueryInformation(context);
    case IRP_MJ_SET_INFORMATION:
        return CommonSetInformation(context);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
        return CommonQueryVolumeInformation(context);
    case IRP_MJ_SET_VOLUME_INFORMATION:
        return CommonSetVolumeInformation(context);
    case IRP_MJ_DIRECTORY_CONTROL:
        return CommonDirectoryControl(context);
    case IRP_MJ_DEVICE_CONTROL:
        return CommonDeviceControl(context);
    case IRP_MJ_CLEANUP:
        return CommonCleanup(context);
    default:
        return CompleteRequest(context, STATUS_DRIVER_INTERNAL_ERROR, IO_NO_INCREMENT);
    }
}

// Completes the context's IRP (when it still has one) with status and boost,
// frees the context and returns status. The handler has set Information.
NTSTATUS CompleteRequest(IRP_CONTEXT* context, NTSTATUS status, CCHAR boost) {
    if (context->Irp) {
        context->Irp->IoStatus.Status = status;
        IoCompleteRequest(context->Irp, boost);
        context->Irp = nullptr;
    }
    FreeIrpContext(context);
    return status;
}

// A handler's last step: STATUS_PENDING (a lock it may not wait for is busy)
// posts the request to a worker; any other status completes it with the
// file-system boost rule.
NTSTATUS CompleteOrPost(IRP_CONTEXT* context, NTSTATUS status) {
    if (status == STATUS_PENDING) return PostRequest(context);
    return CompleteRequest(context, status, BoostFor(status));
}
