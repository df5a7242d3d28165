// Audio decoder factory and checked decode entry.
#include "audio/adec.h"

#include <new>

namespace {

CBaseAudioCodec *NewCodec(uint32_t nCodecType) {
    switch (nCodecType) {
    case ADEC_CODEC_PCM8:
        return new (std::nothrow) CCodecPcm8;
    case ADEC_CODEC_G711_ALAW:
        return new (std::nothrow) CCodecG711Alaw;
    case ADEC_CODEC_G722:
        return new (std::nothrow) CCodecG722;
    case ADEC_CODEC_HI_G726:
        return new (std::nothrow) CCodecHiG726;
    default:
        return nullptr;
    }
}

} // namespace

int32_t CreateAudioCodec(uint32_t nCodecType, CBaseAudioCodec **ppCodec) {
    if (!ppCodec)
        return ADEC_E_NULL_POINTER;
    if (nCodecType < ADEC_CODEC_PCM8 || nCodecType > ADEC_CODEC_HI_G726)
        return ADEC_E_NOT_SUPPORTED;
    CBaseAudioCodec *pCodec = NewCodec(nCodecType);
    if (!pCodec)
        return ADEC_E_FAIL; // no memory for the decoder
    int32_t nResult = pCodec->Open();
    if (nResult < 0) {
        delete pCodec;
        return nResult;
    }
    *ppCodec = pCodec;
    return nResult;
}

int32_t DecodeAudioFrame(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                         ADEC_OUTPUT *pOutput) {
    if (!pCodec)
        return ADEC_E_INVALID_OBJECT;
    if (!pInput)
        return ADEC_E_NULL_POINTER;
    if (nLength == 0)
        return ADEC_E_INVALID_VALUE;
    if (!pOutput)
        return ADEC_E_NULL_POINTER;
    if (pOutput->dwSize != ADEC_OUTPUT_SIZE)
        return ADEC_E_BAD_SIZE;
    return pCodec->Decode(pInput, nLength, pOutput);
}

void DestroyAudioCodec(CBaseAudioCodec *pCodec) {
    delete pCodec;
}
