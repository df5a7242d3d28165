// Machine-wide named objects: a process-shared, robust, recursive pthread
// mutex in a small shared memory block as the mutex, POSIX shared memory as
// the block. Both outlive the processes that use them, as one record per
// machine should; a robust mutex whose owner died is handed to the next
// locker instead of staying locked for good.
#include "platform/shared.h"

#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// POSIX names are one path component after a leading slash.
bool PosixName(const char *name, std::string &out) {
    if (!name || !*name)
        return false;
    out.clear();
    out.push_back('/');
    for (const char *p = name; *p; ++p)
        out += *p == '/' ? '_' : *p;
    return true;
}

// Keeps a mutex's block apart from a shared memory block of the same name.
constexpr const char *kMutexSuffix = ".mutex";
// How long an opener waits for another process to finish creating a block.
constexpr int64_t kMutexSetupWaitMs = 2000;
// Marks a block whose mutex is ready; a new block reads as zeros.
constexpr uint32_t kMutexReady = 0x51564D58;

// The layout every process shares. The flag comes first and is set, with
// release order, only after the mutex is initialised.
struct NamedMutexBlock {
    std::atomic<uint32_t> nReady;
    pthread_mutex_t mutex;
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the flag is shared between processes");

// One mapping per block and process, shared by all of the process's handles
// so that a lock taken through one handle is the same address for the
// others. The kernel finds the mutexes a dead thread held by their address,
// so a mapping is unmapped only once no handle is open and no thread here
// holds the lock; otherwise a thread that closes its handle and then ends
// would leave the mutex locked for good. (A thread of this process that died
// holding it keeps the mapping for the life of the process: one page.)
struct NamedMutexMapping {
    NamedMutexBlock *pBlock;
    dev_t nDevice;
    ino_t nInode;
    uint32_t nHandles; // guarded by g_mappingLock
    // The thread of this process holding the lock (0: none here), and how
    // often; only that thread changes them. An Unlock by any other thread
    // fails without touching the mutex.
    std::atomic<uint32_t> nOwner;
    uint32_t nDepth;
    NamedMutexMapping *pNext;
};

std::mutex g_mappingLock;
NamedMutexMapping *g_pMappings = nullptr;

int64_t MonotonicMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Lets another process finish what it is setting up: yields at first, then
// sleeps, as the creator normally needs only microseconds.
void WaitBriefly(int &round) {
    if (++round < 64) {
        sched_yield();
        return;
    }
    timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
}

// Sizes a block this process has just created and initialises its mutex.
NamedMutexBlock *SetUpBlock(int fd) {
    fchmod(fd, 0666); // other users share the mutex too, whatever the umask
    if (ftruncate(fd, off_t(sizeof(NamedMutexBlock))) != 0)
        return nullptr;
    void *view = mmap(nullptr, sizeof(NamedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        return nullptr;
    auto *block = static_cast<NamedMutexBlock *>(view);
    pthread_mutexattr_t attr;
    bool ok = pthread_mutexattr_init(&attr) == 0;
    if (ok) {
        ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
             pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
             pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
             pthread_mutex_init(&block->mutex, &attr) == 0;
        pthread_mutexattr_destroy(&attr);
    }
    if (!ok) {
        munmap(view, sizeof(NamedMutexBlock));
        return nullptr;
    }
    block->nReady.store(kMutexReady, std::memory_order_release);
    return block;
}

// Maps a block another process created, once that process has sized it and
// initialised its mutex.
NamedMutexBlock *AttachBlock(int fd, int64_t deadlineMs) {
    struct stat st;
    for (int round = 0;;) {
        if (fstat(fd, &st) != 0)
            return nullptr;
        if (st.st_size >= off_t(sizeof(NamedMutexBlock)))
            break;
        if (MonotonicMs() >= deadlineMs)
            return nullptr;
        WaitBriefly(round);
    }
    void *view = mmap(nullptr, sizeof(NamedMutexBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED)
        return nullptr;
    auto *block = static_cast<NamedMutexBlock *>(view);
    for (int round = 0; block->nReady.load(std::memory_order_acquire) != kMutexReady;) {
        // A creator that died half-way leaves a block nobody can use.
        if (MonotonicMs() >= deadlineMs) {
            munmap(view, sizeof(NamedMutexBlock));
            return nullptr;
        }
        WaitBriefly(round);
    }
    return block;
}

// Adds a handle to the process's mapping of the block behind fd, keeping
// block as that mapping when the process has none yet.
NamedMutexMapping *AddHandle(int fd, NamedMutexBlock *block) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        munmap(block, sizeof(NamedMutexBlock));
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_mappingLock);
    for (NamedMutexMapping *mapping = g_pMappings; mapping; mapping = mapping->pNext) {
        if (mapping->nDevice == st.st_dev && mapping->nInode == st.st_ino) {
            munmap(block, sizeof(NamedMutexBlock));
            ++mapping->nHandles;
            return mapping;
        }
    }
    auto *mapping = new (std::nothrow) NamedMutexMapping{block, st.st_dev, st.st_ino, 1, {0}, 0, g_pMappings};
    if (!mapping) {
        munmap(block, sizeof(NamedMutexBlock));
        return nullptr;
    }
    g_pMappings = mapping;
    return mapping;
}

void RemoveHandle(NamedMutexMapping *mapping) {
    std::lock_guard<std::mutex> lock(g_mappingLock);
    if (--mapping->nHandles != 0 || mapping->nOwner.load(std::memory_order_relaxed) != 0)
        return;
    for (NamedMutexMapping **link = &g_pMappings; *link; link = &(*link)->pNext) {
        if (*link == mapping) {
            *link = mapping->pNext;
            break;
        }
    }
    munmap(mapping->pBlock, sizeof(NamedMutexBlock));
    delete mapping;
}

} // namespace

CNamedMutex::CNamedMutex() : m_handle(nullptr) {}

CNamedMutex::~CNamedMutex() {
    Close();
}

bool CNamedMutex::Open(const char *name) {
    Close();
    std::string posixName;
    if (!PosixName(name, posixName))
        return false;
    posixName += kMutexSuffix;

    // Whoever creates the block initialises the mutex; everyone else waits
    // until it is ready.
    const int64_t deadlineMs = MonotonicMs() + kMutexSetupWaitMs;
    for (;;) {
        int fd = shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            NamedMutexBlock *block = SetUpBlock(fd);
            if (!block) {
                close(fd);
                shm_unlink(posixName.c_str());
                return false;
            }
            m_handle = AddHandle(fd, block);
            close(fd);
            return m_handle != nullptr;
        }
        if (errno != EEXIST)
            return false;
        fd = shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC, 0);
        if (fd >= 0) {
            NamedMutexBlock *block = AttachBlock(fd, deadlineMs);
            m_handle = block ? AddHandle(fd, block) : nullptr;
            close(fd);
            return m_handle != nullptr;
        }
        // Its creator failed and removed it in between: try to create it.
        if (errno != ENOENT || MonotonicMs() >= deadlineMs)
            return false;
    }
}

void CNamedMutex::Close() {
    if (m_handle) {
        RemoveHandle(static_cast<NamedMutexMapping *>(m_handle));
        m_handle = nullptr;
    }
}

bool CNamedMutex::IsOpen() const {
    return m_handle != nullptr;
}

WaitResult CNamedMutex::Lock(uint32_t timeoutMs) {
    auto *mapping = static_cast<NamedMutexMapping *>(m_handle);
    if (!mapping)
        return kWaitFailed;
    pthread_mutex_t *mutex = &mapping->pBlock->mutex;
    int r;
    if (timeoutMs == 0) {
        r = pthread_mutex_trylock(mutex);
    } else if (timeoutMs == kInfinite) {
        r = pthread_mutex_lock(mutex);
    } else {
        // The timed lock measures its deadline on the system clock.
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += timeoutMs / 1000;
        deadline.tv_nsec += long(timeoutMs % 1000) * 1000000;
        if (deadline.tv_nsec >= 1000000000) {
            deadline.tv_nsec -= 1000000000;
            ++deadline.tv_sec;
        }
        r = pthread_mutex_timedlock(mutex, &deadline);
    }
    const uint32_t self = CThread::CurrentThreadId();
    if (r == EOWNERDEAD) {
        // Its last owner died holding it: the guarded data may be stale, but
        // the lock is ours, once, and stays usable for the next owners.
        if (pthread_mutex_consistent(mutex) != 0) {
            pthread_mutex_unlock(mutex);
            return kWaitFailed;
        }
        mapping->nOwner.store(self, std::memory_order_relaxed);
        mapping->nDepth = 1;
        return kWaitSignalled;
    }
    if (r != 0)
        return r == EBUSY || r == ETIMEDOUT ? kWaitTimeout : kWaitFailed;
    if (mapping->nOwner.load(std::memory_order_relaxed) == self) {
        ++mapping->nDepth;
    } else {
        mapping->nOwner.store(self, std::memory_order_relaxed);
        mapping->nDepth = 1;
    }
    return kWaitSignalled;
}

bool CNamedMutex::Unlock() {
    auto *mapping = static_cast<NamedMutexMapping *>(m_handle);
    if (!mapping || mapping->nOwner.load(std::memory_order_relaxed) != CThread::CurrentThreadId())
        return false;
    // Given up here before the mutex, which the next owner may take at once.
    bool last = --mapping->nDepth == 0;
    if (last)
        mapping->nOwner.store(0, std::memory_order_relaxed);
    if (pthread_mutex_unlock(&mapping->pBlock->mutex) == 0)
        return true;
    if (last)
        mapping->nOwner.store(CThread::CurrentThreadId(), std::memory_order_relaxed);
    ++mapping->nDepth;
    return false;
}

// ---------------------------------------------------------------------------

CNamedSharedMemory::CNamedSharedMemory() : m_handle(nullptr), m_view(nullptr), m_size(0) {}

CNamedSharedMemory::~CNamedSharedMemory() {
    Close();
}

bool CNamedSharedMemory::Open(const char *name, size_t bytes, bool *created) {
    Close();
    if (created)
        *created = false;
    std::string posixName;
    if (!PosixName(name, posixName) || bytes == 0)
        return false;

    // O_EXCL tells whether this process made the block.
    bool made = true;
    int fd = shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        return false;
    // The creator may not have sized the block yet; growing it to the same
    // size from here is harmless and keeps the mapping backed. A new block
    // reads as zeros.
    if (made)
        fchmod(fd, 0666); // other users share the block too, whatever the umask
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && st.st_size < off_t(bytes))
        ok = ftruncate(fd, off_t(bytes)) == 0;
    void *view = ok ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (view == MAP_FAILED) {
        if (made)
            shm_unlink(posixName.c_str());
        return false;
    }
    m_view = view;
    m_size = bytes;
    if (created)
        *created = made;
    return true;
}

void CNamedSharedMemory::Close() {
    if (m_view) {
        munmap(m_view, m_size);
        m_view = nullptr;
        m_size = 0;
    }
}

void *CNamedSharedMemory::Data() const {
    return m_view;
}

size_t CNamedSharedMemory::Size() const {
    return m_size;
}

} // namespace platform
