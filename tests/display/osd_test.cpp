// On-screen-display renderer: argument checks, status, masks (solid and
// mosaic), one-bit bitmaps and their cache, and the six pixel formats.
#include <gtest/gtest.h>

#include <set>

#include "osd_test_util.h"

using namespace osdtest;

namespace {

struct CreateCase {
    const char *name;
    bool nullOut;
    bool nullSetting;
    uint32_t size;
    uint32_t flags;
    uint8_t textLevel;
    int32_t expected;
};

TEST(OsdCreate, ChecksInOrder) {
    const CreateCase cases[] = {
        {"null out", true, false, OSD_SETTING_SIZE, 0, 0, OSD_E_NULL_POINTER},
        {"null out before size", true, false, 7, 0, 0, OSD_E_NULL_POINTER},
        {"null setting", false, true, 0, 0, 0, OSD_E_NULL_POINTER},
        {"size short", false, false, OSD_SETTING_SIZE - 4, 0, 0, OSD_E_BAD_SIZE},
        {"size long", false, false, OSD_SETTING_SIZE + 4, OSD_FLAG_TEXT_LEVEL, 5, OSD_E_BAD_SIZE},
        {"level 5 refused", false, false, OSD_SETTING_SIZE, OSD_FLAG_TEXT_LEVEL, 5, OSD_E_BAD_TEXT_LEVEL},
        {"level 7 refused", false, false, OSD_SETTING_SIZE, OSD_FLAG_TEXT_LEVEL, 7, OSD_E_BAD_TEXT_LEVEL},
        {"level 8 accepted", false, false, OSD_SETTING_SIZE, OSD_FLAG_TEXT_LEVEL, 8, OSD_OK},
        {"level ignored without flag", false, false, OSD_SETTING_SIZE, 0, 5, OSD_OK},
        {"default", false, false, OSD_SETTING_SIZE, 0, 0, OSD_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        OSD_SETTING s{};
        s.dwSize = c.size;
        s.dwFlags = c.flags;
        s.byTextLevel = c.textLevel;
        COsdObject *p = reinterpret_cast<COsdObject *>(uintptr_t(0x1234));
        const int32_t r = CreateOsd(c.nullSetting ? nullptr : &s, c.nullOut ? nullptr : &p);
        EXPECT_EQ(r, c.expected);
        if (r == OSD_OK) {
            EXPECT_NE(p, nullptr);
            DestroyOsd(p);
        } else if (!c.nullOut) {
            EXPECT_EQ(p, reinterpret_cast<COsdObject *>(uintptr_t(0x1234))) << "untouched on failure";
        }
    }
}

// Each row breaks one more thing than the row after it, so a check made out
// of order shows as the wrong code.
TEST(OsdDraw, ChecksInOrder) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 64, 48);
    OsdItem item = MaskItem(0, 0, 8, 8, OSD_MASK_MODE_SOLID);
    struct Case {
        const char *name;
        bool nullRenderer, nullItems, zeroCount, nullPicture;
        uint32_t size, fourcc;
        int32_t w, h;
        bool nullData;
        uint32_t dataSize;
        int32_t expected;
    };
    const uint32_t good = 64 * 48 * 3 / 2;
    const uint32_t kI420 = DISPLAY_FOURCC_I420;
    const Case cases[] = {
        {"renderer", true, true, true, true, 0, 0, 0, 0, true, 0, OSD_E_INVALID_OBJECT},
        {"items", false, true, true, true, 0, 0, 0, 0, true, 0, OSD_E_NULL_POINTER},
        {"count", false, false, true, true, 0, 0, 0, 0, true, 0, OSD_E_INVALID_VALUE},
        {"picture", false, false, false, true, 0, 0, 0, 0, true, 0, OSD_E_NULL_POINTER},
        {"size", false, false, false, false, 32 + 1, DISPLAY_FOURCC_YVYU, 0, 0, true, 0, OSD_E_BAD_SIZE},
        {"YVYU", false, false, false, false, DISPLAY_PICTURE_SIZE, DISPLAY_FOURCC_YVYU, 0, 0, true, 0,
         OSD_E_BAD_PIXEL_FORMAT},
        {"IYU2", false, false, false, false, DISPLAY_PICTURE_SIZE, DISPLAY_FOURCC_IYU2, 64, 48, false,
         1 << 20, OSD_E_BAD_PIXEL_FORMAT},
        {"width", false, false, false, false, DISPLAY_PICTURE_SIZE, kI420, 0, 48, true, 0,
         OSD_E_BAD_PICTURE_SIZE},
        {"height", false, false, false, false, DISPLAY_PICTURE_SIZE, kI420, 64, -2, true, 0,
         OSD_E_BAD_PICTURE_SIZE},
        {"data", false, false, false, false, DISPLAY_PICTURE_SIZE, kI420, 64, 48, true, 0,
         OSD_E_NULL_POINTER},
        {"data size", false, false, false, false, DISPLAY_PICTURE_SIZE, kI420, 64, 48, false, good - 1,
         OSD_E_BUFFER_TOO_SMALL},
        {"ok", false, false, false, false, DISPLAY_PICTURE_SIZE, kI420, 64, 48, false, good, OSD_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        DISPLAY_PICTURE p = pic.Record();
        p.dwSize = c.size;
        p.dwFourCC = c.fourcc;
        p.nWidth = c.w;
        p.nHeight = c.h;
        if (c.nullData)
            p.pData = nullptr;
        p.dwDataSize = c.dataSize;
        EXPECT_EQ(DrawOsd(c.nullRenderer ? nullptr : r.p, c.nullPicture ? nullptr : &p,
                          c.nullItems ? nullptr : &item, c.zeroCount ? 0 : 1),
                  c.expected);
    }
}

TEST(OsdStatus, ChecksAndCounts) {
    Renderer r;
    OSD_STATUS st{};
    EXPECT_EQ(GetOsdStatus(nullptr, &st), OSD_E_INVALID_OBJECT);
    EXPECT_EQ(GetOsdStatus(r.p, nullptr), OSD_E_NULL_POINTER);
    st.dwSize = OSD_STATUS_SIZE - 1;
    EXPECT_EQ(GetOsdStatus(r.p, &st), OSD_E_BAD_SIZE);

    TestPicture pic(DISPLAY_FOURCC_I420, 64, 48);
    DISPLAY_PICTURE p = pic.Record();
    OsdItem items[3] = {MaskItem(0, 0, 8, 8, OSD_MASK_MODE_SOLID), MaskItem(8, 8, 8, 8, OSD_MASK_MODE_MOSAIC),
                        BitmapItem(16, 16, 16, 4, {{1, 1}})};
    ASSERT_EQ(DrawOsd(r.p, &p, items, 3), OSD_OK);
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    // A call refused by its checks counts nothing.
    p.dwFourCC = DISPLAY_FOURCC_YVYU;
    ASSERT_EQ(DrawOsd(r.p, &p, items, 3), OSD_E_BAD_PIXEL_FORMAT);

    std::memset(&st, 0xCD, sizeof(st));
    st.dwSize = OSD_STATUS_SIZE;
    ASSERT_EQ(GetOsdStatus(r.p, &st), OSD_OK);
    EXPECT_EQ(st.dwSize, OSD_STATUS_SIZE);
    EXPECT_EQ(st.dwItemCount, 5u);
    EXPECT_GE(st.llDrawTime, 0);
    EXPECT_LT(st.llDrawTime, 10000000) << "microseconds, not counter ticks";
    EXPECT_EQ(st.dwReserved[0], 0u);
    EXPECT_EQ(st.dwReserved[1], 0u);
}

TEST(OsdMosaic, CellSizeFromSetting) {
    struct Case {
        uint32_t flags;
        uint16_t w, h;
        uint32_t cw, ch;
    } const cases[] = {
        {0, 3, 3, 16, 16},
        {OSD_FLAG_MOSAIC_SIZE, 16, 16, 16, 16},
        {OSD_FLAG_MOSAIC_SIZE, 3, 5, 4, 6},
        {OSD_FLAG_MOSAIC_SIZE, 0, 1, 2, 2},
        {OSD_FLAG_MOSAIC_SIZE, 7, 2, 8, 2},
        {OSD_FLAG_MOSAIC_SIZE, 65535, 65534, 65536, 65534},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " flags " << c.flags);
        OSD_SETTING s = DefaultSetting();
        s.dwFlags = c.flags;
        s.wMosaicWidth = c.w;
        s.wMosaicHeight = c.h;
        Renderer r(s);
        ASSERT_NE(r.p, nullptr);
        EXPECT_EQ(r.p->Masks().CellWidth(), c.cw);
        EXPECT_EQ(r.p->Masks().CellHeight(), c.ch);
    }
}

TEST(OsdMask, RectangleAlignment) {
    struct Case {
        uint16_t x, y, w, h;
        int32_t pw, ph;
        OsdRect expected;
    } const cases[] = {
        {10, 20, 30, 40, 704, 576, {10, 20, 40, 60}},
        {11, 21, 30, 40, 704, 576, {10, 20, 42, 62}}, // odd corner: the far edges still cover
        {11, 21, 31, 41, 704, 576, {10, 20, 42, 62}},
        {10, 20, 31, 41, 704, 576, {10, 20, 42, 62}},
        {690, 570, 40, 40, 704, 576, {690, 570, 704, 576}},
        {690, 570, 40, 40, 705, 577, {690, 570, 704, 576}}, // cut to the even size
        {704, 10, 8, 8, 704, 576, {704, 10, 704, 18}},      // empty
        {5, 5, 0, 0, 704, 576, {4, 4, 4, 4}},               // no size: nothing
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h);
        const OsdItem item = MaskItem(c.x, c.y, c.w, c.h, OSD_MASK_MODE_SOLID);
        EXPECT_EQ(COsdMosaic::MaskRect(item, c.pw, c.ph), c.expected);
    }
}

TEST(OsdMask, ColourToYuv) {
    struct Case {
        uint8_t r, g, b, y, u, v;
    } const cases[] = {
        {0, 0, 0, 16, 128, 128},   {255, 255, 255, 237, 128, 128},
        {255, 0, 0, 81, 91, 239},  {0, 255, 0, 145, 55, 35},    // negative parts truncate toward zero
        {0, 0, 255, 41, 239, 111}, {128, 64, 32, 84, 105, 158}, // U: -23.5 truncates to -23
    };
    for (const auto &c : cases) {
        uint8_t y, u, v;
        OsdRgbToYuv(c.r, c.g, c.b, &y, &u, &v);
        EXPECT_EQ(int(y), int(c.y)) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(int(u), int(c.u)) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        EXPECT_EQ(int(v), int(c.v)) << int(c.r) << "," << int(c.g) << "," << int(c.b);
    }
}

// Pixel (px, py) lies in rc.
bool Inside(const OsdRect &rc, int px, int py) {
    return px >= rc.nLeft && px < rc.nRight && py >= rc.nTop && py < rc.nBottom;
}

// The chroma sample (cx, cy) of a picture's own grid covers a pixel of rc.
bool ChromaInside(const OsdRect &rc, const Planes &p, int cx, int cy) {
    const int rows = p.ch == p.h ? 1 : 2;
    for (int dy = 0; dy < rows; ++dy)
        for (int dx = 0; dx < 2; ++dx)
            if (Inside(rc, 2 * cx + dx, cy * rows + dy))
                return true;
    return false;
}

// A privacy mask leaves nothing of the picture inside its rectangle, in any
// format, and nothing outside it changes.
TEST(OsdMask, SolidMaskCoversItsRectangleInEveryFormat) {
    struct Case {
        uint16_t x, y, w, h;
        uint8_t r, g, b;
    } const cases[] = {
        {0, 0, 64, 48, 0, 0, 0},     {5, 7, 10, 9, 255, 0, 0},       {9, 3, 1, 1, 0, 255, 0},
        {33, 21, 40, 40, 0, 0, 255}, {12, 40, 20, 30, 10, 200, 100},
    };
    for (uint32_t fourcc : kFormats) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message()
                         << FourCCName(fourcc) << " mask " << c.x << "," << c.y << " " << c.w << "x" << c.h);
            Renderer r;
            TestPicture pic(fourcc, 64, 48, 3);
            const Planes before = pic.Read();
            DISPLAY_PICTURE p = pic.Record();
            const OsdItem item = MaskItem(c.x, c.y, c.w, c.h, OSD_MASK_MODE_SOLID, c.r, c.g, c.b);
            ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
            ASSERT_TRUE(pic.GuardIntact());
            const Planes after = pic.Read();
            uint8_t y, u, v;
            OsdRgbToYuv(c.r, c.g, c.b, &y, &u, &v);
            // The item's own pixels, as far as they lie in the picture.
            const OsdRect own{c.x, c.y, std::min(c.x + c.w, 64), std::min(c.y + c.h, 48)};
            const OsdRect rc = COsdMosaic::MaskRect(item, 64, 48);
            int changedOutside = 0, leftInside = 0;
            for (int py = 0; py < 48; ++py) {
                for (int px = 0; px < 64; ++px) {
                    if (Inside(own, px, py) && after.Y(px, py) != y)
                        ++leftInside;
                    if (Inside(rc, px, py))
                        EXPECT_EQ(after.Y(px, py), y);
                    else if (after.Y(px, py) != before.Y(px, py))
                        ++changedOutside;
                }
            }
            for (int cy = 0; cy < after.ch; ++cy) {
                for (int cx = 0; cx < after.cw; ++cx) {
                    if (ChromaInside(own, after, cx, cy)) {
                        leftInside += after.U(cx, cy) != u || after.V(cx, cy) != v;
                    } else if (!ChromaInside(rc, after, cx, cy)) {
                        changedOutside += after.U(cx, cy) != before.U(cx, cy);
                        changedOutside += after.V(cx, cy) != before.V(cx, cy);
                    }
                }
            }
            EXPECT_EQ(leftInside, 0);
            EXPECT_EQ(changedOutside, 0);
        }
    }
}

TEST(OsdMask, BlackBox) {
    for (uint32_t fourcc : kFormats) {
        SCOPED_TRACE(FourCCName(fourcc));
        Renderer r;
        TestPicture pic(fourcc, 32, 32, 9);
        DISPLAY_PICTURE p = pic.Record();
        const OsdItem item = MaskItem(4, 4, 8, 8, OSD_MASK_MODE_SOLID, 0, 0, 0);
        ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
        const Planes after = pic.Read();
        EXPECT_EQ(after.Y(4, 4), 16);
        EXPECT_EQ(after.Y(11, 11), 16);
        EXPECT_EQ(after.U(2, after.ch == 32 ? 4 : 2), 128);
        EXPECT_EQ(after.V(5, after.ch == 32 ? 11 : 5), 128);
    }
}

TEST(OsdMask, OtherModesDrawNothing) {
    for (uint32_t mode : {2u, 0xFFFFFFFFu}) {
        Renderer r;
        TestPicture pic(DISPLAY_FOURCC_NV12, 32, 32, 4);
        const Planes before = pic.Read();
        DISPLAY_PICTURE p = pic.Record();
        const OsdItem item = MaskItem(0, 0, 32, 32, mode, 255, 255, 255);
        ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
        const Planes after = pic.Read();
        EXPECT_EQ(after.y, before.y);
        EXPECT_EQ(after.u, before.u);
    }
}

// 40 x 40 with 16 x 16 cells: two cells each way; the strips beyond them
// keep the picture.
TEST(OsdMask, MosaicOfWholeCellsOnly) {
    for (uint32_t fourcc : kFormats) {
        SCOPED_TRACE(FourCCName(fourcc));
        Renderer r;
        TestPicture pic(fourcc, 64, 64, 11);
        const Planes before = pic.Read();
        DISPLAY_PICTURE p = pic.Record();
        const OsdItem item = MaskItem(8, 6, 40, 40, OSD_MASK_MODE_MOSAIC);
        ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
        ASSERT_TRUE(pic.GuardIntact());
        const Planes after = pic.Read();
        const bool packed = IsPacked(fourcc);
        const OsdRect cells{8, 6, 8 + 32, 6 + 32};
        for (int py = 0; py < 64; ++py) {
            for (int px = 0; px < 64; ++px) {
                if (!Inside(cells, px, py)) {
                    ASSERT_EQ(after.Y(px, py), before.Y(px, py)) << px << "," << py;
                    continue;
                }
                const int tx = 8 + (px - 8) / 16 * 16, ty = 6 + (py - 6) / 16 * 16;
                const int expected =
                    packed ? (before.Y(tx, ty) + before.Y(tx + 1, ty)) / 2 : before.Y(tx, ty);
                ASSERT_EQ(after.Y(px, py), expected) << px << "," << py;
                const int cx = px / 2, cy = packed ? py : py / 2;
                const int tcx = tx / 2, tcy = packed ? ty : ty / 2;
                ASSERT_EQ(after.U(cx, cy), before.U(tcx, tcy)) << px << "," << py;
                ASSERT_EQ(after.V(cx, cy), before.V(tcx, tcy)) << px << "," << py;
            }
        }
        for (int cy = 0; cy < after.ch; ++cy) {
            for (int cx = 0; cx < after.cw; ++cx) {
                if (!ChromaInside(cells, after, cx, cy)) {
                    ASSERT_EQ(after.U(cx, cy), before.U(cx, cy)) << cx << "," << cy;
                }
            }
        }
    }
}

TEST(OsdBitmap, RectangleAlignment) {
    struct Case {
        uint16_t x, y, w, h;
        int32_t pw, ph;
        OsdRect expected;
    } const cases[] = {
        {8, 10, 16, 8, 704, 576, {8, 10, 28, 20}},
        {7, 11, 16, 8, 704, 576, {4, 10, 24, 20}},
        {3, 1, 8, 1, 704, 576, {0, 0, 12, 2}},
        {690, 570, 32, 16, 706, 577, {688, 570, 704, 576}}, // cut to multiples of 4 and 2
        {704, 10, 8, 8, 704, 576, {0, 0, 0, 0}},            // starts past the picture
        {10, 576, 8, 8, 704, 576, {0, 0, 0, 0}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y << " " << c.w << "x" << c.h);
        const OsdItem item = BitmapItem(c.x, c.y, c.w, c.h);
        EXPECT_EQ(COsdMonoBitmap::BitmapRect(item, c.pw, c.ph), c.expected);
    }
}

struct BitmapLevelCase {
    const char *name;
    uint32_t flags;
    uint8_t textLevel, outlineLevel;
    int body;    // expected luma of the set pixel; -1: unchanged
    int outline; // expected luma around it; -1: unchanged
};

// One set bit at bit (2, 1) of a bitmap at (8, 8): rectangle pixel (3, 2),
// picture pixel (11, 10); its eight neighbours are the outline.
TEST(OsdBitmap, BodyAndOutlineLevels) {
    const BitmapLevelCase cases[] = {
        {"default", 0, 0, 0, 235, 16},
        {"levels given", OSD_FLAG_TEXT_LEVEL | OSD_FLAG_OUTLINE_LEVEL, 200, 100, 187, 101},
        {"level 8", OSD_FLAG_TEXT_LEVEL, 8, 0, 22, 16},
        {"bright outline capped", OSD_FLAG_OUTLINE_LEVEL, 0, 255, 235, 235},
        {"outline only", OSD_FLAG_NO_BODY, 0, 0, -1, 16},
        {"body only", OSD_FLAG_NO_OUTLINE, 0, 0, 235, -1},
    };
    for (uint32_t fourcc : kFormats) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << FourCCName(fourcc) << " " << c.name);
            OSD_SETTING s = DefaultSetting();
            s.dwFlags = c.flags;
            s.byTextLevel = c.textLevel;
            s.byOutlineLevel = c.outlineLevel;
            Renderer r(s);
            TestPicture pic(fourcc, 32, 32, 80, 60, 200);
            DISPLAY_PICTURE p = pic.Record();
            const OsdItem item = BitmapItem(8, 8, 8, 4, {{2, 1}});
            ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
            const Planes after = pic.Read();
            for (int py = 0; py < 32; ++py) {
                for (int px = 0; px < 32; ++px) {
                    const bool body = px == 11 && py == 10;
                    const bool isNear = !body && std::abs(px - 11) <= 1 && std::abs(py - 10) <= 1;
                    int expected = 80;
                    if (body && c.body >= 0)
                        expected = c.body;
                    if (isNear && c.outline >= 0)
                        expected = c.outline;
                    ASSERT_EQ(after.Y(px, py), expected) << px << "," << py;
                    // Bitmap pixels are grey: chroma 128 wherever one is
                    // drawn.
                    const int cx = px / 2, cy = IsPacked(fourcc) ? py : py / 2;
                    if (expected != 80) {
                        ASSERT_EQ(after.U(cx, cy), 128) << px << "," << py;
                    }
                }
            }
        }
    }
}

TEST(OsdBitmap, CachedPerPosition) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 64, 64, 5);
    DISPLAY_PICTURE p = pic.Record();
    OsdItem items[2] = {BitmapItem(8, 8, 16, 4, {{1, 1}, {5, 2}}), BitmapItem(32, 32, 8, 2, {{3, 0}})};
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    EXPECT_EQ(r.p->Bitmaps().FillCount(), 2u);
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    EXPECT_EQ(r.p->Bitmaps().FillCount(), 2u) << "unchanged items are not expanded again";
    items[1].body.abBits[0] ^= 0x01;
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    EXPECT_EQ(r.p->Bitmaps().FillCount(), 3u) << "only the changed entry";
    items[0].wX = 12;
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    EXPECT_EQ(r.p->Bitmaps().FillCount(), 4u);
    p.nWidth = 32;
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    EXPECT_EQ(r.p->Bitmaps().FillCount(), 6u) << "a new picture size renews every entry";

    // The cached pixels are drawn again on a fresh picture.
    TestPicture fresh(DISPLAY_FOURCC_I420, 32, 64, 128, 128, 128);
    DISPLAY_PICTURE f = fresh.Record();
    ASSERT_EQ(DrawOsd(r.p, &f, items, 1), OSD_OK);
    EXPECT_EQ(r.p->Bitmaps().FillCount(), 6u);
    EXPECT_EQ(fresh.Read().Y(12 + 1 + 1, 8 + 1 + 1), 235);
}

// A declared size whose bits do not fit the item's body: the rows the body
// holds are drawn and nothing is read past it; the padded rectangle is
// larger than the default work buffer, which grows.
TEST(OsdBitmap, DeclaredSizeLargerThanBody) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 2048, 1088, 60, 100, 100);
    DISPLAY_PICTURE p = pic.Record();
    OsdItem item = BitmapItem(0, 0, 2040, 1023);
    std::memset(item.body.abBits, 0xFF, sizeof(item.body.abBits));
    ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
    ASSERT_TRUE(pic.GuardIntact());
    EXPECT_GT(r.p->Bitmaps().WorkBufferSize(0), size_t(OSD_BITMAP_BUFFER_SIZE));
    const Planes after = pic.Read();
    // 2816 bytes of 255-byte rows: 11 whole rows, drawn at rows 1 to 11.
    const int rows = DEMUX_OSD_BODY_SIZE / (2040 / 8);
    ASSERT_EQ(rows, 11);
    for (int py = 0; py < 20; ++py) {
        const int expected = (py >= 1 && py <= rows) ? 235 : (py == 0 || py == rows + 1) ? 16 : 60;
        EXPECT_EQ(after.Y(500, py), expected) << py;
    }
    EXPECT_EQ(after.Y(1, 5), 235);
    EXPECT_EQ(after.Y(2040, 5), 235);
    EXPECT_EQ(after.Y(2041, 5), 16);
    EXPECT_EQ(after.Y(2042, 5), 60);
    EXPECT_EQ(after.Y(1000, 1000), 60);
}

TEST(OsdBitmap, WidthNotAMultipleOfEight) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 64, 32, 60, 100, 100);
    DISPLAY_PICTURE p = pic.Record();
    // Rows of 12 / 8 = 1 byte: columns 8 to 11 have no bits.
    OsdItem item = BitmapItem(0, 0, 12, 2);
    item.body.abBits[0] = 0xFF;
    item.body.abBits[1] = 0x80;
    ASSERT_EQ(DrawOsd(r.p, &p, &item, 1), OSD_OK);
    const Planes after = pic.Read();
    for (int px = 1; px <= 8; ++px)
        EXPECT_EQ(after.Y(px, 1), 235) << px;
    EXPECT_EQ(after.Y(9, 1), 16);
    EXPECT_EQ(after.Y(1, 2), 235) << "second row, first bit";
    EXPECT_EQ(after.Y(10, 1), 60);
}

// Items in every format change the same places: luma values agree
// everywhere, the 4:2:0 formats agree on chroma, the packed formats too,
// and each packed chroma sample either kept its value or took the value of
// the 4:2:0 sample above it.
TEST(OsdFormats, EveryFormatWritesTheSamePlaces) {
    const OsdItem items[] = {
        MaskItem(2, 2, 20, 10, OSD_MASK_MODE_SOLID, 200, 30, 90),
        MaskItem(30, 4, 36, 36, OSD_MASK_MODE_MOSAIC),
        BitmapItem(7, 21, 24, 6, {{0, 0}, {1, 1}, {7, 2}, {8, 3}, {20, 5}, {23, 0}}),
        MaskItem(50, 49, 9, 9, OSD_MASK_MODE_SOLID, 255, 255, 0),
        TextItem(3, 40, u"OSD 12:34"),
    };
    std::vector<Planes> results;
    for (uint32_t fourcc : kFormats) {
        OSD_SETTING s = DefaultSetting();
        s.dwFlags = OSD_FLAG_MOSAIC_SIZE;
        s.wMosaicWidth = 8;
        s.wMosaicHeight = 6;
        Renderer r(s);
        TestPicture pic(fourcc, 96, 64, 21, true);
        DISPLAY_PICTURE p = pic.Record();
        ASSERT_EQ(DrawOsd(r.p, &p, items, 5), OSD_OK) << FourCCName(fourcc);
        ASSERT_TRUE(pic.GuardIntact()) << FourCCName(fourcc);
        results.push_back(pic.Read());
    }
    const Planes untouched = TestPicture(DISPLAY_FOURCC_I420, 96, 64, 21, true).Read();
    ASSERT_NE(results[0].y, untouched.y) << "the items drew something";
    for (size_t i = 1; i < results.size(); ++i) {
        SCOPED_TRACE(FourCCName(kFormats[i]));
        EXPECT_EQ(results[i].y, results[0].y);
        const size_t ref = IsPacked(kFormats[i]) ? 4 : 0;
        EXPECT_EQ(results[i].u, results[ref].u);
        EXPECT_EQ(results[i].v, results[ref].v);
    }
    const Planes &planar = results[0], &packed = results[4];
    int rowsTaken = 0;
    for (int cy = 0; cy < planar.ch; ++cy) {
        for (int cx = 0; cx < planar.cw; ++cx) {
            bool changed = false;
            for (int row = 2 * cy; row < 2 * cy + 2; ++row) {
                const bool kept =
                    packed.U(cx, row) == untouched.U(cx, cy) && packed.V(cx, row) == untouched.V(cx, cy);
                const bool took =
                    packed.U(cx, row) == planar.U(cx, cy) && packed.V(cx, row) == planar.V(cx, cy);
                ASSERT_TRUE(kept || took) << cx << "," << row;
                changed |= !kept;
                rowsTaken += !kept;
            }
            const bool planarChanged =
                planar.U(cx, cy) != untouched.U(cx, cy) || planar.V(cx, cy) != untouched.V(cx, cy);
            EXPECT_EQ(changed, planarChanged) << cx << "," << cy;
        }
    }
    EXPECT_GT(rowsTaken, 0);
}

// Odd sizes: nothing is written past the picture's bytes, whatever the
// items cover.
TEST(OsdFormats, OddSizesStayInsideTheData) {
    for (uint32_t fourcc : kFormats) {
        SCOPED_TRACE(FourCCName(fourcc));
        Renderer r;
        TestPicture pic(fourcc, 37, 23, 2);
        DISPLAY_PICTURE p = pic.Record();
        const OsdItem items[] = {MaskItem(0, 0, 40, 40, OSD_MASK_MODE_SOLID, 1, 2, 3),
                                 MaskItem(3, 3, 40, 40, OSD_MASK_MODE_MOSAIC),
                                 BitmapItem(20, 14, 24, 16, {{0, 0}, {16, 8}, {23, 15}}),
                                 TextItem(30, 17, u"8888")};
        ASSERT_EQ(DrawOsd(r.p, &p, items, 4), OSD_OK);
        EXPECT_TRUE(pic.GuardIntact());
    }
}

// Masks first, then bitmaps, then texts, whatever the item order.
TEST(OsdDraw, MasksUnderBitmaps) {
    Renderer r;
    TestPicture pic(DISPLAY_FOURCC_I420, 32, 32, 70, 128, 128);
    DISPLAY_PICTURE p = pic.Record();
    const OsdItem items[] = {BitmapItem(8, 8, 8, 4, {{2, 1}}),
                             MaskItem(0, 0, 32, 32, OSD_MASK_MODE_SOLID, 255, 255, 255)};
    ASSERT_EQ(DrawOsd(r.p, &p, items, 2), OSD_OK);
    const Planes after = pic.Read();
    EXPECT_EQ(after.Y(11, 10), 235);
    EXPECT_EQ(after.Y(10, 10), 16);
    EXPECT_EQ(after.Y(20, 20), 237) << "mask";
}

} // namespace
