// Buffer, path, name and target checks shared by the control requests, and
// the delivery of their status and item-type words.

#include "devctrl_support.h"

#include <cstring>

std::shared_mutex ControlRequestLock;

CONTROL_BUFFER ControlBufferOf(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return CONTROL_BUFFER{static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer),
                          stack->Parameters.DeviceIoControl.InputBufferLength,
                          stack->Parameters.DeviceIoControl.OutputBufferLength};
}

NTSTATUS RefuseShortOutput(PIRP irp) {
    irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
}

void WriteControlWord(PIRP irp, ULONG word) {
    // The system buffer holds max(input, output) bytes; callers checked that
    // the output holds the word.
    std::memcpy(irp->AssociatedIrp.SystemBuffer, &word, sizeof word);
    irp->IoStatus.Information = CONTROL_WORD_SIZE;
}

NTSTATUS VerdictInStatusWord(PIRP irp, NTSTATUS verdict) {
    WriteControlWord(irp, static_cast<ULONG>(verdict));
    return STATUS_SUCCESS;
}

NTSTATUS StatusInWordAndCompletion(PIRP irp, NTSTATUS status) {
    WriteControlWord(irp, static_cast<ULONG>(status));
    return status;
}

BOOLEAN IsDriveLetter(WCHAR c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

WCHAR FoldLetter(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

NTSTATUS CheckControlPath(PWSTR buffer, ULONG bytes, PUNICODE_STRING path) {
    if (bytes == 0 || bytes % sizeof(WCHAR) != 0) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (bytes > 0xFFFE) return STATUS_NAME_TOO_LONG;
    MakeString(path, static_cast<USHORT>(bytes), buffer);
    return CheckControlPathString(path);
}

NTSTATUS CheckControlPathString(PCUNICODE_STRING path) {
    if (path->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    const ULONG chars = path->Length / sizeof(WCHAR);
    const PWSTR p = path->Buffer;
    if (chars < 2 || !IsDriveLetter(p[0]) || p[1] != u':') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (chars >= 3 && p[2] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    // Components are separated by single backslashes; "X:\\" or "a\\b" names
    // an empty component.
    for (ULONG i = 3; i < chars; ++i) {
        if (p[i] == u'\\' && p[i - 1] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CheckCreateRemainder(PCUNICODE_STRING remainder) {
    const ULONG chars = remainder->Length / sizeof(WCHAR);
    for (ULONG i = 0; i < chars; ++i) {
        if (remainder->Buffer[i] != u'\\') continue;
        return i + 1 == chars ? STATUS_OBJECT_NAME_INVALID : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return CheckComponentName(remainder);
}

NTSTATUS CheckTarget(PCUNICODE_STRING target) {
    if (target->Length == 0 || target->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    const ULONG chars = target->Length / sizeof(WCHAR);
    if (chars > MAX_TARGET_CHARS) return STATUS_NAME_TOO_LONG;
    const PWSTR p = target->Buffer;
    for (ULONG i = 0; i < chars; ++i) {
        if (p[i] < 0x20) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (chars < 3) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    const bool unc = p[0] == u'\\' && p[1] == u'\\' && p[2] != u'\\';
    const bool local = IsDriveLetter(p[0]) && p[1] == u':' && p[2] == u'\\';
    return unc || local ? STATUS_SUCCESS : STATUS_OBJECT_PATH_SYNTAX_BAD;
}

NTSTATUS CheckNodeKind(const TREE_NODE* node, BOOLEAN mapping) {
    const bool isMapping = node->Target != nullptr;
    if (isMapping == static_cast<bool>(mapping)) return STATUS_SUCCESS;
    return isMapping ? STATUS_NOT_A_DIRECTORY : STATUS_FILE_IS_A_DIRECTORY;
}

ExclusiveResource::ExclusiveResource(PERESOURCE resource) : resource_(resource) {
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(resource_, TRUE);
}

ExclusiveResource::~ExclusiveResource() {
    ExReleaseResourceLite(resource_);
    KeLeaveCriticalRegion();
}
