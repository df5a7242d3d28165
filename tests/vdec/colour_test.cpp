#include "vdec/colour.h"

#include <qvvdec.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

struct Setting {
    uint32_t brightness, contrast, saturation, hue;
};

ColorCoefficients Coefficients(const Setting &s) {
    return ComputeColorCoefficients(s.brightness, s.contrast, s.saturation, s.hue);
}

// ---- Derived values ----

struct OffsetCase {
    uint32_t brightness;
    int32_t offset;
};

TEST(ColorCoefficients, BrightnessOffset) {
    // 63 and 1 check truncation toward zero (-1.5625 -> -1, -98.4375 -> -98).
    const OffsetCase cases[] = {{0, -100}, {1, -98},  {32, -50},  {63, -1},   {64, 0},
                                {65, 1},   {100, 57}, {127, 100}, {128, 100}, {0xFFFFFFFF, 100}};
    for (const OffsetCase &c : cases) {
        ColorCoefficients coef = ComputeColorCoefficients(c.brightness, 64, 64, 64);
        EXPECT_EQ(coef.nOffset, c.offset) << "brightness " << c.brightness;
        EXPECT_EQ(coef.nGain, 1024) << "brightness " << c.brightness;
        EXPECT_EQ(coef.bLuma, c.brightness != 64) << "brightness " << c.brightness;
        EXPECT_FALSE(coef.bChroma) << "brightness " << c.brightness;
    }
}

struct GainCase {
    uint32_t contrast;
    int32_t gain;
};

TEST(ColorCoefficients, ContrastGain) {
    const GainCase cases[] = {{0, 0},     {32, 512},   {63, 1008},  {64, 1024},
                              {65, 1040}, {100, 1608}, {127, 2047}, {500, 2047}};
    for (const GainCase &c : cases) {
        ColorCoefficients coef = ComputeColorCoefficients(64, c.contrast, 64, 64);
        EXPECT_EQ(coef.nGain, c.gain) << "contrast " << c.contrast;
        EXPECT_EQ(coef.nOffset, 0);
        // Contrast acts on both luma and chroma, and its factor enters the
        // saturation gain.
        EXPECT_EQ(coef.nSatGain, c.gain) << "contrast " << c.contrast;
        EXPECT_EQ(coef.bLuma, c.contrast != 64);
        EXPECT_EQ(coef.bChroma, c.contrast != 64);
    }
}

struct SatCase {
    uint32_t saturation, contrast;
    int32_t satGain;
};

TEST(ColorCoefficients, SaturationGainIncludesContrast) {
    const SatCase cases[] = {
        {64, 64, 1024},
        {127, 64, 2047},
        {0, 127, 0},
        {127, 127, 4094},
        {32, 127, 1023},
        {64, 127, 2047},
        {100, 64, 1608},
        {0, 0, 0},
        {32, 32, 256},
        // 50/64 x 125 x 0.01587 x 1024 is exactly 1587; binary floating
        // point would give 1586.
        {50, 126, 1587},
    };
    for (const SatCase &c : cases) {
        ColorCoefficients coef = ComputeColorCoefficients(64, c.contrast, c.saturation, 64);
        EXPECT_EQ(coef.nSatGain, c.satGain) << "saturation " << c.saturation << " contrast " << c.contrast;
        EXPECT_EQ(coef.bChroma, c.saturation != 64 || c.contrast != 64);
        EXPECT_EQ(coef.bLuma, c.contrast != 64);
    }
}

struct HueCase {
    uint32_t hue;
    int32_t cosine, sine;
};

TEST(ColorCoefficients, HueCosineAndSine) {
    // Angles: 0 -> -3.14159, 32 -> -1.57071, 63 -> -0.04892, 65 -> 0.05009,
    // 96 -> 1.59606, 127 -> 3.14203; products truncated toward zero.
    const HueCase cases[] = {{0, -1023, 0},  {1, -1022, -50}, {32, 0, -1023},  {63, 1022, -50}, {64, 1024, 0},
                             {65, 1022, 51}, {96, -25, 1023}, {127, -1023, 0}, {255, -1023, 0}};
    for (const HueCase &c : cases) {
        ColorCoefficients coef = ComputeColorCoefficients(64, 64, 64, c.hue);
        EXPECT_EQ(coef.nCosine, c.cosine) << "hue " << c.hue;
        EXPECT_EQ(coef.nSine, c.sine) << "hue " << c.hue;
        EXPECT_EQ(coef.nSatGain, 1024);
        EXPECT_EQ(coef.bChroma, c.hue != 64);
        EXPECT_FALSE(coef.bLuma);
    }
}

TEST(ColorCoefficients, StepNeededUnlessAllNeutral) {
    EXPECT_FALSE(IsColorStepNeeded(64, 64, 64, 64));
    const Setting needed[] = {{63, 64, 64, 64},  {64, 65, 64, 64},  {64, 64, 0, 64},
                              {64, 64, 64, 127}, {200, 64, 64, 64}, {64, 64, 64, 0xFFFFFFFF}};
    for (const Setting &s : needed)
        EXPECT_TRUE(IsColorStepNeeded(s.brightness, s.contrast, s.saturation, s.hue))
            << s.brightness << " " << s.contrast << " " << s.saturation << " " << s.hue;
    ColorCoefficients neutral = ComputeColorCoefficients(64, 64, 64, 64);
    EXPECT_FALSE(neutral.bLuma);
    EXPECT_FALSE(neutral.bChroma);
}

// ---- Pixel results worked out from the formulas ----

struct LumaCase {
    Setting setting;
    uint8_t y, expected;
};

TEST(ColorStep, LumaSamples) {
    const LumaCase cases[] = {
        // offset 100, gain 1024
        {{127, 64, 64, 64}, 0, 100},
        {{127, 64, 64, 64}, 16, 116},
        {{127, 64, 64, 64}, 135, 235},
        {{127, 64, 64, 64}, 200, 235},
        // offset 100, gain 2047: (0 - 16) x 2047 / 1024 = -31.98 -> -31
        {{127, 127, 64, 64}, 0, 85},
        {{127, 127, 64, 64}, 10, 105},
        {{127, 127, 64, 64}, 50, 183},
        {{127, 127, 64, 64}, 100, 235},
        // offset -100, gain 512
        {{0, 32, 64, 64}, 255, 35},
        {{0, 32, 64, 64}, 200, 16},
        // offset -37, gain 1446
        {{40, 90, 64, 64}, 50, 27},
        {{40, 90, 64, 64}, 100, 97},
        {{40, 90, 64, 64}, 135, 147},
        {{40, 90, 64, 64}, 0, 16},
        // gain 1608 alone
        {{64, 100, 30, 20}, 50, 69},
        {{64, 100, 30, 20}, 135, 202},
    };
    for (const LumaCase &c : cases) {
        ColorCoefficients coef = Coefficients(c.setting);
        ASSERT_TRUE(coef.bLuma);
        EXPECT_EQ(ColorLumaSample(c.y, coef), c.expected)
            << "brightness " << c.setting.brightness << " contrast " << c.setting.contrast << " y "
            << int(c.y);
        // The plane functions give the same on a one-pixel plane.
        uint8_t scalar = c.y, fast = c.y;
        ColorAdjustLumaScalar(&scalar, 1, 1, 1, coef);
        ColorAdjustLuma(&fast, 1, 1, 1, coef);
        EXPECT_EQ(scalar, c.expected);
        EXPECT_EQ(fast, c.expected);
    }
}

struct ChromaCase {
    Setting setting;
    uint8_t u, v, expectedU, expectedV;
};

const ChromaCase kChromaCases[] = {
    // satGain 2047, no rotation: V 55.97 -> -55 (truncated, not floored)
    {{64, 64, 127, 64}, 150, 100, 171, 73},
    {{64, 64, 127, 64}, 200, 60, 240, 16},
    {{64, 64, 127, 64}, 127, 129, 127, 129},
    // hue 0: cosine -1023, sine 0
    {{64, 64, 64, 0}, 150, 100, 107, 155},
    {{64, 64, 64, 0}, 200, 60, 57, 195},
    {{64, 64, 64, 0}, 0, 255, 240, 16},
    // satGain 1608, cosine -25, sine 1023
    {{64, 64, 100, 96}, 150, 100, 84, 95},
    {{64, 64, 100, 96}, 200, 60, 19, 18},
    {{64, 64, 100, 96}, 100, 150, 163, 171},
    // contrast 100, saturation 30, hue 20: satGain 754, cosine -568, sine -851
    {{64, 100, 30, 20}, 150, 100, 136, 152},
    {{64, 100, 30, 20}, 200, 60, 140, 199},
    {{64, 100, 30, 20}, 0, 255, 103, 16},
    {{64, 100, 30, 20}, 127, 129, 128, 127},
    // contrast only (satGain 512)
    {{0, 32, 64, 64}, 0, 255, 64, 191},
    {{0, 32, 64, 64}, 127, 129, 128, 128},
    // everything at the top: satGain 4094, cosine -1023
    {{64, 127, 127, 127}, 150, 100, 41, 239},
    {{64, 127, 127, 127}, 127, 129, 131, 125},
};

TEST(ColorStep, ChromaSamples) {
    for (const ChromaCase &c : kChromaCases) {
        ColorCoefficients coef = Coefficients(c.setting);
        ASSERT_TRUE(coef.bChroma);
        uint8_t u = 0, v = 0;
        ColorChromaSample(c.u, c.v, coef, &u, &v);
        EXPECT_EQ(u, c.expectedU) << "setting " << c.setting.contrast << "/" << c.setting.saturation << "/"
                                  << c.setting.hue << " uv " << int(c.u) << "," << int(c.v);
        EXPECT_EQ(v, c.expectedV) << "setting " << c.setting.contrast << "/" << c.setting.saturation << "/"
                                  << c.setting.hue << " uv " << int(c.u) << "," << int(c.v);
    }
}

// The same cases through every layout: a row of 21 copies (long enough for
// the vector loop and its tail) in planes, pairs and YUY2 groups.
TEST(ColorStep, ChromaSamplesInEveryLayout) {
    constexpr uint32_t kCount = 21;
    for (const ChromaCase &c : kChromaCases) {
        ColorCoefficients coef = Coefficients(c.setting);
        std::vector<uint8_t> u(kCount, c.u), v(kCount, c.v), pairs, groups;
        for (uint32_t i = 0; i < kCount; ++i) {
            pairs.insert(pairs.end(), {c.u, c.v});
            groups.insert(groups.end(), {50, c.u, 100, c.v});
        }
        ColorAdjustChroma(u.data(), kCount, v.data(), kCount, kCount, 1, coef);
        ColorAdjustChromaPairs(pairs.data(), kCount, 1, kCount * 2, coef);
        ColorAdjustYuy2(groups.data(), kCount * 2, 1, kCount * 4, coef);
        uint8_t y50 = coef.bLuma ? ColorLumaSample(50, coef) : 50;
        uint8_t y100 = coef.bLuma ? ColorLumaSample(100, coef) : 100;
        for (uint32_t i = 0; i < kCount; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(u[i], c.expectedU);
            EXPECT_EQ(v[i], c.expectedV);
            EXPECT_EQ(pairs[2 * i], c.expectedU);
            EXPECT_EQ(pairs[2 * i + 1], c.expectedV);
            EXPECT_EQ(groups[4 * i], y50);
            EXPECT_EQ(groups[4 * i + 1], c.expectedU);
            EXPECT_EQ(groups[4 * i + 2], y100);
            EXPECT_EQ(groups[4 * i + 3], c.expectedV);
        }
    }
}

// Brightness alone leaves chroma alone; saturation or hue alone leave luma.
TEST(ColorStep, EachFlagTouchesOnlyItsSamples) {
    std::vector<uint8_t> picture(16 * 8 * 3 / 2);
    for (size_t i = 0; i < picture.size(); ++i)
        picture[i] = uint8_t(i * 37 + 11);
    const size_t lumaSize = 16 * 8;

    std::vector<uint8_t> brighter = picture;
    ASSERT_EQ(ColorAdjustPicture(brighter.data(), VDEC_FOURCC_YV12, 16, 8,
                                 ComputeColorCoefficients(90, 64, 64, 64)),
              VDEC_OK);
    EXPECT_NE(std::memcmp(brighter.data(), picture.data(), lumaSize), 0);
    EXPECT_EQ(std::memcmp(brighter.data() + lumaSize, picture.data() + lumaSize, picture.size() - lumaSize),
              0);

    std::vector<uint8_t> rotated = picture;
    ASSERT_EQ(
        ColorAdjustPicture(rotated.data(), VDEC_FOURCC_YV12, 16, 8, ComputeColorCoefficients(64, 64, 64, 20)),
        VDEC_OK);
    EXPECT_EQ(std::memcmp(rotated.data(), picture.data(), lumaSize), 0);
    EXPECT_NE(std::memcmp(rotated.data() + lumaSize, picture.data() + lumaSize, picture.size() - lumaSize),
              0);
}

// YV12 keeps V before U: the U samples are the ones at the end.
TEST(ColorStep, Yv12PlaneOrder) {
    constexpr uint32_t kWidth = 4, kHeight = 2;
    std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2, 128);
    uint8_t *v = picture.data() + kWidth * kHeight;
    uint8_t *u = v + 2;
    u[0] = u[1] = 150;
    v[0] = v[1] = 100;
    ASSERT_EQ(ColorAdjustPicture(picture.data(), VDEC_FOURCC_YV12, kWidth, kHeight,
                                 ComputeColorCoefficients(64, 64, 64, 0)),
              VDEC_OK);
    EXPECT_EQ(u[0], 107);
    EXPECT_EQ(u[1], 107);
    EXPECT_EQ(v[0], 155);
    EXPECT_EQ(v[1], 155);

    std::vector<uint8_t> nv12(kWidth * kHeight * 3 / 2, 128);
    uint8_t *uv = nv12.data() + kWidth * kHeight;
    uv[0] = uv[2] = 150;
    uv[1] = uv[3] = 100;
    ASSERT_EQ(ColorAdjustPicture(nv12.data(), VDEC_FOURCC_NV12, kWidth, kHeight,
                                 ComputeColorCoefficients(64, 64, 64, 0)),
              VDEC_OK);
    EXPECT_EQ(uv[0], 107);
    EXPECT_EQ(uv[1], 155);
    EXPECT_EQ(uv[2], 107);
    EXPECT_EQ(uv[3], 155);
}

TEST(ColorStep, UnknownFormatRefused) {
    std::vector<uint8_t> picture(16 * 16 * 3 / 2, 77);
    std::vector<uint8_t> before = picture;
    EXPECT_EQ(ColorAdjustPicture(picture.data(), QV_FOURCC('I', '4', '2', '0'), 16, 16,
                                 ComputeColorCoefficients(10, 20, 30, 40)),
              VDEC_E_NOT_SUPPORTED);
    EXPECT_EQ(picture, before);
}

// ---- Neutral setting ----

TEST(ColorStep, NeutralSettingLeavesPicturesIdentical) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    const ColorCoefficients neutral = ComputeColorCoefficients(64, 64, 64, 64);
    const uint32_t formats[] = {VDEC_FOURCC_YV12, VDEC_FOURCC_NV12, VDEC_FOURCC_YUY2};
    for (uint32_t fourcc : formats) {
        // Full byte range, including samples outside the video ranges that
        // any active step would clamp.
        std::vector<uint8_t> picture(64 * 36 * 2);
        for (uint8_t &b : picture)
            b = uint8_t(byte(rng));
        std::vector<uint8_t> before = picture;
        ASSERT_EQ(ColorAdjustPicture(picture.data(), fourcc, 64, 36, neutral), VDEC_OK);
        EXPECT_EQ(picture, before) << std::hex << fourcc;
        ColorAdjustLumaScalar(picture.data(), 64, 36, 64, neutral);
        ColorAdjustChromaScalar(picture.data(), 32, picture.data() + 1024, 32, 32, 18, neutral);
        ColorAdjustChromaPairsScalar(picture.data(), 32, 18, 64, neutral);
        ColorAdjustYuy2Scalar(picture.data(), 64, 18, 128, neutral);
        EXPECT_EQ(picture, before);
    }
}

// ---- Fast form against the reference ----

// Every luma value under every brightness and contrast pair.
TEST(ColorStep, FastLumaMatchesReferenceExhaustively) {
    std::vector<uint8_t> ramp(256 + 13);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = uint8_t(i * 7);
    for (uint32_t b = 0; b <= 127; ++b) {
        for (uint32_t c = 0; c <= 127; ++c) {
            ColorCoefficients coef = ComputeColorCoefficients(b, c, 64, 64);
            std::vector<uint8_t> fast = ramp, scalar = ramp;
            ColorAdjustLuma(fast.data(), uint32_t(fast.size()), 1, 0, coef);
            ColorAdjustLumaScalar(scalar.data(), uint32_t(scalar.size()), 1, 0, coef);
            ASSERT_EQ(fast, scalar) << "brightness " << b << " contrast " << c;
        }
    }
}

// Every (U, V) pair under a spread of settings, including the extremes.
TEST(ColorStep, FastChromaMatchesReferenceOnAllPairs) {
    std::vector<Setting> settings = {{64, 0, 0, 0},     {64, 127, 127, 127}, {64, 127, 127, 0},
                                     {64, 0, 127, 96},  {64, 127, 0, 32},    {64, 64, 64, 0},
                                     {64, 64, 64, 127}, {64, 100, 30, 20}};
    std::mt19937 rng(11);
    std::uniform_int_distribution<uint32_t> value(0, 127);
    for (int i = 0; i < 24; ++i)
        settings.push_back({64, value(rng), value(rng), value(rng)});
    std::vector<uint8_t> u(65536), v(65536), pairs(2 * 65536);
    for (const Setting &s : settings) {
        ColorCoefficients coef = Coefficients(s);
        for (uint32_t i = 0; i < 65536; ++i) {
            u[i] = pairs[2 * i] = uint8_t(i >> 8);
            v[i] = pairs[2 * i + 1] = uint8_t(i);
        }
        std::vector<uint8_t> fastU = u, fastV = v, fastPairs = pairs;
        ColorAdjustChromaScalar(u.data(), 256, v.data(), 256, 256, 256, coef);
        ColorAdjustChroma(fastU.data(), 256, fastV.data(), 256, 256, 256, coef);
        ColorAdjustChromaPairsScalar(pairs.data(), 256, 256, 512, coef);
        ColorAdjustChromaPairs(fastPairs.data(), 256, 256, 512, coef);
        ASSERT_EQ(fastU, u) << s.contrast << "/" << s.saturation << "/" << s.hue;
        ASSERT_EQ(fastV, v) << s.contrast << "/" << s.saturation << "/" << s.hue;
        ASSERT_EQ(fastPairs, pairs) << s.contrast << "/" << s.saturation << "/" << s.hue;
    }
}

// Random pictures with odd sizes and strides wider than the rows: the fast
// form writes the same samples and nothing between rows.
TEST(ColorStep, FastMatchesReferenceOnRandomPictures) {
    std::mt19937 rng(2024);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<uint32_t> value(0, 127);
    std::uniform_int_distribution<uint32_t> size(1, 75);
    std::uniform_int_distribution<uint32_t> rows(1, 9);
    std::uniform_int_distribution<uint32_t> padding(0, 19);
    auto randomBytes = [&](size_t n) {
        std::vector<uint8_t> bytes(n);
        for (uint8_t &b : bytes)
            b = uint8_t(byte(rng));
        return bytes;
    };
    for (int round = 0; round < 400; ++round) {
        Setting s{value(rng), value(rng), value(rng), value(rng)};
        if (round % 8 == 0)
            s.brightness = s.contrast = 64; // chroma only
        if (round % 8 == 1)
            s.saturation = s.hue = s.contrast = 64; // luma only
        ColorCoefficients coef = Coefficients(s);
        uint32_t width = size(rng) | 1;
        uint32_t height = rows(rng);
        int32_t stride = int32_t(width + padding(rng));
        int32_t stride2 = int32_t(width + padding(rng));
        SCOPED_TRACE(testing::Message()
                     << "setting " << s.brightness << "/" << s.contrast << "/" << s.saturation << "/" << s.hue
                     << " width " << width << " height " << height << " stride " << stride);

        std::vector<uint8_t> y = randomBytes(size_t(stride) * height), yFast = y;
        ColorAdjustLumaScalar(y.data(), width, height, stride, coef);
        ColorAdjustLuma(yFast.data(), width, height, stride, coef);
        ASSERT_EQ(yFast, y);

        std::vector<uint8_t> u = randomBytes(size_t(stride) * height),
                             v = randomBytes(size_t(stride2) * height);
        std::vector<uint8_t> uFast = u, vFast = v, uBefore = u;
        ColorAdjustChromaScalar(u.data(), stride, v.data(), stride2, width, height, coef);
        ColorAdjustChroma(uFast.data(), stride, vFast.data(), stride2, width, height, coef);
        ASSERT_EQ(uFast, u);
        ASSERT_EQ(vFast, v);
        // Padding between rows is never written.
        for (uint32_t row = 0; row < height; ++row)
            for (int32_t x = int32_t(width); x < stride; ++x)
                ASSERT_EQ(uFast[size_t(row) * stride + x], uBefore[size_t(row) * stride + x]);

        int32_t pairStride = int32_t(2 * width + padding(rng));
        std::vector<uint8_t> uv = randomBytes(size_t(pairStride) * height), uvFast = uv;
        ColorAdjustChromaPairsScalar(uv.data(), width, height, pairStride, coef);
        ColorAdjustChromaPairs(uvFast.data(), width, height, pairStride, coef);
        ASSERT_EQ(uvFast, uv);

        int32_t groupStride = int32_t(2 * width + padding(rng));
        std::vector<uint8_t> yuy2 = randomBytes(size_t(groupStride) * height), yuy2Fast = yuy2;
        ColorAdjustYuy2Scalar(yuy2.data(), width, height, groupStride, coef);
        ColorAdjustYuy2(yuy2Fast.data(), width, height, groupStride, coef);
        ASSERT_EQ(yuy2Fast, yuy2);
    }
}

// A whole YV12 picture equals the reference applied plane by plane.
TEST(ColorStep, PictureMatchesPlaneReference) {
    constexpr uint32_t kWidth = 704, kHeight = 576;
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> picture(kWidth * kHeight * 3 / 2);
    for (uint8_t &b : picture)
        b = uint8_t(byte(rng));
    std::vector<uint8_t> reference = picture;
    ColorCoefficients coef = ComputeColorCoefficients(80, 40, 100, 50);
    ASSERT_EQ(ColorAdjustPicture(picture.data(), VDEC_FOURCC_YV12, kWidth, kHeight, coef), VDEC_OK);
    uint8_t *v = reference.data() + kWidth * kHeight;
    uint8_t *u = v + kWidth / 2 * kHeight / 2;
    ColorAdjustLumaScalar(reference.data(), kWidth, kHeight, kWidth, coef);
    ColorAdjustChromaScalar(u, kWidth / 2, v, kWidth / 2, kWidth / 2, kHeight / 2, coef);
    EXPECT_EQ(picture, reference);
}

// ---- Copy with the step on the way ----

// Runs a check once with the 32-byte vectors (where the processor has them)
// and once with the 16-byte ones; the wide ones are allowed again after.
template <class TCheck> void ForEachVectorWidth(TCheck check) {
    const bool wide = ColorUseWideVectors(true);
    if (wide) {
        SCOPED_TRACE("wide vectors");
        check();
    }
    ColorUseWideVectors(false);
    {
        SCOPED_TRACE("narrow vectors");
        check();
    }
    ColorUseWideVectors(true);
}

// Every luma value at every brightness and contrast, copied out of a row
// that is longer than any vector (so the vector loops and the tail both run).
TEST(ColorCopy, LumaMatchesReferenceExhaustively) {
    std::vector<uint8_t> ramp(256 + 45);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = uint8_t(i * 7);
    const uint32_t width = uint32_t(ramp.size());
    ForEachVectorWidth([&] {
        for (uint32_t b = 0; b <= 127; ++b) {
            for (uint32_t c = 0; c <= 127; ++c) {
                ColorCoefficients coef = ComputeColorCoefficients(b, c, 64, 64);
                std::vector<uint8_t> fast(width, 0xA5), scalar(width, 0x5A);
                ColorCopyLuma(ramp.data(), 0, fast.data(), 0, width, 1, coef);
                ColorCopyLumaScalar(ramp.data(), 0, scalar.data(), 0, width, 1, coef);
                ASSERT_EQ(fast, scalar) << "brightness " << b << " contrast " << c;
                std::vector<uint8_t> inPlace = ramp;
                ColorAdjustLuma(inPlace.data(), width, 1, 0, coef);
                ASSERT_EQ(inPlace, scalar) << "brightness " << b << " contrast " << c;
            }
        }
    });
}

// Every (U, V) pair under a spread of settings including the extremes and
// the weights whose low 15 bits are all set or all clear.
TEST(ColorCopy, ChromaMatchesReferenceOnAllPairs) {
    std::vector<Setting> settings = {{64, 0, 0, 0},      {64, 127, 127, 127}, {64, 127, 127, 0},
                                     {64, 0, 127, 96},   {64, 127, 0, 32},    {64, 64, 64, 0},
                                     {64, 64, 64, 127},  {64, 100, 30, 20},   {64, 64, 127, 64},
                                     {64, 127, 127, 64}, {64, 1, 1, 64}};
    std::mt19937 rng(13);
    std::uniform_int_distribution<uint32_t> value(0, 127);
    for (int i = 0; i < 16; ++i)
        settings.push_back({64, value(rng), value(rng), value(rng)});
    std::vector<uint8_t> u(65536), v(65536);
    for (uint32_t i = 0; i < 65536; ++i) {
        u[i] = uint8_t(i >> 8);
        v[i] = uint8_t(i);
    }
    ForEachVectorWidth([&] {
        for (const Setting &s : settings) {
            ColorCoefficients coef = Coefficients(s);
            std::vector<uint8_t> fastU(65536), fastV(65536), refU(65536), refV(65536);
            ColorCopyChromaScalar(u.data(), 256, v.data(), 256, refU.data(), 256, refV.data(), 256, 256, 256,
                                  coef);
            ColorCopyChroma(u.data(), 256, v.data(), 256, fastU.data(), 256, fastV.data(), 256, 256, 256,
                            coef);
            ASSERT_EQ(fastU, refU) << s.contrast << "/" << s.saturation << "/" << s.hue;
            ASSERT_EQ(fastV, refV) << s.contrast << "/" << s.saturation << "/" << s.hue;
            // The reference copy is the per-sample formula.
            for (uint32_t i = 0; i < 65536; i += 257) {
                uint8_t eu = 0, ev = 0;
                ColorChromaSample(u[i], v[i], coef, &eu, &ev);
                ASSERT_EQ(refU[i], eu);
                ASSERT_EQ(refV[i], ev);
            }
        }
    });
}

// Random pictures of odd widths, with source and destination strides that
// differ and exceed the rows: the fast copy writes the reference's samples,
// and nothing of the destination between rows.
TEST(ColorCopy, MatchesReferenceOnRandomPicturesWithOddStrides) {
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<uint32_t> value(0, 127);
    std::uniform_int_distribution<uint32_t> size(1, 140);
    std::uniform_int_distribution<uint32_t> rows(1, 7);
    std::uniform_int_distribution<uint32_t> padding(0, 37);
    auto randomBytes = [&](size_t n) {
        std::vector<uint8_t> bytes(n);
        for (uint8_t &b : bytes)
            b = uint8_t(byte(rng));
        return bytes;
    };
    ForEachVectorWidth([&] {
        for (int round = 0; round < 300; ++round) {
            Setting s{value(rng), value(rng), value(rng), value(rng)};
            if (round % 6 == 0)
                s = {64, 64, 64, 64}; // a plain copy
            if (round % 6 == 1)
                s.brightness = s.contrast = 64; // chroma only
            if (round % 6 == 2)
                s.saturation = s.hue = s.contrast = 64; // luma only
            ColorCoefficients coef = Coefficients(s);
            uint32_t width = size(rng) | 1;
            uint32_t height = rows(rng);
            int32_t srcStride = int32_t(width + (padding(rng) | 1));
            int32_t dstStride = int32_t(width + padding(rng));
            SCOPED_TRACE(testing::Message()
                         << "setting " << s.brightness << "/" << s.contrast << "/" << s.saturation << "/"
                         << s.hue << " width " << width << " height " << height << " strides " << srcStride
                         << ", " << dstStride);

            std::vector<uint8_t> src = randomBytes(size_t(srcStride) * height);
            std::vector<uint8_t> dst = randomBytes(size_t(dstStride) * height);
            std::vector<uint8_t> ref = dst, before = dst;
            ColorCopyLuma(src.data(), srcStride, dst.data(), dstStride, width, height, coef);
            ColorCopyLumaScalar(src.data(), srcStride, ref.data(), dstStride, width, height, coef);
            ASSERT_EQ(dst, ref);
            for (uint32_t row = 0; row < height; ++row) {
                for (int32_t x = int32_t(width); x < dstStride; ++x)
                    ASSERT_EQ(dst[size_t(row) * dstStride + x], before[size_t(row) * dstStride + x]);
                if (!coef.bLuma) {
                    ASSERT_EQ(
                        0, std::memcmp(&dst[size_t(row) * dstStride], &src[size_t(row) * srcStride], width));
                }
            }

            std::vector<uint8_t> srcU = randomBytes(size_t(srcStride) * height);
            std::vector<uint8_t> srcV = randomBytes(size_t(srcStride + 3) * height);
            std::vector<uint8_t> dstU = randomBytes(size_t(dstStride) * height);
            std::vector<uint8_t> dstV = randomBytes(size_t(dstStride + 5) * height);
            std::vector<uint8_t> refU = dstU, refV = dstV, beforeV = dstV;
            ColorCopyChroma(srcU.data(), srcStride, srcV.data(), srcStride + 3, dstU.data(), dstStride,
                            dstV.data(), dstStride + 5, width, height, coef);
            ColorCopyChromaScalar(srcU.data(), srcStride, srcV.data(), srcStride + 3, refU.data(), dstStride,
                                  refV.data(), dstStride + 5, width, height, coef);
            ASSERT_EQ(dstU, refU);
            ASSERT_EQ(dstV, refV);
            for (uint32_t row = 0; row < height; ++row)
                for (int32_t x = int32_t(width); x < dstStride + 5; ++x)
                    ASSERT_EQ(dstV[size_t(row) * (dstStride + 5) + x],
                              beforeV[size_t(row) * (dstStride + 5) + x]);

            // In place gives the same as copying out.
            std::vector<uint8_t> inPlaceU = srcU, inPlaceV = srcV;
            ColorAdjustChroma(inPlaceU.data(), srcStride, inPlaceV.data(), srcStride + 3, width, height,
                              coef);
            for (uint32_t row = 0; row < height; ++row) {
                ASSERT_EQ(0, std::memcmp(&inPlaceU[size_t(row) * srcStride], &refU[size_t(row) * dstStride],
                                         width));
                ASSERT_EQ(0, std::memcmp(&inPlaceV[size_t(row) * (srcStride + 3)],
                                         &refV[size_t(row) * (dstStride + 5)], width));
            }
        }
    });
}

} // namespace
