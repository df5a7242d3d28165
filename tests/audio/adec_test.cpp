// Audio frame decoders: factory, checked entry, the two-call protocol, the
// status counters and each codec's conversion.
#include "audio/adec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio_test_util.h"

using namespace qvaudiotest;

namespace {

struct Codec {
    CBaseAudioCodec *p = nullptr;
    explicit Codec(uint32_t type) { EXPECT_EQ(CreateAudioCodec(type, &p), 0) << type; }
    ~Codec() { DestroyAudioCodec(p); }
    Codec(const Codec &) = delete;
    Codec &operator=(const Codec &) = delete;
};

ADEC_OUTPUT Output(uint8_t *buffer, uint32_t capacity) {
    ADEC_OUTPUT out;
    std::memset(&out, 0xA5, sizeof(out));
    out.dwSize = ADEC_OUTPUT_SIZE;
    out.pBuffer = buffer;
    out.dwBufferSize = capacity;
    return out;
}

ADEC_STATUS Status(CBaseAudioCodec *p) {
    ADEC_STATUS status;
    std::memset(&status, 0xEE, sizeof(status));
    EXPECT_EQ(p->GetStatus(&status), 0);
    return status;
}

// Decodes with the two-call pattern the play mode uses.
std::vector<int16_t> DecodeAll(CBaseAudioCodec *p, const std::vector<uint8_t> &in) {
    ADEC_OUTPUT out = Output(nullptr, 0);
    EXPECT_EQ(DecodeAudioFrame(p, in.data(), static_cast<uint32_t>(in.size()), &out), 0);
    std::vector<uint8_t> buffer(out.dwBufferSize);
    out.pBuffer = buffer.data();
    EXPECT_EQ(Hex(DecodeAudioFrame(p, in.data(), static_cast<uint32_t>(in.size()), &out)), Hex(0));
    std::vector<int16_t> samples(out.dwBufferSize / 2);
    std::memcpy(samples.data(), buffer.data(), samples.size() * 2);
    return samples;
}

// A G.726 16 kbit/s voice frame of 480 samples from the voice encoder.
std::vector<std::vector<uint8_t>> G726Frames(size_t nFrames) {
    alignas(8) uint8_t state[HI_VOICE_STATE_SIZE];
    HI_VOICE_EncReset(state, HI_VOICE_CODEC_G726_16K);
    std::vector<int16_t> pcm = SpeechLike(480 * nFrames);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t f = 0; f < nFrames; ++f) {
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
        EXPECT_EQ(HI_VOICE_EncodeFrame(state, &pcm[480 * f], frame, 480), 0);
        frames.emplace_back(frame, frame + 4 + 2 * frame[2]);
    }
    return frames;
}

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    for (auto &b : out) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return out;
}

} // namespace

TEST(AudioDecoderFactory, CreatesEachTypeAndRefusesOthers) {
    for (uint32_t type : {2u, 3u, 4u, 5u}) {
        CBaseAudioCodec *p = nullptr;
        ASSERT_EQ(CreateAudioCodec(type, &p), 0);
        ASSERT_NE(p, nullptr);
        ADEC_STATUS s = Status(p);
        EXPECT_EQ(s.dwSize, 24u);
        EXPECT_EQ(s.dwFrameCount, 0u);
        EXPECT_EQ(s.ullDecodeTime, 0u);
        EXPECT_EQ(s.dwCodecType, type);
        EXPECT_EQ(s.dwReserved, 0u);
        DestroyAudioCodec(p);
    }
    for (uint32_t type : {0u, 1u, 6u, 7u, 100u, 0xFFFFFFFFu}) {
        CBaseAudioCodec *p = reinterpret_cast<CBaseAudioCodec *>(0x1234);
        EXPECT_EQ(Hex(CreateAudioCodec(type, &p)), Hex(ADEC_E_NOT_SUPPORTED)) << type;
        EXPECT_EQ(p, reinterpret_cast<CBaseAudioCodec *>(0x1234));
    }
    EXPECT_EQ(Hex(CreateAudioCodec(2, nullptr)), Hex(ADEC_E_NULL_POINTER));
    EXPECT_EQ(Hex(CreateAudioCodec(99, nullptr)), Hex(ADEC_E_NULL_POINTER)) << "pointer before type";
    DestroyAudioCodec(nullptr);
}

TEST(AudioDecoderEntry, ChecksInTheirOrder) {
    Codec c(ADEC_CODEC_PCM8);
    uint8_t in[4] = {1, 2, 3, 4};
    ADEC_OUTPUT good = Output(nullptr, 0);
    ADEC_OUTPUT badSize = Output(nullptr, 0);
    badSize.dwSize = 24;
    struct Case {
        CBaseAudioCodec *codec;
        const uint8_t *input;
        uint32_t length;
        ADEC_OUTPUT *out;
        int32_t expected;
    } cases[] = {
        {nullptr, nullptr, 0, nullptr, ADEC_E_INVALID_OBJECT},
        {c.p, nullptr, 0, nullptr, ADEC_E_NULL_POINTER},
        {c.p, in, 0, nullptr, ADEC_E_INVALID_VALUE},
        {c.p, in, 4, nullptr, ADEC_E_NULL_POINTER},
        {c.p, in, 4, &badSize, ADEC_E_BAD_SIZE},
        {c.p, in, 4, &good, ADEC_OK},
    };
    for (const Case &k : cases)
        EXPECT_EQ(Hex(DecodeAudioFrame(k.codec, k.input, k.length, k.out)), Hex(k.expected));
    EXPECT_EQ(good.dwBufferSize, 8u);
}

TEST(AudioDecoder, SizeQueryGivesTheNeededBytes) {
    struct Case {
        uint32_t type;
        uint32_t length;
        uint32_t needed;
    } cases[] = {{2, 1, 2},      {2, 1000, 2000}, {3, 7, 14},      {4, 3, 16},
                 {4, 300, 1600}, {5, 124, 992},   {5, 8192, 65536}};
    for (const Case &k : cases) {
        Codec c(k.type);
        std::vector<uint8_t> in(k.length, 0);
        uint8_t dummy[4];
        for (int form = 0; form < 2; ++form) {
            // No buffer, or a buffer with capacity 0: both only ask.
            ADEC_OUTPUT out = form ? Output(dummy, 0) : Output(nullptr, 12345);
            ASSERT_EQ(DecodeAudioFrame(c.p, in.data(), k.length, &out), 0);
            EXPECT_EQ(out.dwBufferSize, k.needed) << k.type << " " << k.length;
            EXPECT_EQ(Status(c.p).dwFrameCount, 0u) << "a size query is no decode";
        }
    }
}

TEST(AudioDecoder, CapacityOneByteShortThenExact) {
    struct Case {
        uint32_t type;
        std::vector<uint8_t> input;
    };
    std::vector<Case> cases = {
        {2, RandomBytes(100, 1)}, {3, RandomBytes(160, 2)}, {4, RandomBytes(30, 3)}, {5, G726Frames(1)[0]}};
    for (const Case &k : cases) {
        Codec c(k.type);
        const uint32_t length = static_cast<uint32_t>(k.input.size());
        ADEC_OUTPUT query = Output(nullptr, 0);
        ASSERT_EQ(DecodeAudioFrame(c.p, k.input.data(), length, &query), 0);
        const uint32_t needed = query.dwBufferSize;
        std::vector<uint8_t> buffer(needed + 8, 0xEE);
        ADEC_OUTPUT out = Output(buffer.data(), needed - 1);
        EXPECT_EQ(Hex(DecodeAudioFrame(c.p, k.input.data(), length, &out)), Hex(ADEC_E_BUFFER_TOO_SMALL));
        EXPECT_EQ(out.dwBufferSize, needed);
        EXPECT_EQ(buffer[0], 0xEE) << "nothing decoded";
        EXPECT_EQ(Status(c.p).dwFrameCount, 0u);
        ASSERT_EQ(DecodeAudioFrame(c.p, k.input.data(), length, &out), 0);
        EXPECT_EQ(out.wChannels, 1);
        EXPECT_EQ(out.wBitsPerSample, 16);
        EXPECT_EQ(out.dwSamplesPerSec, 8000u);
        for (uint32_t r : out.dwReserved)
            EXPECT_EQ(r, 0xA5A5A5A5u) << "reserved bytes untouched";
        EXPECT_LE(out.dwBufferSize, needed);
        EXPECT_EQ(buffer[needed], 0xEE) << "nothing written past the capacity";
        EXPECT_EQ(Status(c.p).dwFrameCount, 1u);
    }
}

TEST(AudioDecoder, G722LengthNotMultipleOfThreeFailsBeforeTheSizeQuery) {
    Codec c(ADEC_CODEC_G722);
    uint8_t in[8] = {};
    for (uint32_t length : {1u, 2u, 4u, 5u, 7u}) {
        ADEC_OUTPUT out = Output(nullptr, 0xBEEF);
        EXPECT_EQ(Hex(DecodeAudioFrame(c.p, in, length, &out)), Hex(ADEC_E_INVALID_VALUE)) << length;
        EXPECT_EQ(out.dwBufferSize, 0xBEEFu) << "no size written";
    }
}

TEST(AudioDecoder, G726TooLongFailsEvenAsSizeQuery) {
    Codec c(ADEC_CODEC_HI_G726);
    std::vector<uint8_t> in(8193, 0);
    ADEC_OUTPUT out = Output(nullptr, 0xBEEF);
    EXPECT_EQ(Hex(DecodeAudioFrame(c.p, in.data(), 8193, &out)), Hex(ADEC_E_FAIL));
    EXPECT_EQ(out.dwBufferSize, 0xBEEFu);
    out = Output(nullptr, 0);
    EXPECT_EQ(DecodeAudioFrame(c.p, in.data(), 8192, &out), 0);
    EXPECT_EQ(out.dwBufferSize, 65536u);
}

TEST(AudioDecoder, Pcm8ScalesBy256WithoutBias) {
    Codec c(ADEC_CODEC_PCM8);
    struct Case {
        uint8_t in;
        int16_t out;
    } cases[] = {{0x80, -32768}, {0x7F, 0x7F00}, {0x00, 0}, {0xFF, -256}, {0x01, 256}, {0x81, -32512}};
    std::vector<uint8_t> in;
    for (const Case &k : cases)
        in.push_back(k.in);
    std::vector<int16_t> out = DecodeAll(c.p, in);
    ASSERT_EQ(out.size(), std::size(cases));
    for (size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i], cases[i].out) << std::hex << int(cases[i].in);
}

TEST(AudioDecoder, AlawMatchesTheVoiceLibrary) {
    Codec c(ADEC_CODEC_G711_ALAW);
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    std::vector<int16_t> out = DecodeAll(c.p, all);
    ASSERT_EQ(out.size(), 256u);
    EXPECT_EQ(out[0xD5], 8);
    EXPECT_EQ(out[0x55], -8);
    EXPECT_EQ(out[0xAA], 32256);
    EXPECT_EQ(out[0x2A], -32256);
    // The same expansion as a voice-library A-law frame of the same bytes.
    std::vector<int16_t> lib;
    for (int half = 0; half < 2; ++half) {
        std::vector<uint8_t> part(all.begin() + 128 * half, all.begin() + 128 * half + 128);
        part.resize(160, 0xD5);
        std::vector<int16_t> s = DecodeFrames(1, {MakeFrame(part)});
        lib.insert(lib.end(), s.begin(), s.begin() + 128);
    }
    EXPECT_EQ(out, lib);
}

TEST(AudioDecoder, G726MatchesTheVoiceLibraryFrameByFrame) {
    auto frames = G726Frames(10);
    Codec c(ADEC_CODEC_HI_G726);
    std::vector<int16_t> viaDecoder;
    for (const auto &f : frames) {
        std::vector<int16_t> s = DecodeAll(c.p, f);
        EXPECT_EQ(s.size(), 480u);
        viaDecoder.insert(viaDecoder.end(), s.begin(), s.end());
    }
    EXPECT_EQ(viaDecoder, DecodeFrames(4, frames));
    EXPECT_EQ(Status(c.p).dwFrameCount, 10u);
}

TEST(AudioDecoder, G726RefusedFramesFailWithLibraryCode) {
    Codec c(ADEC_CODEC_HI_G726);
    auto frames = G726Frames(1);
    std::vector<uint8_t> notVoice = frames[0];
    notVoice[1] = 2;
    std::vector<uint8_t> badLength = frames[0];
    badLength[2] = 61;
    badLength.resize(4 + 122, 0);
    // A frame shorter than its header says is refused, not read past its end.
    std::vector<uint8_t> truncated(frames[0].begin(), frames[0].begin() + 60);
    std::vector<uint8_t> headerOnly(frames[0].begin(), frames[0].begin() + 3);
    for (const auto *in : {&notVoice, &badLength, &truncated, &headerOnly}) {
        std::vector<uint8_t> buffer(8 * in->size() + 8);
        ADEC_OUTPUT out = Output(buffer.data(), static_cast<uint32_t>(buffer.size()));
        EXPECT_EQ(Hex(DecodeAudioFrame(c.p, in->data(), static_cast<uint32_t>(in->size()), &out)),
                  Hex(ADEC_E_FAIL));
        EXPECT_EQ(out.dwBufferSize, 8 * in->size());
    }
    EXPECT_EQ(Status(c.p).dwFrameCount, 0u);
    // The decoder goes on after refused frames.
    EXPECT_EQ(DecodeAll(c.p, frames[0]).size(), 480u);
}

TEST(AudioDecoder, G722StateRunsOnAcrossFrames) {
    std::vector<uint8_t> stream = RandomBytes(3 * 700, 9);
    Codec whole(ADEC_CODEC_G722);
    std::vector<int16_t> once = DecodeAll(whole.p, stream);
    ASSERT_EQ(once.size(), 700u * 8);
    Codec pieces(ADEC_CODEC_G722);
    std::vector<int16_t> joined;
    size_t pos = 0;
    const size_t sizes[] = {3, 30, 3, 600, 99, 3, 1500};
    for (size_t n : sizes) {
        n = std::min(n, stream.size() - pos);
        std::vector<uint8_t> part(stream.begin() + pos, stream.begin() + pos + n);
        std::vector<int16_t> s = DecodeAll(pieces.p, part);
        joined.insert(joined.end(), s.begin(), s.end());
        pos += n;
    }
    ASSERT_EQ(pos, stream.size());
    EXPECT_EQ(joined, once);
    for (int16_t s : once) {
        EXPECT_GE(s, -16384);
        EXPECT_LE(s, 16383);
    }
}

TEST(AudioDecoder, G722LoudInputIsClampedToFifteenBits) {
    // Largest lower-band codes drive the output into the clamp.
    std::vector<uint8_t> stream;
    for (int i = 0; i < 400; ++i) {
        uint8_t code = (i / 8) % 2 ? 0x7 : 0xB; // alternate large positive and negative steps
        stream.push_back(static_cast<uint8_t>(code << 2));
        stream.push_back(code);
        stream.push_back(static_cast<uint8_t>(code << 4));
    }
    Codec c(ADEC_CODEC_G722);
    std::vector<int16_t> out = DecodeAll(c.p, stream);
    int hitsMax = 0, hitsMin = 0;
    for (int16_t s : out) {
        ASSERT_GE(s, -16384);
        ASSERT_LE(s, 16383);
        hitsMax += s == 16383;
        hitsMin += s == -16384;
    }
    EXPECT_GT(hitsMax + hitsMin, 0) << "the clamp was reached";
}

TEST(AudioDecoder, CloseAndOpenAgain) {
    std::vector<uint8_t> stream = RandomBytes(300, 4);
    Codec fresh(ADEC_CODEC_G722);
    std::vector<int16_t> first = DecodeAll(fresh.p, stream);

    Codec c(ADEC_CODEC_G722);
    DecodeAll(c.p, RandomBytes(90, 5));
    EXPECT_EQ(c.p->Close(), 0);
    ADEC_STATUS closed = Status(c.p);
    EXPECT_EQ(closed.dwSize, 24u) << "GetStatus writes the record size";
    EXPECT_EQ(closed.dwFrameCount, 0u);
    EXPECT_EQ(closed.dwCodecType, 0u);
    // Decoding a closed G.722 decoder fails instead of touching freed state.
    std::vector<uint8_t> buffer(2000);
    ADEC_OUTPUT out = Output(buffer.data(), 2000);
    EXPECT_EQ(Hex(DecodeAudioFrame(c.p, stream.data(), 300, &out)), Hex(ADEC_E_INVALID_OBJECT));
    ASSERT_EQ(c.p->Open(), 0);
    EXPECT_EQ(Status(c.p).dwCodecType, 4u);
    EXPECT_EQ(DecodeAll(c.p, stream), first) << "Open starts the sub-band state afresh";

    Codec g(ADEC_CODEC_HI_G726);
    auto frames = G726Frames(2);
    std::vector<int16_t> a = DecodeAll(g.p, frames[0]);
    EXPECT_EQ(g.p->Close(), 0);
    EXPECT_EQ(Hex(DecodeAudioFrame(g.p, frames[1].data(), static_cast<uint32_t>(frames[1].size()), &out)),
              Hex(ADEC_E_FAIL));
    ASSERT_EQ(g.p->Open(), 0);
    EXPECT_EQ(DecodeAll(g.p, frames[0]), a);
}

TEST(AudioDecoder, CountersGrowOnlyOnSuccess) {
    Codec c(ADEC_CODEC_G722);
    std::vector<uint8_t> second = RandomBytes(3 * 8000, 6); // one second
    ADEC_OUTPUT query = Output(nullptr, 0);
    ASSERT_EQ(DecodeAudioFrame(c.p, second.data(), 24000, &query), 0);
    ADEC_STATUS s0 = Status(c.p);
    EXPECT_EQ(s0.dwFrameCount, 0u);
    EXPECT_EQ(s0.ullDecodeTime, 0u);
    std::vector<uint8_t> buffer(query.dwBufferSize);
    for (int i = 1; i <= 20; ++i) {
        ADEC_OUTPUT out = Output(buffer.data(), query.dwBufferSize);
        ASSERT_EQ(DecodeAudioFrame(c.p, second.data(), 24000, &out), 0);
        EXPECT_EQ(Status(c.p).dwFrameCount, static_cast<uint32_t>(i));
    }
    ADEC_STATUS s1 = Status(c.p);
    EXPECT_GT(s1.ullDecodeTime, 0u) << "20 s of audio take at least a microsecond";
    ADEC_OUTPUT small = Output(buffer.data(), 10);
    EXPECT_EQ(DecodeAudioFrame(c.p, second.data(), 24000, &small), ADEC_E_BUFFER_TOO_SMALL);
    ADEC_OUTPUT q2 = Output(nullptr, 0);
    EXPECT_EQ(DecodeAudioFrame(c.p, second.data(), 24000, &q2), 0);
    ADEC_STATUS s2 = Status(c.p);
    EXPECT_EQ(s2.dwFrameCount, s1.dwFrameCount);
    EXPECT_EQ(s2.ullDecodeTime, s1.ullDecodeTime);
    EXPECT_EQ(c.p->GetStatus(nullptr), ADEC_E_NULL_POINTER);
}

TEST(AudioDecoder, SizesBeyondTheCapacityFieldAreRefused) {
    // 2 * 0x80000000 bytes cannot be stated in the 32-bit capacity field; the
    // size query fails instead of wrapping to a small size. No byte is read.
    Codec c(ADEC_CODEC_PCM8);
    uint8_t in[1] = {0};
    ADEC_OUTPUT out = Output(nullptr, 0);
    EXPECT_EQ(Hex(c.p->Decode(in, 0x80000000u, &out)), Hex(ADEC_E_INVALID_VALUE));
    out = Output(nullptr, 0);
    EXPECT_EQ(c.p->Decode(in, 0x7FFFFFFFu, &out), 0);
    EXPECT_EQ(out.dwBufferSize, 0xFFFFFFFEu);
}
