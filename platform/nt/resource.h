// Executive resources (shared/exclusive locks that really block), critical
// regions and the thread's top-level IRP slot.
#pragma once

#include "ntbase.h"

#include <condition_variable>
#include <mutex>
#include <thread>

struct ERESOURCE {
    // Opaque to drivers. Exclusive owner may re-acquire (exclusive or shared);
    // shared owners are counted per thread so shared recursion works.
    struct State;
    State* state;
};
typedef ERESOURCE* PERESOURCE;

NTSTATUS ExInitializeResourceLite(PERESOURCE resource);
// Frees the state; the resource may still be held by the calling thread only.
NTSTATUS ExDeleteResourceLite(PERESOURCE resource);
// wait FALSE: returns FALSE at once when the resource cannot be granted without blocking.
// A shared owner asking for exclusive with wait TRUE would wait for itself: that aborts (a driver bug).
BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait);
BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait);
// Undoes one acquisition of the calling thread; a thread that holds nothing aborts (a driver bug).
void ExReleaseResourceLite(PERESOURCE resource);
BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource);
ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource);  // this thread's hold count
// Threads blocked waiting for the resource (lets tests wait until a request is really blocked).
ULONG ExGetExclusiveWaiterCount(PERESOURCE resource);
ULONG ExGetSharedWaiterCount(PERESOURCE resource);

void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();
ULONG KeCriticalRegionDepth();  // this thread's nesting (for checks in tests)
KIRQL KeGetCurrentIrql();       // always PASSIVE_LEVEL here

struct IRP;
// Special top-level values a file system recognises (not real IRPs).
#define FSRTL_FSP_TOP_LEVEL_IRP (reinterpret_cast<IRP*>(1))
#define FSRTL_CACHE_TOP_LEVEL_IRP (reinterpret_cast<IRP*>(2))
IRP* IoGetTopLevelIrp();
void IoSetTopLevelIrp(IRP* irp);
