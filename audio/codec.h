// Audio frame decoders: one small class per audio codec type under
// CBaseAudioCodec. Each turns the payload of one audio frame into 16-bit mono
// PCM at 8000 samples per second, in two calls (size query, then decode).
#pragma once

#include <qvaudio.h>
#include <qvvoice.h>

#include <cstdint>

struct G722State;

class CBaseAudioCodec {
public:
    CBaseAudioCodec() = default;
    virtual ~CBaseAudioCodec();
    CBaseAudioCodec(const CBaseAudioCodec &) = delete;
    CBaseAudioCodec &operator=(const CBaseAudioCodec &) = delete;

    virtual int32_t Open();
    virtual int32_t Close();
    virtual int32_t Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) = 0;
    virtual int32_t GetStatus(ADEC_STATUS *pStatus);

protected:
    // Writes nSamples 16-bit samples into pOutput after the common checks.
    using DecodeFn = int32_t (*)(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                                 uint8_t *pOutput, uint32_t *pnWritten);

    // The protocol every decoder follows: answers a size query, refuses a
    // short buffer, times the decode and counts it.
    int32_t RunDecode(uint64_t nNeeded, const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput,
                      DecodeFn decode);

    uint32_t m_dwStatusSize = 0;
    uint32_t m_dwFrameCount = 0;
    uint64_t m_ullDecodeTime = 0;
    uint32_t m_dwCodecType = 0;
    uint32_t m_dwReserved = 0;
};

// Signed 8-bit PCM, scaled by 256.
class CCodecPcm8 final : public CBaseAudioCodec {
public:
    int32_t Open() override;
    int32_t Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) override;
};

// G.711 A-law, one byte per sample.
class CCodecG711Alaw final : public CBaseAudioCodec {
public:
    int32_t Open() override;
    int32_t Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) override;
};

// G.722 in its 48 kbit/s mode: four code pairs in every 3 bytes. The sub-band
// state runs on from frame to frame; it is allocated by Open.
class CCodecG722 final : public CBaseAudioCodec {
public:
    ~CCodecG722() override;
    int32_t Open() override;
    int32_t Close() override;
    int32_t Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) override;

private:
    static int32_t DecodeGroups(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                                uint8_t *pOutput, uint32_t *pnWritten);
    G722State *m_pState = nullptr;
};

// One voice-library frame of G.726 at 16 kbit/s.
class CCodecHiG726 final : public CBaseAudioCodec {
public:
    int32_t Open() override;
    int32_t Close() override;
    int32_t Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) override;

private:
    static int32_t DecodeVoiceFrame(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                                    uint8_t *pOutput, uint32_t *pnWritten);
    alignas(8) uint8_t m_aVoiceState[HI_VOICE_STATE_SIZE] = {};
};

// The G.722 sub-band decoder, exposed for the benchmark and tests: decodes
// nGroups 3-byte groups into 8 samples each.
G722State *G722CreateState();
void G722DestroyState(G722State *pState);
void G722Decode(G722State *pState, const uint8_t *pInput, uint32_t nGroups, int16_t *pOutput);
