// The live stream player end to end on real recordings: input while
// playing, decode on demand against ffmpeg's checksums, the queue limit,
// catch-up, the buffer-almost-empty callback, the actions.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/player.h"
#include "platform/thread.h"
#include "player_test_util.h"

using namespace playtest;

namespace {

// ---- Reference checksums ----

// Pulls every frame; returns the checksums of the pictures in order.
std::vector<std::string> PullAll(PLAY_HANDLE h, std::vector<uint32_t> *sequences = nullptr) {
    std::vector<std::string> sums;
    for (;;) {
        PLAY_FRAME *pFrame = nullptr;
        const int32_t r = PlayApi_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_I420, &pFrame);
        if (r == PLAY_E_NO_FRAME)
            break;
        EXPECT_EQ(r, PLAY_OK);
        if (r != PLAY_OK)
            break;
        EXPECT_NE(pFrame->pFrame, nullptr);
        if (sequences && pFrame->pFrame->nType != DEMUX_FRAME_AUDIO)
            sequences->push_back(pFrame->pFrame->dwSequence);
        if (pFrame->pFrame->nType != DEMUX_FRAME_AUDIO && pFrame->output.picture.pBuffer != nullptr)
            sums.push_back(PictureMd5(pFrame->output.picture));
        EXPECT_EQ(PlayApi_FreeDecodeFrame(h, pFrame), PLAY_OK);
    }
    return sums;
}

struct ClipCase {
    const char *sample;
    uint16_t width, height;
    size_t heldBack; // pictures the decoder still holds after the last frame
};

class DecodeOnDemand : public ::testing::TestWithParam<ClipCase> {};

TEST_P(DecodeOnDemand, EveryPictureMatchesFfmpeg) {
    const ClipCase c = GetParam();
    V30Options o;
    o.videoSample = c.sample;
    o.wWidth = c.width;
    o.wHeight = c.height;
    o.dwAudioCodec = DEMUX_CODEC_G711_ALAW;
    const Recording r = MakeV30(o);
    ASSERT_FALSE(r.bytes.empty());
    const std::vector<std::string> expected = FixtureFrameMd5s(c.sample);
    ASSERT_FALSE(expected.empty());

    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE,
                     PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE),
              PLAY_OK);
    // The clip with its audio fits the parser's queue at once.
    ASSERT_EQ(PlayApi_InputData(player.Get(), r.bytes.data() + kV30HeaderSize,
                                uint32_t(r.bytes.size() - kV30HeaderSize)),
              PLAY_OK);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), uint32_t(r.frames.size()));
    const std::vector<std::string> got = PullAll(player.Get());
    // Every picture in ffmpeg's order from the first on. A live stream has
    // no end, so the few pictures the decoder holds back for reordering
    // after the last frame are never asked for: their frames stay with it.
    ASSERT_LE(got.size(), expected.size());
    EXPECT_GE(got.size() + c.heldBack, expected.size());
    EXPECT_EQ(got.size() + player.Mode()->FramesInDecoder(), expected.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i], expected[i]) << "picture " << i;
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PICTURE_WIDTH), c.width);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PICTURE_HEIGHT), c.height);
    EXPECT_EQ(player.Mode()->HandedOutFrameCount(), 0u);
    // The decoder and the audio decoder report through the status records.
    DecoderInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(PlayApi_GetAttribute(player.Get(), PLAY_ATTRIBUTE_VDEC_STATUS, &info, &size), PLAY_OK);
    EXPECT_EQ(info.dwSize, VDEC_INFO_SIZE);
    // The decoder also counts the copy of its first key frame that a fresh
    // decoder may be given again before its first picture (dropped).
    EXPECT_GE(info.dwPictureCount, uint32_t(got.size()));
    EXPECT_LT(info.dwPictureCount, uint32_t(got.size()) + kPlayKeyFrameDecodeCalls);
    ADEC_STATUS adec{};
    size = sizeof(adec);
    ASSERT_EQ(PlayApi_GetAttribute(player.Get(), PLAY_ATTRIBUTE_ADEC_STATUS, &adec, &size), PLAY_OK);
    EXPECT_EQ(adec.dwFrameCount, uint32_t(r.frames.size() - VideoFrames(r).size()));
}

INSTANTIATE_TEST_SUITE_P(Clips, DecodeOnDemand,
                         ::testing::Values(ClipCase{"h264_352x288_baseline_cavlc.264", 352, 288, 1},
                                           ClipCase{"h264_704x576_high_cabac.264", 704, 576, 3},
                                           ClipCase{"h264_1920x1080_high.264", 1920, 1080, 3},
                                           // Coded sizes other than the picture's: delivered cropped.
                                           ClipCase{"h264_640x360_main.264", 640, 360, 3},
                                           ClipCase{"h264_960x540_high.264", 960, 540, 3},
                                           ClipCase{"h264_2592x1944_high.264", 2592, 1944, 3}));

TEST(StreamDecodeOnDemand, FramesHandedOutAreTheCallersUntilFreed) {
    const Recording r = MakeVideoOnly(30, "h264_352x288_baseline_cavlc.264", 352, 288);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    ASSERT_EQ(
        SetU32(player.Get(), PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
        PLAY_OK);
    ASSERT_EQ(PlayApi_InputData(player.Get(), r.bytes.data() + kV30HeaderSize,
                                uint32_t(r.bytes.size() - kV30HeaderSize)),
              PLAY_OK);
    std::vector<PLAY_FRAME *> held;
    for (int i = 0; i < 5; ++i) {
        PLAY_FRAME *pFrame = nullptr;
        ASSERT_EQ(PlayApi_GetDecodeFrame(player.Get(), 0, &pFrame), PLAY_OK);
        EXPECT_EQ(pFrame->pFrame->dwSequence, uint32_t(i));
        // The decoder may hold the first picture back for a frame.
        if (i > 0) {
            EXPECT_EQ(pFrame->output.picture.dwWidth, 352u);
            EXPECT_EQ(pFrame->output.picture.dwHeight, 288u);
            EXPECT_GE(pFrame->output.picture.dwBufferSize, 352u * 288u * 3u / 2u);
        }
        held.push_back(pFrame);
    }
    EXPECT_EQ(player.Mode()->HandedOutFrameCount(), 5u);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 4u);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PLAY_DURATION), 160u);
    EXPECT_EQ(PlayApi_FreeDecodeFrame(player.Get(), held[2]), PLAY_OK);
    // Given back once: a second time it is no longer this player's.
    EXPECT_EQ(PlayApi_FreeDecodeFrame(player.Get(), held[2]), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(player.Mode()->HandedOutFrameCount(), 4u);
    // The rest are never given back: release takes them back.
}

// ---- Playing with input from another thread ----

struct ParseLog {
    std::mutex lock;
    std::vector<uint32_t> sequences;  // video
    std::vector<uint32_t> timestamps; // all frames
    std::vector<int32_t> types;
    std::atomic<int> decoded{0};
    std::atomic<int> almostEmpty{0};
};

int32_t QV_CALL LogParse(PLAY_HANDLE, FrameRecord *pFrame, void *pContext) {
    ParseLog *log = static_cast<ParseLog *>(pContext);
    std::lock_guard<std::mutex> guard(log->lock);
    if (pFrame->nType != DEMUX_FRAME_AUDIO)
        log->sequences.push_back(pFrame->dwSequence);
    log->timestamps.push_back(pFrame->dwTimestamp);
    log->types.push_back(pFrame->nType);
    return 0;
}

int32_t QV_CALL CountDecode(PLAY_HANDLE, PLAY_FRAME *pFrame, void *pContext) {
    if (pFrame->pFrame->nType != DEMUX_FRAME_AUDIO && pFrame->output.picture.pBuffer != nullptr)
        static_cast<ParseLog *>(pContext)->decoded++;
    return 0;
}

int32_t QV_CALL CountAlmostEmpty(PLAY_HANDLE, uint32_t, void *pContext) {
    static_cast<ParseLog *>(pContext)->almostEmpty++;
    return 0;
}

void Register(PLAY_HANDLE h, uint32_t kind, PLAY_CALLBACK_FUNCTION fn, void *ctx, uint32_t param = 0) {
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = fn;
    cb.pContext = ctx;
    cb.dwParam = param;
    ASSERT_EQ(PlayApi_RegisterCallbackFunction(h, kind, &cb, PLAY_CALLBACK_PARAM_SIZE), PLAY_OK);
}

// Pushes bytes in blocks of random sizes, offering a refused block again.
void PushRandomBlocks(PLAY_HANDLE h, const std::vector<uint8_t> &bytes, size_t from, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> sizes(1, 48 * 1024);
    size_t pos = from;
    while (pos < bytes.size()) {
        const size_t n = std::min(sizes(rng), bytes.size() - pos);
        int32_t r;
        while ((r = PlayApi_InputData(h, bytes.data() + pos, uint32_t(n))) == PLAY_E_BUFFER_FULL)
            platform::SleepMs(2);
        ASSERT_EQ(r, PLAY_OK);
        pos += n;
    }
}

TEST(StreamPlay, ParseCallbackSeesEveryFrameInOrderWhilePlaying) {
    V30Options o;
    o.videoSample = "h264_352x288_baseline_cavlc.264";
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 300; // the clip six times, with audio: beyond the queue limit
    const Recording r = MakeV30(o);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    // Video only to the decoder; sound off so that no device is needed.
    ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE),
              PLAY_OK);
    ParseLog log;
    Register(player.Get(), PLAY_CALLBACK_STREAM_PARSE, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(LogParse),
             &log);
    Register(player.Get(), PLAY_CALLBACK_DECODE, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountDecode), &log);
    // A threshold turns the catch-up off: the application paces its input.
    Register(player.Get(), PLAY_CALLBACK_BUFFER_ALMOST_EMPTY,
             reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountAlmostEmpty), &log, 1);
    ASSERT_EQ(Action(player.Get(), PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));

    std::thread pusher([&] { PushRandomBlocks(player.Get(), r.bytes, kV30HeaderSize, 1234); });
    pusher.join();
    // Wait until the play thread has taken everything.
    const size_t total = r.frames.size();
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> guard(log.lock);
            if (log.timestamps.size() == total)
                break;
        }
        platform::SleepMs(5);
    }
    ASSERT_EQ(Action(player.Get(), PLAY_ACTION_PAUSE), PLAY_OK);
    std::lock_guard<std::mutex> guard(log.lock);
    ASSERT_EQ(log.timestamps.size(), total);
    for (size_t i = 0; i < total; ++i) {
        ASSERT_EQ(log.timestamps[i], r.frames[i].dwTimestamp) << i;
        ASSERT_EQ(log.types[i], r.frames[i].nType) << i;
    }
    const auto video = VideoFrames(r);
    ASSERT_EQ(log.sequences.size(), video.size());
    for (size_t i = 0; i < video.size(); ++i)
        ASSERT_EQ(log.sequences[i], video[i]->dwSequence) << i;
    // Every frame decoded, but for the few the decoder still holds back.
    EXPECT_LE(log.decoded.load(), int(video.size()));
    EXPECT_GE(log.decoded.load() + 3, int(video.size()));
    EXPECT_GT(log.almostEmpty.load(), 0);
    EXPECT_EQ(AttrU64(player.Get(), PLAY_ATTRIBUTE_PLAY_DATA_SIZE),
              uint64_t(r.bytes.size() - kV30HeaderSize));
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 299u);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PLAY_DURATION), 299u * 40u);
    // 300 frames of 40 ms: the statistics measured 25 frames per second.
    EXPECT_FLOAT_EQ(AttrFloat(player.Get(), PLAY_ATTRIBUTE_VIDEO_FRAME_RATE), 25.0f);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE), 25u);
    EXPECT_FLOAT_EQ(AttrFloat(player.Get(), PLAY_ATTRIBUTE_AUDIO_FRAME_RATE), 25.0f);
}

// ---- Queue limit ----

TEST(StreamInput, FullQueueRefusesInputUntilFramesArePulled) {
    const Recording r = MakeVideoOnly(200);
    const auto blocks = FrameBlocks(r);
    ASSERT_EQ(blocks.size(), 200u);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND), PLAY_OK);
    // The parser takes input while at most 150 frames wait.
    size_t next = 0;
    while (next < blocks.size() &&
           PlayApi_InputData(player.Get(), blocks[next].data(), uint32_t(blocks[next].size())) == PLAY_OK)
        ++next;
    EXPECT_EQ(next, 151u);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), 151u);
    EXPECT_EQ(PlayApi_InputData(player.Get(), blocks[next].data(), uint32_t(blocks[next].size())),
              PLAY_E_BUFFER_FULL);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), 151u);

    std::vector<uint32_t> sequences;
    auto pull = [&](int n) {
        for (int i = 0; i < n; ++i) {
            PLAY_FRAME *pFrame = nullptr;
            ASSERT_EQ(PlayApi_GetDecodeFrame(player.Get(), 0, &pFrame), PLAY_OK);
            sequences.push_back(pFrame->pFrame->dwSequence);
            ASSERT_EQ(PlayApi_FreeDecodeFrame(player.Get(), pFrame), PLAY_OK);
        }
    };
    pull(2);
    // The same block is taken now, and the rest after it.
    for (; next < blocks.size(); ++next) {
        int32_t res;
        while ((res = PlayApi_InputData(player.Get(), blocks[next].data(), uint32_t(blocks[next].size()))) ==
               PLAY_E_BUFFER_FULL)
            pull(1);
        ASSERT_EQ(res, PLAY_OK);
    }
    for (;;) {
        PLAY_FRAME *pFrame = nullptr;
        const int32_t res = PlayApi_GetDecodeFrame(player.Get(), 0, &pFrame);
        if (res == PLAY_E_NO_FRAME)
            break;
        ASSERT_EQ(res, PLAY_OK);
        sequences.push_back(pFrame->pFrame->dwSequence);
        ASSERT_EQ(PlayApi_FreeDecodeFrame(player.Get(), pFrame), PLAY_OK);
    }
    ASSERT_EQ(sequences.size(), 200u);
    for (uint32_t i = 0; i < 200; ++i)
        EXPECT_EQ(sequences[i], i);
}

// ---- Catch-up and the buffer-almost-empty callback (steps run directly) ----

class QueuedStream : public ::testing::Test {
protected:
    void Fill(uint32_t frames) {
        rec = MakeVideoOnly(frames);
        ASSERT_EQ(OpenStream(player, rec.bytes), PLAY_OK);
        // No decoding: only the frame source and the clock are looked at.
        ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE, 0), PLAY_OK);
        for (const auto &b : FrameBlocks(rec))
            ASSERT_EQ(PlayApi_InputData(player.Get(), b.data(), uint32_t(b.size())), PLAY_OK);
    }
    // One frame through the source and the clock, as the play step would.
    PLAY_FRAME Take() {
        PLAY_FRAME f{};
        EXPECT_EQ(player.Mode()->ReadFrame(&f), PLAY_OK);
        return f;
    }
    void Done(PLAY_FRAME &f) {
        player.Mode()->UpdateStatistics(&f);
        player.Mode()->ReleaseFrame(&f);
    }
    Recording rec;
    CPlayer player;
};

TEST_F(QueuedStream, FarBehindSkipsToTheNextQueuedKeyFrame) {
    Fill(121);
    PLAY_FRAME f = Take();
    // The first key frame is taken, 120 remain: skip to frame 25.
    ASSERT_NE(f.pFrame, nullptr);
    EXPECT_EQ(f.pFrame->dwSequence, 25u);
    EXPECT_EQ(f.pFrame->nType, DEMUX_FRAME_I);
    EXPECT_EQ(player.Mode()->CatchUpState(), 2);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), 95u);
    Done(f);
    f = Take();
    EXPECT_EQ(f.pFrame->dwSequence, 26u); // 94 left: no more skipping
    Done(f);
}

TEST_F(QueuedStream, SkipsDoNotSlowTheClock) {
    // A source far ahead of the player: skip after skip while it feeds. The
    // frames skipped must not count as time shown, or the measured rate
    // falls to a frame or two per second and every later picture stays up
    // to a second. Pictures come out a few frames after their frames went
    // in, as from a decoder that holds some back.
    rec = MakeVideoOnly(700);
    ASSERT_EQ(OpenStream(player, rec.bytes), PLAY_OK);
    ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE, 0), PLAY_OK);
    const std::vector<std::vector<uint8_t>> blocks = FrameBlocks(rec);
    size_t next = 0;
    std::deque<PLAY_FRAME> inDecoder;
    std::vector<uint32_t> delays;
    uint32_t shownKeys = 0;
    auto show = [&](PLAY_FRAME f) {
        ASSERT_EQ(player.Mode()->ComputeFrameTiming(&f), PLAY_OK);
        delays.push_back(f.dwPresentDelay);
        if (f.pFrame->nType == DEMUX_FRAME_I)
            ++shownKeys;
        Done(f);
    };
    for (;;) {
        // Three blocks in for every frame out at first, then as many as
        // go out: the queue settles and the rate is measured again.
        const int perFrame = next < 300 ? 3 : 1;
        for (int i = 0; i < perFrame && next < blocks.size(); ++i) {
            if (PlayApi_InputData(player.Get(), blocks[next].data(), uint32_t(blocks[next].size())) != PLAY_OK)
                break;
            ++next;
        }
        PLAY_FRAME f{};
        const int32_t r = player.Mode()->ReadFrame(&f);
        if (r == PLAY_E_NOT_READY && next == blocks.size())
            break;
        ASSERT_EQ(r, PLAY_OK);
        inDecoder.push_back(f);
        if (inDecoder.size() > 3) {
            show(inDecoder.front());
            inDecoder.pop_front();
        }
    }
    for (PLAY_FRAME &f : inDecoder)
        show(f);
    ASSERT_GT(delays.size(), 100u);
    EXPECT_LT(delays.size(), 700u); // some were skipped
    EXPECT_GE(shownKeys, 4u);       // the rate was measured more than once
    for (size_t i = 0; i < delays.size(); ++i)
        ASSERT_LE(delays[i], 40000u) << "picture " << i;
    const float rate = AttrFloat(player.Get(), PLAY_ATTRIBUTE_VIDEO_FRAME_RATE);
    EXPECT_GT(rate, 20.0f);
    EXPECT_LT(rate, 30.0f);
}

TEST_F(QueuedStream, HalvesDelaysFromSixteenQueuedUntilFewerThanFive) {
    Fill(21);
    std::vector<uint32_t> delays;
    for (int i = 0; i < 21; ++i) {
        PLAY_FRAME f = Take();
        ASSERT_EQ(f.pFrame->dwSequence, uint32_t(i));
        ASSERT_EQ(player.Mode()->ComputeFrameTiming(&f), PLAY_OK);
        delays.push_back(f.dwPresentDelay);
        Done(f);
    }
    // Queued after each frame: 20, 19, ..., 0. Halved from the first frame
    // (20 >= 16) through the one that leaves 4 (< 5), full delay after.
    for (int i = 0; i < 21; ++i) {
        const uint32_t queued = uint32_t(20 - i);
        EXPECT_EQ(delays[i], queued >= 4 ? 20000u : 40000u) << "frame " << i;
    }
    EXPECT_EQ(player.Mode()->CatchUpState(), 0);
}

int32_t QV_CALL RecordQueued(PLAY_HANDLE, uint32_t dwQueued, void *pContext) {
    static_cast<std::vector<uint32_t> *>(pContext)->push_back(dwQueued);
    return 0;
}

TEST_F(QueuedStream, AlmostEmptyCallbackReplacesCatchUp) {
    Fill(121);
    ParseLog log;
    std::vector<uint32_t> counts;
    Register(player.Get(), PLAY_CALLBACK_BUFFER_ALMOST_EMPTY,
             reinterpret_cast<PLAY_CALLBACK_FUNCTION>(RecordQueued), &counts, 10);
    for (uint32_t i = 0; i < 121; ++i) {
        PLAY_FRAME f = Take();
        ASSERT_EQ(f.pFrame->dwSequence, i); // no skipping
        ASSERT_EQ(player.Mode()->ComputeFrameTiming(&f), PLAY_OK);
        EXPECT_EQ(f.dwPresentDelay, 40000u) << i; // no halving
        Done(f);
    }
    EXPECT_EQ(player.Mode()->CatchUpState(), 0);
    // Fired after every frame taken while 0 to 9 remained.
    ASSERT_EQ(counts.size(), 10u);
    for (uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(counts[i], 9 - i);
}

TEST_F(QueuedStream, FramesBeforeTheFirstKeyFrameAreDiscarded) {
    rec = MakeVideoOnly(60);
    ASSERT_EQ(OpenStream(player, rec.bytes), PLAY_OK);
    ASSERT_EQ(SetU32(player.Get(), PLAY_CONTROL_ENABLE, 0), PLAY_OK);
    const auto blocks = FrameBlocks(rec);
    // Start in the middle of the first group: frames 10..59.
    for (size_t i = 10; i < blocks.size(); ++i)
        ASSERT_EQ(PlayApi_InputData(player.Get(), blocks[i].data(), uint32_t(blocks[i].size())), PLAY_OK);
    PLAY_FRAME f = Take();
    EXPECT_EQ(f.pFrame->dwSequence, 25u);
    EXPECT_EQ(player.Mode()->FirstFrame().dwSequence, 25u);
    Done(f);
    f = Take();
    Done(f);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 1u);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_PLAY_DURATION), 40u);
}

TEST_F(QueuedStream, NoKeyFrameQueuedIsNotReady) {
    rec = MakeVideoOnly(20);
    ASSERT_EQ(OpenStream(player, rec.bytes), PLAY_OK);
    const auto blocks = FrameBlocks(rec);
    for (size_t i = 1; i < blocks.size(); ++i)
        ASSERT_EQ(PlayApi_InputData(player.Get(), blocks[i].data(), uint32_t(blocks[i].size())), PLAY_OK);
    PLAY_FRAME f{};
    EXPECT_EQ(player.Mode()->ReadFrame(&f), PLAY_E_NOT_READY);
    EXPECT_EQ(f.pFrame, nullptr);
    EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), 0u);
}

// ---- Actions ----

TEST(StreamActions, StatesOfPlayPauseStop) {
    const Recording r = MakeVideoOnly(60);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
    EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    EXPECT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    EXPECT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
}

TEST(StreamActions, PauseWhilePlayingStopsAtAFrameBoundary) {
    V30Options o;
    o.videoSample = "h264_352x288_baseline_cavlc.264";
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 100;
    o.dwAudioCodec = 0;
    const Recording r = MakeV30(o);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_VIDEO_DECODE), PLAY_OK);
    ParseLog log;
    Register(h, PLAY_CALLBACK_STREAM_PARSE, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(LogParse), &log);
    Register(h, PLAY_CALLBACK_DECODE, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountDecode), &log);
    Register(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountAlmostEmpty),
             &log, 1);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    for (const auto &b : FrameBlocks(r))
        ASSERT_EQ(PlayApi_InputData(h, b.data(), uint32_t(b.size())), PLAY_OK);
    // Let the play thread get going, then pause in the middle.
    for (int i = 0; i < 400 && log.decoded.load() < 5; ++i)
        platform::SleepMs(1);
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    // Once pause has returned, nothing more is taken or decoded: every frame
    // parsed went through the decoder (which may hold one picture back), and
    // the counts stay.
    size_t parsed;
    {
        std::lock_guard<std::mutex> guard(log.lock);
        parsed = log.sequences.size();
    }
    const int decoded = log.decoded.load();
    EXPECT_LE(size_t(decoded), parsed);
    EXPECT_GE(size_t(decoded) + 1, parsed);
    platform::SleepMs(300);
    {
        std::lock_guard<std::mutex> guard(log.lock);
        EXPECT_EQ(log.sequences.size(), parsed);
    }
    EXPECT_EQ(log.decoded.load(), decoded);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), uint32_t(100 - parsed));
    // Playing again goes on with the next frame.
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> guard(log.lock);
            if (log.sequences.size() == 100)
                break;
        }
        platform::SleepMs(2);
    }
    std::lock_guard<std::mutex> guard(log.lock);
    ASSERT_EQ(log.sequences.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i)
        EXPECT_EQ(log.sequences[i], i);
}

TEST(StreamActions, StopDropsInputAndRestartsAtTheNextKeyFrame) {
    const Recording r = MakeVideoOnly(75);
    const auto blocks = FrameBlocks(r);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, 0), PLAY_OK);
    ParseLog log;
    Register(h, PLAY_CALLBACK_STREAM_PARSE, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(LogParse), &log);
    Register(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountAlmostEmpty),
             &log, 1);
    for (size_t i = 0; i < 20; ++i)
        ASSERT_EQ(PlayApi_InputData(h, blocks[i].data(), uint32_t(blocks[i].size())), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> guard(log.lock);
            if (log.sequences.size() == 20)
                break;
        }
        platform::SleepMs(2);
    }
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), 0u);
    EXPECT_FALSE(CBasePlayMode::IsValidPosition(player.Mode()->FirstFrame()));
    // Half a frame left behind in the parser is dropped by the stop as well.
    ASSERT_EQ(PlayApi_InputData(h, blocks[20].data(), uint32_t(blocks[20].size() / 2)), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    {
        std::lock_guard<std::mutex> guard(log.lock);
        log.sequences.clear();
    }
    // New data from the middle of a group: play starts at frame 50.
    for (size_t i = 40; i < 75; ++i)
        ASSERT_EQ(PlayApi_InputData(h, blocks[i].data(), uint32_t(blocks[i].size())), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    for (int i = 0; i < 2000; ++i) {
        if (AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT) == 0 &&
            AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) == 24)
            break;
        platform::SleepMs(2);
    }
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    std::lock_guard<std::mutex> guard(log.lock);
    ASSERT_EQ(log.sequences.size(), 25u);
    EXPECT_EQ(log.sequences.front(), 50u);
    EXPECT_EQ(player.Mode()->FirstFrame().dwSequence, 50u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 24u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION), 24u * 40u);
}

// ---- Bad input ----

TEST(StreamBadInput, GarbageIsTakenAndYieldsNothing) {
    const Recording r = MakeVideoOnly(30);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    std::mt19937 rng(7);
    std::vector<uint8_t> garbage(300000);
    for (auto &b : garbage)
        b = uint8_t(rng());
    ASSERT_EQ(PlayApi_InputData(h, garbage.data(), uint32_t(garbage.size())), PLAY_OK);
    PLAY_FRAME *pFrame = nullptr;
    EXPECT_EQ(PlayApi_GetDecodeFrame(h, 0, &pFrame), PLAY_E_NO_FRAME);
    // Real frames after the garbage are still found.
    ASSERT_EQ(
        PlayApi_InputData(h, r.bytes.data() + kV30HeaderSize, uint32_t(r.bytes.size() - kV30HeaderSize)),
        PLAY_OK);
    std::vector<uint32_t> sequences;
    PullAll(h, &sequences);
    // Every frame once (in display order); the last few stay with the
    // decoder, a live stream having no end.
    EXPECT_EQ(sequences.size() + player.Mode()->FramesInDecoder(), 30u);
    ASSERT_GE(sequences.size(), 27u);
    EXPECT_EQ(sequences.front(), 0u);
    std::vector<uint32_t> sorted = sequences;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end());
    EXPECT_LT(sorted.back(), 30u);
}

// Callbacks that call back into the player they came from.
struct Reentry {
    std::atomic<int> calls{0};
    std::atomic<int> failures{0};
    std::atomic<int32_t> releaseResult{0};
};

int32_t QV_CALL ReenterOnParse(PLAY_HANDLE h, FrameRecord *, void *pContext) {
    Reentry *re = static_cast<Reentry *>(pContext);
    const int n = ++re->calls;
    uint32_t state = 0, size = 4;
    if (PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_STATE, &state, &size) != PLAY_OK)
        re->failures++;
    const uint32_t volume = 1000;
    if (PlayApi_SetControl(h, PLAY_CONTROL_VOLUME, &volume, 4) != PLAY_OK)
        re->failures++;
    const float speed = 2.0f;
    if (PlayApi_SetControl(h, PLAY_CONTROL_SPEED, &speed, 4) != PLAY_OK)
        re->failures++;
    // A callback may not release its own player: refused, not a deadlock.
    re->releaseResult = PlayApi_Release(h);
    if (n == 10) {
        // Pausing from the play thread takes effect after this frame.
        const uint32_t pause = PLAY_ACTION_PAUSE;
        if (PlayApi_SetControl(h, PLAY_CONTROL_ACTION, &pause, 4) != PLAY_OK)
            re->failures++;
    }
    return 0;
}

TEST(StreamBadInput, CallbacksCallingBackIntoThePlayer) {
    const Recording r = MakeVideoOnly(40);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, 0), PLAY_OK);
    Reentry re;
    Register(h, PLAY_CALLBACK_STREAM_PARSE, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(ReenterOnParse), &re);
    Register(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountAlmostEmpty),
             &re, 1);
    for (const auto &b : FrameBlocks(r))
        ASSERT_EQ(PlayApi_InputData(h, b.data(), uint32_t(b.size())), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    for (int i = 0; i < 2000 && AttrU32(h, PLAY_ATTRIBUTE_STATE) != PLAY_STATE_PAUSED; ++i)
        platform::SleepMs(2);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    platform::SleepMs(100);
    EXPECT_EQ(re.calls.load(), 10);
    EXPECT_EQ(re.failures.load(), 0);
    EXPECT_EQ(re.releaseResult.load(), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_VOLUME), 1000u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), 30u);
}

} // namespace

// ---- Decoder renewal ----

namespace {

struct Pulled {
    uint32_t sequence;
    uint32_t width; // 0: no picture
    uint32_t height;
};

std::vector<Pulled> PullPictures(PLAY_HANDLE h) {
    std::vector<Pulled> out;
    PLAY_FRAME *pFrame = nullptr;
    while (PlayApi_GetDecodeFrame(h, 0, &pFrame) == PLAY_OK) {
        const DecodedPicture &pic = pFrame->output.picture;
        out.push_back(
            {pFrame->pFrame->dwSequence, pic.pBuffer ? pic.dwWidth : 0, pic.pBuffer ? pic.dwHeight : 0});
        EXPECT_EQ(PlayApi_FreeDecodeFrame(h, pFrame), PLAY_OK);
    }
    return out;
}

void Push(PLAY_HANDLE h, const std::vector<std::vector<uint8_t>> &blocks, size_t from, size_t to,
          size_t skip = ~size_t(0)) {
    for (size_t i = from; i < to; ++i) {
        if (i != skip) {
            ASSERT_EQ(PlayApi_InputData(h, blocks[i].data(), uint32_t(blocks[i].size())), PLAY_OK);
        }
    }
}

} // namespace

TEST(StreamDecoderRenewal, NewPictureSizeWaitsForAKeyFrame) {
    const Recording small = MakeVideoOnly(30, "h264_352x288_baseline_cavlc.264", 352, 288);
    const Recording large = MakeVideoOnly(50, "h264_704x576_high_cabac.264", 704, 576);
    CPlayer player;
    ASSERT_EQ(OpenStream(player, small.bytes), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    Push(h, FrameBlocks(small), 0, 30);
    // The larger stream joins in the middle of a group: frames 10 to 24 are
    // P frames of a size the decoder was not made for.
    Push(h, FrameBlocks(large), 10, 50);
    const std::vector<Pulled> got = PullPictures(h);
    // Every frame, but the last few that the reordering decoder still holds
    // (a live stream has no end).
    ASSERT_EQ(got.size() + player.Mode()->FramesInDecoder(), 70u);
    ASSERT_GT(got.size(), 60u);
    for (size_t i = 0; i < 30; ++i) {
        EXPECT_EQ(got[i].width, 352u) << i;
        EXPECT_EQ(got[i].height, 288u) << i;
    }
    // The first larger frame renews the decoder; without a key frame nothing
    // is decoded until frame 25 of the larger stream.
    for (size_t i = 30; i < 45; ++i) {
        EXPECT_EQ(got[i].sequence, 10 + i - 30);
        EXPECT_EQ(got[i].width, 0u) << "frame " << got[i].sequence;
    }
    // From the key frame on every frame comes with its own picture.
    EXPECT_EQ(got[45].sequence, 25u);
    size_t pictures = 0;
    for (size_t i = 45; i < got.size(); ++i) {
        ++pictures;
        EXPECT_EQ(got[i].width, 704u) << "frame " << got[i].sequence;
        EXPECT_EQ(got[i].height, 576u) << "frame " << got[i].sequence;
    }
    // The renewed decoder counts its own pictures (and the copy of its
    // first key frame it may be given again, dropped).
    DecoderInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_VDEC_STATUS, &info, &size), PLAY_OK);
    EXPECT_GE(info.dwPictureCount, uint32_t(pictures));
    EXPECT_LT(info.dwPictureCount, uint32_t(pictures) + kPlayKeyFrameDecodeCalls);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PICTURE_WIDTH), 704u);
}

TEST(StreamDecoderRenewal, SequenceGapRenewsOnlyWithResetOnGap) {
    const Recording r = MakeVideoOnly(50, "h264_352x288_baseline_cavlc.264", 352, 288);
    const auto blocks = FrameBlocks(r);
    struct Case {
        uint32_t flags;
        bool renews;
    };
    const Case cases[] = {
        {PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_RESET_ON_GAP, true},
        {PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE, false},
    };
    for (const Case &c : cases) {
        CPlayer player;
        ASSERT_EQ(OpenStream(player, r.bytes), PLAY_OK);
        PLAY_HANDLE h = player.Get();
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, c.flags), PLAY_OK);
        Push(h, blocks, 0, 50, 10); // frame 10 lost on the way
        const std::vector<Pulled> got = PullPictures(h);
        ASSERT_EQ(got.size(), 49u);
        EXPECT_EQ(got[10].sequence, 11u);
        for (size_t i = 1; i < 10; ++i)
            EXPECT_EQ(got[i].width, 352u) << i;
        // Frames 11 to 24 after the gap: dropped until the key frame at 25
        // when the decoder is renewed, decoded (as well as it goes) if not.
        for (size_t i = 10; i < 24; ++i)
            EXPECT_EQ(got[i].width, c.renews ? 0u : 352u)
                << "frame " << got[i].sequence << " flags " << c.flags;
        EXPECT_EQ(got.back().width, 352u);
    }
}

// A stream player whose decoder renewal limits the test sets.
class CRenewingPlayer final : public CStreamMode {
public:
    void SetPictureLimit(uint32_t dwLimit) { m_streamParam.dwRenewPictureLimit = dwLimit; }
    uint32_t PictureLimit() const { return m_streamParam.dwRenewPictureLimit; }
    uint32_t TimeLimit() const { return m_streamParam.dwRenewTimeLimitMs; }
};

TEST(StreamDecoderRenewal, KeyFrameAfterThePictureLimitRenewsTheDecoder) {
    const Recording r = MakeVideoOnly(50, "h264_352x288_baseline_cavlc.264", 352, 288);
    CRenewingPlayer *pPlayer = new CRenewingPlayer();
    PLAY_CREATE_PARAM p = StreamParam(r.bytes.data(), kV30HeaderSize);
    ASSERT_EQ(pPlayer->Open(&p), PLAY_OK);
    CPlayer player(pPlayer->Handle());
    // Stream players renew after 30 minutes of decoding or a million pictures.
    EXPECT_EQ(pPlayer->PictureLimit(), kPlayStreamRenewPictures);
    EXPECT_EQ(pPlayer->TimeLimit(), kPlayStreamRenewTimeMs);
    EXPECT_EQ(pPlayer->StreamParams().soundSetting.dwStartThreshold, 400u);
    pPlayer->SetPictureLimit(10);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    Push(h, FrameBlocks(r), 0, 50);
    const std::vector<Pulled> got = PullPictures(h);
    ASSERT_EQ(got.size(), 50u);
    // Past the limit nothing happens until the next key frame (25), which
    // starts a new decoder; the pictures from then on, its own included,
    // are the new one's.
    size_t before = 0, after = 0;
    for (const Pulled &f : got) {
        if (f.width == 0)
            continue;
        EXPECT_EQ(f.width, 352u);
        (f.sequence < 25 ? before : after)++;
    }
    EXPECT_GE(before, 20u);
    EXPECT_GE(after, 20u);
    DecoderInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_VDEC_STATUS, &info, &size), PLAY_OK);
    EXPECT_EQ(info.dwPictureCount, uint32_t(after));
}
