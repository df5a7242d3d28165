// qvplay's window on Windows.
#include <windows.h>

#include <string>
#include <vector>

#include "playwindow.h"

namespace {

LRESULT CALLBACK PlayWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    bool *pbClosed = reinterpret_cast<bool *>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    switch (uMsg) {
    case WM_CLOSE:
        if (pbClosed != nullptr)
            *pbClosed = true;
        return 0;
    case WM_KEYDOWN:
        if ((wParam == 'Q' || wParam == VK_ESCAPE) && pbClosed != nullptr)
            *pbClosed = true;
        return 0;
    case WM_ERASEBKGND:
        return 1; // the library paints the whole client area
    default:
        return DefWindowProcW(hWnd, uMsg, wParam, lParam);
    }
}

std::wstring Wide(const std::string &text) {
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(chars > 0 ? chars : 1, L'\0');
    if (chars > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), chars);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}

} // namespace

struct CPlayWindow::State {
    HWND hWnd = nullptr;
    bool bClosed = false;
};

CPlayWindow::CPlayWindow() : m_state(new State) {}

CPlayWindow::~CPlayWindow() {
    if (m_state->hWnd != nullptr)
        DestroyWindow(m_state->hWnd);
    delete m_state;
}

bool CPlayWindow::Create(int width, int height, const std::string &title) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PlayWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = L"qvplayWindow";
    RegisterClassW(&wc);
    RECT rc{0, 0, width, height};
    AdjustWindowRect(&rc, WS_OVERLAPPEDWINDOW, FALSE);
    m_state->hWnd =
        CreateWindowW(wc.lpszClassName, Wide(title).c_str(), WS_OVERLAPPEDWINDOW, 0, 0, rc.right - rc.left,
                      rc.bottom - rc.top, nullptr, nullptr, wc.hInstance, nullptr);
    if (m_state->hWnd == nullptr)
        return false;
    SetWindowLongPtrW(m_state->hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&m_state->bClosed));
    ShowWindow(m_state->hWnd, SW_SHOW);
    UpdateWindow(m_state->hWnd);
    return true;
}

HWND CPlayWindow::Handle() const {
    return m_state->hWnd;
}

void CPlayWindow::SetClientSize(int width, int height) {
    RECT rc{0, 0, width, height};
    AdjustWindowRect(&rc, WS_OVERLAPPEDWINDOW, FALSE);
    SetWindowPos(m_state->hWnd, nullptr, 0, 0, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOMOVE | SWP_NOZORDER);
}

void CPlayWindow::SetTitle(const std::string &title) {
    SetWindowTextW(m_state->hWnd, Wide(title).c_str());
}

bool CPlayWindow::Pump(int timeoutMs) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(timeoutMs), QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return !m_state->bClosed;
}
