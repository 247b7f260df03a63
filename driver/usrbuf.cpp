// Callers' buffers for the requests that fill them later (directory queries
// posted to a worker): locking the buffer down and mapping it again.
#include "dispatch.h"

// Describes the IRP's user buffer with an MDL attached to the IRP and probes
// and locks it for operation. STATUS_SUCCESS when the IRP already has an
// MDL; STATUS_INSUFFICIENT_RESOURCES when none can be allocated;
// STATUS_INVALID_USER_BUFFER when the buffer is not the caller's to use (the
// MDL is then freed again).
NTSTATUS LockUserBuffer(PIRP irp, ULONG length, LOCK_OPERATION operation) {
    if (irp->MdlAddress) return STATUS_SUCCESS;
    IoAllocateMdl(irp->UserBuffer, length, FALSE, FALSE, irp);
    PMDL mdl = irp->MdlAddress;
    if (!mdl) return STATUS_INSUFFICIENT_RESOURCES;
    try {
        MmProbeAndLockPages(mdl, irp->RequestorMode, operation);
    } catch (...) {
        IoFreeMdl(mdl);
        irp->MdlAddress = nullptr;
        return STATUS_INVALID_USER_BUFFER;
    }
    return STATUS_SUCCESS;
}

// The system address of the IRP's buffer: through its MDL when it has one
// (NULL when the system cannot map it), else the user buffer itself.
PVOID MapUserBuffer(PIRP irp) {
    PMDL mdl = irp->MdlAddress;
    if (!mdl) return irp->UserBuffer;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
}
