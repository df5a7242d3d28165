// Solid and mosaic masks.
#include "display/osdmosaic.h"

#include <algorithm>
#include <cstring>

static uint32_t CellSize(uint16_t wGiven) {
    const uint32_t dwEven = (uint32_t(wGiven) + 1u) & ~1u;
    return std::max<uint32_t>(dwEven, OSD_MOSAIC_SIZE_MIN);
}

void COsdMosaic::Initialize(const OSD_SETTING &setting) {
    if (setting.dwFlags & OSD_FLAG_MOSAIC_SIZE) {
        m_dwCellWidth = CellSize(setting.wMosaicWidth);
        m_dwCellHeight = CellSize(setting.wMosaicHeight);
    } else {
        m_dwCellWidth = OSD_MOSAIC_SIZE_DEFAULT;
        m_dwCellHeight = OSD_MOSAIC_SIZE_DEFAULT;
    }
}

OsdRect COsdMosaic::MaskRect(const OsdItem &item, int32_t nWidth, int32_t nHeight) {
    // The far edges are rounded up from the item's own edges, not from the
    // rounded-down near ones: an item at an odd position keeps its last
    // column and row covered.
    OsdRect rc;
    rc.nLeft = int32_t(item.wX) & ~1;
    rc.nTop = int32_t(item.wY) & ~1;
    const int32_t nRight = item.wWidth ? (int32_t(item.wX) + int32_t(item.wWidth) + 1) & ~1 : rc.nLeft;
    const int32_t nBottom = item.wHeight ? (int32_t(item.wY) + int32_t(item.wHeight) + 1) & ~1 : rc.nTop;
    rc.nRight = std::min(nRight, nWidth & ~1);
    rc.nBottom = std::min(nBottom, nHeight & ~1);
    return rc;
}

void COsdMosaic::Draw(const COsdPlanes &planes, const OsdItem &item) const {
    const OsdRect rc = MaskRect(item, planes.Width(), planes.Height());
    if (rc.Empty())
        return;
    uint32_t dwMode;
    std::memcpy(&dwMode, &item.body.mosaic.dwMode, sizeof(dwMode));
    if (dwMode == OSD_MASK_MODE_SOLID) {
        uint8_t y, u, v;
        const uint8_t *pColour = item.body.mosaic.abColor;
        OsdRgbToYuv(pColour[0], pColour[1], pColour[2], &y, &u, &v);
        planes.Fill(rc, y, u, v);
        return;
    }
    if (dwMode != OSD_MASK_MODE_MOSAIC)
        return;
    // Whole cells only; the strips left at the right and bottom stay.
    const int32_t nCellW = int32_t(m_dwCellWidth);
    const int32_t nCellH = int32_t(m_dwCellHeight);
    const int32_t nAcross = rc.Width() / nCellW;
    const int32_t nDown = rc.Height() / nCellH;
    for (int32_t j = 0; j < nDown; ++j) {
        for (int32_t i = 0; i < nAcross; ++i) {
            OsdRect cell;
            cell.nLeft = rc.nLeft + i * nCellW;
            cell.nTop = rc.nTop + j * nCellH;
            cell.nRight = cell.nLeft + nCellW;
            cell.nBottom = cell.nTop + nCellH;
            uint8_t y, u, v;
            planes.CellColour(cell.nLeft, cell.nTop, &y, &u, &v);
            planes.Fill(cell, y, u, v);
        }
    }
}
