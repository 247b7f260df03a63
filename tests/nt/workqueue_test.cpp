// Work queues: routines run on worker threads, Drain waits for all of them,
// the critical queue runs routines side by side, Shutdown and restart.
#include "platform/nt/workqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

namespace {

namespace wq = korin::workqueue;

TEST(WorkQueue, RunsRoutinesOnWorkerThreads) {
    for (WORK_QUEUE_TYPE type : {CriticalWorkQueue, DelayedWorkQueue, HyperCriticalWorkQueue}) {
        std::thread::id ranOn;
        wq::Queue(type, [&] { ranOn = std::this_thread::get_id(); });
        wq::Drain();
        EXPECT_NE(ranOn, std::thread::id()) << "type " << type;
        EXPECT_NE(ranOn, std::this_thread::get_id()) << "type " << type;
    }
}

TEST(WorkQueue, DrainWaitsForEveryRoutineIncludingOnesTheyQueue) {
    std::atomic<int> done{0};
    for (int i = 0; i < 50; ++i) {
        wq::Queue(CriticalWorkQueue, [&] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            wq::Queue(DelayedWorkQueue, [&] { done.fetch_add(1); });
            done.fetch_add(1);
        });
    }
    wq::Drain();
    EXPECT_EQ(done.load(), 100);
}

TEST(WorkQueue, CriticalQueueRunsRoutinesSideBySide) {
    // Each routine waits for the other: with one thread this never ends.
    std::latch both(2);
    std::atomic<int> met{0};
    for (int i = 0; i < 2; ++i) {
        wq::Queue(CriticalWorkQueue, [&] {
            both.arrive_and_wait();
            met.fetch_add(1);
        });
    }
    wq::Drain();
    EXPECT_EQ(met.load(), 2);
}

TEST(WorkQueue, ShutdownDrainsAndQueueRestarts) {
    std::atomic<int> done{0};
    for (int i = 0; i < 8; ++i)
        wq::Queue(CriticalWorkQueue, [&] {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            done.fetch_add(1);
        });
    wq::Shutdown();
    EXPECT_EQ(done.load(), 8) << "Shutdown drains first";
    wq::Shutdown();  // a second Shutdown has nothing to do

    std::atomic<bool> ran{false};
    wq::Queue(CriticalWorkQueue, [&] { ran = true; });
    wq::Drain();
    EXPECT_TRUE(ran);
}

TEST(WorkQueue, ThreadsStillRunningAtExitAreStopped) {
    // Leaves the threads running: the process must still exit cleanly, as
    // Shutdown runs at exit.
    std::atomic<bool> ran{false};
    wq::Queue(DelayedWorkQueue, [&] { ran = true; });
    wq::Drain();
    EXPECT_TRUE(ran);
}

TEST(WorkQueueDeathTest, DrainFromAWorkerAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            wq::Queue(CriticalWorkQueue, [] { wq::Drain(); });
            wq::Drain();
        },
        "Drain called from a worker");
}

}  // namespace
