// The flat decoder functions: their checks come in a fixed order (object,
// pointers, record sizes, values) before the decoder is called, and the
// factory's choice between the decoders.
#include <gtest/gtest.h>

#include <vector>

#include "vdec/basevideocodec.h"
#include "vdec/cuda.h"
#include "vdec/vdec.h"
#include "vdectest.h"

namespace {

// The hardware decoder is pointed at libraries that do not exist, so that
// these tests do not depend on the machine's card.
class VdecApiTest : public testing::Test {
protected:
    void SetUp() override {
        CudaTestOverrides overrides{"qv-no-such-cuda-library", "qv-no-such-cuvid-library", nullptr, nullptr};
        CudaSetTestOverrides(&overrides);
        VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 352, 288, 0, 0};
        ASSERT_EQ(Vdec_Create(&m_pDecoder, &param), VDEC_OK);
    }
    void TearDown() override {
        Vdec_Destroy(m_pDecoder);
        CudaSetTestOverrides(nullptr);
    }
    CBaseVideoCodec *m_pDecoder = nullptr;
};

TEST_F(VdecApiTest, CreateChecksInOrder) {
    CBaseVideoCodec *decoder = nullptr;
    VideoDecoderParam good{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 352, 288, 0, 0};
    VideoDecoderParam badSize = good;
    badSize.dwSize = VDEC_PARAM_SIZE - 1;
    VideoDecoderParam badSizeBadCodec = badSize;
    badSizeBadCodec.dwCodec = 9;
    struct Case {
        const char *name;
        CBaseVideoCodec **out;
        const VideoDecoderParam *param;
        int32_t expected;
    };
    const Case cases[] = {
        {"null out", nullptr, &good, VDEC_E_NULL_POINTER},
        {"null record", &decoder, nullptr, VDEC_E_NULL_POINTER},
        {"both null", nullptr, nullptr, VDEC_E_NULL_POINTER},
        {"null out before size", nullptr, &badSize, VDEC_E_NULL_POINTER},
        {"size short", &decoder, &badSize, VDEC_E_BAD_SIZE},
        {"size before codec", &decoder, &badSizeBadCodec, VDEC_E_BAD_SIZE},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Vdec_Create(c.out, c.param), c.expected) << c.name;
        EXPECT_EQ(decoder, nullptr) << c.name;
    }
    VideoDecoderParam longer = good;
    longer.dwSize = VDEC_PARAM_SIZE + 4;
    EXPECT_EQ(Vdec_Create(&decoder, &longer), VDEC_E_BAD_SIZE);
}

TEST_F(VdecApiTest, FactoryChoice) {
    struct Case {
        uint32_t codec;
        uint32_t flags;
        int32_t expected;
        uint32_t kind;
    };
    const Case cases[] = {
        {3, 0, VDEC_OK, VDEC_KIND_SOFT_H264},
        {3, VDEC_FLAG_MULTITHREAD, VDEC_OK, VDEC_KIND_SOFT_H264},
        {3, VDEC_FLAG_NO_CPU_LIMIT, VDEC_OK, VDEC_KIND_SOFT_H264},
        // No hardware here: codec 3 falls back to software, the others fail.
        {3, VDEC_FLAG_HARDWARE, VDEC_OK, VDEC_KIND_SOFT_H264},
        {4, 0, VDEC_E_NOT_SUPPORTED, 0},
        {4, VDEC_FLAG_HARDWARE, VDEC_E_NOT_SUPPORTED, 0},
        {5, VDEC_FLAG_HARDWARE, VDEC_E_NOT_SUPPORTED, 0},
        {1, VDEC_FLAG_HARDWARE, VDEC_E_NOT_SUPPORTED, 0},
        {2, 0, VDEC_E_NOT_SUPPORTED, 0},
        {6, VDEC_FLAG_HARDWARE, VDEC_E_NOT_SUPPORTED, 0},
        {0, 0, VDEC_E_NOT_SUPPORTED, 0},
    };
    for (const Case &c : cases) {
        CBaseVideoCodec *decoder = nullptr;
        VideoDecoderParam param{VDEC_PARAM_SIZE, c.codec, 704, 576, c.flags, 0};
        EXPECT_EQ(Vdec_Create(&decoder, &param), c.expected) << "codec " << c.codec << " flags " << c.flags;
        if (c.expected != VDEC_OK) {
            EXPECT_EQ(decoder, nullptr);
            continue;
        }
        ASSERT_NE(decoder, nullptr);
        DecoderInfo info{};
        ASSERT_EQ(Vdec_GetDecoderInfo(decoder, &info), VDEC_OK);
        EXPECT_EQ(info.dwDecoderKind, c.kind);
        EXPECT_EQ(Vdec_Destroy(decoder), VDEC_OK);
    }
}

TEST_F(VdecApiTest, DecodeChecksInOrder) {
    const uint8_t data[4] = {0, 0, 1, 0x09};
    DecodedPicture good{};
    good.dwSize = VDEC_PICTURE_SIZE;
    DecodedPicture badSize = good;
    badSize.dwSize = VDEC_PICTURE_SIZE + 1;
    struct Case {
        const char *name;
        bool decoder;
        const uint8_t *data;
        uint32_t length;
        DecodedPicture *picture;
        int32_t expected;
    };
    const Case cases[] = {
        {"null decoder first", false, nullptr, 0, nullptr, VDEC_E_INVALID_OBJECT},
        {"null decoder", false, data, 4, &good, VDEC_E_INVALID_OBJECT},
        {"null data before length", true, nullptr, 0, nullptr, VDEC_E_NULL_POINTER},
        {"null data", true, nullptr, 4, &good, VDEC_E_NULL_POINTER},
        {"length 0 before record", true, data, 0, nullptr, VDEC_E_INVALID_VALUE},
        {"length 0", true, data, 0, &good, VDEC_E_INVALID_VALUE},
        {"null record", true, data, 4, nullptr, VDEC_E_NULL_POINTER},
        {"record size", true, data, 4, &badSize, VDEC_E_BAD_SIZE},
        {"size query", true, data, 4, &good, VDEC_OK},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Vdec_Decode(c.decoder ? m_pDecoder : nullptr, c.data, c.length, c.picture), c.expected)
            << c.name;
    }
    EXPECT_EQ(good.dwBufferSize, 352u * 288 * 3 / 2);
    EXPECT_EQ(badSize.dwBufferSize, 0u) << "a refused record is not written";
}

TEST_F(VdecApiTest, DecodeTaggedChecksInOrder) {
    const uint8_t data[4] = {0, 0, 1, 0x09};
    DecodedPicture good{};
    good.dwSize = VDEC_PICTURE_SIZE;
    DecodedPicture badSize = good;
    badSize.dwSize = VDEC_PICTURE_SIZE - 1;
    uint64_t tag = 77;
    struct Case {
        const char *name;
        bool decoder;
        const uint8_t *data;
        uint32_t length;
        DecodedPicture *picture;
        uint64_t *tag;
        int32_t expected;
    };
    const Case cases[] = {
        {"null decoder first", false, nullptr, 0, nullptr, nullptr, VDEC_E_INVALID_OBJECT},
        {"null decoder", false, data, 4, &good, &tag, VDEC_E_INVALID_OBJECT},
        {"null data before length", true, nullptr, 0, &good, &tag, VDEC_E_NULL_POINTER},
        {"length 0 before record", true, data, 0, nullptr, nullptr, VDEC_E_INVALID_VALUE},
        {"null record", true, data, 4, nullptr, &tag, VDEC_E_NULL_POINTER},
        {"null tag", true, data, 4, &good, nullptr, VDEC_E_NULL_POINTER},
        {"null tag before record size", true, data, 4, &badSize, nullptr, VDEC_E_NULL_POINTER},
        {"record size", true, data, 4, &badSize, &tag, VDEC_E_BAD_SIZE},
        {"size query", true, data, 4, &good, &tag, VDEC_OK},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Vdec_DecodeTagged(c.decoder ? m_pDecoder : nullptr, c.data, c.length, 5, c.picture, c.tag),
                  c.expected)
            << c.name;
    }
    EXPECT_EQ(good.dwBufferSize, 352u * 288 * 3 / 2);
    EXPECT_EQ(badSize.dwBufferSize, 0u) << "a refused record is not written";
    EXPECT_EQ(tag, 77u) << "no picture, no tag";
}

TEST_F(VdecApiTest, DrainChecksInOrder) {
    DecodedPicture good{};
    good.dwSize = VDEC_PICTURE_SIZE;
    DecodedPicture badSize = good;
    badSize.dwSize = 0;
    uint64_t tag = 77;
    struct Case {
        const char *name;
        bool decoder;
        DecodedPicture *picture;
        uint64_t *tag;
        int32_t expected;
    };
    const Case cases[] = {
        {"null decoder first", false, nullptr, nullptr, VDEC_E_INVALID_OBJECT},
        {"null decoder", false, &good, &tag, VDEC_E_INVALID_OBJECT},
        {"null record", true, nullptr, &tag, VDEC_E_NULL_POINTER},
        {"null tag", true, &good, nullptr, VDEC_E_NULL_POINTER},
        {"null tag before record size", true, &badSize, nullptr, VDEC_E_NULL_POINTER},
        {"record size", true, &badSize, &tag, VDEC_E_BAD_SIZE},
        {"size query", true, &good, &tag, VDEC_OK},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Vdec_Drain(c.decoder ? m_pDecoder : nullptr, c.picture, c.tag), c.expected) << c.name;
    EXPECT_EQ(good.dwBufferSize, 352u * 288 * 3 / 2);
    // Nothing decoded yet: nothing to drain, and again.
    std::vector<uint8_t> buffer(good.dwBufferSize);
    good.pBuffer = buffer.data();
    EXPECT_EQ(Vdec_Drain(m_pDecoder, &good, &tag), VDEC_E_NO_PICTURE);
    EXPECT_EQ(Vdec_Drain(m_pDecoder, &good, &tag), VDEC_E_NO_PICTURE);
    EXPECT_EQ(tag, 77u);
}

// A size query or a short buffer takes no picture: the one held is still
// there for the real call, with its tag.
TEST_F(VdecApiTest, SizeQueryAndShortBufferTakeNoPicture) {
    const std::vector<uint8_t> stream = vdectest::ReadSample(vdectest::kBaseline);
    const auto units = vdectest::AccessUnits(stream);
    ASSERT_GT(units.size(), 2u);
    std::vector<uint8_t> buffer(352 * 288 * 3 / 2, 0x11);
    uint64_t tag = 0;
    // Through the parser, the first frame's picture waits for the second
    // frame's start; the second one for the drain.
    for (size_t i = 0; i < 2; ++i) {
        DecodedPicture picture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(buffer.size()), {0, 0}};
        const int32_t result = Vdec_DecodeTagged(m_pDecoder, units[i].data(), uint32_t(units[i].size()),
                                                 0xABC0 + i, &picture, &tag);
        EXPECT_EQ(result, i == 0 ? VDEC_E_NO_PICTURE : VDEC_OK) << "frame " << i;
    }
    EXPECT_EQ(tag, 0xABC0u);
    tag = 0;
    DecodedPicture query{VDEC_PICTURE_SIZE, 0, 0, 0, nullptr, 0, {0, 0}};
    EXPECT_EQ(Vdec_Drain(m_pDecoder, &query, &tag), VDEC_OK);
    EXPECT_EQ(query.dwBufferSize, buffer.size());
    DecodedPicture shortBuffer{VDEC_PICTURE_SIZE,           0,     0, 0, buffer.data(),
                               uint32_t(buffer.size() - 1), {0, 0}};
    EXPECT_EQ(Vdec_Drain(m_pDecoder, &shortBuffer, &tag), VDEC_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortBuffer.dwBufferSize, buffer.size());
    EXPECT_EQ(tag, 0u);
    DecodedPicture picture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(buffer.size()), {0, 0}};
    EXPECT_EQ(Vdec_Drain(m_pDecoder, &picture, &tag), VDEC_OK);
    EXPECT_EQ(tag, 0xABC1u);
    EXPECT_EQ(Vdec_Drain(m_pDecoder, &picture, &tag), VDEC_E_NO_PICTURE);
}

TEST_F(VdecApiTest, SetColorChecksInOrder) {
    PLAY_COLOR good{PLAY_COLOR_SIZE, 100, 64, 64, 64, 0};
    PLAY_COLOR badSize = good;
    badSize.dwSize = 20;
    struct Case {
        const char *name;
        bool decoder;
        const PLAY_COLOR *colour;
        int32_t expected;
    };
    const Case cases[] = {
        {"null decoder first", false, nullptr, VDEC_E_INVALID_OBJECT},
        {"null decoder", false, &good, VDEC_E_INVALID_OBJECT},
        {"null record", true, nullptr, VDEC_E_NULL_POINTER},
        {"record size", true, &badSize, VDEC_E_BAD_SIZE},
        {"good", true, &good, VDEC_OK},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Vdec_SetColor(c.decoder ? m_pDecoder : nullptr, c.colour), c.expected) << c.name;
    PLAY_COLOR back{};
    m_pDecoder->GetColor(&back);
    EXPECT_EQ(back.dwBrightness, 100u);
}

TEST_F(VdecApiTest, DestroyAndInfoChecks) {
    EXPECT_EQ(Vdec_Destroy(nullptr), VDEC_E_INVALID_OBJECT);
    DecoderInfo info{};
    EXPECT_EQ(Vdec_GetDecoderInfo(nullptr, &info), VDEC_E_INVALID_OBJECT);
    EXPECT_EQ(Vdec_GetDecoderInfo(m_pDecoder, nullptr), VDEC_E_NULL_POINTER);
}

// A decoder whose core cannot be created (an absurd size is no problem: the
// core falls back to its default) reports it; here the whole factory path
// with the largest sizes still gives a working decoder or a clean failure.
TEST_F(VdecApiTest, HugeSizesFailCleanly) {
    const uint32_t sizes[][2] = {{0, 0}, {1, 1}, {0xFFFFFFFFu, 0xFFFFFFFFu}, {5632, 4096}};
    for (auto &size : sizes) {
        CBaseVideoCodec *decoder = nullptr;
        VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, size[0], size[1], 0, 0};
        int32_t result = Vdec_Create(&decoder, &param);
        EXPECT_TRUE(result == VDEC_OK || result == VDEC_E_CREATE_FAILED);
        if (result != VDEC_OK)
            continue;
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        const uint8_t data[4] = {0, 0, 1, 0x09};
        EXPECT_EQ(Vdec_Decode(decoder, data, 4, &picture), VDEC_OK);
        Vdec_Destroy(decoder);
    }
}

} // namespace
