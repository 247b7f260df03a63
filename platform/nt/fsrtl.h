// File-system run-time library: name dissection, expression matching and
// the expected-status test used by file-system exception filters.
#pragma once

#include "ntbase.h"

// Splits path at its first backslash: first is the component, rest follows
// the separator. A leading backslash is skipped. Neither output is copied.
void FsRtlDissectName(UNICODE_STRING path, PUNICODE_STRING firstName, PUNICODE_STRING remainingName);

// Wildcards: '*', '?', and the DOS forms '<' (DOS_STAR), '>' (DOS_QM), '"' (DOS_DOT).
// With ignoreCase the name is upper-cased; the expression must already be upper case.
BOOLEAN FsRtlIsNameInExpression(PCUNICODE_STRING expression, PCUNICODE_STRING name, BOOLEAN ignoreCase,
                                PWCHAR upcaseTable);
BOOLEAN FsRtlDoesNameContainWildCards(PCUNICODE_STRING name);

// FALSE for the exceptions a file system must not swallow (access violation,
// misalignment, illegal instruction, stack overflow, ...).
BOOLEAN FsRtlIsNtstatusExpected(NTSTATUS status);

// Directory-notification synchronisation: kept so the volume set-up reads as
// designed; change notification itself is not served.
typedef struct NOTIFY_SYNC_OBJECT* PNOTIFY_SYNC;
// Initialize raises STATUS_INSUFFICIENT_RESOURCES when pool (tag "FSNs") is exhausted.
void FsRtlNotifyInitializeSync(PNOTIFY_SYNC* sync);
void FsRtlNotifyUninitializeSync(PNOTIFY_SYNC* sync);
