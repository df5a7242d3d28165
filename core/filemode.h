// File player with backward play. Video decodes only forward from a key
// frame, so backward play goes group by group: the group before the current
// position is loaded, decoded forward into the decoded list, turned around
// into the ready list and shown last to first. Audio is not played backward.
#pragma once

#include <deque>

#include "core/filemodeforward.h"

// Decoded pictures held while the key-frame distance is not yet measured.
constexpr uint32_t kBackwardDefaultLimit = 100;

class CFileMode : public CFileModeForward {
public:
    CFileMode();
    ~CFileMode() override;

    int32_t PlayStep(PLAY_FRAME *pFrame) override;
    int32_t ReadFrame(PLAY_FRAME *pFrame) override;
    int32_t Stop() override;
    int32_t PlayBackward() override;
    void CheckFileEnd(PLAY_FRAME *pFrame) override;
    void ClearPending() override;
    int32_t SeekRatio(float fRatio) override;
    int32_t SeekTime(uint32_t dwMs) override;
    int32_t SeekIndex(uint32_t dwIndex) override;
    int32_t StepForward() override;

    // Appended operations.
    virtual int32_t BackwardDecode();
    virtual int32_t BackwardPresent(PLAY_FRAME *pFrame);

    // ---- Read-outs for tests and benchmarks ----
    bool Backward();
    // Most decoded pictures held at once (decoded + ready lists) since open.
    uint32_t PeakBackwardFrames();
    uint32_t BackwardFramesHeld();

protected:
    bool IsBackward();
    // Backward seek by time (bByTime) or by frame index.
    int32_t SeekBackward(bool bByTime, uint32_t dwValue);
    int32_t StepBackward();
    void FreeFrameCopy(PLAY_FRAME *pFrame);

    FramePosition m_backwardPosition{};  // next group to load going backward
    std::deque<PLAY_FRAME *> m_decoded;   // current group, file order
    std::deque<PLAY_FRAME *> m_ready;     // presentation order (reverse)
    uint32_t m_dwPeakHeld = 0;
};
