// IRP_MJ_QUERY_VOLUME_INFORMATION and IRP_MJ_SET_VOLUME_INFORMATION: a
// virtual drive as a volume. Label, file-system name and attributes, device
// type and a fixed size (100 GiB, all free); a new label renames the drive
// in memory and in its DriveRecord.
#include "drive.h"
#include "handlers.h"
#include "store.h"

#include <cstring>
#include <utility>

namespace {

constexpr ULONG kVolumeLength = 24;
constexpr ULONG kVolumeLabelOverhead = 22;  // the fixed part and room for a terminator
constexpr ULONG kSizeLength = 24;
constexpr ULONG kDeviceLength = 8;
constexpr ULONG kAttributeLength = 16;
constexpr ULONG kAttributeFullLength = 64;
constexpr ULONG kFileSystemNameBytes = 50;
constexpr ULONG kFullSizeLength = 32;
constexpr LONGLONG kAllocationUnits = 102400;
constexpr ULONG kSectorsPerUnit = 1024;
constexpr ULONG kBytesPerSector = 1024;
constexpr ULONG kFileSystemAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
constexpr LONG kMaximumComponentLength = 512;
constexpr WCHAR kFileSystemName[] = u"Korin";

struct VolumeBuffer {
    PUCHAR Data;
    ULONG Length;
    ULONG_PTR* Information;
};

// Writes value at offset; the system buffer need not be aligned for it.
template <typename T>
void Put(VolumeBuffer& out, ULONG offset, const T& value) {
    std::memcpy(out.Data + offset, &value, sizeof(T));
}

template <typename T>
NTSTATUS PutFixed(VolumeBuffer& out, ULONG minimum, const T& value) {
    if (out.Length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    Put(out, 0, value);
    *out.Information = minimum;
    return STATUS_SUCCESS;
}

// FileFsVolumeInformation: the drive's name is the label. Too small a buffer
// gets the fixed part with VolumeLabelLength and STATUS_BUFFER_OVERFLOW.
NTSTATUS QueryVolume(VolumeBuffer& out, const VCB* vcb) {
    if (out.Length < kVolumeLength) return STATUS_INFO_LENGTH_MISMATCH;
    const UNICODE_STRING& label = vcb->DriveName;
    Put(out, offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabelLength), ULONG{label.Length});
    if (out.Length < kVolumeLabelOverhead + label.Length) {
        *out.Information = kVolumeLength;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (label.Length) std::memcpy(out.Data + offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel), label.Buffer, label.Length);
    *out.Information = kVolumeLabelOverhead + label.Length;
    return STATUS_SUCCESS;
}

// FileFsAttributeInformation: the name "Korin" always takes 50 bytes.
NTSTATUS QueryAttributes(VolumeBuffer& out) {
    if (out.Length < kAttributeLength) return STATUS_INFO_LENGTH_MISMATCH;
    Put(out, offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemAttributes), kFileSystemAttributes);
    Put(out, offsetof(FILE_FS_ATTRIBUTE_INFORMATION, MaximumComponentNameLength), kMaximumComponentLength);
    Put(out, offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemNameLength), kFileSystemNameBytes);
    if (out.Length < kAttributeFullLength) {
        *out.Information = kAttributeLength;
        return STATUS_BUFFER_OVERFLOW;
    }
    // The buffer is zeroed: the bytes after the text stay zero.
    std::memcpy(out.Data + offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName), kFileSystemName,
                sizeof(kFileSystemName) - sizeof(WCHAR));
    *out.Information = kAttributeFullLength;
    return STATUS_SUCCESS;
}

// One volume class into the zeroed buffer. Caller holds the VCB shared.
NTSTATUS FillVolumeClass(VolumeBuffer& out, FS_INFORMATION_CLASS infoClass, const VCB* vcb) {
    switch (infoClass) {
    case FileFsVolumeInformation:
        return QueryVolume(out, vcb);
    case FileFsSizeInformation:
        return PutFixed(out, kSizeLength,
                        FILE_FS_SIZE_INFORMATION{{.QuadPart = kAllocationUnits}, {.QuadPart = kAllocationUnits},
                                                 kSectorsPerUnit, kBytesPerSector});
    case FileFsDeviceInformation:
        return PutFixed(out, kDeviceLength, FILE_FS_DEVICE_INFORMATION{FILE_DEVICE_DISK, 0});
    case FileFsAttributeInformation:
        return QueryAttributes(out);
    case FileFsFullSizeInformation:
        return PutFixed(out, kFullSizeLength,
                        FILE_FS_FULL_SIZE_INFORMATION{{.QuadPart = kAllocationUnits},
                                                      {.QuadPart = kAllocationUnits},
                                                      {.QuadPart = kAllocationUnits},
                                                      kSectorsPerUnit,
                                                      kBytesPerSector});
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

// The query under the drive's lock, shared.
//   The class's status; STATUS_INVALID_DEVICE_REQUEST on the control device;
//   STATUS_PENDING when the lock is busy and the request may not wait.
NTSTATUS QueryVolumeInformation(IRP_CONTEXT* context) {
    if (OnControlDevice(context)) return STATUS_INVALID_DEVICE_REQUEST;
    VCB* vcb = VolumeVcb(context);
    ResourceHold drive;
    if (!drive.Shared(&vcb->MainResource, context->Wait)) return STATUS_PENDING;

    PIRP irp = context->Irp;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    VolumeBuffer out{static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer), stack->Parameters.QueryVolume.Length,
                     &irp->IoStatus.Information};
    if (!out.Data) out.Length = 0;
    if (out.Length) std::memset(out.Data, 0, out.Length);
    irp->IoStatus.Information = 0;
    return FillVolumeClass(out, stack->Parameters.QueryVolume.FsInformationClass, vcb);
}

// The letter whose DriveTable slot holds vcb, the first from A; 0 for none.
WCHAR LetterOfDrive(const VCB* vcb) {
    std::shared_lock lock(DriveTableLock);
    for (int slot = 0; slot < 26; ++slot) {
        if (KrGlobal.DriveTable[slot] == vcb) return static_cast<WCHAR>(u'A' + slot);
    }
    return 0;
}

// FileFsLabelInformation: the drive's new name, in its DriveRecord and then
// in memory. A label longer than the buffer that carries it, of an odd byte
// count or beyond what a DriveRecord holds is refused without change; so is
// a label the store does not take, or one for a drive already deleted (it
// has no letter, and so no record, any more): the old name stays, as it
// does for a failed IOCTL_SET_DRIVE_NAME.
//   The DriveRecord write's status; STATUS_INVALID_PARAMETER;
//   STATUS_INSUFFICIENT_RESOURCES.
// Caller holds the drive requests' serialisation and the VCB's MainResource
// exclusive, so the letter read here is still the drive's when the record
// is written.
NTSTATUS SetLabel(IRP_CONTEXT* context, VCB* vcb) {
    PIRP irp = context->Irp;
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.SetVolume.Length;
    const auto* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    constexpr ULONG labelOffset = offsetof(FILE_FS_LABEL_INFORMATION, VolumeLabel);
    if (!data || length < labelOffset) return STATUS_INVALID_PARAMETER;
    ULONG labelLength;
    std::memcpy(&labelLength, data + offsetof(FILE_FS_LABEL_INFORMATION, VolumeLabelLength), sizeof(labelLength));
    if (labelLength > length - labelOffset || labelLength % sizeof(WCHAR) != 0 || labelLength > 0xFFFE) {
        return STATUS_INVALID_PARAMETER;
    }

    UNICODE_STRING label{0, 0, nullptr};
    if (labelLength) {
        NTSTATUS status = DuplicateBytes(&label, static_cast<USHORT>(labelLength), data + labelOffset);
        if (!NT_SUCCESS(status)) return status;
    }
    const WCHAR letter = LetterOfDrive(vcb);
    const NTSTATUS status = letter ? WriteDriveRecord(&vcb->InstanceName, letter, &label) : STATUS_INVALID_PARAMETER;
    if (NT_SUCCESS(status)) std::swap(vcb->DriveName, label);
    // Drive names come from DuplicateBytes, at start-up or here, or from the
    // drive requests' copies: free whichever tag the buffer carries.
    if (label.Buffer) ExFreePoolWithTag(label.Buffer, 0);
    return status;
}

// The set under the drive requests' serialisation and the drive's lock,
// exclusive; STATUS_PENDING when either is busy and the request may not wait.
NTSTATUS SetVolumeInformation(IRP_CONTEXT* context) {
    if (OnControlDevice(context)) return STATUS_INVALID_DEVICE_REQUEST;
    VCB* vcb = VolumeVcb(context);
    DriveRequestHold requests;
    if (!requests.Acquire(context->Wait)) return STATUS_PENDING;
    ResourceHold drive;
    if (!drive.Exclusive(&vcb->MainResource, context->Wait)) return STATUS_PENDING;
    if (IoGetCurrentIrpStackLocation(context->Irp)->Parameters.SetVolume.FsInformationClass != FileFsLabelInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    return SetLabel(context, vcb);
}

}  // namespace

// The IRP_MJ_QUERY_VOLUME_INFORMATION handler: completes with the class's
// status (warnings count as negative for the boost), or posts.
NTSTATUS CommonQueryVolumeInformation(IRP_CONTEXT* context) {
    NTSTATUS status = QueryVolumeInformation(context);
    if (NT_ERROR(status)) context->Irp->IoStatus.Information = 0;
    return CompleteOrPost(context, status);
}

// The IRP_MJ_SET_VOLUME_INFORMATION handler.
NTSTATUS CommonSetVolumeInformation(IRP_CONTEXT* context) {
    return CompleteOrPost(context, SetVolumeInformation(context));
}
