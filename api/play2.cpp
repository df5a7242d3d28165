// The QV_PLAY2_ family: the thinnest front end, one core call per function on
// the core's own handle. What it adds: ANSI paths, BMP snapshot files, the
// public PLAY2_FRAME_INFO in place of the core's records, and callback
// adapters that keep the client's functions in the player's extension block
// (PLAY2_EXTENSION), read at call time so that a swapped function takes
// effect at the next callback.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "api/ansipath.h"
#include "api/guard.h"
#include "api/snapshotfile.h"
#include "platform/system.h"
#include "qvdisplay.h"
#include "qvplay.h"
#include "qvplay2.h"
#include "qvsound.h"

using api::GuardedCode;

namespace {

static_assert(sizeof(PLAY2_EXTENSION) == 6 * sizeof(void *), "one slot per callback kind");

// ---- Extension slots ----
// The block is shared with the player's threads without a lock: each slot is
// read and written whole.

template <class T> T LoadSlot(T &slot) {
    return std::atomic_ref<T>(slot).load(std::memory_order_acquire);
}

template <class T> void StoreSlot(T &slot, T value) {
    std::atomic_ref<T>(slot).store(value, std::memory_order_release);
}

// Players opened by this family with the extension block they were given.
// Any core handle validates, but only ours has a block laid out as
// PLAY2_EXTENSION: a player of another family (a smaller block, or one with
// fields of its own) must never be written through.
class CPlay2Registry {
public:
    // Never destroyed: a player's thread may still look a handle up while
    // the process exits.
    static CPlay2Registry &Get() {
        static CPlay2Registry *s_pRegistry = new CPlay2Registry;
        return *s_pRegistry;
    }
    void Add(PLAY_HANDLE h, void *pExtension) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_players[h] = pExtension;
    }
    void Remove(PLAY_HANDLE h) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_players.erase(h);
    }
    // A handle released behind the family's back (Play_Release) may come
    // back as another player at the same address: the block must match too.
    bool Owns(PLAY_HANDLE h, const void *pExtension) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_players.find(h);
        return it != m_players.end() && it->second == pExtension;
    }

private:
    std::mutex m_lock;
    std::unordered_map<PLAY_HANDLE, void *> m_players;
};

// The extension block of one of this family's players.
int32_t ExtensionOf(PLAY_HANDLE h, PLAY2_EXTENSION **ppExtension) {
    void *pExtension = nullptr;
    const int32_t nResult = Play_GetExtension(h, &pExtension);
    if (nResult < 0)
        return nResult;
    if (pExtension == nullptr || !CPlay2Registry::Get().Owns(h, pExtension))
        return PLAY_E_NOT_SUPPORTED;
    *ppExtension = static_cast<PLAY2_EXTENSION *>(pExtension);
    return PLAY_OK;
}

int32_t Create(PLAY2_HANDLE *phPlay, uint32_t dwType, const void *pSource, uint32_t dwSourceSize) {
    PLAY_CREATE_PARAM param{};
    param.dwSize = PLAY_CREATE_PARAM_SIZE;
    param.dwExtensionSize = sizeof(PLAY2_EXTENSION);
    param.dwType = dwType;
    param.pSource = pSource;
    param.dwSourceSize = dwSourceSize;
    const int32_t nResult = Play_CreateW(phPlay, &param);
    if (nResult < 0)
        return nResult;
    void *pExtension = nullptr;
    if (Play_GetExtension(*phPlay, &pExtension) >= 0 && pExtension != nullptr) {
        try {
            CPlay2Registry::Get().Add(*phPlay, pExtension);
        } catch (const std::bad_alloc &) {
            // A player the family cannot track is not handed out.
            Play_Release(*phPlay);
            *phPlay = nullptr;
            return PLAY_E_OUT_OF_MEMORY;
        }
    }
    return nResult;
}

// ---- Controls and attributes ----

int32_t SetU32(PLAY_HANDLE h, uint32_t dwCode, uint32_t dwValue) {
    return Play_SetControl(h, dwCode, &dwValue, sizeof(dwValue));
}

int32_t Act(PLAY_HANDLE h, uint32_t dwAction) {
    return SetU32(h, PLAY_CONTROL_ACTION, dwAction);
}

// The attribute into the caller's buffer of exactly its size.
int32_t Get(PLAY_HANDLE h, uint32_t dwCode, void *pBuffer, uint32_t dwSize) {
    return Play_GetAttribute(h, dwCode, pBuffer, &dwSize);
}

int32_t SeekU32(PLAY_HANDLE h, uint32_t dwKind, uint32_t dwValue) {
    return Play_Seek(h, dwKind, &dwValue, sizeof(dwValue));
}

// Pause, then one video frame forward (+1) or back (-1; index 0 stays 0).
int32_t SeekStep(PLAY_HANDLE h, bool bForward) {
    Act(h, PLAY_ACTION_PAUSE); // a player already paused, or busy, still seeks
    uint32_t dwIndex = 0;
    const int32_t nResult = Get(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwIndex, sizeof(dwIndex));
    if (nResult < 0)
        return nResult;
    if (bForward)
        ++dwIndex;
    else if (dwIndex > 0)
        --dwIndex;
    return SeekU32(h, PLAY_SEEK_INDEX, dwIndex);
}

// ---- Frame descriptions ----

bool IsVideo(int32_t nType) {
    return nType >= DEMUX_FRAME_I && nType <= DEMUX_FRAME_DROPPABLE;
}

// Fills the description of a frame from the type on: the common fields from
// its record, the picture or PCM from the decoded frame when there is one
// (null: the frame as parsed). The first three fields are the caller's.
void Describe(const FrameRecord *pRecord, const PLAY_FRAME *pDecoded, PLAY2_FRAME_INFO *pInfo) {
    pInfo->dwType = uint32_t(pRecord->nType);
    pInfo->dwHeaderLength = pRecord->dwHeaderLength;
    pInfo->pHeader = pRecord->pHeader;
    pInfo->dwPayloadLength = pRecord->dwPayloadLength;
    pInfo->pPayload = pRecord->pPayload;
    if (pRecord->nType == DEMUX_FRAME_AUDIO) {
        std::memset(&pInfo->u, 0, sizeof(pInfo->u));
        if (pDecoded != nullptr && pDecoded->output.audio.pBuffer != nullptr) {
            const ADEC_OUTPUT &pcm = pDecoded->output.audio;
            pInfo->u.audio.wChannels = pcm.wChannels;
            pInfo->u.audio.wBitsPerSample = pcm.wBitsPerSample;
            pInfo->u.audio.dwSamplesPerSec = pcm.dwSamplesPerSec;
            pInfo->u.audio.pPcm = pcm.pBuffer;
            pInfo->u.audio.dwPcmSize = pcm.dwBufferSize;
        }
    } else if (IsVideo(pRecord->nType)) {
        std::memset(&pInfo->u, 0, sizeof(pInfo->u));
        if (pDecoded != nullptr) {
            const DecodedPicture &picture = pDecoded->output.picture;
            pInfo->u.video.dwWidth = picture.dwWidth;
            pInfo->u.video.dwHeight = picture.dwHeight;
            if (picture.pBuffer != nullptr) {
                pInfo->u.video.dwFourCC = picture.dwFourCC;
                pInfo->u.video.pPicture = picture.pBuffer;
                pInfo->u.video.dwPictureSize = picture.dwBufferSize;
            }
        } else {
            pInfo->u.video.dwWidth = pRecord->wWidth;
            pInfo->u.video.dwHeight = pRecord->wHeight;
        }
        pInfo->u.video.ullFileOffset = pRecord->ullFileOffset;
        pInfo->u.video.stTime = pRecord->stTime;
        pInfo->u.video.dwSequence = pRecord->dwSequence;
        pInfo->u.video.dwTimeStamp = pRecord->dwTimestamp;
    }
    // Other types carry only the common fields.
}

// ---- Callback adapters ----
// Called by the core on the player's threads: the client function is read
// from its slot at call time (0: nothing to call).

int32_t QV_CALL OnFileIndexCompleted(PLAY_HANDLE h, void *pContext) {
    return GuardedCode([&] {
        PLAY2_EXTENSION *pExt = nullptr;
        const int32_t nResult = ExtensionOf(h, &pExt);
        if (nResult < 0)
            return nResult;
        const PLAY2_FILE_INDEX_COMPLETED_CALLBACK pfn = LoadSlot(pExt->pfnFileIndexCompleted);
        return pfn != nullptr ? pfn(h, pContext) : 0;
    });
}

int32_t QV_CALL OnFileEnded(PLAY_HANDLE h, void *pContext) {
    return GuardedCode([&] {
        PLAY2_EXTENSION *pExt = nullptr;
        const int32_t nResult = ExtensionOf(h, &pExt);
        if (nResult < 0)
            return nResult;
        const PLAY2_FILE_ENDED_CALLBACK pfn = LoadSlot(pExt->pfnFileEnded);
        return pfn != nullptr ? pfn(h, pContext) : 0;
    });
}

int32_t QV_CALL OnBufferAlmostEmpty(PLAY_HANDLE h, uint32_t dwQueued, void *pContext) {
    return GuardedCode([&] {
        PLAY2_EXTENSION *pExt = nullptr;
        const int32_t nResult = ExtensionOf(h, &pExt);
        if (nResult < 0)
            return nResult;
        const PLAY2_BUFFER_ALMOST_EMPTY_CALLBACK pfn = LoadSlot(pExt->pfnBufferAlmostEmpty);
        return pfn != nullptr ? pfn(h, dwQueued, pContext) : 0;
    });
}

int32_t QV_CALL OnStreamParse(PLAY_HANDLE h, FrameRecord *pRecord, void *pContext) {
    return GuardedCode([&] {
        PLAY2_EXTENSION *pExt = nullptr;
        const int32_t nResult = ExtensionOf(h, &pExt);
        if (nResult < 0)
            return nResult;
        const PLAY2_STREAM_PARSE_CALLBACK pfn = LoadSlot(pExt->pfnStreamParse);
        if (pfn == nullptr || pRecord == nullptr)
            return 0;
        PLAY2_FRAME_INFO info;
        std::memset(&info, 0, sizeof(info));
        Describe(pRecord, nullptr, &info);
        return pfn(h, &info, pContext);
    });
}

int32_t QV_CALL OnDecode(PLAY_HANDLE h, PLAY_FRAME *pFrame, void *pContext) {
    return GuardedCode([&] {
        PLAY2_EXTENSION *pExt = nullptr;
        const int32_t nResult = ExtensionOf(h, &pExt);
        if (nResult < 0)
            return nResult;
        const PLAY2_DECODE_CALLBACK pfn = LoadSlot(pExt->pfnDecode);
        if (pfn == nullptr || pFrame == nullptr || pFrame->pFrame == nullptr)
            return 0;
        PLAY2_FRAME_INFO info;
        std::memset(&info, 0, sizeof(info));
        Describe(pFrame->pFrame, pFrame, &info);
        return pfn(h, &info, pContext);
    });
}

int32_t QV_CALL OnDcRender(PLAY_HANDLE h, PLAY_DC_RENDER *pRender, void *pContext) {
    return GuardedCode([&] {
        PLAY2_EXTENSION *pExt = nullptr;
        const int32_t nResult = ExtensionOf(h, &pExt);
        if (nResult < 0)
            return nResult;
        const PLAY2_DC_RENDER_CALLBACK pfn = LoadSlot(pExt->pfnDcRender);
        if (pfn == nullptr || pRender == nullptr)
            return 0;
        return pfn(h, pRender->hDC, &pRender->viewport, pContext);
    });
}

// Stores the client function in its slot and registers the kind's adapter
// (none when the function is 0, which clears the core's registration). A
// registration the core refuses leaves the slot as it was, so that the
// adapter still registered never calls the new function with the old
// context.
template <class F, class A>
int32_t Register(PLAY_HANDLE h, uint32_t dwKind, F PLAY2_EXTENSION::*slot, F pfnClient, A pfnAdapter,
                 void *pContext, uint32_t dwParam) {
    PLAY2_EXTENSION *pExt = nullptr;
    int32_t nResult = ExtensionOf(h, &pExt);
    if (nResult < 0)
        return nResult;
    const F pfnPrevious = LoadSlot(pExt->*slot);
    StoreSlot(pExt->*slot, pfnClient);
    PLAY_CALLBACK_PARAM param{};
    param.pfnCallback = pfnClient != nullptr ? reinterpret_cast<PLAY_CALLBACK_FUNCTION>(pfnAdapter) : nullptr;
    param.pContext = pContext;
    param.dwParam = dwParam;
    nResult = Play_RegisterCallbackFunction(h, dwKind, &param, PLAY_CALLBACK_PARAM_SIZE);
    if (nResult < 0)
        StoreSlot(pExt->*slot, pfnPrevious);
    return nResult;
}

} // namespace

// ---- Opening and closing ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_OpenFileW(PLAY2_HANDLE *phPlay, const QV_WCHAR *szFileName) {
    return GuardedCode([&] { return Create(phPlay, PLAY_MODE_FILE, szFileName, 0); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_OpenFileA(PLAY2_HANDLE *phPlay, const char *szFileName) {
    return GuardedCode([&] {
        platform::WString path;
        const int32_t nResult = api::AnsiPathToWide(szFileName, path);
        if (nResult < 0)
            return nResult;
        return QV_PLAY2_OpenFileW(phPlay, path.c_str());
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_OpenStream(PLAY2_HANDLE *phPlay, const BYTE *pHeader,
                                                DWORD dwHeaderSize) {
    return GuardedCode([&] { return Create(phPlay, PLAY_MODE_STREAM, pHeader, dwHeaderSize); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_Close(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] {
        // Forgotten first: the address stays taken until the release is done,
        // so no new player can be registered under it in between.
        CPlay2Registry::Get().Remove(hPlay);
        return Play_Release(hPlay);
    });
}

// ---- Enable flags and actions ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SetEnableFlag(PLAY2_HANDLE hPlay, DWORD dwFlags) {
    return GuardedCode([&] { return SetU32(hPlay, PLAY_CONTROL_ENABLE, dwFlags); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetEnableFlag(PLAY2_HANDLE hPlay, DWORD *pdwFlags) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_ENABLE, pdwFlags, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_Stop(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] { return Act(hPlay, PLAY_ACTION_STOP); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_Pause(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] { return Act(hPlay, PLAY_ACTION_PAUSE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_Play(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] { return Act(hPlay, PLAY_ACTION_PLAY_FORWARD); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_PlayBackward(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] { return Act(hPlay, PLAY_ACTION_PLAY_BACKWARD); });
}

// ---- Controls ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SetSpeed(PLAY2_HANDLE hPlay, float fSpeed) {
    return GuardedCode([&] { return Play_SetControl(hPlay, PLAY_CONTROL_SPEED, &fSpeed, sizeof(fSpeed)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetSpeed(PLAY2_HANDLE hPlay, float *pfSpeed) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_SPEED, pfSpeed, sizeof(float)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SetVolume(PLAY2_HANDLE hPlay, DWORD dwVolume) {
    return GuardedCode([&] { return SetU32(hPlay, PLAY_CONTROL_VOLUME, dwVolume); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetVolume(PLAY2_HANDLE hPlay, DWORD *pdwVolume) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_VOLUME, pdwVolume, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SetVideoColor(PLAY2_HANDLE hPlay, const struct tagPLAY_COLOR *pColor) {
    return GuardedCode([&] { return Play_SetControl(hPlay, PLAY_CONTROL_COLOR, pColor, PLAY_COLOR_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetVideoColor(PLAY2_HANDLE hPlay, struct tagPLAY_COLOR *pColor) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_COLOR, pColor, PLAY_COLOR_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SetCpuLimit(PLAY2_HANDLE hPlay, DWORD dwPercent) {
    return GuardedCode([&] { return SetU32(hPlay, PLAY_CONTROL_CPU_LIMIT, dwPercent); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetCpuLimit(PLAY2_HANDLE hPlay, DWORD *pdwPercent) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_CPU_LIMIT, pdwPercent, sizeof(DWORD)); });
}

// ---- State and statistics ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetMode(PLAY2_HANDLE hPlay, DWORD *pdwMode) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_MODE, pdwMode, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetState(PLAY2_HANDLE hPlay, DWORD *pdwState) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_STATE, pdwState, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_IsPlayBackward(PLAY2_HANDLE hPlay, DWORD *pdwBackward) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_PLAY_BACKWARD, pdwBackward, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_IsFileIndexCompleted(PLAY2_HANDLE hPlay, DWORD *pdwCompleted) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED, pdwCompleted, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_IsFileEnded(PLAY2_HANDLE hPlay, DWORD *pdwEnded) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_FILE_ENDED, pdwEnded, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetPictureSize(PLAY2_HANDLE hPlay, DWORD *pdwWidth, DWORD *pdwHeight) {
    return GuardedCode([&] {
        const int32_t nResult = Get(hPlay, PLAY_ATTRIBUTE_PICTURE_WIDTH, pdwWidth, sizeof(DWORD));
        if (nResult < 0)
            return nResult; // the height stays as it was
        return Get(hPlay, PLAY_ATTRIBUTE_PICTURE_HEIGHT, pdwHeight, sizeof(DWORD));
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetBufferedFrameCount(PLAY2_HANDLE hPlay, DWORD *pdwCount) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT, pdwCount, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetFileSize(PLAY2_HANDLE hPlay, ULONGLONG *pullSize) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_FILE_SIZE, pullSize, sizeof(ULONGLONG)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetPlayDataSize(PLAY2_HANDLE hPlay, ULONGLONG *pullSize) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_PLAY_DATA_SIZE, pullSize, sizeof(ULONGLONG)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetFileDuration(PLAY2_HANDLE hPlay, DWORD *pdwMilliseconds) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_FILE_DURATION, pdwMilliseconds, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetPlayDuration(PLAY2_HANDLE hPlay, DWORD *pdwMilliseconds) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_PLAY_DURATION, pdwMilliseconds, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetFileVideoFrameCount(PLAY2_HANDLE hPlay, DWORD *pdwCount) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT, pdwCount, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetPlayVideoFrameIndex(PLAY2_HANDLE hPlay, DWORD *pdwIndex) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, pdwIndex, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetKeyFrameDistance(PLAY2_HANDLE hPlay, DWORD *pdwFrames) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE, pdwFrames, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetKeyFrameInterval(PLAY2_HANDLE hPlay, DWORD *pdwMilliseconds) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_KEY_FRAME_INTERVAL, pdwMilliseconds, sizeof(DWORD)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetVideoFrameRate(PLAY2_HANDLE hPlay, float *pfRate) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_VIDEO_FRAME_RATE, pfRate, sizeof(float)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetVideoBitrate(PLAY2_HANDLE hPlay, float *pfKbps) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_VIDEO_BITRATE, pfKbps, sizeof(float)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetAudioFrameRate(PLAY2_HANDLE hPlay, float *pfRate) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_AUDIO_FRAME_RATE, pfRate, sizeof(float)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetAudioBitrate(PLAY2_HANDLE hPlay, float *pfKbps) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_AUDIO_BITRATE, pfKbps, sizeof(float)); });
}

// ---- Component status records ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetDemuxProperty(PLAY2_HANDLE hPlay, struct tagStreamInfo *pInfo) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_DEMUX_PROPERTY, pInfo, DEMUX_STREAM_INFO_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetDemuxStatus(PLAY2_HANDLE hPlay,
                                                    struct tagStreamStatistics *pStatistics) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_DEMUX_STATUS, pStatistics, DEMUX_STATISTICS_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetVdecStatus(PLAY2_HANDLE hPlay, struct tagDecoderInfo *pInfo) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_VDEC_STATUS, pInfo, VDEC_INFO_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetDisplayStatus(PLAY2_HANDLE hPlay, struct tagDISPLAY_STATUS *pStatus) {
    return GuardedCode(
        [&] { return Get(hPlay, PLAY_ATTRIBUTE_DISPLAY_STATUS, pStatus, DISPLAY_STATUS_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetAdecStatus(PLAY2_HANDLE hPlay, struct tagADEC_STATUS *pStatus) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_ADEC_STATUS, pStatus, ADEC_STATUS_SIZE); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetSoundStatus(PLAY2_HANDLE hPlay, struct tagSOUND_STATUS *pStatus) {
    return GuardedCode([&] { return Get(hPlay, PLAY_ATTRIBUTE_SOUND_STATUS, pStatus, SOUND_STATUS_SIZE); });
}

// ---- Viewports and snapshots ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_AddViewport(PLAY2_HANDLE hPlay,
                                                 const struct tagPLAY_VIEWPORT *pViewport) {
    return GuardedCode([&] { return Play_AddViewport(hPlay, pViewport); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RemoveViewport(PLAY2_HANDLE hPlay, DWORD dwID) {
    return GuardedCode([&] { return Play_RemoveViewport(hPlay, dwID); });
}

// The viewport with the identifier given. The core lists viewports rather
// than finding one: the list is read whole and searched here.
QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetViewport(PLAY2_HANDLE hPlay, DWORD dwID,
                                                 struct tagPLAY_VIEWPORT *pViewport) {
    return GuardedCode([&] {
        uint32_t dwCount = 0;
        int32_t nResult = Play_GetViewport(hPlay, nullptr, &dwCount);
        if (nResult < 0)
            return nResult;
        if (pViewport == nullptr)
            return PLAY_E_NULL_POINTER;
        // Viewports may come and go between the two calls: one spare slot
        // tells whether the list grew, and then it is read again.
        std::vector<PLAY_VIEWPORT> all;
        for (;;) {
            all.assign(size_t(dwCount) + 1, PLAY_VIEWPORT{});
            uint32_t dwCopied = uint32_t(all.size());
            nResult = Play_GetViewport(hPlay, all.data(), &dwCopied);
            if (nResult < 0)
                return nResult;
            if (dwCopied < all.size()) {
                all.resize(dwCopied);
                break;
            }
            dwCount = dwCopied;
        }
        for (const PLAY_VIEWPORT &v : all) {
            if (v.dwID == dwID) {
                *pViewport = v;
                return int32_t(PLAY_OK);
            }
        }
        return PLAY_E_INVALID_VALUE;
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SnapshotToMemory(PLAY2_HANDLE hPlay,
                                                      struct tagPLAY_SNAPSHOT *pSnapshot) {
    return GuardedCode([&] { return Play_SnapPicture(hPlay, pSnapshot); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SnapshotToBmpFileW(PLAY2_HANDLE hPlay, const QV_WCHAR *szFileName) {
    return GuardedCode([&] { return api::WriteSnapshotBmp(hPlay, szFileName); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SnapshotToBmpFileA(PLAY2_HANDLE hPlay, const char *szFileName) {
    return GuardedCode([&] {
        platform::WString path;
        const int32_t nResult = api::AnsiPathToWide(szFileName, path);
        if (nResult < 0)
            return nResult;
        return QV_PLAY2_SnapshotToBmpFileW(hPlay, path.c_str());
    });
}

// ---- Stream input and decoding on demand ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_InputData(PLAY2_HANDLE hPlay, const BYTE *pData, DWORD dwSize) {
    return GuardedCode([&] { return Play_InputData(hPlay, pData, dwSize); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_GetDecodeFrame(PLAY2_HANDLE hPlay, DWORD dwPixelFormat,
                                                    PLAY2_FRAME_INFO *pFrameInfo) {
    return GuardedCode([&] {
        if (pFrameInfo == nullptr)
            return PLAY_E_NULL_POINTER;
        PLAY_FRAME *pFrame = nullptr;
        const int32_t nResult = Play_GetDecodeFrame(hPlay, dwPixelFormat, &pFrame);
        if (nResult < 0)
            return nResult;
        // The reserved words behind the core frame are the client's.
        pFrameInfo->pFrame = pFrame;
        if (pFrame != nullptr && pFrame->pFrame != nullptr)
            Describe(pFrame->pFrame, pFrame, pFrameInfo);
        return nResult;
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_FreeDecodeFrame(PLAY2_HANDLE hPlay, PLAY2_FRAME_INFO *pFrameInfo) {
    return GuardedCode([&] {
        if (pFrameInfo == nullptr)
            return PLAY_E_NULL_POINTER;
        const int32_t nResult = Play_FreeDecodeFrame(hPlay, pFrameInfo->pFrame);
        if (nResult >= 0)
            std::memset(pFrameInfo, 0, sizeof(*pFrameInfo));
        return nResult;
    });
}

// ---- Seeking ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SeekByRatio(PLAY2_HANDLE hPlay, float fRatio) {
    return GuardedCode([&] { return Play_Seek(hPlay, PLAY_SEEK_RATIO, &fRatio, sizeof(fRatio)); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SeekByTime(PLAY2_HANDLE hPlay, DWORD dwMilliseconds) {
    return GuardedCode([&] { return SeekU32(hPlay, PLAY_SEEK_TIME, dwMilliseconds); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SeekByIndex(PLAY2_HANDLE hPlay, DWORD dwIndex) {
    return GuardedCode([&] { return SeekU32(hPlay, PLAY_SEEK_INDEX, dwIndex); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SeekNextIndex(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] { return SeekStep(hPlay, true); });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_SeekPreviousIndex(PLAY2_HANDLE hPlay) {
    return GuardedCode([&] { return SeekStep(hPlay, false); });
}

// ---- Callbacks ----

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RegisterFileIndexCompletedCallback(
    PLAY2_HANDLE hPlay, PLAY2_FILE_INDEX_COMPLETED_CALLBACK pfn, void *pContext) {
    return GuardedCode([&] {
        return Register(hPlay, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &PLAY2_EXTENSION::pfnFileIndexCompleted,
                        pfn, OnFileIndexCompleted, pContext, 0);
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RegisterFileEndedCallback(PLAY2_HANDLE hPlay,
                                                               PLAY2_FILE_ENDED_CALLBACK pfn,
                                                               void *pContext) {
    return GuardedCode([&] {
        return Register(hPlay, PLAY_CALLBACK_FILE_ENDED, &PLAY2_EXTENSION::pfnFileEnded, pfn, OnFileEnded,
                        pContext, 0);
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RegisterBufferAlmostEmptyCallback(PLAY2_HANDLE hPlay, DWORD dwThreshold,
                                                                       PLAY2_BUFFER_ALMOST_EMPTY_CALLBACK pfn,
                                                                       void *pContext) {
    return GuardedCode([&] {
        return Register(hPlay, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &PLAY2_EXTENSION::pfnBufferAlmostEmpty, pfn,
                        OnBufferAlmostEmpty, pContext, dwThreshold);
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RegisterStreamParseCallback(PLAY2_HANDLE hPlay,
                                                                 PLAY2_STREAM_PARSE_CALLBACK pfn,
                                                                 void *pContext) {
    return GuardedCode([&] {
        return Register(hPlay, PLAY_CALLBACK_STREAM_PARSE, &PLAY2_EXTENSION::pfnStreamParse, pfn,
                        OnStreamParse, pContext, 0);
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RegisterDecodeCallback(PLAY2_HANDLE hPlay, DWORD dwPixelFormat,
                                                            PLAY2_DECODE_CALLBACK pfn, void *pContext) {
    return GuardedCode([&] {
        return Register(hPlay, PLAY_CALLBACK_DECODE, &PLAY2_EXTENSION::pfnDecode, pfn, OnDecode, pContext,
                        dwPixelFormat);
    });
}

QV_EXTERN_C int32_t QV_CALL QV_PLAY2_RegisterDcRenderCallback(PLAY2_HANDLE hPlay,
                                                              PLAY2_DC_RENDER_CALLBACK pfn, void *pContext) {
    return GuardedCode([&] {
        return Register(hPlay, PLAY_CALLBACK_DC_RENDER, &PLAY2_EXTENSION::pfnDcRender, pfn, OnDcRender,
                        pContext, 0);
    });
}
