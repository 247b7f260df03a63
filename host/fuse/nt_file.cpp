// Syscall wrappers.
#include "nt_file.h"

#include "platform/nt/io.h"

#include <cstddef>
#include <cstring>
#include <vector>

namespace korin::fuse {

void NtHandle::Reset() {
    if (handle_) NtClose(handle_);
    handle_ = nullptr;
}

NTSTATUS OpenPath(const std::u16string& path, ACCESS_MASK access, ULONG disposition, ULONG options,
                  NtHandle* handle, ULONG_PTR* information) {
    if (path.size() * sizeof(char16_t) > 0xFFFE) return STATUS_NAME_TOO_LONG;
    UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(char16_t)),
                        static_cast<USHORT>(path.size() * sizeof(char16_t)), const_cast<char16_t*>(path.data())};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, 0, nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus{};
    HANDLE opened = nullptr;
    NTSTATUS status = NtCreateFile(&opened, access | SYNCHRONIZE, &attributes, &ioStatus, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                                   options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status)) return status;
    *handle = NtHandle(opened);
    if (information) *information = ioStatus.Information;
    return status;
}

NTSTATUS QueryNetworkOpen(HANDLE handle, FILE_NETWORK_OPEN_INFORMATION* info) {
    IO_STATUS_BLOCK ioStatus{};
    std::memset(info, 0, sizeof *info);
    return NtQueryInformationFile(handle, &ioStatus, info, sizeof *info, FileNetworkOpenInformation);
}

NTSTATUS SetDeleteDisposition(HANDLE handle, bool deleteFile) {
    IO_STATUS_BLOCK ioStatus{};
    FILE_DISPOSITION_INFORMATION info{static_cast<BOOLEAN>(deleteFile ? TRUE : FALSE)};
    return NtSetInformationFile(handle, &ioStatus, &info, sizeof info, FileDispositionInformation);
}

NTSTATUS RenameTo(HANDLE handle, const std::u16string& newPath, bool replaceIfExists) {
    size_t nameBytes = newPath.size() * sizeof(char16_t);
    if (nameBytes > 0xFFFE) return STATUS_NAME_TOO_LONG;
    std::vector<std::byte> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replaceIfExists ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(nameBytes);
    std::memcpy(buffer.data() + offsetof(FILE_RENAME_INFORMATION, FileName), newPath.data(), nameBytes);
    IO_STATUS_BLOCK ioStatus{};
    return NtSetInformationFile(handle, &ioStatus, info, static_cast<ULONG>(buffer.size()), FileRenameInformation);
}

NTSTATUS QueryFullSize(HANDLE handle, FILE_FS_FULL_SIZE_INFORMATION* info) {
    IO_STATUS_BLOCK ioStatus{};
    std::memset(info, 0, sizeof *info);
    return NtQueryVolumeInformationFile(handle, &ioStatus, info, sizeof *info, FileFsFullSizeInformation);
}

NTSTATUS QueryMaximumComponentLength(HANDLE handle, ULONG* length) {
    // The fixed part is enough: the file-system name is not needed.
    alignas(FILE_FS_ATTRIBUTE_INFORMATION) std::byte buffer[sizeof(FILE_FS_ATTRIBUTE_INFORMATION) + 128]{};
    IO_STATUS_BLOCK ioStatus{};
    NTSTATUS status =
        NtQueryVolumeInformationFile(handle, &ioStatus, buffer, sizeof buffer, FileFsAttributeInformation);
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        auto* info = reinterpret_cast<FILE_FS_ATTRIBUTE_INFORMATION*>(buffer);
        *length = info->MaximumComponentNameLength > 0 ? static_cast<ULONG>(info->MaximumComponentNameLength) : 255;
        return STATUS_SUCCESS;
    }
    return status;
}

PDEVICE_OBJECT DeviceOfHandle(HANDLE handle) {
    PFILE_OBJECT fileObject = io::ReferenceFileObjectByHandle(handle);
    if (!fileObject) return nullptr;
    PDEVICE_OBJECT device = fileObject->DeviceObject;
    io::DereferenceFileObject(fileObject);
    return device;
}

}  // namespace korin::fuse
