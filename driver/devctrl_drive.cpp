// The drive-level control requests: create, delete, move (new letter) and
// rename (new display name) a drive. Each holds ControlRequestLock
// exclusively, so no path request runs on a drive while its letter or its
// existence changes, and a letter checked free stays free until the drive
// takes it. The status is the status word and the completion status.

#include "devctrl_support.h"
#include "drive.h"

#include <cstring>
#include <mutex>

namespace {

WCHAR ReadLetter(const CONTROL_BUFFER& request, ULONG offset) {
    WCHAR letter;
    std::memcpy(&letter, request.Buffer + offset, sizeof letter);
    return letter;
}

}  // namespace

// Input: a DriveRecord (letter, name length N, N bytes of name), exactly
// 4 + N bytes, stored unchanged. STATUS_INFO_LENGTH_MISMATCH when the input
// is not 4 + N bytes or N is odd, STATUS_INVALID_PARAMETER for a letter
// outside A-Z/a-z or a NUL inside the name (readers end the name at the
// first NUL), STATUS_OBJECT_NAME_COLLISION when the letter already has a
// drive (the new drive would hide it); else the drive is created.
NTSTATUS ControlCreateDrive(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);
    if (request.InputLength < 4) return StatusInWordAndCompletion(irp, STATUS_INFO_LENGTH_MISMATCH);

    const WCHAR letter = ReadLetter(request, 0);
    USHORT nameBytes;
    std::memcpy(&nameBytes, request.Buffer + 2, sizeof nameBytes);
    if (nameBytes % sizeof(WCHAR) != 0 || 4u + nameBytes != request.InputLength) {
        return StatusInWordAndCompletion(irp, STATUS_INFO_LENGTH_MISMATCH);
    }
    if (!IsDriveLetter(letter)) return StatusInWordAndCompletion(irp, STATUS_INVALID_PARAMETER);
    for (ULONG offset = 4; offset < request.InputLength; offset += sizeof(WCHAR)) {
        if (ReadLetter(request, offset) == 0) return StatusInWordAndCompletion(irp, STATUS_INVALID_PARAMETER);
    }

    std::unique_lock requests(ControlRequestLock);
    if (VcbFromLetter(letter) != nullptr) return StatusInWordAndCompletion(irp, STATUS_OBJECT_NAME_COLLISION);
    return StatusInWordAndCompletion(irp, CreateDrive(request.Buffer, request.InputLength));
}

// Input: a letter, 2 bytes. STATUS_INFO_LENGTH_MISMATCH for another size,
// STATUS_INVALID_PARAMETER for a letter outside A-Z/a-z, STATUS_NO_SUCH_DEVICE
// for a letter without drive; else the drive is deleted.
NTSTATUS ControlDeleteDrive(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);
    if (request.InputLength != sizeof(WCHAR)) return StatusInWordAndCompletion(irp, STATUS_INFO_LENGTH_MISMATCH);
    const WCHAR letter = ReadLetter(request, 0);
    if (!IsDriveLetter(letter)) return StatusInWordAndCompletion(irp, STATUS_INVALID_PARAMETER);

    std::unique_lock requests(ControlRequestLock);
    if (VcbFromLetter(letter) == nullptr) return StatusInWordAndCompletion(irp, STATUS_NO_SUCH_DEVICE);
    return StatusInWordAndCompletion(irp, DeleteDrive(letter));
}

// Input: the letter (2 bytes), then the new display name and its NUL; bytes
// after the NUL are ignored. STATUS_INFO_LENGTH_MISMATCH for fewer than 4
// bytes, STATUS_INVALID_PARAMETER for a letter outside A-Z/a-z or no NUL
// inside the input, STATUS_NAME_TOO_LONG for a name a DriveRecord cannot
// hold, STATUS_NO_SUCH_DEVICE for a letter without drive; else the status of
// the DriveRecord write.
NTSTATUS ControlSetDriveName(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);
    if (request.InputLength < 2 * sizeof(WCHAR)) {
        return StatusInWordAndCompletion(irp, STATUS_INFO_LENGTH_MISMATCH);
    }
    const WCHAR letter = ReadLetter(request, 0);
    if (!IsDriveLetter(letter)) return StatusInWordAndCompletion(irp, STATUS_INVALID_PARAMETER);
    ULONG end = sizeof(WCHAR);
    while (end + sizeof(WCHAR) <= request.InputLength && ReadLetter(request, end) != 0) end += sizeof(WCHAR);
    if (end + sizeof(WCHAR) > request.InputLength) return StatusInWordAndCompletion(irp, STATUS_INVALID_PARAMETER);
    const ULONG nameBytes = end - sizeof(WCHAR);
    if (nameBytes > 0xFFFE) return StatusInWordAndCompletion(irp, STATUS_NAME_TOO_LONG);
    UNICODE_STRING name{};
    MakeString(&name, static_cast<USHORT>(nameBytes), reinterpret_cast<PWSTR>(request.Buffer + sizeof(WCHAR)));

    std::unique_lock requests(ControlRequestLock);
    if (VcbFromLetter(letter) == nullptr) return StatusInWordAndCompletion(irp, STATUS_NO_SUCH_DEVICE);
    return StatusInWordAndCompletion(irp, SetDriveName(letter, &name));
}

// Input: current letter, new letter, 2 bytes each. STATUS_INFO_LENGTH_MISMATCH
// for another size, STATUS_INVALID_PARAMETER for a letter outside A-Z/a-z,
// STATUS_NO_SUCH_DEVICE when the current letter has no drive,
// STATUS_OBJECT_NAME_COLLISION when the new letter belongs to another drive
// (moving onto it would hide that drive); else the status of the DriveRecord
// write.
NTSTATUS ControlChangeDriveLetter(PIRP irp) {
    const CONTROL_BUFFER request = ControlBufferOf(irp);
    if (request.OutputLength < CONTROL_WORD_SIZE) return RefuseShortOutput(irp);
    if (request.InputLength != 2 * sizeof(WCHAR)) {
        return StatusInWordAndCompletion(irp, STATUS_INFO_LENGTH_MISMATCH);
    }
    const WCHAR current = ReadLetter(request, 0);
    const WCHAR next = ReadLetter(request, sizeof(WCHAR));
    if (!IsDriveLetter(current) || !IsDriveLetter(next)) {
        return StatusInWordAndCompletion(irp, STATUS_INVALID_PARAMETER);
    }

    std::unique_lock requests(ControlRequestLock);
    VCB* vcb = VcbFromLetter(current);
    if (vcb == nullptr) return StatusInWordAndCompletion(irp, STATUS_NO_SUCH_DEVICE);
    VCB* occupant = VcbFromLetter(next);
    if (occupant != nullptr && occupant != vcb) {
        return StatusInWordAndCompletion(irp, STATUS_OBJECT_NAME_COLLISION);
    }
    return StatusInWordAndCompletion(irp, ChangeDriveLetter(current, next));
}
