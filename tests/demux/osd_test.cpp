// OSD list, the copy attached to frames, time breakdown and the V30 clock
// styles.
#include <gtest/gtest.h>

#include <random>

#include "demux/osd.h"
#include "demux_test_util.h"

using namespace demuxtest;

namespace {

class OsdList : public ::testing::Test {
protected:
    void SetUp() override { InitPool(&m_pool); }
    void TearDown() override { DestroyPool(&m_pool); }

    OsdItem *Text(COsdList &list, const std::u16string &text, uint16_t x) {
        OsdItem *item = list.NewItem(DEMUX_OSD_TEXT, x, 7);
        EXPECT_NE(item, nullptr);
        platform::WString w(text.begin(), text.end());
        SetOsdItemText(item, w);
        return item;
    }

    BlockPool m_pool{};
};

SYSTEMTIME At(int64_t seconds, uint16_t ms = 0) {
    SYSTEMTIME t{};
    EXPECT_TRUE(BreakDownTime(seconds, &t)) << seconds;
    t.wMilliseconds = ms;
    return t;
}

std::u16string Wide(const platform::WString &s) {
    return std::u16string(s.begin(), s.end());
}

} // namespace

TEST_F(OsdList, ThreeHundredItemsAttachTheFirst255) {
    COsdList list(&m_pool);
    for (uint16_t i = 0; i < 300; ++i)
        ASSERT_EQ(list.Append(Text(list, u"item", i)), int(i));
    EXPECT_EQ(list.Count(), 300u);
    FrameRecord frame{};
    list.AttachTo(&frame);
    ASSERT_EQ(frame.byOsdCount, 255u);
    ASSERT_NE(frame.pOsdItems, nullptr);
    for (uint16_t i = 0; i < 255; ++i) {
        EXPECT_EQ(frame.pOsdItems[i].wX, i);
        EXPECT_EQ(U16(frame.pOsdItems[i].body.szText), u"item");
    }
    // The copy is the frame's: changing the list leaves it alone.
    list.Clear();
    EXPECT_EQ(list.Count(), 0u);
    EXPECT_EQ(frame.pOsdItems[254].wX, 254);
    COsdList::FreeAttached(&m_pool, &frame);
    EXPECT_EQ(frame.byOsdCount, 0u);
    EXPECT_EQ(frame.pOsdItems, nullptr);
}

TEST_F(OsdList, EmptyListAttachesNothing) {
    COsdList list(&m_pool);
    FrameRecord frame{};
    frame.byOsdCount = 3; // stale values are overwritten
    list.AttachTo(&frame);
    EXPECT_EQ(frame.byOsdCount, 0u);
    EXPECT_EQ(frame.pOsdItems, nullptr);
}

TEST_F(OsdList, TimeItemIsReplacedInPlace) {
    COsdList list(&m_pool);
    list.Append(Text(list, u"a", 1));
    list.SetTimeItem(list.Append(Text(list, u"10:00", 2)));
    list.Append(Text(list, u"c", 3));
    EXPECT_EQ(list.TimeItem(), 1);
    EXPECT_TRUE(list.ReplaceTimeItem(Text(list, u"10:01", 2)));
    ASSERT_EQ(list.Count(), 3u);
    EXPECT_EQ(U16(list.At(1)->body.szText), u"10:01");
    EXPECT_EQ(U16(list.At(2)->body.szText), u"c");
    list.Clear();
    EXPECT_EQ(list.TimeItem(), kOsdNoItem);
    // Without a time item a replacement is refused (and its item freed).
    EXPECT_FALSE(list.ReplaceTimeItem(Text(list, u"x", 0)));
    list.SetTimeItem(5); // no such position
    EXPECT_EQ(list.TimeItem(), kOsdNoItem);
    // Every item went back to the pool.
    BlockPoolClassStats stats{};
    ASSERT_TRUE(GetBlockPoolClassStats(&m_pool, BlockPoolClassFor(kOsdItemBlockSize), &stats));
    EXPECT_EQ(stats.allocCount, stats.freeCount);
}

TEST_F(OsdList, ItemsAreZeroedAndTextsCut) {
    COsdList list(&m_pool);
    OsdItem *item = list.NewItem(DEMUX_OSD_TEXT, 5, 6);
    ASSERT_NE(item, nullptr);
    std::memset(&item->body, 0xAB, sizeof item->body);
    SetOsdItemText(item, platform::WString(200, u'z'));
    ExpectItem(*item, {DEMUX_OSD_TEXT, 5, 6, 0, 0, std::u16string(127, u'z'), 0}, "cut");
    SetOsdItemMosaic(item, 10, 20, DEMUX_OSD_MOSAIC_BLOCKS);
    EXPECT_EQ(item->body.mosaic.dwMode, 1u);
    EXPECT_EQ(item->body.mosaic.abColor[0] | item->body.mosaic.abColor[1] | item->body.mosaic.abColor[2], 0);
    list.FreeItem(item);
}

TEST(OsdTime, BreakDown) {
    const struct {
        int64_t seconds;
        bool ok;
        uint16_t year, month, weekday, day, hour, minute, second;
    } cases[] = {
        {0, true, 1970, 1, 4, 1, 0, 0, 0},
        {951782400, true, 2000, 2, 2, 29, 0, 0, 0},
        {951868799, true, 2000, 2, 2, 29, 23, 59, 59},
        {4107542400, true, 2100, 3, 1, 1, 0, 0, 0},
        {1330819509, true, 2012, 3, 0, 4, 0, 5, 9},
        {2147483648LL, true, 2038, 1, 2, 19, 3, 14, 8},
        {32535215999LL, true, 3000, 12, 3, 31, 23, 59, 59},
        {32535216000LL, false, 0, 0, 0, 0, 0, 0, 0},
        {-1, false, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const auto &c : cases) {
        SYSTEMTIME t{};
        t.wMilliseconds = 77;
        ASSERT_EQ(BreakDownTime(c.seconds, &t), c.ok) << c.seconds;
        if (!c.ok) {
            EXPECT_EQ(t.wYear, 0);
            continue;
        }
        EXPECT_EQ(t.wYear, c.year) << c.seconds;
        EXPECT_EQ(t.wMonth, c.month) << c.seconds;
        EXPECT_EQ(t.wDayOfWeek, c.weekday) << c.seconds;
        EXPECT_EQ(t.wDay, c.day) << c.seconds;
        EXPECT_EQ(t.wHour, c.hour) << c.seconds;
        EXPECT_EQ(t.wMinute, c.minute) << c.seconds;
        EXPECT_EQ(t.wSecond, c.second) << c.seconds;
        EXPECT_EQ(t.wMilliseconds, 0);
    }
    // Against a plain count of days, over the whole range.
    std::mt19937_64 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const int64_t s = int64_t(rng() % 32535216000ULL);
        SYSTEMTIME t{};
        ASSERT_TRUE(BreakDownTime(s, &t));
        EXPECT_TRUE(SameTime(t, FixtureBreakDown(s, 0))) << s << ": " << TimeString(t);
    }
}

TEST(OsdTime, V30Styles) {
    const int64_t sunday0005 = 1330819509; // 2012-03-04 00:05:09
    const int64_t noon = 1330862400;       // 2012-03-04 12:00:00
    const int64_t evening = 1330891199;    // 2012-03-04 19:59:59
    const int64_t wednesday = 1331115130;  // 2012-03-07 10:12:10
    const struct {
        int64_t seconds;
        uint16_t ms;
        uint32_t style;
        const char *text;
    } cases[] = {
        {sunday0005, 7, 0, "2012-03-04 00:05:09"},
        {sunday0005, 7, 1, "2012-03-04 00:05:09.007"},
        {sunday0005, 1023, 1, "2012-03-04 00:05:09.1023"},
        {sunday0005, 7, 2, "00:05:09"},
        {sunday0005, 7, 3, "Sun., Mar. 4, 2012, 00:05:09"},
        {wednesday, 0, 3, "Wed., Mar. 7, 2012, 10:12:10"},
        {1316563200, 0, 3, "Wed., Sept. 21, 2011, 00:00:00"},
        {1337817600, 0, 3, "Thur., May. 24, 2012, 00:00:00"},
        {sunday0005, 0, 4, "3/4/12 0:05:09 AM"},
        {noon, 0, 4, "3/4/12 12:00:00 PM"},
        {evening, 0, 4, "3/4/12 7:59:59 PM"},
        {wednesday, 0, 4, "3/7/12 10:12:10 AM"},
        {946684800, 0, 4, "1/1/00 0:00:00 AM"},
        {sunday0005, 0, 5, "2012年3月4日 00时05分09秒"},
        {sunday0005, 0, 6, "2012年3月4日 星期日 00时05分09秒"},
        {wednesday, 0, 6, "2012年3月7日 星期三 10时12分10秒"},
        {sunday0005, 0, 7, "2012年3月4日 上午 0:05:09"},
        {noon, 0, 7, "2012年3月4日 下午 12:00:00"},
        {evening, 0, 7, "2012年3月4日 下午 7:59:59"},
        {sunday0005, 0, 8, ""},
        {sunday0005, 0, 255, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Wide(FormatV30TimeText(At(c.seconds, c.ms), c.style)), FromUtf8(c.text)) << c.text;
    // The zero time of a frame whose time could not be broken down.
    EXPECT_EQ(Wide(FormatV30TimeText(SYSTEMTIME{}, 3)), u"Sun.,  0, 0000, 00:00:00");
}

TEST(OsdTime, NameTables) {
    const char *weekdays[] = {"Sun.", "Mon.", "Tues.", "Wed.", "Thur.", "Fri.", "Sat."};
    const char *months[] = {"Jan.", "Feb.", "Mar.",  "Apr.", "May.", "Jun.",
                            "Jul.", "Aug.", "Sept.", "Oct.", "Nov.", "Dec."};
    const char *chinese[] = {"星期日", "星期一", "星期二", "星期三", "星期四", "星期五", "星期六"};
    const char *english[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};
    for (unsigned i = 0; i < 7; ++i) {
        EXPECT_STREQ(OsdWeekdayName(i), weekdays[i]);
        EXPECT_STREQ(OsdChineseWeekdayName(i), chinese[i]);
        EXPECT_STREQ(OsdEnglishWeekdayName(i), english[i]);
    }
    for (unsigned m = 1; m <= 12; ++m)
        EXPECT_STREQ(OsdMonthName(m), months[m - 1]);
    EXPECT_STREQ(OsdWeekdayName(7), "");
    EXPECT_STREQ(OsdMonthName(0), "");
    EXPECT_STREQ(OsdMonthName(13), "");
}

TEST(OsdTime, FormatCutsTo127Units) {
    const platform::WString text = OsdFormat("%s", std::string(300, 'q').c_str());
    EXPECT_EQ(text.size(), 127u);
    // Three-byte characters: 170 of them are 510 bytes, cut on a character.
    std::string wide;
    for (int i = 0; i < 170; ++i)
        wide += "\xE6\x97\xA5";
    const platform::WString cut = OsdFormat("%s", wide.c_str());
    EXPECT_EQ(cut.size(), 127u);
    EXPECT_EQ(cut[126], QV_WCHAR(0x65E5));
}
