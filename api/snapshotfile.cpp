#include "api/snapshotfile.h"

#include <cstring>

#include "platform/file.h"
#include "platform/memory.h"
#include "qvdisplay.h"

namespace api {

namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;

// Page memory for the pixels, released on every path.
class CPages {
public:
    explicit CPages(size_t bytes) : m_bytes(bytes), m_p(platform::PageAlloc(bytes)) {}
    ~CPages() {
        if (m_p)
            platform::PageFree(m_p, m_bytes);
    }
    CPages(const CPages &) = delete;
    CPages &operator=(const CPages &) = delete;
    uint8_t *Get() const { return static_cast<uint8_t *>(m_p); }

private:
    size_t m_bytes;
    void *m_p;
};

void PutU16(uint8_t *p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

void PutU32(uint8_t *p, uint32_t v) {
    PutU16(p, uint16_t(v));
    PutU16(p + 2, uint16_t(v >> 16));
}

} // namespace

int32_t WriteSnapshotBmp(PLAY_HANDLE hPlay, const QV_WCHAR *szPath) {
    PLAY_SNAPSHOT snapshot;
    std::memset(&snapshot, 0, sizeof(snapshot));
    snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    int32_t result = Play_SnapPicture(hPlay, &snapshot);
    if (result < 0)
        return result;
    if (szPath == nullptr) // no file can be created at no path
        return PLAY_E_FILE_OPEN;
    const uint32_t dwPixelBytes = snapshot.dwBufferSize;
    // The file size field is 32 bits; the core never asks for more than a
    // picture's worth, but a size that would wrap is refused rather than
    // written wrong.
    if (dwPixelBytes == 0 || dwPixelBytes > UINT32_MAX - kFileHeaderSize - kInfoHeaderSize)
        return PLAY_E_FAIL;
    CPages pixels(dwPixelBytes);
    if (pixels.Get() == nullptr)
        return PLAY_E_OUT_OF_MEMORY;
    snapshot.pBuffer = pixels.Get();
    snapshot.dwBufferSize = dwPixelBytes;
    result = Play_SnapPicture(hPlay, &snapshot);
    if (result < 0)
        return result;

    platform::CFile file;
    if (!file.Open(szPath, platform::kFileWrite | platform::kFileCreate))
        return PLAY_E_FILE_OPEN;
    if (!file.SetEnd())
        return PLAY_E_FAIL;

    uint8_t header[kFileHeaderSize];
    header[0] = 'B';
    header[1] = 'M';
    PutU32(header + 2, dwPixelBytes + kFileHeaderSize + kInfoHeaderSize);
    PutU32(header + 6, 0);
    PutU32(header + 10, kFileHeaderSize + kInfoHeaderSize);
    if (file.Write(header, kFileHeaderSize) != kFileHeaderSize)
        return PLAY_E_FAIL;
    static_assert(sizeof(snapshot.bmiHeader) == kInfoHeaderSize, "BITMAPINFOHEADER is 40 bytes");
    if (file.Write(&snapshot.bmiHeader, kInfoHeaderSize) != kInfoHeaderSize)
        return PLAY_E_FAIL;
    if (file.Write(pixels.Get(), dwPixelBytes) != int64_t(dwPixelBytes))
        return PLAY_E_FAIL;
    return PLAY_OK;
}

} // namespace api
