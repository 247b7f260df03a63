// System worker threads: queues of routines run by real threads.
#pragma once

#include "ntbase.h"

#include <functional>

enum WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 };

namespace korin::workqueue {

// Queues fn on a worker thread of the queue. Threads start on first use.
void Queue(WORK_QUEUE_TYPE type, std::function<void()> fn);
// Blocks until every queued routine has run (for orderly shutdown and tests).
void Drain();
// Stops the worker threads after draining; the next Queue starts them again.
void Shutdown();

}  // namespace korin::workqueue
