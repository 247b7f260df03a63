// IRP_MJ_CLOSE: the last reference of a file object goes. Frees the open's
// CCB and, with the folder's last reference, its FCB (never the root's).
// Close always waits for its locks, in whatever thread issues it.
#include "handlers.h"

namespace {

// Releases one open of a folder. Caller holds the VCB's MainResource
// exclusive, which guards the node's FCB pointer that FreeFcb clears.
void CloseFolderOpen(IRP_CONTEXT* context, VCB* vcb, FCB* fcb) {
    ResourceHold folder;
    folder.Exclusive(&fcb->MainResource, TRUE);
    --fcb->ReferenceCount;
    FreeCcb(static_cast<CCB*>(context->FileObject->FsContext2));
    context->FileObject->FsContext2 = nullptr;
    if (fcb->ReferenceCount == 0 && fcb != vcb->RootFcb) {
        // No file object names the FCB any more and the drive's lock keeps
        // new opens out, so nobody can be waiting for its resource.
        folder.Release();
        FreeFcb(fcb);
    }
}

}  // namespace

// The IRP_MJ_CLOSE handler: STATUS_SUCCESS on every valid handle.
NTSTATUS CommonClose(IRP_CONTEXT* context) {
    if (!OnControlDevice(context)) {
        VCB* vcb = VolumeVcb(context);
        ResourceHold drive;
        drive.Exclusive(&vcb->MainResource, TRUE);
        FCB* fcb = FolderFcbOf(context->FileObject, context->DeviceObject);
        if (fcb) CloseFolderOpen(context, vcb, fcb);
    }
    return CompleteRequest(context, STATUS_SUCCESS, BoostFor(STATUS_SUCCESS));
}
