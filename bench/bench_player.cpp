// The player in pull mode against ffmpeg on the same H.264: a 1080p V30
// stream pushed with Play_InputData and pulled with Play_GetDecodeFrame /
// Play_FreeDecodeFrame on one decoding thread, versus
// "ffmpeg -threads 1 -f h264 -i clip.h264 -f null -" on the access units
// inside it, both timed by processor time (this process's, and the child's
// from wait4, its start-up taken out: bench/ffmpegref.h). Player rounds and
// reference rounds alternate so that both see the same load. The same on a
// 1080p stream with B frames encoded at run time.
//
// Also the latency from Play_InputData of a key frame to the decode callback
// that carries its picture, on a playing stream player whose decoder already
// exists (a first group was played), against the time the decoder itself
// spent on the same access units (its status attribute, read in the same
// rounds); the difference is what the player adds.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bench/ffmpegref.h"
#include "core/playapi.h"
#include "fixtures/fixtures.h"
#include "vdec/vdec.h"

namespace {

constexpr uint32_t kFrames = 1000;    // the 10-picture 1080p clip 100 times
constexpr uint32_t kGroupFrames = 10; // one key frame every 10 frames
constexpr uint32_t kHeaderSize = 256;
constexpr uint32_t kWidth = 1920, kHeight = 1080;

struct Clip {
    std::vector<uint8_t> recording;
    std::vector<FixtureFrame> frames;
    std::string h264Path;  // the first kFrames access units, back to back
    std::string firstPath; // the first access unit alone
};

// The recording holds the same kFrames access units as the reference stream
// (the player hands each frame record to the decoder as one whole unit).
// Without text and time records, so that nothing but decoding touches the
// pictures. The sample is a name under samples/ (or a path relative to it).
Clip MakeClip(const char *sample, const char *stem) {
    Clip c;
    V30Options o;
    o.videoSample = sample;
    o.wWidth = uint16_t(kWidth);
    o.wHeight = uint16_t(kHeight);
    o.dwVideoFrames = kFrames;
    o.dwAudioCodec = 0;
    o.title.clear();
    o.nClockStyle = -1;
    c.recording = WriteV30(o, &c.frames);
    if (c.frames.size() != kFrames)
        return c;
    std::vector<uint8_t> es;
    for (uint32_t i = 0; i < kFrames; ++i)
        es.insert(es.end(), c.frames[i].payload.begin(), c.frames[i].payload.end());
    c.h264Path = benchref::WriteTempStream(es, stem);
    c.firstPath = benchref::WriteTempStream(c.frames[0].payload, (std::string(stem) + "-first").c_str());
    return c;
}

const Clip &TheClip() {
    static const Clip clip = MakeClip("h264_1920x1080_high.264", "qv-bench-player");
    return clip;
}

// 1080p as a recorder with B frames writes it (two between reference
// frames, a key frame every 25, 6 Mbit/s): 100 frames encoded here by ffmpeg
// (libx264, one thread) and repeated to kFrames; the decoder holds pictures
// back to reorder them.
bool g_bFramesMade = false;

const Clip &BFrameClip() {
    static const Clip clip = [] {
        g_bFramesMade = true;
        const std::string path = "/tmp/qv-bench-player-1080p-bframes.264";
        const std::string command =
            "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i "
            "testsrc2=size=1920x1080:rate=25,trim=end_frame=100 -c:v libx264 -threads 1 -x264-params "
            "threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0 -bf 2 -b:v 6M -maxrate 6M "
            "-bufsize 6M -pix_fmt yuv420p -f h264 " +
            path;
        Clip c;
        if (std::system(command.c_str()) == 0) {
            // The writer reads its clip under samples/: the path relative to it.
            std::error_code ec;
            const std::string rel = std::filesystem::relative(path, FixtureSamplePath(""), ec).string();
            if (!ec && !rel.empty())
                c = MakeClip(rel.c_str(), "qv-bench-player-bframes");
        }
        unlink(path.c_str());
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

// Bytes of frames [first, last) of the recording.
std::pair<const uint8_t *, uint32_t> FrameBytes(const Clip &clip, size_t first, size_t last) {
    const size_t begin = size_t(clip.frames[first].ullOffset);
    const size_t end =
        last < clip.frames.size() ? size_t(clip.frames[last].ullOffset) : clip.recording.size();
    return {clip.recording.data() + begin, uint32_t(end - begin)};
}

double Mean(const std::vector<double> &values) {
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0 : sum / double(values.size());
}

double Min(const std::vector<double> &values) {
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

double Max(const std::vector<double> &values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// ---- Pull mode against ffmpeg ----

struct PullRounds {
    std::vector<double> cpuMs, refCpuMs, refStartupMs, ratios, loads;
    uint64_t pictures = 0, refFrames = 0;
};

// By clip: "committed" and "bframes".
std::map<std::string, PullRounds> &AllPullRounds() {
    static std::map<std::string, PullRounds> rounds;
    return rounds;
}

void PullDecode(benchmark::State &state, const Clip &clip, const char *name) {
    if (clip.h264Path.empty() || clip.firstPath.empty()) {
        state.SkipWithError("no clip");
        return;
    }
    PullRounds &rounds = AllPullRounds()[name];
    rounds = PullRounds{};
    for (auto _ : state) {
        // The reference goes first in every other round, so that a load that
        // grows or fades during a round favours neither side.
        const bool referenceFirst = rounds.cpuMs.size() % 2 == 1;
        benchref::FfmpegReference ref;
        if (referenceFirst)
            ref = benchref::MeasureFfmpegReference(clip.h264Path, clip.firstPath, kFrames);
        rounds.loads.push_back(benchref::LoadAverage());
        const double start = benchref::ProcessCpuMs();
        PLAY_HANDLE h = OpenPlayer(clip, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE);
        if (h == nullptr) {
            state.SkipWithError("player not created");
            return;
        }
        // Frame by frame, each pulled as soon as it is in, as a client
        // feeding a live stream does.
        uint64_t pictures = 0;
        for (size_t i = 0; i < clip.frames.size(); ++i) {
            auto [data, size] = FrameBytes(clip, i, i + 1);
            PlayApi_InputData(h, data, size);
            PLAY_FRAME *pFrame = nullptr;
            while (PlayApi_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_YV12, &pFrame) == PLAY_OK) {
                pictures += pFrame->output.picture.pBuffer != nullptr;
                PlayApi_FreeDecodeFrame(h, pFrame);
            }
        }
        PlayApi_Release(h);
        const double cpuMs = benchref::ProcessCpuMs() - start;
        state.SetIterationTime(cpuMs / 1000.0);

        if (!referenceFirst)
            ref = benchref::MeasureFfmpegReference(clip.h264Path, clip.firstPath, kFrames);
        if (!ref.ok) {
            state.SkipWithError(ref.error.c_str());
            return;
        }
        rounds.pictures = pictures;
        rounds.refFrames = ref.full.frames;
        rounds.cpuMs.push_back(cpuMs);
        rounds.refCpuMs.push_back(ref.cpuMsPerFrame * kFrames);
        rounds.refStartupMs.push_back(ref.first.cpuMs);
        rounds.ratios.push_back(cpuMs / (ref.cpuMsPerFrame * kFrames));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * kFrames);
    state.counters["pictures"] = double(rounds.pictures);
    state.counters["ref_cpu_ms"] = Mean(rounds.refCpuMs);
    state.counters["ratio"] = benchref::Median(rounds.ratios);
}

void BM_PlayerPullDecode(benchmark::State &state) {
    PullDecode(state, TheClip(), "committed");
}
void BM_PlayerPullDecodeBFrames(benchmark::State &state) {
    PullDecode(state, BFrameClip(), "bframes");
}

// ---- Key frame latency ----

// The key frame's picture, decoded with the decoder functions in this
// process from the same bytes: every group of the repeated clip starts with
// it, so the callback that carries it is recognised by its bytes.
std::vector<uint8_t> KeyPicture(const Clip &clip) {
    std::vector<uint8_t> picture;
    CBaseVideoCodec *decoder = nullptr;
    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, kWidth, kHeight, 0, 0};
    if (Vdec_Create(&decoder, &param) != VDEC_OK)
        return picture;
    std::vector<uint8_t> buffer(size_t(kWidth) * kHeight * 3 / 2);
    std::vector<std::vector<uint8_t>> group;
    for (uint32_t i = 0; i < 2 * kGroupFrames && i < clip.frames.size(); ++i) {
        const std::vector<uint8_t> &payload = clip.frames[i].payload;
        DecodedPicture out{};
        out.dwSize = VDEC_PICTURE_SIZE;
        out.pBuffer = buffer.data();
        out.dwBufferSize = uint32_t(buffer.size());
        if (Vdec_Decode(decoder, payload.data(), uint32_t(payload.size()), &out) == VDEC_OK &&
            group.size() < kGroupFrames)
            group.push_back(buffer); // display order: the key frame comes out first
    }
    Vdec_Destroy(decoder);
    // Recognition needs the key picture to differ from the rest of its group.
    if (group.size() == kGroupFrames && std::count(group.begin(), group.end(), group[0]) == 1)
        picture = group[0];
    return picture;
}

struct LatencyProbe {
    std::mutex lock;
    std::condition_variable changed;
    const std::vector<uint8_t> *pKey = nullptr;
    bool bArmed = false;
    bool bKeySeen = false;
    std::chrono::steady_clock::time_point keyTime;
    uint32_t dwPictures = 0;
    uint32_t dwKeyPictures = 0; // pictures equal to the key frame's, in all
};

int32_t QV_CALL OnDecoded(PLAY_HANDLE, PLAY_FRAME *pFrame, void *pContext) {
    const auto now = std::chrono::steady_clock::now();
    LatencyProbe *probe = static_cast<LatencyProbe *>(pContext);
    if (pFrame->pFrame->nType == DEMUX_FRAME_AUDIO)
        return 0;
    const DecodedPicture &picture = pFrame->output.picture;
    const bool key = picture.pBuffer != nullptr && picture.dwBufferSize >= probe->pKey->size() &&
                     std::memcmp(picture.pBuffer, probe->pKey->data(), probe->pKey->size()) == 0;
    std::lock_guard<std::mutex> guard(probe->lock);
    ++probe->dwPictures;
    if (key) {
        ++probe->dwKeyPictures;
        if (probe->bArmed && !probe->bKeySeen) {
            probe->bKeySeen = true;
            probe->keyTime = now;
        }
    }
    probe->changed.notify_all();
    return 0;
}

struct LatencyRounds {
    std::vector<double> latencyMs, decodeMs, overheadMs, loads;
    uint32_t dwUnits = 0; // access units fed per measured block
};

LatencyRounds &TheLatencyRounds() {
    static LatencyRounds rounds;
    return rounds;
}

bool DecoderTime(PLAY_HANDLE h, uint64_t *pMicroseconds, uint32_t *pPictures) {
    DecoderInfo info{};
    info.dwSize = VDEC_INFO_SIZE;
    uint32_t size = sizeof info;
    if (PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_VDEC_STATUS, &info, &size) != PLAY_OK)
        return false;
    *pMicroseconds = info.ullDecodeTime;
    *pPictures = info.dwPictureCount;
    return true;
}

// Each round feeds the next group's key frame with the frames the decoder
// needs before it lets the key frame's picture go (a block of dwUnits access
// units: the clip reorders, so the picture leaves a few frames later; the
// count is learnt from the player on the second group), measures until the
// callback with that picture, then feeds the rest of the group and waits for
// its pictures, so that every round starts alike.
void BM_KeyFrameLatency(benchmark::State &state) {
    const Clip &clip = TheClip();
    LatencyRounds &rounds = TheLatencyRounds();
    const std::vector<uint8_t> key =
        clip.frames.size() == kFrames ? KeyPicture(clip) : std::vector<uint8_t>();
    if (key.empty()) {
        state.SkipWithError("no recognisable key picture");
        return;
    }
    PLAY_HANDLE h = OpenPlayer(clip, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT);
    if (h == nullptr) {
        state.SkipWithError("player not created");
        return;
    }
    LatencyProbe probe;
    probe.pKey = &key;
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(OnDecoded);
    cb.pContext = &probe;
    PlayApi_RegisterCallbackFunction(h, PLAY_CALLBACK_DECODE, &cb, PLAY_CALLBACK_PARAM_SIZE);
    const uint32_t play = PLAY_ACTION_PLAY_FORWARD;
    PlayApi_SetControl(h, PLAY_CONTROL_ACTION, &play, 4);

    auto waitFor = [&](auto done, std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> wait(probe.lock);
        return probe.changed.wait_for(wait, limit, [&] { return done(); });
    };
    auto counts = [&](uint32_t *pPictures, uint32_t *pKeys) {
        std::lock_guard<std::mutex> guard(probe.lock);
        *pPictures = probe.dwPictures;
        *pKeys = probe.dwKeyPictures;
    };
    // Waits until no picture has come for a while: the player has decoded
    // all it was given.
    auto settle = [&] {
        for (;;) {
            uint32_t seen = 0, keys = 0;
            counts(&seen, &keys);
            if (!waitFor([&] { return probe.dwPictures > seen; }, std::chrono::milliseconds(300)))
                return;
        }
    };
    auto input = [&](size_t first, size_t last) {
        auto [data, size] = FrameBytes(clip, first, last);
        PlayApi_InputData(h, data, size);
    };

    // The first group creates the decoder and fills its reorder queue. The
    // second goes in a frame at a time: the frame that brings out the key
    // picture tells how many units a block needs.
    input(0, kGroupFrames);
    settle();
    rounds.dwUnits = 0;
    for (uint32_t i = 0; i < kGroupFrames; ++i) {
        uint32_t seen = 0, keysBefore = 0, keysAfter = 0;
        counts(&seen, &keysBefore);
        input(kGroupFrames + i, kGroupFrames + i + 1);
        settle();
        counts(&seen, &keysAfter);
        if (rounds.dwUnits == 0 && keysAfter > keysBefore)
            rounds.dwUnits = i + 1;
    }
    if (rounds.dwUnits == 0) {
        state.SkipWithError("the key picture of the second group never came");
        PlayApi_Release(h);
        return;
    }

    size_t group = 2;
    for (auto _ : state) {
        if ((group + 1) * kGroupFrames > kFrames) {
            state.SkipWithError("clip too short for the rounds");
            break;
        }
        uint64_t decodeBefore = 0, decodeAfter = 0;
        uint32_t picturesBefore = 0, picturesAfter = 0;
        DecoderTime(h, &decodeBefore, &picturesBefore);
        uint32_t seenBefore = 0;
        {
            std::lock_guard<std::mutex> guard(probe.lock);
            probe.bArmed = true;
            probe.bKeySeen = false;
            seenBefore = probe.dwPictures;
        }
        rounds.loads.push_back(benchref::LoadAverage());
        const size_t base = group * kGroupFrames;
        auto [block, blockSize] = FrameBytes(clip, base, base + rounds.dwUnits);
        const auto start = std::chrono::steady_clock::now();
        PlayApi_InputData(h, block, blockSize);
        if (!waitFor([&] { return probe.bKeySeen; }, std::chrono::seconds(5))) {
            state.SkipWithError("no decode callback with the key picture");
            break;
        }
        // The decoder's status is read once the block's pictures are all out.
        waitFor([&] { return probe.dwPictures >= seenBefore + rounds.dwUnits; }, std::chrono::seconds(5));
        DecoderTime(h, &decodeAfter, &picturesAfter);
        std::chrono::steady_clock::time_point keyTime;
        {
            std::lock_guard<std::mutex> guard(probe.lock);
            probe.bArmed = false;
            keyTime = probe.keyTime;
        }
        const double latencyMs = std::chrono::duration<double, std::milli>(keyTime - start).count();
        // Every unit of the block gives one picture (of an earlier frame) once
        // the decoder runs, so the decoder timed all of them; the key picture
        // comes with the last.
        if (picturesAfter - picturesBefore != rounds.dwUnits) {
            state.SkipWithError("the decoder's status does not cover the block");
            break;
        }
        const double decodeMs = double(decodeAfter - decodeBefore) / 1000.0;
        state.SetIterationTime(latencyMs / 1000.0);
        rounds.latencyMs.push_back(latencyMs);
        rounds.decodeMs.push_back(decodeMs);
        rounds.overheadMs.push_back(latencyMs - decodeMs);

        // The rest of the group, unmeasured.
        input(base + rounds.dwUnits, base + kGroupFrames);
        waitFor([&] { return probe.dwPictures >= seenBefore + kGroupFrames; }, std::chrono::seconds(5));
        ++group;
    }
    PlayApi_Release(h);
    state.counters["decode_ms"] = benchref::Median(rounds.decodeMs);
    state.counters["overhead_ms"] = benchref::Median(rounds.overheadMs);
}

BENCHMARK(BM_PlayerPullDecode)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);
BENCHMARK(BM_PlayerPullDecodeBFrames)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(7);
BENCHMARK(BM_KeyFrameLatency)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    static void PrintPull(const char *label, const char *name) {
        auto it = AllPullRounds().find(name);
        if (it == AllPullRounds().end() || it->second.ratios.empty()) {
            std::printf("%s: not measured\n", label);
            return;
        }
        const PullRounds &pull = it->second;
        const double ratio = benchref::Median(pull.ratios);
        std::printf(
            "%s, processor time per frame: player %.3f ms, ffmpeg %.3f ms (its start-up of %.0f ms taken "
            "out), median ratio %.3f (overhead %+.1f%%, %s); best rounds %.3f / %.3f ms; %zu rounds, load "
            "%.2f..%.2f; %u frames decoded by both (%llu pictures out, ffmpeg %llu)\n",
            label, Mean(pull.cpuMs) / kFrames, Mean(pull.refCpuMs) / kFrames, Mean(pull.refStartupMs), ratio,
            (ratio - 1.0) * 100.0, ratio < 1.10 ? "within 10%" : "ABOVE 10%", Min(pull.cpuMs) / kFrames,
            Min(pull.refCpuMs) / kFrames, pull.ratios.size(), Min(pull.loads), Max(pull.loads), kFrames,
            (unsigned long long)pull.pictures, (unsigned long long)pull.refFrames);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        PrintPull("1080p pull decode (committed clip)", "committed");
        PrintPull("1080p pull decode, B frames at 6 Mbit/s", "bframes");
        const LatencyRounds &lat = TheLatencyRounds();
        if (lat.latencyMs.empty()) {
            std::printf("key frame latency: not measured\n");
            return;
        }
        const double overhead = benchref::Median(lat.overheadMs);
        std::printf(
            "key frame latency with the decoder running: median %.2f ms, of which the decoder's own time "
            "for the %u access units fed (its status attribute, same rounds) %.2f ms; player's part median "
            "%.2f ms (best %.2f, worst %.2f; %s 5 ms); %zu rounds, load %.2f..%.2f\n",
            benchref::Median(lat.latencyMs), lat.dwUnits, benchref::Median(lat.decodeMs), overhead,
            Min(lat.overheadMs), Max(lat.overheadMs), overhead < 5.0 ? "under" : "OVER", lat.latencyMs.size(),
            Min(lat.loads), Max(lat.loads));
    }
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!TheClip().h264Path.empty())
        unlink(TheClip().h264Path.c_str());
    if (!TheClip().firstPath.empty())
        unlink(TheClip().firstPath.c_str());
    if (g_bFramesMade) {
        for (const std::string &path : {BFrameClip().h264Path, BFrameClip().firstPath})
            if (!path.empty())
                unlink(path.c_str());
    }
    return 0;
}
