// qvplay version, info and decode: what a recording holds and how fast it
// decodes.
#include <chrono>
#include <cstdio>
#include <cstring>
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
    bool bJson = false;    // one JSON object instead of the aligned lines
};

// What info found; a source of null means unknown.
struct InfoFacts {
    std::string generation;
    std::string containerName;
    uint64_t fileSize = 0;
    uint32_t duration = 0;
    uint32_t frameCount = 0;
    bool bVideo = false;
    uint32_t videoCodec = 0;
    uint32_t width = 0, height = 0;
    const char *pszSizeSource = nullptr; // measured, pulled, container
    double rate = 0;
    const char *pszRateSource = nullptr; // measured, estimated, counted
    float rateAtOpen = 0;
    double distance = 0;
    uint32_t interval = 0;
    const char *pszDistanceSource = nullptr; // measured, counted, at least
    uint64_t keyFrames = 0;
    bool bAudio = false;
    uint32_t audioCodec = 0;
    double measuredSeconds = 0;
    uint64_t measuredFrames = 0;
    uint64_t failedPulls = 0;
    int32_t lastFailure = PLAY_OK;
};

std::string JsonNumber(double value) {
    char text[48];
    std::snprintf(text, sizeof(text), "%.3f", value);
    // Trailing zeros say nothing: 25.000 is written 25.
    std::string s = text;
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s == "-0" ? "0" : s;
}

std::string JsonOrNull(bool bKnown, const std::string &value) {
    return bKnown ? value : "null";
}

void PrintInfoJson(const std::string &path, const InfoFacts &f) {
    const bool bSize = f.pszSizeSource != nullptr, bRate = f.pszRateSource != nullptr,
               bDistance = f.pszDistanceSource != nullptr;
    std::string j = "{";
    j += "\"file\": " + JsonString(path);
    j += ", \"container\": " + JsonString(f.generation);
    j += ", \"container_name\": " + JsonOrNull(!f.containerName.empty(), JsonString(f.containerName));
    j += ", \"file_size\": " + std::to_string(f.fileSize);
    j += ", \"duration_ms\": " + std::to_string(f.duration);
    j += ", \"video_frames\": " + std::to_string(f.frameCount);
    j += ", \"video_codec\": " + JsonOrNull(f.bVideo, JsonString(VideoCodecName(f.videoCodec)));
    j += ", \"video_codec_id\": " + JsonOrNull(f.bVideo, std::to_string(f.videoCodec));
    j += ", \"width\": " + JsonOrNull(bSize, std::to_string(f.width));
    j += ", \"height\": " + JsonOrNull(bSize, std::to_string(f.height));
    j += ", \"size_source\": " + JsonOrNull(bSize, JsonString(bSize ? f.pszSizeSource : ""));
    j += ", \"frame_rate\": " + JsonOrNull(bRate, JsonNumber(f.rate));
    j += ", \"frame_rate_source\": " + JsonOrNull(bRate, JsonString(bRate ? f.pszRateSource : ""));
    j += ", \"frame_rate_at_open\": " + JsonOrNull(f.rateAtOpen > 0.0f, JsonNumber(f.rateAtOpen));
    j += ", \"key_frame_distance\": " + JsonOrNull(bDistance, JsonNumber(f.distance));
    j += ", \"key_frame_distance_source\": " +
         JsonOrNull(bDistance, JsonString(bDistance ? f.pszDistanceSource : ""));
    j += ", \"key_frame_interval_ms\": " + JsonOrNull(f.interval != 0, std::to_string(f.interval));
    j += ", \"audio_codec\": " + JsonOrNull(f.bAudio, JsonString(AudioCodecName(f.audioCodec)));
    j += ", \"audio_codec_id\": " + JsonOrNull(f.bAudio, std::to_string(f.audioCodec));
    j += ", \"measured_seconds\": " + JsonNumber(f.measuredSeconds);
    j += ", \"measured_video_frames\": " + std::to_string(f.measuredFrames);
    j += ", \"failed_pulls\": " + std::to_string(f.failedPulls);
    j += ", \"last_failure\": " + JsonOrNull(f.failedPulls != 0, JsonString(DescribeResult(f.lastFailure)));
    j += "}\n";
    std::fputs(j.c_str(), stdout);
}

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

    // What is known, and from where, for both forms of the output.
    InfoFacts f;
    f.generation = GenerationName(info.dwGeneration);
    for (const char *p = info.szName; *p != '\0'; ++p)
        f.containerName +=
            (static_cast<unsigned char>(*p) >= 0x20 && static_cast<unsigned char>(*p) < 0x7F) ? *p : '?';
    f.fileSize = fileSize;
    f.duration = duration;
    f.frameCount = frameCount;
    f.measuredSeconds = counts.VideoSpanMs() / 1000.0;
    f.measuredFrames = counts.video;
    if (counts.video) {
        f.bVideo = true;
        f.videoCodec = counts.videoCodec;
    }
    if (width && height) {
        f.width = width, f.height = height, f.pszSizeSource = "measured";
    } else if (counts.width) {
        f.width = counts.width, f.height = counts.height, f.pszSizeSource = "pulled";
    } else if (counts.frameWidth) {
        f.width = counts.frameWidth, f.height = counts.frameHeight, f.pszSizeSource = "container";
    }
    // A closed statistics window gives the distance and the rate together;
    // without one the rate can only be the estimate made at open.
    if (rate > 0.0f && distance != 0) {
        f.rate = rate, f.pszRateSource = "measured";
    } else if (rate > 0.0f) {
        f.rate = rate, f.pszRateSource = "estimated";
    } else if (counts.VideoSpanMs() > 0) {
        f.rate = double(counts.video - 1) * 1000.0 / counts.VideoSpanMs(), f.pszRateSource = "counted";
    }
    f.rateAtOpen = rateAtOpen;
    if (distance) {
        f.distance = distance, f.interval = interval, f.pszDistanceSource = "measured";
    } else if (counts.keyFrames > 1) {
        f.distance = double(counts.lastKey - counts.firstKey) / double(counts.keyFrames - 1);
        f.pszDistanceSource = "counted";
    } else if (counts.keyFrames == 1) {
        f.distance = double(counts.video - counts.firstKey), f.pszDistanceSource = "at least";
    }
    f.bAudio = counts.audio != 0;
    f.audioCodec = counts.audioCodec;
    f.failedPulls = counts.failedPulls;
    f.lastFailure = counts.lastFailure;
    f.keyFrames = counts.keyFrames;

    if (o.bJson) {
        PrintInfoJson(o.path, f);
        return 0;
    }

    char measured[96];
    std::snprintf(measured, sizeof(measured), "measured over %.1f s of video, %llu frames", f.measuredSeconds,
                  static_cast<unsigned long long>(counts.video));

    std::printf("file                %s\n", o.path.c_str());
    std::printf("container           %s (%s)\n", f.generation.c_str(),
                f.containerName.empty() ? "no name" : f.containerName.c_str());
    std::printf("file size           %s\n", Bytes(fileSize).c_str());
    std::printf("duration            %.3f s (from the index)\n", duration / 1000.0);
    std::printf("video frames        %u (from the index)\n", static_cast<unsigned>(frameCount));
    std::printf("video codec         %s\n",
                counts.video ? VideoCodecName(counts.videoCodec).c_str() : "none seen");
    if (f.pszSizeSource == nullptr)
        std::printf("picture size        unknown (no picture decoded)\n");
    else if (std::strcmp(f.pszSizeSource, "measured") == 0)
        std::printf("picture size        %u x %u (%s)\n", f.width, f.height, measured);
    else if (std::strcmp(f.pszSizeSource, "pulled") == 0)
        std::printf("picture size        %u x %u (of the pictures pulled; the player reported none)\n",
                    f.width, f.height);
    else
        std::printf("picture size        %u x %u (as the container states it; no picture was decoded)\n",
                    f.width, f.height);
    if (f.pszRateSource == nullptr) {
        std::printf("frame rate          unknown\n");
    } else if (std::strcmp(f.pszRateSource, "measured") == 0) {
        std::printf("frame rate          %.2f fps (%s", f.rate, measured);
        if (rateAtOpen > 0.0f)
            std::printf("; %.2f estimated at open", rateAtOpen);
        std::printf(")\n");
    } else if (std::strcmp(f.pszRateSource, "estimated") == 0) {
        std::printf("frame rate          %.2f fps (estimated at open from two key frames)\n", f.rate);
    } else {
        std::printf(
            "frame rate          %.2f fps (counted by qvplay over %llu frames; the player measured none)\n",
            f.rate, static_cast<unsigned long long>(counts.video));
    }
    if (f.pszDistanceSource == nullptr)
        std::printf("key-frame distance  unknown\n");
    else if (std::strcmp(f.pszDistanceSource, "measured") == 0)
        std::printf("key-frame distance  %u frames, %u ms (%s)\n", static_cast<unsigned>(distance),
                    static_cast<unsigned>(interval), measured);
    else if (std::strcmp(f.pszDistanceSource, "counted") == 0)
        std::printf(
            "key-frame distance  %.1f frames (counted by qvplay over %llu key frames; the player measured "
            "none)\n",
            f.distance, static_cast<unsigned long long>(counts.keyFrames));
    else
        std::printf(
            "key-frame distance  at least %llu frames (one key frame seen; the player measured none)\n",
            static_cast<unsigned long long>(counts.video - counts.firstKey));
    std::printf("audio codec         %s\n",
                counts.audio ? AudioCodecName(counts.audioCodec) : "none in the frames pulled");
    if (counts.failedPulls)
        std::printf("note                %llu pulls failed, the last with %s: %s\n",
                    static_cast<unsigned long long>(counts.failedPulls),
                    DescribeResult(counts.lastFailure).c_str(), ResultHint(counts.lastFailure));
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
        std::printf("note                %llu pulls failed, the last with %s: %s\n",
                    static_cast<unsigned long long>(counts.failedPulls),
                    DescribeResult(counts.lastFailure).c_str(), ResultHint(counts.lastFailure));
    return 0;
}

} // namespace

Command AddVersionCommand(CLI::App &app) {
    Command command;
    command.pApp = app.add_subcommand("version", "print the library's version");
    command.pApp->footer("Example: qvplay version");
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
        ->check(Seconds());
    command.pApp
        ->add_option("--measure", o->measure,
                     "seconds of video to decode at most for the measured figures "
                     "(default 10)")
        ->check(Seconds());
    command.pApp->add_flag("--json", o->bJson,
                           "print one JSON object (snake_case keys, numbers as numbers, null when unknown) "
                           "instead of the aligned lines");
    command.pApp->footer("Example: qvplay info --json recording.qv");
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
    command.pApp->footer("Example: qvplay decode recording.qv");
    command.run = [o] { return CmdDecode(*o); };
    return command;
}

} // namespace qvplay
