// Timers and clocks: CLOCK_MONOTONIC for the counter, a timerfd for the
// waitable timer, and one thread each for the timer-queue timer and the
// thread-pool wait.
#include "platform/timers.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace platform {
namespace {

// Windows file times count 100-ns units from 1601; this is 1970 in them.
constexpr int64_t kUnixEpochFileTime = 116444736000000000LL;
// A due time closer than this fires at once: the kernel would round it up to
// the timer slack anyway, and "at once" must be visible to the next wait.
constexpr int64_t kAtOnceNs = 100000;

} // namespace

int64_t QueryCounter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t QueryCounterFrequency() {
    return 1000000000;
}

// ---------------------------------------------------------------------------

// Shared by the owner and the timer thread, which keeps it alive until it
// ends even when the owner is gone.
struct TimerRun {
    std::mutex mutex;
    std::condition_variable cond;
    bool stop = false;
    bool finished = false;
    CTimerQueueTimer::Callback callback = nullptr;
    void *context = nullptr;
    uint32_t dueMs = 0;
    uint32_t periodMs = 0;
};

struct CTimerQueueTimer::State {
    std::shared_ptr<TimerRun> run;
    std::thread thread;
};

namespace {

void TimerMain(std::shared_ptr<TimerRun> run) {
    using Clock = std::chrono::steady_clock;
    auto next = Clock::now() + std::chrono::milliseconds(run->dueMs);
    std::unique_lock<std::mutex> lock(run->mutex);
    while (!run->stop) {
        if (run->cond.wait_until(lock, next, [&] { return run->stop; }))
            break;
        lock.unlock();
        run->callback(run->context);
        lock.lock();
        if (run->periodMs == 0)
            break;
        next += std::chrono::milliseconds(run->periodMs);
        // A call that overran its period does not cause a burst of calls.
        auto now = Clock::now();
        if (next < now)
            next = now + std::chrono::milliseconds(run->periodMs);
    }
    run->finished = true;
}

} // namespace

CTimerQueueTimer::CTimerQueueTimer() : m_state(new State) {}

CTimerQueueTimer::~CTimerQueueTimer() {
    Stop();
    delete m_state;
}

bool CTimerQueueTimer::Start(Callback callback, void *context, uint32_t dueMs, uint32_t periodMs) {
    if (!callback)
        return false;
    Stop();
    auto run = std::make_shared<TimerRun>();
    run->callback = callback;
    run->context = context;
    run->dueMs = dueMs;
    run->periodMs = periodMs;
    try {
        m_state->thread = std::thread(TimerMain, run);
    } catch (const std::system_error &) {
        return false;
    }
    m_state->run = std::move(run);
    return true;
}

void CTimerQueueTimer::Stop() {
    if (!m_state->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_state->run->mutex);
        m_state->run->stop = true;
    }
    m_state->run->cond.notify_all();
    // From the callback itself the call cannot be waited out; the thread
    // ends by itself after it.
    if (m_state->thread.get_id() == std::this_thread::get_id())
        m_state->thread.detach();
    else
        m_state->thread.join();
    m_state->run.reset();
}

bool CTimerQueueTimer::Running() const {
    if (!m_state->run)
        return false;
    std::lock_guard<std::mutex> lock(m_state->run->mutex);
    return !m_state->run->stop && !m_state->run->finished;
}

// ---------------------------------------------------------------------------

CWaitableTimer::CWaitableTimer() {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd >= 0)
        m_handle = fd;
}

CWaitableTimer::~CWaitableTimer() = default;

bool CWaitableTimer::SetDue(int64_t dueTime100ns) {
    if (!Valid())
        return false;
    int64_t relativeNs;
    if (dueTime100ns < 0) {
        relativeNs = dueTime100ns < -(INT64_MAX / 100) ? INT64_MAX : -dueTime100ns * 100;
    } else {
        // Absolute: a Windows file time (UTC), measured against the wall
        // clock now and then kept on the monotonic clock.
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        int64_t nowFileTime = kUnixEpochFileTime + int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
        int64_t left = dueTime100ns - nowFileTime;
        relativeNs = left <= 0 ? 0 : (left > INT64_MAX / 100 ? INT64_MAX : left * 100);
    }

    itimerspec timerSetting = {};
    if (relativeNs < kAtOnceNs) {
        // Already due: an absolute expiry in the past fires at once; wait for
        // it to show so that the next wait sees the timer signalled.
        timerSetting.it_value.tv_nsec = 1;
        if (timerfd_settime(int(m_handle), TFD_TIMER_ABSTIME, &timerSetting, nullptr) != 0)
            return false;
        pollfd p = {int(m_handle), POLLIN, 0};
        while (poll(&p, 1, 100) < 0 && errno == EINTR) {
        }
        return true;
    }
    timerSetting.it_value.tv_sec = time_t(relativeNs / 1000000000);
    timerSetting.it_value.tv_nsec = long(relativeNs % 1000000000);
    return timerfd_settime(int(m_handle), 0, &timerSetting, nullptr) == 0;
}

bool CWaitableTimer::Cancel() {
    if (!Valid())
        return false;
    itimerspec timerSetting = {};
    return timerfd_settime(int(m_handle), 0, &timerSetting, nullptr) == 0;
}

bool CWaitableTimer::TryConsume() {
    if (!Valid())
        return false;
    uint64_t expirations;
    for (;;) {
        ssize_t n = read(int(m_handle), &expirations, sizeof(expirations));
        if (n == ssize_t(sizeof(expirations)))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

// ---------------------------------------------------------------------------

struct PoolWaitRun {
    std::mutex mutex;
    bool stop = false;
    CEvent stopEvent{true, false};
    CWaitable *object = nullptr;
    CThreadPoolWait::Callback callback = nullptr;
    void *context = nullptr;
};

struct CThreadPoolWait::State {
    std::shared_ptr<PoolWaitRun> run;
    std::thread thread;
};

namespace {

void PoolWaitMain(std::shared_ptr<PoolWaitRun> run) {
    CWaitable *objects[2] = {run->object, &run->stopEvent};
    for (;;) {
        // The object comes first: a signal that arrives together with the
        // stop request is still checked against the stop flag below.
        if (WaitAny(objects, 2, kInfinite) != 0)
            break;
        {
            std::lock_guard<std::mutex> lock(run->mutex);
            if (run->stop)
                break;
        }
        run->callback(run->context);
    }
}

} // namespace

CThreadPoolWait::CThreadPoolWait() : m_state(new State) {}

CThreadPoolWait::~CThreadPoolWait() {
    Unregister();
    // Destroyed from its own callback: the thread ends after it by itself.
    if (m_state->thread.joinable())
        m_state->thread.detach();
    delete m_state;
}

bool CThreadPoolWait::Register(CWaitable &object, Callback callback, void *context) {
    if (!callback || !object.Valid() || Registered())
        return false;
    if (m_state->thread.joinable()) {
        // Unregistered from its callback earlier: that thread must end first.
        if (m_state->thread.get_id() == std::this_thread::get_id())
            return false;
        m_state->thread.join();
        m_state->run.reset();
    }
    auto run = std::make_shared<PoolWaitRun>();
    if (!run->stopEvent.Valid())
        return false;
    run->object = &object;
    run->callback = callback;
    run->context = context;
    try {
        m_state->thread = std::thread(PoolWaitMain, run);
    } catch (const std::system_error &) {
        return false;
    }
    m_state->run = std::move(run);
    return true;
}

void CThreadPoolWait::Unregister() {
    if (!m_state->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_state->run->mutex);
        m_state->run->stop = true;
    }
    m_state->run->stopEvent.Set();
    // From the callback: no further calls; the thread ends after it returns
    // and is joined by the next Register, Unregister or the destructor.
    if (m_state->thread.get_id() == std::this_thread::get_id())
        return;
    m_state->thread.join();
    m_state->run.reset();
}

bool CThreadPoolWait::Registered() const {
    if (!m_state->run)
        return false;
    std::lock_guard<std::mutex> lock(m_state->run->mutex);
    return !m_state->run->stop;
}

} // namespace platform
