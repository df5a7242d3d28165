/*
 * QVPlaySDK handle-based front end (QV_PLAY2_*).
 *
 * Every function takes the player handle returned by one of the open
 * functions and maps onto one core call, so results are the core's 32-bit
 * result codes (0 success, negative PLAY_E_* or component codes on failure).
 * What this family adds: ANSI paths, BMP snapshot files, a fixed public frame
 * description (PLAY2_FRAME_INFO) and callback adapters.
 */
#ifndef QVPLAY2_H
#define QVPLAY2_H

#include "qvtypes.h"

/* Records of the core and its components, declared in their own headers;
   referred to by tag so that this header stands on its own. */
struct tagPLAY_PLAYER;
struct tagPLAY_FRAME;
struct tagPLAY_COLOR;
struct tagPLAY_VIEWPORT;
struct tagPLAY_SNAPSHOT;
struct tagStreamInfo;
struct tagStreamStatistics;
struct tagDecoderInfo;
struct tagDISPLAY_STATUS;
struct tagADEC_STATUS;
struct tagSOUND_STATUS;

/* The core player handle (the same type as PLAY_HANDLE). */
typedef struct tagPLAY_PLAYER *PLAY2_HANDLE;

/* Bytes in front of the pixels of a snapshot BMP file: the 14-byte
   BITMAPFILEHEADER and the 40-byte BITMAPINFOHEADER. The pixels are the
   snapshot's 24-bit bottom-up rows, each padded to a multiple of 4 bytes. */
#define PLAY2_BMP_HEADERS_SIZE 54

/*
 * One frame as the client sees it: handed to the stream-parse and decode
 * callbacks (valid only during the call) and filled by QV_PLAY2_GetDecodeFrame
 * (valid until QV_PLAY2_FreeDecodeFrame). Which half of the union is filled
 * depends on dwType: 1 audio, 2 to 5 video; for type 0 only the common fields
 * up to pPayload are set.
 */
typedef struct tagPLAY2_FRAME_INFO {
    /* The core frame behind a QV_PLAY2_GetDecodeFrame result, handed back by
       QV_PLAY2_FreeDecodeFrame; 0 in callbacks. */
    struct tagPLAY_FRAME *pFrame;
    DWORD dwReserved[2];   /* 0 in callbacks; not written by QV_PLAY2_GetDecodeFrame */
    DWORD dwType;          /* 1 audio; 2 key frame, 3 P frame, 4 third video kind, 5 droppable */
    DWORD dwHeaderLength;  /* bytes of the container's frame header */
    const BYTE *pHeader;   /* copy of the container's frame header */
    DWORD dwPayloadLength; /* bytes of compressed payload */
    const BYTE *pPayload;  /* compressed payload, directly behind the header */
    union {
        struct {
            WORD wChannels;        /* decoded audio only */
            WORD wBitsPerSample;   /* decoded audio only */
            DWORD dwSamplesPerSec; /* decoded audio only */
            BYTE *pPcm;            /* decoded audio only: PCM samples */
            DWORD dwPcmSize;       /* decoded audio only: PCM bytes */
            DWORD dwReserved[12];  /* 0 */
        } audio;
        struct {
            DWORD dwWidth; /* from the frame record (parse) or the decoded picture (decode) */
            DWORD dwHeight;
            ULONGLONG ullFileOffset; /* position of the frame header in the file or stream */
            SYSTEMTIME stTime;       /* recording time; zero where the container has none */
            DWORD dwSequence;        /* the container's own frame counter */
            DWORD dwTimeStamp;       /* presentation time in milliseconds */
            DWORD dwFourCC;          /* decoded video only: pixel format of the picture */
            BYTE *pPicture;          /* decoded video only: the picture, planes back to back */
            DWORD dwPictureSize;     /* decoded video only: bytes at pPicture */
            DWORD dwReserved[3];     /* 0 */
        } video;
    } u;
} PLAY2_FRAME_INFO;

/* Client callbacks. The handle is the player's; pContext is the value given at
   registration. The player ignores the result. */
typedef int32_t(QV_CALL *PLAY2_FILE_INDEX_COMPLETED_CALLBACK)(PLAY2_HANDLE hPlay, void *pContext);
typedef int32_t(QV_CALL *PLAY2_FILE_ENDED_CALLBACK)(PLAY2_HANDLE hPlay, void *pContext);
/* dwBufferedFrames: frames still queued in the stream parser. */
typedef int32_t(QV_CALL *PLAY2_BUFFER_ALMOST_EMPTY_CALLBACK)(PLAY2_HANDLE hPlay, DWORD dwBufferedFrames,
                                                             void *pContext);
typedef int32_t(QV_CALL *PLAY2_STREAM_PARSE_CALLBACK)(PLAY2_HANDLE hPlay, const PLAY2_FRAME_INFO *pFrameInfo,
                                                      void *pContext);
typedef int32_t(QV_CALL *PLAY2_DECODE_CALLBACK)(PLAY2_HANDLE hPlay, const PLAY2_FRAME_INFO *pFrameInfo,
                                                void *pContext);
/* hDC is valid only during the call; pViewport is the viewport being drawn. */
typedef int32_t(QV_CALL *PLAY2_DC_RENDER_CALLBACK)(PLAY2_HANDLE hPlay, HDC hDC,
                                                   const struct tagPLAY_VIEWPORT *pViewport, void *pContext);

/*
 * Layout of the extension block this family asks the player for: the client
 * functions, one slot per callback kind in kind order, read by the adapters at
 * call time so that a new registration takes effect at the next callback.
 */
typedef struct tagPLAY2_EXTENSION {
    PLAY2_FILE_INDEX_COMPLETED_CALLBACK pfnFileIndexCompleted;
    PLAY2_FILE_ENDED_CALLBACK pfnFileEnded;
    PLAY2_BUFFER_ALMOST_EMPTY_CALLBACK pfnBufferAlmostEmpty;
    PLAY2_STREAM_PARSE_CALLBACK pfnStreamParse;
    PLAY2_DECODE_CALLBACK pfnDecode;
    PLAY2_DC_RENDER_CALLBACK pfnDcRender;
} PLAY2_EXTENSION;

QV_BEGIN_DECLS

/* Opening and closing. */
int32_t QV_CALL QV_PLAY2_OpenFileW(PLAY2_HANDLE *phPlay, const QV_WCHAR *szFileName);
int32_t QV_CALL QV_PLAY2_OpenFileA(PLAY2_HANDLE *phPlay, const char *szFileName);
/* pHeader: the stream's header block, 64 to 0x40000 bytes. */
int32_t QV_CALL QV_PLAY2_OpenStream(PLAY2_HANDLE *phPlay, const BYTE *pHeader, DWORD dwHeaderSize);
int32_t QV_CALL QV_PLAY2_Close(PLAY2_HANDLE hPlay);

/* Enable flags (PLAY_ENABLE_*). */
int32_t QV_CALL QV_PLAY2_SetEnableFlag(PLAY2_HANDLE hPlay, DWORD dwFlags);
int32_t QV_CALL QV_PLAY2_GetEnableFlag(PLAY2_HANDLE hPlay, DWORD *pdwFlags);

/* Actions. */
int32_t QV_CALL QV_PLAY2_Stop(PLAY2_HANDLE hPlay);
int32_t QV_CALL QV_PLAY2_Pause(PLAY2_HANDLE hPlay);
int32_t QV_CALL QV_PLAY2_Play(PLAY2_HANDLE hPlay);
int32_t QV_CALL QV_PLAY2_PlayBackward(PLAY2_HANDLE hPlay);

/* Controls and their read-back. */
int32_t QV_CALL QV_PLAY2_SetSpeed(PLAY2_HANDLE hPlay, float fSpeed);
int32_t QV_CALL QV_PLAY2_GetSpeed(PLAY2_HANDLE hPlay, float *pfSpeed);
int32_t QV_CALL QV_PLAY2_SetVolume(PLAY2_HANDLE hPlay, DWORD dwVolume); /* 0..65535 */
int32_t QV_CALL QV_PLAY2_GetVolume(PLAY2_HANDLE hPlay, DWORD *pdwVolume);
int32_t QV_CALL QV_PLAY2_SetVideoColor(PLAY2_HANDLE hPlay, const struct tagPLAY_COLOR *pColor);
int32_t QV_CALL QV_PLAY2_GetVideoColor(PLAY2_HANDLE hPlay, struct tagPLAY_COLOR *pColor);
int32_t QV_CALL QV_PLAY2_SetCpuLimit(PLAY2_HANDLE hPlay, DWORD dwPercent);
int32_t QV_CALL QV_PLAY2_GetCpuLimit(PLAY2_HANDLE hPlay, DWORD *pdwPercent);

/* State and statistics (PLAY_ATTRIBUTE_*). */
int32_t QV_CALL QV_PLAY2_GetMode(PLAY2_HANDLE hPlay, DWORD *pdwMode);
int32_t QV_CALL QV_PLAY2_GetState(PLAY2_HANDLE hPlay, DWORD *pdwState);
int32_t QV_CALL QV_PLAY2_IsPlayBackward(PLAY2_HANDLE hPlay, DWORD *pdwBackward);
int32_t QV_CALL QV_PLAY2_IsFileIndexCompleted(PLAY2_HANDLE hPlay, DWORD *pdwCompleted);
int32_t QV_CALL QV_PLAY2_IsFileEnded(PLAY2_HANDLE hPlay, DWORD *pdwEnded);
/* The height is read only when the width was. */
int32_t QV_CALL QV_PLAY2_GetPictureSize(PLAY2_HANDLE hPlay, DWORD *pdwWidth, DWORD *pdwHeight);
int32_t QV_CALL QV_PLAY2_GetBufferedFrameCount(PLAY2_HANDLE hPlay, DWORD *pdwCount);
int32_t QV_CALL QV_PLAY2_GetFileSize(PLAY2_HANDLE hPlay, ULONGLONG *pullSize);
int32_t QV_CALL QV_PLAY2_GetPlayDataSize(PLAY2_HANDLE hPlay, ULONGLONG *pullSize);
int32_t QV_CALL QV_PLAY2_GetFileDuration(PLAY2_HANDLE hPlay, DWORD *pdwMilliseconds);
int32_t QV_CALL QV_PLAY2_GetPlayDuration(PLAY2_HANDLE hPlay, DWORD *pdwMilliseconds);
int32_t QV_CALL QV_PLAY2_GetFileVideoFrameCount(PLAY2_HANDLE hPlay, DWORD *pdwCount);
int32_t QV_CALL QV_PLAY2_GetPlayVideoFrameIndex(PLAY2_HANDLE hPlay, DWORD *pdwIndex);
int32_t QV_CALL QV_PLAY2_GetKeyFrameDistance(PLAY2_HANDLE hPlay, DWORD *pdwFrames);
int32_t QV_CALL QV_PLAY2_GetKeyFrameInterval(PLAY2_HANDLE hPlay, DWORD *pdwMilliseconds);
int32_t QV_CALL QV_PLAY2_GetVideoFrameRate(PLAY2_HANDLE hPlay, float *pfRate);
int32_t QV_CALL QV_PLAY2_GetVideoBitrate(PLAY2_HANDLE hPlay, float *pfKbps);
int32_t QV_CALL QV_PLAY2_GetAudioFrameRate(PLAY2_HANDLE hPlay, float *pfRate);
int32_t QV_CALL QV_PLAY2_GetAudioBitrate(PLAY2_HANDLE hPlay, float *pfKbps);

/* Component status records; a component not created yet gives a record that
   is zero but for its size field. */
int32_t QV_CALL QV_PLAY2_GetDemuxProperty(PLAY2_HANDLE hPlay, struct tagStreamInfo *pInfo);
int32_t QV_CALL QV_PLAY2_GetDemuxStatus(PLAY2_HANDLE hPlay, struct tagStreamStatistics *pStatistics);
int32_t QV_CALL QV_PLAY2_GetVdecStatus(PLAY2_HANDLE hPlay, struct tagDecoderInfo *pInfo);
int32_t QV_CALL QV_PLAY2_GetDisplayStatus(PLAY2_HANDLE hPlay, struct tagDISPLAY_STATUS *pStatus);
int32_t QV_CALL QV_PLAY2_GetAdecStatus(PLAY2_HANDLE hPlay, struct tagADEC_STATUS *pStatus);
int32_t QV_CALL QV_PLAY2_GetSoundStatus(PLAY2_HANDLE hPlay, struct tagSOUND_STATUS *pStatus);

/* Viewports and snapshots. */
int32_t QV_CALL QV_PLAY2_AddViewport(PLAY2_HANDLE hPlay, const struct tagPLAY_VIEWPORT *pViewport);
int32_t QV_CALL QV_PLAY2_RemoveViewport(PLAY2_HANDLE hPlay, DWORD dwID);
/* Copies the viewport whose identifier is dwID; PLAY_E_INVALID_VALUE when the
   player has none with it. */
int32_t QV_CALL QV_PLAY2_GetViewport(PLAY2_HANDLE hPlay, DWORD dwID, struct tagPLAY_VIEWPORT *pViewport);
int32_t QV_CALL QV_PLAY2_SnapshotToMemory(PLAY2_HANDLE hPlay, struct tagPLAY_SNAPSHOT *pSnapshot);
int32_t QV_CALL QV_PLAY2_SnapshotToBmpFileW(PLAY2_HANDLE hPlay, const QV_WCHAR *szFileName);
int32_t QV_CALL QV_PLAY2_SnapshotToBmpFileA(PLAY2_HANDLE hPlay, const char *szFileName);

/* Stream input and decoding on demand. */
int32_t QV_CALL QV_PLAY2_InputData(PLAY2_HANDLE hPlay, const BYTE *pData, DWORD dwSize);
int32_t QV_CALL QV_PLAY2_GetDecodeFrame(PLAY2_HANDLE hPlay, DWORD dwPixelFormat,
                                        PLAY2_FRAME_INFO *pFrameInfo);
/* Zeroes the record once the player has taken the frame back. */
int32_t QV_CALL QV_PLAY2_FreeDecodeFrame(PLAY2_HANDLE hPlay, PLAY2_FRAME_INFO *pFrameInfo);

/* Seeking (file players, once the index is complete for time and index). */
int32_t QV_CALL QV_PLAY2_SeekByRatio(PLAY2_HANDLE hPlay, float fRatio);
int32_t QV_CALL QV_PLAY2_SeekByTime(PLAY2_HANDLE hPlay, DWORD dwMilliseconds);
int32_t QV_CALL QV_PLAY2_SeekByIndex(PLAY2_HANDLE hPlay, DWORD dwIndex);
/* Pause, then step one video frame forward or back (index 0 stays 0). */
int32_t QV_CALL QV_PLAY2_SeekNextIndex(PLAY2_HANDLE hPlay);
int32_t QV_CALL QV_PLAY2_SeekPreviousIndex(PLAY2_HANDLE hPlay);

/* Callback registration; a null function clears the registration. Only
   players opened by this family's open functions take registrations (their
   extension block is a PLAY2_EXTENSION); others answer PLAY_E_NOT_SUPPORTED.
   A registration the player refuses leaves the previous one in place. */
int32_t QV_CALL QV_PLAY2_RegisterFileIndexCompletedCallback(PLAY2_HANDLE hPlay,
                                                            PLAY2_FILE_INDEX_COMPLETED_CALLBACK pfn,
                                                            void *pContext);
int32_t QV_CALL QV_PLAY2_RegisterFileEndedCallback(PLAY2_HANDLE hPlay, PLAY2_FILE_ENDED_CALLBACK pfn,
                                                   void *pContext);
/* dwThreshold: 0 to 150 queued frames. */
int32_t QV_CALL QV_PLAY2_RegisterBufferAlmostEmptyCallback(PLAY2_HANDLE hPlay, DWORD dwThreshold,
                                                           PLAY2_BUFFER_ALMOST_EMPTY_CALLBACK pfn,
                                                           void *pContext);
int32_t QV_CALL QV_PLAY2_RegisterStreamParseCallback(PLAY2_HANDLE hPlay, PLAY2_STREAM_PARSE_CALLBACK pfn,
                                                     void *pContext);
int32_t QV_CALL QV_PLAY2_RegisterDecodeCallback(PLAY2_HANDLE hPlay, DWORD dwPixelFormat,
                                                PLAY2_DECODE_CALLBACK pfn, void *pContext);
int32_t QV_CALL QV_PLAY2_RegisterDcRenderCallback(PLAY2_HANDLE hPlay, PLAY2_DC_RENDER_CALLBACK pfn,
                                                  void *pContext);

QV_END_DECLS

#endif /* QVPLAY2_H */
