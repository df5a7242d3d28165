/*
 * QVPlaySDK display: viewports, snapshots, the pictures handed to the display
 * manager with their hooks, the records given to drawing callbacks, the
 * display status, the pixel formats the display knows and the YUV to RGB
 * conversion setting.
 */
#ifndef QVDISPLAY_H
#define QVDISPLAY_H

#include "qvtypes.h"

/* Record sizes, checked before anything else. */
#define PLAY_VIEWPORT_SIZE ((uint32_t)sizeof(PLAY_VIEWPORT))
#define PLAY_SNAPSHOT_SIZE ((uint32_t)sizeof(PLAY_SNAPSHOT))
#define PLAY_DC_RENDER_SIZE ((uint32_t)sizeof(PLAY_DC_RENDER))
#define PLAY_DEVICE_RENDER_SIZE ((uint32_t)sizeof(PLAY_DEVICE_RENDER))
#define DISPLAY_PICTURE_SIZE ((uint32_t)sizeof(DISPLAY_PICTURE))
#define DISPLAY_PICTURE_HOOKS_SIZE ((uint32_t)sizeof(DISPLAY_PICTURE_HOOKS))
#define DISPLAY_STATUS_SIZE ((uint32_t)sizeof(DISPLAY_STATUS))

/* Creation flags of a display manager. The four low bits choose back-end
   slots; at least one of them must be set. */
#define DISPLAY_FLAG_DRAWDIB 0x0001u     /* DrawDib back end (slot 3) */
#define DISPLAY_FLAG_DIRECTDRAW7 0x0002u /* DirectDraw 7 back end (slot 2) */
#define DISPLAY_FLAG_DIRECT3D9 0x0004u   /* Direct3D 9 back end (slot 1) */
#define DISPLAY_FLAG_SLOT0 0x0008u       /* slot 0: never yields a back end */
#define DISPLAY_FLAG_BACKEND_MASK 0x000Fu
#define DISPLAY_FLAG_NO_PAINT_HOOK 0x1000u  /* do not watch viewport windows for WM_PAINT */
#define DISPLAY_FLAG_SYNC_SUBMIT 0x2000u    /* a submit waits until the picture's display time ends */
#define DISPLAY_FLAG_D3D9_IMMEDIATE 0x4000u /* Direct3D 9 presents without waiting for retrace */

/* Back-end slots, walked from 0 to 3: Direct3D 9 first, then DirectDraw 7,
   then DrawDib. DISPLAY_STATUS.dwBackend holds the creation-flag bit of a
   slot (8, 4, 2 or 1 for slots 0 to 3). */
#define DISPLAY_BACKEND_SLOTS 4
#define DISPLAY_SLOT_RESERVED 0 /* never holds a back end */
#define DISPLAY_SLOT_DIRECT3D9 1
#define DISPLAY_SLOT_DIRECTDRAW7 2
#define DISPLAY_SLOT_DRAWDIB 3
#define DISPLAY_SLOT_FLAG(slot) (0x0008u >> (slot))

/* Picture formats the display knows, as four-character codes. */
#define DISPLAY_FOURCC_I420 QV_FOURCC('I', '4', '2', '0') /* Y, U, V planes */
#define DISPLAY_FOURCC_YV12 QV_FOURCC('Y', 'V', '1', '2') /* Y, V, U planes */
#define DISPLAY_FOURCC_NV12 QV_FOURCC('N', 'V', '1', '2') /* Y plane, U/V pairs */
#define DISPLAY_FOURCC_NV21 QV_FOURCC('N', 'V', '2', '1') /* Y plane, V/U pairs */
#define DISPLAY_FOURCC_YUY2 QV_FOURCC('Y', 'U', 'Y', '2') /* Y0 U Y1 V */
#define DISPLAY_FOURCC_YVYU QV_FOURCC('Y', 'V', 'Y', 'U') /* Y0 V Y1 U */
#define DISPLAY_FOURCC_UYVY QV_FOURCC('U', 'Y', 'V', 'Y') /* U Y0 V Y1 */
#define DISPLAY_FOURCC_IYU2 QV_FOURCC('I', 'Y', 'U', '2') /* U Y V per pixel */

/* Bits per pixel of the formats: the least data size of a picture is
   width * height * bits / 8. */
#define DISPLAY_BITS_420 12 /* I420, YV12, NV12, NV21 */
#define DISPLAY_BITS_422 16 /* YUY2, YVYU, UYVY */
#define DISPLAY_BITS_444 24 /* IYU2 */

/* Snapshots are bottom-up 24-bit RGB rows, each padded to 4 bytes. */
#define DISPLAY_RGB24_STRIDE(width) ((((uint32_t)(width)) * 3u + 3u) & ~3u)

/* Picture queue and pacing. */
#define DISPLAY_QUEUE_MAX 4                    /* pictures queued at most */
#define DISPLAY_MAX_DURATION 100000000u        /* microseconds a picture is shown at most */
#define DISPLAY_ENTRY_BLOCK_SIZE 96            /* pool block of one queued picture */
#define DISPLAY_THREAD_TIMEOUT 10000u          /* ms: handshakes with the display thread, watchdog */
#define DISPLAY_SYNC_SUBMIT_TIMEOUT 100000000u /* ms a synchronous submit waits */

/* States of a queued picture. */
#define DISPLAY_ENTRY_NEW 0      /* queued, never drawn */
#define DISPLAY_ENTRY_SHOWING 1  /* drawn, its display time running */
#define DISPLAY_ENTRY_EXPIRED 2  /* display time over; stays on screen until replaced */
#define DISPLAY_ENTRY_RELEASED 3 /* handed back through pfnRelease */

/* Thread messages of the display thread (it has no window). */
#define DM_QUIT 0x0400             /* leave the loop */
#define DM_CREATE_BACKENDS 0x0401  /* wParam reply event, lParam creation flags */
#define DM_DESTROY_BACKENDS 0x0402 /* wParam reply event */
#define DM_SHOW_NEXT 0x0404        /* run the show chain */
#define DM_REPAINT_WINDOW 0x0405   /* lParam window to repaint */

/* Result codes of the display. */
#define DISPLAY_OK 0
#define DISPLAY_E_FAIL ((int32_t)0x92A00001)             /* system call failed, no back end, nothing to do */
#define DISPLAY_E_NOT_AVAILABLE ((int32_t)0x92A00002)    /* back-end library or entry point missing */
#define DISPLAY_E_INVALID_VALUE ((int32_t)0x92A00010)    /* width or height <= 0, thread id 0 */
#define DISPLAY_E_INVALID_OBJECT ((int32_t)0x92A00011)   /* manager missing */
#define DISPLAY_E_NULL_POINTER ((int32_t)0x92A00012)     /* required pointer null */
#define DISPLAY_E_BAD_SIZE ((int32_t)0x92A00013)         /* record size field wrong */
#define DISPLAY_E_EMPTY_SOURCE ((int32_t)0x92A00014)     /* source rectangle empty */
#define DISPLAY_E_EMPTY_DEST ((int32_t)0x92A00015)       /* destination rectangle empty */
#define DISPLAY_E_BAD_FOURCC ((int32_t)0x92A00016)       /* pixel format not supported */
#define DISPLAY_E_NO_SUCH_VIEWPORT ((int32_t)0x92A00017) /* viewport identifier not found */
#define DISPLAY_E_BAD_WINDOW ((int32_t)0x92A00018)       /* not a window, or no device context */
#define DISPLAY_E_NO_BACKEND ((int32_t)0x92A00020)       /* no back-end bit given or none created */
#define DISPLAY_E_TIMER ((int32_t)0x92A00021)            /* waitable timer not created or set */
#define DISPLAY_E_NO_PICTURE ((int32_t)0x92A00022)       /* no picture to show or convert */
#define DISPLAY_E_QUEUE_FULL ((int32_t)0x92A00023)       /* DISPLAY_QUEUE_MAX pictures queued */
#define DISPLAY_E_TIMEOUT ((int32_t)0x92A00024)          /* synchronous submit timed out */
#define DISPLAY_E_BUFFER_TOO_SMALL ((int32_t)0x92A00025) /* snapshot buffer or picture data too small */
#define DISPLAY_E_NO_VIEWPORTS ((int32_t)0x92A00026)     /* no viewport left to draw into */
#define DISPLAY_E_OUT_OF_MEMORY ((int32_t)0x92A00027)    /* back-end buffer not allocated */

/* One destination of the pictures: a window with optional rectangles. */
typedef struct tagPLAY_VIEWPORT {
    uint32_t dwSize; /* PLAY_VIEWPORT_SIZE */
    uint32_t dwID;   /* chosen by the client; unique within a player */
    HWND hDestWnd;   /* destination window */
    uint32_t dwReserved[3];
    RECT rcSrc;  /* picture pixels; empty: the whole picture */
    RECT rcDest; /* client coordinates of hDestWnd; empty: the whole client area */
} PLAY_VIEWPORT;

/* Snapshot of the picture on screen as a bottom-up 24-bit RGB bitmap.
   A null pBuffer asks for the size. */
typedef struct tagPLAY_SNAPSHOT {
    uint32_t dwSize;            /* PLAY_SNAPSHOT_SIZE */
    uint32_t dwBufferSize;      /* in: bytes at pBuffer; out: bytes needed */
    uint8_t *pBuffer;           /* pixel rows, DISPLAY_RGB24_STRIDE(width) bytes each */
    uint32_t dwReserved;        /* not touched */
    BITMAPINFOHEADER bmiHeader; /* filled whenever a conversion was attempted */
} PLAY_SNAPSHOT;

/* Given to DC-render callbacks after a picture is drawn into a viewport. */
typedef struct tagPLAY_DC_RENDER {
    uint32_t dwSize;        /* PLAY_DC_RENDER_SIZE */
    HDC hDC;                /* valid only during the call */
    PLAY_VIEWPORT viewport; /* the viewport being drawn */
    uint32_t dwReserved[2];
} PLAY_DC_RENDER;

#ifndef _WIN32
/* Outside Windows, PLAY_DC_RENDER.hDC points to this record during the call:
   an Xlib pixmap holding the viewport's drawn picture, copied into the window
   at (nX, nY) once the callback returns (so that what the client draws
   reaches the screen together with the picture). Drawing coordinates are
   relative to the destination rectangle's top-left corner. */
typedef struct tagQV_X11_DC {
    uint32_t dwSize;        /* sizeof(QV_X11_DC) */
    void *pDisplay;         /* Display *: the connection the drawable belongs to */
    unsigned long drawable; /* Pixmap of nWidth x nHeight, the window's depth */
    void *pGC;              /* GC for drawable; the callback may change it */
    int32_t nWidth;
    int32_t nHeight;
    unsigned long window; /* the viewport window */
    int32_t nX;           /* where the drawable lands in the window */
    int32_t nY;
} QV_X11_DC;
#endif

/* Given to device-render hooks with the back end's own device objects. */
typedef struct tagPLAY_DEVICE_RENDER {
    uint32_t dwSize;    /* PLAY_DEVICE_RENDER_SIZE */
    uint32_t dwBackend; /* DISPLAY_FLAG_DIRECT3D9 or DISPLAY_FLAG_DIRECTDRAW7 */
    void *pDevice;      /* device object for the viewport's monitor */
    void *pSurface;     /* surface holding the viewport's drawn picture */
    PLAY_VIEWPORT viewport;
    uint32_t dwReserved[2];
} PLAY_DEVICE_RENDER;

/* One picture submitted for display. The data is not copied by the manager;
   it stays owned by the display until pfnRelease hands it back. */
typedef struct tagDISPLAY_PICTURE {
    uint32_t dwSize;     /* DISPLAY_PICTURE_SIZE */
    uint32_t dwFourCC;   /* DISPLAY_FOURCC_... */
    int32_t nWidth;      /* pixels, > 0 */
    int32_t nHeight;     /* pixels, > 0 */
    uint8_t *pData;      /* planes back to back, rows without padding */
    uint32_t dwDataSize; /* bytes at pData */
    uint32_t dwDuration; /* display time in microseconds */
    uint32_t dwReserved;
} DISPLAY_PICTURE;

/* Hooks of a submitted picture. pManager is the display manager calling.
   pfnRelease receives the queued copy of the picture. */
typedef void(QV_CALL *PFN_DISPLAY_RELEASE)(void *pManager, DISPLAY_PICTURE *pPicture, void *pContext);
typedef void(QV_CALL *PFN_DISPLAY_DEVICE_RENDER)(void *pManager, PLAY_DEVICE_RENDER *pRender, void *pContext);
typedef void(QV_CALL *PFN_DISPLAY_DC_RENDER)(void *pManager, PLAY_DC_RENDER *pRender, void *pContext);

typedef struct tagDISPLAY_PICTURE_HOOKS {
    uint32_t dwSize;                /* DISPLAY_PICTURE_HOOKS_SIZE */
    PFN_DISPLAY_RELEASE pfnRelease; /* the manager is done with the picture; may be null */
    void *pReleaseContext;
    PFN_DISPLAY_DEVICE_RENDER pfnDeviceRender; /* Direct3D 9 and DirectDraw 7 only; may be null */
    void *pDeviceRenderContext;
    PFN_DISPLAY_DC_RENDER pfnDcRender; /* after drawing into a viewport; may be null */
    void *pDcRenderContext;
    uint32_t dwReserved[3];
} DISPLAY_PICTURE_HOOKS;

/* Counters of a display manager; times are signed microseconds. */
typedef struct tagDISPLAY_STATUS {
    uint32_t dwSize;          /* DISPLAY_STATUS_SIZE */
    uint32_t dwBackend;       /* flag bit of the back end that last presented; 0: none */
    uint32_t dwShownCount;    /* pictures whose display time ended */
    uint32_t dwSnapshotCount; /* successful snapshots */
    int64_t llScheduledTime;  /* sum of the durations of the pictures shown */
    int64_t llElapsedTime;    /* wall-clock time over which they were shown */
    int64_t llSnapshotTime;   /* time spent taking snapshots */
    uint32_t dwReserved[2];
} DISPLAY_STATUS;

/* YUV to 24-bit RGB conversion (blue, green, red bytes per pixel). */
typedef struct tagCONVERT_SETTING {
    uint32_t dwFourCC;   /* DISPLAY_FOURCC_... of the source */
    int32_t wWidth;      /* pixels */
    int32_t wHeight;     /* pixels */
    const uint8_t *pYuv; /* planes back to back, rows without padding */
    uint32_t dwYuvSize;  /* bytes at pYuv (informative) */
    uint8_t *pRgb24;     /* destination rows */
    uint32_t dwRgbSize;  /* bytes at pRgb24 (informative; the caller sizes it) */
    BOOL bTopDown;       /* nonzero: source row y to row y; zero: to row wHeight - 1 - y */
    uint32_t dwPicth;    /* destination row stride, at least 3 * wWidth */
} CONVERT_SETTING;

/* Conversion coefficients: with c = Y - 16, d = U - 128, e = V - 128,
   R = (149c + KR e) / 128, G = (149c - KGU d - KGV e) / 128,
   B = (149c + KB d) / 128, truncated and clamped to 0..255. Pictures of at
   least CONVERT_HD_WIDTH x CONVERT_HD_HEIGHT use BT.709, smaller ones BT.601. */
#define CONVERT_KY 149
#define CONVERT_BT601_KR 204
#define CONVERT_BT601_KGU 50
#define CONVERT_BT601_KGV 104
#define CONVERT_BT601_KB 258
#define CONVERT_BT709_KR 230
#define CONVERT_BT709_KGU 27
#define CONVERT_BT709_KGV 68
#define CONVERT_BT709_KB 271
#define CONVERT_HD_WIDTH 1280
#define CONVERT_HD_HEIGHT 720

#endif /* QVDISPLAY_H */
