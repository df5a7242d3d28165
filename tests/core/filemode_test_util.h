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
#include "fixtures/recordings.h"
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

// Play_CreateW of a file: the player the factory chooses.
inline int32_t OpenFile(CPlayer &player, const std::filesystem::path &path) {
    const std::vector<QV_WCHAR> wide = WidePath(path);
    const PLAY_CREATE_PARAM p = FileParam(wide.data());
    return PlayApi_CreateW(player.Out(), &p);
}

inline CFileMode *FileModeOf(PLAY_HANDLE h) {
    return static_cast<CFileMode *>(reinterpret_cast<CBasePlayMode *>(h));
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
