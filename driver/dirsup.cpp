// Directory entries of a listing: class table, entry filling and the facts a
// mapping's target reports.
#include "dirsup.h"

#include <cstring>

namespace {

constexpr DIRECTORY_CLASS kClasses[] = {
    {FileDirectoryInformation, sizeof(FILE_DIRECTORY_INFORMATION), offsetof(FILE_DIRECTORY_INFORMATION, FileName),
     FALSE},
    {FileFullDirectoryInformation, sizeof(FILE_FULL_DIR_INFORMATION), offsetof(FILE_FULL_DIR_INFORMATION, FileName),
     FALSE},
    {FileBothDirectoryInformation, sizeof(FILE_BOTH_DIR_INFORMATION), offsetof(FILE_BOTH_DIR_INFORMATION, FileName),
     FALSE},
    {FileNamesInformation, sizeof(FILE_NAMES_INFORMATION), offsetof(FILE_NAMES_INFORMATION, FileName), TRUE},
    {FileIdBothDirectoryInformation, sizeof(FILE_ID_BOTH_DIR_INFORMATION),
     offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName), FALSE},
    {FileIdFullDirectoryInformation, sizeof(FILE_ID_FULL_DIR_INFORMATION),
     offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName), FALSE},
};

// Every class but FileNamesInformation shares the layout of
// FILE_DIRECTORY_INFORMATION up to FileNameLength.
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileNameLength) ==
              offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength));
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileNameLength) ==
              offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength));
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileNameLength) ==
              offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength));
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileNameLength) ==
              offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength));
static_assert(offsetof(FILE_NAMES_INFORMATION, FileIndex) == offsetof(FILE_DIRECTORY_INFORMATION, FileIndex));

template <typename T>
void Put(PUCHAR entry, size_t offset, const T& value) {
    std::memcpy(entry + offset, &value, sizeof(T));
}

BOOLEAN EndsWithBackslash(PCUNICODE_STRING s) {
    return s->Length >= sizeof(WCHAR) && s->Buffer[s->Length / sizeof(WCHAR) - 1] == u'\\';
}

}  // namespace

const DIRECTORY_CLASS* FindDirectoryClass(FILE_INFORMATION_CLASS infoClass) {
    for (const DIRECTORY_CLASS& c : kClasses) {
        if (c.InfoClass == infoClass) return &c;
    }
    return nullptr;
}

FILE_NETWORK_OPEN_INFORMATION FolderFacts() {
    FILE_NETWORK_OPEN_INFORMATION facts{};
    facts.FileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NORMAL;
    return facts;
}

void WriteEntryHeader(PUCHAR entry, const DIRECTORY_CLASS* directoryClass, ULONG fileIndex, PCUNICODE_STRING name) {
    WriteNextEntryOffset(entry, DirectoryEntryLength(directoryClass, name->Length));
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, FileIndex), fileIndex);
    const size_t lengthOffset = directoryClass->NamesOnly ? offsetof(FILE_NAMES_INFORMATION, FileNameLength)
                                                          : offsetof(FILE_DIRECTORY_INFORMATION, FileNameLength);
    Put(entry, lengthOffset, ULONG{name->Length});
    if (name->Length) std::memcpy(entry + directoryClass->NameOffset, name->Buffer, name->Length);
}

void WriteEntryFacts(PUCHAR entry, const DIRECTORY_CLASS* directoryClass, const FILE_NETWORK_OPEN_INFORMATION& facts) {
    if (directoryClass->NamesOnly) return;
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, CreationTime), facts.CreationTime);
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, LastAccessTime), facts.LastAccessTime);
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, LastWriteTime), facts.LastWriteTime);
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, ChangeTime), facts.ChangeTime);
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, EndOfFile), facts.EndOfFile);
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, AllocationSize), facts.AllocationSize);
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, FileAttributes), facts.FileAttributes);
}

void WriteNextEntryOffset(PUCHAR entry, ULONG nextEntryOffset) {
    Put(entry, offsetof(FILE_DIRECTORY_INFORMATION, NextEntryOffset), nextEntryOffset);
}

TargetState QueryTargetFacts(PCUNICODE_STRING target, FILE_NETWORK_OPEN_INFORMATION* facts) {
    *facts = FILE_NETWORK_OPEN_INFORMATION{};
    if (target->Length == 0) return TargetState::Absent;

    UNICODE_STRING name = *target;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status =
        ZwOpenFile(&handle, FILE_READ_ATTRIBUTES, &attributes, &ioStatus, FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND) return TargetState::Absent;
    if (!NT_SUCCESS(status)) {
        facts->FileAttributes = FILE_ATTRIBUTE_NORMAL | (EndsWithBackslash(target) ? FILE_ATTRIBUTE_DIRECTORY : 0);
        return TargetState::Unreachable;
    }

    // One query gives times, sizes and attributes together; a file system
    // that does not serve it is asked the two classic questions instead. A
    // query that fails leaves its fields zero.
    FILE_NETWORK_OPEN_INFORMATION open{};
    if (NT_SUCCESS(ZwQueryInformationFile(handle, &ioStatus, &open, sizeof(open), FileNetworkOpenInformation))) {
        ZwClose(handle);
        *facts = open;
        return TargetState::Present;
    }
    FILE_BASIC_INFORMATION basic{};
    if (!NT_SUCCESS(ZwQueryInformationFile(handle, &ioStatus, &basic, sizeof(basic), FileBasicInformation))) {
        basic = FILE_BASIC_INFORMATION{};
    }
    FILE_STANDARD_INFORMATION standard{};
    if (!NT_SUCCESS(ZwQueryInformationFile(handle, &ioStatus, &standard, sizeof(standard), FileStandardInformation))) {
        standard = FILE_STANDARD_INFORMATION{};
    }
    ZwClose(handle);

    facts->CreationTime = basic.CreationTime;
    facts->LastAccessTime = basic.LastAccessTime;
    facts->LastWriteTime = basic.LastWriteTime;
    facts->ChangeTime = basic.ChangeTime;
    facts->FileAttributes = basic.FileAttributes;
    facts->EndOfFile = standard.EndOfFile;
    facts->AllocationSize = standard.AllocationSize;
    return TargetState::Present;
}
