// Window questions answered by the X server through the shared connection;
// a window is an X11 window id.
#include <X11/Xlib.h>

#include <cstdint>

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

bool PostWindowMessage(HWND hWnd, uint32_t uMsg, uintptr_t wParam, intptr_t lParam) {
    x11::CSharedConnection connection;
    Display *pDisplay = connection.Get();
    XWindowAttributes attributes;
    if (pDisplay == nullptr || hWnd == 0 ||
        XGetWindowAttributes(pDisplay, static_cast<Window>(hWnd), &attributes) == 0)
        return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = static_cast<Window>(hWnd);
    event.xclient.message_type = XInternAtom(pDisplay, kWindowMessageAtom, False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(uMsg);
    event.xclient.data.l[1] = static_cast<long>(wParam);
    event.xclient.data.l[2] = static_cast<long>(lParam);
    // The protocol carries 32 bits per value: on a 64-bit client an address
    // (a handle, a file name) would arrive cut. The high halves follow.
    event.xclient.data.l[3] = static_cast<long>(static_cast<uint64_t>(wParam) >> 32);
    event.xclient.data.l[4] = static_cast<long>(static_cast<uint64_t>(lParam) >> 32);
    const Status sent = XSendEvent(pDisplay, static_cast<Window>(hWnd), False, NoEventMask, &event);
    XFlush(pDisplay);
    return sent != 0;
}

// The X server has no timer resolution to raise: the display thread's waits
// are as fine as the kernel's timers.
void AcquireTimerResolution() {}
void ReleaseTimerResolution() {}

} // namespace display
