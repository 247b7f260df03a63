// Device control: NtDeviceIoControlFile. The transfer method in the control
// code decides how the buffers reach the driver:
//   METHOD_BUFFERED  one system buffer of max(input, output) bytes; the input
//                    is copied in, and the Information bytes the driver reports
//                    are copied out unless the request ended in an error
//   METHOD_*_DIRECT  the input in a system buffer, the output locked in an MDL
//   METHOD_NEITHER   the caller's pointers as they are (Type3InputBuffer,
//                    UserBuffer), declared valid for the call
#include "exceptions.h"
#include "iomgr.h"
#include "syscalls.h"

#include <algorithm>
#include <cstring>

namespace {

// The access the code's required-access bits ask of the handle.
ACCESS_MASK RequiredAccess(ULONG code) {
    ULONG access = (code >> 14) & 3;
    ACCESS_MASK required = 0;
    if (access & FILE_READ_ACCESS) required |= FILE_READ_DATA;
    if (access & FILE_WRITE_ACCESS) required |= FILE_WRITE_DATA;
    return required;
}

}  // namespace

NTSTATUS NtDeviceIoControlFile(HANDLE fileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus,
                               ULONG ioControlCode, PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                               ULONG outputBufferLength) {
    using namespace korin::io;
    if (!ioStatus || (!inputBuffer && inputBufferLength) || (!outputBuffer && outputBufferLength))
        return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status = file.Acquire(UserMode, fileHandle, 0);
    if (!NT_SUCCESS(status)) return status;
    // Every bit the code requires must be granted.
    ACCESS_MASK required = RequiredAccess(ioControlCode);
    if ((file.GrantedAccess() & required) != required) return STATUS_ACCESS_DENIED;

    UserBufferScope inputScope(inputBuffer, inputBufferLength);
    UserBufferScope outputScope(outputBuffer, outputBufferLength);
    PIRP irp = AllocateIrp(IRP_MJ_DEVICE_CONTROL, file.FileObject(), UserMode);
    auto& parameters = irp->Stack.Parameters.DeviceIoControl;
    parameters.OutputBufferLength = outputBufferLength;
    parameters.InputBufferLength = inputBufferLength;
    parameters.IoControlCode = ioControlCode;
    irp->UserBuffer = outputBuffer;
    ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    bool buffered = method == METHOD_BUFFERED;
    if (method == METHOD_NEITHER) {
        parameters.Type3InputBuffer = inputBuffer;
    } else {
        ULONG systemLength = buffered ? std::max(inputBufferLength, outputBufferLength) : inputBufferLength;
        if (!AllocateSystemBuffer(irp, systemLength)) {
            FreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (inputBufferLength) std::memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
        if (buffered && outputBufferLength) irp->Flags |= IRP_INPUT_OPERATION;
    }
    if (!buffered && method != METHOD_NEITHER && outputBufferLength) {
        PMDL mdl = IoAllocateMdl(outputBuffer, outputBufferLength, FALSE, FALSE, irp);
        if (!mdl) {
            FreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        try {
            MmProbeAndLockPages(mdl, UserMode, method == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess);
        } catch (const NtStatusException& e) {
            FreeIrp(irp);
            return e.status();
        }
    }
    if (!buffered) {
        status = SendIrpAndWait(irp);
        *ioStatus = irp->IoStatus;
        FreeIrp(irp);
        return status;
    }
    return SendBufferedRequest(irp, outputBuffer, outputBufferLength, true, ioStatus);
}
