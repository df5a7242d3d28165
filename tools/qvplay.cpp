// qvplay: plays, inspects and decodes recordings through the public API.
#include <cstdio>

#include <CLI/CLI.hpp>

#include "qvplay.h"

namespace {

int CmdVersion() {
    PLAY_VERSION version{};
    int32_t rc = Play_GetVersion(&version);
    if (rc != PLAY_OK) {
        std::fprintf(stderr, "qvplay: Play_GetVersion failed: 0x%08X\n", static_cast<unsigned>(rc));
        return 1;
    }
    std::printf("QVPlaySDK interface %u, build 0x%08X\n", static_cast<unsigned>(version.dwVersion),
                static_cast<unsigned>(version.dwBuild));
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"qvplay: play and inspect DVR and IP-camera recordings"};
    app.require_subcommand(1);
    CLI::App *version = app.add_subcommand("version", "print the library's version");
    CLI11_PARSE(app, argc, argv);
    if (version->parsed())
        return CmdVersion();
    return 1;
}
