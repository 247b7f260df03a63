// IOCTL_RENAME_MAPPING and IOCTL_RENAME_FOLDER: a new name for a mapping or
// a folder within its folder. Their verdict travels in the status word only.

#include "devctrl_support.h"
#include "store.h"

#include <mutex>

namespace {

// Gives the mapping node the name newName: sibling check, the registry value
// copied to the new name and the old one deleted (RenameValue), then the node
// detached, renamed and attached again. The caller holds the drive's lock.
//
// STATUS_OBJECT_NAME_COLLISION when a child of the parent has that name
// (the node itself included, for a change of case only); a failed registry
// copy leaves the value and the node as they were and is returned.
NTSTATUS RenameMappingNode(TREE_NODE* node, PCUNICODE_STRING newName) {
    TREE_NODE* parent = node->Parent;
    if (LookupChild(parent, newName) != nullptr) return STATUS_OBJECT_NAME_COLLISION;

    // Allocated before anything changes, so a lack of pool changes nothing.
    UNICODE_STRING name{};
    NTSTATUS status = DuplicateString(&name, newName);
    if (!NT_SUCCESS(status)) return status;

    HANDLE key = nullptr;
    status = OpenParentKey(&key, node);
    if (NT_SUCCESS(status)) {
        status = RenameValue(key, &node->Name, const_cast<PUNICODE_STRING>(newName));
        ZwClose(key);
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(name.Buffer, TAG_STRING);
        return status;
    }

    RemoveChild(node);
    // Names come from DuplicateString or, loaded from the registry, from
    // DuplicateBytes: free whichever tag the buffer carries.
    ExFreePoolWithTag(node->Name.Buffer, 0);
    node->Name = name;
    InsertChild(parent, node);
    return STATUS_SUCCESS;
}

// Renames the mapping (mapping TRUE) or folder that path names. The drive's
// lock is held from the resolution to the re-attachment.
//
// notFound is the request's answer for a path that does not resolve
// completely, and for a letter without drive. STATUS_ACCESS_DENIED for a
// drive root (it has no parent to be renamed in); CheckNodeKind's status when
// the node is not of the request's kind.
NTSTATUS RenameNode(PUNICODE_STRING path, PCUNICODE_STRING newName, BOOLEAN mapping, NTSTATUS notFound) {
    std::shared_lock requests(ControlRequestLock);
    VCB* vcb = VcbFromLetter(path->Buffer[0]);
    if (vcb == nullptr) return notFound;

    ExclusiveResource drive(&vcb->MainResource);
    UNICODE_STRING remainder{};
    TREE_NODE* node = nullptr;
    if (!NT_SUCCESS(ResolvePath(path, &remainder, &node)) || remainder.Length != 0) return notFound;
    if (node->Parent == nullptr) return STATUS_ACCESS_DENIED;
    NTSTATUS status = CheckNodeKind(node, mapping);
    if (!NT_SUCCESS(status)) return status;
    return mapping ? RenameMappingNode(node, newName) : RenameFolderNode(node, newName);
}

// Input: string pair (path, bare new name). Output: status word.
NTSTATUS RenameRequest(PIRP irp, BOOLEAN mapping, NTSTATUS notFound) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);

    UNICODE_STRING path{}, newName{};
    NTSTATUS status = SplitStringPair(reinterpret_cast<PWSTR>(request.Buffer), request.InputLength, &path, &newName);
    if (NT_SUCCESS(status)) status = CheckControlPathString(&path);
    if (NT_SUCCESS(status)) status = CheckComponentName(&newName);
    if (NT_SUCCESS(status)) status = RenameNode(&path, &newName, mapping, notFound);
    return VerdictInStatusWord(irp, status);
}

}  // namespace

// A missing mapping answers STATUS_UNSUCCESSFUL.
NTSTATUS ControlRenameMapping(PIRP irp) { return RenameRequest(irp, TRUE, STATUS_UNSUCCESSFUL); }

// A missing folder answers STATUS_INVALID_PARAMETER.
NTSTATUS ControlRenameFolder(PIRP irp) { return RenameRequest(irp, FALSE, STATUS_INVALID_PARAMETER); }
