// Writes the demo recording of samples/: a V30 file of 15 s, 704x576 H.264
// (the 50-frame clip repeated, a key frame every 25 frames) with G.711 A-law
// audio after every video frame and, on every key frame, a title and a clock
// for the on-screen display. The writers are deterministic, so a rerun gives
// the same bytes.
//
//   make_demo [OUTPUT]    default: samples/demo_v30.qv
#include <cstdio>
#include <string>
#include <vector>

#include "fixtures/fixtures.h"

namespace {

constexpr uint32_t kDemoSeconds = 15;
constexpr uint32_t kFrameIntervalMs = 40; // 25 frames a second

} // namespace

int main(int argc, char **argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: make_demo [OUTPUT]\n");
        return 2;
    }
    const std::string path = argc == 2 ? argv[1] : FixtureSamplePath("demo_v30.qv");

    V30Options options;
    options.dwVideoFrames = kDemoSeconds * 1000 / kFrameIntervalMs;
    options.dwFrameInterval = kFrameIntervalMs;
    std::vector<FixtureFrame> written;
    const std::vector<uint8_t> recording = WriteV30(options, &written);
    if (recording.empty()) {
        std::fprintf(stderr, "make_demo: the sample clip %s cannot be read\n", options.videoSample);
        return 1;
    }
    if (!FixtureWriteFile(path, recording)) {
        std::fprintf(stderr, "make_demo: cannot write %s\n", path.c_str());
        return 1;
    }
    size_t keyFrames = 0, audioFrames = 0;
    for (const FixtureFrame &f : written) {
        keyFrames += f.nType == DEMUX_FRAME_I;
        audioFrames += f.nType == DEMUX_FRAME_AUDIO;
    }
    std::printf("%s: %zu bytes, %u video frames (%zu key frames), %zu audio frames, %u ms\n", path.c_str(),
                recording.size(), options.dwVideoFrames, keyFrames, audioFrames,
                (options.dwVideoFrames - 1) * kFrameIntervalMs);
    return 0;
}
