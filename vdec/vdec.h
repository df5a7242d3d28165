// Flat entry points of the video decoders, used by the player. Each checks
// the decoder, then every pointer, then every record's size field, then the
// values, and only then calls the decoder; nothing throws.
#pragma once

#include <cstdint>

#include <qvvdec.h>

class CBaseVideoCodec;

// Creates the decoder for a stream: the hardware decoder first when the flags
// allow it and the codec is 3 to 5, else (or when it refuses) the software
// H.264 decoder for codec 3; VDEC_E_NOT_SUPPORTED for other codecs.
int32_t Vdec_Create(CBaseVideoCodec **ppDecoder, const VideoDecoderParam *pParam);
int32_t Vdec_Destroy(CBaseVideoCodec *pDecoder);
// One frame in, at most one picture out: Vdec_DecodeTagged with tag 0.
int32_t Vdec_Decode(CBaseVideoCodec *pDecoder, const uint8_t *pData, uint32_t nLength,
                    DecodedPicture *pPicture);
// Like Vdec_Decode, with a tag that travels with the frame: the picture
// written, if any, is that of the frame given qwTag, and *pqwTag receives
// that frame's tag (with reordering it is an earlier frame's). At most one
// picture per call; pictures left ready stay for later calls or Vdec_Drain.
// Same checks and two-call pattern as Vdec_Decode (null buffer or size 0:
// size query only, nothing decoded); pqwTag null is VDEC_E_NULL_POINTER,
// checked after the record pointer and before its size. When a picture is
// refused as larger than the decoder was created for (VDEC_E_FAIL), *pqwTag
// names its frame.
int32_t Vdec_DecodeTagged(CBaseVideoCodec *pDecoder, const uint8_t *pData, uint32_t nLength, uint64_t qwTag,
                          DecodedPicture *pPicture, uint64_t *pqwTag);
// End of stream: hands out the pictures the decoder still holds, one per call,
// each with its frame's tag; VDEC_E_NO_PICTURE when none is left, after which
// the decoder takes a new stream starting at a key frame. Same two-call
// pattern (a size query does not take a picture). Null decoder
// VDEC_E_INVALID_OBJECT, null record/tag pointer VDEC_E_NULL_POINTER, bad
// record size VDEC_E_BAD_SIZE.
int32_t Vdec_Drain(CBaseVideoCodec *pDecoder, DecodedPicture *pPicture, uint64_t *pqwTag);
int32_t Vdec_SetColor(CBaseVideoCodec *pDecoder, const PLAY_COLOR *pColor);
// Every Vdec_Decode call from now on brings exactly one whole frame: the
// software decoder then gives each frame's picture from its own call instead
// of one frame later. The hardware decoder always takes each call as a whole
// picture and ignores it.
int32_t Vdec_SetWholeFrames(CBaseVideoCodec *pDecoder, bool bWholeFrames);
// Statistics and kind of the decoder (the player's decoder-status attribute).
int32_t Vdec_GetDecoderInfo(CBaseVideoCodec *pDecoder, DecoderInfo *pInfo);
