// Caller buffers: the ranges a system call declares valid, probing against
// them, and MDLs describing a caller's buffer.
//
// Memory here is one flat address space, so an MDL maps to the very address
// it describes; what probing adds is the check that a user-mode request's
// buffer is one its caller really handed in, which turns a bad pointer into
// STATUS_ACCESS_VIOLATION raised in the driver instead of a crash.
#include "exceptions.h"
#include "io.h"
#include "pool.h"

#include <vector>

namespace {

constexpr ULONG kMdlTag = PoolTag("IoMd");
constexpr uintptr_t kPageSize = 4096;

struct Range {
    uintptr_t begin;
    uintptr_t end;
};

// Declared by the system calls running on this thread, innermost last.
thread_local std::vector<Range> t_userRanges;

bool IsDeclaredUserRange(const void* address, SIZE_T length) {
    auto begin = reinterpret_cast<uintptr_t>(address);
    if (begin + length < begin) return false;
    for (const Range& range : t_userRanges)
        if (begin >= range.begin && begin + length <= range.end) return true;
    return false;
}

PVOID MdlAddress(PMDL mdl) { return static_cast<char*>(mdl->StartVa) + mdl->ByteOffset; }

void Probe(const void* address, SIZE_T length, ULONG alignment) {
    if (length == 0) return;
    if (alignment > 1 && reinterpret_cast<uintptr_t>(address) % alignment != 0)
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    if (!IsDeclaredUserRange(address, length)) ExRaiseStatus(STATUS_ACCESS_VIOLATION);
}

}  // namespace

namespace korin::io {

UserBufferScope::UserBufferScope(const void* address, SIZE_T length) {
    auto begin = reinterpret_cast<uintptr_t>(address);
    t_userRanges.push_back({begin, begin + length});
}

UserBufferScope::~UserBufferScope() { t_userRanges.pop_back(); }

}  // namespace korin::io

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN, PIRP irp) {
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (!mdl) return nullptr;
    auto address = reinterpret_cast<uintptr_t>(virtualAddress);
    *mdl = MDL{};
    mdl->Size = sizeof(MDL);
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
    mdl->ByteOffset = static_cast<ULONG>(address & (kPageSize - 1));
    mdl->ByteCount = length;
    if (irp) {
        if (!secondaryBuffer) {
            irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &irp->MdlAddress;
            while (*tail) tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

void IoFreeMdl(PMDL mdl) { ExFreePoolWithTag(mdl, kMdlTag); }

void MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION) {
    PVOID address = MdlAddress(mdl);
    if (accessMode != KernelMode) {
        Probe(address, mdl->ByteCount, 1);
    } else if (!address && mdl->ByteCount) {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
}

void MmUnlockPages(PMDL mdl) {
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    mdl->MappedSystemVa = nullptr;
}

// NULL for pages that were never locked: there is nothing safe to map then.
PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE, MEMORY_CACHING_TYPE, PVOID, ULONG, ULONG) {
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL))) return nullptr;
    mdl->MappedSystemVa = MdlAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return mdl->MappedSystemVa;
}

void ProbeForWrite(PVOID address, SIZE_T length, ULONG alignment) { Probe(address, length, alignment); }

void ProbeForRead(const void* address, SIZE_T length, ULONG alignment) { Probe(address, length, alignment); }
