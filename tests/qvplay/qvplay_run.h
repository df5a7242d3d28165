// Runs qvplay (and the FFmpeg command-line tools the tests check its output
// with) as a child process: arguments as given, standard input from a file,
// standard output and error captured, a time limit. Linux only: the tests
// drive the native build.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qvtool {

struct RunResult {
    int nExitCode = -1;  // the process's exit status; -1 when it did not exit by itself
    int nSignal = 0;     // the signal that ended it (a crash, or our kill at the time limit)
    bool bTimedOut = false;
    std::string out;     // standard output
    std::string err;     // standard error
    // For failure messages: how it ended and what it wrote on stderr.
    std::string Describe() const;
};

struct RunOptions {
    std::string stdinPath;         // empty: /dev/null
    // Above 0: the file comes through a pipe at this rate, as from a live
    // source, and the pipe closes after its last byte.
    double dStdinBytesPerSecond = 0;
    double dTimeoutSeconds = 120;  // killed (SIGKILL) after this
    std::vector<std::string> env;  // NAME=VALUE added to the environment
    // Called on the caller's thread with the child's process id once it
    // runs, before waiting for it (to send it signals from elsewhere).
    std::function<void(int pid)> onStarted;
};

// Runs program with args (argv[0] is the program).
RunResult Run(const std::string &program, const std::vector<std::string> &args,
              const RunOptions &options = {});
// The qvplay the tests were built with.
RunResult RunQvplay(const std::vector<std::string> &args, const RunOptions &options = {});
std::string QvplayPath();
// The committed samples folder.
std::string SamplesDir();

// The text between the first occurrence of key and the end of its line,
// trimmed; empty when the key is missing.
std::string LineValue(const std::string &text, const std::string &key);
// The lines of a text, without their line ends.
std::vector<std::string> Lines(const std::string &text);
bool ReadFileBytes(const std::filesystem::path &path, std::vector<uint8_t> *pBytes);

} // namespace qvtool
