// Soak of the player through the exported Play_* functions only: many
// cycles of open, play, pause, stop, seek, step, backward play, pulled
// decoding and release, over recordings of every container generation and
// over live stream input, each cycle a short random sequence of actions
// drawn from a printed seed, every result checked against what the player
// must answer. Display and sound stay off, so no device is needed.
//
// Every report interval it prints the process's resident memory, the heap
// in use, its threads and open files; at the end it compares them with the
// figures at cycle 1000 (or half-way in shorter runs): a player that leaks
// shows up as growth there, and as a leak report under AddressSanitizer.
//
//   soak_player [--cycles N] [--seed S] [--first C] [--report-every N]
//               [--max-failures N] [--max-rss-growth-kb K] [--trace]
//               [--only "V20 stream"]
//
// A failing cycle is printed with its actions; "--seed S --first C
// --cycles 1" replays it alone (each cycle draws from the seed and its own
// number only).
#include <qvplay.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include "fixtures/fixture15.h"
#include "fixtures/fixture6000.h"
#include "fixtures/fixtures.h"
#include "fixtures/fixturev10.h"

#if defined(__SANITIZE_ADDRESS__)
#define QV_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV_SOAK_ASAN 1
#endif
#endif
#ifdef QV_SOAK_ASAN
// From the sanitizer runtime (gcc installs no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace {

using Clock = std::chrono::steady_clock;

// Generous: the sanitizers run many times slower than a plain build, and
// the machines are shared.
constexpr uint32_t kWaitMs = 30000;
constexpr uint32_t kVideoFrames = 100; // four groups of 25 frames
constexpr uint32_t kFrameMs = 40;      // every writer spaces video frames 40 ms apart

// ---- Process figures ----

struct Figures {
    uint64_t rssKb = 0;
    uint64_t heapBytes = 0; // allocated and not freed (allocator's count)
    uint32_t threads = 0;
    uint32_t files = 0;
};

uint64_t RssKb() {
    unsigned long long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%llu %llu", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return uint64_t(resident) * uint64_t(sysconf(_SC_PAGESIZE)) / 1024;
}

uint32_t Threads() {
    uint32_t n = 0;
    if (FILE *f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "Threads: %u", &n) == 1)
                break;
        std::fclose(f);
    }
    return n;
}

uint32_t OpenFiles() {
    uint32_t n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (dirent *e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
        --n; // the directory's own descriptor
    }
    return n;
}

Figures Measure() {
    Figures f;
    f.rssKb = RssKb();
#ifdef QV_SOAK_ASAN
    f.heapBytes = __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    f.heapBytes = info.uordblks + info.hblkhd;
#endif
    f.threads = Threads();
    f.files = OpenFiles();
    return f;
}

// ---- Recordings ----

enum class Gen { V30, V20, G6000, G15, V10 };

struct Source {
    std::string name;
    Gen gen = Gen::V30;
    bool bStream = false;
    bool bDecodes = false;  // H.264 that this build decodes (15 and 6000 carry another codec)
    bool bReorders = false; // B frames: pictures leave the decoder later than their frames
    uint16_t wWidth = 0, wHeight = 0;
    std::vector<uint8_t> bytes;
    std::vector<FixtureFrame> frames; // as written, file order
    std::vector<const FixtureFrame *> video;
    std::vector<uint32_t> keyIndex; // video frame indices of the key frames
    std::vector<QV_WCHAR> path;     // files: zero-terminated UTF-16
    uint32_t dwFirst = 0;           // sequence number of the first key frame
    uint32_t dwCount = 0;           // video frames the index reports
    uint32_t dwDuration = 0;        // milliseconds the index reports
    uint32_t dwHeader = 0;          // streams: the file header, the block a stream player opens with

    // Video frame index of the first key frame at or after a file offset, or
    // -1 when none.
    int64_t KeyAtOrAfter(uint64_t offset) const {
        for (const FixtureFrame *f : video)
            if (f->nType == DEMUX_FRAME_I && f->ullOffset >= offset)
                return int64_t(f->dwSequence - dwFirst);
        return -1;
    }
    uint64_t LastKeyOffset() const {
        uint64_t at = 0;
        for (const FixtureFrame *f : video)
            if (f->nType == DEMUX_FRAME_I)
                at = f->ullOffset;
        return at;
    }
};

bool Finish(Source &s) {
    if (s.bytes.empty())
        return false;
    for (const FixtureFrame &f : s.frames)
        if (f.bDelivered && f.nType != DEMUX_FRAME_AUDIO)
            s.video.push_back(&f);
    if (s.video.empty() || s.video.front()->nType != DEMUX_FRAME_I)
        return false;
    s.dwFirst = s.video.front()->dwSequence;
    for (size_t i = 0; i < s.video.size(); ++i)
        if (s.video[i]->nType == DEMUX_FRAME_I)
            s.keyIndex.push_back(uint32_t(i));
    s.dwCount = s.video.back()->dwSequence - s.dwFirst + 1;
    s.dwHeader = uint32_t(s.frames.front().ullOffset);
    s.dwDuration = s.video.back()->dwTimestamp - s.video.front()->dwTimestamp;
    return s.dwCount == s.video.size();
}

Source MakeSource(Gen gen, const char *clip, uint16_t width, uint16_t height) {
    Source s;
    s.gen = gen;
    s.wWidth = width;
    s.wHeight = height;
    switch (gen) {
    case Gen::V30: {
        V30Options o;
        o.videoSample = clip;
        o.wWidth = width;
        o.wHeight = height;
        o.dwVideoFrames = kVideoFrames;
        s.bytes = WriteV30(o, &s.frames);
        s.name = "V30";
        break;
    }
    case Gen::V20: {
        V20Options o;
        o.videoSample = clip;
        o.wWidth = width;
        o.wHeight = height;
        o.dwVideoFrames = kVideoFrames;
        s.bytes = WriteV20(o, &s.frames);
        s.name = "V20";
        break;
    }
    case Gen::G15: {
        Options15 o;
        o.videoSample = clip;
        o.header.wWidth = width;
        o.header.wHeight = height;
        o.dwVideoFrames = kVideoFrames;
        s.bytes = Write15(o, &s.frames);
        s.name = "15";
        break;
    }
    case Gen::V10: {
        V10Options o;
        o.videoSample = clip;
        o.wWidth = width;
        o.wHeight = height;
        o.dwVideoFrames = kVideoFrames;
        s.bytes = WriteV10(o, &s.frames);
        s.name = "V10";
        break;
    }
    case Gen::G6000: {
        Options6000 o;
        o.videoSample = clip;
        o.dwVideoFrames = kVideoFrames;
        s.bytes = Write6000(o, &s.frames);
        s.name = "6000";
        break;
    }
    }
    s.bDecodes = gen == Gen::V30 || gen == Gen::V20 || gen == Gen::V10;
    return s;
}

// ---- What the callbacks saw ----

// One per cycle, on the heap and freed right after the release: a callback
// that came after Play_Release returned would touch freed memory, which
// AddressSanitizer reports.
struct Probe {
    uint16_t wWidth = 0, wHeight = 0;
    std::atomic<uint32_t> parsedVideo{0}, parsedAudio{0}, pictures{0}, pcm{0};
    std::atomic<uint32_t> ended{0}, indexed{0}, almostEmpty{0};
    std::atomic<uint32_t> badPictures{0}, badAudio{0};
    std::mutex lock;
    std::vector<uint32_t> pictureSeqs; // sequence numbers with a picture since Mark()
    std::string firstBad;

    void Mark() {
        std::lock_guard<std::mutex> guard(lock);
        pictureSeqs.clear();
    }
    bool SawPicture(uint32_t seq) {
        std::lock_guard<std::mutex> guard(lock);
        return std::find(pictureSeqs.begin(), pictureSeqs.end(), seq) != pictureSeqs.end();
    }
    void Bad(const char *what, uint32_t seq) {
        std::lock_guard<std::mutex> guard(lock);
        if (firstBad.empty())
            firstBad = std::string(what) + " at frame " + std::to_string(seq);
    }
};

// A picture is whole and at the recording's size (the fixtures' sizes are
// multiples of 16, so nothing is cropped).
bool GoodPicture(const DecodedPicture &p, uint16_t w, uint16_t h) {
    return p.pBuffer != nullptr && p.dwWidth == w && p.dwHeight == h &&
           p.dwBufferSize >= uint32_t(w) * h * 3 / 2 &&
           (p.dwFourCC == VDEC_FOURCC_YV12 || p.dwFourCC == VDEC_FOURCC_NV12);
}

int32_t QV_CALL OnParse(PLAY_HANDLE, FrameRecord *pFrame, void *pContext) {
    Probe *p = static_cast<Probe *>(pContext);
    if (pFrame->nType == DEMUX_FRAME_AUDIO)
        ++p->parsedAudio;
    else
        ++p->parsedVideo;
    return 0;
}

int32_t QV_CALL OnDecode(PLAY_HANDLE, PLAY_FRAME *pFrame, void *pContext) {
    Probe *p = static_cast<Probe *>(pContext);
    const FrameRecord *r = pFrame->pFrame;
    if (r == nullptr) {
        ++p->badPictures;
        p->Bad("decode callback without a frame record", 0);
        return 0;
    }
    if (r->nType == DEMUX_FRAME_AUDIO) {
        const ADEC_OUTPUT &a = pFrame->output.audio;
        if (a.pBuffer == nullptr || a.dwBufferSize == 0) {
            ++p->badAudio;
            p->Bad("audio without PCM", r->dwSequence);
        }
        ++p->pcm;
        return 0;
    }
    const DecodedPicture &pic = pFrame->output.picture;
    if (pic.pBuffer == nullptr)
        return 0;
    if (!GoodPicture(pic, p->wWidth, p->wHeight)) {
        ++p->badPictures;
        p->Bad("picture of the wrong size or format", r->dwSequence);
    }
    // Touch both ends of the picture: a buffer shorter than it claims is
    // reported by AddressSanitizer.
    volatile uint8_t first = pic.pBuffer[0],
                     last = pic.pBuffer[size_t(pic.dwWidth) * pic.dwHeight * 3 / 2 - 1];
    (void)first;
    (void)last;
    {
        std::lock_guard<std::mutex> guard(p->lock);
        p->pictureSeqs.push_back(r->dwSequence);
    }
    ++p->pictures;
    return 0;
}

int32_t QV_CALL OnEnded(PLAY_HANDLE, void *pContext) {
    ++static_cast<Probe *>(pContext)->ended;
    return 0;
}

int32_t QV_CALL OnIndexed(PLAY_HANDLE, void *pContext) {
    ++static_cast<Probe *>(pContext)->indexed;
    return 0;
}

int32_t QV_CALL OnAlmostEmpty(PLAY_HANDLE, uint32_t, void *pContext) {
    ++static_cast<Probe *>(pContext)->almostEmpty;
    return 0;
}

const uint32_t kPixelFormats[] = {PLAY_PIXEL_FORMAT_DEFAULT, PLAY_PIXEL_FORMAT_YV12, PLAY_PIXEL_FORMAT_I420,
                                  PLAY_PIXEL_FORMAT_NV12,    PLAY_PIXEL_FORMAT_UYVY, PLAY_PIXEL_FORMAT_CODE2};

std::string Hex(int32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", unsigned(code));
    return text;
}

// ---- One cycle ----

class CCycle {
public:
    CCycle(const Source &source, uint64_t cycle, uint64_t seed, bool trace)
        : m_src(source), m_cycle(cycle), m_trace(trace), m_rng(seed) {}
    ~CCycle() {
        if (m_h)
            Play_Release(m_h);
        delete m_probe;
    }

    // False when the player answered something it must not.
    bool Run() {
        m_probe = new Probe;
        m_probe->wWidth = m_src.wWidth;
        m_probe->wHeight = m_src.wHeight;
        if (m_src.bStream)
            RunStream();
        else
            RunFile();
        if (m_h)
            Close();
        return m_failure.empty();
    }
    const std::string &Failure() const { return m_failure; }
    const std::vector<std::string> &Steps() const { return m_steps; }

private:
    enum { IDLE = PLAY_STATE_IDLE, PAUSED = PLAY_STATE_PAUSED, PLAYING = PLAY_STATE_PLAYING };

    // ---- Checks ----

    void Step(const char *fmt, ...) {
        char text[256];
        va_list args;
        va_start(args, fmt);
        std::vsnprintf(text, sizeof text, fmt, args);
        va_end(args);
        m_steps.push_back(text);
        if (m_trace)
            std::printf("  [%" PRIu64 "] %s\n", m_cycle, text);
    }
    bool Fail(const std::string &what) {
        if (m_failure.empty())
            m_failure = what;
        return false;
    }
    bool Check(bool ok, const std::string &what) { return ok || Fail(what); }
    bool Expect(int32_t got, std::initializer_list<int32_t> allowed, const char *call) {
        for (int32_t a : allowed)
            if (got == a)
                return true;
        std::string text = std::string(call) + " answered " + Hex(got) + ", expected";
        for (int32_t a : allowed)
            text += " " + Hex(a);
        return Fail(text);
    }
    bool Ok() const { return m_failure.empty(); }

    uint32_t U32(uint32_t code) {
        uint32_t v = 0xDEADBEEF, size = 4;
        const int32_t rc = Play_GetAttribute(m_h, code, &v, &size);
        if (rc != PLAY_OK || size != 4)
            Fail("attribute " + std::to_string(code) + " answered " + Hex(rc));
        return v;
    }
    float Float(uint32_t code) {
        float v = -1;
        uint32_t size = 4;
        const int32_t rc = Play_GetAttribute(m_h, code, &v, &size);
        if (rc != PLAY_OK)
            Fail("attribute " + std::to_string(code) + " answered " + Hex(rc));
        return v;
    }
    int32_t Control(uint32_t code, uint32_t value) {
        return Play_SetControl(m_h, code, &value, sizeof value);
    }
    int32_t Action(uint32_t action) { return Control(PLAY_CONTROL_ACTION, action); }
    int32_t SeekU32(uint32_t kind, uint32_t value) { return Play_Seek(m_h, kind, &value, sizeof value); }
    bool IndexDone() { return U32(PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0; }

    uint32_t Pick(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(m_rng); }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_rng) < p; }

    // Polls until done() holds; false after kWaitMs.
    bool WaitUntil(const std::function<bool()> &done) {
        const auto end = Clock::now() + std::chrono::milliseconds(kWaitMs);
        while (!done()) {
            if (Clock::now() >= end)
                return done();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // The state and direction the player reports are the ones the actions
    // so far must have left.
    void CheckState(const char *after) {
        if (!Ok())
            return;
        const uint32_t state = U32(PLAY_ATTRIBUTE_STATE);
        Check(state == m_state, std::string("state ") + std::to_string(state) + " after " + after +
                                    ", expected " + std::to_string(m_state));
        if (!m_src.bStream) {
            const uint32_t backward = U32(PLAY_ATTRIBUTE_PLAY_BACKWARD);
            Check((backward != 0) == m_backward,
                  std::string("backward flag ") + std::to_string(backward) + " after " + after);
        }
    }

    void RegisterCallbacks(bool file) {
        auto reg = [&](uint32_t kind, void *fn, uint32_t param) {
            PLAY_CALLBACK_PARAM cb{};
            cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(fn);
            cb.pContext = m_probe;
            cb.dwParam = param;
            Expect(Play_RegisterCallbackFunction(m_h, kind, &cb, PLAY_CALLBACK_PARAM_SIZE), {PLAY_OK},
                   "Play_RegisterCallbackFunction");
        };
        reg(PLAY_CALLBACK_STREAM_PARSE, reinterpret_cast<void *>(&OnParse), 0);
        reg(PLAY_CALLBACK_DECODE, reinterpret_cast<void *>(&OnDecode), kPixelFormats[Pick(6)]);
        if (file) {
            reg(PLAY_CALLBACK_FILE_ENDED, reinterpret_cast<void *>(&OnEnded), 0);
            reg(PLAY_CALLBACK_FILE_INDEX_COMPLETED, reinterpret_cast<void *>(&OnIndexed), 0);
        }
    }

    void SetFlags(uint32_t flags) {
        Expect(Control(PLAY_CONTROL_ENABLE, flags), {PLAY_OK}, "enable flags");
        // None of the flags used here is changed by normalisation, except
        // that pulling sets NO_CPU_LIMIT.
        const uint32_t expected =
            flags & PLAY_ENABLE_DECODE_ON_DEMAND ? flags | PLAY_ENABLE_NO_CPU_LIMIT : flags;
        const uint32_t got = U32(PLAY_ATTRIBUTE_ENABLE);
        Check(got == expected,
              "enable flags read back " + Hex(int32_t(got)) + ", set " + Hex(int32_t(flags)));
    }

    void Close() {
        Step("release");
        const bool indexSeen = !m_src.bStream && m_indexSeen;
        Expect(Play_Release(m_h), {PLAY_OK}, "Play_Release");
        // The registry of live players answers for a released handle without
        // reading the freed object.
        uint32_t v = 0, size = 4;
        Expect(Play_GetAttribute(m_h, PLAY_ATTRIBUTE_STATE, &v, &size), {PLAY_E_INVALID_HANDLE},
               "Play_GetAttribute on the released handle");
        m_h = nullptr;
        if (!m_src.bStream) {
            // Once per registration, and surely once when the index was seen
            // complete while it was registered.
            const uint32_t fired = m_probe->indexed.load();
            Check(fired <= 1, "index-completed callback fired " + std::to_string(fired) + " times");
            Check(!indexSeen || fired == 1, "index completed but its callback never fired");
        }
        Check(m_probe->badPictures == 0 && m_probe->badAudio == 0, "decode callback: " + m_probe->firstBad);
    }

    // ---- Files ----

    bool WaitIndex() {
        if (WaitUntil([&] { return IndexDone() || !Ok(); })) {
            m_indexSeen = true;
            return true;
        }
        return Fail("the index did not complete");
    }

    // The frame index the player reports once paused.
    uint32_t Index() { return U32(PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX); }

    void RunFile() {
        PLAY_CREATE_PARAM p{};
        p.dwSize = PLAY_CREATE_PARAM_SIZE;
        p.dwType = PLAY_MODE_FILE;
        p.pSource = m_src.path.data();
        Step("open %s file", m_src.name.c_str());
        if (!Expect(Play_CreateW(&m_h, &p), {PLAY_OK}, "Play_CreateW") ||
            !Check(m_h != nullptr, "null handle"))
            return;
        Check(U32(PLAY_ATTRIBUTE_MODE) == PLAY_MODE_FILE, "mode attribute is not file");
        {
            uint64_t size = 0;
            uint32_t n = 8;
            Expect(Play_GetAttribute(m_h, PLAY_ATTRIBUTE_FILE_SIZE, &size, &n), {PLAY_OK},
                   "file size attribute");
            Check(size == m_src.bytes.size(), "file size attribute " + std::to_string(size));
        }
        RegisterCallbacks(true);
        m_flags = PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT;
        if (Chance(0.3))
            m_flags |= PLAY_ENABLE_MULTITHREAD_DECODE;
        SetFlags(m_flags);
        const float speeds[] = {64.0f, 64.0f, 32.0f, 8.0f};
        m_speed = speeds[Pick(4)];
        Expect(Play_SetControl(m_h, PLAY_CONTROL_SPEED, &m_speed, 4), {PLAY_OK}, "speed");
        // Mostly after the index is complete; sometimes at once, while the
        // index thread still runs.
        if (Chance(0.75))
            m_indexAtStart = WaitIndex();
        const uint32_t actions = 2 + Pick(6);
        for (uint32_t i = 0; i < actions && Ok(); ++i) {
            const uint32_t what = Pick(100);
            if (what < 18)
                PlayForward();
            else if (what < 28)
                Pause();
            else if (what < 33)
                Stop();
            else if (what < 53)
                Seek();
            else if (what < 68)
                StepFrames();
            else if (what < 83)
                Backward();
            else if (what < 88)
                Speed();
            else if (what < 93)
                Attributes();
            else
                Pull();
        }
        if (Ok() && Chance(0.5))
            Attributes();
    }

    // Waits for some frames to be played (or for the end of the file, or its
    // start going backward).
    void WaitProgress(const char *what) {
        const uint32_t want = 1 + Pick(15);
        const uint32_t parsed0 = m_probe->parsedVideo, pictures0 = m_probe->pictures;
        const bool ok = WaitUntil([&] {
            return !Ok() || m_probe->parsedVideo - parsed0 >= want || U32(PLAY_ATTRIBUTE_FILE_ENDED) != 0;
        });
        if (!Ok())
            return;
        if (!ok)
            Fail(std::string("no frame played after ") + what + " in " + std::to_string(kWaitMs) +
                 " ms: " + Snapshot());
        // A new decoder gives its first picture with its first frame, or
        // a few frames later with B frames: a handful of frames brings one.
        const uint32_t parsed = m_probe->parsedVideo - parsed0;
        if (m_src.bDecodes && parsed >= 8)
            Check(WaitUntil([&] { return m_probe->pictures > pictures0; }),
                  std::string("no picture after ") + what + " played " + std::to_string(parsed) + " frames");
    }

    void PlayForward() {
        const bool complete = IndexDone();
        Step("play forward (was %s%s)", m_backward ? "backward " : "", StateName());
        const int32_t rc = Action(PLAY_ACTION_PLAY_FORWARD);
        // From backward play the player seeks forward to the frame shown,
        // which needs index entries.
        if (m_backward && !complete
                ? !Expect(rc, {PLAY_OK, PLAY_E_NOT_FOUND, PLAY_E_INDEX_NOT_READY}, "play forward")
                : !Expect(rc, {PLAY_OK}, "play forward"))
            return;
        if (rc != PLAY_OK) {
            Adopt();
            return;
        }
        m_state = PLAYING;
        m_backward = false;
        CheckState("play forward");
        WaitProgress("play forward");
    }

    void Pause() {
        Step("pause (was %s)", StateName());
        if (!Expect(Action(PLAY_ACTION_PAUSE), {PLAY_OK}, "pause"))
            return;
        m_state = PAUSED;
        CheckState("pause");
    }

    void Stop() {
        Step("stop (was %s)", StateName());
        if (!Expect(Action(PLAY_ACTION_STOP), {PLAY_OK}, "stop"))
            return;
        m_state = IDLE;
        CheckState("stop");
        Check(Index() == 0, "frame index not 0 after stop");
        Check(U32(PLAY_ATTRIBUTE_FILE_ENDED) == 0, "file still ended after stop");
    }

    // What the player reports, for a failure's message.
    std::string Snapshot() {
        uint32_t v[6] = {};
        const uint32_t codes[6] = {PLAY_ATTRIBUTE_STATE,
                                   PLAY_ATTRIBUTE_PLAY_BACKWARD,
                                   PLAY_ATTRIBUTE_FILE_ENDED,
                                   PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX,
                                   PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT,
                                   PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED};
        for (int i = 0; i < 6; ++i) {
            uint32_t size = 4;
            Play_GetAttribute(m_h, codes[i], &v[i], &size);
        }
        char text[256];
        std::snprintf(
            text, sizeof text,
            "state %u, backward %u, ended %u, frame index %u, buffered %u, index complete %u; callbacks: "
            "%u video frames parsed, %u pictures, %u ended",
            v[0], v[1], v[2], v[3], v[4], v[5], m_probe->parsedVideo.load(), m_probe->pictures.load(),
            m_probe->ended.load());
        return text;
    }

    // After a refusal the model takes the player's word for its state.
    void Adopt() {
        m_state = U32(PLAY_ATTRIBUTE_STATE);
        m_backward = U32(PLAY_ATTRIBUTE_PLAY_BACKWARD) != 0;
    }

    const char *StateName() const {
        return m_state == IDLE ? "idle" : m_state == PAUSED ? "paused" : m_state == PLAYING ? "playing" : "?";
    }

    // One seek of a random kind and value; where the player is paused, the
    // frame it lands on and its picture are checked.
    void Seek() {
        const uint32_t kind = 1 + Pick(3);
        const bool complete = IndexDone();
        const uint32_t count = m_src.dwCount;
        uint32_t value = 0;
        float ratio = 0;
        int64_t target = -1; // frame index expected, when known
        bool invalid = false;
        if (kind == PLAY_SEEK_INDEX) {
            value = Chance(0.05) ? count : Pick(count);
            invalid = value >= count;
            target = value;
        } else if (kind == PLAY_SEEK_TIME) {
            const uint32_t frame = Pick(count);
            value = Chance(0.05) ? m_src.dwDuration + 1 : frame * kFrameMs;
            invalid = value > m_src.dwDuration;
            target = frame;
        } else if (m_backward) {
            // The time it becomes lies between two frames: the one before.
            const uint32_t frame = Pick(count - 1);
            ratio = float((double(frame) * kFrameMs + kFrameMs / 2.0) / m_src.dwDuration);
            target = frame;
        } else {
            // The first key frame at or after the offset; none after the
            // last one's offset.
            const double last = double(m_src.LastKeyOffset()) / double(m_src.bytes.size());
            ratio = float(std::uniform_real_distribution<double>(0, last)(m_rng));
            target = m_src.KeyAtOrAfter(uint64_t(double(m_src.bytes.size()) * double(ratio)));
            if (Chance(0.03)) {
                ratio = 1.0f;
                invalid = true;
            }
        }
        const char *kindName = kind == PLAY_SEEK_INDEX ? "index" : kind == PLAY_SEEK_TIME ? "time" : "ratio";
        if (kind == PLAY_SEEK_RATIO)
            Step("seek ratio %.6f (%s, %s, index %s)", double(ratio), StateName(),
                 m_backward ? "backward" : "forward", complete ? "complete" : "building");
        else
            Step("seek %s %u (%s, %s, index %s)", kindName, value, StateName(),
                 m_backward ? "backward" : "forward", complete ? "complete" : "building");
        // The index next to the frame shown (one on, or one back going
        // backward) is the single step; going backward it shows a picture
        // decoded with its group earlier.
        const uint32_t shown = m_state == PAUSED ? Index() : 0;
        const bool step = m_state == PAUSED && kind == PLAY_SEEK_INDEX &&
                          (m_backward ? value + 1 == shown : value == shown + 1);
        m_probe->Mark();
        const int32_t rc = kind == PLAY_SEEK_RATIO ? Play_Seek(m_h, kind, &ratio, 4) : SeekU32(kind, value);
        // Argument checks come first, then the index, then the state.
        std::vector<int32_t> allowed;
        const bool needsIndex = kind != PLAY_SEEK_RATIO || m_backward;
        if (kind == PLAY_SEEK_RATIO && invalid)
            allowed = {PLAY_E_INVALID_VALUE};
        else if (needsIndex && !complete)
            allowed = {PLAY_E_INDEX_NOT_READY, invalid           ? PLAY_E_INVALID_VALUE
                                               : m_state == IDLE ? PLAY_E_NOT_SUPPORTED
                                                                 : PLAY_OK};
        else if (invalid)
            allowed = {PLAY_E_INVALID_VALUE};
        else if (m_state == IDLE)
            allowed = {PLAY_E_NOT_SUPPORTED};
        else
            allowed = {PLAY_OK};
        bool ok = false;
        for (int32_t a : allowed)
            ok = ok || rc == a;
        if (!ok) {
            std::string text = std::string("seek by ") + kindName + " answered " + Hex(rc) + ", expected";
            for (int32_t a : allowed)
                text += " " + Hex(a);
            Fail(text);
            return;
        }
        if (rc != PLAY_OK || m_state != PAUSED)
            return;
        // Before the index has its first key frame, frame indices count from
        // the recording's own first sequence number.
        CheckLanding(complete ? target : -1, kindName, !(step && m_backward), step);
    }

    // Paused after a seek: the player shows the frame and, where this build
    // decodes the recording without reordering, delivered its picture.
    // With B frames each picture comes with its own frame, in display
    // order, which is not the order of the frame numbers: a step shows the
    // next picture in display order, and only a seek to a key frame is sure
    // to land on the frame asked for.
    void CheckLanding(int64_t target, const char *what, bool decodedNow, bool step) {
        CheckState(what);
        if (target < 0 || !Ok())
            return;
        if (m_src.bReorders && (step || std::find(m_src.keyIndex.begin(), m_src.keyIndex.end(),
                                                  uint32_t(target)) == m_src.keyIndex.end()))
            return;
        const uint32_t index = Index();
        Check(index == uint32_t(target), std::string("seek by ") + what + " landed on frame " +
                                             std::to_string(index) + ", expected " + std::to_string(target));
        Check(U32(PLAY_ATTRIBUTE_FILE_ENDED) == 0, std::string("file ended after a seek by ") + what);
        if (m_src.bDecodes && !m_src.bReorders && decodedNow)
            Check(m_probe->SawPicture(m_src.dwFirst + uint32_t(target)),
                  std::string("no picture of frame ") + std::to_string(target) + " after a seek by " + what);
    }

    // Single frames: pause, then the frame index one on (one back while the
    // direction is backward).
    void StepFrames() {
        if (!WaitIndex())
            return;
        Step("pause to step (was %s)", StateName());
        if (!Expect(Action(PLAY_ACTION_PAUSE), {PLAY_OK}, "pause"))
            return;
        m_state = PAUSED;
        const uint32_t steps = 1 + Pick(5);
        for (uint32_t i = 0; i < steps && Ok(); ++i) {
            const uint32_t index = Index();
            if (m_backward && index == 0)
                return;
            const uint32_t target = m_backward ? index - 1 : index + 1;
            Step("step %s from %u", m_backward ? "back" : "on", index);
            m_probe->Mark();
            const int32_t rc = SeekU32(PLAY_SEEK_INDEX, target);
            if (target >= m_src.dwCount) {
                Expect(rc, {PLAY_E_INVALID_VALUE}, "step past the last frame");
                return;
            }
            if (!Expect(rc, {PLAY_OK}, "step"))
                return;
            CheckLanding(target, "step", !m_backward, true);
        }
    }

    void Backward() {
        const bool complete = IndexDone();
        const uint32_t before = m_state == PAUSED ? Index() : 0;
        Step("play backward (was %s%s, index %s)", m_backward ? "backward " : "", StateName(),
             complete ? "complete" : "building");
        const int32_t rc = Action(PLAY_ACTION_PLAY_BACKWARD);
        if (complete ? !Expect(rc, {PLAY_OK}, "play backward")
                     : !Expect(rc, {PLAY_OK, PLAY_E_NOT_FOUND, PLAY_E_INDEX_NOT_READY}, "play backward"))
            return;
        if (rc != PLAY_OK) {
            Adopt();
            return;
        }
        m_state = PLAYING;
        m_backward = true;
        CheckState("play backward");
        WaitProgress("play backward");
        if (!Ok())
            return;
        // Going backward the index only falls; at the start it is 0.
        if (U32(PLAY_ATTRIBUTE_FILE_ENDED) != 0) {
            Check(Index() == 0, "backward play ended away from the first frame");
        } else if (before != 0) {
            const uint32_t now = Index();
            Check(now <= before,
                  "backward play went from frame " + std::to_string(before) + " to " + std::to_string(now));
        }
    }

    void Speed() {
        // Out of range values are clamped; then a speed that plays quickly.
        const float high = 100.0f, low = 0.001f;
        Step("speed clamps");
        Expect(Play_SetControl(m_h, PLAY_CONTROL_SPEED, &high, 4), {PLAY_OK}, "speed 100");
        Check(Float(PLAY_ATTRIBUTE_SPEED) == PLAY_SPEED_MAX, "speed 100 not clamped to 64");
        Expect(Play_SetControl(m_h, PLAY_CONTROL_SPEED, &low, 4), {PLAY_OK}, "speed 0.001");
        Check(Float(PLAY_ATTRIBUTE_SPEED) == PLAY_SPEED_MIN, "speed 0.001 not clamped to 1/64");
        const float speeds[] = {64.0f, 16.0f, 8.0f};
        m_speed = speeds[Pick(3)];
        Expect(Play_SetControl(m_h, PLAY_CONTROL_SPEED, &m_speed, 4), {PLAY_OK}, "speed");
        Check(Float(PLAY_ATTRIBUTE_SPEED) == m_speed, "speed not read back");
    }

    // Every attribute answers with its size; the file's figures are those
    // written once the index is complete.
    void Attributes() {
        Step("attributes");
        static const uint32_t sizes[] = {0, 4, 4, 4, 4, 4, 4, 24, 4, 4,  4,  4,  4,  4,  8,  8, 4,
                                         4, 4, 4, 4, 4, 4, 4, 4,  4, 80, 48, 32, 24, 48, 24, 24};
        alignas(8) uint8_t buffer[128];
        for (uint32_t code = PLAY_ATTRIBUTE_FIRST; code < PLAY_ATTRIBUTE_RESERVED && Ok(); ++code) {
            uint32_t size = sizeof buffer;
            const int32_t rc = Play_GetAttribute(m_h, code, buffer, &size);
            Expect(rc, {PLAY_OK}, ("attribute " + std::to_string(code)).c_str());
            Check(size == sizes[code], "attribute " + std::to_string(code) + " size " + std::to_string(size));
            if (code >= PLAY_ATTRIBUTE_DEMUX_STATUS && rc == PLAY_OK) {
                uint32_t first = 0;
                std::memcpy(&first, buffer, 4);
                Check(first == sizes[code],
                      "status record " + std::to_string(code) + " size field " + std::to_string(first));
            }
        }
        uint32_t size = sizeof buffer;
        Expect(Play_GetAttribute(m_h, PLAY_ATTRIBUTE_RESERVED, buffer, &size), {PLAY_E_NOT_SUPPORTED},
               "reserved attribute");
        size = sizeof buffer;
        Expect(Play_GetAttribute(m_h, PLAY_ATTRIBUTE_LAST + 1, buffer, &size), {PLAY_E_INVALID_VALUE},
               "attribute past the last");
        if (m_src.bStream || !Ok())
            return;
        if (IndexDone()) {
            m_indexSeen = true;
            const uint32_t frames = U32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
            const uint32_t duration = U32(PLAY_ATTRIBUTE_FILE_DURATION);
            Check(frames == m_src.dwCount,
                  "frame count " + std::to_string(frames) + ", written " + std::to_string(m_src.dwCount));
            Check(duration == m_src.dwDuration, "duration " + std::to_string(duration) + " ms, written " +
                                                    std::to_string(m_src.dwDuration));
        }
        // Frames played before the index found its first key frame count
        // from the recording's own first sequence number.
        const uint32_t index = Index();
        Check(!m_indexAtStart || index < m_src.dwCount,
              "frame index " + std::to_string(index) + " beyond the file");
        const uint32_t width = U32(PLAY_ATTRIBUTE_PICTURE_WIDTH);
        if (m_src.bDecodes)
            Check(width == 0 || width == m_src.wWidth, "picture width " + std::to_string(width));
    }

    // Decoding on demand from a paused file player: frames come in file
    // order, every video frame with its picture where this build decodes
    // the recording; the caller owns them until it frees them, in any order.
    void Pull() {
        if (m_backward)
            return;
        if (m_state == PLAYING) {
            Step("pause to pull");
            if (!Expect(Action(PLAY_ACTION_PAUSE), {PLAY_OK}, "pause"))
                return;
            m_state = PAUSED;
        }
        const uint32_t pulls = 1 + Pick(30);
        Step("pull %u frames (%s)", pulls, StateName());
        SetFlags(m_flags | PLAY_ENABLE_DECODE_ON_DEMAND);
        Expect(Action(PLAY_ACTION_PAUSE), {PLAY_E_NOT_SUPPORTED}, "pause while decoding on demand");
        PLAY_FRAME *pFrame = nullptr;
        Expect(Play_GetDecodeFrame(m_h, 0x12345678, &pFrame), {PLAY_E_BAD_PIXEL_FORMAT}, "bad pixel format");
        std::vector<PLAY_FRAME *> held;
        int64_t lastSeq = -1;
        std::vector<uint32_t> seen;
        uint32_t videoPulled = 0, pictures = 0;
        for (uint32_t i = 0; i < pulls && Ok(); ++i) {
            pFrame = nullptr;
            const int32_t rc = Play_GetDecodeFrame(m_h, kPixelFormats[Pick(6)], &pFrame);
            if (rc == PLAY_E_NO_FRAME) {
                Check(U32(PLAY_ATTRIBUTE_FILE_ENDED) != 0, "no frame to pull before the end of the file");
                break;
            }
            if (!Expect(rc, {PLAY_OK}, "Play_GetDecodeFrame") ||
                !Check(pFrame && pFrame->pFrame, "empty frame"))
                break;
            const FrameRecord *r = pFrame->pFrame;
            if (r->nType != DEMUX_FRAME_AUDIO) {
                CheckOrder(r->dwSequence, &lastSeq, &seen);
                ++videoPulled;
                if (pFrame->output.picture.pBuffer != nullptr) {
                    ++pictures;
                    Check(GoodPicture(pFrame->output.picture, m_src.wWidth, m_src.wHeight),
                          "pulled picture of the wrong size");
                }
            }
            held.push_back(pFrame);
            // Hold a few, give them back in a random order.
            while (held.size() > Pick(4)) {
                const size_t at = Pick(uint32_t(held.size()));
                Expect(Play_FreeDecodeFrame(m_h, held[at]), {PLAY_OK}, "Play_FreeDecodeFrame");
                held.erase(held.begin() + ptrdiff_t(at));
            }
        }
        for (PLAY_FRAME *f : held)
            Expect(Play_FreeDecodeFrame(m_h, f), {PLAY_OK}, "Play_FreeDecodeFrame");
        if (m_src.bDecodes && !m_src.bReorders && videoPulled >= 2)
            Check(pictures + 1 >= videoPulled, std::to_string(videoPulled) + " video frames pulled, " +
                                                   std::to_string(pictures) + " with a picture");
        SetFlags(m_flags);
        CheckState("pulling");
    }

    // Pulled video frames come one after the other; with B frames each
    // comes with its own picture, in the order the pictures leave the
    // decoder, so only once each (the file's restart at its end aside).
    void CheckOrder(uint32_t seq, int64_t *pLast, std::vector<uint32_t> *pSeen) {
        if (seq == m_src.dwFirst)
            pSeen->clear();
        if (m_src.bReorders) {
            Check(std::find(pSeen->begin(), pSeen->end(), seq) == pSeen->end(),
                  "frame " + std::to_string(seq) + " pulled twice");
            pSeen->push_back(seq);
        } else {
            Check(*pLast < 0 || seq == uint32_t(*pLast) + 1 || seq == m_src.dwFirst,
                  "pulled frame " + std::to_string(seq) + " after " + std::to_string(*pLast));
        }
        *pLast = seq;
    }

    // ---- Live stream ----

    // The bytes after the header block, in chunks of random size (some a
    // single byte, some several frames), pushed with Play_InputData; the
    // frames are pulled (decode on demand) or played by the play thread.
    // Without the buffer-almost-empty callback the player may skip to a
    // key frame to catch up, so the exact count is checked only with it.
    void RunStream() {
        PLAY_CREATE_PARAM p{};
        p.dwSize = PLAY_CREATE_PARAM_SIZE;
        p.dwType = PLAY_MODE_STREAM;
        p.pSource = m_src.bytes.data();
        p.dwSourceSize = m_src.dwHeader;
        const bool pull = Chance(0.5);
        const bool paced = !pull && Chance(0.7);
        Step("open %s stream (%s%s)", m_src.name.c_str(), pull ? "pulled" : "played",
             paced ? ", buffer callback" : "");
        if (!Expect(Play_CreateW(&m_h, &p), {PLAY_OK}, "Play_CreateW") ||
            !Check(m_h != nullptr, "null handle"))
            return;
        Check(U32(PLAY_ATTRIBUTE_MODE) == PLAY_MODE_STREAM, "mode attribute is not stream");
        RegisterCallbacks(false);
        if (paced) {
            PLAY_CALLBACK_PARAM cb{};
            cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(&OnAlmostEmpty);
            cb.pContext = m_probe;
            cb.dwParam = 1 + Pick(PLAY_BUFFER_THRESHOLD_MAX);
            Expect(Play_RegisterCallbackFunction(m_h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &cb,
                                                 PLAY_CALLBACK_PARAM_SIZE),
                   {PLAY_OK}, "buffer callback");
        }
        m_flags = PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE |
                  (pull ? PLAY_ENABLE_DECODE_ON_DEMAND : PLAY_ENABLE_NO_CPU_LIMIT);
        SetFlags(m_flags);
        m_speed = 64.0f;
        Expect(Play_SetControl(m_h, PLAY_CONTROL_SPEED, &m_speed, 4), {PLAY_OK}, "speed");
        // What a stream player refuses.
        Expect(SeekU32(PLAY_SEEK_INDEX, 0), {PLAY_E_NOT_SUPPORTED}, "seek on a stream");
        Expect(Action(PLAY_ACTION_PLAY_BACKWARD), {PLAY_E_NOT_SUPPORTED}, "backward on a stream");
        PLAY_FRAME *pFrame = nullptr;
        if (!pull) {
            Expect(Play_GetDecodeFrame(m_h, 0, &pFrame), {PLAY_E_NOT_SUPPORTED},
                   "pull without decode on demand");
            Expect(Action(PLAY_ACTION_PLAY_FORWARD), {PLAY_OK}, "play");
            m_state = PLAYING;
        } else {
            Expect(Play_GetDecodeFrame(m_h, 0, &pFrame), {PLAY_E_NO_FRAME}, "pull from an empty stream");
        }

        // Frames expected: every video frame from the first key frame that
        // starts at or after where the input (re)started.
        uint64_t restart = m_src.dwHeader;
        const size_t size = m_src.bytes.size();
        // Sometimes the client gives up half-way and releases with data queued.
        const size_t stopAt = Chance(0.15) ? m_src.dwHeader + Pick(uint32_t(size - m_src.dwHeader)) : size;
        size_t at = m_src.dwHeader;
        int64_t lastSeq = -1;
        std::vector<uint32_t> seen;
        uint32_t pulledVideo = 0, pulledPictures = 0;
        auto pullAll = [&] {
            for (;;) {
                PLAY_FRAME *f = nullptr;
                const int32_t rc = Play_GetDecodeFrame(m_h, kPixelFormats[Pick(6)], &f);
                if (rc == PLAY_E_NO_FRAME || rc == PLAY_E_NOT_READY)
                    return;
                if (!Expect(rc, {PLAY_OK}, "Play_GetDecodeFrame") || !Check(f && f->pFrame, "empty frame"))
                    return;
                if (f->pFrame->nType != DEMUX_FRAME_AUDIO) {
                    CheckOrder(f->pFrame->dwSequence, &lastSeq, &seen);
                    ++pulledVideo;
                    if (f->output.picture.pBuffer != nullptr) {
                        ++pulledPictures;
                        Check(GoodPicture(f->output.picture, m_src.wWidth, m_src.wHeight),
                              "pulled picture of the wrong size");
                    }
                }
                Expect(Play_FreeDecodeFrame(m_h, f), {PLAY_OK}, "Play_FreeDecodeFrame");
            }
        };
        while (at < stopAt && Ok()) {
            size_t chunk;
            switch (Pick(4)) {
            case 0:
                chunk = 1 + Pick(64);
                break;
            case 1:
                chunk = 1 + Pick(4096);
                break;
            case 2:
                chunk = 1 + Pick(65536);
                break;
            default:
                chunk = 1 + Pick(1 << 20);
                break;
            }
            chunk = std::min(chunk, stopAt - at);
            const auto giveUp = Clock::now() + std::chrono::milliseconds(kWaitMs);
            int32_t rc;
            while ((rc = Play_InputData(m_h, m_src.bytes.data() + at, uint32_t(chunk))) ==
                   PLAY_E_BUFFER_FULL) {
                // The queue is full: take frames out (or let the play
                // thread do it) and offer the same bytes again.
                if (pull)
                    pullAll();
                else if (m_state != PLAYING && Expect(Action(PLAY_ACTION_PLAY_FORWARD), {PLAY_OK}, "play"))
                    m_state = PLAYING;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (!Ok() || !Check(Clock::now() < giveUp, "input stays refused as buffer full"))
                    break;
            }
            if (!Ok() || !Expect(rc, {PLAY_OK}, "Play_InputData"))
                break;
            at += chunk;
            if (pull) {
                pullAll();
                continue;
            }
            // Now and then an action while the data flows.
            const uint32_t what = Pick(100);
            if (what < 3) {
                Step("pause at byte %zu", at);
                if (Expect(Action(PLAY_ACTION_PAUSE), {PLAY_OK}, "pause"))
                    m_state = PAUSED;
                CheckState("pause");
            } else if (what < 6 && m_state != PLAYING) {
                Step("play at byte %zu", at);
                if (Expect(Action(PLAY_ACTION_PLAY_FORWARD), {PLAY_OK}, "play"))
                    m_state = PLAYING;
                CheckState("play");
            } else if (what < 8) {
                // Everything buffered is dropped; playing starts again at
                // the next key frame pushed.
                Step("stop at byte %zu, then play", at);
                if (Expect(Action(PLAY_ACTION_STOP), {PLAY_OK}, "stop"))
                    m_state = IDLE;
                CheckState("stop");
                Check(U32(PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) == 0, "frame index not 0 after stop");
                restart = at;
                m_probe->parsedVideo = 0;
                m_probe->pictures = 0;
                if (Expect(Action(PLAY_ACTION_PLAY_FORWARD), {PLAY_OK}, "play"))
                    m_state = PLAYING;
            }
        }
        if (!Ok())
            return;
        if (stopAt < size) {
            Step("release with input queued at byte %zu", stopAt);
            return;
        }
        uint32_t expected = 0;
        bool keySeen = false;
        for (const FixtureFrame *f : m_src.video) {
            keySeen = keySeen || (f->nType == DEMUX_FRAME_I && f->ullOffset >= restart);
            expected += keySeen;
        }
        // A live stream has no end: with B frames the last few frames stay
        // in the decoder until more come.
        const uint32_t inDecoder = m_src.bReorders ? 4 : 0;
        if (pull) {
            pullAll();
            Check(pulledVideo <= expected && pulledVideo + inDecoder >= expected,
                  std::to_string(pulledVideo) + " video frames pulled of " + std::to_string(expected) +
                      " pushed");
            if (m_src.bDecodes)
                Check(pulledPictures + inDecoder >= pulledVideo,
                      std::to_string(pulledPictures) + " pictures pulled for " + std::to_string(pulledVideo) +
                          " video frames");
            return;
        }
        if (m_state != PLAYING) {
            Expect(Action(PLAY_ACTION_PLAY_FORWARD), {PLAY_OK}, "play");
            m_state = PLAYING;
        }
        Step("wait for %u frames", expected);
        if (paced) {
            Check(WaitUntil([&] { return m_probe->parsedVideo >= expected || !Ok(); }),
                  std::to_string(m_probe->parsedVideo.load()) + " video frames played of " +
                      std::to_string(expected) + " pushed");
            Check(m_probe->parsedVideo == expected, std::to_string(m_probe->parsedVideo.load()) +
                                                        " video frames played of " +
                                                        std::to_string(expected));
            if (m_src.bDecodes)
                Check(WaitUntil([&] { return m_probe->pictures + inDecoder >= expected; }),
                      std::to_string(m_probe->pictures.load()) + " pictures for " + std::to_string(expected) +
                          " video frames");
            // It comes after the parse callback of the same frame.
            Check(expected == 0 || WaitUntil([&] { return m_probe->almostEmpty > 0; }),
                  "the buffer callback never fired");
        } else if (expected > 0) {
            // Catching up may skip to the last key frame, not beyond.
            Check(WaitUntil([&] { return m_probe->parsedVideo > 0 || !Ok(); }), "no video frame played");
            if (m_src.bDecodes)
                Check(WaitUntil([&] { return m_probe->pictures > 0; }), "no picture played");
        }
    }

    const Source &m_src;
    uint64_t m_cycle;
    bool m_trace;
    std::mt19937_64 m_rng;
    PLAY_HANDLE m_h = nullptr;
    Probe *m_probe = nullptr;
    uint32_t m_state = IDLE;
    bool m_backward = false;
    bool m_indexSeen = false;
    bool m_indexAtStart = false; // complete before anything was played
    uint32_t m_flags = 0;
    float m_speed = 1;
    std::string m_failure;
    std::vector<std::string> m_steps;
};

// ---- Driver ----

struct Options {
    uint64_t cycles = 10000;
    uint64_t seed = 0;
    bool seedGiven = false;
    uint64_t first = 0;
    uint64_t reportEvery = 1000;
    uint64_t maxFailures = 10;
    int64_t maxRssGrowthKb = -1; // fail above this growth; -1: only report
    bool trace = false;
    std::string only; // run only the sources whose "name kind" contains this
};

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](uint64_t *out) {
            if (i + 1 >= argc)
                return false;
            char *end = nullptr;
            *out = std::strtoull(argv[++i], &end, 0);
            return end && *end == 0;
        };
        uint64_t v = 0;
        if (arg == "--cycles" && value(&o->cycles)) {
        } else if (arg == "--seed" && value(&o->seed)) {
            o->seedGiven = true;
        } else if (arg == "--first" && value(&o->first)) {
        } else if (arg == "--report-every" && value(&o->reportEvery) && o->reportEvery > 0) {
        } else if (arg == "--max-failures" && value(&o->maxFailures)) {
        } else if (arg == "--max-rss-growth-kb" && value(&v)) {
            o->maxRssGrowthKb = int64_t(v);
        } else if (arg == "--trace") {
            o->trace = true;
        } else if (arg == "--only" && i + 1 < argc) {
            o->only = argv[++i];
        } else {
            std::fprintf(
                stderr,
                "usage: %s [--cycles N] [--seed S] [--first C] [--report-every N] [--max-failures N] "
                "[--max-rss-growth-kb K] [--trace] [--only SOURCE]\n",
                argv[0]);
            return false;
        }
    }
    return true;
}

// A seed per cycle from the run's seed and the cycle's number (splitmix64),
// so that any cycle can be replayed alone.
uint64_t CycleSeed(uint64_t seed, uint64_t cycle) {
    uint64_t z = seed + 0x9E3779B97F4A7C15ull * (cycle + 1);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void PrintFigures(const char *label, const Figures &f) {
    std::printf("%s: RSS %.1f MiB (%" PRIu64 " KiB), heap in use %.2f MiB (%" PRIu64
                " bytes), threads %u, open files %u\n",
                label, double(f.rssKb) / 1024.0, f.rssKb, double(f.heapBytes) / 1048576.0, f.heapBytes,
                f.threads, f.files);
}

} // namespace

int main(int argc, char **argv) {
    Options o;
    if (!ParseOptions(argc, argv, &o))
        return 2;
    if (!o.seedGiven)
        o.seed = uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) ^ uint64_t(getpid());
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("soak_player: seed %" PRIu64 ", cycles %" PRIu64 " from %" PRIu64 "%s\n", o.seed, o.cycles,
                o.first,
#ifdef QV_SOAK_ASAN
                " (AddressSanitizer: heap figures from its allocator)"
#else
                ""
#endif
    );

    // The recordings, written once into a folder of their own.
    char dirTemplate[] = "/tmp/qv-soak-XXXXXX";
    const char *dir = mkdtemp(dirTemplate);
    if (dir == nullptr) {
        std::perror("mkdtemp");
        return 2;
    }
    // The small clip has no B frames, so every frame's picture comes with
    // it; the 704x576 one reorders.
    constexpr const char *kSmall = "h264_352x288_baseline_cavlc.264";
    constexpr const char *kBFrames = "h264_704x576_high_cabac.264";
    std::vector<Source> sources;
    for (Gen gen : {Gen::V30, Gen::V20, Gen::G6000, Gen::G15, Gen::V10})
        sources.push_back(MakeSource(gen, kSmall, 352, 288));
    sources.push_back(MakeSource(Gen::V30, kBFrames, 704, 576));
    sources.back().name = "V30 B-frames";
    sources.back().bReorders = true;
    // Live streams of the generations that begin with a file header (the
    // block a stream player opens with); the 6000 generation is refused as a
    // stream.
    for (Gen gen : {Gen::V30, Gen::V20, Gen::G15}) {
        sources.push_back(MakeSource(gen, kSmall, 352, 288));
        sources.back().bStream = true;
    }
    sources.push_back(MakeSource(Gen::V30, kBFrames, 704, 576));
    sources.back().name = "V30 B-frames";
    sources.back().bStream = true;
    sources.back().bReorders = true;
    int setupFailed = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
        Source &s = sources[i];
        if (!Finish(s) || (s.bStream && s.dwHeader < PLAY_STREAM_HEADER_MIN)) {
            std::fprintf(stderr, "cannot write the %s recording (samples missing?)\n", s.name.c_str());
            setupFailed = 1;
            continue;
        }
        if (s.bStream)
            continue;
        const std::string path = std::string(dir) + "/rec" + std::to_string(i) + ".qv";
        if (!FixtureWriteFile(path, s.bytes)) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            setupFailed = 1;
        }
        const std::u16string wide = std::filesystem::path(path).u16string();
        s.path.assign(wide.begin(), wide.end());
        s.path.push_back(0);
    }
    auto cleanUp = [&] {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    };
    if (setupFailed) {
        cleanUp();
        return 2;
    }
    std::printf("sources:");
    for (const Source &s : sources)
        std::printf(" %s %s (%u frames, %zu bytes);", s.name.c_str(), s.bStream ? "stream" : "file",
                    s.dwCount, s.bytes.size());
    std::printf("\n");

    const Figures start = Measure();
    PrintFigures("before the first cycle", start);
    const uint64_t baselineCycle = o.cycles >= 2000 ? 1000 : std::max<uint64_t>(1, o.cycles / 2);
    Figures baseline;
    bool haveBaseline = false;
    uint64_t failures = 0, done = 0;
    std::vector<uint64_t> perSource(sources.size(), 0);
    const auto t0 = Clock::now();
    for (uint64_t n = 0; n < o.cycles && failures < o.maxFailures; ++n) {
        const uint64_t cycle = o.first + n;
        const uint64_t cycleSeed = CycleSeed(o.seed, cycle);
        const size_t which = size_t(cycleSeed % sources.size());
        if (!o.only.empty() &&
            (sources[which].name + (sources[which].bStream ? " stream" : " file")).find(o.only) ==
                std::string::npos)
            continue;
        CCycle c(sources[which], cycle, cycleSeed >> 8, o.trace);
        if (!c.Run()) {
            ++failures;
            std::printf("FAILURE in cycle %" PRIu64 " (%s %s): %s\n", cycle, sources[which].name.c_str(),
                        sources[which].bStream ? "stream" : "file", c.Failure().c_str());
            for (const std::string &step : c.Steps())
                std::printf("    %s\n", step.c_str());
            std::printf("    replay: %s --seed %" PRIu64 " --first %" PRIu64 " --cycles 1 --trace\n", argv[0],
                        o.seed, cycle);
        }
        ++perSource[which];
        ++done;
        const bool atBaseline = done == baselineCycle;
        if (atBaseline || done % o.reportEvery == 0 || done == o.cycles) {
            const Figures f = Measure();
            if (atBaseline) {
                baseline = f;
                haveBaseline = true;
            }
            char label[128];
            std::snprintf(label, sizeof label, "cycle %" PRIu64 "/%" PRIu64 ", %.1f s, %" PRIu64 " failures",
                          done, o.cycles, std::chrono::duration<double>(Clock::now() - t0).count(), failures);
            PrintFigures(label, f);
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const Figures end = Measure();
    std::printf("cycles by source:");
    for (size_t i = 0; i < sources.size(); ++i)
        std::printf(" %s %s %" PRIu64 ";", sources[i].name.c_str(), sources[i].bStream ? "stream" : "file",
                    perSource[i]);
    std::printf("\n%" PRIu64 " cycles in %.1f s (%.1f ms a cycle), %" PRIu64 " failures, seed %" PRIu64 "\n",
                done, seconds, done ? seconds * 1000.0 / double(done) : 0.0, failures, o.seed);

    int status = failures ? 1 : 0;
    if (haveBaseline && done > baselineCycle) {
        const int64_t rssGrowth = int64_t(end.rssKb) - int64_t(baseline.rssKb);
        const int64_t heapGrowth = int64_t(end.heapBytes) - int64_t(baseline.heapBytes);
        // Flat: what the allocator holds back and the page cache of the
        // files move a little; a leak of one picture or record per cycle
        // moves the figures by megabytes over a thousand cycles.
#ifdef QV_SOAK_ASAN
        // The sanitizer's quarantine of freed memory fills the resident set
        // over the first cycles: only its allocator's count is judged.
        const bool flat = heapGrowth < 1048576;
#else
        const bool flat = rssGrowth < 4096 && heapGrowth < 1048576;
#endif
        std::printf("memory after cycle %" PRIu64 " to the end (%" PRIu64 " cycles): RSS %" PRIu64
                    " -> %" PRIu64 " KiB (%+" PRId64 " KiB, %+.2f%%), heap in use %" PRIu64 " -> %" PRIu64
                    " bytes (%+" PRId64 "), threads %u -> %u, open files %u -> %u: %s\n",
                    baselineCycle, done - baselineCycle, baseline.rssKb, end.rssKb, rssGrowth,
                    baseline.rssKb ? 100.0 * double(rssGrowth) / double(baseline.rssKb) : 0.0,
                    baseline.heapBytes, end.heapBytes, heapGrowth, baseline.threads, end.threads,
                    baseline.files, end.files, flat ? "flat" : "GREW");
        // Between cycles no player exists: every thread and file a player
        // opened must be gone.
        if (end.threads > baseline.threads || end.files > baseline.files) {
            std::printf("LEAK: threads or open files grew after all players were released\n");
            status = 1;
        }
        if (o.maxRssGrowthKb >= 0 && rssGrowth > o.maxRssGrowthKb) {
            std::printf("RSS grew by %" PRId64 " KiB, more than the %" PRId64 " KiB allowed\n", rssGrowth,
                        o.maxRssGrowthKb);
            status = 1;
        }
    }
    cleanUp();
    std::printf("%s\n", status ? "soak FAILED" : "soak passed");
    return status;
}
