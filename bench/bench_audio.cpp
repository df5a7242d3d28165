// Audio decode throughput: 60 seconds of G.722 (48 kbit/s mode) and of G.726
// at 16 kbit/s through the frame decoders, against FFmpeg decoding the same
// payloads in the same run.
//
// FFmpeg is timed as a command-line process, the only form of it that is
// installed. Each run decodes a file holding the payload ten times over
// (FFmpeg's -stream_loop does not repeat raw G.726) to a null output; a run
// on a 0.1-second payload of the same codec gives the process start-up and
// set-up cost, which is subtracted before dividing by ten. Both figures are
// processor time (user + system, from getrusage of the finished child). Our
// figure is the processor time of the decoding thread over ten passes,
// divided by ten. FFmpeg and ours are measured in turns, five rounds, and the
// least of each figure (FFmpeg's ten-copy and start-up runs separately)
// counts, so that both see the same load on a shared machine;
// the ratio printed at the end is FFmpeg's time divided by ours (above 1: we
// are faster). Google Benchmark also reports our time per 60 s on its own.
#include "audio/adec.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <time.h>

namespace {

constexpr int kSeconds = 60;
constexpr size_t kG722FrameBytes = 240;   // 40 ms: 320 code pairs, 640 samples at 16 kHz
constexpr size_t kG726FrameSamples = 480; // 60 ms per voice frame

std::string g_dir;
bool g_haveFfmpeg = false;
std::vector<uint8_t> g_g722Codewords;          // FFmpeg's layout: one byte per pair
std::vector<uint8_t> g_g722;                   // ours: four pairs in three bytes
std::vector<uint8_t> g_g726Codes;              // 2-bit codes, least significant bit first
std::map<std::string, double> g_ffmpegTen;     // least time for ten copies
std::map<std::string, double> g_ffmpegStartup; // least time for 0.1 s
std::map<std::string, double> g_oursInTurns;

std::vector<uint8_t> ReadFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::vector<uint8_t> &data) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
}

bool Ffmpeg(const std::string &args) {
    return std::system(("ffmpeg -hide_banner -loglevel error -nostdin -y " + args).c_str()) == 0;
}

double ChildrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void KeepLeast(std::map<std::string, double> &m, const std::string &key, double value) {
    auto it = m.find(key);
    if (value > 0 && (it == m.end() || value < it->second))
        m[key] = value;
}

// Processor time of a command (the shell included).
double CpuSecondsOf(const std::string &command) {
    double before = ChildrenCpuSeconds();
    if (std::system(command.c_str()) != 0)
        return -1;
    return ChildrenCpuSeconds() - before;
}

// FFmpeg's processor time over ten copies of a payload and over a tiny one.
void FfmpegRun(const std::string &codec, const std::string &inputArgs, const std::string &full,
               const std::string &tiny) {
    const std::string base = "ffmpeg -hide_banner -loglevel error -nostdin -y ";
    KeepLeast(g_ffmpegTen, codec, CpuSecondsOf(base + inputArgs + " -i " + full + " -f null - "));
    KeepLeast(g_ffmpegStartup, codec, CpuSecondsOf(base + inputArgs + " -i " + tiny + " -f null - "));
}

std::vector<uint8_t> PackG722(const std::vector<uint8_t> &codewords) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 3 < codewords.size(); i += 4) {
        unsigned l[4], h[4];
        for (int k = 0; k < 4; ++k) {
            l[k] = (codewords[i + k] >> 2) & 15;
            h[k] = codewords[i + k] >> 6;
        }
        out.push_back(static_cast<uint8_t>((l[0] << 2) | h[0] | (h[1] << 6)));
        out.push_back(static_cast<uint8_t>(l[1] | (h[2] << 4) | ((l[2] & 3) << 6)));
        out.push_back(static_cast<uint8_t>((l[2] >> 2) | (h[3] << 2) | (l[3] << 4)));
    }
    return out;
}

void Prepare() {
    std::random_device rd;
    g_dir = (std::filesystem::temp_directory_path() / ("qv_bench_audio_" + std::to_string(rd()))).string();
    std::filesystem::create_directories(g_dir);
    g_haveFfmpeg = std::system("ffmpeg -hide_banner -version > /dev/null 2>&1") == 0;
    const std::string src = "aevalsrc='0.45*sin(2*PI*(180+90*sin(2*PI*0.3*t))*t)*(0.6+0.4*sin(2*PI*2.1*t))"
                            "+0.05*(random(0)-0.5)':d=" +
                            std::to_string(kSeconds) + ":s=";
    if (g_haveFfmpeg && Ffmpeg("-f lavfi -i \"" + src + "16000\" -c:a g722 -f g722 " + g_dir + "/g722.bin") &&
        Ffmpeg("-f lavfi -i \"" + src + "8000\" -c:a g726le -code_size 2 -f g726le " + g_dir + "/g726.bin")) {
        g_g722Codewords = ReadFile(g_dir + "/g722.bin");
        g_g726Codes = ReadFile(g_dir + "/g726.bin");
    } else {
        // Without FFmpeg: codes from a fixed generator, our figures only.
        g_haveFfmpeg = false;
        std::mt19937 rng(7);
        g_g722Codewords.resize(8000u * kSeconds);
        g_g726Codes.resize(2000u * kSeconds);
        for (auto &b : g_g722Codewords)
            b = static_cast<uint8_t>(rng());
        for (auto &b : g_g726Codes)
            b = static_cast<uint8_t>(rng());
    }
    g_g722Codewords.resize(8000u * kSeconds / 4 * 4);
    g_g726Codes.resize(2000u * kSeconds);
    g_g722 = PackG722(g_g722Codewords);
    if (!g_haveFfmpeg)
        return;
    // Tiny payloads (0.1 s) for the start-up cost.
    WriteFile(g_dir + "/g722_tiny.bin",
              std::vector<uint8_t>(g_g722Codewords.begin(), g_g722Codewords.begin() + 800));
    WriteFile(g_dir + "/g726_tiny.bin", std::vector<uint8_t>(g_g726Codes.begin(), g_g726Codes.begin() + 200));
    std::vector<uint8_t> g722Ten, g726Ten;
    for (int i = 0; i < 10; ++i) {
        g722Ten.insert(g722Ten.end(), g_g722Codewords.begin(), g_g722Codewords.end());
        g726Ten.insert(g726Ten.end(), g_g726Codes.begin(), g_g726Codes.end());
    }
    WriteFile(g_dir + "/g722.bin", g722Ten);
    WriteFile(g_dir + "/g726.bin", g726Ten);
}

// One pass over the 60 s payloads, frame by frame as the play mode does.
void DecodeG722Pass(CBaseAudioCodec *codec, std::vector<uint8_t> &pcm) {
    for (size_t pos = 0; pos + kG722FrameBytes <= g_g722.size(); pos += kG722FrameBytes) {
        ADEC_OUTPUT out = {};
        out.dwSize = ADEC_OUTPUT_SIZE;
        out.pBuffer = pcm.data();
        out.dwBufferSize = static_cast<uint32_t>(pcm.size());
        DecodeAudioFrame(codec, g_g722.data() + pos, kG722FrameBytes, &out);
    }
}

std::vector<std::vector<uint8_t>> G726Frames() {
    const size_t payload = kG726FrameSamples / 4;
    std::vector<std::vector<uint8_t>> frames;
    for (size_t pos = 0; pos + payload <= g_g726Codes.size(); pos += payload) {
        std::vector<uint8_t> frame = {0, 1, static_cast<uint8_t>(payload / 2), 0};
        frame.insert(frame.end(), g_g726Codes.begin() + pos, g_g726Codes.begin() + pos + payload);
        frames.push_back(frame);
    }
    return frames;
}

void DecodeG726Pass(CBaseAudioCodec *codec, const std::vector<std::vector<uint8_t>> &frames,
                    std::vector<uint8_t> &pcm) {
    for (const auto &frame : frames) {
        ADEC_OUTPUT out = {};
        out.dwSize = ADEC_OUTPUT_SIZE;
        out.pBuffer = pcm.data();
        out.dwBufferSize = static_cast<uint32_t>(8 * frame.size());
        DecodeAudioFrame(codec, frame.data(), static_cast<uint32_t>(frame.size()), &out);
    }
}

void BM_G722(benchmark::State &state) {
    CBaseAudioCodec *codec = nullptr;
    if (CreateAudioCodec(ADEC_CODEC_G722, &codec) != 0) {
        state.SkipWithError("no decoder");
        return;
    }
    std::vector<uint8_t> pcm(16 * kG722FrameBytes / 3);
    for (auto _ : state) {
        DecodeG722Pass(codec, pcm);
        benchmark::DoNotOptimize(pcm.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * g_g722.size()));
    DestroyAudioCodec(codec);
}

void BM_G726(benchmark::State &state) {
    CBaseAudioCodec *codec = nullptr;
    if (CreateAudioCodec(ADEC_CODEC_HI_G726, &codec) != 0) {
        state.SkipWithError("no decoder");
        return;
    }
    std::vector<std::vector<uint8_t>> frames = G726Frames();
    std::vector<uint8_t> pcm(2 * kG726FrameSamples + 64);
    for (auto _ : state) {
        DecodeG726Pass(codec, frames, pcm);
        benchmark::DoNotOptimize(pcm.data());
        benchmark::ClobberMemory();
    }
    DestroyAudioCodec(codec);
}

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Our processor time for ten passes, divided by ten.
double OursSeconds(bool bG722) {
    CBaseAudioCodec *codec = nullptr;
    if (CreateAudioCodec(bG722 ? ADEC_CODEC_G722 : ADEC_CODEC_HI_G726, &codec) != 0)
        return -1;
    std::vector<std::vector<uint8_t>> frames = G726Frames();
    std::vector<uint8_t> pcm(4096);
    double start = ThreadCpuSeconds();
    for (int i = 0; i < 10; ++i) {
        if (bG722)
            DecodeG722Pass(codec, pcm);
        else
            DecodeG726Pass(codec, frames, pcm);
        benchmark::DoNotOptimize(pcm.data());
    }
    double took = (ThreadCpuSeconds() - start) / 10.0;
    DestroyAudioCodec(codec);
    return took;
}

// FFmpeg and ours in turns, five rounds, the least of each: both see the
// same load on a shared machine.
void CompareInTurns() {
    if (!g_haveFfmpeg)
        return;
    for (int round = 0; round < 5; ++round) {
        FfmpegRun("G722", "-bits_per_codeword 6 -f g722", g_dir + "/g722.bin", g_dir + "/g722_tiny.bin");
        KeepLeast(g_oursInTurns, "G722", OursSeconds(true));
        FfmpegRun("G726_16k", "-f g726le -code_size 2 -ar 8000 -ac 1", g_dir + "/g726.bin",
                  g_dir + "/g726_tiny.bin");
        KeepLeast(g_oursInTurns, "G726_16k", OursSeconds(false));
    }
}

// Five repetitions each; the least time counts, as for FFmpeg.
BENCHMARK(BM_G722)->Name("Decode60s/G722")->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5);
BENCHMARK(BM_G726)->Name("Decode60s/G726_16k")->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(5);

// Console report, then each of our figures against FFmpeg's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                double seconds = run.GetAdjustedCPUTime() / 1e3; // reported in ms
                auto it = m_seconds.find(run.run_name.function_name);
                if (it == m_seconds.end() || seconds < it->second)
                    m_seconds[run.run_name.function_name] = seconds;
            }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const char *codec : {"G722", "G726_16k"}) {
            auto bench = m_seconds.find(std::string("Decode60s/") + codec);
            auto ours = g_oursInTurns.find(codec);
            auto ten = g_ffmpegTen.find(codec);
            auto startup = g_ffmpegStartup.find(codec);
            if (bench != m_seconds.end())
                std::printf("%s, 60 s of audio: ours %.2f ms (benchmark, least of 5)\n", codec,
                            bench->second * 1e3);
            if (ours == g_oursInTurns.end() || ten == g_ffmpegTen.end() || startup == g_ffmpegStartup.end()) {
                std::printf("%s: ffmpeg not measured\n", codec);
                continue;
            }
            const double ffmpeg = std::max(ten->second - startup->second, 0.0) / 10.0;
            double ratio = ffmpeg / ours->second;
            std::printf("%s, 60 s of audio, in turns (least of 5 rounds): ours %.2f ms, ffmpeg %.2f ms "
                        "(10 copies less start-up, /10); ffmpeg/ours %.2f (%s)\n",
                        codec, ours->second * 1e3, ffmpeg * 1e3, ratio,
                        ratio >= 1.0 ? "ours not slower" : "OURS SLOWER");
        }
    }

private:
    std::map<std::string, double> m_seconds;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    Prepare();
    CompareInTurns();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    return 0;
}
