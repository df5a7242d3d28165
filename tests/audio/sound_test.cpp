// The sound output: the flat functions' checks, the buffer rules over a
// scripted device whose play cursor the test moves itself, and the same
// contract over the platform's device (DirectSound under wine, ALSA's null
// device natively). Waits on the real devices poll with generous limits and
// never assert on how long anything took.
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio/sound.h"
#include "platform/thread.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

constexpr int32_t kDeviceFailure = static_cast<int32_t>(0x88780096); // a platform error, passed on as it is

SOUND_SETTING DefaultSetting() {
    SOUND_SETTING setting{};
    setting.dwSize = SOUND_SETTING_SIZE;
    setting.dwBufferTime = SOUND_BUFFER_TIME_DEFAULT;
    setting.dwStartThreshold = SOUND_START_THRESHOLD_DEFAULT;
    setting.wfx.wFormatTag = SOUND_FORMAT_TAG;
    setting.wfx.nChannels = SOUND_CHANNELS;
    setting.wfx.nSamplesPerSec = SOUND_SAMPLES_PER_SEC;
    setting.wfx.nAvgBytesPerSec = SOUND_AVG_BYTES_PER_SEC;
    setting.wfx.nBlockAlign = SOUND_BLOCK_ALIGN;
    setting.wfx.wBitsPerSample = SOUND_BITS_PER_SAMPLE;
    return setting;
}

SOUND_INPUT Input(const std::vector<uint8_t> &data) {
    SOUND_INPUT input{};
    input.dwSize = SOUND_INPUT_SIZE;
    input.dwLength = static_cast<uint32_t>(data.size());
    input.pData = data.data();
    return input;
}

int32_t Write(CSoundManager *pManager, const std::vector<uint8_t> &data) {
    const SOUND_INPUT input = Input(data);
    return WriteSound(pManager, &input);
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

SOUND_STATUS Status(CSoundManager *pManager) {
    SOUND_STATUS status{};
    status.dwSize = SOUND_STATUS_SIZE;
    EXPECT_EQ(GetSoundStatus(pManager, &status), SOUND_OK);
    return status;
}

// Polls until done() holds or the limit passes; true when it held.
bool WaitUntil(const std::function<bool()> &done, int limitMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// ---------------------------------------------------------------------------
// A device whose state the test sets and reads: a plain byte buffer, a play
// cursor that only the test moves, and a log of the calls. It lives in a
// shared record so that the test still sees it after the manager deleted the
// device.
struct FakeState {
    std::mutex mutex;
    std::vector<std::string> log;
    std::vector<uint8_t> buffer;
    uint32_t cursor = 0;
    bool playing = false;
    bool lost = false;
    int32_t attenuation = 1; // nothing set yet
    uint32_t frequency = 0;
    uint32_t minRate = 100;
    uint32_t maxRate = 200000;
    platform::CEvent *pEvent = nullptr;
    std::vector<uint32_t> offsets;
    const GUID *pGuid = nullptr;
    std::map<std::string, int32_t> failures; // call name -> its result

    // Destruction while a handler runs.
    int inFlight = 0;
    int inFlightAtDestruction = -1;
    bool destroyed = false;
    bool blockOtherThreads = false;
    bool entered = false;
    bool released = false;
    std::thread::id testThread = std::this_thread::get_id();
    std::condition_variable changed;

    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex);
        log.clear();
    }
};

class CFakeDevice final : public CSoundDevice {
public:
    explicit CFakeDevice(std::shared_ptr<FakeState> state) : m_state(std::move(state)) {}
    ~CFakeDevice() override {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->inFlightAtDestruction = m_state->inFlight;
        m_state->destroyed = true;
        m_state->log.push_back("~Device");
    }

    int32_t Open(const GUID *pDevice, const WAVEFORMATEX &, uint32_t nBufferBytes) override {
        Call call(*m_state, "Open");
        if (call.result == SOUND_OK) {
            m_state->buffer.assign(nBufferBytes, 0);
            m_state->pGuid = pDevice;
        }
        return call.result;
    }
    int32_t SetNotifications(platform::CEvent &event, const uint32_t *pOffsets, uint32_t nCount) override {
        Call call(*m_state, "SetNotifications");
        m_state->pEvent = &event;
        m_state->offsets.assign(pOffsets, pOffsets + nCount);
        return call.result;
    }
    int32_t GetStatus(uint32_t *pStatus) override {
        Call call(*m_state, "GetStatus");
        if (m_state->blockOtherThreads && std::this_thread::get_id() != m_state->testThread) {
            m_state->entered = true;
            m_state->changed.notify_all();
            m_state->changed.wait(call.lock, [&] { return m_state->released; });
        }
        *pStatus = (m_state->playing ? SOUND_DEVICE_PLAYING : 0) | (m_state->lost ? SOUND_DEVICE_LOST : 0);
        return call.result;
    }
    int32_t GetPlayCursor(uint32_t *pOffset) override {
        Call call(*m_state, "GetPlayCursor");
        *pOffset = m_state->cursor;
        return call.result;
    }
    int32_t Write(uint32_t nOffset, const uint8_t *pData, uint32_t nLength) override {
        Call call(*m_state, "Write");
        if (call.result != SOUND_OK)
            return call.result;
        auto &buffer = m_state->buffer;
        for (uint32_t i = 0; i < nLength; ++i)
            buffer[(nOffset + i) % buffer.size()] = pData[i];
        return SOUND_OK;
    }
    int32_t Play() override {
        Call call(*m_state, "Play");
        if (call.result == SOUND_OK)
            m_state->playing = true;
        return call.result;
    }
    int32_t Stop() override {
        Call call(*m_state, "Stop");
        if (call.result == SOUND_OK)
            m_state->playing = false;
        return call.result;
    }
    int32_t SetPlayCursor(uint32_t nOffset) override {
        Call call(*m_state, "SetPlayCursor");
        if (call.result == SOUND_OK)
            m_state->cursor = nOffset;
        return call.result;
    }
    int32_t Restore() override {
        Call call(*m_state, "Restore");
        if (call.result == SOUND_OK)
            m_state->lost = false;
        return call.result;
    }
    int32_t SetVolume(int32_t nAttenuation) override {
        Call call(*m_state, "SetVolume");
        if (call.result == SOUND_OK)
            m_state->attenuation = nAttenuation;
        return call.result;
    }
    int32_t SetFrequency(uint32_t nFrequency) override {
        Call call(*m_state, "SetFrequency");
        if (call.result == SOUND_OK)
            m_state->frequency = nFrequency;
        return call.result;
    }
    int32_t GetFrequency(uint32_t *pFrequency) override {
        Call call(*m_state, "GetFrequency");
        *pFrequency = m_state->frequency ? m_state->frequency : SOUND_SAMPLES_PER_SEC;
        return call.result;
    }
    int32_t GetFrequencyRange(uint32_t *pMin, uint32_t *pMax) override {
        Call call(*m_state, "GetCaps");
        *pMin = m_state->minRate;
        *pMax = m_state->maxRate;
        return call.result;
    }

private:
    // Logs the call, counts it in flight and looks up an injected failure.
    struct Call {
        Call(FakeState &s, const char *name) : state(s), lock(s.mutex) {
            state.log.push_back(name);
            ++state.inFlight;
            auto it = state.failures.find(name);
            result = it == state.failures.end() ? SOUND_OK : it->second;
        }
        ~Call() { --state.inFlight; }
        FakeState &state;
        std::unique_lock<std::mutex> lock;
        int32_t result;
    };

    std::shared_ptr<FakeState> m_state;
};

// A manager on a fake device, opened with the given setting.
struct FakeOutput {
    std::shared_ptr<FakeState> state = std::make_shared<FakeState>();
    CSoundManager *pManager = nullptr;

    explicit FakeOutput(const SOUND_SETTING &setting = DefaultSetting()) {
        EXPECT_EQ(CreateSoundOutputOnDevice(&setting, new CFakeDevice(state), &pManager), SOUND_OK);
        state->ClearLog();
    }
    ~FakeOutput() { DestroySoundOutput(pManager); }

    void SetCursor(uint32_t cursor) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->cursor = cursor;
    }
    void SetPlaying(bool playing) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->playing = playing;
    }
    bool Playing() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->playing;
    }
    uint32_t Cursor() {
        std::lock_guard<std::mutex> lock(state->mutex);
        return state->cursor;
    }
    std::vector<uint8_t> Bytes(uint32_t offset, uint32_t length) {
        std::lock_guard<std::mutex> lock(state->mutex);
        std::vector<uint8_t> out(length);
        for (uint32_t i = 0; i < length; ++i)
            out[i] = state->buffer[(offset + i) % state->buffer.size()];
        return out;
    }
    void Fail(const std::string &call, int32_t result) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->failures[call] = result;
    }
    // Brings the fake buffer to "playing, cursor at P, write offset at W"
    // through the public calls only.
    void PlayingAt(uint32_t play, uint32_t write) {
        ASSERT_EQ(StopSoundOutput(pManager), SOUND_OK);
        // Fill to W while the fake reports playing, so that the manager never
        // starts or stops it itself.
        SetPlaying(true);
        // The cursor trails by at most 16000 so that each block has room.
        uint32_t at = 0;
        while (at < write) {
            SetCursor(at >= 16000 ? at - 16000 : 0);
            const uint32_t n = std::min<uint32_t>(write - at, 4000);
            ASSERT_EQ(Write(pManager, Pattern(n, 0x55)), SOUND_OK);
            at += n;
        }
        ASSERT_EQ(pManager->WriteOffset(), write % pManager->BufferBytes());
        SetCursor(play);
        state->ClearLog();
    }
};

// ---------------------------------------------------------------------------
// Checks of the flat functions, in the order they are made.

struct SettingCase {
    const char *name;
    std::function<void(SOUND_SETTING &)> change;
    bool nullSetting;
    bool nullOut;
    int32_t expected;
};

TEST(SoundChecks, CreateSoundOutputChecksInOrder) {
    const SettingCase cases[] = {
        {"null setting", nullptr, true, false, SOUND_E_NULL_POINTER},
        {"null out pointer", nullptr, false, true, SOUND_E_NULL_POINTER},
        {"both null", nullptr, true, true, SOUND_E_NULL_POINTER},
        {"size 0", [](SOUND_SETTING &s) { s.dwSize = 0; }, false, false, SOUND_E_BAD_SIZE},
        {"size one short", [](SOUND_SETTING &s) { s.dwSize = SOUND_SETTING_SIZE - 1; }, false, false,
         SOUND_E_BAD_SIZE},
        {"size larger", [](SOUND_SETTING &s) { s.dwSize = SOUND_SETTING_SIZE + 16; }, false, false, SOUND_OK},
        {"size before value",
         [](SOUND_SETTING &s) {
             s.dwSize = SOUND_SETTING_SIZE - 1;
             s.dwBufferTime = 1499;
         },
         false, false, SOUND_E_BAD_SIZE},
        {"buffer 0 ms", [](SOUND_SETTING &s) { s.dwBufferTime = 0; }, false, false, SOUND_E_INVALID_VALUE},
        {"buffer 1499 ms", [](SOUND_SETTING &s) { s.dwBufferTime = 1499; }, false, false,
         SOUND_E_INVALID_VALUE},
        {"buffer 1500 ms", [](SOUND_SETTING &s) { s.dwBufferTime = 1500; }, false, false, SOUND_OK},
        {"buffer 10000 ms", [](SOUND_SETTING &s) { s.dwBufferTime = 10000; }, false, false, SOUND_OK},
        {"buffer 10001 ms", [](SOUND_SETTING &s) { s.dwBufferTime = 10001; }, false, false,
         SOUND_E_INVALID_VALUE},
        {"threshold 0", [](SOUND_SETTING &s) { s.dwStartThreshold = 0; }, false, false, SOUND_OK},
        {"threshold 1000", [](SOUND_SETTING &s) { s.dwStartThreshold = 1000; }, false, false, SOUND_OK},
        {"threshold 1001", [](SOUND_SETTING &s) { s.dwStartThreshold = 1001; }, false, false,
         SOUND_E_INVALID_VALUE},
        {"value before format",
         [](SOUND_SETTING &s) {
             s.dwStartThreshold = 1001;
             s.wfx.wFormatTag = 3;
         },
         false, false, SOUND_E_INVALID_VALUE},
        {"format tag 0", [](SOUND_SETTING &s) { s.wfx.wFormatTag = 0; }, false, false, SOUND_E_BAD_FORMAT},
        {"format tag 3 (float)", [](SOUND_SETTING &s) { s.wfx.wFormatTag = 3; }, false, false,
         SOUND_E_BAD_FORMAT},
    };
    for (const SettingCase &c : cases) {
        SCOPED_TRACE(c.name);
        SOUND_SETTING setting = DefaultSetting();
        if (c.change)
            c.change(setting);
        auto state = std::make_shared<FakeState>();
        CSoundManager *pManager = reinterpret_cast<CSoundManager *>(&setting); // must be overwritten
        const int32_t result = CreateSoundOutputOnDevice(
            c.nullSetting ? nullptr : &setting, new CFakeDevice(state), c.nullOut ? nullptr : &pManager);
        EXPECT_EQ(result, c.expected);
        if (c.expected == SOUND_OK) {
            ASSERT_NE(pManager, nullptr);
            EXPECT_FALSE(state->destroyed);
            DestroySoundOutput(pManager);
        } else {
            if (!c.nullOut && !c.nullSetting) {
                EXPECT_EQ(pManager, nullptr);
            }
            // A refused setting never reaches the device, which is deleted.
            EXPECT_TRUE(state->destroyed);
            EXPECT_EQ(state->Log(), std::vector<std::string>{"~Device"});
        }
        EXPECT_TRUE(state->destroyed);
    }
}

struct CallCase {
    const char *name;
    std::function<int32_t(CSoundManager *)> call;
    bool nullManager;
    int32_t expected;
};

TEST(SoundChecks, FlatFunctionsCheckInOrder) {
    const std::vector<uint8_t> block(64, 1);
    const CallCase cases[] = {
        {"volume, null manager", [](CSoundManager *m) { return SetSoundVolume(m, 100); }, true,
         SOUND_E_INVALID_OBJECT},
        {"volume, null manager before value", [](CSoundManager *m) { return SetSoundVolume(m, 70000); }, true,
         SOUND_E_INVALID_OBJECT},
        {"volume 65536", [](CSoundManager *m) { return SetSoundVolume(m, 65536); }, false,
         SOUND_E_BAD_VOLUME},
        {"volume max u32", [](CSoundManager *m) { return SetSoundVolume(m, 0xFFFFFFFFu); }, false,
         SOUND_E_BAD_VOLUME},
        {"volume 65535", [](CSoundManager *m) { return SetSoundVolume(m, 65535); }, false, SOUND_OK},
        {"volume 0", [](CSoundManager *m) { return SetSoundVolume(m, 0); }, false, SOUND_OK},
        {"speed, null manager", [](CSoundManager *m) { return SetSoundSpeed(m, 1.0f); }, true,
         SOUND_E_INVALID_OBJECT},
        {"speed 0.49", [](CSoundManager *m) { return SetSoundSpeed(m, 0.49f); }, false, SOUND_E_BAD_SPEED},
        {"speed 0.5", [](CSoundManager *m) { return SetSoundSpeed(m, 0.5f); }, false, SOUND_OK},
        {"speed 2.0", [](CSoundManager *m) { return SetSoundSpeed(m, 2.0f); }, false, SOUND_OK},
        {"speed 2.01", [](CSoundManager *m) { return SetSoundSpeed(m, 2.01f); }, false, SOUND_E_BAD_SPEED},
        {"speed -1", [](CSoundManager *m) { return SetSoundSpeed(m, -1.0f); }, false, SOUND_E_BAD_SPEED},
        {"speed NaN",
         [](CSoundManager *m) { return SetSoundSpeed(m, std::numeric_limits<float>::quiet_NaN()); }, false,
         SOUND_E_BAD_SPEED},
        {"speed infinity",
         [](CSoundManager *m) { return SetSoundSpeed(m, std::numeric_limits<float>::infinity()); }, false,
         SOUND_E_BAD_SPEED},
        {"write, null manager", [&](CSoundManager *m) { return Write(m, block); }, true,
         SOUND_E_INVALID_OBJECT},
        {"write, null record", [](CSoundManager *m) { return WriteSound(m, nullptr); }, false,
         SOUND_E_NULL_POINTER},
        {"write, size 15",
         [&](CSoundManager *m) {
             SOUND_INPUT in = Input(block);
             in.dwSize = SOUND_INPUT_SIZE - 1;
             return WriteSound(m, &in);
         },
         false, SOUND_E_BAD_SIZE},
        {"write, size before length",
         [&](CSoundManager *m) {
             SOUND_INPUT in = Input(block);
             in.dwSize = 0;
             in.dwLength = 0;
             return WriteSound(m, &in);
         },
         false, SOUND_E_BAD_SIZE},
        {"write, length 0",
         [&](CSoundManager *m) {
             SOUND_INPUT in = Input(block);
             in.dwLength = 0;
             return WriteSound(m, &in);
         },
         false, SOUND_E_INVALID_VALUE},
        {"write, length before data",
         [&](CSoundManager *m) {
             SOUND_INPUT in = Input(block);
             in.dwLength = 0;
             in.pData = nullptr;
             return WriteSound(m, &in);
         },
         false, SOUND_E_INVALID_VALUE},
        {"write, null data",
         [&](CSoundManager *m) {
             SOUND_INPUT in = Input(block);
             in.pData = nullptr;
             return WriteSound(m, &in);
         },
         false, SOUND_E_NULL_POINTER},
        {"write, larger record",
         [&](CSoundManager *m) {
             SOUND_INPUT in[2] = {Input(block), {}};
             in[0].dwSize = 2 * SOUND_INPUT_SIZE;
             return WriteSound(m, in);
         },
         false, SOUND_OK},
        {"stop, null manager", [](CSoundManager *m) { return StopSoundOutput(m); }, true,
         SOUND_E_INVALID_OBJECT},
        {"stop", [](CSoundManager *m) { return StopSoundOutput(m); }, false, SOUND_OK},
        {"status, null manager",
         [](CSoundManager *m) {
             SOUND_STATUS s{};
             s.dwSize = SOUND_STATUS_SIZE;
             return GetSoundStatus(m, &s);
         },
         true, SOUND_E_INVALID_OBJECT},
        {"status, null record", [](CSoundManager *m) { return GetSoundStatus(m, nullptr); }, false,
         SOUND_E_NULL_POINTER},
        {"status, size 23",
         [](CSoundManager *m) {
             SOUND_STATUS s{};
             s.dwSize = SOUND_STATUS_SIZE - 1;
             return GetSoundStatus(m, &s);
         },
         false, SOUND_E_BAD_SIZE},
    };
    for (const CallCase &c : cases) {
        SCOPED_TRACE(c.name);
        FakeOutput out;
        EXPECT_EQ(c.call(c.nullManager ? nullptr : out.pManager), c.expected);
        if (c.expected != SOUND_OK) {
            EXPECT_TRUE(out.state->Log().empty()) << "a refused call reached the device";
        }
    }
    DestroySoundOutput(nullptr); // null is fine
}

// ---------------------------------------------------------------------------
// Sizes and opening.

TEST(SoundOpen, DerivesBufferNotificationAndThresholdSizes) {
    struct Case {
        uint32_t bufferMs, thresholdMs, bytesPerSecond, buffer, step, threshold;
    } cases[] = {
        {2000, 200, 16000, 32000, 8000, 3200}, // the player's defaults
        {2000, 400, 16000, 32000, 8000, 6400}, // stream players
        {1500, 0, 16000, 24000, 6000, 0},      // shortest buffer, start at once
        {10000, 1000, 16000, 160000, 40000, 16000},
        {1500, 1000, 1, 4, 1, 1},              // tiny byte rate: at least 4 bytes
        {1999, 333, 16000, 31984, 7996, 5328}, // truncating products
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.bufferMs << " ms / " << c.bytesPerSecond << " B/s");
        SOUND_SETTING setting = DefaultSetting();
        setting.dwBufferTime = c.bufferMs;
        setting.dwStartThreshold = c.thresholdMs;
        setting.wfx.nAvgBytesPerSec = c.bytesPerSecond;
        FakeOutput out(setting);
        ASSERT_NE(out.pManager, nullptr);
        EXPECT_EQ(out.pManager->BufferBytes(), c.buffer);
        EXPECT_EQ(out.pManager->NotifyStep(), c.step);
        EXPECT_EQ(out.pManager->StartThreshold(), c.threshold);
        EXPECT_EQ(out.state->buffer.size(), c.buffer);
        EXPECT_EQ(out.state->offsets, (std::vector<uint32_t>{0, c.step, 2 * c.step, 3 * c.step}));
    }
}

TEST(SoundOpen, OpensDeviceThenNotificationsThenSilence) {
    auto state = std::make_shared<FakeState>();
    static const GUID device = {0x01234567, 0x89AB, 0xCDEF, {1, 2, 3, 4, 5, 6, 7, 8}};
    SOUND_SETTING setting = DefaultSetting();
    setting.pDeviceGuid = &device;
    CSoundManager *pManager = nullptr;
    ASSERT_EQ(CreateSoundOutputOnDevice(&setting, new CFakeDevice(state), &pManager), SOUND_OK);
    EXPECT_EQ(state->Log(), (std::vector<std::string>{"Open", "SetNotifications", "SetVolume"}));
    EXPECT_EQ(state->pGuid, &device);
    EXPECT_EQ(state->attenuation, SOUND_ATTENUATION_SILENT);
    EXPECT_NE(state->pEvent, nullptr);
    EXPECT_EQ(pManager->WriteOffset(), 0u);
    EXPECT_EQ(pManager->Speed(), 1.0f);
    EXPECT_EQ(pManager->Volume(), 0u);
    DestroySoundOutput(pManager);
    EXPECT_TRUE(state->destroyed);
    EXPECT_EQ(state->inFlightAtDestruction, 0);
}

TEST(SoundOpen, DeviceFailuresArePassedOnAndNothingIsLeft) {
    for (const char *call : {"Open", "SetNotifications", "SetVolume"}) {
        SCOPED_TRACE(call);
        auto state = std::make_shared<FakeState>();
        state->failures[call] = kDeviceFailure;
        SOUND_SETTING setting = DefaultSetting();
        CSoundManager *pManager = reinterpret_cast<CSoundManager *>(&setting);
        EXPECT_EQ(CreateSoundOutputOnDevice(&setting, new CFakeDevice(state), &pManager), kDeviceFailure);
        EXPECT_EQ(pManager, nullptr);
        EXPECT_TRUE(state->destroyed);
    }
}

// ---------------------------------------------------------------------------
// Writing, over the fake device.

TEST(SoundWrite, StartsOnlyOnceThresholdIsQueued) {
    FakeOutput out; // T = 3200
    EXPECT_EQ(Write(out.pManager, Pattern(3000, 1)), SOUND_OK);
    EXPECT_FALSE(out.Playing());
    SOUND_STATUS status = Status(out.pManager);
    EXPECT_EQ(status.dwSize, SOUND_STATUS_SIZE);
    EXPECT_EQ(status.bPlaying, 0u);
    EXPECT_EQ(status.dwQueuedBytes, 3000u);
    EXPECT_EQ(status.dwQueuedTime, 187u); // 3000 * 1000 / 16000, truncated
    EXPECT_EQ(Write(out.pManager, Pattern(199, 2)), SOUND_OK);
    EXPECT_FALSE(out.Playing());
    EXPECT_EQ(Write(out.pManager, Pattern(1, 3)), SOUND_OK); // exactly T
    EXPECT_TRUE(out.Playing());
    EXPECT_EQ(Status(out.pManager).bPlaying, 1u);
    EXPECT_EQ(out.pManager->WriteOffset(), 3200u);
    std::vector<uint8_t> expected = Pattern(3000, 1);
    for (uint8_t b : Pattern(199, 2))
        expected.push_back(b);
    expected.push_back(Pattern(1, 3)[0]);
    EXPECT_EQ(out.Bytes(0, 3200), expected);

    // A single block of T or more into a stopped, empty buffer starts it.
    FakeOutput big;
    EXPECT_EQ(Write(big.pManager, Pattern(6400, 4)), SOUND_OK);
    EXPECT_TRUE(big.Playing());
    EXPECT_EQ(big.state->Log(),
              (std::vector<std::string>{"GetStatus", "GetPlayCursor", "Write", "GetPlayCursor", "Play"}));
}

TEST(SoundWrite, ThresholdZeroStartsWithTheFirstBlock) {
    SOUND_SETTING setting = DefaultSetting();
    setting.dwStartThreshold = 0;
    FakeOutput out(setting);
    EXPECT_EQ(Write(out.pManager, Pattern(2, 1)), SOUND_OK);
    EXPECT_TRUE(out.Playing());
}

TEST(SoundWrite, RoomRuleWhilePlaying) {
    // B = 32000, Q = 8000. Room needs B - queued > Q + length.
    struct Case {
        uint32_t play, write, length;
        int32_t expected;
    } cases[] = {
        {0, 10000, 13999, SOUND_OK},        // 32000 - 10000 = 22000 > 8000 + 13999
        {0, 10000, 14000, SOUND_E_NO_ROOM}, // equal: no room
        {30000, 6000, 15999, SOUND_OK},     // queued 8000 across the end of the buffer
        {30000, 6000, 16000, SOUND_E_NO_ROOM},
        {5000, 5000, 23999, SOUND_OK}, // nothing queued: up to B - Q - 1
        {5000, 5000, 24000, SOUND_E_NO_ROOM},
        {5000, 5000, 32001, SOUND_E_NO_ROOM}, // while playing, no room comes first
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "P " << c.play << " W " << c.write << " length " << c.length);
        FakeOutput out;
        out.PlayingAt(c.play, c.write);
        const std::vector<uint8_t> before = out.Bytes(0, 32000);
        EXPECT_EQ(Write(out.pManager, Pattern(c.length, 9)), c.expected);
        if (c.expected == SOUND_OK) {
            EXPECT_EQ(out.pManager->WriteOffset(), (c.write + c.length) % 32000);
            EXPECT_EQ(out.Bytes(c.write, c.length), Pattern(c.length, 9));
        } else {
            EXPECT_EQ(out.pManager->WriteOffset(), c.write);
            EXPECT_EQ(out.Bytes(0, 32000), before) << "nothing may be written without room";
        }
        EXPECT_TRUE(out.Playing());
    }
}

TEST(SoundWrite, HugeLengthsAreRefusedWithoutTouchingTheBuffer) {
    // The length is never read through: refused before any copy.
    const std::vector<uint8_t> small(16, 1);
    for (uint32_t length : {0xFFFFFFFFu, 0xFFFFE000u, 32001u}) {
        SCOPED_TRACE(length);
        SOUND_INPUT input = Input(small);
        input.dwLength = length;
        FakeOutput stopped;
        EXPECT_EQ(WriteSound(stopped.pManager, &input), SOUND_E_INVALID_VALUE);
        FakeOutput playing;
        playing.PlayingAt(0, 0);
        EXPECT_EQ(WriteSound(playing.pManager, &input), SOUND_E_NO_ROOM);
        for (FakeOutput *out : {&stopped, &playing}) {
            for (const std::string &call : out->state->Log())
                EXPECT_NE(call, "Write");
            EXPECT_EQ(out->pManager->WriteOffset(), 0u);
        }
    }
}

TEST(SoundWrite, FullBufferIsAcceptedOnceTheCursorMoves) {
    FakeOutput out;
    out.PlayingAt(0, 20000);
    const std::vector<uint8_t> block = Pattern(4000, 7);
    EXPECT_EQ(Write(out.pManager, block), SOUND_E_NO_ROOM); // 12000 free, 8000 kept clear
    EXPECT_EQ(Write(out.pManager, block), SOUND_E_NO_ROOM);
    out.SetCursor(1);
    EXPECT_EQ(Write(out.pManager, block), SOUND_OK);
    EXPECT_EQ(out.pManager->WriteOffset(), 24000u);
    EXPECT_EQ(out.Bytes(20000, 4000), block);
}

TEST(SoundWrite, WrapsAtTheEndOfTheBuffer) {
    FakeOutput out;
    out.PlayingAt(26000, 30000);
    const std::vector<uint8_t> block = Pattern(5000, 11);
    EXPECT_EQ(Write(out.pManager, block), SOUND_OK);
    EXPECT_EQ(out.pManager->WriteOffset(), 3000u);
    EXPECT_EQ(out.Bytes(30000, 5000), block);
    EXPECT_EQ(Status(out.pManager).dwQueuedBytes, 9000u);
}

TEST(SoundWrite, StoppedBufferBlockLimits) {
    {
        SCOPED_TRACE("longer than the buffer");
        FakeOutput out;
        EXPECT_EQ(Write(out.pManager, Pattern(32001, 1)), SOUND_E_INVALID_VALUE);
        EXPECT_FALSE(out.Playing());
        EXPECT_EQ(out.pManager->WriteOffset(), 0u);
    }
    // A stopped buffer keeps the margin of a playing one (B - queued > Q +
    // length): started fuller, the notification that comes with the start
    // would read the queue as overtaken.
    for (uint32_t length : {32000u, 24001u, 24000u}) {
        SCOPED_TRACE(length);
        FakeOutput out;
        EXPECT_EQ(Write(out.pManager, Pattern(length, 1)), SOUND_E_INVALID_VALUE);
        EXPECT_FALSE(out.Playing());
        EXPECT_EQ(out.pManager->WriteOffset(), 0u);
        EXPECT_EQ(out.Bytes(0, 16), std::vector<uint8_t>(16, 0));
    }
    {
        SCOPED_TRACE("largest block");
        FakeOutput out;
        EXPECT_EQ(Write(out.pManager, Pattern(23999, 1)), SOUND_OK);
        EXPECT_TRUE(out.Playing());
        EXPECT_EQ(Status(out.pManager).dwQueuedBytes, 23999u);
        EXPECT_EQ(out.Bytes(0, 23999), Pattern(23999, 1));
    }
    {
        SCOPED_TRACE("below the threshold, then a block that would overwrite it");
        FakeOutput out;
        const std::vector<uint8_t> head = Pattern(3000, 2);
        EXPECT_EQ(Write(out.pManager, head), SOUND_OK);
        EXPECT_FALSE(out.Playing());
        EXPECT_EQ(Write(out.pManager, Pattern(21000, 3)), SOUND_E_NO_ROOM); // 29000 free <= 8000 + 21000
        EXPECT_TRUE(out.Playing()) << "what is queued plays, so that room comes";
        EXPECT_EQ(out.Bytes(0, 3000), head) << "queued data kept";
        EXPECT_EQ(out.Bytes(3000, 16), std::vector<uint8_t>(16, 0)) << "nothing written";
        EXPECT_EQ(out.pManager->WriteOffset(), 3000u);
        // Room comes as the cursor moves.
        out.SetCursor(1);
        EXPECT_EQ(Write(out.pManager, Pattern(21000, 3)), SOUND_OK);
        EXPECT_EQ(out.pManager->WriteOffset(), 24000u);
    }
    {
        SCOPED_TRACE("below the threshold, then a block that just fits");
        FakeOutput out;
        EXPECT_EQ(Write(out.pManager, Pattern(3000, 2)), SOUND_OK);
        EXPECT_EQ(Write(out.pManager, Pattern(20999, 3)), SOUND_OK);
        EXPECT_TRUE(out.Playing());
        EXPECT_EQ(out.pManager->WriteOffset(), 23999u);
    }
}

TEST(SoundWrite, LostBufferIsRestoredAndRewound) {
    FakeOutput out;
    out.PlayingAt(1000, 9000);
    {
        std::lock_guard<std::mutex> lock(out.state->mutex);
        out.state->lost = true;
    }
    const std::vector<uint8_t> block = Pattern(800, 5);
    EXPECT_EQ(Write(out.pManager, block), SOUND_OK);
    EXPECT_EQ(out.state->Log(), (std::vector<std::string>{"GetStatus", "Restore", "Stop", "SetPlayCursor",
                                                          "GetPlayCursor", "Write", "GetPlayCursor"}));
    EXPECT_EQ(out.Cursor(), 0u);
    EXPECT_FALSE(out.Playing()); // 800 < T
    EXPECT_EQ(out.pManager->WriteOffset(), 800u);
    EXPECT_EQ(out.Bytes(0, 800), block);
}

TEST(SoundWrite, PlatformFailuresArePassedOnUnchanged) {
    for (const char *call : {"GetStatus", "GetPlayCursor", "Write", "Play"}) {
        SCOPED_TRACE(call);
        FakeOutput out;
        out.Fail(call, kDeviceFailure);
        EXPECT_EQ(Write(out.pManager, Pattern(4000, 1)), kDeviceFailure);
        if (std::string(call) != "Play") {
            EXPECT_EQ(out.pManager->WriteOffset(), 0u);
        }
    }
    FakeOutput out;
    {
        std::lock_guard<std::mutex> lock(out.state->mutex);
        out.state->lost = true;
    }
    out.Fail("Restore", kDeviceFailure);
    EXPECT_EQ(Write(out.pManager, Pattern(4000, 1)), kDeviceFailure);
}

// ---------------------------------------------------------------------------
// Notifications, stop and status, over the fake device.

TEST(SoundNotify, UnderrunStopsAndRewinds) {
    struct Case {
        const char *name;
        uint32_t play, write;
        bool playing, lost, stops;
    } cases[] = {
        {"3Q queued: still ahead", 0, 24000, true, false, false},
        {"cursor one byte past the data", 10001, 10000, true, false, true},
        {"3Q + 1 queued", 7999, 0, true, false, true},
        {"cursor on the write offset: the data has run out", 10000, 10000, true, false, true},
        {"not playing", 10001, 10000, false, false, false},
        {"lost", 10001, 10000, true, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FakeOutput out;
        out.PlayingAt(c.play, c.write);
        {
            std::lock_guard<std::mutex> lock(out.state->mutex);
            out.state->playing = c.playing;
            out.state->lost = c.lost;
        }
        out.pManager->OnNotification();
        EXPECT_EQ(out.Playing(), c.playing && !c.stops);
        if (c.stops) {
            EXPECT_EQ(out.pManager->WriteOffset(), 0u);
            EXPECT_EQ(out.Cursor(), 0u);
            const SOUND_STATUS status = Status(out.pManager);
            EXPECT_EQ(status.bPlaying, 0u);
            EXPECT_EQ(status.dwQueuedBytes, 0u);
            // The next writes fill from the start and play resumes at T.
            EXPECT_EQ(Write(out.pManager, Pattern(3200, 1)), SOUND_OK);
            EXPECT_TRUE(out.Playing());
            EXPECT_EQ(out.Bytes(0, 3200), Pattern(3200, 1));
        } else {
            EXPECT_EQ(out.pManager->WriteOffset(), c.write % 32000);
            EXPECT_EQ(out.Cursor(), c.play);
        }
    }
}

TEST(SoundNotify, SignalledEventRunsTheHandlerOnItsOwnThread) {
    FakeOutput out;
    out.PlayingAt(12001, 12000); // overtaken
    platform::CEvent *pEvent = nullptr;
    {
        std::lock_guard<std::mutex> lock(out.state->mutex);
        pEvent = out.state->pEvent;
    }
    ASSERT_NE(pEvent, nullptr);
    ASSERT_TRUE(pEvent->Set());
    EXPECT_TRUE(WaitUntil([&] { return !out.Playing(); }));
    EXPECT_EQ(out.pManager->WriteOffset(), 0u);
}

TEST(SoundNotify, DestructionWaitsForARunningHandler) {
    auto state = std::make_shared<FakeState>();
    SOUND_SETTING setting = DefaultSetting();
    CSoundManager *pManager = nullptr;
    ASSERT_EQ(CreateSoundOutputOnDevice(&setting, new CFakeDevice(state), &pManager), SOUND_OK);
    platform::CEvent *pEvent = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->playing = true;
        state->blockOtherThreads = true;
        pEvent = state->pEvent;
    }
    ASSERT_TRUE(pEvent->Set());
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        ASSERT_TRUE(state->changed.wait_for(lock, std::chrono::seconds(60), [&] { return state->entered; }));
    }
    std::atomic<bool> destroyed{false};
    std::thread destroyer([&] {
        DestroySoundOutput(pManager);
        destroyed = true;
    });
    // Whatever the timing, destruction cannot finish while the handler is
    // held inside the device.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(destroyed.load());
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        EXPECT_FALSE(state->destroyed);
        state->released = true;
    }
    state->changed.notify_all();
    destroyer.join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_TRUE(state->destroyed);
    EXPECT_EQ(state->inFlightAtDestruction, 0);
    // The handler finished its step before the device went away.
    const std::vector<std::string> log = state->Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "~Device");
}

TEST(SoundStop, StopsRewindsAndAlwaysSucceeds) {
    FakeOutput out;
    out.PlayingAt(3000, 15000);
    EXPECT_EQ(StopSoundOutput(out.pManager), SOUND_OK);
    EXPECT_FALSE(out.Playing());
    EXPECT_EQ(out.Cursor(), 0u);
    EXPECT_EQ(out.pManager->WriteOffset(), 0u);
    EXPECT_EQ(out.state->Log(), (std::vector<std::string>{"Stop", "SetPlayCursor"}));
    const SOUND_STATUS status = Status(out.pManager);
    EXPECT_EQ(status.bPlaying, 0u);
    EXPECT_EQ(status.dwQueuedBytes, 0u);
    EXPECT_EQ(status.dwQueuedTime, 0u);

    FakeOutput failing;
    failing.PlayingAt(0, 5000);
    failing.Fail("Stop", kDeviceFailure);
    EXPECT_EQ(StopSoundOutput(failing.pManager), SOUND_OK);
    EXPECT_EQ(failing.pManager->WriteOffset(), 0u);
}

TEST(SoundStatus, ReportsQueueAndPlayingFlag) {
    FakeOutput out;
    out.PlayingAt(30000, 8000); // queued 10000 across the end
    SOUND_STATUS status{};
    status.dwSize = SOUND_STATUS_SIZE + 8; // a larger record is fine
    status.dwReserved[0] = status.dwReserved[1] = 0xAAAAAAAA;
    ASSERT_EQ(GetSoundStatus(out.pManager, &status), SOUND_OK);
    EXPECT_EQ(status.dwSize, SOUND_STATUS_SIZE);
    EXPECT_EQ(status.bPlaying, 1u);
    EXPECT_EQ(status.dwQueuedBytes, 10000u);
    EXPECT_EQ(status.dwQueuedTime, 625u);
    EXPECT_EQ(status.dwReserved[0], 0u);
    EXPECT_EQ(status.dwReserved[1], 0u);

    out.Fail("GetStatus", kDeviceFailure);
    status = Status(out.pManager);
    EXPECT_EQ(status.bPlaying, 0u) << "a failed status query reads as not playing";
    EXPECT_EQ(status.dwQueuedBytes, 10000u);
}

// ---------------------------------------------------------------------------
// Volume and speed.

TEST(SoundVolume, MapsLinearVolumeToAttenuation) {
    struct Case {
        uint32_t volume;
        int32_t attenuation;
    } cases[] = {
        {0, -10000},   {1, -4816}, {6, -4038}, {655, -2000}, {6553, -1000},    {6554, -999},
        {32767, -301}, {65534, 0}, {65535, 0}, {65536, 0},   {0xFFFFFFFFu, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SoundVolumeToAttenuation(c.volume), c.attenuation) << "volume " << c.volume;
}

TEST(SoundVolume, AttenuationBecomesASampleGain) {
    struct Case {
        int32_t attenuation;
        uint32_t gain;
    } cases[] = {
        {-20000, 0},   {-10000, 0}, {-9999, 1}, {-2000, 6554},
        {-600, 32846}, {-1, 65461}, {0, 65536}, {5, 65536},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SoundAttenuationToGain(c.attenuation), c.gain) << "attenuation " << c.attenuation;

    auto pcm16 = [](std::vector<int16_t> samples) {
        std::vector<uint8_t> bytes;
        for (int16_t s : samples) {
            bytes.push_back(static_cast<uint8_t>(s & 0xFF));
            bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
        }
        return bytes;
    };
    const std::vector<uint8_t> full = pcm16({32767, -32768, 1000, -1000, 1, -1, 0});
    std::vector<uint8_t> data = full;
    ApplySoundGain(data.data(), static_cast<uint32_t>(data.size()), 16, SOUND_GAIN_UNITY);
    EXPECT_EQ(data, full);
    ApplySoundGain(data.data(), static_cast<uint32_t>(data.size()), 16, SOUND_GAIN_UNITY / 2);
    EXPECT_EQ(data, pcm16({16383, -16384, 500, -500, 0, 0, 0}));
    data = full;
    ApplySoundGain(data.data(), static_cast<uint32_t>(data.size()), 16, 0);
    EXPECT_EQ(data, std::vector<uint8_t>(full.size(), 0));

    std::vector<uint8_t> pcm8 = {255, 0, 128, 200, 127};
    ApplySoundGain(pcm8.data(), static_cast<uint32_t>(pcm8.size()), 8, SOUND_GAIN_UNITY / 2);
    EXPECT_EQ(pcm8, (std::vector<uint8_t>{191, 64, 128, 164, 128}));
    pcm8 = {255, 0, 7};
    ApplySoundGain(pcm8.data(), static_cast<uint32_t>(pcm8.size()), 8, 0);
    EXPECT_EQ(pcm8, (std::vector<uint8_t>{128, 128, 128}));

    std::vector<uint8_t> pcm24 = {1, 2, 3, 4, 5, 6};
    ApplySoundGain(pcm24.data(), static_cast<uint32_t>(pcm24.size()), 24, 0);
    EXPECT_EQ(pcm24, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}))
        << "a sample size it cannot scale is left alone";
}

TEST(SoundVolume, SetsTheDeviceAndRemembersTheVolume) {
    FakeOutput out;
    for (uint32_t volume : {0u, 6553u, 65535u, 655u}) {
        EXPECT_EQ(SetSoundVolume(out.pManager, volume), SOUND_OK);
        EXPECT_EQ(out.state->attenuation, SoundVolumeToAttenuation(volume));
        EXPECT_EQ(out.pManager->Volume(), volume);
    }
    out.Fail("SetVolume", kDeviceFailure);
    EXPECT_EQ(SetSoundVolume(out.pManager, 100), kDeviceFailure);
}

TEST(SoundSpeed, MapsFactorToFrequency) {
    struct Case {
        float speed;
        uint32_t min, max, frequency;
    } cases[] = {
        {1.0f, 100, 200000, 0},                                   // the format's own rate
        {1.000001f, 100, 200000, 0},                              // within the tolerance
        {1.0001f, 100, 200000, 8001},                             // 8000.8 + 0.5, truncated
        {2.0f, 100, 200000, 16000},   {2.0f, 100, 12000, 12000},  // clamped to the device's largest
        {0.5f, 100, 200000, 4000},    {0.5f, 5000, 200000, 5000}, // and to its smallest
        {1.5f, 100, 200000, 12000},   {0.75f, 100, 200000, 6000},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SoundSpeedToFrequency(c.speed, 8000, c.min, c.max), c.frequency) << "speed " << c.speed;
}

TEST(SoundSpeed, SetsTheFrequencyWithinTheDeviceLimits) {
    FakeOutput out;
    {
        std::lock_guard<std::mutex> lock(out.state->mutex);
        out.state->maxRate = 12000;
    }
    EXPECT_EQ(SetSoundSpeed(out.pManager, 2.0f), SOUND_OK);
    EXPECT_EQ(out.state->frequency, 12000u);
    EXPECT_EQ(out.pManager->Speed(), 2.0f);
    out.state->ClearLog();
    EXPECT_EQ(SetSoundSpeed(out.pManager, 1.0f), SOUND_OK);
    EXPECT_EQ(out.state->frequency, 0u);
    EXPECT_EQ(out.state->Log(), std::vector<std::string>{"SetFrequency"}) << "no limits needed for 1.0";
    EXPECT_EQ(SetSoundSpeed(out.pManager, 2.01f), SOUND_E_BAD_SPEED);
    EXPECT_EQ(out.pManager->Speed(), 1.0f);

    out.Fail("GetCaps", kDeviceFailure);
    EXPECT_EQ(SetSoundSpeed(out.pManager, 0.5f), kDeviceFailure);
    EXPECT_EQ(out.pManager->Speed(), 1.0f) << "a failed change leaves the speed";
    out.Fail("GetCaps", SOUND_OK);
    out.Fail("SetFrequency", kDeviceFailure);
    EXPECT_EQ(SetSoundSpeed(out.pManager, 0.5f), kDeviceFailure);
    EXPECT_EQ(out.pManager->Speed(), 1.0f);
}

// ---------------------------------------------------------------------------
// The platform's device: DirectSound under wine, ALSA's null device here.

#ifndef _WIN32
// ALSA reads its whole configuration from this file: a null default device
// and one device named for a GUID, so that the tests need no sound card.
constexpr GUID kConfiguredDevice = {
    0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

class CNullAlsaConfig {
public:
    CNullAlsaConfig() {
        m_path = (std::filesystem::temp_directory_path() /
                  ("qvsound-test-" + std::to_string(static_cast<long>(getpid())) + ".conf"))
                     .string();
        if (FILE *f = std::fopen(m_path.c_str(), "w")) {
            std::fputs("pcm.!default {\n    type null\n}\n"
                       "pcm.\"qvsound-01234567-89ab-cdef-0123-456789abcdef\" {\n    type null\n}\n",
                       f);
            std::fclose(f);
        }
        setenv("ALSA_CONFIG_PATH", m_path.c_str(), 1);
    }
    ~CNullAlsaConfig() { std::remove(m_path.c_str()); }

private:
    std::string m_path;
};

void UseNullSoundDevice() {
    static CNullAlsaConfig config;
}
#else
void UseNullSoundDevice() {}
#endif

class SoundDevice : public testing::Test {
protected:
    void SetUp() override { UseNullSoundDevice(); }
    void TearDown() override { DestroySoundOutput(m_pManager); }

    void Open(uint32_t bufferMs = SOUND_BUFFER_TIME_DEFAULT,
              uint32_t thresholdMs = SOUND_START_THRESHOLD_DEFAULT) {
        SOUND_SETTING setting = DefaultSetting();
        setting.dwBufferTime = bufferMs;
        setting.dwStartThreshold = thresholdMs;
        ASSERT_EQ(CreateSoundOutput(&setting, &m_pManager), SOUND_OK);
        ASSERT_NE(m_pManager, nullptr);
        ASSERT_EQ(SetSoundVolume(m_pManager, 0), SOUND_OK);
    }

    CSoundManager *m_pManager = nullptr;
};

TEST_F(SoundDevice, AcceptsBufferLengthsAtTheLimits) {
    for (uint32_t ms : {1500u, 10000u}) {
        SCOPED_TRACE(ms);
        SOUND_SETTING setting = DefaultSetting();
        setting.dwBufferTime = ms;
        CSoundManager *pManager = nullptr;
        ASSERT_EQ(CreateSoundOutput(&setting, &pManager), SOUND_OK);
        EXPECT_EQ(pManager->BufferBytes(), ms * 16);
        const SOUND_STATUS status = Status(pManager);
        EXPECT_EQ(status.bPlaying, 0u);
        EXPECT_EQ(status.dwQueuedBytes, 0u);
        DestroySoundOutput(pManager);
    }
    SOUND_SETTING setting = DefaultSetting();
    setting.dwBufferTime = 1499;
    CSoundManager *pManager = nullptr;
    EXPECT_EQ(CreateSoundOutput(&setting, &pManager), SOUND_E_INVALID_VALUE);
    EXPECT_EQ(pManager, nullptr);
}

TEST_F(SoundDevice, NoPlaybackBeforeTheStartThreshold) {
    Open();
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(3000)), SOUND_OK);
    SOUND_STATUS status = Status(m_pManager);
    EXPECT_EQ(status.bPlaying, 0u);
    EXPECT_EQ(status.dwQueuedBytes, 3000u);
    EXPECT_EQ(status.dwQueuedTime, 187u);
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(198)), SOUND_OK);
    EXPECT_EQ(Status(m_pManager).bPlaying, 0u);
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(2)), SOUND_OK);
    EXPECT_EQ(Status(m_pManager).bPlaying, 1u);
}

TEST_F(SoundDevice, RefusesABlockLongerThanTheBuffer) {
    Open();
    EXPECT_EQ(Write(m_pManager, std::vector<uint8_t>(32001)), SOUND_E_INVALID_VALUE);
    const SOUND_STATUS status = Status(m_pManager);
    EXPECT_EQ(status.bPlaying, 0u);
    EXPECT_EQ(status.dwQueuedBytes, 0u);
}

TEST_F(SoundDevice, VolumeAndSpeed) {
    Open();
    for (uint32_t volume : {0u, 655u, 6553u, 65535u})
        EXPECT_EQ(SetSoundVolume(m_pManager, volume), SOUND_OK) << volume;
    EXPECT_EQ(SetSoundVolume(m_pManager, 65536), SOUND_E_BAD_VOLUME);
    EXPECT_EQ(m_pManager->Volume(), 65535u);

    uint32_t frequency = 0;
    struct Case {
        float speed;
        uint32_t frequency;
    } cases[] = {{2.0f, 16000}, {1.0f, 8000}, {0.5f, 4000}, {1.5f, 12000}, {1.0f, 8000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.speed);
        ASSERT_EQ(SetSoundSpeed(m_pManager, c.speed), SOUND_OK);
        ASSERT_EQ(m_pManager->GetFrequency(&frequency), SOUND_OK);
        EXPECT_EQ(frequency, c.frequency);
    }
    EXPECT_EQ(SetSoundSpeed(m_pManager, 2.01f), SOUND_E_BAD_SPEED);
    ASSERT_EQ(m_pManager->GetFrequency(&frequency), SOUND_OK);
    EXPECT_EQ(frequency, 8000u);
}

TEST_F(SoundDevice, FullBufferAnswersNoRoomThenTakesTheSameBlock) {
    Open();
    const std::vector<uint8_t> block = Pattern(1600, 3);
    int32_t result = SOUND_OK;
    int written = 0;
    for (int i = 0; i < 40 && result == SOUND_OK; ++i) {
        result = Write(m_pManager, block);
        if (result == SOUND_OK)
            ++written;
    }
    ASSERT_EQ(result, SOUND_E_NO_ROOM) << "after " << written << " blocks";
    const SOUND_STATUS status = Status(m_pManager);
    EXPECT_EQ(status.bPlaying, 1u);
    // The writes kept a quarter of the buffer clear.
    EXPECT_LT(status.dwQueuedBytes, 32000u - 8000u);
    EXPECT_GT(status.dwQueuedBytes + 8000u + 1600u, 32000u - 1600u * 2)
        << "refused long before the buffer filled";
    // As the buffer plays, the same block goes in.
    EXPECT_TRUE(WaitUntil([&] { return Write(m_pManager, block) == SOUND_OK; }));
}

TEST_F(SoundDevice, UnderrunStopsAndRewinds) {
    Open(1500, 200);
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(3200)), SOUND_OK);
    ASSERT_EQ(Status(m_pManager).bPlaying, 1u);
    // Nothing more arrives: the cursor runs past the data and the next
    // notification stops the buffer.
    ASSERT_TRUE(WaitUntil([&] { return Status(m_pManager).bPlaying == 0; }));
    EXPECT_EQ(m_pManager->WriteOffset(), 0u);
    EXPECT_EQ(Status(m_pManager).dwQueuedBytes, 0u);
    // And it starts again at the threshold.
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(3000)), SOUND_OK);
    EXPECT_EQ(Status(m_pManager).bPlaying, 0u);
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(200)), SOUND_OK);
    EXPECT_EQ(Status(m_pManager).bPlaying, 1u);
}

TEST_F(SoundDevice, BufferStartedNearlyFullPlaysItsData) {
    // Nearly three quarters queued before the start: the notifications that
    // come with the start must not take that for an underrun.
    Open();
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(24000)), SOUND_E_INVALID_VALUE);
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(23998)), SOUND_OK);
    uint32_t leastQueued = 0xFFFFFFFFu;
    ASSERT_TRUE(WaitUntil([&] {
        const SOUND_STATUS status = Status(m_pManager);
        if (status.bPlaying && status.dwQueuedBytes < leastQueued)
            leastQueued = status.dwQueuedBytes;
        return status.bPlaying == 0;
    }));
    EXPECT_LT(leastQueued, 16000u) << "stopped before half of the data had played";
}

TEST_F(SoundDevice, StopRewindsAPlayingBuffer) {
    Open();
    ASSERT_EQ(Write(m_pManager, std::vector<uint8_t>(8000)), SOUND_OK);
    ASSERT_EQ(Status(m_pManager).bPlaying, 1u);
    EXPECT_EQ(StopSoundOutput(m_pManager), SOUND_OK);
    const SOUND_STATUS status = Status(m_pManager);
    EXPECT_EQ(status.bPlaying, 0u);
    EXPECT_EQ(status.dwQueuedBytes, 0u);
    EXPECT_EQ(m_pManager->WriteOffset(), 0u);
}

TEST_F(SoundDevice, DestroyWhileNotificationsRun) {
    // Short buffers notify often; destruction lands at varying points of
    // the notification cycle, some of them inside the handler.
    for (int i = 0; i < 12; ++i) {
        SOUND_SETTING setting = DefaultSetting();
        setting.dwBufferTime = 1500;
        setting.dwStartThreshold = 0;
        CSoundManager *pManager = nullptr;
        ASSERT_EQ(CreateSoundOutput(&setting, &pManager), SOUND_OK);
        ASSERT_EQ(SetSoundVolume(pManager, 0), SOUND_OK);
        ASSERT_EQ(Write(pManager, std::vector<uint8_t>(2000)), SOUND_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(40 * i));
        DestroySoundOutput(pManager);
    }
}

#ifndef _WIN32
TEST(SoundAlsa, DeviceNamesForGuids) {
    static const GUID defaultPlayback = {
        0xDEF00000, 0x9C6D, 0x47ED, {0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03}};
    static const GUID defaultVoice = {
        0xDEF00002, 0x9C6D, 0x47ED, {0xAA, 0xF1, 0x4D, 0xDA, 0x8F, 0x2B, 0x5C, 0x03}};
    static const GUID card = {SOUND_ALSA_GUID_TAG, 2, 1, {0, 0, 0, 0, 0, 0, 0, 0}};
    static const GUID tagButData = {SOUND_ALSA_GUID_TAG, 2, 1, {0, 0, 0, 0, 0, 0, 0, 1}};
    struct Case {
        const GUID *guid;
        const char *name;
    } cases[] = {
        {nullptr, "default"},
        {&defaultPlayback, "default"},
        {&defaultVoice, "default"},
        {&card, "plughw:2,1"},
        {&tagButData, "qvsound-414c5341-0002-0001-0000-000000000001"},
        {&kConfiguredDevice, "qvsound-01234567-89ab-cdef-0123-456789abcdef"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(SoundDeviceName(c.guid), c.name);
}

TEST_F(SoundDevice, GuidSelectsTheConfiguredDevice) {
    SOUND_SETTING setting = DefaultSetting();
    setting.pDeviceGuid = &kConfiguredDevice;
    CSoundManager *pManager = nullptr;
    ASSERT_EQ(CreateSoundOutput(&setting, &pManager), SOUND_OK);
    DestroySoundOutput(pManager);

    static const GUID unknown = {0x0BADF00D, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    setting.pDeviceGuid = &unknown;
    pManager = reinterpret_cast<CSoundManager *>(&setting);
    EXPECT_LT(CreateSoundOutput(&setting, &pManager), 0) << "no such device in the configuration";
    EXPECT_EQ(pManager, nullptr);
}
#endif

} // namespace
