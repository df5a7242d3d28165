// Machine-wide named objects: a kernel mutex and a page-file backed mapping,
// both found by name by every process.
#include "platform/shared.h"

#include "qvtypes.h" // <windows.h>

namespace platform {

CNamedMutex::CNamedMutex() : m_handle(nullptr) {}

CNamedMutex::~CNamedMutex() {
    Close();
}

bool CNamedMutex::Open(const char *name) {
    Close();
    if (!name || !name[0])
        return false;
    m_handle = CreateMutexA(nullptr, FALSE, name);
    return m_handle != nullptr;
}

void CNamedMutex::Close() {
    if (m_handle) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}

bool CNamedMutex::IsOpen() const {
    return m_handle != nullptr;
}

WaitResult CNamedMutex::Lock(uint32_t timeoutMs) {
    if (!m_handle)
        return kWaitFailed;
    switch (WaitForSingleObject(m_handle, timeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED: // its last owner died holding it; the data may be stale but the lock is ours
        return kWaitSignalled;
    case WAIT_TIMEOUT:
        return kWaitTimeout;
    default:
        return kWaitFailed;
    }
}

bool CNamedMutex::Unlock() {
    return m_handle && ReleaseMutex(m_handle);
}

CNamedSharedMemory::CNamedSharedMemory() : m_handle(nullptr), m_view(nullptr), m_size(0) {}

CNamedSharedMemory::~CNamedSharedMemory() {
    Close();
}

bool CNamedSharedMemory::Open(const char *name, size_t bytes, bool *created) {
    Close();
    if (created)
        *created = false;
    if (!name || !name[0] || bytes == 0)
        return false;
    uint64_t size = bytes;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), name);
    if (!mapping)
        return false;
    bool isNew = GetLastError() != ERROR_ALREADY_EXISTS;
    // Fails when an existing block is smaller than asked for.
    void *view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, bytes);
    if (!view) {
        CloseHandle(mapping);
        return false;
    }
    m_handle = mapping;
    m_view = view;
    m_size = bytes;
    if (created)
        *created = isNew;
    return true;
}

void CNamedSharedMemory::Close() {
    if (m_view) {
        UnmapViewOfFile(m_view);
        m_view = nullptr;
    }
    if (m_handle) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
    m_size = 0;
}

void *CNamedSharedMemory::Data() const {
    return m_view;
}

size_t CNamedSharedMemory::Size() const {
    return m_size;
}

} // namespace platform
