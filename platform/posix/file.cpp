// Files over open(2) with 64-bit offsets. POSIX files never lock out other
// readers or writers, which is the shared access the interface promises.
#include "platform/file.h"

#include <cerrno>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system.h"

namespace platform {
namespace {
constexpr intptr_t kClosed = -1;
static_assert(sizeof(off_t) == 8, "64-bit file offsets");
} // namespace

CFile::CFile() : m_handle(kClosed) {}

CFile::~CFile() {
    Close();
}

bool CFile::Open(const QV_WCHAR *path, uint32_t flags) {
    Close();
    if (!path || !(flags & (kFileRead | kFileWrite | kFileCreate)))
        return false;
    std::string utf8;
    if (!WideToUtf8(path, WideLength(path), utf8) || utf8.empty())
        return false;

    // Creating always implies writing: a file is created to be written.
    bool write = (flags & (kFileWrite | kFileCreate)) != 0;
    int oflags = O_CLOEXEC;
    if (write)
        oflags |= (flags & kFileRead) ? O_RDWR : O_WRONLY;
    else
        oflags |= O_RDONLY;
    if (flags & kFileCreate)
        oflags |= O_CREAT | O_TRUNC;

    int fd;
    do {
        fd = open(utf8.c_str(), oflags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    // A directory opens for reading here but is no file to play.
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    if (flags & kFileSequential)
        posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    m_handle = fd;
    return true;
}

void CFile::Close() {
    if (m_handle != kClosed) {
        close(int(m_handle));
        m_handle = kClosed;
    }
}

bool CFile::IsOpen() const {
    return m_handle != kClosed;
}

int64_t CFile::Read(void *buffer, uint32_t bytes) {
    if (m_handle == kClosed || (!buffer && bytes))
        return -1;
    // A read returns everything asked for unless the file ends first.
    uint32_t done = 0;
    while (done < bytes) {
        ssize_t n = read(int(m_handle), static_cast<char *>(buffer) + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            break;
        done += uint32_t(n);
    }
    return done;
}

int64_t CFile::Write(const void *buffer, uint32_t bytes) {
    if (m_handle == kClosed || (!buffer && bytes))
        return -1;
    uint32_t done = 0;
    while (done < bytes) {
        ssize_t n = write(int(m_handle), static_cast<const char *>(buffer) + done, bytes - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return done ? int64_t(done) : -1;
        }
        done += uint32_t(n);
    }
    return done;
}

bool CFile::Seek(int64_t position) {
    if (m_handle == kClosed || position < 0)
        return false;
    return lseek(int(m_handle), off_t(position), SEEK_SET) == off_t(position);
}

int64_t CFile::Tell() const {
    if (m_handle == kClosed)
        return -1;
    off_t position = lseek(int(m_handle), 0, SEEK_CUR);
    return position < 0 ? -1 : int64_t(position);
}

int64_t CFile::Size() const {
    if (m_handle == kClosed)
        return -1;
    struct stat st;
    if (fstat(int(m_handle), &st) != 0)
        return -1;
    return int64_t(st.st_size);
}

bool CFile::SetEnd() {
    int64_t position = Tell();
    if (position < 0)
        return false;
    int r;
    do {
        r = ftruncate(int(m_handle), off_t(position));
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

} // namespace platform
