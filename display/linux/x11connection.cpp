// Xlib connections of the display. Protocol errors are per process in Xlib
// (one handler for every connection), so ours chains to whatever handler
// was installed before it for connections that are not ours.
#include "display/linux/x11connection.h"

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace x11 {

namespace {

struct ConnectionState {
    Display *pDisplay;
    uint32_t dwErrors;
    bool bLost;
};

// Lock order: sharedMutex, then openMutex, then Xlib's own display locks,
// then registryMutex (a leaf: the error handlers take it while Xlib holds
// its locks, so no Xlib call is made under it).
// The state lives as long as the process: the handlers may run on other
// threads while static objects are destroyed at exit.
struct Globals {
    std::mutex registryMutex;
    std::vector<ConnectionState> connections; // guarded by registryMutex
    std::atomic<XErrorHandler> pfnPreviousHandler{nullptr};
    std::atomic<XIOErrorHandler> pfnPreviousIoHandler{nullptr};
    std::mutex openMutex;          // serialises opening and closing
    std::shared_mutex sharedMutex; // shared: a user of the connection; exclusive: opening or closing it
    Display *pShared = nullptr;    // guarded by sharedMutex
};

Globals &G() {
    static Globals *s_pGlobals = new Globals();
    return *s_pGlobals;
}

// Marks an error or the loss of one of our connections; false when the
// connection is not ours.
bool Record(Display *pDisplay, bool bLost) {
    std::lock_guard<std::mutex> guard(G().registryMutex);
    for (ConnectionState &state : G().connections) {
        if (state.pDisplay == pDisplay) {
            if (bLost)
                state.bLost = true;
            else
                ++state.dwErrors;
            return true;
        }
    }
    return false;
}

int OnProtocolError(Display *pDisplay, XErrorEvent *pEvent) {
    if (Record(pDisplay, false))
        return 0;
    // Not ours: whatever the process had before (Xlib's default handler,
    // which reports and exits, when it had none).
    const XErrorHandler pfnPrevious = G().pfnPreviousHandler.load();
    return pfnPrevious != nullptr ? pfnPrevious(pDisplay, pEvent) : 0;
}

int OnIoError(Display *pDisplay) {
    // Ours: returning lets Xlib go on to the connection's exit handler
    // below, which does not exit.
    if (Record(pDisplay, true))
        return 0;
    const XIOErrorHandler pfnPrevious = G().pfnPreviousIoHandler.load();
    return pfnPrevious != nullptr ? pfnPrevious(pDisplay) : 0;
}

void OnConnectionLost(Display *pDisplay, void *) {
    // The connection stays marked broken; its owner sees ConnectionLost and
    // stops using it.
    Record(pDisplay, true);
}

void InstallErrorHandlers() {
    // Installed again after a client replaced them: keep the client's as the
    // ones to chain to, never our own.
    const XErrorHandler pfnPrevious = XSetErrorHandler(OnProtocolError);
    if (pfnPrevious != OnProtocolError)
        G().pfnPreviousHandler.store(pfnPrevious);
    const XIOErrorHandler pfnPreviousIo = XSetIOErrorHandler(OnIoError);
    if (pfnPreviousIo != OnIoError)
        G().pfnPreviousIoHandler.store(pfnPreviousIo);
}

} // namespace

Display *OpenConnection() {
    static std::once_flag s_threads;
    std::call_once(s_threads, [] { XInitThreads(); });
    std::lock_guard<std::mutex> guard(G().openMutex);
    InstallErrorHandlers();
    Display *pDisplay = XOpenDisplay(nullptr);
    if (pDisplay == nullptr)
        return nullptr;
    {
        std::lock_guard<std::mutex> registry(G().registryMutex);
        G().connections.push_back(ConnectionState{pDisplay, 0, false});
    }
    XSetIOErrorExitHandler(pDisplay, OnConnectionLost, nullptr);
    return pDisplay;
}

void CloseConnection(Display *pDisplay) {
    if (pDisplay == nullptr)
        return;
    std::lock_guard<std::mutex> guard(G().openMutex);
    // Errors of requests still in flight arrive while the connection closes:
    // it stays registered until XCloseDisplay has returned.
    XCloseDisplay(pDisplay);
    std::lock_guard<std::mutex> registry(G().registryMutex);
    G().connections.erase(
        std::remove_if(G().connections.begin(), G().connections.end(),
                       [pDisplay](const ConnectionState &state) { return state.pDisplay == pDisplay; }),
        G().connections.end());
}

uint32_t ErrorCount(Display *pDisplay) {
    std::lock_guard<std::mutex> guard(G().registryMutex);
    for (const ConnectionState &state : G().connections)
        if (state.pDisplay == pDisplay)
            return state.dwErrors;
    return 0;
}

bool ConnectionLost(Display *pDisplay) {
    std::lock_guard<std::mutex> guard(G().registryMutex);
    for (const ConnectionState &state : G().connections)
        if (state.pDisplay == pDisplay)
            return state.bLost;
    return true;
}

CSharedConnection::CSharedConnection() {
    G().sharedMutex.lock_shared();
    if (G().pShared != nullptr && !ConnectionLost(G().pShared)) {
        m_pDisplay = G().pShared;
        return;
    }
    G().sharedMutex.unlock_shared();
    {
        std::unique_lock<std::shared_mutex> exclusive(G().sharedMutex);
        if (G().pShared != nullptr && ConnectionLost(G().pShared)) {
            CloseConnection(G().pShared);
            G().pShared = nullptr;
        }
        if (G().pShared == nullptr)
            G().pShared = OpenConnection();
    }
    G().sharedMutex.lock_shared();
    m_pDisplay = G().pShared;
}

CSharedConnection::~CSharedConnection() {
    G().sharedMutex.unlock_shared();
}

void CloseSharedConnection() {
    std::unique_lock<std::shared_mutex> exclusive(G().sharedMutex);
    CloseConnection(G().pShared);
    G().pShared = nullptr;
}

} // namespace x11
