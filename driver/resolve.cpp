// From a drive letter to its VCB, and from a drive-qualified path to the
// deepest node of the namespace it names.
#include "namespace.h"

int DriveIndex(WCHAR letter) {
    if (letter >= u'a' && letter <= u'z') return letter - u'a';
    if (letter >= u'A' && letter <= u'Z') return letter - u'A';
    return -1;
}

// The drive of a letter (either case), or NULL when the letter has none or
// is not a letter. Takes DriveTableLock shared for the read.
VCB* VcbFromLetter(WCHAR letter) {
    int index = DriveIndex(letter);
    if (index < 0) return nullptr;
    std::shared_lock lock(DriveTableLock);
    return KrGlobal.DriveTable[index];
}

// Walks a drive-qualified path ("X:\a\b"): folds the letter to upper case
// in the caller's buffer, then, under the drive's MainResource (taken
// exclusive and released here), looks up one component after another from
// the root. On return node is the deepest node reached and remainder the
// part of the path not resolved, pointing into path's buffer (Length 0 when
// everything resolved). The first three characters are letter, colon and
// separator; a path of three characters or fewer names the root.
// Returns STATUS_DRIVER_INTERNAL_ERROR when the first character selects no
// drive (outputs untouched), else STATUS_SUCCESS.
NTSTATUS ResolvePath(PUNICODE_STRING path, PUNICODE_STRING remainder, TREE_NODE** node) {
    const USHORT units = path->Length / sizeof(WCHAR);
    if (units == 0 || !path->Buffer) return STATUS_DRIVER_INTERNAL_ERROR;
    WCHAR& letter = path->Buffer[0];
    if (letter >= u'a' && letter <= u'z') letter = static_cast<WCHAR>(letter - u'a' + u'A');
    VCB* vcb = VcbFromLetter(letter);
    if (!vcb) return STATUS_DRIVER_INTERNAL_ERROR;

    const USHORT skipped = units < 3 ? units : 3;
    UNICODE_STRING rest;
    MakeString(&rest, static_cast<USHORT>((units - skipped) * sizeof(WCHAR)), path->Buffer + skipped);

    ExAcquireResourceExclusiveLite(&vcb->MainResource, TRUE);
    TREE_NODE* at = vcb->RootFcb->Node;
    while (rest.Length != 0) {
        UNICODE_STRING component, after;
        FsRtlDissectName(rest, &component, &after);
        TREE_NODE* child = LookupChild(at, &component);
        if (!child) break;
        at = child;
        if (after.Length == 0) {
            // Keep the empty remainder inside the caller's buffer.
            MakeString(&rest, 0, path->Buffer + units);
            break;
        }
        rest = after;
    }
    ExReleaseResourceLite(&vcb->MainResource);
    *node = at;
    *remainder = rest;
    return STATUS_SUCCESS;
}
