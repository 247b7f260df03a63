// Basic kernel types, status codes, counted strings and doubly linked lists.
//
// Everything in the kernel runtime and in the drivers builds on this header.
// The type names are the kernel's own; widths are fixed (ULONG is 32 bits
// even on this 64-bit machine) so that byte layouts of information records
// match what callers expect.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t UCHAR, *PUCHAR;
typedef uint8_t BOOLEAN, *PBOOLEAN;
typedef uint8_t BYTE;
typedef char CHAR, *PCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG;
typedef uint32_t ULONG, *PULONG;
typedef uint32_t DWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG_PTR;
typedef int64_t LONG_PTR;
typedef size_t SIZE_T;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t* PCWSTR;
typedef void VOID, *PVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef UCHAR KPROCESSOR_MODE;
typedef UCHAR KIRQL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

enum : KPROCESSOR_MODE { KernelMode = 0, UserMode = 1 };
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;
static_assert(sizeof(LARGE_INTEGER) == 8);

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
typedef const GUID* LPCGUID;

// ---------------------------------------------------------------------------
// Status codes.  X(name, value): one list drives the constants and the
// name table used by logs (NtStatusName).
// ---------------------------------------------------------------------------
#define KORIN_NTSTATUS_LIST(X)                              \
    X(STATUS_SUCCESS, 0x00000000)                           \
    X(STATUS_WAIT_0, 0x00000000)                            \
    X(STATUS_TIMEOUT, 0x00000102)                           \
    X(STATUS_PENDING, 0x00000103)                           \
    X(STATUS_REPARSE, 0x00000104)                           \
    X(STATUS_OBJECT_NAME_EXISTS, 0x40000000)                \
    X(STATUS_DATATYPE_MISALIGNMENT, 0x80000002)             \
    X(STATUS_BREAKPOINT, 0x80000003)                        \
    X(STATUS_BUFFER_OVERFLOW, 0x80000005)                   \
    X(STATUS_NO_MORE_FILES, 0x80000006)                     \
    X(STATUS_NO_MORE_ENTRIES, 0x8000001A)                   \
    X(STATUS_UNSUCCESSFUL, 0xC0000001)                      \
    X(STATUS_NOT_IMPLEMENTED, 0xC0000002)                   \
    X(STATUS_INVALID_INFO_CLASS, 0xC0000003)                \
    X(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004)              \
    X(STATUS_ACCESS_VIOLATION, 0xC0000005)                  \
    X(STATUS_INVALID_HANDLE, 0xC0000008)                    \
    X(STATUS_INVALID_PARAMETER, 0xC000000D)                 \
    X(STATUS_NO_SUCH_DEVICE, 0xC000000E)                    \
    X(STATUS_NO_SUCH_FILE, 0xC000000F)                      \
    X(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010)            \
    X(STATUS_END_OF_FILE, 0xC0000011)                       \
    X(STATUS_NO_MEMORY, 0xC0000017)                         \
    X(STATUS_ILLEGAL_INSTRUCTION, 0xC000001D)               \
    X(STATUS_ACCESS_DENIED, 0xC0000022)                     \
    X(STATUS_BUFFER_TOO_SMALL, 0xC0000023)                  \
    X(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024)              \
    X(STATUS_OBJECT_NAME_INVALID, 0xC0000033)               \
    X(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034)             \
    X(STATUS_OBJECT_NAME_COLLISION, 0xC0000035)             \
    X(STATUS_OBJECT_PATH_INVALID, 0xC0000039)               \
    X(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003A)             \
    X(STATUS_OBJECT_PATH_SYNTAX_BAD, 0xC000003B)            \
    X(STATUS_SHARING_VIOLATION, 0xC0000043)                 \
    X(STATUS_DELETE_PENDING, 0xC0000056)                    \
    X(STATUS_DISK_FULL, 0xC000007F)                         \
    X(STATUS_INSUFFICIENT_RESOURCES, 0xC000009A)            \
    X(STATUS_MEDIA_WRITE_PROTECTED, 0xC00000A2)             \
    X(STATUS_INSTRUCTION_MISALIGNMENT, 0xC00000AA)          \
    X(STATUS_FILE_IS_A_DIRECTORY, 0xC00000BA)               \
    X(STATUS_NOT_SUPPORTED, 0xC00000BB)                     \
    X(STATUS_BAD_NETWORK_PATH, 0xC00000BE)                  \
    X(STATUS_BAD_NETWORK_NAME, 0xC00000CC)                  \
    X(STATUS_NOT_SAME_DEVICE, 0xC00000D4)                   \
    X(STATUS_INVALID_USER_BUFFER, 0xC00000E8)               \
    X(STATUS_STACK_OVERFLOW, 0xC00000FD)                    \
    X(STATUS_DIRECTORY_NOT_EMPTY, 0xC0000101)               \
    X(STATUS_NOT_A_DIRECTORY, 0xC0000103)                   \
    X(STATUS_NAME_TOO_LONG, 0xC0000106)                     \
    X(STATUS_IMAGE_ALREADY_LOADED, 0xC000010E)              \
    X(STATUS_TOO_MANY_OPENED_FILES, 0xC000011F)             \
    X(STATUS_CANNOT_DELETE, 0xC0000121)                     \
    X(STATUS_FILE_DELETED, 0xC0000123)                      \
    X(STATUS_FILE_CLOSED, 0xC0000128)                       \
    X(STATUS_KEY_DELETED, 0xC000017C)                       \
    X(STATUS_DRIVER_INTERNAL_ERROR, 0xC0000183)             \
    X(STATUS_IO_DEVICE_ERROR, 0xC0000185)                   \
    X(STATUS_INVALID_VARIANT, 0xC0000232)                   \
    X(STATUS_NETWORK_UNREACHABLE, 0xC000023C)               \
    X(STATUS_REPARSE_POINT_NOT_RESOLVED, 0xC0000280)        \
    X(STATUS_NOT_FOUND, 0xC0000225)                         \
    X(STATUS_DLL_NOT_FOUND, 0xC0000135)                     \
    X(STATUS_PROCEDURE_NOT_FOUND, 0xC000007A)

#define KORIN_DEFINE_STATUS(name, value) constexpr NTSTATUS name = static_cast<NTSTATUS>(value);
KORIN_NTSTATUS_LIST(KORIN_DEFINE_STATUS)
#undef KORIN_DEFINE_STATUS

constexpr bool NT_SUCCESS(NTSTATUS s) { return s >= 0; }
constexpr bool NT_INFORMATION(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 1; }
constexpr bool NT_WARNING(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 2; }
constexpr bool NT_ERROR(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

// "STATUS_OBJECT_NAME_NOT_FOUND", or "0xC0DE1234" for a code not in the list.
const char* NtStatusName(NTSTATUS status);

// ---------------------------------------------------------------------------
// Counted UTF-16 strings: Length and MaximumLength are byte counts.
// ---------------------------------------------------------------------------
struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

// Static initialiser for a string literal: RTL_CONSTANT_STRING(u"\\Drive").
#define RTL_CONSTANT_STRING(s)                                        \
    UNICODE_STRING {                                                  \
        static_cast<USHORT>(sizeof(s) - sizeof((s)[0])),              \
            static_cast<USHORT>(sizeof(s)), const_cast<PWSTR>(s)      \
    }

// ---------------------------------------------------------------------------
// Doubly linked lists with a separate head.
// ---------------------------------------------------------------------------
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
    PLIST_ENTRY next = entry->Flink, prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}
inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY last = head->Blink;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}
inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
    PLIST_ENTRY first = head->Flink;
    entry->Flink = first;
    entry->Blink = head;
    first->Blink = entry;
    head->Flink = entry;
}

#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

// Access rights and object attribute flags shared by files and keys.
constexpr ACCESS_MASK DELETE = 0x00010000;
constexpr ACCESS_MASK READ_CONTROL = 0x00020000;
constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
constexpr ACCESS_MASK GENERIC_READ = 0x80000000;
constexpr ACCESS_MASK GENERIC_WRITE = 0x40000000;
constexpr ACCESS_MASK GENERIC_EXECUTE = 0x20000000;
constexpr ACCESS_MASK GENERIC_ALL = 0x10000000;
constexpr ACCESS_MASK MAXIMUM_ALLOWED = 0x02000000;

constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes,
                                       HANDLE root, PVOID security) {
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = root;
    p->ObjectName = name;
    p->Attributes = attributes;
    p->SecurityDescriptor = security;
    p->SecurityQualityOfService = nullptr;
}

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
typedef IO_STATUS_BLOCK* PIO_STATUS_BLOCK;

#define UNREFERENCED_PARAMETER(p) ((void)(p))
