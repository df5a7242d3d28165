// What qvplay's commands share: exit codes, result names, the file player
// they open, frame pulling and the progress bar. Each command lives in its
// own file and adds itself to the command line through one Add...Command.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qvdisplay.h"
#include "qvplay.h"

namespace CLI {
class App;
class Validator;
} // namespace CLI

namespace qvplay {

using Clock = std::chrono::steady_clock;

// Exit codes beyond 0 (success) and the command-line parser's own.
constexpr int kExitFailure = 1;   // the library refused or failed
constexpr int kExitNoFile = 3;    // the file cannot be opened
constexpr int kExitNotMedia = 4;  // no recording this library recognises
constexpr int kExitTimedOut = 5;  // the index did not complete in time
constexpr int kExitOutput = 6;    // the output file cannot be written
constexpr int kExitNoDisplay = 7; // no window can be opened
constexpr int kExitNotFound = 8;  // the asked moment or frame is not in the recording, or nothing to write
constexpr int kExitInterrupted = 130; // Ctrl-C or a termination request (the shells' 128 + SIGINT)

// From the call on, Ctrl-C (and SIGTERM on Linux) only raise a flag that
// long work looks at, so it can remove what it left half written.
void CatchInterrupt();
bool Interrupted();

// Consecutive failed pulls tolerated before decode gives up: a decoder that
// holds pictures back (B frames) fails a few pulls in a row, a broken player
// fails them all.
constexpr uint32_t kMaxFailedPulls = 1000;

// A command-line check: a number of seconds above 0.
CLI::Validator Seconds();
// A moment in a recording: seconds ("12.5"), "mm:ss[.mmm]" or
// "hh:mm:ss[.mmm]" (minutes and seconds after the first field two digits up
// to 59, at most three decimals), in milliseconds; false for anything else.
bool ParseTimeMs(const std::string &text, uint32_t *pMs);
// A command-line check: a moment as ParseTimeMs reads it.
CLI::Validator TimeValidator();

// A subcommand: what the command line parsed it into and how it runs.
struct Command {
    CLI::App *pApp = nullptr;
    std::function<int()> run;
};

Command AddVersionCommand(CLI::App &app);
Command AddInfoCommand(CLI::App &app);
Command AddDecodeCommand(CLI::App &app);
Command AddPlayCommand(CLI::App &app);
Command AddFramesCommand(CLI::App &app);
Command AddSnapshotCommand(CLI::App &app);
Command AddExportCommand(CLI::App &app);

// The result code's name (PLAY_E_FILE_OPEN, DEMUX_E_..., ...), or whose
// code it is when this build does not know it.
const char *ResultName(int32_t rc);
// What the user can do about a failure with this code.
const char *ResultHint(int32_t rc);
// "0x8AB50021 (PLAY_E_FILE_OPEN)".
std::string DescribeResult(int32_t rc);
// On stderr: "qvplay: WHAT failed: 0x... (NAME): HINT".
void PrintFailure(const char *what, int32_t rc);
// UTF-8 to UTF-16 with surrogate pairs; false on a malformed sequence, an
// overlong form, a surrogate code point or a NUL inside the text.
bool Utf8ToUtf16(const std::string &text, std::vector<QV_WCHAR> &out);
// UTF-16 (at most maxUnits units, up to a NUL) to UTF-8; a lone surrogate
// becomes U+FFFD.
std::string Utf16ToUtf8(const QV_WCHAR *text, size_t maxUnits);
// The text as a JSON string, quotes included (UTF-8 kept, controls escaped).
std::string JsonString(const std::string &text);
bool StderrIsTerminal();
bool StdoutIsTerminal();
const char *GenerationName(uint32_t generation);
const char *AudioCodecName(uint32_t codec);
std::string VideoCodecName(uint32_t codec);
bool IsVideoType(int32_t type);
std::string Bytes(uint64_t bytes);
std::string MinutesSeconds(uint32_t ms);
// Writes the bytes to a file named in UTF-8 (any name on Windows too);
// false when it cannot be written whole.
bool WriteWholeFile(const std::string &path, const std::vector<uint8_t> &bytes);
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
            std::fprintf(stderr,
                         "qvplay: %s: cannot open the file (missing or not readable): %s: check the path and "
                         "that the file is readable\n",
                         path.c_str(), DescribeResult(rc).c_str());
            return kExitNoFile;
        }
        if (rc == PLAY_E_NOT_SUPPORTED) {
            // An empty or cut-down file is the usual cause: say so.
            std::error_code ec;
            const std::filesystem::path fsPath(std::u8string(path.begin(), path.end()));
            const uintmax_t size = std::filesystem::file_size(fsPath, ec);
            if (!ec && size < DEMUX_MIN_FIRST_BLOCK)
                std::fprintf(stderr, "qvplay: %s: the file holds %u bytes, too few for any recording\n",
                             path.c_str(), static_cast<unsigned>(size));
            std::fprintf(
                stderr,
                "qvplay: %s: not a recording of a known container (V30, V20, 6000, 15, V10): %s: check "
                "that it is a recorder's file and not cut off at its start\n",
                path.c_str(), DescribeResult(rc).c_str());
            return kExitNotMedia;
        }
        std::fprintf(stderr, "qvplay: %s: ", path.c_str());
        PrintFailure("opening the recording", rc);
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
                             "qvplay: the index is complete but its callback did not fire within %g s: "
                             "please report it\n",
                             timeoutSeconds);
            else
                std::fprintf(stderr,
                             "qvplay: the file index did not complete within %g s: %s: retry with a longer "
                             "--timeout\n",
                             timeoutSeconds, DescribeResult(PLAY_E_INDEX_NOT_READY).c_str());
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
