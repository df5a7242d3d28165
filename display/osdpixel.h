// Where the on-screen display writes in a YUV picture: the six drawable
// formats reduced to one addressing scheme (a luma sample per pixel, one
// chroma pair per 2x2 or 2x1 block), the single pixel write used by texts and
// bitmaps, and the rectangle fill used by masks.
#pragma once

#include <cstdint>

#include "qvdisplay.h"

// One pixel to write, relative to the top-left corner of an item's
// rectangle. Texts and bitmaps keep lists of these between calls.
struct OsdPixelRecord {
    uint16_t wX;
    uint16_t wY;
    uint8_t byKind; // kOsdPixelBody or kOsdPixelOutline
    uint8_t byY;    // 0: luma left as it is
    uint8_t byU;    // U and V are written only when both are non-zero
    uint8_t byV;
};
static_assert(sizeof(OsdPixelRecord) == 8, "pixel records are 8 bytes");

constexpr uint8_t kOsdPixelOutline = 0;
constexpr uint8_t kOsdPixelBody = 1;

// Item rectangle in picture pixels; right and bottom are exclusive.
struct OsdRect {
    int32_t nLeft = 0;
    int32_t nTop = 0;
    int32_t nRight = 0;
    int32_t nBottom = 0;
    bool Empty() const { return nRight <= nLeft || nBottom <= nTop; }
    int32_t Width() const { return nRight - nLeft; }
    int32_t Height() const { return nBottom - nTop; }
    bool operator==(const OsdRect &) const = default;
};

// A validated picture with the addresses of its samples:
//   luma of (x, y)   = pY[y * nYStride + x * nYStep]
//   chroma of (x, y) = pU / pV[(y >> nCShift) * nCStride + (x >> 1) * nCStep]
// Chroma exists for x < nCWidth and y < nCHeight only: for an odd width or
// height the last column or row has no chroma sample of its own within the
// picture's bytes, so it keeps the one it has.
class COsdPlanes {
public:
    // False for a format other than I420, YV12, NV12, NV21, YUY2 and UYVY.
    static bool BitsPerPixel(uint32_t dwFourCC, uint32_t *pdwBits);
    // The picture must have passed the renderer's checks (format, sizes,
    // enough data).
    explicit COsdPlanes(const DISPLAY_PICTURE &picture);

    int32_t Width() const { return m_nWidth; }
    int32_t Height() const { return m_nHeight; }
    bool Packed() const { return m_nCShift == 0; }

    uint8_t *Luma(int32_t x, int32_t y) const { return m_pY + size_t(y) * m_nYStride + size_t(x) * m_nYStep; }
    size_t ChromaIndex(int32_t x, int32_t y) const {
        return size_t(y >> m_nCShift) * m_nCStride + size_t(x >> 1) * m_nCStep;
    }
    bool HasChroma(int32_t x, int32_t y) const { return x < m_nCWidth && y < m_nCHeight; }
    uint8_t *U(size_t index) const { return m_pU + index; }
    uint8_t *V(size_t index) const { return m_pV + index; }

    // Writes Y unless it is 0, and U and V when both are non-zero; nothing
    // outside the picture.
    void WritePixel(int32_t x, int32_t y, uint8_t byY, uint8_t byU, uint8_t byV) const {
        if (x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight)
            return;
        if (byY != 0)
            *Luma(x, y) = byY;
        if (byU != 0 && byV != 0 && HasChroma(x, y)) {
            const size_t index = ChromaIndex(x, y);
            m_pU[index] = byU;
            m_pV[index] = byV;
        }
    }
    // Writes a pixel list whose coordinates are relative to (nLeft, nTop).
    void WriteList(const OsdPixelRecord *pRecords, size_t count, int32_t nLeft, int32_t nTop) const;

    // Fills a rectangle whose edges are even and inside the picture: every
    // luma sample gets Y, every chroma sample of the rectangle U and V.
    void Fill(const OsdRect &rc, uint8_t byY, uint8_t byU, uint8_t byV) const;
    // The colour of a mosaic cell whose top-left pixel is (x, y) (both
    // even): planar formats its luma and chroma sample, packed formats the
    // mean luma of its pixel pair and the pair's chroma.
    void CellColour(int32_t x, int32_t y, uint8_t *pY, uint8_t *pU, uint8_t *pV) const;

private:
    int32_t m_nWidth;
    int32_t m_nHeight;
    uint8_t *m_pY = nullptr;
    uint8_t *m_pU = nullptr;
    uint8_t *m_pV = nullptr;
    size_t m_nYStride = 0;
    size_t m_nYStep = 1;
    size_t m_nCStride = 0;
    size_t m_nCStep = 1;
    int m_nCShift = 1;
    int32_t m_nCWidth = 0;
    int32_t m_nCHeight = 0;
};

// Studio-range YUV of an RGB colour (each clamped to 0..255).
void OsdRgbToYuv(uint8_t byR, uint8_t byG, uint8_t byB, uint8_t *pY, uint8_t *pU, uint8_t *pV);
// Luma of a text pixel of colour (R, G, B): the same weights as
// OsdRgbToYuv, at most OSD_LUMA_MAX.
uint8_t OsdTextLuma(uint8_t byR, uint8_t byG, uint8_t byB);
// Luma of a bitmap pixel of grey level byLevel, at most OSD_LUMA_MAX.
uint8_t OsdBitmapLuma(uint8_t byLevel);
