// Helpers of the QV_PLAY2_ tests: players closed at the end of a test, ANSI
// paths as a client of the platform writes them (the system code page under
// Windows, UTF-8 elsewhere), a real window to show pictures in, callback
// logs, and the references the frames are checked against.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "fixtures/recordings.h"
#include "platform/thread.h"
#include "platform/timers.h"
#include "qvdisplay.h"
#include "qvplay.h"
#include "qvplay2.h"
#include "tests/vdec/md5.h"

#ifndef _WIN32
#include <X11/Xlib.h>

#include "tests/display/xserver.h"
#endif

namespace play2test {

using filetest::kWaitMs;

// ---- Players ----

class CPlay2 {
public:
    CPlay2() = default;
    ~CPlay2() { Close(); }
    CPlay2(const CPlay2 &) = delete;
    CPlay2 &operator=(const CPlay2 &) = delete;
    PLAY2_HANDLE *Out() { return &m_h; }
    PLAY2_HANDLE Get() const { return m_h; }
    int32_t Close() {
        if (m_h == nullptr)
            return PLAY_OK;
        const int32_t n = QV_PLAY2_Close(m_h);
        m_h = nullptr;
        return n;
    }

private:
    PLAY2_HANDLE m_h = nullptr;
};

// ---- Paths ----

#ifdef _WIN32
// The wide string in the system code page; empty when a character has no
// exact counterpart there.
inline std::string ToAnsi(const std::wstring &wide) {
    if (wide.empty())
        return {};
    if (GetACP() == CP_UTF8) { // takes neither the flag nor the default-used report
        const int n =
            WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string out(size_t(n > 0 ? n : 0), '\0');
        if (n > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), int(wide.size()), out.data(), n, nullptr, nullptr);
        return out;
    }
    BOOL bDefaultUsed = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), int(wide.size()), nullptr,
                                      0, nullptr, &bDefaultUsed);
    if (n <= 0 || bDefaultUsed)
        return {};
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.c_str(), int(wide.size()), out.data(), n, nullptr,
                        &bDefaultUsed);
    return bDefaultUsed ? std::string() : out;
}
#endif

// The ANSI path of a file (under wine the machine's files are on Z:).
inline std::string AnsiPath(const std::filesystem::path &path) {
#ifdef _WIN32
    std::wstring wide = path.wstring();
    if (!wide.empty() && wide[0] == L'/')
        wide = L"Z:" + wide;
    const std::string ansi = ToAnsi(wide);
    EXPECT_FALSE(ansi.empty()) << "path not in the ANSI code page";
    return ansi;
#else
    return path.string();
#endif
}

// A folder name with characters outside ASCII that the ANSI code page can
// carry: Chinese where it can (always in UTF-8), else accented Latin letters.
inline std::filesystem::path NonAsciiName() {
#ifdef _WIN32
    for (const wchar_t *candidate : {L"\u5F55\u50CF_\u6D4B\u8BD5", L"\u00E9t\u00E9_\u00C0_\u00FC"}) {
        if (!ToAnsi(candidate).empty())
            return std::filesystem::path(std::wstring(candidate));
    }
    return {};
#else
    return std::filesystem::path(u8"\u5F55\u50CF_\u6D4B\u8BD5");
#endif
}

// Whole files by path: a path outside ASCII goes through the wide name on
// Windows, which the narrow fixture helpers cannot carry.
inline std::vector<uint8_t> ReadAll(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool WriteAll(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
    return bool(out);
}

// ---- A window to show pictures in ----

// A visible top-level window: Win32 on Windows (its messages are pumped while
// a test waits), an X11 window of the tests' X server elsewhere.
class CWindow {
public:
    CWindow(int nWidth, int nHeight) {
#ifdef _WIN32
        static const ATOM s_atom = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = DefWindowProcW;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
            wc.lpszClassName = L"QvPlay2TestWindow";
            return RegisterClassW(&wc);
        }();
        if (s_atom == 0)
            return;
        RECT rc{0, 0, nWidth, nHeight};
        const DWORD dwStyle = WS_OVERLAPPED | WS_CAPTION;
        AdjustWindowRect(&rc, dwStyle, FALSE);
        m_hWnd = CreateWindowExW(0, L"QvPlay2TestWindow", L"play2 test", dwStyle | WS_VISIBLE, 0, 0,
                                 rc.right - rc.left, rc.bottom - rc.top, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        if (m_hWnd != nullptr)
            UpdateWindow(m_hWnd);
#else
        std::string error;
        if (testx::EnsureDisplay(&error) == nullptr) {
            ADD_FAILURE() << "no X display: " << error;
            return;
        }
        m_window = testx::CreateWindow(0, 0, nWidth, nHeight, 0x000000);
#endif
    }
    ~CWindow() {
#ifdef _WIN32
        if (m_hWnd != nullptr) {
            DestroyWindow(m_hWnd);
            Pump();
        }
#else
        if (m_window != 0)
            testx::DestroyWindow(m_window);
#endif
    }
    CWindow(const CWindow &) = delete;
    CWindow &operator=(const CWindow &) = delete;

    HWND Handle() const {
#ifdef _WIN32
        return m_hWnd;
#else
        return static_cast<HWND>(m_window);
#endif
    }
    bool Valid() const {
        return Handle() != 0;
    }

    static void Pump() {
#ifdef _WIN32
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
#endif
    }

private:
#ifdef _WIN32
    HWND m_hWnd = nullptr;
#else
    Window m_window = 0;
#endif
};

// Waits until done() holds, keeping the test thread's windows answering.
inline bool WaitFor(const std::function<bool()> &done, uint32_t timeoutMs = kWaitMs) {
    return filetest::WaitUntil(
        [&] {
            CWindow::Pump();
            return done();
        },
        timeoutMs);
}

// ---- Callback logs ----

// A notification (index completed, file ended): how often, with which
// handle and context, on which thread.
struct Notified {
    std::atomic<int> count{0};
    std::atomic<PLAY2_HANDLE> handle{nullptr};
    std::atomic<void *> context{nullptr};
    std::atomic<uint32_t> thread{0};
};

inline int32_t QV_CALL OnNotify(PLAY2_HANDLE h, void *pContext) {
    Notified *n = static_cast<Notified *>(pContext);
    n->handle = h;
    n->context = pContext;
    n->thread = platform::CThread::CurrentThreadId();
    n->count++;
    return 0;
}

// What a frame callback received, copied during the call (the record lives
// only for the call).
struct SeenFrame {
    PLAY2_HANDLE h = nullptr;
    void *pContext = nullptr;
    PLAY2_FRAME_INFO info{};
    std::vector<uint8_t> header;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> pcm;
    std::string md5; // of a decoded picture, planes in ffmpeg's order
};

class CFrameLog {
public:
    void Add(SeenFrame f) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_frames.push_back(std::move(f));
    }
    std::vector<SeenFrame> Get() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames.size();
    }

private:
    std::mutex m_lock;
    std::vector<SeenFrame> m_frames;
};

// MD5 of a decoded picture as I420 (ffmpeg's yuv420p plane order) from the
// YV12 or I420 planes of a frame description; empty when there is none.
inline std::string PictureMd5(const PLAY2_FRAME_INFO &info) {
    const auto &v = info.u.video;
    const size_t luma = size_t(v.dwWidth) * v.dwHeight, chroma = luma / 4;
    if (v.pPicture == nullptr || v.dwPictureSize < luma + 2 * chroma)
        return {};
    const uint8_t *first = v.pPicture + luma;
    const uint8_t *second = first + chroma;
    const bool yv12 = v.dwFourCC == QV_FOURCC('Y', 'V', '1', '2');
    qvtest::CMd5 md5;
    md5.Update(v.pPicture, luma);
    md5.Update(yv12 ? second : first, chroma);
    md5.Update(yv12 ? first : second, chroma);
    return md5.Finish();
}

inline SeenFrame Copy(PLAY2_HANDLE h, const PLAY2_FRAME_INFO *pInfo, void *pContext) {
    SeenFrame f;
    f.h = h;
    f.pContext = pContext;
    f.info = *pInfo;
    if (pInfo->pHeader != nullptr)
        f.header.assign(pInfo->pHeader, pInfo->pHeader + pInfo->dwHeaderLength);
    if (pInfo->pPayload != nullptr)
        f.payload.assign(pInfo->pPayload, pInfo->pPayload + pInfo->dwPayloadLength);
    if (pInfo->dwType == 1 && pInfo->u.audio.pPcm != nullptr)
        f.pcm.assign(pInfo->u.audio.pPcm, pInfo->u.audio.pPcm + pInfo->u.audio.dwPcmSize);
    else if (pInfo->dwType >= 2 && pInfo->dwType <= 5)
        f.md5 = PictureMd5(*pInfo);
    return f;
}

// Logs into the CFrameLog given as context.
inline int32_t QV_CALL LogFrame(PLAY2_HANDLE h, const PLAY2_FRAME_INFO *pInfo, void *pContext) {
    static_cast<CFrameLog *>(pContext)->Add(Copy(h, pInfo, pContext));
    return 0;
}

// ---- References ----

// G.711 A-law to 16-bit linear, the textbook expansion.
inline int16_t AlawToLinear(uint8_t a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else
        t = (t + 0x108) << (seg - 1);
    return int16_t((a & 0x80) ? t : -t);
}

inline std::vector<uint8_t> AlawPcm(const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> pcm;
    for (uint8_t a : payload) {
        const uint16_t s = uint16_t(AlawToLinear(a));
        pcm.push_back(uint8_t(s));
        pcm.push_back(uint8_t(s >> 8));
    }
    return pcm;
}

// A V30 recording of the 352x288 clip without OSD items, so that pictures
// are the decoder's own and compare with ffmpeg's.
inline filetest::FileRecording PlainV30(uint32_t videoFrames, bool audio) {
    filetest::FileRecording r;
    r.gen = filetest::Gen::V30;
    r.clip = filetest::kSmallClip;
    V30Options o;
    o.videoSample = filetest::kSmallClip;
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = videoFrames;
    o.dwAudioCodec = audio ? DEMUX_CODEC_G711_ALAW : 0;
    o.title.clear();
    o.nClockStyle = -1;
    r.bytes = WriteV30(o, &r.frames);
    return r;
}

// Bytes of the V30 file header: the header block of a live stream.
constexpr uint32_t kV30HeaderSize = 256;

inline bool AllZero(const void *p, size_t n) {
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (size_t i = 0; i < n; ++i)
        if (b[i] != 0)
            return false;
    return true;
}

} // namespace play2test
