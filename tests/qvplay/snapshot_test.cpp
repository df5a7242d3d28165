// qvplay snapshot end to end: the picture written must be FFmpeg's decoding
// of the frame asked for (by time or by number), converted by the colour
// formulas of qvdisplay.h, with the recorder's texts drawn where their items
// say; the PNG must hold the same pixels as the BMP; wrong moments and
// outputs give their exit codes.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "fixtures/recordings.h"
#include "qvdisplay.h"
#include "qvplay_run.h"

namespace {

using filetest::CTempDir;
using filetest::FileRecording;
using filetest::Gen;
using qvtool::RunQvplay;

// Pixels as R, G, B bytes, top row first.
struct Rgb {
    int w = 0, h = 0;
    std::vector<uint8_t> px;
    const uint8_t *At(int x, int y) const { return &px[(size_t(y) * w + x) * 3]; }
};

std::vector<uint8_t> ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A 24-bit bottom-up BMP with its rows padded to four bytes.
bool ReadBmp(const std::string &path, Rgb *pOut, std::string *pWhy) {
    const std::vector<uint8_t> b = ReadAll(path);
    auto u32 = [&](size_t at) {
        return uint32_t(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
    };
    auto u16 = [&](size_t at) { return uint32_t(b[at] | b[at + 1] << 8); };
    if (b.size() < 54 || b[0] != 'B' || b[1] != 'M')
        return *pWhy = "not a BMP", false;
    const uint32_t offset = u32(10), w = u32(18), h = u32(22);
    if (u32(14) != 40 || u16(26) != 1 || u16(28) != 24 || u32(30) != 0)
        return *pWhy = "not a plain 24-bit BITMAPINFOHEADER", false;
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
    if (u32(2) != b.size() || offset != 54 || b.size() != offset + stride * h)
        return *pWhy = "sizes in the header disagree with the file", false;
    pOut->w = int(w), pOut->h = int(h);
    pOut->px.resize(size_t(w) * h * 3);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t *p = &b[offset + stride * (h - 1 - y) + 3 * x];
            uint8_t *q = &pOut->px[(size_t(y) * w + x) * 3];
            q[0] = p[2], q[1] = p[1], q[2] = p[0];
        }
    return true;
}

const char *kFfmpeg = "/usr/bin/ffmpeg";

// FFmpeg's pictures of a clip in display order, I420 (yuv420p).
struct Decoded {
    int w = 0, h = 0;
    std::vector<std::vector<uint8_t>> pictures;
};

const Decoded &FfmpegPictures(const char *clip) {
    static std::map<std::string, Decoded> cache;
    auto it = cache.find(clip);
    if (it != cache.end())
        return it->second;
    Decoded &d = cache[clip];
    const filetest::ClipSize size = filetest::SizeOf(clip);
    d.w = size.wWidth, d.h = size.wHeight;
    CTempDir dir;
    const std::string out = dir.File("pictures.yuv").string();
    const qvtool::RunResult run =
        qvtool::Run(kFfmpeg, {"-v", "error", "-i", qvtool::SamplesDir() + "/" + clip, "-fps_mode",
                              "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p", out});
    EXPECT_EQ(run.nExitCode, 0) << run.Describe();
    const std::vector<uint8_t> all = ReadAll(out);
    const size_t one = size_t(d.w) * d.h * 3 / 2;
    for (size_t at = 0; at + one <= all.size(); at += one)
        d.pictures.emplace_back(all.begin() + at, all.begin() + at + one);
    return d;
}

inline uint8_t Clamp(int v) {
    return v <= 0 ? 0 : v >= 255 ? 255 : uint8_t(v);
}

// The colour formulas the library documents for its snapshots (qvdisplay.h):
// c = Y - 16, d = U - 128, e = V - 128, each channel (KY c + ...) / 128
// truncated, BT.709 coefficients from 1280x720 up, chroma of the 2x2 block.
Rgb ToRgb(const std::vector<uint8_t> &i420, int w, int h) {
    const bool bHd = w >= CONVERT_HD_WIDTH && h >= CONVERT_HD_HEIGHT;
    const int kR = bHd ? CONVERT_BT709_KR : CONVERT_BT601_KR,
              kGU = bHd ? CONVERT_BT709_KGU : CONVERT_BT601_KGU,
              kGV = bHd ? CONVERT_BT709_KGV : CONVERT_BT601_KGV,
              kB = bHd ? CONVERT_BT709_KB : CONVERT_BT601_KB;
    Rgb out;
    out.w = w, out.h = h;
    out.px.resize(size_t(w) * h * 3);
    const uint8_t *pU = i420.data() + size_t(w) * h, *pV = pU + size_t(w / 2) * (h / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int c = i420[size_t(y) * w + x] - 16, d = pU[size_t(y / 2) * (w / 2) + x / 2] - 128,
                      e = pV[size_t(y / 2) * (w / 2) + x / 2] - 128;
            uint8_t *p = &out.px[(size_t(y) * w + x) * 3];
            p[0] = Clamp((CONVERT_KY * c + kR * e) / 128);
            p[1] = Clamp((CONVERT_KY * c - kGU * d - kGV * e) / 128);
            p[2] = Clamp((CONVERT_KY * c + kB * d) / 128);
        }
    return out;
}

bool NearWhite(const uint8_t *p) {
    return p[0] >= 230 && p[1] >= 230 && p[2] >= 230;
}

// Where a text item of n characters may draw: from a little before its
// corner, up to a generous glyph box per character.
struct Area {
    int left, top, right, bottom;
    bool Contains(int x, int y) const { return x >= left && x < right && y >= top && y < bottom; }
};

Area TextArea(int x, int y, size_t chars, int h) {
    const int glyphHeight = h >= 576 ? 18 : 16;
    return Area{x - 4, y - 4, x + 4 + int(chars) * glyphHeight, y + glyphHeight * 2};
}

// The text items the fixture put on the frame (V30 and V20 writers: the
// title and the clock, 19 characters).
std::vector<std::pair<Area, size_t>> OsdAreas(const FixtureFrame &key, int h) {
    std::vector<std::pair<Area, size_t>> areas;
    for (const FixtureOsdRecord &r : key.osd) {
        const size_t chars = r.dwType == 1 ? 19 : r.text.size();
        areas.push_back({TextArea(r.wX, r.wY, chars, h), chars});
    }
    return areas;
}

// The snapshot against FFmpeg's picture: identical outside the text items,
// white text inside each of them.
void ExpectPicture(const Rgb &shot, const Rgb &want, const std::vector<std::pair<Area, size_t>> &osd,
                   const std::string &what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(shot.w, want.w);
    ASSERT_EQ(shot.h, want.h);
    size_t differ = 0;
    int firstX = -1, firstY = -1;
    std::vector<size_t> textPixels(osd.size());
    for (int y = 0; y < shot.h; ++y)
        for (int x = 0; x < shot.w; ++x) {
            bool bInside = false;
            for (size_t i = 0; i < osd.size(); ++i)
                if (osd[i].first.Contains(x, y)) {
                    bInside = true;
                    textPixels[i] += NearWhite(shot.At(x, y)) && !NearWhite(want.At(x, y));
                }
            if (!bInside && std::memcmp(shot.At(x, y), want.At(x, y), 3) != 0 && differ++ == 0)
                firstX = x, firstY = y;
        }
    EXPECT_EQ(differ, 0u) << "pixels differ from FFmpeg's picture outside the OSD, the first at " << firstX
                          << "," << firstY;
    for (size_t i = 0; i < osd.size(); ++i)
        EXPECT_GE(textPixels[i], 6 * osd[i].second) << "no text drawn in OSD item " << i;
}

// The last video frame (display order) shown at or before ms from the first
// key frame, as a player shows it: display times are the frames' stamps in
// rising order.
size_t FrameAt(const FileRecording &r, uint32_t ms) {
    std::vector<uint32_t> stamps;
    for (const FixtureFrame *f : r.Video())
        stamps.push_back(f->dwTimestamp);
    std::sort(stamps.begin(), stamps.end());
    size_t index = 0;
    for (size_t i = 0; i < stamps.size(); ++i)
        if (stamps[i] - stamps[0] <= ms)
            index = i;
    return index;
}

// The key frame whose OSD records are on screen at display index k (the
// writers put them on every key frame, the same each time).
const FixtureFrame &KeyBefore(const FileRecording &r) {
    return *r.Keys().front();
}

struct ShotCase {
    std::vector<std::string> moment; // --at T or --frame N
    uint32_t atMs;                   // the moment in ms, for --at
    bool bByTime;
    size_t frame; // for --frame
};

void RunCases(Gen gen, const char *clip, uint32_t frames, const std::vector<ShotCase> &cases) {
    CTempDir dir;
    const FileRecording r = filetest::MakeFile(gen, frames, true, clip);
    const auto path = dir.Write("rec.qv", r.bytes);
    const Decoded &decoded = FfmpegPictures(clip);
    ASSERT_FALSE(decoded.pictures.empty());
    const size_t units = LoadAccessUnits(clip).size();
    ASSERT_EQ(units, decoded.pictures.size());
    for (const ShotCase &c : cases) {
        const size_t want = c.bByTime ? FrameAt(r, c.atMs) : c.frame;
        const std::string what = std::string(filetest::GenName(gen)) + " " + clip + " " + c.moment[0] + " " +
                                 c.moment[1] + " (frame " + std::to_string(want) + ")";
        SCOPED_TRACE(what);
        const std::string bmp = dir.File("shot.bmp").string();
        std::vector<std::string> args = {"snapshot", path.string()};
        args.insert(args.end(), c.moment.begin(), c.moment.end());
        args.insert(args.end(), {"-o", bmp});
        const qvtool::RunResult run = RunQvplay(args);
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        EXPECT_EQ(run.out.rfind("frame " + std::to_string(want) + " at ", 0), 0u) << run.out;
        Rgb shot;
        std::string why;
        ASSERT_TRUE(ReadBmp(bmp, &shot, &why)) << why;
        // The clip repeats from its start every `units` frames.
        const Rgb expected = ToRgb(decoded.pictures[want % units], decoded.w, decoded.h);
        ExpectPicture(shot, expected, OsdAreas(KeyBefore(r), decoded.h), what);
    }
}

TEST(SnapshotPicture, ByFrameAndTimeMatchesFfmpeg) {
    // 60 frames 40 ms apart: the last at 2360 ms.
    const std::vector<ShotCase> cases = {
        {{"--frame", "0"}, 0, false, 0},      {{"--frame", "37"}, 0, false, 37},
        {{"--frame", "59"}, 0, false, 59},    {{"--at", "0"}, 0, true, 0},
        {{"--at", "1"}, 1000, true, 0},       {{"--at", "1.039"}, 1039, true, 0},
        {{"--at", "0:01.04"}, 1040, true, 0}, {{"--at", "00:00:02.360"}, 2360, true, 0},
    };
    for (const Gen gen : {Gen::V30, Gen::V20})
        RunCases(gen, filetest::kSmallClip, 60, cases);
}

// Pictures come out of a reordering decoder in display order: frame N and
// the moment are still FFmpeg's N-th picture.
TEST(SnapshotPicture, ReorderedStream) {
    const std::vector<ShotCase> cases = {
        {{"--frame", "7"}, 0, false, 7},
        {{"--frame", "33"}, 0, false, 33},
        {{"--at", "1.5"}, 1500, true, 0},
        {{"--at", "0:00.3"}, 300, true, 0},
    };
    RunCases(Gen::V30, filetest::kBFrameClip, 50, cases);
}

// The V10 container (its own OSD blocks): the picture outside the texts.
TEST(SnapshotPicture, V10Picture) {
    CTempDir dir;
    const FileRecording r = filetest::MakeFile(Gen::V10, 40, true, filetest::kSmallClip);
    const auto path = dir.Write("rec.qv", r.bytes);
    const Decoded &decoded = FfmpegPictures(filetest::kSmallClip);
    const std::string bmp = dir.File("shot.bmp").string();
    const qvtool::RunResult run = RunQvplay({"snapshot", path.string(), "--frame", "12", "-o", bmp});
    ASSERT_EQ(run.nExitCode, 0) << run.Describe();
    Rgb shot;
    std::string why;
    ASSERT_TRUE(ReadBmp(bmp, &shot, &why)) << why;
    // Title and clock rows (the writer's defaults) are left out.
    const V10Options o;
    const std::vector<std::pair<Area, size_t>> osd = {
        {TextArea(o.wTitleX, o.wTitleY, o.title.size(), decoded.h), o.title.size()},
        {Area{0, o.wClockY - 4, decoded.w, o.wClockY + 36}, 0}};
    ExpectPicture(shot, ToRgb(decoded.pictures[12], decoded.w, decoded.h), osd, "V10 frame 12");
}

// The PNG holds the BMP's pixels (FFmpeg decodes it), compressed.
TEST(SnapshotPng, SamePixelsAsBmp) {
    CTempDir dir;
    const FileRecording r = filetest::MakeFile(Gen::V30, 40, true, filetest::kBFrameClip);
    const auto path = dir.Write("rec.qv", r.bytes);
    for (const char *at : {"0", "0.52", "1.2"}) {
        SCOPED_TRACE(at);
        const std::string bmp = dir.File("a.bmp").string(), png = dir.File("a.PNG").string();
        ASSERT_EQ(RunQvplay({"snapshot", path.string(), "--at", at, "-o", bmp}).nExitCode, 0);
        const qvtool::RunResult run = RunQvplay({"snapshot", path.string(), "--at", at, "-o", png});
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        Rgb fromBmp;
        std::string why;
        ASSERT_TRUE(ReadBmp(bmp, &fromBmp, &why)) << why;
        const std::string raw = dir.File("png.rgb").string();
        const qvtool::RunResult dec = qvtool::Run(
            kFfmpeg, {"-v", "error", "-y", "-i", png, "-f", "rawvideo", "-pix_fmt", "rgb24", raw});
        ASSERT_EQ(dec.nExitCode, 0) << dec.Describe();
        const std::vector<uint8_t> fromPng = ReadAll(raw);
        EXPECT_TRUE(fromPng == fromBmp.px) << "the PNG's pixels differ from the BMP's";
        // Deflate with back references, not stored blocks.
        EXPECT_LT(ReadAll(png).size(), fromBmp.px.size() / 2);
        // FFmpeg's reading of the BMP agrees with ours.
        const qvtool::RunResult bmpDec = qvtool::Run(
            kFfmpeg, {"-v", "error", "-y", "-i", bmp, "-f", "rawvideo", "-pix_fmt", "rgb24", raw});
        ASSERT_EQ(bmpDec.nExitCode, 0) << bmpDec.Describe();
        EXPECT_TRUE(ReadAll(raw) == fromBmp.px);
    }
}

// The demo recording: the clock on the picture moves with the moment asked
// for, the title stays.
TEST(SnapshotPicture, DemoClockFollowsTheMoment) {
    CTempDir dir;
    const std::string demo = qvtool::SamplesDir() + "/demo_v30.qv";
    Rgb shots[2];
    const char *moments[2] = {"0.5", "0:03.5"};
    for (int i = 0; i < 2; ++i) {
        const std::string png = dir.File("demo" + std::to_string(i) + ".png").string();
        const qvtool::RunResult run = RunQvplay({"snapshot", demo, "--at", moments[i], "-o", png});
        ASSERT_EQ(run.nExitCode, 0) << run.Describe();
        const std::string raw = dir.File("demo.rgb").string();
        ASSERT_EQ(
            qvtool::Run(kFfmpeg, {"-v", "error", "-y", "-i", png, "-f", "rawvideo", "-pix_fmt", "rgb24", raw})
                .nExitCode,
            0);
        shots[i].w = 704, shots[i].h = 576;
        shots[i].px = ReadAll(raw);
        ASSERT_EQ(shots[i].px.size(), size_t(704) * 576 * 3);
    }
    // The clock "2012-03-04 00:05:09" against "...:12" at (16, 48), in a
    // font of even advance: white pixels of the clock's text differ, only
    // in its last two characters.
    const Area clock = TextArea(16, 48, 19, 576);
    int left = clock.right, right = -1;
    for (int y = clock.top; y < clock.bottom; ++y)
        for (int x = clock.left; x < clock.right; ++x)
            if (NearWhite(shots[0].At(x, y)))
                left = std::min(left, x), right = std::max(right, x);
    ASSERT_GT(right, left) << "no clock drawn";
    const int seconds = left + (right - left + 1) * 17 / 19 - 2;
    size_t whiteDiffer = 0, whiteLeft = 0;
    for (int y = clock.top; y < clock.bottom; ++y)
        for (int x = clock.left; x < clock.right; ++x) {
            const bool a = NearWhite(shots[0].At(x, y)), b = NearWhite(shots[1].At(x, y));
            if (a != b) {
                ++whiteDiffer;
                whiteLeft += x < seconds;
            }
        }
    EXPECT_GT(whiteDiffer, 10u) << "the clock did not move";
    EXPECT_EQ(whiteLeft, 0u) << "the clock changed before its seconds";
}

// Moments outside the recording, bad times and outputs.
TEST(SnapshotErrors, ExitCodesAndMessages) {
    CTempDir dir;
    const FileRecording r = filetest::MakeFile(Gen::V30, 30, true, filetest::kSmallClip);
    const auto path = dir.Write("rec.qv", r.bytes).string();
    const std::string out = dir.File("out.png").string();
    char duration[32];
    std::snprintf(duration, sizeof(duration), "%.3f s", r.Duration() / 1000.0);
    char beyond[32];
    std::snprintf(beyond, sizeof(beyond), "%.3f", (r.Duration() + 1) / 1000.0);
    struct Case {
        std::vector<std::string> args;
        int nExit;
        std::string needle;
    };
    const std::vector<Case> cases = {
        {{"--at", beyond, "-o", out}, 8, std::string("lasts ") + duration},
        {{"--at", "1:00", "-o", out}, 8, "beyond the end"},
        {{"--frame", std::to_string(r.FrameCount()), "-o", out},
         8,
         "has " + std::to_string(r.FrameCount()) + " video frames"},
        {{"--frame", "4000000000", "-o", out}, 8, "beyond the end"},
        {{"--at", "abc", "-o", out}, 105, "not a time"},
        {{"--at", "1:2", "-o", out}, 105, "not a time"},
        {{"--at", "1:60", "-o", out}, 105, "not a time"},
        {{"--at", "1.", "-o", out}, 105, "not a time"},
        {{"--at", "1:00:00:00", "-o", out}, 105, "not a time"},
        {{"--at", "-1", "-o", out}, 105, ""},
        {{"--frame", "x", "-o", out}, 104, ""}, // not a number
        {{"-o", out}, 106, "--at"},
        {{"--at", "1", "--frame", "2", "-o", out}, 106, "--at"},
        {{"--at", "1"}, 106, "--output"},
        {{"--at", "1", "-o", dir.File("out.jpg").string()}, 105, ".bmp or .png"},
        {{"--at", "1", "-o", dir.File("no/such/folder/x.png").string()}, 6, "cannot write"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> args = {"snapshot", path};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string all;
        for (const std::string &a : c.args)
            all += a + " ";
        SCOPED_TRACE(all);
        const qvtool::RunResult run = RunQvplay(args);
        EXPECT_EQ(run.nExitCode, c.nExit) << run.Describe();
        EXPECT_NE(run.err.find(c.needle), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

// A container whose video has no decoder here: a clear failure, nothing
// written.
TEST(SnapshotErrors, NoDecoder) {
    for (const Gen gen : {Gen::G15, Gen::G6000}) {
        SCOPED_TRACE(filetest::GenName(gen));
        CTempDir dir;
        const FileRecording r = filetest::MakeFile(gen, 30);
        const auto path = dir.Write("rec.qv", r.bytes).string();
        const std::string out = dir.File("out.bmp").string();
        const qvtool::RunResult run = RunQvplay({"snapshot", path, "--frame", "3", "-o", out});
        EXPECT_EQ(run.nExitCode, 1) << run.Describe();
        EXPECT_NE(run.err.find("no picture could be decoded"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

} // namespace

#endif // _WIN32
