// The namespace tree of a drive: children kept twice, in a splay tree by
// name (case-insensitive) for lookup and in a list in creation order for
// enumeration; the NT form of mapping targets; and the node operations that
// write themselves through to the registry store.
//
// Every routine here expects the drive's MainResource held exclusive: a
// lookup splays and so changes the tree.
#include "namespace.h"
#include "store.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <unordered_set>

namespace {

// Nodes detached by RemoveChild and not inserted again. The driver never
// frees a node while it runs (an FCB may still point at it); the unload
// routine frees these subtrees, which nothing else reaches any more.
struct DetachedNodes {
    std::mutex mutex;
    std::unordered_set<TREE_NODE*> roots;
    std::atomic<size_t> count{0};
};

// A static object, not a heap block: when KRDriver.sys is unloaded its data
// goes with it, and a block only it pointed to would be lost. The unload
// routine has emptied it by then.
DetachedNodes& Detached() {
    static DetachedNodes detached;
    return detached;
}

void NoteDetached(TREE_NODE* node) {
    DetachedNodes& d = Detached();
    std::lock_guard lock(d.mutex);
    try {
        d.roots.insert(node);
    } catch (const std::bad_alloc&) {
        return;  // only the unload would miss it
    }
    d.count = d.roots.size();
}

void NoteAttached(TREE_NODE* node) {
    DetachedNodes& d = Detached();
    if (d.count.load() == 0) return;  // the usual case: nothing was ever detached
    std::lock_guard lock(d.mutex);
    d.roots.erase(node);
    d.count = d.roots.size();
}

TREE_NODE* NodeOf(PRTL_SPLAY_LINKS links) { return CONTAINING_RECORD(links, TREE_NODE, Links); }

}  // namespace

// Inserts node as a child of parent: ordered descent of the parent's splay
// tree without splaying (a greater name goes right, any other left), then the
// tail of the parent's ChildList. The caller has checked that no child of
// that name exists.
void InsertChild(TREE_NODE* parent, TREE_NODE* node) {
    node->Parent = parent;
    if (!parent->ChildrenRoot) {
        parent->ChildrenRoot = &node->Links;
    } else {
        PRTL_SPLAY_LINKS at = parent->ChildrenRoot;
        for (;;) {
            if (RtlCompareUnicodeString(&node->Name, &NodeOf(at)->Name, TRUE) > 0) {
                if (!at->RightChild) {
                    RtlInsertAsRightChild(at, &node->Links);
                    break;
                }
                at = at->RightChild;
            } else {
                if (!at->LeftChild) {
                    RtlInsertAsLeftChild(at, &node->Links);
                    break;
                }
                at = at->LeftChild;
            }
        }
    }
    InsertTailList(&parent->ChildList, &node->SiblingLink);
    NoteAttached(node);
}

// Detaches node from its parent's splay tree and ChildList; its own children
// stay with it. STATUS_INVALID_PARAMETER for a node without parent (a root,
// or a node already detached).
NTSTATUS RemoveChild(TREE_NODE* node) {
    TREE_NODE* parent = node->Parent;
    if (!parent) return STATUS_INVALID_PARAMETER;
    parent->ChildrenRoot = RtlDelete(&node->Links);
    RtlInitializeSplayLinks(&node->Links);
    RemoveEntryList(&node->SiblingLink);
    node->Parent = nullptr;
    NoteDetached(node);
    return STATUS_SUCCESS;
}

// Finds the child of node whose name equals name without regard to case and
// splays it to the root of the node's splay tree. NULL when there is none.
TREE_NODE* LookupChild(TREE_NODE* node, PCUNICODE_STRING name) {
    PRTL_SPLAY_LINKS at = node->ChildrenRoot;
    while (at) {
        LONG order = RtlCompareUnicodeString(&NodeOf(at)->Name, name, TRUE);
        if (order > 0) {
            at = at->LeftChild;
        } else if (order < 0) {
            at = at->RightChild;
        } else {
            node->ChildrenRoot = RtlSplay(at);
            return NodeOf(at);
        }
    }
    return nullptr;
}

BOOLEAN IsFolderEmpty(TREE_NODE* node) { return IsListEmpty(&node->ChildList); }

namespace {

// The next node of a splay tree in name order, through the parent links;
// NULL after the last. A root's Parent is the root itself.
PRTL_SPLAY_LINKS NextInOrder(PRTL_SPLAY_LINKS at) {
    if (at->RightChild) {
        at = at->RightChild;
        while (at->LeftChild) at = at->LeftChild;
        return at;
    }
    while (!RtlIsRoot(at) && RtlIsRightChild(at)) at = at->Parent;
    return RtlIsRoot(at) ? nullptr : at->Parent;
}

// Links run[0..count) (in name order) into a tree of least height below
// parent (NULL for the root) and returns its top. Recursion is as deep as
// the tree it builds: log2 of the count.
PRTL_SPLAY_LINKS BuildBalanced(PRTL_SPLAY_LINKS* run, size_t count, PRTL_SPLAY_LINKS parent) {
    if (count == 0) return nullptr;
    const size_t middle = count / 2;
    PRTL_SPLAY_LINKS top = run[middle];
    top->Parent = parent ? parent : top;
    top->LeftChild = BuildBalanced(run, middle, top);
    top->RightChild = BuildBalanced(run + middle + 1, count - middle - 1, top);
    return top;
}

}  // namespace

// Reshapes node's splay tree of children into one of least height, keeping
// its order: a folder loaded from the store arrives in name order, and
// splaying each newcomer to the top leaves a chain as long as the folder
// that the first lookups would walk. ChildList is untouched. Without pool
// for the temporary run of links the tree keeps its shape.
void BalanceChildren(TREE_NODE* node) {
    size_t count = 0;
    for (PLIST_ENTRY entry = node->ChildList.Flink; entry != &node->ChildList; entry = entry->Flink) ++count;
    if (count < 3) return;
    auto* run = static_cast<PRTL_SPLAY_LINKS*>(
        ExAllocatePoolWithTag(NonPagedPool, count * sizeof(PRTL_SPLAY_LINKS), TAG_BALANCE_RUN));
    if (!run) return;
    PRTL_SPLAY_LINKS at = node->ChildrenRoot;
    while (at->LeftChild) at = at->LeftChild;
    size_t filled = 0;
    for (; at && filled < count; at = NextInOrder(at)) run[filled++] = at;
    if (filled == count && !at) node->ChildrenRoot = BuildBalanced(run, count, nullptr);
    ExFreePoolWithTag(run, TAG_BALANCE_RUN);
}

// Sets the node's Target to the NT form of the user target: "" stays empty
// (but non-NULL), "\\server\share..." becomes "\??\UNC\server\share...", and
// "C:\..." becomes "\??\C:\...". Header and text share one pool block (tag
// "Qstr"). A previous target is freed. Returns STATUS_INSUFFICIENT_RESOURCES
// without pool and STATUS_NAME_TOO_LONG when the result does not fit a
// counted string; the node is then unchanged.
NTSTATUS SetNodeTarget(TREE_NODE* node, PCUNICODE_STRING target) {
    static const WCHAR kUncPrefix[] = u"\\??\\UNC";
    static const WCHAR kLocalPrefix[] = u"\\??\\";
    const WCHAR* prefix = nullptr;
    size_t prefixBytes = 0;
    const WCHAR* rest = target->Buffer;
    size_t restBytes = target->Length & ~size_t{1};
    if (restBytes != 0 && rest[0] == u'\\') {
        prefix = kUncPrefix;
        prefixBytes = sizeof kUncPrefix - sizeof(WCHAR);
        ++rest;  // "\\server" keeps one backslash after "UNC"
        restBytes -= sizeof(WCHAR);
    } else if (restBytes != 0) {
        prefix = kLocalPrefix;
        prefixBytes = sizeof kLocalPrefix - sizeof(WCHAR);
    }
    const size_t total = prefixBytes + restBytes;
    if (total > 0xFFFE) return STATUS_NAME_TOO_LONG;

    auto* string = static_cast<PUNICODE_STRING>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(UNICODE_STRING) + total, TAG_STRING));
    if (!string) return STATUS_INSUFFICIENT_RESOURCES;
    string->Length = string->MaximumLength = static_cast<USHORT>(total);
    string->Buffer = total ? reinterpret_cast<PWSTR>(string + 1) : nullptr;
    if (total) {
        std::memcpy(string->Buffer, prefix, prefixBytes);
        std::memcpy(reinterpret_cast<char*>(string->Buffer) + prefixBytes, rest, restBytes);
    }
    if (node->Target) ExFreePoolWithTag(node->Target, TAG_STRING);
    node->Target = string;
    return STATUS_SUCCESS;
}

namespace {

// Takes back an InsertChild of a node nobody else has seen yet (the caller
// has held the drive's lock since the insertion) and frees it: the store
// refused the node, so neither memory nor the store keeps it.
void DiscardNewChild(TREE_NODE* node) {
    TREE_NODE* parent = node->Parent;
    parent->ChildrenRoot = RtlDelete(&node->Links);
    RemoveEntryList(&node->SiblingLink);
    FreeTreeNode(node);
}

}  // namespace

// Creates a folder node named name under parent and its registry key in the
// parent's folder key. The caller has checked that parent has no child of
// that name. Returns STATUS_INSUFFICIENT_RESOURCES without pool, or the
// status of the failing registry open or create; on any failure the tree is
// as before and *node is untouched.
NTSTATUS CreateFolderNode(TREE_NODE** node, TREE_NODE* parent, PCUNICODE_STRING name) {
    TREE_NODE* child;
    NTSTATUS status = AllocateTreeNode(&child);
    if (!NT_SUCCESS(status)) return status;
    status = DuplicateString(&child->Name, name);
    if (!NT_SUCCESS(status)) {
        FreeTreeNode(child);
        return status;
    }
    InsertChild(parent, child);
    HANDLE parentKey;
    status = OpenParentKey(&parentKey, child);
    if (NT_SUCCESS(status)) {
        HANDLE key;
        status = CreateKey(&key, &child->Name, parentKey);
        if (NT_SUCCESS(status)) ZwClose(key);
        ZwClose(parentKey);
    }
    if (!NT_SUCCESS(status)) {
        DiscardNewChild(child);
        return status;
    }
    *node = child;
    return STATUS_SUCCESS;
}

// Creates a mapping node named name under parent with target in NT form, and
// its REG_SZ value in the parent's folder key holding target as given, with
// its NUL (target must be followed in memory by one). The caller has checked
// the name. Statuses as CreateFolderNode (the registry's being the value
// write's), plus STATUS_NAME_TOO_LONG from SetNodeTarget.
NTSTATUS CreateMappingNode(TREE_NODE** node, TREE_NODE* parent, PCUNICODE_STRING name, PCUNICODE_STRING target) {
    TREE_NODE* child;
    NTSTATUS status = AllocateTreeNode(&child);
    if (!NT_SUCCESS(status)) return status;
    status = DuplicateString(&child->Name, name);
    if (NT_SUCCESS(status)) status = SetNodeTarget(child, target);
    if (!NT_SUCCESS(status)) {
        FreeTreeNode(child);
        return status;
    }
    InsertChild(parent, child);
    HANDLE parentKey;
    status = OpenParentKey(&parentKey, child);
    if (NT_SUCCESS(status)) {
        static WCHAR empty = 0;  // an empty target may come without a buffer
        status = ZwSetValueKey(parentKey, &child->Name, 0, REG_SZ, target->Buffer ? target->Buffer : &empty,
                               target->Buffer ? target->Length + sizeof(WCHAR) : sizeof(WCHAR));
        ZwClose(parentKey);
    }
    if (!NT_SUCCESS(status)) {
        DiscardNewChild(child);
        return status;
    }
    *node = child;
    return STATUS_SUCCESS;
}

// Gives a folder node a new name: refused with STATUS_OBJECT_NAME_COLLISION
// when the parent has a child of that name (the node itself included, so a
// change of case alone is refused). Otherwise renames the folder's key tree
// in the store, then detaches the node, renames it and inserts it again (at
// the end of the parent's enumeration order). The store changes first: when
// it cannot (the failing registry status is returned, STATUS_OBJECT_NAME_-
// COLLISION among them for a key of that name only the store has), the node
// keeps its name and place. STATUS_INVALID_PARAMETER for a node without
// parent, STATUS_INSUFFICIENT_RESOURCES (nothing changed) without pool.
NTSTATUS RenameFolderNode(TREE_NODE* node, PCUNICODE_STRING newName) {
    TREE_NODE* parent = node->Parent;
    if (!parent) return STATUS_INVALID_PARAMETER;
    if (LookupChild(parent, newName)) return STATUS_OBJECT_NAME_COLLISION;
    UNICODE_STRING name;
    NTSTATUS status = DuplicateString(&name, newName);
    if (!NT_SUCCESS(status)) return status;
    HANDLE parentKey;
    status = OpenParentKey(&parentKey, node);
    if (NT_SUCCESS(status)) {
        status = RenameKeyTree(parentKey, &node->Name, &name);
        ZwClose(parentKey);
    }
    if (!NT_SUCCESS(status)) {
        if (name.Buffer) ExFreePoolWithTag(name.Buffer, TAG_STRING);
        return status;
    }
    RemoveChild(node);
    if (node->Name.Buffer) ExFreePoolWithTag(node->Name.Buffer, 0);
    node->Name = name;
    InsertChild(parent, node);
    return STATUS_SUCCESS;
}

// Frees every subtree detached by RemoveChild and not inserted again (driver
// unload only, when no request runs).
void FreeDetachedNodes() {
    DetachedNodes& d = Detached();
    std::unordered_set<TREE_NODE*> roots;
    {
        std::lock_guard lock(d.mutex);
        roots.swap(d.roots);
        d.count = 0;
    }
    for (TREE_NODE* node : roots) FreeNodeTree(node);
}
