// The voice codec library's exported functions: state blocks, the voice frame
// header, the frame size rules and the packings of every codec id, over the
// G.711, IMA ADPCM and G.726 coders.
#include <qvvoice.h>

#include <algorithm>
#include <cstring>

#include "audio/voice.h"

namespace voice {
namespace {

const int16_t g_aImaStep[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};
const int8_t g_aImaIndexAdjust[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};

} // namespace

uint8_t LinearToAlaw(int16_t nSample) {
    // Works on 13 bits; a negative value is coded as its ones' complement.
    int nValue = nSample >> 3;
    uint8_t nMask = 0xD5;
    if (nValue < 0) {
        nMask = 0x55;
        nValue = -nValue - 1;
    }
    int nSegment = 0;
    while (nSegment < 8 && nValue > (0x20 << nSegment) - 1)
        ++nSegment;
    if (nSegment >= 8)
        return static_cast<uint8_t>(0x7F ^ nMask);
    int nCode = nSegment << 4;
    nCode |= (nSegment < 2 ? nValue >> 1 : nValue >> nSegment) & 0x0F;
    return static_cast<uint8_t>(nCode ^ nMask);
}

uint8_t LinearToUlaw(int16_t nSample) {
    // Works on 14 bits with the bias of 33 added to the magnitude.
    int nValue = nSample >> 2;
    uint8_t nMask = 0xFF;
    if (nValue < 0) {
        nValue = -nValue;
        nMask = 0x7F;
    }
    nValue = std::min(nValue, 8159) + 33;
    int nSegment = 0;
    while (nSegment < 8 && nValue > (0x40 << nSegment) - 1)
        ++nSegment;
    if (nSegment >= 8)
        return static_cast<uint8_t>(0x7F ^ nMask);
    int nCode = (nSegment << 4) | ((nValue >> (nSegment + 1)) & 0x0F);
    return static_cast<uint8_t>(nCode ^ nMask);
}

int16_t ImaDecodeCode(ImaCoder &coder, unsigned nCode) {
    int nStep = g_aImaStep[coder.nIndex];
    int nDiff = nStep >> 3;
    if (nCode & 4)
        nDiff += nStep;
    if (nCode & 2)
        nDiff += nStep >> 1;
    if (nCode & 1)
        nDiff += nStep >> 2;
    int nPredicted = coder.nPredicted + ((nCode & 8) ? -nDiff : nDiff);
    coder.nPredicted = static_cast<int16_t>(std::clamp(nPredicted, -32768, 32767));
    coder.nIndex = static_cast<int16_t>(std::clamp(coder.nIndex + g_aImaIndexAdjust[nCode & 15], 0, 88));
    return coder.nPredicted;
}

unsigned ImaEncodeSample(ImaCoder &coder, int16_t nSample) {
    int nStep = g_aImaStep[coder.nIndex];
    int nDiff = nSample - coder.nPredicted;
    unsigned nCode = 0;
    if (nDiff < 0) {
        nCode = 8;
        nDiff = -nDiff;
    }
    // Successive approximation, as the decoder reconstructs it.
    if (nDiff >= nStep) {
        nCode |= 4;
        nDiff -= nStep;
    }
    if (nDiff >= nStep >> 1) {
        nCode |= 2;
        nDiff -= nStep >> 1;
    }
    if (nDiff >= nStep >> 2)
        nCode |= 1;
    ImaDecodeCode(coder, nCode);
    return nCode;
}

namespace {

enum class Kind { None, G711A, G711U, Adpcm, G726 };

// What one codec id means.
struct CodecInfo {
    Kind kind;
    int nBits;      // G.726 bits per code
    bool bSwapped;  // G.711 bytes swapped in each word
    bool bMsbFirst; // G.726 codes packed from the most significant bit
    bool bWord;     // id 68: eight codes per little-endian word from bit 15
    bool bHeader;   // ADPCM block header present
    bool bFirst;    // ADPCM header sample is output sample 0, low nibble first
};

CodecInfo Lookup(int nId) {
    switch (nId) {
    case 1:
        return {Kind::G711A, 0, false, false, false, false, false};
    case 2:
        return {Kind::G711U, 0, false, false, false, false, false};
    case 65:
        return {Kind::G711A, 0, true, false, false, false, false};
    case 66:
        return {Kind::G711U, 0, true, false, false, false, false};
    case 3:
        return {Kind::Adpcm, 0, false, false, false, true, false};
    case 35:
        return {Kind::Adpcm, 0, false, false, false, true, true};
    case 67:
        return {Kind::Adpcm, 0, false, false, false, false, false};
    case 4:
    case 5:
    case 6:
    case 7:
        return {Kind::G726, nId - 2, false, false, false, false, false};
    case 36:
    case 37:
    case 38:
    case 39:
        return {Kind::G726, nId - 34, false, true, false, false, false};
    case 68:
        return {Kind::G726, 2, false, false, true, false, false};
    default:
        return {Kind::None, 0, false, false, false, false, false};
    }
}

// The state block as the library lays it out: the codec id first.
struct VoiceState {
    int16_t nCodecId;
    int16_t nSampleFormat; // 2: 16-bit linear samples
    ImaCoder ima;
    G726Coder g726;
};
static_assert(sizeof(VoiceState) <= HI_VOICE_STATE_SIZE, "state fits the caller's block");

constexpr int16_t SAMPLE_FORMAT_LINEAR16 = 2;

VoiceState LoadState(const void *pState) {
    VoiceState state;
    std::memcpy(&state, pState, sizeof(state));
    return state;
}

void StoreState(void *pState, const VoiceState &state) {
    std::memcpy(pState, &state, sizeof(state));
}

int32_t Reset(void *pState, int16_t nCodecId, int32_t nNotSupported) {
    if (!pState)
        return HI_VOICE_E_NULL_STATE;
    VoiceState state{};
    state.nCodecId = nCodecId;
    state.nSampleFormat = SAMPLE_FORMAT_LINEAR16;
    CodecInfo info = Lookup(nCodecId);
    if (info.kind == Kind::G726)
        G726Reset(state.g726, info.nBits);
    StoreState(pState, state);
    return info.kind == Kind::None ? nNotSupported : HI_VOICE_OK;
}

// Unpacks nCount codes of nBits bits from pPayload, least significant bit
// first; most significant bit first when bMsbFirst.
void UnpackCodes(const uint8_t *pPayload, int nCount, int nBits, bool bMsbFirst, uint8_t *pCodes) {
    const unsigned nMask = (1u << nBits) - 1;
    uint32_t nAcc = 0;
    int nHave = 0;
    const uint8_t *p = pPayload;
    for (int i = 0; i < nCount; ++i) {
        if (nHave < nBits) {
            if (bMsbFirst)
                nAcc = (nAcc << 8) | *p++;
            else
                nAcc |= static_cast<uint32_t>(*p++) << nHave;
            nHave += 8;
        }
        if (bMsbFirst) {
            pCodes[i] = static_cast<uint8_t>((nAcc >> (nHave - nBits)) & nMask);
        } else {
            pCodes[i] = static_cast<uint8_t>(nAcc & nMask);
            nAcc >>= nBits;
        }
        nHave -= nBits;
    }
}

// Packs codes the other way round; the last byte is padded with zero bits.
int PackCodes(const uint8_t *pCodes, int nCount, int nBits, bool bMsbFirst, uint8_t *pPayload) {
    uint32_t nAcc = 0;
    int nHave = 0;
    int nBytes = 0;
    for (int i = 0; i < nCount; ++i) {
        if (bMsbFirst)
            nAcc = (nAcc << nBits) | pCodes[i];
        else
            nAcc |= static_cast<uint32_t>(pCodes[i]) << nHave;
        nHave += nBits;
        while (nHave >= 8) {
            if (bMsbFirst) {
                pPayload[nBytes++] = static_cast<uint8_t>(nAcc >> (nHave - 8));
            } else {
                pPayload[nBytes++] = static_cast<uint8_t>(nAcc);
                nAcc >>= 8;
            }
            nHave -= 8;
        }
    }
    if (nHave > 0)
        pPayload[nBytes++] = static_cast<uint8_t>(bMsbFirst ? nAcc << (8 - nHave) : nAcc);
    return nBytes;
}

// Eight 2-bit codes per little-endian word, the first in bits 15..14.
void UnpackWords(const uint8_t *pPayload, int nWords, uint8_t *pCodes) {
    for (int w = 0; w < nWords; ++w) {
        unsigned nWord = pPayload[2 * w] | (pPayload[2 * w + 1] << 8);
        for (int k = 0; k < 8; ++k)
            *pCodes++ = static_cast<uint8_t>((nWord >> (14 - 2 * k)) & 3);
    }
}

void PackWords(const uint8_t *pCodes, int nCount, uint8_t *pPayload) {
    int nWords = (nCount + 7) / 8;
    for (int w = 0; w < nWords; ++w) {
        unsigned nWord = 0;
        for (int k = 0; k < 8; ++k) {
            int i = w * 8 + k;
            nWord |= (i < nCount ? pCodes[i] & 3u : 0u) << (14 - 2 * k);
        }
        pPayload[2 * w] = static_cast<uint8_t>(nWord);
        pPayload[2 * w + 1] = static_cast<uint8_t>(nWord >> 8);
    }
}

// Room for the largest payload any id produces from 481 samples.
constexpr int WORK_BYTES = HI_VOICE_FRAME_HEADER_SIZE + 2 * HI_VOICE_MAX_PAYLOAD_WORDS + 16;

int32_t EncodeFrame(VoiceState &state, const int16_t *pSamples, uint8_t *pOut, int nCount) {
    CodecInfo info = Lookup(state.nCodecId);
    if (info.kind == Kind::None)
        return HI_VOICE_E_ENC_NOT_SUPPORTED;

    uint8_t aWork[WORK_BYTES] = {};
    uint8_t *pPayload = aWork + HI_VOICE_FRAME_HEADER_SIZE;
    int nWords = 0;
    switch (info.kind) {
    case Kind::G711A:
    case Kind::G711U:
        for (int i = 0; i < nCount; ++i) {
            uint8_t nCode = info.kind == Kind::G711A ? LinearToAlaw(pSamples[i]) : LinearToUlaw(pSamples[i]);
            pPayload[info.bSwapped ? (i ^ 1) : i] = nCode;
        }
        nWords = nCount / 2;
        break;
    case Kind::Adpcm: {
        const int16_t *pIn = pSamples;
        int nCodes = nCount;
        uint8_t *pCodes = pPayload;
        if (info.bHeader) {
            if (info.bFirst) {
                state.ima.nPredicted = pSamples[0];
                ++pIn;
                --nCodes;
            }
            pPayload[0] = static_cast<uint8_t>(state.ima.nPredicted);
            pPayload[1] = static_cast<uint8_t>(static_cast<uint16_t>(state.ima.nPredicted) >> 8);
            pPayload[2] = static_cast<uint8_t>(state.ima.nIndex);
            pPayload[3] = 0;
            pCodes += HI_VOICE_ADPCM_HEADER_SIZE;
        }
        for (int i = 0; i < nCodes; ++i) {
            unsigned nCode = ImaEncodeSample(state.ima, pIn[i]);
            bool bHigh = info.bFirst ? (i & 1) : !(i & 1);
            pCodes[i / 2] |= static_cast<uint8_t>(bHigh ? nCode << 4 : nCode);
        }
        if (!info.bHeader)
            nWords = nCount / 4;
        else if (info.bFirst)
            nWords = (nCount - 1) / 4 + 2;
        else
            nWords = nCount / 4 + 2;
        break;
    }
    case Kind::G726: {
        uint8_t aCodes[HI_VOICE_MAX_SAMPLES];
        G726EncodeSamples(state.g726, pSamples, nCount, aCodes);
        if (info.bWord)
            PackWords(aCodes, nCount, pPayload);
        else
            PackCodes(aCodes, nCount, info.nBits, info.bMsbFirst, pPayload);
        nWords = nCount * info.nBits / 16;
        break;
    }
    case Kind::None:
        break;
    }
    aWork[0] = 0;
    aWork[1] = HI_VOICE_FRAME_TYPE_VOICE;
    aWork[2] = static_cast<uint8_t>(nWords);
    aWork[3] = static_cast<uint8_t>(nWords >> 8);
    std::memcpy(pOut, aWork, 2 * (2 + (nWords % 256)));
    return HI_VOICE_OK;
}

int32_t DecodeFrame(VoiceState &state, const uint8_t *pFrame, int16_t *pSamples, int16_t *pnSamples) {
    *pnSamples = 0;
    if ((pFrame[1] & HI_VOICE_FRAME_TYPE_MASK) != HI_VOICE_FRAME_TYPE_VOICE)
        return HI_VOICE_E_NOT_VOICE_FRAME;
    const int nWords = pFrame[2];
    if (nWords == 0)
        return HI_VOICE_E_DEC_FRAME_LENGTH;
    CodecInfo info = Lookup(state.nCodecId);
    if (info.kind == Kind::None)
        return HI_VOICE_E_DEC_NOT_SUPPORTED;

    const uint8_t *pPayload = pFrame + HI_VOICE_FRAME_HEADER_SIZE;
    int nCount = 0;
    switch (info.kind) {
    case Kind::G711A:
    case Kind::G711U:
        nCount = 2 * nWords;
        break;
    case Kind::Adpcm:
        // A frame must hold its block header, and no variant may write more
        // samples than the caller's buffer holds.
        if (4 * nWords - 7 > HI_VOICE_MAX_SAMPLES || (info.bHeader && nWords < 2))
            return HI_VOICE_E_DEC_FRAME_LENGTH;
        nCount = info.bHeader ? 4 * (nWords - 2) + (info.bFirst ? 1 : 0) : 4 * nWords;
        break;
    case Kind::G726:
        nCount = 16 * nWords / info.nBits;
        break;
    case Kind::None:
        break;
    }
    if (nCount > HI_VOICE_MAX_SAMPLES || (info.kind != Kind::Adpcm && nCount % HI_VOICE_SAMPLE_MULTIPLE != 0))
        return HI_VOICE_E_DEC_FRAME_LENGTH;

    switch (info.kind) {
    case Kind::G711A:
    case Kind::G711U: {
        const int16_t *pTable = info.kind == Kind::G711A ? g_aAlawToLinear.data() : g_aUlawToLinear.data();
        if (info.bSwapped) {
            for (int i = 0; i < nCount; i += 2) {
                pSamples[i] = pTable[pPayload[i + 1]];
                pSamples[i + 1] = pTable[pPayload[i]];
            }
        } else {
            for (int i = 0; i < nCount; ++i)
                pSamples[i] = pTable[pPayload[i]];
        }
        break;
    }
    case Kind::Adpcm: {
        const uint8_t *pCodes = pPayload;
        int16_t *pOut = pSamples;
        if (info.bHeader) {
            state.ima.nPredicted = static_cast<int16_t>(pPayload[0] | (pPayload[1] << 8));
            // An index from the frame outside the table is clamped to it.
            state.ima.nIndex = static_cast<int16_t>(std::min<int>(pPayload[2], 88));
            pCodes += HI_VOICE_ADPCM_HEADER_SIZE;
            if (info.bFirst)
                *pOut++ = state.ima.nPredicted;
        }
        const int nCodes = info.bHeader ? 4 * (nWords - 2) : 4 * nWords;
        for (int i = 0; i < nCodes; i += 2) {
            uint8_t nByte = pCodes[i / 2];
            unsigned nFirst = info.bFirst ? nByte & 15u : nByte >> 4;
            unsigned nSecond = info.bFirst ? nByte >> 4 : nByte & 15u;
            *pOut++ = ImaDecodeCode(state.ima, nFirst);
            *pOut++ = ImaDecodeCode(state.ima, nSecond);
        }
        break;
    }
    case Kind::G726: {
        uint8_t aCodes[HI_VOICE_MAX_SAMPLES];
        if (info.bWord)
            UnpackWords(pPayload, nWords, aCodes);
        else
            UnpackCodes(pPayload, nCount, info.nBits, info.bMsbFirst, aCodes);
        G726DecodeCodes(state.g726, aCodes, nCount, pSamples);
        break;
    }
    case Kind::None:
        break;
    }
    *pnSamples = static_cast<int16_t>(nCount);
    return HI_VOICE_OK;
}

} // namespace
} // namespace voice

using namespace voice;

extern "C" {

int32_t QV_CALL HI_VOICE_GetVersion(char *pszVersion) {
    if (!pszVersion)
        return HI_VOICE_E_NULL_BUFFER;
    std::memcpy(pszVersion, HI_VOICE_VERSION_STRING, sizeof(HI_VOICE_VERSION_STRING));
    return HI_VOICE_OK;
}

int32_t QV_CALL HI_VOICE_EncReset(void *pState, int16_t nCodecId) {
    return Reset(pState, nCodecId, HI_VOICE_E_ENC_NOT_SUPPORTED);
}

int32_t QV_CALL HI_VOICE_DecReset(void *pState, int16_t nCodecId) {
    return Reset(pState, nCodecId, HI_VOICE_E_DEC_NOT_SUPPORTED);
}

int32_t QV_CALL HI_VOICE_EncodeFrame(void *pState, const int16_t *pSamples, void *pFrame, int16_t nSamples) {
    if (!pState)
        return HI_VOICE_E_NULL_STATE;
    if (!pSamples)
        return HI_VOICE_E_NULL_INPUT;
    if (!pFrame)
        return HI_VOICE_E_NULL_OUTPUT;
    if (nSamples < 1 || nSamples > HI_VOICE_MAX_SAMPLES)
        return HI_VOICE_E_ENC_SAMPLE_COUNT;
    VoiceState state = LoadState(pState);
    int32_t nResult = EncodeFrame(state, pSamples, static_cast<uint8_t *>(pFrame), nSamples);
    if (nResult == HI_VOICE_OK)
        StoreState(pState, state);
    return nResult;
}

int32_t QV_CALL HI_VOICE_DecodeFrame(void *pState, const void *pFrame, int16_t *pSamples,
                                     int16_t *pnSamples) {
    if (!pState)
        return HI_VOICE_E_NULL_STATE;
    if (!pFrame)
        return HI_VOICE_E_NULL_INPUT;
    if (!pSamples || !pnSamples)
        return HI_VOICE_E_NULL_OUTPUT;
    VoiceState state = LoadState(pState);
    int32_t nResult = DecodeFrame(state, static_cast<const uint8_t *>(pFrame), pSamples, pnSamples);
    if (nResult == HI_VOICE_OK)
        StoreState(pState, state);
    return nResult;
}

int32_t QV_CALL HI_VOICE_TransCodeReset(void *pState, int16_t nMode) {
    if (!pState)
        return HI_VOICE_E_TRANS_NULL_STATE;
    static const int16_t aIds[4][2] = {{65, 1}, {66, 2}, {67, 3}, {68, 4}}; // decoder, encoder
    if (nMode < HI_VOICE_TRANSCODE_MIN || nMode > HI_VOICE_TRANSCODE_MAX)
        return HI_VOICE_E_TRANS_NOT_SUPPORTED;
    const int16_t *pIds = aIds[nMode - HI_VOICE_TRANSCODE_MIN];
    uint8_t *pBlock = static_cast<uint8_t *>(pState);
    HI_VOICE_DecReset(pBlock + HI_VOICE_TRANSCODE_DECODER_OFFSET, pIds[0]);
    HI_VOICE_EncReset(pBlock, pIds[1]);
    return HI_VOICE_OK;
}

int32_t QV_CALL HI_VOICE_TransCodeFrame(void *pState, void *pFrame) {
    if (!pState)
        return HI_VOICE_E_TRANS_NULL_STATE;
    if (!pFrame)
        return HI_VOICE_E_NULL_INPUT;
    uint8_t *pBlock = static_cast<uint8_t *>(pState);
    uint8_t *pBytes = static_cast<uint8_t *>(pFrame);
    int16_t nEncoderId;
    std::memcpy(&nEncoderId, pBlock, sizeof(nEncoderId));
    switch (nEncoderId) {
    case HI_VOICE_CODEC_G711A:
    case HI_VOICE_CODEC_G711U: {
        uint8_t *pPayload = pBytes + HI_VOICE_FRAME_HEADER_SIZE;
        for (int i = 0; i < pBytes[2]; ++i)
            std::swap(pPayload[2 * i], pPayload[2 * i + 1]);
        return HI_VOICE_OK;
    }
    case HI_VOICE_CODEC_ADPCM:
    case HI_VOICE_CODEC_G726_16K: {
        int16_t aSamples[HI_VOICE_MAX_SAMPLES];
        int16_t nCount = 0;
        int32_t nResult =
            HI_VOICE_DecodeFrame(pBlock + HI_VOICE_TRANSCODE_DECODER_OFFSET, pFrame, aSamples, &nCount);
        if (nResult != HI_VOICE_OK)
            return nResult;
        return HI_VOICE_EncodeFrame(pBlock, aSamples, pFrame, nCount);
    }
    default:
        return HI_VOICE_E_TRANS_NOT_SUPPORTED;
    }
}

} // extern "C"
