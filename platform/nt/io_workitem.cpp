// Work items: a driver's routine run later by a system worker thread. The
// device stays referenced while its work item is queued, so it cannot be
// freed under the routine.
#include "iomgr.h"
#include "exceptions.h"
#include "pool.h"

#include <cstdio>

struct IO_WORKITEM {
    PDEVICE_OBJECT Device;
};

namespace {
constexpr ULONG kWorkItemTag = PoolTag("IoWk");
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT device) {
    auto* item = static_cast<PIO_WORKITEM>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag));
    if (item) item->Device = device;
    return item;
}

void IoFreeWorkItem(PIO_WORKITEM item) { ExFreePoolWithTag(item, kWorkItemTag); }

// The routine may free the work item first thing (and usually does), so
// nothing here touches the item once the routine has started.
void IoQueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queue, PVOID context) {
    PDEVICE_OBJECT device = item->Device;
    korin::io::ReferenceDevice(device);
    korin::workqueue::Queue(queue, [device, routine, context] {
        // A status escaping the routine has no frame to go to; the worker
        // thread survives it, but the request it was serving is left as is.
        try {
            routine(device, context);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "korin: work item routine raised %s\n", e.what());
        }
        korin::io::DereferenceDevice(device);
    });
}
