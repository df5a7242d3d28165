/*
 * QVPlaySDK HX front end (HX_*), for hosts that load player libraries as
 * plug-ins: the host asks HX_QueryFunction which functions exist and calls
 * them with the player handle returned by the open functions. Results are
 * HX_OK or a small negative HX_E_* code. Besides playback the family records
 * the incoming stream to a file, takes snapshots with a notification message
 * and posts messages for file end and recording size.
 */
#ifndef QVHX_H
#define QVHX_H

#include "qvtypes.h"

/* The core player handle (the same type as PLAY_HANDLE). */
struct tagPLAY_PLAYER;
typedef struct tagPLAY_PLAYER *HX_HANDLE;

/* What HX_GetVersion reports. */
#define HX_VERSION 0x30004

/* Results. */
#define HX_OK 0
#define HX_E_BAD_ARGUMENT (-1)  /* bad argument, or the player's HX data is not available */
#define HX_E_NOT_OFFERED (-3)   /* HX_QueryFunction: no such function */
#define HX_E_FILE_FORMAT (-4)   /* the file is not in a supported format */
#define HX_E_STREAM_FORMAT (-7) /* the stream is not in a supported format */
#define HX_E_BUFFER_FULL (-8)   /* the stream input buffer is full; retry later */
#define HX_E_CREATE_FILE (-9)   /* the record or snapshot file could not be created */
#define HX_E_FAIL (-10)         /* any other failure */

/* HX_SetMessage kinds. File end: wParam 0, lParam the player handle.
   Snapshot: wParam the address of a copy of the file name (valid until the
   next snapshot message or the close), lParam the player handle. Record size:
   posted for every frame recorded once the file reaches
   HX_RECORD_SIZE_LIMIT bytes; wParam 0, lParam the player handle. */
#define HX_MESSAGE_FILE_END 1
#define HX_MESSAGE_SNAPSHOT 2
#define HX_MESSAGE_RECORD_SIZE 3

#define HX_RECORD_SIZE_LIMIT 0x7FF00000u

/* Size of the container file head that begins a record file (none for the
   6000 generation, whose frames start the file). */
#define HX_RECORD_HEAD_SIZE 64

/* HX_FRAME_INFO.nType. */
#define HX_FRAME_TYPE_UNKNOWN 0
#define HX_FRAME_TYPE_YV12 3
#define HX_FRAME_TYPE_UYVY 4
#define HX_FRAME_TYPE_I420 5
#define HX_FRAME_TYPE_YUY2 6
#define HX_FRAME_TYPE_AUDIO 7 /* 16-bit PCM */
#define HX_FRAME_TYPE_RGB 8
#define HX_FRAME_TYPE_NV12 100

/* Frame rate reported when the measured one is not available yet. */
#define HX_DEFAULT_FRAME_RATE 25

/* The names HX_QueryFunction knows, in table order; each names the HX_
   function of that name. X(name) is expanded once per name. */
#define HX_FUNCTION_COUNT 26
#define HX_FOR_EACH_FUNCTION(X)                                                                              \
    X(OpenFile)                                                                                              \
    X(CloseFile)                                                                                             \
    X(GetFileTime)                                                                                           \
    X(OpenStream)                                                                                            \
    X(CloseStream)                                                                                           \
    X(InputData)                                                                                             \
    X(PlaySound)                                                                                             \
    X(StopSound)                                                                                             \
    X(SetVolume)                                                                                             \
    X(Play)                                                                                                  \
    X(Stop)                                                                                                  \
    X(Pause)                                                                                                 \
    X(SetPlayTime)                                                                                           \
    X(GetPlayTime)                                                                                           \
    X(SetSpeed)                                                                                              \
    X(GetSpeed)                                                                                              \
    X(OneByOne)                                                                                              \
    X(OneByOneBack)                                                                                          \
    X(StartRecord)                                                                                           \
    X(StopRecord)                                                                                            \
    X(Snapshot)                                                                                              \
    X(Refresh)                                                                                               \
    X(GetPictureSize)                                                                                        \
    X(SetMessage)                                                                                            \
    X(SetDecodeCallBack)                                                                                     \
    X(SetDrawCallBack)

/* What the decode callback receives with each picture or PCM block; for
   audio every field but nType is 0. */
typedef struct tagHX_FRAME_INFO {
    LONG nWidth; /* of the decoded picture */
    LONG nHeight;
    DWORD dwTimeStamp; /* the frame's presentation time in milliseconds */
    LONG nType;        /* HX_FRAME_TYPE_* */
    LONG nFrameRate;   /* measured video frames per second, rounded, or HX_DEFAULT_FRAME_RATE */
} HX_FRAME_INFO;

/* Client callbacks; pUser is the value given at registration. */
typedef void(QV_CALL *HX_DECODE_CALLBACK)(HX_HANDLE hPlay, const BYTE *pData, LONG nSize,
                                          const HX_FRAME_INFO *pFrameInfo, void *pUser);
/* hDC is valid only during the call. */
typedef void(QV_CALL *HX_DRAW_CALLBACK)(HX_HANDLE hPlay, HDC hDC, void *pUser);

/*
 * Layout of the extension block this family asks the player for, zero at
 * open: the record file, the three message targets with the parameters they
 * are posted with, and the client functions. Shared with the player's threads
 * without a lock; each field is written whole.
 */
typedef struct tagHX_EXTENSION {
    HANDLE hRecordFile; /* 0 when not recording */
    HWND hEndWnd;
    UINT nEndMsg;
    WPARAM wEndParam; /* 0 */
    LPARAM lEndParam; /* the player handle */
    DWORD dwReserved1[3];
    HWND hSnapshotWnd;
    UINT nSnapshotMsg;
    WPARAM wSnapshotParam; /* the copy of the last snapshot's file name */
    LPARAM lSnapshotParam; /* the player handle */
    DWORD dwReserved2[3];
    HWND hRecordSizeWnd;
    UINT nRecordSizeMsg;
    WPARAM wRecordSizeParam; /* 0 */
    LPARAM lRecordSizeParam; /* the player handle */
    DWORD dwReserved3[3];
    HX_DECODE_CALLBACK pfnDecode;
    HX_DRAW_CALLBACK pfnDraw;
} HX_EXTENSION;

QV_BEGIN_DECLS

LONG QV_CALL HX_GetVersion(DWORD *pdwVersion);
/* The name is compared without regard to case; *pbFound is set either way. */
LONG QV_CALL HX_QueryFunction(const char *szName, BOOL *pbFound);
/* Nothing to set up, refresh or free: these return HX_OK. */
LONG QV_CALL HX_Initial(void);
LONG QV_CALL HX_Refresh(void);
LONG QV_CALL HX_Free(void);

/* Opening and closing. */
LONG QV_CALL HX_OpenFile(const char *szFileName, HX_HANDLE *phPlay);
/* pHeader: the stream's header block, 64 to 0x40000 bytes; dwIgnored is not used. */
LONG QV_CALL HX_OpenStream(const BYTE *pHeader, DWORD dwHeaderSize, DWORD dwIgnored, HX_HANDLE *phPlay);
/* Also ends a recording and frees the snapshot name copy. */
LONG QV_CALL HX_CloseFile(HX_HANDLE hPlay);
LONG QV_CALL HX_CloseStream(HX_HANDLE hPlay);
LONG QV_CALL HX_GetFileTime(HX_HANDLE hPlay, DWORD *pdwSeconds);
LONG QV_CALL HX_InputData(HX_HANDLE hPlay, const BYTE *pData, DWORD dwSize);

/* Sound. */
LONG QV_CALL HX_PlaySound(HX_HANDLE hPlay);
LONG QV_CALL HX_StopSound(HX_HANDLE hPlay);
LONG QV_CALL HX_SetVolume(HX_HANDLE hPlay, DWORD dwVolume); /* 0..65535 */

/* Playing. A window given to HX_Play becomes viewport 0; no window removes
   it. Play starts at speed 1.0. */
LONG QV_CALL HX_Play(HX_HANDLE hPlay, HWND hWnd);
LONG QV_CALL HX_Stop(HX_HANDLE hPlay);
LONG QV_CALL HX_Pause(HX_HANDLE hPlay, DWORD dwIgnored);
LONG QV_CALL HX_SetPlayTime(HX_HANDLE hPlay, DWORD dwSeconds);
LONG QV_CALL HX_GetPlayTime(HX_HANDLE hPlay, DWORD *pdwTime); /* milliseconds played x 1000 */
/* Speed as a power of two: nExponent -2 is a quarter speed, 3 eight times. */
LONG QV_CALL HX_SetSpeed(HX_HANDLE hPlay, LONG nExponent);
LONG QV_CALL HX_GetSpeed(HX_HANDLE hPlay, LONG *pnExponent);
LONG QV_CALL HX_OneByOne(HX_HANDLE hPlay);
LONG QV_CALL HX_OneByOneBack(HX_HANDLE hPlay);

/* Recording of the parsed stream into a file of the same container format. */
LONG QV_CALL HX_StartRecord(HX_HANDLE hPlay, const char *szFileName);
LONG QV_CALL HX_StopRecord(HX_HANDLE hPlay);
/* Snapshot as a 24-bit BMP file. */
LONG QV_CALL HX_Snapshot(HX_HANDLE hPlay, const char *szFileName);
LONG QV_CALL HX_GetPictureSize(HX_HANDLE hPlay, DWORD *pdwWidth, DWORD *pdwHeight);

/* Messages and callbacks; a null window, message 0 or a null function turns
   the notification off. */
LONG QV_CALL HX_SetMessage(HX_HANDLE hPlay, DWORD dwKind, HWND hWnd, UINT nMsg);
LONG QV_CALL HX_SetDecodeCallBack(HX_HANDLE hPlay, HX_DECODE_CALLBACK pfn, void *pUser);
LONG QV_CALL HX_SetDrawCallBack(HX_HANDLE hPlay, HX_DRAW_CALLBACK pfn, void *pUser);

QV_END_DECLS

#endif /* QVHX_H */
