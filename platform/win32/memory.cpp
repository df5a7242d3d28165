// Page allocations with VirtualAlloc, private heaps with HeapCreate, and the
// readability check that stands in for an access-violation guard.
#include "platform/memory.h"

#include <cstdint>

#include "qvtypes.h" // <windows.h>

namespace platform {

void *PageAlloc(size_t bytes) {
    if (bytes == 0)
        return nullptr;
    return VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE | MEM_TOP_DOWN, PAGE_READWRITE);
}

void PageFree(void *pages, size_t) {
    // MEM_RELEASE frees the whole reservation and takes no size.
    if (pages)
        VirtualFree(pages, 0, MEM_RELEASE);
}

CPrivateHeap::CPrivateHeap() : m_heap(nullptr) {}

CPrivateHeap::~CPrivateHeap() {
    Destroy();
}

bool CPrivateHeap::Create() {
    if (m_heap)
        return true;
    m_heap = HeapCreate(HEAP_NO_SERIALIZE, 0, 0);
    return m_heap != nullptr;
}

void CPrivateHeap::Destroy() {
    if (m_heap) {
        HeapDestroy(m_heap);
        m_heap = nullptr;
    }
}

bool CPrivateHeap::Valid() const {
    return m_heap != nullptr;
}

void *CPrivateHeap::Alloc(size_t bytes) {
    return m_heap ? HeapAlloc(m_heap, 0, bytes) : nullptr;
}

void CPrivateHeap::Free(void *block) {
    if (m_heap && block)
        HeapFree(m_heap, 0, block);
}

bool IsReadableRange(const void *address, size_t bytes) {
    if (!address)
        return false;
    uintptr_t begin = reinterpret_cast<uintptr_t>(address);
    if (bytes > UINTPTR_MAX - begin)
        return false;
    uintptr_t end = begin + bytes;
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    // Walks the regions of equal state that cover the range.
    for (uintptr_t at = begin; at < end;) {
        MEMORY_BASIC_INFORMATION info;
        if (VirtualQuery(reinterpret_cast<const void *>(at), &info, sizeof(info)) != sizeof(info))
            return false;
        if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) ||
            !(info.Protect & kReadable))
            return false;
        uintptr_t regionEnd = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
        if (regionEnd <= at)
            return true; // the region reaches the top of the address space
        at = regionEnd;
    }
    return true;
}

} // namespace platform
