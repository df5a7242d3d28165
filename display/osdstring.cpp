// Text items: cache, rectangles and pixel lists; the text engine is the
// system's (win32/osdtext.cpp, linux/osdtext.cpp).
#include "display/osdstring.h"

#include <algorithm>
#include <cstring>
#include <new>

COsdString::~COsdString() {
    SystemClose();
}

int32_t COsdString::Initialize(const OSD_SETTING &setting) {
    m_dwFlags = setting.dwFlags;
    int32_t nResult = SystemOpen(setting);
    if (nResult < 0)
        return nResult;
    m_byTextLevel = (setting.dwFlags & OSD_FLAG_TEXT_LEVEL) ? setting.byTextLevel : OSD_TEXT_LEVEL_DEFAULT;
    if (m_byTextLevel < OSD_TEXT_LEVEL_MIN)
        return OSD_E_BAD_TEXT_LEVEL;
    m_byOutlineLevel =
        (setting.dwFlags & OSD_FLAG_OUTLINE_LEVEL) ? setting.byOutlineLevel : OSD_OUTLINE_LEVEL_DEFAULT;
    return SystemSetColours(m_byTextLevel);
}

int32_t COsdString::FontHeight(int32_t nPictureWidth) {
    static const struct {
        int32_t nMinWidth;
        int32_t nHeight;
    } kSteps[] = {{1920, -28}, {1280, -24}, {800, -20}, {704, -18},
                  {640, -16},  {352, -14},  {320, -13}, {176, -12}};
    for (const auto &step : kSteps) {
        if (nPictureWidth >= step.nMinWidth)
            return step.nHeight;
    }
    return -10;
}

OsdRect COsdString::TextRect(int32_t x, int32_t y, int32_t nTextWidth, int32_t nTextHeight, int32_t nWidth,
                             int32_t nHeight) {
    OsdRect rc;
    rc.nLeft = x;
    rc.nRight = x + nTextWidth + 2;
    rc.nTop = y;
    rc.nBottom = y + nTextHeight + 2;
    if (rc.nRight > nWidth) {
        rc.nLeft -= rc.nRight - nWidth;
        rc.nRight = nWidth;
    }
    if (rc.nBottom > nHeight) {
        rc.nTop -= rc.nBottom - nHeight;
        rc.nBottom = nHeight;
    }
    rc.nLeft = std::max(rc.nLeft, 0) & ~3;
    rc.nRight = std::min((rc.nRight + 3) & ~3, nWidth & ~3);
    rc.nTop = std::max(rc.nTop, 0) & ~1;
    rc.nBottom = std::min(rc.nBottom & ~1, nHeight & ~1);
    return rc;
}

int32_t COsdString::Render(Entry &entry, size_t nLength, int32_t nPictureWidth, int32_t nPictureHeight) {
    int32_t nResult = SystemSelectFont(FontHeight(nPictureWidth));
    if (nResult < 0)
        return nResult;
    int32_t nTextWidth = 0, nTextHeight = 0;
    nResult = SystemMeasure(entry.szText, nLength, &nTextWidth, &nTextHeight);
    if (nResult < 0)
        return nResult;
    entry.rc = TextRect(entry.wX, entry.wY, nTextWidth, nTextHeight, nPictureWidth, nPictureHeight);
    entry.pixels.clear();
    if (entry.rc.Empty())
        return OSD_OK;

    const int32_t w = entry.rc.Width();
    const int32_t h = entry.rc.Height();
    // Widths are multiples of 4, so 24-bit rows carry no padding.
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
    try {
        if (entry.rgb.size() < stride * size_t(h))
            entry.rgb.resize(stride * size_t(h));
    } catch (const std::bad_alloc &) {
        return OSD_E_OUT_OF_MEMORY;
    }
    uint8_t *pRgb = entry.rgb.data();
    nResult = SystemRender(entry.szText, nLength, w, h, pRgb, stride);
    if (nResult < 0)
        return nResult;
    ++m_dwRenderCount;

    auto lit = [&](int32_t x, int32_t y) {
        if (x < 0 || y < 0 || x >= w || y >= h)
            return false;
        const uint8_t *p = pRgb + size_t(y) * stride + size_t(x) * 3;
        return (p[0] | p[1] | p[2]) != 0;
    };
    const bool bBody = !(m_dwFlags & OSD_FLAG_NO_BODY);
    const bool bOutline = !(m_dwFlags & OSD_FLAG_NO_OUTLINE);
    const uint8_t byOutline = OsdTextLuma(m_byOutlineLevel, m_byOutlineLevel, m_byOutlineLevel);
    try {
        entry.pixels.reserve(size_t(w) * size_t(h));
        for (int32_t y = 0; y < h; ++y) {
            for (int32_t x = 0; x < w; ++x) {
                if (lit(x, y)) {
                    if (bBody) {
                        const uint8_t *p = pRgb + size_t(y) * stride + size_t(x) * 3;
                        // Rows hold blue, green, red.
                        entry.pixels.push_back({uint16_t(x), uint16_t(y), kOsdPixelBody,
                                                OsdTextLuma(p[2], p[1], p[0]), 128, 128});
                    }
                    continue;
                }
                if (!bOutline)
                    continue;
                bool bNear = false;
                for (int32_t dy = -1; dy <= 1 && !bNear; ++dy)
                    for (int32_t dx = -1; dx <= 1 && !bNear; ++dx)
                        bNear = (dx || dy) && lit(x + dx, y + dy);
                // Outlines darken luma only: U = V = 0 keeps the colour.
                if (bNear)
                    entry.pixels.push_back({uint16_t(x), uint16_t(y), kOsdPixelOutline, byOutline, 0, 0});
            }
        }
    } catch (const std::bad_alloc &) {
        entry.pixels.clear();
        return OSD_E_OUT_OF_MEMORY;
    }
    return OSD_OK;
}

int32_t COsdString::Draw(const COsdPlanes &planes, const OsdItem &item, size_t nIndex) {
    // The text as it is drawn: at most OSD_TEXT_MAX_CHARS - 1 units.
    QV_WCHAR szText[OSD_TEXT_MAX_CHARS] = {};
    size_t nLength = 0;
    while (nLength < OSD_TEXT_MAX_CHARS - 1 && item.body.szText[nLength] != 0) {
        szText[nLength] = item.body.szText[nLength];
        ++nLength;
    }
    try {
        if (m_entries.size() <= nIndex)
            m_entries.resize(nIndex + 1);
    } catch (const std::bad_alloc &) {
        return OSD_E_OUT_OF_MEMORY;
    }
    Entry &entry = m_entries[nIndex];
    const bool bHit = entry.bValid && entry.wX == item.wX && entry.wY == item.wY &&
                      entry.nPictureWidth == planes.Width() && entry.nPictureHeight == planes.Height() &&
                      std::memcmp(entry.szText, szText, sizeof(szText)) == 0;
    if (!bHit) {
        entry.bValid = false;
        entry.wX = item.wX;
        entry.wY = item.wY;
        entry.nPictureWidth = planes.Width();
        entry.nPictureHeight = planes.Height();
        std::memcpy(entry.szText, szText, sizeof(szText));
        const int32_t nResult = Render(entry, nLength, planes.Width(), planes.Height());
        if (nResult < 0) {
            entry.pixels.clear();
            return nResult;
        }
        entry.bValid = true;
    }
    planes.WriteList(entry.pixels.data(), entry.pixels.size(), entry.rc.nLeft, entry.rc.nTop);
    return OSD_OK;
}
