// Texts of the on-screen display (channel titles, the clock): measured and
// rendered by the system's text engine into an RGB work buffer, turned into
// a list of body and outline pixels, and cached per item position so that a
// text is rendered again only when it, its position or the picture size
// changes.
//
// The common part (cache, rectangles, pixel lists) is in osdstring.cpp; the
// text engine behind the System* members is GDI on Windows
// (win32/osdtext.cpp) and FreeType with fontconfig on Linux
// (linux/osdtext.cpp). Both draw one-bit text: each pixel of the work buffer
// is black or, where the text is, the text colour as a one-bit surface shows
// it (white for white text, black, so nothing, for any other grey).
#pragma once

#include <cstdint>
#include <vector>

#include "display/osdpixel.h"
#include "qvdemux.h"
#include "qvosd.h"

class COsdString {
public:
    COsdString() = default;
    virtual ~COsdString();
    COsdString(const COsdString &) = delete;
    COsdString &operator=(const COsdString &) = delete;

    // Opens the text engine, chooses the face and checks the levels:
    // OSD_E_FAIL, OSD_E_BAD_COLOR_DEPTH, OSD_E_MEMORY_DC, OSD_E_FONT,
    // OSD_E_BAD_TEXT_LEVEL, OSD_E_BRUSH.
    int32_t Initialize(const OSD_SETTING &setting);
    // Draws the nIndex-th text item of a call.
    int32_t Draw(const COsdPlanes &planes, const OsdItem &item, size_t nIndex);

    // Font height (negative: character height in pixels) for a picture
    // width.
    static int32_t FontHeight(int32_t nPictureWidth);
    // The rectangle of a text of the given extent at (x, y): one pixel of
    // margin, moved left and up to stay inside the picture, left edge and
    // width on multiples of 4, top and bottom even.
    static OsdRect TextRect(int32_t x, int32_t y, int32_t nTextWidth, int32_t nTextHeight, int32_t nWidth,
                            int32_t nHeight);

    // For the tests: texts rendered so far, the face chosen, the height of
    // the current font (0: none yet), the rectangle and pixels of a cache
    // entry.
    uint32_t RenderCount() const { return m_dwRenderCount; }
    const QV_WCHAR *FaceName() const { return m_szFace; }
    int32_t CurrentFontHeight() const { return m_nFontHeight; }
    size_t EntryCount() const { return m_entries.size(); }
    OsdRect EntryRect(size_t nIndex) const {
        return nIndex < m_entries.size() ? m_entries[nIndex].rc : OsdRect{};
    }
    const std::vector<OsdPixelRecord> *EntryPixels(size_t nIndex) const {
        return nIndex < m_entries.size() ? &m_entries[nIndex].pixels : nullptr;
    }

private:
    struct Entry {
        bool bValid = false;
        uint16_t wX = 0, wY = 0;
        int32_t nPictureWidth = 0, nPictureHeight = 0;
        QV_WCHAR szText[OSD_TEXT_MAX_CHARS] = {};
        OsdRect rc;
        std::vector<uint8_t> rgb; // top-down 24-bit rows of the rectangle
        std::vector<OsdPixelRecord> pixels;
    };
    int32_t Render(Entry &entry, size_t nLength, int32_t nPictureWidth, int32_t nPictureHeight);

    // ---- Text engine (per system) ----
    struct System;
    // Opens the engine and fills m_szFace (the face found, or the fallback
    // face); with OSD_FLAG_USE_FONT the description comes from hFont.
    int32_t SystemOpen(const OSD_SETTING &setting);
    // Sets the text colour (a grey level) and the black fill.
    int32_t SystemSetColours(uint8_t byTextLevel);
    // Makes the font of nHeight current (a font of another height is
    // replaced); with OSD_FLAG_USE_FONT the given font's own height stays.
    int32_t SystemSelectFont(int32_t nHeight);
    // Extent of the text in the current font.
    int32_t SystemMeasure(const QV_WCHAR *pText, size_t nLength, int32_t *pnWidth, int32_t *pnHeight);
    // Fills nWidth x nHeight black, draws the text at (1, 1) and reads the
    // pixels back as top-down rows of nStride bytes (blue, green, red).
    int32_t SystemRender(const QV_WCHAR *pText, size_t nLength, int32_t nWidth, int32_t nHeight,
                         uint8_t *pRgb, size_t nStride);
    void SystemClose();

    System *m_pSystem = nullptr;
    uint32_t m_dwFlags = 0;
    uint8_t m_byTextLevel = OSD_TEXT_LEVEL_DEFAULT;
    uint8_t m_byOutlineLevel = OSD_OUTLINE_LEVEL_DEFAULT;
    QV_WCHAR m_szFace[32] = {};
    int32_t m_nFontHeight = 0;
    std::vector<Entry> m_entries;
    uint32_t m_dwRenderCount = 0;
};
