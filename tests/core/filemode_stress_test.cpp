// File players under concurrent use: seeks, steps, direction changes and
// attribute reads from several threads while the index thread runs, releases
// racing with all of it, and several file players playing at once.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <thread>

#include "filemode_test_util.h"

using namespace filetest;

namespace {

// Results a call may give while other threads change the player under it.
bool Acceptable(int32_t r, bool bReleased) {
    switch (r) {
    case PLAY_OK:
    case PLAY_E_FAIL:
    case PLAY_E_NOT_SUPPORTED:
    case PLAY_E_INVALID_VALUE:
    case PLAY_E_NOT_READY:
    case PLAY_E_INDEX_NOT_READY:
    case PLAY_E_NOT_FOUND:
    case PLAY_E_NO_FRAME:
        return true;
    case PLAY_E_INVALID_HANDLE:
        return bReleased;
    default:
        return false;
    }
}

struct Chaos {
    std::atomic<bool> released{false}; // release has begun
    std::atomic<int> ops{0};
    std::atomic<int> bad{0};
    std::atomic<int32_t> firstBad{0};
    std::atomic<int> firstBadOp{-1};
};

int32_t QV_CALL CountParse(PLAY_HANDLE, FrameRecord *pFrame, void *pContext) {
    if (pFrame == nullptr || pFrame->dwSize != DEMUX_FRAME_RECORD_SIZE)
        static_cast<Chaos *>(pContext)->bad++;
    return 0;
}

// One client thread: random operations until the handle is gone.
void Hammer(PLAY_HANDLE h, Chaos *chaos, uint32_t seed, CNotifyCount *notices) {
    std::mt19937 rng(seed);
    for (int n = 0; n < 100000; ++n) {
        const bool bReleasedBefore = chaos->released.load();
        const int op = int(rng() % 10);
        int32_t r = PLAY_OK;
        switch (op) {
        case 0:
            r = SeekRatio(h, float(rng() % 990) / 1000.0f);
            break;
        case 1:
            r = SeekU32(h, PLAY_SEEK_TIME, rng() % 130000);
            break;
        case 2:
            r = SeekU32(h, PLAY_SEEK_INDEX, rng() % 3300);
            break;
        case 3: { // a single-frame step either way
            uint32_t index = 0, size = 4;
            r = PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &index, &size);
            if (r == PLAY_OK)
                r = SeekU32(h, PLAY_SEEK_INDEX, (rng() & 1) ? index + 1 : index - 1);
            break;
        }
        case 4:
        case 5: {
            static const uint32_t kActions[] = {PLAY_ACTION_PAUSE,         PLAY_ACTION_PLAY_FORWARD,
                                                PLAY_ACTION_PLAY_BACKWARD, PLAY_ACTION_STOP,
                                                PLAY_ACTION_PLAY_FORWARD,  PLAY_ACTION_PLAY_BACKWARD};
            r = Action(h, kActions[rng() % 6]);
            break;
        }
        case 6: {
            static const uint32_t kCodes[] = {PLAY_ATTRIBUTE_STATE,
                                              PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED,
                                              PLAY_ATTRIBUTE_FILE_ENDED,
                                              PLAY_ATTRIBUTE_PLAY_DATA_SIZE,
                                              PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT,
                                              PLAY_ATTRIBUTE_VDEC_STATUS,
                                              PLAY_ATTRIBUTE_DEMUX_STATUS,
                                              PLAY_ATTRIBUTE_VIDEO_FRAME_RATE};
            uint8_t buffer[128] = {};
            uint32_t size = sizeof(buffer);
            r = PlayApi_GetAttribute(h, kCodes[rng() % 8], buffer, &size);
            break;
        }
        case 7:
            r = OnNotify(h, (rng() & 1) ? PLAY_CALLBACK_FILE_INDEX_COMPLETED : PLAY_CALLBACK_FILE_ENDED,
                         notices);
            break;
        case 8:
            r = SetFloat(h, PLAY_CONTROL_SPEED, (rng() & 1) ? 64.0f : 0.5f);
            break;
        default:
            r = PlayApi_InputData(h, &seed, sizeof(seed));
            if (r == PLAY_E_NOT_SUPPORTED)
                r = PLAY_OK;
            else if (r != PLAY_E_INVALID_HANDLE)
                r = PLAY_E_BUFFER_FULL; // anything else is wrong for a file player
            break;
        }
        chaos->ops++;
        if (!Acceptable(r, bReleasedBefore || chaos->released.load())) {
            if (chaos->bad++ == 0) {
                chaos->firstBad = r;
                chaos->firstBadOp = op;
            }
        }
        if (r == PLAY_E_INVALID_HANDLE && chaos->released.load())
            return;
    }
}

TEST(FileStress, SeeksStepsDirectionsAndReleaseFromSeveralThreadsWhileIndexing) {
    const FileRecording r = MakeFile(Gen::V30, 3000, true);
    CTempDir dir;
    const auto path = dir.Write("stress.rec", r.bytes);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Chaos chaos;
        CNotifyCount notices;
        CPlayer player;
        ASSERT_EQ(OpenFile(player, path), PLAY_OK);
        PLAY_HANDLE h = player.Get();
        Prepare(h, kVideoDecode);
        ASSERT_EQ(RegisterCallback(h, PLAY_CALLBACK_STREAM_PARSE,
                                   reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountParse), &chaos),
                  PLAY_OK);
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        std::vector<std::thread> threads;
        for (uint32_t t = 0; t < 4; ++t)
            threads.emplace_back(Hammer, h, &chaos, 1000 * uint32_t(round) + t, &notices);
        // Let them work, in the first round while the index is being built.
        const int target = round == 0 ? 60 : 200;
        EXPECT_TRUE(WaitUntil([&] { return chaos.ops.load() >= target; }, 120000));
        // Several threads release at once: one succeeds.
        std::atomic<int> succeeded{0}, refused{0};
        std::vector<std::thread> releasers;
        for (int t = 0; t < 3; ++t)
            releasers.emplace_back([&] {
                chaos.released = true; // from here on the handle may be refused
                const int32_t res = PlayApi_Release(h);
                if (res == PLAY_OK) {
                    succeeded++;
                } else if (res == PLAY_E_INVALID_HANDLE) {
                    refused++;
                }
            });
        for (auto &t : releasers)
            t.join();
        player.Detach(); // released above
        chaos.released = true;
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(succeeded.load(), 1);
        EXPECT_EQ(refused.load(), 2);
        EXPECT_EQ(chaos.bad.load(), 0) << "unexpected result " << std::hex << chaos.firstBad.load()
                                       << std::dec << " from operation " << chaos.firstBadOp.load();
        uint32_t state = 0, size = 4;
        EXPECT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_STATE, &state, &size), PLAY_E_INVALID_HANDLE);
    }
}

// Released in each state it can be in, the index thread possibly still at
// work: no hang, nothing left behind (the address sanitizer checks).
TEST(FileStress, ReleaseInEveryState) {
    const FileRecording r = MakeFile(Gen::V30, 2000, true);
    const FileRecording small = MakeFile(Gen::G6000, 200, true);
    CTempDir dir;
    const auto path = dir.Write("release.rec", r.bytes);
    const auto path6000 = dir.Write("release6000.rec", small.bytes);
    enum Step { kIdle, kPlaying, kBackward, kPausedAfterSeek, kStopped };
    for (const auto &p : {path, path6000}) {
        for (int step = kIdle; step <= kStopped; ++step) {
            SCOPED_TRACE("state step " + std::to_string(step));
            CPlayer player;
            ASSERT_EQ(OpenFile(player, p), PLAY_OK);
            PLAY_HANDLE h = player.Get();
            Prepare(h, kVideoDecode);
            switch (step) {
            case kPlaying:
                EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
                break;
            case kBackward:
                ASSERT_TRUE(WaitIndex(h));
                EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
                break;
            case kPausedAfterSeek:
                EXPECT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
                EXPECT_EQ(SeekRatio(h, 0.4f), PLAY_OK);
                break;
            case kStopped:
                EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
                EXPECT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
                break;
            default:
                break;
            }
            player.Reset();
        }
    }
}

// Players of every generation, each played to the end on its own thread.
TEST(FileStress, SeveralFilePlayersInParallel) {
    const Gen gens[] = {Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000, Gen::V30};
    CTempDir dir;
    struct Run {
        FileRecording rec;
        std::filesystem::path path;
        std::vector<uint32_t> expected; // video sequences
        std::vector<uint32_t> got;
        int32_t openResult = -1;
        bool ended = false;
        bool backwardEnded = false;
        std::vector<uint32_t> backward;
    };
    std::vector<Run> runs(std::size(gens));
    for (size_t i = 0; i < runs.size(); ++i) {
        runs[i].rec = MakeFile(gens[i], 300, true);
        runs[i].path = dir.Write("parallel" + std::to_string(i) + ".rec", runs[i].rec.bytes);
        for (const FixtureFrame *f : runs[i].rec.Video())
            runs[i].expected.push_back(f->dwSequence);
    }
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i)
        threads.emplace_back([&run = runs[i], b6000 = gens[i] == Gen::G6000] {
            CRenderLog log;
            CNotifyCount ended;
            CPlayer player;
            run.openResult = OpenLogged(player, run.path, &log, b6000);
            if (run.openResult != PLAY_OK)
                return;
            PLAY_HANDLE h = player.Get();
            SetU32(h, PLAY_CONTROL_ENABLE, kVideoDecode);
            OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended);
            if (!WaitIndex(h))
                return;
            Action(h, PLAY_ACTION_PLAY_FORWARD);
            run.ended = WaitUntil([&] { return ended.count.load() == 1; }, 60000);
            run.got = log.Sequences();
            log.Clear();
            Action(h, PLAY_ACTION_PLAY_BACKWARD);
            run.backwardEnded = WaitUntil([&] { return ended.count.load() == 2; }, 60000);
            run.backward = log.Sequences();
        });
    for (auto &t : threads)
        t.join();
    for (size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(std::string("player ") + std::to_string(i) + " " + GenName(gens[i]));
        ASSERT_EQ(runs[i].openResult, PLAY_OK);
        EXPECT_TRUE(runs[i].ended);
        EXPECT_EQ(runs[i].got, runs[i].expected);
        EXPECT_TRUE(runs[i].backwardEnded);
        std::vector<uint32_t> reversed(runs[i].expected.rbegin(), runs[i].expected.rend());
        // Backward play starts where forward play ended: the last frame is
        // shown again first.
        EXPECT_EQ(runs[i].backward, reversed);
    }
}

} // namespace
