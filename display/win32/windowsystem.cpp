// Windows answers to the display's window questions, and the multimedia timer
// period raised while any display manager exists.
#include "display/windowsystem.h"

#include <mutex>

#include "qvtypes.h" // <windows.h>, <mmsystem.h>

namespace display {

bool SystemIsWindowAlive(HWND hWnd) {
    return hWnd != nullptr && IsWindow(hWnd) != FALSE;
}

bool SystemGetClientArea(HWND hWnd, RECT *pRect) {
    if (hWnd && GetClientRect(hWnd, pRect))
        return true;
    SetRectEmpty(pRect);
    return false;
}

bool PostWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam) {
    return hWnd != nullptr && IsWindow(hWnd) && PostMessageW(hWnd, uMsg, wParam, lParam) != FALSE;
}

namespace {

// A count rather than a flag: managers come and go on different threads. The
// mutex (a leaf: nothing else is taken under it) keeps one manager's begin
// from crossing another's end, which the count alone could not.
std::mutex g_timerMutex;
uint32_t g_uManagers = 0;
UINT g_uPeriod = 0; // the period begun, 0 when none is in force

} // namespace

void AcquireTimerResolution() {
    std::lock_guard<std::mutex> guard(g_timerMutex);
    if (++g_uManagers != 1)
        return;
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof(caps)) != MMSYSERR_NOERROR || caps.wPeriodMin == 0)
        return;
    if (timeBeginPeriod(caps.wPeriodMin) == TIMERR_NOERROR)
        g_uPeriod = caps.wPeriodMin;
}

void ReleaseTimerResolution() {
    std::lock_guard<std::mutex> guard(g_timerMutex);
    if (g_uManagers == 0 || --g_uManagers != 0)
        return;
    if (g_uPeriod != 0) {
        timeEndPeriod(g_uPeriod);
        g_uPeriod = 0;
    }
}

} // namespace display
