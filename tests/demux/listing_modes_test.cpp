// Parsers in the modes a file index reads with: the on-screen display
// switched off (the same frames, positions and payloads, no OSD items) and
// a frame sink (the same frames handed over while parsing, none queued);
// and the recording time kept from one frame to the next.
#include "demux_test_util.h"
#include "fixtures/fixture15.h"
#include "fixtures/fixture6000.h"
#include "fixtures/fixturev10.h"

namespace {

using namespace demuxtest;

CBaseStream *CreateFor(const std::vector<uint8_t> &bytes) {
    DemuxInput first{};
    first.dwSize = DEMUX_INPUT_SIZE;
    first.dwLength = uint32_t(std::min<size_t>(bytes.size(), 0x40000));
    first.pData = bytes.data();
    CBaseStream *stream = nullptr;
    EXPECT_GE(Demux_Create(&stream, &first), 0);
    return stream;
}

std::vector<Parsed> ParseAll(const std::vector<uint8_t> &bytes, bool osd) {
    CBaseStream *stream = CreateFor(bytes);
    if (stream == nullptr)
        return {};
    stream->SetOsdEnabled(osd);
    std::vector<Parsed> out = FeedAll(stream, bytes, 0x10000);
    Demux_Destroy(stream);
    return out;
}

struct Recording {
    const char *name;
    std::vector<uint8_t> bytes;
};

// Recordings of the generations with an on-screen display (and of the 15
// generation, which has none, when asked).
std::vector<Recording> Recordings(uint32_t videoFrames, bool with15) {
    V30Options v30;
    v30.dwVideoFrames = videoFrames;
    v30.bOsdOnEveryFrame = true;
    V20Options v20;
    v20.dwVideoFrames = videoFrames;
    V10Options v10;
    v10.dwVideoFrames = videoFrames;
    std::vector<Recording> out;
    out.push_back({"V30", WriteV30(v30, nullptr)});
    out.push_back({"V20", WriteV20(v20, nullptr)});
    out.push_back({"V10", WriteV10(v10, nullptr)});
    if (with15) {
        Options15 g15;
        g15.dwVideoFrames = videoFrames;
        out.push_back({"15", Write15(g15, nullptr)});
    }
    return out;
}

TEST(OsdSwitch, OffKeepsEveryFrameAndDropsOnlyTheItems) {
    for (const Recording &r : Recordings(60, false)) {
        const std::vector<Parsed> with = ParseAll(r.bytes, true);
        const std::vector<Parsed> without = ParseAll(r.bytes, false);
        ASSERT_GT(with.size(), 100u) << r.name;
        ASSERT_EQ(with.size(), without.size()) << r.name;
        size_t itemsWith = 0;
        for (size_t i = 0; i < with.size(); ++i) {
            const FrameRecord &a = with[i].rec;
            const FrameRecord &b = without[i].rec;
            EXPECT_EQ(a.nType, b.nType) << r.name << " frame " << i;
            EXPECT_EQ(a.ullFileOffset, b.ullFileOffset) << r.name << " frame " << i;
            EXPECT_EQ(a.dwSequence, b.dwSequence) << r.name << " frame " << i;
            EXPECT_EQ(a.dwTimestamp, b.dwTimestamp) << r.name << " frame " << i;
            EXPECT_EQ(0, std::memcmp(&a.stTime, &b.stTime, sizeof a.stTime)) << r.name << " frame " << i;
            EXPECT_EQ(with[i].payload, without[i].payload) << r.name << " frame " << i;
            EXPECT_EQ(b.byOsdCount, 0u) << r.name << " frame " << i;
            EXPECT_EQ(b.pOsdItems, nullptr) << r.name << " frame " << i;
            itemsWith += with[i].osd.size();
        }
        // The recordings do carry a display: switching it off is what differs.
        EXPECT_GT(itemsWith, 0u) << r.name;
    }
}

// Copies of what a sink is handed, bytes and OSD items included.
class CCollectSink final : public CBaseStream::CFrameSink {
public:
    void OnFrame(const FrameRecord *f) override { frames.push_back(Copy(f)); }
    std::vector<Parsed> frames;
};

// Every frame of the recording, fed in blocks of the index reader's size
// (frames straddle the block ends), through a sink or through the queue.
std::vector<Parsed> ParseThrough(const std::vector<uint8_t> &bytes, bool sink) {
    CBaseStream *stream = CreateFor(bytes);
    if (stream == nullptr)
        return {};
    CCollectSink collect;
    if (sink) {
        EXPECT_TRUE(stream->SetFrameSink(&collect));
    }
    std::vector<Parsed> queued;
    for (size_t at = 0; at < bytes.size(); at += 0x40000) {
        const size_t n = std::min<size_t>(0x40000, bytes.size() - at);
        EXPECT_EQ(Feed(stream, bytes.data() + at, n), DEMUX_OK);
        Drain(stream, queued);
    }
    Demux_Destroy(stream);
    if (sink) {
        EXPECT_TRUE(queued.empty()) << "a parser with a sink queued frames";
        return collect.frames;
    }
    return queued;
}

TEST(FrameSink, GetsEveryFrameTheQueueWouldAndQueuesNone) {
    // Several blocks of the index reader's size each.
    for (const Recording &r : Recordings(400, true)) {
        const std::vector<Parsed> queued = ParseThrough(r.bytes, false);
        const std::vector<Parsed> sunk = ParseThrough(r.bytes, true);
        ASSERT_GT(queued.size(), 200u) << r.name;
        ASSERT_EQ(queued.size(), sunk.size()) << r.name;
        size_t items = 0;
        for (size_t i = 0; i < queued.size(); ++i) {
            SCOPED_TRACE(std::string(r.name) + " frame " + std::to_string(i));
            FrameRecord a = queued[i].rec;
            FrameRecord b = sunk[i].rec;
            EXPECT_EQ(queued[i].header, sunk[i].header);
            EXPECT_EQ(queued[i].payload, sunk[i].payload);
            ASSERT_EQ(queued[i].osd.size(), sunk[i].osd.size());
            for (size_t k = 0; k < queued[i].osd.size(); ++k)
                EXPECT_EQ(0, std::memcmp(&queued[i].osd[k], &sunk[i].osd[k], sizeof(OsdItem)));
            items += sunk[i].osd.size();
            // Apart from the pointers, every field is the same.
            a.pHeader = b.pHeader = nullptr;
            a.pPayload = b.pPayload = nullptr;
            a.pOsdItems = b.pOsdItems = nullptr;
            EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
        }
        if (std::string(r.name) != "15") { // the 15 generation has no display
            EXPECT_GT(items, 0u) << r.name << ": the recording carries a display";
        }
    }
}

TEST(FrameSink, TheSixThousandGenerationKeepsItsQueue) {
    Options6000 o;
    o.dwVideoFrames = 50;
    const std::vector<uint8_t> bytes = Write6000(o, nullptr);
    CBaseStream *stream = CreateFor(bytes);
    ASSERT_NE(stream, nullptr);
    CCollectSink collect;
    EXPECT_FALSE(stream->SetFrameSink(&collect));
    ASSERT_EQ(Feed(stream, bytes.data(), bytes.size()), DEMUX_OK);
    uint32_t count = 0;
    ASSERT_EQ(Demux_GetFrameCount(stream, &count), DEMUX_OK);
    EXPECT_GE(count, 50u);
    EXPECT_TRUE(collect.frames.empty());
    Demux_Destroy(stream);
}

// Every record as delivered, freed at once.
std::vector<FrameRecord> ParseRecords(const std::vector<uint8_t> &bytes) {
    CBaseStream *stream = CreateFor(bytes);
    if (stream == nullptr)
        return {};
    std::vector<FrameRecord> out;
    EXPECT_EQ(Feed(stream, bytes.data(), bytes.size()), DEMUX_OK);
    FrameRecord *f = nullptr;
    while (Demux_GetFrame(stream, &f) == DEMUX_OK) {
        out.push_back(*f);
        EXPECT_EQ(Demux_FreeFrame(stream, f), DEMUX_OK);
    }
    Demux_Destroy(stream);
    return out;
}

TEST(RecordingTime, EachFrameGetsItsOwnSecondAlsoAfterAnInvalidOne) {
    const std::vector<std::vector<uint8_t>> units = LoadAccessUnits("h264_352x288_baseline_cavlc.264");
    ASSERT_GE(units.size(), 6u);
    // Seconds of consecutive frames: repeated, advancing, out of range (no
    // time), and the same valid second again after it.
    const int64_t base = 1330819509;
    const int64_t seconds[] = {base, base, base + 1, 40000000000LL, base + 1, base + 86400};
    std::vector<uint8_t> bytes = V30FileHeader();
    for (uint32_t i = 0; i < 6; ++i) {
        V30FrameFields f;
        f.byKind = i == 0 ? 1 : 2;
        f.wWidth = 352;
        f.wHeight = 288;
        f.wMilliseconds = uint16_t(i * 40);
        f.dwSequence = i;
        f.dwTimestamp = 1000 + i * 40;
        f.llTime = seconds[i];
        f.payload = units[i];
        AppendV30Frame(bytes, f);
    }
    const std::vector<FrameRecord> got = ParseRecords(bytes);
    ASSERT_EQ(got.size(), 6u);
    for (uint32_t i = 0; i < 6; ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        SYSTEMTIME expected{};
        if (seconds[i] != 40000000000LL)
            expected = FixtureBreakDown(seconds[i], uint16_t(i * 40));
        EXPECT_TRUE(SameTime(got[i].stTime, expected)) << TimeString(got[i].stTime) << " instead of "
                                                       << TimeString(expected);
    }
}

} // namespace
