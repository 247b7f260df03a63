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
