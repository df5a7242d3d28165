/*
 * QVPlaySDK PlayM4 and instance front ends.
 *
 * QV_PlayM4_* gives clients written against an older interface its names and
 * argument orders over the port-numbered family (qvplayport.h); results are
 * the same booleans and values.
 *
 * The unprefixed instance functions serve clients that push a live stream
 * into an opaque instance. Each instance is one of QV_INSTANCE_MAX slots; the
 * slot's index is the port used underneath. Results are QV_INSTANCE_OK or a
 * small negative QV_INSTANCE_E_* code.
 */
#ifndef QVPLAYM4_H
#define QVPLAYM4_H

#include "qvplayport.h"

/* What QV_PlayM4_GetFileHeadLength answers: the size of the container file
   head (QV_PLAY_GetFileHead). */
#define QV_PLAYM4_FILE_HEAD_LENGTH 64

/* An instance handle: the address of the slot's handle word. GetInstance
   returns QV_INSTANCE_INVALID when no slot is free. */
typedef void *QV_INSTANCE;
#define QV_INSTANCE_INVALID ((QV_INSTANCE)(intptr_t)-1)

/* Number of instance slots. */
#define QV_INSTANCE_MAX 128

/* The first buffer given to InsertBuffer after Start begins with the stream's
   header block of this many bytes. */
#define QV_INSTANCE_HEADER_SIZE 64

/* Results of the instance functions; QV_INSTANCE_E_NO_FREE is only reported
   by GetDecoderError. */
#define QV_INSTANCE_OK 0
#define QV_INSTANCE_E_FAIL (-1)        /* the underlying port call failed */
#define QV_INSTANCE_E_NO_FREE (-10)    /* GetInstance found no free slot */
#define QV_INSTANCE_E_BAD_HANDLE (-11) /* the handle is not an instance */
#define QV_INSTANCE_E_INPUT (-12)      /* the data could not be input */

/* SetDecCBStream: which frames reach the decode callback. */
#define QV_INSTANCE_STREAM_NONE 0
#define QV_INSTANCE_STREAM_VIDEO 1
#define QV_INSTANCE_STREAM_AUDIO 2
#define QV_INSTANCE_STREAM_BOTH 3

/* FRAME_INFO.nType as the instance decode callback sees it; other picture
   layouts keep their pixel format value. */
#define QV_INSTANCE_TYPE_YUY2 1
#define QV_INSTANCE_TYPE_I420 3
#define QV_INSTANCE_TYPE_AUDIO16 100

/* The instance decode callback: as the port family's, with the instance
   handle in place of the port. */
typedef void(QV_CALL *QV_INSTANCE_DECODE_CALLBACK)(QV_INSTANCE hInstance, const BYTE *pData, LONG nSize,
                                                   const FRAME_INFO *pFrameInfo, void *pUser,
                                                   const FRAME_TIME *pFrameTime);

QV_BEGIN_DECLS

/* PlayM4 names over the port family. */
BOOL QV_CALL QV_PlayM4_OpenFile(LONG nPort, const char *szFileName);
BOOL QV_CALL QV_PlayM4_OpenStream(LONG nPort, const BYTE *pHeader, DWORD dwHeaderSize, DWORD dwPoolSize);
BOOL QV_CALL QV_PlayM4_CloseFile(LONG nPort);
BOOL QV_CALL QV_PlayM4_CloseStream(LONG nPort);
/* nMode 0 or 1; any other mode fails. */
BOOL QV_CALL QV_PlayM4_SetStreamOpenMode(LONG nPort, LONG nMode);
DWORD QV_CALL QV_PlayM4_GetFileHeadLength(void);
BOOL QV_CALL QV_PlayM4_Play(LONG nPort, HWND hWnd);
/* bPause zero resumes forward play at speed 1.0. */
BOOL QV_CALL QV_PlayM4_Pause(LONG nPort, BOOL bPause);
BOOL QV_CALL QV_PlayM4_Stop(LONG nPort);
BOOL QV_CALL QV_PlayM4_ResetSourceBuffer(LONG nPort);
BOOL QV_CALL QV_PlayM4_Fast(LONG nPort);
BOOL QV_CALL QV_PlayM4_Slow(LONG nPort);
BOOL QV_CALL QV_PlayM4_OneByOne(LONG nPort);
BOOL QV_CALL QV_PlayM4_InputData(LONG nPort, const BYTE *pData, DWORD dwSize);
BOOL QV_CALL QV_PlayM4_SetPlayPos(LONG nPort, float fRatio);
float QV_CALL QV_PlayM4_GetPlayPos(LONG nPort);
/* These two wait (up to about 15 seconds) while the value is still 0, as it
   is until the file index has got far enough. */
DWORD QV_CALL QV_PlayM4_GetFileTime(LONG nPort);
DWORD QV_CALL QV_PlayM4_GetFileTotalFrames(LONG nPort);
DWORD QV_CALL QV_PlayM4_GetPlayedTime(LONG nPort); /* milliseconds */
DWORD QV_CALL QV_PlayM4_GetPlayedFrames(LONG nPort);
DWORD QV_CALL QV_PlayM4_GetCurrentFrameRate(LONG nPort);
BOOL QV_CALL QV_PlayM4_GetPictureSize(LONG nPort, LONG *pnWidth, LONG *pnHeight);
BOOL QV_CALL QV_PlayM4_SetVolume(LONG nPort, WORD wVolume);
WORD QV_CALL QV_PlayM4_GetVolume(LONG nPort);
BOOL QV_CALL QV_PlayM4_PlaySoundShare(LONG nPort);
BOOL QV_CALL QV_PlayM4_StopSoundShare(LONG nPort);
BOOL QV_CALL QV_PlayM4_SetColor(LONG nPort, DWORD dwRegion, LONG nBrightness, LONG nContrast,
                                LONG nSaturation, LONG nHue);
BOOL QV_CALL QV_PlayM4_GetColor(LONG nPort, DWORD dwRegion, LONG *pnBrightness, LONG *pnContrast,
                                LONG *pnSaturation, LONG *pnHue);
BOOL QV_CALL QV_PlayM4_SetDisplayRegion(LONG nPort, DWORD dwRegion, const RECT *pSrcRect, HWND hWnd,
                                        BOOL bEnable);
BOOL QV_CALL QV_PlayM4_RigisterDrawFun(LONG nPort, QV_PLAY_DRAW_CALLBACK pfn, void *pUser);
BOOL QV_CALL QV_PlayM4_SetFileEndMsg(LONG nPort, HWND hWnd, UINT nMsg);
BOOL QV_CALL QV_PlayM4_CatchPic(LONG nPort, const char *szFileName);

/* Kept for compatibility with older clients: they do nothing and return 0. */
BOOL QV_CALL QV_PlayM4_PlaySound(LONG nPort);
BOOL QV_CALL QV_PlayM4_RefreshPlay(LONG nPort);
BOOL QV_CALL QV_PlayM4_RefreshPlayEx(LONG nPort, DWORD dwRegion);
BOOL QV_CALL QV_PlayM4_FreePort(LONG nPort);
BOOL QV_CALL QV_PlayM4_GetPort(LONG *pnPort);
BOOL QV_CALL QV_PlayM4_StopSound(void);
COLORREF QV_CALL QV_PlayM4_GetColorKey(LONG nPort);
DWORD QV_CALL QV_PlayM4_GetLastError(LONG nPort);
DWORD QV_CALL QV_PlayM4_GetSourceBufferRemain(LONG nPort);
BOOL QV_CALL QV_PlayM4_GetPictureQuality(LONG nPort, BOOL *pbHighQuality);
BOOL QV_CALL QV_PlayM4_SetPicQuality(LONG nPort, BOOL bHighQuality);

/* Instance family. */
QV_INSTANCE QV_CALL GetInstance(void);
/* Frees the slot; the stream is not closed here: call Stop first. */
LONG QV_CALL ReleaseInstance(QV_INSTANCE hInstance);
/* Remembers the video window; nValue is kept but not used. */
LONG QV_CALL Start(QV_INSTANCE hInstance, HWND hWnd, LONG nValue);
LONG QV_CALL Stop(QV_INSTANCE hInstance);
/* The first call after Start opens the stream from the buffer's first
   QV_INSTANCE_HEADER_SIZE bytes and starts playing in the Start window. */
LONG QV_CALL InsertBuffer(QV_INSTANCE hInstance, const BYTE *pData, DWORD dwSize);
LONG QV_CALL StartAudio(QV_INSTANCE hInstance);
LONG QV_CALL StopAudio(QV_INSTANCE hInstance);
LONG QV_CALL SetAudioVolume(QV_INSTANCE hInstance, LONG nPercent); /* 0 to 100 */
LONG QV_CALL GetAudioVolume(QV_INSTANCE hInstance, LONG *pnVolume);
LONG QV_CALL RefreshImage(QV_INSTANCE hInstance);
LONG QV_CALL CaptureBmpFile(QV_INSTANCE hInstance, const char *szFileName);
LONG QV_CALL GetFrameRate(QV_INSTANCE hInstance, LONG *pnFrameRate);
LONG QV_CALL GetBitRate(QV_INSTANCE hInstance, LONG *pnKbps);
LONG QV_CALL GetTotalFrames(QV_INSTANCE hInstance, LONG *pnFrames);  /* frames played so far */
LONG QV_CALL SetDecCBStream(QV_INSTANCE hInstance, LONG nSelection); /* QV_INSTANCE_STREAM_* */
/* One client function serves every instance; the latest registration wins. */
LONG QV_CALL SetDecCallBack(QV_INSTANCE hInstance, QV_INSTANCE_DECODE_CALLBACK pfn, void *pUser);
LONG QV_CALL GetDecoderError(void);

QV_END_DECLS

#endif /* QVPLAYM4_H */
