// The reference the decoder benchmarks compare with: the ffmpeg command line
// decoding an H.264 elementary stream file to the null muxer on one thread,
// timed by the processor time of the child process (user plus system, from
// wait4), with its wall time beside it. The frame count ffmpeg reports comes
// back too, so that a benchmark can check that the reference decoded what
// it did. Processor time is the figure to compare on a machine shared with
// other work; each benchmark runs the reference next to its own rounds
// (interleaved) so that both see the same load.
//
// ffmpeg's start-up (loading its many libraries) costs about 0.2 s of
// processor time, a tenth of the whole for 1000 frames of 1080p, which no
// decoder inside a player pays per stream. So each reference round also
// decodes a stream of only the first access unit, and the per-frame figure
// is the difference over the frames after the first.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace benchref {

struct FfmpegRun {
    bool ok = false;
    double cpuMs = 0;    // user + system time of the child
    double wallMs = 0;   // from spawn to exit
    uint64_t frames = 0; // frames ffmpeg decoded and passed on
    std::string error;
};

inline double RusageMs(const rusage &usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// Processor time of this process so far (all its threads).
inline double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return RusageMs(usage);
}

inline double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The one-minute load average, or -1 when unknown.
inline double LoadAverage() {
    double load[1] = {-1};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

// "ffmpeg -threads N -f h264 -i path -f null -", with the progress report on
// a pipe for the frame count.
inline FfmpegRun RunFfmpegDecode(const std::string &path, int threads = 1) {
    FfmpegRun run;
    std::vector<std::string> args = {
        "ffmpeg",   "-nostdin",  "-hide_banner", "-v",       "error",
        "-nostats", "-progress", "pipe:1",       "-threads", std::to_string(threads),
        "-f",       "h264",      "-i",           path,       "-f",
        "null",     "-"};
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        run.error = "no pipe";
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    const double start = WallMs();
    pid_t pid = 0;
    int spawned = posix_spawnp(&pid, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        run.error = "ffmpeg not found";
        return run;
    }
    // Progress blocks are "key=value" lines; the last "frame=" is the total.
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, size_t(got));
    close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) {
        run.error = "ffmpeg not waited for";
        return run;
    }
    run.wallMs = WallMs() - start;
    run.cpuMs = RusageMs(usage);
    size_t at = text.rfind("frame=");
    if (at != std::string::npos)
        run.frames = std::strtoull(text.c_str() + at + 6, nullptr, 10);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        run.error = "ffmpeg failed";
        return run;
    }
    run.ok = true;
    return run;
}

// One reference round: the whole stream and its first access unit alone.
struct FfmpegReference {
    bool ok = false;
    std::string error;
    FfmpegRun full, first;
    double cpuMsPerFrame = 0;  // (full - first) / (frames - 1)
    double wallMsPerFrame = 0; // the same by wall time
};

inline FfmpegReference MeasureFfmpegReference(const std::string &fullPath, const std::string &firstPath,
                                              uint64_t frames) {
    FfmpegReference ref;
    ref.full = RunFfmpegDecode(fullPath);
    ref.first = RunFfmpegDecode(firstPath);
    if (!ref.full.ok || !ref.first.ok) {
        ref.error = !ref.full.ok ? ref.full.error : ref.first.error;
        return ref;
    }
    if (ref.full.frames != frames || ref.first.frames != 1 || frames < 2) {
        ref.error = "ffmpeg decoded another number of frames";
        return ref;
    }
    ref.cpuMsPerFrame = (ref.full.cpuMs - ref.first.cpuMs) / double(frames - 1);
    ref.wallMsPerFrame = (ref.full.wallMs - ref.first.wallMs) / double(frames - 1);
    ref.ok = true;
    return ref;
}

// Writes bytes to a new file under /tmp; empty on failure. The caller
// unlinks it.
inline std::string WriteTempStream(const std::vector<uint8_t> &bytes, const char *stem) {
    std::string name = std::string("/tmp/") + stem + "-XXXXXX";
    std::vector<char> path(name.begin(), name.end());
    path.push_back('\0');
    int fd = mkstemp(path.data());
    if (fd < 0)
        return {};
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written <= 0)
            break;
        done += size_t(written);
    }
    close(fd);
    if (done != bytes.size()) {
        unlink(path.data());
        return {};
    }
    return path.data();
}

// Median of a few figures (the per-round ratios); 0 when there are none.
inline double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace benchref
