// The driver client's calls: buffers packed as the control interface wants
// them, one DeviceIoControl each.

#include "common/driver_client.h"

#include "platform/win32/files.h"

#include <algorithm>
#include <cstring>

namespace korin {

namespace {

constexpr DWORD kDeviceNameBytes = 260;

// Statuses the control interface answers with, in the order a last error is
// traced back to them (the first that converts to the error wins). The
// requests that name a drive by its letter try kLetterStatuses first.
constexpr NTSTATUS kLetterStatuses[] = {STATUS_NO_SUCH_DEVICE};
constexpr NTSTATUS kControlStatuses[] = {
    STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_PATH_NOT_FOUND,  STATUS_OBJECT_NAME_COLLISION,
    STATUS_INVALID_PARAMETER,     STATUS_ACCESS_DENIED,          STATUS_INVALID_DEVICE_REQUEST,
    STATUS_INVALID_VARIANT,       STATUS_BUFFER_TOO_SMALL,       STATUS_INFO_LENGTH_MISMATCH,
    STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_NAME_INVALID,   STATUS_NAME_TOO_LONG,
    STATUS_NOT_A_DIRECTORY,       STATUS_INVALID_HANDLE,         STATUS_INSUFFICIENT_RESOURCES,
    STATUS_IO_DEVICE_ERROR,       STATUS_UNSUCCESSFUL,
};

bool NamesALetter(DWORD code) {
    return code == IOCTL_DELETE_DRIVE || code == IOCTL_SET_DRIVE_NAME || code == IOCTL_CHANGE_DRIVE_LETTER ||
           code == IOCTL_GET_DEVICE_NAME;
}

// The status behind the last error of a failed request with code.
NTSTATUS FailureStatus(DWORD code) {
    if (NamesALetter(code)) {
        for (NTSTATUS status : kLetterStatuses) {
            if (RtlNtStatusToDosError(status) == GetLastError()) return status;
        }
    }
    return StatusFromLastError();
}

// Sends one request whose output is a 4-byte word. Returns TRUE with the word
// when the request succeeded and delivered it; FALSE with the failure status
// in *word otherwise.
bool SendForWord(HANDLE device, DWORD code, const void* input, DWORD inputBytes, ULONG* word) {
    ULONG output = static_cast<ULONG>(STATUS_UNSUCCESSFUL);
    DWORD returned = 0;
    if (!DeviceIoControl(device, code, const_cast<void*>(input), inputBytes, &output, sizeof output, &returned,
                         nullptr)) {
        *word = static_cast<ULONG>(FailureStatus(code));
        return false;
    }
    if (returned < sizeof output) {
        *word = static_cast<ULONG>(STATUS_UNSUCCESSFUL);
        return false;
    }
    *word = output;
    return true;
}

// The status word of a request, or the failure status.
NTSTATUS StatusOf(HANDLE device, DWORD code, const void* input, DWORD inputBytes) {
    ULONG word = 0;
    SendForWord(device, code, input, inputBytes, &word);
    return static_cast<NTSTATUS>(word);
}

DWORD Bytes(std::u16string_view text) { return static_cast<DWORD>(text.size() * sizeof(WCHAR)); }

void Report(NTSTATUS* out, NTSTATUS status) {
    if (out != nullptr) *out = status;
}

}  // namespace

NTSTATUS StatusFromLastError() {
    const DWORD error = GetLastError();
    for (NTSTATUS status : kControlStatuses) {
        if (RtlNtStatusToDosError(status) == error) return status;
    }
    return STATUS_UNSUCCESSFUL;
}

HANDLE OpenControlDevice() {
    return CreateFileW(u"\\\\.\\KRDriver", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::vector<BYTE> PackStringPair(std::u16string_view first, std::u16string_view second) {
    std::vector<BYTE> buffer((first.size() + 1 + second.size() + 1) * sizeof(WCHAR), 0);
    std::memcpy(buffer.data(), first.data(), Bytes(first));
    std::memcpy(buffer.data() + Bytes(first) + sizeof(WCHAR), second.data(), Bytes(second));
    return buffer;
}

NTSTATUS CreateDrive(HANDLE device, WCHAR letter, std::u16string_view displayName) {
    if (Bytes(displayName) > 0xFFFF) return STATUS_NAME_TOO_LONG;
    const USHORT nameBytes = static_cast<USHORT>(Bytes(displayName));
    std::vector<BYTE> record(4 + nameBytes);
    std::memcpy(record.data(), &letter, sizeof letter);
    std::memcpy(record.data() + 2, &nameBytes, sizeof nameBytes);
    std::memcpy(record.data() + 4, displayName.data(), nameBytes);
    return StatusOf(device, IOCTL_CREATE_DRIVE, record.data(), static_cast<DWORD>(record.size()));
}

NTSTATUS CreateFolder(HANDLE device, std::u16string_view path) {
    return StatusOf(device, IOCTL_CREATE_FOLDER, path.data(), Bytes(path));
}

NTSTATUS CreateMapping(HANDLE device, std::u16string_view path, std::u16string_view target) {
    const std::vector<BYTE> pair = PackStringPair(path, target);
    return StatusOf(device, IOCTL_CREATE_MAPPING, pair.data(), static_cast<DWORD>(pair.size()));
}

void DeleteDrive(HANDLE device, WCHAR letter, NTSTATUS* status) {
    Report(status, StatusOf(device, IOCTL_DELETE_DRIVE, &letter, sizeof letter));
}

int DeleteFolder(HANDLE device, std::u16string_view path, NTSTATUS* status) {
    Report(status, StatusOf(device, IOCTL_DELETE_FOLDER, path.data(), Bytes(path)));
    return 1;
}

int DeleteMapping(HANDLE device, std::u16string_view path, NTSTATUS* status) {
    Report(status, StatusOf(device, IOCTL_DELETE_MAPPING, path.data(), Bytes(path)));
    return 1;
}

ItemType QueryItemType(HANDLE device, std::u16string_view path, NTSTATUS* status) {
    ULONG word = 0;
    if (!SendForWord(device, IOCTL_QUERY_ITEM_TYPE, path.data(), Bytes(path), &word)) {
        Report(status, static_cast<NTSTATUS>(word));
        return ItemNone;
    }
    Report(status, STATUS_SUCCESS);
    return static_cast<ItemType>(word);
}

NTSTATUS RenameMapping(HANDLE device, std::u16string_view path, std::u16string_view newName) {
    const std::vector<BYTE> pair = PackStringPair(path, newName);
    return StatusOf(device, IOCTL_RENAME_MAPPING, pair.data(), static_cast<DWORD>(pair.size()));
}

NTSTATUS RenameFolder(HANDLE device, std::u16string_view path, std::u16string_view newName) {
    const std::vector<BYTE> pair = PackStringPair(path, newName);
    return StatusOf(device, IOCTL_RENAME_FOLDER, pair.data(), static_cast<DWORD>(pair.size()));
}

std::u16string GetDriveDeviceName(HANDLE device, WCHAR letter, NTSTATUS* status) {
    // Room for 260 characters, of which at most 260 bytes are received; the
    // result is cut to what the driver returned.
    std::u16string name(kDeviceNameBytes, u'\0');
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_GET_DEVICE_NAME, &letter, sizeof letter, name.data(), kDeviceNameBytes,
                         &returned, nullptr)) {
        Report(status, FailureStatus(IOCTL_GET_DEVICE_NAME));
        return {};
    }
    Report(status, STATUS_SUCCESS);
    name.resize(std::min<DWORD>(returned, kDeviceNameBytes) / sizeof(WCHAR));
    return name;
}

NTSTATUS SetDriveName(HANDLE device, std::u16string_view driveString, std::u16string_view displayName) {
    std::u16string input;
    input.reserve(displayName.size() + 2);
    input.push_back(driveString.empty() ? u'\0' : driveString[0]);
    input.append(displayName);
    input.push_back(u'\0');
    return StatusOf(device, IOCTL_SET_DRIVE_NAME, input.data(), Bytes(input));
}

void ChangeDriveLetter(HANDLE device, WCHAR oldLetter, WCHAR newLetter, NTSTATUS* status) {
    const WCHAR letters[2] = {oldLetter, newLetter};
    Report(status, StatusOf(device, IOCTL_CHANGE_DRIVE_LETTER, letters, sizeof letters));
}

}  // namespace korin
