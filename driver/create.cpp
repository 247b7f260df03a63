// IRP_MJ_CREATE: opens of the control device, of a volume, of its virtual
// folders, and the reparse of every path that passes through a mapping.
//
// A path on a drive is walked through the drive's tree under the drive's
// lock. A walk that meets a mapping rewrites the file object's name into the
// mapping's target followed by the rest of the path and answers
// STATUS_REPARSE; the I/O manager then opens the real item. A walk that ends
// on a folder opens it with an FCB and a CCB.
#include "handlers.h"

#include <cstring>
#include <random>

namespace {

constexpr WCHAR kBackslash = u'\\';

struct CreateRequest {
    IRP_CONTEXT* Context;
    PIRP Irp;
    PIO_STACK_LOCATION Stack;
    PFILE_OBJECT FileObject;
    VCB* Vcb;
    BOOLEAN OpenTargetDirectory;
    BOOLEAN MayCreate;
};

BOOLEAN EndsWithBackslash(PCUNICODE_STRING s) {
    return s->Length >= sizeof(WCHAR) && s->Buffer[s->Length / sizeof(WCHAR) - 1] == kBackslash;
}

// The file name without its leading backslashes (no copy).
UNICODE_STRING WithoutLeadingBackslashes(PCUNICODE_STRING name) {
    UNICODE_STRING rest = name->Buffer ? *name : UNICODE_STRING{0, 0, nullptr};
    while (rest.Length >= sizeof(WCHAR) && rest.Buffer[0] == kBackslash) {
        ++rest.Buffer;
        rest.Length -= sizeof(WCHAR);
        rest.MaximumLength -= sizeof(WCHAR);
    }
    return rest;
}

// Opens the control device: nothing to set up.
NTSTATUS OpenControlObject(IRP_CONTEXT* context) {
    context->Irp->IoStatus.Information = FILE_OPENED;
    return CompleteRequest(context, STATUS_SUCCESS, IO_NO_INCREMENT);
}

// Opens the volume itself: FsContext names the VCB; no CCB, no share access.
NTSTATUS OpenVolumeObject(CreateRequest& request) {
    request.FileObject->FsContext = request.Vcb;
    request.Irp->IoStatus.Information = FILE_OPENED;
    return CompleteRequest(request.Context, STATUS_SUCCESS, IO_NO_INCREMENT);
}

// Rewrites the file object's name into the mapping's target followed by the
// rest of the path. The new name is built before the old one is freed, so a
// refusal leaves the file object as it was.
//   STATUS_REPARSE; STATUS_OBJECT_PATH_NOT_FOUND when the path goes on past a
//   file mapping; STATUS_OBJECT_NAME_NOT_FOUND for a mapping without target;
//   STATUS_NAME_TOO_LONG when the name would not fit a counted string;
//   STATUS_INSUFFICIENT_RESOURCES.
// Caller holds the VCB's MainResource exclusive.
NTSTATUS ReparseToTarget(CreateRequest& request, const TREE_NODE* mapping, PCUNICODE_STRING rest) {
    PCUNICODE_STRING target = mapping->Target;
    if (target->Length == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
    // Only a folder target (ending with a backslash) has items below it.
    if (rest->Length != 0 && !EndsWithBackslash(target)) return STATUS_OBJECT_PATH_NOT_FOUND;
    const ULONG total = ULONG{target->Length} + rest->Length;
    if (total > 0xFFFE) return STATUS_NAME_TOO_LONG;

    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, total, TAG_REPARSE_NAME));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name{0, static_cast<USHORT>(total), buffer};
    RtlCopyUnicodeString(&name, target);
    RtlAppendUnicodeStringToString(&name, rest);  // rest lies in the old name: append before freeing it

    PFILE_OBJECT fileObject = request.FileObject;
    if (fileObject->FileName.Buffer) ExFreePool(fileObject->FileName.Buffer);
    fileObject->FileName = name;
    return STATUS_REPARSE;
}

// Cuts the file object's name down to its final component, which the rename
// handler reads as the new name: a trailing backslash goes, then everything
// up to the last backslash. A name without a backslash stays as it is.
void CutToFinalComponent(PUNICODE_STRING name) {
    size_t units = name->Length / sizeof(WCHAR);
    size_t end = units;
    if (end > 0 && name->Buffer[end - 1] == kBackslash) --end;
    size_t start = end;
    while (start > 0 && name->Buffer[start - 1] != kBackslash) --start;
    if (start == 0 && end == units) return;
    std::memmove(name->Buffer, name->Buffer + start, (end - start) * sizeof(WCHAR));
    name->Length = static_cast<USHORT>((end - start) * sizeof(WCHAR));
}

// Opens the folder fcb for the file object: share access, CCB, counts.
//   STATUS_SUCCESS; the share-access status; STATUS_INSUFFICIENT_RESOURCES.
// Caller holds the VCB's MainResource exclusive, which serialises every
// change of the counts and share access.
NTSTATUS OpenFolder(CreateRequest& request, FCB* fcb) {
    PIO_STACK_LOCATION stack = request.Stack;
    PFILE_OBJECT fileObject = request.FileObject;
    const ACCESS_MASK desiredAccess =
        stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
    const ULONG shareAccess = stack->Parameters.Create.ShareAccess;

    if (fcb->OpenHandleCount >= 1) {
        NTSTATUS status = IoCheckShareAccess(desiredAccess, shareAccess, fileObject, &fcb->ShareAccess, FALSE);
        if (!NT_SUCCESS(status)) return status;
    }
    CCB* ccb = AllocateCcb();
    if (!ccb) return STATUS_INSUFFICIENT_RESOURCES;

    ++fcb->OpenHandleCount;
    ++fcb->ReferenceCount;
    fileObject->FsContext = fcb;
    fileObject->FsContext2 = ccb;
    fileObject->SectionObjectPointer = nullptr;
    fileObject->PrivateCacheMap = nullptr;
    fileObject->Vpb = nullptr;
    if (fcb->OpenHandleCount == 1) {
        IoSetShareAccess(desiredAccess, shareAccess, fileObject, &fcb->ShareAccess);
    } else {
        IoUpdateShareAccess(fileObject, &fcb->ShareAccess);
    }
    return STATUS_SUCCESS;
}

// Opens the folder node at the end of a walk, giving it an FCB when it has
// none; an FCB made here and not used is freed again. With open-target-
// directory, finalName is the component the folder would hold.
// Caller holds the VCB's MainResource exclusive.
NTSTATUS OpenFolderNode(CreateRequest& request, TREE_NODE* node, PCUNICODE_STRING finalName) {
    FCB* fcb = node->Fcb;
    BOOLEAN fresh = FALSE;
    if (!fcb) {
        fcb = AllocateFcb(request.Vcb);
        if (!fcb) return STATUS_INSUFFICIENT_RESOURCES;
        fcb->Node = node;
        node->Fcb = fcb;
        fresh = TRUE;
    }
    // Written once per FCB before any handle can query it; later opens only read.
    const LONGLONG index = FolderIndexNumber(node);
    if (fcb->IndexNumber.QuadPart != index) fcb->IndexNumber.QuadPart = index;

    NTSTATUS status = OpenFolder(request, fcb);
    if (!NT_SUCCESS(status)) {
        if (fresh) FreeFcb(fcb);
        return status;
    }
    if (!request.OpenTargetDirectory) {
        request.Irp->IoStatus.Information = FILE_OPENED;
    } else {
        request.Irp->IoStatus.Information = LookupChild(node, finalName) ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
        CutToFinalComponent(&request.FileObject->FileName);
    }
    return STATUS_SUCCESS;
}

// Walks the file name from the starting folder and either reparses at a
// mapping or opens the folder it ends on. Folders missing on the way are made
// (in memory and registry) when the request may create directories.
//   STATUS_SUCCESS, STATUS_REPARSE, STATUS_OBJECT_NAME_NOT_FOUND,
//   STATUS_OBJECT_NAME_INVALID (a folder name that may not be created), and
//   the statuses of ReparseToTarget, OpenFolderNode and CreateFolderNode.
// Caller holds the VCB's MainResource exclusive.
NTSTATUS WalkAndOpen(CreateRequest& request) {
    FCB* start = FolderFcbOf(request.FileObject->RelatedFileObject, request.Context->DeviceObject);
    TREE_NODE* node = start ? start->Node : request.Vcb->RootFcb->Node;
    UNICODE_STRING remaining = WithoutLeadingBackslashes(&request.FileObject->FileName);
    UNICODE_STRING component{0, 0, nullptr};

    while (remaining.Length != 0) {
        UNICODE_STRING rest;
        FsRtlDissectName(remaining, &component, &rest);
        if (rest.Length == 0 && request.OpenTargetDirectory) break;

        TREE_NODE* child = LookupChild(node, &component);
        if (!child) {
            if (!request.MayCreate) return STATUS_OBJECT_NAME_NOT_FOUND;
            if (!NT_SUCCESS(CheckComponentName(&component))) return STATUS_OBJECT_NAME_INVALID;
            NTSTATUS status = CreateFolderNode(&child, node, &component);
            if (!NT_SUCCESS(status)) return status;
        }
        if (!child->Fcb && child->Target) return ReparseToTarget(request, child, &rest);
        node = child;
        remaining = rest;
    }
    return OpenFolderNode(request, node, &component);
}

// An open on a volume device: the volume itself, or a path on the drive.
NTSTATUS CreateOnVolume(IRP_CONTEXT* context) {
    PIRP irp = context->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG options = stack->Parameters.Create.Options & 0x00FFFFFF;
    const ULONG disposition = stack->Parameters.Create.Options >> 24;
    CreateRequest request{context,
                          irp,
                          stack,
                          context->FileObject,
                          VolumeVcb(context),
                          static_cast<BOOLEAN>((stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0),
                          static_cast<BOOLEAN>((options & FILE_DIRECTORY_FILE) != 0 &&
                                               (disposition == FILE_CREATE || disposition == FILE_OPEN_IF))};

    PFILE_OBJECT related = request.FileObject->RelatedFileObject;
    const BOOLEAN relatedIsVolume = related && related->DeviceObject == context->DeviceObject &&
                                    related->FsContext && IsVcb(related->FsContext);
    if (request.FileObject->FileName.Length == 0 && (!related || relatedIsVolume)) return OpenVolumeObject(request);

    NTSTATUS status;
    {
        // The walk splays the tree, attaches FCBs and may create folders:
        // always wait for the drive's lock, whatever the request's Wait says.
        ResourceHold drive;
        drive.Exclusive(&request.Vcb->MainResource, TRUE);
        status = WalkAndOpen(request);
    }
    if (status == STATUS_REPARSE) {
        irp->IoStatus.Information = IO_REPARSE;
        return CompleteRequest(context, STATUS_REPARSE, IO_NO_INCREMENT);
    }
    if (!NT_SUCCESS(status)) irp->IoStatus.Information = 0;
    return CompleteRequest(context, status, BoostFor(status));
}

}  // namespace

FCB* FolderFcbOf(PFILE_OBJECT fileObject, PDEVICE_OBJECT device) {
    if (!fileObject || fileObject->DeviceObject != device || !fileObject->FsContext) return nullptr;
    return IsFcb(fileObject->FsContext) ? static_cast<FCB*>(fileObject->FsContext) : nullptr;
}

LONGLONG FolderIndexNumber(const TREE_NODE* node) {
    // A secret drawn once per driver run keeps node addresses out of user mode.
    static const ULONGLONG secret = [] {
        std::random_device device;
        return (ULONGLONG{device()} << 32) | device();
    }();
    ULONGLONG x = static_cast<ULONGLONG>(reinterpret_cast<uintptr_t>(node)) ^ secret;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;  // a bijective mix
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return static_cast<LONGLONG>(x & 0x7FFFFFFFFFFFFFFFULL);
}

// The IRP_MJ_CREATE handler. Control-device opens succeed at once; a create
// without a file object is refused; the rest are opens on a volume.
NTSTATUS CommonCreate(IRP_CONTEXT* context) {
    if (OnControlDevice(context)) return OpenControlObject(context);
    if (!context->FileObject) {
        context->Irp->IoStatus.Information = 0;
        return CompleteRequest(context, STATUS_INVALID_PARAMETER, BoostFor(STATUS_INVALID_PARAMETER));
    }
    return CreateOnVolume(context);
}
