// Seeks of the file player by time, frame index and ratio, paused and
// playing, and the single-frame step, checked against the pictures that an
// uninterrupted forward play shows for the same frames and against ffmpeg's
// checksums of the clip.
#include <gtest/gtest.h>

#include "filemode_test_util.h"

using namespace filetest;

namespace {

constexpr uint32_t kFrames = 100;
constexpr uint32_t kInterval = 40; // ms between frames

// A V30 recording of the 352x288 clip (an IDR every 25 frames) played once
// from start to end: the picture each frame record came with is known.
class FileSeek : public ::testing::Test {
protected:
    void SetUp() override {
        rec = MakeFile(Gen::V30, kFrames, false, kSmallClip);
        ASSERT_FALSE(rec.bytes.empty());
        reference = FixtureFrameMd5s(kSmallClip);
        ASSERT_EQ(reference.size(), 50u);
        path = dir.Write("seek.rec", rec.bytes);
        ASSERT_EQ(OpenLogged(player, path, &shown), PLAY_OK);
        h = player.Get();
        Prepare(h, kVideoDecode);
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
        ASSERT_TRUE(WaitIndex(h));
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; })) << "forward play did not end";
        const std::vector<Shown> all = shown.Get();
        ASSERT_EQ(all.size(), kFrames);
        for (uint32_t i = 0; i < kFrames; ++i) {
            ASSERT_EQ(all[i].dwSequence, i);
            if (all[i].bPicture)
                forward[i] = all[i].md5;
        }
        // The decoder may hold pictures back for a few frames: the frame
        // that brings the first picture gives the delay. From there the
        // pictures in order are ffmpeg's, the clip's 50 over and over.
        ASSERT_FALSE(forward.empty());
        delay = forward.begin()->first;
        ASSERT_LE(delay, 3u);
        ASSERT_EQ(forward.size(), size_t(kFrames - delay));
        for (const auto &[seq, md5] : forward)
            ASSERT_EQ(md5, reference[(seq - delay) % 50]) << "frame " << seq;
        ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
        shown.Clear();
    }

    // The frame a seek to a relative time or index shows: the first video
    // frame at or after it, within the group of the last key frame at or
    // before it.
    static uint32_t TargetOf(uint32_t dwKind, uint32_t dwValue) {
        const uint32_t index = dwKind == PLAY_SEEK_TIME ? (dwValue + kInterval - 1) / kInterval : dwValue;
        return std::min(index, kFrames - 1);
    }

    // Exactly one frame rendered by the seek, the target, with the picture
    // forward play showed for it.
    void ExpectShownAlone(uint32_t target) {
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u) << "frames rendered by the seek";
        EXPECT_EQ(got[0].dwSequence, target);
        ExpectPictureOf(got[0]);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), target);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 0u);
    }

    // A new decoder starts at the group's key frame: once past the decoder's
    // delay, a frame comes with the same picture as in forward play.
    void ExpectPictureOf(const Shown &s) { ExpectPictureOf(s, s.dwSequence - s.dwSequence % kGroup); }
    // The same for a decoder started at the key frame dwKey.
    void ExpectPictureOf(const Shown &s, uint32_t dwKey) {
        if (s.dwSequence - dwKey < delay)
            return;
        ASSERT_TRUE(s.bPicture) << "frame " << s.dwSequence << " shown without a picture";
        EXPECT_EQ(s.md5, forward[s.dwSequence]) << "frame " << s.dwSequence;
        EXPECT_EQ(s.md5, reference[(s.dwSequence - delay) % 50]) << "frame " << s.dwSequence;
    }

    FileRecording rec;
    std::vector<std::string> reference;
    CTempDir dir;
    std::filesystem::path path;
    CRenderLog shown;
    CNotifyCount ended;
    CPlayer player;
    PLAY_HANDLE h = nullptr;
    std::map<uint32_t, std::string> forward; // frame sequence -> picture
    uint32_t delay = 0;                      // frames before the first picture
};

TEST_F(FileSeek, TimeZeroGoesToTheFirstKeyFrame) {
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_TIME, 0), PLAY_OK);
    const std::vector<Shown> got = shown.Get();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].dwSequence, 0u);
    EXPECT_EQ(got[0].nType, DEMUX_FRAME_I);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION), 0u);
    // The key frame was taken from the group loaded: the rest of it waits.
    EXPECT_EQ(FileModeOf(h)->PendingCount(), kGroup - 1);
    const auto video = rec.Video();
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), video[1]->ullOffset);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
}

struct SeekCase {
    uint32_t dwKind;
    uint32_t dwValue;
};

class FileSeekTo : public FileSeek, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(FileSeekTo, PausedShowsTheTargetAndStaysPaused) {
    const SeekCase c = GetParam();
    const uint32_t target = TargetOf(c.dwKind, c.dwValue);
    ASSERT_EQ(SeekU32(h, c.dwKind, c.dwValue), PLAY_OK);
    ExpectShownAlone(target);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION), target * kInterval);
    // The frames of the group behind the target wait for the next reads.
    EXPECT_EQ(FileModeOf(h)->PendingCount(), kGroup - 1 - target % kGroup);
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE),
              target + 1 < kFrames ? rec.Video()[target + 1]->ullOffset : uint64_t(rec.bytes.size()));
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    platform::SleepMs(100);
    EXPECT_EQ(shown.Count(), 1u) << "a paused player rendered on";
}

class FileSeekPlaying : public FileSeek, public ::testing::WithParamInterface<SeekCase> {};

TEST_P(FileSeekPlaying, ContinuesFromTheTargetToTheEnd) {
    const SeekCase c = GetParam();
    const uint32_t target = TargetOf(c.dwKind, c.dwValue);
    ASSERT_LT(target, kFrames - 1) << "the last frame ends the file within the seek";
    // Played once more, the player idles at the end, still playing.
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; }));
    shown.Clear();
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
    ASSERT_EQ(SeekU32(h, c.dwKind, c.dwValue), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 3; })) << "did not play on to the end";
    const std::vector<Shown> got = shown.Get();
    ASSERT_EQ(got.size(), size_t(kFrames - target));
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("shown " + std::to_string(i));
        EXPECT_EQ(got[i].dwSequence, target + i);
        // The decoder started at the target's key frame goes on: every
        // picture as in forward play.
        ExpectPictureOf(got[i], target - target % kGroup);
    }
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), kFrames - 1);
}

INSTANTIATE_TEST_SUITE_P(Targets, FileSeekPlaying,
                         ::testing::Values(SeekCase{PLAY_SEEK_TIME, 0},
                                           SeekCase{PLAY_SEEK_TIME, 30 * kInterval + 10},
                                           SeekCase{PLAY_SEEK_TIME, 50 * kInterval},
                                           SeekCase{PLAY_SEEK_INDEX, 1}, SeekCase{PLAY_SEEK_INDEX, 25},
                                           SeekCase{PLAY_SEEK_INDEX, 62}),
                         [](const ::testing::TestParamInfo<SeekCase> &i) {
                             return std::string(i.param.dwKind == PLAY_SEEK_TIME ? "Time" : "Index") +
                                    std::to_string(i.param.dwValue);
                         });

INSTANTIATE_TEST_SUITE_P(
    Targets, FileSeekTo,
    ::testing::Values(SeekCase{PLAY_SEEK_TIME, 0}, SeekCase{PLAY_SEEK_TIME, 30 * kInterval},
                      SeekCase{PLAY_SEEK_TIME, 30 * kInterval + 10}, SeekCase{PLAY_SEEK_TIME, 50 * kInterval},
                      SeekCase{PLAY_SEEK_TIME, 74 * kInterval - 1}, SeekCase{PLAY_SEEK_TIME, 99 * kInterval},
                      SeekCase{PLAY_SEEK_INDEX, 0}, SeekCase{PLAY_SEEK_INDEX, 1},
                      SeekCase{PLAY_SEEK_INDEX, 24}, SeekCase{PLAY_SEEK_INDEX, 25},
                      SeekCase{PLAY_SEEK_INDEX, 62}, SeekCase{PLAY_SEEK_INDEX, 99}),
    [](const ::testing::TestParamInfo<SeekCase> &i) {
        return std::string(i.param.dwKind == PLAY_SEEK_TIME ? "Time" : "Index") +
               std::to_string(i.param.dwValue);
    });

TEST(FileSeekEdges, TimeBeyondTheLastKeyFrameGoesToTheLastGroup) {
    // 80 frames: the last key frame is 75, the last frame 79 (3160 ms).
    const FileRecording r = MakeFile(Gen::V30, 80, false, kSmallClip);
    CTempDir dir;
    CRenderLog log;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("eighty.rec", r.bytes), &log), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kVideoDecode);
    ASSERT_TRUE(WaitIndex(h));
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION), 79u * kInterval);
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_TIME, 77 * kInterval + 5), PLAY_OK);
    std::vector<Shown> got = log.Get();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].dwSequence, 78u);
    log.Clear();
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_TIME, 79 * kInterval), PLAY_OK);
    got = log.Get();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].dwSequence, 79u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 79u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
}

// A time after the last frame of a group and before the next key frame: the
// group is decoded and counted, but none of its frames is late enough to be
// shown.
TEST(FileSeekEdges, TimeBetweenGroupsShowsNothing) {
    const FileRecording r = MakeFile(Gen::V30, 100, false, kSmallClip, 80);
    CTempDir dir;
    CRenderLog log;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("gap.rec", r.bytes), &log), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kVideoDecode);
    ASSERT_TRUE(WaitIndex(h));
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    // Frame 49 is at 3920 ms, the key frame 50 at 4000 ms.
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_TIME, 49 * 80 + 40), PLAY_OK);
    EXPECT_TRUE(log.Empty());
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 49u);
    EXPECT_EQ(FileModeOf(h)->PendingCount(), 0u);
    // The next step shows the key frame behind the gap.
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 50), PLAY_OK);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.Last().dwSequence, 50u);
}

TEST_F(FileSeek, IndexPlusOneStepsExactlyOneFrameAcrossGroups) {
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 30), PLAY_OK);
    ASSERT_EQ(shown.Count(), 1u);
    for (uint32_t index = 31; index <= 80; ++index) {
        SCOPED_TRACE("step to " + std::to_string(index));
        shown.Clear();
        const uint32_t pendingBefore = FileModeOf(h)->PendingCount();
        ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, index), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, index);
        // The decoder runs on from the seek: every picture as in forward play.
        ASSERT_TRUE(got[0].bPicture);
        EXPECT_EQ(got[0].md5, forward[index]);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), index);
        // No group is loaded again: the step takes the next pending frame
        // (the file reader takes over once the group is used up).
        if (pendingBefore > 0)
            EXPECT_EQ(FileModeOf(h)->PendingCount(), pendingBefore - 1);
        else
            EXPECT_EQ(FileModeOf(h)->PendingCount(), 0u);
    }
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
}

TEST_F(FileSeek, EndFlagClearedBySuccessKeptByFailure) {
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
    // No key frame lies behind 99.9% of the file: the ratio seek fails.
    EXPECT_LT(SeekRatio(h, 0.999f), 0);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    EXPECT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 10), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    // Played on from frame 10, the end is reported once more.
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; }));
    const auto seqs = shown.Sequences();
    ASSERT_FALSE(seqs.empty());
    EXPECT_EQ(seqs.front(), 11u);
    EXPECT_EQ(seqs.back(), kFrames - 1);
    EXPECT_EQ(seqs.size(), size_t(kFrames - 11));
}

TEST_F(FileSeek, RatioGoesToTheFirstKeyFrameBehindTheOffset) {
    const float ratios[] = {0.0f, 0.3f, 0.55f, 0.1f};
    for (float ratio : ratios) {
        SCOPED_TRACE("ratio " + std::to_string(ratio));
        const uint64_t offset = uint64_t(double(rec.bytes.size()) * double(ratio));
        const FixtureFrame *key = rec.KeyAtOrAfter(offset);
        ASSERT_NE(key, nullptr);
        shown.Clear();
        ASSERT_EQ(SeekRatio(h, ratio), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, key->dwSequence);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), key->dwSequence);
        // The play position is at the key frame: counted from the offset
        // asked for, at most past the key frame itself.
        const uint64_t played = AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE);
        EXPECT_GE(played, offset);
        EXPECT_LE(played, key->ullOffset + key->dwHeaderLength + key->payload.size());
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }
    // Playing on from the last one shows the frames behind it in order.
    const uint32_t next = AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) + 1;
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; }));
    const std::vector<Shown> got = shown.Get();
    ASSERT_EQ(got.size(), size_t(kFrames - next));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].dwSequence, next + i);
        ExpectPictureOf(got[i], next - 1);
    }
}

// The 6000 generation: the parser's cursor moves, the play position is the
// key frame's offset.
TEST(File6000Seek, RatioSetsThePlayPositionToTheKeyFrame) {
    const FileRecording r = MakeFile(Gen::G6000, 200, true);
    CTempDir dir;
    CRenderLog log;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("f.rec", r.bytes), &log, true), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kParseOnly);
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    const float ratios[] = {0.5f, 0.0f, 0.8f, 0.2f};
    for (float ratio : ratios) {
        SCOPED_TRACE("ratio " + std::to_string(ratio));
        const uint64_t offset = uint64_t(double(r.bytes.size()) * double(ratio));
        const FixtureFrame *key = r.KeyAtOrAfter(offset);
        ASSERT_NE(key, nullptr);
        log.Clear();
        ASSERT_EQ(SeekRatio(h, ratio), PLAY_OK);
        EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), key->ullOffset);
        const std::vector<Shown> got = log.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, key->dwSequence);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), key->dwSequence);
    }
    // Time and index seeks land on their frame; play goes on from there.
    log.Clear();
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_TIME, 130 * 40), PLAY_OK);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.Last().dwSequence, 130u);
    log.Clear();
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 131), PLAY_OK);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.Last().dwSequence, 131u);
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
    log.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    const auto seqs = log.Sequences();
    ASSERT_EQ(seqs.size(), 200u - 132u);
    for (size_t i = 0; i < seqs.size(); ++i)
        EXPECT_EQ(seqs[i], 132 + i);
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), uint64_t(r.bytes.size()));
}

} // namespace

namespace {

// The same seeks on every generation, parsing only: the frame each one
// shows and the position it leaves.
struct GenSeekCase {
    uint32_t dwKind;
    uint32_t dwValue;
    uint32_t dwTargetIndex; // video frame index shown
};

class FileSeekGen : public ::testing::TestWithParam<Gen> {};

TEST_P(FileSeekGen, TimeAndIndexLandOnTheirFrame) {
    const Gen gen = GetParam();
    const FileRecording r = MakeFile(gen, 100, true);
    CTempDir dir;
    CRenderLog log;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("gen.rec", r.bytes), &log, gen == Gen::G6000), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kParseOnly);
    ASSERT_TRUE(WaitIndex(h));
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    const uint32_t first = r.Keys().front()->dwSequence;
    const GenSeekCase cases[] = {
        {PLAY_SEEK_TIME, 1210, 31}, {PLAY_SEEK_INDEX, 62, 62}, {PLAY_SEEK_TIME, 0, 0},
        {PLAY_SEEK_TIME, 3000, 75}, {PLAY_SEEK_INDEX, 99, 99}, {PLAY_SEEK_TIME, 3001, 76},
        {PLAY_SEEK_INDEX, 24, 24},
    };
    for (const GenSeekCase &c : cases) {
        SCOPED_TRACE(std::string(c.dwKind == PLAY_SEEK_TIME ? "time " : "index ") +
                     std::to_string(c.dwValue));
        log.Clear();
        ASSERT_EQ(SeekU32(h, c.dwKind, c.dwValue), PLAY_OK);
        const auto seqs = log.Sequences();
        EXPECT_EQ(seqs, std::vector<uint32_t>{first + c.dwTargetIndex});
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), c.dwTargetIndex);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION),
                  r.VideoAt(c.dwTargetIndex)->dwTimestamp - r.Keys().front()->dwTimestamp);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }
    // A ratio seek lands on the first key frame behind the offset.
    for (float ratio : {0.3f, 0.6f}) {
        SCOPED_TRACE("ratio " + std::to_string(ratio));
        const uint64_t offset = uint64_t(double(r.bytes.size()) * double(ratio));
        const FixtureFrame *key = r.KeyAtOrAfter(offset);
        ASSERT_NE(key, nullptr);
        log.Clear();
        ASSERT_EQ(SeekRatio(h, ratio), PLAY_OK);
        ASSERT_EQ(log.Count(), 1u);
        EXPECT_EQ(log.Last().dwSequence, key->dwSequence);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), key->dwSequence - first);
    }
    // Steps go from video frame to video frame over the audio between them.
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 40), PLAY_OK);
    for (uint32_t index = 41; index <= 52; ++index) {
        SCOPED_TRACE("step to " + std::to_string(index));
        log.Clear();
        ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, index), PLAY_OK);
        EXPECT_EQ(log.Sequences(), std::vector<uint32_t>{first + index});
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), index);
    }
    // Seeks and steps count audio frames but never play them.
    EXPECT_EQ(log.Audio(), 0);
}

INSTANTIATE_TEST_SUITE_P(Generations, FileSeekGen,
                         ::testing::Values(Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000),
                         [](const ::testing::TestParamInfo<Gen> &i) {
                             return std::string("G") + GenName(i.param);
                         });

} // namespace

namespace {

// A decoder that reorders (the clip's B frames) gives a key frame's picture
// only after the frames behind it: a paused seek feeds those so that its
// picture shows at once, and playing on continues with the next pictures in
// order, none twice, none missing.
TEST(FileSeekReordering, PausedSeekShowsTheKeyFramePicture) {
    const FileRecording rec = MakeFile(Gen::V30, 100, false, kBFrameClip);
    const std::vector<std::string> reference = FixtureFrameMd5s(kBFrameClip);
    ASSERT_EQ(reference.size(), 50u);
    CTempDir dir;
    const auto path = dir.Write("reorder.rec", rec.bytes);
    CPlayer player;
    CRenderLog shown;
    ASSERT_EQ(OpenLogged(player, path, &shown), PLAY_OK);
    const PLAY_HANDLE h = player.Get();
    Prepare(h, kVideoDecode);
    CNotifyCount ended;
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
    ASSERT_TRUE(WaitIndex(h));
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);

    struct Case {
        uint32_t kind;
        uint32_t value;
        uint32_t key; // the key frame shown
    };
    const Case cases[] = {
        {PLAY_SEEK_TIME, 0, 0},
        {PLAY_SEEK_INDEX, 50, 50},
        {PLAY_SEEK_TIME, 25 * kInterval, 25},
        {PLAY_SEEK_INDEX, 75, 75},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("seek kind " + std::to_string(c.kind) + " to " + std::to_string(c.value));
        shown.Clear();
        ASSERT_EQ(SeekU32(h, c.kind, c.value), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, c.key);
        ASSERT_TRUE(got[0].bPicture);
        EXPECT_EQ(got[0].md5, reference[c.key % 50]);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), c.key);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }
    // A ratio seek reaches a key frame the same way.
    shown.Clear();
    ASSERT_EQ(SeekRatio(h, 0.6f), PLAY_OK);
    std::vector<Shown> got = shown.Get();
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].dwSequence % kGroup, 0u);
    ASSERT_TRUE(got[0].bPicture);
    const uint32_t key = got[0].dwSequence;
    EXPECT_EQ(got[0].md5, reference[key % 50]);

    // Playing on: the pictures after the key frame's, in order, up to the
    // ones the decoder still holds at the end of the file.
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    std::vector<std::string> pictures;
    for (const Shown &s : shown.Get())
        if (s.bPicture)
            pictures.push_back(s.md5);
    ASSERT_GE(pictures.size(), size_t(100 - key - 1 - 3));
    for (size_t i = 0; i < pictures.size(); ++i)
        EXPECT_EQ(pictures[i], reference[(key + 1 + i) % 50]) << "picture " << i << " after the key frame";
}

} // namespace
