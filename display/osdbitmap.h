// One-bit bitmaps of the on-screen display, drawn grey with an outline and
// cached per item position.
#pragma once

#include <cstdint>
#include <vector>

#include "display/osdpixel.h"
#include "qvdemux.h"
#include "qvosd.h"

class COsdMonoBitmap {
public:
    virtual ~COsdMonoBitmap() = default;

    // Keeps the flags and levels; OSD_E_BAD_TEXT_LEVEL for a given text
    // level below OSD_TEXT_LEVEL_MIN.
    int32_t Initialize(const OSD_SETTING &setting);
    // Draws the nIndex-th bitmap item of a call; OSD_E_OUT_OF_MEMORY when a
    // cache entry cannot grow.
    int32_t Draw(const COsdPlanes &planes, const OsdItem &item, size_t nIndex);

    // The rectangle a bitmap item covers: one pixel of margin around the
    // bits, left edge and width on multiples of 4, top and height even, cut
    // to the picture (exposed for the tests).
    static OsdRect BitmapRect(const OsdItem &item, int32_t nWidth, int32_t nHeight);

    // Cache entries filled so far, one per miss (for the tests).
    uint32_t FillCount() const { return m_dwFillCount; }
    size_t EntryCount() const { return m_entries.size(); }
    size_t WorkBufferSize(size_t nIndex) const {
        return nIndex < m_entries.size() ? m_entries[nIndex].rgb.size() : 0;
    }

private:
    struct Entry {
        bool bValid = false;
        uint16_t wX = 0, wY = 0, wWidth = 0, wHeight = 0;
        int32_t nPictureWidth = 0, nPictureHeight = 0;
        std::vector<uint8_t> bits; // copy of the bytes the item was drawn from
        OsdRect rc;
        // Three bytes per pixel of the rectangle, at least
        // OSD_BITMAP_BUFFER_SIZE, grown for larger rectangles.
        std::vector<uint8_t> rgb;
        std::vector<OsdPixelRecord> pixels;
    };
    void Expand(Entry &entry, const OsdItem &item, size_t nBytes);

    uint32_t m_dwFlags = 0;
    uint8_t m_byTextLevel = OSD_TEXT_LEVEL_DEFAULT;
    uint8_t m_byOutlineLevel = OSD_OUTLINE_LEVEL_DEFAULT;
    std::vector<Entry> m_entries;
    uint32_t m_dwFillCount = 0;
};
