// Where the fields sit in the records a directory query returns.
#pragma once

#include "platform/nt/fileinfo.h"

namespace korin::testsupport {

// The offset of FileName in an entry of the class (0 for a class not listed).
ULONG NameOffsetOf(FILE_INFORMATION_CLASS infoClass);
// The size of the class's structure: an entry is that - 2 + the name's bytes.
ULONG StructureSizeOf(FILE_INFORMATION_CLASS infoClass);

}  // namespace korin::testsupport
