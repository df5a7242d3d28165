// Helpers of the file player tests: recordings of every container generation
// written to a temporary folder, file players opened through the core API or
// as a subclass that logs every frame it is asked to render, callback logs,
// and waiting on the player without sleeping blindly.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "core/filemode.h"
#include "core/filemode6000.h"
#include "fixtures/fixture15.h"
#include "fixtures/fixture6000.h"
#include "fixtures/fixturev10.h"
#include "platform/thread.h"
#include "platform/timers.h"
#include "player_test_util.h"

namespace filetest {

using playtest::Action;
using playtest::AttrFloat;
using playtest::AttrU32;
using playtest::AttrU64;
using playtest::CPlayer;
using playtest::PictureMd5;
using playtest::SetFloat;
using playtest::SetU32;

// Generous: the sanitizers and wine run many times slower than a plain build.
constexpr uint32_t kWaitMs = 20000;

// Polls every 5 ms until done() holds; false when it still does not after
// timeoutMs.
inline bool WaitUntil(const std::function<bool()> &done, uint32_t timeoutMs = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return done();
        platform::SleepMs(5);
    }
}

// ---- Files ----

// A folder of its own for each test, removed with everything in it at the
// end of the test.
class CTempDir {
public:
    CTempDir() {
        static std::atomic<uint32_t> serial{0};
        std::string name = "qv_filetest";
        if (const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info())
            name += std::string("_") + info->test_suite_name() + "_" + info->name();
        for (char &c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
                c = '_';
        name += "_" + std::to_string(platform::CThread::CurrentThreadId()) + "_" +
                std::to_string(uint64_t(platform::QueryCounter()) % 1000000007u) + "_" +
                std::to_string(++serial);
        std::error_code ec;
        std::filesystem::path base = std::filesystem::temp_directory_path(ec);
        if (ec)
            base = std::filesystem::current_path();
        m_dir = base / name;
        std::filesystem::create_directories(m_dir, ec);
        EXPECT_FALSE(ec) << "cannot create " << m_dir.string();
    }
    ~CTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    CTempDir(const CTempDir &) = delete;
    CTempDir &operator=(const CTempDir &) = delete;

    std::filesystem::path File(const std::string &name) const { return m_dir / name; }
    // Writes the bytes to a file of the folder and returns its path.
    std::filesystem::path Write(const std::string &name, const std::vector<uint8_t> &bytes) const {
        const std::filesystem::path path = File(name);
        EXPECT_TRUE(FixtureWriteFile(path.string(), bytes)) << path.string();
        return path;
    }

private:
    std::filesystem::path m_dir;
};

// The zero-terminated UTF-16 path a file player is opened with. Under wine a
// Unix path is reached through drive Z:.
inline std::vector<QV_WCHAR> WidePath(const std::filesystem::path &path) {
#ifdef _WIN32
    std::wstring s = path.wstring();
    if (!s.empty() && s[0] == L'/')
        s = L"Z:" + s;
#else
    const std::u16string s = path.u16string();
#endif
    std::vector<QV_WCHAR> wide(s.begin(), s.end());
    wide.push_back(0);
    return wide;
}

inline PLAY_CREATE_PARAM FileParam(const QV_WCHAR *pPath) {
    PLAY_CREATE_PARAM p{};
    p.dwSize = PLAY_CREATE_PARAM_SIZE;
    p.dwType = PLAY_MODE_FILE;
    p.pSource = pPath;
    return p;
}

// Play_CreateW of a file: the player the factory chooses.
inline int32_t OpenFile(CPlayer &player, const std::filesystem::path &path) {
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const PLAY_CREATE_PARAM p = FileParam(wide.data());
    return PlayApi_CreateW(player.Out(), &p);
}

inline CFileMode *FileModeOf(PLAY_HANDLE h) {
    return static_cast<CFileMode *>(reinterpret_cast<CBasePlayMode *>(h));
}

// ---- Recordings of each generation ----

enum class Gen { V30, V20, G15, V10, G6000 };

inline const char *GenName(Gen gen) {
    switch (gen) {
    case Gen::V30:
        return "V30";
    case Gen::V20:
        return "V20";
    case Gen::G15:
        return "15";
    case Gen::V10:
        return "V10";
    case Gen::G6000:
        return "6000";
    }
    return "?";
}

inline uint32_t GenerationCode(Gen gen) {
    switch (gen) {
    case Gen::V30:
        return DEMUX_GENERATION_V30;
    case Gen::V20:
        return DEMUX_GENERATION_V20;
    case Gen::G15:
        return DEMUX_GENERATION_15;
    case Gen::V10:
        return DEMUX_GENERATION_V10;
    case Gen::G6000:
        return DEMUX_GENERATION_6000;
    }
    return 0;
}

// Whether the video of the generation is H.264 that this build decodes (the
// 15 and 6000 generations carry a codec without a decoder here).
inline bool GenDecodes(Gen gen) {
    return gen == Gen::V30 || gen == Gen::V20 || gen == Gen::V10;
}

constexpr const char *kSmallClip = "h264_352x288_baseline_cavlc.264";
constexpr const char *kBFrameClip = "h264_704x576_high_cabac.264";
constexpr uint32_t kGroup = 25; // frames per key frame in every clip

struct ClipSize {
    uint16_t wWidth, wHeight;
};

inline ClipSize SizeOf(const char *clip) {
    const std::string name(clip);
    if (name.find("704x576") != std::string::npos)
        return {704, 576};
    if (name.find("704x288") != std::string::npos)
        return {704, 288};
    if (name.find("1920x1080") != std::string::npos)
        return {1920, 1080};
    return {352, 288};
}

struct FileRecording {
    Gen gen = Gen::V30;
    const char *clip = kSmallClip;
    std::vector<uint8_t> bytes;
    std::vector<FixtureFrame> frames; // every frame written, in file order

    std::vector<const FixtureFrame *> Delivered() const {
        std::vector<const FixtureFrame *> v;
        for (const FixtureFrame &f : frames)
            if (f.bDelivered)
                v.push_back(&f);
        return v;
    }
    std::vector<const FixtureFrame *> Video() const {
        std::vector<const FixtureFrame *> v;
        for (const FixtureFrame &f : frames)
            if (f.bDelivered && f.nType != DEMUX_FRAME_AUDIO)
                v.push_back(&f);
        return v;
    }
    std::vector<const FixtureFrame *> Keys() const {
        std::vector<const FixtureFrame *> v;
        for (const FixtureFrame &f : frames)
            if (f.bDelivered && f.nType == DEMUX_FRAME_I)
                v.push_back(&f);
        return v;
    }
    // The first key frame at or after a file offset; null when none.
    const FixtureFrame *KeyAtOrAfter(uint64_t offset) const {
        for (const FixtureFrame &f : frames)
            if (f.bDelivered && f.nType == DEMUX_FRAME_I && f.ullOffset >= offset)
                return &f;
        return nullptr;
    }
    // What the index must report: from the first key frame to the last
    // video frame delivered.
    uint32_t Duration() const { return Video().back()->dwTimestamp - Keys().front()->dwTimestamp; }
    uint32_t FrameCount() const { return Video().back()->dwSequence - Keys().front()->dwSequence + 1; }
    // The video frame with this index counted from the first.
    const FixtureFrame *VideoAt(uint32_t index) const {
        for (const FixtureFrame *f : Video())
            if (f->dwSequence - Keys().front()->dwSequence == index)
                return f;
        return nullptr;
    }
};

// A recording of videoFrames frames of the clip (repeated as needed), with
// one audio frame after each video frame when audio is asked for.
inline FileRecording MakeFile(Gen gen, uint32_t videoFrames, bool audio = true, const char *clip = kSmallClip,
                              uint32_t frameIntervalMs = 40) {
    FileRecording r;
    r.gen = gen;
    r.clip = clip;
    const ClipSize size = SizeOf(clip);
    switch (gen) {
    case Gen::V30: {
        V30Options o;
        o.videoSample = clip;
        o.wWidth = size.wWidth;
        o.wHeight = size.wHeight;
        o.dwVideoFrames = videoFrames;
        o.dwAudioCodec = audio ? DEMUX_CODEC_G711_ALAW : 0;
        o.dwFrameInterval = frameIntervalMs;
        r.bytes = WriteV30(o, &r.frames);
        break;
    }
    case Gen::V20: {
        V20Options o;
        o.videoSample = clip;
        o.wWidth = size.wWidth;
        o.wHeight = size.wHeight;
        o.dwVideoFrames = videoFrames;
        o.dwAudioCodec = audio ? DEMUX_CODEC_G711_ALAW : 0;
        r.bytes = WriteV20(o, &r.frames);
        break;
    }
    case Gen::G15: {
        Options15 o;
        o.videoSample = clip;
        o.header.wWidth = size.wWidth;
        o.header.wHeight = size.wHeight;
        o.dwVideoFrames = videoFrames;
        o.bAudio = audio;
        r.bytes = Write15(o, &r.frames);
        break;
    }
    case Gen::V10: {
        V10Options o;
        o.videoSample = clip;
        o.wWidth = size.wWidth;
        o.wHeight = size.wHeight;
        o.dwVideoFrames = videoFrames;
        o.dwAudioCodec = audio ? DEMUX_CODEC_G711_ALAW : 0;
        o.dwFrameInterval = frameIntervalMs;
        r.bytes = WriteV10(o, &r.frames);
        break;
    }
    case Gen::G6000: {
        Options6000 o;
        o.videoSample = clip;
        o.dwVideoFrames = videoFrames;
        o.dwAudioPerVideo = audio ? 1 : 0;
        r.bytes = Write6000(o, &r.frames);
        break;
    }
    }
    return r;
}

// ---- What the player renders ----

struct Shown {
    uint32_t dwSequence;
    uint32_t dwTimestamp;
    int32_t nType;
    bool bPicture;
    std::string md5; // of the picture, when there is one
};

class CRenderLog {
public:
    void Add(const Shown &s) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_shown.push_back(s);
    }
    std::vector<Shown> Get() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_shown;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_shown.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_shown.clear();
    }
    std::vector<uint32_t> Sequences() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<uint32_t> v;
        for (const Shown &s : m_shown)
            v.push_back(s.dwSequence);
        return v;
    }
    bool Empty() { return Count() == 0; }
    // Audio frames rendered (not logged one by one).
    void AddAudio() { m_audio++; }
    int Audio() const { return m_audio.load(); }
    void ClearAudio() { m_audio = 0; }
    Shown Last() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_shown.empty() ? Shown{~0u, 0, 0, false, ""} : m_shown.back();
    }

private:
    std::mutex m_lock;
    std::vector<Shown> m_shown;
    std::atomic<int> m_audio{0};
};

// A file player that logs every video frame that it renders (that is, that
// it hands on for display, whether a display exists or not), with the
// picture's checksum.
template <class Base> class CLoggedMode final : public Base {
public:
    explicit CLoggedMode(CRenderLog *pLog) : m_pLog(pLog) {}
    // The player's threads call the operations overridden here: they stop
    // before this part of the object goes.
    ~CLoggedMode() override { Base::Close(); }

    int32_t RenderFrame(PLAY_FRAME *pFrame) override {
        const FrameRecord *pRecord = pFrame->pFrame;
        if (pRecord != nullptr && pRecord->nType == DEMUX_FRAME_AUDIO)
            m_pLog->AddAudio();
        if (pRecord == nullptr || !CBasePlayMode::IsVideoType(pRecord->nType))
            return Base::RenderFrame(pFrame);
        Shown s{pRecord->dwSequence, pRecord->dwTimestamp, pRecord->nType, false, ""};
        const DecodedPicture &pic = pFrame->output.picture;
        if (pic.pBuffer != nullptr && pic.dwBufferSize > 0) {
            s.bPicture = true;
            s.md5 = PictureMd5(pic);
        }
        const int32_t nResult = Base::RenderFrame(pFrame);
        // A busy display has the frame offered again: count it once.
        if (nResult != PLAY_E_NOT_READY)
            m_pLog->Add(s);
        return nResult;
    }

private:
    CRenderLog *m_pLog;
};

// Opens the file with a logging player of the class that Play_CreateW would
// choose for the generation.
inline int32_t OpenLogged(CPlayer &player, const std::filesystem::path &path, CRenderLog *pLog,
                          bool b6000 = false) {
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const PLAY_CREATE_PARAM p = FileParam(wide.data());
    CBasePlayMode *pMode = b6000 ? static_cast<CBasePlayMode *>(new CLoggedMode<CFileMode6000>(pLog))
                                 : static_cast<CBasePlayMode *>(new CLoggedMode<CFileMode>(pLog));
    const int32_t nResult = pMode->Open(&p);
    if (nResult < 0) {
        delete pMode;
        return nResult;
    }
    *player.Out() = pMode->Handle();
    return nResult;
}

// ---- Callbacks ----

struct Parsed {
    int32_t nType;
    uint32_t dwSequence;
    uint32_t dwTimestamp;
    uint32_t dwPayloadLength;
    uint64_t ullOffset;
};

class CParseLog {
public:
    void Add(const FrameRecord *f) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_frames.push_back({f->nType, f->dwSequence, f->dwTimestamp, f->dwPayloadLength, f->ullFileOffset});
    }
    std::vector<Parsed> Get() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames;
    }
    size_t Count() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_frames.size();
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_frames.clear();
    }

private:
    std::mutex m_lock;
    std::vector<Parsed> m_frames;
};

inline int32_t QV_CALL LogParsed(PLAY_HANDLE, FrameRecord *pFrame, void *pContext) {
    static_cast<CParseLog *>(pContext)->Add(pFrame);
    return 0;
}

// Counts the calls of a notification (index completed, file ended) and
// remembers the handle and thread they came with.
struct CNotifyCount {
    std::atomic<int> count{0};
    std::atomic<PLAY_HANDLE> handle{nullptr};
    std::atomic<uint32_t> thread{0};
};

inline int32_t QV_CALL CountNotify(PLAY_HANDLE h, void *pContext) {
    CNotifyCount *n = static_cast<CNotifyCount *>(pContext);
    n->handle = h;
    n->thread = platform::CThread::CurrentThreadId();
    n->count++;
    return 0;
}

inline int32_t RegisterCallback(PLAY_HANDLE h, uint32_t kind, PLAY_CALLBACK_FUNCTION fn, void *ctx,
                                uint32_t param = 0) {
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = fn;
    cb.pContext = ctx;
    cb.dwParam = param;
    return PlayApi_RegisterCallbackFunction(h, kind, &cb, PLAY_CALLBACK_PARAM_SIZE);
}

inline int32_t OnParse(PLAY_HANDLE h, CParseLog *log) {
    return RegisterCallback(h, PLAY_CALLBACK_STREAM_PARSE,
                            reinterpret_cast<PLAY_CALLBACK_FUNCTION>(LogParsed), log);
}

inline int32_t OnNotify(PLAY_HANDLE h, uint32_t kind, CNotifyCount *count) {
    return RegisterCallback(h, kind, reinterpret_cast<PLAY_CALLBACK_FUNCTION>(CountNotify), count);
}

// ---- Player set-up ----

// Enable flags: parsing only (nothing decoded, nothing shown), or video
// decoded without a display. Processor load never holds these players back.
constexpr uint32_t kParseOnly = 0;
constexpr uint32_t kVideoDecode = PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_NO_CPU_LIMIT;

inline void Prepare(PLAY_HANDLE h, uint32_t flags) {
    ASSERT_EQ(SetU32(h, PLAY_CONTROL_ENABLE, flags), PLAY_OK);
    ASSERT_EQ(SetFloat(h, PLAY_CONTROL_SPEED, PLAY_SPEED_MAX), PLAY_OK);
}

inline bool IndexDone(PLAY_HANDLE h) {
    return AttrU32(h, PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED) != 0;
}

inline bool WaitIndex(PLAY_HANDLE h) {
    return WaitUntil([&] { return IndexDone(h); });
}

inline bool WaitEnded(PLAY_HANDLE h) {
    return WaitUntil([&] { return AttrU32(h, PLAY_ATTRIBUTE_FILE_ENDED) != 0; });
}

inline int32_t SeekU32(PLAY_HANDLE h, uint32_t kind, uint32_t value) {
    return PlayApi_Seek(h, kind, &value, sizeof(value));
}

inline int32_t SeekRatio(PLAY_HANDLE h, float ratio) {
    return PlayApi_Seek(h, PLAY_SEEK_RATIO, &ratio, sizeof(ratio));
}

} // namespace filetest
