// Checks of the Windows platform layer that only make sense against the Win32
// kernel objects behind it: native handles, the performance-data counter,
// page protections, forced thread termination and wait/timer deletion rules.
#ifdef _WIN32

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace platform {
namespace {

// --- native handles -------------------------------------------------------

TEST(Win32Handles, EventHandleServesTheMessageQueueWait) {
    // The display thread waits on a native handle together with its message
    // queue; the kernel then consumes the auto-reset signal itself.
    CEvent event(false, false);
    ASSERT_TRUE(event.Valid());
    HANDLE handle = reinterpret_cast<HANDLE>(event.NativeHandle());
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &handle, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
    ASSERT_TRUE(event.Set());
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &handle, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0);
    EXPECT_TRUE(event.TryConsume());
    EXPECT_EQ(event.Wait(0), kWaitTimeout);
}

TEST(Win32Handles, ManualEventStaysSetForNativeWaits) {
    CEvent event(true, true);
    HANDLE handle = reinterpret_cast<HANDLE>(event.NativeHandle());
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(event.Reset());
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
}

TEST(Win32Handles, SemaphoreCountSeenThroughTheKernel) {
    CSemaphore semaphore(0, 4);
    ASSERT_TRUE(semaphore.Valid());
    HANDLE handle = reinterpret_cast<HANDLE>(semaphore.NativeHandle());
    ASSERT_TRUE(semaphore.Release(3));
    EXPECT_FALSE(semaphore.Release(2)); // 5 > 4: refused, count stays 3
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(handle, 1, &previous));
    EXPECT_EQ(previous, 3);
    EXPECT_FALSE(semaphore.Release(1));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(semaphore.Wait(0), kWaitSignalled) << i;
    EXPECT_EQ(semaphore.Wait(0), kWaitTimeout);
}

TEST(Win32Handles, WaitAnyHonoursTheKernelLimit) {
    // WaitForMultipleObjects takes at most 64 handles.
    std::vector<std::unique_ptr<CEvent>> events;
    CWaitable *objects[MAXIMUM_WAIT_OBJECTS + 1];
    for (int i = 0; i <= MAXIMUM_WAIT_OBJECTS; ++i) {
        events.push_back(std::make_unique<CEvent>(false, false));
        objects[i] = events.back().get();
    }
    ASSERT_TRUE(events[MAXIMUM_WAIT_OBJECTS - 1]->Set());
    EXPECT_EQ(WaitAny(objects, MAXIMUM_WAIT_OBJECTS + 1, 0), -2);
    EXPECT_EQ(WaitAny(objects, MAXIMUM_WAIT_OBJECTS, 0), MAXIMUM_WAIT_OBJECTS - 1);
    EXPECT_EQ(WaitAny(objects, MAXIMUM_WAIT_OBJECTS, 0), -1);
}

TEST(Win32Handles, WaitableTimerWithNativeWait) {
    CWaitableTimer timer;
    ASSERT_TRUE(timer.Valid());
    HANDLE handle = reinterpret_cast<HANDLE>(timer.NativeHandle());
    ASSERT_TRUE(timer.SetDue(-1));
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &handle, FALSE, 1000, QS_ALLINPUT), WAIT_OBJECT_0);
    // Auto-reset: the wait took the signal.
    EXPECT_EQ(WaitForSingleObject(handle, 0), WAIT_TIMEOUT);
    // An absolute time long past fires at once as well.
    ASSERT_TRUE(timer.SetDue(0));
    EXPECT_EQ(timer.Wait(1000), kWaitSignalled);
    EXPECT_EQ(timer.Wait(0), kWaitTimeout);
}

// --- threads ----------------------------------------------------------------

uint32_t BlockForever(void *context) {
    auto *started = static_cast<CEvent *>(context);
    started->Set();
    for (;;)
        Sleep(INFINITE);
}

TEST(Win32Thread, TerminateEndsAThreadThatMissedItsJoin) {
    CEvent started(true, false);
    CThread thread;
    ASSERT_TRUE(thread.Start(BlockForever, &started));
    ASSERT_EQ(started.Wait(5000), kWaitSignalled);
    EXPECT_EQ(thread.Join(50), kWaitTimeout);
    EXPECT_EQ(thread.ExitCode(), static_cast<uint32_t>(STILL_ACTIVE));
    ASSERT_TRUE(thread.Terminate());
    EXPECT_EQ(thread.Join(0), kWaitSignalled);
    EXPECT_NE(thread.ExitCode(), static_cast<uint32_t>(STILL_ACTIVE));
    EXPECT_FALSE(thread.Terminate()); // nothing left to end
}

uint32_t ReturnSeven(void *) {
    return 7;
}

TEST(Win32Thread, TerminateAfterTheRoutineReturnedKeepsItsExitCode) {
    CThread thread;
    ASSERT_TRUE(thread.Start(ReturnSeven, nullptr));
    // Wait for the end without joining, then ask for termination.
    for (int i = 0; i < 500 && thread.ExitCode() == static_cast<uint32_t>(STILL_ACTIVE); ++i)
        Sleep(10);
    ASSERT_TRUE(thread.Terminate());
    EXPECT_EQ(thread.ExitCode(), 7u);
}

struct PriorityProbe {
    CEvent ready{true, false};
    CEvent release{true, false};
    std::atomic<int> nPriority{THREAD_PRIORITY_ERROR_RETURN};
};

uint32_t ReportOwnPriority(void *context) {
    auto *probe = static_cast<PriorityProbe *>(context);
    probe->ready.Set();
    probe->release.Wait(kInfinite);
    probe->nPriority = GetThreadPriority(GetCurrentThread());
    return 0;
}

TEST(Win32Thread, PriorityReachesTheKernelThread) {
    PriorityProbe probe;
    CThread thread;
    ASSERT_TRUE(thread.Start(ReportOwnPriority, &probe));
    ASSERT_EQ(probe.ready.Wait(5000), kWaitSignalled);
    ASSERT_TRUE(thread.SetPriority(kPriorityLowest));
    EXPECT_EQ(thread.GetPriority(), kPriorityLowest);
    probe.release.Set();
    ASSERT_EQ(thread.Join(5000), kWaitSignalled);
    EXPECT_EQ(probe.nPriority.load(), THREAD_PRIORITY_LOWEST);
    EXPECT_FALSE(thread.SetPriority(kPriorityNormal)); // joined: nothing to change
}

// --- timer queue and thread-pool wait ----------------------------------------

struct SlowCall {
    CEvent entered{true, false};
    std::atomic<int> nCalls{0};
    std::atomic<bool> bFinished{false};
};

void SlowTimerCall(void *context) {
    auto *call = static_cast<SlowCall *>(context);
    if (call->nCalls++ == 0) {
        call->entered.Set();
        Sleep(300);
        call->bFinished = true;
    }
}

TEST(Win32TimerQueue, StopWaitsOutARunningCall) {
    SlowCall call;
    CTimerQueueTimer timer;
    ASSERT_TRUE(timer.Start(SlowTimerCall, &call, 0, 20));
    ASSERT_EQ(call.entered.Wait(5000), kWaitSignalled);
    timer.Stop();
    EXPECT_TRUE(call.bFinished.load());
    EXPECT_FALSE(timer.Running());
    int calls = call.nCalls.load();
    Sleep(100);
    EXPECT_EQ(call.nCalls.load(), calls); // no call after Stop returned
}

struct SelfStop {
    CTimerQueueTimer timer;
    CEvent stopped{true, false};
    std::atomic<int> nCalls{0};
};

void StopFromCallback(void *context) {
    auto *self = static_cast<SelfStop *>(context);
    ++self->nCalls;
    self->timer.Stop(); // must not wait for this very call
    self->stopped.Set();
}

TEST(Win32TimerQueue, StopInsideTheCallbackDoesNotHang) {
    SelfStop self;
    ASSERT_TRUE(self.timer.Start(StopFromCallback, &self, 0, 10));
    ASSERT_EQ(self.stopped.Wait(5000), kWaitSignalled);
    Sleep(100);
    EXPECT_EQ(self.nCalls.load(), 1);
    EXPECT_FALSE(self.timer.Running());
}

void SlowWaitCall(void *context) {
    SlowTimerCall(context);
}

TEST(Win32ThreadPoolWait, UnregisterWaitsOutARunningCall) {
    SlowCall call;
    CEvent trigger(false, false);
    CThreadPoolWait wait;
    ASSERT_TRUE(wait.Register(trigger, SlowWaitCall, &call));
    ASSERT_TRUE(trigger.Set());
    ASSERT_EQ(call.entered.Wait(5000), kWaitSignalled);
    wait.Unregister();
    EXPECT_TRUE(call.bFinished.load());
    EXPECT_FALSE(wait.Registered());
}

struct SelfUnregister {
    CThreadPoolWait wait;
    CEvent trigger{false, false};
    CEvent done{false, false};
    std::atomic<int> nCalls{0};
};

void UnregisterFromCallback(void *context) {
    auto *self = static_cast<SelfUnregister *>(context);
    ++self->nCalls;
    self->wait.Unregister(); // must not wait for this very call
    self->done.Set();
}

TEST(Win32ThreadPoolWait, UnregisterInsideTheCallbackStopsFurtherCalls) {
    SelfUnregister self;
    ASSERT_TRUE(self.wait.Register(self.trigger, UnregisterFromCallback, &self));
    ASSERT_TRUE(self.trigger.Set());
    ASSERT_EQ(self.done.Wait(5000), kWaitSignalled);
    EXPECT_FALSE(self.wait.Registered());
    ASSERT_TRUE(self.trigger.Set());
    EXPECT_EQ(self.done.Wait(200), kWaitTimeout);
    EXPECT_EQ(self.nCalls.load(), 1);
    // The signal nobody waited for is still there.
    EXPECT_EQ(self.trigger.Wait(0), kWaitSignalled);
}

// --- memory -------------------------------------------------------------------

class Win32Readable : public ::testing::Test {
protected:
    void SetUp() override {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        m_page = info.dwPageSize;
        // Four pages reserved: read-write, read-only, no access, not committed.
        m_base = static_cast<uint8_t *>(VirtualAlloc(nullptr, 4 * m_page, MEM_RESERVE, PAGE_NOACCESS));
        ASSERT_NE(m_base, nullptr);
        ASSERT_NE(VirtualAlloc(m_base, m_page, MEM_COMMIT, PAGE_READWRITE), nullptr);
        ASSERT_NE(VirtualAlloc(m_base + m_page, m_page, MEM_COMMIT, PAGE_READONLY), nullptr);
        ASSERT_NE(VirtualAlloc(m_base + 2 * m_page, m_page, MEM_COMMIT, PAGE_NOACCESS), nullptr);
    }
    void TearDown() override {
        if (m_base)
            VirtualFree(m_base, 0, MEM_RELEASE);
    }

    size_t m_page = 0;
    uint8_t *m_base = nullptr;
};

TEST_F(Win32Readable, RangesAgainstPageProtections) {
    struct Case {
        size_t offset;
        size_t bytes;
        bool readable;
    };
    const size_t p = m_page;
    const Case cases[] = {
        {0, p, true},          // read-write page
        {p, p, true},          // read-only page
        {0, 2 * p, true},      // across two committed regions
        {p / 2, p, true},      // straddling them
        {2 * p, 1, false},     // no access
        {2 * p - 1, 2, false}, // last readable byte plus one forbidden
        {3 * p, 16, false},    // reserved, never committed
        {p, 2 * p, false},     // ends in the no-access page
        {0, 4 * p, false},     // the whole reservation
        {p - 1, 1, true},      // last byte of the first page
        {2 * p - 1, 1, true},  // last byte of the read-only page
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsReadableRange(m_base + c.offset, c.bytes), c.readable)
            << "offset " << c.offset << " bytes " << c.bytes;
}

TEST_F(Win32Readable, GuardPagesAndFreedMemoryAreNotReadable) {
    DWORD old = 0;
    ASSERT_TRUE(VirtualProtect(m_base, m_page, PAGE_READWRITE | PAGE_GUARD, &old));
    EXPECT_FALSE(IsReadableRange(m_base, 1));
    EXPECT_TRUE(IsReadableRange(m_base + m_page, 1));
    ASSERT_TRUE(VirtualFree(m_base, 0, MEM_RELEASE));
    uint8_t *freed = m_base;
    m_base = nullptr;
    EXPECT_FALSE(IsReadableRange(freed + m_page, 1));
}

TEST(Win32Memory, NullAndWrappingRangesAreRejected) {
    int value = 0;
    EXPECT_FALSE(IsReadableRange(nullptr, 1));
    EXPECT_FALSE(IsReadableRange(&value, SIZE_MAX));
    EXPECT_TRUE(IsReadableRange(&value, sizeof(value)));
}

TEST(Win32Memory, PageAllocIsCommittedReadWriteAtTheTop) {
    const size_t bytes = 3 * 65536 + 100;
    void *top = PageAlloc(bytes);
    ASSERT_NE(top, nullptr);
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(VirtualQuery(top, &info, sizeof(info)), sizeof(info));
    EXPECT_EQ(info.AllocationBase, top);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READWRITE));
    EXPECT_GE(info.RegionSize, bytes);
    EXPECT_TRUE(IsReadableRange(top, bytes));
    // Top-down: above an ordinary allocation of the same size.
    void *bottom = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(bottom, nullptr);
    EXPECT_GT(reinterpret_cast<uintptr_t>(top), reinterpret_cast<uintptr_t>(bottom));
    VirtualFree(bottom, 0, MEM_RELEASE);
    PageFree(top, bytes);
    EXPECT_FALSE(IsReadableRange(top, 1));
}

TEST(Win32Memory, DestroyingAHeapReleasesItsBlocks) {
    CPrivateHeap heap;
    ASSERT_TRUE(heap.Create());
    // Large enough that the heap takes it straight from the system.
    const size_t bytes = 4 * 1024 * 1024;
    auto *block = static_cast<uint8_t *>(heap.Alloc(bytes));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5A, bytes);
    EXPECT_TRUE(IsReadableRange(block, bytes));
    heap.Destroy();
    EXPECT_FALSE(heap.Valid());
    EXPECT_FALSE(IsReadableRange(block, bytes));
    EXPECT_EQ(heap.Alloc(16), nullptr);
}

// --- named objects ------------------------------------------------------------

std::string UniqueName(const char *stem) {
    return std::string(stem) + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
}

uint32_t LockAndVanish(void *context) {
    CNamedMutex mutex;
    if (!mutex.Open(static_cast<const char *>(context)))
        return 1;
    return mutex.Lock(0) == kWaitSignalled ? 0 : 2; // ends still holding it
}

TEST(Win32NamedMutex, AbandonedMutexIsAcquired) {
    std::string name = UniqueName("QVTestAbandoned");
    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open(name.c_str()));
    CThread thread;
    ASSERT_TRUE(thread.Start(LockAndVanish, const_cast<char *>(name.c_str())));
    ASSERT_EQ(thread.Join(5000), kWaitSignalled);
    ASSERT_EQ(thread.ExitCode(), 0u);
    EXPECT_EQ(mutex.Lock(0), kWaitSignalled);
    EXPECT_TRUE(mutex.Unlock());
    EXPECT_FALSE(mutex.Unlock()); // no longer ours
}

TEST(Win32NamedMutex, IsTheKernelObjectOfThatName) {
    std::string name = UniqueName("QVTestNamedMutex");
    CNamedMutex mutex;
    ASSERT_TRUE(mutex.Open(name.c_str()));
    HANDLE other = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    ASSERT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
    // Held by this thread through the other handle: the kernel mutex is
    // recursive for its owner, so only another thread is kept out.
    struct Probe {
        const char *name;
        WaitResult result;
    } probe{name.c_str(), kWaitFailed};
    CThread thread;
    ASSERT_TRUE(thread.Start(
        [](void *context) -> uint32_t {
            auto *p = static_cast<Probe *>(context);
            CNamedMutex m;
            if (m.Open(p->name))
                p->result = m.Lock(0);
            return 0;
        },
        &probe));
    ASSERT_EQ(thread.Join(5000), kWaitSignalled);
    EXPECT_EQ(probe.result, kWaitTimeout);
    ReleaseMutex(other);
    CloseHandle(other);
}

TEST(Win32SharedMemory, MappingIsSharedByName) {
    std::string name = UniqueName("QVTestMapping");
    CNamedSharedMemory first;
    bool created = false;
    ASSERT_TRUE(first.Open(name.c_str(), 524, &created));
    EXPECT_TRUE(created);
    ASSERT_NE(first.Data(), nullptr);
    EXPECT_EQ(first.Size(), 524u);
    const auto *bytes = static_cast<const uint8_t *>(first.Data());
    for (size_t i = 0; i < 524; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    std::memcpy(first.Data(), "shared", 7);

    HANDLE raw = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    ASSERT_NE(raw, nullptr);
    void *view = MapViewOfFile(raw, FILE_MAP_READ, 0, 0, 524);
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(static_cast<const char *>(view), "shared");
    UnmapViewOfFile(view);
    CloseHandle(raw);

    CNamedSharedMemory second;
    created = true;
    ASSERT_TRUE(second.Open(name.c_str(), 524, &created));
    EXPECT_FALSE(created);
    EXPECT_STREQ(static_cast<const char *>(second.Data()), "shared");
}

// --- files ----------------------------------------------------------------------

TEST(Win32File, SharedWithAWriterOfAnotherHandle) {
    wchar_t dir[MAX_PATH], path[MAX_PATH];
    ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
    ASSERT_NE(GetTempFileNameW(dir, L"qvf", 0, path), 0u);
    // A recorder keeps the file open for writing while it is played.
    HANDLE writer = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writer, "abcd", 4, &written, nullptr));
    CFile reader;
    ASSERT_TRUE(reader.Open(reinterpret_cast<const QV_WCHAR *>(path), kFileRead | kFileSequential));
    EXPECT_EQ(reader.Size(), 4);
    ASSERT_TRUE(WriteFile(writer, "efgh", 4, &written, nullptr));
    EXPECT_EQ(reader.Size(), 8);
    char buffer[16] = {};
    EXPECT_EQ(reader.Read(buffer, sizeof(buffer)), 8);
    EXPECT_STREQ(buffer, "abcdefgh");
    CloseHandle(writer);

    // And the other way round: a file this layer opened stays writable by
    // others.
    HANDLE second = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE)
        CloseHandle(second);
    reader.Close();
    EXPECT_TRUE(DeleteFileW(path));
}

// --- system information ---------------------------------------------------------

TEST(Win32System, OsVersionIsTheTrueOne) {
    // The shared user page carries the version the kernel runs, whatever a
    // program's manifest makes GetVersionEx report.
    const auto *shared = reinterpret_cast<const volatile ULONG *>(0x7FFE0000 + 0x26C);
    EXPECT_EQ(OsMajorVersion(), static_cast<uint32_t>(shared[0]));
    EXPECT_GE(OsMajorVersion(), 6u);
}

TEST(Win32System, ProcessorCountMatchesTheSystem) {
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    EXPECT_EQ(ProcessorCount(), info.dwNumberOfProcessors);
}

TEST(Win32System, UserInterfaceLanguageAndItsOverride) {
    SetUserInterfaceLanguageOverride(0);
    EXPECT_EQ(UserInterfaceLanguage(), GetUserDefaultUILanguage());
    SetUserInterfaceLanguageOverride(0x804);
    EXPECT_EQ(UserInterfaceLanguage(), 0x804);
    SetUserInterfaceLanguageOverride(0);
    EXPECT_EQ(UserInterfaceLanguage(), GetUserDefaultUILanguage());
}

TEST(Win32System, AnsiIsTheSystemCodePage) {
    // One byte above 0x7F through the ANSI code page and through UTF-8.
    char ansi[2] = {static_cast<char>(0xE9), 0};
    wchar_t expected = 0;
    ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, ansi, 1, &expected, 1), 1);
    WString wide;
    if (GetACP() == CP_UTF8) {
        EXPECT_FALSE(AnsiToWide(ansi, wide));
    } else {
        ASSERT_TRUE(AnsiToWide(ansi, wide));
        ASSERT_EQ(wide.size(), 1u);
        EXPECT_EQ(wide[0], expected);
    }
    EXPECT_FALSE(Utf8ToWide(ansi, wide)); // a lone lead byte is not UTF-8
    EXPECT_TRUE(wide.empty());
}

TEST(Win32System, LoadsSystemLibrariesByName) {
    CDynamicLibrary kernel;
    ASSERT_TRUE(kernel.Load("kernel32.dll"));
    EXPECT_EQ(kernel.Symbol("GetTickCount"),
              reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount")));
    EXPECT_EQ(kernel.Symbol("NoSuchEntryPoint"), nullptr);
    CDynamicLibrary missing;
    EXPECT_FALSE(missing.Load("qv_no_such_library.dll"));
    EXPECT_FALSE(missing.IsLoaded());
}

TEST(Win32System, ErrorModeIsSetAndRestored) {
    UINT before = GetErrorMode();
    uint32_t previous = SetFailCriticalErrors();
    EXPECT_EQ(previous, before);
    EXPECT_EQ(GetErrorMode(), static_cast<UINT>(SEM_FAILCRITICALERRORS));
    RestoreErrorMode(previous);
    EXPECT_EQ(GetErrorMode(), before);
}

// --- processor load ---------------------------------------------------------------

TEST(Win32CpuLoad, FirstCollectionAfterOpenAlreadyGivesAValue) {
    // The processor-time counter is a rate: it needs two collections. Open
    // takes the first, so that the sampler's first tick has a value.
    ICpuLoadSource *source = CreateSystemCpuLoadSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(source->Open());
    Sleep(150);
    ASSERT_TRUE(source->Collect());
    int32_t percent = -1;
    ASSERT_TRUE(source->Format(percent));
    EXPECT_GE(percent, 0);
    EXPECT_LE(percent, 100);
    source->Close();
    EXPECT_FALSE(source->Collect());
    EXPECT_FALSE(source->Format(percent));
    // Opens again after a close.
    ASSERT_TRUE(source->Open());
    Sleep(150);
    EXPECT_TRUE(source->Collect());
    EXPECT_TRUE(source->Format(percent));
    delete source;
}

} // namespace
} // namespace platform

#endif // _WIN32
