// The X11 back end under a real X server (Xvfb when none is given): pictures
// presented through the display manager into real windows and read back
// with XGetImage, compared with the integer conversion formulas; the
// scaler's routines against each other; the window questions.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "display/displaymanager.h"
#include "display/linux/x11connection.h"
#include "display/linux/x11display.h"
#include "display/windowsystem.h"
#include "tests/display/xserver.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBackground = 0x203040; // window background: never a bar colour
constexpr uint32_t kGreen = 0x00FF00;

// ---------------------------------------------------------------------------
// Test pictures: eight colour bars with a luma ripple, so that a pixel taken
// one column or row off shows.

struct Yuv {
    int y, u, v;
};
constexpr Yuv kBars[8] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                          {106, 202, 222}, {81, 90, 240},  {41, 240, 110}, {16, 128, 128}};

int RippleLuma(int x, int y, int nWidth) {
    const int nBar = x * 8 / nWidth;
    const int nY = kBars[nBar].y - 8 + (x * 3 + y * 5) % 16;
    return std::clamp(nY, 16, 235);
}

uint32_t Rgb601(int nY, int nU, int nV) {
    const int c = nY - 16, d = nU - 128, e = nV - 128;
    auto clamp = [](int n) { return static_cast<uint32_t>(std::clamp(n, 0, 255)); };
    const uint32_t r = clamp((149 * c + 204 * e) / 128);
    const uint32_t g = clamp((149 * c - 50 * d - 104 * e) / 128);
    const uint32_t b = clamp((149 * c + 258 * d) / 128);
    return (r << 16) | (g << 8) | b;
}

struct TestPicture {
    DISPLAY_PICTURE picture{};
    std::vector<uint8_t> data;
    std::vector<uint32_t> expected; // 0xRRGGBB, top-down
    int nWidth = 0, nHeight = 0;
    uint32_t At(int x, int y) const { return expected[static_cast<size_t>(y) * nWidth + x]; }
};

// I420 or YUY2 bars; bInverse reverses the bar order (a second picture).
TestPicture MakeBars(uint32_t dwFourCC, int nWidth, int nHeight, bool bInverse = false) {
    TestPicture t;
    t.nWidth = nWidth;
    t.nHeight = nHeight;
    auto bar = [&](int x) { return bInverse ? 7 - x * 8 / nWidth : x * 8 / nWidth; };
    auto luma = [&](int x, int y) { return RippleLuma(bInverse ? nWidth - 1 - x : x, y, nWidth); };
    t.expected.resize(static_cast<size_t>(nWidth) * nHeight);
    if (dwFourCC == DISPLAY_FOURCC_I420) {
        t.data.resize(static_cast<size_t>(nWidth) * nHeight * 3 / 2);
        uint8_t *pY = t.data.data(), *pU = pY + nWidth * nHeight, *pV = pU + nWidth * nHeight / 4;
        for (int y = 0; y < nHeight; ++y)
            for (int x = 0; x < nWidth; ++x)
                pY[y * nWidth + x] = static_cast<uint8_t>(luma(x, y));
        for (int y = 0; y < nHeight / 2; ++y)
            for (int x = 0; x < nWidth / 2; ++x) {
                pU[y * nWidth / 2 + x] = static_cast<uint8_t>(kBars[bar(2 * x)].u);
                pV[y * nWidth / 2 + x] = static_cast<uint8_t>(kBars[bar(2 * x)].v);
            }
        for (int y = 0; y < nHeight; ++y)
            for (int x = 0; x < nWidth; ++x) {
                const int c = (y / 2) * (nWidth / 2) + x / 2;
                t.expected[y * nWidth + x] = Rgb601(pY[y * nWidth + x], pU[c], pV[c]);
            }
    } else { // YUY2: Y0 U Y1 V
        t.data.resize(static_cast<size_t>(nWidth) * nHeight * 2);
        for (int y = 0; y < nHeight; ++y)
            for (int x = 0; x < nWidth; x += 2) {
                uint8_t *p = t.data.data() + (static_cast<size_t>(y) * nWidth + x) * 2;
                const Yuv &c = kBars[bar(x)];
                p[0] = static_cast<uint8_t>(luma(x, y));
                p[1] = static_cast<uint8_t>(c.u);
                p[2] = static_cast<uint8_t>(luma(x + 1, y));
                p[3] = static_cast<uint8_t>(c.v);
                t.expected[y * nWidth + x] = Rgb601(p[0], c.u, c.v);
                t.expected[y * nWidth + x + 1] = Rgb601(p[2], c.u, c.v);
            }
    }
    t.picture.dwSize = DISPLAY_PICTURE_SIZE;
    t.picture.dwFourCC = dwFourCC;
    t.picture.nWidth = nWidth;
    t.picture.nHeight = nHeight;
    t.picture.pData = t.data.data();
    t.picture.dwDataSize = static_cast<uint32_t>(t.data.size());
    // Expired after 40 ms, it stays on screen without being drawn again
    // until the next picture (or a repaint).
    t.picture.dwDuration = 40000;
    return t;
}

// ---------------------------------------------------------------------------
// Checks of a read-back window

std::string Hex(uint32_t dw) {
    char sz[16];
    std::snprintf(sz, sizeof(sz), "%06X", dw);
    return sz;
}

// Mismatches of rcDest (window coordinates) showing rcSrc of the picture
// stretched over it: exact where the scale is 1, else the pixel must be one
// of the source pixels around the ideal sampling position.
size_t CountScaledMismatches(const testx::Picture &window, const RECT &rcDest, const TestPicture &picture,
                             const RECT &rcSrc, std::string *pFirst) {
    size_t nBad = 0;
    const double dScaleX = double(rcSrc.right - rcSrc.left) / (rcDest.right - rcDest.left);
    const double dScaleY = double(rcSrc.bottom - rcSrc.top) / (rcDest.bottom - rcDest.top);
    const bool bExact = dScaleX == 1.0 && dScaleY == 1.0;
    for (int y = rcDest.top; y < rcDest.bottom; ++y) {
        for (int x = rcDest.left; x < rcDest.right; ++x) {
            const uint32_t dwGot = window.At(x, y);
            const int sx = rcSrc.left + int((x - rcDest.left + 0.5) * dScaleX);
            const int sy = rcSrc.top + int((y - rcDest.top + 0.5) * dScaleY);
            bool bOk = false;
            const int nReach = bExact ? 0 : 1;
            for (int dy = -nReach; dy <= nReach && !bOk; ++dy)
                for (int dx = -nReach; dx <= nReach && !bOk; ++dx) {
                    const int px = std::clamp(sx + dx, int(rcSrc.left), int(rcSrc.right) - 1);
                    const int py = std::clamp(sy + dy, int(rcSrc.top), int(rcSrc.bottom) - 1);
                    bOk = picture.At(px, py) == dwGot;
                }
            if (!bOk && nBad++ == 0 && pFirst != nullptr)
                *pFirst = "window (" + std::to_string(x) + "," + std::to_string(y) + ") = " + Hex(dwGot) +
                          ", picture (" + std::to_string(sx) + "," + std::to_string(sy) +
                          ") = " + Hex(picture.At(sx, sy));
        }
    }
    return nBad;
}

// Pixels of the window outside rcDest that are not dwColour.
size_t CountOutside(const testx::Picture &window, const RECT &rcDest, uint32_t dwColour) {
    size_t nBad = 0;
    for (int y = 0; y < window.nHeight; ++y)
        for (int x = 0; x < window.nWidth; ++x) {
            const bool bInside = x >= rcDest.left && x < rcDest.right && y >= rcDest.top && y < rcDest.bottom;
            if (!bInside && window.At(x, y) != dwColour)
                ++nBad;
        }
    return nBad;
}

bool WaitUntil(const std::function<bool()> &pred, int nMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(nMs);
    while (Clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pred();
}

// Waits until the window shows rcSrc of picture over rcDest; then asserts.
void ExpectShows(Window window, const RECT &rcDest, const TestPicture &picture, const RECT &rcSrc) {
    testx::Picture shot;
    std::string first;
    WaitUntil([&] {
        shot = testx::ReadWindow(window);
        return shot.nWidth >= rcDest.right && shot.nHeight >= rcDest.bottom &&
               CountScaledMismatches(shot, rcDest, picture, rcSrc, nullptr) == 0;
    });
    ASSERT_GE(shot.nWidth, rcDest.right);
    ASSERT_GE(shot.nHeight, rcDest.bottom);
    EXPECT_EQ(CountScaledMismatches(shot, rcDest, picture, rcSrc, &first), 0u) << first;
}

RECT Whole(const TestPicture &picture) {
    return RECT{0, 0, picture.nWidth, picture.nHeight};
}

PLAY_VIEWPORT Viewport(uint32_t dwID, Window window, RECT rcSrc = {}, RECT rcDest = {}) {
    PLAY_VIEWPORT viewport{};
    viewport.dwSize = PLAY_VIEWPORT_SIZE;
    viewport.dwID = dwID;
    viewport.hDestWnd = static_cast<HWND>(window);
    viewport.rcSrc = rcSrc;
    viewport.rcDest = rcDest;
    return viewport;
}

// ---------------------------------------------------------------------------
// Fixture: the X display, windows made by the test, managers destroyed at
// the end of each test.

class X11Display : public ::testing::Test {
protected:
    static void SetUpTestSuite() { s_pDisplay = testx::EnsureDisplay(&s_error); }

    void SetUp() override {
        ASSERT_NE(s_pDisplay, nullptr) << "no X display: " << s_error;
        CX11Display::AllowSharedMemory(true);
    }

    void TearDown() override {
        for (CDisplayManager *pManager : m_managers)
            DestroyDisplayManager(pManager);
        for (Window window : m_windows)
            testx::DestroyWindow(window);
        CX11Display::AllowSharedMemory(true);
    }

    CDisplayManager *Manager(uint32_t dwFlags = DISPLAY_FLAG_DRAWDIB) {
        CDisplayManager *pManager = nullptr;
        EXPECT_EQ(CreateDisplayManager(dwFlags, &pManager), DISPLAY_OK);
        if (pManager != nullptr)
            m_managers.push_back(pManager);
        return pManager;
    }

    Window NewWindow(int nX, int nY, int nWidth, int nHeight) {
        const Window window = testx::CreateWindow(nX, nY, nWidth, nHeight, kBackground);
        m_windows.push_back(window);
        return window;
    }

    void DestroyOwnWindow(Window window) {
        testx::DestroyWindow(window);
        m_windows.erase(std::remove(m_windows.begin(), m_windows.end(), window), m_windows.end());
    }

    static Display *s_pDisplay;
    static std::string s_error;
    std::vector<CDisplayManager *> m_managers;
    std::vector<Window> m_windows;
};

Display *X11Display::s_pDisplay = nullptr;
std::string X11Display::s_error;

// ---------------------------------------------------------------------------
// Colour bars: formats, sizes (scaled or not) and both ways of putting
// images (shared memory and plain requests).

struct BarsCase {
    const char *pszName;
    uint32_t dwFourCC;
    int nPictureWidth, nPictureHeight;
    int nWindowWidth, nWindowHeight;
    bool bSharedMemory;
};

void PrintTo(const BarsCase &c, std::ostream *pStream) {
    *pStream << c.pszName;
}

class X11DisplayBars : public X11Display, public ::testing::WithParamInterface<BarsCase> {};

TEST_P(X11DisplayBars, PresentsTheConvertedPicture) {
    const BarsCase &c = GetParam();
    CX11Display::AllowSharedMemory(c.bSharedMemory);
    const TestPicture picture = MakeBars(c.dwFourCC, c.nPictureWidth, c.nPictureHeight);
    const Window window = NewWindow(10, 10, c.nWindowWidth, c.nWindowHeight);
    CDisplayManager *pManager = Manager();
    ASSERT_NE(pManager, nullptr);
    const PLAY_VIEWPORT viewport = Viewport(1, window);
    ASSERT_EQ(AddViewport(pManager, &viewport), DISPLAY_OK);
    ASSERT_EQ(SubmitPicture(pManager, &picture.picture, nullptr), DISPLAY_OK);
    ExpectShows(window, RECT{0, 0, c.nWindowWidth, c.nWindowHeight}, picture, Whole(picture));
    DISPLAY_STATUS status{};
    status.dwSize = DISPLAY_STATUS_SIZE;
    ASSERT_EQ(GetStatus(pManager, &status), DISPLAY_OK);
    EXPECT_EQ(status.dwBackend, DISPLAY_FLAG_DRAWDIB);
}

const BarsCase kBarsCases[] = {
    {"I420_1to1_shm", DISPLAY_FOURCC_I420, 320, 240, 320, 240, true},
    {"I420_1to1_put", DISPLAY_FOURCC_I420, 320, 240, 320, 240, false},
    {"YUY2_1to1_shm", DISPLAY_FOURCC_YUY2, 320, 240, 320, 240, true},
    {"YUY2_1to1_put", DISPLAY_FOURCC_YUY2, 320, 240, 320, 240, false},
    {"I420_enlarged_shm", DISPLAY_FOURCC_I420, 320, 240, 517, 389, true},
    {"YUY2_reduced_put", DISPLAY_FOURCC_YUY2, 320, 240, 203, 151, false},
    {"I420_odd_window_put", DISPLAY_FOURCC_I420, 176, 144, 355, 97, false},
};

INSTANTIATE_TEST_SUITE_P(X11, X11DisplayBars, ::testing::ValuesIn(kBarsCases),
                         [](const ::testing::TestParamInfo<BarsCase> &info) { return info.param.pszName; });

// ---------------------------------------------------------------------------
// Rectangles

struct RectCase {
    const char *pszName;
    RECT rcSrc;  // as given
    RECT rcDest; // as given
    RECT rcSrcShown;
    RECT rcDestShown;
};

void PrintTo(const RectCase &c, std::ostream *pStream) {
    *pStream << c.pszName;
}

class X11DisplayRects : public X11Display, public ::testing::WithParamInterface<RectCase> {};

TEST_P(X11DisplayRects, DrawsOnlyTheDestinationFromTheSource) {
    const RectCase &c = GetParam();
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_I420, 320, 240);
    const Window window = NewWindow(10, 10, 400, 300);
    CDisplayManager *pManager = Manager();
    ASSERT_NE(pManager, nullptr);
    const PLAY_VIEWPORT viewport = Viewport(7, window, c.rcSrc, c.rcDest);
    ASSERT_EQ(AddViewport(pManager, &viewport), DISPLAY_OK);
    ASSERT_EQ(SubmitPicture(pManager, &picture.picture, nullptr), DISPLAY_OK);
    ExpectShows(window, c.rcDestShown, picture, c.rcSrcShown);
    const testx::Picture shot = testx::ReadWindow(window);
    EXPECT_EQ(CountOutside(shot, c.rcDestShown, kBackground), 0u) << "pixels drawn outside the destination";
}

const RectCase kRectCases[] = {
    // The whole picture halved into a rectangle of the window.
    {"DestInside", {}, {50, 40, 210, 160}, {0, 0, 320, 240}, {50, 40, 210, 160}},
    // Cut to the client area; shown 1:1.
    {"DestCutToClient", {}, {180, 160, 500, 400}, {0, 0, 320, 240}, {180, 160, 400, 300}},
    // Odd source edges at 1:1: every pixel exact, so an edge rounded off
    // by one shows.
    {"OddSource1to1", {41, 13, 201, 227}, {7, 9, 167, 223}, {41, 13, 201, 227}, {7, 9, 167, 223}},
    // Odd source edges enlarged over the whole window.
    {"OddSourceEnlarged", {33, 7, 97, 61}, {}, {33, 7, 97, 61}, {0, 0, 400, 300}},
    // A source beyond the picture is cut to it.
    {"SourceCutToPicture", {-10, -10, 100000, 100000}, {0, 0, 320, 240}, {0, 0, 320, 240}, {0, 0, 320, 240}},
};

INSTANTIATE_TEST_SUITE_P(X11, X11DisplayRects, ::testing::ValuesIn(kRectCases),
                         [](const ::testing::TestParamInfo<RectCase> &info) { return info.param.pszName; });

// ---------------------------------------------------------------------------
// Window changes

TEST_F(X11Display, ResizedWindowIsRepaintedAtItsNewSize) {
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_I420, 320, 240);
    const Window window = NewWindow(10, 10, 320, 240);
    CDisplayManager *pManager = Manager();
    ASSERT_NE(pManager, nullptr);
    const PLAY_VIEWPORT viewport = Viewport(1, window);
    ASSERT_EQ(AddViewport(pManager, &viewport), DISPLAY_OK);
    ASSERT_EQ(SubmitPicture(pManager, &picture.picture, nullptr), DISPLAY_OK);
    ExpectShows(window, RECT{0, 0, 320, 240}, picture, Whole(picture));
    // No new picture: the exposure that the resize causes brings the
    // repaint, scaled to the new client area.
    testx::ResizeWindow(window, 560, 420);
    ExpectShows(window, RECT{0, 0, 560, 420}, picture, Whole(picture));
    // Smaller, then the next picture at the new size.
    testx::ResizeWindow(window, 160, 120);
    const TestPicture second = MakeBars(DISPLAY_FOURCC_YUY2, 320, 240, true);
    ASSERT_EQ(SubmitPicture(pManager, &second.picture, nullptr), DISPLAY_OK);
    ExpectShows(window, RECT{0, 0, 160, 120}, second, Whole(second));
}

struct ExposeCase {
    const char *pszName;
    uint32_t dwFlags;
    bool bRepainted;
};

void PrintTo(const ExposeCase &c, std::ostream *pStream) {
    *pStream << c.pszName;
}

class X11DisplayExpose : public X11Display, public ::testing::WithParamInterface<ExposeCase> {};

TEST_P(X11DisplayExpose, ExposedWindowIsRepaintedThroughThePaintHook) {
    const ExposeCase &c = GetParam();
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_I420, 320, 240);
    const Window window = NewWindow(10, 10, 320, 240);
    CDisplayManager *pManager = Manager(c.dwFlags);
    ASSERT_NE(pManager, nullptr);
    const PLAY_VIEWPORT viewport = Viewport(1, window);
    ASSERT_EQ(AddViewport(pManager, &viewport), DISPLAY_OK);
    ASSERT_EQ(SubmitPicture(pManager, &picture.picture, nullptr), DISPLAY_OK);
    ExpectShows(window, RECT{0, 0, 320, 240}, picture, Whole(picture));
    // The picture has expired and has no successor: only a repaint can draw
    // it again.
    XClearArea(s_pDisplay, window, 0, 0, 0, 0, True);
    XSync(s_pDisplay, False);
    if (c.bRepainted) {
        ExpectShows(window, RECT{0, 0, 320, 240}, picture, Whole(picture));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const testx::Picture shot = testx::ReadWindow(window);
        EXPECT_EQ(CountOutside(shot, RECT{0, 0, 0, 0}, kBackground), 0u)
            << "repainted without the paint hook";
    }
}

const ExposeCase kExposeCases[] = {
    {"WithHook", DISPLAY_FLAG_DRAWDIB, true},
    {"WithoutHook", DISPLAY_FLAG_DRAWDIB | DISPLAY_FLAG_NO_PAINT_HOOK, false},
};

INSTANTIATE_TEST_SUITE_P(X11, X11DisplayExpose, ::testing::ValuesIn(kExposeCases),
                         [](const ::testing::TestParamInfo<ExposeCase> &info) { return info.param.pszName; });

TEST_F(X11Display, DestroyedWindowLosesItsViewport) {
    const TestPicture first = MakeBars(DISPLAY_FOURCC_I420, 320, 240);
    const TestPicture second = MakeBars(DISPLAY_FOURCC_I420, 320, 240, true);
    const Window doomed = NewWindow(10, 10, 320, 240);
    const Window kept = NewWindow(400, 10, 320, 240);
    CDisplayManager *pManager = Manager();
    ASSERT_NE(pManager, nullptr);
    const PLAY_VIEWPORT viewports[2] = {Viewport(1, doomed), Viewport(2, kept)};
    ASSERT_EQ(AddViewport(pManager, &viewports[0]), DISPLAY_OK);
    ASSERT_EQ(AddViewport(pManager, &viewports[1]), DISPLAY_OK);
    ASSERT_EQ(SubmitPicture(pManager, &first.picture, nullptr), DISPLAY_OK);
    ExpectShows(doomed, RECT{0, 0, 320, 240}, first, Whole(first));
    ExpectShows(kept, RECT{0, 0, 320, 240}, first, Whole(first));

    DestroyOwnWindow(doomed);
    ASSERT_EQ(SubmitPicture(pManager, &second.picture, nullptr), DISPLAY_OK);
    ExpectShows(kept, RECT{0, 0, 320, 240}, second, Whole(second));
    uint32_t dwCount = 0;
    ASSERT_TRUE(
        WaitUntil([&] { return GetViewports(pManager, nullptr, &dwCount) == DISPLAY_OK && dwCount == 1; }));
    PLAY_VIEWPORT left{};
    dwCount = 1;
    ASSERT_EQ(GetViewports(pManager, &left, &dwCount), DISPLAY_OK);
    EXPECT_EQ(left.dwID, 2u);
}

// ---------------------------------------------------------------------------
// The DC-render hook draws with Xlib on what it is given.

struct DcLog {
    std::atomic<int> nCalls{0};
    QV_X11_DC target{};
    PLAY_VIEWPORT viewport{};
    void *pManager = nullptr;
};

void QV_CALL DrawGreenBox(void *pManager, PLAY_DC_RENDER *pRender, void *pContext) {
    DcLog *pLog = static_cast<DcLog *>(pContext);
    const QV_X11_DC *pTarget = static_cast<const QV_X11_DC *>(pRender->hDC);
    if (pRender->dwSize != PLAY_DC_RENDER_SIZE || pTarget == nullptr ||
        pTarget->dwSize != sizeof(QV_X11_DC))
        return;
    Display *pDisplay = static_cast<Display *>(pTarget->pDisplay);
    GC gc = static_cast<GC>(pTarget->pGC);
    XSetForeground(pDisplay, gc, kGreen);
    XFillRectangle(pDisplay, pTarget->drawable, gc, 10, 20, 30, 15);
    pLog->target = *pTarget;
    pLog->viewport = pRender->viewport;
    pLog->pManager = pManager;
    ++pLog->nCalls;
}

TEST_F(X11Display, DcRenderHookDrawsOverThePicture) {
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_I420, 320, 240);
    const Window window = NewWindow(10, 10, 400, 300);
    CDisplayManager *pManager = Manager();
    ASSERT_NE(pManager, nullptr);
    const RECT rcDest{40, 30, 360, 270};
    const PLAY_VIEWPORT viewport = Viewport(5, window, RECT{}, rcDest);
    ASSERT_EQ(AddViewport(pManager, &viewport), DISPLAY_OK);
    DcLog log;
    DISPLAY_PICTURE_HOOKS hooks{};
    hooks.dwSize = DISPLAY_PICTURE_HOOKS_SIZE;
    hooks.pfnDcRender = DrawGreenBox;
    hooks.pDcRenderContext = &log;
    ASSERT_EQ(SubmitPicture(pManager, &picture.picture, &hooks), DISPLAY_OK);

    // The box lands at (10, 20) of the destination rectangle, over the
    // picture; the rest of the rectangle is the picture, the rest of the
    // window untouched.
    const RECT rcBox{rcDest.left + 10, rcDest.top + 20, rcDest.left + 40, rcDest.top + 35};
    testx::Picture shot;
    auto boxDrawn = [&] {
        shot = testx::ReadWindow(window);
        for (int y = rcBox.top; y < rcBox.bottom; ++y)
            for (int x = rcBox.left; x < rcBox.right; ++x)
                if (shot.At(x, y) != kGreen)
                    return false;
        return true;
    };
    ASSERT_TRUE(WaitUntil(boxDrawn)) << "the hook's rectangle is not in the window";
    size_t nBad = 0;
    for (int y = rcDest.top; y < rcDest.bottom; ++y)
        for (int x = rcDest.left; x < rcDest.right; ++x) {
            const bool bInBox = x >= rcBox.left && x < rcBox.right && y >= rcBox.top && y < rcBox.bottom;
            if (!bInBox && shot.At(x, y) != picture.At(x - rcDest.left, y - rcDest.top))
                ++nBad;
        }
    EXPECT_EQ(nBad, 0u);
    EXPECT_EQ(CountOutside(shot, rcDest, kBackground), 0u);
    ASSERT_GE(log.nCalls.load(), 1);
    EXPECT_EQ(log.pManager, pManager);
    EXPECT_EQ(log.viewport.dwID, 5u);
    EXPECT_EQ(log.target.window, window);
    EXPECT_EQ(log.target.nWidth, 320);
    EXPECT_EQ(log.target.nHeight, 240);
    EXPECT_EQ(log.target.nX, rcDest.left);
    EXPECT_EQ(log.target.nY, rcDest.top);
}

// ---------------------------------------------------------------------------
// Two windows, one conversion per picture; a screenshot of the screen.

TEST_F(X11Display, TwoViewportsShareOneConversionAndTheScreenShowsBoth) {
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_YUY2, 320, 240);
    const Window small = NewWindow(0, 0, 320, 240);
    const Window large = NewWindow(400, 100, 640, 480);
    CDisplayManager *pManager = Manager();
    ASSERT_NE(pManager, nullptr);
    const PLAY_VIEWPORT viewports[2] = {Viewport(1, small), Viewport(2, large)};
    ASSERT_EQ(AddViewport(pManager, &viewports[0]), DISPLAY_OK);
    ASSERT_EQ(AddViewport(pManager, &viewports[1]), DISPLAY_OK);
    const uint64_t qwBefore = CX11Display::ConversionCount();
    ASSERT_EQ(SubmitPicture(pManager, &picture.picture, nullptr), DISPLAY_OK);
    ExpectShows(small, RECT{0, 0, 320, 240}, picture, Whole(picture));
    ExpectShows(large, RECT{0, 0, 640, 480}, picture, Whole(picture));
    EXPECT_EQ(CX11Display::ConversionCount() - qwBefore, 1u);

    // The screen as a person would see it, kept beside the test program.
    const std::string path = testx::ProgramFolder() + "/x11_display_screenshot.ppm";
    ASSERT_TRUE(testx::WritePpm(path, testx::ReadScreen())) << path;
    testx::Picture screen;
    ASSERT_TRUE(testx::ReadPpm(path, &screen)) << path;
    ASSERT_GE(screen.nWidth, 1040);
    ASSERT_GE(screen.nHeight, 580);
    std::string first;
    EXPECT_EQ(CountScaledMismatches(screen, RECT{0, 0, 320, 240}, picture, Whole(picture), &first), 0u)
        << first;
    EXPECT_EQ(CountScaledMismatches(screen, RECT{400, 100, 1040, 580}, picture, Whole(picture), &first), 0u)
        << first;
    // Eight distinct bar colours across the large window's middle row.
    std::vector<uint32_t> colours;
    for (int nBar = 0; nBar < 8; ++nBar)
        colours.push_back(screen.At(400 + nBar * 80 + 40, 340) & 0xF0F0F0);
    std::sort(colours.begin(), colours.end());
    EXPECT_EQ(std::unique(colours.begin(), colours.end()) - colours.begin(), 8);
}

// ---------------------------------------------------------------------------
// The back end on its own

TEST_F(X11Display, SystemBackendsAndSharedMemory) {
    EXPECT_EQ(CreateSystemBackend(DISPLAY_TYPE_DIRECT3D9, nullptr, 0), nullptr);
    EXPECT_EQ(CreateSystemBackend(DISPLAY_TYPE_DIRECTDRAW7, nullptr, 0), nullptr);
    std::unique_ptr<CBaseDisplay> pBackend(CreateSystemBackend(DISPLAY_TYPE_BITMAP, nullptr, 0));
    ASSERT_NE(dynamic_cast<CX11Display *>(pBackend.get()), nullptr);
    EXPECT_EQ(pBackend->Type(), DISPLAY_TYPE_BITMAP);
    ASSERT_EQ(pBackend->Initialize(), DISPLAY_OK);
    // Xvfb offers shared memory and the test runs beside it.
    EXPECT_TRUE(static_cast<CX11Display *>(pBackend.get())->UsesSharedMemory());

    CX11Display::AllowSharedMemory(false);
    CX11Display plain(nullptr);
    ASSERT_EQ(plain.Initialize(), DISPLAY_OK);
    EXPECT_FALSE(plain.UsesSharedMemory());
}

TEST_F(X11Display, NoServerLeavesTheSlotEmpty) {
    const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", ":4095", 1); // nothing listens there
    CX11Display backend(nullptr);
    const int32_t nResult = backend.Initialize();
    setenv("DISPLAY", saved.c_str(), 1);
    EXPECT_EQ(nResult, DISPLAY_E_NOT_AVAILABLE);
}

TEST_F(X11Display, DrawingWithoutAPictureOrIntoAnEmptySourceFails) {
    const Window window = NewWindow(10, 10, 100, 80);
    CX11Display backend(nullptr);
    ASSERT_EQ(backend.Initialize(), DISPLAY_OK);
    const PLAY_VIEWPORT viewport = Viewport(3, window, RECT{400, 400, 500, 500});
    ASSERT_EQ(backend.AddViewport(&viewport), DISPLAY_OK);
    EXPECT_EQ(backend.Present(), DISPLAY_E_NO_PICTURE);
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_I420, 320, 240);
    ASSERT_EQ(backend.SetPicture(&picture.picture, nullptr), DISPLAY_OK);
    // The source lies outside the picture.
    EXPECT_EQ(backend.Present(), DISPLAY_E_EMPTY_SOURCE);
    // Fixed by an update of the same viewport; then removed with its image.
    const PLAY_VIEWPORT whole = Viewport(3, window);
    ASSERT_EQ(backend.AddViewport(&whole), DISPLAY_OK);
    EXPECT_EQ(backend.Present(), DISPLAY_OK);
    ExpectShows(window, RECT{0, 0, 100, 80}, picture, Whole(picture));
    EXPECT_EQ(backend.RemoveViewport(3), DISPLAY_OK);
    EXPECT_EQ(backend.Present(), DISPLAY_E_FAIL); // no viewport left
}

TEST_F(X11Display, LostServerDoesNotEndTheProcess) {
    std::string name, error;
    const int pid = testx::StartXvfb(&name, &error);
    ASSERT_NE(pid, 0) << error;
    const std::string saved = std::getenv("DISPLAY");
    setenv("DISPLAY", name.c_str(), 1);
    Display *pLost = x11::OpenConnection();
    CX11Display backend(nullptr);
    const int32_t nInitialize = backend.Initialize();
    setenv("DISPLAY", saved.c_str(), 1);
    ASSERT_NE(pLost, nullptr);
    ASSERT_EQ(nInitialize, DISPLAY_OK);
    EXPECT_FALSE(x11::ConnectionLost(pLost));

    testx::StopXvfb(pid);
    // Xlib's defaults would end the process here.
    XSync(pLost, False);
    EXPECT_TRUE(x11::ConnectionLost(pLost));
    x11::CloseConnection(pLost);

    // The back end's own connection is gone too: drawing fails, nothing
    // more. (Its viewport window lives on the test's server.)
    const Window window = NewWindow(10, 10, 64, 48);
    const PLAY_VIEWPORT viewport = Viewport(1, window);
    ASSERT_EQ(backend.AddViewport(&viewport), DISPLAY_OK);
    const TestPicture picture = MakeBars(DISPLAY_FOURCC_I420, 64, 48);
    ASSERT_EQ(backend.SetPicture(&picture.picture, nullptr), DISPLAY_OK);
    EXPECT_LT(backend.Present(), 0);
    EXPECT_EQ(backend.Uninitialize(), DISPLAY_OK);
}

// ---------------------------------------------------------------------------
// Window questions

TEST_F(X11Display, WindowQuestionsFollowTheServer) {
    const Window window = NewWindow(10, 10, 123, 77);
    EXPECT_TRUE(display::SystemIsWindowAlive(window));
    RECT rc{};
    ASSERT_TRUE(display::SystemGetClientArea(window, &rc));
    EXPECT_EQ(rc.left, 0);
    EXPECT_EQ(rc.top, 0);
    EXPECT_EQ(rc.right, 123);
    EXPECT_EQ(rc.bottom, 77);
    testx::ResizeWindow(window, 200, 50);
    ASSERT_TRUE(display::SystemGetClientArea(window, &rc));
    EXPECT_EQ(rc.right, 200);
    EXPECT_EQ(rc.bottom, 50);

    DestroyOwnWindow(window);
    // A window that went away answers "no window" without ending the process.
    EXPECT_FALSE(display::SystemIsWindowAlive(window));
    EXPECT_FALSE(display::SystemGetClientArea(window, &rc));
    EXPECT_EQ(rc.right, 0);
    EXPECT_EQ(rc.bottom, 0);
    EXPECT_FALSE(display::SystemIsWindowAlive(0));
    // A pixmap is not a window.
    const Pixmap pixmap = XCreatePixmap(s_pDisplay, DefaultRootWindow(s_pDisplay), 8, 8, 24);
    XSync(s_pDisplay, False);
    EXPECT_FALSE(display::SystemIsWindowAlive(pixmap));
    XFreePixmap(s_pDisplay, pixmap);
    XSync(s_pDisplay, False);
}

// ---------------------------------------------------------------------------
// The scaler

TEST(X11Scale, MapsSpreadTheSourceOverTheDestination) {
    struct Case {
        int32_t nStart, nLength, nDst;
    } const cases[] = {{0, 320, 320}, {41, 160, 160}, {0, 320, 517}, {33, 64, 400}, {0, 320, 203}, {5, 7, 1}};
    for (const Case &c : cases) {
        std::vector<uint32_t> map(c.nDst);
        x11scale::BuildMap(c.nStart, c.nLength, c.nDst, 3, map.data());
        for (int32_t i = 0; i < c.nDst; ++i) {
            ASSERT_EQ(map[i] % 3, 0u);
            const int32_t nSrc = static_cast<int32_t>(map[i] / 3);
            ASSERT_GE(nSrc, c.nStart) << i;
            ASSERT_LT(nSrc, c.nStart + c.nLength) << i;
            if (i > 0) {
                ASSERT_GE(map[i], map[i - 1]);
            }
            // Nearest: within one source sample of the ideal centre.
            const double dIdeal = c.nStart + (i + 0.5) * c.nLength / c.nDst;
            EXPECT_LE(std::abs(nSrc + 0.5 - dIdeal), 1.0) << i;
            if (c.nLength == c.nDst) {
                EXPECT_EQ(nSrc, c.nStart + i);
            }
        }
        EXPECT_EQ(map.front() / 3, uint32_t(c.nStart + c.nLength / (2 * c.nDst)));
    }
}

TEST(X11Scale, RowRoutinesAgree) {
    std::mt19937 random(12345);
    for (uint32_t dwCount : {1u, 7u, 8u, 9u, 31u, 640u, 1921u}) {
        const uint32_t dwSourcePixels = 3 * dwCount + 5;
        std::vector<uint8_t> source(dwSourcePixels * 3 + 1);
        for (uint8_t &by : source)
            by = static_cast<uint8_t>(random());
        std::vector<uint32_t> offsets(dwCount);
        for (uint32_t &dw : offsets)
            dw = 3 * (random() % dwSourcePixels);
        std::vector<uint32_t> scalar(dwCount), generic(dwCount), swapped(dwCount);
        for (uint32_t dwFill : {0u, 0xFF000000u}) {
            x11scale::ScaleRowBgrx(source.data(), offsets.data(), dwCount, dwFill, scalar.data());
            x11scale::PixelLayout bgrx;
            bgrx.dwFill = dwFill;
            x11scale::ScaleRowGeneric(source.data(), offsets.data(), dwCount, bgrx, generic.data());
            EXPECT_EQ(scalar, generic);
            for (uint32_t i = 0; i < dwCount; ++i) {
                const uint8_t *p = source.data() + offsets[i];
                ASSERT_EQ(scalar[i], (uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]) | dwFill);
            }
        }
        // A visual with red in the low byte.
        x11scale::PixelLayout rgbx;
        rgbx.dwShiftRed = 0;
        rgbx.dwShiftBlue = 16;
        x11scale::ScaleRowGeneric(source.data(), offsets.data(), dwCount, rgbx, swapped.data());
        for (uint32_t i = 0; i < dwCount; ++i) {
            const uint8_t *p = source.data() + offsets[i];
            ASSERT_EQ(swapped[i], uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]);
        }
    }
}

} // namespace

#endif // _WIN32
