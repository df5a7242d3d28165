// The on-screen display of a 1080p recording drawn the way a player draws
// it, against decoding the same pictures: every frame a clock (its text new
// every 25th frame, one second at 25 frames per second), two titles and a
// mosaic mask go through DrawOsd into a 1920x1080 I420 picture. The
// reference is Vdec_Decode of 1080p H.264 (the committed clip, and a
// 6 Mbit/s stream encoded at run time as a recorder writes it) on one
// thread, with its size query and pool buffer as the player does it.
//
// Each round decodes kFrames frames and draws kFrames frames, the two in
// alternating order so that both see the same load on a shared machine; the
// figure is the median of the per-round ratios of processor time, printed
// with the load average. Target: the display costs under 5% of decoding.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench/clipbytes.h"
#include "bench/ffmpegref.h"
#include "blockpool/blockpool.h"
#include "display/osdrenderer.h"
#include "vdec/vdec.h"

namespace {

constexpr const char *kClip = QV_SAMPLES_DIR "/h264_1920x1080_high.264";
constexpr int kFrames = 250;
constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

using benchref::AccessUnits;
using benchref::ReadFile;

struct Stream {
    std::vector<uint8_t> bytes;
    std::vector<std::pair<size_t, size_t>> frames;
};

// A clip repeated to kFrames access units.
Stream Repeat(const std::vector<uint8_t> &clip) {
    Stream out;
    const size_t clipFrames = AccessUnits(clip).size();
    if (clipFrames == 0)
        return out;
    for (size_t n = 0; n * clipFrames < size_t(kFrames); ++n)
        out.bytes.insert(out.bytes.end(), clip.begin(), clip.end());
    out.frames = AccessUnits(out.bytes);
    out.frames.resize(kFrames);
    return out;
}

const Stream &Committed() {
    static Stream stream = Repeat(ReadFile(kClip));
    return stream;
}

// 1080p at the rate recorders write (about 30 KB a frame), encoded here
// with the encoder that made the samples.
const Stream &DvrRate() {
    static Stream stream = [] {
        const std::string path = "/tmp/qv-bench-osd-1080p-6mbit.264";
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
            "testsrc2=size=1920x1080:rate=25,trim=end_frame=50 -c:v libx264 -threads 1 -x264-params "
            "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0 -bf 0 -b:v 6M -maxrate 6M "
            "-bufsize 6M -pix_fmt yuv420p -f h264 " +
            path;
        if (std::system(command.c_str()) != 0)
            return Stream{};
        const std::vector<uint8_t> clip = ReadFile(path.c_str());
        unlink(path.c_str());
        return Repeat(clip);
    }();
    return stream;
}

const uint8_t kEndOfFrames[] = {0, 0, 0, 1, 9, 0xF0};

// Decodes the stream with a new single-threaded decoder; the last picture
// is copied to *pLast when it is given. Returns the pictures received.
int DecodeOnce(const Stream &stream, BlockPool *pool, std::vector<uint8_t> *pLast) {
    CBaseVideoCodec *decoder = nullptr;
    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, kWidth, kHeight, 0, 0};
    if (Vdec_Create(&decoder, &param) != VDEC_OK)
        return -1;
    int pictures = 0;
    auto decode = [&](const uint8_t *data, uint32_t size) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        Vdec_Decode(decoder, data, size, &picture);
        const uint32_t bytes = picture.dwBufferSize;
        if (bytes == 0)
            return;
        picture.pBuffer = static_cast<uint8_t *>(AllocBlock(pool, bytes));
        if (Vdec_Decode(decoder, data, size, &picture) == VDEC_OK) {
            ++pictures;
            if (pLast != nullptr && picture.dwWidth == uint32_t(kWidth) &&
                picture.dwHeight == uint32_t(kHeight))
                pLast->assign(picture.pBuffer, picture.pBuffer + size_t(kWidth) * kHeight * 3 / 2);
        }
        benchmark::DoNotOptimize(picture.pBuffer[0]);
        FreeBlock(pool, picture.pBuffer, bytes);
    };
    for (auto [offset, size] : stream.frames)
        decode(stream.bytes.data() + offset, uint32_t(size));
    decode(kEndOfFrames, sizeof kEndOfFrames);
    Vdec_Destroy(decoder);
    return pictures;
}

OsdItem Text(uint16_t x, uint16_t y, const char *text) {
    OsdItem item;
    std::memset(&item, 0, sizeof(item));
    item.dwKind = DEMUX_OSD_TEXT;
    item.wX = x;
    item.wY = y;
    for (size_t i = 0; text[i] != 0 && i + 1 < DEMUX_OSD_TEXT_MAX; ++i)
        item.body.szText[i] = QV_WCHAR(text[i]);
    return item;
}

struct OsdRun {
    double cpuMs = 0;
    double changeUs = 0; // mean wall time of a frame whose clock text is new
    double steadyUs = 0; // mean wall time of the other frames
};

// kFrames frames of OSD into one picture: the clock second advances every
// 25th frame (the whole run is a new renderer, as a new player's is).
OsdRun DrawFrames(std::vector<uint8_t> &picture, int firstSecond) {
    OsdRun run;
    COsdObject *osd = nullptr;
    OSD_SETTING setting{};
    setting.dwSize = OSD_SETTING_SIZE;
    if (CreateOsd(&setting, &osd) != OSD_OK)
        return run;
    OsdItem items[4];
    items[0] = Text(1400, 40, "2024-05-06 12:00:00");
    items[1] = Text(40, 40, "Camera 01 - Front Gate");
    items[2] = Text(40, 1020, "Zone A / Parking");
    std::memset(&items[3], 0, sizeof(items[3]));
    items[3].dwKind = DEMUX_OSD_MOSAIC;
    items[3].wX = 800;
    items[3].wY = 400;
    items[3].wWidth = 320;
    items[3].wHeight = 240;
    items[3].body.mosaic.dwMode = DEMUX_OSD_MOSAIC_BLOCKS;

    DISPLAY_PICTURE p{};
    p.dwSize = DISPLAY_PICTURE_SIZE;
    p.dwFourCC = DISPLAY_FOURCC_I420;
    p.nWidth = kWidth;
    p.nHeight = kHeight;
    p.pData = picture.data();
    p.dwDataSize = uint32_t(picture.size());
    double change = 0, steady = 0;
    int changes = 0;
    const double cpu = benchref::ProcessCpuMs();
    for (int frame = 0; frame < kFrames; ++frame) {
        const bool bNew = frame % 25 == 0;
        if (bNew) {
            const int second = (firstSecond + frame / 25) % 60;
            items[0].body.szText[17] = QV_WCHAR('0' + second / 10);
            items[0].body.szText[18] = QV_WCHAR('0' + second % 10);
        }
        const double t = benchref::WallMs();
        DrawOsd(osd, &p, items, 4);
        const double us = (benchref::WallMs() - t) * 1000;
        (bNew ? change : steady) += us;
        changes += bNew;
    }
    run.cpuMs = benchref::ProcessCpuMs() - cpu;
    run.changeUs = change / changes;
    run.steadyUs = steady / (kFrames - changes);
    DestroyOsd(osd);
    return run;
}

struct Rounds {
    std::vector<double> osdMs, decodeMs, ratios, loads, changeUs, steadyUs;
    int pictures = 0;
};

std::map<std::string, Rounds> &AllRounds() {
    static std::map<std::string, Rounds> rounds;
    return rounds;
}

double Mean(const std::vector<double> &v) {
    double sum = 0;
    for (double x : v)
        sum += x;
    return v.empty() ? 0 : sum / double(v.size());
}

void AgainstDecode(benchmark::State &state, const char *name, const Stream &stream) {
    if (stream.frames.empty()) {
        state.SkipWithError("no stream");
        return;
    }
    BlockPool pool;
    InitPool(&pool);
    std::vector<uint8_t> picture;
    Rounds rounds;
    rounds.pictures = DecodeOnce(stream, &pool, &picture);
    if (rounds.pictures <= 0 || picture.empty()) {
        DestroyPool(&pool);
        state.SkipWithError("no pictures");
        return;
    }
    int second = 0;
    for (auto _ : state) {
        const bool decodeFirst = rounds.ratios.size() % 2 == 1;
        double decodeMs = 0;
        auto decode = [&] {
            state.PauseTiming();
            const double cpu = benchref::ProcessCpuMs();
            DecodeOnce(stream, &pool, nullptr);
            decodeMs = benchref::ProcessCpuMs() - cpu;
            state.ResumeTiming();
        };
        rounds.loads.push_back(benchref::LoadAverage());
        if (decodeFirst)
            decode();
        const OsdRun run = DrawFrames(picture, second);
        second += kFrames / 25;
        if (!decodeFirst)
            decode();
        rounds.osdMs.push_back(run.cpuMs);
        rounds.decodeMs.push_back(decodeMs);
        rounds.changeUs.push_back(run.changeUs);
        rounds.steadyUs.push_back(run.steadyUs);
        rounds.ratios.push_back(run.cpuMs / decodeMs);
    }
    DestroyPool(&pool);
    state.counters["osd_us_frame"] = Mean(rounds.osdMs) * 1000 / kFrames;
    state.counters["decode_us_frame"] = Mean(rounds.decodeMs) * 1000 / kFrames;
    state.counters["ratio"] = benchref::Median(rounds.ratios);
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
    AllRounds()[name] = rounds;
}

void BM_OsdCommitted(benchmark::State &state) {
    AgainstDecode(state, "committed", Committed());
}
void BM_OsdDvrRate(benchmark::State &state) {
    AgainstDecode(state, "6mbit", DvrRate());
}

BENCHMARK(BM_OsdCommitted)
    ->Name("Osd1080/clock-titles-mosaic-vs-committed-clip")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(9);
BENCHMARK(BM_OsdDvrRate)
    ->Name("Osd1080/clock-titles-mosaic-vs-6mbit")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void Finalize() override {
        ConsoleReporter::Finalize();
        Report("against the committed 1080p clip (about 2 KB a frame)", "committed");
        Report("against 1080p at 6 Mbit/s (about 30 KB a frame)", "6mbit");
    }

private:
    static void Report(const char *label, const char *name) {
        auto it = AllRounds().find(name);
        if (it == AllRounds().end() || it->second.ratios.empty()) {
            std::printf("OSD %s: not measured\n", label);
            return;
        }
        const Rounds &r = it->second;
        const double ratio = benchref::Median(r.ratios);
        const auto [lo, hi] = std::minmax_element(r.loads.begin(), r.loads.end());
        std::printf("OSD %s: processor time DrawOsd %.1f us/frame, decode %.1f us/frame, median ratio "
                    "%.2f%% (%s 5%%); wall per frame: %.1f us with a new clock text, %.1f us otherwise; "
                    "%zu rounds of %d frames, load %.2f..%.2f\n",
                    label, Mean(r.osdMs) * 1000 / kFrames, Mean(r.decodeMs) * 1000 / kFrames, ratio * 100,
                    ratio < 0.05 ? "under" : "OVER", Mean(r.changeUs), Mean(r.steadyUs), r.ratios.size(),
                    kFrames, *lo, *hi);
    }
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
