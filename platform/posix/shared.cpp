// Machine-wide named objects: a POSIX named semaphore of count 1 as the
// mutex, POSIX shared memory as the block. Both outlive the processes that
// use them, as one record per machine should.
#include "platform/shared.h"

#include <cerrno>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

// POSIX names are one path component after a leading slash.
bool PosixName(const char *name, std::string &out) {
    if (!name || !*name)
        return false;
    out.clear();
    out.push_back('/');
    for (const char *p = name; *p; ++p)
        out += *p == '/' ? '_' : *p;
    return true;
}

} // namespace

CNamedMutex::CNamedMutex() : m_handle(nullptr) {}

CNamedMutex::~CNamedMutex() {
    Close();
}

bool CNamedMutex::Open(const char *name) {
    Close();
    std::string posixName;
    if (!PosixName(name, posixName))
        return false;
    sem_t *sem = sem_open(posixName.c_str(), O_CREAT, 0666, 1);
    if (sem == SEM_FAILED)
        return false;
    m_handle = sem;
    return true;
}

void CNamedMutex::Close() {
    if (m_handle) {
        sem_close(static_cast<sem_t *>(m_handle));
        m_handle = nullptr;
    }
}

bool CNamedMutex::IsOpen() const {
    return m_handle != nullptr;
}

WaitResult CNamedMutex::Lock(uint32_t timeoutMs) {
    auto *sem = static_cast<sem_t *>(m_handle);
    if (!sem)
        return kWaitFailed;
    int r;
    if (timeoutMs == 0) {
        do {
            r = sem_trywait(sem);
        } while (r != 0 && errno == EINTR);
        if (r == 0)
            return kWaitSignalled;
        return errno == EAGAIN ? kWaitTimeout : kWaitFailed;
    }
    if (timeoutMs == kInfinite) {
        do {
            r = sem_wait(sem);
        } while (r != 0 && errno == EINTR);
        return r == 0 ? kWaitSignalled : kWaitFailed;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += long(timeoutMs % 1000) * 1000000;
    if (deadline.tv_nsec >= 1000000000) {
        deadline.tv_nsec -= 1000000000;
        ++deadline.tv_sec;
    }
    do {
        r = sem_clockwait(sem, CLOCK_MONOTONIC, &deadline);
    } while (r != 0 && errno == EINTR);
    if (r == 0)
        return kWaitSignalled;
    return errno == ETIMEDOUT ? kWaitTimeout : kWaitFailed;
}

bool CNamedMutex::Unlock() {
    auto *sem = static_cast<sem_t *>(m_handle);
    return sem && sem_post(sem) == 0;
}

// ---------------------------------------------------------------------------

CNamedSharedMemory::CNamedSharedMemory() : m_handle(nullptr), m_view(nullptr), m_size(0) {}

CNamedSharedMemory::~CNamedSharedMemory() {
    Close();
}

bool CNamedSharedMemory::Open(const char *name, size_t bytes, bool *created) {
    Close();
    if (created)
        *created = false;
    std::string posixName;
    if (!PosixName(name, posixName) || bytes == 0)
        return false;

    // O_EXCL tells whether this process made the block.
    bool made = true;
    int fd = shm_open(posixName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = shm_open(posixName.c_str(), O_RDWR | O_CLOEXEC, 0666);
    }
    if (fd < 0)
        return false;
    // The creator may not have sized the block yet; growing it to the same
    // size from here is harmless and keeps the mapping backed. A new block
    // reads as zeros.
    if (made)
        fchmod(fd, 0666); // other users share the block too, whatever the umask
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && st.st_size < off_t(bytes))
        ok = ftruncate(fd, off_t(bytes)) == 0;
    void *view = ok ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0) : MAP_FAILED;
    close(fd);
    if (view == MAP_FAILED) {
        if (made)
            shm_unlink(posixName.c_str());
        return false;
    }
    m_view = view;
    m_size = bytes;
    if (created)
        *created = made;
    return true;
}

void CNamedSharedMemory::Close() {
    if (m_view) {
        munmap(m_view, m_size);
        m_view = nullptr;
        m_size = 0;
    }
}

void *CNamedSharedMemory::Data() const {
    return m_view;
}

size_t CNamedSharedMemory::Size() const {
    return m_size;
}

} // namespace platform
