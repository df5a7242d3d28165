// Files with 64-bit positions. Paths are UTF-16; files are always opened with
// shared read and write access so that a recording still being written can be
// played.
#pragma once

#include <cstdint>

#include "qvtypes.h"

namespace platform {

enum FileFlags : uint32_t {
    kFileRead = 1u << 0,
    kFileWrite = 1u << 1,
    kFileCreate = 1u << 2,     // create, or truncate an existing file
    kFileSequential = 1u << 3, // the sequential-scan hint
};

class CFile {
public:
    CFile();
    ~CFile(); // closes
    CFile(const CFile &) = delete;
    CFile &operator=(const CFile &) = delete;

    bool Open(const QV_WCHAR *path, uint32_t flags);
    void Close();
    bool IsOpen() const;

    // Bytes read (0 at the end of the file) or -1 on failure.
    int64_t Read(void *buffer, uint32_t bytes);
    // Bytes written or -1 on failure.
    int64_t Write(const void *buffer, uint32_t bytes);
    bool Seek(int64_t position);
    int64_t Tell() const; // -1 on failure
    int64_t Size() const; // -1 on failure
    // Makes the current position the end of the file.
    bool SetEnd();

private:
    intptr_t m_handle;
};

} // namespace platform
