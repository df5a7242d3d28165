// The QV_PLAY2_ family end to end: recordings of every generation opened by
// wide and ANSI paths, indexed, sought and played to their end with the
// notifications received through the family's adapters; controls and
// statistics; decoding on demand with the frame descriptions checked field by
// field and the pictures against ffmpeg; the stream-parse, decode and
// DC-render adapters with client functions swapped and cleared; live streams;
// BMP snapshot files read back by hand and by Python; ANSI paths outside
// ASCII; and the results for dead handles and missing pointers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "fixtures/recordings.h"
#include "play2_test_util.h"
#include "qvdisplay.h"
#include "qvplay.h"
#include "qvplay2.h"
#include "qvsound.h"

using namespace filetest;
using namespace play2test;

namespace {

// ---- Small accessors ----

DWORD U32(int32_t(QV_CALL *fn)(PLAY2_HANDLE, DWORD *), PLAY2_HANDLE h) {
    DWORD v = 0xDEADBEEF;
    EXPECT_EQ(fn(h, &v), PLAY_OK);
    return v;
}

float F32(int32_t(QV_CALL *fn)(PLAY2_HANDLE, float *), PLAY2_HANDLE h) {
    float v = -1.0f;
    EXPECT_EQ(fn(h, &v), PLAY_OK);
    return v;
}

ULONGLONG U64(int32_t(QV_CALL *fn)(PLAY2_HANDLE, ULONGLONG *), PLAY2_HANDLE h) {
    ULONGLONG v = ~0ull;
    EXPECT_EQ(fn(h, &v), PLAY_OK);
    return v;
}

PLAY2_EXTENSION *ExtensionOf(PLAY2_HANDLE h) {
    void *p = nullptr;
    EXPECT_EQ(Play_GetExtension(h, &p), PLAY_OK);
    return static_cast<PLAY2_EXTENSION *>(p);
}

// The slots are shared with the player's threads: written whole, as a client
// swapping its function would.
template <class T> void SwapSlot(T &slot, T value) {
    std::atomic_ref<T>(slot).store(value);
}
template <class T> T ReadSlot(T &slot) {
    return std::atomic_ref<T>(slot).load();
}

std::string GenParamName(const ::testing::TestParamInfo<Gen> &info) {
    return std::string("G") + GenName(info.param);
}

// ---- Every generation: open, index, seek, play to the end ----

class Play2File : public ::testing::TestWithParam<Gen> {};

TEST_P(Play2File, IndexesSeeksAndPlaysToTheEnd) {
    const Gen gen = GetParam();
    const FileRecording rec = MakeFile(gen, 50, true);
    ASSERT_FALSE(rec.bytes.empty());
    CTempDir dir;
    const std::filesystem::path path = dir.Write("gen.rec", rec.bytes);
    const std::vector<QV_WCHAR> wide = WidePath(path);
    // Declared first: callback contexts outlive the player and its threads.
    Notified indexed;
    Notified ended;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    ASSERT_NE(h, nullptr);

    // The index completes in the background; the notification arrives
    // through the family's adapter with the player and the context.
    ASSERT_EQ(QV_PLAY2_RegisterFileIndexCompletedCallback(h, OnNotify, &indexed), PLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return indexed.count.load() > 0; }));
    EXPECT_EQ(indexed.count.load(), 1);
    EXPECT_EQ(indexed.handle.load(), h);
    EXPECT_EQ(indexed.context.load(), &indexed);
    EXPECT_NE(U32(QV_PLAY2_IsFileIndexCompleted, h), 0u);
    EXPECT_EQ(U32(QV_PLAY2_IsFileEnded, h), 0u);

    // What the file holds, as the fixture wrote it.
    EXPECT_EQ(U32(QV_PLAY2_GetMode, h), uint32_t(PLAY_MODE_FILE));
    EXPECT_EQ(U64(QV_PLAY2_GetFileSize, h), uint64_t(rec.bytes.size()));
    EXPECT_EQ(U32(QV_PLAY2_GetFileDuration, h), rec.Duration());
    EXPECT_EQ(U32(QV_PLAY2_GetFileVideoFrameCount, h), rec.FrameCount());
    StreamInfo info{};
    ASSERT_EQ(QV_PLAY2_GetDemuxProperty(h, &info), PLAY_OK);
    EXPECT_EQ(info.dwSize, DEMUX_STREAM_INFO_SIZE);
    EXPECT_EQ(info.dwGeneration, GenerationCode(gen));

    // Video decoded where this build can, nothing shown or heard.
    const DWORD flags = GenDecodes(gen) ? (PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT) : 0u;
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, flags), PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_GetEnableFlag, h), flags);
    ASSERT_EQ(QV_PLAY2_SetSpeed(h, 64.0f), PLAY_OK);
    EXPECT_EQ(F32(QV_PLAY2_GetSpeed, h), 64.0f);

    // Seeks, paused: each lands on its frame.
    ASSERT_EQ(QV_PLAY2_Pause(h), PLAY_OK);
    auto index = [&] { return U32(QV_PLAY2_GetPlayVideoFrameIndex, h); };
    const uint32_t firstTime = rec.Keys().front()->dwTimestamp;
    const uint32_t firstSeq = rec.Keys().front()->dwSequence;
    ASSERT_EQ(QV_PLAY2_SeekByIndex(h, 30), PLAY_OK);
    EXPECT_EQ(index(), 30u);
    ASSERT_EQ(QV_PLAY2_SeekNextIndex(h), PLAY_OK);
    EXPECT_EQ(index(), 31u);
    ASSERT_EQ(QV_PLAY2_SeekNextIndex(h), PLAY_OK);
    EXPECT_EQ(index(), 32u);
    ASSERT_EQ(QV_PLAY2_SeekPreviousIndex(h), PLAY_OK);
    EXPECT_EQ(index(), 31u);
    ASSERT_EQ(QV_PLAY2_SeekByTime(h, rec.VideoAt(20)->dwTimestamp - firstTime), PLAY_OK);
    EXPECT_EQ(index(), 20u);
    const FixtureFrame *key = rec.KeyAtOrAfter(uint64_t(double(rec.bytes.size()) * 0.3));
    ASSERT_NE(key, nullptr);
    ASSERT_EQ(QV_PLAY2_SeekByRatio(h, 0.3f), PLAY_OK);
    EXPECT_EQ(index(), key->dwSequence - firstSeq);
    ASSERT_EQ(QV_PLAY2_SeekByIndex(h, 0), PLAY_OK);
    EXPECT_EQ(index(), 0u);
    ASSERT_EQ(QV_PLAY2_SeekPreviousIndex(h), PLAY_OK); // index 0 stays 0
    EXPECT_EQ(index(), 0u);
    EXPECT_EQ(U32(QV_PLAY2_GetState, h), uint32_t(PLAY_STATE_PAUSED));
    // Out of range: refused, the position kept.
    EXPECT_EQ(QV_PLAY2_SeekByIndex(h, rec.FrameCount()), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(QV_PLAY2_SeekByTime(h, rec.Duration() + 1), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(QV_PLAY2_SeekByRatio(h, 1.0f), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(index(), 0u);

    // Played to its end: the notification through the adapter.
    ASSERT_EQ(QV_PLAY2_RegisterFileEndedCallback(h, OnNotify, &ended), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_Play(h), PLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return ended.count.load() > 0; }));
    EXPECT_EQ(ended.handle.load(), h);
    EXPECT_EQ(ended.context.load(), &ended);
    EXPECT_NE(U32(QV_PLAY2_IsFileEnded, h), 0u);
    EXPECT_EQ(index(), rec.FrameCount() - 1);
    EXPECT_EQ(U32(QV_PLAY2_GetPlayDuration, h), rec.Duration());
    const ULONGLONG played = U64(QV_PLAY2_GetPlayDataSize, h);
    EXPECT_GT(played, 0u);
    EXPECT_LE(played, uint64_t(rec.bytes.size()));
    if (GenDecodes(gen)) {
        DWORD width = 0, height = 0;
        ASSERT_EQ(QV_PLAY2_GetPictureSize(h, &width, &height), PLAY_OK);
        EXPECT_EQ(width, 352u);
        EXPECT_EQ(height, 288u);
        DecoderInfo vdec{};
        ASSERT_EQ(QV_PLAY2_GetVdecStatus(h, &vdec), PLAY_OK);
        EXPECT_EQ(vdec.dwSize, VDEC_INFO_SIZE);
        EXPECT_GT(vdec.dwPictureCount, 0u);
    }
    StreamStatistics stats{};
    ASSERT_EQ(QV_PLAY2_GetDemuxStatus(h, &stats), PLAY_OK);
    EXPECT_EQ(stats.dwSize, DEMUX_STATISTICS_SIZE);
    EXPECT_GT(stats.dwIFrameCount, 0u);
    EXPECT_EQ(QV_PLAY2_Close(h), PLAY_OK);
    *player.Out() = nullptr;

    // The same file by its ANSI path.
    CPlay2 byAnsi;
    ASSERT_EQ(QV_PLAY2_OpenFileA(byAnsi.Out(), AnsiPath(path).c_str()), PLAY_OK);
    EXPECT_EQ(U64(QV_PLAY2_GetFileSize, byAnsi.Get()), uint64_t(rec.bytes.size()));
    StreamInfo info2{};
    ASSERT_EQ(QV_PLAY2_GetDemuxProperty(byAnsi.Get(), &info2), PLAY_OK);
    EXPECT_EQ(info2.dwGeneration, GenerationCode(gen));
}

INSTANTIATE_TEST_SUITE_P(Generations, Play2File,
                         ::testing::Values(Gen::V30, Gen::V20, Gen::G6000, Gen::G15, Gen::V10), GenParamName);

// The statistics the play measures over its first window (the first key
// frame after 4 s of video), on a recording long enough for one.
TEST(Play2Statistics, MeasuredRatesOfAPlayedFile) {
    const FileRecording rec = MakeFile(Gen::V30, 130, true);
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("stats.rec", rec.bytes));
    // Declared first: callback contexts outlive the player and its threads.
    Notified ended;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, 0), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_SetSpeed(h, 64.0f), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_RegisterFileEndedCallback(h, OnNotify, &ended), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_Play(h), PLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return ended.count.load() > 0; }));
    // The window holds video frames 0 to 99 (40 ms each, a key frame every
    // 25) and the audio frame behind each.
    double videoBytes = 0, audioBytes = 0;
    for (const FixtureFrame &f : rec.frames) {
        if (f.nType != DEMUX_FRAME_AUDIO && f.dwSequence - rec.frames.front().dwSequence == 100)
            break;
        (f.nType == DEMUX_FRAME_AUDIO ? audioBytes : videoBytes) +=
            double(f.payload.size() + f.dwHeaderLength);
    }
    EXPECT_EQ(U32(QV_PLAY2_GetKeyFrameDistance, h), 25u);
    EXPECT_EQ(U32(QV_PLAY2_GetKeyFrameInterval, h), 1000u);
    EXPECT_FLOAT_EQ(F32(QV_PLAY2_GetVideoFrameRate, h), 25.0f);
    EXPECT_FLOAT_EQ(F32(QV_PLAY2_GetAudioFrameRate, h), 25.0f);
    EXPECT_NEAR(F32(QV_PLAY2_GetVideoBitrate, h), videoBytes * 8000 / (4000.0 * 1024), 0.01);
    EXPECT_NEAR(F32(QV_PLAY2_GetAudioBitrate, h), audioBytes * 8000 / (4000.0 * 1024), 0.01);
    EXPECT_EQ(U32(QV_PLAY2_GetBufferedFrameCount, h), 0u);
}

// ---- Controls and actions ----

TEST(Play2Controls, ValuesReachTheirControlAndComeBackClamped) {
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("c.rec", rec.bytes));
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();

    struct SpeedCase {
        float set, get;
    };
    for (const SpeedCase c : {SpeedCase{0.5f, 0.5f}, SpeedCase{100.0f, 64.0f}, SpeedCase{0.001f, 0.015625f},
                              SpeedCase{2.0f, 2.0f}}) {
        ASSERT_EQ(QV_PLAY2_SetSpeed(h, c.set), PLAY_OK);
        EXPECT_EQ(F32(QV_PLAY2_GetSpeed, h), c.get) << c.set;
    }
    struct U32Case {
        int32_t(QV_CALL *set)(PLAY2_HANDLE, DWORD);
        int32_t(QV_CALL *get)(PLAY2_HANDLE, DWORD *);
        DWORD value, expected;
        const char *name;
    };
    const U32Case cases[] = {
        {QV_PLAY2_SetVolume, QV_PLAY2_GetVolume, 1234, 1234, "volume"},
        {QV_PLAY2_SetVolume, QV_PLAY2_GetVolume, 70000, 65535, "volume above"},
        {QV_PLAY2_SetCpuLimit, QV_PLAY2_GetCpuLimit, 75, 75, "cpu limit"},
        {QV_PLAY2_SetCpuLimit, QV_PLAY2_GetCpuLimit, 10, 50, "cpu limit below"},
        {QV_PLAY2_SetCpuLimit, QV_PLAY2_GetCpuLimit, 150, 100, "cpu limit above"},
        {QV_PLAY2_SetEnableFlag, QV_PLAY2_GetEnableFlag, 0x1001, 0x1001, "flags"},
        {QV_PLAY2_SetEnableFlag, QV_PLAY2_GetEnableFlag, 0x101, 0x901, "flags with display"},
        {QV_PLAY2_SetEnableFlag, QV_PLAY2_GetEnableFlag, 0x10000001, 0x10000009, "flags on demand"},
    };
    for (const U32Case &c : cases) {
        ASSERT_EQ(c.set(h, c.value), PLAY_OK) << c.name;
        EXPECT_EQ(U32(c.get, h), c.expected) << c.name;
    }
    PLAY_COLOR color{};
    color.dwSize = PLAY_COLOR_SIZE;
    ASSERT_EQ(QV_PLAY2_GetVideoColor(h, &color), PLAY_OK);
    EXPECT_EQ(color.dwBrightness, 64u);
    EXPECT_EQ(color.dwHue, 64u);
    const PLAY_COLOR set{PLAY_COLOR_SIZE, 10, 20, 200, 40, 0};
    ASSERT_EQ(QV_PLAY2_SetVideoColor(h, &set), PLAY_OK);
    PLAY_COLOR got{};
    ASSERT_EQ(QV_PLAY2_GetVideoColor(h, &got), PLAY_OK);
    EXPECT_EQ(got.dwSize, PLAY_COLOR_SIZE);
    EXPECT_EQ(got.dwBrightness, 10u);
    EXPECT_EQ(got.dwContrast, 20u);
    EXPECT_EQ(got.dwSaturation, 127u);
    EXPECT_EQ(got.dwHue, 40u);
}

TEST(Play2Actions, EachActionReachesThePlayer) {
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    CPlay2 stream;
    ASSERT_EQ(QV_PLAY2_OpenStream(stream.Out(), rec.bytes.data(), kV30HeaderSize), PLAY_OK);
    const PLAY2_HANDLE h = stream.Get();
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, 0), PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_GetMode, h), uint32_t(PLAY_MODE_STREAM));
    EXPECT_EQ(U32(QV_PLAY2_GetState, h), uint32_t(PLAY_STATE_IDLE));
    // Idle, what is pushed stays queued.
    ASSERT_EQ(
        QV_PLAY2_InputData(h, rec.bytes.data() + kV30HeaderSize, DWORD(rec.bytes.size() - kV30HeaderSize)),
        PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_GetBufferedFrameCount, h), uint32_t(rec.frames.size()));
    ASSERT_EQ(QV_PLAY2_Play(h), PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_GetState, h), uint32_t(PLAY_STATE_PLAYING));
    ASSERT_EQ(QV_PLAY2_Pause(h), PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_GetState, h), uint32_t(PLAY_STATE_PAUSED));
    ASSERT_EQ(QV_PLAY2_Stop(h), PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_GetState, h), uint32_t(PLAY_STATE_IDLE));
    // A live stream has no backward play and no seeks.
    EXPECT_EQ(QV_PLAY2_PlayBackward(h), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(QV_PLAY2_SeekByIndex(h, 0), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(QV_PLAY2_SeekNextIndex(h), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(QV_PLAY2_SeekPreviousIndex(h), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(QV_PLAY2_SeekByRatio(h, 0.5f), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(QV_PLAY2_SeekByTime(h, 0), PLAY_E_NOT_SUPPORTED);

    // A file plays backward once indexed.
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("b.rec", rec.bytes));
    CPlay2 file;
    ASSERT_EQ(QV_PLAY2_OpenFileW(file.Out(), wide.data()), PLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return U32(QV_PLAY2_IsFileIndexCompleted, file.Get()) != 0; }));
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(file.Get(), 0), PLAY_OK);
    EXPECT_EQ(U32(QV_PLAY2_IsPlayBackward, file.Get()), 0u);
    ASSERT_EQ(QV_PLAY2_Pause(file.Get()), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_SeekByIndex(file.Get(), 9), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_PlayBackward(file.Get()), PLAY_OK);
    EXPECT_NE(U32(QV_PLAY2_IsPlayBackward, file.Get()), 0u);
}

// ---- Decoding on demand ----

struct PulledFrame {
    PLAY2_FRAME_INFO info;
    std::vector<uint8_t> payload;
    std::vector<uint8_t> pcm;
    std::string md5;
};

// Pulls every frame, checks what must hold of each record and its release,
// and returns what was pulled.
std::vector<PulledFrame> PullAll(PLAY2_HANDLE h, uint32_t maxFrames = 10000) {
    std::vector<PulledFrame> out;
    for (uint32_t i = 0; i < maxFrames; ++i) {
        PLAY2_FRAME_INFO info;
        std::memset(&info, 0xCD, sizeof(info));
        const int32_t r = QV_PLAY2_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_I420, &info);
        if (r == PLAY_E_NO_FRAME || r == PLAY_E_NOT_READY)
            break;
        EXPECT_EQ(r, PLAY_OK);
        if (r != PLAY_OK)
            break;
        EXPECT_NE(info.pFrame, nullptr);
        // The reserved words behind the core frame are not written.
        EXPECT_EQ(info.dwReserved[0], 0xCDCDCDCDu);
        EXPECT_EQ(info.dwReserved[1], 0xCDCDCDCDu);
        const SeenFrame seen = Copy(h, &info, nullptr);
        out.push_back(PulledFrame{info, seen.payload, seen.pcm, seen.md5});
        // Freed: the whole record is cleared. Given back again: refused, the
        // copy untouched.
        PLAY2_FRAME_INFO copy = info;
        EXPECT_EQ(QV_PLAY2_FreeDecodeFrame(h, &info), PLAY_OK);
        EXPECT_TRUE(AllZero(&info, sizeof(info)));
        const PLAY2_FRAME_INFO before = copy;
        EXPECT_EQ(QV_PLAY2_FreeDecodeFrame(h, &copy), PLAY_E_INVALID_VALUE);
        EXPECT_EQ(std::memcmp(&copy, &before, sizeof(copy)), 0);
    }
    return out;
}

TEST(Play2DecodeOnDemand, FramesDescribedFieldByFieldWithFfmpegPictures) {
    const FileRecording rec = PlainV30(50, true);
    const std::vector<std::string> reference = FixtureFrameMd5s(kSmallClip);
    ASSERT_EQ(reference.size(), 50u);
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("pull.rec", rec.bytes));
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    // Without decoding on demand nothing is handed out.
    PLAY2_FRAME_INFO untouched;
    std::memset(&untouched, 0x5A, sizeof(untouched));
    EXPECT_EQ(QV_PLAY2_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_I420, &untouched), PLAY_E_NOT_SUPPORTED);
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE |
                                            PLAY_ENABLE_AUDIO_DECODE),
              PLAY_OK);
    EXPECT_EQ(QV_PLAY2_GetDecodeFrame(h, 0x12345678, &untouched), PLAY_E_BAD_PIXEL_FORMAT);
    PLAY2_FRAME_INFO pattern;
    std::memset(&pattern, 0x5A, sizeof(pattern));
    EXPECT_EQ(std::memcmp(&untouched, &pattern, sizeof(pattern)), 0);

    const std::vector<PulledFrame> pulled = PullAll(h);
    std::map<uint64_t, const FixtureFrame *> videoAt;
    std::vector<const FixtureFrame *> audio;
    for (const FixtureFrame &f : rec.frames) {
        if (f.nType == DEMUX_FRAME_AUDIO)
            audio.push_back(&f);
        else
            videoAt[f.ullOffset] = &f;
    }
    size_t pictures = 0, pcmBlocks = 0;
    for (const PulledFrame &p : pulled) {
        const PLAY2_FRAME_INFO &i = p.info;
        if (i.dwType == DEMUX_FRAME_AUDIO) {
            ASSERT_LT(pcmBlocks, audio.size());
            const FixtureFrame &f = *audio[pcmBlocks++];
            SCOPED_TRACE("audio frame " + std::to_string(pcmBlocks - 1));
            EXPECT_EQ(i.dwHeaderLength, f.dwHeaderLength);
            EXPECT_TRUE(p.payload == f.payload);
            EXPECT_EQ(i.u.audio.wChannels, 1u);
            EXPECT_EQ(i.u.audio.wBitsPerSample, 16u);
            EXPECT_EQ(i.u.audio.dwSamplesPerSec, 8000u);
            EXPECT_EQ(i.u.audio.dwPcmSize, 2 * f.payload.size());
            EXPECT_TRUE(p.pcm == AlawPcm(f.payload));
            EXPECT_TRUE(AllZero(i.u.audio.dwReserved, sizeof(i.u.audio.dwReserved)));
            continue;
        }
        ASSERT_TRUE(i.dwType >= DEMUX_FRAME_I && i.dwType <= DEMUX_FRAME_DROPPABLE) << i.dwType;
        const auto it = videoAt.find(i.u.video.ullFileOffset);
        ASSERT_NE(it, videoAt.end()) << "no video frame at " << i.u.video.ullFileOffset;
        const FixtureFrame &f = *it->second;
        SCOPED_TRACE("video frame " + std::to_string(f.dwSequence));
        EXPECT_EQ(i.dwType, uint32_t(f.nType));
        EXPECT_EQ(i.dwHeaderLength, f.dwHeaderLength);
        EXPECT_TRUE(p.payload == f.payload);
        EXPECT_EQ(i.u.video.dwWidth, 352u);
        EXPECT_EQ(i.u.video.dwHeight, 288u);
        EXPECT_EQ(i.u.video.dwSequence, f.dwSequence);
        EXPECT_EQ(i.u.video.dwTimeStamp, f.dwTimestamp);
        EXPECT_EQ(std::memcmp(&i.u.video.stTime, &f.stTime, sizeof(SYSTEMTIME)), 0);
        EXPECT_EQ(i.u.video.dwFourCC, VDEC_FOURCC_YV12);
        EXPECT_EQ(i.u.video.dwPictureSize, 352u * 288u * 3u / 2u);
        EXPECT_TRUE(AllZero(i.u.video.dwReserved, sizeof(i.u.video.dwReserved)));
        // Pictures in order, bit for bit ffmpeg's.
        ASSERT_LT(pictures, reference.size());
        EXPECT_EQ(p.md5, reference[pictures]) << "picture " << pictures;
        ++pictures;
    }
    EXPECT_EQ(pictures, 50u);
    EXPECT_EQ(pcmBlocks, 50u);
    ADEC_STATUS adec{};
    ASSERT_EQ(QV_PLAY2_GetAdecStatus(h, &adec), PLAY_OK);
    EXPECT_EQ(adec.dwSize, ADEC_STATUS_SIZE);
    EXPECT_EQ(adec.dwFrameCount, 50u);
    // Nothing was sent to a sound output: its record is empty.
    SOUND_STATUS sound;
    std::memset(&sound, 0xEE, sizeof(sound));
    ASSERT_EQ(QV_PLAY2_GetSoundStatus(h, &sound), PLAY_OK);
    EXPECT_EQ(sound.dwSize, SOUND_STATUS_SIZE);
    EXPECT_TRUE(AllZero(&sound.bPlaying, sizeof(sound) - sizeof(sound.dwSize)));

    // A null record: refused before the player is asked, even a dead one.
    EXPECT_EQ(QV_PLAY2_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_I420, nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(QV_PLAY2_GetDecodeFrame(nullptr, PLAY_PIXEL_FORMAT_I420, nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(QV_PLAY2_FreeDecodeFrame(h, nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(QV_PLAY2_FreeDecodeFrame(nullptr, nullptr), PLAY_E_NULL_POINTER);
    // A record without a core frame: refused by the player, left as it was.
    PLAY2_FRAME_INFO empty;
    std::memset(&empty, 0, sizeof(empty));
    empty.dwType = 2;
    EXPECT_EQ(QV_PLAY2_FreeDecodeFrame(h, &empty), PLAY_E_NULL_POINTER);
    EXPECT_EQ(empty.dwType, 2u);
}

// ---- Callback adapters ----

TEST(Play2Callbacks, StreamParseAndDecodeDescribeEachFrame) {
    const FileRecording rec = PlainV30(50, true);
    const std::vector<std::string> reference = FixtureFrameMd5s(kSmallClip);
    ASSERT_EQ(reference.size(), 50u);
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("cb.rec", rec.bytes));
    // Declared first: callback contexts outlive the player and its threads.
    CFrameLog parsed, decoded;
    Notified ended;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    ASSERT_EQ(QV_PLAY2_RegisterStreamParseCallback(h, LogFrame, &parsed), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_RegisterDecodeCallback(h, PLAY_PIXEL_FORMAT_YV12, LogFrame, &decoded), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE |
                                            PLAY_ENABLE_NO_CPU_LIMIT),
              PLAY_OK);
    ASSERT_EQ(QV_PLAY2_SetSpeed(h, 64.0f), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_RegisterFileEndedCallback(h, OnNotify, &ended), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_Play(h), PLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return ended.count.load() > 0; }));

    // Every frame of the file, in file order, as parsed.
    const std::vector<SeenFrame> p = parsed.Get();
    ASSERT_EQ(p.size(), rec.frames.size());
    for (size_t n = 0; n < p.size(); ++n) {
        const SeenFrame &s = p[n];
        const FixtureFrame &f = rec.frames[n];
        SCOPED_TRACE("parsed frame " + std::to_string(n));
        EXPECT_EQ(s.h, h);
        EXPECT_EQ(s.pContext, &parsed);
        EXPECT_EQ(s.info.pFrame, nullptr);
        EXPECT_TRUE(AllZero(s.info.dwReserved, sizeof(s.info.dwReserved)));
        EXPECT_EQ(s.info.dwType, uint32_t(f.nType));
        EXPECT_EQ(s.info.dwHeaderLength, f.dwHeaderLength);
        EXPECT_EQ(s.header.size(), f.dwHeaderLength);
        EXPECT_TRUE(s.payload == f.payload);
        if (f.nType == DEMUX_FRAME_AUDIO) {
            // Nothing decoded yet: no PCM fields.
            EXPECT_TRUE(AllZero(&s.info.u, sizeof(s.info.u)));
            continue;
        }
        EXPECT_EQ(s.info.u.video.dwWidth, f.wWidth);
        EXPECT_EQ(s.info.u.video.dwHeight, f.wHeight);
        EXPECT_EQ(s.info.u.video.ullFileOffset, f.ullOffset);
        EXPECT_EQ(std::memcmp(&s.info.u.video.stTime, &f.stTime, sizeof(SYSTEMTIME)), 0);
        EXPECT_EQ(s.info.u.video.dwSequence, f.dwSequence);
        EXPECT_EQ(s.info.u.video.dwTimeStamp, f.dwTimestamp);
        EXPECT_EQ(s.info.u.video.dwFourCC, 0u);
        EXPECT_EQ(s.info.u.video.pPicture, nullptr);
        EXPECT_EQ(s.info.u.video.dwPictureSize, 0u);
        EXPECT_TRUE(AllZero(s.info.u.video.dwReserved, sizeof(s.info.u.video.dwReserved)));
    }

    // Every picture and every PCM block, as decoded.
    const std::vector<SeenFrame> d = decoded.Get();
    size_t pictures = 0, pcm = 0;
    for (const SeenFrame &s : d) {
        EXPECT_EQ(s.h, h);
        EXPECT_EQ(s.pContext, &decoded);
        EXPECT_EQ(s.info.pFrame, nullptr);
        EXPECT_TRUE(AllZero(s.info.dwReserved, sizeof(s.info.dwReserved)));
        if (s.info.dwType == DEMUX_FRAME_AUDIO) {
            EXPECT_EQ(s.info.u.audio.wChannels, 1u);
            EXPECT_EQ(s.info.u.audio.wBitsPerSample, 16u);
            EXPECT_EQ(s.info.u.audio.dwSamplesPerSec, 8000u);
            EXPECT_TRUE(s.pcm == AlawPcm(s.payload)) << "PCM block " << pcm;
            ++pcm;
            continue;
        }
        EXPECT_EQ(s.info.u.video.dwWidth, 352u);
        EXPECT_EQ(s.info.u.video.dwHeight, 288u);
        EXPECT_EQ(s.info.u.video.dwFourCC, VDEC_FOURCC_YV12);
        ASSERT_LT(pictures, reference.size());
        EXPECT_EQ(s.md5, reference[pictures]) << "picture " << pictures;
        ++pictures;
    }
    EXPECT_EQ(pcm, 50u);
    EXPECT_EQ(pictures, 50u);
}

// The two frame kinds whose client function can be swapped in the block.
struct SwapCase {
    const char *name;
    bool bDecode;
};

class Play2CallbackSwap : public ::testing::TestWithParam<SwapCase> {};

struct Counted {
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    std::atomic<void *> context{nullptr};
};

int32_t QV_CALL CountFirst(PLAY2_HANDLE, const PLAY2_FRAME_INFO *, void *pContext) {
    static_cast<Counted *>(pContext)->first++;
    static_cast<Counted *>(pContext)->context = pContext;
    return 0;
}

int32_t QV_CALL CountSecond(PLAY2_HANDLE, const PLAY2_FRAME_INFO *, void *pContext) {
    static_cast<Counted *>(pContext)->second++;
    static_cast<Counted *>(pContext)->context = pContext;
    return 0;
}

// Decoding on demand runs the callbacks on the test's own thread, one frame
// at a time: what each pull calls is exactly known.
TEST_P(Play2CallbackSwap, SwappedFunctionTakesOverAndClearingStopsTheCalls) {
    const bool bDecode = GetParam().bDecode;
    const FileRecording rec = PlainV30(20, true);
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("swap.rec", rec.bytes));
    // Declared first: callback contexts outlive the player and its threads.
    Counted counted;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE |
                                            PLAY_ENABLE_AUDIO_DECODE),
              PLAY_OK);
    PLAY2_EXTENSION *pExt = ExtensionOf(h);
    ASSERT_NE(pExt, nullptr);
    auto &slot = bDecode ? pExt->pfnDecode : pExt->pfnStreamParse;
    auto registerFn = [&](PLAY2_DECODE_CALLBACK fn, void *ctx) {
        return bDecode ? QV_PLAY2_RegisterDecodeCallback(h, PLAY_PIXEL_FORMAT_I420, fn, ctx)
                       : QV_PLAY2_RegisterStreamParseCallback(h, fn, ctx);
    };
    auto pullOne = [&] {
        PLAY2_FRAME_INFO info{};
        ASSERT_EQ(QV_PLAY2_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_I420, &info), PLAY_OK);
        ASSERT_EQ(QV_PLAY2_FreeDecodeFrame(h, &info), PLAY_OK);
    };

    ASSERT_EQ(registerFn(CountFirst, &counted), PLAY_OK);
    EXPECT_EQ(ReadSlot(slot), CountFirst);
    ASSERT_NO_FATAL_FAILURE(pullOne());
    const int firstCalls = counted.first.load();
    EXPECT_GT(firstCalls, 0);
    EXPECT_EQ(counted.second.load(), 0);
    EXPECT_EQ(counted.context.load(), &counted);

    // Swapped in the block: the next callback calls the new function, with
    // the context of the registration.
    SwapSlot(slot, static_cast<PLAY2_DECODE_CALLBACK>(CountSecond));
    counted.context = nullptr;
    ASSERT_NO_FATAL_FAILURE(pullOne());
    EXPECT_EQ(counted.first.load(), firstCalls);
    EXPECT_GT(counted.second.load(), 0);
    EXPECT_EQ(counted.context.load(), &counted);

    // Registered with no function: the slot and the player's registration
    // are both cleared, so a function put back in the slot is never called.
    ASSERT_EQ(registerFn(nullptr, &counted), PLAY_OK);
    EXPECT_EQ(ReadSlot(slot), nullptr);
    SwapSlot(slot, static_cast<PLAY2_DECODE_CALLBACK>(CountSecond));
    const int secondCalls = counted.second.load();
    for (int i = 0; i < 5; ++i)
        ASSERT_NO_FATAL_FAILURE(pullOne());
    EXPECT_EQ(counted.second.load(), secondCalls);
    EXPECT_EQ(counted.first.load(), firstCalls);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Play2CallbackSwap,
                         ::testing::Values(SwapCase{"StreamParse", false}, SwapCase{"Decode", true}),
                         [](const ::testing::TestParamInfo<SwapCase> &i) {
                             return std::string(i.param.name);
                         });

// Distinct functions, one per kind, to see which slot each lands in.
int32_t QV_CALL NotifyA(PLAY2_HANDLE, void *) {
    return 0;
}
int32_t QV_CALL NotifyB(PLAY2_HANDLE, void *) {
    return 0;
}
int32_t QV_CALL BufferFn(PLAY2_HANDLE, DWORD, void *) {
    return 0;
}
int32_t QV_CALL BufferFn2(PLAY2_HANDLE, DWORD, void *) {
    return 1;
}
int32_t QV_CALL FrameA(PLAY2_HANDLE, const PLAY2_FRAME_INFO *, void *) {
    return 0;
}
int32_t QV_CALL FrameB(PLAY2_HANDLE, const PLAY2_FRAME_INFO *, void *) {
    return 0;
}
int32_t QV_CALL DcFn(PLAY2_HANDLE, HDC, const PLAY_VIEWPORT *, void *) {
    return 0;
}

using SlotBytes = std::vector<uint8_t>;
SlotBytes BlockBytes(const PLAY2_EXTENSION *p) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(p);
    return SlotBytes(b, b + sizeof(*p));
}

TEST(Play2Callbacks, EachKindStoresItsFunctionInItsOwnSlot) {
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    // Declared first: callback contexts outlive the player and its threads.
    int ctx = 0;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenStream(player.Out(), rec.bytes.data(), kV30HeaderSize), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    PLAY2_EXTENSION *pExt = ExtensionOf(h);
    ASSERT_NE(pExt, nullptr);
    EXPECT_TRUE(AllZero(pExt, sizeof(*pExt)));
    struct KindCase {
        const char *name;
        std::function<int32_t(bool)> reg; // true: the function, false: none
        std::function<void *()> slot;
        void *pfn;
    };
    const KindCase cases[] = {
        {"index completed",
         [&](bool on) {
             return QV_PLAY2_RegisterFileIndexCompletedCallback(h, on ? NotifyA : nullptr, &ctx);
         },
         [&] { return reinterpret_cast<void *>(ReadSlot(pExt->pfnFileIndexCompleted)); },
         reinterpret_cast<void *>(NotifyA)},
        {"file ended",
         [&](bool on) { return QV_PLAY2_RegisterFileEndedCallback(h, on ? NotifyB : nullptr, &ctx); },
         [&] { return reinterpret_cast<void *>(ReadSlot(pExt->pfnFileEnded)); },
         reinterpret_cast<void *>(NotifyB)},
        {"buffer almost empty",
         [&](bool on) {
             return QV_PLAY2_RegisterBufferAlmostEmptyCallback(h, 10, on ? BufferFn : nullptr, &ctx);
         },
         [&] { return reinterpret_cast<void *>(ReadSlot(pExt->pfnBufferAlmostEmpty)); },
         reinterpret_cast<void *>(BufferFn)},
        {"stream parse",
         [&](bool on) { return QV_PLAY2_RegisterStreamParseCallback(h, on ? FrameA : nullptr, &ctx); },
         [&] { return reinterpret_cast<void *>(ReadSlot(pExt->pfnStreamParse)); },
         reinterpret_cast<void *>(FrameA)},
        {"decode",
         [&](bool on) {
             return QV_PLAY2_RegisterDecodeCallback(h, PLAY_PIXEL_FORMAT_NV12, on ? FrameB : nullptr, &ctx);
         },
         [&] { return reinterpret_cast<void *>(ReadSlot(pExt->pfnDecode)); },
         reinterpret_cast<void *>(FrameB)},
        {"DC render",
         [&](bool on) { return QV_PLAY2_RegisterDcRenderCallback(h, on ? DcFn : nullptr, &ctx); },
         [&] { return reinterpret_cast<void *>(ReadSlot(pExt->pfnDcRender)); },
         reinterpret_cast<void *>(DcFn)},
    };
    for (const KindCase &c : cases) {
        SCOPED_TRACE(c.name);
        const SlotBytes before = BlockBytes(pExt);
        ASSERT_EQ(c.reg(true), PLAY_OK);
        EXPECT_EQ(c.slot(), c.pfn);
        // Nothing else in the block changed.
        SlotBytes after = BlockBytes(pExt);
        const size_t at = size_t(&c - cases) * sizeof(void *); // slots in kind order
        std::memcpy(after.data() + at, before.data() + at, sizeof(void *));
        EXPECT_TRUE(after == before);
    }
    for (const KindCase &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.reg(false), PLAY_OK);
        EXPECT_EQ(c.slot(), nullptr);
    }
    EXPECT_TRUE(AllZero(pExt, sizeof(*pExt)));

    // A registration the player refuses leaves the slot as it was.
    ASSERT_EQ(QV_PLAY2_RegisterBufferAlmostEmptyCallback(h, 150, BufferFn, &ctx), PLAY_OK);
    EXPECT_EQ(QV_PLAY2_RegisterBufferAlmostEmptyCallback(h, 151, BufferFn2, &ctx), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(ReadSlot(pExt->pfnBufferAlmostEmpty), BufferFn);
    // The threshold is checked even when clearing.
    EXPECT_EQ(QV_PLAY2_RegisterBufferAlmostEmptyCallback(h, 151, nullptr, &ctx), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(ReadSlot(pExt->pfnBufferAlmostEmpty), BufferFn);
    ASSERT_EQ(QV_PLAY2_RegisterDecodeCallback(h, PLAY_PIXEL_FORMAT_I420, FrameA, &ctx), PLAY_OK);
    EXPECT_EQ(QV_PLAY2_RegisterDecodeCallback(h, 0x12345678, FrameB, &ctx), PLAY_E_BAD_PIXEL_FORMAT);
    EXPECT_EQ(ReadSlot(pExt->pfnDecode), FrameA);
}

TEST(Play2Callbacks, IndexCompletedRegisteredLateFiresAtOnceOnTheCallingThread) {
    const FileRecording rec = MakeFile(Gen::V20, 20, false);
    CTempDir dir;
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("late.rec", rec.bytes));
    // Declared first: callback contexts outlive the player and its threads.
    Notified late;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    ASSERT_TRUE(WaitFor([&] { return U32(QV_PLAY2_IsFileIndexCompleted, h) != 0; }));
    ASSERT_EQ(QV_PLAY2_RegisterFileIndexCompletedCallback(h, OnNotify, &late), PLAY_OK);
    EXPECT_EQ(late.count.load(), 1);
    EXPECT_EQ(late.handle.load(), h);
    EXPECT_EQ(late.context.load(), &late);
    EXPECT_EQ(late.thread.load(), platform::CThread::CurrentThreadId());
}

// Players of other families share the handle type, not the block layout:
// the family never writes through another player's extension block.
TEST(Play2Callbacks, PlayersOfOtherFamiliesAreNotWrittenThrough) {
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    int ctx = 0;
    for (uint32_t dwExtension : {0u, 8u, 96u}) {
        SCOPED_TRACE("extension of " + std::to_string(dwExtension) + " bytes");
        PLAY_CREATE_PARAM p{};
        p.dwSize = PLAY_CREATE_PARAM_SIZE;
        p.dwExtensionSize = dwExtension;
        p.dwType = PLAY_MODE_STREAM;
        p.pSource = rec.bytes.data();
        p.dwSourceSize = kV30HeaderSize;
        PLAY_HANDLE h = nullptr;
        ASSERT_EQ(Play_CreateW(&h, &p), PLAY_OK);
        EXPECT_EQ(QV_PLAY2_RegisterDcRenderCallback(h, DcFn, &ctx), PLAY_E_NOT_SUPPORTED);
        if (dwExtension != 0) {
            void *pBlock = nullptr;
            ASSERT_EQ(Play_GetExtension(h, &pBlock), PLAY_OK);
            EXPECT_TRUE(AllZero(pBlock, dwExtension));
        }
        // The player itself answers the family's other calls.
        EXPECT_EQ(U32(QV_PLAY2_GetMode, h), uint32_t(PLAY_MODE_STREAM));
        EXPECT_EQ(Play_Release(h), PLAY_OK);
    }
}

// ---- Snapshots, viewports and the DC-render callback ----

struct DcSeen {
    std::atomic<int> count{0};
    std::atomic<int> bad{0};
    PLAY2_HANDLE h = nullptr;
    HWND hWnd = 0;
    uint32_t dwID = 0;
};

int32_t QV_CALL OnDc(PLAY2_HANDLE h, HDC hDC, const PLAY_VIEWPORT *pViewport, void *pContext) {
    DcSeen *seen = static_cast<DcSeen *>(pContext);
    bool ok = h == seen->h && hDC != nullptr && pViewport != nullptr &&
              pViewport->dwSize == PLAY_VIEWPORT_SIZE && pViewport->dwID == seen->dwID &&
              pViewport->hDestWnd == seen->hWnd;
#ifdef _WIN32
    const DWORD dwKind = GetObjectType(hDC);
    ok = ok && (dwKind == OBJ_DC || dwKind == OBJ_MEMDC);
#else
    // The X11 stand-in for a device context: a pixmap bound for our window.
    const QV_X11_DC *pDc = static_cast<const QV_X11_DC *>(hDC);
    ok = ok && pDc->dwSize == sizeof(QV_X11_DC) && pDc->pDisplay != nullptr && pDc->drawable != 0 &&
         pDc->window == seen->hWnd && pDc->nWidth > 0 && pDc->nHeight > 0;
#endif
    if (!ok)
        seen->bad++;
    seen->count++;
    return 0;
}

uint32_t Le32(const std::vector<uint8_t> &b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

uint16_t Le16(const std::vector<uint8_t> &b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

#ifndef _WIN32
// A reader no one here wrote: Python's struct module takes the BMP apart.
bool PythonAcceptsBmp(const CTempDir &dir, const std::filesystem::path &bmp, int width, int height) {
    const std::string script = R"(import struct, sys
d = open(sys.argv[1], "rb").read()
w, h = int(sys.argv[2]), int(sys.argv[3])
magic, size, r1, r2, offset = struct.unpack("<2sIHHI", d[:14])
hsize, bw, bh, planes, bits, comp = struct.unpack("<IiiHHI", d[14:34])
stride = (bw * bits // 8 + 3) // 4 * 4
ok = (magic == b"BM" and size == len(d) and r1 == 0 and r2 == 0 and offset == 54 and hsize == 40
      and bw == w and bh == h and planes == 1 and bits == 24 and comp == 0
      and len(d) == offset + stride * bh)
print("BMP", magic, size, offset, hsize, bw, bh, planes, bits, comp, len(d))
sys.exit(0 if ok else 1)
)";
    const std::filesystem::path py = dir.File("bmpcheck.py");
    if (!FixtureWriteFile(py.string(), std::vector<uint8_t>(script.begin(), script.end())))
        return false;
    const std::string command = "python3 \"" + py.string() + "\" \"" + bmp.string() + "\" " +
                                std::to_string(width) + " " + std::to_string(height);
    return std::system(command.c_str()) == 0;
}
#endif

TEST(Play2Snapshot, BmpFileHoldsThePictureOnScreen) {
    CTempDir dir;
    const FileRecording rec = MakeFile(Gen::V30, 10, false, kBFrameClip);
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("snap.rec", rec.bytes));
    CWindow window(704, 576);
    ASSERT_TRUE(window.Valid());
    // Declared first: callback contexts outlive the player and its threads.
    DcSeen dc;
    Notified ended;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    // No picture yet: nothing to write, no file made.
    EXPECT_EQ(QV_PLAY2_SnapshotToBmpFileW(h, WidePath(dir.File("early.bmp")).data()), PLAY_E_NOT_SUPPORTED);
    EXPECT_FALSE(std::filesystem::exists(dir.File("early.bmp")));
    // The platform's back ends, software decoding, no sound.
    const DWORD defaults = U32(QV_PLAY2_GetEnableFlag, h);
    const DWORD flags = (defaults & ~DWORD(PLAY_ENABLE_HARDWARE_DECODE | PLAY_ENABLE_AUDIO_DECODE)) |
                        PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_DISPLAY | PLAY_ENABLE_NO_CPU_LIMIT;
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, flags), PLAY_OK);
    PLAY_VIEWPORT viewport{};
    viewport.dwSize = PLAY_VIEWPORT_SIZE;
    viewport.dwID = 7;
    viewport.hDestWnd = window.Handle();
    ASSERT_EQ(QV_PLAY2_AddViewport(h, &viewport), PLAY_OK);
    dc.h = h;
    dc.hWnd = window.Handle();
    dc.dwID = 7;
    ASSERT_EQ(QV_PLAY2_RegisterDcRenderCallback(h, OnDc, &dc), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_RegisterFileEndedCallback(h, OnNotify, &ended), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_SetSpeed(h, 8.0f), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_Play(h), PLAY_OK);
    ASSERT_TRUE(WaitFor([&] { return ended.count.load() > 0; }));
    ASSERT_TRUE(WaitFor([&] { return dc.count.load() > 0; }));
    EXPECT_EQ(dc.bad.load(), 0);

    // The viewport as added; another identifier is not there.
    PLAY_VIEWPORT got{};
    ASSERT_EQ(QV_PLAY2_GetViewport(h, 7, &got), PLAY_OK);
    EXPECT_EQ(got.dwSize, PLAY_VIEWPORT_SIZE);
    EXPECT_EQ(got.dwID, 7u);
    EXPECT_EQ(got.hDestWnd, window.Handle());
    EXPECT_EQ(QV_PLAY2_GetViewport(h, 8, &got), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(got.dwID, 7u);
    EXPECT_EQ(QV_PLAY2_GetViewport(h, 7, nullptr), PLAY_E_NULL_POINTER);

    // Paused, the picture on screen stays: the memory snapshot before and
    // after the file must agree with it (the display may still be showing
    // what was queued at the pause: the round is then repeated).
    ASSERT_EQ(QV_PLAY2_Pause(h), PLAY_OK);
    PLAY_SNAPSHOT snap{};
    std::vector<uint8_t> pixels;
    auto memorySnapshot = [&] {
        snap = PLAY_SNAPSHOT{};
        snap.dwSize = PLAY_SNAPSHOT_SIZE;
        if (QV_PLAY2_SnapshotToMemory(h, &snap) != PLAY_OK)
            return false;
        pixels.assign(snap.dwBufferSize, 0);
        snap.pBuffer = pixels.data();
        return QV_PLAY2_SnapshotToMemory(h, &snap) == PLAY_OK;
    };
    const std::filesystem::path shot = dir.File("shot.bmp");
    // An existing longer file is replaced, not overwritten in part.
    ASSERT_TRUE(WriteAll(shot, std::vector<uint8_t>(2000000, 0x77)));
    ASSERT_TRUE(WaitFor([&] {
        if (!memorySnapshot())
            return false;
        const std::vector<uint8_t> before = pixels;
        EXPECT_EQ(QV_PLAY2_SnapshotToBmpFileW(h, WidePath(shot).data()), PLAY_OK);
        return memorySnapshot() && pixels == before;
    }));
    const std::vector<uint8_t> bmp = ReadAll(shot);
    ASSERT_EQ(bmp.size(), 1216566u); // 704 x 3 x 576 + 54
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(Le32(bmp, 2), 1216566u);
    EXPECT_EQ(Le32(bmp, 6), 0u);
    EXPECT_EQ(Le32(bmp, 10), 54u);
    EXPECT_EQ(Le32(bmp, 14), 40u);
    EXPECT_EQ(int32_t(Le32(bmp, 18)), 704);
    EXPECT_EQ(int32_t(Le32(bmp, 22)), 576);
    EXPECT_EQ(Le16(bmp, 26), 1u);
    EXPECT_EQ(Le16(bmp, 28), 24u);
    EXPECT_EQ(Le32(bmp, 30), 0u); // BI_RGB
    EXPECT_EQ(std::memcmp(bmp.data() + 14, &snap.bmiHeader, 40), 0);
    ASSERT_EQ(pixels.size(), bmp.size() - 54);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), bmp.begin() + 54));
#ifndef _WIN32
    EXPECT_TRUE(PythonAcceptsBmp(dir, shot, 704, 576));
#endif

    // By an ANSI path, into a folder named outside ASCII: the same file.
    const std::filesystem::path folder = dir.File("x") / NonAsciiName();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(QV_PLAY2_SnapshotToBmpFileA(h, AnsiPath(folder / "shot.bmp").c_str()), PLAY_OK);
    EXPECT_TRUE(ReadAll(folder / "shot.bmp") == bmp);

    // A folder that does not exist: the file cannot be made, none is left.
    const std::filesystem::path missing = dir.File("missing") / "shot.bmp";
    EXPECT_EQ(QV_PLAY2_SnapshotToBmpFileW(h, WidePath(missing).data()), PLAY_E_FILE_OPEN);
    EXPECT_EQ(QV_PLAY2_SnapshotToBmpFileA(h, AnsiPath(missing).c_str()), PLAY_E_FILE_OPEN);
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));
    EXPECT_EQ(QV_PLAY2_SnapshotToBmpFileW(h, nullptr), PLAY_E_FILE_OPEN);
    EXPECT_EQ(QV_PLAY2_SnapshotToBmpFileA(h, nullptr), PLAY_E_INVALID_VALUE);

    DISPLAY_STATUS status{};
    ASSERT_EQ(QV_PLAY2_GetDisplayStatus(h, &status), PLAY_OK);
    EXPECT_EQ(status.dwSize, DISPLAY_STATUS_SIZE);
    EXPECT_NE(status.dwBackend, 0u);
    EXPECT_GT(status.dwShownCount, 0u);
    EXPECT_GT(status.dwSnapshotCount, 0u);

    // Removed: no longer found.
    ASSERT_EQ(QV_PLAY2_RemoveViewport(h, 7), PLAY_OK);
    EXPECT_EQ(QV_PLAY2_GetViewport(h, 7, &got), PLAY_E_INVALID_VALUE);
}

// ---- Live streams ----

TEST(Play2Stream, BlocksPushedAndPulledGiveFfmpegsPictures) {
    const FileRecording rec = PlainV30(50, true);
    const std::vector<std::string> reference = FixtureFrameMd5s(kSmallClip);
    ASSERT_EQ(reference.size(), 50u);
    CPlay2 player;
    // The header block alone, as the recorder sends it first.
    ASSERT_EQ(QV_PLAY2_OpenStream(player.Out(), rec.bytes.data(), kV30HeaderSize), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    EXPECT_EQ(U32(QV_PLAY2_GetMode, h), uint32_t(PLAY_MODE_STREAM));
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE |
                                            PLAY_ENABLE_AUDIO_DECODE),
              PLAY_OK);
    std::vector<PulledFrame> pulled;
    for (size_t pos = kV30HeaderSize; pos < rec.bytes.size();) {
        const DWORD n = DWORD(std::min<size_t>(3000, rec.bytes.size() - pos));
        ASSERT_EQ(QV_PLAY2_InputData(h, rec.bytes.data() + pos, n), PLAY_OK) << "at " << pos;
        pos += n;
        for (PulledFrame &p : PullAll(h))
            pulled.push_back(std::move(p));
    }
    std::vector<std::string> pictures;
    size_t pcm = 0;
    for (const PulledFrame &p : pulled) {
        if (p.info.dwType == DEMUX_FRAME_AUDIO) {
            EXPECT_TRUE(p.pcm == AlawPcm(p.payload));
            ++pcm;
        } else if (!p.md5.empty()) {
            pictures.push_back(p.md5);
        }
    }
    // A live stream never ends: the few pictures the decoder still holds
    // after the last frame are not asked for.
    EXPECT_GE(pictures.size() + 3, reference.size());
    ASSERT_LE(pictures.size(), reference.size());
    for (size_t i = 0; i < pictures.size(); ++i)
        EXPECT_EQ(pictures[i], reference[i]) << "picture " << i;
    EXPECT_GE(pcm + 1, 50u);
    DWORD width = 0, height = 0;
    ASSERT_EQ(QV_PLAY2_GetPictureSize(h, &width, &height), PLAY_OK);
    EXPECT_EQ(width, 352u);
    EXPECT_EQ(height, 288u);
    // Input checks of the player pass through.
    EXPECT_EQ(QV_PLAY2_InputData(h, nullptr, 10), PLAY_E_NULL_POINTER);
    EXPECT_EQ(QV_PLAY2_InputData(h, rec.bytes.data(), 0), PLAY_E_INVALID_VALUE);
}

struct BufferSeen {
    std::atomic<int> count{0};
    std::atomic<int> bad{0};
    PLAY2_HANDLE h = nullptr;
};

int32_t QV_CALL OnBufferLow(PLAY2_HANDLE h, DWORD dwQueued, void *pContext) {
    BufferSeen *seen = static_cast<BufferSeen *>(pContext);
    if (h != seen->h || dwQueued >= 150)
        seen->bad++;
    seen->count++;
    return 0;
}

TEST(Play2Stream, PlayedStreamCallsBackAsItsBufferEmpties) {
    const FileRecording rec = PlainV30(50, true);
    // Declared first: callback contexts outlive the player and its threads.
    BufferSeen low;
    CFrameLog decoded;
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenStream(player.Out(), rec.bytes.data(), kV30HeaderSize), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    ASSERT_EQ(QV_PLAY2_SetEnableFlag(h, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_SetSpeed(h, 64.0f), PLAY_OK);
    low.h = h;
    ASSERT_EQ(QV_PLAY2_RegisterBufferAlmostEmptyCallback(h, 150, OnBufferLow, &low), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_RegisterDecodeCallback(h, 0, LogFrame, &decoded), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_Play(h), PLAY_OK);
    for (size_t pos = kV30HeaderSize; pos < rec.bytes.size();) {
        const DWORD n = DWORD(std::min<size_t>(4096, rec.bytes.size() - pos));
        int32_t r = PLAY_OK;
        ASSERT_TRUE(WaitFor([&] {
            r = QV_PLAY2_InputData(h, rec.bytes.data() + pos, n);
            return r != PLAY_E_BUFFER_FULL;
        }));
        ASSERT_EQ(r, PLAY_OK);
        pos += n;
    }
    // All but the few the decoder holds back come out decoded.
    ASSERT_TRUE(WaitFor([&] { return decoded.Count() + 3 >= 50; }));
    ASSERT_TRUE(WaitFor([&] { return low.count.load() > 0; }));
    EXPECT_EQ(low.bad.load(), 0);
    for (const SeenFrame &s : decoded.Get()) {
        EXPECT_EQ(s.h, h);
        EXPECT_NE(s.info.dwType, uint32_t(DEMUX_FRAME_AUDIO)); // audio not decoded
        EXPECT_FALSE(s.md5.empty());
    }
}

// ---- ANSI paths ----

TEST(Play2AnsiPath, FolderNamedOutsideAscii) {
#ifdef _WIN32
    std::cout << "ANSI code page " << GetACP() << "\n";
#endif
    const std::filesystem::path name = NonAsciiName();
    ASSERT_FALSE(name.empty()) << "the ANSI code page carries none of the candidate names";
    CTempDir dir;
    const std::filesystem::path folder = dir.File("a") / name;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    ASSERT_FALSE(ec) << ec.message();
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    const std::filesystem::path path = folder / "rec.qv";
    ASSERT_TRUE(WriteAll(path, rec.bytes));
    const std::string ansi = AnsiPath(path);
    // The name really is outside ASCII in the code page.
    EXPECT_TRUE(std::any_of(ansi.begin(), ansi.end(), [](char c) { return (unsigned char)c >= 0x80; }));
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileA(player.Out(), ansi.c_str()), PLAY_OK);
    EXPECT_EQ(U64(QV_PLAY2_GetFileSize, player.Get()), uint64_t(rec.bytes.size()));
    ASSERT_TRUE(WaitFor([&] { return U32(QV_PLAY2_IsFileIndexCompleted, player.Get()) != 0; }));
    EXPECT_EQ(U32(QV_PLAY2_GetFileVideoFrameCount, player.Get()), 10u);

    // Missing files and paths that are not text.
    PLAY2_HANDLE h = reinterpret_cast<PLAY2_HANDLE>(uintptr_t(1));
    EXPECT_EQ(QV_PLAY2_OpenFileA(&h, AnsiPath(folder / "none.qv").c_str()), PLAY_E_FILE_OPEN);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(QV_PLAY2_OpenFileA(&h, nullptr), PLAY_E_INVALID_VALUE);
#ifndef _WIN32
    EXPECT_EQ(QV_PLAY2_OpenFileA(&h, "/tmp/\xFF\xFE.qv"), PLAY_E_INVALID_VALUE); // not UTF-8
#endif
}

// ---- Dead handles and missing pointers ----

// Every function that takes a handle, with good arguments otherwise.
struct HandleCall {
    const char *name;
    std::function<int32_t(PLAY2_HANDLE)> call;
};

std::vector<HandleCall> EveryHandleCall(const std::filesystem::path &bmp) {
    static DWORD dw;
    static float f;
    static ULONGLONG ull;
    static PLAY_COLOR color{PLAY_COLOR_SIZE, 64, 64, 64, 64, 0};
    static StreamInfo info;
    static StreamStatistics stats;
    static DecoderInfo vdec;
    static DISPLAY_STATUS display;
    static ADEC_STATUS adec;
    static SOUND_STATUS sound;
    static PLAY_VIEWPORT viewport{PLAY_VIEWPORT_SIZE, 1, 0, {0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};
    static PLAY_SNAPSHOT snapshot{PLAY_SNAPSHOT_SIZE, 0, nullptr, 0, {}};
    static const BYTE data[16] = {};
    static PLAY2_FRAME_INFO frame;
    const std::vector<QV_WCHAR> wide = WidePath(bmp);
    const std::string ansi = AnsiPath(bmp);
    return {
        {"Close", [](PLAY2_HANDLE h) { return QV_PLAY2_Close(h); }},
        {"SetEnableFlag", [](PLAY2_HANDLE h) { return QV_PLAY2_SetEnableFlag(h, 1); }},
        {"GetEnableFlag", [](PLAY2_HANDLE h) { return QV_PLAY2_GetEnableFlag(h, &dw); }},
        {"Stop", [](PLAY2_HANDLE h) { return QV_PLAY2_Stop(h); }},
        {"Pause", [](PLAY2_HANDLE h) { return QV_PLAY2_Pause(h); }},
        {"Play", [](PLAY2_HANDLE h) { return QV_PLAY2_Play(h); }},
        {"PlayBackward", [](PLAY2_HANDLE h) { return QV_PLAY2_PlayBackward(h); }},
        {"SetSpeed", [](PLAY2_HANDLE h) { return QV_PLAY2_SetSpeed(h, 1.0f); }},
        {"GetSpeed", [](PLAY2_HANDLE h) { return QV_PLAY2_GetSpeed(h, &f); }},
        {"SetVolume", [](PLAY2_HANDLE h) { return QV_PLAY2_SetVolume(h, 1); }},
        {"GetVolume", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVolume(h, &dw); }},
        {"SetVideoColor", [](PLAY2_HANDLE h) { return QV_PLAY2_SetVideoColor(h, &color); }},
        {"GetVideoColor", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVideoColor(h, &color); }},
        {"SetCpuLimit", [](PLAY2_HANDLE h) { return QV_PLAY2_SetCpuLimit(h, 80); }},
        {"GetCpuLimit", [](PLAY2_HANDLE h) { return QV_PLAY2_GetCpuLimit(h, &dw); }},
        {"GetMode", [](PLAY2_HANDLE h) { return QV_PLAY2_GetMode(h, &dw); }},
        {"GetState", [](PLAY2_HANDLE h) { return QV_PLAY2_GetState(h, &dw); }},
        {"IsPlayBackward", [](PLAY2_HANDLE h) { return QV_PLAY2_IsPlayBackward(h, &dw); }},
        {"IsFileIndexCompleted", [](PLAY2_HANDLE h) { return QV_PLAY2_IsFileIndexCompleted(h, &dw); }},
        {"IsFileEnded", [](PLAY2_HANDLE h) { return QV_PLAY2_IsFileEnded(h, &dw); }},
        {"GetPictureSize", [](PLAY2_HANDLE h) { return QV_PLAY2_GetPictureSize(h, &dw, &dw); }},
        {"GetBufferedFrameCount", [](PLAY2_HANDLE h) { return QV_PLAY2_GetBufferedFrameCount(h, &dw); }},
        {"GetFileSize", [](PLAY2_HANDLE h) { return QV_PLAY2_GetFileSize(h, &ull); }},
        {"GetPlayDataSize", [](PLAY2_HANDLE h) { return QV_PLAY2_GetPlayDataSize(h, &ull); }},
        {"GetFileDuration", [](PLAY2_HANDLE h) { return QV_PLAY2_GetFileDuration(h, &dw); }},
        {"GetPlayDuration", [](PLAY2_HANDLE h) { return QV_PLAY2_GetPlayDuration(h, &dw); }},
        {"GetFileVideoFrameCount", [](PLAY2_HANDLE h) { return QV_PLAY2_GetFileVideoFrameCount(h, &dw); }},
        {"GetPlayVideoFrameIndex", [](PLAY2_HANDLE h) { return QV_PLAY2_GetPlayVideoFrameIndex(h, &dw); }},
        {"GetKeyFrameDistance", [](PLAY2_HANDLE h) { return QV_PLAY2_GetKeyFrameDistance(h, &dw); }},
        {"GetKeyFrameInterval", [](PLAY2_HANDLE h) { return QV_PLAY2_GetKeyFrameInterval(h, &dw); }},
        {"GetVideoFrameRate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVideoFrameRate(h, &f); }},
        {"GetVideoBitrate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVideoBitrate(h, &f); }},
        {"GetAudioFrameRate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetAudioFrameRate(h, &f); }},
        {"GetAudioBitrate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetAudioBitrate(h, &f); }},
        {"GetDemuxProperty", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDemuxProperty(h, &info); }},
        {"GetDemuxStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDemuxStatus(h, &stats); }},
        {"GetVdecStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVdecStatus(h, &vdec); }},
        {"GetDisplayStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDisplayStatus(h, &display); }},
        {"GetAdecStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetAdecStatus(h, &adec); }},
        {"GetSoundStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetSoundStatus(h, &sound); }},
        {"AddViewport", [](PLAY2_HANDLE h) { return QV_PLAY2_AddViewport(h, &viewport); }},
        {"RemoveViewport", [](PLAY2_HANDLE h) { return QV_PLAY2_RemoveViewport(h, 1); }},
        {"GetViewport", [](PLAY2_HANDLE h) { return QV_PLAY2_GetViewport(h, 1, &viewport); }},
        {"SnapshotToMemory", [](PLAY2_HANDLE h) { return QV_PLAY2_SnapshotToMemory(h, &snapshot); }},
        {"SnapshotToBmpFileW",
         [wide](PLAY2_HANDLE h) { return QV_PLAY2_SnapshotToBmpFileW(h, wide.data()); }},
        {"SnapshotToBmpFileA",
         [ansi](PLAY2_HANDLE h) { return QV_PLAY2_SnapshotToBmpFileA(h, ansi.c_str()); }},
        {"InputData", [](PLAY2_HANDLE h) { return QV_PLAY2_InputData(h, data, sizeof(data)); }},
        {"GetDecodeFrame", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDecodeFrame(h, 0, &frame); }},
        {"FreeDecodeFrame",
         [](PLAY2_HANDLE h) {
             frame.pFrame = reinterpret_cast<PLAY_FRAME *>(&frame);
             frame.dwType = 2;
             const int32_t r = QV_PLAY2_FreeDecodeFrame(h, &frame);
             EXPECT_EQ(frame.dwType, 2u) << "a refused record is left as it was";
             return r;
         }},
        {"SeekByRatio", [](PLAY2_HANDLE h) { return QV_PLAY2_SeekByRatio(h, 0.5f); }},
        {"SeekByTime", [](PLAY2_HANDLE h) { return QV_PLAY2_SeekByTime(h, 0); }},
        {"SeekByIndex", [](PLAY2_HANDLE h) { return QV_PLAY2_SeekByIndex(h, 0); }},
        {"SeekNextIndex", [](PLAY2_HANDLE h) { return QV_PLAY2_SeekNextIndex(h); }},
        {"SeekPreviousIndex", [](PLAY2_HANDLE h) { return QV_PLAY2_SeekPreviousIndex(h); }},
        {"RegisterFileIndexCompletedCallback",
         [](PLAY2_HANDLE h) { return QV_PLAY2_RegisterFileIndexCompletedCallback(h, NotifyA, nullptr); }},
        {"RegisterFileEndedCallback",
         [](PLAY2_HANDLE h) { return QV_PLAY2_RegisterFileEndedCallback(h, NotifyB, nullptr); }},
        {"RegisterBufferAlmostEmptyCallback",
         [](PLAY2_HANDLE h) { return QV_PLAY2_RegisterBufferAlmostEmptyCallback(h, 1, BufferFn, nullptr); }},
        {"RegisterStreamParseCallback",
         [](PLAY2_HANDLE h) { return QV_PLAY2_RegisterStreamParseCallback(h, FrameA, nullptr); }},
        {"RegisterDecodeCallback",
         [](PLAY2_HANDLE h) { return QV_PLAY2_RegisterDecodeCallback(h, 0, FrameB, nullptr); }},
        {"RegisterDcRenderCallback",
         [](PLAY2_HANDLE h) { return QV_PLAY2_RegisterDcRenderCallback(h, DcFn, nullptr); }},
    };
}

TEST(Play2Edges, EveryFunctionRefusesDeadHandles) {
    CTempDir dir;
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("dead.rec", rec.bytes));
    // A live player keeps the core's handle check armed; opened first, so
    // that the closed one's memory is not handed to it.
    CPlay2 live;
    ASSERT_EQ(QV_PLAY2_OpenFileW(live.Out(), wide.data()), PLAY_OK);
    PLAY2_HANDLE closed = nullptr;
    ASSERT_EQ(QV_PLAY2_OpenFileW(&closed, wide.data()), PLAY_OK);
    ASSERT_EQ(QV_PLAY2_Close(closed), PLAY_OK);
    ASSERT_NE(closed, live.Get());
    static uint8_t garbage[256];
    std::memset(garbage, 0xAB, sizeof(garbage));
    const struct {
        const char *name;
        PLAY2_HANDLE h;
    } handles[] = {
        {"null", nullptr},
        {"garbage", reinterpret_cast<PLAY2_HANDLE>(garbage)},
        {"unmapped", reinterpret_cast<PLAY2_HANDLE>(uintptr_t(0x10))},
        {"closed", closed},
    };
    const std::filesystem::path bmp = dir.File("dead.bmp");
    const std::vector<HandleCall> calls = EveryHandleCall(bmp);
    EXPECT_EQ(calls.size(), 60u); // every function but the three that open
    for (const auto &handle : handles) {
        for (const HandleCall &c : calls)
            EXPECT_EQ(c.call(handle.h), PLAY_E_INVALID_HANDLE)
                << c.name << " with a " << handle.name << " handle";
    }
    EXPECT_FALSE(std::filesystem::exists(bmp));
    // The live player was not disturbed.
    EXPECT_EQ(U64(QV_PLAY2_GetFileSize, live.Get()), uint64_t(rec.bytes.size()));
}

TEST(Play2Edges, MissingPointersAreRefused) {
    CTempDir dir;
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    const std::vector<QV_WCHAR> wide = WidePath(dir.Write("null.rec", rec.bytes));
    CPlay2 player;
    ASSERT_EQ(QV_PLAY2_OpenFileW(player.Out(), wide.data()), PLAY_OK);
    const PLAY2_HANDLE h = player.Get();
    const HandleCall calls[] = {
        {"GetEnableFlag", [](PLAY2_HANDLE h) { return QV_PLAY2_GetEnableFlag(h, nullptr); }},
        {"GetSpeed", [](PLAY2_HANDLE h) { return QV_PLAY2_GetSpeed(h, nullptr); }},
        {"GetVolume", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVolume(h, nullptr); }},
        {"SetVideoColor", [](PLAY2_HANDLE h) { return QV_PLAY2_SetVideoColor(h, nullptr); }},
        {"GetVideoColor", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVideoColor(h, nullptr); }},
        {"GetCpuLimit", [](PLAY2_HANDLE h) { return QV_PLAY2_GetCpuLimit(h, nullptr); }},
        {"GetMode", [](PLAY2_HANDLE h) { return QV_PLAY2_GetMode(h, nullptr); }},
        {"GetState", [](PLAY2_HANDLE h) { return QV_PLAY2_GetState(h, nullptr); }},
        {"IsPlayBackward", [](PLAY2_HANDLE h) { return QV_PLAY2_IsPlayBackward(h, nullptr); }},
        {"IsFileIndexCompleted", [](PLAY2_HANDLE h) { return QV_PLAY2_IsFileIndexCompleted(h, nullptr); }},
        {"IsFileEnded", [](PLAY2_HANDLE h) { return QV_PLAY2_IsFileEnded(h, nullptr); }},
        {"GetBufferedFrameCount", [](PLAY2_HANDLE h) { return QV_PLAY2_GetBufferedFrameCount(h, nullptr); }},
        {"GetFileSize", [](PLAY2_HANDLE h) { return QV_PLAY2_GetFileSize(h, nullptr); }},
        {"GetPlayDataSize", [](PLAY2_HANDLE h) { return QV_PLAY2_GetPlayDataSize(h, nullptr); }},
        {"GetFileDuration", [](PLAY2_HANDLE h) { return QV_PLAY2_GetFileDuration(h, nullptr); }},
        {"GetPlayDuration", [](PLAY2_HANDLE h) { return QV_PLAY2_GetPlayDuration(h, nullptr); }},
        {"GetFileVideoFrameCount",
         [](PLAY2_HANDLE h) { return QV_PLAY2_GetFileVideoFrameCount(h, nullptr); }},
        {"GetPlayVideoFrameIndex",
         [](PLAY2_HANDLE h) { return QV_PLAY2_GetPlayVideoFrameIndex(h, nullptr); }},
        {"GetKeyFrameDistance", [](PLAY2_HANDLE h) { return QV_PLAY2_GetKeyFrameDistance(h, nullptr); }},
        {"GetKeyFrameInterval", [](PLAY2_HANDLE h) { return QV_PLAY2_GetKeyFrameInterval(h, nullptr); }},
        {"GetVideoFrameRate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVideoFrameRate(h, nullptr); }},
        {"GetVideoBitrate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVideoBitrate(h, nullptr); }},
        {"GetAudioFrameRate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetAudioFrameRate(h, nullptr); }},
        {"GetAudioBitrate", [](PLAY2_HANDLE h) { return QV_PLAY2_GetAudioBitrate(h, nullptr); }},
        {"GetDemuxProperty", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDemuxProperty(h, nullptr); }},
        {"GetDemuxStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDemuxStatus(h, nullptr); }},
        {"GetVdecStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetVdecStatus(h, nullptr); }},
        {"GetDisplayStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDisplayStatus(h, nullptr); }},
        {"GetAdecStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetAdecStatus(h, nullptr); }},
        {"GetSoundStatus", [](PLAY2_HANDLE h) { return QV_PLAY2_GetSoundStatus(h, nullptr); }},
        {"AddViewport", [](PLAY2_HANDLE h) { return QV_PLAY2_AddViewport(h, nullptr); }},
        {"SnapshotToMemory", [](PLAY2_HANDLE h) { return QV_PLAY2_SnapshotToMemory(h, nullptr); }},
        {"InputData", [](PLAY2_HANDLE h) { return QV_PLAY2_InputData(h, nullptr, 16); }},
        {"GetDecodeFrame", [](PLAY2_HANDLE h) { return QV_PLAY2_GetDecodeFrame(h, 0, nullptr); }},
        {"FreeDecodeFrame", [](PLAY2_HANDLE h) { return QV_PLAY2_FreeDecodeFrame(h, nullptr); }},
    };
    for (const HandleCall &c : calls)
        EXPECT_EQ(c.call(h), PLAY_E_NULL_POINTER) << c.name;

    // The height is read only once the width was.
    DWORD width = 0xAAAA, height = 0xBBBB;
    EXPECT_EQ(QV_PLAY2_GetPictureSize(h, nullptr, &height), PLAY_E_NULL_POINTER);
    EXPECT_EQ(height, 0xBBBBu);
    EXPECT_EQ(QV_PLAY2_GetPictureSize(h, &width, nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(width, 0u); // nothing decoded yet
    EXPECT_EQ(QV_PLAY2_GetPictureSize(nullptr, &width, &height), PLAY_E_INVALID_HANDLE);
    EXPECT_EQ(height, 0xBBBBu);

    // Opening with no place for the handle.
    const std::string ansi = AnsiPath(dir.File("null.rec"));
    EXPECT_EQ(QV_PLAY2_OpenFileW(nullptr, wide.data()), PLAY_E_NULL_POINTER);
    EXPECT_EQ(QV_PLAY2_OpenFileA(nullptr, ansi.c_str()), PLAY_E_NULL_POINTER);
    EXPECT_EQ(QV_PLAY2_OpenStream(nullptr, rec.bytes.data(), kV30HeaderSize), PLAY_E_NULL_POINTER);
}

TEST(Play2Edges, OpenErrorsLeaveNoHandle) {
    const FileRecording rec = MakeFile(Gen::V30, 10, false);
    CTempDir dir;
    const std::vector<uint8_t> noise(4096, 0x11);
    const std::vector<QV_WCHAR> noisePath = WidePath(dir.Write("noise.bin", noise));
    const std::vector<QV_WCHAR> missing = WidePath(dir.File("missing.rec"));
    struct OpenCase {
        const char *name;
        std::function<int32_t(PLAY2_HANDLE *)> open;
        int32_t expected;
    };
    const OpenCase cases[] = {
        {"missing file", [&](PLAY2_HANDLE *p) { return QV_PLAY2_OpenFileW(p, missing.data()); },
         PLAY_E_FILE_OPEN},
        {"not a recording", [&](PLAY2_HANDLE *p) { return QV_PLAY2_OpenFileW(p, noisePath.data()); },
         PLAY_E_NOT_SUPPORTED},
        {"stream header too short",
         [&](PLAY2_HANDLE *p) { return QV_PLAY2_OpenStream(p, rec.bytes.data(), 63); }, PLAY_E_INVALID_VALUE},
        {"stream header too long",
         [&](PLAY2_HANDLE *p) { return QV_PLAY2_OpenStream(p, rec.bytes.data(), 0x40001); },
         PLAY_E_INVALID_VALUE},
        {"no stream header", [&](PLAY2_HANDLE *p) { return QV_PLAY2_OpenStream(p, nullptr, 256); },
         PLAY_E_NULL_POINTER},
        {"stream not a recording", [&](PLAY2_HANDLE *p) { return QV_PLAY2_OpenStream(p, noise.data(), 256); },
         PLAY_E_NOT_SUPPORTED},
    };
    for (const OpenCase &c : cases) {
        PLAY2_HANDLE h = reinterpret_cast<PLAY2_HANDLE>(uintptr_t(1));
        EXPECT_EQ(c.open(&h), c.expected) << c.name;
        EXPECT_EQ(h, nullptr) << c.name;
    }
    // The smallest and largest header blocks are taken.
    std::vector<uint8_t> large(0x40000, 0);
    std::copy(rec.bytes.begin(), rec.bytes.end(), large.begin());
    for (uint32_t size : {uint32_t(PLAY_STREAM_HEADER_MIN), uint32_t(0x40000)}) {
        CPlay2 player;
        EXPECT_EQ(QV_PLAY2_OpenStream(player.Out(), large.data(), size), PLAY_OK) << size;
    }
}

} // namespace
