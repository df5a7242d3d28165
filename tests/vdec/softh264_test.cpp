// The software decoder through the flat functions, against ffmpeg's own
// decoding of the committed clips: every picture handed out must be the next
// one of the reference list, however the stream is cut into frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "platform/system.h"
#include "vdec/basevideocodec.h"
#include "vdec/colour.h"
#include "vdec/h264core.h"
#include "vdec/softh264.h"
#include "vdec/vdec.h"
#include "vdectest.h"

using namespace vdectest;

namespace {

struct DecoderDeleter {
    void operator()(CBaseVideoCodec *decoder) const { Vdec_Destroy(decoder); }
};
using DecoderPtr = std::unique_ptr<CBaseVideoCodec, DecoderDeleter>;

VideoDecoderParam MakeParam(uint32_t codec, uint32_t width, uint32_t height, uint32_t flags) {
    VideoDecoderParam param{};
    param.dwSize = VDEC_PARAM_SIZE;
    param.dwCodec = codec;
    param.dwWidth = width;
    param.dwHeight = height;
    param.dwFlags = flags;
    return param;
}

DecoderPtr Create(uint32_t width, uint32_t height, uint32_t flags = 0) {
    VideoDecoderParam param = MakeParam(VDEC_CODEC_H264, width, height, flags);
    CBaseVideoCodec *decoder = nullptr;
    EXPECT_EQ(Vdec_Create(&decoder, &param), VDEC_OK);
    return DecoderPtr(decoder);
}

struct Output {
    std::vector<std::string> md5s;
    std::vector<std::vector<uint8_t>> pictures; // kept when asked for
    uint32_t dwFourCC = 0;
    uint32_t dwWidth = 0;
    uint32_t dwHeight = 0;
    bool bUnexpected = false; // a result other than a picture or "no picture"
};

// The player's calling order for every piece: size query, buffer of that
// size, decode.
Output DecodePieces(CBaseVideoCodec *decoder, const std::vector<uint8_t> &stream, Split split,
                    bool keep = false) {
    Output out;
    std::vector<uint8_t> buffer; // the pool's role: reused while the size stays
    for (auto [offset, size] : Pieces(stream, split)) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        if (Vdec_Decode(decoder, stream.data() + offset, uint32_t(size), &picture) != VDEC_OK) {
            out.bUnexpected = true;
            break;
        }
        if (buffer.size() != picture.dwBufferSize)
            buffer.assign(picture.dwBufferSize, 0);
        picture.pBuffer = buffer.data();
        int32_t result = Vdec_Decode(decoder, stream.data() + offset, uint32_t(size), &picture);
        if (result == VDEC_E_NO_PICTURE)
            continue;
        if (result != VDEC_OK) {
            out.bUnexpected = true;
            break;
        }
        out.dwFourCC = picture.dwFourCC;
        out.dwWidth = picture.dwWidth;
        out.dwHeight = picture.dwHeight;
        out.md5s.push_back(PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight));
        if (keep)
            out.pictures.push_back(buffer);
    }
    return out;
}

// The end of the stream: what the decoder still holds, one picture per call.
void DrainAll(CBaseVideoCodec *decoder, Output &out) {
    std::vector<uint8_t> buffer;
    for (int guard = 0; guard < 64; ++guard) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        uint64_t tag = 0;
        if (Vdec_Drain(decoder, &picture, &tag) != VDEC_OK) {
            out.bUnexpected = true;
            return;
        }
        buffer.assign(picture.dwBufferSize, 0);
        picture.pBuffer = buffer.data();
        int32_t result = Vdec_Drain(decoder, &picture, &tag);
        if (result == VDEC_E_NO_PICTURE)
            return;
        if (result != VDEC_OK) {
            out.bUnexpected = true;
            return;
        }
        out.md5s.push_back(PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight));
    }
    out.bUnexpected = true; // never ends
}

struct ClipCase {
    const char *clip;
    Split split;
    uint32_t flags;
};

std::string ClipCaseName(const testing::TestParamInfo<ClipCase> &info) {
    std::string name = info.param.clip;
    name = name.substr(0, name.find('.'));
    name += std::string("_") + SplitName(info.param.split);
    if (info.param.flags & VDEC_FLAG_MULTITHREAD)
        name += "_Threads";
    return name;
}

class SoftDecoderClipTest : public testing::TestWithParam<ClipCase> {};

TEST_P(SoftDecoderClipTest, PicturesFollowFfmpeg) {
    const ClipCase &c = GetParam();
    std::vector<uint8_t> stream = ReadSample(c.clip);
    Reference ref = ReadReference(c.clip);
    ASSERT_FALSE(stream.empty());
    ASSERT_GT(ref.md5s.size(), 8u);

    DecoderPtr decoder = Create(ref.dwWidth, ref.dwHeight, c.flags);
    ASSERT_TRUE(decoder);
    Output out = DecodePieces(decoder.get(), stream, c.split);
    EXPECT_FALSE(out.bUnexpected);
    ASSERT_FALSE(out.md5s.empty());
    EXPECT_EQ(out.dwFourCC, uint32_t(VDEC_FOURCC_YV12));
    EXPECT_EQ(out.dwWidth, ref.dwWidth);
    EXPECT_EQ(out.dwHeight, ref.dwHeight); // 1080, not the coded 1088

    if (c.split == Split::kWhole) {
        // One frame holding everything gives one picture, the first; none
        // is dropped, the others wait for later calls or the drain.
        EXPECT_EQ(out.md5s.size(), 1u);
    } else {
        // Piece by piece: only the last few, held back by the core, wait.
        EXPECT_GE(out.md5s.size() + 8, ref.md5s.size());
    }
    // The drain hands out the rest: every picture, in the reference order.
    DrainAll(decoder.get(), out);
    EXPECT_FALSE(out.bUnexpected);
    ASSERT_EQ(out.md5s.size(), ref.md5s.size());
    for (size_t i = 0; i < out.md5s.size(); ++i)
        EXPECT_EQ(out.md5s[i], ref.md5s[i]) << "picture " << i;
    DecoderInfo info{};
    ASSERT_EQ(Vdec_GetDecoderInfo(decoder.get(), &info), VDEC_OK);
    EXPECT_EQ(info.dwPictureCount, out.md5s.size());
}

INSTANTIATE_TEST_SUITE_P(
    Clips, SoftDecoderClipTest,
    testing::Values(ClipCase{kHighCabac, Split::kWhole, 0}, ClipCase{kHighCabac, Split::kNalByNal, 0},
                    ClipCase{kHighCabac, Split::kBytes, 0}, ClipCase{kBaseline, Split::kWhole, 0},
                    ClipCase{kBaseline, Split::kNalByNal, 0}, ClipCase{kBaseline, Split::kBytes, 0},
                    ClipCase{k1080, Split::kWhole, 0}, ClipCase{k1080, Split::kNalByNal, 0},
                    ClipCase{k1080, Split::kBytes, 0},
                    ClipCase{kHighCabac, Split::kNalByNal, VDEC_FLAG_MULTITHREAD},
                    ClipCase{k1080, Split::kNalByNal, VDEC_FLAG_MULTITHREAD}),
    ClipCaseName);

// Half-height pictures come out at full height: even rows are the field's
// rows, odd rows the rounded-down average of their neighbours, the last row a
// copy of the one above. The expected pictures are built here from a core
// decoding the same frames in step, whose pictures are first checked against
// ffmpeg's.
std::vector<uint8_t> DoubleRows(const uint8_t *plane, int32_t stride, uint32_t width, uint32_t rows) {
    std::vector<uint8_t> out(size_t(width) * rows * 2);
    for (uint32_t i = 0; i < rows; ++i) {
        const uint8_t *row = plane + size_t(i) * stride;
        std::memcpy(&out[size_t(2 * i) * width], row, width);
        uint8_t *odd = &out[size_t(2 * i + 1) * width];
        if (i + 1 < rows) {
            const uint8_t *next = row + stride;
            for (uint32_t x = 0; x < width; ++x)
                odd[x] = uint8_t((row[x] + next[x]) / 2);
        } else {
            std::memcpy(odd, row, width);
        }
    }
    return out;
}

TEST(SoftDecoderTest, FieldStreamIsDoubled) {
    std::vector<uint8_t> stream = ReadSample(kField);
    Reference ref = ReadReference(kField);
    ASSERT_FALSE(stream.empty());
    ASSERT_EQ(ref.dwWidth, 704u);
    ASSERT_EQ(ref.dwHeight, 288u);
    const uint32_t w = 704, h = 288;

    DecoderPtr decoder = Create(w, h);
    ASSERT_TRUE(decoder);
    H264CoreParam coreParam{};
    coreParam.dwMaxMbWidth = 44;
    coreParam.dwMaxMbHeight = 18;
    coreParam.dwCount = H264_CORE_COUNT_SOFT_DECODER;
    coreParam.dwOptions = H264_CORE_OPT_BASE;
    H264CoreHandle core = H264Core_Create(&coreParam);
    ASSERT_TRUE(core);

    size_t corePictures = 0, compared = 0;
    for (auto [offset, size] : Pieces(stream, Split::kNalByNal)) {
        // The core's last picture of this frame, as the decoder would take it.
        std::vector<uint8_t> expected;
        H264CorePicture pic{};
        int32_t coreResult = H264Core_Decode(core, stream.data() + offset, uint32_t(size), 0, &pic, 0);
        while (coreResult == H264_CORE_OK) {
            ASSERT_LT(corePictures, ref.md5s.size());
            qvtest::CMd5 md5;
            for (uint32_t y = 0; y < h; ++y)
                md5.Update(pic.pY + size_t(y) * pic.nLumaStride, w);
            for (const uint8_t *plane : {pic.pU, pic.pV})
                for (uint32_t y = 0; y < h / 2; ++y)
                    md5.Update(plane + size_t(y) * pic.nChromaStride, w / 2);
            ASSERT_EQ(md5.Finish(), ref.md5s[corePictures]) << "core picture " << corePictures;
            ++corePictures;
            expected = DoubleRows(pic.pY, pic.nLumaStride, w, h);
            std::vector<uint8_t> v = DoubleRows(pic.pV, pic.nChromaStride, w / 2, h / 2);
            std::vector<uint8_t> u = DoubleRows(pic.pU, pic.nChromaStride, w / 2, h / 2);
            expected.insert(expected.end(), v.begin(), v.end()); // YV12: V before U
            expected.insert(expected.end(), u.begin(), u.end());
            coreResult = H264Core_Decode(core, nullptr, 0, 0, &pic, 0);
        }

        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        ASSERT_EQ(Vdec_Decode(decoder.get(), stream.data() + offset, uint32_t(size), &picture), VDEC_OK);
        ASSERT_EQ(picture.dwBufferSize, 704u * 576 * 3 / 2);
        std::vector<uint8_t> buffer(picture.dwBufferSize);
        picture.pBuffer = buffer.data();
        int32_t result = Vdec_Decode(decoder.get(), stream.data() + offset, uint32_t(size), &picture);
        if (expected.empty()) {
            EXPECT_EQ(result, VDEC_E_NO_PICTURE);
            continue;
        }
        ASSERT_EQ(result, VDEC_OK);
        EXPECT_EQ(picture.dwFourCC, uint32_t(VDEC_FOURCC_YV12));
        ASSERT_EQ(picture.dwWidth, 704u);
        ASSERT_EQ(picture.dwHeight, 576u);
        ASSERT_EQ(buffer.size(), expected.size());
        EXPECT_TRUE(buffer == expected) << "picture " << compared;
        ++compared;
    }
    H264Core_Destroy(core);
    EXPECT_GT(compared, 40u);
}

TEST(SoftDecoderTest, SizeQueryAndTwoCalls) {
    struct SizeCase {
        uint32_t width, height, needed;
    };
    // Field sizes report the doubled picture.
    const SizeCase cases[] = {{720, 288, 622080},    {704, 288, 608256}, {720, 240, 518400},
                              {704, 240, 506880},    {704, 576, 608256}, {352, 288, 152064},
                              {1920, 1080, 3110400}, {640, 288, 276480}, {720, 480, 518400}};
    const std::vector<uint8_t> stream = ReadSample(kBaseline);
    ASSERT_FALSE(stream.empty());
    for (const SizeCase &c : cases) {
        DecoderPtr decoder = Create(c.width, c.height);
        ASSERT_TRUE(decoder);
        uint8_t byte = 0;
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        // No buffer, or a size of 0: only the size, nothing decoded.
        EXPECT_EQ(Vdec_Decode(decoder.get(), stream.data(), uint32_t(stream.size()), &picture), VDEC_OK);
        EXPECT_EQ(picture.dwBufferSize, c.needed) << c.width << "x" << c.height;
        picture.pBuffer = &byte;
        picture.dwBufferSize = 0;
        EXPECT_EQ(Vdec_Decode(decoder.get(), stream.data(), uint32_t(stream.size()), &picture), VDEC_OK);
        EXPECT_EQ(picture.dwBufferSize, c.needed);
        EXPECT_EQ(byte, 0);
        // One byte short: the size needed, nothing written.
        std::vector<uint8_t> buffer(c.needed - 1, 0xA5);
        picture.pBuffer = buffer.data();
        picture.dwBufferSize = c.needed - 1;
        EXPECT_EQ(Vdec_Decode(decoder.get(), stream.data(), uint32_t(stream.size()), &picture),
                  VDEC_E_BUFFER_TOO_SMALL);
        EXPECT_EQ(picture.dwBufferSize, c.needed);
        EXPECT_EQ(buffer[0], 0xA5);
        DecoderInfo info{};
        ASSERT_EQ(Vdec_GetDecoderInfo(decoder.get(), &info), VDEC_OK);
        EXPECT_EQ(info.dwPictureCount, 0u) << "nothing decoded by the size checks";
    }
}

// Frames before the first picture give 0x8AB40022 and leave the buffer alone.
TEST(SoftDecoderTest, NoPictureLeavesBufferUntouched) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    auto pieces = Pieces(stream, Split::kNalByNal);
    ASSERT_GT(pieces.size(), 3u);
    DecoderPtr decoder = Create(352, 288);
    std::vector<uint8_t> buffer(352 * 288 * 3 / 2, 0x5A);
    DecodedPicture picture{};
    picture.dwSize = VDEC_PICTURE_SIZE;
    picture.pBuffer = buffer.data();
    picture.dwBufferSize = uint32_t(buffer.size());
    // The parameter sets alone make no picture.
    EXPECT_EQ(
        Vdec_Decode(decoder.get(), stream.data() + pieces[0].first, uint32_t(pieces[0].second), &picture),
        VDEC_E_NO_PICTURE);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), std::ptrdiff_t(buffer.size()));
    const uint8_t junk[] = {0x12, 0x34, 0x56};
    EXPECT_EQ(Vdec_Decode(decoder.get(), junk, sizeof junk, &picture), VDEC_E_NO_PICTURE);
}

// A picture larger than the decoder was made for is never handed out: the
// core already drops it (so no picture), and nothing reaches the buffer.
TEST(SoftDecoderTest, LargerPicturesAreNotHandedOut) {
    std::vector<uint8_t> stream = ReadSample(k1080);
    ASSERT_FALSE(stream.empty());
    DecoderPtr decoder = Create(1280, 720);
    ASSERT_TRUE(decoder);
    std::vector<uint8_t> buffer(1280 * 720 * 3 / 2 + 64, 0x77);
    int pictures = 0, refused = 0;
    for (auto [offset, size] : Pieces(stream, Split::kNalByNal)) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        picture.pBuffer = buffer.data();
        picture.dwBufferSize = 1280 * 720 * 3 / 2;
        int32_t result = Vdec_Decode(decoder.get(), stream.data() + offset, uint32_t(size), &picture);
        if (result == VDEC_OK)
            ++pictures;
        else if (result == VDEC_E_FAIL || result == VDEC_E_NO_PICTURE)
            ++refused;
        else
            ADD_FAILURE() << "result " << std::hex << result;
    }
    EXPECT_EQ(pictures, 0);
    EXPECT_GT(refused, 0);
    EXPECT_EQ(buffer.back(), 0x77);
}

// Neutral colour gives the core's bytes (checked by the clip tests); any
// other setting gives exactly the colour step applied to those bytes.
TEST(SoftDecoderTest, ColourSettingAppliesTheColourStep) {
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    ASSERT_FALSE(stream.empty());
    struct ColourCase {
        uint32_t b, c, s, h;
    };
    const ColourCase cases[] = {{100, 64, 64, 64}, {64, 20, 64, 64},  {64, 64, 127, 64},
                                {64, 64, 64, 0},   {10, 90, 30, 100}, {200, 300, 64, 64}};
    for (const ColourCase &cc : cases) {
        DecoderPtr plain = Create(704, 576);
        DecoderPtr coloured = Create(704, 576);
        PLAY_COLOR colour{PLAY_COLOR_SIZE, cc.b, cc.c, cc.s, cc.h, 0};
        ASSERT_EQ(Vdec_SetColor(coloured.get(), &colour), VDEC_OK);
        PLAY_COLOR back{};
        back.dwSize = 1234;
        ASSERT_EQ(coloured->GetColor(&back), VDEC_OK);
        EXPECT_EQ(back.dwSize, 1234u) << "size left as the caller set it";
        EXPECT_EQ(back.dwBrightness, std::min(cc.b, 127u));
        EXPECT_EQ(back.dwContrast, std::min(cc.c, 127u));
        ColorCoefficients coef = ComputeColorCoefficients(cc.b, cc.c, cc.s, cc.h);

        auto pieces = Pieces(stream, Split::kNalByNal);
        int compared = 0;
        for (size_t k = 0; k < pieces.size() && compared < 6; ++k) {
            auto [offset, size] = pieces[k];
            std::vector<uint8_t> a(704 * 576 * 3 / 2), b(a.size());
            DecodedPicture pa{VDEC_PICTURE_SIZE, 0, 0, 0, a.data(), uint32_t(a.size()), {0, 0}};
            DecodedPicture pb{VDEC_PICTURE_SIZE, 0, 0, 0, b.data(), uint32_t(b.size()), {0, 0}};
            int32_t ra = Vdec_Decode(plain.get(), stream.data() + offset, uint32_t(size), &pa);
            int32_t rb = Vdec_Decode(coloured.get(), stream.data() + offset, uint32_t(size), &pb);
            ASSERT_EQ(ra, rb);
            if (ra != VDEC_OK)
                continue;
            ASSERT_EQ(ColorAdjustPicture(a.data(), VDEC_FOURCC_YV12, 704, 576, coef), VDEC_OK);
            EXPECT_TRUE(a == b) << "picture " << compared;
            ++compared;
        }
        EXPECT_EQ(compared, 6);
    }
}

// Back to neutral: pictures byte-identical to a decoder never coloured.
TEST(SoftDecoderTest, NeutralAgainLeavesPicturesUnchanged) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    DecoderPtr plain = Create(352, 288);
    DecoderPtr other = Create(352, 288);
    PLAY_COLOR colour{PLAY_COLOR_SIZE, 10, 20, 30, 40, 0};
    ASSERT_EQ(Vdec_SetColor(other.get(), &colour), VDEC_OK);
    colour = PLAY_COLOR{PLAY_COLOR_SIZE, 64, 64, 64, 64, 0};
    ASSERT_EQ(Vdec_SetColor(other.get(), &colour), VDEC_OK);
    Output a = DecodePieces(plain.get(), stream, Split::kNalByNal);
    Output b = DecodePieces(other.get(), stream, Split::kNalByNal);
    ASSERT_FALSE(a.md5s.empty());
    EXPECT_EQ(a.md5s, b.md5s);
}

// ---- Statistics ----

int64_t g_nClock = 0;
int64_t g_nClockStep = 0;
int64_t StepClock() {
    g_nClock += g_nClockStep;
    return g_nClock;
}

class SpeedTest : public testing::Test {
protected:
    void SetUp() override {
        g_nClock = 0;
        g_nClockStep = 10000;
        VdecSetCounterForTesting(&StepClock, 1000000);
    }
    void TearDown() override { VdecSetCounterForTesting(nullptr, 0); }
};

// Each decode is timed by two readings one step apart: a step of 10000 us
// is 100 pictures per second.
TEST_F(SpeedTest, EstimateStartsAtFourPicturesAndAveragesEvery32) {
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    DecoderPtr decoder = Create(704, 576);
    DecoderInfo info{};
    uint32_t pictures = 0;
    std::vector<uint32_t> speeds;
    for (auto [offset, size] : Pieces(stream, Split::kNalByNal)) {
        std::vector<uint8_t> buffer(704 * 576 * 3 / 2);
        DecodedPicture picture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(buffer.size()), {0, 0}};
        if (Vdec_Decode(decoder.get(), stream.data() + offset, uint32_t(size), &picture) != VDEC_OK)
            continue;
        ++pictures;
        ASSERT_EQ(Vdec_GetDecoderInfo(decoder.get(), &info), VDEC_OK);
        speeds.push_back(info.dwSpeed);
        // From the fifth picture on, twice as fast.
        if (pictures == 4)
            g_nClockStep = 5000;
        if (pictures == 40)
            break;
    }
    ASSERT_EQ(pictures, 40u);
    EXPECT_EQ(speeds[0], 0u);
    EXPECT_EQ(speeds[2], 0u);
    EXPECT_EQ(speeds[3], 100u);  // 4 pictures in 40000 us
    EXPECT_EQ(speeds[30], 100u); // the window runs on without changing it
    // 32nd: (32 x 1000000 / (4 x 10000 + 28 x 5000) + 100) / 2 = (177 + 100) / 2
    EXPECT_EQ(speeds[31], 138u);
    // The window restarted: 8 pictures at 5000 us make no new average yet.
    EXPECT_EQ(speeds[39], 138u);
    EXPECT_EQ(info.dwPictureCount, 40u);
    EXPECT_EQ(info.ullDecodeTime, 4u * 10000 + 36u * 5000);
    EXPECT_EQ(info.dwSize, VDEC_INFO_SIZE);
    EXPECT_EQ(info.dwDecoderKind, uint32_t(VDEC_KIND_SOFT_H264));
}

TEST(SoftDecoderTest, OpenSetsKindAndThreads) {
    CCodecSoftH264 codec;
    DecoderInfo info{};
    codec.GetDecoderInfo(&info);
    EXPECT_EQ(info.dwDecoderKind, uint32_t(VDEC_KIND_NONE));
    VideoDecoderParam param = MakeParam(VDEC_CODEC_H264, 352, 288, 0);
    ASSERT_EQ(codec.Open(&param), VDEC_OK);
    codec.GetDecoderInfo(&info);
    EXPECT_EQ(info.dwSize, VDEC_INFO_SIZE);
    EXPECT_EQ(info.dwDecoderKind, uint32_t(VDEC_KIND_SOFT_H264));
    EXPECT_EQ(info.dwThreadCount, 1u);
    EXPECT_EQ(info.dwPictureCount, 0u);
    PLAY_COLOR colour{};
    codec.GetColor(&colour);
    EXPECT_EQ(colour.dwBrightness, 64u);
    EXPECT_EQ(colour.dwHue, 64u);

    CCodecSoftH264 threaded;
    param.dwFlags = VDEC_FLAG_MULTITHREAD;
    ASSERT_EQ(threaded.Open(&param), VDEC_OK);
    threaded.GetDecoderInfo(&info);
    EXPECT_EQ(info.dwThreadCount, platform::ProcessorCount());

    // Closed: zeroed, and decoding needs a new Open.
    codec.Close();
    codec.GetDecoderInfo(&info);
    EXPECT_EQ(info.dwSize, 0u);
    EXPECT_EQ(info.dwDecoderKind, 0u);
}

} // namespace

// Whole frames, one per call (as the player hands them over): each call
// gives its own frame's picture, and the pictures are ffmpeg's.
TEST(SoftH264WholeFrames, EachFrameGivesItsOwnPicture) {
    const std::vector<uint8_t> stream = ReadSample(kBaseline);
    const Reference ref = ReadReference(kBaseline);
    const auto units = AccessUnits(stream);
    ASSERT_EQ(units.size(), ref.md5s.size());
    for (bool whole : {false, true}) {
        DecoderPtr decoder = Create(352, 288);
        ASSERT_TRUE(decoder);
        ASSERT_EQ(Vdec_SetWholeFrames(decoder.get(), whole), VDEC_OK);
        std::vector<std::string> md5s;
        size_t missing = 0;
        for (const auto &unit : units) {
            DecodedPicture picture{};
            picture.dwSize = VDEC_PICTURE_SIZE;
            ASSERT_EQ(Vdec_Decode(decoder.get(), unit.data(), uint32_t(unit.size()), &picture), VDEC_OK);
            std::vector<uint8_t> buffer(picture.dwBufferSize);
            picture.pBuffer = buffer.data();
            const int32_t result = Vdec_Decode(decoder.get(), unit.data(), uint32_t(unit.size()), &picture);
            if (result == VDEC_E_NO_PICTURE) {
                ++missing;
                continue;
            }
            ASSERT_EQ(result, VDEC_OK);
            md5s.push_back(PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight));
        }
        if (whole) {
            EXPECT_EQ(missing, 0u);
            EXPECT_EQ(md5s, ref.md5s);
        } else {
            // Without the promise the parser waits for the next frame's start:
            // the last picture is still inside.
            EXPECT_EQ(missing, 1u);
            ASSERT_EQ(md5s.size(), ref.md5s.size() - 1);
            EXPECT_TRUE(std::equal(md5s.begin(), md5s.end(), ref.md5s.begin()));
        }
    }
    EXPECT_EQ(Vdec_SetWholeFrames(nullptr, true), VDEC_E_INVALID_OBJECT);
}

// ---- Tagged decoding and the drain ----

namespace {

struct TaggedCase {
    const char *clip;
    Feed feed;
    uint32_t flags;
    uint32_t width = 0, height = 0; // created; 0: the clip's display size
};

std::string TaggedCaseName(const testing::TestParamInfo<TaggedCase> &info) {
    std::string name = info.param.clip;
    name = name.substr(0, name.find('.')) + "_" + FeedName(info.param.feed);
    if (info.param.flags & VDEC_FLAG_MULTITHREAD)
        name += "_Threads";
    return name;
}

class SoftTaggedTest : public testing::TestWithParam<TaggedCase> {};

// Each picture leaves with the tag of its own frame, in ffmpeg's order and
// at the stream's display size; the drain gives the last ones. The same
// decoder then takes the clip again as a new stream, with other tags.
TEST_P(SoftTaggedTest, EveryPictureWithItsFramesTag) {
    const TaggedCase &c = GetParam();
    const std::vector<uint8_t> stream = ReadSample(c.clip);
    const Reference ref = ReadReference(c.clip);
    const auto units = AccessUnits(stream);
    ASSERT_FALSE(units.empty());
    ASSERT_EQ(units.size(), ref.md5s.size());
    const std::vector<size_t> order = DisplayOrder(units);
    ASSERT_EQ(order.size(), units.size());
    const bool field = ref.dwWidth == 704 && ref.dwHeight == 288;

    DecoderPtr decoder = Create(c.width ? c.width : ref.dwWidth, c.height ? c.height : ref.dwHeight, c.flags);
    ASSERT_TRUE(decoder);
    size_t pictures = 0;
    for (uint64_t base : {0x8000000000000000ull, 0x00000001FFFFFFF0ull}) {
        SCOPED_TRACE(testing::Message() << "tags from " << std::hex << base);
        TaggedRun run = DecodeTaggedClip(decoder.get(), units, c.feed, base, field ? 2 : 1);
        ExpectTaggedRun(run, ref, order, base);
        EXPECT_EQ(run.dwFourCC, uint32_t(VDEC_FOURCC_YV12));
        EXPECT_EQ(run.dwWidth, ref.dwWidth);
        EXPECT_EQ(run.dwHeight, field ? ref.dwHeight * 2 : ref.dwHeight);
        // B frames or the parser keep at least the last picture for the drain.
        EXPECT_GE(run.drained, 1u);
        pictures += run.md5s.size();
    }
    DecoderInfo info{};
    ASSERT_EQ(Vdec_GetDecoderInfo(decoder.get(), &info), VDEC_OK);
    EXPECT_EQ(info.dwPictureCount, pictures) << "drained pictures count too";
}

std::vector<TaggedCase> SoftTaggedCases() {
    std::vector<TaggedCase> cases;
    for (const char *clip : {kGop50, kHighCabac, k360, k540, k1944, kField}) {
        for (Feed feed : {Feed::kWholeFrames, Feed::kUnits, Feed::kNals})
            cases.push_back({clip, feed, 0});
        for (Feed feed : {Feed::kWholeFrames, Feed::kNals})
            cases.push_back({clip, feed, VDEC_FLAG_MULTITHREAD});
    }
    // The coded picture (736 x 384) must fit the decoder's macroblocks; the
    // picture shown is the window.
    cases.push_back({kWindow, Feed::kWholeFrames, 0, 736, 384});
    cases.push_back({kWindow, Feed::kNals, VDEC_FLAG_MULTITHREAD, 736, 384});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Clips, SoftTaggedTest, testing::ValuesIn(SoftTaggedCases()), TaggedCaseName);

// The picture is the stream's display window, whatever the coded size; one
// that does not fit the size the decoder was made for fails (nothing
// written). A coded size beyond the decoder's macroblocks never gets that far.
TEST(SoftDecoderTest, DisplaySizeAndItsLimit) {
    struct Case {
        const char *clip;
        uint32_t width, height; // created
        int32_t expected;       // of every call that has a picture
    };
    const Case cases[] = {
        {k360, 640, 360, VDEC_OK},
        {k540, 960, 540, VDEC_OK},
        {k1944, 2592, 1944, VDEC_OK},
        {k1080, 1920, 1080, VDEC_OK},
        {k360, 704, 576, VDEC_OK},              // a smaller picture fits
        {kWindow, 736, 384, VDEC_OK},           // the window of a larger coded picture
        {kWindow, 640, 360, VDEC_E_NO_PICTURE}, // whose coded size exceeds the core
        {k360, 640, 359, VDEC_E_FAIL},          // coded 368 fits the core, 360 rows do not fit
        {k360, 630, 360, VDEC_E_FAIL},
        {k540, 960, 530, VDEC_E_FAIL},
        {k1080, 1920, 1079, VDEC_E_FAIL},
        {k1944, 2590, 1944, VDEC_E_FAIL},
        {k360, 640, 352, VDEC_E_NO_PICTURE}, // 368 coded rows exceed the core
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.clip << " in " << c.width << "x" << c.height);
        const std::vector<uint8_t> stream = ReadSample(c.clip);
        const Reference ref = ReadReference(c.clip);
        const auto units = AccessUnits(stream);
        ASSERT_EQ(units.size(), ref.md5s.size());
        DecoderPtr decoder = Create(c.width, c.height);
        ASSERT_TRUE(decoder);
        ASSERT_EQ(Vdec_SetWholeFrames(decoder.get(), true), VDEC_OK);
        ExpectSizeCase(decoder.get(), units, ref, c.width, c.height, c.expected);
    }
}

} // namespace
