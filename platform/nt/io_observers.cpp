// Observers of completed requests.
//
// The I/O manager tells observers about every request it sent and saw
// completed, in the thread that issued it, before the request's IRP is freed
// and before the system call returns to its caller. korin-host's mounts use
// this to learn that a driver changed something behind the kernel's caches
// (a control request, a rename, a delete) without the platform knowing what
// a drive is.
#include "io.h"

#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace korin::io {
namespace {

struct ObserverList {
    std::mutex mutex;
    std::map<int, std::shared_ptr<RequestObserver>> byId;
    // What notifications run through: replaced whole on every change, so a
    // notification never holds the mutex while observers run.
    std::shared_ptr<const std::vector<std::shared_ptr<RequestObserver>>> current;
    int next = 1;
};

ObserverList& Observers() {
    static auto* list = new ObserverList;  // outlives static destructors: requests may still complete
    return *list;
}

void PublishLocked(ObserverList& list) {
    if (list.byId.empty()) {
        list.current.reset();
        return;
    }
    auto snapshot = std::make_shared<std::vector<std::shared_ptr<RequestObserver>>>();
    for (const auto& [id, observer] : list.byId) snapshot->push_back(observer);
    list.current = std::move(snapshot);
}

}  // namespace

int AddRequestObserver(RequestObserver observer) {
    ObserverList& list = Observers();
    std::lock_guard lock(list.mutex);
    int id = list.next++;
    list.byId.emplace(id, std::make_shared<RequestObserver>(std::move(observer)));
    PublishLocked(list);
    return id;
}

void RemoveRequestObserver(int id) {
    ObserverList& list = Observers();
    std::lock_guard lock(list.mutex);
    list.byId.erase(id);
    PublishLocked(list);
}

void NotifyRequestCompleted(PIRP irp) {
    ObserverList& list = Observers();
    std::shared_ptr<const std::vector<std::shared_ptr<RequestObserver>>> observers;
    {
        std::lock_guard lock(list.mutex);
        observers = list.current;
    }
    if (!observers) return;
    for (const auto& observer : *observers) {
        try {
            (*observer)(irp);
        } catch (...) {
            // An observer's failure is its own; the request already completed.
        }
    }
}

}  // namespace korin::io
