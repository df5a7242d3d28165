#include "blockpool/blockpool.h"

#include <new>

#include "platform/thread.h"

namespace {

struct ClassLimit {
    uint32_t blockSize;
    uint32_t cacheLimit;
};

// Small blocks are plentiful and cheap to keep; the few large ones (decoded
// pictures) are bounded to a handful so a pool never hoards more than a few
// MiB per class.
constexpr ClassLimit kClassLimits[kBlockPoolClassCount] = {
    {128, 256},   {256, 128},   {512, 128},   {1024, 128},   {2048, 64},    {4096, 64},
    {8192, 64},   {16384, 32},  {32768, 16},  {0x10000, 16}, {0x20000, 8},  {0x40000, 8},
    {0x80000, 8}, {0xA0000, 4}, {0xD0000, 4}, {0x100000, 4}, {0x160000, 4}, {0x300000, 4},
};

bool UsesHeap(const BlockPoolClass &c) {
    return c.blockSize <= kBlockPoolHeapLimit;
}

void ReleaseToSystem(BlockPoolClass &c, void *block) {
    if (UsesHeap(c))
        c.heap->Free(block);
    else
        platform::PageFree(block, c.blockSize);
}

// Returns false when the class could not be set up (out of memory); the state
// then goes back to unset so that a later call may try again.
bool SetUpClass(BlockPoolClass &c) {
    for (;;) {
        int32_t state = c.state.load(std::memory_order_acquire);
        if (state == kPoolClassReady)
            return true;
        if (state == kPoolClassSettingUp) {
            platform::YieldTimeSlice();
            continue;
        }
        int32_t expected = kPoolClassUnset;
        if (c.state.compare_exchange_strong(expected, kPoolClassSettingUp, std::memory_order_acq_rel))
            break;
    }

    bool ok = false;
    c.freeStack = new (std::nothrow) void *[c.cacheLimit];
    c.lock = new (std::nothrow) platform::CLock;
    if (c.freeStack && c.lock) {
        if (UsesHeap(c)) {
            c.heap = new (std::nothrow) platform::CPrivateHeap;
            ok = c.heap && c.heap->Create();
        } else {
            ok = true;
        }
    }
    if (!ok) {
        delete c.heap;
        delete c.lock;
        delete[] c.freeStack;
        c.heap = nullptr;
        c.lock = nullptr;
        c.freeStack = nullptr;
        c.state.store(kPoolClassUnset, std::memory_order_release);
        return false;
    }
    c.cachedCount = 0;
    c.state.store(kPoolClassReady, std::memory_order_release);
    return true;
}

void *AllocFromClass(BlockPoolClass &c) {
    if (!SetUpClass(c))
        return nullptr;
    platform::CLockGuard guard(*c.lock);
    void *block;
    if (c.cachedCount == 0) {
        block = UsesHeap(c) ? c.heap->Alloc(c.blockSize) : platform::PageAlloc(c.blockSize);
        if (!block)
            return nullptr;
        ++c.createCount;
    } else {
        block = c.freeStack[--c.cachedCount];
    }
    ++c.allocCount;
    return block;
}

void FreeIntoClass(BlockPoolClass &c, void *block) {
    // A class that was never set up cannot own the block.
    if (c.state.load(std::memory_order_acquire) != kPoolClassReady)
        return;
    platform::CLockGuard guard(*c.lock);
    if (c.cachedCount < c.cacheLimit)
        c.freeStack[c.cachedCount++] = block;
    else
        ReleaseToSystem(c, block);
    ++c.freeCount;
    if (c.freeCount % kBlockPoolTrimInterval == 0) {
        uint32_t keep = c.cacheLimit / 2;
        while (c.cachedCount > keep)
            ReleaseToSystem(c, c.freeStack[--c.cachedCount]);
    }
}

void DestroyClass(BlockPoolClass &c) {
    if (c.state.load(std::memory_order_acquire) != kPoolClassReady)
        return;
    if (UsesHeap(c)) {
        // The heap takes every block ever allocated from it along.
        c.heap->Destroy();
        delete c.heap;
        c.heap = nullptr;
    } else {
        for (uint32_t i = 0; i < c.cachedCount; ++i)
            platform::PageFree(c.freeStack[i], c.blockSize);
    }
    c.cachedCount = 0;
    delete c.lock;
    c.lock = nullptr;
    delete[] c.freeStack;
    c.freeStack = nullptr;
    c.state.store(kPoolClassUnset, std::memory_order_release);
}

bool ValidClass(int classIndex) {
    return classIndex >= 0 && classIndex < kBlockPoolClassCount;
}

} // namespace

int BlockPoolClassFor(size_t size) {
    if (size > kBlockPoolLargestClass)
        return -1;
    for (int i = 0; i < kBlockPoolClassCount; ++i)
        if (size <= kClassLimits[i].blockSize)
            return i;
    return -1;
}

void InitPool(BlockPool *pool) {
    if (!pool)
        return;
    for (int i = 0; i < kBlockPoolClassCount; ++i) {
        BlockPoolClass &c = pool->classes[i];
        c.state.store(kPoolClassUnset, std::memory_order_relaxed);
        c.freeStack = nullptr;
        c.cachedCount = 0;
        c.heap = nullptr;
        c.lock = nullptr;
        c.blockSize = kClassLimits[i].blockSize;
        c.cacheLimit = kClassLimits[i].cacheLimit;
        c.allocCount = c.freeCount = c.createCount = 0;
    }
}

void *AllocBlock(BlockPool *pool, size_t size) {
    if (!pool)
        return nullptr;
    int classIndex = BlockPoolClassFor(size);
    if (classIndex < 0)
        return platform::PageAlloc(size);
    return AllocFromClass(pool->classes[classIndex]);
}

void FreeBlock(BlockPool *pool, void *block, size_t size) {
    if (!pool || !block || size == 0)
        return;
    int classIndex = BlockPoolClassFor(size);
    if (classIndex < 0)
        platform::PageFree(block, size);
    else
        FreeIntoClass(pool->classes[classIndex], block);
}

void *AllocClassBlock(BlockPool *pool, int classIndex) {
    if (!pool || !ValidClass(classIndex))
        return nullptr;
    return AllocFromClass(pool->classes[classIndex]);
}

void FreeClassBlock(BlockPool *pool, int classIndex, void *block) {
    if (!pool || !block || !ValidClass(classIndex))
        return;
    FreeIntoClass(pool->classes[classIndex], block);
}

void DestroyPool(BlockPool *pool) {
    if (!pool)
        return;
    for (int i = kBlockPoolClassCount - 1; i >= 0; --i)
        DestroyClass(pool->classes[i]);
}

bool GetBlockPoolClassStats(const BlockPool *pool, int classIndex, BlockPoolClassStats *stats) {
    if (!pool || !stats || !ValidClass(classIndex))
        return false;
    const BlockPoolClass &c = pool->classes[classIndex];
    stats->state = c.state.load(std::memory_order_acquire);
    stats->blockSize = c.blockSize;
    stats->cacheLimit = c.cacheLimit;
    if (c.lock) {
        platform::CLockGuard guard(*c.lock);
        stats->cachedCount = c.cachedCount;
        stats->allocCount = c.allocCount;
        stats->freeCount = c.freeCount;
        stats->createCount = c.createCount;
    } else {
        stats->cachedCount = c.cachedCount;
        stats->allocCount = c.allocCount;
        stats->freeCount = c.freeCount;
        stats->createCount = c.createCount;
    }
    return true;
}
