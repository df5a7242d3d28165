// The player's side of the display: creation flags, viewport and snapshot
// codes, pictures submitted with their hooks, a full queue holding the play
// thread back until a picture is released, the device-context callback.
// A recording display stands in for the display manager.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/displaylink.h"
#include "platform/thread.h"
#include "player_test_util.h"

using namespace playtest;

namespace {

// Outside Windows the X11 back end, in the bitmap slot, stands in for the
// Direct3D and DirectDraw ones.
#ifdef _WIN32
constexpr uint32_t kStandIn = 0;
#else
constexpr uint32_t kStandIn = DISPLAY_FLAG_DRAWDIB;
#endif

struct Submitted {
    DISPLAY_PICTURE picture;
    DISPLAY_PICTURE_HOOKS hooks;
};

// One fake manager at a time; the tests reach it through these globals.
struct FakeDisplay {
    std::mutex lock;
    uint32_t dwCreateFlags = 0;
    int creates = 0;
    int destroys = 0;
    int discards = 0;
    int32_t addResult = DISPLAY_OK;
    int32_t removeResult = DISPLAY_OK;
    int32_t snapResult = DISPLAY_OK;
    std::deque<Submitted> queue; // held, not yet released
    std::vector<Submitted> all;  // every picture submitted
    size_t queueMax = DISPLAY_QUEUE_MAX;
    int fullAnswers = 0;
    // Like the display thread: releases pictures on a thread of its own,
    // which the manager's destruction stops.
    std::thread releaser;
    std::atomic<bool> stopReleaser{false};
    std::atomic<int> released{0};
};

FakeDisplay *g_pFake = nullptr;
int g_manager = 0; // its address is the manager

int32_t FakeCreate(uint32_t dwFlags, void **ppManager) {
    std::lock_guard<std::mutex> guard(g_pFake->lock);
    g_pFake->dwCreateFlags = dwFlags;
    ++g_pFake->creates;
    *ppManager = &g_manager;
    return DISPLAY_OK;
}

void ReleaseOne(Submitted s) {
    s.hooks.pfnRelease(&g_manager, &s.picture, s.hooks.pReleaseContext);
    ++g_pFake->released;
}

void FakeDestroy(void *) {
    if (g_pFake->releaser.joinable()) {
        g_pFake->stopReleaser = true;
        g_pFake->releaser.join();
    }
    std::deque<Submitted> held;
    {
        std::lock_guard<std::mutex> guard(g_pFake->lock);
        ++g_pFake->destroys;
        held.swap(g_pFake->queue);
    }
    for (const Submitted &s : held)
        ReleaseOne(s);
}

int32_t FakeAddViewport(void *, const PLAY_VIEWPORT *) {
    return g_pFake->addResult;
}
int32_t FakeRemoveViewport(void *, uint32_t) {
    return g_pFake->removeResult;
}
int32_t FakeGetViewports(void *, PLAY_VIEWPORT *, uint32_t *pdwCount) {
    *pdwCount = 1;
    return DISPLAY_OK;
}
int32_t FakeSnap(void *, PLAY_SNAPSHOT *) {
    return g_pFake->snapResult;
}
int32_t FakeCheck(void *, const DISPLAY_PICTURE *pPicture) {
    return pPicture->nWidth > 0 && pPicture->nHeight > 0 ? DISPLAY_OK : DISPLAY_E_INVALID_VALUE;
}
int32_t FakeSubmit(void *, const DISPLAY_PICTURE *pPicture, const DISPLAY_PICTURE_HOOKS *pHooks) {
    std::lock_guard<std::mutex> guard(g_pFake->lock);
    if (g_pFake->queue.size() >= g_pFake->queueMax) {
        ++g_pFake->fullAnswers;
        return DISPLAY_E_QUEUE_FULL;
    }
    Submitted s{*pPicture, *pHooks};
    g_pFake->queue.push_back(s);
    g_pFake->all.push_back(s);
    return DISPLAY_OK;
}
int32_t FakeDiscard(void *) {
    std::lock_guard<std::mutex> guard(g_pFake->lock);
    ++g_pFake->discards;
    return DISPLAY_OK;
}
int32_t FakeStatus(void *, DISPLAY_STATUS *pStatus) {
    pStatus->dwShownCount = 77;
    return DISPLAY_OK;
}

const DisplayManagerLink kFakeLink = {FakeCreate,       FakeDestroy, FakeAddViewport, FakeRemoveViewport,
                                      FakeGetViewports, FakeSnap,    FakeCheck,       FakeSubmit,
                                      FakeDiscard,      FakeStatus};

class DisplayLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_pFake = &fake;
        SetDisplayManagerLink(&kFakeLink);
    }
    void TearDown() override {
        player.Reset(); // before the fake goes
        SetDisplayManagerLink(nullptr);
        g_pFake = nullptr;
    }
    // Releases the oldest held picture as the display thread would.
    bool ReleaseOldest() {
        Submitted s;
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            if (fake.queue.empty())
                return false;
            s = fake.queue.front();
            fake.queue.pop_front();
        }
        ReleaseOne(s);
        return true;
    }
    FakeDisplay fake;
    CPlayer player;
};

TEST_F(DisplayLinkTest, ViewportCodesAndCreationFlags) {
    const Recording r = MakeVideoOnly(30);
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    PLAY_VIEWPORT vp{};
    vp.dwSize = PLAY_VIEWPORT_SIZE;
    uint32_t count = 0;
    // Before the first viewport there is no manager.
    EXPECT_EQ(PlayApi_GetViewport(h, nullptr, &count), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_RemoveViewport(h, 1), PLAY_E_NOT_SUPPORTED);
    PLAY_SNAPSHOT snap{};
    snap.dwSize = PLAY_SNAPSHOT_SIZE;
    EXPECT_EQ(PlayApi_SnapPicture(h, &snap), PLAY_E_NOT_SUPPORTED);

    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, 0x3717), PLAY_OK);
    EXPECT_EQ(PlayApi_AddViewport(h, &vp), PLAY_OK);
    EXPECT_EQ(fake.creates, 1);
    EXPECT_EQ(fake.dwCreateFlags, DISPLAY_FLAG_DIRECT3D9 | DISPLAY_FLAG_D3D9_IMMEDIATE | kStandIn);
    // The manager's own codes: passed through for adding, generic otherwise.
    fake.addResult = DISPLAY_E_BAD_WINDOW;
    EXPECT_EQ(PlayApi_AddViewport(h, &vp), DISPLAY_E_BAD_WINDOW);
    EXPECT_EQ(fake.creates, 1);
    fake.removeResult = DISPLAY_E_NO_SUCH_VIEWPORT;
    EXPECT_EQ(PlayApi_RemoveViewport(h, 9), PLAY_E_FAIL);
    fake.removeResult = DISPLAY_OK;
    EXPECT_EQ(PlayApi_RemoveViewport(h, 1), PLAY_OK);
    EXPECT_EQ(PlayApi_GetViewport(h, nullptr, nullptr), PLAY_E_FAIL);
    EXPECT_EQ(PlayApi_GetViewport(h, nullptr, &count), PLAY_OK);
    EXPECT_EQ(count, 1u);
    fake.snapResult = DISPLAY_E_BUFFER_TOO_SMALL;
    EXPECT_EQ(PlayApi_SnapPicture(h, &snap), PLAY_E_BUFFER_TOO_SMALL);
    fake.snapResult = DISPLAY_E_NO_PICTURE;
    EXPECT_EQ(PlayApi_SnapPicture(h, &snap), PLAY_E_FAIL);
    fake.snapResult = DISPLAY_OK;
    EXPECT_EQ(PlayApi_SnapPicture(h, &snap), PLAY_OK);
    DISPLAY_STATUS status{};
    uint32_t size = sizeof(status);
    ASSERT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_DISPLAY_STATUS, &status, &size), PLAY_OK);
    EXPECT_EQ(status.dwSize, DISPLAY_STATUS_SIZE);
    EXPECT_EQ(status.dwShownCount, 77u);
    // A slow speed discards what waits in the queue.
    EXPECT_EQ(SetFloat(h, PLAY_CONTROL_SPEED, 0.1f), PLAY_OK);
    EXPECT_EQ(fake.discards, 1);
    player.Reset();
    EXPECT_EQ(fake.destroys, 1);
}

TEST_F(DisplayLinkTest, DirectDrawFlagsForTheOlderDefault) {
    const Recording r = MakeVideoOnly(30);
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE, 0x3917), PLAY_OK);
    PLAY_VIEWPORT vp{};
    vp.dwSize = PLAY_VIEWPORT_SIZE;
    EXPECT_EQ(PlayApi_AddViewport(player.Get(), &vp), PLAY_OK);
    EXPECT_EQ(fake.dwCreateFlags, DISPLAY_FLAG_DIRECTDRAW7 | kStandIn);
}

struct DcLog {
    std::atomic<int> calls{0};
    PLAY_HANDLE h = nullptr;
};

int32_t QV_CALL OnDc(PLAY_HANDLE h, PLAY_DC_RENDER *, void *pContext) {
    DcLog *log = static_cast<DcLog *>(pContext);
    if (h == log->h)
        ++log->calls;
    return 0;
}

int32_t QV_CALL IgnoreAlmostEmpty(PLAY_HANDLE, uint32_t, void *) {
    return 0;
}

TEST_F(DisplayLinkTest, PicturesWaitForRoomAndGoBackToThePool) {
    V30Options o;
    o.videoSample = "h264_352x288_baseline_cavlc.264";
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwAudioCodec = 0;
    const Recording r = MakeV30(o);
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    // No throttling on a busy machine: every delay is the frame's own.
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE,
                     PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT | PLAY_ENABLE_DISPLAY),
              PLAY_OK);
    DcLog dc;
    dc.h = h;
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(OnDc);
    cb.pContext = &dc;
    ASSERT_EQ(PlayApi_RegisterCallbackFunction(h, PLAY_CALLBACK_DC_RENDER, &cb, PLAY_CALLBACK_PARAM_SIZE),
              PLAY_OK);
    // Latency control off: every frame is shown, none skipped.
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(IgnoreAlmostEmpty);
    cb.dwParam = 1;
    ASSERT_EQ(
        PlayApi_RegisterCallbackFunction(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &cb, PLAY_CALLBACK_PARAM_SIZE),
        PLAY_OK);
    ASSERT_EQ(
        PlayApi_InputData(h, r.bytes.data() + kV30HeaderSize, uint32_t(r.bytes.size() - kV30HeaderSize)),
        PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);

    // The queue fills up to four pictures; the play thread then waits.
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            if (fake.fullAnswers > 0)
                break;
        }
        platform::SleepMs(1);
    }
    platform::SleepMs(50);
    {
        std::lock_guard<std::mutex> guard(fake.lock);
        EXPECT_EQ(fake.queue.size(), 4u);
        EXPECT_EQ(fake.all.size(), 4u);
        ASSERT_GT(fake.fullAnswers, 0);
    }
    const uint32_t queuedWhileFull = AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT);
    EXPECT_GT(queuedWhileFull, 30u);
    // Each release makes room and wakes the play thread for the next one.
    size_t expectedPictures = 0;
    for (int i = 0; i < 4000; ++i) {
        if (!ReleaseOldest())
            platform::SleepMs(1);
        bool bEmpty;
        {
            std::lock_guard<std::mutex> guard(fake.lock);
            expectedPictures = fake.all.size();
            bEmpty = fake.queue.empty();
        }
        if (expectedPictures >= 49 && bEmpty && AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT) == 0)
            break;
    }
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    std::vector<Submitted> all;
    {
        std::lock_guard<std::mutex> guard(fake.lock);
        all = fake.all;
    }
    // All pictures but the one the decoder still holds, in order.
    EXPECT_GE(all.size(), 47u);
    EXPECT_LE(all.size(), 50u);
    for (size_t i = 0; i < all.size(); ++i) {
        const Submitted &s = all[i];
        EXPECT_EQ(s.picture.dwSize, DISPLAY_PICTURE_SIZE);
        EXPECT_EQ(s.picture.dwFourCC, uint32_t(VDEC_FOURCC_YV12));
        EXPECT_EQ(s.picture.nWidth, 352);
        EXPECT_EQ(s.picture.nHeight, 288);
        EXPECT_NE(s.picture.pData, nullptr);
        EXPECT_GE(s.picture.dwDataSize, 352u * 288u * 3u / 2u);
        EXPECT_EQ(s.picture.dwDuration, 40000u) << i;
        EXPECT_EQ(s.hooks.dwSize, DISPLAY_PICTURE_HOOKS_SIZE);
        EXPECT_NE(s.hooks.pfnRelease, nullptr);
        EXPECT_EQ(s.hooks.pReleaseContext, static_cast<void *>(player.Mode()));
        EXPECT_EQ(s.hooks.pfnDeviceRender, nullptr);
        ASSERT_NE(s.hooks.pfnDcRender, nullptr);
    }
    // The device-context hook reaches the client's callback.
    PLAY_DC_RENDER render{};
    ASSERT_FALSE(all.empty());
    const Submitted s = all.front();
    s.hooks.pfnDcRender(&g_manager, &render, s.hooks.pDcRenderContext);
    EXPECT_EQ(dc.calls.load(), 1);
}

// The display releases pictures from its own thread until it is destroyed;
// a release of the player meanwhile keeps everything those releases touch
// (the pool, the play thread's wake-up) until the display is gone.
TEST_F(DisplayLinkTest, ReleaseWhileTheDisplayThreadReleasesPictures) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        fake.stopReleaser = false;
        const int releasedBefore = fake.released.load();
        const Recording r = MakeVideoOnly(60, "h264_352x288_baseline_cavlc.264", 352, 288);
        ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
        PLAY_HANDLE h = player.Get();
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE,
                         PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT | PLAY_ENABLE_DISPLAY),
                  PLAY_OK);
        ASSERT_EQ(SetFloat(h, PLAY_CONTROL_SPEED, PLAY_SPEED_MAX), PLAY_OK);
        fake.releaser = std::thread([this] {
            while (!fake.stopReleaser.load())
                if (!ReleaseOldest())
                    std::this_thread::yield();
        });
        ASSERT_EQ(
            PlayApi_InputData(h, r.bytes.data() + kV30HeaderSize, uint32_t(r.bytes.size() - kV30HeaderSize)),
            PLAY_OK);
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        // Release at a different point of play each round.
        platform::SleepMs(uint32_t(round % 5) * 3);
        player.Reset();
        // A display that was made is destroyed with the player (and stops
        // its thread); one never made had nothing to release.
        EXPECT_EQ(fake.destroys, fake.creates);
        fake.stopReleaser = true;
        if (fake.releaser.joinable())
            fake.releaser.join();
        std::lock_guard<std::mutex> guard(fake.lock);
        EXPECT_TRUE(fake.queue.empty());
        EXPECT_EQ(fake.released.load() - releasedBefore, int(fake.all.size()));
        fake.all.clear();
    }
}

} // namespace
