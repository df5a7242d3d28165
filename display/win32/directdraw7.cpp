// DirectDraw 7 back end. Drawing (copy and stretch into the viewport's
// surface) happens under the base lock; the client's hooks and the blit onto
// the primary surface happen after it, on references taken under the lock.
#include "display/win32/directdraw7.h"

#include <algorithm>
#include <new>

#include "display/displaymanager.h"

namespace {

// IID_IDirectDraw7, defined here because the library links no GUID library.
const GUID kIidDirectDraw7 = {0x15e65ec0, 0x3b9c, 0x11d2, {0xb9, 0x2f, 0x00, 0x60, 0x97, 0x97, 0xea, 0x5b}};

constexpr uint32_t kFinishSkipped = 1; // ViewportFinish::dwValue: window on no known monitor

// ViewportFinish::apObjects slots.
enum { kObjSurface = 0, kObjPrimary = 1, kObjClipper = 2, kObjDirectDraw = 3 };

template <typename T> void SafeRelease(T **ppObject) {
    if (*ppObject) {
        (*ppObject)->Release();
        *ppObject = nullptr;
    }
}

// Bytes of a locked surface of the picture's format (see direct3d9.cpp).
size_t LockedSurfaceBytes(uint32_t dwFourCC, LONG lPitch, DWORD dwHeight) {
    const size_t pitch = lPitch > 0 ? static_cast<size_t>(lPitch) : 0;
    switch (dwFourCC) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12:
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        return pitch * dwHeight * 3 / 2;
    default:
        return pitch * dwHeight;
    }
}

} // namespace

CDirectDraw7::CDirectDraw7(CDisplayManager *pOwner) : CBaseDisplay(DISPLAY_TYPE_DIRECTDRAW7, pOwner) {
    m_hModule = LoadLibraryW(L"ddraw.dll");
    if (m_hModule) {
        m_pfnEnumerateEx = reinterpret_cast<PFN_ENUMERATE_EX>(
            reinterpret_cast<void *>(GetProcAddress(m_hModule, "DirectDrawEnumerateExA")));
        m_pfnCreateEx = reinterpret_cast<PFN_CREATE_EX>(
            reinterpret_cast<void *>(GetProcAddress(m_hModule, "DirectDrawCreateEx")));
    }
}

CDirectDraw7::~CDirectDraw7() {
    Uninitialize();
    RemoveAllViewports();
    if (m_hModule)
        FreeLibrary(m_hModule);
}

BOOL WINAPI CDirectDraw7::EnumDevice(GUID *pGuid, LPSTR, LPSTR, LPVOID pContext, HMONITOR hMonitor) {
    auto *pThis = static_cast<CDirectDraw7 *>(pContext);
    auto pAdapter = std::unique_ptr<Adapter>(new (std::nothrow) Adapter);
    if (!pAdapter)
        return FALSE;
    if (pGuid) {
        pAdapter->bHasGuid = true;
        pAdapter->guid = *pGuid;
    }
    pAdapter->hMonitor = hMonitor;
    pThis->m_adapters.push_back(std::move(pAdapter));
    return TRUE; // DDENUMRET_OK: go on
}

BOOL CALLBACK CDirectDraw7::EnumMonitor(HMONITOR hMonitor, HDC, LPRECT, LPARAM lParam) {
    auto *pThis = reinterpret_cast<CDirectDraw7 *>(lParam);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(hMonitor, &info))
        return TRUE;
    for (auto &pAdapter : pThis->m_adapters) {
        // The primary display driver is enumerated without a monitor.
        if (!pAdapter->hMonitor && (info.dwFlags & MONITORINFOF_PRIMARY))
            pAdapter->hMonitor = hMonitor;
        if (pAdapter->hMonitor == hMonitor)
            pAdapter->rcMonitor = info.rcMonitor;
    }
    return TRUE;
}

int32_t CDirectDraw7::Initialize() {
    platform::CLockGuard guard(m_lock);
    if (!m_pfnEnumerateEx)
        return DISPLAY_E_NOT_AVAILABLE;
    Uninitialize();
    const HRESULT hr = m_pfnEnumerateEx(EnumDevice, this, DDENUM_ATTACHEDSECONDARYDEVICES);
    if (!EnumDisplayMonitors(nullptr, nullptr, EnumMonitor, reinterpret_cast<LPARAM>(this))) {
        m_adapters.clear();
        return DISPLAY_E_FAIL;
    }
    // One object per monitor: the primary display driver and the device of the
    // primary monitor name the same screen.
    std::vector<std::unique_ptr<Adapter>> distinct;
    for (auto &pAdapter : m_adapters) {
        const bool bSeen =
            std::any_of(distinct.begin(), distinct.end(),
                        [&](const std::unique_ptr<Adapter> &p) { return p->hMonitor == pAdapter->hMonitor; });
        if (!bSeen)
            distinct.push_back(std::move(pAdapter));
    }
    m_adapters = std::move(distinct);
    if (FAILED(hr))
        return hr;
    // Without any monitor this back end could only pretend to present.
    return m_adapters.empty() ? DISPLAY_E_FAIL : DISPLAY_OK;
}

int32_t CDirectDraw7::Uninitialize() {
    platform::CLockGuard guard(m_lock);
    for (auto &pAdapter : m_adapters)
        ReleaseAdapterObjects(pAdapter.get());
    m_adapters.clear();
    return DISPLAY_OK;
}

int32_t CDirectDraw7::NewViewportData(ViewportEntry *pEntry) {
    pEntry->pPrivate = new (std::nothrow) Viewport;
    return pEntry->pPrivate != nullptr ? DISPLAY_OK : DISPLAY_E_OUT_OF_MEMORY;
}

void CDirectDraw7::ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) {
    auto *pPrivate = static_cast<Viewport *>(pEntry->pPrivate);
    ReleaseViewportObjects(pPrivate);
    *pPrivate = Viewport{};
    if (bRemove) {
        delete pPrivate;
        pEntry->pPrivate = nullptr;
    }
}

int32_t CDirectDraw7::PrepareFormat(const DISPLAY_PICTURE *pPicture) {
    platform::CLockGuard guard(m_lock);
    const bool bChanged = NoteFormat(pPicture);
    for (auto &pAdapter : m_adapters) {
        if (bChanged)
            pAdapter->bFormatChanged = true; // a pending change stays
        pAdapter->bCopied = false;
    }
    for (auto &pEntry : m_viewports) {
        if (pEntry->pPrivate)
            static_cast<Viewport *>(pEntry->pPrivate)->bDrawn = false;
    }
    return DISPLAY_OK;
}

CDirectDraw7::Adapter *CDirectDraw7::FindAdapter(HMONITOR hMonitor) {
    if (!hMonitor)
        return nullptr;
    for (auto &pAdapter : m_adapters) {
        if (pAdapter->hMonitor == hMonitor)
            return pAdapter.get();
    }
    return nullptr;
}

void CDirectDraw7::ReleaseViewportObjects(Viewport *pViewport) {
    SafeRelease(&pViewport->pSurface);
    pViewport->hMonitor = nullptr;
    pViewport->bDrawn = false;
}

void CDirectDraw7::ReleaseAdapterObjects(Adapter *pAdapter) {
    for (auto &pEntry : m_viewports) {
        auto *pPrivate = static_cast<Viewport *>(pEntry->pPrivate);
        if (pPrivate && pPrivate->pSurface && pPrivate->hMonitor == pAdapter->hMonitor)
            ReleaseViewportObjects(pPrivate);
    }
    SafeRelease(&pAdapter->pPicture);
    pAdapter->bCopied = false;
    SafeRelease(&pAdapter->pClipper);
    SafeRelease(&pAdapter->pPrimary);
    pAdapter->fourCCs.clear();
    SafeRelease(&pAdapter->pDirectDraw);
}

int32_t CDirectDraw7::CreateObjects(Adapter *pAdapter) {
    if (!m_pfnCreateEx)
        return DISPLAY_E_NOT_AVAILABLE;
    GUID guid = pAdapter->guid;
    void *pObject = nullptr;
    HRESULT hr = m_pfnCreateEx(pAdapter->bHasGuid ? &guid : nullptr, &pObject, kIidDirectDraw7, nullptr);
    if (FAILED(hr) || !pObject)
        return FAILED(hr) ? hr : DISPLAY_E_FAIL;
    pAdapter->pDirectDraw = static_cast<IDirectDraw7 *>(pObject);

    int32_t nResult = DISPLAY_OK;
    DWORD dwCount = 0;
    hr = pAdapter->pDirectDraw->GetFourCCCodes(&dwCount, nullptr);
    if (FAILED(hr)) {
        nResult = hr;
    } else if (dwCount == 0) {
        nResult = DISPLAY_E_NOT_AVAILABLE; // no YUV surfaces: nothing this back end can show
    } else {
        pAdapter->fourCCs.resize(dwCount);
        hr = pAdapter->pDirectDraw->GetFourCCCodes(&dwCount, pAdapter->fourCCs.data());
        if (FAILED(hr))
            nResult = hr;
        else
            pAdapter->fourCCs.resize(std::min<size_t>(dwCount, pAdapter->fourCCs.size()));
    }
    if (nResult == DISPLAY_OK) {
        // Multithreaded: viewport surfaces are released from the player's threads.
        hr = pAdapter->pDirectDraw->SetCooperativeLevel(nullptr, DDSCL_NORMAL | DDSCL_MULTITHREADED);
        if (FAILED(hr))
            nResult = hr;
    }
    if (nResult == DISPLAY_OK) {
        DDSURFACEDESC2 desc{};
        desc.dwSize = sizeof(desc);
        desc.dwFlags = DDSD_CAPS;
        desc.ddsCaps.dwCaps = DDSCAPS_PRIMARYSURFACE;
        hr = pAdapter->pDirectDraw->CreateSurface(&desc, &pAdapter->pPrimary, nullptr);
        if (FAILED(hr)) {
            pAdapter->pPrimary = nullptr;
            nResult = hr;
        }
    }
    if (nResult == DISPLAY_OK) {
        hr = pAdapter->pDirectDraw->CreateClipper(0, &pAdapter->pClipper, nullptr);
        if (FAILED(hr)) {
            pAdapter->pClipper = nullptr;
            nResult = hr;
        }
    }
    if (nResult == DISPLAY_OK) {
        hr = pAdapter->pPrimary->SetClipper(pAdapter->pClipper);
        if (FAILED(hr))
            nResult = hr;
    }
    if (nResult != DISPLAY_OK)
        ReleaseAdapterObjects(pAdapter);
    return nResult;
}

int32_t CDirectDraw7::CreatePictureSurface(Adapter *pAdapter) {
    const DISPLAY_PICTURE *pPicture = m_pPicture;
    if (std::find(pAdapter->fourCCs.begin(), pAdapter->fourCCs.end(), pPicture->dwFourCC) ==
        pAdapter->fourCCs.end())
        return DISPLAY_E_BAD_FOURCC;
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT | DDSD_PIXELFORMAT;
    desc.dwWidth = static_cast<DWORD>(pPicture->nWidth);
    desc.dwHeight = static_cast<DWORD>(pPicture->nHeight);
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_VIDEOMEMORY;
    desc.ddpfPixelFormat.dwSize = sizeof(desc.ddpfPixelFormat);
    desc.ddpfPixelFormat.dwFlags = DDPF_FOURCC;
    desc.ddpfPixelFormat.dwFourCC = pPicture->dwFourCC;
    HRESULT hr = pAdapter->pDirectDraw->CreateSurface(&desc, &pAdapter->pPicture, nullptr);
    if (FAILED(hr)) {
        pAdapter->pPicture = nullptr;
        return hr;
    }
    pAdapter->bCopied = false;
    return DISPLAY_OK;
}

int32_t CDirectDraw7::CreateViewportSurface(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport) {
    const RECT &rcDest = pEntry->rcDestination;
    if (IsRectEmpty(&rcDest))
        return DISPLAY_E_EMPTY_DEST;
    DDSURFACEDESC2 desc{};
    desc.dwSize = sizeof(desc);
    desc.dwFlags = DDSD_CAPS | DDSD_WIDTH | DDSD_HEIGHT; // the display's format
    desc.dwWidth = static_cast<DWORD>(rcDest.right - rcDest.left);
    desc.dwHeight = static_cast<DWORD>(rcDest.bottom - rcDest.top);
    desc.ddsCaps.dwCaps = DDSCAPS_OFFSCREENPLAIN | DDSCAPS_VIDEOMEMORY;
    HRESULT hr = pAdapter->pDirectDraw->CreateSurface(&desc, &pViewport->pSurface, nullptr);
    if (FAILED(hr)) {
        pViewport->pSurface = nullptr;
        return hr;
    }
    pViewport->hMonitor = pAdapter->hMonitor;
    pViewport->bDrawn = false;
    return DISPLAY_OK;
}

int32_t CDirectDraw7::RestoreLost(Adapter *pAdapter, Viewport *pViewport) {
    // A display-mode change loses every surface; restored ones lost their content.
    if (pAdapter->pPrimary->IsLost() == DDERR_SURFACELOST) {
        HRESULT hr = pAdapter->pPrimary->Restore();
        if (FAILED(hr)) {
            ReleaseAdapterObjects(pAdapter);
            return hr;
        }
    }
    if (pAdapter->pPicture->IsLost() == DDERR_SURFACELOST) {
        pAdapter->bCopied = false;
        HRESULT hr = pAdapter->pPicture->Restore();
        if (FAILED(hr)) {
            SafeRelease(&pAdapter->pPicture);
            return hr;
        }
    }
    if (pViewport->pSurface->IsLost() == DDERR_SURFACELOST) {
        pViewport->bDrawn = false;
        HRESULT hr = pViewport->pSurface->Restore();
        if (FAILED(hr)) {
            ReleaseViewportObjects(pViewport);
            return hr;
        }
    }
    return DISPLAY_OK;
}

int32_t CDirectDraw7::DrawViewport(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport) {
    const DISPLAY_PICTURE *pPicture = m_pPicture;
    if (!pAdapter->bCopied) {
        DDSURFACEDESC2 desc{};
        desc.dwSize = sizeof(desc);
        if (SUCCEEDED(pAdapter->pPicture->Lock(nullptr, &desc, DDLOCK_WAIT | DDLOCK_WRITEONLY, nullptr))) {
            pAdapter->bCopied = CopyYuv2Surface(
                pPicture->dwFourCC, static_cast<uint8_t *>(desc.lpSurface), desc.lPitch, pPicture->pData,
                static_cast<uint32_t>(pPicture->nWidth), static_cast<uint32_t>(pPicture->nHeight),
                pPicture->dwDataSize, LockedSurfaceBytes(pPicture->dwFourCC, desc.lPitch, desc.dwHeight));
            pAdapter->pPicture->Unlock(nullptr);
        }
    }
    if (!pAdapter->bCopied)
        return DISPLAY_E_FAIL;
    if (pViewport->bDrawn)
        return DISPLAY_OK;
    if (IsRectEmpty(&pEntry->rcSource))
        return DISPLAY_E_EMPTY_SOURCE;
    RECT rcSource = pEntry->rcSource;
    HRESULT hr =
        pViewport->pSurface->Blt(nullptr, pAdapter->pPicture, &rcSource, DDBLT_WAIT | DDBLT_ASYNC, nullptr);
    if (SUCCEEDED(hr))
        pViewport->bDrawn = true;
    return DISPLAY_OK;
}

int32_t CDirectDraw7::RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) {
    platform::CLockGuard guard(m_lock);
    pFinish->bDrawn = false;
    pFinish->dwValue = 0;
    for (void *&pObject : pFinish->apObjects)
        pObject = nullptr;
    int32_t nResult = CBaseDisplay::RenderViewport(pEntry, pFinish);
    if (nResult != DISPLAY_OK)
        return nResult;
    auto *pViewport = static_cast<Viewport *>(pEntry->pPrivate);
    if (!pViewport)
        return DISPLAY_E_FAIL;

    Adapter *pAdapter = FindAdapter(MonitorFromWindow(pEntry->viewport.hDestWnd, MONITOR_DEFAULTTONULL));
    if (!pAdapter) {
        pFinish->dwValue = kFinishSkipped;
        return DISPLAY_OK;
    }
    if (!pAdapter->pDirectDraw || !pAdapter->pPrimary || !pAdapter->pClipper) {
        ReleaseAdapterObjects(pAdapter);
        nResult = CreateObjects(pAdapter);
        if (nResult != DISPLAY_OK)
            return nResult;
    }
    if (pAdapter->pPicture && pAdapter->bFormatChanged)
        SafeRelease(&pAdapter->pPicture);
    if (!pAdapter->pPicture) {
        nResult = CreatePictureSurface(pAdapter);
        if (nResult != DISPLAY_OK)
            return nResult;
    }
    pAdapter->bFormatChanged = false;
    const bool bKeep = pViewport->pSurface && !pEntry->bChanged && pViewport->hMonitor == pAdapter->hMonitor;
    if (!bKeep) {
        ReleaseViewportObjects(pViewport);
        nResult = CreateViewportSurface(pAdapter, pEntry, pViewport);
        if (nResult != DISPLAY_OK)
            return nResult;
        pEntry->bChanged = 0;
    }
    nResult = RestoreLost(pAdapter, pViewport);
    if (nResult != DISPLAY_OK)
        return nResult;
    nResult = DrawViewport(pAdapter, pEntry, pViewport);
    if (nResult != DISPLAY_OK || !pViewport->bDrawn)
        return nResult;

    pFinish->bDrawn = true;
    IUnknown *apObjects[] = {pViewport->pSurface, pAdapter->pPrimary, pAdapter->pClipper,
                             pAdapter->pDirectDraw};
    static_assert(sizeof(apObjects) / sizeof(apObjects[0]) <= sizeof(pFinish->apObjects) / sizeof(void *));
    for (size_t i = 0; i < sizeof(apObjects) / sizeof(apObjects[0]); ++i) {
        apObjects[i]->AddRef();
        pFinish->apObjects[i] = apObjects[i];
    }
    return DISPLAY_OK;
}

int32_t CDirectDraw7::FinishViewport(ViewportFinish *pFinish) {
    auto *pSurface = static_cast<IDirectDrawSurface7 *>(pFinish->apObjects[kObjSurface]);
    auto *pPrimary = static_cast<IDirectDrawSurface7 *>(pFinish->apObjects[kObjPrimary]);
    auto *pClipper = static_cast<IDirectDrawClipper *>(pFinish->apObjects[kObjClipper]);
    auto *pDirectDraw = static_cast<IDirectDraw7 *>(pFinish->apObjects[kObjDirectDraw]);
    int32_t nResult = DISPLAY_OK;
    if (pFinish->dwValue & kFinishSkipped) {
        nResult = DISPLAY_OK;
    } else if (!pFinish->bDrawn || !pSurface) {
        nResult = DISPLAY_E_FAIL; // the next back end presents this picture
    } else {
        OfferDeviceRender(DISPLAY_FLAG_DIRECTDRAW7, pDirectDraw, pSurface, pFinish->viewport);
        if (WantsDcRender()) {
            HDC hDC = nullptr;
            if (SUCCEEDED(pSurface->GetDC(&hDC))) {
                OfferDcRender(hDC, pFinish->viewport);
                pSurface->ReleaseDC(hDC);
            }
        }
        // The primary surface of a monitor starts at the monitor's corner.
        bool bKnown = false;
        RECT rcMonitor{};
        {
            platform::CLockGuard guard(m_lock);
            for (auto &pAdapter : m_adapters) {
                if (pAdapter->pPrimary == pPrimary) {
                    rcMonitor = pAdapter->rcMonitor;
                    bKnown = true;
                    break;
                }
            }
        }
        const HWND hWnd = pFinish->viewport.hDestWnd;
        POINT ptTopLeft = {pFinish->rcDestination.left, pFinish->rcDestination.top};
        POINT ptBottomRight = {pFinish->rcDestination.right, pFinish->rcDestination.bottom};
        if (!bKnown || FAILED(pClipper->SetHWnd(0, hWnd)) || !ClientToScreen(hWnd, &ptTopLeft) ||
            !ClientToScreen(hWnd, &ptBottomRight)) {
            nResult = DISPLAY_E_FAIL;
        } else {
            RECT rcTarget = {ptTopLeft.x - rcMonitor.left, ptTopLeft.y - rcMonitor.top,
                             ptBottomRight.x - rcMonitor.left, ptBottomRight.y - rcMonitor.top};
            HRESULT hr = pPrimary->Blt(&rcTarget, pSurface, nullptr, DDBLT_WAIT | DDBLT_ASYNC, nullptr);
            if (FAILED(hr))
                nResult = hr;
        }
    }
    for (void *&pObject : pFinish->apObjects) {
        if (pObject) {
            static_cast<IUnknown *>(pObject)->Release();
            pObject = nullptr;
        }
    }
    return nResult;
}
