// qvplay's window on Windows.
#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "playwindow.h"

struct CPlayWindow::State {
    HWND hWnd = nullptr;
    bool bClosed = false;
    std::deque<PlayKey> keys;
};

namespace {

// The key a virtual-key code stands for; false for keys qvplay does not use.
bool KeyOf(WPARAM vk, PlayKey *pKey) {
    if (vk >= '0' && vk <= '9') {
        *pKey = static_cast<PlayKey>(static_cast<int>(PlayKey::Digit0) + static_cast<int>(vk - '0'));
        return true;
    }
    if (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD9) {
        *pKey = static_cast<PlayKey>(static_cast<int>(PlayKey::Digit0) + static_cast<int>(vk - VK_NUMPAD0));
        return true;
    }
    switch (vk) {
    case 'Q':
    case VK_ESCAPE:
        *pKey = PlayKey::Quit;
        return true;
    case VK_SPACE:
        *pKey = PlayKey::Pause;
        return true;
    case VK_RIGHT:
        *pKey = PlayKey::StepForward;
        return true;
    case VK_LEFT:
        *pKey = PlayKey::StepBack;
        return true;
    case VK_UP:
        *pKey = PlayKey::Faster;
        return true;
    case VK_DOWN:
        *pKey = PlayKey::Slower;
        return true;
    case 'B':
        *pKey = PlayKey::Backward;
        return true;
    case VK_HOME:
        *pKey = PlayKey::Home;
        return true;
    case VK_END:
        *pKey = PlayKey::End;
        return true;
    case 'S':
        *pKey = PlayKey::Snapshot;
        return true;
    default:
        return false;
    }
}

LRESULT CALLBACK PlayWindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    CPlayWindow::State *pState =
        reinterpret_cast<CPlayWindow::State *>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    switch (uMsg) {
    case WM_CLOSE:
        if (pState != nullptr)
            pState->bClosed = true;
        return 0;
    case WM_KEYDOWN: {
        PlayKey key;
        if (pState != nullptr && KeyOf(wParam, &key))
            pState->keys.push_back(key);
        return 0;
    }
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
    SetWindowLongPtrW(m_state->hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(m_state));
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

bool CPlayWindow::NextKey(PlayKey *pKey) {
    if (m_state->keys.empty())
        return false;
    *pKey = m_state->keys.front();
    m_state->keys.pop_front();
    return true;
}
