// Forward play of recording files: reader, index hooks, file end, seeks and
// the single-frame step.
#include "core/filemodeforward.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/sound.h"
#include "core/player.h"
#include "demux/basestream.h"
#include "demux/demux.h"
#include "platform/memory.h"
#include "platform/thread.h"
#include "vdec/vdec.h"

namespace {

// How long a seek or step waits for room in a full display queue.
constexpr uint32_t kRenderRetryLimitMs = 2000;

} // namespace

CFileModeForward::CFileModeForward()
    : m_fileIndex(CFileIndex::Hooks{[this](const FramePosition &pos) {
                                        platform::CLockGuard guard(m_lock);
                                        m_firstFrame = pos;
                                    },
                                    [this] { IndexCompleted(); }}) {}

CFileModeForward::~CFileModeForward() {
    CFileModeForward::Close();
}

// ---------------------------------------------------------------------------
// Open and close

int32_t CFileModeForward::OpenFile(const PLAY_CREATE_PARAM *pParam) {
    if (pParam->dwType != PLAY_MODE_FILE)
        return PLAY_E_NOT_SUPPORTED;
    const QV_WCHAR *pPath = static_cast<const QV_WCHAR *>(pParam->pSource);
    if (pPath == nullptr)
        return PLAY_E_NULL_POINTER;
    if (!m_file.Open(pPath, platform::kFileRead))
        return PLAY_E_FILE_OPEN;
    m_pReadBuffer = static_cast<uint8_t *>(platform::PageAlloc(kFileReadBlock));
    if (m_pReadBuffer == nullptr)
        return PLAY_E_OUT_OF_MEMORY;
    m_dwReadBufferSize = kFileReadBlock;
    const int64_t llRead = m_file.Read(m_pReadBuffer, kFileReadBlock);
    if (llRead < 0)
        return PLAY_E_FAIL;
    const DemuxInput input = DemuxInputOf(m_pReadBuffer, static_cast<uint32_t>(llRead));
    CBaseStream *pStream = nullptr;
    if (llRead == 0 || Demux_Create(&pStream, &input) < 0 || pStream == nullptr)
        return PLAY_E_NOT_SUPPORTED;
    {
        platform::CLockGuard guard(m_lock);
        m_pStream = pStream;
    }
    size_t nLength = 0;
    while (pPath[nLength] != 0)
        ++nLength;
    m_path.assign(pPath, pPath + nLength + 1);
    return PLAY_OK;
}

int32_t CFileModeForward::Open(const PLAY_CREATE_PARAM *pParam) {
    const int32_t nOpened = OpenFile(pParam);
    if (nOpened < 0)
        return nOpened;
    const int32_t nResult = InitAttributes();
    if (nResult < 0)
        return nResult;
    // The 6000 generation is played by its own class; this answer makes the
    // factory retry with it.
    if (m_attr.demuxProperty.dwGeneration == DEMUX_GENERATION_6000)
        return PLAY_E_NOT_SUPPORTED;
    InitStreamParam(pParam);
    if (!m_fileIndex.Start(m_path.data()))
        return PLAY_E_FAIL;
    return CBasePlayMode::Open(pParam);
}

int32_t CFileModeForward::Close() {
    CBasePlayMode::Close();
    m_fileIndex.Clear();
    ClearPending();
    m_path.clear();
    m_file.Close();
    if (m_pReadBuffer != nullptr)
        platform::PageFree(m_pReadBuffer, m_dwReadBufferSize);
    m_pReadBuffer = nullptr;
    m_dwReadBufferSize = 0;
    DestroyComponents();
    return PLAY_OK;
}

int32_t CFileModeForward::InitAttributes() {
    const int32_t nResult = CBasePlayMode::InitAttributes();
    const int64_t llSize = m_file.Size();
    {
        platform::CLockGuard guard(m_lock);
        m_attr.dwMode = PLAY_MODE_FILE;
        m_attr.ullFileSize = llSize > 0 ? static_cast<uint64_t>(llSize) : 0;
    }
    if (nResult < 0)
        return nResult;

    // Frame rate from two key frames far enough apart: the first of the file
    // and the first after its middle.
    PLAY_FRAME first{};
    PLAY_FRAME middle{};
    platform::CLockGuard guard(m_lock);
    if (ReadKeyFrameAt(&first, 0) >= 0 && ReadKeyFrameAt(&middle, m_attr.ullFileSize / 2) >= 0) {
        const FrameRecord *a = first.pFrame;
        const FrameRecord *b = middle.pFrame;
        const int64_t llSpan = static_cast<int64_t>(b->dwTimestamp) - a->dwTimestamp;
        if (llSpan >= kFileRateMinSpanMs) {
            float fRate = static_cast<float>(static_cast<int64_t>(b->dwSequence) - a->dwSequence) * 1000.0f /
                          static_cast<float>(llSpan);
            if (fRate <= kFileRateMin)
                fRate = kFileRateMin;
            else if (fRate >= kFileRateMax)
                fRate = kFileRateMax;
            m_attr.fVideoFrameRate = fRate;
            SetFrameRate(fRate, m_attr.fSpeed);
        }
    }
    ReleaseFrame(&first);
    ReleaseFrame(&middle);
    if (m_pStream != nullptr)
        m_pStream->Reset();
    m_attr.ullPlayDataSize = 0;
    return nResult;
}

// ---------------------------------------------------------------------------
// Index

int32_t CFileModeForward::IndexBlock(CBaseStream *pParser, const uint8_t *pData, uint32_t dwLength) {
    return m_fileIndex.IndexBlock(pParser, pData, dwLength);
}

void CFileModeForward::IndexCompleted() {
    const FramePosition last = m_fileIndex.LastVideo();
    {
        platform::CLockGuard guard(m_lock);
        m_attr.dwFileIndexCompleted = 1;
        if (IsValidPosition(m_firstFrame) && IsValidPosition(last)) {
            m_attr.dwFileDuration = last.dwTimestamp - m_firstFrame.dwTimestamp;
            m_attr.dwFileVideoFrameCount = last.dwSequence - m_firstFrame.dwSequence + 1;
        }
    }
    FireIndexCompleted();
}

bool CFileModeForward::IsIndexCompleted() {
    platform::CLockGuard guard(m_lock);
    return m_attr.dwFileIndexCompleted != 0;
}

// ---------------------------------------------------------------------------
// Callbacks

int32_t CFileModeForward::RegisterCallbackFunction(uint32_t dwKind, const PLAY_CALLBACK_PARAM *pParam,
                                                   uint32_t dwSize) {
    const int32_t nResult = CBasePlayMode::RegisterCallbackFunction(dwKind, pParam, dwSize);
    // A registration after the index was completed fires at once.
    FireIndexCompleted();
    return nResult;
}

void CFileModeForward::FireIndexCompleted() {
    if (!IsIndexCompleted())
        return;
    PLAY_CALLBACK_PARAM cb;
    {
        // Taken and cleared in one step: the index thread and a registering
        // client may both get here, and the callback fires once.
        platform::CLockGuard guard(m_callbackLock);
        cb = m_aCallbacks[PLAY_CALLBACK_FILE_INDEX_COMPLETED - 1];
        std::memset(&m_aCallbacks[PLAY_CALLBACK_FILE_INDEX_COMPLETED - 1], 0, sizeof(cb));
    }
    if (cb.pfnCallback == nullptr)
        return;
    CCallbackScope scope(this);
    reinterpret_cast<PLAY_NOTIFY_CALLBACK>(cb.pfnCallback)(Handle(), cb.pContext);
}

void CFileModeForward::FireFileEnded() {
    if (!FileEnded())
        return;
    const PLAY_CALLBACK_PARAM cb = CallbackOf(PLAY_CALLBACK_FILE_ENDED);
    if (cb.pfnCallback == nullptr)
        return;
    CCallbackScope scope(this);
    reinterpret_cast<PLAY_NOTIFY_CALLBACK>(cb.pfnCallback)(Handle(), cb.pContext);
}

// ---------------------------------------------------------------------------
// Controls

int32_t CFileModeForward::RunAction(uint32_t dwAction) {
    if (dwAction == PLAY_ACTION_PLAY_BACKWARD)
        return PlayBackward();
    return CStreamMode::RunAction(dwAction);
}

int32_t CFileModeForward::InputData(const void *, uint32_t) {
    return PLAY_E_NOT_SUPPORTED;
}

bool CFileModeForward::FileEnded() {
    platform::CLockGuard guard(m_lock);
    return m_attr.dwFileEnded != 0;
}

void CFileModeForward::SetFileEnded(bool bEnded) {
    platform::CLockGuard guard(m_lock);
    m_attr.dwFileEnded = bEnded ? 1 : 0;
}

bool CFileModeForward::HoldPlayback() {
    platform::CLockGuard guard(m_lock);
    if (m_attr.dwFileEnded != 0)
        return true;
    const int32_t nLoad = CurrentCpuLoad();
    return nLoad > m_attr.nCpuLimit;
}

int32_t CFileModeForward::Stop() {
    const int32_t nResult = CStreamMode::Stop();
    if (nResult < 0)
        return nResult;
    ClearPending();
    {
        platform::CLockGuard guard(m_lock);
        m_lastReadVideo = FramePosition{}; // play starts over at the beginning
    }
    SetFileEnded(false);
    return PLAY_OK;
}

int32_t CFileModeForward::Play() {
    const int32_t nState = m_nState.load();
    if (nState > PLAY_STATE_PLAYING)
        return PLAY_E_NOT_READY;
    bool bBackward;
    {
        platform::CLockGuard guard(m_lock);
        bBackward = m_attr.dwPlayBackward != 0;
    }
    if (bBackward) {
        if (!IsIndexCompleted())
            return PLAY_E_INDEX_NOT_READY;
        const int32_t nResult = SwitchDirection(false);
        if (nResult < 0)
            return nResult;
    }
    SetFileEnded(false);
    return EnterPlaying();
}

int32_t CFileModeForward::SwitchDirection(bool bBackward) {
    int32_t nResult = Pause();
    if (nResult < 0)
        return nResult;
    uint32_t dwIndex;
    {
        platform::CLockGuard guard(m_lock);
        m_attr.dwPlayBackward = bBackward ? 1 : 0;
        // From the frame shown; from the far end when it is the end the new
        // direction starts at.
        dwIndex = m_attr.dwPlayVideoFrameIndex;
        const uint32_t dwCount = m_attr.dwFileVideoFrameCount;
        if (bBackward && dwIndex == 0 && dwCount > 0)
            dwIndex = dwCount - 1;
        else if (!bBackward && dwCount > 0 && dwIndex + 1 >= dwCount)
            dwIndex = 0;
    }
    // The seek runs in the new direction (the flag is set) and plays every
    // frame from the one reached.
    m_bDirectionChange = true;
    nResult = Seek(PLAY_SEEK_INDEX, &dwIndex, sizeof(dwIndex));
    m_bDirectionChange = false;
    return nResult;
}

// ---------------------------------------------------------------------------
// Reading

int64_t CFileModeForward::ReadFileBlock(uint8_t *pBuffer, uint32_t dwLength) {
    const int64_t llPosition = m_file.Tell();
    const int64_t llRead = m_file.Read(pBuffer, dwLength);
    if (llRead < 0 && llPosition >= 0)
        m_file.Seek(llPosition);
    return llRead;
}

int32_t CFileModeForward::FeedParser() {
    const int64_t llRead = ReadFileBlock(m_pReadBuffer, kFileReadBlock);
    if (llRead < 0)
        return PLAY_E_FAIL;
    if (llRead == 0)
        return 0;
    const DemuxInput input = DemuxInputOf(m_pReadBuffer, static_cast<uint32_t>(llRead));
    const int32_t nResult = Demux_InputData(m_pStream, &input);
    if (nResult < 0)
        return nResult;
    return static_cast<int32_t>(llRead);
}

int32_t CFileModeForward::PositionReader(uint64_t ullOffset) {
    platform::CLockGuard guard(m_lock);
    if (m_pStream == nullptr || m_pReadBuffer == nullptr || !m_file.Seek(static_cast<int64_t>(ullOffset)))
        return PLAY_E_FAIL;
    ResetParserAt(ullOffset);
    return PLAY_OK;
}

int32_t CFileModeForward::NextParsedFrame(FrameRecord **ppRecord) {
    platform::CLockGuard guard(m_lock);
    if (m_pStream == nullptr || m_pReadBuffer == nullptr)
        return PLAY_E_FAIL;
    for (;;) {
        FrameRecord *pRecord = nullptr;
        if (Demux_GetFrame(m_pStream, &pRecord) >= 0 && pRecord != nullptr) {
            Rebase(pRecord);
            *ppRecord = pRecord;
            return PLAY_OK;
        }
        const int32_t nRead = FeedParser();
        if (nRead < 0)
            return nRead;
        if (nRead == 0)
            return PLAY_E_NO_FRAME;
    }
}

void CFileModeForward::AccountRead(const FrameRecord *pRecord) {
    m_attr.ullPlayDataSize += FrameBytes(pRecord);
}

int32_t CFileModeForward::ReadFrame(PLAY_FRAME *pFrame) {
    if (pFrame->pFrame != nullptr)
        return PLAY_OK;
    int32_t nResult;
    {
        platform::CLockGuard guard(m_lock);
        if (!m_pending.empty()) {
            pFrame->pFrame = m_pending.front();
            m_pending.pop_front();
            m_attr.ullPlayDataSize += FrameBytes(pFrame->pFrame);
            if (IsVideoType(pFrame->pFrame->nType))
                m_lastReadVideo = PositionOf(pFrame->pFrame);
            nResult = PLAY_OK;
        } else {
            nResult = ReadNextFrame(pFrame);
        }
        if (pFrame->pFrame != nullptr) {
            uint32_t dwQueued = 0;
            GetQueuedCount(&dwQueued);
            SetBufferedCount(dwQueued + static_cast<uint32_t>(m_pending.size()));
        }
    }
    if (nResult >= 0)
        OnStreamParse(pFrame);
    return nResult;
}

int32_t CFileModeForward::ReadNextFrame(PLAY_FRAME *pFrame) {
    platform::CLockGuard guard(m_lock);
    bool bResync = !IsValidPosition(m_lastReadVideo);
    if (bResync) {
        m_attr.ullPlayDataSize = 0;
        const int32_t nResult = PositionReader(0);
        if (nResult < 0)
            return nResult;
    }
    for (;;) {
        FrameRecord *pRecord = nullptr;
        const int32_t nResult = NextParsedFrame(&pRecord);
        if (nResult < 0)
            return nResult;
        AccountRead(pRecord);
        const int32_t nType = pRecord->nType;
        if (!bResync) {
            if (nType == DEMUX_FRAME_AUDIO) {
                pFrame->pFrame = pRecord;
                return PLAY_OK;
            }
            if (IsVideoType(nType)) {
                const FramePosition pos = PositionOf(pRecord);
                if (!(EnableFlags() & PLAY_ENABLE_RESET_ON_GAP) || Follows(m_lastReadVideo, pos)) {
                    m_lastReadVideo = pos;
                    pFrame->pFrame = pRecord;
                    return PLAY_OK;
                }
                // A gap: play on from the next key frame, which may be
                // this one.
                m_lastVideoFrame = FramePosition{};
                m_window = StatisticsWindow{};
                bResync = true;
            }
        }
        if (bResync && nType == DEMUX_FRAME_I) {
            m_lastReadVideo = PositionOf(pRecord);
            pFrame->pFrame = pRecord;
            return PLAY_OK;
        }
        Demux_FreeFrame(m_pStream, pRecord);
    }
}

int32_t CFileModeForward::TakeDecodedFrame(PLAY_FRAME *pFrame) {
    const int32_t nResult = ReadFrame(pFrame);
    if (nResult == PLAY_E_NO_FRAME) {
        // The end of the file: the pictures the decoder still holds come
        // first, then the end is reported.
        if (DrainFrame(pFrame) >= 0)
            return PLAY_OK;
        CheckFileEnd(nullptr);
        return PLAY_E_FAIL;
    }
    if (nResult < 0)
        return nResult;
    return DecodeFrame(pFrame);
}

void CFileModeForward::CheckFileEnd(PLAY_FRAME *pFrame) {
    bool bEnd = pFrame == nullptr;
    if (!bEnd && pFrame->pFrame != nullptr && IsVideoType(pFrame->pFrame->nType) && IsIndexCompleted()) {
        const FramePosition last = m_fileIndex.LastVideo();
        // Frames the file holds after its last video frame (audio, or data
        // appended since indexing) are still delivered, and so are pictures
        // the decoder still holds: the reader reports the end when it finds
        // nothing more.
        bEnd = IsValidPosition(last) && pFrame->pFrame->dwSequence >= last.dwSequence && !MoreToRead();
    }
    if (!bEnd)
        return;
    {
        platform::CLockGuard guard(m_lock);
        m_attr.ullPlayDataSize = m_attr.ullFileSize;
        m_attr.dwFileEnded = 1;
        m_attr.dwPlayDuration = m_attr.dwFileDuration;
        m_attr.dwPlayVideoFrameIndex =
            m_attr.dwFileVideoFrameCount > 0 ? m_attr.dwFileVideoFrameCount - 1 : 0;
        m_lastVideoFrame = FramePosition{};
        m_lastReadVideo = FramePosition{};
    }
    FireFileEnded();
}

bool CFileModeForward::MoreToRead() {
    if (DecoderHoldsFrames())
        return true;
    platform::CLockGuard guard(m_lock);
    uint32_t dwQueued = 0;
    GetQueuedCount(&dwQueued);
    if (!m_pending.empty() || dwQueued > 0)
        return true;
    const int64_t llPosition = m_file.Tell();
    const int64_t llSize = m_file.Size();
    return llPosition >= 0 && llSize >= 0 && llPosition < llSize;
}

int32_t CFileModeForward::ReadKeyFrameAt(PLAY_FRAME *pFrame, uint64_t ullOffset) {
    platform::CLockGuard guard(m_lock);
    if (ullOffset >= m_attr.ullFileSize)
        return PLAY_E_INVALID_VALUE;
    int32_t nResult = PositionReader(ullOffset);
    if (nResult < 0)
        return nResult;
    m_attr.ullPlayDataSize = ullOffset;
    for (;;) {
        FrameRecord *pRecord = nullptr;
        nResult = NextParsedFrame(&pRecord);
        if (nResult < 0)
            return nResult == PLAY_E_NO_FRAME ? PLAY_E_FAIL : nResult;
        AccountRead(pRecord);
        if (pRecord->nType == DEMUX_FRAME_I) {
            pFrame->pFrame = pRecord;
            return PLAY_OK;
        }
        Demux_FreeFrame(m_pStream, pRecord);
    }
}

void CFileModeForward::ClearPending() {
    platform::CLockGuard guard(m_lock);
    for (FrameRecord *pRecord : m_pending) {
        if (m_pStream != nullptr)
            Demux_FreeFrame(m_pStream, pRecord);
    }
    m_pending.clear();
}

uint32_t CFileModeForward::PendingCount() {
    platform::CLockGuard guard(m_lock);
    return static_cast<uint32_t>(m_pending.size());
}

// ---------------------------------------------------------------------------
// Groups

bool CFileModeForward::CGroupLoader::Take(CFileModeForward *pPlayer, FrameRecord *pRecord) {
    const int32_t nType = pRecord->nType;
    if (!m_bCollecting) {
        if (nType == DEMUX_FRAME_I) {
            pPlayer->m_pending.push_back(pRecord);
            m_last = PositionOf(pRecord);
            m_bCollecting = true;
        } else {
            Demux_FreeFrame(pPlayer->m_pStream, pRecord);
        }
        return false;
    }
    if (nType == DEMUX_FRAME_AUDIO) {
        pPlayer->m_pending.push_back(pRecord);
        return false;
    }
    if (nType == DEMUX_FRAME_I) {
        Demux_FreeFrame(pPlayer->m_pStream, pRecord);
        return true;
    }
    if (nType >= DEMUX_FRAME_P && nType <= DEMUX_FRAME_DROPPABLE) {
        const FramePosition pos = PositionOf(pRecord);
        if ((pPlayer->EnableFlags() & PLAY_ENABLE_RESET_ON_GAP) && !Follows(m_last, pos)) {
            Demux_FreeFrame(pPlayer->m_pStream, pRecord);
            pPlayer->m_window = StatisticsWindow{};
            return true;
        }
        pPlayer->m_pending.push_back(pRecord);
        m_last = pos;
        return false;
    }
    Demux_FreeFrame(pPlayer->m_pStream, pRecord);
    return false;
}

int32_t CFileModeForward::LoadGroup(uint64_t ullStart, uint64_t ullEnd) {
    platform::CLockGuard guard(m_lock);
    if (ullStart >= m_attr.ullFileSize)
        return PLAY_E_FAIL;
    int32_t nResult = PositionReader(ullStart);
    if (nResult < 0)
        return nResult;
    CGroupLoader loader;
    for (;;) {
        FrameRecord *pRecord = nullptr;
        nResult = NextParsedFrame(&pRecord);
        if (nResult == PLAY_E_NO_FRAME)
            break;
        if (nResult < 0)
            return nResult;
        if (loader.Take(this, pRecord))
            break;
    }
    if (ullEnd != kFileNoOffset && ullEnd < m_attr.ullFileSize) {
        // Forward reading goes on with the next group.
        nResult = PositionReader(ullEnd);
        if (nResult < 0)
            return nResult;
    }
    return PLAY_OK;
}

void CFileModeForward::ResetParserAt(uint64_t ullOffset) {
    platform::CLockGuard guard(m_lock);
    m_pStream->Reset();
    m_ullOffsetShift = ullOffset;
    m_llTimeShift = 0;
    m_bTimeShiftPending = true;
}

void CFileModeForward::Rebase(FrameRecord *pRecord) {
    pRecord->ullFileOffset += m_ullOffsetShift;
    if (m_bTimeShiftPending && pRecord->nType == DEMUX_FRAME_I) {
        m_bTimeShiftPending = false;
        uint32_t dwIndexed;
        if (m_fileIndex.TimestampOf(pRecord->dwSequence, &dwIndexed))
            m_llTimeShift = static_cast<int64_t>(dwIndexed) - pRecord->dwTimestamp;
    }
    pRecord->dwTimestamp = static_cast<uint32_t>(pRecord->dwTimestamp + m_llTimeShift);
}

// ---------------------------------------------------------------------------
// Seeks

int32_t CFileModeForward::Seek(uint32_t dwKind, const void *pValue, uint32_t) {
    if (dwKind != PLAY_SEEK_RATIO && dwKind != PLAY_SEEK_TIME && dwKind != PLAY_SEEK_INDEX)
        return PLAY_E_INVALID_VALUE;
    uint32_t dwValue;
    std::memcpy(&dwValue, pValue, sizeof(dwValue));
    if (m_thread.Started() && m_thread.IsCurrent()) {
        // From a callback of the play step: the step ends first, its frame
        // unshown, and the seek runs right after it on this thread.
        platform::CLockGuard guard(m_lock);
        m_deferredSeek = DeferredSeek{dwKind, dwValue, m_bDirectionChange.load()};
        m_bSeekDeferred.store(true);
        return PLAY_OK;
    }
    const int32_t nState = m_nState.load();
    if (nState >= PLAY_STATE_PAUSE_REQUESTED && nState <= PLAY_STATE_SEEK_ACKNOWLEDGED)
        return PLAY_E_NOT_READY;
    if (nState != PLAY_STATE_PAUSED && nState != PLAY_STATE_PLAYING)
        return PLAY_E_NOT_SUPPORTED;
    // The play thread finishes its frame and stands still while the seek runs
    // here.
    int32_t nResult = RequestFromPlayThread(PLAY_STATE_SEEK_REQUESTED, nState);
    if (nResult < 0)
        return nResult;
    nResult = RunSeek(dwKind, dwValue, nState, m_bDirectionChange.load());
    m_nState.store(nState);
    if (m_pWake)
        m_pWake->Release(1);
    return nResult;
}

void CFileModeForward::RunDeferredSeek() {
    DeferredSeek request;
    {
        platform::CLockGuard guard(m_lock);
        request = m_deferredSeek;
        m_bSeekDeferred.store(false);
    }
    // The callback may have paused (or stopped) the player meanwhile; the
    // seek runs from the state it finds.
    int32_t nState = m_nState.load();
    if (nState != PLAY_STATE_PLAYING && nState != PLAY_STATE_PAUSED)
        return;
    if (!m_nState.compare_exchange_strong(nState, PLAY_STATE_SEEK_ACKNOWLEDGED))
        return;
    RunSeek(request.dwKind, request.dwValue, nState, request.bDirectionChange);
    m_nState.store(nState);
}

int32_t CFileModeForward::RunSeek(uint32_t dwKind, uint32_t dwValue, int32_t nFromState,
                                  bool bDirectionChange) {
    // No lock is held while the seek decodes: its callbacks may call back
    // into the player, and attribute reads go on meanwhile.
    bool bWasEnded;
    void *pDisplayManager;
    {
        platform::CLockGuard guard(m_lock);
        bWasEnded = m_attr.dwFileEnded != 0;
        pDisplayManager = m_pDisplayManager;
        if (m_pSound)
            StopSoundOutput(m_pSound);
        m_window = StatisticsWindow{};
        m_bPrimeSeek = nFromState == PLAY_STATE_PAUSED && !bDirectionChange;
    }
    if (pDisplayManager && m_pDisplayLink)
        m_pDisplayLink->pfnDiscardPending(pDisplayManager);
    int32_t nResult;
    switch (dwKind) {
    case PLAY_SEEK_RATIO: {
        float fRatio;
        std::memcpy(&fRatio, &dwValue, sizeof(fRatio));
        nResult = SeekRatio(fRatio);
        break;
    }
    case PLAY_SEEK_TIME:
        nResult = SeekTime(dwValue);
        break;
    default:
        nResult = SeekIndex(dwValue);
        break;
    }
    platform::CLockGuard guard(m_lock);
    m_attr.dwFileEnded = nResult < 0 ? (bWasEnded ? 1 : 0) : 0;
    m_bPrimeSeek = false;
    return nResult;
}

int32_t CFileModeForward::RenderRetrying(PLAY_FRAME *pFrame) {
    for (uint32_t dwWaited = 0;; ++dwWaited) {
        const int32_t nResult = RenderFrame(pFrame);
        if (nResult != PLAY_E_NOT_READY)
            return nResult;
        // A display that never frees a place must not hang the caller.
        if (dwWaited >= kRenderRetryLimitMs)
            return nResult;
        platform::SleepMs(1);
    }
}

uint32_t CFileModeForward::RelativeOf(const FramePosition &pos, bool bByTime) const {
    return bByTime ? pos.dwTimestamp - m_firstFrame.dwTimestamp : pos.dwSequence - m_firstFrame.dwSequence;
}

int32_t CFileModeForward::IndexFindTarget(bool bByTime, uint32_t dwValue, FramePosition *pTarget,
                                          FramePosition *pNext, bool *pbHasNext) {
    FramePosition first;
    {
        platform::CLockGuard guard(m_lock);
        first = m_firstFrame;
    }
    return m_fileIndex.FindTarget(first, bByTime, dwValue, pTarget, pNext, pbHasNext);
}

int32_t CFileModeForward::SeekRatio(float fRatio) {
    PLAY_FRAME frame{};
    uint64_t ullFileSize;
    {
        platform::CLockGuard guard(m_lock);
        ullFileSize = m_attr.ullFileSize;
    }
    const uint64_t ullOffset =
        static_cast<uint64_t>(std::trunc(static_cast<double>(ullFileSize) * static_cast<double>(fRatio)));
    int32_t nResult = ReadKeyFrameAt(&frame, ullOffset);
    if (nResult < 0) {
        ReleaseFrame(&frame);
        return nResult;
    }
    ClearPending();
    DestroyVideoDecoder(); // the key frame starts a new one
    uint32_t dwValue;
    {
        // The key frame is played from the pending queue like a group's.
        platform::CLockGuard guard(m_lock);
        FrameRecord *pKey = frame.pFrame;
        frame.pFrame = nullptr;
        dwValue = RelativeOf(PositionOf(pKey), false);
        const uint64_t ullBytes = FrameBytes(pKey);
        m_attr.ullPlayDataSize = m_attr.ullPlayDataSize > ullBytes ? m_attr.ullPlayDataSize - ullBytes : 0;
        m_pending.push_front(pKey);
        m_lastVideoFrame = FramePosition{};
    }
    return ShowFirstFrom(false, dwValue);
}

int32_t CFileModeForward::SeekTime(uint32_t dwMs) {
    return SeekForward(true, dwMs);
}

int32_t CFileModeForward::SeekIndex(uint32_t dwIndex) {
    return SeekForward(false, dwIndex);
}

int32_t CFileModeForward::SeekForward(bool bByTime, uint32_t dwValue) {
    if (IndexCount() == 0)
        return PLAY_E_NOT_FOUND;
    bool bNext;
    {
        platform::CLockGuard guard(m_lock);
        bNext = !bByTime && IsValidPosition(m_firstFrame) && IsValidPosition(m_lastVideoFrame) &&
                dwValue == m_lastVideoFrame.dwSequence - m_firstFrame.dwSequence + 1;
    }
    if (bNext)
        return StepForward(); // the next frame: no group to load
    FramePosition target{};
    FramePosition next{};
    bool bHasNext = false;
    int32_t nResult = IndexFindTarget(bByTime, dwValue, &target, &next, &bHasNext);
    if (nResult < 0)
        return nResult;
    ClearPending();
    nResult = LoadGroup(target.ullFileOffset, bHasNext ? next.ullFileOffset : kFileNoOffset);
    if (nResult < 0)
        return nResult;
    {
        platform::CLockGuard guard(m_lock);
        m_attr.ullPlayDataSize = target.ullFileOffset;
        m_lastVideoFrame = FramePosition{};
    }
    DestroyVideoDecoder();
    return ShowFirstFrom(bByTime, dwValue);
}

int32_t CFileModeForward::ShowFirstFrom(bool bByTime, uint32_t dwValue) {
    bool bPrime;
    // A frame numbered exactly as asked is the one shown: a reordering
    // stream may show frames numbered higher before it.
    bool bExact = false;
    {
        platform::CLockGuard guard(m_lock);
        bPrime = m_bPrimeSeek;
        for (const FrameRecord *pRecord : m_pending)
            if (IsVideoType(pRecord->nType) && RelativeOf(PositionOf(pRecord), bByTime) == dwValue)
                bExact = true;
    }
    uint32_t dwReadAhead = 0;
    for (;;) {
        PLAY_FRAME frame{};
        bool bDecoded = false;
        {
            platform::CLockGuard guard(m_lock);
            if (!m_pending.empty()) {
                frame.pFrame = m_pending.front();
                m_pending.pop_front();
                m_attr.ullPlayDataSize += FrameBytes(frame.pFrame);
                if (IsVideoType(frame.pFrame->nType))
                    m_lastReadVideo = PositionOf(frame.pFrame);
            }
        }
        if (frame.pFrame == nullptr) {
            // Out of the group. A playing player shows what the decoder holds
            // back as play goes on; a paused one would show nothing, so the
            // frames behind are fed until the picture comes.
            if (!bPrime || !DecoderHoldsFrames() || dwReadAhead >= kFilePrimeFramesMax)
                return PLAY_OK;
            const int32_t nRead = ReadNextFrame(&frame);
            if (nRead == PLAY_E_NO_FRAME) {
                if (DrainFrame(&frame) < 0)
                    return PLAY_OK;
                bDecoded = true;
            } else if (nRead < 0) {
                ReleaseFrame(&frame);
                return PLAY_OK;
            } else if (!IsVideoType(frame.pFrame->nType)) {
                ReleaseFrame(&frame); // a seek plays no sound
                continue;
            } else {
                ++dwReadAhead;
            }
        }
        const int32_t nType = frame.pFrame->nType;
        if (nType == DEMUX_FRAME_AUDIO) {
            UpdateStatistics(&frame);
            ReleaseFrame(&frame);
            continue;
        }
        if (!IsVideoType(nType)) {
            ReleaseFrame(&frame);
            continue;
        }
        if (!bDecoded)
            DecodeFrame(&frame);
        if (frame.pFrame == nullptr)
            continue; // held back by the decoder
        const FramePosition pos = PositionOf(frame.pFrame);
        int64_t llRelative;
        {
            platform::CLockGuard guard(m_lock);
            llRelative = bByTime ? static_cast<int64_t>(pos.dwTimestamp) - m_firstFrame.dwTimestamp
                                 : static_cast<int64_t>(pos.dwSequence) - m_firstFrame.dwSequence;
        }
        if (bExact ? llRelative == static_cast<int64_t>(dwValue)
                   : llRelative >= static_cast<int64_t>(dwValue)) {
            const int32_t nResult = ShowFrame(&frame);
            ReleaseFrame(&frame);
            return nResult;
        }
        PassFrame(&frame);
        ReleaseFrame(&frame);
    }
}

int32_t CFileModeForward::ShowFrame(PLAY_FRAME *pFrame) {
    const int32_t nResult = RenderRetrying(pFrame);
    UpdateStatistics(pFrame);
    CheckFileEnd(pFrame);
    return nResult;
}

void CFileModeForward::PassFrame(PLAY_FRAME *pFrame) {
    ComputeFrameTiming(pFrame);
    UpdateStatistics(pFrame);
    CheckFileEnd(pFrame);
}

int32_t CFileModeForward::StepForward() {
    for (;;) {
        PLAY_FRAME frame{};
        int32_t nResult = TakeDecodedFrame(&frame);
        if (nResult < 0) {
            ReleaseFrame(&frame);
            return nResult; // nothing left to read
        }
        if (frame.pFrame == nullptr)
            continue; // held back by the decoder: the next frame brings it
        const int32_t nType = frame.pFrame->nType;
        if (nType == DEMUX_FRAME_AUDIO) {
            UpdateStatistics(&frame);
        } else if (IsVideoType(nType)) {
            nResult = RenderRetrying(&frame);
            if (nResult >= 0) {
                UpdateStatistics(&frame);
                CheckFileEnd(&frame);
                ReleaseFrame(&frame);
                return nResult;
            }
        }
        ReleaseFrame(&frame);
    }
}

// ---------------------------------------------------------------------------
// Decoding on demand

int32_t CFileModeForward::GetDecodeFrame(uint32_t, PLAY_FRAME **ppFrame) {
    if (!(EnableFlags() & PLAY_ENABLE_DECODE_ON_DEMAND))
        return PLAY_E_NOT_SUPPORTED;
    if (FileEnded())
        return PLAY_E_NO_FRAME;
    PLAY_FRAME frame{};
    for (;;) {
        const int32_t nResult = TakeDecodedFrame(&frame);
        if (nResult < 0) {
            ReleaseFrame(&frame);
            // The reader found the end: that is "no more frames".
            return FileEnded() ? PLAY_E_NO_FRAME : nResult;
        }
        if (frame.pFrame == nullptr)
            continue; // held back by the decoder
        if (IsVideoType(frame.pFrame->nType))
            ComputeFrameTiming(&frame);
        UpdateStatistics(&frame);
        CheckFileEnd(&frame);
        break;
    }
    return HandOutFrame(&frame, ppFrame);
}
