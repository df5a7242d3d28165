// Looks at qvplay playing the demo recording in a real window, as a person
// would: a screenshot of the X screen must show the picture the library says
// is on screen (its own snapshot, written by qvplay), at the picture's size,
// not black.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "xserver.h"

namespace {

// The BMP qvplay wrote: bottom-up 24-bit rows padded to 4 bytes.
bool ReadBmp(const std::string &path, testx::Picture *pPicture) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() < 54 || bytes[0] != 'B' || bytes[1] != 'M')
        return false;
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
                                     bytes[at + 3] << 24);
    };
    const uint32_t offset = u32(10);
    const int w = static_cast<int>(u32(18)), h = static_cast<int>(u32(22));
    const size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t(3);
    if (w <= 0 || h <= 0 || bytes.size() < offset + stride * h)
        return false;
    pPicture->nWidth = w;
    pPicture->nHeight = h;
    pPicture->pixels.resize(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const uint8_t *row = &bytes[offset + stride * (h - 1 - y)];
        for (int x = 0; x < w; ++x)
            pPicture->pixels[static_cast<size_t>(y) * w + x] =
                row[3 * x + 2] << 16 | row[3 * x + 1] << 8 | row[3 * x];
    }
    return true;
}

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
    ASSERT_TRUE(ReadBmp(bmp, &snapshot));

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
}

} // namespace

#endif // _WIN32
