// IRPs: allocation, sending a request to a driver, completion and the wait of
// the thread that issued it.
//
// A driver either completes a request before its dispatch routine returns or
// marks it pending and completes it later, often from a worker thread; the
// issuing thread waits for the completion either way and only then reads the
// result and frees the IRP.
#include "exceptions.h"
#include "iomgr.h"
#include "pool.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <new>

namespace korin::io {
namespace {

constexpr SHORT kIrpType = 6;
constexpr ULONG kSystemBufferTag = PoolTag("IoSb");

[[noreturn]] void IoBug(const char* what, PIRP irp) {
    std::fprintf(stderr, "KORIN I/O BUG: %s (%s, IRP %p)\n", what, IrpMajorName(irp->Stack.MajorFunction),
                 static_cast<void*>(irp));
    std::fflush(stderr);
    std::abort();
}

// Completes irp with status unless the driver already did (an exception may
// escape a routine before or after it completed the request). Checked and
// completed under one hold of the lock, so a worker completing the request at
// the same moment is not taken for a second completion.
void CompleteUnlessCompleted(PIRP irp, NTSTATUS status) {
    auto& completion = irp->Completion;
    std::lock_guard lock(completion.Mutex);
    if (completion.Completed) return;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    irp->PendingReturned = (irp->Stack.Control & SL_PENDING_RETURNED) != 0;
    completion.PriorityBoost = IO_NO_INCREMENT;
    completion.Completed = true;
    completion.Done.notify_all();
}

}  // namespace

PIRP AllocateIrp(UCHAR major, PFILE_OBJECT fileObject, KPROCESSOR_MODE mode) {
    PIRP irp = new IRP();
    irp->Type = kIrpType;
    irp->Size = sizeof(IRP);
    irp->RequestorMode = mode;
    irp->Stack.MajorFunction = major;
    irp->Stack.FileObject = fileObject;
    irp->Stack.DeviceObject = fileObject ? fileObject->DeviceObject : nullptr;
    return irp;
}

bool AllocateSystemBuffer(PIRP irp, ULONG length) {
    if (length == 0) return true;
    PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, length, kSystemBufferTag);
    if (!buffer) return false;
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO;
    return true;
}

void FreeIrp(PIRP irp) {
    // MDLs a driver attached to describe the caller's buffer go with the request.
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
        mdl = next;
    }
    if ((irp->Flags & IRP_BUFFERED_IO) && irp->AssociatedIrp.SystemBuffer)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
    delete irp;
}

NTSTATUS SendIrpAndWait(PIRP irp) {
    PDEVICE_OBJECT device = irp->Stack.DeviceObject;
    NTSTATUS returned = IoCallDriver(device, irp);
    std::unique_lock lock(irp->Completion.Mutex);
    if (!irp->Completion.Completed && returned != STATUS_PENDING) {
        // The request is still the driver's: waiting is the only safe course.
        std::fprintf(stderr, "korin: %s returned %s without completing the request; waiting for it\n",
                     IrpMajorName(irp->Stack.MajorFunction), NtStatusName(returned));
    }
    irp->Completion.Done.wait(lock, [&] { return irp->Completion.Completed; });
    lock.unlock();
    NotifyRequestCompleted(irp);
    return irp->IoStatus.Status;
}

NTSTATUS SendBufferedRequest(PIRP irp, PVOID buffer, ULONG length, bool copyBack, PIO_STATUS_BLOCK ioStatus) {
    UserBufferScope scope(buffer, length);
    irp->UserBuffer = buffer;
    NTSTATUS status = SendIrpAndWait(irp);
    if (copyBack && !NT_ERROR(status) && irp->AssociatedIrp.SystemBuffer) {
        size_t bytes = std::min<ULONG_PTR>(irp->IoStatus.Information, length);
        std::memcpy(buffer, irp->AssociatedIrp.SystemBuffer, bytes);
    }
    *ioStatus = irp->IoStatus;
    FreeIrp(irp);
    return status;
}

}  // namespace korin::io

// A status raised out of a dispatch routine, or any C++ exception escaping
// it, ends the request with that status instead of the process. The thread
// state a routine sets on entry (top-level IRP, critical region) and could not
// undo is restored.
NTSTATUS IoCallDriver(PDEVICE_OBJECT device, PIRP irp) {
    irp->Stack.DeviceObject = device;
    UCHAR major = irp->Stack.MajorFunction;
    if (major > IRP_MJ_MAXIMUM_FUNCTION) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[major];
    IRP* topLevel = IoGetTopLevelIrp();
    ULONG criticalRegions = KeCriticalRegionDepth();
    NTSTATUS status;
    try {
        return dispatch(device, irp);
    } catch (const NtStatusException& e) {
        status = e.status();
    } catch (const std::bad_alloc&) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korin: %s threw %s\n", IrpMajorName(major), e.what());
        status = STATUS_DRIVER_INTERNAL_ERROR;
    }
    IoSetTopLevelIrp(topLevel);
    while (KeCriticalRegionDepth() > criticalRegions) KeLeaveCriticalRegion();
    korin::io::CompleteUnlessCompleted(irp, status);
    return status;
}

void IoCompleteRequest(PIRP irp, CCHAR priorityBoost) {
    auto& completion = irp->Completion;
    std::lock_guard lock(completion.Mutex);
    if (completion.Completed) korin::io::IoBug("request completed twice", irp);
    if (irp->IoStatus.Status == STATUS_PENDING) korin::io::IoBug("request completed with STATUS_PENDING", irp);
    irp->PendingReturned = (irp->Stack.Control & SL_PENDING_RETURNED) != 0;
    completion.PriorityBoost = priorityBoost;
    completion.Completed = true;
    // Notified under the lock: the waiter frees the IRP as soon as it sees Completed.
    completion.Done.notify_all();
}

// Synchronous: the caller waits for the result (the system calls that are
// synchronous by nature mark their requests IRP_SYNCHRONOUS_API), or the file
// was opened for synchronous I/O. Anything else may be posted by the driver.
BOOLEAN IoIsOperationSynchronous(PIRP irp) {
    if (irp->Flags & IRP_SYNCHRONOUS_API) return TRUE;
    PFILE_OBJECT fileObject = irp->Stack.FileObject;
    return fileObject && (fileObject->Flags & FO_SYNCHRONOUS_IO) ? TRUE : FALSE;
}
