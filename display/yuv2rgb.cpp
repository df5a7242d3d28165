#include "display/yuv2rgb.h"

#include "display/yuv2rgb_simd.h"
#include "platform/system.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

// The coefficient sets as types, so that the per-pixel step is compiled once
// per set and the set is chosen once per picture.
struct Bt601 {
    static constexpr int kR = CONVERT_BT601_KR, kGU = CONVERT_BT601_KGU, kGV = CONVERT_BT601_KGV,
                         kB = CONVERT_BT601_KB;
};
struct Bt709 {
    static constexpr int kR = CONVERT_BT709_KR, kGU = CONVERT_BT709_KGU, kGV = CONVERT_BT709_KGV,
                         kB = CONVERT_BT709_KB;
};

inline uint8_t Clamp(int value) {
    return value <= 0 ? 0 : value >= 255 ? 255 : uint8_t(value);
}

// One pixel by the integer formulas; the divisions truncate toward zero.
template <class Set> inline void PixelStep(int y, int u, int v, uint8_t *pB, uint8_t *pG, uint8_t *pR) {
    const int c = y - 16, d = u - 128, e = v - 128;
    *pR = Clamp((CONVERT_KY * c + Set::kR * e) / 128);
    *pG = Clamp((CONVERT_KY * c - Set::kGU * d - Set::kGV * e) / 128);
    *pB = Clamp((CONVERT_KY * c + Set::kB * d) / 128);
}

template <class Set> inline void PixelAt(uint8_t *pBgr, uint32_t x, int y, int u, int v) {
    uint8_t *p = pBgr + size_t(x) * 3;
    PixelStep<Set>(y, u, v, p, p + 1, p + 2);
}

enum class Layout { kPlanar, kPairs, kPacked, kIyu2 };

struct Format {
    Layout layout;
    uint32_t bitsPerPixel;
    bool bVFirst;  // planar and pairs: the V plane or sample comes first
    uint8_t offY0; // packed: byte offsets inside a four-byte group
    uint8_t offU;
    uint8_t offY1;
    uint8_t offV;
};

bool Describe(uint32_t fourcc, Format &format) {
    switch (fourcc) {
    case DISPLAY_FOURCC_I420:
        format = {Layout::kPlanar, 12, false, 0, 0, 0, 0};
        return true;
    case DISPLAY_FOURCC_YV12:
        format = {Layout::kPlanar, 12, true, 0, 0, 0, 0};
        return true;
    case DISPLAY_FOURCC_NV12:
        format = {Layout::kPairs, 12, false, 0, 0, 0, 0};
        return true;
    case DISPLAY_FOURCC_NV21:
        format = {Layout::kPairs, 12, true, 0, 0, 0, 0};
        return true;
    case DISPLAY_FOURCC_YUY2:
        format = {Layout::kPacked, 16, false, 0, 1, 2, 3};
        return true;
    case DISPLAY_FOURCC_YVYU:
        format = {Layout::kPacked, 16, false, 0, 3, 2, 1};
        return true;
    case DISPLAY_FOURCC_UYVY:
        format = {Layout::kPacked, 16, false, 1, 0, 3, 2};
        return true;
    case DISPLAY_FOURCC_IYU2:
        format = {Layout::kIyu2, 24, false, 0, 0, 0, 0};
        return true;
    default:
        return false;
    }
}

// One checked picture.
struct Picture {
    const uint8_t *pSrc;
    uint8_t *pDst;
    uint32_t w, h;
    size_t pitch;
    bool bTopDown;

    uint8_t *DstRow(uint32_t y) const { return pDst + size_t(bTopDown ? y : h - 1 - y) * pitch; }
};

template <class Set>
void ConvertPlanar(const Picture &pic, const Format &format, const Yuv2RgbRows *pRows,
                   const Yuv2RgbCoefficients &coef) {
    const size_t lumaSize = size_t(pic.w) * pic.h;
    const uint8_t *pFirst = pic.pSrc + lumaSize;
    const uint8_t *pSecond = pic.pSrc + (5 * lumaSize) / 4;
    const uint8_t *pPlaneU = format.bVFirst ? pSecond : pFirst;
    const uint8_t *pPlaneV = format.bVFirst ? pFirst : pSecond;
    const size_t chromaWidth = pic.w / 2;
    for (uint32_t y = 0; y < pic.h; ++y) {
        const uint8_t *pY = pic.pSrc + size_t(y) * pic.w;
        const uint8_t *pU = pPlaneU + size_t(y / 2) * chromaWidth;
        const uint8_t *pV = pPlaneV + size_t(y / 2) * chromaWidth;
        uint8_t *pBgr = pic.DstRow(y);
        uint32_t x = pRows ? pRows->pfnPlanar(pY, pU, pV, pBgr, pic.w, coef) : 0;
        for (; x < pic.w; ++x)
            PixelAt<Set>(pBgr, x, pY[x], pU[x / 2], pV[x / 2]);
    }
}

template <class Set>
void ConvertPairs(const Picture &pic, const Format &format, const Yuv2RgbRows *pRows,
                  const Yuv2RgbCoefficients &coef) {
    const uint8_t *pChromaPlane = pic.pSrc + size_t(pic.w) * pic.h;
    const uint32_t offU = format.bVFirst ? 1 : 0, offV = 1 - offU;
    for (uint32_t y = 0; y < pic.h; ++y) {
        const uint8_t *pY = pic.pSrc + size_t(y) * pic.w;
        const uint8_t *pChroma = pChromaPlane + size_t(y / 2) * pic.w;
        uint8_t *pBgr = pic.DstRow(y);
        uint32_t x = pRows ? pRows->pfnPairs(pY, pChroma, format.bVFirst, pBgr, pic.w, coef) : 0;
        for (; x < pic.w; ++x) {
            const uint8_t *pPair = pChroma + (x & ~1u);
            PixelAt<Set>(pBgr, x, pY[x], pPair[offU], pPair[offV]);
        }
    }
}

template <class Set>
void ConvertPacked(const Picture &pic, uint32_t fourcc, const Format &format, const Yuv2RgbRows *pRows,
                   const Yuv2RgbCoefficients &coef) {
    for (uint32_t y = 0; y < pic.h; ++y) {
        const uint8_t *pRow = pic.pSrc + size_t(y) * pic.w * 2;
        uint8_t *pBgr = pic.DstRow(y);
        // The vector routines stop at an even pixel: the pairs stay whole.
        uint32_t x = pRows ? pRows->pfnPacked(pRow, fourcc, pBgr, pic.w, coef) : 0;
        for (; x < pic.w; x += 2) {
            const uint8_t *pGroup = pRow + size_t(x) * 2;
            const int u = pGroup[format.offU], v = pGroup[format.offV];
            PixelAt<Set>(pBgr, x, pGroup[format.offY0], u, v);
            PixelAt<Set>(pBgr, x + 1, pGroup[format.offY1], u, v);
        }
    }
}

template <class Set> void ConvertIyu2(const Picture &pic) {
    for (uint32_t y = 0; y < pic.h; ++y) {
        const uint8_t *pRow = pic.pSrc + size_t(y) * pic.w * 3;
        uint8_t *pBgr = pic.DstRow(y);
        for (uint32_t x = 0; x < pic.w; ++x) {
            const uint8_t *p = pRow + size_t(x) * 3;
            PixelAt<Set>(pBgr, x, p[1], p[0], p[2]);
        }
    }
}

template <class Set>
void ConvertPicture(const Picture &pic, uint32_t fourcc, const Format &format, const Yuv2RgbRows *pRows) {
    static constexpr Yuv2RgbCoefficients kCoef = {Set::kR, Set::kGU, Set::kGV, Set::kB};
    switch (format.layout) {
    case Layout::kPlanar:
        ConvertPlanar<Set>(pic, format, pRows, kCoef);
        break;
    case Layout::kPairs:
        ConvertPairs<Set>(pic, format, pRows, kCoef);
        break;
    case Layout::kPacked:
        ConvertPacked<Set>(pic, fourcc, format, pRows, kCoef);
        break;
    case Layout::kIyu2:
        ConvertIyu2<Set>(pic);
        break;
    }
}

// What a fault handler around the conversion would report: the picture or
// the destination is smaller than the conversion reaches.
void ReportAccessViolation(const CONVERT_SETTING &setting) {
    char line[1024];
    platform::DebugOutput("EXCEPTION_ACCESS_VIOLATION occurs in CYuv2Rgb::Convert!\n");
    std::snprintf(
        line, sizeof(line),
        "CONVERT_SETTING::dwFourCC=0x%X, wWidth=%u, wHeight=%u, pYuv=0x%p, pRgb24=0x%p, bTopDown=%d, "
        "dwPicth=%u\n",
        unsigned(setting.dwFourCC), unsigned(setting.wWidth), unsigned(setting.wHeight),
        static_cast<const void *>(setting.pYuv), static_cast<void *>(setting.pRgb24), int(setting.bTopDown),
        unsigned(setting.dwPicth));
    platform::DebugOutput(line);
}

} // namespace

BOOL Yuv2RgbConvertWith(const CONVERT_SETTING *pSetting, Yuv2RgbVectors level) {
    if (!pSetting || !pSetting->pYuv || !pSetting->pRgb24)
        return 0;
    const CONVERT_SETTING &setting = *pSetting;
    if (setting.wWidth <= 0 || setting.wHeight <= 0)
        return 0;
    const uint64_t w = uint64_t(setting.wWidth), h = uint64_t(setting.wHeight);
    if (uint64_t(setting.dwPicth) < 3 * w)
        return 0;
    const bool bHighDefinition = setting.wWidth >= CONVERT_HD_WIDTH && setting.wHeight >= CONVERT_HD_HEIGHT;

    Format format;
    if (!Describe(setting.dwFourCC, format))
        return 0;
    if (format.layout == Layout::kPacked && w % 2 != 0)
        return 0;
    if ((format.layout == Layout::kPlanar || format.layout == Layout::kPairs) && (w % 2 != 0 || h % 2 != 0))
        return 0;

    // Both sizes are optional (0: not given); a given size must cover what
    // the conversion reads and writes.
    const uint64_t yuvNeeded = w * h * format.bitsPerPixel / 8;
    const uint64_t rgbNeeded = (h - 1) * setting.dwPicth + 3 * w;
    if ((setting.dwYuvSize != 0 && setting.dwYuvSize < yuvNeeded) ||
        (setting.dwRgbSize != 0 && setting.dwRgbSize < rgbNeeded) || yuvNeeded > SIZE_MAX ||
        rgbNeeded > SIZE_MAX) {
        ReportAccessViolation(setting);
        return 0;
    }

    const Picture pic = {.pSrc = setting.pYuv,
                         .pDst = setting.pRgb24,
                         .w = uint32_t(w),
                         .h = uint32_t(h),
                         .pitch = size_t(setting.dwPicth),
                         .bTopDown = setting.bTopDown != 0};
    const Yuv2RgbRows *pRows = Yuv2RgbRowsFor(level);
    if (bHighDefinition)
        ConvertPicture<Bt709>(pic, setting.dwFourCC, format, pRows);
    else
        ConvertPicture<Bt601>(pic, setting.dwFourCC, format, pRows);
    return 1;
}

BOOL CYuv2Rgb::Convert(const CONVERT_SETTING *pSetting) {
    static const Yuv2RgbVectors best = Yuv2RgbBestVectors();
    return Yuv2RgbConvertWith(pSetting, best);
}

BOOL CYuv2Rgb::ConvertScalar(const CONVERT_SETTING *pSetting) {
    return Yuv2RgbConvertWith(pSetting, Yuv2RgbVectors::kNone);
}
