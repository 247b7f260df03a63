// GetVolumeInformationW: the label and serial number, and the file system's
// name, flags and longest component, as the volume of a root reports them.
#include "files_internal.h"

#include <cstring>
#include <vector>

using korin::win32::FailWith;
using korin::win32::Syscalls;

namespace {

// Enough for any label or file-system name Win32 can report.
constexpr ULONG kQueryBytes = 1024;

// Copies chars characters and a NUL into buffer of size characters; FALSE
// (ERROR_BAD_LENGTH) when they do not fit.
bool CopyName(const void* source, size_t chars, LPWSTR buffer, DWORD size) {
    if (!buffer) return true;
    while (chars && static_cast<const WCHAR*>(source)[chars - 1] == u'\0') --chars;
    if (chars + 1 > size) {
        SetLastError(ERROR_BAD_LENGTH);
        return false;
    }
    std::memcpy(buffer, source, chars * sizeof(WCHAR));
    buffer[chars] = u'\0';
    return true;
}

NTSTATUS QueryVolume(HANDLE root, FS_INFORMATION_CLASS infoClass, std::vector<uint64_t>* buffer) {
    buffer->assign(kQueryBytes / 8, 0);
    IO_STATUS_BLOCK io{};
    return Syscalls().QueryVolumeInformationFile(root, &io, buffer->data(), kQueryBytes, infoClass);
}

}  // namespace

BOOL GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer, DWORD nVolumeNameSize,
                           LPDWORD lpVolumeSerialNumber, LPDWORD lpMaximumComponentLength,
                           LPDWORD lpFileSystemFlags, LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
    if (!lpRootPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string_view root(lpRootPathName);
    if (root.empty() || (root.back() != u'\\' && root.back() != u'/')) {
        SetLastError(ERROR_INVALID_NAME);  // a root, with its backslash
        return FALSE;
    }
    HANDLE handle;
    NTSTATUS status = korin::win32::OpenWin32Path(lpRootPathName, FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                                  FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT, &handle);
    if (!NT_SUCCESS(status)) return FALSE;
    BOOL result = TRUE;
    std::vector<uint64_t> buffer;
    if (lpVolumeNameBuffer || lpVolumeSerialNumber) {
        status = QueryVolume(handle, FileFsVolumeInformation, &buffer);
        FILE_FS_VOLUME_INFORMATION volume;
        std::memcpy(&volume, buffer.data(), sizeof volume);
        const auto* label = reinterpret_cast<const char*>(buffer.data()) + offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
        if (!NT_SUCCESS(status)) {
            result = FailWith(status);
        } else if (volume.VolumeLabelLength > kQueryBytes - offsetof(FILE_FS_VOLUME_INFORMATION, VolumeLabel)) {
            result = FailWith(STATUS_BUFFER_OVERFLOW);
        } else if (!CopyName(label, volume.VolumeLabelLength / sizeof(WCHAR), lpVolumeNameBuffer, nVolumeNameSize)) {
            result = FALSE;
        } else if (lpVolumeSerialNumber) {
            *lpVolumeSerialNumber = volume.VolumeSerialNumber;
        }
    }
    if (result && (lpMaximumComponentLength || lpFileSystemFlags || lpFileSystemNameBuffer)) {
        status = QueryVolume(handle, FileFsAttributeInformation, &buffer);
        FILE_FS_ATTRIBUTE_INFORMATION attributes;
        std::memcpy(&attributes, buffer.data(), sizeof attributes);
        const auto* name =
            reinterpret_cast<const char*>(buffer.data()) + offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
        if (!NT_SUCCESS(status)) {
            result = FailWith(status);
        } else if (attributes.FileSystemNameLength >
                   kQueryBytes - offsetof(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName)) {
            result = FailWith(STATUS_BUFFER_OVERFLOW);
        } else if (!CopyName(name, attributes.FileSystemNameLength / sizeof(WCHAR), lpFileSystemNameBuffer,
                             nFileSystemNameSize)) {
            result = FALSE;
        } else {
            if (lpMaximumComponentLength)
                *lpMaximumComponentLength = static_cast<DWORD>(attributes.MaximumComponentNameLength);
            if (lpFileSystemFlags) *lpFileSystemFlags = attributes.FileSystemAttributes;
        }
    }
    Syscalls().Close(handle);
    return result;
}
