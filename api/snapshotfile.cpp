#include "api/snapshotfile.h"

#include <cstring>

#include "platform/memory.h"

namespace api {

namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
static_assert(sizeof(BITMAPINFOHEADER) == kInfoHeaderSize, "BITMAPINFOHEADER is 40 bytes");

void PutU32(uint8_t *p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

} // namespace

CSnapshotPicture::~CSnapshotPicture() {
    if (m_pPixels)
        platform::PageFree(m_pPixels, m_dwPixelBytes);
}

int32_t CSnapshotPicture::Take(PLAY_HANDLE hPlay) {
    if (m_pPixels) {
        platform::PageFree(m_pPixels, m_dwPixelBytes);
        m_pPixels = nullptr;
        m_dwPixelBytes = 0;
    }
    std::memset(&m_snapshot, 0, sizeof(m_snapshot));
    m_snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    int32_t result = Play_SnapPicture(hPlay, &m_snapshot);
    if (result < 0)
        return result;
    const uint32_t dwBytes = m_snapshot.dwBufferSize;
    // The file size field is 32 bits; a size that would wrap is refused
    // rather than written wrong.
    if (dwBytes == 0 || dwBytes > UINT32_MAX - kFileHeaderSize - kInfoHeaderSize)
        return PLAY_E_FAIL;
    m_pPixels = static_cast<uint8_t *>(platform::PageAlloc(dwBytes));
    if (m_pPixels == nullptr)
        return PLAY_E_OUT_OF_MEMORY;
    m_dwPixelBytes = dwBytes;
    m_snapshot.pBuffer = m_pPixels;
    m_snapshot.dwBufferSize = dwBytes;
    return Play_SnapPicture(hPlay, &m_snapshot);
}

bool WriteBmp(platform::CFile &file, const CSnapshotPicture &picture) {
    uint8_t header[kFileHeaderSize] = {'B', 'M'};
    PutU32(header + 2, picture.PixelBytes() + kFileHeaderSize + kInfoHeaderSize);
    PutU32(header + 6, 0);
    PutU32(header + 10, kFileHeaderSize + kInfoHeaderSize);
    return file.Write(header, kFileHeaderSize) == kFileHeaderSize &&
           file.Write(&picture.Header(), kInfoHeaderSize) == kInfoHeaderSize &&
           file.Write(picture.Pixels(), picture.PixelBytes()) == int64_t(picture.PixelBytes());
}

int32_t WriteSnapshotBmp(PLAY_HANDLE hPlay, const QV_WCHAR *szPath) {
    CSnapshotPicture picture;
    const int32_t result = picture.Take(hPlay);
    if (result < 0)
        return result;
    if (szPath == nullptr) // no file can be created at no path
        return PLAY_E_FILE_OPEN;
    platform::CFile file;
    if (!file.Open(szPath, platform::kFileWrite | platform::kFileCreate))
        return PLAY_E_FILE_OPEN;
    if (!file.SetEnd() || !WriteBmp(file, picture))
        return PLAY_E_FAIL;
    return PLAY_OK;
}

} // namespace api
