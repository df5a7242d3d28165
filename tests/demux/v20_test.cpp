// V20 parser: round trips of "QVMS" and "MSV2" recordings, frame kinds and
// types, OSD records, clock texts by language, damaged input.
#include <gtest/gtest.h>

#include "demux/streamv20.h"
#include "demux_test_util.h"
#include "platform/system.h"

using namespace demuxtest;

namespace {

constexpr uint16_t kEnglish = 0x409;
constexpr uint16_t kChinese = 0x804;
constexpr uint32_t kSunday0005 = 1330819509; // 2012-03-04 00:05:09, a Sunday
constexpr uint32_t kMidnight = 1330819200;   // 2012-03-04 00:00:00

// Every test here picks the interface language itself.
class V20 : public ::testing::Test {
protected:
    void SetUp() override { platform::SetUserInterfaceLanguageOverride(kEnglish); }
    void TearDown() override { platform::SetUserInterfaceLanguageOverride(0); }
};

// Items a frame must carry, independently of the parser: records in force
// since the last I frame or frame with records; the time record formatted
// with this frame's time (new style, date style 0, 24-hour, English) or its
// own string.
class CV20OsdModel {
public:
    std::vector<ExpectedItem> Next(const FixtureFrame &f) {
        if (f.nType == DEMUX_FRAME_I || !f.osd.empty())
            m_records = f.osd;
        std::vector<ExpectedItem> items;
        for (const FixtureOsdRecord &r : m_records) {
            ExpectedItem e;
            e.wX = r.wX;
            e.wY = r.wY;
            if (r.dwType == 1) {
                const SYSTEMTIME &t = f.stTime;
                e.text = !r.text.empty() ? FromUtf8(r.text)
                                         : FromUtf8(Printf("%u/%02u/%02u %02u:%02u:%02u", t.wYear, t.wMonth,
                                                           t.wDay, t.wHour, t.wMinute, t.wSecond));
            } else {
                e.text = FromUtf8(r.text);
            }
            items.push_back(e);
        }
        return items;
    }

private:
    std::vector<FixtureOsdRecord> m_records;
};

struct RoundTripCase {
    const char *name;
    V20Options options;
};

std::vector<RoundTripCase> RoundTripCases() {
    std::vector<RoundTripCase> cases;
    cases.push_back({"QVMS kind 3, A-law", {}});
    {
        RoundTripCase c{"MSV2 kind 5, G.722", {}};
        c.options.bMsv2 = true;
        c.options.byVideoKind = 5;
        c.options.dwAudioCodec = DEMUX_CODEC_G722;
        cases.push_back(c);
    }
    {
        RoundTripCase c{"QVMS kind 7, PCM8, clock string", {}};
        c.options.videoSample = "h264_352x288_baseline_cavlc.264";
        c.options.wWidth = 352;
        c.options.wHeight = 288;
        c.options.byVideoKind = 7;
        c.options.dwAudioCodec = DEMUX_CODEC_PCM8;
        c.options.clockText = "REC 12:00";
        c.options.bFileHeader = false;
        cases.push_back(c);
    }
    {
        RoundTripCase c{"MSV2 kind 3, G.726, 1080p", {}};
        c.options.videoSample = "h264_1920x1080_high.264";
        c.options.wWidth = 1920;
        c.options.wHeight = 1088;
        c.options.dwVideoFrames = 30;
        c.options.bMsv2 = true;
        c.options.dwAudioCodec = DEMUX_CODEC_G726;
        c.options.title = "";
        cases.push_back(c);
    }
    return cases;
}

std::vector<uint8_t> Payload(size_t n, uint8_t seed = 3) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = uint8_t(seed + i * 5);
    return p;
}

V20FrameFields Video(uint8_t frameClass, std::vector<FixtureOsdRecord> osd = {}) {
    V20FrameFields s;
    s.byKind = 3;
    s.byFrameClass = frameClass;
    s.dwSeconds = kSunday0005;
    s.payload = Payload(120);
    s.osd = std::move(osd);
    return s;
}

// Frames behind a file header plus a final header so that the last frame
// given is delivered too.
std::vector<Parsed> ParseFrames(const std::vector<V20FrameFields> &frameList,
                                std::vector<uint64_t> *offsets = nullptr, size_t block = 0) {
    std::vector<uint8_t> data = V20FileHeader();
    for (const V20FrameFields &s : frameList) {
        if (offsets)
            offsets->push_back(data.size());
        AppendV20Frame(data, s);
    }
    data.insert(data.end(), {'Q', 'V', 'M', 'S'});
    CBaseStream *stream = Create(data);
    EXPECT_NE(stream, nullptr);
    if (!stream)
        return {};
    std::vector<Parsed> got = FeedAll(stream, data, block ? block : data.size());
    Demux_Destroy(stream);
    return got;
}

FixtureOsdRecord Text(const std::string &text, uint32_t type = 2, uint16_t x = 16, uint16_t y = 32) {
    FixtureOsdRecord r;
    r.dwType = type;
    r.wX = x;
    r.wY = y;
    r.text = text;
    return r;
}

FixtureOsdRecord NewClock(uint8_t hourMode, uint8_t dateStyle, bool weekday = false) {
    FixtureOsdRecord r;
    r.dwType = 1;
    r.wX = 48;
    r.wY = 64;
    r.bNewStyle = true;
    r.byHourMode = hourMode;
    r.byStyle = dateStyle;
    r.bWeekday = weekday;
    return r;
}

FixtureOsdRecord OldClock(const std::string &text = "", bool weekday = false) {
    FixtureOsdRecord r = NewClock(0, 0, weekday);
    r.bNewStyle = false;
    r.text = text;
    return r;
}

FixtureOsdRecord Raw(std::vector<uint8_t> bytes) {
    FixtureOsdRecord r;
    r.raw = std::move(bytes);
    return r;
}

std::vector<uint8_t> RecordWord(uint32_t length, uint32_t type, bool shown = true) {
    const uint32_t word = (length & 0x1FF) | (type << 9) | (shown ? 1u << 13 : 0);
    return {uint8_t(word), uint8_t(word >> 8), uint8_t(word >> 16), uint8_t(word >> 24)};
}

std::u16string ClockOf(uint32_t seconds, FixtureOsdRecord record, uint16_t language) {
    platform::SetUserInterfaceLanguageOverride(language);
    V20FrameFields s = Video(1, {record});
    s.dwSeconds = seconds;
    const std::vector<Parsed> got = ParseFrames({s});
    platform::SetUserInterfaceLanguageOverride(kEnglish);
    if (got.size() != 1 || got[0].osd.size() != 1)
        return u"<no item>";
    return U16(got[0].osd[0].body.szText);
}

} // namespace

TEST_F(V20, RoundTripEveryFieldInEveryBlockSize) {
    for (const RoundTripCase &c : RoundTripCases()) {
        std::vector<FixtureFrame> written;
        const std::vector<uint8_t> data = WriteV20(c.options, &written);
        ASSERT_FALSE(data.empty()) << c.name << ": samples missing";
        for (size_t block : {size_t(1), size_t(4097), size_t(256 * 1024), data.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block));
            int32_t result = 0;
            CBaseStream *stream = Create(data, &result);
            ASSERT_NE(stream, nullptr) << std::hex << result;
            StreamInfo info{};
            info.dwSize = DEMUX_STREAM_INFO_SIZE;
            ASSERT_EQ(Demux_GetInfo(stream, &info), DEMUX_OK);
            EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_V20));
            EXPECT_STREQ(info.szName, "ZEMA5RM ");
            const std::vector<Parsed> got = FeedAll(stream, data, block);
            ExpectFrames(got, written, data, c.name);
            CV20OsdModel model;
            size_t g = 0;
            for (const FixtureFrame &f : written) {
                if (!f.bDelivered || g >= got.size())
                    continue;
                const Parsed &p = got[g++];
                if (f.nType == DEMUX_FRAME_AUDIO)
                    continue;
                const std::vector<ExpectedItem> items = model.Next(f);
                ASSERT_EQ(p.osd.size(), items.size());
                for (size_t i = 0; i < items.size(); ++i)
                    ExpectItem(p.osd[i], items[i], "offset " + std::to_string(f.ullOffset));
            }
            Demux_Destroy(stream);
        }
    }
}

TEST_F(V20, Msv2CountsFourByteUnits) {
    V20FrameFields s = Video(1);
    s.bMsv2 = true;
    s.payload = Payload(400);
    std::vector<uint8_t> data = V20FileHeader();
    AppendV20Frame(data, s);
    // The length field holds 100.
    const uint32_t word =
        data[64 + 4] | (data[64 + 5] << 8) | (data[64 + 6] << 16) | (uint32_t(data[64 + 7]) << 24);
    EXPECT_EQ((word >> 9) & 0x7FFFF, 100u);
    const std::vector<Parsed> got = ParseFrames({s});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.dwPayloadLength, 400u);
    EXPECT_TRUE(got[0].payload == s.payload);
}

TEST_F(V20, KindFivePFramesAlternate) {
    std::vector<V20FrameFields> frameList;
    for (int i = 0; i < 9; ++i) {
        frameList.push_back(Video(i == 0 || i == 5 ? 1 : 0));
        frameList.back().byKind = 5;
    }
    const std::vector<Parsed> got = ParseFrames(frameList);
    const int32_t expected[] = {2, 5, 3, 5, 3, 2, 5, 3, 5};
    ASSERT_EQ(got.size(), 9u);
    for (size_t i = 0; i < 9; ++i)
        EXPECT_EQ(got[i].rec.nType, expected[i]) << i;
}

TEST_F(V20, KindsAndClassesGiveTypesAndCodecs) {
    const struct {
        uint8_t kind, frameClass;
        bool frame;
        int32_t type;
        uint32_t codec;
    } cases[] = {
        {3, 1, true, DEMUX_FRAME_I, 3},
        {3, 0, true, DEMUX_FRAME_P, 3},
        {3, 2, true, DEMUX_FRAME_P, 3},
        {7, 1, true, DEMUX_FRAME_I, 3},
        {7, 3, true, DEMUX_FRAME_P, 3},
        {0, 0, true, DEMUX_FRAME_AUDIO, 4},
        {6, 0, true, DEMUX_FRAME_AUDIO, 2},
        {8, 0, true, DEMUX_FRAME_AUDIO, 3},
        {10, 0, true, DEMUX_FRAME_AUDIO, 5},
        {1, 1, false, 0, 0},
        {9, 1, false, 0, 0},
        {2, 0, false, 0, 0},
        {4, 0, false, 0, 0},
        {12, 0, false, 0, 0},
        {15, 1, false, 0, 0},
    };
    for (const auto &c : cases) {
        V20FrameFields s = Video(c.frameClass);
        s.byKind = c.kind;
        const std::vector<Parsed> got = ParseFrames({Video(1), s, Video(0)});
        ASSERT_EQ(got.size(), c.frame ? 3u : 2u) << int(c.kind);
        if (!c.frame)
            continue;
        EXPECT_EQ(got[1].rec.nType, c.type) << int(c.kind);
        EXPECT_EQ(got[1].rec.dwCodec, c.codec) << int(c.kind);
        if (c.type == DEMUX_FRAME_AUDIO) {
            EXPECT_EQ(got[1].rec.ullFileOffset, 0u);
            EXPECT_EQ(got[1].rec.dwTimestamp, 0u);
            EXPECT_EQ(got[1].rec.wWidth, 0);
        }
    }
}

TEST_F(V20, HeaderFields) {
    V20FrameFields s = Video(1);
    s.wWidth = 127 * 16;
    s.wHeight = 1 * 16;
    s.dwSeconds = 1000;
    s.byHundredths = 99;
    s.dwSequence = 0xCAFEF00D;
    const std::vector<Parsed> got = ParseFrames({s});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.dwTimestamp, 1000990u);
    EXPECT_EQ(got[0].rec.wWidth, 2032);
    EXPECT_EQ(got[0].rec.wHeight, 16);
    EXPECT_EQ(got[0].rec.dwSequence, 0xCAFEF00Du);
    EXPECT_EQ(got[0].rec.byRate, 0);
    EXPECT_TRUE(SameTime(got[0].rec.stTime, FixtureBreakDown(1000, 990)));
    // The time stamp is computed in 32 bits.
    s.dwSeconds = 0xFFFFFFFF;
    s.byHundredths = 1;
    const std::vector<Parsed> wrapped = ParseFrames({s});
    ASSERT_EQ(wrapped.size(), 1u);
    EXPECT_EQ(wrapped[0].rec.dwTimestamp, uint32_t((0xFFFFFFFFu * 100u + 1u) * 10u));
    EXPECT_EQ(wrapped[0].rec.stTime.wYear, 2106);
}

TEST_F(V20, LastFrameIsNeverDelivered) {
    std::vector<uint8_t> data = V20FileHeader();
    for (int i = 0; i < 3; ++i) {
        V20FrameFields s = Video(1);
        s.dwSequence = uint32_t(i);
        AppendV20Frame(data, s);
    }
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    const std::vector<Parsed> got = FeedAll(stream, data, 1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].rec.dwSequence, 1u);
    Demux_Destroy(stream);
}

TEST_F(V20, DamageLosesOnlyTheFramesItTouches) {
    std::vector<uint8_t> data = V20FileHeader();
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 6; ++i) {
        V20FrameFields s = Video(i == 0 ? 1 : 0);
        s.dwSequence = uint32_t(i);
        offsets.push_back(data.size());
        AppendV20Frame(data, s);
        if (i == 1) // garbage behind frame 1: its end no longer meets a header
            data.insert(data.end(), {'Q', 'V', 'x', 0x68, 'M', 'S', 'V'});
    }
    data.insert(data.end(), {'M', 'S', 'V', '2'});
    // Frame 3's length runs past the next header.
    data[offsets[3] + 5] ^= 0x02;
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    const std::vector<Parsed> got = FeedAll(stream, data, 5);
    ASSERT_EQ(got.size(), 4u);
    const uint32_t expected[] = {0, 2, 4, 5};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(got[i].rec.dwSequence, expected[i]);
    Demux_Destroy(stream);
}

TEST_F(V20, HeaderShorterThanTwentyIsNotAFrame) {
    // A header length of 0 with a length field of 0 would be a frame of no
    // bytes at all, "followed" by its own magic.
    std::vector<uint8_t> data = V20FileHeader();
    const uint8_t empty[20] = {'Q', 'V', 'M', 'S', 0, 0, 0, 0x30};
    data.insert(data.end(), empty, empty + 20);
    const size_t good = data.size();
    AppendV20Frame(data, Video(1));
    data.insert(data.end(), {'Q', 'V', 'M', 'S'});
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    const std::vector<Parsed> got = FeedAll(stream, data, data.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.ullFileOffset, good);
    Demux_Destroy(stream);
}

TEST_F(V20, OpenRecognises) {
    const struct {
        std::string text;
        bool accepted;
    } cases[] = {
        {"ZEMA5RM ", true}, {"ZEMA5RM", false}, {"ZEMA8200R", true},
        {"QVMS", true},     {"MSV2", false},    {"QVM", false},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> block(100, 0);
        std::memcpy(block.data() + 50, c.text.data(), c.text.size());
        CStreamV20 stream;
        EXPECT_EQ(stream.Open(block.data(), uint32_t(block.size())),
                  c.accepted ? DEMUX_OK : DEMUX_E_NOT_SUPPORTED)
            << c.text;
        StreamInfo info{};
        stream.GetInfo(&info);
        if (c.accepted) {
            EXPECT_EQ(info.dwSize, DEMUX_STREAM_INFO_SIZE);
            EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_V20));
            EXPECT_STREQ(info.szName, "ZEMA5RM ");
        }
    }
}

// ---- OSD records ----

TEST_F(V20, TextRecords) {
    FixtureOsdRecord hidden = Text("hidden");
    hidden.bShown = false;
    std::vector<uint8_t> noNul = RecordWord(12, 2);
    noNul.insert(noNul.end(), {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    const std::vector<Parsed> got = ParseFrames({Video(
        1, {Text("ansi", 0, 32, 48), hidden, Text("utf8", 2, 2032, 2032), Raw(noNul),
            Text(std::string(127, 'x')), Text(std::string(128, 'y')), Raw(RecordWord(4, 5)), Text("end")})});
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].osd.size(), 4u);
    ExpectItem(got[0].osd[0], {DEMUX_OSD_TEXT, 32, 48, 0, 0, u"ansi", 0}, "ansi");
    ExpectItem(got[0].osd[1], {DEMUX_OSD_TEXT, 2032, 2032, 0, 0, u"utf8", 0}, "utf8");
    ExpectItem(got[0].osd[2], {DEMUX_OSD_TEXT, 16, 32, 0, 0, std::u16string(127, u'x'), 0}, "127");
    ExpectItem(got[0].osd[3], {DEMUX_OSD_TEXT, 16, 32, 0, 0, u"end", 0}, "end");
}

TEST_F(V20, ZeroLengthRecordEndsTheWalk) {
    const std::vector<Parsed> got = ParseFrames(
        {Video(1, {Text("a"), Raw(RecordWord(0, 2)), Text("b")}), Video(0), Video(1, {Text("c")})});
    ASSERT_EQ(got.size(), 3u);
    ASSERT_EQ(got[0].osd.size(), 1u);
    EXPECT_EQ(U16(got[0].osd[0].body.szText), u"a");
    // The frame with records cleared the list; the next frames go on.
    EXPECT_EQ(got[1].osd.size(), 1u);
    ASSERT_EQ(got[2].osd.size(), 1u);
    EXPECT_EQ(U16(got[2].osd[0].body.szText), u"c");
}

TEST_F(V20, RecordLongerThanTheHeaderIsReadOnlyInside) {
    // The last record claims 40 bytes; 12 remain. Its string fits in what is
    // there only if the declared length is believed, so no item.
    std::vector<uint8_t> record = RecordWord(40, 2);
    record.insert(record.end(), {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    std::vector<uint8_t> fits = RecordWord(40, 2);
    fits.insert(fits.end(), {'o', 'k', 0, 0});
    for (const auto &c : {std::make_pair(record, 1u), std::make_pair(fits, 2u)}) {
        V20FrameFields s = Video(1, {Text("a"), Raw(c.first)});
        s.payload.assign(100, 0); // NULs right behind the header
        const std::vector<Parsed> got = ParseFrames({s});
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].osd.size(), c.second);
    }
}

TEST_F(V20, ClockTexts) {
    const uint32_t t1230 = kMidnight + 12 * 3600 + 30 * 60;
    const uint32_t t1330 = kMidnight + 13 * 3600 + 30 * 60;
    const uint32_t t0005 = kSunday0005;
    const struct {
        uint32_t seconds;
        FixtureOsdRecord record;
        uint16_t language;
        const char *text;
    } cases[] = {
        {t1230, NewClock(1, 0), kEnglish, "2012/03/04 12:30:00 AM"},
        {t1230, NewClock(1, 0), kChinese, "2012-03-04 上午 12:30:00"},
        {t1330, NewClock(1, 0), kEnglish, "2012/03/04 1:30:00 PM"},
        {t1330, NewClock(1, 0), kChinese, "2012-03-04 下午 1:30:00"},
        {t0005, NewClock(1, 0), kEnglish, "2012/03/04 0:05:09 AM"},
        {t1330, NewClock(0, 0), kEnglish, "2012/03/04 13:30:00"},
        {t0005, NewClock(0, 1), kChinese, "2012年3月4日 00:05:09"},
        {t0005, NewClock(0, 1), kEnglish, "2012/03/04 00:05:09"},
        {t0005, NewClock(0, 2), kChinese, "03-04-2012 00:05:09"},
        {t0005, NewClock(0, 2), kEnglish, "03/04/2012 00:05:09"},
        {t0005, NewClock(0, 3), kChinese, "3月4日2012年 00:05:09"},
        {t0005, NewClock(0, 3), kEnglish, "03/04/2012 00:05:09"},
        {t0005, NewClock(0, 4), kChinese, "04-03-2012 00:05:09"},
        {t0005, NewClock(0, 4), kEnglish, "04/03/2012 00:05:09"},
        {t0005, NewClock(0, 5), kChinese, "4日3月2012年 00:05:09"},
        {t0005, NewClock(0, 5), kEnglish, "04/03/2012 00:05:09"},
        {t0005, NewClock(0, 6), kChinese, "2012-03-04 00:05:09"},
        {t0005, NewClock(0, 200), kEnglish, "2012/03/04 00:05:09"},
        {t0005, NewClock(0, 0, true), kEnglish, "2012/03/04 00:05:09 Sunday"},
        {t0005 + 86400 * 3, NewClock(1, 0, true), kChinese, "2012-03-07 上午 0:05:09 星期三"},
        {t0005, OldClock(), kChinese, "2012-03-04 00:05:09"},
        {t0005, OldClock(), kEnglish, "03/04/2012 00:05:09"},
        {t0005 + 86400, OldClock("", true), kEnglish, "03/05/2012 00:05:09 Monday"},
        {t0005 + 86400 * 6, OldClock("", true), kChinese, "2012-03-10 00:05:09 星期六"},
        {t0005, OldClock("CH1 REC"), kChinese, "CH1 REC"},
        {t0005, OldClock("CH1 REC", true), kEnglish, "CH1 REC"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClockOf(c.seconds, c.record, c.language), FromUtf8(c.text)) << c.text;
}

TEST_F(V20, ClockIsRebuiltFromTheKeptRecord) {
    std::vector<V20FrameFields> frameList;
    frameList.push_back(Video(1, {Text("cam"), NewClock(1, 2, true)}));
    for (int i = 1; i <= 2; ++i) {
        frameList.push_back(Video(0));
        frameList.back().dwSeconds = kSunday0005 + uint32_t(i) * 13 * 3600;
    }
    // An old-style record with its own string keeps showing the string.
    frameList.push_back(Video(1, {OldClock("LIVE")}));
    frameList.push_back(Video(0));
    const std::vector<Parsed> got = ParseFrames(frameList);
    ASSERT_EQ(got.size(), 5u);
    const char *clocks[] = {"03/04/2012 0:05:09 AM Sunday", "03/04/2012 1:05:09 PM Sunday",
                            "03/05/2012 2:05:09 AM Monday"};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(got[i].osd.size(), 2u);
        ExpectItem(got[i].osd[1], {DEMUX_OSD_TEXT, 48, 64, 0, 0, FromUtf8(clocks[i]), 0}, clocks[i]);
    }
    ASSERT_EQ(got[4].osd.size(), 1u);
    EXPECT_EQ(U16(got[4].osd[0].body.szText), u"LIVE");
}
