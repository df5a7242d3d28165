// Players used from several threads at once: calls racing a release, many
// players in parallel, a release while another player's callback runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "core/player.h"
#include "platform/thread.h"
#include "player_test_util.h"

using namespace playtest;

namespace {

bool IsKnownResult(int32_t r) {
    // Every result is 0 or a code of one of the components.
    const uint32_t component = static_cast<uint32_t>(r) >> 16;
    return r >= 0 || component == 0x8AB5 || component == 0x8AB1 || component == 0x8AB3 ||
           component == 0x8AB4 || component == 0x92A0 || component == 0x92A1;
}

TEST(PlayerConcurrency, CallsRacingAReleaseEndWithInvalidHandle) {
    V30Options o;
    o.videoSample = "h264_352x288_baseline_cavlc.264";
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 150;
    const Recording r = MakeV30(o);
    const auto blocks = FrameBlocks(r);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes, 24), PLAY_OK);
    PLAY_HANDLE h = player.Detach();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    // The extension block is the caller's while the player lives: it is
    // written here, before the race, since nothing held by the workers keeps
    // the player alive once their call has returned.
    void *extension = nullptr;
    ASSERT_EQ(PlayApi_GetExtension(h, &extension), PLAY_OK);
    ASSERT_NE(extension, nullptr);
    std::memset(extension, 0xA5, 24);

    std::atomic<bool> released{false};
    std::atomic<int> unknown{0};
    std::atomic<int> afterRelease{0};
    std::atomic<int> wrongExtension{0};
    std::atomic<int> calls{0};
    auto worker = [&](uint32_t seed) {
        std::mt19937 rng(seed);
        auto next = [&rng](uint32_t n) { return uint32_t(rng() % n); };
        size_t block = seed % blocks.size();
        for (;;) {
            const bool wasReleased = released.load();
            int32_t res = PLAY_OK;
            switch (rng() % 9) {
            case 0: {
                const float speed = float(rng() % 800) / 100.0f;
                res = SetFloat(h, PLAY_CONTROL_SPEED, speed);
                break;
            }
            case 1:
                res = SetU32(h, PLAY_CONTROL_VOLUME, rng() % 70000);
                break;
            case 2: {
                PLAY_COLOR c{PLAY_COLOR_SIZE, next(200), next(200), next(200), next(200), 0};
                res = PlayApi_SetControl(h, PLAY_CONTROL_COLOR, &c, sizeof(c));
                break;
            }
            case 3:
                res = SetU32(h, PLAY_CONTROL_CPU_LIMIT, rng() % 120);
                break;
            case 4: {
                uint8_t buffer[128];
                uint32_t size = sizeof(buffer);
                res = PlayApi_GetAttribute(h, 1 + rng() % 32, buffer, &size);
                break;
            }
            case 5:
            case 6:
                res = PlayApi_InputData(h, blocks[block].data(), uint32_t(blocks[block].size()));
                if (res == PLAY_OK)
                    block = (block + 1) % blocks.size();
                break;
            case 7: {
                const uint32_t actions[] = {PLAY_ACTION_PLAY_FORWARD, PLAY_ACTION_PAUSE,
                                            PLAY_ACTION_PLAY_FORWARD, PLAY_ACTION_STOP};
                res = Action(h, actions[rng() % 4]);
                break;
            }
            case 8: {
                // Only the address is compared: once the call has returned the
                // block may go with the player.
                void *ext = nullptr;
                res = PlayApi_GetExtension(h, &ext);
                if (res == PLAY_OK && ext != extension)
                    ++wrongExtension;
                break;
            }
            }
            ++calls;
            if (!IsKnownResult(res))
                ++unknown;
            if (wasReleased) {
                if (res != PLAY_E_INVALID_HANDLE)
                    ++afterRelease;
                if (res == PLAY_E_INVALID_HANDLE)
                    return;
            }
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < 4; ++i)
        threads.emplace_back(worker, 100 + i);
    platform::SleepMs(300);
    // Still the caller's bytes: the player never writes the block.
    const uint8_t *bytes = static_cast<const uint8_t *>(extension);
    EXPECT_EQ(std::count(bytes, bytes + 24, uint8_t(0xA5)), 24);
    EXPECT_EQ(PlayApi_Release(h), PLAY_OK);
    released = true;
    for (auto &t : threads)
        t.join();
    EXPECT_GT(calls.load(), 100);
    EXPECT_EQ(unknown.load(), 0);
    EXPECT_EQ(afterRelease.load(), 0);
    EXPECT_EQ(wrongExtension.load(), 0);
    EXPECT_EQ(LibraryLiveCount(), 0);
}

TEST(PlayerConcurrency, SeveralPlayersInParallel) {
    const Recording r = MakeVideoOnly(50, "h264_352x288_baseline_cavlc.264", 352, 288);
    std::atomic<int> failures{0};
    auto run = [&] {
        for (int round = 0; round < 3; ++round) {
            CPlayer player;
            if (OpenStream(player, r.bytes) != PLAY_OK) {
                ++failures;
                return;
            }
            if (SetU32(player.Get(), PLAY_CONTROL_ENABLE,
                       PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE) != PLAY_OK ||
                PlayApi_InputData(player.Get(), r.bytes.data() + kV30HeaderSize,
                                  uint32_t(r.bytes.size() - kV30HeaderSize)) != PLAY_OK) {
                ++failures;
                return;
            }
            uint32_t pulled = 0;
            PLAY_FRAME *pFrame = nullptr;
            while (PlayApi_GetDecodeFrame(player.Get(), 0, &pFrame) == PLAY_OK) {
                if (pFrame->pFrame->dwSequence != pulled)
                    ++failures;
                ++pulled;
                PlayApi_FreeDecodeFrame(player.Get(), pFrame);
            }
            if (pulled != 50)
                ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(run);
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(LibraryLiveCount(), 0);
}

// A call in flight on player B is held inside its decode callback until a
// callback of player A has made a call of its own. B's release waits for
// the held call; it must not keep A's callback out while doing so.
struct CrossRelease {
    std::atomic<bool> bInCallback{false};
    std::atomic<bool> bGo{false};
    std::atomic<int> aCalls{0};
};

bool WaitFor(const std::atomic<bool> &flag, int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        platform::SleepMs(1);
    }
    return true;
}

int32_t QV_CALL HoldInDecode(PLAY_HANDLE, PLAY_FRAME *, void *pContext) {
    CrossRelease *x = static_cast<CrossRelease *>(pContext);
    if (!x->bInCallback.exchange(true))
        WaitFor(x->bGo, 10000);
    return 0;
}

int32_t QV_CALL CallFromParse(PLAY_HANDLE h, FrameRecord *, void *pContext) {
    CrossRelease *x = static_cast<CrossRelease *>(pContext);
    uint32_t state = 0, size = 4;
    if (PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_STATE, &state, &size) == PLAY_OK &&
        state == PLAY_STATE_PLAYING) {
        ++x->aCalls;
        x->bGo = true;
    }
    return 0;
}

TEST(PlayerConcurrency, ReleaseWaitsWithoutBlockingOtherPlayersCallbacks) {
    const Recording r = MakeVideoOnly(50, "h264_352x288_baseline_cavlc.264", 352, 288);
    CrossRelease x;
    CPlayer a, b;
    ASSERT_EQ(OpenStream(a, r.bytes), PLAY_OK);
    ASSERT_EQ(OpenStream(b, r.bytes), PLAY_OK);
    ASSERT_EQ(SetU32(b.Get(), PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(HoldInDecode);
    cb.pContext = &x;
    ASSERT_EQ(PlayApi_RegisterCallbackFunction(b.Get(), PLAY_CALLBACK_DECODE, &cb, PLAY_CALLBACK_PARAM_SIZE),
              PLAY_OK);
    ASSERT_EQ(PlayApi_InputData(b.Get(), r.bytes.data() + kV30HeaderSize,
                                uint32_t(r.bytes.size() - kV30HeaderSize)),
              PLAY_OK);

    PLAY_HANDLE hb = b.Detach();
    std::thread pull([&] {
        // Frames until one with a picture reaches the decode callback, which
        // holds the call there.
        for (;;) {
            PLAY_FRAME *pFrame = nullptr;
            const int32_t got = PlayApi_GetDecodeFrame(hb, 0, &pFrame);
            if (got != PLAY_OK) {
                EXPECT_EQ(got, PLAY_OK);
                x.bInCallback = true;
                return;
            }
            const bool held = x.bInCallback.load();
            // Release has begun meanwhile: the handle takes no new calls, and
            // the frame goes back with the player.
            EXPECT_EQ(PlayApi_FreeDecodeFrame(hb, pFrame), held ? PLAY_E_INVALID_HANDLE : PLAY_OK);
            if (held)
                return;
        }
    });
    ASSERT_TRUE(WaitFor(x.bInCallback, 10000));
    std::atomic<int32_t> releaseResult{1};
    std::thread releaser([&] { releaseResult = PlayApi_Release(hb); });
    platform::SleepMs(50); // the release is now waiting for the held call
    EXPECT_EQ(releaseResult.load(), 1);

    ASSERT_EQ(SetU32(a.Get(), PLAY_CONTROL_ENABLE, 0), PLAY_OK);
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CallFromParse);
    ASSERT_EQ(
        PlayApi_RegisterCallbackFunction(a.Get(), PLAY_CALLBACK_STREAM_PARSE, &cb, PLAY_CALLBACK_PARAM_SIZE),
        PLAY_OK);
    ASSERT_EQ(Action(a.Get(), PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_EQ(PlayApi_InputData(a.Get(), r.bytes.data() + kV30HeaderSize,
                                uint32_t(r.bytes.size() - kV30HeaderSize)),
              PLAY_OK);
    EXPECT_TRUE(WaitFor(x.bGo, 10000)) << "the other player's callback was held off";
    x.bGo = true; // never leave the held call waiting
    pull.join();
    releaser.join();
    EXPECT_EQ(releaseResult.load(), PLAY_OK);
    EXPECT_GT(x.aCalls.load(), 0);
}

} // namespace
