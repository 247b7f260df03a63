// The caller's buffers of a request.
#include "hostfs_internal.h"

namespace korin::hostfs {

namespace {

// The MDL's system address, or the user buffer after a probe when the caller
// is user mode. Raises STATUS_ACCESS_VIOLATION for a bad user buffer.
PVOID CallerBuffer(PIRP irp, ULONG length, bool forWrite) {
    if (irp->MdlAddress) {
        return MmMapLockedPagesSpecifyCache(irp->MdlAddress, KernelMode, MmCached, nullptr, FALSE,
                                            NormalPagePriority);
    }
    if (irp->UserBuffer && irp->RequestorMode == UserMode && length != 0) {
        if (forWrite) {
            ProbeForWrite(irp->UserBuffer, length, 1);
        } else {
            ProbeForRead(irp->UserBuffer, length, 1);
        }
    }
    return irp->UserBuffer;
}

}  // namespace

PVOID OutputBuffer(PIRP irp, ULONG length) {
    if ((irp->Flags & IRP_BUFFERED_IO) && irp->AssociatedIrp.SystemBuffer) return irp->AssociatedIrp.SystemBuffer;
    return CallerBuffer(irp, length, true);
}

PVOID InputBuffer(PIRP irp, ULONG length) {
    if ((irp->Flags & IRP_BUFFERED_IO) && irp->AssociatedIrp.SystemBuffer) return irp->AssociatedIrp.SystemBuffer;
    return CallerBuffer(irp, length, false);
}

PVOID InfoBuffer(PIRP irp, ULONG length, bool forWrite) {
    // Information requests are buffered by the I/O manager; a caller's own
    // buffer is accepted the same way as for reads and writes.
    if (irp->AssociatedIrp.SystemBuffer) return irp->AssociatedIrp.SystemBuffer;
    return CallerBuffer(irp, length, forWrite);
}

std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

}  // namespace korin::hostfs
