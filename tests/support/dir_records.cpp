#include "tests/support/dir_records.h"

#include <cstddef>

namespace korin::testsupport {

ULONG NameOffsetOf(FILE_INFORMATION_CLASS infoClass) {
    switch (infoClass) {
    case FileDirectoryInformation:
        return offsetof(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation:
        return offsetof(FILE_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation:
        return offsetof(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation:
        return offsetof(FILE_NAMES_INFORMATION, FileName);
    case FileIdBothDirectoryInformation:
        return offsetof(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation:
        return offsetof(FILE_ID_FULL_DIR_INFORMATION, FileName);
    default:
        return 0;
    }
}

ULONG StructureSizeOf(FILE_INFORMATION_CLASS infoClass) {
    switch (infoClass) {
    case FileDirectoryInformation:
        return sizeof(FILE_DIRECTORY_INFORMATION);
    case FileFullDirectoryInformation:
        return sizeof(FILE_FULL_DIR_INFORMATION);
    case FileBothDirectoryInformation:
        return sizeof(FILE_BOTH_DIR_INFORMATION);
    case FileNamesInformation:
        return sizeof(FILE_NAMES_INFORMATION);
    case FileIdBothDirectoryInformation:
        return sizeof(FILE_ID_BOTH_DIR_INFORMATION);
    case FileIdFullDirectoryInformation:
        return sizeof(FILE_ID_FULL_DIR_INFORMATION);
    default:
        return 0;
    }
}

}  // namespace korin::testsupport
