// Timer-queue timers, waitable timers, thread-pool waits and the performance
// counter over the Win32 calls of the same names.
#include "platform/timers.h"

#include <atomic>
#include <new>

#include "qvtypes.h" // <windows.h>

namespace platform {

namespace {

HANDLE AsHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Relative due times shorter than this (100 us) mean "at once".
constexpr int64_t kAtOnce100ns = 1000;

} // namespace

int64_t QueryCounter() {
    LARGE_INTEGER value;
    return QueryPerformanceCounter(&value) ? value.QuadPart : 0;
}

int64_t QueryCounterFrequency() {
    // Fixed at boot, so asked once.
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        return QueryPerformanceFrequency(&value) ? value.QuadPart : int64_t(1);
    }();
    return frequency;
}

namespace {

// The timer or wait whose callback runs on this pool thread, so that a stop
// from inside the callback does not wait for itself.
thread_local const void *t_runningCallback = nullptr;

class CRunningCallback {
public:
    explicit CRunningCallback(const void *owner) : m_previous(t_runningCallback) {
        t_runningCallback = owner;
    }
    ~CRunningCallback() { t_runningCallback = m_previous; }
    CRunningCallback(const CRunningCallback &) = delete;
    CRunningCallback &operator=(const CRunningCallback &) = delete;

private:
    const void *m_previous;
};

} // namespace

struct CTimerQueueTimer::State {
    HANDLE hTimer = nullptr;
    Callback pfnCallback = nullptr;
    void *pContext = nullptr;
    bool bOnce = false;
    std::atomic<bool> bFinished{false};

    static VOID CALLBACK OnTimer(PVOID parameter, BOOLEAN) {
        auto *state = static_cast<State *>(parameter);
        bool once = state->bOnce;
        CRunningCallback running(state);
        state->pfnCallback(state->pContext);
        // A stop from inside the call clears the marker: the owner may have
        // gone with the state since.
        if (once && t_runningCallback == state)
            state->bFinished.store(true);
    }
};

CTimerQueueTimer::CTimerQueueTimer() = default;

CTimerQueueTimer::~CTimerQueueTimer() {
    Stop();
    delete m_state;
}

bool CTimerQueueTimer::Start(Callback callback, void *context, uint32_t dueMs, uint32_t periodMs) {
    if (!callback)
        return false;
    Stop();
    if (!m_state) {
        m_state = new (std::nothrow) State;
        if (!m_state)
            return false;
    }
    m_state->pfnCallback = callback;
    m_state->pContext = context;
    m_state->bOnce = periodMs == 0;
    m_state->bFinished.store(false);
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, State::OnTimer, m_state, dueMs, periodMs, WT_EXECUTEDEFAULT))
        return false;
    m_state->hTimer = timer;
    return true;
}

void CTimerQueueTimer::Stop() {
    if (!m_state || !m_state->hTimer)
        return;
    HANDLE timer = m_state->hTimer;
    m_state->hTimer = nullptr;
    // INVALID_HANDLE_VALUE: returns only after a call in progress has ended.
    // From the callback itself that would never return; there the timer is
    // only marked for deletion.
    if (t_runningCallback == m_state) {
        t_runningCallback = nullptr;
        DeleteTimerQueueTimer(nullptr, timer, nullptr);
    } else {
        DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);
    }
}

bool CTimerQueueTimer::Running() const {
    // A one-shot timer has finished after its call; it is deleted by Stop.
    return m_state && m_state->hTimer && !m_state->bFinished.load();
}

CWaitableTimer::CWaitableTimer() {
    HANDLE timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    m_handle = timer ? reinterpret_cast<intptr_t>(timer) : kNoHandle;
}

CWaitableTimer::~CWaitableTimer() = default;

bool CWaitableTimer::SetDue(int64_t dueTime100ns) {
    if (!Valid())
        return false;
    // A due time already past fires within the set call itself; one only a
    // moment ahead would wait for the next clock tick (up to 15.6 ms), so a
    // relative time that short becomes one already past.
    LARGE_INTEGER due;
    due.QuadPart = (dueTime100ns < 0 && dueTime100ns > -kAtOnce100ns) ? 0 : dueTime100ns;
    return SetWaitableTimer(AsHandle(m_handle), &due, 0, nullptr, nullptr, FALSE) != FALSE;
}

bool CWaitableTimer::Cancel() {
    return Valid() && CancelWaitableTimer(AsHandle(m_handle));
}

bool CWaitableTimer::TryConsume() {
    return true;
}

struct CThreadPoolWait::State {
    HANDLE hWait = nullptr;
    Callback pfnCallback = nullptr;
    void *pContext = nullptr;

    static VOID CALLBACK OnSignalled(PVOID parameter, BOOLEAN) {
        // The state may be freed by the callback (its owner unregistering and
        // going away), so nothing of it is touched after the call.
        auto *state = static_cast<State *>(parameter);
        CRunningCallback running(state);
        state->pfnCallback(state->pContext);
    }
};

CThreadPoolWait::CThreadPoolWait() = default;

CThreadPoolWait::~CThreadPoolWait() {
    Unregister();
    delete m_state;
}

bool CThreadPoolWait::Register(CWaitable &object, Callback callback, void *context) {
    if (!callback || !object.Valid() || Registered())
        return false;
    if (!m_state) {
        m_state = new (std::nothrow) State;
        if (!m_state)
            return false;
    }
    m_state->pfnCallback = callback;
    m_state->pContext = context;
    HANDLE wait = nullptr;
    if (!RegisterWaitForSingleObject(&wait, AsHandle(object.NativeHandle()), State::OnSignalled, m_state,
                                     INFINITE, WT_EXECUTEDEFAULT))
        return false;
    m_state->hWait = wait;
    return true;
}

void CThreadPoolWait::Unregister() {
    if (!Registered())
        return;
    HANDLE wait = m_state->hWait;
    m_state->hWait = nullptr;
    if (t_runningCallback == m_state)
        UnregisterWaitEx(wait, nullptr); // stops further calls without waiting for this one
    else
        UnregisterWaitEx(wait, INVALID_HANDLE_VALUE);
}

bool CThreadPoolWait::Registered() const {
    return m_state && m_state->hWait;
}

} // namespace platform
