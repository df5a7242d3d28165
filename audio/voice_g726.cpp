// G.726 adaptive differential coder for 2, 3, 4 and 5 bits per code, in the
// fixed-point arithmetic of the ITU-T recommendation, with the choices that
// make it agree sample for sample with the decoders in common use (FFmpeg's
// among them): the fast and slow scale factors are mixed with one rounding,
// the zero-coefficient leak is 2^-8 at every rate, and the two lowest 40
// kbit/s decision levels are -121 and -15. Samples are 16-bit; the coder
// itself works on 14-bit values.
#include "audio/voice.h"

#include <algorithm>

namespace voice {
namespace {

// Per code size, indexed by the code: log2 of the reconstructed magnitude
// relative to the scale factor (-2048: zero), the scale-factor multiplier
// W(I) and the speed-control input F(I); then the quantiser decision levels.
struct G726Tables {
    int16_t aDqln[32];
    int16_t aWi[32];
    uint8_t aFi[32];
    int16_t aLevels[15];
    int nLevels;
};

const G726Tables g_aTables[4] = {
    // 2 bits (16 kbit/s): no zero level; codes 2 and 3 are negative.
    {{116, 365, 365, 116}, {-22, 439, 439, -22}, {0, 7, 7, 0}, {261}, 1},
    // 3 bits (24 kbit/s)
    {{-2048, 135, 273, 373, 373, 273, 135, -2048},
     {-4, 30, 137, 582, 582, 137, 30, -4},
     {0, 1, 2, 7, 7, 2, 1, 0},
     {8, 218, 331},
     3},
    // 4 bits (32 kbit/s)
    {{-2048, 4, 135, 213, 273, 323, 373, 425, 425, 373, 323, 273, 213, 135, 4, -2048},
     {-12, 18, 41, 64, 112, 198, 355, 1122, 1122, 355, 198, 112, 64, 41, 18, -12},
     {0, 0, 0, 1, 1, 1, 3, 7, 7, 3, 1, 1, 1, 0, 0, 0},
     {-124, 80, 178, 246, 300, 349, 400},
     7},
    // 5 bits (40 kbit/s)
    {{-2048, -66, 28,  104, 169, 224, 274, 318, 358, 395, 429, 459, 488, 514, 539, 566,
      566,   539, 514, 488, 459, 429, 395, 358, 318, 274, 224, 169, 104, 28,  -66, -2048},
     {14,  14,  24,  39,  40,  41,  58,  100, 141, 179, 219, 280, 358, 440, 529, 696,
      696, 529, 440, 358, 280, 219, 179, 141, 100, 58,  41,  40,  39,  24,  14,  14},
     {0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 3, 4, 5, 6, 6, 6, 6, 5, 4, 3, 2, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0},
     {-121, -15, 68, 139, 198, 250, 298, 339, 378, 413, 445, 475, 502, 528, 553},
     15},
};

// Number of significant bits of a non-negative value (0 for 0).
inline int BitLength(unsigned nValue) {
    return nValue ? 32 - __builtin_clz(nValue) : 0;
}

// The 11-bit floating form of a sign and a magnitude below 32768.
inline uint16_t ToFloat(int nSign, int nMagnitude) {
    int nExp = BitLength(static_cast<unsigned>(nMagnitude));
    int nMant = nMagnitude ? (nMagnitude << 6) >> nExp : 32;
    return static_cast<uint16_t>((nSign << 10) | (nExp << 6) | nMant);
}

// Product of a predictor coefficient and a history value in floating form.
inline int FloatMultiply(int nCoefficient, unsigned nFloat) {
    int nMag = (-(nCoefficient >> 2)) & 8191;
    if (nCoefficient >= 0)
        nMag = nCoefficient >> 2;
    int nExp = BitLength(static_cast<unsigned>(nMag));
    int nMant = nMag ? (nMag << 6) >> nExp : 32;
    int nProductExp = nExp + static_cast<int>((nFloat >> 6) & 15);
    int nProductMant = (static_cast<int>(nFloat & 63) * nMant + 48) >> 4;
    int nProduct = nProductExp > 26 ? ((nProductMant << 7) << (nProductExp - 26)) & 32767
                                    : (nProductMant << 7) >> (26 - nProductExp);
    bool bNegative = ((nFloat >> 10) & 1) != (nCoefficient < 0 ? 1u : 0u);
    return bNegative ? -nProduct : nProduct;
}

// One coder step shared by the encoder and the decoder.
class CG726Step {
public:
    explicit CG726Step(G726Coder &coder) : m_coder(coder), m_tables(g_aTables[coder.nBits - 2]) {}

    // Signal estimate and scale factor for the next sample.
    void Predict() {
        G726Coder &c = m_coder;
        int nZeros = 0;
        for (int i = 0; i < 6; ++i)
            nZeros += FloatMultiply(c.aB[i], c.aDq[i]);
        nZeros = static_cast<int16_t>(nZeros);
        int nAll = static_cast<int16_t>(nZeros + FloatMultiply(c.aA[0], c.aSr[0]) +
                                        FloatMultiply(c.aA[1], c.aSr[1]));
        m_nSez = nZeros >> 1;
        m_nSe = nAll >> 1;

        int nAl = c.nAp >= 256 ? 64 : c.nAp >> 2;
        // One rounding over the whole mix (slow factor kept with its six
        // fraction bits).
        m_nY = (c.nYl + (c.nYu - (c.nYl >> 6)) * nAl) >> 6;
    }

    // Quantises a 14-bit sample into a code (after Predict).
    unsigned Quantise(int nSample14) const {
        int nD = static_cast<int16_t>(nSample14 - m_nSe);
        int nSign = nD < 0;
        int nMag = (nSign ? -nD : nD) & 32767;
        int nExp = nMag > 1 ? BitLength(static_cast<unsigned>(nMag)) - 1 : 0;
        int nDl = (nExp << 7) + (((nMag << 7) >> nExp) & 127);
        int nDln = nDl - (m_nY >> 2);
        int nLevel = 0;
        while (nLevel < m_tables.nLevels && nDln >= m_tables.aLevels[nLevel])
            ++nLevel;
        int nMax = (1 << m_coder.nBits) - 1;
        if (nSign)
            return static_cast<unsigned>(nMax - nLevel);
        if (nLevel == 0 && m_coder.nBits != 2)
            return static_cast<unsigned>(nMax);
        return static_cast<unsigned>(nLevel);
    }

    // Reconstructs the code and adapts the coder; returns the 14-bit signal.
    int Update(unsigned nCode) {
        G726Coder &c = m_coder;
        const int nBits = c.nBits;
        const int nDqs = static_cast<int>(nCode >> (nBits - 1));

        int nDql = m_tables.aDqln[nCode] + (m_nY >> 2);
        int nDqMag = 0;
        if (nDql >= 0)
            nDqMag = ((128 + (nDql & 127)) << 7) >> (14 - ((nDql >> 7) & 15));
        int nDq = nDqs ? -nDqMag : nDqMag;
        int nSr = static_cast<int16_t>(m_nSe + nDq);
        int nDqsez = static_cast<int16_t>(nDq + m_nSez);
        int nPk0 = nDqsez < 0;
        bool bSigPk = nDqsez == 0;

        // Tone transition: a large difference right after a detected tone.
        int nYlInt = c.nYl >> 15;
        int nYlFrac = (c.nYl >> 10) & 31;
        int nThr = nYlInt > 9 ? 31 << 10 : (32 + nYlFrac) << nYlInt;
        bool bTr = c.nTd && nDqMag > ((nThr + (nThr >> 1)) >> 1);

        // Pole coefficients.
        int nA1 = c.aA[0];
        int nA2 = c.aA[1];
        int nPks1 = nPk0 ^ c.aPk[0];
        int nPks2 = nPk0 ^ c.aPk[1];
        int nUga2 = 0;
        int nUga1 = 0;
        if (!bSigPk) {
            int nFa1 = std::clamp(nA1, -8191, 8191) * 4;
            nUga2 = ((nPks2 ? -16384 : 16384) + (nPks1 ? nFa1 : -nFa1)) >> 7;
            nUga1 = nPks1 ? -192 : 192;
        }
        int nA2p =
            std::clamp(static_cast<int>(static_cast<int16_t>(nA2 + nUga2 - (nA2 >> 7))), -12288, 12288);
        int nA1Limit = 15360 - nA2p;
        int nA1p =
            std::clamp(static_cast<int>(static_cast<int16_t>(nA1 + nUga1 - (nA1 >> 8))), -nA1Limit, nA1Limit);

        // Zero coefficients.
        int aB[6];
        for (int i = 0; i < 6; ++i) {
            int nB = c.aB[i];
            int nUgb = 0;
            if (nDqMag != 0)
                nUgb = (nDqs ^ static_cast<int>((c.aDq[i] >> 10) & 1)) ? -128 : 128;
            aB[i] = static_cast<int16_t>(nB + nUgb - (nB >> 8));
        }

        int nTdp = nA2p < -11776;
        if (bTr) {
            nA1p = nA2p = 0;
            for (int &b : aB)
                b = 0;
        }

        // Speed control.
        int nFi = m_tables.aFi[nCode];
        int nDms = c.nDms + (((nFi << 9) - c.nDms) >> 5);
        int nDml = c.nDml + (((nFi << 11) - c.nDml) >> 7);
        int nDif = (nDms << 2) - nDml;
        int nAx = (m_nY >= 1536 && (nDif < 0 ? -nDif : nDif) < (nDml >> 3) && !nTdp) ? 0 : 1;
        int nAp = c.nAp + (((nAx << 9) - c.nAp) >> 4);
        if (bTr)
            nAp = 256;

        // Scale factors.
        int nYu = std::clamp(m_nY + (((m_tables.aWi[nCode] << 5) - m_nY) >> 5), 544, 5120);
        int nYl = c.nYl + nYu + ((-c.nYl) >> 6);

        // Shift the histories.
        for (int i = 5; i > 0; --i)
            c.aDq[i] = c.aDq[i - 1];
        c.aDq[0] = ToFloat(nDqs, nDqMag);
        c.aSr[1] = c.aSr[0];
        c.aSr[0] = ToFloat(nSr < 0, (nSr < 0 ? -nSr : nSr) & 32767);
        c.aPk[1] = c.aPk[0];
        c.aPk[0] = static_cast<uint8_t>(nPk0);
        c.aA[0] = static_cast<int16_t>(nA1p);
        c.aA[1] = static_cast<int16_t>(nA2p);
        for (int i = 0; i < 6; ++i)
            c.aB[i] = static_cast<int16_t>(aB[i]);
        c.nTd = static_cast<uint8_t>(bTr ? 0 : nTdp);
        c.nDms = static_cast<int16_t>(nDms);
        c.nDml = static_cast<int16_t>(nDml);
        c.nAp = static_cast<int16_t>(nAp);
        c.nYu = static_cast<int16_t>(nYu);
        c.nYl = nYl;
        return nSr;
    }

private:
    G726Coder &m_coder;
    const G726Tables &m_tables;
    int m_nSe = 0;
    int m_nSez = 0;
    int m_nY = 0;
};

} // namespace

void G726Reset(G726Coder &coder, int nBits) {
    coder = G726Coder{};
    coder.nYl = 34816;
    coder.nYu = 544;
    for (uint16_t &dq : coder.aDq)
        dq = 32;
    for (uint16_t &sr : coder.aSr)
        sr = 32;
    coder.nBits = static_cast<uint8_t>(nBits);
}

void G726DecodeCodes(G726Coder &coder, const uint8_t *pCodes, int nCount, int16_t *pOutput) {
    CG726Step step(coder);
    const unsigned nMask = (1u << coder.nBits) - 1;
    for (int i = 0; i < nCount; ++i) {
        step.Predict();
        int nSr = step.Update(pCodes[i] & nMask);
        // The coder works on 14 bits; the output is 16-bit.
        pOutput[i] = static_cast<int16_t>(std::clamp(nSr * 4, -32768, 32767));
    }
}

void G726EncodeSamples(G726Coder &coder, const int16_t *pInput, int nCount, uint8_t *pCodes) {
    CG726Step step(coder);
    for (int i = 0; i < nCount; ++i) {
        step.Predict();
        unsigned nCode = step.Quantise(pInput[i] >> 2);
        step.Update(nCode);
        pCodes[i] = static_cast<uint8_t>(nCode);
    }
}

} // namespace voice
