// V30 parser: round trips of written recordings in every block size, the
// header fields, the checksum, OSD records and damaged input.
#include <gtest/gtest.h>

#include <random>

#include "demux/streamv30.h"
#include "demux_test_util.h"

using namespace demuxtest;

namespace {

// The clock texts the round trips use, formatted independently of the
// parser.
std::u16string ClockText(uint8_t style, const SYSTEMTIME &t) {
    switch (style) {
    case 0:
        return FromUtf8(Printf("%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                               t.wSecond));
    case 1:
        return FromUtf8(Printf("%04u-%02u-%02u %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                               t.wMinute, t.wSecond, t.wMilliseconds));
    case 2:
        return FromUtf8(Printf("%02u:%02u:%02u", t.wHour, t.wMinute, t.wSecond));
    default:
        ADD_FAILURE() << "style " << int(style) << " has no reference here";
        return u"";
    }
}

// The items a frame must carry: the records in force (set by the last I
// frame or frame with records), each made with this frame's time.
class CV30OsdModel {
public:
    std::vector<ExpectedItem> Next(const FixtureFrame &f) {
        if (f.nType == DEMUX_FRAME_I || !f.osd.empty())
            m_records = f.osd;
        std::vector<ExpectedItem> items;
        for (const FixtureOsdRecord &r : m_records) {
            ExpectedItem e;
            e.wX = r.wX;
            e.wY = r.wY;
            if (r.dwType == 0) {
                e.text = FromUtf8(r.text);
            } else if (r.dwType == 1) {
                e.text = ClockText(r.byStyle, f.stTime);
            } else if (r.dwType == 2) {
                e.dwKind = DEMUX_OSD_MOSAIC;
                e.wWidth = r.wWidth;
                e.wHeight = r.wHeight;
                e.dwMode = r.bMosaicOn ? 1 : 0;
            } else {
                continue;
            }
            items.push_back(e);
        }
        return items;
    }

private:
    std::vector<FixtureOsdRecord> m_records;
};

void ExpectOsd(const std::vector<Parsed> &got, const std::vector<FixtureFrame> &written) {
    CV30OsdModel model;
    size_t g = 0;
    for (const FixtureFrame &f : written) {
        if (!f.bDelivered)
            continue;
        ASSERT_LT(g, got.size());
        const Parsed &p = got[g++];
        if (f.nType == DEMUX_FRAME_AUDIO)
            continue;
        const std::vector<ExpectedItem> items = model.Next(f);
        ASSERT_EQ(p.osd.size(), items.size()) << "frame at " << f.ullOffset;
        EXPECT_EQ(p.rec.byOsdCount, items.size());
        for (size_t i = 0; i < items.size(); ++i)
            ExpectItem(p.osd[i], items[i],
                       "frame at " + std::to_string(f.ullOffset) + " item " + std::to_string(i));
    }
}

struct RoundTripCase {
    const char *name;
    V30Options options;
};

std::vector<RoundTripCase> RoundTripCases() {
    std::vector<RoundTripCase> cases;
    {
        RoundTripCase c{"704x576 A-law clock title", {}};
        cases.push_back(c);
    }
    {
        RoundTripCase c{"1080p G.722 mosaic, clock in ms", {}};
        c.options.videoSample = "h264_1920x1080_high.264";
        c.options.wWidth = 1920;
        c.options.wHeight = 1080;
        c.options.dwVideoFrames = 30;
        c.options.dwAudioCodec = DEMUX_CODEC_G722;
        c.options.nClockStyle = 1;
        c.options.bMosaic = true;
        c.options.dwFrameInterval = 33;
        cases.push_back(c);
    }
    {
        RoundTripCase c{"352x288 PCM8 no file header", {}};
        c.options.videoSample = "h264_352x288_baseline_cavlc.264";
        c.options.wWidth = 352;
        c.options.wHeight = 288;
        c.options.dwAudioCodec = DEMUX_CODEC_PCM8;
        c.options.nClockStyle = 2;
        c.options.dwFrameInterval = 1000; // the clock's seconds change every frame
        c.options.bFileHeader = false;
        c.options.title = "";
        cases.push_back(c);
    }
    {
        RoundTripCase c{"704x288 G.726 records on every frame, 2038", {}};
        c.options.videoSample = "h264_704x288_field.264";
        c.options.wWidth = 704;
        c.options.wHeight = 288;
        c.options.dwAudioCodec = DEMUX_CODEC_G726;
        c.options.nClockStyle = -1;
        c.options.bMosaic = true;
        c.options.bOsdOnEveryFrame = true;
        c.options.llStartTime = 2147483640; // runs past 2^31 seconds
        cases.push_back(c);
    }
    return cases;
}

} // namespace

TEST(V30RoundTrip, EveryFieldInEveryBlockSize) {
    for (const RoundTripCase &c : RoundTripCases()) {
        std::vector<FixtureFrame> written;
        const std::vector<uint8_t> data = WriteV30(c.options, &written);
        ASSERT_FALSE(data.empty()) << c.name << ": samples missing";
        for (size_t block : {size_t(1), size_t(4097), size_t(256 * 1024), data.size()}) {
            SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block));
            int32_t result = 0;
            CBaseStream *stream = Create(data, &result);
            ASSERT_NE(stream, nullptr) << std::hex << result;
            StreamInfo info{};
            info.dwSize = DEMUX_STREAM_INFO_SIZE;
            ASSERT_EQ(Demux_GetInfo(stream, &info), DEMUX_OK);
            EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_V30));
            EXPECT_STREQ(info.szName, "ZEMASTREAMV30");
            const std::vector<Parsed> got = FeedAll(stream, data, block);
            ExpectFrames(got, written, data, c.name);
            ExpectOsd(got, written);
            Demux_Destroy(stream);
        }
    }
}

TEST(V30RoundTrip, StatisticsCountWhatWasWritten) {
    V30Options o;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> data = WriteV30(o, &written);
    ASSERT_FALSE(data.empty());
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    FeedAll(stream, data, 65536);
    StreamStatistics s{};
    ASSERT_EQ(stream->GetStatistics(&s), DEMUX_OK);
    uint32_t audio = 0, i = 0, p = 0;
    for (const FixtureFrame &f : written) {
        audio += f.nType == DEMUX_FRAME_AUDIO;
        i += f.nType == DEMUX_FRAME_I;
        p += f.nType == DEMUX_FRAME_P;
    }
    EXPECT_EQ(s.dwSize, DEMUX_STATISTICS_SIZE);
    EXPECT_EQ(s.dwAudioFrameCount, audio);
    EXPECT_EQ(s.dwIFrameCount, i);
    EXPECT_EQ(s.dwPFrameCount, p);
    EXPECT_EQ(s.dwOtherVideoFrameCount, 0u);
    EXPECT_EQ(s.dwDroppableFrameCount, 0u);
    EXPECT_EQ(s.dwVideoDuration, (i + p - 1) * o.dwFrameInterval);
    Demux_Destroy(stream);
}

// ---- Header fields ----

namespace {

std::vector<uint8_t> Payload(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = uint8_t(seed + i * 7);
    return p;
}

// A stream of frames behind a file header, parsed whole.
std::vector<Parsed> ParseFrames(const std::vector<V30FrameFields> &frameList,
                                std::vector<uint8_t> *bytes = nullptr,
                                std::vector<uint64_t> *offsets = nullptr) {
    std::vector<uint8_t> data = V30FileHeader();
    for (const V30FrameFields &s : frameList) {
        if (offsets)
            offsets->push_back(data.size());
        AppendV30Frame(data, s);
    }
    if (bytes)
        *bytes = data;
    CBaseStream *stream = Create(data);
    EXPECT_NE(stream, nullptr);
    if (!stream)
        return {};
    std::vector<Parsed> got = FeedAll(stream, data, data.size());
    Demux_Destroy(stream);
    return got;
}

V30FrameFields Video(uint8_t kind, std::vector<FixtureOsdRecord> osd = {}) {
    V30FrameFields s;
    s.byKind = kind;
    s.payload = Payload(200);
    s.llTime = 1330819509; // 2012-03-04 00:05:09, a Sunday
    s.osd = std::move(osd);
    return s;
}

FixtureOsdRecord TextRecord(const std::string &text, uint16_t x = 8, uint16_t y = 8) {
    FixtureOsdRecord r;
    r.dwType = 0;
    r.wX = x;
    r.wY = y;
    r.text = text;
    return r;
}

FixtureOsdRecord TimeRecord(uint8_t style, uint16_t x = 8, uint16_t y = 40) {
    FixtureOsdRecord r;
    r.dwType = 1;
    r.wX = x;
    r.wY = y;
    r.byStyle = style;
    return r;
}

} // namespace

TEST(V30Header, PictureSizeRateSequenceAndTimes) {
    V30FrameFields s = Video(1);
    s.wWidth = 480 * 4;  // width field 480
    s.wHeight = 270 * 4; // height field 270
    s.byRate = 0x7F;
    s.dwSequence = 0xDEADBEEF;
    s.dwTimestamp = 0xFFFFFFF0;
    s.wMilliseconds = 1023;
    s.llTime = 951825600; // 2000-02-29 12:00:00, a Tuesday
    const std::vector<Parsed> got = ParseFrames({s});
    ASSERT_EQ(got.size(), 1u);
    const FrameRecord &r = got[0].rec;
    EXPECT_EQ(r.wWidth, 1920);
    EXPECT_EQ(r.wHeight, 1080);
    EXPECT_EQ(r.byRate, 0x7F);
    EXPECT_EQ(r.dwSequence, 0xDEADBEEFu);
    EXPECT_EQ(r.dwTimestamp, 0xFFFFFFF0u);
    EXPECT_EQ(r.stTime.wYear, 2000);
    EXPECT_EQ(r.stTime.wMonth, 2);
    EXPECT_EQ(r.stTime.wDay, 29);
    EXPECT_EQ(r.stTime.wDayOfWeek, 2);
    EXPECT_EQ(r.stTime.wHour, 12);
    EXPECT_EQ(r.stTime.wMilliseconds, 1023);
}

TEST(V30Header, TimesThatCannotBeBrokenDownStayZero) {
    const struct {
        int64_t seconds;
        bool valid;
    } cases[] = {{-1, false}, {INT64_MIN, false}, {0, true}, {32535215999LL, true}, {32535216000LL, false}};
    for (const auto &c : cases) {
        V30FrameFields s = Video(1);
        s.llTime = c.seconds;
        s.wMilliseconds = 500;
        s.osd = {TimeRecord(0)};
        const std::vector<Parsed> got = ParseFrames({s});
        ASSERT_EQ(got.size(), 1u) << c.seconds;
        const SYSTEMTIME zero{};
        if (c.valid) {
            EXPECT_TRUE(SameTime(got[0].rec.stTime, FixtureBreakDown(c.seconds, 500))) << c.seconds;
        } else {
            EXPECT_TRUE(SameTime(got[0].rec.stTime, zero)) << c.seconds;
            // The clock still appears, formatted from the zero time.
            ASSERT_EQ(got[0].osd.size(), 1u);
            EXPECT_EQ(U16(got[0].osd[0].body.szText), u"0000-00-00 00:00:00");
        }
    }
}

TEST(V30Header, FrameKindsAndCodecCodes) {
    const struct {
        uint8_t kind, code;
        int32_t type;
        uint32_t codec;
    } cases[] = {
        {1, 0, DEMUX_FRAME_I, 3},         {2, 1, DEMUX_FRAME_P, 4},     {3, 2, DEMUX_FRAME_OTHER_VIDEO, 5},
        {4, 3, DEMUX_FRAME_DROPPABLE, 6}, {1, 4, DEMUX_FRAME_I, 0},     {2, 31, DEMUX_FRAME_P, 0},
        {0, 0, DEMUX_FRAME_AUDIO, 2},     {0, 1, DEMUX_FRAME_AUDIO, 3}, {0, 2, DEMUX_FRAME_AUDIO, 4},
        {0, 3, DEMUX_FRAME_AUDIO, 5},     {0, 4, DEMUX_FRAME_AUDIO, 0}, {0, 31, DEMUX_FRAME_AUDIO, 0},
    };
    for (const auto &c : cases) {
        V30FrameFields s = Video(c.kind);
        s.byCodecCode = c.code;
        const std::vector<Parsed> got = ParseFrames({s});
        ASSERT_EQ(got.size(), 1u) << int(c.kind) << "/" << int(c.code);
        EXPECT_EQ(got[0].rec.nType, c.type) << int(c.kind) << "/" << int(c.code);
        EXPECT_EQ(got[0].rec.dwCodec, c.codec) << int(c.kind) << "/" << int(c.code);
        if (c.kind == 0) {
            // Audio carries no picture, time or position.
            EXPECT_EQ(got[0].rec.ullFileOffset, 0u);
            EXPECT_EQ(got[0].rec.wWidth, 0);
            EXPECT_EQ(got[0].rec.stTime.wYear, 0);
            EXPECT_EQ(got[0].rec.dwHeaderLength, 16u);
        }
    }
}

TEST(V30Header, KindsFiveToSevenAreNotFrames) {
    for (uint8_t kind : {5, 6, 7}) {
        std::vector<uint8_t> bytes;
        const std::vector<Parsed> got = ParseFrames({Video(1), Video(kind), Video(2)}, &bytes);
        ASSERT_EQ(got.size(), 2u) << int(kind);
        EXPECT_EQ(got[0].rec.nType, DEMUX_FRAME_I);
        EXPECT_EQ(got[1].rec.nType, DEMUX_FRAME_P);
    }
}

// ---- Checksum ----

TEST(V30Checksum, SpanZeroAndShortPayloadCoverNothing) {
    // 16-byte header, one payload byte, N = 0: nothing is summed.
    const uint8_t header[16] = {0x68, 0, 0x62, 0xFF, 16, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    const uint8_t payload[1] = {0xAB};
    EXPECT_EQ(V30ComputeChecksum(header, 16, payload, 1, 0), 0x800000u);

    // 2N above the payload length: only the header bytes from 16 count.
    uint8_t h2[20] = {0x68, 0, 0x62, 0xFF, 20, 0, 0, 0, 10, 0, 0, 0, 19, 0, 0, 0, 1, 2, 3, 250};
    const std::vector<uint8_t> p19 = Payload(19, 100);
    EXPECT_EQ(V30ComputeChecksum(h2, 20, p19.data(), 19, 10), 0x800000u | 256u);
    // With 2N equal to the length both halves count.
    const std::vector<uint8_t> p20 = Payload(20, 100);
    uint32_t sum = 256;
    for (uint8_t b : p20)
        sum += b;
    EXPECT_EQ(V30ComputeChecksum(h2, 20, p20.data(), 20, 10), 0x800000u | sum);
    // The sum is cut to 23 bits.
    std::vector<uint8_t> big(16 + 40000, 0xFF);
    EXPECT_EQ(V30ComputeChecksum(big.data(), uint32_t(big.size()), p20.data(), 20, 0),
              0x800000u | ((40000u * 255u) & 0x7FFFFF));
}

TEST(V30Checksum, MinimalAudioFrameParses) {
    V30FrameFields s;
    s.byKind = 0;
    s.byCodecCode = 1;
    s.byChecksumSpan = 0;
    s.payload = {0x55};
    std::vector<uint8_t> bytes;
    const std::vector<Parsed> got = ParseFrames({s}, &bytes);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.dwPayloadLength, 1u);
    EXPECT_EQ(got[0].payload[0], 0x55);
    EXPECT_EQ(bytes[256 + 9] | (bytes[256 + 10] << 8) | (bytes[256 + 11] << 16), 0x800000);
}

TEST(V30Checksum, DamagedFramesAreLostAndTheNextIsFound) {
    // Each case damages the middle frame of three; the outer two survive.
    const struct {
        const char *name;
        size_t offset; // within the middle frame
        int xorValue;
    } cases[] = {
        {"checksum byte", 9, 0x01},
        {"header byte in the video block", 30, 0x10},
        {"first payload byte", 40, 0x01},
        {"last payload byte", 40 + 199, 0x80},
        {"magic", 1, 0x01},
        {"header length", 4, 0xFF},
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> data = V30FileHeader();
        std::vector<uint64_t> offsets;
        for (int i = 0; i < 3; ++i) {
            V30FrameFields s = Video(i == 0 ? 1 : 2);
            s.dwSequence = uint32_t(i);
            offsets.push_back(data.size());
            AppendV30Frame(data, s);
        }
        data[offsets[1] + c.offset] ^= uint8_t(c.xorValue);
        CBaseStream *stream = Create(data);
        ASSERT_NE(stream, nullptr);
        const std::vector<Parsed> got = FeedAll(stream, data, 1000);
        ASSERT_EQ(got.size(), 2u) << c.name;
        EXPECT_EQ(got[0].rec.dwSequence, 0u) << c.name;
        EXPECT_EQ(got[1].rec.dwSequence, 2u) << c.name;
        EXPECT_EQ(got[1].rec.ullFileOffset, offsets[2]) << c.name;
        Demux_Destroy(stream);
    }
}

TEST(V30Checksum, StoredChecksumZeroIsNotAFrame) {
    // Craft a frame whose checksum field is 0 even though bit 23 of every
    // computed one is set.
    std::vector<uint8_t> data = V30FileHeader();
    const size_t at = data.size();
    AppendV30Frame(data, Video(1));
    data[at + 9] = data[at + 10] = data[at + 11] = 0;
    AppendV30Frame(data, Video(2));
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    const std::vector<Parsed> got = FeedAll(stream, data, data.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.nType, DEMUX_FRAME_P);
    Demux_Destroy(stream);
}

// ---- Damage ----

TEST(V30Damage, GarbageBetweenFramesIsSkipped) {
    std::mt19937 rng(7);
    std::vector<uint8_t> data = V30FileHeader();
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 20; ++i) {
        const size_t garbage = rng() % 3000;
        for (size_t k = 0; k < garbage; ++k) {
            // Plenty of magic starts among the noise.
            data.push_back(k % 17 == 0 ? 0x68 : uint8_t(rng()));
        }
        V30FrameFields s = Video(i % 5 == 0 ? 1 : 2);
        s.dwSequence = uint32_t(i);
        s.payload = Payload(50 + rng() % 5000, uint8_t(i));
        offsets.push_back(data.size());
        AppendV30Frame(data, s);
    }
    for (size_t block : {size_t(1), size_t(333), data.size()}) {
        CBaseStream *stream = Create(data);
        ASSERT_NE(stream, nullptr);
        const std::vector<Parsed> got = FeedAll(stream, data, block);
        ASSERT_EQ(got.size(), 20u) << block;
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].rec.dwSequence, i);
            EXPECT_EQ(got[i].rec.ullFileOffset, offsets[i]);
        }
        Demux_Destroy(stream);
    }
}

TEST(V30Damage, StreamStartingMidFrame) {
    std::vector<uint8_t> whole;
    std::vector<uint64_t> offsets;
    for (int i = 0; i < 3; ++i) {
        V30FrameFields s = Video(1);
        s.dwSequence = uint32_t(i);
        offsets.push_back(whole.size());
        AppendV30Frame(whole, s);
    }
    // Cut into the first frame's payload.
    const std::vector<uint8_t> data(whole.begin() + 100, whole.end());
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    const std::vector<Parsed> got = FeedAll(stream, data, data.size());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].rec.dwSequence, 1u);
    EXPECT_EQ(got[0].rec.ullFileOffset, offsets[1] - 100);
    Demux_Destroy(stream);
}

TEST(V30Damage, TruncatedLastFrameAndLengthPastTheEnd) {
    std::vector<uint8_t> data = V30FileHeader();
    AppendV30Frame(data, Video(1));
    const size_t cutFrame = data.size();
    AppendV30Frame(data, Video(2));
    data.resize(data.size() - 1); // last payload byte missing
    {
        CBaseStream *stream = Create(data);
        ASSERT_NE(stream, nullptr);
        const std::vector<Parsed> got = FeedAll(stream, data, 7);
        EXPECT_EQ(got.size(), 1u);
        Demux_Destroy(stream);
    }
    // A payload length far past the end: the frame waits, no read beyond.
    std::vector<uint8_t> longer(data.begin(), data.begin() + long(cutFrame) + 40);
    longer[cutFrame + 12] = 0xFF;
    longer[cutFrame + 13] = 0xFF;
    longer[cutFrame + 14] = 0xFF;
    {
        CBaseStream *stream = Create(longer);
        ASSERT_NE(stream, nullptr);
        const std::vector<Parsed> got = FeedAll(stream, longer, longer.size());
        EXPECT_EQ(got.size(), 1u);
        Demux_Destroy(stream);
    }
    // A header length past the end likewise.
    std::vector<uint8_t> header(data.begin(), data.begin() + long(cutFrame) + 40);
    header[cutFrame + 4] = 0xFF;
    header[cutFrame + 5] = 0xFF;
    {
        CBaseStream *stream = Create(header);
        ASSERT_NE(stream, nullptr);
        const std::vector<Parsed> got = FeedAll(stream, header, 3);
        EXPECT_EQ(got.size(), 1u);
        Demux_Destroy(stream);
    }
}

// ---- OSD records ----

TEST(V30Osd, RecordsOfEveryType) {
    FixtureOsdRecord mosaicOn;
    mosaicOn.dwType = 2;
    mosaicOn.wX = 100;
    mosaicOn.wY = 120;
    mosaicOn.wWidth = 64;
    mosaicOn.wHeight = 32;
    FixtureOsdRecord mosaicOff = mosaicOn;
    mosaicOff.bMosaicOn = false;
    mosaicOff.wX = 300;
    FixtureOsdRecord unknown;
    unknown.dwType = 9;
    const std::vector<Parsed> got = ParseFrames(
        {Video(1, {TextRecord("Gate 3", 4, 6), unknown, TimeRecord(0, 10, 20), mosaicOn, mosaicOff})});
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].osd.size(), 4u); // the unknown type makes none
    ExpectedItem text{DEMUX_OSD_TEXT, 4, 6, 0, 0, u"Gate 3", 0};
    ExpectedItem clock{DEMUX_OSD_TEXT, 10, 20, 0, 0, u"2012-03-04 00:05:09", 0};
    ExpectedItem on{DEMUX_OSD_MOSAIC, 100, 120, 64, 32, u"", 1};
    ExpectedItem off{DEMUX_OSD_MOSAIC, 300, 120, 64, 32, u"", 0};
    ExpectItem(got[0].osd[0], text, "text");
    ExpectItem(got[0].osd[1], clock, "clock");
    ExpectItem(got[0].osd[2], on, "mosaic on");
    ExpectItem(got[0].osd[3], off, "mosaic off");
}

TEST(V30Osd, TextLengthLimitAndConversion) {
    const struct {
        std::string text;
        bool made;
    } cases[] = {
        {std::string(127, 'a'), true},  // 128 bytes with the NUL
        {std::string(128, 'b'), false}, // one too many
        {"", true},
        {"\xE5\x8D\x97\xE9\x97\xA8", true}, // UTF-8 (the ANSI code page here)
    };
    for (const auto &c : cases) {
        const std::vector<Parsed> got = ParseFrames({Video(1, {TextRecord(c.text), TextRecord("after")})});
        ASSERT_EQ(got.size(), 1u);
        ASSERT_EQ(got[0].osd.size(), c.made ? 2u : 1u) << c.text.size();
        // The records behind are still read.
        EXPECT_EQ(U16(got[0].osd.back().body.szText), u"after");
        if (c.made && c.text.size() == 127) {
            EXPECT_EQ(U16(got[0].osd[0].body.szText), std::u16string(127, u'a'));
        }
    }
#ifndef _WIN32
    const std::vector<Parsed> got = ParseFrames({Video(1, {TextRecord("\xE5\x8D\x97\xE9\x97\xA8")})});
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].osd.size(), 1u);
    EXPECT_EQ(U16(got[0].osd[0].body.szText), u"\u5357\u95E8");
#endif
}

TEST(V30Osd, IFrameWithoutRecordsClearsEverything) {
    const std::vector<Parsed> got = ParseFrames({Video(1, {TextRecord("title"), TimeRecord(0)}), Video(2),
                                                 Video(1), Video(2), Video(2, {TextRecord("new")})});
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].osd.size(), 2u);
    EXPECT_EQ(got[1].osd.size(), 2u);
    EXPECT_EQ(got[2].osd.size(), 0u);
    EXPECT_EQ(got[2].rec.pOsdItems, nullptr);
    EXPECT_EQ(got[3].osd.size(), 0u);
    // A P frame with records replaces the set.
    ASSERT_EQ(got[4].osd.size(), 1u);
    EXPECT_EQ(U16(got[4].osd[0].body.szText), u"new");
}

TEST(V30Osd, ClockFollowsFramesWithoutRecords) {
    std::vector<V30FrameFields> frameList;
    frameList.push_back(Video(1, {TextRecord("t"), TimeRecord(1, 30, 60), TextRecord("u")}));
    frameList.back().wMilliseconds = 5;
    for (int i = 1; i <= 3; ++i) {
        frameList.push_back(Video(2));
        frameList.back().llTime += i * 3600 + i;
        frameList.back().wMilliseconds = uint16_t(100 * i);
    }
    const std::vector<Parsed> got = ParseFrames(frameList);
    ASSERT_EQ(got.size(), 4u);
    const char16_t *clocks[] = {u"2012-03-04 00:05:09.005", u"2012-03-04 01:05:10.100",
                                u"2012-03-04 02:05:11.200", u"2012-03-04 03:05:12.300"};
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(got[i].osd.size(), 3u);
        // The rebuilt clock keeps its place and position.
        ExpectItem(got[i].osd[1], {DEMUX_OSD_TEXT, 30, 60, 0, 0, clocks[i], 0}, "frame " + std::to_string(i));
        EXPECT_EQ(U16(got[i].osd[2].body.szText), u"u");
    }
}

TEST(V30Osd, ResetForgetsTheClock) {
    std::vector<uint8_t> first = V30FileHeader();
    AppendV30Frame(first, Video(1, {TimeRecord(0)}));
    std::vector<uint8_t> second;
    AppendV30Frame(second, Video(2));
    CBaseStream *stream = Create(first);
    ASSERT_NE(stream, nullptr);
    std::vector<Parsed> got = FeedAll(stream, first, first.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].osd.size(), 1u);
    ASSERT_EQ(stream->Reset(), DEMUX_OK);
    got = FeedAll(stream, second, second.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].osd.size(), 0u);
    EXPECT_EQ(got[0].rec.ullFileOffset, 0u); // offsets count again from the reset
    Demux_Destroy(stream);
}

TEST(V30Osd, RecordsStartBehindTheVideoBlock) {
    V30FrameFields s = Video(1, {TextRecord("x")});
    s.videoBlockExtra = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    const std::vector<Parsed> got = ParseFrames({s});
    ASSERT_EQ(got.size(), 1u);
    ASSERT_EQ(got[0].osd.size(), 1u);
    EXPECT_EQ(U16(got[0].osd[0].body.szText), u"x");
}

// Records whose lengths lead past the header, a zero length, or a count
// larger than the records present: the walk ends inside the header and the
// records read so far stay.
TEST(V30Osd, WalksStayInsideTheHeader) {
    auto raw = [](uint32_t length, uint32_t type, size_t bytes) {
        FixtureOsdRecord r;
        r.raw.assign(bytes, 0);
        const uint32_t word = (length & 0x7FF) | (type << 11);
        for (size_t i = 0; i < 4 && i < bytes; ++i)
            r.raw[i] = uint8_t(word >> (8 * i));
        return r;
    };
    const struct {
        const char *name;
        std::vector<FixtureOsdRecord> records;
        int countOverride;
        size_t items;
    } cases[] = {
        {"length past the header", {TextRecord("a"), raw(2000, 0, 16), TextRecord("b")}, -1, 1},
        {"last record longer than its bytes", {TextRecord("a"), raw(40, 0, 20)}, -1, 1},
        {"zero length", {TextRecord("a"), raw(0, 0, 16), TextRecord("b")}, -1, 1},
        {"count above the records", {TextRecord("a"), TextRecord("b")}, 200, 2},
        {"record word cut by the header end", {TextRecord("a"), raw(0, 0, 2)}, 3, 1},
        {"time record without its style byte", {raw(12, 1, 12), TextRecord("b")}, -1, 1},
        {"text without a NUL", {raw(20, 0, 20), TextRecord("b")}, -1, 1},
    };
    for (const auto &c : cases) {
        V30FrameFields s = Video(1, c.records);
        s.nOsdCountOverride = c.countOverride;
        if (std::string(c.name) == "text without a NUL") {
            for (size_t i = 4; i < 20; ++i)
                s.osd[0].raw[i] = 'z';
        }
        // The header is the last thing before the payload; make the payload
        // bytes look like records too so that a walk past the header would
        // show.
        s.payload.assign(400, 0);
        for (size_t i = 0; i + 16 <= s.payload.size(); i += 16) {
            s.payload[i] = 16;
            s.payload[i + 14] = 'P';
        }
        const std::vector<Parsed> got = ParseFrames({s});
        ASSERT_EQ(got.size(), 1u) << c.name;
        EXPECT_EQ(got[0].osd.size(), c.items) << c.name;
        for (const OsdItem &item : got[0].osd)
            EXPECT_NE(U16(item.body.szText), u"P") << c.name;
    }
}

TEST(V30Osd, ShortHeaderReadsNoFieldsFromThePayload) {
    // A video frame with a bare 16-byte header: the video block fields lie
    // outside the header and read as zero.
    std::vector<uint8_t> frame(16, 0);
    frame[0] = 0x68;
    frame[2] = 0x62;
    frame[3] = 0xFF;
    frame[4] = 16;
    frame[6] = 1;
    frame[7] = 5; // five records claimed, none present
    frame[12] = 100;
    const std::vector<uint8_t> payload(100, 0xFF);
    const uint32_t sum = V30ComputeChecksum(frame.data(), 16, payload.data(), 100, 0);
    frame[9] = uint8_t(sum);
    frame[10] = uint8_t(sum >> 8);
    frame[11] = uint8_t(sum >> 16);
    std::vector<uint8_t> bytes = V30FileHeader();
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    CBaseStream *stream = Create(bytes);
    ASSERT_NE(stream, nullptr);
    const std::vector<Parsed> got = FeedAll(stream, bytes, bytes.size());
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.nType, DEMUX_FRAME_I);
    EXPECT_EQ(got[0].rec.wWidth, 0);
    EXPECT_EQ(got[0].rec.wHeight, 0);
    EXPECT_EQ(got[0].rec.dwSequence, 0u);
    EXPECT_EQ(got[0].rec.stTime.wYear, 1970); // second 0
    EXPECT_EQ(got[0].osd.size(), 0u);
    Demux_Destroy(stream);
}

TEST(V30Osd, UnknownStyleGivesAnEmptyClock) {
    std::vector<V30FrameFields> frameList = {Video(1, {TimeRecord(8, 12, 14)}), Video(2)};
    frameList[1].llTime += 3600;
    const std::vector<Parsed> got = ParseFrames(frameList);
    ASSERT_EQ(got.size(), 2u);
    for (const Parsed &p : got) {
        ASSERT_EQ(p.osd.size(), 1u);
        ExpectItem(p.osd[0], {DEMUX_OSD_TEXT, 12, 14, 0, 0, u"", 0}, "style 8");
    }
}
