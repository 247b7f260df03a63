// Whole key trees in the store: deleting a folder's key with everything
// below it, and copying one under a new name (a folder's rename).
//
// Both walks keep one frame per open key level in pool (tag "QKey"), each
// with its own name buffer, and loop instead of recursing, so a deep folder
// tree costs pool, never stack.
#include "store.h"

#include <new>

namespace {

// Subkey names during deletion fit 534 bytes (the 16-byte header and 259
// characters); the copy buffer holds 2056. Longer entries grow into pool.
constexpr ULONG kDeleteBufferBytes = 534;
constexpr ULONG kCopyBufferBytes = 2056;

// One level of a walk: its open key(s), the next subkey index and the
// buffer its names are read into.
template <ULONG kBufferBytes>
struct Frame {
    Frame* up;
    HANDLE key;     // the key being deleted, or the copy's source
    HANDLE target;  // the copy's destination
    ULONG index;
    alignas(8) UCHAR fixed[kBufferBytes];
    RegistryBuffer buffer;

    Frame(Frame* up, HANDLE key, HANDLE target) : up(up), key(key), target(target), index(0), buffer(fixed, kBufferBytes) {}
};

template <typename F>
F* PushFrame(F* up, HANDLE key, HANDLE target) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(F), TAG_KEY_QUERY);
    return block ? new (block) F(up, key, target) : nullptr;
}

// Closes the frame's handles, frees it and returns the frame above.
template <typename F>
F* PopFrame(F* frame) {
    F* up = frame->up;
    if (frame->key) ZwClose(frame->key);
    if (frame->target) ZwClose(frame->target);
    frame->~F();
    ExFreePoolWithTag(frame, TAG_KEY_QUERY);
    return up;
}

template <typename F>
void PopAll(F* frame) {
    while (frame) frame = PopFrame(frame);
}

using DeleteFrame = Frame<kDeleteBufferBytes>;
using CopyFrame = Frame<kCopyBufferBytes>;

// Writes every value of source into destination under its own name, as
// REG_SZ with its data, whole. Returns the first failing status.
NTSTATUS CopyValues(HANDLE destination, HANDLE source, RegistryBuffer& buffer) {
    for (ULONG index = 0;; ++index) {
        UNICODE_STRING name;
        const UCHAR* data;
        ULONG dataLength;
        NTSTATUS status = EnumerateValueEntry(source, index, buffer, &name, &data, &dataLength);
        if (status == STATUS_NO_MORE_ENTRIES) return STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        status = ZwSetValueKey(destination, &name, 0, REG_SZ, const_cast<UCHAR*>(data), dataLength);
        if (!NT_SUCCESS(status)) return status;
    }
}

}  // namespace

// Deletes subkey name of parentKey with every key and value below it.
// Subkeys are always read at index 0, since each deletion removes the entry
// just read. Stops at the first failure (a key that cannot be opened or
// deleted would otherwise be found again forever) and returns it; otherwise
// returns the ZwDeleteKey status of the named key.
NTSTATUS DeleteKeyTree(HANDLE parentKey, PUNICODE_STRING name) {
    HANDLE key;
    NTSTATUS status = OpenKey(&key, name, parentKey);
    if (!NT_SUCCESS(status)) return status;
    DeleteFrame* top = PushFrame<DeleteFrame>(nullptr, key, nullptr);
    if (!top) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    while (top) {
        UNICODE_STRING subkey;
        status = EnumerateSubkeyName(top->key, 0, top->buffer, &subkey);
        if (NT_SUCCESS(status)) {
            HANDLE child;
            status = OpenKey(&child, &subkey, top->key);
            if (!NT_SUCCESS(status)) break;
            DeleteFrame* frame = PushFrame(top, child, nullptr);
            if (!frame) {
                ZwClose(child);
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            top = frame;
            continue;
        }
        if (status != STATUS_NO_MORE_ENTRIES) break;
        status = ZwDeleteKey(top->key);
        top = PopFrame(top);
        if (!NT_SUCCESS(status)) break;
    }
    PopAll(top);
    return status;
}

// Creates (or opens) key destinationName under destinationParent and copies
// into it every subkey, at every depth under its own name, and every value
// (as REG_SZ, data whole) of key sourceName under sourceParent. Returns
// STATUS_SUCCESS when everything was copied, else the first failing status
// (the copy may then be partial).
NTSTATUS CopyKeyTree(HANDLE destinationParent, PUNICODE_STRING destinationName, HANDLE sourceParent,
                     PUNICODE_STRING sourceName) {
    HANDLE target, source;
    NTSTATUS status = CreateKey(&target, destinationName, destinationParent);
    if (!NT_SUCCESS(status)) return status;
    status = OpenKey(&source, sourceName, sourceParent);
    if (!NT_SUCCESS(status)) {
        ZwClose(target);
        return status;
    }
    CopyFrame* top = PushFrame<CopyFrame>(nullptr, source, target);
    if (!top) {
        ZwClose(source);
        ZwClose(target);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    while (top) {
        UNICODE_STRING subkey;
        status = EnumerateSubkeyName(top->key, top->index, top->buffer, &subkey);
        if (NT_SUCCESS(status)) {
            ++top->index;
            HANDLE childTarget, childSource;
            status = CreateKey(&childTarget, &subkey, top->target);
            if (!NT_SUCCESS(status)) break;
            status = OpenKey(&childSource, &subkey, top->key);
            if (!NT_SUCCESS(status)) {
                ZwClose(childTarget);
                break;
            }
            CopyFrame* frame = PushFrame(top, childSource, childTarget);
            if (!frame) {
                ZwClose(childSource);
                ZwClose(childTarget);
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            top = frame;
            continue;
        }
        if (status != STATUS_NO_MORE_ENTRIES) break;
        status = CopyValues(top->target, top->key, top->buffer);
        if (!NT_SUCCESS(status)) break;
        top = PopFrame(top);
    }
    PopAll(top);
    return status;
}

// Gives subkey oldName of parentKey the name newName: copies the whole tree
// under the new name and deletes the old tree only once the copy is
// complete. A failed copy is removed again and the old tree kept. A new name
// that is already a key, or that differs from the old one only in case (the
// registry's names ignore case), is refused with
// STATUS_OBJECT_NAME_COLLISION and nothing changes.
NTSTATUS RenameKeyTree(HANDLE parentKey, PUNICODE_STRING oldName, PUNICODE_STRING newName) {
    if (RtlEqualUnicodeString(oldName, newName, TRUE)) return STATUS_OBJECT_NAME_COLLISION;
    HANDLE existing;
    if (NT_SUCCESS(OpenKey(&existing, newName, parentKey))) {
        ZwClose(existing);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    NTSTATUS status = CopyKeyTree(parentKey, newName, parentKey, oldName);
    if (!NT_SUCCESS(status)) {
        DeleteKeyTree(parentKey, newName);
        return status;
    }
    return DeleteKeyTree(parentKey, oldName);
}
