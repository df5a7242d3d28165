// The port-numbered family's edges: port numbers in and out of range,
// automatic ports, ports opened twice or not at all, null pointers, the
// speed steps, the options written into the player's flags, the file head,
// the message and callback registrations, and the functions kept only for
// older clients.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/baseplaymode.h"
#include "core/filemode.h"
#include "display/windowsystem.h"
#include "playport_util.h"
#include "windowloop.h"

using namespace porttest;

namespace {

PLAY_CALLBACK_FUNCTION Registered(LONG nPort, uint32_t dwKind) {
    return reinterpret_cast<CBasePlayMode *>(HandleOf(nPort))->RegisteredCallback(dwKind).pfnCallback;
}

CFileMode *FileModeOf(LONG nPort) {
    return static_cast<CFileMode *>(reinterpret_cast<CBasePlayMode *>(HandleOf(nPort)));
}

// A number that names no window.
HWND NotAWindow() {
    return reinterpret_cast<HWND>(uintptr_t(0x7FFFFF0));
}

PLAY_CALLBACK_PARAM RegisteredParam(LONG nPort, uint32_t dwKind) {
    return reinterpret_cast<CBasePlayMode *>(HandleOf(nPort))->RegisteredCallback(dwKind);
}

// A file recording opened at a port for the tests that need one.
class PortFixture : public ::testing::Test {
protected:
    void OpenAt(LONG nPort, Gen gen = Gen::V30, uint32_t frames = 50) {
        rec = MakeFile(gen, frames, true);
        path = WriteRecording(dir, rec, "port.rec");
        ASSERT_EQ(OpenW(nPort, path), 1);
        port.Set(nPort);
    }
    CTempDir dir;
    FileRecording rec;
    std::filesystem::path path;
    CPort port;
};

// ---- Port numbers ----

TEST_F(PortFixture, PortsZeroToMaxOpenOthersDoNot) {
    rec = MakeFile(Gen::V30, 25, false);
    path = WriteRecording(dir, rec, "range.rec");
    const uint32_t live = api::CPortTable::LiveEntryCount();
    struct Case {
        LONG nPort;
        BOOL expected;
    };
    for (const Case &c : {Case{-1, 0}, Case{65536, 0}, Case{-32768, 0}, Case{0x7FFFFFFF, 0}, Case{0, 1},
                          Case{65535, 1}, Case{300, 1}}) {
        SCOPED_TRACE("port " + std::to_string(c.nPort));
        EXPECT_EQ(OpenW(c.nPort, path), c.expected);
        EXPECT_EQ(PortOpen(c.nPort), c.expected != 0);
        if (c.expected) {
            EXPECT_EQ(QV_PLAY_CloseFile(c.nPort), 1);
            EXPECT_FALSE(PortOpen(c.nPort));
        }
    }
    // Every entry made was destroyed with its port.
    EXPECT_EQ(api::CPortTable::LiveEntryCount(), live);
}

TEST_F(PortFixture, OpeningAnOpenPortFailsAndLeavesItAlone) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(9, Gen::V30));
    const PLAY_HANDLE h = HandleOf(port);
    const FileRecording other = MakeFile(Gen::V20, 25, false);
    const std::filesystem::path otherPath = WriteRecording(dir, other, "other.rec");
    EXPECT_EQ(OpenW(port, otherPath), 0);
    EXPECT_EQ(QV_PLAY_OpenFileA(port, otherPath.string().c_str()), 0);
    EXPECT_EQ(QV_PLAY_OpenStream(port, other.bytes.data(), 256, 0), 0);
    // Still the same player on the same recording.
    EXPECT_EQ(HandleOf(port), h);
    EXPECT_EQ(Attr<uint64_t>(port, PLAY_ATTRIBUTE_FILE_SIZE), uint64_t(rec.bytes.size()));
    EXPECT_EQ(Attr<StreamInfo>(port, PLAY_ATTRIBUTE_DEMUX_PROPERTY).dwGeneration,
              uint32_t(DEMUX_GENERATION_V30));
    EXPECT_EQ(QV_PLAY_Pause(port), 1);
}

TEST_F(PortFixture, AFailedOpenLeavesThePortFree) {
    rec = MakeFile(Gen::V30, 25, false);
    path = WriteRecording(dir, rec, "good.rec");
    const std::vector<uint8_t> junk(4096, 0x11);
    const std::filesystem::path junkPath = dir.Write("junk.rec", junk);
    const uint32_t live = api::CPortTable::LiveEntryCount();
    const std::vector<uint8_t> tiny(10, 0);
    const std::function<BOOL()> failures[] = {
        [&] { return OpenW(20, dir.File("missing.rec")); },
        [&] { return OpenW(20, junkPath); },
        [&] { return QV_PLAY_OpenFileW(20, nullptr); },
        [&] { return QV_PLAY_OpenFileA(20, nullptr); },
        [&] { return QV_PLAY_OpenFile(20, ""); },
        [&] { return QV_PLAY_OpenStream(20, tiny.data(), DWORD(tiny.size()), 0); },
        [&] { return QV_PLAY_OpenStream(20, nullptr, 256, 0); },
        [&] { return QV_PLAY_OpenStream(20, junk.data(), 256, 0); },
    };
    for (size_t i = 0; i < std::size(failures); ++i) {
        SCOPED_TRACE("failure " + std::to_string(i));
        EXPECT_EQ(failures[i](), 0);
        EXPECT_FALSE(PortOpen(20));
        EXPECT_EQ(api::CPortTable::LiveEntryCount(), live);
    }
    const size_t ex[] = {0, 1};
    for (size_t i : ex) {
        SCOPED_TRACE("Ex failure " + std::to_string(i));
        const std::vector<QV_WCHAR> wide = WidePath(i == 0 ? dir.File("missing.rec") : junkPath);
        EXPECT_EQ(QV_PLAY_OpenFileExW(wide.data()), 0);
        EXPECT_FALSE(PortOpen(QV_PLAY_FIRST_AUTO_PORT));
        EXPECT_EQ(api::CPortTable::LiveEntryCount(), live);
    }
    EXPECT_EQ(QV_PLAY_OpenStreamEx(tiny.data(), DWORD(tiny.size()), 0), 0);
    // The port is free for the next open.
    ASSERT_EQ(OpenW(20, path), 1);
    port.Set(20);
    EXPECT_EQ(api::CPortTable::LiveEntryCount(), live + 1);
}

TEST_F(PortFixture, AutomaticPortsAreTheLowestFreeFromTheFirst) {
    for (LONG p = QV_PLAY_FIRST_AUTO_PORT; p < QV_PLAY_FIRST_AUTO_PORT + 4; ++p)
        ASSERT_FALSE(PortOpen(p)) << "port " << p << " left open by another test";
    rec = MakeFile(Gen::V30, 25, false);
    path = WriteRecording(dir, rec, "auto.rec");
    const std::vector<QV_WCHAR> wide = WidePath(path);
    CPort first(QV_PLAY_OpenFileExW(wide.data()));
    CPort second(QV_PLAY_OpenFileExW(wide.data()));
    EXPECT_EQ(first.Get(), QV_PLAY_FIRST_AUTO_PORT);
    EXPECT_EQ(second.Get(), QV_PLAY_FIRST_AUTO_PORT + 1);
    CPort stream(QV_PLAY_OpenStreamEx(rec.bytes.data(), 256, 0));
    EXPECT_EQ(stream.Get(), QV_PLAY_FIRST_AUTO_PORT + 2);
    // A port opened by number is skipped; a closed one is taken again.
    CPort chosen(QV_PLAY_OpenStream(QV_PLAY_FIRST_AUTO_PORT + 3, rec.bytes.data(), 256, 0)
                     ? QV_PLAY_FIRST_AUTO_PORT + 3
                     : -1);
    ASSERT_EQ(chosen.Get(), QV_PLAY_FIRST_AUTO_PORT + 3);
    CPort fifth(QV_PLAY_OpenFileExW(wide.data()));
    EXPECT_EQ(fifth.Get(), QV_PLAY_FIRST_AUTO_PORT + 4);
    ASSERT_EQ(QV_PLAY_CloseStream(QV_PLAY_FIRST_AUTO_PORT + 1), 1);
    second.Set(-1);
    CPort again(QV_PLAY_OpenStreamEx(rec.bytes.data(), 256, 0));
    EXPECT_EQ(again.Get(), QV_PLAY_FIRST_AUTO_PORT + 1);
    // An automatic port is an ordinary one.
    EXPECT_EQ(QV_PLAY_EnableIndexThread(first), 1);
    EXPECT_EQ(QV_PLAY_EnableIndexThread(again), 0); // a stream has no index
}

// ---- Ports that are not open ----

struct Call {
    const char *name;
    std::function<double(LONG)> call;
    double failure; // what an unknown port gives
};

std::vector<Call> EveryCall() {
    static BYTE buffer[64];
    static DWORD dw;
    static LONG a, b, c, d;
    static DECODE_OUTPUT out;
    static RECT rect;
    static const QV_WCHAR kName[] = {'x', '.', 'b', 'm', 'p', 0};
    return {
        {"CloseFile", [](LONG p) { return QV_PLAY_CloseFile(p); }, 0},
        {"CloseStream", [](LONG p) { return QV_PLAY_CloseStream(p); }, 0},
        {"Play", [](LONG p) { return QV_PLAY_Play(p, 0); }, 0},
        {"Pause", [](LONG p) { return QV_PLAY_Pause(p); }, 0},
        {"Stop", [](LONG p) { return QV_PLAY_Stop(p); }, 0},
        {"ResetSourceBuffer", [](LONG p) { return QV_PLAY_ResetSourceBuffer(p); }, 0},
        {"PlayBack", [](LONG p) { return QV_PLAY_PlayBack(p); }, 0},
        {"Fast", [](LONG p) { return QV_PLAY_Fast(p); }, 0},
        {"Slow", [](LONG p) { return QV_PLAY_Slow(p); }, 0},
        {"SetPlaySpeed", [](LONG p) { return QV_PLAY_SetPlaySpeed(p, 2, 0); }, 0},
        {"OneByOne", [](LONG p) { return QV_PLAY_OneByOne(p); }, 0},
        {"PlayBySingleFrame", [](LONG p) { return QV_PLAY_PlayBySingleFrame(p); }, 0},
        {"OneByOneBack", [](LONG p) { return QV_PLAY_OneByOneBack(p); }, 0},
        {"PlayBySingleFrameBack", [](LONG p) { return QV_PLAY_PlayBySingleFrameBack(p); }, 0},
        {"InputData", [](LONG p) { return QV_PLAY_InputData(p, buffer, 64, 0); }, 0},
        {"InputVideoData", [](LONG p) { return QV_PLAY_InputVideoData(p, buffer, 64); }, 0},
        {"InputAudioData", [](LONG p) { return QV_PLAY_InputAudioData(p, buffer, 64); }, 0},
        {"GetFileTimeMilliSec", [](LONG p) { return QV_PLAY_GetFileTimeMilliSec(p); }, 0},
        {"GetFileTime", [](LONG p) { return QV_PLAY_GetFileTime(p); }, 0},
        {"GetFileTotalFrames", [](LONG p) { return QV_PLAY_GetFileTotalFrames(p); }, 0},
        {"GetFileFrames", [](LONG p) { return QV_PLAY_GetFileFrames(p); }, 0},
        {"GetPlayedFrames", [](LONG p) { return QV_PLAY_GetPlayedFrames(p); }, 0},
        {"GetPlayedFrameNum", [](LONG p) { return QV_PLAY_GetPlayedFrameNum(p); }, 0},
        {"GetCurrentFrameNum", [](LONG p) { return QV_PLAY_GetCurrentFrameNum(p); }, 0},
        {"GetCurrFrameNum", [](LONG p) { return QV_PLAY_GetCurrFrameNum(p); }, 0},
        {"SetCurrentFrameNum", [](LONG p) { return QV_PLAY_SetCurrentFrameNum(p, 1); }, 0},
        {"GetCurrentFrameTime", [](LONG p) { return QV_PLAY_GetCurrentFrameTime(p); }, 0},
        {"GetPlayedTimeEx", [](LONG p) { return QV_PLAY_GetPlayedTimeEx(p); }, 0},
        {"GetPlayTime", [](LONG p) { return QV_PLAY_GetPlayTime(p); }, 0},
        {"SetPlayedTime", [](LONG p) { return QV_PLAY_SetPlayedTime(p, 0); }, 0},
        {"SetPlayedTimeEx", [](LONG p) { return QV_PLAY_SetPlayedTimeEx(p, 0); }, 0},
        {"SetPlayTime", [](LONG p) { return QV_PLAY_SetPlayTime(p, 0); }, 0},
        {"GetPlayPos", [](LONG p) { return QV_PLAY_GetPlayPos(p); }, 0},
        {"SetPlayPos", [](LONG p) { return QV_PLAY_SetPlayPos(p, 0.5f); }, 0},
        {"GetCurrentFrameRate", [](LONG p) { return QV_PLAY_GetCurrentFrameRate(p); }, 0},
        {"GetCurrFrameRate", [](LONG p) { return QV_PLAY_GetCurrFrameRate(p); }, 0},
        {"GetAverageBPS", [](LONG p) { return QV_PLAY_GetAverageBPS(p); }, 0},
        {"GetDynamicBPS", [](LONG p) { return QV_PLAY_GetDynamicBPS(p); }, 0},
        {"GetPictureSize", [](LONG p) { return QV_PLAY_GetPictureSize(p, &a, &b); }, 0},
        {"OpenSound", [](LONG p) { return QV_PLAY_OpenSound(p); }, 0},
        {"PlaySound", [](LONG p) { return QV_PLAY_PlaySound(p); }, 0},
        {"CloseSound", [](LONG p) { return QV_PLAY_CloseSound(p); }, 0},
        {"GetVolume", [](LONG p) { return QV_PLAY_GetVolume(p); }, 0},
        {"SetVolume", [](LONG p) { return QV_PLAY_SetVolume(p, 100); }, 0},
        {"SetVideoColor", [](LONG p) { return QV_PLAY_SetVideoColor(p, 64, 64, 64, 64, 0); }, 0},
        {"GetVideoColor", [](LONG p) { return QV_PLAY_GetVideoColor(p, &a, &b, &c, &d, 0); }, 0},
        {"SetDisplayRegion", [](LONG p) { return QV_PLAY_SetDisplayRegion(p, 1, &rect, 0, 0); }, 0},
        {"SetParseOnly", [](LONG p) { return QV_PLAY_SetParseOnly(p, 1); }, 0},
        {"SetPlayOption", [](LONG p) { return QV_PLAY_SetPlayOption(p, 1, 1); }, 0},
        {"SetDecodeMode", [](LONG p) { return QV_PLAY_SetDecodeMode(p, 1); }, 0},
        {"GetDecodeMode", [](LONG p) { return QV_PLAY_GetDecodeMode(p); }, 1},
        {"GetCPULimitEx", [](LONG p) { return QV_PLAY_GetCPULimitEx(p, &dw); }, 0},
        {"SetCPULimitEx", [](LONG p) { return QV_PLAY_SetCPULimitEx(p, 80); }, 0},
        {"SnapshotW", [](LONG p) { return QV_PLAY_SnapshotW(p, kName); }, 0},
        {"SnapshotA", [](LONG p) { return QV_PLAY_SnapshotA(p, "x.bmp"); }, 0},
        {"SnapShot", [](LONG p) { return QV_PLAY_SnapShot(p, "x.bmp"); }, 0},
        {"GetFileHead",
         [](LONG p) {
             dw = 64;
             return QV_PLAY_GetFileHead(p, buffer, &dw);
         },
         0},
        {"DecodeOneFrame",
         [](LONG p) {
             out = DECODE_OUTPUT{};
             return QV_PLAY_DecodeOneFrame(p, nullptr, 0, QV_PLAY_TYPE_I420, &out, &dw);
         },
         0},
        {"SetFileEndMsg", [](LONG p) { return QV_PLAY_SetFileEndMsg(p, 0, 2000); }, 0},
        {"SetMsgWnd", [](LONG p) { return QV_PLAY_SetMsgWnd(p, 0); }, 0},
        {"SetIndexInfoCallBack", [](LONG p) { return QV_PLAY_SetIndexInfoCallBack(p, nullptr, nullptr); }, 0},
        {"RegisterDrawDCFun", [](LONG p) { return QV_PLAY_RegisterDrawDCFun(p, nullptr, nullptr); }, 0},
        {"SetDecCallBackEx", [](LONG p) { return QV_PLAY_SetDecCallBackEx(p, nullptr, nullptr, nullptr, 0); },
         0},
        {"SetDecCallBack", [](LONG p) { return QV_PLAY_SetDecCallBack(p, nullptr, 0); }, 0},
        {"SetParseCallBackEx", [](LONG p) { return QV_PLAY_SetParseCallBackEx(p, nullptr, nullptr); }, 0},
        {"SetSourceBufferCB",
         [](LONG p) { return QV_PLAY_SetSourceBufferCB(p, 10, nullptr, nullptr, nullptr); }, 0},
        {"EnableIndexThread", [](LONG p) { return QV_PLAY_EnableIndexThread(p); }, 0},
        // Answers that do not depend on the port at all.
        {"SetStreamOpenMode", [](LONG p) { return QV_PLAY_SetStreamOpenMode(p, 2); }, 1},
        {"GetStreamOpenMode", [](LONG p) { return QV_PLAY_GetStreamOpenMode(p); }, -1},
        {"GetLastError", [](LONG p) { return QV_PLAY_GetLastError(p); }, 0},
    };
}

TEST(PortUnknown, EveryFunctionFailsOnAPortNotOpen) {
    CTempDir dir;
    const FileRecording rec = MakeFile(Gen::V30, 25, false);
    const std::filesystem::path path = WriteRecording(dir, rec, "closed.rec");
    // 5 was open once and is closed again.
    ASSERT_EQ(OpenW(5, path), 1);
    ASSERT_EQ(QV_PLAY_CloseFile(5), 1);
    for (LONG nPort : {-1, 65536, 5, 40000}) {
        ASSERT_FALSE(PortOpen(nPort));
        for (const Call &c : EveryCall()) {
            SCOPED_TRACE(std::string(c.name) + " on port " + std::to_string(nPort));
            EXPECT_EQ(c.call(nPort), c.failure);
        }
    }
}

// ---- The compatibility functions ----

TEST_F(PortFixture, CompatibilityFunctionsDoNothingAndAnswerFixedValues) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(3));
    BYTE data[16] = {1, 2, 3};
    BOOL quality = 7;
    DWORD dw = 9;
    BYTE buffer[32] = {};
    DWORD size = sizeof(buffer);
    const uint32_t flags = Flags(port);
    const float speed = Speed(port);
    struct Fixed {
        const char *name;
        std::function<double()> call;
        double expected;
    };
    const Fixed table[] = {
        {"ConvertToBMPFile", [&] { return QV_PLAY_ConvertToBMPFile(data, 16, 4, 2, 1, "c.bmp"); }, 0},
        {"ConvertToBMPFileEx", [&] { return QV_PLAY_ConvertToBMPFileEx(port, data, 16, 4, 2, 1, "c.bmp"); },
         0},
        {"SetParseCallBack", [&] { return QV_PLAY_SetParseCallBack(port, nullptr); }, 0},
        {"GetPicQuality", [&] { return QV_PLAY_GetPicQuality(port, &quality); }, 0},
        {"SetPicQuality", [&] { return QV_PLAY_SetPicQuality(port, 1); }, 0},
        {"SetSnapShotCallBack", [&] { return QV_PLAY_SetSnapShotCallBack(port, nullptr, nullptr); }, 0},
        {"GetIndexInfo", [&] { return QV_PLAY_GetIndexInfo(port, buffer, &size); }, 0},
        {"SetOverlayMode", [&] { return QV_PLAY_SetOverlayMode(port, 1, 0xFF00FF); }, 0},
        {"GetCPULimit", [&] { return QV_PLAY_GetCPULimit(port, &dw); }, 0},
        {"SetCPULimit", [&] { return QV_PLAY_SetCPULimit(port, 60); }, 0},
        {"GetColorKey", [&] { return QV_PLAY_GetColorKey(port); }, 0},
        {"GetLastError", [&] { return QV_PLAY_GetLastError(port); }, 0},
        {"GetSourceBufferRemain", [&] { return QV_PLAY_GetSourceBufferRemain(port); }, 0},
        {"RefreshPlay", [&] { return QV_PLAY_RefreshPlay(port); }, 0},
        {"SetStreamOpenMode", [&] { return QV_PLAY_SetStreamOpenMode(port, 1); }, 1},
        {"GetStreamOpenMode", [&] { return QV_PLAY_GetStreamOpenMode(port); }, -1},
        {"EnableIndexThread", [&] { return QV_PLAY_EnableIndexThread(port); }, 1},
    };
    for (const Fixed &f : table) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.call(), f.expected);
    }
    // Nothing was written through the pointers, nothing changed in the player.
    EXPECT_EQ(quality, 7);
    EXPECT_EQ(dw, 9u);
    EXPECT_EQ(size, sizeof(buffer));
    EXPECT_EQ(Flags(port), flags);
    EXPECT_EQ(Speed(port), speed);
    EXPECT_EQ(Attr<int32_t>(port, PLAY_ATTRIBUTE_CPU_LIMIT), PLAY_CPU_LIMIT_DEFAULT);
    EXPECT_EQ(Registered(port, PLAY_CALLBACK_STREAM_PARSE), nullptr);
    EXPECT_FALSE(std::filesystem::exists("c.bmp"));
    // A failed call leaves no error behind either.
    EXPECT_EQ(QV_PLAY_SetCurrentFrameNum(port, 100000), 0);
    EXPECT_EQ(QV_PLAY_GetLastError(port), 0u);
}

// ---- Speeds ----

TEST_F(PortFixture, SpeedStepsAndTheSpeedTable) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(4));
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 1, 0), 1);
    for (float expected : {2.0f, 4.0f, 8.0f, 16.0f, 16.0f}) {
        ASSERT_EQ(QV_PLAY_Fast(port), 1);
        EXPECT_EQ(Speed(port), expected);
    }
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 1, 0), 1);
    for (float expected : {0.5f, 0.25f, 0.125f, 0.0625f, 0.0625f}) {
        ASSERT_EQ(QV_PLAY_Slow(port), 1);
        EXPECT_EQ(Speed(port), expected);
    }
    // From a speed set elsewhere the steps stop at the same limits.
    const float rawSpeed = 40.0f;
    ASSERT_EQ(Play_SetControl(HandleOf(port), PLAY_CONTROL_SPEED, &rawSpeed, sizeof(rawSpeed)), PLAY_OK);
    ASSERT_EQ(QV_PLAY_Fast(port), 1);
    EXPECT_EQ(Speed(port), 16.0f);
    struct Case {
        LONG n;
        BOOL slower;
        float speed;
    };
    for (const Case &c : {Case{0, 1, 1.0f}, Case{4, 1, 0.25f}, Case{40, 0, 16.0f}, Case{3, 0, 3.0f},
                          Case{16, 1, 0.0625f}, Case{-7, 0, 1.0f}, Case{100, 1, 0.0625f}, Case{1, 1, 1.0f}}) {
        SCOPED_TRACE("n " + std::to_string(c.n) + " slower " + std::to_string(c.slower));
        ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, c.n, c.slower), 1);
        EXPECT_EQ(Speed(port), c.speed);
    }
    // Play starts at speed 1.
    ASSERT_EQ(QV_PLAY_Play(port, 0), 1);
    EXPECT_EQ(Speed(port), 1.0f);
}

// ---- Options written into the flags ----

TEST_F(PortFixture, OptionsSetAndClearTheirFlags) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(6));
    struct Case {
        const char *name;
        std::function<BOOL()> call;
        uint32_t set;   // bits that must be set afterwards
        uint32_t clear; // bits that must be clear afterwards
    };
    const Case cases[] = {
        {"SetParseOnly 1", [&] { return QV_PLAY_SetParseOnly(port, 1); }, 0,
         PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE},
        {"SetParseOnly 0", [&] { return QV_PLAY_SetParseOnly(port, 0); },
         PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE, 0},
        {"SetPlayOption 0 0", [&] { return QV_PLAY_SetPlayOption(port, 0, 0); }, 0,
         PLAY_ENABLE_DISPLAY | PLAY_ENABLE_SOUND},
        {"SetPlayOption 1 0", [&] { return QV_PLAY_SetPlayOption(port, 1, 0); }, PLAY_ENABLE_DISPLAY,
         PLAY_ENABLE_SOUND},
        {"SetPlayOption 0 1", [&] { return QV_PLAY_SetPlayOption(port, 0, 7); }, PLAY_ENABLE_SOUND,
         PLAY_ENABLE_DISPLAY},
        {"SetPlayOption 1 1", [&] { return QV_PLAY_SetPlayOption(port, 1, 1); },
         PLAY_ENABLE_DISPLAY | PLAY_ENABLE_SOUND, 0},
        {"SetDecodeMode 2", [&] { return QV_PLAY_SetDecodeMode(port, 2); }, PLAY_ENABLE_HARDWARE_DECODE, 0},
        {"SetDecodeMode 1", [&] { return QV_PLAY_SetDecodeMode(port, 1); }, 0, PLAY_ENABLE_HARDWARE_DECODE},
        {"SetDecodeMode 3", [&] { return QV_PLAY_SetDecodeMode(port, 3); }, PLAY_ENABLE_HARDWARE_DECODE, 0},
        {"CloseSound", [&] { return QV_PLAY_CloseSound(port); }, 0,
         PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND},
        {"OpenSound", [&] { return QV_PLAY_OpenSound(port); }, PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND,
         0},
        {"CloseSound again", [&] { return QV_PLAY_CloseSound(port); }, 0,
         PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND},
        {"PlaySound", [&] { return QV_PLAY_PlaySound(port); }, PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND,
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t before = Flags(port);
        ASSERT_EQ(c.call(), 1);
        const uint32_t after = Flags(port);
        EXPECT_EQ(after & c.set, c.set);
        EXPECT_EQ(after & c.clear, 0u);
        // Bits the call does not name are kept (those the player derives
        // from others aside).
        const uint32_t others = ~(c.set | c.clear | PLAY_ENABLE_DIRECT3D9 | PLAY_ENABLE_DIRECTDRAW7 |
                                  PLAY_ENABLE_D3D9_IMMEDIATE | PLAY_ENABLE_SOUND_SYNC | PLAY_ENABLE_SOUND |
                                  PLAY_ENABLE_MULTITHREAD_DECODE | PLAY_ENABLE_HARDWARE_DECODE |
                                  PLAY_ENABLE_NO_CPU_LIMIT | PLAY_ENABLE_RESET_ON_GAP | PLAY_ENABLE_DISPLAY);
        EXPECT_EQ(after & others, before & others);
    }
    // An unknown decode mode changes nothing.
    const uint32_t flags = Flags(port);
    for (LONG mode : {0, 4, -1}) {
        EXPECT_EQ(QV_PLAY_SetDecodeMode(port, mode), 0);
        EXPECT_EQ(Flags(port), flags);
    }
    // Without the hardware decoder the mode reads as software.
    EXPECT_EQ(QV_PLAY_GetDecodeMode(port), QV_PLAY_DECODE_MODE_SOFTWARE);
}

TEST_F(PortFixture, VolumeColourAndProcessorLimit) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(8));
    ASSERT_EQ(QV_PLAY_SetVolume(port, 1234), 1);
    EXPECT_EQ(QV_PLAY_GetVolume(port), 1234);
    // Sound opened at volume 0 is turned up to full; a volume set is kept.
    ASSERT_EQ(QV_PLAY_OpenSound(port), 1);
    EXPECT_EQ(QV_PLAY_GetVolume(port), 1234);
    ASSERT_EQ(QV_PLAY_SetVolume(port, 0), 1);
    ASSERT_EQ(QV_PLAY_OpenSound(port), 1);
    EXPECT_EQ(QV_PLAY_GetVolume(port), 65535);

    ASSERT_EQ(QV_PLAY_SetVideoColor(port, 10, 20, 30, 40, 0), 1);
    LONG b = -1, c = -1, s = -1, h = -1;
    ASSERT_EQ(QV_PLAY_GetVideoColor(port, &b, &c, &s, &h, 0), 1);
    EXPECT_EQ(b, 10);
    EXPECT_EQ(c, 20);
    EXPECT_EQ(s, 30);
    EXPECT_EQ(h, 40);
    const PLAY_COLOR color = Attr<PLAY_COLOR>(port, PLAY_ATTRIBUTE_COLOR);
    EXPECT_EQ(color.dwBrightness, 10u);
    EXPECT_EQ(color.dwHue, 40u);

    ASSERT_EQ(QV_PLAY_SetCPULimitEx(port, 70), 1);
    DWORD limit = 0;
    ASSERT_EQ(QV_PLAY_GetCPULimitEx(port, &limit), 1);
    EXPECT_EQ(limit, 70u);
}

TEST_F(PortFixture, NullPointersAreRefused) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(12));
    ASSERT_TRUE(WaitUntil([&] { return IndexDone(port); }));
    LONG w = -5, h = -5;
    EXPECT_EQ(QV_PLAY_GetPictureSize(port, nullptr, &h), 0);
    EXPECT_EQ(QV_PLAY_GetPictureSize(port, &w, nullptr), 0);
    EXPECT_EQ(w, -5);
    EXPECT_EQ(h, -5);
    LONG v[4] = {-5, -5, -5, -5};
    for (int i = 0; i < 4; ++i) {
        LONG *p[4] = {&v[0], &v[1], &v[2], &v[3]};
        p[i] = nullptr;
        EXPECT_EQ(QV_PLAY_GetVideoColor(port, p[0], p[1], p[2], p[3], 0), 0) << "pointer " << i;
    }
    EXPECT_EQ(v[0], -5);
    EXPECT_EQ(QV_PLAY_GetCPULimitEx(port, nullptr), 0);
    BYTE head[64];
    EXPECT_EQ(QV_PLAY_GetFileHead(port, head, nullptr), 0);
    DECODE_OUTPUT out{};
    DWORD remaining = 77;
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_I420, nullptr, &remaining), 0);
    EXPECT_EQ(QV_PLAY_DecodeOneFrame(port, nullptr, 0, QV_PLAY_TYPE_I420, &out, nullptr), 0);
    EXPECT_EQ(remaining, 77u);
    // None of them switched the player to pulled decoding.
    EXPECT_EQ(Flags(port) & PLAY_ENABLE_DECODE_ON_DEMAND, 0u);
    // With both pointers the answers come.
    ASSERT_EQ(QV_PLAY_GetPictureSize(port, &w, &h), 1);
}

// ---- File head ----

struct HeadCase {
    Gen gen;
    const char *name; // what the head begins with; null: none
};

class PortFileHead : public ::testing::TestWithParam<HeadCase> {};

TEST_P(PortFileHead, TheContainersHeadOrNone) {
    const HeadCase c = GetParam();
    CTempDir dir;
    const FileRecording rec = MakeFile(c.gen, 25, true);
    CPort port(13);
    ASSERT_EQ(OpenW(port, WriteRecording(dir, rec, "head.rec")), 1);
    const StreamInfo info = Attr<StreamInfo>(port, PLAY_ATTRIBUTE_DEMUX_PROPERTY);
    BYTE head[100];
    std::memset(head, 0xCC, sizeof(head));
    DWORD size = 10;
    ASSERT_EQ(QV_PLAY_GetFileHead(port, head, &size), 1);
    if (c.name == nullptr) {
        EXPECT_EQ(size, 0u);
        size = sizeof(head);
        ASSERT_EQ(QV_PLAY_GetFileHead(port, head, &size), 1);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(head[0], 0xCC);
        return;
    }
    // Too small: the size needed, nothing copied.
    EXPECT_EQ(size, 64u);
    EXPECT_EQ(head[0], 0xCC);
    size = 63;
    ASSERT_EQ(QV_PLAY_GetFileHead(port, head, &size), 1);
    EXPECT_EQ(size, 64u);
    // No buffer to copy into.
    size = 64;
    EXPECT_EQ(QV_PLAY_GetFileHead(port, nullptr, &size), 0);
    // Large enough: exactly 64 bytes, the size left as given.
    size = sizeof(head);
    ASSERT_EQ(QV_PLAY_GetFileHead(port, head, &size), 1);
    EXPECT_EQ(size, DWORD(sizeof(head)));
    EXPECT_EQ(std::memcmp(head, c.name, std::strlen(c.name)), 0);
    EXPECT_EQ(std::memcmp(head, info.szName, 64), 0);
    EXPECT_EQ(head[64], 0xCC);
    if (c.gen == Gen::G15) {
        // The 15 generation's head is the file's own 64-byte header.
        const auto at = std::search(rec.bytes.begin(), rec.bytes.end(), c.name, c.name + std::strlen(c.name));
        ASSERT_NE(at, rec.bytes.end());
        EXPECT_EQ(std::memcmp(head, &*at, 64), 0);
    } else {
        // A name, zero-filled to 64 bytes.
        const size_t n = std::strlen(reinterpret_cast<const char *>(head));
        EXPECT_LT(n, 64u);
        for (size_t i = n; i < 64; ++i)
            EXPECT_EQ(head[i], 0) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Generations, PortFileHead,
                         ::testing::Values(HeadCase{Gen::V30, "ZEMASTREAMV30"},
                                           HeadCase{Gen::V20, "ZEMA5RM "}, HeadCase{Gen::G15, "TAVRO"},
                                           HeadCase{Gen::V10, "ZEMA"}, HeadCase{Gen::G6000, nullptr}),
                         [](const ::testing::TestParamInfo<HeadCase> &i) {
                             return std::string("G") + GenName(i.param.gen);
                         });

// ---- Display regions ----

TEST_F(PortFixture, DisplayRegionsAreViewports) {
    CMessageWindow window;
    ASSERT_TRUE(window.Valid());
    ASSERT_NO_FATAL_FAILURE(OpenAt(14));
    const RECT src{16, 8, 176, 136};
    EXPECT_EQ(QV_PLAY_SetDisplayRegion(port, 4, &src, window.Handle(), 1), 0);
    EXPECT_EQ(QV_PLAY_SetDisplayRegion(port, 0xFFFFFFFFu, nullptr, window.Handle(), 1), 0);
    // Not a window.
    EXPECT_EQ(QV_PLAY_SetDisplayRegion(port, 1, &src, NotAWindow(), 1), 0);
    ASSERT_EQ(QV_PLAY_SetDisplayRegion(port, 2, &src, window.Handle(), 1), 1);
    ASSERT_EQ(QV_PLAY_SetDisplayRegion(port, 3, nullptr, window.Handle(), 1), 1);
    PLAY_VIEWPORT viewports[4];
    uint32_t count = 4;
    ASSERT_EQ(Play_GetViewport(HandleOf(port), viewports, &count), PLAY_OK);
    ASSERT_EQ(count, 2u);
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(viewports[i].hDestWnd, window.Handle());
        if (viewports[i].dwID == 2) {
            EXPECT_EQ(std::memcmp(&viewports[i].rcSrc, &src, sizeof(RECT)), 0);
        } else {
            EXPECT_EQ(viewports[i].dwID, 3u);
            EXPECT_EQ(viewports[i].rcSrc.right, 0);
        }
        EXPECT_EQ(viewports[i].rcDest.right, 0);
    }
    // Removing always answers 1, whether the region was shown or not.
    EXPECT_EQ(QV_PLAY_SetDisplayRegion(port, 2, nullptr, 0, 0), 1);
    EXPECT_EQ(QV_PLAY_SetDisplayRegion(port, 2, nullptr, 0, 0), 1);
    EXPECT_EQ(QV_PLAY_SetDisplayRegion(port, 1, nullptr, 0, 0), 1);
    count = 4;
    ASSERT_EQ(Play_GetViewport(HandleOf(port), viewports, &count), PLAY_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(viewports[0].dwID, 3u);
    // Play with the window makes it viewport 0 beside the others.
    ASSERT_EQ(QV_PLAY_Play(port, window.Handle()), 1);
    count = 4;
    ASSERT_EQ(Play_GetViewport(HandleOf(port), viewports, &count), PLAY_OK);
    EXPECT_EQ(count, 2u);
}

// ---- Messages and callback registrations ----

TEST_F(PortFixture, FileEndMessageNeedsAWindowAndAUserMessage) {
    CMessageWindow window;
    ASSERT_TRUE(window.Valid());
    ASSERT_NO_FATAL_FAILURE(OpenAt(15, Gen::V30, 25));
    // Refused: nothing registered.
    EXPECT_EQ(QV_PLAY_SetFileEndMsg(port, window.Handle(), 1023), 0);
    EXPECT_EQ(Registered(port, PLAY_CALLBACK_FILE_ENDED), nullptr);
    EXPECT_EQ(QV_PLAY_SetFileEndMsg(port, 0, kMsgFileEnd), 0);
    EXPECT_EQ(QV_PLAY_SetFileEndMsg(port, NotAWindow(), kMsgFileEnd), 0);
    EXPECT_EQ(Registered(port, PLAY_CALLBACK_FILE_ENDED), nullptr);
    // Accepted at 1024; a refused call afterwards changes nothing.
    ASSERT_EQ(QV_PLAY_SetFileEndMsg(port, window.Handle(), 1024), 1);
    EXPECT_NE(Registered(port, PLAY_CALLBACK_FILE_ENDED), nullptr);
    EXPECT_EQ(QV_PLAY_SetFileEndMsg(port, window.Handle(), 1023), 0);
    ASSERT_EQ(QV_PLAY_SetPlayOption(port, 0, 0), 1);
    ASSERT_EQ(QV_PLAY_Play(port, 0), 1);
    ASSERT_EQ(QV_PLAY_SetPlaySpeed(port, 16, 0), 1);
    ASSERT_TRUE(window.WaitFor(1024));
    // Whatever else was posted has arrived by the time a marker posted after
    // it has.
    ASSERT_TRUE(window.PostMarker(kMsgMarker));
    ASSERT_TRUE(window.WaitFor(kMsgMarker));
    EXPECT_EQ(window.Count(1024), 1u);
    EXPECT_EQ(window.Count(1023), 0u);
    const WindowMessage m = window.Received(1024)[0];
    EXPECT_EQ(m.wParam, uint64_t(port.Get()));
    EXPECT_EQ(m.lParam, port.Get());
}

struct IndexLog {
    std::atomic<int> count{0};
};

void QV_CALL CountIndex(LONG, void *pUser) {
    static_cast<IndexLog *>(pUser)->count++;
}

TEST_F(PortFixture, ANullIndexCallbackAfterTheWindowStopsTheMessage) {
    CMessageWindow window;
    ASSERT_TRUE(window.Valid());
    // The library's first look at a window may connect to the window
    // system: done here, not between the open and the registrations.
    ASSERT_TRUE(display::IsWindowAlive(window.Handle()));
    // Large enough that the index normally completes after the
    // registrations (on a quiet machine 20000 frames were indexed before
    // them every time); an attempt where it did not is made again.
    rec = MakeFile(Gen::V30, 100000, false);
    path = WriteRecording(dir, rec, "big.rec");
    bool bBefore = false;
    for (int attempt = 0; attempt < 10 && !bBefore; ++attempt) {
        window.Clear();
        CPort silent(16);
        CPort told(17);
        ASSERT_EQ(OpenW(told, path), 1);
        ASSERT_EQ(QV_PLAY_SetMsgWnd(told, window.Handle()), 1);
        ASSERT_EQ(OpenW(silent, path), 1);
        ASSERT_EQ(QV_PLAY_SetMsgWnd(silent, window.Handle()), 1);
        ASSERT_EQ(QV_PLAY_SetIndexInfoCallBack(silent, nullptr, nullptr), 1);
        bBefore = !IndexDone(silent);
        // Nothing registered any more, whether or not the index completed.
        EXPECT_EQ(Registered(silent, PLAY_CALLBACK_FILE_INDEX_COMPLETED), nullptr);
        ASSERT_TRUE(WaitUntil([&] { return IndexDone(silent) && IndexDone(told); }));
        // The index threads have posted whatever they were to post once
        // they are gone; a marker posted then arrives behind it.
        ASSERT_TRUE(WaitUntil([&] {
            return !FileModeOf(silent)->IndexThreadRunning() && !FileModeOf(told)->IndexThreadRunning();
        }));
        ASSERT_TRUE(window.PostMarker(kMsgMarker));
        ASSERT_TRUE(window.WaitFor(kMsgMarker));
        // The port with the window alone is told once; the other is not,
        // unless its index was complete before the callback was cleared.
        size_t toldCount = 0, silentCount = 0;
        for (const WindowMessage &m : window.Received(QV_PLAY_MSG_INDEX_COMPLETED)) {
            EXPECT_EQ(m.wParam, 0u);
            toldCount += m.lParam == told.Get();
            silentCount += m.lParam == silent.Get();
        }
        EXPECT_EQ(toldCount, 1u);
        if (bBefore) {
            EXPECT_EQ(silentCount, 0u);
        }
    }
    EXPECT_TRUE(bBefore) << "the index always completed before the registrations";
}

TEST_F(PortFixture, AfterCompletionTheIndexAdapterServesWindowAndFunction) {
    CMessageWindow window;
    ASSERT_TRUE(window.Valid());
    ASSERT_NO_FATAL_FAILURE(OpenAt(18, Gen::V30, 100));
    ASSERT_TRUE(WaitUntil([&] { return IndexDone(port); }));
    ASSERT_TRUE(WaitUntil([&] { return !FileModeOf(port)->IndexThreadRunning(); }));
    IndexLog log;
    // Each step registers anew, so the complete index fires at once, on this
    // thread; a marker posted after it tells when its message is in.
    auto step = [&](const std::function<BOOL()> &call, int calls, size_t messages) {
        window.Clear();
        const int before = log.count.load();
        ASSERT_EQ(call(), 1);
        EXPECT_EQ(log.count.load() - before, calls);
        ASSERT_TRUE(window.PostMarker(kMsgMarker));
        ASSERT_TRUE(window.WaitFor(kMsgMarker));
        EXPECT_EQ(window.Count(QV_PLAY_MSG_INDEX_COMPLETED), messages);
        for (const WindowMessage &m : window.Received(QV_PLAY_MSG_INDEX_COMPLETED))
            EXPECT_EQ(m.lParam, port.Get());
    };
    {
        SCOPED_TRACE("function alone");
        step([&] { return QV_PLAY_SetIndexInfoCallBack(port, CountIndex, &log); }, 1, 0);
    }
    {
        SCOPED_TRACE("window beside the function");
        step([&] { return QV_PLAY_SetMsgWnd(port, window.Handle()); }, 1, 1);
    }
    {
        SCOPED_TRACE("function cleared: the window alone");
        step([&] { return QV_PLAY_SetIndexInfoCallBack(port, nullptr, nullptr); }, 0, 0);
        step([&] { return QV_PLAY_SetMsgWnd(port, window.Handle()); }, 0, 1);
    }
    {
        SCOPED_TRACE("window cleared: the function alone");
        step([&] { return QV_PLAY_SetMsgWnd(port, 0); }, 0, 0);
        EXPECT_EQ(Registered(port, PLAY_CALLBACK_FILE_INDEX_COMPLETED), nullptr);
        step([&] { return QV_PLAY_SetIndexInfoCallBack(port, CountIndex, &log); }, 1, 0);
    }
    {
        SCOPED_TRACE("a window that is no window clears the registration");
        step([&] { return QV_PLAY_SetMsgWnd(port, NotAWindow()); }, 0, 0);
        EXPECT_EQ(Registered(port, PLAY_CALLBACK_FILE_INDEX_COMPLETED), nullptr);
    }
}

void QV_CALL NoDecode(LONG, const BYTE *, LONG, const FRAME_INFO *, void *, const FRAME_TIME *) {}
void QV_CALL NoParse(LONG, const PARSE_INFO *, void *) {}
void QV_CALL NoDraw(LONG, HDC, void *) {}
void QV_CALL NoSource(LONG, DWORD, void *, void *) {}

TEST_F(PortFixture, RegistrationsReachTheCoreAndAreCleared) {
    ASSERT_NO_FATAL_FAILURE(OpenAt(17));
    int user = 0;
    // The decode callback's pixel format: the family's two codes stand for
    // their formats, formats the core does not know become its default.
    struct FormatCase {
        DWORD given;
        uint32_t registered;
    };
    for (const FormatCase &f :
         {FormatCase{QV_PLAY_TYPE_I420, PLAY_PIXEL_FORMAT_I420},
          FormatCase{QV_PLAY_TYPE_YUY2, PLAY_PIXEL_FORMAT_YUY2},
          FormatCase{PLAY_PIXEL_FORMAT_NV12, PLAY_PIXEL_FORMAT_NV12}, FormatCase{3, 3},
          FormatCase{1, PLAY_PIXEL_FORMAT_DEFAULT}, FormatCase{0x12345678, PLAY_PIXEL_FORMAT_DEFAULT}}) {
        SCOPED_TRACE("format " + std::to_string(f.given));
        ASSERT_EQ(QV_PLAY_SetDecCallBackEx(port, NoDecode, &user, nullptr, f.given), 1);
        const PLAY_CALLBACK_PARAM p = RegisteredParam(port, PLAY_CALLBACK_DECODE);
        EXPECT_NE(p.pfnCallback, nullptr);
        EXPECT_EQ(p.dwParam, f.registered);
    }
    ASSERT_EQ(QV_PLAY_SetDecCallBack(port, nullptr, QV_PLAY_TYPE_I420), 1);
    EXPECT_EQ(Registered(port, PLAY_CALLBACK_DECODE), nullptr);
    EXPECT_EQ(RegisteredParam(port, PLAY_CALLBACK_DECODE).dwParam, 0u);
    ASSERT_EQ(QV_PLAY_SetDecCallBack(port, NoDecode, QV_PLAY_TYPE_YUY2), 1);
    EXPECT_EQ(RegisteredParam(port, PLAY_CALLBACK_DECODE).dwParam, PLAY_PIXEL_FORMAT_YUY2);

    ASSERT_EQ(QV_PLAY_SetSourceBufferCB(port, 20, NoSource, &user, nullptr), 1);
    EXPECT_EQ(RegisteredParam(port, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY).dwParam, 20u);
    EXPECT_EQ(QV_PLAY_SetSourceBufferCB(port, PLAY_BUFFER_THRESHOLD_MAX + 1, NoSource, &user, nullptr), 0);
    IndexLog indexCalls;
    struct Kind {
        const char *name;
        uint32_t dwKind;
        std::function<BOOL(bool)> set;
    };
    const Kind kinds[] = {
        {"parse", PLAY_CALLBACK_STREAM_PARSE,
         [&](bool on) { return QV_PLAY_SetParseCallBackEx(port, on ? NoParse : nullptr, &user); }},
        {"draw", PLAY_CALLBACK_DC_RENDER,
         [&](bool on) { return QV_PLAY_RegisterDrawDCFun(port, on ? NoDraw : nullptr, &user); }},
        {"source", PLAY_CALLBACK_BUFFER_ALMOST_EMPTY,
         [&](bool on) {
             return QV_PLAY_SetSourceBufferCB(port, 5, on ? NoSource : nullptr, &user, nullptr);
         }},
        {"index", PLAY_CALLBACK_FILE_INDEX_COMPLETED,
         [&](bool on) { return QV_PLAY_SetIndexInfoCallBack(port, on ? CountIndex : nullptr, &indexCalls); }},
    };
    for (const Kind &k : kinds) {
        SCOPED_TRACE(k.name);
        ASSERT_EQ(k.set(true), 1);
        // The index kind fires once and clears itself as soon as the index
        // is complete, which may be at once; the others stay.
        if (k.dwKind != PLAY_CALLBACK_FILE_INDEX_COMPLETED) {
            const PLAY_CALLBACK_PARAM p = RegisteredParam(port, k.dwKind);
            EXPECT_NE(p.pfnCallback, nullptr);
            EXPECT_NE(p.pContext, nullptr);
        }
        ASSERT_EQ(k.set(false), 1);
        const PLAY_CALLBACK_PARAM p = RegisteredParam(port, k.dwKind);
        EXPECT_EQ(p.pfnCallback, nullptr);
        EXPECT_EQ(p.pContext, nullptr);
    }
}

} // namespace

namespace {

// Ports closed and opened again while other threads keep calling them: a
// call either finds the port and completes on a live player or finds no
// port; closing waits for the calls in progress (the sanitizer builds see
// any use of a freed entry).
TEST(PortConcurrency, CloseWhileOtherThreadsCallThePort) {
    CTempDir dir;
    const FileRecording rec = MakeFile(Gen::V30, 50, true);
    const std::filesystem::path path = WriteRecording(dir, rec, "race.rec");
    const LONG kFile = 41, kStream = 42;
    const uint32_t live = api::CPortTable::LiveEntryCount();
    std::atomic<bool> stop{false};
    std::atomic<int> found{0};
    auto caller = [&](LONG nPort) {
        std::vector<uint8_t> buffer(352 * 288 * 2);
        while (!stop.load()) {
            DECODE_OUTPUT out{};
            out.pBuffer = buffer.data();
            out.dwSize = DWORD(buffer.size());
            DWORD remaining = 0;
            if (QV_PLAY_DecodeOneFrame(nPort, nullptr, 0, QV_PLAY_TYPE_I420, &out, &remaining))
                found++;
            QV_PLAY_GetPlayPos(nPort);
            QV_PLAY_SetPlaySpeed(nPort, 2, 0);
            QV_PLAY_InputData(nPort, rec.bytes.data() + 256, 4096, 0);
            QV_PLAY_GetFileHead(nPort, nullptr, &remaining);
        }
    };
    std::thread a(caller, kFile), b(caller, kStream);
    for (int round = 0; round < 20; ++round) {
        ASSERT_EQ(OpenW(kFile, path), 1);
        ASSERT_EQ(QV_PLAY_OpenStream(kStream, rec.bytes.data(), 256, 0), 1);
        // Let the callers reach the open ports before they go again.
        const int before = found.load();
        WaitUntil([&] { return found.load() > before; }, 2000);
        EXPECT_EQ(QV_PLAY_CloseFile(kFile), 1);
        EXPECT_EQ(QV_PLAY_CloseStream(kStream), 1);
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_GT(found.load(), 0);
    EXPECT_EQ(api::CPortTable::LiveEntryCount(), live);
}

} // namespace
