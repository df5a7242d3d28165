// Field doubling. Standard-definition recorders often store one field per
// frame (720 or 704 wide, 288 or 240 high); such pictures are stretched to
// full height: source row i becomes row 2i, each odd row in between is the
// byte-wise average (rounded down) of the rows above and below it, and the
// final row repeats the one above it. The per-row work has a plain reference
// form (...Scalar) and a fast form that gives the same bytes.
#pragma once

#include <cstdint>

// True for the field sizes: 720 or 704 wide and 288 or 240 high.
bool IsFieldPictureSize(uint32_t width, uint32_t height);

// Spreads rows rows of width bytes at pSrc to 2 x rows rows at pDst. Rows are
// produced from the bottom up, so pDst may be pSrc itself or lie after it by
// a whole number of rows with the same stride (the in-place doubling of a
// packed picture); otherwise the two must not overlap.
void FieldDoublePlane(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                      uint32_t width, uint32_t rows);
void FieldDoublePlaneScalar(const uint8_t *pSrc, int32_t srcStride, uint8_t *pDst, int32_t dstStride,
                            uint32_t width, uint32_t rows);

// Doubles a picture packed without gaps in place when its size is a field
// size (pBuffer must hold the doubled picture); *pHeight becomes the new
// height. Planes are moved last first so that none overwrites one not yet
// moved. Other sizes pass unchanged. YV12, NV12 and YUY2 are understood;
// another format gives VDEC_E_NOT_SUPPORTED, else VDEC_OK.
int32_t FieldDoublePicture(uint8_t *pBuffer, uint32_t fourcc, uint32_t width, uint32_t *pHeight);
