// ERESOURCE: recursion, sharing, real blocking, "not granted" without
// waiting, writer preference; critical regions and the top-level IRP slot.
#include "platform/nt/resource.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

class ResourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ExInitializeResourceLite(&r), STATUS_SUCCESS); }
    void TearDown() override {
        if (r.state) ExDeleteResourceLite(&r);
    }

    // Yields until pred holds; the test's own timeout catches a hang.
    static void WaitUntil(const std::function<bool()>& pred) {
        while (!pred()) std::this_thread::yield();
    }

    ERESOURCE r{};
};

// Runs body on another thread that keeps the resource while the test
// looks at it; Release() lets the thread release and end.
class Holder {
public:
    Holder(PERESOURCE r, bool exclusive) : r_(r) {
        thread_ = std::thread([this, exclusive] {
            if (exclusive)
                ExAcquireResourceExclusiveLite(r_, TRUE);
            else
                ExAcquireResourceSharedLite(r_, TRUE);
            held_.set_value();
            release_.get_future().wait();
            ExReleaseResourceLite(r_);
        });
        held_.get_future().wait();
    }
    void Release() {
        if (thread_.joinable()) {
            release_.set_value();
            thread_.join();
        }
    }
    ~Holder() { Release(); }

private:
    PERESOURCE r_;
    std::promise<void> held_, release_;
    std::thread thread_;
};

TEST_F(ResourceTest, ExclusiveRecursionIncludingShared) {
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r));
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&r, FALSE));
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, FALSE)) << "an exclusive owner may also take it shared";
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&r));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 3u);
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&r));
    ExReleaseResourceLite(&r);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 0u);
}

TEST_F(ResourceTest, SharedRecursion) {
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, FALSE));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 2u);
    EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r));
    EXPECT_FALSE(ExAcquireResourceExclusiveLite(&r, FALSE)) << "a shared owner is not granted exclusive";
    ExReleaseResourceLite(&r);
    ExReleaseResourceLite(&r);
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&r), 0u);
}

TEST_F(ResourceTest, NotGrantedWithoutWaitingWhileAnotherThreadHoldsIt) {
    {
        Holder other(&r, /*exclusive=*/true);
        EXPECT_FALSE(ExAcquireResourceExclusiveLite(&r, FALSE));
        EXPECT_FALSE(ExAcquireResourceSharedLite(&r, FALSE));
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&r)) << "ownership is per thread";
    }
    {
        Holder other(&r, /*exclusive=*/false);
        EXPECT_FALSE(ExAcquireResourceExclusiveLite(&r, FALSE));
        ASSERT_TRUE(ExAcquireResourceSharedLite(&r, FALSE)) << "shared and shared go together";
        ExReleaseResourceLite(&r);
    }
    EXPECT_TRUE(ExAcquireResourceExclusiveLite(&r, FALSE));
    ExReleaseResourceLite(&r);
}

TEST_F(ResourceTest, ExclusiveWaitBlocksUntilReleased) {
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        ExAcquireResourceExclusiveLite(&r, TRUE);
        acquired = true;
        ExReleaseResourceLite(&r);
    });
    WaitUntil([&] { return ExGetExclusiveWaiterCount(&r) == 1; });
    EXPECT_FALSE(acquired) << "the waiter is blocked, not spinning through";
    ExReleaseResourceLite(&r);
    waiter.join();
    EXPECT_TRUE(acquired);
}

TEST_F(ResourceTest, SharedWaitBlocksBehindExclusive) {
    std::atomic<bool> acquired{false};
    Holder other(&r, /*exclusive=*/true);
    std::thread reader([&] {
        ExAcquireResourceSharedLite(&r, TRUE);
        acquired = true;
        ExReleaseResourceLite(&r);
    });
    WaitUntil([&] { return ExGetSharedWaiterCount(&r) == 1; });
    EXPECT_FALSE(acquired);
    other.Release();
    reader.join();
    EXPECT_TRUE(acquired);
}

TEST_F(ResourceTest, WaitingWriterHoldsBackNewReadersButNotOwners) {
    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, TRUE));
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        ExAcquireResourceExclusiveLite(&r, TRUE);
        writerIn = true;
        ExReleaseResourceLite(&r);
    });
    WaitUntil([&] { return ExGetExclusiveWaiterCount(&r) == 1; });

    bool newReaderGranted = true;
    std::thread([&] {
        newReaderGranted = ExAcquireResourceSharedLite(&r, FALSE);
        if (newReaderGranted) ExReleaseResourceLite(&r);
    }).join();
    EXPECT_FALSE(newReaderGranted) << "a new reader waits behind the writer";

    ASSERT_TRUE(ExAcquireResourceSharedLite(&r, FALSE)) << "a thread already holding it shared gets it again";
    ExReleaseResourceLite(&r);
    EXPECT_FALSE(writerIn);
    ExReleaseResourceLite(&r);
    writer.join();
    EXPECT_TRUE(writerIn);
}

TEST_F(ResourceTest, ReadersAndWritersNeverOverlap) {
    std::atomic<int> readers{0}, writers{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                bool exclusive = (i + t) % 4 == 0;
                bool wait = i % 7 != 0;
                BOOLEAN got = exclusive ? ExAcquireResourceExclusiveLite(&r, wait) : ExAcquireResourceSharedLite(&r, wait);
                if (!got) continue;
                if (exclusive) {
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) overlap = true;
                    writers.fetch_sub(1);
                } else {
                    readers.fetch_add(1);
                    if (writers.load() != 0) overlap = true;
                    readers.fetch_sub(1);
                }
                ExReleaseResourceLite(&r);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_FALSE(overlap);
}

TEST_F(ResourceTest, DeleteFreesTheState) {
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&r, TRUE));
    EXPECT_EQ(ExDeleteResourceLite(&r), STATUS_SUCCESS) << "the deleting thread may still hold it";
    EXPECT_EQ(r.state, nullptr);
}

TEST_F(ResourceTest, ReleaseByANonOwnerAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ExReleaseResourceLite(&r), "does not own");
}

TEST(CriticalRegion, NestsPerThread) {
    EXPECT_EQ(KeCriticalRegionDepth(), 0u);
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(KeCriticalRegionDepth(), 2u);
    ULONG otherDepth = 99;
    std::thread([&] { otherDepth = KeCriticalRegionDepth(); }).join();
    EXPECT_EQ(otherDepth, 0u);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(KeCriticalRegionDepth(), 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(TopLevelIrp, IsAPerThreadSlot) {
    EXPECT_EQ(IoGetTopLevelIrp(), nullptr);
    IoSetTopLevelIrp(FSRTL_FSP_TOP_LEVEL_IRP);
    EXPECT_EQ(IoGetTopLevelIrp(), FSRTL_FSP_TOP_LEVEL_IRP);
    IRP* seen = FSRTL_CACHE_TOP_LEVEL_IRP;
    std::thread([&] { seen = IoGetTopLevelIrp(); }).join();
    EXPECT_EQ(seen, nullptr);
    IoSetTopLevelIrp(nullptr);
}

}  // namespace
