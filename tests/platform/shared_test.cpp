// Machine-wide named objects: the mutex between threads with their own
// handles, the shared memory block within one process and across two.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/shared.h"
#include "platform/thread.h"
#include "test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <semaphore.h>
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
// they are unlinked, so the tests remove theirs.
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
            sem_unlink(posixName.c_str());
        else
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

// Starts this program again as the shared-memory child and returns its exit
// code, or -1 when it could not be run.
int RunChild(const std::string &name, const std::string &value) {
#ifdef _WIN32
    wchar_t exe[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return -1;
    std::wstring commandLine = L"\"" + std::wstring(exe) + L"\" " +
                               qvtest::Widen(qvtest::kSharedMemoryChildArg) + L" " + qvtest::Widen(name) +
                               L" " + qvtest::Widen(value);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(exe, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return -1;
    CloseHandle(process.hThread);
    DWORD code = DWORD(-1);
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process.hProcess, &code))
        code = DWORD(-1);
    CloseHandle(process.hProcess);
    return int(code);
#else
    std::string arg = qvtest::kSharedMemoryChildArg;
    char exe[] = "/proc/self/exe";
    char *argv[] = {exe, arg.data(), const_cast<char *>(name.c_str()), const_cast<char *>(value.c_str()),
                    nullptr};
    pid_t pid;
    if (posix_spawn(&pid, exe, nullptr, nullptr, argv, environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
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

} // namespace qvtest
