// The H.264 core against ffmpeg's own decoding of the committed clips: every
// picture, in order, must match the frame checksums ffmpeg wrote (display
// size, Y then U then V packed), however the stream is cut into calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "md5.h"
#include "vdec/h264core.h"
#include "vdectest.h"

namespace {

using vdectest::k1080;
using vdectest::kBaseline;
using vdectest::kField;
using vdectest::kHighCabac;
using vdectest::ReadReference;
using vdectest::ReadSample;
using vdectest::Reference;

std::string SamplePath(const std::string &name) {
    return vdectest::HostPath(std::string(QV_SAMPLES_DIR) + "/" + name);
}

// MD5 of the picture cropped to width x height, planes packed as yuv420p.
std::string CroppedMd5(const H264CorePicture &pic, uint32_t width, uint32_t height) {
    qvtest::CMd5 md5;
    for (uint32_t y = 0; y < height; ++y)
        md5.Update(pic.pY + size_t(y) * pic.nLumaStride, width);
    for (const uint8_t *plane : {pic.pU, pic.pV})
        for (uint32_t y = 0; y < (height + 1) / 2; ++y)
            md5.Update(plane + size_t(y) * pic.nChromaStride, (width + 1) / 2);
    return md5.Finish();
}

H264CoreParam MakeParam(uint32_t mbWidth, uint32_t mbHeight, uint32_t options) {
    H264CoreParam param{};
    param.dwMaxMbWidth = mbWidth;
    param.dwMaxMbHeight = mbHeight;
    param.dwCount = H264_CORE_COUNT_SOFT_DECODER;
    param.dwOptions = H264_CORE_OPT_BASE | options;
    return param;
}

struct CoreDeleter {
    void operator()(void *core) const { H264Core_Destroy(core); }
};
using CorePtr = std::unique_ptr<void, CoreDeleter>;

enum class Split { kWhole, kNalByNal, kBytes };

const char *SplitName(Split split) {
    switch (split) {
    case Split::kWhole:
        return "Whole";
    case Split::kNalByNal:
        return "NalByNal";
    case Split::kBytes:
        return "Bytes";
    }
    return "?";
}

// Cuts the stream into pieces: one, one per NAL unit (each piece starts at
// its start code), or single bytes.
std::vector<std::pair<size_t, size_t>> Pieces(const std::vector<uint8_t> &stream, Split split) {
    std::vector<std::pair<size_t, size_t>> pieces;
    if (split == Split::kWhole) {
        pieces.push_back({0, stream.size()});
    } else if (split == Split::kBytes) {
        for (size_t i = 0; i < stream.size(); ++i)
            pieces.push_back({i, 1});
    } else {
        std::vector<size_t> starts;
        for (size_t i = 0; i + 3 <= stream.size(); ++i) {
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
                // A four-byte start code begins one byte earlier.
                starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
                i += 2;
            }
        }
        if (starts.empty() || starts[0] != 0)
            starts.insert(starts.begin(), 0);
        for (size_t k = 0; k < starts.size(); ++k) {
            size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
            pieces.push_back({starts[k], end - starts[k]});
        }
    }
    return pieces;
}

struct Decoded {
    std::vector<std::string> md5s;
    std::vector<std::pair<uint32_t, uint32_t>> sizes; // reported (coded) sizes
    bool badPicture = false;                          // a picture with missing planes or strides
};

void Take(const H264CorePicture &pic, const Reference &ref, Decoded &out) {
    if (!pic.pY || !pic.pU || !pic.pV || pic.nLumaStride < int32_t(pic.dwWidth) ||
        pic.nChromaStride < int32_t(pic.dwWidth / 2) || pic.dwWidth < ref.dwWidth ||
        pic.dwHeight < ref.dwHeight) {
        out.badPicture = true;
        return;
    }
    out.sizes.push_back({pic.dwWidth, pic.dwHeight});
    out.md5s.push_back(CroppedMd5(pic, ref.dwWidth, ref.dwHeight));
}

// The calling order of the software decoder: each piece, then empty calls
// until no picture is left; at the end the end-of-stream flag until no
// picture is left.
Decoded DecodeStream(void *core, const std::vector<uint8_t> &stream, Split split, const Reference &ref) {
    Decoded out;
    H264CorePicture pic{};
    for (auto [offset, size] : Pieces(stream, split)) {
        int32_t result = H264Core_Decode(core, stream.data() + offset, uint32_t(size), 0, &pic, 0);
        while (result == H264_CORE_OK) {
            Take(pic, ref, out);
            result = H264Core_Decode(core, nullptr, 0, 0, &pic, 0);
        }
        EXPECT_EQ(result, H264_CORE_NO_PICTURE);
    }
    int32_t result;
    while ((result = H264Core_Decode(core, nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM)) ==
           H264_CORE_OK)
        Take(pic, ref, out);
    EXPECT_EQ(result, H264_CORE_NO_PICTURE);
    return out;
}

uint32_t Align16(uint32_t value) {
    return (value + 15) & ~15u;
}

struct ClipCase {
    const char *clip;
    Split split;
    uint32_t options;
};

std::string ClipCaseName(const testing::TestParamInfo<ClipCase> &info) {
    std::string name = info.param.clip;
    name = name.substr(0, name.find('.'));
    name += std::string("_") + SplitName(info.param.split);
    if (info.param.options & H264_CORE_OPT_MULTITHREAD)
        name += "_Threads";
    return name;
}

class H264CoreClipTest : public testing::TestWithParam<ClipCase> {};

TEST_P(H264CoreClipTest, MatchesFfmpegFrameByFrame) {
    const ClipCase &c = GetParam();
    std::vector<uint8_t> stream = ReadSample(c.clip);
    Reference ref = ReadReference(c.clip);
    ASSERT_FALSE(stream.empty()) << SamplePath(c.clip);
    ASSERT_FALSE(ref.md5s.empty());
    ASSERT_GT(ref.dwWidth, 0u);

    H264CoreParam param = MakeParam(H264_CORE_MB_WIDTH_DEFAULT, H264_CORE_MB_HEIGHT_DEFAULT, c.options);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    Decoded out = DecodeStream(core.get(), stream, c.split, ref);

    EXPECT_FALSE(out.badPicture);
    ASSERT_EQ(out.md5s.size(), ref.md5s.size());
    for (size_t i = 0; i < ref.md5s.size(); ++i)
        EXPECT_EQ(out.md5s[i], ref.md5s[i]) << "picture " << i;
    // Pictures come at the coded size: whole macroblocks.
    for (auto [w, h] : out.sizes) {
        EXPECT_EQ(w, Align16(ref.dwWidth));
        EXPECT_EQ(h, Align16(ref.dwHeight));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clips, H264CoreClipTest,
    testing::Values(ClipCase{kHighCabac, Split::kWhole, 0}, ClipCase{kHighCabac, Split::kNalByNal, 0},
                    ClipCase{kHighCabac, Split::kBytes, 0}, ClipCase{kBaseline, Split::kWhole, 0},
                    ClipCase{kBaseline, Split::kNalByNal, 0}, ClipCase{kBaseline, Split::kBytes, 0},
                    ClipCase{k1080, Split::kWhole, 0}, ClipCase{k1080, Split::kNalByNal, 0},
                    ClipCase{k1080, Split::kBytes, 0}, ClipCase{kField, Split::kWhole, 0},
                    ClipCase{kField, Split::kNalByNal, 0},
                    // Four decoding threads give the same pictures in the same order.
                    ClipCase{kHighCabac, Split::kWhole, H264_CORE_OPT_MULTITHREAD},
                    ClipCase{kHighCabac, Split::kNalByNal, H264_CORE_OPT_MULTITHREAD},
                    ClipCase{kBaseline, Split::kBytes, H264_CORE_OPT_MULTITHREAD},
                    ClipCase{k1080, Split::kNalByNal, H264_CORE_OPT_MULTITHREAD}),
    ClipCaseName);

TEST(H264CoreTest, Picture1080IsCoded1088) {
    std::vector<uint8_t> stream = ReadSample(k1080);
    ASSERT_FALSE(stream.empty());
    H264CoreParam param = MakeParam(120, 68, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    H264CorePicture pic{};
    int32_t result = H264Core_Decode(core.get(), stream.data(), uint32_t(stream.size()), 0, &pic, 0);
    if (result != H264_CORE_OK)
        result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM);
    ASSERT_EQ(result, H264_CORE_OK);
    EXPECT_EQ(pic.dwWidth, 1920u);
    EXPECT_EQ(pic.dwHeight, 1088u);
    EXPECT_GE(pic.nLumaStride, 1920);
    EXPECT_GE(pic.nChromaStride, 960);
    // The rows below 1080 are really there: reading the last row of every
    // plane must be within the picture (checked under the address sanitizer)
    // and the three planes must not overlap.
    const uint8_t *lastY = pic.pY + size_t(1087) * pic.nLumaStride;
    const uint8_t *lastU = pic.pU + size_t(543) * pic.nChromaStride;
    const uint8_t *lastV = pic.pV + size_t(543) * pic.nChromaStride;
    uint32_t sum = 0;
    for (int x = 0; x < 1920; ++x)
        sum += lastY[x];
    for (int x = 0; x < 960; ++x)
        sum += lastU[x] + lastV[x];
    EXPECT_GT(sum, 0u);
    EXPECT_TRUE(pic.pU >= lastY + 1920 || pic.pY >= lastU + 960);
    EXPECT_TRUE(pic.pV >= lastU + 960 || pic.pU >= lastV + 960);
}

TEST(H264CoreTest, NullArgumentsGiveMinusThree) {
    EXPECT_EQ(H264Core_Create(nullptr), nullptr);
    H264Core_Destroy(nullptr); // ignored

    uint8_t byte = 0;
    H264CorePicture pic{};
    pic.pY = pic.pU = pic.pV = &byte;
    EXPECT_EQ(H264Core_Decode(nullptr, &byte, 1, 0, &pic, 0), H264_CORE_E_NULL);
    EXPECT_EQ(pic.pY, nullptr);
    EXPECT_EQ(pic.pU, nullptr);
    EXPECT_EQ(pic.pV, nullptr);

    H264CoreParam param = MakeParam(0, 0, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    EXPECT_EQ(H264Core_Decode(core.get(), &byte, 1, 0, nullptr, 0), H264_CORE_E_NULL);
    EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, nullptr, H264_CORE_DECODE_END_OF_STREAM),
              H264_CORE_E_NULL);
}

TEST(H264CoreTest, PlanesZeroedWhenNoPicture) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    ASSERT_FALSE(stream.empty());
    H264CoreParam param = MakeParam(22, 18, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    H264CorePicture pic{};
    // Nothing decoded yet: no picture, and stale pointers are cleared.
    uint8_t byte = 0;
    pic.pY = pic.pU = pic.pV = &byte;
    EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0), H264_CORE_NO_PICTURE);
    EXPECT_EQ(pic.pY, nullptr);
    EXPECT_EQ(pic.pU, nullptr);
    EXPECT_EQ(pic.pV, nullptr);

    int32_t result = H264Core_Decode(core.get(), stream.data(), uint32_t(stream.size()), 0, &pic, 0);
    ASSERT_EQ(result, H264_CORE_OK);
    ASSERT_NE(pic.pY, nullptr);
    while ((result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0)) == H264_CORE_OK)
        ASSERT_NE(pic.pY, nullptr);
    EXPECT_EQ(result, H264_CORE_NO_PICTURE);
    EXPECT_EQ(pic.pY, nullptr);
    EXPECT_EQ(pic.pU, nullptr);
    EXPECT_EQ(pic.pV, nullptr);
}

// Size words outside their ranges mean 120 x 68 macroblocks, which takes a
// 1080-line stream; the bounds themselves are accepted as given.
TEST(H264CoreTest, SizeWordsOutOfRangeMean1920x1088) {
    std::vector<uint8_t> stream = ReadSample(k1080);
    Reference ref = ReadReference(k1080);
    ASSERT_FALSE(stream.empty());
    struct {
        uint32_t mbWidth, mbHeight;
    } const cases[] = {{0, 0}, {1, 5}, {353, 257}, {0xFFFFFFFFu, 0x80000000u}, {120, 68}, {352, 256}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.mbWidth << " x " << c.mbHeight);
        H264CoreParam param = MakeParam(c.mbWidth, c.mbHeight, 0);
        CorePtr core(H264Core_Create(&param));
        ASSERT_TRUE(core);
        Decoded out = DecodeStream(core.get(), stream, Split::kWhole, ref);
        EXPECT_EQ(out.md5s, ref.md5s);
    }
}

// A picture larger than the instance allows is never handed out.
TEST(H264CoreTest, PicturesBeyondTheLimitGiveNoPicture) {
    struct {
        const char *clip;
        uint32_t mbWidth, mbHeight;
    } const cases[] = {
        {k1080, 119, 68}, // one column short
        {k1080, 120, 67}, // one row short: 1080 lines are coded as 1088
        {kHighCabac, 43, 36}, {kHighCabac, 44, 35},
        {kBaseline, 21, 18},  {kBaseline, 2, 6}, // the smallest instance
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.clip << " in " << c.mbWidth << " x " << c.mbHeight);
        std::vector<uint8_t> stream = ReadSample(c.clip);
        Reference ref = ReadReference(c.clip);
        ASSERT_FALSE(stream.empty());
        H264CoreParam param = MakeParam(c.mbWidth, c.mbHeight, 0);
        CorePtr core(H264Core_Create(&param));
        ASSERT_TRUE(core);
        Decoded out = DecodeStream(core.get(), stream, Split::kNalByNal, ref);
        EXPECT_TRUE(out.md5s.empty());
        EXPECT_FALSE(out.badPicture);
    }
    // Exactly the size fits.
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    Reference ref = ReadReference(kBaseline);
    H264CoreParam param = MakeParam(22, 18, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    EXPECT_EQ(DecodeStream(core.get(), stream, Split::kWhole, ref).md5s, ref.md5s);
}

// After the end-of-stream drain the instance takes a stream again, from its
// first picture on; a different clip too.
TEST(H264CoreTest, DecodesAgainAfterEndOfStream) {
    for (uint32_t options : {0u, H264_CORE_OPT_MULTITHREAD}) {
        SCOPED_TRACE(options);
        H264CoreParam param = MakeParam(0, 0, options);
        CorePtr core(H264Core_Create(&param));
        ASSERT_TRUE(core);
        for (const char *clip : {kHighCabac, kHighCabac, kField}) {
            SCOPED_TRACE(clip);
            std::vector<uint8_t> stream = ReadSample(clip);
            Reference ref = ReadReference(clip);
            ASSERT_FALSE(stream.empty());
            EXPECT_EQ(DecodeStream(core.get(), stream, Split::kNalByNal, ref).md5s, ref.md5s);
        }
    }
}

// Data and the end-of-stream flag in one call: the last access unit is
// ended by the flag, and every picture still comes out.
TEST(H264CoreTest, EndOfStreamWithDataInTheSameCall) {
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    Reference ref = ReadReference(kHighCabac);
    ASSERT_FALSE(stream.empty());
    H264CoreParam param = MakeParam(0, 0, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    Decoded out;
    H264CorePicture pic{};
    int32_t result = H264Core_Decode(core.get(), stream.data(), uint32_t(stream.size()), 0, &pic,
                                     H264_CORE_DECODE_END_OF_STREAM);
    while (result == H264_CORE_OK) {
        Take(pic, ref, out);
        result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM);
    }
    EXPECT_EQ(result, H264_CORE_NO_PICTURE);
    EXPECT_EQ(out.md5s, ref.md5s);
    // Drained: nothing more, with or without the flag.
    EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0), H264_CORE_NO_PICTURE);
    EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM),
              H264_CORE_NO_PICTURE);
}

// Without the end-of-stream flag the last access unit has no following start
// code, so it (and what waits for reordering) stays held until the flag.
TEST(H264CoreTest, LastPicturesWaitForTheEndOfStream) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    Reference ref = ReadReference(kBaseline);
    ASSERT_FALSE(stream.empty());
    H264CoreParam param = MakeParam(0, 0, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    Decoded out;
    H264CorePicture pic{};
    int32_t result = H264Core_Decode(core.get(), stream.data(), uint32_t(stream.size()), 0, &pic, 0);
    while (result == H264_CORE_OK) {
        Take(pic, ref, out);
        result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0);
    }
    ASSERT_LT(out.md5s.size(), ref.md5s.size());
    size_t before = out.md5s.size();
    while (H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM) == H264_CORE_OK)
        Take(pic, ref, out);
    EXPECT_GT(out.md5s.size(), before);
    EXPECT_EQ(out.md5s, ref.md5s);
}

// Bytes that carry no start code before the stream are skipped; damaged
// access units never crash the core or give a picture with missing planes.
TEST(H264CoreTest, DamagedInputIsSurvived) {
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    Reference ref = ReadReference(kHighCabac);
    ASSERT_FALSE(stream.empty());
    std::vector<uint8_t> damaged = stream;
    uint32_t seed = 12345;
    for (size_t i = 200; i < damaged.size(); i += 97) {
        seed = seed * 1103515245u + 12345u;
        damaged[i] ^= uint8_t(seed >> 16);
    }
    H264CoreParam param = MakeParam(0, 0, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    Decoded out = DecodeStream(core.get(), damaged, Split::kNalByNal, ref);
    EXPECT_FALSE(out.badPicture);
    EXPECT_LE(out.md5s.size(), ref.md5s.size() + 2);
    // The same instance then decodes the intact stream exactly.
    EXPECT_EQ(DecodeStream(core.get(), stream, Split::kWhole, ref).md5s, ref.md5s);
}

// Four frame threads hold pictures back while the next frames decode: the
// first picture of a stream without reordering comes several access units
// later than from a single-threaded instance, and then all match.
TEST(H264CoreTest, MultithreadedInstanceDecodesAhead) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    Reference ref = ReadReference(kBaseline);
    ASSERT_FALSE(stream.empty());
    size_t firstPictureAt[2] = {0, 0};
    for (int threaded = 0; threaded < 2; ++threaded) {
        H264CoreParam param = MakeParam(0, 0, threaded ? H264_CORE_OPT_MULTITHREAD : 0);
        CorePtr core(H264Core_Create(&param));
        ASSERT_TRUE(core);
        auto pieces = Pieces(stream, Split::kNalByNal);
        H264CorePicture pic{};
        for (size_t i = 0; i < pieces.size() && !firstPictureAt[threaded]; ++i) {
            if (H264Core_Decode(core.get(), stream.data() + pieces[i].first, uint32_t(pieces[i].second), 0,
                                &pic, 0) == H264_CORE_OK)
                firstPictureAt[threaded] = i;
        }
        ASSERT_GT(firstPictureAt[threaded], 0u);
        Decoded out;
        Take(pic, ref, out);
        ASSERT_FALSE(out.md5s.empty());
        EXPECT_EQ(out.md5s[0], ref.md5s[0]);
    }
    // One NAL unit per picture after the parameter sets: three more pictures
    // in flight.
    EXPECT_GE(firstPictureAt[1], firstPictureAt[0] + H264_CORE_WORKER_THREADS - 1);
}

} // namespace

// Whole access units skip the parser: without reordering or threads each
// picture comes out of the call that brought its unit, not one unit later.
TEST(H264CoreTest, WholeUnitsComeOutAtOnce) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    Reference ref = ReadReference(kBaseline);
    const auto units = vdectest::AccessUnits(stream);
    ASSERT_EQ(units.size(), ref.md5s.size());
    H264CoreParam param = MakeParam(0, 0, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    Decoded out;
    H264CorePicture pic{};
    for (size_t i = 0; i < units.size(); ++i) {
        ASSERT_EQ(H264Core_Decode(core.get(), units[i].data(), uint32_t(units[i].size()), 0, &pic,
                                  H264_CORE_DECODE_WHOLE_UNIT),
                  H264_CORE_OK)
            << "unit " << i;
        Take(pic, ref, out);
        EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0), H264_CORE_NO_PICTURE);
    }
    EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM),
              H264_CORE_NO_PICTURE);
    EXPECT_EQ(out.md5s, ref.md5s);
}

// Bytes the parser still holds are decoded before a whole unit that follows
// them; reordering streams keep their order and every picture.
TEST(H264CoreTest, WholeUnitsAfterParsedBytes) {
    for (const char *clip : {kBaseline, kHighCabac}) {
        std::vector<uint8_t> stream = ReadSample(clip);
        Reference ref = ReadReference(clip);
        const auto units = vdectest::AccessUnits(stream);
        ASSERT_EQ(units.size(), ref.md5s.size()) << clip;
        H264CoreParam param = MakeParam(0, 0, 0);
        CorePtr core(H264Core_Create(&param));
        ASSERT_TRUE(core);
        Decoded out;
        H264CorePicture pic{};
        auto drain = [&](int32_t result) {
            while (result == H264_CORE_OK) {
                Take(pic, ref, out);
                result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0);
            }
        };
        for (size_t i = 0; i < units.size(); ++i) {
            if (i < 7) { // the first units byte by byte through the parser
                for (uint8_t byte : units[i])
                    drain(H264Core_Decode(core.get(), &byte, 1, 0, &pic, 0));
            } else {
                drain(H264Core_Decode(core.get(), units[i].data(), uint32_t(units[i].size()), 0, &pic,
                                      H264_CORE_DECODE_WHOLE_UNIT));
            }
        }
        int32_t result;
        while ((result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM)) ==
               H264_CORE_OK)
            Take(pic, ref, out);
        EXPECT_FALSE(out.badPicture);
        EXPECT_EQ(out.md5s, ref.md5s) << clip;
    }
}

// Each picture carries the user value given with its access unit, however
// the stream reorders, and the display window its cropping leaves of the
// coded picture. Bytes of several units in one call all carry that call's
// value.
TEST(H264CoreTest, PicturesCarryTheirUnitsUserValueAndDisplayWindow) {
    struct Case {
        const char *clip;
        uint32_t codedWidth, codedHeight;
    };
    const Case cases[] = {{vdectest::k360, 640, 368},
                          {vdectest::k540, 960, 544},
                          {vdectest::kGop50, 1920, 1088},
                          {kHighCabac, 704, 576}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.clip);
        const std::vector<uint8_t> stream = ReadSample(c.clip);
        const Reference ref = ReadReference(c.clip);
        const auto units = vdectest::AccessUnits(stream);
        const std::vector<size_t> order = vdectest::DisplayOrder(units);
        ASSERT_EQ(order.size(), ref.md5s.size());
        for (uint32_t options : {0u, H264_CORE_OPT_MULTITHREAD}) {
            H264CoreParam param = MakeParam(0, 0, options);
            CorePtr core(H264Core_Create(&param));
            ASSERT_TRUE(core);
            std::vector<uint64_t> users;
            Decoded out;
            H264CorePicture pic{};
            auto take = [&](int32_t result) {
                if (result != H264_CORE_OK)
                    return false;
                users.push_back(uint64_t(pic.info.dwUserHigh) << 32 | pic.info.dwUserLow);
                EXPECT_EQ(pic.dwWidth, c.codedWidth);
                EXPECT_EQ(pic.dwHeight, c.codedHeight);
                EXPECT_EQ(pic.info.dwCropLeft, 0u);
                EXPECT_EQ(pic.info.dwCropTop, 0u);
                EXPECT_EQ(pic.info.dwDisplayWidth, ref.dwWidth);
                EXPECT_EQ(pic.info.dwDisplayHeight, ref.dwHeight);
                Take(pic, ref, out);
                return true;
            };
            for (size_t i = 0; i < units.size(); ++i) {
                take(H264Core_Decode(core.get(), units[i].data(), uint32_t(units[i].size()),
                                     vdectest::FrameTag(0x8000000000000000ull, i), &pic,
                                     H264_CORE_DECODE_WHOLE_UNIT));
                while (take(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0)))
                    ;
            }
            while (take(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM)))
                ;
            EXPECT_EQ(out.md5s, ref.md5s);
            std::vector<uint64_t> expected;
            for (size_t frame : order)
                expected.push_back(vdectest::FrameTag(0x8000000000000000ull, frame));
            EXPECT_EQ(users, expected) << "options " << options;

            // The whole clip in one call: one value for all.
            users.clear();
            out = Decoded{};
            take(H264Core_Decode(core.get(), stream.data(), uint32_t(stream.size()), 42, &pic, 0));
            while (take(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM)))
                ;
            EXPECT_EQ(out.md5s, ref.md5s);
            EXPECT_EQ(users, std::vector<uint64_t>(ref.md5s.size(), 42u));
        }
    }
}

// A call that ends an access unit hands it to the decoder at once, even when
// the call brought several: no picture waits for the next unit's start.
TEST(H264CoreTest, EndOfUnitCompletesTheLastUnitOfTheCall) {
    const std::vector<uint8_t> stream = ReadSample(kBaseline);
    const Reference ref = ReadReference(kBaseline);
    const auto units = vdectest::AccessUnits(stream);
    ASSERT_EQ(units.size(), ref.md5s.size());
    H264CoreParam param = MakeParam(0, 0, 0);
    CorePtr core(H264Core_Create(&param));
    ASSERT_TRUE(core);
    Decoded out;
    H264CorePicture pic{};
    // Two units per call, then one: each call's last picture comes out with it.
    for (size_t i = 0; i < units.size();) {
        std::vector<uint8_t> bytes = units[i];
        size_t count = 1;
        if (i % 3 == 0 && i + 1 < units.size()) {
            bytes.insert(bytes.end(), units[i + 1].begin(), units[i + 1].end());
            count = 2;
        }
        int32_t result = H264Core_Decode(core.get(), bytes.data(), uint32_t(bytes.size()), i, &pic,
                                         H264_CORE_DECODE_END_OF_UNIT);
        while (result == H264_CORE_OK) {
            Take(pic, ref, out);
            result = H264Core_Decode(core.get(), nullptr, 0, 0, &pic, 0);
        }
        i += count;
        EXPECT_EQ(out.md5s.size(), i) << "after unit " << i - 1;
    }
    EXPECT_EQ(H264Core_Decode(core.get(), nullptr, 0, 0, &pic, H264_CORE_DECODE_END_OF_STREAM),
              H264_CORE_NO_PICTURE);
    EXPECT_EQ(out.md5s, ref.md5s);
}
