#include "vdec/fieldstep.h"

#include <qvvdec.h>

#include <cstddef>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

void CopyRow(const uint8_t *pSrc, uint8_t *pDst, uint32_t width) {
    if (pSrc != pDst)
        std::memmove(pDst, pSrc, width);
}

// pDst may be the same row as pBelow (the first odd row of an in-place
// doubling): every chunk is read before it is written.
void AverageRow(const uint8_t *pAbove, const uint8_t *pBelow, uint8_t *pDst, uint32_t width) {
    uint32_t x = 0;
#ifdef __SSE2__
    // pavgb rounds up; subtracting the low bit of a ^ b rounds down instead.
    const __m128i one = _mm_set1_epi8(1);
    for (; x + 16 <= width; x += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pAbove + x));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pBelow + x));
        __m128i average = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(pDst + x), average);
    }
#else
    // Eight bytes at a time: (a + b) / 2 == (a & b) + ((a ^ b) >> 1) per byte.
    for (; x + 8 <= width; x += 8) {
        uint64_t a, b;
        std::memcpy(&a, pAbove + x, 8);
        std::memcpy(&b, pBelow + x, 8);
        uint64_t average = (a & b) + (((a ^ b) >> 1) & 0x7F7F7F7F7F7F7F7FULL);
        std::memcpy(pDst + x, &average, 8);
    }
#endif
    for (; x < width; ++x)
        pDst[x] = uint8_t((pAbove[x] + pBelow[x]) >> 1);
}

} // namespace

bool IsFieldPictureSize(uint32_t width, uint32_t height) {
    return (width == 720 || width == 704) && (height == 288 || height == 240);
}

void FieldDoublePlaneScalar(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                            uint32_t width, uint32_t rows) {
    if (rows == 0)
        return;
    // Bottom up; within a step the odd row comes first because it may lie
    // where source row i + 1 was.
    for (uint32_t i = rows; i-- > 0;) {
        const uint8_t *src = pSrc + ptrdiff_t(i) * srcStride;
        uint8_t *even = pDst + ptrdiff_t(2 * i) * dstStride;
        uint8_t *odd = even + dstStride;
        if (i + 1 == rows) {
            for (uint32_t x = 0; x < width; ++x)
                odd[x] = src[x];
        } else {
            const uint8_t *next = src + srcStride;
            for (uint32_t x = 0; x < width; ++x)
                odd[x] = uint8_t((src[x] + next[x]) >> 1);
        }
        if (even != src) {
            for (uint32_t x = 0; x < width; ++x)
                even[x] = src[x];
        }
    }
}

void FieldDoublePlane(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                      uint32_t width, uint32_t rows) {
    if (rows == 0)
        return;
    for (uint32_t i = rows; i-- > 0;) {
        const uint8_t *src = pSrc + ptrdiff_t(i) * srcStride;
        uint8_t *even = pDst + ptrdiff_t(2 * i) * dstStride;
        uint8_t *odd = even + dstStride;
        if (i + 1 == rows)
            CopyRow(src, odd, width);
        else
            AverageRow(src, src + srcStride, odd, width);
        CopyRow(src, even, width);
    }
}

int32_t FieldDoublePicture(uint8_t *pBuffer, uint32_t fourcc, uint32_t width, uint32_t *pHeight) {
    if (fourcc != VDEC_FOURCC_YV12 && fourcc != VDEC_FOURCC_NV12 && fourcc != VDEC_FOURCC_YUY2)
        return VDEC_E_NOT_SUPPORTED;
    uint32_t height = *pHeight;
    if (!IsFieldPictureSize(width, height))
        return VDEC_OK;

    size_t lumaSize = size_t(width) * height;
    switch (fourcc) {
    case VDEC_FOURCC_YV12: {
        // Source planes: Y, V, U; each moves to its place in the doubled
        // layout, which is never before where it was.
        uint32_t chromaWidth = width / 2;
        uint32_t chromaRows = height / 2;
        size_t chromaSize = size_t(chromaWidth) * chromaRows;
        uint8_t *srcV = pBuffer + lumaSize;
        uint8_t *srcU = srcV + chromaSize;
        uint8_t *dstV = pBuffer + 2 * lumaSize;
        uint8_t *dstU = dstV + 2 * chromaSize;
        FieldDoublePlane(srcU, int32_t(chromaWidth), dstU, int32_t(chromaWidth), chromaWidth, chromaRows);
        FieldDoublePlane(srcV, int32_t(chromaWidth), dstV, int32_t(chromaWidth), chromaWidth, chromaRows);
        FieldDoublePlane(pBuffer, int32_t(width), pBuffer, int32_t(width), width, height);
        break;
    }
    case VDEC_FOURCC_NV12:
        FieldDoublePlane(pBuffer + lumaSize, int32_t(width), pBuffer + 2 * lumaSize, int32_t(width), width,
                         height / 2);
        FieldDoublePlane(pBuffer, int32_t(width), pBuffer, int32_t(width), width, height);
        break;
    default: // YUY2
        FieldDoublePlane(pBuffer, int32_t(width * 2), pBuffer, int32_t(width * 2), width * 2, height);
        break;
    }
    *pHeight = height * 2;
    return VDEC_OK;
}
