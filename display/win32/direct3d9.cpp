// Direct3D 9 back end. Drawing happens under the base lock on the display
// thread; presenting and the client's hooks happen after it, on references
// taken while the lock was held. The device is created multithreaded because
// viewport changes release swap chains from the player's threads.
#include "display/win32/direct3d9.h"

#include <new>

#include "display/displaymanager.h"

namespace {

static_assert(D3D_SDK_VERSION == 32, "the SDK version the device interfaces are declared for");

// ViewportFinish::dwValue bits.
constexpr uint32_t kFinishSkipped = 1; // the window is on no adapter: nothing to present, no failure

// ViewportFinish::apObjects slots.
enum { kObjDevice = 0, kObjSwapChain = 1, kObjBackBuffer = 2 };

template <typename T> void SafeRelease(T **ppObject) {
    if (*ppObject) {
        (*ppObject)->Release();
        *ppObject = nullptr;
    }
}

// Bytes of a locked surface of the picture's format: the luma rows and, for
// the 4:2:0 formats, the chroma rows that follow them at the same pitch.
size_t LockedSurfaceBytes(uint32_t dwFourCC, int32_t nPitch, uint32_t uHeight) {
    const size_t pitch = nPitch > 0 ? static_cast<size_t>(nPitch) : 0;
    switch (dwFourCC) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12:
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        return pitch * uHeight * 3 / 2;
    default:
        return pitch * uHeight;
    }
}

// Edges of a rectangle in a chroma-subsampled picture rounded up to even, kept
// inside the picture.
RECT EvenRect(const RECT &rc, int32_t nWidth, int32_t nHeight) {
    auto up = [](LONG v, LONG limit) {
        LONG even = (v + 1) & ~1L;
        return even > limit ? (limit & ~1L) : even;
    };
    RECT out;
    out.left = up(rc.left, nWidth);
    out.top = up(rc.top, nHeight);
    out.right = up(rc.right, nWidth);
    out.bottom = up(rc.bottom, nHeight);
    return out;
}

} // namespace

CDirect3D9::CDirect3D9(CDisplayManager *pOwner, bool bImmediate)
    : CBaseDisplay(DISPLAY_TYPE_DIRECT3D9, pOwner), m_bImmediate(bImmediate) {
    m_hModule = LoadLibraryW(L"d3d9.dll");
    if (m_hModule)
        m_pfnCreate = reinterpret_cast<PFN_CREATE9>(
            reinterpret_cast<void *>(GetProcAddress(m_hModule, "Direct3DCreate9")));
}

CDirect3D9::~CDirect3D9() {
    Uninitialize();
    RemoveAllViewports();
    // Nothing made by the library may outlive it.
    if (m_hModule)
        FreeLibrary(m_hModule);
}

int32_t CDirect3D9::Initialize() {
    platform::CLockGuard guard(m_lock);
    if (!m_pfnCreate)
        return DISPLAY_E_NOT_AVAILABLE;
    if (m_pDirect3D)
        return DISPLAY_OK;
    m_pDirect3D = m_pfnCreate(D3D_SDK_VERSION);
    if (!m_pDirect3D)
        return DISPLAY_E_FAIL;
    const UINT uCount = m_pDirect3D->GetAdapterCount();
    for (UINT i = 0; i < uCount; ++i) {
        auto pAdapter = std::unique_ptr<Adapter>(new (std::nothrow) Adapter);
        if (!pAdapter)
            return DISPLAY_E_OUT_OF_MEMORY;
        pAdapter->uOrdinal = i;
        pAdapter->hMonitor = m_pDirect3D->GetAdapterMonitor(i);
        m_adapters.push_back(std::move(pAdapter));
    }
    // Without any adapter this back end could only pretend to present.
    return m_adapters.empty() ? DISPLAY_E_FAIL : DISPLAY_OK;
}

int32_t CDirect3D9::Uninitialize() {
    platform::CLockGuard guard(m_lock);
    for (auto &pAdapter : m_adapters)
        ReleaseAdapterObjects(pAdapter.get(), true);
    m_adapters.clear();
    SafeRelease(&m_pDirect3D);
    return DISPLAY_OK;
}

int32_t CDirect3D9::NewViewportData(ViewportEntry *pEntry) {
    pEntry->pPrivate = new (std::nothrow) Viewport;
    return pEntry->pPrivate != nullptr ? DISPLAY_OK : DISPLAY_E_OUT_OF_MEMORY;
}

void CDirect3D9::ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) {
    auto *pPrivate = static_cast<Viewport *>(pEntry->pPrivate);
    ReleaseViewportObjects(pPrivate);
    *pPrivate = Viewport{};
    if (bRemove) {
        delete pPrivate;
        pEntry->pPrivate = nullptr;
    }
}

int32_t CDirect3D9::PrepareFormat(const DISPLAY_PICTURE *pPicture) {
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

CDirect3D9::Adapter *CDirect3D9::FindAdapter(HMONITOR hMonitor) {
    if (!hMonitor)
        return nullptr;
    for (auto &pAdapter : m_adapters) {
        if (pAdapter->hMonitor == hMonitor)
            return pAdapter.get();
    }
    return nullptr;
}

void CDirect3D9::ReleaseViewportObjects(Viewport *pViewport) {
    SafeRelease(&pViewport->pBackBuffer);
    SafeRelease(&pViewport->pSwapChain);
    pViewport->hMonitor = nullptr;
    pViewport->bDrawn = false;
}

void CDirect3D9::ReleaseAdapterObjects(Adapter *pAdapter, bool bDevice) {
    for (auto &pEntry : m_viewports) {
        auto *pPrivate = static_cast<Viewport *>(pEntry->pPrivate);
        if (pPrivate && pPrivate->pSwapChain && pPrivate->hMonitor == pAdapter->hMonitor)
            ReleaseViewportObjects(pPrivate);
    }
    SafeRelease(&pAdapter->pPicture);
    pAdapter->bCopied = false;
    if (bDevice)
        SafeRelease(&pAdapter->pDevice);
}

int32_t CDirect3D9::CreateDevice(Adapter *pAdapter, HWND hWnd) {
    D3DCAPS9 caps{};
    HRESULT hr = m_pDirect3D->GetDeviceCaps(pAdapter->uOrdinal, D3DDEVTYPE_HAL, &caps);
    if (FAILED(hr))
        return hr;
    D3DPRESENT_PARAMETERS params{};
    params.BackBufferWidth = 8;
    params.BackBufferHeight = 8;
    params.BackBufferFormat = D3DFMT_UNKNOWN;
    params.BackBufferCount = 1;
    params.MultiSampleType = D3DMULTISAMPLE_NONE;
    params.SwapEffect = D3DSWAPEFFECT_DISCARD;
    params.hDeviceWindow = hWnd;
    params.Windowed = TRUE;
    params.EnableAutoDepthStencil = FALSE;
    params.Flags = D3DPRESENTFLAG_VIDEO;
    if (m_bImmediate)
        params.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
    else if (caps.PresentationIntervals & D3DPRESENT_INTERVAL_ONE)
        params.PresentationInterval = D3DPRESENT_INTERVAL_ONE;
    else
        params.PresentationInterval = D3DPRESENT_INTERVAL_DEFAULT;
    // Multithreaded: swap chains are released from the player's threads.
    // FPU preserving: the host's floating-point precision is not ours to change.
    DWORD dwBehaviour = D3DCREATE_MULTITHREADED | D3DCREATE_FPU_PRESERVE;
    if (caps.VertexProcessingCaps != 0 || (caps.DevCaps & D3DDEVCAPS_HWTRANSFORMANDLIGHT))
        dwBehaviour |= D3DCREATE_HARDWARE_VERTEXPROCESSING;
    else
        dwBehaviour |= D3DCREATE_SOFTWARE_VERTEXPROCESSING;
    D3DPRESENT_PARAMETERS created = params;
    hr = m_pDirect3D->CreateDevice(pAdapter->uOrdinal, D3DDEVTYPE_HAL, nullptr, dwBehaviour, &created,
                                   &pAdapter->pDevice);
    if (FAILED(hr)) {
        pAdapter->pDevice = nullptr;
        return hr;
    }
    pAdapter->params = params;
    return DISPLAY_OK;
}

int32_t CDirect3D9::CreatePictureSurface(Adapter *pAdapter) {
    const DISPLAY_PICTURE *pPicture = m_pPicture;
    D3DDISPLAYMODE mode{};
    HRESULT hr = m_pDirect3D->GetAdapterDisplayMode(pAdapter->uOrdinal, &mode);
    if (FAILED(hr))
        return hr;
    const auto format = static_cast<D3DFORMAT>(pPicture->dwFourCC);
    hr = m_pDirect3D->CheckDeviceFormat(pAdapter->uOrdinal, D3DDEVTYPE_HAL, mode.Format, 0, D3DRTYPE_SURFACE,
                                        format);
    if (FAILED(hr))
        return hr;
    hr = m_pDirect3D->CheckDeviceFormatConversion(pAdapter->uOrdinal, D3DDEVTYPE_HAL, format, mode.Format);
    if (FAILED(hr))
        return hr;
    hr = pAdapter->pDevice->CreateOffscreenPlainSurface(static_cast<UINT>(pPicture->nWidth),
                                                        static_cast<UINT>(pPicture->nHeight), format,
                                                        D3DPOOL_DEFAULT, &pAdapter->pPicture, nullptr);
    if (FAILED(hr)) {
        pAdapter->pPicture = nullptr;
        return hr;
    }
    pAdapter->bCopied = false;
    return DISPLAY_OK;
}

int32_t CDirect3D9::CreateSwapChain(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport) {
    const RECT &rcDest = pEntry->rcDestination;
    if (IsRectEmpty(&rcDest))
        return DISPLAY_E_EMPTY_DEST;
    D3DPRESENT_PARAMETERS params = pAdapter->params;
    params.hDeviceWindow = pEntry->viewport.hDestWnd;
    // Lockable, so that the client's DC hook can draw on it.
    params.Flags = D3DPRESENTFLAG_LOCKABLE_BACKBUFFER;
    if (IsRectEmpty(&pEntry->viewport.rcDest)) {
        params.SwapEffect = D3DSWAPEFFECT_DISCARD;
        params.BackBufferWidth = 0; // the client area
        params.BackBufferHeight = 0;
    } else {
        params.SwapEffect = D3DSWAPEFFECT_COPY;
        params.BackBufferWidth = static_cast<UINT>(rcDest.right - rcDest.left);
        params.BackBufferHeight = static_cast<UINT>(rcDest.bottom - rcDest.top);
    }
    IDirect3DSwapChain9 *pSwapChain = nullptr;
    HRESULT hr = pAdapter->pDevice->CreateAdditionalSwapChain(&params, &pSwapChain);
    if (FAILED(hr))
        return hr;
    IDirect3DSurface9 *pBackBuffer = nullptr;
    hr = pSwapChain->GetBackBuffer(0, D3DBACKBUFFER_TYPE_MONO, &pBackBuffer);
    if (FAILED(hr)) {
        pSwapChain->Release();
        return hr;
    }
    pViewport->pSwapChain = pSwapChain;
    pViewport->pBackBuffer = pBackBuffer;
    pViewport->hMonitor = pAdapter->hMonitor;
    pViewport->bDrawn = false;
    return DISPLAY_OK;
}

int32_t CDirect3D9::DrawViewport(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport) {
    IDirect3DDevice9 *pDevice = pAdapter->pDevice;
    HRESULT hr = pDevice->TestCooperativeLevel();
    if (hr == D3DERR_DEVICELOST)
        return hr; // the next back end presents until the device can be reset
    if (hr == D3DERR_DEVICENOTRESET) {
        // Every default-pool object of the device goes before the reset.
        ReleaseAdapterObjects(pAdapter, false);
        D3DPRESENT_PARAMETERS params = pAdapter->params;
        return pDevice->Reset(&params);
    }
    if (FAILED(hr)) {
        Uninitialize();
        return Initialize();
    }

    hr = pDevice->BeginScene();
    if (FAILED(hr))
        return hr;
    int32_t nResult = DISPLAY_OK;
    const DISPLAY_PICTURE *pPicture = m_pPicture;
    if (!pAdapter->bCopied) {
        D3DLOCKED_RECT locked{};
        if (SUCCEEDED(pAdapter->pPicture->LockRect(&locked, nullptr, 0))) {
            const auto uWidth = static_cast<uint32_t>(pPicture->nWidth);
            const auto uHeight = static_cast<uint32_t>(pPicture->nHeight);
            pAdapter->bCopied =
                CopyYuv2Surface(pPicture->dwFourCC, static_cast<uint8_t *>(locked.pBits), locked.Pitch,
                                pPicture->pData, uWidth, uHeight, pPicture->dwDataSize,
                                LockedSurfaceBytes(pPicture->dwFourCC, locked.Pitch, uHeight));
            pAdapter->pPicture->UnlockRect();
        }
    }
    if (pAdapter->bCopied && !pViewport->bDrawn) {
        if (IsRectEmpty(&pEntry->rcSource)) {
            nResult = DISPLAY_E_EMPTY_SOURCE;
        } else {
            // Chroma is shared by pixel pairs: an odd edge would split a pair.
            pEntry->rcSource = EvenRect(pEntry->rcSource, pPicture->nWidth, pPicture->nHeight);
            if (IsRectEmpty(&pEntry->rcSource)) {
                nResult = DISPLAY_E_EMPTY_SOURCE;
            } else {
                hr = pDevice->StretchRect(pAdapter->pPicture, &pEntry->rcSource, pViewport->pBackBuffer,
                                          nullptr, D3DTEXF_NONE);
                if (SUCCEEDED(hr))
                    pViewport->bDrawn = true;
            }
        }
    }
    pDevice->EndScene();
    return nResult;
}

int32_t CDirect3D9::RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) {
    platform::CLockGuard guard(m_lock);
    pFinish->bDrawn = false;
    pFinish->dwValue = 0;
    for (void *&pObject : pFinish->apObjects)
        pObject = nullptr;
    int32_t nResult = CBaseDisplay::RenderViewport(pEntry, pFinish);
    if (nResult != DISPLAY_OK)
        return nResult;
    auto *pViewport = static_cast<Viewport *>(pEntry->pPrivate);
    if (!pViewport || !m_pDirect3D)
        return DISPLAY_E_FAIL;

    const HWND hWnd = pEntry->viewport.hDestWnd;
    Adapter *pAdapter = FindAdapter(MonitorFromWindow(hWnd, MONITOR_DEFAULTTONULL));
    if (!pAdapter) {
        // A window on a monitor without a Direct3D adapter is not an error.
        pFinish->dwValue = kFinishSkipped;
        return DISPLAY_OK;
    }
    if (!pAdapter->pDevice) {
        ReleaseAdapterObjects(pAdapter, true);
        nResult = CreateDevice(pAdapter, hWnd);
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

    const bool bKeep = pViewport->pSwapChain && pViewport->pBackBuffer && !pEntry->bChanged &&
                       pViewport->hMonitor == pAdapter->hMonitor;
    if (!bKeep) {
        ReleaseViewportObjects(pViewport);
        nResult = CreateSwapChain(pAdapter, pEntry, pViewport);
        if (nResult != DISPLAY_OK)
            return nResult;
        pEntry->bChanged = 0;
    }

    nResult = DrawViewport(pAdapter, pEntry, pViewport);
    if (nResult != DISPLAY_OK)
        return nResult;
    // DrawViewport may have released the objects (reset, re-initialisation).
    pFinish->rcSource = pEntry->rcSource;
    if (!pViewport->bDrawn || !pViewport->pSwapChain)
        return DISPLAY_OK; // FinishViewport reports it
    pFinish->bDrawn = true;
    pAdapter->pDevice->AddRef();
    pFinish->apObjects[kObjDevice] = pAdapter->pDevice;
    pViewport->pSwapChain->AddRef();
    pFinish->apObjects[kObjSwapChain] = pViewport->pSwapChain;
    pViewport->pBackBuffer->AddRef();
    pFinish->apObjects[kObjBackBuffer] = pViewport->pBackBuffer;
    return DISPLAY_OK;
}

int32_t CDirect3D9::FinishViewport(ViewportFinish *pFinish) {
    auto *pDevice = static_cast<IDirect3DDevice9 *>(pFinish->apObjects[kObjDevice]);
    auto *pSwapChain = static_cast<IDirect3DSwapChain9 *>(pFinish->apObjects[kObjSwapChain]);
    auto *pBackBuffer = static_cast<IDirect3DSurface9 *>(pFinish->apObjects[kObjBackBuffer]);
    int32_t nResult = DISPLAY_OK;
    if (pFinish->dwValue & kFinishSkipped) {
        nResult = DISPLAY_OK;
    } else if (!pFinish->bDrawn || !pSwapChain) {
        // Nothing of this picture to show: the next back end presents it (and
        // offers it to the hooks).
        nResult = DISPLAY_E_FAIL;
    } else if (!IsWindow(pFinish->viewport.hDestWnd)) {
        // The window was destroyed after the picture was drawn: its swap
        // chain has nothing to present into (the manager prunes the viewport).
        nResult = DISPLAY_E_BAD_WINDOW;
    } else {
        OfferDeviceRender(DISPLAY_FLAG_DIRECT3D9, pDevice, pBackBuffer, pFinish->viewport);
        if (WantsDcRender()) {
            // On the back buffer: the client draws on the picture before it is shown.
            HDC hDC = nullptr;
            if (SUCCEEDED(pBackBuffer->GetDC(&hDC))) {
                OfferDcRender(hDC, pFinish->viewport);
                pBackBuffer->ReleaseDC(hDC);
            }
        }
        const bool bDestRect = !IsRectEmpty(&pFinish->viewport.rcDest);
        HRESULT hr =
            pSwapChain->Present(nullptr, bDestRect ? &pFinish->rcDestination : nullptr, nullptr, nullptr, 0);
        if (FAILED(hr))
            nResult = hr;
    }
    for (void *&pObject : pFinish->apObjects) {
        if (pObject) {
            static_cast<IUnknown *>(pObject)->Release();
            pObject = nullptr;
        }
    }
    return nResult;
}
