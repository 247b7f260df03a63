// Opening by Win32 name: CreateFileW and CloseHandle, and the open that the
// other path-based calls share.
#include "files_internal.h"

namespace korin::win32 {
namespace {

// CreateFileW's dispositions in the system's terms; nullopt for an unknown one.
std::optional<ULONG> NtDisposition(DWORD creationDisposition) {
    switch (creationDisposition) {
    case CREATE_NEW: return FILE_CREATE;
    case CREATE_ALWAYS: return FILE_OVERWRITE_IF;
    case OPEN_EXISTING: return FILE_OPEN;
    case OPEN_ALWAYS: return FILE_OPEN_IF;
    case TRUNCATE_EXISTING: return FILE_OVERWRITE;
    default: return std::nullopt;
    }
}

constexpr ULONG kFileRandomAccess = 0x00000800;
constexpr ULONG kFileNoIntermediateBuffering = 0x00000008;
constexpr DWORD kValidAttributes = 0x00007FA7;

ULONG NtOptions(DWORD flags) {
    ULONG options = 0;
    if (!(flags & FILE_FLAG_OVERLAPPED)) options |= FILE_SYNCHRONOUS_IO_NONALERT;
    if (flags & FILE_FLAG_BACKUP_SEMANTICS) {
        options |= FILE_OPEN_FOR_BACKUP_INTENT;
    } else {
        options |= FILE_NON_DIRECTORY_FILE;  // directories only with backup semantics
    }
    if (flags & FILE_FLAG_WRITE_THROUGH) options |= FILE_WRITE_THROUGH;
    if (flags & FILE_FLAG_NO_BUFFERING) options |= kFileNoIntermediateBuffering;
    if (flags & FILE_FLAG_RANDOM_ACCESS) options |= kFileRandomAccess;
    if (flags & FILE_FLAG_SEQUENTIAL_SCAN) options |= FILE_SEQUENTIAL_ONLY;
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) options |= FILE_DELETE_ON_CLOSE;
    if (flags & FILE_FLAG_OPEN_REPARSE_POINT) options |= FILE_OPEN_REPARSE_POINT;
    return options;
}

}  // namespace

BOOL FailWith(NTSTATUS status) {
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

NTSTATUS OpenWin32Path(LPCWSTR path, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
                       HANDLE* handle, IO_STATUS_BLOCK* ioStatus, ULONG attributes) {
    *handle = INVALID_HANDLE_VALUE;
    if (!path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    std::optional<std::u16string> ntName = Win32PathToNtPath(path);
    if (!ntName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (ntName->size() * sizeof(WCHAR) > 0xFFFE) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return STATUS_NAME_TOO_LONG;
    }
    UNICODE_STRING name{static_cast<USHORT>(ntName->size() * sizeof(WCHAR)),
                        static_cast<USHORT>(ntName->size() * sizeof(WCHAR)), ntName->data()};
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK local{};
    IO_STATUS_BLOCK* io = ioStatus ? ioStatus : &local;
    HANDLE opened = nullptr;
    NTSTATUS status = Syscalls().CreateFile(&opened, access, &objectAttributes, io, nullptr, attributes, share,
                                            disposition, options, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        FailWith(status);
        return status;
    }
    *handle = opened;
    return status;
}

NTSTATUS MarkForDeletion(HANDLE handle) {
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    IO_STATUS_BLOCK io{};
    return Syscalls().SetInformationFile(handle, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

}  // namespace korin::win32

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    using namespace korin::win32;
    std::optional<ULONG> disposition = NtDisposition(dwCreationDisposition);
    if (!disposition || (dwShareMode & ~FILE_SHARE_VALID_FLAGS) ||
        (dwCreationDisposition == TRUNCATE_EXISTING && !(dwDesiredAccess & (GENERIC_WRITE | FILE_WRITE_DATA)))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    ACCESS_MASK access = dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) access |= DELETE;
    ULONG attributes = dwFlagsAndAttributes & kValidAttributes & ~FILE_ATTRIBUTE_DIRECTORY;
    HANDLE handle;
    IO_STATUS_BLOCK io{};
    NTSTATUS status = OpenWin32Path(lpFileName, access, dwShareMode, *disposition, NtOptions(dwFlagsAndAttributes),
                                    &handle, &io, attributes);
    if (!NT_SUCCESS(status)) {
        // Creating a file that exists is "file exists", not "already exists".
        if (status == STATUS_OBJECT_NAME_COLLISION && dwCreationDisposition == CREATE_NEW)
            SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS) &&
                   (io.Information == FILE_OPENED || io.Information == FILE_OVERWRITTEN ||
                    io.Information == FILE_SUPERSEDED);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

BOOL CloseHandle(HANDLE hObject) {
    using namespace korin::win32;
    if (!hObject || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    NTSTATUS status = Syscalls().Close(hObject);
    return NT_SUCCESS(status) ? TRUE : FailWith(status);
}
