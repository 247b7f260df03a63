// Pool: per-tag accounting, the fill pattern, injected failures and the
// loud end of a free with the wrong tag.
#include "platform/nt/pool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

using korin::pool::LiveBlocks;

class PoolTest : public ::testing::Test {
protected:
    void TearDown() override { korin::pool::ClearInjectedFailures(); }
};

TEST_F(PoolTest, CountsLiveBlocksPerTag) {
    const ULONG a = PoolTag("TsA1"), b = PoolTag("TsB1");
    size_t total = LiveBlocks();
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 16, a);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 0, a);
    void* b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 100, b);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(LiveBlocks("TsA1"), 2u);
    EXPECT_EQ(LiveBlocks(b), 1u);
    EXPECT_EQ(LiveBlocks(), total + 3);
    auto byTag = korin::pool::LiveByTag();
    EXPECT_EQ(byTag["TsA1"], 2u);
    EXPECT_EQ(byTag["TsB1"], 1u);

    ExFreePoolWithTag(a1, a);
    ExFreePool(b1);  // any tag
    EXPECT_EQ(LiveBlocks(a), 1u);
    EXPECT_EQ(korin::pool::LiveByTag().count("TsB1"), 0u) << "tags with no live block are absent";
    ExFreePoolWithTag(a2, 0);
    EXPECT_EQ(LiveBlocks(), total);
}

TEST_F(PoolTest, UntaggedAllocationsUseNone) {
    size_t before = LiveBlocks("None");
    void* p = ExAllocatePool(NonPagedPool, 8);
    EXPECT_EQ(LiveBlocks("None"), before + 1);
    ExFreePoolWithTag(p, PoolTag("None"));
    EXPECT_EQ(LiveBlocks("None"), before);
}

TEST_F(PoolTest, NewBlocksAreNotZeroed) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 64, PoolTag("TsFl")));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(p[i], 0xCD) << i;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << "blocks are aligned for any type";
    ExFreePool(p);
}

TEST_F(PoolTest, FailNthAllocationFailsOnceThenClears) {
    const ULONG tag = PoolTag("TsN1");
    korin::pool::FailNthAllocation("TsN1", 3);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsO1"));
    EXPECT_NE(other, nullptr) << "other tags neither fail nor count";
    void* p1 = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    void* p2 = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    void* p3 = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    void* p4 = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    EXPECT_NE(p1, nullptr);
    EXPECT_NE(p2, nullptr);
    EXPECT_EQ(p3, nullptr);
    EXPECT_NE(p4, nullptr);
    EXPECT_EQ(LiveBlocks(tag), 3u) << "a failed allocation is not counted";
    for (void* p : {p1, p2, p4}) ExFreePoolWithTag(p, tag);
    ExFreePool(other);
}

TEST_F(PoolTest, FailNthZeroClearsAndTagZeroMeansAnyTag) {
    korin::pool::FailNthAllocation("TsN2", 1);
    korin::pool::FailNthAllocation("TsN2", 0);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsN2"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);

    korin::pool::FailNthAllocation(0, 2);
    void* q1 = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsN3"));
    void* q2 = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsN4"));
    EXPECT_NE(q1, nullptr);
    EXPECT_EQ(q2, nullptr);
    ExFreePool(q1);
}

TEST_F(PoolTest, FailAllAllocationsUntilCleared) {
    korin::pool::FailAllAllocations(PoolTag("TsAl"), true);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsAl")), nullptr);
    korin::pool::FailAllAllocations(PoolTag("TsAl"), false);
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsAl"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);

    korin::pool::FailAllAllocations(PoolTag("TsAl"), true);
    korin::pool::ClearInjectedFailures();
    p = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsAl"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
}

TEST_F(PoolTest, CountsStayExactUnderConcurrency) {
    const ULONG tag = PoolTag("TsCc");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([tag] {
            std::vector<void*> blocks;
            for (int i = 0; i < 2000; ++i) {
                blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 24, tag));
                if (i % 3 == 0) {
                    ExFreePoolWithTag(blocks.back(), tag);
                    blocks.pop_back();
                }
            }
            for (void* p : blocks) ExFreePoolWithTag(p, tag);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(LiveBlocks(tag), 0u);
}

TEST(PoolTagText, AsWrittenInTheSource) {
    EXPECT_EQ(korin::pool::TagText(PoolTag("QTN0")), "QTN0");
    EXPECT_EQ(PoolTag("QTN0"), 0x304E5451u) << "first character in the low byte";
    EXPECT_EQ(korin::pool::TagText(0x01020304), "0x01020304");
}

TEST(PoolDeathTest, FreeWithTheWrongTagAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("TsWr"));
    EXPECT_DEATH(ExFreePoolWithTag(p, PoolTag("TsOt")), "wrong tag.*TsWr.*TsOt");
    ExFreePoolWithTag(p, PoolTag("TsWr"));
}

}  // namespace
