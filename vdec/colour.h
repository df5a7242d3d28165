// Colour adjustment of decoded pictures: brightness and contrast act on luma,
// contrast, saturation and hue on the chroma pairs. Everything runs on
// integers: gains, cosine and sine are scaled by 1024, so a chroma sample is
// divided by 1024 * 1024 at the end. The coefficients are derived once per
// setting; the per-pixel work has a plain reference form (...Scalar) and a
// fast form (SSE2 or AVX2 where the target has them) that gives the same
// bytes.
#pragma once

#include <qvvdec.h>

#include <cstdint>

// Coefficients of one colour setting.
struct ColorCoefficients {
    bool bLuma;       // Y samples change (brightness or contrast not neutral)
    int32_t nOffset;  // brightness offset added to Y, -100..100
    int32_t nGain;    // contrast gain x 1024, 0..2047
    bool bChroma;     // U, V samples change (contrast, saturation or hue not neutral)
    int32_t nCosine;  // cosine of the hue angle x 1024
    int32_t nSine;    // sine of the hue angle x 1024
    int32_t nSatGain; // saturation x contrast x 1024
};

// Setting values run 0..127 (larger ones count as 127); 64 is neutral.
constexpr uint32_t kColorNeutral = VDEC_COLOR_NEUTRAL;
constexpr uint32_t kColorMax = VDEC_COLOR_MAX;
// Adjusted samples are kept inside the video ranges.
constexpr int32_t kColorLumaMin = 16;
constexpr int32_t kColorLumaMax = 235;
constexpr int32_t kColorChromaMin = 16;
constexpr int32_t kColorChromaMax = 240;

// False while all four values are neutral: the pictures then pass untouched.
bool IsColorStepNeeded(uint32_t brightness, uint32_t contrast, uint32_t saturation, uint32_t hue);
// Derives the coefficients; values are clamped to 0..127 first.
ColorCoefficients ComputeColorCoefficients(uint32_t brightness, uint32_t contrast, uint32_t saturation,
                                           uint32_t hue);

// One sample by the formulas (both flags are ignored here: the caller asks).
uint8_t ColorLumaSample(uint8_t y, const ColorCoefficients &coef);
void ColorChromaSample(uint8_t u, uint8_t v, const ColorCoefficients &coef, uint8_t *pU, uint8_t *pV);

// Plane functions. Each does nothing when its flag is off. Widths and heights
// are those of the plane (odd values allowed); strides are in bytes and at
// least the row length.

// Y plane.
void ColorAdjustLuma(uint8_t *pY, uint32_t width, uint32_t height, int32_t stride,
                     const ColorCoefficients &coef);
void ColorAdjustLumaScalar(uint8_t *pY, uint32_t width, uint32_t height, int32_t stride,
                           const ColorCoefficients &coef);

// Separate U and V planes (I420, YV12) of width x height samples each.
void ColorAdjustChroma(uint8_t *pU, int32_t strideU, uint8_t *pV, int32_t strideV, uint32_t width,
                       uint32_t height, const ColorCoefficients &coef);
void ColorAdjustChromaScalar(uint8_t *pU, int32_t strideU, uint8_t *pV, int32_t strideV, uint32_t width,
                             uint32_t height, const ColorCoefficients &coef);

// Copies with the step applied on the way, in one pass over the samples (the
// decoder copies every picture into the caller's buffer anyway). With the
// plane's flag off the rows are copied unchanged. Source and destination are
// either the same memory with the same strides (in place) or do not overlap.
void ColorCopyLuma(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride, uint32_t width,
                   uint32_t height, const ColorCoefficients &coef);
void ColorCopyLumaScalar(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                         uint32_t width, uint32_t height, const ColorCoefficients &coef);
void ColorCopyChroma(const uint8_t *pSrcU, int32_t srcStrideU, const uint8_t *pSrcV, int32_t srcStrideV,
                     uint8_t *pDstU, int32_t dstStrideU, uint8_t *pDstV, int32_t dstStrideV, uint32_t width,
                     uint32_t height, const ColorCoefficients &coef);
void ColorCopyChromaScalar(const uint8_t *pSrcU, int32_t srcStrideU, const uint8_t *pSrcV, int32_t srcStrideV,
                           uint8_t *pDstU, int32_t dstStrideU, uint8_t *pDstV, int32_t dstStrideV,
                           uint32_t width, uint32_t height, const ColorCoefficients &coef);

// Interleaved U, V pairs (NV12): width pairs per row.
void ColorAdjustChromaPairs(uint8_t *pUV, uint32_t width, uint32_t height, int32_t stride,
                            const ColorCoefficients &coef);
void ColorAdjustChromaPairsScalar(uint8_t *pUV, uint32_t width, uint32_t height, int32_t stride,
                                  const ColorCoefficients &coef);

// Packed Y0 U Y1 V (YUY2): width pixels per row (even; a last odd pixel is
// left alone, it has no complete group).
void ColorAdjustYuy2(uint8_t *pPixels, uint32_t width, uint32_t height, int32_t stride,
                     const ColorCoefficients &coef);
void ColorAdjustYuy2Scalar(uint8_t *pPixels, uint32_t width, uint32_t height, int32_t stride,
                           const ColorCoefficients &coef);

// A whole picture packed without gaps in one of the decoder formats (YV12,
// NV12, YUY2; chroma planes of width / 2 x height / 2). Returns VDEC_OK, or
// VDEC_E_NOT_SUPPORTED for another format.
int32_t ColorAdjustPicture(uint8_t *pBuffer, uint32_t fourcc, uint32_t width, uint32_t height,
                           const ColorCoefficients &coef);

// The planar steps use 32-byte vectors where the processor has them (AVX2,
// chosen at run time; not in Windows builds, whose compiler does not keep
// the stack aligned for them) and 16-byte ones otherwise. Tests switch the
// wide ones off to check both; returns whether they are available.
bool ColorUseWideVectors(bool enable);
