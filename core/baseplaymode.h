// The player behind every handle: validation header, components, play thread,
// frame pipeline, controls, attributes, callbacks and play clock. Subclasses
// supply the source of frames (pushed stream data, a file).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <utility>

#include "blockpool/blockpool.h"
#include "core/displaylink.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "qvaudio.h"
#include "qvdemux.h"
#include "qvdisplay.h"
#include "qvosd.h"
#include "qvplay.h"
#include "qvsound.h"
#include "qvvdec.h"

class CBaseStream;
class CBaseVideoCodec;
class CBaseAudioCodec;
class CSoundManager;

// Play thread wake-ups: a semaphore of at most this many, or this time-out.
constexpr int32_t kPlayWakeMax = 4;
constexpr uint32_t kPlayWakeTimeoutMs = 250;

// Sound output defaults handed to the sound output at creation.
constexpr uint32_t kPlaySoundBufferMs = 2000;
constexpr uint32_t kPlaySoundStartMs = 200;

// Frames whose picture has not come out of the video decoder yet are held
// at most this many (more than any reordering needs); beyond it the oldest
// is given up: a damaged stream may swallow frames without pictures.
constexpr size_t kPlayDecoderHeldMax = 32;
// Calls a fresh decoder gets with its first key frame to give a picture.
constexpr int kPlayKeyFrameDecodeCalls = 4;

// Video decoder renewal limits (never, for files; stream players renew after
// 30 minutes of decoding time or a million pictures).
constexpr uint32_t kPlayRenewNever = 0xFFFFFFFFu;
constexpr uint32_t kPlayStreamRenewTimeMs = 1800000;
constexpr uint32_t kPlayStreamRenewPictures = 1000000;

// Play clock constants.
constexpr float kPlaySkipAboveRate = 75.0f;       // effective frames per second
constexpr uint32_t kPlaySkipShownDelayUs = 13333; // 75 pictures per second
constexpr uint32_t kPlayDefaultDurationMs = 40;
constexpr uint32_t kPlayMaxDurationMs = 1100;
constexpr uint32_t kPlayStatisticsWindowMs = 4000;
constexpr int32_t kPlayThrottleHighDefault = 85;
constexpr int32_t kPlayThrottleLowDefault = 42;

// Values of attributes 1 to 26, in code order.
struct PlayAttributes {
    uint32_t dwMode;
    uint32_t dwEnable;
    uint32_t dwState;
    uint32_t dwPlayBackward;
    float fSpeed;
    uint32_t dwVolume;
    PLAY_COLOR color;
    int32_t nCpuLimit;
    uint32_t dwFileIndexCompleted;
    uint32_t dwFileEnded;
    uint32_t dwPictureWidth;
    uint32_t dwPictureHeight;
    uint32_t dwBufferedFrameCount;
    uint64_t ullFileSize;
    uint64_t ullPlayDataSize;
    uint32_t dwFileDuration;
    uint32_t dwPlayDuration;
    uint32_t dwFileVideoFrameCount;
    uint32_t dwPlayVideoFrameIndex;
    uint32_t dwKeyFrameDistance;
    uint32_t dwKeyFrameInterval;
    float fVideoFrameRate;
    float fVideoBitrate;
    float fAudioFrameRate;
    float fAudioBitrate;
    StreamInfo demuxProperty;
};

// Parameters handed to the components when they are created.
struct StreamParamBlock {
    VideoDecoderParam vdecParam;
    uint32_t dwRenewTimeLimitMs;
    uint32_t dwRenewPictureLimit;
    OSD_SETTING osdSetting;
    uint32_t dwDisplayFlags;
    uint32_t dwAudioCodec;
    GUID soundDevice;
    SOUND_SETTING soundSetting;
};

// Position fields of a frame record: the first key frame's set the origin of
// the play position, the last video frame's the reference of the next one.
// Valid while the codec is a video codec (1 to 6).
struct FramePosition {
    uint32_t dwCodec;
    uint16_t wWidth;
    uint16_t wHeight;
    uint64_t ullFileOffset;
    SYSTEMTIME stTime;
    uint32_t dwSequence;
    uint32_t dwTimestamp;
};

// Measurement window of the statistics.
struct StatisticsWindow {
    uint32_t dwDuration; // summed video frame durations, ms
    uint32_t dwKeyFrames;
    uint32_t dwType3;
    uint32_t dwType4;
    uint32_t dwType5;
    uint32_t dwVideoBytes;
    uint32_t dwAudioFrames;
    uint32_t dwAudioBytes;
};

// Frame-skip and throttle state of the play clock.
struct PlayClock {
    float fEffectiveRate;
    float fSkipRatio;
    const uint8_t *pSkipRow; // null: every frame shown
    int nSkipRowIndex;       // -1 with no row
    uint32_t dwSkipPosition; // 0 .. 100
    int32_t nThrottleHigh;
    int32_t nThrottleLow;
};

class CBasePlayMode {
public:
    CBasePlayMode();
    // Slot 0 onwards: the virtual operations in their fixed order.
    virtual ~CBasePlayMode();
    virtual int32_t Open(const PLAY_CREATE_PARAM *pParam);
    virtual int32_t Close();
    virtual int32_t GetExtension(void **ppExtension);
    virtual int32_t SetControl(uint32_t dwCode, const void *pValue, uint32_t dwSize);
    virtual int32_t GetAttribute(uint32_t dwCode, void *pBuffer, uint32_t *pdwSize);
    virtual int32_t AddViewport(const PLAY_VIEWPORT *pViewport);
    virtual int32_t RemoveViewport(uint32_t dwID);
    virtual int32_t GetViewport(PLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
    virtual int32_t SnapPicture(PLAY_SNAPSHOT *pSnapshot);
    virtual int32_t InputData(const void *pData, uint32_t dwLength) = 0;
    virtual int32_t GetDecodeFrame(uint32_t dwPixelFormat, PLAY_FRAME **ppFrame) = 0;
    virtual int32_t FreeDecodeFrame(PLAY_FRAME *pFrame);
    virtual int32_t Seek(uint32_t dwKind, const void *pValue, uint32_t dwSize) = 0;
    virtual int32_t RegisterCallbackFunction(uint32_t dwKind, const PLAY_CALLBACK_PARAM *pParam,
                                             uint32_t dwSize);
    virtual int32_t SetEnableFlag(uint32_t dwFlags);
    virtual void InitStreamParam(const PLAY_CREATE_PARAM *pParam);
    virtual int32_t InitAttributes();
    virtual void OnStreamParse(PLAY_FRAME *pFrame);
    virtual void OnDecode(PLAY_FRAME *pFrame);
    virtual int32_t PlayStep(PLAY_FRAME *pFrame) = 0;
    virtual int32_t ReadFrame(PLAY_FRAME *pFrame) = 0;
    virtual int32_t DecodeFrame(PLAY_FRAME *pFrame);
    virtual int32_t DecodeAudio(PLAY_FRAME *pFrame);
    virtual void UpdateCpuThrottle();
    virtual int32_t DecodeVideo(PLAY_FRAME *pFrame);
    virtual int32_t RenderFrame(PLAY_FRAME *pFrame);
    virtual int32_t OutputSound(PLAY_FRAME *pFrame);
    virtual void SetFrameRate(float fFrameRate, float fSpeed);
    virtual int32_t ComputeFrameTiming(PLAY_FRAME *pFrame);
    virtual int32_t DisplayPicture(PLAY_FRAME *pFrame);
    virtual int32_t ReleaseFrame(PLAY_FRAME *pFrame);
    virtual void UpdateStatistics(PLAY_FRAME *pFrame);

    CBasePlayMode(const CBasePlayMode &) = delete;
    CBasePlayMode &operator=(const CBasePlayMode &) = delete;

    // ---- Validation header (used by the handle layer) ----
    const uint8_t *Signature() const { return m_abySignature; }
    // One more reference unless release has begun.
    bool TryAddRef();
    void DropRef();
    // Sets closing; false when it was already set or there is no release event.
    bool BeginClosing();
    bool IsClosing() const { return m_nClosing.load() != 0; }
    // Drops the creator's reference and waits until every other one is gone.
    bool WaitForLastReference();
    int32_t RefCount() const { return m_nRefCount.load(); }
    // Whether the calling thread is inside one of this player's callbacks,
    // where a release would wait for itself.
    bool IsPlayThread() const;

    PLAY_HANDLE Handle() { return reinterpret_cast<PLAY_HANDLE>(this); }

    // ---- Read-outs for tests and the subclasses ----
    uint32_t EnableFlags() const { return m_dwEnable.load(std::memory_order_relaxed); }
    int32_t State() const { return m_nState.load(); }
    const PlayClock &Clock() const { return m_clock; }
    const StatisticsWindow &Window() const { return m_window; }
    const FramePosition &FirstFrame() const { return m_firstFrame; }
    const FramePosition &LastVideoFrame() const { return m_lastVideoFrame; }
    bool Throttled() const { return m_nThrottled.load(std::memory_order_relaxed) != 0; }
    const StreamParamBlock &StreamParams() const { return m_streamParam; }
    // Attribute block as it stands (copy taken under the player lock).
    PlayAttributes Attributes();
    uint32_t HandedOutFrameCount();
    PLAY_CALLBACK_PARAM RegisteredCallback(uint32_t dwKind) { return CallbackOf(dwKind); }

    // Normalisation of enable flags, applied each time they are set.
    static uint32_t NormaliseEnableFlags(uint32_t dwFlags);
    // Default flags after open on this system.
    static uint32_t DefaultEnableFlags();
    // Display-manager creation flags that the enable flags ask for.
    static uint32_t DisplayFlagsFor(uint32_t dwEnable);
    static bool IsVideoType(int32_t nType) {
        return nType >= DEMUX_FRAME_I && nType <= DEMUX_FRAME_DROPPABLE;
    }
    static bool IsValidPosition(const FramePosition &pos) {
        return pos.dwCodec >= DEMUX_CODEC_VIDEO_FIRST && pos.dwCodec <= DEMUX_CODEC_VIDEO_LAST;
    }
    // Whether a video frame follows the last one without a gap: both valid
    // and the sequence number one more.
    static bool Follows(const FramePosition &last, const FramePosition &pos) {
        return IsValidPosition(last) && IsValidPosition(pos) && pos.dwSequence == last.dwSequence + 1;
    }
    static FramePosition PositionOf(const FrameRecord *pRecord);
    // Whether two positions name the same frame of one stream.
    static bool SamePosition(const FramePosition &a, const FramePosition &b) {
        return a.dwCodec == b.dwCodec && a.dwSequence == b.dwSequence && a.dwTimestamp == b.dwTimestamp &&
               a.ullFileOffset == b.ullFileOffset;
    }
    static bool IsAcceptedPixelFormat(uint32_t dwFormat);
    // Frames given to the video decoder whose pictures have not come out.
    uint32_t FramesInDecoder();

protected:
    // Play thread routine and the per-subclass hold of the inner loop (file
    // modes stop at the end of the file or under processor load).
    static uint32_t PlayThreadMain(void *pContext);
    void PlayThreadLoop();
    virtual bool HoldPlayback() { return false; }
    // Whether every picture must come out with its own frame. Threaded
    // decoding hands each picture back a few frames late, which a live
    // stream does not notice but a seek, a step or backward play would show
    // as the wrong picture.
    virtual bool FrameExactDecoding() { return false; }
    // A seek asked for from a callback on the play thread runs after the
    // step that called it; that step's frame is not shown.
    virtual void RunDeferredSeek() { m_bSeekDeferred.store(false); }

    // Hands a pause (state 3) or seek (state 4) request to the play thread
    // and waits until it has been carried out; from the play thread itself the
    // state is set directly. The request is made only from nFromState.
    int32_t RequestFromPlayThread(int32_t nRequestState, int32_t nFromState = PLAY_STATE_PLAYING);

    // Tears down components in the fixed order and zeroes the blocks.
    void DestroyComponents();
    void FreeHandedOutFrames();

    // Callback table access (copy under the lock, call outside).
    PLAY_CALLBACK_PARAM CallbackOf(uint32_t dwKind);
    // Marks the calling thread as running a client callback of this player
    // for the life of the scope.
    class CCallbackScope {
    public:
        explicit CCallbackScope(const CBasePlayMode *pPlayer) : m_pPrevious(SwapCallbackMarker(pPlayer)) {}
        ~CCallbackScope() { SwapCallbackMarker(m_pPrevious); }
        CCallbackScope(const CCallbackScope &) = delete;
        CCallbackScope &operator=(const CCallbackScope &) = delete;

    private:
        const CBasePlayMode *m_pPrevious;
    };
    static const CBasePlayMode *SwapCallbackMarker(const CBasePlayMode *pPlayer);

    int32_t GetQueuedCount(uint32_t *pdwCount);
    void SetBufferedCount(uint32_t dwCount);
    uint32_t DisplayFlags() const { return DisplayFlagsFor(EnableFlags()); }
    int32_t EnsureDisplayManager();

    static void QV_CALL OnPictureReleased(void *pManager, DISPLAY_PICTURE *pPicture, void *pContext);
    static void QV_CALL OnDcRender(void *pManager, PLAY_DC_RENDER *pRender, void *pContext);

    void FreeOutput(PLAY_FRAME *pFrame);

    // End of the stream: the next picture still inside the video decoder,
    // with the frame it belongs to (decode callback included).
    // PLAY_E_NO_FRAME when none is left; the records of frames that never
    // gave a picture then go back to the parser.
    int32_t DrainFrame(PLAY_FRAME *pFrame);
    bool DecoderHoldsFrames();
    // Destroys the video decoder with the frames it holds.
    void DestroyVideoDecoder();
    // Takes one picture from the decoder (pfnTake: a decode or a drain call
    // with the two-call pattern) and pairs it with its frame: PLAY_OK with
    // the frame set, VDEC_E_NO_PICTURE when none came, PLAY_E_NOT_FOUND when
    // the picture belonged to a frame no longer held (it is dropped).
    template <typename Take> int32_t TakePicture(PLAY_FRAME *pFrame, Take pfnTake);
    void GiveBackRecord(FrameRecord *pRecord);

    // Validation header: signature, closing flag, reference count, release
    // event and its wait time-out, extension block.
    uint32_t m_dwUnused = 0;
    uint8_t m_abySignature[16];
    std::atomic<int32_t> m_nClosing{0};
    std::atomic<int32_t> m_nRefCount{1};
    platform::CEvent *m_pReleaseEvent = nullptr;
    uint32_t m_dwReleaseTimeout = platform::kInfinite;
    uint8_t *m_pExtension = nullptr;
    uint32_t m_dwExtensionSize = 0;

    // Play thread and its hand-shake objects.
    platform::CThread m_thread;
    platform::CSemaphore *m_pWake = nullptr;
    platform::CEvent *m_pDone = nullptr;
    std::atomic<int32_t> m_nQuit{0};
    // One pause or seek request at a time. Only ever tried (try_lock), never
    // waited for: it marks the request in flight.
    std::mutex m_requestLock;
    std::atomic<bool> m_bSeekDeferred{false};
    // Decode callbacks wait: backward play decodes frames it then drops and
    // calls back for the ones it keeps (the thread decoding only).
    bool m_bHoldDecodeCallbacks = false;

    StreamParamBlock m_streamParam{};

    // Components, guarded by the player lock.
    CBaseStream *m_pStream = nullptr;
    CBaseVideoCodec *m_pVideoDecoder = nullptr;
    void *m_pOsdRenderer = nullptr;
    void *m_pDisplayManager = nullptr;
    // The display manager could not be created for a picture; set again by
    // the next viewport.
    std::atomic<bool> m_bDisplayUnavailable{false};
    CBaseAudioCodec *m_pAudioDecoder = nullptr;
    CSoundManager *m_pSound = nullptr;
    const DisplayManagerLink *m_pDisplayLink = nullptr;
    const OsdRendererLink *m_pOsdLink = nullptr;

    // The player lock. Lock order, outer first: the player lock, then the
    // stream player's input lock (a stop resets the parser under both), then
    // the components' own locks (parser queue, pool classes, decoders);
    // the file index lock and the callback table lock are leaves. No client
    // callback runs and nothing waits for another thread while any of them
    // is held: seeks, steps and the play step take the player lock for each
    // component call only, and components with threads of their own are
    // destroyed outside it.
    platform::CLock m_lock;
    BlockPool m_pool;
    bool m_bPoolReady = false;

    // Attribute block; state, enable flags and the buffered count are kept
    // apart because the play thread and Play_InputData touch them without the
    // player lock.
    PlayAttributes m_attr{};
    std::atomic<int32_t> m_nState{PLAY_STATE_IDLE};
    std::atomic<uint32_t> m_dwEnable{0};
    std::atomic<uint32_t> m_dwBufferedCount{0};

    StatisticsWindow m_window{};
    FramePosition m_firstFrame{};
    FramePosition m_lastVideoFrame{};
    // The last video frame given to the decoder, in stream order (a
    // reordering decoder shows frames in another order): the gap test.
    FramePosition m_lastFedVideo{};
    // Frames inside the video decoder with the tags they went in with, in
    // decoding order (player lock).
    struct DecoderEntry {
        uint64_t qwTag;
        FrameRecord *pRecord;
        int64_t llStep; // time stamp step from the frame fed before, ms; -1 none
    };
    std::deque<DecoderEntry> m_inDecoder;
    uint64_t m_qwNextTag = 0;
    // Recorders stamp frames either in stream order or in display order. A
    // reordering stream stamped in stream order has its pictures timed by
    // the steps between frames fed, not between pictures shown: the
    // pictures that came out with such a step, until timed (player lock).
    bool m_bStampsInStreamOrder = true;
    bool m_bReordering = false; // the decoder has given a picture out of feeding order
    std::deque<std::pair<const FrameRecord *, int64_t>> m_streamSteps;
    PLAY_CALLBACK_PARAM m_aCallbacks[PLAY_CALLBACK_COUNT]{};
    platform::CLock m_callbackLock; // guards the table only; nothing is taken inside it
    PlayClock m_clock{};
    std::atomic<int32_t> m_nThrottled{0};
    int32_t m_nCatchUp = 0; // 0 off, 1 fast, 2 skipped to a key frame

    // The play thread's own frame.
    PLAY_FRAME m_threadFrame{};

    // PLAY_FRAME copies handed out by GetDecodeFrame and not yet given back.
    std::set<PLAY_FRAME *> m_handedOut;
};
