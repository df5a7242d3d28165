// The player with the real display manager: a file plays at its own pace
// (scaled by the speed) even without a viewport, viewports and snapshots work
// through the player, the DC-render callback reaches the client and the
// display status is filled. A back end of the test's own stands in for the
// window system's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "display/displaymanager.h"
#include "display/windowsystem.h"
#include "filemode_test_util.h"

using namespace filetest;

namespace {

bool TestIsWindow(HWND hWnd) {
    return (uintptr_t)hWnd == 5;
}

bool TestClientArea(HWND hWnd, RECT *pRect) {
    if (!TestIsWindow(hWnd))
        return false;
    *pRect = RECT{0, 0, 320, 240};
    return true;
}

const display::WindowSystemOverride kTestWindows = {TestIsWindow, TestClientArea};

// Draws nothing; offers every drawn viewport to the DC-render hook.
class CHookingBackend final : public CBaseDisplay {
public:
    CHookingBackend(int nSlot, CDisplayManager *pOwner) : CBaseDisplay(nSlot, pOwner) {}
    ~CHookingBackend() override { RemoveAllViewports(); }
    int32_t FinishViewport(ViewportFinish *pFinish) override {
        OfferDcRender(reinterpret_cast<HDC>(this), pFinish->viewport);
        return DISPLAY_OK;
    }
};

CBaseDisplay *HookingFactory(int nSlot, CDisplayManager *pOwner, uint32_t) {
    return new CHookingBackend(nSlot, pOwner);
}

struct DcCalls {
    std::atomic<int> count{0};
    std::atomic<uint32_t> viewportId{0xFFFFFFFF};
    std::atomic<bool> recordOk{false};
};

int32_t QV_CALL OnDcRender(PLAY_HANDLE h, PLAY_DC_RENDER *pRender, void *pContext) {
    DcCalls *pCalls = static_cast<DcCalls *>(pContext);
    pCalls->viewportId = pRender->viewport.dwID;
    pCalls->recordOk = pRender->dwSize == PLAY_DC_RENDER_SIZE && pRender->hDC != nullptr;
    // The client may call the player back from here: no library lock is held.
    uint32_t count = 0;
    if (PlayApi_GetViewport(h, nullptr, &count) == PLAY_OK && count == 1)
        ++pCalls->count;
    return 0;
}

class PlayerDisplay : public ::testing::Test {
protected:
    void SetUp() override {
        CDisplayManager::SetBackendFactory(HookingFactory);
        display::SetWindowSystemOverride(&kTestWindows);
    }
    void TearDown() override {
        m_player.Reset();
        CDisplayManager::SetBackendFactory(nullptr);
        display::SetWindowSystemOverride(nullptr);
    }
    // Opens a 40 ms-per-frame recording with video decoded and shown.
    void Open(uint32_t frames) {
        m_file = MakeFile(Gen::V30, frames, false);
        ASSERT_EQ(OpenFile(m_player, m_dir.Write("paced.rec", m_file.bytes)), PLAY_OK);
        ASSERT_EQ(SetU32(m_player.Get(), PLAY_CONTROL_ENABLE, kVideoDecode | PLAY_ENABLE_DISPLAY), PLAY_OK);
    }
    // Seconds from play to the end of the file at the given speed.
    double PlaySeconds(float speed) {
        EXPECT_EQ(SetFloat(m_player.Get(), PLAY_CONTROL_SPEED, speed), PLAY_OK);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Action(m_player.Get(), PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        EXPECT_TRUE(
            WaitUntil([&] { return AttrU32(m_player.Get(), PLAY_ATTRIBUTE_FILE_ENDED) != 0; }, 120000));
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    CTempDir m_dir;
    FileRecording m_file;
    CPlayer m_player;
};

// Measured with generous bounds: these machines are shared. Without the
// display's pacing the file ends in well under a second.
TEST_F(PlayerDisplay, SpeedTwoPlaysEightSecondsInAboutFour) {
    ASSERT_NO_FATAL_FAILURE(Open(200));
    const double seconds = PlaySeconds(2.0f);
    EXPECT_GT(seconds, 3.4);
    EXPECT_LT(seconds, 7.0);
    DISPLAY_STATUS status{};
    uint32_t size = sizeof(status);
    ASSERT_EQ(PlayApi_GetAttribute(m_player.Get(), PLAY_ATTRIBUTE_DISPLAY_STATUS, &status, &size), PLAY_OK);
    EXPECT_EQ(status.dwSize, DISPLAY_STATUS_SIZE);
    EXPECT_GE(status.dwShownCount, 150u);
    // About 20 ms a picture at speed 2.
    EXPECT_NEAR(static_cast<double>(status.llScheduledTime) / status.dwShownCount, 20000.0, 2000.0);
}

TEST_F(PlayerDisplay, AQuarterSpeedPlaysEightSecondsInAboutThirtyTwo) {
    ASSERT_NO_FATAL_FAILURE(Open(200));
    const double seconds = PlaySeconds(0.25f);
    EXPECT_GT(seconds, 29.0);
    EXPECT_LT(seconds, 45.0);
}

TEST_F(PlayerDisplay, ViewportsSnapshotsAndTheDcCallbackWorkThroughThePlayer) {
    ASSERT_NO_FATAL_FAILURE(Open(50));
    const PLAY_HANDLE h = m_player.Get();
    PLAY_SNAPSHOT snapshot{};
    snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    EXPECT_EQ(PlayApi_SnapPicture(h, &snapshot), PLAY_E_NOT_SUPPORTED); // no manager yet
    DcCalls calls;
    ASSERT_EQ(RegisterCallback(h, PLAY_CALLBACK_DC_RENDER,
                               reinterpret_cast<PLAY_CALLBACK_FUNCTION>(OnDcRender), &calls),
              PLAY_OK);
    PLAY_VIEWPORT viewport{};
    viewport.dwSize = PLAY_VIEWPORT_SIZE;
    viewport.dwID = 3;
    viewport.hDestWnd = (HWND)9; // not a window
    EXPECT_EQ(PlayApi_AddViewport(h, &viewport), DISPLAY_E_BAD_WINDOW);
    viewport.hDestWnd = (HWND)5;
    ASSERT_EQ(PlayApi_AddViewport(h, &viewport), PLAY_OK);
    EXPECT_EQ(PlaySeconds(8.0f) > 0, true);
    EXPECT_GT(calls.count.load(), 0);
    EXPECT_EQ(calls.viewportId.load(), 3u);
    EXPECT_TRUE(calls.recordOk.load());
    // The last picture stays on screen: a snapshot of it.
    ASSERT_EQ(PlayApi_SnapPicture(h, &snapshot), PLAY_OK);
    const uint32_t stride = DISPLAY_RGB24_STRIDE(SizeOf(m_file.clip).wWidth);
    EXPECT_EQ(snapshot.dwBufferSize, stride * SizeOf(m_file.clip).wHeight);
    std::vector<uint8_t> pixels(snapshot.dwBufferSize);
    snapshot.pBuffer = pixels.data();
    ASSERT_EQ(PlayApi_SnapPicture(h, &snapshot), PLAY_OK);
    EXPECT_EQ(snapshot.bmiHeader.biWidth, static_cast<int32_t>(SizeOf(m_file.clip).wWidth));
    snapshot.dwBufferSize -= 1;
    EXPECT_EQ(PlayApi_SnapPicture(h, &snapshot), PLAY_E_BUFFER_TOO_SMALL);
    uint32_t count = 0;
    ASSERT_EQ(PlayApi_GetViewport(h, nullptr, &count), PLAY_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(PlayApi_RemoveViewport(h, 3), PLAY_OK);
    EXPECT_EQ(PlayApi_RemoveViewport(h, 3), PLAY_E_FAIL);
}

} // namespace
