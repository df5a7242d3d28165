// V20 frames: "QVMS"/"MSV2" headers, OSD records, clock texts by language.
#include "demux/streamv20.h"

#include <cstring>
#include <new>

#include "demux/bytes.h"
#include "demux/streams.h"

namespace {

bool IsV20Magic(const uint8_t *p) {
    return std::memcmp(p, "QVMS", 4) == 0 || std::memcmp(p, "MSV2", 4) == 0;
}

bool IsVideoKind(uint32_t kind) {
    return kind == 3 || kind == 5 || kind == 7;
}
bool IsAudioKind(uint32_t kind) {
    return kind == 0 || kind == 6 || kind == 8 || kind == 10;
}

uint32_t AudioCodec(uint32_t kind) {
    switch (kind) {
    case 0:
        return DEMUX_CODEC_G722;
    case 6:
        return DEMUX_CODEC_PCM8;
    case 8:
        return DEMUX_CODEC_G711_ALAW;
    case 10:
        return DEMUX_CODEC_G726;
    default:
        return DEMUX_CODEC_UNKNOWN;
    }
}

// OSD record word.
constexpr uint32_t kRecordLengthMask = 0x1FF;
constexpr uint32_t kRecordTypeShift = 9;
constexpr uint32_t kRecordTypeMask = 0xF;
constexpr uint32_t kRecordShown = 1u << 13;
constexpr uint32_t kRecordWeekday = 1u << 15;
constexpr uint32_t kRecordXShift = 18;
constexpr uint32_t kRecordYShift = 25;
constexpr uint32_t kRecordPosMask = 0x7F;
// A time record of exactly this length is new style (hour mode at 4, date
// style at 5, string from 8); any other length is old style (string from 4).
constexpr uint32_t kNewStyleLength = 8;

uint16_t RecordX(uint32_t word) {
    return uint16_t(((word >> kRecordXShift) & kRecordPosMask) * 16);
}
uint16_t RecordY(uint32_t word) {
    return uint16_t(((word >> kRecordYShift) & kRecordPosMask) * 16);
}

// Whether a NUL-terminated string from offset start fits inside the record.
// Returns its length, or -1.
ptrdiff_t StringInRecord(const uint8_t *record, uint32_t recordLength, uint32_t start) {
    if (recordLength <= start)
        return -1;
    return BoundedStringLength(record + start, recordLength - start);
}

} // namespace

CBaseStream *CreateStreamV20() {
    return new (std::nothrow) CStreamV20();
}

CStreamV20::~CStreamV20() = default;

int32_t CStreamV20::Open(const uint8_t *data, uint32_t length) {
    // "MSV2" alone does not identify the generation.
    bool found = ContainsString(data, length, "ZEMA5RM ") || ContainsString(data, length, "ZEMA8200R");
    if (!found && length >= 4)
        found = ContainsString(data, length, "QVMS");
    if (!found)
        return DEMUX_E_NOT_SUPPORTED;
    {
        platform::CLockGuard guard(m_inputLock);
        m_osd.SetTimeItem(kOsdNoItem);
    }
    std::memset(&m_info, 0, sizeof m_info);
    m_info.dwSize = DEMUX_STREAM_INFO_SIZE;
    m_info.dwGeneration = DEMUX_GENERATION_V20;
    std::strcpy(m_info.szName, "ZEMA5RM ");
    return DEMUX_OK;
}

int32_t CStreamV20::Reset() {
    {
        platform::CLockGuard guard(m_inputLock);
        m_osd.SetTimeItem(kOsdNoItem);
        m_lastTimeRecordLength = 0;
    }
    return CBaseStream::Reset();
}

uint32_t CStreamV20::NextFrameCandidate(const uint8_t *data, uint32_t length) {
    // Both magics hold a 'V': at 1 in "QVMS", at 2 in "MSV2". Find the 'V' and
    // look back.
    const uint8_t *end = data + length;
    const uint8_t *p = data;
    while (p < end) {
        p = static_cast<const uint8_t *>(std::memchr(p, 'V', size_t(end - p)));
        if (!p)
            break;
        const size_t at = size_t(p - data);
        if (at >= 2 && p[-2] == 'M' && p[-1] == 'S' && end - p >= 2 && p[1] == '2')
            return uint32_t(at - 2);
        if (at >= 1 && p[-1] == 'Q' && end - p >= 3 && p[1] == 'M' && p[2] == 'S')
            return uint32_t(at - 1);
        ++p;
    }
    return length;
}

uint32_t CStreamV20::PayloadLength(const uint8_t *data) {
    const V20HeaderWord w = SplitV20HeaderWord(ReadLe32(data + 4));
    return data[0] == 'M' ? w.lengthField * 4 : w.lengthField;
}

bool CStreamV20::IsFrameAt(const uint8_t *data, uint32_t length, bool video) {
    if (length < kV20MinHeader || !IsV20Magic(data))
        return false;
    const V20HeaderWord w = SplitV20HeaderWord(ReadLe32(data + 4));
    if ((w.kind & 1) != (video ? 1u : 0u))
        return false;
    // The fields at 8 to 19 belong to the header: a shorter one is not a
    // frame (and a frame of length 0 would never be passed).
    if (w.headerLength < kV20MinHeader)
        return false;
    const uint64_t end = uint64_t(w.headerLength) + PayloadLength(data);
    if (end + 4 > length)
        return false;
    if (!IsV20Magic(data + end))
        return false; // the next frame must have begun
    return video ? IsVideoKind(w.kind) : IsAudioKind(w.kind);
}

bool CStreamV20::IsVideoFrameAt(const uint8_t *data, uint32_t length) {
    return IsFrameAt(data, length, true);
}

bool CStreamV20::IsAudioFrameAt(const uint8_t *data, uint32_t length) {
    return IsFrameAt(data, length, false);
}

FrameRecord *CStreamV20::ParseVideoFrame(const uint8_t *data, uint32_t, uint64_t fileOffset) {
    const V20HeaderWord w = SplitV20HeaderWord(ReadLe32(data + 4));
    const uint32_t payloadLength = PayloadLength(data);
    FrameRecord *frame = NewFrame(data, w.headerLength, data + w.headerLength, payloadLength);
    if (!frame)
        return nullptr;
    const uint32_t word8 = ReadLe32(data + 8);
    const uint32_t frameClass = word8 & 3;
    const bool iFrame = frameClass == 1;
    if (w.kind == 5) {
        // The P frames after an I frame alternate droppable / not.
        if (iFrame) {
            frame->nType = DEMUX_FRAME_I;
            m_droppableToggle = 1;
        } else if (m_droppableToggle == 0) {
            frame->nType = DEMUX_FRAME_P;
            m_droppableToggle = 1;
        } else {
            frame->nType = DEMUX_FRAME_DROPPABLE;
            m_droppableToggle = 0;
        }
    } else {
        frame->nType = iFrame ? DEMUX_FRAME_I : DEMUX_FRAME_P;
    }
    frame->dwCodec = DEMUX_CODEC_H264;
    frame->wWidth = uint16_t(((word8 >> 2) & 0x7F) * 16);
    frame->wHeight = uint16_t(((word8 >> 9) & 0x7F) * 16);
    frame->ullFileOffset = fileOffset;
    frame->dwSequence = ReadLe32(data + 16);
    const uint32_t seconds = ReadLe32(data + 12);
    const uint32_t hundredths = word8 >> 25;
    frame->dwTimestamp = (seconds * 100 + hundredths) * 10; // wraps in 32 bits as recorded
    SYSTEMTIME time{};
    if (BreakDownRecordingTime(int64_t(seconds), &time))
        time.wMilliseconds = uint16_t(hundredths * 10);
    frame->stTime = time;

    if (m_osdEnabled) {
        UpdateOsd(data, w.headerLength, iFrame, time);
        m_osd.AttachTo(frame);
    }
    return frame;
}

FrameRecord *CStreamV20::ParseAudioFrame(const uint8_t *data, uint32_t) {
    const V20HeaderWord w = SplitV20HeaderWord(ReadLe32(data + 4));
    FrameRecord *frame = NewFrame(data, w.headerLength, data + w.headerLength, PayloadLength(data));
    if (!frame)
        return nullptr;
    frame->nType = DEMUX_FRAME_AUDIO;
    frame->dwCodec = AudioCodec(w.kind);
    return frame;
}

OsdItem *CStreamV20::MakeTimeItem(const uint8_t *record, uint32_t recordLength, const SYSTEMTIME &time) {
    const uint32_t word = ReadLe32(record);
    OsdItem *item = m_osd.NewItem(DEMUX_OSD_TEXT, RecordX(word), RecordY(word));
    if (!item)
        return nullptr;
    const bool newStyle = recordLength == kNewStyleLength;
    const uint32_t stringStart = newStyle ? kNewStyleLength : 4;
    const ptrdiff_t stringLength = StringInRecord(record, recordLength, stringStart);
    platform::WString text;
    if (stringLength >= 0) {
        // The recorder sent its own text.
        if (!platform::AnsiToWide(
                std::string_view(reinterpret_cast<const char *>(record + stringStart), size_t(stringLength)),
                text))
            text.clear();
    } else {
        const uint16_t language = platform::UserInterfaceLanguage();
        text = newStyle ? FormatV20NewTimeText(time, record[4], record[5], language)
                        : FormatV20OldTimeText(time, language);
        if (word & kRecordWeekday)
            text = AppendV20Weekday(text, time, language);
    }
    SetOsdItemText(item, text);
    return item;
}

void CStreamV20::UpdateOsd(const uint8_t *header, uint32_t headerLength, bool iFrame,
                           const SYSTEMTIME &time) {
    if (iFrame || headerLength > kV20MinHeader)
        m_osd.Clear();

    bool timeRecordSeen = false;
    uint32_t remaining = headerLength > kV20MinHeader ? headerLength - kV20MinHeader : 0;
    while (remaining >= 4) {
        const uint8_t *record = header + (headerLength - remaining);
        const uint32_t word = ReadLe32(record);
        const uint32_t declared = word & kRecordLengthMask;
        // Reads stay inside the header: a record that claims more than is
        // left is read as far as the header goes (and ends the walk).
        const uint32_t recordLength = declared < remaining ? declared : remaining;
        const uint32_t type = (word >> kRecordTypeShift) & kRecordTypeMask;
        if (declared != 0 && (word & kRecordShown)) {
            switch (type) {
            case kV20OsdText:
            case kV20OsdUtf8: {
                const ptrdiff_t length = StringInRecord(record, recordLength, 4);
                if (length < 0 || length + 1 > DEMUX_OSD_TEXT_MAX)
                    break;
                const std::string_view bytes(reinterpret_cast<const char *>(record + 4), size_t(length));
                platform::WString text;
                const bool ok = type == kV20OsdText ? platform::AnsiToWide(bytes, text)
                                                    : platform::Utf8ToWide(bytes, text);
                if (!ok)
                    break;
                OsdItem *item = m_osd.NewItem(DEMUX_OSD_TEXT, RecordX(word), RecordY(word));
                if (!item)
                    break;
                SetOsdItemText(item, text);
                m_osd.Append(item);
                break;
            }
            case kV20OsdTime: {
                // The word is always kept, even from a record shorter than it.
                std::memcpy(m_lastTimeRecord, record, recordLength > 4 ? recordLength : 4);
                m_lastTimeRecordLength = recordLength;
                OsdItem *item = MakeTimeItem(m_lastTimeRecord, m_lastTimeRecordLength, time);
                if (!item)
                    break;
                timeRecordSeen = true;
                m_osd.SetTimeItem(m_osd.Append(item));
                break;
            }
            default:
                break;
            }
        }
        // A record of length 0 would hold the walk in place: it ends it.
        if (declared == 0 || declared > remaining)
            break;
        remaining -= declared;
    }

    if (!timeRecordSeen && m_osd.TimeItem() != kOsdNoItem && m_lastTimeRecordLength != 0)
        m_osd.ReplaceTimeItem(MakeTimeItem(m_lastTimeRecord, m_lastTimeRecordLength, time));
}
