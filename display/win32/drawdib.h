// The DrawDib back end: no graphics hardware needed. Each picture is turned
// once into a 24-bit bottom-up RGB bitmap and stretched into every viewport's
// window with the Video for Windows DrawDib functions of msvfw32.dll, which is
// loaded at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/basedisplay.h"

class CDrawDib final : public CBaseDisplay {
public:
    explicit CDrawDib(CDisplayManager *pOwner);
    ~CDrawDib() override;

    int32_t Initialize() override;
    int32_t Uninitialize() override;
    int32_t RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) override;
    int32_t FinishViewport(ViewportFinish *pFinish) override;
    int32_t PrepareFormat(const DISPLAY_PICTURE *pPicture) override;

    // Copies a picture into pBuffer (at least its dwDataSize bytes) with the
    // rows of every plane in reverse order. 0, or the display's code.
    static int32_t InserseYuv(const DISPLAY_PICTURE *pPicture, uint8_t *pBuffer);
    // Row stride of the RGB bitmap of a picture nWidth pixels wide.
    static uint32_t RgbStride(int32_t nWidth) { return DISPLAY_RGB24_STRIDE(nWidth); }

private:
    int32_t NewViewportData(ViewportEntry *pEntry) override;
    void ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) override;
    // A viewport's DrawDib handle (ViewportEntry::pPrivate); null until opened.
    struct Viewport {
        HANDLE hDrawDib = nullptr;
    };

    void FreeBuffers();
    void CloseViewport(Viewport *pViewport);

    using PFN_OPEN = HANDLE(WINAPI *)();
    using PFN_CLOSE = BOOL(WINAPI *)(HANDLE hDrawDib);
    using PFN_DRAW = BOOL(WINAPI *)(HANDLE hDrawDib, HDC hDC, int xDst, int yDst, int dxDst, int dyDst,
                                    LPBITMAPINFOHEADER pHeader, LPVOID pBits, int xSrc, int ySrc, int dxSrc,
                                    int dySrc, UINT uFlags);

    HMODULE m_hModule = nullptr;
    PFN_OPEN m_pfnOpen = nullptr;
    PFN_CLOSE m_pfnClose = nullptr;
    PFN_DRAW m_pfnDraw = nullptr;

    // Guarded by the base lock, like the viewport list.
    bool m_bFormatChanged = false;
    uint8_t *m_pFlipped = nullptr; // the picture with its rows reversed
    size_t m_cbFlipped = 0;
    uint8_t *m_pRgb = nullptr; // bottom-up 24-bit rows
    size_t m_cbRgb = 0;
    uint32_t m_dwStride = 0;
    bool m_bConverted = false; // m_pRgb holds the current picture
};
