// Text engine of the on-screen display on Linux: fontconfig chooses the
// face the way the Windows build does (the preferred face where installed,
// else the fallback face or its metric-compatible substitute), FreeType
// draws one-bit glyphs with hinted advances and no kerning, as text drawn on
// a one-bit GDI surface looks. Characters the face lacks come from the face
// fontconfig offers for them.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "display/osdstring.h"

struct COsdString::System {
    FT_Library library = nullptr;
    std::string face;       // family asked of fontconfig
    FT_Face font = nullptr; // current font
    int32_t nAscent = 0;    // pixels above the baseline, in the current font
    int32_t nDescent = 0;   // pixels below it
    uint8_t byColour = 0;   // text colour on the one-bit surface: 0 or 255
    bool bFixedHeight = false;
    // Faces for the characters the current font lacks; null: none has it.
    std::vector<FT_Face> fallbacks;
    std::unordered_map<uint32_t, FT_Face> fallbackOf;

    void CloseFonts() {
        for (FT_Face f : fallbacks)
            FT_Done_Face(f);
        fallbacks.clear();
        fallbackOf.clear();
        if (font != nullptr)
            FT_Done_Face(font);
        font = nullptr;
    }
    ~System() {
        CloseFonts();
        if (library != nullptr)
            FT_Done_FreeType(library);
    }
};

namespace {

// Opens the face that fontconfig matches for a pattern, at nPixels per em.
FT_Face OpenMatch(FT_Library library, FcPattern *pattern, int32_t nPixels) {
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern *match = FcFontMatch(nullptr, pattern, &result);
    FT_Face face = nullptr;
    FcChar8 *file = nullptr;
    int index = 0;
    if (match != nullptr && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        if (FT_New_Face(library, reinterpret_cast<const char *>(file), index, &face) != 0)
            face = nullptr;
        else if (FT_Set_Pixel_Sizes(face, 0, FT_UInt(nPixels)) != 0) {
            FT_Done_Face(face);
            face = nullptr;
        }
    }
    if (match != nullptr)
        FcPatternDestroy(match);
    return face;
}

// Code points of UTF-16 text; unpaired surrogates stand for themselves.
std::vector<uint32_t> CodePoints(const QV_WCHAR *pText, size_t nLength) {
    std::vector<uint32_t> out;
    out.reserve(nLength);
    for (size_t i = 0; i < nLength; ++i) {
        uint32_t c = uint16_t(pText[i]);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < nLength) {
            const uint32_t low = uint16_t(pText[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        out.push_back(c);
    }
    return out;
}

// The face and glyph that draw a character.
struct Glyph {
    FT_Face face;
    FT_UInt index;
};

Glyph FindGlyph(FT_Library library, FT_Face font, std::vector<FT_Face> &fallbacks,
                std::unordered_map<uint32_t, FT_Face> &fallbackOf, uint32_t c, int32_t nPixels) {
    FT_UInt index = FT_Get_Char_Index(font, c);
    if (index != 0)
        return {font, index};
    auto it = fallbackOf.find(c);
    FT_Face other = nullptr;
    if (it != fallbackOf.end()) {
        other = it->second;
    } else {
        FcPattern *pattern = FcPatternCreate();
        FcCharSet *charset = FcCharSetCreate();
        if (pattern != nullptr && charset != nullptr && FcCharSetAddChar(charset, c) &&
            FcPatternAddCharSet(pattern, FC_CHARSET, charset)) {
            other = OpenMatch(library, pattern, nPixels);
            if (other != nullptr && FT_Get_Char_Index(other, c) == 0) {
                FT_Done_Face(other);
                other = nullptr;
            }
        }
        if (charset != nullptr)
            FcCharSetDestroy(charset);
        if (pattern != nullptr)
            FcPatternDestroy(pattern);
        if (other != nullptr)
            fallbacks.push_back(other);
        fallbackOf.emplace(c, other);
    }
    if (other != nullptr)
        return {other, FT_Get_Char_Index(other, c)};
    return {font, 0};
}

// Whole pixels from 26.6 fixed point, rounded.
int32_t Pixels(FT_Pos value) {
    return int32_t((value + 32) >> 6);
}

} // namespace

int32_t COsdString::SystemOpen(const OSD_SETTING &setting) {
    m_pSystem = new (std::nothrow) System;
    if (m_pSystem == nullptr)
        return OSD_E_OUT_OF_MEMORY;
    if (!FcInit() || FT_Init_FreeType(&m_pSystem->library) != 0)
        return OSD_E_FAIL;
    // Linux has no font objects of its own to hand in: a given font only
    // fixes the height at the default one, in the face chosen below.
    if (setting.dwFlags & OSD_FLAG_USE_FONT) {
        if (setting.hFont == nullptr)
            return OSD_E_FONT;
        m_pSystem->bFixedHeight = true;
    }
    // The preferred face only when a font of that very family is installed;
    // the fallback face goes through fontconfig's substitutes.
    bool bFound = false;
    FcPattern *pattern = FcPatternCreate();
    FcObjectSet *objects = FcObjectSetBuild(FC_FAMILY, nullptr);
    if (pattern != nullptr && objects != nullptr &&
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(OSD_FONT_FACE))) {
        FcFontSet *set = FcFontList(nullptr, pattern, objects);
        bFound = set != nullptr && set->nfont > 0;
        if (set != nullptr)
            FcFontSetDestroy(set);
    }
    if (objects != nullptr)
        FcObjectSetDestroy(objects);
    if (pattern != nullptr)
        FcPatternDestroy(pattern);
    m_pSystem->face = bFound ? OSD_FONT_FACE : OSD_FONT_FACE_FALLBACK;
    size_t i = 0;
    for (; i < m_pSystem->face.size() && i + 1 < sizeof(m_szFace) / sizeof(m_szFace[0]); ++i)
        m_szFace[i] = QV_WCHAR(m_pSystem->face[i]);
    m_szFace[i] = 0;
    return OSD_OK;
}

int32_t COsdString::SystemSetColours(uint8_t byTextLevel) {
    // A one-bit GDI surface turns the context's background colour (white,
    // the default) into white and every other colour into black: only white
    // text is lit.
    m_pSystem->byColour = byTextLevel == 255 ? 255 : 0;
    return OSD_OK;
}

int32_t COsdString::SystemSelectFont(int32_t nHeight) {
    System &s = *m_pSystem;
    if (s.bFixedHeight)
        nHeight = OSD_FONT_HEIGHT_DEFAULT;
    if (s.font != nullptr && m_nFontHeight != nHeight) {
        s.CloseFonts();
        m_nFontHeight = 0;
    }
    if (s.font != nullptr)
        return OSD_OK;
    const int32_t nPixels = nHeight < 0 ? -nHeight : nHeight;
    FcPattern *pattern = FcPatternCreate();
    if (pattern == nullptr)
        return OSD_E_FONT;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8 *>(s.face.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT, FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    s.font = OpenMatch(s.library, pattern, nPixels);
    FcPatternDestroy(pattern);
    if (s.font == nullptr)
        return OSD_E_FONT;
    // The cell height of a TrueType font on Windows comes from its Windows
    // ascent and descent; other fonts use their own metrics.
    const TT_OS2 *os2 = static_cast<const TT_OS2 *>(FT_Get_Sfnt_Table(s.font, FT_SFNT_OS2));
    if (os2 != nullptr && os2->usWinAscent != 0 && s.font->units_per_EM != 0) {
        const double scale = double(nPixels) / s.font->units_per_EM;
        s.nAscent = int32_t(std::lround(os2->usWinAscent * scale));
        s.nDescent = int32_t(std::lround(os2->usWinDescent * scale));
    } else {
        s.nAscent = Pixels(s.font->size->metrics.ascender);
        s.nDescent = -Pixels(s.font->size->metrics.descender);
    }
    m_nFontHeight = nHeight;
    return OSD_OK;
}

int32_t COsdString::SystemMeasure(const QV_WCHAR *pText, size_t nLength, int32_t *pnWidth,
                                  int32_t *pnHeight) {
    System &s = *m_pSystem;
    if (s.font == nullptr)
        return OSD_E_FAIL;
    const int32_t nPixels = m_nFontHeight < 0 ? -m_nFontHeight : m_nFontHeight;
    int32_t nWidth = 0;
    for (uint32_t c : CodePoints(pText, nLength)) {
        const Glyph g = FindGlyph(s.library, s.font, s.fallbacks, s.fallbackOf, c, nPixels);
        if (FT_Load_Glyph(g.face, g.index, FT_LOAD_TARGET_MONO) != 0)
            return OSD_E_FAIL;
        nWidth += Pixels(g.face->glyph->advance.x);
    }
    *pnWidth = nWidth;
    *pnHeight = s.nAscent + s.nDescent;
    return OSD_OK;
}

int32_t COsdString::SystemRender(const QV_WCHAR *pText, size_t nLength, int32_t nWidth, int32_t nHeight,
                                 uint8_t *pRgb, size_t nStride) {
    System &s = *m_pSystem;
    if (s.font == nullptr || nWidth <= 0 || nHeight <= 0)
        return OSD_E_BITMAP;
    std::memset(pRgb, 0, nStride * size_t(nHeight));
    const int32_t nPixels = m_nFontHeight < 0 ? -m_nFontHeight : m_nFontHeight;
    const int32_t nBaseline = 1 + s.nAscent;
    int32_t nPen = 1;
    for (uint32_t c : CodePoints(pText, nLength)) {
        const Glyph g = FindGlyph(s.library, s.font, s.fallbacks, s.fallbackOf, c, nPixels);
        if (FT_Load_Glyph(g.face, g.index, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO) != 0)
            return OSD_E_FAIL;
        FT_GlyphSlot slot = g.face->glyph;
        if (slot->format != FT_GLYPH_FORMAT_BITMAP && FT_Render_Glyph(slot, FT_RENDER_MODE_MONO) != 0)
            return OSD_E_FAIL;
        const FT_Bitmap &bitmap = slot->bitmap;
        if (s.byColour != 0 && bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
            const int32_t x0 = nPen + slot->bitmap_left;
            const int32_t y0 = nBaseline - slot->bitmap_top;
            for (unsigned r = 0; r < bitmap.rows; ++r) {
                const int32_t y = y0 + int32_t(r);
                if (y < 0 || y >= nHeight)
                    continue;
                const uint8_t *pRow = bitmap.buffer + ptrdiff_t(r) * bitmap.pitch;
                for (unsigned col = 0; col < bitmap.width; ++col) {
                    const int32_t x = x0 + int32_t(col);
                    if (x < 0 || x >= nWidth || !(pRow[col >> 3] & (0x80u >> (col & 7))))
                        continue;
                    std::memset(pRgb + size_t(y) * nStride + size_t(x) * 3, s.byColour, 3);
                }
            }
        }
        nPen += Pixels(slot->advance.x);
    }
    return OSD_OK;
}

void COsdString::SystemClose() {
    delete m_pSystem;
    m_pSystem = nullptr;
    m_nFontHeight = 0;
}
