// The paint hook's bookkeeping, common to every system; win32/ and linux/
// watch the windows.
#include "display/hookpaint.h"

#include <algorithm>
#include <atomic>

#include "display/displaymanager.h"

namespace {

std::atomic<CHookPaint *> g_pInstance{nullptr};

// When the library is unloaded the hooks and the watcher go (the object
// itself stays: a hook procedure may still be running on a client thread).
struct CUnloadHooks {
    ~CUnloadHooks() {
        if (CHookPaint *pInstance = g_pInstance.load())
            pInstance->Shutdown();
    }
} g_unloadHooks;

} // namespace

CHookPaint &CHookPaint::Instance() {
    static CHookPaint *s_pInstance = [] {
        CHookPaint *pInstance = new CHookPaint();
        g_pInstance.store(pInstance);
        return pInstance;
    }();
    return *s_pInstance;
}

CHookPaint::~CHookPaint() {
    Shutdown();
}

int32_t CHookPaint::Register(CDisplayManager *pManager, const std::vector<HWND> &windows) {
    if (pManager == nullptr)
        return DISPLAY_E_NULL_POINTER;
    {
        platform::CLockGuard guard(m_lock);
        if (std::find(m_managers.begin(), m_managers.end(), pManager) == m_managers.end())
            m_managers.push_back(pManager);
    }
    for (HWND hWnd : windows) {
        const int32_t nResult = Watch(hWnd);
        if (nResult < 0)
            return nResult;
    }
    return DISPLAY_OK;
}

int32_t CHookPaint::Unregister(CDisplayManager *pManager) {
    if (pManager == nullptr)
        return DISPLAY_E_NULL_POINTER;
    platform::CLockGuard guard(m_lock);
    m_managers.erase(std::remove(m_managers.begin(), m_managers.end(), pManager), m_managers.end());
    return DISPLAY_OK;
}

void CHookPaint::OnPaint(HWND hWnd) {
    // The hook's lock, then each manager's: the managers never call in here
    // while holding their own.
    platform::CLockGuard guard(m_lock);
    for (CDisplayManager *pManager : m_managers)
        pManager->RepaintIfMine(hWnd);
}

void CHookPaint::Shutdown() {
    UnwatchAll();
    platform::CLockGuard guard(m_lock);
    m_managers.clear();
}
