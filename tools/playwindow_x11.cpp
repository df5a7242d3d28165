// qvplay's window on X11.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <poll.h>

#include <deque>

#include "playwindow.h"

struct CPlayWindow::State {
    Display *pDisplay = nullptr;
    Window window = 0;
    Atom wmDelete = 0;
    bool bClosed = false;
    std::deque<PlayKey> keys;
};

namespace {

// The key a key symbol stands for; false for keys qvplay does not use.
bool KeyOf(KeySym sym, PlayKey *pKey) {
    if (sym >= XK_0 && sym <= XK_9) {
        *pKey = static_cast<PlayKey>(static_cast<int>(PlayKey::Digit0) + static_cast<int>(sym - XK_0));
        return true;
    }
    if (sym >= XK_KP_0 && sym <= XK_KP_9) {
        *pKey = static_cast<PlayKey>(static_cast<int>(PlayKey::Digit0) + static_cast<int>(sym - XK_KP_0));
        return true;
    }
    switch (sym) {
    case XK_q:
    case XK_Q:
    case XK_Escape:
        *pKey = PlayKey::Quit;
        return true;
    case XK_space:
        *pKey = PlayKey::Pause;
        return true;
    case XK_Right:
    case XK_KP_Right:
        *pKey = PlayKey::StepForward;
        return true;
    case XK_Left:
    case XK_KP_Left:
        *pKey = PlayKey::StepBack;
        return true;
    case XK_Up:
    case XK_KP_Up:
        *pKey = PlayKey::Faster;
        return true;
    case XK_Down:
    case XK_KP_Down:
        *pKey = PlayKey::Slower;
        return true;
    case XK_b:
    case XK_B:
        *pKey = PlayKey::Backward;
        return true;
    case XK_Home:
    case XK_KP_Home:
        *pKey = PlayKey::Home;
        return true;
    case XK_End:
    case XK_KP_End:
        *pKey = PlayKey::End;
        return true;
    case XK_s:
    case XK_S:
        *pKey = PlayKey::Snapshot;
        return true;
    default:
        return false;
    }
}

} // namespace

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
            // With the modifiers applied, so that Num Lock picks the keypad's
            // digits or arrows.
            char text[8];
            KeySym sym = NoSymbol;
            XLookupString(&event.xkey, text, sizeof(text), &sym, nullptr);
            PlayKey key;
            if (KeyOf(sym, &key))
                m_state->keys.push_back(key);
        }
    }
    return !m_state->bClosed;
}

bool CPlayWindow::NextKey(PlayKey *pKey) {
    if (m_state->keys.empty())
        return false;
    *pKey = m_state->keys.front();
    m_state->keys.pop_front();
    return true;
}
