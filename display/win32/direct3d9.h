// The Direct3D 9 back end: the picture stays in its own YUV format in an
// offscreen surface of each display adapter's device, and the adapter scales
// and converts it into one additional swap chain per viewport. d3d9.dll is
// loaded at run time, so that a system without it only loses this back end.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "display/basedisplay.h"

#include <d3d9.h>

class CDirect3D9 final : public CBaseDisplay {
public:
    // bImmediate: present without waiting for the vertical retrace.
    CDirect3D9(CDisplayManager *pOwner, bool bImmediate);
    ~CDirect3D9() override;

    int32_t Initialize() override;
    int32_t Uninitialize() override;
    int32_t RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) override;
    int32_t FinishViewport(ViewportFinish *pFinish) override;
    int32_t PrepareFormat(const DISPLAY_PICTURE *pPicture) override;

private:
    int32_t NewViewportData(ViewportEntry *pEntry) override;
    void ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) override;
    // One display adapter and the objects made on it.
    struct Adapter {
        UINT uOrdinal = 0;
        HMONITOR hMonitor = nullptr;
        D3DPRESENT_PARAMETERS params{}; // as the device was created (and is reset)
        IDirect3DDevice9 *pDevice = nullptr;
        bool bFormatChanged = false;
        IDirect3DSurface9 *pPicture = nullptr; // the picture's FourCC and size
        bool bCopied = false;                  // pPicture holds the current picture
    };
    // A viewport's objects (ViewportEntry::pPrivate).
    struct Viewport {
        HMONITOR hMonitor = nullptr; // of the device that made the swap chain
        IDirect3DSwapChain9 *pSwapChain = nullptr;
        IDirect3DSurface9 *pBackBuffer = nullptr;
        bool bDrawn = false; // the back buffer holds the current picture
    };

    Adapter *FindAdapter(HMONITOR hMonitor);
    int32_t CreateDevice(Adapter *pAdapter, HWND hWnd);
    int32_t CreatePictureSurface(Adapter *pAdapter);
    int32_t CreateSwapChain(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport);
    int32_t DrawViewport(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport);
    // Releases the swap chains of the viewports made on the adapter's device,
    // then its picture surface (and, with bDevice, the device).
    void ReleaseAdapterObjects(Adapter *pAdapter, bool bDevice);
    static void ReleaseViewportObjects(Viewport *pViewport);

    using PFN_CREATE9 = IDirect3D9 *(WINAPI *)(UINT uSdkVersion);

    const bool m_bImmediate;
    HMODULE m_hModule = nullptr;
    PFN_CREATE9 m_pfnCreate = nullptr;
    IDirect3D9 *m_pDirect3D = nullptr;
    std::vector<std::unique_ptr<Adapter>> m_adapters; // in adapter order
};
