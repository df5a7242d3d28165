// The port-numbered family playing recordings of every container generation
// in a real window: file-end and index-completed messages taken off the
// window system's queue by a message loop, the index callback, statistics
// against the recording, seeks of every kind and single steps; BMP
// snapshots against the player's own picture; ANSI paths with characters
// outside ASCII.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "playport_util.h"
#include "windowloop.h"

using namespace porttest;

namespace {

// Long enough for the player's statistics window (4 s of stream time).
constexpr uint32_t kFrames = 130;

struct IndexCalls {
    std::atomic<int> count{0};
    std::atomic<LONG> port{-1};
    std::atomic<void *> user{nullptr};
};

void QV_CALL OnIndex(LONG nPort, void *pUser) {
    IndexCalls *calls = static_cast<IndexCalls *>(pUser);
    calls->port = nPort;
    calls->user = pUser;
    calls->count++;
}

// How each generation's recording is opened: every entry point of the
// family gets one of them.
enum class OpenKind { W, A, Legacy, ExW, ExA };

struct OpenCase {
    Gen gen;
    OpenKind kind;
    LONG nPort; // for the functions that take one
};

const char *KindName(OpenKind kind) {
    switch (kind) {
    case OpenKind::W:
        return "OpenFileW";
    case OpenKind::A:
        return "OpenFileA";
    case OpenKind::Legacy:
        return "OpenFile";
    case OpenKind::ExW:
        return "OpenFileExW";
    case OpenKind::ExA:
        return "OpenFileExA";
    }
    return "?";
}

#ifdef _WIN32
// The path in the ANSI code page as wine or Windows names it (drive Z: for
// the Unix file system).
std::string AnsiPath(const std::filesystem::path &path) {
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, wide.data(), -1, out.data(), n, nullptr, nullptr);
    out.resize(std::strlen(out.c_str()));
    return out;
}
#else
std::string AnsiPath(const std::filesystem::path &path) {
    return path.string(); // UTF-8
}
#endif

// Opens the recording as the case says; the port opened, or -1.
LONG Open(const OpenCase &c, const std::filesystem::path &path) {
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const std::string ansi = AnsiPath(path);
    switch (c.kind) {
    case OpenKind::W:
        return QV_PLAY_OpenFileW(c.nPort, wide.data()) ? c.nPort : -1;
    case OpenKind::A:
        return QV_PLAY_OpenFileA(c.nPort, ansi.c_str()) ? c.nPort : -1;
    case OpenKind::Legacy:
        return QV_PLAY_OpenFile(c.nPort, ansi.c_str()) ? c.nPort : -1;
    case OpenKind::ExW: {
        const LONG n = QV_PLAY_OpenFileExW(wide.data());
        return n != 0 ? n : -1;
    }
    case OpenKind::ExA: {
        const LONG n = QV_PLAY_OpenFileExA(ansi.c_str());
        return n != 0 ? n : -1;
    }
    }
    return -1;
}

class PortPlay : public ::testing::TestWithParam<OpenCase> {};

TEST_P(PortPlay, ToTheEndWithMessagesThenSeeksAndSteps) {
    const OpenCase c = GetParam();
    const FileRecording rec = MakeFile(c.gen, kFrames, true);
    ASSERT_FALSE(rec.bytes.empty());
    CTempDir dir;
    const std::filesystem::path path = WriteRecording(dir, rec, "play.rec");
    CMessageWindow window;
    ASSERT_TRUE(window.Valid());

    CPort port(Open(c, path));
    ASSERT_GE(port.Get(), 0) << KindName(c.kind);
    if (c.kind == OpenKind::ExW || c.kind == OpenKind::ExA) {
        EXPECT_GE(port.Get(), QV_PLAY_FIRST_AUTO_PORT);
    }

    IndexCalls index;
    ASSERT_EQ(QV_PLAY_SetIndexInfoCallBack(port, OnIndex, &index), 1);
    ASSERT_EQ(QV_PLAY_SetMsgWnd(port, window.Handle()), 1);
    ASSERT_EQ(QV_PLAY_SetFileEndMsg(port, window.Handle(), kMsgFileEnd), 1);
    ASSERT_EQ(QV_PLAY_Play(port, window.Handle()), 1);
    EXPECT_FLOAT_EQ(Speed(port), 1.0f);
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 16, 0), 1);

    // The loop takes the index message (however the registrations and the
    // index thread met, at least once) and the file end.
    ASSERT_TRUE(window.WaitFor(QV_PLAY_MSG_INDEX_COMPLETED)) << "no index message";
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd)) << "no file-end message";
    for (const WindowMessage &m : window.Received(QV_PLAY_MSG_INDEX_COMPLETED)) {
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, port.Get());
    }
    const std::vector<WindowMessage> ends = window.Received(kMsgFileEnd);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].wParam, uint64_t(port.Get()));
    EXPECT_EQ(ends[0].lParam, port.Get());
    EXPECT_GE(index.count.load(), 1);
    EXPECT_EQ(index.port.load(), port.Get());
    EXPECT_EQ(index.user.load(), &index);

    // Statistics against the recording.
    const FixtureFrame *first = rec.Keys().front();
    EXPECT_EQ(QV_PLAY_GetFileTimeMilliSec(port), rec.Duration());
    EXPECT_EQ(QV_PLAY_GetFileTime(port), rec.Duration() / 1000);
    EXPECT_EQ(QV_PLAY_GetFileTotalFrames(port), rec.FrameCount());
    EXPECT_EQ(QV_PLAY_GetFileFrames(port), rec.FrameCount());
    EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), rec.FrameCount() - 1);
    EXPECT_EQ(QV_PLAY_GetCurrFrameNum(port), rec.FrameCount() - 1);
    EXPECT_EQ(QV_PLAY_GetPlayedFrames(port), rec.FrameCount());
    EXPECT_EQ(QV_PLAY_GetPlayedFrameNum(port), rec.FrameCount());
    EXPECT_EQ(QV_PLAY_GetCurrentFrameTime(port), rec.Duration());
    EXPECT_EQ(QV_PLAY_GetPlayedTimeEx(port), rec.Duration());
    EXPECT_EQ(QV_PLAY_GetPlayTime(port), rec.Duration());
    EXPECT_EQ(QV_PLAY_GetCurrentFrameRate(port), 25u);
    EXPECT_EQ(QV_PLAY_GetCurrFrameRate(port), 25u);
    const uint64_t played = Attr<uint64_t>(port, PLAY_ATTRIBUTE_PLAY_DATA_SIZE);
    EXPECT_EQ(Attr<uint64_t>(port, PLAY_ATTRIBUTE_FILE_SIZE), uint64_t(rec.bytes.size()));
    EXPECT_FLOAT_EQ(QV_PLAY_GetPlayPos(port), float(double(played) / double(rec.bytes.size())));
    EXPECT_GT(QV_PLAY_GetPlayPos(port), 0.9f);
    const double bps = double(Attr<float>(port, PLAY_ATTRIBUTE_VIDEO_BITRATE)) +
                       double(Attr<float>(port, PLAY_ATTRIBUTE_AUDIO_BITRATE));
    EXPECT_GT(bps, 0.0);
    EXPECT_DOUBLE_EQ(QV_PLAY_GetAverageBPS(port), bps);
    EXPECT_DOUBLE_EQ(QV_PLAY_GetDynamicBPS(port), bps);
    if (GenDecodes(c.gen)) {
        LONG nWidth = 0, nHeight = 0;
        ASSERT_EQ(QV_PLAY_GetPictureSize(port, &nWidth, &nHeight), 1);
        EXPECT_EQ(nWidth, 352);
        EXPECT_EQ(nHeight, 288);
    }

    // Seeks of every kind while paused: each shows its frame.
    ASSERT_EQ(QV_PLAY_Pause(port), 1);
    struct Seek {
        const char *what;
        BOOL(QV_CALL *seek)(LONG, DWORD);
        DWORD dwValue;
        uint32_t dwIndex;
    };
    const Seek seeks[] = {
        {"SetPlayedTime", QV_PLAY_SetPlayedTime, 1210, 31},
        {"SetCurrentFrameNum", QV_PLAY_SetCurrentFrameNum, 62, 62},
        {"SetPlayedTimeEx", QV_PLAY_SetPlayedTimeEx, 0, 0},
        {"SetPlayTime", QV_PLAY_SetPlayTime, 3000, 75},
        {"SetCurrentFrameNum", QV_PLAY_SetCurrentFrameNum, 99, 99},
    };
    for (const Seek &s : seeks) {
        SCOPED_TRACE(std::string(s.what) + " " + std::to_string(s.dwValue));
        ASSERT_EQ(s.seek(port, s.dwValue), 1);
        EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), s.dwIndex);
        EXPECT_EQ(QV_PLAY_GetPlayedFrames(port), s.dwIndex + 1);
        EXPECT_EQ(QV_PLAY_GetCurrentFrameTime(port),
                  rec.VideoAt(s.dwIndex)->dwTimestamp - first->dwTimestamp);
        EXPECT_EQ(Attr<uint32_t>(port, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    }
    // Beyond the last frame there is nothing to seek to.
    EXPECT_EQ(QV_PLAY_SetCurrentFrameNum(port, kFrames + 5), 0);
    for (float ratio : {0.3f, 0.6f}) {
        SCOPED_TRACE("SetPlayPos " + std::to_string(ratio));
        const uint64_t offset = uint64_t(double(rec.bytes.size()) * double(ratio));
        const FixtureFrame *key = rec.KeyAtOrAfter(offset);
        ASSERT_NE(key, nullptr);
        ASSERT_EQ(QV_PLAY_SetPlayPos(port, ratio), 1);
        EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), key->dwSequence - first->dwSequence);
        EXPECT_GE(QV_PLAY_GetPlayPos(port), ratio);
    }
    // Single steps forward and back, then back at the first frame.
    ASSERT_EQ(QV_PLAY_SetCurrentFrameNum(port, 40), 1);
    ASSERT_EQ(QV_PLAY_OneByOne(port), 1);
    EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), 41u);
    ASSERT_EQ(QV_PLAY_PlayBySingleFrame(port), 1);
    EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), 42u);
    ASSERT_EQ(QV_PLAY_OneByOneBack(port), 1);
    EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), 41u);
    ASSERT_EQ(QV_PLAY_PlayBySingleFrameBack(port), 1);
    EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), 40u);
    ASSERT_EQ(QV_PLAY_SetCurrentFrameNum(port, 0), 1);
    ASSERT_EQ(QV_PLAY_OneByOneBack(port), 1);
    EXPECT_EQ(QV_PLAY_GetCurrentFrameNum(port), 0u);
    EXPECT_EQ(QV_PLAY_GetCurrentFrameTime(port), 0u);
    EXPECT_EQ(Attr<uint32_t>(port, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));

    // Played on from there, the file ends a second time: one more message.
    ASSERT_EQ(QV_PLAY_Play(port, 0), 1);
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 16, 0), 1);
    EXPECT_TRUE(window.WaitFor(kMsgFileEnd, 2)) << "no second file-end message";
    ASSERT_EQ(QV_PLAY_Stop(port), 1);
    EXPECT_EQ(Attr<uint32_t>(port, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(QV_PLAY_CloseFile(port), 1);
    EXPECT_FALSE(PortOpen(port));
    EXPECT_EQ(QV_PLAY_CloseFile(port), 0);
    port.Set(-1);
}

std::string OpenCaseName(const ::testing::TestParamInfo<OpenCase> &info) {
    return std::string("G") + GenName(info.param.gen) + "_" + KindName(info.param.kind);
}

INSTANTIATE_TEST_SUITE_P(Generations, PortPlay,
                         ::testing::Values(OpenCase{Gen::V30, OpenKind::W, 0},
                                           OpenCase{Gen::V20, OpenKind::A, 65535},
                                           OpenCase{Gen::G15, OpenKind::ExW, 0},
                                           OpenCase{Gen::V10, OpenKind::ExA, 0},
                                           OpenCase{Gen::G6000, OpenKind::Legacy, 1234}),
                         OpenCaseName);

// ---- Snapshots ----

uint32_t U32At(const std::vector<uint8_t> &b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

uint16_t U16At(const std::vector<uint8_t> &b, size_t at) {
    return uint16_t(b[at] | b[at + 1] << 8);
}

struct DrawCalls {
    std::atomic<int> count{0};
    std::atomic<LONG> port{-1};
    std::atomic<bool> dcOk{false};
    std::atomic<void *> user{nullptr};
};

void QV_CALL OnDraw(LONG nPort, HDC hDC, void *pUser) {
    DrawCalls *calls = static_cast<DrawCalls *>(pUser);
    calls->port = nPort;
    calls->user = pUser;
#ifdef _WIN32
    calls->dcOk = hDC != nullptr;
#else
    // Outside Windows the device context is the X11 drawing record.
    const QV_X11_DC *pDc = static_cast<const QV_X11_DC *>(hDC);
    calls->dcOk = pDc != nullptr && pDc->dwSize == sizeof(QV_X11_DC) && pDc->drawable != 0;
#endif
    calls->count++;
}

// The picture on screen, as the player converts it for snapshots.
struct MemorySnapshot {
    BITMAPINFOHEADER header{};
    std::vector<uint8_t> pixels;
};

bool SnapToMemory(PLAY_HANDLE h, MemorySnapshot *pOut) {
    PLAY_SNAPSHOT snap;
    std::memset(&snap, 0, sizeof(snap));
    snap.dwSize = PLAY_SNAPSHOT_SIZE;
    if (Play_SnapPicture(h, &snap) != PLAY_OK)
        return false;
    pOut->pixels.assign(snap.dwBufferSize, 0);
    snap.pBuffer = pOut->pixels.data();
    if (Play_SnapPicture(h, &snap) != PLAY_OK)
        return false;
    pOut->header = snap.bmiHeader;
    return true;
}

constexpr uint32_t kBmp704x576 = 704 * 3 * 576 + 54;

// Checks a BMP file written by the family against the memory snapshot.
void ExpectBmpOf(const std::filesystem::path &file, const MemorySnapshot &snap) {
    const std::vector<uint8_t> b = FixtureReadFile(file.string());
    ASSERT_EQ(b.size(), size_t(kBmp704x576)) << file.string();
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(U32At(b, 2), kBmp704x576);
    EXPECT_EQ(U32At(b, 6), 0u);
    EXPECT_EQ(U32At(b, 10), 54u);
    EXPECT_EQ(U32At(b, 14), 40u);
    EXPECT_EQ(int32_t(U32At(b, 18)), 704);
    EXPECT_EQ(int32_t(U32At(b, 22)), 576); // bottom-up rows
    EXPECT_EQ(U16At(b, 26), 1u);
    EXPECT_EQ(U16At(b, 28), 24u);
    EXPECT_EQ(U32At(b, 30), 0u); // uncompressed
    EXPECT_EQ(std::memcmp(b.data() + 14, &snap.header, 40), 0) << "the header is the player's";
    ASSERT_EQ(snap.pixels.size(), b.size() - 54);
    EXPECT_TRUE(std::equal(snap.pixels.begin(), snap.pixels.end(), b.begin() + 54)) << "pixels differ";
}

TEST(PortSnapshot, BmpFilesHoldThePictureOnScreen) {
    const FileRecording rec = MakeFile(Gen::V30, 50, false, filetest::kBFrameClip);
    CTempDir dir;
    const std::filesystem::path path = WriteRecording(dir, rec, "snap.rec");
    CMessageWindow window(704, 576);
    ASSERT_TRUE(window.Valid());
    CPort port(7);
    ASSERT_EQ(OpenW(port, path), 1);
    // No picture yet: nothing to write, and no file is left behind.
    const std::filesystem::path early = dir.File("early.bmp");
    EXPECT_EQ(QV_PLAY_SnapshotW(port, WidePath(early).data()), 0);
    EXPECT_FALSE(std::filesystem::exists(early));

    DrawCalls draws;
    ASSERT_EQ(QV_PLAY_RegisterDrawDCFun(port, OnDraw, &draws), 1);
    ASSERT_EQ(QV_PLAY_SetFileEndMsg(port, window.Handle(), kMsgFileEnd), 1);
    ASSERT_EQ(QV_PLAY_Play(port, window.Handle()), 1);
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 8, 0), 1);
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd));
    ASSERT_EQ(QV_PLAY_Pause(port), 1);
    // The display may still be showing the last pictures: take the file
    // between two equal memory snapshots.
    const PLAY_HANDLE h = HandleOf(port);
    const std::filesystem::path wfile = dir.File("wide.bmp");
    const std::filesystem::path afile = dir.File("ansi.bmp");
    const std::filesystem::path legacy = dir.File("legacy.bmp");
    MemorySnapshot before, after;
    bool bSteady = false;
    for (int attempt = 0; attempt < 50 && !bSteady; ++attempt) {
        ASSERT_TRUE(SnapToMemory(h, &before));
        ASSERT_EQ(QV_PLAY_SnapshotW(port, WidePath(wfile).data()), 1);
        ASSERT_EQ(QV_PLAY_SnapshotA(port, AnsiPath(afile).c_str()), 1);
        ASSERT_EQ(QV_PLAY_SnapShot(port, AnsiPath(legacy).c_str()), 1);
        ASSERT_TRUE(SnapToMemory(h, &after));
        bSteady = before.pixels == after.pixels;
    }
    ASSERT_TRUE(bSteady) << "the picture on screen kept changing";
    ExpectBmpOf(wfile, after);
    ExpectBmpOf(afile, after);
    ExpectBmpOf(legacy, after);
    // Not a blank picture.
    EXPECT_NE(std::count(after.pixels.begin(), after.pixels.end(), after.pixels[0]),
              long(after.pixels.size()));

    EXPECT_GT(draws.count.load(), 0) << "no DC callback";
    EXPECT_EQ(draws.port.load(), port.Get());
    EXPECT_EQ(draws.user.load(), &draws);
    EXPECT_TRUE(draws.dcOk.load());

    // A file in a missing folder cannot be written.
    EXPECT_EQ(QV_PLAY_SnapshotW(port, WidePath(dir.File("missing/x.bmp")).data()), 0);
    EXPECT_EQ(QV_PLAY_SnapshotA(port, nullptr), 0);
    EXPECT_EQ(QV_PLAY_SnapshotW(port, nullptr), 0);
    // An existing file is written anew.
    ASSERT_TRUE(FixtureWriteFile(dir.File("old.bmp").string(), std::vector<uint8_t>(2000000, 7)));
    ASSERT_EQ(QV_PLAY_SnapshotW(port, WidePath(dir.File("old.bmp")).data()), 1);
    EXPECT_EQ(std::filesystem::file_size(dir.File("old.bmp")), uintmax_t(kBmp704x576));
}

// ---- ANSI paths outside ASCII ----

// A folder name with characters outside ASCII that the ANSI code page can
// write (UTF-8 on Linux); empty when none of those tried can be.
std::filesystem::path NonAsciiName(std::string *pWhich) {
#ifdef _WIN32
    const wchar_t *candidates[] = {L"\x5f55\x50cf_\x6d4b\x8bd5", L"Vid\x00e9o_\x00dcn\x00ef",
                                   L"\x0412\x0438\x0434\x0435\x043e", L"\x30d3\x30c7\x30aa"};
    const bool utf8 = GetACP() == CP_UTF8;
    for (const wchar_t *name : candidates) {
        BOOL usedDefault = FALSE;
        const int n =
            WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, utf8 ? nullptr : &usedDefault);
        if (n > 0 && !usedDefault) {
            *pWhich = "code page " + std::to_string(GetACP());
            return std::filesystem::path(name);
        }
    }
    return {};
#else
    *pWhich = "UTF-8";
    // Chinese characters for "recording" and "test".
    return std::filesystem::u8path("\xe5\xbd\x95\xe5\x83\x8f_\xe6\xb5\x8b\xe8\xaf\x95");
#endif
}

TEST(PortAnsiPath, OpensAndSnapshotsInAFolderNamedOutsideAscii) {
    std::string which;
    const std::filesystem::path name = NonAsciiName(&which);
    ASSERT_FALSE(name.empty()) << "the ANSI code page encodes none of the names tried";
    SCOPED_TRACE(which);
    std::printf("[ ANSI     ] folder name in %s\n", which.c_str());
    CTempDir dir;
    const std::filesystem::path folder = dir.File("x").parent_path() / name;
    std::filesystem::create_directories(folder);
    const FileRecording rec = MakeFile(Gen::V30, 25, false);
    const std::filesystem::path file = folder / "rec.qv";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char *>(rec.bytes.data()), std::streamsize(rec.bytes.size()));
        ASSERT_TRUE(out.good());
    }
    const std::string ansi = AnsiPath(file);
    ASSERT_TRUE(std::any_of(ansi.begin(), ansi.end(), [](char ch) { return (unsigned char)ch >= 0x80; }));

    ASSERT_TRUE(EnsureWindowSystem());
    CPort port(11);
    ASSERT_EQ(QV_PLAY_OpenFileA(port, ansi.c_str()), 1);
    ASSERT_TRUE(WaitUntil([&] { return QV_PLAY_GetFileTotalFrames(port) == 25; }));
    CPort ex(QV_PLAY_OpenFileExA(ansi.c_str()));
    EXPECT_GE(ex.Get(), QV_PLAY_FIRST_AUTO_PORT);
    // Played to the end without a window, the last picture can be written
    // beside the recording.
    ASSERT_EQ(QV_PLAY_Play(port, 0), 1);
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 16, 0), 1);
    ASSERT_TRUE(WaitUntil([&] { return Attr<uint32_t>(port, PLAY_ATTRIBUTE_FILE_ENDED) != 0; }));
    const std::filesystem::path bmp = folder / "shot.bmp";
    ASSERT_EQ(QV_PLAY_SnapshotA(port, AnsiPath(bmp).c_str()), 1);
    EXPECT_EQ(std::filesystem::file_size(bmp), uintmax_t(352 * 3 * 288 + 54));
    // The same name in the wrong encoding is another file, which is missing.
    std::string wrong = ansi;
    for (char &ch : wrong)
        if ((unsigned char)ch >= 0x80)
            ch = '_';
    EXPECT_EQ(QV_PLAY_OpenFileA(12, wrong.c_str()), 0);
    EXPECT_FALSE(PortOpen(12));
}

} // namespace
