// Forward play of a recording file: the play thread reads the file block by
// block through the player's parser, while an index thread reads it once more
// through a parser of its own and lists every key frame. Seeks by time and by
// frame index rest on that list; the pending queue holds frames read ahead by
// a seek or by backward play and is played before anything new is read.
#pragma once

#include <atomic>
#include <deque>
#include <vector>

#include "core/fileindex.h"
#include "core/streammode.h"
#include "platform/file.h"

// The frame-rate estimate at open needs key frames at least this far apart.
constexpr uint32_t kFileRateMinSpanMs = 4000;
constexpr float kFileRateMin = 1.0f;
constexpr float kFileRateMax = 60.0f;
// Frames a seek feeds the decoder at most to get its first picture out.
constexpr uint32_t kFilePrimeFramesMax = 16;
// "No end offset" for LoadGroup.
constexpr uint64_t kFileNoOffset = ~uint64_t(0);

class CFileModeForward : public CStreamMode {
public:
    CFileModeForward();
    ~CFileModeForward() override;

    int32_t Open(const PLAY_CREATE_PARAM *pParam) override;
    int32_t Close() override;
    int32_t InputData(const void *pData, uint32_t dwLength) override;
    int32_t GetDecodeFrame(uint32_t dwPixelFormat, PLAY_FRAME **ppFrame) override;
    int32_t Seek(uint32_t dwKind, const void *pValue, uint32_t dwSize) override;
    int32_t RegisterCallbackFunction(uint32_t dwKind, const PLAY_CALLBACK_PARAM *pParam,
                                     uint32_t dwSize) override;
    int32_t InitAttributes() override;
    int32_t ReadFrame(PLAY_FRAME *pFrame) override;
    int32_t Stop() override;
    int32_t Play() override;

    // Appended operations.
    virtual void FireIndexCompleted();
    virtual void FireFileEnded();
    // A block of the file, parsed by pParser, goes into the key-frame index.
    virtual int32_t IndexBlock(CBaseStream *pParser, const uint8_t *pData, uint32_t dwLength);
    // Indexing has ended: attributes from the index, then the client's
    // callback (no lock held).
    virtual void IndexCompleted();
    virtual int32_t PlayBackward() = 0;
    // The next frame of the file (a gap with reset-on-gap skips to the next
    // key frame; with no reading position, reading starts over at the
    // beginning). PLAY_E_NO_FRAME at the end of the file.
    virtual int32_t ReadNextFrame(PLAY_FRAME *pFrame);
    // pFrame null: the reader hit the end of the file.
    virtual void CheckFileEnd(PLAY_FRAME *pFrame);
    virtual int32_t ReadKeyFrameAt(PLAY_FRAME *pFrame, uint64_t ullOffset);
    virtual void ClearPending();
    // Pending queue := the key frame at or after ullStart and the frames of
    // its group; ullEnd (kFileNoOffset: none) is where forward reading goes on.
    virtual int32_t LoadGroup(uint64_t ullStart, uint64_t ullEnd);
    virtual int32_t SeekRatio(float fRatio);
    virtual int32_t SeekTime(uint32_t dwMs);
    virtual int32_t SeekIndex(uint32_t dwIndex);
    virtual int32_t StepForward();

    // ---- Read-outs for tests and tools ----
    std::vector<FramePosition> IndexEntries() { return m_fileIndex.Entries(); }
    uint32_t PendingCount();
    bool FileEnded();
    bool IndexThreadRunning() const { return m_fileIndex.Running(); }

protected:
    int32_t RunAction(uint32_t dwAction) override;
    // Opens the file, reads its first block and builds the parser from it;
    // keeps the path.
    int32_t OpenFile(const PLAY_CREATE_PARAM *pParam);
    // The play thread idles at the end of the file and under processor load
    // above the limit.
    bool HoldPlayback() override;
    // Seeks, steps and backward play show the picture of the frame they
    // reach: one decoding thread, no picture held back.
    bool FrameExactDecoding() override { return true; }

    // Collects one group frame by frame, from whichever source the player
    // reads: the key frame, then audio and the following video frames up to
    // the next key frame (or a sequence gap with reset-on-gap). Take answers
    // true when the group has ended; every frame not kept is given back.
    class CGroupLoader {
    public:
        bool Take(CFileModeForward *pPlayer, FrameRecord *pRecord);

    private:
        bool m_bCollecting = false;
        FramePosition m_last{};
    };

    // The player's parser starts over at ullOffset of the file. Parsers
    // count offsets from where they were reset, and some (the 15
    // generation) time stamps too: Rebase puts each frame taken afterwards
    // back on the file's scale (offsets by the reset position, times by the
    // index entry of the first key frame).
    void ResetParserAt(uint64_t ullOffset);
    void Rebase(FrameRecord *pRecord);

    // The reader of the player's parser: PositionReader puts it at an
    // offset of the file, NextParsedFrame takes the next frame (a queued
    // one, else the parser is fed the next block), rebased onto the file;
    // PLAY_E_NO_FRAME at the end of the file. AccountRead counts a frame
    // taken into the play data size (player lock held).
    virtual int32_t PositionReader(uint64_t ullOffset);
    virtual int32_t NextParsedFrame(FrameRecord **ppRecord);
    virtual void AccountRead(const FrameRecord *pRecord);

    // Read, decode, and at the end of the file the decoder's last pictures;
    // the end is reported once the decoder is empty too.
    int32_t TakeDecodedFrame(PLAY_FRAME *pFrame) override;
    void OnFrameDone(PLAY_FRAME *pFrame) override { CheckFileEnd(pFrame); }

    // Decodes the pending frames (then, for a paused seek, frames read ahead
    // while the decoder holds pictures back, then the last pictures at the
    // end of the file) until the picture of a frame at or after dwValue
    // comes out: that one is shown, earlier ones are timed and counted
    // without being shown. Frames read ahead stay in the decoder and come
    // out as play goes on.
    int32_t ShowFirstFrom(bool bByTime, uint32_t dwValue);

    // A seek of any kind with the play thread standing still (or being the
    // caller); nFromState is the state to return to.
    int32_t RunSeek(uint32_t dwKind, uint32_t dwValue, int32_t nFromState, bool bDirectionChange);
    void RunDeferredSeek() override;

    // Pauses, sets the play direction and seeks by index to the frame shown
    // (to the other end when that is where the new direction ends).
    int32_t SwitchDirection(bool bBackward);

    // Forward seek by time (bByTime) or frame index.
    int32_t SeekForward(bool bByTime, uint32_t dwValue);

    // Reads the next block of the player's file into the read buffer and
    // hands it to the parser: bytes read, 0 at the end, negative on failure.
    int32_t FeedParser();
    // The play thread's file read (bytes read, 0 at the end, negative on
    // failure); a failed read leaves the file position where it was, so the
    // next round reads the same block again.
    virtual int64_t ReadFileBlock(uint8_t *pBuffer, uint32_t dwLength);
    // Renders a frame, retrying every millisecond while the display is full.
    int32_t RenderRetrying(PLAY_FRAME *pFrame);
    // A frame a seek or step reaches: rendered (retrying), counted and
    // checked for the end; the render's result.
    int32_t ShowFrame(PLAY_FRAME *pFrame);
    // A frame a seek passes on its way: timed, counted and checked for the
    // end, not shown.
    void PassFrame(PLAY_FRAME *pFrame);
    // Whether the reader has frames or bytes left after the current frame.
    virtual bool MoreToRead();
    int32_t IndexFindTarget(bool bByTime, uint32_t dwValue, FramePosition *pTarget, FramePosition *pNext,
                            bool *pbHasNext);
    uint32_t IndexCount() { return m_fileIndex.Count(); }
    bool IsIndexCompleted();
    void SetFileEnded(bool bEnded);
    // Relative value of a position (time stamp or sequence number from the
    // first frame).
    uint32_t RelativeOf(const FramePosition &pos, bool bByTime) const;
    static uint64_t FrameBytes(const FrameRecord *pRecord) {
        return static_cast<uint64_t>(pRecord->dwPayloadLength) + pRecord->dwHeaderLength;
    }

    std::vector<QV_WCHAR> m_path; // zero-terminated copy
    platform::CFile m_file;
    uint8_t *m_pReadBuffer = nullptr;
    uint32_t m_dwReadBufferSize = 0;

    // The key-frame index and its thread (started by Open, stopped by
    // Close). Walks of the list take the index lock (a leaf lock: nothing
    // else is taken inside it).
    CFileIndex m_fileIndex;
    platform::CLock &m_indexLock = m_fileIndex.Lock();
    std::vector<FramePosition> &m_index = m_fileIndex.EntriesLocked(); // under the index lock

    // Frames read ahead by a seek or by backward play (player lock).
    std::deque<FrameRecord *> m_pending;
    // The last video frame read, in file order: the gap test, and whether
    // reading has a position at all (player lock).
    FramePosition m_lastReadVideo{};

    // The seek in progress may feed frames ahead to show its picture; a
    // change of direction seeks without (player lock).
    bool m_bPrimeSeek = false;
    std::atomic<bool> m_bDirectionChange{false};
    // A seek asked for from a callback on the play thread, run after the
    // step that called it (player lock).
    struct DeferredSeek {
        uint32_t dwKind;
        uint32_t dwValue;
        bool bDirectionChange;
    };
    DeferredSeek m_deferredSeek{};

    // Rebasing of the player's parser since its last reset (player lock).
    uint64_t m_ullOffsetShift = 0;
    int64_t m_llTimeShift = 0;
    bool m_bTimeShiftPending = false;
};
