// The display thread's messages without a window system's thread queues: a
// queue of our own whose event the thread waits on beside its timer.
#include <deque>
#include <mutex>

#include "display/windowsystem.h"

namespace display {

struct CThreadMessages::State {
    std::mutex mutex; // leaf lock: nothing else is taken or waited for under it
    std::deque<ThreadMessage> queue;
    bool bAttached = false;
    platform::CEvent ready{false, false};
};

CThreadMessages::CThreadMessages() : m_state(new State) {}

CThreadMessages::~CThreadMessages() {
    delete m_state;
}

void CThreadMessages::Attach() {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    m_state->bAttached = true;
}

bool CThreadMessages::Post(uint32_t uMsg, uintptr_t wParam, intptr_t lParam) {
    {
        std::lock_guard<std::mutex> guard(m_state->mutex);
        if (!m_state->bAttached)
            return false;
        m_state->queue.push_back(ThreadMessage{uMsg, wParam, lParam});
    }
    return m_state->ready.Set();
}

CThreadMessages::WaitResult CThreadMessages::Wait(platform::CWaitable &object, uint32_t timeoutMs) {
    platform::CWaitable *objects[2] = {&object, &m_state->ready};
    switch (platform::WaitAny(objects, 2, timeoutMs)) {
    case 0:
        return kWaitObject;
    case 1:
        return kWaitMessage;
    case -1:
        return kWaitTimeout;
    default:
        return kWaitFailed;
    }
}

bool CThreadMessages::Peek(ThreadMessage *pMessage) {
    std::lock_guard<std::mutex> guard(m_state->mutex);
    if (m_state->queue.empty())
        return false;
    *pMessage = m_state->queue.front();
    m_state->queue.pop_front();
    return true;
}

} // namespace display
