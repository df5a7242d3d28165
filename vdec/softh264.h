// The software H.264 decoder: the decoding core behind the decoder
// interface, delivering YV12 pictures at the stream's display size (its
// cropping applied), up to the size the decoder was created for.
#pragma once

#include "vdec/basevideocodec.h"

class CCodecSoftH264 : public CBaseVideoCodec {
public:
    CCodecSoftH264();
    ~CCodecSoftH264() override;

    int32_t Open(const VideoDecoderParam *pParam) override;
    void Close() override;
    int32_t Decode(const uint8_t *pData, uint32_t nLength, uint64_t qwTag, DecodedPicture *pPicture,
                   uint64_t *pqwTag) override;
    int32_t Drain(DecodedPicture *pPicture, uint64_t *pqwTag) override;

private:
    // Hands out the core's picture: its display window into the buffer as
    // YV12, the colour and field steps, the statistics.
    int32_t TakePicture(const H264CorePicture &core, DecodedPicture *pPicture, uint64_t *pqwTag);
};
