// The player in pull mode against ffmpeg on the same H.264: a 1080p V30
// stream pushed with Play_InputData and pulled with Play_GetDecodeFrame /
// Play_FreeDecodeFrame, one decoding thread, versus
// "ffmpeg -threads 1 -i clip.h264 -f null -" on the elementary stream inside
// it. Both are timed in processor time (the player's whole process, ffmpeg's
// own "-benchmark" user plus system time), which a machine shared with other
// work disturbs far less than wall time. Also the latency from
// Play_InputData of a key frame to the decode callback with its picture
// while playing.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/playapi.h"
#include "fixtures/fixtures.h"

namespace {

constexpr uint32_t kFrames = 100; // the 10-picture 1080p clip ten times
constexpr uint32_t kHeaderSize = 256;

struct Clip {
    std::vector<uint8_t> recording;
    std::vector<FixtureFrame> frames;
    std::string h264Path; // the same access units, back to back
};

const Clip &TheClip() {
    static const Clip clip = [] {
        Clip c;
        V30Options o;
        o.videoSample = "h264_1920x1080_high.264";
        o.wWidth = 1920;
        o.wHeight = 1080;
        o.dwVideoFrames = kFrames;
        o.dwAudioCodec = 0;
        c.recording = WriteV30(o, &c.frames);
        std::vector<uint8_t> es;
        for (const FixtureFrame &f : c.frames)
            es.insert(es.end(), f.payload.begin(), f.payload.end());
        c.h264Path = "/tmp/qvplay_bench_player_1080p.h264";
        FixtureWriteFile(c.h264Path, es);
        return c;
    }();
    return clip;
}

PLAY_HANDLE OpenPlayer(const Clip &clip, uint32_t flags) {
    PLAY_CREATE_PARAM p{};
    p.dwSize = PLAY_CREATE_PARAM_SIZE;
    p.dwType = PLAY_MODE_STREAM;
    p.pSource = clip.recording.data();
    p.dwSourceSize = kHeaderSize;
    PLAY_HANDLE h = nullptr;
    if (PlayApi_CreateW(&h, &p) != PLAY_OK)
        return nullptr;
    PlayApi_SetControl(h, PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
    return h;
}

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void BM_PlayerPullDecode(benchmark::State &state) {
    const Clip &clip = TheClip();
    uint64_t pictures = 0;
    for (auto _ : state) {
        const double start = ProcessCpuSeconds();
        PLAY_HANDLE h = OpenPlayer(clip, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE);
        if (h == nullptr) {
            state.SkipWithError("player not created");
            return;
        }
        PlayApi_InputData(h, clip.recording.data() + kHeaderSize,
                          uint32_t(clip.recording.size() - kHeaderSize));
        PLAY_FRAME *pFrame = nullptr;
        while (PlayApi_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_YV12, &pFrame) == PLAY_OK) {
            pictures += pFrame->output.picture.pBuffer != nullptr;
            PlayApi_FreeDecodeFrame(h, pFrame);
        }
        PlayApi_Release(h);
        state.SetIterationTime(ProcessCpuSeconds() - start);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
    state.counters["pictures"] = double(pictures) / double(state.iterations());
}

// ffmpeg's own measurement of its decoding ("-benchmark": utime + stime).
void BM_FfmpegReference(benchmark::State &state) {
    const Clip &clip = TheClip();
    const std::string command =
        "ffmpeg -nostdin -hide_banner -nostats -benchmark -threads 1 -i " + clip.h264Path + " -f null - 2>&1";
    for (auto _ : state) {
        FILE *pipe = popen(command.c_str(), "r");
        if (pipe == nullptr) {
            state.SkipWithError("ffmpeg not started");
            return;
        }
        char line[512];
        double utime = -1, stime = -1;
        while (std::fgets(line, sizeof(line), pipe)) {
            const char *u = std::strstr(line, "utime=");
            const char *s = std::strstr(line, "stime=");
            if (u && s) {
                utime = std::atof(u + 6);
                stime = std::atof(s + 6);
            }
        }
        if (pclose(pipe) != 0 || utime < 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        state.SetIterationTime(utime + stime);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
}

// From Play_InputData of a key frame to the decode callback that carries its
// picture, on a playing stream player. The block holds the key frame and the
// frames after it that the decoder needs before it lets the picture go (the
// 1080p clip has B frames: three). Each round starts after a stop, so the
// decoder is created for the key frame as on a new live stream.
struct LatencyProbe {
    std::mutex lock;
    std::condition_variable done;
    bool bDecoded = false;
};

int32_t QV_CALL OnDecoded(PLAY_HANDLE, PLAY_FRAME *pFrame, void *pContext) {
    LatencyProbe *probe = static_cast<LatencyProbe *>(pContext);
    if (pFrame->pFrame->nType == DEMUX_FRAME_AUDIO)
        return 0;
    std::lock_guard<std::mutex> guard(probe->lock);
    probe->bDecoded = true;
    probe->done.notify_one();
    return 0;
}

void BM_KeyFrameLatency(benchmark::State &state) {
    const Clip &clip = TheClip();
    PLAY_HANDLE h = OpenPlayer(clip, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT);
    if (h == nullptr) {
        state.SkipWithError("player not created");
        return;
    }
    LatencyProbe probe;
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(OnDecoded);
    cb.pContext = &probe;
    PlayApi_RegisterCallbackFunction(h, PLAY_CALLBACK_DECODE, &cb, PLAY_CALLBACK_PARAM_SIZE);
    const size_t begin = size_t(clip.frames[0].ullOffset);
    const size_t end = size_t(clip.frames[4].ullOffset);
    const uint32_t stop = PLAY_ACTION_STOP, play = PLAY_ACTION_PLAY_FORWARD;
    for (auto _ : state) {
        PlayApi_SetControl(h, PLAY_CONTROL_ACTION, &stop, 4);
        PlayApi_SetControl(h, PLAY_CONTROL_ACTION, &play, 4);
        {
            std::lock_guard<std::mutex> guard(probe.lock);
            probe.bDecoded = false;
        }
        const auto start = std::chrono::steady_clock::now();
        PlayApi_InputData(h, clip.recording.data() + begin, uint32_t(end - begin));
        std::unique_lock<std::mutex> wait(probe.lock);
        if (!probe.done.wait_for(wait, std::chrono::seconds(5), [&] { return probe.bDecoded; })) {
            state.SkipWithError("no decode callback");
            break;
        }
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    PlayApi_Release(h);
}

BENCHMARK(BM_PlayerPullDecode)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_FfmpegReference)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0);
BENCHMARK(BM_KeyFrameLatency)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(1.0);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_time[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto player = Find("BM_PlayerPullDecode");
        auto ffmpeg = Find("BM_FfmpegReference");
        if (player == m_time.end() || ffmpeg == m_time.end()) {
            std::printf("ratio: not measured\n");
            return;
        }
        const double ratio = player->second / ffmpeg->second;
        std::printf("1080p pull decode per frame: player %.2f ms, ffmpeg %.2f ms, player/ffmpeg ratio %.3f "
                    "(overhead %+.1f%%, %s)\n",
                    player->second / kFrames, ffmpeg->second / kFrames, ratio, (ratio - 1.0) * 100.0,
                    ratio < 1.10 ? "within 10%" : "ABOVE 10%");
    }

private:
    std::map<std::string, double>::const_iterator Find(const std::string &prefix) const {
        auto it = m_time.lower_bound(prefix);
        return it != m_time.end() && it->first.compare(0, prefix.size(), prefix) == 0 ? it : m_time.end();
    }
    std::map<std::string, double> m_time;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
