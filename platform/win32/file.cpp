// Files over CreateFileW handles. Shared read and write access lets a
// recording that is still being written be played.
#include "platform/file.h"

namespace platform {

namespace {

constexpr intptr_t kNoFile = -1; // INVALID_HANDLE_VALUE

} // namespace

CFile::CFile() : m_handle(kNoFile) {}

CFile::~CFile() {
    Close();
}

bool CFile::Open(const QV_WCHAR *path, uint32_t flags) {
    Close();
    if (!path || !path[0] || !(flags & (kFileRead | kFileWrite | kFileCreate)))
        return false;
    // A file is created to be written.
    DWORD access = 0;
    if (flags & kFileRead)
        access |= GENERIC_READ;
    if (flags & (kFileWrite | kFileCreate))
        access |= GENERIC_WRITE;
    DWORD disposition = (flags & kFileCreate) ? CREATE_ALWAYS : OPEN_EXISTING;
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (flags & kFileSequential)
        attributes |= FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE file = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                              attributes, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_handle = reinterpret_cast<intptr_t>(file);
    return true;
}

void CFile::Close() {
    if (m_handle != kNoFile) {
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
        m_handle = kNoFile;
    }
}

bool CFile::IsOpen() const {
    return m_handle != kNoFile;
}

int64_t CFile::Read(void *buffer, uint32_t bytes) {
    if (!IsOpen() || (!buffer && bytes))
        return -1;
    DWORD done = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(m_handle), buffer, bytes, &done, nullptr))
        return -1;
    return done;
}

int64_t CFile::Write(const void *buffer, uint32_t bytes) {
    if (!IsOpen() || (!buffer && bytes))
        return -1;
    DWORD done = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(m_handle), buffer, bytes, &done, nullptr))
        return -1;
    return done;
}

bool CFile::Seek(int64_t position) {
    if (!IsOpen() || position < 0)
        return false;
    LARGE_INTEGER to;
    to.QuadPart = position;
    return SetFilePointerEx(reinterpret_cast<HANDLE>(m_handle), to, nullptr, FILE_BEGIN) != FALSE;
}

int64_t CFile::Tell() const {
    if (!IsOpen())
        return -1;
    LARGE_INTEGER zero, position;
    zero.QuadPart = 0;
    if (!SetFilePointerEx(reinterpret_cast<HANDLE>(m_handle), zero, &position, FILE_CURRENT))
        return -1;
    return position.QuadPart;
}

int64_t CFile::Size() const {
    if (!IsOpen())
        return -1;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(m_handle), &size))
        return -1;
    return size.QuadPart;
}

bool CFile::SetEnd() {
    return IsOpen() && SetEndOfFile(reinterpret_cast<HANDLE>(m_handle));
}

} // namespace platform
