// Text engine of the on-screen display on Windows: GDI. A memory device
// context compatible with the desktop holds the font and a black brush;
// each text is drawn into a bitmap compatible with that context (one bit
// deep, since nothing else is ever selected into it) and read back as
// 24-bit rows.
#include <cstring>
#include <new>

#include "display/osdstring.h"

struct COsdString::System {
    HDC hDC = nullptr;
    HBRUSH hBrush = nullptr;
    HGDIOBJ hOldBrush = nullptr;
    HFONT hFont = nullptr;
    HGDIOBJ hOldFont = nullptr;
    LOGFONTW logFont{};
    bool bGivenFont = false;

    ~System() {
        if (hDC != nullptr) {
            if (hOldFont != nullptr)
                SelectObject(hDC, hOldFont);
            if (hOldBrush != nullptr)
                SelectObject(hDC, hOldBrush);
        }
        if (hFont != nullptr)
            DeleteObject(hFont);
        if (hBrush != nullptr)
            DeleteObject(hBrush);
        if (hDC != nullptr)
            DeleteDC(hDC);
    }
};

namespace {

// Takes the first family enumerated and stops.
int CALLBACK FirstFamily(const LOGFONTW *pLogFont, const TEXTMETRICW *, DWORD, LPARAM lParam) {
    auto *pFace = reinterpret_cast<WCHAR *>(lParam);
    std::memcpy(pFace, pLogFont->lfFaceName, sizeof(pLogFont->lfFaceName));
    pFace[LF_FACESIZE - 1] = 0;
    return 0;
}

void CopyFace(WCHAR *pDest, const char *pAscii) {
    size_t i = 0;
    for (; pAscii[i] != 0 && i + 1 < LF_FACESIZE; ++i)
        pDest[i] = WCHAR(pAscii[i]);
    pDest[i] = 0;
}

} // namespace

int32_t COsdString::SystemOpen(const OSD_SETTING &setting) {
    m_pSystem = new (std::nothrow) System;
    if (m_pSystem == nullptr)
        return OSD_E_OUT_OF_MEMORY;
    System &s = *m_pSystem;
    HDC hDesktop = GetDC(nullptr);
    if (hDesktop == nullptr)
        return OSD_E_FAIL;
    if (GetDeviceCaps(hDesktop, BITSPIXEL) < 16) {
        ReleaseDC(nullptr, hDesktop);
        return OSD_E_BAD_COLOR_DEPTH;
    }
    s.hDC = CreateCompatibleDC(hDesktop);
    ReleaseDC(nullptr, hDesktop);
    if (s.hDC == nullptr)
        return OSD_E_MEMORY_DC;
    SetMapMode(s.hDC, MM_TEXT);
    SetBkMode(s.hDC, TRANSPARENT);
    SetTextAlign(s.hDC, TA_LEFT | TA_TOP);

    if (setting.dwFlags & OSD_FLAG_USE_FONT) {
        // The client's font as it is described, height included.
        if (setting.hFont == nullptr ||
            GetObjectW(static_cast<HGDIOBJ>(setting.hFont), sizeof(s.logFont), &s.logFont) == 0)
            return OSD_E_FONT;
        s.bGivenFont = true;
    } else {
        LOGFONTW search{};
        search.lfCharSet = DEFAULT_CHARSET;
        CopyFace(search.lfFaceName, OSD_FONT_FACE);
        WCHAR szFound[LF_FACESIZE] = {};
        EnumFontFamiliesExW(s.hDC, &search, reinterpret_cast<FONTENUMPROCW>(FirstFamily),
                            reinterpret_cast<LPARAM>(szFound), 0);
        s.logFont = LOGFONTW{};
        s.logFont.lfHeight = OSD_FONT_HEIGHT_DEFAULT;
        s.logFont.lfWeight = OSD_FONT_WEIGHT;
        s.logFont.lfCharSet = DEFAULT_CHARSET;
        if (szFound[0] != 0)
            std::memcpy(s.logFont.lfFaceName, szFound, sizeof(szFound));
        else
            CopyFace(s.logFont.lfFaceName, OSD_FONT_FACE_FALLBACK);
    }
    static_assert(sizeof(m_szFace) == sizeof(s.logFont.lfFaceName), "face names of LF_FACESIZE units");
    std::memcpy(m_szFace, s.logFont.lfFaceName, sizeof(m_szFace));
    m_szFace[LF_FACESIZE - 1] = 0;
    return OSD_OK;
}

int32_t COsdString::SystemSetColours(uint8_t byTextLevel) {
    System &s = *m_pSystem;
    SetTextColor(s.hDC, RGB(byTextLevel, byTextLevel, byTextLevel));
    s.hBrush = CreateSolidBrush(RGB(0, 0, 0));
    if (s.hBrush == nullptr)
        return OSD_E_BRUSH;
    s.hOldBrush = SelectObject(s.hDC, s.hBrush);
    return OSD_OK;
}

int32_t COsdString::SystemSelectFont(int32_t nHeight) {
    System &s = *m_pSystem;
    if (!s.bGivenFont && s.hFont != nullptr && m_nFontHeight != nHeight) {
        SelectObject(s.hDC, s.hOldFont);
        DeleteObject(s.hFont);
        s.hFont = nullptr;
        s.hOldFont = nullptr;
        m_nFontHeight = 0;
    }
    if (s.hFont != nullptr)
        return OSD_OK;
    if (!s.bGivenFont)
        s.logFont.lfHeight = nHeight;
    s.hFont = CreateFontIndirectW(&s.logFont);
    if (s.hFont == nullptr)
        return OSD_E_FONT;
    s.hOldFont = SelectObject(s.hDC, s.hFont);
    m_nFontHeight = s.logFont.lfHeight;
    return OSD_OK;
}

int32_t COsdString::SystemMeasure(const QV_WCHAR *pText, size_t nLength, int32_t *pnWidth,
                                  int32_t *pnHeight) {
    SIZE size{};
    if (!GetTextExtentPoint32W(m_pSystem->hDC, pText, int(nLength), &size))
        return OSD_E_FAIL;
    *pnWidth = size.cx;
    *pnHeight = size.cy;
    return OSD_OK;
}

int32_t COsdString::SystemRender(const QV_WCHAR *pText, size_t nLength, int32_t nWidth, int32_t nHeight,
                                 uint8_t *pRgb, size_t nStride) {
    System &s = *m_pSystem;
    HBITMAP hBitmap = CreateCompatibleBitmap(s.hDC, nWidth, nHeight);
    if (hBitmap == nullptr)
        return OSD_E_BITMAP;
    int32_t nResult = OSD_OK;
    HGDIOBJ hOld = SelectObject(s.hDC, hBitmap);
    if (!PatBlt(s.hDC, 0, 0, nWidth, nHeight, PATCOPY))
        nResult = OSD_E_FAIL;
    else if (!TextOutW(s.hDC, 1, 1, pText, int(nLength)))
        nResult = OSD_E_FAIL;
    // A bitmap is read back once no context holds it.
    SelectObject(s.hDC, hOld);
    if (nResult == OSD_OK) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = nWidth;
        info.bmiHeader.biHeight = -nHeight; // top-down
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        info.bmiHeader.biCompression = BI_RGB;
        // Rows are nStride bytes: the width is a multiple of 4 pixels, so
        // 24-bit rows need no padding and nStride is what GDI writes.
        if (nStride != ((size_t(nWidth) * 3 + 3) & ~size_t(3)))
            nResult = OSD_E_FAIL;
        else if (GetDIBits(s.hDC, hBitmap, 0, UINT(nHeight), pRgb, &info, DIB_RGB_COLORS) != nHeight)
            nResult = OSD_E_FAIL;
    }
    DeleteObject(hBitmap);
    return nResult;
}

void COsdString::SystemClose() {
    delete m_pSystem;
    m_pSystem = nullptr;
    m_nFontHeight = 0;
}
