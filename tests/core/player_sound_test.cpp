// Sound through the players (mostly live stream ones) on the platform's real
// sound output: DirectSound under wine, natively ALSA with a file device
// whose bytes the tests read back. Every audio block of the recordings is
// different, so a block that is lost, repeated or moved shows in what
// reached the output. Waits poll with generous limits; nothing asserts how
// long playback took (wine's sound device does not keep real time).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "audio/adec.h"
#include "audio/sound.h"
#include "core/player.h"
#include "filemode_test_util.h"
#include "player_test_util.h"

using namespace playtest;
using filetest::CTempDir;
using filetest::WaitUntil;

namespace {

constexpr uint32_t kAlawBlock = 320;     // bytes (samples) of one audio frame: 40 ms
constexpr uint32_t kPcmBlock = 640;      // the same block decoded
constexpr uint32_t kSoundBuffer = 32000; // the player's 2 s sound buffer
constexpr uint32_t kNotifyStep = kSoundBuffer / 4;
constexpr uint32_t kWaitMs = 60000;

// ---- Recordings ----

// A V30 stream of the small clip with one A-law block after every video
// frame, and one video frame more at the end: once the parser has handed
// that one out, every audio block has been through the player.
struct SoundRecording {
    std::vector<uint8_t> bytes;               // file header first
    std::vector<std::vector<uint8_t>> blocks; // input blocks after the header, one per frame
    std::vector<uint8_t> pcm;                 // the audio decoded, in order
    uint32_t dwFrames = 0;
};

std::vector<uint8_t> DecodeAlaw(const std::vector<uint8_t> &payload) {
    CBaseAudioCodec *pCodec = nullptr;
    EXPECT_EQ(CreateAudioCodec(ADEC_CODEC_G711_ALAW, &pCodec), ADEC_OK);
    std::vector<uint8_t> pcm(payload.size() * 2);
    ADEC_OUTPUT out{};
    out.dwSize = ADEC_OUTPUT_SIZE;
    out.pBuffer = pcm.data();
    out.dwBufferSize = uint32_t(pcm.size());
    EXPECT_EQ(DecodeAudioFrame(pCodec, payload.data(), uint32_t(payload.size()), &out), ADEC_OK);
    EXPECT_EQ(out.dwBufferSize, uint32_t(pcm.size()));
    DestroyAudioCodec(pCodec);
    return pcm;
}

SoundRecording MakeSoundRecording(uint32_t audioBlocks) {
    SoundRecording r;
    const std::vector<std::vector<uint8_t>> units = LoadAccessUnits("h264_352x288_baseline_cavlc.264");
    EXPECT_FALSE(units.empty());
    if (units.empty())
        return r;
    r.bytes = V30FileHeader();
    std::mt19937 rng(20120304);
    auto append = [&r](const V30FrameFields &fields) {
        const size_t start = r.bytes.size();
        AppendV30Frame(r.bytes, fields);
        r.blocks.emplace_back(r.bytes.begin() + static_cast<ptrdiff_t>(start), r.bytes.end());
        ++r.dwFrames;
    };
    for (uint32_t i = 0; i <= audioBlocks; ++i) {
        const std::vector<uint8_t> &unit = units[i % units.size()];
        V30FrameFields video;
        video.byKind = IsKeyAccessUnit(unit) ? 1 : 2;
        video.wWidth = 352;
        video.wHeight = 288;
        video.wMilliseconds = uint16_t(i * 40 % 1000);
        video.dwSequence = i;
        video.dwTimestamp = 1000 + i * 40;
        video.llTime = 1330819509 + i * 40 / 1000;
        video.byChecksumSpan = 8;
        video.payload = unit;
        append(video);
        if (i == audioBlocks)
            break;
        // Any byte is an A-law code: noise, different in every block.
        V30FrameFields audio;
        audio.byKind = 0;
        audio.byCodecCode = uint8_t(DEMUX_CODEC_G711_ALAW - DEMUX_CODEC_PCM8);
        audio.byChecksumSpan = 8;
        audio.payload.resize(kAlawBlock);
        for (uint8_t &b : audio.payload)
            b = uint8_t(rng());
        append(audio);
        const std::vector<uint8_t> pcm = DecodeAlaw(audio.payload);
        r.pcm.insert(r.pcm.end(), pcm.begin(), pcm.end());
    }
    return r;
}

// ---- The player's sound output ----

// Runs f on the player's sound output (null before the player made one)
// under the player lock, as the player's own calls on it are made.
class CSoundOf : public CBasePlayMode {
public:
    template <typename F> static auto Run(PLAY_HANDLE h, F f) {
        CBasePlayMode *pPlayer = reinterpret_cast<CBasePlayMode *>(h);
        platform::CLockGuard guard(pPlayer->*(&CSoundOf::m_lock));
        return f(pPlayer->*(&CSoundOf::m_pSound));
    }
};

bool HasSoundOutput(PLAY_HANDLE h) {
    return CSoundOf::Run(h, [](CSoundManager *p) { return p != nullptr; });
}

uint64_t WrittenBytes(PLAY_HANDLE h) {
    return CSoundOf::Run(h, [](CSoundManager *p) { return p ? p->WrittenBytes() : 0; });
}

SOUND_STATUS SoundStatus(PLAY_HANDLE h) {
    SOUND_STATUS status;
    std::memset(&status, 0xCD, sizeof(status));
    uint32_t size = sizeof(status);
    EXPECT_EQ(PlayApi_GetAttribute(h, PLAY_ATTRIBUTE_SOUND_STATUS, &status, &size), PLAY_OK);
    EXPECT_EQ(size, SOUND_STATUS_SIZE);
    EXPECT_EQ(status.dwSize, SOUND_STATUS_SIZE);
    return status;
}

// ---- The output device ----

#ifndef _WIN32
// The device the players are opened on: an ALSA file device, named for its
// GUID in a configuration of the test's own, that keeps every byte played.
constexpr GUID kFileDevice = {0x51A7E0F1, 0x2B3C, 0x4D5E, {0x6F, 0x70, 0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6}};
constexpr const GUID *kDevice = &kFileDevice;
#else
constexpr const GUID *kDevice = nullptr; // DirectSound's default
#endif

class PlayerSound : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef _WIN32
        // ALSA reads its configuration again when the path changes, so each
        // test writes into a file of its own.
        m_output = m_dir.File("played.raw");
        const std::filesystem::path config = m_dir.File("alsa.conf");
        const std::string text = "pcm.!default {\n    type null\n}\n"
                                 "pcm.\"" +
                                 SoundDeviceName(&kFileDevice) +
                                 "\" {\n    type file\n    slave.pcm {\n        type null\n    }\n"
                                 "    file \"" +
                                 m_output.string() + "\"\n    format \"raw\"\n}\n";
        ASSERT_TRUE(FixtureWriteFile(config.string(), std::vector<uint8_t>(text.begin(), text.end())));
        if (const char *previous = std::getenv("ALSA_CONFIG_PATH")) {
            m_bHadConfig = true;
            m_previousConfig = previous;
        }
        setenv("ALSA_CONFIG_PATH", config.string().c_str(), 1);
#endif
    }

    void TearDown() override {
        m_player.Reset();
#ifndef _WIN32
        if (m_bHadConfig)
            setenv("ALSA_CONFIG_PATH", m_previousConfig.c_str(), 1);
        else
            unsetenv("ALSA_CONFIG_PATH");
#endif
    }

    static int32_t QV_CALL CountParsed(PLAY_HANDLE, FrameRecord *, void *pContext) {
        ++*static_cast<std::atomic<uint32_t> *>(pContext);
        return 0;
    }

    // A playing player on the test's device with the given flags (audio
    // decoding and sound added), volume and speed: a stream player fed by
    // Feed, or a file player of the whole recording.
    void Open(const SoundRecording &r, uint32_t dwFlags, uint32_t dwVolume = SOUND_VOLUME_MAX,
              float fSpeed = 1.0f, bool bFile = false) {
        m_parsed = 0;
        m_maxQueued = 0;
        if (bFile) {
            const std::vector<QV_WCHAR> path = filetest::WidePath(m_dir.Write("sound.rec", r.bytes));
            PLAY_CREATE_PARAM p = filetest::FileParam(path.data());
            p.pSoundDevice = kDevice;
            ASSERT_EQ(PlayApi_CreateW(m_player.Out(), &p), PLAY_OK);
        } else {
            PLAY_CREATE_PARAM p = StreamParam(r.bytes.data(), kV30HeaderSize);
            p.pSoundDevice = kDevice;
            ASSERT_EQ(PlayApi_CreateW(m_player.Out(), &p), PLAY_OK);
        }
        const PLAY_HANDLE h = m_player.Get();
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND | dwFlags),
                  PLAY_OK);
        ASSERT_EQ(SetU32(h, PLAY_CONTROL_VOLUME, dwVolume), PLAY_OK);
        ASSERT_EQ(SetFloat(h, PLAY_CONTROL_SPEED, fSpeed), PLAY_OK);
        PLAY_CALLBACK_PARAM cb{};
        cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountParsed);
        cb.pContext = &m_parsed;
        ASSERT_EQ(
            PlayApi_RegisterCallbackFunction(h, PLAY_CALLBACK_STREAM_PARSE, &cb, PLAY_CALLBACK_PARAM_SIZE),
            PLAY_OK);
        ASSERT_EQ(Action(h, PLAY_ACTION_PLAY_FORWARD), PLAY_OK);
    }

    // Feeds blocks [from, to) and waits until the player has taken them all.
    // The parser's queue is kept short: far behind, a live player skips
    // ahead, and that is not what these tests look at. Records the fullest
    // sound buffer seen meanwhile.
    void Feed(const SoundRecording &r, uint32_t from, uint32_t to) {
        const PLAY_HANDLE h = m_player.Get();
        for (uint32_t i = from; i < to; ++i) {
            ASSERT_TRUE(WaitUntil(
                [&] {
                    m_maxQueued = std::max(m_maxQueued, SoundStatus(h).dwQueuedBytes);
                    return AttrU32(h, PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT) < 40;
                },
                kWaitMs))
                << "the player took no frame for a long time, at frame " << i;
            ASSERT_EQ(PlayApi_InputData(h, r.blocks[i].data(), uint32_t(r.blocks[i].size())), PLAY_OK);
        }
        Taken(to);
    }

    // Waits until the player has taken frames [0, to).
    void Taken(uint32_t to) {
        const PLAY_HANDLE h = m_player.Get();
        ASSERT_TRUE(WaitUntil(
            [&] {
                m_maxQueued = std::max(m_maxQueued, SoundStatus(h).dwQueuedBytes);
                return m_parsed.load() >= to;
            },
            kWaitMs))
            << m_parsed.load() << " of " << to << " frames taken";
    }

    // Natively: waits until the output has played what it has and stopped,
    // releases the player (which closes the device) and returns the bytes
    // that reached the device. Empty where they cannot be read back.
    std::vector<uint8_t> Played(uint32_t limitMs = kWaitMs) {
#ifndef _WIN32
        if (limitMs) {
            EXPECT_TRUE(WaitUntil([&] { return SoundStatus(m_player.Get()).bPlaying == 0; }, limitMs))
                << "the sound output never ran dry";
        }
        m_player.Reset();
        return FixtureReadFile(m_output.string());
#else
        static_cast<void>(limitMs);
        m_player.Reset();
        return {};
#endif
    }

    CTempDir m_dir;
    std::filesystem::path m_output;
    bool m_bHadConfig = false;
    std::string m_previousConfig;
    CPlayer m_player;
    std::atomic<uint32_t> m_parsed{0};
    uint32_t m_maxQueued = 0;
};

constexpr bool kOutputReadable =
#ifndef _WIN32
    true;
#else
    false;
#endif

// Which expected blocks the played bytes hold, in the order they were
// played: leading silence is skipped, and the walk ends at the first block
// that is not a later block of the expectation (what the device played after
// the data ran out). *pTail receives the bytes left after the walk.
std::vector<uint32_t> PlayedBlocks(const std::vector<uint8_t> &played, const std::vector<uint8_t> &expected,
                                   size_t *pTail) {
    std::vector<uint32_t> order;
    const size_t blocks = expected.size() / kPcmBlock;
    auto blockAt = [&](size_t offset, size_t from) -> size_t {
        for (size_t b = from; b < blocks; ++b)
            if (std::memcmp(played.data() + offset, expected.data() + b * kPcmBlock, kPcmBlock) == 0)
                return b;
        return blocks;
    };
    // Silence up to the first block (whose own first samples may be zero).
    size_t at = 0;
    while (at + kPcmBlock <= played.size() && played[at] == 0 && played[at + 1] == 0 &&
           blockAt(at, 0) == blocks)
        at += 2;
    size_t next = 0;
    while (at + kPcmBlock <= played.size()) {
        const size_t b = blockAt(at, next);
        if (b == blocks)
            break;
        order.push_back(uint32_t(b));
        next = b + 1;
        at += kPcmBlock;
    }
    *pTail = played.size() - at;
    return order;
}

std::vector<uint32_t> AllBlocks(size_t count) {
    std::vector<uint32_t> all(count);
    for (size_t i = 0; i < count; ++i)
        all[i] = uint32_t(i);
    return all;
}

// ---- Order, and the hold on a full buffer ----

// Twice the buffer and more: the player gets ahead of the output and finds
// the buffer full many times over. The data ends off the quarter marks of
// the buffer (see OutputStopsWhenTheAudioEndsOnAQuarterMark).
constexpr uint32_t kLongAudio = 76;

TEST_F(PlayerSound, AudioReachesTheOutputInOrder) {
    const SoundRecording r = MakeSoundRecording(kLongAudio);
    ASSERT_EQ(r.pcm.size(), size_t(kLongAudio) * kPcmBlock);
    for (bool bFile : {false, true}) {
        SCOPED_TRACE(bFile ? "file player" : "stream player");
        ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC, SOUND_VOLUME_MAX, 1.0f, bFile));
        if (bFile)
            ASSERT_NO_FATAL_FAILURE(Taken(r.dwFrames));
        else
            ASSERT_NO_FATAL_FAILURE(Feed(r, 0, r.dwFrames));
        // Every block went in once: a block refused by the full buffer was
        // offered again until taken.
        EXPECT_EQ(WrittenBytes(m_player.Get()), r.pcm.size());
        EXPECT_GE(m_maxQueued, kSoundBuffer - kNotifyStep - 6 * kPcmBlock) << "the buffer never filled";

        const std::vector<uint8_t> played = Played();
        if (!kOutputReadable)
            continue;
        size_t tail = 0;
        EXPECT_EQ(PlayedBlocks(played, r.pcm, &tail), AllBlocks(kLongAudio));
        // After the data the device replays what its buffer still holds
        // until the output notices at the next quarter.
        EXPECT_LE(tail, size_t(kNotifyStep) + 2 * kPcmBlock);
    }
}

TEST_F(PlayerSound, WithoutSoundSyncAFullBufferDropsWholeBlocks) {
    const SoundRecording r = MakeSoundRecording(kLongAudio);
    ASSERT_NO_FATAL_FAILURE(Open(r, 0));
    ASSERT_NO_FATAL_FAILURE(Feed(r, 0, r.dwFrames));
    // The output plays in real time at most; the player offers all of it at
    // once and drops what does not fit.
    const uint64_t written = WrittenBytes(m_player.Get());
    EXPECT_LT(written, r.pcm.size());
    EXPECT_EQ(written % kPcmBlock, 0u);
    EXPECT_GE(written, uint64_t(kSoundBuffer - kNotifyStep - kPcmBlock)) << "the buffer never filled";

    const std::vector<uint8_t> played = Played();
    if (!kOutputReadable)
        return;
    // What was taken is played in order, each block whole and once.
    size_t tail = 0;
    const std::vector<uint32_t> order = PlayedBlocks(played, r.pcm, &tail);
    EXPECT_EQ(order.size(), written / kPcmBlock);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), 0u);
    EXPECT_LE(tail, size_t(kNotifyStep) + 2 * kPcmBlock);
}

TEST_F(PlayerSound, OutputStopsWhenTheAudioEndsOnAQuarterMark) {
    // Where the written data ends in the buffer: 25 blocks end at half of
    // it, 50 at its start (both quarter marks, where the output looks at
    // the play cursor), 37 between two marks.
    for (uint32_t blocks : {25u, 50u, 37u}) {
        SCOPED_TRACE(blocks);
        const SoundRecording r = MakeSoundRecording(blocks);
        ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC));
        ASSERT_NO_FATAL_FAILURE(Feed(r, 0, r.dwFrames));
        ASSERT_EQ(WrittenBytes(m_player.Get()), r.pcm.size());
        // Once the data has played the output stops rather than play the
        // rest of its buffer over and over.
        EXPECT_TRUE(WaitUntil([&] { return SoundStatus(m_player.Get()).bPlaying == 0; }, 20000))
            << "still playing long after the data ran out";
        const std::vector<uint8_t> played = Played(0);
        if (!kOutputReadable)
            continue;
        size_t tail = 0;
        EXPECT_EQ(PlayedBlocks(played, r.pcm, &tail), AllBlocks(blocks));
        EXPECT_LE(tail, size_t(kNotifyStep) + 2 * kPcmBlock);
    }
}

// ---- Volume ----

struct VolumeCase {
    uint32_t dwVolume;   // as given to the player
    uint32_t dwExpected; // as the player and the output keep it
};

TEST_F(PlayerSound, VolumeReachesTheOutput) {
    const SoundRecording r = MakeSoundRecording(30);
    // Set before the output exists: it is created with it.
    ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC, 6553));
    ASSERT_NO_FATAL_FAILURE(Feed(r, 0, 24));
    ASSERT_TRUE(WaitUntil([&] { return HasSoundOutput(m_player.Get()); }, kWaitMs));
    EXPECT_EQ(CSoundOf::Run(m_player.Get(), [](CSoundManager *p) { return p->Volume(); }), 6553u);

    const VolumeCase cases[] = {{0, 0}, {655, 655}, {65535, 65535}, {70000, 65535}, {32768, 32768}, {1, 1}};
    for (const VolumeCase &c : cases) {
        SCOPED_TRACE(c.dwVolume);
        ASSERT_EQ(SetU32(m_player.Get(), PLAY_CONTROL_VOLUME, c.dwVolume), PLAY_OK);
        EXPECT_EQ(AttrU32(m_player.Get(), PLAY_ATTRIBUTE_VOLUME), c.dwExpected);
        EXPECT_EQ(CSoundOf::Run(m_player.Get(), [](CSoundManager *p) { return p->Volume(); }), c.dwExpected);
    }
    ASSERT_NO_FATAL_FAILURE(Feed(r, 24, r.dwFrames));
    EXPECT_EQ(WrittenBytes(m_player.Get()), r.pcm.size());
}

TEST_F(PlayerSound, VolumeScalesWhatIsPlayed) {
    if (!kOutputReadable)
        GTEST_SKIP() << "the played samples cannot be read back here";
    const SoundRecording r = MakeSoundRecording(20);
    const uint32_t volumes[] = {SOUND_VOLUME_MAX, 6553, 0};
    for (uint32_t volume : volumes) {
        SCOPED_TRACE(volume);
        ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC, volume));
        ASSERT_NO_FATAL_FAILURE(Feed(r, 0, r.dwFrames));
        ASSERT_EQ(WrittenBytes(m_player.Get()), r.pcm.size());
        const std::vector<uint8_t> played = Played();

        std::vector<uint8_t> expected = r.pcm;
        ApplySoundGain(expected.data(), uint32_t(expected.size()), 16,
                       SoundAttenuationToGain(SoundVolumeToAttenuation(volume)));
        if (volume == 0) {
            // Silence: as many bytes as the data, all zero.
            EXPECT_GE(played.size(), expected.size());
            EXPECT_EQ(std::count(played.begin(), played.end(), uint8_t(0)), std::ptrdiff_t(played.size()));
            continue;
        }
        size_t tail = 0;
        EXPECT_EQ(PlayedBlocks(played, expected, &tail), AllBlocks(20));
        // On the output's scale 6553 is a tenth: 10 dB down, an amplitude
        // of about 0.316.
        auto peak = [](const std::vector<uint8_t> &pcm) {
            int peak = 0;
            for (size_t i = 0; i + 1 < pcm.size(); i += 2)
                peak = std::max(peak, std::abs(int(int16_t(pcm[i] | pcm[i + 1] << 8))));
            return peak;
        };
        const double ratio = double(peak(played)) / peak(r.pcm);
        EXPECT_NEAR(ratio, volume == SOUND_VOLUME_MAX ? 1.0 : 0.316, 0.01);
    }
}

// ---- Speed ----

struct SpeedCase {
    float fSpeed;
    bool bPlays;          // within the output's range
    uint32_t dwFrequency; // the output's rate then
};

TEST_F(PlayerSound, SpeedReachesTheOutputOrStopsIt) {
    const SoundRecording r = MakeSoundRecording(120);
    ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC, 0));
    // Before the first audio there is no output, and its status is empty.
    const SOUND_STATUS none = SoundStatus(m_player.Get());
    EXPECT_EQ(none.bPlaying, 0u);
    EXPECT_EQ(none.dwQueuedBytes, 0u);
    EXPECT_EQ(none.dwQueuedTime, 0u);
    EXPECT_FALSE(HasSoundOutput(m_player.Get()));

    uint32_t next = 0;
    auto feed = [&](uint32_t frames) {
        ASSERT_NO_FATAL_FAILURE(Feed(r, next, std::min(next + frames, r.dwFrames)));
        next = std::min(next + frames, r.dwFrames);
    };
    feed(24); // past the start threshold
    ASSERT_TRUE(HasSoundOutput(m_player.Get()));

    const SpeedCase cases[] = {
        {1.5f, true, 12000},  {2.0f, true, 16000}, {0.5f, true, 4000},  {0.25f, false, 0},
        {1.25f, true, 10000}, {2.5f, false, 0},    {0.75f, true, 6000}, {64.0f, false, 0},
        {1.0f, true, 8000},   {0.49f, false, 0},   {2.01f, false, 0},   {1.0f, true, 8000},
    };
    float lastPlaying = 1.0f;
    int stoppedWithData = 0;
    for (const SpeedCase &c : cases) {
        SCOPED_TRACE(c.fSpeed);
        if (!c.bPlays && SoundStatus(m_player.Get()).dwQueuedBytes > 0)
            ++stoppedWithData;
        ASSERT_EQ(SetFloat(m_player.Get(), PLAY_CONTROL_SPEED, c.fSpeed), PLAY_OK);
        EXPECT_EQ(AttrFloat(m_player.Get(), PLAY_ATTRIBUTE_SPEED), c.fSpeed);
        const uint64_t before = WrittenBytes(m_player.Get());
        if (c.bPlays) {
            uint32_t frequency = 0;
            EXPECT_EQ(
                CSoundOf::Run(m_player.Get(), [&](CSoundManager *p) { return p->GetFrequency(&frequency); }),
                SOUND_OK);
            EXPECT_EQ(frequency, c.dwFrequency);
            EXPECT_EQ(CSoundOf::Run(m_player.Get(), [](CSoundManager *p) { return p->Speed(); }), c.fSpeed);
            lastPlaying = c.fSpeed;
            // The audio goes on: more of it reaches the output (enough to
            // start it again after a stop).
            ASSERT_NO_FATAL_FAILURE(feed(20));
            EXPECT_GT(WrittenBytes(m_player.Get()), before);
        } else {
            // Stopped and emptied at once, and kept so: no audio is passed
            // at this speed. The output keeps the last speed it was given.
            SOUND_STATUS status = SoundStatus(m_player.Get());
            EXPECT_EQ(status.bPlaying, 0u);
            EXPECT_EQ(status.dwQueuedBytes, 0u);
            ASSERT_NO_FATAL_FAILURE(feed(6));
            status = SoundStatus(m_player.Get());
            EXPECT_EQ(status.bPlaying, 0u);
            EXPECT_EQ(status.dwQueuedBytes, 0u);
            EXPECT_EQ(WrittenBytes(m_player.Get()), before);
            EXPECT_EQ(CSoundOf::Run(m_player.Get(), [](CSoundManager *p) { return p->Speed(); }),
                      lastPlaying);
        }
    }
    // At least one stop found data to throw away.
    EXPECT_GT(stoppedWithData, 0);
}

TEST_F(PlayerSound, SpeedBeforeTheFirstAudio) {
    // Within the range: the output is made at that speed.
    {
        const SoundRecording r = MakeSoundRecording(12);
        ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC, 0, 1.5f));
        ASSERT_NO_FATAL_FAILURE(Feed(r, 0, r.dwFrames));
        ASSERT_TRUE(HasSoundOutput(m_player.Get()));
        uint32_t frequency = 0;
        EXPECT_EQ(
            CSoundOf::Run(m_player.Get(), [&](CSoundManager *p) { return p->GetFrequency(&frequency); }),
            SOUND_OK);
        EXPECT_EQ(frequency, 12000u);
        EXPECT_EQ(CSoundOf::Run(m_player.Get(), [](CSoundManager *p) { return p->Speed(); }), 1.5f);
        EXPECT_EQ(WrittenBytes(m_player.Get()), r.pcm.size());
        m_player.Reset();
    }
    // Outside it: no output is made while the audio goes by; back within
    // the range the next audio makes it.
    {
        const SoundRecording r = MakeSoundRecording(20);
        ASSERT_NO_FATAL_FAILURE(Open(r, PLAY_ENABLE_SOUND_SYNC, 0, 4.0f));
        ASSERT_NO_FATAL_FAILURE(Feed(r, 0, 20));
        EXPECT_FALSE(HasSoundOutput(m_player.Get()));
        const SOUND_STATUS status = SoundStatus(m_player.Get());
        EXPECT_EQ(status.bPlaying, 0u);
        EXPECT_EQ(status.dwQueuedBytes, 0u);
        ASSERT_EQ(SetFloat(m_player.Get(), PLAY_CONTROL_SPEED, 1.0f), PLAY_OK);
        ASSERT_NO_FATAL_FAILURE(Feed(r, 20, r.dwFrames));
        ASSERT_TRUE(HasSoundOutput(m_player.Get()));
        // Blocks 10 to 19 came after the speed change.
        EXPECT_EQ(WrittenBytes(m_player.Get()), uint64_t(10) * kPcmBlock);
    }
}

} // namespace
