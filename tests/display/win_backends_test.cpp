// The Windows back ends on real windows: colour bars go through a display
// manager with one back end (or a fallback chain), the window is read back
// with GDI and the bar centres are compared with the integer conversion.
// Hardware back ends convert and scale on the graphics adapter, so their
// colours are compared with a tolerance; DrawDib uses our own conversion.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "display/displaymanager.h"
#include "display/win32/drawdib.h"
#include "display/yuv2rgb.h"

namespace {

constexpr int kClientWidth = 400;
constexpr int kClientHeight = 300;
constexpr COLORREF kBackground = RGB(255, 0, 255); // never one of the bars
constexpr uint32_t kPictureDuration = 40000;       // microseconds
constexpr DWORD kPresentTimeoutMs = 10000;         // shared machines, software rendering

struct Yuv {
    uint8_t y, u, v;
};
// Eight bars whose RGB values lie far apart (at least 131 in some channel)
// and away from clamping, so that a bar in the wrong place cannot pass.
constexpr std::array<Yuv, 8> kBars = {{{90, 180, 180},
                                       {170, 90, 70},
                                       {60, 110, 120},
                                       {80, 180, 90},
                                       {180, 70, 160},
                                       {190, 140, 150},
                                       {180, 150, 70},
                                       {90, 100, 180}}};

struct Rgb {
    int r, g, b;
};

std::string FourCCName(uint32_t dwFourCC) {
    return std::string{static_cast<char>(dwFourCC), static_cast<char>(dwFourCC >> 8),
                       static_cast<char>(dwFourCC >> 16), static_cast<char>(dwFourCC >> 24)};
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

// Pumps this thread's messages (the test windows live on it) until done()
// holds or the time is up.
bool WaitFor(const std::function<bool()> &done, DWORD dwTimeoutMs = kPresentTimeoutMs) {
    const ULONGLONG qwEnd = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        Pump();
        if (done())
            return true;
        if (GetTickCount64() >= qwEnd)
            return false;
        Sleep(10);
    }
}

// Keeps pumping for a while (nothing is expected to happen meanwhile).
void Idle(DWORD dwMs) {
    WaitFor([] { return false; }, dwMs);
}

// A picture of vertical bars (kBars, or in reverse order) in any of the
// formats, and the RGB rows our own conversion makes of it.
struct Picture {
    std::vector<uint8_t> data;
    DISPLAY_PICTURE picture{};
    std::vector<uint8_t> rgb; // top-down, blue, green, red

    Rgb At(int x, int y) const {
        const uint8_t *p = &rgb[(static_cast<size_t>(y) * picture.nWidth + x) * 3];
        return Rgb{p[2], p[1], p[0]};
    }
    // The colour of bar i (counted from the left of the picture) in the
    // middle of the picture and in its top quarter.
    Rgb Bar(int i) const { return At((2 * i + 1) * picture.nWidth / 16, picture.nHeight / 2); }
    Rgb TopBar(int i) const { return At((2 * i + 1) * picture.nWidth / 16, picture.nHeight / 8); }
};

std::unique_ptr<Picture> MakeBars(uint32_t dwFourCC, int w, int h, bool bReversed = false) {
    auto pPicture = std::make_unique<Picture>();
    const size_t cbPicture = static_cast<size_t>(w) * h * CBaseDisplay::BitsPerPixel(dwFourCC) / 8;
    std::vector<uint8_t> &data = pPicture->data;
    data.assign(cbPicture, 0);
    // The top quarter carries the bars in the other order, so that a picture
    // shown upside down (or with misplaced chroma rows) cannot pass.
    auto bar = [&](int x, int y) {
        const int i = x * 8 / w;
        return kBars[(bReversed != (y < h / 4)) ? 7 - i : i];
    };
    const size_t cbLuma = static_cast<size_t>(w) * h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Yuv c = bar(x, y);
            const size_t i = static_cast<size_t>(y) * w + x;
            const size_t pair = (static_cast<size_t>(y) * w + (x & ~1)) * 2; // packed 4:2:2
            switch (dwFourCC) {
            case DISPLAY_FOURCC_I420:
            case DISPLAY_FOURCC_YV12:
            case DISPLAY_FOURCC_NV12:
            case DISPLAY_FOURCC_NV21: {
                data[i] = c.y;
                if ((x | y) & 1)
                    break;
                const size_t ci = static_cast<size_t>(y / 2) * (w / 2) + x / 2;
                const size_t cbChroma = cbLuma / 4;
                if (dwFourCC == DISPLAY_FOURCC_I420) {
                    data[cbLuma + ci] = c.u;
                    data[cbLuma + cbChroma + ci] = c.v;
                } else if (dwFourCC == DISPLAY_FOURCC_YV12) {
                    data[cbLuma + ci] = c.v;
                    data[cbLuma + cbChroma + ci] = c.u;
                } else {
                    const bool bUFirst = dwFourCC == DISPLAY_FOURCC_NV12;
                    data[cbLuma + 2 * ci] = bUFirst ? c.u : c.v;
                    data[cbLuma + 2 * ci + 1] = bUFirst ? c.v : c.u;
                }
                break;
            }
            case DISPLAY_FOURCC_YUY2:
                data[pair + ((x & 1) ? 2 : 0)] = c.y;
                data[pair + 1] = c.u;
                data[pair + 3] = c.v;
                break;
            case DISPLAY_FOURCC_YVYU:
                data[pair + ((x & 1) ? 2 : 0)] = c.y;
                data[pair + 1] = c.v;
                data[pair + 3] = c.u;
                break;
            case DISPLAY_FOURCC_UYVY:
                data[pair + ((x & 1) ? 3 : 1)] = c.y;
                data[pair] = c.u;
                data[pair + 2] = c.v;
                break;
            case DISPLAY_FOURCC_IYU2:
                data[3 * i] = c.u;
                data[3 * i + 1] = c.y;
                data[3 * i + 2] = c.v;
                break;
            default:
                ADD_FAILURE() << "no test pattern for " << FourCCName(dwFourCC);
            }
        }
    }
    DISPLAY_PICTURE &picture = pPicture->picture;
    picture.dwSize = DISPLAY_PICTURE_SIZE;
    picture.dwFourCC = dwFourCC;
    picture.nWidth = w;
    picture.nHeight = h;
    picture.pData = data.data();
    picture.dwDataSize = static_cast<uint32_t>(data.size());
    picture.dwDuration = kPictureDuration;

    pPicture->rgb.assign(static_cast<size_t>(w) * h * 3, 0);
    CONVERT_SETTING setting{};
    setting.dwFourCC = dwFourCC;
    setting.wWidth = w;
    setting.wHeight = h;
    setting.pYuv = data.data();
    setting.dwYuvSize = picture.dwDataSize;
    setting.pRgb24 = pPicture->rgb.data();
    setting.dwRgbSize = static_cast<uint32_t>(pPicture->rgb.size());
    setting.bTopDown = TRUE;
    setting.dwPicth = static_cast<uint32_t>(w) * 3;
    EXPECT_TRUE(CYuv2Rgb::ConvertScalar(&setting));
    return pPicture;
}

// A top-level window with a client area of kClientWidth x kClientHeight,
// filled with kBackground when erased.
class TestWindow {
public:
    TestWindow(int x, int y) {
        static const ATOM s_atom = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = DefWindowProcW;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
            wc.hbrBackground = CreateSolidBrush(kBackground);
            wc.lpszClassName = L"QvDisplayTestWindow";
            return RegisterClassW(&wc);
        }();
        EXPECT_NE(s_atom, 0);
        RECT rc{0, 0, kClientWidth, kClientHeight};
        const DWORD dwStyle = WS_OVERLAPPED | WS_CAPTION;
        AdjustWindowRect(&rc, dwStyle, FALSE);
        m_hWnd = CreateWindowExW(0, L"QvDisplayTestWindow", L"display test", dwStyle | WS_VISIBLE, x, y,
                                 rc.right - rc.left, rc.bottom - rc.top, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
        EXPECT_NE(m_hWnd, nullptr);
        UpdateWindow(m_hWnd);
        Idle(100);
    }
    ~TestWindow() { Destroy(); }
    TestWindow(const TestWindow &) = delete;
    TestWindow &operator=(const TestWindow &) = delete;

    HWND Handle() const { return m_hWnd; }
    void Destroy() {
        if (m_hWnd && IsWindow(m_hWnd))
            DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
        Pump();
    }
    // Paints the client area with GDI (no WM_PAINT involved).
    void Fill(COLORREF color) {
        HDC hDC = GetDC(m_hWnd);
        RECT rc;
        GetClientRect(m_hWnd, &rc);
        HBRUSH hBrush = CreateSolidBrush(color);
        FillRect(hDC, &rc, hBrush);
        DeleteObject(hBrush);
        GdiFlush();
        ReleaseDC(m_hWnd, hDC);
    }

private:
    HWND m_hWnd = nullptr;
};

// The client area as it is on the screen: the screen's device context reads
// the X server, where GL presents and DirectDraw's primary surface end up
// (a window's own DC would only see what GDI drew into it).
class Capture {
public:
    explicit Capture(HWND hWnd) {
        RECT rc{};
        GetClientRect(hWnd, &rc);
        m_nWidth = rc.right;
        m_nHeight = rc.bottom;
        if (m_nWidth <= 0 || m_nHeight <= 0)
            return;
        POINT origin{0, 0};
        ClientToScreen(hWnd, &origin);
        HDC hWindowDC = GetDC(nullptr);
        HDC hMemoryDC = CreateCompatibleDC(hWindowDC);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = m_nWidth;
        info.bmiHeader.biHeight = -m_nHeight; // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        void *pBits = nullptr;
        HBITMAP hBitmap = CreateDIBSection(hWindowDC, &info, DIB_RGB_COLORS, &pBits, nullptr, 0);
        if (hBitmap && pBits) {
            HGDIOBJ hOld = SelectObject(hMemoryDC, hBitmap);
            BitBlt(hMemoryDC, 0, 0, m_nWidth, m_nHeight, hWindowDC, origin.x, origin.y, SRCCOPY);
            GdiFlush();
            const auto *pPixels = static_cast<const uint32_t *>(pBits);
            m_pixels.assign(pPixels, pPixels + static_cast<size_t>(m_nWidth) * m_nHeight);
            SelectObject(hMemoryDC, hOld);
        }
        if (hBitmap)
            DeleteObject(hBitmap);
        DeleteDC(hMemoryDC);
        ReleaseDC(nullptr, hWindowDC);
    }

    bool Valid() const { return !m_pixels.empty(); }
    Rgb At(int x, int y) const {
        if (x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight || m_pixels.empty())
            return Rgb{-1000, -1000, -1000};
        const uint32_t px = m_pixels[static_cast<size_t>(y) * m_nWidth + x];
        return Rgb{static_cast<int>((px >> 16) & 0xFF), static_cast<int>((px >> 8) & 0xFF),
                   static_cast<int>(px & 0xFF)};
    }

private:
    int m_nWidth = 0, m_nHeight = 0;
    std::vector<uint32_t> m_pixels;
};

bool Near(const Rgb &a, const Rgb &b, int nTolerance) {
    return std::abs(a.r - b.r) <= nTolerance && std::abs(a.g - b.g) <= nTolerance &&
           std::abs(a.b - b.b) <= nTolerance;
}

std::string Describe(const Rgb &c) {
    return "(" + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b) + ")";
}

Rgb FromColorRef(COLORREF c) {
    return Rgb{GetRValue(c), GetGValue(c), GetBValue(c)};
}

// A point of the window and the colour expected there.
struct Probe {
    int x, y;
    Rgb expected;
};

::testing::AssertionResult Shows(HWND hWnd, const std::vector<Probe> &probes, int nTolerance) {
    Capture capture(hWnd);
    if (!capture.Valid())
        return ::testing::AssertionFailure() << "window not read back";
    std::string mismatches;
    for (const Probe &probe : probes) {
        const Rgb seen = capture.At(probe.x, probe.y);
        if (!Near(seen, probe.expected, nTolerance))
            mismatches += " at (" + std::to_string(probe.x) + "," + std::to_string(probe.y) + ") expected " +
                          Describe(probe.expected) + " seen " + Describe(seen) + ";";
    }
    if (!mismatches.empty())
        return ::testing::AssertionFailure() << mismatches;
    return ::testing::AssertionSuccess();
}

// The centres of the eight bars of a picture stretched over rcDest, in the
// middle and in the top quarter.
std::vector<Probe> BarProbes(const Picture &picture, const RECT &rcDest) {
    std::vector<Probe> probes;
    const int w = rcDest.right - rcDest.left, h = rcDest.bottom - rcDest.top;
    for (int i = 0; i < 8; ++i) {
        const int x = rcDest.left + (2 * i + 1) * w / 16;
        probes.push_back(Probe{x, rcDest.top + h / 2, picture.Bar(i)});
        probes.push_back(Probe{x, rcDest.top + h / 8, picture.TopBar(i)});
    }
    return probes;
}

const RECT kWholeClient = {0, 0, kClientWidth, kClientHeight};

// One display manager and the pictures it may still hold (they outlive it).
class Display {
public:
    explicit Display(uint32_t dwFlags) { m_nCreate = CreateDisplayManager(dwFlags, &m_pManager); }
    ~Display() { DestroyDisplayManager(m_pManager); }
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;

    int32_t CreateResult() const { return m_nCreate; }
    CDisplayManager *Manager() const { return m_pManager; }

    int32_t Add(uint32_t dwID, HWND hWnd, const RECT &rcSrc = RECT{}, const RECT &rcDest = RECT{}) {
        PLAY_VIEWPORT viewport{};
        viewport.dwSize = PLAY_VIEWPORT_SIZE;
        viewport.dwID = dwID;
        viewport.hDestWnd = hWnd;
        viewport.rcSrc = rcSrc;
        viewport.rcDest = rcDest;
        return AddViewport(m_pManager, &viewport);
    }
    int32_t Submit(std::unique_ptr<Picture> pPicture, const DISPLAY_PICTURE_HOOKS *pHooks = nullptr) {
        m_pictures.push_back(std::move(pPicture));
        return SubmitPicture(m_pManager, &m_pictures.back()->picture, pHooks);
    }
    const Picture &Last() const { return *m_pictures.back(); }
    uint32_t Backend() const {
        DISPLAY_STATUS status{};
        status.dwSize = DISPLAY_STATUS_SIZE;
        return GetStatus(m_pManager, &status) == DISPLAY_OK ? status.dwBackend : 0;
    }
    uint32_t ViewportCount() const {
        uint32_t dwCount = 0xFFFFFFFFu;
        return GetViewports(m_pManager, nullptr, &dwCount) == DISPLAY_OK ? dwCount : 0xFFFFFFFFu;
    }

private:
    std::deque<std::unique_ptr<Picture>> m_pictures; // destroyed after the manager
    CDisplayManager *m_pManager = nullptr;
    int32_t m_nCreate = DISPLAY_E_FAIL;
};

// Waits until the back end with flag dwBackend has presented and the window
// shows what the probes expect.
::testing::AssertionResult WaitShown(const Display &display, uint32_t dwBackend, HWND hWnd,
                                     const std::vector<Probe> &probes, int nTolerance) {
    ::testing::AssertionResult last = ::testing::AssertionFailure() << "never presented";
    const bool bShown = WaitFor([&] {
        if (display.Backend() != dwBackend)
            return false;
        last = Shows(hWnd, probes, nTolerance);
        return static_cast<bool>(last);
    });
    if (bShown)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "backend " << display.Backend() << " (expected " << dwBackend << "): " << last.message();
}

struct Backend {
    const char *pszName;
    uint32_t dwFlag;
    uint32_t dwFourCC; // a format this back end takes under wined3d
    int nTolerance;    // hardware conversion and scaling differ from ours
};

const Backend kDirect3D9 = {"Direct3D9", DISPLAY_FLAG_DIRECT3D9, DISPLAY_FOURCC_YV12, 24};
const Backend kDirectDraw7 = {"DirectDraw7", DISPLAY_FLAG_DIRECTDRAW7, DISPLAY_FOURCC_YV12, 24};
const Backend kDrawDib = {"DrawDib", DISPLAY_FLAG_DRAWDIB, DISPLAY_FOURCC_I420, 2};

std::string BackendName(const ::testing::TestParamInfo<Backend> &info) {
    return info.param.pszName;
}

class WinBackendTest : public ::testing::TestWithParam<Backend> {};

// --- Colour bars, then a picture of another format and size ---------------

struct FormatCase {
    Backend backend;
    uint32_t dwFirst, dwSecond;
};

class WinBackendFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(WinBackendFormatTest, PresentsBarsAndFollowsAFormatChange) {
    const FormatCase &c = GetParam();
    TestWindow window(20, 20);
    Display display(c.backend.dwFlag);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    ASSERT_EQ(display.Add(1, window.Handle()), DISPLAY_OK);

    ASSERT_EQ(display.Submit(MakeBars(c.dwFirst, 320, 240)), DISPLAY_OK);
    EXPECT_TRUE(WaitShown(display, c.backend.dwFlag, window.Handle(), BarProbes(display.Last(), kWholeClient),
                          c.backend.nTolerance));

    // New format and size (RGB rows padded), bars reversed: surfaces and
    // buffers are made again.
    ASSERT_EQ(display.Submit(MakeBars(c.dwSecond, 162, 122, true)), DISPLAY_OK);
    EXPECT_TRUE(WaitShown(display, c.backend.dwFlag, window.Handle(), BarProbes(display.Last(), kWholeClient),
                          c.backend.nTolerance));
}

INSTANTIATE_TEST_SUITE_P(WinFormats, WinBackendFormatTest,
                         ::testing::Values(FormatCase{kDirect3D9, DISPLAY_FOURCC_YV12, DISPLAY_FOURCC_YUY2},
                                           FormatCase{kDirect3D9, DISPLAY_FOURCC_NV12, DISPLAY_FOURCC_UYVY},
                                           FormatCase{kDirectDraw7, DISPLAY_FOURCC_YV12, DISPLAY_FOURCC_UYVY},
                                           FormatCase{kDirectDraw7, DISPLAY_FOURCC_YUY2, DISPLAY_FOURCC_YV12},
                                           FormatCase{kDrawDib, DISPLAY_FOURCC_I420, DISPLAY_FOURCC_YUY2},
                                           FormatCase{kDrawDib, DISPLAY_FOURCC_NV21, DISPLAY_FOURCC_IYU2},
                                           FormatCase{kDrawDib, DISPLAY_FOURCC_YV12, DISPLAY_FOURCC_UYVY}),
                         [](const ::testing::TestParamInfo<FormatCase> &info) {
                             return std::string(info.param.backend.pszName) + "_" +
                                    FourCCName(info.param.dwFirst) + "_" + FourCCName(info.param.dwSecond);
                         });

// --- Viewport rectangles ----------------------------------------------------

TEST_P(WinBackendTest, DrawsOnlyIntoTheDestinationRectangle) {
    const Backend &backend = GetParam();
    TestWindow window(20, 20);
    Display display(backend.dwFlag);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    const RECT rcDest = {100, 60, 300, 240};
    ASSERT_EQ(display.Add(1, window.Handle(), RECT{}, rcDest), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);

    std::vector<Probe> probes = BarProbes(display.Last(), rcDest);
    const Rgb background = FromColorRef(kBackground);
    // Around the rectangle, close to its edges and far from them.
    for (const POINT &pt : {POINT{95, 150}, POINT{305, 150}, POINT{200, 55}, POINT{200, 245}, POINT{10, 10},
                            POINT{390, 290}, POINT{50, 150}, POINT{350, 150}})
        probes.push_back(Probe{pt.x, pt.y, background});
    EXPECT_TRUE(WaitShown(display, backend.dwFlag, window.Handle(), probes, backend.nTolerance));
}

// Direct3D 9 and DrawDib sample the nearest pixel when stretching, so one
// column more or less shows; wined3d's DirectDraw blits filter linearly,
// which blurs the very columns this looks at.
class WinOddEdgeTest : public ::testing::TestWithParam<Backend> {};

TEST_P(WinOddEdgeTest, SourceRectangleWithOddEdges) {
    const Backend &backend = GetParam();
    TestWindow window(20, 20);
    Display display(backend.dwFlag);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    // Columns 39 to 80 of bars 40 pixels wide: one column of bar 0, bar 1,
    // one column of bar 2, stretched about ten times. Direct3D 9 widens odd
    // edges to even (columns 40 to 81): bar 0 vanishes at the left and
    // bar 2 starts further left.
    ASSERT_EQ(display.Add(1, window.Handle(), RECT{39, 1, 81, 239}), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);
    const Picture &picture = display.Last();
    const bool bEven = backend.dwFlag == DISPLAY_FLAG_DIRECT3D9;
    const std::vector<Probe> probes = {
        {3, 150, picture.Bar(bEven ? 1 : 0)},
        {200, 150, picture.Bar(1)},
        {385, 150, picture.Bar(bEven ? 2 : 1)},
        {396, 150, picture.Bar(2)},
    };
    EXPECT_TRUE(WaitShown(display, backend.dwFlag, window.Handle(), probes, backend.nTolerance));
}

// --- Repainting -------------------------------------------------------------

TEST_P(WinBackendTest, WmPaintThroughUpdateWindowRepaints) {
    const Backend &backend = GetParam();
    TestWindow window(20, 20);
    Display display(backend.dwFlag);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    ASSERT_EQ(display.Add(1, window.Handle()), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);
    const std::vector<Probe> bars = BarProbes(display.Last(), kWholeClient);
    ASSERT_TRUE(WaitShown(display, backend.dwFlag, window.Handle(), bars, backend.nTolerance));

    // The picture's time is over and nothing follows it: nothing but a
    // repaint can bring it back once the window is painted over.
    Idle(200);
    window.Fill(RGB(0, 0, 0));
    std::vector<Probe> black;
    for (const Probe &probe : bars)
        black.push_back(Probe{probe.x, probe.y, Rgb{0, 0, 0}});
    ASSERT_TRUE(WaitFor([&] { return static_cast<bool>(Shows(window.Handle(), black, 0)); }, 2000));
    Idle(300);
    EXPECT_TRUE(Shows(window.Handle(), black, 0)) << "repainted without WM_PAINT";

    InvalidateRect(window.Handle(), nullptr, FALSE);
    UpdateWindow(window.Handle()); // WM_PAINT sent straight to the window procedure
    EXPECT_TRUE(WaitShown(display, backend.dwFlag, window.Handle(), bars, backend.nTolerance));
}

TEST(WinPaintHookTest, NoRepaintWithoutThePaintHook) {
    TestWindow window(20, 20);
    Display display(DISPLAY_FLAG_DRAWDIB | DISPLAY_FLAG_NO_PAINT_HOOK);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    ASSERT_EQ(display.Add(1, window.Handle()), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(DISPLAY_FOURCC_I420, 320, 240)), DISPLAY_OK);
    const std::vector<Probe> bars = BarProbes(display.Last(), kWholeClient);
    ASSERT_TRUE(WaitShown(display, DISPLAY_FLAG_DRAWDIB, window.Handle(), bars, kDrawDib.nTolerance));

    Idle(200);
    window.Fill(RGB(0, 0, 0));
    InvalidateRect(window.Handle(), nullptr, FALSE);
    UpdateWindow(window.Handle());
    Idle(700);
    EXPECT_TRUE(Shows(window.Handle(), {Probe{200, 150, Rgb{0, 0, 0}}, Probe{25, 150, Rgb{0, 0, 0}}}, 0));
}

// --- Windows that go away ---------------------------------------------------

TEST_P(WinBackendTest, DestroyedWindowLosesItsViewport) {
    const Backend &backend = GetParam();
    TestWindow first(20, 20);
    TestWindow second(520, 20);
    Display display(backend.dwFlag);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    ASSERT_EQ(display.Add(1, first.Handle()), DISPLAY_OK);
    ASSERT_EQ(display.Add(2, second.Handle()), DISPLAY_OK);
    // Each picture twice: wined3d may lose the very first present of one of
    // several swap chains of a new device.
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);
    ASSERT_TRUE(WaitShown(display, backend.dwFlag, second.Handle(), BarProbes(display.Last(), kWholeClient),
                          backend.nTolerance));
    ASSERT_EQ(display.ViewportCount(), 2u);

    first.Destroy();
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240, true)), DISPLAY_OK);
    EXPECT_TRUE(WaitShown(display, backend.dwFlag, second.Handle(), BarProbes(display.Last(), kWholeClient),
                          backend.nTolerance));
    EXPECT_EQ(display.ViewportCount(), 1u);
    PLAY_VIEWPORT left{};
    uint32_t dwCount = 1;
    ASSERT_EQ(GetViewports(display.Manager(), &left, &dwCount), DISPLAY_OK);
    EXPECT_EQ(left.dwID, 2u);

    second.Destroy();
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 160, 120)), DISPLAY_OK);
    EXPECT_TRUE(WaitFor([&] { return display.ViewportCount() == 0; }));
    // Still usable: a new window gets the next picture.
    TestWindow third(20, 20);
    ASSERT_EQ(display.Add(3, third.Handle()), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240)), DISPLAY_OK);
    EXPECT_TRUE(WaitShown(display, backend.dwFlag, third.Handle(), BarProbes(display.Last(), kWholeClient),
                          backend.nTolerance));
}

// --- The client's DC hook ---------------------------------------------------

struct DcHookRecord {
    std::atomic<int> nCalls{0};
    std::atomic<uint32_t> dwSize{0};
    std::atomic<uint32_t> dwViewportID{0};
    std::atomic<bool> bFilled{false};
};

void QV_CALL DrawWhiteSquare(void *, PLAY_DC_RENDER *pRender, void *pContext) {
    auto *pRecord = static_cast<DcHookRecord *>(pContext);
    pRecord->dwSize = pRender->dwSize;
    pRecord->dwViewportID = pRender->viewport.dwID;
    RECT rc{10, 10, 40, 40};
    pRecord->bFilled = FillRect(pRender->hDC, &rc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))) != 0;
    GdiFlush();
    ++pRecord->nCalls;
}

TEST_P(WinBackendTest, DcRenderHookDrawsOverThePicture) {
    const Backend &backend = GetParam();
    TestWindow window(20, 20);
    Display display(backend.dwFlag);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    ASSERT_EQ(display.Add(7, window.Handle()), DISPLAY_OK);
    DcHookRecord record;
    DISPLAY_PICTURE_HOOKS hooks{};
    hooks.dwSize = DISPLAY_PICTURE_HOOKS_SIZE;
    hooks.pfnDcRender = DrawWhiteSquare;
    hooks.pDcRenderContext = &record;
    ASSERT_EQ(display.Submit(MakeBars(backend.dwFourCC, 320, 240), &hooks), DISPLAY_OK);
    const Picture &picture = display.Last();
    // The square covers part of bar 0 (0 to 50 in the window); the rest shows it.
    const std::vector<Probe> probes = {
        {25, 25, Rgb{255, 255, 255}}, {12, 38, Rgb{255, 255, 255}}, {25, 150, picture.Bar(0)},
        {45, 25, picture.TopBar(0)},  {25, 45, picture.TopBar(0)},  {225, 150, picture.Bar(4)},
    };
    EXPECT_TRUE(WaitShown(display, backend.dwFlag, window.Handle(), probes, backend.nTolerance));
    EXPECT_GE(record.nCalls.load(), 1);
    EXPECT_TRUE(record.bFilled.load());
    EXPECT_EQ(record.dwSize.load(), PLAY_DC_RENDER_SIZE);
    EXPECT_EQ(record.dwViewportID.load(), 7u);
}

INSTANTIATE_TEST_SUITE_P(WinBackends, WinBackendTest, ::testing::Values(kDirect3D9, kDirectDraw7, kDrawDib),
                         BackendName);
INSTANTIATE_TEST_SUITE_P(WinBackends, WinOddEdgeTest, ::testing::Values(kDirect3D9, kDrawDib), BackendName);

// --- Fallback from a back end that cannot show a picture ---------------------

struct FallbackCase {
    const char *pszName;
    uint32_t dwFlags;
    uint32_t dwFourCC;
    uint32_t dwPresenter; // the back end expected to present
    int nTolerance;
};

class WinFallbackTest : public ::testing::TestWithParam<FallbackCase> {};

TEST_P(WinFallbackTest, NextBackendPresents) {
    const FallbackCase &c = GetParam();
    TestWindow window(20, 20);
    Display display(c.dwFlags);
    ASSERT_EQ(display.CreateResult(), DISPLAY_OK);
    ASSERT_EQ(display.Add(1, window.Handle()), DISPLAY_OK);
    ASSERT_EQ(display.Submit(MakeBars(c.dwFourCC, 320, 240)), DISPLAY_OK);
    EXPECT_TRUE(WaitShown(display, c.dwPresenter, window.Handle(), BarProbes(display.Last(), kWholeClient),
                          c.nTolerance));
}

constexpr uint32_t kAllBackends = DISPLAY_FLAG_DIRECT3D9 | DISPLAY_FLAG_DIRECTDRAW7 | DISPLAY_FLAG_DRAWDIB;

// No display adapter converts "IYU2"; wined3d's DirectDraw has no NV12.
INSTANTIATE_TEST_SUITE_P(
    WinChains, WinFallbackTest,
    ::testing::Values(
        FallbackCase{"AllTakeYUY2", kAllBackends, DISPLAY_FOURCC_YUY2, DISPLAY_FLAG_DIRECT3D9, 24},
        FallbackCase{"IYU2ToDrawDib", kAllBackends, DISPLAY_FOURCC_IYU2, DISPLAY_FLAG_DRAWDIB, 2},
        FallbackCase{"DirectDrawFirst", DISPLAY_FLAG_DIRECTDRAW7 | DISPLAY_FLAG_DRAWDIB, DISPLAY_FOURCC_UYVY,
                     DISPLAY_FLAG_DIRECTDRAW7, 24},
        FallbackCase{"NV12PastDirectDraw", DISPLAY_FLAG_DIRECTDRAW7 | DISPLAY_FLAG_DRAWDIB,
                     DISPLAY_FOURCC_NV12, DISPLAY_FLAG_DRAWDIB, 2}),
    [](const ::testing::TestParamInfo<FallbackCase> &info) { return std::string(info.param.pszName); });

// --- DrawDib's reversed copy ------------------------------------------------

// Every plane's rows in reverse order, whatever the layout of the format.
TEST(WinDrawDibTest, InserseYuvReversesTheRowsOfEveryPlane) {
    struct Plane {
        size_t offset, rowBytes, rows;
    };
    const int w = 6, h = 4;
    const struct {
        uint32_t dwFourCC;
        std::vector<Plane> planes;
    } cases[] = {
        {DISPLAY_FOURCC_I420, {{0, 6, 4}, {24, 3, 2}, {30, 3, 2}}},
        {DISPLAY_FOURCC_YV12, {{0, 6, 4}, {24, 3, 2}, {30, 3, 2}}},
        {DISPLAY_FOURCC_NV12, {{0, 6, 4}, {24, 6, 2}}},
        {DISPLAY_FOURCC_NV21, {{0, 6, 4}, {24, 6, 2}}},
        {DISPLAY_FOURCC_YUY2, {{0, 12, 4}}},
        {DISPLAY_FOURCC_UYVY, {{0, 12, 4}}},
        {DISPLAY_FOURCC_YVYU, {{0, 12, 4}}},
        {DISPLAY_FOURCC_IYU2, {{0, 18, 4}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(FourCCName(c.dwFourCC));
        const size_t cb = static_cast<size_t>(w) * h * CBaseDisplay::BitsPerPixel(c.dwFourCC) / 8;
        std::vector<uint8_t> source(cb);
        for (size_t i = 0; i < cb; ++i)
            source[i] = static_cast<uint8_t>(i * 7 + 3);
        std::vector<uint8_t> target(cb + 1, 0xEE);
        DISPLAY_PICTURE picture{DISPLAY_PICTURE_SIZE,      c.dwFourCC, w, h, source.data(),
                                static_cast<uint32_t>(cb), 0,          0};
        ASSERT_EQ(CDrawDib::InserseYuv(&picture, target.data()), DISPLAY_OK);
        size_t covered = 0;
        for (const Plane &plane : c.planes) {
            for (size_t row = 0; row < plane.rows; ++row) {
                const uint8_t *pFrom = &source[plane.offset + row * plane.rowBytes];
                const uint8_t *pTo = &target[plane.offset + (plane.rows - 1 - row) * plane.rowBytes];
                EXPECT_EQ(std::memcmp(pFrom, pTo, plane.rowBytes), 0)
                    << "row " << row << " of plane at " << plane.offset;
            }
            covered += plane.rows * plane.rowBytes;
        }
        EXPECT_EQ(covered, cb);
        EXPECT_EQ(target[cb], 0xEE) << "wrote past the picture";
    }
}

TEST(WinDrawDibTest, InserseYuvRejectsWhatItCannotCopy) {
    std::vector<uint8_t> source(6 * 4 * 2), target(source.size());
    DISPLAY_PICTURE picture{DISPLAY_PICTURE_SIZE,
                            DISPLAY_FOURCC_YUY2,
                            6,
                            4,
                            source.data(),
                            static_cast<uint32_t>(source.size()),
                            0,
                            0};
    EXPECT_EQ(CDrawDib::InserseYuv(nullptr, target.data()), DISPLAY_E_INVALID_VALUE);
    EXPECT_EQ(CDrawDib::InserseYuv(&picture, nullptr), DISPLAY_E_INVALID_VALUE);
    DISPLAY_PICTURE unknown = picture;
    unknown.dwFourCC = QV_FOURCC('R', 'G', 'B', '3');
    EXPECT_EQ(CDrawDib::InserseYuv(&unknown, target.data()), DISPLAY_E_FAIL);
    DISPLAY_PICTURE shortData = picture;
    shortData.dwDataSize -= 1;
    EXPECT_EQ(CDrawDib::InserseYuv(&shortData, target.data()), DISPLAY_E_FAIL);
    // Memory that is not there: reported instead of faulting.
    void *pPage = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(pPage, nullptr);
    DISPLAY_PICTURE unmapped = picture;
    unmapped.pData = static_cast<uint8_t *>(pPage);
    EXPECT_EQ(CDrawDib::InserseYuv(&unmapped, target.data()), DISPLAY_E_FAIL);
    VirtualFree(pPage, 0, MEM_RELEASE);
}

TEST(WinDrawDibTest, RgbStrideIsPaddedToFourBytes) {
    EXPECT_EQ(CDrawDib::RgbStride(704), 2112u);
    EXPECT_EQ(CDrawDib::RgbStride(705), 2116u);
    EXPECT_EQ(CDrawDib::RgbStride(1), 4u);
}

} // namespace

#endif // _WIN32
