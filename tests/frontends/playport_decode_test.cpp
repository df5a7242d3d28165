// Pulled decoding through QV_PLAY_DecodeOneFrame, from a recording file and
// from a live stream pushed through the function itself, against ffmpeg's
// checksums of the clip and the A-law law; and a live stream played with the
// decode, parse and buffer callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/baseplaymode.h"
#include "playport_util.h"

using namespace porttest;

namespace {

constexpr uint32_t kHeaderSize = 256; // V30 file header: the stream's header block

CBasePlayMode *ModeOf(LONG nPort) {
    return reinterpret_cast<CBasePlayMode *>(HandleOf(nPort));
}

// What one successful pull delivered.
struct Pulled {
    LONG nType = 0;
    uint32_t dwSize = 0;
    LONG nWidth = 0, nHeight = 0;
    uint32_t dwTimeStamp = 0;
    uint32_t dwSamplesPerSec = 0, dwBitsPerSample = 0;
    std::vector<uint8_t> data;
};

// Pulls one frame in two calls: with no room (the size needed is told and
// the frame kept, counted in the remaining frames), then with a buffer of
// that size (the same frame delivered). False when no frame came.
bool PullTwice(LONG nPort, const uint8_t *pData, DWORD dwSize, DWORD dwFormat, Pulled *pOut,
               DWORD *pRemaining) {
    uint8_t probe[1] = {0xEE};
    DECODE_OUTPUT out{};
    out.pBuffer = probe;
    out.dwSize = 0;
    out.nType = -7;
    DWORD remaining = 0xFFFF;
    if (!QV_PLAY_DecodeOneFrame(nPort, pData, dwSize, dwFormat, &out, &remaining)) {
        EXPECT_EQ(remaining, 0u) << "nothing to pull leaves no frame counted";
        return false;
    }
    EXPECT_GE(remaining, 1u) << "the kept frame counts";
    EXPECT_EQ(out.nType, -7) << "nothing delivered with no room";
    EXPECT_EQ(probe[0], 0xEE);
    const uint32_t needed = out.dwSize;
    std::vector<uint8_t> buffer(needed + 16, 0xAB);
    DECODE_OUTPUT full{};
    full.pBuffer = buffer.data();
    full.dwSize = needed;
    DWORD after = 0xFFFF;
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(nPort, nullptr, 0, dwFormat, &full, &after), 1);
    EXPECT_EQ(after, remaining - 1) << "the kept frame went out";
    EXPECT_EQ(full.dwSize, needed);
    EXPECT_EQ(full.pBuffer, buffer.data());
    EXPECT_EQ(buffer[needed], 0xAB) << "written past the size";
    pOut->nType = full.nType;
    pOut->dwSize = full.dwSize;
    pOut->nWidth = full.nWidth;
    pOut->nHeight = full.nHeight;
    pOut->dwTimeStamp = full.dwTimeStamp;
    pOut->dwSamplesPerSec = full.dwSamplesPerSec;
    pOut->dwBitsPerSample = full.dwBitsPerSample;
    pOut->data.assign(buffer.begin(), buffer.begin() + needed);
    *pRemaining = after;
    return true;
}

// Checks the pulled frames against the recording: video pictures in order
// against ffmpeg, each with its frame's time stamp; audio against the
// A-law law. Returns the number of pictures.
size_t ExpectFrames(const FileRecording &rec, const std::vector<Pulled> &got, size_t *pAudio) {
    const std::vector<std::string> md5 = FixtureFrameMd5s(rec.clip);
    EXPECT_FALSE(md5.empty());
    const auto video = rec.Video();
    const auto audio = AudioFrames(rec);
    const filetest::ClipSize size = filetest::SizeOf(rec.clip);
    size_t v = 0, a = 0;
    for (const Pulled &p : got) {
        if (p.nType == QV_PLAY_TYPE_AUDIO16) {
            SCOPED_TRACE("audio frame " + std::to_string(a));
            EXPECT_EQ(p.dwSamplesPerSec, 8000u);
            EXPECT_EQ(p.dwBitsPerSample, 16u);
            EXPECT_EQ(p.nWidth, 0);
            EXPECT_LT(a, audio.size()) << "more audio than the recording holds";
            if (a < audio.size()) {
                EXPECT_EQ(AsSamples(p.data.data(), p.data.size()), AlawPcm(audio[a]->payload));
            }
            ++a;
            continue;
        }
        SCOPED_TRACE("picture " + std::to_string(v));
        // Pictures come in the decoder's own layout, which the type tells.
        EXPECT_EQ(uint32_t(p.nType), PLAY_PIXEL_FORMAT_YV12);
        EXPECT_EQ(p.nWidth, size.wWidth);
        EXPECT_EQ(p.nHeight, size.wHeight);
        EXPECT_EQ(p.dwSize, uint32_t(size.wWidth) * size.wHeight * 3 / 2);
        EXPECT_EQ(p.dwSamplesPerSec, 0u);
        EXPECT_LT(v, video.size()) << "more pictures than the recording holds";
        if (v < video.size()) {
            EXPECT_EQ(PictureMd5(p.data.data(), p.nWidth, p.nHeight, uint32_t(p.nType)), md5[v % md5.size()]);
            EXPECT_EQ(p.dwTimeStamp, video[v]->dwTimestamp);
        }
        ++v;
    }
    *pAudio = a;
    return v;
}

TEST(PortDecodeOneFrame, AWholeRecordingFile) {
    const FileRecording rec = MakePlainV30(50, true);
    CTempDir dir;
    CPort port(21);
    ASSERT_EQ(OpenW(port, WriteRecording(dir, rec, "pull.rec")), 1);
    ASSERT_TRUE(WaitUntil([&] { return IndexDone(port); }));
    // A format the core does not know: refused before anything happens.
    DECODE_OUTPUT out{};
    DWORD remaining = 5;
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, 1, &out, &remaining), 0);
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, 0x601 + 1, &out, &remaining), 0);
    EXPECT_EQ(remaining, 5u);
    EXPECT_EQ(Flags(port) & PLAY_ENABLE_DECODE_ON_DEMAND, 0u);

    std::vector<Pulled> got;
    Pulled p;
    DWORD left = 0;
    while (got.size() < 1000 && PullTwice(port, nullptr, 0, QV_PLAY_TYPE_I420, &p, &left))
        got.push_back(p);
    EXPECT_EQ(left, 0u) << "the last frame leaves nothing";
    // The player decodes on demand from the first call on: actions are
    // refused.
    EXPECT_NE(Flags(port) & PLAY_ENABLE_DECODE_ON_DEMAND, 0u);
    EXPECT_EQ(Flags(port) & PLAY_ENABLE_DISPLAY, 0u);
    EXPECT_EQ(QV_PLAY_Play(port, 0), 0);
    size_t audio = 0;
    const size_t pictures = ExpectFrames(rec, got, &audio);
    // Every picture came out, but those the decoder still holds back.
    EXPECT_EQ(pictures + ModeOf(port)->FramesInDecoder(), size_t(50));
    EXPECT_GE(pictures + 1, size_t(50));
    EXPECT_EQ(audio, AudioFrames(rec).size());
    // Every frame taken was given back.
    EXPECT_EQ(ModeOf(port)->HandedOutFrameCount(), 0u);
    // At the end, nothing more.
    std::vector<uint8_t> buffer(1 << 20);
    out.pBuffer = buffer.data();
    out.dwSize = DWORD(buffer.size());
    remaining = 9;
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_I420, &out, &remaining), 0);
    EXPECT_EQ(remaining, 0u);
}

// A null buffer with a size large enough is no buffer: the size is told,
// the frame kept. The YUY2 code is accepted like I420 (pictures still come
// in the decoder's layout).
TEST(PortDecodeOneFrame, NullBufferAndTheYuy2Code) {
    const FileRecording rec = MakePlainV30(30, false);
    CTempDir dir;
    CPort port(22);
    ASSERT_EQ(OpenW(port, WriteRecording(dir, rec, "yuy2.rec")), 1);
    ASSERT_TRUE(WaitUntil([&] { return IndexDone(port); }));
    DECODE_OUTPUT out{};
    out.pBuffer = nullptr;
    out.dwSize = 1u << 24;
    DWORD remaining = 0;
    ASSERT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_YUY2, &out, &remaining), 1);
    const uint32_t picture = 352 * 288 * 3 / 2;
    EXPECT_EQ(out.dwSize, picture);
    std::vector<Pulled> got;
    Pulled p;
    DWORD left = 0;
    while (got.size() < 100 && PullTwice(port, nullptr, 0, QV_PLAY_TYPE_YUY2, &p, &left))
        got.push_back(p);
    size_t audio = 0;
    const size_t pictures = ExpectFrames(rec, got, &audio);
    EXPECT_EQ(pictures + ModeOf(port)->FramesInDecoder(), size_t(30));
    EXPECT_EQ(audio, 0u);
}

// The blocks of a recording after its header, one per frame.
std::vector<std::vector<uint8_t>> FrameBlocks(const FileRecording &rec) {
    std::vector<size_t> cuts;
    for (const FixtureFrame &f : rec.frames)
        if (f.ullOffset >= kHeaderSize)
            cuts.push_back(size_t(f.ullOffset));
    cuts.push_back(rec.bytes.size());
    std::vector<std::vector<uint8_t>> blocks;
    size_t start = kHeaderSize;
    for (size_t cut : cuts) {
        if (cut > start)
            blocks.emplace_back(rec.bytes.begin() + start, rec.bytes.begin() + cut);
        start = cut;
    }
    return blocks;
}

struct SourceCalls {
    std::mutex lock;
    std::vector<DWORD> queued;
    LONG port = -1;
    void *user = nullptr;
    void *reserved = reinterpret_cast<void *>(1);
};

void QV_CALL OnSource(LONG nPort, DWORD dwQueued, void *pUser, void *pReserved) {
    SourceCalls *calls = static_cast<SourceCalls *>(pUser);
    std::lock_guard<std::mutex> guard(calls->lock);
    calls->queued.push_back(dwQueued);
    calls->port = nPort;
    calls->user = pUser;
    calls->reserved = pReserved;
}

TEST(PortDecodeOneFrame, ALiveStreamPushedThroughTheCall) {
    const FileRecording rec = MakePlainV30(50, true);
    const std::vector<std::vector<uint8_t>> blocks = FrameBlocks(rec);
    ASSERT_EQ(blocks.size(), rec.frames.size());
    CPort port(23);
    ASSERT_EQ(QV_PLAY_OpenStream(port, rec.bytes.data(), kHeaderSize, 0), 1);
    SourceCalls source;
    ASSERT_EQ(QV_PLAY_SetSourceBufferCB(port, 3, OnSource, &source, nullptr), 1);
    std::vector<Pulled> got;
    Pulled p;
    DWORD left = 0;
    // Each call brings one frame's bytes and takes one frame when there is
    // one (the decoder may want a few frames before its first picture).
    for (const std::vector<uint8_t> &block : blocks)
        if (PullTwice(port, block.data(), DWORD(block.size()), QV_PLAY_TYPE_I420, &p, &left))
            got.push_back(p);
    const size_t pushed = got.size();
    while (got.size() < 1000 && PullTwice(port, nullptr, 0, QV_PLAY_TYPE_I420, &p, &left))
        got.push_back(p);
    EXPECT_GT(pushed, 0u);
    size_t audio = 0;
    const size_t pictures = ExpectFrames(rec, got, &audio);
    // A live stream is never drained: the decoder keeps its last pictures.
    EXPECT_EQ(pictures + ModeOf(port)->FramesInDecoder(), size_t(50));
    EXPECT_GE(pictures + 3, size_t(50));
    EXPECT_EQ(audio, AudioFrames(rec).size());
    EXPECT_EQ(ModeOf(port)->HandedOutFrameCount(), 0u);
    // The queue fell below the threshold as the last frames were taken.
    std::lock_guard<std::mutex> guard(source.lock);
    ASSERT_FALSE(source.queued.empty());
    for (DWORD q : source.queued)
        EXPECT_LT(q, 3u);
    EXPECT_EQ(source.port, port.Get());
    EXPECT_EQ(source.user, &source);
    EXPECT_EQ(source.reserved, nullptr);
}

TEST(PortDecodeOneFrame, ABlockRefusedByAFullQueueIsReportedNotLost) {
    const FileRecording rec = MakePlainV30(200, false);
    const std::vector<std::vector<uint8_t>> blocks = FrameBlocks(rec);
    CPort port(QV_PLAY_OpenStreamEx(rec.bytes.data(), kHeaderSize, 0));
    ASSERT_GE(port.Get(), QV_PLAY_FIRST_AUTO_PORT);
    DECODE_OUTPUT probe{};
    DWORD remaining = 0;
    // Into pulled decoding first (no frame yet: 0).
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_I420, &probe, &remaining), 0);
    size_t next = 0;
    while (next < blocks.size() &&
           QV_PLAY_InputData(port, blocks[next].data(), DWORD(blocks[next].size()), 0))
        ++next;
    ASSERT_LT(next, blocks.size()) << "the queue never filled";
    const uint32_t queued = Attr<uint32_t>(port, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT);
    EXPECT_GT(queued, 100u);
    // The refused block: 0, with the frames waiting counted.
    std::vector<uint8_t> buffer(1 << 20);
    DECODE_OUTPUT out{};
    out.pBuffer = buffer.data();
    out.dwSize = DWORD(buffer.size());
    remaining = 0;
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, blocks[next].data(), DWORD(blocks[next].size()), QV_PLAY_TYPE_I420,
                                     &out, &remaining),
              0);
    EXPECT_EQ(remaining, queued);
    // A call without data drains one; the block is then taken.
    out.dwSize = DWORD(buffer.size());
    ASSERT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_I420, &out, &remaining), 1);
    out.dwSize = DWORD(buffer.size());
    ASSERT_EQ(QV_PLAY_DecodeOneFrame(port, blocks[next].data(), DWORD(blocks[next].size()), QV_PLAY_TYPE_I420,
                                     &out, &remaining),
              1);
    // Every frame pushed comes out, the refused one included.
    uint32_t frames = 2;
    for (;;) {
        out.dwSize = DWORD(buffer.size());
        if (!QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_I420, &out, &remaining))
            break;
        ++frames;
    }
    // Those the decoder holds back aside.
    EXPECT_EQ(frames + ModeOf(port)->FramesInDecoder(), uint32_t(next + 1));
    EXPECT_EQ(ModeOf(port)->HandedOutFrameCount(), 0u);
}

// ---- A live stream played with callbacks ----

struct Decoded {
    LONG nPort;
    LONG nSize;
    FRAME_INFO info;
    FRAME_TIME time;
    void *user;
    std::string md5;          // pictures
    std::vector<int16_t> pcm; // audio
};

struct Parsed {
    LONG nPort;
    PARSE_INFO info;
    std::vector<uint8_t> header, payload;
    void *user;
};

struct StreamLog {
    std::mutex lock;
    std::vector<Decoded> decoded;
    std::vector<Parsed> parsed;
    size_t Decodes() {
        std::lock_guard<std::mutex> guard(lock);
        return decoded.size();
    }
    size_t Parses() {
        std::lock_guard<std::mutex> guard(lock);
        return parsed.size();
    }
};

void QV_CALL OnDecode(LONG nPort, const BYTE *pData, LONG nSize, const FRAME_INFO *pInfo, void *pUser,
                      const FRAME_TIME *pTime) {
    StreamLog *log = static_cast<StreamLog *>(pUser);
    Decoded d{nPort, nSize, *pInfo, *pTime, pUser, "", {}};
    if (pInfo->nType == QV_PLAY_TYPE_AUDIO16)
        d.pcm = AsSamples(pData, size_t(nSize));
    else
        d.md5 = PictureMd5(pData, pInfo->nWidth, pInfo->nHeight, uint32_t(pInfo->nType));
    std::lock_guard<std::mutex> guard(log->lock);
    log->decoded.push_back(std::move(d));
}

void QV_CALL OnParse(LONG nPort, const PARSE_INFO *pInfo, void *pUser) {
    StreamLog *log = static_cast<StreamLog *>(pUser);
    Parsed p{nPort, *pInfo, {}, {}, pUser};
    p.header.assign(pInfo->pHeader, pInfo->pHeader + pInfo->dwHeaderLength);
    p.payload.assign(pInfo->pPayload, pInfo->pPayload + pInfo->dwPayloadLength);
    std::lock_guard<std::mutex> guard(log->lock);
    log->parsed.push_back(std::move(p));
}

bool SameTime(const FRAME_TIME &t, const SYSTEMTIME &s) {
    return t.wYear == s.wYear && t.wMonth == s.wMonth && t.wDay == s.wDay && t.wHour == s.wHour &&
           t.wMinute == s.wMinute && t.wSecond == s.wSecond && t.wMilliseconds == s.wMilliseconds &&
           t.wDayOfWeek == s.wDayOfWeek;
}

class PortLiveStream : public ::testing::TestWithParam<bool> {};

TEST_P(PortLiveStream, PlayedWithDecodeAndParseCallbacks) {
    const bool bEx = GetParam();
    // Long enough for the player's statistics window (4 s of stream time),
    // more than the parser's queue takes at once.
    const FileRecording rec = MakePlainV30(130, true);
    const std::vector<std::vector<uint8_t>> blocks = FrameBlocks(rec);
    CPort port;
    if (bEx)
        port.Set(QV_PLAY_OpenStreamEx(rec.bytes.data(), kHeaderSize, 0));
    else
        port.Set(QV_PLAY_OpenStream(24, rec.bytes.data(), kHeaderSize, 1 << 20) ? 24 : -1);
    ASSERT_GE(port.Get(), 0);
    StreamLog log;
    ASSERT_EQ(QV_PLAY_SetPlayOption(port, 0, 0), 1); // nothing shown or heard: not paced
    ASSERT_EQ(QV_PLAY_SetDecCallBackEx(port, OnDecode, &log, nullptr, QV_PLAY_TYPE_I420), 1);
    ASSERT_EQ(QV_PLAY_SetParseCallBackEx(port, OnParse, &log), 1);
    // A client that watches its buffer is given every frame: the player
    // does not skip ahead when the queue grows long.
    SourceCalls source;
    ASSERT_EQ(QV_PLAY_SetSourceBufferCB(port, 2, OnSource, &source, nullptr), 1);
    ASSERT_EQ(QV_PLAY_Play(port, 0), 1);
    const auto InputFn = bEx ? QV_PLAY_InputVideoData : QV_PLAY_InputAudioData;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const BYTE *data = blocks[i].data();
        const DWORD size = DWORD(blocks[i].size());
        // A full queue refuses the block; the play thread empties it.
        ASSERT_TRUE(WaitUntil([&] {
            return i % 2 ? QV_PLAY_InputData(port, data, size, 0) != 0 : InputFn(port, data, size) != 0;
        }));
    }
    const auto video = rec.Video();
    ASSERT_TRUE(WaitUntil([&] { return log.Parses() == rec.frames.size(); }));
    // Every frame is decoded but those the decoder holds back (a live
    // stream is never drained).
    ASSERT_TRUE(WaitUntil([&] {
        return log.Decodes() + ModeOf(port)->FramesInDecoder() == rec.frames.size();
    })) << log.Decodes()
        << " decoded of " << rec.frames.size();
    const uint32_t held = ModeOf(port)->FramesInDecoder();
    ASSERT_EQ(QV_PLAY_Stop(port), 1);

    {
        std::lock_guard<std::mutex> guard(source.lock);
        ASSERT_FALSE(source.queued.empty()) << "the queue never ran low";
        for (DWORD q : source.queued)
            EXPECT_LT(q, 2u);
        EXPECT_EQ(source.port, port.Get());
    }
    std::lock_guard<std::mutex> guard(log.lock);
    // Parse: every frame in order with its fields.
    ASSERT_EQ(log.parsed.size(), rec.frames.size());
    for (size_t i = 0; i < rec.frames.size(); ++i) {
        SCOPED_TRACE("parsed frame " + std::to_string(i));
        const FixtureFrame &f = rec.frames[i];
        const Parsed &p = log.parsed[i];
        EXPECT_EQ(p.nPort, port.Get());
        EXPECT_EQ(p.user, &log);
        EXPECT_EQ(p.payload, f.payload);
        EXPECT_EQ(p.info.dwHeaderLength, f.dwHeaderLength);
        EXPECT_EQ(p.header, std::vector<uint8_t>(rec.bytes.begin() + f.ullOffset,
                                                 rec.bytes.begin() + f.ullOffset + f.dwHeaderLength));
        EXPECT_EQ(p.info.wReserved1, 0);
        if (f.nType == DEMUX_FRAME_AUDIO) {
            EXPECT_EQ(p.info.wFrameKind, QV_PLAY_PARSE_AUDIO_G711A);
            EXPECT_EQ(p.info.dwSequence, 0u);
            EXPECT_EQ(p.info.wWidth, 0);
            EXPECT_EQ(p.info.dwTimeStamp, 0u);
            EXPECT_EQ(p.info.ullFileOffset, 0u);
            EXPECT_EQ(p.info.stTime.wYear, 0);
        } else {
            EXPECT_EQ(p.info.wFrameKind,
                      f.nType == DEMUX_FRAME_I ? QV_PLAY_PARSE_VIDEO_KEY : QV_PLAY_PARSE_VIDEO_P);
            EXPECT_EQ(p.info.dwSequence, f.dwSequence);
            EXPECT_EQ(p.info.wWidth, 352);
            EXPECT_EQ(p.info.wHeight, 288);
            EXPECT_EQ(p.info.dwTimeStamp, f.dwTimestamp);
            EXPECT_EQ(std::memcmp(&p.info.stTime, &f.stTime, sizeof(SYSTEMTIME)), 0);
            // Offsets count from the first byte given after the header
            // block.
            EXPECT_EQ(p.info.ullFileOffset, f.ullOffset - kHeaderSize);
        }
    }
    // Decode: pictures in order against ffmpeg, each with its frame's
    // recording time; audio against the A-law law.
    const std::vector<std::string> md5 = FixtureFrameMd5s(rec.clip);
    const auto audio = AudioFrames(rec);
    size_t v = 0, a = 0;
    uint32_t lastStamp = 0;
    for (const Decoded &d : log.decoded) {
        EXPECT_EQ(d.nPort, port.Get());
        EXPECT_EQ(d.user, &log);
        if (d.info.nType == QV_PLAY_TYPE_AUDIO16) {
            SCOPED_TRACE("audio " + std::to_string(a));
            EXPECT_EQ(d.info.nWidth, 0);
            EXPECT_EQ(d.info.nHeight, 0);
            EXPECT_EQ(d.info.nStamp, 0);
            EXPECT_EQ(d.info.nFrameRate, 0);
            ASSERT_LT(a, audio.size());
            EXPECT_EQ(d.pcm, AlawPcm(audio[a]->payload));
            EXPECT_EQ(d.nSize, LONG(audio[a]->payload.size() * 2));
            EXPECT_EQ(d.time.wYear, 0); // audio frames carry no recording time
            ++a;
            continue;
        }
        SCOPED_TRACE("picture " + std::to_string(v));
        ASSERT_LT(v, video.size());
        EXPECT_EQ(uint32_t(d.info.nType), PLAY_PIXEL_FORMAT_YV12);
        EXPECT_EQ(d.info.nWidth, 352);
        EXPECT_EQ(d.info.nHeight, 288);
        EXPECT_EQ(d.nSize, 352 * 288 * 3 / 2);
        EXPECT_EQ(d.md5, md5[v % md5.size()]);
        EXPECT_TRUE(SameTime(d.time, video[v]->stTime))
            << d.time.wYear << "-" << d.time.wMonth << "-" << d.time.wDay << " " << d.time.wHour << ":"
            << d.time.wMinute << ":" << d.time.wSecond << "." << d.time.wMilliseconds;
        // Played time as it stood: never backwards, never past the end.
        EXPECT_GE(uint32_t(d.info.nStamp), lastStamp);
        EXPECT_LE(uint32_t(d.info.nStamp), video.back()->dwTimestamp - video.front()->dwTimestamp);
        lastStamp = uint32_t(d.info.nStamp);
        ++v;
    }
    EXPECT_EQ(v + held, video.size());
    EXPECT_LE(held, 3u);
    EXPECT_EQ(a, audio.size());
    // Once measured, the frame rate: 40 ms apart.
    ASSERT_FALSE(log.decoded.empty());
    for (auto it = log.decoded.rbegin(); it != log.decoded.rend(); ++it)
        if (it->info.nType != QV_PLAY_TYPE_AUDIO16) {
            EXPECT_EQ(it->info.nFrameRate, 25);
            break;
        }
}

INSTANTIATE_TEST_SUITE_P(Open, PortLiveStream, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &i) {
                             return std::string(i.param ? "OpenStreamEx" : "OpenStream");
                         });

} // namespace
