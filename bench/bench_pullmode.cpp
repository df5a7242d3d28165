// Pull-mode decoding through the port family at scale: 16 recordings pulled
// at once, one thread each (eight of 704x576 and eight of 1920x1080), with
// QV_PLAY_DecodeOneFrame copying every picture into the client's buffer,
// against 16 ffmpeg processes decoding the same H.264 streams on one thread
// each to the null muxer, started together.
//
// Throughput is pictures per second of wall time over the whole set: both
// sides keep every processor busy. ffmpeg also pays its start-up (loading its
// libraries) in every process, which a client pulling from a library does not;
// so the reference is also given with the wall time of 16 ffmpeg processes
// decoding one picture each taken off. Rounds alternate between the two sides
// so that both see the same load; the figures are medians over the rounds.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/ffmpegref.h"
#include "fixtures/fixtures.h"
#include "qvplayport.h"

namespace {

constexpr int kStreams = 16;

struct Stream {
    std::string recording;  // V30 file of the stream
    std::string elementary; // the same video as an H.264 elementary stream
    std::string first;      // its first access unit alone
    uint32_t dwPictures = 0;
    uint32_t dwWidth = 0, dwHeight = 0;
};

std::vector<uint8_t> Concat(const std::vector<FixtureFrame> &frames, size_t count) {
    std::vector<uint8_t> out;
    for (const FixtureFrame &f : frames) {
        if (f.nType == DEMUX_FRAME_AUDIO || !f.bDelivered)
            continue;
        if (count-- == 0)
            break;
        out.insert(out.end(), f.payload.begin(), f.payload.end());
    }
    return out;
}

bool MakeStream(const char *clip, uint16_t width, uint16_t height, uint32_t pictures, Stream *pOut) {
    V30Options options;
    options.videoSample = clip;
    options.wWidth = width;
    options.wHeight = height;
    options.dwVideoFrames = pictures;
    options.dwAudioCodec = 0; // video only, as ffmpeg decodes it
    options.title.clear();
    options.nClockStyle = -1;
    std::vector<FixtureFrame> frames;
    const std::vector<uint8_t> recording = WriteV30(options, &frames);
    if (recording.empty())
        return false;
    pOut->recording = benchref::WriteTempStream(recording, "qv-pull-v30");
    pOut->elementary = benchref::WriteTempStream(Concat(frames, SIZE_MAX), "qv-pull-es");
    pOut->first = benchref::WriteTempStream(Concat(frames, 1), "qv-pull-first");
    pOut->dwPictures = pictures;
    pOut->dwWidth = width;
    pOut->dwHeight = height;
    return !pOut->recording.empty() && !pOut->elementary.empty() && !pOut->first.empty();
}

std::vector<QV_WCHAR> Wide(const std::string &path) {
    std::vector<QV_WCHAR> wide(path.begin(), path.end());
    wide.push_back(0);
    return wide;
}

// Pulls every frame of one recording; the pictures delivered, or -1.
int64_t PullAll(const Stream &stream) {
    const std::vector<QV_WCHAR> path = Wide(stream.recording);
    const LONG nPort = QV_PLAY_OpenFileExW(path.data());
    if (nPort == 0)
        return -1;
    std::vector<BYTE> buffer(size_t(stream.dwWidth) * stream.dwHeight * 2);
    int64_t pictures = 0;
    for (;;) {
        DECODE_OUTPUT out{};
        out.pBuffer = buffer.data();
        out.dwSize = DWORD(buffer.size());
        DWORD dwRemaining = 0;
        if (!QV_PLAY_DecodeOneFrame(nPort, nullptr, 0, QV_PLAY_TYPE_I420, &out, &dwRemaining))
            break;
        // Pictures come in the decoder's own layout (YV12), whatever was asked.
        if (out.nType != QV_PLAY_TYPE_AUDIO16)
            ++pictures;
    }
    QV_PLAY_CloseFile(nPort);
    return pictures;
}

struct Round {
    bool ok = false;
    double wallMs = 0;
    double cpuMs = 0;
    std::string error;
};

Round RunLibrary(const std::vector<Stream> &streams) {
    Round round;
    std::vector<int64_t> got(streams.size(), 0);
    std::vector<std::thread> threads;
    const double cpu0 = benchref::ProcessCpuMs();
    const double t0 = benchref::WallMs();
    for (size_t i = 0; i < streams.size(); ++i)
        threads.emplace_back([&, i] { got[i] = PullAll(streams[i]); });
    for (std::thread &t : threads)
        t.join();
    round.wallMs = benchref::WallMs() - t0;
    round.cpuMs = benchref::ProcessCpuMs() - cpu0;
    for (size_t i = 0; i < streams.size(); ++i)
        if (got[i] != int64_t(streams[i].dwPictures)) {
            round.error = "stream " + std::to_string(i) + ": " + std::to_string(got[i]) + " pictures of " +
                          std::to_string(streams[i].dwPictures);
            return round;
        }
    round.ok = true;
    return round;
}

// 16 ffmpeg processes at once, each on its own thread waiting for its child.
Round RunFfmpeg(const std::vector<Stream> &streams, bool firstOnly) {
    Round round;
    std::vector<benchref::FfmpegRun> runs(streams.size());
    std::vector<std::thread> threads;
    const double t0 = benchref::WallMs();
    for (size_t i = 0; i < streams.size(); ++i)
        threads.emplace_back([&, i] {
            runs[i] = benchref::RunFfmpegDecode(firstOnly ? streams[i].first : streams[i].elementary);
        });
    for (std::thread &t : threads)
        t.join();
    round.wallMs = benchref::WallMs() - t0;
    for (size_t i = 0; i < streams.size(); ++i) {
        round.cpuMs += runs[i].cpuMs;
        const uint64_t want = firstOnly ? 1 : streams[i].dwPictures;
        if (!runs[i].ok || runs[i].frames != want) {
            round.error = runs[i].ok ? "ffmpeg decoded " + std::to_string(runs[i].frames) + " of " +
                                           std::to_string(want) + " pictures"
                                     : runs[i].error;
            return round;
        }
    }
    round.ok = true;
    return round;
}

void BM_PullSixteenStreams(benchmark::State &state) {
    std::vector<Stream> streams(kStreams);
    for (int i = 0; i < kStreams; ++i) {
        const bool large = i % 2 == 1;
        const bool made = large ? MakeStream("h264_1920x1080_high.264", 1920, 1080, 150, &streams[i])
                                : MakeStream("h264_704x576_high_cabac.264", 704, 576, 400, &streams[i]);
        if (!made) {
            state.SkipWithError("cannot write the recordings");
            return;
        }
    }
    uint64_t totalPictures = 0;
    for (const Stream &s : streams)
        totalPictures += s.dwPictures;

    std::vector<double> ours, theirs, theirsStart, ratioRaw, ratioNet, cpuOurs, cpuTheirs;
    for (auto _ : state) {
        for (int r = 0; r < 3; ++r) {
            const Round a = RunLibrary(streams);
            const Round b = RunFfmpeg(streams, false);
            const Round c = RunFfmpeg(streams, true);
            if (!a.ok || !b.ok || !c.ok) {
                state.SkipWithError((!a.ok ? a.error : !b.ok ? b.error : c.error).c_str());
                break;
            }
            ours.push_back(a.wallMs);
            theirs.push_back(b.wallMs);
            theirsStart.push_back(c.wallMs);
            ratioRaw.push_back(b.wallMs / a.wallMs);
            ratioNet.push_back((b.wallMs - c.wallMs) / a.wallMs);
            cpuOurs.push_back(a.cpuMs);
            cpuTheirs.push_back(b.cpuMs - c.cpuMs);
        }
    }
    for (const Stream &s : streams) {
        std::remove(s.recording.c_str());
        std::remove(s.elementary.c_str());
        std::remove(s.first.c_str());
    }
    if (ours.empty())
        return;
    const double oursMs = benchref::Median(ours);
    const double theirsMs = benchref::Median(theirs);
    const double startMs = benchref::Median(theirsStart);
    state.counters["pictures"] = double(totalPictures);
    state.counters["ours_fps"] = double(totalPictures) * 1000.0 / oursMs;
    state.counters["ffmpeg_fps"] = double(totalPictures) * 1000.0 / theirsMs;
    state.counters["ffmpeg_net_fps"] = double(totalPictures) * 1000.0 / (theirsMs - startMs);
    state.counters["ratio"] = benchref::Median(ratioRaw);
    state.counters["ratio_net"] = benchref::Median(ratioNet);
    state.counters["cpu_ratio"] = benchref::Median(cpuTheirs) / benchref::Median(cpuOurs);
    state.counters["load"] = benchref::LoadAverage();
    std::printf("16 streams, %llu pictures: library %.0f ms wall (%.0f ms cpu), ffmpeg %.0f ms wall "
                "(start-up alone %.0f ms); throughput ratio %.3f, without ffmpeg's start-up %.3f\n",
                (unsigned long long)totalPictures, oursMs, benchref::Median(cpuOurs), theirsMs, startMs,
                benchref::Median(ratioRaw), benchref::Median(ratioNet));
}
BENCHMARK(BM_PullSixteenStreams)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
