// IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION on virtual folders and
// drive roots. A folder has no times, no size and no data; what is reported
// comes from its FCB and node. The changes accepted are a new name within
// the same parent folder and the deletion of an empty folder (carried out
// at its last cleanup).
#include "handlers.h"

#include <cstring>

namespace {

// Minimum lengths and results of the query classes.
constexpr ULONG kBasicLength = 40;
constexpr ULONG kStandardLength = 24;
constexpr ULONG kInternalLength = 8;
constexpr ULONG kEaLength = 4;
constexpr ULONG kNameOverhead = 6;  // FileNameLength and room for a terminator
constexpr ULONG kPositionLength = 8;
constexpr ULONG kAllLength = 104;
constexpr ULONG kAllOverhead = 102;  // the fixed part, FileNameLength and a terminator
constexpr ULONG kNetworkOpenLength = 56;
constexpr ULONG kAttributeTagLength = 8;

struct QueryBuffer {
    PUCHAR Data;
    ULONG Length;
    ULONG_PTR* Information;
};

// Writes value at offset of the caller's buffer; the buffer need not be
// aligned for the record.
template <typename T>
void Put(QueryBuffer& out, ULONG offset, const T& value) {
    std::memcpy(out.Data + offset, &value, sizeof(T));
}

FILE_BASIC_INFORMATION BasicOf(const FCB* fcb) {
    FILE_BASIC_INFORMATION basic{};
    basic.FileAttributes = fcb->FileAttributes;
    return basic;
}

FILE_STANDARD_INFORMATION StandardOf(const FCB* fcb) {
    FILE_STANDARD_INFORMATION standard{};
    standard.NumberOfLinks = 1;
    standard.DeletePending = FALSE;
    standard.Directory = (fcb->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? TRUE : FALSE;
    return standard;
}

// FileNameInformation: the node's own name ("\" for the root), not a path.
NTSTATUS QueryName(QueryBuffer& out, const FCB* fcb) {
    const UNICODE_STRING& name = fcb->Node->Name;
    if (out.Length < name.Length + kNameOverhead) return STATUS_INFO_LENGTH_MISMATCH;
    Put(out, offsetof(FILE_NAME_INFORMATION, FileNameLength), ULONG{name.Length});
    std::memcpy(out.Data + offsetof(FILE_NAME_INFORMATION, FileName), name.Buffer, name.Length);
    *out.Information = name.Length + kNameOverhead;
    return STATUS_SUCCESS;
}

// FileAllInformation: the fixed part always; the name only when it fits,
// else FileNameLength 0 and STATUS_BUFFER_OVERFLOW.
NTSTATUS QueryAll(QueryBuffer& out, const FCB* fcb, PFILE_OBJECT fileObject) {
    if (out.Length < kAllLength) return STATUS_INFO_LENGTH_MISMATCH;
    Put(out, offsetof(FILE_ALL_INFORMATION, BasicInformation), BasicOf(fcb));
    Put(out, offsetof(FILE_ALL_INFORMATION, StandardInformation), StandardOf(fcb));
    Put(out, offsetof(FILE_ALL_INFORMATION, InternalInformation), fcb->IndexNumber);
    Put(out, offsetof(FILE_ALL_INFORMATION, PositionInformation), fileObject->CurrentByteOffset);
    const UNICODE_STRING& name = fcb->Node->Name;
    if (out.Length < kAllOverhead + name.Length) {
        *out.Information = kAllLength;
        return STATUS_BUFFER_OVERFLOW;
    }
    constexpr ULONG nameInfo = offsetof(FILE_ALL_INFORMATION, NameInformation);
    Put(out, nameInfo + offsetof(FILE_NAME_INFORMATION, FileNameLength), ULONG{name.Length});
    std::memcpy(out.Data + nameInfo + offsetof(FILE_NAME_INFORMATION, FileName), name.Buffer, name.Length);
    *out.Information = kAllOverhead + name.Length;
    return STATUS_SUCCESS;
}

// Fills one fixed-size class: minimum then value at offset 0.
template <typename T>
NTSTATUS PutFixed(QueryBuffer& out, ULONG minimum, const T& value) {
    if (out.Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    Put(out, 0, value);
    *out.Information = minimum;
    return STATUS_SUCCESS;
}

// Fills one query class into the zeroed buffer.
//   STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_INFO_LENGTH_MISMATCH,
//   STATUS_INVALID_INFO_CLASS.
// Caller holds the VCB's and the FCB's MainResource shared.
NTSTATUS FillQueryClass(QueryBuffer& out, FILE_INFORMATION_CLASS infoClass, const FCB* fcb, PFILE_OBJECT fileObject) {
    switch (infoClass) {
    case FileBasicInformation:
        return PutFixed(out, kBasicLength, BasicOf(fcb));
    case FileStandardInformation:
        return PutFixed(out, kStandardLength, StandardOf(fcb));
    case FileInternalInformation:
        return PutFixed(out, kInternalLength, fcb->IndexNumber);
    case FileEaInformation:
        return PutFixed(out, kEaLength, ULONG{0});
    case FileNameInformation:
        return QueryName(out, fcb);
    case FilePositionInformation:
        return PutFixed(out, kPositionLength, fileObject->CurrentByteOffset);
    case FileAllInformation:
        return QueryAll(out, fcb, fileObject);
    case FileNetworkOpenInformation: {
        FILE_NETWORK_OPEN_INFORMATION info{};
        info.FileAttributes = fcb->FileAttributes;
        return PutFixed(out, kNetworkOpenLength, info);
    }
    case FileAttributeTagInformation:
        return PutFixed(out, kAttributeTagLength, FILE_ATTRIBUTE_TAG_INFORMATION{fcb->FileAttributes, 0});
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

// The query under its locks. The drive's lock is held shared besides the
// folder's: a control request may rename the folder, which replaces the
// node's name, under the drive's lock alone.
//   The fill status; STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_PARAMETER;
//   STATUS_PENDING when a lock could not be had without waiting.
NTSTATUS QueryInformation(IRP_CONTEXT* context) {
    if (OnControlDevice(context)) return STATUS_INVALID_DEVICE_REQUEST;
    FCB* fcb = FolderFcbOf(context->FileObject, context->DeviceObject);
    if (!fcb) return STATUS_INVALID_PARAMETER;
    ResourceHold drive;
    if (!drive.Shared(&VolumeVcb(context)->MainResource, context->Wait)) return STATUS_PENDING;
    ResourceHold folder;
    if (!folder.Shared(&fcb->MainResource, context->Wait)) return STATUS_PENDING;

    PIRP irp = context->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    QueryBuffer out{static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer), stack->Parameters.QueryFile.Length,
                    &irp->IoStatus.Information};
    if (!out.Data) out.Length = 0;
    if (out.Length) std::memset(out.Data, 0, out.Length);
    irp->IoStatus.Information = 0;
    return FillQueryClass(out, stack->Parameters.QueryFile.FileInformationClass, fcb, context->FileObject);
}

// FileRenameInformation: a new name within the same parent. The target
// directory the I/O manager opened must be this folder's parent; its file
// name, cut down to the final component by the create handler, is the new
// name. Caller holds the VCB's and the FCB's MainResource exclusive.
NTSTATUS RenameFolder(IRP_CONTEXT* context, FCB* fcb) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(context->Irp);
    TREE_NODE* node = fcb->Node;
    FCB* targetDirectory = FolderFcbOf(stack->Parameters.SetFile.FileObject, context->DeviceObject);
    if (!targetDirectory || !node->Parent || targetDirectory->Node != node->Parent) return STATUS_ACCESS_DENIED;
    PUNICODE_STRING newName = &stack->Parameters.SetFile.FileObject->FileName;
    if (!NT_SUCCESS(CheckComponentName(newName))) return STATUS_OBJECT_NAME_INVALID;
    return RenameFolderNode(node, newName);
}

// FileDispositionInformation: marks an empty folder for deletion at its last
// cleanup, or clears the mark. Caller holds both locks exclusive.
NTSTATUS SetDisposition(IRP_CONTEXT* context, FCB* fcb) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(context->Irp);
    const auto* info = static_cast<const FILE_DISPOSITION_INFORMATION*>(context->Irp->AssociatedIrp.SystemBuffer);
    if (!info || stack->Parameters.SetFile.Length < sizeof(FILE_DISPOSITION_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (!info->DeleteFile) {
        fcb->FcbState &= ~FCB_STATE_DELETE_ON_CLEANUP;
        context->FileObject->DeletePending = FALSE;
        return STATUS_SUCCESS;
    }
    if (fcb->Header.NodeTypeCode == KR_NTC_ROOT_FCB) return STATUS_CANNOT_DELETE;
    if (!IsFolderEmpty(fcb->Node)) return STATUS_DIRECTORY_NOT_EMPTY;
    fcb->FcbState |= FCB_STATE_DELETE_ON_CLEANUP;
    context->FileObject->DeletePending = TRUE;
    return STATUS_SUCCESS;
}

// The change under its locks: the drive's first for the classes that touch
// the tree, then the folder's.
//   The class's status; STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_PARAMETER,
//   STATUS_INVALID_INFO_CLASS; STATUS_PENDING when a lock was busy.
NTSTATUS SetInformation(IRP_CONTEXT* context) {
    if (OnControlDevice(context)) return STATUS_INVALID_DEVICE_REQUEST;
    FCB* fcb = FolderFcbOf(context->FileObject, context->DeviceObject);
    if (!fcb) return STATUS_INVALID_PARAMETER;
    const FILE_INFORMATION_CLASS infoClass =
        IoGetCurrentIrpStackLocation(context->Irp)->Parameters.SetFile.FileInformationClass;

    ResourceHold drive;
    const BOOLEAN changesTree = infoClass == FileRenameInformation || infoClass == FileLinkInformation ||
                                infoClass == FileDispositionInformation;
    if (changesTree && !drive.Exclusive(&VolumeVcb(context)->MainResource, context->Wait)) return STATUS_PENDING;
    ResourceHold folder;
    if (!folder.Exclusive(&fcb->MainResource, context->Wait)) return STATUS_PENDING;

    switch (infoClass) {
    case FileRenameInformation:
        return RenameFolder(context, fcb);
    case FileDispositionInformation:
        return SetDisposition(context, fcb);
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

}  // namespace

// The IRP_MJ_QUERY_INFORMATION handler: completes with the fill status and
// the bytes filled, or posts when a lock is busy and the request may not wait.
NTSTATUS CommonQueryInformation(IRP_CONTEXT* context) {
    NTSTATUS status = QueryInformation(context);
    if (NT_ERROR(status)) context->Irp->IoStatus.Information = 0;
    return CompleteOrPost(context, status);
}

// The IRP_MJ_SET_INFORMATION handler; Information is left as the I/O
// manager set it.
NTSTATUS CommonSetInformation(IRP_CONTEXT* context) { return CompleteOrPost(context, SetInformation(context)); }
