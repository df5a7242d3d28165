// qvplay export of a 1 GiB recording against "cat FILE > /dev/null" of the
// same cached file, in the same run: rounds alternate the two, and the
// medians and the rate ratio cat_time / export_time are printed (target: at
// least 0.5 for MP4 of the video).
//
// The recording is V30 with a 704x576 H.264 clip at 2 Mbit/s with B frames
// (about 10 KB a frame, what a recorder typically writes; encoded by ffmpeg
// with libx264 at run time) and G.711 A-law audio after every video frame,
// repeated with advancing sequence numbers and times up to 1 GiB
// (QV_BENCH_FILE_MB picks another size). It is written into a temporary
// folder, removed at the end with the outputs.
//
// The export writes about as many bytes as it reads, which cat into
// /dev/null does not: a second reference, "cat FILE > COPY" into the same
// folder, shows what writing the bytes costs on this machine.
//
// Three exports are timed: MP4 of the video alone (--no-audio, the remux
// itself: the target), Matroska with the audio as PCM, and MP4 with the audio
// encoded to AAC (libavcodec's encoder; its cost is printed apart).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/fixtures.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr double kTargetRatio = 0.5;
constexpr uint32_t kGroupFrames = 25;
constexpr uint32_t kClipFrames = 50; // two groups
constexpr uint32_t kFrameIntervalMs = 40;
constexpr uint32_t kFirstTimestamp = 1000;
constexpr int64_t kStartTime = 1330819509;

struct Case {
    const char *name;
    const char *ext;
    std::vector<std::string> args;
};
const Case kCases[] = {
    {"mp4 video", "mp4", {"--no-audio"}},
    {"mkv video+pcm", "mkv", {}},
    {"mp4 video+aac", "mp4", {}},
};
constexpr int kCaseCount = 3;

struct Results {
    std::vector<double> cat[kCaseCount], catCopy[kCaseCount], exportTime[kCaseCount];
    uint64_t bytes = 0, frames = 0, outBytes[kCaseCount] = {};
};
Results g_results;

fs::path g_dir; // the temporary folder
std::string g_recording;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

uint64_t TargetBytes() {
    const char *mb = std::getenv("QV_BENCH_FILE_MB");
    const uint64_t n = mb ? std::strtoull(mb, nullptr, 10) : 0;
    return (n ? n : 1024) * 1024 * 1024;
}

// Access units of an Annex B stream whose units each begin with an access
// unit delimiter (NAL type 9).
std::vector<std::vector<uint8_t>> SplitAtDelimiters(const std::vector<uint8_t> &s) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 4 < s.size(); ++i)
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && (s[i + 3] & 0x1F) == 9)
            starts.push_back(i > 0 && s[i - 1] == 0 ? i - 1 : i);
    std::vector<std::vector<uint8_t>> units;
    for (size_t k = 0; k < starts.size(); ++k)
        units.emplace_back(s.begin() + int64_t(starts[k]),
                           k + 1 < starts.size() ? s.begin() + int64_t(starts[k + 1]) : s.end());
    return units;
}

std::vector<std::vector<uint8_t>> EncodeClip() {
    const fs::path clip = g_dir / "clip.264";
    const std::string command =
        "ffmpeg -nostdin -hide_banner -v error -y -f lavfi -i testsrc2=size=704x576:rate=25,trim=end_frame=" +
        std::to_string(kClipFrames) +
        " -c:v libx264 -threads 1 -x264-params "
        "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0:aud=1 "
        "-bf 2 -b:v 2M -maxrate 2M -bufsize 2M -pix_fmt yuv420p -f h264 '" +
        clip.string() + "'";
    if (std::system(command.c_str()) != 0)
        return {};
    auto units = SplitAtDelimiters(FixtureReadFile(clip.string()));
    return units.size() == kClipFrames ? units : std::vector<std::vector<uint8_t>>();
}

void AppendPass(std::vector<uint8_t> &out, const std::vector<std::vector<uint8_t>> &units,
                const std::vector<std::vector<uint8_t>> &audio, uint64_t firstFrame) {
    for (size_t i = 0; i < units.size(); ++i) {
        const uint64_t n = firstFrame + i;
        const uint64_t elapsed = n * kFrameIntervalMs;
        const bool key = IsKeyAccessUnit(units[i]);
        V30FrameFields v;
        v.byKind = key ? 1 : 2;
        v.wWidth = 704;
        v.wHeight = 576;
        v.wMilliseconds = uint16_t(elapsed % 1000);
        v.dwSequence = uint32_t(n);
        v.dwTimestamp = kFirstTimestamp + uint32_t(elapsed);
        v.llTime = kStartTime + int64_t(elapsed / 1000);
        v.byChecksumSpan = 8;
        v.payload = units[i];
        AppendV30Frame(out, v);
        V30FrameFields a;
        a.byKind = 0;
        a.byCodecCode = uint8_t(DEMUX_CODEC_G711_ALAW - DEMUX_CODEC_PCM8);
        a.byChecksumSpan = 8;
        a.payload = audio[i % audio.size()];
        AppendV30Frame(out, a);
    }
}

// Writes the recording once; empty on failure.
std::string Recording() {
    static const std::string path = [] {
        const auto units = EncodeClip();
        const auto audio = LoadAudioBlocks(DEMUX_CODEC_G711_ALAW, kClipFrames);
        if (units.empty() || audio.empty())
            return std::string();
        const fs::path target = g_dir / "recording.qv";
        FILE *file = std::fopen(target.c_str(), "wb");
        if (file == nullptr)
            return std::string();
        std::vector<uint8_t> chunk = V30FileHeader();
        uint64_t written = 0;
        bool ok = true;
        for (uint64_t pass = 0; ok && written + chunk.size() < TargetBytes(); ++pass) {
            AppendPass(chunk, units, audio, pass * kClipFrames);
            g_results.frames += kClipFrames;
            if (chunk.size() >= (8u << 20)) {
                ok = std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size();
                written += chunk.size();
                chunk.clear();
            }
        }
        ok = ok && std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size();
        ok = std::fclose(file) == 0 && ok;
        g_results.bytes = fs::file_size(target);
        return ok ? target.string() : std::string();
    }();
    return path;
}

// Drops the file's pages from the page cache (written back first): pages of
// a file just written are copied more slowly than those read in by cat, so
// every measurement starts from a file read in afresh.
bool DropCachedPages(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    close(fd);
    return ok;
}

bool Run(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

// Arg: the case. Each iteration: cat, then the export, so that both see the
// same load.
void BM_ExportAgainstCat(benchmark::State &state) {
    const int c = int(state.range(0));
    const std::string path = Recording();
    if (path.empty()) {
        state.SkipWithError("the recording could not be written (ffmpeg with libx264 missing?)");
        return;
    }
    const std::string cat = "cat '" + path + "' > /dev/null";
    const fs::path out = g_dir / (std::string("out.") + kCases[c].ext);
    const fs::path copy = g_dir / "copy.qv";
    const std::string catCopy = "cat '" + path + "' > '" + copy.string() + "'";
    std::string exportCommand = std::string("'") + QV_QVPLAY + "' export '" + path + "' -o '" + out.string() +
                                "' --no-progress > /dev/null";
    for (const std::string &a : kCases[c].args)
        exportCommand += " " + a;
    if (!DropCachedPages(path) || !Run(cat)) { // into the page cache
        state.SkipWithError("cat failed");
        return;
    }
    for (auto _ : state) {
        auto t0 = Clock::now();
        if (!Run(cat)) {
            state.SkipWithError("cat failed");
            return;
        }
        const double catSeconds = Seconds(Clock::now() - t0);
        std::error_code ec;
        fs::remove(copy, ec);
        t0 = Clock::now();
        if (!Run(catCopy)) {
            state.SkipWithError("cat into a file failed");
            return;
        }
        const double catCopySeconds = Seconds(Clock::now() - t0);
        fs::remove(copy, ec);
        fs::remove(out, ec);
        t0 = Clock::now();
        if (!Run(exportCommand)) {
            state.SkipWithError("qvplay export failed");
            return;
        }
        const double exportSeconds = Seconds(Clock::now() - t0);
        state.SetIterationTime(exportSeconds);
        g_results.cat[c].push_back(catSeconds);
        g_results.catCopy[c].push_back(catCopySeconds);
        g_results.exportTime[c].push_back(exportSeconds);
        g_results.outBytes[c] = fs::file_size(out, ec);
    }
    fs::remove(out);
    state.counters["cat_s"] = Median(g_results.cat[c]);
    state.counters["copy_s"] = Median(g_results.catCopy[c]);
    state.counters["ratio"] = Median(g_results.cat[c]) / std::max(1e-9, Median(g_results.exportTime[c]));
}
BENCHMARK(BM_ExportAgainstCat)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void Report() {
    const double mib = double(g_results.bytes) / (1024.0 * 1024.0);
    double load = -1;
    getloadavg(&load, 1);
    std::printf(
        "\nqvplay export of a %.0f MiB V30 recording (%llu video frames, 704x576 H.264 at 2 Mbit/s with B "
        "frames, A-law audio), medians of %zu alternating rounds, load %.2f:\n",
        mib, static_cast<unsigned long long>(g_results.frames), g_results.cat[0].size(), load);
    for (int c = 0; c < kCaseCount; ++c) {
        if (g_results.exportTime[c].empty())
            continue;
        const double catS = Median(g_results.cat[c]), exportS = Median(g_results.exportTime[c]);
        const double copyS = Median(g_results.catCopy[c]);
        const double ratio = catS / exportS;
        std::printf("  %-14s export %6.2f s (%5.0f MiB/s, output %.0f MiB)  cat %5.2f s (%5.0f MiB/s)  "
                    "cat/export %.3f%s\n"
                    "  %-14s cat into a file %5.2f s (%5.0f MiB/s)  copy/export %.3f\n",
                    kCases[c].name, exportS, mib / exportS, double(g_results.outBytes[c]) / (1024.0 * 1024.0),
                    catS, mib / catS, ratio,
                    c == 0 ? (ratio >= kTargetRatio ? "  (target >= 0.5: met)" : "  (target >= 0.5: NOT met)")
                           : "",
                    "", copyS, mib / copyS, copyS / exportS);
    }
    if (!g_results.exportTime[0].empty() && !g_results.exportTime[2].empty())
        std::printf("  the AAC encoding adds %.2f s to the MP4 export\n",
                    Median(g_results.exportTime[2]) - Median(g_results.exportTime[0]));
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    g_dir = fs::temp_directory_path() / ("qv_bench_export_" + std::to_string(getpid()));
    fs::create_directories(g_dir);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Report();
    std::error_code ec;
    fs::remove_all(g_dir, ec);
    return 0;
}
