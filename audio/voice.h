// Voice codec library internals: the companding tables and the G.726 and IMA
// ADPCM coders behind the HI_VOICE_* functions (include/qvvoice.h). The frame
// decoders of adec.h reuse the A-law table and the G.726 decoder loop.
#pragma once

#include <array>
#include <cstdint>

namespace voice {

// G.711 expansion: even bits inverted, 3-bit segment, 4-bit step, sign bit
// set for positive values.
constexpr int16_t AlawExpand(uint8_t nCode) {
    int nValue = nCode ^ 0x55;
    int nMagnitude = (nValue & 0x0F) << 4;
    int nSegment = (nValue & 0x70) >> 4;
    if (nSegment == 0)
        nMagnitude += 8;
    else
        nMagnitude = (nMagnitude + 0x108) << (nSegment - 1);
    return static_cast<int16_t>((nValue & 0x80) ? nMagnitude : -nMagnitude);
}

// All bits inverted, 3-bit segment, 4-bit step, bias 0x84.
constexpr int16_t UlawExpand(uint8_t nCode) {
    int nValue = static_cast<uint8_t>(~nCode);
    int nMagnitude = (((nValue & 0x0F) << 3) + 0x84) << ((nValue & 0x70) >> 4);
    return static_cast<int16_t>((nValue & 0x80) ? 0x84 - nMagnitude : nMagnitude - 0x84);
}

template <int16_t (*Expand)(uint8_t)> constexpr std::array<int16_t, 256> MakeExpandTable() {
    std::array<int16_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[i] = Expand(static_cast<uint8_t>(i));
    return table;
}

// 16-bit linear value of every A-law and u-law byte.
inline constexpr std::array<int16_t, 256> g_aAlawToLinear = MakeExpandTable<AlawExpand>();
inline constexpr std::array<int16_t, 256> g_aUlawToLinear = MakeExpandTable<UlawExpand>();

uint8_t LinearToAlaw(int16_t nSample);
uint8_t LinearToUlaw(int16_t nSample);

// G.726 coder variables, kept in the caller's state block after the codec id.
// The predictor histories hold the coder's 11-bit floating format: sign in
// bit 10, exponent in bits 9..6, mantissa (with its leading one) in bits 5..0.
struct G726Coder {
    int32_t nYl;     // slow scale factor (scaled by 64)
    int16_t nYu;     // fast scale factor
    int16_t nDms;    // short-term mean of F(I)
    int16_t nDml;    // long-term mean of F(I)
    int16_t nAp;     // speed control
    int16_t aA[2];   // pole coefficients a1, a2
    int16_t aB[6];   // zero coefficients b1..b6
    uint16_t aDq[6]; // quantised differences, newest first
    uint16_t aSr[2]; // reconstructed signal, newest first
    uint8_t aPk[2];  // signs of the partial reconstruction, newest first
    uint8_t nTd;     // tone detected
    uint8_t nBits;   // bits per code: 2, 3, 4 or 5
};

void G726Reset(G726Coder &coder, int nBits);
// Decodes nCount codes (each nBits wide, in the low bits) into 16-bit PCM.
void G726DecodeCodes(G726Coder &coder, const uint8_t *pCodes, int nCount, int16_t *pOutput);
// Encodes nCount 16-bit samples into codes, one per byte.
void G726EncodeSamples(G726Coder &coder, const int16_t *pInput, int nCount, uint8_t *pCodes);

// IMA ADPCM coder: predicted sample and step index (0..88).
struct ImaCoder {
    int16_t nPredicted;
    int16_t nIndex;
};

int16_t ImaDecodeCode(ImaCoder &coder, unsigned nCode);
unsigned ImaEncodeSample(ImaCoder &coder, int16_t nSample);

} // namespace voice
