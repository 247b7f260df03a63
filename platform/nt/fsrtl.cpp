// File-system run-time library: name dissection, expression matching, the
// expected-status test and the notification sync object.
#include "fsrtl.h"

#include "exceptions.h"
#include "pool.h"
#include "rtl.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace {

constexpr WCHAR DOS_STAR = u'<';
constexpr WCHAR DOS_QM = u'>';
constexpr WCHAR DOS_DOT = u'"';

void SetEmpty(PUNICODE_STRING s) {
    s->Length = s->MaximumLength = 0;
    s->Buffer = nullptr;
}

void SetRun(PUNICODE_STRING s, PWSTR start, size_t units) {
    s->Buffer = units ? start : nullptr;
    s->Length = s->MaximumLength = static_cast<USHORT>(units * sizeof(WCHAR));
}

}  // namespace

void FsRtlDissectName(UNICODE_STRING path, PUNICODE_STRING firstName, PUNICODE_STRING remainingName) {
    SetEmpty(firstName);
    SetEmpty(remainingName);
    size_t n = path.Length / sizeof(WCHAR);
    if (n == 0) return;
    size_t i = path.Buffer[0] == u'\\' ? 1 : 0;
    size_t start = i;
    while (i < n && path.Buffer[i] != u'\\') ++i;
    SetRun(firstName, path.Buffer + start, i - start);
    if (i < n) SetRun(remainingName, path.Buffer + i + 1, n - i - 1);
}

BOOLEAN FsRtlDoesNameContainWildCards(PCUNICODE_STRING name) {
    for (size_t i = 0; i < name->Length / sizeof(WCHAR); ++i) {
        switch (name->Buffer[i]) {
        case u'*':
        case u'?':
        case DOS_STAR:
        case DOS_QM:
        case DOS_DOT:
            return TRUE;
        default:
            break;
        }
    }
    return FALSE;
}

// FsRtlIsNameInExpression runs the expression as a non-deterministic
// automaton: state j means "expression[0, j) has matched the name so far",
// state m (the expression's length) accepts. All live states advance together
// over each name character, so the cost is O(name x expression) with no
// backtracking.
//
// Per expression character:
//   '*'       any run of characters (loops; may also match nothing)
//   '?'       exactly one character
//   '<'       any run of characters up to the name's last '.': it may consume
//             a '.' only when another '.' follows later in the name
//   '>'       one character other than '.'; at a '.' or at the end of the
//             name it matches nothing
//   '"'       a '.', or nothing at the end of the name
//   other     that character (the name upper-cased first with ignoreCase)
BOOLEAN FsRtlIsNameInExpression(PCUNICODE_STRING expression, PCUNICODE_STRING name, BOOLEAN ignoreCase,
                                PWCHAR upcaseTable) {
    const size_t m = expression->Length / sizeof(WCHAR);
    const size_t n = name->Length / sizeof(WCHAR);
    // An empty name matches only an empty expression, and the reverse.
    if (m == 0 || n == 0) return m == 0 && n == 0;

    const WCHAR* up = upcaseTable ? upcaseTable : korin::rtl::UpcaseTable();
    const PCWSTR expr = expression->Buffer;

    size_t lastDot = n;  // index of the name's last '.', n when none
    for (size_t i = n; i-- > 0;) {
        if (name->Buffer[i] == u'.') {
            lastDot = i;
            break;
        }
    }

    // Two state sets; expressions are short, so they usually live on the stack.
    char stackStates[2 * 128];
    std::vector<char> heapStates;
    char* states = stackStates;
    if (2 * (m + 1) > sizeof stackStates) {
        heapStates.resize(2 * (m + 1));
        states = heapStates.data();
    }
    char* live = states;
    char* next = states + m + 1;
    std::fill(live, live + m + 1, 0);
    live[0] = 1;

    // Moves matches-nothing steps forward; they only go forward, so one pass
    // in order reaches the closure. atEnd: the whole name has been consumed.
    auto closure = [&](char* set, bool atEnd, WCHAR c) {
        for (size_t j = 0; j < m; ++j) {
            if (!set[j]) continue;
            WCHAR e = expr[j];
            bool empty = e == u'*' || e == DOS_STAR || (e == DOS_QM && (atEnd || c == u'.')) || (e == DOS_DOT && atEnd);
            if (empty) set[j + 1] = 1;
        }
    };

    for (size_t i = 0; i < n; ++i) {
        WCHAR c = name->Buffer[i];
        if (ignoreCase) c = up[c];
        closure(live, false, c);
        std::fill(next, next + m + 1, 0);
        bool any = false;
        for (size_t j = 0; j < m; ++j) {
            if (!live[j]) continue;
            WCHAR e = expr[j];
            size_t to;
            if (e == u'*') {
                to = j;
            } else if (e == DOS_STAR) {
                if (c == u'.' && i >= lastDot) continue;
                to = j;
            } else if (e == u'?') {
                to = j + 1;
            } else if (e == DOS_QM) {
                if (c == u'.') continue;
                to = j + 1;
            } else if (e == DOS_DOT) {
                if (c != u'.') continue;
                to = j + 1;
            } else {
                if (c != e) continue;
                to = j + 1;
            }
            next[to] = 1;
            any = true;
        }
        if (!any) return FALSE;
        std::swap(live, next);
    }
    closure(live, true, 0);
    return live[m] ? TRUE : FALSE;
}

BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS status) {
    switch (status) {
    case STATUS_DATATYPE_MISALIGNMENT:
    case STATUS_ACCESS_VIOLATION:
    case STATUS_ILLEGAL_INSTRUCTION:
    case STATUS_INSTRUCTION_MISALIGNMENT:
    case STATUS_STACK_OVERFLOW:
        return FALSE;
    default:
        return TRUE;
    }
}

// The notification sync object: kept so volume set-up and tear-down read as
// designed. Nothing waits on it, since change notification is not served.
struct NOTIFY_SYNC_OBJECT {
    std::mutex mutex;
};

namespace {
constexpr ULONG kNotifySyncTag = PoolTag("FSNs");
}

void FsRtlNotifyInitializeSync(PNOTIFY_SYNC* sync) {
    *sync = nullptr;
    void* block = ExAllocatePoolWithTag(NonPagedPool, sizeof(NOTIFY_SYNC_OBJECT), kNotifySyncTag);
    if (!block) ExRaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    *sync = new (block) NOTIFY_SYNC_OBJECT;
}

void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* sync) {
    if (!*sync) return;
    (*sync)->~NOTIFY_SYNC_OBJECT();
    ExFreePoolWithTag(*sync, kNotifySyncTag);
    *sync = nullptr;
}
