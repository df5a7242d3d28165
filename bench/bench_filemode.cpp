// File playback: index build, seek latency and the memory of backward play.
//
// 1. Index build of a 1 GiB V30 recording (a 704x576 clip of two groups of
//    25 frames repeated with advancing sequence numbers and times, G.711
//    audio after every video frame, title and clock on every key frame),
//    from Play_CreateW to the index-completed callback, against
//    "cat FILE > /dev/null" of the same, cached file in the same run.
//    Target: at least half the cat read rate. Two recordings:
//    - the committed sample clip, encoded at a very low rate (about 1.2 KB
//      a frame), where the cost per frame weighs most;
//    - the same picture size at 2 Mbit/s (about 10 KB a frame), what a
//      recorder typically writes for such a channel. The clip is encoded
//      by ffmpeg (libx264) into the build folder on first use.
//    The files are written once in chunks under the build folder and reused
//    while their size is right (QV_BENCH_FILE_MB picks another size).
// 2. Seek latency on the sample-clip recording once indexed, while paused:
//    median and 99th percentile of 200 random seeks by time, by frame
//    index and by ratio. Target: median under 30 ms. Each seek is also
//    checked for where it landed.
// 3. Backward play of a 1080p recording with a key frame every 50 frames:
//    the most decoded pictures held at once against the bound of one group
//    (the key-frame distance), right after open (distance not yet measured)
//    and after a forward pass has measured it.
// 4. Backward play of a 1080p recording with a key frame every 250 frames
//    (encoded by ffmpeg into the build folder on first use): pictures per
//    second and the peak of pictures held, and the peak resident memory the
//    pass adds, against a forward pass over the same file on a player of its
//    own (the reference), in alternating rounds.
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
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "core/filemode.h"
#include "core/playapi.h"
#include "fixtures/fixtures.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSeekCount = 200;
constexpr double kSeekTargetMs = 30.0;
constexpr double kIndexTargetRatio = 0.5;
constexpr uint32_t kGroupFrames = 50; // the 704x576 clip: two groups of 25
constexpr uint32_t kFrameIntervalMs = 40;
constexpr uint32_t kFirstTimestamp = 1000;
constexpr int64_t kStartTime = 1330819509;
constexpr uint32_t kBackwardFrames = 300; // six groups of 50 at 1080p
constexpr uint32_t kBackwardBound = 50;   // the key-frame distance of that file
constexpr std::chrono::seconds kIndexTimeout{600};
constexpr std::chrono::seconds kPlayTimeout{300};

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Processor time of this process, and of its finished children (cat): on a
// machine shared with other work these hold still where wall time does not,
// and the index thread runs at a low priority that such work pushes aside.
double ProcessCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
double ChildrenCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- Test files ----

std::string DataPath(const std::string &name) {
    return std::string(QV_BENCH_DATA_DIR) + "/" + name;
}

uint64_t TargetBytes() {
    const char *mb = std::getenv("QV_BENCH_FILE_MB");
    const uint64_t n = mb ? std::strtoull(mb, nullptr, 10) : 0;
    return (n ? n : 1024) * 1024 * 1024;
}

// One pass of the clip: video frames with their audio, numbered from
// firstFrame. Every pass has the same length (all fields are fixed width).
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
        v.byRate = 25;
        v.dwSequence = uint32_t(n);
        v.dwTimestamp = kFirstTimestamp + uint32_t(elapsed);
        v.llTime = kStartTime + int64_t(elapsed / 1000);
        v.byChecksumSpan = 8;
        v.payload = units[i];
        if (key) {
            FixtureOsdRecord title;
            title.dwType = 0;
            title.wX = 16;
            title.wY = 16;
            title.text = "Camera 01";
            FixtureOsdRecord clock;
            clock.dwType = 1;
            clock.wX = 16;
            clock.wY = 48;
            v.osd = {title, clock};
        }
        AppendV30Frame(out, v);
        V30FrameFields a;
        a.byKind = 0;
        a.byCodecCode = uint8_t(DEMUX_CODEC_G711_ALAW - DEMUX_CODEC_PCM8);
        a.byChecksumSpan = 8;
        a.payload = audio[i % audio.size()];
        AppendV30Frame(out, a);
    }
}

// The clips the large recordings repeat.
enum BigFileKind { BIG_FILE_SAMPLE = 0, BIG_FILE_DVR = 1, BIG_FILE_KINDS = 2 };

const char *BigFileLabel(int kind) {
    return kind == BIG_FILE_DVR ? "2 Mbit/s clip" : "sample clip";
}

// Two groups of 25 frames, key frames first: what AppendPass numbers and
// what the seek checks assume.
bool IsTwoGroupClip(const std::vector<std::vector<uint8_t>> &units) {
    if (units.size() != kGroupFrames)
        return false;
    for (size_t i = 0; i < units.size(); ++i)
        if (IsKeyAccessUnit(units[i]) != (i % (kGroupFrames / 2) == 0))
            return false;
    return true;
}

// Access units of a clip outside samples/, cut by the fixtures' own rules:
// the fixture loader takes a name under samples/, so the path is given
// relative to that folder.
std::vector<std::vector<uint8_t>> LoadClipAt(const std::string &path) {
    std::error_code ec;
    const std::filesystem::path rel = std::filesystem::relative(path, FixtureSamplePath(""), ec);
    if (ec || rel.empty())
        return {};
    return LoadAccessUnits(rel.string().c_str());
}

// The 704x576 clip at 2 Mbit/s: two groups of 25 frames (fixed key-frame
// distance, no B frames), encoded on one thread so that every run makes
// the same stream. Encoded once into the build folder and reused while it
// splits into the expected groups; empty when ffmpeg is missing or fails.
std::vector<std::vector<uint8_t>> DvrClipUnits() {
    const std::string clip = DataPath("bench_filemode_704x576_2mbit.264");
    std::vector<std::vector<uint8_t>> units = LoadClipAt(clip);
    if (IsTwoGroupClip(units))
        return units;
    const std::string partial = clip + ".part";
    const std::string command =
        "ffmpeg -nostdin -hide_banner -v error -y -f lavfi "
        "-i testsrc2=size=704x576:rate=25,trim=end_frame=" +
        std::to_string(kGroupFrames) +
        " -c:v libx264 -threads 1 "
        "-x264-params threads=1:lookahead-threads=1:keyint=25:min-keyint=25:scenecut=0 "
        "-bf 0 -b:v 2M -maxrate 2M -bufsize 2M -pix_fmt yuv420p -f h264 '" +
        partial + "'";
    std::fprintf(stderr, "encoding %s...\n", clip.c_str());
    std::error_code ec;
    if (std::system(command.c_str()) != 0) {
        std::filesystem::remove(partial, ec);
        return {};
    }
    std::filesystem::rename(partial, clip, ec);
    if (ec)
        return {};
    units = LoadClipAt(clip);
    return IsTwoGroupClip(units) ? units : std::vector<std::vector<uint8_t>>();
}

// What a large recording holds, for the report.
struct BigFileInfo {
    std::string path; // empty when it could not be written
    bool bTried = false;
    uint64_t frames = 0;   // video frames written
    double videoBytes = 0; // mean video payload per frame
    double pairBytes = 0;  // mean bytes per video frame with its audio, headers included
};
BigFileInfo g_bigFiles[BIG_FILE_KINDS];

// A large recording: written once, reused while its size is right.
// Empty on failure (reported through state).
std::string BigFile(benchmark::State &state, int kind) {
    BigFileInfo &info = g_bigFiles[kind];
    if (info.bTried) {
        if (info.path.empty())
            state.SkipWithError("the large recording could not be written");
        return info.path;
    }
    info.bTried = true;
    const auto units = kind == BIG_FILE_DVR ? DvrClipUnits() : LoadAccessUnits("h264_704x576_high_cabac.264");
    const auto audio = LoadAudioBlocks(DEMUX_CODEC_G711_ALAW, units.size());
    if (!IsTwoGroupClip(units) || audio.empty()) {
        state.SkipWithError(kind == BIG_FILE_DVR ? "the 2 Mbit/s clip could not be encoded (ffmpeg missing?)"
                                                 : "sample clip or audio missing");
        return info.path;
    }
    std::vector<uint8_t> chunk = V30FileHeader();
    const uint64_t headerBytes = chunk.size();
    std::vector<uint8_t> pass;
    AppendPass(pass, units, audio, 0);
    const uint64_t passBytes = pass.size();
    const uint64_t passes = (TargetBytes() - headerBytes + passBytes - 1) / passBytes;
    const uint64_t expected = headerBytes + passes * passBytes;
    uint64_t videoBytes = 0;
    for (const auto &unit : units)
        videoBytes += unit.size();
    info.frames = passes * kGroupFrames;
    info.videoBytes = double(videoBytes) / double(units.size());
    info.pairBytes = double(passBytes) / double(units.size());
    // The sample clip's file keeps its old name, so earlier copies are reused.
    const std::string name = std::string(kind == BIG_FILE_DVR ? "bench_filemode_2mbit_" : "bench_filemode_") +
                             std::to_string(TargetBytes() >> 20) + "m.qv";
    const std::string target = DataPath(name);

    std::error_code ec;
    if (std::filesystem::file_size(target, ec) == expected && !ec) {
        info.path = target;
        return info.path;
    }
    std::fprintf(stderr, "writing %s (%llu bytes, %llu video frames)...\n", target.c_str(),
                 static_cast<unsigned long long>(expected), static_cast<unsigned long long>(info.frames));
    const std::string partial = target + ".part";
    FILE *file = std::fopen(partial.c_str(), "wb");
    if (!file) {
        state.SkipWithError("cannot create the large recording");
        return info.path;
    }
    bool ok = true;
    for (uint64_t p = 0; p < passes && ok; ++p) {
        AppendPass(chunk, units, audio, p * kGroupFrames);
        if (chunk.size() >= (8u << 20) || p + 1 == passes) {
            ok = std::fwrite(chunk.data(), 1, chunk.size(), file) == chunk.size();
            chunk.clear();
        }
    }
    ok = std::fclose(file) == 0 && ok;
    if (ok && std::filesystem::file_size(partial, ec) == expected && !ec) {
        std::filesystem::rename(partial, target, ec);
        ok = !ec;
    } else {
        ok = false;
    }
    if (!ok) {
        std::filesystem::remove(partial, ec);
        state.SkipWithError("writing the large recording failed");
        return info.path;
    }
    info.path = target;
    return info.path;
}

// The 1080p recording with a key frame every 50 frames.
std::string BackwardFile(benchmark::State &state) {
    static const std::string path = [] {
        V30Options o;
        o.videoSample = "h264_1920x1080_gop50.264";
        o.wWidth = 1920;
        o.wHeight = 1080;
        o.dwVideoFrames = kBackwardFrames;
        const std::vector<uint8_t> bytes = WriteV30(o, nullptr);
        const std::string p = DataPath("bench_filemode_1080p_gop50.qv");
        return !bytes.empty() && FixtureWriteFile(p, bytes) ? p : std::string();
    }();
    if (path.empty())
        state.SkipWithError("the 1080p recording could not be written (sample missing?)");
    return path;
}

// ---- Player helpers ----

// Waits for a notify callback (index completed, file ended).
struct Notification {
    std::mutex lock;
    std::condition_variable fired;
    int nCount = 0;

    static int32_t QV_CALL Callback(PLAY_HANDLE, void *pContext) {
        Notification *n = static_cast<Notification *>(pContext);
        std::lock_guard<std::mutex> guard(n->lock);
        ++n->nCount;
        n->fired.notify_all();
        return 0;
    }
    bool WaitFor(int count, Clock::duration timeout) {
        std::unique_lock<std::mutex> guard(lock);
        return fired.wait_for(guard, timeout, [&] { return nCount >= count; });
    }
};

int32_t Register(PLAY_HANDLE h, uint32_t kind, Notification *n) {
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(&Notification::Callback);
    cb.pContext = n;
    return PlayApi_RegisterCallbackFunction(h, kind, &cb, PLAY_CALLBACK_PARAM_SIZE);
}

// A file player, released on every way out.
struct Player {
    PLAY_HANDLE h = nullptr;
    int32_t nOpen = PLAY_E_FAIL;

    // Play_CreateW's player, or the given file player, which the handle then
    // owns.
    explicit Player(const std::string &path, CFileMode *pMode = nullptr) {
        std::vector<QV_WCHAR> wide(path.begin(), path.end()); // the paths here are ASCII
        wide.push_back(0);
        PLAY_CREATE_PARAM p{};
        p.dwSize = PLAY_CREATE_PARAM_SIZE;
        p.dwType = PLAY_MODE_FILE;
        p.pSource = wide.data();
        if (pMode == nullptr) {
            nOpen = PlayApi_CreateW(&h, &p);
            return;
        }
        nOpen = pMode->Open(&p);
        if (nOpen < 0)
            delete pMode;
        else
            h = pMode->Handle();
    }
    ~Player() {
        if (h) {
            for (uint32_t kind = PLAY_CALLBACK_FIRST; kind <= PLAY_CALLBACK_LAST; ++kind)
                PlayApi_RegisterCallbackFunction(h, kind, nullptr, 0);
            PlayApi_Release(h);
        }
    }
    uint32_t Get32(uint32_t code) const {
        uint32_t v = 0, size = sizeof(v);
        PlayApi_GetAttribute(h, code, &v, &size);
        return v;
    }
    int32_t Control(uint32_t code, uint32_t value) {
        return PlayApi_SetControl(h, code, &value, sizeof(value));
    }
    CFileMode *Mode() const { return static_cast<CFileMode *>(reinterpret_cast<CBasePlayMode *>(h)); }
};

// No display and no sound: the figures are those of reading and decoding.
constexpr uint32_t kQuietFlags = PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_MULTITHREAD_DECODE |
                                 PLAY_ENABLE_NO_CPU_LIMIT | PLAY_ENABLE_AUDIO_DECODE;

// ---- Results, printed at the end ----

struct IndexResult {
    double catSeconds = 0;   // best of the rounds
    double indexSeconds = 0; // best of the rounds
    double catCpu = 0;       // processor seconds, best of the rounds
    double indexCpu = 0;
    uint64_t bytes = 0;
    uint32_t frames = 0, entries = 0;
    double loadLow = -1, loadHigh = -1; // one-minute load average over the rounds
};
struct SeekResult {
    double medianMs = 0, p99Ms = 0, maxMs = 0;
    uint32_t failed = 0, missed = 0;
    // By time: the time fell after the last frame of a group, before the next
    // key frame; the seek stops at the end of the group (the frame before).
    uint32_t groupEnd = 0;
    // The target frame came out of the decoder without a picture.
    uint32_t noPicture = 0;
    int32_t firstFailure = PLAY_OK;
    std::string firstMiss;
};
struct BackwardResult {
    uint32_t peak = 0, distance = 0, width = 0, height = 0, decoded = 0;
    double seconds = 0;
};
IndexResult g_index[BIG_FILE_KINDS];
std::map<std::string, SeekResult> g_seek;
std::map<std::string, BackwardResult> g_backward;

// ---- 1. Index build against cat ----

// One-minute load average, or -1 when unknown.
double LoadAverage() {
    double load[1] = {-1};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

// Drops the file's pages from the page cache (written back first). How fast
// reads from the cache go depends on how the pages came there: here those
// of a file just written, or of one read earlier in other ways, were copied
// two to three times slower than those of a file read in whole by cat, so
// the reference would follow the file's history rather than its bytes.
// Read in afresh, every file starts from the same state.
bool DropCachedPages(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
    close(fd);
    return ok;
}

// Arg: BIG_FILE_SAMPLE or BIG_FILE_DVR.
void BM_IndexBuild(benchmark::State &state) {
    const int kind = int(state.range(0));
    const std::string path = BigFile(state, kind);
    if (path.empty())
        return;
    const std::string cat = "cat '" + path + "' > /dev/null";
    if (!DropCachedPages(path)) {
        state.SkipWithError("cannot drop the file's cached pages");
        return;
    }
    if (std::system(cat.c_str()) != 0) { // into the page cache
        state.SkipWithError("cat failed");
        return;
    }
    IndexResult &result = g_index[kind];
    result = IndexResult{};
    result.bytes = std::filesystem::file_size(path);
    for (auto _ : state) {
        const double load = LoadAverage();
        if (result.loadLow < 0 || load < result.loadLow)
            result.loadLow = load;
        result.loadHigh = std::max(result.loadHigh, load);
        // The reference right before each build, so both see the same load.
        auto t0 = Clock::now();
        double cpu0 = ChildrenCpuSeconds();
        if (std::system(cat.c_str()) != 0) {
            state.SkipWithError("cat failed");
            return;
        }
        const double catSeconds = Seconds(Clock::now() - t0);
        const double catCpu = ChildrenCpuSeconds() - cpu0;

        Notification indexed;
        t0 = Clock::now();
        cpu0 = ProcessCpuSeconds();
        Player player(path);
        if (player.nOpen != PLAY_OK) {
            state.SkipWithError("Play_CreateW failed");
            return;
        }
        if (Register(player.h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &indexed) != PLAY_OK ||
            !indexed.WaitFor(1, kIndexTimeout)) {
            state.SkipWithError("no index-completed callback");
            return;
        }
        const double indexSeconds = Seconds(Clock::now() - t0);
        const double indexCpu = ProcessCpuSeconds() - cpu0;
        state.SetIterationTime(indexSeconds);
        if (result.catCpu == 0 || catCpu < result.catCpu)
            result.catCpu = catCpu;
        if (result.indexCpu == 0 || indexCpu < result.indexCpu)
            result.indexCpu = indexCpu;
        if (result.catSeconds == 0 || catSeconds < result.catSeconds)
            result.catSeconds = catSeconds;
        if (result.indexSeconds == 0 || indexSeconds < result.indexSeconds)
            result.indexSeconds = indexSeconds;
        result.frames = player.Get32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
        result.entries = uint32_t(player.Mode()->IndexEntries().size());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(result.bytes));
    state.SetLabel(BigFileLabel(kind));
    state.counters["cat_s"] = result.catSeconds;
    state.counters["frames"] = result.frames;
}

// ---- 2. Seek latency ----

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

// Pictures decoded during one seek, by sequence number.
// The file player Play_CreateW makes for these recordings, noting every
// video frame it hands on for display and whether a picture came with it
// (a decoder that reorders gives a frame's picture only after later frames:
// what counts is the picture shown with the frame, not the decode callback).
class CRenderNote final : public CFileMode {
public:
    ~CRenderNote() override { CFileModeForward::Close(); }
    int32_t RenderFrame(PLAY_FRAME *pFrame) override {
        const FrameRecord *pRecord = pFrame->pFrame;
        if (pRecord != nullptr && IsVideoType(pRecord->nType)) {
            std::lock_guard<std::mutex> guard(m_noteLock);
            if (pFrame->output.picture.pBuffer != nullptr)
                m_pictures.push_back(pRecord->dwSequence);
        }
        return CFileMode::RenderFrame(pFrame);
    }
    bool ShowedPictureOf(uint32_t sequence) {
        std::lock_guard<std::mutex> guard(m_noteLock);
        return std::find(m_pictures.begin(), m_pictures.end(), sequence) != m_pictures.end();
    }
    bool ShowedAny() {
        std::lock_guard<std::mutex> guard(m_noteLock);
        return !m_pictures.empty();
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_noteLock);
        m_pictures.clear();
    }

private:
    std::mutex m_noteLock;
    std::vector<uint32_t> m_pictures;
};

// Arg: PLAY_SEEK_RATIO, PLAY_SEEK_TIME or PLAY_SEEK_INDEX.
void BM_Seek(benchmark::State &state) {
    const uint32_t kind = uint32_t(state.range(0));
    const char *name = kind == PLAY_SEEK_TIME ? "time" : kind == PLAY_SEEK_INDEX ? "index" : "ratio";
    const std::string path = BigFile(state, BIG_FILE_SAMPLE);
    if (path.empty())
        return;
    // The callbacks' targets outlive the player.
    Notification indexed;
    CRenderNote *pNote = new CRenderNote;
    Player player(path, pNote);
    if (player.nOpen != PLAY_OK ||
        Register(player.h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &indexed) != PLAY_OK ||
        !indexed.WaitFor(1, kIndexTimeout)) {
        state.SkipWithError("open or index failed");
        return;
    }
    player.Control(PLAY_CONTROL_ENABLE, kQuietFlags);
    if (player.Control(PLAY_CONTROL_ACTION, PLAY_ACTION_PAUSE) != PLAY_OK) {
        state.SkipWithError("pause failed");
        return;
    }
    const uint32_t duration = player.Get32(PLAY_ATTRIBUTE_FILE_DURATION);
    const uint32_t frames = player.Get32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
    if (duration == 0 || frames == 0) {
        state.SkipWithError("no duration or frame count after indexing");
        return;
    }
    // Frame indices of the key frames (the file numbers its frames from 0).
    std::vector<uint32_t> keys;
    for (const FramePosition &entry : player.Mode()->IndexEntries())
        keys.push_back(entry.dwSequence);
    std::mt19937 rng(20121);
    SeekResult r;
    std::vector<double> ms;
    for (auto _ : state) {
        ms.clear();
        for (uint32_t i = 0; i < kSeekCount; ++i) {
            uint32_t value = 0;
            float ratio = 0;
            const void *arg = &value;
            if (kind == PLAY_SEEK_TIME) {
                value = std::uniform_int_distribution<uint32_t>(0, duration)(rng);
            } else if (kind == PLAY_SEEK_INDEX) {
                value = std::uniform_int_distribution<uint32_t>(0, frames - 1)(rng);
            } else {
                ratio = std::uniform_real_distribution<float>(0.0f, 0.999f)(rng);
                arg = &ratio;
            }
            pNote->Clear();
            const auto t0 = Clock::now();
            const int32_t rc = PlayApi_Seek(player.h, kind, arg, 4);
            ms.push_back(Seconds(Clock::now() - t0) * 1000.0);
            if (rc != PLAY_OK) {
                if (r.failed++ == 0)
                    r.firstFailure = rc;
                continue;
            }
            // Where it landed: by index exactly the frame asked for; by time
            // the first frame at or after the time.
            const uint32_t index = player.Get32(PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX);
            const uint32_t played = player.Get32(PLAY_ATTRIBUTE_PLAY_DURATION);
            bool bMissed = false;
            bool bGroupEnd = false;
            uint32_t target = index;
            if (kind == PLAY_SEEK_INDEX) {
                bMissed = index != value;
                target = value;
            } else if (kind == PLAY_SEEK_TIME) {
                target = (value + kFrameIntervalMs - 1) / kFrameIntervalMs; // frames are 40 ms apart
                bMissed = played < value || played >= value + kFrameIntervalMs;
                if (bMissed && index + 1 == target && std::binary_search(keys.begin(), keys.end(), target)) {
                    bMissed = false;
                    bGroupEnd = true; // nothing is shown then
                    ++r.groupEnd;
                }
            }
            // By ratio the key frame found is the target.
            if (kind == PLAY_SEEK_RATIO ? !pNote->ShowedAny()
                                        : !bMissed && !bGroupEnd && !pNote->ShowedPictureOf(target))
                ++r.noPicture;
            if (bMissed && r.missed++ == 0) {
                char text[160];
                std::snprintf(text, sizeof(text), "asked %u, shown index %u at %u ms", value, index, played);
                r.firstMiss = text;
            }
        }
        r.medianMs = Percentile(ms, 0.5);
        r.p99Ms = Percentile(ms, 0.99);
        r.maxMs = *std::max_element(ms.begin(), ms.end());
        state.SetIterationTime(r.medianMs / 1000.0);
    }
    state.counters["median_ms"] = r.medianMs;
    state.counters["p99_ms"] = r.p99Ms;
    state.counters["failed"] = r.failed;
    state.counters["missed"] = r.missed;
    state.counters["no_picture"] = r.noPicture;
    g_seek[name] = r;
}

// ---- 3. Backward play memory ----

int32_t QV_CALL CountDecoded(PLAY_HANDLE, PLAY_FRAME *pFrame, void *pContext) {
    if (pFrame->pFrame && pFrame->pFrame->nType != DEMUX_FRAME_AUDIO && pFrame->output.picture.pBuffer)
        ++*static_cast<uint32_t *>(pContext);
    return 0;
}

// Arg 0: backward right after open; 1: after playing the file forward once.
void BM_BackwardMemory(benchmark::State &state) {
    const bool bAfterForward = state.range(0) != 0;
    const std::string path = BackwardFile(state);
    if (path.empty())
        return;
    BackwardResult r;
    for (auto _ : state) {
        // The callbacks' targets outlive the player.
        Notification indexed, ended;
        uint32_t decoded = 0;
        Player player(path);
        if (player.nOpen != PLAY_OK ||
            Register(player.h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &indexed) != PLAY_OK ||
            !indexed.WaitFor(1, kIndexTimeout)) {
            state.SkipWithError("open or index failed");
            return;
        }
        player.Control(PLAY_CONTROL_ENABLE, kQuietFlags);
        Register(player.h, PLAY_CALLBACK_FILE_ENDED, &ended);
        int wantEnded = 1;
        if (bAfterForward) {
            if (player.Control(PLAY_CONTROL_ACTION, PLAY_ACTION_PLAY_FORWARD) != PLAY_OK ||
                !ended.WaitFor(wantEnded++, kPlayTimeout)) {
                state.SkipWithError("forward play did not reach the end");
                return;
            }
        }
        PLAY_CALLBACK_PARAM cb{};
        cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountDecoded);
        cb.pContext = &decoded;
        PlayApi_RegisterCallbackFunction(player.h, PLAY_CALLBACK_DECODE, &cb, PLAY_CALLBACK_PARAM_SIZE);
        const auto t0 = Clock::now();
        const int32_t rc = player.Control(PLAY_CONTROL_ACTION, PLAY_ACTION_PLAY_BACKWARD);
        if (rc != PLAY_OK) {
            state.SkipWithError("PLAY_ACTION_PLAY_BACKWARD failed");
            return;
        }
        if (!ended.WaitFor(wantEnded, kPlayTimeout)) {
            state.SkipWithError("backward play did not reach the start");
            return;
        }
        r.seconds = Seconds(Clock::now() - t0);
        state.SetIterationTime(r.seconds);
        PlayApi_RegisterCallbackFunction(player.h, PLAY_CALLBACK_DECODE, nullptr, 0);
        r.peak = player.Mode()->PeakBackwardFrames();
        r.distance = player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE);
        r.width = player.Get32(PLAY_ATTRIBUTE_PICTURE_WIDTH);
        r.height = player.Get32(PLAY_ATTRIBUTE_PICTURE_HEIGHT);
        r.decoded = decoded;
    }
    state.counters["peak_pictures"] = r.peak;
    state.counters["decoded"] = r.decoded;
    g_backward[bAfterForward ? "after forward play" : "right after open"] = r;
}

// ---- 4. Backward play with long groups against forward play ----

// A 1080p recording with a key frame every 250 frames (three groups): what
// a recorder set to a long key-frame interval writes. Encoded by ffmpeg
// (libx264, one thread, no B frames, 4 Mbit/s) into the build folder once
// and reused while it splits into the expected groups.
constexpr uint32_t kLongGroup = 250;
constexpr uint32_t kLongGroupFrames = 3 * kLongGroup;
constexpr uint32_t kLongWidth = 1920, kLongHeight = 1080;
constexpr uint32_t kLongRounds = 3;

bool IsLongGroupClip(const std::vector<std::vector<uint8_t>> &units) {
    if (units.size() != kLongGroupFrames)
        return false;
    for (size_t i = 0; i < units.size(); ++i)
        if (IsKeyAccessUnit(units[i]) != (i % kLongGroup == 0))
            return false;
    return true;
}

std::string LongGroupFile(benchmark::State &state) {
    static const std::string path = [] {
        const std::string clip = DataPath("bench_filemode_1080p_gop250.264");
        if (!IsLongGroupClip(LoadClipAt(clip))) {
            const std::string partial = clip + ".part";
            const std::string command =
                "ffmpeg -nostdin -hide_banner -v error -y -f lavfi -i testsrc2=size=" +
                std::to_string(kLongWidth) + "x" + std::to_string(kLongHeight) +
                ":rate=25,trim=end_frame=" + std::to_string(kLongGroupFrames) +
                " -c:v libx264 -threads 1 -x264-params threads=1:lookahead-threads=1:keyint=" +
                std::to_string(kLongGroup) + ":min-keyint=" + std::to_string(kLongGroup) +
                ":scenecut=0 -bf 0 -b:v 4M -maxrate 4M -bufsize 4M -pix_fmt yuv420p -f h264 '" + partial +
                "'";
            std::fprintf(stderr, "encoding %s...\n", clip.c_str());
            std::error_code ec;
            if (std::system(command.c_str()) != 0) {
                std::filesystem::remove(partial, ec);
                return std::string();
            }
            std::filesystem::rename(partial, clip, ec);
            if (ec || !IsLongGroupClip(LoadClipAt(clip)))
                return std::string();
        }
        // The writer takes a name under samples/: the path relative to it.
        std::error_code ec;
        const std::string rel = std::filesystem::relative(clip, FixtureSamplePath(""), ec).string();
        if (ec || rel.empty())
            return std::string();
        V30Options o;
        o.videoSample = rel.c_str();
        o.wWidth = uint16_t(kLongWidth);
        o.wHeight = uint16_t(kLongHeight);
        o.dwVideoFrames = kLongGroupFrames;
        const std::vector<uint8_t> bytes = WriteV30(o, nullptr);
        const std::string p = DataPath("bench_filemode_1080p_gop250.qv");
        return !bytes.empty() && FixtureWriteFile(p, bytes) ? p : std::string();
    }();
    if (path.empty())
        state.SkipWithError("the 1080p recording with 250-frame groups could not be made (ffmpeg missing?)");
    return path;
}

// Kibibytes of a line of /proc/self/status ("VmRSS", "VmHWM"); 0 if absent.
uint64_t StatusKb(const char *key) {
    uint64_t kb = 0;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        const size_t n = std::strlen(key);
        while (std::fgets(line, sizeof line, f))
            if (std::strncmp(line, key, n) == 0 && line[n] == ':') {
                kb = std::strtoull(line + n + 1, nullptr, 10);
                break;
            }
        std::fclose(f);
    }
    return kb;
}

// Starts a new peak of the resident set (VmHWM) at the current size, after
// the heap gave back what it keeps free, so that each pass's peak counts
// only what that pass held.
bool ResetPeakRss() {
    malloc_trim(0);
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr)
        return false;
    const bool wrote = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && wrote;
}

// One pass over the file in one direction, on a player of its own.
struct PassResult {
    double seconds = 0, cpuSeconds = 0;
    uint32_t shown = 0;    // video frames of the file, all shown once going end to end
    uint32_t pictures = 0; // pictures decoded (decode callbacks), more where groups are decoded again
    uint64_t baseKb = 0, peakKb = 0; // resident set before the pass, and its peak during it
    uint32_t peakHeld = 0;           // backward: most pictures in the backward lists
    bool peakKnown = false;
};
struct LongGroupResult {
    std::vector<PassResult> forward, backward;
    std::vector<double> loads;
};
LongGroupResult g_longGroup;

// Opens the file, waits for its index, then plays it from end to end in one
// direction at the highest speed with nothing shown or heard: decoding sets
// the pace.
bool RunPass(benchmark::State &state, const std::string &path, bool backward, PassResult *r) {
    Notification indexed, ended;
    uint32_t decoded = 0;
    Player player(path);
    if (player.nOpen != PLAY_OK ||
        Register(player.h, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &indexed) != PLAY_OK ||
        !indexed.WaitFor(1, kIndexTimeout)) {
        state.SkipWithError("open or index failed");
        return false;
    }
    player.Control(PLAY_CONTROL_ENABLE, kQuietFlags);
    const float speed = PLAY_SPEED_MAX;
    PlayApi_SetControl(player.h, PLAY_CONTROL_SPEED, &speed, sizeof speed);
    Register(player.h, PLAY_CALLBACK_FILE_ENDED, &ended);
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountDecoded);
    cb.pContext = &decoded;
    PlayApi_RegisterCallbackFunction(player.h, PLAY_CALLBACK_DECODE, &cb, PLAY_CALLBACK_PARAM_SIZE);
    r->peakKnown = ResetPeakRss();
    r->baseKb = StatusKb("VmRSS");
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    // From a player just opened, backward play starts at the last frame.
    if (player.Control(PLAY_CONTROL_ACTION,
                       backward ? PLAY_ACTION_PLAY_BACKWARD : PLAY_ACTION_PLAY_FORWARD) != PLAY_OK ||
        !ended.WaitFor(1, kPlayTimeout)) {
        state.SkipWithError(backward ? "backward play did not reach the start"
                                     : "forward play did not reach the end");
        return false;
    }
    r->seconds = Seconds(Clock::now() - t0);
    r->cpuSeconds = ProcessCpuSeconds() - cpu0;
    r->peakKb = StatusKb("VmHWM");
    PlayApi_RegisterCallbackFunction(player.h, PLAY_CALLBACK_DECODE, nullptr, 0);
    r->pictures = decoded;
    r->shown = player.Get32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
    r->peakHeld = player.Mode()->PeakBackwardFrames();
    return true;
}

// Rounds of a forward pass (the reference) and a backward pass, in
// alternating order so that a load that comes or goes favours neither.
void BM_BackwardLongGroups(benchmark::State &state) {
    const std::string path = LongGroupFile(state);
    if (path.empty())
        return;
    g_longGroup = LongGroupResult{};
    for (auto _ : state) {
        g_longGroup.loads.push_back(LoadAverage());
        const bool backwardFirst = g_longGroup.backward.size() % 2 == 1;
        PassResult forward, backward;
        for (int pass = 0; pass < 2; ++pass) {
            const bool isBackward = (pass == 0) == backwardFirst;
            if (!RunPass(state, path, isBackward, isBackward ? &backward : &forward))
                return;
        }
        state.SetIterationTime(backward.seconds);
        g_longGroup.forward.push_back(forward);
        g_longGroup.backward.push_back(backward);
    }
    const PassResult &b = g_longGroup.backward.back();
    state.counters["peak_pictures"] = b.peakHeld;
    state.counters["pictures_per_s"] = b.seconds > 0 ? b.pictures / b.seconds : 0;
}

BENCHMARK(BM_IndexBuild)
    ->Arg(BIG_FILE_SAMPLE)
    ->Arg(BIG_FILE_DVR)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(3);
BENCHMARK(BM_Seek)
    ->Arg(PLAY_SEEK_TIME)
    ->Arg(PLAY_SEEK_INDEX)
    ->Arg(PLAY_SEEK_RATIO)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1);
BENCHMARK(BM_BackwardMemory)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_BackwardLongGroups)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(kLongRounds);

// Prints the console report and, at the end, each figure against its
// reference.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    static void PrintIndex(int kind) {
        const IndexResult &r = g_index[kind];
        const BigFileInfo &info = g_bigFiles[kind];
        if (r.indexSeconds <= 0 || r.catSeconds <= 0) {
            std::printf("index build, %s: not measured\n", BigFileLabel(kind));
            return;
        }
        const double mb = double(r.bytes) / (1024.0 * 1024.0);
        const double ratio = r.catSeconds / r.indexSeconds; // rate ratio
        std::printf("index build, %s (%.0f bytes per video frame, %.0f with its audio frame and headers): "
                    "%.0f MiB, %u video frames, %u key frames: %.2f s = %.0f MiB/s, %.2f us per video+audio "
                    "pair; cat %.2f s = %.0f MiB/s; index/cat rate ratio %.3f (target >= %.2f: %s); load "
                    "%.2f..%.2f\n",
                    BigFileLabel(kind), info.videoBytes, info.pairBytes, mb, r.frames, r.entries,
                    r.indexSeconds, mb / r.indexSeconds, r.frames ? r.indexSeconds * 1e6 / r.frames : 0.0,
                    r.catSeconds, mb / r.catSeconds, ratio, kIndexTargetRatio,
                    ratio >= kIndexTargetRatio ? "met" : "NOT MET", r.loadLow, r.loadHigh);
        if (r.indexCpu > 0 && r.catCpu > 0) {
            const double cpuRatio = r.catCpu / r.indexCpu;
            std::printf(
                "  in processor time: index %.2f s, cat %.2f s, rate ratio %.3f (target >= %.2f: %s)\n",
                r.indexCpu, r.catCpu, cpuRatio, kIndexTargetRatio,
                cpuRatio >= kIndexTargetRatio ? "met" : "NOT MET");
        }
        // The index must have reached the end of the file.
        if (r.frames != info.frames || r.entries != info.frames / (kGroupFrames / 2))
            std::printf("  INDEX INCOMPLETE: %u video frames and %u key frames of %llu and %llu written\n",
                        r.frames, r.entries, static_cast<unsigned long long>(info.frames),
                        static_cast<unsigned long long>(info.frames / (kGroupFrames / 2)));
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        for (int kind = 0; kind < BIG_FILE_KINDS; ++kind)
            PrintIndex(kind);
        for (const auto &[name, r] : g_seek) {
            std::printf("seek by %-5s (%u random, paused, %s recording): median %.2f ms, p99 %.2f ms, "
                        "max %.2f ms; target median < %.0f ms, ratio %.3f (%s)",
                        name.c_str(), kSeekCount, BigFileLabel(BIG_FILE_SAMPLE), r.medianMs, r.p99Ms, r.maxMs,
                        kSeekTargetMs, r.medianMs / kSeekTargetMs,
                        r.medianMs < kSeekTargetMs ? "met" : "NOT MET");
            if (r.failed)
                std::printf("; %u FAILED, first 0x%08X", r.failed, static_cast<unsigned>(r.firstFailure));
            if (r.missed)
                std::printf("; %u landed elsewhere, first: %s", r.missed, r.firstMiss.c_str());
            if (r.groupEnd)
                std::printf("; %u stopped at the end of the group before (time after its last frame)",
                            r.groupEnd);
            if (r.noPicture)
                std::printf("; %u showed no picture of the target frame", r.noPicture);
            std::printf("\n");
        }
        for (const auto &[name, r] : g_backward) {
            const double picture = double(r.width) * r.height * 1.5;
            std::printf(
                "backward play 1080p, key frame every %u (%s): peak %u pictures x %.0f bytes = %.1f MiB; "
                "bound %u pictures = %.1f MiB; ratio %.2f (%s); measured distance %u; %u pictures "
                "decoded in %.2f s\n",
                kBackwardBound, name.c_str(), r.peak, picture, r.peak * picture / 1048576.0, kBackwardBound,
                kBackwardBound * picture / 1048576.0, double(r.peak) / kBackwardBound,
                r.peak <= kBackwardBound + 1 ? "within one group" : "ABOVE one group", r.distance, r.decoded,
                r.seconds);
        }
        PrintLongGroups();
    }

    // Backward against forward on the 250-frame groups: medians over the
    // rounds of pictures per second (wall and processor time) and of the
    // peak resident memory each pass added to its opened player, also
    // counted in pictures.
    static void PrintLongGroups() {
        const LongGroupResult &g = g_longGroup;
        if (g.backward.empty() || g.forward.size() != g.backward.size()) {
            std::printf("backward play 1080p, key frame every %u: not measured\n", kLongGroup);
            return;
        }
        const double picture = double(kLongWidth) * kLongHeight * 1.5;
        auto median = [](const std::vector<PassResult> &v, auto figure) {
            std::vector<double> x;
            for (const PassResult &r : v)
                x.push_back(figure(r));
            std::sort(x.begin(), x.end());
            return x.empty()      ? 0.0
                   : x.size() % 2 ? x[x.size() / 2]
                                  : (x[x.size() / 2 - 1] + x[x.size() / 2]) / 2;
        };
        auto rate = [](const PassResult &r) { return r.seconds > 0 ? r.shown / r.seconds : 0.0; };
        auto cpuMs = [](const PassResult &r) { return r.shown ? r.cpuSeconds * 1000.0 / r.shown : 0.0; };
        auto peakMiB = [](const PassResult &r) {
            return double(r.peakKb - std::min(r.peakKb, r.baseKb)) / 1024.0;
        };
        const double backRate = median(g.backward, rate), fwdRate = median(g.forward, rate);
        const double backCpu = median(g.backward, cpuMs), fwdCpu = median(g.forward, cpuMs);
        const double backPeak = median(g.backward, peakMiB), fwdPeak = median(g.forward, peakMiB);
        uint32_t held = 0, backPictures = 0, fwdPictures = 0, shown = 0;
        bool peakKnown = true;
        for (size_t i = 0; i < g.backward.size(); ++i) {
            held = std::max(held, g.backward[i].peakHeld);
            backPictures = g.backward[i].pictures;
            fwdPictures = g.forward[i].pictures;
            shown = g.backward[i].shown;
            peakKnown = peakKnown && g.backward[i].peakKnown && g.forward[i].peakKnown;
        }
        double loadLow = g.loads[0], loadHigh = g.loads[0];
        for (double l : g.loads) {
            loadLow = std::min(loadLow, l);
            loadHigh = std::max(loadHigh, l);
        }
        const double pictureMiB = picture / 1048576.0;
        std::printf(
            "backward play 1080p, key frame every %u (%u frames, 4 Mbit/s, %zu rounds, load %.2f..%.2f):\n",
            kLongGroup, kLongGroupFrames, g.backward.size(), loadLow, loadHigh);
        std::printf(
            "  speed, pictures shown per second: backward %.1f (%.2f ms processor time per picture shown, %u "
            "decode callbacks with a picture for %u shown), forward %.1f (%.2f ms, %u callbacks); "
            "backward/forward rate ratio %.3f, processor time ratio %.3f\n",
            backRate, backCpu, backPictures, shown, fwdRate, fwdCpu, fwdPictures,
            fwdRate > 0 ? backRate / fwdRate : 0.0, fwdCpu > 0 ? backCpu / fwdCpu : 0.0);
        std::printf(
            "  pictures held: backward peak %u in its lists (%.1f MiB; group %u, ratio to the group %.2f, to "
            "a 32-picture bound %.2f)\n",
            held, held * pictureMiB, kLongGroup, double(held) / kLongGroup, held / 32.0);
        if (peakKnown)
            std::printf(
                "  peak resident memory added by the pass: backward %.1f MiB (%.1f pictures of %.2f MiB), "
                "forward %.1f MiB (%.1f pictures); backward/forward ratio %.2f\n",
                backPeak, backPeak / pictureMiB, pictureMiB, fwdPeak, fwdPeak / pictureMiB,
                fwdPeak > 0 ? backPeak / fwdPeak : 0.0);
        else
            std::printf("  peak resident memory: not measured (/proc/self/clear_refs not writable)\n");
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
