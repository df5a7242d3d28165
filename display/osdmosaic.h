// Privacy masks of the on-screen display: solid boxes and mosaics.
#pragma once

#include <cstdint>

#include "display/osdpixel.h"
#include "qvdemux.h"
#include "qvosd.h"

class COsdMosaic {
public:
    virtual ~COsdMosaic() = default;

    // Keeps the cell size: the default, or the setting's rounded up to even
    // and at least OSD_MOSAIC_SIZE_MIN.
    void Initialize(const OSD_SETTING &setting);
    // Draws one mask item; masks never fail.
    void Draw(const COsdPlanes &planes, const OsdItem &item) const;

    // The rectangle a mask item covers in a picture: outward to even edges,
    // cut to the picture's even width and height (exposed for the tests).
    static OsdRect MaskRect(const OsdItem &item, int32_t nWidth, int32_t nHeight);

    uint32_t CellWidth() const { return m_dwCellWidth; }
    uint32_t CellHeight() const { return m_dwCellHeight; }

private:
    uint32_t m_dwCellWidth = OSD_MOSAIC_SIZE_DEFAULT;
    uint32_t m_dwCellHeight = OSD_MOSAIC_SIZE_DEFAULT;
};
