// An X server for the tests and window helpers on the test's own connection.
#ifndef _WIN32

#include "tests/display/xserver.h"

#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "display/hookpaint.h"
#include "display/linux/x11connection.h"

namespace testx {

namespace {

std::mutex g_mutex;
Display *g_pDisplay = nullptr; // the test's connection
pid_t g_xvfb = 0;              // our Xvfb, when we started one
bool g_bAtExit = false;

bool DisplayAnswers() {
    const char *pszName = std::getenv("DISPLAY");
    if (pszName == nullptr || *pszName == 0)
        return false;
    Display *pDisplay = XOpenDisplay(nullptr);
    if (pDisplay == nullptr)
        return false;
    XCloseDisplay(pDisplay);
    return true;
}

} // namespace

// Xvfb picks a free display number itself and writes it to the descriptor
// -displayfd names once it accepts connections.
int StartXvfb(std::string *pName, std::string *pError) {
    int anPipe[2];
    if (pipe(anPipe) != 0) {
        *pError = "pipe failed";
        return 0;
    }
    const std::string fd = std::to_string(anPipe[1]);
    const char *apszArgs[] = {"Xvfb",    "-displayfd", fd.c_str(),     "-nolisten", "tcp",
                              "-screen", "0",          "1280x1024x24", "-noreset",  nullptr};
    const pid_t pid = fork();
    if (pid < 0) {
        *pError = "fork failed";
        return 0;
    }
    if (pid == 0) {
        // Dies with the test process, whatever ends it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(anPipe[0]);
        const int nNull = open("/dev/null", O_RDWR);
        if (nNull >= 0) {
            dup2(nNull, 0);
            dup2(nNull, 1);
            dup2(nNull, 2);
        }
        execvp("Xvfb", const_cast<char *const *>(apszArgs));
        _exit(127);
    }
    close(anPipe[1]);
    std::string number;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{anPipe[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        char ch;
        const ssize_t n = read(anPipe[0], &ch, 1);
        if (n <= 0)
            break; // Xvfb ended
        if (ch == '\n')
            break;
        number += ch;
    }
    close(anPipe[0]);
    if (number.empty()) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        *pError = "Xvfb did not start (is it installed?)";
        return 0;
    }
    *pName = ":" + number;
    return pid;
}

void StopXvfb(int pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

namespace {

void StopAtExit() {
    Shutdown();
}

// Events of the test connection that must wait for a window's state.
void WaitForEvent(Window window, int nType) {
    XEvent event;
    do {
        XWindowEvent(g_pDisplay, window, StructureNotifyMask | ExposureMask, &event);
    } while (event.type != nType);
}

unsigned long PixelOf(uint32_t dwRgb) {
    // The test screens are 24-bit TrueColor with red at the top: the value is
    // the pixel.
    return dwRgb;
}

uint32_t RgbOf(XImage *pImage, int x, int y) {
    const unsigned long pixel = XGetPixel(pImage, x, y);
    auto channel = [pixel](unsigned long mask) -> uint32_t {
        if (mask == 0)
            return 0;
        int nShift = 0;
        while (!((mask >> nShift) & 1))
            ++nShift;
        return static_cast<uint32_t>((pixel & mask) >> nShift);
    };
    return (channel(pImage->red_mask) << 16) | (channel(pImage->green_mask) << 8) |
           channel(pImage->blue_mask);
}

Picture ReadDrawable(Drawable drawable, int nWidth, int nHeight) {
    Picture picture;
    XImage *pImage = XGetImage(g_pDisplay, drawable, 0, 0, nWidth, nHeight, AllPlanes, ZPixmap);
    if (pImage == nullptr)
        return picture;
    picture.nWidth = nWidth;
    picture.nHeight = nHeight;
    picture.pixels.resize(static_cast<size_t>(nWidth) * nHeight);
    for (int y = 0; y < nHeight; ++y)
        for (int x = 0; x < nWidth; ++x)
            picture.pixels[static_cast<size_t>(y) * nWidth + x] = RgbOf(pImage, x, y);
    XDestroyImage(pImage);
    return picture;
}

} // namespace

Display *EnsureDisplay(std::string *pError) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_pDisplay != nullptr)
        return g_pDisplay;
    if (!DisplayAnswers() && g_xvfb == 0) {
        std::string name;
        g_xvfb = StartXvfb(&name, pError);
        if (g_xvfb == 0)
            return nullptr;
        setenv("DISPLAY", name.c_str(), 1);
    }
    g_pDisplay = XOpenDisplay(nullptr);
    if (g_pDisplay == nullptr) {
        *pError = "cannot open the X display";
        return nullptr;
    }
    if (!g_bAtExit) {
        std::atexit(StopAtExit);
        g_bAtExit = true;
    }
    return g_pDisplay;
}

void Shutdown() {
    // The library's connections go first: a watcher left reading a server
    // that vanished would report a broken connection.
    CHookPaint::Instance().Shutdown();
    x11::CloseSharedConnection();
    std::lock_guard<std::mutex> guard(g_mutex);
    if (g_pDisplay != nullptr) {
        XCloseDisplay(g_pDisplay);
        g_pDisplay = nullptr;
    }
    if (g_xvfb != 0) {
        StopXvfb(g_xvfb);
        g_xvfb = 0;
    }
}

Window CreateWindow(int nX, int nY, int nWidth, int nHeight, uint32_t dwBackground) {
    const int nScreen = DefaultScreen(g_pDisplay);
    const Window window = XCreateSimpleWindow(g_pDisplay, RootWindow(g_pDisplay, nScreen), nX, nY, nWidth,
                                              nHeight, 0, 0, PixelOf(dwBackground));
    XSelectInput(g_pDisplay, window, StructureNotifyMask);
    XMapWindow(g_pDisplay, window);
    WaitForEvent(window, MapNotify);
    XSync(g_pDisplay, False);
    return window;
}

void DestroyWindow(Window window) {
    XDestroyWindow(g_pDisplay, window);
    XSync(g_pDisplay, False);
}

void ResizeWindow(Window window, int nWidth, int nHeight) {
    XResizeWindow(g_pDisplay, window, nWidth, nHeight);
    WaitForEvent(window, ConfigureNotify);
    XSync(g_pDisplay, False);
}

void FillWindow(Window window, uint32_t dwRgb) {
    XWindowAttributes attributes;
    XGetWindowAttributes(g_pDisplay, window, &attributes);
    GC gc = XCreateGC(g_pDisplay, window, 0, nullptr);
    XSetForeground(g_pDisplay, gc, PixelOf(dwRgb));
    XFillRectangle(g_pDisplay, window, gc, 0, 0, attributes.width, attributes.height);
    XFreeGC(g_pDisplay, gc);
    XSync(g_pDisplay, False);
}

Picture ReadWindow(Window window) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(g_pDisplay, window, &attributes) == 0)
        return Picture{};
    return ReadDrawable(window, attributes.width, attributes.height);
}

Picture ReadScreen() {
    const int nScreen = DefaultScreen(g_pDisplay);
    return ReadDrawable(RootWindow(g_pDisplay, nScreen), DisplayWidth(g_pDisplay, nScreen),
                        DisplayHeight(g_pDisplay, nScreen));
}

bool ReadBmp(const std::string &path, Picture *pPicture) {
    std::FILE *pFile = std::fopen(path.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), pFile)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(pFile);
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

bool WritePpm(const std::string &path, const Picture &picture) {
    FILE *pFile = std::fopen(path.c_str(), "wb");
    if (pFile == nullptr)
        return false;
    std::fprintf(pFile, "P6\n%d %d\n255\n", picture.nWidth, picture.nHeight);
    std::vector<uint8_t> row(static_cast<size_t>(picture.nWidth) * 3);
    bool bOk = true;
    for (int y = 0; y < picture.nHeight && bOk; ++y) {
        for (int x = 0; x < picture.nWidth; ++x) {
            const uint32_t dw = picture.At(x, y);
            row[3 * x] = static_cast<uint8_t>(dw >> 16);
            row[3 * x + 1] = static_cast<uint8_t>(dw >> 8);
            row[3 * x + 2] = static_cast<uint8_t>(dw);
        }
        bOk = std::fwrite(row.data(), 1, row.size(), pFile) == row.size();
    }
    return std::fclose(pFile) == 0 && bOk;
}

bool ReadPpm(const std::string &path, Picture *pPicture) {
    FILE *pFile = std::fopen(path.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    int nWidth = 0, nHeight = 0, nMax = 0;
    bool bOk = std::fscanf(pFile, "P6 %d %d %d", &nWidth, &nHeight, &nMax) == 3 && nMax == 255 &&
               nWidth > 0 && nHeight > 0 && std::fgetc(pFile) != EOF;
    if (bOk) {
        pPicture->nWidth = nWidth;
        pPicture->nHeight = nHeight;
        pPicture->pixels.resize(static_cast<size_t>(nWidth) * nHeight);
        std::vector<uint8_t> row(static_cast<size_t>(nWidth) * 3);
        for (int y = 0; y < nHeight && bOk; ++y) {
            bOk = std::fread(row.data(), 1, row.size(), pFile) == row.size();
            for (int x = 0; x < nWidth && bOk; ++x)
                pPicture->pixels[static_cast<size_t>(y) * nWidth + x] =
                    (uint32_t{row[3 * x]} << 16) | (uint32_t{row[3 * x + 1]} << 8) | row[3 * x + 2];
        }
    }
    std::fclose(pFile);
    return bOk;
}

std::string ProgramFolder() {
    char szPath[4096];
    const ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    if (n <= 0)
        return ".";
    std::string path(szPath, static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

} // namespace testx

#endif // _WIN32
