// The processor-load sampler, over a scripted source and over the system's.
#include <atomic>

#include <gtest/gtest.h>

#include "platform/cpuload.h"
#include "platform/thread.h"
#include "test_util.h"

using namespace platform;
using qvtest::WaitUntil;

namespace {

// A source whose answers the test decides. The sampler's timer thread calls
// it too, so every field is atomic; where the test steps through a script
// itself, collections from other threads fail (the load then stays as it
// is) so that a tick between two steps changes nothing.
class CScriptedSource final : public ICpuLoadSource {
public:
    std::atomic<uint32_t> onlyThread{0};
    std::atomic<bool> openResult{true};
    std::atomic<bool> collectResult{false};
    std::atomic<bool> formatResult{true};
    std::atomic<int32_t> value{0};
    std::atomic<int> opens{0};
    std::atomic<int> closes{0};
    std::atomic<int> collects{0};

    bool Open() override {
        ++opens;
        return openResult;
    }
    void Close() override { ++closes; }
    bool Collect() override {
        ++collects;
        uint32_t only = onlyThread;
        if (only && only != CThread::CurrentThreadId())
            return false;
        return collectResult;
    }
    bool Format(int32_t &percent) override {
        if (!formatResult)
            return false;
        percent = value;
        return true;
    }
};

TEST(CpuLoadSampler, FollowsTheSourcesAnswers) {
    CScriptedSource source;
    source.onlyThread = CThread::CurrentThreadId();
    CCpuLoadSampler sampler;
    ASSERT_TRUE(sampler.Start(&source));
    EXPECT_EQ(source.opens.load(), 1);
    // Collection fails until the script says otherwise: still no sample.
    EXPECT_EQ(sampler.Load(), -1);
    sampler.SampleNow();
    EXPECT_EQ(sampler.Load(), -1);

    struct Step {
        const char *name;
        bool collect;
        bool format;
        int32_t value;
        int32_t expected;
    } steps[] = {
        {"first value", true, true, 37, 37},
        {"collection fails: the value stays", false, true, 90, 37},
        {"next value", true, true, 12, 12},
        {"formatting fails: -1", true, false, 55, -1},
        {"collection fails after -1", false, true, 70, -1},
        {"recovers", true, true, 100, 100},
        {"zero load", true, true, 0, 0},
    };
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        source.collectResult = s.collect;
        source.formatResult = s.format;
        source.value = s.value;
        sampler.SampleNow();
        EXPECT_EQ(sampler.Load(), s.expected);
    }

    source.collectResult = true;
    source.value = 64;
    sampler.Stop();
    EXPECT_EQ(sampler.Load(), 0);
    EXPECT_EQ(source.closes.load(), 1);
    // Stopped: neither the timer nor SampleNow touch the source any more.
    const int collects = source.collects.load();
    sampler.SampleNow();
    SleepMs(150);
    EXPECT_EQ(source.collects.load(), collects);
    EXPECT_EQ(sampler.Load(), 0);
}

TEST(CpuLoadSampler, TimerTakesTheSamples) {
    CScriptedSource source;
    source.collectResult = true;
    source.value = 42;
    CCpuLoadSampler sampler;
    ASSERT_TRUE(sampler.Start(&source));
    // First after 100 ms, then every second: two samples within a few seconds.
    ASSERT_TRUE(WaitUntil([&] { return source.collects.load() >= 2; }, 5000));
    EXPECT_EQ(sampler.Load(), 42);
    source.value = 43;
    ASSERT_TRUE(WaitUntil([&] { return sampler.Load() == 43; }, 5000));
}

TEST(CpuLoadSampler, StartFailsWhenTheSourceDoesNotOpen) {
    CScriptedSource source;
    source.openResult = false;
    CCpuLoadSampler sampler;
    EXPECT_FALSE(sampler.Start(&source));
    EXPECT_EQ(source.opens.load(), 1);
    SleepMs(200);
    EXPECT_EQ(source.collects.load(), 0);
}

TEST(CpuLoadSampler, SystemSourceGivesAPercentage) {
    CCpuLoadSampler sampler;
    ASSERT_TRUE(sampler.Start());
    // Keep one processor a little busy meanwhile; any value 0..100 will do.
    volatile uint64_t spin = 0;
    bool inRange = WaitUntil(
        [&] {
            for (int i = 0; i < 100000; ++i)
                spin = spin + 1;
            int32_t load = sampler.Load();
            return load >= 0 && load <= 100;
        },
        2500);
    EXPECT_TRUE(inRange) << "load " << sampler.Load();
    sampler.Stop();
    EXPECT_EQ(sampler.Load(), 0);
}

TEST(CpuLoadSource, SystemSourceMeasuresBetweenCollections) {
    ICpuLoadSource *source = CreateSystemCpuLoadSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(source->Open());
    bool formatted = false;
    int32_t percent = -1;
    for (int i = 0; i < 20 && !formatted; ++i) {
        SleepMs(100);
        ASSERT_TRUE(source->Collect());
        formatted = source->Format(percent);
    }
    EXPECT_TRUE(formatted);
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
    source->Close();
    delete source;
}

} // namespace
