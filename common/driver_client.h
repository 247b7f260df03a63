// The driver client: the user-mode end of KRDriver's control interface, one
// call per control request. Each call packs its arguments into the request's
// input buffer, sends it with DeviceIoControl on the control device and turns
// the output back into a plain value. The calls know nothing of prompts or
// messages; they hold no state and take no lock, so any thread that owns the
// handle may use them.
//
// Failures of DeviceIoControl itself (no driver, a bad handle, a request the
// driver completes with an error status) never leave a call's result
// undefined: the status-returning calls return the status behind the last
// error (never 0), and the optional status out-parameters of the other calls
// receive it.
#pragma once

#include "common/korin_ioctl.h"
#include "platform/win32/win32.h"

#include <string>
#include <string_view>
#include <vector>

namespace korin {

// What the manager and the command process hand to every item operation:
// the control-device handle and the last name the user confirmed in a name
// prompt (empty at first).
struct DriverClient {
    HANDLE Handle = INVALID_HANDLE_VALUE;
    std::u16string LastName;
};

// "\\.\KRDriver" for reading and writing, shared for reading and writing.
// INVALID_HANDLE_VALUE when the driver does not run (the last error says why).
HANDLE OpenControlDevice();

// The drive record (letter, name length in bytes, name): 4 + 2 x length bytes.
// Returns the status word; STATUS_NAME_TOO_LONG, unsent, for a name whose
// byte length does not fit the record's 16-bit field.
NTSTATUS CreateDrive(HANDLE device, WCHAR letter, std::u16string_view displayName);
// The path's characters without NUL. Returns the status word.
NTSTATUS CreateFolder(HANDLE device, std::u16string_view path);
// PackStringPair(path, target). Returns the status word.
NTSTATUS CreateMapping(HANDLE device, std::u16string_view path, std::u16string_view target);
// The letter, 2 bytes. The answer is not needed by the callers: a delete of
// something gone is not an error for them; status (optional) receives it.
void DeleteDrive(HANDLE device, WCHAR letter, NTSTATUS* status = nullptr);
// The path's characters without NUL. Returns 1, always; status (optional)
// receives the request's outcome.
int DeleteFolder(HANDLE device, std::u16string_view path, NTSTATUS* status = nullptr);
int DeleteMapping(HANDLE device, std::u16string_view path, NTSTATUS* status = nullptr);
// The path's characters without NUL. Returns the driver's item type, or
// ItemNone when the request fails (status, optional, says why).
ItemType QueryItemType(HANDLE device, std::u16string_view path, NTSTATUS* status = nullptr);
// PackStringPair(path, bare new name). Return the status word.
NTSTATUS RenameMapping(HANDLE device, std::u16string_view path, std::u16string_view newName);
NTSTATUS RenameFolder(HANDLE device, std::u16string_view path, std::u16string_view newName);
// The letter, 2 bytes; up to 260 bytes back. The device name exactly (for
// example \Device\KTDrive3), or empty when the request fails.
std::u16string GetDriveDeviceName(HANDLE device, WCHAR letter, NTSTATUS* status = nullptr);
// The drive string's first character, the name and its NUL: 2 x (1 + length)
// + 2 bytes. Returns the status word.
NTSTATUS SetDriveName(HANDLE device, std::u16string_view driveString, std::u16string_view displayName);
// Old letter then new letter, 4 bytes. status (optional) receives the outcome.
void ChangeDriveLetter(HANDLE device, WCHAR oldLetter, WCHAR newLetter, NTSTATUS* status = nullptr);

// Two strings back to back, each with its NUL: 2 x (length1 + 1) +
// 2 x (length2 + 1) bytes, zero-filled first.
std::vector<BYTE> PackStringPair(std::u16string_view first, std::u16string_view second);

// The status behind the calling thread's last error, for a DeviceIoControl
// that failed: the first status of the control interface that converts to
// that error, else STATUS_UNSUCCESSFUL. Never STATUS_SUCCESS. (The requests
// that name a letter read ERROR_FILE_NOT_FOUND as STATUS_NO_SUCH_DEVICE, the
// others as STATUS_OBJECT_NAME_NOT_FOUND.)
NTSTATUS StatusFromLastError();

}  // namespace korin
