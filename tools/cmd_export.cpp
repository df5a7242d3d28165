// qvplay export: PLACEHOLDER until the command is written.
#include <cstdio>

#include <CLI/CLI.hpp>

#include "common.h"

namespace qvplay {

Command AddExportCommand(CLI::App &app) {
    Command command;
    command.pApp = app.add_subcommand("export", "not written yet");
    command.run = [] {
        std::fprintf(stderr, "qvplay: export is not written yet\n");
        return kExitFailure;
    };
    return command;
}

} // namespace qvplay
