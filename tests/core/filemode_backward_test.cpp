// Backward play of recording files: group by group, last frame first, down
// to the start of the file; the single-frame backward step; switching
// direction; ratio seeks while backward; how many pictures are held.
#include <gtest/gtest.h>

#include "filemode_test_util.h"

using namespace filetest;
using playtest::ClipPictures;
using playtest::ClipPicturesByFrame;

namespace {

constexpr uint32_t kFrames = 100;
constexpr uint32_t kInterval = 40;
constexpr uint32_t kClipFrames = 50;

std::vector<uint32_t> Descending(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t i = from + 1; i-- > to;)
        v.push_back(i);
    return v;
}

// The 704x576 clip with B frames (an IDR every 25 frames), twice: four
// groups, played forward once so that the picture of every frame is known.
// The recording stores frames in decoding order and numbers them so; a
// reordering decoder shows them in display order, each frame with its own
// picture.
class FileBackward : public ::testing::Test {
protected:
    void SetUp() override {
        rec = MakeFile(Gen::V30, kFrames, false, kBFrameClip);
        ASSERT_FALSE(rec.bytes.empty());
        const std::vector<std::string> reference = FixtureFrameMd5s(kBFrameClip);
        ASSERT_EQ(reference.size(), size_t(kClipFrames));
        const ClipPictures clip = ClipPicturesByFrame(kBFrameClip, 704, 576);
        ASSERT_EQ(clip.order.size(), size_t(kClipFrames));
        for (uint32_t k = 0; k < kClipFrames; ++k)
            ASSERT_EQ(clip.md5[clip.order[k]], reference[k]) << "display position " << k;
        // The groups stand alone (an IDR each), so the file's display order
        // is the clip's, twice.
        for (uint32_t c = 0; c < kFrames / kClipFrames; ++c)
            for (uint32_t k = 0; k < kClipFrames; ++k)
                display.push_back(c * kClipFrames + clip.order[k]);
        position.resize(kFrames);
        for (uint32_t k = 0; k < kFrames; ++k)
            position[display[k]] = k;

        ASSERT_EQ(OpenLogged(player, dir.Write("backward.rec", rec.bytes), &shown), PLAY_OK);
        h = player.Get();
        Prepare(h, kVideoDecode);
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
        ASSERT_TRUE(WaitIndex(h));
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; })) << "forward play did not end";
        // Every frame once, in display order, with its own picture; the
        // last ones come out of the decoder at the end of the file.
        const std::vector<Shown> all = shown.Get();
        ASSERT_EQ(all.size(), size_t(kFrames));
        for (uint32_t k = 0; k < kFrames; ++k) {
            ASSERT_EQ(all[k].dwSequence, display[k]) << "display position " << k;
            ASSERT_TRUE(all[k].bPicture) << "frame " << all[k].dwSequence;
            ASSERT_EQ(all[k].md5, clip.md5[all[k].dwSequence % kClipFrames]) << "frame " << all[k].dwSequence;
            ASSERT_EQ(all[k].md5, reference[k % kClipFrames]) << "display position " << k;
            forward[all[k].dwSequence] = all[k].md5;
        }
        ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
        shown.Clear();
    }

    // Every frame shown has its own picture, the one forward play showed.
    void ExpectPictures(const std::vector<Shown> &got) {
        for (const Shown &s : got) {
            ASSERT_TRUE(s.bPicture) << "frame " << s.dwSequence << " has no picture";
            EXPECT_EQ(s.md5, forward[s.dwSequence]) << "frame " << s.dwSequence;
        }
    }

    // Backward from a frame: it and every frame shown before it going
    // forward, last to first.
    std::vector<uint32_t> BackwardFrom(uint32_t sequence) const {
        std::vector<uint32_t> v;
        for (uint32_t k = position[sequence] + 1; k-- > 0;)
            v.push_back(display[k]);
        return v;
    }

    // Backward play, paused, wherever it got to.
    void GoBackwardPaused() {
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
        ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
        ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 1u);
        ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }

    FileRecording rec;
    CTempDir dir;
    CRenderLog shown;
    CNotifyCount ended;
    CPlayer player;
    PLAY_HANDLE h = nullptr;
    std::map<uint32_t, std::string> forward;
    std::vector<uint32_t> display;  // frames in the order forward play shows them
    std::vector<uint32_t> position; // each frame's place in that order
};

TEST_F(FileBackward, FromTheMiddleGroupByGroupDownToTheFirstFrame) {
    // A paused seek by index shows the first picture of a frame at or after
    // the index; backward play goes on from the frame shown.
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 60), PLAY_OK);
    ASSERT_EQ(shown.Count(), 1u);
    const uint32_t start = shown.Last().dwSequence;
    EXPECT_GE(start, 60u);
    EXPECT_LT(start, 75u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), start);
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 1u);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; })) << "the start was not reported";
    const std::vector<Shown> got = shown.Get();
    std::vector<uint32_t> seqs;
    for (const Shown &s : got)
        seqs.push_back(s.dwSequence);
    // The frame shown, then every frame before it, last to first.
    EXPECT_EQ(seqs, BackwardFrom(start));
    ExpectPictures(got);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION), 0u);
    EXPECT_EQ(AttrU64(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
    // At the start it idles like at the end of forward play.
    platform::SleepMs(100);
    EXPECT_EQ(shown.Count(), got.size());
    EXPECT_EQ(ended.count.load(), 2);
    EXPECT_EQ(FileModeOf(h)->BackwardFramesHeld(), 0u);
}

TEST_F(FileBackward, FromAStoppedPlayerStartsAtTheLastFrame) {
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; })) << "the start was not reported";
    const std::vector<Shown> got = shown.Get();
    std::vector<uint32_t> seqs;
    for (const Shown &s : got)
        seqs.push_back(s.dwSequence);
    // Each group's last picture at its own place: the last one shown going
    // forward comes first.
    EXPECT_EQ(seqs, BackwardFrom(display.back()));
    ExpectPictures(got);
    // A whole group (shorter than a segment) is decoded before its last
    // picture is shown, and no more than a segment is held.
    EXPECT_GE(FileModeOf(h)->PeakBackwardFrames(), kGroup);
    EXPECT_LE(FileModeOf(h)->PeakBackwardFrames(), kBackwardSegment);
    // Backward again once the start was reached: from the last frame again,
    // as forward play starts again from the first.
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 3; })) << "the start was not reported again";
    EXPECT_EQ(shown.Sequences(), BackwardFrom(display.back()));
    // Stop clears the lists; the direction stays.
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    EXPECT_EQ(FileModeOf(h)->BackwardFramesHeld(), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 1u);
}

TEST_F(FileBackward, StepBackAcrossAGroupBoundaryThenForwardFromTheFrameShown) {
    GoBackwardPaused();
    shown.Clear();
    // A backward seek to the key frame 50 shows it alone.
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 50), PLAY_OK);
    ASSERT_EQ(shown.Count(), 1u);
    EXPECT_EQ(shown.Last().dwSequence, 50u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 50u);
    // Index - 1 while backward is the single-frame step back: into the
    // group before, then on within it, in display order.
    const std::vector<uint32_t> expected = BackwardFrom(50);
    for (size_t i = 1; i <= 5; ++i) {
        SCOPED_TRACE("step back " + std::to_string(i));
        shown.Clear();
        ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) - 1),
                  PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, expected[i]);
        ASSERT_TRUE(got[0].bPicture);
        EXPECT_EQ(got[0].md5, forward[expected[i]]);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), expected[i]);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }
    // Forward again: from the frame shown on to the end of the file.
    const uint32_t from = expected[5];
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 0u);
    const int endedBefore = ended.count.load();
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    const std::vector<Shown> got = shown.Get();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.front().dwSequence, from);
    EXPECT_EQ(got.back().dwSequence, display.back());
    ExpectPictures(got);
}

TEST_F(FileBackward, ForwardFromTheLastFrameStartsAtTheFirst) {
    GoBackwardPaused();
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, kFrames - 1), PLAY_OK);
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), kFrames - 1);
    shown.Clear();
    const int endedBefore = ended.count.load();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    EXPECT_EQ(shown.Sequences(), display);
}

TEST_F(FileBackward, RatioSeekLandsAtOrBeforeTheTimeAskedFor) {
    GoBackwardPaused();
    const uint32_t duration = AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION);
    ASSERT_EQ(duration, (kFrames - 1) * kInterval);
    const float ratios[] = {0.5f, 0.3f, 0.99f, 0.62f};
    uint32_t last = 0;
    for (float ratio : ratios) {
        SCOPED_TRACE("ratio " + std::to_string(ratio));
        const uint32_t limit = uint32_t(float(duration) * ratio);
        const uint32_t frame = limit / kInterval; // the frame numbered at or before it
        // The frame at exactly that time; else, in display order, the last
        // frame at or before it within its group.
        const uint32_t group = frame / kGroup * kGroup;
        uint32_t expected = group;
        for (uint32_t k = position[group]; k < kFrames && display[k] / kGroup == group / kGroup; ++k)
            if (display[k] <= frame)
                expected = display[k];
        if (limit % kInterval == 0)
            expected = frame;
        shown.Clear();
        ASSERT_EQ(SeekRatio(h, ratio), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, expected);
        EXPECT_LE(got[0].dwTimestamp - rec.Keys().front()->dwTimestamp, limit);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), expected);
        ExpectPictures(got);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 1u);
        last = expected;
    }
    // Playing on goes backward from the frame before the last one shown.
    shown.Clear();
    const int endedBefore = ended.count.load();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    std::vector<uint32_t> rest = BackwardFrom(last);
    rest.erase(rest.begin());
    EXPECT_EQ(shown.Sequences(), rest);
}

// ---- Every generation, without decoding ----

class FileBackwardGen : public ::testing::TestWithParam<Gen> {};

TEST_P(FileBackwardGen, EveryVideoFrameLastToFirstThenTheStart) {
    const Gen gen = GetParam();
    const FileRecording r = MakeFile(gen, 120, true);
    CTempDir dir;
    CRenderLog log;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("gen.rec", r.bytes), &log, gen == Gen::G6000), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kParseOnly);
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
    ASSERT_TRUE(WaitIndex(h));
    // Forward once: audio and video are rendered.
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    const auto video = r.Video();
    const int audio = int(r.Delivered().size() - video.size());
    ASSERT_GT(audio, 0);
    EXPECT_EQ(log.Audio(), audio);
    EXPECT_EQ(log.Count(), video.size());
    // Stopped, then backward from the last frame.
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    log.Clear();
    log.ClearAudio();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; }));
    std::vector<uint32_t> expected;
    for (auto it = video.rbegin(); it != video.rend(); ++it)
        expected.push_back((*it)->dwSequence);
    EXPECT_EQ(log.Sequences(), expected);
    // Audio is not played backward.
    EXPECT_EQ(log.Audio(), 0);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED), 1u);
}

INSTANTIATE_TEST_SUITE_P(Generations, FileBackwardGen,
                         ::testing::Values(Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000),
                         [](const ::testing::TestParamInfo<Gen> &i) {
                             return std::string("G") + GenName(i.param);
                         });

TEST(FileBackwardLimit, HeldPicturesStayWithinASegment) {
    // Eight groups: at most a segment of pictures is held while going back
    // through them.
    const FileRecording r = MakeFile(Gen::V30, 200, false, kSmallClip);
    CTempDir dir;
    CRenderLog log;
    CNotifyCount ended;
    CPlayer player;
    ASSERT_EQ(OpenLogged(player, dir.Write("limit.rec", r.bytes), &log), PLAY_OK);
    PLAY_HANDLE h = player.Get();
    Prepare(h, kVideoDecode);
    ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
    ASSERT_TRUE(WaitIndex(h));
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    EXPECT_EQ(log.Sequences(), Descending(199, 0));
    EXPECT_GE(FileModeOf(h)->PeakBackwardFrames(), kGroup);
    EXPECT_LE(FileModeOf(h)->PeakBackwardFrames(), kBackwardSegment);
}

} // namespace
