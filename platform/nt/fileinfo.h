// File, directory and volume information records, create parameters and
// the constants that go with them. Layouts are exact: callers and drivers
// exchange these records as bytes, so sizes and offsets are asserted.
#pragma once

#include "ntbase.h"

// ----- Attributes ----------------------------------------------------------
constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr ULONG FILE_ATTRIBUTE_HIDDEN = 0x00000002;
constexpr ULONG FILE_ATTRIBUTE_SYSTEM = 0x00000004;
constexpr ULONG FILE_ATTRIBUTE_DIRECTORY = 0x00000010;
constexpr ULONG FILE_ATTRIBUTE_ARCHIVE = 0x00000020;
constexpr ULONG FILE_ATTRIBUTE_DEVICE = 0x00000040;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;
constexpr ULONG FILE_ATTRIBUTE_TEMPORARY = 0x00000100;
constexpr ULONG FILE_ATTRIBUTE_SPARSE_FILE = 0x00000200;
constexpr ULONG FILE_ATTRIBUTE_REPARSE_POINT = 0x00000400;
constexpr ULONG INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// ----- Access and sharing --------------------------------------------------
constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_LIST_DIRECTORY = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_ADD_FILE = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_ADD_SUBDIRECTORY = 0x0004;
constexpr ACCESS_MASK FILE_READ_EA = 0x0008;
constexpr ACCESS_MASK FILE_WRITE_EA = 0x0010;
constexpr ACCESS_MASK FILE_EXECUTE = 0x0020;
constexpr ACCESS_MASK FILE_TRAVERSE = 0x0020;
constexpr ACCESS_MASK FILE_DELETE_CHILD = 0x0040;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x001F01FF;
constexpr ACCESS_MASK FILE_GENERIC_READ = 0x00120089;
constexpr ACCESS_MASK FILE_GENERIC_WRITE = 0x00120116;
constexpr ACCESS_MASK FILE_GENERIC_EXECUTE = 0x001200A0;

constexpr ULONG FILE_SHARE_READ = 0x1;
constexpr ULONG FILE_SHARE_WRITE = 0x2;
constexpr ULONG FILE_SHARE_DELETE = 0x4;
constexpr ULONG FILE_SHARE_VALID_FLAGS = 0x7;

// ----- Create dispositions, options and results -----------------------------
constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_OVERWRITE_IF = 5;

constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_WRITE_THROUGH = 0x00000002;
constexpr ULONG FILE_SEQUENTIAL_ONLY = 0x00000004;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;
constexpr ULONG FILE_DELETE_ON_CLOSE = 0x00001000;
constexpr ULONG FILE_OPEN_FOR_BACKUP_INTENT = 0x00004000;
constexpr ULONG FILE_OPEN_REPARSE_POINT = 0x00200000;

constexpr ULONG_PTR FILE_SUPERSEDED = 0;
constexpr ULONG_PTR FILE_OPENED = 1;
constexpr ULONG_PTR FILE_CREATED = 2;
constexpr ULONG_PTR FILE_OVERWRITTEN = 3;
constexpr ULONG_PTR FILE_EXISTS = 4;
constexpr ULONG_PTR FILE_DOES_NOT_EXIST = 5;
constexpr ULONG_PTR IO_REPARSE = 0;

// ----- Information classes ---------------------------------------------------
enum FILE_INFORMATION_CLASS : ULONG {
    FileDirectoryInformation = 1,
    FileFullDirectoryInformation = 2,
    FileBothDirectoryInformation = 3,
    FileBasicInformation = 4,
    FileStandardInformation = 5,
    FileInternalInformation = 6,
    FileEaInformation = 7,
    FileAccessInformation = 8,
    FileNameInformation = 9,
    FileRenameInformation = 10,
    FileLinkInformation = 11,
    FileNamesInformation = 12,
    FileDispositionInformation = 13,
    FilePositionInformation = 14,
    FileFullEaInformation = 15,
    FileModeInformation = 16,
    FileAlignmentInformation = 17,
    FileAllInformation = 18,
    FileAllocationInformation = 19,
    FileEndOfFileInformation = 20,
    FileObjectIdInformation = 29,
    FileNetworkOpenInformation = 34,
    FileAttributeTagInformation = 35,
    FileIdBothDirectoryInformation = 37,
    FileIdFullDirectoryInformation = 38,
    FileMaximumInformation = 76,
};

enum FS_INFORMATION_CLASS : ULONG {
    FileFsVolumeInformation = 1,
    FileFsLabelInformation = 2,
    FileFsSizeInformation = 3,
    FileFsDeviceInformation = 4,
    FileFsAttributeInformation = 5,
    FileFsControlInformation = 6,
    FileFsFullSizeInformation = 7,
    FileFsObjectIdInformation = 8,
    FileFsMaximumInformation = 9,
};

// ----- File information ------------------------------------------------------
struct FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
};
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40);

struct FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);

struct FILE_INTERNAL_INFORMATION {
    LARGE_INTEGER IndexNumber;
};
struct FILE_EA_INFORMATION {
    ULONG EaSize;
};
struct FILE_ACCESS_INFORMATION {
    ACCESS_MASK AccessFlags;
};
struct FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
};
struct FILE_MODE_INFORMATION {
    ULONG Mode;
};
struct FILE_ALIGNMENT_INFORMATION {
    ULONG AlignmentRequirement;
};
struct FILE_NAME_INFORMATION {
    ULONG FileNameLength;
    WCHAR FileName[1];
};
static_assert(offsetof(FILE_NAME_INFORMATION, FileName) == 4);

struct FILE_ALL_INFORMATION {
    FILE_BASIC_INFORMATION BasicInformation;
    FILE_STANDARD_INFORMATION StandardInformation;
    FILE_INTERNAL_INFORMATION InternalInformation;
    FILE_EA_INFORMATION EaInformation;
    FILE_ACCESS_INFORMATION AccessInformation;
    FILE_POSITION_INFORMATION PositionInformation;
    FILE_MODE_INFORMATION ModeInformation;
    FILE_ALIGNMENT_INFORMATION AlignmentInformation;
    FILE_NAME_INFORMATION NameInformation;
};
static_assert(sizeof(FILE_ALL_INFORMATION) == 104);
static_assert(offsetof(FILE_ALL_INFORMATION, NameInformation) == 96);

struct FILE_NETWORK_OPEN_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG FileAttributes;
};
static_assert(sizeof(FILE_NETWORK_OPEN_INFORMATION) == 56);

struct FILE_ATTRIBUTE_TAG_INFORMATION {
    ULONG FileAttributes;
    ULONG ReparseTag;
};
static_assert(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION) == 8);

struct FILE_RENAME_INFORMATION {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
};

struct FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
};

struct FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile;
};

// ----- Directory entries -----------------------------------------------------
struct FILE_DIRECTORY_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
static_assert(sizeof(FILE_DIRECTORY_INFORMATION) == 72);
static_assert(offsetof(FILE_DIRECTORY_INFORMATION, FileName) == 64);

struct FILE_FULL_DIR_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    WCHAR FileName[1];
};
static_assert(sizeof(FILE_FULL_DIR_INFORMATION) == 72);
static_assert(offsetof(FILE_FULL_DIR_INFORMATION, FileName) == 68);

struct FILE_BOTH_DIR_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    CHAR ShortNameLength;
    WCHAR ShortName[12];
    WCHAR FileName[1];
};
static_assert(sizeof(FILE_BOTH_DIR_INFORMATION) == 96);
static_assert(offsetof(FILE_BOTH_DIR_INFORMATION, FileName) == 94);

struct FILE_NAMES_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    ULONG FileNameLength;
    WCHAR FileName[1];
};
static_assert(sizeof(FILE_NAMES_INFORMATION) == 16);
static_assert(offsetof(FILE_NAMES_INFORMATION, FileName) == 12);

struct FILE_ID_BOTH_DIR_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    CHAR ShortNameLength;
    WCHAR ShortName[12];
    LARGE_INTEGER FileId;
    WCHAR FileName[1];
};
static_assert(sizeof(FILE_ID_BOTH_DIR_INFORMATION) == 112);
static_assert(offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName) == 104);

struct FILE_ID_FULL_DIR_INFORMATION {
    ULONG NextEntryOffset;
    ULONG FileIndex;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    LARGE_INTEGER EndOfFile;
    LARGE_INTEGER AllocationSize;
    ULONG FileAttributes;
    ULONG FileNameLength;
    ULONG EaSize;
    LARGE_INTEGER FileId;
    WCHAR FileName[1];
};
static_assert(sizeof(FILE_ID_FULL_DIR_INFORMATION) == 88);
static_assert(offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName) == 80);

// ----- Volume information ----------------------------------------------------
struct FILE_FS_VOLUME_INFORMATION {
    LARGE_INTEGER VolumeCreationTime;
    ULONG VolumeSerialNumber;
    ULONG VolumeLabelLength;
    BOOLEAN SupportsObjects;
    WCHAR VolumeLabel[1];
};
static_assert(sizeof(FILE_FS_VOLUME_INFORMATION) == 24);
static_assert(offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel) == 18);

struct FILE_FS_LABEL_INFORMATION {
    ULONG VolumeLabelLength;
    WCHAR VolumeLabel[1];
};

struct FILE_FS_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits;
    LARGE_INTEGER AvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
};
static_assert(sizeof(FILE_FS_SIZE_INFORMATION) == 24);

struct FILE_FS_DEVICE_INFORMATION {
    ULONG DeviceType;
    ULONG Characteristics;
};
static_assert(sizeof(FILE_FS_DEVICE_INFORMATION) == 8);

struct FILE_FS_ATTRIBUTE_INFORMATION {
    ULONG FileSystemAttributes;
    LONG MaximumComponentNameLength;
    ULONG FileSystemNameLength;
    WCHAR FileSystemName[1];
};
static_assert(sizeof(FILE_FS_ATTRIBUTE_INFORMATION) == 16);
static_assert(offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName) == 12);

struct FILE_FS_FULL_SIZE_INFORMATION {
    LARGE_INTEGER TotalAllocationUnits;
    LARGE_INTEGER CallerAvailableAllocationUnits;
    LARGE_INTEGER ActualAvailableAllocationUnits;
    ULONG SectorsPerAllocationUnit;
    ULONG BytesPerSector;
};
static_assert(sizeof(FILE_FS_FULL_SIZE_INFORMATION) == 32);

constexpr ULONG FILE_CASE_SENSITIVE_SEARCH = 0x00000001;
constexpr ULONG FILE_CASE_PRESERVED_NAMES = 0x00000002;
constexpr ULONG FILE_UNICODE_ON_DISK = 0x00000004;
