// Glyph lookup and drawing for the built-in bitmap fonts.
#include "demux/fonts.h"

#include <cstddef>

namespace {

constexpr uint32_t kHanCodePoints[kFontHanCount] = {0x661F, 0x671F, 0x65E5, 0x4E00, 0x4E8C,
                                                    0x4E09, 0x56DB, 0x4E94, 0x516D};

} // namespace

bool GetAsciiGlyph(uint32_t nCode, uint32_t nHeight, FontGlyph *pGlyph) {
    if (pGlyph == nullptr || nCode < kFontAsciiFirst || nCode > kFontAsciiLast)
        return false;
    const uint32_t index = nCode - kFontAsciiFirst;
    if (nHeight == 16) {
        pGlyph->pBits = kFontAscii16[index];
        pGlyph->wWidth = 8;
        pGlyph->wHeight = 16;
        pGlyph->wStride = 1;
        return true;
    }
    if (nHeight == 32) {
        pGlyph->pBits = kFontAscii32[index];
        pGlyph->wWidth = 16;
        pGlyph->wHeight = 32;
        pGlyph->wStride = 2;
        return true;
    }
    return false;
}

bool GetHanGlyph(int nChar, uint32_t nHeight, FontGlyph *pGlyph) {
    if (pGlyph == nullptr || nChar < 0 || nChar >= kFontHanCount)
        return false;
    if (nHeight == 16) {
        pGlyph->pBits = kFontHan16[nChar];
        pGlyph->wWidth = 16;
        pGlyph->wHeight = 16;
        pGlyph->wStride = 2;
        return true;
    }
    if (nHeight == 32) {
        pGlyph->pBits = kFontHan32[nChar];
        pGlyph->wWidth = 32;
        pGlyph->wHeight = 32;
        pGlyph->wStride = 4;
        return true;
    }
    return false;
}

uint32_t GetHanCodePoint(int nChar) {
    if (nChar < 0 || nChar >= kFontHanCount)
        return 0;
    return kHanCodePoints[nChar];
}

bool GetWeekdayHanChars(uint32_t nWeekday, int anChars[3]) {
    static constexpr int kDayChars[7] = {kFontHanYi, kFontHanEr,  kFontHanSan, kFontHanSi,
                                         kFontHanWu, kFontHanLiu, kFontHanRi};
    if (anChars == nullptr || nWeekday < 1 || nWeekday > 7)
        return false;
    anChars[0] = kFontHanXing;
    anChars[1] = kFontHanQi;
    anChars[2] = kDayChars[nWeekday - 1];
    return true;
}

void DrawGlyph(uint8_t *pBits, uint32_t nStride, uint32_t nRows, uint32_t nX, uint32_t nY,
               const FontGlyph &glyph) {
    if (pBits == nullptr || glyph.pBits == nullptr)
        return;
    const uint64_t columns = uint64_t(nStride) * 8;
    for (uint32_t row = 0; row < glyph.wHeight; ++row) {
        const uint64_t y = uint64_t(nY) + row;
        if (y >= nRows)
            break;
        const uint8_t *src = glyph.pBits + size_t(row) * glyph.wStride;
        uint8_t *dst = pBits + size_t(y) * nStride;
        for (uint32_t col = 0; col < glyph.wWidth; ++col) {
            const uint64_t x = uint64_t(nX) + col;
            if (x >= columns)
                break;
            if (src[col >> 3] & (0x80u >> (col & 7)))
                dst[x >> 3] |= uint8_t(0x80u >> (x & 7));
        }
    }
}
