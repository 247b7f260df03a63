// Zw routines: the kernel-mode registry and file calls drivers make with
// kernel handles.
#pragma once

#include "ntbase.h"

// ----- Registry ------------------------------------------------------------
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
constexpr ACCESS_MASK KEY_CREATE_LINK = 0x0020;
constexpr ACCESS_MASK KEY_READ = 0x20019;
constexpr ACCESS_MASK KEY_WRITE = 0x20006;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0xF003F;

constexpr ULONG REG_OPTION_NON_VOLATILE = 0x0;
constexpr ULONG REG_OPTION_VOLATILE = 0x1;
constexpr ULONG REG_CREATED_NEW_KEY = 0x1;
constexpr ULONG REG_OPENED_EXISTING_KEY = 0x2;

constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

enum KEY_INFORMATION_CLASS { KeyBasicInformation = 0, KeyNodeInformation = 1, KeyFullInformation = 2 };
enum KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

struct KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);

struct KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
};
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);

struct KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;  // from the start of the record
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
};
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

// Names are absolute ("\Registry\Machine\...") or relative to RootDirectory.
// Buffer rules: a buffer too small for the fixed part answers STATUS_BUFFER_TOO_SMALL,
// one that holds the fixed part but not the rest STATUS_BUFFER_OVERFLOW (fixed part
// filled); ResultLength always receives the full size needed.
NTSTATUS ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes);
NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, ULONG titleIndex,
                     PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition);
NTSTATUS ZwEnumerateKey(HANDLE key, ULONG index, KEY_INFORMATION_CLASS infoClass, PVOID info, ULONG length,
                        PULONG resultLength);
NTSTATUS ZwEnumerateValueKey(HANDLE key, ULONG index, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                             ULONG length, PULONG resultLength);
NTSTATUS ZwQueryValueKey(HANDLE key, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS infoClass, PVOID info,
                         ULONG length, PULONG resultLength);
NTSTATUS ZwSetValueKey(HANDLE key, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize);
NTSTATUS ZwDeleteKey(HANDLE key);
NTSTATUS ZwDeleteValueKey(HANDLE key, PUNICODE_STRING valueName);
// Closes a key or a file handle.
NTSTATUS ZwClose(HANDLE handle);

// ----- Files (kernel handles; declared with the I/O manager in io.h) -------

// ----- Further registry information classes ----------------------------------
struct KEY_NODE_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;  // 0xFFFFFFFF: the key has no class
    ULONG ClassLength;
    ULONG NameLength;  // bytes
    WCHAR Name[1];
};
static_assert(offsetof(KEY_NODE_INFORMATION, Name) == 24);

struct KEY_FULL_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG ClassOffset;  // 0xFFFFFFFF: the key has no class
    ULONG ClassLength;
    ULONG SubKeys;
    ULONG MaxNameLen;  // bytes
    ULONG MaxClassLen;
    ULONG Values;
    ULONG MaxValueNameLen;  // bytes
    ULONG MaxValueDataLen;
    WCHAR Class[1];
};
static_assert(offsetof(KEY_FULL_INFORMATION, Class) == 44);
