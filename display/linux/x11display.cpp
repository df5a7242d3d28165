// The X11 back end. Locks: the base lock guards the viewports, their images
// and the picture buffer; the X connection is used under it, except in
// FinishViewport (display thread, lock released), where the DC-render hook
// runs. Xlib serialises its own calls (XInitThreads); requests of one
// connection reach the server in order, so an image freed by another thread
// after a put was queued has already been read by the server.
#include "display/linux/x11display.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "display/linux/x11connection.h"

std::atomic<bool> CX11Display::s_bAllowSharedMemory{true};
std::atomic<uint64_t> CX11Display::s_qwConversions{0};

// ---------------------------------------------------------------------------
// Scaling

namespace x11scale {

void BuildMap(int32_t nSrcStart, int32_t nSrcLength, int32_t nDst, uint32_t nScale, uint32_t *pMap) {
    const int64_t llDen = 2 * static_cast<int64_t>(nDst);
    for (int32_t i = 0; i < nDst; ++i) {
        const int64_t llSrc = ((2 * static_cast<int64_t>(i) + 1) * nSrcLength) / llDen;
        pMap[i] = nScale * static_cast<uint32_t>(nSrcStart + llSrc);
    }
}

void ScaleRowBgrx(const uint8_t *pSource, const uint32_t *pdwOffsets, uint32_t dwCount, uint32_t dwFill,
                  uint32_t *pDest) {
    for (uint32_t i = 0; i < dwCount; ++i) {
        uint32_t dwWord;
        std::memcpy(&dwWord, pSource + pdwOffsets[i], sizeof(dwWord));
        pDest[i] = (dwWord & 0x00FFFFFFu) | dwFill;
    }
}

void ScaleRowGeneric(const uint8_t *pSource, const uint32_t *pdwOffsets, uint32_t dwCount,
                     const PixelLayout &layout, uint32_t *pDest) {
    for (uint32_t i = 0; i < dwCount; ++i) {
        const uint8_t *p = pSource + pdwOffsets[i];
        pDest[i] = (static_cast<uint32_t>(p[2]) << layout.dwShiftRed) |
                   (static_cast<uint32_t>(p[1]) << layout.dwShiftGreen) |
                   (static_cast<uint32_t>(p[0]) << layout.dwShiftBlue) | layout.dwFill;
    }
}

void ScaleImage(const uint8_t *pRgb, uint32_t dwStride, const RECT &rcSource, int32_t nWidth, int32_t nHeight,
                uint8_t *pDest, uint32_t dwDestStride, const PixelLayout &layout, uint32_t *pdwScratch) {
    uint32_t *pdwColumns = pdwScratch;
    uint32_t *pdwRows = pdwScratch + nWidth;
    BuildMap(rcSource.left, rcSource.right - rcSource.left, nWidth, 3, pdwColumns);
    BuildMap(rcSource.top, rcSource.bottom - rcSource.top, nHeight, 1, pdwRows);
    const bool bBgrx = layout.IsBgrx();
    for (int32_t y = 0; y < nHeight; ++y) {
        uint8_t *pRow = pDest + static_cast<size_t>(y) * dwDestStride;
        if (y > 0 && pdwRows[y] == pdwRows[y - 1]) {
            // Enlarged vertically: the same source row again.
            std::memcpy(pRow, pRow - dwDestStride, static_cast<size_t>(nWidth) * 4);
            continue;
        }
        const uint8_t *pSource = pRgb + static_cast<size_t>(pdwRows[y]) * dwStride;
        uint32_t *pdwOut = reinterpret_cast<uint32_t *>(pRow);
        if (bBgrx)
            ScaleRowBgrx(pSource, pdwColumns, nWidth, layout.dwFill, pdwOut);
        else
            ScaleRowGeneric(pSource, pdwColumns, nWidth, layout, pdwOut);
    }
}

} // namespace x11scale

// ---------------------------------------------------------------------------
// Visuals and shared memory

namespace {

bool IsEmpty(const RECT &rc) {
    return rc.right <= rc.left || rc.bottom <= rc.top;
}

bool Equal(const RECT &a, const RECT &b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

bool HostIsLittleEndian() {
    const uint16_t wOne = 1;
    uint8_t byFirst;
    std::memcpy(&byFirst, &wOne, 1);
    return byFirst == 1;
}

// The shift of an 8-bit channel mask on a byte boundary; false otherwise.
bool ChannelShift(unsigned long mask, uint32_t *pdwShift) {
    for (uint32_t dwShift = 0; dwShift <= 24; dwShift += 8) {
        if (mask == (0xFFul << dwShift)) {
            *pdwShift = dwShift;
            return true;
        }
    }
    return false;
}

// Only 24- and 32-bit TrueColor visuals with 32-bit pixels and whole-byte
// channels are drawn; anything else is refused.
bool DescribeVisual(Display *pDisplay, const Visual *pVisual, int nDepth, x11scale::PixelLayout *pLayout) {
    if (pVisual == nullptr || pVisual->c_class != TrueColor || (nDepth != 24 && nDepth != 32))
        return false;
    int nFormats = 0;
    XPixmapFormatValues *pFormats = XListPixmapFormats(pDisplay, &nFormats);
    bool bBits32 = false;
    for (int i = 0; i < nFormats; ++i)
        if (pFormats[i].depth == nDepth)
            bBits32 = pFormats[i].bits_per_pixel == 32;
    if (pFormats != nullptr)
        XFree(pFormats);
    if (!bBits32)
        return false;
    x11scale::PixelLayout layout;
    if (!ChannelShift(pVisual->red_mask, &layout.dwShiftRed) ||
        !ChannelShift(pVisual->green_mask, &layout.dwShiftGreen) ||
        !ChannelShift(pVisual->blue_mask, &layout.dwShiftBlue))
        return false;
    // A 32-bit visual carries alpha in the remaining byte: opaque.
    const uint32_t dwColour =
        static_cast<uint32_t>(pVisual->red_mask | pVisual->green_mask | pVisual->blue_mask);
    layout.dwFill = nDepth == 32 ? ~dwColour : 0;
    *pLayout = layout;
    return true;
}

// Attaching a segment is the only sure test: a remote server has the
// extension but cannot see our memory.
bool SharedMemoryWorks(Display *pDisplay) {
    if (!XShmQueryExtension(pDisplay))
        return false;
    const bool bServerOrder = ImageByteOrder(pDisplay) == (HostIsLittleEndian() ? LSBFirst : MSBFirst);
    if (!bServerOrder)
        return false; // our words would need swapping, which only XPutImage does
    XShmSegmentInfo info{};
    info.shmid = shmget(IPC_PRIVATE, 4096, IPC_CREAT | 0600);
    if (info.shmid < 0)
        return false;
    info.shmaddr = static_cast<char *>(shmat(info.shmid, nullptr, 0));
    if (info.shmaddr == reinterpret_cast<char *>(-1)) {
        shmctl(info.shmid, IPC_RMID, nullptr);
        return false;
    }
    info.readOnly = False;
    const uint32_t dwErrors = x11::ErrorCount(pDisplay);
    const bool bAttached = XShmAttach(pDisplay, &info) != 0;
    XSync(pDisplay, False);
    const bool bWorks = bAttached && x11::ErrorCount(pDisplay) == dwErrors;
    if (bWorks) {
        XShmDetach(pDisplay, &info);
        XSync(pDisplay, False);
    }
    shmdt(info.shmaddr);
    shmctl(info.shmid, IPC_RMID, nullptr);
    return bWorks;
}

} // namespace

// One viewport's objects: a GC for its window and an image of the
// destination rectangle's size, shared with the server when possible.
struct CX11Display::Target {
    Window window = 0;
    GC gc = nullptr;
    int nDepth = 0;
    XImage *pImage = nullptr;
    XShmSegmentInfo shm{};
    bool bShm = false;
    int32_t nWidth = 0;
    int32_t nHeight = 0;
    x11scale::PixelLayout layout;
    uint64_t qwPicture = 0; // the picture the image holds; 0 none
    RECT rcSource{};        // the part of it
};

// ---------------------------------------------------------------------------
// Life

CX11Display::CX11Display(CDisplayManager *pOwner) : CBaseDisplay(DISPLAY_TYPE_BITMAP, pOwner) {}

CX11Display::~CX11Display() {
    RemoveAllViewports();
    Uninitialize();
}

void CX11Display::AllowSharedMemory(bool bAllow) {
    s_bAllowSharedMemory.store(bAllow);
}

uint64_t CX11Display::ConversionCount() {
    return s_qwConversions.load();
}

int32_t CX11Display::Initialize() {
    platform::CLockGuard guard(m_lock);
    if (m_pDisplay != nullptr)
        return DISPLAY_OK;
    Display *pDisplay = x11::OpenConnection();
    if (pDisplay == nullptr)
        return DISPLAY_E_NOT_AVAILABLE;
    const int nScreen = DefaultScreen(pDisplay);
    x11scale::PixelLayout layout;
    if (!DescribeVisual(pDisplay, DefaultVisual(pDisplay, nScreen), DefaultDepth(pDisplay, nScreen),
                        &layout)) {
        x11::CloseConnection(pDisplay);
        return DISPLAY_E_NOT_AVAILABLE;
    }
    m_bSharedMemory = s_bAllowSharedMemory.load() && SharedMemoryWorks(pDisplay);
    m_pDisplay = pDisplay;
    return DISPLAY_OK;
}

int32_t CX11Display::Uninitialize() {
    platform::CLockGuard guard(m_lock);
    ReleaseAllTargets();
    m_pRgb.reset();
    m_rgbSize = 0;
    m_dwStride = 0;
    m_bConverted = false;
    if (m_pDisplay != nullptr) {
        x11::CloseConnection(m_pDisplay);
        m_pDisplay = nullptr;
    }
    return DISPLAY_OK;
}

void CX11Display::ReleaseViewportData(ViewportEntry *pEntry, bool) {
    // Made at a viewport's first drawing, so an update or a removal both
    // simply release it (an updated viewport may name another window).
    ReleaseTarget(pEntry);
}

int32_t CX11Display::PrepareFormat(const DISPLAY_PICTURE *) {
    // Under the base lock (SetPicture): the new picture is converted at its
    // first drawing, once, whatever the number of viewports.
    m_bConverted = false;
    ++m_qwPicture;
    return DISPLAY_OK;
}

// ---------------------------------------------------------------------------
// Per-viewport objects

bool CX11Display::MakeImage(Target *pTarget, void *pVisualPointer, int nDepth, int32_t nWidth,
                            int32_t nHeight) {
    Display *pDisplay = m_pDisplay;
    Visual *pVisual = static_cast<Visual *>(pVisualPointer);
    if (m_bSharedMemory) {
        XShmSegmentInfo &shm = pTarget->shm;
        XImage *pImage = XShmCreateImage(pDisplay, pVisual, nDepth, ZPixmap, nullptr, &shm, nWidth, nHeight);
        if (pImage != nullptr && pImage->bits_per_pixel == 32) {
            shm.shmid =
                shmget(IPC_PRIVATE, static_cast<size_t>(pImage->bytes_per_line) * nHeight, IPC_CREAT | 0600);
            if (shm.shmid >= 0) {
                shm.shmaddr = static_cast<char *>(shmat(shm.shmid, nullptr, 0));
                if (shm.shmaddr != reinterpret_cast<char *>(-1)) {
                    shm.readOnly = False;
                    pImage->data = shm.shmaddr;
                    const uint32_t dwErrors = x11::ErrorCount(pDisplay);
                    const bool bAttached = XShmAttach(pDisplay, &shm) != 0;
                    XSync(pDisplay, False);
                    // Gone from the system once both sides detach.
                    shmctl(shm.shmid, IPC_RMID, nullptr);
                    if (bAttached && x11::ErrorCount(pDisplay) == dwErrors) {
                        pTarget->pImage = pImage;
                        pTarget->bShm = true;
                        return true;
                    }
                    shmdt(shm.shmaddr);
                    // Attaching worked at start and not now: stop trying.
                    m_bSharedMemory = false;
                } else {
                    shmctl(shm.shmid, IPC_RMID, nullptr);
                }
            }
        }
        if (pImage != nullptr) {
            pImage->data = nullptr;
            XDestroyImage(pImage);
        }
        shm = XShmSegmentInfo{};
    }
    XImage *pImage = XCreateImage(pDisplay, pVisual, nDepth, ZPixmap, 0, nullptr, nWidth, nHeight, 32, 0);
    if (pImage == nullptr)
        return false;
    if (pImage->bits_per_pixel != 32) {
        XDestroyImage(pImage);
        return false;
    }
    // Our pixels are host-order words; XPutImage swaps them for a server of
    // the other order.
    pImage->byte_order = HostIsLittleEndian() ? LSBFirst : MSBFirst;
    pImage->data = static_cast<char *>(std::malloc(static_cast<size_t>(pImage->bytes_per_line) * nHeight));
    if (pImage->data == nullptr) {
        XDestroyImage(pImage);
        return false;
    }
    pTarget->pImage = pImage;
    pTarget->bShm = false;
    return true;
}

int32_t CX11Display::MakeTarget(ViewportEntry *pEntry, const RECT &rcDestination, Target **ppTarget) {
    const Window window = static_cast<Window>(pEntry->viewport.hDestWnd);
    XWindowAttributes attributes;
    if (XGetWindowAttributes(m_pDisplay, window, &attributes) == 0)
        return DISPLAY_E_BAD_WINDOW;
    x11scale::PixelLayout layout;
    if (!DescribeVisual(m_pDisplay, attributes.visual, attributes.depth, &layout))
        return DISPLAY_E_NOT_AVAILABLE;
    Target *pTarget = new (std::nothrow) Target;
    if (pTarget == nullptr)
        return DISPLAY_E_OUT_OF_MEMORY;
    pTarget->window = window;
    pTarget->nDepth = attributes.depth;
    pTarget->layout = layout;
    pTarget->nWidth = rcDestination.right - rcDestination.left;
    pTarget->nHeight = rcDestination.bottom - rcDestination.top;
    // Copies must not queue exposure events nobody reads on this connection.
    XGCValues values{};
    values.graphics_exposures = False;
    pTarget->gc = XCreateGC(m_pDisplay, window, GCGraphicsExposures, &values);
    pEntry->pPrivate = pTarget;
    if (!MakeImage(pTarget, attributes.visual, attributes.depth, pTarget->nWidth, pTarget->nHeight)) {
        ReleaseTarget(pEntry);
        return DISPLAY_E_OUT_OF_MEMORY;
    }
    *ppTarget = pTarget;
    return DISPLAY_OK;
}

void CX11Display::ReleaseTarget(ViewportEntry *pEntry) {
    Target *pTarget = static_cast<Target *>(pEntry->pPrivate);
    if (pTarget == nullptr)
        return;
    pEntry->pPrivate = nullptr;
    if (m_pDisplay != nullptr) {
        if (pTarget->pImage != nullptr) {
            if (pTarget->bShm) {
                // Queued after any put of this image, so the server has read
                // it before it lets the segment go.
                XShmDetach(m_pDisplay, &pTarget->shm);
                shmdt(pTarget->shm.shmaddr);
            } else {
                std::free(pTarget->pImage->data);
            }
            pTarget->pImage->data = nullptr;
            XDestroyImage(pTarget->pImage);
        }
        if (pTarget->gc != nullptr)
            XFreeGC(m_pDisplay, pTarget->gc);
        XFlush(m_pDisplay);
    }
    delete pTarget;
}

void CX11Display::ReleaseAllTargets() {
    for (auto &pEntry : m_viewports)
        ReleaseTarget(pEntry.get());
}

// ---------------------------------------------------------------------------
// Drawing

int32_t CX11Display::ConvertPicture() {
    if (m_bConverted)
        return DISPLAY_OK;
    const DISPLAY_PICTURE *pPicture = m_pPicture;
    const uint32_t dwStride = DISPLAY_RGB24_STRIDE(pPicture->nWidth);
    const size_t size = static_cast<size_t>(dwStride) * static_cast<size_t>(pPicture->nHeight) + 4;
    if (size != m_rgbSize || m_pRgb == nullptr) {
        m_pRgb.reset(new (std::nothrow) uint8_t[size]);
        m_rgbSize = m_pRgb != nullptr ? size : 0;
        if (m_pRgb == nullptr)
            return DISPLAY_E_OUT_OF_MEMORY;
        std::memset(m_pRgb.get() + size - 4, 0, 4);
    }
    m_dwStride = dwStride;
    CONVERT_SETTING setting{};
    setting.dwFourCC = pPicture->dwFourCC;
    setting.wWidth = pPicture->nWidth;
    setting.wHeight = pPicture->nHeight;
    setting.pYuv = pPicture->pData;
    setting.dwYuvSize = pPicture->dwDataSize;
    setting.pRgb24 = m_pRgb.get();
    setting.dwRgbSize = static_cast<uint32_t>(size - 4);
    setting.bTopDown = TRUE;
    setting.dwPicth = dwStride;
    if (!m_convert.Convert(&setting))
        return DISPLAY_E_FAIL;
    s_qwConversions.fetch_add(1);
    m_bConverted = true;
    return DISPLAY_OK;
}

int32_t CX11Display::RenderViewport(ViewportEntry *pEntry, ViewportFinish *pFinish) {
    platform::CLockGuard guard(m_lock);
    int32_t nResult = CBaseDisplay::RenderViewport(pEntry, pFinish);
    if (nResult < 0)
        return nResult;
    if (m_pDisplay == nullptr || x11::ConnectionLost(m_pDisplay))
        return DISPLAY_E_FAIL;
    const RECT rcSource = pEntry->rcSource;
    const RECT rcDestination = pEntry->rcDestination;
    if (IsEmpty(rcSource))
        return DISPLAY_E_EMPTY_SOURCE;
    nResult = ConvertPicture();
    if (nResult < 0)
        return nResult;
    // A destination rectangle wholly outside the client area: nothing to
    // draw, which is not a failure.
    if (IsEmpty(rcDestination))
        return DISPLAY_OK;

    const int32_t nWidth = rcDestination.right - rcDestination.left;
    const int32_t nHeight = rcDestination.bottom - rcDestination.top;
    Target *pTarget = static_cast<Target *>(pEntry->pPrivate);
    if (pTarget != nullptr && (pTarget->window != static_cast<Window>(pEntry->viewport.hDestWnd) ||
                               pTarget->nWidth != nWidth || pTarget->nHeight != nHeight)) {
        ReleaseTarget(pEntry);
        pTarget = nullptr;
    }
    if (pTarget == nullptr) {
        nResult = MakeTarget(pEntry, rcDestination, &pTarget);
        if (nResult < 0)
            return nResult;
    }
    pEntry->bChanged = 0;

    if (pTarget->qwPicture != m_qwPicture || !Equal(pTarget->rcSource, rcSource)) {
        m_scratch.resize(static_cast<size_t>(nWidth) + static_cast<size_t>(nHeight));
        x11scale::ScaleImage(m_pRgb.get(), m_dwStride, rcSource, nWidth, nHeight,
                             reinterpret_cast<uint8_t *>(pTarget->pImage->data),
                             static_cast<uint32_t>(pTarget->pImage->bytes_per_line), pTarget->layout,
                             m_scratch.data());
        pTarget->qwPicture = m_qwPicture;
        pTarget->rcSource = rcSource;
    }

    // With a DC-render hook the picture goes into a pixmap first, so that
    // the client's drawing reaches the window together with it.
    Drawable drawable = pTarget->window;
    int nX = rcDestination.left, nY = rcDestination.top;
    Pixmap pixmap = 0;
    if (WantsDcRender()) {
        pixmap = XCreatePixmap(m_pDisplay, pTarget->window, nWidth, nHeight, pTarget->nDepth);
        drawable = pixmap;
        nX = nY = 0;
    }
    if (pTarget->bShm)
        XShmPutImage(m_pDisplay, drawable, pTarget->gc, pTarget->pImage, 0, 0, nX, nY, nWidth, nHeight,
                     False);
    else
        XPutImage(m_pDisplay, drawable, pTarget->gc, pTarget->pImage, 0, 0, nX, nY, nWidth, nHeight);
    pFinish->apObjects[0] = reinterpret_cast<void *>(static_cast<uintptr_t>(pixmap));
    pFinish->bDrawn = true;
    return DISPLAY_OK;
}

int32_t CX11Display::FinishViewport(ViewportFinish *pFinish) {
    if (!pFinish->bDrawn)
        return DISPLAY_OK;
    // The connection lives until Uninitialize, which runs on this (the
    // display) thread or after it has stopped.
    Display *pDisplay = m_pDisplay;
    const Pixmap pixmap = static_cast<Pixmap>(reinterpret_cast<uintptr_t>(pFinish->apObjects[0]));
    if (pixmap != 0) {
        const RECT &rc = pFinish->rcDestination;
        const Window window = static_cast<Window>(pFinish->viewport.hDestWnd);
        XGCValues values{};
        values.graphics_exposures = False;
        GC gc = XCreateGC(pDisplay, pixmap, GCGraphicsExposures, &values);
        QV_X11_DC target{};
        target.dwSize = sizeof(target);
        target.pDisplay = pDisplay;
        target.drawable = pixmap;
        target.pGC = gc;
        target.nWidth = rc.right - rc.left;
        target.nHeight = rc.bottom - rc.top;
        target.window = window;
        target.nX = rc.left;
        target.nY = rc.top;
        OfferDcRender(&target, pFinish->viewport);
        XFreeGC(pDisplay, gc);
        // A GC of our own for the copy: the client may have changed its one.
        GC copy = XCreateGC(pDisplay, pixmap, GCGraphicsExposures, &values);
        XCopyArea(pDisplay, pixmap, window, copy, 0, 0, target.nWidth, target.nHeight, rc.left, rc.top);
        XFreeGC(pDisplay, copy);
        XFreePixmap(pDisplay, pixmap);
    }
    // The server has read the shared image before it is scaled into again,
    // and nothing we never read piles up in the event queue.
    XSync(pDisplay, True);
    return DISPLAY_OK;
}
