// Start-up: every drive stored under the Drive key is mounted, and its
// folder keys become its tree: subkeys are folders, values are mappings.
#include "drive.h"
#include "store.h"

#include <new>

namespace {

// Drive subkey names are instance numbers: 64 bytes hold the header and 24
// characters. Folder names fit 534 bytes (header and 259 characters). A
// longer name is read whole through pool rather than cut or skipped.
constexpr ULONG kDriveNameBufferBytes = 64;
constexpr ULONG kFolderNameBufferBytes = 534;

// One folder level of the load: its key, its node, the next subkey index and
// the buffer its entries are read into. Frames live in pool (tag "QKey"), so
// the depth of a folder tree costs no stack.
struct LoadFrame {
    LoadFrame* up;
    HANDLE key;
    bool ownsKey;  // the caller's key is closed by the caller
    TREE_NODE* node;
    ULONG index;
    alignas(8) UCHAR fixed[kFolderNameBufferBytes];
    RegistryBuffer buffer;

    LoadFrame(LoadFrame* up, HANDLE key, bool ownsKey, TREE_NODE* node)
        : up(up), key(key), ownsKey(ownsKey), node(node), index(0), buffer(fixed, sizeof fixed) {}
};

LoadFrame* PushFrame(LoadFrame* up, HANDLE key, bool ownsKey, TREE_NODE* node) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(LoadFrame), TAG_KEY_QUERY);
    return block ? new (block) LoadFrame(up, key, ownsKey, node) : nullptr;
}

LoadFrame* PopFrame(LoadFrame* frame) {
    LoadFrame* up = frame->up;
    if (frame->ownsKey) ZwClose(frame->key);
    frame->~LoadFrame();
    ExFreePoolWithTag(frame, TAG_KEY_QUERY);
    return up;
}

// Makes a child of parent named name (a "QStr" copy), a mapping to target
// when target is given, unless the name is empty (a key's unnamed default
// value, which no path can reach) or parent already has a child of that
// name (a hand-edited key holding a subkey and a value of one name: the
// first one loaded wins). Returns the child, or NULL when none was added;
// nothing is left allocated then.
TREE_NODE* AddLoadedChild(TREE_NODE* parent, PCUNICODE_STRING name, PCUNICODE_STRING target) {
    if (name->Length == 0 || LookupChild(parent, name)) return nullptr;
    TREE_NODE* child;
    if (!NT_SUCCESS(AllocateTreeNode(&child))) return nullptr;
    NTSTATUS status = DuplicateBytes(&child->Name, name->Length, name->Buffer);
    if (NT_SUCCESS(status) && target) status = SetNodeTarget(child, target);
    if (!NT_SUCCESS(status)) {
        FreeTreeNode(child);
        return nullptr;
    }
    InsertChild(parent, child);
    // Subkeys arrive sorted by name; splaying the newest child to the root
    // keeps each insertion's descent short instead of growing one long
    // chain. The set of children, and their order in ChildList, is unchanged.
    parent->ChildrenRoot = RtlSplay(&child->Links);
    return child;
}

// Adds every value of key to node as a mapping, in the registry's value
// order. The data is taken as UTF-16 up to its first NUL, or whole when it
// holds none. Stops at the first enumeration status other than success.
void LoadMappings(HANDLE key, TREE_NODE* node, RegistryBuffer& buffer) {
    for (ULONG index = 0;; ++index) {
        UNICODE_STRING name;
        const UCHAR* data;
        ULONG dataLength;
        if (!NT_SUCCESS(EnumerateValueEntry(key, index, buffer, &name, &data, &dataLength))) return;
        const auto* text = reinterpret_cast<const WCHAR*>(data);
        ULONG units = 0;
        while (units < dataLength / sizeof(WCHAR) && text[units] != 0) ++units;
        if (units > 0x7FFF) continue;  // not a target any counted string can hold
        UNICODE_STRING target;
        MakeString(&target, static_cast<USHORT>(units * sizeof(WCHAR)), const_cast<PWSTR>(text));
        AddLoadedChild(node, &name, &target);
    }
}

}  // namespace

// Loads folder key key into node: first every subkey as a folder (with its
// own tree, depth first), then every value as a mapping, so that after a
// start a folder's children enumerate folders first. Each folder's lookup
// tree is then given its least height. Errors only leave
// parts out: a key that cannot be opened, or pool that runs out, contributes
// nothing. Caller holds the drive's MainResource exclusive; key stays open.
void LoadFolder(HANDLE key, TREE_NODE* node) {
    LoadFrame* top = PushFrame(nullptr, key, false, node);
    while (top) {
        UNICODE_STRING name;
        if (NT_SUCCESS(EnumerateSubkeyName(top->key, top->index, top->buffer, &name))) {
            ++top->index;
            TREE_NODE* child = AddLoadedChild(top->node, &name, nullptr);
            HANDLE subkey;
            if (!child || !NT_SUCCESS(OpenKey(&subkey, &name, top->key))) continue;
            LoadFrame* frame = PushFrame(top, subkey, true, child);
            if (frame)
                top = frame;
            else
                ZwClose(subkey);
            continue;
        }
        LoadMappings(top->key, top->node, top->buffer);
        BalanceChildren(top->node);
        top = PopFrame(top);
    }
}

// Mounts every drive found as a subkey of the Drive key, with its letter
// link, and loads its tree. A drive that cannot be mounted is skipped with
// its tree; nothing here fails start-up.
void LoadDrives() {
    HANDLE driveKey;
    if (!NT_SUCCESS(OpenKey(&driveKey, &KrGlobal.DriveKeyPath, nullptr))) return;
    alignas(8) UCHAR fixed[kDriveNameBufferBytes];
    RegistryBuffer buffer(fixed, sizeof fixed);
    UNICODE_STRING instance;
    for (ULONG index = 0; NT_SUCCESS(EnumerateSubkeyName(driveKey, index, buffer, &instance)); ++index) {
        TREE_NODE* root = nullptr;
        MountDrive(driveKey, &instance, &root, TRUE);
        if (!root) continue;
        HANDLE folderKey;
        if (!NT_SUCCESS(OpenKey(&folderKey, &instance, driveKey))) continue;
        VCB* vcb = root->Fcb->Vcb;
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&vcb->MainResource, TRUE);
        LoadFolder(folderKey, root);
        ExReleaseResourceLite(&vcb->MainResource);
        KeLeaveCriticalRegion();
        ZwClose(folderKey);
    }
    ZwClose(driveKey);
}
