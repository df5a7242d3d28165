// The live stream player.
#include "core/streammode.h"

#include <cstring>
#include <new>

#include "audio/sound.h"
#include "demux/basestream.h"
#include "demux/demux.h"
#include "vdec/vdec.h"

CStreamMode::CStreamMode() = default;

CStreamMode::~CStreamMode() {
    // The play thread runs this class's steps: it ends before they go away.
    CStreamMode::Close();
}

int32_t CStreamMode::Open(const PLAY_CREATE_PARAM *pParam) {
    if (pParam->dwType != PLAY_MODE_STREAM)
        return PLAY_E_NOT_SUPPORTED;
    const DemuxInput input =
        DemuxInputOf(static_cast<const uint8_t *>(pParam->pSource), pParam->dwSourceSize);
    CBaseStream *pStream = nullptr;
    if (Demux_Create(&pStream, &input) < 0 || pStream == nullptr)
        return PLAY_E_NOT_SUPPORTED;
    {
        platform::CLockGuard guard(m_lock);
        m_pStream = pStream;
    }
    const int32_t nResult = InitAttributes();
    if (nResult < 0)
        return nResult;
    // The 6000 generation needs its index file; it is never a live stream.
    if (m_attr.demuxProperty.dwGeneration == DEMUX_GENERATION_6000)
        return PLAY_E_NOT_SUPPORTED;
    InitStreamParam(pParam);
    return CBasePlayMode::Open(pParam);
}

int32_t CStreamMode::Close() {
    CBasePlayMode::Close();
    DestroyComponents();
    return PLAY_OK;
}

int32_t CStreamMode::InitAttributes() {
    const int32_t nResult = CBasePlayMode::InitAttributes();
    platform::CLockGuard guard(m_lock);
    m_attr.dwMode = PLAY_MODE_STREAM;
    return nResult;
}

void CStreamMode::InitStreamParam(const PLAY_CREATE_PARAM *pParam) {
    CBasePlayMode::InitStreamParam(pParam);
    if (m_attr.dwMode == PLAY_MODE_STREAM) {
        // Live data arrives in bursts: queue more sound before starting, and
        // renew the decoder of a stream that plays for days.
        m_streamParam.soundSetting.dwStartThreshold *= 2;
        m_streamParam.dwRenewTimeLimitMs = kPlayStreamRenewTimeMs;
        m_streamParam.dwRenewPictureLimit = kPlayStreamRenewPictures;
    }
}

int32_t CStreamMode::SetControl(uint32_t dwCode, const void *pValue, uint32_t dwSize) {
    if (dwCode != PLAY_CONTROL_ACTION)
        return CBasePlayMode::SetControl(dwCode, pValue, dwSize);
    // Not under the player lock: a pause waits for the play thread, which
    // needs the lock to finish its frame.
    if (dwSize < 4)
        return PLAY_E_BAD_SIZE;
    if (EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND)
        return PLAY_E_NOT_SUPPORTED;
    uint32_t dwAction;
    std::memcpy(&dwAction, pValue, sizeof(dwAction));
    return RunAction(dwAction);
}

int32_t CStreamMode::RunAction(uint32_t dwAction) {
    switch (dwAction) {
    case PLAY_ACTION_STOP:
        return Stop();
    case PLAY_ACTION_PAUSE:
        return Pause();
    case PLAY_ACTION_PLAY_FORWARD:
        return Play();
    default:
        return PLAY_E_NOT_SUPPORTED;
    }
}

int32_t CStreamMode::InputData(const void *pData, uint32_t dwLength) {
    // Without the player lock: the parser's own input and queue locks let the
    // play thread take frames meanwhile.
    if (m_pStream == nullptr)
        return PLAY_E_NOT_SUPPORTED;
    const DemuxInput input = DemuxInputOf(static_cast<const uint8_t *>(pData), dwLength);
    // Input and the parser reset of a stop exclude each other; nothing else
    // waits for this lock.
    platform::CLockGuard inputGuard(m_inputLock);
    int32_t nResult = Demux_InputData(m_pStream, &input);
    if (nResult < 0)
        nResult = nResult == DEMUX_E_QUEUE_FULL ? PLAY_E_BUFFER_FULL : PLAY_E_FAIL;
    uint32_t dwQueued = 0;
    if (Demux_GetFrameCount(m_pStream, &dwQueued) >= 0)
        SetBufferedCount(dwQueued);
    // A player decoding on demand has no play step to wake.
    if (nResult >= 0 && m_pWake != nullptr && !(EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND))
        m_pWake->Release(1); // at most kPlayWakeMax pending; the rest are lost
    return nResult;
}

int32_t CStreamMode::Seek(uint32_t, const void *, uint32_t) {
    return PLAY_E_NOT_SUPPORTED;
}

bool CStreamMode::LatencyControlOn() {
    if (CallbackOf(PLAY_CALLBACK_BUFFER_ALMOST_EMPTY).dwParam != 0 ||
        (EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND))
        return false;
    platform::CLockGuard guard(m_lock);
    return m_attr.dwMode == PLAY_MODE_STREAM;
}

int32_t CStreamMode::TakeFrame(PLAY_FRAME *pFrame) {
    if (m_pStream == nullptr)
        return DEMUX_E_INVALID_OBJECT;
    FrameRecord *pRecord = nullptr;
    const int32_t nResult = Demux_GetFrame(m_pStream, &pRecord);
    if (nResult == DEMUX_E_NO_FRAME)
        return PLAY_E_NOT_READY;
    if (nResult < 0)
        return nResult;
    pFrame->pFrame = pRecord;
    return PLAY_OK;
}

int32_t CStreamMode::ReadFrame(PLAY_FRAME *pFrame) {
    if (pFrame->pFrame != nullptr)
        return PLAY_OK;
    uint32_t dwQueued = 0;
    {
        platform::CLockGuard guard(m_lock);
        if (IsValidPosition(m_firstFrame)) {
            const int32_t nResult = TakeFrame(pFrame);
            if (nResult < 0)
                return nResult;
            GetQueuedCount(&dwQueued);
        } else {
            // Nothing is played before the first key frame.
            GetQueuedCount(&dwQueued);
            const uint32_t dwTries = dwQueued;
            for (uint32_t i = 0; i < dwTries; ++i) {
                ReleaseFrame(pFrame);
                if (TakeFrame(pFrame) < 0)
                    break;
                if (pFrame->pFrame->nType == DEMUX_FRAME_I) {
                    const FramePosition pos = PositionOf(pFrame->pFrame);
                    if (IsValidPosition(pos)) {
                        m_firstFrame = pos;
                        GetQueuedCount(&dwQueued);
                        break;
                    }
                }
            }
            if (!IsValidPosition(m_firstFrame)) {
                ReleaseFrame(pFrame);
                GetQueuedCount(&dwQueued);
                SetBufferedCount(dwQueued);
                return PLAY_E_NOT_READY;
            }
        }
    }

    // Catch-up by skipping: far behind, jump to the next queued key frame.
    if (dwQueued >= kStreamSkipQueued && LatencyControlOn()) {
        m_nCatchUp = 2;
        {
            platform::CLockGuard guard(m_lock);
            if (m_pSound)
                StopSoundOutput(m_pSound);
        }
        bool bFound = false;
        const uint32_t dwTries = dwQueued;
        for (uint32_t i = 0; i < dwTries; ++i) {
            ReleaseFrame(pFrame);
            platform::CLockGuard guard(m_lock);
            if (TakeFrame(pFrame) < 0)
                break;
            if (pFrame->pFrame->nType == DEMUX_FRAME_I) {
                bFound = true;
                GetQueuedCount(&dwQueued);
                break;
            }
        }
        {
            // The frames skipped are never shown: a statistics window or a
            // duration spanning them would measure a rate far below the
            // stream's, and every later picture would stay that much
            // longer. The decoder may still give out pictures from before
            // the skip, so the measurement restarts when the key frame
            // landed on is timed.
            platform::CLockGuard guard(m_lock);
            if (bFound) {
                if (m_catchUpLandings.size() >= kCatchUpLandingsMax)
                    m_catchUpLandings.pop_front();
                m_catchUpLandings.push_back(PositionOf(pFrame->pFrame));
            } else {
                m_window = StatisticsWindow{};
                m_lastVideoFrame = FramePosition{};
            }
        }
        if (!bFound)
            return PLAY_E_NOT_FOUND;
    }

    {
        platform::CLockGuard guard(m_lock);
        m_attr.ullPlayDataSize +=
            static_cast<uint64_t>(pFrame->pFrame->dwPayloadLength) + pFrame->pFrame->dwHeaderLength;
    }
    SetBufferedCount(dwQueued);
    OnStreamParse(pFrame);
    const PLAY_CALLBACK_PARAM cb = CallbackOf(PLAY_CALLBACK_BUFFER_ALMOST_EMPTY);
    if (dwQueued < cb.dwParam)
        OnBufferAlmostEmpty(dwQueued);
    return PLAY_OK;
}

int32_t CStreamMode::TakeDecodedFrame(PLAY_FRAME *pFrame) {
    const int32_t nResult = ReadFrame(pFrame);
    if (nResult < 0)
        return nResult;
    return DecodeFrame(pFrame);
}

int32_t CStreamMode::PlayStep(PLAY_FRAME *pFrame) {
    int32_t nResult = TakeDecodedFrame(pFrame);
    if (nResult < 0)
        return nResult;
    if (pFrame->pFrame == nullptr)
        return PLAY_OK; // the decoder holds its picture back
    if (m_bSeekDeferred.load())
        return PLAY_OK; // a callback asked for a seek: the frame is stale
    nResult = RenderFrame(pFrame);
    if (nResult < 0)
        return nResult;
    UpdateStatistics(pFrame);
    OnFrameDone(pFrame);
    return PLAY_OK;
}

int32_t CStreamMode::ComputeFrameTiming(PLAY_FRAME *pFrame) {
    // Only a frame whose timing is computed now is subject to the latency
    // control: a frame offered again keeps its delay.
    const bool bFresh = pFrame->dwDuration == 0 && pFrame->dwPresentDelay == 0;
    // Landings are key frames: other frames need no look.
    if (bFresh && pFrame->pFrame != nullptr && pFrame->pFrame->nType == DEMUX_FRAME_I) {
        platform::CLockGuard guard(m_lock);
        const FramePosition pos = PositionOf(pFrame->pFrame);
        for (auto it = m_catchUpLandings.begin(); it != m_catchUpLandings.end(); ++it) {
            if (SamePosition(*it, pos)) {
                // Landings are timed in the order they were made: the ones
                // before this were lost with their frames.
                m_catchUpLandings.erase(m_catchUpLandings.begin(), it + 1);
                m_window = StatisticsWindow{};
                m_lastVideoFrame = FramePosition{};
                break;
            }
        }
    }
    int32_t nResult = CBasePlayMode::ComputeFrameTiming(pFrame);
    if (nResult < 0 || !bFresh || !LatencyControlOn())
        return nResult;
    platform::CLockGuard guard(m_lock);
    uint32_t dwQueued = 0;
    nResult = GetQueuedCount(&dwQueued);
    if (nResult < 0)
        return nResult;
    if (dwQueued >= kStreamFastQueued && m_nCatchUp == 0)
        m_nCatchUp = 1;
    if (m_nCatchUp == 1)
        pFrame->dwPresentDelay >>= 1;
    if (m_nCatchUp > 0 && dwQueued < kStreamSlowQueued)
        m_nCatchUp = 0;
    return PLAY_OK;
}

void CStreamMode::OnBufferAlmostEmpty(uint32_t dwQueued) {
    const PLAY_CALLBACK_PARAM cb = CallbackOf(PLAY_CALLBACK_BUFFER_ALMOST_EMPTY);
    if (cb.pfnCallback == nullptr)
        return;
    CCallbackScope scope(this);
    reinterpret_cast<PLAY_BUFFER_CALLBACK>(cb.pfnCallback)(Handle(), dwQueued, cb.pContext);
}

int32_t CStreamMode::GetDecodeFrame(uint32_t, PLAY_FRAME **ppFrame) {
    if (!(EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND))
        return PLAY_E_NOT_SUPPORTED;
    uint32_t dwQueued = 0;
    {
        platform::CLockGuard guard(m_lock);
        const int32_t nResult = GetQueuedCount(&dwQueued);
        if (nResult < 0)
            return nResult;
        SetBufferedCount(dwQueued);
    }
    if (dwQueued == 0)
        return PLAY_E_NO_FRAME;

    PLAY_FRAME frame{};
    for (;;) {
        const int32_t nResult = TakeDecodedFrame(&frame);
        if (nResult >= 0 && frame.pFrame != nullptr) {
            if (IsVideoType(frame.pFrame->nType))
                ComputeFrameTiming(&frame);
            UpdateStatistics(&frame);
            break;
        }
        ReleaseFrame(&frame);
        // Every round has used up at least one queued frame (a frame the
        // decoder holds back comes out with a later one).
        if (static_cast<int32_t>(m_dwBufferedCount.load()) <= 0)
            return nResult < 0 ? nResult : PLAY_E_NO_FRAME;
    }

    return HandOutFrame(&frame, ppFrame);
}

int32_t CStreamMode::HandOutFrame(PLAY_FRAME *pFrame, PLAY_FRAME **ppFrame) {
    PLAY_FRAME *pCopy = static_cast<PLAY_FRAME *>(AllocClassBlock(&m_pool, 0));
    if (pCopy == nullptr) {
        ReleaseFrame(pFrame);
        return PLAY_E_OUT_OF_MEMORY;
    }
    std::memcpy(pCopy, pFrame, sizeof(*pFrame));
    try {
        platform::CLockGuard guard(m_lock);
        m_handedOut.insert(pCopy);
    } catch (const std::bad_alloc &) {
        ReleaseFrame(pCopy);
        FreeClassBlock(&m_pool, 0, pCopy);
        return PLAY_E_OUT_OF_MEMORY;
    }
    *ppFrame = pCopy;
    return PLAY_OK;
}

// ---------------------------------------------------------------------------
// Actions

int32_t CStreamMode::Play() {
    return EnterPlaying();
}

int32_t CStreamMode::EnterPlaying() {
    for (;;) {
        int32_t nState = m_nState.load();
        if (nState > PLAY_STATE_PLAYING)
            return PLAY_E_NOT_READY;
        if (m_nState.compare_exchange_weak(nState, PLAY_STATE_PLAYING))
            break;
    }
    if (m_pWake)
        m_pWake->Release(1);
    return PLAY_OK;
}

int32_t CStreamMode::Pause() {
    int32_t nState = m_nState.load();
    switch (nState) {
    case PLAY_STATE_IDLE:
        if (!m_nState.compare_exchange_strong(nState, PLAY_STATE_PAUSED))
            return nState == PLAY_STATE_PAUSED ? PLAY_OK : PLAY_E_NOT_READY;
        return PLAY_OK;
    case PLAY_STATE_PAUSED:
        return PLAY_OK;
    case PLAY_STATE_PLAYING: {
        const int32_t nResult = RequestFromPlayThread(PLAY_STATE_PAUSE_REQUESTED);
        if (nResult < 0)
            return nResult;
        m_nThrottled.store(0);
        platform::CLockGuard guard(m_lock);
        if (m_pDisplayManager && m_pDisplayLink)
            m_pDisplayLink->pfnDiscardPending(m_pDisplayManager);
        if (m_pSound)
            StopSoundOutput(m_pSound);
        return PLAY_OK;
    }
    case PLAY_STATE_PAUSE_REQUESTED:
    case PLAY_STATE_SEEK_REQUESTED:
    case PLAY_STATE_SEEK_ACKNOWLEDGED:
        return PLAY_E_NOT_READY;
    default:
        return PLAY_E_NOT_SUPPORTED;
    }
}

int32_t CStreamMode::Stop() {
    const int32_t nResult = Pause();
    if (nResult < 0)
        return nResult;
    {
        platform::CLockGuard guard(m_lock);
        m_window = StatisticsWindow{};
        m_lastVideoFrame = FramePosition{};
        m_catchUpLandings.clear();
        if (m_attr.dwMode == PLAY_MODE_STREAM)
            m_firstFrame = FramePosition{};
        // From paused only: a play and a new pause of other threads since then
        // keep their state (a pending request must reach the play thread).
        int32_t nPaused = PLAY_STATE_PAUSED;
        m_nState.compare_exchange_strong(nPaused, PLAY_STATE_IDLE);
        m_attr.ullPlayDataSize = 0;
        m_attr.dwPlayDuration = 0;
        m_attr.dwPlayVideoFrameIndex = 0;
        if (m_pStream) {
            platform::CLockGuard inputGuard(m_inputLock);
            m_pStream->Reset();
            SetBufferedCount(0);
        }
    }
    // Pictures still inside the decoder belong to what was stopped.
    DestroyVideoDecoder();
    return PLAY_OK;
}
