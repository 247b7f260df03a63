// The system calls the Win32 layer makes, as a table: in-process by default
// (the kernel runs in this process, as in tests), or korin-host's socket
// client once a program connects to the running machine.
#pragma once

#include "platform/nt/syscalls.h"

#include <string>
#include <vector>

namespace korin::win32 {

struct SyscallTable {
    decltype(&NtCreateFile) CreateFile;
    decltype(&NtClose) Close;
    decltype(&NtQueryInformationFile) QueryInformationFile;
    decltype(&NtSetInformationFile) SetInformationFile;
    decltype(&KorinQueryDirectoryFile) QueryDirectoryFile;
    decltype(&NtQueryVolumeInformationFile) QueryVolumeInformationFile;
    decltype(&NtSetVolumeInformationFile) SetVolumeInformationFile;
    decltype(&NtDeviceIoControlFile) DeviceIoControlFile;
    decltype(&NtReadFile) ReadFile;
    decltype(&NtWriteFile) WriteFile;
    // DOS device definitions in "\??" (names without the "\??\" prefix).
    NTSTATUS (*DefineDosDevice)(const std::u16string& name, const std::u16string& target);
    NTSTATUS (*RemoveDosDevice)(const std::u16string& name, const std::u16string* target, bool exactMatch);
    std::vector<std::u16string> (*QueryDosDevice)(const std::u16string& name);
    std::vector<std::u16string> (*ListDosDevices)();
};

// The table in use; starts as the in-process one.
const SyscallTable& Syscalls();
void UseSyscalls(const SyscallTable& table);
const SyscallTable& InProcessSyscalls();

}  // namespace korin::win32
