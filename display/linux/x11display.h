// The X11 back end: the bitmap slot on Linux. Each picture is converted once
// to RGB rows, then scaled into an image of each viewport's destination size
// (our own nearest-neighbour scaler) and put into the viewport window,
// through shared memory where the server offers it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "display/basedisplay.h"
#include "display/yuv2rgb.h"

struct _XDisplay;

namespace x11scale {

// How a 24-bit colour goes into a 32-bit pixel of the window's visual: the
// channel shifts and the bits always set (alpha of a 32-bit visual).
struct PixelLayout {
    uint32_t dwShiftRed = 16;
    uint32_t dwShiftGreen = 8;
    uint32_t dwShiftBlue = 0;
    uint32_t dwFill = 0;
    // Red, green, blue at 16, 8, 0: the bytes of a BGR pixel read as a
    // little-endian word are the pixel already.
    bool IsBgrx() const { return dwShiftRed == 16 && dwShiftGreen == 8 && dwShiftBlue == 0; }
};

// Source positions of nDst destination samples spread over nSrcLength
// source samples from nSrcStart (the centre of each destination sample),
// times nScale (3 turns pixel columns into byte offsets of BGR rows).
void BuildMap(int32_t nSrcStart, int32_t nSrcLength, int32_t nDst, uint32_t nScale, uint32_t *pMap);

// One destination row: pixel i from the BGR pixel at byte pdwOffsets[i] of
// pSource. ScaleRowBgrx reads each pixel as one 4-byte word (one load and a
// mask per pixel; an AVX2 gather measured no faster), so the source must be
// readable one byte past its last pixel. ScaleRowGeneric serves any other
// whole-byte channel layout.
void ScaleRowBgrx(const uint8_t *pSource, const uint32_t *pdwOffsets, uint32_t dwCount, uint32_t dwFill,
                  uint32_t *pDest);
void ScaleRowGeneric(const uint8_t *pSource, const uint32_t *pdwOffsets, uint32_t dwCount,
                     const PixelLayout &layout, uint32_t *pDest);

// The source rectangle rcSource of BGR rows (stride dwStride) scaled to
// nWidth x nHeight 32-bit pixels at pDest (dwDestStride bytes per row).
// pdwScratch holds nWidth + nHeight entries.
void ScaleImage(const uint8_t *pRgb, uint32_t dwStride, const RECT &rcSource, int32_t nWidth, int32_t nHeight,
                uint8_t *pDest, uint32_t dwDestStride, const PixelLayout &layout, uint32_t *pdwScratch);

} // namespace x11scale

class CX11Display final : public CBaseDisplay {
public:
    explicit CX11Display(CDisplayManager *pOwner);
    ~CX11Display() override;

    // DISPLAY_E_NOT_AVAILABLE without a reachable X server or with a screen
    // that is not 24- or 32-bit TrueColor.
    int32_t Initialize() override;
    int32_t Uninitialize() override;
    int32_t RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) override;
    int32_t FinishViewport(ViewportFinish *pFinish) override;
    int32_t PrepareFormat(const DISPLAY_PICTURE *pPicture) override;

    // Whether shared memory is used for the images (after Initialize).
    bool UsesSharedMemory() const { return m_bSharedMemory; }

    // Tests: forbid shared memory to back ends initialised afterwards, and
    // count the picture conversions of every X11 back end in the process.
    static void AllowSharedMemory(bool bAllow);
    static uint64_t ConversionCount();

private:
    void ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) override;
    struct Target; // one viewport's image and GC

    int32_t ConvertPicture();
    int32_t MakeTarget(ViewportEntry *pEntry, const RECT &rcDestination, Target **ppTarget);
    bool MakeImage(Target *pTarget, void *pVisual, int nDepth, int32_t nWidth, int32_t nHeight);
    void ReleaseTarget(ViewportEntry *pEntry);
    void ReleaseAllTargets();

    _XDisplay *m_pDisplay = nullptr; // our own connection, from Initialize to Uninitialize
    bool m_bSharedMemory = false;

    // The current picture as top-down BGR rows, converted at its first
    // drawing; the buffer keeps 4 spare bytes for the scaler's word reads.
    std::unique_ptr<uint8_t[]> m_pRgb;
    size_t m_rgbSize = 0;
    uint32_t m_dwStride = 0;
    bool m_bConverted = false;
    // Bumped for every new picture; a viewport's image remembers the one it
    // holds, so that a repaint does not scale again.
    uint64_t m_qwPicture = 1;
    std::vector<uint32_t> m_scratch; // the scaler's maps
    CYuv2Rgb m_convert;

    static std::atomic<bool> s_bAllowSharedMemory;
    static std::atomic<uint64_t> s_qwConversions;
};
