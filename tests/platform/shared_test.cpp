// Machine-wide named objects: the mutex between threads with their own
// handles and between processes (re-entry by its owner, owners that die
// holding it), the shared memory block within one process and across two.
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/shared.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

using namespace platform;
using qvtest::CStopwatch;
using qvtest::UniqueName;

namespace {

// The size of the hardware decoders' machine-wide record.
constexpr size_t kBlockBytes = 524;

// Windows drops named objects with their last handle; POSIX keeps them until
// they are unlinked, so the tests remove theirs. A mutex lives in a shared
// memory block of its own, apart from a block of the same name.
class CNameCleanup {
public:
    CNameCleanup(std::string name, bool mutex) : m_name(std::move(name)), m_mutex(mutex) {}
    ~CNameCleanup() {
#ifndef _WIN32
        std::string posixName = "/" + m_name;
        for (size_t i = 1; i < posixName.size(); ++i) {
            if (posixName[i] == '/')
                posixName[i] = '_';
        }
        if (m_mutex)
            posixName += ".mutex";
        shm_unlink(posixName.c_str());
#endif
    }
    const char *c_str() const {
        return m_name.c_str();
    }

private:
    std::string m_name;
    bool m_mutex;
};

struct MutexProbe {
    std::string name;
    uint32_t timeoutMs = 0;
    int64_t elapsedMs = 0;
};

// On a thread of its own, with a handle of its own: a lock held by this
// thread would be re-entered on Windows.
uint32_t TryLockElsewhere(void *context) {
    auto *probe = static_cast<MutexProbe *>(context);
    CNamedMutex mutex;
    if (!mutex.Open(probe->name.c_str()))
        return 100;
    CStopwatch watch;
    WaitResult r = mutex.Lock(probe->timeoutMs);
    probe->elapsedMs = watch.ElapsedMs();
    if (r == kWaitSignalled)
        mutex.Unlock();
    return uint32_t(r);
}

WaitResult LockFromAnotherThread(MutexProbe &probe) {
    CThread thread;
    if (!thread.Start(TryLockElsewhere, &probe) || thread.Join(10000) != kWaitSignalled)
        return kWaitFailed;
    return WaitResult(int(thread.ExitCode()));
}

TEST(NamedMutex, TryLockFailsWhileAnotherHolderHasIt) {
    CNameCleanup name(UniqueName("qvplay_test_mutex"), true);
    CNamedMutex mutex;
    EXPECT_FALSE(mutex.IsOpen());
    EXPECT_EQ(mutex.Lock(0), kWaitFailed) << "locked a mutex that is not open";
    ASSERT_TRUE(mutex.Open(name.c_str()));
    EXPECT_TRUE(mutex.IsOpen());

    MutexProbe probe;
    probe.name = name.c_str();
    // Free: another handle takes it at once.
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitSignalled);

    ASSERT_EQ(mutex.Lock(0), kWaitSignalled);
    probe.timeoutMs = 0;
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitTimeout);
    probe.timeoutMs = 100;
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitTimeout);
    EXPECT_GE(probe.elapsedMs, 90);

    ASSERT_TRUE(mutex.Unlock());
    probe.timeoutMs = 0;
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitSignalled);
    probe.timeoutMs = kInfinite;
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitSignalled);
    mutex.Close();
    EXPECT_FALSE(mutex.IsOpen());
}

TEST(NamedMutex, BadNamesFail) {
    CNamedMutex mutex;
    EXPECT_FALSE(mutex.Open(nullptr));
    EXPECT_FALSE(mutex.IsOpen());
    EXPECT_FALSE(mutex.Unlock());
}

uint32_t UnlockElsewhere(void *context) {
    CNamedMutex mutex;
    if (!mutex.Open(static_cast<MutexProbe *>(context)->name.c_str()))
        return 100;
    return mutex.Unlock() ? 1 : 0;
}

TEST(NamedMutex, OwnerLocksAgainAndUnlocksAsOften) {
    CNameCleanup name(UniqueName("qvplay_test_reentry"), true);
    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open(name.c_str()));
    MutexProbe probe;
    probe.name = name.c_str();

    // Every kind of wait returns at once for the owner, and so does another
    // handle of the same thread.
    ASSERT_EQ(mutex.Lock(0), kWaitSignalled);
    ASSERT_EQ(mutex.Lock(0), kWaitSignalled);
    ASSERT_EQ(mutex.Lock(100), kWaitSignalled);
    ASSERT_EQ(mutex.Lock(kInfinite), kWaitSignalled);
    CNamedMutex second;
    ASSERT_TRUE(second.Open(name.c_str()));
    ASSERT_EQ(second.Lock(0), kWaitSignalled);

    // Only the owner releases it.
    CThread thread;
    ASSERT_TRUE(thread.Start(UnlockElsewhere, &probe));
    ASSERT_EQ(thread.Join(10000), kWaitSignalled);
    EXPECT_EQ(thread.ExitCode(), 0u) << "another thread released the lock";

    // Held until the last of the five releases, through either handle.
    for (int held = 5; held > 0; --held) {
        SCOPED_TRACE("locks held: " + std::to_string(held));
        EXPECT_EQ(LockFromAnotherThread(probe), kWaitTimeout);
        EXPECT_TRUE(held % 2 ? second.Unlock() : mutex.Unlock());
    }
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitSignalled);
    EXPECT_FALSE(mutex.Unlock()) << "released more often than locked";
    EXPECT_FALSE(second.Unlock());
}

struct OpenRace {
    std::string name;
    CEvent start{true, false};
    CEvent release{true, false};
    std::atomic<int> opened{0};
    std::atomic<int> locked{0};
    std::atomic<int> reported{0};
};

uint32_t OpenAndTry(void *context) {
    auto *race = static_cast<OpenRace *>(context);
    if (race->start.Wait(10000) != kWaitSignalled)
        return 1;
    CNamedMutex mutex;
    bool opened = mutex.Open(race->name.c_str());
    WaitResult r = opened ? mutex.Lock(0) : kWaitFailed;
    race->opened += opened ? 1 : 0;
    race->locked += r == kWaitSignalled ? 1 : 0;
    ++race->reported;
    // The holder keeps it until every thread has tried.
    race->release.Wait(10000);
    if (r == kWaitSignalled && !mutex.Unlock())
        return 2;
    return 0;
}

TEST(NamedMutex, ThreadsOpeningANewNameTogetherShareOneMutex) {
    // One of them creates it while the others find it half made.
    constexpr int kThreads = 4;
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        CNameCleanup name(UniqueName("qvplay_test_race"), true);
        OpenRace race;
        race.name = name.c_str();
        CThread threads[kThreads];
        for (CThread &thread : threads)
            ASSERT_TRUE(thread.Start(OpenAndTry, &race));
        race.start.Set();
        EXPECT_TRUE(qvtest::WaitUntil([&] { return race.reported == kThreads; }, 10000));
        race.release.Set();
        for (CThread &thread : threads) {
            ASSERT_EQ(thread.Join(10000), kWaitSignalled);
            EXPECT_EQ(thread.ExitCode(), 0u);
        }
        EXPECT_EQ(race.opened, kThreads);
        EXPECT_EQ(race.locked, 1);
    }
}

uint32_t LockTwiceAndEnd(void *context) {
    CNamedMutex mutex;
    if (!mutex.Open(static_cast<MutexProbe *>(context)->name.c_str()))
        return 100;
    if (mutex.Lock(0) != kWaitSignalled || mutex.Lock(0) != kWaitSignalled)
        return 1;
    return 0; // closes its handle and ends still holding the lock
}

// Takes the lock, checks that it is really held and that it is released by
// one Unlock whatever its last owner left, and that it is usable afterwards.
void ExpectTakenOverWith(CNamedMutex &mutex, MutexProbe &probe, uint32_t timeoutMs) {
    ASSERT_EQ(mutex.Lock(timeoutMs), kWaitSignalled);
    probe.timeoutMs = 0;
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitTimeout);
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.Unlock());
    probe.timeoutMs = 1000;
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitSignalled);
    EXPECT_EQ(LockFromAnotherThread(probe), kWaitSignalled);
}

TEST(NamedMutex, LockOfAThreadThatEndedIsTakenOver) {
    // With a handle of this thread open all along, and opened only after the
    // other thread has closed its own (the lock must survive that).
    for (bool openFirst : {true, false}) {
        SCOPED_TRACE(openFirst ? "handle open first" : "handle opened afterwards");
        CNameCleanup name(UniqueName("qvplay_test_ended"), true);
        CNamedMutex mutex;
        if (openFirst) {
            ASSERT_TRUE(mutex.Open(name.c_str()));
        }
        MutexProbe probe;
        probe.name = name.c_str();
        CThread thread;
        ASSERT_TRUE(thread.Start(LockTwiceAndEnd, &probe));
        ASSERT_EQ(thread.Join(10000), kWaitSignalled);
        ASSERT_EQ(thread.ExitCode(), 0u);
        if (!openFirst) {
            ASSERT_TRUE(mutex.Open(name.c_str()));
        }
        ExpectTakenOverWith(mutex, probe, 0);
        if (HasFatalFailure())
            return;
    }
}

TEST(NamedSharedMemory, SameNameSameBlockWithinAProcess) {
    // A slash in the name is allowed and still names one object.
    CNameCleanup name(UniqueName("qvplay_test/shm"), false);
    CNamedSharedMemory first;
    bool created = false;
    ASSERT_TRUE(first.Open(name.c_str(), kBlockBytes, &created));
    EXPECT_TRUE(created);
    ASSERT_NE(first.Data(), nullptr);
    EXPECT_EQ(first.Size(), kBlockBytes);
    auto *bytes = static_cast<unsigned char *>(first.Data());
    for (size_t i = 0; i < kBlockBytes; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i << " of a new block";

    CNamedSharedMemory second;
    created = true;
    ASSERT_TRUE(second.Open(name.c_str(), kBlockBytes, &created));
    EXPECT_FALSE(created);
    EXPECT_NE(second.Data(), first.Data());
    std::memcpy(first.Data(), "written by the first view", 26);
    static_cast<unsigned char *>(first.Data())[kBlockBytes - 1] = 0xEE;
    EXPECT_EQ(std::memcmp(second.Data(), "written by the first view", 26), 0);
    EXPECT_EQ(static_cast<unsigned char *>(second.Data())[kBlockBytes - 1], 0xEE);

    second.Close();
    EXPECT_EQ(second.Data(), nullptr);
    EXPECT_EQ(second.Size(), 0u);
}

TEST(NamedSharedMemory, BadArgumentsFail) {
    CNamedSharedMemory block;
    bool created = true;
    EXPECT_FALSE(block.Open(nullptr, kBlockBytes, &created));
    EXPECT_FALSE(created);
    CNameCleanup name(UniqueName("qvplay_test_empty"), false);
    EXPECT_FALSE(block.Open(name.c_str(), 0, &created));
    EXPECT_EQ(block.Data(), nullptr);
}

// This program started again in one of its child modes (see main.cpp).
class CChildProcess {
public:
    CChildProcess() = default;
    CChildProcess(const CChildProcess &) = delete;
    CChildProcess &operator=(const CChildProcess &) = delete;
    // One that did not end in time is killed, so a failed test leaves none.
    ~CChildProcess() {
#ifdef _WIN32
        if (m_process) {
            TerminateProcess(m_process, 1);
            WaitForSingleObject(m_process, INFINITE);
            CloseHandle(m_process);
        }
#else
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
#endif
    }

    bool Start(const std::vector<std::string> &args) {
#ifdef _WIN32
        wchar_t exe[MAX_PATH];
        DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return false;
        std::wstring commandLine = L"\"" + std::wstring(exe) + L"\"";
        for (const std::string &arg : args)
            commandLine += L" " + qvtest::Widen(arg);
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process))
            return false;
        CloseHandle(process.hThread);
        m_process = process.hProcess;
        return true;
#else
        char exe[] = "/proc/self/exe";
        std::vector<std::string> copies(args);
        std::vector<char *> argv{exe};
        for (std::string &arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        pid_t pid;
        if (posix_spawn(&pid, exe, nullptr, nullptr, argv.data(), environ) != 0)
            return false;
        m_pid = pid;
        return true;
#endif
    }

    // The exit code, or -1 when it has not ended within timeoutMs or could
    // not be waited for.
    int Wait(uint32_t timeoutMs) {
#ifdef _WIN32
        DWORD code = DWORD(-1);
        if (!m_process || WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(m_process, &code))
            return -1;
        CloseHandle(m_process);
        m_process = nullptr;
        return int(code);
#else
        if (m_pid <= 0)
            return -1;
        int status = 0;
        bool ended = qvtest::WaitUntil(
            [&] {
                pid_t r;
                while ((r = waitpid(m_pid, &status, WNOHANG)) < 0 && errno == EINTR) {
                }
                return r == m_pid;
            },
            timeoutMs);
        if (!ended)
            return -1;
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
    }

private:
#ifdef _WIN32
    HANDLE m_process = nullptr;
#else
    pid_t m_pid = -1;
#endif
};

// Runs the shared-memory child to its end and returns its exit code, or -1.
int RunChild(const std::string &name, const std::string &value) {
    CChildProcess child;
    if (!child.Start({qvtest::kSharedMemoryChildArg, name, value}))
        return -1;
    return child.Wait(60000);
}

TEST(NamedSharedMemory, SameNameSameBlockAcrossProcesses) {
    CNameCleanup name(UniqueName("qvplay_test_cross"), false);
    CNamedSharedMemory block;
    bool created = false;
    ASSERT_TRUE(block.Open(name.c_str(), kBlockBytes, &created));
    ASSERT_TRUE(created);
    auto *words = static_cast<uint32_t *>(block.Data());
    words[0] = 0x1234;

    // The child finds the block (not a new one), checks what the parent
    // wrote and writes its own value at the end.
    ASSERT_EQ(RunChild(name.c_str(), "3141592"), 0);
    EXPECT_EQ(words[0], 0x1234u);
    EXPECT_EQ(words[kBlockBytes / 4 - 1], 3141592u);
}

// What the mutex child and the parent tell each other, in a shared block.
enum MutexChildWord : size_t {
    kMutexChildStage = 0, // 1: has tried the lock the parent holds, 2: holds it
    kMutexChildTryResult = 1, // the child's Lock(0) while the parent held it
    kMutexParentGo = 2, // 1: the child may release the lock and end
    kMutexChildWords = 3,
};

uint32_t LoadWord(void *block, size_t index) {
    return std::atomic_ref<uint32_t>(static_cast<uint32_t *>(block)[index]).load();
}

void StoreWord(void *block, size_t index, uint32_t value) {
    std::atomic_ref<uint32_t>(static_cast<uint32_t *>(block)[index]).store(value);
}

TEST(NamedMutex, ExcludesOtherProcesses) {
    CNameCleanup name(UniqueName("qvplay_test_xmutex"), true);
    CNameCleanup talk(UniqueName("qvplay_test_xtalk"), false);
    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open(name.c_str()));
    CNamedSharedMemory block;
    ASSERT_TRUE(block.Open(talk.c_str(), kMutexChildWords * sizeof(uint32_t)));
    void *words = block.Data();
    StoreWord(words, kMutexChildTryResult, 0xFFFF);

    ASSERT_EQ(mutex.Lock(0), kWaitSignalled);
    CChildProcess child;
    ASSERT_TRUE(child.Start({qvtest::kNamedMutexChildArg, "hold", name.c_str(), talk.c_str()}));
    // The child is kept out while this process holds the lock...
    ASSERT_TRUE(qvtest::WaitUntil([&] { return LoadWord(words, kMutexChildStage) >= 1; }, 30000))
        << "exit code " << child.Wait(0);
    EXPECT_EQ(LoadWord(words, kMutexChildTryResult), uint32_t(kWaitTimeout));
    // ...takes it, waiting, once it is released...
    ASSERT_TRUE(mutex.Unlock());
    ASSERT_TRUE(qvtest::WaitUntil([&] { return LoadWord(words, kMutexChildStage) == 2; }, 30000))
        << "exit code " << child.Wait(0);
    // ...and keeps this process out in turn.
    EXPECT_EQ(mutex.Lock(0), kWaitTimeout);
    CStopwatch watch;
    EXPECT_EQ(mutex.Lock(100), kWaitTimeout);
    EXPECT_GE(watch.ElapsedMs(), 90);
    EXPECT_FALSE(mutex.Unlock()) << "released the child's lock";

    StoreWord(words, kMutexParentGo, 1);
    EXPECT_EQ(child.Wait(30000), 0);
    EXPECT_EQ(mutex.Lock(0), kWaitSignalled);
    EXPECT_TRUE(mutex.Unlock());
}

TEST(NamedMutex, LockOfAProcessThatEndedIsTakenOver) {
    // Each kind of wait finds the lock its owner left behind. ThreadSanitizer
    // does not count a timed lock that comes back from a dead owner as taken
    // and would call its release a misuse, so it skips that one.
#ifdef __SANITIZE_THREAD__
    const uint32_t timeouts[] = {0u, kInfinite};
#else
    const uint32_t timeouts[] = {0u, 1000u, kInfinite};
#endif
    for (uint32_t timeoutMs : timeouts) {
        SCOPED_TRACE("time-out " + std::to_string(timeoutMs));
        CNameCleanup name(UniqueName("qvplay_test_xended"), true);
        CNamedMutex mutex;
        ASSERT_TRUE(mutex.Open(name.c_str()));
        CChildProcess child;
        ASSERT_TRUE(child.Start({qvtest::kNamedMutexChildArg, "abandon", name.c_str()}));
        ASSERT_EQ(child.Wait(60000), 0);
        MutexProbe probe;
        probe.name = name.c_str();
        // A lock left held would keep the next, unlimited wait for ever.
        ExpectTakenOverWith(mutex, probe, timeoutMs);
        if (HasFatalFailure())
            return;
    }
}

} // namespace

namespace qvtest {

// The child's side: 0 on success, 2 when the block was new to it, 3 when
// the parent's value was missing, 1 on other failures.
int RunSharedMemoryChild(int argc, char **argv) {
    if (argc < 4)
        return 1;
    CNamedSharedMemory block;
    bool created = true;
    if (!block.Open(argv[2], kBlockBytes, &created))
        return 1;
    if (created)
        return 2;
    auto *words = static_cast<uint32_t *>(block.Data());
    if (words[0] != 0x1234)
        return 3;
    words[kBlockBytes / 4 - 1] = uint32_t(std::strtoul(argv[3], nullptr, 10));
    return 0;
}

// The mutex child's side. "abandon" locks the mutex twice and ends holding
// it; "hold" reports its try while the parent holds the lock, then takes it
// and keeps it until the parent's go. 0 on success, 2 when a lock that
// should have been taken was not, 3 when the go did not come, 1 on other
// failures.
int RunNamedMutexChild(int argc, char **argv) {
    if (argc < 4)
        return 1;
    CNamedMutex mutex;
    if (!mutex.Open(argv[3]))
        return 1;
    if (std::strcmp(argv[2], "abandon") == 0)
        return mutex.Lock(0) == kWaitSignalled && mutex.Lock(0) == kWaitSignalled ? 0 : 2;
    if (std::strcmp(argv[2], "hold") != 0 || argc < 5)
        return 1;
    CNamedSharedMemory block;
    if (!block.Open(argv[4], kMutexChildWords * sizeof(uint32_t)))
        return 1;
    void *words = block.Data();
    WaitResult tried = mutex.Lock(0);
    if (tried == kWaitSignalled)
        mutex.Unlock();
    StoreWord(words, kMutexChildTryResult, uint32_t(tried));
    StoreWord(words, kMutexChildStage, 1);
    if (mutex.Lock(30000) != kWaitSignalled)
        return 2;
    StoreWord(words, kMutexChildStage, 2);
    bool go = WaitUntil([&] { return LoadWord(words, kMutexParentGo) == 1; }, 30000);
    bool released = mutex.Unlock();
    if (!go)
        return 3;
    return released ? 0 : 1;
}

} // namespace qvtest
