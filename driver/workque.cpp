// Posting: a request that must not block but meets a busy lock is handed to a
// system worker thread, where its handler runs again from the start, this
// time allowed to wait.
#include "dispatch.h"

// Posts the context's request to the critical work queue: Wait becomes TRUE,
// the IRP is marked pending and a work item queued that runs FspWorker.
// Always returns STATUS_PENDING; without pool for the work item the request
// is completed at once with STATUS_INSUFFICIENT_RESOURCES and the context
// freed. The context belongs to the worker (or is gone) once this returns.
NTSTATUS PostRequest(IRP_CONTEXT* context) {
    context->Wait = TRUE;
    IoMarkIrpPending(context->Irp);
    context->WorkItem = IoAllocateWorkItem(context->DeviceObject);
    if (!context->WorkItem) {
        context->Irp->IoStatus.Information = 0;
        CompleteRequest(context, STATUS_INSUFFICIENT_RESOURCES, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    IoQueueWorkItem(context->WorkItem, FspWorker, CriticalWorkQueue, context);
    return STATUS_PENDING;
}

// The work-item routine of a posted request: frees the work item, then runs
// the request through its handler again inside the same exception frame as
// FsdDispatch, in a critical region, with the thread marked as the file
// system's worker when the request was not top-level where it came from.
// An unexpected exception cannot be left to the worker thread, which has no
// frame to fail the request: the request is completed with its status
// instead, so its issuer does not wait forever.
void FspWorker(PDEVICE_OBJECT device, PVOID parameter) {
    UNREFERENCED_PARAMETER(device);
    auto* context = static_cast<IRP_CONTEXT*>(parameter);
    IoFreeWorkItem(context->WorkItem);
    context->WorkItem = nullptr;
    PIRP irp = context->Irp;

    KeEnterCriticalRegion();
    if (!context->IsTopLevel) IoSetTopLevelIrp(FSRTL_FSP_TOP_LEVEL_IRP);
    try {
        NtTryExcept([&] { return DispatchRequest(context); },
                    [&](NTSTATUS code) { return ExceptionFilter(context, code); },
                    [&](NTSTATUS) { return ProcessException(context); });
    } catch (const NtStatusException& e) {
        // The filter declined it and has freed the context.
        irp->IoStatus.Status = e.status();
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    IoSetTopLevelIrp(nullptr);
    KeLeaveCriticalRegion();
}
