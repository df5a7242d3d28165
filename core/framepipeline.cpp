// The frame pipeline of the base player: decoding of audio and video,
// rendering to the sound output and the display, and the release of a
// frame's record and buffers.
#include "core/baseplaymode.h"

#include <cstring>

#include "audio/adec.h"
#include "audio/sound.h"
#include "demux/basestream.h"
#include "demux/demux.h"
#include "vdec/vdec.h"

// ---------------------------------------------------------------------------
// Frame pipeline

int32_t CBasePlayMode::GetQueuedCount(uint32_t *pdwCount) {
    *pdwCount = 0;
    if (m_pStream == nullptr)
        return DEMUX_E_INVALID_OBJECT;
    return Demux_GetFrameCount(m_pStream, pdwCount);
}

void CBasePlayMode::SetBufferedCount(uint32_t dwCount) {
    m_dwBufferedCount.store(dwCount);
}

namespace {

// PCM blocks carry their allocation size in front of the samples: the audio
// decoder reports the bytes it wrote, which need not be what was asked for.
constexpr uint32_t kPcmHeader = 16;

uint8_t *AllocPcm(BlockPool *pPool, uint32_t dwBytes) {
    uint8_t *pBlock = static_cast<uint8_t *>(AllocBlock(pPool, size_t(dwBytes) + kPcmHeader));
    if (pBlock == nullptr)
        return nullptr;
    std::memcpy(pBlock, &dwBytes, sizeof(dwBytes));
    return pBlock + kPcmHeader;
}

void FreePcm(BlockPool *pPool, uint8_t *pSamples) {
    uint8_t *pBlock = pSamples - kPcmHeader;
    uint32_t dwBytes;
    std::memcpy(&dwBytes, pBlock, sizeof(dwBytes));
    FreeBlock(pPool, pBlock, size_t(dwBytes) + kPcmHeader);
}

} // namespace

int32_t CBasePlayMode::DecodeFrame(PLAY_FRAME *pFrame) {
    const FrameRecord *pRecord = pFrame->pFrame;
    if (pRecord == nullptr)
        return PLAY_OK;
    const int32_t nType = pRecord->nType;
    if (nType == DEMUX_FRAME_AUDIO && pFrame->output.audio.pBuffer != nullptr)
        return PLAY_OK;
    if (IsVideoType(nType) && pFrame->output.picture.pBuffer != nullptr)
        return PLAY_OK;
    {
        platform::CLockGuard guard(m_lock);
        if (nType == DEMUX_FRAME_AUDIO) {
            DecodeAudio(pFrame);
        } else if (nType == DEMUX_FRAME_I) {
            UpdateCpuThrottle();
            DecodeVideo(pFrame);
        } else if (IsVideoType(nType)) {
            DecodeVideo(pFrame);
        }
    }
    // A video frame whose picture is not out yet stays with the decoder: the
    // frame comes back empty, or with an earlier frame's record and picture.
    if (pFrame->pFrame != nullptr && !m_bHoldDecodeCallbacks)
        OnDecode(pFrame);
    return PLAY_OK;
}

int32_t CBasePlayMode::DecodeAudio(PLAY_FRAME *pFrame) {
    if (!(EnableFlags() & PLAY_ENABLE_AUDIO_DECODE))
        return PLAY_OK;
    const FrameRecord *pRecord = pFrame->pFrame;
    platform::CLockGuard guard(m_lock);
    if (m_pAudioDecoder == nullptr) {
        CBaseAudioCodec *pCodec = nullptr;
        const int32_t nResult = CreateAudioCodec(pRecord->dwCodec, &pCodec);
        if (nResult < 0)
            return nResult;
        m_pAudioDecoder = pCodec;
        m_streamParam.dwAudioCodec = pRecord->dwCodec;
    }
    if (m_pAudioDecoder == nullptr)
        return PLAY_E_NOT_SUPPORTED;

    ADEC_OUTPUT output{};
    output.dwSize = ADEC_OUTPUT_SIZE;
    int32_t nResult = DecodeAudioFrame(m_pAudioDecoder, pRecord->pPayload, pRecord->dwPayloadLength, &output);
    if (nResult < 0 && nResult != ADEC_E_BUFFER_TOO_SMALL)
        return nResult;
    const uint32_t dwNeeded = output.dwBufferSize;
    if (dwNeeded == 0)
        return PLAY_OK;
    uint8_t *pBuffer = AllocPcm(&m_pool, dwNeeded);
    if (pBuffer == nullptr)
        return PLAY_E_OUT_OF_MEMORY;
    output.pBuffer = pBuffer;
    output.dwBufferSize = dwNeeded;
    nResult = DecodeAudioFrame(m_pAudioDecoder, pRecord->pPayload, pRecord->dwPayloadLength, &output);
    if (nResult < 0) {
        FreePcm(&m_pool, pBuffer);
        return nResult;
    }
    pFrame->output.audio = output;
    return PLAY_OK;
}

FramePosition CBasePlayMode::PositionOf(const FrameRecord *pRecord) {
    FramePosition pos{};
    if (pRecord == nullptr)
        return pos;
    pos.dwCodec = pRecord->dwCodec;
    pos.wWidth = pRecord->wWidth;
    pos.wHeight = pRecord->wHeight;
    pos.ullFileOffset = pRecord->ullFileOffset;
    pos.stTime = pRecord->stTime;
    pos.dwSequence = pRecord->dwSequence;
    pos.dwTimestamp = pRecord->dwTimestamp;
    return pos;
}

void CBasePlayMode::GiveBackRecord(FrameRecord *pRecord) {
    if (pRecord != nullptr && m_pStream != nullptr)
        Demux_FreeFrame(m_pStream, pRecord);
}

void CBasePlayMode::DestroyVideoDecoder() {
    CBaseVideoCodec *pDecoder;
    {
        platform::CLockGuard guard(m_lock);
        pDecoder = m_pVideoDecoder;
        m_pVideoDecoder = nullptr;
        // Frames whose pictures were still inside are dropped with it.
        for (const DecoderEntry &entry : m_inDecoder)
            GiveBackRecord(entry.pRecord);
        m_inDecoder.clear();
        m_streamSteps.clear();
        m_bReordering = false;
        m_lastFedVideo = FramePosition{};
    }
    // Outside the lock where the caller holds none: a decoder with threads
    // joins them.
    if (pDecoder != nullptr)
        Vdec_Destroy(pDecoder);
}

uint32_t CBasePlayMode::FramesInDecoder() {
    platform::CLockGuard guard(m_lock);
    return static_cast<uint32_t>(m_inDecoder.size());
}

bool CBasePlayMode::DecoderHoldsFrames() {
    return FramesInDecoder() > 0;
}

template <typename Take> int32_t CBasePlayMode::TakePicture(PLAY_FRAME *pFrame, Take pfnTake) {
    DecodedPicture picture{};
    picture.dwSize = VDEC_PICTURE_SIZE;
    uint64_t qwTag = 0;
    int32_t nResult = pfnTake(&picture, &qwTag);
    if (nResult < 0 && nResult != VDEC_E_BUFFER_TOO_SMALL)
        return nResult;
    const uint32_t dwNeeded = picture.dwBufferSize;
    if (dwNeeded == 0)
        return VDEC_E_NO_PICTURE;
    uint8_t *pBuffer = static_cast<uint8_t *>(AllocBlock(&m_pool, dwNeeded));
    if (pBuffer == nullptr)
        return PLAY_E_OUT_OF_MEMORY;
    picture.pBuffer = pBuffer;
    picture.dwBufferSize = dwNeeded;
    nResult = pfnTake(&picture, &qwTag);
    if (nResult < 0) {
        FreeBlock(&m_pool, pBuffer, dwNeeded);
        return nResult;
    }
    // Whatever the decoder wrote there, the record now describes the block.
    picture.pBuffer = pBuffer;
    picture.dwBufferSize = dwNeeded;

    // The picture belongs to the frame that went in with its tag.
    auto it = m_inDecoder.begin();
    while (it != m_inDecoder.end() && it->qwTag != qwTag)
        ++it;
    if (it == m_inDecoder.end()) {
        FreeBlock(&m_pool, pBuffer, dwNeeded);
        return PLAY_E_NOT_FOUND;
    }
    FrameRecord *pRecord = it->pRecord;
    const int64_t llStep = it->llStep;
    if (it != m_inDecoder.begin())
        m_bReordering = true;
    m_inDecoder.erase(it);
    if (m_bReordering) {
        // Once the decoder reorders, every picture is timed by its stream step.
        if (m_streamSteps.size() >= kPlayDecoderHeldMax)
            m_streamSteps.pop_front();
        m_streamSteps.emplace_back(pRecord, llStep);
    }

    // The on-screen display of a picture is its own frame's.
    if (m_pOsdLink != nullptr) {
        if (m_pOsdRenderer == nullptr) {
            void *pRenderer = nullptr;
            nResult = m_pOsdLink->pfnCreate(&m_streamParam.osdSetting, &pRenderer);
            if (nResult >= 0)
                m_pOsdRenderer = pRenderer;
        }
        if (nResult >= 0 && pRecord->byOsdCount > 0 && pRecord->pOsdItems != nullptr)
            nResult = m_pOsdLink->pfnDraw(m_pOsdRenderer, pRecord, &picture);
        if (nResult < 0) {
            // As a failed decode: the frame goes on without a picture.
            FreeBlock(&m_pool, pBuffer, dwNeeded);
            std::memset(&picture, 0, sizeof(picture));
        }
    }
    pFrame->pFrame = pRecord;
    pFrame->dwDuration = 0;
    pFrame->dwPresentDelay = 0;
    pFrame->output.picture = picture;
    if (picture.pBuffer != nullptr) {
        m_attr.dwPictureWidth = picture.dwWidth;
        m_attr.dwPictureHeight = picture.dwHeight;
    }
    return PLAY_OK;
}

int32_t CBasePlayMode::DecodeVideo(PLAY_FRAME *pFrame) {
    const uint32_t dwEnable = EnableFlags();
    if (!(dwEnable & PLAY_ENABLE_VIDEO_DECODE))
        return PLAY_OK;
    FrameRecord *pRecord = pFrame->pFrame;
    const int32_t nType = pRecord->nType;
    const FramePosition pos = PositionOf(pRecord);

    platform::CLockGuard guard(m_lock);
    if (Throttled() && nType == DEMUX_FRAME_DROPPABLE) {
        // Skipped on purpose: no gap for the frames after it.
        m_lastFedVideo = pos;
        return PLAY_OK;
    }
    VideoDecoderParam &param = m_streamParam.vdecParam;
    if (m_pVideoDecoder != nullptr) {
        bool bRenew = false;
        if (nType == DEMUX_FRAME_I) {
            DecoderInfo info{};
            info.dwSize = VDEC_INFO_SIZE;
            if (Vdec_GetDecoderInfo(m_pVideoDecoder, &info) >= 0 &&
                (info.ullDecodeTime / 1000 > m_streamParam.dwRenewTimeLimitMs ||
                 info.dwPictureCount > m_streamParam.dwRenewPictureLimit))
                bRenew = true;
        }
        if (!bRenew && nType != DEMUX_FRAME_I && (dwEnable & PLAY_ENABLE_RESET_ON_GAP) &&
            m_attr.dwPlayBackward == 0 && !Follows(m_lastFedVideo, pos))
            bRenew = true;
        if (!bRenew && param.dwWidth > 0 && param.dwHeight > 0 &&
            (pRecord->wWidth != param.dwWidth || pRecord->wHeight != param.dwHeight))
            bRenew = true;
        if (bRenew) {
            DestroyVideoDecoder();
            m_lastVideoFrame = FramePosition{};
            m_window = StatisticsWindow{};
        }
    }
    bool bStarted = false;
    if (m_pVideoDecoder == nullptr) {
        if (nType != DEMUX_FRAME_I)
            return PLAY_E_NOT_SUPPORTED;
        uint32_t dwFlags = 0;
        if ((dwEnable & PLAY_ENABLE_MULTITHREAD_DECODE) && !FrameExactDecoding())
            dwFlags |= VDEC_FLAG_MULTITHREAD;
        if (dwEnable & PLAY_ENABLE_HARDWARE_DECODE)
            dwFlags |= VDEC_FLAG_HARDWARE;
        if ((dwEnable & PLAY_ENABLE_NO_CPU_LIMIT) || pRecord->dwCodec == 1 || pRecord->dwCodec == 2)
            dwFlags |= VDEC_FLAG_NO_CPU_LIMIT;
        param.dwSize = VDEC_PARAM_SIZE;
        param.dwFlags = dwFlags;
        param.dwCodec = pRecord->dwCodec;
        param.dwWidth = pRecord->wWidth;
        param.dwHeight = pRecord->wHeight;
        CBaseVideoCodec *pDecoder = nullptr;
        int32_t nResult = Vdec_Create(&pDecoder, &param);
        if (nResult < 0)
            return nResult;
        m_pVideoDecoder = pDecoder;
        // A frame record holds one whole picture.
        Vdec_SetWholeFrames(m_pVideoDecoder, true);
        nResult = Vdec_SetColor(m_pVideoDecoder, &m_attr.color);
        if (nResult < 0)
            return nResult;
        bStarted = true;
    }
    int64_t llStep = -1;
    if (IsValidPosition(m_lastFedVideo)) {
        llStep = static_cast<int64_t>(pos.dwTimestamp) - m_lastFedVideo.dwTimestamp;
        if (llStep < 0)
            m_bStampsInStreamOrder = false; // stamped in display order
    }
    m_lastFedVideo = pos;

    // From here on the record stays with the decoder until its picture
    // comes out; the frame carries whichever picture comes out now.
    const uint64_t qwTag = ++m_qwNextTag;
    m_inDecoder.push_back(DecoderEntry{qwTag, pRecord, llStep});
    pFrame->pFrame = nullptr;
    if (m_inDecoder.size() > kPlayDecoderHeldMax) {
        GiveBackRecord(m_inDecoder.front().pRecord);
        m_inDecoder.pop_front();
    }
    auto decode = [&](DecodedPicture *pPicture, uint64_t *pqwTag) {
        return Vdec_DecodeTagged(m_pVideoDecoder, pRecord->pPayload, pRecord->dwPayloadLength, qwTag,
                                 pPicture, pqwTag);
    };
    int32_t nResult = TakePicture(pFrame, decode);
    // A decoder that has just started may want its key frame more than once
    // before the first picture comes (a copy that comes out later finds no
    // frame and is dropped).
    for (int nCall = 1; bStarted && nCall < kPlayKeyFrameDecodeCalls &&
                        (nResult == VDEC_E_NO_PICTURE || nResult == PLAY_E_NOT_FOUND);
         ++nCall)
        nResult = TakePicture(pFrame, decode);
    return nResult == PLAY_E_NOT_FOUND ? VDEC_E_NO_PICTURE : nResult;
}

int32_t CBasePlayMode::DrainFrame(PLAY_FRAME *pFrame) {
    {
        platform::CLockGuard guard(m_lock);
        if (m_pVideoDecoder == nullptr || m_inDecoder.empty())
            return PLAY_E_NO_FRAME;
        auto drain = [&](DecodedPicture *pPicture, uint64_t *pqwTag) {
            return Vdec_Drain(m_pVideoDecoder, pPicture, pqwTag);
        };
        int32_t nResult;
        do
            nResult = TakePicture(pFrame, drain);
        while (nResult == PLAY_E_NOT_FOUND);
        if (nResult < 0) {
            // Nothing more inside: frames that never gave a picture go back.
            for (const DecoderEntry &entry : m_inDecoder)
                GiveBackRecord(entry.pRecord);
            m_inDecoder.clear();
            return PLAY_E_NO_FRAME;
        }
    }
    if (!m_bHoldDecodeCallbacks)
        OnDecode(pFrame);
    return PLAY_OK;
}

int32_t CBasePlayMode::RenderFrame(PLAY_FRAME *pFrame) {
    const FrameRecord *pRecord = pFrame->pFrame;
    if (pRecord == nullptr)
        return PLAY_E_NOT_SUPPORTED;
    platform::CLockGuard guard(m_lock);
    if (pRecord->nType == DEMUX_FRAME_AUDIO)
        return OutputSound(pFrame);
    if (!IsVideoType(pRecord->nType))
        return PLAY_E_NOT_SUPPORTED;
    const int32_t nResult = ComputeFrameTiming(pFrame);
    if (nResult < 0 || static_cast<int32_t>(pFrame->dwPresentDelay) <= 0)
        return PLAY_OK; // not shown
    return DisplayPicture(pFrame);
}

int32_t CBasePlayMode::OutputSound(PLAY_FRAME *pFrame) {
    if (!(EnableFlags() & PLAY_ENABLE_SOUND))
        return PLAY_OK;
    const ADEC_OUTPUT &pcm = pFrame->output.audio;
    if (pcm.pBuffer == nullptr || pcm.dwBufferSize == 0)
        return PLAY_OK;
    platform::CLockGuard guard(m_lock);
    const float fSpeed = m_attr.fSpeed;
    if (fSpeed < SOUND_SPEED_MIN || fSpeed > SOUND_SPEED_MAX)
        return PLAY_OK;
    if (m_pSound == nullptr) {
        CSoundManager *pSound = nullptr;
        int32_t nResult = CreateSoundOutput(&m_streamParam.soundSetting, &pSound);
        if (nResult < 0)
            return nResult;
        m_pSound = pSound;
        nResult = SetSoundVolume(m_pSound, m_attr.dwVolume);
        if (nResult < 0)
            return nResult;
        nResult = SetSoundSpeed(m_pSound, fSpeed);
        if (nResult < 0)
            return nResult;
    }
    SOUND_INPUT input{};
    input.dwSize = SOUND_INPUT_SIZE;
    input.dwLength = pcm.dwBufferSize;
    input.pData = pcm.pBuffer;
    const int32_t nResult = WriteSound(m_pSound, &input);
    if (nResult == SOUND_E_NO_ROOM && (EnableFlags() & PLAY_ENABLE_SOUND_SYNC))
        return PLAY_E_NOT_READY;
    return nResult;
}

void QV_CALL CBasePlayMode::OnPictureReleased(void *, DISPLAY_PICTURE *pPicture, void *pContext) {
    CBasePlayMode *pPlayer = static_cast<CBasePlayMode *>(pContext);
    if (pPicture != nullptr && pPicture->pData != nullptr)
        FreeBlock(&pPlayer->m_pool, pPicture->pData, pPicture->dwDataSize);
    if (pPlayer->m_pWake)
        pPlayer->m_pWake->Release(1);
}

void QV_CALL CBasePlayMode::OnDcRender(void *, PLAY_DC_RENDER *pRender, void *pContext) {
    CBasePlayMode *pPlayer = static_cast<CBasePlayMode *>(pContext);
    const PLAY_CALLBACK_PARAM cb = pPlayer->CallbackOf(PLAY_CALLBACK_DC_RENDER);
    if (cb.pfnCallback == nullptr)
        return;
    CCallbackScope scope(pPlayer);
    reinterpret_cast<PLAY_DC_RENDER_CALLBACK>(cb.pfnCallback)(pPlayer->Handle(), pRender, cb.pContext);
}

int32_t CBasePlayMode::DisplayPicture(PLAY_FRAME *pFrame) {
    if (!(EnableFlags() & PLAY_ENABLE_DISPLAY))
        return PLAY_OK;
    DecodedPicture &picture = pFrame->output.picture;
    if (picture.pBuffer == nullptr || picture.dwBufferSize == 0)
        return PLAY_OK;
    // A machine without any back end (no display server) keeps playing: the
    // picture goes back with its frame, and creation is not tried again for
    // every picture (a viewport added later tries again).
    if (m_bDisplayUnavailable.load())
        return PLAY_OK;
    int32_t nResult = EnsureDisplayManager();
    if (nResult < 0) {
        m_bDisplayUnavailable.store(true);
        return PLAY_OK;
    }
    platform::CLockGuard guard(m_lock);
    if (m_pDisplayManager == nullptr)
        return PLAY_OK;
    DISPLAY_PICTURE display{};
    display.dwSize = DISPLAY_PICTURE_SIZE;
    display.dwFourCC = picture.dwFourCC;
    display.nWidth = static_cast<int32_t>(picture.dwWidth);
    display.nHeight = static_cast<int32_t>(picture.dwHeight);
    display.pData = picture.pBuffer;
    display.dwDataSize = picture.dwBufferSize;
    display.dwDuration = pFrame->dwPresentDelay;
    DISPLAY_PICTURE_HOOKS hooks{};
    hooks.dwSize = DISPLAY_PICTURE_HOOKS_SIZE;
    hooks.pfnRelease = OnPictureReleased;
    hooks.pReleaseContext = this;
    if (CallbackOf(PLAY_CALLBACK_DC_RENDER).pfnCallback != nullptr) {
        hooks.pfnDcRender = OnDcRender;
        hooks.pDcRenderContext = this;
    }
    nResult = m_pDisplayLink->pfnCheckPicture(m_pDisplayManager, &display);
    if (nResult < 0)
        return nResult;
    nResult = m_pDisplayLink->pfnSubmitPicture(m_pDisplayManager, &display, &hooks);
    if (nResult == DISPLAY_E_QUEUE_FULL)
        return PLAY_E_NOT_READY;
    if (nResult < 0)
        return nResult;
    std::memset(&picture, 0, sizeof(picture)); // the display owns the buffer now
    return PLAY_OK;
}

void CBasePlayMode::FreeOutput(PLAY_FRAME *pFrame) {
    const FrameRecord *pRecord = pFrame->pFrame;
    if (pRecord != nullptr && pRecord->nType == DEMUX_FRAME_AUDIO) {
        ADEC_OUTPUT &pcm = pFrame->output.audio;
        if (pcm.pBuffer != nullptr)
            FreePcm(&m_pool, pcm.pBuffer);
    } else {
        DecodedPicture &picture = pFrame->output.picture;
        if (picture.pBuffer != nullptr)
            FreeBlock(&m_pool, picture.pBuffer, picture.dwBufferSize);
    }
    std::memset(&pFrame->output, 0, sizeof(pFrame->output));
}

int32_t CBasePlayMode::ReleaseFrame(PLAY_FRAME *pFrame) {
    FreeOutput(pFrame);
    if (pFrame->pFrame == nullptr)
        return PLAY_OK;
    platform::CLockGuard guard(m_lock);
    if (m_pStream == nullptr)
        return DEMUX_E_INVALID_OBJECT;
    const int32_t nResult = Demux_FreeFrame(m_pStream, pFrame->pFrame);
    if (nResult >= 0)
        pFrame->pFrame = nullptr;
    return nResult;
}

int32_t CBasePlayMode::FreeDecodeFrame(PLAY_FRAME *pFrame) {
    if (!(EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND))
        return PLAY_E_NOT_SUPPORTED;
    {
        // Only frames this player handed out and not yet taken back: any other
        // pointer would be freed into the pool blindly.
        platform::CLockGuard guard(m_lock);
        if (m_handedOut.erase(pFrame) == 0)
            return PLAY_E_INVALID_VALUE;
    }
    ReleaseFrame(pFrame);
    FreeClassBlock(&m_pool, 0, pFrame);
    return PLAY_OK;
}
