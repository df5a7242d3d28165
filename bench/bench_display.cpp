// The pixel converter on a full-HD I420 picture (and a standard-definition
// one) against libswscale's converters on the same picture in the same run:
// yuv420p to bgr24 (the same output as ours) and to bgra (32-bit pixels; our
// converter makes 24-bit rows only, so that figure compares our 24-bit rows
// with its 32-bit ones), each with SWS_POINT and SWS_BILINEAR. libswscale is
// set to the coefficient set ours uses at that size, so that both do the
// same work; its rounding differs from our integer formulas, and the largest
// difference is printed for information. Ours is measured on its widest
// vectors, on 16-byte vectors (what the Windows builds use) and one pixel at
// a time. Figures are processor time per picture; the one-minute load
// average is printed before and after.
#include "display/yuv2rgb.h"
#include "display/yuv2rgb_simd.h"

#include <qvdisplay.h>

#include <benchmark/benchmark.h>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct Size {
    const char *name;
    uint32_t width, height;
};

const Size kSizes[] = {{"1920x1080", 1920, 1080}, {"704x576", 704, 576}};

// Random samples: no branch in either converter depends on them, and no
// cache of the previous result can help.
std::vector<uint8_t> RandomI420(const Size &size) {
    std::mt19937 rng(1);
    std::vector<uint8_t> bytes(size_t(size.width) * size.height * 3 / 2);
    for (uint8_t &b : bytes)
        b = uint8_t(rng());
    return bytes;
}

CONVERT_SETTING Setting(const Size &size, const std::vector<uint8_t> &src, std::vector<uint8_t> &dst) {
    CONVERT_SETTING setting{};
    setting.dwFourCC = DISPLAY_FOURCC_I420;
    setting.wWidth = int32_t(size.width);
    setting.wHeight = int32_t(size.height);
    setting.pYuv = src.data();
    setting.dwYuvSize = uint32_t(src.size());
    setting.pRgb24 = dst.data();
    setting.dwRgbSize = uint32_t(dst.size());
    setting.bTopDown = 1; // libswscale writes top-down too
    setting.dwPicth = DISPLAY_RGB24_STRIDE(size.width);
    return setting;
}

void BM_Ours(benchmark::State &state, Size size, Yuv2RgbVectors level) {
    const std::vector<uint8_t> src = RandomI420(size);
    std::vector<uint8_t> dst(size_t(DISPLAY_RGB24_STRIDE(size.width)) * size.height);
    const CONVERT_SETTING setting = Setting(size, src, dst);
    if (level != Yuv2RgbVectors::kNone && !Yuv2RgbRowsFor(level)) {
        state.SkipWithError("vector level not available here");
        return;
    }
    for (auto _ : state) {
        if (!Yuv2RgbConvertWith(&setting, level)) {
            state.SkipWithError("conversion failed");
            break;
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

bool IsHighDefinition(const Size &size) {
    return size.width >= CONVERT_HD_WIDTH && size.height >= CONVERT_HD_HEIGHT;
}

SwsContext *SwsFor(const Size &size, AVPixelFormat dstFormat, int flags) {
    SwsContext *ctx = sws_getContext(int(size.width), int(size.height), AV_PIX_FMT_YUV420P, int(size.width),
                                     int(size.height), dstFormat, flags, nullptr, nullptr, nullptr);
    if (!ctx)
        return nullptr;
    // Limited-range input, full-range output, as our formulas.
    const int *table = sws_getCoefficients(IsHighDefinition(size) ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(ctx, table, 0, table, 1, 0, 1 << 16, 1 << 16);
    return ctx;
}

int BytesPerPixel(AVPixelFormat format) {
    return format == AV_PIX_FMT_BGRA ? 4 : 3;
}

bool SwsConvert(SwsContext *ctx, const Size &size, const std::vector<uint8_t> &src, uint8_t *pDst,
                int dstStride) {
    const uint8_t *planes[3] = {src.data(), src.data() + size_t(size.width) * size.height,
                                src.data() + size_t(size.width) * size.height * 5 / 4};
    const int strides[3] = {int(size.width), int(size.width / 2), int(size.width / 2)};
    uint8_t *dstPlanes[1] = {pDst};
    const int dstStrides[1] = {dstStride};
    return sws_scale(ctx, planes, strides, 0, int(size.height), dstPlanes, dstStrides) == int(size.height);
}

void BM_Swscale(benchmark::State &state, Size size, AVPixelFormat dstFormat, int flags) {
    const std::vector<uint8_t> src = RandomI420(size);
    const int stride = int(size.width) * BytesPerPixel(dstFormat);
    std::vector<uint8_t> dst(size_t(stride) * size.height);
    SwsContext *ctx = SwsFor(size, dstFormat, flags);
    if (!ctx) {
        state.SkipWithError("sws_getContext failed");
        return;
    }
    for (auto _ : state) {
        if (!SwsConvert(ctx, size, src, dst.data(), stride)) {
            state.SkipWithError("sws_scale failed");
            break;
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    sws_freeContext(ctx);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

// How far libswscale's bgr24 bytes lie from ours (information only: its
// rounding is not that of our formulas).
int LargestDifference(const Size &size, int flags) {
    const std::vector<uint8_t> src = RandomI420(size);
    std::vector<uint8_t> ours(size_t(DISPLAY_RGB24_STRIDE(size.width)) * size.height);
    std::vector<uint8_t> theirs(size_t(size.width) * 3 * size.height);
    const CONVERT_SETTING setting = Setting(size, src, ours);
    SwsContext *ctx = SwsFor(size, AV_PIX_FMT_BGR24, flags);
    if (!ctx || !CYuv2Rgb::ConvertScalar(&setting) ||
        !SwsConvert(ctx, size, src, theirs.data(), int(size.width) * 3)) {
        sws_freeContext(ctx);
        return -1;
    }
    sws_freeContext(ctx);
    int largest = 0;
    for (size_t i = 0; i < ours.size(); ++i)
        largest = std::max(largest, std::abs(int(ours[i]) - int(theirs[i])));
    return largest;
}

struct Reference {
    const char *name;
    AVPixelFormat format;
    int flags;
};

const Reference kReferences[] = {{"swscale-point-bgr24", AV_PIX_FMT_BGR24, SWS_POINT},
                                 {"swscale-bilinear-bgr24", AV_PIX_FMT_BGR24, SWS_BILINEAR},
                                 {"swscale-point-bgra", AV_PIX_FMT_BGRA, SWS_POINT},
                                 {"swscale-bilinear-bgra", AV_PIX_FMT_BGRA, SWS_BILINEAR}};

void Register() {
    for (const Size &size : kSizes) {
        const std::string suffix = std::string("/") + size.name;
        benchmark::RegisterBenchmark(("I420/ours" + suffix).c_str(), BM_Ours, size, Yuv2RgbBestVectors());
        benchmark::RegisterBenchmark(("I420/ours-16-byte" + suffix).c_str(), BM_Ours, size,
                                     Yuv2RgbVectors::kSse2);
        benchmark::RegisterBenchmark(("I420/ours-scalar" + suffix).c_str(), BM_Ours, size,
                                     Yuv2RgbVectors::kNone);
        for (const Reference &ref : kReferences)
            benchmark::RegisterBenchmark(("I420/" + std::string(ref.name) + suffix).c_str(), BM_Swscale, size,
                                         ref.format, ref.flags);
    }
}

double LoadAverage() {
    double load[1] = {-1};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

const char *LevelName(Yuv2RgbVectors level) {
    switch (level) {
    case Yuv2RgbVectors::kAvx2:
        return "AVX2";
    case Yuv2RgbVectors::kSse2:
        return "SSE2";
    default:
        return "none";
    }
}

// Prints the console report and, at the end, our figures against
// libswscale's from the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Plain text: the report is read in logs as often as on a terminal.
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                m_time[run.benchmark_name()] =
                    run.GetAdjustedCPUTime(); // single-threaded: steadier when shared
        ConsoleReporter::ReportRuns(runs);
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const Size &size : kSizes) {
            const std::string suffix = std::string("/") + size.name;
            const double ours = Ms("I420/ours" + suffix), narrow = Ms("I420/ours-16-byte" + suffix),
                         scalar = Ms("I420/ours-scalar" + suffix);
            if (ours <= 0) {
                std::printf("%s: not measured\n", size.name);
                continue;
            }
            std::printf(
                "%s I420 to 24-bit rows: ours (%s) %.3f ms, on 16-byte vectors %.3f ms, one pixel at a "
                "time %.3f ms (vectors %.2fx faster)\n",
                size.name, LevelName(Yuv2RgbBestVectors()), ours, narrow, scalar, scalar / ours);
            for (const Reference &ref : kReferences) {
                const double theirs = Ms("I420/" + std::string(ref.name) + suffix);
                if (theirs <= 0) {
                    std::printf("  %s: not measured\n", ref.name);
                    continue;
                }
                std::printf("  %-24s %.3f ms: ours/theirs %.2f (%s), 16-byte ours/theirs %.2f\n", ref.name,
                            theirs, ours / theirs, ours <= theirs ? "ours not slower" : "OURS SLOWER",
                            narrow / theirs);
            }
        }
        std::printf("load average: %.2f before, %.2f after\n", m_loadBefore, LoadAverage());
    }

    double m_loadBefore = LoadAverage();

private:
    double Ms(const std::string &name) const {
        auto it = m_time.find(name);
        return it == m_time.end() ? -1 : it->second / 1e6;
    }

    std::map<std::string, double> m_time;
};

} // namespace

int main(int argc, char **argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    for (const Size &size : kSizes)
        std::printf("%s: largest byte difference between libswscale bgr24 and ours: point %d, bilinear %d\n",
                    size.name, LargestDifference(size, SWS_POINT), LargestDifference(size, SWS_BILINEAR));
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
