// Windows side of the paint hook: a call-window-procedure hook (WM_PAINT sent
// to a window, as UpdateWindow does) and a get-message hook (WM_PAINT removed
// from a queue) on every thread that owns a viewport window. Hooks stay until
// the paint hook ends: a thread may own viewport windows again later.
#include "display/hookpaint.h"

#include <vector>

#include "qvdisplay.h" // <windows.h> through qvtypes.h

namespace {

struct HookRecord {
    DWORD dwThreadId;
    HHOOK hCallWndProc;
    HHOOK hGetMessage;
};

// Guarded by the paint hook's lock.
std::vector<HookRecord> &Records() {
    static std::vector<HookRecord> s_records;
    return s_records;
}

LRESULT CALLBACK CallWndProcHook(int nCode, WPARAM wParam, LPARAM lParam) {
    if (nCode == HC_ACTION) {
        const auto *pMessage = reinterpret_cast<const CWPSTRUCT *>(lParam);
        if (pMessage && pMessage->hwnd && pMessage->message == WM_PAINT)
            CHookPaint::Instance().OnPaint(pMessage->hwnd);
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

LRESULT CALLBACK GetMessageHook(int nCode, WPARAM wParam, LPARAM lParam) {
    // A message only peeked at is seen again when it is removed.
    if (nCode == HC_ACTION && wParam == PM_REMOVE) {
        const auto *pMessage = reinterpret_cast<const MSG *>(lParam);
        if (pMessage && pMessage->hwnd && pMessage->message == WM_PAINT)
            CHookPaint::Instance().OnPaint(pMessage->hwnd);
    }
    return CallNextHookEx(nullptr, nCode, wParam, lParam);
}

} // namespace

int32_t CHookPaint::Watch(HWND hWnd) {
    const DWORD dwThreadId = GetWindowThreadProcessId(hWnd, nullptr);
    if (dwThreadId == 0)
        return DISPLAY_E_INVALID_VALUE;
    platform::CLockGuard guard(m_lock);
    for (const HookRecord &record : Records()) {
        if (record.dwThreadId == dwThreadId)
            return DISPLAY_OK;
    }
    HHOOK hCallWndProc = SetWindowsHookExW(WH_CALLWNDPROC, CallWndProcHook, nullptr, dwThreadId);
    HHOOK hGetMessage =
        hCallWndProc ? SetWindowsHookExW(WH_GETMESSAGE, GetMessageHook, nullptr, dwThreadId) : nullptr;
    if (!hCallWndProc || !hGetMessage) {
        if (hCallWndProc)
            UnhookWindowsHookEx(hCallWndProc);
        return DISPLAY_E_FAIL;
    }
    Records().push_back(HookRecord{dwThreadId, hCallWndProc, hGetMessage});
    return DISPLAY_OK;
}

void CHookPaint::UnwatchAll() {
    platform::CLockGuard guard(m_lock);
    for (const HookRecord &record : Records()) {
        UnhookWindowsHookEx(record.hCallWndProc);
        UnhookWindowsHookEx(record.hGetMessage);
    }
    Records().clear();
}
