// qvplay's window on X11.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>

#include "playwindow.h"

struct CPlayWindow::State {
    Display *pDisplay = nullptr;
    Window window = 0;
    Atom wmDelete = 0;
    bool bClosed = false;
};

CPlayWindow::CPlayWindow() : m_state(new State) {}

CPlayWindow::~CPlayWindow() {
    if (m_state->pDisplay != nullptr) {
        if (m_state->window != 0)
            XDestroyWindow(m_state->pDisplay, m_state->window);
        XCloseDisplay(m_state->pDisplay);
    }
    delete m_state;
}

bool CPlayWindow::Create(int width, int height, const std::string &title) {
    m_state->pDisplay = XOpenDisplay(nullptr);
    if (m_state->pDisplay == nullptr)
        return false;
    Display *pDisplay = m_state->pDisplay;
    const int screen = DefaultScreen(pDisplay);
    m_state->window = XCreateSimpleWindow(pDisplay, RootWindow(pDisplay, screen), 0, 0, width, height, 0,
                                          BlackPixel(pDisplay, screen), BlackPixel(pDisplay, screen));
    m_state->wmDelete = XInternAtom(pDisplay, "WM_DELETE_WINDOW", False);
    XSetWMProtocols(pDisplay, m_state->window, &m_state->wmDelete, 1);
    XSelectInput(pDisplay, m_state->window, StructureNotifyMask | KeyPressMask);
    SetTitle(title);
    XMapWindow(pDisplay, m_state->window);
    // Shown once mapped: the library draws into a window that exists.
    for (;;) {
        XEvent event;
        XNextEvent(pDisplay, &event);
        if (event.type == MapNotify && event.xmap.window == m_state->window)
            break;
    }
    return true;
}

HWND CPlayWindow::Handle() const {
    return m_state->window;
}

void CPlayWindow::SetClientSize(int width, int height) {
    XResizeWindow(m_state->pDisplay, m_state->window, width, height);
    XFlush(m_state->pDisplay);
}

void CPlayWindow::SetTitle(const std::string &title) {
    XStoreName(m_state->pDisplay, m_state->window, title.c_str());
    XFlush(m_state->pDisplay);
}

bool CPlayWindow::Pump(int timeoutMs) {
    Display *pDisplay = m_state->pDisplay;
    if (XPending(pDisplay) == 0) {
        pollfd fd{ConnectionNumber(pDisplay), POLLIN, 0};
        poll(&fd, 1, timeoutMs);
    }
    while (XPending(pDisplay) > 0) {
        XEvent event;
        XNextEvent(pDisplay, &event);
        if (event.type == ClientMessage && static_cast<Atom>(event.xclient.data.l[0]) == m_state->wmDelete)
            m_state->bClosed = true;
        if (event.type == KeyPress) {
            const KeySym key = XLookupKeysym(&event.xkey, 0);
            if (key == XK_q || key == XK_Escape)
                m_state->bClosed = true;
        }
    }
    return !m_state->bClosed;
}
