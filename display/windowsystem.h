// The window-system services the display needs beyond the platform layer:
// windows and their client areas, the display thread's message queue and the
// process-wide timer resolution. Windows uses the window manager; Linux uses
// one shared Xlib connection (a window is an X11 window id) and a queue of
// its own in place of thread messages.
#pragma once

#include <cstdint>

#include "platform/sync.h"
#include "qvtypes.h"

namespace display {

// True while hWnd names an existing window.
bool IsWindowAlive(HWND hWnd);
// The client area of hWnd (left and top 0); false, with *pRect emptied, when
// the window does not exist.
bool GetClientArea(HWND hWnd, RECT *pRect);

// Posts a message to a client window without waiting for it to be handled
// (the front ends' file-end and index messages); false when hWnd is not a
// window or the post fails. Windows: PostMessageW. Linux: a ClientMessage
// event whose type is the atom kWindowMessageAtom, format 32, data.l[0] the
// message, l[1] wParam, l[2] lParam, sent to the window with an empty event
// mask and flushed; l[3] and l[4] hold the high 32 bits of wParam and lParam
// (the protocol carries 32 bits per value). The public headers publish the
// same atom name.
inline constexpr char kWindowMessageAtom[] = "QV_WINDOW_MESSAGE";
bool PostWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam);

// The same questions answered by the window system itself (win32/, linux/).
bool SystemIsWindowAlive(HWND hWnd);
bool SystemGetClientArea(HWND hWnd, RECT *pRect);

// Tests of the display logic answer them without a window system; null
// restores the system's answers.
struct WindowSystemOverride {
    bool (*pfnIsWindowAlive)(HWND hWnd);
    bool (*pfnGetClientArea)(HWND hWnd, RECT *pRect);
};
void SetWindowSystemOverride(const WindowSystemOverride *pOverride);

// One message of the display thread.
struct ThreadMessage {
    uint32_t uMsg;
    uintptr_t wParam;
    intptr_t lParam;
};

// The message queue of one display thread. Attach runs on that thread before
// it reads messages; Post may be called from any thread and fails until the
// queue exists (callers retry, yielding the processor).
class CThreadMessages {
public:
    CThreadMessages();
    ~CThreadMessages();
    CThreadMessages(const CThreadMessages &) = delete;
    CThreadMessages &operator=(const CThreadMessages &) = delete;

    void Attach();
    bool Post(uint32_t uMsg, uintptr_t wParam, intptr_t lParam);

    enum WaitResult { kWaitObject = 0, kWaitMessage = 1, kWaitTimeout = 2, kWaitFailed = -1 };
    // Waits for the object (consuming its signal) or a message.
    WaitResult Wait(platform::CWaitable &object, uint32_t timeoutMs);
    // Removes the next message; false when none waits.
    bool Peek(ThreadMessage *pMessage);

private:
    struct State;
    State *m_state;
};

// Raises the system timer resolution while at least one display manager
// exists (reference counted, process-wide).
void AcquireTimerResolution();
void ReleaseTimerResolution();

} // namespace display
