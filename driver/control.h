// The control interface: the device-control requests user mode sends to
// "\\.\KRDriver" (or to any handle on a drive) to change the namespace.
#pragma once

#include "common/korin_ioctl.h"
#include "dispatch.h"

// Each request's worker, taking the system buffer; they fill Information and
// return the completion status (the status-word requests write their word).
NTSTATUS ControlCreateFolder(PIRP irp);
NTSTATUS ControlCreateMapping(PIRP irp);
NTSTATUS ControlDeleteFolder(PIRP irp);
NTSTATUS ControlDeleteMapping(PIRP irp);
NTSTATUS ControlQueryItemType(PIRP irp);
NTSTATUS ControlRenameMapping(PIRP irp);
NTSTATUS ControlRenameFolder(PIRP irp);
NTSTATUS ControlCreateDrive(PIRP irp);
NTSTATUS ControlDeleteDrive(PIRP irp);
NTSTATUS ControlGetDeviceName(PIRP irp);
NTSTATUS ControlSetDriveName(PIRP irp);
NTSTATUS ControlChangeDriveLetter(PIRP irp);
NTSTATUS ControlPrepareUnload(IRP_CONTEXT* context);
