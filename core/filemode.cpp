// Backward play of recording files, group by group.
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
    return static_cast<uint32_t>(m_decoded.size() + m_ready.size());
}

void CFileMode::FreeFrameCopy(PLAY_FRAME *pFrame) {
    ReleaseFrame(pFrame);
    FreeClassBlock(&m_pool, 0, pFrame);
}

void CFileMode::ClearPending() {
    CFileModeForward::ClearPending();
    platform::CLockGuard guard(m_lock);
    for (PLAY_FRAME *pFrame : m_ready)
        FreeFrameCopy(pFrame);
    m_ready.clear();
    for (PLAY_FRAME *pFrame : m_decoded)
        FreeFrameCopy(pFrame);
    m_decoded.clear();
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
        platform::CLockGuard guard(m_lock);
        if (!IsValidPosition(m_lastVideoFrame)) {
            // Start over from the last group of the file.
            platform::CLockGuard indexGuard(m_indexLock);
            if (!m_index.empty())
                m_backwardPosition = m_index.back();
        }
    } else {
        const int32_t nResult = SwitchDirection(true);
        if (nResult < 0)
            return nResult;
    }
    SetFileEnded(false);
    return EnterPlaying();
}

// ---------------------------------------------------------------------------
// Reading and decoding backward

int32_t CFileMode::ReadFrame(PLAY_FRAME *pFrame) {
    if (!IsBackward())
        return CFileModeForward::ReadFrame(pFrame);
    if (pFrame->pFrame != nullptr)
        return PLAY_OK;
    int32_t nResult = PLAY_E_FAIL;
    {
        platform::CLockGuard guard(m_lock);
        if (m_pending.empty() && IsValidPosition(m_backwardPosition)) {
            LoadGroup(m_backwardPosition.ullFileOffset, kFileNoOffset);
            platform::CLockGuard indexGuard(m_indexLock);
            size_t i = 0;
            while (i < m_index.size() && m_index[i].dwSequence != m_backwardPosition.dwSequence)
                ++i;
            if (i < m_index.size()) {
                m_attr.ullPlayDataSize = i + 1 < m_index.size() ? m_index[i + 1].ullFileOffset : m_attr.ullFileSize;
                m_backwardPosition = i > 0 ? m_index[i - 1] : FramePosition{};
            } else {
                m_backwardPosition = FramePosition{};
            }
        }
        while (!m_pending.empty()) {
            FrameRecord *pRecord = m_pending.front();
            m_pending.pop_front();
            const uint64_t ullBytes = FrameBytes(pRecord);
            m_attr.ullPlayDataSize = m_attr.ullPlayDataSize > ullBytes ? m_attr.ullPlayDataSize - ullBytes : 0;
            if (IsVideoType(pRecord->nType)) {
                pFrame->pFrame = pRecord;
                nResult = PLAY_OK;
                break;
            }
            Demux_FreeFrame(m_pStream, pRecord); // no sound backward
        }
        if (nResult >= 0) {
            uint32_t dwQueued = 0;
            GetQueuedCount(&dwQueued);
            SetBufferedCount(dwQueued + static_cast<uint32_t>(m_pending.size()));
        }
    }
    if (nResult >= 0)
        OnStreamParse(pFrame);
    return nResult;
}

int32_t CFileMode::BackwardDecode() {
    uint32_t dwLimit;
    {
        platform::CLockGuard guard(m_lock);
        dwLimit = m_attr.dwKeyFrameDistance;
        if (dwLimit == 0) {
            // Not measured yet (backward right after open): the index knows
            // the mean distance, which keeps the pictures held to about one
            // group instead of the fixed fallback.
            const uint32_t dwEntries = IndexCount();
            if (dwEntries > 0 && m_attr.dwFileVideoFrameCount > 0)
                dwLimit = (m_attr.dwFileVideoFrameCount + dwEntries - 1) / dwEntries;
            if (dwLimit == 0 || dwLimit > kBackwardDefaultLimit)
                dwLimit = kBackwardDefaultLimit;
        }
    }
    int32_t nResult = PLAY_OK;
    for (;;) {
        {
            platform::CLockGuard guard(m_lock);
            if ((!m_ready.empty() && m_ready.size() + m_decoded.size() > dwLimit) || m_nQuit.load() != 0)
                break;
        }
        PLAY_FRAME frame{};
        bool bStop = false;
        nResult = ReadFrame(&frame);
        if (nResult < 0) {
            bStop = true;
            ReleaseFrame(&frame);
        } else {
            nResult = DecodeFrame(&frame);
            PLAY_FRAME *pCopy = nullptr;
            if (nResult >= 0) {
                pCopy = static_cast<PLAY_FRAME *>(AllocClassBlock(&m_pool, 0));
                if (pCopy == nullptr)
                    nResult = PLAY_E_OUT_OF_MEMORY;
            }
            if (nResult >= 0) {
                std::memcpy(pCopy, &frame, sizeof(frame));
                platform::CLockGuard guard(m_lock);
                m_decoded.push_back(pCopy);
                const uint32_t dwHeld = static_cast<uint32_t>(m_decoded.size() + m_ready.size());
                if (dwHeld > m_dwPeakHeld)
                    m_dwPeakHeld = dwHeld;
            } else {
                ReleaseFrame(&frame);
            }
        }
        {
            platform::CLockGuard guard(m_lock);
            if (m_pending.empty() && !m_decoded.empty()) {
                // The group is used up: its pictures are shown last to first,
                // and the group before starts at a key frame of its own.
                while (!m_decoded.empty()) {
                    m_ready.push_back(m_decoded.back());
                    m_decoded.pop_back();
                }
                DestroyVideoDecoder();
            }
        }
        if (bStop)
            break;
    }
    return nResult;
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

int32_t CFileMode::PlayStep(PLAY_FRAME *pFrame) {
    if (!IsBackward())
        return CFileModeForward::PlayStep(pFrame);
    BackwardDecode();
    int32_t nResult = BackwardPresent(pFrame);
    if (nResult == PLAY_E_NO_FRAME)
        return PLAY_E_NOT_READY; // nothing loadable now: wait for the next round, do not spin
    if (nResult < 0)
        return nResult;
    nResult = RenderFrame(pFrame);
    if (nResult < 0)
        return nResult;
    UpdateStatistics(pFrame);
    CheckFileEnd(pFrame);
    return PLAY_OK;
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
    return SeekTime(static_cast<uint32_t>(std::trunc(static_cast<double>(dwDuration) * static_cast<double>(fRatio))));
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
    platform::CLockGuard guard(m_lock);
    if (IndexCount() == 0)
        return PLAY_E_NOT_FOUND;
    if (!bByTime && IsValidPosition(m_firstFrame) && IsValidPosition(m_lastVideoFrame) &&
        dwValue + 1 == m_lastVideoFrame.dwSequence - m_firstFrame.dwSequence)
        return StepBackward(); // the frame before: the ready list has it
    FramePosition target{};
    FramePosition next{};
    bool bHasNext = false;
    int32_t nResult = IndexFindTarget(bByTime, dwValue, &target, &next, &bHasNext);
    if (nResult < 0)
        return nResult;
    ClearPending();
    m_backwardPosition = target;
    m_attr.ullPlayDataSize = target.ullFileOffset;
    m_lastVideoFrame = FramePosition{};
    DestroyVideoDecoder();
    BackwardDecode();

    // Later frames of the group are timed without being shown; the first at
    // or before the asked value is shown.
    nResult = PLAY_OK;
    for (;;) {
        PLAY_FRAME frame{};
        if (BackwardPresent(&frame) < 0)
            break;
        const int64_t llRelative = bByTime
                                       ? static_cast<int64_t>(frame.pFrame->dwTimestamp) - m_firstFrame.dwTimestamp
                                       : static_cast<int64_t>(frame.pFrame->dwSequence) - m_firstFrame.dwSequence;
        if (llRelative <= static_cast<int64_t>(dwValue)) {
            nResult = ShowFrame(&frame);
            ReleaseFrame(&frame);
            break;
        }
        PassFrame(&frame);
        ReleaseFrame(&frame);
    }
    return nResult;
}

int32_t CFileMode::StepForward() {
    if (!IsBackward())
        return CFileModeForward::StepForward();
    return StepBackward();
}

int32_t CFileMode::StepBackward() {
    for (;;) {
        BackwardDecode();
        PLAY_FRAME frame{};
        int32_t nResult = BackwardPresent(&frame);
        if (nResult < 0)
            return nResult; // nothing before this frame
        nResult = ShowFrame(&frame);
        ReleaseFrame(&frame);
        if (nResult >= 0)
            return nResult;
    }
}
