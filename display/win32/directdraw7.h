// The DirectDraw 7 back end: the picture stays in its own YUV format in an
// offscreen surface of each monitor's DirectDraw object; the hardware scales
// and converts it into one offscreen surface per viewport, which is then
// blitted onto the primary surface through a clipper bound to the window.
// ddraw.dll is loaded at run time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "display/basedisplay.h"

#include <ddraw.h>

class CDirectDraw7 final : public CBaseDisplay {
public:
    explicit CDirectDraw7(CDisplayManager *pOwner);
    ~CDirectDraw7() override;

    int32_t Initialize() override;
    int32_t Uninitialize() override;
    int32_t RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) override;
    int32_t FinishViewport(ViewportFinish *pFinish) override;
    int32_t PrepareFormat(const DISPLAY_PICTURE *pPicture) override;

private:
    int32_t NewViewportData(ViewportEntry *pEntry) override;
    void ReleaseViewportData(ViewportEntry *pEntry, bool bRemove) override;
    // One monitor and the objects made for it.
    struct Adapter {
        bool bHasGuid = false; // false: the primary display driver
        GUID guid{};
        HMONITOR hMonitor = nullptr;
        RECT rcMonitor{}; // desktop coordinates
        IDirectDraw7 *pDirectDraw = nullptr;
        std::vector<DWORD> fourCCs; // what the device can take
        IDirectDrawSurface7 *pPrimary = nullptr;
        IDirectDrawClipper *pClipper = nullptr;
        bool bFormatChanged = false;
        IDirectDrawSurface7 *pPicture = nullptr; // the picture's FourCC and size
        bool bCopied = false;                    // pPicture holds the current picture
    };
    // A viewport's objects (ViewportEntry::pPrivate).
    struct Viewport {
        HMONITOR hMonitor = nullptr;             // of the object that made the surface
        IDirectDrawSurface7 *pSurface = nullptr; // destination size, display format
        bool bDrawn = false;                     // pSurface holds the current picture
    };

    static BOOL WINAPI EnumDevice(GUID *pGuid, LPSTR pszDescription, LPSTR pszName, LPVOID pContext,
                                  HMONITOR hMonitor);
    static BOOL CALLBACK EnumMonitor(HMONITOR hMonitor, HDC hDC, LPRECT pRect, LPARAM lParam);

    Adapter *FindAdapter(HMONITOR hMonitor);
    int32_t CreateObjects(Adapter *pAdapter);
    int32_t CreatePictureSurface(Adapter *pAdapter);
    int32_t CreateViewportSurface(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport);
    int32_t RestoreLost(Adapter *pAdapter, Viewport *pViewport);
    int32_t DrawViewport(Adapter *pAdapter, ViewportEntry *pEntry, Viewport *pViewport);
    // The viewport surfaces made for the monitor, the picture surface, the
    // clipper, the primary surface, the FourCC list and the DirectDraw object.
    void ReleaseAdapterObjects(Adapter *pAdapter);
    static void ReleaseViewportObjects(Viewport *pViewport);

    using PFN_ENUMERATE_EX = HRESULT(WINAPI *)(LPDDENUMCALLBACKEXA pCallback, LPVOID pContext, DWORD dwFlags);
    using PFN_CREATE_EX = HRESULT(WINAPI *)(GUID *pGuid, LPVOID *ppDirectDraw, REFIID riid, IUnknown *pOuter);

    HMODULE m_hModule = nullptr;
    PFN_ENUMERATE_EX m_pfnEnumerateEx = nullptr;
    PFN_CREATE_EX m_pfnCreateEx = nullptr;
    std::vector<std::unique_ptr<Adapter>> m_adapters; // one per monitor
};
