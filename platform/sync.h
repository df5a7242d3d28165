// Synchronisation objects: events, semaphores, recursive locks and waits on
// one or several of them. Every call reports failure through its result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum WaitResult : int {
    kWaitSignalled = 0,
    kWaitTimeout = 1,
    kWaitFailed = -1,
};

// Something a thread can wait on. The native handle is a HANDLE on Windows
// and a pollable file descriptor elsewhere, so that other layers (the display
// thread's message wait) can combine it with their own waits.
class CWaitable {
public:
    CWaitable(const CWaitable &) = delete;
    CWaitable &operator=(const CWaitable &) = delete;
    virtual ~CWaitable();

    bool Valid() const { return m_handle != kNoHandle; }
    intptr_t NativeHandle() const { return m_handle; }

    // Waits until the object is signalled (consuming the signal of an
    // auto-reset object) or timeoutMs elapse; kInfinite waits without limit.
    WaitResult Wait(uint32_t timeoutMs);

    // Claims the signal after the native handle was reported ready. The kernel
    // does this itself on Windows; with file descriptors another waiter may
    // have claimed it first, and the wait then goes on.
    virtual bool TryConsume() = 0;

protected:
    CWaitable() = default;
    static constexpr intptr_t kNoHandle = -1;
    intptr_t m_handle = kNoHandle;
};

// Waits until one of count objects is signalled; returns its index, or
// -1 for a time-out and -2 for a failure (a null or invalid object included).
int WaitAny(CWaitable *const *objects, int count, uint32_t timeoutMs);

// Unnamed event, auto- or manual-reset.
class CEvent final : public CWaitable {
public:
    CEvent(bool manualReset, bool initiallySet);
    ~CEvent() override;
    bool Set();
    bool Reset();
    bool IsManualReset() const { return m_manual; }
    bool TryConsume() override;

private:
    bool m_manual;
};

// Counting semaphore with a maximum: a release that would exceed the maximum
// fails and leaves the count unchanged.
class CSemaphore final : public CWaitable {
public:
    CSemaphore(int32_t initialCount, int32_t maximumCount);
    ~CSemaphore() override;
    bool Release(int32_t count = 1);
    bool TryConsume() override;

private:
    struct State;
    State *m_state = nullptr;
};

// Recursive mutual exclusion within the process (a critical section).
class CLock {
public:
    CLock();
    ~CLock();
    CLock(const CLock &) = delete;
    CLock &operator=(const CLock &) = delete;
    void Enter();
    bool TryEnter();
    void Leave();

private:
    alignas(16) unsigned char m_storage[64];
};

class CLockGuard {
public:
    explicit CLockGuard(CLock &lock) : m_lock(lock) { m_lock.Enter(); }
    ~CLockGuard() { m_lock.Leave(); }
    CLockGuard(const CLockGuard &) = delete;
    CLockGuard &operator=(const CLockGuard &) = delete;

private:
    CLock &m_lock;
};

} // namespace platform
