// Synchronisation objects over pollable file descriptors: an eventfd for
// events and semaphores, so that any of them can be waited on together with
// other descriptors (timers, a display connection).
#include "platform/sync.h"

#include <cerrno>
#include <ctime>
#include <iterator>
#include <mutex>
#include <new>

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {
namespace {

// Windows waits on at most this many objects at once; keep the same limit.
constexpr int kMaxWaitObjects = 64;

int64_t MonotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Milliseconds left until deadlineNs for poll(), rounded up so that a wait
// never ends before its time-out; -1 without limit.
int PollTimeout(bool infinite, int64_t deadlineNs) {
    if (infinite)
        return -1;
    int64_t left = deadlineNs - MonotonicNs();
    if (left <= 0)
        return 0;
    int64_t ms = (left + 999999) / 1000000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : int(ms);
}

bool ReadCounter(intptr_t fd) {
    uint64_t value;
    for (;;) {
        ssize_t n = read(int(fd), &value, sizeof(value));
        if (n == ssize_t(sizeof(value)))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool WriteCounter(intptr_t fd, uint64_t value) {
    for (;;) {
        ssize_t n = write(int(fd), &value, sizeof(value));
        if (n == ssize_t(sizeof(value)))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// Set, Reset and the claim of a manual-reset event take one of these locks
// (chosen by the event's address). A manual-reset waiter reads nothing from
// the descriptor, so without them nothing would order what the setting
// thread did before Set against what the woken thread does after its wait
// (race detectors see the same); a set event destroyed by its waiter right
// after the wait is then safe as well.
std::mutex g_eventLocks[31];

std::mutex &EventLock(const void *event) {
    return g_eventLocks[(reinterpret_cast<uintptr_t>(event) >> 4) % std::size(g_eventLocks)];
}

bool IsReadable(intptr_t fd) {
    pollfd p = {int(fd), POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    return r == 1 && (p.revents & POLLIN) != 0;
}

} // namespace

CWaitable::~CWaitable() {
    if (m_handle != kNoHandle)
        close(int(m_handle));
}

WaitResult CWaitable::Wait(uint32_t timeoutMs) {
    CWaitable *self = this;
    int r = WaitAny(&self, 1, timeoutMs);
    if (r == 0)
        return kWaitSignalled;
    return r == -1 ? kWaitTimeout : kWaitFailed;
}

int WaitAny(CWaitable *const *objects, int count, uint32_t timeoutMs) {
    if (!objects || count <= 0 || count > kMaxWaitObjects)
        return -2;
    pollfd fds[kMaxWaitObjects];
    for (int i = 0; i < count; ++i) {
        if (!objects[i] || !objects[i]->Valid())
            return -2;
        fds[i].fd = int(objects[i]->NativeHandle());
        fds[i].events = POLLIN;
    }
    const bool infinite = timeoutMs == kInfinite;
    const int64_t deadline = infinite ? 0 : MonotonicNs() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        for (int i = 0; i < count; ++i)
            fds[i].revents = 0;
        int r = poll(fds, nfds_t(count), PollTimeout(infinite, deadline));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -2;
        }
        // The lowest ready index wins, as with the Windows wait. Another
        // waiter may claim a signal between poll and the claim; then the
        // wait simply goes on.
        for (int i = 0; i < count && r > 0; ++i) {
            if (fds[i].revents & (POLLERR | POLLNVAL))
                return -2;
            if ((fds[i].revents & POLLIN) && objects[i]->TryConsume())
                return i;
        }
        if (!infinite && MonotonicNs() >= deadline)
            return -1;
    }
}

// ---------------------------------------------------------------------------

CEvent::CEvent(bool manualReset, bool initiallySet) : m_manual(manualReset) {
    int fd = eventfd(initiallySet ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0)
        m_handle = fd;
}

CEvent::~CEvent() = default;

bool CEvent::Set() {
    if (!Valid())
        return false;
    std::lock_guard<std::mutex> lock(EventLock(this));
    // Setting an event that is already set changes nothing; the counter only
    // has to stay non-zero, so a set event is not written again (a burst of
    // sets could otherwise fill it).
    if (IsReadable(m_handle))
        return true;
    return WriteCounter(m_handle, 1);
}

bool CEvent::Reset() {
    if (!Valid())
        return false;
    std::lock_guard<std::mutex> lock(EventLock(this));
    // Reading an eventfd takes its whole counter: the event is then clear.
    // Nothing to read means it was clear already.
    ReadCounter(m_handle);
    return true;
}

bool CEvent::TryConsume() {
    if (!Valid())
        return false;
    if (m_manual) {
        std::lock_guard<std::mutex> lock(EventLock(this));
        return IsReadable(m_handle);
    }
    return ReadCounter(m_handle);
}

// ---------------------------------------------------------------------------

// The descriptor counts in semaphore mode (each read takes one); the count
// kept beside it under the mutex enforces the maximum, which eventfd lacks.
struct CSemaphore::State {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    int32_t count = 0;
    int32_t maximum = 0;
};

CSemaphore::CSemaphore(int32_t initialCount, int32_t maximumCount) {
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount)
        return;
    m_state = new (std::nothrow) State;
    if (!m_state)
        return;
    m_state->count = initialCount;
    m_state->maximum = maximumCount;
    int fd = eventfd(unsigned(initialCount), EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    if (fd >= 0)
        m_handle = fd;
}

CSemaphore::~CSemaphore() {
    if (m_state) {
        pthread_mutex_destroy(&m_state->mutex);
        delete m_state;
    }
}

bool CSemaphore::Release(int32_t count) {
    if (!Valid() || count <= 0)
        return false;
    pthread_mutex_lock(&m_state->mutex);
    bool ok = count <= m_state->maximum - m_state->count && WriteCounter(m_handle, uint64_t(count));
    if (ok)
        m_state->count += count;
    pthread_mutex_unlock(&m_state->mutex);
    return ok;
}

bool CSemaphore::TryConsume() {
    if (!Valid())
        return false;
    // Under the mutex so that a release never sees a count that was already
    // taken from the descriptor.
    pthread_mutex_lock(&m_state->mutex);
    bool ok = ReadCounter(m_handle);
    if (ok)
        --m_state->count;
    pthread_mutex_unlock(&m_state->mutex);
    return ok;
}

// ---------------------------------------------------------------------------

namespace {
pthread_mutex_t *Mutex(unsigned char *storage) {
    return reinterpret_cast<pthread_mutex_t *>(storage);
}
} // namespace

CLock::CLock() {
    static_assert(sizeof(pthread_mutex_t) <= sizeof(m_storage), "the mutex fits the lock's storage");
    static_assert(alignof(pthread_mutex_t) <= 16, "the lock's storage is aligned for the mutex");
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(new (m_storage) pthread_mutex_t, &attr);
    pthread_mutexattr_destroy(&attr);
}

CLock::~CLock() {
    pthread_mutex_destroy(Mutex(m_storage));
}

void CLock::Enter() {
    pthread_mutex_lock(Mutex(m_storage));
}

bool CLock::TryEnter() {
    return pthread_mutex_trylock(Mutex(m_storage)) == 0;
}

void CLock::Leave() {
    pthread_mutex_unlock(Mutex(m_storage));
}

} // namespace platform
