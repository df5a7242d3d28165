// Base class of the container parsers: scans the bytes it is given for
// frames with the derived class's tests (where they lie when nothing is held
// back, else after them in one input block of its own pool), queues the
// frame records it builds, or hands them to a frame sink, and counts them.
//
// Locks: the input lock guards the input buffer, the OSD list and every
// parsing state of the derived class; the queue lock guards only the frame
// queue and is taken inside the input lock, never the other way round. So
// one thread may feed while another pulls frames. The statistics lock guards
// only the published statistics and takes no other lock: the parse counts
// into a pending record under the input lock and adds it to the published
// one a batch of frames at a time, so a reader never sees half a batch.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

#include "blockpool/blockpool.h"
#include "demux/osd.h"
#include "platform/sync.h"
#include <qvdemux.h>

class CBaseStream {
public:
    CBaseStream();
    // Reset (the base one), clear StreamInfo, release the pool. Frames still
    // held by a caller must have been given back before.
    virtual ~CBaseStream();
    CBaseStream(const CBaseStream &) = delete;
    CBaseStream &operator=(const CBaseStream &) = delete;

    // Recognises the container in the first block and fills StreamInfo;
    // parses no frame. Negative: not this container.
    virtual int32_t Open(const uint8_t *data, uint32_t length) = 0;
    // Reset, then StreamInfo cleared to zero.
    virtual int32_t Close();
    // Drops buffered bytes, OSD items, queued frames and statistics; the
    // container stays known.
    virtual int32_t Reset();
    virtual int32_t GetInfo(StreamInfo *info);
    // Parses one block (any size up to DEMUX_MAX_INPUT_LENGTH); what follows
    // its last whole frame is kept for the next block.
    virtual int32_t InputData(const DemuxInput *input);
    // The oldest queued frame; DEMUX_E_NO_FRAME (out untouched) when none.
    virtual int32_t GetFrame(FrameRecord **out);
    // Gives a frame and its blocks back to the pool.
    virtual int32_t FreeFrame(FrameRecord *frame);
    // Only the 6000 generation seeks.
    virtual int32_t Seek(uint64_t fileOffset);
    // Off: frames carry no OSD items and none are built (a reader that only
    // lists frames, such as a file index, skips that work). On by default.
    void SetOsdEnabled(bool enabled) { m_osdEnabled = enabled; }
    // Takes each frame while it is parsed, instead of the queue.
    class CFrameSink {
    public:
        // The record, its header and payload (pointing into the bytes being
        // parsed) and its OSD items live only during the call.
        virtual void OnFrame(const FrameRecord *frame) = 0;

    protected:
        ~CFrameSink() = default;
    };
    // Set: InputData hands every frame it parses to the sink, on the calling
    // thread, and queues none; nothing is copied or allocated per frame. For
    // a reader that lists frames, such as a file index. Null: the queue
    // again. False (and nothing changed) for a parser that keeps every frame
    // it parses (the 6000 generation): its frames stay in the queue.
    virtual bool SetFrameSink(CFrameSink *sink);
    // Queued frames, read without the queue lock.
    virtual int32_t GetFrameCount(uint32_t *count);
    virtual int32_t GetStatistics(StreamStatistics *statistics);
    // Scans for complete frames and queues them; returns the bytes consumed
    // (up to the end of the last frame found, garbage before it included).
    virtual uint32_t ParseBuffer(const uint8_t *data, uint32_t length, uint64_t fileOffset);
    // A complete, valid video frame starts at data (all of it inside length).
    virtual bool IsVideoFrameAt(const uint8_t *data, uint32_t length) = 0;
    // Builds the record of the video frame at data; null when the pool has
    // no block (the scan then stops and keeps the bytes).
    virtual FrameRecord *ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) = 0;
    virtual bool IsAudioFrameAt(const uint8_t *data, uint32_t length) = 0;
    // Builds the record of the audio frame at data (file offset 0).
    virtual FrameRecord *ParseAudioFrame(const uint8_t *data, uint32_t length) = 0;
    // Counts a frame that entered the queue, in the pending record (under
    // the input lock); PublishStatistics makes it visible.
    virtual void UpdateStatistics(FrameRecord *frame);
    // Where the next frame may start in data: the offset of the first byte
    // that could begin one (length when none). The scan skips to it instead
    // of testing every byte; the default tests every byte. Must never skip a
    // position at which IsVideoFrameAt or IsAudioFrameAt would hold.
    virtual uint32_t NextFrameCandidate(const uint8_t *data, uint32_t length);

protected:
    BlockPool *Pool() { return &m_pool; }
    COsdList &OsdList() { return m_osd; }

    // A zeroed record (size set) with one pool block holding a copy of the
    // header followed directly by the payload. headerLength may be 0 (header
    // null then). Null when the pool has no block. With a frame sink: the
    // parser's one scratch record, pointing at the bytes given.
    FrameRecord *NewFrame(const uint8_t *header, uint32_t headerLength, const uint8_t *payload,
                          uint32_t payloadLength);
    // The same with header and payload in pool blocks of their own (either
    // may be empty, its pointer null then).
    FrameRecord *NewFrameApart(const uint8_t *header, uint32_t headerLength, const uint8_t *payload,
                               uint32_t payloadLength);
    // Returns a record, its data block(s) and its OSD copy to the pool,
    // whatever the derived FreeFrame does: the blocks as NewFrame or
    // NewFrameApart allocated them, wherever they lie.
    void DestroyFrame(FrameRecord *frame);
    // Appends at the tail of the queue under the queue lock. When the queue
    // cannot grow the frame is freed and false returned. Once queued the
    // frame may be taken by another thread at once: do not touch it after.
    bool QueueFrame(FrameRecord *frame);
    // The same for several frames under one lock, in order; frames the queue
    // cannot take are freed and the count queued is returned.
    uint32_t QueueFrames(FrameRecord *const *frames, uint32_t count);
    // BreakDownTime, remembering the last second converted: consecutive
    // frames mostly carry the same recording second.
    bool BreakDownRecordingTime(int64_t seconds, SYSTEMTIME *out);
    // Adds the time since startCounter (QueryCounter) to the input time.
    void AddInputTime(int64_t startCounter);
    // Adds the pending counts to the published statistics under the
    // statistics lock and clears them. Under the input lock.
    void PublishStatistics();
    // Frees every queued frame (under the queue lock).
    void DropQueuedFrames();

    StreamInfo m_info{};
    StreamStatistics m_statistics{};   // published, under m_statisticsLock
    StreamStatistics m_pending{};      // counted, not yet published; input lock
    uint32_t m_lastVideoTimestamp = 0; // 0: no video frame counted yet
    platform::CLock m_statisticsLock;
    BlockPool m_pool{};
    std::deque<FrameRecord *> m_queue; // oldest first
    // m_queue.size(), readable without the queue lock; whoever changes
    // m_queue directly (under the queue lock) keeps it equal.
    std::atomic<uint32_t> m_queuedCount{0};
    platform::CLock m_queueLock;
    uint8_t *m_buffer = nullptr;
    uint32_t m_capacity = 0;     // DEMUX_INPUT_BUFFER_SIZE once allocated
    uint32_t m_start = 0;        // first unparsed byte
    uint32_t m_filled = 0;       // unparsed bytes from m_start
    uint64_t m_bufferOffset = 0; // stream offset of buffer byte 0
    COsdList m_osd;
    bool m_osdEnabled = true;
    CFrameSink *m_sink = nullptr; // under the input lock
    FrameRecord m_scratch{};      // the record a sink gets
    int64_t m_lastSeconds = 0;
    SYSTEMTIME m_lastTime{};
    bool m_lastTimeValid = false;
    bool m_lastTimeKnown = false;
    platform::CLock m_inputLock;
};
