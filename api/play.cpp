// The core API. Every exported function catches at its boundary (guard.h);
// the checks and the dispatch to the player are in core/playapi.cpp.
#include "api/guard.h"
#include "core/playapi.h"
#include "qvplay.h"

using api::GuardedCode;

QV_EXTERN_C int32_t QV_CALL Play_CreateW(PLAY_HANDLE *phPlay, const PLAY_CREATE_PARAM *pParam) {
    return GuardedCode([&] { return PlayApi_CreateW(phPlay, pParam); });
}

QV_EXTERN_C int32_t QV_CALL Play_Release(PLAY_HANDLE hPlay) {
    return GuardedCode([&] { return PlayApi_Release(hPlay); });
}

QV_EXTERN_C int32_t QV_CALL Play_GetExtension(PLAY_HANDLE hPlay, void **ppExtension) {
    return GuardedCode([&] { return PlayApi_GetExtension(hPlay, ppExtension); });
}

QV_EXTERN_C int32_t QV_CALL Play_SetControl(PLAY_HANDLE hPlay, uint32_t dwCode, const void *pValue,
                                            uint32_t dwSize) {
    return GuardedCode([&] { return PlayApi_SetControl(hPlay, dwCode, pValue, dwSize); });
}

QV_EXTERN_C int32_t QV_CALL Play_GetAttribute(PLAY_HANDLE hPlay, uint32_t dwCode, void *pBuffer,
                                              uint32_t *pdwSize) {
    return GuardedCode([&] { return PlayApi_GetAttribute(hPlay, dwCode, pBuffer, pdwSize); });
}

QV_EXTERN_C int32_t QV_CALL Play_AddViewport(PLAY_HANDLE hPlay, const PLAY_VIEWPORT *pViewport) {
    return GuardedCode([&] { return PlayApi_AddViewport(hPlay, pViewport); });
}

QV_EXTERN_C int32_t QV_CALL Play_RemoveViewport(PLAY_HANDLE hPlay, uint32_t dwID) {
    return GuardedCode([&] { return PlayApi_RemoveViewport(hPlay, dwID); });
}

QV_EXTERN_C int32_t QV_CALL Play_GetViewport(PLAY_HANDLE hPlay, PLAY_VIEWPORT *pViewports,
                                             uint32_t *pdwCount) {
    return GuardedCode([&] { return PlayApi_GetViewport(hPlay, pViewports, pdwCount); });
}

QV_EXTERN_C int32_t QV_CALL Play_SnapPicture(PLAY_HANDLE hPlay, PLAY_SNAPSHOT *pSnapshot) {
    return GuardedCode([&] { return PlayApi_SnapPicture(hPlay, pSnapshot); });
}

QV_EXTERN_C int32_t QV_CALL Play_InputData(PLAY_HANDLE hPlay, const void *pData, uint32_t dwLength) {
    return GuardedCode([&] { return PlayApi_InputData(hPlay, pData, dwLength); });
}

QV_EXTERN_C int32_t QV_CALL Play_GetDecodeFrame(PLAY_HANDLE hPlay, uint32_t dwPixelFormat,
                                                PLAY_FRAME **ppFrame) {
    return GuardedCode([&] { return PlayApi_GetDecodeFrame(hPlay, dwPixelFormat, ppFrame); });
}

QV_EXTERN_C int32_t QV_CALL Play_FreeDecodeFrame(PLAY_HANDLE hPlay, PLAY_FRAME *pFrame) {
    return GuardedCode([&] { return PlayApi_FreeDecodeFrame(hPlay, pFrame); });
}

QV_EXTERN_C int32_t QV_CALL Play_Seek(PLAY_HANDLE hPlay, uint32_t dwKind, const void *pValue,
                                      uint32_t dwSize) {
    return GuardedCode([&] { return PlayApi_Seek(hPlay, dwKind, pValue, dwSize); });
}

QV_EXTERN_C int32_t QV_CALL Play_RegisterCallbackFunction(PLAY_HANDLE hPlay, uint32_t dwKind,
                                                          const PLAY_CALLBACK_PARAM *pParam,
                                                          uint32_t dwSize) {
    return GuardedCode([&] { return PlayApi_RegisterCallbackFunction(hPlay, dwKind, pParam, dwSize); });
}

QV_EXTERN_C int32_t QV_CALL Play_GetVersion(PLAY_VERSION *pVersion) {
    return GuardedCode([&] { return PlayApi_GetVersion(pVersion); });
}
