// Executive resources, critical regions, IRQL and the top-level IRP slot.
//
// An ERESOURCE is a reader/writer lock that really blocks. Rules, as the
// kernel's:
//   - exclusive: granted when nobody holds the resource, or when the caller
//     already holds it exclusive (recursion);
//   - shared: granted to a thread that already holds it (shared or
//     exclusive: an exclusive owner's shared request counts as recursion);
//     otherwise granted when nobody holds it exclusive and no thread waits
//     for exclusive access, so writers are not starved by a stream of new
//     readers;
//   - wait FALSE: returns FALSE at once whenever the request would block;
//   - every acquisition is undone by one ExReleaseResourceLite in the
//     owning thread.
#include "resource.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <unordered_map>

struct ERESOURCE::State {
    std::mutex mutex;
    std::condition_variable changed;  // notified when the resource becomes less owned
    std::thread::id exclusiveOwner;   // meaningful while exclusiveCount > 0
    ULONG exclusiveCount = 0;
    std::unordered_map<std::thread::id, ULONG> sharedOwners;  // thread -> shared hold count
    ULONG exclusiveWaiters = 0;
    ULONG sharedWaiters = 0;

    bool OwnedExclusiveBy(std::thread::id t) const { return exclusiveCount > 0 && exclusiveOwner == t; }
};

namespace {

[[noreturn]] void ResourceBug(const char* what, PERESOURCE resource) {
    std::fprintf(stderr, "KORIN RESOURCE BUG: %s (resource %p)\n", what, static_cast<void*>(resource));
    std::fflush(stderr);
    std::abort();
}

ERESOURCE::State& StateOf(PERESOURCE resource) {
    if (!resource || !resource->state) ResourceBug("resource used before ExInitializeResourceLite", resource);
    return *resource->state;
}

thread_local ULONG t_criticalRegionDepth = 0;
thread_local IRP* t_topLevelIrp = nullptr;

}  // namespace

NTSTATUS ExInitializeResourceLite(PERESOURCE resource) {
    resource->state = new (std::nothrow) ERESOURCE::State;
    return resource->state ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS ExDeleteResourceLite(PERESOURCE resource) {
    ERESOURCE::State& s = StateOf(resource);
    {
        std::lock_guard lock(s.mutex);
        const auto me = std::this_thread::get_id();
        bool otherOwner = (s.exclusiveCount > 0 && s.exclusiveOwner != me) ||
                          s.sharedOwners.size() > (s.sharedOwners.count(me) ? 1u : 0u);
        if (otherOwner || s.exclusiveWaiters || s.sharedWaiters)
            ResourceBug("resource deleted while another thread holds or waits for it", resource);
    }
    delete resource->state;
    resource->state = nullptr;
    return STATUS_SUCCESS;
}

BOOLEAN ExAcquireResourceExclusiveLite(PERESOURCE resource, BOOLEAN wait) {
    ERESOURCE::State& s = StateOf(resource);
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(s.mutex);
    if (s.OwnedExclusiveBy(me)) {
        ++s.exclusiveCount;
        return TRUE;
    }
    auto free = [&] { return s.exclusiveCount == 0 && s.sharedOwners.empty(); };
    if (!free()) {
        if (!wait) return FALSE;
        // Holding it shared and waiting for exclusive never ends.
        if (s.sharedOwners.count(me)) ResourceBug("exclusive acquisition by a shared owner would deadlock", resource);
        ++s.exclusiveWaiters;
        s.changed.wait(lock, free);
        --s.exclusiveWaiters;
    }
    s.exclusiveOwner = me;
    s.exclusiveCount = 1;
    return TRUE;
}

BOOLEAN ExAcquireResourceSharedLite(PERESOURCE resource, BOOLEAN wait) {
    ERESOURCE::State& s = StateOf(resource);
    const auto me = std::this_thread::get_id();
    std::unique_lock lock(s.mutex);
    if (s.OwnedExclusiveBy(me)) {
        ++s.exclusiveCount;
        return TRUE;
    }
    if (auto it = s.sharedOwners.find(me); it != s.sharedOwners.end()) {
        ++it->second;
        return TRUE;
    }
    auto grantable = [&] { return s.exclusiveCount == 0 && s.exclusiveWaiters == 0; };
    if (!grantable()) {
        if (!wait) return FALSE;
        ++s.sharedWaiters;
        s.changed.wait(lock, grantable);
        --s.sharedWaiters;
    }
    s.sharedOwners[me] = 1;
    return TRUE;
}

void ExReleaseResourceLite(PERESOURCE resource) {
    ERESOURCE::State& s = StateOf(resource);
    const auto me = std::this_thread::get_id();
    std::lock_guard lock(s.mutex);
    if (s.OwnedExclusiveBy(me)) {
        if (--s.exclusiveCount == 0) {
            s.exclusiveOwner = std::thread::id();
            s.changed.notify_all();
        }
        return;
    }
    auto it = s.sharedOwners.find(me);
    if (it == s.sharedOwners.end()) ResourceBug("resource released by a thread that does not own it", resource);
    if (--it->second == 0) {
        s.sharedOwners.erase(it);
        if (s.sharedOwners.empty()) s.changed.notify_all();
    }
}

BOOLEAN ExIsResourceAcquiredExclusiveLite(PERESOURCE resource) {
    ERESOURCE::State& s = StateOf(resource);
    std::lock_guard lock(s.mutex);
    return s.OwnedExclusiveBy(std::this_thread::get_id()) ? TRUE : FALSE;
}

ULONG ExIsResourceAcquiredSharedLite(PERESOURCE resource) {
    ERESOURCE::State& s = StateOf(resource);
    const auto me = std::this_thread::get_id();
    std::lock_guard lock(s.mutex);
    if (s.OwnedExclusiveBy(me)) return s.exclusiveCount;
    auto it = s.sharedOwners.find(me);
    return it == s.sharedOwners.end() ? 0 : it->second;
}

ULONG ExGetExclusiveWaiterCount(PERESOURCE resource) {
    ERESOURCE::State& s = StateOf(resource);
    std::lock_guard lock(s.mutex);
    return s.exclusiveWaiters;
}

ULONG ExGetSharedWaiterCount(PERESOURCE resource) {
    ERESOURCE::State& s = StateOf(resource);
    std::lock_guard lock(s.mutex);
    return s.sharedWaiters;
}

void KeEnterCriticalRegion() { ++t_criticalRegionDepth; }

void KeLeaveCriticalRegion() {
    if (t_criticalRegionDepth == 0) ResourceBug("KeLeaveCriticalRegion without KeEnterCriticalRegion", nullptr);
    --t_criticalRegionDepth;
}

ULONG KeCriticalRegionDepth() { return t_criticalRegionDepth; }

KIRQL KeGetCurrentIrql() { return PASSIVE_LEVEL; }

IRP* IoGetTopLevelIrp() { return t_topLevelIrp; }

void IoSetTopLevelIrp(IRP* irp) { t_topLevelIrp = irp; }
