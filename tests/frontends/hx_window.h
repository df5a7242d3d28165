// A real window with a real message loop for the HX tests: messages the
// library posts to it are taken off the window system's queue and handed to
// a handler on the test's thread, as a host application would see them.
// Windows: a Win32 window and a PeekMessage/DispatchMessage loop. Linux: an
// X11 window (under the tests' Xvfb) whose ClientMessage events carry the
// library's atom and the message's three values.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "qvplayport.h"
#include "qvtypes.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <X11/Xlib.h>

#include "tests/display/xserver.h"
#endif

namespace hxtest {

struct Message {
    UINT nMsg;
    WPARAM wParam;
    LPARAM lParam;
};

class CMessageWindow {
public:
    // A visible window of the size given; Valid() tells whether it was made.
    CMessageWindow(int nWidth, int nHeight) {
#ifdef _WIN32
        static const ATOM s_atom = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = WindowProc;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
            wc.lpszClassName = L"QvHxTestWindow";
            return RegisterClassW(&wc);
        }();
        if (s_atom == 0)
            return;
        RECT rc{0, 0, nWidth, nHeight};
        const DWORD dwStyle = WS_OVERLAPPED | WS_CAPTION;
        AdjustWindowRect(&rc, dwStyle, FALSE);
        m_hWnd =
            CreateWindowExW(0, L"QvHxTestWindow", L"hx test", dwStyle | WS_VISIBLE, 0, 0, rc.right - rc.left,
                            rc.bottom - rc.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (m_hWnd != nullptr) {
            SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            UpdateWindow(m_hWnd);
        }
#else
        std::string error;
        m_pDisplay = testx::EnsureDisplay(&error);
        if (m_pDisplay == nullptr) {
            ADD_FAILURE() << "no X display: " << error;
            return;
        }
        m_window = testx::CreateWindow(0, 0, nWidth, nHeight, 0x000000);
        m_atom = XInternAtom(m_pDisplay, QV_WINDOW_MESSAGE_ATOM, False);
#endif
    }
    ~CMessageWindow() {
#ifdef _WIN32
        if (m_hWnd != nullptr) {
            SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
            DestroyWindow(m_hWnd);
            Pump();
        }
#else
        if (m_window != 0)
            testx::DestroyWindow(m_window);
#endif
    }
    CMessageWindow(const CMessageWindow &) = delete;
    CMessageWindow &operator=(const CMessageWindow &) = delete;

    bool Valid() const {
        return Handle() != 0;
    }
    HWND Handle() const {
#ifdef _WIN32
        return m_hWnd;
#else
        return static_cast<HWND>(m_window);
#endif
    }

    // Called on the test's thread for each message as it is dispatched,
    // before it is logged.
    void SetHandler(std::function<void(const Message &)> handler) {
        m_handler = std::move(handler);
    }

    // Dispatches what waits in the queue.
    void Pump() {
#ifdef _WIN32
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
#else
        if (m_pDisplay == nullptr || m_window == 0)
            return;
        XEvent event;
        while (XCheckTypedWindowEvent(m_pDisplay, m_window, ClientMessage, &event)) {
            if (event.xclient.message_type != m_atom || event.xclient.format != 32)
                continue;
            // Each value comes as 32-bit halves: low in l[1] and l[2], high
            // in l[3] and l[4].
            const long *l = event.xclient.data.l;
            auto whole = [](long low, long high) {
                return uint64_t(uint32_t(low)) | uint64_t(uint32_t(high)) << 32;
            };
            Dispatch(Message{static_cast<UINT>(uint32_t(l[0])), static_cast<WPARAM>(whole(l[1], l[3])),
                             static_cast<LPARAM>(whole(l[2], l[4]))});
        }
#endif
    }

    // Runs the loop until done() holds (true) or the time is up (false).
    bool LoopUntil(const std::function<bool()> &done, uint32_t timeoutMs = 20000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            Pump();
            if (done())
                return true;
            if (std::chrono::steady_clock::now() >= end)
                return false;
            platform::SleepMs(2);
        }
    }

    // Messages received so far with this number.
    std::vector<Message> Received(UINT nMsg) {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<Message> v;
        for (const Message &m : m_log)
            if (m.nMsg == nMsg)
                v.push_back(m);
        return v;
    }
    size_t Count(UINT nMsg) {
        return Received(nMsg).size();
    }
    bool WaitFor(UINT nMsg, size_t count = 1) {
        return LoopUntil([&] { return Count(nMsg) >= count; });
    }

private:
    void Dispatch(const Message &m) {
        if (m_handler)
            m_handler(m);
        std::lock_guard<std::mutex> guard(m_lock);
        m_log.push_back(m);
    }

#ifdef _WIN32
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
        // Messages of the tests are in the application range.
        if (nMsg >= WM_APP && nMsg <= 0xBFFF) {
            auto *pThis = reinterpret_cast<CMessageWindow *>(GetWindowLongPtrW(hWnd, GWLP_USERDATA));
            if (pThis != nullptr)
                pThis->Dispatch(Message{nMsg, wParam, lParam});
            return 0;
        }
        return DefWindowProcW(hWnd, nMsg, wParam, lParam);
    }
    HWND m_hWnd = nullptr;
#else
    Display *m_pDisplay = nullptr;
    Window m_window = 0;
    Atom m_atom = 0;
#endif
    std::function<void(const Message &)> m_handler;
    std::mutex m_lock;
    std::vector<Message> m_log;
};

// Message numbers the tests give (in the application range on Windows).
#ifdef _WIN32
constexpr UINT kMsgFileEnd = WM_APP + 1;
constexpr UINT kMsgSnapshot = WM_APP + 2;
constexpr UINT kMsgRecordSize = WM_APP + 3;
#else
constexpr UINT kMsgFileEnd = 0x8001;
constexpr UINT kMsgSnapshot = 0x8002;
constexpr UINT kMsgRecordSize = 0x8003;
#endif

} // namespace hxtest
