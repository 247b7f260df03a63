// Building and freeing the driver's records: tree nodes, FCBs and CCBs, and
// the signature checks that tell a VCB from an FCB behind FsContext.
#include "namespace.h"

#include <cstring>

namespace {

// The root's name: a static "\" (Length 2, MaximumLength 4) never freed.
WCHAR g_rootName[] = u"\\";

constexpr char kTreeSignature[4] = {'T', 'R', 'E', ':'};
constexpr char kFcbSignature[4] = {'F', 'C', 'B', ':'};
constexpr char kVcbSignature[4] = {'V', 'C', 'B', ':'};
constexpr char kCcbSignature[4] = {'C', 'C', 'B', ':'};

// TRUE when the record at context carries signature and size at the offsets
// VCB and FCB share.
BOOLEAN HasSignature(PVOID context, const char (&signature)[4], ULONG size) {
    if (!context) return FALSE;
    const auto* bytes = static_cast<const char*>(context);
    ULONG recordSize;
    std::memcpy(&recordSize, bytes + offsetof(FCB, Size), sizeof recordSize);
    return std::memcmp(bytes + offsetof(FCB, Signature), signature, 4) == 0 && recordSize == size;
}

}  // namespace

BOOLEAN IsVcb(PVOID context) { return HasSignature(context, kVcbSignature, sizeof(VCB)); }
BOOLEAN IsFcb(PVOID context) { return HasSignature(context, kFcbSignature, sizeof(FCB)); }

// Allocates a node (tag "QTN0") outside any tree: no name, no target, no
// children, its splay links in the single-node state, its lists empty.
// Returns STATUS_INSUFFICIENT_RESOURCES without pool (*node unchanged).
NTSTATUS AllocateTreeNode(TREE_NODE** node) {
    auto* n = static_cast<TREE_NODE*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(TREE_NODE), TAG_TREE_NODE));
    if (!n) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(n->Signature, kTreeSignature, 4);
    n->Size = sizeof(TREE_NODE);
    n->Name = UNICODE_STRING{0, 0, nullptr};
    n->Target = nullptr;
    n->ChildrenRoot = nullptr;
    RtlInitializeSplayLinks(&n->Links);
    InitializeListHead(&n->ChildList);
    InitializeListHead(&n->SiblingLink);
    n->Fcb = nullptr;
    n->Parent = nullptr;
    *node = n;
    return STATUS_SUCCESS;
}

void NameRootNode(TREE_NODE* root) { root->Name = UNICODE_STRING{2, 4, g_rootName}; }

// Frees the node's name (unless it is the root's static one), its target and
// the node. The caller has taken it out of every tree and list.
void FreeTreeNode(TREE_NODE* node) {
    // Names come from DuplicateBytes ("QStr", loaded) or DuplicateString
    // ("Qstr", created at run time): free with whichever tag the block has.
    if (node->Name.Buffer && node->Name.Buffer != g_rootName) ExFreePoolWithTag(node->Name.Buffer, 0);
    if (node->Target) ExFreePoolWithTag(node->Target, TAG_STRING);
    ExFreePoolWithTag(node, TAG_TREE_NODE);
}

// Allocates and initialises a folder's FCB for vcb (tag "RDcb"): node type
// 0x0503, attributes 0x90, counts and state 0, its resource initialised.
// The caller sets Node, the node's Fcb and IndexNumber. NULL without pool.
FCB* AllocateFcb(VCB* vcb) {
    auto* fcb = static_cast<FCB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FCB), TAG_FCB));
    if (!fcb) return nullptr;
    std::memset(fcb, 0, sizeof *fcb);
    if (!NT_SUCCESS(ExInitializeResourceLite(&fcb->MainResource))) {
        ExFreePoolWithTag(fcb, TAG_FCB);
        return nullptr;
    }
    fcb->Header.NodeTypeCode = KR_NTC_FCB;
    fcb->Header.NodeByteSize = sizeof(FCB);
    fcb->Header.IsFastIoPossible = FastIoIsNotPossible;
    fcb->Header.Resource = &fcb->MainResource;
    std::memcpy(fcb->Signature, kFcbSignature, 4);
    fcb->Size = sizeof(FCB);
    fcb->Vcb = vcb;
    fcb->FileAttributes = 0x90;  // FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL
    return fcb;
}

// Detaches the FCB from its node, deletes its resource and frees it.
// Caller holds the VCB's MainResource exclusive (the node's Fcb changes).
void FreeFcb(FCB* fcb) {
    if (fcb->Node && fcb->Node->Fcb == fcb) fcb->Node->Fcb = nullptr;
    ExDeleteResourceLite(&fcb->MainResource);
    ExFreePoolWithTag(fcb, TAG_FCB);
}

// Allocates a CCB (tag "RCcb") positioned before the first entry, with no
// saved pattern. NULL without pool.
CCB* AllocateCcb() {
    auto* ccb = static_cast<CCB*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(CCB), TAG_CCB));
    if (!ccb) return nullptr;
    ccb->NodeTypeCode = KR_NTC_CCB;
    ccb->NodeByteSize = sizeof(CCB);
    std::memcpy(ccb->Signature, kCcbSignature, 4);
    ccb->Size = sizeof(CCB);
    ccb->CurrentEntry = nullptr;
    ccb->SearchPattern = UNICODE_STRING{0, 0, nullptr};
    ccb->EntriesReturned = 0;
    return ccb;
}

// Frees the saved search pattern (whatever tag the directory code gave it)
// and the CCB.
void FreeCcb(CCB* ccb) {
    if (ccb->SearchPattern.Buffer) ExFreePoolWithTag(ccb->SearchPattern.Buffer, 0);
    ExFreePoolWithTag(ccb, TAG_CCB);
}

// Frees top and every node below it, with the FCBs still attached to them
// (driver unload only, when no request runs). Walks the ChildLists, not the
// splay trees, and needs no stack: a child is unlinked from its parent's list
// before the walk descends into it, and the walk climbs back by Parent.
void FreeNodeTree(TREE_NODE* top) {
    TREE_NODE* node = top;
    for (;;) {
        if (!IsListEmpty(&node->ChildList)) {
            PLIST_ENTRY first = RemoveHeadList(&node->ChildList);
            node = CONTAINING_RECORD(first, TREE_NODE, SiblingLink);
            continue;
        }
        TREE_NODE* parent = node->Parent;
        const bool last = node == top;
        if (node->Fcb) FreeFcb(node->Fcb);
        FreeTreeNode(node);
        if (last) return;
        node = parent;
    }
}
