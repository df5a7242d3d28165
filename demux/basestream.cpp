// Buffering, frame scan, frame queue and statistics common to the parsers.
#include "demux/basestream.h"

#include <cstring>
#include <new>

#include "platform/timers.h"

namespace {
// Bytes copied at least per round while completing a frame held back.
constexpr uint32_t kJoinStep = 0x10000;

// How a record's data blocks were allocated, kept just in front of the
// record in the record's own block: freeing goes by it, never by where the
// record's pointers and lengths happen to lie.
// Sized so that record and bookkeeping still fit the smallest pool class.
struct FrameBlocks {
    uint8_t *header;      // the header's block of its own; null when none or shared
    uint8_t *data;        // the payload's block (the header first when shared); null when none
    uint32_t headerSize;  // header bytes allocated, in either block
    uint32_t payloadSize; // payload bytes allocated

    size_t HeaderBlockSize() const { return header ? headerSize : 0; }
    size_t DataBlockSize() const { return size_t(header ? 0 : headerSize) + payloadSize; }
};
constexpr size_t kFrameBlocksSpace =
    (sizeof(FrameBlocks) + alignof(FrameRecord) - 1) / alignof(FrameRecord) * alignof(FrameRecord);
constexpr size_t kFrameAllocation = kFrameBlocksSpace + sizeof(FrameRecord);

FrameBlocks *BlocksOf(FrameRecord *frame) {
    return reinterpret_cast<FrameBlocks *>(reinterpret_cast<uint8_t *>(frame) - kFrameBlocksSpace);
}

// A zeroed record (size set) with no data block yet; null when the pool has
// no block.
FrameRecord *AllocRecord(BlockPool *pool) {
    auto *block = static_cast<uint8_t *>(AllocBlock(pool, kFrameAllocation));
    if (!block)
        return nullptr;
    std::memset(block, 0, kFrameAllocation);
    auto *frame = reinterpret_cast<FrameRecord *>(block + kFrameBlocksSpace);
    frame->dwSize = DEMUX_FRAME_RECORD_SIZE;
    return frame;
}

void FreeRecord(BlockPool *pool, FrameRecord *frame) {
    FreeBlock(pool, BlocksOf(frame), kFrameAllocation);
}
} // namespace

CBaseStream::CBaseStream() : m_osd(&m_pool) {
    InitPool(&m_pool);
}

CBaseStream::~CBaseStream() {
    CBaseStream::Reset();
    std::memset(&m_info, 0, sizeof m_info);
    DestroyPool(&m_pool);
}

int32_t CBaseStream::Close() {
    Reset();
    std::memset(&m_info, 0, sizeof m_info);
    return DEMUX_OK;
}

int32_t CBaseStream::Reset() {
    {
        platform::CLockGuard input(m_inputLock);
        if (m_buffer)
            FreeBlock(&m_pool, m_buffer, m_capacity);
        m_buffer = nullptr;
        m_capacity = 0;
        m_start = 0;
        m_filled = 0;
        m_bufferOffset = 0;
        m_osd.Clear();
        // Under the input lock: no parse is between counting and publishing.
        std::memset(&m_pending, 0, sizeof m_pending);
        m_lastVideoTimestamp = 0;
        platform::CLockGuard statistics(m_statisticsLock);
        std::memset(&m_statistics, 0, sizeof m_statistics);
    }
    DropQueuedFrames();
    return DEMUX_OK;
}

int32_t CBaseStream::GetInfo(StreamInfo *info) {
    std::memcpy(info, &m_info, sizeof m_info);
    return DEMUX_OK;
}

int32_t CBaseStream::InputData(const DemuxInput *input) {
    const int64_t started = platform::QueryCounter();
    if (input->dwLength > DEMUX_MAX_INPUT_LENGTH)
        return DEMUX_E_INVALID_VALUE;
    if (m_queuedCount.load() > DEMUX_MAX_QUEUED_FRAMES)
        return DEMUX_E_QUEUE_FULL;

    {
        platform::CLockGuard guard(m_inputLock);
        if (!m_buffer) {
            m_buffer = static_cast<uint8_t *>(AllocBlock(&m_pool, DEMUX_INPUT_BUFFER_SIZE));
            if (!m_buffer)
                return DEMUX_E_FAIL;
            m_capacity = DEMUX_INPUT_BUFFER_SIZE;
            m_start = 0;
            m_filled = 0;
        }
        const uint8_t *rest = input->pData;
        uint32_t remaining = input->dwLength;
        // Nothing buffered: the frames that lie whole in the caller's bytes
        // are parsed where they are, and only what is left after the last of
        // them (a frame cut by the block's end, or noise) is copied.
        bool parseInPlace = true;
        while (remaining > 0) {
            if (m_filled == 0 && parseInPlace) {
                const uint64_t position = m_bufferOffset + m_start;
                const uint32_t consumed = ParseBuffer(rest, remaining, position);
                rest += consumed;
                remaining -= consumed;
                m_bufferOffset = position + consumed;
                m_start = 0;
                parseInPlace = false; // the rest goes to the buffer
                continue;
            }
            const uint32_t before = m_filled;
            uint32_t free = m_capacity - m_start - m_filled;
            uint32_t chunk = remaining;
            if (before > 0) {
                // Joining the bytes held back: copy in steps of at least what
                // is held (so a large frame costs a few rounds, not many)
                // until the frame they begin is complete.
                const uint32_t step = before > kJoinStep ? before : kJoinStep;
                chunk = chunk < step ? chunk : step;
            }
            if (free < chunk) {
                // Compact with one move, only when the tail is too small.
                if (m_start != 0 && m_filled != 0) {
                    std::memmove(m_buffer, m_buffer + m_start, m_filled);
                    m_bufferOffset += m_start;
                    m_start = 0;
                    free = m_capacity - m_filled;
                }
                chunk = free < chunk ? free : chunk;
            }
            std::memcpy(m_buffer + m_start + m_filled, rest, chunk);
            rest += chunk;
            remaining -= chunk;
            m_filled += chunk;

            const uint32_t consumed = ParseBuffer(m_buffer + m_start, m_filled, m_bufferOffset + m_start);
            if (consumed != 0) {
                m_start += consumed;
                m_filled -= consumed;
                if (consumed >= before && m_filled > 0) {
                    // The held bytes are used up and what is left came from
                    // this call: read it from the caller's bytes instead.
                    rest -= m_filled;
                    remaining += m_filled;
                    m_filled = 0;
                    parseInPlace = true;
                }
                if (m_filled == 0) {
                    m_bufferOffset += m_start;
                    m_start = 0;
                }
            } else if (m_filled == DEMUX_INPUT_BUFFER_SIZE) {
                // A full buffer without one complete frame: keep only the tail
                // in which a frame may be starting.
                m_start += DEMUX_INPUT_BUFFER_SIZE - DEMUX_RESYNC_KEEP;
                m_filled = DEMUX_RESYNC_KEEP;
            }
        }
        // Still under the input lock, so a Reset in between cannot leave
        // this call's time behind it.
        AddInputTime(started);
    }
    return DEMUX_OK;
}

int32_t CBaseStream::GetFrame(FrameRecord **out) {
    platform::CLockGuard guard(m_queueLock);
    if (m_queue.empty())
        return DEMUX_E_NO_FRAME;
    *out = m_queue.front();
    m_queue.pop_front();
    m_queuedCount.store(uint32_t(m_queue.size()));
    return DEMUX_OK;
}

int32_t CBaseStream::FreeFrame(FrameRecord *frame) {
    DestroyFrame(frame);
    return DEMUX_OK;
}

int32_t CBaseStream::Seek(uint64_t) {
    return DEMUX_E_NOT_SUPPORTED;
}

int32_t CBaseStream::GetFrameCount(uint32_t *count) {
    *count = m_queuedCount.load();
    return DEMUX_OK;
}

int32_t CBaseStream::GetStatistics(StreamStatistics *statistics) {
    {
        platform::CLockGuard guard(m_statisticsLock);
        std::memcpy(statistics, &m_statistics, sizeof m_statistics);
    }
    statistics->dwSize = DEMUX_STATISTICS_SIZE;
    return DEMUX_OK;
}

uint32_t CBaseStream::ParseBuffer(const uint8_t *data, uint32_t length, uint64_t fileOffset) {
    // Frames go to the queue a handful at a time: one queue lock and one
    // statistics lock for each batch instead of each frame. They are counted
    // and published before they are queued: once queued, another thread may
    // take and free them at once, and must find them counted.
    constexpr uint32_t kBatch = 32;
    FrameRecord *batch[kBatch];
    uint32_t batched = 0;
    uint32_t unpublished = 0;
    uint32_t pos = 0;
    uint32_t consumed = 0;
    while (pos < length) {
        const uint32_t skip = NextFrameCandidate(data + pos, length - pos);
        if (skip >= length - pos)
            break;
        pos += skip;
        FrameRecord *frame;
        if (IsVideoFrameAt(data + pos, length - pos))
            frame = ParseVideoFrame(data + pos, length - pos, fileOffset + pos);
        else if (IsAudioFrameAt(data + pos, length - pos))
            frame = ParseAudioFrame(data + pos, length - pos);
        else {
            ++pos;
            continue;
        }
        if (!frame)
            break; // no memory: keep the frame's bytes for the next call
        const uint64_t size = uint64_t(frame->dwHeaderLength) + frame->dwPayloadLength;
        UpdateStatistics(frame);
        if (++unpublished == kBatch) {
            PublishStatistics();
            unpublished = 0;
        }
        if (frame == &m_scratch) {
            m_sink->OnFrame(frame);
            COsdList::FreeAttached(&m_pool, frame);
        } else {
            batch[batched++] = frame;
            if (batched == kBatch) {
                QueueFrames(batch, batched);
                batched = 0;
            }
        }
        // The frame tests only pass for frames inside the bytes given, so
        // this never leaves them; stay safe against a derived class that
        // says otherwise.
        pos = size == 0 || size > length - pos ? length : pos + uint32_t(size);
        consumed = pos;
    }
    if (unpublished > 0)
        PublishStatistics();
    if (batched > 0)
        QueueFrames(batch, batched);
    return consumed;
}

uint32_t CBaseStream::NextFrameCandidate(const uint8_t *, uint32_t) {
    return 0;
}

void CBaseStream::UpdateStatistics(FrameRecord *frame) {
    const int32_t type = frame->nType;
    if (type == DEMUX_FRAME_AUDIO) {
        ++m_pending.dwAudioFrameCount;
        return;
    }
    switch (type) {
    case DEMUX_FRAME_I:
        ++m_pending.dwIFrameCount;
        break;
    case DEMUX_FRAME_P:
        ++m_pending.dwPFrameCount;
        break;
    case DEMUX_FRAME_OTHER_VIDEO:
        ++m_pending.dwOtherVideoFrameCount;
        break;
    case DEMUX_FRAME_DROPPABLE:
        ++m_pending.dwDroppableFrameCount;
        break;
    default:
        return;
    }
    const uint32_t t = frame->dwTimestamp;
    if (m_lastVideoTimestamp != 0 && t >= m_lastVideoTimestamp) {
        const uint32_t step = t - m_lastVideoTimestamp;
        m_pending.dwVideoDuration += step < DEMUX_MAX_DURATION_STEP ? step : DEMUX_MAX_DURATION_STEP;
    }
    // A time stamp that runs backwards is not added but becomes the new
    // reference.
    m_lastVideoTimestamp = t;
}

FrameRecord *CBaseStream::NewFrame(const uint8_t *header, uint32_t headerLength, const uint8_t *payload,
                                   uint32_t payloadLength) {
    if (m_sink) {
        FrameRecord *frame = &m_scratch;
        std::memset(frame, 0, sizeof *frame);
        frame->dwSize = DEMUX_FRAME_RECORD_SIZE;
        frame->pHeader = headerLength ? const_cast<uint8_t *>(header) : nullptr;
        frame->pPayload = const_cast<uint8_t *>(payload);
        frame->dwHeaderLength = headerLength;
        frame->dwPayloadLength = payloadLength;
        return frame;
    }
    FrameRecord *frame = AllocRecord(&m_pool);
    if (!frame)
        return nullptr;
    FrameBlocks *blocks = BlocksOf(frame);
    const size_t total = size_t(headerLength) + payloadLength;
    if (total != 0) {
        auto *block = static_cast<uint8_t *>(AllocBlock(&m_pool, total));
        if (!block) {
            FreeRecord(&m_pool, frame);
            return nullptr;
        }
        if (headerLength)
            std::memcpy(block, header, headerLength);
        if (payloadLength)
            std::memcpy(block + headerLength, payload, payloadLength);
        blocks->data = block;
        blocks->headerSize = headerLength;
        blocks->payloadSize = payloadLength;
        frame->pHeader = headerLength ? block : nullptr;
        frame->pPayload = block + headerLength;
    }
    frame->dwHeaderLength = headerLength;
    frame->dwPayloadLength = payloadLength;
    return frame;
}

FrameRecord *CBaseStream::NewFrameApart(const uint8_t *header, uint32_t headerLength, const uint8_t *payload,
                                        uint32_t payloadLength) {
    if (m_sink)
        return NewFrame(header, headerLength, payload, payloadLength);
    FrameRecord *frame = AllocRecord(&m_pool);
    if (!frame)
        return nullptr;
    FrameBlocks *blocks = BlocksOf(frame);
    if (headerLength) {
        blocks->header = static_cast<uint8_t *>(AllocBlock(&m_pool, headerLength));
        if (!blocks->header) {
            FreeRecord(&m_pool, frame);
            return nullptr;
        }
        blocks->headerSize = headerLength;
        std::memcpy(blocks->header, header, headerLength);
    }
    if (payloadLength) {
        blocks->data = static_cast<uint8_t *>(AllocBlock(&m_pool, payloadLength));
        if (!blocks->data) {
            DestroyFrame(frame);
            return nullptr;
        }
        blocks->payloadSize = payloadLength;
        std::memcpy(blocks->data, payload, payloadLength);
    }
    frame->pHeader = blocks->header;
    frame->pPayload = blocks->data;
    frame->dwHeaderLength = headerLength;
    frame->dwPayloadLength = payloadLength;
    return frame;
}

void CBaseStream::DestroyFrame(FrameRecord *frame) {
    if (!frame)
        return;
    const FrameBlocks *blocks = BlocksOf(frame);
    FreeBlock(&m_pool, blocks->header, blocks->HeaderBlockSize());
    FreeBlock(&m_pool, blocks->data, blocks->DataBlockSize());
    COsdList::FreeAttached(&m_pool, frame);
    FreeRecord(&m_pool, frame);
}

bool CBaseStream::QueueFrame(FrameRecord *frame) {
    platform::CLockGuard guard(m_queueLock);
    try {
        m_queue.push_back(frame);
        m_queuedCount.store(uint32_t(m_queue.size()));
    } catch (const std::bad_alloc &) {
        DestroyFrame(frame);
        return false;
    }
    return true;
}

bool CBaseStream::SetFrameSink(CFrameSink *sink) {
    platform::CLockGuard guard(m_inputLock);
    m_sink = sink;
    return true;
}

uint32_t CBaseStream::QueueFrames(FrameRecord *const *frames, uint32_t count) {
    platform::CLockGuard guard(m_queueLock);
    uint32_t queued = 0;
    try {
        for (; queued < count; ++queued)
            m_queue.push_back(frames[queued]);
    } catch (const std::bad_alloc &) {
        for (uint32_t i = queued; i < count; ++i)
            DestroyFrame(frames[i]);
    }
    m_queuedCount.store(uint32_t(m_queue.size()));
    return queued;
}

bool CBaseStream::BreakDownRecordingTime(int64_t seconds, SYSTEMTIME *out) {
    if (!m_lastTimeKnown || seconds != m_lastSeconds) {
        m_lastTime = SYSTEMTIME{};
        m_lastTimeValid = BreakDownTime(seconds, &m_lastTime);
        m_lastSeconds = seconds;
        m_lastTimeKnown = true;
    }
    *out = m_lastTime;
    return m_lastTimeValid;
}

void CBaseStream::DropQueuedFrames() {
    platform::CLockGuard guard(m_queueLock);
    for (FrameRecord *frame : m_queue)
        DestroyFrame(frame);
    m_queue.clear();
    m_queuedCount.store(0);
}

void CBaseStream::AddInputTime(int64_t startCounter) {
    const int64_t elapsed = platform::QueryCounter() - startCounter;
    const int64_t frequency = platform::QueryCounterFrequency();
    const int64_t ticksPerMicrosecond = frequency / 1000000;
    if (elapsed > 0 && ticksPerMicrosecond > 0) {
        platform::CLockGuard guard(m_statisticsLock);
        m_statistics.ullInputTime += uint64_t(elapsed / ticksPerMicrosecond);
    }
}

void CBaseStream::PublishStatistics() {
    platform::CLockGuard guard(m_statisticsLock);
    m_statistics.dwAudioFrameCount += m_pending.dwAudioFrameCount;
    m_statistics.dwIFrameCount += m_pending.dwIFrameCount;
    m_statistics.dwPFrameCount += m_pending.dwPFrameCount;
    m_statistics.dwOtherVideoFrameCount += m_pending.dwOtherVideoFrameCount;
    m_statistics.dwDroppableFrameCount += m_pending.dwDroppableFrameCount;
    m_statistics.dwVideoDuration += m_pending.dwVideoDuration;
    std::memset(&m_pending, 0, sizeof m_pending);
}
