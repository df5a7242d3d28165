// The decoder's per-pixel steps, fast form against the plain reference, on a
// standard-definition and a full-HD YV12 picture: the colour step at a
// setting that touches luma and chroma, and the field step doubling the
// picture's top field to full height. Also the decoder's copy of a picture
// out of the decoding core's padded planes into a packed YV12 buffer with the
// colour step on the way (one pass), against a plain copy followed by the
// step in place (two passes), and the same on 16-byte vectors only.
#include "vdec/colour.h"
#include "vdec/fieldstep.h"

#include <qvvdec.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct Size {
    const char *name;
    uint32_t width, height;
};

const Size kSizes[] = {{"704x576", 704, 576}, {"1920x1088", 1920, 1088}};

std::vector<uint8_t> RandomPicture(size_t n) {
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> bytes(n);
    for (uint8_t &b : bytes)
        b = uint8_t(byte(rng));
    return bytes;
}

template <bool kFast> void BM_Colour(benchmark::State &state, Size size) {
    const uint32_t w = size.width, h = size.height;
    const std::vector<uint8_t> original = RandomPicture(size_t(w) * h * 3 / 2);
    std::vector<uint8_t> picture = original;
    uint8_t *v = picture.data() + size_t(w) * h;
    uint8_t *u = v + size_t(w / 2) * (h / 2);
    const ColorCoefficients coef = ComputeColorCoefficients(80, 90, 100, 50);
    for (auto _ : state) {
        // Fresh samples every time: repeated adjustment would converge and
        // flatter the reference's branches.
        state.PauseTiming();
        std::copy(original.begin(), original.end(), picture.begin());
        state.ResumeTiming();
        if (kFast) {
            ColorAdjustLuma(picture.data(), w, h, int32_t(w), coef);
            ColorAdjustChroma(u, int32_t(w / 2), v, int32_t(w / 2), w / 2, h / 2, coef);
        } else {
            ColorAdjustLumaScalar(picture.data(), w, h, int32_t(w), coef);
            ColorAdjustChromaScalar(u, int32_t(w / 2), v, int32_t(w / 2), w / 2, h / 2, coef);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(picture.size()));
}

enum class CopyKind { kCopyThenStep, kFused, kFusedNarrow };

// Source planes with the core's padding (a wider luma stride, chroma planes
// apart), destination packed as the decoder hands pictures out.
void BM_ColourCopy(benchmark::State &state, Size size, CopyKind kind) {
    const uint32_t w = size.width, h = size.height;
    const int32_t lumaStride = int32_t(w + 64), chromaStride = int32_t(w / 2 + 32);
    const std::vector<uint8_t> srcY = RandomPicture(size_t(lumaStride) * h);
    const std::vector<uint8_t> srcU = RandomPicture(size_t(chromaStride) * (h / 2));
    const std::vector<uint8_t> srcV = RandomPicture(size_t(chromaStride) * (h / 2));
    std::vector<uint8_t> picture(size_t(w) * h * 3 / 2);
    uint8_t *v = picture.data() + size_t(w) * h;
    uint8_t *u = v + size_t(w / 2) * (h / 2);
    const ColorCoefficients coef = ComputeColorCoefficients(80, 90, 100, 50);
    const ColorCoefficients neutral = ComputeColorCoefficients(64, 64, 64, 64);
    ColorUseWideVectors(kind != CopyKind::kFusedNarrow);
    for (auto _ : state) {
        if (kind == CopyKind::kCopyThenStep) {
            ColorCopyLuma(srcY.data(), lumaStride, picture.data(), int32_t(w), w, h, neutral);
            ColorCopyChroma(srcU.data(), chromaStride, srcV.data(), chromaStride, u, int32_t(w / 2), v,
                            int32_t(w / 2), w / 2, h / 2, neutral);
            ColorAdjustPicture(picture.data(), VDEC_FOURCC_YV12, w, h, coef);
        } else {
            ColorCopyLuma(srcY.data(), lumaStride, picture.data(), int32_t(w), w, h, coef);
            ColorCopyChroma(srcU.data(), chromaStride, srcV.data(), chromaStride, u, int32_t(w / 2), v,
                            int32_t(w / 2), w / 2, h / 2, coef);
        }
        benchmark::ClobberMemory();
    }
    ColorUseWideVectors(true);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(picture.size()));
}

// Out of place so that every iteration doubles the same field.
template <bool kFast> void BM_Field(benchmark::State &state, Size size) {
    const uint32_t w = size.width, h = size.height;
    std::vector<uint8_t> field = RandomPicture(size_t(w) * h * 3 / 4);
    std::vector<uint8_t> picture(size_t(w) * h * 3 / 2);
    const uint32_t fieldRows[] = {h / 2, h / 4, h / 4};
    const uint32_t widths[] = {w, w / 2, w / 2};
    for (auto _ : state) {
        const uint8_t *src = field.data();
        uint8_t *dst = picture.data();
        for (int plane = 0; plane < 3; ++plane) {
            if (kFast)
                FieldDoublePlane(src, int32_t(widths[plane]), dst, int32_t(widths[plane]), widths[plane],
                                 fieldRows[plane]);
            else
                FieldDoublePlaneScalar(src, int32_t(widths[plane]), dst, int32_t(widths[plane]),
                                       widths[plane], fieldRows[plane]);
            src += size_t(widths[plane]) * fieldRows[plane];
            dst += size_t(widths[plane]) * fieldRows[plane] * 2;
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(picture.size()));
}

void Register() {
    for (const Size &size : kSizes) {
        std::string suffix = std::string("/") + size.name;
        benchmark::RegisterBenchmark(("Colour/scalar" + suffix).c_str(), BM_Colour<false>, size);
        benchmark::RegisterBenchmark(("Colour/fast" + suffix).c_str(), BM_Colour<true>, size);
        benchmark::RegisterBenchmark(("Field/scalar" + suffix).c_str(), BM_Field<false>, size);
        benchmark::RegisterBenchmark(("Field/fast" + suffix).c_str(), BM_Field<true>, size);
        benchmark::RegisterBenchmark(("CopyColour/copy-then-step" + suffix).c_str(), BM_ColourCopy, size,
                                     CopyKind::kCopyThenStep);
        benchmark::RegisterBenchmark(("CopyColour/fused" + suffix).c_str(), BM_ColourCopy, size,
                                     CopyKind::kFused);
        benchmark::RegisterBenchmark(("CopyColour/fused-16-byte" + suffix).c_str(), BM_ColourCopy, size,
                                     CopyKind::kFusedNarrow);
    }
}

// Prints the console report and, at the end, each fast figure against its
// scalar reference from the same run.
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
        for (const char *step : {"Colour", "Field"}) {
            for (const Size &size : kSizes) {
                std::string suffix = std::string("/") + size.name;
                auto scalar = m_time.find(step + std::string("/scalar") + suffix);
                auto fast = m_time.find(step + std::string("/fast") + suffix);
                if (scalar == m_time.end() || fast == m_time.end()) {
                    std::printf("%s %s: not measured\n", step, size.name);
                    continue;
                }
                std::printf("%s %s: scalar %.1f us, fast %.1f us, speed-up %.2fx\n", step, size.name,
                            scalar->second / 1000.0, fast->second / 1000.0, scalar->second / fast->second);
            }
        }
        for (const Size &size : kSizes) {
            std::string suffix = std::string("/") + size.name;
            auto twoPass = m_time.find("CopyColour/copy-then-step" + suffix);
            auto fused = m_time.find("CopyColour/fused" + suffix);
            auto narrow = m_time.find("CopyColour/fused-16-byte" + suffix);
            if (twoPass == m_time.end() || fused == m_time.end() || narrow == m_time.end()) {
                std::printf("CopyColour %s: not measured\n", size.name);
                continue;
            }
            std::printf(
                "CopyColour %s: copy then step %.1f us, fused %.1f us (speed-up %.2fx), fused on 16-byte "
                "vectors %.1f us (%.2fx)\n",
                size.name, twoPass->second / 1000.0, fused->second / 1000.0, twoPass->second / fused->second,
                narrow->second / 1000.0, twoPass->second / narrow->second);
        }
    }

private:
    std::map<std::string, double> m_time;
};

} // namespace

int main(int argc, char **argv) {
    Register();
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
