// The live stream player: data pushed block by block after a header block,
// played from the first key frame on, or pulled frame by frame on demand.
// File players derive from it and keep its actions.
#pragma once

#include <deque>

#include "core/baseplaymode.h"

// Latency control: at this many queued frames the player jumps to the next
// queued key frame; from the fast threshold on it halves the delays until
// fewer than the slow threshold remain.
constexpr uint32_t kStreamSkipQueued = 101;
constexpr uint32_t kStreamFastQueued = 16;
constexpr uint32_t kStreamSlowQueued = 5;
// Catch-up landings remembered at most (more than a decoder holds back).
constexpr size_t kCatchUpLandingsMax = 32;

class CStreamMode : public CBasePlayMode {
public:
    CStreamMode();
    ~CStreamMode() override;

    int32_t Open(const PLAY_CREATE_PARAM *pParam) override;
    int32_t Close() override;
    int32_t SetControl(uint32_t dwCode, const void *pValue, uint32_t dwSize) override;
    int32_t InputData(const void *pData, uint32_t dwLength) override;
    int32_t GetDecodeFrame(uint32_t dwPixelFormat, PLAY_FRAME **ppFrame) override;
    int32_t Seek(uint32_t dwKind, const void *pValue, uint32_t dwSize) override;
    void InitStreamParam(const PLAY_CREATE_PARAM *pParam) override;
    int32_t InitAttributes() override;
    int32_t PlayStep(PLAY_FRAME *pFrame) override;
    int32_t ReadFrame(PLAY_FRAME *pFrame) override;
    int32_t ComputeFrameTiming(PLAY_FRAME *pFrame) override;

    // Appended operations.
    virtual int32_t Stop();
    virtual int32_t Pause();
    virtual int32_t Play();
    virtual void OnBufferAlmostEmpty(uint32_t dwQueued);

    int32_t CatchUpState() const { return m_nCatchUp; }

protected:
    // One action of the action control (size and decode-on-demand already
    // checked); file players add backward play.
    virtual int32_t RunAction(uint32_t dwAction);
    // State := playing unless a pause or seek request is in progress
    // (PLAY_E_NOT_READY), then wakes the play thread.
    int32_t EnterPlaying();
    // Whether the latency control runs: stream mode, no buffer-almost-empty
    // threshold, no decode on demand.
    bool LatencyControlOn();
    // Takes the next frame from the parser into an empty slot.
    int32_t TakeFrame(PLAY_FRAME *pFrame);
    // Gives a decoded frame to the client as a pool copy it hands back with
    // FreeDecodeFrame; the frame is released on failure.
    int32_t HandOutFrame(PLAY_FRAME *pFrame, PLAY_FRAME **ppFrame);
    // The next frame of the play step, decoded (read and decode; file
    // players add the end of the file and backward play). The frame comes
    // back empty while the decoder holds its picture back.
    virtual int32_t TakeDecodedFrame(PLAY_FRAME *pFrame);
    // After a frame was rendered and counted (file players: the end test).
    virtual void OnFrameDone(PLAY_FRAME *) {}

    // Held by Play_InputData and by the parser reset of a stop only (never
    // with anything else inside it): the parser is not reset under a block
    // it is taking in.
    platform::CLock m_inputLock;

private:
    // The key frames catch-up skips landed on, until each is timed (player
    // lock). Several may be inside the decoder at once.
    std::deque<FramePosition> m_catchUpLandings;
};
