// The configuration store's primitives: opening keys, finding the key that
// holds a node, copying and renaming single values, writing a drive's
// record, and the growable query buffer the store's walks share.
#include "store.h"

#include <cstring>

namespace {

constexpr ULONG kKeyAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
// The copy operations' fixed buffer: enough for a value of 1021 characters
// and its NUL; larger ones are read whole through a pool block.
constexpr ULONG kCopyBufferBytes = 2056;

// TRUE for a drive's root: no parent, and its FCB is the drive's root FCB.
bool IsDriveRoot(const TREE_NODE* node) {
    return node->Parent == nullptr && node->Fcb && node->Fcb->Header.NodeTypeCode == KR_NTC_ROOT_FCB &&
           node->Fcb->Node == node;
}

}  // namespace

// ----- Query buffers -------------------------------------------------------------------------

RegistryBuffer::~RegistryBuffer() {
    if (data_ != fixed_) ExFreePoolWithTag(data_, TAG_KEY_QUERY);
}

bool RegistryBuffer::Grow(ULONG length) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, length, TAG_KEY_QUERY);
    if (!block) return false;
    if (data_ != fixed_) ExFreePoolWithTag(data_, TAG_KEY_QUERY);
    data_ = block;
    length_ = length;
    return true;
}

NTSTATUS EnumerateSubkeyName(HANDLE key, ULONG index, RegistryBuffer& buffer, PUNICODE_STRING name) {
    NTSTATUS status = buffer.Run([&](PVOID data, ULONG length, PULONG needed) {
        return ZwEnumerateKey(key, index, KeyBasicInformation, data, length, needed);
    });
    if (!NT_SUCCESS(status)) return status;
    auto* info = static_cast<KEY_BASIC_INFORMATION*>(buffer.Data());
    if (info->NameLength > 0xFFFE) return STATUS_NAME_TOO_LONG;
    MakeString(name, static_cast<USHORT>(info->NameLength), info->Name);
    return STATUS_SUCCESS;
}

NTSTATUS EnumerateValueEntry(HANDLE key, ULONG index, RegistryBuffer& buffer, PUNICODE_STRING name,
                             const UCHAR** data, ULONG* dataLength) {
    ULONG size = 0;
    NTSTATUS status = buffer.Run([&](PVOID info, ULONG length, PULONG needed) {
        NTSTATUS s = ZwEnumerateValueKey(key, index, KeyValueFullInformation, info, length, needed);
        size = *needed;
        return s;
    });
    if (!NT_SUCCESS(status)) return status;
    auto* info = static_cast<KEY_VALUE_FULL_INFORMATION*>(buffer.Data());
    if (info->NameLength > 0xFFFE) return STATUS_NAME_TOO_LONG;
    if (uint64_t{info->DataOffset} + info->DataLength > size) return STATUS_INVALID_PARAMETER;
    MakeString(name, static_cast<USHORT>(info->NameLength), info->Name);
    *data = reinterpret_cast<const UCHAR*>(info) + info->DataOffset;
    *dataLength = info->DataLength;
    return STATUS_SUCCESS;
}

// ----- Keys ------------------------------------------------------------------------------------

NTSTATUS OpenKey(HANDLE* handle, PUNICODE_STRING name, HANDLE root) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, kKeyAttributes, root, nullptr);
    return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
}

NTSTATUS CreateKey(HANDLE* handle, PUNICODE_STRING name, HANDLE root) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name, kKeyAttributes, root, nullptr);
    return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

// Opens the key that holds node: the Drive key for a drive's root, else the
// folder key of its parent, reached one level at a time from the Drive key
// (the root's key is named by the drive's InstanceName, a folder's by its
// Name). Only the handle being opened and the one above it are open at any
// moment, and no stack or pool is used however deep the node lies: each
// level's ancestor is found again by climbing from the node.
// Returns the failing ZwOpenKey status, or STATUS_OBJECT_PATH_NOT_FOUND for a
// node in a subtree detached from its drive. Caller holds the drive's
// MainResource (the ancestors must not move).
NTSTATUS OpenParentKey(HANDLE* handle, TREE_NODE* node) {
    if (!node->Parent && !IsDriveRoot(node)) return STATUS_OBJECT_PATH_NOT_FOUND;
    ULONG depth = 0;  // keys to open below the Drive key
    const TREE_NODE* root = node;
    for (const TREE_NODE* up = node->Parent; up; up = up->Parent) {
        ++depth;
        root = up;
    }
    if (!IsDriveRoot(root)) return STATUS_OBJECT_PATH_NOT_FOUND;

    HANDLE key;
    NTSTATUS status = OpenKey(&key, &KrGlobal.DriveKeyPath, nullptr);
    for (ULONG level = depth; NT_SUCCESS(status) && level > 0; --level) {
        // The ancestor level steps above node: the root first, the parent last.
        TREE_NODE* ancestor = node;
        for (ULONG i = 0; i < level; ++i) ancestor = ancestor->Parent;
        PUNICODE_STRING name = ancestor->Parent ? &ancestor->Name : &ancestor->Fcb->Vcb->InstanceName;
        HANDLE next;
        status = OpenKey(&next, name, key);
        ZwClose(key);
        key = next;
    }
    if (NT_SUCCESS(status)) *handle = key;
    return status;
}

// ----- Values ----------------------------------------------------------------------------------

// Reads value sourceName of sourceKey and writes its data, whole, as REG_SZ
// value destinationName of destinationKey. Returns the failing read status
// or the write's status.
NTSTATUS CopyValue(HANDLE destinationKey, PUNICODE_STRING destinationName, HANDLE sourceKey,
                   PUNICODE_STRING sourceName) {
    alignas(8) UCHAR fixed[kCopyBufferBytes];
    RegistryBuffer buffer(fixed, sizeof fixed);
    NTSTATUS status = buffer.Run([&](PVOID info, ULONG length, PULONG needed) {
        return ZwQueryValueKey(sourceKey, sourceName, KeyValuePartialInformation, info, length, needed);
    });
    if (!NT_SUCCESS(status)) return status;
    auto* info = static_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer.Data());
    return ZwSetValueKey(destinationKey, destinationName, 0, REG_SZ, info->Data, info->DataLength);
}

// Gives value oldName of key the name newName: the new value is written
// first and the old one deleted only then, so a failed write keeps it.
// Names equal but for case are refused with STATUS_OBJECT_NAME_COLLISION
// (the registry would take them for one value, and deleting "the old one"
// would delete the only copy). Returns the write's status.
NTSTATUS RenameValue(HANDLE key, PUNICODE_STRING oldName, PUNICODE_STRING newName) {
    if (RtlEqualUnicodeString(oldName, newName, TRUE)) return STATUS_OBJECT_NAME_COLLISION;
    NTSTATUS status = CopyValue(key, newName, key, oldName);
    if (NT_SUCCESS(status)) ZwDeleteValueKey(key, oldName);
    return status;
}

// Writes the DriveRecord of a drive (letter, name length, name; tag "aaa0")
// as REG_BINARY value instanceName of the Drive key. Returns the
// ZwSetValueKey status, the ZwOpenKey status when the Drive key cannot be
// opened, or STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS WriteDriveRecord(PUNICODE_STRING instanceName, WCHAR letter, PUNICODE_STRING displayName) {
    const ULONG size = 4 + displayName->Length;
    auto* record = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, TAG_DRIVE_RECORD));
    if (!record) return STATUS_INSUFFICIENT_RESOURCES;
    const USHORT nameLength = displayName->Length;
    std::memcpy(record, &letter, 2);
    std::memcpy(record + 2, &nameLength, 2);
    if (nameLength) std::memcpy(record + 4, displayName->Buffer, nameLength);
    HANDLE driveKey;
    NTSTATUS status = OpenKey(&driveKey, &KrGlobal.DriveKeyPath, nullptr);
    if (NT_SUCCESS(status)) {
        status = ZwSetValueKey(driveKey, instanceName, 0, REG_BINARY, record, size);
        ZwClose(driveKey);
    }
    ExFreePoolWithTag(record, TAG_DRIVE_RECORD);
    return status;
}
