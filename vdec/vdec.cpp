#include "vdec/vdec.h"

#include <new>

#include "vdec/basevideocodec.h"
#include "vdec/cuda.h"
#include "vdec/softh264.h"

namespace {

// Creates and opens one candidate; null with *pResult set when it refuses.
template <class TCodec> CBaseVideoCodec *OpenCandidate(const VideoDecoderParam *pParam, int32_t *pResult) {
    TCodec *pCodec = new (std::nothrow) TCodec;
    if (!pCodec) {
        *pResult = VDEC_E_CREATE_FAILED;
        return nullptr;
    }
    *pResult = pCodec->Open(pParam);
    if (*pResult != VDEC_OK) {
        delete pCodec;
        return nullptr;
    }
    return pCodec;
}

} // namespace

int32_t Vdec_Create(CBaseVideoCodec **ppDecoder, const VideoDecoderParam *pParam) {
    if (!ppDecoder || !pParam)
        return VDEC_E_NULL_POINTER;
    if (pParam->dwSize != VDEC_PARAM_SIZE)
        return VDEC_E_BAD_SIZE;
    try {
        int32_t result = VDEC_OK;
        const uint32_t codec = pParam->dwCodec;
        if ((pParam->dwFlags & VDEC_FLAG_HARDWARE) && codec >= VDEC_CODEC_HW_FIRST &&
            codec <= VDEC_CODEC_HW_LAST) {
            if (CBaseVideoCodec *pCodec = OpenCandidate<CCodecCuda>(pParam, &result)) {
                *ppDecoder = pCodec;
                return VDEC_OK;
            }
        }
        if (codec != VDEC_CODEC_H264)
            return VDEC_E_NOT_SUPPORTED;
        CBaseVideoCodec *pCodec = OpenCandidate<CCodecSoftH264>(pParam, &result);
        if (!pCodec)
            return result;
        *ppDecoder = pCodec;
        return VDEC_OK;
    } catch (...) {
        return VDEC_E_CREATE_FAILED;
    }
}

int32_t Vdec_Destroy(CBaseVideoCodec *pDecoder) {
    if (!pDecoder)
        return VDEC_E_INVALID_OBJECT;
    try {
        delete pDecoder;
    } catch (...) {
    }
    return VDEC_OK;
}

int32_t Vdec_Decode(CBaseVideoCodec *pDecoder, const uint8_t *pData, uint32_t nLength,
                    DecodedPicture *pPicture) {
    uint64_t tag = 0;
    return Vdec_DecodeTagged(pDecoder, pData, nLength, 0, pPicture, &tag);
}

int32_t Vdec_DecodeTagged(CBaseVideoCodec *pDecoder, const uint8_t *pData, uint32_t nLength, uint64_t qwTag,
                          DecodedPicture *pPicture, uint64_t *pqwTag) {
    if (!pDecoder)
        return VDEC_E_INVALID_OBJECT;
    if (!pData)
        return VDEC_E_NULL_POINTER;
    if (nLength == 0)
        return VDEC_E_INVALID_VALUE;
    if (!pPicture || !pqwTag)
        return VDEC_E_NULL_POINTER;
    if (pPicture->dwSize != VDEC_PICTURE_SIZE)
        return VDEC_E_BAD_SIZE;
    try {
        return pDecoder->Decode(pData, nLength, qwTag, pPicture, pqwTag);
    } catch (...) {
        return VDEC_E_FAIL;
    }
}

int32_t Vdec_Drain(CBaseVideoCodec *pDecoder, DecodedPicture *pPicture, uint64_t *pqwTag) {
    if (!pDecoder)
        return VDEC_E_INVALID_OBJECT;
    if (!pPicture || !pqwTag)
        return VDEC_E_NULL_POINTER;
    if (pPicture->dwSize != VDEC_PICTURE_SIZE)
        return VDEC_E_BAD_SIZE;
    try {
        return pDecoder->Drain(pPicture, pqwTag);
    } catch (...) {
        return VDEC_E_FAIL;
    }
}

int32_t Vdec_SetColor(CBaseVideoCodec *pDecoder, const PLAY_COLOR *pColor) {
    if (!pDecoder)
        return VDEC_E_INVALID_OBJECT;
    if (!pColor)
        return VDEC_E_NULL_POINTER;
    if (pColor->dwSize != PLAY_COLOR_SIZE)
        return VDEC_E_BAD_SIZE;
    try {
        return pDecoder->SetColor(pColor);
    } catch (...) {
        return VDEC_E_FAIL;
    }
}

int32_t Vdec_SetWholeFrames(CBaseVideoCodec *pDecoder, bool bWholeFrames) {
    if (!pDecoder)
        return VDEC_E_INVALID_OBJECT;
    pDecoder->SetWholeFrames(bWholeFrames);
    return VDEC_OK;
}

int32_t Vdec_GetDecoderInfo(CBaseVideoCodec *pDecoder, DecoderInfo *pInfo) {
    if (!pDecoder)
        return VDEC_E_INVALID_OBJECT;
    if (!pInfo)
        return VDEC_E_NULL_POINTER;
    try {
        return pDecoder->GetDecoderInfo(pInfo);
    } catch (...) {
        return VDEC_E_FAIL;
    }
}
