// Writes starting corpora for the parser fuzz targets from the fixture
// writers: fuzz_make_seeds <dir> makes <dir>/<target>/<name> for every row
// of the table below. Each target's own prefix bytes (block size, reset,
// split point) come first.
#include <cerrno>
#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <vector>

#ifdef _WIN32
#include <direct.h>
#endif

#include "fixtures/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Prefixed(const uint8_t (&prefix)[2], const Bytes &body) {
    Bytes out(prefix, prefix + 2);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

V30Options SmallV30() {
    V30Options o;
    o.videoSample = "h264_352x288_baseline_cavlc.264";
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 4;
    return o;
}

V20Options SmallV20() {
    V20Options o;
    o.videoSample = "h264_352x288_baseline_cavlc.264";
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 4;
    return o;
}

Bytes V30Plain() {
    return WriteV30(SmallV30(), nullptr);
}

Bytes V30AllRecords() {
    V30Options o = SmallV30();
    o.bMosaic = true;
    o.nClockStyle = 3;
    o.bOsdOnEveryFrame = true;
    o.dwAudioCodec = DEMUX_CODEC_G726;
    o.bFileHeader = false;
    return WriteV30(o, nullptr);
}

Bytes V20Qvms() {
    return WriteV20(SmallV20(), nullptr);
}

Bytes V20Msv2() {
    V20Options o = SmallV20();
    o.bMsv2 = true;
    o.byVideoKind = 5;
    o.dwAudioCodec = DEMUX_CODEC_G722;
    o.clockText = "REC";
    return WriteV20(o, nullptr);
}

Bytes V20Weekday() {
    // A 12-hour clock with the weekday, in a stream without a file header.
    V20FrameFields s;
    FixtureOsdRecord clock;
    clock.dwType = 1;
    clock.byHourMode = 1;
    clock.byStyle = 3;
    clock.bWeekday = true;
    FixtureOsdRecord text;
    text.dwType = 0;
    text.text = "Lobby";
    s.osd = {text, clock};
    s.payload = Bytes(64, 0x11);
    s.dwSeconds = 1330864200;
    Bytes out;
    AppendV20Frame(out, s);
    s.osd.clear();
    s.byFrameClass = 0;
    AppendV20Frame(out, s);
    out.insert(out.end(), {'Q', 'V', 'M', 'S'});
    return out;
}

struct Seed {
    const char *target;
    const char *name;
    Bytes (*make)();
    uint8_t prefix[2]; // the target's own leading bytes
};

const Seed kSeeds[] = {
    {"demux_v30", "plain_blocks_4096", V30Plain, {4, 0}},
    {"demux_v30", "records_bytewise_reset", V30AllRecords, {0, 1}},
    {"demux_v20", "qvms_blocks_509", V20Qvms, {3, 0}},
    {"demux_v20", "msv2_bytewise_reset", V20Msv2, {0, 1}},
    {"demux_v20", "weekday_blocks_7", V20Weekday, {1, 0}},
    {"demux_create", "v30_split_1000", V30Plain, {0xE8, 0x03}},
    {"demux_create", "v30_records_whole", V30AllRecords, {0, 0}},
    {"demux_create", "v20_split_77", V20Qvms, {77, 0}},
    {"demux_create", "v20_msv2_split_4000", V20Msv2, {0xA0, 0x0F}},
};

bool MakeDir(const std::string &path) {
#ifdef _WIN32
    return _mkdir(path.c_str()) == 0 || errno == EEXIST;
#else
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
#endif
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <dir>\n");
        return 2;
    }
    const std::string root = argv[1];
    MakeDir(root);
    int failures = 0;
    for (const Seed &seed : kSeeds) {
        const Bytes body = seed.make();
        const std::string dir = root + "/" + seed.target;
        const std::string path = dir + "/" + seed.name;
        if (body.empty() || !MakeDir(dir) || !FixtureWriteFile(path, Prefixed(seed.prefix, body))) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            ++failures;
            continue;
        }
        std::printf("%s (%zu bytes)\n", path.c_str(), body.size() + 2);
    }
    return failures == 0 ? 0 : 1;
}
