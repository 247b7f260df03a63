// Run-time library: counted strings, integer conversion and splay links.
#pragma once

#include "ntbase.h"

// Strings. Lengths are bytes; no routine here requires a terminating NUL.
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);
void RtlCopyUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING destination, PCUNICODE_STRING source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING destination, PCWSTR source);
LONG RtlCompareUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING a, PCUNICODE_STRING b, BOOLEAN caseInsensitive);
BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING prefix, PCUNICODE_STRING string, BOOLEAN caseInsensitive);
// allocate TRUE: destination gets a new pool buffer (tag "Ustr"), freed with RtlFreeUnicodeString.
// allocate FALSE: destination's MaximumLength must hold source's Length, else STATUS_BUFFER_OVERFLOW.
NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING destination, PCUNICODE_STRING source, BOOLEAN allocate);
// Frees a buffer an Rtl routine allocated (tag "Ustr") and empties the string.
void RtlFreeUnicodeString(PUNICODE_STRING string);
WCHAR RtlUpcaseUnicodeChar(WCHAR c);
// Bases 2, 8, 10 and 16 (0 means 10); a NUL follows the digits when there is room.
NTSTATUS RtlIntegerToUnicodeString(ULONG value, ULONG base, PUNICODE_STRING string);

namespace korin::rtl {
// The upper-case table behind every case-insensitive routine: 65536 entries,
// table[c] is the simple (1:1) Unicode upper case of c. Usable as the
// upcaseTable argument of FsRtlIsNameInExpression.
const WCHAR* UpcaseTable();
}  // namespace korin::rtl

// Splay links: the tree operations used for ordered lookup by name.
struct RTL_SPLAY_LINKS {
    RTL_SPLAY_LINKS* Parent;
    RTL_SPLAY_LINKS* LeftChild;
    RTL_SPLAY_LINKS* RightChild;
};
typedef RTL_SPLAY_LINKS* PRTL_SPLAY_LINKS;

inline void RtlInitializeSplayLinks(PRTL_SPLAY_LINKS links) {
    links->Parent = links;
    links->LeftChild = nullptr;
    links->RightChild = nullptr;
}
inline PRTL_SPLAY_LINKS RtlParent(PRTL_SPLAY_LINKS links) { return links->Parent; }
inline PRTL_SPLAY_LINKS RtlLeftChild(PRTL_SPLAY_LINKS links) { return links->LeftChild; }
inline PRTL_SPLAY_LINKS RtlRightChild(PRTL_SPLAY_LINKS links) { return links->RightChild; }
inline BOOLEAN RtlIsRoot(PRTL_SPLAY_LINKS links) { return links->Parent == links; }
inline BOOLEAN RtlIsLeftChild(PRTL_SPLAY_LINKS links) {
    return !RtlIsRoot(links) && links->Parent->LeftChild == links;
}
inline BOOLEAN RtlIsRightChild(PRTL_SPLAY_LINKS links) {
    return !RtlIsRoot(links) && links->Parent->RightChild == links;
}
inline void RtlInsertAsLeftChild(PRTL_SPLAY_LINKS parent, PRTL_SPLAY_LINKS child) {
    parent->LeftChild = child;
    child->Parent = parent;
}
inline void RtlInsertAsRightChild(PRTL_SPLAY_LINKS parent, PRTL_SPLAY_LINKS child) {
    parent->RightChild = child;
    child->Parent = parent;
}
// Splays links to the root of its tree and returns it (the new root).
PRTL_SPLAY_LINKS RtlSplay(PRTL_SPLAY_LINKS links);
// Removes links from its tree and returns the new root (NULL for an empty tree).
PRTL_SPLAY_LINKS RtlDelete(PRTL_SPLAY_LINKS links);
PRTL_SPLAY_LINKS RtlSubtreeSuccessor(PRTL_SPLAY_LINKS links);
PRTL_SPLAY_LINKS RtlSubtreePredecessor(PRTL_SPLAY_LINKS links);
