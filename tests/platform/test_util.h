// Helpers shared by the platform tests: elapsed time, polling with a
// deadline, unique names for machine-wide objects and temporary paths.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/system.h"
#include "platform/thread.h"
#include "platform/timers.h"

namespace qvtest {

// The argument that makes the test program act as the child of the
// shared-memory test (see main.cpp).
constexpr const char *kSharedMemoryChildArg = "--qv-shared-memory-child";
int RunSharedMemoryChild(int argc, char **argv);
// The argument that makes it act as the child of the named mutex tests.
constexpr const char *kNamedMutexChildArg = "--qv-named-mutex-child";
int RunNamedMutexChild(int argc, char **argv);

class CStopwatch {
public:
    CStopwatch() : m_start(std::chrono::steady_clock::now()) {}
    int64_t ElapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                     m_start)
            .count();
    }

private:
    std::chrono::steady_clock::time_point m_start;
};

// Polls until pred() holds or timeoutMs pass; returns the last pred().
template <typename Pred> bool WaitUntil(Pred pred, uint32_t timeoutMs = 5000) {
    CStopwatch watch;
    while (!pred()) {
        if (watch.ElapsedMs() >= timeoutMs)
            return pred();
        platform::SleepMs(1);
    }
    return true;
}

// A name no other run of the tests uses at the same time.
inline std::string UniqueName(const char *prefix) {
    static std::atomic<uint32_t> serial{0};
    return std::string(prefix) + "_" + std::to_string(platform::CThread::CurrentThreadId()) + "_" +
           std::to_string(uint64_t(platform::QueryCounter()) % 1000000007u) + "_" + std::to_string(++serial);
}

inline platform::WString Widen(const std::string &ascii) {
    return platform::WString(ascii.begin(), ascii.end());
}

inline std::filesystem::path ToPath(const platform::WString &path) {
    return std::filesystem::path(path);
}

// A path in the temporary folder, as the UTF-16 string the platform takes.
inline platform::WString TempPath(const platform::WString &name) {
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec)
        dir = ".";
    std::filesystem::path full = dir / ToPath(name);
#ifdef _WIN32
    return full.wstring();
#else
    return full.u16string();
#endif
}

// Removes a file when the test ends, whatever the outcome.
class CTempFile {
public:
    explicit CTempFile(const platform::WString &name) : m_path(TempPath(name)) {}
    ~CTempFile() {
        std::error_code ec;
        std::filesystem::remove(ToPath(m_path), ec);
    }
    const QV_WCHAR *c_str() const { return m_path.c_str(); }
    const platform::WString &Path() const { return m_path; }

private:
    platform::WString m_path;
};

} // namespace qvtest
