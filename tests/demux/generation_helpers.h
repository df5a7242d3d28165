// Helpers of the 6000, 15 and V10 parser tests: open a parser on a
// recording, feed it in blocks of a given size, take every frame out as an
// owned copy, and compare it with what a fixture writer wrote.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "demux/basestream.h"
#include "demux/demux.h"
#include "fixtures/fixtures.h"
#include "platform/system.h"

namespace generations {

struct StreamDeleter {
    void operator()(CBaseStream *stream) const { Demux_Destroy(stream); }
};
using StreamPtr = std::unique_ptr<CBaseStream, StreamDeleter>;

// A frame taken out of a parser, with copies of everything it points to.
struct ParsedFrame {
    FrameRecord record{};
    std::vector<uint8_t> header;
    std::vector<uint8_t> payload;
    std::vector<OsdItem> osd;
};

inline DemuxInput Input(const uint8_t *data, size_t length) {
    DemuxInput input{};
    input.dwSize = DEMUX_INPUT_SIZE;
    input.dwLength = uint32_t(length);
    input.pData = data;
    return input;
}

// Demux_Create on the first firstBlock bytes (a copy of exactly that size,
// so that a read past it is caught by the address sanitizer).
inline StreamPtr Open(const std::vector<uint8_t> &bytes, int32_t *result = nullptr,
                      size_t firstBlock = DEMUX_FIRST_BLOCK_SIZE) {
    const std::vector<uint8_t> block(bytes.begin(), bytes.begin() + long(std::min(firstBlock, bytes.size())));
    const DemuxInput input = Input(block.data(), block.size());
    CBaseStream *stream = nullptr;
    const int32_t r = Demux_Create(&stream, &input);
    if (result)
        *result = r;
    return StreamPtr(r >= 0 ? stream : nullptr);
}

inline ParsedFrame Copy(const FrameRecord *frame) {
    ParsedFrame copy;
    copy.record = *frame;
    if (frame->pHeader)
        copy.header.assign(frame->pHeader, frame->pHeader + frame->dwHeaderLength);
    if (frame->pPayload)
        copy.payload.assign(frame->pPayload, frame->pPayload + frame->dwPayloadLength);
    if (frame->pOsdItems)
        copy.osd.assign(frame->pOsdItems, frame->pOsdItems + frame->byOsdCount);
    return copy;
}

// Takes every queued frame out (and gives it back).
inline void Drain(CBaseStream *stream, std::vector<ParsedFrame> &frames) {
    FrameRecord *frame = nullptr;
    while (Demux_GetFrame(stream, &frame) == DEMUX_OK) {
        frames.push_back(Copy(frame));
        EXPECT_EQ(Demux_FreeFrame(stream, frame), DEMUX_OK);
    }
}

// Feeds bytes in blocks of blockSize (each block a copy of its own exact
// size), draining after every block.
inline std::vector<ParsedFrame> Feed(CBaseStream *stream, const std::vector<uint8_t> &bytes,
                                     size_t blockSize) {
    std::vector<ParsedFrame> frames;
    for (size_t at = 0; at < bytes.size(); at += blockSize) {
        const size_t n = std::min(blockSize, bytes.size() - at);
        const std::vector<uint8_t> block(bytes.begin() + long(at), bytes.begin() + long(at + n));
        const DemuxInput input = Input(block.data(), block.size());
        int32_t r = Demux_InputData(stream, &input);
        if (r == DEMUX_E_QUEUE_FULL) {
            Drain(stream, frames);
            r = Demux_InputData(stream, &input);
        }
        EXPECT_EQ(r, DEMUX_OK) << "block at " << at;
        Drain(stream, frames);
    }
    return frames;
}

inline bool SameTime(const SYSTEMTIME &a, const SYSTEMTIME &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::string TimeText(const SYSTEMTIME &t) {
    char text[96];
    std::snprintf(text, sizeof text, "%u-%u-%u(%u) %u:%u:%u.%u", t.wYear, t.wMonth, t.wDay, t.wDayOfWeek,
                  t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

// Every record field against what was written. The header, where the
// container has one, is compared with the written bytes at the frame's
// offset.
inline void ExpectFrame(const FixtureFrame &expected, const ParsedFrame &actual,
                        const std::vector<uint8_t> &file, size_t index) {
    const FrameRecord &r = actual.record;
    SCOPED_TRACE("frame " + std::to_string(index));
    EXPECT_EQ(r.dwSize, DEMUX_FRAME_RECORD_SIZE);
    EXPECT_EQ(r.nType, expected.nType);
    EXPECT_EQ(r.dwCodec, expected.dwCodec);
    EXPECT_EQ(r.wWidth, expected.wWidth);
    EXPECT_EQ(r.wHeight, expected.wHeight);
    EXPECT_EQ(r.ullFileOffset, expected.ullOffset);
    EXPECT_TRUE(SameTime(r.stTime, expected.stTime))
        << TimeText(r.stTime) << " vs " << TimeText(expected.stTime);
    EXPECT_EQ(r.dwSequence, expected.dwSequence);
    EXPECT_EQ(r.dwTimestamp, expected.dwTimestamp);
    EXPECT_EQ(r.byRate, expected.byRate);
    EXPECT_EQ(r.wReserved, 0);
    EXPECT_EQ(r.dwReserved[0], 0u);
    EXPECT_EQ(r.dwReserved[1], 0u);
    EXPECT_EQ(r.dwHeaderLength, expected.dwHeaderLength);
    EXPECT_EQ(r.dwPayloadLength, expected.payload.size());
    EXPECT_TRUE(actual.payload == expected.payload) << "payload differs";
    if (expected.dwHeaderLength == 0) {
        EXPECT_EQ(r.pHeader, nullptr);
    } else if (expected.nType != DEMUX_FRAME_AUDIO) {
        ASSERT_LE(expected.ullOffset + expected.dwHeaderLength, file.size());
        const std::vector<uint8_t> header(file.begin() + long(expected.ullOffset),
                                          file.begin() + long(expected.ullOffset + expected.dwHeaderLength));
        EXPECT_TRUE(actual.header == header) << "header differs";
    }
    // Header and payload lie in one block, the payload right behind.
    if (r.pHeader) {
        EXPECT_EQ(r.pHeader + r.dwHeaderLength, r.pPayload);
    }
    EXPECT_EQ(r.byOsdCount == 0, r.pOsdItems == nullptr);
}

// The frames the writer marked as delivered, in order, against the parsed
// ones.
inline void ExpectFrames(const std::vector<FixtureFrame> &written, const std::vector<ParsedFrame> &parsed,
                         const std::vector<uint8_t> &file) {
    std::vector<const FixtureFrame *> delivered;
    for (const FixtureFrame &f : written)
        if (f.bDelivered)
            delivered.push_back(&f);
    ASSERT_EQ(parsed.size(), delivered.size());
    for (size_t i = 0; i < parsed.size(); ++i)
        ExpectFrame(*delivered[i], parsed[i], file, i);
}

inline std::string Utf8(const QV_WCHAR *text) {
    std::string out;
    platform::WideToUtf8(text, platform::WideLength(text), out);
    return out;
}

// Bytes of an exact-size copy, for reads that must stay inside.
inline std::vector<uint8_t> Slice(const std::vector<uint8_t> &bytes, size_t from, size_t count) {
    return std::vector<uint8_t>(bytes.begin() + long(from), bytes.begin() + long(from + count));
}

} // namespace generations
