// System worker threads: one FIFO and a few real threads per queue type.
//
// Life cycle: threads start with the first Queue; Shutdown drains every queue,
// stops and joins the threads; the next Queue starts them again. Shutdown is
// also registered to run at process exit, before the static destructors of
// anything constructed earlier, so worker threads never outlive the globals
// they use. The manager itself is never destroyed.
#include "workqueue.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "exceptions.h"

namespace korin::workqueue {
namespace {

constexpr int kQueueCount = 3;
// Critical: posted requests, which may block on a resource, so several.
constexpr unsigned kThreadsPerQueue[kQueueCount] = {4, 2, 1};

struct WorkQueue {
    std::deque<std::function<void()>> items;
    std::condition_variable ready;  // items queued, or stopping
    std::vector<std::thread> threads;
};

struct Manager {
    std::mutex lifecycle;  // held by Shutdown throughout, and while threads start
    std::mutex mutex;      // guards everything below
    std::condition_variable idle;
    WorkQueue queues[kQueueCount];
    size_t pending = 0;  // queued, not yet finished
    bool started = false;
    bool stopping = false;
};

Manager& TheManager() {
    static Manager* manager = new Manager;
    return *manager;
}

thread_local bool t_isWorker = false;

[[noreturn]] void WorkQueueBug(const char* what) {
    std::fprintf(stderr, "KORIN WORK QUEUE BUG: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

void RunItem(std::function<void()>& fn) {
    try {
        fn();
    } catch (const NtStatusException& e) {
        // A system thread has no frame above the routine: an escaping
        // exception is a driver bug, as on the real system.
        std::fprintf(stderr, "KORIN WORK QUEUE BUG: routine raised %s\n", e.what());
        std::fflush(stderr);
        std::abort();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "KORIN WORK QUEUE BUG: routine threw %s\n", e.what());
        std::fflush(stderr);
        std::abort();
    }
}

void WorkerLoop(Manager& m, WorkQueue& q) {
    t_isWorker = true;
    std::unique_lock lock(m.mutex);
    for (;;) {
        q.ready.wait(lock, [&] { return !q.items.empty() || m.stopping; });
        if (q.items.empty()) return;  // stopping, and nothing left
        std::function<void()> fn = std::move(q.items.front());
        q.items.pop_front();
        lock.unlock();
        RunItem(fn);
        fn = nullptr;  // destroy captures outside the lock, before counting done
        lock.lock();
        if (--m.pending == 0) m.idle.notify_all();
    }
}

// Called with both locks held.
void StartThreads(Manager& m) {
    static std::once_flag atExit;
    std::call_once(atExit, [] {
        std::atexit([] {
            if (!t_isWorker) Shutdown();
        });
    });
    for (int i = 0; i < kQueueCount; ++i) {
        for (unsigned t = 0; t < kThreadsPerQueue[i]; ++t)
            m.queues[i].threads.emplace_back(WorkerLoop, std::ref(m), std::ref(m.queues[i]));
    }
    m.started = true;
}

WorkQueue& QueueOf(Manager& m, WORK_QUEUE_TYPE type) {
    int index = static_cast<int>(type);
    if (index < 0 || index >= kQueueCount) WorkQueueBug("unknown work queue type");
    return m.queues[index];
}

}  // namespace

void Queue(WORK_QUEUE_TYPE type, std::function<void()> fn) {
    Manager& m = TheManager();
    WorkQueue& q = QueueOf(m, type);
    {
        std::lock_guard lock(m.mutex);
        if (m.started && !m.stopping) {
            q.items.push_back(std::move(fn));
            ++m.pending;
            q.ready.notify_one();
            return;
        }
    }
    // Not running, or shutting down: wait for any Shutdown to finish, then start.
    std::lock_guard life(m.lifecycle);
    std::lock_guard lock(m.mutex);
    if (!m.started) StartThreads(m);
    q.items.push_back(std::move(fn));
    ++m.pending;
    q.ready.notify_one();
}

void Drain() {
    if (t_isWorker) WorkQueueBug("Drain called from a worker thread would wait for itself");
    Manager& m = TheManager();
    std::unique_lock lock(m.mutex);
    m.idle.wait(lock, [&] { return m.pending == 0; });
}

void Shutdown() {
    if (t_isWorker) WorkQueueBug("Shutdown called from a worker thread would join itself");
    Manager& m = TheManager();
    std::lock_guard life(m.lifecycle);
    std::vector<std::thread> threads;
    {
        std::unique_lock lock(m.mutex);
        if (!m.started) return;
        // Routines still running may queue more; those run before the stop.
        m.idle.wait(lock, [&] { return m.pending == 0; });
        m.stopping = true;
        for (auto& q : m.queues) {
            q.ready.notify_all();
            for (auto& t : q.threads) threads.push_back(std::move(t));
            q.threads.clear();
        }
    }
    for (auto& t : threads) t.join();
    std::lock_guard lock(m.mutex);
    m.stopping = false;
    m.started = false;
}

}  // namespace korin::workqueue
