// Threads: start with a context, exit codes, joins with a time-out,
// priorities and the owner's destruction.
#include <atomic>

#include <gtest/gtest.h>

#include "platform/sync.h"
#include "platform/thread.h"
#include "test_util.h"

using namespace platform;
using qvtest::CStopwatch;
using qvtest::WaitUntil;

namespace {

uint32_t ReturnContext(void *context) {
    return uint32_t(reinterpret_cast<uintptr_t>(context));
}

TEST(Thread, ExitCodeIsTheRoutinesResult) {
    const uint32_t codes[] = {0, 1, 42, 0x7FFFFFFF};
    for (uint32_t code : codes) {
        SCOPED_TRACE(code);
        CThread thread;
        EXPECT_FALSE(thread.Started());
        ASSERT_TRUE(thread.Start(ReturnContext, reinterpret_cast<void *>(uintptr_t(code))));
        EXPECT_TRUE(thread.Started());
        ASSERT_EQ(thread.Join(kInfinite), kWaitSignalled);
        EXPECT_EQ(thread.ExitCode(), code);
        // Joining again reports the same end.
        EXPECT_EQ(thread.Join(0), kWaitSignalled);
    }
}

struct Probe {
    CThread *self = nullptr;
    CEvent go{true, false};
    std::atomic<uint32_t> threadId{0};
    std::atomic<bool> isCurrent{false};
};

TEST(Thread, RoutineRunsOnItsOwnThreadWithItsContext) {
    Probe probe;
    CThread thread;
    probe.self = &thread;
    ASSERT_TRUE(thread.Start(
        [](void *context) -> uint32_t {
            auto *p = static_cast<Probe *>(context);
            p->go.Wait(kInfinite);
            p->threadId = CThread::CurrentThreadId();
            p->isCurrent = p->self->IsCurrent();
            return 7;
        },
        &probe));
    EXPECT_FALSE(thread.IsCurrent());
    ASSERT_TRUE(probe.go.Set());
    ASSERT_EQ(thread.Join(5000), kWaitSignalled);
    EXPECT_EQ(thread.ExitCode(), 7u);
    EXPECT_TRUE(probe.isCurrent.load());
    EXPECT_NE(probe.threadId.load(), 0u);
    EXPECT_NE(probe.threadId.load(), CThread::CurrentThreadId());
    EXPECT_EQ(CThread::CurrentThreadId(), CThread::CurrentThreadId());
}

uint32_t WaitForGo(void *context) {
    return static_cast<CEvent *>(context)->Wait(kInfinite) == kWaitSignalled ? 5 : 6;
}

TEST(Thread, JoinTimesOutWhileTheRoutineRuns) {
    CEvent go(true, false);
    CThread thread;
    ASSERT_TRUE(thread.Start(WaitForGo, &go));
    // A running thread cannot be started again.
    EXPECT_FALSE(thread.Start(WaitForGo, &go));

    EXPECT_EQ(thread.Join(0), kWaitTimeout);
    CStopwatch watch;
    EXPECT_EQ(thread.Join(60), kWaitTimeout);
    EXPECT_GE(watch.ElapsedMs(), 54);

    ASSERT_TRUE(go.Set());
    EXPECT_EQ(thread.Join(10000), kWaitSignalled);
    EXPECT_EQ(thread.ExitCode(), 5u);
}

TEST(Thread, JoinOfAThreadNeverStartedFails) {
    CThread thread;
    EXPECT_EQ(thread.Join(0), kWaitFailed);
    EXPECT_FALSE(thread.Start(nullptr, nullptr));
    EXPECT_FALSE(thread.Started());
}

TEST(Thread, LoweringThePriorityIsAccepted) {
    CEvent go(true, false);
    CThread thread;
    // Not started: nothing to set.
    EXPECT_FALSE(thread.SetPriority(kPriorityLowest));
    ASSERT_TRUE(thread.Start(WaitForGo, &go));
    EXPECT_EQ(thread.GetPriority(), kPriorityNormal);

    const int lowering[] = {kPriorityNormal, kPriorityBelowNormal, kPriorityLowest};
    for (int priority : lowering) {
        SCOPED_TRACE(priority);
        EXPECT_TRUE(thread.SetPriority(priority));
        EXPECT_EQ(thread.GetPriority(), priority);
    }
    // Raising may be refused; the thread then keeps its priority.
    const bool raised = thread.SetPriority(kPriorityHighest);
    EXPECT_EQ(thread.GetPriority(), raised ? kPriorityHighest : kPriorityLowest);

    // Either way the thread still runs to its end.
    ASSERT_TRUE(go.Set());
    ASSERT_EQ(thread.Join(10000), kWaitSignalled);
    EXPECT_EQ(thread.ExitCode(), 5u);
}

struct SlowWork {
    std::atomic<bool> finished{false};
};

TEST(Thread, DestructorWaitsForTheRoutine) {
    SlowWork work;
    {
        CThread thread;
        ASSERT_TRUE(thread.Start(
            [](void *context) -> uint32_t {
                SleepMs(150);
                static_cast<SlowWork *>(context)->finished = true;
                return 0;
            },
            &work));
    }
    EXPECT_TRUE(work.finished.load());
}

struct SelfOwned {
    CThread *thread = nullptr;
    CEvent started{true, false};
    CEvent deleted{true, false};
};

TEST(Thread, ThreadMayDestroyItsOwnObject) {
    SelfOwned owned;
    owned.thread = new CThread;
    ASSERT_TRUE(owned.thread->Start(
        [](void *context) -> uint32_t {
            auto *o = static_cast<SelfOwned *>(context);
            o->started.Wait(kInfinite);
            delete o->thread;
            o->deleted.Set();
            return 0;
        },
        &owned));
    ASSERT_TRUE(owned.started.Set());
    EXPECT_EQ(owned.deleted.Wait(10000), kWaitSignalled);
    // Let the detached thread finish before the context goes away.
    SleepMs(50);
}

TEST(Thread, SleepLastsAtLeastItsTime) {
    const uint32_t sleeps[] = {0, 20, 80};
    for (uint32_t ms : sleeps) {
        SCOPED_TRACE(ms);
        CStopwatch watch;
        SleepMs(ms);
        EXPECT_GE(watch.ElapsedMs(), int64_t(ms) * 9 / 10);
        EXPECT_LT(watch.ElapsedMs(), int64_t(ms) + 2000);
    }
}

} // namespace
