/*
 * QVPlaySDK port-numbered front end (QV_PLAY_*).
 *
 * Players are addressed by a port number, 0 to 65535, chosen by the client or
 * handed out by the Ex open functions (32768 to 65535). Functions answer with
 * a boolean (1 success, 0 failure, an unknown port included) or with the
 * value asked for (0 or 0.0 on any failure); the core's result code is not
 * passed on. File end and index completion can be posted to a window.
 */
#ifndef QVPLAYPORT_H
#define QVPLAYPORT_H

#include "qvtypes.h"

/* Port numbers. */
#define QV_PLAY_MIN_PORT 0
#define QV_PLAY_MAX_PORT 65535
#define QV_PLAY_FIRST_AUTO_PORT 32768 /* the Ex open functions take the lowest free port from here */

/* Window messages. On Windows they are posted with PostMessageW. On Linux a
   window is an X11 window id, and each message arrives as a ClientMessage
   event sent to that window: message_type is the atom named
   QV_WINDOW_MESSAGE_ATOM, format 32, data.l[0] the message number, data.l[1]
   wParam and data.l[2] lParam. The protocol carries 32 bits per value, so
   data.l[3] and data.l[4] hold the high 32 bits of wParam and lParam: a
   64-bit client rebuilds each as (uint32_t)l[1] | (uint64_t)(uint32_t)l[3] << 32
   (and l[2], l[4] alike). A client's event loop matches the atom
   (XInternAtom) and dispatches the three values as it would a message. */
#define QV_WINDOW_MESSAGE_ATOM "QV_WINDOW_MESSAGE"

/* Posted to the QV_PLAY_SetMsgWnd window when the file index is complete,
   with wParam 0 and lParam the port. */
#define QV_PLAY_MSG_INDEX_COMPLETED 1178
/* Lowest message QV_PLAY_SetFileEndMsg accepts (WM_USER). */
#define QV_PLAY_MIN_FILE_END_MSG 1024

/* Speed limits of QV_PLAY_Fast, QV_PLAY_Slow and QV_PLAY_SetPlaySpeed. */
#define QV_PLAY_MAX_SPEED 16.0f
#define QV_PLAY_MIN_SPEED 0.0625f

/* QV_PLAY_SetDisplayRegion regions are 0 to QV_PLAY_MAX_DISPLAY_REGIONS - 1. */
#define QV_PLAY_MAX_DISPLAY_REGIONS 4

/* Decode modes: QV_PLAY_SetDecodeMode takes 1 (software) or 2 and 3 (hardware
   allowed); QV_PLAY_GetDecodeMode answers 3 while the hardware decoder runs,
   else 1. */
#define QV_PLAY_DECODE_MODE_SOFTWARE 1
#define QV_PLAY_DECODE_MODE_HARDWARE 3

/* Size of the container file head returned by QV_PLAY_GetFileHead. */
#define QV_PLAY_FILE_HEAD_SIZE 64

/* FRAME_INFO.nType and DECODE_OUTPUT.nType; also accepted as pixel formats by
   QV_PLAY_SetDecCallBackEx and QV_PLAY_DecodeOneFrame. Other picture layouts
   are given as their pixel format value (a FourCC, or 2 or 3). */
#define QV_PLAY_TYPE_I420 1537    /* 0x601: planar picture, Y then U then V */
#define QV_PLAY_TYPE_YUY2 258     /* 0x102: packed picture Y0 U Y1 V */
#define QV_PLAY_TYPE_AUDIO16 1538 /* 0x602: 16-bit PCM */

/* PARSE_INFO.wFrameKind. */
#define QV_PLAY_PARSE_VIDEO_KEY 0x2000       /* key frame */
#define QV_PLAY_PARSE_VIDEO_P 0x2001         /* P frame */
#define QV_PLAY_PARSE_VIDEO_KIND4 0x2002     /* third video kind */
#define QV_PLAY_PARSE_VIDEO_DROPPABLE 0x2003 /* droppable video frame */
#define QV_PLAY_PARSE_AUDIO_G711A 0x1000     /* G.711 A-law, also any audio codec not listed */
#define QV_PLAY_PARSE_AUDIO_G722 0x1001
#define QV_PLAY_PARSE_AUDIO_G726 0x1002
#define QV_PLAY_PARSE_AUDIO_PCM8 0x1003 /* 8-bit PCM */

/* What the decode callback receives with each picture or PCM block. */
typedef struct tagFRAME_INFO {
    LONG nWidth;     /* picture width; 0 for audio */
    LONG nHeight;    /* picture height; 0 for audio */
    LONG nStamp;     /* milliseconds played when the callback fired; 0 for audio */
    LONG nType;      /* QV_PLAY_TYPE_* or the picture's pixel format */
    LONG nFrameRate; /* video frames per second, rounded; 0 for audio */
} FRAME_INFO;

/* Recording time of the frame (note the field order: day of week last). */
typedef struct tagFRAME_TIME {
    WORD wYear;
    WORD wMonth;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
    WORD wDayOfWeek;
} FRAME_TIME;

/* What the parse callback receives for every frame the parser delivers; the
   video fields are 0 for audio frames. */
typedef struct tagPARSE_INFO {
    DWORD dwSequence; /* video: container frame counter */
    WORD wFrameKind;  /* QV_PLAY_PARSE_* */
    WORD wReserved1;
    WORD wWidth;       /* video */
    WORD wHeight;      /* video */
    DWORD dwTimeStamp; /* video: milliseconds */
    SYSTEMTIME stTime; /* video: recording time */
    DWORD dwReserved2[6];
    ULONGLONG ullFileOffset; /* video: position of the frame header */
    DWORD dwHeaderLength;    /* bytes of the container's frame header */
    const BYTE *pHeader;
    DWORD dwPayloadLength; /* bytes of compressed payload */
    const BYTE *pPayload;
    DWORD dwReserved3[8];
} PARSE_INFO;

/* In/out record of QV_PLAY_DecodeOneFrame. */
typedef struct tagDECODE_OUTPUT {
    LONG nType;            /* out: QV_PLAY_TYPE_* or the picture's pixel format */
    DWORD dwSize;          /* in: bytes at pBuffer; out: bytes needed or written */
    BYTE *pBuffer;         /* the caller's buffer */
    LONG nWidth;           /* video */
    LONG nHeight;          /* video */
    DWORD dwTimeStamp;     /* video: milliseconds */
    DWORD dwSamplesPerSec; /* audio */
    DWORD dwBitsPerSample; /* audio */
} DECODE_OUTPUT;

/* Client callbacks; pUser is the value given at registration. */
typedef void(QV_CALL *QV_PLAY_INDEX_CALLBACK)(LONG nPort, void *pUser);
/* hDC is valid only during the call. */
typedef void(QV_CALL *QV_PLAY_DRAW_CALLBACK)(LONG nPort, HDC hDC, void *pUser);
typedef void(QV_CALL *QV_PLAY_DECODE_CALLBACK)(LONG nPort, const BYTE *pData, LONG nSize,
                                               const FRAME_INFO *pFrameInfo, void *pUser,
                                               const FRAME_TIME *pFrameTime);
typedef void(QV_CALL *QV_PLAY_PARSE_CALLBACK)(LONG nPort, const PARSE_INFO *pParseInfo, void *pUser);
/* dwBufferedFrames: frames still queued in the stream parser; pReserved is 0. */
typedef void(QV_CALL *QV_PLAY_SOURCE_BUFFER_CALLBACK)(LONG nPort, DWORD dwBufferedFrames, void *pUser,
                                                      void *pReserved);

QV_BEGIN_DECLS

/* Opening and closing. */
BOOL QV_CALL QV_PLAY_OpenFileW(LONG nPort, const QV_WCHAR *szFileName);
BOOL QV_CALL QV_PLAY_OpenFileA(LONG nPort, const char *szFileName);
BOOL QV_CALL QV_PLAY_OpenFile(LONG nPort, const char *szFileName);
/* The Ex functions return the port they opened, or 0. */
LONG QV_CALL QV_PLAY_OpenFileExW(const QV_WCHAR *szFileName);
LONG QV_CALL QV_PLAY_OpenFileExA(const char *szFileName);
LONG QV_CALL QV_PLAY_OpenFileEx(const char *szFileName);
/* pHeader: the stream's header block, 64 to 0x40000 bytes; dwPoolSize is not used. */
BOOL QV_CALL QV_PLAY_OpenStream(LONG nPort, const BYTE *pHeader, DWORD dwHeaderSize, DWORD dwPoolSize);
LONG QV_CALL QV_PLAY_OpenStreamEx(const BYTE *pHeader, DWORD dwHeaderSize, DWORD dwPoolSize);
BOOL QV_CALL QV_PLAY_CloseFile(LONG nPort);
BOOL QV_CALL QV_PLAY_CloseStream(LONG nPort);
/* Kept for compatibility: the mode is not used, and read back as -1. */
BOOL QV_CALL QV_PLAY_SetStreamOpenMode(LONG nPort, LONG nMode);
LONG QV_CALL QV_PLAY_GetStreamOpenMode(LONG nPort);

/* Playing. A window given to QV_PLAY_Play becomes viewport 0; play starts at
   speed 1.0. */
BOOL QV_CALL QV_PLAY_Play(LONG nPort, HWND hWnd);
BOOL QV_CALL QV_PLAY_Pause(LONG nPort);
BOOL QV_CALL QV_PLAY_Stop(LONG nPort);
BOOL QV_CALL QV_PLAY_ResetSourceBuffer(LONG nPort);
BOOL QV_CALL QV_PLAY_PlayBack(LONG nPort);
BOOL QV_CALL QV_PLAY_Fast(LONG nPort); /* double the speed, at most QV_PLAY_MAX_SPEED */
BOOL QV_CALL QV_PLAY_Slow(LONG nPort); /* halve the speed, at least QV_PLAY_MIN_SPEED */
/* Speed nSpeed (1 to 16), or 1 / nSpeed when bSlower is nonzero. */
BOOL QV_CALL QV_PLAY_SetPlaySpeed(LONG nPort, LONG nSpeed, BOOL bSlower);
/* Pause and step one video frame forward or back (frame 0 stays 0). */
BOOL QV_CALL QV_PLAY_OneByOne(LONG nPort);
BOOL QV_CALL QV_PLAY_PlayBySingleFrame(LONG nPort);
BOOL QV_CALL QV_PLAY_OneByOneBack(LONG nPort);
BOOL QV_CALL QV_PLAY_PlayBySingleFrameBack(LONG nPort);
BOOL QV_CALL QV_PLAY_InputData(LONG nPort, const BYTE *pData, DWORD dwSize, DWORD dwReserved);
BOOL QV_CALL QV_PLAY_InputVideoData(LONG nPort, const BYTE *pData, DWORD dwSize);
BOOL QV_CALL QV_PLAY_InputAudioData(LONG nPort, const BYTE *pData, DWORD dwSize);

/* Positions and statistics. */
DWORD QV_CALL QV_PLAY_GetFileTimeMilliSec(LONG nPort);
DWORD QV_CALL QV_PLAY_GetFileTime(LONG nPort); /* seconds */
DWORD QV_CALL QV_PLAY_GetFileTotalFrames(LONG nPort);
DWORD QV_CALL QV_PLAY_GetFileFrames(LONG nPort);
DWORD QV_CALL QV_PLAY_GetPlayedFrames(LONG nPort); /* index of the last played frame + 1 */
DWORD QV_CALL QV_PLAY_GetPlayedFrameNum(LONG nPort);
DWORD QV_CALL QV_PLAY_GetCurrentFrameNum(LONG nPort); /* index of the last played frame */
DWORD QV_CALL QV_PLAY_GetCurrFrameNum(LONG nPort);
BOOL QV_CALL QV_PLAY_SetCurrentFrameNum(LONG nPort, DWORD dwIndex);
DWORD QV_CALL QV_PLAY_GetCurrentFrameTime(LONG nPort); /* milliseconds played */
DWORD QV_CALL QV_PLAY_GetPlayedTimeEx(LONG nPort);
DWORD QV_CALL QV_PLAY_GetPlayTime(LONG nPort);
BOOL QV_CALL QV_PLAY_SetPlayedTime(LONG nPort, DWORD dwMilliseconds);
BOOL QV_CALL QV_PLAY_SetPlayedTimeEx(LONG nPort, DWORD dwMilliseconds);
BOOL QV_CALL QV_PLAY_SetPlayTime(LONG nPort, DWORD dwMilliseconds);
float QV_CALL QV_PLAY_GetPlayPos(LONG nPort); /* bytes played / file size */
BOOL QV_CALL QV_PLAY_SetPlayPos(LONG nPort, float fRatio);
DWORD QV_CALL QV_PLAY_GetCurrentFrameRate(LONG nPort);
DWORD QV_CALL QV_PLAY_GetCurrFrameRate(LONG nPort);
double QV_CALL QV_PLAY_GetAverageBPS(LONG nPort); /* video + audio kbit/s */
double QV_CALL QV_PLAY_GetDynamicBPS(LONG nPort);
BOOL QV_CALL QV_PLAY_GetPictureSize(LONG nPort, LONG *pnWidth, LONG *pnHeight);

/* Sound. */
BOOL QV_CALL QV_PLAY_OpenSound(LONG nPort);
BOOL QV_CALL QV_PLAY_PlaySound(LONG nPort);
BOOL QV_CALL QV_PLAY_CloseSound(LONG nPort);
WORD QV_CALL QV_PLAY_GetVolume(LONG nPort);
BOOL QV_CALL QV_PLAY_SetVolume(LONG nPort, WORD wVolume);

/* Picture and options. Colour values are 0 to 127, 64 leaves the picture
   unchanged. */
BOOL QV_CALL QV_PLAY_SetVideoColor(LONG nPort, LONG nBrightness, LONG nContrast, LONG nSaturation, LONG nHue,
                                   LONG nReserved);
BOOL QV_CALL QV_PLAY_GetVideoColor(LONG nPort, LONG *pnBrightness, LONG *pnContrast, LONG *pnSaturation,
                                   LONG *pnHue, LONG nReserved);
/* bEnable adds viewport dwRegion on hWnd showing pSrcRect (null: the whole
   picture); otherwise the viewport is removed. */
BOOL QV_CALL QV_PLAY_SetDisplayRegion(LONG nPort, DWORD dwRegion, const RECT *pSrcRect, HWND hWnd,
                                      BOOL bEnable);
BOOL QV_CALL QV_PLAY_SetParseOnly(LONG nPort, BOOL bParseOnly);
BOOL QV_CALL QV_PLAY_SetPlayOption(LONG nPort, BOOL bDisplay, BOOL bSound);
BOOL QV_CALL QV_PLAY_SetDecodeMode(LONG nPort, LONG nMode);
LONG QV_CALL QV_PLAY_GetDecodeMode(LONG nPort);
BOOL QV_CALL QV_PLAY_GetCPULimitEx(LONG nPort, DWORD *pdwPercent);
BOOL QV_CALL QV_PLAY_SetCPULimitEx(LONG nPort, DWORD dwPercent);
/* Snapshot as a 24-bit BMP file. */
BOOL QV_CALL QV_PLAY_SnapshotW(LONG nPort, const QV_WCHAR *szFileName);
BOOL QV_CALL QV_PLAY_SnapshotA(LONG nPort, const char *szFileName);
BOOL QV_CALL QV_PLAY_SnapShot(LONG nPort, const char *szFileName);
/* Copies the container's 64-byte file head; *pdwSize is set to 0 when the
   container has none and to 64 when the buffer is smaller. */
BOOL QV_CALL QV_PLAY_GetFileHead(LONG nPort, BYTE *pBuffer, DWORD *pdwSize);
/* Pull one decoded frame (the player then decodes only on demand). With a
   buffer too small, pOutput->dwSize tells the size needed and the frame is
   kept for the next call. *pdwRemaining counts the frames still available. */
BOOL QV_CALL QV_PLAY_DecodeOneFrame(LONG nPort, const BYTE *pData, DWORD dwSize, DWORD dwPixelFormat,
                                    DECODE_OUTPUT *pOutput, DWORD *pdwRemaining);

/* Messages and callbacks. The file-end message is posted with wParam and
   lParam both the port. */
BOOL QV_CALL QV_PLAY_SetFileEndMsg(LONG nPort, HWND hWnd, UINT nMsg);
BOOL QV_CALL QV_PLAY_SetMsgWnd(LONG nPort, HWND hWnd);
BOOL QV_CALL QV_PLAY_SetIndexInfoCallBack(LONG nPort, QV_PLAY_INDEX_CALLBACK pfn, void *pUser);
BOOL QV_CALL QV_PLAY_RegisterDrawDCFun(LONG nPort, QV_PLAY_DRAW_CALLBACK pfn, void *pUser);
BOOL QV_CALL QV_PLAY_SetDecCallBackEx(LONG nPort, QV_PLAY_DECODE_CALLBACK pfn, void *pUser, void *pReserved,
                                      DWORD dwPixelFormat);
BOOL QV_CALL QV_PLAY_SetDecCallBack(LONG nPort, QV_PLAY_DECODE_CALLBACK pfn, DWORD dwPixelFormat);
BOOL QV_CALL QV_PLAY_SetParseCallBackEx(LONG nPort, QV_PLAY_PARSE_CALLBACK pfn, void *pUser);
/* dwThreshold: 0 to 150 queued frames. */
BOOL QV_CALL QV_PLAY_SetSourceBufferCB(LONG nPort, DWORD dwThreshold, QV_PLAY_SOURCE_BUFFER_CALLBACK pfn,
                                       void *pUser, void *pReserved);

/* Kept for compatibility with older clients: they do nothing and return 0. */
BOOL QV_CALL QV_PLAY_ConvertToBMPFile(const BYTE *pData, DWORD dwSize, LONG nWidth, LONG nHeight, LONG nType,
                                      const char *szFileName);
BOOL QV_CALL QV_PLAY_ConvertToBMPFileEx(LONG nPort, const BYTE *pData, DWORD dwSize, LONG nWidth,
                                        LONG nHeight, LONG nType, const char *szFileName);
BOOL QV_CALL QV_PLAY_SetParseCallBack(LONG nPort, QV_PLAY_PARSE_CALLBACK pfn);
BOOL QV_CALL QV_PLAY_GetPicQuality(LONG nPort, BOOL *pbHighQuality);
BOOL QV_CALL QV_PLAY_SetPicQuality(LONG nPort, BOOL bHighQuality);
BOOL QV_CALL QV_PLAY_SetSnapShotCallBack(LONG nPort, void *pfn, void *pUser);
BOOL QV_CALL QV_PLAY_GetIndexInfo(LONG nPort, BYTE *pBuffer, DWORD *pdwSize);
BOOL QV_CALL QV_PLAY_SetOverlayMode(LONG nPort, BOOL bOverlay, COLORREF crColorKey);
BOOL QV_CALL QV_PLAY_GetCPULimit(LONG nPort, DWORD *pdwPercent);
BOOL QV_CALL QV_PLAY_SetCPULimit(LONG nPort, DWORD dwPercent);
COLORREF QV_CALL QV_PLAY_GetColorKey(LONG nPort);
DWORD QV_CALL QV_PLAY_GetLastError(LONG nPort);
DWORD QV_CALL QV_PLAY_GetSourceBufferRemain(LONG nPort);
BOOL QV_CALL QV_PLAY_RefreshPlay(LONG nPort);
/* Kept for compatibility: the index thread always runs for files. */
BOOL QV_CALL QV_PLAY_EnableIndexThread(LONG nPort);

QV_END_DECLS

#endif /* QVPLAYPORT_H */
