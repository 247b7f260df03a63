// Directory queries: the entries go straight into the caller's buffer (the
// request's UserBuffer, declared valid for the call), which a file system
// probes, or locks with an MDL before posting the query to a worker.
#include "iomgr.h"
#include "syscalls.h"

NTSTATUS KorinQueryDirectoryFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID fileInformation, ULONG length,
                                 FILE_INFORMATION_CLASS informationClass, UCHAR flags, PUNICODE_STRING fileName,
                                 ULONG fileIndex) {
    using namespace korin::io;
    if (!ioStatus || !fileInformation || !length) return STATUS_INVALID_PARAMETER;
    if (fileName && (fileName->Length % sizeof(WCHAR) || (fileName->Length && !fileName->Buffer)))
        return STATUS_INVALID_PARAMETER;
    FileHandleReference file;
    NTSTATUS status = file.Acquire(UserMode, fileHandle, FILE_LIST_DIRECTORY);
    if (!NT_SUCCESS(status)) return status;
    // The pattern is the kernel's own copy for the length of the request.
    std::u16string pattern = ToString(fileName);
    UNICODE_STRING patternString{static_cast<USHORT>(pattern.size() * sizeof(WCHAR)),
                                 static_cast<USHORT>(pattern.size() * sizeof(WCHAR)), pattern.data()};
    UserBufferScope scope(fileInformation, length);
    PIRP irp = AllocateIrp(IRP_MJ_DIRECTORY_CONTROL, file.FileObject(), UserMode);
    irp->UserBuffer = fileInformation;
    auto& stack = irp->Stack;
    stack.MinorFunction = IRP_MN_QUERY_DIRECTORY;
    stack.Flags = flags;
    stack.Parameters.QueryDirectory.Length = length;
    stack.Parameters.QueryDirectory.FileName = fileName ? &patternString : nullptr;
    stack.Parameters.QueryDirectory.FileInformationClass = informationClass;
    stack.Parameters.QueryDirectory.FileIndex = fileIndex;
    status = SendIrpAndWait(irp);
    *ioStatus = irp->IoStatus;
    FreeIrp(irp);
    return status;
}

NTSTATUS NtQueryDirectoryFile(HANDLE fileHandle, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK ioStatus,
                              PVOID fileInformation, ULONG length, FILE_INFORMATION_CLASS informationClass,
                              BOOLEAN returnSingleEntry, PUNICODE_STRING fileName, BOOLEAN restartScan) {
    UCHAR flags = (restartScan ? SL_RESTART_SCAN : 0) | (returnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0);
    return KorinQueryDirectoryFile(fileHandle, ioStatus, fileInformation, length, informationClass, flags, fileName,
                                   0);
}
