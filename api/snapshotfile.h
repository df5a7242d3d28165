// Snapshot files: the picture on screen written as a 24-bit BMP file, the
// layout every front end that saves snapshots uses.
#pragma once

#include <cstdint>

#include "qvplay.h"

namespace api {

// Writes the player's current picture to szPath (created anew, an existing
// file truncated): the 14-byte file header, the snapshot's 40-byte
// BITMAPINFOHEADER, then its pixel rows as the core returns them. PLAY_OK, a
// snapshot failure of the core, PLAY_E_OUT_OF_MEMORY, PLAY_E_FILE_OPEN when
// the file cannot be created (a null path included), or
// PLAY_E_FAIL when a write fails (the partly written file stays).
int32_t WriteSnapshotBmp(PLAY_HANDLE hPlay, const QV_WCHAR *szPath);

} // namespace api
