// The on-screen-display renderer of a player: draws the recorder's items
// (masks, then one-bit bitmaps, then texts) into a decoded YUV picture in
// place, and counts the items and the time spent. Used by one thread (the
// player's); it takes no locks.
#pragma once

#include <cstdint>

#include "display/osdbitmap.h"
#include "display/osdmosaic.h"
#include "display/osdstring.h"
#include "qvdemux.h"
#include "qvdisplay.h"
#include "qvosd.h"

class COsdObject {
public:
    COsdObject() = default;
    virtual ~COsdObject() = default;
    COsdObject(const COsdObject &) = delete;
    COsdObject &operator=(const COsdObject &) = delete;

    // The setting has been checked for its size.
    int32_t Initialize(const OSD_SETTING &setting);
    // The arguments have been checked; the first failing item ends the call.
    int32_t Draw(const DISPLAY_PICTURE &picture, const OsdItem *pItems, uint32_t dwCount);
    void GetStatus(OSD_STATUS *pStatus) const;

    const COsdString &Strings() const { return m_string; }
    const COsdMonoBitmap &Bitmaps() const { return m_bitmap; }
    const COsdMosaic &Masks() const { return m_mosaic; }

private:
    COsdString m_string;
    COsdMosaic m_mosaic;
    COsdMonoBitmap m_bitmap;
    OSD_STATUS m_status{};
};

// Creates a renderer: OSD_E_NULL_POINTER, OSD_E_BAD_SIZE, or the code of a
// failed initialisation (the renderer is then destroyed). *ppOsd is set only
// on success.
int32_t CreateOsd(const OSD_SETTING *pSetting, COsdObject **ppOsd);
// Frees the caches and the text engine; null is ignored.
void DestroyOsd(COsdObject *pOsd);
// Draws dwCount consecutive items into the picture.
int32_t DrawOsd(COsdObject *pOsd, const DISPLAY_PICTURE *pPicture, const OsdItem *pItems, uint32_t dwCount);
// Copies the counters.
int32_t GetOsdStatus(COsdObject *pOsd, OSD_STATUS *pStatus);
