// Parser base and flat functions: argument checks in order, recognition of
// the generation, buffering, compaction and resynchronisation, the queue
// limit, statistics, and feeding and pulling from two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "demux/streamv30.h"
#include "demux_test_util.h"

using namespace demuxtest;

namespace {

// Shows the input buffer's state to the tests.
class CProbeV30 : public CStreamV30 {
public:
    uint32_t Filled() const { return m_filled; }
    uint32_t Start() const { return m_start; }
    uint32_t Capacity() const { return m_capacity; }
};

// Builds and frees frame records the way the parsers do.
class CBlockProbeV30 : public CStreamV30 {
public:
    BlockPool *PoolOf() { return Pool(); }
    FrameRecord *Apart(const std::vector<uint8_t> &header, const std::vector<uint8_t> &payload) {
        return NewFrameApart(header.data(), uint32_t(header.size()), payload.data(),
                             uint32_t(payload.size()));
    }
    FrameRecord *Shared(const std::vector<uint8_t> &header, const std::vector<uint8_t> &payload) {
        return NewFrame(header.data(), uint32_t(header.size()), payload.data(), uint32_t(payload.size()));
    }
    void Destroy(FrameRecord *frame) { DestroyFrame(frame); }
};

std::vector<uint8_t> Payload(size_t n, uint8_t seed = 9) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = uint8_t(seed + i * 3);
    return p;
}

V30FrameFields Frame(uint8_t kind, uint32_t timestamp, size_t payload = 100, uint32_t sequence = 0) {
    V30FrameFields s;
    s.byKind = kind;
    s.dwTimestamp = timestamp;
    s.dwSequence = sequence;
    s.payload = Payload(payload, uint8_t(sequence));
    return s;
}

CProbeV30 *OpenProbe() {
    auto *stream = new CProbeV30();
    const std::vector<uint8_t> header = V30FileHeader();
    EXPECT_EQ(stream->Open(header.data(), uint32_t(header.size())), DEMUX_OK);
    return stream;
}

} // namespace

// ---- Flat functions ----

TEST(DemuxFlat, CreateChecksInOrder) {
    std::vector<uint8_t> block = V30FileHeader();
    CBaseStream *stream = nullptr;
    DemuxInput in{DEMUX_INPUT_SIZE, 64, block.data(), 0};
    EXPECT_EQ(Demux_Create(nullptr, &in), DEMUX_E_NULL_POINTER);
    EXPECT_EQ(Demux_Create(&stream, nullptr), DEMUX_E_NULL_POINTER);
    DemuxInput bad = in;
    bad.dwSize = DEMUX_INPUT_SIZE + 1;
    bad.dwLength = 0; // the size is checked before the length
    bad.pData = nullptr;
    EXPECT_EQ(Demux_Create(&stream, &bad), DEMUX_E_BAD_SIZE);
    bad.dwSize = DEMUX_INPUT_SIZE;
    EXPECT_EQ(Demux_Create(&stream, &bad), DEMUX_E_INVALID_VALUE); // length before data
    bad.dwLength = 63;
    bad.pData = block.data();
    EXPECT_EQ(Demux_Create(&stream, &bad), DEMUX_E_INVALID_VALUE);
    bad.dwLength = DEMUX_MAX_INPUT_LENGTH + 1;
    EXPECT_EQ(Demux_Create(&stream, &bad), DEMUX_E_INVALID_VALUE);
    bad.dwLength = 64;
    bad.pData = nullptr;
    EXPECT_EQ(Demux_Create(&stream, &bad), DEMUX_E_NULL_POINTER);
    EXPECT_EQ(stream, nullptr);
    // 64 bytes are enough to recognise.
    EXPECT_EQ(Demux_Create(&stream, &in), DEMUX_OK);
    ASSERT_NE(stream, nullptr);
    Demux_Destroy(stream);
    Demux_Destroy(nullptr);
}

TEST(DemuxFlat, OtherFunctionsCheckInOrder) {
    CBaseStream *stream = OpenProbe();
    uint8_t byte = 0;
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    DemuxInput in{DEMUX_INPUT_SIZE, 1, &byte, 0};
    FrameRecord record{};
    record.dwSize = DEMUX_FRAME_RECORD_SIZE;
    uint32_t count = 0;

    EXPECT_EQ(Demux_GetInfo(nullptr, nullptr), DEMUX_E_INVALID_OBJECT);
    EXPECT_EQ(Demux_GetInfo(stream, nullptr), DEMUX_E_NULL_POINTER);
    StreamInfo wrong{};
    wrong.dwSize = 79;
    EXPECT_EQ(Demux_GetInfo(stream, &wrong), DEMUX_E_BAD_SIZE);
    EXPECT_EQ(Demux_GetInfo(stream, &info), DEMUX_OK);

    EXPECT_EQ(Demux_InputData(nullptr, nullptr), DEMUX_E_INVALID_OBJECT);
    EXPECT_EQ(Demux_InputData(stream, nullptr), DEMUX_E_NULL_POINTER);
    DemuxInput bad{DEMUX_INPUT_SIZE - 1, 0, nullptr, 0};
    EXPECT_EQ(Demux_InputData(stream, &bad), DEMUX_E_BAD_SIZE);
    bad.dwSize = DEMUX_INPUT_SIZE;
    EXPECT_EQ(Demux_InputData(stream, &bad), DEMUX_E_NULL_POINTER); // data before length
    bad.pData = &byte;
    EXPECT_EQ(Demux_InputData(stream, &bad), DEMUX_E_INVALID_VALUE);
    EXPECT_EQ(Demux_InputData(stream, &in), DEMUX_OK);

    EXPECT_EQ(Demux_GetFrame(nullptr, nullptr), DEMUX_E_INVALID_OBJECT);
    EXPECT_EQ(Demux_GetFrame(stream, nullptr), DEMUX_E_NULL_POINTER);
    FrameRecord *untouched = &record;
    EXPECT_EQ(Demux_GetFrame(stream, &untouched), DEMUX_E_NO_FRAME);
    EXPECT_EQ(untouched, &record);

    EXPECT_EQ(Demux_FreeFrame(nullptr, nullptr), DEMUX_E_INVALID_OBJECT);
    EXPECT_EQ(Demux_FreeFrame(stream, nullptr), DEMUX_E_NULL_POINTER);
    FrameRecord wrongFrame{};
    wrongFrame.dwSize = 81;
    EXPECT_EQ(Demux_FreeFrame(stream, &wrongFrame), DEMUX_E_BAD_SIZE);

    EXPECT_EQ(Demux_GetFrameCount(nullptr, nullptr), DEMUX_E_INVALID_OBJECT);
    EXPECT_EQ(Demux_GetFrameCount(stream, nullptr), DEMUX_E_NULL_POINTER);
    count = 99;
    EXPECT_EQ(Demux_GetFrameCount(stream, &count), DEMUX_OK);
    EXPECT_EQ(count, 0u);
    Demux_Destroy(stream);
}

// ---- Recognition ----

TEST(DemuxFactory, RecognisesGenerationsInOrder) {
    auto block = [](std::initializer_list<std::pair<size_t, std::string>> strings, size_t size = 256) {
        std::vector<uint8_t> b(size, 0);
        for (const auto &s : strings)
            std::memcpy(b.data() + s.first, s.second.data(), s.second.size());
        return b;
    };
    const std::string v30Magic("\x68\x00\x62\xFF", 4);
    std::vector<uint8_t> b6000 = block({}, 32772);
    b6000[0] = 0x00;
    b6000[1] = 0x80;
    b6000[2] = 0x00;
    b6000[3] = 0xC0;
    std::vector<uint8_t> b6000dc = b6000;
    std::memcpy(b6000dc.data() + 32768, "00dc", 4);
    const struct {
        const char *name;
        std::vector<uint8_t> data;
        int32_t result;
        uint32_t generation;
        const char *info;
    } cases[] = {
        {"V30 file", block({{0, "ZEMASTREAMV30"}}), 0, 30, "ZEMASTREAMV30"},
        {"V30 IPC H", block({{100, "ZEMAIPCH"}}), 0, 30, "ZEMASTREAMV30"},
        {"V30 IPC B", block({{190, "ZEMAIPCB"}}), 0, 30, "ZEMASTREAMV30"},
        {"V30 frame header", block({{252, v30Magic}}), 0, 30, "ZEMASTREAMV30"},
        {"V30 before V10 string", block({{0, "ZEMAIPCA"}, {50, v30Magic}}), 0, 30, "ZEMASTREAMV30"},
        {"V20 file", block({{10, "ZEMA5RM "}}), 0, 20, "ZEMA5RM "},
        {"V20 8200", block({{10, "ZEMA8200R"}}), 0, 20, "ZEMA5RM "},
        {"V20 frame header", block({{60, "QVMS"}}), 0, 20, "ZEMA5RM "},
        {"V20 before 15", block({{0, "TAVRODRX"}, {100, "QVMS"}}), 0, 20, "ZEMA5RM "},
        {"6000", b6000, 0, 2, ""},
        {"15", block({{0, "TAVRODRX"}}), 0, 1, "TAVRODRX"},
        {"V10", block({{0, "ZEMAIPCA"}}), 0, 10, "ZEMAIPCA"},
        {"nothing", block({}, 64), DEMUX_E_NOT_SUPPORTED, 0, ""},
        {"6000 index over 15 chunks", b6000dc, DEMUX_E_NOT_SUPPORTED, 0, ""},
    };
    for (const auto &c : cases) {
        CBaseStream *stream = nullptr;
        DemuxInput in{DEMUX_INPUT_SIZE, uint32_t(c.data.size()), c.data.data(), 0};
        EXPECT_EQ(Demux_Create(&stream, &in), c.result) << c.name;
        if (c.result != DEMUX_OK) {
            EXPECT_EQ(stream, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(stream, nullptr) << c.name;
        StreamInfo info{};
        info.dwSize = DEMUX_STREAM_INFO_SIZE;
        ASSERT_EQ(Demux_GetInfo(stream, &info), DEMUX_OK);
        EXPECT_EQ(info.dwGeneration, c.generation) << c.name;
        EXPECT_EQ(std::string(info.szName, std::strlen(c.info)), c.info) << c.name;
        EXPECT_EQ(info.dwReserved[0] | info.dwReserved[1], 0u);
        Demux_Destroy(stream);
    }
}

TEST(DemuxFactory, CloseClearsTheDescriptionResetKeepsIt) {
    CBaseStream *stream = OpenProbe();
    std::vector<uint8_t> data;
    AppendV30Frame(data, Frame(1, 1000));
    Feed(stream, data.data(), data.size());
    StreamInfo info{};
    ASSERT_EQ(stream->Reset(), DEMUX_OK);
    stream->GetInfo(&info);
    EXPECT_EQ(info.dwGeneration, 30u);
    uint32_t count = 1;
    stream->GetFrameCount(&count);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(stream->Close(), DEMUX_OK);
    stream->GetInfo(&info);
    const StreamInfo zero{};
    EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0);
    EXPECT_EQ(stream->Seek(0), DEMUX_E_NOT_SUPPORTED);
    delete stream;
}

// ---- Buffering ----

TEST(DemuxInput, LengthLimit) {
    CProbeV30 *stream = OpenProbe();
    std::vector<uint8_t> big(DEMUX_MAX_INPUT_LENGTH + 1, 0);
    EXPECT_EQ(Feed(stream, big.data(), big.size()), DEMUX_E_INVALID_VALUE);
    EXPECT_EQ(stream->Capacity(), 0u); // nothing taken
    EXPECT_EQ(Feed(stream, big.data(), DEMUX_MAX_INPUT_LENGTH), DEMUX_OK);
    // The first MiB fills the buffer and is cut to its tail; every further
    // 1015808 bytes fill and cut it again; the last 491520 stay behind the
    // kept tail.
    EXPECT_EQ(stream->Filled(), uint32_t(DEMUX_RESYNC_KEEP + 491520));
    StreamStatistics s{};
    stream->GetStatistics(&s);
    EXPECT_GT(s.ullInputTime, 0u);
    delete stream;
}

TEST(DemuxInput, NoiseKeepsOnlyTheTail) {
    std::mt19937 rng(11);
    std::vector<uint8_t> noise(DEMUX_INPUT_BUFFER_SIZE);
    for (uint8_t &b : noise)
        b = uint8_t(rng());
    std::vector<uint8_t> frame;
    AppendV30Frame(frame, Frame(1, 1000));
    for (size_t block : {size_t(DEMUX_INPUT_BUFFER_SIZE), size_t(65536), size_t(100000)}) {
        CProbeV30 *stream = OpenProbe();
        for (size_t at = 0; at < noise.size(); at += block)
            ASSERT_EQ(Feed(stream, noise.data() + at, std::min(block, noise.size() - at)), DEMUX_OK);
        EXPECT_EQ(stream->Filled(), uint32_t(DEMUX_RESYNC_KEEP)) << block;
        // The file offsets still count every byte given.
        ASSERT_EQ(Feed(stream, frame.data(), frame.size()), DEMUX_OK);
        std::vector<Parsed> got;
        Drain(stream, got);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].rec.ullFileOffset, uint64_t(DEMUX_INPUT_BUFFER_SIZE));
        delete stream;
    }
}

TEST(DemuxInput, FrameStartingInTheKeptTailSurvivesTheCut) {
    std::vector<uint8_t> frame;
    AppendV30Frame(frame, Frame(1, 1000, 20000));
    // Noise up to 1000 bytes before the end of a full buffer, then the frame.
    std::vector<uint8_t> data(DEMUX_INPUT_BUFFER_SIZE - 1000 + frame.size(), 0x33);
    std::memcpy(data.data() + DEMUX_INPUT_BUFFER_SIZE - 1000, frame.data(), frame.size());
    CProbeV30 *stream = OpenProbe();
    const std::vector<Parsed> got = FeedAll(stream, data, 4096);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].rec.ullFileOffset, uint64_t(DEMUX_INPUT_BUFFER_SIZE - 1000));
    EXPECT_TRUE(got[0].payload == Frame(1, 1000, 20000).payload);
    delete stream;
}

TEST(DemuxInput, FrameSplitOverTwoCalls) {
    std::vector<uint8_t> data = V30FileHeader();
    AppendV30Frame(data, Frame(1, 1000));
    const size_t second = data.size();
    AppendV30Frame(data, Frame(2, 1040, 5000, 1));
    CBaseStream *stream = OpenProbe();
    const size_t cut = second + 2000;
    ASSERT_EQ(Feed(stream, data.data(), cut), DEMUX_OK);
    uint32_t count = 0;
    stream->GetFrameCount(&count);
    EXPECT_EQ(count, 1u);
    ASSERT_EQ(Feed(stream, data.data() + cut, data.size() - cut), DEMUX_OK);
    stream->GetFrameCount(&count);
    EXPECT_EQ(count, 2u);
    std::vector<Parsed> got;
    Drain(stream, got);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].rec.ullFileOffset, second);
    EXPECT_EQ(got[1].rec.dwSequence, 1u);
    delete stream;
}

// Appends video frame i (every tenth an I frame) of the given payload size
// and lists what the parser must deliver for it.
void AppendNumbered(std::vector<uint8_t> &data, std::vector<FixtureFrame> &written, uint32_t i, size_t size) {
    V30FrameFields s = Frame(i % 10 == 0 ? 1 : 2, 1000 + i * 40, size, i);
    FixtureFrame f;
    f.ullOffset = data.size();
    f.dwHeaderLength = AppendV30Frame(data, s);
    f.payload = s.payload;
    f.nType = i % 10 == 0 ? DEMUX_FRAME_I : DEMUX_FRAME_P;
    f.dwCodec = DEMUX_CODEC_H264;
    f.wWidth = s.wWidth;
    f.wHeight = s.wHeight;
    f.stTime = FixtureBreakDown(0, 0);
    f.dwSequence = i;
    f.dwTimestamp = s.dwTimestamp;
    f.byRate = s.byRate;
    written.push_back(f);
}

// Streams longer than the buffer, in block sizes that force the compaction
// at every possible phase, and a frame almost as large as the buffer.
TEST(DemuxInput, CompactionKeepsEveryFrame) {
    std::vector<uint8_t> data = V30FileHeader();
    std::vector<FixtureFrame> written;
    std::mt19937 rng(5);
    for (uint32_t i = 0; i < 400; ++i) {
        const size_t size = i == 200 ? 1000000 : 1000 + rng() % 15000;
        AppendNumbered(data, written, i, size);
    }
    ASSERT_GT(data.size(), 3u * DEMUX_INPUT_BUFFER_SIZE);
    for (size_t block : {size_t(100003), size_t(777777), size_t(DEMUX_INPUT_BUFFER_SIZE), size_t(3000000)}) {
        CBaseStream *stream = OpenProbe();
        const std::vector<Parsed> got = FeedAll(stream, data, block);
        ExpectFrames(got, written, data, "blocks of " + std::to_string(block));
        delete stream;
    }
}

// Frames from tiny to larger than the join steps, with noise between some
// of them, fed in blocks of random sizes: every phase of parsing in the
// caller's bytes and of completing a frame held back.
TEST(DemuxInput, RandomBlocksAcrossNoiseAndLargeFrames) {
    std::mt19937 rng(77);
    std::vector<uint8_t> data = V30FileHeader();
    std::vector<FixtureFrame> written;
    for (uint32_t i = 0; i < 300; ++i) {
        if (rng() % 7 == 0) {
            const size_t noise = rng() % 70000;
            for (size_t k = 0; k < noise; ++k)
                data.push_back(uint8_t(rng()));
        }
        const uint32_t pick = rng() % 10;
        const size_t size = pick == 0   ? 100000 + rng() % 300000
                            : pick == 1 ? 1 + rng() % 40
                                        : 500 + rng() % 20000;
        AppendNumbered(data, written, i, size);
    }
    for (uint32_t maxBlock : {1000u, 9000u, 70000u, 400000u}) {
        CBaseStream *stream = OpenProbe();
        std::vector<Parsed> got;
        for (size_t at = 0; at < data.size();) {
            const size_t n = std::min<size_t>(1 + rng() % maxBlock, data.size() - at);
            ASSERT_EQ(Feed(stream, data.data() + at, n), DEMUX_OK) << at;
            at += n;
            uint32_t count = 0;
            Demux_GetFrameCount(stream, &count);
            if (count > 100)
                Drain(stream, got);
        }
        Drain(stream, got);
        ExpectFrames(got, written, data, "blocks up to " + std::to_string(maxBlock));
        delete stream;
    }
}

// Frames that fill the buffer to its last byte: the frames after them still
// carry their own file offsets.
TEST(DemuxInput, OffsetsGoOnAfterAFullBufferIsUsedUp) {
    std::vector<uint8_t> data = V30FileHeader();
    std::vector<FixtureFrame> written;
    uint32_t i = 0;
    while (data.size() < DEMUX_INPUT_BUFFER_SIZE - 30000)
        AppendNumbered(data, written, i++, 10000);
    std::vector<uint8_t> probe;
    const size_t header = AppendV30Frame(probe, Frame(2, 0, 100, 0));
    AppendNumbered(data, written, i++, DEMUX_INPUT_BUFFER_SIZE - data.size() - header);
    ASSERT_EQ(data.size(), size_t(DEMUX_INPUT_BUFFER_SIZE));
    for (uint32_t k = 0; k < 3; ++k)
        AppendNumbered(data, written, i++, 5000);
    for (size_t first : {size_t(DEMUX_INPUT_BUFFER_SIZE), size_t(1000)}) {
        CBaseStream *stream = OpenProbe();
        std::vector<Parsed> got;
        // One block up to the buffer's end (after a first one of 1000 bytes,
        // so that it is copied into the buffer), then the rest.
        ASSERT_EQ(Feed(stream, data.data(), first), DEMUX_OK);
        if (first < DEMUX_INPUT_BUFFER_SIZE) {
            ASSERT_EQ(Feed(stream, data.data() + first, DEMUX_INPUT_BUFFER_SIZE - first), DEMUX_OK);
        }
        Drain(stream, got);
        ASSERT_EQ(Feed(stream, data.data() + DEMUX_INPUT_BUFFER_SIZE, data.size() - DEMUX_INPUT_BUFFER_SIZE),
                  DEMUX_OK);
        Drain(stream, got);
        ExpectFrames(got, written, data, "first block " + std::to_string(first));
        delete stream;
    }
}

TEST(DemuxInput, QueueLimit) {
    std::vector<uint8_t> data = V30FileHeader();
    for (uint32_t i = 0; i < 152; ++i)
        AppendV30Frame(data, Frame(2, 1000 + i * 40, 50, i));
    const size_t lastStart = data.size();
    AppendV30Frame(data, Frame(2, 1000 + 152 * 40, 50, 152));
    const size_t half = lastStart + 30;

    CProbeV30 *stream = OpenProbe();
    // 150 frames queued: input is still taken.
    size_t at150 = V30FileHeader().size();
    for (int i = 0; i < 150; ++i)
        at150 += 16 + 24 + 50;
    ASSERT_EQ(Feed(stream, data.data(), at150), DEMUX_OK);
    uint32_t count = 0;
    stream->GetFrameCount(&count);
    ASSERT_EQ(count, 150u);
    ASSERT_EQ(Feed(stream, data.data() + at150, half - at150), DEMUX_OK);
    stream->GetFrameCount(&count);
    ASSERT_EQ(count, 152u);
    const uint32_t filled = stream->Filled();
    // 152 queued: refused, and nothing of the block is taken.
    EXPECT_EQ(Feed(stream, data.data() + half, data.size() - half), DEMUX_E_QUEUE_FULL);
    EXPECT_EQ(stream->Filled(), filled);
    FrameRecord *f = nullptr;
    ASSERT_EQ(Demux_GetFrame(stream, &f), DEMUX_OK);
    Demux_FreeFrame(stream, f);
    EXPECT_EQ(Feed(stream, data.data() + half, data.size() - half), DEMUX_E_QUEUE_FULL); // 151
    ASSERT_EQ(Demux_GetFrame(stream, &f), DEMUX_OK);
    Demux_FreeFrame(stream, f);
    EXPECT_EQ(Feed(stream, data.data() + half, data.size() - half), DEMUX_OK); // 150
    std::vector<Parsed> got;
    Drain(stream, got);
    ASSERT_EQ(got.size(), 151u);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].rec.dwSequence, i + 2);
    delete stream;
}

// ---- Statistics ----

TEST(DemuxStatistics, DurationAndCounts) {
    const struct {
        uint8_t kind;
        uint32_t timestamp;
        uint32_t duration; // after this frame
    } steps[] = {
        {1, 1000, 0},    {2, 1040, 40},   {2, 5000, 1140},
        {3, 4000, 1140}, {4, 4040, 1180}, {0, 9000, 1180}, // audio: no time, no duration
        {2, 4040, 1180}, {2, 4041, 1181},
    };
    CBaseStream *stream = OpenProbe();
    for (const auto &s : steps) {
        std::vector<uint8_t> data;
        AppendV30Frame(data, Frame(s.kind, s.timestamp));
        ASSERT_EQ(Feed(stream, data.data(), data.size()), DEMUX_OK);
        StreamStatistics st{};
        stream->GetStatistics(&st);
        EXPECT_EQ(st.dwVideoDuration, s.duration) << s.timestamp;
    }
    StreamStatistics st{};
    st.dwSize = 0;
    stream->GetStatistics(&st);
    EXPECT_EQ(st.dwSize, DEMUX_STATISTICS_SIZE);
    EXPECT_EQ(st.dwIFrameCount, 1u);
    EXPECT_EQ(st.dwPFrameCount, 4u);
    EXPECT_EQ(st.dwOtherVideoFrameCount, 1u);
    EXPECT_EQ(st.dwDroppableFrameCount, 1u);
    EXPECT_EQ(st.dwAudioFrameCount, 1u);
    stream->Reset();
    stream->GetStatistics(&st);
    EXPECT_EQ(st.dwIFrameCount + st.dwPFrameCount + st.dwAudioFrameCount + st.dwVideoDuration, 0u);
    EXPECT_EQ(st.ullInputTime, 0u);
    delete stream;
}

TEST(DemuxStatistics, TimestampZeroIsNoReference) {
    CBaseStream *stream = OpenProbe();
    std::vector<uint8_t> data;
    for (uint32_t t : {0u, 40u, 80u})
        AppendV30Frame(data, Frame(2, t));
    ASSERT_EQ(Feed(stream, data.data(), data.size()), DEMUX_OK);
    StreamStatistics st{};
    stream->GetStatistics(&st);
    EXPECT_EQ(st.dwVideoDuration, 40u);
    delete stream;
}

// One thread feeds groups of frames, one resets, one reads the statistics.
// Every record read must be a whole one: the counts of a prefix of the frame
// sequence fed since the last reset, the duration that prefix gives, and
// nothing smaller than an earlier read when no reset came in between.
TEST(DemuxStatistics, ReadWhileFeedingAndResetting) {
    // Kinds of one group in order (0 audio, 1 I, 2 P, 3 other, 4 droppable).
    const uint8_t kGroup[] = {1, 2, 0, 2, 4, 3, 0, 2, 2, 4};
    constexpr size_t kGroupFrames = sizeof kGroup;
    constexpr uint32_t kStep = 40; // between consecutive video frames
#if defined(__SANITIZE_THREAD__)
    constexpr int kGroups = 3005;
#else
    constexpr int kGroups = 12005;
#endif
    constexpr int kGroupsPerReset = 10;

    // Each group is fed whole, so a reset (which waits for the input lock)
    // always falls between groups; time stamps keep rising across resets.
    std::vector<std::vector<uint8_t>> groups(kGroups);
    uint32_t timestamp = kStep;
    for (int g = 0; g < kGroups; ++g) {
        for (size_t i = 0; i < kGroupFrames; ++i) {
            const uint8_t kind = kGroup[i];
            AppendV30Frame(groups[g], Frame(kind, kind == 0 ? 0 : timestamp, 60 + i * 7, uint32_t(i)));
            if (kind != 0)
                timestamp += kStep;
        }
    }
    // Expected counts per kind of the first n frames of the sequence.
    auto prefixCounts = [&](uint64_t n, uint64_t counts[5]) {
        for (int k = 0; k < 5; ++k)
            counts[k] = 0;
        const uint64_t whole = n / kGroupFrames;
        for (size_t i = 0; i < kGroupFrames; ++i)
            counts[kGroup[i]] += whole + (i < n % kGroupFrames ? 1 : 0);
    };

    CBaseStream *stream = OpenProbe();
    std::atomic<int> fed{0};
    std::atomic<bool> done{false};
    std::atomic<uint32_t> resetsStarted{0};
    std::atomic<uint32_t> resetsDone{0};
    std::atomic<uint64_t> reads{0};

    std::thread feeder([&] {
        for (int g = 0; g < kGroups; ++g) {
            // Let the other two keep up, so that all three interleave on a
            // busy machine too.
            if (g % kGroupsPerReset == 0 && g > 0) {
                const uint32_t round = uint32_t(g / kGroupsPerReset);
                while (resetsStarted.load() + 1 < round || reads.load() < round)
                    std::this_thread::yield();
            }
            EXPECT_EQ(Feed(stream, groups[g].data(), groups[g].size()), DEMUX_OK) << g;
            FrameRecord *f = nullptr;
            while (stream->GetFrame(&f) == DEMUX_OK)
                stream->FreeFrame(f);
            fed.store(g + 1);
        }
        done.store(true);
    });
    std::thread resetter([&] {
        int next = kGroupsPerReset;
        while (!done.load()) {
            if (fed.load() < next) {
                std::this_thread::yield();
                continue;
            }
            resetsStarted.fetch_add(1);
            EXPECT_EQ(stream->Reset(), DEMUX_OK);
            resetsDone.fetch_add(1);
            next += kGroupsPerReset;
        }
    });

    StreamStatistics previous{};
    uint32_t previousDone = 0;
    bool havePrevious = false;
    uint64_t nonEmptyReads = 0;
    uint64_t failures = 0;
    while (!done.load() && failures < 10) {
        const uint32_t doneBefore = resetsDone.load();
        StreamStatistics st{};
        ASSERT_EQ(stream->GetStatistics(&st), DEMUX_OK);
        const uint32_t startedAfter = resetsStarted.load();
        reads.fetch_add(1);
        const uint64_t video = uint64_t(st.dwIFrameCount) + st.dwPFrameCount + st.dwOtherVideoFrameCount +
                               st.dwDroppableFrameCount;
        const uint64_t total = video + st.dwAudioFrameCount;
        if (total != 0)
            ++nonEmptyReads;
        uint64_t expected[5];
        prefixCounts(total, expected);
        const uint64_t got[5] = {st.dwAudioFrameCount, st.dwIFrameCount, st.dwPFrameCount,
                                 st.dwOtherVideoFrameCount, st.dwDroppableFrameCount};
        bool whole = true;
        for (int k = 0; k < 5; ++k)
            whole = whole && got[k] == expected[k];
        whole = whole && st.dwVideoDuration == (video == 0 ? 0 : (video - 1) * kStep);
        EXPECT_TRUE(whole) << "audio " << got[0] << " I " << got[1] << " P " << got[2] << " other " << got[3]
                           << " droppable " << got[4] << " duration " << st.dwVideoDuration;
        // No reset began between the start of the previous read and the end
        // of this one: nothing may have gone down.
        if (havePrevious && startedAfter == previousDone) {
            const bool grown =
                st.dwAudioFrameCount >= previous.dwAudioFrameCount &&
                st.dwIFrameCount >= previous.dwIFrameCount && st.dwPFrameCount >= previous.dwPFrameCount &&
                st.dwOtherVideoFrameCount >= previous.dwOtherVideoFrameCount &&
                st.dwDroppableFrameCount >= previous.dwDroppableFrameCount &&
                st.dwVideoDuration >= previous.dwVideoDuration && st.ullInputTime >= previous.ullInputTime;
            EXPECT_TRUE(grown) << "I " << previous.dwIFrameCount << " -> " << st.dwIFrameCount
                               << ", input time " << previous.ullInputTime << " -> " << st.ullInputTime;
            if (!grown)
                ++failures;
        }
        if (!whole)
            ++failures;
        previous = st;
        previousDone = doneBefore;
        havePrevious = true;
    }
    if (failures >= 10) {
        // Stop early; let the feeder finish without waiting for reads.
        reads.store(uint64_t(kGroups));
    }
    feeder.join();
    resetter.join();
    EXPECT_GE(resetsDone.load(), uint32_t(kGroups / kGroupsPerReset - 2));
    EXPECT_GT(nonEmptyReads, 0u);

    // Quiet again: whole groups since the last reset, and one more group fed
    // now is counted whole.
    StreamStatistics before{};
    stream->GetStatistics(&before);
    ASSERT_EQ(Feed(stream, groups[0].data(), groups[0].size()), DEMUX_OK);
    StreamStatistics st{};
    stream->GetStatistics(&st);
    const uint64_t total = uint64_t(st.dwAudioFrameCount) + st.dwIFrameCount + st.dwPFrameCount +
                           st.dwOtherVideoFrameCount + st.dwDroppableFrameCount;
    const uint64_t totalBefore = uint64_t(before.dwAudioFrameCount) + before.dwIFrameCount +
                                 before.dwPFrameCount + before.dwOtherVideoFrameCount +
                                 before.dwDroppableFrameCount;
    EXPECT_EQ(totalBefore % kGroupFrames, 0u);
    EXPECT_EQ(total, totalBefore + kGroupFrames);
    stream->Reset();
    stream->GetStatistics(&st);
    EXPECT_EQ(uint64_t(st.dwAudioFrameCount) + st.dwIFrameCount + st.dwPFrameCount +
                  st.dwOtherVideoFrameCount + st.dwDroppableFrameCount + st.dwVideoDuration + st.ullInputTime,
              0u);
    delete stream;
}

// ---- Frame blocks ----

TEST(DemuxFrameBlocks, HeaderBlockRightBeforeItsPayloadIsFreedAlone) {
    CBlockProbeV30 stream;
    BlockPool *pool = stream.PoolOf();
    // One 512-byte block given to the 256-byte class as two halves: the pool
    // hands out the most recently freed block first, so the header gets the
    // first half and the payload the second, right behind it.
    auto *chunk = static_cast<uint8_t *>(AllocBlock(pool, 512));
    ASSERT_NE(chunk, nullptr);
    FreeBlock(pool, AllocBlock(pool, 256), 256); // sets the 256-byte class up
    FreeBlock(pool, chunk + 256, 256);
    FreeBlock(pool, chunk, 256);
    const std::vector<uint8_t> header = Payload(256, 1);
    const std::vector<uint8_t> payload = Payload(256, 2);
    FrameRecord *frame = stream.Apart(header, payload);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->pHeader, chunk);
    ASSERT_EQ(frame->pPayload, chunk + 256);
    EXPECT_EQ(std::memcmp(frame->pHeader, header.data(), header.size()), 0);
    EXPECT_EQ(std::memcmp(frame->pPayload, payload.data(), payload.size()), 0);
    stream.Destroy(frame);
    // Each half went back to the 256-byte class on its own, not the pair as
    // one 512-byte block.
    void *first = AllocBlock(pool, 256);
    void *second = AllocBlock(pool, 256);
    const bool bBothBack =
        (first == chunk && second == chunk + 256) || (first == chunk + 256 && second == chunk);
    EXPECT_TRUE(bBothBack);
    if (bBothBack) {
        FreeBlock(pool, chunk, 512); // the halves are out of the pool again
    } else {
        FreeBlock(pool, first, 256);
        FreeBlock(pool, second, 256);
    }
}

TEST(DemuxFrameBlocks, SharedBlockFreedWholeAfterThePayloadMoved) {
    CBlockProbeV30 stream;
    BlockPool *pool = stream.PoolOf();
    const std::vector<uint8_t> header = Payload(16, 3);
    const std::vector<uint8_t> payload = Payload(3000, 4);
    FrameRecord *frame = stream.Shared(header, payload);
    ASSERT_NE(frame, nullptr);
    ASSERT_EQ(frame->pHeader + frame->dwHeaderLength, frame->pPayload);
    uint8_t *block = frame->pHeader;
    // A reader that skips the payload's first bytes in place: header and
    // payload no longer touch, yet they share one block.
    frame->pPayload += 4;
    frame->dwPayloadLength -= 4;
    stream.Destroy(frame);
    // The one block went back whole to its own (4096-byte) class.
    void *again = AllocBlock(pool, 4096);
    EXPECT_EQ(again, block);
    FreeBlock(pool, again, 4096);
}

// ---- Threads ----

TEST(DemuxThreads, FeedAndPullAtOnce) {
    V30Options o;
    o.dwVideoFrames = 600;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> data = WriteV30(o, &written);
    ASSERT_FALSE(data.empty());
    CBaseStream *stream = Create(data);
    ASSERT_NE(stream, nullptr);
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        for (size_t at = 0; at < data.size();) {
            const size_t n = std::min<size_t>(4096, data.size() - at);
            const int32_t r = Feed(stream, data.data() + at, n);
            if (r == DEMUX_E_QUEUE_FULL) {
                std::this_thread::yield();
                continue;
            }
            ASSERT_EQ(r, DEMUX_OK);
            at += n;
        }
        done = true;
    });
    std::vector<Parsed> got;
    for (;;) {
        const bool finished = done.load();
        FrameRecord *f = nullptr;
        if (Demux_GetFrame(stream, &f) == DEMUX_OK) {
            got.push_back(Copy(f));
            Demux_FreeFrame(stream, f);
        } else if (finished) {
            break;
        } else {
            std::this_thread::yield();
        }
    }
    feeder.join();
    ExpectFrames(got, written, data, "two threads");
    Demux_Destroy(stream);
}
