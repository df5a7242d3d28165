// The high-resolution counter, the waitable timer, the timer-queue timer and
// the thread-pool wait.
#include <atomic>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/timers.h"
#include "test_util.h"

using namespace platform;
using qvtest::CStopwatch;
using qvtest::WaitUntil;

namespace {

TEST(Counter, IsMonotonicAndMeasuresTime) {
    const int64_t frequency = QueryCounterFrequency();
    ASSERT_GT(frequency, 0);
    int64_t previous = QueryCounter();
    for (int i = 0; i < 10000; ++i) {
        int64_t now = QueryCounter();
        ASSERT_GE(now, previous);
        previous = now;
    }
    const int64_t start = QueryCounter();
    SleepMs(50);
    const double seconds = double(QueryCounter() - start) / double(frequency);
    EXPECT_GE(seconds, 0.045);
    EXPECT_LT(seconds, 5.0);
}

// ---------------------------------------------------------------------------

// Now as a Windows file time: 100-ns units since 1601 (UTC).
int64_t FileTimeNow() {
    constexpr int64_t kUnixEpoch = 116444736000000000LL;
    auto since1970 = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpoch + std::chrono::duration_cast<std::chrono::nanoseconds>(since1970).count() / 100;
}

struct DueCase {
    const char *name;
    bool absolute; // due is added to the current file time
    int64_t due;   // 100-ns units
    bool atOnce;   // signalled without waiting
    int64_t minimumMs;
};

TEST(WaitableTimer, FiresAtItsDueTimeAndResets) {
    const DueCase cases[] = {
        {"relative -1 is at once", false, -1, true, 0},
        {"absolute 0 is at once", false, 0, true, 0},
        {"absolute time in the past", true, -10000000, true, 0},
        {"relative 100 ms", false, -1000000, false, 90},
        {"relative 30 ms", false, -300000, false, 27},
        {"absolute 100 ms ahead", true, 1000000, false, 90},
    };
    for (const DueCase &c : cases) {
        SCOPED_TRACE(c.name);
        CWaitableTimer timer;
        ASSERT_TRUE(timer.Valid());
        EXPECT_EQ(timer.Wait(0), kWaitTimeout);
        CStopwatch watch;
        ASSERT_TRUE(timer.SetDue(c.absolute ? FileTimeNow() + c.due : c.due));
        if (c.atOnce) {
            EXPECT_EQ(timer.Wait(0), kWaitSignalled);
        } else {
            EXPECT_EQ(timer.Wait(0), kWaitTimeout);
            EXPECT_EQ(timer.Wait(5000), kWaitSignalled);
            EXPECT_GE(watch.ElapsedMs(), c.minimumMs);
            EXPECT_LT(watch.ElapsedMs(), 4000);
        }
        // Auto-reset: the wait took the signal, and the timer fires once.
        EXPECT_EQ(timer.Wait(30), kWaitTimeout);
    }
}

TEST(WaitableTimer, CanBeSetAgainAndCancelled) {
    CWaitableTimer timer;
    ASSERT_TRUE(timer.SetDue(-1));
    EXPECT_EQ(timer.Wait(1000), kWaitSignalled);
    ASSERT_TRUE(timer.SetDue(-1));
    EXPECT_EQ(timer.Wait(1000), kWaitSignalled);

    // A cancelled timer does not fire.
    ASSERT_TRUE(timer.SetDue(-500000));
    ASSERT_TRUE(timer.Cancel());
    EXPECT_EQ(timer.Wait(150), kWaitTimeout);
}

TEST(WaitableTimer, WaitAnyTakesItWithOtherObjects) {
    CEvent event(false, false);
    CWaitableTimer timer;
    CWaitable *objects[] = {&event, &timer};
    ASSERT_TRUE(timer.SetDue(-200000));
    EXPECT_EQ(WaitAny(objects, 2, 5000), 1);
    EXPECT_EQ(timer.Wait(0), kWaitTimeout);
}

// ---------------------------------------------------------------------------

struct TimerCalls {
    CStopwatch watch;
    CLock lock;
    std::vector<int64_t> at; // ms since the stopwatch started
    std::atomic<int> count{0};

    static void Record(void *context) {
        auto *calls = static_cast<TimerCalls *>(context);
        CLockGuard guard(calls->lock);
        calls->at.push_back(calls->watch.ElapsedMs());
        calls->count.fetch_add(1);
    }
};

TEST(TimerQueueTimer, FirstCallAfterTheDueTimeThenPeriodic) {
    TimerCalls calls;
    CTimerQueueTimer timer;
    EXPECT_FALSE(timer.Running());
    ASSERT_TRUE(timer.Start(TimerCalls::Record, &calls, 100, 50));
    EXPECT_TRUE(timer.Running());
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 4; }, 5000));
    timer.Stop();
    EXPECT_FALSE(timer.Running());

    CLockGuard guard(calls.lock);
    ASSERT_GE(calls.at.size(), 4u);
    EXPECT_GE(calls.at[0], 90);
    EXPECT_LT(calls.at[0], 2000);
    for (size_t i = 1; i < calls.at.size(); ++i)
        EXPECT_GE(calls.at[i] - calls.at[i - 1], 30) << "call " << i;
}

TEST(TimerQueueTimer, NoCallsAfterStop) {
    TimerCalls calls;
    CTimerQueueTimer timer;
    ASSERT_TRUE(timer.Start(TimerCalls::Record, &calls, 10, 10));
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 2; }));
    timer.Stop();
    int count = calls.count.load();
    SleepMs(100);
    EXPECT_EQ(calls.count.load(), count);
    // Stopping twice is harmless.
    timer.Stop();
}

TEST(TimerQueueTimer, ZeroPeriodCallsOnce) {
    TimerCalls calls;
    CTimerQueueTimer timer;
    ASSERT_TRUE(timer.Start(TimerCalls::Record, &calls, 20, 0));
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 1; }));
    SleepMs(200);
    EXPECT_EQ(calls.count.load(), 1);
}

struct SlowCall {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};

    static void Run(void *context) {
        auto *call = static_cast<SlowCall *>(context);
        if (call->entered.exchange(true))
            return; // only the first call is slow
        SleepMs(300);
        call->finished = true;
    }
};

TEST(TimerQueueTimer, StopWaitsOutARunningCall) {
    SlowCall call;
    CTimerQueueTimer timer;
    ASSERT_TRUE(timer.Start(SlowCall::Run, &call, 0, 10));
    ASSERT_TRUE(WaitUntil([&] { return call.entered.load(); }));
    timer.Stop();
    EXPECT_TRUE(call.finished.load()) << "Stop returned while the callback ran";
}

TEST(TimerQueueTimer, DestructorStops) {
    TimerCalls calls;
    {
        CTimerQueueTimer timer;
        ASSERT_TRUE(timer.Start(TimerCalls::Record, &calls, 5, 5));
        ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 1; }));
    }
    int count = calls.count.load();
    SleepMs(60);
    EXPECT_EQ(calls.count.load(), count);
}

// ---------------------------------------------------------------------------

struct PoolCalls {
    std::atomic<int> count{0};
    std::atomic<bool> slow{false};
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    CThreadPoolWait *wait = nullptr;

    static void Count(void *context) { static_cast<PoolCalls *>(context)->count.fetch_add(1); }

    static void Slow(void *context) {
        auto *calls = static_cast<PoolCalls *>(context);
        calls->entered = true;
        SleepMs(300);
        calls->finished = true;
    }

    static void UnregisterItself(void *context) {
        auto *calls = static_cast<PoolCalls *>(context);
        calls->count.fetch_add(1);
        calls->wait->Unregister();
    }
};

TEST(ThreadPoolWait, OneCallPerSignal) {
    CEvent event(false, false);
    PoolCalls calls;
    CThreadPoolWait wait;
    EXPECT_FALSE(wait.Registered());
    ASSERT_TRUE(wait.Register(event, PoolCalls::Count, &calls));
    EXPECT_TRUE(wait.Registered());
    // No signal, no call.
    SleepMs(50);
    EXPECT_EQ(calls.count.load(), 0);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(event.Set());
        ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= i; })) << "signal " << i;
    }
    SleepMs(100);
    EXPECT_EQ(calls.count.load(), 5);

    wait.Unregister();
    EXPECT_FALSE(wait.Registered());
    ASSERT_TRUE(event.Set());
    SleepMs(100);
    EXPECT_EQ(calls.count.load(), 5);
    // The signal was left to the event.
    EXPECT_EQ(event.Wait(0), kWaitSignalled);
}

TEST(ThreadPoolWait, SemaphoreReleasesEachGiveACall) {
    CSemaphore semaphore(0, 4);
    PoolCalls calls;
    CThreadPoolWait wait;
    ASSERT_TRUE(wait.Register(semaphore, PoolCalls::Count, &calls));
    ASSERT_TRUE(semaphore.Release(3));
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 3; }));
    SleepMs(100);
    EXPECT_EQ(calls.count.load(), 3);
}

TEST(ThreadPoolWait, UnregisterWaitsForARunningCallback) {
    CEvent event(false, false);
    PoolCalls calls;
    CThreadPoolWait wait;
    ASSERT_TRUE(wait.Register(event, PoolCalls::Slow, &calls));
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(WaitUntil([&] { return calls.entered.load(); }));
    wait.Unregister();
    EXPECT_TRUE(calls.finished.load()) << "Unregister returned while the callback ran";
}

TEST(ThreadPoolWait, UnregisterFromTheCallbackStopsFurtherCalls) {
    CEvent event(false, false);
    PoolCalls calls;
    CThreadPoolWait wait;
    calls.wait = &wait;
    ASSERT_TRUE(wait.Register(event, PoolCalls::UnregisterItself, &calls));
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 1; }));
    ASSERT_TRUE(WaitUntil([&] { return !wait.Registered(); }));
    ASSERT_TRUE(event.Set());
    SleepMs(100);
    EXPECT_EQ(calls.count.load(), 1);

    // It can be registered again afterwards.
    ASSERT_TRUE(wait.Register(event, PoolCalls::Count, &calls));
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 2; }));
    wait.Unregister();
}

TEST(ThreadPoolWait, RejectsAnInvalidObjectOrASecondRegistration) {
    CSemaphore invalid(5, 4);
    CEvent event(false, false);
    PoolCalls calls;
    CThreadPoolWait wait;
    EXPECT_FALSE(wait.Register(invalid, PoolCalls::Count, &calls));
    EXPECT_FALSE(wait.Registered());
    ASSERT_TRUE(wait.Register(event, PoolCalls::Count, &calls));
    EXPECT_FALSE(wait.Register(event, PoolCalls::Count, &calls));
    ASSERT_TRUE(event.Set());
    ASSERT_TRUE(WaitUntil([&] { return calls.count.load() >= 1; }));
}

} // namespace
