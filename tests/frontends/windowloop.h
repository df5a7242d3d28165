// A window with a message loop of its own, as a host application has one:
// what the library posts to the window is taken off the window system's
// queue by the loop and logged on the thread that runs it.
// Windows: a Win32 window, a GetMessage/DispatchMessage loop woken by a
// timer. Linux: an X11 window made on a connection of its own to the tests'
// X server, an XNextEvent loop that turns the library's ClientMessage events
// (the QV_WINDOW_MESSAGE atom) back into messages.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "qvtypes.h"

namespace porttest {

struct WindowMessage {
    UINT nMsg;
    uint64_t wParam;
    int64_t lParam;
};

class CMessageWindow {
public:
    // A mapped window of the size given; Valid() tells whether it was made.
    CMessageWindow(int nWidth = 352, int nHeight = 288);
    ~CMessageWindow();
    CMessageWindow(const CMessageWindow &) = delete;
    CMessageWindow &operator=(const CMessageWindow &) = delete;

    bool Valid() const;
    HWND Handle() const;

    // Runs the loop until done() holds (true) or timeoutMs pass (false).
    bool RunUntil(const std::function<bool()> &done, uint32_t timeoutMs = 20000);
    // Runs the loop until a message of this number has come count times.
    bool WaitFor(UINT nMsg, size_t count = 1, uint32_t timeoutMs = 20000) {
        return RunUntil([&] { return Count(nMsg) >= count; }, timeoutMs);
    }

    // Messages the loop took, in order; those with one number.
    std::vector<WindowMessage> Received(UINT nMsg) const {
        std::vector<WindowMessage> v;
        for (const WindowMessage &m : m_log)
            if (m.nMsg == nMsg)
                v.push_back(m);
        return v;
    }
    size_t Count(UINT nMsg) const { return Received(nMsg).size(); }
    void Clear() { m_log.clear(); }

    // Posts a message to the window through the same channel the library
    // uses (its own connection on Linux), so that it arrives behind anything
    // the library posted before.
    bool PostMarker(UINT nMsg);

    // Called by the loop for every message of the library's range.
    void Log(const WindowMessage &message) { m_log.push_back(message); }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::vector<WindowMessage> m_log;
};

// Makes sure the window system the library uses is there (on Linux the
// tests' X server, named by DISPLAY); false when it cannot be had.
bool EnsureWindowSystem();

// A message number of the application's range for the tests.
constexpr UINT kMsgFileEnd = 1024 + 0x300;
constexpr UINT kMsgMarker = 1024 + 0x301;

} // namespace porttest
