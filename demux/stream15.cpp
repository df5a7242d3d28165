// Parser of the 15 generation.
#include "demux/stream15.h"

#include <cstring>
#include <new>

#include "demux/bytes.h"
#include "demux/streams.h"

namespace {

constexpr char kMagic[] = "TAVRODRX";
constexpr uint32_t kMagicLength = 8;

bool IsTag(const uint8_t *p, char last) {
    return p[0] == '0' && p[1] == '0' && p[2] == 'd' && p[3] == last;
}

bool IsChunkTag(const uint8_t *p) {
    return IsTag(p, 'c') || IsTag(p, 'b');
}

} // namespace

CBaseStream *CreateStream15() {
    return new (std::nothrow) CStream15();
}

int32_t CStream15::Open(const uint8_t *data, uint32_t length) {
    const ptrdiff_t at = FindBytes(data, length, kMagic, kMagicLength);
    if (at < 0)
        return DEMUX_E_NOT_SUPPORTED;
    const uint8_t *found = data + at;
    // A header cut by the end of the block keeps what is there; the missing
    // fields read as zero.
    const uint32_t available = uint32_t(data + length - found);
    const uint32_t copied = available < kStream15FileHeaderSize ? available : kStream15FileHeaderSize;
    std::memset(m_header, 0, sizeof m_header);
    std::memcpy(m_header, found, copied);

    m_frameRate = ReadLe32(m_header + kStream15RateOffset);
    if (m_frameRate == 0)
        m_frameRate = ReadLe32(m_header + kStream15StandardOffset) == 0 ? 30 : 25;

    std::memset(&m_info, 0, sizeof m_info);
    m_info.dwSize = DEMUX_STREAM_INFO_SIZE;
    m_info.dwGeneration = DEMUX_GENERATION_15;
    static_assert(sizeof m_info.szName == kStream15FileHeaderSize, "the name holds the file header");
    std::memcpy(m_info.szName, m_header, kStream15FileHeaderSize);
    m_firstFrame = -1;
    return DEMUX_OK;
}

int32_t CStream15::Reset() {
    platform::CLockGuard guard(m_inputLock);
    m_firstFrame = -1;
    return CBaseStream::Reset();
}

bool CStream15::IsVideoFrameAt(const uint8_t *data, uint32_t length) {
    if (length < kStream15VideoHeaderSize || !IsTag(data, 'c'))
        return false;
    const uint32_t payload = ReadLe32(data + 12);
    if (payload > kStream15MaxVideoPayload)
        return false;
    // The next tag must follow: a chunk is only known to be whole then.
    const uint64_t end = uint64_t(kStream15VideoHeaderSize) + payload;
    return end + 4 <= length && IsChunkTag(data + end);
}

FrameRecord *CStream15::ParseVideoFrame(const uint8_t *data, uint32_t, uint64_t fileOffset) {
    const uint32_t payload = ReadLe32(data + 12);
    FrameRecord *frame = NewFrame(data, kStream15VideoHeaderSize, data + kStream15VideoHeaderSize, payload);
    if (!frame)
        return nullptr;
    // Bit 1 of the first payload byte marks a P frame. An empty payload has
    // no such byte and counts as an I frame.
    const bool predicted = payload != 0 && (data[kStream15VideoHeaderSize] & 0x02) != 0;
    frame->nType = predicted ? DEMUX_FRAME_P : DEMUX_FRAME_I;
    frame->dwCodec = DEMUX_CODEC_VIDEO_1;
    frame->wWidth = ReadLe16(m_header + kStream15WidthOffset);
    frame->wHeight = ReadLe16(m_header + kStream15HeightOffset);
    frame->ullFileOffset = fileOffset;
    const uint32_t number = ReadLe32(data + 8);
    if (m_firstFrame < 0)
        m_firstFrame = number;
    frame->dwSequence = number;
    // Unsigned: a frame numbered below the first wraps, as the recorders'
    // players do.
    const uint32_t elapsedFrames = number - uint32_t(m_firstFrame);
    frame->dwTimestamp = uint32_t(uint64_t(elapsedFrames) * 1000 / m_frameRate);
    return frame;
}

bool CStream15::IsAudioFrameAt(const uint8_t *data, uint32_t length) {
    if (length < kStream15AudioHeaderSize || !IsTag(data, 'b'))
        return false;
    const uint64_t end = uint64_t(kStream15AudioHeaderSize) + ReadLe32(data + 4);
    return end + 4 <= length && IsChunkTag(data + end);
}

FrameRecord *CStream15::ParseAudioFrame(const uint8_t *data, uint32_t) {
    const uint32_t payload = ReadLe32(data + 4);
    FrameRecord *frame = NewFrame(data, kStream15AudioHeaderSize, data + kStream15AudioHeaderSize, payload);
    if (!frame)
        return nullptr;
    frame->nType = DEMUX_FRAME_AUDIO;
    frame->dwCodec = ReadLe32(m_header + kStream15AudioOffset) == kStream15AudioTypeG722
                         ? DEMUX_CODEC_G722
                         : DEMUX_CODEC_G711_ALAW;
    return frame;
}
