// Snapshot files: the picture on screen written as a 24-bit BMP file, the
// layout every front end that saves snapshots uses.
#pragma once

#include <cstdint>

#include "platform/file.h"
#include "qvdisplay.h"
#include "qvplay.h"

namespace api {

// The player's current picture as the core's snapshot gives it: bottom-up
// 24-bit rows in fresh page memory, with their BITMAPINFOHEADER.
class CSnapshotPicture {
public:
    CSnapshotPicture() = default;
    ~CSnapshotPicture();
    CSnapshotPicture(const CSnapshotPicture &) = delete;
    CSnapshotPicture &operator=(const CSnapshotPicture &) = delete;

    // PLAY_OK, a snapshot failure of the core, or PLAY_E_OUT_OF_MEMORY.
    int32_t Take(PLAY_HANDLE hPlay);
    const BITMAPINFOHEADER &Header() const { return m_snapshot.bmiHeader; }
    const uint8_t *Pixels() const { return m_pPixels; }
    uint32_t PixelBytes() const { return m_dwPixelBytes; }

private:
    PLAY_SNAPSHOT m_snapshot{};
    uint8_t *m_pPixels = nullptr;
    uint32_t m_dwPixelBytes = 0;
};

// Writes the 14-byte file header, the picture's BITMAPINFOHEADER and its
// rows to an open file; false when a write fails.
bool WriteBmp(platform::CFile &file, const CSnapshotPicture &picture);

// Writes the player's current picture to szPath (created anew, an existing
// file truncated). PLAY_OK, a snapshot failure of the core,
// PLAY_E_OUT_OF_MEMORY, PLAY_E_FILE_OPEN when the file cannot be created (a
// null path included), or PLAY_E_FAIL when a write fails (the partly written
// file stays).
int32_t WriteSnapshotBmp(PLAY_HANDLE hPlay, const QV_WCHAR *szPath);

} // namespace api
