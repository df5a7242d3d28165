// The software decoder as the player drives it, against ffmpeg decoding the
// same stream on one thread: the 1080-line clip repeated to 1000 frames, each
// frame through Vdec_Decode with the size query, a picture buffer from the
// block pool, the decode with its copy into the buffer and, in one variant,
// the colour step at a non-neutral setting. Also the multi-thread flag
// against the single-threaded decoder.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/blockpool.h"
#include "vdec/basevideocodec.h"
#include "vdec/vdec.h"

extern char **environ;

namespace {

constexpr const char *kClip = QV_SAMPLES_DIR "/h264_1920x1080_high.264";
constexpr int kFrames = 1000;

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, size_t>> frames; // access units
    std::string path;                              // the same bytes for ffmpeg
};

std::vector<uint8_t> ReadFile(const char *path) {
    std::vector<uint8_t> bytes;
    if (FILE *file = std::fopen(path, "rb")) {
        uint8_t chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        std::fclose(file);
    }
    return bytes;
}

// Cuts a stream into access units: a new one starts at an access unit
// delimiter, a sequence parameter set, or a slice after a slice (the clips
// have one slice per picture).
std::vector<std::pair<size_t, size_t>> AccessUnits(const std::vector<uint8_t> &s) {
    std::vector<std::pair<size_t, int>> nals; // start (incl. start code), type
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            nals.push_back({i > 0 && s[i - 1] == 0 ? i - 1 : i, s[i + 3] & 0x1F});
            i += 2;
        }
    }
    std::vector<size_t> cuts;
    bool sliceSeen = false;
    for (auto [start, type] : nals) {
        bool slice = type == 1 || type == 5;
        if (cuts.empty() || type == 9 || type == 7 || (slice && sliceSeen)) {
            cuts.push_back(start);
            sliceSeen = false;
        }
        sliceSeen = sliceSeen || slice;
    }
    std::vector<std::pair<size_t, size_t>> units;
    for (size_t k = 0; k < cuts.size(); ++k) {
        size_t end = k + 1 < cuts.size() ? cuts[k + 1] : s.size();
        units.push_back({cuts[k], end - cuts[k]});
    }
    return units;
}

const Stream &Repeated() {
    static Stream stream = [] {
        Stream out;
        std::vector<uint8_t> clip = ReadFile(kClip);
        size_t clipFrames = AccessUnits(clip).size();
        if (clipFrames == 0)
            return out;
        for (size_t n = 0; n * clipFrames < size_t(kFrames); ++n)
            out.bytes.insert(out.bytes.end(), clip.begin(), clip.end());
        out.frames = AccessUnits(out.bytes);
        out.frames.resize(kFrames);
        out.bytes.resize(out.frames.back().first + out.frames.back().second);
        char path[] = "/tmp/qv-bench-vdec-XXXXXX";
        int fd = mkstemp(path);
        if (fd >= 0) {
            ssize_t written = write(fd, out.bytes.data(), out.bytes.size());
            close(fd);
            if (written == ssize_t(out.bytes.size()))
                out.path = path;
        }
        return out;
    }();
    return stream;
}

double CpuMs(const rusage &usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return CpuMs(usage);
}

void BM_Ffmpeg(benchmark::State &state) {
    const Stream &stream = Repeated();
    if (stream.path.empty()) {
        state.SkipWithError("no stream");
        return;
    }
    std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v",        "error", "-threads", "1", "-f",
                                     "h264",   "-i",       stream.path, "-f",    "null",     "-"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    double childCpuMs = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        getrusage(RUSAGE_CHILDREN, &before);
        pid_t pid = 0;
        if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
            state.SkipWithError("ffmpeg not found");
            return;
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("ffmpeg failed");
            return;
        }
        getrusage(RUSAGE_CHILDREN, &after);
        childCpuMs += CpuMs(after) - CpuMs(before);
    }
    // The work is done in the child: its processor time, per iteration, is
    // the comparison on a loaded machine.
    state.counters["cpu_ms"] = childCpuMs / double(state.iterations());
    state.SetItemsProcessed(state.iterations() * kFrames);
}

void DecodeAll(benchmark::State &state, uint32_t flags, bool colour) {
    const Stream &stream = Repeated();
    if (stream.frames.empty()) {
        state.SkipWithError("no stream");
        return;
    }
    BlockPool pool;
    InitPool(&pool);
    int pictures = 0;
    const double cpuStart = ProcessCpuMs();
    for (auto _ : state) {
        CBaseVideoCodec *decoder = nullptr;
        VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 1920, 1080, flags, 0};
        if (Vdec_Create(&decoder, &param) != VDEC_OK) {
            state.SkipWithError("no decoder");
            break;
        }
        if (colour) {
            PLAY_COLOR setting{PLAY_COLOR_SIZE, 80, 70, 90, 60, 0};
            Vdec_SetColor(decoder, &setting);
        }
        pictures = 0;
        for (auto [offset, size] : stream.frames) {
            DecodedPicture picture{};
            picture.dwSize = VDEC_PICTURE_SIZE;
            Vdec_Decode(decoder, stream.bytes.data() + offset, uint32_t(size), &picture);
            uint32_t bytes = picture.dwBufferSize;
            picture.pBuffer = static_cast<uint8_t *>(AllocBlock(&pool, bytes));
            if (Vdec_Decode(decoder, stream.bytes.data() + offset, uint32_t(size), &picture) == VDEC_OK)
                ++pictures;
            benchmark::DoNotOptimize(picture.pBuffer[0]);
            FreeBlock(&pool, picture.pBuffer, bytes);
        }
        Vdec_Destroy(decoder);
    }
    state.counters["cpu_ms"] = (ProcessCpuMs() - cpuStart) / double(state.iterations());
    DestroyPool(&pool);
    state.counters["pictures"] = pictures;
    state.SetItemsProcessed(state.iterations() * kFrames);
}

void BM_VdecNeutral(benchmark::State &state) {
    DecodeAll(state, 0, false);
}
void BM_VdecColour(benchmark::State &state) {
    DecodeAll(state, 0, true);
}
void BM_VdecThreads(benchmark::State &state) {
    DecodeAll(state, VDEC_FLAG_MULTITHREAD, false);
}

BENCHMARK(BM_Ffmpeg)
    ->Name("Decode1080x1000/ffmpeg-threads1")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_VdecNeutral)
    ->Name("Decode1080x1000/vdec-neutral")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_VdecColour)
    ->Name("Decode1080x1000/vdec-colour")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_VdecThreads)
    ->Name("Decode1080x1000/vdec-multithread")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// Prints the console report and, at the end, each figure against its
// reference from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred)
                continue;
            // Names carry the run options after the first '/' past the group.
            std::string name = run.benchmark_name();
            size_t cut = name.find('/', name.find('/') + 1);
            name = name.substr(0, cut);
            m_real[name] = run.GetAdjustedRealTime();
            auto cpu = run.counters.find("cpu_ms");
            if (cpu != run.counters.end())
                m_cpu[name] = cpu->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        Compare("neutral colour", "vdec-neutral", 0.10);
        Compare("colour on", "vdec-colour", 0.25);
        double single = Find(m_real, "vdec-neutral"), threads = Find(m_real, "vdec-multithread");
        if (single > 0 && threads > 0)
            std::printf(
                "multi-thread flag: %.0f ms against %.0f ms single-threaded (wall clock), speed-up %.2fx "
                "(%s)\n",
                threads, single, single / threads, single / threads >= 1.6 ? "at least 1.6x" : "BELOW 1.6x");
    }

private:
    static double Find(const std::map<std::string, double> &map, const char *name) {
        auto it = map.find(std::string("Decode1080x1000/") + name);
        return it != map.end() ? it->second : 0;
    }
    // Against ffmpeg on one thread, by wall clock and by processor time (the
    // fairer figure while other work shares the processors).
    void Compare(const char *label, const char *name, double allowed) {
        double ffReal = Find(m_real, "ffmpeg-threads1"), ffCpu = Find(m_cpu, "ffmpeg-threads1");
        double real = Find(m_real, name), cpu = Find(m_cpu, name);
        if (ffReal <= 0 || real <= 0) {
            std::printf("%s: not measured\n", label);
            return;
        }
        std::printf(
            "%s: vdec %.0f ms, ffmpeg %.0f ms wall clock (overhead %+.1f%%); processor time vdec %.0f ms, "
            "ffmpeg %.0f ms (overhead %+.1f%%, %s %.0f%%)\n",
            label, real, ffReal, (real / ffReal - 1) * 100, cpu, ffCpu, (cpu / ffCpu - 1) * 100,
            cpu <= ffCpu * (1 + allowed) ? "within" : "OVER", allowed * 100);
    }

    std::map<std::string, double> m_real;
    std::map<std::string, double> m_cpu;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!Repeated().path.empty())
        unlink(Repeated().path.c_str());
    return 0;
}
