// The window questions of the display, answered by the window system or, in
// tests of the display logic, by the test.
#include "display/windowsystem.h"

#include <atomic>

namespace display {

namespace {
std::atomic<const WindowSystemOverride *> g_pOverride{nullptr};
} // namespace

void SetWindowSystemOverride(const WindowSystemOverride *pOverride) {
    g_pOverride.store(pOverride);
}

bool IsWindowAlive(HWND hWnd) {
    if (const WindowSystemOverride *pOverride = g_pOverride.load())
        return pOverride->pfnIsWindowAlive(hWnd);
    return hWnd != 0 && SystemIsWindowAlive(hWnd);
}

bool GetClientArea(HWND hWnd, RECT *pRect) {
    *pRect = RECT{0, 0, 0, 0};
    if (const WindowSystemOverride *pOverride = g_pOverride.load())
        return pOverride->pfnGetClientArea(hWnd, pRect);
    return hWnd != 0 && SystemGetClientArea(hWnd, pRect);
}

} // namespace display
