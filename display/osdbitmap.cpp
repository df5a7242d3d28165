// One-bit bitmaps: expansion into the work buffer on a cache miss, then a
// pixel list of body and outline pixels written on every call.
#include "display/osdbitmap.h"

#include <algorithm>
#include <cstring>
#include <new>

int32_t COsdMonoBitmap::Initialize(const OSD_SETTING &setting) {
    m_dwFlags = setting.dwFlags;
    m_byTextLevel = (setting.dwFlags & OSD_FLAG_TEXT_LEVEL) ? setting.byTextLevel : OSD_TEXT_LEVEL_DEFAULT;
    if (m_byTextLevel < OSD_TEXT_LEVEL_MIN)
        return OSD_E_BAD_TEXT_LEVEL;
    m_byOutlineLevel =
        (setting.dwFlags & OSD_FLAG_OUTLINE_LEVEL) ? setting.byOutlineLevel : OSD_OUTLINE_LEVEL_DEFAULT;
    return OSD_OK;
}

OsdRect COsdMonoBitmap::BitmapRect(const OsdItem &item, int32_t nWidth, int32_t nHeight) {
    OsdRect rc;
    if (int32_t(item.wX) >= nWidth || int32_t(item.wY) >= nHeight)
        return rc;
    rc.nLeft = int32_t(item.wX) & ~3;
    rc.nRight = std::min((rc.nLeft + int32_t(item.wWidth) + 5) & ~3, nWidth & ~3);
    rc.nTop = int32_t(item.wY) & ~1;
    rc.nBottom = std::min((rc.nTop + int32_t(item.wHeight) + 2) & ~1, nHeight & ~1);
    return rc;
}

// Bytes of an item's bits that are read: width x height / 8, but never
// past the item's body.
static size_t BitmapBytes(const OsdItem &item) {
    return std::min<size_t>(size_t(item.wWidth) * item.wHeight / 8, sizeof(item.body.abBits));
}

void COsdMonoBitmap::Expand(Entry &entry, const OsdItem &item, size_t nBytes) {
    const int32_t w = entry.rc.Width();
    const int32_t h = entry.rc.Height();
    const size_t need = size_t(w) * size_t(h) * 3;
    if (entry.rgb.size() < need)
        entry.rgb.resize(std::max<size_t>(need, OSD_BITMAP_BUFFER_SIZE));
    uint8_t *pRgb = entry.rgb.data();
    std::memset(pRgb, 0, need);

    // Bit column c of row r lands on rectangle pixel (1 + c, 1 + r). Rows
    // are width / 8 bytes; only the rows the body holds are drawn.
    const size_t stride = item.wWidth / 8;
    const size_t rows = stride ? std::min<size_t>(item.wHeight, nBytes / stride) : 0;
    const int32_t cols = int32_t(std::min<size_t>(stride * 8, size_t(w > 1 ? w - 1 : 0)));
    for (size_t r = 0; r < rows && int32_t(r) + 1 < h; ++r) {
        const uint8_t *pRow = item.body.abBits + r * stride;
        uint8_t *pOut = pRgb + ((r + 1) * size_t(w) + 1) * 3;
        for (int32_t c = 0; c < cols; ++c) {
            if (pRow[c >> 3] & (0x80u >> (c & 7)))
                std::memset(pOut + size_t(c) * 3, m_byTextLevel, 3);
        }
    }

    // Body and outline pixels in scan order; neighbours outside the
    // rectangle count as clear.
    const uint8_t byBody = OsdBitmapLuma(m_byTextLevel);
    const uint8_t byOutline = OsdBitmapLuma(m_byOutlineLevel);
    const bool bBody = !(m_dwFlags & OSD_FLAG_NO_BODY);
    const bool bOutline = !(m_dwFlags & OSD_FLAG_NO_OUTLINE);
    auto set = [&](int32_t x, int32_t y) {
        return x >= 0 && y >= 0 && x < w && y < h && pRgb[(size_t(y) * w + x) * 3] != 0;
    };
    entry.pixels.clear();
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            if (set(x, y)) {
                if (bBody)
                    entry.pixels.push_back({uint16_t(x), uint16_t(y), kOsdPixelBody, byBody, 128, 128});
                continue;
            }
            if (!bOutline)
                continue;
            bool bNear = false;
            for (int32_t dy = -1; dy <= 1 && !bNear; ++dy)
                for (int32_t dx = -1; dx <= 1 && !bNear; ++dx)
                    bNear = (dx || dy) && set(x + dx, y + dy);
            if (bNear)
                entry.pixels.push_back({uint16_t(x), uint16_t(y), kOsdPixelOutline, byOutline, 128, 128});
        }
    }
}

int32_t COsdMonoBitmap::Draw(const COsdPlanes &planes, const OsdItem &item, size_t nIndex) {
    try {
        if (m_entries.size() <= nIndex)
            m_entries.resize(nIndex + 1);
        Entry &entry = m_entries[nIndex];
        const size_t nBytes = BitmapBytes(item);
        const bool bHit = entry.bValid && entry.wX == item.wX && entry.wY == item.wY &&
                          entry.wWidth == item.wWidth && entry.wHeight == item.wHeight &&
                          entry.nPictureWidth == planes.Width() && entry.nPictureHeight == planes.Height() &&
                          entry.bits.size() == nBytes &&
                          std::memcmp(entry.bits.data(), item.body.abBits, nBytes) == 0;
        if (!bHit) {
            entry.bValid = false;
            entry.wX = item.wX;
            entry.wY = item.wY;
            entry.wWidth = item.wWidth;
            entry.wHeight = item.wHeight;
            entry.nPictureWidth = planes.Width();
            entry.nPictureHeight = planes.Height();
            entry.bits.assign(item.body.abBits, item.body.abBits + nBytes);
            entry.rc = BitmapRect(item, planes.Width(), planes.Height());
            entry.pixels.clear();
            if (!entry.rc.Empty())
                Expand(entry, item, nBytes);
            entry.bValid = true;
            ++m_dwFillCount;
        }
        planes.WriteList(entry.pixels.data(), entry.pixels.size(), entry.rc.nLeft, entry.rc.nTop);
    } catch (const std::bad_alloc &) {
        return OSD_E_OUT_OF_MEMORY;
    }
    return OSD_OK;
}
