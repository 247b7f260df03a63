// Shared steps of the control requests (devctrl*.cpp): reading a request's
// buffers, checking paths, names, targets and letters before anything is
// touched, delivering the status word, and the locks the requests take.
//
// Every check here runs before the request changes memory or the registry:
// a request refused by one of them leaves both exactly as they were.
#pragma once

#include "control.h"

#include <shared_mutex>

// Serialises the drive-level requests (create, delete, move, rename a drive:
// exclusive) against the path requests (shared), so that the drive a path
// request found for its letter is the drive it changes, and a drive cannot
// be deleted between a request's check and its change.
//
// Lock order: ControlRequestLock, then the VCB's MainResource, then an FCB's
// MainResource, then DriveTableLock.
extern std::shared_mutex ControlRequestLock;

// The request's METHOD_BUFFERED view: input and output share SystemBuffer.
struct CONTROL_BUFFER {
    PUCHAR Buffer;
    ULONG InputLength;
    ULONG OutputLength;
};
CONTROL_BUFFER ControlBufferOf(PIRP irp);

constexpr ULONG CONTROL_WORD_SIZE = 4;

// Output too small for the 4-byte status or item-type word:
// STATUS_BUFFER_TOO_SMALL with Information 0, nothing done.
NTSTATUS RefuseShortOutput(PIRP irp);
// Writes the 4-byte word at offset 0 of the output and sets Information 4.
void WriteControlWord(PIRP irp, ULONG word);
// Requests whose verdict travels in the status word only: the word carries
// verdict and the request completes with STATUS_SUCCESS.
NTSTATUS VerdictInStatusWord(PIRP irp, NTSTATUS verdict);
// Requests whose status is both the word and the completion status.
NTSTATUS StatusInWordAndCompletion(PIRP irp, NTSTATUS status);

// A..Z or a..z.
BOOLEAN IsDriveLetter(WCHAR c);
// a..z to A..Z; anything else unchanged.
WCHAR FoldLetter(WCHAR c);

// Checks a drive-qualified path that fills bytes of buffer exactly ("X:",
// "X:\" or "X:\a\b", one trailing backslash allowed) and describes it in path
// (no copy). STATUS_OBJECT_PATH_SYNTAX_BAD for an odd or zero length, fewer
// than two characters, a first character outside A-Z/a-z, no colon, no
// backslash after the colon, or an empty component; STATUS_NAME_TOO_LONG when
// it does not fit a UNICODE_STRING.
NTSTATUS CheckControlPath(PWSTR buffer, ULONG bytes, PUNICODE_STRING path);
// Same rules for a path already described by a string (a string pair's first).
NTSTATUS CheckControlPathString(PCUNICODE_STRING path);

// Longest target, in characters: its NT form ("\??\UNC" + target less one
// character, at most 12 bytes more) must fit a counted string. The store
// copies values whole when a mapping or folder is renamed, so no shorter
// limit applies.
constexpr USHORT MAX_TARGET_CHARS = (0xFFFE - 12) / sizeof(WCHAR);

// A create request's unresolved remainder must be exactly one new name:
// STATUS_OBJECT_PATH_NOT_FOUND when it holds a further component (the parent
// is missing), STATUS_OBJECT_NAME_INVALID for a trailing backslash, else
// CheckComponentName.
NTSTATUS CheckCreateRemainder(PCUNICODE_STRING remainder);
// A mapping target: "X:\..." or "\\server...". STATUS_OBJECT_PATH_SYNTAX_BAD
// for anything else (empty, relative, drive-relative), STATUS_NAME_TOO_LONG
// beyond MAX_TARGET_CHARS.
NTSTATUS CheckTarget(PCUNICODE_STRING target);

// A folder request (mapping FALSE) on a mapping answers STATUS_NOT_A_DIRECTORY,
// a mapping request on a folder STATUS_FILE_IS_A_DIRECTORY: applied to the
// other kind, the request's registry change would miss the item while the
// namespace changed.
NTSTATUS CheckNodeKind(const TREE_NODE* node, BOOLEAN mapping);

// Holds an executive resource exclusively for a scope (inside a critical
// region, as resources are taken), releasing it on every way out, raised
// statuses included.
class ExclusiveResource {
public:
    explicit ExclusiveResource(PERESOURCE resource);
    ~ExclusiveResource();
    ExclusiveResource(const ExclusiveResource&) = delete;
    ExclusiveResource& operator=(const ExclusiveResource&) = delete;

private:
    PERESOURCE resource_;
};
