// Directory entries of a listing: the information classes served, the
// filling of one entry, and what a mapping's target reports.
//
// Entries follow one another without alignment, so every field is written
// byte-wise; nothing here reads back from the caller's buffer.
#pragma once

#include "handlers.h"

// A listing's information class. EntrySize is the size of the class's
// structure (its one-character FileName included); an entry is
// EntrySize - 2 + the name's length in bytes.
struct DIRECTORY_CLASS {
    FILE_INFORMATION_CLASS InfoClass;
    ULONG EntrySize;
    ULONG NameOffset;
    BOOLEAN NamesOnly;  // FileNamesInformation: no times, sizes or attributes
};

// The class's description, or NULL for a class a listing does not serve.
const DIRECTORY_CLASS* FindDirectoryClass(FILE_INFORMATION_CLASS infoClass);

inline ULONG DirectoryEntryLength(const DIRECTORY_CLASS* directoryClass, USHORT nameLength) {
    return directoryClass->EntrySize - sizeof(WCHAR) + nameLength;
}

// What an entry reports besides its name: the times, sizes and attributes
// of FILE_NETWORK_OPEN_INFORMATION.

// ".", ".." and virtual folders: no times, no size, 0x90.
FILE_NETWORK_OPEN_INFORMATION FolderFacts();

// Writes NextEntryOffset (the entry's own length), FileIndex, FileNameLength
// and the name of the entry at entry, in a zeroed buffer.
void WriteEntryHeader(PUCHAR entry, const DIRECTORY_CLASS* directoryClass, ULONG fileIndex, PCUNICODE_STRING name);
// Writes the times, sizes and attributes (not for FileNamesInformation).
void WriteEntryFacts(PUCHAR entry, const DIRECTORY_CLASS* directoryClass, const FILE_NETWORK_OPEN_INFORMATION& facts);
void WriteNextEntryOffset(PUCHAR entry, ULONG nextEntryOffset);

enum class TargetState {
    Present,      // opened; facts from the target (zero where a query failed)
    Absent,       // the target does not exist (or the mapping has none): leave it out
    Unreachable,  // could not be opened for another reason: 0x80, 0x90 for a folder target
};

// Opens a mapping's target (its NT form) with a kernel handle, reads its
// times, sizes and attributes and closes it again. Takes no lock; the
// caller must hold none of the driver's either, since the target may lie on
// a virtual drive.
TargetState QueryTargetFacts(PCUNICODE_STRING target, FILE_NETWORK_OPEN_INFORMATION* facts);
