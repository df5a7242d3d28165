// The display manager's queue, pacing, snapshots and stop, with a back end
// of the test's own and windows that exist only for the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "display/displaymanager.h"
#include "display/windowsystem.h"
#include "platform/sync.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Windows 1..99 exist until destroyed by the test; they are 640x480.
std::atomic<uint32_t> g_deadWindows{0}; // bit per window id below 32

bool FakeIsWindow(HWND hWnd) {
    const uintptr_t n = (uintptr_t)hWnd;
    return n > 0 && n < 32 && !(g_deadWindows.load() & (1u << n));
}

bool FakeClientArea(HWND hWnd, RECT *pRect) {
    if (!FakeIsWindow(hWnd))
        return false;
    *pRect = RECT{0, 0, 640, 480};
    return true;
}

const display::WindowSystemOverride kFakeWindows = {FakeIsWindow, FakeClientArea};

// What the test back ends saw.
struct BackendLog {
    std::mutex mutex;
    std::vector<double> presents;   // ms since the log was reset
    std::vector<uint32_t> pictures; // dwReserved of each picture set
    Clock::time_point start = Clock::now();
    std::atomic<int> destroyed{0};
    std::atomic<int> hangs{0}; // Present blocks while set
    platform::CEvent unblock{true, false};
    std::atomic<bool> failInitialize{false};
};
BackendLog *g_pLog = nullptr;

class CTestBackend final : public CBaseDisplay {
public:
    CTestBackend(int nSlot, CDisplayManager *pOwner) : CBaseDisplay(nSlot, pOwner) {}
    ~CTestBackend() override {
        RemoveAllViewports();
        ++g_pLog->destroyed;
    }
    int32_t Initialize() override {
        return g_pLog->failInitialize.load() ? DISPLAY_E_NOT_AVAILABLE : DISPLAY_OK;
    }
    int32_t PrepareFormat(const DISPLAY_PICTURE *pPicture) override {
        std::lock_guard<std::mutex> guard(g_pLog->mutex);
        g_pLog->pictures.push_back(pPicture->dwReserved);
        return DISPLAY_OK;
    }
    int32_t Present() override {
        if (g_pLog->hangs.load())
            g_pLog->unblock.Wait(platform::kInfinite);
        const int32_t nResult = CBaseDisplay::Present();
        std::lock_guard<std::mutex> guard(g_pLog->mutex);
        g_pLog->presents.push_back(MsSince(g_pLog->start));
        return nResult;
    }
};

CBaseDisplay *TestFactory(int nSlot, CDisplayManager *pOwner, uint32_t) {
    return new CTestBackend(nSlot, pOwner);
}

// A picture of the test: uniform grey, numbered through dwReserved.
struct TestPicture {
    std::vector<uint8_t> data;
    DISPLAY_PICTURE picture{};
    TestPicture(int w, int h, uint32_t durationUs, uint32_t number = 0, uint8_t luma = 128) {
        data.assign(static_cast<size_t>(w) * h * 3 / 2, 128);
        std::fill(data.begin(), data.begin() + static_cast<size_t>(w) * h, luma);
        picture.dwSize = DISPLAY_PICTURE_SIZE;
        picture.dwFourCC = DISPLAY_FOURCC_I420;
        picture.nWidth = w;
        picture.nHeight = h;
        picture.pData = data.data();
        picture.dwDataSize = static_cast<uint32_t>(data.size());
        picture.dwDuration = durationUs;
        picture.dwReserved = number;
    }
};

struct Released {
    std::mutex mutex;
    std::vector<uint32_t> numbers;
    std::vector<uint32_t> durations;
    size_t Count() {
        std::lock_guard<std::mutex> guard(mutex);
        return numbers.size();
    }
};

void QV_CALL OnRelease(void *, DISPLAY_PICTURE *pPicture, void *pContext) {
    Released *pReleased = static_cast<Released *>(pContext);
    std::lock_guard<std::mutex> guard(pReleased->mutex);
    pReleased->numbers.push_back(pPicture->dwReserved);
    pReleased->durations.push_back(pPicture->dwDuration);
}

DISPLAY_PICTURE_HOOKS HooksFor(Released *pReleased) {
    DISPLAY_PICTURE_HOOKS hooks{};
    hooks.dwSize = DISPLAY_PICTURE_HOOKS_SIZE;
    hooks.pfnRelease = OnRelease;
    hooks.pReleaseContext = pReleased;
    return hooks;
}

template <typename F> bool WaitFor(F condition, int timeoutMs = 10000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class DisplayManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_pLog = new BackendLog();
        g_deadWindows = 0;
        display::SetWindowSystemOverride(&kFakeWindows);
        CDisplayManager::SetBackendFactory(TestFactory);
    }
    void TearDown() override {
        DestroyDisplayManager(m_pManager);
        m_pManager = nullptr;
        EXPECT_TRUE(WaitFor([] { return CDisplayManager::LiveCount() == 0; }, 5000));
        CDisplayManager::SetBackendFactory(nullptr);
        CDisplayManager::SetTimeouts(DisplayTimeouts{});
        display::SetWindowSystemOverride(nullptr);
        delete g_pLog;
        g_pLog = nullptr;
    }
    void Create(uint32_t flags = DISPLAY_FLAG_DRAWDIB | DISPLAY_FLAG_NO_PAINT_HOOK) {
        ASSERT_EQ(CreateDisplayManager(flags, &m_pManager), DISPLAY_OK);
        ASSERT_NE(m_pManager, nullptr);
    }
    void AddWindow(uint32_t id, uintptr_t window) {
        PLAY_VIEWPORT viewport{};
        viewport.dwSize = PLAY_VIEWPORT_SIZE;
        viewport.dwID = id;
        viewport.hDestWnd = (HWND)window;
        ASSERT_EQ(AddViewport(m_pManager, &viewport), DISPLAY_OK);
    }
    DISPLAY_STATUS Status() {
        DISPLAY_STATUS status{};
        status.dwSize = DISPLAY_STATUS_SIZE;
        EXPECT_EQ(GetStatus(m_pManager, &status), DISPLAY_OK);
        return status;
    }
    CDisplayManager *m_pManager = nullptr;
};

TEST_F(DisplayManagerTest, CreationChecksItsFlagsAndNeedsABackend) {
    CDisplayManager *pManager = reinterpret_cast<CDisplayManager *>(1);
    EXPECT_EQ(CreateDisplayManager(DISPLAY_FLAG_DRAWDIB, nullptr), DISPLAY_E_NULL_POINTER);
    EXPECT_EQ(CreateDisplayManager(0, &pManager), DISPLAY_E_NO_BACKEND);
    EXPECT_EQ(pManager, nullptr);
    EXPECT_EQ(CreateDisplayManager(DISPLAY_FLAG_SLOT0 | DISPLAY_FLAG_NO_PAINT_HOOK, &pManager),
              DISPLAY_E_NO_BACKEND);
    EXPECT_EQ(pManager, nullptr);
    g_pLog->failInitialize = true;
    EXPECT_EQ(CreateDisplayManager(DISPLAY_FLAG_DRAWDIB | DISPLAY_FLAG_DIRECT3D9, &pManager),
              DISPLAY_E_NO_BACKEND);
    EXPECT_EQ(g_pLog->destroyed.load(), 2); // both failed back ends were deleted
}

TEST_F(DisplayManagerTest, FlatEntryPointsCheckTheirArguments) {
    Create();
    PLAY_VIEWPORT viewport{};
    uint32_t count = 0;
    DISPLAY_STATUS status{};
    PLAY_SNAPSHOT snapshot{};
    EXPECT_EQ(AddViewport(nullptr, &viewport), DISPLAY_E_INVALID_OBJECT);
    EXPECT_EQ(AddViewport(m_pManager, nullptr), DISPLAY_E_NULL_POINTER);
    EXPECT_EQ(AddViewport(m_pManager, &viewport), DISPLAY_E_BAD_SIZE);
    viewport.dwSize = PLAY_VIEWPORT_SIZE;
    viewport.hDestWnd = (HWND)40; // not a window
    EXPECT_EQ(AddViewport(m_pManager, &viewport), DISPLAY_E_BAD_WINDOW);
    EXPECT_EQ(GetViewports(nullptr, nullptr, &count), DISPLAY_E_INVALID_OBJECT);
    EXPECT_EQ(GetStatus(nullptr, &status), DISPLAY_E_INVALID_OBJECT);
    EXPECT_EQ(GetStatus(m_pManager, nullptr), DISPLAY_E_NULL_POINTER);
    EXPECT_EQ(GetStatus(m_pManager, &status), DISPLAY_E_BAD_SIZE);
    EXPECT_EQ(SnapPicture(nullptr, &snapshot), DISPLAY_E_INVALID_OBJECT);
    EXPECT_EQ(SubmitPicture(nullptr, nullptr, nullptr), DISPLAY_E_INVALID_OBJECT);
    EXPECT_EQ(DiscardPending(nullptr), DISPLAY_E_INVALID_OBJECT);
    EXPECT_EQ(RemoveViewport(m_pManager, 9), DISPLAY_E_NO_SUCH_VIEWPORT);
}

TEST_F(DisplayManagerTest, ViewportsAreAddedReplacedListedAndRemoved) {
    Create();
    AddWindow(7, 1);
    AddWindow(8, 2);
    AddWindow(9, 3);
    AddWindow(8, 4); // same id: replaces
    uint32_t count = 0;
    ASSERT_EQ(GetViewports(m_pManager, nullptr, &count), DISPLAY_OK);
    EXPECT_EQ(count, 3u);
    PLAY_VIEWPORT list[3]{};
    count = 1;
    ASSERT_EQ(GetViewports(m_pManager, list, &count), DISPLAY_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(list[0].dwID, 7u);
    count = 3;
    ASSERT_EQ(GetViewports(m_pManager, list, &count), DISPLAY_OK);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(list[1].dwID, 8u);
    EXPECT_EQ((uintptr_t)list[1].hDestWnd, 4u);
    EXPECT_EQ(RemoveViewport(m_pManager, 8), DISPLAY_OK);
    EXPECT_EQ(RemoveViewport(m_pManager, 8), DISPLAY_E_NO_SUCH_VIEWPORT);
    ASSERT_EQ(GetViewports(m_pManager, nullptr, &count), DISPLAY_OK);
    EXPECT_EQ(count, 2u);
}

TEST_F(DisplayManagerTest, TheQueueHoldsFourAndRefusesAFifth) {
    Create();
    Released released;
    const DISPLAY_PICTURE_HOOKS hooks = HooksFor(&released);
    std::vector<TestPicture> pictures;
    for (uint32_t i = 0; i < 5; ++i)
        pictures.emplace_back(64, 48, 5000000, i);
    for (uint32_t i = 0; i < 4; ++i)
        EXPECT_EQ(SubmitPicture(m_pManager, &pictures[i].picture, &hooks), DISPLAY_OK) << i;
    EXPECT_EQ(SubmitPicture(m_pManager, &pictures[4].picture, &hooks), DISPLAY_E_QUEUE_FULL);
    // Discarding keeps the head, which may be on screen, and frees a slot.
    EXPECT_EQ(DiscardPending(m_pManager), DISPLAY_OK);
    ASSERT_EQ(released.Count(), 3u);
    EXPECT_EQ(released.numbers, (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_EQ(DiscardPending(m_pManager), DISPLAY_OK); // one entry: nothing happens
    EXPECT_EQ(released.Count(), 3u);
    EXPECT_EQ(SubmitPicture(m_pManager, &pictures[4].picture, &hooks), DISPLAY_OK);
    DestroyDisplayManager(m_pManager);
    m_pManager = nullptr;
    // Stopping hands back everything still queued, the head first.
    EXPECT_EQ(released.numbers, (std::vector<uint32_t>{3, 2, 1, 0, 4}));
}

TEST_F(DisplayManagerTest, DurationsAreClampedAndZeroExpiresAtOnce) {
    Create();
    AddWindow(1, 1);
    Released released;
    const DISPLAY_PICTURE_HOOKS hooks = HooksFor(&released);
    TestPicture zero(64, 48, 0, 1), endless(64, 48, 0xFFFFFFFFu, 2);
    ASSERT_EQ(SubmitPicture(m_pManager, &zero.picture, &hooks), DISPLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return Status().dwShownCount == 1; }, 2000));
    // The expired picture stays on screen (and in the queue) without a successor.
    EXPECT_EQ(released.Count(), 0u);
    ASSERT_EQ(SubmitPicture(m_pManager, &endless.picture, &hooks), DISPLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return released.Count() == 1; }, 2000));
    DestroyDisplayManager(m_pManager);
    m_pManager = nullptr;
    ASSERT_EQ(released.Count(), 2u);
    EXPECT_EQ(released.durations[1], DISPLAY_MAX_DURATION);
}

TEST_F(DisplayManagerTest, AnEarlyArrivalMovesTheBaseTime) {
    Create();
    AddWindow(1, 1);
    TestPicture first(64, 48, 1000000, 1), second(64, 48, 500000, 2);
    const auto start = Clock::now();
    ASSERT_EQ(SubmitPicture(m_pManager, &first.picture, nullptr), DISPLAY_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(SubmitPicture(m_pManager, &second.picture, nullptr), DISPLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return Status().dwShownCount == 2; }, 5000));
    // The second ends at its arrival plus its own duration (here already
    // passed when the first ends), not 500 ms after the first.
    const double elapsed = MsSince(start);
    EXPECT_GE(elapsed, 950.0);
    EXPECT_LT(elapsed, 1400.0);
}

TEST_F(DisplayManagerTest, SnapshotsReportSizesAndConvertTheHead) {
    Create();
    PLAY_SNAPSHOT snapshot{};
    snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    EXPECT_EQ(SnapPicture(m_pManager, &snapshot), DISPLAY_E_NO_PICTURE);
    TestPicture picture(706, 576, 5000000, 1, 235);
    ASSERT_EQ(SubmitPicture(m_pManager, &picture.picture, nullptr), DISPLAY_OK);
    const uint32_t stride = (706 * 3 + 3) & ~3u;
    ASSERT_EQ(stride, 2120u);
    EXPECT_EQ(SnapPicture(m_pManager, &snapshot), DISPLAY_OK);
    EXPECT_EQ(snapshot.dwBufferSize, stride * 576);
    std::vector<uint8_t> buffer(stride * 576 + 1, 0x5A);
    snapshot.pBuffer = buffer.data();
    snapshot.dwBufferSize = stride * 576 - 1;
    EXPECT_EQ(SnapPicture(m_pManager, &snapshot), DISPLAY_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(snapshot.dwBufferSize, stride * 576);
    EXPECT_EQ(buffer[0], 0x5A);
    snapshot.dwBufferSize = static_cast<uint32_t>(buffer.size());
    ASSERT_EQ(SnapPicture(m_pManager, &snapshot), DISPLAY_OK);
    EXPECT_EQ(snapshot.bmiHeader.biSize, 40u);
    EXPECT_EQ(snapshot.bmiHeader.biWidth, 706);
    EXPECT_EQ(snapshot.bmiHeader.biHeight, 576);
    EXPECT_EQ(snapshot.bmiHeader.biBitCount, 24);
    EXPECT_EQ(snapshot.bmiHeader.biCompression, 0u);
    // Y 235, neutral chroma: 254 in every channel; row padding untouched.
    EXPECT_EQ(buffer[0], 254);
    EXPECT_EQ(buffer[706 * 3 - 1], 254);
    EXPECT_EQ(buffer[706 * 3], 0x5A);
    EXPECT_EQ(buffer[stride * 576], 0x5A);
    EXPECT_EQ(Status().dwSnapshotCount, 1u); // only a conversion counts, not the size questions
}

TEST_F(DisplayManagerTest, PacesAFullQueueWithoutDrift) {
    Create();
    AddWindow(1, 1);
    constexpr int kPictures = 250;
    constexpr uint32_t kPeriodUs = 40000;
    std::vector<TestPicture> pictures;
    for (int i = 0; i < 8; ++i)
        pictures.emplace_back(64, 48, kPeriodUs, i);
    {
        std::lock_guard<std::mutex> guard(g_pLog->mutex);
        g_pLog->start = Clock::now();
    }
    for (int submitted = 0; submitted < kPictures;) {
        const int32_t nResult = SubmitPicture(m_pManager, &pictures[submitted % 8].picture, nullptr);
        if (nResult == DISPLAY_E_QUEUE_FULL) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        ASSERT_EQ(nResult, DISPLAY_OK);
        ++submitted;
    }
    ASSERT_TRUE(WaitFor([&] { return Status().dwShownCount >= kPictures; }, 30000));
    std::vector<double> presents;
    {
        std::lock_guard<std::mutex> guard(g_pLog->mutex);
        presents = g_pLog->presents;
    }
    ASSERT_GE(presents.size(), static_cast<size_t>(kPictures));
    // The cadence is the sum of the durations: a late wake-up shortens the
    // next picture instead of shifting every later one.
    const double meanMs = (presents[kPictures - 1] - presents[0]) / (kPictures - 1);
    EXPECT_NEAR(meanMs, 40.0, 0.5);
    const DISPLAY_STATUS status = Status();
    EXPECT_EQ(status.dwBackend, DISPLAY_FLAG_DRAWDIB);
    EXPECT_NEAR(static_cast<double>(status.llElapsedTime), static_cast<double>(status.llScheduledTime),
                0.01 * static_cast<double>(status.llScheduledTime));
}

TEST_F(DisplayManagerTest, ADestroyedWindowLosesItsViewport) {
    Create();
    AddWindow(1, 1);
    AddWindow(2, 2);
    TestPicture a(64, 48, 10000, 1), b(64, 48, 10000, 2);
    ASSERT_EQ(SubmitPicture(m_pManager, &a.picture, nullptr), DISPLAY_OK);
    g_deadWindows = 1u << 2;
    ASSERT_EQ(SubmitPicture(m_pManager, &b.picture, nullptr), DISPLAY_OK);
    uint32_t count = 0;
    ASSERT_TRUE(WaitFor([&] {
        GetViewports(m_pManager, nullptr, &count);
        return count == 1;
    }));
    // Both windows gone: presenting stops, pictures still expire.
    g_deadWindows = (1u << 1) | (1u << 2);
    TestPicture c(64, 48, 10000, 3);
    ASSERT_TRUE(WaitFor([&] { return SubmitPicture(m_pManager, &c.picture, nullptr) == DISPLAY_OK; }));
    ASSERT_TRUE(WaitFor([&] {
        GetViewports(m_pManager, nullptr, &count);
        return count == 0;
    }));
}

TEST_F(DisplayManagerTest, StopGivesUpOnAHungBackendAndItsThreadCleansUpLater) {
    CDisplayManager::SetTimeouts(DisplayTimeouts{200, 200});
    Create();
    AddWindow(1, 1);
    Released released;
    const DISPLAY_PICTURE_HOOKS hooks = HooksFor(&released);
    TestPicture picture(64, 48, 40000, 1);
    g_pLog->hangs = 1;
    ASSERT_EQ(SubmitPicture(m_pManager, &picture.picture, &hooks), DISPLAY_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the thread is stuck in Present
    const auto start = Clock::now();
    DestroyDisplayManager(m_pManager);
    m_pManager = nullptr;
    const double stopMs = MsSince(start);
    EXPECT_LT(stopMs, 3000.0);       // two shortened waits, not the thread's hang
    EXPECT_EQ(released.Count(), 1u); // the queued picture went back to its owner
    EXPECT_EQ(g_pLog->destroyed.load(), 0);
    EXPECT_EQ(CDisplayManager::LiveCount(), 1u); // kept for its thread
    g_pLog->unblock.Set();
    EXPECT_TRUE(WaitFor([&] { return g_pLog->destroyed.load() == 1; }, 5000));
    // The thread comes back, ends the stop and frees the manager.
    EXPECT_TRUE(WaitFor([&] { return CDisplayManager::LiveCount() == 0; }, 5000));
}

} // namespace
