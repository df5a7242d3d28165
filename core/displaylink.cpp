// The installed display and on-screen-display tables; without one installed,
// the system's display manager and renderer.
#include "core/displaylink.h"

#include <atomic>

#include "display/basedisplay.h"
#include "display/displaymanager.h"
#include "display/osdrenderer.h"

namespace {

std::atomic<const DisplayManagerLink *> g_pDisplayLink{nullptr};
std::atomic<const OsdRendererLink *> g_pOsdLink{nullptr};

CDisplayManager *Manager(void *pManager) {
    return static_cast<CDisplayManager *>(pManager);
}

int32_t SystemCreate(uint32_t dwFlags, void **ppManager) {
    CDisplayManager *pManager = nullptr;
    const int32_t nResult = CreateDisplayManager(dwFlags, &pManager);
    *ppManager = pManager;
    return nResult;
}

const DisplayManagerLink kSystemDisplay = {
    SystemCreate,
    [](void *pManager) { DestroyDisplayManager(Manager(pManager)); },
    [](void *pManager, const PLAY_VIEWPORT *pViewport) { return AddViewport(Manager(pManager), pViewport); },
    [](void *pManager, uint32_t dwID) { return RemoveViewport(Manager(pManager), dwID); },
    [](void *pManager, PLAY_VIEWPORT *pViewports, uint32_t *pdwCount) {
        return GetViewports(Manager(pManager), pViewports, pdwCount);
    },
    [](void *pManager, PLAY_SNAPSHOT *pSnapshot) { return SnapPicture(Manager(pManager), pSnapshot); },
    [](void *, const DISPLAY_PICTURE *pPicture) { return CBaseDisplay::CheckPicture(pPicture); },
    [](void *pManager, const DISPLAY_PICTURE *pPicture, const DISPLAY_PICTURE_HOOKS *pHooks) {
        return SubmitPicture(Manager(pManager), pPicture, pHooks);
    },
    [](void *pManager) { return DiscardPending(Manager(pManager)); },
    [](void *pManager, DISPLAY_STATUS *pStatus) { return GetStatus(Manager(pManager), pStatus); },
};

COsdObject *Osd(void *pRenderer) {
    return static_cast<COsdObject *>(pRenderer);
}

int32_t SystemCreateOsd(const OSD_SETTING *pSetting, void **ppRenderer) {
    COsdObject *pOsd = nullptr;
    const int32_t nResult = CreateOsd(pSetting, &pOsd);
    *ppRenderer = pOsd;
    return nResult;
}

// The decoder's picture as the display describes pictures.
int32_t SystemDrawOsd(void *pRenderer, const FrameRecord *pFrame, DecodedPicture *pPicture) {
    DISPLAY_PICTURE picture{};
    picture.dwSize = DISPLAY_PICTURE_SIZE;
    picture.dwFourCC = pPicture->dwFourCC;
    picture.nWidth = static_cast<int32_t>(pPicture->dwWidth);
    picture.nHeight = static_cast<int32_t>(pPicture->dwHeight);
    picture.pData = pPicture->pBuffer;
    picture.dwDataSize = pPicture->dwBufferSize;
    return DrawOsd(Osd(pRenderer), &picture, pFrame->pOsdItems, pFrame->byOsdCount);
}

const OsdRendererLink kSystemOsd = {
    SystemCreateOsd,
    [](void *pRenderer) { DestroyOsd(Osd(pRenderer)); },
    SystemDrawOsd,
    [](void *pRenderer, OSD_STATUS *pStatus) { return GetOsdStatus(Osd(pRenderer), pStatus); },
};

} // namespace

void SetDisplayManagerLink(const DisplayManagerLink *pLink) {
    g_pDisplayLink.store(pLink);
}

const DisplayManagerLink *GetDisplayManagerLink() {
    const DisplayManagerLink *pLink = g_pDisplayLink.load();
    return pLink != nullptr ? pLink : &kSystemDisplay;
}

void SetOsdRendererLink(const OsdRendererLink *pLink) {
    g_pOsdLink.store(pLink);
}

const OsdRendererLink *GetOsdRendererLink() {
    const OsdRendererLink *pLink = g_pOsdLink.load();
    return pLink != nullptr ? pLink : &kSystemOsd;
}
