// Helpers shared by the audio codec tests: test signals, frame building and
// independent code packers (written here from the packing rules, not taken
// from the library).
#pragma once

#include <qvvoice.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace qvaudiotest {

constexpr double kPi = 3.14159265358979323846;

// Speech-like test signal: a few gliding harmonics under a syllable envelope,
// plus a little deterministic noise, at about -6 dBFS peaks.
inline std::vector<int16_t> SpeechLike(size_t nSamples, uint32_t nSeed = 1) {
    std::vector<int16_t> out(nSamples);
    uint32_t rng = nSeed * 2654435761u + 12345u;
    double phase[3] = {0, 0, 0};
    for (size_t i = 0; i < nSamples; ++i) {
        double t = static_cast<double>(i) / 8000.0;
        double pitch = 140.0 + 40.0 * std::sin(2 * kPi * 0.7 * t);
        double env = 0.5 + 0.5 * std::sin(2 * kPi * 3.1 * t);
        env *= env;
        double v = 0;
        const double harmonics[3] = {1.0, 2.0, 5.0};
        const double gains[3] = {0.6, 0.3, 0.15};
        for (int h = 0; h < 3; ++h) {
            phase[h] += 2 * kPi * pitch * harmonics[h] / 8000.0;
            v += gains[h] * std::sin(phase[h]);
        }
        rng = rng * 1664525u + 1013904223u;
        double noise = (static_cast<double>(rng >> 16) / 65536.0 - 0.5) * 0.02;
        out[i] = static_cast<int16_t>(std::lround((v * env + noise) * 16000.0));
    }
    return out;
}

inline double SnrDb(const std::vector<int16_t> &ref, const std::vector<int16_t> &got, size_t nSkip = 0) {
    double sig = 0, err = 0;
    for (size_t i = nSkip; i < ref.size() && i < got.size(); ++i) {
        sig += static_cast<double>(ref[i]) * ref[i];
        double d = static_cast<double>(ref[i]) - got[i];
        err += d * d;
    }
    if (err == 0)
        return 200.0;
    return 10.0 * std::log10(sig / err);
}

// A voice frame: header (0, type, W, 0) then the payload.
inline std::vector<uint8_t> MakeFrame(const std::vector<uint8_t> &payload, uint8_t nType = 1) {
    std::vector<uint8_t> frame = {0, nType, static_cast<uint8_t>(payload.size() / 2), 0};
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

// Codes to bytes, least significant bit of each byte first.
inline std::vector<uint8_t> PackLsbFirst(const std::vector<uint8_t> &codes, int nBits) {
    std::vector<uint8_t> out((codes.size() * nBits + 7) / 8, 0);
    size_t bit = 0;
    for (uint8_t code : codes) {
        for (int b = 0; b < nBits; ++b, ++bit)
            if (code & (1u << b))
                out[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    return out;
}

// Codes to bytes, most significant bit of each byte first, each code's most
// significant bit first.
inline std::vector<uint8_t> PackMsbFirst(const std::vector<uint8_t> &codes, int nBits) {
    std::vector<uint8_t> out((codes.size() * nBits + 7) / 8, 0);
    size_t bit = 0;
    for (uint8_t code : codes) {
        for (int b = nBits - 1; b >= 0; --b, ++bit)
            if (code & (1u << b))
                out[bit / 8] |= static_cast<uint8_t>(0x80u >> (bit % 8));
    }
    return out;
}

inline std::vector<uint8_t> UnpackLsbFirst(const uint8_t *p, size_t nCodes, int nBits) {
    std::vector<uint8_t> codes(nCodes, 0);
    size_t bit = 0;
    for (size_t i = 0; i < nCodes; ++i)
        for (int b = 0; b < nBits; ++b, ++bit)
            if (p[bit / 8] & (1u << (bit % 8)))
                codes[i] |= static_cast<uint8_t>(1u << b);
    return codes;
}

inline std::vector<uint8_t> UnpackMsbFirst(const uint8_t *p, size_t nCodes, int nBits) {
    std::vector<uint8_t> codes(nCodes, 0);
    size_t bit = 0;
    for (size_t i = 0; i < nCodes; ++i)
        for (int b = nBits - 1; b >= 0; --b, ++bit)
            if (p[bit / 8] & (0x80u >> (bit % 8)))
                codes[i] |= static_cast<uint8_t>(1u << b);
    return codes;
}

// Id 68: eight 2-bit codes per little-endian word, the first in bits 15..14.
inline std::vector<uint8_t> PackWords68(const std::vector<uint8_t> &codes) {
    std::vector<uint8_t> out((codes.size() + 7) / 8 * 2, 0);
    for (size_t i = 0; i < codes.size(); ++i) {
        unsigned shift = 14 - 2 * (i % 8);
        size_t word = i / 8;
        unsigned value = (codes[i] & 3u) << shift;
        out[2 * word] |= static_cast<uint8_t>(value);
        out[2 * word + 1] |= static_cast<uint8_t>(value >> 8);
    }
    return out;
}

// G.722 in the decoder's layout: four pairs (4-bit lower, 2-bit upper code)
// in three bytes.
inline std::vector<uint8_t> PackG722(const std::vector<uint8_t> &low, const std::vector<uint8_t> &high) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 3 < low.size(); i += 4) {
        const uint8_t *l = &low[i];
        const uint8_t *h = &high[i];
        out.push_back(static_cast<uint8_t>((l[0] << 2) | h[0] | (h[1] << 6)));
        out.push_back(static_cast<uint8_t>(l[1] | (h[2] << 4) | ((l[2] & 3) << 6)));
        out.push_back(static_cast<uint8_t>((l[2] >> 2) | (h[3] << 2) | (l[3] << 4)));
    }
    return out;
}

// Decodes a whole stream of voice frames with one state.
inline std::vector<int16_t> DecodeFrames(int16_t nId, const std::vector<std::vector<uint8_t>> &frames) {
    alignas(8) uint8_t state[HI_VOICE_STATE_SIZE];
    HI_VOICE_DecReset(state, nId);
    std::vector<int16_t> out;
    for (const auto &frame : frames) {
        int16_t samples[HI_VOICE_MAX_SAMPLES];
        int16_t n = -1;
        if (HI_VOICE_DecodeFrame(state, frame.data(), samples, &n) != HI_VOICE_OK)
            return {};
        out.insert(out.end(), samples, samples + n);
    }
    return out;
}

inline std::string Hex(int32_t n) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(n));
    return text;
}

} // namespace qvaudiotest
