// KRDriver's records and its namespace of drives, folders and mappings.
//
// A drive is a volume device whose extension is its VCB; its tree of
// TREE_NODEs lives in memory and, mirrored, in the registry (store.h). A
// folder in use by the file system has an FCB; each open of a folder has a
// CCB. Every record starts with a signature and its size so that code
// receiving a pointer of uncertain kind can check it.
//
// Lock table (always in this order; release in the opposite one):
//
//   | lock                  | guards                                        | taken by                          |
//   |-----------------------|-----------------------------------------------|-----------------------------------|
//   | ControlRequestLock    | which drive a control request's letter names  | shared: path control requests     |
//   |   (devctrl_support.h) | while the request runs                        | exclusive: drive control requests |
//   | VCB.MainResource      | the drive's tree, FCB attachment to nodes     | exclusive: every walk and change  |
//   |                       |                                               | shared: volume-information query  |
//   | FCB.MainResource      | the FCB's counts, share access, delete bit    | exclusive: cleanup, close, set    |
//   |                       |                                               | shared: query info, dir listing   |
//   | GLOBAL_DATA.Global-   | prepare-unload                                | exclusive only                    |
//   |   Resource            |                                               |                                   |
//   | DriveTableLock        | DriveTable slots                              | drive create/delete/move, readers |
//
// The drive requests (create, delete, move, rename a drive) are serialised by
// a lock of their own in drive.cpp, taken before a drive's MainResource; the
// volume-label set takes it too (DriveRequestHold, drive.h), since it
// rewrites the DriveRecord with the drive's letter. DriveTableLock is held
// only for the slot reads and writes themselves.
#pragma once

#include "platform/nt/ntddk.h"

#include <mutex>
#include <shared_mutex>

// ----- Node type codes and signatures --------------------------------------------
constexpr SHORT KR_NTC_VCB = 0x0501;
constexpr SHORT KR_NTC_FCB = 0x0503;
constexpr SHORT KR_NTC_ROOT_FCB = 0x0504;
constexpr SHORT KR_NTC_CCB = 0x0507;

// FcbState bits.
constexpr ULONG FCB_STATE_DELETE_ON_CLEANUP = 0x4;

// Pool tags.
constexpr ULONG TAG_IRP_CONTEXT = PoolTag("RIcx");
constexpr ULONG TAG_FCB = PoolTag("RDcb");
constexpr ULONG TAG_CCB = PoolTag("RCcb");
constexpr ULONG TAG_TREE_NODE = PoolTag("QTN0");
constexpr ULONG TAG_STRING = PoolTag("Qstr");  // copies of strings and targets with headers
constexpr ULONG TAG_BYTES = PoolTag("QStr");   // byte-run copies: registry names, drive names
constexpr ULONG TAG_DEVICE_NAME = PoolTag("Qdev");
constexpr ULONG TAG_REGISTRY_PATH = PoolTag("QReg");
constexpr ULONG TAG_KEY_QUERY = PoolTag("QKey");
constexpr ULONG TAG_VOLUME_QUERY = PoolTag("QVol");
constexpr ULONG TAG_DRIVE_RECORD = PoolTag("aaa0");
constexpr ULONG TAG_REPARSE_NAME = PoolTag("Qnfn");
constexpr ULONG TAG_QUERY_PATTERN = PoolTag("RDi1");
constexpr ULONG TAG_SAVED_PATTERN = PoolTag("RDi2");
constexpr ULONG TAG_STAR_PATTERN = PoolTag("RDi3");
constexpr ULONG TAG_BALANCE_RUN = PoolTag("QBal");  // a folder's children in name order, while it is reshaped

struct FCB;
struct TREE_NODE;

// The volume control block: the extension of a drive's volume device. Made by
// MountDrive; lives as long as the device.
struct VCB {
    // Only NodeTypeCode and NodeByteSize are used; the rest of the header keeps
    // Signature at the same offset as in an FCB.
    FSRTL_COMMON_FCB_HEADER Header;
    ERESOURCE MainResource;  // the drive's lock
    CHAR Signature[4];       // "VCB:"
    ULONG Size;
    // Read-only after MountDrive:
    PDEVICE_OBJECT VolumeDevice;
    FCB* RootFcb;  // node type 0x0504; lives as long as the drive
    PNOTIFY_SYNC NotifySync;
    // Under MainResource:
    UNICODE_STRING DriveName;  // display name and volume label
    // Read-only after MountDrive:
    UNICODE_STRING InstanceName;  // decimal instance number
};

// The control block of a folder (or a drive root) in use by the file system.
// Made by the create handler, freed by the close of its last reference,
// except a root's.
struct FCB {
    FSRTL_COMMON_FCB_HEADER Header;  // NodeTypeCode 0x0503, or 0x0504 for a root
    ERESOURCE MainResource;          // the folder's lock
    CHAR Signature[4];               // "FCB:"
    ULONG Size;
    VCB* Vcb;
    // Under MainResource:
    SHARE_ACCESS ShareAccess;
    ULONG OpenHandleCount;  // handles not yet cleaned up
    ULONG ReferenceCount;   // opens not yet closed
    ULONG FileAttributes;   // 0x90
    LARGE_INTEGER IndexNumber;
    ULONG FcbState;  // FCB_STATE_DELETE_ON_CLEANUP
    // Under the VCB's MainResource:
    TREE_NODE* Node;
};
static_assert(offsetof(VCB, Signature) == offsetof(FCB, Signature));

// Per open of a folder: FsContext2 of the file object.
struct CCB {
    SHORT NodeTypeCode;  // 0x0507
    SHORT NodeByteSize;
    CHAR Signature[4];  // "CCB:"
    ULONG Size;
    PLIST_ENTRY CurrentEntry;      // next child's SiblingLink; the list head at the end
    UNICODE_STRING SearchPattern;  // saved by the first directory query
    ULONG EntriesReturned;         // 0: "." next, 1: ".." next, 2+: children
};

// One per root, folder and mapping. Never freed while the drive exists: an
// FCB may still point at a detached node.
struct TREE_NODE {
    CHAR Signature[4];  // "TRE:"
    ULONG Size;
    UNICODE_STRING Name;               // component name; the root's is a static "\"
    PUNICODE_STRING Target;            // NT form of a mapping's target; NULL for root and folders
    PRTL_SPLAY_LINKS ChildrenRoot;     // splay tree of the children, by name
    RTL_SPLAY_LINKS Links;             // this node in its parent's splay tree
    LIST_ENTRY ChildList;              // children in insertion order
    LIST_ENTRY SiblingLink;            // this node in its parent's ChildList
    FCB* Fcb;                          // the folder's FCB while one exists
    TREE_NODE* Parent;                 // NULL for the root and detached nodes
};

// The driver-wide state, one static block zeroed by DriverEntry.
struct GLOBAL_DATA {
    ERESOURCE GlobalResource;
    UNICODE_STRING ServiceKeyPath;  // the service key, no NUL counted
    UNICODE_STRING DriveKeyPath;    // ServiceKeyPath + "\Drive"
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT ControlDevice;
    LIST_ENTRY VolumeList;
    ULONG GlobalFlags;
    VCB* DriveTable[26];  // by upper-case letter; under DriveTableLock
};

extern GLOBAL_DATA KrGlobal;
// Serialises writes of DriveTable by concurrent drive requests.
extern std::shared_mutex DriveTableLock;

// ----- Record checks ------------------------------------------------------------------
BOOLEAN IsVcb(PVOID context);  // reads the signature through FsContext
BOOLEAN IsFcb(PVOID context);

// ----- Tree operations (caller holds the VCB's MainResource exclusive) ------------------
NTSTATUS AllocateTreeNode(TREE_NODE** node);  // STATUS_INSUFFICIENT_RESOURCES without pool
void InsertChild(TREE_NODE* parent, TREE_NODE* node);
NTSTATUS RemoveChild(TREE_NODE* node);
TREE_NODE* LookupChild(TREE_NODE* node, PCUNICODE_STRING name);
BOOLEAN IsFolderEmpty(TREE_NODE* node);
// Gives node's splay tree of children the least height, order kept (start-up).
void BalanceChildren(TREE_NODE* node);
VCB* VcbFromLetter(WCHAR letter);  // takes DriveTableLock shared for the read; NULL for a non-letter
// The DriveTable index of a letter in either case (0 for A), or -1 for anything else.
int DriveIndex(WCHAR letter);
// Takes the VCB's lock itself. Upper-cases the letter in the caller's buffer.
NTSTATUS ResolvePath(PUNICODE_STRING path, PUNICODE_STRING remainder, TREE_NODE** node);
NTSTATUS CreateFolderNode(TREE_NODE** node, TREE_NODE* parent, PCUNICODE_STRING name);
// target must be followed in memory by a NUL character.
NTSTATUS CreateMappingNode(TREE_NODE** node, TREE_NODE* parent, PCUNICODE_STRING name, PCUNICODE_STRING target);
NTSTATUS RenameFolderNode(TREE_NODE* node, PCUNICODE_STRING newName);
NTSTATUS SetNodeTarget(TREE_NODE* node, PCUNICODE_STRING target);
FCB* AllocateFcb(VCB* vcb);
void FreeFcb(FCB* fcb);
CCB* AllocateCcb();
void FreeCcb(CCB* ccb);
// Frees a node's buffers and the node itself (driver unload and failed builds only).
void FreeTreeNode(TREE_NODE* node);
// Gives a drive's root its static name "\" (Length 2, MaximumLength 4).
void NameRootNode(TREE_NODE* root);
// Driver unload only: frees top and every node below it, FCBs included.
void FreeNodeTree(TREE_NODE* top);
// Driver unload only: frees every subtree RemoveChild detached and nothing
// inserted again.
void FreeDetachedNodes();

// ----- String helpers (no lock; buffers from non-paged pool) ----------------------------
void MakeString(PUNICODE_STRING string, USHORT length, PWSTR buffer);
NTSTATUS DuplicateBytes(PUNICODE_STRING string, USHORT length, const void* bytes);
NTSTATUS DuplicateString(PUNICODE_STRING destination, PCUNICODE_STRING source);
// Longest folder or mapping name, in characters (the registry's key-name limit).
constexpr USHORT MAX_COMPONENT_CHARS = 255;
// The one rule for the name of a new or renamed folder or mapping, whoever
// asks (a directory create, a rename, a control request).
// STATUS_OBJECT_NAME_INVALID for an empty name or one of odd byte count, "."
// or "..", a control character, one of \ / : * ? " < > | or a lone
// surrogate; STATUS_NAME_TOO_LONG beyond MAX_COMPONENT_CHARS.
NTSTATUS CheckComponentName(PCUNICODE_STRING name);
// buffer holds two NUL-terminated strings back to back within bufferLength
// bytes; STATUS_INVALID_PARAMETER when either NUL is missing.
NTSTATUS SplitStringPair(PWSTR buffer, ULONG bufferLength, PUNICODE_STRING first, PUNICODE_STRING second);
