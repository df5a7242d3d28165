// Timers and clocks: timer-queue timer, waitable timer, thread-pool wait and
// the high-resolution counter.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace platform {

// High-resolution counter value and its frequency in counts per second.
int64_t QueryCounter();
int64_t QueryCounterFrequency();

// Periodic callback on a pool thread: first after dueMs, then every periodMs
// (0 = once). Stop waits until a call in progress has returned; it must not
// be called from the callback itself.
class CTimerQueueTimer {
public:
    using Callback = void (*)(void *context);

    CTimerQueueTimer();
    ~CTimerQueueTimer(); // stops
    CTimerQueueTimer(const CTimerQueueTimer &) = delete;
    CTimerQueueTimer &operator=(const CTimerQueueTimer &) = delete;

    bool Start(Callback callback, void *context, uint32_t dueMs, uint32_t periodMs);
    void Stop();
    bool Running() const;

private:
    struct State;
    State *m_state = nullptr;
};

// Auto-reset waitable timer set once with a due time in 100-ns units; a
// negative value is relative to now (-1 = at once). An absolute due time of
// 0 or below the current time also fires at once.
class CWaitableTimer final : public CWaitable {
public:
    CWaitableTimer();
    ~CWaitableTimer() override;
    bool SetDue(int64_t dueTime100ns);
    bool Cancel();
    bool TryConsume() override;
};

// Runs a callback on a pool thread each time an object is signalled, with no
// time-out. Unregister waits until a callback in progress has returned; called
// from the callback itself it only stops further calls.
class CThreadPoolWait {
public:
    using Callback = void (*)(void *context);

    CThreadPoolWait();
    ~CThreadPoolWait(); // unregisters
    CThreadPoolWait(const CThreadPoolWait &) = delete;
    CThreadPoolWait &operator=(const CThreadPoolWait &) = delete;

    bool Register(CWaitable &object, Callback callback, void *context);
    void Unregister();
    bool Registered() const;

private:
    struct State;
    State *m_state = nullptr;
};

} // namespace platform
