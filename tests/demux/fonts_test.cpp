// Built-in bitmap fonts: table contents, lookup limits and clipped drawing.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "demux/fonts.h"

namespace {

bool Pixel(const FontGlyph &glyph, uint32_t x, uint32_t y) {
    return (glyph.pBits[y * glyph.wStride + x / 8] >> (7 - x % 8)) & 1;
}

bool BitmapPixel(const std::vector<uint8_t> &bits, uint32_t stride, uint32_t x, uint32_t y) {
    return (bits[y * stride + x / 8] >> (7 - x % 8)) & 1;
}

TEST(Fonts, AsciiGlyphOfA) {
    // Unifont's "A": rows 4 to 13 of an 8 x 16 cell.
    static const uint8_t kA[16] = {0x00, 0x00, 0x00, 0x00, 0x18, 0x24, 0x24, 0x42,
                                   0x42, 0x7E, 0x42, 0x42, 0x42, 0x42, 0x00, 0x00};
    FontGlyph glyph;
    ASSERT_TRUE(GetAsciiGlyph('A', 16, &glyph));
    EXPECT_EQ(glyph.wWidth, 8);
    EXPECT_EQ(glyph.wHeight, 16);
    EXPECT_EQ(glyph.wStride, 1);
    EXPECT_EQ(0, std::memcmp(glyph.pBits, kA, 16));
}

TEST(Fonts, LookupLimits) {
    struct Case {
        uint32_t nCode;
        uint32_t nHeight;
        bool bFound;
    };
    static const Case kCases[] = {
        {0x20, 16, true},  {0x7E, 16, true},  {0x20, 32, true},  {0x7E, 32, true},
        {0x1F, 16, false}, {0x7F, 16, false}, {0x80, 32, false}, {0, 16, false},
        {'A', 8, false},   {'A', 24, false},  {'A', 0, false},   {'A', 17, false},
    };
    for (const Case &c : kCases) {
        FontGlyph glyph;
        EXPECT_EQ(GetAsciiGlyph(c.nCode, c.nHeight, &glyph), c.bFound) << c.nCode << " at " << c.nHeight;
    }
    FontGlyph glyph;
    EXPECT_FALSE(GetAsciiGlyph('A', 16, nullptr));
    EXPECT_FALSE(GetHanGlyph(-1, 16, &glyph));
    EXPECT_FALSE(GetHanGlyph(kFontHanCount, 16, &glyph));
    EXPECT_FALSE(GetHanGlyph(kFontHanRi, 24, &glyph));
    EXPECT_EQ(GetHanCodePoint(kFontHanCount), 0u);
}

TEST(Fonts, ThirtyTwoPixelFacesDoubleTheSixteenPixelOnes) {
    for (uint32_t code = kFontAsciiFirst; code <= kFontAsciiLast; ++code) {
        FontGlyph small, big;
        ASSERT_TRUE(GetAsciiGlyph(code, 16, &small));
        ASSERT_TRUE(GetAsciiGlyph(code, 32, &big));
        ASSERT_EQ(big.wWidth, 16);
        ASSERT_EQ(big.wHeight, 32);
        for (uint32_t y = 0; y < 32; ++y)
            for (uint32_t x = 0; x < 16; ++x)
                ASSERT_EQ(Pixel(big, x, y), Pixel(small, x / 2, y / 2)) << "code " << code;
    }
    for (int c = 0; c < kFontHanCount; ++c) {
        FontGlyph small, big;
        ASSERT_TRUE(GetHanGlyph(c, 16, &small));
        ASSERT_TRUE(GetHanGlyph(c, 32, &big));
        ASSERT_EQ(small.wWidth, 16);
        ASSERT_EQ(big.wWidth, 32);
        for (uint32_t y = 0; y < 32; ++y)
            for (uint32_t x = 0; x < 32; ++x)
                ASSERT_EQ(Pixel(big, x, y), Pixel(small, x / 2, y / 2)) << "character " << c;
    }
}

TEST(Fonts, OnlyTheSpaceIsBlank) {
    for (uint32_t code = kFontAsciiFirst; code <= kFontAsciiLast; ++code) {
        FontGlyph glyph;
        ASSERT_TRUE(GetAsciiGlyph(code, 16, &glyph));
        int set = 0;
        for (uint32_t i = 0; i < 16; ++i)
            set += glyph.pBits[i] != 0;
        EXPECT_EQ(set == 0, code == ' ') << "code " << code;
    }
    for (int c = 0; c < kFontHanCount; ++c) {
        FontGlyph glyph;
        ASSERT_TRUE(GetHanGlyph(c, 16, &glyph));
        int set = 0;
        for (uint32_t i = 0; i < 32; ++i)
            set += glyph.pBits[i] != 0;
        EXPECT_GT(set, 0) << "character " << c;
    }
}

TEST(Fonts, WeekdayNames) {
    // 1 Monday .. 7 Sunday: "xingqi" followed by the day's character.
    static const uint32_t kDay[8] = {0, 0x4E00, 0x4E8C, 0x4E09, 0x56DB, 0x4E94, 0x516D, 0x65E5};
    for (uint32_t day = 1; day <= 7; ++day) {
        int chars[3] = {-1, -1, -1};
        ASSERT_TRUE(GetWeekdayHanChars(day, chars));
        EXPECT_EQ(GetHanCodePoint(chars[0]), 0x661Fu);
        EXPECT_EQ(GetHanCodePoint(chars[1]), 0x671Fu);
        EXPECT_EQ(GetHanCodePoint(chars[2]), kDay[day]) << "day " << day;
    }
    int chars[3];
    EXPECT_FALSE(GetWeekdayHanChars(0, chars));
    EXPECT_FALSE(GetWeekdayHanChars(8, chars));
}

// The committed tables match the font they were generated from, where that
// font is installed.
TEST(Fonts, TablesMatchUnifont) {
#ifdef _WIN32
    const char *path = "Z:/usr/share/unifont/unifont.hex";
#else
    const char *path = "/usr/share/unifont/unifont.hex";
#endif
    FILE *file = std::fopen(path, "r");
    if (file == nullptr)
        GTEST_SKIP() << "unifont.hex not installed";
    std::map<uint32_t, std::string> hex;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        unsigned code = 0;
        char bits[200] = {0};
        if (std::sscanf(line, "%x:%199s", &code, bits) == 2)
            hex[code] = bits;
    }
    std::fclose(file);
    auto toHex = [](const FontGlyph &glyph) {
        std::string text;
        char buffer[3];
        for (uint32_t i = 0; i < uint32_t(glyph.wStride) * glyph.wHeight; ++i) {
            std::snprintf(buffer, sizeof buffer, "%02X", glyph.pBits[i]);
            text += buffer;
        }
        return text;
    };
    for (uint32_t code = kFontAsciiFirst; code <= kFontAsciiLast; ++code) {
        FontGlyph glyph;
        ASSERT_TRUE(GetAsciiGlyph(code, 16, &glyph));
        EXPECT_EQ(toHex(glyph), hex[code]) << "code " << code;
    }
    for (int c = 0; c < kFontHanCount; ++c) {
        FontGlyph glyph;
        ASSERT_TRUE(GetHanGlyph(c, 16, &glyph));
        EXPECT_EQ(toHex(glyph), hex[GetHanCodePoint(c)]) << "character " << c;
    }
}

TEST(Fonts, DrawGlyphAtAnUnalignedColumn) {
    FontGlyph glyph;
    ASSERT_TRUE(GetAsciiGlyph('A', 16, &glyph));
    const uint32_t stride = 4, rows = 20;
    std::vector<uint8_t> bits(stride * rows, 0);
    DrawGlyph(bits.data(), stride, rows, 11, 2, glyph);
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < stride * 8; ++x) {
            const bool inside = x >= 11 && x < 19 && y >= 2 && y < 18;
            const bool expected = inside && Pixel(glyph, x - 11, y - 2);
            ASSERT_EQ(BitmapPixel(bits, stride, x, y), expected) << x << "," << y;
        }
}

TEST(Fonts, DrawGlyphClipsAtTheEdges) {
    FontGlyph glyph;
    ASSERT_TRUE(GetHanGlyph(kFontHanXing, 32, &glyph));
    // Guard bytes behind the bitmap must stay untouched.
    const uint32_t stride = 3, rows = 10, guard = 64;
    std::vector<uint8_t> bits(stride * rows + guard, 0);
    DrawGlyph(bits.data(), stride, rows, 10, 0, glyph); // 32 wide from column 10 of 24
    for (uint32_t i = stride * rows; i < bits.size(); ++i)
        ASSERT_EQ(bits[i], 0) << "guard byte " << i;
    for (uint32_t y = 0; y < rows; ++y)
        for (uint32_t x = 0; x < stride * 8; ++x) {
            const bool expected = x >= 10 && Pixel(glyph, x - 10, y);
            ASSERT_EQ(BitmapPixel(bits, stride, x, y), expected) << x << "," << y;
        }
    // Entirely outside: nothing drawn.
    std::vector<uint8_t> empty(stride * rows, 0);
    DrawGlyph(empty.data(), stride, rows, 24, 0, glyph);
    DrawGlyph(empty.data(), stride, rows, 0, 10, glyph);
    DrawGlyph(empty.data(), stride, rows, 0xFFFFFFF0u, 0xFFFFFFF0u, glyph);
    EXPECT_EQ(std::vector<uint8_t>(stride * rows, 0), empty);
}

TEST(Fonts, DrawGlyphAddsToWhatIsThere) {
    FontGlyph glyph;
    ASSERT_TRUE(GetAsciiGlyph('-', 16, &glyph));
    std::vector<uint8_t> bits(16, 0xFF);
    DrawGlyph(bits.data(), 1, 16, 0, 0, glyph);
    EXPECT_EQ(std::vector<uint8_t>(16, 0xFF), bits);
}

} // namespace
