// The voice codec library as clients reach it: through the library's exports.
#include <qvvoice.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

TEST(VoiceExports, VersionString) {
    char version[HI_VOICE_VERSION_SIZE + 8];
    std::memset(version, 'x', sizeof(version));
    EXPECT_EQ(HI_VOICE_GetVersion(version), 0);
    EXPECT_STREQ(version, "HI_VOICE_VERSION=QV_VOICELIB_V1.0.0.0");
    EXPECT_NE(HI_VOICE_GetVersion(nullptr), 0);
}

// A-law through the exported encoder and decoder: the frame carries 2W
// samples and the decoded levels stay within one quantisation step.
TEST(VoiceExports, AlawFrameRoundTrip) {
    alignas(8) uint8_t enc[HI_VOICE_STATE_SIZE];
    alignas(8) uint8_t dec[HI_VOICE_STATE_SIZE];
    ASSERT_EQ(HI_VOICE_EncReset(enc, HI_VOICE_CODEC_G711A), 0);
    ASSERT_EQ(HI_VOICE_DecReset(dec, HI_VOICE_CODEC_G711A), 0);

    std::vector<int16_t> samples(160);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<int16_t>((static_cast<int>(i) - 80) * 300);
    std::vector<uint8_t> frame(4 + samples.size());
    ASSERT_EQ(HI_VOICE_EncodeFrame(enc, samples.data(), frame.data(), static_cast<int16_t>(samples.size())), 0);
    EXPECT_EQ(frame[2], samples.size() / 2); // payload words

    std::vector<int16_t> out(samples.size() + 16, 0x5555);
    int16_t count = 0;
    ASSERT_EQ(HI_VOICE_DecodeFrame(dec, frame.data(), out.data(), &count), 0);
    ASSERT_EQ(count, static_cast<int16_t>(samples.size()));
    for (size_t i = 0; i < samples.size(); ++i) {
        int step = std::max(16, std::abs(static_cast<int>(samples[i])) / 16);
        EXPECT_NEAR(out[i], samples[i], step) << "sample " << i;
    }
    EXPECT_EQ(out[samples.size()], 0x5555); // nothing written past the samples
}

TEST(VoiceExports, UnknownCodecRefused) {
    alignas(8) uint8_t state[HI_VOICE_STATE_SIZE];
    EXPECT_NE(HI_VOICE_DecReset(state, 69), 0);
    EXPECT_NE(HI_VOICE_EncReset(state, 0), 0);
}

} // namespace
