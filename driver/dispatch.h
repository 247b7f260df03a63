// Request dispatch: every IRP enters through FsdDispatch, is wrapped in an
// IRP_CONTEXT and routed to its handler.
//
// Handler contract: a handler owns the context it receives and ends in
// exactly one of three ways:
//   1. it completes the IRP and frees the context (CompleteRequest), returning
//      the completion status;
//   2. it posts the context (PostRequest) and returns STATUS_PENDING; the
//      request runs again from the start in a worker thread with Wait TRUE;
//   3. it raises a status; the frame around DispatchRequest completes the IRP
//      with it when FsRtlIsNtstatusExpected accepts it.
#pragma once

#include "namespace.h"

struct IRP_CONTEXT {
    CHAR Signature[4];  // "ICX:"
    ULONG Size;
    PIRP Irp;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    BOOLEAN Wait;
    BOOLEAN IsTopLevel;
    PIO_WORKITEM WorkItem;
    NTSTATUS ExceptionStatus;
};

NTSTATUS FsdDispatch(PDEVICE_OBJECT device, PIRP irp);
IRP_CONTEXT* CreateIrpContext(PDEVICE_OBJECT device, PIRP irp);
void FreeIrpContext(IRP_CONTEXT* context);
NTSTATUS DispatchRequest(IRP_CONTEXT* context);
NTSTATUS PostRequest(IRP_CONTEXT* context);
void FspWorker(PDEVICE_OBJECT device, PVOID context);
LONG ExceptionFilter(IRP_CONTEXT* context, NTSTATUS code);
NTSTATUS ProcessException(IRP_CONTEXT* context);
NTSTATUS LockUserBuffer(PIRP irp, ULONG length, LOCK_OPERATION operation);
PVOID MapUserBuffer(PIRP irp);

// Completes the context's IRP with status and boost, frees the context and
// returns status.
NTSTATUS CompleteRequest(IRP_CONTEXT* context, NTSTATUS status, CCHAR boost);
// The file-system handlers' boost rule: IO_DISK_INCREMENT when status is not
// negative, IO_NO_INCREMENT when it is.
inline CCHAR BoostFor(NTSTATUS status) { return status >= 0 ? IO_DISK_INCREMENT : IO_NO_INCREMENT; }
// STATUS_PENDING from a handler's lock step: post, else complete with the boost rule.
NTSTATUS CompleteOrPost(IRP_CONTEXT* context, NTSTATUS status);
