// Row routines of the pixel converter on 16-byte (SSE2) and 32-byte (AVX2)
// vectors. Each converts the longest run of whole vector steps from the left
// end of one picture row and returns how many pixels it wrote; the converter
// finishes the row one pixel at a time. The bytes are those of the integer
// formulas, bit for bit.
#pragma once

#include "qvdisplay.h"

#include <cstdint>

// One coefficient set (CONVERT_BT601_... or CONVERT_BT709_...).
struct Yuv2RgbCoefficients {
    int32_t nKR, nKGU, nKGV, nKB;
};

// 4:2:0 rows with separate chroma rows (I420, YV12): pU and pV hold the
// width / 2 samples of the chroma row that the luma row uses.
using Yuv2RgbPlanarRow = uint32_t (*)(const uint8_t *pY, const uint8_t *pU, const uint8_t *pV, uint8_t *pBgr,
                                      uint32_t width, const Yuv2RgbCoefficients &coef);
// 4:2:0 rows with interleaved chroma (NV12: U first; NV21: V first).
using Yuv2RgbPairsRow = uint32_t (*)(const uint8_t *pY, const uint8_t *pChroma, bool bVFirst, uint8_t *pBgr,
                                     uint32_t width, const Yuv2RgbCoefficients &coef);
// Packed 4:2:2 rows: YUY2, YVYU or UYVY.
using Yuv2RgbPackedRow = uint32_t (*)(const uint8_t *pSrc, uint32_t dwFourCC, uint8_t *pBgr, uint32_t width,
                                      const Yuv2RgbCoefficients &coef);

struct Yuv2RgbRows {
    Yuv2RgbPlanarRow pfnPlanar;
    Yuv2RgbPairsRow pfnPairs;
    Yuv2RgbPackedRow pfnPacked;
};

// The vector levels. 32-byte vectors are chosen at run time on 64-bit x86
// outside Windows (mingw's compiler does not keep the stack aligned for
// them); 16-byte ones are part of every x86 build (the 32-bit DLL is built
// with -msse2).
enum class Yuv2RgbVectors { kNone, kSse2, kAvx2 };

// The routines of one level, or null where the build or the processor lacks
// it (always null for kNone).
const Yuv2RgbRows *Yuv2RgbRowsFor(Yuv2RgbVectors level);
// The widest level available here.
Yuv2RgbVectors Yuv2RgbBestVectors();

// The converter on the routines of the given level (kNone: one pixel at a
// time); a level not available here converts one pixel at a time too. For
// the tests and the benchmark, which compare the levels.
BOOL Yuv2RgbConvertWith(const CONVERT_SETTING *pSetting, Yuv2RgbVectors level);
