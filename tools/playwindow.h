// The window qvplay plays into: an X11 window on Linux, a Win32 window on
// Windows. Its handle is what the library's viewports take.
#pragma once

#include <string>

#include "qvtypes.h"

class CPlayWindow {
public:
    CPlayWindow();
    ~CPlayWindow();
    CPlayWindow(const CPlayWindow &) = delete;
    CPlayWindow &operator=(const CPlayWindow &) = delete;

    // Creates and shows a window with a client area of width x height.
    bool Create(int width, int height, const std::string &title);
    HWND Handle() const;
    void SetClientSize(int width, int height);
    void SetTitle(const std::string &title);
    // Handles the window's events for up to timeoutMs; false once the user
    // closed the window.
    bool Pump(int timeoutMs);

private:
    struct State;
    State *m_state;
};
