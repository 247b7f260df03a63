// File information: NtQueryInformationFile, NtSetInformationFile (renames
// included) and ZwQueryInformationFile. Both directions go through a system
// buffer: the driver never touches the caller's memory.
#include "iomgr.h"
#include "syscalls.h"

#include <cstring>

namespace korin::io {
namespace {

NTSTATUS QueryInformation(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                          ULONG length, FILE_INFORMATION_CLASS informationClass) {
    if (!ioStatus || (!information && length)) return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status = file.Acquire(mode, fileHandle, 0);
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT fileObject = file.FileObject();
    // The position of a synchronous file is the I/O manager's own.
    if (informationClass == FilePositionInformation && (fileObject->Flags & FO_SYNCHRONOUS_IO)) {
        if (length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        std::memcpy(information, &fileObject->CurrentByteOffset, sizeof(FILE_POSITION_INFORMATION));
        *ioStatus = {{STATUS_SUCCESS}, sizeof(FILE_POSITION_INFORMATION)};
        return STATUS_SUCCESS;
    }
    PIRP irp = AllocateIrp(IRP_MJ_QUERY_INFORMATION, fileObject, mode);
    irp->Flags |= IRP_SYNCHRONOUS_API | IRP_INPUT_OPERATION;
    if (!AllocateSystemBuffer(irp, length)) {
        FreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Stack.Parameters.QueryFile.Length = length;
    irp->Stack.Parameters.QueryFile.FileInformationClass = informationClass;
    return SendBufferedRequest(irp, information, length, true, ioStatus);
}

// What a change of information requires of the handle (0: nothing).
ACCESS_MASK RequiredForSet(FILE_INFORMATION_CLASS informationClass) {
    switch (informationClass) {
    case FileRenameInformation:
    case FileDispositionInformation:
        return DELETE;
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return FILE_WRITE_DATA;
    case FileBasicInformation:
        return FILE_WRITE_ATTRIBUTES;
    default:
        return 0;
    }
}

// Opens the directory a rename or link targets: the full new name, absolute
// or relative to the buffer's RootDirectory, opened with
// SL_OPEN_TARGET_DIRECTORY (the file system stops at the parent and leaves the
// last component in the file object's name). *target is NULL for a bare name
// without a root: a new name within the same directory.
NTSTATUS OpenRenameTarget(KPROCESSOR_MODE mode, PFILE_OBJECT source, const void* buffer, ULONG length,
                          PFILE_OBJECT* target, BOOLEAN* replaceIfExists) {
    *target = nullptr;
    constexpr ULONG kNameOffset = offsetof(FILE_RENAME_INFORMATION, FileName);
    if (length < kNameOffset) return STATUS_INFO_LENGTH_MISMATCH;
    FILE_RENAME_INFORMATION header;
    std::memcpy(&header, buffer, kNameOffset);
    *replaceIfExists = header.ReplaceIfExists;
    if (header.FileNameLength % sizeof(WCHAR) || header.FileNameLength > length - kNameOffset ||
        header.FileNameLength == 0)
        return STATUS_INVALID_PARAMETER;
    std::u16string name(header.FileNameLength / sizeof(WCHAR), u'\0');
    std::memcpy(name.data(), static_cast<const char*>(buffer) + kNameOffset, header.FileNameLength);
    if (!header.RootDirectory && name.find(u'\\') == std::u16string::npos) return STATUS_SUCCESS;

    PFILE_OBJECT root = nullptr;
    if (header.RootDirectory) {
        NTSTATUS status = ReferenceFileObjectByHandle(HandleTableOf(mode), header.RootDirectory, 0, &root);
        if (!NT_SUCCESS(status)) return status;
    }
    OpenParameters p;
    p.desiredAccess = ((source->Flags & FO_DIRECTORY_FILE) ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE) | SYNCHRONIZE;
    p.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    p.disposition = FILE_OPEN;
    p.options = FILE_OPEN_FOR_BACKUP_INTENT;
    p.attributes = OBJ_CASE_INSENSITIVE;
    p.stackFlags = SL_OPEN_TARGET_DIRECTORY;
    p.mode = KernelMode;
    IO_STATUS_BLOCK ignored{};
    NTSTATUS status = OpenFileObject(name, root, p, target, &ignored);
    if (root) DereferenceFileObject(root);
    if (!NT_SUCCESS(status)) return status;
    if ((*target)->DeviceObject != source->DeviceObject) {
        CloseHandleToFileObject(*target);
        *target = nullptr;
        return STATUS_NOT_SAME_DEVICE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetInformation(KPROCESSOR_MODE mode, HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                        ULONG length, FILE_INFORMATION_CLASS informationClass) {
    if (!ioStatus || (!information && length)) return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status = file.Acquire(mode, fileHandle, RequiredForSet(informationClass));
    if (!NT_SUCCESS(status)) return status;
    PFILE_OBJECT fileObject = file.FileObject();
    if (informationClass == FilePositionInformation && (fileObject->Flags & FO_SYNCHRONOUS_IO)) {
        if (length < sizeof(FILE_POSITION_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
        FILE_POSITION_INFORMATION position;
        std::memcpy(&position, information, sizeof position);
        if (position.CurrentByteOffset.QuadPart < 0) return STATUS_INVALID_PARAMETER;
        fileObject->CurrentByteOffset = position.CurrentByteOffset;
        *ioStatus = {{STATUS_SUCCESS}, 0};
        return STATUS_SUCCESS;
    }
    PFILE_OBJECT target = nullptr;
    BOOLEAN replaceIfExists = FALSE;
    if (informationClass == FileRenameInformation || informationClass == FileLinkInformation) {
        status = OpenRenameTarget(mode, fileObject, information, length, &target, &replaceIfExists);
        if (!NT_SUCCESS(status)) return status;
    }
    PIRP irp = AllocateIrp(IRP_MJ_SET_INFORMATION, fileObject, mode);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    if (!AllocateSystemBuffer(irp, length)) {
        FreeIrp(irp);
        if (target) CloseHandleToFileObject(target);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (length) std::memcpy(irp->AssociatedIrp.SystemBuffer, information, length);
    auto& set = irp->Stack.Parameters.SetFile;
    set.Length = length;
    set.FileInformationClass = informationClass;
    set.FileObject = target;
    set.ReplaceIfExists = replaceIfExists;
    status = SendBufferedRequest(irp, information, length, false, ioStatus);
    if (target) CloseHandleToFileObject(target);
    return status;
}

}  // namespace
}  // namespace korin::io

NTSTATUS NtQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass) {
    return korin::io::QueryInformation(UserMode, fileHandle, ioStatus, information, length, informationClass);
}

NTSTATUS ZwQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass) {
    return korin::io::QueryInformation(KernelMode, fileHandle, ioStatus, information, length, informationClass);
}

NTSTATUS NtSetInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS informationClass) {
    return korin::io::SetInformation(UserMode, fileHandle, ioStatus, information, length, informationClass);
}
