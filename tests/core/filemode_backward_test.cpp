// Backward play of recording files: group by group, last frame first, down
// to the start of the file; the single-frame backward step; switching
// direction; ratio seeks while backward; how many pictures are held.
#include <gtest/gtest.h>

#include "filemode_test_util.h"

using namespace filetest;

namespace {

constexpr uint32_t kFrames = 100;
constexpr uint32_t kInterval = 40;
// Pictures a fresh decoder of the B-frame clip may still hold back.
constexpr uint32_t kDecoderDelay = 4;

std::vector<uint32_t> Descending(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t i = from + 1; i-- > to;)
        v.push_back(i);
    return v;
}

// The 704x576 clip with B frames (an IDR every 25 frames), four groups,
// played forward once so that the picture of every frame is known.
class FileBackward : public ::testing::Test {
protected:
    void SetUp() override {
        rec = MakeFile(Gen::V30, kFrames, false, kBFrameClip);
        ASSERT_FALSE(rec.bytes.empty());
        const std::vector<std::string> reference = FixtureFrameMd5s(kBFrameClip);
        ASSERT_EQ(reference.size(), 50u);
        ASSERT_EQ(OpenLogged(player, dir.Write("backward.rec", rec.bytes), &shown), PLAY_OK);
        h = player.Get();
        Prepare(h, kVideoDecode);
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
        ASSERT_TRUE(WaitIndex(h));
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
        ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; })) << "forward play did not end";
        const std::vector<Shown> all = shown.Get();
        ASSERT_EQ(all.size(), kFrames);
        size_t pictures = 0;
        for (uint32_t i = 0; i < kFrames; ++i) {
            ASSERT_EQ(all[i].dwSequence, i);
            if (!all[i].bPicture)
                continue;
            forward[i] = all[i].md5;
            // Played without interruption, the pictures are ffmpeg's in order.
            ASSERT_EQ(all[i].md5, reference[pictures % 50]) << "frame " << i;
            ++pictures;
        }
        ASSERT_GE(pictures + kDecoderDelay, size_t(kFrames));
        ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
        shown.Clear();
    }

    // Every frame shown with a picture has the one forward play showed for
    // it; behind the first few frames of a group (a new decoder starts at
    // each key frame) every frame has one.
    void ExpectPictures(const std::vector<Shown> &got) {
        for (const Shown &s : got) {
            if (s.bPicture)
                EXPECT_EQ(s.md5, forward[s.dwSequence]) << "frame " << s.dwSequence;
            else
                EXPECT_LT(s.dwSequence % kGroup, kDecoderDelay)
                    << "frame " << s.dwSequence << " has no picture";
        }
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
};

TEST_F(FileBackward, FromTheMiddleGroupByGroupDownToTheFirstFrame) {
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, 60), PLAY_OK);
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 1u);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 2; })) << "the start was not reported";
    const std::vector<Shown> got = shown.Get();
    std::vector<uint32_t> seqs;
    for (const Shown &s : got)
        seqs.push_back(s.dwSequence);
    // The frame shown, then every frame before it, last to first.
    EXPECT_EQ(seqs, Descending(60, 0));
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
    EXPECT_EQ(seqs, Descending(kFrames - 1, 0));
    ExpectPictures(got);
    // A whole group is decoded before its last picture is shown, and no
    // more than the key-frame distance (100 before it is measured) and the
    // frame being decoded are held.
    EXPECT_GE(FileModeOf(h)->PeakBackwardFrames(), kGroup);
    EXPECT_LE(FileModeOf(h)->PeakBackwardFrames(), kBackwardDefaultLimit + 1);
    // Backward again once the start was reached: from the last frame again,
    // as forward play starts again from the first.
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 3; })) << "the start was not reported again";
    EXPECT_EQ(shown.Sequences(), Descending(kFrames - 1, 0));
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
    // group before, then on within it.
    for (uint32_t index = 49; index >= 45; --index) {
        SCOPED_TRACE("step back to " + std::to_string(index));
        shown.Clear();
        ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, index), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, index);
        ASSERT_TRUE(got[0].bPicture);
        EXPECT_EQ(got[0].md5, forward[index]);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), index);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }
    // Forward again: from the frame shown on to the end of the file.
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 0u);
    const int endedBefore = ended.count.load();
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    const std::vector<Shown> got = shown.Get();
    ASSERT_EQ(got.size(), size_t(kFrames - 45));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].dwSequence, 45 + i);
        EXPECT_EQ(got[i].md5, forward[got[i].dwSequence]) << "frame " << got[i].dwSequence;
    }
}

TEST_F(FileBackward, ForwardFromTheLastFrameStartsAtTheFirst) {
    GoBackwardPaused();
    ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, kFrames - 1), PLAY_OK);
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), kFrames - 1);
    shown.Clear();
    const int endedBefore = ended.count.load();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    const std::vector<Shown> got = shown.Get();
    ASSERT_EQ(got.size(), size_t(kFrames));
    for (uint32_t i = 0; i < kFrames; ++i)
        EXPECT_EQ(got[i].dwSequence, i);
}

TEST_F(FileBackward, RatioSeekLandsAtOrBeforeTheTimeAskedFor) {
    GoBackwardPaused();
    const uint32_t duration = AttrU32(h, PLAY_ATTRIBUTE_FILE_DURATION);
    ASSERT_EQ(duration, (kFrames - 1) * kInterval);
    const float ratios[] = {0.5f, 0.3f, 0.99f, 0.62f};
    for (float ratio : ratios) {
        SCOPED_TRACE("ratio " + std::to_string(ratio));
        const uint32_t limit = uint32_t(float(duration) * ratio);
        const uint32_t expected = limit / kInterval; // the last frame at or before it
        shown.Clear();
        ASSERT_EQ(SeekRatio(h, ratio), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, expected);
        EXPECT_LE(got[0].dwTimestamp - rec.Keys().front()->dwTimestamp, limit);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), expected);
        ExpectPictures(got);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD), 1u);
    }
    // Playing on goes backward from the frame before the last one shown.
    shown.Clear();
    const int endedBefore = ended.count.load();
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == endedBefore + 1; }));
    EXPECT_EQ(shown.Sequences(), Descending(60, 0));
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

TEST(FileBackwardLimit, HeldPicturesStayWithinTheDefaultLimit) {
    // Eight groups, nothing measured yet: at most 100 pictures (and the one
    // being decoded) are held while going back through them.
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
    EXPECT_LE(FileModeOf(h)->PeakBackwardFrames(), kBackwardDefaultLimit + 1);
}

} // namespace
