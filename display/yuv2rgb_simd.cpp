#include "display/yuv2rgb_simd.h"

#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// 32-byte vectors are chosen at run time on 64-bit x86 outside Windows.
#if defined(__SSE2__) && defined(__x86_64__) && !defined(_WIN32) && defined(__GNUC__)
#define QV_YUV2RGB_WIDE 1
#include <immintrin.h>
#endif

// How the vectors reach the same bytes as the integer formulas on 16-bit
// lanes. With c = Y - 16, d = U - 128, e = V - 128 and 149 = 128 + 21:
//
//   149c + KR e          = 128 (c + e)  + (21c + (KR - 128) e)
//   149c - KGU d - KGV e = 128 c        + (21c - KGU d - KGV e)
//   149c + KB d          = 128 (c + 2d) + (21c + (KB - 256) d)
//
// so each quotient is the whole part plus the bracket shifted right by 7:
// floor((128 a + b) / 128) = a + floor(b / 128). The brackets stay inside
// 16 bits for both sets (checked below), the sums too, and the final pack
// to bytes clamps to 0..255.
//
// The shift rounds toward minus infinity where the formulas truncate toward
// zero. The two differ only for a negative numerator, and then both results
// clamp to 0: truncation gives a quotient <= 0, flooring one <= -1. For a
// numerator >= 0 they are equal, so every byte is the same.

namespace {

constexpr int kLumaRest = CONVERT_KY - 128;

// c runs -16..239; d and e run -128..127.
constexpr bool BracketsFit(int kR, int kGU, int kGV, int kB) {
    const int lumaHigh = kLumaRest * 239, lumaLow = -kLumaRest * 16;
    const int r = kR - 128, b = kB - 256;
    return kLumaRest >= 0 && r >= 0 && b >= 0 && kGU >= 0 && kGV >= 0 && lumaHigh + r * 127 <= 32767 &&
           lumaLow - r * 128 >= -32768 && lumaHigh + (kGU + kGV) * 128 <= 32767 &&
           lumaLow - (kGU + kGV) * 127 >= -32768 && lumaHigh + b * 127 <= 32767 &&
           lumaLow - b * 128 >= -32768;
}
static_assert(BracketsFit(CONVERT_BT601_KR, CONVERT_BT601_KGU, CONVERT_BT601_KGV, CONVERT_BT601_KB));
static_assert(BracketsFit(CONVERT_BT709_KR, CONVERT_BT709_KGU, CONVERT_BT709_KGV, CONVERT_BT709_KB));

#ifdef __SSE2__

// The helpers are inlined into the row loops: a call that passes vectors
// costs more than the work.
#define QV_STEP __attribute__((always_inline))

bool IsUyvy(uint32_t fourcc) {
    return fourcc == DISPLAY_FOURCC_UYVY;
}
// The chroma bytes of a packed group come U first except in YVYU.
bool IsVFirst(uint32_t fourcc) {
    return fourcc == DISPLAY_FOURCC_YVYU;
}

// Eight pixels at a time: Y, U, V in 16-bit lanes to B, G, R in 16-bit lanes
// (the pack to bytes clamps them).
struct KernelSse2 {
    explicit KernelSse2(const Yuv2RgbCoefficients &coef)
        : lumaBase(_mm_set1_epi16(16)), chromaBase(_mm_set1_epi16(128)), lumaRest(_mm_set1_epi16(kLumaRest)),
          rV(_mm_set1_epi16(int16_t(coef.nKR - 128))), gU(_mm_set1_epi16(int16_t(-coef.nKGU))),
          gV(_mm_set1_epi16(int16_t(-coef.nKGV))), bU(_mm_set1_epi16(int16_t(coef.nKB - 256))) {}

    QV_STEP void operator()(__m128i y, __m128i u, __m128i v, __m128i &b, __m128i &g, __m128i &r) const {
        const __m128i c = _mm_sub_epi16(y, lumaBase);
        const __m128i d = _mm_sub_epi16(u, chromaBase);
        const __m128i e = _mm_sub_epi16(v, chromaBase);
        const __m128i luma = _mm_mullo_epi16(c, lumaRest);
        const __m128i rBracket = _mm_add_epi16(luma, _mm_mullo_epi16(e, rV));
        const __m128i gBracket =
            _mm_add_epi16(luma, _mm_add_epi16(_mm_mullo_epi16(d, gU), _mm_mullo_epi16(e, gV)));
        const __m128i bBracket = _mm_add_epi16(luma, _mm_mullo_epi16(d, bU));
        r = _mm_add_epi16(_mm_srai_epi16(rBracket, 7), _mm_add_epi16(c, e));
        g = _mm_add_epi16(_mm_srai_epi16(gBracket, 7), c);
        b = _mm_add_epi16(_mm_srai_epi16(bBracket, 7), _mm_add_epi16(c, _mm_add_epi16(d, d)));
    }

    __m128i lumaBase, chromaBase, lumaRest, rV, gU, gV, bU;
};

// Writes 16 pixels (48 bytes) from their B, G and R bytes.
struct StoreSse2 {
    StoreSse2()
        : lowPixel(_mm_set1_epi64x(0x0000000000FFFFFFll)), highPixel(_mm_set1_epi64x(0x0000FFFFFF000000ll)),
          lowSix(_mm_set_epi32(0, 0, 0x0000FFFF, -1)), zero(_mm_setzero_si128()) {}

    // Four B, G, R, 0 pixels (one per 32-bit lane) to their 12 bytes at the
    // bottom of the vector, the top 4 bytes zero.
    QV_STEP __m128i Twelve(__m128i quad) const {
        // Within each 64-bit half the second pixel moves down onto the first
        // one's zero byte: six bytes, then two zeros.
        const __m128i pairs =
            _mm_or_si128(_mm_and_si128(quad, lowPixel), _mm_and_si128(_mm_srli_epi64(quad, 8), highPixel));
        // The upper half's six bytes move down next to the lower half's.
        return _mm_or_si128(_mm_and_si128(pairs, lowSix), _mm_andnot_si128(lowSix, _mm_srli_si128(pairs, 2)));
    }

    QV_STEP void operator()(__m128i b, __m128i g, __m128i r, uint8_t *pOut) const {
        const __m128i bg0 = _mm_unpacklo_epi8(b, g), bg1 = _mm_unpackhi_epi8(b, g);
        const __m128i r0 = _mm_unpacklo_epi8(r, zero), r1 = _mm_unpackhi_epi8(r, zero);
        const __m128i c0 = Twelve(_mm_unpacklo_epi16(bg0, r0));
        const __m128i c1 = Twelve(_mm_unpackhi_epi16(bg0, r0));
        const __m128i c2 = Twelve(_mm_unpacklo_epi16(bg1, r1));
        const __m128i c3 = Twelve(_mm_unpackhi_epi16(bg1, r1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pOut), _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pOut + 16),
                         _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pOut + 32),
                         _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
    }

    __m128i lowPixel, highPixel, lowSix, zero;
};

// Sixteen pixels from their samples in 16-bit lanes, pixels 0..7 in the
// first vector of each pair and 8..15 in the second.
QV_STEP inline void SixteenSse2(const KernelSse2 &kernel, const StoreSse2 &store, __m128i y0, __m128i y1,
                                __m128i u0, __m128i u1, __m128i v0, __m128i v1, uint8_t *pOut) {
    __m128i b0, g0, r0, b1, g1, r1;
    kernel(y0, u0, v0, b0, g0, r0);
    kernel(y1, u1, v1, b1, g1, r1);
    store(_mm_packus_epi16(b0, b1), _mm_packus_epi16(g0, g1), _mm_packus_epi16(r0, r1), pOut);
}

// Each 16-bit chroma sample of a pair (lanes 0, 2, 4, 6: first; 1, 3, 5, 7:
// second) spread over the two pixels that share it.
QV_STEP inline __m128i SpreadEven(__m128i pairs) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(pairs, _MM_SHUFFLE(2, 2, 0, 0)), _MM_SHUFFLE(2, 2, 0, 0));
}
QV_STEP inline __m128i SpreadOdd(__m128i pairs) {
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(pairs, _MM_SHUFFLE(3, 3, 1, 1)), _MM_SHUFFLE(3, 3, 1, 1));
}

uint32_t PlanarRowSse2(const uint8_t *pY, const uint8_t *pU, const uint8_t *pV, uint8_t *pBgr, uint32_t width,
                       const Yuv2RgbCoefficients &coef) {
    const KernelSse2 kernel(coef);
    const StoreSse2 store;
    const __m128i zero = _mm_setzero_si128();
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pY + x));
        __m128i u = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(pU + x / 2));
        __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(pV + x / 2));
        u = _mm_unpacklo_epi8(u, u);
        v = _mm_unpacklo_epi8(v, v);
        SixteenSse2(kernel, store, _mm_unpacklo_epi8(y, zero), _mm_unpackhi_epi8(y, zero),
                    _mm_unpacklo_epi8(u, zero), _mm_unpackhi_epi8(u, zero), _mm_unpacklo_epi8(v, zero),
                    _mm_unpackhi_epi8(v, zero), pBgr + size_t(x) * 3);
    }
    return x;
}

uint32_t PairsRowSse2(const uint8_t *pY, const uint8_t *pChroma, bool bVFirst, uint8_t *pBgr, uint32_t width,
                      const Yuv2RgbCoefficients &coef) {
    const KernelSse2 kernel(coef);
    const StoreSse2 store;
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pY + x));
        const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pChroma + x));
        const __m128i first = _mm_and_si128(pairs, lowBytes), second = _mm_srli_epi16(pairs, 8);
        const __m128i u = bVFirst ? second : first, v = bVFirst ? first : second;
        SixteenSse2(kernel, store, _mm_unpacklo_epi8(y, zero), _mm_unpackhi_epi8(y, zero),
                    _mm_unpacklo_epi16(u, u), _mm_unpackhi_epi16(u, u), _mm_unpacklo_epi16(v, v),
                    _mm_unpackhi_epi16(v, v), pBgr + size_t(x) * 3);
    }
    return x;
}

uint32_t PackedRowSse2(const uint8_t *pSrc, uint32_t fourcc, uint8_t *pBgr, uint32_t width,
                       const Yuv2RgbCoefficients &coef) {
    const KernelSse2 kernel(coef);
    const StoreSse2 store;
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const bool bUyvy = IsUyvy(fourcc), bVFirst = IsVFirst(fourcc);
    uint32_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m128i in0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pSrc + size_t(x) * 2));
        const __m128i in1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pSrc + size_t(x) * 2 + 16));
        const __m128i low0 = _mm_and_si128(in0, lowBytes), high0 = _mm_srli_epi16(in0, 8);
        const __m128i low1 = _mm_and_si128(in1, lowBytes), high1 = _mm_srli_epi16(in1, 8);
        const __m128i y0 = bUyvy ? high0 : low0, y1 = bUyvy ? high1 : low1;
        const __m128i c0 = bUyvy ? low0 : high0, c1 = bUyvy ? low1 : high1;
        __m128i u0 = SpreadEven(c0), u1 = SpreadEven(c1), v0 = SpreadOdd(c0), v1 = SpreadOdd(c1);
        if (bVFirst) {
            std::swap(u0, v0);
            std::swap(u1, v1);
        }
        SixteenSse2(kernel, store, y0, y1, u0, u1, v0, v1, pBgr + size_t(x) * 3);
    }
    return x;
}

const Yuv2RgbRows kRowsSse2 = {PlanarRowSse2, PairsRowSse2, PackedRowSse2};

#undef QV_STEP

#endif // __SSE2__

#ifdef QV_YUV2RGB_WIDE

// The same on 32-byte vectors. AVX2 unpacks and packs within 16-byte
// halves, so the samples are arranged with pixels 0..7 and 16..23 in the
// first vector of a pair and 8..15 and 24..31 in the second: the pack to
// bytes then gives the 32 pixels in order.
#define QV_WIDE __attribute__((target("avx2")))
// Inlined for a second reason too: after a call that passes 32-byte vectors
// the compiler leaves the upper register halves in use when the row
// routine returns, and 16-byte code run afterwards was slowed 2.5 times.
#define QV_WIDE_STEP __attribute__((target("avx2"), always_inline))

struct KernelAvx2 {
    QV_WIDE_STEP explicit KernelAvx2(const Yuv2RgbCoefficients &coef)
        : lumaBase(_mm256_set1_epi16(16)), chromaBase(_mm256_set1_epi16(128)),
          lumaRest(_mm256_set1_epi16(kLumaRest)), rV(_mm256_set1_epi16(int16_t(coef.nKR - 128))),
          gU(_mm256_set1_epi16(int16_t(-coef.nKGU))), gV(_mm256_set1_epi16(int16_t(-coef.nKGV))),
          bU(_mm256_set1_epi16(int16_t(coef.nKB - 256))) {}

    QV_WIDE_STEP void operator()(__m256i y, __m256i u, __m256i v, __m256i &b, __m256i &g, __m256i &r) const {
        const __m256i c = _mm256_sub_epi16(y, lumaBase);
        const __m256i d = _mm256_sub_epi16(u, chromaBase);
        const __m256i e = _mm256_sub_epi16(v, chromaBase);
        const __m256i luma = _mm256_mullo_epi16(c, lumaRest);
        const __m256i rBracket = _mm256_add_epi16(luma, _mm256_mullo_epi16(e, rV));
        const __m256i gBracket =
            _mm256_add_epi16(luma, _mm256_add_epi16(_mm256_mullo_epi16(d, gU), _mm256_mullo_epi16(e, gV)));
        const __m256i bBracket = _mm256_add_epi16(luma, _mm256_mullo_epi16(d, bU));
        r = _mm256_add_epi16(_mm256_srai_epi16(rBracket, 7), _mm256_add_epi16(c, e));
        g = _mm256_add_epi16(_mm256_srai_epi16(gBracket, 7), c);
        b = _mm256_add_epi16(_mm256_srai_epi16(bBracket, 7), _mm256_add_epi16(c, _mm256_add_epi16(d, d)));
    }

    __m256i lumaBase, chromaBase, lumaRest, rV, gU, gV, bU;
};

// Writes 32 pixels (96 bytes) from their B, G and R bytes in order. The
// 16-byte halves hold pixels 0..15 and 16..31; the 48 bytes of each half are
// gathered by byte shuffles, and the three results hold output bytes 0..15 |
// 48..63, 16..31 | 64..79 and 32..47 | 80..95.
struct StoreAvx2 {
    // Output byte j of a 48-byte group takes channel j % 3 of pixel j / 3.
    static constexpr char Pick(int j, int channel) { return j % 3 == channel ? char(j / 3) : char(-128); }
    template <int kPart, int kChannel> QV_WIDE_STEP static __m256i Mask() {
        constexpr int b = 16 * kPart;
        return _mm256_setr_epi8(
            Pick(b + 0, kChannel), Pick(b + 1, kChannel), Pick(b + 2, kChannel), Pick(b + 3, kChannel),
            Pick(b + 4, kChannel), Pick(b + 5, kChannel), Pick(b + 6, kChannel), Pick(b + 7, kChannel),
            Pick(b + 8, kChannel), Pick(b + 9, kChannel), Pick(b + 10, kChannel), Pick(b + 11, kChannel),
            Pick(b + 12, kChannel), Pick(b + 13, kChannel), Pick(b + 14, kChannel), Pick(b + 15, kChannel),
            Pick(b + 0, kChannel), Pick(b + 1, kChannel), Pick(b + 2, kChannel), Pick(b + 3, kChannel),
            Pick(b + 4, kChannel), Pick(b + 5, kChannel), Pick(b + 6, kChannel), Pick(b + 7, kChannel),
            Pick(b + 8, kChannel), Pick(b + 9, kChannel), Pick(b + 10, kChannel), Pick(b + 11, kChannel),
            Pick(b + 12, kChannel), Pick(b + 13, kChannel), Pick(b + 14, kChannel), Pick(b + 15, kChannel));
    }

    template <int kPart> QV_WIDE_STEP static __m256i Part(__m256i b, __m256i g, __m256i r) {
        return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(b, Mask<kPart, 0>()),
                                               _mm256_shuffle_epi8(g, Mask<kPart, 1>())),
                               _mm256_shuffle_epi8(r, Mask<kPart, 2>()));
    }

    QV_WIDE_STEP void operator()(__m256i b, __m256i g, __m256i r, uint8_t *pOut) const {
        const __m256i x0 = Part<0>(b, g, r), x1 = Part<1>(b, g, r), x2 = Part<2>(b, g, r);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pOut), _mm256_permute2x128_si256(x0, x1, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pOut + 32), _mm256_permute2x128_si256(x2, x0, 0x30));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(pOut + 64), _mm256_permute2x128_si256(x1, x2, 0x31));
    }
};

QV_WIDE_STEP inline void ThirtyTwoAvx2(const KernelAvx2 &kernel, const StoreAvx2 &store, __m256i y0,
                                       __m256i y1, __m256i u0, __m256i u1, __m256i v0, __m256i v1,
                                       uint8_t *pOut) {
    __m256i b0, g0, r0, b1, g1, r1;
    kernel(y0, u0, v0, b0, g0, r0);
    kernel(y1, u1, v1, b1, g1, r1);
    store(_mm256_packus_epi16(b0, b1), _mm256_packus_epi16(g0, g1), _mm256_packus_epi16(r0, r1), pOut);
}

QV_WIDE_STEP inline __m256i SpreadEvenAvx2(__m256i pairs) {
    return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(pairs, _MM_SHUFFLE(2, 2, 0, 0)),
                                  _MM_SHUFFLE(2, 2, 0, 0));
}
QV_WIDE_STEP inline __m256i SpreadOddAvx2(__m256i pairs) {
    return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(pairs, _MM_SHUFFLE(3, 3, 1, 1)),
                                  _MM_SHUFFLE(3, 3, 1, 1));
}

QV_WIDE uint32_t PlanarRowAvx2(const uint8_t *pY, const uint8_t *pU, const uint8_t *pV, uint8_t *pBgr,
                               uint32_t width, const Yuv2RgbCoefficients &coef) {
    const KernelAvx2 kernel(coef);
    const StoreAvx2 store;
    const __m256i zero = _mm256_setzero_si256();
    uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pY + x));
        // 16 samples widened in order: halves 0..7 | 8..15, spread to pixels
        // 0..7 | 16..23 and 8..15 | 24..31.
        const __m256i u =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pU + x / 2)));
        const __m256i v =
            _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pV + x / 2)));
        ThirtyTwoAvx2(kernel, store, _mm256_unpacklo_epi8(y, zero), _mm256_unpackhi_epi8(y, zero),
                      _mm256_unpacklo_epi16(u, u), _mm256_unpackhi_epi16(u, u), _mm256_unpacklo_epi16(v, v),
                      _mm256_unpackhi_epi16(v, v), pBgr + size_t(x) * 3);
    }
    return x;
}

QV_WIDE uint32_t PairsRowAvx2(const uint8_t *pY, const uint8_t *pChroma, bool bVFirst, uint8_t *pBgr,
                              uint32_t width, const Yuv2RgbCoefficients &coef) {
    const KernelAvx2 kernel(coef);
    const StoreAvx2 store;
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pY + x));
        const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pChroma + x));
        const __m256i first = _mm256_and_si256(pairs, lowBytes), second = _mm256_srli_epi16(pairs, 8);
        const __m256i u = bVFirst ? second : first, v = bVFirst ? first : second;
        ThirtyTwoAvx2(kernel, store, _mm256_unpacklo_epi8(y, zero), _mm256_unpackhi_epi8(y, zero),
                      _mm256_unpacklo_epi16(u, u), _mm256_unpackhi_epi16(u, u), _mm256_unpacklo_epi16(v, v),
                      _mm256_unpackhi_epi16(v, v), pBgr + size_t(x) * 3);
    }
    return x;
}

QV_WIDE uint32_t PackedRowAvx2(const uint8_t *pSrc, uint32_t fourcc, uint8_t *pBgr, uint32_t width,
                               const Yuv2RgbCoefficients &coef) {
    const KernelAvx2 kernel(coef);
    const StoreAvx2 store;
    const __m256i lowBytes = _mm256_set1_epi16(0x00FF);
    const bool bUyvy = IsUyvy(fourcc), bVFirst = IsVFirst(fourcc);
    uint32_t x = 0;
    for (; x + 32 <= width; x += 32) {
        const uint8_t *p = pSrc + size_t(x) * 2;
        // Pixels 0..7 | 16..23 and 8..15 | 24..31, eight (16 bytes) each.
        const __m256i in0 = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32)), 1);
        const __m256i in1 = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48)), 1);
        const __m256i low0 = _mm256_and_si256(in0, lowBytes), high0 = _mm256_srli_epi16(in0, 8);
        const __m256i low1 = _mm256_and_si256(in1, lowBytes), high1 = _mm256_srli_epi16(in1, 8);
        const __m256i y0 = bUyvy ? high0 : low0, y1 = bUyvy ? high1 : low1;
        const __m256i c0 = bUyvy ? low0 : high0, c1 = bUyvy ? low1 : high1;
        __m256i u0 = SpreadEvenAvx2(c0), u1 = SpreadEvenAvx2(c1), v0 = SpreadOddAvx2(c0),
                v1 = SpreadOddAvx2(c1);
        if (bVFirst) {
            std::swap(u0, v0);
            std::swap(u1, v1);
        }
        ThirtyTwoAvx2(kernel, store, y0, y1, u0, u1, v0, v1, pBgr + size_t(x) * 3);
    }
    return x;
}

#undef QV_WIDE
#undef QV_WIDE_STEP

const Yuv2RgbRows kRowsAvx2 = {PlanarRowAvx2, PairsRowAvx2, PackedRowAvx2};

bool HasAvx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

#endif // QV_YUV2RGB_WIDE

} // namespace

const Yuv2RgbRows *Yuv2RgbRowsFor(Yuv2RgbVectors level) {
    switch (level) {
#ifdef __SSE2__
    case Yuv2RgbVectors::kSse2:
        return &kRowsSse2;
#endif
#ifdef QV_YUV2RGB_WIDE
    case Yuv2RgbVectors::kAvx2:
        return HasAvx2() ? &kRowsAvx2 : nullptr;
#endif
    default:
        return nullptr;
    }
}

Yuv2RgbVectors Yuv2RgbBestVectors() {
    for (Yuv2RgbVectors level : {Yuv2RgbVectors::kAvx2, Yuv2RgbVectors::kSse2})
        if (Yuv2RgbRowsFor(level))
            return level;
    return Yuv2RgbVectors::kNone;
}
