// Looks at qvplay playing the demo recording in a real window, as a person
// would: a screenshot of the X screen must show the picture the library says
// is on screen (its own snapshot, written by qvplay), at the picture's size,
// not black, with the recorder's title and clock written in white where the
// recording's on-screen-display items put them, and a clock that moves on
// while the recording plays.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "xserver.h"

namespace {

// The top-level window whose name starts with prefix; 0 when none.
Window FindWindow(Display *pDisplay, const std::string &prefix) {
    Window root = DefaultRootWindow(pDisplay), parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (!XQueryTree(pDisplay, root, &root, &parent, &children, &count))
        return 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        char *name = nullptr;
        if (XFetchName(pDisplay, children[i], &name) && name != nullptr) {
            if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0)
                found = children[i];
            XFree(name);
        }
    }
    if (children != nullptr)
        XFree(children);
    return found;
}

int Channel(uint32_t rgb, int shift) {
    return static_cast<int>((rgb >> shift) & 0xFF);
}

// ---- The demo's on-screen display ----

// The demo recording's text items (samples/make_demo.cpp takes the fixture
// writer's defaults): the title "Camera 01" at (16, 16) and the clock
// "2012-03-04 00:05:ss" at (16, 48) on a 704x576 picture, whose texts are 18
// pixels high.
struct DemoText {
    const char *pszName;
    int nX, nY;
    int nChars;
};
constexpr DemoText kDemoTitle = {"title", 16, 16, 9};
constexpr DemoText kDemoClock = {"clock", 16, 48, 19};
constexpr int kDemoTextHeight = 18;

// A rectangle, right and bottom excluded.
struct Area {
    int nLeft, nTop, nRight, nBottom;
    bool Contains(int x, int y) const { return x >= nLeft && x < nRight && y >= nTop && y < nBottom; }
};

// Where a text may show: its left edge on a multiple of 4, its top even,
// one pixel of margin, at most three quarters of the height per character
// across and one and a half heights down.
Area TextArea(const DemoText &text) {
    const int w = text.nChars * kDemoTextHeight * 3 / 4 + 2;
    const int h = kDemoTextHeight * 3 / 2 + 2;
    return Area{text.nX & ~3, text.nY & ~1, (text.nX + w + 3) & ~3, text.nY + h};
}

// The white of the text's body (the demo's colour bars and time code have
// none).
bool NearWhite(uint32_t rgb) {
    return Channel(rgb, 16) >= 230 && Channel(rgb, 8) >= 230 && Channel(rgb, 0) >= 230;
}

// Every white pixel of the picture lies inside the title's or the clock's
// rectangle, and each text is there: enough white, starting at its item's
// corner and a line of text high.
void ExpectDemoTexts(const testx::Picture &picture, const std::string &what) {
    SCOPED_TRACE(what);
    const Area title = TextArea(kDemoTitle), clock = TextArea(kDemoClock);
    size_t stray = 0;
    for (int y = 0; y < picture.nHeight; ++y)
        for (int x = 0; x < picture.nWidth; ++x)
            if (NearWhite(picture.At(x, y)) && !title.Contains(x, y) && !clock.Contains(x, y))
                ++stray;
    EXPECT_EQ(stray, 0u) << "white pixels outside the texts";
    for (const DemoText &text : {kDemoTitle, kDemoClock}) {
        const Area area = TextArea(text);
        int left = picture.nWidth, right = -1, top = picture.nHeight, bottom = -1;
        size_t white = 0;
        for (int y = area.nTop; y < std::min(area.nBottom, picture.nHeight); ++y)
            for (int x = area.nLeft; x < std::min(area.nRight, picture.nWidth); ++x)
                if (NearWhite(picture.At(x, y))) {
                    ++white;
                    left = std::min(left, x);
                    right = std::max(right, x);
                    top = std::min(top, y);
                    bottom = std::max(bottom, y);
                }
        ASSERT_GE(white, static_cast<size_t>(6 * text.nChars)) << "no " << text.pszName << " to be seen";
        EXPECT_LE(left, text.nX + kDemoTextHeight / 2) << "the " << text.pszName << " starts too far right";
        EXPECT_LE(top, text.nY + kDemoTextHeight / 2) << "the " << text.pszName << " starts too low";
        EXPECT_GE(right - left + 1, text.nChars * kDemoTextHeight * 2 / 5)
            << "the " << text.pszName << " is too narrow";
        EXPECT_GE(bottom - top + 1, kDemoTextHeight / 2) << "the " << text.pszName << " is too low";
    }
}

// The white pixels of a text's rectangle.
std::set<std::pair<int, int>> WhiteIn(const testx::Picture &picture, const DemoText &text) {
    std::set<std::pair<int, int>> white;
    const Area area = TextArea(text);
    for (int y = area.nTop; y < area.nBottom; ++y)
        for (int x = area.nLeft; x < area.nRight; ++x)
            if (NearWhite(picture.At(x, y)))
                white.insert({x, y});
    return white;
}

// Runs qvplay on the demo recording with the given options until it has
// written its snapshot and ended; false when it fails.
bool SnapDemo(const std::vector<std::string> &options, const std::string &bmp, testx::Picture *pSnapshot) {
    std::remove(bmp.c_str());
    // The arguments are made before the fork: the child only execs.
    std::vector<std::string> args = {
        QV_QVPLAY, "play", QV_SAMPLES_DIR "/demo_v30.qv", "--no-sound", "--linger", "0", "--snapshot", bmp};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        execv(QV_QVPLAY, argv.data());
        _exit(127);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && testx::ReadBmp(bmp, pSnapshot);
}

TEST(QvplayWindow, TheDemoRecordingIsShownInARealWindow) {
    std::string error;
    Display *pDisplay = testx::EnsureDisplay(&error);
    ASSERT_NE(pDisplay, nullptr) << error;
    const std::string folder = testx::ProgramFolder();
    const std::string bmp = folder + "/qvplay_window_snapshot.bmp";
    std::remove(bmp.c_str());

    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        execl(QV_QVPLAY, QV_QVPLAY, "play", QV_SAMPLES_DIR "/demo_v30.qv", "--no-sound", "--pause-after", "2",
              "--linger", "60", "--snapshot", bmp.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    struct Child {
        pid_t pid;
        ~Child() {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    } child{pid};

    // qvplay writes the snapshot once it has paused: 704x576 gives
    // 54 + 2112 * 576 bytes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat info {};
    while (!(stat(bmp.c_str(), &info) == 0 && info.st_size == 1216566)) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "qvplay wrote no snapshot";
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "qvplay ended early, status " << status;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the paused picture is drawn
    testx::Picture snapshot;
    ASSERT_TRUE(testx::ReadBmp(bmp, &snapshot));

    const Window window = FindWindow(pDisplay, "qvplay - demo_v30.qv");
    ASSERT_NE(window, 0u) << "no qvplay window on the screen";
    const testx::Picture shown = testx::ReadWindow(window);
    testx::WritePpm(folder + "/qvplay_window_screen.ppm", testx::ReadScreen());
    ASSERT_EQ(shown.nWidth, 704);
    ASSERT_EQ(shown.nHeight, 576);

    // The window holds the picture the library says is on screen.
    size_t compared = 0, differing = 0;
    std::set<uint32_t> colours;
    double luma = 0;
    for (int y = 0; y < 576; y += 4)
        for (int x = 0; x < 704; x += 4) {
            const uint32_t a = shown.At(x, y), b = snapshot.At(x, y);
            ++compared;
            colours.insert(a & 0xF0F0F0);
            luma += 0.299 * Channel(a, 16) + 0.587 * Channel(a, 8) + 0.114 * Channel(a, 0);
            for (int shift : {0, 8, 16})
                if (std::abs(Channel(a, shift) - Channel(b, shift)) > 2) {
                    ++differing;
                    break;
                }
        }
    EXPECT_LT(differing, compared / 100)
        << differing << " of " << compared << " pixels differ from the snapshot";
    EXPECT_GT(luma / compared, 40.0) << "the window is (nearly) black";
    EXPECT_GT(colours.size(), 50u) << "the window shows no picture";

    // The recorder's title and clock, on the library's picture and in the
    // window.
    ExpectDemoTexts(snapshot, "snapshot");
    ExpectDemoTexts(shown, "window");
}

// A snapshot after a second of playing and one at the end of the 15 s
// recording (played four times as fast): the clock shows a later second, the
// title stays as it was.
TEST(QvplayWindow, TheDemoClockMovesOnWhileTheTitleStays) {
    std::string error;
    ASSERT_NE(testx::EnsureDisplay(&error), nullptr) << error;
    const std::string folder = testx::ProgramFolder();
    testx::Picture early, late;
    ASSERT_TRUE(SnapDemo({"--pause-after", "1"}, folder + "/qvplay_window_snapshot_early.bmp", &early));
    ASSERT_TRUE(SnapDemo({"--speed", "4"}, folder + "/qvplay_window_snapshot_end.bmp", &late));
    ASSERT_EQ(early.nWidth, 704);
    ASSERT_EQ(late.nWidth, 704);
    ExpectDemoTexts(early, "after a second");
    ExpectDemoTexts(late, "at the end");

    const auto earlyTitle = WhiteIn(early, kDemoTitle), lateTitle = WhiteIn(late, kDemoTitle);
    EXPECT_EQ(earlyTitle, lateTitle) << "the title changed";
    const auto earlyClock = WhiteIn(early, kDemoClock), lateClock = WhiteIn(late, kDemoClock);
    size_t changed = 0;
    for (const auto &p : earlyClock)
        changed += lateClock.count(p) == 0;
    for (const auto &p : lateClock)
        changed += earlyClock.count(p) == 0;
    EXPECT_GE(changed, 10u) << "the clock shows the same time at the end";
}

} // namespace

#endif // _WIN32
