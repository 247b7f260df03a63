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
