// The software decoder as the player drives it, against ffmpeg decoding the
// same stream on one thread: the 1080-line clip repeated to 1000 frames (and
// a 1080p stream with B frames, encoded at run time, likewise), each frame
// through Vdec_Decode with the size query, a picture buffer from the
// block pool, the decode with its copy into the buffer and, in one variant,
// the colour step at a non-neutral setting. Also the multi-thread flag
// against the single-threaded decoder.
//
// Every round of a variant is paired with a reference round (ffmpeg through
// bench/ffmpegref.h, or the single-threaded decoder for the multi-thread
// flag), the two in alternating order, so that both see the same load on a
// shared machine; the figure is the median of the per-round ratios of
// processor time (wall time for the multi-thread flag). The load average is
// printed with each figure.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bench/clipbytes.h"
#include "bench/ffmpegref.h"
#include "blockpool/blockpool.h"
#include "vdec/basevideocodec.h"
#include "vdec/vdec.h"

namespace {

constexpr const char *kClip = QV_SAMPLES_DIR "/h264_1920x1080_high.264";
constexpr int kFrames = 1000;

using benchref::AccessUnits;
using benchref::ReadFile;

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, size_t>> frames; // access units
    std::string path;                              // the same bytes for ffmpeg
    std::string firstPath;                         // the first access unit alone
};

Stream MakeRepeated(const std::vector<uint8_t> &clip, const char *stem) {
    Stream out;
    size_t clipFrames = AccessUnits(clip).size();
    if (clipFrames == 0)
        return out;
    for (size_t n = 0; n * clipFrames < size_t(kFrames); ++n)
        out.bytes.insert(out.bytes.end(), clip.begin(), clip.end());
    out.frames = AccessUnits(out.bytes);
    out.frames.resize(kFrames);
    out.bytes.resize(out.frames.back().first + out.frames.back().second);
    out.path = benchref::WriteTempStream(out.bytes, stem);
    std::vector<uint8_t> first(out.bytes.begin(), out.bytes.begin() + ptrdiff_t(out.frames[0].second));
    out.firstPath = benchref::WriteTempStream(first, (std::string(stem) + "-first").c_str());
    return out;
}

// The committed 1080-line clip is tiny (about 2 KB a frame at crf 45), so
// frame threads spend much of their time waiting on each other. A recorder
// writes 1080p at 4 to 8 Mbit/s: the multi-thread flag is also measured on
// such a stream, encoded here with the same encoder as the samples.
bool g_dvrRateMade = false;

const Stream &RepeatedDvrRate() {
    static Stream stream = [] {
        g_dvrRateMade = true;
        const std::string path = "/tmp/qv-bench-vdec-1080p-6mbit.264";
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
            "testsrc2=size=1920x1080:rate=25,trim=end_frame=100 -c:v libx264 -threads 1 -x264-params "
            "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0 -bf 0 -b:v 6M -maxrate 6M "
            "-bufsize 6M -pix_fmt yuv420p -f h264 " +
            path;
        if (std::system(command.c_str()) != 0)
            return Stream{};
        const std::vector<uint8_t> clip = ReadFile(path.c_str());
        unlink(path.c_str());
        return MakeRepeated(clip, "qv-bench-vdec-dvr");
    }();
    return stream;
}

// A recorder that writes B frames (two between reference frames, a key
// frame every 25): the decoder then holds pictures back to reorder them.
// Encoded here like the 6 Mbit/s stream.
bool g_bFramesMade = false;

const Stream &RepeatedBFrames() {
    static Stream stream = [] {
        g_bFramesMade = true;
        const std::string path = "/tmp/qv-bench-vdec-1080p-bframes.264";
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
            "testsrc2=size=1920x1080:rate=25,trim=end_frame=100 -c:v libx264 -threads 1 -x264-params "
            "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0 -bf 2 -b:v 6M -maxrate 6M "
            "-bufsize 6M -pix_fmt yuv420p -f h264 " +
            path;
        if (std::system(command.c_str()) != 0)
            return Stream{};
        const std::vector<uint8_t> clip = ReadFile(path.c_str());
        unlink(path.c_str());
        return MakeRepeated(clip, "qv-bench-vdec-bframes");
    }();
    return stream;
}

const Stream &Repeated() {
    static Stream stream = [] { return MakeRepeated(ReadFile(kClip), "qv-bench-vdec"); }();
    return stream;
}

// An access unit delimiter after the last frame: the decoder's stream
// parser ends a frame only when the next one starts, so this hands it the
// last of the kFrames frames (ffmpeg's reader ends it at the end of the
// file). Both then decode exactly the same kFrames frames.
const uint8_t kEndOfFrames[] = {0, 0, 0, 1, 9, 0xF0};

// Decodes the stream once with a new decoder; returns the pictures received.
int DecodeOnce(const Stream &stream, BlockPool *pool, uint32_t flags, bool colour) {
    CBaseVideoCodec *decoder = nullptr;
    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 1920, 1080, flags, 0};
    if (Vdec_Create(&decoder, &param) != VDEC_OK)
        return -1;
    if (colour) {
        PLAY_COLOR setting{PLAY_COLOR_SIZE, 80, 70, 90, 60, 0};
        Vdec_SetColor(decoder, &setting);
    }
    int pictures = 0;
    auto decode = [&](const uint8_t *data, uint32_t size) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        Vdec_Decode(decoder, data, size, &picture);
        uint32_t bytes = picture.dwBufferSize;
        picture.pBuffer = static_cast<uint8_t *>(AllocBlock(pool, bytes));
        if (Vdec_Decode(decoder, data, size, &picture) == VDEC_OK)
            ++pictures;
        benchmark::DoNotOptimize(picture.pBuffer[0]);
        FreeBlock(pool, picture.pBuffer, bytes);
    };
    for (auto [offset, size] : stream.frames)
        decode(stream.bytes.data() + offset, uint32_t(size));
    decode(kEndOfFrames, sizeof kEndOfFrames);
    Vdec_Destroy(decoder);
    return pictures;
}

// Per-round figures of one variant, kept for the closing comparison.
struct Rounds {
    std::vector<double> cpuMs, wallMs;       // the variant
    std::vector<double> refCpuMs, refWallMs; // its reference, for kFrames frames
    std::vector<double> refStartupMs;        // ffmpeg on the first access unit alone
    std::vector<double> ratios;              // variant / reference per round
    std::vector<double> loads;               // one-minute load average at each round
    int pictures = 0;
    uint64_t refFrames = 0;
    const char *reference = "";
};

std::map<std::string, Rounds> &AllRounds() {
    static std::map<std::string, Rounds> rounds;
    return rounds;
}

double Mean(const std::vector<double> &values) {
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

// A variant against ffmpeg, by processor time.
void AgainstFfmpeg(benchmark::State &state, const char *name, bool colour, const Stream &stream) {
    if (stream.frames.empty() || stream.path.empty() || stream.firstPath.empty()) {
        state.SkipWithError("no stream");
        return;
    }
    Rounds rounds;
    rounds.reference = "ffmpeg -threads 1";
    BlockPool pool;
    InitPool(&pool);
    for (auto _ : state) {
        // The reference goes first in every other round, so that a load that
        // grows or fades during a round favours neither side.
        const bool referenceFirst = rounds.cpuMs.size() % 2 == 1;
        benchref::FfmpegReference ref;
        auto reference = [&] {
            state.PauseTiming();
            ref = benchref::MeasureFfmpegReference(stream.path, stream.firstPath, stream.frames.size());
            state.ResumeTiming();
        };
        if (referenceFirst)
            reference();
        rounds.loads.push_back(benchref::LoadAverage());
        const double cpu = benchref::ProcessCpuMs(), wall = benchref::WallMs();
        rounds.pictures = DecodeOnce(stream, &pool, 0, colour);
        rounds.cpuMs.push_back(benchref::ProcessCpuMs() - cpu);
        rounds.wallMs.push_back(benchref::WallMs() - wall);
        if (!referenceFirst)
            reference();
        if (rounds.pictures <= 0 || !ref.ok) {
            state.SkipWithError(rounds.pictures <= 0 ? "no pictures" : ref.error.c_str());
            break;
        }
        rounds.refFrames = ref.full.frames;
        rounds.refCpuMs.push_back(ref.cpuMsPerFrame * kFrames);
        rounds.refWallMs.push_back(ref.wallMsPerFrame * kFrames);
        rounds.refStartupMs.push_back(ref.first.cpuMs);
        rounds.ratios.push_back(rounds.cpuMs.back() / rounds.refCpuMs.back());
    }
    DestroyPool(&pool);
    state.counters["cpu_ms"] = Mean(rounds.cpuMs);
    state.counters["ref_cpu_ms"] = Mean(rounds.refCpuMs);
    state.counters["ratio"] = benchref::Median(rounds.ratios);
    state.counters["pictures"] = rounds.pictures;
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
    AllRounds()[name] = rounds;
}

// The multi-thread flag against the single-threaded decoder, by wall time
// (the point of the threads); the ratio is single / multi, the speed-up.
void AgainstSingleThread(benchmark::State &state, const char *name, const Stream &stream) {
    if (stream.frames.empty()) {
        state.SkipWithError("no stream");
        return;
    }
    Rounds rounds;
    rounds.reference = "vdec single-threaded";
    BlockPool pool;
    InitPool(&pool);
    for (auto _ : state) {
        rounds.loads.push_back(benchref::LoadAverage());
        const double cpu = benchref::ProcessCpuMs(), wall = benchref::WallMs();
        rounds.pictures = DecodeOnce(stream, &pool, VDEC_FLAG_MULTITHREAD, false);
        rounds.cpuMs.push_back(benchref::ProcessCpuMs() - cpu);
        rounds.wallMs.push_back(benchref::WallMs() - wall);
        state.PauseTiming();
        const double refCpu = benchref::ProcessCpuMs(), refWall = benchref::WallMs();
        int single = DecodeOnce(stream, &pool, 0, false);
        rounds.refCpuMs.push_back(benchref::ProcessCpuMs() - refCpu);
        rounds.refWallMs.push_back(benchref::WallMs() - refWall);
        state.ResumeTiming();
        if (rounds.pictures <= 0 || single <= 0) {
            state.SkipWithError("no pictures");
            break;
        }
        rounds.ratios.push_back(rounds.refWallMs.back() / rounds.wallMs.back());
    }
    DestroyPool(&pool);
    state.counters["cpu_ms"] = Mean(rounds.cpuMs);
    state.counters["speedup"] = benchref::Median(rounds.ratios);
    state.counters["pictures"] = rounds.pictures;
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
    AllRounds()[name] = rounds;
}

void BM_VdecNeutral(benchmark::State &state) {
    AgainstFfmpeg(state, "neutral", false, Repeated());
}
void BM_VdecColour(benchmark::State &state) {
    AgainstFfmpeg(state, "colour", true, Repeated());
}
void BM_VdecNeutralBFrames(benchmark::State &state) {
    AgainstFfmpeg(state, "neutral-bframes", false, RepeatedBFrames());
}
void BM_VdecThreads(benchmark::State &state) {
    AgainstSingleThread(state, "multithread", Repeated());
}
void BM_VdecThreadsDvrRate(benchmark::State &state) {
    AgainstSingleThread(state, "multithread-dvr", RepeatedDvrRate());
}

BENCHMARK(BM_VdecNeutral)
    ->Name("Decode1080x1000/vdec-neutral")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9);
BENCHMARK(BM_VdecColour)
    ->Name("Decode1080x1000/vdec-colour")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9);
BENCHMARK(BM_VdecNeutralBFrames)
    ->Name("Decode1080x1000/vdec-neutral-bframes")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7);
BENCHMARK(BM_VdecThreads)
    ->Name("Decode1080x1000/vdec-multithread")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_VdecThreadsDvrRate)
    ->Name("Decode1080x1000/vdec-multithread-6mbit")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// Prints the console report and, at the end, each variant against its
// reference from the same rounds.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void Finalize() override {
        ConsoleReporter::Finalize();
        Compare("neutral colour", "neutral", 0.10);
        Compare("colour on", "colour", 0.25);
        Compare("neutral colour, 1080p with B frames at 6 Mbit/s", "neutral-bframes", 0.10);
        Speedup("multi-thread flag, committed clip (about 2 KB a frame)", "multithread");
        Speedup("multi-thread flag, 1080p at 6 Mbit/s (about 30 KB a frame)", "multithread-dvr");
    }

private:
    static double Min(const std::vector<double> &v) {
        return v.empty() ? 0 : *std::min_element(v.begin(), v.end());
    }
    static double Max(const std::vector<double> &v) {
        return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
    }
    static void Speedup(const char *label, const char *name) {
        auto it = AllRounds().find(name);
        if (it == AllRounds().end() || it->second.ratios.empty()) {
            std::printf("%s: not measured\n", label);
            return;
        }
        const Rounds &r = it->second;
        const double speedup = benchref::Median(r.ratios);
        std::printf("%s: wall %.2f ms/frame against %.2f ms/frame single-threaded, median speed-up %.2fx "
                    "(%s); %zu rounds, load %.2f..%.2f\n",
                    label, Mean(r.wallMs) / kFrames, Mean(r.refWallMs) / kFrames, speedup,
                    speedup >= 1.6 ? "at least 1.6x" : "BELOW 1.6x", r.ratios.size(), Min(r.loads),
                    Max(r.loads));
    }
    static void Compare(const char *label, const char *name, double allowed) {
        auto it = AllRounds().find(name);
        if (it == AllRounds().end() || it->second.ratios.empty()) {
            std::printf("%s: not measured\n", label);
            return;
        }
        const Rounds &r = it->second;
        const double ratio = benchref::Median(r.ratios);
        std::printf(
            "%s: processor time vdec %.3f ms/frame, ffmpeg %.3f ms/frame (its start-up of %.0f ms taken "
            "out), median ratio %.3f (overhead %+.1f%%, %s %.0f%%); best rounds %.3f / %.3f ms/frame; wall "
            "vdec %.3f, ffmpeg %.3f ms/frame; %zu rounds, load %.2f..%.2f; %d frames decoded by both (%d "
            "pictures out, ffmpeg %llu)\n",
            label, Mean(r.cpuMs) / kFrames, Mean(r.refCpuMs) / kFrames, Mean(r.refStartupMs), ratio,
            (ratio - 1) * 100, ratio <= 1 + allowed ? "within" : "OVER", allowed * 100,
            Min(r.cpuMs) / kFrames, Min(r.refCpuMs) / kFrames, Mean(r.wallMs) / kFrames,
            Mean(r.refWallMs) / kFrames, r.ratios.size(), Min(r.loads), Max(r.loads), kFrames, r.pictures,
            (unsigned long long)r.refFrames);
    }
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!Repeated().path.empty())
        unlink(Repeated().path.c_str());
    if (!Repeated().firstPath.empty())
        unlink(Repeated().firstPath.c_str());
    if (g_bFramesMade) {
        for (const std::string &path : {RepeatedBFrames().path, RepeatedBFrames().firstPath})
            if (!path.empty())
                unlink(path.c_str());
    }
    if (g_dvrRateMade) {
        for (const std::string &path : {RepeatedDvrRate().path, RepeatedDvrRate().firstPath})
            if (!path.empty())
                unlink(path.c_str());
    }
    return 0;
}
