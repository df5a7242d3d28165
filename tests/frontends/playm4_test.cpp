// The PlayM4 names and the instance family over the port family: argument
// reorderings, waits, the instance table and the instance decode adapter.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "playport_util.h"
#include "qvplaym4.h"
#include "windowloop.h"

namespace {

using namespace porttest;

// ---- PlayM4 ----

TEST(PlayM4, ForwardsToThePortFamily) {
    CTempDir dir;
    const FileRecording rec = MakePlainV30(30, true);
    const std::filesystem::path path = WriteRecording(dir, rec, "m4.qv");
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const std::string ansi(wide.begin(), wide.end() - 1); // ASCII path
    CPort port(77);
    ASSERT_TRUE(QV_PlayM4_OpenFile(77, ansi.c_str()));
    EXPECT_FALSE(QV_PlayM4_OpenFile(77, ansi.c_str())) << "the port is taken";
    ASSERT_TRUE(WaitUntil([] { return IndexDone(77); }));
    EXPECT_EQ(QV_PlayM4_GetFileTotalFrames(77), QV_PLAY_GetFileTotalFrames(77));
    EXPECT_EQ(QV_PlayM4_GetFileTotalFrames(77), 30u);
    EXPECT_EQ(QV_PlayM4_GetFileTime(77), QV_PLAY_GetFileTime(77));

    // Colour: the region moves from last to second place.
    ASSERT_TRUE(QV_PlayM4_SetColor(77, 0, 10, 20, 30, 40));
    LONG b = 0, c = 0, s = 0, h = 0;
    ASSERT_TRUE(QV_PLAY_GetVideoColor(77, &b, &c, &s, &h, 0));
    EXPECT_EQ(std::vector<LONG>({b, c, s, h}), std::vector<LONG>({10, 20, 30, 40}));
    b = c = s = h = 0;
    ASSERT_TRUE(QV_PlayM4_GetColor(77, 0, &b, &c, &s, &h));
    EXPECT_EQ(std::vector<LONG>({b, c, s, h}), std::vector<LONG>({10, 20, 30, 40}));

    // Pause(port, 0) after Fast resumes forward play at speed 1.
    ASSERT_TRUE(QV_PlayM4_Play(77, HWND{}));
    ASSERT_TRUE(QV_PlayM4_Fast(77));
    EXPECT_EQ(Speed(77), 2.0f);
    ASSERT_TRUE(QV_PlayM4_Pause(77, TRUE));
    EXPECT_TRUE(WaitUntil([] { return Attr<uint32_t>(77, PLAY_ATTRIBUTE_STATE) == PLAY_STATE_PAUSED; }));
    ASSERT_TRUE(QV_PlayM4_Pause(77, FALSE));
    EXPECT_EQ(Speed(77), 1.0f);
    EXPECT_TRUE(WaitUntil([] { return Attr<uint32_t>(77, PLAY_ATTRIBUTE_STATE) == PLAY_STATE_PLAYING; }));
    ASSERT_TRUE(QV_PlayM4_Slow(77));
    EXPECT_EQ(Speed(77), 0.5f);

    ASSERT_TRUE(QV_PlayM4_SetVolume(77, 1234));
    EXPECT_EQ(QV_PlayM4_GetVolume(77), 1234);
    EXPECT_TRUE(QV_PlayM4_CloseFile(77));
    EXPECT_FALSE(QV_PlayM4_CloseFile(77));
}

TEST(PlayM4, FixedAnswers) {
    EXPECT_EQ(QV_PlayM4_GetFileHeadLength(), 64u);
    // Mode 0 and 1 are passed on (and always accepted underneath); others fail.
    EXPECT_TRUE(QV_PlayM4_SetStreamOpenMode(5, 0));
    EXPECT_TRUE(QV_PlayM4_SetStreamOpenMode(5, 1));
    EXPECT_FALSE(QV_PlayM4_SetStreamOpenMode(5, 2));
    EXPECT_FALSE(QV_PlayM4_SetStreamOpenMode(5, -1));
    LONG nPort = 9;
    BOOL bQuality = 7;
    const std::vector<long> results = {QV_PlayM4_PlaySound(1),
                                       QV_PlayM4_RefreshPlay(1),
                                       QV_PlayM4_RefreshPlayEx(1, 2),
                                       QV_PlayM4_FreePort(1),
                                       QV_PlayM4_GetPort(&nPort),
                                       QV_PlayM4_StopSound(),
                                       long(QV_PlayM4_GetColorKey(1)),
                                       long(QV_PlayM4_GetLastError(1)),
                                       long(QV_PlayM4_GetSourceBufferRemain(1)),
                                       QV_PlayM4_GetPictureQuality(1, &bQuality),
                                       QV_PlayM4_SetPicQuality(1, TRUE)};
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], 0) << "compatibility function " << i;
    EXPECT_EQ(nPort, 9) << "nothing is written";
    EXPECT_EQ(bQuality, 7);
}

TEST(PlayM4, WaitsForTheDurationThenGivesUp) {
    // A port that is not open never has a duration: the wait runs its
    // 1001 rounds of 15 ms before answering 0.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(QV_PlayM4_GetFileTime(4321), 0u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1001 * 15));
}

// Pixels of the picture on screen through the core's snapshot to memory.
std::vector<uint8_t> ScreenPixels(PLAY_HANDLE h) {
    PLAY_SNAPSHOT snap{};
    snap.dwSize = PLAY_SNAPSHOT_SIZE;
    if (Play_SnapPicture(h, &snap) != PLAY_OK)
        return {};
    std::vector<uint8_t> pixels(snap.dwBufferSize);
    snap.pBuffer = pixels.data();
    if (Play_SnapPicture(h, &snap) != PLAY_OK)
        return {};
    return pixels;
}

TEST(PlayM4, PlaysToTheEndMessageAndCatchesThePicture) {
    const FileRecording rec = MakeFile(Gen::V30, 50, false, filetest::kBFrameClip);
    CTempDir dir;
    const std::filesystem::path path = WriteRecording(dir, rec, "m4play.qv");
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const std::string ansi(wide.begin(), wide.end() - 1); // ASCII path
    CMessageWindow window(704, 576);
    ASSERT_TRUE(window.Valid());
    CPort port(78);
    ASSERT_TRUE(QV_PlayM4_OpenFile(78, ansi.c_str()));
    ASSERT_TRUE(QV_PlayM4_SetFileEndMsg(78, window.Handle(), kMsgFileEnd));
    ASSERT_TRUE(QV_PlayM4_Play(78, window.Handle()));
    ASSERT_TRUE(QV_PlayM4_Fast(78));
    ASSERT_TRUE(QV_PlayM4_Fast(78));
    ASSERT_TRUE(window.WaitFor(kMsgFileEnd)) << "no file-end message";
    const std::vector<WindowMessage> ends = window.Received(kMsgFileEnd);
    EXPECT_EQ(ends[0].wParam, 78u);
    EXPECT_EQ(ends[0].lParam, 78);
    ASSERT_TRUE(QV_PlayM4_Pause(78, TRUE));

    // The display may still be showing the last pictures: take the file
    // between two equal memory snapshots.
    const std::filesystem::path bmp = dir.File("caught.bmp");
    const std::vector<QV_WCHAR> wbmp = WidePath(bmp);
    const std::string abmp(wbmp.begin(), wbmp.end() - 1);
    std::vector<uint8_t> before, after;
    for (int attempt = 0; attempt < 50; ++attempt) {
        before = ScreenPixels(HandleOf(78));
        ASSERT_TRUE(QV_PlayM4_CatchPic(78, abmp.c_str()));
        after = ScreenPixels(HandleOf(78));
        if (!after.empty() && before == after)
            break;
    }
    ASSERT_FALSE(after.empty());
    ASSERT_EQ(before, after) << "the picture on screen kept changing";
    const std::vector<uint8_t> file = FixtureReadFile(bmp.string());
    ASSERT_EQ(file.size(), 1216566u) << "704 x 576 x 3 + 54";
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_TRUE(std::equal(after.begin(), after.end(), file.begin() + 54));
}

// ---- Instances ----

// Releases every instance taken by a test.
class CInstances {
public:
    ~CInstances() {
        for (QV_INSTANCE h : m_taken) {
            Stop(h);
            ReleaseInstance(h);
        }
    }
    QV_INSTANCE Take() {
        QV_INSTANCE h = GetInstance();
        if (h != QV_INSTANCE_INVALID)
            m_taken.push_back(h);
        return h;
    }

private:
    std::vector<QV_INSTANCE> m_taken;
};

TEST(Instance, TableOf128) {
    CInstances instances;
    std::vector<QV_INSTANCE> handles;
    for (int i = 0; i < QV_INSTANCE_MAX; ++i) {
        QV_INSTANCE h = instances.Take();
        ASSERT_NE(h, QV_INSTANCE_INVALID) << "instance " << i;
        for (QV_INSTANCE other : handles)
            ASSERT_NE(h, other);
        handles.push_back(h);
    }
    EXPECT_EQ(GetInstance(), QV_INSTANCE_INVALID);
    EXPECT_EQ(GetDecoderError(), QV_INSTANCE_E_NO_FREE);
    // A released slot is handed out again.
    ASSERT_EQ(ReleaseInstance(handles[17]), QV_INSTANCE_OK);
    EXPECT_EQ(GetInstance(), handles[17]);
}

TEST(Instance, BadHandlesAndUnopenedStreams) {
    int notAnInstance = 0;
    const std::vector<QV_INSTANCE> bad = {nullptr, QV_INSTANCE_INVALID, &notAnInstance};
    LONG value = 0;
    for (QV_INSTANCE h : bad) {
        EXPECT_EQ(ReleaseInstance(h), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(Start(h, HWND{}, 0), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(Stop(h), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(InsertBuffer(h, nullptr, 0), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(SetAudioVolume(h, 50), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(GetAudioVolume(h, &value), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(GetFrameRate(h, &value), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(SetDecCBStream(h, 3), QV_INSTANCE_E_BAD_HANDLE);
        EXPECT_EQ(RefreshImage(h), QV_INSTANCE_E_BAD_HANDLE);
    }
    CInstances instances;
    QV_INSTANCE h = instances.Take();
    ASSERT_NE(h, QV_INSTANCE_INVALID);
    EXPECT_EQ(Stop(h), QV_INSTANCE_E_FAIL) << "the stream was never opened";
    EXPECT_EQ(SetAudioVolume(h, 50), QV_INSTANCE_E_FAIL) << "no port underneath yet";
    EXPECT_EQ(RefreshImage(h), QV_INSTANCE_OK);
    // A first buffer too short for the stream header is refused, not read past.
    const uint8_t few[10] = {};
    EXPECT_EQ(InsertBuffer(h, few, sizeof(few)), QV_INSTANCE_E_FAIL);
}

struct Delivered {
    std::mutex lock;
    std::vector<LONG> types;
    std::vector<QV_INSTANCE> handles;
};
void QV_CALL OnInstanceFrame(QV_INSTANCE hInstance, const BYTE *, LONG nSize, const FRAME_INFO *pInfo,
                             void *pUser, const FRAME_TIME *) {
    Delivered *p = static_cast<Delivered *>(pUser);
    if (p == nullptr || pInfo == nullptr || nSize <= 0)
        return;
    std::lock_guard<std::mutex> guard(p->lock);
    p->types.push_back(pInfo->nType);
    p->handles.push_back(hInstance);
}

// Pushes a V30 recording into an instance with the given selection and
// returns the frame types its client function received.
std::vector<LONG> PushThrough(LONG nSelection, QV_INSTANCE *phInstance, LONG *pnVolume) {
    CInstances instances;
    QV_INSTANCE h = instances.Take();
    *phInstance = h;
    EXPECT_NE(h, QV_INSTANCE_INVALID);
    Delivered delivered;
    const FileRecording rec = MakePlainV30(20, true);
    EXPECT_EQ(Start(h, HWND{}, 7), QV_INSTANCE_OK);
    EXPECT_EQ(SetDecCBStream(h, nSelection), QV_INSTANCE_OK);
    // The first buffer begins with the stream header; the port opens then.
    const size_t block = 4096;
    for (size_t at = 0; at < rec.bytes.size(); at += block) {
        const size_t n = std::min(block, rec.bytes.size() - at);
        EXPECT_EQ(InsertBuffer(h, rec.bytes.data() + at, DWORD(n)), QV_INSTANCE_OK) << "at " << at;
        if (at == 0) {
            EXPECT_EQ(SetDecCallBack(h, OnInstanceFrame, &delivered), QV_INSTANCE_OK);
        }
    }
    EXPECT_EQ(SetAudioVolume(h, 50), QV_INSTANCE_OK);
    // The slot's index is the port underneath: exactly one port has the volume.
    int withVolume = 0;
    for (LONG nPort = 0; nPort < QV_INSTANCE_MAX; ++nPort)
        withVolume += QV_PLAY_GetVolume(nPort) == 32767 ? 1 : 0;
    EXPECT_EQ(withVolume, 1) << "50 percent is 32767 of 65535";
    *pnVolume = -1;
    EXPECT_EQ(GetAudioVolume(h, pnVolume), QV_INSTANCE_OK);
    // Wait until the stream is played out: 20 pictures and 20 audio blocks at most.
    const bool wantVideo = nSelection == QV_INSTANCE_STREAM_VIDEO || nSelection == QV_INSTANCE_STREAM_BOTH;
    const bool wantAudio = nSelection == QV_INSTANCE_STREAM_AUDIO || nSelection == QV_INSTANCE_STREAM_BOTH;
    WaitUntil([&] {
        std::lock_guard<std::mutex> guard(delivered.lock);
        size_t video = 0, audio = 0;
        for (LONG t : delivered.types)
            (t == QV_INSTANCE_TYPE_AUDIO16 ? audio : video)++;
        return (!wantVideo || video >= 15) && (!wantAudio || audio >= 15);
    });
    EXPECT_EQ(Stop(h), QV_INSTANCE_OK);
    EXPECT_EQ(Stop(h), QV_INSTANCE_E_FAIL) << "closed already";
    std::lock_guard<std::mutex> guard(delivered.lock);
    for (QV_INSTANCE got : delivered.handles)
        EXPECT_EQ(got, h);
    return delivered.types;
}

TEST(Instance, DecodedFramesBySelection) {
    struct Case {
        LONG nSelection;
        bool bVideo, bAudio;
    };
    const Case cases[] = {{QV_INSTANCE_STREAM_VIDEO, true, false},
                          {QV_INSTANCE_STREAM_AUDIO, false, true},
                          {QV_INSTANCE_STREAM_BOTH, true, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.nSelection);
        QV_INSTANCE h = nullptr;
        LONG nVolume = 0;
        const std::vector<LONG> types = PushThrough(c.nSelection, &h, &nVolume);
        size_t video = 0, audio = 0;
        for (LONG t : types) {
            if (t == QV_INSTANCE_TYPE_AUDIO16) {
                ++audio;
            } else {
                // The decoder's own layout (YV12) keeps its pixel format value.
                EXPECT_EQ(uint32_t(t), uint32_t(PLAY_PIXEL_FORMAT_YV12));
                ++video;
            }
        }
        EXPECT_EQ(video > 0, c.bVideo) << video << " pictures";
        EXPECT_EQ(audio > 0, c.bAudio) << audio << " audio blocks";
        EXPECT_EQ(nVolume, 50) << "read back on the scale it was set";
    }
}

} // namespace
