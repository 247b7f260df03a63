// Run-time library: counted strings, the upper-case table, integer
// conversion and splay links.
#include "rtl.h"

#include "pool.h"

#include <algorithm>
#include <cstring>

namespace korin::rtl {

namespace detail {
extern const WCHAR kUpcasePairs[][2];
extern const size_t kUpcasePairCount;
}  // namespace detail

const WCHAR* UpcaseTable() {
    // Built once from the generated pairs; never destroyed, so it stays valid
    // for threads still running while the process exits.
    static const WCHAR* table = [] {
        auto* t = new WCHAR[0x10000];
        for (unsigned c = 0; c < 0x10000; ++c) t[c] = static_cast<WCHAR>(c);
        for (size_t i = 0; i < detail::kUpcasePairCount; ++i) t[detail::kUpcasePairs[i][0]] = detail::kUpcasePairs[i][1];
        return t;
    }();
    return table;
}

}  // namespace korin::rtl

namespace {

constexpr ULONG kUstrTag = PoolTag("Ustr");

USHORT Units(PCUNICODE_STRING s) { return s->Length / sizeof(WCHAR); }

// Compares the first n units of a and b; returns the difference of the first
// differing pair (upper-cased when caseInsensitive), or 0.
LONG CompareUnits(PCWSTR a, PCWSTR b, size_t n, BOOLEAN caseInsensitive) {
    const WCHAR* up = korin::rtl::UpcaseTable();
    for (size_t i = 0; i < n; ++i) {
        WCHAR ca = a[i], cb = b[i];
        if (ca != cb && caseInsensitive) {
            ca = up[ca];
            cb = up[cb];
        }
        if (ca != cb) return static_cast<LONG>(ca) - static_cast<LONG>(cb);
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Strings
// ---------------------------------------------------------------------------

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
    destination->Buffer = const_cast<PWSTR>(source);
    if (!source) {
        destination->Length = destination->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (source[n]) ++n;
    // A counted string holds at most 0xFFFE bytes; longer sources are cut
    // so that MaximumLength (Length plus the NUL) still fits.
    size_t bytes = std::min<size_t>(n * sizeof(WCHAR), 0xFFFC);
    destination->Length = static_cast<USHORT>(bytes);
    destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (!source || !source->Buffer) {
        destination->Length = 0;
        return;
    }
    USHORT bytes = std::min(destination->MaximumLength, source->Length);
    bytes &= ~1u;
    std::memmove(destination->Buffer, source->Buffer, bytes);
    destination->Length = bytes;
    // Terminate when there is room, as the kernel routine does.
    if (bytes + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source) {
    if (!source || source->Length == 0) return STATUS_SUCCESS;
    size_t total = size_t{destination->Length} + source->Length;
    if (total > destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<char*>(destination->Buffer) + destination->Length, source->Buffer, source->Length);
    destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= destination->MaximumLength) destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source) {
    if (!source) return STATUS_SUCCESS;
    size_t n = 0;
    while (source[n]) ++n;
    if (n * sizeof(WCHAR) > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
    UNICODE_STRING s{static_cast<USHORT>(n * sizeof(WCHAR)), static_cast<USHORT>(n * sizeof(WCHAR)),
                     const_cast<PWSTR>(source)};
    return RtlAppendUnicodeStringToString(destination, &s);
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    size_t n = std::min(Units(a), Units(b));
    LONG d = CompareUnits(a->Buffer, b->Buffer, n, caseInsensitive);
    if (d != 0) return d;
    return static_cast<LONG>(a->Length) - static_cast<LONG>(b->Length);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive) {
    if (a->Length != b->Length) return FALSE;
    return CompareUnits(a->Buffer, b->Buffer, Units(a), caseInsensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string, BOOLEAN caseInsensitive) {
    if (prefix->Length > string->Length) return FALSE;
    return CompareUnits(prefix->Buffer, string->Buffer, Units(prefix), caseInsensitive) == 0;
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) { return korin::rtl::UpcaseTable()[c]; }

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate) {
    USHORT bytes = source->Length & ~1u;
    if (allocate) {
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kUstrTag));
        if (!buffer) return STATUS_NO_MEMORY;
        destination->Buffer = buffer;
        destination->MaximumLength = bytes;
    } else if (destination->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    const WCHAR* up = korin::rtl::UpcaseTable();
    // Source and destination may be the same string: unit by unit is safe.
    for (USHORT i = 0; i < bytes / sizeof(WCHAR); ++i) destination->Buffer[i] = up[source->Buffer[i]];
    destination->Length = bytes;
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(PUNICODE_STRING string) {
    if (string->Buffer) ExFreePoolWithTag(string->Buffer, kUstrTag);
    string->Buffer = nullptr;
    string->Length = string->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string) {
    if (base == 0) base = 10;
    if (base != 2 && base != 8 && base != 10 && base != 16) return STATUS_INVALID_PARAMETER;
    WCHAR digits[32];
    size_t n = 0;
    do {
        ULONG d = value % base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? u'0' + d : u'A' + (d - 10));
        value /= base;
    } while (value);
    size_t bytes = n * sizeof(WCHAR);
    if (bytes > string->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i) string->Buffer[i] = digits[n - 1 - i];
    string->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= string->MaximumLength) string->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// Splay links. A root's Parent points to the root itself.
// ---------------------------------------------------------------------------

namespace {

// In parent, replaces the child pointer that points at oldChild with newChild.
void ReplaceChild(PRTL_SPLAY_LINKS parent, PRTL_SPLAY_LINKS oldChild, PRTL_SPLAY_LINKS newChild) {
    if (parent->LeftChild == oldChild)
        parent->LeftChild = newChild;
    else
        parent->RightChild = newChild;
}

// Rotates x above its parent, keeping the in-order sequence.
void Rotate(PRTL_SPLAY_LINKS x) {
    PRTL_SPLAY_LINKS p = x->Parent;
    if (p->LeftChild == x) {
        p->LeftChild = x->RightChild;
        if (x->RightChild) x->RightChild->Parent = p;
        x->RightChild = p;
    } else {
        p->RightChild = x->LeftChild;
        if (x->LeftChild) x->LeftChild->Parent = p;
        x->LeftChild = p;
    }
    if (RtlIsRoot(p)) {
        x->Parent = x;
    } else {
        ReplaceChild(p->Parent, p, x);
        x->Parent = p->Parent;
    }
    p->Parent = x;
}

}  // namespace

PRTL_SPLAY_LINKS RtlSplay(PRTL_SPLAY_LINKS x) {
    while (!RtlIsRoot(x)) {
        PRTL_SPLAY_LINKS p = x->Parent;
        if (RtlIsRoot(p)) {
            Rotate(x);  // zig
        } else if (RtlIsLeftChild(x) == RtlIsLeftChild(p)) {
            Rotate(p);  // zig-zig
            Rotate(x);
        } else {
            Rotate(x);  // zig-zag
            Rotate(x);
        }
    }
    return x;
}

PRTL_SPLAY_LINKS RtlDelete(PRTL_SPLAY_LINKS node) {
    PRTL_SPLAY_LINKS splayFrom;
    if (node->LeftChild && node->RightChild) {
        // Two children: the in-order predecessor (which has no right child)
        // leaves its place to its left child and takes the node's place.
        PRTL_SPLAY_LINKS pred = RtlSubtreePredecessor(node);
        PRTL_SPLAY_LINKS predParent = pred->Parent;
        ReplaceChild(predParent, pred, pred->LeftChild);
        if (pred->LeftChild) pred->LeftChild->Parent = predParent;

        pred->LeftChild = node->LeftChild;
        if (pred->LeftChild) pred->LeftChild->Parent = pred;
        pred->RightChild = node->RightChild;
        pred->RightChild->Parent = pred;
        if (RtlIsRoot(node)) {
            pred->Parent = pred;
        } else {
            ReplaceChild(node->Parent, node, pred);
            pred->Parent = node->Parent;
        }
        splayFrom = predParent == node ? pred : predParent;
    } else {
        PRTL_SPLAY_LINKS child = node->LeftChild ? node->LeftChild : node->RightChild;
        if (RtlIsRoot(node)) {
            if (child) child->Parent = child;
            RtlInitializeSplayLinks(node);
            return child;
        }
        splayFrom = node->Parent;
        ReplaceChild(splayFrom, node, child);
        if (child) child->Parent = splayFrom;
    }
    RtlInitializeSplayLinks(node);
    return RtlSplay(splayFrom);
}

PRTL_SPLAY_LINKS RtlSubtreeSuccessor(PRTL_SPLAY_LINKS links) {
    PRTL_SPLAY_LINKS p = links->RightChild;
    if (!p) return nullptr;
    while (p->LeftChild) p = p->LeftChild;
    return p;
}

PRTL_SPLAY_LINKS RtlSubtreePredecessor(PRTL_SPLAY_LINKS links) {
    PRTL_SPLAY_LINKS p = links->LeftChild;
    if (!p) return nullptr;
    while (p->RightChild) p = p->RightChild;
    return p;
}
