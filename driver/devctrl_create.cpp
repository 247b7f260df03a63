// IOCTL_CREATE_FOLDER and IOCTL_CREATE_MAPPING: a new child of an existing
// folder, in memory and in the folder's registry key. Their verdict travels
// in the status word only.

#include "devctrl_support.h"

#include <mutex>

namespace {

// Creates the folder (target NULL) or mapping named by path. The collision
// check and the insertion happen under one hold of the drive's lock, so two
// requests cannot both create the same name.
//
// Returns STATUS_OBJECT_NAME_COLLISION when the path exists (folder or
// mapping, names compared without case); STATUS_OBJECT_PATH_NOT_FOUND when
// the letter has no drive, the parent folder does not exist (the remainder
// holds more than one component) or the parent is a mapping; the name checks
// of CheckCreateRemainder; else the status of the node's creation.
NTSTATUS CreateNode(PUNICODE_STRING path, PCUNICODE_STRING target) {
    std::shared_lock requests(ControlRequestLock);
    VCB* vcb = VcbFromLetter(path->Buffer[0]);
    if (vcb == nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;

    ExclusiveResource drive(&vcb->MainResource);
    UNICODE_STRING remainder{};
    TREE_NODE* parent = nullptr;
    if (!NT_SUCCESS(ResolvePath(path, &remainder, &parent))) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (remainder.Length == 0) return STATUS_OBJECT_NAME_COLLISION;
    // A path running on past a mapping: a mapping holds no children.
    if (parent->Target != nullptr) return STATUS_OBJECT_PATH_NOT_FOUND;
    NTSTATUS status = CheckCreateRemainder(&remainder);
    if (!NT_SUCCESS(status)) return status;

    TREE_NODE* node = nullptr;
    status = target == nullptr ? CreateFolderNode(&node, parent, &remainder)
                               : CreateMappingNode(&node, parent, &remainder, target);
    // A lookup that finds the new node splays it to the root of its parent's
    // tree. Insertion does not splay, so names arriving in order (a sorted
    // batch) would otherwise grow a list-shaped tree that every later create
    // in that folder walks from end to end.
    if (NT_SUCCESS(status)) LookupChild(parent, &node->Name);
    return status;
}

}  // namespace

// Input: the folder's path, filling the input exactly. Output: status word.
NTSTATUS ControlCreateFolder(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);

    UNICODE_STRING path{};
    NTSTATUS status = CheckControlPath(reinterpret_cast<PWSTR>(request.Buffer), request.InputLength, &path);
    if (NT_SUCCESS(status)) status = CreateNode(&path, nullptr);
    return VerdictInStatusWord(irp, status);
}

// Input: string pair (path, target as the user gave it). Output: status word.
// A string pair without both NULs inside the input answers
// STATUS_INVALID_PARAMETER.
NTSTATUS ControlCreateMapping(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);

    UNICODE_STRING path{}, target{};
    NTSTATUS status = SplitStringPair(reinterpret_cast<PWSTR>(request.Buffer), request.InputLength, &path, &target);
    if (NT_SUCCESS(status)) status = CheckControlPathString(&path);
    if (NT_SUCCESS(status)) status = CheckTarget(&target);
    if (NT_SUCCESS(status)) status = CreateNode(&path, &target);
    return VerdictInStatusWord(irp, status);
}
