// The kernel's registry information records (KEY_BASIC_INFORMATION,
// KEY_VALUE_FULL_INFORMATION, ...) written into a caller's buffer.
//
// Buffer rules, the same for every class:
//   * Length below the fixed part (the offset of Name, Data or Class):
//     STATUS_BUFFER_TOO_SMALL, nothing written;
//   * room for the fixed part but not the whole record: the fixed part is
//     filled, as much of the rest as fits is copied, STATUS_BUFFER_OVERFLOW;
//   * otherwise STATUS_SUCCESS.
// *resultLength always receives the size of the whole record, so a caller
// may ask with an empty buffer and then allocate exactly that much.
#pragma once

#include "database.h"
#include "platform/nt/zw.h"

namespace korin::registry {

// STATUS_INVALID_PARAMETER for an unknown class. info is needed only for
// KeyFullInformation.
NTSTATUS WriteKeyRecord(KEY_INFORMATION_CLASS infoClass, const SubkeyEntry& entry, const KeyInfo& info,
                        PVOID buffer, ULONG length, PULONG resultLength);
NTSTATUS WriteValueRecord(KEY_VALUE_INFORMATION_CLASS infoClass, const ValueEntry& value, PVOID buffer,
                          ULONG length, PULONG resultLength);
// Where KEY_VALUE_FULL_INFORMATION places the data of a value whose name
// is nameBytes long: after the name, aligned to a ULONG.
ULONG FullValueDataOffset(size_t nameBytes);

}  // namespace korin::registry
