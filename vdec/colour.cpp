#include "vdec/colour.h"

#include <qvvdec.h>

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// 32-byte vectors are chosen at run time on 64-bit x86 outside Windows.
#if defined(__SSE2__) && defined(__x86_64__) && !defined(_WIN32) && defined(__GNUC__)
#define QV_COLOR_WIDE 1
#include <immintrin.h>
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

// Rows of width bytes from pSrc to pDst; nothing to do in place.
void CopyRows(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride, uint32_t width,
              uint32_t height) {
    if (pSrc == pDst && srcStride == dstStride)
        return;
    for (uint32_t row = 0; row < height; ++row)
        std::memcpy(pDst + ptrdiff_t(row) * dstStride, pSrc + ptrdiff_t(row) * srcStride, width);
}

#ifdef __SSE2__

// Luma: (y - 16) x gain / 1024 truncates toward zero. y - 16 is split into
// its positive part max(y - 16, 0) and its negative part max(16 - y, 0) (one
// of them is 0); each scaled part floors, which for the negative part is the
// truncation asked for. A part p, placed in the high byte of a 16-bit lane,
// gives floor(p x gain / 256) as the high half of its product with the gain
// (gain <= 2047), and a shift by 2 more makes it / 1024.
struct LumaKernel {
    explicit LumaKernel(const ColorCoefficients &coef)
        : gain(_mm_set1_epi16(int16_t(coef.nGain))), bias(_mm_set1_epi16(int16_t(16 + coef.nOffset))),
          sixteenWords(_mm_set1_epi16(16)), sixteenBytes(_mm_set1_epi8(16)),
          lowWords(_mm_set1_epi16(kColorLumaMin)), highWords(_mm_set1_epi16(kColorLumaMax)),
          lowBytes(_mm_set1_epi8(char(kColorLumaMin))), highBytes(_mm_set1_epi8(char(kColorLumaMax))),
          zero(_mm_setzero_si128()) {}

    // A part times 256 in each lane to the part times gain / 1024.
    __m128i Scaled(__m128i part256) const { return _mm_srli_epi16(_mm_mulhi_epu16(part256, gain), 2); }

    // Eight samples in 16-bit lanes.
    __m128i Words(__m128i y) const {
        __m128i positive = _mm_slli_epi16(_mm_subs_epu16(y, sixteenWords), 8);
        __m128i negative = _mm_slli_epi16(_mm_subs_epu16(sixteenWords, y), 8);
        __m128i q = _mm_sub_epi16(Scaled(positive), Scaled(negative));
        return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(q, bias), lowWords), highWords);
    }

    // Sixteen samples in bytes. The sums lie in -115..593; saturating them to
    // bytes before the clamp to 16..235 gives the same bytes.
    __m128i Bytes(__m128i y) const {
        __m128i positive = _mm_subs_epu8(y, sixteenBytes);
        __m128i negative = _mm_subs_epu8(sixteenBytes, y);
        __m128i lo = _mm_sub_epi16(Scaled(_mm_unpacklo_epi8(zero, positive)),
                                   Scaled(_mm_unpacklo_epi8(zero, negative)));
        __m128i hi = _mm_sub_epi16(Scaled(_mm_unpackhi_epi8(zero, positive)),
                                   Scaled(_mm_unpackhi_epi8(zero, negative)));
        __m128i out = _mm_packus_epi16(_mm_add_epi16(lo, bias), _mm_add_epi16(hi, bias));
        return _mm_min_epu8(_mm_max_epu8(out, lowBytes), highBytes);
    }

    __m128i gain, bias, sixteenWords, sixteenBytes, lowWords, highWords, lowBytes, highBytes, zero;
};

// The chroma weights. satGain x (cos x du + sin x dv) equals A x du + B x dv
// with A = satGain x cos and B = satGain x sin (|A|, |B| < 2^22). Each weight
// is split into w = high x 2^15 + low with low in 0..32767, so that two
// 16-bit multiply-adds give the product exactly:
// (du x highA + dv x highB) x 2^15 + (du x lowA + dv x lowB). The sum stays
// below 2^31 (it is the reference's own 32-bit product).
struct ChromaWeights {
    explicit ChromaWeights(const ColorCoefficients &coef) {
        const int32_t a = coef.nSatGain * coef.nCosine;
        const int32_t b = coef.nSatGain * coef.nSine;
        // U' from (du, dv) x (A, B); V' from (du, dv) x (-B, A).
        uHigh = Pair(a >> 15, b >> 15);
        uLow = Pair(a & 0x7FFF, b & 0x7FFF);
        vHigh = Pair((-b) >> 15, a >> 15);
        vLow = Pair((-b) & 0x7FFF, a & 0x7FFF);
    }
    // Two 16-bit weights for one (du, dv) lane pair, du's first.
    static int32_t Pair(int32_t forU, int32_t forV) {
        return int32_t(uint32_t(uint16_t(forU)) | (uint32_t(uint16_t(forV)) << 16));
    }
    int32_t uHigh, uLow, vHigh, vLow;
};

// Four (U, V) pairs interleaved in 16-bit lanes.
struct ChromaKernel {
    explicit ChromaKernel(const ColorCoefficients &coef)
        : weights(coef), uHigh(_mm_set1_epi32(weights.uHigh)), uLow(_mm_set1_epi32(weights.uLow)),
          vHigh(_mm_set1_epi32(weights.vHigh)), vLow(_mm_set1_epi32(weights.vLow)),
          roundMask(_mm_set1_epi32(0xFFFFF)), centre(_mm_set1_epi16(128)),
          low(_mm_set1_epi16(kColorChromaMin)), high(_mm_set1_epi16(kColorChromaMax)) {}

    // Divides by 2^20 truncating toward zero: negative values are biased by
    // 2^20 - 1 before the arithmetic shift.
    __m128i Divide(__m128i product) const {
        __m128i bias = _mm_and_si128(_mm_srai_epi32(product, 31), roundMask);
        return _mm_srai_epi32(_mm_add_epi32(product, bias), 20);
    }

    __m128i operator()(__m128i uv) const {
        __m128i d = _mm_sub_epi16(uv, centre);
        __m128i u =
            Divide(_mm_add_epi32(_mm_slli_epi32(_mm_madd_epi16(d, uHigh), 15), _mm_madd_epi16(d, uLow)));
        __m128i v =
            Divide(_mm_add_epi32(_mm_slli_epi32(_mm_madd_epi16(d, vHigh), 15), _mm_madd_epi16(d, vLow)));
        __m128i pairs = _mm_packs_epi32(_mm_unpacklo_epi32(u, v), _mm_unpackhi_epi32(u, v));
        return _mm_min_epi16(_mm_max_epi16(_mm_add_epi16(pairs, centre), low), high);
    }

    ChromaWeights weights;
    __m128i uHigh, uLow, vHigh, vLow, roundMask, centre, low, high;
};

// Sixteen U and sixteen V samples through the kernel, written back apart.
inline void ChromaSixteen(const ChromaKernel &kernel, const uint8_t *pSrcU, const uint8_t *pSrcV,
                          uint8_t *pDstU, uint8_t *pDstV) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pSrcU));
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pSrcV));
    __m128i pairs0 = _mm_unpacklo_epi8(u, v);
    __m128i pairs1 = _mm_unpackhi_epi8(u, v);
    __m128i out0 =
        _mm_packus_epi16(kernel(_mm_unpacklo_epi8(pairs0, zero)), kernel(_mm_unpackhi_epi8(pairs0, zero)));
    __m128i out1 =
        _mm_packus_epi16(kernel(_mm_unpacklo_epi8(pairs1, zero)), kernel(_mm_unpackhi_epi8(pairs1, zero)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(pDstU),
                     _mm_packus_epi16(_mm_and_si128(out0, lowBytes), _mm_and_si128(out1, lowBytes)));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(pDstV),
                     _mm_packus_epi16(_mm_srli_epi16(out0, 8), _mm_srli_epi16(out1, 8)));
}

#endif

#ifdef QV_COLOR_WIDE

// The same kernels on 32-byte vectors. AVX2 works within 16-byte halves for
// unpacking and packing; every pack undoes an unpack of the same half, so
// the samples come back in order.
#define QV_WIDE __attribute__((target("avx2")))

struct LumaKernelWide {
    QV_WIDE explicit LumaKernelWide(const ColorCoefficients &coef)
        : gain(_mm256_set1_epi16(int16_t(coef.nGain))), bias(_mm256_set1_epi16(int16_t(16 + coef.nOffset))),
          sixteen(_mm256_set1_epi8(16)), lowBytes(_mm256_set1_epi8(char(kColorLumaMin))),
          highBytes(_mm256_set1_epi8(char(kColorLumaMax))), zero(_mm256_setzero_si256()) {}

    QV_WIDE __m256i Scaled(__m256i part256) const {
        return _mm256_srli_epi16(_mm256_mulhi_epu16(part256, gain), 2);
    }

    QV_WIDE __m256i Bytes(__m256i y) const {
        __m256i positive = _mm256_subs_epu8(y, sixteen);
        __m256i negative = _mm256_subs_epu8(sixteen, y);
        __m256i lo = _mm256_sub_epi16(Scaled(_mm256_unpacklo_epi8(zero, positive)),
                                      Scaled(_mm256_unpacklo_epi8(zero, negative)));
        __m256i hi = _mm256_sub_epi16(Scaled(_mm256_unpackhi_epi8(zero, positive)),
                                      Scaled(_mm256_unpackhi_epi8(zero, negative)));
        __m256i out = _mm256_packus_epi16(_mm256_add_epi16(lo, bias), _mm256_add_epi16(hi, bias));
        return _mm256_min_epu8(_mm256_max_epu8(out, lowBytes), highBytes);
    }

    __m256i gain, bias, sixteen, lowBytes, highBytes, zero;
};

struct ChromaKernelWide {
    QV_WIDE explicit ChromaKernelWide(const ColorCoefficients &coef)
        : weights(coef), uHigh(_mm256_set1_epi32(weights.uHigh)), uLow(_mm256_set1_epi32(weights.uLow)),
          vHigh(_mm256_set1_epi32(weights.vHigh)), vLow(_mm256_set1_epi32(weights.vLow)),
          roundMask(_mm256_set1_epi32(0xFFFFF)), centre(_mm256_set1_epi16(128)),
          low(_mm256_set1_epi16(kColorChromaMin)), high(_mm256_set1_epi16(kColorChromaMax)) {}

    QV_WIDE __m256i Divide(__m256i product) const {
        __m256i bias = _mm256_and_si256(_mm256_srai_epi32(product, 31), roundMask);
        return _mm256_srai_epi32(_mm256_add_epi32(product, bias), 20);
    }

    QV_WIDE __m256i operator()(__m256i uv) const {
        __m256i d = _mm256_sub_epi16(uv, centre);
        __m256i u = Divide(
            _mm256_add_epi32(_mm256_slli_epi32(_mm256_madd_epi16(d, uHigh), 15), _mm256_madd_epi16(d, uLow)));
        __m256i v = Divide(
            _mm256_add_epi32(_mm256_slli_epi32(_mm256_madd_epi16(d, vHigh), 15), _mm256_madd_epi16(d, vLow)));
        __m256i pairs = _mm256_packs_epi32(_mm256_unpacklo_epi32(u, v), _mm256_unpackhi_epi32(u, v));
        return _mm256_min_epi16(_mm256_max_epi16(_mm256_add_epi16(pairs, centre), low), high);
    }

    ChromaWeights weights;
    __m256i uHigh, uLow, vHigh, vLow, roundMask, centre, low, high;
};

QV_WIDE void LumaRowsWide(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                          uint32_t width, uint32_t height, const ColorCoefficients &coef) {
    const LumaKernelWide kernel(coef);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *src = pSrc + ptrdiff_t(row) * srcStride;
        uint8_t *dst = pDst + ptrdiff_t(row) * dstStride;
        uint32_t x = 0;
        for (; x + 32 <= width; x += 32) {
            __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + x));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + x), kernel.Bytes(y));
        }
        for (; x < width; ++x)
            dst[x] = ColorLumaSample(src[x], coef);
    }
}

QV_WIDE void ChromaRowsWide(const uint8_t *pSrcU, int32_t srcStrideU, const uint8_t *pSrcV,
                            int32_t srcStrideV, uint8_t *pDstU, int32_t dstStrideU, uint8_t *pDstV,
                            int32_t dstStrideV, uint32_t width, uint32_t height,
                            const ColorCoefficients &coef) {
    const ChromaKernelWide kernel(coef);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *srcU = pSrcU + ptrdiff_t(row) * srcStrideU;
        const uint8_t *srcV = pSrcV + ptrdiff_t(row) * srcStrideV;
        uint8_t *dstU = pDstU + ptrdiff_t(row) * dstStrideU;
        uint8_t *dstV = pDstV + ptrdiff_t(row) * dstStrideV;
        uint32_t x = 0;
        for (; x + 32 <= width; x += 32) {
            __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(srcU + x));
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(srcV + x));
            __m256i pairs0 = _mm256_unpacklo_epi8(u, v);
            __m256i pairs1 = _mm256_unpackhi_epi8(u, v);
            __m256i out0 = _mm256_packus_epi16(kernel(_mm256_unpacklo_epi8(pairs0, zero)),
                                               kernel(_mm256_unpackhi_epi8(pairs0, zero)));
            __m256i out1 = _mm256_packus_epi16(kernel(_mm256_unpacklo_epi8(pairs1, zero)),
                                               kernel(_mm256_unpackhi_epi8(pairs1, zero)));
            _mm256_storeu_si256(
                reinterpret_cast<__m256i *>(dstU + x),
                _mm256_packus_epi16(_mm256_and_si256(out0, lowBytes), _mm256_and_si256(out1, lowBytes)));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(dstV + x),
                                _mm256_packus_epi16(_mm256_srli_epi16(out0, 8), _mm256_srli_epi16(out1, 8)));
        }
        for (; x < width; ++x)
            ColorChromaSample(srcU[x], srcV[x], coef, &dstU[x], &dstV[x]);
    }
}

#undef QV_WIDE

std::atomic<bool> g_bWideAllowed{true};

bool WideVectors() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available && g_bWideAllowed.load(std::memory_order_relaxed);
}

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

void ColorCopyLumaScalar(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                         uint32_t width, uint32_t height, const ColorCoefficients &coef) {
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *src = pSrc + ptrdiff_t(row) * srcStride;
        uint8_t *dst = pDst + ptrdiff_t(row) * dstStride;
        for (uint32_t x = 0; x < width; ++x)
            dst[x] = coef.bLuma ? ColorLumaSample(src[x], coef) : src[x];
    }
}

void ColorCopyChromaScalar(const uint8_t *pSrcU, int32_t srcStrideU, const uint8_t *pSrcV, int32_t srcStrideV,
                           uint8_t *pDstU, int32_t dstStrideU, uint8_t *pDstV, int32_t dstStrideV,
                           uint32_t width, uint32_t height, const ColorCoefficients &coef) {
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *srcU = pSrcU + ptrdiff_t(row) * srcStrideU;
        const uint8_t *srcV = pSrcV + ptrdiff_t(row) * srcStrideV;
        uint8_t *dstU = pDstU + ptrdiff_t(row) * dstStrideU;
        uint8_t *dstV = pDstV + ptrdiff_t(row) * dstStrideV;
        for (uint32_t x = 0; x < width; ++x) {
            if (coef.bChroma) {
                ColorChromaSample(srcU[x], srcV[x], coef, &dstU[x], &dstV[x]);
            } else {
                dstU[x] = srcU[x];
                dstV[x] = srcV[x];
            }
        }
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

void ColorCopyLuma(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride, uint32_t width,
                   uint32_t height, const ColorCoefficients &coef) {
    if (!coef.bLuma) {
        CopyRows(pSrc, srcStride, pDst, dstStride, width, height);
        return;
    }
#ifdef QV_COLOR_WIDE
    if (WideVectors()) {
        LumaRowsWide(pSrc, srcStride, pDst, dstStride, width, height, coef);
        return;
    }
#endif
#ifdef __SSE2__
    const LumaKernel kernel(coef);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *src = pSrc + ptrdiff_t(row) * srcStride;
        uint8_t *dst = pDst + ptrdiff_t(row) * dstStride;
        uint32_t x = 0;
        for (; x + 16 <= width; x += 16) {
            __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + x));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x), kernel.Bytes(y));
        }
        for (; x < width; ++x)
            dst[x] = ColorLumaSample(src[x], coef);
    }
#else
    uint8_t table[256];
    BuildLumaTable(coef, table);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *src = pSrc + ptrdiff_t(row) * srcStride;
        uint8_t *dst = pDst + ptrdiff_t(row) * dstStride;
        for (uint32_t x = 0; x < width; ++x)
            dst[x] = table[src[x]];
    }
#endif
}

void ColorCopyChroma(const uint8_t *pSrcU, int32_t srcStrideU, const uint8_t *pSrcV, int32_t srcStrideV,
                     uint8_t *pDstU, int32_t dstStrideU, uint8_t *pDstV, int32_t dstStrideV, uint32_t width,
                     uint32_t height, const ColorCoefficients &coef) {
    if (!coef.bChroma) {
        CopyRows(pSrcU, srcStrideU, pDstU, dstStrideU, width, height);
        CopyRows(pSrcV, srcStrideV, pDstV, dstStrideV, width, height);
        return;
    }
#ifdef QV_COLOR_WIDE
    if (WideVectors()) {
        ChromaRowsWide(pSrcU, srcStrideU, pSrcV, srcStrideV, pDstU, dstStrideU, pDstV, dstStrideV, width,
                       height, coef);
        return;
    }
#endif
#ifdef __SSE2__
    const ChromaKernel kernel(coef);
    for (uint32_t row = 0; row < height; ++row) {
        const uint8_t *srcU = pSrcU + ptrdiff_t(row) * srcStrideU;
        const uint8_t *srcV = pSrcV + ptrdiff_t(row) * srcStrideV;
        uint8_t *dstU = pDstU + ptrdiff_t(row) * dstStrideU;
        uint8_t *dstV = pDstV + ptrdiff_t(row) * dstStrideV;
        uint32_t x = 0;
        for (; x + 16 <= width; x += 16)
            ChromaSixteen(kernel, srcU + x, srcV + x, dstU + x, dstV + x);
        for (; x < width; ++x)
            ColorChromaSample(srcU[x], srcV[x], coef, &dstU[x], &dstV[x]);
    }
#else
    ColorCopyChromaScalar(pSrcU, srcStrideU, pSrcV, srcStrideV, pDstU, dstStrideU, pDstV, dstStrideV, width,
                          height, coef);
#endif
}

void ColorAdjustLuma(uint8_t *pY, uint32_t width, uint32_t height, int32_t stride,
                     const ColorCoefficients &coef) {
    if (coef.bLuma)
        ColorCopyLuma(pY, stride, pY, stride, width, height, coef);
}

void ColorAdjustChroma(uint8_t *pU, int32_t strideU, uint8_t *pV, int32_t strideV, uint32_t width,
                       uint32_t height, const ColorCoefficients &coef) {
    if (coef.bChroma)
        ColorCopyChroma(pU, strideU, pV, strideV, pU, strideU, pV, strideV, width, height, coef);
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
                y = luma.Words(y);
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

bool ColorUseWideVectors(bool enable) {
#ifdef QV_COLOR_WIDE
    g_bWideAllowed.store(enable, std::memory_order_relaxed);
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    (void)enable;
    return false;
#endif
}
