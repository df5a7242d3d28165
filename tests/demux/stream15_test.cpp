// 15-generation parser: file header, rates, time stamps from frame numbers,
// chunk tests and damaged data.
#include <gtest/gtest.h>

#include <cstring>

#include "demux/stream15.h"
#include "demux/streams.h"
#include "fixtures/fixture15.h"
#include "generation_helpers.h"

using namespace generations;

namespace {

const size_t kBlockSizes[] = {1, 4097, 256 * 1024, size_t(-1)};

StreamInfo InfoOf(CBaseStream *stream) {
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    EXPECT_EQ(Demux_GetInfo(stream, &info), DEMUX_OK);
    return info;
}

std::vector<ParsedFrame> ParseAll(const std::vector<uint8_t> &file, size_t blockSize) {
    int32_t result = 0;
    StreamPtr stream = Open(file, &result);
    EXPECT_EQ(result, DEMUX_OK);
    if (!stream)
        return {};
    EXPECT_EQ(InfoOf(stream.get()).dwGeneration, uint32_t(DEMUX_GENERATION_15));
    return Feed(stream.get(), file, blockSize == size_t(-1) ? file.size() : blockSize);
}

TEST(Stream15, RoundTripInBlocksOfEverySize) {
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write15(Options15(), &written);
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(written.size(), 100u);
    for (size_t blockSize : kBlockSizes) {
        SCOPED_TRACE("block size " + std::to_string(blockSize));
        ExpectFrames(written, ParseAll(file, blockSize), file);
    }
}

TEST(Stream15, NameIsTheFileHeader) {
    Options15 options;
    options.dwVideoFrames = 2;
    options.prefix.assign(100, 0x55); // the header need not come first
    const std::vector<uint8_t> file = Write15(options, nullptr);
    StreamPtr stream = Open(file);
    ASSERT_TRUE(stream);
    const StreamInfo info = InfoOf(stream.get());
    EXPECT_EQ(info.dwSize, DEMUX_STREAM_INFO_SIZE);
    EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_15));
    EXPECT_EQ(0, std::memcmp(info.szName, &file[100], 64));
    EXPECT_EQ(stream->Close(), DEMUX_OK);
    StreamInfo closed{};
    stream->GetInfo(&closed);
    const StreamInfo zero{};
    EXPECT_EQ(0, std::memcmp(&closed, &zero, sizeof zero));
}

TEST(Stream15, RatesAndTimeStamps) {
    struct Case {
        uint32_t dwRate;
        uint32_t dwStandard;
        uint32_t dwFrame; // index of the video frame looked at
        uint32_t dwTimestamp;
    };
    static const Case kCases[] = {
        {0, 1, 1, 40},                        // frame rate 0, standard 1: 25 frames a second
        {0, 7, 1, 40},                        // any standard but 0
        {0, 0, 1, 33},                        // standard 0: 30 frames a second
        {0, 0, 3, 100},    {25, 1, 25, 1000}, // the 26th frame at 25 frames a second
        {25, 0, 25, 1000},                    // a rate given wins over the standard
        {12, 0, 5, 416},   {1, 0, 7, 7000},
    };
    for (const Case &c : kCases) {
        Options15 options;
        options.header.dwFrameRate = c.dwRate;
        options.header.dwStandard = c.dwStandard;
        options.dwVideoFrames = c.dwFrame + 1;
        options.bAudio = false;
        std::vector<FixtureFrame> written;
        const std::vector<uint8_t> file = Write15(options, &written);
        const std::vector<ParsedFrame> frames = ParseAll(file, file.size());
        ASSERT_EQ(frames.size(), c.dwFrame + 1);
        EXPECT_EQ(frames[c.dwFrame].record.dwTimestamp, c.dwTimestamp) << c.dwRate << "/" << c.dwStandard;
        EXPECT_EQ(frames[0].record.dwTimestamp, 0u);
        EXPECT_EQ(frames[c.dwFrame].record.dwSequence, options.dwFirstFrameNumber + c.dwFrame);
    }
}

TEST(Stream15, AudioCodecFromTheHeader) {
    struct Case {
        uint32_t dwAudioType;
        uint32_t dwCodec;
    };
    static const Case kCases[] = {{4, DEMUX_CODEC_G722},
                                  {0, DEMUX_CODEC_G711_ALAW},
                                  {3, DEMUX_CODEC_G711_ALAW},
                                  {5, DEMUX_CODEC_G711_ALAW}};
    for (const Case &c : kCases) {
        Options15 options;
        options.header.dwAudioType = c.dwAudioType;
        options.dwVideoFrames = 3;
        std::vector<FixtureFrame> written;
        const std::vector<uint8_t> file = Write15(options, &written);
        const std::vector<ParsedFrame> frames = ParseAll(file, 4097);
        ExpectFrames(written, frames, file);
        ASSERT_EQ(frames.size(), 6u);
        EXPECT_EQ(frames[1].record.dwCodec, c.dwCodec) << c.dwAudioType;
        EXPECT_EQ(frames[1].record.nType, DEMUX_FRAME_AUDIO);
    }
}

TEST(Stream15, FrameKindFromTheFirstPayloadByte) {
    struct Case {
        uint8_t byFirst;
        int32_t nType;
    };
    static const Case kCases[] = {{0x00, DEMUX_FRAME_I}, {0x02, DEMUX_FRAME_P}, {0xFD, DEMUX_FRAME_I},
                                  {0xFF, DEMUX_FRAME_P}, {0x01, DEMUX_FRAME_I}, {0x03, DEMUX_FRAME_P}};
    for (const Case &c : kCases) {
        std::vector<uint8_t> file = FileHeader15(Header15Fields());
        Frame15Fields video;
        video.payload = {c.byFirst, 0, 0, 1, 0x65};
        AppendChunk15(file, video);
        file.insert(file.end(), {'0', '0', 'd', 'b'});
        const std::vector<ParsedFrame> frames = ParseAll(file, file.size());
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].record.nType, c.nType) << int(c.byFirst);
    }
    // An empty payload has no first byte: an I frame.
    std::vector<uint8_t> file = FileHeader15(Header15Fields());
    AppendChunk15(file, Frame15Fields());
    file.insert(file.end(), {'0', '0', 'd', 'c'});
    const std::vector<ParsedFrame> frames = ParseAll(file, file.size());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].record.nType, DEMUX_FRAME_I);
    EXPECT_EQ(frames[0].record.dwPayloadLength, 0u);
}

TEST(Stream15, LastChunkNeedsAFollowingTag) {
    Options15 options;
    options.dwVideoFrames = 4;
    options.bClosingTag = false;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write15(options, &written);
    ASSERT_FALSE(written.back().bDelivered);
    for (size_t blockSize : kBlockSizes)
        ExpectFrames(written, ParseAll(file, blockSize), file);
}

TEST(Stream15, ChunkLimits) {
    struct Case {
        const char *name;
        Frame15Fields chunk;
        const char *after; // 4 bytes behind the chunk
        bool bDelivered;
    };
    Frame15Fields largest;
    largest.payload.assign(262144, 0x11);
    Frame15Fields tooLarge;
    tooLarge.payload.assign(262145, 0x11);
    Frame15Fields lengthPastEnd;
    lengthPastEnd.payload.assign(16, 0x22);
    lengthPastEnd.llLengthOverride = 0xFFFFFFF0;
    Frame15Fields audioPastEnd;
    audioPastEnd.bAudio = true;
    audioPastEnd.payload.assign(16, 0x22);
    audioPastEnd.llLengthOverride = 0xFFFFFFFF;
    Frame15Fields audio;
    audio.bAudio = true;
    audio.payload.assign(300, 0x33);
    const Case kCases[] = {
        {"largest video payload", largest, "00dc", true},
        {"video payload too large", tooLarge, "00dc", false},
        {"video length past the end", lengthPastEnd, "00dc", false},
        {"audio length past the end", audioPastEnd, "00dc", false},
        {"audio followed by video", audio, "00dc", true},
        {"audio followed by audio", audio, "00db", true},
        {"no tag behind", audio, "00dd", false},
    };
    for (const Case &c : kCases) {
        std::vector<uint8_t> file = FileHeader15(Header15Fields());
        AppendChunk15(file, c.chunk);
        file.insert(file.end(), c.after, c.after + 4);
        const std::vector<ParsedFrame> frames = ParseAll(file, file.size());
        ASSERT_EQ(frames.size(), c.bDelivered ? 1u : 0u) << c.name;
        if (c.bDelivered) {
            EXPECT_EQ(frames[0].payload, c.chunk.payload) << c.name;
        }
    }
}

// A chunk is whole only when a tag follows it: noise behind a chunk costs
// that chunk, and the scan finds the next one behind the noise.
TEST(Stream15, GarbageBetweenChunks) {
    Options15 options;
    options.dwVideoFrames = 6;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> clean = Write15(options, &written);
    ASSERT_EQ(written.size(), 12u);
    const uint64_t firstChunk = written[0].ullOffset;
    const uint64_t seventh = written[6].ullOffset;
    std::vector<uint8_t> noise;
    uint32_t seed = 12345;
    for (int n = 0; n < 37; ++n) {
        seed = seed * 1103515245 + 12345;
        noise.push_back(uint8_t('e' + (seed >> 16) % 20)); // never a tag
    }
    std::vector<uint8_t> file(clean.begin(), clean.begin() + long(firstChunk));
    file.insert(file.end(), noise.begin(), noise.end());
    file.insert(file.end(), clean.begin() + long(firstChunk), clean.begin() + long(seventh));
    file.insert(file.end(), noise.begin(), noise.end());
    file.insert(file.end(), clean.begin() + long(seventh), clean.end());

    std::vector<FixtureFrame> expected;
    for (size_t i = 0; i < written.size(); ++i) {
        if (i == 5)
            continue; // the audio chunk in front of the second noise
        FixtureFrame f = written[i];
        if (f.nType != DEMUX_FRAME_AUDIO)
            f.ullOffset += noise.size() * (i >= 6 ? 2 : 1);
        expected.push_back(f);
    }
    for (size_t blockSize : kBlockSizes)
        ExpectFrames(expected, ParseAll(file, blockSize), file);
}

TEST(Stream15, TruncatedLastChunk) {
    Options15 options;
    options.dwVideoFrames = 5;
    std::vector<FixtureFrame> written;
    std::vector<uint8_t> file = Write15(options, &written);
    // Cut in the middle of the last video chunk: it and the audio behind it
    // are lost, and so is the audio before it (no tag follows it whole).
    const uint64_t lastVideo = written[8].ullOffset;
    file.resize(lastVideo + 30);
    written.resize(8);
    for (size_t blockSize : kBlockSizes)
        ExpectFrames(written, ParseAll(file, blockSize), file);
}

// A header found less than 64 bytes before the end of the first block keeps
// the bytes that are there; the fields beyond read as zero.
TEST(Stream15, HeaderCutByTheEndOfTheFirstBlock) {
    struct Case {
        size_t available; // header bytes inside the block
        uint32_t dwStep;  // expected time stamp step
        uint16_t wWidth;
        uint32_t dwAudioCodec;
    };
    static const Case kCases[] = {
        {8, 33, 0, DEMUX_CODEC_G711_ALAW},    // nothing but the magic: rate 0, standard 0
        {20, 83, 0, DEMUX_CODEC_G711_ALAW},   // the rate (12) but no standard
        {26, 83, 704, DEMUX_CODEC_G711_ALAW}, // up to the width
        {36, 83, 704, DEMUX_CODEC_G722},      // up to the audio type
        {63, 83, 704, DEMUX_CODEC_G722},
    };
    Header15Fields header;
    header.dwFrameRate = 12;
    header.dwStandard = 1;
    header.dwAudioType = 4;
    const std::vector<uint8_t> full = FileHeader15(header);
    for (const Case &c : kCases) {
        SCOPED_TRACE("available " + std::to_string(c.available));
        std::vector<uint8_t> block(100 - c.available, 0x20);
        block.insert(block.end(), full.begin(), full.begin() + long(c.available));
        ASSERT_EQ(block.size(), 100u);
        int32_t result = 0;
        StreamPtr stream = Open(block, &result, block.size());
        ASSERT_EQ(result, DEMUX_OK);
        const StreamInfo info = InfoOf(stream.get());
        EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_15));
        EXPECT_EQ(0, std::memcmp(info.szName, full.data(), c.available));
        for (size_t i = c.available; i < 64; ++i)
            ASSERT_EQ(info.szName[i], 0) << i;

        std::vector<uint8_t> data;
        for (uint32_t n = 0; n < 2; ++n) {
            Frame15Fields video;
            video.dwFrameNumber = 10 + n;
            video.payload = {0, 0, 0, 1, 0x65, 0x88};
            AppendChunk15(data, video);
            Frame15Fields audio;
            audio.bAudio = true;
            audio.payload.assign(10, 0xD5);
            AppendChunk15(data, audio);
        }
        const std::vector<ParsedFrame> frames = Feed(stream.get(), data, data.size());
        ASSERT_EQ(frames.size(), 3u); // the last audio chunk has no tag behind it
        EXPECT_EQ(frames[2].record.dwTimestamp, c.dwStep);
        EXPECT_EQ(frames[2].record.wWidth, c.wWidth);
        EXPECT_EQ(frames[1].record.dwCodec, c.dwAudioCodec);
    }
}

TEST(Stream15, FrameNumbersBelowTheFirstWrap) {
    std::vector<uint8_t> file = FileHeader15(Header15Fields());
    for (uint32_t number : {100u, 99u, 101u}) {
        Frame15Fields video;
        video.dwFrameNumber = number;
        video.payload = {0, 0, 1, 0x65};
        AppendChunk15(file, video);
    }
    file.insert(file.end(), {'0', '0', 'd', 'c'});
    const std::vector<ParsedFrame> frames = ParseAll(file, 1);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].record.dwTimestamp, 0u);
    EXPECT_EQ(frames[1].record.dwTimestamp, uint32_t(uint64_t(0xFFFFFFFFu) * 1000 / 25));
    EXPECT_EQ(frames[2].record.dwTimestamp, 40u);
}

TEST(Stream15, ResetForgetsTheFirstFrameNumber) {
    Options15 options;
    options.dwVideoFrames = 10;
    options.bAudio = false;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write15(options, &written);
    StreamPtr stream = Open(file);
    ASSERT_TRUE(stream);
    const std::vector<ParsedFrame> before = Feed(stream.get(), file, file.size());
    ASSERT_EQ(before.size(), 10u);
    EXPECT_EQ(before[9].record.dwTimestamp, 360u);
    // After a seek the play mode resets and feeds from the new position:
    // time stamps count from the first frame seen after it.
    ASSERT_EQ(stream->Reset(), DEMUX_OK);
    const uint64_t from = written[5].ullOffset;
    const std::vector<uint8_t> tail(file.begin() + long(from), file.end());
    const std::vector<ParsedFrame> after = Feed(stream.get(), tail, 4097);
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(after[0].record.dwTimestamp, 0u);
    EXPECT_EQ(after[0].record.dwSequence, options.dwFirstFrameNumber + 5);
    EXPECT_EQ(after[0].record.ullFileOffset, 0u); // offsets count from the reset
    EXPECT_EQ(after[4].record.dwTimestamp, 160u);
}

TEST(Stream15, OpenNeedsTheMagic) {
    std::vector<uint8_t> block(200, 0);
    std::memcpy(&block[50], "TAVRODR", 7);
    CBaseStream *stream = CreateStream15();
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->Open(block.data(), uint32_t(block.size())), DEMUX_E_NOT_SUPPORTED);
    std::memcpy(&block[192], "TAVRODRX", 8); // the last 8 bytes
    EXPECT_EQ(stream->Open(block.data(), uint32_t(block.size())), DEMUX_OK);
    StreamInfo info{};
    stream->GetInfo(&info);
    EXPECT_EQ(0, std::memcmp(info.szName, "TAVRODRX", 8));
    EXPECT_EQ(info.szName[8], 0);
    Demux_Destroy(stream);
}

// The chunk tests never read outside the bytes they are given: every cut of
// a chunk (an exact-size copy, so that the address sanitizer sees a read
// past it) is refused, and only the whole chunk with the next tag passes.
TEST(Stream15, FrameTestsStayInsideTheBytesGiven) {
    Frame15Fields video;
    video.dwFrameNumber = 5;
    video.payload = {0x02, 0, 0, 1, 0x41, 0x9A, 0x10};
    Frame15Fields audio;
    audio.bAudio = true;
    audio.payload.assign(33, 0xD5);
    const std::vector<uint8_t> header = FileHeader15(Header15Fields());
    for (const Frame15Fields &def : {video, audio}) {
        std::vector<uint8_t> chunk;
        AppendChunk15(chunk, def);
        chunk.insert(chunk.end(), {'0', '0', 'd', 'b'});
        CBaseStream *raw = CreateStream15();
        ASSERT_NE(raw, nullptr);
        StreamPtr stream(raw);
        ASSERT_EQ(stream->Open(header.data(), uint32_t(header.size())), DEMUX_OK);
        for (size_t n = 0; n <= chunk.size(); ++n) {
            const std::vector<uint8_t> part = Slice(chunk, 0, n);
            ASSERT_EQ(stream->IsVideoFrameAt(part.data(), uint32_t(n)), !def.bAudio && n == chunk.size())
                << n;
            ASSERT_EQ(stream->IsAudioFrameAt(part.data(), uint32_t(n)), def.bAudio && n == chunk.size())
                << n;
        }
        FrameRecord *frame = def.bAudio ? stream->ParseAudioFrame(chunk.data(), uint32_t(chunk.size()))
                                         : stream->ParseVideoFrame(chunk.data(), uint32_t(chunk.size()), 9);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(frame->dwPayloadLength, def.payload.size());
        EXPECT_EQ(frame->nType, def.bAudio ? DEMUX_FRAME_AUDIO : DEMUX_FRAME_P);
        EXPECT_EQ(frame->ullFileOffset, def.bAudio ? 0u : 9u);
        stream->FreeFrame(frame);
    }
}

// The factory tries 6000 before 15 and 15 before V10.
TEST(Stream15, FactoryOrder) {
    struct Case {
        const char *name;
        bool bIndex;       // a 6000 index in front
        const char *other; // another magic in the block
        uint32_t dwGeneration;
    };
    static const Case kCases[] = {
        {"15 alone", false, nullptr, DEMUX_GENERATION_15},
        {"15 and a V10 name", false, "ZEMADRX ", DEMUX_GENERATION_15},
        {"15 and the DRTX name", false, "ZEMADRTX", DEMUX_GENERATION_15},
        {"6000 index with a 15 header inside", true, nullptr, DEMUX_GENERATION_6000},
    };
    for (const Case &c : kCases) {
        std::vector<uint8_t> block;
        if (c.bIndex) {
            block.assign(32768 + 64, 0);
            const uint8_t entry[4] = {0x00, 0x80, 0x00, 0xC0}; // an I frame at 32768
            std::memcpy(block.data(), entry, 4);
        }
        if (c.other)
            block.insert(block.end(), c.other, c.other + 8);
        const std::vector<uint8_t> header = FileHeader15(Header15Fields());
        block.insert(block.end(), header.begin(), header.end());
        int32_t result = 0;
        StreamPtr stream = Open(block, &result);
        ASSERT_EQ(result, DEMUX_OK) << c.name;
        EXPECT_EQ(InfoOf(stream.get()).dwGeneration, c.dwGeneration) << c.name;
    }
}

} // namespace
