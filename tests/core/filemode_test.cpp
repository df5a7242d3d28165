// File players end to end on recordings of every container generation: the
// key-frame index, the frame-rate estimate at open, the index-completed and
// file-ended callbacks, forward play to the end and the restarts after it,
// decode on demand, the calls a file player refuses, and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "demux/stream6000.h"
#include "filemode_test_util.h"

using namespace filetest;

namespace {

// ---- Index ----

class FileIndex : public ::testing::TestWithParam<Gen> {};

TEST_P(FileIndex, KeyFramesDurationAndFrameCountAreThoseWritten) {
    const Gen gen = GetParam();
    // Long enough that both readers go through several blocks of the file.
    const FileRecording r = MakeFile(gen, 1000, true);
    ASSERT_FALSE(r.bytes.empty());
    ASSERT_GT(r.bytes.size(), size_t(2 * kFileReadBlock));
    CTempDir dir;
    const auto path = dir.Write("index.rec", r.bytes);

    CPlayer player;
    ASSERT_EQ(OpenFile(player, path), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    // The factory's class choice: the 6000 generation has its own player.
    CBasePlayMode *pMode = reinterpret_cast<CBasePlayMode *>(h);
    EXPECT_EQ(dynamic_cast<CFileMode6000 *>(pMode) != nullptr, gen == Gen::G6000);
    EXPECT_NE(dynamic_cast<CFileMode *>(pMode), nullptr);

    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_MODE), uint32_t(PLAY_MODE_FILE));
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_FILE_SIZE), uint64_t(r.bytes.size()));
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), 0u);
    StreamInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    EXPECT_EQ(info.dwGeneration, GenerationCode(gen));

    ASSERT_TRUE(WaitIndex(h)) << "index not completed";
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION), r.Duration());
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT), r.FrameCount());

    const std::vector<FramePosition> index = FileModeOf(h)->IndexEntries();
    const auto keys = r.Keys();
    ASSERT_EQ(index.size(), keys.size());
    for (size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE("key frame " + std::to_string(i));
        EXPECT_EQ(index[i].ullFileOffset, keys[i]->ullOffset);
        EXPECT_EQ(index[i].dwSequence, keys[i]->dwSequence);
        EXPECT_EQ(index[i].dwTimestamp, keys[i]->dwTimestamp);
        EXPECT_EQ(index[i].dwCodec, keys[i]->dwCodec);
        EXPECT_EQ(index[i].wWidth, keys[i]->wWidth);
        EXPECT_EQ(index[i].wHeight, keys[i]->wHeight);
    }
    // The origin of the play position is the first key frame of the file.
    const FramePosition first = FileModeOf(h)->FirstFrame();
    EXPECT_EQ(first.dwSequence, keys.front()->dwSequence);
    EXPECT_EQ(first.dwTimestamp, keys.front()->dwTimestamp);
    EXPECT_TRUE(WaitUntil([&] { return !FileModeOf(h)->IndexThreadRunning(); }));
}

INSTANTIATE_TEST_SUITE_P(Generations, FileIndex,
                         ::testing::Values(Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000),
                         [](const ::testing::TestParamInfo<Gen> &i) {
                             return std::string("G") + GenName(i.param);
                         });

// Key frames whose numbers and time stamps go back (a recorder restarted its
// counters) are listed with both kept strictly increasing.
TEST(FileIndexOrder, SequenceAndTimeGoingBackAreMadeIncreasing) {
    const std::vector<std::vector<uint8_t>> units = LoadAccessUnits(kSmallClip);
    ASSERT_EQ(units.size(), 50u);
    std::vector<uint8_t> bytes = V30FileHeader();
    // Three groups of 25; the third restarts at sequence 5 and time 1200.
    struct Group {
        uint32_t dwFirstSequence, dwFirstTime;
    };
    const Group groups[] = {{0, 1000}, {25, 2000}, {5, 1200}};
    std::vector<uint64_t> keyOffsets;
    for (const Group &g : groups) {
        for (uint32_t i = 0; i < 25; ++i) {
            V30FrameFields f;
            const std::vector<uint8_t> &unit = units[i];
            f.byKind = IsKeyAccessUnit(unit) ? 1 : 2;
            f.wWidth = 352;
            f.wHeight = 288;
            f.dwSequence = g.dwFirstSequence + i;
            f.dwTimestamp = g.dwFirstTime + i * 40;
            f.llTime = 1330819509;
            f.byChecksumSpan = 8;
            f.payload = unit;
            if (i == 0)
                keyOffsets.push_back(bytes.size());
            AppendV30Frame(bytes, f);
        }
    }
    CTempDir dir;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("restart.rec", bytes)), PLAY_OK);
    ASSERT_TRUE(WaitIndex(player.Get()));
    const std::vector<FramePosition> index = FileModeOf(player.Get())->IndexEntries();
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[0].dwSequence, 0u);
    EXPECT_EQ(index[0].dwTimestamp, 1000u);
    EXPECT_EQ(index[1].dwSequence, 25u);
    EXPECT_EQ(index[1].dwTimestamp, 2000u);
    // Not above the last entry: the last one + 1.
    EXPECT_EQ(index[2].dwSequence, 26u);
    EXPECT_EQ(index[2].dwTimestamp, 2001u);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(index[i].ullFileOffset, keyOffsets[i]);
}

// ---- Frame rate estimated at open ----

enum class RateKind { kNone, kMeasured, kClampedHigh, kClampedLow };

struct RateCase {
    const char *name;
    Gen gen;
    uint32_t dwFrames;
    uint32_t dwIntervalMs;
    RateKind kind;
};

class FileRateAtOpen : public ::testing::TestWithParam<RateCase> {};

TEST_P(FileRateAtOpen, FromTheFirstKeyFrameAndTheOneFoundFromTheMiddle) {
    const RateCase c = GetParam();
    const FileRecording r = MakeFile(c.gen, c.dwFrames, false, kSmallClip, c.dwIntervalMs);
    ASSERT_FALSE(r.bytes.empty());
    // What the estimate sees: the key frame at the start and the first one
    // at or after the middle of the file.
    const auto keys = r.Keys();
    const FixtureFrame *pMiddle = r.KeyAtOrAfter(r.bytes.size() / 2);
    // The 15 parser counts time from the first frame it is given since it
    // was reset: read from the middle, the key frame found there is at 0 ms.
    const uint32_t dwMiddleTime = pMiddle == nullptr ? 0 : c.gen == Gen::G15 ? 0 : pMiddle->dwTimestamp;
    float fExpected = 0.0f;
    RateKind kind = RateKind::kNone;
    if (pMiddle != nullptr && dwMiddleTime >= keys[0]->dwTimestamp + kFileRateMinSpanMs) {
        const float fRaw = float(pMiddle->dwSequence - keys[0]->dwSequence) * 1000.0f /
                           float(dwMiddleTime - keys[0]->dwTimestamp);
        fExpected = std::min(std::max(fRaw, kFileRateMin), kFileRateMax);
        kind = fRaw <= kFileRateMin   ? RateKind::kClampedLow
               : fRaw >= kFileRateMax ? RateKind::kClampedHigh
                                      : RateKind::kMeasured;
    }
    // The case still tests what its name says.
    ASSERT_EQ(int(kind), int(c.kind)) << c.name;

    CTempDir dir;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("rate.rec", r.bytes)), PLAY_OK);
    EXPECT_NEAR(AttrFloat(player.Get(), PLAY_ATTRIBUTE_VIDEO_FRAME_RATE), fExpected, 1e-3) << c.name;
    // Reading ahead for the estimate leaves the play position at the start.
    EXPECT_EQ(AttrU64(player.Get(), PLAY_ATTRIBUTE_PLAY_DATA_SIZE), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FileRateAtOpen,
    ::testing::Values(RateCase{"V30_25fps", Gen::V30, 300, 40, RateKind::kMeasured},
                      RateCase{"V30_12_5fps", Gen::V30, 150, 80, RateKind::kMeasured},
                      RateCase{"V30_short_span", Gen::V30, 100, 40, RateKind::kNone},
                      RateCase{"V30_one_key_frame", Gen::V30, 20, 40, RateKind::kNone},
                      RateCase{"V30_above_60", Gen::V30, 700, 14, RateKind::kClampedHigh},
                      RateCase{"V30_below_1", Gen::V30, 60, 1500, RateKind::kClampedLow},
                      RateCase{"V10_25fps", Gen::V10, 300, 40, RateKind::kMeasured},
                      RateCase{"V10_above_60", Gen::V10, 700, 14, RateKind::kClampedHigh},
                      RateCase{"V20_25fps", Gen::V20, 300, 40, RateKind::kMeasured},
                      RateCase{"Gen15_time_restarts", Gen::G15, 300, 40, RateKind::kNone}),
    [](const ::testing::TestParamInfo<RateCase> &i) { return std::string(i.param.name); });

// ---- Index-completed callback ----

TEST(FileIndexCallback, RegisteredBeforeCompletionFiresOnceWhenItCompletes) {
    // Large enough that indexing takes a while.
    const FileRecording r = MakeFile(Gen::V30, 4000, true);
    CTempDir dir;
    CNotifyCount done;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("big.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &done), PLAY_OK);
    const bool bRegisteredBefore = !IndexDone(h);
    ASSERT_TRUE(WaitUntil([&] { return done.count.load() > 0; })) << "no index-completed callback";
    EXPECT_TRUE(IndexDone(h));
    EXPECT_EQ(done.handle.load(), h);
    // The registration is cleared before the call: once per registration.
    EXPECT_EQ(FileModeOf(h)->RegisteredCallback(PLAY_CALLBACK_FILE_INDEX_COMPLETED).pfnCallback, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return !FileModeOf(h)->IndexThreadRunning(); }));
    EXPECT_EQ(done.count.load(), 1);
    if (bRegisteredBefore) {
        EXPECT_NE(done.thread.load(), platform::CThread::CurrentThreadId()) << "fired by the index thread";
    }
}

TEST(FileIndexCallback, RegisteredAfterCompletionFiresAtOnceExactlyOnce) {
    const Gen gens[] = {Gen::V30, Gen::G6000};
    for (Gen gen : gens) {
        SCOPED_TRACE(GenName(gen));
        const FileRecording r = MakeFile(gen, 100, true);
        CTempDir dir;
        CNotifyCount done;
        CPlayer player;
        ASSERT_EQ(OpenFile(player, dir.Write("f.rec", r.bytes)), PLAY_OK);
        PLAY_HANDLE h = player.Get();
        ASSERT_TRUE(WaitIndex(h));
        ASSERT_TRUE(WaitUntil([&] { return !FileModeOf(h)->IndexThreadRunning(); }));
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &done), PLAY_OK);
        // Within the registration call, on the caller's thread.
        EXPECT_EQ(done.count.load(), 1);
        EXPECT_EQ(done.thread.load(), platform::CThread::CurrentThreadId());
        // Playing to the end does not fire it again.
        Prepare(h, kParseOnly);
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        ASSERT_TRUE(WaitEnded(h));
        EXPECT_EQ(done.count.load(), 1);
        // A new registration is a new one-time notice.
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &done), PLAY_OK);
        EXPECT_EQ(done.count.load(), 2);
    }
}

// ---- The 6000 generation: indexed at open ----

TEST(File6000, IndexCompleteAndRateTwentyFiveRightAfterOpen) {
    // Larger than one read block: the whole file is read at once.
    const FileRecording r = MakeFile(Gen::G6000, 1000, true);
    ASSERT_GT(r.bytes.size(), size_t(kFileReadBlock));
    CTempDir dir;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("f6000.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED), 1u);
    EXPECT_FALSE(FileModeOf(h)->IndexThreadRunning());
    EXPECT_FLOAT_EQ(AttrFloat(h, PLAY_ATTRIBUTE_VIDEO_FRAME_RATE), kFile6000FrameRate);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT), 1000u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION), 999u * 40u);
    EXPECT_EQ(FileModeOf(h)->IndexEntries().size(), r.Keys().size());
    // Seeks by time and index need no waiting.
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, 10000), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 250u);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 777), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 777u);
}

// ---- Forward play to the end ----

class FilePlay : public ::testing::TestWithParam<Gen> {};

// Sets the enable flags, logs every parsed frame, counts the file ends and
// waits for the index.
void Watch(PLAY_HANDLE h, uint32_t flags, CParseLog *parsed, CNotifyCount *ended) {
    Prepare(h, flags);
    ASSERT_EQ(OnParse(h, parsed), PLAY_OK);
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, ended), PLAY_OK);
    ASSERT_TRUE(WaitIndex(h));
}

// The frames that playing the whole file must deliver, in order: every
// frame the parser gives, the audio behind the last video frame included.
std::vector<const FixtureFrame *> PlayedFrames(const FileRecording &r) {
    return r.Delivered();
}

void ExpectPlayedInOrder(const FileRecording &r, const std::vector<Parsed> &got) {
    const auto expected = PlayedFrames(r);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        ASSERT_EQ(got[i].nType, expected[i]->nType);
        ASSERT_EQ(got[i].dwPayloadLength, uint32_t(expected[i]->payload.size()));
        if (expected[i]->nType != DEMUX_FRAME_AUDIO) {
            ASSERT_EQ(got[i].dwSequence, expected[i]->dwSequence);
            ASSERT_EQ(got[i].dwTimestamp, expected[i]->dwTimestamp);
            ASSERT_EQ(got[i].ullOffset, expected[i]->ullOffset);
        }
    }
}

TEST_P(FilePlay, EveryFrameOnceInOrderThenTheEndAndPlayRestarts) {
    const Gen gen = GetParam();
    const FileRecording r = MakeFile(gen, 600, true);
    CTempDir dir;
    CParseLog parsed;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("play.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_NO_FATAL_FAILURE(Watch(h, kVideoDecode, &parsed, &ended));

    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; })) << "no file-ended callback";
    EXPECT_EQ(ended.handle.load(), h);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), uint64_t(r.bytes.size()));
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), r.FrameCount() - 1);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION), r.Duration());
    ExpectPlayedInOrder(r, parsed.Get());
    // The end holds the player: nothing more is read.
    const size_t count = parsed.Count();
    platform::SleepMs(100);
    EXPECT_EQ(parsed.Count(), count);
    EXPECT_EQ(ended.count.load(), 1);

    // Play after the end starts again from the beginning.
    parsed.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; })) << "second run did not end";
    ExpectPlayedInOrder(r, parsed.Get());
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), uint64_t(r.bytes.size()));
}

TEST_P(FilePlay, StopThenPlayStartsFromTheBeginning) {
    const Gen gen = GetParam();
    const FileRecording r = MakeFile(gen, 300, true);
    CTempDir dir;
    CParseLog parsed;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("stop.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_NO_FATAL_FAILURE(Watch(h, kVideoDecode, &parsed, &ended));
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return parsed.Count() >= 20; }));
    // Wherever playback got to (possibly the end), stop goes back to idle.
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 0u);
    EXPECT_EQ(FileModeOf(h)->PendingCount(), 0u);
    const int endedBefore = ended.count.load();
    parsed.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    ExpectPlayedInOrder(r, parsed.Get());
}

INSTANTIATE_TEST_SUITE_P(Generations, FilePlay,
                         ::testing::Values(Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000),
                         [](const ::testing::TestParamInfo<Gen> &i) {
                             return std::string("G") + GenName(i.param);
                         });

// ---- Decode on demand ----

TEST(FileDecodeOnDemand, EveryPictureInOrderThenNoFrame) {
    const FileRecording r = MakeFile(Gen::V30, 50, true);
    const std::vector<std::string> expected = FixtureFrameMd5s(kSmallClip);
    ASSERT_EQ(expected.size(), 50u);
    CTempDir dir;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("pull.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    // Actions are refused while frames are pulled.
    EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_E_NOT_SUPPORTED);
    ASSERT_TRUE(WaitIndex(h));
    std::vector<std::string> pictures;
    std::vector<uint32_t> sequences;
    int32_t res = PLAY_OK;
    for (int i = 0; i < 1000; ++i) {
        PLAY_FRAME *pFrame = nullptr;
        res = PlayApi_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_I420, &pFrame);
        if (res != PLAY_OK)
            break;
        ASSERT_NE(pFrame->pFrame, nullptr);
        if (pFrame->pFrame->nType != DEMUX_FRAME_AUDIO) {
            sequences.push_back(pFrame->pFrame->dwSequence);
            if (pFrame->output.picture.pBuffer != nullptr)
                pictures.push_back(PictureMd5(pFrame->output.picture));
        }
        ASSERT_EQ(PlayApi_FreeDecodeFrame(h, pFrame), PLAY_OK);
    }
    EXPECT_EQ(res, PLAY_E_NO_FRAME);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
    ASSERT_EQ(sequences.size(), 50u);
    for (uint32_t i = 0; i < 50; ++i)
        EXPECT_EQ(sequences[i], i);
    // The decoder holds the last picture back: nothing follows the last frame.
    ASSERT_GE(pictures.size() + 1, expected.size());
    ASSERT_LE(pictures.size(), expected.size());
    for (size_t i = 0; i < pictures.size(); ++i)
        EXPECT_EQ(pictures[i], expected[i]) << "picture " << i;
    PLAY_FRAME *pFrame = nullptr;
    EXPECT_EQ(PlayApi_GetDecodeFrame(h, 0, &pFrame), PLAY_E_NO_FRAME);
    EXPECT_EQ(FileModeOf(h)->HandedOutFrameCount(), 0u);
}

// ---- Calls a file player refuses ----

TEST(FileRefusals, InputDataAndSeeksWhileIdle) {
    const FileRecording r = MakeFile(Gen::V30, 100, true);
    CTempDir dir;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("refuse.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kParseOnly);
    EXPECT_EQ(PlayApi_InputData(h, r.bytes.data(), 1000), PLAY_E_NOT_SUPPORTED);
    ASSERT_TRUE(WaitIndex(h));
    // State 0 right after open: no seek of any kind.
    EXPECT_EQ(SeekRatio(h, 0.5f), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, 0), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 10), PLAY_E_NOT_SUPPORTED);
    // The core checks still come first.
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, r.Duration() + 1), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, r.FrameCount()), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(SeekRatio(h, 1.0f), PLAY_E_INVALID_VALUE);
    // Paused, they work; after a stop (state 0 again) they are refused.
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, r.Duration()), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, r.FrameCount() - 1), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 10), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    // An action value shorter than 32 bits, and unknown actions.
    const uint32_t play = PLAY_ACTION_PLAY_FORWARD;
    EXPECT_EQ(PlayApi_SetControl(h, PLAY_CONTROL_ACTION, &play, 3), PLAY_E_BAD_SIZE);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(Action(h, 5), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(Action(h, 0), PLAY_E_NOT_SUPPORTED);
}

TEST(FileRefusals, TimeAndIndexSeeksWaitForTheIndexRatioDoesNot) {
    // Several megabytes, so that the index thread is still at work when the
    // first seeks come. On a machine that indexes it before the first look
    // the test has nothing to see and says so.
    const FileRecording r = MakeFile(Gen::V30, 8000, true);
    CTempDir dir;
    const auto path = dir.Write("large.rec", r.bytes);
    bool bCaught = false;
    for (int attempt = 0; attempt < 5 && !bCaught; ++attempt) {
        CPlayer player;
        ASSERT_EQ(OpenFile(player, path), PLAY_OK);
        PLAY_HANDLE h = player.Get();
        Prepare(h, kParseOnly);
        ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
        if (IndexDone(h))
            continue;
        const int32_t byTime = SeekU32(h, PLAY_SEEK_TIME, 0);
        const int32_t byIndex = SeekU32(h, PLAY_SEEK_INDEX, 0);
        const int32_t byRatio = SeekRatio(h, 0.5f);
        const bool bStillIndexing = !IndexDone(h);
        if (bStillIndexing) {
            bCaught = true;
            EXPECT_EQ(byTime, PLAY_E_INDEX_NOT_READY);
            EXPECT_EQ(byIndex, PLAY_E_INDEX_NOT_READY);
            EXPECT_EQ(byRatio, PLAY_OK);
            EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
        }
    }
    if (!bCaught)
        GTEST_SKIP() << "the index was always complete before the first seek";
}

// ---- Damaged files ----

TEST(FileBadInput, UnopenableAndUnrecognisedFiles) {
    CTempDir dir;
    std::mt19937 rng(99);
    std::vector<uint8_t> noise(300000);
    for (auto &b : noise)
        b = uint8_t(rng());
    struct Case {
        const char *name;
        std::filesystem::path path;
        int32_t nExpected;
    };
    const Case cases[] = {
        {"missing", dir.File("missing.rec"), PLAY_E_FILE_OPEN},
        {"empty", dir.Write("empty.rec", {}), PLAY_E_NOT_SUPPORTED},
        {"random bytes", dir.Write("noise.rec", noise), PLAY_E_NOT_SUPPORTED},
        {"a few bytes", dir.Write("short.rec", {'Z', 'E', 'M', 'A'}), PLAY_E_NOT_SUPPORTED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PLAY_HANDLE h = reinterpret_cast<PLAY_HANDLE>(uintptr_t(0x1234));
        const std::vector<QV_WCHAR> wide = WidePath(c.path);
        const PLAY_CREATE_PARAM p = FileParam(wide.data());
        EXPECT_EQ(PlayApi_CreateW(&h, &p), c.nExpected);
        EXPECT_EQ(h, nullptr);
    }
    // A null path is a null pointer, not a file.
    PLAY_HANDLE h = nullptr;
    const PLAY_CREATE_PARAM p = FileParam(nullptr);
    EXPECT_EQ(PlayApi_CreateW(&h, &p), PLAY_E_NULL_POINTER);
    EXPECT_EQ(h, nullptr);
}

TEST(FileBadInput, TruncatedInTheMiddleOfAFrame) {
    FileRecording r = MakeFile(Gen::V30, 100, false);
    const auto video = r.Video();
    // Cut inside frame 80's payload.
    const size_t cut =
        size_t(video[80]->ullOffset + video[80]->dwHeaderLength + video[80]->payload.size() / 2);
    r.bytes.resize(cut);
    CTempDir dir;
    CParseLog parsed;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("cut.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_NO_FATAL_FAILURE(Watch(h, kVideoDecode, &parsed, &ended));
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT), 80u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION), 79u * 40u);
    EXPECT_EQ(FileModeOf(h)->IndexEntries().size(), 4u);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    const auto got = parsed.Get();
    ASSERT_EQ(got.size(), 80u);
    for (uint32_t i = 0; i < 80; ++i)
        EXPECT_EQ(got[i].dwSequence, i);
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), uint64_t(cut));
    // Seeking into the last group, up to the cut, works.
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 79), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 79u);
}

// A recording without a single key frame: it opens, its index completes
// empty, nothing can be played or sought.
TEST(FileBadInput, NoKeyFrameAtAll) {
    const std::vector<std::vector<uint8_t>> units = LoadAccessUnits(kSmallClip);
    ASSERT_EQ(units.size(), 50u);
    std::vector<uint8_t> bytes = V30FileHeader();
    for (uint32_t i = 1; i < 25; ++i) {
        V30FrameFields f;
        f.byKind = 2;
        f.wWidth = 352;
        f.wHeight = 288;
        f.dwSequence = i;
        f.dwTimestamp = 1000 + i * 40;
        f.llTime = 1330819509;
        f.byChecksumSpan = 8;
        f.payload = units[i];
        AppendV30Frame(bytes, f);
    }
    CTempDir dir;
    CParseLog parsed;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("nokey.rec", bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_NO_FATAL_FAILURE(Watch(h, kVideoDecode, &parsed, &ended));
    EXPECT_TRUE(FileModeOf(h)->IndexEntries().empty());
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION), 0u);
    EXPECT_EQ(AttrFloat(h, PLAY_ATTRIBUTE_VIDEO_FRAME_RATE), 0.0f);
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, 0), PLAY_E_NOT_FOUND);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 0), PLAY_E_INVALID_VALUE);
    EXPECT_LT(SeekRatio(h, 0.5f), 0);
    // Played, the reader finds no frame to start at and reports the end.
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    EXPECT_EQ(parsed.Count(), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
}

// Bytes overwritten in the middle, across the headers of the key frame 50
// and of frame 51: reading and indexing go on behind the damage.
struct DamageCase {
    const char *name;
    uint32_t flags;
    uint32_t dwFirstAfter;    // first frame delivered behind the damage
    bool bGroupCrossesDamage; // a seek into the group of the key frame 25 reaches frame 60
};

class FileDamaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(FileDamaged, PlaybackAndIndexSkipTheDamage) {
    const DamageCase c = GetParam();
    FileRecording r = MakeFile(Gen::V30, 100, false);
    const auto video = r.Video();
    const uint64_t from = video[49]->ullOffset + video[49]->dwHeaderLength + 4;
    const uint64_t to = video[51]->ullOffset + video[51]->dwHeaderLength + 4;
    for (uint64_t i = from; i < to; ++i)
        r.bytes[size_t(i)] = uint8_t(0xA5 ^ (i * 7));
    CTempDir dir;
    CParseLog parsed;
    CNotifyCount ended;
    CRenderLog shown;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("damaged.rec", r.bytes), &shown), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    ASSERT_NO_FATAL_FAILURE(Watch(h, c.flags, &parsed, &ended));
    const std::vector<FramePosition> index = FileModeOf(h)->IndexEntries();
    ASSERT_EQ(index.size(), 3u);
    EXPECT_EQ(index[0].dwSequence, 0u);
    EXPECT_EQ(index[1].dwSequence, 25u);
    EXPECT_EQ(index[2].dwSequence, 75u);
    EXPECT_EQ(index[2].ullFileOffset, video[75]->ullOffset);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT), 100u);

    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    std::vector<uint32_t> got;
    for (const Parsed &p : parsed.Get())
        got.push_back(p.dwSequence);
    // Everything before the damage (frame 49 may or may not survive it),
    // nothing whose header was overwritten, everything from the first frame
    // delivered behind it.
    ASSERT_GE(got.size(), 49u);
    for (uint32_t i = 0; i < 49; ++i)
        ASSERT_EQ(got[i], i);
    size_t next = 49;
    if (next < got.size() && got[next] == 49)
        ++next;
    std::vector<uint32_t> rest(got.begin() + ptrdiff_t(next), got.end());
    std::vector<uint32_t> expectedRest;
    for (uint32_t i = c.dwFirstAfter; i < 100; ++i)
        expectedRest.push_back(i);
    EXPECT_EQ(rest, expectedRest);

    // The key frame 50 is gone: the group of 25 runs on to 75, unless a gap
    // in the sequence ends it.
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    shown.Clear();
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 60), PLAY_OK);
    if (c.bGroupCrossesDamage) {
        EXPECT_EQ(shown.Sequences(), std::vector<uint32_t>{60});
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 60u);
    } else {
        EXPECT_TRUE(shown.Empty());
        EXPECT_LT(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 50u);
    }
}

INSTANTIATE_TEST_SUITE_P(Flags, FileDamaged,
                         ::testing::Values(DamageCase{"frames_after_the_gap", kVideoDecode, 52, true},
                                           DamageCase{"reset_on_gap_waits_for_a_key_frame",
                                                      kVideoDecode | PLAY_ENABLE_RESET_ON_GAP, 75, false}),
                         [](const ::testing::TestParamInfo<DamageCase> &i) {
                             return std::string(i.param.name);
                         });

TEST(FileBadInput, Index6000PointingPastTheEnd) {
    FileRecording r = MakeFile(Gen::G6000, 100, false);
    const auto video = r.Video();
    // Cut 10 bytes into frame 80: its entry and the ones after it point at
    // or past the end.
    r.bytes.resize(size_t(video[80]->ullOffset + 10));
    CTempDir dir;
    CParseLog parsed;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenFile(player, dir.Write("cut6000.rec", r.bytes)), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    EXPECT_NE(dynamic_cast<CFileMode6000 *>(reinterpret_cast<CBasePlayMode *>(h)), nullptr);
    Prepare(h, kVideoDecode);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED), 1u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT), 80u);
    ASSERT_EQ(OnParse(h, &parsed), PLAY_OK);
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    const auto got = parsed.Get();
    ASSERT_EQ(got.size(), 80u);
    for (uint32_t i = 0; i < 80; ++i)
        EXPECT_EQ(got[i].dwSequence, i);
    // A ratio past the last frame finds no key frame: a clear failure.
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    EXPECT_LT(SeekRatio(h, 0.999f), 0);
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 79), PLAY_OK);
}

// A file player whose file reads fail once, at the given read after Arm.
class CFlakyReadMode final : public CFileMode {
public:
    ~CFlakyReadMode() override { CFileModeForward::Close(); }
    void Arm(int failAt) {
        m_reads = 0;
        m_failAt = failAt;
    }
    int Failures() const { return m_failures.load(); }

protected:
    int64_t ReadFileBlock(uint8_t *pBuffer, uint32_t dwLength) override {
        if (++m_reads == m_failAt.load()) {
            m_failures++;
            return -1;
        }
        return CFileMode::ReadFileBlock(pBuffer, dwLength);
    }

private:
    std::atomic<int> m_failAt{0};
    std::atomic<int> m_reads{0};
    std::atomic<int> m_failures{0};
};

TEST(FileBadInput, ReadErrorMidFileIsRetriedNotFatal) {
    // Large enough for several read blocks, so the failing read is neither
    // the first nor the last.
    const FileRecording r = MakeFile(Gen::V30, 1500, true);
    ASSERT_GT(r.bytes.size(), size_t(3 * kFileReadBlock));
    CTempDir dir;
    const std::filesystem::path path = dir.Write("flaky.rec", r.bytes);
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const PLAY_CREATE_PARAM p = FileParam(wide.data());
    CFlakyReadMode *pMode = new CFlakyReadMode;
    const int32_t nOpened = pMode->Open(&p);
    if (nOpened < 0)
        delete pMode;
    ASSERT_EQ(nOpened, PLAY_OK);
    CPlayer player;
    *player.Out() = pMode->Handle();
    PLAY_HANDLE h = player.Get();
    CParseLog parsed;
    CNotifyCount ended;
    ASSERT_NO_FATAL_FAILURE(Watch(h, kParseOnly, &parsed, &ended));
    // Forward play reads from the start, a block at a time: the third block
    // fails once.
    pMode->Arm(3);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; })) << "playback did not get past the error";
    EXPECT_EQ(pMode->Failures(), 1);
    // Nothing lost, nothing twice.
    ExpectPlayedInOrder(r, parsed.Get());
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), uint64_t(r.bytes.size()));
}

// The 6000 generation holds the whole file in memory: a size the parser
// cannot take is refused, also where its low 32 bits would look small.
class File6000Oversize : public ::testing::TestWithParam<uint64_t> {};

TEST_P(File6000Oversize, IsRefusedNotTruncated) {
    const FileRecording r = MakeFile(Gen::G6000, 50, false);
    CTempDir dir;
    const std::filesystem::path path = dir.Write("big6000.rec", r.bytes);
    std::error_code ec;
    std::filesystem::resize_file(path, GetParam(), ec); // sparse: no disk used
    ASSERT_FALSE(ec) << ec.message();
    CPlayer player;
    EXPECT_EQ(OpenFile(player, path), PLAY_E_OUT_OF_MEMORY);
    EXPECT_EQ(player.Get(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Sizes, File6000Oversize,
                         ::testing::Values(uint64_t(kStream6000MaxFileLength) + 1, (uint64_t(1) << 32) + 4096),
                         [](const ::testing::TestParamInfo<uint64_t> &i) {
                             return std::string("Bytes") + std::to_string(i.param);
                         });

} // namespace
