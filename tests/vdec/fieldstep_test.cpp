#include "vdec/fieldstep.h"

#include <qvvdec.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

using DoubleFn = void (*)(const uint8_t *, int32_t, uint8_t *, int32_t, uint32_t, uint32_t);

struct Variant {
    const char *name;
    DoubleFn fn;
};

const Variant kVariants[] = {{"scalar", FieldDoublePlaneScalar}, {"fast", FieldDoublePlane}};

std::vector<uint8_t> RandomBytes(std::mt19937 &rng, size_t n) {
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> bytes(n);
    for (uint8_t &b : bytes)
        b = uint8_t(byte(rng));
    return bytes;
}

// The doubled plane by the rule, written out plainly: row 2i is source row i,
// row 2i + 1 the rounded-down average of rows i and i + 1, the last row a
// copy of the one before it.
std::vector<uint8_t> Doubled(const uint8_t *src, uint32_t stride, uint32_t width, uint32_t rows) {
    std::vector<uint8_t> out(size_t(width) * rows * 2);
    for (uint32_t i = 0; i < rows; ++i) {
        const uint8_t *row = src + size_t(i) * stride;
        const uint8_t *next = i + 1 < rows ? row + stride : row;
        for (uint32_t x = 0; x < width; ++x) {
            out[size_t(2 * i) * width + x] = row[x];
            out[size_t(2 * i + 1) * width + x] = uint8_t((unsigned(row[x]) + next[x]) / 2);
        }
    }
    return out;
}

TEST(FieldStep, SizePredicate) {
    struct Case {
        uint32_t width, height;
        bool field;
    };
    const Case cases[] = {
        {720, 288, true},  {720, 240, true},  {704, 288, true},    {704, 240, true},
        {720, 576, false}, {704, 576, false}, {720, 480, false},   {352, 288, false},
        {352, 240, false}, {640, 480, false}, {1920, 1080, false}, {288, 720, false},
        {720, 289, false}, {705, 288, false}, {720, 0, false},     {0, 288, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(IsFieldPictureSize(c.width, c.height), c.field) << c.width << "x" << c.height;
}

// Three rows of three bytes, worked out by hand.
TEST(FieldStep, SmallPlaneByHand) {
    const uint8_t src[3][3] = {{10, 20, 255}, {11, 0, 254}, {40, 21, 0}};
    const uint8_t expected[6][3] = {
        {10, 20, 255}, {10, 10, 254}, // (10 + 11) / 2 = 10, (255 + 254) / 2 = 254
        {11, 0, 254},  {25, 10, 127}, // (11 + 40) / 2 = 25, (254 + 0) / 2 = 127
        {40, 21, 0},   {40, 21, 0},   // the last row repeats the one above
    };
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(v.name);
        uint8_t out[6][3];
        std::memset(out, 0xCC, sizeof out);
        v.fn(&src[0][0], 3, &out[0][0], 3, 3, 3);
        EXPECT_EQ(std::memcmp(out, expected, sizeof out), 0);

        // In place: the source in the first three rows of the buffer.
        uint8_t buffer[6][3];
        std::memset(buffer, 0xCC, sizeof buffer);
        std::memcpy(buffer, src, sizeof src);
        v.fn(&buffer[0][0], 3, &buffer[0][0], 3, 3, 3);
        EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
    }
}

// Rows long enough for the vector loop: averages round down (pavgb alone
// would round 1 and 2 up to 2), and a single row just doubles.
TEST(FieldStep, AveragesRoundDown) {
    constexpr uint32_t kWidth = 35;
    std::vector<uint8_t> src(2 * kWidth);
    const uint8_t above[] = {1, 254, 0, 255, 7, 100};
    const uint8_t below[] = {2, 255, 255, 0, 8, 101};
    const uint8_t average[] = {1, 254, 127, 127, 7, 100};
    for (uint32_t x = 0; x < kWidth; ++x) {
        src[x] = above[x % 6];
        src[kWidth + x] = below[x % 6];
    }
    for (const Variant &v : kVariants) {
        SCOPED_TRACE(v.name);
        std::vector<uint8_t> out(4 * kWidth, 0xCC);
        v.fn(src.data(), kWidth, out.data(), kWidth, kWidth, 2);
        for (uint32_t x = 0; x < kWidth; ++x) {
            SCOPED_TRACE(x);
            EXPECT_EQ(out[x], above[x % 6]);
            EXPECT_EQ(out[kWidth + x], average[x % 6]);
            EXPECT_EQ(out[2 * kWidth + x], below[x % 6]);
            EXPECT_EQ(out[3 * kWidth + x], below[x % 6]);
        }

        std::vector<uint8_t> single(2 * kWidth, 0xCC);
        v.fn(src.data(), kWidth, single.data(), kWidth, kWidth, 1);
        EXPECT_EQ(std::memcmp(single.data(), src.data(), kWidth), 0);
        EXPECT_EQ(std::memcmp(single.data() + kWidth, src.data(), kWidth), 0);
    }
}

// Random planes of odd widths with strides wider than the rows, out of place
// and in place: both forms follow the rule and leave row padding alone.
TEST(FieldStep, FastMatchesReferenceOnRandomPlanes) {
    std::mt19937 rng(99);
    std::uniform_int_distribution<uint32_t> size(1, 80);
    std::uniform_int_distribution<uint32_t> rowCount(1, 12);
    std::uniform_int_distribution<uint32_t> padding(0, 21);
    for (int round = 0; round < 300; ++round) {
        uint32_t width = size(rng) | (round & 1); // mostly odd widths
        uint32_t rows = rowCount(rng);
        uint32_t srcStride = width + padding(rng);
        uint32_t dstStride = width + padding(rng);
        SCOPED_TRACE(testing::Message() << "width " << width << " rows " << rows << " strides " << srcStride
                                        << "/" << dstStride);
        std::vector<uint8_t> src = RandomBytes(rng, size_t(srcStride) * rows);
        std::vector<uint8_t> expected = Doubled(src.data(), srcStride, width, rows);

        std::vector<uint8_t> dst = RandomBytes(rng, size_t(dstStride) * rows * 2);
        std::vector<uint8_t> dstFast = dst;
        FieldDoublePlaneScalar(src.data(), int32_t(srcStride), dst.data(), int32_t(dstStride), width, rows);
        FieldDoublePlane(src.data(), int32_t(srcStride), dstFast.data(), int32_t(dstStride), width, rows);
        ASSERT_EQ(dstFast, dst);
        for (uint32_t r = 0; r < 2 * rows; ++r)
            ASSERT_EQ(
                std::memcmp(dst.data() + size_t(r) * dstStride, expected.data() + size_t(r) * width, width),
                0)
                << "row " << r;

        // In place, and shifted by a few whole rows as the chroma planes of a
        // packed picture are.
        for (uint32_t shift : {0u, 1u, 3u}) {
            SCOPED_TRACE(shift);
            std::vector<uint8_t> buffer = RandomBytes(rng, size_t(srcStride) * (2 * rows + shift));
            std::memcpy(buffer.data(), src.data(), src.size());
            std::vector<uint8_t> bufferFast = buffer;
            uint8_t *dstScalar = buffer.data() + size_t(shift) * srcStride;
            uint8_t *dstFastPtr = bufferFast.data() + size_t(shift) * srcStride;
            FieldDoublePlaneScalar(buffer.data(), int32_t(srcStride), dstScalar, int32_t(srcStride), width,
                                   rows);
            FieldDoublePlane(bufferFast.data(), int32_t(srcStride), dstFastPtr, int32_t(srcStride), width,
                             rows);
            ASSERT_EQ(bufferFast, buffer);
            for (uint32_t r = 0; r < 2 * rows; ++r)
                ASSERT_EQ(std::memcmp(dstScalar + size_t(r) * srcStride, expected.data() + size_t(r) * width,
                                      width),
                          0)
                    << "row " << r;
        }
    }
}

struct PictureCase {
    uint32_t fourcc;
    uint32_t width, height;
};

// Whole pictures doubled in place: every plane lands where the doubled
// layout puts it, and nothing after the doubled picture is touched.
TEST(FieldStep, PictureDoubledInPlace) {
    const PictureCase cases[] = {
        {VDEC_FOURCC_YV12, 704, 240}, {VDEC_FOURCC_YV12, 720, 288}, {VDEC_FOURCC_NV12, 720, 240},
        {VDEC_FOURCC_NV12, 704, 288}, {VDEC_FOURCC_YUY2, 704, 288}, {VDEC_FOURCC_YUY2, 720, 240},
    };
    std::mt19937 rng(3);
    for (const PictureCase &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << std::hex << c.fourcc << std::dec << " " << c.width << "x" << c.height);
        const uint32_t w = c.width, h = c.height;
        const bool packed = c.fourcc == VDEC_FOURCC_YUY2;
        const size_t fieldSize = packed ? size_t(w) * 2 * h : size_t(w) * h * 3 / 2;
        std::vector<uint8_t> buffer = RandomBytes(rng, 2 * fieldSize + 64);
        const std::vector<uint8_t> field(buffer.begin(), buffer.begin() + fieldSize);
        const std::vector<uint8_t> tail(buffer.begin() + 2 * fieldSize, buffer.end());

        std::vector<uint8_t> expected;
        if (packed) {
            expected = Doubled(field.data(), w * 2, w * 2, h);
        } else {
            expected = Doubled(field.data(), w, w, h);
            if (c.fourcc == VDEC_FOURCC_YV12) {
                const size_t chromaSize = size_t(w / 2) * (h / 2);
                std::vector<uint8_t> v = Doubled(field.data() + size_t(w) * h, w / 2, w / 2, h / 2);
                std::vector<uint8_t> u =
                    Doubled(field.data() + size_t(w) * h + chromaSize, w / 2, w / 2, h / 2);
                expected.insert(expected.end(), v.begin(), v.end());
                expected.insert(expected.end(), u.begin(), u.end());
            } else {
                std::vector<uint8_t> uv = Doubled(field.data() + size_t(w) * h, w, w, h / 2);
                expected.insert(expected.end(), uv.begin(), uv.end());
            }
        }
        ASSERT_EQ(expected.size(), 2 * fieldSize);

        uint32_t height = h;
        ASSERT_EQ(FieldDoublePicture(buffer.data(), c.fourcc, w, &height), VDEC_OK);
        EXPECT_EQ(height, 2 * h);
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), buffer.begin()));
        EXPECT_TRUE(std::equal(tail.begin(), tail.end(), buffer.begin() + 2 * fieldSize));
    }
}

// The documented example: a 720 x 288 field needs 622080 bytes once doubled
// and comes out 720 x 576 with averaged odd rows.
TEST(FieldStep, Field720x288Becomes720x576) {
    EXPECT_EQ(720u * 288 * 2 * 3 / 2, 622080u);
    std::vector<uint8_t> buffer(622080, 0);
    for (uint32_t row = 0; row < 288; ++row)
        std::memset(buffer.data() + size_t(row) * 720, int(row % 200), 720);
    uint32_t height = 288;
    ASSERT_EQ(FieldDoublePicture(buffer.data(), VDEC_FOURCC_YV12, 720, &height), VDEC_OK);
    EXPECT_EQ(height, 576u);
    EXPECT_EQ(buffer[size_t(10) * 720 + 5], 5);      // source row 5
    EXPECT_EQ(buffer[size_t(11) * 720 + 5], 5);      // (5 + 6) / 2
    EXPECT_EQ(buffer[size_t(399) * 720 + 700], 99);  // (199 + 0) / 2
    EXPECT_EQ(buffer[size_t(575) * 720], 287 % 200); // last row repeats row 574
}

TEST(FieldStep, OtherSizesPassUnchanged) {
    const PictureCase cases[] = {
        {VDEC_FOURCC_YV12, 704, 576},
        {VDEC_FOURCC_NV12, 352, 288},
        {VDEC_FOURCC_YUY2, 720, 480},
        {VDEC_FOURCC_YV12, 16, 8},
    };
    std::mt19937 rng(4);
    for (const PictureCase &c : cases) {
        std::vector<uint8_t> buffer = RandomBytes(rng, size_t(c.width) * c.height * 2);
        std::vector<uint8_t> before = buffer;
        uint32_t height = c.height;
        EXPECT_EQ(FieldDoublePicture(buffer.data(), c.fourcc, c.width, &height), VDEC_OK);
        EXPECT_EQ(height, c.height);
        EXPECT_EQ(buffer, before);
    }
}

TEST(FieldStep, UnknownFormatRefused) {
    const uint32_t formats[] = {QV_FOURCC('I', '4', '2', '0'), QV_FOURCC('U', 'Y', 'V', 'Y'), 0};
    for (uint32_t fourcc : formats) {
        for (uint32_t h : {288u, 576u}) {
            std::vector<uint8_t> buffer(size_t(720) * h * 3, 9);
            uint32_t height = h;
            EXPECT_EQ(FieldDoublePicture(buffer.data(), fourcc, 720, &height), VDEC_E_NOT_SUPPORTED);
            EXPECT_EQ(height, h);
            EXPECT_EQ(buffer[size_t(720) * h * 2], 9);
        }
    }
}

} // namespace
