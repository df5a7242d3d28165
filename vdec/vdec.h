// Flat entry points of the video decoders, used by the player. Each checks
// the decoder, then every pointer, then every record's size field, then the
// values, and only then calls the decoder; nothing throws.
#pragma once

#include <cstdint>

#include <qvplay.h>
#include <qvvdec.h>

class CBaseVideoCodec;

// Creates the decoder for a stream: the hardware decoder first when the flags
// allow it and the codec is 3 to 5, else (or when it refuses) the software
// H.264 decoder for codec 3; VDEC_E_NOT_SUPPORTED for other codecs.
int32_t Vdec_Create(CBaseVideoCodec **ppDecoder, const VideoDecoderParam *pParam);
int32_t Vdec_Destroy(CBaseVideoCodec *pDecoder);
int32_t Vdec_Decode(CBaseVideoCodec *pDecoder, const uint8_t *pData, uint32_t nLength,
                    DecodedPicture *pPicture);
int32_t Vdec_SetColor(CBaseVideoCodec *pDecoder, const PLAY_COLOR *pColor);
// Every Vdec_Decode call from now on brings exactly one whole frame: the
// software decoder then gives each frame's picture from its own call instead
// of one frame later. The hardware decoder ignores it.
int32_t Vdec_SetWholeFrames(CBaseVideoCodec *pDecoder, bool bWholeFrames);
// Statistics and kind of the decoder (the player's decoder-status attribute).
int32_t Vdec_GetDecoderInfo(CBaseVideoCodec *pDecoder, DecoderInfo *pInfo);
