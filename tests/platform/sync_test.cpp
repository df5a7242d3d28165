// Events, semaphores, the recursive lock and waits on several objects.
#include <atomic>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/thread.h"
#include "test_util.h"

using namespace platform;
using qvtest::CStopwatch;
using qvtest::WaitUntil;

namespace {

struct EventCase {
    const char *name;
    bool manual;
    bool initial;
    WaitResult firstWait;  // Wait(0) right after creation
    WaitResult secondWait; // and once more
};

const EventCase kEventCases[] = {
    {"auto, clear", false, false, kWaitTimeout, kWaitTimeout},
    {"auto, set", false, true, kWaitSignalled, kWaitTimeout},
    {"manual, clear", true, false, kWaitTimeout, kWaitTimeout},
    {"manual, set", true, true, kWaitSignalled, kWaitSignalled},
};

TEST(Event, InitialStateSetAndReset) {
    for (const EventCase &c : kEventCases) {
        SCOPED_TRACE(c.name);
        CEvent event(c.manual, c.initial);
        ASSERT_TRUE(event.Valid());
        EXPECT_EQ(event.IsManualReset(), c.manual);
        EXPECT_EQ(event.Wait(0), c.firstWait);
        EXPECT_EQ(event.Wait(0), c.secondWait);

        // Setting twice is the same as setting once.
        ASSERT_TRUE(event.Set());
        ASSERT_TRUE(event.Set());
        EXPECT_EQ(event.Wait(0), kWaitSignalled);
        EXPECT_EQ(event.Wait(0), c.manual ? kWaitSignalled : kWaitTimeout);

        ASSERT_TRUE(event.Set());
        ASSERT_TRUE(event.Reset());
        EXPECT_EQ(event.Wait(0), kWaitTimeout);
        ASSERT_TRUE(event.Reset());
        EXPECT_EQ(event.Wait(0), kWaitTimeout);
    }
}

struct Waiter {
    CWaitable *object = nullptr;
    std::atomic<int> *woken = nullptr;
};

uint32_t WaitForever(void *context) {
    auto *waiter = static_cast<Waiter *>(context);
    if (waiter->object->Wait(kInfinite) != kWaitSignalled)
        return 1;
    waiter->woken->fetch_add(1);
    return 0;
}

TEST(Event, AutoResetWakesExactlyOneWaiterPerSet) {
    CEvent event(false, false);
    std::atomic<int> woken{0};
    Waiter waiter{&event, &woken};
    CThread threads[3];
    for (CThread &thread : threads)
        ASSERT_TRUE(thread.Start(WaitForever, &waiter));

    for (int expected = 1; expected <= 3; ++expected) {
        ASSERT_TRUE(event.Set());
        ASSERT_TRUE(WaitUntil([&] { return woken.load() >= expected; }));
        // Give a wrongly woken second waiter time to show up.
        SleepMs(100);
        EXPECT_EQ(woken.load(), expected);
    }
    for (CThread &thread : threads) {
        ASSERT_EQ(thread.Join(5000), kWaitSignalled);
        EXPECT_EQ(thread.ExitCode(), 0u);
    }
    // The last wake consumed the signal.
    EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(Event, ManualResetWakesAllWaitersAndStaysSet) {
    CEvent event(true, false);
    std::atomic<int> woken{0};
    Waiter waiter{&event, &woken};
    CThread threads[3];
    for (CThread &thread : threads)
        ASSERT_TRUE(thread.Start(WaitForever, &waiter));
    SleepMs(20);
    EXPECT_EQ(woken.load(), 0);

    ASSERT_TRUE(event.Set());
    for (CThread &thread : threads)
        ASSERT_EQ(thread.Join(5000), kWaitSignalled);
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(event.Wait(0), kWaitSignalled);
    EXPECT_EQ(event.Wait(10), kWaitSignalled);
    ASSERT_TRUE(event.Reset());
    EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(Event, WaitTimesOutAfterItsTime) {
    const uint32_t timeouts[] = {0, 30, 120};
    for (uint32_t timeout : timeouts) {
        SCOPED_TRACE(timeout);
        CEvent event(false, false);
        CStopwatch watch;
        EXPECT_EQ(event.Wait(timeout), kWaitTimeout);
        int64_t elapsed = watch.ElapsedMs();
        EXPECT_GE(elapsed, int64_t(timeout) * 9 / 10);
        EXPECT_LT(elapsed, int64_t(timeout) + 2000);
    }
}

TEST(Event, SetFromAnotherThreadEndsAWait) {
    CEvent event(false, false);
    CThread setter;
    ASSERT_TRUE(setter.Start(
        [](void *context) -> uint32_t {
            SleepMs(50);
            return static_cast<CEvent *>(context)->Set() ? 0 : 1;
        },
        &event));
    CStopwatch watch;
    EXPECT_EQ(event.Wait(10000), kWaitSignalled);
    EXPECT_LT(watch.ElapsedMs(), 5000);
    ASSERT_EQ(setter.Join(kInfinite), kWaitSignalled);
    EXPECT_EQ(setter.ExitCode(), 0u);
}

// ---------------------------------------------------------------------------

struct SemaphoreCase {
    const char *name;
    int32_t initial;
    int32_t maximum;
    std::vector<int32_t> releases;
    std::vector<bool> results;
    int expectedWaits; // Wait(0) calls that succeed afterwards
};

TEST(Semaphore, ReleasesRespectTheMaximum) {
    const SemaphoreCase cases[] = {
        {"wake semaphore: fifth release fails", 0, 4, {1, 1, 1, 1, 1}, {true, true, true, true, false}, 4},
        {"release of two beyond the maximum", 0, 4, {2, 2, 1}, {true, true, false}, 4},
        {"partial overflow leaves the count", 3, 4, {2}, {false}, 3},
        {"zero and negative releases fail", 0, 4, {0, -1, 4}, {false, false, true}, 4},
        {"full from the start", 4, 4, {1}, {false}, 4},
        {"below the maximum", 2, 4, {1}, {true}, 3},
        {"binary", 0, 1, {1, 1}, {true, false}, 1},
    };
    for (const SemaphoreCase &c : cases) {
        SCOPED_TRACE(c.name);
        CSemaphore semaphore(c.initial, c.maximum);
        ASSERT_TRUE(semaphore.Valid());
        for (size_t i = 0; i < c.releases.size(); ++i)
            EXPECT_EQ(semaphore.Release(c.releases[i]), c.results[i]) << "release " << i;
        int waits = 0;
        while (semaphore.Wait(0) == kWaitSignalled && waits < 100)
            ++waits;
        EXPECT_EQ(waits, c.expectedWaits);
        // Emptied: a release succeeds again.
        EXPECT_TRUE(semaphore.Release(1));
    }
}

TEST(Semaphore, InvalidCountsGiveAnInvalidObject) {
    const int32_t counts[][2] = {{5, 4}, {0, 0}, {-1, 4}, {0, -3}};
    for (const auto &c : counts) {
        SCOPED_TRACE(testing::Message() << c[0] << "/" << c[1]);
        CSemaphore semaphore(c[0], c[1]);
        EXPECT_FALSE(semaphore.Valid());
        EXPECT_FALSE(semaphore.Release(1));
        EXPECT_EQ(semaphore.Wait(0), kWaitFailed);
    }
}

TEST(Semaphore, ReleaseWakesABlockedWaiter) {
    CSemaphore semaphore(0, 4);
    std::atomic<int> woken{0};
    Waiter waiter{&semaphore, &woken};
    CThread thread;
    ASSERT_TRUE(thread.Start(WaitForever, &waiter));
    SleepMs(20);
    EXPECT_EQ(woken.load(), 0);
    ASSERT_TRUE(semaphore.Release(1));
    ASSERT_EQ(thread.Join(5000), kWaitSignalled);
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(semaphore.Wait(0), kWaitTimeout);
}

struct Consumer {
    CSemaphore *semaphore;
    int count;
    std::atomic<int> *taken;
};

TEST(Semaphore, CountStaysExactUnderContention) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 250;
    CSemaphore semaphore(0, 4);
    std::atomic<int> taken{0};
    Consumer consumer{&semaphore, kPerThread, &taken};
    CThread threads[kThreads];
    for (CThread &thread : threads) {
        ASSERT_TRUE(thread.Start(
            [](void *context) -> uint32_t {
                auto *c = static_cast<Consumer *>(context);
                for (int i = 0; i < c->count; ++i) {
                    if (c->semaphore->Wait(10000) != kWaitSignalled)
                        return 1;
                    c->taken->fetch_add(1);
                }
                return 0;
            },
            &consumer));
    }
    // Release one at a time; a full semaphore refuses and is retried.
    int released = 0;
    CStopwatch watch;
    while (released < kThreads * kPerThread && watch.ElapsedMs() < 20000) {
        if (semaphore.Release(1))
            ++released;
        else
            SleepMs(0);
    }
    EXPECT_EQ(released, kThreads * kPerThread);
    for (CThread &thread : threads) {
        ASSERT_EQ(thread.Join(20000), kWaitSignalled);
        EXPECT_EQ(thread.ExitCode(), 0u);
    }
    EXPECT_EQ(taken.load(), kThreads * kPerThread);
    EXPECT_EQ(semaphore.Wait(0), kWaitTimeout);
    // The count is back to zero: exactly four releases fit again.
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(semaphore.Release(1));
    EXPECT_FALSE(semaphore.Release(1));
}

// ---------------------------------------------------------------------------

TEST(Lock, ReentersOnTheSameThread) {
    CLock lock;
    lock.Enter();
    lock.Enter();
    EXPECT_TRUE(lock.TryEnter());
    lock.Leave();
    lock.Leave();
    lock.Leave();
    // Fully left: another thread takes it.
    CThread other;
    ASSERT_TRUE(other.Start(
        [](void *context) -> uint32_t {
            auto *l = static_cast<CLock *>(context);
            if (!l->TryEnter())
                return 1;
            l->Leave();
            return 0;
        },
        &lock));
    ASSERT_EQ(other.Join(5000), kWaitSignalled);
    EXPECT_EQ(other.ExitCode(), 0u);
}

uint32_t TryEnterOnce(void *context) {
    auto *lock = static_cast<CLock *>(context);
    if (!lock->TryEnter())
        return 0;
    lock->Leave();
    return 1;
}

TEST(Lock, ExcludesOtherThreads) {
    CLock lock;
    lock.Enter();
    lock.Enter();
    CThread first;
    ASSERT_TRUE(first.Start(TryEnterOnce, &lock));
    ASSERT_EQ(first.Join(5000), kWaitSignalled);
    EXPECT_EQ(first.ExitCode(), 0u) << "entered a lock held by another thread";

    // Left once of twice: still held.
    lock.Leave();
    CThread second;
    ASSERT_TRUE(second.Start(TryEnterOnce, &lock));
    ASSERT_EQ(second.Join(5000), kWaitSignalled);
    EXPECT_EQ(second.ExitCode(), 0u);

    lock.Leave();
    CThread third;
    ASSERT_TRUE(third.Start(TryEnterOnce, &lock));
    ASSERT_EQ(third.Join(5000), kWaitSignalled);
    EXPECT_EQ(third.ExitCode(), 1u);
}

struct Counter {
    CLock lock;
    int value = 0; // plain on purpose: only the lock protects it
};

TEST(Lock, SerialisesIncrementsFromManyThreads) {
    constexpr int kThreads = 4;
    constexpr int kIncrements = 20000;
    Counter counter;
    CThread threads[kThreads];
    for (CThread &thread : threads) {
        ASSERT_TRUE(thread.Start(
            [](void *context) -> uint32_t {
                auto *c = static_cast<Counter *>(context);
                for (int i = 0; i < kIncrements; ++i) {
                    CLockGuard guard(c->lock);
                    int v = c->value;
                    c->value = v + 1;
                }
                return 0;
            },
            &counter));
    }
    for (CThread &thread : threads)
        ASSERT_EQ(thread.Join(60000), kWaitSignalled);
    EXPECT_EQ(counter.value, kThreads * kIncrements);
}

// ---------------------------------------------------------------------------

struct WaitAnyCase {
    const char *name;
    bool setAuto;
    bool setManual;
    bool releaseSemaphore;
    int expected;
};

TEST(WaitAny, ReturnsTheLowestSignalledIndex) {
    const WaitAnyCase cases[] = {
        {"nothing signalled", false, false, false, -1},
        {"semaphore only", false, false, true, 2},
        {"manual and semaphore", false, true, true, 1},
        {"manual only", false, true, false, 1},
        {"all three", true, true, true, 0},
        {"auto only", true, false, false, 0},
    };
    for (const WaitAnyCase &c : cases) {
        SCOPED_TRACE(c.name);
        CEvent autoEvent(false, false);
        CEvent manualEvent(true, false);
        CSemaphore semaphore(0, 4);
        CWaitable *objects[] = {&autoEvent, &manualEvent, &semaphore};
        if (c.setAuto) {
            ASSERT_TRUE(autoEvent.Set());
        }
        if (c.setManual) {
            ASSERT_TRUE(manualEvent.Set());
        }
        if (c.releaseSemaphore) {
            ASSERT_TRUE(semaphore.Release(1));
        }

        EXPECT_EQ(WaitAny(objects, 3, 20), c.expected);

        // Only the object reported was consumed, and only if it resets.
        EXPECT_EQ(autoEvent.Wait(0), c.setAuto && c.expected != 0 ? kWaitSignalled : kWaitTimeout);
        EXPECT_EQ(manualEvent.Wait(0), c.setManual ? kWaitSignalled : kWaitTimeout);
        EXPECT_EQ(semaphore.Wait(0), c.releaseSemaphore && c.expected != 2 ? kWaitSignalled : kWaitTimeout);
    }
}

TEST(WaitAny, WakesWhenAnObjectIsSignalledLater) {
    CEvent first(false, false);
    CEvent second(false, false);
    CWaitable *objects[] = {&first, &second};
    CThread setter;
    ASSERT_TRUE(setter.Start(
        [](void *context) -> uint32_t {
            SleepMs(50);
            return static_cast<CEvent *>(context)->Set() ? 0 : 1;
        },
        &second));
    EXPECT_EQ(WaitAny(objects, 2, kInfinite), 1);
    ASSERT_EQ(setter.Join(5000), kWaitSignalled);
    EXPECT_EQ(second.Wait(0), kWaitTimeout);
}

TEST(WaitAny, RejectsBadArguments) {
    CEvent event(true, true);
    CSemaphore invalid(5, 4);
    CWaitable *withNull[] = {&event, nullptr};
    CWaitable *withInvalid[] = {&event, &invalid};
    CWaitable *valid[] = {&event};
    EXPECT_EQ(WaitAny(nullptr, 1, 0), -2);
    EXPECT_EQ(WaitAny(valid, 0, 0), -2);
    EXPECT_EQ(WaitAny(valid, -1, 0), -2);
    EXPECT_EQ(WaitAny(withNull, 2, 0), -2);
    EXPECT_EQ(WaitAny(withInvalid, 2, 0), -2);
    EXPECT_EQ(WaitAny(valid, 1, 0), 0);
}

} // namespace
