// Sample addressing and writes of the on-screen display in the six formats.
#include "display/osdpixel.h"

#include <algorithm>
#include <cstring>

#include "qvosd.h"

bool COsdPlanes::BitsPerPixel(uint32_t dwFourCC, uint32_t *pdwBits) {
    switch (dwFourCC) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12:
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        *pdwBits = DISPLAY_BITS_420;
        return true;
    case DISPLAY_FOURCC_YUY2:
    case DISPLAY_FOURCC_UYVY:
        *pdwBits = DISPLAY_BITS_422;
        return true;
    default:
        return false;
    }
}

COsdPlanes::COsdPlanes(const DISPLAY_PICTURE &picture)
    : m_nWidth(picture.nWidth), m_nHeight(picture.nHeight) {
    uint8_t *const pBase = picture.pData;
    const size_t w = size_t(m_nWidth);
    const size_t lumaSize = w * size_t(m_nHeight);
    m_nCWidth = m_nWidth & ~1;
    m_nCHeight = m_nHeight & ~1;
    switch (picture.dwFourCC) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12: {
        m_pY = pBase;
        m_nYStride = w;
        // Chroma planes of width / 2 samples, the second width * height / 4
        // bytes after the first.
        uint8_t *const pFirst = pBase + lumaSize;
        uint8_t *const pSecond = pFirst + lumaSize / 4;
        const bool bUFirst = picture.dwFourCC == DISPLAY_FOURCC_I420;
        m_pU = bUFirst ? pFirst : pSecond;
        m_pV = bUFirst ? pSecond : pFirst;
        m_nCStride = w / 2;
        m_nCStep = 1;
        m_nCShift = 1;
        break;
    }
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21: {
        m_pY = pBase;
        m_nYStride = w;
        uint8_t *const pPairs = pBase + lumaSize;
        const bool bUFirst = picture.dwFourCC == DISPLAY_FOURCC_NV12;
        m_pU = bUFirst ? pPairs : pPairs + 1;
        m_pV = bUFirst ? pPairs + 1 : pPairs;
        m_nCStride = w;
        m_nCStep = 2;
        m_nCShift = 1;
        break;
    }
    default: { // YUY2, UYVY: pixel pairs of four bytes
        const bool bYuy2 = picture.dwFourCC == DISPLAY_FOURCC_YUY2;
        m_pY = pBase + (bYuy2 ? 0 : 1);
        m_pU = pBase + (bYuy2 ? 1 : 0);
        m_pV = pBase + (bYuy2 ? 3 : 2);
        m_nYStride = 2 * w;
        m_nYStep = 2;
        m_nCStride = 2 * w;
        m_nCStep = 4;
        m_nCShift = 0;
        m_nCHeight = m_nHeight;
        break;
    }
    }
}

void COsdPlanes::WriteList(const OsdPixelRecord *pRecords, size_t count, int32_t nLeft, int32_t nTop) const {
    for (size_t i = 0; i < count; ++i) {
        const OsdPixelRecord &r = pRecords[i];
        WritePixel(nLeft + r.wX, nTop + r.wY, r.byY, r.byU, r.byV);
    }
}

void COsdPlanes::Fill(const OsdRect &rc, uint8_t byY, uint8_t byU, uint8_t byV) const {
    const size_t width = size_t(rc.Width());
    for (int32_t y = rc.nTop; y < rc.nBottom; ++y) {
        uint8_t *pLuma = Luma(rc.nLeft, y);
        if (m_nYStep == 1) {
            std::memset(pLuma, byY, width);
        } else {
            for (size_t i = 0; i < width; ++i)
                pLuma[i * m_nYStep] = byY;
        }
        // 4:2:0 chroma rows cover two luma rows.
        if (!Packed() && (y & 1))
            continue;
        const size_t index = ChromaIndex(rc.nLeft, y);
        uint8_t *pU = m_pU + index;
        uint8_t *pV = m_pV + index;
        const size_t samples = width / 2;
        if (m_nCStep == 1) {
            std::memset(pU, byU, samples);
            std::memset(pV, byV, samples);
        } else {
            for (size_t i = 0; i < samples; ++i) {
                pU[i * m_nCStep] = byU;
                pV[i * m_nCStep] = byV;
            }
        }
    }
}

void COsdPlanes::CellColour(int32_t x, int32_t y, uint8_t *pY, uint8_t *pU, uint8_t *pV) const {
    const uint8_t *pLuma = Luma(x, y);
    *pY = Packed() ? uint8_t((unsigned(pLuma[0]) + unsigned(pLuma[m_nYStep])) / 2) : pLuma[0];
    const size_t index = ChromaIndex(x, y);
    *pU = m_pU[index];
    *pV = m_pV[index];
}

static uint8_t Clamp255(int value) {
    return uint8_t(std::clamp(value, 0, 255));
}

void OsdRgbToYuv(uint8_t byR, uint8_t byG, uint8_t byB, uint8_t *pY, uint8_t *pU, uint8_t *pV) {
    const int r = byR, g = byG, b = byB;
    // C++ division truncates toward zero, as the formulas want.
    *pY = Clamp255((33 * r + 65 * g + 13 * b) / 128 + 16);
    *pU = Clamp255((56 * b - 19 * r - 37 * g) / 128 + 128);
    *pV = Clamp255((56 * r - 47 * g - 9 * b) / 128 + 128);
}

uint8_t OsdTextLuma(uint8_t byR, uint8_t byG, uint8_t byB) {
    const int y = (33 * int(byR) + 65 * int(byG) + 13 * int(byB)) / 128 + 16;
    return uint8_t(std::min(y, OSD_LUMA_MAX));
}

uint8_t OsdBitmapLuma(uint8_t byLevel) {
    return uint8_t(std::min(110 * int(byLevel) / 128 + 16, OSD_LUMA_MAX));
}
