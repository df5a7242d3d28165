// qvplay: plays, inspects and decodes recordings through the public API.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include "playwindow.h"
#include "qvdisplay.h"
#include "qvplay.h"

namespace {

using Clock = std::chrono::steady_clock;

// Exit codes beyond 0 (success) and the command-line parser's own.
constexpr int kExitFailure = 1;  // the library refused or failed
constexpr int kExitNoFile = 3;   // the file cannot be opened
constexpr int kExitNotMedia = 4; // no recording this library recognises
constexpr int kExitTimedOut = 5; // the index did not complete in time

// Consecutive failed pulls tolerated before decode gives up: a decoder that
// holds pictures back (B frames) fails a few pulls in a row, a broken player
// fails them all.
constexpr uint32_t kMaxFailedPulls = 1000;

const char *ResultName(int32_t rc) {
    switch (rc) {
    case PLAY_OK:
        return "ok";
    case PLAY_E_FAIL:
        return "PLAY_E_FAIL";
    case PLAY_E_NOT_SUPPORTED:
        return "PLAY_E_NOT_SUPPORTED";
    case PLAY_E_INVALID_VALUE:
        return "PLAY_E_INVALID_VALUE";
    case PLAY_E_INVALID_HANDLE:
        return "PLAY_E_INVALID_HANDLE";
    case PLAY_E_NULL_POINTER:
        return "PLAY_E_NULL_POINTER";
    case PLAY_E_BAD_SIZE:
        return "PLAY_E_BAD_SIZE";
    case PLAY_E_BAD_PIXEL_FORMAT:
        return "PLAY_E_BAD_PIXEL_FORMAT";
    case PLAY_E_BUFFER_TOO_SMALL:
        return "PLAY_E_BUFFER_TOO_SMALL";
    case PLAY_E_FILE_OPEN:
        return "PLAY_E_FILE_OPEN";
    case PLAY_E_OUT_OF_MEMORY:
        return "PLAY_E_OUT_OF_MEMORY";
    case PLAY_E_NO_FRAME:
        return "PLAY_E_NO_FRAME";
    case PLAY_E_BUFFER_FULL:
        return "PLAY_E_BUFFER_FULL";
    case PLAY_E_NOT_READY:
        return "PLAY_E_NOT_READY";
    case PLAY_E_INDEX_NOT_READY:
        return "PLAY_E_INDEX_NOT_READY";
    case PLAY_E_NOT_FOUND:
        return "PLAY_E_NOT_FOUND";
    default:
        break;
    }
    switch (static_cast<uint32_t>(rc) >> 16) {
    case 0x8AB1:
        return "container parser";
    case 0x8AB2:
        return "OSD renderer";
    case 0x8AB3:
        return "audio decoder";
    case 0x8AB4:
        return "video decoder";
    case 0x92A0:
        return "display";
    case 0x92A1:
        return "sound output";
    default:
        return "unknown";
    }
}

void PrintFailure(const char *what, int32_t rc) {
    std::fprintf(stderr, "qvplay: %s failed: 0x%08X (%s)\n", what, static_cast<unsigned>(rc), ResultName(rc));
}

// UTF-8 to UTF-16 with surrogate pairs; false on a malformed sequence, an
// overlong form, a surrogate code point or a NUL inside the text.
bool Utf8ToUtf16(const std::string &text, std::vector<QV_WCHAR> &out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        uint32_t least = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F, extra = 1, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F, extra = 2, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07, extra = 3, least = 0x10000;
        } else {
            return false;
        }
        if (extra != 0 && i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp == 0 || (extra && cp < least) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<QV_WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<QV_WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<QV_WCHAR>(cp));
        }
        i += extra + 1;
    }
    out.push_back(0);
    return true;
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

const char *GenerationName(uint32_t generation) {
    switch (generation) {
    case DEMUX_GENERATION_V30:
        return "V30";
    case DEMUX_GENERATION_V20:
        return "V20";
    case DEMUX_GENERATION_6000:
        return "6000";
    case DEMUX_GENERATION_15:
        return "15";
    case DEMUX_GENERATION_V10:
        return "V10";
    default:
        return "unknown";
    }
}

const char *AudioCodecName(uint32_t codec) {
    switch (codec) {
    case DEMUX_CODEC_PCM8:
        return "8-bit PCM";
    case DEMUX_CODEC_G711_ALAW:
        return "G.711 A-law";
    case DEMUX_CODEC_G722:
        return "G.722";
    case DEMUX_CODEC_G726:
        return "G.726";
    default:
        return "unknown";
    }
}

std::string VideoCodecName(uint32_t codec) {
    if (codec == DEMUX_CODEC_H264)
        return "H.264";
    // Only H.264 has a software decoder; the others decode on NVIDIA
    // hardware at best.
    return "codec " + std::to_string(codec) +
           (codec >= 4 && codec <= 5 ? " (hardware decoder only)" : " (no decoder)");
}

bool IsVideoType(int32_t type) {
    return type >= DEMUX_FRAME_I && type <= DEMUX_FRAME_DROPPABLE;
}

// The index-completed callback, on the index thread (or at once on the
// registering thread when the index is already complete).
struct IndexWait {
    std::mutex lock;
    std::condition_variable done;
    bool bFired = false;
};

int32_t QV_CALL OnIndexCompleted(PLAY_HANDLE, void *pContext) {
    IndexWait *wait = static_cast<IndexWait *>(pContext);
    std::lock_guard<std::mutex> guard(wait->lock);
    wait->bFired = true;
    wait->done.notify_all();
    return 0;
}

// One file player; released on every way out.
class CFilePlayer {
public:
    CFilePlayer() = default;
    CFilePlayer(const CFilePlayer &) = delete;
    CFilePlayer &operator=(const CFilePlayer &) = delete;
    ~CFilePlayer() {
        if (m_hPlay) {
            // Nothing may call back into the waiter once it is gone.
            Play_RegisterCallbackFunction(m_hPlay, PLAY_CALLBACK_FILE_INDEX_COMPLETED, nullptr, 0);
            Play_Release(m_hPlay);
        }
    }

    // Opens the file; prints why not and answers the exit code.
    int Open(const std::string &path) {
        std::vector<QV_WCHAR> wide;
        if (!Utf8ToUtf16(path, wide)) {
            std::fprintf(stderr, "qvplay: %s: the path is not valid UTF-8\n", path.c_str());
            return kExitNoFile;
        }
        PLAY_CREATE_PARAM param{};
        param.dwSize = PLAY_CREATE_PARAM_SIZE;
        param.dwType = PLAY_MODE_FILE;
        param.pSource = wide.data();
        const int32_t rc = Play_CreateW(&m_hPlay, &param);
        if (rc == PLAY_OK)
            return 0;
        m_hPlay = nullptr;
        if (rc == PLAY_E_FILE_OPEN) {
            std::fprintf(stderr, "qvplay: %s: cannot open the file (missing or not readable)\n",
                         path.c_str());
            return kExitNoFile;
        }
        if (rc == PLAY_E_NOT_SUPPORTED) {
            std::fprintf(stderr,
                         "qvplay: %s: not a recording of a known container (V30, V20, 6000, 15, V10)\n",
                         path.c_str());
            return kExitNotMedia;
        }
        std::fprintf(stderr, "qvplay: %s: ", path.c_str());
        PrintFailure("Play_CreateW", rc);
        return kExitFailure;
    }

    PLAY_HANDLE Handle() const { return m_hPlay; }

    int32_t Get(uint32_t code, void *buffer, uint32_t size) const {
        uint32_t dwSize = size;
        return Play_GetAttribute(m_hPlay, code, buffer, &dwSize);
    }
    uint32_t Get32(uint32_t code) const {
        uint32_t value = 0;
        return Get(code, &value, sizeof(value)) == PLAY_OK ? value : 0;
    }
    uint64_t Get64(uint32_t code) const {
        uint64_t value = 0;
        return Get(code, &value, sizeof(value)) == PLAY_OK ? value : 0;
    }
    float GetFloat(uint32_t code) const {
        float value = 0;
        return Get(code, &value, sizeof(value)) == PLAY_OK ? value : 0.0f;
    }

    // Waits for the index-completed callback; prints why not and answers the
    // exit code.
    int WaitForIndex(double timeoutSeconds) {
        PLAY_CALLBACK_PARAM cb{};
        cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(OnIndexCompleted);
        cb.pContext = &m_indexWait;
        int32_t rc = Play_RegisterCallbackFunction(m_hPlay, PLAY_CALLBACK_FILE_INDEX_COMPLETED, &cb,
                                                   PLAY_CALLBACK_PARAM_SIZE);
        if (rc != PLAY_OK) {
            PrintFailure("registering the index-completed callback", rc);
            return kExitFailure;
        }
        const auto deadline = Clock::now() + std::chrono::duration<double>(timeoutSeconds);
        std::unique_lock<std::mutex> guard(m_indexWait.lock);
        if (!m_indexWait.done.wait_until(guard, deadline, [&] { return m_indexWait.bFired; })) {
            guard.unlock();
            if (Get32(PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0)
                std::fprintf(stderr,
                             "qvplay: the index is complete but its callback did not fire within %g s\n",
                             timeoutSeconds);
            else
                std::fprintf(stderr, "qvplay: the file index did not complete within %g s (--timeout)\n",
                             timeoutSeconds);
            return kExitTimedOut;
        }
        return 0;
    }

    int32_t EnableDecodeOnDemand() {
        uint32_t flags = Get32(PLAY_ATTRIBUTE_ENABLE) | PLAY_ENABLE_DECODE_ON_DEMAND;
        return Play_SetControl(m_hPlay, PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
    }

private:
    PLAY_HANDLE m_hPlay = nullptr;
    IndexWait m_indexWait;
};

// What a run of pulled frames showed.
struct PullCounts {
    uint64_t frames = 0;      // frames handed out
    uint64_t video = 0;       // video frames among them
    uint64_t audio = 0;       // audio frames among them
    uint64_t pictures = 0;    // video frames with a picture
    uint64_t audioBlocks = 0; // audio frames with PCM
    uint64_t keyFrames = 0;
    uint64_t firstKey = 0, lastKey = 0; // video frame numbers (from 0) of the first and last key frame
    uint64_t failedPulls = 0;           // pulls answered with a failure other than the end
    int32_t lastFailure = PLAY_OK;
    uint32_t videoCodec = 0;
    uint32_t audioCodec = 0;
    uint32_t width = 0, height = 0;           // of the last picture
    uint32_t frameWidth = 0, frameHeight = 0; // as the container states it
    uint32_t firstTimestamp = 0, lastTimestamp = 0;
    bool bEnded = false; // PLAY_E_NO_FRAME: the file has ended

    uint32_t VideoSpanMs() const { return video > 1 ? lastTimestamp - firstTimestamp : 0; }
};

// Pulls one frame and counts it; false when no frame came (end or failure).
bool PullOne(const CFilePlayer &player, PullCounts &counts) {
    PLAY_FRAME *pFrame = nullptr;
    const int32_t rc = Play_GetDecodeFrame(player.Handle(), PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
    if (rc == PLAY_E_NO_FRAME) {
        counts.bEnded = true;
        return false;
    }
    if (rc != PLAY_OK || pFrame == nullptr) {
        ++counts.failedPulls;
        counts.lastFailure = rc;
        return false;
    }
    ++counts.frames;
    const FrameRecord *record = pFrame->pFrame;
    if (record != nullptr && IsVideoType(record->nType)) {
        if (counts.video == 0)
            counts.firstTimestamp = record->dwTimestamp;
        counts.lastTimestamp = record->dwTimestamp;
        if (record->nType == DEMUX_FRAME_I) {
            if (counts.keyFrames++ == 0)
                counts.firstKey = counts.video;
            counts.lastKey = counts.video;
        }
        ++counts.video;
        counts.videoCodec = record->dwCodec;
        counts.frameWidth = record->wWidth;
        counts.frameHeight = record->wHeight;
        const DecodedPicture &picture = pFrame->output.picture;
        if (picture.pBuffer != nullptr && picture.dwWidth != 0) {
            ++counts.pictures;
            counts.width = picture.dwWidth;
            counts.height = picture.dwHeight;
        }
    } else if (record != nullptr && record->nType == DEMUX_FRAME_AUDIO) {
        ++counts.audio;
        counts.audioCodec = record->dwCodec;
        counts.audioBlocks +=
            pFrame->output.audio.pBuffer != nullptr && pFrame->output.audio.dwBufferSize != 0;
    }
    const int32_t freed = Play_FreeDecodeFrame(player.Handle(), pFrame);
    if (freed != PLAY_OK) {
        ++counts.failedPulls;
        counts.lastFailure = freed;
    }
    return true;
}

std::string Bytes(uint64_t bytes) {
    char text[64];
    if (bytes >= 1024ull * 1024 * 1024)
        std::snprintf(text, sizeof(text), "%llu bytes (%.2f GiB)", static_cast<unsigned long long>(bytes),
                      double(bytes) / (1024.0 * 1024 * 1024));
    else if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof(text), "%llu bytes (%.2f MiB)", static_cast<unsigned long long>(bytes),
                      double(bytes) / (1024.0 * 1024));
    else
        std::snprintf(text, sizeof(text), "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

int CmdVersion() {
    PLAY_VERSION version{};
    int32_t rc = Play_GetVersion(&version);
    if (rc != PLAY_OK) {
        PrintFailure("Play_GetVersion", rc);
        return kExitFailure;
    }
    std::printf("QVPlaySDK interface %u, build 0x%08X\n", static_cast<unsigned>(version.dwVersion),
                static_cast<unsigned>(version.dwBuild));
    return 0;
}

struct InfoOptions {
    std::string path;
    double timeout = 60.0; // seconds to wait for the index
    double measure = 10.0; // seconds of video to pull at most for the measured figures
};

int CmdInfo(const InfoOptions &o) {
    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;

    StreamInfo info{};
    int32_t rc = player.Get(PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, sizeof(info));
    if (rc != PLAY_OK) {
        PrintFailure("reading the container description", rc);
        return kExitFailure;
    }
    info.szName[sizeof(info.szName) - 1] = '\0';
    const float rateAtOpen = player.GetFloat(PLAY_ATTRIBUTE_VIDEO_FRAME_RATE);

    if (int wait = player.WaitForIndex(o.timeout))
        return wait;
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    const uint32_t duration = player.Get32(PLAY_ATTRIBUTE_FILE_DURATION);
    const uint32_t frameCount = player.Get32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);

    // The rest is measured by playing: pull frames until the player has
    // closed a statistics window (rate and key-frame distance known), the
    // measuring time is used up or the file ends.
    rc = player.EnableDecodeOnDemand();
    if (rc != PLAY_OK) {
        PrintFailure("enabling decode on demand", rc);
        return kExitFailure;
    }
    PullCounts counts;
    const uint32_t measureMs = static_cast<uint32_t>(o.measure * 1000.0);
    uint32_t failedInRow = 0;
    for (;;) {
        if (PullOne(player, counts))
            failedInRow = 0;
        else if (counts.bEnded || ++failedInRow >= kMaxFailedPulls)
            break;
        if (player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE) != 0 &&
            player.GetFloat(PLAY_ATTRIBUTE_VIDEO_FRAME_RATE) > 0.0f && counts.width != 0 && counts.audio != 0)
            break;
        if (counts.VideoSpanMs() >= measureMs)
            break;
    }
    if (failedInRow >= kMaxFailedPulls) {
        PrintFailure("pulling frames", counts.lastFailure);
        return kExitFailure;
    }

    const uint32_t width = player.Get32(PLAY_ATTRIBUTE_PICTURE_WIDTH);
    const uint32_t height = player.Get32(PLAY_ATTRIBUTE_PICTURE_HEIGHT);
    const float rate = player.GetFloat(PLAY_ATTRIBUTE_VIDEO_FRAME_RATE);
    const uint32_t distance = player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE);
    const uint32_t interval = player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_INTERVAL);
    char measured[96];
    std::snprintf(measured, sizeof(measured), "measured over %.1f s of video, %llu frames",
                  counts.VideoSpanMs() / 1000.0, static_cast<unsigned long long>(counts.video));

    std::printf("file                %s\n", o.path.c_str());
    std::printf("container           %s (%s)\n", GenerationName(info.dwGeneration),
                info.szName[0] ? info.szName : "no name");
    std::printf("file size           %s\n", Bytes(fileSize).c_str());
    std::printf("duration            %.3f s (from the index)\n", duration / 1000.0);
    std::printf("video frames        %u (from the index)\n", static_cast<unsigned>(frameCount));
    std::printf("video codec         %s\n",
                counts.video ? VideoCodecName(counts.videoCodec).c_str() : "none seen");
    if (width && height)
        std::printf("picture size        %u x %u (%s)\n", static_cast<unsigned>(width),
                    static_cast<unsigned>(height), measured);
    else if (counts.width)
        std::printf("picture size        %u x %u (of the pictures pulled; the player reported none)\n",
                    static_cast<unsigned>(counts.width), static_cast<unsigned>(counts.height));
    else if (counts.frameWidth)
        std::printf("picture size        %u x %u (as the container states it; no picture was decoded)\n",
                    static_cast<unsigned>(counts.frameWidth), static_cast<unsigned>(counts.frameHeight));
    else
        std::printf("picture size        unknown (no picture decoded)\n");
    // A closed statistics window gives the distance and the rate together;
    // without one the rate can only be the estimate made at open.
    if (rate > 0.0f && distance != 0) {
        std::printf("frame rate          %.2f fps (%s", rate, measured);
        if (rateAtOpen > 0.0f)
            std::printf("; %.2f estimated at open", rateAtOpen);
        std::printf(")\n");
    } else if (rate > 0.0f) {
        std::printf("frame rate          %.2f fps (estimated at open from two key frames)\n", rate);
    } else if (counts.VideoSpanMs() > 0) {
        std::printf(
            "frame rate          %.2f fps (counted by qvplay over %llu frames; the player measured none)\n",
            double(counts.video - 1) * 1000.0 / counts.VideoSpanMs(),
            static_cast<unsigned long long>(counts.video));
    } else {
        std::printf("frame rate          unknown\n");
    }
    if (distance)
        std::printf("key-frame distance  %u frames, %u ms (%s)\n", static_cast<unsigned>(distance),
                    static_cast<unsigned>(interval), measured);
    else if (counts.keyFrames > 1)
        std::printf(
            "key-frame distance  %.1f frames (counted by qvplay over %llu key frames; the player measured "
            "none)\n",
            double(counts.lastKey - counts.firstKey) / double(counts.keyFrames - 1),
            static_cast<unsigned long long>(counts.keyFrames));
    else if (counts.keyFrames == 1)
        std::printf(
            "key-frame distance  at least %llu frames (one key frame seen; the player measured none)\n",
            static_cast<unsigned long long>(counts.video - counts.firstKey));
    else
        std::printf("key-frame distance  unknown\n");
    std::printf("audio codec         %s\n",
                counts.audio ? AudioCodecName(counts.audioCodec) : "none in the frames pulled");
    if (counts.failedPulls)
        std::printf("note                %llu pulls failed, the last with 0x%08X (%s)\n",
                    static_cast<unsigned long long>(counts.failedPulls),
                    static_cast<unsigned>(counts.lastFailure), ResultName(counts.lastFailure));
    return 0;
}

// A one-line bar on a terminal: played bytes against the file size.
class CProgress {
public:
    explicit CProgress(bool bShow) : m_bShow(bShow) {}
    ~CProgress() { Finish(); }

    // Redrawn at most every 100 ms unless bForce.
    void Update(uint64_t done, uint64_t total, bool bForce = false) {
        if (!m_bShow || total == 0)
            return;
        const auto now = Clock::now();
        if (m_bDrawn && !bForce && now - m_last < std::chrono::milliseconds(100))
            return;
        m_last = now;
        m_bDrawn = true;
        const double ratio = done >= total ? 1.0 : double(done) / double(total);
        constexpr int kWidth = 40;
        char bar[kWidth + 1];
        const int filled = static_cast<int>(ratio * kWidth);
        for (int i = 0; i < kWidth; ++i)
            bar[i] = i < filled ? '#' : '.';
        bar[kWidth] = '\0';
        std::fprintf(stderr, "\r[%s] %5.1f%%  %.1f / %.1f MiB", bar, ratio * 100.0, done / 1048576.0,
                     total / 1048576.0);
        std::fflush(stderr);
    }
    void Finish() {
        if (m_bDrawn) {
            std::fprintf(stderr, "\n");
            m_bDrawn = false;
        }
    }

private:
    bool m_bShow;
    bool m_bDrawn = false;
    Clock::time_point m_last{};
};

struct DecodeOptions {
    std::string path;
    bool bNoProgress = false; // the bar is shown only when stderr is a terminal
};

int CmdDecode(const DecodeOptions &o) {
    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;
    int32_t rc = player.EnableDecodeOnDemand();
    if (rc != PLAY_OK) {
        PrintFailure("enabling decode on demand", rc);
        return kExitFailure;
    }
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    CProgress progress(!o.bNoProgress && StderrIsTerminal());

    PullCounts counts;
    uint32_t failedInRow = 0;
    const auto start = Clock::now();
    for (;;) {
        if (PullOne(player, counts))
            failedInRow = 0;
        else if (counts.bEnded || ++failedInRow >= kMaxFailedPulls)
            break;
        progress.Update(player.Get64(PLAY_ATTRIBUTE_PLAY_DATA_SIZE), fileSize);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (counts.bEnded)
        progress.Update(fileSize, fileSize, true);
    progress.Finish();
    if (!counts.bEnded) {
        PrintFailure("pulling frames", counts.lastFailure);
        std::fprintf(stderr, "qvplay: gave up after %u failed pulls in a row, %llu frames in\n",
                     kMaxFailedPulls, static_cast<unsigned long long>(counts.frames));
        return kExitFailure;
    }

    std::printf("file                %s\n", o.path.c_str());
    std::printf("frames              %llu (%llu video, %llu audio)\n",
                static_cast<unsigned long long>(counts.frames), static_cast<unsigned long long>(counts.video),
                static_cast<unsigned long long>(counts.audio));
    std::printf("pictures            %llu\n", static_cast<unsigned long long>(counts.pictures));
    std::printf("audio blocks        %llu\n", static_cast<unsigned long long>(counts.audioBlocks));
    std::printf("elapsed             %.3f s\n", elapsed);
    std::printf("speed               %.1f video frames per second\n",
                elapsed > 0.0 ? double(counts.video) / elapsed : 0.0);
    if (counts.failedPulls)
        std::printf("note                %llu pulls failed, the last with 0x%08X (%s)\n",
                    static_cast<unsigned long long>(counts.failedPulls),
                    static_cast<unsigned>(counts.lastFailure), ResultName(counts.lastFailure));
    return 0;
}

// Writes the picture on screen as a 24-bit BMP file.
int32_t WriteSnapshot(PLAY_HANDLE hPlay, const std::string &path) {
    PLAY_SNAPSHOT snapshot{};
    snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    int32_t rc = Play_SnapPicture(hPlay, &snapshot);
    if (rc != PLAY_OK)
        return rc;
    std::vector<uint8_t> pixels(snapshot.dwBufferSize);
    snapshot.pBuffer = pixels.data();
    rc = Play_SnapPicture(hPlay, &snapshot);
    if (rc != PLAY_OK)
        return rc;
    uint8_t fileHeader[14] = {'B', 'M'};
    const uint32_t offset = sizeof(fileHeader) + sizeof(BITMAPINFOHEADER);
    const uint32_t total = offset + static_cast<uint32_t>(pixels.size());
    for (int i = 0; i < 4; ++i) {
        fileHeader[2 + i] = static_cast<uint8_t>(total >> (8 * i));
        fileHeader[10 + i] = static_cast<uint8_t>(offset >> (8 * i));
    }
    BITMAPINFOHEADER header = snapshot.bmiHeader;
    header.biSizeImage = static_cast<uint32_t>(pixels.size());
    FILE *pFile = std::fopen(path.c_str(), "wb");
    if (pFile == nullptr)
        return PLAY_E_FILE_OPEN;
    const bool bOk = std::fwrite(fileHeader, sizeof(fileHeader), 1, pFile) == 1 &&
                     std::fwrite(&header, sizeof(header), 1, pFile) == 1 &&
                     std::fwrite(pixels.data(), pixels.size(), 1, pFile) == 1;
    return std::fclose(pFile) == 0 && bOk ? PLAY_OK : PLAY_E_FAIL;
}

std::string MinutesSeconds(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%u:%02u", ms / 60000, (ms / 1000) % 60);
    return text;
}

struct PlayOptions {
    std::string path;
    float speed = 1.0f;
    bool bNoSound = false;
    double pauseAfter = 0; // seconds of playing, then pause (0: never)
    double linger = 0;     // seconds the window stays after the pause or the end
    std::string snapshot;  // BMP written when paused or at the end
};

int CmdPlay(const PlayOptions &o) {
    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;
    const PLAY_HANDLE h = player.Handle();
    uint32_t flags = player.Get32(PLAY_ATTRIBUTE_ENABLE) | PLAY_ENABLE_DISPLAY;
    if (o.bNoSound)
        flags &= ~PLAY_ENABLE_SOUND;
    int32_t rc = Play_SetControl(h, PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
    if (rc != PLAY_OK) {
        PrintFailure("setting the enable flags", rc);
        return kExitFailure;
    }
    const std::string name = o.path.substr(o.path.find_last_of("/\\") + 1);
    CPlayWindow window;
    int width = 704, height = 576; // until the first picture tells
    if (!window.Create(width, height, "qvplay - " + name)) {
        std::fprintf(stderr, "qvplay: cannot open a window (is a display available? DISPLAY on Linux)\n");
        return kExitFailure;
    }
    PLAY_VIEWPORT viewport{};
    viewport.dwSize = PLAY_VIEWPORT_SIZE;
    viewport.hDestWnd = window.Handle();
    rc = Play_AddViewport(h, &viewport);
    if (rc == PLAY_OK)
        rc = Play_SetControl(h, PLAY_CONTROL_SPEED, &o.speed, sizeof(o.speed));
    uint32_t action = PLAY_ACTION_PLAY_FORWARD;
    if (rc == PLAY_OK)
        rc = Play_SetControl(h, PLAY_CONTROL_ACTION, &action, sizeof(action));
    if (rc != PLAY_OK) {
        PrintFailure("starting playback in the window", rc);
        return kExitFailure;
    }
    const auto start = Clock::now();
    auto lastTitle = start - std::chrono::seconds(1);
    bool bStopped = false; // paused by --pause-after or at the end
    Clock::time_point stoppedAt;
    while (window.Pump(20)) {
        const auto now = Clock::now();
        const int w = static_cast<int>(player.Get32(PLAY_ATTRIBUTE_PICTURE_WIDTH));
        const int hgt = static_cast<int>(player.Get32(PLAY_ATTRIBUTE_PICTURE_HEIGHT));
        if (w > 0 && hgt > 0 && (w != width || hgt != height)) {
            width = w;
            height = hgt;
            window.SetClientSize(width, height);
        }
        if (now - lastTitle >= std::chrono::milliseconds(500)) {
            lastTitle = now;
            char speed[32];
            std::snprintf(speed, sizeof(speed), "x%g",
                          static_cast<double>(player.GetFloat(PLAY_ATTRIBUTE_SPEED)));
            window.SetTitle("qvplay - " + name + "  " +
                            MinutesSeconds(player.Get32(PLAY_ATTRIBUTE_PLAY_DURATION)) + " / " +
                            MinutesSeconds(player.Get32(PLAY_ATTRIBUTE_FILE_DURATION)) + "  " + speed);
        }
        if (!bStopped) {
            const bool bEnded = player.Get32(PLAY_ATTRIBUTE_FILE_ENDED) != 0;
            const bool bPause =
                o.pauseAfter > 0 && std::chrono::duration<double>(now - start).count() >= o.pauseAfter;
            if (bEnded || bPause) {
                if (bPause && !bEnded) {
                    action = PLAY_ACTION_PAUSE;
                    Play_SetControl(h, PLAY_CONTROL_ACTION, &action, sizeof(action));
                }
                bStopped = true;
                stoppedAt = Clock::now();
                if (!o.snapshot.empty()) {
                    rc = WriteSnapshot(h, o.snapshot);
                    if (rc != PLAY_OK) {
                        PrintFailure("writing the snapshot", rc);
                        return kExitFailure;
                    }
                }
                std::printf("%s at %s\n", bEnded ? "ended" : "paused",
                            MinutesSeconds(player.Get32(PLAY_ATTRIBUTE_PLAY_DURATION)).c_str());
                std::fflush(stdout);
            }
        } else if (std::chrono::duration<double>(Clock::now() - stoppedAt).count() >= o.linger) {
            break;
        }
    }
    return 0;
}

#ifdef _WIN32
// The wide command line as UTF-8, so that paths outside the ANSI code page
// reach the library intact.
std::vector<std::string> WideArguments() {
    std::vector<std::string> args;
    int argc = 0;
    LPWSTR *argvW = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argvW == nullptr)
        return args;
    for (int i = 0; i < argc; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, argvW[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? size_t(bytes) : 1, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, argvW[i], -1, arg.data(), bytes, nullptr, nullptr);
        arg.resize(std::strlen(arg.c_str()));
        args.push_back(arg);
    }
    LocalFree(argvW);
    return args;
}
#endif

} // namespace

int main(int argc, char **argv) {
    std::vector<char *> arguments(argv, argv + argc);
#ifdef _WIN32
    std::vector<std::string> wide = WideArguments();
    if (!wide.empty()) {
        arguments.clear();
        for (std::string &arg : wide)
            arguments.push_back(arg.data());
    }
#endif
    arguments.push_back(nullptr);

    CLI::App app{"qvplay: play and inspect DVR and IP-camera recordings"};
    app.require_subcommand(1);
    // "/dir/file" is a path, also on Windows, not a "/option".
    app.allow_windows_style_options(false);
    CLI::App *version = app.add_subcommand("version", "print the library's version");

    InfoOptions info;
    CLI::App *infoCmd = app.add_subcommand(
        "info",
        "describe a recording: container, size, duration and frame count from the index; picture size, "
        "frame rate, key-frame distance and audio codec measured by decoding its first seconds");
    infoCmd->add_option("FILE", info.path, "the recording")->required();
    infoCmd->add_option("--timeout", info.timeout, "seconds to wait for the file index (default 60)")
        ->check(CLI::PositiveNumber);
    infoCmd
        ->add_option("--measure", info.measure,
                     "seconds of video to decode at most for the measured figures "
                     "(default 10)")
        ->check(CLI::PositiveNumber);

    DecodeOptions decode;
    CLI::App *decodeCmd = app.add_subcommand(
        "decode",
        "decode every frame as fast as possible (decode on demand) and print the counts and the speed");
    decodeCmd->add_option("FILE", decode.path, "the recording")->required();
    decodeCmd->add_flag("--no-progress", decode.bNoProgress,
                        "no progress bar (it is shown only on a terminal)");

    PlayOptions play;
    CLI::App *playCmd =
        app.add_subcommand("play", "play a recording in a window (q, Escape or closing it quits)");
    playCmd->add_option("FILE", play.path, "the recording")->required();
    playCmd->add_option("--speed", play.speed, "speed factor, 1/64 to 64 (default 1)")
        ->check(CLI::Range(0.015625f, 64.0f));
    playCmd->add_flag("--no-sound", play.bNoSound, "play without sound");
    playCmd->add_option("--pause-after", play.pauseAfter, "pause after this many seconds of playing")
        ->check(CLI::NonNegativeNumber);
    playCmd
        ->add_option("--linger", play.linger,
                     "seconds the window stays open once paused or at the end (default 0: quit)")
        ->check(CLI::NonNegativeNumber);
    playCmd->add_option("--snapshot", play.snapshot,
                        "write the picture on screen as a BMP file when paused or at the end");

    CLI11_PARSE(app, static_cast<int>(arguments.size() - 1), arguments.data());
    if (version->parsed())
        return CmdVersion();
    if (infoCmd->parsed())
        return CmdInfo(info);
    if (decodeCmd->parsed())
        return CmdDecode(decode);
    if (playCmd->parsed())
        return CmdPlay(play);
    return kExitFailure;
}
