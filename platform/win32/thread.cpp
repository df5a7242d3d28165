// Threads through the C runtime's _beginthreadex, so that the runtime's
// per-thread data is set up and freed with the thread.
#include "platform/thread.h"

#include <new>

#include <process.h>

#include "qvtypes.h" // <windows.h>

namespace platform {

namespace {

// Exit code of a thread ended by Terminate.
constexpr uint32_t kTerminatedExitCode = 0xFFFFFFFFu;

// Handed to the new thread, which frees it before running the routine: the
// CThread may be destroyed (detached) by its own thread while it runs.
struct StartBlock {
    CThread::StartRoutine routine;
    void *context;
};

unsigned __stdcall ThreadMain(void *parameter) {
    StartBlock block = *static_cast<StartBlock *>(parameter);
    delete static_cast<StartBlock *>(parameter);
    return block.routine(block.context);
}

} // namespace

struct CThread::State {
    HANDLE hThread = nullptr;
    DWORD dwThreadId = 0;
    uint32_t dwExitCode = 0;
    bool bJoined = false;

    bool Running() const { return hThread && !bJoined; }
    void MarkJoined() {
        DWORD code = 0;
        dwExitCode = GetExitCodeThread(hThread, &code) ? code : 0;
        bJoined = true;
    }
};

CThread::CThread() = default;

CThread::~CThread() {
    if (!m_state)
        return;
    if (m_state->hThread) {
        // A thread that destroys its own object goes on detached.
        if (m_state->Running() && !IsCurrent())
            WaitForSingleObject(m_state->hThread, INFINITE);
        CloseHandle(m_state->hThread);
    }
    delete m_state;
}

bool CThread::Start(StartRoutine routine, void *context) {
    if (!routine)
        return false;
    if (!m_state) {
        m_state = new (std::nothrow) State;
        if (!m_state)
            return false;
    }
    if (m_state->Running())
        return false;
    if (m_state->hThread) {
        CloseHandle(m_state->hThread);
        *m_state = State();
    }
    auto *block = new (std::nothrow) StartBlock{routine, context};
    if (!block)
        return false;
    // Suspended until its handle and id are stored: the routine may ask
    // IsCurrent at once.
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, ThreadMain, block, CREATE_SUSPENDED, &id);
    if (!handle) {
        delete block;
        return false;
    }
    m_state->hThread = reinterpret_cast<HANDLE>(handle);
    m_state->dwThreadId = id;
    ResumeThread(m_state->hThread);
    return true;
}

bool CThread::Started() const {
    return m_state && m_state->hThread;
}

bool CThread::SetPriority(int priority) {
    return m_state && m_state->Running() && SetThreadPriority(m_state->hThread, priority);
}

int CThread::GetPriority() const {
    // The handle stays open after the join, and the kernel keeps the last
    // priority with the thread object.
    if (!m_state || !m_state->hThread)
        return kPriorityNormal;
    int priority = GetThreadPriority(m_state->hThread);
    return priority == THREAD_PRIORITY_ERROR_RETURN ? kPriorityNormal : priority;
}

WaitResult CThread::Join(uint32_t timeoutMs) {
    if (!m_state || !m_state->hThread)
        return kWaitFailed;
    if (m_state->bJoined)
        return kWaitSignalled;
    if (IsCurrent())
        return timeoutMs == kInfinite ? kWaitFailed : kWaitTimeout; // it cannot end while it waits
    switch (WaitForSingleObject(m_state->hThread, timeoutMs)) {
    case WAIT_OBJECT_0:
        m_state->MarkJoined();
        return kWaitSignalled;
    case WAIT_TIMEOUT:
        return kWaitTimeout;
    default:
        return kWaitFailed;
    }
}

bool CThread::Terminate() {
    if (!m_state || !m_state->Running() || IsCurrent())
        return false;
    if (WaitForSingleObject(m_state->hThread, 0) != WAIT_OBJECT_0) {
        if (!TerminateThread(m_state->hThread, kTerminatedExitCode))
            return false;
        // TerminateThread only starts the end; wait until the thread is gone.
        WaitForSingleObject(m_state->hThread, INFINITE);
    }
    m_state->MarkJoined();
    return true;
}

uint32_t CThread::ExitCode() const {
    if (!m_state || !m_state->hThread)
        return 0;
    if (m_state->bJoined)
        return m_state->dwExitCode;
    DWORD code = 0; // STILL_ACTIVE while the routine runs
    return GetExitCodeThread(m_state->hThread, &code) ? code : 0;
}

bool CThread::IsCurrent() const {
    return m_state && m_state->Running() && m_state->dwThreadId == GetCurrentThreadId();
}

uint32_t CThread::CurrentThreadId() {
    return GetCurrentThreadId();
}

void YieldTimeSlice() {
    SwitchToThread();
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

} // namespace platform
