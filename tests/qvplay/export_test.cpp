// qvplay export end to end: recordings of every generation written by the
// fixture writers, exported by the qvplay child, and the outputs read back by
// FFmpeg's own tools. Pictures are compared with ffmpeg's checksums of the
// source clips (samples/*.framemd5), the raw stream with the payloads the
// writers put in, and the audio with ffmpeg's decode of the same A-law or
// 8-bit payloads or, for G.722 and G.726, with the PCM the library itself
// hands out for the same recording (loaded with dlopen).
#ifndef _WIN32

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/recordings.h"
#include "qvplay_run.h"

namespace {

namespace fs = std::filesystem;
using filetest::CTempDir;
using filetest::FileRecording;
using filetest::Gen;

constexpr const char *kFfprobe = "/usr/bin/ffprobe";
constexpr const char *kFfmpeg = "/usr/bin/ffmpeg";
constexpr double kFrameSeconds = 0.040; // every writer spaces video frames 40 ms apart

// ---- Reading the outputs back ----

struct Probe {
    bool bOk = false;
    std::string error;
    std::vector<std::map<std::string, std::string>> streams;
    std::map<std::string, std::string> format;

    const std::map<std::string, std::string> *Stream(const std::string &type) const {
        for (const auto &s : streams)
            if (s.count("codec_type") && s.at("codec_type") == type)
                return &s;
        return nullptr;
    }
};

// ffprobe's JSON holds one "key": value per line; a stream starts at its
// "index" and the format section at "format".
Probe ProbeFile(const fs::path &path) {
    Probe probe;
    const qvtool::RunResult r = qvtool::Run(kFfprobe, {"-v", "error", "-show_streams", "-show_format",
                                                       "-count_frames", "-of", "json", path.string()});
    probe.error = r.err;
    if (r.nExitCode != 0)
        return probe;
    probe.bOk = true;
    std::map<std::string, std::string> *pCurrent = nullptr;
    for (const std::string &line : qvtool::Lines(r.out)) {
        const size_t q1 = line.find('"');
        if (q1 == std::string::npos)
            continue;
        const size_t q2 = line.find('"', q1 + 1);
        const size_t colon = line.find(':', q2);
        if (q2 == std::string::npos || colon == std::string::npos)
            continue;
        const std::string key = line.substr(q1 + 1, q2 - q1 - 1);
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t\""));
        value.erase(value.find_last_not_of(" \t\",") + 1);
        if (key == "format") {
            pCurrent = &probe.format;
            continue;
        }
        if (key == "index" && pCurrent != &probe.format) {
            probe.streams.emplace_back();
            pCurrent = &probe.streams.back();
        }
        if (pCurrent != nullptr && !pCurrent->count(key))
            (*pCurrent)[key] = value;
    }
    return probe;
}

double Number(const std::map<std::string, std::string> *fields, const std::string &key) {
    if (fields == nullptr || !fields->count(key))
        return NAN;
    try {
        return std::stod(fields->at(key));
    } catch (...) {
        return NAN;
    }
}

// ffmpeg's checksum of each decoded picture, in presentation order.
std::vector<std::string> DecodedPictureMd5s(const fs::path &path, std::string *pError = nullptr) {
    const qvtool::RunResult r =
        qvtool::Run(kFfmpeg, {"-v", "error", "-i", path.string(), "-map", "0:v:0", "-f", "framemd5", "-"});
    if (pError)
        *pError = r.Describe();
    std::vector<std::string> sums;
    if (r.nExitCode != 0)
        return sums;
    for (const std::string &line : qvtool::Lines(r.out)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::string md5 = line.substr(line.rfind(',') + 1);
        md5.erase(0, md5.find_first_not_of(' '));
        sums.push_back(md5);
    }
    return sums;
}

// ffmpeg's decode of a file's first audio stream (or of raw input in the
// given format) as 16-bit little-endian samples at 8000 Hz mono.
std::vector<int16_t> DecodedSamples(const fs::path &path, const std::vector<std::string> &inputFormat = {}) {
    std::vector<std::string> args = {"-v", "error"};
    args.insert(args.end(), inputFormat.begin(), inputFormat.end());
    args.insert(args.end(),
                {"-i", path.string(), "-map", "0:a:0", "-f", "s16le", "-acodec", "pcm_s16le", "-"});
    const qvtool::RunResult r = qvtool::Run(kFfmpeg, args);
    EXPECT_EQ(r.nExitCode, 0) << r.Describe();
    std::vector<int16_t> samples(r.out.size() / 2);
    std::memcpy(samples.data(), r.out.data(), samples.size() * 2);
    return samples;
}

std::vector<uint8_t> ReadBytes(const fs::path &path) {
    std::vector<uint8_t> bytes;
    qvtool::ReadFileBytes(path, &bytes);
    return bytes;
}

// Names in the folder, sorted: what a run left behind.
std::vector<std::string> Listing(const CTempDir &dir) {
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir.File("")))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---- What the recording holds ----

// The video frames from the first key frame on, in file order.
std::vector<const FixtureFrame *> VideoFromFirstKey(const FileRecording &rec) {
    std::vector<const FixtureFrame *> video = rec.Video();
    auto key = std::find_if(video.begin(), video.end(),
                            [](const FixtureFrame *f) { return f->nType == DEMUX_FRAME_I; });
    return std::vector<const FixtureFrame *>(key, video.end());
}

std::vector<uint8_t> Payloads(const std::vector<const FixtureFrame *> &frames, size_t first, size_t end) {
    std::vector<uint8_t> bytes;
    for (size_t i = first; i < end && i < frames.size(); ++i)
        bytes.insert(bytes.end(), frames[i]->payload.begin(), frames[i]->payload.end());
    return bytes;
}

// The checksums of pictures [first, first + count) of a recording that
// repeats the clip; the bounds must lie on group boundaries when the clip
// reorders pictures.
std::vector<std::string> ClipMd5s(const char *clip, size_t first, size_t count) {
    const std::vector<std::string> ref = FixtureFrameMd5s(clip);
    const size_t units = LoadAccessUnits(clip).size();
    EXPECT_EQ(ref.size(), units) << clip;
    std::vector<std::string> sums;
    for (size_t i = first; i < first + count && units != 0; ++i)
        sums.push_back(ref[i % units]);
    return sums;
}

std::vector<uint8_t> AudioPayloads(const FileRecording &rec) {
    std::vector<uint8_t> bytes;
    for (const FixtureFrame *f : rec.Delivered())
        if (f->nType == DEMUX_FRAME_AUDIO)
            bytes.insert(bytes.end(), f->payload.begin(), f->payload.end());
    return bytes;
}

// The PCM the library hands out for every audio frame of a recording, pulled
// through its own API (the library next to the qvplay under test).
std::vector<int16_t> LibraryPcm(const fs::path &file) {
    std::vector<int16_t> pcm;
    const fs::path lib = fs::path(qvtool::QvplayPath()).parent_path() / "libQVPlaySDK.so";
    // Loaded once and kept: unloading it would strand what its statics
    // allocated (the leak checker reports that).
    static void *handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        ADD_FAILURE() << "cannot load " << lib << ": " << dlerror();
        return pcm;
    }
    auto create = reinterpret_cast<decltype(&Play_CreateW)>(dlsym(handle, "Play_CreateW"));
    auto setControl = reinterpret_cast<decltype(&Play_SetControl)>(dlsym(handle, "Play_SetControl"));
    auto getFrame = reinterpret_cast<decltype(&Play_GetDecodeFrame)>(dlsym(handle, "Play_GetDecodeFrame"));
    auto freeFrame = reinterpret_cast<decltype(&Play_FreeDecodeFrame)>(dlsym(handle, "Play_FreeDecodeFrame"));
    auto release = reinterpret_cast<decltype(&Play_Release)>(dlsym(handle, "Play_Release"));
    if (!create || !setControl || !getFrame || !freeFrame || !release) {
        ADD_FAILURE() << "missing Play_* exports in " << lib;
        return pcm;
    }
    const std::vector<QV_WCHAR> wide = filetest::WidePath(file);
    const PLAY_CREATE_PARAM param = filetest::FileParam(wide.data());
    PLAY_HANDLE hPlay = nullptr;
    EXPECT_EQ(create(&hPlay, &param), PLAY_OK);
    if (hPlay != nullptr) {
        uint32_t flags = PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_AUDIO_DECODE;
        EXPECT_EQ(setControl(hPlay, PLAY_CONTROL_ENABLE, &flags, sizeof(flags)), PLAY_OK);
        PLAY_FRAME *pFrame = nullptr;
        while (getFrame(hPlay, PLAY_PIXEL_FORMAT_DEFAULT, &pFrame) == PLAY_OK) {
            const ADEC_OUTPUT &out = pFrame->output.audio;
            if (pFrame->pFrame && pFrame->pFrame->nType == DEMUX_FRAME_AUDIO && out.pBuffer)
                pcm.insert(pcm.end(), reinterpret_cast<const int16_t *>(out.pBuffer),
                           reinterpret_cast<const int16_t *>(out.pBuffer) + out.dwBufferSize / 2);
            freeFrame(hPlay, pFrame);
        }
        release(hPlay);
    }
    return pcm;
}

qvtool::RunResult Export(const fs::path &in, const fs::path &out,
                         const std::vector<std::string> &extra = {}) {
    std::vector<std::string> args = {"export", in.string(), "-o", out.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return qvtool::RunQvplay(args);
}

// ---- Containers: every generation with H.264 ----

struct ContainerCase {
    Gen gen;
    const char *clip;
    const char *ext;
};

void PrintTo(const ContainerCase &c, std::ostream *os) {
    *os << filetest::GenName(c.gen) << " " << c.clip << " ." << c.ext;
}

class ExportContainer : public ::testing::TestWithParam<ContainerCase> {};

// Two whole passes of the clip plus one group: picture count, size, length
// and every picture equal to ffmpeg's decode of the source clip, in order
// (the B-frame clip only decodes in order when presentation times are right).
TEST_P(ExportContainer, PicturesSizeDurationAndAudioMatchTheRecording) {
    const ContainerCase c = GetParam();
    CTempDir dir;
    const uint32_t frames = 125;
    const FileRecording rec = filetest::MakeFile(c.gen, frames, true, c.clip);
    ASSERT_EQ(rec.Video().size(), frames);
    const fs::path in = dir.Write("rec.qv", rec.bytes);
    const fs::path out = dir.File(std::string("out.") + c.ext);
    const qvtool::RunResult r = Export(in, out, {"--no-progress"});
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"out." + std::string(c.ext), "rec.qv"}));

    const Probe probe = ProbeFile(out);
    ASSERT_TRUE(probe.bOk) << probe.error;
    const auto *video = probe.Stream("video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->at("codec_name"), "h264");
    const filetest::ClipSize size = filetest::SizeOf(c.clip);
    EXPECT_EQ(Number(video, "width"), size.wWidth);
    EXPECT_EQ(Number(video, "height"), size.wHeight);
    EXPECT_EQ(Number(video, "nb_read_frames"), frames);
    // From the first picture's presentation to the end of the last one.
    const double length = Number(&probe.format, "duration") - Number(video, "start_time");
    EXPECT_NEAR(length, frames * kFrameSeconds, 0.002);

    std::string why;
    EXPECT_EQ(DecodedPictureMd5s(out, &why), ClipMd5s(c.clip, 0, frames)) << why;

    const auto *audio = probe.Stream("audio");
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(Number(audio, "sample_rate"), 8000);
    EXPECT_EQ(Number(audio, "channels"), 1);
    const std::vector<int16_t> samples = DecodedSamples(out);
    const std::vector<uint8_t> alaw = AudioPayloads(rec);
    if (std::string(c.ext) == "mkv") {
        EXPECT_EQ(audio->at("codec_name"), "pcm_s16le");
        const fs::path raw = dir.Write("audio.alaw", alaw);
        const std::vector<int16_t> expected = DecodedSamples(raw, {"-f", "alaw", "-ar", "8000", "-ac", "1"});
        EXPECT_EQ(expected.size(), alaw.size());
        EXPECT_TRUE(samples == expected) << samples.size() << " samples, expected " << expected.size();
    } else {
        // AAC: lossy, padded to whole frames of 1024 samples.
        EXPECT_EQ(audio->at("codec_name"), "aac");
        EXPECT_GE(samples.size(), alaw.size());
        EXPECT_LE(samples.size(), alaw.size() + 2048);
    }
}

INSTANTIATE_TEST_SUITE_P(ExportOf, ExportContainer,
                         ::testing::Values(ContainerCase{Gen::V30, filetest::kBFrameClip, "mp4"},
                                           ContainerCase{Gen::V30, filetest::kBFrameClip, "mkv"},
                                           ContainerCase{Gen::V20, filetest::kBFrameClip, "mp4"},
                                           ContainerCase{Gen::V20, filetest::kBFrameClip, "mkv"},
                                           ContainerCase{Gen::V10, filetest::kSmallClip, "mp4"},
                                           ContainerCase{Gen::V10, filetest::kBFrameClip, "mkv"}),
                         [](const auto &info) {
                             return std::string(filetest::GenName(info.param.gen)) + "_" + info.param.ext +
                                    (std::string(info.param.clip) == filetest::kBFrameClip ? "_bframes" : "");
                         });

// A recording whose container marks only its first frame as a key frame:
// the group never ends, is written in parts, and nothing is lost.
TEST(ExportLongGroup, AGroupWithoutEndIsWrittenWholeInParts) {
    CTempDir dir;
    const std::vector<std::vector<uint8_t>> units = LoadAccessUnits(filetest::kSmallClip);
    ASSERT_FALSE(units.empty());
    const uint32_t frames = 3000; // more than the frames held at once
    std::vector<uint8_t> bytes = V30FileHeader();
    std::vector<uint8_t> payloads;
    for (uint32_t i = 0; i < frames; ++i) {
        V30FrameFields v;
        v.byKind = i == 0 ? 1 : 2;
        v.wWidth = 352;
        v.wHeight = 288;
        v.dwSequence = i;
        v.dwTimestamp = 1000 + i * 40;
        v.wMilliseconds = uint16_t(i * 40 % 1000);
        v.llTime = 1330819509 + i * 40 / 1000;
        v.byChecksumSpan = 8;
        v.payload = units[i % units.size()];
        AppendV30Frame(bytes, v);
        payloads.insert(payloads.end(), v.payload.begin(), v.payload.end());
    }
    const fs::path in = dir.Write("rec.qv", bytes);
    qvtool::RunResult r = Export(in, dir.File("out.h264"));
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    EXPECT_TRUE(ReadBytes(dir.File("out.h264")) == payloads);
    r = Export(in, dir.File("out.mkv"));
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    std::string why;
    EXPECT_EQ(DecodedPictureMd5s(dir.File("out.mkv"), &why), ClipMd5s(filetest::kSmallClip, 0, frames))
        << why;
}

// ---- The raw stream ----

class ExportRaw : public ::testing::TestWithParam<Gen> {};

TEST_P(ExportRaw, H264IsThePayloadsInFileOrderByteForByte) {
    CTempDir dir;
    const FileRecording rec = filetest::MakeFile(GetParam(), 60, true, filetest::kBFrameClip);
    const fs::path in = dir.Write("rec.qv", rec.bytes);
    const qvtool::RunResult r = Export(in, dir.File("out.h264"));
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    const std::vector<const FixtureFrame *> video = VideoFromFirstKey(rec);
    const std::vector<uint8_t> expected = Payloads(video, 0, video.size());
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(ReadBytes(dir.File("out.h264")) == expected);
    // And the stream stands on its own.
    EXPECT_EQ(DecodedPictureMd5s(dir.File("out.h264")).size(), video.size());
}

INSTANTIATE_TEST_SUITE_P(ExportOf, ExportRaw, ::testing::Values(Gen::V30, Gen::V20, Gen::V10),
                         [](const auto &info) { return std::string(filetest::GenName(info.param)); });

// ---- WAV ----

struct WavCase {
    const char *name;
    uint32_t codec;
    // ffmpeg's raw input format for the payloads; empty: compare with the
    // library's own PCM.
    std::vector<std::string> rawFormat;
};

void PrintTo(const WavCase &c, std::ostream *os) {
    *os << c.name;
}

class ExportWav : public ::testing::TestWithParam<WavCase> {};

TEST_P(ExportWav, SamplesEqualTheDecodedPayloads) {
    const WavCase c = GetParam();
    CTempDir dir;
    V30Options o;
    o.videoSample = filetest::kSmallClip;
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 50;
    o.dwAudioCodec = c.codec;
    FileRecording rec;
    rec.bytes = WriteV30(o, &rec.frames);
    const fs::path in = dir.Write("rec.qv", rec.bytes);
    const qvtool::RunResult r = Export(in, dir.File("out.wav"));
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    const Probe probe = ProbeFile(dir.File("out.wav"));
    ASSERT_TRUE(probe.bOk) << probe.error;
    EXPECT_EQ(probe.Stream("audio")->at("codec_name"), "pcm_s16le");
    EXPECT_EQ(Number(probe.Stream("audio"), "sample_rate"), 8000);
    const std::vector<int16_t> samples = DecodedSamples(dir.File("out.wav"));
    std::vector<int16_t> expected;
    if (c.rawFormat.empty()) {
        expected = LibraryPcm(in);
    } else {
        const fs::path raw = dir.Write("audio.raw", AudioPayloads(rec));
        expected = DecodedSamples(raw, c.rawFormat);
    }
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(samples.size(), expected.size());
    EXPECT_TRUE(samples == expected);
}

INSTANTIATE_TEST_SUITE_P(
    ExportOf, ExportWav,
    ::testing::Values(WavCase{"alaw", DEMUX_CODEC_G711_ALAW, {"-f", "alaw", "-ar", "8000", "-ac", "1"}},
                      WavCase{"pcm8", DEMUX_CODEC_PCM8, {"-f", "s8", "-ar", "8000", "-ac", "1"}},
                      WavCase{"g722", DEMUX_CODEC_G722, {}}, WavCase{"g726", DEMUX_CODEC_G726, {}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The 15 and 6000 generations: a video codec without a name ----

class ExportOtherCodec : public ::testing::TestWithParam<Gen> {};

TEST_P(ExportOtherCodec, VideoIsRefusedAndTheAudioStillExports) {
    CTempDir dir;
    const FileRecording rec = filetest::MakeFile(GetParam(), 50, true);
    const fs::path in = dir.Write("rec.qv", rec.bytes);
    for (const char *ext : {"mp4", "mkv", "h264"}) {
        const qvtool::RunResult r = Export(in, dir.File(std::string("out.") + ext));
        EXPECT_EQ(r.nExitCode, 8) << ext << ": " << r.Describe();
        EXPECT_NE(r.err.find("not H.264"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(".wav"), std::string::npos) << r.err;
    }
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.qv"});

    const qvtool::RunResult r = Export(in, dir.File("out.wav"));
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    const std::vector<int16_t> expected = LibraryPcm(in);
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(DecodedSamples(dir.File("out.wav")) == expected);
}

INSTANTIATE_TEST_SUITE_P(ExportOf, ExportOtherCodec, ::testing::Values(Gen::G15, Gen::G6000),
                         [](const auto &info) { return std::string(filetest::GenName(info.param)); });

// ---- --from / --to ----

struct RangeCase {
    const char *name;
    std::vector<std::string> args;
    int nExit;         // expected exit code
    size_t first, end; // video frames [first, end) of 200 (key frames every 25, 40 ms apart)
};

void PrintTo(const RangeCase &c, std::ostream *os) {
    *os << c.name;
}

class ExportRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ExportRange, StartsAtTheKeyFrameAtOrBeforeFromAndStopsBeforeTo) {
    const RangeCase c = GetParam();
    CTempDir dir;
    const FileRecording rec = filetest::MakeFile(Gen::V30, 200, true, filetest::kSmallClip);
    const fs::path in = dir.Write("rec.qv", rec.bytes);
    const qvtool::RunResult r = Export(in, dir.File("out.h264"), c.args);
    ASSERT_EQ(r.nExitCode, c.nExit) << r.Describe();
    if (c.nExit != 0) {
        EXPECT_NE(r.err.find("nothing"), std::string::npos) << r.err;
        EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.qv"});
        return;
    }
    const std::vector<const FixtureFrame *> video = VideoFromFirstKey(rec);
    EXPECT_TRUE(ReadBytes(dir.File("out.h264")) == Payloads(video, c.first, c.end))
        << "expected frames " << c.first << " to " << c.end;
}

INSTANTIATE_TEST_SUITE_P(ExportOf, ExportRange,
                         ::testing::Values(RangeCase{"whole", {}, 0, 0, 200},
                                           RangeCase{"from_zero", {"--from", "0"}, 0, 0, 200},
                                           RangeCase{"from_on_key", {"--from", "2"}, 0, 50, 200},
                                           RangeCase{"from_before_key", {"--from", "1.96"}, 0, 25, 200},
                                           RangeCase{"from_mm_ss", {"--from", "0:03.5"}, 0, 75, 200},
                                           RangeCase{"from_hh_mm_ss", {"--from", "00:00:05"}, 0, 125, 200},
                                           RangeCase{"from_to", {"--from", "2.5", "--to", "4.5"}, 0, 50, 113},
                                           RangeCase{"to_on_key", {"--to", "1"}, 0, 0, 25},
                                           RangeCase{"to_first_frame", {"--to", "0.001"}, 0, 0, 1},
                                           RangeCase{"from_last_frame", {"--from", "7.96"}, 0, 175, 200},
                                           RangeCase{"from_after_end", {"--from", "7.97"}, 8, 0, 0},
                                           RangeCase{"from_far", {"--from", "1:00:00"}, 8, 0, 0}),
                         [](const auto &info) { return std::string(info.param.name); });

// A cut in the middle of a group of the B-frame clip still decodes from its
// first picture: the pictures are those of the groups it starts in.
TEST(ExportRangeMp4, FromInsideAGroupDecodesEveryPictureFromItsKeyFrame) {
    CTempDir dir;
    const FileRecording rec = filetest::MakeFile(Gen::V30, 150, true, filetest::kBFrameClip);
    const fs::path in = dir.Write("rec.qv", rec.bytes);
    const qvtool::RunResult r = Export(in, dir.File("out.mkv"), {"--from", "1.5", "--to", "3"});
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    std::string why;
    EXPECT_EQ(DecodedPictureMd5s(dir.File("out.mkv"), &why), ClipMd5s(filetest::kBFrameClip, 25, 50)) << why;
    const Probe probe = ProbeFile(dir.File("out.mkv"));
    ASSERT_TRUE(probe.bOk);
    // The clip starts at 0, whatever its place in the recording.
    EXPECT_NEAR(Number(probe.Stream("audio"), "start_time"), 0.0, 0.001);
    EXPECT_LT(Number(probe.Stream("video"), "start_time"), 0.2);
}

TEST(ExportRangeArgs, BadTimesAndAnEmptyRangeAreRefusedBeforeAnythingIsWritten) {
    CTempDir dir;
    const fs::path in = dir.Write("rec.qv", filetest::MakeFile(Gen::V30, 50, false).bytes);
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--from", "1:75"},
                                               {"--from", "abc"},
                                               {"--to", "-1"},
                                               {"--from", "1.2345"},
                                               {"--from", "1:2:3:4"}}) {
        const qvtool::RunResult r = Export(in, dir.File("out.mp4"), args);
        EXPECT_NE(r.nExitCode, 0) << args[1];
        EXPECT_NE(r.err.find("time"), std::string::npos) << args[1] << ": " << r.err;
    }
    const qvtool::RunResult r = Export(in, dir.File("out.mp4"), {"--from", "1", "--to", "1"});
    EXPECT_EQ(r.nExitCode, 1) << r.Describe();
    EXPECT_NE(r.err.find("--to"), std::string::npos) << r.err;
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.qv"});
}

// ---- Damaged and foreign input, bad output ----

struct DamageCase {
    const char *name;
    // Damages the recording's bytes; frames: what was written.
    std::vector<uint8_t> (*damage)(const FileRecording &rec);
    int nExit;
};

std::vector<uint8_t> TruncatedMidFrame(const FileRecording &rec) {
    const FixtureFrame *f = rec.Video()[60];
    return std::vector<uint8_t>(rec.bytes.begin(),
                                rec.bytes.begin() +
                                    int64_t(f->ullOffset + f->dwHeaderLength + f->payload.size() / 2));
}

std::vector<uint8_t> GarbageInTheMiddle(const FileRecording &rec) {
    std::vector<uint8_t> bytes = rec.bytes;
    const size_t at = size_t(rec.Video()[40]->ullOffset) + 10;
    uint32_t x = 12345;
    for (size_t i = at; i < at + 20000 && i < bytes.size(); ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = uint8_t(x >> 16);
    }
    return bytes;
}

std::vector<uint8_t> Zeros(const FileRecording &rec) {
    return std::vector<uint8_t>(rec.bytes.size(), 0);
}

std::vector<uint8_t> Empty(const FileRecording &) {
    return {};
}

std::vector<uint8_t> HeaderOnly(const FileRecording &rec) {
    return std::vector<uint8_t>(rec.bytes.begin(), rec.bytes.begin() + int64_t(rec.frames[0].ullOffset));
}

void PrintTo(const DamageCase &c, std::ostream *os) {
    *os << c.name;
}

class ExportDamaged : public ::testing::TestWithParam<DamageCase> {};

TEST_P(ExportDamaged, ClearExitAndNoStrayFile) {
    const DamageCase c = GetParam();
    CTempDir dir;
    const FileRecording rec = filetest::MakeFile(Gen::V30, 100, true, filetest::kSmallClip);
    const fs::path in = dir.Write("rec.qv", c.damage(rec));
    for (const char *ext : {"mp4", "mkv", "h264", "wav"}) {
        const fs::path out = dir.File(std::string("out.") + ext);
        const qvtool::RunResult r = Export(in, out);
        ASSERT_FALSE(r.bTimedOut) << ext;
        ASSERT_EQ(r.nSignal, 0) << ext << ": " << r.Describe();
        const int expected = c.nExit == 8 && std::string(ext) == "wav" ? 8 : c.nExit;
        EXPECT_EQ(r.nExitCode, expected) << ext << ": " << r.Describe();
        if (r.nExitCode != 0) {
            EXPECT_FALSE(r.err.empty());
            EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.qv"}) << ext;
            continue;
        }
        // What survived is a readable file of whole frames.
        const Probe probe = ProbeFile(out);
        EXPECT_TRUE(probe.bOk) << ext << ": " << probe.error;
        if (std::string(ext) != "wav") {
            const double pictures = Number(probe.Stream("video"), "nb_read_frames");
            EXPECT_GT(pictures, 0) << ext;
            EXPECT_LT(pictures, 100) << ext;
        }
        fs::remove(out);
    }
}

INSTANTIATE_TEST_SUITE_P(ExportOf, ExportDamaged,
                         ::testing::Values(DamageCase{"truncated_mid_frame", TruncatedMidFrame, 0},
                                           DamageCase{"garbage_in_the_middle", GarbageInTheMiddle, 0},
                                           DamageCase{"zeros", Zeros, 4}, DamageCase{"empty", Empty, 4},
                                           DamageCase{"header_only", HeaderOnly, 8}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ExportDamagedTruncation, TheRawStreamIsTheWholeFramesBeforeTheCut) {
    CTempDir dir;
    const FileRecording rec = filetest::MakeFile(Gen::V30, 100, false, filetest::kSmallClip);
    const fs::path in = dir.Write("rec.qv", TruncatedMidFrame(rec));
    const qvtool::RunResult r = Export(in, dir.File("out.h264"));
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    const std::vector<const FixtureFrame *> video = VideoFromFirstKey(rec);
    EXPECT_TRUE(ReadBytes(dir.File("out.h264")) == Payloads(video, 0, 60));
}

TEST(ExportOutput, UnknownTypeUnwritablePlaceAndMissingInputGiveTheirCodes) {
    CTempDir dir;
    const fs::path in = dir.Write("rec.qv", filetest::MakeFile(Gen::V30, 50, true).bytes);
    qvtool::RunResult r = Export(in, dir.File("out.avi"));
    EXPECT_EQ(r.nExitCode, 6) << r.Describe();
    EXPECT_NE(r.err.find(".mp4"), std::string::npos) << r.err;
    r = Export(in, dir.File("no_such_folder/out.mp4"));
    EXPECT_EQ(r.nExitCode, 6) << r.Describe();
    r = Export(dir.File("missing.qv"), dir.File("out.mp4"));
    EXPECT_EQ(r.nExitCode, 3) << r.Describe();
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.qv"});
}

// The output replaces its file only at the end: one file for both would
// lose the recording, so that is refused.
TEST(ExportOutput, TheRecordingItselfIsNeverTheOutput) {
    CTempDir dir;
    const std::vector<uint8_t> bytes = filetest::MakeFile(Gen::V30, 50, true).bytes;
    const fs::path in = dir.Write("rec.mkv", bytes);
    const qvtool::RunResult r = Export(in, dir.File("./rec.mkv"));
    EXPECT_EQ(r.nExitCode, 6) << r.Describe();
    EXPECT_NE(r.err.find("recording itself"), std::string::npos) << r.err;
    EXPECT_TRUE(ReadBytes(in) == bytes);
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.mkv"});
}

// A failed export leaves a file of the same name as it was.
TEST(ExportOutput, AFailedExportKeepsTheExistingFile) {
    CTempDir dir;
    const fs::path in = dir.Write("rec.qv", filetest::MakeFile(Gen::V30, 50, true).bytes);
    const std::vector<uint8_t> old = {'o', 'l', 'd'};
    const fs::path out = dir.Write("out.mp4", old);
    const qvtool::RunResult r = Export(in, out, {"--from", "30"});
    EXPECT_EQ(r.nExitCode, 8) << r.Describe();
    EXPECT_TRUE(ReadBytes(out) == old);
    EXPECT_EQ(Listing(dir), (std::vector<std::string>{"out.mp4", "rec.qv"}));
    // And a successful one replaces it.
    ASSERT_EQ(Export(in, out).nExitCode, 0);
    EXPECT_TRUE(ProbeFile(out).bOk);
}

// On a terminal (script(1) gives the child one) a bar runs to 100 %;
// --no-progress and a pipe show none.
TEST(ExportOutput, ProgressBarOnlyOnATerminalAndNotWithNoProgress) {
    CTempDir dir;
    const fs::path in = dir.Write("rec.qv", filetest::MakeFile(Gen::V30, 600, true).bytes);
    const fs::path out = dir.File("out.mkv");
    auto onTerminal = [&](const std::string &extra) {
        const std::string command =
            "'" + qvtool::QvplayPath() + "' export '" + in.string() + "' -o '" + out.string() + "'" + extra;
        return qvtool::Run("/usr/bin/script", {"-qec", command, "/dev/null"});
    };
    qvtool::RunResult r = onTerminal("");
    ASSERT_EQ(r.nExitCode, 0) << r.Describe() << r.out;
    EXPECT_NE(r.out.find("100.0%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r["), std::string::npos) << r.out;
    r = onTerminal(" --no-progress");
    ASSERT_EQ(r.nExitCode, 0) << r.Describe() << r.out;
    EXPECT_EQ(r.out.find("%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("600 frames"), std::string::npos) << r.out;
    r = Export(in, out);
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
}

// Ctrl-C in the middle: the half-written file goes, and the exit code says
// why. (The AAC encoding makes this export take seconds.)
TEST(ExportOutput, InterruptedExportLeavesNothing) {
    CTempDir dir;
    const fs::path in = dir.Write("rec.qv", filetest::MakeFile(Gen::V30, 20000, true).bytes);
    const fs::path out = dir.File("out.mp4");
    const fs::path part = dir.File("out.mp4.part");
    qvtool::RunOptions options;
    std::atomic<bool> bSawPart{false};
    std::thread interrupter;
    options.onStarted = [&](int pid) {
        interrupter = std::thread([&, pid] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!fs::exists(part) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            bSawPart.store(fs::exists(part));
            kill(pid, SIGINT);
        });
    };
    const qvtool::RunResult r =
        qvtool::RunQvplay({"export", in.string(), "-o", out.string(), "--no-progress"}, options);
    interrupter.join();
    ASSERT_TRUE(bSawPart.load()) << "the export never began its file";
    EXPECT_EQ(r.nExitCode, 130) << r.Describe();
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("not written (nothing left behind)"), std::string::npos) << r.err;
    EXPECT_EQ(Listing(dir), std::vector<std::string>{"rec.qv"});
}

TEST(ExportOutput, NoAudioLeavesTheAudioStreamOut) {
    CTempDir dir;
    const fs::path in = dir.Write("rec.qv", filetest::MakeFile(Gen::V30, 50, true).bytes);
    for (const char *ext : {"mp4", "mkv"}) {
        const fs::path out = dir.File(std::string("out.") + ext);
        const qvtool::RunResult r = Export(in, out, {"--no-audio"});
        ASSERT_EQ(r.nExitCode, 0) << r.Describe();
        const Probe probe = ProbeFile(out);
        ASSERT_TRUE(probe.bOk) << probe.error;
        EXPECT_EQ(probe.streams.size(), 1u) << ext;
        EXPECT_EQ(Number(probe.Stream("video"), "nb_read_frames"), 50) << ext;
        EXPECT_EQ(probe.Stream("audio"), nullptr) << ext;
    }
}

TEST(ExportHelp, SaysTheTypesRangeExitCodesAndProgress) {
    const qvtool::RunResult r = qvtool::RunQvplay({"export", "--help"});
    ASSERT_EQ(r.nExitCode, 0) << r.Describe();
    for (const char *word : {".mp4", ".mkv", ".h264", ".wav", "--from", "--to", "--no-progress", "key frame",
                             "AAC", "Exit codes", "OUT.part"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

} // namespace
#endif
