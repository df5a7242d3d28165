// Threads over pthreads. Priorities are nice values of the kernel thread,
// relative to the nice value the thread started with.
#include "platform/thread.h"

#include <atomic>
#include <cerrno>
#include <ctime>
#include <memory>
#include <new>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

// Exit code reported while the routine still runs (STILL_ACTIVE on Windows).
constexpr uint32_t kStillActive = 259;

pid_t KernelThreadId() {
    return pid_t(syscall(SYS_gettid));
}

// Nice offset from the thread's starting nice value for each priority,
// including the idle (-15) and time-critical (15) levels of Windows.
struct PriorityNice {
    int priority;
    int offset;
};

constexpr PriorityNice kPriorityNice[] = {
    {-15, 19},
    {kPriorityLowest, 10},
    {kPriorityBelowNormal, 5},
    {kPriorityNormal, 0},
    {kPriorityAboveNormal, -5},
    {kPriorityHighest, -10},
    {15, -20},
};

bool NiceOffset(int priority, int &offset) {
    for (const PriorityNice &entry : kPriorityNice) {
        if (entry.priority == priority) {
            offset = entry.offset;
            return true;
        }
    }
    return false;
}

void AbsoluteDeadline(uint32_t timeoutMs, timespec &ts) {
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += timeoutMs / 1000;
    ts.tv_nsec += long(timeoutMs % 1000) * 1000000;
    if (ts.tv_nsec >= 1000000000) {
        ts.tv_nsec -= 1000000000;
        ++ts.tv_sec;
    }
}

} // namespace

// What the running thread and its owner share. The thread keeps its own
// reference, so that an owner destroyed by the thread itself can go first.
struct ThreadRun {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond;
    CThread::StartRoutine routine = nullptr;
    void *context = nullptr;
    std::atomic<pid_t> tid{0};
    int baseNice = 0;
    bool done = false;
    uint32_t exitCode = kStillActive;

    ThreadRun() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
    }
    ~ThreadRun() {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
};

struct CThread::State {
    std::shared_ptr<ThreadRun> run;
    pthread_t thread{};
    bool joined = false;
    int priority = kPriorityNormal;
};

namespace {

void *ThreadMain(void *arg) {
    std::shared_ptr<ThreadRun> run(std::move(*static_cast<std::shared_ptr<ThreadRun> *>(arg)));
    delete static_cast<std::shared_ptr<ThreadRun> *>(arg);

    pthread_mutex_lock(&run->mutex);
    run->tid = KernelThreadId();
    errno = 0;
    int nice = getpriority(PRIO_PROCESS, id_t(run->tid.load()));
    run->baseNice = errno == 0 ? nice : 0;
    pthread_cond_broadcast(&run->cond);
    pthread_mutex_unlock(&run->mutex);

    uint32_t code = run->routine(run->context);

    pthread_mutex_lock(&run->mutex);
    run->exitCode = code;
    run->done = true;
    pthread_cond_broadcast(&run->cond);
    pthread_mutex_unlock(&run->mutex);
    return nullptr;
}

} // namespace

CThread::CThread() : m_state(new State) {}

CThread::~CThread() {
    if (m_state->run && !m_state->joined) {
        if (IsCurrent())
            pthread_detach(pthread_self());
        else
            Join(kInfinite);
    }
    delete m_state;
}

bool CThread::Start(StartRoutine routine, void *context) {
    if (!routine || (m_state->run && !m_state->joined))
        return false;
    auto run = std::make_shared<ThreadRun>();
    run->routine = routine;
    run->context = context;
    auto *arg = new (std::nothrow) std::shared_ptr<ThreadRun>(run);
    if (!arg)
        return false;
    // Set up before the thread runs: the routine may ask IsCurrent at once.
    m_state->run = run;
    m_state->joined = false;
    m_state->priority = kPriorityNormal;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, ThreadMain, arg) != 0) {
        delete arg;
        m_state->run.reset();
        return false;
    }
    m_state->thread = thread;
    // Wait until the thread knows its kernel id, so that its priority can be
    // set at once.
    pthread_mutex_lock(&run->mutex);
    while (run->tid == 0)
        pthread_cond_wait(&run->cond, &run->mutex);
    pthread_mutex_unlock(&run->mutex);
    return true;
}

bool CThread::Started() const {
    return m_state->run != nullptr;
}

bool CThread::SetPriority(int priority) {
    int offset;
    if (!m_state->run || m_state->joined || !NiceOffset(priority, offset))
        return false;
    ThreadRun &run = *m_state->run;
    pthread_mutex_lock(&run.mutex);
    bool ok = true;
    if (!run.done) {
        int nice = run.baseNice + offset;
        nice = nice < -20 ? -20 : (nice > 19 ? 19 : nice);
        // Raising may be refused without privileges; the thread then keeps
        // its present priority.
        ok = setpriority(PRIO_PROCESS, id_t(run.tid.load()), nice) == 0;
    }
    pthread_mutex_unlock(&run.mutex);
    if (ok)
        m_state->priority = priority;
    return ok;
}

int CThread::GetPriority() const {
    return m_state->priority;
}

WaitResult CThread::Join(uint32_t timeoutMs) {
    if (!m_state->run)
        return kWaitFailed;
    if (m_state->joined)
        return kWaitSignalled;
    if (IsCurrent())
        return timeoutMs == kInfinite ? kWaitFailed : kWaitTimeout;
    ThreadRun &run = *m_state->run;
    pthread_mutex_lock(&run.mutex);
    if (timeoutMs == kInfinite) {
        while (!run.done)
            pthread_cond_wait(&run.cond, &run.mutex);
    } else {
        timespec deadline;
        AbsoluteDeadline(timeoutMs, deadline);
        while (!run.done) {
            if (pthread_cond_timedwait(&run.cond, &run.mutex, &deadline) == ETIMEDOUT)
                break;
        }
    }
    bool done = run.done;
    pthread_mutex_unlock(&run.mutex);
    if (!done)
        return kWaitTimeout;
    // The routine has returned; what is left of the thread ends at once.
    pthread_join(m_state->thread, nullptr);
    m_state->joined = true;
    return kWaitSignalled;
}

bool CThread::Terminate() {
    return false;
}

uint32_t CThread::ExitCode() const {
    if (!m_state->run)
        return 0;
    ThreadRun &run = *m_state->run;
    pthread_mutex_lock(&run.mutex);
    uint32_t code = run.exitCode;
    pthread_mutex_unlock(&run.mutex);
    return code;
}

bool CThread::IsCurrent() const {
    return m_state->run && !m_state->joined && m_state->run->tid.load() == KernelThreadId();
}

uint32_t CThread::CurrentThreadId() {
    return uint32_t(KernelThreadId());
}

void YieldTimeSlice() {
    sched_yield();
}

void SleepMs(uint32_t milliseconds) {
    timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = long(milliseconds % 1000) * 1000000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace platform
