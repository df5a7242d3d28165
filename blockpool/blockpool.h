// Size-class block pool. Every object that allocates blocks per frame (player,
// parser, display manager) owns one: freed blocks are cached per size class
// instead of going back to the general heap, the cache per class is bounded,
// and each small class has a private heap so that destroying the pool releases
// everything at once. Blocks carry no header: the caller passes the size again
// when freeing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/memory.h"
#include "platform/sync.h"

constexpr int kBlockPoolClassCount = 18;
// Classes up to this block size use a private heap; larger ones use pages.
constexpr uint32_t kBlockPoolHeapLimit = 0x80000;
// Requests above the largest class bypass the classes.
constexpr uint32_t kBlockPoolLargestClass = 0x300000;
// After every this many frees of a class its cache is trimmed to half.
constexpr uint32_t kBlockPoolTrimInterval = 0x2000;

enum BlockPoolClassState : int32_t {
    kPoolClassUnset = 0,
    kPoolClassSettingUp = 1,
    kPoolClassReady = 2,
};

struct BlockPoolClass {
    std::atomic<int32_t> state{kPoolClassUnset};
    void **freeStack = nullptr; // cached blocks, most recently freed on top
    uint32_t cachedCount = 0;
    platform::CPrivateHeap *heap = nullptr; // classes up to kBlockPoolHeapLimit
    platform::CLock *lock = nullptr;        // allocated at set-up
    uint32_t blockSize = 0;
    uint32_t cacheLimit = 0;
    uint32_t allocCount = 0;
    uint32_t freeCount = 0;
    uint32_t createCount = 0;
};

struct BlockPool {
    BlockPoolClass classes[kBlockPoolClassCount];
};

struct BlockPoolClassStats {
    int32_t state;
    uint32_t blockSize;
    uint32_t cacheLimit;
    uint32_t cachedCount;
    uint32_t allocCount;
    uint32_t freeCount;
    uint32_t createCount;
};

// Sets every class's size and cache limit; allocates nothing.
void InitPool(BlockPool *pool);
// A block of at least size bytes from the smallest fitting class (size 0 uses
// class 0); above the largest class, pages straight from the system. Null on
// failure.
void *AllocBlock(BlockPool *pool, size_t size);
// Gives a block back; size must select the same class as at allocation. A
// null pointer or size 0 does nothing.
void FreeBlock(BlockPool *pool, void *block, size_t size);
void *AllocClassBlock(BlockPool *pool, int classIndex);
void FreeClassBlock(BlockPool *pool, int classIndex, void *block);
// Releases every class, largest first. Blocks still held from the heap
// classes become invalid: callers give everything back first.
void DestroyPool(BlockPool *pool);

// Class chosen for a size: 0..17, or -1 above the largest class.
int BlockPoolClassFor(size_t size);
// Counters of one class (for statistics and tests).
bool GetBlockPoolClassStats(const BlockPool *pool, int classIndex, BlockPoolClassStats *stats);
