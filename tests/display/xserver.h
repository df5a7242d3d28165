// An X display for the tests: the one DISPLAY names when it answers, or an
// Xvfb of the test process's own, started on first use and stopped at exit
// (after the library's connections are closed). Helpers make, fill and read
// windows through the test's own connection and write screenshots.
#pragma once

#ifndef _WIN32

#include <X11/Xlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testx {

// The test's connection; null (with *pError set) when no server can be had.
Display *EnsureDisplay(std::string *pError);
// Ends the library's paint-hook watcher and shared connection, closes the
// test's connection and stops our Xvfb, if one was started. Also at exit.
void Shutdown();

// Another Xvfb of our own (for tests that make a server go away): its pid,
// 0 on failure; *pName receives its display name (":N").
int StartXvfb(std::string *pName, std::string *pError);
void StopXvfb(int pid);

// A mapped top-level window (waited for until it is viewable) with a plain
// background colour (0xRRGGBB).
Window CreateWindow(int nX, int nY, int nWidth, int nHeight, uint32_t dwBackground);
void DestroyWindow(Window window);
void ResizeWindow(Window window, int nWidth, int nHeight);
void FillWindow(Window window, uint32_t dwRgb);

// Pixels as 0xRRGGBB, row by row.
struct Picture {
    int nWidth = 0;
    int nHeight = 0;
    std::vector<uint32_t> pixels;
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * nWidth + x]; }
};
// The window's contents (its client area); empty when it cannot be read.
Picture ReadWindow(Window window);
// The whole screen (the root window).
Picture ReadScreen();

// A 24-bit BMP file (bottom-up rows padded to four bytes) as pixels.
bool ReadBmp(const std::string &path, Picture *pPicture);
// Binary PPM (P6) files.
bool WritePpm(const std::string &path, const Picture &picture);
bool ReadPpm(const std::string &path, Picture *pPicture);
// The folder of the running test program.
std::string ProgramFolder();

} // namespace testx

#endif // _WIN32
