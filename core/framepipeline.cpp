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
            // Decoded once: the decoding core keeps every access unit it is
            // given, so a key frame offered again after "no picture yet" would
            // be decoded a second time and show up twice.
            DecodeVideo(pFrame);
        } else if (IsVideoType(nType)) {
            DecodeVideo(pFrame);
        }
    }
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
    uint8_t *pBuffer = static_cast<uint8_t *>(AllocBlock(&m_pool, dwNeeded));
    if (pBuffer == nullptr)
        return PLAY_E_OUT_OF_MEMORY;
    output.pBuffer = pBuffer;
    output.dwBufferSize = dwNeeded;
    nResult = DecodeAudioFrame(m_pAudioDecoder, pRecord->pPayload, pRecord->dwPayloadLength, &output);
    if (nResult < 0) {
        FreeBlock(&m_pool, pBuffer, dwNeeded);
        return nResult;
    }
    // The allocation size travels with the output so that it goes back to
    // the class it came from whatever the decoder reports.
    output.dwReserved[0] = dwNeeded;
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

int32_t CBasePlayMode::DecodeVideo(PLAY_FRAME *pFrame) {
    const uint32_t dwEnable = EnableFlags();
    if (!(dwEnable & PLAY_ENABLE_VIDEO_DECODE))
        return PLAY_OK;
    const FrameRecord *pRecord = pFrame->pFrame;
    const int32_t nType = pRecord->nType;
    if (Throttled() && nType == DEMUX_FRAME_DROPPABLE)
        return PLAY_OK;

    platform::CLockGuard guard(m_lock);
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
            m_attr.dwPlayBackward == 0) {
            const FramePosition pos = PositionOf(pRecord);
            const bool bFollows = IsValidPosition(m_lastVideoFrame) && IsValidPosition(pos) &&
                                  pos.dwSequence == m_lastVideoFrame.dwSequence + 1;
            if (!bFollows)
                bRenew = true;
        }
        if (!bRenew && param.dwWidth > 0 && param.dwHeight > 0 &&
            (pRecord->wWidth != param.dwWidth || pRecord->wHeight != param.dwHeight))
            bRenew = true;
        if (bRenew) {
            Vdec_Destroy(m_pVideoDecoder);
            m_pVideoDecoder = nullptr;
            m_lastVideoFrame = FramePosition{};
            m_window = StatisticsWindow{};
        }
    }
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
    }

    DecodedPicture picture{};
    picture.dwSize = VDEC_PICTURE_SIZE;
    int32_t nResult = Vdec_Decode(m_pVideoDecoder, pRecord->pPayload, pRecord->dwPayloadLength, &picture);
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
    nResult = Vdec_Decode(m_pVideoDecoder, pRecord->pPayload, pRecord->dwPayloadLength, &picture);
    if (nResult >= 0 && m_pOsdLink != nullptr) {
        if (m_pOsdRenderer == nullptr) {
            void *pRenderer = nullptr;
            nResult = m_pOsdLink->pfnCreate(&m_streamParam.osdSetting, &pRenderer);
            if (nResult >= 0)
                m_pOsdRenderer = pRenderer;
        }
        if (nResult >= 0 && pRecord->byOsdCount > 0 && pRecord->pOsdItems != nullptr)
            nResult = m_pOsdLink->pfnDraw(m_pOsdRenderer, pRecord, &picture);
    }
    if (nResult < 0) {
        FreeBlock(&m_pool, pBuffer, dwNeeded);
        return nResult;
    }
    // Whatever the decoder wrote there, the record now describes the block.
    picture.pBuffer = pBuffer;
    picture.dwBufferSize = dwNeeded;
    pFrame->output.picture = picture;
    m_attr.dwPictureWidth = picture.dwWidth;
    m_attr.dwPictureHeight = picture.dwHeight;
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
    platform::CLockGuard guard(m_lock);
    // Without a display layer there is nowhere to show the picture; it goes
    // back to the pool with the frame.
    if (m_pDisplayLink == nullptr)
        return PLAY_OK;
    int32_t nResult = EnsureDisplayManager();
    if (nResult < 0)
        return nResult;
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
            FreeBlock(&m_pool, pcm.pBuffer, pcm.dwReserved[0] ? pcm.dwReserved[0] : pcm.dwBufferSize);
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
