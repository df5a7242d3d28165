// Page allocations and private heaps.
#pragma once

#include <cstddef>

namespace platform {

// Committed, read-write pages (reserved top-down on Windows); null on failure.
void *PageAlloc(size_t bytes);
// Releases pages from PageAlloc; bytes must be the size allocated.
void PageFree(void *pages, size_t bytes);

// A heap of its own without internal serialisation (the caller serialises).
// Destroying it releases every block ever taken from it.
class CPrivateHeap {
public:
    CPrivateHeap();
    ~CPrivateHeap(); // destroys
    CPrivateHeap(const CPrivateHeap &) = delete;
    CPrivateHeap &operator=(const CPrivateHeap &) = delete;

    bool Create();
    void Destroy();
    bool Valid() const;
    void *Alloc(size_t bytes); // null on failure
    void Free(void *block);

private:
    void *m_heap;
};

// Whether [address, address + bytes) is committed, readable memory. Copies of
// client-supplied picture memory check this instead of faulting.
bool IsReadableRange(const void *address, size_t bytes);

} // namespace platform
