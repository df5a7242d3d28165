// The HX_ family end to end: the function table and the exported names, open
// and play of recordings of every generation with the file-end message taken
// from a real message loop, seeking and stepping, the speed exponents, record
// files compared frame by frame with their sources, BMP snapshots with their
// message, the decode and draw callbacks, and the results for bad arguments
// and dead handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include "fixtures/recordings.h"
#include "hx_window.h"
#include "qvdisplay.h"
#include "qvhx.h"
#include "qvplay.h"
#include "tests/vdec/md5.h"

// Test hooks of the family's unit (not exported from the library).
namespace api::hx {
void SetRecordSizeLimitForTesting(uint64_t ullLimit);
PLAY_DECODE_CALLBACK DecodeAdapterForTesting();
} // namespace api::hx

using namespace filetest;
using namespace hxtest;

namespace {

// ---- Helpers ----

// The ANSI path the family takes (under wine the machine's files are on Z:).
std::string AnsiPath(const std::filesystem::path &path) {
    std::string s = path.string();
#ifdef _WIN32
    if (!s.empty() && s[0] == '/')
        s = "Z:" + s;
#endif
    return s;
}

// A player of the family, closed at the end of the test.
class CHx {
public:
    CHx() = default;
    ~CHx() { Close(); }
    CHx(const CHx &) = delete;
    CHx &operator=(const CHx &) = delete;
    HX_HANDLE *Out() { return &m_h; }
    HX_HANDLE Get() const { return m_h; }
    LONG Close() {
        if (m_h == nullptr)
            return HX_OK;
        const LONG n = HX_CloseFile(m_h);
        m_h = nullptr;
        return n;
    }

private:
    HX_HANDLE m_h = nullptr;
};

uint32_t AttrU32(HX_HANDLE h, uint32_t code) {
    uint32_t v = 0xDEADBEEF, size = sizeof(v);
    EXPECT_EQ(Play_GetAttribute(h, code, &v, &size), PLAY_OK) << "attribute " << code;
    return v;
}

float AttrFloat(HX_HANDLE h, uint32_t code) {
    float v = -1.0f;
    uint32_t size = sizeof(v);
    EXPECT_EQ(Play_GetAttribute(h, code, &v, &size), PLAY_OK) << "attribute " << code;
    return v;
}

int32_t SetFlags(HX_HANDLE h, uint32_t flags) {
    return Play_SetControl(h, PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
}

bool Ended(HX_HANDLE h) {
    return AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED) != 0;
}

// How a recording is given as a stream: the header block is the bytes before
// the first frame, and the data pushed afterwards starts at the first frame.
// Where a frame starts the file, the header block is its first 64 bytes (the
// least the core takes) and the data is pushed from the start.
struct StreamSplit {
    uint32_t dwHeaderSize;
    size_t dataStart;
};

StreamSplit SplitOf(const FileRecording &r) {
    const size_t first = size_t(r.frames.front().ullOffset);
    if (first >= PLAY_STREAM_HEADER_MIN)
        return {uint32_t(std::min<size_t>(first, PLAY_STREAM_HEADER_MAX)), first};
    return {PLAY_STREAM_HEADER_MIN, 0};
}

// Pushes the bytes in blocks, retrying while the input is full.
void Push(HX_HANDLE h, const std::vector<uint8_t> &bytes, size_t from, size_t block = 4096) {
    for (size_t pos = from; pos < bytes.size();) {
        const size_t n = std::min(block, bytes.size() - pos);
        LONG r = HX_OK;
        ASSERT_TRUE(WaitUntil([&] {
            r = HX_InputData(h, bytes.data() + pos, DWORD(n));
            return r != HX_E_BUFFER_FULL;
        }));
        ASSERT_EQ(r, HX_OK) << "at " << pos;
        pos += n;
    }
}

// One frame as the parser hands it out.
struct ParsedFrame {
    int32_t nType = 0;
    uint32_t dwCodec = 0;
    uint32_t dwTimestamp = 0;
    uint32_t dwSequence = 0;
    std::vector<uint8_t> header;
    std::vector<uint8_t> payload;
};

class CParseLog {
public:
    void Add(const FrameRecord *f) {
        ParsedFrame p;
        p.nType = f->nType;
        p.dwCodec = f->dwCodec;
        p.dwTimestamp = f->dwTimestamp;
        p.dwSequence = f->dwSequence;
        p.header.assign(f->pHeader, f->pHeader + f->dwHeaderLength);
        p.payload.assign(f->pPayload, f->pPayload + f->dwPayloadLength);
        std::lock_guard<std::mutex> guard(m_lock);
        m_frames.push_back(std::move(p));
    }
    std::vector<ParsedFrame> Get() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames;
    }

private:
    std::mutex m_lock;
    std::vector<ParsedFrame> m_frames;
};

int32_t QV_CALL LogParsed(PLAY_HANDLE, FrameRecord *pFrame, void *pContext) {
    static_cast<CParseLog *>(pContext)->Add(pFrame);
    return 0;
}

// Opens a file with the family and plays it to its end, parsing only, with
// every frame the parser delivers logged.
std::vector<ParsedFrame> ParseWithPlayer(const std::filesystem::path &path);

// The frames the parser delivers from the recording, checked against what
// the fixture wrote.
std::vector<ParsedFrame> SourceFrames(const FileRecording &r, const std::filesystem::path &path) {
    const std::vector<ParsedFrame> parsed = ParseWithPlayer(path);
    const std::vector<const FixtureFrame *> written = r.Delivered();
    EXPECT_EQ(parsed.size(), written.size()) << "frames of the source";
    for (size_t i = 0; i < std::min(parsed.size(), written.size()); ++i) {
        EXPECT_EQ(parsed[i].nType, written[i]->nType) << i;
        EXPECT_EQ(parsed[i].dwTimestamp, written[i]->dwTimestamp) << i;
        EXPECT_EQ(parsed[i].header.size(), written[i]->dwHeaderLength) << i;
        EXPECT_TRUE(parsed[i].payload == written[i]->payload) << i;
    }
    return parsed;
}

std::vector<uint8_t> BytesOf(const ParsedFrame &f) {
    std::vector<uint8_t> v = f.header;
    v.insert(v.end(), f.payload.begin(), f.payload.end());
    return v;
}

// The record file the family must write for these frames: the 64-byte head
// (the container's name field), then each frame's header and payload.
std::vector<uint8_t> RecordBytes(const char *szName, bool bHead, const std::vector<ParsedFrame> &frames,
                                 size_t from = 0, size_t to = SIZE_MAX) {
    std::vector<uint8_t> v;
    if (bHead)
        v.assign(reinterpret_cast<const uint8_t *>(szName),
                 reinterpret_cast<const uint8_t *>(szName) + HX_RECORD_HEAD_SIZE);
    for (size_t i = from; i < std::min(to, frames.size()); ++i) {
        const std::vector<uint8_t> b = BytesOf(frames[i]);
        v.insert(v.end(), b.begin(), b.end());
    }
    return v;
}

void ExpectSameFrames(const std::vector<ParsedFrame> &got, const std::vector<ParsedFrame> &want,
                      const std::string &what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].nType, want[i].nType) << what << " frame " << i;
        EXPECT_EQ(got[i].dwCodec, want[i].dwCodec) << what << " frame " << i;
        EXPECT_EQ(got[i].dwTimestamp, want[i].dwTimestamp) << what << " frame " << i;
        EXPECT_EQ(got[i].dwSequence, want[i].dwSequence) << what << " frame " << i;
        EXPECT_TRUE(got[i].header == want[i].header) << what << " frame " << i << " header";
        EXPECT_TRUE(got[i].payload == want[i].payload) << what << " frame " << i << " payload";
    }
}

std::vector<ParsedFrame> ParseWithPlayer(const std::filesystem::path &path) {
    CParseLog log;
    CHx hx;
    EXPECT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK) << path.string();
    if (hx.Get() == nullptr)
        return {};
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(LogParsed);
    cb.pContext = &log;
    EXPECT_EQ(Play_RegisterCallbackFunction(hx.Get(), PLAY_CALLBACK_STREAM_PARSE, &cb, sizeof(cb)), PLAY_OK);
    EXPECT_EQ(SetFlags(hx.Get(), 0), PLAY_OK);
    EXPECT_EQ(HX_Play(hx.Get(), 0), HX_OK);
    EXPECT_EQ(HX_SetSpeed(hx.Get(), 6), HX_OK);
    EXPECT_TRUE(WaitUntil([&] { return Ended(hx.Get()); })) << path.string();
    return log.Get();
}

// Generations whose parser delivers a frame only once the next one begins
// (V20) or once the next chunk's tag stands behind it (15, V10): played
// back, a record file holds back its last frame.
bool LastFrameWaitsForNext(Gen gen) {
    return gen == Gen::V20 || gen == Gen::G15 || gen == Gen::V10;
}

// Whether this process still holds the file open (Linux: its descriptors;
// Windows: a file open without delete sharing cannot be removed, which the
// caller tries instead).
bool HeldOpen(const std::filesystem::path &path) {
#ifdef _WIN32
    (void)path;
    return false;
#else
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(path, ec);
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(entry.path(), linkError) == target)
            return true;
    }
    return false;
#endif
}

class CLimitOverride {
public:
    explicit CLimitOverride(uint64_t ullLimit) { api::hx::SetRecordSizeLimitForTesting(ullLimit); }
    ~CLimitOverride() { api::hx::SetRecordSizeLimitForTesting(0); }
};

const Gen kAllGens[] = {Gen::V30, Gen::V20, Gen::G15, Gen::V10, Gen::G6000};
const Gen kStreamGens[] = {Gen::V30, Gen::V20, Gen::G15, Gen::V10};

std::string GenParamName(const ::testing::TestParamInfo<Gen> &info) {
    return std::string("G") + GenName(info.param);
}

// ---- The function table ----

TEST(HxTable, EveryListedNameIsFoundWhateverItsCase) {
    const char *names[] = {
#define HX_NAME(name) #name,
        HX_FOR_EACH_FUNCTION(HX_NAME)
#undef HX_NAME
    };
    ASSERT_EQ(sizeof(names) / sizeof(names[0]), size_t(HX_FUNCTION_COUNT));
    for (const char *name : names) {
        std::string lower(name), upper(name);
        for (char &c : lower)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        for (char &c : upper)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        for (const std::string &s : {std::string(name), lower, upper}) {
            BOOL found = 7;
            EXPECT_EQ(HX_QueryFunction(s.c_str(), &found), HX_OK) << s;
            EXPECT_EQ(found, 1) << s;
        }
    }
    BOOL found = 7;
    EXPECT_EQ(HX_QueryFunction("snapshot", &found), HX_OK);
    EXPECT_EQ(found, 1);
}

TEST(HxTable, OtherNamesAreNotOffered) {
    // Prefixes, extensions and the functions outside the table.
    for (const char *name : {"Record", "", "OpenFil", "OpenFileX", "HX_OpenFile", "GetVersion",
                             "QueryFunction", "Initial", "Free", "Snapshot "}) {
        BOOL found = 7;
        EXPECT_EQ(HX_QueryFunction(name, &found), HX_E_NOT_OFFERED) << name;
        EXPECT_EQ(found, 0) << name;
    }
    BOOL found = 7;
    EXPECT_EQ(HX_QueryFunction(nullptr, &found), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_QueryFunction("Play", nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_QueryFunction(nullptr, nullptr), HX_E_BAD_ARGUMENT);
}

TEST(HxTable, VersionAndTheCallsThatDoNothing) {
    DWORD v = 0;
    EXPECT_EQ(HX_GetVersion(&v), HX_OK);
    EXPECT_EQ(v, 0x30004u);
    EXPECT_EQ(HX_GetVersion(nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_Initial(), HX_OK);
    EXPECT_EQ(HX_Refresh(), HX_OK);
    EXPECT_EQ(HX_Free(), HX_OK);
}

// Every listed name is a function the library exports as "HX_" + name, and
// a host calling through the pointers gets the family's answers.
TEST(HxTable, ListedNamesAreExportedByTheLibrary) {
#ifdef _WIN32
    wchar_t szPath[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring folder(szPath, n);
    folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
    HMODULE hLibrary = LoadLibraryW((folder + L"QVPlaySDK.dll").c_str());
    ASSERT_NE(hLibrary, nullptr) << "QVPlaySDK.dll beside the test program";
    auto resolve = [&](const std::string &name) -> void * {
        return reinterpret_cast<void *>(GetProcAddress(hLibrary, name.c_str()));
    };
#else
    const std::string library = testx::ProgramFolder() + "/libQVPlaySDK.so";
    void *hLibrary = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(hLibrary, nullptr) << dlerror();
    auto resolve = [&](const std::string &name) { return dlsym(hLibrary, name.c_str()); };
#endif
    const char *names[] = {
#define HX_NAME(name) #name,
        HX_FOR_EACH_FUNCTION(HX_NAME)
#undef HX_NAME
    };
    for (const char *name : names)
        EXPECT_NE(resolve(std::string("HX_") + name), nullptr) << name;

    auto pQuery = reinterpret_cast<decltype(&HX_QueryFunction)>(resolve("HX_QueryFunction"));
    auto pVersion = reinterpret_cast<decltype(&HX_GetVersion)>(resolve("HX_GetVersion"));
    auto pRefresh = reinterpret_cast<decltype(&HX_Refresh)>(resolve("HX_Refresh"));
    auto pOpen = reinterpret_cast<decltype(&HX_OpenFile)>(resolve("HX_OpenFile"));
    auto pFileTime = reinterpret_cast<decltype(&HX_GetFileTime)>(resolve("HX_GetFileTime"));
    auto pClose = reinterpret_cast<decltype(&HX_CloseFile)>(resolve("HX_CloseFile"));
    ASSERT_TRUE(pQuery && pVersion && pRefresh && pOpen && pFileTime && pClose);
    BOOL found = 0;
    EXPECT_EQ(pQuery("closefile", &found), HX_OK);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(pQuery("Record", &found), HX_E_NOT_OFFERED);
    EXPECT_EQ(found, 0);
    DWORD v = 0;
    EXPECT_EQ(pVersion(&v), HX_OK);
    EXPECT_EQ(v, DWORD(HX_VERSION));
    EXPECT_EQ(pRefresh(), HX_OK);

    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 60, false, kSmallClip, 40);
    const std::filesystem::path path = dir.Write("lib.rec", r.bytes);
    HX_HANDLE h = nullptr;
    ASSERT_EQ(pOpen(AnsiPath(path).c_str(), &h), HX_OK);
    ASSERT_NE(h, nullptr);
    // The duration is known once the library's index is complete: 59 frames
    // of 40 ms.
    DWORD seconds = 99;
    EXPECT_TRUE(WaitUntil([&] { return pFileTime(h, &seconds) == HX_OK; }));
    EXPECT_EQ(seconds, 2u);
    EXPECT_EQ(pClose(h), HX_OK);
    // The handle belongs to the library loaded here: it is gone for good.
    EXPECT_EQ(pClose(h), HX_E_BAD_ARGUMENT);
}

// ---- Opening ----

class HxOpen : public ::testing::TestWithParam<Gen> {};

TEST_P(HxOpen, FileOpensAndReportsItsDurationInSeconds) {
    const Gen gen = GetParam();
    CTempDir dir;
    const FileRecording r = MakeFile(gen, 60, true);
    const std::filesystem::path path = dir.Write("open.rec", r.bytes);
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK);
    ASSERT_NE(hx.Get(), nullptr);
    EXPECT_EQ(AttrU32(hx.Get(), PLAY_ATTRIBUTE_MODE), uint32_t(PLAY_MODE_FILE));
    // The family's extension block, zero at open.
    void *pExtension = nullptr;
    ASSERT_EQ(Play_GetExtension(hx.Get(), &pExtension), PLAY_OK);
    const HX_EXTENSION zero{};
    EXPECT_EQ(std::memcmp(pExtension, &zero, sizeof(zero)), 0);
    ASSERT_TRUE(WaitUntil([&] { return AttrU32(hx.Get(), PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0; }));
    DWORD seconds = 99;
    ASSERT_EQ(HX_GetFileTime(hx.Get(), &seconds), HX_OK);
    EXPECT_EQ(seconds, r.Duration() / 1000) << r.Duration() << " ms";
    EXPECT_EQ(HX_GetFileTime(hx.Get(), nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(hx.Close(), HX_OK);
}

TEST_P(HxOpen, StreamOpensFromItsHeader) {
    const Gen gen = GetParam();
    const FileRecording r = MakeFile(gen, 10, true);
    const StreamSplit split = SplitOf(r);
    CHx hx;
    const LONG n = HX_OpenStream(r.bytes.data(), split.dwHeaderSize, 12345, hx.Out());
    if (gen == Gen::G6000) {
        // Recognised, but never played live.
        EXPECT_EQ(n, HX_E_STREAM_FORMAT);
        EXPECT_EQ(hx.Get(), nullptr);
        return;
    }
    ASSERT_EQ(n, HX_OK);
    EXPECT_EQ(AttrU32(hx.Get(), PLAY_ATTRIBUTE_MODE), uint32_t(PLAY_MODE_STREAM));
    StreamInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(Play_GetAttribute(hx.Get(), PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    EXPECT_EQ(info.dwGeneration, GenerationCode(gen));
    EXPECT_EQ(hx.Close(), HX_OK);
}

INSTANTIATE_TEST_SUITE_P(Generations, HxOpen, ::testing::ValuesIn(kAllGens), GenParamName);

TEST(HxOpenErrors, WrongFormatsAndBadArguments) {
    CTempDir dir;
    const std::vector<uint8_t> garbage(70000, 0x5A);
    const std::filesystem::path junk = dir.Write("junk.bin", garbage);
    HX_HANDLE h = reinterpret_cast<HX_HANDLE>(uintptr_t(0x1234));
    EXPECT_EQ(HX_OpenFile(AnsiPath(junk).c_str(), &h), HX_E_FILE_FORMAT);
    EXPECT_EQ(h, nullptr);
    h = reinterpret_cast<HX_HANDLE>(uintptr_t(0x1234));
    EXPECT_EQ(HX_OpenFile(AnsiPath(dir.File("missing.rec")).c_str(), &h), HX_E_FAIL);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(HX_OpenFile(nullptr, &h), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_OpenFile(AnsiPath(junk).c_str(), nullptr), HX_E_BAD_ARGUMENT);

    h = reinterpret_cast<HX_HANDLE>(uintptr_t(0x1234));
    EXPECT_EQ(HX_OpenStream(garbage.data(), 4096, 0, &h), HX_E_STREAM_FORMAT);
    EXPECT_EQ(h, nullptr);
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    // Outside the header sizes the core takes: any other failure.
    EXPECT_EQ(HX_OpenStream(r.bytes.data(), 63, 0, &h), HX_E_FAIL);
    EXPECT_EQ(HX_OpenStream(nullptr, 256, 0, &h), HX_E_FAIL);
    EXPECT_EQ(HX_OpenStream(r.bytes.data(), 256, 0, nullptr), HX_E_BAD_ARGUMENT);
}

// ---- Playing to the end ----

class HxPlay : public ::testing::TestWithParam<Gen> {};

// Played in a window to the end of the file: the file-end message reaches
// the window's message loop with the handle, and the pictures were decoded
// at the clip's size.
TEST_P(HxPlay, FileEndMessageReachesTheWindow) {
    const Gen gen = GetParam();
    CTempDir dir;
    const FileRecording r = MakeFile(gen, 30, true);
    const std::filesystem::path path = dir.Write("play.rec", r.bytes);
    CMessageWindow window(352, 288);
    ASSERT_TRUE(window.Valid());
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK);
    ASSERT_EQ(HX_SetMessage(hx.Get(), HX_MESSAGE_FILE_END, window.Handle(), kMsgFileEnd), HX_OK);
    void *pExtension = nullptr;
    ASSERT_EQ(Play_GetExtension(hx.Get(), &pExtension), PLAY_OK);
    const HX_EXTENSION *pExt = static_cast<const HX_EXTENSION *>(pExtension);
    EXPECT_EQ(pExt->hEndWnd, window.Handle());
    EXPECT_EQ(pExt->nEndMsg, kMsgFileEnd);
    EXPECT_EQ(pExt->lEndParam, LPARAM(hx.Get()));

    // The end takes the played time from the index: it is waited for.
    ASSERT_TRUE(WaitUntil([&] { return AttrU32(hx.Get(), PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0; }));
    ASSERT_EQ(HX_Play(hx.Get(), window.Handle()), HX_OK);
    EXPECT_NE(AttrU32(hx.Get(), PLAY_ATTRIBUTE_ENABLE) & PLAY_ENABLE_DISPLAY, 0u);
    PLAY_VIEWPORT viewport{};
    uint32_t count = 1;
    ASSERT_EQ(Play_GetViewport(hx.Get(), &viewport, &count), PLAY_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(viewport.dwID, 0u);
    EXPECT_EQ(viewport.hDestWnd, window.Handle());
    ASSERT_EQ(HX_SetSpeed(hx.Get(), 6), HX_OK);
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd)) << GenName(gen);
    const std::vector<Message> got = window.Received(kMsgFileEnd);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].wParam, 0u);
    EXPECT_EQ(got[0].lParam, LPARAM(hx.Get()));
    EXPECT_TRUE(Ended(hx.Get()));

    DWORD w = 0, hgt = 0;
    ASSERT_EQ(HX_GetPictureSize(hx.Get(), &w, &hgt), HX_OK);
    if (GenDecodes(gen)) {
        EXPECT_EQ(w, 352u);
        EXPECT_EQ(hgt, 288u);
    }
    // Milliseconds played, times 1000.
    DWORD played = 0;
    ASSERT_EQ(HX_GetPlayTime(hx.Get(), &played), HX_OK);
    EXPECT_EQ(played, AttrU32(hx.Get(), PLAY_ATTRIBUTE_PLAY_DURATION) * 1000u);
    EXPECT_EQ(played, r.Duration() * 1000u);
}

INSTANTIATE_TEST_SUITE_P(Generations, HxPlay, ::testing::ValuesIn(kAllGens), GenParamName);

TEST(HxPlayWindow, PlayReplacesViewportZeroAndStartsAtNormalSpeed) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 200, false);
    const std::filesystem::path path = dir.Write("vp.rec", r.bytes);
    CMessageWindow a(352, 288), b(352, 288);
    ASSERT_TRUE(a.Valid() && b.Valid());
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK);
    ASSERT_EQ(HX_SetSpeed(hx.Get(), 3), HX_OK);
    ASSERT_EQ(HX_Play(hx.Get(), a.Handle()), HX_OK);
    EXPECT_EQ(AttrFloat(hx.Get(), PLAY_ATTRIBUTE_SPEED), 1.0f);
    EXPECT_EQ(AttrU32(hx.Get(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
    // Resuming after a pause with the same window, or moving to another,
    // keeps one viewport 0.
    ASSERT_EQ(HX_Pause(hx.Get(), 0), HX_OK);
    ASSERT_EQ(HX_Play(hx.Get(), a.Handle()), HX_OK);
    ASSERT_EQ(HX_Play(hx.Get(), b.Handle()), HX_OK);
    PLAY_VIEWPORT viewports[2]{};
    uint32_t count = 2;
    ASSERT_EQ(Play_GetViewport(hx.Get(), viewports, &count), PLAY_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(viewports[0].dwID, 0u);
    EXPECT_EQ(viewports[0].hDestWnd, b.Handle());
    // No window: viewport 0 goes, playing goes on.
    ASSERT_EQ(HX_Play(hx.Get(), 0), HX_OK);
    count = 2;
    ASSERT_EQ(Play_GetViewport(hx.Get(), viewports, &count), PLAY_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(AttrU32(hx.Get(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
}

// ---- Position and speed ----

TEST(HxPosition, SetPlayTimeSeeksBySecondsAndStepsMoveOneFrame) {
    CTempDir dir;
    // 75 frames 40 ms apart: 2960 ms.
    const FileRecording r = MakeFile(Gen::V30, 75, true);
    const std::filesystem::path path = dir.Write("seek.rec", r.bytes);
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(SetFlags(h, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return AttrU32(h, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0; }));
    DWORD seconds = 0;
    ASSERT_EQ(HX_GetFileTime(h, &seconds), HX_OK);
    EXPECT_EQ(seconds, 2u);
    ASSERT_EQ(HX_Pause(h, 0), HX_OK);

    // Two seconds: the frame at 2000 ms, index 50.
    ASSERT_EQ(HX_SetPlayTime(h, 2), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 50u);
    ASSERT_EQ(HX_SetPlayTime(h, 1), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 25u);
    // Past the end, and a time whose milliseconds leave 32 bits (they would
    // wrap to 704 ms).
    EXPECT_EQ(HX_SetPlayTime(h, 3), HX_E_FAIL);
    EXPECT_EQ(HX_SetPlayTime(h, 4294968), HX_E_FAIL);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 25u);

    // One frame on, twice, then back.
    ASSERT_EQ(HX_OneByOne(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 26u);
    ASSERT_EQ(HX_OneByOne(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 27u);
    ASSERT_EQ(HX_OneByOneBack(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 26u);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
    // At the first frame a step back stays there.
    ASSERT_EQ(HX_SetPlayTime(h, 0), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    ASSERT_EQ(HX_OneByOneBack(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    // Past the last frame a step has nowhere to go.
    ASSERT_EQ(SetFlags(h, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT), PLAY_OK);
    const uint32_t last = 74;
    ASSERT_EQ(Play_Seek(h, PLAY_SEEK_INDEX, &last, sizeof(last)), PLAY_OK);
    EXPECT_EQ(HX_OneByOne(h), HX_E_FAIL);
}

TEST(HxPosition, OneByOneOnAStreamPlaysOnUntilTheNextFrame) {
    const FileRecording r = MakeFile(Gen::V30, 40, false);
    const StreamSplit split = SplitOf(r);
    // Shown in a window, the frames are paced 40 ms apart.
    CMessageWindow window(352, 288);
    ASSERT_TRUE(window.Valid());
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), split.dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(HX_StopSound(h), HX_OK);
    Push(h, r.bytes, split.dataStart, r.bytes.size());
    ASSERT_EQ(HX_Play(h, window.Handle()), HX_OK);
    ASSERT_EQ(HX_Pause(h, 0), HX_OK);
    uint32_t before = AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX);
    for (int step = 0; step < 3; ++step) {
        ASSERT_EQ(HX_OneByOne(h), HX_OK);
        const uint32_t now = AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX);
        EXPECT_GT(now, before) << "step " << step;
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED));
        before = now;
    }
    EXPECT_LT(before, 39u) << "each step plays on only briefly";
}

TEST(HxSpeed, ExponentsArePowersOfTwo) {
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), SplitOf(r).dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    struct Case {
        LONG nSet;
        float fSpeed;
        LONG nRead;
    };
    const Case cases[] = {{-2, 0.25f, -2},     {-1, 0.5f, -1},   {0, 1.0f, 0},          {1, 2.0f, 1},
                          {3, 8.0f, 3},        {6, 64.0f, 6},    {-6, 0.015625f, -6},   {7, 64.0f, 6},
                          {-7, 0.015625f, -6}, {1000, 64.0f, 6}, {-1000, 0.015625f, -6}};
    for (const Case &c : cases) {
        ASSERT_EQ(HX_SetSpeed(h, c.nSet), HX_OK) << c.nSet;
        EXPECT_EQ(AttrFloat(h, PLAY_ATTRIBUTE_SPEED), c.fSpeed) << c.nSet;
        LONG n = 99;
        ASSERT_EQ(HX_GetSpeed(h, &n), HX_OK) << c.nSet;
        EXPECT_EQ(n, c.nRead) << c.nSet;
    }
    // Speeds set through the core read back as the nearest exponent.
    const std::pair<float, LONG> core[] = {{3.0f, 2}, {1.5f, 1}, {0.75f, 0}, {0.3f, -2},
                                           {5.0f, 2}, {6.0f, 3}, {0.7f, -1}};
    for (const auto &[f, n] : core) {
        ASSERT_EQ(Play_SetControl(h, PLAY_CONTROL_SPEED, &f, sizeof(f)), PLAY_OK);
        LONG got = 99;
        ASSERT_EQ(HX_GetSpeed(h, &got), HX_OK) << f;
        EXPECT_EQ(got, n) << f;
    }
    EXPECT_EQ(HX_GetSpeed(h, nullptr), HX_E_BAD_ARGUMENT);
}

TEST(HxFileTime, SecondsAreWholeAndAnEmptyDurationFails) {
    struct Case {
        uint32_t dwFrames;
        uint32_t dwInterval;
        LONG nResult;
        DWORD dwSeconds;
    };
    // Durations of 999, 1000, 1 and 0 ms (two frames, or one).
    const Case cases[] = {{2, 999, HX_OK, 0}, {2, 1000, HX_OK, 1}, {2, 1, HX_OK, 0}, {1, 40, HX_E_FAIL, 77}};
    CTempDir dir;
    for (const Case &c : cases) {
        const FileRecording r = MakeFile(Gen::V30, c.dwFrames, false, kSmallClip, c.dwInterval);
        ASSERT_EQ(r.Duration(), c.dwFrames == 1 ? 0u : c.dwInterval);
        const std::filesystem::path path = dir.Write("t" + std::to_string(c.dwInterval) + ".rec", r.bytes);
        CHx hx;
        ASSERT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK);
        ASSERT_TRUE(WaitUntil([&] { return AttrU32(hx.Get(), PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0; }));
        ASSERT_EQ(AttrU32(hx.Get(), PLAY_ATTRIBUTE_FILE_DURATION), r.Duration());
        DWORD seconds = 77;
        EXPECT_EQ(HX_GetFileTime(hx.Get(), &seconds), c.nResult) << r.Duration() << " ms";
        EXPECT_EQ(seconds, c.dwSeconds) << r.Duration() << " ms";
    }
}

// Played milliseconds times 1000 leave 32 bits after 71 minutes: the
// product saturates rather than wrapping to a small time.
TEST(HxPlayTime, SaturatesPastThirtyTwoBits) {
    CTempDir dir;
    // 4297 frames a second apart: 4296 s, whose milliseconds times 1000 are
    // just above 2^32.
    const FileRecording r = MakeFile(Gen::V30, 4297, false, kSmallClip, 1000);
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(dir.Write("long.rec", r.bytes)).c_str(), hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    // Nothing decoded or shown: the frames are played as fast as they are
    // read. The end takes the played time from the index: it is waited for.
    ASSERT_EQ(SetFlags(h, 0), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return AttrU32(h, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0; }));
    ASSERT_EQ(HX_Play(h, 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(h, 6), HX_OK);
    ASSERT_TRUE(WaitUntil([&] { return Ended(h); }));
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_DURATION), 4296000u);
    DWORD played = 0;
    ASSERT_EQ(HX_GetPlayTime(h, &played), HX_OK);
    EXPECT_EQ(played, 0xFFFFFFFFu);
    DWORD seconds = 0;
    ASSERT_EQ(HX_GetFileTime(h, &seconds), HX_OK);
    EXPECT_EQ(seconds, 4296u);
}

// ---- Sound, volume and pause ----

TEST(HxControls, SoundVolumeAndPause) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 200, true);
    const std::filesystem::path path = dir.Write("ctl.rec", r.bytes);
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(path).c_str(), hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    const uint32_t flags = AttrU32(h, PLAY_ATTRIBUTE_ENABLE);
    ASSERT_NE(flags & PLAY_ENABLE_SOUND, 0u);
    // Only the sound bit changes (its dependant, sound sync, follows it).
    ASSERT_EQ(HX_StopSound(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_ENABLE), flags & ~(PLAY_ENABLE_SOUND | PLAY_ENABLE_SOUND_SYNC));
    ASSERT_EQ(HX_PlaySound(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_ENABLE), (flags & ~PLAY_ENABLE_SOUND_SYNC) | PLAY_ENABLE_SOUND);
    ASSERT_EQ(HX_StopSound(h), HX_OK);

    ASSERT_EQ(HX_SetVolume(h, 30000), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_VOLUME), 30000u);
    ASSERT_EQ(HX_SetVolume(h, 70000), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_VOLUME), 65535u);

    // The second argument of HX_Pause means nothing: both values pause.
    ASSERT_EQ(SetFlags(h, 0), PLAY_OK);
    for (DWORD value : {DWORD(0), DWORD(1), DWORD(0xFFFFFFFF)}) {
        ASSERT_EQ(HX_Play(h, 0), HX_OK);
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PLAYING));
        ASSERT_EQ(HX_Pause(h, value), HX_OK) << value;
        EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_PAUSED)) << value;
    }
    ASSERT_EQ(HX_Stop(h), HX_OK);
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
}

TEST(HxStream, InputReportsAFullBufferApart) {
    // More frames than the parser queues: the stream is never played, so
    // the input fills up.
    const FileRecording r = MakeFile(Gen::V30, 200, false);
    const StreamSplit split = SplitOf(r);
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), split.dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    LONG n = HX_OK;
    size_t pos = split.dataStart;
    while (pos < r.bytes.size() && (n = HX_InputData(h, r.bytes.data() + pos, 2048)) == HX_OK)
        pos += 2048;
    EXPECT_EQ(n, HX_E_BUFFER_FULL);
    EXPECT_GT(AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), uint32_t(DEMUX_MAX_QUEUED_FRAMES));
    EXPECT_EQ(HX_InputData(h, nullptr, 16), HX_E_FAIL);
    EXPECT_EQ(HX_InputData(h, r.bytes.data(), 0), HX_E_FAIL);
    // A file player takes no input.
    CTempDir dir;
    CHx file;
    ASSERT_EQ(HX_OpenFile(AnsiPath(dir.Write("f.rec", r.bytes)).c_str(), file.Out()), HX_OK);
    EXPECT_EQ(HX_InputData(file.Get(), r.bytes.data(), 16), HX_E_FAIL);
}

// ---- Record files ----

class HxRecordFile : public ::testing::TestWithParam<Gen> {};

// Recorded while the file plays: the record file holds the container head
// and every frame's bytes as delivered, and opens as a recording whose
// frames are the source's.
TEST_P(HxRecordFile, HoldsEveryFrameOfThePlayedFile) {
    const Gen gen = GetParam();
    CTempDir dir;
    const FileRecording r = MakeFile(gen, 30, true);
    const std::filesystem::path source = dir.Write("source.rec", r.bytes);
    const std::filesystem::path record = dir.File("record.rec");
    CMessageWindow window(64, 64);
    ASSERT_TRUE(window.Valid());
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(source).c_str(), hx.Out()), HX_OK);
    ASSERT_EQ(SetFlags(hx.Get(), 0), PLAY_OK);
    ASSERT_EQ(HX_SetMessage(hx.Get(), HX_MESSAGE_FILE_END, window.Handle(), kMsgFileEnd), HX_OK);
    ASSERT_EQ(HX_StartRecord(hx.Get(), AnsiPath(record).c_str()), HX_OK);
    void *pExtension = nullptr;
    ASSERT_EQ(Play_GetExtension(hx.Get(), &pExtension), PLAY_OK);
    EXPECT_NE(static_cast<HX_EXTENSION *>(pExtension)->hRecordFile, nullptr);
    ASSERT_EQ(HX_Play(hx.Get(), 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(hx.Get(), 6), HX_OK);
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd));
    ASSERT_EQ(HX_StopRecord(hx.Get()), HX_OK);
    EXPECT_EQ(static_cast<HX_EXTENSION *>(pExtension)->hRecordFile, nullptr);

    StreamInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(Play_GetAttribute(hx.Get(), PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    const std::vector<ParsedFrame> frames = SourceFrames(r, source);
    const std::vector<uint8_t> bytes = FixtureReadFile(record.string());
    const bool bHead = gen != Gen::G6000;
    const std::vector<uint8_t> expected = RecordBytes(info.szName, bHead, frames);
    ASSERT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);
    if (!bHead) {
        // The first frame's bytes open the file.
        const std::vector<uint8_t> first = BytesOf(frames.front());
        EXPECT_TRUE(std::equal(first.begin(), first.end(), bytes.begin()));
        return; // a 6000 recording without its index is not a file to open
    }
    EXPECT_NE(info.szName[0], 0);
    std::vector<ParsedFrame> want = frames;
    if (LastFrameWaitsForNext(gen))
        want.pop_back();
    ExpectSameFrames(ParseWithPlayer(record), want, "record file");
}

INSTANTIATE_TEST_SUITE_P(Generations, HxRecordFile, ::testing::ValuesIn(kAllGens), GenParamName);

class HxRecordStream : public ::testing::TestWithParam<Gen> {};

// Recorded while a stream is pushed and played.
TEST_P(HxRecordStream, HoldsEveryFrameOfThePushedStream) {
    const Gen gen = GetParam();
    CTempDir dir;
    const FileRecording r = MakeFile(gen, 30, true);
    const StreamSplit split = SplitOf(r);
    const std::filesystem::path record = dir.File("live.rec");
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), split.dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(SetFlags(h, 0), PLAY_OK);
    ASSERT_EQ(HX_StartRecord(h, AnsiPath(record).c_str()), HX_OK);
    ASSERT_EQ(HX_Play(h, 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(h, 6), HX_OK);
    Push(h, r.bytes, split.dataStart, 1000);

    StreamInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    const std::vector<ParsedFrame> frames = SourceFrames(r, dir.Write("source.rec", r.bytes));
    const std::vector<uint8_t> expected = RecordBytes(info.szName, true, frames);
    std::error_code ec;
    EXPECT_TRUE(WaitUntil([&] { return std::filesystem::file_size(record, ec) >= expected.size(); }))
        << std::filesystem::file_size(record, ec) << " of " << expected.size();
    ASSERT_EQ(HX_StopRecord(h), HX_OK);
    const std::vector<uint8_t> bytes = FixtureReadFile(record.string());
    ASSERT_EQ(bytes.size(), expected.size());
    EXPECT_TRUE(bytes == expected);
    std::vector<ParsedFrame> want = frames;
    if (LastFrameWaitsForNext(gen))
        want.pop_back();
    ExpectSameFrames(ParseWithPlayer(record), want, "record file");
}

INSTANTIATE_TEST_SUITE_P(Generations, HxRecordStream, ::testing::ValuesIn(kStreamGens), GenParamName);

// A second HX_StartRecord closes the first file with its last frame written:
// the two files share the frames between them, in order, none lost.
TEST(HxRecord, SecondStartClosesTheFirstFileComplete) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 30, true);
    const StreamSplit split = SplitOf(r);
    const std::filesystem::path first = dir.File("first.rec"), second = dir.File("second.rec");
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), split.dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    // Frames pulled one by one: the split point is exact.
    ASSERT_EQ(SetFlags(h, PLAY_ENABLE_DECODE_ON_DEMAND), PLAY_OK);
    Push(h, r.bytes, split.dataStart, r.bytes.size());
    const std::vector<ParsedFrame> frames = SourceFrames(r, dir.Write("source.rec", r.bytes));
    auto pull = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            PLAY_FRAME *pFrame = nullptr;
            ASSERT_EQ(Play_GetDecodeFrame(h, 0, &pFrame), PLAY_OK) << i;
            ASSERT_EQ(Play_FreeDecodeFrame(h, pFrame), PLAY_OK);
        }
    };
    ASSERT_EQ(HX_StartRecord(h, AnsiPath(first).c_str()), HX_OK);
    const size_t split1 = 11;
    pull(split1);
    ASSERT_EQ(HX_StartRecord(h, AnsiPath(second).c_str()), HX_OK);
    // The first file is closed and complete before anything else happens.
    StreamInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    const std::vector<uint8_t> firstBytes = FixtureReadFile(first.string());
    EXPECT_TRUE(firstBytes == RecordBytes(info.szName, true, frames, 0, split1))
        << firstBytes.size() << " bytes";
    EXPECT_FALSE(HeldOpen(first)) << "the first record file is still open";
#ifndef _WIN32
    EXPECT_TRUE(HeldOpen(second)) << "the second record file is being written";
#endif
    std::error_code ec;
    std::filesystem::remove(first, ec);
    EXPECT_FALSE(ec) << "the first record file is still open";
    pull(frames.size() - split1);
    ASSERT_EQ(HX_StopRecord(h), HX_OK);
    // Stopping twice is harmless.
    EXPECT_EQ(HX_StopRecord(h), HX_OK);
    const std::vector<uint8_t> secondBytes = FixtureReadFile(second.string());
    EXPECT_TRUE(secondBytes == RecordBytes(info.szName, true, frames, split1))
        << secondBytes.size() << " bytes";
}

// Closing the player ends the recording first: the file holds whole frames
// only, the ones delivered before the close, and no writer reaches it after.
TEST(HxRecord, CloseWhileRecordingLeavesWholeFrames) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 100, true);
    const std::filesystem::path source = dir.Write("long.rec", r.bytes);
    const std::filesystem::path record = dir.File("cut.rec");
    // Shown in a window, the file plays for 4 s.
    CMessageWindow window(352, 288);
    ASSERT_TRUE(window.Valid());
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(source).c_str(), hx.Out()), HX_OK);
    ASSERT_EQ(HX_StopSound(hx.Get()), HX_OK);
    ASSERT_EQ(HX_StartRecord(hx.Get(), AnsiPath(record).c_str()), HX_OK);
    StreamInfo info{};
    uint32_t size = sizeof(info);
    ASSERT_EQ(Play_GetAttribute(hx.Get(), PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    ASSERT_EQ(HX_Play(hx.Get(), window.Handle()), HX_OK);
    std::error_code ec;
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::file_size(record, ec) > 2000; }));
    ASSERT_EQ(hx.Close(), HX_OK);
    const std::vector<uint8_t> bytes = FixtureReadFile(record.string());
    const std::vector<ParsedFrame> frames = SourceFrames(r, source);
    // The file ends at a frame boundary and matches the frames up to it.
    size_t end = HX_RECORD_HEAD_SIZE, count = 0;
    while (count < frames.size() && end < bytes.size())
        end += BytesOf(frames[count++]).size();
    EXPECT_EQ(end, bytes.size());
    EXPECT_LT(count, frames.size()) << "the close came after the end";
    EXPECT_TRUE(bytes == RecordBytes(info.szName, true, frames, 0, count));
}

// Once the file reaches the record size, every frame written posts the
// record-size message (the size is lowered here for the test).
TEST(HxRecord, RecordSizeMessageForEveryFrameFromTheLimitOn) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 20, true);
    const std::filesystem::path source = dir.Write("size.rec", r.bytes);
    const std::vector<ParsedFrame> frames = SourceFrames(r, source);
    // The limit is where the fifth frame ends.
    uint64_t limit = HX_RECORD_HEAD_SIZE;
    for (size_t i = 0; i < 5; ++i)
        limit += BytesOf(frames[i]).size();
    const CLimitOverride override(limit);
    const size_t expected = frames.size() - 4;

    CMessageWindow window(64, 64);
    ASSERT_TRUE(window.Valid());
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(source).c_str(), hx.Out()), HX_OK);
    ASSERT_EQ(SetFlags(hx.Get(), 0), PLAY_OK);
    ASSERT_EQ(HX_SetMessage(hx.Get(), HX_MESSAGE_RECORD_SIZE, window.Handle(), kMsgRecordSize), HX_OK);
    ASSERT_EQ(HX_SetMessage(hx.Get(), HX_MESSAGE_FILE_END, window.Handle(), kMsgFileEnd), HX_OK);
    ASSERT_EQ(HX_StartRecord(hx.Get(), AnsiPath(dir.File("big.rec")).c_str()), HX_OK);
    ASSERT_EQ(HX_Play(hx.Get(), 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(hx.Get(), 6), HX_OK);
    // Posted before the file-end message, which comes after the last frame.
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd));
    ASSERT_TRUE(window.WaitFor(kMsgRecordSize, expected));
    const std::vector<Message> got = window.Received(kMsgRecordSize);
    EXPECT_EQ(got.size(), expected);
    for (const Message &m : got) {
        EXPECT_EQ(m.wParam, 0u);
        EXPECT_EQ(m.lParam, LPARAM(hx.Get()));
    }
    // Recording went on past the limit.
    ASSERT_EQ(HX_StopRecord(hx.Get()), HX_OK);
    std::error_code ec;
    const char szNoName[HX_RECORD_HEAD_SIZE] = {};
    EXPECT_EQ(std::filesystem::file_size(dir.File("big.rec"), ec),
              RecordBytes(szNoName, true, frames).size());
}

TEST(HxRecord, StartErrors) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(dir.Write("e.rec", r.bytes)).c_str(), hx.Out()), HX_OK);
    EXPECT_EQ(HX_StartRecord(hx.Get(), AnsiPath(dir.File("no") / "such" / "x.rec").c_str()),
              HX_E_CREATE_FILE);
    EXPECT_EQ(HX_StartRecord(hx.Get(), nullptr), HX_E_CREATE_FILE);
    // Not recording: stopping is fine.
    EXPECT_EQ(HX_StopRecord(hx.Get()), HX_OK);
    // A player this family did not open has no block of the family's size.
    const std::vector<QV_WCHAR> wide = WidePath(dir.File("e.rec"));
    PLAY_CREATE_PARAM p = FileParam(wide.data());
    p.dwExtensionSize = 24;
    PLAY_HANDLE other = nullptr;
    ASSERT_EQ(Play_CreateW(&other, &p), PLAY_OK);
    EXPECT_EQ(HX_StartRecord(other, AnsiPath(dir.File("o.rec")).c_str()), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_StopRecord(other), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_SetMessage(other, HX_MESSAGE_FILE_END, 0, 0), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_SetDecodeCallBack(other, nullptr, nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_SetDrawCallBack(other, nullptr, nullptr), HX_E_BAD_ARGUMENT);
    // Closing it through the family releases it all the same.
    EXPECT_EQ(HX_CloseFile(other), HX_OK);
    uint32_t mode = 0, sz = sizeof(mode);
    EXPECT_EQ(Play_GetAttribute(other, PLAY_ATTRIBUTE_MODE, &mode, &sz), PLAY_E_INVALID_HANDLE);
}

// ---- Snapshots ----

struct SnapshotSeen {
    std::string path;
    LPARAM lParam = 0;
    int count = 0;
};

TEST(HxSnapshot, WritesTheBmpAndPostsItsPath) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 10, false, kBFrameClip);
    const std::filesystem::path source = dir.Write("snap.rec", r.bytes);
    CMessageWindow window(704, 576);
    ASSERT_TRUE(window.Valid());
    SnapshotSeen seen;
    // The path is read in the handler, while the message is dispatched.
    window.SetHandler([&](const Message &m) {
        if (m.nMsg == kMsgSnapshot) {
            seen.path = reinterpret_cast<const char *>(m.wParam);
            seen.lParam = m.lParam;
            seen.count++;
        }
    });
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(source).c_str(), hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(HX_SetMessage(h, HX_MESSAGE_FILE_END, window.Handle(), kMsgFileEnd), HX_OK);
    ASSERT_EQ(HX_SetMessage(h, HX_MESSAGE_SNAPSHOT, window.Handle(), kMsgSnapshot), HX_OK);
    ASSERT_EQ(HX_StopSound(h), HX_OK);
    ASSERT_EQ(HX_Play(h, window.Handle()), HX_OK);
    ASSERT_EQ(HX_SetSpeed(h, 6), HX_OK);
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd));

    // Paused, the picture on screen no longer changes. The core's snapshot
    // of it, taken before and after, must agree with the file (the display
    // may still be presenting what was queued at the pause: the round is
    // repeated then).
    ASSERT_EQ(HX_Pause(h, 0), HX_OK);
    PLAY_SNAPSHOT snap{};
    std::vector<uint8_t> pixels;
    auto coreSnapshot = [&] {
        snap = PLAY_SNAPSHOT{};
        snap.dwSize = PLAY_SNAPSHOT_SIZE;
        if (Play_SnapPicture(h, &snap) != PLAY_OK)
            return false;
        pixels.assign(snap.dwBufferSize, 0);
        snap.pBuffer = pixels.data();
        return Play_SnapPicture(h, &snap) == PLAY_OK;
    };
    const std::string path = AnsiPath(dir.File("shot.bmp"));
    int rounds = 0;
    ASSERT_TRUE(window.LoopUntil([&] {
        if (!coreSnapshot())
            return false;
        const std::vector<uint8_t> before = pixels;
        ++rounds;
        EXPECT_EQ(HX_Snapshot(h, path.c_str()), HX_OK);
        // The name the message points to is good until the next snapshot.
        EXPECT_TRUE(window.WaitFor(kMsgSnapshot, size_t(rounds)));
        return coreSnapshot() && pixels == before;
    }));
    const std::vector<uint8_t> bmp = FixtureReadFile(dir.File("shot.bmp").string());
    ASSERT_EQ(bmp.size(), 1216566u);
    auto u32 = [&](size_t at) {
        return uint32_t(bmp[at]) | uint32_t(bmp[at + 1]) << 8 | uint32_t(bmp[at + 2]) << 16 |
               uint32_t(bmp[at + 3]) << 24;
    };
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(u32(2), 1216566u);
    EXPECT_EQ(u32(6), 0u);
    EXPECT_EQ(u32(10), 54u);
    EXPECT_EQ(std::memcmp(bmp.data() + 14, &snap.bmiHeader, 40), 0);
    EXPECT_EQ(snap.bmiHeader.biWidth, 704);
    EXPECT_EQ(snap.bmiHeader.biHeight, 576);
    EXPECT_EQ(snap.bmiHeader.biBitCount, 24);
    EXPECT_TRUE(std::equal(pixels.begin(), pixels.end(), bmp.begin() + 54));

    EXPECT_EQ(seen.count, rounds);
    EXPECT_EQ(seen.path, path);
    EXPECT_EQ(seen.lParam, LPARAM(h));

    // A second snapshot: its own path in the next message.
    const std::string path2 = AnsiPath(dir.File("shot2.bmp"));
    ASSERT_EQ(HX_Snapshot(h, path2.c_str()), HX_OK);
    ASSERT_TRUE(window.WaitFor(kMsgSnapshot, size_t(rounds) + 1));
    EXPECT_EQ(seen.path, path2);
    EXPECT_EQ(FixtureReadFile(dir.File("shot2.bmp").string()), bmp);

    // A folder that does not exist: nothing is written and nothing posted.
    EXPECT_EQ(HX_Snapshot(h, AnsiPath(dir.File("none") / "x.bmp").c_str()), HX_E_CREATE_FILE);
    EXPECT_FALSE(std::filesystem::exists(dir.File("none")));
    EXPECT_EQ(HX_Snapshot(h, nullptr), HX_E_CREATE_FILE);
    // Without a message window the file is still written.
    ASSERT_EQ(HX_SetMessage(h, HX_MESSAGE_SNAPSHOT, 0, 0), HX_OK);
    ASSERT_EQ(HX_Snapshot(h, AnsiPath(dir.File("quiet.bmp")).c_str()), HX_OK);
    EXPECT_EQ(FixtureReadFile(dir.File("quiet.bmp").string()), bmp);
    window.Pump();
    EXPECT_EQ(seen.count, rounds + 1);
}

TEST(HxSnapshot, NoPictureLeavesAnEmptyFile) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(dir.Write("n.rec", r.bytes)).c_str(), hx.Out()), HX_OK);
    // The file is made first; the snapshot then fails.
    EXPECT_EQ(HX_Snapshot(hx.Get(), AnsiPath(dir.File("empty.bmp")).c_str()), HX_E_FAIL);
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::exists(dir.File("empty.bmp")));
    EXPECT_EQ(std::filesystem::file_size(dir.File("empty.bmp"), ec), 0u);
}

// ---- Callbacks ----

struct DecodedCall {
    HX_HANDLE h;
    const BYTE *pData;
    LONG nSize;
    HX_FRAME_INFO info;
    void *pUser;
    std::string md5;          // of a YV12 picture, planes in ffmpeg's order
    std::vector<int16_t> pcm; // of audio
};

class CDecodeLog {
public:
    void Add(DecodedCall c) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_calls.push_back(std::move(c));
    }
    std::vector<DecodedCall> Get() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_calls.size();
    }

private:
    std::mutex m_lock;
    std::vector<DecodedCall> m_calls;
};

// The data lives only for the call: what is checked later is taken here.
void QV_CALL LogDecoded(HX_HANDLE h, const BYTE *pData, LONG nSize, const HX_FRAME_INFO *pInfo, void *pUser) {
    DecodedCall c{h, pData, nSize, *pInfo, pUser, {}, {}};
    if (pData != nullptr && pInfo->nType == HX_FRAME_TYPE_AUDIO && nSize > 0) {
        c.pcm.resize(size_t(nSize) / 2);
        std::memcpy(c.pcm.data(), pData, c.pcm.size() * 2);
    } else if (pData != nullptr && pInfo->nType == HX_FRAME_TYPE_YV12 &&
               nSize == pInfo->nWidth * pInfo->nHeight * 3 / 2) {
        const size_t luma = size_t(pInfo->nWidth) * size_t(pInfo->nHeight), chroma = luma / 4;
        qvtest::CMd5 md5;
        md5.Update(pData, luma);
        md5.Update(pData + luma + chroma, chroma); // U follows V in YV12
        md5.Update(pData + luma, chroma);
        c.md5 = md5.Finish();
    }
    static_cast<CDecodeLog *>(pUser)->Add(std::move(c));
}

// G.711 A-law to 16-bit linear, the textbook expansion.
int16_t AlawToLinear(uint8_t a) {
    a ^= 0x55;
    int t = (a & 0x0F) << 4;
    const int seg = (a & 0x70) >> 4;
    if (seg == 0)
        t += 8;
    else
        t = (t + 0x108) << (seg - 1);
    return int16_t((a & 0x80) ? t : -t);
}

TEST(HxDecodeCallback, PicturesAndPcmWithTheirDescriptions) {
    CTempDir dir;
    // 10 frames a second: the rate differs from the default. No OSD items,
    // so that the pictures are the decoder's.
    FileRecording r;
    V30Options o;
    o.videoSample = kSmallClip;
    o.wWidth = 352;
    o.wHeight = 288;
    o.dwVideoFrames = 60;
    o.dwFrameInterval = 100;
    o.title.clear();
    o.nClockStyle = -1;
    r.bytes = WriteV30(o, &r.frames);
    const std::vector<std::string> reference = FixtureFrameMd5s(kSmallClip);
    ASSERT_FALSE(reference.empty());
    const std::filesystem::path source = dir.Write("dec.rec", r.bytes);
    CDecodeLog log;
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(source).c_str(), hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(HX_StopSound(h), HX_OK);
    ASSERT_EQ(HX_SetDecodeCallBack(h, LogDecoded, &log), HX_OK);
    // No viewport: the display is switched off.
    EXPECT_EQ(AttrU32(h, PLAY_ATTRIBUTE_ENABLE) & PLAY_ENABLE_DISPLAY, 0u);
    ASSERT_EQ(HX_Play(h, 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(h, 6), HX_OK);
    ASSERT_TRUE(WaitUntil([&] { return Ended(h); }));

    std::vector<DecodedCall> video, audio;
    for (const DecodedCall &c : log.Get())
        (c.info.nType == HX_FRAME_TYPE_AUDIO ? audio : video).push_back(c);
    // Every video frame (the baseline clip keeps no picture back) and every
    // audio frame.
    const std::vector<const FixtureFrame *> want = r.Video();
    ASSERT_EQ(video.size(), want.size());
    EXPECT_EQ(audio.size(), r.Delivered().size() - want.size());
    for (size_t i = 0; i < video.size(); ++i) {
        const DecodedCall &c = video[i];
        EXPECT_EQ(c.h, h);
        EXPECT_EQ(c.pUser, &log);
        EXPECT_NE(c.pData, nullptr);
        EXPECT_EQ(c.nSize, 352 * 288 * 3 / 2) << i;
        EXPECT_EQ(c.info.nType, HX_FRAME_TYPE_YV12) << i;
        EXPECT_EQ(c.info.nWidth, 352) << i;
        EXPECT_EQ(c.info.nHeight, 288) << i;
        EXPECT_EQ(c.info.dwTimeStamp, want[i]->dwTimestamp) << i;
        // The clip repeats from its start.
        EXPECT_EQ(c.md5, reference[i % reference.size()]) << i;
    }
    // A file player knows the rate before it plays.
    for (const DecodedCall &c : video)
        EXPECT_EQ(c.info.nFrameRate, 10);
    std::vector<const FixtureFrame *> alaw;
    for (const FixtureFrame *f : r.Delivered())
        if (f->nType == DEMUX_FRAME_AUDIO)
            alaw.push_back(f);
    ASSERT_EQ(alaw.size(), audio.size());
    for (size_t i = 0; i < audio.size(); ++i) {
        const DecodedCall &c = audio[i];
        EXPECT_EQ(c.h, h);
        EXPECT_NE(c.pData, nullptr);
        EXPECT_EQ(c.nSize, 640); // 40 ms of 16-bit PCM at 8000 Hz
        ASSERT_EQ(c.pcm.size(), alaw[i]->payload.size()) << i;
        for (size_t k = 0; k < c.pcm.size(); ++k)
            ASSERT_EQ(c.pcm[k], AlawToLinear(alaw[i]->payload[k])) << "audio " << i << " sample " << k;
        EXPECT_EQ(c.info.nWidth, 0);
        EXPECT_EQ(c.info.nHeight, 0);
        EXPECT_EQ(c.info.dwTimeStamp, 0u);
        EXPECT_EQ(c.info.nFrameRate, 0);
    }

    // Cleared: played again from the start, nothing more arrives.
    ASSERT_EQ(HX_SetDecodeCallBack(h, nullptr, &log), HX_OK);
    const size_t before = log.Count();
    // Paused first: a player still playing goes on from where it is sent.
    ASSERT_EQ(HX_Pause(h, 0), HX_OK);
    ASSERT_EQ(HX_SetPlayTime(h, 0), HX_OK);
    ASSERT_EQ(AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX), 0u);
    ASSERT_EQ(HX_Play(h, 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(h, 6), HX_OK);
    ASSERT_TRUE(WaitUntil([&] { return AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) == 59; }));
    ASSERT_TRUE(WaitUntil([&] { return Ended(h); }));
    EXPECT_EQ(log.Count(), before);
}

// A stream's rate is measured as it plays, at the first key frame after 4 s
// (frame 50 here): until then the description gives the default.
TEST(HxDecodeCallback, StreamFrameRateIsTheDefaultUntilMeasured) {
    const FileRecording r = MakeFile(Gen::V30, 60, true, kSmallClip, 100);
    const StreamSplit split = SplitOf(r);
    CDecodeLog log;
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), split.dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(SetFlags(h, PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT | PLAY_ENABLE_AUDIO_DECODE),
              PLAY_OK);
    ASSERT_EQ(HX_SetDecodeCallBack(h, LogDecoded, &log), HX_OK);
    ASSERT_EQ(HX_Play(h, 0), HX_OK);
    ASSERT_EQ(HX_SetSpeed(h, 6), HX_OK);
    auto videoCalls = [&] {
        std::vector<DecodedCall> v;
        for (const DecodedCall &c : log.Get())
            if (c.info.nType != HX_FRAME_TYPE_AUDIO)
                v.push_back(c);
        return v;
    };
    // Half the stream at a time: never enough queued for the player to skip
    // ahead. The decoder keeps one picture back.
    const size_t half = size_t(r.Video()[30]->ullOffset);
    Push(h, std::vector<uint8_t>(r.bytes.begin(), r.bytes.begin() + ptrdiff_t(half)), split.dataStart);
    ASSERT_TRUE(WaitUntil([&] { return videoCalls().size() >= 29; }));
    Push(h, r.bytes, half);
    ASSERT_TRUE(WaitUntil([&] { return videoCalls().size() >= 59; }));
    const std::vector<DecodedCall> video = videoCalls();
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].info.dwTimeStamp, r.Video()[i]->dwTimestamp) << i;
        EXPECT_EQ(video[i].info.nFrameRate, i <= 50 ? HX_DEFAULT_FRAME_RATE : 10) << i;
    }
}

// The adapter on records of every kind: the type code follows the picture
// layout, audio has only its type, other frames are not handed on.
TEST(HxDecodeCallback, TypeCodeFollowsThePictureLayout) {
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    CDecodeLog log;
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), SplitOf(r).dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    ASSERT_EQ(HX_SetDecodeCallBack(h, LogDecoded, &log), HX_OK);
    const PLAY_DECODE_CALLBACK adapter = api::hx::DecodeAdapterForTesting();
    std::vector<uint8_t> buffer(96);
    const std::pair<uint32_t, LONG> layouts[] = {
        {PLAY_PIXEL_FORMAT_YV12, 3},       {PLAY_PIXEL_FORMAT_YUY2, 6},   {PLAY_PIXEL_FORMAT_UYVY, 4},
        {PLAY_PIXEL_FORMAT_I420, 5},       {PLAY_PIXEL_FORMAT_NV12, 100}, {PLAY_PIXEL_FORMAT_CODE3, 8},
        {PLAY_PIXEL_FORMAT_NV21, 0},       {PLAY_PIXEL_FORMAT_CODE2, 0},  {0, 0},
        {QV_FOURCC('I', 'Y', 'U', '2'), 0}};
    for (int32_t type = DEMUX_FRAME_I; type <= DEMUX_FRAME_DROPPABLE; ++type) {
        for (const auto &[fourcc, code] : layouts) {
            FrameRecord record{};
            record.dwSize = DEMUX_FRAME_RECORD_SIZE;
            record.nType = type;
            record.dwTimestamp = 4321;
            PLAY_FRAME frame{};
            frame.pFrame = &record;
            frame.output.picture.dwSize = VDEC_PICTURE_SIZE;
            frame.output.picture.dwFourCC = fourcc;
            frame.output.picture.dwWidth = 8;
            frame.output.picture.dwHeight = 8;
            frame.output.picture.pBuffer = buffer.data();
            frame.output.picture.dwBufferSize = uint32_t(buffer.size());
            const size_t before = log.Count();
            adapter(h, &frame, &log);
            ASSERT_EQ(log.Count(), before + 1);
            const DecodedCall c = log.Get().back();
            EXPECT_EQ(c.info.nType, code) << std::hex << fourcc;
            EXPECT_EQ(c.info.nWidth, 8);
            EXPECT_EQ(c.info.nHeight, 8);
            EXPECT_EQ(c.info.dwTimeStamp, 4321u);
            EXPECT_EQ(c.info.nFrameRate, HX_DEFAULT_FRAME_RATE);
            EXPECT_EQ(c.pData, buffer.data());
            EXPECT_EQ(c.nSize, 96);
        }
    }
    // Audio: the PCM and its size; every other field 0.
    FrameRecord record{};
    record.dwSize = DEMUX_FRAME_RECORD_SIZE;
    record.nType = DEMUX_FRAME_AUDIO;
    record.dwTimestamp = 999;
    PLAY_FRAME frame{};
    frame.pFrame = &record;
    frame.output.audio.dwSize = ADEC_OUTPUT_SIZE;
    frame.output.audio.pBuffer = buffer.data();
    frame.output.audio.dwBufferSize = 64;
    adapter(h, &frame, &log);
    DecodedCall c = log.Get().back();
    EXPECT_EQ(c.info.nType, HX_FRAME_TYPE_AUDIO);
    EXPECT_EQ(c.info.nWidth, 0);
    EXPECT_EQ(c.info.nHeight, 0);
    EXPECT_EQ(c.info.dwTimeStamp, 0u);
    EXPECT_EQ(c.info.nFrameRate, 0);
    EXPECT_EQ(c.pData, buffer.data());
    EXPECT_EQ(c.nSize, 64);
    // Unknown kinds are not handed on, nor is anything once the client
    // function is cleared.
    const size_t before = log.Count();
    for (int32_t type : {DEMUX_FRAME_UNKNOWN, 6, -1}) {
        record.nType = type;
        adapter(h, &frame, &log);
    }
    EXPECT_EQ(log.Count(), before);
    ASSERT_EQ(HX_SetDecodeCallBack(h, nullptr, nullptr), HX_OK);
    record.nType = DEMUX_FRAME_AUDIO;
    adapter(h, &frame, &log);
    EXPECT_EQ(log.Count(), before);
}

struct DrawSeen {
    std::atomic<int> count{0};
    std::atomic<int> bad{0};
    HWND hWnd = 0;
    HX_HANDLE h = nullptr;
};

void QV_CALL LogDraw(HX_HANDLE h, HDC hDC, void *pUser) {
    DrawSeen *seen = static_cast<DrawSeen *>(pUser);
    bool ok = h == seen->h && hDC != nullptr;
#ifdef _WIN32
    ok = ok && GetObjectType(hDC) != 0;
#else
    const QV_X11_DC *pDC = static_cast<const QV_X11_DC *>(hDC);
    ok = ok && pDC->dwSize == sizeof(QV_X11_DC) && pDC->window == seen->hWnd && pDC->drawable != 0;
#endif
    if (!ok)
        seen->bad++;
    seen->count++;
}

TEST(HxDrawCallback, CalledWithTheWindowsDeviceContext) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 20, false);
    CMessageWindow window(352, 288);
    ASSERT_TRUE(window.Valid());
    DrawSeen seen; // outlives the player, whose threads call back into it
    CHx hx;
    ASSERT_EQ(HX_OpenFile(AnsiPath(dir.Write("draw.rec", r.bytes)).c_str(), hx.Out()), HX_OK);
    seen.hWnd = window.Handle();
    seen.h = hx.Get();
    ASSERT_EQ(HX_SetDrawCallBack(hx.Get(), LogDraw, &seen), HX_OK);
    ASSERT_EQ(HX_SetMessage(hx.Get(), HX_MESSAGE_FILE_END, window.Handle(), kMsgFileEnd), HX_OK);
    ASSERT_EQ(HX_Play(hx.Get(), window.Handle()), HX_OK);
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd));
    ASSERT_TRUE(window.LoopUntil([&] { return seen.count.load() > 0; }));
    EXPECT_EQ(seen.bad.load(), 0);
    // Cleared: the core registration goes with it.
    ASSERT_EQ(HX_SetDrawCallBack(hx.Get(), nullptr, nullptr), HX_OK);
    void *pExtension = nullptr;
    ASSERT_EQ(Play_GetExtension(hx.Get(), &pExtension), PLAY_OK);
    EXPECT_EQ(static_cast<HX_EXTENSION *>(pExtension)->pfnDraw, nullptr);
}

// ---- Bad arguments and dead handles ----

TEST(HxEdges, MessageKindsAndNullOutPointers) {
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    CHx hx;
    ASSERT_EQ(HX_OpenStream(r.bytes.data(), SplitOf(r).dwHeaderSize, 0, hx.Out()), HX_OK);
    const HX_HANDLE h = hx.Get();
    for (DWORD kind : {DWORD(0), DWORD(4), DWORD(100)})
        EXPECT_EQ(HX_SetMessage(h, kind, 0, 0), HX_E_FAIL) << kind;
    for (DWORD kind : {DWORD(1), DWORD(2), DWORD(3)})
        EXPECT_EQ(HX_SetMessage(h, kind, 0, 0), HX_OK) << kind;
    DWORD d = 0;
    LONG n = 0;
    EXPECT_EQ(HX_GetFileTime(h, nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_GetPlayTime(h, nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_GetSpeed(h, nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_GetPictureSize(h, nullptr, &d), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_GetPictureSize(h, &d, nullptr), HX_E_BAD_ARGUMENT);
    EXPECT_EQ(HX_GetVersion(nullptr), HX_E_BAD_ARGUMENT);
    // Not playing yet: sizes and times are zero, and a stream has no file
    // time.
    DWORD w = 9, hgt = 9;
    EXPECT_EQ(HX_GetPictureSize(h, &w, &hgt), HX_OK);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(hgt, 0u);
    EXPECT_EQ(HX_GetPlayTime(h, &d), HX_OK);
    EXPECT_EQ(d, 0u);
    EXPECT_EQ(HX_GetFileTime(h, &d), HX_E_FAIL);
    EXPECT_EQ(HX_GetSpeed(h, &n), HX_OK);
    EXPECT_EQ(n, 0);
    // Seeking and stepping back are for files.
    EXPECT_EQ(HX_SetPlayTime(h, 0), HX_E_FAIL);
    EXPECT_EQ(HX_OneByOneBack(h), HX_E_FAIL);
}

TEST(HxEdges, ClosedAndInvalidHandles) {
    CTempDir dir;
    const FileRecording r = MakeFile(Gen::V30, 5, false);
    HX_HANDLE closed = nullptr;
    ASSERT_EQ(HX_OpenFile(AnsiPath(dir.Write("c.rec", r.bytes)).c_str(), &closed), HX_OK);
    ASSERT_EQ(HX_CloseFile(closed), HX_OK);
    int local = 0;
    const HX_HANDLE handles[] = {nullptr, closed, reinterpret_cast<HX_HANDLE>(&local)};
    const std::string bmp = AnsiPath(dir.File("x.bmp"));
    const std::string rec = AnsiPath(dir.File("x.rec"));
    for (HX_HANDLE h : handles) {
        DWORD d = 0;
        LONG n = 0;
        const uint8_t data[16] = {};
        EXPECT_EQ(HX_CloseFile(h), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_CloseStream(h), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_GetFileTime(h, &d), HX_E_FAIL);
        EXPECT_EQ(HX_InputData(h, data, sizeof(data)), HX_E_FAIL);
        EXPECT_EQ(HX_PlaySound(h), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_StopSound(h), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_SetVolume(h, 100), HX_E_FAIL);
        EXPECT_EQ(HX_Play(h, 0), HX_E_FAIL);
        EXPECT_EQ(HX_Stop(h), HX_E_FAIL);
        EXPECT_EQ(HX_Pause(h, 0), HX_E_FAIL);
        EXPECT_EQ(HX_SetPlayTime(h, 0), HX_E_FAIL);
        EXPECT_EQ(HX_GetPlayTime(h, &d), HX_E_FAIL);
        EXPECT_EQ(HX_SetSpeed(h, 0), HX_E_FAIL);
        EXPECT_EQ(HX_GetSpeed(h, &n), HX_E_FAIL);
        EXPECT_EQ(HX_OneByOne(h), HX_E_FAIL);
        EXPECT_EQ(HX_OneByOneBack(h), HX_E_FAIL);
        EXPECT_EQ(HX_StartRecord(h, rec.c_str()), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_StopRecord(h), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_Snapshot(h, bmp.c_str()), HX_E_FAIL);
        EXPECT_EQ(HX_GetPictureSize(h, &d, &d), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_SetMessage(h, HX_MESSAGE_FILE_END, 0, 0), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_SetDecodeCallBack(h, LogDecoded, nullptr), HX_E_BAD_ARGUMENT);
        EXPECT_EQ(HX_SetDrawCallBack(h, LogDraw, nullptr), HX_E_BAD_ARGUMENT);
    }
}

} // namespace
