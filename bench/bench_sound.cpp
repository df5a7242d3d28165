// Processor cost of the sound output while it plays: 8 kHz mono 16-bit PCM fed
// in real time (a 40 ms block every 40 ms, as an audio decoder delivers it) to
// ALSA's null device, against a reference that only sleeps on the same
// schedule. Both figures are process CPU time over wall time; the difference
// is what playing costs, as a share of one core (target: below 1%).
#include "audio/sound.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kSeconds = 4;
constexpr int kBlockMs = 40;
constexpr uint32_t kBlockBytes = SOUND_AVG_BYTES_PER_SEC * kBlockMs / 1000;

double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Sound goes to the null device whatever the machine has.
class CNullAlsaConfig {
public:
    CNullAlsaConfig() {
        m_path = (std::filesystem::temp_directory_path() /
                  ("qvsound-bench-" + std::to_string(static_cast<long>(getpid())) + ".conf"))
                     .string();
        if (FILE *f = std::fopen(m_path.c_str(), "w")) {
            std::fputs("pcm.!default {\n    type null\n}\n", f);
            std::fclose(f);
        }
        setenv("ALSA_CONFIG_PATH", m_path.c_str(), 1);
    }
    ~CNullAlsaConfig() { std::remove(m_path.c_str()); }

private:
    std::string m_path;
};

// Runs the schedule: at each block time, feed() (if any), then sleep until
// the next block is due. Returns CPU seconds over wall seconds.
template <class Feed> double RunSchedule(Feed feed) {
    using Clock = std::chrono::steady_clock;
    const double cpuStart = ProcessCpuSeconds();
    const auto start = Clock::now();
    const int blocks = kSeconds * 1000 / kBlockMs;
    for (int i = 0; i < blocks; ++i) {
        feed();
        std::this_thread::sleep_until(start + std::chrono::milliseconds((i + 1) * kBlockMs));
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    return (ProcessCpuSeconds() - cpuStart) / wall;
}

void BM_IdleReference(benchmark::State &state) {
    double share = 0;
    for (auto _ : state)
        share = RunSchedule([] {});
    state.counters["cpu_percent"] = share * 100.0;
}

void BM_PlayingSound(benchmark::State &state) {
    static CNullAlsaConfig config;
    SOUND_SETTING setting{};
    setting.dwSize = SOUND_SETTING_SIZE;
    setting.dwBufferTime = SOUND_BUFFER_TIME_DEFAULT;
    setting.dwStartThreshold = SOUND_START_THRESHOLD_DEFAULT;
    setting.wfx = {SOUND_FORMAT_TAG,
                   SOUND_CHANNELS,
                   SOUND_SAMPLES_PER_SEC,
                   SOUND_AVG_BYTES_PER_SEC,
                   SOUND_BLOCK_ALIGN,
                   SOUND_BITS_PER_SAMPLE,
                   0};
    std::vector<uint8_t> block(kBlockBytes);
    for (size_t i = 0; i + 1 < block.size(); i += 2) {
        const int16_t sample = static_cast<int16_t>(8000.0 * ((i / 2) % 20 < 10 ? 1 : -1));
        block[i] = static_cast<uint8_t>(sample & 0xFF);
        block[i + 1] = static_cast<uint8_t>((sample >> 8) & 0xFF);
    }
    SOUND_INPUT input{SOUND_INPUT_SIZE, kBlockBytes, block.data(), 0};
    double share = 0;
    int refused = 0;
    for (auto _ : state) {
        CSoundManager *pManager = nullptr;
        if (CreateSoundOutput(&setting, &pManager) != SOUND_OK) {
            state.SkipWithError("no sound output");
            return;
        }
        SetSoundVolume(pManager, 32768); // a volume other than full scales every sample
        share = RunSchedule([&] {
            if (WriteSound(pManager, &input) != SOUND_OK)
                ++refused;
        });
        SOUND_STATUS status{};
        status.dwSize = SOUND_STATUS_SIZE;
        GetSoundStatus(pManager, &status);
        if (!status.bPlaying)
            state.SkipWithError("sound output not playing at the end");
        DestroySoundOutput(pManager);
    }
    state.counters["cpu_percent"] = share * 100.0;
    state.counters["refused_blocks"] = refused;
}

BENCHMARK(BM_IdleReference)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlayingSound)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// Prints the console report, then playing against the idle reference.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            auto it = run.counters.find("cpu_percent");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && it != run.counters.end())
                m_percent[run.benchmark_name()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto idle = Find("BM_IdleReference");
        auto playing = Find("BM_PlayingSound");
        if (idle == m_percent.end() || playing == m_percent.end()) {
            std::printf("sound cost: not measured\n");
            return;
        }
        const double cost = playing->second - idle->second;
        std::printf("sound output CPU: playing %.3f%%, idle reference %.3f%%, cost %.3f%% of one core (%s)\n",
                    playing->second, idle->second, cost,
                    cost < 1.0 ? "below the 1% target" : "ABOVE THE 1% TARGET");
    }

private:
    std::map<std::string, double>::const_iterator Find(const std::string &prefix) const {
        auto it = m_percent.lower_bound(prefix);
        return it != m_percent.end() && it->first.compare(0, prefix.size(), prefix) == 0 ? it
                                                                                         : m_percent.end();
    }

    std::map<std::string, double> m_percent;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
