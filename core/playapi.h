// The checks and dispatch of the core API, one function per exported Play_*
// function with the same arguments and results. The exported functions add
// only the exception boundary (api/play.cpp).
#pragma once

#include <cstdint>

#include "qvdisplay.h"
#include "qvplay.h"

int32_t PlayApi_CreateW(PLAY_HANDLE *phPlay, const PLAY_CREATE_PARAM *pParam);
int32_t PlayApi_Release(PLAY_HANDLE hPlay);
int32_t PlayApi_GetExtension(PLAY_HANDLE hPlay, void **ppExtension);
int32_t PlayApi_SetControl(PLAY_HANDLE hPlay, uint32_t dwCode, const void *pValue, uint32_t dwSize);
int32_t PlayApi_GetAttribute(PLAY_HANDLE hPlay, uint32_t dwCode, void *pBuffer, uint32_t *pdwSize);
int32_t PlayApi_AddViewport(PLAY_HANDLE hPlay, const PLAY_VIEWPORT *pViewport);
int32_t PlayApi_RemoveViewport(PLAY_HANDLE hPlay, uint32_t dwID);
int32_t PlayApi_GetViewport(PLAY_HANDLE hPlay, PLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
int32_t PlayApi_SnapPicture(PLAY_HANDLE hPlay, PLAY_SNAPSHOT *pSnapshot);
int32_t PlayApi_InputData(PLAY_HANDLE hPlay, const void *pData, uint32_t dwLength);
int32_t PlayApi_GetDecodeFrame(PLAY_HANDLE hPlay, uint32_t dwPixelFormat, PLAY_FRAME **ppFrame);
int32_t PlayApi_FreeDecodeFrame(PLAY_HANDLE hPlay, PLAY_FRAME *pFrame);
int32_t PlayApi_Seek(PLAY_HANDLE hPlay, uint32_t dwKind, const void *pValue, uint32_t dwSize);
int32_t PlayApi_RegisterCallbackFunction(PLAY_HANDLE hPlay, uint32_t dwKind,
                                         const PLAY_CALLBACK_PARAM *pParam, uint32_t dwSize);
int32_t PlayApi_GetVersion(PLAY_VERSION *pVersion);
