// The base player: lifetime, validation header, play thread, controls,
// attributes and callbacks. The frame pipeline is in framepipeline.cpp, the
// play clock operations in playclock.cpp.
#include "core/baseplaymode.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>

#include "audio/adec.h"
#include "audio/sound.h"
#include "core/player.h"
#include "demux/basestream.h"
#include "demux/demux.h"
#include "platform/system.h"
#include "vdec/vdec.h"

namespace {

// Marks the thread that runs one of a player's client callbacks.
thread_local const CBasePlayMode *t_pCallbackPlayer = nullptr;

struct AttributeSlot {
    size_t offset;
    uint32_t size;
};

// Attributes 1 to 26 as they lie in the attribute block.
const AttributeSlot kAttributeSlots[26] = {
    {offsetof(PlayAttributes, dwMode), 4},
    {offsetof(PlayAttributes, dwEnable), 4},
    {offsetof(PlayAttributes, dwState), 4},
    {offsetof(PlayAttributes, dwPlayBackward), 4},
    {offsetof(PlayAttributes, fSpeed), 4},
    {offsetof(PlayAttributes, dwVolume), 4},
    {offsetof(PlayAttributes, color), PLAY_COLOR_SIZE},
    {offsetof(PlayAttributes, nCpuLimit), 4},
    {offsetof(PlayAttributes, dwFileIndexCompleted), 4},
    {offsetof(PlayAttributes, dwFileEnded), 4},
    {offsetof(PlayAttributes, dwPictureWidth), 4},
    {offsetof(PlayAttributes, dwPictureHeight), 4},
    {offsetof(PlayAttributes, dwBufferedFrameCount), 4},
    {offsetof(PlayAttributes, ullFileSize), 8},
    {offsetof(PlayAttributes, ullPlayDataSize), 8},
    {offsetof(PlayAttributes, dwFileDuration), 4},
    {offsetof(PlayAttributes, dwPlayDuration), 4},
    {offsetof(PlayAttributes, dwFileVideoFrameCount), 4},
    {offsetof(PlayAttributes, dwPlayVideoFrameIndex), 4},
    {offsetof(PlayAttributes, dwKeyFrameDistance), 4},
    {offsetof(PlayAttributes, dwKeyFrameInterval), 4},
    {offsetof(PlayAttributes, fVideoFrameRate), 4},
    {offsetof(PlayAttributes, fVideoBitrate), 4},
    {offsetof(PlayAttributes, fAudioFrameRate), 4},
    {offsetof(PlayAttributes, fAudioBitrate), 4},
    {offsetof(PlayAttributes, demuxProperty), DEMUX_STREAM_INFO_SIZE},
};

uint32_t StatusRecordSize(uint32_t dwCode) {
    switch (dwCode) {
    case PLAY_ATTRIBUTE_DEMUX_STATUS:
        return DEMUX_STATISTICS_SIZE;
    case PLAY_ATTRIBUTE_VDEC_STATUS:
        return VDEC_INFO_SIZE;
    case PLAY_ATTRIBUTE_OSD_STATUS:
        return OSD_STATUS_SIZE;
    case PLAY_ATTRIBUTE_DISPLAY_STATUS:
        return DISPLAY_STATUS_SIZE;
    case PLAY_ATTRIBUTE_ADEC_STATUS:
        return ADEC_STATUS_SIZE;
    case PLAY_ATTRIBUTE_SOUND_STATUS:
        return SOUND_STATUS_SIZE;
    default:
        return 0;
    }
}

uint32_t ReadU32(const void *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

} // namespace

const CBasePlayMode *CBasePlayMode::SwapCallbackMarker(const CBasePlayMode *pPlayer) {
    const CBasePlayMode *pPrevious = t_pCallbackPlayer;
    t_pCallbackPlayer = pPlayer;
    return pPrevious;
}

// ---------------------------------------------------------------------------
// Lifetime and validation header

CBasePlayMode::CBasePlayMode() {
    std::memcpy(m_abySignature, kPlayerSignature, sizeof(m_abySignature));
    m_pReleaseEvent = new platform::CEvent(false, false);
    if (!m_pReleaseEvent->Valid()) {
        delete m_pReleaseEvent;
        m_pReleaseEvent = nullptr;
    }
    InitPool(&m_pool);
    m_bPoolReady = true;
    m_clock.nSkipRowIndex = -1;
    m_clock.nThrottleHigh = kPlayThrottleHighDefault;
    m_clock.nThrottleLow = kPlayThrottleLowDefault;
    m_pDisplayLink = GetDisplayManagerLink();
    m_pOsdLink = GetOsdRendererLink();
    try {
        LibraryAddPlayer(this);
    } catch (...) {
        DestroyPool(&m_pool);
        delete m_pReleaseEvent;
        throw;
    }
}

CBasePlayMode::~CBasePlayMode() {
    // A subclass's Close has already run from its own destructor; this one
    // catches whatever is left (a failed open of the base only).
    CBasePlayMode::Close();
    DestroyComponents();
    std::memset(m_abySignature, 0, sizeof(m_abySignature));
    LibraryRemovePlayer(this);
    if (m_bPoolReady)
        DestroyPool(&m_pool);
    delete m_pReleaseEvent;
}

bool CBasePlayMode::TryAddRef() {
    if (m_nClosing.load() != 0 && m_pReleaseEvent != nullptr)
        return false;
    m_nRefCount.fetch_add(1);
    return true;
}

void CBasePlayMode::DropRef() {
    if (m_nRefCount.fetch_sub(1) - 1 == 0 && m_pReleaseEvent != nullptr)
        m_pReleaseEvent->Set();
}

bool CBasePlayMode::BeginClosing() {
    if (m_nClosing.exchange(1) != 0)
        return false;
    return m_pReleaseEvent != nullptr;
}

bool CBasePlayMode::WaitForLastReference() {
    DropRef();
    return m_pReleaseEvent->Wait(m_dwReleaseTimeout) == platform::kWaitSignalled;
}

bool CBasePlayMode::IsPlayThread() const {
    return t_pCallbackPlayer == this || (m_thread.Started() && m_thread.IsCurrent());
}

// ---------------------------------------------------------------------------
// Open and close

int32_t CBasePlayMode::Open(const PLAY_CREATE_PARAM *pParam) {
    m_dwExtensionSize = pParam->dwExtensionSize;
    if (m_dwExtensionSize != 0) {
        m_pExtension = new (std::nothrow) uint8_t[m_dwExtensionSize];
        if (m_pExtension == nullptr)
            return PLAY_E_OUT_OF_MEMORY;
        std::memset(m_pExtension, 0, m_dwExtensionSize);
    }
    m_pDone = new platform::CEvent(false, false);
    m_pWake = new platform::CSemaphore(0, kPlayWakeMax);
    if (!m_pDone->Valid() || !m_pWake->Valid())
        return PLAY_E_FAIL;
    m_nQuit.store(0);
    if (!m_thread.Start(PlayThreadMain, this))
        return PLAY_E_FAIL;
    return PLAY_OK;
}

int32_t CBasePlayMode::Close() {
    if (m_thread.Started()) {
        m_nQuit.store(1);
        if (m_pWake)
            m_pWake->Release(1);
        m_thread.Join(platform::kInfinite);
    }
    // The wake semaphore and the done event stay until the components are
    // destroyed: the display releases pictures through the semaphore from
    // its own thread until then.
    m_dwEnable.store(0);
    delete[] m_pExtension;
    m_pExtension = nullptr;
    m_dwExtensionSize = 0;
    return PLAY_OK;
}

void CBasePlayMode::FreeHandedOutFrames() {
    // Frames the client never gave back: their buffers go back to the pools
    // before the parser and the pool go away.
    std::set<PLAY_FRAME *> handedOut;
    {
        platform::CLockGuard guard(m_lock);
        handedOut.swap(m_handedOut);
    }
    for (PLAY_FRAME *pFrame : handedOut) {
        ReleaseFrame(pFrame);
        FreeClassBlock(&m_pool, 0, pFrame);
    }
}

void CBasePlayMode::DestroyComponents() {
    FreeHandedOutFrames();
    ReleaseFrame(&m_threadFrame);
    // Taken out under the lock, destroyed outside it: the display and the
    // sound output join threads of their own, which nothing may wait for
    // under a lock. The order is fixed: sound, audio, display, on-screen
    // display, video (its frames go back to the parser), parser.
    CSoundManager *pSound;
    CBaseAudioCodec *pAudioDecoder;
    void *pDisplayManager;
    void *pOsdRenderer;
    {
        platform::CLockGuard guard(m_lock);
        pSound = m_pSound;
        m_pSound = nullptr;
        pAudioDecoder = m_pAudioDecoder;
        m_pAudioDecoder = nullptr;
        pDisplayManager = m_pDisplayManager;
        m_pDisplayManager = nullptr;
        pOsdRenderer = m_pOsdRenderer;
        m_pOsdRenderer = nullptr;
    }
    DestroySoundOutput(pSound);
    DestroyAudioCodec(pAudioDecoder);
    if (pDisplayManager && m_pDisplayLink)
        m_pDisplayLink->pfnDestroy(pDisplayManager);
    if (pOsdRenderer && m_pOsdLink)
        m_pOsdLink->pfnDestroy(pOsdRenderer);
    DestroyVideoDecoder();
    platform::CLockGuard guard(m_lock);
    Demux_Destroy(m_pStream);
    m_pStream = nullptr;
    std::memset(&m_streamParam, 0, sizeof(m_streamParam));
    std::memset(&m_attr, 0, sizeof(m_attr));
    m_nState.store(PLAY_STATE_IDLE);
    m_dwBufferedCount.store(0);
    m_window = StatisticsWindow{};
    m_firstFrame = FramePosition{};
    m_lastVideoFrame = FramePosition{};
    {
        platform::CLockGuard callbackGuard(m_callbackLock);
        std::memset(m_aCallbacks, 0, sizeof(m_aCallbacks));
    }
    m_clock = PlayClock{};
    m_clock.nSkipRowIndex = -1;
    m_nThrottled.store(0);
    m_nCatchUp = 0;
    m_bSeekDeferred.store(false);
    // Last: the play thread has ended (Close) and the display, which
    // released pictures through the semaphore, is gone.
    delete m_pWake;
    m_pWake = nullptr;
    delete m_pDone;
    m_pDone = nullptr;
}

int32_t CBasePlayMode::GetExtension(void **ppExtension) {
    if (m_pExtension == nullptr)
        return PLAY_E_NOT_SUPPORTED;
    *ppExtension = m_pExtension;
    return PLAY_OK;
}

// ---------------------------------------------------------------------------
// Enable flags

uint32_t CBasePlayMode::NormaliseEnableFlags(uint32_t dwFlags) {
    if (dwFlags & PLAY_ENABLE_DECODE_ON_DEMAND) {
        dwFlags &= ~(PLAY_ENABLE_SOUND | PLAY_ENABLE_DISPLAY);
        dwFlags |= PLAY_ENABLE_NO_CPU_LIMIT;
    }
    if (!(dwFlags & PLAY_ENABLE_VIDEO_DECODE))
        dwFlags &= ~(PLAY_ENABLE_MULTITHREAD_DECODE | PLAY_ENABLE_HARDWARE_DECODE | PLAY_ENABLE_NO_CPU_LIMIT |
                     PLAY_ENABLE_RESET_ON_GAP | PLAY_ENABLE_DISPLAY);
    if (!(dwFlags & PLAY_ENABLE_AUDIO_DECODE))
        dwFlags &= ~PLAY_ENABLE_SOUND;
    if (dwFlags & PLAY_ENABLE_DISPLAY) {
        if (!(dwFlags & (PLAY_ENABLE_DIRECT3D9 | PLAY_ENABLE_DIRECTDRAW7)))
            dwFlags |= PLAY_ENABLE_DIRECTDRAW7;
    } else {
        dwFlags &= ~(PLAY_ENABLE_DIRECT3D9 | PLAY_ENABLE_DIRECTDRAW7);
    }
    if (!(dwFlags & PLAY_ENABLE_DIRECT3D9))
        dwFlags &= ~PLAY_ENABLE_D3D9_IMMEDIATE;
    if (!(dwFlags & PLAY_ENABLE_SOUND))
        dwFlags &= ~PLAY_ENABLE_SOUND_SYNC;
    return dwFlags;
}

uint32_t CBasePlayMode::DefaultEnableFlags() {
#ifdef _WIN32
    return platform::OsMajorVersion() >= 6 ? PLAY_ENABLE_DEFAULT_NT6 : PLAY_ENABLE_DEFAULT;
#else
    // No system here has the older display back end as its natural choice.
    return PLAY_ENABLE_DEFAULT_NT6;
#endif
}

uint32_t CBasePlayMode::DisplayFlagsFor(uint32_t dwEnable) {
    uint32_t dwFlags = 0;
    if (dwEnable & PLAY_ENABLE_D3D9_IMMEDIATE)
        dwFlags |= DISPLAY_FLAG_D3D9_IMMEDIATE;
    if (dwEnable & PLAY_ENABLE_DIRECT3D9)
        dwFlags |= DISPLAY_FLAG_DIRECT3D9;
    if (dwEnable & PLAY_ENABLE_DIRECTDRAW7)
        dwFlags |= DISPLAY_FLAG_DIRECTDRAW7;
#ifndef _WIN32
    // Neither Direct3D nor DirectDraw exists here: the X11 back end, which
    // sits in the bitmap slot, shows what either would have shown.
    if (dwFlags & (DISPLAY_FLAG_DIRECT3D9 | DISPLAY_FLAG_DIRECTDRAW7))
        dwFlags |= DISPLAY_FLAG_DRAWDIB;
#endif
    return dwFlags;
}

int32_t CBasePlayMode::SetEnableFlag(uint32_t dwFlags) {
    platform::CLockGuard guard(m_lock);
    dwFlags = NormaliseEnableFlags(dwFlags);
    m_dwEnable.store(dwFlags);
    m_attr.dwEnable = dwFlags;
    m_streamParam.dwDisplayFlags = DisplayFlagsFor(dwFlags);
    return PLAY_OK;
}

bool CBasePlayMode::IsAcceptedPixelFormat(uint32_t dwFormat) {
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
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------
// Stream parameters and attributes

void CBasePlayMode::InitStreamParam(const PLAY_CREATE_PARAM *pParam) {
    StreamParamBlock &sp = m_streamParam;
    std::memset(&sp, 0, sizeof(sp));
    sp.vdecParam.dwSize = VDEC_PARAM_SIZE;
    sp.vdecParam.dwFlags = VDEC_FLAG_MULTITHREAD | VDEC_FLAG_HARDWARE;
    sp.dwRenewTimeLimitMs = kPlayRenewNever;
    sp.dwRenewPictureLimit = kPlayRenewNever;
    sp.osdSetting.dwSize = OSD_SETTING_SIZE;
    sp.dwDisplayFlags = DisplayFlagsFor(EnableFlags());
    if (pParam != nullptr && pParam->pSoundDevice != nullptr)
        std::memcpy(&sp.soundDevice, pParam->pSoundDevice, sizeof(GUID));
    sp.soundSetting.dwSize = SOUND_SETTING_SIZE;
    sp.soundSetting.dwBufferTime = kPlaySoundBufferMs;
    sp.soundSetting.dwStartThreshold = kPlaySoundStartMs;
    sp.soundSetting.pDeviceGuid =
        (pParam != nullptr && pParam->pSoundDevice != nullptr) ? &sp.soundDevice : nullptr;
    sp.soundSetting.wfx.wFormatTag = SOUND_FORMAT_TAG;
    sp.soundSetting.wfx.nChannels = SOUND_CHANNELS;
    sp.soundSetting.wfx.nSamplesPerSec = SOUND_SAMPLES_PER_SEC;
    sp.soundSetting.wfx.nAvgBytesPerSec = SOUND_AVG_BYTES_PER_SEC;
    sp.soundSetting.wfx.nBlockAlign = SOUND_BLOCK_ALIGN;
    sp.soundSetting.wfx.wBitsPerSample = SOUND_BITS_PER_SAMPLE;
    sp.soundSetting.wfx.cbSize = 0;
}

int32_t CBasePlayMode::InitAttributes() {
    platform::CLockGuard guard(m_lock);
    std::memset(&m_attr, 0, sizeof(m_attr));
    const uint32_t dwEnable = NormaliseEnableFlags(DefaultEnableFlags());
    m_dwEnable.store(dwEnable);
    m_attr.dwEnable = dwEnable;
    m_nState.store(PLAY_STATE_IDLE);
    m_attr.fSpeed = PLAY_SPEED_DEFAULT;
    m_attr.color.dwSize = PLAY_COLOR_SIZE;
    m_attr.color.dwBrightness = PLAY_COLOR_DEFAULT;
    m_attr.color.dwContrast = PLAY_COLOR_DEFAULT;
    m_attr.color.dwSaturation = PLAY_COLOR_DEFAULT;
    m_attr.color.dwHue = PLAY_COLOR_DEFAULT;
    m_attr.nCpuLimit = PLAY_CPU_LIMIT_DEFAULT;
    m_attr.demuxProperty.dwSize = DEMUX_STREAM_INFO_SIZE;
    int32_t nResult = PLAY_OK;
    if (m_pStream != nullptr)
        nResult = Demux_GetInfo(m_pStream, &m_attr.demuxProperty);
    m_clock.nThrottleHigh = kPlayThrottleHighDefault;
    m_clock.nThrottleLow = kPlayThrottleLowDefault;
    return nResult;
}

PlayAttributes CBasePlayMode::Attributes() {
    platform::CLockGuard guard(m_lock);
    PlayAttributes attr = m_attr;
    attr.dwState = static_cast<uint32_t>(m_nState.load());
    attr.dwEnable = m_dwEnable.load();
    attr.dwBufferedFrameCount = m_dwBufferedCount.load();
    return attr;
}

uint32_t CBasePlayMode::HandedOutFrameCount() {
    platform::CLockGuard guard(m_lock);
    return static_cast<uint32_t>(m_handedOut.size());
}

int32_t CBasePlayMode::GetAttribute(uint32_t dwCode, void *pBuffer, uint32_t *pdwSize) {
    if (dwCode == PLAY_ATTRIBUTE_RESERVED)
        return PLAY_E_NOT_SUPPORTED;
    if (dwCode < PLAY_ATTRIBUTE_FIRST || dwCode > PLAY_ATTRIBUTE_RESERVED)
        return PLAY_E_INVALID_VALUE;
    if (dwCode <= PLAY_ATTRIBUTE_DEMUX_PROPERTY) {
        const AttributeSlot &slot = kAttributeSlots[dwCode - 1];
        if (*pdwSize < slot.size)
            return PLAY_E_BAD_SIZE;
        const PlayAttributes attr = Attributes();
        std::memcpy(pBuffer, reinterpret_cast<const uint8_t *>(&attr) + slot.offset, slot.size);
        *pdwSize = slot.size;
        return PLAY_OK;
    }

    // Component status: a zero record with its size, filled by the component
    // when it exists.
    const uint32_t dwRecordSize = StatusRecordSize(dwCode);
    if (*pdwSize < dwRecordSize)
        return PLAY_E_BAD_SIZE;
    union {
        StreamStatistics demux;
        DecoderInfo vdec;
        OSD_STATUS osd;
        DISPLAY_STATUS display;
        ADEC_STATUS adec;
        SOUND_STATUS sound;
    } record;
    std::memset(&record, 0, sizeof(record));
    std::memcpy(&record, &dwRecordSize, sizeof(dwRecordSize));
    int32_t nResult = PLAY_OK;
    {
        platform::CLockGuard guard(m_lock);
        switch (dwCode) {
        case PLAY_ATTRIBUTE_DEMUX_STATUS:
            if (m_pStream)
                nResult = m_pStream->GetStatistics(&record.demux);
            break;
        case PLAY_ATTRIBUTE_VDEC_STATUS:
            if (m_pVideoDecoder)
                nResult = Vdec_GetDecoderInfo(m_pVideoDecoder, &record.vdec);
            break;
        case PLAY_ATTRIBUTE_OSD_STATUS:
            if (m_pOsdRenderer && m_pOsdLink)
                nResult = m_pOsdLink->pfnGetStatus(m_pOsdRenderer, &record.osd);
            break;
        case PLAY_ATTRIBUTE_DISPLAY_STATUS:
            if (m_pDisplayManager && m_pDisplayLink)
                nResult = m_pDisplayLink->pfnGetStatus(m_pDisplayManager, &record.display);
            break;
        case PLAY_ATTRIBUTE_ADEC_STATUS:
            if (m_pAudioDecoder)
                nResult = m_pAudioDecoder->GetStatus(&record.adec);
            break;
        case PLAY_ATTRIBUTE_SOUND_STATUS:
            if (m_pSound)
                nResult = GetSoundStatus(m_pSound, &record.sound);
            break;
        default:
            break;
        }
    }
    if (nResult < 0)
        return nResult;
    std::memcpy(pBuffer, &record, dwRecordSize);
    *pdwSize = dwRecordSize;
    return PLAY_OK;
}

// ---------------------------------------------------------------------------
// Controls

int32_t CBasePlayMode::SetControl(uint32_t dwCode, const void *pValue, uint32_t dwSize) {
    platform::CLockGuard guard(m_lock);
    switch (dwCode) {
    case PLAY_CONTROL_ENABLE:
        if (dwSize < 4)
            return PLAY_E_BAD_SIZE;
        return SetEnableFlag(ReadU32(pValue));
    case PLAY_CONTROL_SPEED: {
        if (dwSize < 4)
            return PLAY_E_BAD_SIZE;
        float fSpeed;
        std::memcpy(&fSpeed, pValue, sizeof(fSpeed));
        if (std::isnan(fSpeed) || fSpeed <= PLAY_SPEED_MIN)
            fSpeed = PLAY_SPEED_MIN;
        else if (fSpeed >= PLAY_SPEED_MAX)
            fSpeed = PLAY_SPEED_MAX;
        m_attr.fSpeed = fSpeed;
        if (m_pDisplayManager && m_pDisplayLink && fSpeed < 0.125f)
            m_pDisplayLink->pfnDiscardPending(m_pDisplayManager);
        if (m_pSound) {
            if (fSpeed >= SOUND_SPEED_MIN && fSpeed <= SOUND_SPEED_MAX)
                SetSoundSpeed(m_pSound, fSpeed);
            else
                StopSoundOutput(m_pSound);
        }
        SetFrameRate(m_attr.fVideoFrameRate, fSpeed);
        return PLAY_OK;
    }
    case PLAY_CONTROL_VOLUME: {
        if (dwSize < 4)
            return PLAY_E_BAD_SIZE;
        uint32_t dwVolume = ReadU32(pValue);
        if (dwVolume >= PLAY_VOLUME_MAX)
            dwVolume = PLAY_VOLUME_MAX;
        m_attr.dwVolume = dwVolume;
        if (m_pSound)
            return SetSoundVolume(m_pSound, dwVolume);
        return PLAY_OK;
    }
    case PLAY_CONTROL_COLOR: {
        if (dwSize < PLAY_COLOR_SIZE)
            return PLAY_E_BAD_SIZE;
        PLAY_COLOR color;
        std::memcpy(&color, pValue, sizeof(color));
        auto clamp = [](uint32_t v) { return v >= PLAY_COLOR_MAX ? PLAY_COLOR_MAX : v; };
        m_attr.color.dwSize = PLAY_COLOR_SIZE;
        m_attr.color.dwBrightness = clamp(color.dwBrightness);
        m_attr.color.dwContrast = clamp(color.dwContrast);
        m_attr.color.dwSaturation = clamp(color.dwSaturation);
        m_attr.color.dwHue = clamp(color.dwHue);
        m_attr.color.dwReserved = 0;
        if (m_pVideoDecoder)
            return Vdec_SetColor(m_pVideoDecoder, &m_attr.color);
        return PLAY_OK;
    }
    case PLAY_CONTROL_CPU_LIMIT: {
        if (dwSize < 4)
            return PLAY_E_BAD_SIZE;
        int32_t nLimit = static_cast<int32_t>(ReadU32(pValue));
        if (nLimit < PLAY_CPU_LIMIT_MIN)
            nLimit = PLAY_CPU_LIMIT_MIN;
        else if (nLimit > PLAY_CPU_LIMIT_MAX)
            nLimit = PLAY_CPU_LIMIT_MAX;
        m_attr.nCpuLimit = nLimit;
        const int32_t nHigh = nLimit * 85 / 100;
        m_clock.nThrottleHigh = nHigh > 50 ? nHigh : 50;
        m_clock.nThrottleLow = m_clock.nThrottleHigh * 50 / 100;
        return PLAY_OK;
    }
    case PLAY_CONTROL_ACTION: // the play modes answer actions
    default:
        return PLAY_E_NOT_SUPPORTED;
    }
}

// ---------------------------------------------------------------------------
// Display operations

int32_t CBasePlayMode::EnsureDisplayManager() {
    // Created outside the player lock: starting the manager waits for its
    // display thread. Two threads racing here keep the first one installed.
    uint32_t dwFlags;
    {
        platform::CLockGuard guard(m_lock);
        if (m_pDisplayManager)
            return PLAY_OK;
        if (m_pDisplayLink == nullptr)
            return PLAY_E_NOT_SUPPORTED;
        dwFlags = DisplayFlags();
        m_streamParam.dwDisplayFlags = dwFlags;
    }
    void *pManager = nullptr;
    const int32_t nResult = m_pDisplayLink->pfnCreate(dwFlags, &pManager);
    if (nResult < 0)
        return nResult;
    {
        platform::CLockGuard guard(m_lock);
        if (m_pDisplayManager == nullptr) {
            m_pDisplayManager = pManager;
            pManager = nullptr;
        }
    }
    if (pManager != nullptr)
        m_pDisplayLink->pfnDestroy(pManager);
    return PLAY_OK;
}

int32_t CBasePlayMode::AddViewport(const PLAY_VIEWPORT *pViewport) {
    if (!(EnableFlags() & PLAY_ENABLE_DISPLAY))
        return PLAY_E_NOT_SUPPORTED;
    const int32_t nResult = EnsureDisplayManager();
    if (nResult < 0)
        return nResult;
    m_bDisplayUnavailable.store(false);
    platform::CLockGuard guard(m_lock);
    if (m_pDisplayManager == nullptr)
        return PLAY_E_NOT_SUPPORTED; // closed meanwhile
    return m_pDisplayLink->pfnAddViewport(m_pDisplayManager, pViewport);
}

int32_t CBasePlayMode::RemoveViewport(uint32_t dwID) {
    if (!(EnableFlags() & PLAY_ENABLE_DISPLAY))
        return PLAY_E_NOT_SUPPORTED;
    platform::CLockGuard guard(m_lock);
    if (!m_pDisplayManager)
        return PLAY_E_NOT_SUPPORTED;
    return m_pDisplayLink->pfnRemoveViewport(m_pDisplayManager, dwID) < 0 ? PLAY_E_FAIL : PLAY_OK;
}

int32_t CBasePlayMode::GetViewport(PLAY_VIEWPORT *pViewports, uint32_t *pdwCount) {
    if (!(EnableFlags() & PLAY_ENABLE_DISPLAY))
        return PLAY_E_NOT_SUPPORTED;
    platform::CLockGuard guard(m_lock);
    if (!m_pDisplayManager)
        return PLAY_E_NOT_SUPPORTED;
    if (pdwCount == nullptr)
        return PLAY_E_FAIL;
    return m_pDisplayLink->pfnGetViewports(m_pDisplayManager, pViewports, pdwCount) < 0 ? PLAY_E_FAIL
                                                                                        : PLAY_OK;
}

int32_t CBasePlayMode::SnapPicture(PLAY_SNAPSHOT *pSnapshot) {
    platform::CLockGuard guard(m_lock);
    if (!m_pDisplayManager)
        return PLAY_E_NOT_SUPPORTED;
    if (pSnapshot == nullptr || pSnapshot->dwSize != PLAY_SNAPSHOT_SIZE)
        return PLAY_E_FAIL;
    const int32_t nResult = m_pDisplayLink->pfnSnapPicture(m_pDisplayManager, pSnapshot);
    if (nResult == DISPLAY_E_BUFFER_TOO_SMALL)
        return PLAY_E_BUFFER_TOO_SMALL;
    return nResult < 0 ? PLAY_E_FAIL : PLAY_OK;
}

// ---------------------------------------------------------------------------
// Callbacks

int32_t CBasePlayMode::RegisterCallbackFunction(uint32_t dwKind, const PLAY_CALLBACK_PARAM *pParam,
                                                uint32_t dwSize) {
    if (dwKind < PLAY_CALLBACK_FIRST || dwKind > PLAY_CALLBACK_LAST)
        return PLAY_E_INVALID_VALUE;
    PLAY_CALLBACK_PARAM entry{};
    if (pParam != nullptr) {
        if (dwSize < PLAY_CALLBACK_PARAM_SIZE)
            return PLAY_E_BAD_SIZE;
        entry = *pParam;
        if (dwKind == PLAY_CALLBACK_BUFFER_ALMOST_EMPTY) {
            if (entry.dwParam > PLAY_BUFFER_THRESHOLD_MAX)
                return PLAY_E_INVALID_VALUE;
            if (entry.pfnCallback == nullptr)
                entry.dwParam = 0;
        } else if (dwKind == PLAY_CALLBACK_DECODE) {
            if (!IsAcceptedPixelFormat(entry.dwParam))
                return PLAY_E_BAD_PIXEL_FORMAT;
        }
    }
    platform::CLockGuard guard(m_callbackLock);
    m_aCallbacks[dwKind - 1] = entry;
    return PLAY_OK;
}

PLAY_CALLBACK_PARAM CBasePlayMode::CallbackOf(uint32_t dwKind) {
    // A leaf lock: the display thread reads the table from its hooks while
    // it may hold its own locks, which the player lock must never wait on.
    platform::CLockGuard guard(m_callbackLock);
    return m_aCallbacks[dwKind - 1];
}

void CBasePlayMode::OnStreamParse(PLAY_FRAME *pFrame) {
    const PLAY_CALLBACK_PARAM cb = CallbackOf(PLAY_CALLBACK_STREAM_PARSE);
    if (cb.pfnCallback == nullptr || pFrame->pFrame == nullptr)
        return;
    CCallbackScope scope(this);
    reinterpret_cast<PLAY_STREAM_PARSE_CALLBACK>(cb.pfnCallback)(Handle(), pFrame->pFrame, cb.pContext);
}

void CBasePlayMode::OnDecode(PLAY_FRAME *pFrame) {
    const PLAY_CALLBACK_PARAM cb = CallbackOf(PLAY_CALLBACK_DECODE);
    if (cb.pfnCallback == nullptr || pFrame->pFrame == nullptr)
        return;
    const int32_t nType = pFrame->pFrame->nType;
    bool bHasOutput;
    if (nType == DEMUX_FRAME_AUDIO)
        bHasOutput = pFrame->output.audio.pBuffer != nullptr && pFrame->output.audio.dwBufferSize > 0;
    else if (IsVideoType(nType))
        bHasOutput = pFrame->output.picture.pBuffer != nullptr && pFrame->output.picture.dwBufferSize > 0;
    else
        bHasOutput = false;
    if (!bHasOutput)
        return;
    CCallbackScope scope(this);
    reinterpret_cast<PLAY_DECODE_CALLBACK>(cb.pfnCallback)(Handle(), pFrame, cb.pContext);
}

// ---------------------------------------------------------------------------
// Play thread and state requests

uint32_t CBasePlayMode::PlayThreadMain(void *pContext) {
    static_cast<CBasePlayMode *>(pContext)->PlayThreadLoop();
    return 0;
}

void CBasePlayMode::PlayThreadLoop() {
    for (;;) {
        m_pWake->Wait(kPlayWakeTimeoutMs);
        const int32_t nState = m_nState.load();
        if (nState == PLAY_STATE_PAUSE_REQUESTED || nState == PLAY_STATE_SEEK_REQUESTED) {
            UpdateStatistics(&m_threadFrame);
            ReleaseFrame(&m_threadFrame);
            m_nState.store(nState == PLAY_STATE_PAUSE_REQUESTED ? PLAY_STATE_PAUSED
                                                                : PLAY_STATE_SEEK_ACKNOWLEDGED);
            m_pDone->Set();
        }
        while (m_nState.load() == PLAY_STATE_PLAYING) {
            if (EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND)
                break;
            if (HoldPlayback())
                break;
            if (m_nQuit.load()) {
                ReleaseFrame(&m_threadFrame);
                return;
            }
            const int32_t nResult = PlayStep(&m_threadFrame);
            if (m_bSeekDeferred.load()) {
                // A callback of this step asked for a seek: its frame is
                // stale now.
                ReleaseFrame(&m_threadFrame);
                RunDeferredSeek();
                continue;
            }
            if (nResult == PLAY_E_NOT_READY)
                break; // the frame is kept for the next round
            ReleaseFrame(&m_threadFrame);
        }
        if (m_nQuit.load())
            break;
    }
    ReleaseFrame(&m_threadFrame);
}

int32_t CBasePlayMode::RequestFromPlayThread(int32_t nRequestState, int32_t nFromState) {
    const int32_t nDoneState =
        nRequestState == PLAY_STATE_PAUSE_REQUESTED ? PLAY_STATE_PAUSED : PLAY_STATE_SEEK_ACKNOWLEDGED;
    if (m_thread.Started() && m_thread.IsCurrent()) {
        // A callback on the play thread: the frame in progress finishes when
        // the callback returns, and the loop stops at the new state. A
        // request of another thread already pending is left to the loop.
        // (Callbacks on other threads, such as the index builder's, wait
        // like any caller.)
        int32_t nExpected = nFromState;
        if (!m_nState.compare_exchange_strong(nExpected, nDoneState))
            return PLAY_E_NOT_READY;
        return PLAY_OK;
    }
    if (m_pDone == nullptr || m_pWake == nullptr)
        return PLAY_E_FAIL;
    // One request at a time: a second one meanwhile is "not now", and must
    // not reset the done event under the first.
    std::unique_lock<std::mutex> request(m_requestLock, std::try_to_lock);
    if (!request.owns_lock())
        return PLAY_E_NOT_READY;
    m_pDone->Reset();
    int32_t nExpected = nFromState;
    if (!m_nState.compare_exchange_strong(nExpected, nRequestState))
        return PLAY_E_NOT_READY;
    m_pWake->Release(1);
    if (m_pDone->Wait(platform::kInfinite) != platform::kWaitSignalled)
        return PLAY_E_FAIL;
    return PLAY_OK;
}
