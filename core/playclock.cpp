// The play clock: how long each video frame stays on screen, which frames are
// skipped above 75 pictures per second or under processor load, and the
// statistics measured while playing.
#include <cmath>
#include <cstdint>

#include "core/baseplaymode.h"
#include "core/player.h"

namespace {

bool NearZero(float f) {
    return f > -0.00001f && f < 0.00001f;
}

// A new measurement is averaged with the previous one unless there was none.
uint32_t Averaged(uint32_t dwOld, uint32_t dwNew) {
    return dwOld == 0 ? dwNew : (dwOld + dwNew) / 2;
}

float Averaged(float fOld, float fNew) {
    return NearZero(fOld) ? fNew : (fOld + fNew) / 2.0f;
}

uint32_t FrameBytes(const FrameRecord *pRecord) {
    return pRecord->dwPayloadLength + pRecord->dwHeaderLength;
}

} // namespace

void CBasePlayMode::UpdateCpuThrottle() {
    if (EnableFlags() & PLAY_ENABLE_NO_CPU_LIMIT) {
        m_nThrottled.store(0);
        return;
    }
    const int32_t nLoad = CurrentCpuLoad();
    if (nLoad < 0)
        return; // unknown load never throttles
    platform::CLockGuard guard(m_lock);
    if (m_nThrottled.load() == 0) {
        if (nLoad >= m_clock.nThrottleHigh)
            m_nThrottled.store(1);
    } else if (nLoad < m_clock.nThrottleLow) {
        m_nThrottled.store(0);
    }
}

void CBasePlayMode::SetFrameRate(float fFrameRate, float fSpeed) {
    platform::CLockGuard guard(m_lock);
    const float fEffective = fFrameRate * fSpeed;
    m_clock.fEffectiveRate = fEffective;
    if (fEffective > kPlaySkipAboveRate) {
        m_clock.fSkipRatio = (fEffective - kPlaySkipAboveRate) / fEffective;
        int nRow = static_cast<int>(m_clock.fSkipRatio * static_cast<float>(kFrameSkipRows));
        if (nRow >= kFrameSkipRows)
            nRow = kFrameSkipRows - 1;
        m_clock.nSkipRowIndex = nRow;
        m_clock.pSkipRow = FrameSkipRow(nRow);
    } else {
        m_clock.pSkipRow = nullptr;
        m_clock.nSkipRowIndex = -1;
        m_clock.fSkipRatio = 0.0f;
        m_clock.dwSkipPosition = 0;
    }
}

int32_t CBasePlayMode::ComputeFrameTiming(PLAY_FRAME *pFrame) {
    const FrameRecord *pRecord = pFrame->pFrame;
    if (pRecord == nullptr || !IsVideoType(pRecord->nType))
        return PLAY_OK;
    if (pFrame->dwDuration != 0 || pFrame->dwPresentDelay != 0)
        return PLAY_OK;
    platform::CLockGuard guard(m_lock);

    // A picture of a reordering stream stamped in stream order keeps the
    // step it was fed with (the steps between pictures shown jump).
    int64_t llStreamStep = -1;
    for (auto it = m_streamSteps.begin(); it != m_streamSteps.end(); ++it) {
        if (it->first == pRecord) {
            llStreamStep = it->second;
            m_streamSteps.erase(it);
            break;
        }
    }
    uint32_t dwDuration = kPlayDefaultDurationMs;
    if (IsValidPosition(m_lastVideoFrame)) {
        const int64_t llNew = pRecord->dwTimestamp;
        const int64_t llLast = m_lastVideoFrame.dwTimestamp;
        int64_t llStep = m_attr.dwPlayBackward ? llLast - llNew : llNew - llLast;
        if (llStreamStep >= 0 && m_bStampsInStreamOrder && m_attr.dwPlayBackward == 0)
            llStep = llStreamStep;
        if (llStep < 2)
            dwDuration = 1;
        else if (llStep >= kPlayMaxDurationMs)
            dwDuration = kPlayMaxDurationMs;
        else
            dwDuration = static_cast<uint32_t>(llStep);
    }

    const float fSpeed = m_attr.fSpeed;
    double dDelay;
    if (NearZero(m_clock.fEffectiveRate))
        dDelay = static_cast<double>(dwDuration) * 1000.0 / static_cast<double>(fSpeed);
    else
        dDelay = 1000000.0 / static_cast<double>(m_clock.fEffectiveRate);
    uint32_t dwDelay = dDelay >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(dDelay);

    if (Throttled())
        dwDelay = dwDelay > 0x7FFFFFFFu ? 0xFFFFFFFFu : dwDelay * 2;

    if (m_clock.pSkipRow != nullptr && m_nState.load() == PLAY_STATE_PLAYING) {
        dwDelay = m_clock.pSkipRow[m_clock.dwSkipPosition] ? kPlaySkipShownDelayUs : 0;
        m_clock.dwSkipPosition = (m_clock.dwSkipPosition + 1) % kFrameSkipColumns;
    }
    pFrame->dwDuration = dwDuration;
    pFrame->dwPresentDelay = dwDelay;
    return PLAY_OK;
}

void CBasePlayMode::UpdateStatistics(PLAY_FRAME *pFrame) {
    const FrameRecord *pRecord = pFrame->pFrame;
    if (pRecord == nullptr)
        return;
    platform::CLockGuard guard(m_lock);
    const int32_t nType = pRecord->nType;
    StatisticsWindow &w = m_window;

    // 1. A key frame closes a window that has reached its length.
    const uint32_t dwWindowLength = m_attr.dwKeyFrameInterval > kPlayStatisticsWindowMs
                                        ? m_attr.dwKeyFrameInterval
                                        : kPlayStatisticsWindowMs;
    if (nType == DEMUX_FRAME_I && w.dwDuration >= dwWindowLength && w.dwKeyFrames > 0) {
        const uint32_t k = w.dwKeyFrames;
        const uint32_t n = k + w.dwType3 + w.dwType4 + w.dwType5;
        const float fDuration = static_cast<float>(w.dwDuration);
        m_attr.dwKeyFrameDistance = Averaged(m_attr.dwKeyFrameDistance, n / k);
        m_attr.dwKeyFrameInterval = Averaged(m_attr.dwKeyFrameInterval, w.dwDuration / k);
        const float fFrameRate = static_cast<float>(n) * 1000.0f / fDuration;
        m_attr.fVideoFrameRate = Averaged(m_attr.fVideoFrameRate, fFrameRate);
        SetFrameRate(fFrameRate, m_attr.fSpeed);
        m_attr.fVideoBitrate = Averaged(m_attr.fVideoBitrate,
                                        static_cast<float>(w.dwVideoBytes) * 8000.0f / (fDuration * 1024.0f));
        m_attr.fAudioFrameRate =
            Averaged(m_attr.fAudioFrameRate, static_cast<float>(w.dwAudioFrames) * 1000.0f / fDuration);
        m_attr.fAudioBitrate = Averaged(m_attr.fAudioBitrate,
                                        static_cast<float>(w.dwAudioBytes) * 8000.0f / (fDuration * 1024.0f));
        w = StatisticsWindow{};
    }

    // 2. Count the frame; everything but key frames waits for the first key
    // frame of the window.
    if (nType == DEMUX_FRAME_AUDIO) {
        if (w.dwKeyFrames > 0) {
            ++w.dwAudioFrames;
            w.dwAudioBytes += FrameBytes(pRecord);
        }
    } else if (nType == DEMUX_FRAME_I) {
        w.dwDuration += pFrame->dwDuration;
        w.dwVideoBytes += FrameBytes(pRecord);
        ++w.dwKeyFrames;
    } else if (IsVideoType(nType) && w.dwKeyFrames > 0) {
        w.dwDuration += pFrame->dwDuration;
        w.dwVideoBytes += FrameBytes(pRecord);
        if (nType == DEMUX_FRAME_P)
            ++w.dwType3;
        else if (nType == DEMUX_FRAME_OTHER_VIDEO)
            ++w.dwType4;
        else
            ++w.dwType5;
    }

    // 3. Play position of a video frame.
    if (IsVideoType(nType)) {
        pFrame->dwDuration = 0;
        pFrame->dwPresentDelay = 0;
        m_attr.dwPlayDuration = pRecord->dwTimestamp - m_firstFrame.dwTimestamp;
        m_attr.dwPlayVideoFrameIndex = pRecord->dwSequence - m_firstFrame.dwSequence;
        m_lastVideoFrame = PositionOf(pRecord);
    }
}
