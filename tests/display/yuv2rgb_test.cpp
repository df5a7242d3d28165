#include "display/yuv2rgb.h"
#include "display/yuv2rgb_simd.h"

#include <qvdisplay.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint8_t kFill = 0xCD;

const uint32_t kAllFormats[] = {DISPLAY_FOURCC_I420, DISPLAY_FOURCC_YV12, DISPLAY_FOURCC_NV12,
                                DISPLAY_FOURCC_NV21, DISPLAY_FOURCC_YUY2, DISPLAY_FOURCC_YVYU,
                                DISPLAY_FOURCC_UYVY, DISPLAY_FOURCC_IYU2};

std::string Name(uint32_t fourcc) {
    return std::string{char(fourcc & 0xFF), char((fourcc >> 8) & 0xFF), char((fourcc >> 16) & 0xFF),
                       char(fourcc >> 24)};
}

bool Is420(uint32_t fourcc) {
    return fourcc == DISPLAY_FOURCC_I420 || fourcc == DISPLAY_FOURCC_YV12 || fourcc == DISPLAY_FOURCC_NV12 ||
           fourcc == DISPLAY_FOURCC_NV21;
}
bool Is422(uint32_t fourcc) {
    return fourcc == DISPLAY_FOURCC_YUY2 || fourcc == DISPLAY_FOURCC_YVYU || fourcc == DISPLAY_FOURCC_UYVY;
}

// ---- An independent reference: the formulas on unpacked samples ----

struct Bgr {
    uint8_t b, g, r;
    bool operator==(const Bgr &o) const { return b == o.b && g == o.g && r == o.r; }
};

std::ostream &operator<<(std::ostream &os, const Bgr &p) {
    return os << "(B " << int(p.b) << ", G " << int(p.g) << ", R " << int(p.r) << ")";
}

uint8_t Saturate(int v) {
    if (v <= 0)
        return 0;
    return v >= 255 ? 255 : uint8_t(v);
}

Bgr Reference(int y, int u, int v, bool bHd) {
    const int kr = bHd ? 230 : 204, kgu = bHd ? 27 : 50, kgv = bHd ? 68 : 104, kb = bHd ? 271 : 258;
    const int c = y - 16, d = u - 128, e = v - 128;
    // C++ division truncates toward zero.
    return {Saturate((149 * c + kb * d) / 128), Saturate((149 * c - kgu * d - kgv * e) / 128),
            Saturate((149 * c + kr * e) / 128)};
}

// A picture as samples: luma per pixel, chroma per chroma site (w/2 x h/2,
// w/2 x h or w x h by format).
struct Samples {
    uint32_t fourcc, w, h, cw, ch;
    std::vector<uint8_t> y, u, v;

    int U(uint32_t x, uint32_t row) const { return u[ChromaIndex(x, row)]; }
    int V(uint32_t x, uint32_t row) const { return v[ChromaIndex(x, row)]; }
    size_t ChromaIndex(uint32_t x, uint32_t row) const {
        if (Is420(fourcc))
            return size_t(row / 2) * cw + x / 2;
        if (Is422(fourcc))
            return size_t(row) * cw + x / 2;
        return size_t(row) * cw + x;
    }
};

Samples RandomSamples(uint32_t fourcc, uint32_t w, uint32_t h, std::mt19937 &rng) {
    Samples s{fourcc, w, h, w, h, {}, {}, {}};
    if (Is420(fourcc)) {
        s.cw = w / 2;
        s.ch = h / 2;
    } else if (Is422(fourcc)) {
        s.cw = w / 2;
    }
    s.y.resize(size_t(w) * h);
    s.u.resize(size_t(s.cw) * s.ch);
    s.v.resize(s.u.size());
    for (auto *plane : {&s.y, &s.u, &s.v}) {
        for (size_t i = 0; i < plane->size(); i += 4) {
            const uint32_t word = uint32_t(rng());
            for (size_t k = 0; k < 4 && i + k < plane->size(); ++k)
                (*plane)[i + k] = uint8_t(word >> (8 * k));
        }
    }
    return s;
}

// Lays the samples out as the format says.
std::vector<uint8_t> Pack(const Samples &s) {
    const size_t w = s.w, h = s.h, cw = s.cw;
    std::vector<uint8_t> out;
    switch (s.fourcc) {
    case DISPLAY_FOURCC_I420:
    case DISPLAY_FOURCC_YV12: {
        out = s.y;
        const bool bVFirst = s.fourcc == DISPLAY_FOURCC_YV12;
        const std::vector<uint8_t> &first = bVFirst ? s.v : s.u, &second = bVFirst ? s.u : s.v;
        out.insert(out.end(), first.begin(), first.end());
        out.insert(out.end(), second.begin(), second.end());
        EXPECT_EQ(out.size(), w * h * 3 / 2);
        break;
    }
    case DISPLAY_FOURCC_NV12:
    case DISPLAY_FOURCC_NV21:
        out = s.y;
        for (size_t i = 0; i < s.u.size(); ++i) {
            out.push_back(s.fourcc == DISPLAY_FOURCC_NV12 ? s.u[i] : s.v[i]);
            out.push_back(s.fourcc == DISPLAY_FOURCC_NV12 ? s.v[i] : s.u[i]);
        }
        break;
    case DISPLAY_FOURCC_YUY2:
    case DISPLAY_FOURCC_YVYU:
    case DISPLAY_FOURCC_UYVY:
        for (size_t row = 0; row < h; ++row) {
            for (size_t i = 0; i < cw; ++i) {
                const uint8_t y0 = s.y[row * w + 2 * i], y1 = s.y[row * w + 2 * i + 1];
                const uint8_t u = s.u[row * cw + i], v = s.v[row * cw + i];
                if (s.fourcc == DISPLAY_FOURCC_YUY2)
                    out.insert(out.end(), {y0, u, y1, v});
                else if (s.fourcc == DISPLAY_FOURCC_YVYU)
                    out.insert(out.end(), {y0, v, y1, u});
                else
                    out.insert(out.end(), {u, y0, v, y1});
            }
        }
        break;
    case DISPLAY_FOURCC_IYU2:
        for (size_t i = 0; i < w * h; ++i)
            out.insert(out.end(), {s.u[i], s.y[i], s.v[i]});
        break;
    }
    return out;
}

// The expected destination: the reference pixels at their rows, the rest of
// the buffer left as it was.
std::vector<uint8_t> Expected(const Samples &s, std::vector<uint8_t> buffer, uint32_t pitch, bool bTopDown) {
    const bool bHd = s.w >= 1280 && s.h >= 720;
    for (uint32_t row = 0; row < s.h; ++row) {
        uint8_t *pOut = buffer.data() + size_t(bTopDown ? row : s.h - 1 - row) * pitch;
        for (uint32_t x = 0; x < s.w; ++x) {
            const Bgr p = Reference(s.y[size_t(row) * s.w + x], s.U(x, row), s.V(x, row), bHd);
            pOut[3 * x] = p.b;
            pOut[3 * x + 1] = p.g;
            pOut[3 * x + 2] = p.r;
        }
    }
    return buffer;
}

CONVERT_SETTING Setting(uint32_t fourcc, uint32_t w, uint32_t h, const std::vector<uint8_t> &src,
                        std::vector<uint8_t> &dst, uint32_t pitch, bool bTopDown) {
    CONVERT_SETTING setting{};
    setting.dwFourCC = fourcc;
    setting.wWidth = int32_t(w);
    setting.wHeight = int32_t(h);
    setting.pYuv = src.data();
    setting.dwYuvSize = uint32_t(src.size());
    setting.pRgb24 = dst.data();
    setting.dwRgbSize = uint32_t(dst.size());
    setting.bTopDown = bTopDown ? 1 : 0;
    setting.dwPicth = pitch;
    return setting;
}

// Destination buffers carry 16 bytes past the last row, which must stay.
size_t DestinationSize(uint32_t h, uint32_t pitch) {
    return size_t(h) * pitch + 16;
}

// The converters under test: the public one (widest vectors), the plain
// formulas, and each vector level this machine has.
struct Converter {
    const char *name;
    BOOL (*pfn)(const CONVERT_SETTING *);
};

BOOL ViaConvert(const CONVERT_SETTING *p) {
    CYuv2Rgb converter;
    CBaseConvert &base = converter;
    return base.Convert(p);
}
BOOL ViaScalar(const CONVERT_SETTING *p) {
    return CYuv2Rgb::ConvertScalar(p);
}
BOOL ViaSse2(const CONVERT_SETTING *p) {
    return Yuv2RgbConvertWith(p, Yuv2RgbVectors::kSse2);
}
BOOL ViaAvx2(const CONVERT_SETTING *p) {
    return Yuv2RgbConvertWith(p, Yuv2RgbVectors::kAvx2);
}

std::vector<Converter> Converters() {
    std::vector<Converter> list = {{"Convert", ViaConvert}, {"ConvertScalar", ViaScalar}};
    if (Yuv2RgbRowsFor(Yuv2RgbVectors::kSse2))
        list.push_back({"SSE2", ViaSse2});
    if (Yuv2RgbRowsFor(Yuv2RgbVectors::kAvx2))
        list.push_back({"AVX2", ViaAvx2});
    return list;
}

std::vector<uint8_t> Uniform(uint32_t fourcc, uint32_t w, uint32_t h, uint8_t y, uint8_t u, uint8_t v) {
    std::mt19937 rng(1);
    Samples s = RandomSamples(fourcc, w, h, rng);
    std::fill(s.y.begin(), s.y.end(), y);
    std::fill(s.u.begin(), s.u.end(), u);
    std::fill(s.v.begin(), s.v.end(), v);
    return Pack(s);
}

// ---- Known pixels ----

struct PixelCase {
    uint8_t y, u, v;
    bool bHd;
    Bgr expected; // stored blue, green, red
};

TEST(Yuv2RgbPixels, KnownValuesInEveryFormatAndRoutine) {
    const PixelCase cases[] = {
        {16, 128, 128, false, {0, 0, 0}},
        {16, 128, 128, true, {0, 0, 0}},
        {235, 128, 128, false, {254, 254, 254}},
        {235, 128, 128, true, {254, 254, 254}},
        {255, 128, 128, false, {255, 255, 255}},
        {255, 128, 128, true, {255, 255, 255}},
        // R = 32533 / 128 = 254, G = -63 / 128 and B = -119 / 128 truncate to 0.
        {81, 90, 240, false, {0, 0, 254}},
        {81, 90, 240, true, {0, 24, 255}},
    };
    for (const PixelCase &c : cases) {
        // Wide enough that the vector loops run; HD at the threshold size.
        const uint32_t w = c.bHd ? 1280 : 66, h = c.bHd ? 720 : 4, pitch = 3 * w;
        for (uint32_t fourcc : kAllFormats) {
            const std::vector<uint8_t> src = Uniform(fourcc, w, h, c.y, c.u, c.v);
            for (const Converter &conv : Converters()) {
                SCOPED_TRACE(Name(fourcc) + " " + conv.name + " Y " + std::to_string(c.y) + " U " +
                             std::to_string(c.u) + " V " + std::to_string(c.v) + (c.bHd ? " HD" : " SD"));
                std::vector<uint8_t> dst(DestinationSize(h, pitch), kFill);
                const CONVERT_SETTING setting = Setting(fourcc, w, h, src, dst, pitch, true);
                ASSERT_TRUE(conv.pfn(&setting));
                size_t wrong = 0;
                for (size_t i = 0; i < size_t(w) * h; ++i)
                    wrong += !(Bgr{dst[3 * i], dst[3 * i + 1], dst[3 * i + 2]} == c.expected);
                EXPECT_EQ(wrong, 0u) << "first pixel " << Bgr{dst[0], dst[1], dst[2]};
            }
        }
    }
}

// ---- Coefficient set chosen by size ----

struct SizeCase {
    uint32_t fourcc, w, h;
    bool bHd;
};

TEST(Yuv2RgbCoefficients, HighDefinitionFrom1280x720) {
    const SizeCase cases[] = {
        {DISPLAY_FOURCC_I420, 1280, 720, true},  {DISPLAY_FOURCC_IYU2, 1280, 720, true},
        {DISPLAY_FOURCC_YUY2, 1280, 719, false}, {DISPLAY_FOURCC_IYU2, 1279, 720, false},
        {DISPLAY_FOURCC_I420, 1278, 720, false}, {DISPLAY_FOURCC_NV12, 1280, 718, false},
        {DISPLAY_FOURCC_NV21, 1282, 722, true},  {DISPLAY_FOURCC_UYVY, 720, 1280, false},
    };
    for (const SizeCase &c : cases) {
        const std::vector<uint8_t> src = Uniform(c.fourcc, c.w, c.h, 81, 90, 240);
        for (const Converter &conv : Converters()) {
            SCOPED_TRACE(Name(c.fourcc) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) + " " +
                         conv.name);
            std::vector<uint8_t> dst(DestinationSize(c.h, 3 * c.w), kFill);
            const CONVERT_SETTING setting = Setting(c.fourcc, c.w, c.h, src, dst, 3 * c.w, false);
            ASSERT_TRUE(conv.pfn(&setting));
            const Bgr expected = c.bHd ? Bgr{0, 24, 255} : Bgr{0, 0, 254};
            EXPECT_EQ((Bgr{dst[0], dst[1], dst[2]}), expected);
            const size_t last = (size_t(c.w) * c.h - 1) * 3;
            EXPECT_EQ((Bgr{dst[last], dst[last + 1], dst[last + 2]}), expected);
        }
    }
}

// ---- Refusals: false and nothing written ----

struct RefusalCase {
    const char *what;
    uint32_t fourcc;
    int32_t w, h;
    uint32_t pitchExtra; // added to 3 x width
    bool bNullSource, bNullDestination;
};

TEST(Yuv2RgbRefusals, FalseAndNothingWritten) {
    const RefusalCase cases[] = {
        {"I420 odd width", DISPLAY_FOURCC_I420, 35, 4, 0, false, false},
        {"I420 odd height", DISPLAY_FOURCC_I420, 34, 5, 0, false, false},
        {"YV12 odd width", DISPLAY_FOURCC_YV12, 3, 2, 0, false, false},
        {"NV12 odd height", DISPLAY_FOURCC_NV12, 66, 3, 0, false, false},
        {"NV21 odd width", DISPLAY_FOURCC_NV21, 65, 2, 0, false, false},
        {"YUY2 odd width", DISPLAY_FOURCC_YUY2, 33, 2, 0, false, false},
        {"YVYU odd width", DISPLAY_FOURCC_YVYU, 1, 1, 0, false, false},
        {"UYVY odd width", DISPLAY_FOURCC_UYVY, 65, 4, 0, false, false},
        {"unknown format", QV_FOURCC('R', 'G', 'B', '3'), 16, 2, 0, false, false},
        {"zero format", 0, 16, 2, 0, false, false},
        {"null source", DISPLAY_FOURCC_I420, 16, 2, 0, true, false},
        {"null destination", DISPLAY_FOURCC_I420, 16, 2, 0, false, true},
        {"zero width", DISPLAY_FOURCC_IYU2, 0, 2, 0, false, false},
        {"negative height", DISPLAY_FOURCC_IYU2, 4, -2, 0, false, false},
        {"stride below 3 x width", DISPLAY_FOURCC_I420, 16, 2, uint32_t(-1), false, false},
    };
    const std::vector<uint8_t> src(4096, 100);
    for (const RefusalCase &c : cases) {
        for (const Converter &conv : Converters()) {
            SCOPED_TRACE(std::string(c.what) + " " + conv.name);
            std::vector<uint8_t> dst(4096, kFill);
            CONVERT_SETTING setting = Setting(c.fourcc, 0, 0, src, dst, 0, true);
            setting.wWidth = c.w;
            setting.wHeight = c.h;
            setting.dwPicth = uint32_t(3 * c.w) + c.pitchExtra;
            setting.dwYuvSize = setting.dwRgbSize = 0;
            if (c.bNullSource)
                setting.pYuv = nullptr;
            if (c.bNullDestination)
                setting.pRgb24 = nullptr;
            EXPECT_FALSE(conv.pfn(&setting));
            EXPECT_EQ(dst, std::vector<uint8_t>(4096, kFill));
        }
    }
    for (const Converter &conv : Converters())
        EXPECT_FALSE(conv.pfn(nullptr)) << conv.name;
}

// The 4:2:2 formats need an even width only; IYU2 has no condition.
TEST(Yuv2RgbRefusals, OddSizesThatConvert) {
    const SizeCase cases[] = {{DISPLAY_FOURCC_YUY2, 34, 3, false},
                              {DISPLAY_FOURCC_UYVY, 2, 1, false},
                              {DISPLAY_FOURCC_IYU2, 3, 3, false},
                              {DISPLAY_FOURCC_IYU2, 1, 1, false},
                              {DISPLAY_FOURCC_IYU2, 67, 5, false}};
    std::mt19937 rng(7);
    for (const SizeCase &c : cases) {
        const Samples s = RandomSamples(c.fourcc, c.w, c.h, rng);
        const std::vector<uint8_t> src = Pack(s);
        for (const Converter &conv : Converters()) {
            SCOPED_TRACE(Name(c.fourcc) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) + " " +
                         conv.name);
            std::vector<uint8_t> dst(DestinationSize(c.h, 3 * c.w), kFill);
            const CONVERT_SETTING setting = Setting(c.fourcc, c.w, c.h, src, dst, 3 * c.w, false);
            ASSERT_TRUE(conv.pfn(&setting));
            EXPECT_EQ(dst, Expected(s, std::vector<uint8_t>(dst.size(), kFill), 3 * c.w, false));
        }
    }
}

// ---- Row order and stride ----

TEST(Yuv2RgbRows, BottomUpPutsTheFirstRowLast) {
    // Two rows: white over black.
    const std::vector<uint8_t> src = {235, 235, 16, 16, 128, 128};
    for (const Converter &conv : Converters()) {
        for (bool bTopDown : {false, true}) {
            SCOPED_TRACE(std::string(conv.name) + (bTopDown ? " top-down" : " bottom-up"));
            std::vector<uint8_t> dst(12, kFill);
            CONVERT_SETTING setting = Setting(DISPLAY_FOURCC_I420, 2, 2, src, dst, 6, bTopDown);
            ASSERT_TRUE(conv.pfn(&setting));
            const std::vector<uint8_t> white(6, 254), black(6, 0);
            EXPECT_EQ(std::vector<uint8_t>(dst.begin(), dst.begin() + 6), bTopDown ? white : black);
            EXPECT_EQ(std::vector<uint8_t>(dst.begin() + 6, dst.end()), bTopDown ? black : white);
        }
    }
}

TEST(Yuv2RgbRows, StridePaddingIsNotWritten) {
    std::mt19937 rng(3);
    const uint32_t w = 70, h = 6, pitch = 3 * w + 9;
    for (uint32_t fourcc : kAllFormats) {
        const Samples s = RandomSamples(fourcc, w, h, rng);
        const std::vector<uint8_t> src = Pack(s);
        for (const Converter &conv : Converters()) {
            SCOPED_TRACE(Name(fourcc) + " " + conv.name);
            // No extra bytes after the last row: the size is exactly what the
            // conversion reaches.
            std::vector<uint8_t> dst(size_t(h - 1) * pitch + 3 * w, kFill);
            const CONVERT_SETTING setting = Setting(fourcc, w, h, src, dst, pitch, false);
            ASSERT_TRUE(conv.pfn(&setting));
            for (uint32_t row = 0; row + 1 < h; ++row)
                for (uint32_t i = 3 * w; i < pitch; ++i)
                    ASSERT_EQ(dst[size_t(row) * pitch + i], kFill) << "row " << row << " byte " << i;
            EXPECT_EQ(dst, Expected(s, std::vector<uint8_t>(dst.size(), kFill), pitch, false));
        }
    }
}

// ---- Sizes given with the setting ----

struct BufferSizeCase {
    const char *what;
    int32_t yuvDelta, rgbDelta; // against what the conversion reaches
    bool bZeroYuv, bZeroRgb;
    bool bOk;
};

TEST(Yuv2RgbSizes, TooSmallBuffersAreReportedAndNotTouched) {
    const BufferSizeCase cases[] = {
        {"exact sizes", 0, 0, false, false, true},
        {"sizes not given", 0, 0, true, true, true},
        {"larger sizes", 100, 100, false, false, true},
        {"picture one byte short", -1, 0, false, false, false},
        {"destination one byte short", 0, -1, false, false, false},
        {"picture short, destination not given", -1, 0, false, true, false},
    };
    const uint32_t w = 64, h = 4, pitch = 3 * w + 4;
    for (uint32_t fourcc : kAllFormats) {
        std::mt19937 rng(5);
        const Samples s = RandomSamples(fourcc, w, h, rng);
        const std::vector<uint8_t> src = Pack(s);
        const size_t rgbReached = size_t(h - 1) * pitch + 3 * w;
        for (const BufferSizeCase &c : cases) {
            for (const Converter &conv : Converters()) {
                SCOPED_TRACE(Name(fourcc) + " " + c.what + " " + conv.name);
                std::vector<uint8_t> dst(rgbReached + 200, kFill);
                CONVERT_SETTING setting = Setting(fourcc, w, h, src, dst, pitch, true);
                setting.dwYuvSize = c.bZeroYuv ? 0 : uint32_t(int64_t(src.size()) + c.yuvDelta);
                setting.dwRgbSize = c.bZeroRgb ? 0 : uint32_t(int64_t(rgbReached) + c.rgbDelta);
#ifndef _WIN32
                setenv("QVPLAY_DEBUG_OUTPUT", "1", 1);
                testing::internal::CaptureStderr();
#endif
                const BOOL ok = conv.pfn(&setting);
#ifndef _WIN32
                const std::string output = testing::internal::GetCapturedStderr();
                unsetenv("QVPLAY_DEBUG_OUTPUT");
#endif
                EXPECT_EQ(ok != 0, c.bOk);
                if (c.bOk) {
                    EXPECT_EQ(dst, Expected(s, std::vector<uint8_t>(dst.size(), kFill), pitch, true));
                } else {
                    EXPECT_EQ(dst, std::vector<uint8_t>(dst.size(), kFill));
                }
#ifndef _WIN32
                char line[512];
                std::snprintf(
                    line, sizeof(line),
                    "EXCEPTION_ACCESS_VIOLATION occurs in CYuv2Rgb::Convert!\n"
                    "CONVERT_SETTING::dwFourCC=0x%X, wWidth=%u, wHeight=%u, pYuv=0x%p, pRgb24=0x%p, "
                    "bTopDown=1, dwPicth=%u\n",
                    fourcc, w, h, static_cast<const void *>(src.data()), static_cast<void *>(dst.data()),
                    pitch);
                EXPECT_EQ(output, c.bOk ? std::string() : std::string(line));
#endif
            }
        }
    }
}

// ---- Every format against the reference ----

TEST(Yuv2RgbFormats, EachFormatMatchesTheReference) {
    struct Size {
        uint32_t w, h;
    };
    // Below and above one vector step, with and without a scalar tail.
    const Size sizes[] = {{2, 2}, {6, 4}, {16, 2}, {18, 6}, {32, 2}, {34, 4}, {66, 2}, {98, 4}};
    std::mt19937 rng(11);
    for (uint32_t fourcc : kAllFormats) {
        for (const Size &size : sizes) {
            const Samples s = RandomSamples(fourcc, size.w, size.h, rng);
            const std::vector<uint8_t> src = Pack(s);
            for (bool bTopDown : {false, true}) {
                const uint32_t pitch = 3 * size.w + (bTopDown ? 0 : 5);
                const std::vector<uint8_t> expected =
                    Expected(s, std::vector<uint8_t>(DestinationSize(size.h, pitch), kFill), pitch, bTopDown);
                for (const Converter &conv : Converters()) {
                    SCOPED_TRACE(Name(fourcc) + " " + std::to_string(size.w) + "x" + std::to_string(size.h) +
                                 (bTopDown ? " top-down " : " bottom-up ") + conv.name);
                    std::vector<uint8_t> dst(expected.size(), kFill);
                    const CONVERT_SETTING setting =
                        Setting(fourcc, size.w, size.h, src, dst, pitch, bTopDown);
                    ASSERT_TRUE(conv.pfn(&setting));
                    EXPECT_EQ(dst, expected);
                }
            }
        }
    }
}

// High-definition pictures (with scalar tails) against the reference.
TEST(Yuv2RgbFormats, HighDefinitionMatchesTheReference) {
    std::mt19937 rng(13);
    const uint32_t w = 1282, h = 722, pitch = DISPLAY_RGB24_STRIDE(w);
    for (uint32_t fourcc : {DISPLAY_FOURCC_I420, DISPLAY_FOURCC_NV21, DISPLAY_FOURCC_UYVY}) {
        const Samples s = RandomSamples(fourcc, w, h, rng);
        const std::vector<uint8_t> src = Pack(s);
        const std::vector<uint8_t> expected =
            Expected(s, std::vector<uint8_t>(DestinationSize(h, pitch), kFill), pitch, false);
        for (const Converter &conv : Converters()) {
            SCOPED_TRACE(Name(fourcc) + " " + conv.name);
            std::vector<uint8_t> dst(expected.size(), kFill);
            const CONVERT_SETTING setting = Setting(fourcc, w, h, src, dst, pitch, false);
            ASSERT_TRUE(conv.pfn(&setting));
            EXPECT_TRUE(dst == expected);
        }
    }
}

// Every Y, U, V combination through every routine, in both sets: 4:2:0
// pictures whose 2 x 2 blocks each hold one U, V pair and four Y values.
TEST(Yuv2RgbFormats, EveryCombinationInBothSets) {
    for (uint32_t w : {1278u, 1280u}) {
        const uint32_t h = 720;
        const bool bHd = w >= 1280;
        const uint64_t blocksPerPicture = uint64_t(w / 2) * (h / 2), allBlocks = 256ull * 256 * 64;
        std::vector<uint8_t> src(size_t(w) * h * 3 / 2);
        for (uint64_t first = 0; first < allBlocks; first += blocksPerPicture) {
            uint8_t *pU = src.data() + size_t(w) * h;
            uint8_t *pV = pU + size_t(w / 2) * (h / 2);
            for (uint32_t by = 0; by < h / 2; ++by) {
                for (uint32_t bx = 0; bx < w / 2; ++bx) {
                    const uint64_t block = (first + uint64_t(by) * (w / 2) + bx) % allBlocks;
                    pU[by * (w / 2) + bx] = uint8_t(block >> 6);
                    pV[by * (w / 2) + bx] = uint8_t(block >> 14);
                    for (uint32_t i = 0; i < 4; ++i)
                        src[size_t(2 * by + i / 2) * w + 2 * bx + i % 2] = uint8_t(block * 4 + i);
                }
            }
            std::vector<uint8_t> expected(size_t(w) * h * 3);
            for (uint32_t row = 0; row < h; ++row) {
                for (uint32_t x = 0; x < w; ++x) {
                    const size_t c = size_t(row / 2) * (w / 2) + x / 2;
                    const Bgr p = Reference(src[size_t(row) * w + x], pU[c], pV[c], bHd);
                    std::memcpy(&expected[(size_t(row) * w + x) * 3], &p, 3);
                }
            }
            for (const Converter &conv : Converters()) {
                std::vector<uint8_t> dst(expected.size());
                const CONVERT_SETTING setting = Setting(DISPLAY_FOURCC_I420, w, h, src, dst, 3 * w, true);
                ASSERT_TRUE(conv.pfn(&setting));
                ASSERT_TRUE(dst == expected) << conv.name << (bHd ? " HD" : " SD") << " from block " << first;
            }
        }
    }
}

// ---- Vector routines against the plain formulas ----

TEST(Yuv2RgbVectors, SameBytesAsTheScalarRoutine) {
    struct Size {
        uint32_t w, h;
    };
    std::vector<Size> sizes;
    for (uint32_t w : {2u, 6u, 14u, 18u, 30u, 34u, 62u, 66u, 126u, 130u, 702u, 704u})
        sizes.push_back({w, 4});
    // High definition, with and without a tail.
    sizes.push_back({1282, 720});
    sizes.push_back({1920, 722});
    std::mt19937 rng(17);
    for (uint32_t fourcc : kAllFormats) {
        std::vector<Size> formatSizes = sizes;
        if (fourcc == DISPLAY_FOURCC_IYU2 || Is422(fourcc)) {
            formatSizes.push_back({fourcc == DISPLAY_FOURCC_IYU2 ? 67u : 68u, 5});
            formatSizes.push_back({fourcc == DISPLAY_FOURCC_IYU2 ? 1281u : 1282u, 721});
        }
        for (const Size &size : formatSizes) {
            const Samples s = RandomSamples(fourcc, size.w, size.h, rng);
            const std::vector<uint8_t> src = Pack(s);
            for (bool bTopDown : {false, true}) {
                // High-definition pictures bottom-up only, to keep the test short.
                if (bTopDown && size.h >= 720)
                    continue;
                const uint32_t pitch = 3 * size.w + (bTopDown ? 3 : 0);
                std::vector<uint8_t> reference(DestinationSize(size.h, pitch), kFill);
                const CONVERT_SETTING scalarSetting =
                    Setting(fourcc, size.w, size.h, src, reference, pitch, bTopDown);
                ASSERT_TRUE(CYuv2Rgb::ConvertScalar(&scalarSetting));
                for (const Converter &conv : Converters()) {
                    std::vector<uint8_t> dst(reference.size(), kFill);
                    const CONVERT_SETTING setting =
                        Setting(fourcc, size.w, size.h, src, dst, pitch, bTopDown);
                    ASSERT_TRUE(conv.pfn(&setting));
                    EXPECT_TRUE(dst == reference) << Name(fourcc) << " " << size.w << "x" << size.h
                                                  << (bTopDown ? " top-down " : " bottom-up ") << conv.name;
                }
            }
        }
    }
}

TEST(Yuv2RgbVectors, BestLevelIsWhatConvertUses) {
    const Yuv2RgbVectors best = Yuv2RgbBestVectors();
#if defined(__SSE2__)
    EXPECT_NE(best, Yuv2RgbVectors::kNone);
#endif
#if defined(__x86_64__) && !defined(_WIN32)
    EXPECT_EQ(best == Yuv2RgbVectors::kAvx2, __builtin_cpu_supports("avx2") != 0);
#else
    EXPECT_EQ(Yuv2RgbRowsFor(Yuv2RgbVectors::kAvx2), nullptr);
#endif
    EXPECT_EQ(Yuv2RgbRowsFor(Yuv2RgbVectors::kNone), nullptr);
    if (best != Yuv2RgbVectors::kNone) {
        EXPECT_NE(Yuv2RgbRowsFor(best), nullptr);
    }
}

} // namespace
