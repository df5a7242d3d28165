// Client callbacks run with no library lock held: a callback may wait for
// another thread that calls into the same player, and a seek asked for from
// a callback on the play thread runs after the step that called it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "filemode_test_util.h"

using namespace filetest;

namespace {

constexpr uint32_t kFrames = 100;

// A decode callback that hands an attribute read to another thread and
// waits for its answer: with the player lock held during the callback the
// other thread would wait for it, and the callback for the thread.
struct CrossThreadReader {
    std::atomic<int> calls{0};
    std::atomic<int> answered{0};
    std::atomic<int> timedOut{0};
};

int32_t QV_CALL ReadFromAnotherThread(PLAY_HANDLE h, PLAY_FRAME *, void *pContext) {
    auto *pReader = static_cast<CrossThreadReader *>(pContext);
    ++pReader->calls;
    auto answer = std::async(std::launch::async, [h] {
        uint32_t state = 0;
        uint32_t size = sizeof(state);
        const int32_t nState = PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_STATE, &state, &size);
        DecoderInfo info{};
        size = sizeof(info);
        const int32_t nInfo = PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_VDEC_STATUS, &info, &size);
        const float speed = PLAY_SPEED_MAX;
        const int32_t nSpeed = PlayApi_SetControl(h, PLAY_CONTROL_SPEED, &speed, sizeof(speed));
        return nState == PLAY_OK && nInfo == PLAY_OK && nSpeed == PLAY_OK;
    });
    if (answer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ++pReader->timedOut;
        answer.wait(); // the test fails; do not leave the thread behind
        return 0;
    }
    if (answer.get())
        ++pReader->answered;
    return 0;
}

TEST(PlayerCallbacks, DecodeCallbackWaitsForAnotherThreadCallingTheSamePlayer) {
    const FileRecording rec = MakeFile(Gen::V30, kFrames, false, kBFrameClip);
    CTempDir dir;
    CPlayer player;
    CRenderLog shown;
    ASSERT_EQ(OpenLogged(player, dir.Write("reader.rec", rec.bytes), &shown), PLAY_OK);
    const PLAY_HANDLE h = player.Get();
    Prepare(h, kVideoDecode);
    ASSERT_TRUE(WaitIndex(h));
    CrossThreadReader reader;
    ASSERT_EQ(RegisterCallback(h, PLAY_CALLBACK_DECODE,
                               reinterpret_cast<PLAY_CALLBACK_FUNCTION>(ReadFromAnotherThread), &reader),
              PLAY_OK);
    // On the play thread while playing, then on this thread inside seeks of
    // every kind, paused and playing.
    CNotifyCount ended;
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 60), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, 30 * 40), PLAY_OK);
    EXPECT_EQ(SeekRatio(h, 0.4f), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; }));
    EXPECT_EQ(reader.timedOut.load(), 0);
    EXPECT_GT(reader.calls.load(), int(kFrames));
    EXPECT_EQ(reader.answered.load(), reader.calls.load());
}

// A seek from the decode callback: the frame of the step that asked is not
// shown, the seek's target is, and play goes on from there.
struct SeekFromCallback {
    std::atomic<uint32_t> trigger{0}; // the frame whose decode asks for it
    std::atomic<uint32_t> target{0};
    std::atomic<int> asked{0};
    std::atomic<int32_t> result{1};
};

int32_t QV_CALL SeekWhenDecoded(PLAY_HANDLE h, PLAY_FRAME *pFrame, void *pContext) {
    auto *pSeek = static_cast<SeekFromCallback *>(pContext);
    if (pFrame->pFrame != nullptr && pFrame->pFrame->dwSequence == pSeek->trigger.load() &&
        pSeek->asked.fetch_add(1) == 0)
        pSeek->result = SeekU32(h, PLAY_SEEK_INDEX, pSeek->target.load());
    return 0;
}

TEST(PlayerCallbacks, SeekFromTheDecodeCallbackLandsOnItsTargetAndNothingStaleFollows) {
    struct Case {
        const char *clip;
        uint32_t trigger;
        uint32_t target;
    };
    const Case cases[] = {
        {kSmallClip, 30, 75},  // forward over a group
        {kSmallClip, 80, 10},  // back to an earlier group
        {kSmallClip, 40, 45},  // within the group
        {kBFrameClip, 30, 75}, // a reordering decoder
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.clip) + " from " + std::to_string(c.trigger) + " to " +
                     std::to_string(c.target));
        const FileRecording rec = MakeFile(Gen::V30, kFrames, false, c.clip);
        CTempDir dir;
        CPlayer player;
        CRenderLog shown;
        ASSERT_EQ(OpenLogged(player, dir.Write("seek.rec", rec.bytes), &shown), PLAY_OK);
        const PLAY_HANDLE h = player.Get();
        Prepare(h, kVideoDecode);
        ASSERT_TRUE(WaitIndex(h));
        SeekFromCallback seek;
        seek.trigger = c.trigger;
        seek.target = c.target;
        ASSERT_EQ(RegisterCallback(h, PLAY_CALLBACK_DECODE,
                                   reinterpret_cast<PLAY_CALLBACK_FUNCTION>(SeekWhenDecoded), &seek),
                  PLAY_OK);
        CNotifyCount ended;
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
        EXPECT_GE(seek.asked.load(), 1); // again when play passes the frame again
        EXPECT_EQ(seek.result.load(), PLAY_OK);
        const std::vector<uint32_t> seqs = shown.Sequences();
        // Up to the frame that asked, not including it; then the target,
        // then on from there to the end.
        // A target behind the frame that asked was shown once before.
        const auto from =
            c.target < c.trigger ? std::find(seqs.begin(), seqs.end(), c.trigger - 1) : seqs.begin();
        const auto it = std::find(from, seqs.end(), c.target);
        ASSERT_NE(it, seqs.end()) << "the target was not shown";
        EXPECT_TRUE(std::find(seqs.begin(), it, c.trigger) == it) << "the frame that asked was shown";
        const size_t at = size_t(it - seqs.begin());
        for (size_t i = 0; i < at; ++i)
            EXPECT_LT(seqs[i], c.trigger + 3) << "shown before the seek: frame " << seqs[i];
        // After the target only frames at or after it, each once.
        std::vector<uint32_t> after(seqs.begin() + long(at), seqs.end());
        std::vector<uint32_t> sorted = after;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end())
            << "a frame shown twice";
        EXPECT_GE(sorted.front(), c.target);
        EXPECT_EQ(sorted.size(), size_t(kFrames - c.target));
        EXPECT_EQ(sorted.back(), kFrames - 1);
    }
}

} // namespace
