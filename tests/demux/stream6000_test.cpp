// 6000-generation parser: index walk, frames kept for the life of the data,
// cursor and Seek, and files whose index does not match their data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "demux/stream6000.h"
#include "demux/streams.h"
#include "fixtures/fixture6000.h"
#include "generation_helpers.h"

using namespace generations;

namespace {

void PutLe32(std::vector<uint8_t> &bytes, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = uint8_t(v >> (8 * i));
}

uint32_t Le32(const std::vector<uint8_t> &bytes, size_t at) {
    return uint32_t(bytes[at]) | (uint32_t(bytes[at + 1]) << 8) | (uint32_t(bytes[at + 2]) << 16) |
           (uint32_t(bytes[at + 3]) << 24);
}

// Opens and loads a whole file; the parser sees an exact-size copy.
StreamPtr Load(const std::vector<uint8_t> &file) {
    int32_t result = 0;
    StreamPtr stream = Open(file, &result);
    EXPECT_EQ(result, DEMUX_OK);
    if (!stream)
        return stream;
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    EXPECT_EQ(Demux_GetInfo(stream.get(), &info), DEMUX_OK);
    EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_6000));
    const std::vector<uint8_t> copy = file;
    const DemuxInput input = Input(copy.data(), copy.size());
    EXPECT_EQ(Demux_InputData(stream.get(), &input), DEMUX_OK);
    return stream;
}

std::vector<ParsedFrame> TakeAll(CBaseStream *stream) {
    std::vector<ParsedFrame> frames;
    Drain(stream, frames);
    return frames;
}

TEST(Stream6000, RoundTripOfTheSampleClip) {
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write6000(Options6000(), &written);
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(written.size(), 100u); // 50 video frames, each followed by one audio frame
    StreamPtr stream = Load(file);
    ASSERT_TRUE(stream);

    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    ASSERT_EQ(Demux_GetInfo(stream.get(), &info), DEMUX_OK);
    EXPECT_EQ(info.szName[0], 0);
    uint32_t count = 0;
    ASSERT_EQ(Demux_GetFrameCount(stream.get(), &count), DEMUX_OK);
    EXPECT_EQ(count, 100u);

    const std::vector<ParsedFrame> frames = TakeAll(stream.get());
    ExpectFrames(written, frames, file);
    // The clip's IDR pictures are the I frames, the rest P frames.
    EXPECT_EQ(frames[0].record.nType, DEMUX_FRAME_I);
    EXPECT_EQ(frames[2].record.nType, DEMUX_FRAME_P);
    EXPECT_EQ(frames[50].record.nType, DEMUX_FRAME_I); // 26th picture: second IDR
    // The payload is the whole frame: the length word first.
    EXPECT_EQ(frames[0].payload[0] | (frames[0].payload[1] << 8), int(frames[0].payload.size()));

    StreamStatistics statistics{};
    ASSERT_EQ(stream->GetStatistics(&statistics), DEMUX_OK);
    EXPECT_EQ(statistics.dwAudioFrameCount, 50u);
    EXPECT_EQ(statistics.dwIFrameCount, 2u);
    EXPECT_EQ(statistics.dwPFrameCount, 48u);
    // The first frame's time stamp 0 reads as "no frame yet", so the step
    // from 0 to 40 is not counted.
    EXPECT_EQ(statistics.dwVideoDuration, 48u * 40);
}

TEST(Stream6000, LengthFlagsAreNotPartOfTheLength) {
    Options6000 options;
    options.dwVideoFrames = 5;
    options.byLengthFlags = 3;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write6000(options, &written);
    StreamPtr stream = Load(file);
    ASSERT_TRUE(stream);
    const std::vector<ParsedFrame> frames = TakeAll(stream.get());
    ExpectFrames(written, frames, file);
    EXPECT_EQ(frames[0].payload[0] & 3, 3); // delivered as written
}

TEST(Stream6000, OpenRecognisesTheIndex) {
    struct Case {
        const char *name;
        uint32_t dwFirstEntry;
        const char *tagAt32768;
        uint32_t dwLength;
        int32_t nResult;
    };
    static const Case kCases[] = {
        {"I frame first", 0xC0008000u, "\x40\x00\x00\x00", 40000, DEMUX_OK},
        {"P frame first", 0x80008000u, "\x40\x00\x00\x00", 40000, DEMUX_OK},
        {"audio first", 0x40008000u, "\x40\x00\x00\x00", 40000, DEMUX_OK},
        {"shortest block", 0xC0008000u, "\x40\x00\x00\x00", 32772, DEMUX_OK},
        {"one byte short", 0xC0008000u, "\x40\x00\x00\x00", 32771, DEMUX_E_NOT_SUPPORTED},
        {"first frame elsewhere", 0xC0008004u, "\x40\x00\x00\x00", 40000, DEMUX_E_FAIL},
        {"no kind", 0x00008000u, "\x40\x00\x00\x00", 40000, DEMUX_E_FAIL},
        {"kind 13", 0xD0008000u, "\x40\x00\x00\x00", 40000, DEMUX_E_FAIL},
        {"15 or V10 video chunk", 0xC0008000u, "00dc", 40000, DEMUX_E_FAIL},
        {"15 or V10 audio chunk", 0xC0008000u, "00db", 40000, DEMUX_E_FAIL},
        {"other chunk", 0xC0008000u, "00dd", 40000, DEMUX_OK},
    };
    for (const Case &c : kCases) {
        std::vector<uint8_t> block(c.dwLength, 0);
        PutLe32(block, 0, c.dwFirstEntry);
        if (c.dwLength >= 32772)
            std::memcpy(&block[32768], c.tagAt32768, 4);
        CBaseStream *stream = CreateStream6000();
        ASSERT_NE(stream, nullptr);
        EXPECT_EQ(stream->Open(block.data(), uint32_t(block.size())), c.nResult) << c.name;
        StreamInfo info{};
        stream->GetInfo(&info);
        if (c.nResult == DEMUX_OK) {
            EXPECT_EQ(info.dwSize, DEMUX_STREAM_INFO_SIZE) << c.name;
            EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_6000)) << c.name;
        }
        Demux_Destroy(stream);
    }
}

TEST(Stream6000, FactoryLeavesChunkFilesToTheOtherGenerations) {
    std::vector<uint8_t> file = Write6000(Options6000(), nullptr);
    ASSERT_EQ(Le32(file, 0), 0xC0008000u);
    StreamPtr mine = Open(file);
    ASSERT_TRUE(mine);
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    Demux_GetInfo(mine.get(), &info);
    EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_6000));

    std::memcpy(&file[32768], "00dc", 4);
    int32_t result = 0;
    StreamPtr other = Open(file, &result);
    if (other) {
        Demux_GetInfo(other.get(), &info);
        EXPECT_NE(info.dwGeneration, uint32_t(DEMUX_GENERATION_6000));
    }
}

TEST(Stream6000, VideoSequenceIgnoresAudioBetween) {
    Options6000 options;
    options.dwVideoFrames = 4;
    options.dwAudioPerVideo = 3;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write6000(options, &written);
    StreamPtr stream = Load(file);
    ASSERT_TRUE(stream);
    const std::vector<ParsedFrame> frames = TakeAll(stream.get());
    ExpectFrames(written, frames, file);
    std::vector<const ParsedFrame *> video;
    for (const ParsedFrame &f : frames)
        if (f.record.nType != DEMUX_FRAME_AUDIO)
            video.push_back(&f);
    ASSERT_EQ(video.size(), 4u);
    EXPECT_EQ(video[2]->record.dwSequence, 2u);
    EXPECT_EQ(video[2]->record.dwTimestamp, 80u);
}

TEST(Stream6000, CursorSeekAndFrameCount) {
    Options6000 options;
    options.dwVideoFrames = 6;
    options.dwAudioPerVideo = 1;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> file = Write6000(options, &written);
    ASSERT_EQ(written.size(), 12u);

    CBaseStream *raw = CreateStream6000();
    ASSERT_NE(raw, nullptr);
    StreamPtr stream(raw);
    ASSERT_EQ(stream->Open(file.data(), uint32_t(file.size())), DEMUX_OK);
    uint32_t count = 77;
    FrameRecord *frame = nullptr;
    // Nothing before the data arrives.
    EXPECT_EQ(stream->GetFrameCount(&count), DEMUX_E_NO_FRAME);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(stream->GetFrame(&frame), DEMUX_E_NO_FRAME);
    EXPECT_EQ(stream->Seek(0), DEMUX_E_NOT_SUPPORTED);

    const DemuxInput input = Input(file.data(), file.size());
    ASSERT_EQ(Demux_InputData(stream.get(), &input), DEMUX_OK);
    ASSERT_EQ(stream->GetFrameCount(&count), DEMUX_OK);
    EXPECT_EQ(count, 12u);

    // Walk to the end: frames stay the parser's, FreeFrame does nothing.
    std::vector<FrameRecord *> seen;
    while (stream->GetFrame(&frame) == DEMUX_OK) {
        seen.push_back(frame);
        EXPECT_EQ(Demux_FreeFrame(stream.get(), frame), DEMUX_OK);
    }
    ASSERT_EQ(seen.size(), 12u);
    ASSERT_EQ(stream->GetFrameCount(&count), DEMUX_OK);
    EXPECT_EQ(count, 0u);
    frame = nullptr;
    EXPECT_EQ(stream->GetFrame(&frame), DEMUX_E_NO_FRAME);
    EXPECT_EQ(stream->GetFrame(&frame), DEMUX_E_NO_FRAME);
    EXPECT_EQ(frame, nullptr);
    // The frames handed out are still intact.
    EXPECT_EQ(seen[4]->dwSequence, 2u);
    EXPECT_EQ(seen[4]->ullFileOffset, written[4].ullOffset);

    // Seek finds the first video frame at or after the offset.
    struct Case {
        uint64_t ullOffset;
        int32_t nResult;
        size_t nextIndex; // of seen; ignored on failure
    };
    const Case kCases[] = {
        {0, DEMUX_OK, 0},
        {written[2].ullOffset, DEMUX_OK, 2},
        {written[2].ullOffset + 1, DEMUX_OK, 4}, // past frame 2's start: the audio frame is skipped
        {written[10].ullOffset, DEMUX_OK, 10},
        {written[10].ullOffset + 1, DEMUX_E_INVALID_VALUE, 0},
        {file.size() + 100, DEMUX_E_INVALID_VALUE, 0},
    };
    for (const Case &c : kCases) {
        // Start every case from frame 6 so that a failed seek shows it kept the cursor.
        ASSERT_EQ(stream->Seek(written[6].ullOffset), DEMUX_OK);
        EXPECT_EQ(stream->Seek(c.ullOffset), c.nResult) << c.ullOffset;
        ASSERT_EQ(stream->GetFrame(&frame), DEMUX_OK);
        EXPECT_EQ(frame, seen[c.nResult == DEMUX_OK ? c.nextIndex : 6]) << c.ullOffset;
        ASSERT_EQ(stream->GetFrameCount(&count), DEMUX_OK);
        EXPECT_EQ(count, 12u - 1 - (c.nResult == DEMUX_OK ? c.nextIndex : 6));
    }

    // A second file is refused; Reset keeps everything.
    EXPECT_EQ(Demux_InputData(stream.get(), &input), DEMUX_E_NOT_SUPPORTED);
    EXPECT_EQ(stream->Reset(), DEMUX_OK);
    ASSERT_EQ(stream->Seek(0), DEMUX_OK);
    ASSERT_EQ(stream->GetFrame(&frame), DEMUX_OK);
    EXPECT_EQ(frame, seen[0]);

    // Close forgets the data and the container; the data may then come again.
    EXPECT_EQ(stream->Close(), DEMUX_OK);
    StreamInfo info{};
    stream->GetInfo(&info);
    EXPECT_EQ(info.dwSize, 0u);
    EXPECT_EQ(info.dwGeneration, 0u);
    EXPECT_EQ(stream->GetFrame(&frame), DEMUX_E_NO_FRAME);
    EXPECT_EQ(stream->GetFrameCount(&count), DEMUX_E_NO_FRAME);
    ASSERT_EQ(Demux_InputData(stream.get(), &input), DEMUX_OK);
    const std::vector<ParsedFrame> again = TakeAll(stream.get());
    ExpectFrames(written, again, file); // the counter starts from 0 again
}

TEST(Stream6000, TooLargeFileIsRefusedBeforeAnyRead) {
    const std::vector<uint8_t> file = Write6000(Options6000(), nullptr);
    StreamPtr stream = Open(file);
    ASSERT_TRUE(stream);
    // The length is checked first: the bytes behind the small block are never read.
    DemuxInput input = Input(file.data(), 0x10000001u);
    EXPECT_EQ(Demux_InputData(stream.get(), &input), DEMUX_E_INVALID_VALUE);
    input.dwLength = uint32_t(file.size());
    EXPECT_EQ(Demux_InputData(stream.get(), &input), DEMUX_OK);
    uint32_t count = 0;
    ASSERT_EQ(Demux_GetFrameCount(stream.get(), &count), DEMUX_OK);
    EXPECT_EQ(count, 100u);
}

// Index entries that do not lead to a frame give none; the next entry is
// tried. The parser gets an exact-size copy of the damaged file, so a read
// outside it fails under the address sanitizer.
TEST(Stream6000, DamagedIndexEntries) {
    Options6000 options;
    options.dwVideoFrames = 6;
    options.dwAudioPerVideo = 1;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> good = Write6000(options, &written);
    ASSERT_EQ(written.size(), 12u);
    const uint32_t fileSize = uint32_t(good.size());

    struct Case {
        const char *name;
        size_t entry;                // index entry changed
        uint32_t dwValue;            // its new value (kind << 28 | offset)
        size_t dropTail;             // bytes cut from the end of the file
        std::vector<size_t> missing; // written frames not delivered
        uint32_t dwVideoAfter;       // video frames delivered (the sequence counts only these)
    };
    const uint32_t v2 = uint32_t(written[2].ullOffset);
    const size_t kNoEntry = size_t(-1);
    const Case kCases[] = {
        {"video entry past the end", 2, (12u << 28) | (fileSize + 10), 0, {2}, 5},
        {"video entry whose length word is the last byte", 2, (12u << 28) | (fileSize - 1), 0, {2}, 5},
        {"video entry two bytes before the end", 2, (8u << 28) | (fileSize - 2), 0, {2}, 5},
        {"audio entry past the end", 3, (4u << 28) | (fileSize - 119), 0, {3}, 6},
        {"unknown kind is skipped", 3, (5u << 28) | v2, 0, {3}, 6},
        {"empty entry ends the index", 4, 0, 0, {4, 5, 6, 7, 8, 9, 10, 11}, 2},
        {"kind 0 ends the index", 4, v2, 0, {4, 5, 6, 7, 8, 9, 10, 11}, 2},
        {"offset 0 ends the index", 4, 12u << 28, 0, {4, 5, 6, 7, 8, 9, 10, 11}, 2},
        {"truncated last frame", kNoEntry, 0, 1, {11}, 6},
        {"truncated last video frame", kNoEntry, 0, 121, {10, 11}, 5},
        {"video entry pointing into the index", 2, (12u << 28) | 8, 0, {2}, 5},
    };
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> file = good;
        if (c.entry != kNoEntry)
            PutLe32(file, c.entry * 4, c.dwValue);
        file.resize(file.size() - c.dropTail);
        StreamPtr stream = Load(file);
        ASSERT_TRUE(stream);
        const std::vector<ParsedFrame> frames = TakeAll(stream.get());
        std::vector<FixtureFrame> expected;
        uint32_t sequence = 0;
        for (size_t i = 0; i < written.size(); ++i) {
            if (std::find(c.missing.begin(), c.missing.end(), i) != c.missing.end())
                continue;
            FixtureFrame f = written[i];
            if (f.nType != DEMUX_FRAME_AUDIO) {
                f.dwSequence = sequence;
                f.dwTimestamp = sequence * 40;
                ++sequence;
            }
            expected.push_back(f);
        }
        EXPECT_EQ(sequence, c.dwVideoAfter);
        ExpectFrames(expected, frames, file);
    }
}

TEST(Stream6000, EntryMayPointAtAnyFrame) {
    // Two entries at the same video frame give it twice, counted twice.
    Options6000 options;
    options.dwVideoFrames = 3;
    options.dwAudioPerVideo = 0;
    std::vector<FixtureFrame> written;
    std::vector<uint8_t> file = Write6000(options, &written);
    PutLe32(file, 3 * 4, (8u << 28) | uint32_t(written[1].ullOffset));
    StreamPtr stream = Load(file);
    ASSERT_TRUE(stream);
    const std::vector<ParsedFrame> frames = TakeAll(stream.get());
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[3].record.ullFileOffset, written[1].ullOffset);
    EXPECT_EQ(frames[3].record.dwSequence, 3u);
    EXPECT_EQ(frames[3].record.dwTimestamp, 120u);
    EXPECT_EQ(frames[3].payload, written[1].payload);
}

TEST(Stream6000, VideoLengthLimits) {
    struct Case {
        uint32_t dwLengthWord;
        bool bDelivered;
    };
    static const Case kCases[] = {
        {28, false},   {31, false},   {32, true},     {35, true},
        {32768, true}, {32771, true}, {32772, false}, {0xFFFF, false},
    };
    for (const Case &c : kCases) {
        std::vector<uint8_t> file(32768 + 32772 + 64, 0);
        PutLe32(file, 0, 0xC0008000u);
        file[32768] = uint8_t(c.dwLengthWord);
        file[32769] = uint8_t(c.dwLengthWord >> 8);
        StreamPtr stream = Load(file);
        ASSERT_TRUE(stream);
        const std::vector<ParsedFrame> frames = TakeAll(stream.get());
        ASSERT_EQ(frames.size(), c.bDelivered ? 1u : 0u) << c.dwLengthWord;
        if (c.bDelivered) {
            EXPECT_EQ(frames[0].record.dwPayloadLength, c.dwLengthWord & ~3u);
        }
    }
}

TEST(Stream6000, FileShorterThanItsIndex) {
    // Every entry names an audio frame at offset 4 (inside the index itself).
    std::vector<uint8_t> index(32772, 0);
    for (size_t i = 0; i < 8192; ++i)
        PutLe32(index, i * 4, 0x40000004u);
    CBaseStream *raw = CreateStream6000();
    ASSERT_NE(raw, nullptr);
    StreamPtr stream(raw);
    std::vector<uint8_t> first(32772, 0);
    PutLe32(first, 0, 0x40008000u);
    ASSERT_EQ(stream->Open(first.data(), uint32_t(first.size())), DEMUX_OK);
    // Only the 250 entries inside the 1000 bytes given are read.
    const std::vector<uint8_t> file = Slice(index, 0, 1000);
    const DemuxInput input = Input(file.data(), file.size());
    ASSERT_EQ(Demux_InputData(stream.get(), &input), DEMUX_OK);
    const std::vector<ParsedFrame> frames = TakeAll(stream.get());
    ASSERT_EQ(frames.size(), 250u);
    EXPECT_EQ(frames[0].payload, Slice(index, 4, 120));
    EXPECT_EQ(frames[0].record.nType, DEMUX_FRAME_AUDIO);
    EXPECT_EQ(frames[0].record.dwCodec, uint32_t(DEMUX_CODEC_G722));
}

} // namespace
