// qvplay play driven from the keyboard as a person would: qvplay runs as a
// child under the tests' X server, its window is found by title, keys are
// sent to it and the title and the window's pixels are read back. The demo
// recording (samples/make_demo.cpp) is 375 frames at 25 a second (the last
// at 14960 ms) with a key frame every 25 frames and an on-screen clock
// "2012-03-04 00:05:ss" that advances with each second of the recording.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "../display/xserver.h"
#include "fixtures/recordings.h"
#include "qvplay_run.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kDemoFrameMs = 40;
constexpr uint32_t kDemoFrames = 375;
constexpr uint32_t kDemoKeyDistance = 25;
constexpr uint32_t kDemoDurationMs = (kDemoFrames - 1) * kDemoFrameMs;
constexpr int kDemoWidth = 704, kDemoHeight = 576;
// Where the clock item is drawn (left, top) and a box its text stays in.
constexpr int kClockLeft = 12, kClockTop = 46, kClockRight = 16 + 19 * 14 + 8, kClockBottom = 48 + 30;

// What qvplay's title says.
struct Title {
    std::string text;
    int64_t positionMs = -1;
    int64_t durationMs = -1; // -1 for a live stream
    double speed = 0;
    bool bPaused = false;
    bool bBackward = false;
    bool bLive = false;
};

int64_t ParseMoment(const std::smatch &m, size_t first) {
    return std::stoll(m[first].str()) * 60000 + std::stoll(m[first + 1].str()) * 1000 +
           std::stoll(m[first + 2].str());
}

Title ParseTitle(const std::string &text) {
    Title t;
    t.text = text;
    static const std::regex file(R"((\d+):(\d\d)\.(\d\d\d) / (\d+):(\d\d)\.(\d\d\d)  x([0-9.e+-]+))");
    static const std::regex live(R"((\d+):(\d\d)\.(\d\d\d) \(live\)  x([0-9.e+-]+))");
    std::smatch m;
    if (std::regex_search(text, m, file)) {
        t.positionMs = ParseMoment(m, 1);
        t.durationMs = ParseMoment(m, 4);
        t.speed = std::stod(m[7].str());
    } else if (std::regex_search(text, m, live)) {
        t.positionMs = ParseMoment(m, 1);
        t.speed = std::stod(m[4].str());
        t.bLive = true;
    }
    t.bPaused = text.find("  paused") != std::string::npos;
    t.bBackward = text.find("  backward") != std::string::npos;
    return t;
}

int Channel(uint32_t rgb, int shift) {
    return static_cast<int>((rgb >> shift) & 0xFF);
}

// Pixels of two pictures of the same size that differ by more than the
// rounding of a second conversion.
size_t Differing(const testx::Picture &a, const testx::Picture &b) {
    if (a.nWidth != b.nWidth || a.nHeight != b.nHeight)
        return SIZE_MAX;
    size_t differing = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        for (int shift : {0, 8, 16})
            if (std::abs(Channel(a.pixels[i], shift) - Channel(b.pixels[i], shift)) > 2) {
                ++differing;
                break;
            }
    return differing;
}

// The clock's white text pixels (the demo's picture has no white of its own).
std::vector<int> ClockWhite(const testx::Picture &p) {
    std::vector<int> white;
    for (int y = kClockTop; y < std::min(kClockBottom, p.nHeight); ++y)
        for (int x = kClockLeft; x < std::min(kClockRight, p.nWidth); ++x) {
            const uint32_t c = p.At(x, y);
            if (Channel(c, 16) >= 230 && Channel(c, 8) >= 230 && Channel(c, 0) >= 230)
                white.push_back(y * p.nWidth + x);
        }
    return white;
}

// A picture, not a black or blank window: bright enough and many colours.
void ExpectAPicture(const testx::Picture &p, const std::string &what) {
    ASSERT_GT(p.nWidth, 0) << what << ": the window cannot be read";
    double luma = 0;
    std::vector<uint32_t> colours;
    size_t n = 0;
    for (int y = 0; y < p.nHeight; y += 4)
        for (int x = 0; x < p.nWidth; x += 4, ++n) {
            const uint32_t c = p.At(x, y);
            luma += 0.299 * Channel(c, 16) + 0.587 * Channel(c, 8) + 0.114 * Channel(c, 0);
            colours.push_back(c & 0xF0F0F0);
        }
    std::sort(colours.begin(), colours.end());
    colours.erase(std::unique(colours.begin(), colours.end()), colours.end());
    EXPECT_GT(luma / n, 40.0) << what << ": the window is (nearly) black";
    EXPECT_GT(colours.size(), 50u) << what << ": the window shows no picture";
}

// qvplay play running in a thread of the test; its window found by title.
class CPlayChild {
public:
    CPlayChild(const std::vector<std::string> &args, const qvtool::RunOptions &options = {})
        : m_options(options) {
        std::string error;
        m_pDisplay = testx::EnsureDisplay(&error);
        if (m_pDisplay == nullptr) {
            ADD_FAILURE() << error;
            return;
        }
        m_options.dTimeoutSeconds = 180;
        std::vector<std::string> all = {"play"};
        all.insert(all.end(), args.begin(), args.end());
        m_thread = std::thread([this, all] {
            m_result = qvtool::RunQvplay(all, m_options);
            m_bDone.store(true);
        });
    }
    ~CPlayChild() {
        // A test that failed half-way closes the window; the time limit
        // ends a qvplay that does not listen.
        if (!m_bDone.load() && m_window != 0)
            Close();
        if (m_thread.joinable())
            m_thread.join();
        if (::testing::Test::HasFailure())
            std::fprintf(stderr, "qvplay ended: %s\nstdout:\n%s\n", m_result.Describe().c_str(),
                         m_result.out.c_str());
    }

    bool Done() const { return m_bDone.load(); }

    // Waits for the window named "qvplay - name"; false when qvplay ended
    // or none came.
    bool FindWindow(const std::string &name) {
        const std::string prefix = "qvplay - " + name;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < deadline && !Done()) {
            Window root = DefaultRootWindow(m_pDisplay), parent = 0, *children = nullptr;
            unsigned int count = 0;
            if (XQueryTree(m_pDisplay, root, &root, &parent, &children, &count)) {
                for (unsigned int i = 0; i < count && m_window == 0; ++i) {
                    char *pName = nullptr;
                    if (XFetchName(m_pDisplay, children[i], &pName) && pName != nullptr) {
                        if (std::strncmp(pName, prefix.c_str(), prefix.size()) == 0)
                            m_window = children[i];
                        XFree(pName);
                    }
                }
                if (children != nullptr)
                    XFree(children);
            }
            if (m_window != 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }

    Title ReadTitle() {
        char *pName = nullptr;
        std::string text;
        if (XFetchName(m_pDisplay, m_window, &pName) && pName != nullptr) {
            text = pName;
            XFree(pName);
        }
        return ParseTitle(text);
    }

    // Waits until the title satisfies the condition; the last title read.
    bool WaitTitle(const std::function<bool(const Title &)> &condition, Title *pLast = nullptr,
                   double seconds = 60) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        Title t;
        for (;;) {
            t = ReadTitle();
            if (pLast != nullptr)
                *pLast = t;
            if (condition(t))
                return true;
            if (Clock::now() >= deadline || Done())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // A key press as the keyboard would send it to the window.
    void Key(KeySym sym) {
        XKeyEvent event{};
        event.type = KeyPress;
        event.display = m_pDisplay;
        event.window = m_window;
        event.root = DefaultRootWindow(m_pDisplay);
        event.subwindow = None;
        event.time = CurrentTime;
        event.same_screen = True;
        event.keycode = XKeysymToKeycode(m_pDisplay, sym);
        XSendEvent(m_pDisplay, m_window, True, KeyPressMask, reinterpret_cast<XEvent *>(&event));
        XFlush(m_pDisplay);
    }

    // What a window manager sends when the user closes the window.
    void Close() {
        XClientMessageEvent event{};
        event.type = ClientMessage;
        event.window = m_window;
        event.message_type = XInternAtom(m_pDisplay, "WM_PROTOCOLS", False);
        event.format = 32;
        event.data.l[0] = static_cast<long>(XInternAtom(m_pDisplay, "WM_DELETE_WINDOW", False));
        event.data.l[1] = CurrentTime;
        XSendEvent(m_pDisplay, m_window, False, NoEventMask, reinterpret_cast<XEvent *>(&event));
        XFlush(m_pDisplay);
    }

    // The picture once it has stood still for a moment (a paused player
    // may still be drawing the frame it stopped on).
    testx::Picture SteadyPicture() {
        testx::Picture last = testx::ReadWindow(m_window);
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            testx::Picture now = testx::ReadWindow(m_window);
            if (now.pixels == last.pixels)
                return now;
            last = std::move(now);
        }
        return last;
    }

    // Waits for qvplay to end by itself.
    const qvtool::RunResult &Wait() {
        if (m_thread.joinable())
            m_thread.join();
        return m_result;
    }

    Window WindowId() const { return m_window; }

private:
    qvtool::RunOptions m_options;
    Display *m_pDisplay = nullptr;
    Window m_window = 0;
    std::thread m_thread;
    std::atomic<bool> m_bDone{false};
    qvtool::RunResult m_result;
};

std::string Shot(const std::string &name) {
    return testx::ProgramFolder() + "/play_" + name + ".ppm";
}

// The demo in a folder of the test's own, where snapshots land.
struct DemoCopy {
    filetest::CTempDir dir;
    std::string path;
    DemoCopy() {
        path = (dir.File("demo_v30.qv")).string();
        fs::copy_file(qvtool::SamplesDir() + "/demo_v30.qv", path, fs::copy_options::overwrite_existing);
    }
};

bool Paused(const Title &t) {
    return t.bPaused && t.positionMs >= 0;
}

TEST(PlayKeys, SpacePausesAndHoldsThePictureThenResumes) {
    DemoCopy demo;
    CPlayChild child({demo.path, "--no-sound"});
    ASSERT_TRUE(child.FindWindow("demo_v30.qv"));
    Title t;
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs >= 1000; }, &t)) << t.text;
    EXPECT_FALSE(t.bPaused) << t.text;
    EXPECT_EQ(t.durationMs, int64_t(kDemoDurationMs)) << t.text;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;
    const int64_t at = t.positionMs;
    const testx::Picture first = child.SteadyPicture();
    testx::WritePpm(Shot("paused"), first);
    ExpectAPicture(first, "paused");
    // Two seconds later at 25 frames a second, fifty frames would have gone.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const testx::Picture later = testx::ReadWindow(child.WindowId());
    EXPECT_EQ(Differing(first, later), 0u) << "the paused picture changed";
    t = child.ReadTitle();
    EXPECT_TRUE(t.bPaused) << t.text;
    EXPECT_EQ(t.positionMs, at) << t.text;
    // s writes the picture of the paused moment.
    char name[64];
    std::snprintf(name, sizeof(name), "demo_v30-%02um%02us%03u.bmp", unsigned(at / 60000),
                  unsigned(at / 1000 % 60), unsigned(at % 1000));
    child.Key(XK_s);
    testx::Picture snap;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!testx::ReadBmp(demo.dir.File(name).string(), &snap) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(snap.nWidth, kDemoWidth) << name << " not written";
    EXPECT_LT(Differing(snap, first), snap.pixels.size() / 100) << "the snapshot differs from the window";

    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return !t.bPaused && t.positionMs >= at + 400; }, &t))
        << t.text;
    const testx::Picture resumed = testx::ReadWindow(child.WindowId());
    EXPECT_GT(Differing(first, resumed), 1000u) << "playing on shows the same picture";
    child.Key(XK_q);
    const qvtool::RunResult &r = child.Wait();
    EXPECT_EQ(r.nExitCode, 0) << r.Describe();
}

// Digits seek to tenths of the duration. The picture there is the one qvplay
// snapshots with s, and its clock is the one that playing into the same
// second shows.
TEST(PlayKeys, DigitSeeksShowThatMomentAndSnapshotsMatchTheWindow) {
    DemoCopy demo;
    CPlayChild child({demo.path, "--no-sound"});
    ASSERT_TRUE(child.FindWindow("demo_v30.qv"));
    Title t;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;

    struct Case {
        KeySym key;
        uint32_t tenths;
    };
    const Case cases[] = {{XK_5, 5}, {XK_2, 2}, {XK_9, 9}, {XK_0, 0}};
    std::vector<testx::Picture> shown;
    for (const Case &c : cases) {
        SCOPED_TRACE("digit " + std::to_string(c.tenths));
        // The first frame at or after the moment asked.
        const uint32_t asked = kDemoDurationMs * c.tenths / 10;
        const int64_t expected = int64_t((asked + kDemoFrameMs - 1) / kDemoFrameMs * kDemoFrameMs);
        child.Key(c.key);
        ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs == expected; }, &t)) << t.text;
        EXPECT_TRUE(t.bPaused) << "a seek while paused stays paused: " << t.text;
        shown.push_back(child.SteadyPicture());
        testx::WritePpm(Shot("digit" + std::to_string(c.tenths)), shown.back());
        ExpectAPicture(shown.back(), t.text);

        // s: named after the file and the moment, next to the file, path
        // on stdout at the end; pixels as in the window.
        char name[64];
        std::snprintf(name, sizeof(name), "demo_v30-%02um%02us%03u.bmp", unsigned(expected / 60000),
                      unsigned(expected / 1000 % 60), unsigned(expected % 1000));
        const std::string bmp = demo.dir.File(name).string();
        child.Key(XK_s);
        testx::Picture snap;
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (!testx::ReadBmp(bmp, &snap) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_EQ(snap.nWidth, kDemoWidth) << bmp << " not written";
        ASSERT_EQ(snap.nHeight, kDemoHeight);
        EXPECT_LT(Differing(snap, shown.back()), snap.pixels.size() / 100)
            << "the snapshot differs from the window";
    }
    // The demo repeats a 50-frame clip with its own time code: frames 187
    // (5) and 337 (9) are the clip's frame 37 and look alike but for the
    // clock; frames 75 (2) and 0 (0) are its frames 25 and 0.
    EXPECT_LT(Differing(shown[0], shown[2]), shown[0].pixels.size() / 50) << "5 and 9 show other clip frames";
    EXPECT_NE(ClockWhite(shown[0]), ClockWhite(shown[2]));
    EXPECT_GT(Differing(shown[0], shown[1]), 1000u) << "5 and 2 look alike";
    EXPECT_GT(Differing(shown[1], shown[3]), 1000u) << "2 and 0 look alike";
    const std::vector<int> clockAt0 = ClockWhite(shown[3]), clockAt2 = ClockWhite(shown[1]);
    EXPECT_NE(clockAt0, clockAt2) << "the clock reads the same at 0 s and 3 s";

    // Play from 3 s at a quarter speed within the second of the seek
    // (3000..3999 ms) and pause: the same clock.
    child.Key(XK_Down);
    child.Key(XK_Down);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return std::fabs(t.speed - 0.25) < 1e-9; }, &t))
        << t.text;
    child.Key(XK_Home);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs == 0; }, &t)) << t.text;
    child.Key(XK_2);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs == 3000; }, &t)) << t.text;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return !t.bPaused && t.positionMs >= 3100; }, &t))
        << t.text;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;
    ASSERT_GE(t.positionMs, 3000) << t.text;
    ASSERT_LT(t.positionMs, 4000) << "paused too late to compare the clock: " << t.text;
    const testx::Picture played = child.SteadyPicture();
    testx::WritePpm(Shot("played_to_2s"), played);
    EXPECT_EQ(ClockWhite(played), clockAt2) << "playing and seeking show different clocks";

    child.Key(XK_Escape);
    const qvtool::RunResult &r = child.Wait();
    EXPECT_EQ(r.nExitCode, 0) << r.Describe();
    // One path a line, in the order of the keys.
    const std::vector<std::string> lines = qvtool::Lines(r.out);
    ASSERT_EQ(lines.size(), 4u) << r.out;
    EXPECT_EQ(lines[0], demo.dir.File("demo_v30-00m07s480.bmp").string());
}

// Right shows the next frame (40 ms on), Left the one before: the picture
// that was there.
TEST(PlayKeys, RightAndLeftStepOneFrame) {
    DemoCopy demo;
    CPlayChild child({demo.path, "--no-sound"});
    ASSERT_TRUE(child.FindWindow("demo_v30.qv"));
    Title t;
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs >= 1200; }, &t)) << t.text;
    // Right on a playing player pauses it first.
    child.Key(XK_Right);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;
    const int64_t start = t.positionMs;
    const testx::Picture before = child.SteadyPicture();
    testx::WritePpm(Shot("step_start"), before);
    child.Key(XK_Right);
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs == start + 40; }, &t)) << t.text;
    const testx::Picture next = child.SteadyPicture();
    testx::WritePpm(Shot("step_next"), next);
    EXPECT_GT(Differing(before, next), 100u) << "the next frame looks like the one before";
    child.Key(XK_Right);
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs == start + 80; }, &t)) << t.text;
    child.Key(XK_Left);
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs == start + 40; }, &t)) << t.text;
    child.Key(XK_Left);
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs == start; }, &t)) << t.text;
    const testx::Picture back = child.SteadyPicture();
    testx::WritePpm(Shot("step_back"), back);
    EXPECT_LT(Differing(before, back), before.pixels.size() / 100) << "stepping back shows another picture";
    EXPECT_TRUE(child.ReadTitle().bPaused);
    child.Key(XK_q);
    EXPECT_EQ(child.Wait().nExitCode, 0) << child.Wait().Describe();
}

TEST(PlayKeys, UpAndDownDoubleAndHalveTheSpeedWithinItsRange) {
    DemoCopy demo;
    CPlayChild child({demo.path, "--no-sound", "--speed", "0.5"});
    ASSERT_TRUE(child.FindWindow("demo_v30.qv"));
    Title t;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;
    struct Case {
        KeySym key;
        int presses;
        double speed; // 0.5 doubled or halved that often, kept within 1/64 .. 64
    };
    const Case cases[] = {
        {XK_Up, 1, 1}, {XK_Up, 6, 64}, {XK_Up, 2, 64}, {XK_Down, 3, 8}, {XK_Down, 12, 1.0 / 64}};
    for (const Case &c : cases) {
        for (int i = 0; i < c.presses; ++i)
            child.Key(c.key);
        EXPECT_TRUE(child.WaitTitle([&](const Title &t) { return std::fabs(t.speed - c.speed) < 1e-9; }, &t))
            << "want x" << c.speed << ": " << t.text;
    }
    child.Key(XK_q);
    EXPECT_EQ(child.Wait().nExitCode, 0) << child.Wait().Describe();
}

// b plays backward (the title says so and the position falls), b again
// forward; Home and End go to the first frame and the last key frame.
TEST(PlayKeys, BackwardPlayAndHomeEnd) {
    DemoCopy demo;
    CPlayChild child({demo.path, "--no-sound", "--speed", "2"});
    ASSERT_TRUE(child.FindWindow("demo_v30.qv"));
    Title t;
    // The player measures the key-frame distance End goes by in its first
    // seconds of play.
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs >= 6000; }, &t)) << t.text;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;
    child.Key(XK_End);
    const int64_t lastKey = int64_t((kDemoFrames - 1) / kDemoKeyDistance * kDemoKeyDistance * kDemoFrameMs);
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs == lastKey; }, &t)) << t.text;
    const testx::Picture end = child.SteadyPicture();
    testx::WritePpm(Shot("end"), end);
    ExpectAPicture(end, "End");

    child.Key(XK_b);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.bBackward && !t.bPaused; }, &t)) << t.text;
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs <= lastKey - 1000; }, &t))
        << t.text;
    EXPECT_TRUE(t.bBackward) << t.text;
    testx::WritePpm(Shot("backward"), testx::ReadWindow(child.WindowId()));
    const int64_t turned = child.ReadTitle().positionMs;
    child.Key(XK_b);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return !t.bBackward && !t.bPaused; }, &t)) << t.text;
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs >= turned + 1000; }, &t)) << t.text;

    child.Key(XK_Home);
    // Home while playing: from the first frame on.
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs < 1000; }, &t)) << t.text;
    child.Key(XK_space);
    ASSERT_TRUE(child.WaitTitle(Paused, &t)) << t.text;
    child.Key(XK_Home);
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs == 0; }, &t)) << t.text;
    const testx::Picture home = child.SteadyPicture();
    testx::WritePpm(Shot("home"), home);
    // The demo repeats a 50-frame clip: frames 0 and 350 differ only in the
    // clock (0 s against 14 s).
    EXPECT_LT(Differing(home, end), home.pixels.size() / 50);
    EXPECT_NE(ClockWhite(home), ClockWhite(end));
    child.Key(XK_q);
    EXPECT_EQ(child.Wait().nExitCode, 0) << child.Wait().Describe();
}

TEST(PlayWindow, ClosingTheWindowEndsCleanly) {
    DemoCopy demo;
    CPlayChild child({demo.path, "--no-sound"});
    ASSERT_TRUE(child.FindWindow("demo_v30.qv"));
    Title t;
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.positionMs >= 500; }, &t)) << t.text;
    child.Close();
    const qvtool::RunResult &r = child.Wait();
    EXPECT_EQ(r.nExitCode, 0) << r.Describe();
    EXPECT_FALSE(r.bTimedOut);
    EXPECT_EQ(r.err, "");
}

// The demo on standard input: a live stream, played out to the end of the
// input.
TEST(PlayLive, StdinStreamShowsPicturesAndEndsWithItsInput) {
    qvtool::RunOptions options;
    options.stdinPath = qvtool::SamplesDir() + "/demo_v30.qv";
    // As from a camera, at twice the rate it was recorded (612 KB in 15 s).
    options.dStdinBytesPerSecond = 2 * 612352 / 15.0;
    CPlayChild child({"-", "--no-sound"}, options);
    ASSERT_TRUE(child.FindWindow("stdin"));
    Title t;
    ASSERT_TRUE(child.WaitTitle([](const Title &t) { return t.bLive && t.positionMs >= 2000; }, &t))
        << t.text;
    const testx::Picture live = testx::ReadWindow(child.WindowId());
    testx::WritePpm(Shot("live"), live);
    ExpectAPicture(live, "live");
    // Seeking makes no sense live: noted, and play goes on.
    child.Key(XK_5);
    child.Key(XK_b);
    const int64_t before = child.ReadTitle().positionMs;
    ASSERT_TRUE(child.WaitTitle([&](const Title &t) { return t.positionMs >= before + 1000; }, &t)) << t.text;
    EXPECT_FALSE(t.bBackward);
    // The clip under the OSD repeats every 2 s, and the player may run at up
    // to twice the speed while it catches up: one look a second later can
    // fall on the same clip picture (only the clock differs). Look a few
    // times while it plays.
    testx::Picture later = testx::ReadWindow(child.WindowId());
    for (int look = 0; look < 40 && Differing(live, later) <= 1000u && !child.Done(); ++look) {
        std::this_thread::sleep_for(std::chrono::milliseconds(70));
        later = testx::ReadWindow(child.WindowId());
    }
    testx::WritePpm(Shot("live_later"), later);
    ASSERT_EQ(later.nWidth, live.nWidth) << "the window went away";
    ASSERT_EQ(later.nHeight, live.nHeight) << "the window went away";
    EXPECT_GT(Differing(live, later), 1000u) << "the live picture stands still";
    const qvtool::RunResult &r = child.Wait();
    EXPECT_EQ(r.nExitCode, 0) << r.Describe();
    EXPECT_NE(r.err.find("seeking is not available on a live stream"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("backward play is not available on a live stream"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("ended at 0:1"), std::string::npos) << r.out;
}

TEST(PlayErrors, MissingFileNoDisplayAndNoStream) {
    DemoCopy demo;
    const std::string text = demo.dir.File("notes.txt").string();
    {
        std::ofstream out(text);
        for (int i = 0; i < 2000; ++i)
            out << "no recording here, line " << i << "\n";
    }
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string stdinPath;
        int exitCode;
        const char *message;
    };
    const std::string missing = demo.dir.File("missing.qv").string();
    const std::vector<Case> cases = {
        {"missing file", {QV_QVPLAY, "play", missing}, "", 3, "cannot open the file"},
        {"not a recording", {QV_QVPLAY, "play", text}, "", 4, "not a recording of a known container"},
        {"no display",
         {"-u", "DISPLAY", QV_QVPLAY, "play", demo.path},
         "",
         7,
         "cannot open a window (is DISPLAY set?)"},
        {"no stream on stdin", {QV_QVPLAY, "play", "-"}, text, 4, "not a stream of a known container"},
        {"empty stdin", {QV_QVPLAY, "play", "-"}, "", 4, "before a stream header"},
    };
    std::string error;
    ASSERT_NE(testx::EnsureDisplay(&error), nullptr) << error;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        qvtool::RunOptions options;
        options.stdinPath = c.stdinPath;
        options.dTimeoutSeconds = 60;
        const qvtool::RunResult r = qvtool::Run("/usr/bin/env", c.args, options);
        EXPECT_EQ(r.nExitCode, c.exitCode) << r.Describe();
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

} // namespace

#endif // _WIN32
