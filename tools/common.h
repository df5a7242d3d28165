// What qvplay's commands share: exit codes, result names, the file player
// they open, frame pulling and the progress bar. Each command lives in its
// own file and adds itself to the command line through one Add...Command.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qvdisplay.h"
#include "qvplay.h"

namespace CLI {
class App;
}

namespace qvplay {

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

// A subcommand: what the command line parsed it into and how it runs.
struct Command {
    CLI::App *pApp = nullptr;
    std::function<int()> run;
};

Command AddVersionCommand(CLI::App &app);
Command AddInfoCommand(CLI::App &app);
Command AddDecodeCommand(CLI::App &app);
Command AddPlayCommand(CLI::App &app);

const char *ResultName(int32_t rc);
void PrintFailure(const char *what, int32_t rc);
// UTF-8 to UTF-16 with surrogate pairs; false on a malformed sequence, an
// overlong form, a surrogate code point or a NUL inside the text.
bool Utf8ToUtf16(const std::string &text, std::vector<QV_WCHAR> &out);
bool StderrIsTerminal();
const char *GenerationName(uint32_t generation);
const char *AudioCodecName(uint32_t codec);
std::string VideoCodecName(uint32_t codec);
bool IsVideoType(int32_t type);
std::string Bytes(uint64_t bytes);
std::string MinutesSeconds(uint32_t ms);
// Writes the picture on screen as a 24-bit BMP file.
int32_t WriteSnapshot(PLAY_HANDLE hPlay, const std::string &path);

// The index-completed callback, on the index thread (or at once on the
// registering thread when the index is already complete).
struct IndexWait {
    std::mutex lock;
    std::condition_variable done;
    bool bFired = false;
};

int32_t QV_CALL OnIndexCompleted(PLAY_HANDLE, void *pContext);

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
bool PullOne(const CFilePlayer &player, PullCounts &counts);

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

} // namespace qvplay
