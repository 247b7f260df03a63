// IRP_MJ_DEVICE_CONTROL: the control requests of "\\.\KRDriver".
//
// Every device-control request comes here, on the control device and on any
// volume or file of a drive alike; only the prepare-unload request looks at
// the device. The workers live in devctrl_create.cpp, devctrl_delete.cpp,
// devctrl_rename.cpp, devctrl_query.cpp and devctrl_drive.cpp.
//
// Results come back in three ways, which callers rely on:
//   * verdict in the status word only, completion STATUS_SUCCESS: create
//     folder, create mapping, rename mapping, rename folder;
//   * status in the word and as completion status (an error fails
//     DeviceIoControl and leaves the caller's output untouched): create,
//     delete, rename and move a drive, delete folder, delete mapping;
//   * own output: the item-type word, the device name; prepare unload has
//     only its completion status.

#include "devctrl_support.h"
#include "handlers.h"

namespace {

struct CONTROL_WORKER {
    ULONG Code;
    NTSTATUS (*Worker)(PIRP irp);
};

constexpr CONTROL_WORKER ControlWorkers[] = {
    {IOCTL_CREATE_DRIVE, ControlCreateDrive},
    {IOCTL_CREATE_FOLDER, ControlCreateFolder},
    {IOCTL_CREATE_MAPPING, ControlCreateMapping},
    {IOCTL_DELETE_DRIVE, ControlDeleteDrive},
    {IOCTL_DELETE_FOLDER, ControlDeleteFolder},
    {IOCTL_DELETE_MAPPING, ControlDeleteMapping},
    {IOCTL_QUERY_ITEM_TYPE, ControlQueryItemType},
    {IOCTL_RENAME_MAPPING, ControlRenameMapping},
    {IOCTL_RENAME_FOLDER, ControlRenameFolder},
    {IOCTL_GET_DEVICE_NAME, ControlGetDeviceName},
    {IOCTL_SET_DRIVE_NAME, ControlSetDriveName},
    {IOCTL_CHANGE_DRIVE_LETTER, ControlChangeDriveLetter},
};

}  // namespace

// Routes a control request to its worker and completes it with the worker's
// status, without boost. Control requests run synchronously in the caller's
// thread (Wait is TRUE for them) and are never posted. An unknown code is
// completed with STATUS_INVALID_VARIANT, Information untouched.
NTSTATUS CommonDeviceControl(IRP_CONTEXT* context) {
    PIRP irp = context->Irp;
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_INVALID_VARIANT;
    if (code == IOCTL_PREPARE_UNLOAD) {
        status = ControlPrepareUnload(context);
    } else {
        for (const CONTROL_WORKER& entry : ControlWorkers) {
            if (entry.Code == code) {
                status = entry.Worker(irp);
                break;
            }
        }
    }
    return CompleteRequest(context, status, IO_NO_INCREMENT);
}

// IOCTL_PREPARE_UNLOAD. Refused on any device but the control device with
// STATUS_INVALID_DEVICE_REQUEST. On the control device it takes
// GlobalResource exclusively and refuses with STATUS_ACCESS_DENIED, changing
// nothing: the control device stays for the driver's whole life, and the
// driver is unloaded only by its service being stopped, through the unload
// routine.
NTSTATUS ControlPrepareUnload(IRP_CONTEXT* context) {
    if (context->DeviceObject != KrGlobal.ControlDevice) return STATUS_INVALID_DEVICE_REQUEST;
    ExclusiveResource global(&KrGlobal.GlobalResource);
    return STATUS_ACCESS_DENIED;
}
