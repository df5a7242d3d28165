#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>

#include "display/windowsystem.h"
#include "windowloop.h"

namespace porttest {

namespace {

constexpr UINT_PTR kWakeTimer = 1;
constexpr wchar_t kClassName[] = L"QvPortTestWindow";

LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
    // The library's messages are in the application's private range.
    if (nMsg >= WM_USER && nMsg < 0x8000) {
        auto *pWindow = reinterpret_cast<CMessageWindow *>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (pWindow != nullptr)
            pWindow->Log(WindowMessage{nMsg, uint64_t(wParam), int64_t(lParam)});
        return 0;
    }
    return DefWindowProcW(hWnd, nMsg, wParam, lParam);
}

} // namespace

struct CMessageWindow::Impl {
    HWND hWnd = nullptr;
};

CMessageWindow::CMessageWindow(int nWidth, int nHeight) : m_impl(new Impl) {
    static const ATOM s_class = [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
        wc.lpszClassName = kClassName;
        return RegisterClassW(&wc);
    }();
    if (s_class == 0) {
        ADD_FAILURE() << "RegisterClassW failed: " << GetLastError();
        return;
    }
    RECT rc{0, 0, nWidth, nHeight};
    const DWORD dwStyle = WS_OVERLAPPED | WS_CAPTION;
    AdjustWindowRect(&rc, dwStyle, FALSE);
    m_impl->hWnd =
        CreateWindowExW(0, kClassName, L"port test", dwStyle | WS_VISIBLE, 0, 0, rc.right - rc.left,
                        rc.bottom - rc.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (m_impl->hWnd == nullptr) {
        ADD_FAILURE() << "CreateWindowExW failed: " << GetLastError();
        return;
    }
    SetWindowLongPtrW(m_impl->hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    // GetMessage returns at least this often, so the loop can look at the
    // time.
    SetTimer(m_impl->hWnd, kWakeTimer, 20, nullptr);
    UpdateWindow(m_impl->hWnd);
}

CMessageWindow::~CMessageWindow() {
    if (m_impl->hWnd != nullptr) {
        KillTimer(m_impl->hWnd, kWakeTimer);
        SetWindowLongPtrW(m_impl->hWnd, GWLP_USERDATA, 0);
        DestroyWindow(m_impl->hWnd);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
}

bool CMessageWindow::Valid() const {
    return m_impl->hWnd != nullptr;
}

HWND CMessageWindow::Handle() const {
    return m_impl->hWnd;
}

bool CMessageWindow::RunUntil(const std::function<bool()> &done, uint32_t timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        MSG msg;
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0)
            return done();
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool EnsureWindowSystem() {
    return true;
}

bool CMessageWindow::PostMarker(UINT nMsg) {
    return display::PostWindowMessage(Handle(), nMsg, 0, 0);
}

} // namespace porttest

#endif // _WIN32
