// The display thread's messages are Windows thread messages: the thread has
// no window and takes only messages posted to the thread itself.
#include <windows.h>

#include <atomic>

#include "display/windowsystem.h"

namespace display {

struct CThreadMessages::State {
    std::atomic<DWORD> dwThreadId{0};
};

CThreadMessages::CThreadMessages() : m_state(new State) {}

CThreadMessages::~CThreadMessages() {
    delete m_state;
}

void CThreadMessages::Attach() {
    // The first message call gives the thread its queue.
    MSG msg;
    PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE);
    m_state->dwThreadId.store(GetCurrentThreadId());
}

bool CThreadMessages::Post(uint32_t uMsg, uintptr_t wParam, intptr_t lParam) {
    const DWORD dwThreadId = m_state->dwThreadId.load();
    return dwThreadId != 0 && PostThreadMessageW(dwThreadId, uMsg, wParam, lParam) != FALSE;
}

CThreadMessages::WaitResult CThreadMessages::Wait(platform::CWaitable &object, uint32_t timeoutMs) {
    HANDLE hObject = reinterpret_cast<HANDLE>(object.NativeHandle());
    switch (MsgWaitForMultipleObjects(1, &hObject, FALSE, timeoutMs, QS_ALLINPUT)) {
    case WAIT_OBJECT_0:
        return kWaitObject;
    case WAIT_OBJECT_0 + 1:
        return kWaitMessage;
    case WAIT_TIMEOUT:
        return kWaitTimeout;
    default:
        return kWaitFailed;
    }
}

bool CThreadMessages::Peek(ThreadMessage *pMessage) {
    MSG msg;
    if (!PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE))
        return false;
    pMessage->uMsg = msg.message;
    pMessage->wParam = msg.wParam;
    pMessage->lParam = msg.lParam;
    return true;
}

} // namespace display
