// Xlib connections of the display: a shared one for the window questions and
// one per caller that wants its own (back ends, the paint hook's watcher).
// Every connection opened here reports its protocol errors (a window that
// went away) to a counter instead of ending the process, and a lost server
// marks the connection dead instead of calling exit.
#pragma once

#include <cstdint>

struct _XDisplay;

namespace x11 {

// A new connection to the server DISPLAY names, with XInitThreads done
// before the first one; null when no server answers.
_XDisplay *OpenConnection();
// Closes a connection from OpenConnection (null is ignored).
void CloseConnection(_XDisplay *pDisplay);

// Protocol errors reported on one of our connections so far. Callers that
// must know whether a request failed read it, send the request, XSync and
// read it again (only meaningful on a connection used by one thread).
uint32_t ErrorCount(_XDisplay *pDisplay);
// True once the server went away; the connection is then useless.
bool ConnectionLost(_XDisplay *pDisplay);

// The process-wide connection for short questions (is this a window, how
// big is it), opened on first use. The caller holds a CSharedConnection for
// as long as it uses the pointer, so that CloseSharedConnection waits.
class CSharedConnection {
public:
    CSharedConnection();
    ~CSharedConnection();
    CSharedConnection(const CSharedConnection &) = delete;
    CSharedConnection &operator=(const CSharedConnection &) = delete;
    // Null when no server answers.
    _XDisplay *Get() const { return m_pDisplay; }

private:
    _XDisplay *m_pDisplay;
};

// Closes the shared connection (at unload, and in tests before their X
// server goes away); the next user opens a new one.
void CloseSharedConnection();

} // namespace x11
