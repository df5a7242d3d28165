// Audio decoder base protocol and the table-driven decoders: 8-bit PCM,
// G.711 A-law and the voice-library G.726 frame decoder.
#include "audio/codec.h"

#include <cstring>

#include "audio/voice.h"
#include "platform/timers.h"

namespace {

// Whole microseconds between two counter readings, without overflowing for
// any counter frequency.
uint64_t ElapsedMicroseconds(int64_t nStart, int64_t nEnd) {
    int64_t nFrequency = platform::QueryCounterFrequency();
    if (nFrequency <= 0 || nEnd <= nStart)
        return 0;
    uint64_t nTicks = static_cast<uint64_t>(nEnd - nStart);
    uint64_t nFreq = static_cast<uint64_t>(nFrequency);
    return nTicks / nFreq * 1000000u + nTicks % nFreq * 1000000u / nFreq;
}

inline void StoreSample(uint8_t *pOutput, int16_t nSample) {
    std::memcpy(pOutput, &nSample, sizeof(nSample));
}

} // namespace

CBaseAudioCodec::~CBaseAudioCodec() {
    m_dwStatusSize = m_dwFrameCount = m_dwCodecType = m_dwReserved = 0;
    m_ullDecodeTime = 0;
}

int32_t CBaseAudioCodec::Open() {
    m_dwStatusSize = ADEC_STATUS_SIZE;
    m_dwFrameCount = 0;
    m_ullDecodeTime = 0;
    m_dwCodecType = 0;
    return ADEC_OK;
}

int32_t CBaseAudioCodec::Close() {
    m_dwStatusSize = m_dwFrameCount = m_dwCodecType = m_dwReserved = 0;
    m_ullDecodeTime = 0;
    return ADEC_OK;
}

int32_t CBaseAudioCodec::GetStatus(ADEC_STATUS *pStatus) {
    if (!pStatus)
        return ADEC_E_NULL_POINTER;
    pStatus->dwSize = m_dwStatusSize;
    pStatus->dwFrameCount = m_dwFrameCount;
    pStatus->ullDecodeTime = m_ullDecodeTime;
    pStatus->dwCodecType = m_dwCodecType;
    pStatus->dwReserved = m_dwReserved;
    pStatus->dwSize = ADEC_STATUS_SIZE;
    return ADEC_OK;
}

int32_t CBaseAudioCodec::RunDecode(uint64_t nNeeded, const uint8_t *pInput, uint32_t nLength,
                                   ADEC_OUTPUT *pOutput, DecodeFn decode) {
    // A size beyond the 32-bit capacity field could never be honoured.
    if (nNeeded > UINT32_MAX)
        return ADEC_E_INVALID_VALUE;
    const uint32_t dwNeeded = static_cast<uint32_t>(nNeeded);
    if (!pOutput->pBuffer || pOutput->dwBufferSize == 0) {
        pOutput->dwBufferSize = dwNeeded;
        return ADEC_OK;
    }
    if (pOutput->dwBufferSize < dwNeeded) {
        pOutput->dwBufferSize = dwNeeded;
        return ADEC_E_BUFFER_TOO_SMALL;
    }
    int64_t nStart = platform::QueryCounter();
    uint32_t nWritten = 0;
    int32_t nResult = decode(this, pInput, nLength, pOutput->pBuffer, &nWritten);
    if (nResult != ADEC_OK) {
        pOutput->dwBufferSize = dwNeeded;
        return nResult;
    }
    pOutput->dwBufferSize = nWritten;
    pOutput->wChannels = ADEC_OUTPUT_CHANNELS;
    pOutput->wBitsPerSample = ADEC_OUTPUT_BITS_PER_SAMPLE;
    pOutput->dwSamplesPerSec = ADEC_OUTPUT_SAMPLES_PER_SEC;
    ++m_dwFrameCount;
    m_ullDecodeTime += ElapsedMicroseconds(nStart, platform::QueryCounter());
    return ADEC_OK;
}

// --- 8-bit PCM ---

int32_t CCodecPcm8::Open() {
    int32_t nResult = CBaseAudioCodec::Open();
    m_dwCodecType = ADEC_CODEC_PCM8;
    return nResult;
}

int32_t CCodecPcm8::Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) {
    auto decode = [](CBaseAudioCodec *, const uint8_t *pIn, uint32_t nLen, uint8_t *pOut,
                     uint32_t *pnWritten) {
        // The byte becomes the high byte of the sample: no bias.
        for (uint32_t i = 0; i < nLen; ++i) {
            pOut[2 * i] = 0;
            pOut[2 * i + 1] = pIn[i];
        }
        *pnWritten = 2 * nLen;
        return ADEC_OK;
    };
    return RunDecode(2ull * nLength, pInput, nLength, pOutput, decode);
}

// --- G.711 A-law ---

int32_t CCodecG711Alaw::Open() {
    int32_t nResult = CBaseAudioCodec::Open();
    m_dwCodecType = ADEC_CODEC_G711_ALAW;
    return nResult;
}

int32_t CCodecG711Alaw::Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) {
    auto decode = [](CBaseAudioCodec *, const uint8_t *pIn, uint32_t nLen, uint8_t *pOut,
                     uint32_t *pnWritten) {
        const int16_t *pTable = voice::g_aAlawToLinear.data();
        for (uint32_t i = 0; i < nLen; ++i)
            StoreSample(pOut + 2 * i, pTable[pIn[i]]);
        *pnWritten = 2 * nLen;
        return ADEC_OK;
    };
    return RunDecode(2ull * nLength, pInput, nLength, pOutput, decode);
}

// --- G.726 voice frames ---

int32_t CCodecHiG726::Open() {
    int32_t nResult = CBaseAudioCodec::Open();
    m_dwCodecType = ADEC_CODEC_HI_G726;
    if (HI_VOICE_DecReset(m_aVoiceState, HI_VOICE_CODEC_G726_16K) != HI_VOICE_OK)
        return ADEC_E_FAIL;
    return nResult;
}

int32_t CCodecHiG726::Close() {
    std::memset(m_aVoiceState, 0, sizeof(m_aVoiceState));
    return CBaseAudioCodec::Close();
}

int32_t CCodecHiG726::DecodeVoiceFrame(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                                       uint8_t *pOutput, uint32_t *pnWritten) {
    // The library reads the whole payload its header announces: a frame
    // shorter than that is refused instead of read past its end.
    if (nLength < HI_VOICE_FRAME_HEADER_SIZE || nLength < HI_VOICE_FRAME_HEADER_SIZE + 2u * pInput[2])
        return ADEC_E_FAIL;
    auto *pSelf = static_cast<CCodecHiG726 *>(pCodec);
    int16_t aSamples[HI_VOICE_MAX_SAMPLES];
    int16_t nCount = 0;
    if (HI_VOICE_DecodeFrame(pSelf->m_aVoiceState, pInput, aSamples, &nCount) != HI_VOICE_OK)
        return ADEC_E_FAIL;
    std::memcpy(pOutput, aSamples, 2u * static_cast<uint32_t>(nCount));
    *pnWritten = 2u * static_cast<uint32_t>(nCount);
    return ADEC_OK;
}

int32_t CCodecHiG726::Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) {
    if (nLength > ADEC_G726_MAX_INPUT)
        return ADEC_E_FAIL;
    return RunDecode(static_cast<uint64_t>(ADEC_G726_OUTPUT_BYTES_PER_INPUT) * nLength, pInput, nLength,
                     pOutput, DecodeVoiceFrame);
}
