// IOCTL_DELETE_FOLDER and IOCTL_DELETE_MAPPING: a folder (with everything
// below it) or a mapping leaves its folder's registry key and the tree. Their
// status is the status word and the completion status.

#include "devctrl_support.h"
#include "store.h"

#include <mutex>

namespace {

// Deletes the folder or mapping (mapping TRUE) that path names. The drive's
// lock is held from the resolution through the registry change to the
// detach, so a rename cannot replace the node's name while its key or value
// is being deleted, and two deletes of one path cannot both run.
//
// Returns STATUS_OBJECT_NAME_NOT_FOUND when the letter has no drive or the
// path does not resolve completely; STATUS_CANNOT_DELETE for a drive root;
// STATUS_NOT_A_DIRECTORY (delete folder of a mapping) or
// STATUS_FILE_IS_A_DIRECTORY (delete mapping of a folder) when the node is
// not of the request's kind, since the registry change would miss it while
// memory lost it; a registry
// failure other than "not there" leaves the node in place and is returned.
NTSTATUS DeleteNode(PUNICODE_STRING path, BOOLEAN mapping) {
    std::shared_lock requests(ControlRequestLock);
    VCB* vcb = VcbFromLetter(path->Buffer[0]);
    if (vcb == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

    ExclusiveResource drive(&vcb->MainResource);
    UNICODE_STRING remainder{};
    TREE_NODE* node = nullptr;
    if (!NT_SUCCESS(ResolvePath(path, &remainder, &node)) || remainder.Length != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (node->Parent == nullptr) return STATUS_CANNOT_DELETE;
    NTSTATUS status = CheckNodeKind(node, mapping);
    if (!NT_SUCCESS(status)) return status;

    HANDLE key = nullptr;
    status = OpenParentKey(&key, node);
    if (NT_SUCCESS(status)) {
        status = mapping ? ZwDeleteValueKey(key, &node->Name) : DeleteKeyTree(key, &node->Name);
        ZwClose(key);
    }
    // What the registry no longer holds leaves memory too; any other failure
    // keeps memory as the registry still is.
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) return status;
    return RemoveChild(node);
}

NTSTATUS DeleteRequest(PIRP irp, BOOLEAN mapping) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);

    UNICODE_STRING path{};
    NTSTATUS status = CheckControlPath(reinterpret_cast<PWSTR>(request.Buffer), request.InputLength, &path);
    if (NT_SUCCESS(status)) status = DeleteNode(&path, mapping);
    return StatusInWordAndCompletion(irp, status);
}

}  // namespace

// Input: the folder's path. Output: status word (also the completion status).
NTSTATUS ControlDeleteFolder(PIRP irp) { return DeleteRequest(irp, FALSE); }

// Input: the mapping's path. Output: status word (also the completion status).
NTSTATUS ControlDeleteMapping(PIRP irp) { return DeleteRequest(irp, TRUE); }
