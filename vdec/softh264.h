// The software H.264 decoder: the decoding core behind the decoder
// interface, delivering YV12 pictures of the size the decoder was created for.
#pragma once

#include "vdec/basevideocodec.h"

class CCodecSoftH264 : public CBaseVideoCodec {
public:
    CCodecSoftH264();
    ~CCodecSoftH264() override;

    int32_t Open(const VideoDecoderParam *pParam) override;
    void Close() override;
    int32_t Decode(const uint8_t *pData, uint32_t nLength, DecodedPicture *pPicture) override;
};
