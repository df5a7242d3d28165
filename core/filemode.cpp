// Backward play of recording files, group by group and segment by segment.
#include "core/filemode.h"

#include <cmath>
#include <cstring>

#include "demux/demux.h"

CFileMode::CFileMode() = default;

CFileMode::~CFileMode() {
    // The play thread runs this class's steps and the lists belong to it:
    // both end before this part of the player goes away.
    CFileModeForward::Close();
}

bool CFileMode::IsBackward() {
    platform::CLockGuard guard(m_lock);
    return m_attr.dwPlayBackward != 0;
}

bool CFileMode::Backward() {
    return IsBackward();
}

uint32_t CFileMode::PeakBackwardFrames() {
    platform::CLockGuard guard(m_lock);
    return m_dwPeakHeld;
}

uint32_t CFileMode::BackwardFramesHeld() {
    platform::CLockGuard guard(m_lock);
    return static_cast<uint32_t>(m_ready.size());
}

void CFileMode::FreeFrameCopy(PLAY_FRAME *pFrame) {
    ReleaseFrame(pFrame);
    FreeClassBlock(&m_pool, 0, pFrame);
}

void CFileMode::ClearPending() {
    CFileModeForward::ClearPending();
    std::deque<PLAY_FRAME *> ready;
    {
        platform::CLockGuard guard(m_lock);
        ready.swap(m_ready);
        m_groupKey = FramePosition{};
        m_dwSegmentEnd = 0;
    }
    for (PLAY_FRAME *pFrame : ready)
        FreeFrameCopy(pFrame);
}

int32_t CFileMode::Stop() {
    const int32_t nResult = CFileModeForward::Stop();
    if (nResult < 0)
        return nResult;
    platform::CLockGuard guard(m_lock);
    m_backwardPosition = FramePosition{};
    return PLAY_OK;
}

// ---------------------------------------------------------------------------
// Actions

int32_t CFileMode::PlayBackward() {
    const int32_t nState = m_nState.load();
    if (nState >= PLAY_STATE_PAUSE_REQUESTED && nState <= PLAY_STATE_SEEK_ACKNOWLEDGED)
        return PLAY_E_NOT_READY;
    if (nState != PLAY_STATE_IDLE && nState != PLAY_STATE_PAUSED && nState != PLAY_STATE_PLAYING)
        return PLAY_E_NOT_SUPPORTED;
    // Groups are found through the index.
    if (!IsIndexCompleted())
        return PLAY_E_INDEX_NOT_READY;
    if (IsBackward()) {
        // Checked and cleared in one step with the play thread's end test:
        // an end reached in between would otherwise be cleared with nothing
        // left to play, and play would stand still without reporting it.
        platform::CLockGuard guard(m_lock);
        if (!IsValidPosition(m_backwardPosition) && m_ready.empty() && !IsValidPosition(m_groupKey)) {
            // Nothing left before: start over from the last group of the file.
            platform::CLockGuard indexGuard(m_indexLock);
            if (!m_index.empty())
                m_backwardPosition = m_index.back();
        }
        m_attr.dwFileEnded = 0;
    } else {
        const int32_t nResult = SwitchDirection(true);
        if (nResult < 0)
            return nResult;
        SetFileEnded(false);
    }
    return EnterPlaying();
}

// ---------------------------------------------------------------------------
// Decoding backward

void CFileMode::MoveToPreviousGroup() {
    platform::CLockGuard indexGuard(m_indexLock);
    size_t i = 0;
    while (i < m_index.size() && m_index[i].dwSequence != m_groupKey.dwSequence)
        ++i;
    if (i < m_index.size()) {
        m_attr.ullPlayDataSize = m_index[i].ullFileOffset;
        m_backwardPosition = i > 0 ? m_index[i - 1] : FramePosition{};
    } else {
        m_backwardPosition = FramePosition{};
    }
    m_groupKey = FramePosition{};
    m_dwSegmentEnd = 0;
}

int32_t CFileMode::BackwardDecode() {
    return DecodeSegment(false, false, 0);
}

template <typename OnPicture>
int32_t CFileMode::DecodeGroup(const FramePosition &key, bool bParseCallbacks, OnPicture onPicture) {
    // The group is read again for every pass: its frames decode only
    // forward from its key frame.
    CFileModeForward::ClearPending();
    int32_t nResult = LoadGroup(key.ullFileOffset, kFileNoOffset);
    if (nResult < 0) {
        CFileModeForward::ClearPending();
        return nResult;
    }
    DestroyVideoDecoder();
    // Pictures come out in display order and are counted from 0. Passes
    // decode frames they then drop: only the pictures kept are reported to
    // the client, by the caller.
    m_bHoldDecodeCallbacks = true;
    uint32_t dwPosition = 0;
    while (m_nQuit.load() == 0) {
        PLAY_FRAME frame{};
        {
            platform::CLockGuard guard(m_lock);
            while (!m_pending.empty() && frame.pFrame == nullptr) {
                FrameRecord *pRecord = m_pending.front();
                m_pending.pop_front();
                if (IsVideoType(pRecord->nType))
                    frame.pFrame = pRecord;
                else
                    Demux_FreeFrame(m_pStream, pRecord); // no sound backward
            }
        }
        if (frame.pFrame != nullptr) {
            if (bParseCallbacks)
                OnStreamParse(&frame);
            DecodeFrame(&frame);
        } else if (DrainFrame(&frame) < 0) {
            break; // the whole group is out
        }
        if (frame.pFrame == nullptr)
            continue; // held back by the decoder
        if (!onPicture(&frame, dwPosition++))
            break;
    }
    m_bHoldDecodeCallbacks = false;
    // The next pass starts over from the key frame with a new decoder.
    DestroyVideoDecoder();
    CFileModeForward::ClearPending();
    return PLAY_OK;
}

int64_t CFileMode::RelativeValue(const FrameRecord *pRecord, bool bByTime) {
    platform::CLockGuard guard(m_lock);
    return bByTime ? static_cast<int64_t>(pRecord->dwTimestamp) - m_firstFrame.dwTimestamp
                   : static_cast<int64_t>(pRecord->dwSequence) - m_firstFrame.dwSequence;
}

int32_t CFileMode::DecodeSegment(bool bLimit, bool bByTime, uint32_t dwValue) {
    FramePosition key;
    uint32_t dwEnd;
    {
        platform::CLockGuard guard(m_lock);
        if (!m_ready.empty() || m_nQuit.load() != 0)
            return PLAY_OK;
        if (!IsValidPosition(m_groupKey) || m_dwSegmentEnd == 0) {
            if (!IsValidPosition(m_backwardPosition))
                return PLAY_E_NO_FRAME;
            m_groupKey = m_backwardPosition;
            m_dwSegmentEnd = kBackwardWholeGroup;
        }
        key = m_groupKey;
        dwEnd = m_dwSegmentEnd;
    }
    const bool bFirstPass = dwEnd == kBackwardWholeGroup;
    int32_t nResult;
    if (bLimit) {
        // A seek: the segment ends with the last picture at or before the
        // value, in display order. A reordering stream may show a frame
        // numbered lower after higher ones, so the pass goes on until the
        // decoder could not hold any more back.
        // The frame numbered exactly as asked wins where there is one.
        uint32_t dwLast = 0;
        bool bFound = false;
        uint32_t dwAfter = 0;
        nResult = DecodeGroup(key, false, [&](PLAY_FRAME *pFrame, uint32_t dwPosition) {
            const int64_t llRelative = RelativeValue(pFrame->pFrame, bByTime);
            ReleaseFrame(pFrame);
            if (llRelative == static_cast<int64_t>(dwValue)) {
                dwLast = dwPosition;
                bFound = true;
                return false;
            }
            if (llRelative < static_cast<int64_t>(dwValue) || !bFound) {
                dwLast = dwPosition;
                bFound = true;
                dwAfter = 0;
                return true;
            }
            return ++dwAfter < kPlayDecoderHeldMax;
        });
        if (nResult < 0)
            return nResult;
        dwEnd = bFound ? dwLast + 1 : 0;
    }

    // The segment: the last kBackwardSegment pictures before dwEnd.
    std::deque<PLAY_FRAME *> window;
    uint32_t dwCount = 0;
    int32_t nKept = PLAY_OK;
    nResult = DecodeGroup(key, bFirstPass, [&](PLAY_FRAME *pFrame, uint32_t dwPosition) {
        if (dwPosition >= dwEnd) {
            ReleaseFrame(pFrame); // the rest was shown already
            return false;
        }
        dwCount = dwPosition + 1;
        PLAY_FRAME *pCopy = static_cast<PLAY_FRAME *>(AllocClassBlock(&m_pool, 0));
        if (pCopy == nullptr) {
            ReleaseFrame(pFrame);
            nKept = PLAY_E_OUT_OF_MEMORY;
            return true;
        }
        std::memcpy(pCopy, pFrame, sizeof(*pFrame));
        try {
            window.push_back(pCopy);
        } catch (...) {
            FreeFrameCopy(pCopy);
            nKept = PLAY_E_OUT_OF_MEMORY;
            return true;
        }
        if (window.size() > kBackwardSegment) {
            FreeFrameCopy(window.front()); // an earlier segment's
            window.pop_front();
        }
        platform::CLockGuard guard(m_lock);
        if (window.size() > m_dwPeakHeld)
            m_dwPeakHeld = static_cast<uint32_t>(window.size());
        return true;
    });
    if (nResult < 0) {
        for (PLAY_FRAME *pFrame : window)
            FreeFrameCopy(pFrame);
        return nResult; // the same segment is tried again
    }
    for (PLAY_FRAME *pKept : window)
        OnDecode(pKept);
    platform::CLockGuard guard(m_lock);
    const uint32_t dwBegin = dwCount - static_cast<uint32_t>(window.size());
    for (auto it = window.rbegin(); it != window.rend(); ++it)
        m_ready.push_back(*it);
    m_dwSegmentEnd = dwBegin;
    if (dwBegin == 0)
        MoveToPreviousGroup();
    return nKept;
}

int32_t CFileMode::BackwardPresent(PLAY_FRAME *pFrame) {
    // A frame kept from a full display is shown first.
    if (pFrame->pFrame != nullptr)
        return PLAY_OK;
    platform::CLockGuard guard(m_lock);
    if (m_ready.empty())
        return PLAY_E_NO_FRAME;
    PLAY_FRAME *pCopy = m_ready.front();
    m_ready.pop_front();
    std::memcpy(pFrame, pCopy, sizeof(*pFrame));
    FreeClassBlock(&m_pool, 0, pCopy);
    return PLAY_OK;
}

int32_t CFileMode::TakeDecodedFrame(PLAY_FRAME *pFrame) {
    if (!IsBackward())
        return CFileModeForward::TakeDecodedFrame(pFrame);
    if (pFrame->pFrame != nullptr)
        return PLAY_OK; // kept from a full display
    BackwardDecode();
    const int32_t nResult = BackwardPresent(pFrame);
    if (nResult == PLAY_E_NO_FRAME)
        return PLAY_E_NOT_READY; // nothing loadable now: wait for the next round, do not spin
    return nResult;
}

void CFileMode::CheckFileEnd(PLAY_FRAME *pFrame) {
    if (!IsBackward()) {
        CFileModeForward::CheckFileEnd(pFrame);
        return;
    }
    if (pFrame == nullptr || pFrame->pFrame == nullptr || !IsVideoType(pFrame->pFrame->nType))
        return;
    {
        platform::CLockGuard guard(m_lock);
        if (!IsValidPosition(m_firstFrame) || pFrame->pFrame->dwSequence > m_firstFrame.dwSequence)
            return;
        // The start of the file is the end of backward play.
        m_attr.dwFileEnded = 1;
        m_attr.ullPlayDataSize = 0;
        m_attr.dwPlayDuration = 0;
        m_attr.dwPlayVideoFrameIndex = 0;
        m_lastVideoFrame = FramePosition{};
        m_lastReadVideo = FramePosition{};
        m_backwardPosition = FramePosition{};
    }
    FireFileEnded();
}

// ---------------------------------------------------------------------------
// Seeks and steps

int32_t CFileMode::SeekRatio(float fRatio) {
    if (!IsBackward())
        return CFileModeForward::SeekRatio(fRatio);
    uint32_t dwDuration;
    {
        platform::CLockGuard guard(m_lock);
        dwDuration = m_attr.dwFileDuration;
    }
    return SeekTime(
        static_cast<uint32_t>(std::trunc(static_cast<double>(dwDuration) * static_cast<double>(fRatio))));
}

int32_t CFileMode::SeekTime(uint32_t dwMs) {
    if (!IsBackward())
        return CFileModeForward::SeekTime(dwMs);
    return SeekBackward(true, dwMs);
}

int32_t CFileMode::SeekIndex(uint32_t dwIndex) {
    if (!IsBackward())
        return CFileModeForward::SeekIndex(dwIndex);
    return SeekBackward(false, dwIndex);
}

int32_t CFileMode::SeekBackward(bool bByTime, uint32_t dwValue) {
    if (IndexCount() == 0)
        return PLAY_E_NOT_FOUND;
    bool bPrevious;
    {
        platform::CLockGuard guard(m_lock);
        bPrevious = !bByTime && IsValidPosition(m_firstFrame) && IsValidPosition(m_lastVideoFrame) &&
                    dwValue + 1 == m_lastVideoFrame.dwSequence - m_firstFrame.dwSequence;
    }
    if (bPrevious)
        return StepBackward(); // the frame before: the ready list has it
    FramePosition target{};
    FramePosition next{};
    bool bHasNext = false;
    int32_t nResult = IndexFindTarget(bByTime, dwValue, &target, &next, &bHasNext);
    if (nResult < 0)
        return nResult;
    ClearPending();
    {
        platform::CLockGuard guard(m_lock);
        m_groupKey = target;
        m_dwSegmentEnd = kBackwardWholeGroup;
        m_attr.ullPlayDataSize = target.ullFileOffset;
        m_lastVideoFrame = FramePosition{};
    }
    // The first segment ends with the last picture at or before the value;
    // backward play goes on from there.
    nResult = DecodeSegment(true, bByTime, dwValue);
    PLAY_FRAME frame{};
    if (BackwardPresent(&frame) < 0)
        return nResult < 0 ? nResult : PLAY_OK;
    nResult = ShowFrame(&frame);
    ReleaseFrame(&frame);
    return nResult;
}

int32_t CFileMode::StepForward() {
    if (!IsBackward())
        return CFileModeForward::StepForward();
    return StepBackward();
}

int32_t CFileMode::StepBackward() {
    for (;;) {
        const int32_t nDecoded = BackwardDecode();
        PLAY_FRAME frame{};
        int32_t nResult = BackwardPresent(&frame);
        if (nResult < 0)
            return nDecoded < 0 ? nDecoded : nResult; // nothing before this frame, or a failed read
        nResult = ShowFrame(&frame);
        ReleaseFrame(&frame);
        if (nResult >= 0)
            return nResult;
    }
}
