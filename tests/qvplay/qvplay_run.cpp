#include "qvplay_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

extern char **environ;

namespace qvtool {
namespace {

std::string Slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A file name of our own under the temporary folder for one capture.
std::string CaptureName(const char *what) {
    static int serial = 0;
    return (std::filesystem::temp_directory_path() /
            ("qvplay_test_" + std::to_string(getpid()) + "_" + std::to_string(++serial) + "." + what))
        .string();
}

} // namespace

std::string RunResult::Describe() const {
    std::ostringstream s;
    if (bTimedOut)
        s << "timed out";
    else if (nSignal != 0)
        s << "killed by signal " << nSignal;
    else
        s << "exit code " << nExitCode;
    s << "; stderr:\n" << err;
    return s.str();
}

RunResult Run(const std::string &program, const std::vector<std::string> &args, const RunOptions &options) {
    RunResult result;
    const std::string outPath = CaptureName("out"), errPath = CaptureName("err");
    // Everything the child needs is made before the fork: it only execs.
    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : argStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStore;
    for (char **e = environ; *e != nullptr; ++e)
        envStore.emplace_back(*e);
    envStore.insert(envStore.end(), options.env.begin(), options.env.end());
    std::vector<char *> envp;
    for (std::string &e : envStore)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string inPath = options.stdinPath.empty() ? "/dev/null" : options.stdinPath;
    const bool bPaced = options.dStdinBytesPerSecond > 0 && !options.stdinPath.empty();
    std::vector<uint8_t> paced;
    int feed[2] = {-1, -1};
    if (bPaced) {
        // Both ends close on exec: the child keeps only its standard input,
        // so it sees the end of input when the feeder closes its end.
        if (!ReadFileBytes(options.stdinPath, &paced) || pipe2(feed, O_CLOEXEC) != 0) {
            result.err = "cannot read " + options.stdinPath + " or make a pipe";
            return result;
        }
    }

    const pid_t pid = fork();
    if (pid < 0) {
        result.err = "fork failed";
        if (bPaced) {
            close(feed[0]);
            close(feed[1]);
        }
        return result;
    }
    if (pid == 0) {
        const int in = bPaced ? feed[0] : open(inPath.c_str(), O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (options.onStarted)
        options.onStarted(pid);
    std::thread feeder;
    std::atomic<bool> bChildGone{false};
    if (bPaced) {
        close(feed[0]);
        feeder = std::thread([&paced, &bChildGone, fd = feed[1], rate = options.dStdinBytesPerSecond] {
            // Writes fail with EPIPE (not a signal) once the child is gone.
            signal(SIGPIPE, SIG_IGN);
            const auto start = std::chrono::steady_clock::now();
            const size_t step = 4096;
            for (size_t done = 0; done < paced.size() && !bChildGone.load();) {
                const auto due = start + std::chrono::duration<double>(double(done) / rate);
                if (std::chrono::steady_clock::now() < due) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    continue;
                }
                const size_t n = std::min(step, paced.size() - done);
                const ssize_t put = write(fd, paced.data() + done, n);
                if (put < 0 && errno == EINTR)
                    continue;
                if (put <= 0)
                    break;
                done += size_t(put);
            }
            close(fd);
        });
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(options.dTimeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            result.bTimedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bChildGone.store(true);
    if (feeder.joinable())
        feeder.join(); // a write still blocked fails now the child is gone
    if (WIFEXITED(status))
        result.nExitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.nSignal = WTERMSIG(status);
    result.out = Slurp(outPath);
    result.err = Slurp(errPath);
    std::remove(outPath.c_str());
    std::remove(errPath.c_str());
    return result;
}

std::string QvplayPath() {
    return QV_QVPLAY;
}

std::string SamplesDir() {
    return QV_SAMPLES_DIR;
}

RunResult RunQvplay(const std::vector<std::string> &args, const RunOptions &options) {
    return Run(QvplayPath(), args, options);
}

std::string LineValue(const std::string &text, const std::string &key) {
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return "";
    size_t begin = at + key.size();
    size_t end = text.find('\n', begin);
    if (end == std::string::npos)
        end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\r'))
        --end;
    return text.substr(begin, end - begin);
}

std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool ReadFileBytes(const std::filesystem::path &path, std::vector<uint8_t> *pBytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    pBytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

} // namespace qvtool
