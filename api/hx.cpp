// The HX_ family: a function-table front end over the core API for hosts that
// load player libraries as plug-ins. Results are small negative codes; the
// family adds stream recording, snapshot files with a notification message
// and window messages for file end and recording size.
//
// Per player the family keeps the HX_EXTENSION block the core allocates at
// open (the layout hosts may read) and, beside it, a small state object of
// its own: the record file with the lock that orders it against the player's
// writer callback, and the snapshot name copy. Only players this family
// opened have that state, so an extension block of another family (smaller
// than HX_EXTENSION) is never written through.
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "api/ansipath.h"
#include "api/guard.h"
#include "api/snapshotfile.h"
#include "display/windowsystem.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "qvdisplay.h"
#include "qvhx.h"
#include "qvplay.h"

// Test hooks, not exported from the library (the front-end tests link these
// objects directly).
namespace api::hx {
// Lowers the record size from which the record-size message is posted, so
// that a test need not write 2 GiB; 0 restores HX_RECORD_SIZE_LIMIT.
void SetRecordSizeLimitForTesting(uint64_t ullLimit);
// The adapter registered as the core's decode callback.
PLAY_DECODE_CALLBACK DecodeAdapterForTesting();
} // namespace api::hx

namespace {

using api::GuardedValue;

static_assert(HX_FUNCTION_COUNT == 26, "the function table");

// ---- Extension fields ----
// The block is shared with the player's threads without a lock; each field
// is read and written whole.

template <class T> T LoadField(T &field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}

template <class T> void StoreField(T &field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

std::atomic<uint64_t> g_ullRecordSizeLimit{HX_RECORD_SIZE_LIMIT};

// ---- Per-player state ----

struct CHxPlayer {
    explicit CHxPlayer(HX_HANDLE h, HX_EXTENSION *p) : hPlay(h), pExt(p) {}
    CHxPlayer(const CHxPlayer &) = delete;
    CHxPlayer &operator=(const CHxPlayer &) = delete;

    const HX_HANDLE hPlay;
    HX_EXTENSION *const pExt;

    // The record file. The writer callback runs on the player's thread and
    // may still be under way when its registration is cleared: it writes
    // only under this lock and only while a file is set, so a file is closed
    // between two frames and never under a write.
    platform::CLock recordLock;
    std::unique_ptr<platform::CFile> pRecordFile;

    // The copy of the last snapshot's path whose address the snapshot
    // message carries.
    platform::CLock snapshotLock;
    std::unique_ptr<char[]> pSnapshotName;
};

// Players opened by this family. Lookups check that the core still knows the
// handle with the same extension block, so that a handle released behind the
// family's back (Play_Release) and reused by another player is not mistaken
// for the old one.
class CHxRegistry {
public:
    static CHxRegistry &Get() {
        static CHxRegistry s_registry;
        return s_registry;
    }

    void Add(const std::shared_ptr<CHxPlayer> &pPlayer) {
        platform::CLockGuard guard(m_lock);
        m_players[pPlayer->hPlay] = pPlayer;
    }

    std::shared_ptr<CHxPlayer> Take(HX_HANDLE hPlay) {
        platform::CLockGuard guard(m_lock);
        auto it = m_players.find(hPlay);
        if (it == m_players.end())
            return nullptr;
        std::shared_ptr<CHxPlayer> p = std::move(it->second);
        m_players.erase(it);
        return p;
    }

    std::shared_ptr<CHxPlayer> Find(HX_HANDLE hPlay) {
        std::shared_ptr<CHxPlayer> p;
        {
            platform::CLockGuard guard(m_lock);
            auto it = m_players.find(hPlay);
            if (it == m_players.end())
                return nullptr;
            p = it->second;
        }
        void *pExtension = nullptr;
        if (Play_GetExtension(hPlay, &pExtension) < 0 || pExtension != p->pExt) {
            // Released without HX_CloseFile: its state goes now.
            platform::CLockGuard guard(m_lock);
            auto it = m_players.find(hPlay);
            if (it != m_players.end() && it->second == p)
                m_players.erase(it);
            return nullptr;
        }
        return p;
    }

private:
    platform::CLock m_lock;
    std::unordered_map<HX_HANDLE, std::shared_ptr<CHxPlayer>> m_players;
};

// The family's view of a live player; empty when the handle is not one this
// family opened.
std::shared_ptr<CHxPlayer> FindPlayer(HX_HANDLE hPlay) {
    if (hPlay == nullptr)
        return nullptr;
    return CHxRegistry::Get().Find(hPlay);
}

// The extension block of a player inside one of its callbacks (the player is
// alive and was opened by this family, since only this family registers
// these adapters).
HX_EXTENSION *ExtensionOf(HX_HANDLE hPlay) {
    void *pExtension = nullptr;
    if (Play_GetExtension(hPlay, &pExtension) < 0)
        return nullptr;
    return static_cast<HX_EXTENSION *>(pExtension);
}

// ---- Core calls ----

int32_t GetU32(HX_HANDLE hPlay, uint32_t dwCode, uint32_t *pdwValue) {
    uint32_t dwSize = sizeof(*pdwValue);
    return Play_GetAttribute(hPlay, dwCode, pdwValue, &dwSize);
}

int32_t GetFloat(HX_HANDLE hPlay, uint32_t dwCode, float *pfValue) {
    uint32_t dwSize = sizeof(*pfValue);
    return Play_GetAttribute(hPlay, dwCode, pfValue, &dwSize);
}

int32_t SetU32(HX_HANDLE hPlay, uint32_t dwCode, uint32_t dwValue) {
    return Play_SetControl(hPlay, dwCode, &dwValue, sizeof(dwValue));
}

int32_t SetAction(HX_HANDLE hPlay, uint32_t dwAction) {
    return SetU32(hPlay, PLAY_CONTROL_ACTION, dwAction);
}

int32_t SetSpeed(HX_HANDLE hPlay, float fSpeed) {
    return Play_SetControl(hPlay, PLAY_CONTROL_SPEED, &fSpeed, sizeof(fSpeed));
}

int32_t SeekIndex(HX_HANDLE hPlay, uint32_t dwIndex) {
    return Play_Seek(hPlay, PLAY_SEEK_INDEX, &dwIndex, sizeof(dwIndex));
}

int32_t Register(HX_HANDLE hPlay, uint32_t dwKind, PLAY_CALLBACK_FUNCTION pfn, void *pContext) {
    PLAY_CALLBACK_PARAM param{};
    param.pfnCallback = pfn;
    param.pContext = pContext;
    param.dwParam = 0; // decode: the decoder's own picture layout
    return Play_RegisterCallbackFunction(hPlay, dwKind, &param, PLAY_CALLBACK_PARAM_SIZE);
}

int32_t ChangeEnableFlags(HX_HANDLE hPlay, uint32_t dwSet, uint32_t dwClear) {
    uint32_t dwFlags = 0;
    int32_t nResult = GetU32(hPlay, PLAY_ATTRIBUTE_ENABLE, &dwFlags);
    if (nResult < 0)
        return nResult;
    return SetU32(hPlay, PLAY_CONTROL_ENABLE, (dwFlags | dwSet) & ~dwClear);
}

bool PostIfWindow(HWND hWnd, UINT nMsg, WPARAM wParam, LPARAM lParam) {
    if (hWnd == 0 || nMsg == 0 || !display::IsWindowAlive(hWnd))
        return false;
    return display::PostWindowMessage(hWnd, nMsg, wParam, lParam);
}

// ---- Opening ----

LONG OpenPlayer(PLAY_CREATE_PARAM &param, HX_HANDLE *phPlay, LONG nNotThisFormat) {
    param.dwSize = PLAY_CREATE_PARAM_SIZE;
    param.dwExtensionSize = sizeof(HX_EXTENSION);
    PLAY_HANDLE hPlay = nullptr;
    const int32_t nResult = Play_CreateW(&hPlay, &param);
    if (nResult < 0)
        return nResult == PLAY_E_NOT_SUPPORTED ? nNotThisFormat : HX_E_FAIL;
    void *pExtension = nullptr;
    if (Play_GetExtension(hPlay, &pExtension) < 0 || pExtension == nullptr) {
        Play_Release(hPlay);
        return HX_E_FAIL;
    }
    try {
        CHxRegistry::Get().Add(std::make_shared<CHxPlayer>(hPlay, static_cast<HX_EXTENSION *>(pExtension)));
    } catch (...) {
        Play_Release(hPlay);
        return HX_E_FAIL;
    }
    *phPlay = hPlay;
    return HX_OK;
}

// Ends the recording of a player: no frame is written once this returns.
void EndRecording(CHxPlayer &player) {
    Register(player.hPlay, PLAY_CALLBACK_STREAM_PARSE, nullptr, nullptr);
    std::unique_ptr<platform::CFile> pFile;
    {
        platform::CLockGuard guard(player.recordLock);
        pFile = std::move(player.pRecordFile);
        StoreField(player.pExt->hRecordFile, HANDLE(nullptr));
    }
    // Closed outside the lock: the writer may wait for it meanwhile.
    pFile.reset();
}

LONG ClosePlayer(HX_HANDLE hPlay) {
    if (hPlay == nullptr)
        return HX_E_BAD_ARGUMENT;
    // Taken out of the registry first: no other call of the family finds
    // the player from here on.
    std::shared_ptr<CHxPlayer> pPlayer = CHxRegistry::Get().Take(hPlay);
    if (pPlayer) {
        EndRecording(*pPlayer);
        platform::CLockGuard guard(pPlayer->snapshotLock);
        StoreField(pPlayer->pExt->wSnapshotParam, WPARAM(0));
        pPlayer->pSnapshotName.reset();
    }
    // The player's threads end here; the state (and any writer still
    // holding it) goes after them.
    return Play_Release(hPlay) < 0 ? HX_E_BAD_ARGUMENT : HX_OK;
}

// ---- Adapters (on the player's threads) ----

int32_t QV_CALL RecordWriter(PLAY_HANDLE hPlay, FrameRecord *pFrame, void *pContext) {
    CHxPlayer *pPlayer = static_cast<CHxPlayer *>(pContext);
    if (pPlayer == nullptr || pFrame == nullptr)
        return 0;
    int64_t llPosition = -1;
    {
        platform::CLockGuard guard(pPlayer->recordLock);
        platform::CFile *pFile = pPlayer->pRecordFile.get();
        if (pFile == nullptr)
            return 0; // the recording ended while this frame was on its way
        // Write failures are not reported: the recording goes on.
        if (pFrame->dwHeaderLength > 0 && pFrame->pHeader != nullptr)
            pFile->Write(pFrame->pHeader, pFrame->dwHeaderLength);
        if (pFrame->dwPayloadLength > 0 && pFrame->pPayload != nullptr)
            pFile->Write(pFrame->pPayload, pFrame->dwPayloadLength);
        llPosition = pFile->Tell();
    }
    if (llPosition >= 0 && uint64_t(llPosition) >= g_ullRecordSizeLimit.load(std::memory_order_relaxed)) {
        HX_EXTENSION *pExt = pPlayer->pExt;
        PostIfWindow(LoadField(pExt->hRecordSizeWnd), LoadField(pExt->nRecordSizeMsg), 0, LPARAM(hPlay));
    }
    return 0;
}

int32_t QV_CALL FileEndPoster(PLAY_HANDLE hPlay, void *) {
    HX_EXTENSION *pExt = ExtensionOf(hPlay);
    if (pExt != nullptr)
        PostIfWindow(LoadField(pExt->hEndWnd), LoadField(pExt->nEndMsg), LoadField(pExt->wEndParam),
                     LoadField(pExt->lEndParam));
    return 0;
}

LONG FrameTypeOf(uint32_t dwFourCC) {
    switch (dwFourCC) {
    case PLAY_PIXEL_FORMAT_YV12:
        return HX_FRAME_TYPE_YV12;
    case PLAY_PIXEL_FORMAT_YUY2:
        return HX_FRAME_TYPE_YUY2;
    case PLAY_PIXEL_FORMAT_UYVY:
        return HX_FRAME_TYPE_UYVY;
    case PLAY_PIXEL_FORMAT_I420:
        return HX_FRAME_TYPE_I420;
    case PLAY_PIXEL_FORMAT_NV12:
        return HX_FRAME_TYPE_NV12;
    case PLAY_PIXEL_FORMAT_CODE3: // the RGB layout
        return HX_FRAME_TYPE_RGB;
    default:
        return HX_FRAME_TYPE_UNKNOWN;
    }
}

int32_t QV_CALL DecodeAdapter(PLAY_HANDLE hPlay, PLAY_FRAME *pFrame, void *pUser) {
    HX_EXTENSION *pExt = ExtensionOf(hPlay);
    if (pExt == nullptr || pFrame == nullptr || pFrame->pFrame == nullptr)
        return 0;
    const HX_DECODE_CALLBACK pfn = LoadField(pExt->pfnDecode);
    if (pfn == nullptr)
        return 0;
    HX_FRAME_INFO info{};
    const int32_t nType = pFrame->pFrame->nType;
    if (nType == DEMUX_FRAME_AUDIO) {
        info.nType = HX_FRAME_TYPE_AUDIO;
        pfn(hPlay, pFrame->output.audio.pBuffer, LONG(pFrame->output.audio.dwBufferSize), &info, pUser);
    } else if (nType >= DEMUX_FRAME_I && nType <= DEMUX_FRAME_DROPPABLE) {
        const DecodedPicture &picture = pFrame->output.picture;
        info.nWidth = LONG(picture.dwWidth);
        info.nHeight = LONG(picture.dwHeight);
        info.dwTimeStamp = pFrame->pFrame->dwTimestamp;
        info.nType = FrameTypeOf(picture.dwFourCC);
        float fRate = 0.0f;
        info.nFrameRate = GetFloat(hPlay, PLAY_ATTRIBUTE_VIDEO_FRAME_RATE, &fRate) >= 0 && fRate > 0.5f
                              ? LONG(fRate + 0.5f)
                              : HX_DEFAULT_FRAME_RATE;
        pfn(hPlay, picture.pBuffer, LONG(picture.dwBufferSize), &info, pUser);
    }
    return 0;
}

int32_t QV_CALL DrawAdapter(PLAY_HANDLE hPlay, PLAY_DC_RENDER *pRender, void *pUser) {
    HX_EXTENSION *pExt = ExtensionOf(hPlay);
    if (pExt == nullptr || pRender == nullptr)
        return 0;
    const HX_DRAW_CALLBACK pfn = LoadField(pExt->pfnDraw);
    if (pfn != nullptr)
        pfn(hPlay, pRender->hDC, pUser);
    return 0;
}

template <class F> PLAY_CALLBACK_FUNCTION AsCallback(F pfn) {
    return reinterpret_cast<PLAY_CALLBACK_FUNCTION>(pfn);
}

// ---- Files ----

// Created anew (an existing file truncated) for writing; null when that
// fails, a null or unconvertible path included.
std::unique_ptr<platform::CFile> CreateOutputFile(const char *szPath) {
    platform::WString wide;
    if (api::AnsiPathToWide(szPath, wide) < 0)
        return nullptr;
    auto pFile = std::make_unique<platform::CFile>();
    if (!pFile->Open(wide.c_str(), platform::kFileWrite | platform::kFileCreate) || !pFile->SetEnd())
        return nullptr;
    return pFile;
}

// The snapshot into page memory and then into the open file as a BMP file.
// False when the snapshot fails; failed writes are not reported.
bool WriteSnapshot(HX_HANDLE hPlay, platform::CFile &file) {
    api::CSnapshotPicture picture;
    if (picture.Take(hPlay) < 0)
        return false;
    api::WriteBmp(file, picture);
    return true;
}

// ---- Function table ----

struct NamedFunction {
    const char *szName;
};

#define HX_TABLE_ENTRY(name) {#name},
constexpr NamedFunction kFunctions[] = {HX_FOR_EACH_FUNCTION(HX_TABLE_ENTRY)};
#undef HX_TABLE_ENTRY
static_assert(sizeof(kFunctions) / sizeof(kFunctions[0]) == HX_FUNCTION_COUNT, "one entry per name");

bool SameNameIgnoringCase(const char *a, const char *b) {
    for (;; ++a, ++b) {
        const unsigned char ca = static_cast<unsigned char>(*a);
        const unsigned char cb = static_cast<unsigned char>(*b);
        const unsigned char la = ca >= 'A' && ca <= 'Z' ? ca - 'A' + 'a' : ca;
        const unsigned char lb = cb >= 'A' && cb <= 'Z' ? cb - 'A' + 'a' : cb;
        if (la != lb)
            return false;
        if (la == 0)
            return true;
    }
}

} // namespace

namespace api::hx {

void SetRecordSizeLimitForTesting(uint64_t ullLimit) {
    g_ullRecordSizeLimit.store(ullLimit == 0 ? HX_RECORD_SIZE_LIMIT : ullLimit);
}

PLAY_DECODE_CALLBACK DecodeAdapterForTesting() {
    return DecodeAdapter;
}

} // namespace api::hx

// ---- Exported functions ----

QV_EXTERN_C LONG QV_CALL HX_GetVersion(DWORD *pdwVersion) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (pdwVersion == nullptr)
            return HX_E_BAD_ARGUMENT;
        *pdwVersion = HX_VERSION;
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_QueryFunction(const char *szName, BOOL *pbFound) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (pbFound == nullptr || szName == nullptr)
            return HX_E_BAD_ARGUMENT;
        for (const NamedFunction &f : kFunctions) {
            if (SameNameIgnoringCase(szName, f.szName)) {
                *pbFound = 1;
                return HX_OK;
            }
        }
        *pbFound = 0;
        return HX_E_NOT_OFFERED;
    });
}

QV_EXTERN_C LONG QV_CALL HX_Initial(void) {
    return HX_OK;
}

QV_EXTERN_C LONG QV_CALL HX_Refresh(void) {
    return HX_OK;
}

QV_EXTERN_C LONG QV_CALL HX_Free(void) {
    return HX_OK;
}

QV_EXTERN_C LONG QV_CALL HX_OpenFile(const char *szFileName, HX_HANDLE *phPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (phPlay == nullptr)
            return HX_E_BAD_ARGUMENT;
        *phPlay = nullptr;
        platform::WString wide;
        if (api::AnsiPathToWide(szFileName, wide) < 0)
            return HX_E_BAD_ARGUMENT;
        PLAY_CREATE_PARAM param{};
        param.dwType = PLAY_MODE_FILE;
        param.pSource = wide.c_str();
        return OpenPlayer(param, phPlay, HX_E_FILE_FORMAT);
    });
}

QV_EXTERN_C LONG QV_CALL HX_OpenStream(const BYTE *pHeader, DWORD dwHeaderSize, DWORD, HX_HANDLE *phPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (phPlay == nullptr)
            return HX_E_BAD_ARGUMENT;
        *phPlay = nullptr;
        PLAY_CREATE_PARAM param{};
        param.dwType = PLAY_MODE_STREAM;
        param.pSource = pHeader;
        param.dwSourceSize = dwHeaderSize;
        return OpenPlayer(param, phPlay, HX_E_STREAM_FORMAT);
    });
}

QV_EXTERN_C LONG QV_CALL HX_CloseFile(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&] { return ClosePlayer(hPlay); });
}

QV_EXTERN_C LONG QV_CALL HX_CloseStream(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&] { return ClosePlayer(hPlay); });
}

QV_EXTERN_C LONG QV_CALL HX_GetFileTime(HX_HANDLE hPlay, DWORD *pdwSeconds) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (pdwSeconds == nullptr)
            return HX_E_BAD_ARGUMENT;
        uint32_t dwMs = 0;
        if (GetU32(hPlay, PLAY_ATTRIBUTE_FILE_DURATION, &dwMs) < 0 || dwMs < 1)
            return HX_E_FAIL;
        *pdwSeconds = dwMs / 1000;
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_InputData(HX_HANDLE hPlay, const BYTE *pData, DWORD dwSize) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        const int32_t nResult = Play_InputData(hPlay, pData, dwSize);
        if (nResult >= 0)
            return HX_OK;
        return nResult == PLAY_E_BUFFER_FULL ? HX_E_BUFFER_FULL : HX_E_FAIL;
    });
}

QV_EXTERN_C LONG QV_CALL HX_PlaySound(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        return ChangeEnableFlags(hPlay, PLAY_ENABLE_SOUND, 0) < 0 ? HX_E_BAD_ARGUMENT : HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_StopSound(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        return ChangeEnableFlags(hPlay, 0, PLAY_ENABLE_SOUND) < 0 ? HX_E_BAD_ARGUMENT : HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_SetVolume(HX_HANDLE hPlay, DWORD dwVolume) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        return SetU32(hPlay, PLAY_CONTROL_VOLUME, dwVolume) < 0 ? HX_E_FAIL : HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_Play(HX_HANDLE hPlay, HWND hWnd) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (hWnd != 0) {
            if (ChangeEnableFlags(hPlay, PLAY_ENABLE_DISPLAY, 0) < 0)
                return HX_E_BAD_ARGUMENT;
            // An existing viewport 0 (a window given again to resume after a
            // pause, or a new one) is updated in place.
            PLAY_VIEWPORT viewport{};
            viewport.dwSize = PLAY_VIEWPORT_SIZE;
            viewport.dwID = 0;
            viewport.hDestWnd = hWnd;
            if (Play_AddViewport(hPlay, &viewport) < 0)
                return HX_E_BAD_ARGUMENT;
        } else {
            Play_RemoveViewport(hPlay, 0); // none may exist
        }
        if (SetSpeed(hPlay, 1.0f) < 0 || SetAction(hPlay, PLAY_ACTION_PLAY_FORWARD) < 0)
            return HX_E_FAIL;
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_Stop(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(
        HX_E_FAIL, [&]() -> LONG { return SetAction(hPlay, PLAY_ACTION_STOP) < 0 ? HX_E_FAIL : HX_OK; });
}

QV_EXTERN_C LONG QV_CALL HX_Pause(HX_HANDLE hPlay, DWORD) {
    return GuardedValue<LONG>(
        HX_E_FAIL, [&]() -> LONG { return SetAction(hPlay, PLAY_ACTION_PAUSE) < 0 ? HX_E_FAIL : HX_OK; });
}

QV_EXTERN_C LONG QV_CALL HX_SetPlayTime(HX_HANDLE hPlay, DWORD dwSeconds) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        // Computed wide: a time past 2^32 ms would otherwise wrap to an
        // early position instead of being refused.
        const uint64_t ullMs = uint64_t(dwSeconds) * 1000u;
        if (ullMs > UINT32_MAX)
            return HX_E_FAIL;
        const uint32_t dwMs = uint32_t(ullMs);
        return Play_Seek(hPlay, PLAY_SEEK_TIME, &dwMs, sizeof(dwMs)) < 0 ? HX_E_FAIL : HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_GetPlayTime(HX_HANDLE hPlay, DWORD *pdwTime) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (pdwTime == nullptr)
            return HX_E_BAD_ARGUMENT;
        uint32_t dwMs = 0;
        if (GetU32(hPlay, PLAY_ATTRIBUTE_PLAY_DURATION, &dwMs) < 0)
            return HX_E_FAIL;
        // Past 71 minutes the product no longer fits: it saturates rather
        // than wrapping to a small time.
        const uint64_t ullValue = uint64_t(dwMs) * 1000u;
        *pdwTime = ullValue > UINT32_MAX ? UINT32_MAX : DWORD(ullValue);
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_SetSpeed(HX_HANDLE hPlay, LONG nExponent) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        // Exponents beyond these leave the float range; the core clamps to
        // 1/64 .. 64 anyway.
        const int nClamped = nExponent < -126 ? -126 : nExponent > 127 ? 127 : int(nExponent);
        return SetSpeed(hPlay, std::ldexp(1.0f, nClamped)) < 0 ? HX_E_FAIL : HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_GetSpeed(HX_HANDLE hPlay, LONG *pnExponent) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (pnExponent == nullptr)
            return HX_E_BAD_ARGUMENT;
        float fSpeed = 0.0f;
        if (GetFloat(hPlay, PLAY_ATTRIBUTE_SPEED, &fSpeed) < 0 || !(fSpeed > 0.0f))
            return HX_E_FAIL;
        // Rounded half away from zero.
        *pnExponent = LONG(std::lround(std::log(double(fSpeed)) / std::log(2.0)));
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_OneByOne(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        uint32_t dwMode = 0;
        if (GetU32(hPlay, PLAY_ATTRIBUTE_MODE, &dwMode) < 0)
            return HX_E_FAIL;
        uint32_t dwIndex = 0;
        if (dwMode == PLAY_MODE_FILE) {
            if (SetAction(hPlay, PLAY_ACTION_PAUSE) < 0 ||
                GetU32(hPlay, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwIndex) < 0 ||
                SeekIndex(hPlay, dwIndex + 1) < 0)
                return HX_E_FAIL;
        } else if (dwMode == PLAY_MODE_STREAM) {
            // A stream cannot seek: it plays on briefly until one more video
            // frame was played.
            if (SetAction(hPlay, PLAY_ACTION_PAUSE) < 0 ||
                GetU32(hPlay, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwIndex) < 0)
                return HX_E_FAIL;
            uint32_t dwNow = dwIndex;
            for (int nRound = 0; nRound < 100 && dwNow <= dwIndex; ++nRound) {
                if (SetAction(hPlay, PLAY_ACTION_PLAY_FORWARD) < 0)
                    return HX_E_FAIL;
                platform::SleepMs(1);
                if (SetAction(hPlay, PLAY_ACTION_PAUSE) < 0 ||
                    GetU32(hPlay, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwNow) < 0)
                    return HX_E_FAIL;
            }
        }
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_OneByOneBack(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        uint32_t dwIndex = 0;
        if (SetAction(hPlay, PLAY_ACTION_PAUSE) < 0 ||
            GetU32(hPlay, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX, &dwIndex) < 0 ||
            SeekIndex(hPlay, dwIndex > 0 ? dwIndex - 1 : 0) < 0)
            return HX_E_FAIL;
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_StartRecord(HX_HANDLE hPlay, const char *szFileName) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        const std::shared_ptr<CHxPlayer> pPlayer = FindPlayer(hPlay);
        if (!pPlayer)
            return HX_E_BAD_ARGUMENT;
        std::unique_ptr<platform::CFile> pFile = CreateOutputFile(szFileName);
        if (!pFile)
            return HX_E_CREATE_FILE;
        StreamInfo info{};
        uint32_t dwSize = sizeof(info);
        if (Play_GetAttribute(hPlay, PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &dwSize) < 0)
            return HX_E_FAIL;
        // The container's file head, so that the record file opens as a
        // recording of the same generation; 6000 files start with a frame.
        if (info.dwGeneration != DEMUX_GENERATION_6000)
            pFile->Write(info.szName, HX_RECORD_HEAD_SIZE);
        static_assert(sizeof(info.szName) == HX_RECORD_HEAD_SIZE, "the head is the name field");

        std::unique_ptr<platform::CFile> pEarlier;
        {
            // A recording under way ends here with its last frame written:
            // the writer switches files between two frames.
            platform::CLockGuard guard(pPlayer->recordLock);
            pEarlier = std::move(pPlayer->pRecordFile);
            pPlayer->pRecordFile = std::move(pFile);
            StoreField(pPlayer->pExt->hRecordFile, HANDLE(pPlayer->pRecordFile.get()));
        }
        pEarlier.reset();
        if (Register(hPlay, PLAY_CALLBACK_STREAM_PARSE, AsCallback(RecordWriter), pPlayer.get()) < 0) {
            EndRecording(*pPlayer);
            return HX_E_FAIL;
        }
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_StopRecord(HX_HANDLE hPlay) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        const std::shared_ptr<CHxPlayer> pPlayer = FindPlayer(hPlay);
        if (!pPlayer)
            return HX_E_BAD_ARGUMENT;
        if (Register(hPlay, PLAY_CALLBACK_STREAM_PARSE, nullptr, nullptr) < 0)
            return HX_E_BAD_ARGUMENT;
        EndRecording(*pPlayer);
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_Snapshot(HX_HANDLE hPlay, const char *szFileName) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        // The file first: it exists (empty) even when the snapshot fails.
        std::unique_ptr<platform::CFile> pFile = CreateOutputFile(szFileName);
        if (!pFile)
            return HX_E_CREATE_FILE;
        const bool bTaken = WriteSnapshot(hPlay, *pFile);
        const std::shared_ptr<CHxPlayer> pPlayer = FindPlayer(hPlay);
        if (pPlayer) {
            HX_EXTENSION *pExt = pPlayer->pExt;
            const HWND hWnd = LoadField(pExt->hSnapshotWnd);
            const UINT nMsg = LoadField(pExt->nSnapshotMsg);
            if (hWnd != 0 && nMsg != 0 && display::IsWindowAlive(hWnd)) {
                const size_t length = std::strlen(szFileName);
                std::unique_ptr<char[]> pCopy(new char[length + 1]);
                std::memcpy(pCopy.get(), szFileName, length + 1);
                WPARAM wParam;
                {
                    platform::CLockGuard guard(pPlayer->snapshotLock);
                    pPlayer->pSnapshotName = std::move(pCopy);
                    wParam = WPARAM(pPlayer->pSnapshotName.get());
                    StoreField(pExt->wSnapshotParam, wParam);
                }
                display::PostWindowMessage(hWnd, nMsg, wParam, LoadField(pExt->lSnapshotParam));
            }
        }
        pFile.reset();
        return bTaken ? HX_OK : HX_E_FAIL;
    });
}

QV_EXTERN_C LONG QV_CALL HX_GetPictureSize(HX_HANDLE hPlay, DWORD *pdwWidth, DWORD *pdwHeight) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        if (pdwWidth == nullptr || pdwHeight == nullptr)
            return HX_E_BAD_ARGUMENT;
        uint32_t dwWidth = 0, dwHeight = 0;
        if (GetU32(hPlay, PLAY_ATTRIBUTE_PICTURE_WIDTH, &dwWidth) < 0 ||
            GetU32(hPlay, PLAY_ATTRIBUTE_PICTURE_HEIGHT, &dwHeight) < 0)
            return HX_E_BAD_ARGUMENT;
        *pdwWidth = dwWidth;
        *pdwHeight = dwHeight;
        return HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_SetMessage(HX_HANDLE hPlay, DWORD dwKind, HWND hWnd, UINT nMsg) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        const std::shared_ptr<CHxPlayer> pPlayer = FindPlayer(hPlay);
        if (!pPlayer)
            return HX_E_BAD_ARGUMENT;
        HX_EXTENSION *pExt = pPlayer->pExt;
        switch (dwKind) {
        case HX_MESSAGE_FILE_END: {
            StoreField(pExt->hEndWnd, hWnd);
            StoreField(pExt->nEndMsg, nMsg);
            StoreField(pExt->wEndParam, WPARAM(0));
            StoreField(pExt->lEndParam, LPARAM(hPlay));
            const bool bOn = hWnd != 0 && nMsg != 0 && display::IsWindowAlive(hWnd);
            if (Register(hPlay, PLAY_CALLBACK_FILE_ENDED, bOn ? AsCallback(FileEndPoster) : nullptr,
                         nullptr) < 0)
                return HX_E_FAIL;
            return HX_OK;
        }
        case HX_MESSAGE_SNAPSHOT:
            StoreField(pExt->hSnapshotWnd, hWnd);
            StoreField(pExt->nSnapshotMsg, nMsg);
            StoreField(pExt->lSnapshotParam, LPARAM(hPlay));
            return HX_OK;
        case HX_MESSAGE_RECORD_SIZE:
            StoreField(pExt->hRecordSizeWnd, hWnd);
            StoreField(pExt->nRecordSizeMsg, nMsg);
            StoreField(pExt->wRecordSizeParam, WPARAM(0));
            StoreField(pExt->lRecordSizeParam, LPARAM(hPlay));
            return HX_OK;
        default:
            return HX_E_FAIL;
        }
    });
}

QV_EXTERN_C LONG QV_CALL HX_SetDecodeCallBack(HX_HANDLE hPlay, HX_DECODE_CALLBACK pfn, void *pUser) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        const std::shared_ptr<CHxPlayer> pPlayer = FindPlayer(hPlay);
        if (!pPlayer)
            return HX_E_BAD_ARGUMENT;
        StoreField(pPlayer->pExt->pfnDecode, pfn);
        if (pfn == nullptr)
            return Play_RegisterCallbackFunction(hPlay, PLAY_CALLBACK_DECODE, nullptr, 0) < 0 ? HX_E_FAIL
                                                                                              : HX_OK;
        // No viewport: nothing is to be shown, so the display is switched
        // off. A player without a display manager yet answers "not
        // supported", which means no viewport as well.
        uint32_t dwCount = 0;
        const int32_t nResult = Play_GetViewport(hPlay, nullptr, &dwCount);
        if (nResult == PLAY_E_NOT_SUPPORTED)
            dwCount = 0;
        else if (nResult < 0)
            return HX_E_FAIL;
        if (dwCount == 0 && ChangeEnableFlags(hPlay, 0, PLAY_ENABLE_DISPLAY) < 0)
            return HX_E_FAIL;
        return Register(hPlay, PLAY_CALLBACK_DECODE, AsCallback(DecodeAdapter), pUser) < 0 ? HX_E_FAIL
                                                                                           : HX_OK;
    });
}

QV_EXTERN_C LONG QV_CALL HX_SetDrawCallBack(HX_HANDLE hPlay, HX_DRAW_CALLBACK pfn, void *pUser) {
    return GuardedValue<LONG>(HX_E_FAIL, [&]() -> LONG {
        const std::shared_ptr<CHxPlayer> pPlayer = FindPlayer(hPlay);
        if (!pPlayer)
            return HX_E_BAD_ARGUMENT;
        StoreField(pPlayer->pExt->pfnDraw, pfn);
        return Register(hPlay, PLAY_CALLBACK_DC_RENDER, pfn ? AsCallback(DrawAdapter) : nullptr, pUser) < 0
                   ? HX_E_FAIL
                   : HX_OK;
    });
}
