// Volume information: NtQueryVolumeInformationFile and
// NtSetVolumeInformationFile, through a system buffer.
#include "iomgr.h"
#include "syscalls.h"

#include <cstring>

NTSTATUS NtQueryVolumeInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                                      ULONG length, FS_INFORMATION_CLASS informationClass) {
    using namespace korin::io;
    if (!ioStatus || (!information && length)) return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status = file.Acquire(UserMode, fileHandle, 0);
    if (!NT_SUCCESS(status)) return status;
    PIRP irp = AllocateIrp(IRP_MJ_QUERY_VOLUME_INFORMATION, file.FileObject(), UserMode);
    irp->Flags |= IRP_SYNCHRONOUS_API | IRP_INPUT_OPERATION;
    if (!AllocateSystemBuffer(irp, length)) {
        FreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->Stack.Parameters.QueryVolume.Length = length;
    irp->Stack.Parameters.QueryVolume.FsInformationClass = informationClass;
    return SendBufferedRequest(irp, information, length, true, ioStatus);
}

NTSTATUS NtSetVolumeInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                    FS_INFORMATION_CLASS informationClass) {
    using namespace korin::io;
    if (!ioStatus || (!information && length)) return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status = file.Acquire(UserMode, fileHandle, 0);
    if (!NT_SUCCESS(status)) return status;
    PIRP irp = AllocateIrp(IRP_MJ_SET_VOLUME_INFORMATION, file.FileObject(), UserMode);
    irp->Flags |= IRP_SYNCHRONOUS_API;
    if (!AllocateSystemBuffer(irp, length)) {
        FreeIrp(irp);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (length) std::memcpy(irp->AssociatedIrp.SystemBuffer, information, length);
    irp->Stack.Parameters.SetVolume.Length = length;
    irp->Stack.Parameters.SetVolume.FsInformationClass = informationClass;
    return SendBufferedRequest(irp, information, length, false, ioStatus);
}
