// Parser of the 6000 generation.
#include "demux/stream6000.h"

#include <cstring>
#include <new>

#include "demux/bytes.h"
#include "demux/streams.h"
#include "platform/timers.h"

namespace {

bool IsChunkTag(const uint8_t *p) {
    return p[0] == '0' && p[1] == '0' && p[2] == 'd' && (p[3] == 'c' || p[3] == 'b');
}

} // namespace

CBaseStream *CreateStream6000() {
    return new (std::nothrow) CStream6000();
}

CStream6000::~CStream6000() {
    CStream6000::Close();
}

int32_t CStream6000::Open(const uint8_t *data, uint32_t length) {
    if (length < kStream6000MinOpenLength)
        return DEMUX_E_NOT_SUPPORTED;
    // A first frame of any kind right behind the index.
    const uint32_t first = ReadLe32(data);
    if (first != 0xC0008000u && first != 0x80008000u && first != 0x40008000u)
        return DEMUX_E_FAIL;
    // "00dc" and "00db" there begin the chunks of the 15 and V10 generations.
    if (IsChunkTag(data + kStream6000IndexSize))
        return DEMUX_E_FAIL;
    std::memset(&m_info, 0, sizeof m_info);
    m_info.dwSize = DEMUX_STREAM_INFO_SIZE;
    m_info.dwGeneration = DEMUX_GENERATION_6000;
    return DEMUX_OK;
}

int32_t CStream6000::Close() {
    CBaseStream::Reset(); // frees every frame, the ones handed out included
    std::memset(&m_info, 0, sizeof m_info);
    platform::CLockGuard input(m_inputLock);
    platform::CLockGuard queue(m_queueLock);
    m_videoCounter = -1;
    m_cursor = 0;
    m_loaded = false;
    return DEMUX_OK;
}

// The parsed file stays: a play mode resets before every seek, and the frames
// of this generation live until Close.
int32_t CStream6000::Reset() {
    return DEMUX_OK;
}

int32_t CStream6000::InputData(const DemuxInput *input) {
    const int64_t started = platform::QueryCounter();
    {
        platform::CLockGuard guard(m_inputLock);
        if (m_loaded)
            return DEMUX_E_NOT_SUPPORTED;
        if (input->dwLength > kStream6000MaxFileLength)
            return DEMUX_E_INVALID_VALUE;
        // Straight from the caller's bytes: no copy into the input buffer and
        // no queue limit, since every frame is kept anyway.
        ParseBuffer(input->pData, input->dwLength, 0);
        AddInputTime(started); // under the input lock, as Reset clears it
        platform::CLockGuard queue(m_queueLock);
        m_cursor = 0;
        m_loaded = true;
    }
    return DEMUX_OK;
}

int32_t CStream6000::GetFrame(FrameRecord **out) {
    platform::CLockGuard guard(m_queueLock);
    if (!m_loaded || m_cursor >= m_queue.size())
        return DEMUX_E_NO_FRAME;
    *out = m_queue[m_cursor++];
    return DEMUX_OK;
}

// Frames belong to the parser until Close.
int32_t CStream6000::FreeFrame(FrameRecord *) {
    return DEMUX_OK;
}

int32_t CStream6000::Seek(uint64_t fileOffset) {
    platform::CLockGuard guard(m_queueLock);
    if (!m_loaded)
        return DEMUX_E_NOT_SUPPORTED;
    for (size_t i = 0; i < m_queue.size(); ++i) {
        const FrameRecord *frame = m_queue[i];
        if (frame->nType >= DEMUX_FRAME_I && frame->nType <= DEMUX_FRAME_DROPPABLE &&
            frame->ullFileOffset >= fileOffset) {
            m_cursor = i;
            return DEMUX_OK;
        }
    }
    return DEMUX_E_INVALID_VALUE;
}

int32_t CStream6000::GetFrameCount(uint32_t *count) {
    platform::CLockGuard guard(m_queueLock);
    if (!m_loaded)
        return DEMUX_E_NO_FRAME;
    *count = m_cursor < m_queue.size() ? uint32_t(m_queue.size() - m_cursor) : 0;
    return DEMUX_OK;
}

uint32_t CStream6000::ParseBuffer(const uint8_t *data, uint32_t length, uint64_t) {
    for (uint32_t i = 0; i < kStream6000IndexEntries; ++i) {
        // A file shorter than its index ends the index where the file ends.
        if (uint64_t(i) * 4 + 4 > length)
            break;
        m_entry = ReadLe32(data + size_t(i) * 4);
        if (EntryKind() == 0 || EntryOffset() == 0)
            break;
        FrameRecord *frame;
        if (IsVideoFrameAt(data, length))
            frame = ParseVideoFrame(data, length, EntryOffset());
        else if (IsAudioFrameAt(data, length))
            frame = ParseAudioFrame(data, length);
        else
            continue;
        if (!frame)
            break; // the pool is exhausted; the frames so far stay
        UpdateStatistics(frame);
        QueueFrame(frame);
    }
    // Once, at the end: no frame can be taken before the whole file is
    // parsed, so the counts need not be seen earlier.
    PublishStatistics();
    m_entry = 0;
    return length;
}

bool CStream6000::IsVideoFrameAt(const uint8_t *data, uint32_t length) {
    const uint32_t kind = EntryKind();
    if (kind != kStream6000KindIFrame && kind != kStream6000KindPFrame)
        return false;
    const uint32_t offset = EntryOffset();
    if (uint64_t(offset) + 2 > length)
        return false;
    const uint32_t frameLength = ReadLe16(data + offset) & ~3u;
    return frameLength >= kStream6000MinVideoLength && frameLength <= kStream6000MaxVideoLength &&
           uint64_t(offset) + frameLength <= length;
}

FrameRecord *CStream6000::ParseVideoFrame(const uint8_t *data, uint32_t, uint64_t fileOffset) {
    const uint32_t offset = EntryOffset();
    const uint32_t frameLength = ReadLe16(data + offset) & ~3u;
    FrameRecord *frame = NewFrame(nullptr, 0, data + offset, frameLength);
    if (!frame)
        return nullptr;
    frame->nType = EntryKind() == kStream6000KindIFrame ? DEMUX_FRAME_I : DEMUX_FRAME_P;
    frame->dwCodec = DEMUX_CODEC_VIDEO_1;
    frame->wWidth = kStream6000Width;
    frame->wHeight = kStream6000Height;
    frame->ullFileOffset = fileOffset;
    if (m_videoCounter < 0)
        m_videoCounter = 0;
    frame->dwSequence = uint32_t(m_videoCounter++);
    frame->dwTimestamp = frame->dwSequence * kStream6000FrameInterval;
    return frame;
}

bool CStream6000::IsAudioFrameAt(const uint8_t *, uint32_t length) {
    return EntryKind() == kStream6000KindAudio && uint64_t(EntryOffset()) + kStream6000AudioLength <= length;
}

FrameRecord *CStream6000::ParseAudioFrame(const uint8_t *data, uint32_t) {
    FrameRecord *frame = NewFrame(nullptr, 0, data + EntryOffset(), kStream6000AudioLength);
    if (!frame)
        return nullptr;
    frame->nType = DEMUX_FRAME_AUDIO;
    frame->dwCodec = DEMUX_CODEC_G722;
    return frame;
}
