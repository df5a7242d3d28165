// Audio decoder entry points used by the play modes: a factory by audio codec
// type and a checked decode call (two-call pattern, see qvaudio.h). The
// decoder status is read through CBaseAudioCodec::GetStatus.
#pragma once

#include <qvaudio.h>

#include <cstdint>

#include "audio/codec.h"

// Creates and opens the decoder of nCodecType (ADEC_CODEC_...).
int32_t CreateAudioCodec(uint32_t nCodecType, CBaseAudioCodec **ppCodec);

// Checks the decoder, the input and the output record, then decodes.
int32_t DecodeAudioFrame(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                         ADEC_OUTPUT *pOutput);

// Deletes a decoder; null is fine.
void DestroyAudioCodec(CBaseAudioCodec *pCodec);
