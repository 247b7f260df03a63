// The configuration store: the Drive key under the driver's service key.
//
//   key Drive
//     value "NextInstance"  REG_DWORD   instance number of the next drive
//     value "<n>"           REG_BINARY  DriveRecord of drive n: letter, name length, name
//     key <n>                           drive n's root folder
//       key <folder>                    a virtual folder (itself a folder key)
//       value "<mapping>"   REG_SZ      the mapping's target as user mode gave it, NUL included
//
// The driver writes every change through at once; the store is read only at
// start-up. Keys are opened per operation and closed before it returns.
#pragma once

#include "namespace.h"

// KEY_ALL_ACCESS, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE; root NULL: name is absolute.
NTSTATUS OpenKey(HANDLE* handle, PUNICODE_STRING name, HANDLE root);
// Creates (or opens) a non-volatile key with the same access and attributes.
NTSTATUS CreateKey(HANDLE* handle, PUNICODE_STRING name, HANDLE root);
// Opens the key that holds node: the Drive key for a root, else its parent's key.
NTSTATUS OpenParentKey(HANDLE* handle, TREE_NODE* node);
NTSTATUS DeleteKeyTree(HANDLE parentKey, PUNICODE_STRING name);
NTSTATUS CopyKeyTree(HANDLE destinationParent, PUNICODE_STRING destinationName, HANDLE sourceParent,
                     PUNICODE_STRING sourceName);
NTSTATUS RenameKeyTree(HANDLE parentKey, PUNICODE_STRING oldName, PUNICODE_STRING newName);
NTSTATUS CopyValue(HANDLE destinationKey, PUNICODE_STRING destinationName, HANDLE sourceKey,
                   PUNICODE_STRING sourceName);
// The old value stays when the new one cannot be written.
NTSTATUS RenameValue(HANDLE key, PUNICODE_STRING oldName, PUNICODE_STRING newName);
NTSTATUS WriteDriveRecord(PUNICODE_STRING instanceName, WCHAR letter, PUNICODE_STRING displayName);
// Mounts every stored drive and loads its tree (start-up only).
void LoadDrives();
void LoadFolder(HANDLE key, TREE_NODE* node);

// ----- Shared by the store's files --------------------------------------------------------

// A registry query buffer: a fixed part given by the caller (its frame, or a
// pool-allocated walk frame) that grows into a pool block (tag "QKey") when
// the registry reports an entry larger than it, so that long names and
// values are read whole, never cut. A fixed part of 0 bytes asks for the
// size first and reads into a block of exactly that size.
class RegistryBuffer {
public:
    RegistryBuffer(void* fixed, ULONG fixedLength) : data_(fixed), length_(fixedLength), fixed_(fixed) {}
    ~RegistryBuffer();
    RegistryBuffer(const RegistryBuffer&) = delete;
    RegistryBuffer& operator=(const RegistryBuffer&) = delete;

    // Runs query(buffer, length, &resultLength), growing the buffer to the
    // reported size and running it again while the registry answers
    // STATUS_BUFFER_OVERFLOW or STATUS_BUFFER_TOO_SMALL. Returns the query's
    // last status, or STATUS_INSUFFICIENT_RESOURCES when pool runs out.
    template <typename Query>
    NTSTATUS Run(Query query) {
        for (int attempt = 0;; ++attempt) {
            ULONG needed = 0;
            NTSTATUS status = query(data_, length_, &needed);
            if (status != STATUS_BUFFER_OVERFLOW && status != STATUS_BUFFER_TOO_SMALL) return status;
            if (needed <= length_ || attempt == 3) return status;  // the entry keeps changing size
            if (!Grow(needed)) return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    void* Data() const { return data_; }

private:
    bool Grow(ULONG length);
    void* data_;
    ULONG length_;
    void* fixed_;
};

// The name of subkey index of key (KeyBasicInformation), pointing into buffer.
NTSTATUS EnumerateSubkeyName(HANDLE key, ULONG index, RegistryBuffer& buffer, PUNICODE_STRING name);
// Value index of key (KeyValueFullInformation): its name and its data, both
// pointing into buffer. STATUS_NAME_TOO_LONG for a name too long for a
// counted string; data lengths are not limited.
NTSTATUS EnumerateValueEntry(HANDLE key, ULONG index, RegistryBuffer& buffer, PUNICODE_STRING name,
                             const UCHAR** data, ULONG* dataLength);
