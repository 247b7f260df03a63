// IRP_MJ_CLEANUP: the last handle of a file object is closed. Withdraws the
// handle's share access and, when it was the folder's last handle and the
// folder is marked for deletion, deletes the folder from the tree and the
// registry.
//
// Cleanup arrives in the thread that closes the handle and must not block
// there: when either lock is busy the request is posted to a worker.
#include "handlers.h"
#include "store.h"

namespace {

// Deletes a folder whose last handle is being cleaned up: its registry key
// tree, then its node. The FCB stays, on the detached node, until its last
// close. A folder that has left the tree already (deleted by a control
// request) or has gained children since the delete was asked for is kept:
// the deletion would otherwise hit a foreign key or drop those children.
// A cleanup cannot fail, so when the store refuses the deletion (any failure
// but "not there") the folder stays in the tree as it stays in the store,
// rather than vanish now and come back at the next start.
// Caller holds the VCB's and the FCB's MainResource exclusive.
void DeleteFolderAtCleanup(FCB* fcb) {
    TREE_NODE* node = fcb->Node;
    fcb->FcbState &= ~FCB_STATE_DELETE_ON_CLEANUP;
    if (!node->Parent || !IsFolderEmpty(node)) return;
    HANDLE parentKey = nullptr;
    NTSTATUS status = OpenParentKey(&parentKey, node);
    if (NT_SUCCESS(status)) {
        status = DeleteKeyTree(parentKey, &node->Name);
        ZwClose(parentKey);
    }
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) return;
    RemoveChild(node);
}

// The cleanup itself: STATUS_SUCCESS, or STATUS_PENDING when a lock could
// not be had without waiting.
NTSTATUS CleanupFileObject(IRP_CONTEXT* context) {
    if (OnControlDevice(context)) return STATUS_SUCCESS;
    VCB* vcb = VolumeVcb(context);
    ResourceHold drive;
    if (!drive.Exclusive(&vcb->MainResource, context->Wait)) return STATUS_PENDING;

    PFILE_OBJECT fileObject = context->FileObject;
    FCB* fcb = FolderFcbOf(fileObject, context->DeviceObject);
    if (!fcb) return STATUS_SUCCESS;  // a volume open
    ResourceHold folder;
    if (!folder.Exclusive(&fcb->MainResource, context->Wait)) return STATUS_PENDING;

    --fcb->OpenHandleCount;
    IoRemoveShareAccess(fileObject, &fcb->ShareAccess);
    if (fcb->OpenHandleCount == 0 && (fcb->FcbState & FCB_STATE_DELETE_ON_CLEANUP)) DeleteFolderAtCleanup(fcb);
    return STATUS_SUCCESS;
}

}  // namespace

// The IRP_MJ_CLEANUP handler. Never fails on a valid handle; a busy lock
// posts the request, which then runs again from the start in a worker.
// FO_CLEANUP_COMPLETE is set once the cleanup has really been done.
NTSTATUS CommonCleanup(IRP_CONTEXT* context) {
    NTSTATUS status = CleanupFileObject(context);
    if (status != STATUS_PENDING && context->FileObject) context->FileObject->Flags |= FO_CLEANUP_COMPLETE;
    return CompleteOrPost(context, status);
}
