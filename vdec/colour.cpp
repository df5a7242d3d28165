#include "vdec/colour.h"

#include <qvvdec.h>

#include <cmath>
#include <cstddef>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

uint32_t ClampSetting(uint32_t value) {
    return value > kColorMax ? kColorMax : value;
}

// The control curves are given with decimal constants. They are evaluated in
// scaled integers so that every value is exact: in binary floating point
// 125 x 0.01587 x 0.78125 x 1024 comes out just under 1587 and would truncate
// to 1586.

// Contrast or saturation factor in millionths: v / 64 below neutral,
// (v - 1) x 0.01587 above.
int64_t FactorMicro(uint32_t value) {
    if (value < kColorNeutral)
        return int64_t(value) * 15625;
    if (value == kColorNeutral)
        return 1000000;
    return (int64_t(value) - 1) * 15870;
}

// Brightness offset: b x 1.5625 - 100 below neutral, b x 1.5873 - 101.587
// above, truncated (integer division truncates toward zero).
int32_t BrightnessOffset(uint32_t value) {
    if (value < kColorNeutral)
        return int32_t((int64_t(value) * 15625 - 1000000) / 10000);
    if (value == kColorNeutral)
        return 0;
    return int32_t((int64_t(value) * 15873 - 1015870) / 10000);
}

// Hue angle in radians: h x 0.04909 - 3.14159 below neutral, h x 0.04987 -
// 3.19146 above (exact in hundred-thousandths up to the final conversion).
double HueAngle(uint32_t value) {
    if (value < kColorNeutral)
        return double(int64_t(value) * 4909 - 314159) / 100000.0;
    if (value == kColorNeutral)
        return 0.0;
    return double(int64_t(value) * 4987 - 319146) / 100000.0;
}

inline int32_t Clamp(int32_t value, int32_t low, int32_t high) {
    return value < low ? low : (value > high ? high : value);
}

// Luma of the whole byte range, for targets without SSE2.
[[maybe_unused]] void BuildLumaTable(const ColorCoefficients &coef, uint8_t table[256]) {
    for (int y = 0; y < 256; ++y)
        table[y] = ColorLumaSample(uint8_t(y), coef);
}

#ifdef __SSE2__

// Eight luma samples in 16-bit lanes. (y - 16) x gain / 1024 truncates toward
// zero: the magnitude is floor(|d| x gain / 1024), taken as the high half of
// (|d| << 6) x gain (|d| <= 239 so |d| << 6 fits 16 bits, gain <= 2047), and
// the sign is put back after.
struct LumaKernel {
    explicit LumaKernel(const ColorCoefficients &coef)
        : gain(_mm_set1_epi16(int16_t(coef.nGain))), bias(_mm_set1_epi16(int16_t(16 + coef.nOffset))),
          sixteen(_mm_set1_epi16(16)), low(_mm_set1_epi16(kColorLumaMin)),
          high(_mm_set1_epi16(kColorLumaMax)) {}

    __m128i operator()(__m128i y) const {
        __m128i d = _mm_sub_epi16(y, sixteen);
        __m128i sign = _mm_srai_epi16(d, 15);
        __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(d, sign), sign);
        __m128i scaled = _mm_mulhi_epu16(_mm_slli_epi16(magnitude, 6), gain);
        __m128i q = _mm_sub_epi16(_mm_xor_si128(scaled, sign), sign);
        return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(q, bias), low), high);
    }

    __m128i gain, bias, sixteen, low, high;
};

// Four (U, V) pairs interleaved in 16-bit lanes. madd gives cos x du + sin x dv
// and cos x dv - sin x du per pair in 32 bits; the product with satGain stays
// below 2^31 (|inner| <= 2 x 1024 x 128, satGain <= 4094), so the low 32 bits
// of the unsigned 32 x 32 multiply are the signed product.
struct ChromaKernel {
    explicit ChromaKernel(const ColorCoefficients &coef)
        : uWeights(_mm_set_epi16(int16_t(coef.nSine), int16_t(coef.nCosine), int16_t(coef.nSine),
                                 int16_t(coef.nCosine), int16_t(coef.nSine), int16_t(coef.nCosine),
                                 int16_t(coef.nSine), int16_t(coef.nCosine))),
          vWeights(_mm_set_epi16(int16_t(coef.nCosine), int16_t(-coef.nSine), int16_t(coef.nCosine),
                                 int16_t(-coef.nSine), int16_t(coef.nCosine), int16_t(-coef.nSine),
                                 int16_t(coef.nCosine), int16_t(-coef.nSine))),
          satGain(_mm_set1_epi32(coef.nSatGain)), roundMask(_mm_set1_epi32(0xFFFFF)),
          centre(_mm_set1_epi16(128)), low(_mm_set1_epi16(kColorChromaMin)),
          high(_mm_set1_epi16(kColorChromaMax)) {}

    __m128i Scale(__m128i inner) const {
        __m128i even = _mm_mul_epu32(inner, satGain);
        __m128i odd = _mm_mul_epu32(_mm_srli_epi64(inner, 32), satGain);
        __m128i product = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                                             _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
        // Divide by 2^20 truncating toward zero: negative values are biased
        // by 2^20 - 1 before the arithmetic shift.
        __m128i bias = _mm_and_si128(_mm_srai_epi32(product, 31), roundMask);
        return _mm_srai_epi32(_mm_add_epi32(product, bias), 20);
    }

    __m128i operator()(__m128i uv) const {
        __m128i d = _mm_sub_epi16(uv, centre);
        __m128i u = Scale(_mm_madd_epi16(d, uWeights));
        __m128i v = Scale(_mm_madd_epi16(d, vWeights));
        __m128i pairs = _mm_packs_epi32(_mm_unpacklo_epi32(u, v), _mm_unpackhi_epi32(u, v));
        return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(pairs, centre), low), high);
    }

    __m128i uWeights, vWeights, satGain, roundMask, centre, low, high;
};

#endif

} // namespace

bool IsColorStepNeeded(uint32_t brightness, uint32_t contrast, uint32_t saturation, uint32_t hue) {
    return ClampSetting(brightness) != kColorNeutral || ClampSetting(contrast) != kColorNeutral ||
           ClampSetting(saturation) != kColorNeutral || ClampSetting(hue) != kColorNeutral;
}

ColorCoefficients ComputeColorCoefficients(uint32_t brightness, uint32_t contrast, uint32_t saturation,
                                           uint32_t hue) {
    brightness = ClampSetting(brightness);
    contrast = ClampSetting(contrast);
    saturation = ClampSetting(saturation);
    hue = ClampSetting(hue);

    ColorCoefficients coef{};
    int64_t contrastMicro = FactorMicro(contrast);
    int64_t saturationMicro = FactorMicro(saturation);
    coef.nOffset = BrightnessOffset(brightness);
    coef.nGain = int32_t(contrastMicro * 1024 / 1000000);
    // The saturation gain always carries the contrast factor.
    coef.nSatGain = int32_t(saturationMicro * contrastMicro * 1024 / 1000000000000LL);
    double angle = HueAngle(hue);
    coef.nCosine = int32_t(std::cos(angle) * 1024.0);
    coef.nSine = int32_t(std::sin(angle) * 1024.0);
    coef.bLuma = brightness != kColorNeutral || contrast != kColorNeutral;
    coef.bChroma = contrast != kColorNeutral || saturation != kColorNeutral || hue != kColorNeutral;
    return coef;
}

uint8_t ColorLumaSample(uint8_t y, const ColorCoefficients &coef) {
    int32_t value = ((int32_t(y) - 16) * coef.nGain) / 1024 + 16 + coef.nOffset;
    return uint8_t(Clamp(value, kColorLumaMin, kColorLumaMax));
}

void ColorChromaSample(uint8_t u, uint8_t v, const ColorCoefficients &coef, uint8_t *pU, uint8_t *pV) {
    int32_t du = int32_t(u) - 128;
    int32_t dv = int32_t(v) - 128;
    int32_t newU = (coef.nSatGain * (coef.nCosine * du + coef.nSine * dv)) / 1048576 + 128;
    int32_t newV = (coef.nSatGain * (coef.nCosine * dv - coef.nSine * du)) / 1048576 + 128;
    *pU = uint8_t(Clamp(newU, kColorChromaMin, kColorChromaMax));
    *pV = uint8_t(Clamp(newV, kColorChromaMin, kColorChromaMax));
}

// ---- Reference forms ----

void ColorAdjustLumaScalar(uint8_t *pY, uint32_t width, uint32_t height, int32_t stride,
                           const ColorCoefficients &coef) {
    if (!coef.bLuma)
        return;
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pY + ptrdiff_t(row) * stride;
        for (uint32_t x = 0; x < width; ++x)
            p[x] = ColorLumaSample(p[x], coef);
    }
}

void ColorAdjustChromaScalar(uint8_t *pU, int32_t strideU, uint8_t *pV, int32_t strideV, uint32_t width,
                             uint32_t height, const ColorCoefficients &coef) {
    if (!coef.bChroma)
        return;
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *u = pU + ptrdiff_t(row) * strideU;
        uint8_t *v = pV + ptrdiff_t(row) * strideV;
        for (uint32_t x = 0; x < width; ++x)
            ColorChromaSample(u[x], v[x], coef, &u[x], &v[x]);
    }
}

void ColorAdjustChromaPairsScalar(uint8_t *pUV, uint32_t width, uint32_t height, int32_t stride,
                                  const ColorCoefficients &coef) {
    if (!coef.bChroma)
        return;
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pUV + ptrdiff_t(row) * stride;
        for (uint32_t x = 0; x < width; ++x)
            ColorChromaSample(p[2 * x], p[2 * x + 1], coef, &p[2 * x], &p[2 * x + 1]);
    }
}

void ColorAdjustYuy2Scalar(uint8_t *pPixels, uint32_t width, uint32_t height, int32_t stride,
                           const ColorCoefficients &coef) {
    uint32_t groups = width / 2;
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pPixels + ptrdiff_t(row) * stride;
        for (uint32_t g = 0; g < groups; ++g, p += 4) {
            if (coef.bLuma) {
                p[0] = ColorLumaSample(p[0], coef);
                p[2] = ColorLumaSample(p[2], coef);
            }
            if (coef.bChroma)
                ColorChromaSample(p[1], p[3], coef, &p[1], &p[3]);
        }
    }
}

// ---- Fast forms ----

void ColorAdjustLuma(uint8_t *pY, uint32_t width, uint32_t height, int32_t stride,
                     const ColorCoefficients &coef) {
    if (!coef.bLuma)
        return;
#ifdef __SSE2__
    const LumaKernel kernel(coef);
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pY + ptrdiff_t(row) * stride;
        uint32_t x = 0;
        for (; x + 16 <= width; x += 16) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + x));
            __m128i lo = kernel(_mm_unpacklo_epi8(bytes, zero));
            __m128i hi = kernel(_mm_unpackhi_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + x), _mm_packus_epi16(lo, hi));
        }
        for (; x < width; ++x)
            p[x] = ColorLumaSample(p[x], coef);
    }
#else
    uint8_t table[256];
    BuildLumaTable(coef, table);
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pY + ptrdiff_t(row) * stride;
        for (uint32_t x = 0; x < width; ++x)
            p[x] = table[p[x]];
    }
#endif
}

void ColorAdjustChroma(uint8_t *pU, int32_t strideU, uint8_t *pV, int32_t strideV, uint32_t width,
                       uint32_t height, const ColorCoefficients &coef) {
    if (!coef.bChroma)
        return;
#ifdef __SSE2__
    const ChromaKernel kernel(coef);
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *u = pU + ptrdiff_t(row) * strideU;
        uint8_t *v = pV + ptrdiff_t(row) * strideV;
        uint32_t x = 0;
        for (; x + 8 <= width; x += 8) {
            __m128i pairs = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(u + x)),
                                              _mm_loadl_epi64(reinterpret_cast<const __m128i *>(v + x)));
            __m128i lo = kernel(_mm_unpacklo_epi8(pairs, zero));
            __m128i hi = kernel(_mm_unpackhi_epi8(pairs, zero));
            __m128i out = _mm_packus_epi16(lo, hi);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(u + x),
                             _mm_packus_epi16(_mm_and_si128(out, lowBytes), zero));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(v + x),
                             _mm_packus_epi16(_mm_srli_epi16(out, 8), zero));
        }
        for (; x < width; ++x)
            ColorChromaSample(u[x], v[x], coef, &u[x], &v[x]);
    }
#else
    ColorAdjustChromaScalar(pU, strideU, pV, strideV, width, height, coef);
#endif
}

void ColorAdjustChromaPairs(uint8_t *pUV, uint32_t width, uint32_t height, int32_t stride,
                            const ColorCoefficients &coef) {
    if (!coef.bChroma)
        return;
#ifdef __SSE2__
    const ChromaKernel kernel(coef);
    const __m128i zero = _mm_setzero_si128();
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pUV + ptrdiff_t(row) * stride;
        uint32_t x = 0;
        for (; x + 8 <= width; x += 8) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2 * x));
            __m128i lo = kernel(_mm_unpacklo_epi8(bytes, zero));
            __m128i hi = kernel(_mm_unpackhi_epi8(bytes, zero));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 2 * x), _mm_packus_epi16(lo, hi));
        }
        for (; x < width; ++x)
            ColorChromaSample(p[2 * x], p[2 * x + 1], coef, &p[2 * x], &p[2 * x + 1]);
    }
#else
    ColorAdjustChromaPairsScalar(pUV, width, height, stride, coef);
#endif
}

void ColorAdjustYuy2(uint8_t *pPixels, uint32_t width, uint32_t height, int32_t stride,
                     const ColorCoefficients &coef) {
    if (!coef.bLuma && !coef.bChroma)
        return;
#ifdef __SSE2__
    const LumaKernel luma(coef);
    const ChromaKernel chroma(coef);
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    uint32_t groups = width / 2;
    for (uint32_t row = 0; row < height; ++row) {
        uint8_t *p = pPixels + ptrdiff_t(row) * stride;
        uint32_t g = 0;
        // Sixteen bytes hold four groups: Y in the low byte of each 16-bit
        // lane, U and V alternating in the high bytes.
        for (; g + 4 <= groups; g += 4) {
            __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 4 * g));
            __m128i y = _mm_and_si128(bytes, lowBytes);
            __m128i uv = _mm_srli_epi16(bytes, 8);
            if (coef.bLuma)
                y = luma(y);
            if (coef.bChroma)
                uv = chroma(uv);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 4 * g), _mm_or_si128(y, _mm_slli_epi16(uv, 8)));
        }
        for (uint8_t *q = p + 4 * g; g < groups; ++g, q += 4) {
            if (coef.bLuma) {
                q[0] = ColorLumaSample(q[0], coef);
                q[2] = ColorLumaSample(q[2], coef);
            }
            if (coef.bChroma)
                ColorChromaSample(q[1], q[3], coef, &q[1], &q[3]);
        }
    }
#else
    ColorAdjustYuy2Scalar(pPixels, width, height, stride, coef);
#endif
}

int32_t ColorAdjustPicture(uint8_t *pBuffer, uint32_t fourcc, uint32_t width, uint32_t height,
                           const ColorCoefficients &coef) {
    size_t lumaSize = size_t(width) * height;
    uint32_t chromaWidth = width / 2;
    uint32_t chromaHeight = height / 2;
    switch (fourcc) {
    case VDEC_FOURCC_YV12: {
        uint8_t *pV = pBuffer + lumaSize;
        uint8_t *pU = pV + size_t(chromaWidth) * chromaHeight;
        ColorAdjustLuma(pBuffer, width, height, int32_t(width), coef);
        ColorAdjustChroma(pU, int32_t(chromaWidth), pV, int32_t(chromaWidth), chromaWidth, chromaHeight,
                          coef);
        return VDEC_OK;
    }
    case VDEC_FOURCC_NV12:
        ColorAdjustLuma(pBuffer, width, height, int32_t(width), coef);
        ColorAdjustChromaPairs(pBuffer + lumaSize, chromaWidth, chromaHeight, int32_t(width), coef);
        return VDEC_OK;
    case VDEC_FOURCC_YUY2:
        ColorAdjustYuy2(pBuffer, width, height, int32_t(width * 2), coef);
        return VDEC_OK;
    default:
        return VDEC_E_NOT_SUPPORTED;
    }
}
