// The process-wide paint hook: watches the viewport windows of every display
// manager and asks the managers concerned to repaint a window that must be
// painted again. On Windows it hooks the threads that own the windows
// (WM_PAINT sent or removed from the queue); on Linux it selects Expose
// events on the windows through a connection and thread of its own.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/sync.h"
#include "qvtypes.h"

class CDisplayManager;

class CHookPaint {
public:
    static CHookPaint &Instance();

    // Adds the manager (once) and starts watching its windows, stopping at
    // the first failure. Called without the manager's lock.
    int32_t Register(CDisplayManager *pManager, const std::vector<HWND> &windows);
    // DISPLAY_E_NULL_POINTER for a null manager; hooks already installed stay.
    int32_t Unregister(CDisplayManager *pManager);
    // From the hook procedures: every registered manager that shows hWnd is
    // asked to repaint it.
    void OnPaint(HWND hWnd);

    // Ends every watch (at unload; also for tests).
    void Shutdown();

private:
    CHookPaint() = default;
    ~CHookPaint();

    // Per system (win32/, linux/): starts watching one window; idempotent per
    // window thread (Windows) or window (Linux). Called without m_lock.
    int32_t Watch(HWND hWnd);
    // Per system: removes every hook or watch.
    void UnwatchAll();

    // Taken before any manager's lock.
    platform::CLock m_lock;
    std::vector<CDisplayManager *> m_managers;
};
