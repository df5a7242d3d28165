// How the player reaches a display manager and an on-screen-display renderer:
// through tables of entry points, so that tests can put their own in place.
// Without one installed, the system's display manager and renderer are used.
#pragma once

#include <cstdint>

#include "qvdemux.h"
#include "qvdisplay.h"
#include "qvosd.h"
#include "qvvdec.h"

struct DisplayManagerLink {
    // Creates a manager with DISPLAY_FLAG_... creation flags.
    int32_t (*pfnCreate)(uint32_t dwFlags, void **ppManager);
    // Releases every queued picture through its release hook, then deletes.
    void (*pfnDestroy)(void *pManager);
    int32_t (*pfnAddViewport)(void *pManager, const PLAY_VIEWPORT *pViewport);
    int32_t (*pfnRemoveViewport)(void *pManager, uint32_t dwID);
    int32_t (*pfnGetViewports)(void *pManager, PLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
    int32_t (*pfnSnapPicture)(void *pManager, PLAY_SNAPSHOT *pSnapshot);
    int32_t (*pfnCheckPicture)(void *pManager, const DISPLAY_PICTURE *pPicture);
    // DISPLAY_E_QUEUE_FULL while DISPLAY_QUEUE_MAX pictures wait.
    int32_t (*pfnSubmitPicture)(void *pManager, const DISPLAY_PICTURE *pPicture,
                                const DISPLAY_PICTURE_HOOKS *pHooks);
    // Releases every queued picture but the one on screen.
    int32_t (*pfnDiscardPending)(void *pManager);
    int32_t (*pfnGetStatus)(void *pManager, DISPLAY_STATUS *pStatus);
};

struct OsdRendererLink {
    int32_t (*pfnCreate)(const OSD_SETTING *pSetting, void **ppRenderer);
    void (*pfnDestroy)(void *pRenderer);
    // Draws the frame's items into the decoded picture.
    int32_t (*pfnDraw)(void *pRenderer, const FrameRecord *pFrame, DecodedPicture *pPicture);
    int32_t (*pfnGetStatus)(void *pRenderer, OSD_STATUS *pStatus);
};

// Installed by tests; null restores the system's. Players created afterwards
// use the table in place at the time of each creation.
void SetDisplayManagerLink(const DisplayManagerLink *pLink);
const DisplayManagerLink *GetDisplayManagerLink();
void SetOsdRendererLink(const OsdRendererLink *pLink);
const OsdRendererLink *GetOsdRendererLink();
