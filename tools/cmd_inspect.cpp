// qvplay version, info and decode: what a recording holds and how fast it
// decodes.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "common.h"

namespace qvplay {
namespace {

int CmdVersion() {
    PLAY_VERSION version{};
    int32_t rc = Play_GetVersion(&version);
    if (rc != PLAY_OK) {
        PrintFailure("Play_GetVersion", rc);
        return kExitFailure;
    }
    std::printf("QVPlaySDK interface %u, build 0x%08X\n", static_cast<unsigned>(version.dwVersion),
                static_cast<unsigned>(version.dwBuild));
    return 0;
}

struct InfoOptions {
    std::string path;
    double timeout = 60.0; // seconds to wait for the index
    double measure = 10.0; // seconds of video to pull at most for the measured figures
};

int CmdInfo(const InfoOptions &o) {
    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;

    StreamInfo info{};
    int32_t rc = player.Get(PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, sizeof(info));
    if (rc != PLAY_OK) {
        PrintFailure("reading the container description", rc);
        return kExitFailure;
    }
    info.szName[sizeof(info.szName) - 1] = '\0';
    const float rateAtOpen = player.GetFloat(PLAY_ATTRIBUTE_VIDEO_FRAME_RATE);

    if (int wait = player.WaitForIndex(o.timeout))
        return wait;
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    const uint32_t duration = player.Get32(PLAY_ATTRIBUTE_FILE_DURATION);
    const uint32_t frameCount = player.Get32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);

    // The rest is measured by playing: pull frames until the player has
    // closed a statistics window (rate and key-frame distance known), the
    // measuring time is used up or the file ends.
    rc = player.EnableDecodeOnDemand();
    if (rc != PLAY_OK) {
        PrintFailure("enabling decode on demand", rc);
        return kExitFailure;
    }
    PullCounts counts;
    const uint32_t measureMs = static_cast<uint32_t>(o.measure * 1000.0);
    uint32_t failedInRow = 0;
    for (;;) {
        if (PullOne(player, counts))
            failedInRow = 0;
        else if (counts.bEnded || ++failedInRow >= kMaxFailedPulls)
            break;
        if (player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE) != 0 &&
            player.GetFloat(PLAY_ATTRIBUTE_VIDEO_FRAME_RATE) > 0.0f && counts.width != 0 && counts.audio != 0)
            break;
        if (counts.VideoSpanMs() >= measureMs)
            break;
    }
    if (failedInRow >= kMaxFailedPulls) {
        PrintFailure("pulling frames", counts.lastFailure);
        return kExitFailure;
    }

    const uint32_t width = player.Get32(PLAY_ATTRIBUTE_PICTURE_WIDTH);
    const uint32_t height = player.Get32(PLAY_ATTRIBUTE_PICTURE_HEIGHT);
    const float rate = player.GetFloat(PLAY_ATTRIBUTE_VIDEO_FRAME_RATE);
    const uint32_t distance = player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE);
    const uint32_t interval = player.Get32(PLAY_ATTRIBUTE_KEY_FRAME_INTERVAL);
    char measured[96];
    std::snprintf(measured, sizeof(measured), "measured over %.1f s of video, %llu frames",
                  counts.VideoSpanMs() / 1000.0, static_cast<unsigned long long>(counts.video));

    std::printf("file                %s\n", o.path.c_str());
    std::printf("container           %s (%s)\n", GenerationName(info.dwGeneration),
                info.szName[0] ? info.szName : "no name");
    std::printf("file size           %s\n", Bytes(fileSize).c_str());
    std::printf("duration            %.3f s (from the index)\n", duration / 1000.0);
    std::printf("video frames        %u (from the index)\n", static_cast<unsigned>(frameCount));
    std::printf("video codec         %s\n",
                counts.video ? VideoCodecName(counts.videoCodec).c_str() : "none seen");
    if (width && height)
        std::printf("picture size        %u x %u (%s)\n", static_cast<unsigned>(width),
                    static_cast<unsigned>(height), measured);
    else if (counts.width)
        std::printf("picture size        %u x %u (of the pictures pulled; the player reported none)\n",
                    static_cast<unsigned>(counts.width), static_cast<unsigned>(counts.height));
    else if (counts.frameWidth)
        std::printf("picture size        %u x %u (as the container states it; no picture was decoded)\n",
                    static_cast<unsigned>(counts.frameWidth), static_cast<unsigned>(counts.frameHeight));
    else
        std::printf("picture size        unknown (no picture decoded)\n");
    // A closed statistics window gives the distance and the rate together;
    // without one the rate can only be the estimate made at open.
    if (rate > 0.0f && distance != 0) {
        std::printf("frame rate          %.2f fps (%s", rate, measured);
        if (rateAtOpen > 0.0f)
            std::printf("; %.2f estimated at open", rateAtOpen);
        std::printf(")\n");
    } else if (rate > 0.0f) {
        std::printf("frame rate          %.2f fps (estimated at open from two key frames)\n", rate);
    } else if (counts.VideoSpanMs() > 0) {
        std::printf(
            "frame rate          %.2f fps (counted by qvplay over %llu frames; the player measured none)\n",
            double(counts.video - 1) * 1000.0 / counts.VideoSpanMs(),
            static_cast<unsigned long long>(counts.video));
    } else {
        std::printf("frame rate          unknown\n");
    }
    if (distance)
        std::printf("key-frame distance  %u frames, %u ms (%s)\n", static_cast<unsigned>(distance),
                    static_cast<unsigned>(interval), measured);
    else if (counts.keyFrames > 1)
        std::printf(
            "key-frame distance  %.1f frames (counted by qvplay over %llu key frames; the player measured "
            "none)\n",
            double(counts.lastKey - counts.firstKey) / double(counts.keyFrames - 1),
            static_cast<unsigned long long>(counts.keyFrames));
    else if (counts.keyFrames == 1)
        std::printf(
            "key-frame distance  at least %llu frames (one key frame seen; the player measured none)\n",
            static_cast<unsigned long long>(counts.video - counts.firstKey));
    else
        std::printf("key-frame distance  unknown\n");
    std::printf("audio codec         %s\n",
                counts.audio ? AudioCodecName(counts.audioCodec) : "none in the frames pulled");
    if (counts.failedPulls)
        std::printf("note                %llu pulls failed, the last with 0x%08X (%s)\n",
                    static_cast<unsigned long long>(counts.failedPulls),
                    static_cast<unsigned>(counts.lastFailure), ResultName(counts.lastFailure));
    return 0;
}

struct DecodeOptions {
    std::string path;
    bool bNoProgress = false; // the bar is shown only when stderr is a terminal
};

int CmdDecode(const DecodeOptions &o) {
    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;
    int32_t rc = player.EnableDecodeOnDemand();
    if (rc != PLAY_OK) {
        PrintFailure("enabling decode on demand", rc);
        return kExitFailure;
    }
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    CProgress progress(!o.bNoProgress && StderrIsTerminal());

    PullCounts counts;
    uint32_t failedInRow = 0;
    const auto start = Clock::now();
    for (;;) {
        if (PullOne(player, counts))
            failedInRow = 0;
        else if (counts.bEnded || ++failedInRow >= kMaxFailedPulls)
            break;
        progress.Update(player.Get64(PLAY_ATTRIBUTE_PLAY_DATA_SIZE), fileSize);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    if (counts.bEnded)
        progress.Update(fileSize, fileSize, true);
    progress.Finish();
    if (!counts.bEnded) {
        PrintFailure("pulling frames", counts.lastFailure);
        std::fprintf(stderr, "qvplay: gave up after %u failed pulls in a row, %llu frames in\n",
                     kMaxFailedPulls, static_cast<unsigned long long>(counts.frames));
        return kExitFailure;
    }

    std::printf("file                %s\n", o.path.c_str());
    std::printf("frames              %llu (%llu video, %llu audio)\n",
                static_cast<unsigned long long>(counts.frames), static_cast<unsigned long long>(counts.video),
                static_cast<unsigned long long>(counts.audio));
    std::printf("pictures            %llu\n", static_cast<unsigned long long>(counts.pictures));
    std::printf("audio blocks        %llu\n", static_cast<unsigned long long>(counts.audioBlocks));
    std::printf("elapsed             %.3f s\n", elapsed);
    std::printf("speed               %.1f video frames per second\n",
                elapsed > 0.0 ? double(counts.video) / elapsed : 0.0);
    if (counts.failedPulls)
        std::printf("note                %llu pulls failed, the last with 0x%08X (%s)\n",
                    static_cast<unsigned long long>(counts.failedPulls),
                    static_cast<unsigned>(counts.lastFailure), ResultName(counts.lastFailure));
    return 0;
}

} // namespace

Command AddVersionCommand(CLI::App &app) {
    Command command;
    command.pApp = app.add_subcommand("version", "print the library's version");
    command.run = [] { return CmdVersion(); };
    return command;
}

Command AddInfoCommand(CLI::App &app) {
    auto o = std::make_shared<InfoOptions>();
    Command command;
    command.pApp = app.add_subcommand(
        "info",
        "describe a recording: container, size, duration and frame count from the index; picture size, "
        "frame rate, key-frame distance and audio codec measured by decoding its first seconds");
    command.pApp->add_option("FILE", o->path, "the recording")->required();
    command.pApp->add_option("--timeout", o->timeout, "seconds to wait for the file index (default 60)")
        ->check(CLI::PositiveNumber);
    command.pApp
        ->add_option("--measure", o->measure,
                     "seconds of video to decode at most for the measured figures "
                     "(default 10)")
        ->check(CLI::PositiveNumber);
    command.run = [o] { return CmdInfo(*o); };
    return command;
}

Command AddDecodeCommand(CLI::App &app) {
    auto o = std::make_shared<DecodeOptions>();
    Command command;
    command.pApp = app.add_subcommand(
        "decode",
        "decode every frame as fast as possible (decode on demand) and print the counts and the speed");
    command.pApp->add_option("FILE", o->path, "the recording")->required();
    command.pApp->add_flag("--no-progress", o->bNoProgress,
                           "no progress bar (it is shown only on a terminal)");
    command.run = [o] { return CmdDecode(*o); };
    return command;
}

} // namespace qvplay
