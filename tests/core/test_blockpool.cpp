#include "blockpool/blockpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

class BlockPoolTest : public ::testing::Test {
protected:
    void SetUp() override { InitPool(&pool); }
    void TearDown() override { DestroyPool(&pool); }

    BlockPoolClassStats Stats(int classIndex) {
        BlockPoolClassStats s{};
        EXPECT_TRUE(GetBlockPoolClassStats(&pool, classIndex, &s));
        return s;
    }

    BlockPool pool;
};

struct ClassCase {
    size_t size;
    int classIndex;
};

TEST(BlockPoolClasses, SizeSelectsSmallestFittingClass) {
    const ClassCase cases[] = {
        {0, 0},         {1, 0},         {128, 0},       {129, 1},       {256, 1},
        {257, 2},       {1024, 3},      {1025, 4},      {4096, 5},      {32768, 8},
        {32769, 9},     {0x80000, 12},  {0x80001, 13},  {0xA0001, 14},  {0xD0001, 15},
        {0x100001, 16}, {0x160000, 16}, {0x160001, 17}, {0x300000, 17}, {0x300001, -1},
    };
    for (const ClassCase &c : cases)
        EXPECT_EQ(BlockPoolClassFor(c.size), c.classIndex) << "size " << c.size;
}

TEST_F(BlockPoolTest, InitSetsSizesAndLimitsWithoutAllocating) {
    const uint32_t sizes[] = {128,     256,     512,     1024,     2048,     4096,
                              8192,    16384,   32768,   0x10000,  0x20000,  0x40000,
                              0x80000, 0xA0000, 0xD0000, 0x100000, 0x160000, 0x300000};
    const uint32_t limits[] = {256, 128, 128, 128, 64, 64, 64, 32, 16, 16, 8, 8, 8, 4, 4, 4, 4, 4};
    for (int i = 0; i < kBlockPoolClassCount; ++i) {
        BlockPoolClassStats s = Stats(i);
        EXPECT_EQ(s.blockSize, sizes[i]);
        EXPECT_EQ(s.cacheLimit, limits[i]);
        EXPECT_EQ(s.state, kPoolClassUnset);
        EXPECT_EQ(s.createCount, 0u);
    }
}

TEST_F(BlockPoolTest, BlockOf129BytesComesFromAndReturnsToThe256Class) {
    void *block = AllocBlock(&pool, 129);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xA5, 256); // the whole class block is usable
    EXPECT_EQ(Stats(1).allocCount, 1u);
    EXPECT_EQ(Stats(0).state, kPoolClassUnset);

    FreeBlock(&pool, block, 129);
    EXPECT_EQ(Stats(1).cachedCount, 1u);
    EXPECT_EQ(Stats(1).freeCount, 1u);

    // The cached block is handed out again, without a new allocation.
    void *again = AllocBlock(&pool, 200);
    EXPECT_EQ(again, block);
    EXPECT_EQ(Stats(1).createCount, 1u);
    FreeBlock(&pool, again, 200);
}

TEST_F(BlockPoolTest, CacheIsBoundedAndTrimmedAfterEvery8192ndFree) {
    std::vector<void *> blocks;
    for (int i = 0; i < 300; ++i) {
        blocks.push_back(AllocBlock(&pool, 100));
        ASSERT_NE(blocks.back(), nullptr);
    }
    for (void *b : blocks)
        FreeBlock(&pool, b, 100);
    BlockPoolClassStats s = Stats(0);
    EXPECT_EQ(s.cachedCount, 256u);
    EXPECT_EQ(s.freeCount, 300u);
    EXPECT_EQ(s.createCount, 300u);

    // Frees one at a time keep the cache full until the trim point.
    while (Stats(0).freeCount < kBlockPoolTrimInterval - 1) {
        void *b = AllocBlock(&pool, 100);
        FreeBlock(&pool, b, 100);
    }
    EXPECT_EQ(Stats(0).cachedCount, 256u);
    void *b = AllocBlock(&pool, 100);
    FreeBlock(&pool, b, 100); // the 8192nd free
    s = Stats(0);
    EXPECT_EQ(s.freeCount, kBlockPoolTrimInterval);
    EXPECT_EQ(s.cachedCount, 128u);
    EXPECT_EQ(s.createCount, 300u);
}

TEST_F(BlockPoolTest, TrimLeavesACacheAtOrBelowHalfAlone) {
    // One block cycled 8192 times: the cache never exceeds one block.
    for (uint32_t i = 0; i < kBlockPoolTrimInterval; ++i) {
        void *b = AllocBlock(&pool, 64);
        ASSERT_NE(b, nullptr);
        FreeBlock(&pool, b, 64);
    }
    EXPECT_EQ(Stats(0).cachedCount, 1u);
    EXPECT_EQ(Stats(0).createCount, 1u);
}

TEST_F(BlockPoolTest, RequestsAboveTheLargestClassBypassTheClasses) {
    void *big = AllocBlock(&pool, 0x300001);
    ASSERT_NE(big, nullptr);
    std::memset(big, 1, 0x300001);
    EXPECT_TRUE(platform::IsReadableRange(big, 0x300001));
    FreeBlock(&pool, big, 0x300001);
    for (int i = 0; i < kBlockPoolClassCount; ++i) {
        BlockPoolClassStats s = Stats(i);
        EXPECT_EQ(s.allocCount, 0u) << "class " << i;
        EXPECT_EQ(s.cachedCount, 0u) << "class " << i;
    }
    // Pages go straight back to the system.
    EXPECT_FALSE(platform::IsReadableRange(big, 4096));
}

TEST_F(BlockPoolTest, LargeClassesUsePagesAndCacheThem) {
    void *picture = AllocBlock(&pool, 3 * 1024 * 1024);
    ASSERT_NE(picture, nullptr);
    std::memset(picture, 0x10, 0x300000);
    FreeBlock(&pool, picture, 3 * 1024 * 1024);
    EXPECT_EQ(Stats(17).cachedCount, 1u);
    void *again = AllocBlock(&pool, 0x2F0000);
    EXPECT_EQ(again, picture);
    FreeBlock(&pool, again, 0x2F0000);
}

TEST_F(BlockPoolTest, NullAndZeroSizeFreesDoNothing) {
    FreeBlock(&pool, nullptr, 100);
    void *b = AllocBlock(&pool, 100);
    FreeBlock(&pool, b, 0);
    EXPECT_EQ(Stats(0).freeCount, 0u);
    EXPECT_EQ(Stats(0).cachedCount, 0u);
    FreeBlock(&pool, b, 100);
    EXPECT_EQ(Stats(0).cachedCount, 1u);
    // Freeing into a class never set up is ignored rather than touching it.
    FreeClassBlock(&pool, 5, b);
    EXPECT_EQ(Stats(5).state, kPoolClassUnset);
    EXPECT_EQ(Stats(5).freeCount, 0u);
}

TEST_F(BlockPoolTest, ClassBlocksByIndex) {
    void *frame = AllocClassBlock(&pool, 0);
    ASSERT_NE(frame, nullptr);
    std::memset(frame, 0, 128);
    FreeClassBlock(&pool, 0, frame);
    EXPECT_EQ(Stats(0).cachedCount, 1u);
    EXPECT_EQ(AllocClassBlock(&pool, -1), nullptr);
    EXPECT_EQ(AllocClassBlock(&pool, kBlockPoolClassCount), nullptr);
    EXPECT_EQ(AllocBlock(nullptr, 10), nullptr);
}

TEST_F(BlockPoolTest, DestroyReleasesEveryClassAndThePoolCanBeUsedAgain) {
    std::vector<std::pair<void *, size_t>> held;
    for (size_t size : {size_t(10), size_t(3000), size_t(0x90000), size_t(0x200000)}) {
        void *b = AllocBlock(&pool, size);
        ASSERT_NE(b, nullptr);
        FreeBlock(&pool, b, size);
    }
    DestroyPool(&pool);
    for (int i = 0; i < kBlockPoolClassCount; ++i) {
        EXPECT_EQ(Stats(i).state, kPoolClassUnset);
        EXPECT_EQ(Stats(i).cachedCount, 0u);
    }
    void *b = AllocBlock(&pool, 10);
    ASSERT_NE(b, nullptr);
    FreeBlock(&pool, b, 10);
}

#if defined(__SANITIZE_ADDRESS__)
TEST(BlockPoolDeathTest, DestroyInvalidatesHeldHeapBlocks) {
    EXPECT_DEATH(
        {
            BlockPool pool;
            InitPool(&pool);
            volatile char *held = static_cast<char *>(AllocBlock(&pool, 100));
            held[0] = 1;
            DestroyPool(&pool);
            held[0] = 2; // use after the heap went away
        },
        "use-after-free");
}
#elif defined(_WIN32)
TEST(BlockPoolDestroy, DestroyInvalidatesHeldHeapBlocks) {
    BlockPool pool;
    InitPool(&pool);
    void *held = AllocBlock(&pool, 0x10000);
    ASSERT_NE(held, nullptr);
    ASSERT_TRUE(platform::IsReadableRange(held, 0x10000));
    DestroyPool(&pool);
    // The private heap's memory went back to the system with it.
    EXPECT_FALSE(platform::IsReadableRange(held, 0x10000));
}
#endif

TEST(BlockPoolThreads, ConcurrentAllocAndFreeAcrossThreads) {
    BlockPool pool;
    InitPool(&pool);
    constexpr int kThreads = 4;
    constexpr int kRounds = 3000;
    struct Held {
        unsigned char *block;
        size_t size;
        unsigned char tag;
    };
    std::atomic<int> failures{0};
    // Batches go through a shared mailbox, so most blocks are freed by a
    // thread other than the one that allocated them, and every class races
    // in its set-up.
    std::mutex mailboxLock;
    std::vector<std::vector<Held>> mailbox;
    auto freeBatch = [&](std::vector<Held> &batch) {
        for (const Held &h : batch) {
            if (h.block[0] != h.tag || h.block[h.size - 1] != h.tag)
                failures++;
            FreeBlock(&pool, h.block, h.size);
        }
        batch.clear();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(1234 + t);
            std::uniform_int_distribution<size_t> sizes(1, 70000);
            std::vector<Held> mine;
            for (int i = 0; i < kRounds; ++i) {
                size_t size = sizes(rng);
                auto *b = static_cast<unsigned char *>(AllocBlock(&pool, size));
                if (!b) {
                    failures++;
                    continue;
                }
                unsigned char tag = static_cast<unsigned char>(t * 61 + i);
                b[0] = tag;
                b[size - 1] = tag;
                mine.push_back({b, size, tag});
                if (mine.size() == 16) {
                    std::vector<Held> theirs;
                    {
                        std::lock_guard<std::mutex> guard(mailboxLock);
                        mailbox.push_back(std::move(mine));
                        theirs = std::move(mailbox.front());
                        mailbox.erase(mailbox.begin());
                    }
                    mine.clear();
                    freeBatch(theirs);
                }
            }
            freeBatch(mine);
        });
    }
    for (auto &th : threads)
        th.join();
    for (auto &batch : mailbox)
        freeBatch(batch);
    EXPECT_EQ(failures.load(), 0);
    uint32_t allocs = 0, frees = 0;
    for (int i = 0; i < kBlockPoolClassCount; ++i) {
        BlockPoolClassStats s{};
        GetBlockPoolClassStats(&pool, i, &s);
        allocs += s.allocCount;
        frees += s.freeCount;
        EXPECT_LE(s.cachedCount, s.cacheLimit);
    }
    EXPECT_EQ(allocs, uint32_t(kThreads * kRounds));
    EXPECT_EQ(frees, allocs);
    DestroyPool(&pool);
}

} // namespace
