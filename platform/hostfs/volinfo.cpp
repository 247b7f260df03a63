// IRP_MJ_QUERY_VOLUME_INFORMATION: the host file system holding the open,
// from statvfs.
#include "hostfs_internal.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>

namespace korin::hostfs {

namespace {

constexpr char16_t kFileSystemName[] = u"hostfs";
constexpr ULONG kBytesPerSector = 512;

// Copies a name into a record whose name starts at offset; the full length
// goes to *lengthField. STATUS_BUFFER_OVERFLOW when it was cut.
NTSTATUS PutName(char* record, ULONG length, ULONG offset, std::u16string_view name, ULONG* lengthField,
                 ULONG* used) {
    ULONG bytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    ULONG room = length - offset;
    ULONG copied = bytes < room ? bytes : room & ~1u;
    *lengthField = bytes;
    std::memcpy(record + offset, name.data(), copied);
    *used = offset + copied;
    return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

struct VOLUME_SIZES {
    LONGLONG Total, CallerAvailable, Available;
    ULONG SectorsPerUnit;
};

NTSTATUS SizesOf(const HOST_OPEN* open, VOLUME_SIZES* sizes) {
    struct statvfs vfs;
    if (fstatvfs(open->Fd, &vfs) != 0) return StatusFromErrno(errno);
    unsigned long unit = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
    sizes->SectorsPerUnit = unit >= kBytesPerSector ? static_cast<ULONG>(unit / kBytesPerSector) : 1;
    // Units of the reported size, whatever the host's block size.
    ULONGLONG perUnit = static_cast<ULONGLONG>(sizes->SectorsPerUnit) * kBytesPerSector;
    auto units = [&](ULONGLONG blocks) { return static_cast<LONGLONG>(blocks * unit / perUnit); };
    sizes->Total = units(vfs.f_blocks);
    sizes->CallerAvailable = units(vfs.f_bavail);
    sizes->Available = units(vfs.f_bfree);
    return STATUS_SUCCESS;
}

// A stable serial number per host file system.
ULONG SerialOf(const HOST_OPEN* open) {
    struct statvfs vfs;
    if (fstatvfs(open->Fd, &vfs) != 0) return 0;
    ULONGLONG id = vfs.f_fsid;
    return static_cast<ULONG>(id ^ (id >> 32));
}

ULONG MinimumLength(FS_INFORMATION_CLASS type) {
    switch (type) {
    case FileFsVolumeInformation:
        return offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
    case FileFsSizeInformation:
        return sizeof(FILE_FS_SIZE_INFORMATION);
    case FileFsDeviceInformation:
        return sizeof(FILE_FS_DEVICE_INFORMATION);
    case FileFsAttributeInformation:
        return offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
    case FileFsFullSizeInformation:
        return sizeof(FILE_FS_FULL_SIZE_INFORMATION);
    default:
        return 0;
    }
}

}  // namespace

// Volume (no label, the file system's serial), size and full size, device
// (a disk; remote for UNC) and attribute ("hostfs": case preserved, Unicode,
// searched without case) information.
NTSTATUS CommonQueryVolumeInformation(HOST_OPEN* open, PIRP irp, ULONG_PTR* information) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    FS_INFORMATION_CLASS type = stack->Parameters.QueryVolume.FsInformationClass;
    ULONG length = stack->Parameters.QueryVolume.Length;
    ULONG minimum = MinimumLength(type);
    if (minimum == 0) return STATUS_INVALID_PARAMETER;
    if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
    auto* buffer = static_cast<char*>(InfoBuffer(irp, length, true));
    if (!buffer) return STATUS_INVALID_USER_BUFFER;
    ULONG used = minimum;
    NTSTATUS status = STATUS_SUCCESS;
    VOLUME_SIZES sizes{};
    switch (type) {
    case FileFsVolumeInformation: {
        auto* info = reinterpret_cast<FILE_FS_VOLUME_INFORMATION*>(buffer);
        info->VolumeCreationTime.QuadPart = 0;
        info->VolumeSerialNumber = SerialOf(open);
        info->VolumeLabelLength = 0;
        info->SupportsObjects = FALSE;
        break;
    }
    case FileFsSizeInformation: {
        status = SizesOf(open, &sizes);
        if (!NT_SUCCESS(status)) return status;
        auto* info = reinterpret_cast<FILE_FS_SIZE_INFORMATION*>(buffer);
        info->TotalAllocationUnits.QuadPart = sizes.Total;
        info->AvailableAllocationUnits.QuadPart = sizes.CallerAvailable;
        info->SectorsPerAllocationUnit = sizes.SectorsPerUnit;
        info->BytesPerSector = kBytesPerSector;
        break;
    }
    case FileFsFullSizeInformation: {
        status = SizesOf(open, &sizes);
        if (!NT_SUCCESS(status)) return status;
        auto* info = reinterpret_cast<FILE_FS_FULL_SIZE_INFORMATION*>(buffer);
        info->TotalAllocationUnits.QuadPart = sizes.Total;
        info->CallerAvailableAllocationUnits.QuadPart = sizes.CallerAvailable;
        info->ActualAvailableAllocationUnits.QuadPart = sizes.Available;
        info->SectorsPerAllocationUnit = sizes.SectorsPerUnit;
        info->BytesPerSector = kBytesPerSector;
        break;
    }
    case FileFsDeviceInformation: {
        auto* info = reinterpret_cast<FILE_FS_DEVICE_INFORMATION*>(buffer);
        info->DeviceType = FILE_DEVICE_DISK;
        info->Characteristics = open->Volume->Unc ? FILE_REMOTE_DEVICE : 0;
        break;
    }
    case FileFsAttributeInformation: {
        auto* info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
        info->FileSystemAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
        info->MaximumComponentNameLength = 255;
        status = PutName(buffer, length, offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName), kFileSystemName,
                         &info->FileSystemNameLength, &used);
        break;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
    *information = used;
    return status;
}

}  // namespace korin::hostfs
