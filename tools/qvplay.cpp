// qvplay: plays, inspects and decodes recordings through the public API.
// One file per command; this one reads the command line and runs the
// command it names.
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, whose types it uses.
#include <shellapi.h>
#endif

#include <CLI/CLI.hpp>

#include "common.h"

namespace {

#ifdef _WIN32
// The wide command line as UTF-8, so that paths outside the ANSI code page
// reach the library intact.
std::vector<std::string> WideArguments() {
    std::vector<std::string> args;
    int argc = 0;
    LPWSTR *argvW = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argvW == nullptr)
        return args;
    for (int i = 0; i < argc; ++i) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, argvW[i], -1, nullptr, 0, nullptr, nullptr);
        std::string arg(bytes > 0 ? size_t(bytes) : 1, '\0');
        if (bytes > 0)
            WideCharToMultiByte(CP_UTF8, 0, argvW[i], -1, arg.data(), bytes, nullptr, nullptr);
        arg.resize(std::strlen(arg.c_str()));
        args.push_back(arg);
    }
    LocalFree(argvW);
    return args;
}
#endif

} // namespace

int main(int argc, char **argv) {
    std::vector<char *> arguments(argv, argv + argc);
#ifdef _WIN32
    std::vector<std::string> wide = WideArguments();
    if (!wide.empty()) {
        arguments.clear();
        for (std::string &arg : wide)
            arguments.push_back(arg.data());
    }
#endif
    arguments.push_back(nullptr);

    CLI::App app{"qvplay: play and inspect DVR and IP-camera recordings"};
    app.require_subcommand(1);
    // "/dir/file" is a path, also on Windows, not a "/option".
    app.allow_windows_style_options(false);
    const std::vector<qvplay::Command> commands = {
        qvplay::AddVersionCommand(app),
        qvplay::AddInfoCommand(app),
        qvplay::AddDecodeCommand(app),
        qvplay::AddPlayCommand(app),
        qvplay::AddFramesCommand(app),
        qvplay::AddSnapshotCommand(app),
        qvplay::AddExportCommand(app),
    };

    CLI11_PARSE(app, static_cast<int>(arguments.size() - 1), arguments.data());
    for (const qvplay::Command &command : commands)
        if (command.pApp->parsed())
            return command.run();
    return qvplay::kExitFailure;
}
