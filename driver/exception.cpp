// What the dispatcher's exception frames do with a raised status: expected
// statuses become the request's completion status; anything else (an access
// violation, a misalignment) is not the file system's to handle.
#include "dispatch.h"

#include <cstring>

namespace {

// A context counts only when its signature and size are intact; anything
// else is treated as no context and never written to.
bool IsValidContext(const IRP_CONTEXT* context) {
    return context && std::memcmp(context->Signature, "ICX:", 4) == 0 && context->Size == sizeof(IRP_CONTEXT);
}

}  // namespace

// Decides whether the frame handles the raised code: EXCEPTION_EXECUTE_HANDLER
// for a status FsRtlIsNtstatusExpected accepts (remembered in the context's
// ExceptionStatus), EXCEPTION_CONTINUE_SEARCH for any other, after freeing
// the context, since the request leaves the driver with the exception.
LONG ExceptionFilter(IRP_CONTEXT* context, NTSTATUS code) {
    const bool valid = IsValidContext(context);
    if (FsRtlIsNtstatusExpected(code)) {
        if (valid) context->ExceptionStatus = code;
        return EXCEPTION_EXECUTE_HANDLER;
    }
    if (valid) FreeIrpContext(context);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The handler of the frame: completes the context's IRP (when it still has
// one) with the exception's status and no boost, frees the context and
// returns that status. Without a valid context: STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ProcessException(IRP_CONTEXT* context) {
    if (!IsValidContext(context)) return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = context->ExceptionStatus;
    if (context->Irp) context->Irp->IoStatus.Information = 0;
    return CompleteRequest(context, status, IO_NO_INCREMENT);
}
