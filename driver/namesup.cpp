// String helpers shared by the driver: counted strings over existing
// buffers, pool copies of byte runs and strings, the check of a folder or
// mapping name, and the unpacking of a two-string control buffer. No locks; every buffer comes from non-paged pool.
#include "namespace.h"

#include <cstring>

// Makes string describe length bytes at buffer; nothing is copied.
void MakeString(PUNICODE_STRING string, USHORT length, PWSTR buffer) {
    string->Length = length;
    string->MaximumLength = length;
    string->Buffer = buffer;
}

// Copies length bytes into a new pool block (tag "QStr") and makes string
// describe them. An empty run allocates nothing (Buffer NULL).
// Returns STATUS_INSUFFICIENT_RESOURCES without pool; string is then unchanged.
NTSTATUS DuplicateBytes(PUNICODE_STRING string, USHORT length, const void* bytes) {
    PWSTR buffer = nullptr;
    if (length != 0) {
        buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, length, TAG_BYTES));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        std::memcpy(buffer, bytes, length);
    }
    MakeString(string, length, buffer);
    return STATUS_SUCCESS;
}

// Copies source into a new pool block (tag "Qstr") of exactly source.Length
// bytes, without terminator. An empty source allocates nothing.
// Returns STATUS_INSUFFICIENT_RESOURCES without pool; destination is then unchanged.
NTSTATUS DuplicateString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    PWSTR buffer = nullptr;
    if (source->Length != 0) {
        buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(NonPagedPool, source->Length, TAG_STRING));
        if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
        std::memcpy(buffer, source->Buffer, source->Length);
    }
    MakeString(destination, source->Length, buffer);
    return STATUS_SUCCESS;
}

namespace {

bool IsForbiddenNameChar(WCHAR c) {
    if (c < 0x20) return true;
    switch (c) {
        case u'\\': case u'/': case u':': case u'*': case u'?':
        case u'"': case u'<': case u'>': case u'|':
            return true;
        default:
            return false;
    }
}

bool IsHighSurrogate(WCHAR c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(WCHAR c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

// Checks a folder or mapping name; see namespace.h for the rules.
NTSTATUS CheckComponentName(PCUNICODE_STRING name) {
    if (name->Length == 0 || name->Length % sizeof(WCHAR) != 0) return STATUS_OBJECT_NAME_INVALID;
    const ULONG chars = name->Length / sizeof(WCHAR);
    if (chars > MAX_COMPONENT_CHARS) return STATUS_NAME_TOO_LONG;
    const PWSTR p = name->Buffer;
    if (p[0] == u'.' && (chars == 1 || (chars == 2 && p[1] == u'.'))) return STATUS_OBJECT_NAME_INVALID;
    for (ULONG i = 0; i < chars; ++i) {
        if (IsForbiddenNameChar(p[i])) return STATUS_OBJECT_NAME_INVALID;
        // Linux shows names as UTF-8: a lone surrogate has no form there.
        if (IsHighSurrogate(p[i])) {
            if (i + 1 == chars || !IsLowSurrogate(p[i + 1])) return STATUS_OBJECT_NAME_INVALID;
            ++i;
        } else if (IsLowSurrogate(p[i])) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    return STATUS_SUCCESS;
}

namespace {

// Finds the NUL that ends the string starting at unit start within units;
// returns its index, or units when there is none.
ULONG FindNul(PCWSTR buffer, ULONG start, ULONG units) {
    ULONG i = start;
    while (i < units && buffer[i] != 0) ++i;
    return i;
}

}  // namespace

// Describes the two NUL-terminated strings packed back to back in the first
// bufferLength bytes of buffer; nothing is copied. Returns
// STATUS_INVALID_PARAMETER (outputs untouched) when either NUL lies outside
// the buffer or a string is too long for a counted string.
NTSTATUS SplitStringPair(PWSTR buffer, ULONG bufferLength, PUNICODE_STRING first, PUNICODE_STRING second) {
    if (!buffer) return STATUS_INVALID_PARAMETER;
    const ULONG units = bufferLength / sizeof(WCHAR);
    const ULONG firstEnd = FindNul(buffer, 0, units);
    if (firstEnd >= units) return STATUS_INVALID_PARAMETER;
    const ULONG secondEnd = FindNul(buffer, firstEnd + 1, units);
    if (secondEnd >= units) return STATUS_INVALID_PARAMETER;
    const ULONG firstBytes = firstEnd * sizeof(WCHAR);
    const ULONG secondBytes = (secondEnd - firstEnd - 1) * sizeof(WCHAR);
    if (firstBytes > 0xFFFE || secondBytes > 0xFFFE) return STATUS_INVALID_PARAMETER;
    MakeString(first, static_cast<USHORT>(firstBytes), buffer);
    MakeString(second, static_cast<USHORT>(secondBytes), buffer + firstEnd + 1);
    return STATUS_SUCCESS;
}
