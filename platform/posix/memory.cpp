// Page allocations over anonymous mappings, private heaps as lists of
// malloc blocks, and a readability check that never faults.
#include "platform/memory.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

namespace platform {

void *PageAlloc(size_t bytes) {
    if (bytes == 0)
        return nullptr;
    void *pages = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return pages == MAP_FAILED ? nullptr : pages;
}

void PageFree(void *pages, size_t bytes) {
    if (pages && bytes)
        munmap(pages, bytes);
}

// ---------------------------------------------------------------------------

namespace {

// Hidden in front of every block so that Destroy can free all of them.
struct alignas(16) HeapBlock {
    HeapBlock *prev;
    HeapBlock *next;
};

struct Heap {
    HeapBlock *head = nullptr;
};

} // namespace

CPrivateHeap::CPrivateHeap() : m_heap(nullptr) {}

CPrivateHeap::~CPrivateHeap() {
    Destroy();
}

bool CPrivateHeap::Create() {
    if (!m_heap)
        m_heap = new (std::nothrow) Heap;
    return m_heap != nullptr;
}

void CPrivateHeap::Destroy() {
    auto *heap = static_cast<Heap *>(m_heap);
    if (!heap)
        return;
    for (HeapBlock *block = heap->head; block;) {
        HeapBlock *next = block->next;
        std::free(block);
        block = next;
    }
    delete heap;
    m_heap = nullptr;
}

bool CPrivateHeap::Valid() const {
    return m_heap != nullptr;
}

void *CPrivateHeap::Alloc(size_t bytes) {
    auto *heap = static_cast<Heap *>(m_heap);
    if (!heap || bytes > SIZE_MAX - sizeof(HeapBlock))
        return nullptr;
    auto *block = static_cast<HeapBlock *>(std::malloc(sizeof(HeapBlock) + bytes));
    if (!block)
        return nullptr;
    block->prev = nullptr;
    block->next = heap->head;
    if (heap->head)
        heap->head->prev = block;
    heap->head = block;
    return block + 1;
}

void CPrivateHeap::Free(void *pointer) {
    auto *heap = static_cast<Heap *>(m_heap);
    if (!heap || !pointer)
        return;
    HeapBlock *block = static_cast<HeapBlock *>(pointer) - 1;
    if (block->prev)
        block->prev->next = block->next;
    else
        heap->head = block->next;
    if (block->next)
        block->next->prev = block->prev;
    std::free(block);
}

// ---------------------------------------------------------------------------

namespace {

// One byte of every page is read through the kernel, which reports an
// unreadable page as an error instead of a fault.
constexpr size_t kProbesPerCall = 512;

size_t PageSize() {
    static const size_t size = [] {
        long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? size_t(s) : size_t(4096);
    }();
    return size;
}

// Probes with process_vm_readv on our own process. 1 = all readable,
// 0 = some page is not, -1 = the call is not allowed here (seccomp, old
// kernels), -2 = it failed for another reason this time.
int ProbeVmRead(const uintptr_t *addresses, size_t count) {
    char sink[kProbesPerCall];
    iovec local = {sink, count};
    iovec remote[kProbesPerCall];
    for (size_t i = 0; i < count; ++i)
        remote[i] = {reinterpret_cast<void *>(addresses[i]), 1};
    ssize_t n;
    do {
        n = process_vm_readv(getpid(), &local, 1, remote, count, 0);
    } while (n < 0 && errno == EINTR);
    if (n == ssize_t(count))
        return 1;
    if (n >= 0 || errno == EFAULT)
        return 0;
    return errno == EPERM || errno == ENOSYS ? -1 : -2;
}

// The same through a pipe: writing from an unreadable page fails with
// EFAULT (or ends the write early) instead of faulting.
int ProbePipe(const uintptr_t *addresses, size_t count) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    iovec pieces[kProbesPerCall];
    for (size_t i = 0; i < count; ++i)
        pieces[i] = {reinterpret_cast<void *>(addresses[i]), 1};
    ssize_t n;
    do {
        n = writev(fds[1], pieces, int(count));
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    close(fds[1]);
    return n == ssize_t(count) ? 1 : 0;
}

} // namespace

bool IsReadableRange(const void *address, size_t bytes) {
    if (!address)
        return false;
    if (bytes == 0)
        return true;
    const uintptr_t start = reinterpret_cast<uintptr_t>(address);
    if (bytes - 1 > UINTPTR_MAX - start)
        return false;
    const uintptr_t last = start + (bytes - 1);
    const size_t page = PageSize();

    static std::atomic<bool> useVmRead{true};
    uintptr_t probes[kProbesPerCall];
    uintptr_t next = start;
    bool more = true;
    while (more) {
        size_t count = 0;
        while (more && count < kProbesPerCall) {
            probes[count++] = next;
            uintptr_t pageEnd = (next & ~uintptr_t(page - 1)) + (page - 1);
            if (pageEnd >= last)
                more = false;
            else
                next = pageEnd + 1;
        }
        int r = -1;
        if (useVmRead.load(std::memory_order_relaxed)) {
            r = ProbeVmRead(probes, count);
            if (r == -1)
                useVmRead.store(false, std::memory_order_relaxed);
        }
        if (r < 0)
            r = ProbePipe(probes, count);
        if (r != 1)
            return false;
    }
    return true;
}

} // namespace platform
