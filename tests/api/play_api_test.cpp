// The exported Play_* functions of the library: every one answers through
// its result, whatever it is given.
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "qvdisplay.h"
#include "qvplay.h"

namespace {

// The header block of a live V30 stream: its magic, then zeros.
std::vector<uint8_t> V30Header(size_t size = 64) {
    std::vector<uint8_t> header(size, 0);
    const char magic[] = "ZEMASTREAMV30";
    std::memcpy(header.data(), magic, sizeof(magic) - 1);
    return header;
}

PLAY_CREATE_PARAM StreamParam(const std::vector<uint8_t> &header) {
    PLAY_CREATE_PARAM p{};
    p.dwSize = PLAY_CREATE_PARAM_SIZE;
    p.dwType = PLAY_MODE_STREAM;
    p.pSource = header.data();
    p.dwSourceSize = uint32_t(header.size());
    return p;
}

TEST(PlayExports, CreateChecksInOrder) {
    const std::vector<uint8_t> header = V30Header();
    PLAY_CREATE_PARAM p = StreamParam(header);
    PLAY_HANDLE h = reinterpret_cast<PLAY_HANDLE>(static_cast<uintptr_t>(0x40));
    EXPECT_EQ(Play_CreateW(nullptr, &p), PLAY_E_NULL_POINTER);
    EXPECT_EQ(Play_CreateW(&h, nullptr), PLAY_E_NULL_POINTER);
    p.dwSize = PLAY_CREATE_PARAM_SIZE + 1;
    EXPECT_EQ(Play_CreateW(&h, &p), PLAY_E_BAD_SIZE);
    EXPECT_EQ(h, reinterpret_cast<PLAY_HANDLE>(static_cast<uintptr_t>(0x40)));
    p.dwSize = PLAY_CREATE_PARAM_SIZE;
    p.dwSourceSize = 63;
    EXPECT_EQ(Play_CreateW(&h, &p), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(h, nullptr);
    std::vector<uint8_t> unknown(64, 0x20);
    PLAY_CREATE_PARAM q = StreamParam(unknown);
    EXPECT_EQ(Play_CreateW(&h, &q), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(h, nullptr);
}

TEST(PlayExports, StreamPlayerLifetime) {
    const std::vector<uint8_t> header = V30Header(256);
    PLAY_CREATE_PARAM p = StreamParam(header);
    p.dwExtensionSize = 24;
    PLAY_HANDLE h = nullptr;
    ASSERT_EQ(Play_CreateW(&h, &p), PLAY_OK);
    ASSERT_NE(h, nullptr);

    uint32_t mode = 0, size = 4;
    EXPECT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_MODE, &mode, &size), PLAY_OK);
    EXPECT_EQ(mode, uint32_t(PLAY_MODE_STREAM));
    StreamInfo info{};
    size = sizeof(info);
    ASSERT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    EXPECT_EQ(info.dwGeneration, 30u);
    void *ext = nullptr;
    ASSERT_EQ(Play_GetExtension(h, &ext), PLAY_OK);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(static_cast<uint8_t *>(ext)[23], 0);

    const float speed = 100.0f;
    EXPECT_EQ(Play_SetControl(h, PLAY_CONTROL_SPEED, &speed, 4), PLAY_OK);
    float stored = 0;
    size = 4;
    EXPECT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_SPEED, &stored, &size), PLAY_OK);
    EXPECT_EQ(stored, 64.0f);
    uint32_t play = PLAY_ACTION_PLAY_FORWARD;
    EXPECT_EQ(Play_SetControl(h, PLAY_CONTROL_ACTION, &play, 4), PLAY_OK);
    std::vector<uint8_t> garbage(100000, 0x5A);
    EXPECT_EQ(Play_InputData(h, garbage.data(), uint32_t(garbage.size())), PLAY_OK);
    uint32_t pause = PLAY_ACTION_PAUSE;
    EXPECT_EQ(Play_SetControl(h, PLAY_CONTROL_ACTION, &pause, 4), PLAY_OK);
    const uint32_t zero = 0;
    EXPECT_EQ(Play_Seek(h, PLAY_SEEK_TIME, &zero, 4), PLAY_E_NOT_SUPPORTED);

    const uint32_t onDemand = PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE;
    EXPECT_EQ(Play_SetControl(h, PLAY_CONTROL_ENABLE, &onDemand, 4), PLAY_OK);
    PLAY_FRAME *pFrame = nullptr;
    EXPECT_EQ(Play_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_YV12, &pFrame), PLAY_E_NO_FRAME);
    EXPECT_EQ(Play_GetDecodeFrame(h, 7, &pFrame), PLAY_E_BAD_PIXEL_FORMAT);
    PLAY_CALLBACK_PARAM cb{};
    cb.dwParam = 151;
    EXPECT_EQ(
        Play_RegisterCallbackFunction(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &cb, PLAY_CALLBACK_PARAM_SIZE),
        PLAY_E_INVALID_VALUE);
    EXPECT_EQ(Play_RegisterCallbackFunction(h, PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, nullptr, 0), PLAY_OK);
    PLAY_VIEWPORT vp{};
    vp.dwSize = PLAY_VIEWPORT_SIZE;
    EXPECT_EQ(Play_AddViewport(h, &vp), PLAY_E_NOT_SUPPORTED);

    EXPECT_EQ(Play_Release(h), PLAY_OK);
    EXPECT_EQ(Play_Release(h), PLAY_E_INVALID_HANDLE);
    size = 4;
    EXPECT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_MODE, &mode, &size), PLAY_E_INVALID_HANDLE);
}

TEST(PlayExports, NonPlayersNeverFault) {
    uint8_t notAPlayer[256] = {};
    const PLAY_HANDLE handles[] = {nullptr, reinterpret_cast<PLAY_HANDLE>(notAPlayer),
                                   reinterpret_cast<PLAY_HANDLE>(static_cast<uintptr_t>(0x1000)),
                                   reinterpret_cast<PLAY_HANDLE>(~static_cast<uintptr_t>(0xFFF))};
    // With and without a live player in the process.
    for (int round = 0; round < 2; ++round) {
        const std::vector<uint8_t> header = V30Header();
        PLAY_CREATE_PARAM p = StreamParam(header);
        PLAY_HANDLE live = nullptr;
        if (round == 1) {
            ASSERT_EQ(Play_CreateW(&live, &p), PLAY_OK);
        }
        for (PLAY_HANDLE h : handles) {
            uint32_t value = 0, size = 4;
            void *ext = nullptr;
            PLAY_FRAME *pFrame = nullptr;
            PLAY_FRAME frame{};
            PLAY_VIEWPORT vp{};
            vp.dwSize = PLAY_VIEWPORT_SIZE;
            PLAY_SNAPSHOT snap{};
            snap.dwSize = PLAY_SNAPSHOT_SIZE;
            EXPECT_EQ(Play_GetExtension(h, &ext), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_SetControl(h, PLAY_CONTROL_VOLUME, &value, 4), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_GetAttribute(h, PLAY_ATTRIBUTE_MODE, &value, &size), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_AddViewport(h, &vp), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_RemoveViewport(h, 0), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_GetViewport(h, nullptr, &size), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_SnapPicture(h, &snap), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_InputData(h, &value, 4), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_GetDecodeFrame(h, 0, &pFrame), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_FreeDecodeFrame(h, &frame), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_Seek(h, PLAY_SEEK_INDEX, &value, 4), PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_RegisterCallbackFunction(h, PLAY_CALLBACK_DECODE, nullptr, 0),
                      PLAY_E_INVALID_HANDLE);
            EXPECT_EQ(Play_Release(h), PLAY_E_INVALID_HANDLE);
        }
        if (live) {
            EXPECT_EQ(Play_Release(live), PLAY_OK);
        }
    }
}

TEST(PlayExports, PlayersCreatedAndReleasedFromManyThreads) {
    const std::vector<uint8_t> header = V30Header();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                PLAY_CREATE_PARAM p = StreamParam(header);
                PLAY_HANDLE h = nullptr;
                if (Play_CreateW(&h, &p) != PLAY_OK) {
                    ++failures;
                    continue;
                }
                uint32_t state = 9, size = 4;
                if (Play_GetAttribute(h, PLAY_ATTRIBUTE_STATE, &state, &size) != PLAY_OK || state != 0)
                    ++failures;
                if (Play_Release(h) != PLAY_OK)
                    ++failures;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
