// Machine-wide named objects: a mutex and a shared memory block that every
// process opening the same name sees.
#pragma once

#include <cstddef>

#include "platform/sync.h"

namespace platform {

class CNamedMutex {
public:
    CNamedMutex();
    ~CNamedMutex(); // closes (does not release a held lock)
    CNamedMutex(const CNamedMutex &) = delete;
    CNamedMutex &operator=(const CNamedMutex &) = delete;

    // Opens the mutex, creating it when no process has it yet.
    bool Open(const char *name);
    void Close();
    bool IsOpen() const;
    // timeoutMs 0 only tries.
    WaitResult Lock(uint32_t timeoutMs);
    bool Unlock();

private:
    void *m_handle;
};

class CNamedSharedMemory {
public:
    CNamedSharedMemory();
    ~CNamedSharedMemory(); // closes
    CNamedSharedMemory(const CNamedSharedMemory &) = delete;
    CNamedSharedMemory &operator=(const CNamedSharedMemory &) = delete;

    // Maps bytes of the named block, creating it zero-filled when no process
    // has it yet (created tells which, when not null).
    bool Open(const char *name, size_t bytes, bool *created = nullptr);
    void Close();
    void *Data() const;
    size_t Size() const;

private:
    void *m_handle;
    void *m_view;
    size_t m_size;
};

} // namespace platform
