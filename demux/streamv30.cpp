// V30 frames: checksummed headers, video block, OSD records.
#include "demux/streamv30.h"

#include <cstring>
#include <new>

#include "demux/bytes.h"
#include "demux/streams.h"

namespace {

// Header fields read through these stay inside the header: bytes beyond
// headerLength read as 0 (a short header does not reach into the payload).
uint32_t HeaderByte(const uint8_t *h, uint32_t headerLength, uint32_t offset) {
    return offset < headerLength ? h[offset] : 0;
}
uint32_t HeaderLe16(const uint8_t *h, uint32_t headerLength, uint32_t offset) {
    return HeaderByte(h, headerLength, offset) | (HeaderByte(h, headerLength, offset + 1) << 8);
}
uint32_t HeaderLe32(const uint8_t *h, uint32_t headerLength, uint32_t offset) {
    return HeaderLe16(h, headerLength, offset) | (HeaderLe16(h, headerLength, offset + 2) << 16);
}

uint32_t VideoCodec(uint32_t code) {
    return code <= 3 ? code + DEMUX_CODEC_H264 : DEMUX_CODEC_UNKNOWN;
}
uint32_t AudioCodec(uint32_t code) {
    return code <= 3 ? code + DEMUX_CODEC_PCM8 : DEMUX_CODEC_UNKNOWN;
}

const char *const kV30Names[] = {"ZEMASTREAMV30", "ZEMAIPCH", "ZEMAIPCB"};
const uint8_t kMagicBytes[4] = {0x68, 0x00, 0x62, 0xFF};

// Record fields: the length word and where each type keeps its values.
constexpr uint32_t kRecordLengthMask = 0x7FF;
constexpr uint32_t kRecordTypeShift = 11;
constexpr uint32_t kRecordTypeMask = 0x1F;
constexpr uint32_t kRecordX = 4;
constexpr uint32_t kRecordY = 6;
constexpr uint32_t kTextStart = 14;
constexpr uint32_t kTimeStyle = 14;
constexpr uint32_t kMosaicWidth = 8;
constexpr uint32_t kMosaicHeight = 10;
constexpr uint32_t kMosaicOn = 12;

} // namespace

uint32_t V30ComputeChecksum(const uint8_t *header, uint32_t headerLength, const uint8_t *payload,
                            uint32_t payloadLength, uint32_t span) {
    uint32_t sum = 0;
    for (uint32_t i = kV30MinHeader; i < headerLength; ++i)
        sum += header[i];
    if (uint64_t(span) * 2 <= payloadLength) {
        for (uint32_t i = 0; i < span; ++i)
            sum += payload[i] + payload[payloadLength - span + i];
    }
    return (sum & 0x7FFFFF) | 0x800000;
}

CBaseStream *CreateStreamV30() {
    return new (std::nothrow) CStreamV30();
}

CStreamV30::~CStreamV30() = default;

int32_t CStreamV30::Open(const uint8_t *data, uint32_t length) {
    bool found = false;
    for (const char *name : kV30Names)
        found = found || ContainsString(data, length, name);
    if (!found && length >= 4)
        found = FindBytes(data, length, kMagicBytes, sizeof kMagicBytes) >= 0;
    if (!found)
        return DEMUX_E_NOT_SUPPORTED;
    {
        platform::CLockGuard guard(m_inputLock);
        m_osd.SetTimeItem(kOsdNoItem);
    }
    std::memset(&m_info, 0, sizeof m_info);
    m_info.dwSize = DEMUX_STREAM_INFO_SIZE;
    m_info.dwGeneration = DEMUX_GENERATION_V30;
    std::strcpy(m_info.szName, "ZEMASTREAMV30");
    return DEMUX_OK;
}

int32_t CStreamV30::Reset() {
    {
        platform::CLockGuard guard(m_inputLock);
        m_osd.SetTimeItem(kOsdNoItem);
        std::memset(m_lastTimeRecord, 0, sizeof m_lastTimeRecord);
    }
    return CBaseStream::Reset();
}

uint32_t CStreamV30::NextFrameCandidate(const uint8_t *data, uint32_t length) {
    // Frames start with 68 00 62 FF: find the first byte, then check the rest.
    const uint8_t *p = data;
    const uint8_t *end = data + length;
    while (p < end) {
        p = static_cast<const uint8_t *>(std::memchr(p, kMagicBytes[0], size_t(end - p)));
        if (!p)
            return length;
        if (end - p < 4 || (p[1] == kMagicBytes[1] && p[2] == kMagicBytes[2] && p[3] == kMagicBytes[3]))
            return uint32_t(p - data);
        ++p;
    }
    return length;
}

bool CStreamV30::IsFrameAt(const uint8_t *data, uint32_t length, bool video) {
    if (length < kV30MinHeader)
        return false;
    if (ReadLe32(data) != kV30Magic)
        return false;
    const uint32_t kind = data[6] & 7;
    if (video ? (kind < kV30KindI || kind > kV30KindDroppable) : kind != kV30KindAudio)
        return false;
    const uint32_t headerLength = ReadLe16(data + 4);
    const uint32_t payloadLength = ReadLe24(data + 12);
    if (headerLength < kV30MinHeader || payloadLength == 0)
        return false;
    if (uint64_t(headerLength) + payloadLength > length)
        return false;
    const uint32_t stored = ReadLe24(data + 9);
    if (stored == 0)
        return false;
    return V30ComputeChecksum(data, headerLength, data + headerLength, payloadLength, data[8]) == stored;
}

bool CStreamV30::IsVideoFrameAt(const uint8_t *data, uint32_t length) {
    return IsFrameAt(data, length, true);
}

bool CStreamV30::IsAudioFrameAt(const uint8_t *data, uint32_t length) {
    return IsFrameAt(data, length, false);
}

FrameRecord *CStreamV30::ParseVideoFrame(const uint8_t *data, uint32_t, uint64_t fileOffset) {
    const uint32_t headerLength = ReadLe16(data + 4);
    const uint32_t payloadLength = ReadLe24(data + 12);
    FrameRecord *frame = NewFrame(data, headerLength, data + headerLength, payloadLength);
    if (!frame)
        return nullptr;
    const uint32_t kind = data[6] & 7;
    frame->nType = int32_t(kind) + 1; // I 2, P 3, third kind 4, droppable 5
    const uint32_t word16 = HeaderLe32(data, headerLength, 16);
    const uint32_t word20 = HeaderLe32(data, headerLength, 20);
    frame->wWidth = uint16_t(((word16 >> 18) & 0x3FFF) * 4);
    frame->wHeight = uint16_t((word20 & 0x1FFF) * 4);
    frame->byRate = uint8_t((word20 >> 13) & 0x7F);
    frame->ullFileOffset = fileOffset;
    frame->dwSequence = HeaderLe32(data, headerLength, 24);
    frame->dwTimestamp = HeaderLe32(data, headerLength, 28);
    frame->dwCodec = VideoCodec(data[6] >> 3);

    const uint64_t seconds =
        uint64_t(HeaderLe32(data, headerLength, 32)) | (uint64_t(HeaderLe32(data, headerLength, 36)) << 32);
    SYSTEMTIME time{};
    if (BreakDownRecordingTime(int64_t(seconds), &time))
        time.wMilliseconds = uint16_t((word16 >> 8) & 0x3FF);
    frame->stTime = time;

    if (m_osdEnabled) {
        UpdateOsd(data, headerLength, time);
        m_osd.AttachTo(frame);
    }
    return frame;
}

FrameRecord *CStreamV30::ParseAudioFrame(const uint8_t *data, uint32_t) {
    const uint32_t headerLength = ReadLe16(data + 4);
    const uint32_t payloadLength = ReadLe24(data + 12);
    FrameRecord *frame = NewFrame(data, headerLength, data + headerLength, payloadLength);
    if (!frame)
        return nullptr;
    frame->nType = DEMUX_FRAME_AUDIO;
    frame->dwCodec = AudioCodec(data[6] >> 3);
    return frame;
}

OsdItem *CStreamV30::MakeTimeItem(const uint8_t *record, uint32_t recordLength, const SYSTEMTIME &time) {
    OsdItem *item = m_osd.NewItem(DEMUX_OSD_TEXT, uint16_t(ReadLe16(record + kRecordX)),
                                  uint16_t(ReadLe16(record + kRecordY)));
    if (!item)
        return nullptr;
    const uint32_t style = recordLength > kTimeStyle ? record[kTimeStyle] : DEMUX_TIME_STYLE_COUNT;
    SetOsdItemText(item, FormatV30TimeText(time, style));
    return item;
}

void CStreamV30::UpdateOsd(const uint8_t *header, uint32_t headerLength, const SYSTEMTIME &time) {
    const uint32_t kind = header[6] & 7;
    const uint32_t count = header[7];
    if (kind == kV30KindI || count != 0)
        m_osd.Clear(); // an I frame, or a frame that brings a new set

    bool timeRecordSeen = false;
    // The records start behind the video block; every read stays inside the
    // header, and a record of length 0 (which would never move on) or one
    // running past the header ends the walk.
    uint32_t offset = kV30VideoBlock + HeaderByte(header, headerLength, kV30VideoBlock);
    for (uint32_t k = 0; k < count; ++k) {
        if (uint64_t(offset) + 4 > headerLength)
            break;
        const uint8_t *record = header + offset;
        const uint32_t word = ReadLe32(record);
        const uint32_t recordLength = word & kRecordLengthMask;
        const uint32_t type = (word >> kRecordTypeShift) & kRecordTypeMask;
        if (recordLength == 0 || uint64_t(offset) + recordLength > headerLength)
            break;
        offset += recordLength;
        if (recordLength < kRecordY + 2)
            continue; // too short for a position: no item

        const uint16_t x = ReadLe16(record + kRecordX);
        const uint16_t y = ReadLe16(record + kRecordY);
        switch (type) {
        case kV30OsdText: {
            if (recordLength <= kTextStart)
                break;
            const ptrdiff_t textLength = BoundedStringLength(record + kTextStart, recordLength - kTextStart);
            if (textLength < 0 || textLength + 1 > DEMUX_OSD_TEXT_MAX)
                break;
            platform::WString text;
            if (!platform::AnsiToWide(
                    std::string_view(reinterpret_cast<const char *>(record + kTextStart), size_t(textLength)),
                    text))
                break;
            OsdItem *item = m_osd.NewItem(DEMUX_OSD_TEXT, x, y);
            if (!item)
                break;
            SetOsdItemText(item, text);
            m_osd.Append(item);
            break;
        }
        case kV30OsdTime: {
            if (recordLength <= kTimeStyle)
                break;
            std::memset(m_lastTimeRecord, 0, sizeof m_lastTimeRecord);
            std::memcpy(m_lastTimeRecord, record,
                        recordLength < kV30TimeRecordKept ? recordLength : kV30TimeRecordKept);
            OsdItem *item = MakeTimeItem(m_lastTimeRecord, kV30TimeRecordKept, time);
            if (!item)
                break;
            timeRecordSeen = true;
            m_osd.SetTimeItem(m_osd.Append(item));
            break;
        }
        case kV30OsdMosaic: {
            if (recordLength <= kMosaicOn)
                break;
            OsdItem *item = m_osd.NewItem(DEMUX_OSD_MOSAIC, x, y);
            if (!item)
                break;
            SetOsdItemMosaic(item, ReadLe16(record + kMosaicWidth), ReadLe16(record + kMosaicHeight),
                             record[kMosaicOn] == 1 ? DEMUX_OSD_MOSAIC_BLOCKS : DEMUX_OSD_MOSAIC_SOLID);
            m_osd.Append(item);
            break;
        }
        default:
            break; // unknown types are skipped
        }
    }

    // The clock follows every frame even when the recorder sends its records
    // only with I frames.
    if (!timeRecordSeen && m_osd.TimeItem() != kOsdNoItem)
        m_osd.ReplaceTimeItem(MakeTimeItem(m_lastTimeRecord, kV30TimeRecordKept, time));
}
