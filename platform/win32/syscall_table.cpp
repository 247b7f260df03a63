// The system call table of the Win32 layer. In-process, the calls go straight
// to the kernel running in this process; a program connected to korin-host
// switches to the socket client's table.
#include "syscall_table.h"

#include "platform/nt/ob.h"

#include <atomic>

namespace korin::win32 {
namespace {

NTSTATUS DefineDosDeviceInProcess(const std::u16string& name, const std::u16string& target) {
    return ob::DefineDosDevice(name, target);
}

NTSTATUS RemoveDosDeviceInProcess(const std::u16string& name, const std::u16string* target, bool exactMatch) {
    return ob::RemoveDosDevice(name, target, exactMatch);
}

std::vector<std::u16string> QueryDosDeviceInProcess(const std::u16string& name) {
    return ob::QueryLinkTargets(name);
}

std::vector<std::u16string> ListDosDevicesInProcess() { return ob::ListLinks(u"\\??"); }

// Tables handed to UseSyscalls are copied and never freed: a thread may still
// be reading the previous one when another switches.
std::atomic<const SyscallTable*> g_current{nullptr};

}  // namespace

const SyscallTable& InProcessSyscalls() {
    static const SyscallTable table{
        NtCreateFile,
        NtClose,
        NtQueryInformationFile,
        NtSetInformationFile,
        KorinQueryDirectoryFile,
        NtQueryVolumeInformationFile,
        NtSetVolumeInformationFile,
        NtDeviceIoControlFile,
        NtReadFile,
        NtWriteFile,
        DefineDosDeviceInProcess,
        RemoveDosDeviceInProcess,
        QueryDosDeviceInProcess,
        ListDosDevicesInProcess,
    };
    return table;
}

const SyscallTable& Syscalls() {
    const SyscallTable* table = g_current.load(std::memory_order_acquire);
    return table ? *table : InProcessSyscalls();
}

void UseSyscalls(const SyscallTable& table) {
    const SyscallTable* copy = &table == &InProcessSyscalls() ? &table : new SyscallTable(table);
    g_current.store(copy, std::memory_order_release);
}

}  // namespace korin::win32
