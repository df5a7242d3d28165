// The paint hook on X11: a connection and a thread of its own select Expose
// events on the viewport windows (each client has its own event mask on a
// window, so the application's selection is not disturbed) and report each
// finished exposure (count 0) as a paint.
#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <unordered_set>

#include "display/hookpaint.h"
#include "display/linux/x11connection.h"
#include "platform/thread.h"
#include "qvdisplay.h"

namespace {

struct Watcher {
    Display *pDisplay = nullptr;
    int anWake[2] = {-1, -1}; // a byte in [1] wakes the thread
    bool bQuit = false;       // read by the thread under the mutex
    std::unique_ptr<platform::CThread> pThread;
    std::unordered_set<Window> windows; // watched, until destroyed
};

// Guards g_watcher's fields. Lock order: taken after the paint hook's lock
// if both are ever held; Xlib's own locks are taken under it, and the
// watcher thread takes it only around the window set (never while calling
// into Xlib or OnPaint), so it can always be joined from outside it.
// Both live as long as the process: a watcher thread still running at exit
// must not meet destroyed objects (nor be joined by a static destructor).
std::mutex &g_watcherMutex = *new std::mutex;
Watcher &g_watcher = *new Watcher;

void Wake(int nFd) {
    const char byOne = 1;
    [[maybe_unused]] const ssize_t n = write(nFd, &byOne, 1);
}

uint32_t WatchThread(void *pContext) {
    Display *pDisplay = static_cast<Display *>(pContext);
    int nWakeRead;
    {
        std::lock_guard<std::mutex> guard(g_watcherMutex);
        nWakeRead = g_watcher.anWake[0];
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(g_watcherMutex);
            if (g_watcher.bQuit)
                return 0;
        }
        if (x11::ConnectionLost(pDisplay))
            return 1;
        // Events other threads' round trips have already read sit in Xlib's
        // queue; XPending sees those and reads whatever the socket holds.
        while (XPending(pDisplay) > 0) {
            XEvent event;
            XNextEvent(pDisplay, &event);
            if (event.type == Expose && event.xexpose.count == 0) {
                CHookPaint::Instance().OnPaint(static_cast<HWND>(event.xexpose.window));
            } else if (event.type == DestroyNotify) {
                std::lock_guard<std::mutex> guard(g_watcherMutex);
                g_watcher.windows.erase(event.xdestroywindow.window);
            }
        }
        pollfd afd[2] = {{ConnectionNumber(pDisplay), POLLIN, 0}, {nWakeRead, POLLIN, 0}};
        if (poll(afd, 2, -1) < 0)
            continue;
        if (afd[1].revents & POLLIN) {
            char abyDrain[64];
            while (read(nWakeRead, abyDrain, sizeof(abyDrain)) > 0) {
            }
        }
    }
}

// Under g_watcherMutex: the connection, the wake pipe and the thread.
bool StartWatcher() {
    Display *pDisplay = x11::OpenConnection();
    if (pDisplay == nullptr)
        return false;
    int anPipe[2];
    if (pipe2(anPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        x11::CloseConnection(pDisplay);
        return false;
    }
    g_watcher.pDisplay = pDisplay;
    g_watcher.anWake[0] = anPipe[0];
    g_watcher.anWake[1] = anPipe[1];
    g_watcher.bQuit = false;
    g_watcher.pThread = std::make_unique<platform::CThread>();
    if (!g_watcher.pThread->Start(WatchThread, pDisplay)) {
        g_watcher.pThread.reset();
        close(anPipe[0]);
        close(anPipe[1]);
        g_watcher = Watcher{};
        x11::CloseConnection(pDisplay);
        return false;
    }
    return true;
}

} // namespace

int32_t CHookPaint::Watch(HWND hWnd) {
    bool bLost;
    {
        std::lock_guard<std::mutex> guard(g_watcherMutex);
        bLost = g_watcher.pDisplay != nullptr && x11::ConnectionLost(g_watcher.pDisplay);
    }
    if (bLost)
        UnwatchAll(); // the server went away (and maybe came back): start afresh
    std::lock_guard<std::mutex> guard(g_watcherMutex);
    if (g_watcher.pDisplay == nullptr && !StartWatcher())
        return DISPLAY_E_FAIL;
    const Window window = static_cast<Window>(hWnd);
    if (g_watcher.windows.count(window) != 0)
        return DISPLAY_OK;
    // A window that is already gone is simply not watched; the manager
    // drops its viewport at the next picture.
    XWindowAttributes attributes;
    if (XGetWindowAttributes(g_watcher.pDisplay, window, &attributes) == 0)
        return DISPLAY_OK;
    XSelectInput(g_watcher.pDisplay, window, ExposureMask | StructureNotifyMask);
    XFlush(g_watcher.pDisplay);
    g_watcher.windows.insert(window);
    // The round trip above may have queued events the thread's poll will
    // not see on the socket.
    Wake(g_watcher.anWake[1]);
    return DISPLAY_OK;
}

void CHookPaint::UnwatchAll() {
    Watcher old;
    {
        std::lock_guard<std::mutex> guard(g_watcherMutex);
        if (g_watcher.pDisplay == nullptr)
            return;
        g_watcher.bQuit = true;
        Wake(g_watcher.anWake[1]);
        old.pDisplay = g_watcher.pDisplay;
        old.pThread = std::move(g_watcher.pThread);
        old.anWake[0] = g_watcher.anWake[0];
        old.anWake[1] = g_watcher.anWake[1];
    }
    // Outside the mutex: the thread takes it, and may be inside OnPaint.
    old.pThread->Join(platform::kInfinite);
    old.pThread.reset();
    {
        std::lock_guard<std::mutex> guard(g_watcherMutex);
        g_watcher = Watcher{};
    }
    x11::CloseConnection(old.pDisplay);
    close(old.anWake[0]);
    close(old.anWake[1]);
}
