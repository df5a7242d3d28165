// DrawDib back end. Conversion and drawing into the window happen under the
// base lock (the viewport's DrawDib handle is not reference counted); the
// client's DC hook runs afterwards with the window's DC.
#include "display/win32/drawdib.h"

#include <cstring>
#include <new>

#include "display/displaymanager.h"
#include "display/yuv2rgb.h"
#include "platform/memory.h"
#include "platform/system.h"

namespace {

// Stateless, so one converter serves every DrawDib back end of the process.
CYuv2Rgb &Converter() {
    static CYuv2Rgb s_convert;
    return s_convert;
}

// Copies nRows rows of cbRow bytes from pSource to pTarget, last row first.
void CopyRowsReversed(const uint8_t *pSource, uint8_t *pTarget, size_t cbRow, uint32_t nRows) {
    for (uint32_t i = 0; i < nRows; ++i)
        memcpy(pTarget + static_cast<size_t>(nRows - 1 - i) * cbRow, pSource + static_cast<size_t>(i) * cbRow,
               cbRow);
}

} // namespace

CDrawDib::CDrawDib(CDisplayManager *pOwner) : CBaseDisplay(DISPLAY_TYPE_BITMAP, pOwner) {
    m_hModule = LoadLibraryW(L"msvfw32.dll");
    if (m_hModule) {
        m_pfnOpen =
            reinterpret_cast<PFN_OPEN>(reinterpret_cast<void *>(GetProcAddress(m_hModule, "DrawDibOpen")));
        m_pfnClose =
            reinterpret_cast<PFN_CLOSE>(reinterpret_cast<void *>(GetProcAddress(m_hModule, "DrawDibClose")));
        m_pfnDraw =
            reinterpret_cast<PFN_DRAW>(reinterpret_cast<void *>(GetProcAddress(m_hModule, "DrawDibDraw")));
    }
}

CDrawDib::~CDrawDib() {
    {
        platform::CLockGuard guard(m_lock);
        FreeBuffers();
    }
    RemoveAllViewports();
    if (m_hModule)
        FreeLibrary(m_hModule);
}

int32_t CDrawDib::Initialize() {
    platform::CLockGuard guard(m_lock);
    if (!m_pfnOpen || !m_pfnClose || !m_pfnDraw)
        return DISPLAY_E_NOT_AVAILABLE;
    FreeBuffers();
    m_bFormatChanged = false;
    return DISPLAY_OK;
}

int32_t CDrawDib::Uninitialize() {
    platform::CLockGuard guard(m_lock);
    FreeBuffers();
    return DISPLAY_OK;
}

void CDrawDib::FreeBuffers() {
    if (m_pFlipped)
        platform::PageFree(m_pFlipped, m_cbFlipped);
    if (m_pRgb)
        platform::PageFree(m_pRgb, m_cbRgb);
    m_pFlipped = nullptr;
    m_cbFlipped = 0;
    m_pRgb = nullptr;
    m_cbRgb = 0;
    m_dwStride = 0;
    m_bConverted = false;
}

void CDrawDib::CloseViewport(Viewport *pViewport) {
    if (pViewport->hDrawDib && m_pfnClose)
        m_pfnClose(pViewport->hDrawDib);
    pViewport->hDrawDib = nullptr;
}

int32_t CDrawDib::NewViewportData(ViewportEntry *pEntry) {
    pEntry->pPrivate = new (std::nothrow) Viewport;
    return pEntry->pPrivate != nullptr ? DISPLAY_OK : DISPLAY_E_OUT_OF_MEMORY;
}

void CDrawDib::ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) {
    auto *pPrivate = static_cast<Viewport *>(pEntry->pPrivate);
    CloseViewport(pPrivate);
    if (bRemove) {
        delete pPrivate;
        pEntry->pPrivate = nullptr;
    }
}

int32_t CDrawDib::PrepareFormat(const DISPLAY_PICTURE *pPicture) {
    platform::CLockGuard guard(m_lock);
    if (NoteFormat(pPicture))
        m_bFormatChanged = true; // a pending change stays
    m_bConverted = false;
    return DISPLAY_OK;
}

int32_t CDrawDib::InserseYuv(const DISPLAY_PICTURE *pPicture, uint8_t *pBuffer) {
    if (!pPicture || !pBuffer || !pPicture->pData || pPicture->nWidth <= 0 || pPicture->nHeight <= 0)
        return DISPLAY_E_INVALID_VALUE;
    const size_t w = static_cast<size_t>(pPicture->nWidth);
    const uint32_t h = static_cast<uint32_t>(pPicture->nHeight);
    const size_t cbPicture = static_cast<size_t>(CBaseDisplay::BitsPerPixel(pPicture->dwFourCC)) * w * h / 8;
    if (cbPicture == 0)
        return DISPLAY_E_FAIL;
    // Client memory is checked instead of faulting on it.
    if (cbPicture > pPicture->dwDataSize || !platform::IsReadableRange(pPicture->pData, cbPicture)) {
        platform::DebugOutput("EXCEPTION_ACCESS_VIOLATION occurs in CDrawDib::InserseYuv!\n");
        return DISPLAY_E_FAIL;
    }
    const uint8_t *pSource = pPicture->pData;
    switch (pPicture->dwFourCC) {
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        CopyRowsReversed(pSource, pBuffer, w, h);
        CopyRowsReversed(pSource + w * h, pBuffer + w * h, w, h / 2);
        break;
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12:
        CopyRowsReversed(pSource, pBuffer, w, h);
        // Each chroma plane ends where the next one starts in the packed layout.
        CopyRowsReversed(pSource + w * h, pBuffer + (5 * w * h) / 4 - (w / 2) * (h / 2), w / 2, h / 2);
        CopyRowsReversed(pSource + (5 * w * h) / 4, pBuffer + (3 * w * h) / 2 - (w / 2) * (h / 2), w / 2,
                         h / 2);
        break;
    case DISPLAY_FOURCC_IYU2:
    case DISPLAY_FOURCC_YUY2:
    case DISPLAY_FOURCC_YVYU:
    case DISPLAY_FOURCC_UYVY:
        CopyRowsReversed(pSource, pBuffer, CBaseDisplay::BitsPerPixel(pPicture->dwFourCC) * w / 8, h);
        break;
    default:
        return DISPLAY_E_FAIL;
    }
    return DISPLAY_OK;
}

int32_t CDrawDib::RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) {
    platform::CLockGuard guard(m_lock);
    pFinish->bDrawn = false;
    pFinish->dwValue = 0;
    for (void *&pObject : pFinish->apObjects)
        pObject = nullptr;
    int32_t nResult = CBaseDisplay::RenderViewport(pEntry, pFinish);
    if (nResult != DISPLAY_OK)
        return nResult;
    auto *pViewport = static_cast<Viewport *>(pEntry->pPrivate);
    const DISPLAY_PICTURE *pPicture = m_pPicture;
    if (!pViewport || !m_pfnOpen || !m_pfnDraw)
        return DISPLAY_E_FAIL;

    if (!m_pRgb || m_bFormatChanged) {
        FreeBuffers();
        const size_t cbFlipped = pPicture->dwDataSize;
        const uint32_t dwStride = RgbStride(pPicture->nWidth);
        const size_t cbRgb = static_cast<size_t>(dwStride) * static_cast<size_t>(pPicture->nHeight);
        m_pFlipped = static_cast<uint8_t *>(platform::PageAlloc(cbFlipped));
        m_pRgb = m_pFlipped ? static_cast<uint8_t *>(platform::PageAlloc(cbRgb)) : nullptr;
        if (!m_pRgb) {
            if (m_pFlipped)
                platform::PageFree(m_pFlipped, cbFlipped);
            m_pFlipped = nullptr;
            return DISPLAY_E_OUT_OF_MEMORY;
        }
        m_cbFlipped = cbFlipped;
        m_cbRgb = cbRgb;
        m_dwStride = dwStride;
    }
    m_bFormatChanged = false;
    if (!pViewport->hDrawDib) {
        pViewport->hDrawDib = m_pfnOpen();
        if (!pViewport->hDrawDib)
            return DISPLAY_E_FAIL;
    }

    if (!m_bConverted) {
        // Only what the format needs is copied: a later picture of the same
        // format and size may carry more data than the buffer was made for.
        if (InserseYuv(pPicture, m_pFlipped) != DISPLAY_OK)
            return DISPLAY_E_FAIL;
        CONVERT_SETTING setting{};
        setting.dwFourCC = pPicture->dwFourCC;
        setting.wWidth = pPicture->nWidth;
        setting.wHeight = pPicture->nHeight;
        setting.pYuv = m_pFlipped;
        setting.dwYuvSize = static_cast<uint32_t>(m_cbFlipped);
        setting.pRgb24 = m_pRgb;
        setting.dwRgbSize = static_cast<uint32_t>(m_cbRgb);
        setting.bTopDown = TRUE; // of the reversed rows: a bottom-up bitmap
        setting.dwPicth = m_dwStride;
        m_bConverted = Converter().Convert(&setting) != FALSE;
        if (!m_bConverted)
            return DISPLAY_E_FAIL;
    }

    const RECT &rcSource = pEntry->rcSource;
    if (IsRectEmpty(&rcSource))
        return DISPLAY_E_EMPTY_SOURCE;
    const HWND hWnd = pEntry->viewport.hDestWnd;
    HDC hDC = GetDC(hWnd);
    if (!hDC)
        return DISPLAY_E_BAD_WINDOW;
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = pPicture->nWidth;
    header.biHeight = pPicture->nHeight; // positive: bottom-up rows
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const RECT &rcDest = pEntry->rcDestination;
    const BOOL bDrawn =
        m_pfnDraw(pViewport->hDrawDib, hDC, rcDest.left, rcDest.top, rcDest.right - rcDest.left,
                  rcDest.bottom - rcDest.top, &header, m_pRgb, rcSource.left, rcSource.top,
                  rcSource.right - rcSource.left, rcSource.bottom - rcSource.top, 0);
    ReleaseDC(hWnd, hDC);
    if (!bDrawn)
        return DISPLAY_E_FAIL;
    pFinish->bDrawn = true;
    return DISPLAY_OK;
}

int32_t CDrawDib::FinishViewport(ViewportFinish *pFinish) {
    if (!pFinish->bDrawn)
        return DISPLAY_E_FAIL;
    if (!WantsDcRender())
        return DISPLAY_OK;
    // On the window, after the picture: the client draws over it.
    const HWND hWnd = pFinish->viewport.hDestWnd;
    HDC hDC = GetDC(hWnd);
    if (!hDC)
        return DISPLAY_E_BAD_WINDOW;
    OfferDcRender(hDC, pFinish->viewport);
    ReleaseDC(hWnd, hDC);
    return DISPLAY_OK;
}
