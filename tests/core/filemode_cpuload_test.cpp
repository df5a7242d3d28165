// File players hold playback while the processor load is above the CPU limit
// attribute and go on once it is back at the limit or below; the limit
// control's clamping decides where that lies. The load is injected, so the
// machine's own load plays no part.
#include <gtest/gtest.h>

#include <atomic>

#include "core/player.h"
#include "filemode_test_util.h"

using namespace filetest;

namespace {

// Any value below -1 hands the load back to the sampler.
constexpr int32_t kSampledLoad = -2;

// Injects a processor load for the length of a test and hands the load back
// to the sampler at its end, however the test ends.
class CInjectedLoad {
public:
    explicit CInjectedLoad(int32_t load) { Set(load); }
    ~CInjectedLoad() { SetCpuLoadOverride(kSampledLoad); }
    CInjectedLoad(const CInjectedLoad &) = delete;
    CInjectedLoad &operator=(const CInjectedLoad &) = delete;
    void Set(int32_t load) { SetCpuLoadOverride(load); }
};

// Counts the frames the play thread reads and slows it a little per frame,
// so that a recording lasts far longer than any test of it while frames
// still come steadily.
int32_t QV_CALL CountAndPace(PLAY_HANDLE, FrameRecord *, void *pContext) {
    ++*static_cast<std::atomic<uint32_t> *>(pContext);
    platform::SleepMs(2);
    return 0;
}

// Video frames only, so every frame read moves the play position.
constexpr uint32_t kFrames = 3000;
// The play thread looks at the load again at least this often while held.
constexpr uint32_t kWakeMs = 250;
// Frames that show that playback goes on.
constexpr uint32_t kSomeFrames = 10;

struct Progress {
    uint32_t frames; // read by the play thread
    uint32_t index;  // play position: video frame index
    bool operator==(const Progress &o) const { return frames == o.frames && index == o.index; }
};

class CPacedPlayer {
public:
    void Open(const std::filesystem::path &path, uint32_t flags) {
        ASSERT_EQ(OpenFile(m_player, path), PLAY_OK);
        ASSERT_NO_FATAL_FAILURE(Prepare(Handle(), flags));
        ASSERT_EQ(RegisterCallback(Handle(), PLAY_CALLBACK_STREAM_PARSE,
                                   reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountAndPace), &m_frames),
                  PLAY_OK);
    }
    PLAY_HANDLE Handle() const { return m_player.Get(); }
    Progress Now() const {
        return {m_frames.load(), AttrU32(Handle(), PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX)};
    }
    // Playback goes on: more frames read and the position moved on.
    bool WaitAdvance(const Progress &from) const {
        return WaitUntil([&] {
            const Progress p = Now();
            return p.frames >= from.frames + kSomeFrames && p.index > from.index;
        });
    }
    // Playback has come to rest: nothing moved over a whole wake period of
    // the play thread (the step under way when the load rose may finish).
    bool WaitRest(Progress *at) const {
        Progress last = Now();
        return WaitUntil([&] {
            platform::SleepMs(kWakeMs);
            const Progress p = Now();
            const bool still = p == last;
            last = p;
            *at = p;
            return still;
        });
    }

private:
    CPlayer m_player;
    std::atomic<uint32_t> m_frames{0};
};

// Several wake periods in which the play thread saw the load and read
// nothing.
void ExpectStaysAt(const CPacedPlayer &player, const Progress &at) {
    platform::SleepMs(3 * kWakeMs);
    const Progress now = player.Now();
    EXPECT_EQ(now.frames, at.frames);
    EXPECT_EQ(now.index, at.index);
    // Held, not paused or ended.
    EXPECT_EQ(AttrU32(player.Handle(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
    EXPECT_EQ(AttrU32(player.Handle(), PLAY_ATTRIBUTE_FILE_ENDED), 0u);
}

struct LimitCase {
    int32_t nControl;  // value given to the CPU-limit control
    int32_t nLimit;    // the attribute after it: the control clamped
    int32_t nLoad;     // injected before play starts
    uint32_t dwEnable; // enable flags
    bool bHeld;        // whether the player holds at that load
    const char *szName;
};

void PrintTo(const LimitCase &c, std::ostream *os) {
    *os << c.szName;
}

// Each case is chosen so that a limit stored unclamped would answer the
// other way.
const LimitCase kLimitCases[] = {
    {10, 50, 50, kParseOnly, false, "BelowMinimumBecomesFiftyNotHeldAtFifty"},
    {-5, 50, 50, kParseOnly, false, "NegativeBecomesFifty"},
    {49, 50, 51, kParseOnly, true, "JustBelowMinimumHeldAboveFifty"},
    {200, 100, 100, kParseOnly, false, "AboveMaximumBecomesHundredNotHeldAtHundred"},
    {200, 100, 101, kParseOnly, true, "AboveMaximumHeldAboveHundred"},
    {75, 75, 76, kParseOnly, true, "HeldJustAboveTheLimit"},
    {75, 75, 75, kParseOnly, false, "NotHeldAtTheLimit"},
    {75, 75, -1, kParseOnly, false, "UnknownLoadNeverHolds"},
    // The flag turns off decode throttling only; the hold stays.
    {60, 60, 61, kParseOnly | PLAY_ENABLE_NO_CPU_LIMIT, true, "NoCpuLimitFlagStillHolds"},
};

class FileCpuLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(FileCpuLimit, HoldsFromTheStartOnlyAboveTheClampedLimit) {
    const LimitCase &c = GetParam();
    CInjectedLoad load(c.nLoad);
    const FileRecording r = MakeFile(Gen::V30, kFrames, false);
    CTempDir dir;
    CPacedPlayer player;
    ASSERT_NO_FATAL_FAILURE(player.Open(dir.Write("limit.rec", r.bytes), c.dwEnable));
    const PLAY_HANDLE h = player.Handle();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_CPU_LIMIT, uint32_t(c.nControl)), PLAY_OK);
    EXPECT_EQ(int32_t(AttrU32(h, PLAY_ATTRIBUTE_CPU_LIMIT)), c.nLimit);

    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    if (!c.bHeld) {
        EXPECT_TRUE(player.WaitAdvance({0, 0})) << "not playing at load " << c.nLoad;
        return;
    }
    // Not one frame read while the load stays above the limit.
    ASSERT_NO_FATAL_FAILURE(ExpectStaysAt(player, {0, 0}));
    // Down to the limit itself: playback starts.
    load.Set(c.nLimit);
    EXPECT_TRUE(player.WaitAdvance({0, 0})) << "did not start once the load fell";
}

INSTANTIATE_TEST_SUITE_P(Cases, FileCpuLimit, ::testing::ValuesIn(kLimitCases),
                         [](const ::testing::TestParamInfo<LimitCase> &i) {
                             return std::string(i.param.szName);
                         });

// A load that rises above the limit during play stops it where it is, and
// it goes on from there once the load falls; a limit lowered under the load
// holds it too, and raised over it lets it go.
TEST(FileCpuHold, HoldsMidPlayAndResumesWhereItStood) {
    CInjectedLoad load(90);
    const FileRecording r = MakeFile(Gen::V30, kFrames, false);
    CTempDir dir;
    CPacedPlayer player;
    ASSERT_NO_FATAL_FAILURE(player.Open(dir.Write("hold.rec", r.bytes), kParseOnly));
    const PLAY_HANDLE h = player.Handle();
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_CPU_LIMIT, 90), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    Progress at{0, 0};
    ASSERT_TRUE(player.WaitAdvance(at)) << "not playing at the limit";

    // Held, then released, first by the load and then by the limit.
    const struct {
        const char *szStep;
        int32_t nHoldLoad, nHoldLimit;       // applied in this order
        int32_t nReleaseLoad, nReleaseLimit; // likewise
    } steps[] = {
        {"load rises, then falls", 91, 90, 89, 90},
        {"limit falls, then rises", 89, 55, 89, 100},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.szStep);
        load.Set(step.nHoldLoad);
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_CPU_LIMIT, uint32_t(step.nHoldLimit)), PLAY_OK);
        ASSERT_TRUE(player.WaitRest(&at)) << "still playing above the limit";
        ASSERT_NO_FATAL_FAILURE(ExpectStaysAt(player, at));
        // Well short of the end: the hold, not the end, stopped it.
        EXPECT_LT(at.index + 1, kFrames);

        load.Set(step.nReleaseLoad);
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_CPU_LIMIT, uint32_t(step.nReleaseLimit)), PLAY_OK);
        ASSERT_TRUE(player.WaitAdvance(at)) << "did not resume below the limit";
        // On from where it stood, not from the start: every frame read
        // since moved the position by one (the last one may be in flight).
        const Progress now = player.Now();
        EXPECT_GE(now.index + 1, at.index + (now.frames - at.frames));
        at = now;
    }
}

} // namespace
