// Voice codec library: version, resets, the checks of every call in their
// order, the frame size rules, round trips through every codec id, the
// packings, and the transcoder.
#include <qvvoice.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "audio_test_util.h"

using namespace qvaudiotest;

namespace {

struct State {
    alignas(8) uint8_t bytes[HI_VOICE_STATE_SIZE];
    State() { std::memset(bytes, 0xCD, sizeof(bytes)); }
    int16_t StoredId() const {
        int16_t id;
        std::memcpy(&id, bytes, sizeof(id));
        return id;
    }
};

const int16_t kAllIds[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68};

} // namespace

TEST(VoiceLibrary, VersionStringAndNullBuffer) {
    char text[64];
    std::memset(text, 'x', sizeof(text));
    EXPECT_EQ(HI_VOICE_GetVersion(text), 0);
    EXPECT_STREQ(text, "HI_VOICE_VERSION=QV_VOICELIB_V1.0.0.0");
    EXPECT_EQ(text[HI_VOICE_VERSION_SIZE], 'x') << "writes the string and its zero only";
    EXPECT_EQ(HI_VOICE_GetVersion(nullptr), -1);
}

TEST(VoiceLibrary, ResetAcceptsEveryTabledIdAndStoresIt) {
    for (int16_t id : kAllIds) {
        State enc, dec;
        EXPECT_EQ(HI_VOICE_EncReset(enc.bytes, id), 0) << id;
        EXPECT_EQ(HI_VOICE_DecReset(dec.bytes, id), 0) << id;
        EXPECT_EQ(enc.StoredId(), id);
        EXPECT_EQ(dec.StoredId(), id);
    }
}

TEST(VoiceLibrary, ResetRefusesUnknownIdsButStoresThem) {
    const int16_t bad[] = {0, 8, 34, 40, 64, 69, 100, -1, -32768};
    for (int16_t id : bad) {
        State enc, dec;
        EXPECT_EQ(HI_VOICE_EncReset(enc.bytes, id), HI_VOICE_E_ENC_NOT_SUPPORTED) << id;
        EXPECT_EQ(HI_VOICE_DecReset(dec.bytes, id), HI_VOICE_E_DEC_NOT_SUPPORTED) << id;
        EXPECT_EQ(enc.StoredId(), id);
        EXPECT_EQ(dec.StoredId(), id);
    }
    EXPECT_EQ(HI_VOICE_EncReset(nullptr, 1), HI_VOICE_E_NULL_STATE);
    EXPECT_EQ(HI_VOICE_DecReset(nullptr, 1), HI_VOICE_E_NULL_STATE);
}

TEST(VoiceLibrary, EncodeChecksInTheirOrder) {
    State good, badId;
    ASSERT_EQ(HI_VOICE_EncReset(good.bytes, 1), 0);
    HI_VOICE_EncReset(badId.bytes, 9);
    int16_t samples[HI_VOICE_MAX_SAMPLES + 8] = {};
    uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
    struct Case {
        void *state;
        const int16_t *in;
        void *out;
        int16_t count;
        int32_t expected;
    } cases[] = {
        {nullptr, nullptr, nullptr, 0, HI_VOICE_E_NULL_STATE},
        {good.bytes, nullptr, nullptr, 0, HI_VOICE_E_NULL_INPUT},
        {good.bytes, samples, nullptr, 0, HI_VOICE_E_NULL_OUTPUT},
        {good.bytes, samples, frame, 0, HI_VOICE_E_ENC_SAMPLE_COUNT},
        {good.bytes, samples, frame, 482, HI_VOICE_E_ENC_SAMPLE_COUNT},
        {good.bytes, samples, frame, -1, HI_VOICE_E_ENC_SAMPLE_COUNT},
        {badId.bytes, samples, frame, 0, HI_VOICE_E_ENC_SAMPLE_COUNT}, // count before id
        {badId.bytes, samples, frame, 80, HI_VOICE_E_ENC_NOT_SUPPORTED},
        {good.bytes, samples, frame, 1, HI_VOICE_OK},
        {good.bytes, samples, frame, 481, HI_VOICE_OK},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Hex(HI_VOICE_EncodeFrame(c.state, c.in, c.out, c.count)), Hex(c.expected))
            << "count " << c.count;
}

TEST(VoiceLibrary, DecodeChecksInTheirOrderAndClearTheCount) {
    State good, badId;
    ASSERT_EQ(HI_VOICE_DecReset(good.bytes, 1), 0);
    HI_VOICE_DecReset(badId.bytes, 9);
    std::vector<uint8_t> voice = MakeFrame(std::vector<uint8_t>(80, 0xD5));
    std::vector<uint8_t> notVoice = voice;
    notVoice[1] = 2; // first word 0x0200
    std::vector<uint8_t> empty = {0, 1, 0, 0};
    int16_t samples[HI_VOICE_MAX_SAMPLES];
    struct Case {
        void *state;
        const void *frame;
        int16_t *out;
        bool withCount;
        int32_t expected;
        int16_t countAfter;
    } cases[] = {
        {nullptr, nullptr, nullptr, false, HI_VOICE_E_NULL_STATE, 77},
        {good.bytes, nullptr, samples, true, HI_VOICE_E_NULL_INPUT, 77},
        {good.bytes, voice.data(), nullptr, true, HI_VOICE_E_NULL_OUTPUT, 77},
        {good.bytes, voice.data(), samples, false, HI_VOICE_E_NULL_OUTPUT, 77},
        {badId.bytes, notVoice.data(), samples, true, HI_VOICE_E_NOT_VOICE_FRAME, 0}, // type before id
        {badId.bytes, empty.data(), samples, true, HI_VOICE_E_DEC_FRAME_LENGTH, 0},   // W before id
        {badId.bytes, voice.data(), samples, true, HI_VOICE_E_DEC_NOT_SUPPORTED, 0},
        {good.bytes, notVoice.data(), samples, true, HI_VOICE_E_NOT_VOICE_FRAME, 0},
        {good.bytes, voice.data(), samples, true, HI_VOICE_OK, 80},
    };
    for (const Case &c : cases) {
        int16_t count = 77;
        EXPECT_EQ(Hex(HI_VOICE_DecodeFrame(c.state, c.frame, c.out, c.withCount ? &count : nullptr)),
                  Hex(c.expected));
        EXPECT_EQ(count, c.countAfter);
    }
}

TEST(VoiceLibrary, FrameTypeReadsOnlyTheLowTwoBits) {
    State dec;
    HI_VOICE_DecReset(dec.bytes, 1);
    int16_t samples[HI_VOICE_MAX_SAMPLES];
    int16_t count = 0;
    for (uint8_t type : {0x01, 0x05, 0xFD}) {
        std::vector<uint8_t> frame = MakeFrame(std::vector<uint8_t>(80, 0x55), type);
        frame[0] = 0xEE; // not read
        frame[3] = 0xEE;
        EXPECT_EQ(HI_VOICE_DecodeFrame(dec.bytes, frame.data(), samples, &count), 0) << int(type);
        EXPECT_EQ(count, 80);
        EXPECT_EQ(samples[0], -8);
    }
    for (uint8_t type : {0x00, 0x02, 0x03, 0xFC}) {
        std::vector<uint8_t> frame = MakeFrame(std::vector<uint8_t>(80, 0x55), type);
        EXPECT_EQ(HI_VOICE_DecodeFrame(dec.bytes, frame.data(), samples, &count), HI_VOICE_E_NOT_VOICE_FRAME);
    }
}

// The decoded sample count of W payload words, or -1 where it is refused.
struct SizeCase {
    int16_t id;
    int words;
    int samples;
};

class VoiceFrameSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(VoiceFrameSize, SampleCountRule) {
    const SizeCase c = GetParam();
    State dec;
    ASSERT_EQ(HI_VOICE_DecReset(dec.bytes, c.id), 0);
    std::vector<uint8_t> payload(2 * c.words, 0x11);
    if (c.words >= 2 && (c.id == 3 || c.id == 35))
        payload[2] = 10; // a valid step index
    std::vector<uint8_t> frame = MakeFrame(payload);
    std::vector<int16_t> out(HI_VOICE_MAX_SAMPLES + 64, 0x7777);
    int16_t count = -5;
    int32_t rc = HI_VOICE_DecodeFrame(dec.bytes, frame.data(), out.data(), &count);
    if (c.samples < 0) {
        EXPECT_EQ(Hex(rc), Hex(HI_VOICE_E_DEC_FRAME_LENGTH));
        EXPECT_EQ(count, 0);
        EXPECT_EQ(out[0], 0x7777) << "a refused frame writes no samples";
    } else {
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(count, c.samples);
        EXPECT_EQ(out[c.samples], 0x7777) << "nothing written past the count";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, VoiceFrameSize,
    ::testing::Values(
        // G.711: 2W samples, a multiple of 80, at most 481.
        SizeCase{1, 40, 80}, SizeCase{1, 41, -1}, SizeCase{1, 20, -1}, SizeCase{1, 240, 480},
        SizeCase{1, 241, -1}, SizeCase{2, 120, 240}, SizeCase{65, 40, 80}, SizeCase{66, 200, 400},
        // G.726: 16W / bits.
        SizeCase{4, 60, 480}, SizeCase{4, 61, -1}, SizeCase{4, 10, 80}, SizeCase{4, 9, -1},
        SizeCase{5, 15, 80}, SizeCase{5, 16, -1}, SizeCase{5, 90, 480}, SizeCase{6, 20, 80},
        SizeCase{6, 120, 480}, SizeCase{6, 121, -1}, SizeCase{7, 25, 80}, SizeCase{7, 150, 480},
        SizeCase{7, 151, -1}, SizeCase{36, 60, 480}, SizeCase{36, 61, -1}, SizeCase{37, 45, 240},
        SizeCase{38, 100, 400}, SizeCase{39, 125, 400}, SizeCase{68, 10, 80}, SizeCase{68, 60, 480},
        SizeCase{68, 61, -1}, SizeCase{68, 255, -1},
        // IMA ADPCM: 4W - 7 against 481; every variant also keeps within
        // the 481 samples the caller's buffer holds and has room for its
        // block header.
        SizeCase{3, 122, 480}, SizeCase{3, 123, -1}, SizeCase{3, 3, 4}, SizeCase{3, 2, 0}, SizeCase{3, 1, -1},
        SizeCase{35, 122, 481}, SizeCase{35, 123, -1}, SizeCase{35, 2, 1}, SizeCase{35, 1, -1},
        SizeCase{67, 120, 480}, SizeCase{67, 121, -1}, SizeCase{67, 1, 4}, SizeCase{67, 255, -1}));

TEST(VoiceLibrary, RefusedFrameLeavesTheStateUntouched) {
    State enc, dec;
    HI_VOICE_EncReset(enc.bytes, 4);
    HI_VOICE_DecReset(dec.bytes, 4);
    std::vector<int16_t> pcm = SpeechLike(480 * 3);
    uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
    int16_t out[HI_VOICE_MAX_SAMPLES];
    int16_t count;
    for (int f = 0; f < 3; ++f) {
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, &pcm[480 * f], frame, 480), 0);
        ASSERT_EQ(HI_VOICE_DecodeFrame(dec.bytes, frame, out, &count), 0);
    }
    State before = dec;
    std::vector<uint8_t> bad = MakeFrame(std::vector<uint8_t>(122, 0x5A)); // W = 61
    EXPECT_EQ(HI_VOICE_DecodeFrame(dec.bytes, bad.data(), out, &count), HI_VOICE_E_DEC_FRAME_LENGTH);
    bad[1] = 0;
    EXPECT_EQ(HI_VOICE_DecodeFrame(dec.bytes, bad.data(), out, &count), HI_VOICE_E_NOT_VOICE_FRAME);
    EXPECT_EQ(std::memcmp(before.bytes, dec.bytes, sizeof(dec.bytes)), 0);
}

TEST(VoiceLibrary, G711ExpansionValues) {
    // byte and its A-law value
    struct Case {
        uint8_t code;
        int16_t alaw;
    } cases[] = {{0xD5, 8},    {0x55, -8},   {0xFF, 848},   {0x00, -5504},
                 {0x80, 5504}, {0x7F, -848}, {0xAA, 32256}, {0x2A, -32256}};
    State a, u;
    HI_VOICE_DecReset(a.bytes, 1);
    HI_VOICE_DecReset(u.bytes, 2);
    std::vector<uint8_t> payload(80, 0xD5);
    for (size_t i = 0; i < std::size(cases); ++i)
        payload[i] = cases[i].code;
    std::vector<uint8_t> frame = MakeFrame(payload);
    int16_t outA[HI_VOICE_MAX_SAMPLES], outU[HI_VOICE_MAX_SAMPLES];
    int16_t count;
    ASSERT_EQ(HI_VOICE_DecodeFrame(a.bytes, frame.data(), outA, &count), 0);
    ASSERT_EQ(HI_VOICE_DecodeFrame(u.bytes, frame.data(), outU, &count), 0);
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(outA[i], cases[i].alaw) << std::hex << int(cases[i].code);
    EXPECT_EQ(outU[2], 0) << "u-law 0xFF";
    EXPECT_EQ(outU[3], -32124) << "u-law 0x00";
    EXPECT_EQ(outU[4], 32124) << "u-law 0x80";
}

// Round trips through the encoder and decoder of every id: the header, the
// payload length, the decoded length and a quality floor fitting the codec.
struct RoundTripCase {
    int16_t id;
    int16_t count;   // samples per encoded frame
    int words;       // payload words the encoder writes
    int decoded;     // samples the decoder returns per frame
    double minSnrDb; // over the whole stream
};

class VoiceRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(VoiceRoundTrip, EncodeThenDecode) {
    const RoundTripCase c = GetParam();
    State enc, dec;
    ASSERT_EQ(HI_VOICE_EncReset(enc.bytes, c.id), 0);
    ASSERT_EQ(HI_VOICE_DecReset(dec.bytes, c.id), 0);
    const int nFrames = 40;
    std::vector<int16_t> pcm =
        SpeechLike(static_cast<size_t>(c.count) * nFrames, static_cast<uint32_t>(c.id));
    std::vector<int16_t> ref, got;
    for (int f = 0; f < nFrames; ++f) {
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE + 16];
        std::memset(frame, 0xEE, sizeof(frame));
        const int16_t *in = &pcm[static_cast<size_t>(c.count) * f];
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, in, frame, c.count), 0);
        EXPECT_EQ(frame[0], 0);
        EXPECT_EQ(frame[1], 1);
        EXPECT_EQ(frame[2], c.words);
        EXPECT_EQ(frame[3], 0);
        EXPECT_EQ(frame[4 + 2 * c.words], 0xEE) << "writes 2 + W words only";
        int16_t out[HI_VOICE_MAX_SAMPLES];
        int16_t count = -1;
        ASSERT_EQ(Hex(HI_VOICE_DecodeFrame(dec.bytes, frame, out, &count)), Hex(0)) << "frame " << f;
        ASSERT_EQ(count, c.decoded);
        ref.insert(ref.end(), in, in + c.decoded);
        got.insert(got.end(), out, out + count);
    }
    EXPECT_GE(SnrDb(ref, got), c.minSnrDb);
}

INSTANTIATE_TEST_SUITE_P(
    EveryId, VoiceRoundTrip,
    ::testing::Values(RoundTripCase{1, 480, 240, 480, 30}, RoundTripCase{2, 480, 240, 480, 30},
                      RoundTripCase{65, 160, 80, 160, 30}, RoundTripCase{66, 320, 160, 320, 30},
                      RoundTripCase{3, 480, 122, 480, 15}, RoundTripCase{35, 481, 122, 481, 15},
                      RoundTripCase{67, 480, 120, 480, 15}, RoundTripCase{4, 480, 60, 480, 5},
                      RoundTripCase{5, 480, 90, 480, 10}, RoundTripCase{6, 480, 120, 480, 15},
                      RoundTripCase{7, 480, 150, 480, 20}, RoundTripCase{36, 480, 60, 480, 5},
                      RoundTripCase{37, 240, 45, 240, 10}, RoundTripCase{38, 160, 40, 160, 15},
                      RoundTripCase{39, 80, 25, 80, 20}, RoundTripCase{68, 480, 60, 480, 5}));

TEST(VoiceLibrary, EncoderFrameLengthRules) {
    // W for sample counts that are not whole frames: G.711 count / 2, ADPCM
    // count / 4 + 2, (count - 1) / 4 + 2 and count / 4, G.726 count * bits / 16.
    struct Case {
        int16_t id;
        int16_t count;
        int words;
    } cases[] = {{1, 1, 0},    {1, 481, 240},  {2, 3, 1},  {3, 1, 2},      {3, 481, 122},
                 {35, 1, 2},   {35, 480, 121}, {67, 3, 0}, {67, 481, 120}, {4, 481, 60},
                 {5, 100, 18}, {7, 481, 150},  {39, 7, 2}, {68, 9, 1}};
    for (const Case &c : cases) {
        State enc;
        ASSERT_EQ(HI_VOICE_EncReset(enc.bytes, c.id), 0);
        std::vector<int16_t> pcm = SpeechLike(static_cast<size_t>(c.count));
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE + 16];
        std::memset(frame, 0xEE, sizeof(frame));
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, pcm.data(), frame, c.count), 0);
        EXPECT_EQ(frame[1] | (frame[0] << 8), 1) << c.id;
        EXPECT_EQ(frame[2], c.words) << "id " << c.id << " count " << c.count;
        EXPECT_EQ(frame[4 + 2 * c.words], 0xEE) << "id " << c.id << " count " << c.count;
    }
}

TEST(VoiceLibrary, AdpcmHeaderCarriesTheCoderState) {
    // Id 35 stores the first sample as the header's predicted sample and
    // decodes it as output sample 0; id 3 writes the running coder state.
    State enc35, dec35;
    HI_VOICE_EncReset(enc35.bytes, 35);
    HI_VOICE_DecReset(dec35.bytes, 35);
    std::vector<int16_t> pcm = SpeechLike(481);
    pcm[0] = -1234;
    uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
    ASSERT_EQ(HI_VOICE_EncodeFrame(enc35.bytes, pcm.data(), frame, 481), 0);
    EXPECT_EQ(static_cast<int16_t>(frame[4] | (frame[5] << 8)), -1234);
    EXPECT_EQ(frame[6], 0) << "fresh coder: step index 0";
    int16_t out[HI_VOICE_MAX_SAMPLES];
    int16_t count;
    ASSERT_EQ(HI_VOICE_DecodeFrame(dec35.bytes, frame, out, &count), 0);
    EXPECT_EQ(out[0], -1234);

    State enc3;
    HI_VOICE_EncReset(enc3.bytes, 3);
    ASSERT_EQ(HI_VOICE_EncodeFrame(enc3.bytes, pcm.data(), frame, 480), 0);
    EXPECT_EQ(frame[4], 0);
    EXPECT_EQ(frame[5], 0);
    EXPECT_EQ(frame[6], 0);
    State dec3;
    HI_VOICE_DecReset(dec3.bytes, 3);
    ASSERT_EQ(HI_VOICE_DecodeFrame(dec3.bytes, frame, out, &count), 0);
    int16_t last = out[479];
    ASSERT_EQ(HI_VOICE_EncodeFrame(enc3.bytes, pcm.data(), frame, 480), 0);
    EXPECT_EQ(static_cast<int16_t>(frame[4] | (frame[5] << 8)), last)
        << "the next header holds the predictor the decoder ended with";
    EXPECT_GT(frame[6], 0);
}

TEST(VoiceLibrary, AdpcmHeaderStepIndexOutOfRangeIsClamped) {
    // A step index beyond the table must not read past it; it acts as 88.
    State a, b;
    HI_VOICE_DecReset(a.bytes, 3);
    HI_VOICE_DecReset(b.bytes, 3);
    std::vector<uint8_t> payload(2 * 22, 0x73);
    payload[0] = 0;
    payload[1] = 0;
    payload[2] = 200;
    std::vector<uint8_t> wild = MakeFrame(payload);
    payload[2] = 88;
    std::vector<uint8_t> top = MakeFrame(payload);
    int16_t outA[HI_VOICE_MAX_SAMPLES], outB[HI_VOICE_MAX_SAMPLES];
    int16_t nA, nB;
    ASSERT_EQ(HI_VOICE_DecodeFrame(a.bytes, wild.data(), outA, &nA), 0);
    ASSERT_EQ(HI_VOICE_DecodeFrame(b.bytes, top.data(), outB, &nB), 0);
    ASSERT_EQ(nA, 80);
    EXPECT_EQ(std::vector<int16_t>(outA, outA + nA), std::vector<int16_t>(outB, outB + nB));
}

TEST(VoiceLibrary, AdpcmVariantsAgreeOnTheSameCodes) {
    // Id 3 (high nibble first) and id 35 (low nibble first, header sample
    // first) decode the same codes to the same samples; id 67 does too when
    // its running state equals the header.
    std::vector<uint8_t> codes3(2 * 40);
    uint32_t rng = 7;
    for (auto &b : codes3) {
        rng = rng * 1103515245u + 12345u;
        b = static_cast<uint8_t>(rng >> 24);
    }
    std::vector<uint8_t> p3 = {0, 0, 0, 0};
    p3.insert(p3.end(), codes3.begin(), codes3.end());
    std::vector<uint8_t> p35 = p3;
    for (size_t i = 4; i < p35.size(); ++i)
        p35[i] = static_cast<uint8_t>((p3[i] >> 4) | (p3[i] << 4));
    std::vector<int16_t> s3 = DecodeFrames(3, {MakeFrame(p3)});
    std::vector<int16_t> s35 = DecodeFrames(35, {MakeFrame(p35)});
    std::vector<int16_t> s67 = DecodeFrames(67, {MakeFrame(codes3)});
    ASSERT_EQ(s3.size(), 160u);
    ASSERT_EQ(s35.size(), 161u);
    EXPECT_EQ(s35[0], 0);
    EXPECT_EQ(std::vector<int16_t>(s35.begin() + 1, s35.end()), s3);
    EXPECT_EQ(s67, s3);
}

TEST(VoiceLibrary, G726SameCodesUnderLsbAndMsbIdsDecodeAlike) {
    for (int bits = 2; bits <= 5; ++bits) {
        const int16_t lsbId = static_cast<int16_t>(bits + 2);
        const int16_t msbId = static_cast<int16_t>(bits + 34);
        State enc;
        ASSERT_EQ(HI_VOICE_EncReset(enc.bytes, lsbId), 0);
        std::vector<int16_t> pcm = SpeechLike(480 * 6, static_cast<uint32_t>(bits));
        std::vector<std::vector<uint8_t>> lsbFrames, msbFrames, wordFrames;
        for (int f = 0; f < 6; ++f) {
            uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
            ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, &pcm[480 * f], frame, 480), 0);
            const int words = frame[2];
            ASSERT_EQ(words, 30 * bits);
            std::vector<uint8_t> codes = UnpackLsbFirst(frame + 4, 480, bits);
            EXPECT_EQ(PackLsbFirst(codes, bits), std::vector<uint8_t>(frame + 4, frame + 4 + 2 * words));
            lsbFrames.push_back(MakeFrame(PackLsbFirst(codes, bits)));
            msbFrames.push_back(MakeFrame(PackMsbFirst(codes, bits)));
            if (bits == 2)
                wordFrames.push_back(MakeFrame(PackWords68(codes)));
        }
        std::vector<int16_t> lsb = DecodeFrames(lsbId, lsbFrames);
        ASSERT_EQ(lsb.size(), 480u * 6);
        EXPECT_EQ(DecodeFrames(msbId, msbFrames), lsb) << bits << " bits";
        if (bits == 2) {
            EXPECT_EQ(DecodeFrames(68, wordFrames), lsb);
        }
        // And the encoders of the other packings write exactly those bytes.
        State encMsb;
        ASSERT_EQ(HI_VOICE_EncReset(encMsb.bytes, msbId), 0);
        for (int f = 0; f < 6; ++f) {
            uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
            ASSERT_EQ(HI_VOICE_EncodeFrame(encMsb.bytes, &pcm[480 * f], frame, 480), 0);
            EXPECT_EQ(std::vector<uint8_t>(frame, frame + 4 + 60 * bits), msbFrames[f]);
        }
        if (bits == 2) {
            State enc68;
            ASSERT_EQ(HI_VOICE_EncReset(enc68.bytes, 68), 0);
            for (int f = 0; f < 6; ++f) {
                uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
                ASSERT_EQ(HI_VOICE_EncodeFrame(enc68.bytes, &pcm[480 * f], frame, 480), 0);
                EXPECT_EQ(std::vector<uint8_t>(frame, frame + 124), wordFrames[f]);
            }
        }
    }
}

TEST(VoiceLibrary, G711SwappedIdsSwapEachWord) {
    State enc1, enc65;
    HI_VOICE_EncReset(enc1.bytes, 1);
    HI_VOICE_EncReset(enc65.bytes, 65);
    std::vector<int16_t> pcm = SpeechLike(160);
    uint8_t f1[HI_VOICE_MAX_FRAME_SIZE], f65[HI_VOICE_MAX_FRAME_SIZE];
    ASSERT_EQ(HI_VOICE_EncodeFrame(enc1.bytes, pcm.data(), f1, 160), 0);
    ASSERT_EQ(HI_VOICE_EncodeFrame(enc65.bytes, pcm.data(), f65, 160), 0);
    for (int i = 0; i < 160; i += 2) {
        EXPECT_EQ(f65[4 + i], f1[4 + i + 1]);
        EXPECT_EQ(f65[4 + i + 1], f1[4 + i]);
    }
    std::vector<uint8_t> a(f1, f1 + 164), b(f65, f65 + 164);
    EXPECT_EQ(DecodeFrames(1, {a}), DecodeFrames(65, {b}));
}

TEST(VoiceLibrary, G711EncoderPicksTheIntervalOfEverySample) {
    // Decoding the code of any 16-bit sample gives the centre of the G.711
    // interval holding it: never further away than half the interval.
    State a, u;
    HI_VOICE_EncReset(a.bytes, 1);
    HI_VOICE_EncReset(u.bytes, 2);
    State da, du;
    HI_VOICE_DecReset(da.bytes, 1);
    HI_VOICE_DecReset(du.bytes, 2);
    int worstA = 0, worstU = 0;
    for (int base = -32768; base < 32768; base += 480) {
        int16_t pcm[480];
        for (int i = 0; i < 480; ++i)
            pcm[i] = static_cast<int16_t>(std::clamp(base + i, -32768, 32767));
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
        int16_t out[HI_VOICE_MAX_SAMPLES];
        int16_t n;
        for (int law = 0; law < 2; ++law) {
            ASSERT_EQ(HI_VOICE_EncodeFrame(law ? u.bytes : a.bytes, pcm, frame, 480), 0);
            ASSERT_EQ(HI_VOICE_DecodeFrame(law ? du.bytes : da.bytes, frame, out, &n), 0);
            for (int i = 0; i < 480; ++i) {
                int err = std::abs(out[i] - pcm[i]);
                int mag = std::abs(static_cast<int>(pcm[i]));
                // Within half a G.711 interval, which grows with the
                // magnitude; the shift to 13 (A-law) or 14 (u-law) bits
                // adds up to one step of the finest interval.
                int allowed = law ? std::max(8, mag / 8 + 8) : std::max(8, mag / 16);
                if (mag > 32124)
                    allowed = mag - 32124 + 1024;
                EXPECT_LE(err, allowed) << (law ? "u-law " : "A-law ") << pcm[i];
                (law ? worstU : worstA) = std::max(law ? worstU : worstA, err);
            }
        }
    }
    EXPECT_GT(worstA, 0);
    EXPECT_GT(worstU, 0);
}

TEST(VoiceLibrary, G711EncoderKeepsEveryExpandedValue) {
    // A value that a code expands to is coded back to a code of that value.
    for (int16_t id : {1, 2}) {
        State enc, dec;
        HI_VOICE_EncReset(enc.bytes, id);
        HI_VOICE_DecReset(dec.bytes, id);
        std::vector<uint8_t> all(320);
        for (int i = 0; i < 320; ++i)
            all[i] = static_cast<uint8_t>(i);
        std::vector<int16_t> values = DecodeFrames(id, {MakeFrame(all)});
        ASSERT_EQ(values.size(), 320u);
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, values.data(), frame, 320), 0);
        std::vector<int16_t> again = DecodeFrames(id, {std::vector<uint8_t>(frame, frame + 4 + 320)});
        EXPECT_EQ(again, values) << "id " << id;
    }
}

TEST(VoiceTranscoder, ResetAndFrameChecks) {
    alignas(8) static uint8_t state[HI_VOICE_TRANSCODE_STATE_SIZE];
    EXPECT_EQ(Hex(HI_VOICE_TransCodeReset(nullptr, 97)), Hex(HI_VOICE_E_TRANS_NULL_STATE));
    for (int16_t mode : {0, 96, 101, 1, -97})
        EXPECT_EQ(Hex(HI_VOICE_TransCodeReset(state, mode)), Hex(HI_VOICE_E_TRANS_NOT_SUPPORTED)) << mode;
    uint8_t frame[HI_VOICE_MAX_FRAME_SIZE] = {0, 1, 0, 0};
    EXPECT_EQ(Hex(HI_VOICE_TransCodeFrame(nullptr, frame)), Hex(HI_VOICE_E_TRANS_NULL_STATE));
    ASSERT_EQ(HI_VOICE_TransCodeReset(state, 97), 0);
    EXPECT_EQ(Hex(HI_VOICE_TransCodeFrame(state, nullptr)), Hex(HI_VOICE_E_NULL_INPUT));
    // Halves: encoder at 0, decoder at 2048.
    struct Mode {
        int16_t mode, decoderId, encoderId;
    } modes[] = {{97, 65, 1}, {98, 66, 2}, {99, 67, 3}, {100, 68, 4}};
    for (const Mode &m : modes) {
        std::memset(state, 0xCD, sizeof(state));
        ASSERT_EQ(HI_VOICE_TransCodeReset(state, m.mode), 0);
        int16_t enc, dec;
        std::memcpy(&enc, state, 2);
        std::memcpy(&dec, state + HI_VOICE_TRANSCODE_DECODER_OFFSET, 2);
        EXPECT_EQ(enc, m.encoderId);
        EXPECT_EQ(dec, m.decoderId);
    }
    // An encoder half of another codec is refused.
    HI_VOICE_EncReset(state, 6);
    EXPECT_EQ(Hex(HI_VOICE_TransCodeFrame(state, frame)), Hex(HI_VOICE_E_TRANS_NOT_SUPPORTED));
}

TEST(VoiceTranscoder, SwappedG711TwiceRestoresTheFrame) {
    alignas(8) static uint8_t state[HI_VOICE_TRANSCODE_STATE_SIZE];
    for (int16_t mode : {97, 98}) {
        ASSERT_EQ(HI_VOICE_TransCodeReset(state, mode), 0);
        State enc;
        HI_VOICE_EncReset(enc.bytes, mode == 97 ? 65 : 66);
        std::vector<int16_t> pcm = SpeechLike(240);
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE + 4];
        std::memset(frame, 0xEE, sizeof(frame));
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, pcm.data(), frame, 240), 0);
        std::vector<uint8_t> original(frame, frame + sizeof(frame));
        ASSERT_EQ(HI_VOICE_TransCodeFrame(state, frame), 0);
        EXPECT_NE(std::vector<uint8_t>(frame, frame + sizeof(frame)), original);
        // Once: the standard packing of the same samples.
        std::vector<uint8_t> once(frame, frame + 4 + 240);
        EXPECT_EQ(DecodeFrames(mode == 97 ? 1 : 2, {once}),
                  DecodeFrames(mode == 97 ? 65 : 66,
                               {std::vector<uint8_t>(original.begin(), original.begin() + 244)}));
        EXPECT_EQ(frame[4 + 240], 0xEE) << "only the payload words are touched";
        ASSERT_EQ(HI_VOICE_TransCodeFrame(state, frame), 0);
        EXPECT_EQ(std::vector<uint8_t>(frame, frame + sizeof(frame)), original);
    }
    // W = 0 is left as it is.
    ASSERT_EQ(HI_VOICE_TransCodeReset(state, 97), 0);
    uint8_t empty[8] = {0, 1, 0, 0, 1, 2, 3, 4};
    ASSERT_EQ(HI_VOICE_TransCodeFrame(state, empty), 0);
    EXPECT_EQ(empty[4], 1);
    EXPECT_EQ(empty[5], 2);
}

TEST(VoiceTranscoder, RunningAdpcmBecomesBlocksWithHeaders) {
    alignas(8) static uint8_t state[HI_VOICE_TRANSCODE_STATE_SIZE];
    ASSERT_EQ(HI_VOICE_TransCodeReset(state, 99), 0);
    State enc;
    HI_VOICE_EncReset(enc.bytes, 67);
    std::vector<int16_t> pcm = SpeechLike(320 * 8);
    std::vector<std::vector<uint8_t>> streamFrames, blockFrames;
    for (int f = 0; f < 8; ++f) {
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE + 8];
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, &pcm[320 * f], frame, 320), 0);
        ASSERT_EQ(frame[2], 80);
        streamFrames.emplace_back(frame, frame + 164);
        ASSERT_EQ(HI_VOICE_TransCodeFrame(state, frame), 0);
        EXPECT_EQ(frame[2], 82) << "the block header adds two words";
        blockFrames.emplace_back(frame, frame + 168);
    }
    std::vector<int16_t> direct = DecodeFrames(67, streamFrames);
    ASSERT_EQ(direct.size(), 320u * 8);
    EXPECT_EQ(DecodeFrames(3, blockFrames), direct);
    // A refused frame is reported with the decoder's code.
    uint8_t bad[HI_VOICE_MAX_FRAME_SIZE] = {0, 2, 10, 0};
    EXPECT_EQ(Hex(HI_VOICE_TransCodeFrame(state, bad)), Hex(HI_VOICE_E_NOT_VOICE_FRAME));
}

TEST(VoiceTranscoder, WordPackedG726BecomesLsbFirst) {
    alignas(8) static uint8_t state[HI_VOICE_TRANSCODE_STATE_SIZE];
    ASSERT_EQ(HI_VOICE_TransCodeReset(state, 100), 0);
    State enc;
    HI_VOICE_EncReset(enc.bytes, 68);
    std::vector<int16_t> pcm = SpeechLike(480 * 6);
    std::vector<std::vector<uint8_t>> converted, original;
    for (int f = 0; f < 6; ++f) {
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE];
        ASSERT_EQ(HI_VOICE_EncodeFrame(enc.bytes, &pcm[480 * f], frame, 480), 0);
        original.emplace_back(frame, frame + 124);
        ASSERT_EQ(HI_VOICE_TransCodeFrame(state, frame), 0);
        EXPECT_EQ(frame[2], 60);
        converted.emplace_back(frame, frame + 124);
    }
    // Decoding and coding again is a second generation of the same signal:
    // close to the first, in the standard packing.
    std::vector<int16_t> first = DecodeFrames(68, original);
    std::vector<int16_t> second = DecodeFrames(4, converted);
    ASSERT_EQ(second.size(), first.size());
    EXPECT_GE(SnrDb(first, second), 5.0);
}
