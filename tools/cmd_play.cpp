// qvplay play: a recording (or a live stream on standard input) in a
// window, with sound, driven from the keyboard.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include "common.h"
#include "playwindow.h"

namespace qvplay {
namespace {

constexpr const char *kKeysHelp =
    "Keys in the window:\n"
    "  space       pause / resume (in the direction last chosen)\n"
    "  Right/Left  one frame forward / back (pauses first)\n"
    "  Up/Down     speed x2 / /2 (1/64 to 64)\n"
    "  b           play backward (from the end when at the first frame; it\n"
    "              pauses on reaching the first frame); b again plays forward\n"
    "  Home/End    the first frame / the last key frame (the last frame until\n"
    "              the first seconds of play have measured the key-frame distance)\n"
    "  0-9         the frame at 0% .. 90% of the recording\n"
    "  s           snapshot BMP next to the file (<name>-<MMmSSsmmm>.bmp;\n"
    "              for -, stdin-<MMmSSsmmm>.bmp in the current folder); its path\n"
    "              is printed\n"
    "  q, Escape   quit (so does closing the window)\n"
    "FILE - reads a live stream from standard input and ends when the input\n"
    "ends; seeking, stepping and backward play are not available there.";

struct PlayOptions {
    std::string path;
    float speed = 1.0f;
    bool bNoSound = false;
    double pauseAfter = 0; // seconds of playing, then pause (0: never)
    double linger = 0;     // seconds the window stays after the pause or the end
    std::string snapshot;  // BMP written when paused or at the end
};

uint32_t Get32(PLAY_HANDLE h, uint32_t code) {
    uint32_t value = 0, size = sizeof(value);
    return Play_GetAttribute(h, code, &value, &size) == PLAY_OK ? value : 0;
}

float GetFloat(PLAY_HANDLE h, uint32_t code) {
    float value = 0;
    uint32_t dwSize = sizeof(value);
    return Play_GetAttribute(h, code, &value, &dwSize) == PLAY_OK ? value : 0.0f;
}

int32_t SetAction(PLAY_HANDLE h, uint32_t action) {
    return Play_SetControl(h, PLAY_CONTROL_ACTION, &action, sizeof(action));
}

int32_t SeekTo(PLAY_HANDLE h, uint32_t kind, uint32_t value) {
    return Play_Seek(h, kind, &value, sizeof(value));
}

// m:ss.mmm
std::string Position(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%u:%02u.%03u", ms / 60000, (ms / 1000) % 60, ms % 1000);
    return text;
}

// <folder><stem>-MMmSSsmmm.bmp: beside the recording, named by the moment.
std::string SnapshotPath(const std::string &path, bool bLive, uint32_t ms) {
    std::string folder, stem = "stdin";
    if (!bLive) {
        const size_t slash = path.find_last_of("/\\");
        folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
        stem = path.substr(slash == std::string::npos ? 0 : slash + 1);
        const size_t dot = stem.find_last_of('.');
        if (dot != std::string::npos && dot > 0)
            stem.resize(dot);
    }
    char moment[32];
    std::snprintf(moment, sizeof(moment), "-%02um%02us%03u", ms / 60000, (ms / 1000) % 60, ms % 1000);
    return folder + stem + moment + ".bmp";
}

// ---- Standard input ----

// Reads standard input on a thread of its own and hands it to a stream
// player: first the header block, then (once the player exists) the same
// bytes again and the rest, block by block. A full parser queue is waited
// out on that thread, so the window's loop never blocks on input.
class CStdinFeeder {
public:
    // Bytes read before the player is made: enough for every container's
    // recognition, little enough not to hold a live picture back.
    static constexpr size_t kHeaderBytes = 64 * 1024;
    static constexpr size_t kBlockBytes = 64 * 1024;

    CStdinFeeder() : m_shared(std::make_shared<Shared>()) {}
    ~CStdinFeeder() { Stop(); }
    CStdinFeeder(const CStdinFeeder &) = delete;
    CStdinFeeder &operator=(const CStdinFeeder &) = delete;

    void Start() {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        std::shared_ptr<Shared> shared = m_shared;
        m_thread = std::thread([shared] { Run(*shared); });
    }

    // True once the header block is read (or input ended before it).
    bool HeaderReady(std::vector<uint8_t> *pHeader) {
        std::lock_guard<std::mutex> guard(m_shared->lock);
        if (!m_shared->bHeaderDone)
            return false;
        *pHeader = m_shared->header;
        return true;
    }

    // The player to feed; null when none could be made (the thread ends).
    void SetPlayer(PLAY_HANDLE h) {
        std::lock_guard<std::mutex> guard(m_shared->lock);
        m_shared->hPlay = h;
        m_shared->bPlayerSet = true;
        m_shared->changed.notify_all();
    }

    // Every byte of input reached the player (or feeding failed).
    bool InputDone(int32_t *pFailure) {
        std::lock_guard<std::mutex> guard(m_shared->lock);
        *pFailure = m_shared->failure;
        return m_shared->bInputDone;
    }

    // Ends feeding; returns once no Play_InputData call is running, so the
    // player may be released after it.
    void Stop() {
        {
            std::unique_lock<std::mutex> guard(m_shared->lock);
            m_shared->bStop = true;
            m_shared->changed.notify_all();
            m_shared->changed.wait(guard, [&] { return !m_shared->bFeeding; });
        }
        if (!m_thread.joinable())
            return;
#ifdef _WIN32
        // A read of a console or pipe cannot be interrupted: a thread still
        // blocked there ends with the process, touching only its shared state.
        bool bFinished;
        {
            std::lock_guard<std::mutex> guard(m_shared->lock);
            bFinished = m_shared->bFinished;
        }
        if (!bFinished) {
            m_thread.detach();
            return;
        }
#endif
        m_thread.join();
    }

private:
    struct Shared {
        std::mutex lock;
        std::condition_variable changed;
        std::vector<uint8_t> header;
        bool bHeaderDone = false;
        bool bPlayerSet = false;
        PLAY_HANDLE hPlay = nullptr;
        bool bStop = false;
        bool bFeeding = false; // inside Play_InputData
        bool bInputDone = false;
        bool bFinished = false;
        int32_t failure = PLAY_OK;
    };

    // Up to size bytes; 0 at the end of input, -1 when stopped meanwhile.
    static long ReadSome(Shared &s, uint8_t *pBuffer, size_t size) {
        for (;;) {
            {
                std::lock_guard<std::mutex> guard(s.lock);
                if (s.bStop)
                    return -1;
            }
#ifdef _WIN32
            const int got = _read(0, pBuffer, static_cast<unsigned>(size));
            return got < 0 ? 0 : got;
#else
            // Waits a little at a time, so that a stop is seen while the
            // source is quiet.
            pollfd fd{0, POLLIN, 0};
            const int ready = poll(&fd, 1, 100);
            if (ready == 0 || (ready < 0 && errno == EINTR))
                continue;
            if (ready < 0)
                return 0;
            const ssize_t got = read(0, pBuffer, size);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            return got < 0 ? 0 : static_cast<long>(got);
#endif
        }
    }

    // Hands bytes to the player, waiting out a full queue; false when
    // stopped or refused.
    static bool Feed(Shared &s, const uint8_t *pData, size_t size) {
        while (size > 0) {
            const uint32_t length = static_cast<uint32_t>(std::min<size_t>(size, PLAY_INPUT_DATA_MAX));
            for (;;) {
                PLAY_HANDLE h;
                {
                    std::lock_guard<std::mutex> guard(s.lock);
                    if (s.bStop)
                        return false;
                    s.bFeeding = true;
                    h = s.hPlay;
                }
                const int32_t rc = Play_InputData(h, pData, length);
                std::unique_lock<std::mutex> guard(s.lock);
                s.bFeeding = false;
                s.changed.notify_all();
                if (rc == PLAY_OK)
                    break;
                if (rc != PLAY_E_BUFFER_FULL && rc != PLAY_E_NOT_READY) {
                    s.failure = rc;
                    return false;
                }
                // The play thread frees room as it plays: look again soon,
                // or at once when asked to stop.
                s.changed.wait_for(guard, std::chrono::milliseconds(10), [&] { return s.bStop; });
            }
            pData += length;
            size -= length;
        }
        return true;
    }

    static void Run(Shared &s) {
        std::vector<uint8_t> header(kHeaderBytes);
        size_t have = 0;
        bool bEnded = false;
        while (have < header.size()) {
            const long got = ReadSome(s, header.data() + have, header.size() - have);
            if (got < 0)
                break;
            if (got == 0) {
                bEnded = true;
                break;
            }
            have += static_cast<size_t>(got);
        }
        header.resize(have);
        PLAY_HANDLE h = nullptr;
        {
            std::unique_lock<std::mutex> guard(s.lock);
            s.header = header;
            s.bHeaderDone = true;
            s.changed.notify_all();
            s.changed.wait(guard, [&] { return s.bPlayerSet || s.bStop; });
            h = s.hPlay;
        }
        // The header block only told the parser what the stream is: its
        // frames are parsed from the bytes fed after it.
        bool bOk = h != nullptr && Feed(s, header.data(), header.size());
        std::vector<uint8_t> block(kBlockBytes);
        while (bOk && !bEnded) {
            const long got = ReadSome(s, block.data(), block.size());
            if (got <= 0) {
                bEnded = got == 0;
                break;
            }
            bOk = Feed(s, block.data(), static_cast<size_t>(got));
        }
        std::lock_guard<std::mutex> guard(s.lock);
        s.bInputDone = true;
        s.bFinished = true;
        s.changed.notify_all();
    }

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

// A stream player made from the header block; released on every way out.
class CStreamPlayer {
public:
    CStreamPlayer() = default;
    CStreamPlayer(const CStreamPlayer &) = delete;
    CStreamPlayer &operator=(const CStreamPlayer &) = delete;
    ~CStreamPlayer() {
        if (m_hPlay)
            Play_Release(m_hPlay);
    }

    // Prints why not and answers the exit code.
    int Open(const std::vector<uint8_t> &header) {
        if (header.size() < PLAY_STREAM_HEADER_MIN) {
            std::fprintf(
                stderr,
                "qvplay: -: standard input ended after %zu bytes, before a stream header (%u bytes)\n",
                header.size(), PLAY_STREAM_HEADER_MIN);
            return kExitNotMedia;
        }
        PLAY_CREATE_PARAM param{};
        param.dwSize = PLAY_CREATE_PARAM_SIZE;
        param.dwType = PLAY_MODE_STREAM;
        param.pSource = header.data();
        param.dwSourceSize = static_cast<uint32_t>(std::min<size_t>(header.size(), PLAY_STREAM_HEADER_MAX));
        const int32_t rc = Play_CreateW(&m_hPlay, &param);
        if (rc == PLAY_OK)
            return 0;
        m_hPlay = nullptr;
        if (rc == PLAY_E_NOT_SUPPORTED) {
            std::fprintf(stderr, "qvplay: -: standard input is not a stream of a known container "
                                 "(V30, V20, 15, V10) (PLAY_E_NOT_SUPPORTED)\n");
            return kExitNotMedia;
        }
        std::fprintf(stderr, "qvplay: -: ");
        PrintFailure("Play_CreateW", rc);
        return kExitFailure;
    }

    PLAY_HANDLE Handle() const { return m_hPlay; }

private:
    PLAY_HANDLE m_hPlay = nullptr;
};

// ---- The player and its keys ----

class CPlaySession {
public:
    CPlaySession(const PlayOptions &o, PLAY_HANDLE h, bool bLive, CPlayWindow &window,
                 const std::string &name)
        : m_o(o), m_h(h), m_bLive(bLive), m_window(window), m_name(name) {}

    // Display, sound, viewport, speed and play; prints why not.
    bool Start() {
        uint32_t flags = Get32(m_h, PLAY_ATTRIBUTE_ENABLE) | PLAY_ENABLE_DISPLAY;
        if (m_o.bNoSound)
            flags &= ~PLAY_ENABLE_SOUND;
        int32_t rc = Play_SetControl(m_h, PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
        if (rc != PLAY_OK) {
            PrintFailure("setting the enable flags", rc);
            return false;
        }
        PLAY_VIEWPORT viewport{};
        viewport.dwSize = PLAY_VIEWPORT_SIZE;
        viewport.hDestWnd = m_window.Handle();
        rc = Play_AddViewport(m_h, &viewport);
        if (rc == PLAY_OK)
            rc = Play_SetControl(m_h, PLAY_CONTROL_SPEED, &m_o.speed, sizeof(m_o.speed));
        if (rc == PLAY_OK)
            rc = SetAction(m_h, PLAY_ACTION_PLAY_FORWARD);
        if (rc != PLAY_OK) {
            PrintFailure("starting playback in the window", rc);
            return false;
        }
        m_start = Clock::now();
        return true;
    }

    // One turn of the window's loop; false to quit.
    bool Turn(bool bInputDone) {
        PlayKey key;
        while (m_window.NextKey(&key)) {
            if (key == PlayKey::Quit)
                return false;
            OnKey(key);
        }
        RunPending();
        const auto now = Clock::now();
        const int w = static_cast<int>(Get32(m_h, PLAY_ATTRIBUTE_PICTURE_WIDTH));
        const int hgt = static_cast<int>(Get32(m_h, PLAY_ATTRIBUTE_PICTURE_HEIGHT));
        if (w > 0 && hgt > 0 && (w != m_width || hgt != m_height)) {
            m_width = w;
            m_height = hgt;
            m_window.SetClientSize(m_width, m_height);
        }
        UpdateTitle();
        if (!m_bStopped) {
            const uint32_t state = Get32(m_h, PLAY_ATTRIBUTE_STATE);
            bool bEnded =
                m_bLive ? LiveEnded(bInputDone, state, now) : Get32(m_h, PLAY_ATTRIBUTE_FILE_ENDED) != 0;
            if (bEnded && !m_bLive && Get32(m_h, PLAY_ATTRIBUTE_PLAY_BACKWARD) != 0) {
                // Backward play reached the first frame: it waits there for
                // the next key instead of ending the session.
                if (state == PLAY_STATE_PLAYING)
                    SetAction(m_h, PLAY_ACTION_PAUSE);
                bEnded = false;
            }
            const bool bPause = !m_bPauseAfterDone && m_o.pauseAfter > 0 &&
                                std::chrono::duration<double>(now - m_start).count() >= m_o.pauseAfter;
            if (bEnded || bPause) {
                // A plain pause: what --snapshot writes is what stays on
                // screen.
                if (bPause && !bEnded)
                    SetAction(m_h, PLAY_ACTION_PAUSE);
                m_bPauseAfterDone = m_bPauseAfterDone || bPause;
                m_bStopped = true;
                m_stoppedAt = Clock::now();
                if (!m_o.snapshot.empty()) {
                    const int32_t rc = WriteSnapshot(m_h, m_o.snapshot);
                    if (rc != PLAY_OK) {
                        PrintFailure("writing the snapshot", rc);
                        m_exitCode = kExitFailure;
                        return false;
                    }
                }
                std::printf("%s at %s\n", bEnded ? "ended" : "paused",
                            MinutesSeconds(Get32(m_h, PLAY_ATTRIBUTE_PLAY_DURATION)).c_str());
                std::fflush(stdout);
            }
        } else if (std::chrono::duration<double>(Clock::now() - m_stoppedAt).count() >= m_o.linger) {
            return false;
        }
        return true;
    }

    int ExitCode() const { return m_exitCode; }

private:
    // An operation the player may answer "not now" to (a state change in
    // progress, the index still being built): tried again on the next turns
    // until it goes through or its time is up.
    struct Pending {
        std::function<int32_t()> op;
        std::string what;
        Clock::time_point deadline;
    };

    void Queue(const std::string &what, std::function<int32_t()> op, double seconds = 3) {
        m_pending.push_back(Pending{std::move(op), what,
                                    Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(seconds))});
        RunPending();
    }

    void RunPending() {
        while (!m_pending.empty()) {
            Pending &p = m_pending.front();
            const int32_t rc = p.op();
            if ((rc == PLAY_E_NOT_READY || rc == PLAY_E_INDEX_NOT_READY) && Clock::now() < p.deadline)
                return; // the next turn tries again, keeping the order of the keys
            if (rc != PLAY_OK)
                PrintFailure(p.what.c_str(), rc);
            m_pending.pop_front();
        }
    }

    // Keys a live stream has no use for.
    bool LiveRefuses(const char *what) {
        if (!m_bLive)
            return false;
        std::fprintf(stderr, "qvplay: %s is not available on a live stream\n", what);
        return true;
    }

    // Pauses on the frame the position names. A pause drops the pictures
    // still queued for the screen, so the picture left there can be a few
    // frames older than the position: showing that frame again makes the
    // two agree (forward play; backward play keeps what it shows).
    int32_t PauseHere() {
        const bool bWasPlaying = Get32(m_h, PLAY_ATTRIBUTE_STATE) == PLAY_STATE_PLAYING;
        int32_t rc = SetAction(m_h, PLAY_ACTION_PAUSE);
        if (rc != PLAY_OK || !bWasPlaying || m_bLive || Get32(m_h, PLAY_ATTRIBUTE_PLAY_BACKWARD) != 0 ||
            Get32(m_h, PLAY_ATTRIBUTE_FILE_ENDED) != 0)
            return rc;
        rc = SeekToFrame(Get32(m_h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX));
        // Without the index the picture stays as it is: still paused.
        return rc == PLAY_E_INDEX_NOT_READY || rc == PLAY_E_NOT_FOUND ? PLAY_OK : rc;
    }

    // Shows the frame of that index. The player takes a seek to the frame
    // after the one shown as a step, which can land a few frames off after
    // a pause; any other seek by index loads the frame's group and lands
    // exactly, so a step that missed is sought again.
    int32_t SeekToFrame(uint32_t index) {
        int32_t rc = PLAY_OK;
        for (int attempt = 0; attempt < 3; ++attempt) {
            rc = SeekTo(m_h, PLAY_SEEK_INDEX, index);
            // A playing player moves on at once: only a paused one is checked.
            if (rc != PLAY_OK || Get32(m_h, PLAY_ATTRIBUTE_STATE) != PLAY_STATE_PAUSED ||
                Get32(m_h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) == index)
                break;
        }
        return rc;
    }

    // One frame forward or back, pausing first, by frame index: the picture
    // is exactly that frame's.
    void Step(bool bForward) {
        Queue(bForward ? "stepping forward" : "stepping back", [this, bForward]() -> int32_t {
            int32_t rc = PauseHere();
            if (rc != PLAY_OK)
                return rc;
            const uint32_t count = Get32(m_h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
            const uint32_t index = Get32(m_h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX);
            if (bForward ? count == 0 || index + 1 >= count : index == 0)
                return PLAY_OK; // at the last or the first frame
            return SeekToFrame(bForward ? index + 1 : index - 1);
        });
        m_bStopped = false;
    }

    void Resume(bool bBackward) {
        Queue(
            bBackward ? "playing backward" : "playing",
            [this, bBackward] {
                return SetAction(m_h, bBackward ? PLAY_ACTION_PLAY_BACKWARD : PLAY_ACTION_PLAY_FORWARD);
            },
            bBackward ? 30 : 3);
        m_bStopped = false;
    }

    void OnKey(PlayKey key) {
        switch (key) {
        case PlayKey::Pause: {
            // Pending keys first: the state they leave decides.
            RunPending();
            const uint32_t state = Get32(m_h, PLAY_ATTRIBUTE_STATE);
            if (state == PLAY_STATE_PLAYING || state == PLAY_STATE_PAUSE_REQUESTED) {
                Queue("pausing", [this] { return PauseHere(); });
            } else {
                Resume(m_bBackward);
            }
            break;
        }
        case PlayKey::StepForward:
            if (LiveRefuses("stepping"))
                break;
            Step(true);
            break;
        case PlayKey::StepBack:
            if (LiveRefuses("stepping back"))
                break;
            Step(false);
            break;
        case PlayKey::Faster:
        case PlayKey::Slower: {
            const float current = GetFloat(m_h, PLAY_ATTRIBUTE_SPEED);
            float speed = key == PlayKey::Faster ? current * 2 : current / 2;
            speed = std::clamp(speed, PLAY_SPEED_MIN, PLAY_SPEED_MAX);
            const int32_t rc = Play_SetControl(m_h, PLAY_CONTROL_SPEED, &speed, sizeof(speed));
            if (rc != PLAY_OK)
                PrintFailure("setting the speed", rc);
            break;
        }
        case PlayKey::Backward:
            if (LiveRefuses("backward play"))
                break;
            m_bBackward = !m_bBackward;
            if (m_bBackward && Get32(m_h, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) == 0)
                std::fprintf(stderr, "qvplay: backward play starts once the file index is complete\n");
            Resume(m_bBackward);
            break;
        case PlayKey::Home:
            if (LiveRefuses("seeking"))
                break;
            Queue(
                "seeking to the start", [this] { return SeekToFrame(0); }, 10);
            m_bStopped = false;
            break;
        case PlayKey::End:
            if (LiveRefuses("seeking"))
                break;
            Queue(
                "seeking to the last key frame", [this] { return SeekToFrame(LastKeyFrame()); }, 10);
            m_bStopped = false;
            break;
        case PlayKey::Snapshot: {
            const std::string path =
                SnapshotPath(m_o.path, m_bLive, Get32(m_h, PLAY_ATTRIBUTE_PLAY_DURATION));
            const int32_t rc = WriteSnapshot(m_h, path);
            if (rc == PLAY_OK) {
                std::printf("%s\n", path.c_str());
                std::fflush(stdout);
            } else {
                std::fprintf(stderr, "qvplay: %s: ", path.c_str());
                PrintFailure("writing the snapshot", rc);
            }
            break;
        }
        default: {
            if (LiveRefuses("seeking"))
                break;
            const uint32_t tenths =
                static_cast<uint32_t>(static_cast<int>(key) - static_cast<int>(PlayKey::Digit0));
            Queue(
                "seeking",
                [this, tenths] {
                    // The first frame at or after that share of the
                    // recording, by index: a seek by index shows exactly the
                    // frame asked for.
                    const uint32_t count = Get32(m_h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
                    const uint64_t last = count > 0 ? count - 1 : 0;
                    return SeekToFrame(static_cast<uint32_t>((last * tenths + 9) / 10));
                },
                10);
            m_bStopped = false;
            break;
        }
        }
    }

    // The index of the last key frame, from the key-frame distance the
    // player measures over its first seconds of play (until then, the last
    // frame).
    uint32_t LastKeyFrame() const {
        const uint32_t count = Get32(m_h, PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
        const uint32_t distance = Get32(m_h, PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE);
        if (count == 0)
            return 0;
        if (distance == 0)
            return count - 1;
        return (count - 1) / distance * distance;
    }

    // A live stream has ended once its input is in, nothing is queued and
    // the picture has stood still for a moment (the decoder and the display
    // have let go of theirs).
    bool LiveEnded(bool bInputDone, uint32_t state, Clock::time_point now) {
        if (!bInputDone || state != PLAY_STATE_PLAYING) {
            m_lastChange = now;
            return false;
        }
        const uint32_t index = Get32(m_h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX);
        const uint32_t queued = Get32(m_h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT);
        if (index != m_lastIndex || queued != 0) {
            m_lastIndex = index;
            m_lastChange = now;
            return false;
        }
        return now - m_lastChange >= std::chrono::seconds(1);
    }

    void UpdateTitle() {
        char speed[32];
        std::snprintf(speed, sizeof(speed), "x%g", static_cast<double>(GetFloat(m_h, PLAY_ATTRIBUTE_SPEED)));
        std::string title = "qvplay - " + m_name + "  " + Position(Get32(m_h, PLAY_ATTRIBUTE_PLAY_DURATION));
        if (m_bLive)
            title += " (live)";
        else
            title += " / " + Position(Get32(m_h, PLAY_ATTRIBUTE_FILE_DURATION));
        title += std::string("  ") + speed;
        if (!m_bLive && Get32(m_h, PLAY_ATTRIBUTE_PLAY_BACKWARD) != 0)
            title += "  backward";
        if (Get32(m_h, PLAY_ATTRIBUTE_STATE) == PLAY_STATE_PAUSED)
            title += "  paused";
        if (title != m_title) {
            m_title = title;
            m_window.SetTitle(title);
        }
    }

    const PlayOptions &m_o;
    PLAY_HANDLE m_h;
    bool m_bLive;
    CPlayWindow &m_window;
    std::string m_name;
    std::deque<Pending> m_pending;
    std::string m_title;
    int m_width = 704, m_height = 576; // until the first picture tells
    bool m_bBackward = false;          // the direction space resumes in
    bool m_bStopped = false;           // paused by --pause-after or at the end
    bool m_bPauseAfterDone = false;
    Clock::time_point m_start, m_stoppedAt, m_lastChange;
    uint32_t m_lastIndex = 0;
    int m_exitCode = 0;
};

int CmdPlay(const PlayOptions &o) {
    const bool bLive = o.path == "-";
    CFilePlayer file;
    if (!bLive) {
        if (int rc = file.Open(o.path))
            return rc;
    }
    const std::string name = bLive ? "stdin" : o.path.substr(o.path.find_last_of("/\\") + 1);
    CPlayWindow window;
    if (!window.Create(704, 576, "qvplay - " + name)) {
        std::fprintf(stderr, "qvplay: cannot open a window (is DISPLAY set?)\n");
        return kExitNoDisplay;
    }
    if (!bLive) {
        CPlaySession session(o, file.Handle(), false, window, name);
        if (!session.Start())
            return kExitFailure;
        while (window.Pump(20))
            if (!session.Turn(false))
                break;
        return session.ExitCode();
    }

    // Live: the window answers while the header block is read. The feeder
    // is declared after the player, so it stops before the player goes.
    CStreamPlayer stream;
    CStdinFeeder feeder;
    feeder.Start();
    std::vector<uint8_t> header;
    while (!feeder.HeaderReady(&header)) {
        PlayKey key;
        if (!window.Pump(20))
            return 0;
        while (window.NextKey(&key))
            if (key == PlayKey::Quit)
                return 0;
    }
    if (int rc = stream.Open(header)) {
        feeder.SetPlayer(nullptr);
        return rc;
    }
    CPlaySession session(o, stream.Handle(), true, window, name);
    if (!session.Start()) {
        feeder.SetPlayer(nullptr);
        return kExitFailure;
    }
    feeder.SetPlayer(stream.Handle());
    int32_t failure = PLAY_OK;
    bool bReported = false;
    while (window.Pump(20)) {
        const bool bDone = feeder.InputDone(&failure);
        if (failure != PLAY_OK && !bReported) {
            bReported = true;
            PrintFailure("Play_InputData", failure);
        }
        if (!session.Turn(bDone))
            break;
    }
    feeder.Stop();
    return session.ExitCode();
}

} // namespace

Command AddPlayCommand(CLI::App &app) {
    auto o = std::make_shared<PlayOptions>();
    Command command;
    command.pApp =
        app.add_subcommand("play", "play a recording (or - : a live stream on standard input) in a "
                                   "window; keys: see below");
    command.pApp->footer(kKeysHelp);
    command.pApp->add_option("FILE", o->path, "the recording, or - for a live stream on standard input")
        ->required();
    command.pApp->add_option("--speed", o->speed, "speed factor, 1/64 to 64 (default 1)")
        ->check(CLI::Range(0.015625f, 64.0f));
    command.pApp->add_flag("--no-sound", o->bNoSound, "play without sound");
    command.pApp->add_option("--pause-after", o->pauseAfter, "pause after this many seconds of playing")
        ->check(CLI::NonNegativeNumber);
    command.pApp
        ->add_option("--linger", o->linger,
                     "seconds the window stays open once paused or at the end (default 0: quit)")
        ->check(CLI::NonNegativeNumber);
    command.pApp->add_option("--snapshot", o->snapshot,
                             "write the picture on screen as a BMP file when paused or at the end");
    command.run = [o] { return CmdPlay(*o); };
    return command;
}

} // namespace qvplay
