#include "cudachild.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/shared.h"
#include "vdec/basevideocodec.h"
#include "vdec/cuda.h"
#include "vdec/vdec.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char **environ;
#endif

int RunCudaChild(int argc, char **argv) {
    if (argc < 5)
        return 10;
    CudaTestOverrides overrides{argv[0], argv[1], argv[2], argv[3]};
    CudaSetTestOverrides(&overrides);
    platform::CNamedSharedMemory control;
    if (!control.Open(argv[4], 4))
        return 11;
    auto *flags = static_cast<volatile uint8_t *>(control.Data());

    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 352, 288, VDEC_FLAG_HARDWARE, 0};
    CBaseVideoCodec *decoder = nullptr;
    if (Vdec_Create(&decoder, &param) != VDEC_OK)
        return 12;
    DecoderInfo info{};
    Vdec_GetDecoderInfo(decoder, &info);
    if (info.dwDecoderKind != VDEC_KIND_CUDA) {
        Vdec_Destroy(decoder);
        return 13;
    }
    flags[0] = 1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (flags[1] == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    Vdec_Destroy(decoder);
    flags[2] = 1;
    return flags[1] ? 0 : 14;
}

#ifdef _WIN32

bool StartCudaChild(const char *const *args, int count, void **pProcess) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::string command = "\"" + std::string(path) + "\" " + kCudaChildSwitch;
    for (int i = 0; i < count; ++i)
        command += " \"" + std::string(args[i]) + "\"";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::vector<char> line(command.begin(), command.end());
    line.push_back(0);
    if (!CreateProcessA(path, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return false;
    CloseHandle(info.hThread);
    *pProcess = info.hProcess;
    return true;
}

int WaitCudaChild(void *process) {
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process, 99);
        CloseHandle(process);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return int(code);
}

#else

bool StartCudaChild(const char *const *args, int count, void **pProcess) {
    std::vector<char *> argv;
    std::string self = "/proc/self/exe";
    argv.push_back(self.data());
    argv.push_back(const_cast<char *>(kCudaChildSwitch));
    for (int i = 0; i < count; ++i)
        argv.push_back(const_cast<char *>(args[i]));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0)
        return false;
    *pProcess = reinterpret_cast<void *>(intptr_t(pid));
    return true;
}

int WaitCudaChild(void *process) {
    pid_t pid = pid_t(reinterpret_cast<intptr_t>(process));
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

#endif
