// The file-system request handlers, one per major function (create.cpp,
// cleanup.cpp, close.cpp, fileinfo.cpp, volinfo.cpp, dirctrl.cpp,
// devctrl.cpp). Each follows the handler contract of dispatch.h.
#pragma once

#include "dispatch.h"

NTSTATUS CommonCreate(IRP_CONTEXT* context);
NTSTATUS CommonCleanup(IRP_CONTEXT* context);
NTSTATUS CommonClose(IRP_CONTEXT* context);
NTSTATUS CommonQueryInformation(IRP_CONTEXT* context);
NTSTATUS CommonSetInformation(IRP_CONTEXT* context);
NTSTATUS CommonQueryVolumeInformation(IRP_CONTEXT* context);
NTSTATUS CommonSetVolumeInformation(IRP_CONTEXT* context);
NTSTATUS CommonDirectoryControl(IRP_CONTEXT* context);
// The control requests (control.h).
NTSTATUS CommonDeviceControl(IRP_CONTEXT* context);

// ----- Shared by the file-system handlers --------------------------------------------------

// Holds one executive resource for a scope and releases it on the way out,
// raised statuses included. Declare the drive's hold before a folder's so
// that the folder's is released first.
class ResourceHold {
public:
    ResourceHold() = default;
    ~ResourceHold() { Release(); }
    ResourceHold(const ResourceHold&) = delete;
    ResourceHold& operator=(const ResourceHold&) = delete;

    // FALSE when wait is FALSE and the resource is busy.
    BOOLEAN Exclusive(PERESOURCE resource, BOOLEAN wait) {
        if (!ExAcquireResourceExclusiveLite(resource, wait)) return FALSE;
        resource_ = resource;
        return TRUE;
    }
    BOOLEAN Shared(PERESOURCE resource, BOOLEAN wait) {
        if (!ExAcquireResourceSharedLite(resource, wait)) return FALSE;
        resource_ = resource;
        return TRUE;
    }
    void Release() {
        if (resource_) ExReleaseResourceLite(resource_);
        resource_ = nullptr;
    }
    BOOLEAN Held() const { return resource_ != nullptr; }

private:
    PERESOURCE resource_ = nullptr;
};

// The drive a request on a volume device is for (its device extension).
inline VCB* VolumeVcb(IRP_CONTEXT* context) { return static_cast<VCB*>(context->DeviceObject->DeviceExtension); }
inline BOOLEAN OnControlDevice(IRP_CONTEXT* context) { return context->DeviceObject == KrGlobal.ControlDevice; }

// The FCB of a file object opened on device, or NULL when the file object
// belongs to another device or names the volume itself (create.cpp).
FCB* FolderFcbOf(PFILE_OBJECT fileObject, PDEVICE_OBJECT device);

// The stable IndexNumber of a folder: derived from its node, never the
// node's address itself (create.cpp).
LONGLONG FolderIndexNumber(const TREE_NODE* node);
