// Helpers of the parser tests: feed a byte stream to a parser in blocks of a
// given size, collect deep copies of the frames it delivers, and compare
// them with what the fixture writers wrote.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "demux/basestream.h"
#include "demux/demux.h"
#include "fixtures/fixtures.h"

namespace demuxtest {

// A delivered frame, copied out before it went back to the parser.
struct Parsed {
    FrameRecord rec{};
    std::vector<uint8_t> header;
    std::vector<uint8_t> payload;
    std::vector<OsdItem> osd;
    bool payloadFollowsHeader = false;
};

inline Parsed Copy(const FrameRecord *f) {
    Parsed p;
    p.rec = *f;
    if (f->dwHeaderLength)
        p.header.assign(f->pHeader, f->pHeader + f->dwHeaderLength);
    if (f->dwPayloadLength)
        p.payload.assign(f->pPayload, f->pPayload + f->dwPayloadLength);
    for (unsigned i = 0; i < f->byOsdCount; ++i)
        p.osd.push_back(f->pOsdItems[i]);
    p.payloadFollowsHeader = f->pHeader + f->dwHeaderLength == f->pPayload;
    return p;
}

// Pulls every queued frame.
inline void Drain(CBaseStream *stream, std::vector<Parsed> &out) {
    FrameRecord *f = nullptr;
    while (Demux_GetFrame(stream, &f) == DEMUX_OK) {
        out.push_back(Copy(f));
        EXPECT_EQ(Demux_FreeFrame(stream, f), DEMUX_OK);
    }
}

inline int32_t Feed(CBaseStream *stream, const uint8_t *data, size_t length) {
    DemuxInput in{DEMUX_INPUT_SIZE, uint32_t(length), data, 0};
    return Demux_InputData(stream, &in);
}

// Feeds data in blocks of blockSize, pulling frames whenever the queue is
// full and after every block.
inline std::vector<Parsed> FeedAll(CBaseStream *stream, const std::vector<uint8_t> &data, size_t blockSize) {
    std::vector<Parsed> frames;
    for (size_t at = 0; at < data.size();) {
        const size_t n = std::min(blockSize, data.size() - at);
        int32_t r = Feed(stream, data.data() + at, n);
        if (r == DEMUX_E_QUEUE_FULL) {
            Drain(stream, frames);
            r = Feed(stream, data.data() + at, n);
        }
        EXPECT_EQ(r, DEMUX_OK) << "at " << at;
        if (r != DEMUX_OK)
            break;
        at += n;
        if (n >= 65536 || at == data.size())
            Drain(stream, frames);
        else {
            uint32_t count = 0;
            Demux_GetFrameCount(stream, &count);
            if (count > 100)
                Drain(stream, frames);
        }
    }
    Drain(stream, frames);
    return frames;
}

inline CBaseStream *Create(const std::vector<uint8_t> &data, int32_t *result = nullptr) {
    CBaseStream *stream = nullptr;
    const size_t first = std::min<size_t>(data.size(), DEMUX_FIRST_BLOCK_SIZE);
    DemuxInput in{DEMUX_INPUT_SIZE, uint32_t(first), data.data(), 0};
    const int32_t r = Demux_Create(&stream, &in);
    if (result)
        *result = r;
    return r == DEMUX_OK ? stream : nullptr;
}

inline std::u16string U16(const QV_WCHAR *text) {
    std::u16string s;
    for (; *text; ++text)
        s.push_back(char16_t(*text));
    return s;
}

// UTF-8 to UTF-16 for the expected texts (BMP only, which is all the tests
// use).
inline std::u16string FromUtf8(const std::string &s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        if (c < 0x80) {
            out.push_back(c);
            i += 1;
        } else if ((c & 0xE0) == 0xC0) {
            out.push_back(char16_t(((c & 0x1F) << 6) | (s[i + 1] & 0x3F)));
            i += 2;
        } else {
            out.push_back(char16_t(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F)));
            i += 3;
        }
    }
    return out;
}

inline std::string Printf(const char *format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

inline bool SameTime(const SYSTEMTIME &a, const SYSTEMTIME &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

inline std::string TimeString(const SYSTEMTIME &t) {
    return Printf("%04u-%02u-%02u(%u) %02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wDayOfWeek, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
}

// What an item must hold: kind, position, size and text or mosaic mode.
struct ExpectedItem {
    uint32_t dwKind = DEMUX_OSD_TEXT;
    uint16_t wX = 0, wY = 0, wWidth = 0, wHeight = 0;
    std::u16string text;
    uint32_t dwMode = 0;
};

// Compares an item field by field, and checks that every byte no field fills
// is zero.
inline void ExpectItem(const OsdItem &item, const ExpectedItem &e, const std::string &where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(item.dwKind, e.dwKind);
    EXPECT_EQ(item.wX, e.wX);
    EXPECT_EQ(item.wY, e.wY);
    EXPECT_EQ(item.wWidth, e.wWidth);
    EXPECT_EQ(item.wHeight, e.wHeight);
    EXPECT_EQ(item.dwReserved, 0u);
    size_t used = 0;
    if (e.dwKind == DEMUX_OSD_TEXT) {
        EXPECT_EQ(U16(item.body.szText), e.text);
        used = (e.text.size() + 1) * sizeof(QV_WCHAR);
    } else if (e.dwKind == DEMUX_OSD_MOSAIC) {
        EXPECT_EQ(item.body.mosaic.dwMode, e.dwMode);
        used = sizeof(uint32_t);
    }
    const auto *body = reinterpret_cast<const uint8_t *>(&item.body);
    size_t nonZero = 0;
    for (size_t i = used; i < sizeof item.body; ++i)
        nonZero += body[i] != 0;
    EXPECT_EQ(nonZero, 0u) << "bytes beyond the item's content";
}

// Compares the frames delivered with the frames written (those marked
// delivered), in order.
inline void ExpectFrames(const std::vector<Parsed> &got, const std::vector<FixtureFrame> &written,
                         const std::vector<uint8_t> &data, const std::string &where) {
    SCOPED_TRACE(where);
    std::vector<const FixtureFrame *> expected;
    for (const FixtureFrame &f : written)
        if (f.bDelivered)
            expected.push_back(&f);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        const FrameRecord &r = got[i].rec;
        const FixtureFrame &e = *expected[i];
        const bool audio = e.nType == DEMUX_FRAME_AUDIO;
        EXPECT_EQ(r.dwSize, DEMUX_FRAME_RECORD_SIZE);
        EXPECT_EQ(r.dwHeaderLength, e.dwHeaderLength);
        ASSERT_LE(e.ullOffset + e.dwHeaderLength, data.size());
        EXPECT_TRUE(got[i].header ==
                    std::vector<uint8_t>(data.begin() + long(e.ullOffset),
                                         data.begin() + long(e.ullOffset + e.dwHeaderLength)));
        EXPECT_EQ(r.dwPayloadLength, e.payload.size());
        EXPECT_TRUE(got[i].payload == e.payload);
        EXPECT_TRUE(got[i].payloadFollowsHeader);
        EXPECT_EQ(r.dwReserved[0], 0u);
        EXPECT_EQ(r.dwReserved[1], 0u);
        EXPECT_EQ(r.nType, e.nType);
        EXPECT_EQ(r.dwCodec, e.dwCodec);
        EXPECT_EQ(r.wWidth, e.wWidth);
        EXPECT_EQ(r.wHeight, e.wHeight);
        EXPECT_EQ(r.ullFileOffset, audio ? 0u : e.ullOffset);
        EXPECT_TRUE(SameTime(r.stTime, e.stTime)) << TimeString(r.stTime) << " vs " << TimeString(e.stTime);
        EXPECT_EQ(r.dwSequence, e.dwSequence);
        EXPECT_EQ(r.dwTimestamp, e.dwTimestamp);
        EXPECT_EQ(r.wReserved, 0u);
        EXPECT_EQ(r.byRate, e.byRate);
        if (audio) {
            EXPECT_EQ(r.byOsdCount, 0u);
            EXPECT_EQ(r.pOsdItems, nullptr);
        }
    }
}

} // namespace demuxtest
