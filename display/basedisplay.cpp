// The common part of every display back end.
#include "display/basedisplay.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "display/windowsystem.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

bool IsEmpty(const RECT &rc) {
    return rc.right <= rc.left || rc.bottom <= rc.top;
}

bool Equal(const RECT &a, const RECT &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

} // namespace

CBaseDisplay::CBaseDisplay(int nType, CDisplayManager *pOwner)
    : m_nType(nType), m_pOwner(pOwner), m_dwThreadId(platform::CThread::CurrentThreadId()) {}

CBaseDisplay::~CBaseDisplay() = default;

int32_t CBaseDisplay::Initialize() {
    return DISPLAY_OK;
}

int32_t CBaseDisplay::Uninitialize() {
    return DISPLAY_OK;
}

uint32_t CBaseDisplay::BitsPerPixel(uint32_t dwFourCC) {
    switch (dwFourCC) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12:
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        return DISPLAY_BITS_420;
    case DISPLAY_FOURCC_YUY2:
    case DISPLAY_FOURCC_YVYU:
    case DISPLAY_FOURCC_UYVY:
        return DISPLAY_BITS_422;
    case DISPLAY_FOURCC_IYU2:
        return DISPLAY_BITS_444;
    default:
        return 0;
    }
}

int32_t CBaseDisplay::CheckPicture(const DISPLAY_PICTURE *pPicture) {
    if (pPicture == nullptr)
        return DISPLAY_E_NO_PICTURE;
    if (pPicture->dwSize != DISPLAY_PICTURE_SIZE)
        return DISPLAY_E_BAD_SIZE;
    const uint32_t dwBits = BitsPerPixel(pPicture->dwFourCC);
    if (dwBits == 0)
        return DISPLAY_E_BAD_FOURCC;
    if (pPicture->nWidth <= 0 || pPicture->nHeight <= 0)
        return DISPLAY_E_INVALID_VALUE;
    if (pPicture->pData == nullptr)
        return DISPLAY_E_NULL_POINTER;
    // In 64 bits: the 32-bit product of a huge picture would wrap and let a
    // short buffer through.
    const uint64_t qwNeeded =
        static_cast<uint64_t>(pPicture->nWidth) * static_cast<uint64_t>(pPicture->nHeight) * dwBits / 8;
    if (pPicture->dwDataSize < qwNeeded)
        return DISPLAY_E_BUFFER_TOO_SMALL;
    return DISPLAY_OK;
}

// ---------------------------------------------------------------------------
// Viewports

ViewportEntry *CBaseDisplay::FindViewport(uint32_t dwID) {
    platform::CLockGuard guard(m_lock);
    for (auto &pEntry : m_viewports)
        if (pEntry->viewport.dwID == dwID)
            return pEntry.get();
    return nullptr;
}

int32_t CBaseDisplay::AddViewport(const PLAY_VIEWPORT *pViewport) {
    if (pViewport == nullptr)
        return DISPLAY_E_NULL_POINTER;
    platform::CLockGuard guard(m_lock);
    ViewportEntry *pEntry = FindViewport(pViewport->dwID);
    if (pEntry != nullptr) {
        pEntry->viewport = *pViewport;
        pEntry->bChanged = 1;
        if (pEntry->pPrivate != nullptr)
            ReleaseViewportData(pEntry, false);
        return DISPLAY_OK;
    }
    auto pNew = std::make_unique<ViewportEntry>();
    std::memset(pNew.get(), 0, sizeof(ViewportEntry));
    pNew->viewport = *pViewport;
    pNew->bChanged = 1;
    const int32_t nResult = NewViewportData(pNew.get());
    if (nResult < 0)
        return nResult;
    m_viewports.push_back(std::move(pNew));
    return DISPLAY_OK;
}

int32_t CBaseDisplay::NewViewportData(ViewportEntry *) {
    return DISPLAY_OK;
}

void CBaseDisplay::ReleaseViewportData(ViewportEntry *, bool) {}

bool CBaseDisplay::NoteFormat(const DISPLAY_PICTURE *pPicture) {
    const bool bChanged = !m_bHaveFormat || pPicture->dwFourCC != m_dwFormatFourCC ||
                          pPicture->nWidth != m_nFormatWidth || pPicture->nHeight != m_nFormatHeight;
    m_bHaveFormat = true;
    m_dwFormatFourCC = pPicture->dwFourCC;
    m_nFormatWidth = pPicture->nWidth;
    m_nFormatHeight = pPicture->nHeight;
    return bChanged;
}

int32_t CBaseDisplay::RemoveViewport(uint32_t dwID) {
    platform::CLockGuard guard(m_lock);
    for (auto it = m_viewports.begin(); it != m_viewports.end(); ++it) {
        if ((*it)->viewport.dwID != dwID)
            continue;
        if ((*it)->pPrivate != nullptr)
            ReleaseViewportData(it->get(), true);
        if ((*it)->pPrivate != nullptr)
            return DISPLAY_E_FAIL; // a back end that kept its objects
        m_viewports.erase(it);
        return DISPLAY_OK;
    }
    return DISPLAY_E_NO_SUCH_VIEWPORT;
}

int32_t CBaseDisplay::GetViewports(PLAY_VIEWPORT *pViewports, uint32_t *pdwCount) {
    if (pdwCount == nullptr)
        return DISPLAY_E_NULL_POINTER;
    platform::CLockGuard guard(m_lock);
    const uint32_t dwHave = static_cast<uint32_t>(m_viewports.size());
    if (pViewports == nullptr) {
        *pdwCount = dwHave;
        return DISPLAY_OK;
    }
    const uint32_t dwCopy = std::min(*pdwCount, dwHave);
    for (uint32_t i = 0; i < dwCopy; ++i)
        pViewports[i] = m_viewports[i]->viewport;
    *pdwCount = dwCopy;
    return DISPLAY_OK;
}

int32_t CBaseDisplay::RemoveAllViewports() {
    platform::CLockGuard guard(m_lock);
    std::vector<uint32_t> ids;
    ids.reserve(m_viewports.size());
    for (auto &pEntry : m_viewports)
        ids.push_back(pEntry->viewport.dwID);
    for (uint32_t dwID : ids) {
        // The virtual one, so that a back end frees its objects; called from
        // a derived destructor it is that class's own override.
        const int32_t nResult = RemoveViewport(dwID);
        if (nResult < 0)
            return nResult;
    }
    return DISPLAY_OK;
}

// ---------------------------------------------------------------------------
// Pictures and drawing

int32_t CBaseDisplay::SetPicture(const DISPLAY_PICTURE *pPicture, const DISPLAY_PICTURE_HOOKS *pHooks) {
    platform::CLockGuard guard(m_lock);
    if (pPicture != nullptr)
        PrepareFormat(pPicture);
    m_pPicture = pPicture;
    m_pHooks = pHooks;
    return DISPLAY_OK;
}

int32_t CBaseDisplay::PrepareFormat(const DISPLAY_PICTURE *) {
    return DISPLAY_OK;
}

RECT CBaseDisplay::SourceRect(const PLAY_VIEWPORT &viewport, const DISPLAY_PICTURE *pPicture) {
    RECT rc{0, 0, 0, 0};
    if (pPicture == nullptr)
        return rc;
    const RECT &src = viewport.rcSrc;
    if (IsEmpty(src))
        return RECT{0, 0, pPicture->nWidth, pPicture->nHeight};
    rc.left = std::max<LONG>(src.left, 0);
    rc.top = std::max<LONG>(src.top, 0);
    rc.right = std::min<LONG>(src.right, pPicture->nWidth);
    rc.bottom = std::min<LONG>(src.bottom, pPicture->nHeight);
    return rc;
}

RECT CBaseDisplay::DestinationRect(const PLAY_VIEWPORT &viewport) {
    RECT client{0, 0, 0, 0};
    if (!display::GetClientArea(viewport.hDestWnd, &client))
        client = RECT{0, 0, 0, 0};
    const RECT &dest = viewport.rcDest;
    if (IsEmpty(dest))
        return client;
    RECT rc;
    rc.left = std::max(client.left, dest.left);
    rc.top = std::max(client.top, dest.top);
    rc.right = std::min(client.right, dest.right);
    rc.bottom = std::min(client.bottom, dest.bottom);
    return rc;
}

int32_t CBaseDisplay::RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) {
    const int32_t nResult = CheckPicture(m_pPicture);
    if (nResult < 0)
        return nResult;
    const RECT rcSource = SourceRect(pEntry->viewport, m_pPicture);
    const RECT rcDestination = DestinationRect(pEntry->viewport);
    if (!pEntry->bChanged && !Equal(rcDestination, pEntry->rcDestination))
        pEntry->bChanged = 1;
    pEntry->rcSource = rcSource;
    pEntry->rcDestination = rcDestination;
    if (pFinish != nullptr) {
        std::memset(pFinish, 0, sizeof(*pFinish));
        pFinish->viewport = pEntry->viewport;
        pFinish->rcSource = rcSource;
        pFinish->rcDestination = rcDestination;
    }
    return DISPLAY_OK;
}

int32_t CBaseDisplay::FinishViewport(ViewportFinish *) {
    return DISPLAY_OK;
}

int32_t CBaseDisplay::RenderViewports(bool (*pSelect)(const ViewportEntry &, HWND), HWND hWnd) {
    // Drawn under the lock (the viewport list and the back end's objects
    // cannot change meanwhile), finished outside it (the hooks reach the
    // client, which may call back into the library).
    std::vector<ViewportFinish> finishes;
    int32_t nResult = DISPLAY_OK;
    bool bAny = false;
    {
        platform::CLockGuard guard(m_lock);
        finishes.reserve(m_viewports.size());
        // By index: a back end may not change the list from RenderViewport,
        // but the lock is recursive, so be safe against it.
        for (size_t i = 0; i < m_viewports.size(); ++i) {
            ViewportEntry *pEntry = m_viewports[i].get();
            if (!pSelect(*pEntry, hWnd))
                continue;
            bAny = true;
            ViewportFinish finish;
            nResult = RenderViewport(pEntry, &finish);
            if (nResult < 0)
                break;
            finishes.push_back(finish);
        }
    }
    for (ViewportFinish &finish : finishes) {
        const int32_t nFinish = FinishViewport(&finish);
        if (nResult >= 0 && nFinish < 0)
            nResult = nFinish; // the later finishes still drop their references
    }
    if (!bAny)
        return DISPLAY_E_FAIL;
    return nResult;
}

int32_t CBaseDisplay::Present() {
    return RenderViewports([](const ViewportEntry &, HWND) { return true; }, 0);
}

int32_t CBaseDisplay::Repaint(HWND hWnd) {
    return RenderViewports(
        [](const ViewportEntry &entry, HWND hWindow) { return entry.viewport.hDestWnd == hWindow; }, hWnd);
}

void CBaseDisplay::OfferDcRender(HDC hDC, const PLAY_VIEWPORT &viewport) {
    if (!WantsDcRender())
        return;
    PLAY_DC_RENDER record;
    std::memset(&record, 0, sizeof(record));
    record.dwSize = PLAY_DC_RENDER_SIZE;
    record.hDC = hDC;
    record.viewport = viewport;
    m_pHooks->pfnDcRender(m_pOwner, &record, m_pHooks->pDcRenderContext);
}

void CBaseDisplay::OfferDeviceRender(uint32_t dwBackend, void *pDevice, void *pSurface,
                                     const PLAY_VIEWPORT &viewport) {
    if (!WantsDeviceRender())
        return;
    PLAY_DEVICE_RENDER record;
    std::memset(&record, 0, sizeof(record));
    record.dwSize = PLAY_DEVICE_RENDER_SIZE;
    record.dwBackend = dwBackend;
    record.pDevice = pDevice;
    record.pSurface = pSurface;
    record.viewport = viewport;
    m_pHooks->pfnDeviceRender(m_pOwner, &record, m_pHooks->pDeviceRenderContext);
}

// ---------------------------------------------------------------------------
// Copying pictures into surfaces

bool CBaseDisplay::CopyYuv2Surface(uint32_t dwFourCC, uint8_t *lpSurface, int32_t nPicth,
                                   const uint8_t *pYuvBuffer, uint32_t wWidth, uint32_t wHeight,
                                   size_t dwYuvSize, size_t dwSurfaceSize) {
    const size_t w = wWidth, h = wHeight;
    const size_t pitch = nPicth > 0 ? static_cast<size_t>(nPicth) : 0;
    size_t rowBytes = 0;
    bool bPlanar = false, bSemiPlanar = false;
    switch (dwFourCC) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12:
        rowBytes = w;
        bPlanar = true;
        break;
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        rowBytes = w;
        bSemiPlanar = true;
        break;
    case DISPLAY_FOURCC_IYU2:
        rowBytes = 3 * w;
        break;
    case DISPLAY_FOURCC_YUY2:
    case DISPLAY_FOURCC_YVYU:
    case DISPLAY_FOURCC_UYVY:
        rowBytes = 2 * w;
        break;
    default:
        return false;
    }
    // What the copy reads and writes, checked before a byte moves: this
    // stands where a fault handler would catch a bad surface or picture.
    size_t srcNeeded = rowBytes * h, dstNeeded = h ? pitch * (h - 1) + rowBytes : 0;
    if (bPlanar) {
        srcNeeded = std::max(w * h, (5 * w * h) / 4) + (w / 2) * (h / 2);
        if (h / 2 > 0)
            dstNeeded = std::max(dstNeeded, (5 * pitch * h) / 4 + (pitch / 2) * (h / 2 - 1) + w / 2);
    } else if (bSemiPlanar) {
        srcNeeded = w * h + w * (h / 2);
        if (h / 2 > 0)
            dstNeeded = std::max(dstNeeded, pitch * h + pitch * (h / 2 - 1) + w);
    }
    bool bOk = lpSurface != nullptr && pYuvBuffer != nullptr && pitch >= rowBytes && srcNeeded <= dwYuvSize &&
               dstNeeded <= dwSurfaceSize;
    bOk = bOk && platform::IsReadableRange(pYuvBuffer, srcNeeded);
    if (!bOk) {
        char line[1024];
        platform::DebugOutput("EXCEPTION_ACCESS_VIOLATION occurs in CBaseDisplay::CopyYuv2Surface!\n");
        std::snprintf(line, sizeof(line),
                      "dwFourCC=0x%X, lpSurface=0x%p, nPicth=%d, pYuvBuffer=0x%p, wWidth=%u, wHeight=%u\n",
                      dwFourCC, static_cast<void *>(lpSurface), nPicth, static_cast<const void *>(pYuvBuffer),
                      wWidth, wHeight);
        platform::DebugOutput(line);
        return false;
    }
    for (size_t y = 0; y < h; ++y)
        std::memcpy(lpSurface + y * pitch, pYuvBuffer + y * rowBytes, rowBytes);
    if (bPlanar) {
        const size_t cw = w / 2, ch = h / 2, cpitch = pitch / 2;
        const uint8_t *pSrc1 = pYuvBuffer + w * h;
        const uint8_t *pSrc2 = pYuvBuffer + (5 * w * h) / 4;
        uint8_t *pDst1 = lpSurface + pitch * h;
        uint8_t *pDst2 = lpSurface + (5 * pitch * h) / 4;
        for (size_t y = 0; y < ch; ++y) {
            std::memcpy(pDst1 + y * cpitch, pSrc1 + y * cw, cw);
            std::memcpy(pDst2 + y * cpitch, pSrc2 + y * cw, cw);
        }
    } else if (bSemiPlanar) {
        const uint8_t *pSrc = pYuvBuffer + w * h;
        uint8_t *pDst = lpSurface + pitch * h;
        for (size_t y = 0; y < h / 2; ++y)
            std::memcpy(pDst + y * pitch, pSrc + y * w, w);
    }
    return true;
}
