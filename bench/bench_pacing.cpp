// The display's pacing and its processor time.
//
// Jitter: 1000 pictures of 40 ms through a display manager whose back end
// only notes when it presents; the deviation of each present interval from
// 40 ms (median and 99th percentile) and the drift of the whole run.
//
// Processor time: 1080p pictures through the X11 back end into a 1920x1080
// window (Xvfb of the bench's own when DISPLAY is not set): the display
// thread's processor time per picture (conversion, scaling, drawing), read
// on the display thread itself from the DC-render hook, against the time
// ffmpeg takes to decode a 1080p picture of the committed clip on one thread
// (measured in the same run).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/clipbytes.h"
#include "bench/ffmpegref.h"
#include "display/displaymanager.h"
#include "display/windowsystem.h"

namespace {

using Clock = std::chrono::steady_clock;

// ---- Jitter ----

bool AnyWindow(HWND) {
    return true;
}
bool AnyClientArea(HWND, RECT *pRect) {
    *pRect = RECT{0, 0, 1920, 1080};
    return true;
}
const display::WindowSystemOverride kAnyWindow = {AnyWindow, AnyClientArea};

std::mutex g_presentLock;
std::vector<double> g_presents; // ms

class CTimingBackend final : public CBaseDisplay {
public:
    CTimingBackend(int nSlot, CDisplayManager *pOwner) : CBaseDisplay(nSlot, pOwner) {}
    ~CTimingBackend() override { RemoveAllViewports(); }
    int32_t Present() override {
        const double ms = std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
        std::lock_guard<std::mutex> guard(g_presentLock);
        g_presents.push_back(ms);
        return CBaseDisplay::Present();
    }
};

CBaseDisplay *TimingFactory(int nSlot, CDisplayManager *pOwner, uint32_t) {
    return new CTimingBackend(nSlot, pOwner);
}

struct Picture {
    std::vector<uint8_t> data;
    DISPLAY_PICTURE picture{};
    Picture(int w, int h, uint32_t durationUs) : data(static_cast<size_t>(w) * h * 3 / 2) {
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(i * 7 + (i >> 11));
        picture.dwSize = DISPLAY_PICTURE_SIZE;
        picture.dwFourCC = DISPLAY_FOURCC_I420;
        picture.nWidth = w;
        picture.nHeight = h;
        picture.pData = data.data();
        picture.dwDataSize = static_cast<uint32_t>(data.size());
        picture.dwDuration = durationUs;
    }
};

// Submits count pictures, keeping the queue full.
void Feed(CDisplayManager *pManager, const DISPLAY_PICTURE &picture, int count,
          const DISPLAY_PICTURE_HOOKS *pHooks = nullptr) {
    for (int i = 0; i < count;) {
        if (SubmitPicture(pManager, &picture, pHooks) == DISPLAY_E_QUEUE_FULL) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        ++i;
    }
}

DISPLAY_STATUS StatusOf(CDisplayManager *pManager) {
    DISPLAY_STATUS status{};
    status.dwSize = DISPLAY_STATUS_SIZE;
    GetStatus(pManager, &status);
    return status;
}

void BM_PacingJitter(benchmark::State &state) {
    constexpr int kPictures = 1000;
    for (auto _ : state) {
        display::SetWindowSystemOverride(&kAnyWindow);
        CDisplayManager::SetBackendFactory(TimingFactory);
        g_presents.clear();
        CDisplayManager *pManager = nullptr;
        if (CreateDisplayManager(DISPLAY_FLAG_DRAWDIB | DISPLAY_FLAG_NO_PAINT_HOOK, &pManager) !=
            DISPLAY_OK) {
            state.SkipWithError("no display manager");
            break;
        }
        PLAY_VIEWPORT viewport{};
        viewport.dwSize = PLAY_VIEWPORT_SIZE;
        viewport.hDestWnd = (HWND)1;
        AddViewport(pManager, &viewport);
        Picture picture(64, 48, 40000);
        Feed(pManager, picture.picture, kPictures);
        while (StatusOf(pManager).dwShownCount < kPictures)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        DestroyDisplayManager(pManager);
        CDisplayManager::SetBackendFactory(nullptr);
        display::SetWindowSystemOverride(nullptr);

        std::vector<double> deviations;
        for (size_t i = 1; i < static_cast<size_t>(kPictures); ++i)
            deviations.push_back(std::fabs(g_presents[i] - g_presents[i - 1] - 40.0));
        std::sort(deviations.begin(), deviations.end());
        const double median = deviations[deviations.size() / 2];
        const double p99 = deviations[deviations.size() * 99 / 100];
        const double drift = (g_presents[kPictures - 1] - g_presents[0]) - 40.0 * (kPictures - 1);
        state.counters["median_dev_ms"] = median;
        state.counters["p99_dev_ms"] = p99;
        state.counters["drift_ms"] = drift;
        std::printf("pacing over %d pictures at 40 ms: interval deviation median %.3f ms, p99 %.3f ms; "
                    "whole run %.1f ms off %.0f ms (load average %.2f)\n",
                    kPictures, median, p99, drift, 40.0 * (kPictures - 1), benchref::LoadAverage());
    }
}
BENCHMARK(BM_PacingJitter)->Iterations(1)->Unit(benchmark::kSecond);

// ---- Processor time of the display thread ----

// An Xvfb of our own when no display is set; stopped at exit.
pid_t g_xvfb = 0;
void StopXvfb() {
    if (g_xvfb > 0) {
        kill(g_xvfb, SIGTERM);
        waitpid(g_xvfb, nullptr, 0);
    }
}
bool EnsureDisplay() {
    if (getenv("DISPLAY") != nullptr) {
        if (Display *pDisplay = XOpenDisplay(nullptr)) {
            XCloseDisplay(pDisplay);
            return true;
        }
    }
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    g_xvfb = fork();
    if (g_xvfb == 0) {
        close(fds[0]);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1920x1080x24", "-nolisten", "tcp",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // The number, then a newline: the pipe stays open until both came.
    std::string number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.empty())
        return false;
    const std::string name = ":" + number;
    setenv("DISPLAY", name.c_str(), 1);
    std::atexit(StopXvfb);
    return true;
}

std::atomic<int> g_hooks{0};
std::vector<double> g_threadCpuMs;

void QV_CALL OnDcRender(void *, PLAY_DC_RENDER *, void *) {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts); // on the display thread
    g_threadCpuMs.push_back(ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6);
    ++g_hooks;
}

double FfmpegMsPerFrame() {
    // The clip once and five times: the difference has no start-up in it.
    const std::string clip = QV_SAMPLES_DIR "/h264_1920x1080_gop50.264";
    const std::vector<uint8_t> bytes = benchref::ReadFile(clip.c_str());
    std::vector<uint8_t> five;
    for (int i = 0; i < 5; ++i)
        five.insert(five.end(), bytes.begin(), bytes.end());
    const std::string once = benchref::WriteTempStream(bytes, "pacing-once");
    const std::string many = benchref::WriteTempStream(five, "pacing-five");
    const benchref::FfmpegRun a = benchref::RunFfmpegDecode(once);
    const benchref::FfmpegRun b = benchref::RunFfmpegDecode(many);
    unlink(once.c_str());
    unlink(many.c_str());
    if (!a.ok || !b.ok || b.frames <= a.frames)
        return 0;
    return (b.cpuMs - a.cpuMs) / static_cast<double>(b.frames - a.frames);
}

void BM_DisplayThreadCpu1080p(benchmark::State &state) {
    for (auto _ : state) {
        if (!EnsureDisplay()) {
            state.SkipWithError("no X display (Xvfb missing?)");
            break;
        }
        Display *pDisplay = XOpenDisplay(nullptr);
        const Window window =
            XCreateSimpleWindow(pDisplay, DefaultRootWindow(pDisplay), 0, 0, 1920, 1080, 0, 0, 0);
        XMapWindow(pDisplay, window);
        XSync(pDisplay, False);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CDisplayManager *pManager = nullptr;
        if (CreateDisplayManager(DISPLAY_FLAG_DRAWDIB | DISPLAY_FLAG_NO_PAINT_HOOK, &pManager) !=
            DISPLAY_OK) {
            state.SkipWithError("no X11 back end");
            break;
        }
        PLAY_VIEWPORT viewport{};
        viewport.dwSize = PLAY_VIEWPORT_SIZE;
        viewport.hDestWnd = window;
        AddViewport(pManager, &viewport);
        constexpr int kPictures = 200;
        Picture picture(1920, 1080, 10000);
        DISPLAY_PICTURE_HOOKS hooks{};
        hooks.dwSize = DISPLAY_PICTURE_HOOKS_SIZE;
        hooks.pfnDcRender = OnDcRender;
        g_threadCpuMs.clear();
        g_hooks = 0;
        Feed(pManager, picture.picture, kPictures, &hooks);
        while (g_hooks.load() < kPictures)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        DestroyDisplayManager(pManager);
        XDestroyWindow(pDisplay, window);
        XCloseDisplay(pDisplay);

        const double cpuPerPicture =
            (g_threadCpuMs.back() - g_threadCpuMs.front()) / (g_threadCpuMs.size() - 1);
        const double decode = FfmpegMsPerFrame();
        state.counters["display_ms"] = cpuPerPicture;
        state.counters["decode_ms"] = decode;
        std::printf("display thread per 1080p picture on a 1080p viewport: %.3f ms of processor time; "
                    "ffmpeg -threads 1 decoding a 1080p picture: %.3f ms; ratio %.3f (load average %.2f)\n",
                    cpuPerPicture, decode, decode > 0 ? cpuPerPicture / decode : 0.0,
                    benchref::LoadAverage());
    }
}
BENCHMARK(BM_DisplayThreadCpu1080p)->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
