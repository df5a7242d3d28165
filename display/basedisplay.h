// The common base of the display back ends: one back end's viewports with
// their computed rectangles, its current picture, presenting and repainting
// by walking the viewports, picture validation and the copy of YUV pictures
// into locked surfaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/sync.h"
#include "qvdisplay.h"

class CDisplayManager;

// Back-end types: the manager's slot numbers.
enum DisplayBackendType : int {
    DISPLAY_TYPE_RESERVED = DISPLAY_SLOT_RESERVED,
    DISPLAY_TYPE_DIRECT3D9 = DISPLAY_SLOT_DIRECT3D9,
    DISPLAY_TYPE_DIRECTDRAW7 = DISPLAY_SLOT_DIRECTDRAW7,
    // DrawDib on Windows; the X11 back end, which plays the same part (one
    // RGB conversion per picture, stretched into every window), elsewhere.
    DISPLAY_TYPE_BITMAP = DISPLAY_SLOT_DRAWDIB,
};

// One viewport of a back end.
struct ViewportEntry {
    PLAY_VIEWPORT viewport; // as last added
    RECT rcSource;          // computed: the part of the picture to draw
    RECT rcDestination;     // computed: where in the window's client area
    uint32_t bChanged;      // added, updated or moved since the last drawing
    void *pPrivate;         // the back end's objects for this viewport, or null
};

// What remains of drawing one viewport once the back end's lock is released:
// the client's hooks (which may call back into the library) and the
// presentation. RenderViewport fills it under the lock and takes a reference
// on the objects it names, so that a viewport changed meanwhile cannot free
// them; FinishViewport drops those references.
struct ViewportFinish {
    PLAY_VIEWPORT viewport; // copy of the viewport drawn
    RECT rcSource;
    RECT rcDestination;
    void *apObjects[4]; // the back end's own (surfaces, swap chain, handles)
    uint32_t dwValue;   // the back end's own
    bool bDrawn;        // something was drawn that FinishViewport must present
};

class CBaseDisplay {
public:
    CBaseDisplay(int nType, CDisplayManager *pOwner);
    virtual ~CBaseDisplay();
    CBaseDisplay(const CBaseDisplay &) = delete;
    CBaseDisplay &operator=(const CBaseDisplay &) = delete;

    virtual int32_t Initialize();
    virtual int32_t Uninitialize();
    // Adds a viewport, or updates the one with the same dwID (marked changed,
    // its back-end objects released to be made again at its next drawing).
    virtual int32_t AddViewport(const PLAY_VIEWPORT *pViewport);
    // Frees the viewport's back-end objects and removes it;
    // DISPLAY_E_NO_SUCH_VIEWPORT for an unknown id.
    virtual int32_t RemoveViewport(uint32_t dwID);
    // Null array: *pdwCount receives the number of viewports; otherwise up to
    // *pdwCount records are copied and *pdwCount receives the number copied.
    virtual int32_t GetViewports(PLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
    // Stores the picture and its hooks (borrowed from the manager's queue
    // entry until the next picture); a new picture goes through PrepareFormat.
    virtual int32_t SetPicture(const DISPLAY_PICTURE *pPicture, const DISPLAY_PICTURE_HOOKS *pHooks);
    // Under the lock: checks the current picture and updates the entry's
    // rectangles and pFinish's copies; back ends then draw and fill the rest
    // of pFinish.
    virtual int32_t RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish);
    // Without the lock, on the display thread, for each viewport that
    // RenderViewport drew, in list order: hooks, presentation, references
    // dropped. Called once for every successful RenderViewport.
    virtual int32_t FinishViewport(ViewportFinish *pFinish);
    // Renders every viewport on hWnd, stopping at the first failure;
    // DISPLAY_E_FAIL when there is none.
    virtual int32_t Repaint(HWND hWnd);
    // Renders every viewport in list order, stopping at the first failure;
    // DISPLAY_E_FAIL when there is none.
    virtual int32_t Present();
    virtual int32_t PrepareFormat(const DISPLAY_PICTURE *pPicture);
    // Copies a picture (planes back to back) into a locked surface of the same
    // format with row pitch nPicth. The source must hold dwYuvSize bytes and
    // the surface dwSurfaceSize; a copy that would read or write outside them
    // (or outside committed memory, on Windows) is reported on the debugger
    // output and copies nothing.
    virtual bool CopyYuv2Surface(uint32_t dwFourCC, uint8_t *lpSurface, int32_t nPicth,
                                 const uint8_t *pYuvBuffer, uint32_t wWidth, uint32_t wHeight,
                                 size_t dwYuvSize, size_t dwSurfaceSize);

    // 0 when the picture can be drawn; the display's code otherwise.
    static int32_t CheckPicture(const DISPLAY_PICTURE *pPicture);
    // Bits per pixel of a known format, 0 for any other.
    static uint32_t BitsPerPixel(uint32_t dwFourCC);

    int Type() const { return m_nType; }
    CDisplayManager *Owner() const { return m_pOwner; }
    const DISPLAY_PICTURE *CurrentPicture() const { return m_pPicture; }
    const DISPLAY_PICTURE_HOOKS *CurrentHooks() const { return m_pHooks; }

    // Rectangles as the viewport asks for them, cut to the picture and to the
    // window's client area (exposed for the tests).
    static RECT SourceRect(const PLAY_VIEWPORT &viewport, const DISPLAY_PICTURE *pPicture);
    static RECT DestinationRect(const PLAY_VIEWPORT &viewport);

protected:
    // A back end's own objects of one viewport (ViewportEntry::pPrivate), under
    // the lock: NewViewportData when the viewport is added (a failure refuses
    // it), ReleaseViewportData when it is updated (bRemove false: whatever
    // depends on the viewport goes, to be made again at its next drawing) or
    // removed (bRemove true: everything goes and pPrivate ends null).
    virtual int32_t NewViewportData(ViewportEntry *pEntry);
    virtual void ReleaseViewportData(ViewportEntry *pEntry, bool bRemove);
    // Notes a new picture's format and size; true when they differ from the
    // previous picture's (or when it is the first).
    bool NoteFormat(const DISPLAY_PICTURE *pPicture);

    // Under the lock (it is recursive).
    ViewportEntry *FindViewport(uint32_t dwID);
    // Removes every viewport through the virtual RemoveViewport (derived
    // destructors call it so that their per-viewport data is freed).
    int32_t RemoveAllViewports();
    // Renders the viewports that pSelect accepts (all when it answers true):
    // RenderViewport under the lock, then FinishViewport outside it.
    int32_t RenderViewports(bool (*pSelect)(const ViewportEntry &, HWND), HWND hWnd);
    // Hands a device context to the picture's DC-render hook, if it has one
    // (never under the lock: the client may call back into the library).
    void OfferDcRender(HDC hDC, const PLAY_VIEWPORT &viewport);
    bool WantsDcRender() const { return m_pHooks != nullptr && m_pHooks->pfnDcRender != nullptr; }
    // Hands device objects to the picture's device-render hook, if any.
    void OfferDeviceRender(uint32_t dwBackend, void *pDevice, void *pSurface, const PLAY_VIEWPORT &viewport);
    bool WantsDeviceRender() const { return m_pHooks != nullptr && m_pHooks->pfnDeviceRender != nullptr; }

    const int m_nType;
    CDisplayManager *const m_pOwner;
    const uint32_t m_dwThreadId; // the thread that created the back end
    const DISPLAY_PICTURE *m_pPicture = nullptr;
    const DISPLAY_PICTURE_HOOKS *m_pHooks = nullptr;
    // The format and size of the last picture given to NoteFormat.
    bool m_bHaveFormat = false;
    uint32_t m_dwFormatFourCC = 0;
    int32_t m_nFormatWidth = 0, m_nFormatHeight = 0;
    // Entries in the order they were first added; the pointers stay valid
    // until the entry is removed.
    std::vector<std::unique_ptr<ViewportEntry>> m_viewports;
    // Guards the viewport list and the current picture; taken after the
    // manager's lock when both are held.
    platform::CLock m_lock;
};
