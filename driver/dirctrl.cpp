// IRP_MJ_DIRECTORY_CONTROL: listings of virtual folders and drive roots.
//
// A listing returns ".", ".." and the folder's children in the order they
// were added, filtered by the search pattern. Folders are listed as
// directories; a mapping reports its target's times, sizes and attributes
// under its own name, and is left out when its target no longer exists.
// Change notification is not served.
//
// Position. The CCB keeps the next child to look at (CurrentEntry) and how
// far the open has got (EntriesReturned: 0 before ".", 1 before "..", then
// 2 + the index of CurrentEntry among the folder's children, which is the
// number of entries gone through as long as the listing runs straight; a
// FileIndex given back moves it). The FileIndex handed out with an entry is
// its child's index in the folder's ChildList (for "." and "..", that of the
// child the listing stands at); one given back with SL_INDEX_SPECIFIED is
// looked up as an index among the folder's children and never used as an
// address.
//
// Locks. The walk of ChildList runs under the drive's lock (shared), which
// every change of the tree holds exclusive, and the folder's lock, taken
// exclusive so that two queries on one handle cannot tear the CCB's
// position. Neither is held while targets are opened: a target may lie on a
// virtual drive, whose open and close take drive and folder locks of their
// own. A query therefore goes in rounds: collect entries under the locks,
// then, unlocked, open the targets of the mappings among them, drop the
// entries of absent targets and close the gaps. A position saved across the
// unlocked part (or from an earlier query) is checked against the folder
// before it is used again.
#include "dirsup.h"

#include <cstring>

namespace {

constexpr ULONG kRoundEntries = 128;
constexpr ULONG kNoEntry = 0xFFFFFFFF;
constexpr ULONG kAnyIndex = 0xFFFFFFFF;

const UNICODE_STRING kDot = RTL_CONSTANT_STRING(u".");
const UNICODE_STRING kDotDot = RTL_CONSTANT_STRING(u"..");
const WCHAR kStar[] = u"*";

enum class RoundStop {
    End,     // the list is done or the buffer is full
    NoFit,   // the next entry does not fit into what is left of the buffer
    Single,  // SL_RETURN_SINGLE_ENTRY and an entry was written
    Full,    // the round's table of entries is full: go on in another round
};

// An entry written during a round: where it is, and the target still to be
// read for a mapping.
struct RoundEntry {
    ULONG Offset;
    ULONG Length;
    PCUNICODE_STRING Target;  // the node's Target: kept until the drive goes, readable unlocked
};

struct Round {
    RoundEntry Entries[kRoundEntries];
    ULONG Count = 0;
    RoundStop Stop = RoundStop::End;
};

// One directory query in progress.
struct Listing {
    IRP_CONTEXT* Context;
    VCB* Vcb;
    FCB* Fcb;
    CCB* Ccb;
    PIO_STACK_LOCATION Stack;
    PUCHAR Buffer;
    ULONG Length;
    const DIRECTORY_CLASS* Class = nullptr;
    UNICODE_STRING QueryPattern{0, 0, nullptr};  // this query's own pattern (tag "RDi1")
    PCUNICODE_STRING Pattern = nullptr;          // the pattern in use
    BOOLEAN MatchesAll = FALSE;                  // the pattern is "*", which every name matches
    BOOLEAN FirstQuery = FALSE;
    ULONG Ordinal = 0;               // index of CurrentEntry among the folder's children
    PLIST_ENTRY Previous = nullptr;  // the child link this query last moved past
    ULONG Used = 0;
    ULONG LastEntry = kNoEntry;

    Listing(IRP_CONTEXT* context, FCB* fcb, PUCHAR buffer)
        : Context(context),
          Vcb(VolumeVcb(context)),
          Fcb(fcb),
          Ccb(static_cast<CCB*>(context->FileObject->FsContext2)),
          Stack(IoGetCurrentIrpStackLocation(context->Irp)),
          Buffer(buffer),
          Length(Stack->Parameters.QueryDirectory.Length) {}
    ~Listing() {
        if (QueryPattern.Buffer) ExFreePoolWithTag(QueryPattern.Buffer, TAG_QUERY_PATTERN);
    }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;
};

// Both locks of a round: the drive's shared, then the folder's exclusive.
struct ListingLocks {
    ResourceHold Drive;
    ResourceHold Folder;
    explicit ListingLocks(Listing& listing) {
        Drive.Shared(&listing.Vcb->MainResource, TRUE);
        Folder.Exclusive(&listing.Fcb->MainResource, TRUE);
    }
};

PVOID AllocatePattern(USHORT length, ULONG tag) { return ExAllocatePoolWithTag(NonPagedPool, length, tag); }

// Chooses the pattern: the request's own (upper-cased) when it carries one,
// else the one the first query saved, else "*". The first query of an open
// saves its pattern in the CCB for the later ones.
//   STATUS_SUCCESS or STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ChoosePattern(Listing& listing) {
    CCB* ccb = listing.Ccb;
    listing.FirstQuery = ccb->SearchPattern.Buffer == nullptr;
    PUNICODE_STRING given = listing.Stack->Parameters.QueryDirectory.FileName;
    const USHORT givenLength = given && given->Buffer ? static_cast<USHORT>(given->Length & ~1u) : 0;

    if (givenLength == 0) {
        if (listing.FirstQuery) {
            auto* star = static_cast<PWSTR>(AllocatePattern(sizeof(WCHAR), TAG_STAR_PATTERN));
            if (!star) return STATUS_INSUFFICIENT_RESOURCES;
            star[0] = kStar[0];
            MakeString(&ccb->SearchPattern, sizeof(WCHAR), star);
        }
        listing.Pattern = &ccb->SearchPattern;
        return STATUS_SUCCESS;
    }

    auto* upper = static_cast<PWSTR>(AllocatePattern(givenLength, TAG_QUERY_PATTERN));
    if (!upper) return STATUS_INSUFFICIENT_RESOURCES;
    listing.QueryPattern = UNICODE_STRING{0, givenLength, upper};
    UNICODE_STRING source{givenLength, givenLength, given->Buffer};
    RtlUpcaseUnicodeString(&listing.QueryPattern, &source, FALSE);
    listing.Pattern = &listing.QueryPattern;
    if (listing.FirstQuery) {
        auto* saved = static_cast<PWSTR>(AllocatePattern(givenLength, TAG_SAVED_PATTERN));
        if (!saved) return STATUS_INSUFFICIENT_RESOURCES;
        std::memcpy(saved, upper, givenLength);
        MakeString(&ccb->SearchPattern, givenLength, saved);
    }
    return STATUS_SUCCESS;
}

// The child link at *index among the folder's children; the list head, with
// *index cut to the number of children, when the folder has fewer.
PLIST_ENTRY ChildAt(TREE_NODE* folder, ULONG* index) {
    PLIST_ENTRY head = &folder->ChildList;
    PLIST_ENTRY entry = head->Flink;
    ULONG i = 0;
    for (; entry != head && i < *index; ++i) entry = entry->Flink;
    *index = i;
    return entry;
}

// Looks for link among the folder's children by address alone (it is never
// dereferenced); TRUE with its index when it is one of them.
BOOLEAN FindChildLink(TREE_NODE* folder, PLIST_ENTRY link, ULONG* index) {
    PLIST_ENTRY head = &folder->ChildList;
    ULONG i = 0;
    for (PLIST_ENTRY entry = head->Flink; entry != head; entry = entry->Flink, ++i) {
        if (entry == link) {
            *index = i;
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS EndStatus(const Listing& listing) {
    if (listing.Used != 0) return STATUS_SUCCESS;
    return listing.FirstQuery ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
}

// Places the listing at the child at index (or the end), keeping
// EntriesReturned at 2 + that index once "." and ".." are behind.
void MoveTo(Listing& listing, TREE_NODE* folder, ULONG index) {
    listing.Ccb->CurrentEntry = ChildAt(folder, &index);
    listing.Ordinal = index;
    if (listing.Ccb->EntriesReturned >= 2) listing.Ccb->EntriesReturned = 2 + index;
}

// Checks a position saved while no lock was held (by an earlier query, or
// before a round's targets were read) against the folder as it is now.
// expected is the index the next child had then. Children only ever join
// at the end, so the saved child can only have moved towards the front (an
// earlier child left) or to the end (it was given a new name, or left and
// came back); in the latter case, and when it has left the folder, the
// child now at the expected index is the one that followed it. The end of
// the list stays the end. Caller holds the listing's locks.
// kAnyIndex: the expected index is unknown (before ".." the count says
// nothing about it); the saved child is then taken wherever it is, and the
// first child replaces it when it has left.
void SyncPosition(Listing& listing, TREE_NODE* folder, ULONG expected) {
    PLIST_ENTRY current = listing.Ccb->CurrentEntry;
    if (current == &folder->ChildList) return;
    ULONG found;
    if (current && FindChildLink(folder, current, &found) && (expected == kAnyIndex || found <= expected)) {
        listing.Ordinal = found;
        if (listing.Ccb->EntriesReturned >= 2) listing.Ccb->EntriesReturned = 2 + found;
        return;
    }
    MoveTo(listing, folder, expected == kAnyIndex ? 0 : expected);
}

// Where this query starts: the child a given FileIndex denotes, the first
// child on a restart or a first query, else the saved position, checked.
// Caller holds the listing's locks.
void PositionListing(Listing& listing, TREE_NODE* folder) {
    CCB* ccb = listing.Ccb;
    const UCHAR flags = listing.Stack->Flags;
    if (flags & SL_INDEX_SPECIFIED) {
        MoveTo(listing, folder, listing.Stack->Parameters.QueryDirectory.FileIndex);
    } else if ((flags & SL_RESTART_SCAN) || listing.FirstQuery) {
        MoveTo(listing, folder, 0);
    } else {
        SyncPosition(listing, folder, ccb->EntriesReturned >= 2 ? ccb->EntriesReturned - 2 : kAnyIndex);
    }
}

// Between two rounds of one query: when the next child is still where the
// round left it (in this folder, right behind the child the round moved past
// last, which is in this folder too), nothing needs looking up; otherwise
// the position is checked as a saved one. Caller holds the listing's locks.
void ResumeAfterRound(Listing& listing, TREE_NODE* folder) {
    PLIST_ENTRY current = listing.Ccb->CurrentEntry;
    PLIST_ENTRY previous = listing.Previous;
    if (current == &folder->ChildList) return;
    if (previous && current->Blink == previous &&
        CONTAINING_RECORD(current, TREE_NODE, SiblingLink)->Parent == folder &&
        CONTAINING_RECORD(previous, TREE_NODE, SiblingLink)->Parent == folder) {
        return;
    }
    SyncPosition(listing, folder, listing.Ordinal);
}

// Collects entries from the current position: ".", "..", then the children
// that match the pattern. Folders are final; a mapping's entry waits for
// its target (ResolveRound). The position and EntriesReturned advance over
// every candidate looked at, matched or not; a candidate that does not fit
// is not counted, so the next query starts with it.
// Caller holds the listing's locks.
void CollectRound(Listing& listing, TREE_NODE* folder, Round& round) {
    CCB* ccb = listing.Ccb;
    PLIST_ENTRY head = &folder->ChildList;
    round.Count = 0;
    for (;;) {
        if (listing.Used >= listing.Length || ccb->CurrentEntry == head) {
            round.Stop = RoundStop::End;
            return;
        }
        if (round.Count == kRoundEntries) {
            round.Stop = RoundStop::Full;
            return;
        }
        const ULONG entriesReturned = ccb->EntriesReturned;
        TREE_NODE* child =
            entriesReturned >= 2 ? CONTAINING_RECORD(ccb->CurrentEntry, TREE_NODE, SiblingLink) : nullptr;
        PCUNICODE_STRING name = entriesReturned == 0 ? &kDot : entriesReturned == 1 ? &kDotDot : &child->Name;
        const ULONG length = DirectoryEntryLength(listing.Class, name->Length);
        if (length > listing.Length - listing.Used) {
            round.Stop = RoundStop::NoFit;
            return;
        }
        if (!child || listing.MatchesAll || FsRtlIsNameInExpression(listing.Pattern, &child->Name, TRUE, nullptr)) {
            PUCHAR entry = listing.Buffer + listing.Used;
            WriteEntryHeader(entry, listing.Class, listing.Ordinal, name);
            PCUNICODE_STRING target = nullptr;
            if (child && child->Target && !listing.Class->NamesOnly) {
                target = child->Target;
            } else {
                WriteEntryFacts(entry, listing.Class, FolderFacts());
            }
            round.Entries[round.Count++] = RoundEntry{listing.Used, length, target};
            listing.Used += length;
        }
        if (child) {
            listing.Previous = ccb->CurrentEntry;
            ccb->CurrentEntry = ccb->CurrentEntry->Flink;
            ++listing.Ordinal;
            ++ccb->EntriesReturned;
        } else {
            // Past ".." the count stands for the position: 2 + the next child's index.
            ccb->EntriesReturned = entriesReturned == 0 ? 1 : 2 + listing.Ordinal;
        }
        if (listing.Used != 0 && (listing.Stack->Flags & SL_RETURN_SINGLE_ENTRY)) {
            round.Stop = RoundStop::Single;
            return;
        }
    }
}

// Reads the targets of the round's mappings, without any lock, and closes
// the gaps left by mappings whose targets are absent. Returns TRUE when an
// entry was dropped (the buffer has room again).
BOOLEAN ResolveRound(Listing& listing, Round& round) {
    if (round.Count == 0) return FALSE;
    const ULONG roundEnd = listing.Used;
    ULONG write = round.Entries[0].Offset;
    BOOLEAN dropped = FALSE;
    for (ULONG i = 0; i < round.Count; ++i) {
        const RoundEntry& entry = round.Entries[i];
        if (entry.Target) {
            FILE_NETWORK_OPEN_INFORMATION facts;
            if (QueryTargetFacts(entry.Target, &facts) == TargetState::Absent) {
                dropped = TRUE;
                continue;
            }
            WriteEntryFacts(listing.Buffer + entry.Offset, listing.Class, facts);
        }
        if (write != entry.Offset) std::memmove(listing.Buffer + write, listing.Buffer + entry.Offset, entry.Length);
        listing.LastEntry = write;
        write += entry.Length;
    }
    if (write < roundEnd) std::memset(listing.Buffer + write, 0, roundEnd - write);
    listing.Used = write;
    return dropped;
}

NTSTATUS StopStatus(const Listing& listing, RoundStop stop) {
    switch (stop) {
    case RoundStop::NoFit:
        return listing.Used == 0 ? STATUS_INFO_LENGTH_MISMATCH : STATUS_SUCCESS;
    case RoundStop::Single:
        return STATUS_SUCCESS;
    default:
        return EndStatus(listing);
    }
}

NTSTATUS PreparePattern(Listing& listing) {
    NTSTATUS status = ChoosePattern(listing);
    listing.MatchesAll = NT_SUCCESS(status) && listing.Pattern->Length == sizeof(WCHAR) &&
                         listing.Pattern->Buffer[0] == kStar[0];
    return status;
}

// Pattern, restart, position and class, then the rounds.
//   STATUS_SUCCESS, STATUS_NO_SUCH_FILE, STATUS_NO_MORE_FILES,
//   STATUS_INVALID_PARAMETER (class), STATUS_INFO_LENGTH_MISMATCH,
//   STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS RunListing(Listing& listing) {
    Round round;
    {
        ListingLocks locks(listing);
        TREE_NODE* folder = listing.Fcb->Node;
        NTSTATUS status = PreparePattern(listing);
        if (!NT_SUCCESS(status)) return status;
        if (listing.Stack->Flags & SL_RESTART_SCAN) listing.Ccb->EntriesReturned = 0;
        PositionListing(listing, folder);
        if (listing.Ccb->CurrentEntry == &folder->ChildList) return EndStatus(listing);

        listing.Class = FindDirectoryClass(listing.Stack->Parameters.QueryDirectory.FileInformationClass);
        if (!listing.Class) return STATUS_INVALID_PARAMETER;
        if (listing.Length < listing.Class->EntrySize) return STATUS_INFO_LENGTH_MISMATCH;
        std::memset(listing.Buffer, 0, listing.Length);
        CollectRound(listing, folder, round);
    }
    for (;;) {
        const BOOLEAN dropped = ResolveRound(listing, round);
        if (!dropped && round.Stop != RoundStop::Full) return StopStatus(listing, round.Stop);
        ListingLocks locks(listing);
        TREE_NODE* folder = listing.Fcb->Node;
        ResumeAfterRound(listing, folder);
        CollectRound(listing, folder, round);
    }
}

// Checks the caller's buffer of a user-mode request: a bad one fails the
// request, it never reaches the dispatcher as an unhandled fault.
BOOLEAN ProbeUserBuffer(PIRP irp, ULONG length) {
    if (irp->RequestorMode == KernelMode || irp->MdlAddress || !irp->UserBuffer) return TRUE;
    try {
        ProbeForWrite(irp->UserBuffer, length, 1);
        return TRUE;
    } catch (const NtStatusException&) {
        return FALSE;
    }
}

// IRP_MN_QUERY_DIRECTORY on a folder open.
NTSTATUS QueryDirectory(IRP_CONTEXT* context) {
    PIRP irp = context->Irp;
    FCB* fcb = FolderFcbOf(context->FileObject, context->DeviceObject);
    if (!fcb || !(fcb->FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return CompleteRequest(context, STATUS_INVALID_PARAMETER, BoostFor(STATUS_INVALID_PARAMETER));
    }
    const ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDirectory.Length;
    if (!ProbeUserBuffer(irp, length)) {
        return CompleteRequest(context, STATUS_INVALID_USER_BUFFER, BoostFor(STATUS_INVALID_USER_BUFFER));
    }
    auto* buffer = static_cast<PUCHAR>(MapUserBuffer(irp));
    if (!buffer) return CompleteRequest(context, STATUS_INVALID_USER_BUFFER, BoostFor(STATUS_INVALID_USER_BUFFER));

    if (!context->Wait) {
        // Fill the buffer from a worker, through a locked and mapped MDL.
        NTSTATUS status = LockUserBuffer(irp, length, IoWriteAccess);
        if (!NT_SUCCESS(status)) return CompleteRequest(context, status, BoostFor(status));
        return PostRequest(context);
    }

    NTSTATUS status;
    ULONG used = 0;
    {
        Listing listing(context, fcb, buffer);
        status = RunListing(listing);
        if (listing.LastEntry != kNoEntry) WriteNextEntryOffset(buffer + listing.LastEntry, 0);
        if (!NT_ERROR(status) && !NT_WARNING(status)) used = listing.Used;
    }
    irp->IoStatus.Information = used;
    return CompleteRequest(context, status, BoostFor(status));
}

}  // namespace

// The IRP_MJ_DIRECTORY_CONTROL handler: listings; every other minor
// function, change notification included, is refused.
NTSTATUS CommonDirectoryControl(IRP_CONTEXT* context) {
    if (OnControlDevice(context) || context->MinorFunction != IRP_MN_QUERY_DIRECTORY) {
        context->Irp->IoStatus.Information = 0;
        return CompleteRequest(context, STATUS_INVALID_DEVICE_REQUEST, BoostFor(STATUS_INVALID_DEVICE_REQUEST));
    }
    return QueryDirectory(context);
}
