// Page allocations, private heaps and the readable-range check.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/memory.h"

using namespace platform;

namespace {

TEST(PageAlloc, GivesZeroedWritablePages) {
    const size_t sizes[] = {1, 4096, 4097, 0x80001, 3 << 20};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        auto *pages = static_cast<unsigned char *>(PageAlloc(size));
        ASSERT_NE(pages, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(pages) % 4096, 0u);
        EXPECT_EQ(pages[0], 0);
        EXPECT_EQ(pages[size - 1], 0);
        std::memset(pages, 0xA5, size);
        EXPECT_EQ(pages[size / 2], 0xA5);
        EXPECT_TRUE(IsReadableRange(pages, size));
        PageFree(pages, size);
    }
    EXPECT_EQ(PageAlloc(0), nullptr);
    PageFree(nullptr, 0);
}

TEST(PrivateHeap, AllocFreeAndDestroy) {
    CPrivateHeap heap;
    EXPECT_FALSE(heap.Valid());
    EXPECT_EQ(heap.Alloc(16), nullptr) << "allocated before Create";
    ASSERT_TRUE(heap.Create());
    EXPECT_TRUE(heap.Valid());

    const size_t sizes[] = {0, 1, 128, 1000, 4096, 0x80000};
    std::vector<unsigned char *> blocks;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        SCOPED_TRACE(sizes[i]);
        auto *block = static_cast<unsigned char *>(heap.Alloc(sizes[i]));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 8, 0u);
        std::memset(block, int(i + 1), sizes[i]);
        blocks.push_back(block);
    }
    // Blocks do not overlap: each still holds its own pattern.
    for (size_t i = 0; i < blocks.size(); ++i) {
        for (size_t j = 0; j < sizes[i]; j += 97)
            ASSERT_EQ(blocks[i][j], i + 1) << "block " << i << " byte " << j;
    }
    // Free some in any order, allocate again, and leave the rest to Destroy.
    heap.Free(blocks[2]);
    heap.Free(blocks[0]);
    heap.Free(blocks[5]);
    heap.Free(nullptr);
    void *again = heap.Alloc(64);
    ASSERT_NE(again, nullptr);
    std::memset(again, 0x5A, 64);
    EXPECT_EQ(blocks[3][999], 4);

    heap.Destroy();
    EXPECT_FALSE(heap.Valid());
    EXPECT_EQ(heap.Alloc(16), nullptr);

    // A heap can be created again after Destroy; the destructor cleans up.
    ASSERT_TRUE(heap.Create());
    for (int i = 0; i < 100; ++i)
        ASSERT_NE(heap.Alloc(size_t(i) * 10), nullptr);
}

TEST(IsReadableRange, LiveMemoryOnly) {
    std::vector<unsigned char> buffer(100000);
    static const char kConstant[] = "read-only data";
    const size_t page = 4096;
    auto *pages = static_cast<unsigned char *>(PageAlloc(4 * page));
    ASSERT_NE(pages, nullptr);

    struct Case {
        const char *name;
        const void *address;
        size_t bytes;
        bool readable;
    } live[] = {
        {"heap buffer", buffer.data(), buffer.size(), true},
        {"one byte", buffer.data() + 500, 1, true},
        {"constant data", kConstant, sizeof(kConstant), true},
        {"whole page range", pages, 4 * page, true},
        {"straddling pages", pages + page - 3, page + 6, true},
        {"null", nullptr, 16, false},
        {"null with no bytes", nullptr, 0, false},
        {"range wrapping the address space", buffer.data(), ~size_t(0), false},
    };
    for (const Case &c : live) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsReadableRange(c.address, c.bytes), c.readable);
    }

    PageFree(pages, 4 * page);
    struct Freed {
        const char *name;
        size_t offset;
        size_t bytes;
    } freed[] = {
        {"whole freed range", 0, 4 * page},
        {"one byte of it", page + 5, 1},
        {"its last page", 3 * page, page},
    };
    for (const Freed &c : freed) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(IsReadableRange(pages + c.offset, c.bytes));
    }
}

} // namespace
