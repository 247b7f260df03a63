// Opening files: NtCreateFile, NtOpenFile and their kernel-mode forms.
//
// The name is parsed through the namespace to a device; the rest of it goes
// to the device's driver in a new file object with IRP_MJ_CREATE. A driver
// that answers STATUS_REPARSE has put a new absolute name into the file
// object: the open starts again from the top with that name, on a fresh file
// object, a bounded number of times.
#include "iomgr.h"
#include "syscalls.h"

#include <cstring>
#include <memory>

namespace korin::io {
namespace {

constexpr ULONG kMaximumDisposition = FILE_OVERWRITE_IF;
constexpr size_t kMaxNameBytes = 0xFFFE;  // what a UNICODE_STRING can hold

ULONG FileObjectFlags(ULONG options) {
    ULONG flags = 0;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) flags |= FO_SYNCHRONOUS_IO;
    if (options & FILE_SYNCHRONOUS_IO_ALERT) flags |= FO_ALERTABLE_IO;
    if (options & FILE_DIRECTORY_FILE) flags |= FO_DIRECTORY_FILE;
    return flags;
}

// One IRP_MJ_CREATE of name on device (relative to related when given).
// Returns the driver's status; on STATUS_REPARSE *reparseName is the new name.
// On success *fileObject is the opened file object.
NTSTATUS CreateOnDevice(PDEVICE_OBJECT device, const std::u16string& name, PFILE_OBJECT related,
                        const OpenParameters& p, PFILE_OBJECT* fileObject, IO_STATUS_BLOCK* ioStatus,
                        std::u16string* reparseName) {
    if (name.size() * sizeof(WCHAR) > kMaxNameBytes) return STATUS_OBJECT_NAME_INVALID;
    PFILE_OBJECT created = CreateFileObject(device, name, related, FileObjectFlags(p.options));
    if (!created) return STATUS_INSUFFICIENT_RESOURCES;
    IO_SECURITY_CONTEXT security{nullptr, nullptr, p.desiredAccess, p.options};
    PIRP irp = AllocateIrp(IRP_MJ_CREATE, created, p.mode);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    auto& stack = irp->Stack;
    stack.Flags = p.stackFlags | (p.attributes & OBJ_CASE_INSENSITIVE ? 0 : SL_CASE_SENSITIVE);
    stack.Parameters.Create.SecurityContext = &security;
    stack.Parameters.Create.Options = (p.disposition << 24) | (p.options & 0x00FFFFFF);
    stack.Parameters.Create.FileAttributes = static_cast<USHORT>(p.fileAttributes);
    stack.Parameters.Create.ShareAccess = static_cast<USHORT>(p.shareAccess);
    stack.Parameters.Create.EaLength = p.eaBuffer ? p.eaLength : 0;
    if (stack.Parameters.Create.EaLength) {
        if (!AllocateSystemBuffer(irp, p.eaLength)) {
            FreeIrp(irp);
            DiscardFileObject(created);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(irp->AssociatedIrp.SystemBuffer, p.eaBuffer, p.eaLength);
    }
    NTSTATUS status = SendIrpAndWait(irp);
    *ioStatus = irp->IoStatus;
    FreeIrp(irp);
    if (status == STATUS_REPARSE) *reparseName = ToString(&created->FileName);
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) {
        // Refused or redirected: the driver keeps nothing of this file object.
        DiscardFileObject(created);
        return status;
    }
    *fileObject = created;
    return status;
}

NTSTATUS ValidateCreate(PHANDLE fileHandle, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK ioStatus,
                        ACCESS_MASK desiredAccess, ULONG shareAccess, ULONG disposition, ULONG options) {
    if (!fileHandle || !attributes || !attributes->ObjectName || !ioStatus) return STATUS_INVALID_PARAMETER;
    if (disposition > kMaximumDisposition || (shareAccess & ~FILE_SHARE_VALID_FLAGS))
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_INVALID_PARAMETER;
    if ((options & FILE_SYNCHRONOUS_IO_ALERT) && (options & FILE_SYNCHRONOUS_IO_NONALERT))
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DELETE_ON_CLOSE) && !(MapGenericFileAccess(desiredAccess) & DELETE))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// NtCreateFile and ZwCreateFile: mode decides the requestor and the handle
// table (the process's, or the kernel's for the Zw form).
NTSTATUS CreateFile(KPROCESSOR_MODE mode, PHANDLE fileHandle, ACCESS_MASK desiredAccess,
                    POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK ioStatus, ULONG fileAttributes,
                    ULONG shareAccess, ULONG disposition, ULONG options, PVOID eaBuffer, ULONG eaLength) {
    NTSTATUS status =
        ValidateCreate(fileHandle, attributes, ioStatus, desiredAccess, shareAccess, disposition, options);
    if (!NT_SUCCESS(status)) return status;
    ob::HandleTable& table = HandleTableOf(mode);
    PFILE_OBJECT root = nullptr;
    if (attributes->RootDirectory) {
        status = ReferenceFileObjectByHandle(table, attributes->RootDirectory, 0, &root);
        if (!NT_SUCCESS(status)) return status;
    }
    OpenParameters p;
    p.desiredAccess = MapGenericFileAccess(desiredAccess);
    p.fileAttributes = fileAttributes;
    p.shareAccess = shareAccess;
    p.disposition = disposition;
    p.options = options;
    p.attributes = attributes->Attributes;
    p.eaBuffer = eaBuffer;
    p.eaLength = eaLength;
    p.mode = mode;
    PFILE_OBJECT fileObject = nullptr;
    status = OpenFileObject(ToString(attributes->ObjectName), root, p, &fileObject, ioStatus);
    if (root) DereferenceFileObject(root);
    if (!NT_SUCCESS(status)) return status;
    *fileHandle = table.Insert(std::make_shared<FileHandle>(fileObject, p.desiredAccess));
    return status;
}

}  // namespace

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    // Without security descriptors, the most that may be allowed is everything.
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

NTSTATUS OpenFileObject(const std::u16string& name, PFILE_OBJECT root, const OpenParameters& parameters,
                        PFILE_OBJECT* fileObject, IO_STATUS_BLOCK* ioStatus) {
    std::u16string path = name;
    PFILE_OBJECT related = root;
    for (int reparses = 0;;) {
        PDEVICE_OBJECT device;
        std::u16string remainder;
        if (related) {
            // Relative to an open file: its device, the name as given.
            if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
            device = related->DeviceObject;
            ReferenceDevice(device);
            remainder = path;
        } else {
            NTSTATUS status = ParseAndReferenceDevice(path, &device, &remainder);
            if (!NT_SUCCESS(status)) return status;
        }
        std::u16string reparseName;
        NTSTATUS status =
            CreateOnDevice(device, remainder, related, parameters, fileObject, ioStatus, &reparseName);
        DereferenceDevice(device);
        if (status != STATUS_REPARSE) {
            if (NT_SUCCESS(status)) AddHandleToFileObject(*fileObject);
            return status;
        }
        if (++reparses > kMaxReparses) return STATUS_REPARSE_POINT_NOT_RESOLVED;
        // The new name is absolute: parsed again from the top.
        path = std::move(reparseName);
        related = nullptr;
    }
}

}  // namespace korin::io

NTSTATUS NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength) {
    return korin::io::CreateFile(UserMode, fileHandle, desiredAccess, attributes, ioStatus, fileAttributes,
                                 shareAccess, createDisposition, createOptions, eaBuffer, eaLength);
}

NTSTATUS NtOpenFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK ioStatus, ULONG shareAccess, ULONG openOptions) {
    return korin::io::CreateFile(UserMode, fileHandle, desiredAccess, attributes, ioStatus, 0, shareAccess,
                                 FILE_OPEN, openOptions, nullptr, 0);
}

NTSTATUS ZwCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength) {
    return korin::io::CreateFile(KernelMode, fileHandle, desiredAccess, attributes, ioStatus, fileAttributes,
                                 shareAccess, createDisposition, createOptions, eaBuffer, eaLength);
}

NTSTATUS ZwOpenFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK ioStatus, ULONG shareAccess, ULONG openOptions) {
    return korin::io::CreateFile(KernelMode, fileHandle, desiredAccess, attributes, ioStatus, 0, shareAccess,
                                 FILE_OPEN, openOptions, nullptr, 0);
}
