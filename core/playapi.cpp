// The checks and dispatch behind the exported Play_* functions. Each
// function that takes a handle first acquires it (a reference held for the
// call), then checks its arguments in a fixed order, then calls the player's
// operation.
#include "core/playapi.h"

#include <cstring>

#include "core/baseplaymode.h"
#include "core/player.h"
#include "core/playerfactory.h"
#include "qvdisplay.h"

namespace {

// Runs body with the acquired player, or answers an invalid handle. The
// reference is dropped on every way out, exceptions included.
template <class F> int32_t WithPlayer(PLAY_HANDLE hPlay, F &&body) {
    CPlayerRef player(hPlay);
    if (!player)
        return PLAY_E_INVALID_HANDLE;
    return body(player.Get());
}

uint32_t FirstField(const void *pRecord) {
    uint32_t v;
    std::memcpy(&v, pRecord, sizeof(v));
    return v;
}

// An attribute read through the player's own operation, as the seek checks
// require.
int32_t ReadAttribute(CBasePlayMode *pPlayer, uint32_t dwCode, uint32_t *pdwValue) {
    uint32_t dwSize = sizeof(*pdwValue);
    return pPlayer->GetAttribute(dwCode, pdwValue, &dwSize);
}

} // namespace

int32_t PlayApi_CreateW(PLAY_HANDLE *phPlay, const PLAY_CREATE_PARAM *pParam) {
    if (phPlay == nullptr || pParam == nullptr)
        return PLAY_E_NULL_POINTER;
    if (pParam->dwSize != PLAY_CREATE_PARAM_SIZE)
        return PLAY_E_BAD_SIZE;
    // Any later failure leaves a null handle.
    *phPlay = nullptr;
    CBasePlayMode *pPlayer = nullptr;
    const int32_t nResult = CreatePlayer(pParam, &pPlayer);
    if (nResult < 0 || pPlayer == nullptr)
        return nResult < 0 ? nResult : PLAY_E_FAIL;
    *phPlay = pPlayer->Handle();
    return nResult;
}

int32_t PlayApi_Release(PLAY_HANDLE hPlay) {
    return ReleasePlayer(hPlay);
}

int32_t PlayApi_GetExtension(PLAY_HANDLE hPlay, void **ppExtension) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (ppExtension == nullptr)
            return PLAY_E_NULL_POINTER;
        return pPlayer->GetExtension(ppExtension);
    });
}

int32_t PlayApi_SetControl(PLAY_HANDLE hPlay, uint32_t dwCode, const void *pValue, uint32_t dwSize) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (dwCode < PLAY_CONTROL_FIRST || dwCode > PLAY_CONTROL_LAST)
            return PLAY_E_INVALID_VALUE;
        if (pValue == nullptr)
            return PLAY_E_NULL_POINTER;
        return pPlayer->SetControl(dwCode, pValue, dwSize);
    });
}

int32_t PlayApi_GetAttribute(PLAY_HANDLE hPlay, uint32_t dwCode, void *pBuffer, uint32_t *pdwSize) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (dwCode < PLAY_ATTRIBUTE_FIRST || dwCode > PLAY_ATTRIBUTE_LAST)
            return PLAY_E_INVALID_VALUE;
        if (pBuffer == nullptr || pdwSize == nullptr)
            return PLAY_E_NULL_POINTER;
        return pPlayer->GetAttribute(dwCode, pBuffer, pdwSize);
    });
}

int32_t PlayApi_AddViewport(PLAY_HANDLE hPlay, const PLAY_VIEWPORT *pViewport) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (pViewport == nullptr)
            return PLAY_E_NULL_POINTER;
        if (FirstField(pViewport) != PLAY_VIEWPORT_SIZE)
            return PLAY_E_BAD_SIZE;
        return pPlayer->AddViewport(pViewport);
    });
}

int32_t PlayApi_RemoveViewport(PLAY_HANDLE hPlay, uint32_t dwID) {
    return WithPlayer(hPlay,
                      [&](CBasePlayMode *pPlayer) -> int32_t { return pPlayer->RemoveViewport(dwID); });
}

int32_t PlayApi_GetViewport(PLAY_HANDLE hPlay, PLAY_VIEWPORT *pViewports, uint32_t *pdwCount) {
    return WithPlayer(
        hPlay, [&](CBasePlayMode *pPlayer) -> int32_t { return pPlayer->GetViewport(pViewports, pdwCount); });
}

int32_t PlayApi_SnapPicture(PLAY_HANDLE hPlay, PLAY_SNAPSHOT *pSnapshot) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (pSnapshot == nullptr)
            return PLAY_E_NULL_POINTER;
        if (FirstField(pSnapshot) != PLAY_SNAPSHOT_SIZE)
            return PLAY_E_BAD_SIZE;
        return pPlayer->SnapPicture(pSnapshot);
    });
}

int32_t PlayApi_InputData(PLAY_HANDLE hPlay, const void *pData, uint32_t dwLength) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (pData == nullptr)
            return PLAY_E_NULL_POINTER;
        if (dwLength == 0 || dwLength > PLAY_INPUT_DATA_MAX)
            return PLAY_E_INVALID_VALUE;
        return pPlayer->InputData(pData, dwLength);
    });
}

int32_t PlayApi_GetDecodeFrame(PLAY_HANDLE hPlay, uint32_t dwPixelFormat, PLAY_FRAME **ppFrame) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (!CBasePlayMode::IsAcceptedPixelFormat(dwPixelFormat))
            return PLAY_E_BAD_PIXEL_FORMAT;
        if (ppFrame == nullptr)
            return PLAY_E_NULL_POINTER;
        return pPlayer->GetDecodeFrame(dwPixelFormat, ppFrame);
    });
}

int32_t PlayApi_FreeDecodeFrame(PLAY_HANDLE hPlay, PLAY_FRAME *pFrame) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (pFrame == nullptr)
            return PLAY_E_NULL_POINTER;
        return pPlayer->FreeDecodeFrame(pFrame);
    });
}

int32_t PlayApi_Seek(PLAY_HANDLE hPlay, uint32_t dwKind, const void *pValue, uint32_t dwSize) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (pValue == nullptr)
            return PLAY_E_NULL_POINTER;
        uint32_t dwMode = 0;
        int32_t nResult = ReadAttribute(pPlayer, PLAY_ATTRIBUTE_MODE, &dwMode);
        if (nResult < 0)
            return nResult;
        if (dwMode != PLAY_MODE_FILE)
            return PLAY_E_NOT_SUPPORTED;
        uint32_t dwIndexCompleted = 0;
        nResult = ReadAttribute(pPlayer, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED, &dwIndexCompleted);
        if (nResult < 0)
            return nResult;
        switch (dwKind) {
        case PLAY_SEEK_RATIO: {
            uint32_t dwBackward = 0;
            nResult = ReadAttribute(pPlayer, PLAY_ATTRIBUTE_PLAY_BACKWARD, &dwBackward);
            if (nResult < 0)
                return nResult;
            if (dwSize < 4)
                return PLAY_E_BAD_SIZE;
            float fRatio;
            std::memcpy(&fRatio, pValue, sizeof(fRatio));
            if (!(fRatio >= 0.0f && fRatio < 1.0f))
                return PLAY_E_INVALID_VALUE;
            if (dwBackward != 0 && dwIndexCompleted == 0)
                return PLAY_E_INDEX_NOT_READY;
            break;
        }
        case PLAY_SEEK_TIME: {
            uint32_t dwDuration = 0;
            nResult = ReadAttribute(pPlayer, PLAY_ATTRIBUTE_FILE_DURATION, &dwDuration);
            if (nResult < 0)
                return nResult;
            if (dwSize < 4)
                return PLAY_E_BAD_SIZE;
            if (dwIndexCompleted == 0)
                return PLAY_E_INDEX_NOT_READY;
            if (FirstField(pValue) > dwDuration)
                return PLAY_E_INVALID_VALUE;
            break;
        }
        case PLAY_SEEK_INDEX: {
            uint32_t dwCount = 0;
            nResult = ReadAttribute(pPlayer, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT, &dwCount);
            if (nResult < 0)
                return nResult;
            if (dwSize < 4)
                return PLAY_E_BAD_SIZE;
            if (dwIndexCompleted == 0)
                return PLAY_E_INDEX_NOT_READY;
            if (FirstField(pValue) >= dwCount)
                return PLAY_E_INVALID_VALUE;
            break;
        }
        default:
            return PLAY_E_NOT_SUPPORTED;
        }
        return pPlayer->Seek(dwKind, pValue, dwSize);
    });
}

int32_t PlayApi_RegisterCallbackFunction(PLAY_HANDLE hPlay, uint32_t dwKind,
                                         const PLAY_CALLBACK_PARAM *pParam, uint32_t dwSize) {
    return WithPlayer(hPlay, [&](CBasePlayMode *pPlayer) -> int32_t {
        if (dwKind < PLAY_CALLBACK_FIRST || dwKind > PLAY_CALLBACK_LAST)
            return PLAY_E_INVALID_VALUE;
        return pPlayer->RegisterCallbackFunction(dwKind, pParam, dwSize);
    });
}

int32_t PlayApi_GetVersion(PLAY_VERSION *pVersion) {
    if (pVersion == nullptr)
        return PLAY_E_NULL_POINTER;
    pVersion->dwVersion = PLAY_VERSION_NUMBER;
    pVersion->dwBuild = PLAY_VERSION_BUILD;
    return PLAY_OK;
}
