// Threads: start with one context pointer, priority, join with a time-out.
#pragma once

#include <cstdint>

#include "platform/sync.h"

namespace platform {

// Priorities as the Win32 THREAD_PRIORITY_* values.
enum ThreadPriority : int {
    kPriorityLowest = -2,
    kPriorityBelowNormal = -1,
    kPriorityNormal = 0,
    kPriorityAboveNormal = 1,
    kPriorityHighest = 2,
};

class CThread {
public:
    using StartRoutine = uint32_t (*)(void *context);

    CThread();
    // A thread still running is waited for without limit; a thread object
    // destroyed by its own thread is detached instead.
    ~CThread();
    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    bool Start(StartRoutine routine, void *context);
    bool Started() const;
    // Takes effect on a started thread. Raising above normal may be refused
    // by the system; the thread then keeps running at its previous priority.
    bool SetPriority(int priority);
    int GetPriority() const;
    // kWaitSignalled once the routine has returned (and the thread has been
    // joined), kWaitTimeout when it is still running after timeoutMs.
    WaitResult Join(uint32_t timeoutMs);
    // Forcibly ends a thread that did not end in time. Only Windows can do
    // this safely enough; elsewhere it returns false and changes nothing.
    bool Terminate();
    // Exit code of the routine once joined.
    uint32_t ExitCode() const;
    bool IsCurrent() const;

    static uint32_t CurrentThreadId();

private:
    struct State;
    State *m_state = nullptr;
};

// Gives up the rest of the time slice. (Not YieldProcessor: <windows.h>
// defines that name as a macro for the pause instruction.)
void YieldTimeSlice();
void SleepMs(uint32_t milliseconds);

} // namespace platform
