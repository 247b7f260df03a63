// The driver's start-up and unload, and its driver-wide state.
#include "dispatch.h"
#include "drive.h"
#include "store.h"

#include <cstring>

GLOBAL_DATA KrGlobal;
std::shared_mutex DriveTableLock;

namespace {

UNICODE_STRING ControlDeviceName = RTL_CONSTANT_STRING(u"\\FileSystem\\KRDriverCDO");
UNICODE_STRING ControlLinkName = RTL_CONSTANT_STRING(u"\\DosDevices\\KRDriver");
// A protected DACL granting GENERIC_ALL to Everyone: every user, administrator
// or not, opens the control device and sends every control request.
const UNICODE_STRING ControlSddl = RTL_CONSTANT_STRING(u"D:P(A;;GA;;;WD)");
// The control device's class, through which an administrator may override its
// security; the driver never writes the class key itself.
constexpr GUID ControlClassGuid = {0x6CCD5625, 0xEEC7, 0x4001, {0x87, 0xAD, 0x2F, 0x18, 0x4A, 0xCB, 0x25, 0xA4}};

// The nine requests the driver answers; every other slot keeps the I/O
// manager's default, which refuses with STATUS_INVALID_DEVICE_REQUEST.
constexpr UCHAR kServedMajorFunctions[] = {
    IRP_MJ_CREATE,
    IRP_MJ_CLOSE,
    IRP_MJ_QUERY_INFORMATION,
    IRP_MJ_SET_INFORMATION,
    IRP_MJ_QUERY_VOLUME_INFORMATION,
    IRP_MJ_SET_VOLUME_INFORMATION,
    IRP_MJ_DIRECTORY_CONTROL,
    IRP_MJ_DEVICE_CONTROL,
    IRP_MJ_CLEANUP,
};

// GlobalFlags bit 0: the prepare-unload request has deleted the control device.
constexpr ULONG kControlDeviceDeleted = 0x1;

void FreeRegistryPaths() {
    if (KrGlobal.ServiceKeyPath.Buffer) ExFreePoolWithTag(KrGlobal.ServiceKeyPath.Buffer, TAG_REGISTRY_PATH);
    if (KrGlobal.DriveKeyPath.Buffer) ExFreePoolWithTag(KrGlobal.DriveKeyPath.Buffer, TAG_REGISTRY_PATH);
    KrGlobal.ServiceKeyPath = KrGlobal.DriveKeyPath = UNICODE_STRING{0, 0, nullptr};
}

// Copies the service key's path into ServiceKeyPath (exactly its length, no
// NUL) and builds DriveKeyPath as that path followed by "\Drive" (tag
// "QReg"). Returns STATUS_INSUFFICIENT_RESOURCES without pool and
// STATUS_NAME_TOO_LONG when the Drive key's path would not fit a counted
// string; nothing is left allocated then.
NTSTATUS BuildRegistryPaths(PCUNICODE_STRING registryPath) {
    static const WCHAR kDriveSuffix[] = u"\\Drive";
    const USHORT length = registryPath->Length & ~1u;
    const size_t driveLength = size_t{length} + sizeof kDriveSuffix - sizeof(WCHAR);  // + 12
    if (driveLength > 0xFFFE) return STATUS_NAME_TOO_LONG;
    auto* service = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, length, TAG_REGISTRY_PATH));
    auto* drive = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, driveLength, TAG_REGISTRY_PATH));
    KrGlobal.ServiceKeyPath = UNICODE_STRING{0, length, service};
    KrGlobal.DriveKeyPath = UNICODE_STRING{0, static_cast<USHORT>(driveLength), drive};
    if (!service || !drive) {
        FreeRegistryPaths();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyUnicodeString(&KrGlobal.ServiceKeyPath, registryPath);
    RtlCopyUnicodeString(&KrGlobal.DriveKeyPath, &KrGlobal.ServiceKeyPath);
    return RtlAppendUnicodeToString(&KrGlobal.DriveKeyPath, kDriveSuffix);
}

}  // namespace

// Start-up: registers the dispatch routine for the nine served requests and
// the unload routine, creates the control device and its link, initialises
// GlobalResource, records the registry paths and mounts every stored drive.
// Returns the failing status of the control device, its link, the resource
// or the registry paths (everything made before is undone then); problems in
// the stored drives never fail start-up.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    std::memset(&KrGlobal, 0, sizeof KrGlobal);
    KrGlobal.DriverObject = driverObject;
    for (UCHAR major : kServedMajorFunctions) driverObject->MajorFunction[major] = FsdDispatch;
    driverObject->DriverUnload = KrUnload;

    NTSTATUS status = IoCreateDeviceSecure(driverObject, 0, &ControlDeviceName, FILE_DEVICE_DISK_FILE_SYSTEM,
                                           FILE_DEVICE_SECURE_OPEN, FALSE, &ControlSddl, &ControlClassGuid,
                                           &KrGlobal.ControlDevice);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&ControlLinkName, &ControlDeviceName);
    if (NT_SUCCESS(status)) {
        status = ExInitializeResourceLite(&KrGlobal.GlobalResource);
        if (NT_SUCCESS(status)) {
            status = BuildRegistryPaths(registryPath);
            if (!NT_SUCCESS(status)) ExDeleteResourceLite(&KrGlobal.GlobalResource);
        }
        if (!NT_SUCCESS(status)) IoDeleteSymbolicLink(&ControlLinkName);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(KrGlobal.ControlDevice);
        KrGlobal.ControlDevice = nullptr;
        return status;
    }

    LoadDrives();
    KrGlobal.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// Unload: deletes the control device's link and GlobalResource. The machine
// outlives its drivers (a service stop is not a restart), so everything else
// goes too: the drives' links and slots, every volume device with its tree,
// FCBs and names, the detached nodes, the control device (unless the
// prepare-unload request deleted it) and the registry paths. Runs when no
// request is active.
void KrUnload(PDRIVER_OBJECT driverObject) {
    UNREFERENCED_PARAMETER(driverObject);
    IoDeleteSymbolicLink(&ControlLinkName);
    ExDeleteResourceLite(&KrGlobal.GlobalResource);

    ReleaseAllDrives();
    FreeDetachedNodes();
    if (KrGlobal.ControlDevice && !(KrGlobal.GlobalFlags & kControlDeviceDeleted)) IoDeleteDevice(KrGlobal.ControlDevice);
    KrGlobal.ControlDevice = nullptr;
    FreeRegistryPaths();
}
