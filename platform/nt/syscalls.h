// System calls: what a process asks of the machine. Callable in-process (tests
// and korin-host itself) and, through korin-host's socket, from other programs.
// Handles belong to the calling process; see process.h.
#pragma once

#include "io.h"

NTSTATUS NtCreateFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                      PIO_STATUS_BLOCK ioStatus, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                      ULONG shareAccess, ULONG createDisposition, ULONG createOptions, PVOID eaBuffer,
                      ULONG eaLength);
NTSTATUS NtOpenFile(PHANDLE fileHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES attributes,
                    PIO_STATUS_BLOCK ioStatus, ULONG shareAccess, ULONG openOptions);
// Closes a handle: cleanup when it was the file object's last handle, close
// when the last reference goes.
NTSTATUS NtClose(HANDLE handle);
NTSTATUS NtQueryInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                FILE_INFORMATION_CLASS informationClass);
// FileRenameInformation opens the target's parent with SL_OPEN_TARGET_DIRECTORY
// and passes its file object to the driver.
NTSTATUS NtSetInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                              FILE_INFORMATION_CLASS informationClass);
NTSTATUS NtQueryDirectoryFile(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                              PIO_STATUS_BLOCK ioStatus, PVOID fileInformation, ULONG length,
                              FILE_INFORMATION_CLASS informationClass, BOOLEAN returnSingleEntry,
                              PUNICODE_STRING fileName, BOOLEAN restartScan);
// The same query with the stack-location flags (SL_RESTART_SCAN,
// SL_RETURN_SINGLE_ENTRY, SL_INDEX_SPECIFIED) and FileIndex given directly.
NTSTATUS KorinQueryDirectoryFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID fileInformation, ULONG length,
                                 FILE_INFORMATION_CLASS informationClass, UCHAR flags, PUNICODE_STRING fileName,
                                 ULONG fileIndex);
NTSTATUS NtQueryVolumeInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information,
                                      ULONG length, FS_INFORMATION_CLASS informationClass);
NTSTATUS NtSetVolumeInformationFile(HANDLE fileHandle, PIO_STATUS_BLOCK ioStatus, PVOID information, ULONG length,
                                    FS_INFORMATION_CLASS informationClass);
// METHOD_BUFFERED: input copied into the system buffer, output copied back
// only when the completion status is not an error, Information bytes of it.
NTSTATUS NtDeviceIoControlFile(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                               PIO_STATUS_BLOCK ioStatus, ULONG ioControlCode, PVOID inputBuffer,
                               ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength);
NTSTATUS NtReadFile(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK ioStatus,
                    PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);
NTSTATUS NtWriteFile(HANDLE fileHandle, HANDLE event, PVOID apcRoutine, PVOID apcContext, PIO_STATUS_BLOCK ioStatus,
                     PVOID buffer, ULONG length, PLARGE_INTEGER byteOffset, PULONG key);

namespace korin::io {

// The file object behind a handle of the current process (referenced; release
// with DereferenceFileObject), or NULL.
PFILE_OBJECT ReferenceFileObjectByHandle(HANDLE handle);
void DereferenceFileObject(PFILE_OBJECT fileObject);

// The host file descriptor behind a handle whose file object ends on a host
// file (served by the host file system), or -1. The descriptor stays owned by
// the file object; it is valid while the handle is open.
int HostDescriptorOfHandle(HANDLE handle);
// The host file system registers how to find the descriptor behind one of its
// file objects (-1 when the file object is not one of its host files). NULL
// unregisters.
void SetHostDescriptorHook(int (*hook)(PFILE_OBJECT fileObject));

// Most reparses one open may follow before it fails with
// STATUS_REPARSE_POINT_NOT_RESOLVED.
constexpr int kMaxReparses = 32;

}  // namespace korin::io
