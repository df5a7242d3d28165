#ifndef _WIN32

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>
#include <string>

#include "display/windowsystem.h"
#include "qvplayport.h"
#include "tests/display/xserver.h"
#include "windowloop.h"

namespace porttest {

struct CMessageWindow::Impl {
    Display *pDisplay = nullptr;
    Window window = 0;
    Atom atom = 0;
};

CMessageWindow::CMessageWindow(int nWidth, int nHeight) : m_impl(new Impl) {
    std::string error;
    Display *pTests = testx::EnsureDisplay(&error);
    if (pTests == nullptr) {
        ADD_FAILURE() << "no X server: " << error;
        return;
    }
    // A connection of our own: its event queue holds only this window's
    // events.
    m_impl->pDisplay = XOpenDisplay(DisplayString(pTests));
    if (m_impl->pDisplay == nullptr) {
        ADD_FAILURE() << "cannot open a second connection to " << DisplayString(pTests);
        return;
    }
    Display *d = m_impl->pDisplay;
    const int nScreen = DefaultScreen(d);
    m_impl->window =
        XCreateSimpleWindow(d, RootWindow(d, nScreen), 0, 0, nWidth, nHeight, 0, 0, BlackPixel(d, nScreen));
    m_impl->atom = XInternAtom(d, QV_WINDOW_MESSAGE_ATOM, False);
    XSelectInput(d, m_impl->window, StructureNotifyMask);
    XMapWindow(d, m_impl->window);
    // Mapped before anyone draws into it.
    XEvent event;
    do
        XNextEvent(d, &event);
    while (!(event.type == MapNotify && event.xmap.window == m_impl->window));
    XSync(d, False);
}

CMessageWindow::~CMessageWindow() {
    if (m_impl->pDisplay != nullptr) {
        if (m_impl->window != 0)
            XDestroyWindow(m_impl->pDisplay, m_impl->window);
        XCloseDisplay(m_impl->pDisplay);
    }
}

bool CMessageWindow::Valid() const {
    return m_impl->window != 0;
}

HWND CMessageWindow::Handle() const {
    return static_cast<HWND>(m_impl->window);
}

bool CMessageWindow::RunUntil(const std::function<bool()> &done, uint32_t timeoutMs) {
    Display *d = m_impl->pDisplay;
    if (d == nullptr)
        return done();
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type != ClientMessage || event.xclient.message_type != m_impl->atom ||
                event.xclient.format != 32)
                continue;
            // Each value arrives as two 32-bit halves: low in l[1], l[2],
            // high in l[3], l[4].
            const long *l = event.xclient.data.l;
            auto whole = [](long low, long high) {
                return uint64_t(uint32_t(low)) | uint64_t(uint32_t(high)) << 32;
            };
            Log(WindowMessage{UINT(uint32_t(l[0])), whole(l[1], l[3]), int64_t(whole(l[2], l[4]))});
        }
        if (done())
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        // Wait for the server to send something (or 20 ms: done() may turn
        // true for reasons of its own).
        pollfd fd{ConnectionNumber(d), POLLIN, 0};
        poll(&fd, 1, int(left < 20 ? left : 20));
    }
}

bool EnsureWindowSystem() {
    std::string error;
    const bool ok = testx::EnsureDisplay(&error) != nullptr;
    EXPECT_TRUE(ok) << "no X server: " << error;
    return ok;
}

bool CMessageWindow::PostMarker(UINT nMsg) {
    return display::PostWindowMessage(Handle(), nMsg, 0, 0);
}

} // namespace porttest

#endif // _WIN32
