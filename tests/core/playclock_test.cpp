// The play clock: frame-skip table, effective rate, frame durations and
// delays, CPU throttling and the statistics window.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/baseplaymode.h"
#include "core/player.h"

namespace {

// A player without a source or a play thread: the clock operations run on it
// directly, with the state and attributes set by the test.
class CClockPlayer final : public CBasePlayMode {
public:
    CClockPlayer() { InitAttributes(); }
    ~CClockPlayer() override { Close(); }
    int32_t InputData(const void *, uint32_t) override { return PLAY_E_NOT_SUPPORTED; }
    int32_t GetDecodeFrame(uint32_t, PLAY_FRAME **) override { return PLAY_E_NOT_SUPPORTED; }
    int32_t Seek(uint32_t, const void *, uint32_t) override { return PLAY_E_NOT_SUPPORTED; }
    int32_t PlayStep(PLAY_FRAME *) override { return PLAY_E_NOT_SUPPORTED; }
    int32_t ReadFrame(PLAY_FRAME *) override { return PLAY_E_NOT_SUPPORTED; }

    void SetState(int32_t nState) { m_nState.store(nState); }
    void SetBackward(bool b) { m_attr.dwPlayBackward = b ? 1 : 0; }
    void SetFirstFrame(const FrameRecord &r) { m_firstFrame = PositionOf(&r); }
    void SetKeyFrameInterval(uint32_t ms) { m_attr.dwKeyFrameInterval = ms; }
    void SetFrameRateAttribute(float f) { m_attr.fVideoFrameRate = f; }
};

FrameRecord Record(int32_t nType, uint32_t dwSequence, uint32_t dwTimestamp, uint32_t dwPayload = 1000,
                   uint32_t dwHeader = 0) {
    FrameRecord r{};
    r.dwSize = DEMUX_FRAME_RECORD_SIZE;
    r.nType = nType;
    r.dwCodec = nType == DEMUX_FRAME_AUDIO ? DEMUX_CODEC_G711_ALAW : DEMUX_CODEC_H264;
    r.wWidth = 704;
    r.wHeight = 576;
    r.dwSequence = dwSequence;
    r.dwTimestamp = dwTimestamp;
    r.dwPayloadLength = dwPayload;
    r.dwHeaderLength = dwHeader;
    return r;
}

// Timing of one video frame; the frame then becomes the last one played.
PLAY_FRAME Timed(CClockPlayer &p, FrameRecord &r) {
    PLAY_FRAME f{};
    f.pFrame = &r;
    EXPECT_EQ(p.ComputeFrameTiming(&f), PLAY_OK);
    PLAY_FRAME copy = f;
    p.UpdateStatistics(&f);
    return copy;
}

float Speed(CClockPlayer &p, float fSpeed) {
    EXPECT_EQ(p.SetControl(PLAY_CONTROL_SPEED, &fSpeed, 4), PLAY_OK);
    return fSpeed;
}

// ---- Frame-skip table ----

TEST(FrameSkipTable, RowsFollowTheirPattern) {
    const uint8_t *row0 = FrameSkipRow(0);
    ASSERT_NE(row0, nullptr);
    for (int v = 0; v < kFrameSkipColumns; ++v)
        EXPECT_EQ(row0[v], 1) << v;
    struct Case {
        int row;
        int period; // drop every period-th entry from 0
    };
    const Case cases[] = {{1, 101}, {2, 51}, {3, 34}, {25, 4}, {33, 3}, {34, 3}, {50, 2}};
    for (const Case &c : cases) {
        const uint8_t *row = FrameSkipRow(c.row);
        int drops = 0;
        for (int v = 0; v < kFrameSkipColumns; ++v) {
            EXPECT_EQ(row[v], v % c.period == 0 ? 0 : 1) << "row " << c.row << " entry " << v;
            drops += row[v] == 0;
        }
        EXPECT_EQ(drops, (100 / c.period) + 1) << c.row;
    }
    // The upper half mirrors the lower.
    for (int k = 1; k <= 50; ++k) {
        const uint8_t *upper = FrameSkipRow(50 + k);
        const uint8_t *lower = FrameSkipRow(51 - k);
        for (int v = 0; v < kFrameSkipColumns; ++v)
            ASSERT_EQ(upper[v], lower[v] ? 0 : 1) << "row " << 50 + k << " entry " << v;
    }
    // Row 100 shows only the first of every 101.
    int shown = 0;
    for (int v = 0; v < kFrameSkipColumns; ++v)
        shown += FrameSkipRow(100)[v];
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(FrameSkipRow(-1), nullptr);
    EXPECT_EQ(FrameSkipRow(101), nullptr);
}

// ---- Effective rate and skip row ----

TEST(PlayClock, SetFrameRateSelectsSkipRow) {
    struct Case {
        float rate, speed, effective;
        int row;
        float ratio;
    };
    const Case cases[] = {
        {25.0f, 2.0f, 50.0f, -1, 0.0f},
        {25.0f, 4.0f, 100.0f, 25, 0.25f},
        {25.0f, 3.0f, 75.0f, -1, 0.0f},
        {150.0f, 1.0f, 150.0f, 50, 0.5f},
        {25.0f, 64.0f, 1600.0f, 96, (1600.0f - 75.0f) / 1600.0f},
        {0.0f, 8.0f, 0.0f, -1, 0.0f},
    };
    CClockPlayer p;
    for (const Case &c : cases) {
        p.SetFrameRate(c.rate, c.speed);
        EXPECT_FLOAT_EQ(p.Clock().fEffectiveRate, c.effective) << c.rate << "x" << c.speed;
        EXPECT_EQ(p.Clock().nSkipRowIndex, c.row) << c.rate << "x" << c.speed;
        EXPECT_FLOAT_EQ(p.Clock().fSkipRatio, c.ratio) << c.rate << "x" << c.speed;
        EXPECT_EQ(p.Clock().pSkipRow, c.row < 0 ? nullptr : FrameSkipRow(c.row));
    }
}

// ---- Durations and delays ----

TEST(PlayClock, SpeedTwoAtTwentyFiveFramesShowsEveryFrame) {
    CClockPlayer p;
    p.SetFrameRateAttribute(25.0f);
    Speed(p, 2.0f);
    p.SetState(PLAY_STATE_PLAYING);
    for (uint32_t i = 0; i < 10; ++i) {
        FrameRecord r = Record(i == 0 ? DEMUX_FRAME_I : DEMUX_FRAME_P, i, 1000 + 40 * i);
        const PLAY_FRAME f = Timed(p, r);
        EXPECT_EQ(f.dwPresentDelay, 20000u) << i;
        EXPECT_EQ(f.dwDuration, 40u) << i;
    }
}

TEST(PlayClock, SpeedFourAtTwentyFiveFramesDropsByRow25) {
    CClockPlayer p;
    p.SetFrameRateAttribute(25.0f);
    Speed(p, 4.0f);
    ASSERT_EQ(p.Clock().nSkipRowIndex, 25);
    p.SetState(PLAY_STATE_PLAYING);
    int shown = 0, dropped = 0;
    for (uint32_t i = 0; i < 202; ++i) {
        FrameRecord r = Record(DEMUX_FRAME_P, i, 1000 + 40 * i);
        const PLAY_FRAME f = Timed(p, r);
        const uint32_t expected = (i % 101) % 4 == 0 ? 0u : 13333u;
        ASSERT_EQ(f.dwPresentDelay, expected) << i;
        (f.dwPresentDelay ? shown : dropped)++;
    }
    EXPECT_EQ(dropped, 52);
    EXPECT_EQ(shown, 150);
    // Not playing: no pattern, just the effective rate.
    p.SetState(PLAY_STATE_PAUSED);
    FrameRecord r = Record(DEMUX_FRAME_P, 500, 50000);
    EXPECT_EQ(Timed(p, r).dwPresentDelay, 10000u);
}

TEST(PlayClock, DurationEdgeCases) {
    struct Case {
        uint32_t last; // time stamp of the previous video frame
        uint32_t next; // this frame's
        bool backward;
        uint32_t duration;
    };
    const Case cases[] = {
        {1000, 6000, false, 1100}, {1000, 1000, false, 1},    {1000, 1001, false, 1},
        {1000, 1002, false, 2},    {1000, 2099, false, 1099}, {1000, 2100, false, 1100},
        {5000, 1000, false, 1},    {5000, 4960, true, 40},    {1000, 1040, true, 1},
    };
    for (const Case &c : cases) {
        CClockPlayer p;
        p.SetBackward(c.backward);
        FrameRecord first = Record(DEMUX_FRAME_I, 0, c.last);
        const PLAY_FRAME f0 = Timed(p, first);
        EXPECT_EQ(f0.dwDuration, 40u) << "no previous frame";
        FrameRecord second = Record(DEMUX_FRAME_P, 1, c.next);
        const PLAY_FRAME f1 = Timed(p, second);
        EXPECT_EQ(f1.dwDuration, c.duration) << c.last << " -> " << c.next;
        EXPECT_EQ(f1.dwPresentDelay, c.duration * 1000u) << c.last << " -> " << c.next;
    }
}

TEST(PlayClock, UnknownRateUsesDurationOverSpeed) {
    CClockPlayer p;
    Speed(p, 0.5f);
    FrameRecord r = Record(DEMUX_FRAME_I, 0, 1000);
    EXPECT_EQ(Timed(p, r).dwPresentDelay, 80000u);
    Speed(p, 0.015625f);
    FrameRecord r2 = Record(DEMUX_FRAME_P, 1, 1040);
    EXPECT_EQ(Timed(p, r2).dwPresentDelay, 2560000u);
}

TEST(PlayClock, TimingIsComputedOnceAndOnlyForVideo) {
    CClockPlayer p;
    FrameRecord audio = Record(DEMUX_FRAME_AUDIO, 0, 1000);
    PLAY_FRAME f{};
    f.pFrame = &audio;
    EXPECT_EQ(p.ComputeFrameTiming(&f), PLAY_OK);
    EXPECT_EQ(f.dwDuration, 0u);
    EXPECT_EQ(f.dwPresentDelay, 0u);
    FrameRecord video = Record(DEMUX_FRAME_P, 0, 1000);
    f.pFrame = &video;
    f.dwDuration = 7;
    EXPECT_EQ(p.ComputeFrameTiming(&f), PLAY_OK);
    EXPECT_EQ(f.dwDuration, 7u);
    EXPECT_EQ(f.dwPresentDelay, 0u);
}

// ---- CPU throttle ----

class ThrottleTest : public ::testing::Test {
protected:
    void TearDown() override { SetCpuLoadOverride(-2); }
};

TEST_F(ThrottleTest, HysteresisBetweenHighAndLow) {
    CClockPlayer p;
    ASSERT_EQ(p.SetEnableFlag(PLAY_ENABLE_VIDEO_DECODE), PLAY_OK);
    struct Step {
        int32_t load;
        bool throttled;
    };
    // Default limit 100: high 85, low 42.
    const Step steps[] = {{84, false}, {-1, false}, {85, true},  {60, true},  {42, true},
                          {-1, true},  {41, false}, {84, false}, {100, true}, {0, false}};
    for (const Step &s : steps) {
        SetCpuLoadOverride(s.load);
        p.UpdateCpuThrottle();
        EXPECT_EQ(p.Throttled(), s.throttled) << s.load;
    }
    // Limit 60: high 51, low 25.
    const uint32_t limit = 60;
    ASSERT_EQ(p.SetControl(PLAY_CONTROL_CPU_LIMIT, &limit, 4), PLAY_OK);
    SetCpuLoadOverride(51);
    p.UpdateCpuThrottle();
    EXPECT_TRUE(p.Throttled());
    SetCpuLoadOverride(25);
    p.UpdateCpuThrottle();
    EXPECT_TRUE(p.Throttled());
    SetCpuLoadOverride(24);
    p.UpdateCpuThrottle();
    EXPECT_FALSE(p.Throttled());
    // No CPU limit clears it whatever the load.
    SetCpuLoadOverride(99);
    p.UpdateCpuThrottle();
    EXPECT_TRUE(p.Throttled());
    ASSERT_EQ(p.SetEnableFlag(PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT), PLAY_OK);
    p.UpdateCpuThrottle();
    EXPECT_FALSE(p.Throttled());
}

TEST_F(ThrottleTest, ThrottleDoublesDelayAndSkipsDroppableFrames) {
    CClockPlayer p;
    ASSERT_EQ(p.SetEnableFlag(PLAY_ENABLE_VIDEO_DECODE), PLAY_OK);
    SetCpuLoadOverride(95);
    p.UpdateCpuThrottle();
    ASSERT_TRUE(p.Throttled());
    FrameRecord r = Record(DEMUX_FRAME_I, 0, 1000);
    EXPECT_EQ(Timed(p, r).dwPresentDelay, 80000u);
    // A droppable frame is skipped before a decoder is even looked for; any
    // other frame without a decoder is refused.
    FrameRecord droppable = Record(DEMUX_FRAME_DROPPABLE, 1, 1040);
    PLAY_FRAME f{};
    f.pFrame = &droppable;
    EXPECT_EQ(p.DecodeVideo(&f), PLAY_OK);
    EXPECT_EQ(f.output.picture.pBuffer, nullptr);
    FrameRecord pFrame = Record(DEMUX_FRAME_P, 2, 1080);
    f.pFrame = &pFrame;
    EXPECT_EQ(p.DecodeVideo(&f), PLAY_E_NOT_SUPPORTED);
    SetCpuLoadOverride(10);
    p.UpdateCpuThrottle();
    f.pFrame = &droppable;
    EXPECT_EQ(p.DecodeVideo(&f), PLAY_E_NOT_SUPPORTED); // no longer skipped
}

// ---- Statistics ----

struct Clip {
    uint32_t keyEvery; // video frames per key frame
    uint32_t interval; // ms between video frames
    uint32_t bytes;    // per video frame
    uint32_t audioPer; // audio frames after each video frame
};

// Plays video frames [from, to) of a clip, each followed by its audio.
void PlayClip(CClockPlayer &p, const Clip &c, uint32_t from, uint32_t to) {
    for (uint32_t i = from; i < to; ++i) {
        FrameRecord v =
            Record(i % c.keyEvery == 0 ? DEMUX_FRAME_I : DEMUX_FRAME_P, i, 1000 + c.interval * i, c.bytes);
        Timed(p, v);
        for (uint32_t a = 0; a < c.audioPer; ++a) {
            FrameRecord ar = Record(DEMUX_FRAME_AUDIO, 0, 1000 + c.interval * i, 300, 20);
            PLAY_FRAME f{};
            f.pFrame = &ar;
            p.UpdateStatistics(&f);
        }
    }
}

TEST(PlayStatistics, WindowClosesAtFirstKeyFrameAfterFourSeconds) {
    CClockPlayer p;
    FrameRecord origin = Record(DEMUX_FRAME_I, 0, 1000);
    p.SetFirstFrame(origin);
    const Clip c{25, 40, 1024, 2};
    // 100 frames of 40 ms: the window holds 4000 ms only once frame 100 (a
    // key frame) arrives; frame 99 must not close it.
    PlayClip(p, c, 0, 100);
    EXPECT_EQ(p.Attributes().fVideoFrameRate, 0.0f);
    EXPECT_EQ(p.Window().dwKeyFrames, 4u);
    PlayClip(p, c, 100, 101);
    const PlayAttributes a = p.Attributes();
    // The first frame's duration is the default 40 ms, so 100 frames span
    // exactly 4000 ms.
    EXPECT_FLOAT_EQ(a.fVideoFrameRate, 25.0f);
    EXPECT_EQ(a.dwKeyFrameDistance, 25u);
    EXPECT_EQ(a.dwKeyFrameInterval, 1000u);
    EXPECT_FLOAT_EQ(a.fVideoBitrate, 1024.0f * 100 * 8000.0f / (4000.0f * 1024.0f));
    // Audio counted from the first key frame: 2 per video frame.
    EXPECT_FLOAT_EQ(a.fAudioFrameRate, 50.0f);
    EXPECT_FLOAT_EQ(a.fAudioBitrate, 200.0f * 320.0f * 8000.0f / (4000.0f * 1024.0f));
    EXPECT_FLOAT_EQ(p.Clock().fEffectiveRate, 25.0f);
    // The key frame that closed the window opened the next one.
    EXPECT_EQ(p.Window().dwKeyFrames, 1u);
    EXPECT_EQ(a.dwPlayDuration, 4000u);
    EXPECT_EQ(a.dwPlayVideoFrameIndex, 100u);
    EXPECT_EQ(p.LastVideoFrame().dwSequence, 100u);
}

TEST(PlayStatistics, FirstWindowIsStoredAsMeasured) {
    CClockPlayer p;
    // Key frames every 20 frames: 5 in the first 4000 ms.
    PlayClip(p, Clip{20, 40, 500, 0}, 0, 101);
    EXPECT_EQ(p.Attributes().dwKeyFrameDistance, 20u);
    EXPECT_EQ(p.Attributes().dwKeyFrameInterval, 800u);
    EXPECT_FLOAT_EQ(p.Attributes().fAudioFrameRate, 0.0f);
}

TEST(PlayStatistics, ThirtyAfterTwentyIsStoredAsTwentyFive) {
    CClockPlayer p;
    PlayClip(p, Clip{20, 40, 500, 0}, 0, 101); // closes at 100: distance 20
    ASSERT_EQ(p.Attributes().dwKeyFrameDistance, 20u);
    // Key frames every 30 from 100 on: 100, 130, 160, 190, 220; the window
    // reaches 4000 ms at 200, and closes at 220 with 120 frames / 4 keys.
    for (uint32_t i = 101; i <= 220; ++i) {
        FrameRecord v = Record((i - 100) % 30 == 0 ? DEMUX_FRAME_I : DEMUX_FRAME_P, i, 1000 + 40 * i, 500);
        Timed(p, v);
    }
    EXPECT_EQ(p.Attributes().dwKeyFrameDistance, 25u);
}

TEST(PlayStatistics, WindowLengthFollowsALongerKeyFrameInterval) {
    CClockPlayer p;
    p.SetKeyFrameInterval(6000);
    // Key frames every 125 frames (5000 ms): the window closes at the first
    // key frame at or after 6000 ms, that is frame 250, not 125.
    PlayClip(p, Clip{125, 40, 500, 0}, 0, 126);
    EXPECT_EQ(p.Attributes().dwKeyFrameDistance, 0u);
    PlayClip(p, Clip{125, 40, 500, 0}, 126, 251);
    EXPECT_EQ(p.Attributes().dwKeyFrameDistance, 125u);
}

TEST(PlayStatistics, FramesBeforeTheFirstKeyFrameAreNotCounted) {
    CClockPlayer p;
    FrameRecord pf = Record(DEMUX_FRAME_P, 0, 1000);
    Timed(p, pf);
    FrameRecord audio = Record(DEMUX_FRAME_AUDIO, 0, 1000);
    PLAY_FRAME fa{};
    fa.pFrame = &audio;
    p.UpdateStatistics(&fa);
    EXPECT_EQ(p.Window().dwDuration, 0u);
    EXPECT_EQ(p.Window().dwType3, 0u);
    EXPECT_EQ(p.Window().dwAudioFrames, 0u);
    // The play position follows every video frame all the same.
    EXPECT_EQ(p.LastVideoFrame().dwSequence, 0u);
    FrameRecord key = Record(DEMUX_FRAME_I, 1, 1040, 700, 40);
    Timed(p, key);
    FrameRecord drop = Record(DEMUX_FRAME_DROPPABLE, 2, 1080, 100, 40);
    Timed(p, drop);
    FrameRecord other = Record(DEMUX_FRAME_OTHER_VIDEO, 3, 1120, 100, 40);
    Timed(p, other);
    p.UpdateStatistics(&fa);
    const StatisticsWindow w = p.Window();
    EXPECT_EQ(w.dwKeyFrames, 1u);
    EXPECT_EQ(w.dwType4, 1u);
    EXPECT_EQ(w.dwType5, 1u);
    EXPECT_EQ(w.dwVideoBytes, 740u + 140u + 140u);
    EXPECT_EQ(w.dwDuration, 120u);
    EXPECT_EQ(w.dwAudioFrames, 1u);
    EXPECT_EQ(w.dwAudioBytes, 1000u);
}

} // namespace
