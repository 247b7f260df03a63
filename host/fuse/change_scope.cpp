// Judging completed requests.
#include "change_scope.h"

namespace korin::fuse {

ChangeScope ScopeOfCompletedRequest(PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    if (!NT_SUCCESS(status) || status == STATUS_REPARSE) return ChangeScope::None;
    const IO_STACK_LOCATION& stack = irp->Stack;
    switch (stack.MajorFunction) {
        case IRP_MJ_DEVICE_CONTROL:
            return ChangeScope::Driver;
        case IRP_MJ_SET_INFORMATION: {
            FILE_INFORMATION_CLASS c = stack.Parameters.SetFile.FileInformationClass;
            return c == FileRenameInformation || c == FileLinkInformation ? ChangeScope::Volume : ChangeScope::None;
        }
        case IRP_MJ_CREATE: {
            ULONG disposition = stack.Parameters.Create.Options >> 24;
            return disposition == FILE_OPEN || disposition == FILE_OVERWRITE ? ChangeScope::None : ChangeScope::Volume;
        }
        case IRP_MJ_CLEANUP:
            return stack.FileObject && stack.FileObject->DeletePending ? ChangeScope::Volume : ChangeScope::None;
        default:
            return ChangeScope::None;
    }
}

}  // namespace korin::fuse
