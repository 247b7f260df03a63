#include "ntbase.h"

#include <cstdio>

const char* NtStatusName(NTSTATUS status) {
    // The list is short; a linear scan keeps one source of truth. The first
    // name of a value wins (STATUS_SUCCESS before STATUS_WAIT_0).
#define KORIN_STATUS_IF(name, value) \
    if (static_cast<ULONG>(status) == static_cast<ULONG>(value)) return #name;
    KORIN_NTSTATUS_LIST(KORIN_STATUS_IF)
#undef KORIN_STATUS_IF
    thread_local char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}
