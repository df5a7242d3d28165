// The window qvplay plays into: an X11 window on Linux, a Win32 window on
// Windows. Its handle is what the library's viewports take. Key presses
// come out as platform-neutral keys, so the command decides what each does
// in one place.
#pragma once

#include <string>

#include "qvtypes.h"

enum class PlayKey {
    Quit,        // q, Escape
    Pause,       // space
    StepForward, // Right
    StepBack,    // Left
    Faster,      // Up
    Slower,      // Down
    Backward,    // b
    Home,        // Home
    End,         // End
    Snapshot,    // s
    Digit0,      // 0 .. 9 follow in order
    Digit1,
    Digit2,
    Digit3,
    Digit4,
    Digit5,
    Digit6,
    Digit7,
    Digit8,
    Digit9,
};

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
    // closed the window. Keys pressed meanwhile wait in NextKey.
    bool Pump(int timeoutMs);
    // The oldest key not yet taken; false when none.
    bool NextKey(PlayKey *pKey);

    // The platform's own; public for the Win32 window procedure.
    struct State;

private:
    State *m_state;
};
