// qvplay play: a recording in a window, with sound.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "common.h"
#include "playwindow.h"

namespace qvplay {
namespace {

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

} // namespace

Command AddPlayCommand(CLI::App &app) {
    auto o = std::make_shared<PlayOptions>();
    Command command;
    command.pApp = app.add_subcommand("play", "play a recording in a window (q, Escape or closing it quits)");
    command.pApp->add_option("FILE", o->path, "the recording")->required();
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
