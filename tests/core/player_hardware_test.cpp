// The players with the hardware decoder (the test driver of tests/vdec,
// which reorders like a real one): every frame shown or pulled carries its
// own picture, the last ones included, forward, paused seeks, steps and
// backward play alike.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../vdec/fakecuda/fakeapi.h"
#include "filemode_test_util.h"
#include "vdec/cuda.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

using namespace filetest;
using playtest::ClipPictures;
using playtest::ClipPicturesByFrame;

namespace {

std::string FakePath(const char *file) {
    std::string path = std::string(QV_FAKECUDA_DIR) + "/" + file;
#ifdef _WIN32
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char &c : path)
        if (c == '/')
            c = '\\';
#endif
    return path;
}

constexpr uint32_t kFrames = 100;
constexpr uint32_t kClipFrames = 50;

class HardwarePlayer : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string unique = "qvtest." + std::to_string(getpid()) + ".player";
        m_mapping = unique + ".speed";
        m_mutex = unique + ".mutex";
        m_cuda = FakePath(kFakeCudaFile);
        m_cuvid = FakePath(kFakeCuvidFile);
        const CudaTestOverrides overrides{m_cuda.c_str(), m_cuvid.c_str(), m_mapping.c_str(),
                                          m_mutex.c_str()};
        CudaSetTestOverrides(&overrides);

        rec = MakeFile(Gen::V30, kFrames, false, kBFrameClip);
        ASSERT_FALSE(rec.bytes.empty());
        clip = ClipPicturesByFrame(kBFrameClip, 704, 576);
        ASSERT_EQ(clip.order.size(), size_t(kClipFrames));
        for (uint32_t c = 0; c < kFrames / kClipFrames; ++c)
            for (uint32_t k = 0; k < kClipFrames; ++k)
                display.push_back(c * kClipFrames + clip.order[k]);
        path = dir.Write("hardware.rec", rec.bytes);
    }
    void TearDown() override {
        player.Reset();
        CudaSetTestOverrides(nullptr);
    }

    void Open(uint32_t flags) {
        ASSERT_EQ(OpenLogged(player, path, &shown), PLAY_OK);
        h = player.Get();
        Prepare(h, flags | PLAY_ENABLE_HARDWARE_DECODE);
        ASSERT_EQ(OnNotify(h, PLAY_CALLBACK_FILE_ENDED, &ended), PLAY_OK);
        ASSERT_TRUE(WaitIndex(h));
    }

    // The decoder the player made is the hardware one.
    void ExpectHardware() {
        DecoderInfo info{};
        uint32_t size = sizeof(info);
        ASSERT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_VDEC_STATUS, &info, &size), PLAY_OK);
        EXPECT_EQ(info.dwDecoderKind, uint32_t(VDEC_KIND_CUDA));
    }

    void ExpectOwnPictures(const std::vector<Shown> &got) {
        for (const Shown &s : got) {
            ASSERT_TRUE(s.bPicture) << "frame " << s.dwSequence << " has no picture";
            EXPECT_EQ(s.md5, clip.md5[s.dwSequence % kClipFrames]) << "frame " << s.dwSequence;
        }
    }

    std::string m_mapping, m_mutex, m_cuda, m_cuvid;
    FileRecording rec;
    ClipPictures clip;
    std::vector<uint32_t> display;
    CTempDir dir;
    std::filesystem::path path;
    CRenderLog shown;
    CNotifyCount ended;
    CPlayer player;
    PLAY_HANDLE h = nullptr;
};

TEST_F(HardwarePlayer, ForwardPlayShowsEveryFrameWithItsOwnPicture) {
    Open(kVideoDecode);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] { return ended.count.load() == 1; }));
    ExpectHardware();
    const std::vector<Shown> got = shown.Get();
    std::vector<uint32_t> seqs;
    for (const Shown &s : got)
        seqs.push_back(s.dwSequence);
    EXPECT_EQ(seqs, display); // the last frame of the file included
    ExpectOwnPictures(got);
}

TEST_F(HardwarePlayer, PausedSeeksStepsAndBackwardPlay) {
    Open(kVideoDecode);
    ASSERT_EQ(Action(h, PLAY_ACTION_PAUSE), PLAY_OK);
    // Key frames: shown at once, each with its own picture.
    for (uint32_t key : {50u, 25u, 75u, 0u}) {
        SCOPED_TRACE("seek to " + std::to_string(key));
        shown.Clear();
        ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, key), PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, key);
        ExpectOwnPictures(got);
    }
    ExpectHardware();
    // Steps forward from the key frame 0: the next frames in display order.
    for (size_t k = 1; k <= 6; ++k) {
        shown.Clear();
        ASSERT_EQ(SeekU32(h, PLAY_SEEK_INDEX, AttrU32(h, PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX) + 1),
                  PLAY_OK);
        const std::vector<Shown> got = shown.Get();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].dwSequence, display[k]) << "step " << k;
        ExpectOwnPictures(got);
    }
    // Backward from the end of the file down to its start.
    shown.Clear();
    ASSERT_EQ(Action(h, PLAY_ACTION_STOP), PLAY_OK);
    ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_BACKWARD), PLAY_OK);
    ASSERT_TRUE(WaitUntil([&] {
        return ended.count.load() >= 1 && AttrU32(h, PLAY_ATTRIBUTE_PLAY_BACKWARD) == 1 &&
               AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED) == 1;
    }));
    const std::vector<Shown> back = shown.Get();
    std::vector<uint32_t> seqs;
    for (const Shown &s : back)
        seqs.push_back(s.dwSequence);
    EXPECT_EQ(seqs, std::vector<uint32_t>(display.rbegin(), display.rend()));
    ExpectOwnPictures(back);
}

TEST_F(HardwarePlayer, PulledFramesCarryTheirOwnPictures) {
    Open(kVideoDecode | PLAY_ENABLE_DECODE_ON_DEMAND);
    std::vector<uint32_t> seqs;
    PLAY_FRAME *pFrame = nullptr;
    while (PlayApi_GetDecodeFrame(h, 0, &pFrame) == PLAY_OK) {
        ASSERT_NE(pFrame->pFrame, nullptr);
        const uint32_t seq = pFrame->pFrame->dwSequence;
        seqs.push_back(seq);
        ASSERT_NE(pFrame->output.picture.pBuffer, nullptr) << "frame " << seq;
        EXPECT_EQ(pFrame->output.picture.dwFourCC, uint32_t(VDEC_FOURCC_NV12));
        EXPECT_EQ(playtest::PictureMd5(pFrame->output.picture), clip.md5[seq % kClipFrames])
            << "frame " << seq;
        ASSERT_EQ(PlayApi_FreeDecodeFrame(h, pFrame), PLAY_OK);
    }
    ExpectHardware();
    EXPECT_EQ(seqs, display);
}

} // namespace
