// Events, semaphores, waits and critical sections over the Win32 kernel
// objects. The kernel consumes an auto-reset signal as part of the wait, so
// TryConsume has nothing left to do.
#include "platform/sync.h"

#include <new>

#include "qvtypes.h" // <windows.h>

namespace platform {

namespace {

HANDLE AsHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

intptr_t FromHandle(HANDLE handle) {
    // The create calls report failure with a null handle.
    return handle ? reinterpret_cast<intptr_t>(handle) : -1;
}

CRITICAL_SECTION *Section(unsigned char *storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION *>(storage));
}

} // namespace

CWaitable::~CWaitable() {
    if (m_handle != kNoHandle) {
        CloseHandle(AsHandle(m_handle));
        m_handle = kNoHandle;
    }
}

WaitResult CWaitable::Wait(uint32_t timeoutMs) {
    if (m_handle == kNoHandle)
        return kWaitFailed;
    switch (WaitForSingleObject(AsHandle(m_handle), timeoutMs)) {
    case WAIT_OBJECT_0:
        return kWaitSignalled;
    case WAIT_TIMEOUT:
        return kWaitTimeout;
    default:
        return kWaitFailed;
    }
}

int WaitAny(CWaitable *const *objects, int count, uint32_t timeoutMs) {
    if (!objects || count <= 0 || count > MAXIMUM_WAIT_OBJECTS)
        return -2;
    HANDLE handles[MAXIMUM_WAIT_OBJECTS];
    for (int i = 0; i < count; ++i) {
        if (!objects[i] || !objects[i]->Valid())
            return -2;
        handles[i] = AsHandle(objects[i]->NativeHandle());
    }
    DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
    if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count))
        return static_cast<int>(result - WAIT_OBJECT_0);
    if (result == WAIT_TIMEOUT)
        return -1;
    return -2;
}

CEvent::CEvent(bool manualReset, bool initiallySet) : m_manual(manualReset) {
    m_handle = FromHandle(CreateEventW(nullptr, manualReset, initiallySet, nullptr));
}

CEvent::~CEvent() = default;

bool CEvent::Set() {
    return Valid() && SetEvent(AsHandle(m_handle));
}

bool CEvent::Reset() {
    return Valid() && ResetEvent(AsHandle(m_handle));
}

bool CEvent::TryConsume() {
    return true;
}

CSemaphore::CSemaphore(int32_t initialCount, int32_t maximumCount) {
    if (maximumCount > 0 && initialCount >= 0 && initialCount <= maximumCount)
        m_handle = FromHandle(CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr));
}

CSemaphore::~CSemaphore() = default;

bool CSemaphore::Release(int32_t count) {
    // The kernel refuses a release past the maximum and keeps the count.
    return Valid() && count > 0 && ReleaseSemaphore(AsHandle(m_handle), count, nullptr);
}

bool CSemaphore::TryConsume() {
    return true;
}

CLock::CLock() {
    static_assert(sizeof(CRITICAL_SECTION) <= sizeof(m_storage), "CLock storage too small");
    static_assert(alignof(CRITICAL_SECTION) <= 16, "CLock storage misaligned");
    InitializeCriticalSection(new (m_storage) CRITICAL_SECTION);
}

CLock::~CLock() {
    DeleteCriticalSection(Section(m_storage));
}

void CLock::Enter() {
    EnterCriticalSection(Section(m_storage));
}

bool CLock::TryEnter() {
    return TryEnterCriticalSection(Section(m_storage)) != FALSE;
}

void CLock::Leave() {
    LeaveCriticalSection(Section(m_storage));
}

} // namespace platform
