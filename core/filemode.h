// File player with backward play. Video decodes only forward from a key
// frame, so backward play goes group by group, and a long group segment by
// segment from its end: the group is loaded, decoded forward from its key
// frame up to the end of the segment, the pictures of the segment are kept
// and shown last to first; the segment before it is decoded again from the
// key frame. So at most one segment of pictures is held, whatever the
// key-frame distance. Audio is not played backward.
#pragma once

#include <deque>

#include "core/filemodeforward.h"

// Pictures decoded and held at once in backward play.
constexpr uint32_t kBackwardSegment = 32;
// "The whole group" as a segment end.
constexpr uint32_t kBackwardWholeGroup = 0xFFFFFFFFu;

class CFileMode : public CFileModeForward {
public:
    CFileMode();
    ~CFileMode() override;

    int32_t Stop() override;
    int32_t PlayBackward() override;
    void CheckFileEnd(PLAY_FRAME *pFrame) override;
    void ClearPending() override;
    int32_t SeekRatio(float fRatio) override;
    int32_t SeekTime(uint32_t dwMs) override;
    int32_t SeekIndex(uint32_t dwIndex) override;
    int32_t StepForward() override;

    // Appended operations.
    // Decodes the next segment going backward when no picture is ready:
    // PLAY_E_NO_FRAME at the start of the file, a read failure's code when
    // the group could not be loaded (the same group is tried again).
    virtual int32_t BackwardDecode();
    virtual int32_t BackwardPresent(PLAY_FRAME *pFrame);

    // ---- Read-outs for tests and benchmarks ----
    bool Backward();
    // Most decoded pictures held at once since open.
    uint32_t PeakBackwardFrames();
    uint32_t BackwardFramesHeld();

protected:
    int32_t TakeDecodedFrame(PLAY_FRAME *pFrame) override;
    bool IsBackward();
    // Backward seek by time (bByTime) or by frame index.
    int32_t SeekBackward(bool bByTime, uint32_t dwValue);
    int32_t StepBackward();
    void FreeFrameCopy(PLAY_FRAME *pFrame);
    // The group being shown is done: the one before it is next (none before
    // the first). Player lock held.
    void MoveToPreviousGroup();
    // Decodes the group being shown (or the next one going backward) from
    // its key frame and keeps the pictures of its next segment in the ready
    // list; with bLimit only pictures at or before dwValue (a seek).
    int32_t DecodeSegment(bool bLimit, bool bByTime, uint32_t dwValue);
    // One pass over the group of key: loaded, decoded from its key frame,
    // each picture handed to onPicture with its display position (false:
    // stop); decode callbacks are held back.
    template <typename OnPicture>
    int32_t DecodeGroup(const FramePosition &key, bool bParseCallbacks, OnPicture onPicture);
    int64_t RelativeValue(const FrameRecord *pRecord, bool bByTime);

    FramePosition m_backwardPosition{}; // next group to load going backward
    FramePosition m_groupKey{};         // key frame of the group being shown
    uint32_t m_dwSegmentEnd = 0;        // its pictures [0, end) not shown yet, in display order
    std::deque<PLAY_FRAME *> m_ready;   // presentation order (reverse)
    uint32_t m_dwPeakHeld = 0;
};
