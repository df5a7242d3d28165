// The PlayM4 names over the port family: forwarders, with the few waits and
// argument reorderings older clients expect. Nothing here allocates or
// throws; the port functions guard themselves.
#include "platform/thread.h"
#include "qvplaym4.h"

namespace {

// The file's duration and frame count are 0 until the index has got far
// enough: wait for them, 15 ms at a time for about 15 seconds.
template <class F> DWORD WaitForValue(F read) {
    for (int i = 0; i < 1001; ++i) {
        if (read() != 0)
            break;
        platform::SleepMs(15);
    }
    return read();
}

} // namespace

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_OpenFile(LONG nPort, const char *szFileName) {
    return QV_PLAY_OpenFile(nPort, szFileName);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_OpenStream(LONG nPort, const BYTE *pHeader, DWORD dwHeaderSize,
                                              DWORD dwPoolSize) {
    return QV_PLAY_OpenStream(nPort, pHeader, dwHeaderSize, dwPoolSize);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_CloseFile(LONG nPort) {
    return QV_PLAY_CloseFile(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_CloseStream(LONG nPort) {
    return QV_PLAY_CloseFile(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetStreamOpenMode(LONG nPort, LONG nMode) {
    if (nMode == 1)
        return QV_PLAY_SetStreamOpenMode(nPort, 2);
    if (nMode == 0)
        return QV_PLAY_SetStreamOpenMode(nPort, 1);
    return FALSE;
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetFileHeadLength(void) {
    return QV_PLAYM4_FILE_HEAD_LENGTH;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_Play(LONG nPort, HWND hWnd) {
    return QV_PLAY_Play(nPort, hWnd);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_Pause(LONG nPort, BOOL bPause) {
    // Resuming is playing again without a window, which also restores speed 1.
    return bPause ? QV_PLAY_Pause(nPort) : QV_PLAY_Play(nPort, 0);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_Stop(LONG nPort) {
    return QV_PLAY_Stop(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_ResetSourceBuffer(LONG nPort) {
    return QV_PLAY_Stop(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_Fast(LONG nPort) {
    return QV_PLAY_Fast(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_Slow(LONG nPort) {
    return QV_PLAY_Slow(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_OneByOne(LONG nPort) {
    return QV_PLAY_OneByOne(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_InputData(LONG nPort, const BYTE *pData, DWORD dwSize) {
    return QV_PLAY_InputData(nPort, pData, dwSize, 0);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetPlayPos(LONG nPort, float fRatio) {
    return QV_PLAY_SetPlayPos(nPort, fRatio);
}

QV_EXTERN_C float QV_CALL QV_PlayM4_GetPlayPos(LONG nPort) {
    return QV_PLAY_GetPlayPos(nPort);
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetFileTime(LONG nPort) {
    return WaitForValue([nPort] { return QV_PLAY_GetFileTime(nPort); });
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetFileTotalFrames(LONG nPort) {
    return WaitForValue([nPort] { return QV_PLAY_GetFileTotalFrames(nPort); });
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetPlayedTime(LONG nPort) {
    return QV_PLAY_GetPlayedTimeEx(nPort);
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetPlayedFrames(LONG nPort) {
    return QV_PLAY_GetPlayedFrames(nPort);
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetCurrentFrameRate(LONG nPort) {
    return QV_PLAY_GetCurrentFrameRate(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_GetPictureSize(LONG nPort, LONG *pnWidth, LONG *pnHeight) {
    return QV_PLAY_GetPictureSize(nPort, pnWidth, pnHeight);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetVolume(LONG nPort, WORD wVolume) {
    return QV_PLAY_SetVolume(nPort, wVolume);
}

QV_EXTERN_C WORD QV_CALL QV_PlayM4_GetVolume(LONG nPort) {
    return QV_PLAY_GetVolume(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_PlaySoundShare(LONG nPort) {
    return QV_PLAY_OpenSound(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_StopSoundShare(LONG nPort) {
    return QV_PLAY_CloseSound(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetColor(LONG nPort, DWORD dwRegion, LONG nBrightness, LONG nContrast,
                                            LONG nSaturation, LONG nHue) {
    return QV_PLAY_SetVideoColor(nPort, nBrightness, nContrast, nSaturation, nHue, LONG(dwRegion));
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_GetColor(LONG nPort, DWORD dwRegion, LONG *pnBrightness, LONG *pnContrast,
                                            LONG *pnSaturation, LONG *pnHue) {
    return QV_PLAY_GetVideoColor(nPort, pnBrightness, pnContrast, pnSaturation, pnHue, LONG(dwRegion));
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetDisplayRegion(LONG nPort, DWORD dwRegion, const RECT *pSrcRect,
                                                    HWND hWnd, BOOL bEnable) {
    return QV_PLAY_SetDisplayRegion(nPort, dwRegion, pSrcRect, hWnd, bEnable);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_RigisterDrawFun(LONG nPort, QV_PLAY_DRAW_CALLBACK pfn, void *pUser) {
    return QV_PLAY_RegisterDrawDCFun(nPort, pfn, pUser);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetFileEndMsg(LONG nPort, HWND hWnd, UINT nMsg) {
    return QV_PLAY_SetFileEndMsg(nPort, hWnd, nMsg);
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_CatchPic(LONG nPort, const char *szFileName) {
    return QV_PLAY_SnapshotA(nPort, szFileName);
}

// Kept for older clients: nothing to do, and 0 as those clients know it.
QV_EXTERN_C BOOL QV_CALL QV_PlayM4_PlaySound(LONG) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_RefreshPlay(LONG) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_RefreshPlayEx(LONG, DWORD) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_FreePort(LONG) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_GetPort(LONG *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_StopSound(void) {
    return 0;
}

QV_EXTERN_C COLORREF QV_CALL QV_PlayM4_GetColorKey(LONG) {
    return 0;
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetLastError(LONG) {
    return 0;
}

QV_EXTERN_C DWORD QV_CALL QV_PlayM4_GetSourceBufferRemain(LONG) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_GetPictureQuality(LONG, BOOL *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PlayM4_SetPicQuality(LONG, BOOL) {
    return 0;
}
