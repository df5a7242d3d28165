// The core API's checks in their order, handle validation and release, the
// code tables of controls, attributes, seeks and callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <vector>

#include "core/player.h"
#include "fixtures/fixture6000.h"
#include "platform/memory.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "player_test_util.h"

using namespace playtest;

namespace {

const std::vector<uint8_t> &Clip() {
    static const Recording r = MakeVideoOnly(60);
    return r.bytes;
}

PLAY_HANDLE const kSentinel = reinterpret_cast<PLAY_HANDLE>(static_cast<uintptr_t>(0x5A5A5A50));

// ---- Play_CreateW ----

TEST(PlayCreate, NullPointersAndRecordSizeWriteNothing) {
    PLAY_CREATE_PARAM p = StreamParam(Clip().data(), kV30HeaderSize);
    EXPECT_EQ(PlayApi_CreateW(nullptr, &p), PLAY_E_NULL_POINTER);
    PLAY_HANDLE h = kSentinel;
    EXPECT_EQ(PlayApi_CreateW(&h, nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(h, kSentinel);

    const uint32_t sizes[] = {0, PLAY_CREATE_PARAM_SIZE - 1, PLAY_CREATE_PARAM_SIZE + 1, 31, 33};
    for (uint32_t size : sizes) {
        if (size == PLAY_CREATE_PARAM_SIZE)
            continue;
        p.dwSize = size;
        h = kSentinel;
        EXPECT_EQ(PlayApi_CreateW(&h, &p), PLAY_E_BAD_SIZE) << size;
        EXPECT_EQ(h, kSentinel) << size;
    }
    EXPECT_EQ(LibraryLiveCount(), 0);
}

struct SourceSizeCase {
    uint32_t size;
    int32_t result;
};

TEST(PlayCreate, StreamHeaderSizeLimits) {
    // A real recording long enough for the largest header block.
    const Recording big = MakeVideoOnly(260);
    ASSERT_GE(big.bytes.size(), size_t(0x40001));
    const SourceSizeCase cases[] = {
        {0, PLAY_E_INVALID_VALUE}, {63, PLAY_E_INVALID_VALUE},      {64, PLAY_OK},
        {0x40000, PLAY_OK},        {0x40001, PLAY_E_INVALID_VALUE}, {0xFFFFFFFFu, PLAY_E_INVALID_VALUE},
    };
    for (const SourceSizeCase &c : cases) {
        PLAY_CREATE_PARAM p = StreamParam(big.bytes.data(), c.size);
        CPlayer player(kSentinel);
        EXPECT_EQ(PlayApi_CreateW(player.Out(), &p), c.result) << c.size;
        if (c.result < 0) {
            EXPECT_EQ(player.Get(), nullptr) << c.size;
        } else {
            ASSERT_NE(player.Get(), nullptr);
            EXPECT_EQ(AttrU32(player.Get(), PLAY_ATTRIBUTE_MODE), uint32_t(PLAY_MODE_STREAM));
        }
    }
    EXPECT_EQ(LibraryLiveCount(), 0);
}

TEST(PlayCreate, TypeAndSourceChecks) {
    struct Case {
        uint32_t type;
        const void *source;
        int32_t result;
    };
    const Case cases[] = {
        {0, Clip().data(), PLAY_E_INVALID_VALUE},
        {3, Clip().data(), PLAY_E_INVALID_VALUE},
        {PLAY_MODE_STREAM, nullptr, PLAY_E_NULL_POINTER},
        {PLAY_MODE_FILE, nullptr, PLAY_E_NULL_POINTER},
        {PLAY_MODE_FILE, u"no-such-directory/clip.v30", PLAY_E_FILE_OPEN},
    };
    for (const Case &c : cases) {
        PLAY_CREATE_PARAM p = StreamParam(c.source, kV30HeaderSize);
        p.dwType = c.type;
        PLAY_HANDLE h = kSentinel;
        EXPECT_EQ(PlayApi_CreateW(&h, &p), c.result) << c.type;
        EXPECT_EQ(h, nullptr) << c.type;
    }
    EXPECT_EQ(LibraryLiveCount(), 0);
}

TEST(PlayCreate, UnrecognisedAndFileOnlyHeadersAreNotSupported) {
    std::vector<uint8_t> garbage(4096, 0x11);
    PLAY_CREATE_PARAM p = StreamParam(garbage.data(), uint32_t(garbage.size()));
    PLAY_HANDLE h = kSentinel;
    EXPECT_EQ(PlayApi_CreateW(&h, &p), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(h, nullptr);

    // The 6000 generation is recognised by the parsers but never played live.
    Options6000 o;
    const std::vector<uint8_t> rec6000 = Write6000(o, nullptr);
    ASSERT_GE(rec6000.size(), size_t(40000));
    p = StreamParam(rec6000.data(), 40000);
    h = kSentinel;
    EXPECT_EQ(PlayApi_CreateW(&h, &p), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(LibraryLiveCount(), 0);
}

TEST(PlayCreate, LiveCounterFollowsPlayers) {
    EXPECT_EQ(LibraryLiveCount(), 0);
    {
        CPlayer a, b;
        ASSERT_EQ(OpenStream(a, Clip()), PLAY_OK);
        EXPECT_EQ(LibraryLiveCount(), 2);
        ASSERT_EQ(OpenStream(b, Clip()), PLAY_OK);
        EXPECT_EQ(LibraryLiveCount(), 3);
        a.Reset();
        EXPECT_EQ(LibraryLiveCount(), 2);
    }
    EXPECT_EQ(LibraryLiveCount(), 0);
    // The shared services come back with the next player.
    CPlayer c;
    ASSERT_EQ(OpenStream(c, Clip()), PLAY_OK);
    EXPECT_EQ(LibraryLiveCount(), 2);
}

// ---- Handles ----

// Every function that takes a handle, called with h and harmless arguments;
// each must answer PLAY_E_INVALID_HANDLE for anything but a live player.
std::vector<int32_t> CallEveryHandleFunction(PLAY_HANDLE h) {
    std::vector<int32_t> r;
    void *ext = nullptr;
    uint32_t value = 1, size = 4;
    PLAY_VIEWPORT vp{};
    vp.dwSize = PLAY_VIEWPORT_SIZE;
    PLAY_SNAPSHOT snap{};
    snap.dwSize = PLAY_SNAPSHOT_SIZE;
    uint8_t data[16] = {};
    PLAY_FRAME *pFrame = nullptr;
    PLAY_FRAME frame{};
    PLAY_CALLBACK_PARAM cb{};
    r.push_back(PlayApi_GetExtension(h, &ext));
    r.push_back(PlayApi_SetControl(h, PLAY_CONTROL_VOLUME, &value, 4));
    r.push_back(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_STATE, &value, &size));
    r.push_back(PlayApi_AddViewport(h, &vp));
    r.push_back(PlayApi_RemoveViewport(h, 1));
    r.push_back(PlayApi_GetViewport(h, nullptr, &size));
    r.push_back(PlayApi_SnapPicture(h, &snap));
    r.push_back(PlayApi_InputData(h, data, sizeof(data)));
    r.push_back(PlayApi_GetDecodeFrame(h, 0, &pFrame));
    r.push_back(PlayApi_FreeDecodeFrame(h, &frame));
    r.push_back(PlayApi_Seek(h, PLAY_SEEK_RATIO, &value, 4));
    r.push_back(PlayApi_RegisterCallbackFunction(h, PLAY_CALLBACK_DECODE, &cb, PLAY_CALLBACK_PARAM_SIZE));
    r.push_back(PlayApi_Release(h));
    return r;
}

void ExpectAllInvalid(PLAY_HANDLE h, const char *what) {
    const std::vector<int32_t> results = CallEveryHandleFunction(h);
    for (size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], PLAY_E_INVALID_HANDLE) << what << ", function " << i;
}

TEST(PlayHandle, NonPlayersAreRefusedWithoutFaulting) {
    // Memory that is surely not mapped any more.
    const size_t pageBytes = 65536;
    void *pages = platform::PageAlloc(pageBytes);
    ASSERT_NE(pages, nullptr);
    platform::PageFree(pages, pageBytes);
    auto heapBlock = std::make_unique<uint8_t[]>(256);
    // A block that even carries the signature at the right place.
    auto forged = std::make_unique<uint8_t[]>(256);
    std::memset(forged.get(), 0, 256);
    std::memcpy(forged.get() + sizeof(void *) + 4, kPlayerSignature, 16);
    uint32_t onStack[64] = {};

    struct Case {
        PLAY_HANDLE h;
        const char *what;
    };
    const Case cases[] = {
        {nullptr, "null"},
        {reinterpret_cast<PLAY_HANDLE>(pages), "unmapped"},
        {reinterpret_cast<PLAY_HANDLE>(static_cast<uintptr_t>(0x10)), "low address"},
        {reinterpret_cast<PLAY_HANDLE>(heapBlock.get()), "heap block"},
        {reinterpret_cast<PLAY_HANDLE>(forged.get()), "forged signature"},
        {reinterpret_cast<PLAY_HANDLE>(onStack), "stack"},
    };
    // Without any player (the counter refuses at once) and with one (the
    // registry refuses before any memory is read).
    for (const Case &c : cases)
        ExpectAllInvalid(c.h, c.what);
    CPlayer live;
    ASSERT_EQ(OpenStream(live, Clip()), PLAY_OK);
    for (const Case &c : cases)
        ExpectAllInvalid(c.h, c.what);
    // A pointer into the live player that is not its start.
    ExpectAllInvalid(reinterpret_cast<PLAY_HANDLE>(reinterpret_cast<uint8_t *>(live.Get()) + 8),
                     "inside a player");
    EXPECT_EQ(AttrU32(live.Get(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
}

TEST(PlayHandle, ReleasedHandleIsInvalidEverywhere) {
    CPlayer keep; // keeps the library state alive, so the registry decides
    ASSERT_EQ(OpenStream(keep, Clip()), PLAY_OK);
    CPlayer gone;
    ASSERT_EQ(OpenStream(gone, Clip()), PLAY_OK);
    PLAY_HANDLE h = gone.Detach();
    EXPECT_EQ(PlayApi_Release(h), PLAY_OK);
    EXPECT_EQ(PlayApi_Release(h), PLAY_E_INVALID_HANDLE);
    ExpectAllInvalid(h, "released");
    // And once no player is left at all.
    keep.Reset();
    ExpectAllInvalid(h, "released, none left");
}

TEST(PlayHandle, ReleaseWaitsForCallsInFlight) {
    CPlayer player;
    ASSERT_EQ(OpenStream(player, Clip()), PLAY_OK);
    CBasePlayMode *p = player.Mode();
    // Hold a reference as a call in flight would.
    CBasePlayMode *acquired = AcquirePlayer(player.Get());
    ASSERT_EQ(acquired, p);
    EXPECT_EQ(p->RefCount(), 2);
    std::atomic<bool> released{false};
    PLAY_HANDLE h = player.Detach();
    std::thread releaser([&] {
        EXPECT_EQ(PlayApi_Release(h), PLAY_OK);
        released = true;
    });
    // Closing is set at once: new calls are refused while release waits,
    // and a second release is refused too.
    while (AcquirePlayer(h) != nullptr)
        DropPlayer(p); // raced ahead of the releaser; try again
    EXPECT_EQ(PlayApi_Release(h), PLAY_E_INVALID_HANDLE);
    platform::SleepMs(50);
    EXPECT_FALSE(released.load());
    // Other players stay usable meanwhile: the library lock is not held.
    CPlayer other;
    ASSERT_EQ(OpenStream(other, Clip()), PLAY_OK);
    EXPECT_EQ(AttrU32(other.Get(), PLAY_ATTRIBUTE_MODE), uint32_t(PLAY_MODE_STREAM));
    DropPlayer(acquired);
    releaser.join();
    EXPECT_TRUE(released.load());
    ExpectAllInvalid(h, "released after wait");
}

// ---- Extension block ----

TEST(PlayExtension, ZeroFilledBlockOfTheAskedSize) {
    CPlayer with;
    ASSERT_EQ(OpenStream(with, Clip(), 96), PLAY_OK);
    void *ext = nullptr;
    EXPECT_EQ(PlayApi_GetExtension(with.Get(), nullptr), PLAY_E_NULL_POINTER);
    ASSERT_EQ(PlayApi_GetExtension(with.Get(), &ext), PLAY_OK);
    ASSERT_NE(ext, nullptr);
    const std::vector<uint8_t> zeros(96, 0);
    EXPECT_EQ(std::memcmp(ext, zeros.data(), 96), 0);
    std::memset(ext, 0xAB, 96); // the caller's to write
    void *again = nullptr;
    ASSERT_EQ(PlayApi_GetExtension(with.Get(), &again), PLAY_OK);
    EXPECT_EQ(again, ext);

    CPlayer without;
    ASSERT_EQ(OpenStream(without, Clip()), PLAY_OK);
    ext = reinterpret_cast<void *>(1);
    EXPECT_EQ(PlayApi_GetExtension(without.Get(), &ext), PLAY_E_NOT_SUPPORTED);
}

// ---- Attributes ----

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(OpenStream(player, Clip()), PLAY_OK); }
    PLAY_HANDLE h() const { return player.Get(); }
    CPlayer player;
};

struct AttrSizeCase {
    uint32_t code;
    uint32_t size;
};

TEST_F(PlayerTest, AttributeSizes) {
    const AttrSizeCase cases[] = {
        {PLAY_ATTRIBUTE_MODE, 4},
        {PLAY_ATTRIBUTE_ENABLE, 4},
        {PLAY_ATTRIBUTE_SPEED, 4},
        {PLAY_ATTRIBUTE_COLOR, PLAY_COLOR_SIZE},
        {PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT, 4},
        {PLAY_ATTRIBUTE_FILE_SIZE, 8},
        {PLAY_ATTRIBUTE_PLAY_DATA_SIZE, 8},
        {PLAY_ATTRIBUTE_AUDIO_BITRATE, 4},
        {PLAY_ATTRIBUTE_DEMUX_PROPERTY, DEMUX_STREAM_INFO_SIZE},
        {PLAY_ATTRIBUTE_DEMUX_STATUS, DEMUX_STATISTICS_SIZE},
        {PLAY_ATTRIBUTE_VDEC_STATUS, VDEC_INFO_SIZE},
        {PLAY_ATTRIBUTE_OSD_STATUS, OSD_STATUS_SIZE},
        {PLAY_ATTRIBUTE_DISPLAY_STATUS, DISPLAY_STATUS_SIZE},
        {PLAY_ATTRIBUTE_ADEC_STATUS, ADEC_STATUS_SIZE},
        {PLAY_ATTRIBUTE_SOUND_STATUS, SOUND_STATUS_SIZE},
    };
    for (const AttrSizeCase &c : cases) {
        std::vector<uint8_t> buffer(200, 0xEE);
        uint32_t size = c.size - 1;
        EXPECT_EQ(PlayApi_GetAttribute(h(), c.code, buffer.data(), &size), PLAY_E_BAD_SIZE) << c.code;
        EXPECT_EQ(size, c.size - 1) << c.code;
        EXPECT_EQ(buffer[0], 0xEE) << c.code;
        size = c.size;
        EXPECT_EQ(PlayApi_GetAttribute(h(), c.code, buffer.data(), &size), PLAY_OK) << c.code;
        EXPECT_EQ(size, c.size) << c.code;
        size = 100 + c.size;
        EXPECT_EQ(PlayApi_GetAttribute(h(), c.code, buffer.data(), &size), PLAY_OK) << c.code;
        EXPECT_EQ(size, c.size) << c.code;
        EXPECT_EQ(buffer[c.size], 0xEE) << "wrote past the attribute " << c.code;
    }
    uint8_t buffer[128];
    uint32_t size = sizeof(buffer);
    EXPECT_EQ(PlayApi_GetAttribute(h(), PLAY_ATTRIBUTE_RESERVED, buffer, &size), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_GetAttribute(h(), 34, buffer, &size), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(PlayApi_GetAttribute(h(), 0, buffer, &size), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(PlayApi_GetAttribute(h(), PLAY_ATTRIBUTE_MODE, nullptr, &size), PLAY_E_NULL_POINTER);
    EXPECT_EQ(PlayApi_GetAttribute(h(), PLAY_ATTRIBUTE_MODE, buffer, nullptr), PLAY_E_NULL_POINTER);
    // The code is checked before the pointers.
    EXPECT_EQ(PlayApi_GetAttribute(h(), 34, nullptr, nullptr), PLAY_E_INVALID_VALUE);
}

TEST_F(PlayerTest, AttributeDefaultsAfterOpen) {
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_MODE), uint32_t(PLAY_MODE_STREAM));
#ifdef _WIN32
    const uint32_t expectedFlags =
        platform::OsMajorVersion() >= 6 ? PLAY_ENABLE_DEFAULT_NT6 : PLAY_ENABLE_DEFAULT;
#else
    const uint32_t expectedFlags = PLAY_ENABLE_DEFAULT_NT6;
#endif
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_ENABLE), expectedFlags);
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_PLAY_BACKWARD), 0u);
    EXPECT_EQ(AttrFloat(h(), PLAY_ATTRIBUTE_SPEED), 1.0f);
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_VOLUME), 0u);
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_CPU_LIMIT), 100u);
    EXPECT_EQ(AttrU64(h(), PLAY_ATTRIBUTE_PLAY_DATA_SIZE), 0u);
    EXPECT_EQ(AttrFloat(h(), PLAY_ATTRIBUTE_VIDEO_FRAME_RATE), 0.0f);
    for (uint32_t code = PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED; code <= PLAY_ATTRIBUTE_KEY_FRAME_INTERVAL;
         ++code) {
        if (code != PLAY_ATTRIBUTE_FILE_SIZE && code != PLAY_ATTRIBUTE_PLAY_DATA_SIZE) {
            EXPECT_EQ(AttrU32(h(), code), 0u) << code;
        }
    }

    PLAY_COLOR color;
    std::memset(&color, 0xFF, sizeof(color));
    uint32_t size = sizeof(color);
    ASSERT_EQ(PlayApi_GetAttribute(h(), PLAY_ATTRIBUTE_COLOR, &color, &size), PLAY_OK);
    EXPECT_EQ(color.dwSize, PLAY_COLOR_SIZE);
    EXPECT_EQ(color.dwBrightness, 64u);
    EXPECT_EQ(color.dwContrast, 64u);
    EXPECT_EQ(color.dwSaturation, 64u);
    EXPECT_EQ(color.dwHue, 64u);
    EXPECT_EQ(color.dwReserved, 0u);

    StreamInfo info{};
    size = sizeof(info);
    ASSERT_EQ(PlayApi_GetAttribute(h(), PLAY_ATTRIBUTE_DEMUX_PROPERTY, &info, &size), PLAY_OK);
    EXPECT_EQ(info.dwSize, DEMUX_STREAM_INFO_SIZE);
    EXPECT_EQ(info.dwGeneration, uint32_t(DEMUX_GENERATION_V30));
    EXPECT_STREQ(info.szName, "ZEMASTREAMV30");

    // Status records of components that do not exist yet: zero but for the
    // size. The parser exists and reports its (empty) statistics.
    const uint32_t statusCodes[] = {PLAY_ATTRIBUTE_DEMUX_STATUS, PLAY_ATTRIBUTE_VDEC_STATUS,
                                    PLAY_ATTRIBUTE_OSD_STATUS,   PLAY_ATTRIBUTE_DISPLAY_STATUS,
                                    PLAY_ATTRIBUTE_ADEC_STATUS,  PLAY_ATTRIBUTE_SOUND_STATUS};
    for (uint32_t code : statusCodes) {
        std::vector<uint8_t> record(64, 0x77);
        size = 64;
        ASSERT_EQ(PlayApi_GetAttribute(h(), code, record.data(), &size), PLAY_OK) << code;
        uint32_t first;
        std::memcpy(&first, record.data(), 4);
        EXPECT_EQ(first, size) << code;
        for (uint32_t i = 4; i < size; ++i)
            ASSERT_EQ(record[i], 0) << "code " << code << " byte " << i;
    }
}

// ---- Controls ----

TEST_F(PlayerTest, SpeedClamps) {
    struct Case {
        float in;
        float stored;
    };
    const Case cases[] = {
        {100.0f, 64.0f},
        {64.0f, 64.0f},
        {0.001f, 0.015625f},
        {0.015625f, 0.015625f},
        {-3.0f, 0.015625f},
        {2.5f, 2.5f},
        {0.5f, 0.5f},
        {std::numeric_limits<float>::quiet_NaN(), 0.015625f},
        {std::numeric_limits<float>::infinity(), 64.0f},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SetFloat(h(), PLAY_CONTROL_SPEED, c.in), PLAY_OK) << c.in;
        EXPECT_EQ(AttrFloat(h(), PLAY_ATTRIBUTE_SPEED), c.stored) << c.in;
    }
}

TEST_F(PlayerTest, VolumeAndCpuLimitClamps) {
    const uint32_t volumes[][2] = {{70000, 65535}, {65535, 65535}, {0, 0}, {100, 100}, {0xFFFFFFFFu, 65535}};
    for (const auto &v : volumes) {
        EXPECT_EQ(SetU32(h(), PLAY_CONTROL_VOLUME, v[0]), PLAY_OK);
        EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_VOLUME), v[1]) << v[0];
    }
    struct Limit {
        int32_t in, stored, high, low;
    };
    const Limit limits[] = {{10, 50, 50, 25}, {150, 100, 85, 42}, {60, 60, 51, 25},
                            {50, 50, 50, 25}, {-5, 50, 50, 25},   {100, 100, 85, 42}};
    for (const Limit &l : limits) {
        EXPECT_EQ(SetU32(h(), PLAY_CONTROL_CPU_LIMIT, static_cast<uint32_t>(l.in)), PLAY_OK);
        EXPECT_EQ(static_cast<int32_t>(AttrU32(h(), PLAY_ATTRIBUTE_CPU_LIMIT)), l.stored) << l.in;
        EXPECT_EQ(player.Mode()->Clock().nThrottleHigh, l.high) << l.in;
        EXPECT_EQ(player.Mode()->Clock().nThrottleLow, l.low) << l.in;
    }
}

TEST_F(PlayerTest, ColorClampsEachValue) {
    PLAY_COLOR in{PLAY_COLOR_SIZE, 200, 0, 127, 128, 99};
    ASSERT_EQ(PlayApi_SetControl(h(), PLAY_CONTROL_COLOR, &in, sizeof(in)), PLAY_OK);
    PLAY_COLOR out{};
    uint32_t size = sizeof(out);
    ASSERT_EQ(PlayApi_GetAttribute(h(), PLAY_ATTRIBUTE_COLOR, &out, &size), PLAY_OK);
    EXPECT_EQ(out.dwBrightness, 127u);
    EXPECT_EQ(out.dwContrast, 0u);
    EXPECT_EQ(out.dwSaturation, 127u);
    EXPECT_EQ(out.dwHue, 127u);
    EXPECT_EQ(out.dwReserved, 0u);
    EXPECT_EQ(PlayApi_SetControl(h(), PLAY_CONTROL_COLOR, &in, PLAY_COLOR_SIZE - 1), PLAY_E_BAD_SIZE);
}

TEST_F(PlayerTest, ControlArgumentChecksInOrder) {
    uint32_t v = 1;
    EXPECT_EQ(PlayApi_SetControl(h(), 0, &v, 4), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(PlayApi_SetControl(h(), 7, nullptr, 4), PLAY_E_INVALID_VALUE);
    for (uint32_t code = PLAY_CONTROL_FIRST; code <= PLAY_CONTROL_LAST; ++code) {
        EXPECT_EQ(PlayApi_SetControl(h(), code, nullptr, 4), PLAY_E_NULL_POINTER) << code;
        EXPECT_EQ(PlayApi_SetControl(h(), code, &v, 3), PLAY_E_BAD_SIZE) << code;
    }
    // Nothing changed by the refused calls.
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_VOLUME), 0u);
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_STATE), uint32_t(PLAY_STATE_IDLE));
    // Backward play and unknown actions on a stream.
    EXPECT_EQ(Action(h(), PLAY_ACTION_PLAY_BACKWARD), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(Action(h(), 0), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(Action(h(), 9), PLAY_E_NOT_SUPPORTED);
}

struct FlagCase {
    uint32_t in;
    uint32_t out;
};

TEST_F(PlayerTest, EnableFlagsAreNormalisedInOrder) {
    const FlagCase cases[] = {
        // (1) decode on demand: no display, no sound, no CPU limit.
        {0x10000000u | 0x3717u, 0x10000000u | 0x1017u | 0x8u},
        // (2) no video decoding: its dependants and the display go.
        {0x3F1Eu, 0x3000u},
        // (3) no audio decoding: no sound (and then no sound sync, rule 6).
        {0x6001u, 0x1u},
        // (4) display without a back end gets DirectDraw 7 ...
        {0x101u, 0x901u},
        // ... and without display both back ends go (then rule 5).
        {0xE01u, 0x1u},
        // (5) immediate presentation only with Direct3D 9.
        {0xB01u, 0x901u},
        {0x701u, 0x701u},
        // (6) sound sync only with sound.
        {0x5001u, 0x1001u},
        {0x7001u, 0x7001u},
        {0u, 0u},
        // Unknown bits are kept.
        {0x80000001u, 0x80000001u},
    };
    for (const FlagCase &c : cases) {
        EXPECT_EQ(SetU32(h(), PLAY_CONTROL_ENABLE, c.in), PLAY_OK);
        EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_ENABLE), c.out) << std::hex << c.in;
        EXPECT_EQ(CBasePlayMode::NormaliseEnableFlags(c.in), c.out) << std::hex << c.in;
    }
}

// Outside Windows the X11 back end, in the bitmap slot, stands in for both.
#ifdef _WIN32
constexpr uint32_t kStandIn = 0;
#else
constexpr uint32_t kStandIn = DISPLAY_FLAG_DRAWDIB;
#endif

TEST(PlayDisplayFlags, FromEnableFlags) {
    EXPECT_EQ(CBasePlayMode::DisplayFlagsFor(0x701u),
              DISPLAY_FLAG_DIRECT3D9 | DISPLAY_FLAG_D3D9_IMMEDIATE | kStandIn);
    EXPECT_EQ(CBasePlayMode::DisplayFlagsFor(0x901u), DISPLAY_FLAG_DIRECTDRAW7 | kStandIn);
    EXPECT_EQ(CBasePlayMode::DisplayFlagsFor(0x1u), 0u);
}

// ---- Seeks ----

TEST_F(PlayerTest, SeekOnAStreamIsNotSupported) {
    const uint32_t zero = 0;
    const float half = 0.5f;
    EXPECT_EQ(PlayApi_Seek(h(), PLAY_SEEK_RATIO, nullptr, 4), PLAY_E_NULL_POINTER);
    EXPECT_EQ(PlayApi_Seek(h(), PLAY_SEEK_RATIO, &half, 4), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_Seek(h(), PLAY_SEEK_TIME, &zero, 4), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_Seek(h(), PLAY_SEEK_INDEX, &zero, 4), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_Seek(h(), PLAY_SEEK_INDEX, &zero, 0), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_Seek(h(), 9, &zero, 4), PLAY_E_NOT_SUPPORTED);
}

// ---- Callbacks ----

int32_t QV_CALL NoopParse(PLAY_HANDLE, FrameRecord *, void *) {
    return 0;
}

TEST_F(PlayerTest, CallbackRegistrationRules) {
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(NoopParse);
    cb.pContext = this;
    const uint32_t full = PLAY_CALLBACK_PARAM_SIZE;
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), 0, &cb, full), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), 7, nullptr, 0), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_STREAM_PARSE, &cb, full - 1),
              PLAY_E_BAD_SIZE);
    EXPECT_EQ(player.Mode()->RegisteredCallback(PLAY_CALLBACK_STREAM_PARSE).pfnCallback, nullptr);

    // Threshold: 150 at most; cleared when the function is null.
    cb.dwParam = 151;
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &cb, full),
              PLAY_E_INVALID_VALUE);
    cb.dwParam = 150;
    cb.dwReserved = 7;
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &cb, full), PLAY_OK);
    PLAY_CALLBACK_PARAM stored = player.Mode()->RegisteredCallback(PLAY_CALLBACK_BUFFER_ALMOST_EMPTY);
    EXPECT_EQ(stored.dwParam, 150u);
    EXPECT_EQ(stored.dwReserved, 7u);
    EXPECT_EQ(stored.pContext, this);
    PLAY_CALLBACK_PARAM noFunction{};
    noFunction.dwParam = 10;
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, &noFunction, full),
              PLAY_OK);
    EXPECT_EQ(player.Mode()->RegisteredCallback(PLAY_CALLBACK_BUFFER_ALMOST_EMPTY).dwParam, 0u);

    // Decode callback pixel formats.
    const uint32_t accepted[] = {0u,
                                 PLAY_PIXEL_FORMAT_UYVY,
                                 PLAY_PIXEL_FORMAT_YUY2,
                                 PLAY_PIXEL_FORMAT_YV12,
                                 PLAY_PIXEL_FORMAT_I420,
                                 PLAY_PIXEL_FORMAT_NV12,
                                 PLAY_PIXEL_FORMAT_NV21,
                                 2u,
                                 3u};
    for (uint32_t f : accepted) {
        cb.dwParam = f;
        EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_DECODE, &cb, full), PLAY_OK)
            << std::hex << f;
    }
    const uint32_t refused[] = {1u, 4u, QV_FOURCC('Y', 'V', 'Y', 'U'), QV_FOURCC('I', 'Y', 'U', '2'),
                                0xFFFFFFFFu};
    for (uint32_t f : refused) {
        cb.dwParam = f;
        EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_DECODE, &cb, full),
                  PLAY_E_BAD_PIXEL_FORMAT)
            << std::hex << f;
    }
    EXPECT_EQ(player.Mode()->RegisteredCallback(PLAY_CALLBACK_DECODE).dwParam, 3u);

    // A null record clears all four fields, whatever the size.
    EXPECT_EQ(PlayApi_RegisterCallbackFunction(h(), PLAY_CALLBACK_BUFFER_ALMOST_EMPTY, nullptr, 0), PLAY_OK);
    stored = player.Mode()->RegisteredCallback(PLAY_CALLBACK_BUFFER_ALMOST_EMPTY);
    EXPECT_EQ(stored.pfnCallback, nullptr);
    EXPECT_EQ(stored.pContext, nullptr);
    EXPECT_EQ(stored.dwParam, 0u);
    EXPECT_EQ(stored.dwReserved, 0u);
}

// ---- Input and decode on demand ----

TEST_F(PlayerTest, InputDataChecks) {
    uint8_t byte = 0;
    EXPECT_EQ(PlayApi_InputData(h(), nullptr, 10), PLAY_E_NULL_POINTER);
    EXPECT_EQ(PlayApi_InputData(h(), &byte, 0), PLAY_E_INVALID_VALUE);
    EXPECT_EQ(PlayApi_InputData(h(), &byte, 0x1000001), PLAY_E_INVALID_VALUE);
    // The largest block passes the core's checks and goes to the parser.
    std::vector<uint8_t> block(0x1000000, 0);
    EXPECT_EQ(PlayApi_InputData(h(), block.data(), uint32_t(block.size())), PLAY_OK);
    EXPECT_EQ(AttrU32(h(), PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT), 0u);
}

TEST_F(PlayerTest, DecodeFrameChecks) {
    PLAY_FRAME *pFrame = nullptr;
    EXPECT_EQ(PlayApi_GetDecodeFrame(h(), 1, &pFrame), PLAY_E_BAD_PIXEL_FORMAT);
    EXPECT_EQ(PlayApi_GetDecodeFrame(h(), 1, nullptr), PLAY_E_BAD_PIXEL_FORMAT);
    EXPECT_EQ(PlayApi_GetDecodeFrame(h(), 0, nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(PlayApi_GetDecodeFrame(h(), 0, &pFrame), PLAY_E_NOT_SUPPORTED);
    PLAY_FRAME local{};
    EXPECT_EQ(PlayApi_FreeDecodeFrame(h(), nullptr), PLAY_E_NULL_POINTER);
    EXPECT_EQ(PlayApi_FreeDecodeFrame(h(), &local), PLAY_E_NOT_SUPPORTED);

    ASSERT_EQ(SetU32(h(), PLAY_CONTROL_ENABLE, PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE),
              PLAY_OK);
    EXPECT_EQ(PlayApi_GetDecodeFrame(h(), PLAY_PIXEL_FORMAT_I420, &pFrame), PLAY_E_NO_FRAME);
    // A frame this player never handed out is refused, not freed.
    EXPECT_EQ(PlayApi_FreeDecodeFrame(h(), &local), PLAY_E_INVALID_VALUE);
    // Actions are refused while frames are pulled.
    EXPECT_EQ(Action(h(), PLAY_ACTION_PLAY_FORWARD), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(Action(h(), PLAY_ACTION_STOP), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_SetControl(h(), PLAY_CONTROL_ACTION, &local, 3), PLAY_E_BAD_SIZE);
}

// ---- Viewports and snapshots before a display manager exists ----

TEST_F(PlayerTest, ViewportsBeforeADisplayManager) {
    PLAY_VIEWPORT vp{};
    vp.dwSize = PLAY_VIEWPORT_SIZE;
    vp.dwID = 1;
    EXPECT_EQ(PlayApi_AddViewport(h(), nullptr), PLAY_E_NULL_POINTER);
    vp.dwSize = PLAY_VIEWPORT_SIZE + 1;
    EXPECT_EQ(PlayApi_AddViewport(h(), &vp), PLAY_E_BAD_SIZE);
    vp.dwSize = PLAY_VIEWPORT_SIZE;
    // No display manager yet: nothing to list, remove or snap.
    uint32_t count = 5;
    EXPECT_EQ(PlayApi_GetViewport(h(), nullptr, &count), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(PlayApi_RemoveViewport(h(), 1), PLAY_E_NOT_SUPPORTED);

    PLAY_SNAPSHOT snap{};
    EXPECT_EQ(PlayApi_SnapPicture(h(), nullptr), PLAY_E_NULL_POINTER);
    snap.dwSize = PLAY_SNAPSHOT_SIZE - 1;
    EXPECT_EQ(PlayApi_SnapPicture(h(), &snap), PLAY_E_BAD_SIZE);
    snap.dwSize = PLAY_SNAPSHOT_SIZE;
    EXPECT_EQ(PlayApi_SnapPicture(h(), &snap), PLAY_E_NOT_SUPPORTED);
    // Window 0 is no window: the display's own code comes back (which one
    // depends on whether this machine has a display server).
    const int32_t rc = PlayApi_AddViewport(h(), &vp);
    EXPECT_EQ(static_cast<uint32_t>(rc) >> 16, 0x92A0u) << std::hex << rc;

    // Without the display flag the viewport operations are refused first.
    ASSERT_EQ(SetU32(h(), PLAY_CONTROL_ENABLE, PLAY_ENABLE_VIDEO_DECODE), PLAY_OK);
    EXPECT_EQ(PlayApi_AddViewport(h(), &vp), PLAY_E_NOT_SUPPORTED);
    EXPECT_EQ(PlayApi_GetViewport(h(), nullptr, nullptr), PLAY_E_NOT_SUPPORTED);
}

TEST(PlayVersion, ThroughTheCoreApi) {
    PLAY_VERSION v{};
    EXPECT_EQ(PlayApi_GetVersion(nullptr), PLAY_E_NULL_POINTER);
    ASSERT_EQ(PlayApi_GetVersion(&v), PLAY_OK);
    EXPECT_EQ(v.dwVersion, 1u);
    EXPECT_EQ(v.dwBuild, 0x0A0107DCu);
}

} // namespace
