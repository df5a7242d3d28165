// The port-numbered family: each port maps to one core player through the
// port table (porttable.h). Functions answer 1 or 0 (or the value asked
// for, 0 on any failure); the core's result codes are not passed on.
#include <cmath>
#include <cstring>
#include <utility>

#include "api/ansipath.h"
#include "api/guard.h"
#include "api/porttable.h"
#include "api/snapshotfile.h"
#include "display/windowsystem.h"
#include "platform/system.h"
#include "qvdisplay.h"
#include "qvplay.h"
#include "qvplayport.h"

using api::ClientCallback;
using api::CPortEntry;
using api::CPortRef;
using api::CPortTable;
using api::GuardedValue;

namespace {

// ---- Core calls ----

bool Ok(int32_t nResult) {
    return nResult >= 0;
}

bool SetU32(PLAY_HANDLE h, uint32_t dwCode, uint32_t dwValue) {
    return Ok(Play_SetControl(h, dwCode, &dwValue, sizeof(dwValue)));
}

bool SetFloat(PLAY_HANDLE h, uint32_t dwCode, float fValue) {
    return Ok(Play_SetControl(h, dwCode, &fValue, sizeof(fValue)));
}

bool Action(PLAY_HANDLE h, uint32_t dwAction) {
    return SetU32(h, PLAY_CONTROL_ACTION, dwAction);
}

template <class T> bool Get(PLAY_HANDLE h, uint32_t dwCode, T *pValue) {
    uint32_t dwSize = sizeof(T);
    return Ok(Play_GetAttribute(h, dwCode, pValue, &dwSize));
}

// Read the enable flags, set and clear bits, write them back.
bool ChangeFlags(PLAY_HANDLE h, uint32_t dwSet, uint32_t dwClear) {
    uint32_t dwFlags = 0;
    if (!Get(h, PLAY_ATTRIBUTE_ENABLE, &dwFlags))
        return false;
    return SetU32(h, PLAY_CONTROL_ENABLE, (dwFlags | dwSet) & ~dwClear);
}

bool SeekU32(PLAY_HANDLE h, uint32_t dwKind, uint32_t dwValue) {
    return Ok(Play_Seek(h, dwKind, &dwValue, sizeof(dwValue)));
}

bool Register(PLAY_HANDLE h, uint32_t dwKind, PLAY_CALLBACK_FUNCTION pfn, void *pContext, uint32_t dwParam) {
    PLAY_CALLBACK_PARAM param{};
    param.pfnCallback = pfn;
    param.pContext = pfn != nullptr ? pContext : nullptr;
    param.dwParam = dwParam;
    return Ok(Play_RegisterCallbackFunction(h, dwKind, &param, PLAY_CALLBACK_PARAM_SIZE));
}

// Frames per second as the family reports them: rounded half up; 0 for a
// rate that is not a number or not positive.
LONG RoundedRate(float fRate) {
    if (!(fRate > 0.0f))
        return 0;
    if (fRate >= 2147483647.0f)
        return 2147483647;
    return static_cast<LONG>(fRate + 0.5f);
}

// The family's frame types from a picture format.
LONG TypeOfPicture(uint32_t dwFourCC) {
    if (dwFourCC == PLAY_PIXEL_FORMAT_I420)
        return QV_PLAY_TYPE_I420;
    if (dwFourCC == PLAY_PIXEL_FORMAT_YUY2)
        return QV_PLAY_TYPE_YUY2;
    return static_cast<LONG>(dwFourCC);
}

// The family's two type codes stand for their formats; anything else must be
// a format the core accepts. False for a format the core would refuse.
bool CorePixelFormat(uint32_t dwFormat, uint32_t *pdwCore) {
    if (dwFormat == QV_PLAY_TYPE_I420)
        dwFormat = PLAY_PIXEL_FORMAT_I420;
    else if (dwFormat == QV_PLAY_TYPE_YUY2)
        dwFormat = PLAY_PIXEL_FORMAT_YUY2;
    switch (dwFormat) {
    case PLAY_PIXEL_FORMAT_DEFAULT:
    case PLAY_PIXEL_FORMAT_UYVY:
    case PLAY_PIXEL_FORMAT_YUY2:
    case PLAY_PIXEL_FORMAT_YV12:
    case PLAY_PIXEL_FORMAT_I420:
    case PLAY_PIXEL_FORMAT_NV12:
    case PLAY_PIXEL_FORMAT_NV21:
    case PLAY_PIXEL_FORMAT_CODE2:
    case PLAY_PIXEL_FORMAT_CODE3:
        *pdwCore = dwFormat;
        return true;
    default:
        return false;
    }
}

bool IsVideoType(int32_t nType) {
    return nType >= DEMUX_FRAME_I && nType <= DEMUX_FRAME_DROPPABLE;
}

FRAME_TIME FrameTimeOf(const SYSTEMTIME &st) {
    FRAME_TIME t;
    t.wYear = st.wYear;
    t.wMonth = st.wMonth;
    t.wDay = st.wDay;
    t.wHour = st.wHour;
    t.wMinute = st.wMinute;
    t.wSecond = st.wSecond;
    t.wMilliseconds = st.wMilliseconds;
    t.wDayOfWeek = st.wDayOfWeek;
    return t;
}

// ---- Port look-up ----

CPortRef Find(LONG nPort) {
    return CPortTable::Instance().Find(nPort);
}

// body(entry, player) on an open port; 0 for an unknown port or anything
// thrown.
template <class F> BOOL OnPort(LONG nPort, F &&body) {
    return GuardedValue<BOOL>(0, [&]() -> BOOL {
        CPortRef ref = Find(nPort);
        if (!ref)
            return 0;
        return body(*ref.Get(), ref->Player()) ? 1 : 0;
    });
}

// The same for the functions that answer a value.
template <class R, class F> R ValueOnPort(LONG nPort, R failure, F &&body) {
    return GuardedValue<R>(failure, [&]() -> R {
        CPortRef ref = Find(nPort);
        if (!ref)
            return failure;
        return body(*ref.Get(), ref->Player());
    });
}

template <class T> T AttributeOnPort(LONG nPort, uint32_t dwCode) {
    return ValueOnPort<T>(nPort, T(0), [&](CPortEntry &, PLAY_HANDLE h) {
        T value{};
        return Get(h, dwCode, &value) ? value : T(0);
    });
}

// ---- Adapters: core callbacks to the client's ----

int32_t QV_CALL FileEndAdapter(PLAY_HANDLE, void *pContext) {
    try {
        CPortEntry *pEntry = static_cast<CPortEntry *>(pContext);
        HWND hWnd = 0;
        UINT nMsg = 0;
        pEntry->GetFileEndTarget(&hWnd, &nMsg);
        const LONG nPort = pEntry->Port();
        display::PostWindowMessage(hWnd, nMsg, static_cast<uintptr_t>(nPort), static_cast<intptr_t>(nPort));
    } catch (...) {
    }
    return 0;
}

// Serves both QV_PLAY_SetIndexInfoCallBack and QV_PLAY_SetMsgWnd.
int32_t QV_CALL IndexAdapter(PLAY_HANDLE, void *pContext) {
    try {
        CPortEntry *pEntry = static_cast<CPortEntry *>(pContext);
        const LONG nPort = pEntry->Port();
        const ClientCallback<QV_PLAY_INDEX_CALLBACK> cb = pEntry->IndexCallback();
        if (cb.pfn != nullptr)
            cb.pfn(nPort, cb.pUser);
        const HWND hWnd = pEntry->IndexWindow();
        if (hWnd != 0 && display::IsWindowAlive(hWnd))
            display::PostWindowMessage(hWnd, QV_PLAY_MSG_INDEX_COMPLETED, 0, static_cast<intptr_t>(nPort));
    } catch (...) {
    }
    return 0;
}

int32_t QV_CALL DrawAdapter(PLAY_HANDLE, PLAY_DC_RENDER *pRender, void *pContext) {
    try {
        CPortEntry *pEntry = static_cast<CPortEntry *>(pContext);
        const ClientCallback<QV_PLAY_DRAW_CALLBACK> cb = pEntry->DrawCallback();
        if (cb.pfn != nullptr && pRender != nullptr)
            cb.pfn(pEntry->Port(), pRender->hDC, cb.pUser);
    } catch (...) {
    }
    return 0;
}

int32_t QV_CALL DecodeAdapter(PLAY_HANDLE h, PLAY_FRAME *pFrame, void *pContext) {
    try {
        CPortEntry *pEntry = static_cast<CPortEntry *>(pContext);
        const ClientCallback<QV_PLAY_DECODE_CALLBACK> cb = pEntry->DecodeCallback();
        if (cb.pfn == nullptr || pFrame == nullptr || pFrame->pFrame == nullptr)
            return 0;
        const FrameRecord &record = *pFrame->pFrame;
        const FRAME_TIME time = FrameTimeOf(record.stTime);
        FRAME_INFO info{};
        if (IsVideoType(record.nType)) {
            const DecodedPicture &picture = pFrame->output.picture;
            uint32_t dwPlayed = 0;
            float fRate = 0.0f;
            if (!Get(h, PLAY_ATTRIBUTE_PLAY_DURATION, &dwPlayed) ||
                !Get(h, PLAY_ATTRIBUTE_VIDEO_FRAME_RATE, &fRate))
                return 0;
            info.nWidth = static_cast<LONG>(picture.dwWidth);
            info.nHeight = static_cast<LONG>(picture.dwHeight);
            info.nStamp = static_cast<LONG>(dwPlayed);
            info.nType = TypeOfPicture(picture.dwFourCC);
            info.nFrameRate = RoundedRate(fRate);
            cb.pfn(pEntry->Port(), picture.pBuffer, static_cast<LONG>(picture.dwBufferSize), &info, cb.pUser,
                   &time);
        } else if (record.nType == DEMUX_FRAME_AUDIO) {
            const ADEC_OUTPUT &audio = pFrame->output.audio;
            info.nType = QV_PLAY_TYPE_AUDIO16;
            cb.pfn(pEntry->Port(), audio.pBuffer, static_cast<LONG>(audio.dwBufferSize), &info, cb.pUser,
                   &time);
        }
    } catch (...) {
    }
    return 0;
}

WORD ParseKindOf(const FrameRecord &record) {
    switch (record.nType) {
    case DEMUX_FRAME_I:
        return QV_PLAY_PARSE_VIDEO_KEY;
    case DEMUX_FRAME_P:
        return QV_PLAY_PARSE_VIDEO_P;
    case DEMUX_FRAME_OTHER_VIDEO:
        return QV_PLAY_PARSE_VIDEO_KIND4;
    case DEMUX_FRAME_DROPPABLE:
        return QV_PLAY_PARSE_VIDEO_DROPPABLE;
    default:
        break;
    }
    switch (record.dwCodec) {
    case DEMUX_CODEC_PCM8:
        return QV_PLAY_PARSE_AUDIO_PCM8;
    case DEMUX_CODEC_G722:
        return QV_PLAY_PARSE_AUDIO_G722;
    case DEMUX_CODEC_G726:
        return QV_PLAY_PARSE_AUDIO_G726;
    default:
        return QV_PLAY_PARSE_AUDIO_G711A;
    }
}

int32_t QV_CALL ParseAdapter(PLAY_HANDLE, FrameRecord *pRecord, void *pContext) {
    try {
        CPortEntry *pEntry = static_cast<CPortEntry *>(pContext);
        const ClientCallback<QV_PLAY_PARSE_CALLBACK> cb = pEntry->ParseCallback();
        if (cb.pfn == nullptr || pRecord == nullptr)
            return 0;
        if (pRecord->nType < DEMUX_FRAME_AUDIO || pRecord->nType > DEMUX_FRAME_DROPPABLE)
            return 0;
        PARSE_INFO info;
        std::memset(&info, 0, sizeof(info));
        info.wFrameKind = ParseKindOf(*pRecord);
        if (IsVideoType(pRecord->nType)) {
            info.dwSequence = pRecord->dwSequence;
            info.wWidth = pRecord->wWidth;
            info.wHeight = pRecord->wHeight;
            info.dwTimeStamp = pRecord->dwTimestamp;
            info.stTime = pRecord->stTime;
            info.ullFileOffset = pRecord->ullFileOffset;
        }
        info.dwHeaderLength = pRecord->dwHeaderLength;
        info.pHeader = pRecord->pHeader;
        info.dwPayloadLength = pRecord->dwPayloadLength;
        info.pPayload = pRecord->pPayload;
        cb.pfn(pEntry->Port(), &info, cb.pUser);
    } catch (...) {
    }
    return 0;
}

int32_t QV_CALL SourceBufferAdapter(PLAY_HANDLE, uint32_t dwQueued, void *pContext) {
    try {
        CPortEntry *pEntry = static_cast<CPortEntry *>(pContext);
        const ClientCallback<QV_PLAY_SOURCE_BUFFER_CALLBACK> cb = pEntry->SourceCallback();
        if (cb.pfn != nullptr)
            cb.pfn(pEntry->Port(), dwQueued, cb.pUser, nullptr);
    } catch (...) {
    }
    return 0;
}

template <class F> PLAY_CALLBACK_FUNCTION AsCallback(F pfn) {
    return reinterpret_cast<PLAY_CALLBACK_FUNCTION>(pfn);
}

// The index kind serves two registrations: whichever came last decides
// whether the adapter stays registered.
bool RegisterIndex(CPortEntry &entry, PLAY_HANDLE h, bool bOn) {
    return Register(h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, bOn ? AsCallback(IndexAdapter) : nullptr, &entry,
                    0);
}

// ---- Opening ----

// Creates the player of a freshly inserted entry; an entry whose player
// cannot be made leaves the table again, the port free.
bool OpenEntry(CPortRef ref, const PLAY_CREATE_PARAM &param) {
    if (!ref)
        return false;
    PLAY_HANDLE hPlayer = nullptr;
    if (!Ok(Play_CreateW(&hPlayer, &param)) || hPlayer == nullptr) {
        CPortTable::Instance().Remove(std::move(ref));
        return false;
    }
    ref->SetPlayer(hPlayer, param.dwType == PLAY_MODE_STREAM);
    return true;
}

PLAY_CREATE_PARAM FileParam(const QV_WCHAR *szFileName) {
    PLAY_CREATE_PARAM param{};
    param.dwSize = PLAY_CREATE_PARAM_SIZE;
    param.dwType = PLAY_MODE_FILE;
    param.pSource = szFileName;
    return param;
}

PLAY_CREATE_PARAM StreamParam(const BYTE *pHeader, DWORD dwHeaderSize) {
    PLAY_CREATE_PARAM param{};
    param.dwSize = PLAY_CREATE_PARAM_SIZE;
    param.dwType = PLAY_MODE_STREAM;
    param.pSource = pHeader;
    param.dwSourceSize = dwHeaderSize;
    return param;
}

BOOL OpenAtPort(LONG nPort, const PLAY_CREATE_PARAM &param) {
    return GuardedValue<BOOL>(
        0, [&]() -> BOOL { return OpenEntry(CPortTable::Instance().Insert(nPort), param) ? 1 : 0; });
}

LONG OpenAtFreePort(const PLAY_CREATE_PARAM &param) {
    return GuardedValue<LONG>(0, [&]() -> LONG {
        CPortRef ref = CPortTable::Instance().InsertAuto();
        if (!ref)
            return 0;
        const LONG nPort = ref->Port();
        return OpenEntry(std::move(ref), param) ? nPort : 0;
    });
}

// ANSI path to UTF-16, then the wide function; 0 when it cannot be
// converted.
template <class R, class F> R WithWidePath(const char *szPath, F &&wide) {
    return GuardedValue<R>(R(0), [&]() -> R {
        platform::WString path;
        if (api::AnsiPathToWide(szPath, path) != PLAY_OK)
            return R(0);
        return wide(path.c_str());
    });
}

// ---- Playing ----

bool AddViewport(PLAY_HANDLE h, uint32_t dwID, HWND hWnd, const RECT *pSrcRect) {
    PLAY_VIEWPORT viewport;
    std::memset(&viewport, 0, sizeof(viewport));
    viewport.dwSize = PLAY_VIEWPORT_SIZE;
    viewport.dwID = dwID;
    viewport.hDestWnd = hWnd;
    if (pSrcRect != nullptr)
        viewport.rcSrc = *pSrcRect;
    return Ok(Play_AddViewport(h, &viewport));
}

// Pause, read the frame index, seek to the index step frames away (never
// below 0).
bool StepFrame(PLAY_HANDLE h, bool bForward) {
    if (!Action(h, PLAY_ACTION_PAUSE))
        return false;
    uint32_t dwIndex = 0;
    if (!Get(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwIndex))
        return false;
    const uint32_t dwTarget = bForward ? dwIndex + 1 : (dwIndex > 0 ? dwIndex - 1 : 0);
    return SeekU32(h, PLAY_SEEK_INDEX, dwTarget);
}

bool SetSpeed(PLAY_HANDLE h, float fSpeed) {
    return SetFloat(h, PLAY_CONTROL_SPEED, fSpeed);
}

bool ScaleSpeed(PLAY_HANDLE h, bool bFaster) {
    float fSpeed = 0.0f;
    if (!Get(h, PLAY_ATTRIBUTE_SPEED, &fSpeed))
        return false;
    const float fNew =
        bFaster ? std::fmin(fSpeed * 2.0f, QV_PLAY_MAX_SPEED) : std::fmax(fSpeed / 2.0f, QV_PLAY_MIN_SPEED);
    return SetSpeed(h, fNew);
}

BOOL Input(LONG nPort, const BYTE *pData, DWORD dwSize) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) { return Ok(Play_InputData(h, pData, dwSize)); });
}

BOOL SeekTime(LONG nPort, DWORD dwMilliseconds) {
    return OnPort(nPort,
                  [&](CPortEntry &, PLAY_HANDLE h) { return SeekU32(h, PLAY_SEEK_TIME, dwMilliseconds); });
}

BOOL SnapshotToFile(LONG nPort, const QV_WCHAR *szFileName) {
    return OnPort(
        nPort, [&](CPortEntry &, PLAY_HANDLE h) { return api::WriteSnapshotBmp(h, szFileName) == PLAY_OK; });
}

// ---- Pulled decoding ----

// The bytes a pulled frame delivers: its PCM or its picture.
uint32_t FrameBytes(const PLAY_FRAME &frame) {
    const FrameRecord *pRecord = frame.pFrame;
    if (pRecord == nullptr)
        return 0;
    if (pRecord->nType == DEMUX_FRAME_AUDIO)
        return frame.output.audio.pBuffer != nullptr ? frame.output.audio.dwBufferSize : 0;
    if (IsVideoType(pRecord->nType))
        return frame.output.picture.pBuffer != nullptr ? frame.output.picture.dwBufferSize : 0;
    return 0;
}

void FillOutput(const PLAY_FRAME &frame, uint32_t dwBytes, DECODE_OUTPUT *pOutput) {
    const FrameRecord &record = *frame.pFrame;
    pOutput->dwSize = dwBytes;
    pOutput->nWidth = 0;
    pOutput->nHeight = 0;
    pOutput->dwTimeStamp = 0;
    pOutput->dwSamplesPerSec = 0;
    pOutput->dwBitsPerSample = 0;
    if (record.nType == DEMUX_FRAME_AUDIO) {
        const ADEC_OUTPUT &audio = frame.output.audio;
        pOutput->nType = QV_PLAY_TYPE_AUDIO16;
        if (dwBytes > 0)
            std::memcpy(pOutput->pBuffer, audio.pBuffer, dwBytes);
        pOutput->dwSamplesPerSec = audio.dwSamplesPerSec;
        pOutput->dwBitsPerSample = audio.wBitsPerSample;
        return;
    }
    const DecodedPicture &picture = frame.output.picture;
    pOutput->nType = TypeOfPicture(picture.dwFourCC);
    if (dwBytes > 0)
        std::memcpy(pOutput->pBuffer, picture.pBuffer, dwBytes);
    pOutput->nWidth = static_cast<LONG>(picture.dwWidth);
    pOutput->nHeight = static_cast<LONG>(picture.dwHeight);
    pOutput->dwTimeStamp = record.dwTimestamp;
}

} // namespace

// ===========================================================================
// Opening and closing

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OpenFileW(LONG nPort, const QV_WCHAR *szFileName) {
    return OpenAtPort(nPort, FileParam(szFileName));
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OpenFileA(LONG nPort, const char *szFileName) {
    return WithWidePath<BOOL>(szFileName,
                              [&](const QV_WCHAR *szWide) { return QV_PLAY_OpenFileW(nPort, szWide); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OpenFile(LONG nPort, const char *szFileName) {
    return QV_PLAY_OpenFileA(nPort, szFileName);
}

QV_EXTERN_C LONG QV_CALL QV_PLAY_OpenFileExW(const QV_WCHAR *szFileName) {
    return OpenAtFreePort(FileParam(szFileName));
}

QV_EXTERN_C LONG QV_CALL QV_PLAY_OpenFileExA(const char *szFileName) {
    return WithWidePath<LONG>(szFileName,
                              [&](const QV_WCHAR *szWide) { return QV_PLAY_OpenFileExW(szWide); });
}

QV_EXTERN_C LONG QV_CALL QV_PLAY_OpenFileEx(const char *szFileName) {
    return QV_PLAY_OpenFileExA(szFileName);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OpenStream(LONG nPort, const BYTE *pHeader, DWORD dwHeaderSize, DWORD) {
    return OpenAtPort(nPort, StreamParam(pHeader, dwHeaderSize));
}

QV_EXTERN_C LONG QV_CALL QV_PLAY_OpenStreamEx(const BYTE *pHeader, DWORD dwHeaderSize, DWORD) {
    return OpenAtFreePort(StreamParam(pHeader, dwHeaderSize));
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_CloseFile(LONG nPort) {
    return GuardedValue<BOOL>(0, [&]() -> BOOL { return CPortTable::Instance().Remove(nPort) ? 1 : 0; });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_CloseStream(LONG nPort) {
    return QV_PLAY_CloseFile(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetStreamOpenMode(LONG, LONG) {
    return 1;
}

QV_EXTERN_C LONG QV_CALL QV_PLAY_GetStreamOpenMode(LONG) {
    return -1;
}

// ===========================================================================
// Playing

QV_EXTERN_C BOOL QV_CALL QV_PLAY_Play(LONG nPort, HWND hWnd) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        if (hWnd != 0 && display::IsWindowAlive(hWnd) && !AddViewport(h, 0, hWnd, nullptr))
            return false;
        SetSpeed(h, 1.0f);
        return Action(h, PLAY_ACTION_PLAY_FORWARD);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_Pause(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return Action(h, PLAY_ACTION_PAUSE); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_Stop(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return Action(h, PLAY_ACTION_STOP); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_ResetSourceBuffer(LONG nPort) {
    return QV_PLAY_Stop(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_PlayBack(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return Action(h, PLAY_ACTION_PLAY_BACKWARD); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_Fast(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return ScaleSpeed(h, true); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_Slow(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return ScaleSpeed(h, false); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPlaySpeed(LONG nPort, LONG nSpeed, BOOL bSlower) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        float fSpeed = static_cast<float>(nSpeed);
        if (fSpeed < 1.0f)
            fSpeed = 1.0f;
        if (fSpeed > QV_PLAY_MAX_SPEED)
            fSpeed = QV_PLAY_MAX_SPEED;
        if (bSlower)
            fSpeed = 1.0f / fSpeed;
        return SetSpeed(h, fSpeed);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OneByOne(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return StepFrame(h, true); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_PlayBySingleFrame(LONG nPort) {
    return QV_PLAY_OneByOne(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OneByOneBack(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) { return StepFrame(h, false); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_PlayBySingleFrameBack(LONG nPort) {
    return QV_PLAY_OneByOneBack(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_InputData(LONG nPort, const BYTE *pData, DWORD dwSize, DWORD) {
    return Input(nPort, pData, dwSize);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_InputVideoData(LONG nPort, const BYTE *pData, DWORD dwSize) {
    return Input(nPort, pData, dwSize);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_InputAudioData(LONG nPort, const BYTE *pData, DWORD dwSize) {
    return Input(nPort, pData, dwSize);
}

// ===========================================================================
// Positions and statistics

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetFileTimeMilliSec(LONG nPort) {
    return AttributeOnPort<DWORD>(nPort, PLAY_ATTRIBUTE_FILE_DURATION);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetFileTime(LONG nPort) {
    return QV_PLAY_GetFileTimeMilliSec(nPort) / 1000;
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetFileTotalFrames(LONG nPort) {
    return AttributeOnPort<DWORD>(nPort, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetFileFrames(LONG nPort) {
    return QV_PLAY_GetFileTotalFrames(nPort);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetPlayedFrames(LONG nPort) {
    return ValueOnPort<DWORD>(nPort, 0, [](CPortEntry &, PLAY_HANDLE h) -> DWORD {
        uint32_t dwIndex = 0;
        return Get(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwIndex) ? dwIndex + 1 : 0;
    });
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetPlayedFrameNum(LONG nPort) {
    return QV_PLAY_GetPlayedFrames(nPort);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetCurrentFrameNum(LONG nPort) {
    return AttributeOnPort<DWORD>(nPort, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetCurrFrameNum(LONG nPort) {
    return QV_PLAY_GetCurrentFrameNum(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetCurrentFrameNum(LONG nPort, DWORD dwIndex) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) { return SeekU32(h, PLAY_SEEK_INDEX, dwIndex); });
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetCurrentFrameTime(LONG nPort) {
    return AttributeOnPort<DWORD>(nPort, PLAY_ATTRIBUTE_PLAY_DURATION);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetPlayedTimeEx(LONG nPort) {
    return QV_PLAY_GetCurrentFrameTime(nPort);
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetPlayTime(LONG nPort) {
    return QV_PLAY_GetCurrentFrameTime(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPlayedTime(LONG nPort, DWORD dwMilliseconds) {
    return SeekTime(nPort, dwMilliseconds);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPlayedTimeEx(LONG nPort, DWORD dwMilliseconds) {
    return SeekTime(nPort, dwMilliseconds);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPlayTime(LONG nPort, DWORD dwMilliseconds) {
    return SeekTime(nPort, dwMilliseconds);
}

QV_EXTERN_C float QV_CALL QV_PLAY_GetPlayPos(LONG nPort) {
    return ValueOnPort<float>(nPort, 0.0f, [](CPortEntry &, PLAY_HANDLE h) -> float {
        uint64_t ullPlayed = 0, ullFile = 0;
        if (!Get(h, PLAY_ATTRIBUTE_PLAY_DATA_SIZE, &ullPlayed) || !Get(h, PLAY_ATTRIBUTE_FILE_SIZE, &ullFile))
            return 0.0f;
        if (ullFile == 0)
            return 0.0f;
        return static_cast<float>(static_cast<double>(ullPlayed) / static_cast<double>(ullFile));
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPlayPos(LONG nPort, float fRatio) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        return Ok(Play_Seek(h, PLAY_SEEK_RATIO, &fRatio, sizeof(fRatio)));
    });
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetCurrentFrameRate(LONG nPort) {
    return ValueOnPort<DWORD>(nPort, 0, [](CPortEntry &, PLAY_HANDLE h) -> DWORD {
        float fRate = 0.0f;
        return Get(h, PLAY_ATTRIBUTE_VIDEO_FRAME_RATE, &fRate) ? static_cast<DWORD>(RoundedRate(fRate)) : 0;
    });
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetCurrFrameRate(LONG nPort) {
    return QV_PLAY_GetCurrentFrameRate(nPort);
}

QV_EXTERN_C double QV_CALL QV_PLAY_GetAverageBPS(LONG nPort) {
    return ValueOnPort<double>(nPort, 0.0, [](CPortEntry &, PLAY_HANDLE h) -> double {
        float fVideo = 0.0f, fAudio = 0.0f;
        if (!Get(h, PLAY_ATTRIBUTE_VIDEO_BITRATE, &fVideo) || !Get(h, PLAY_ATTRIBUTE_AUDIO_BITRATE, &fAudio))
            return 0.0;
        return static_cast<double>(fVideo) + static_cast<double>(fAudio);
    });
}

QV_EXTERN_C double QV_CALL QV_PLAY_GetDynamicBPS(LONG nPort) {
    return QV_PLAY_GetAverageBPS(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetPictureSize(LONG nPort, LONG *pnWidth, LONG *pnHeight) {
    if (pnWidth == nullptr || pnHeight == nullptr)
        return 0;
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        uint32_t dwWidth = 0, dwHeight = 0;
        if (!Get(h, PLAY_ATTRIBUTE_PICTURE_WIDTH, &dwWidth))
            return false;
        *pnWidth = static_cast<LONG>(dwWidth);
        if (!Get(h, PLAY_ATTRIBUTE_PICTURE_HEIGHT, &dwHeight))
            return false;
        *pnHeight = static_cast<LONG>(dwHeight);
        return true;
    });
}

// ===========================================================================
// Sound

QV_EXTERN_C BOOL QV_CALL QV_PLAY_OpenSound(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) {
        if (!ChangeFlags(h, PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND, 0))
            return false;
        uint32_t dwVolume = 0;
        if (!Get(h, PLAY_ATTRIBUTE_VOLUME, &dwVolume))
            return false;
        return dwVolume != 0 || SetU32(h, PLAY_CONTROL_VOLUME, PLAY_VOLUME_MAX);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_PlaySound(LONG nPort) {
    return QV_PLAY_OpenSound(nPort);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_CloseSound(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &, PLAY_HANDLE h) {
        return ChangeFlags(h, 0, PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND);
    });
}

QV_EXTERN_C WORD QV_CALL QV_PLAY_GetVolume(LONG nPort) {
    return static_cast<WORD>(AttributeOnPort<uint32_t>(nPort, PLAY_ATTRIBUTE_VOLUME));
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetVolume(LONG nPort, WORD wVolume) {
    return OnPort(nPort,
                  [&](CPortEntry &, PLAY_HANDLE h) { return SetU32(h, PLAY_CONTROL_VOLUME, wVolume); });
}

// ===========================================================================
// Picture and options

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetVideoColor(LONG nPort, LONG nBrightness, LONG nContrast, LONG nSaturation,
                                               LONG nHue, LONG) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        PLAY_COLOR color{};
        color.dwSize = PLAY_COLOR_SIZE;
        color.dwBrightness = static_cast<uint32_t>(nBrightness);
        color.dwContrast = static_cast<uint32_t>(nContrast);
        color.dwSaturation = static_cast<uint32_t>(nSaturation);
        color.dwHue = static_cast<uint32_t>(nHue);
        return Ok(Play_SetControl(h, PLAY_CONTROL_COLOR, &color, sizeof(color)));
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetVideoColor(LONG nPort, LONG *pnBrightness, LONG *pnContrast,
                                               LONG *pnSaturation, LONG *pnHue, LONG) {
    if (pnBrightness == nullptr || pnContrast == nullptr || pnSaturation == nullptr || pnHue == nullptr)
        return 0;
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        PLAY_COLOR color{};
        color.dwSize = PLAY_COLOR_SIZE;
        if (!Get(h, PLAY_ATTRIBUTE_COLOR, &color))
            return false;
        *pnBrightness = static_cast<LONG>(color.dwBrightness);
        *pnContrast = static_cast<LONG>(color.dwContrast);
        *pnSaturation = static_cast<LONG>(color.dwSaturation);
        *pnHue = static_cast<LONG>(color.dwHue);
        return true;
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetDisplayRegion(LONG nPort, DWORD dwRegion, const RECT *pSrcRect, HWND hWnd,
                                                  BOOL bEnable) {
    if (dwRegion >= QV_PLAY_MAX_DISPLAY_REGIONS)
        return 0;
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        if (bEnable)
            return AddViewport(h, dwRegion, hWnd, pSrcRect);
        Play_RemoveViewport(h, dwRegion); // a region not shown is as good as removed
        return true;
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetParseOnly(LONG nPort, BOOL bParseOnly) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        const uint32_t dwDecode = PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE;
        return bParseOnly ? ChangeFlags(h, 0, dwDecode) : ChangeFlags(h, dwDecode, 0);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPlayOption(LONG nPort, BOOL bDisplay, BOOL bSound) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        uint32_t dwSet = 0, dwClear = 0;
        (bDisplay ? dwSet : dwClear) |= PLAY_ENABLE_DISPLAY;
        (bSound ? dwSet : dwClear) |= PLAY_ENABLE_SOUND;
        return ChangeFlags(h, dwSet, dwClear);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetDecodeMode(LONG nPort, LONG nMode) {
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        if (nMode == QV_PLAY_DECODE_MODE_SOFTWARE)
            return ChangeFlags(h, 0, PLAY_ENABLE_HARDWARE_DECODE);
        if (nMode == 2 || nMode == QV_PLAY_DECODE_MODE_HARDWARE)
            return ChangeFlags(h, PLAY_ENABLE_HARDWARE_DECODE, 0);
        return false;
    });
}

QV_EXTERN_C LONG QV_CALL QV_PLAY_GetDecodeMode(LONG nPort) {
    return GuardedValue<LONG>(QV_PLAY_DECODE_MODE_SOFTWARE, [&]() -> LONG {
        CPortRef ref = Find(nPort);
        if (!ref)
            return QV_PLAY_DECODE_MODE_SOFTWARE;
        DecoderInfo info{};
        info.dwSize = VDEC_INFO_SIZE;
        if (!Get(ref->Player(), PLAY_ATTRIBUTE_VDEC_STATUS, &info))
            return QV_PLAY_DECODE_MODE_SOFTWARE;
        return info.dwDecoderKind == VDEC_KIND_CUDA ? QV_PLAY_DECODE_MODE_HARDWARE
                                                    : QV_PLAY_DECODE_MODE_SOFTWARE;
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetCPULimitEx(LONG nPort, DWORD *pdwPercent) {
    if (pdwPercent == nullptr)
        return 0;
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        int32_t nPercent = 0;
        if (!Get(h, PLAY_ATTRIBUTE_CPU_LIMIT, &nPercent))
            return false;
        *pdwPercent = static_cast<DWORD>(nPercent);
        return true;
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetCPULimitEx(LONG nPort, DWORD dwPercent) {
    return OnPort(nPort,
                  [&](CPortEntry &, PLAY_HANDLE h) { return SetU32(h, PLAY_CONTROL_CPU_LIMIT, dwPercent); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SnapshotW(LONG nPort, const QV_WCHAR *szFileName) {
    return SnapshotToFile(nPort, szFileName);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SnapshotA(LONG nPort, const char *szFileName) {
    return WithWidePath<BOOL>(szFileName,
                              [&](const QV_WCHAR *szWide) { return SnapshotToFile(nPort, szWide); });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SnapShot(LONG nPort, const char *szFileName) {
    return QV_PLAY_SnapshotA(nPort, szFileName);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetFileHead(LONG nPort, BYTE *pBuffer, DWORD *pdwSize) {
    if (pdwSize == nullptr)
        return 0;
    return OnPort(nPort, [&](CPortEntry &, PLAY_HANDLE h) {
        StreamInfo info{};
        info.dwSize = DEMUX_STREAM_INFO_SIZE;
        if (!Get(h, PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info))
            return false;
        // Only the ZEMA and TAVRO containers carry a file head.
        if (std::strncmp(info.szName, "ZEMA", 4) != 0 && std::strncmp(info.szName, "TAVRO", 5) != 0) {
            *pdwSize = 0;
            return true;
        }
        if (*pdwSize < QV_PLAY_FILE_HEAD_SIZE) {
            *pdwSize = QV_PLAY_FILE_HEAD_SIZE;
            return true;
        }
        if (pBuffer == nullptr)
            return false;
        static_assert(sizeof(info.szName) == QV_PLAY_FILE_HEAD_SIZE,
                      "the file head is the container name field");
        std::memcpy(pBuffer, info.szName, QV_PLAY_FILE_HEAD_SIZE);
        return true;
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_DecodeOneFrame(LONG nPort, const BYTE *pData, DWORD dwSize,
                                                DWORD dwPixelFormat, DECODE_OUTPUT *pOutput,
                                                DWORD *pdwRemaining) {
    uint32_t dwFormat = 0;
    if (!CorePixelFormat(dwPixelFormat, &dwFormat) || pOutput == nullptr || pdwRemaining == nullptr)
        return 0;
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        // Frames still to come: those the parser holds and those kept here.
        auto remaining = [&]() -> DWORD {
            uint32_t dwBuffered = 0;
            Get(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT, &dwBuffered);
            return dwBuffered + entry.HeldFrameCount();
        };
        if (!entry.PullModeSet()) {
            if (!ChangeFlags(
                    h, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_VIDEO_DECODE, 0))
                return false;
            entry.MarkPullMode();
        }
        if (entry.IsStream() && pData != nullptr && dwSize > 0 && !Ok(Play_InputData(h, pData, dwSize))) {
            // The block was not taken: say so rather than lose it. The
            // caller drains with calls without data and gives it again.
            *pdwRemaining = remaining();
            return false;
        }
        PLAY_FRAME *pFrame = entry.TakeHeldFrame();
        if (pFrame == nullptr) {
            if (!Ok(Play_GetDecodeFrame(h, dwFormat, &pFrame)) || pFrame == nullptr) {
                *pdwRemaining = 0;
                return false;
            }
        }
        if (pFrame->pFrame == nullptr) { // nothing to deliver
            Play_FreeDecodeFrame(h, pFrame);
            *pdwRemaining = remaining();
            return false;
        }
        // The frame in hand counts too.
        *pdwRemaining = remaining() + 1;
        const uint32_t dwBytes = FrameBytes(*pFrame);
        // No buffer is as good as none large enough: the size is told and
        // the frame kept for the next call.
        const uint32_t dwCapacity = pOutput->pBuffer != nullptr ? pOutput->dwSize : 0;
        if (dwCapacity < dwBytes) {
            pOutput->dwSize = dwBytes;
            entry.HoldFrame(pFrame);
            return true;
        }
        FillOutput(*pFrame, dwBytes, pOutput);
        Play_FreeDecodeFrame(h, pFrame);
        *pdwRemaining -= 1;
        return true;
    });
}

// ===========================================================================
// Messages and callbacks

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetFileEndMsg(LONG nPort, HWND hWnd, UINT nMsg) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        if (nMsg < QV_PLAY_MIN_FILE_END_MSG || hWnd == 0 || !display::IsWindowAlive(hWnd))
            return false;
        entry.SetFileEndTarget(hWnd, nMsg);
        return Register(h, PLAY_CALLBACK_FILE_ENDED, AsCallback(FileEndAdapter), &entry, 0);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetMsgWnd(LONG nPort, HWND hWnd) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        entry.SetIndexWindow(hWnd);
        return RegisterIndex(entry, h, hWnd != 0 && display::IsWindowAlive(hWnd));
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetIndexInfoCallBack(LONG nPort, QV_PLAY_INDEX_CALLBACK pfn, void *pUser) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        entry.SetIndexCallback(pfn, pUser);
        return RegisterIndex(entry, h, pfn != nullptr);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_RegisterDrawDCFun(LONG nPort, QV_PLAY_DRAW_CALLBACK pfn, void *pUser) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        entry.SetDrawCallback(pfn, pUser);
        return Register(h, PLAY_CALLBACK_DC_RENDER, pfn != nullptr ? AsCallback(DrawAdapter) : nullptr,
                        &entry, 0);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetDecCallBackEx(LONG nPort, QV_PLAY_DECODE_CALLBACK pfn, void *pUser,
                                                  void *pReserved, DWORD dwPixelFormat) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        uint32_t dwFormat = 0;
        if (pfn == nullptr || !CorePixelFormat(dwPixelFormat, &dwFormat))
            dwFormat = PLAY_PIXEL_FORMAT_DEFAULT;
        entry.SetDecodeCallback(pfn, pUser, pReserved);
        return Register(h, PLAY_CALLBACK_DECODE, pfn != nullptr ? AsCallback(DecodeAdapter) : nullptr, &entry,
                        dwFormat);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetDecCallBack(LONG nPort, QV_PLAY_DECODE_CALLBACK pfn,
                                                DWORD dwPixelFormat) {
    return QV_PLAY_SetDecCallBackEx(nPort, pfn, nullptr, nullptr, dwPixelFormat);
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetParseCallBackEx(LONG nPort, QV_PLAY_PARSE_CALLBACK pfn, void *pUser) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        entry.SetParseCallback(pfn, pUser);
        return Register(h, PLAY_CALLBACK_STREAM_PARSE, pfn != nullptr ? AsCallback(ParseAdapter) : nullptr,
                        &entry, 0);
    });
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetSourceBufferCB(LONG nPort, DWORD dwThreshold,
                                                   QV_PLAY_SOURCE_BUFFER_CALLBACK pfn, void *pUser, void *) {
    return OnPort(nPort, [&](CPortEntry &entry, PLAY_HANDLE h) {
        entry.SetSourceCallback(pfn, pUser);
        return Register(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY,
                        pfn != nullptr ? AsCallback(SourceBufferAdapter) : nullptr, &entry, dwThreshold);
    });
}

// ===========================================================================
// Kept for older clients: they do nothing.

QV_EXTERN_C BOOL QV_CALL QV_PLAY_ConvertToBMPFile(const BYTE *, DWORD, LONG, LONG, LONG, const char *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_ConvertToBMPFileEx(LONG, const BYTE *, DWORD, LONG, LONG, LONG,
                                                    const char *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetParseCallBack(LONG, QV_PLAY_PARSE_CALLBACK) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetPicQuality(LONG, BOOL *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetPicQuality(LONG, BOOL) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetSnapShotCallBack(LONG, void *, void *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetIndexInfo(LONG, BYTE *, DWORD *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetOverlayMode(LONG, BOOL, COLORREF) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_GetCPULimit(LONG, DWORD *) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_SetCPULimit(LONG, DWORD) {
    return 0;
}

QV_EXTERN_C COLORREF QV_CALL QV_PLAY_GetColorKey(LONG) {
    return 0;
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetLastError(LONG) {
    return 0;
}

QV_EXTERN_C DWORD QV_CALL QV_PLAY_GetSourceBufferRemain(LONG) {
    return 0;
}

QV_EXTERN_C BOOL QV_CALL QV_PLAY_RefreshPlay(LONG) {
    return 0;
}

// The index thread always runs for files: 1 for an open file port, 0 for a
// stream or an unknown port.
QV_EXTERN_C BOOL QV_CALL QV_PLAY_EnableIndexThread(LONG nPort) {
    return OnPort(nPort, [](CPortEntry &entry, PLAY_HANDLE) { return !entry.IsStream(); });
}
