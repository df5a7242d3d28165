// G.722 sub-band ADPCM decoder in its 48 kbit/s mode (4-bit lower band,
// 2-bit upper band) with the 24-tap receive QMF, in the fixed-point
// arithmetic of the ITU-T recommendation.
#include <algorithm>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "audio/codec.h"

namespace {

// One sub-band's ADPCM predictor and scale factor. The histories are kept
// doubled and saturated to 16 bits, the form in which the predictor uses
// them; only the signs of the partial reconstructions are needed.
struct G722Band {
    int16_t nS;     // signal estimate
    int16_t nSz;    // zero-section part of the estimate
    int16_t aR2[2]; // reconstructed signal, doubled, newest first
    int16_t aPs[2]; // sign (-1 or 0) of the partial reconstruction, newest first
    int16_t aA[2];  // pole coefficients
    int16_t aD2[6]; // quantised differences, doubled, newest first
    int16_t aB[6];  // zero coefficients
    int16_t nNb;    // logarithmic scale factor
    int16_t nDet;   // scale factor
};

constexpr int QMF_HISTORY = 22;

} // namespace

struct G722State {
    G722Band low;
    G722Band high;
    int16_t aX[QMF_HISTORY]; // last sum and difference inputs of the QMF
};
static_assert(sizeof(G722State) <= ADEC_G722_STATE_SIZE, "sub-band state fits its allocation");

namespace {

const int QM4[16] = {0,     -20456, -12896, -8968, -6288, -4240, -2584, -1200,
                     20456, 12896,  8968,   6288,  4240,  2584,  1200,  0};
// Scale-factor multipliers of the lower band by code: W(|level|) with the
// levels 0, 7, 6, 5, 4, 3, 2, 1, 7, ... of the codes 0 to 15.
const int WL_BY_CODE[16] = {-60, 3042, 1198, 538, 334, 172, 58, -30, 3042, 1198, 538, 334, 172, 58, -30, -60};
const int QM2[4] = {-7408, -1616, 7408, 1616};
// Upper band by code: W for the levels 2, 1, 2, 1.
const int WH_BY_CODE[4] = {798, -214, 798, -214};
constexpr int ILB[32] = {2048, 2093, 2139, 2186, 2233, 2282, 2332, 2383, 2435, 2489, 2543,
                         2599, 2656, 2714, 2774, 2834, 2896, 2960, 3025, 3091, 3158, 3228,
                         3298, 3371, 3444, 3520, 3597, 3676, 3756, 3838, 3922, 4008};
// Even taps of the symmetric 24-tap QMF; the odd taps are these reversed.
constexpr int QMF_TAPS[12] = {3, -11, 12, 32, -210, 951, 3876, -805, 362, -156, 53, -11};

inline int Saturate(int n) {
    return std::clamp(n, -32768, 32767);
}

// Predictor adaptation after a quantised difference nD. It runs twice per
// sample pair, so it is inlined and its loop unrolled.
#if defined(__GNUC__)
#define QV_G722_INLINE inline __attribute__((always_inline))
#else
#define QV_G722_INLINE inline
#endif
template <class Band> QV_G722_INLINE void AdaptBand(Band &b, int nD) {
    const int nSg0 = (b.nSz + nD) < 0 ? -1 : 0;
    const int nSg1 = b.aPs[0];
    const int nSg2 = b.aPs[1];

    // Second pole coefficient.
    const int nA1Old = b.aA[0];
    int nWd = Saturate(nA1Old * 4);
    nWd = nSg0 == nSg1 ? std::min(-nWd, 32767) : nWd;
    int nA2 = (nSg0 == nSg2 ? 128 : -128) + (nWd >> 7) + ((b.aA[1] * 32512) >> 15);
    nA2 = std::clamp(nA2, -12288, 12288);

    // First pole coefficient, limited by the second.
    int nA1 = (nSg0 == nSg1 ? 192 : -192) + ((nA1Old * 32640) >> 15);
    const int nLimit = 15360 - nA2;
    nA1 = std::clamp(nA1, -nLimit, nLimit);

    // Zero coefficients, from the differences before this one; then the
    // zero section of the next estimate over the shifted differences.
    const int nD2 = Saturate(2 * nD);
    const int nStep = nD == 0 ? 0 : 128;
    const int nSgD = nD < 0;
    int nSz = 0;
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC unroll 6
#endif
    for (int i = 5; i >= 0; --i) {
        // Stays within 16 bits: |b * 32640 / 32768| + 128 <= 32768.
        int nB = (((b.aD2[i] < 0) == nSgD) ? nStep : -nStep) + ((b.aB[i] * 32640) >> 15);
        b.aB[i] = static_cast<int16_t>(nB);
        int nDi = i > 0 ? b.aD2[i - 1] : nD2;
        b.aD2[i] = static_cast<int16_t>(nDi);
        nSz += (nB * nDi) >> 15;
    }
    nSz = Saturate(nSz);

    const int nR2 = Saturate(2 * Saturate(b.nS + nD));
    const int nSp = Saturate(((nA1 * nR2) >> 15) + ((nA2 * b.aR2[0]) >> 15));
    b.aR2[1] = b.aR2[0];
    b.aR2[0] = static_cast<int16_t>(nR2);
    b.aPs[1] = b.aPs[0];
    b.aPs[0] = static_cast<int16_t>(nSg0);
    b.aA[0] = static_cast<int16_t>(nA1);
    b.aA[1] = static_cast<int16_t>(nA2);
    b.nSz = static_cast<int16_t>(nSz);
    b.nS = static_cast<int16_t>(Saturate(nSp + nSz));
}

// The scale factor depends on the log scale factor's bits from 6 up only:
// its fraction (5 bits) picks a table entry, its integer part a shift.
struct ScaleTable {
    int16_t aDet[360];
    constexpr explicit ScaleTable(int nShiftBase) : aDet() {
        for (int i = 0; i < 360; ++i) {
            int nShift = nShiftBase - (i >> 5);
            int n = nShift < 0 ? ILB[i & 31] << -nShift : ILB[i & 31] >> nShift;
            aDet[i] = static_cast<int16_t>(n << 2);
        }
    }
};
constexpr ScaleTable g_lowScale(8);   // log scale factor up to 18432: index 288
constexpr ScaleTable g_highScale(10); // up to 22528: index 352

// A band's variables as plain integers while a run of pairs is decoded, so
// that the compiler can keep them in registers.
struct BandWork {
    int nS, nSz, aR2[2], aPs[2], aA[2], aD2[6], aB[6], nNb, nDet;
};

BandWork Load(const G722Band &b) {
    BandWork w = {b.nS,  b.nSz, {b.aR2[0], b.aR2[1]}, {b.aPs[0], b.aPs[1]}, {b.aA[0], b.aA[1]}, {}, {},
                  b.nNb, b.nDet};
    for (int i = 0; i < 6; ++i) {
        w.aD2[i] = b.aD2[i];
        w.aB[i] = b.aB[i];
    }
    return w;
}

void Store(const BandWork &w, G722Band &b) {
    b.nS = static_cast<int16_t>(w.nS);
    b.nSz = static_cast<int16_t>(w.nSz);
    for (int i = 0; i < 2; ++i) {
        b.aR2[i] = static_cast<int16_t>(w.aR2[i]);
        b.aPs[i] = static_cast<int16_t>(w.aPs[i]);
        b.aA[i] = static_cast<int16_t>(w.aA[i]);
    }
    for (int i = 0; i < 6; ++i) {
        b.aD2[i] = static_cast<int16_t>(w.aD2[i]);
        b.aB[i] = static_cast<int16_t>(w.aB[i]);
    }
    b.nNb = static_cast<int16_t>(w.nNb);
    b.nDet = static_cast<int16_t>(w.nDet);
}

// Decodes one code pair into the lower and upper sub-band signals.
QV_G722_INLINE void DecodePair(BandWork &lo, BandWork &hi, unsigned nLow, unsigned nHigh, int &nRl,
                               int &nRh) {
    int nDl = (lo.nDet * QM4[nLow]) >> 15;
    nRl = std::clamp(lo.nS + nDl, -16384, 16383);
    lo.nNb = std::clamp(((lo.nNb * 127) >> 7) + WL_BY_CODE[nLow], 0, 18432);
    lo.nDet = g_lowScale.aDet[lo.nNb >> 6];
    AdaptBand(lo, nDl);

    int nDh = (hi.nDet * QM2[nHigh]) >> 15;
    nRh = std::clamp(hi.nS + nDh, -16384, 16383);
    hi.nNb = std::clamp(((hi.nNb * 127) >> 7) + WH_BY_CODE[nHigh], 0, 22528);
    hi.nDet = g_highScale.aDet[hi.nNb >> 6];
    AdaptBand(hi, nDh);
}

void ResetState(G722State &s) {
    std::memset(&s, 0, sizeof(s));
    s.low.nDet = ADEC_G722_LOWER_INITIAL_STEP;
    s.high.nDet = ADEC_G722_UPPER_INITIAL_STEP;
}

// Code pairs decoded per pass before the QMF runs over them.
constexpr uint32_t GROUPS_PER_CHUNK = 64;

} // namespace

G722State *G722CreateState() {
    // The state lives in a block of the documented size.
    void *pBlock = ::operator new(ADEC_G722_STATE_SIZE, std::nothrow);
    if (!pBlock)
        return nullptr;
    auto *pState = new (pBlock) G722State;
    ResetState(*pState);
    return pState;
}

void G722DestroyState(G722State *pState) {
    ::operator delete(pState);
}

namespace {

// The receive QMF over a window of 24 inputs (sum, difference, sum, ...):
// the first output weighs the differences with the odd taps, the second the
// sums with the even taps.
struct QmfTaps {
    int16_t aFirst[24];
    int16_t aSecond[24];
    constexpr QmfTaps() : aFirst(), aSecond() {
        for (int i = 0; i < 12; ++i) {
            aSecond[2 * i] = static_cast<int16_t>(QMF_TAPS[i]);
            aFirst[2 * i + 1] = static_cast<int16_t>(QMF_TAPS[11 - i]);
        }
    }
};
constexpr QmfTaps g_qmf;

inline int16_t ClampOutput(int nAcc) {
    return static_cast<int16_t>(std::clamp(nAcc >> 12, ADEC_G722_SAMPLE_MIN, ADEC_G722_SAMPLE_MAX));
}

// Two output samples per pair from the inputs in pX (history first).
void ApplyQmf(const int16_t *pX, uint32_t nPairs, int16_t *pOutput) {
#if defined(__SSE2__)
    const __m128i f0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g_qmf.aFirst));
    const __m128i f1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g_qmf.aFirst + 8));
    const __m128i f2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g_qmf.aFirst + 16));
    const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g_qmf.aSecond));
    const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g_qmf.aSecond + 8));
    const __m128i s2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(g_qmf.aSecond + 16));
    for (uint32_t p = 0; p < nPairs; ++p) {
        const int16_t *pW = pX + 2 * p;
        const __m128i w0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pW));
        const __m128i w1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pW + 8));
        const __m128i w2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(pW + 16));
        __m128i a = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(w0, f0), _mm_madd_epi16(w1, f1)),
                                  _mm_madd_epi16(w2, f2));
        __m128i b = _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(w0, s0), _mm_madd_epi16(w1, s1)),
                                  _mm_madd_epi16(w2, s2));
        // [a0+a2, b0+b2, a1+a3, b1+b3], then the halves added.
        __m128i u = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
        u = _mm_add_epi32(u, _mm_shuffle_epi32(u, _MM_SHUFFLE(1, 0, 3, 2)));
        pOutput[2 * p] = ClampOutput(_mm_cvtsi128_si32(u));
        pOutput[2 * p + 1] = ClampOutput(_mm_cvtsi128_si32(_mm_shuffle_epi32(u, _MM_SHUFFLE(1, 1, 1, 1))));
    }
#else
    for (uint32_t p = 0; p < nPairs; ++p) {
        const int16_t *pW = pX + 2 * p;
        int nFirst = 0, nSecond = 0;
        for (int j = 0; j < 24; ++j) {
            nFirst += pW[j] * g_qmf.aFirst[j];
            nSecond += pW[j] * g_qmf.aSecond[j];
        }
        pOutput[2 * p] = ClampOutput(nFirst);
        pOutput[2 * p + 1] = ClampOutput(nSecond);
    }
#endif
}

} // namespace

void G722Decode(G722State *pState, const uint8_t *pInput, uint32_t nGroups, int16_t *pOutput) {
    G722State &s = *pState;
    // QMF inputs: the saved history, then a sum and a difference per pair.
    // Both fit 16 bits: each sub-band signal is limited to 15 bits.
    int16_t aX[QMF_HISTORY + 8 * GROUPS_PER_CHUNK];
    std::memcpy(aX, s.aX, sizeof(s.aX));
    BandWork lo = Load(s.low);
    BandWork hi = Load(s.high);
    while (nGroups > 0) {
        uint32_t nChunk = std::min(nGroups, GROUPS_PER_CHUNK);
        int16_t *pX = aX + QMF_HISTORY;
        for (uint32_t g = 0; g < nChunk; ++g, pInput += 3) {
            const unsigned b0 = pInput[0], b1 = pInput[1], b2 = pInput[2];
            const unsigned aLow[4] = {(b0 >> 2) & 15, b1 & 15, (b1 >> 6) | ((b2 & 3) << 2), b2 >> 4};
            const unsigned aHigh[4] = {b0 & 3, b0 >> 6, (b1 >> 4) & 3, (b2 >> 2) & 3};
            for (int k = 0; k < 4; ++k) {
                int nRl, nRh;
                DecodePair(lo, hi, aLow[k], aHigh[k], nRl, nRh);
                *pX++ = static_cast<int16_t>(nRl + nRh);
                *pX++ = static_cast<int16_t>(nRl - nRh);
            }
        }
        const uint32_t nPairs = 4 * nChunk;
        ApplyQmf(aX, nPairs, pOutput);
        pOutput += 2 * nPairs;
        std::memmove(aX, aX + 2 * nPairs, sizeof(s.aX));
        nGroups -= nChunk;
    }
    std::memcpy(s.aX, aX, sizeof(s.aX));
    Store(lo, s.low);
    Store(hi, s.high);
}

CCodecG722::~CCodecG722() {
    G722DestroyState(m_pState);
    m_pState = nullptr;
}

int32_t CCodecG722::Open() {
    int32_t nResult = CBaseAudioCodec::Open();
    m_dwCodecType = ADEC_CODEC_G722;
    if (m_pState) {
        ResetState(*m_pState);
        return nResult;
    }
    m_pState = G722CreateState();
    return m_pState ? nResult : ADEC_E_FAIL;
}

int32_t CCodecG722::Close() {
    G722DestroyState(m_pState);
    m_pState = nullptr;
    return CBaseAudioCodec::Close();
}

int32_t CCodecG722::DecodeGroups(CBaseAudioCodec *pCodec, const uint8_t *pInput, uint32_t nLength,
                                 uint8_t *pOutput, uint32_t *pnWritten) {
    auto *pSelf = static_cast<CCodecG722 *>(pCodec);
    // Closed and not opened again: there is no state to decode with.
    if (!pSelf->m_pState)
        return ADEC_E_INVALID_OBJECT;
    const uint32_t nGroups = nLength / ADEC_G722_GROUP_BYTES;
    int16_t aSamples[8 * GROUPS_PER_CHUNK];
    for (uint32_t nDone = 0; nDone < nGroups;) {
        uint32_t nChunk = std::min(nGroups - nDone, GROUPS_PER_CHUNK);
        G722Decode(pSelf->m_pState, pInput + 3 * nDone, nChunk, aSamples);
        std::memcpy(pOutput + ADEC_G722_GROUP_OUTPUT_BYTES * nDone, aSamples,
                    ADEC_G722_GROUP_OUTPUT_BYTES * nChunk);
        nDone += nChunk;
    }
    *pnWritten = nGroups * ADEC_G722_GROUP_OUTPUT_BYTES;
    return ADEC_OK;
}

int32_t CCodecG722::Decode(const uint8_t *pInput, uint32_t nLength, ADEC_OUTPUT *pOutput) {
    if (nLength % ADEC_G722_GROUP_BYTES != 0)
        return ADEC_E_INVALID_VALUE;
    return RunDecode(static_cast<uint64_t>(nLength) * ADEC_G722_GROUP_OUTPUT_BYTES / ADEC_G722_GROUP_BYTES,
                     pInput, nLength, pOutput, DecodeGroups);
}
