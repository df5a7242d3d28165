// Window questions answered by the X server through the shared connection;
// a window is an X11 window id.
#include <X11/Xlib.h>

#include "display/linux/x11connection.h"
#include "display/windowsystem.h"

namespace display {

namespace {

// False when the id names no window (BadWindow is counted, not fatal).
bool QueryWindow(HWND hWnd, XWindowAttributes *pAttributes) {
    x11::CSharedConnection connection;
    Display *pDisplay = connection.Get();
    if (pDisplay == nullptr || hWnd == 0)
        return false;
    return XGetWindowAttributes(pDisplay, static_cast<Window>(hWnd), pAttributes) != 0;
}

} // namespace

bool SystemIsWindowAlive(HWND hWnd) {
    XWindowAttributes attributes;
    return QueryWindow(hWnd, &attributes);
}

bool SystemGetClientArea(HWND hWnd, RECT *pRect) {
    XWindowAttributes attributes;
    if (!QueryWindow(hWnd, &attributes)) {
        *pRect = RECT{0, 0, 0, 0};
        return false;
    }
    *pRect = RECT{0, 0, attributes.width, attributes.height};
    return true;
}

// The X server has no timer resolution to raise: the display thread's waits
// are as fine as the kernel's timers.
void AcquireTimerResolution() {}
void ReleaseTimerResolution() {}

} // namespace display
