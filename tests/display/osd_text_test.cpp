// On-screen-display texts: font heights, rectangles, the cache, and the
// structure of what the system's text engine draws (inside the rectangle,
// body and outline levels, a different text gives different pixels). The
// glyph pixels themselves are the platform's, so no test compares them.
#include <gtest/gtest.h>

#include <set>

#include "osd_test_util.h"

using namespace osdtest;

namespace {

TEST(OsdText, FontHeightByPictureWidth) {
    const struct {
        int32_t width, height;
    } cases[] = {{3840, -28}, {1920, -28}, {1919, -24}, {1280, -24}, {1279, -20}, {800, -20}, {799, -18},
                 {704, -18},  {703, -16},  {640, -16},  {639, -14},  {352, -14},  {351, -13}, {320, -13},
                 {319, -12},  {176, -12},  {175, -10},  {160, -10},  {1, -10}};
    for (const auto &c : cases)
        EXPECT_EQ(COsdString::FontHeight(c.width), c.height) << c.width;
}

TEST(OsdText, RectangleAlignment) {
    const struct {
        const char *name;
        int32_t x, y, tw, th, pw, ph;
        OsdRect expected;
    } cases[] = {
        {"x = 7 starts at 4", 7, 10, 50, 20, 704, 576, {4, 10, 60, 32}},
        {"aligned", 8, 12, 52, 20, 704, 576, {8, 12, 64, 34}},
        {"odd top and bottom", 9, 11, 49, 19, 704, 576, {8, 10, 60, 32}},
        {"moved left at the right edge", 680, 10, 50, 20, 704, 576, {652, 10, 704, 32}},
        {"right edge of a width not on 4", 680, 10, 50, 20, 706, 576, {652, 10, 704, 32}},
        {"moved up at the bottom", 10, 570, 50, 20, 704, 576, {8, 554, 64, 576}},
        {"wider than the picture", 0, 0, 800, 20, 704, 576, {0, 0, 704, 22}},
        {"past the picture", 800, 600, 20, 10, 704, 576, {680, 564, 704, 576}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(COsdString::TextRect(c.x, c.y, c.tw, c.th, c.pw, c.ph), c.expected) << c.name;
}

TEST(OsdText, DefaultFace) {
    Renderer r;
    ASSERT_NE(r.p, nullptr);
    const QV_WCHAR *face = r.p->Strings().FaceName();
    std::string name;
    for (size_t i = 0; face[i] != 0; ++i)
        name += char(face[i]);
    EXPECT_TRUE(name == OSD_FONT_FACE || name == OSD_FONT_FACE_FALLBACK) << name;
    EXPECT_EQ(r.p->Strings().CurrentFontHeight(), 0) << "no font before the first text";
}

// Luma positions that differ between two planes.
std::set<std::pair<int, int>> ChangedLuma(const Planes &a, const Planes &b) {
    std::set<std::pair<int, int>> out;
    for (int y = 0; y < a.h; ++y)
        for (int x = 0; x < a.w; ++x)
            if (a.Y(x, y) != b.Y(x, y))
                out.insert({x, y});
    return out;
}

struct TextDraw {
    Planes before, after;
    OsdRect rc;
    std::vector<OsdPixelRecord> pixels;
};

TextDraw DrawText(COsdObject *osd, uint32_t fourcc, int w, int h, const OsdItem &item) {
    TextDraw out;
    TestPicture pic(fourcc, w, h, 100, 90, 170);
    out.before = pic.Read();
    DISPLAY_PICTURE p = pic.Record();
    EXPECT_EQ(DrawOsd(osd, &p, &item, 1), OSD_OK);
    EXPECT_TRUE(pic.GuardIntact());
    out.after = pic.Read();
    out.rc = osd->Strings().EntryRect(0);
    if (const auto *px = osd->Strings().EntryPixels(0))
        out.pixels = *px;
    return out;
}

// Pixels only inside the rectangle; white body (luma 235, grey chroma),
// black outline that keeps the picture's colour.
TEST(OsdText, DrawsBodyAndOutlineInsideItsRectangle) {
    for (uint32_t fourcc : kFormats) {
        SCOPED_TRACE(FourCCName(fourcc));
        Renderer r;
        const TextDraw d = DrawText(r.p, fourcc, 704, 576, TextItem(101, 51, u"2024-05-06 12:34:56"));
        EXPECT_EQ(r.p->Strings().CurrentFontHeight(), -18);
        ASSERT_FALSE(d.rc.Empty());
        EXPECT_EQ(d.rc.nLeft, 100);
        EXPECT_EQ(d.rc.nTop, 50);
        EXPECT_EQ(d.rc.Width() % 4, 0);
        EXPECT_GE(d.rc.Height(), 18);
        EXPECT_LE(d.rc.Height(), 36);
        // The clock text at 18 pixels is well over 100 pixels wide.
        EXPECT_GT(d.rc.Width(), 100);
        EXPECT_LT(d.rc.Width(), 400);

        int body = 0, outline = 0;
        for (int y = 0; y < 576; ++y) {
            for (int x = 0; x < 704; ++x) {
                const uint8_t v = d.after.Y(x, y);
                if (v == d.before.Y(x, y))
                    continue;
                ASSERT_TRUE(x >= d.rc.nLeft && x < d.rc.nRight && y >= d.rc.nTop && y < d.rc.nBottom)
                    << x << "," << y;
                ASSERT_TRUE(v == 235 || v == 16) << int(v);
                (v == 235 ? body : outline)++;
                // The first row and column are margin: nothing but
                // outline may land there.
                if (x == d.rc.nLeft || y == d.rc.nTop) {
                    ASSERT_EQ(v, 16) << x << "," << y;
                }
            }
        }
        EXPECT_GT(body, 200);
        EXPECT_GT(outline, body / 2);
        // Chroma: grey only under body pixels; outlines keep the colour.
        const bool packed = IsPacked(fourcc);
        std::set<std::pair<int, int>> bodyChroma;
        for (const auto &rec : d.pixels) {
            if (rec.byKind == kOsdPixelBody) {
                const int x = d.rc.nLeft + rec.wX, y = d.rc.nTop + rec.wY;
                bodyChroma.insert({x / 2, packed ? y : y / 2});
                EXPECT_EQ(rec.byU, 128);
                EXPECT_EQ(rec.byV, 128);
            } else {
                EXPECT_EQ(rec.byU, 0);
                EXPECT_EQ(rec.byV, 0);
            }
        }
        for (int cy = 0; cy < d.after.ch; ++cy) {
            for (int cx = 0; cx < d.after.cw; ++cx) {
                const bool grey = bodyChroma.count({cx, cy}) != 0;
                ASSERT_EQ(d.after.U(cx, cy), grey ? 128 : 90) << cx << "," << cy;
                ASSERT_EQ(d.after.V(cx, cy), grey ? 128 : 170) << cx << "," << cy;
            }
        }
    }
}

TEST(OsdText, DifferentTextsDifferentPixels) {
    Renderer r;
    const TextDraw a = DrawText(r.p, DISPLAY_FOURCC_I420, 704, 576, TextItem(16, 16, u"12:34:56"));
    const TextDraw b = DrawText(r.p, DISPLAY_FOURCC_I420, 704, 576, TextItem(16, 16, u"12:34:57"));
    const TextDraw c = DrawText(r.p, DISPLAY_FOURCC_I420, 704, 576, TextItem(16, 16, u"12:34:56"));
    EXPECT_EQ(r.p->Strings().RenderCount(), 3u);
    EXPECT_NE(a.after.y, b.after.y);
    EXPECT_EQ(a.after.y, c.after.y) << "the same text draws the same pixels";
    // Only the last digit differs: the changes lie in the right part.
    const auto changed = ChangedLuma(a.after, b.after);
    ASSERT_FALSE(changed.empty());
    for (const auto &[x, y] : changed)
        EXPECT_GT(x, a.rc.nLeft + a.rc.Width() / 2) << x << "," << y;
}

// The clock drawn twice with the same text is rendered once; what changes
// the text, the position or the picture size renders again.
TEST(OsdText, RenderedOncePerText) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 704, 576, 7);
    DISPLAY_PICTURE p = pic.Record();
    OsdItem clock = TextItem(500, 20, u"2012-03-04 00:05:09");
    ASSERT_EQ(DrawOsd(r.p, &p, &clock, 1), OSD_OK);
    const Planes first = pic.Read();
    ASSERT_EQ(DrawOsd(r.p, &p, &clock, 1), OSD_OK);
    EXPECT_EQ(r.p->Strings().RenderCount(), 1u);
    EXPECT_EQ(pic.Read().y, first.y) << "drawn again from the cache";

    clock.body.szText[18] = QV_WCHAR(u'0'); // 00:05:09 -> 00:05:00
    ASSERT_EQ(DrawOsd(r.p, &p, &clock, 1), OSD_OK);
    EXPECT_EQ(r.p->Strings().RenderCount(), 2u);
    clock.wY = 40;
    ASSERT_EQ(DrawOsd(r.p, &p, &clock, 1), OSD_OK);
    EXPECT_EQ(r.p->Strings().RenderCount(), 3u);

    TestPicture big(DISPLAY_FOURCC_I420, 1920, 1080, 8);
    DISPLAY_PICTURE q = big.Record();
    ASSERT_EQ(DrawOsd(r.p, &q, &clock, 1), OSD_OK);
    EXPECT_EQ(r.p->Strings().RenderCount(), 4u);
    EXPECT_EQ(r.p->Strings().CurrentFontHeight(), -28);
    TestPicture small(DISPLAY_FOURCC_I420, 160, 120, 8);
    DISPLAY_PICTURE s = small.Record();
    OsdItem title = TextItem(4, 4, u"CH1");
    ASSERT_EQ(DrawOsd(r.p, &s, &title, 1), OSD_OK);
    EXPECT_EQ(r.p->Strings().CurrentFontHeight(), -10);
}

// Each text position has its own entry: two titles and a clock where only
// the clock changes render the clock alone.
TEST(OsdText, EntriesPerPosition) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_NV12, 704, 576, 7);
    DISPLAY_PICTURE p = pic.Record();
    OsdItem items[3] = {TextItem(16, 16, u"Camera 1"), TextItem(400, 16, u"00:00:00"),
                        TextItem(16, 540, u"Gate")};
    ASSERT_EQ(DrawOsd(r.p, &p, items, 3), OSD_OK);
    EXPECT_EQ(r.p->Strings().RenderCount(), 3u);
    EXPECT_EQ(r.p->Strings().EntryCount(), 3u);
    for (int second = 1; second < 5; ++second) {
        items[1].body.szText[7] = QV_WCHAR(u'0' + second);
        ASSERT_EQ(DrawOsd(r.p, &p, items, 3), OSD_OK);
    }
    EXPECT_EQ(r.p->Strings().RenderCount(), 7u);
    // Masks and bitmaps between the texts do not shift the text entries.
    OsdItem mixed[4] = {MaskItem(0, 0, 8, 8, OSD_MASK_MODE_MOSAIC), items[0], BitmapItem(100, 100, 8, 1),
                        items[1]};
    ASSERT_EQ(DrawOsd(r.p, &p, mixed, 4), OSD_OK);
    EXPECT_EQ(r.p->Strings().RenderCount(), 7u);
}

TEST(OsdText, MovedLeftAtTheRightEdge) {
    Renderer r;
    const TextDraw d = DrawText(r.p, DISPLAY_FOURCC_YUY2, 706, 288, TextItem(690, 100, u"Channel 01"));
    EXPECT_EQ(d.rc.nRight, 704);
    EXPECT_LT(d.rc.nLeft, 690 - 40);
    EXPECT_EQ(d.rc.nLeft % 4, 0);
    int drawn = 0;
    for (const auto &[x, y] : ChangedLuma(d.before, d.after)) {
        EXPECT_LT(x, 704);
        EXPECT_GE(x, d.rc.nLeft);
        drawn++;
    }
    EXPECT_GT(drawn, 100);
}

struct LevelCase {
    const char *name;
    uint32_t flags;
    uint8_t text, outline;
    bool body;       // body pixels drawn
    int outlineLuma; // -1: no outline
};

TEST(OsdText, SettingFlagsAndLevels) {
    const LevelCase cases[] = {
        {"default", 0, 0, 0, true, 16},
        {"outline only", OSD_FLAG_NO_BODY, 0, 0, false, 16},
        {"body only", OSD_FLAG_NO_OUTLINE, 0, 0, true, -1},
        {"outline level", OSD_FLAG_OUTLINE_LEVEL, 0, 128, true, 127},
        {"white text level given", OSD_FLAG_TEXT_LEVEL, 255, 0, true, 16},
        // One-bit text: any grey but white is black, so nothing is lit.
        {"light grey text level", OSD_FLAG_TEXT_LEVEL, 254, 0, false, -1},
        {"dark text level", OSD_FLAG_TEXT_LEVEL, 60, 0, false, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        OSD_SETTING s = DefaultSetting();
        s.dwFlags = c.flags;
        s.byTextLevel = c.text;
        s.byOutlineLevel = c.outline;
        Renderer r(s);
        const TextDraw d = DrawText(r.p, DISPLAY_FOURCC_I420, 352, 288, TextItem(20, 20, u"Hall 2"));
        std::set<int> values;
        for (const auto &[x, y] : ChangedLuma(d.before, d.after))
            values.insert(d.after.Y(x, y));
        std::set<int> expected;
        if (c.body)
            expected.insert(235);
        if (c.outlineLuma >= 0)
            expected.insert(c.outlineLuma);
        EXPECT_EQ(values, expected);
    }
}

TEST(OsdText, EmptyAndOverlongTexts) {
    Renderer r;
    const TextDraw empty = DrawText(r.p, DISPLAY_FOURCC_I420, 352, 288, TextItem(20, 20, u""));
    EXPECT_EQ(empty.after.y, empty.before.y);
    EXPECT_EQ(empty.after.u, empty.before.u);

    // Without a NUL within 128 units, the first 127 are the text.
    std::u16string longText(DEMUX_OSD_BODY_SIZE / 2, u'1');
    Renderer a, b;
    const TextDraw cut = DrawText(a.p, DISPLAY_FOURCC_I420, 1920, 1080, TextItem(0, 0, longText));
    const TextDraw exact =
        DrawText(b.p, DISPLAY_FOURCC_I420, 1920, 1080, TextItem(0, 0, longText.substr(0, 127)));
    EXPECT_EQ(cut.rc, exact.rc);
    EXPECT_EQ(cut.after.y, exact.after.y);
}

TEST(OsdText, DrawnOverMasks) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 352, 288, 7);
    DISPLAY_PICTURE p = pic.Record();
    const OsdItem items[] = {TextItem(20, 20, u"MASKED"),
                             MaskItem(0, 0, 200, 100, OSD_MASK_MODE_SOLID, 128, 128, 128)};
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    const Planes after = pic.Read();
    std::set<int> values;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x)
            values.insert(after.Y(x, y));
    uint8_t grey, u, v;
    OsdRgbToYuv(128, 128, 128, &grey, &u, &v);
    EXPECT_EQ(values, (std::set<int>{16, int(grey), 235}));
}

} // namespace
