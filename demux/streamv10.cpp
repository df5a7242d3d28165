// Parser of the V10 generation.
#include "demux/streamv10.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "demux/bytes.h"
#include "demux/fonts.h"
#include "demux/streams.h"
#include "platform/system.h"

namespace {

// Reads fields of up to 32 bits from a bit string, most significant bit of
// each byte first. Never reads past the bits it was given: a read beyond
// them fails, returns 0 and leaves the reader failed.
class CBitReader {
public:
    CBitReader(const uint8_t *data, uint64_t bits, uint64_t position = 0)
        : m_data(data), m_bits(bits), m_position(position) {}

    uint32_t Read(uint32_t count) {
        if (!m_ok || count > 32 || m_position + count > m_bits) {
            m_ok = false;
            return 0;
        }
        uint32_t value = 0;
        for (uint32_t i = 0; i < count; ++i, ++m_position)
            value = (value << 1) | ((m_data[m_position >> 3] >> (7 - (m_position & 7))) & 1u);
        return value;
    }
    bool Skip(uint64_t count) {
        if (!m_ok || count > m_bits - m_position) {
            m_ok = false;
            return false;
        }
        m_position += count;
        return true;
    }
    bool Ok() const { return m_ok; }
    uint64_t Position() const { return m_position; }

private:
    const uint8_t *m_data;
    uint64_t m_bits;
    uint64_t m_position;
    bool m_ok = true;
};

bool IsTag(const uint8_t *p, char last) {
    return p[0] == '0' && p[1] == '0' && p[2] == 'd' && p[3] == last;
}

bool IsChunkTag(const uint8_t *p) {
    return IsTag(p, 'c') || IsTag(p, 'b');
}

// The chunk at data spans size bytes; another tag must follow, right behind
// it or after a 4-byte gap, within the bytes given.
bool NextTagFollows(const uint8_t *data, uint32_t length, uint64_t size) {
    if (size + kStreamV10Trailer > length)
        return false;
    return IsChunkTag(data + size) || IsChunkTag(data + size + 4);
}

bool Contains(const uint8_t *data, uint32_t length, const char *text) {
    return ContainsString(data, length, text);
}

constexpr char kVariantNames[5][9] = {"", "ZEMADRX ", "ZEMADRXH", "ZEMAIPCA", "ZEMADRTX"};

// Cells of the bitmap items: codes 1 to 31 draw the characters of the
// frame's time in this order (the layout of strftime "%Y%m%d%H%M%S%w%a%b").
// Code 15 is the weekday digit (%w, 0 Sunday), 16 to 18 its name (%a), 19 to
// 21 the month's name (%b); later codes draw nothing.
constexpr uint32_t kTimeWeekdayName = 16;
constexpr uint32_t kTimeTextLength = 21;

} // namespace

bool ParseStreamV10VideoHeader(const uint8_t *data, uint32_t length, StreamV10VideoHeader *header) {
    if (length < kStreamV10MinVideoChunk || !IsTag(data, 'c'))
        return false;
    StreamV10VideoHeader &h = *header;
    h = StreamV10VideoHeader();
    // The first fields decide how many bytes the header has; the rest must
    // lie inside them.
    CBitReader first(data, uint64_t(length) * 8, 32);
    h.byFamily = uint8_t(first.Read(2));
    h.byVariant = uint8_t(first.Read(2));
    h.wHeaderLength = uint16_t(first.Read(14));
    if (h.wHeaderLength > length)
        return false;
    CBitReader bits(data, uint64_t(h.wHeaderLength) * 8, first.Position());
    h.byKind = uint8_t(bits.Read(4));
    h.byExtension = uint8_t(bits.Read(2));
    if (h.byExtension != 0)
        bits.Skip(64); // two words no player reads
    h.byYear = uint8_t(bits.Read(8));
    h.byDayOfWeek = uint8_t(bits.Read(4));
    h.byMonth = uint8_t(bits.Read(4));
    h.byDay = uint8_t(bits.Read(5));
    h.byHour = uint8_t(bits.Read(5));
    h.byMinute = uint8_t(bits.Read(6));
    h.bySecond = uint8_t(bits.Read(6));
    h.wMillisecond = uint16_t(bits.Read(10));
    h.dwTimestamp = bits.Read(32);
    h.dwSequence = bits.Read(32);
    h.wWidth = uint16_t(bits.Read(8) * 16);
    h.wHeight = uint16_t(bits.Read(8) * 16);
    if (!bits.Ok() || h.wWidth <= 169 || h.wHeight >= 1281)
        return false;
    h.byOsdMode = uint8_t(bits.Read(2));
    if (h.byOsdMode != kStreamV10OsdNone) {
        h.byOsdBlocks = uint8_t(bits.Read(6));
        if (h.byOsdBlocks > kStreamV10MaxOsdBlocks)
            return false;
        for (uint32_t i = 0; i < h.byOsdBlocks; ++i) {
            StreamV10OsdBlock &block = h.aBlocks[i];
            for (uint8_t &field : block.abFields)
                field = uint8_t(bits.Read(8));
            block.byG = uint8_t(bits.Read(4));
            block.byH = uint8_t(bits.Read(4));
            block.wX = uint16_t(bits.Read(10) * 4);
            block.wY = uint16_t(bits.Read(10));
            block.wW = uint16_t(bits.Read(8) * 8);
            block.wV = uint16_t(bits.Read(10));
            block.wGlyphWidth = uint16_t(bits.Read(5) * 4);
            block.wGlyphHeight = uint16_t(bits.Read(5) * 4);
            if (!bits.Ok() || block.wGlyphWidth == 0)
                return false;
            block.dwCodeCount = block.wW / block.wGlyphWidth;
            for (uint32_t c = 0; c < block.dwCodeCount; ++c) {
                const uint16_t code = uint16_t(bits.Read(16));
                if (c < kStreamV10MaxCodes)
                    block.awCodes[c] = code;
            }
            block.wTextLength = uint16_t(bits.Read(16));
            block.dwTextBit = uint32_t(bits.Position());
            bits.Skip(uint64_t(block.wTextLength) * 8);
            if (!bits.Ok())
                return false;
        }
    }
    h.dwPayloadLength = bits.Read(24);
    if (!bits.Ok())
        return false;
    h.dwHeaderBits = uint32_t(bits.Position());
    return true;
}

bool ParseStreamV10AudioHeader(const uint8_t *data, uint32_t length, StreamV10AudioHeader *header) {
    if (length < kStreamV10AudioHeaderSize || !IsTag(data, 'b'))
        return false;
    CBitReader bits(data, uint64_t(kStreamV10AudioHeaderSize) * 8, 32);
    header->byFamily = uint8_t(bits.Read(4));
    header->byVariant = uint8_t(bits.Read(4));
    header->byHeaderLength = uint8_t(bits.Read(8));
    bits.Read(32);
    header->wPayloadLength = uint16_t(bits.Read(16));
    return bits.Ok() && header->byHeaderLength == kStreamV10AudioHeaderSize;
}

uint32_t StreamV10VideoCodec(uint32_t family, uint32_t variant, uint32_t streamVariant) {
    if (family == 3) {
        if (variant == 2)
            return DEMUX_CODEC_VIDEO_5;
        if (variant == 1)
            return DEMUX_CODEC_VIDEO_4;
        if (variant == 0)
            return streamVariant == kStreamV10VariantDrtx ? DEMUX_CODEC_VIDEO_5 : DEMUX_CODEC_H264;
        return DEMUX_CODEC_UNKNOWN;
    }
    if (variant == 2 && family == 2)
        return DEMUX_CODEC_VIDEO_2;
    if (variant == 2 && family == 1)
        return DEMUX_CODEC_VIDEO_1;
    return DEMUX_CODEC_UNKNOWN;
}

uint32_t StreamV10AudioCodec(uint32_t family, uint32_t variant) {
    if (family == 1) {
        if (variant == 1)
            return DEMUX_CODEC_G722;
        if (variant == 2)
            return DEMUX_CODEC_G711_ALAW;
        if (variant == 3)
            return DEMUX_CODEC_G726;
    }
    if (family == 3 && variant == 1)
        return DEMUX_CODEC_G711_ALAW;
    return DEMUX_CODEC_UNKNOWN;
}

void StreamV10CorrectSize(uint16_t *width, uint16_t *height) {
    if (*width == 1920 && (*height == 1072 || *height == 1088))
        *height = 1080;
    else if (*width == 1920 && *height == 1056)
        *height = 1072;
    else if (*width == 176 && *height == 128)
        *height = 120;
    else if (*width == 352 && (*height == 576 || *height == 480)) {
        // One field of a full-width picture; the decoder doubles it.
        *width = 704;
        *height = uint16_t(*height / 2);
    }
}

uint32_t StreamV10DetectVariant(const uint8_t *data, uint32_t length) {
    if (Contains(data, length, "ZEMADRTX"))
        return kStreamV10VariantDrtx;
    if (Contains(data, length, "ZEMAIPCA"))
        return kStreamV10VariantIpca;
    if (Contains(data, length, "ZEMADRXH"))
        return kStreamV10VariantDrxh;
    if (Contains(data, length, "ZEMADRX ") || Contains(data, length, "APIS"))
        return kStreamV10VariantDrx;
    if (length < 32)
        return kStreamV10VariantNone;
    for (uint32_t i = 0; i + 5 <= length; ++i) {
        if (!IsTag(data + i, 'c'))
            continue;
        const uint32_t a = data[i + 4] >> 6;
        const uint32_t c = (data[i + 4] >> 4) & 3;
        if (a == 3 && c == 2)
            return kStreamV10VariantDrtx;
        if (a == 3 && c == 1)
            return kStreamV10VariantIpca;
        if (a == 3 && c == 0)
            return kStreamV10VariantDrxh;
        if ((a == 1 || a == 2) && c == 2)
            return kStreamV10VariantDrx;
    }
    return kStreamV10VariantNone;
}

CBaseStream *CreateStreamV10() {
    return new (std::nothrow) CStreamV10();
}

int32_t CStreamV10::Open(const uint8_t *data, uint32_t length) {
    const uint32_t variant = StreamV10DetectVariant(data, length);
    if (variant == kStreamV10VariantNone)
        return DEMUX_E_NOT_SUPPORTED;
    m_variant = variant;
    m_video = StreamV10VideoHeader();
    m_audio = StreamV10AudioHeader();
    m_osdCount = 0;
    std::memset(&m_info, 0, sizeof m_info);
    m_info.dwSize = DEMUX_STREAM_INFO_SIZE;
    m_info.dwGeneration = DEMUX_GENERATION_V10;
    std::memcpy(m_info.szName, kVariantNames[variant], 8);
    return DEMUX_OK;
}

int32_t CStreamV10::Close() {
    Reset();
    std::memset(&m_info, 0, sizeof m_info);
    return DEMUX_OK;
}

int32_t CStreamV10::Reset() {
    platform::CLockGuard guard(m_inputLock);
    m_osdCount = 0;
    return CBaseStream::Reset();
}

bool CStreamV10::IsVideoFrameAt(const uint8_t *data, uint32_t length) {
    if (!ParseStreamV10VideoHeader(data, length, &m_video))
        return false;
    if (m_video.byFamily == 1 && m_video.byVariant == 2 &&
        m_video.dwPayloadLength > kStreamV10MaxFamily1Payload)
        return false;
    return NextTagFollows(data, length, uint64_t(m_video.wHeaderLength) + m_video.dwPayloadLength);
}

FrameRecord *CStreamV10::ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) {
    if (!IsVideoFrameAt(data, length))
        return nullptr;
    const StreamV10VideoHeader &h = m_video;
    FrameRecord *frame = NewFrame(data, h.wHeaderLength, data + h.wHeaderLength, h.dwPayloadLength);
    if (!frame)
        return nullptr;
    static constexpr int32_t kTypes[3] = {DEMUX_FRAME_I, DEMUX_FRAME_P, DEMUX_FRAME_OTHER_VIDEO};
    frame->nType = h.byKind < 3 ? kTypes[h.byKind] : DEMUX_FRAME_UNKNOWN;
    frame->dwCodec = StreamV10VideoCodec(h.byFamily, h.byVariant, m_variant);
    frame->wWidth = h.wWidth;
    frame->wHeight = h.wHeight;
    StreamV10CorrectSize(&frame->wWidth, &frame->wHeight);
    frame->ullFileOffset = fileOffset;
    frame->dwSequence = h.dwSequence;
    frame->dwTimestamp = h.dwTimestamp;
    frame->stTime.wYear = uint16_t(2000 + h.byYear);
    frame->stTime.wMonth = h.byMonth;
    frame->stTime.wDayOfWeek = h.byDayOfWeek;
    frame->stTime.wDay = h.byDay;
    frame->stTime.wHour = h.byHour;
    frame->stTime.wMinute = h.byMinute;
    frame->stTime.wSecond = h.bySecond;
    frame->stTime.wMilliseconds = h.wMillisecond;
    if (m_osdEnabled) {
        UpdateOsd(data, *frame);
        m_osd.AttachTo(frame);
    }
    return frame;
}

bool CStreamV10::IsAudioFrameAt(const uint8_t *data, uint32_t length) {
    if (!ParseStreamV10AudioHeader(data, length, &m_audio))
        return false;
    return NextTagFollows(data, length, uint64_t(kStreamV10AudioHeaderSize) + m_audio.wPayloadLength);
}

FrameRecord *CStreamV10::ParseAudioFrame(const uint8_t *data, uint32_t length) {
    if (!IsAudioFrameAt(data, length))
        return nullptr;
    FrameRecord *frame =
        NewFrame(data, kStreamV10AudioHeaderSize, data + kStreamV10AudioHeaderSize, m_audio.wPayloadLength);
    if (!frame)
        return nullptr;
    frame->nType = DEMUX_FRAME_AUDIO;
    frame->dwCodec = StreamV10AudioCodec(m_audio.byFamily, m_audio.byVariant);
    return frame;
}

void CStreamV10::UpdateOsd(const uint8_t *data, const FrameRecord &frame) {
    const StreamV10VideoHeader &h = m_video;
    if (h.byKind == 0)
        m_osdCount = h.byOsdBlocks < kStreamV10MaxOsdCount ? h.byOsdBlocks : kStreamV10MaxOsdCount;
    // The count stays from the last I frame; while it is not zero every video
    // frame brings the whole set again. With a count of 0 the set is cleared
    // as well: an I frame without blocks ends the OSD instead of leaving the
    // items of the frames before it on screen.
    if (!m_osd.Empty())
        m_osd.Clear();
    if (m_osdCount == 0)
        return;
    // Blocks the header does not carry are empty (zero).
    const uint32_t blocks = m_osdCount < kStreamV10MaxOsdBlocks ? m_osdCount : kStreamV10MaxOsdBlocks;
    const uint8_t g0 = h.aBlocks[0].byG;
    switch (h.byOsdMode) {
    case kStreamV10OsdBitmaps:
        for (uint32_t i = 0; i < blocks; ++i)
            if (h.aBlocks[i].wW != 0 && h.aBlocks[i].wV != 0)
                AddBitmapItem(data, h.aBlocks[i], frame);
        break;
    case kStreamV10OsdTexts:
        if (g0 != 1)
            AddClockItem(frame);
        if (g0 != 2)
            for (uint32_t i = 0; i < blocks; ++i)
                AddTextItem(data, h.aBlocks[i]);
        break;
    case kStreamV10OsdTexts3:
        if (g0 == 3)
            break;
        if (g0 != 0)
            AddClockItem(frame);
        if (g0 != 2)
            for (uint32_t i = 0; i < blocks; ++i)
                AddTextItem(data, h.aBlocks[i]);
        break;
    default:
        break;
    }
}

void CStreamV10::AddClockItem(const FrameRecord &frame) {
    const StreamV10OsdBlock &block = m_video.aBlocks[0];
    OsdItem *item = m_osd.NewItem(DEMUX_OSD_TEXT, block.wW, block.wV);
    if (!item)
        return;
    const SYSTEMTIME &t = frame.stTime;
    const uint32_t weekday = t.wDayOfWeek & 7u;
    // Bit 3 asks for the Chinese weekday name (1 Monday .. 7 Sunday); a
    // weekday of 0 has no name and gets the plain text.
    if ((t.wDayOfWeek & 8u) != 0 && weekday != 0)
        SetOsdItemText(item, OsdFormat("%04d-%02d-%02d %02d:%02d:%02d %s", t.wYear, t.wMonth, t.wDay, t.wHour,
                                       t.wMinute, t.wSecond, OsdChineseWeekdayName(weekday % 7)));
    else
        SetOsdItemText(item, OsdFormat("%04d-%02d-%02d %02d:%02d:%02d", t.wYear, t.wMonth, t.wDay, t.wHour,
                                       t.wMinute, t.wSecond));
    m_osd.Append(item);
}

void CStreamV10::AddTextItem(const uint8_t *data, const StreamV10OsdBlock &block) {
    const uint32_t count = block.wTextLength;
    if (count == 0 || count + 1 > DEMUX_OSD_TEXT_MAX)
        return;
    char text[DEMUX_OSD_TEXT_MAX];
    CBitReader bits(data, uint64_t(m_video.wHeaderLength) * 8, block.dwTextBit);
    for (uint32_t i = 0; i < count; ++i)
        text[i] = char(bits.Read(8));
    if (!bits.Ok() || text[0] == 0)
        return;
    // The recorder's text ends at its byte count or at a NUL before it.
    const void *nul = std::memchr(text, 0, count);
    const size_t used = nul ? size_t(static_cast<const char *>(nul) - text) : count;
    platform::WString wide;
    if (!platform::AnsiToWide(std::string_view(text, used), wide))
        return; // not text in the code page: no item rather than a wrong one
    OsdItem *item = m_osd.NewItem(DEMUX_OSD_TEXT, block.wX, block.wY);
    if (!item)
        return;
    SetOsdItemText(item, wide);
    m_osd.Append(item);
}

void CStreamV10::AddBitmapItem(const uint8_t *data, const StreamV10OsdBlock &block,
                               const FrameRecord &frame) {
    OsdItem *item = m_osd.NewItem(DEMUX_OSD_BITMAP, block.wX, block.wY);
    if (!item)
        return;
    item->wWidth = block.wW;
    item->wHeight = block.wV;
    // Rows of w / 8 bytes; a bitmap taller than the body is drawn as far as
    // the body reaches.
    uint8_t *bits = item->body.abBits;
    const uint32_t stride = block.wW / 8;
    const uint32_t maxRows = DEMUX_OSD_BODY_SIZE / stride;
    const uint32_t rows = block.wV < maxRows ? block.wV : maxRows;
    const uint32_t cellWidth = block.wGlyphWidth;
    const uint32_t cellHeight = block.wGlyphHeight;
    const uint32_t cells = block.wW / cellWidth;

    // The frame's time as strftime "%Y%m%d%H%M%S%w%a%b" would write it, with
    // the weekday taken from the recorder's 1 (Monday) to 7 (Sunday).
    static const char *const kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const SYSTEMTIME &t = frame.stTime;
    const uint32_t weekday = t.wDayOfWeek & 7u;
    const bool chineseDay = (t.wDayOfWeek & 8u) != 0 && weekday != 0;
    char timeText[kTimeTextLength + 8];
    std::snprintf(timeText, sizeof timeText, "%04u%02u%02u%02u%02u%02u%c%s%s", unsigned(t.wYear) % 10000,
                  unsigned(t.wMonth) % 100, unsigned(t.wDay) % 100, unsigned(t.wHour) % 100,
                  unsigned(t.wMinute) % 100, unsigned(t.wSecond) % 100,
                  weekday != 0 ? char('0' + weekday % 7) : ' ', weekday != 0 ? kDays[weekday % 7] : "   ",
                  t.wMonth >= 1 && t.wMonth <= 12 ? kMonths[t.wMonth - 1] : "   ");
    int hanChars[3] = {};
    if (chineseDay)
        GetWeekdayHanChars(weekday, hanChars);

    // Glyph cells carried in the text bytes: cellHeight rows of whole bytes.
    CBitReader carried(data, uint64_t(m_video.wHeaderLength) * 8, block.dwTextBit);
    uint64_t carriedLeft = uint64_t(block.wTextLength) * 8;
    const uint32_t cellStride = (cellWidth + 7) / 8;
    // Glyph sizes are 5-bit values times 4: at most 124 x 124 pixels.
    uint8_t cellBits[124 * 16];

    uint32_t cell = 0;
    const uint32_t codes = block.dwCodeCount < kStreamV10MaxCodes ? block.dwCodeCount : kStreamV10MaxCodes;
    for (uint32_t k = 0; k < codes && cell < cells; ++k) {
        const uint32_t code = block.awCodes[k];
        if (code == 0)
            break;
        if (code > 128) {
            // Cells drawn by the recorder itself, taken from the text bytes.
            for (uint32_t n = code - 128; n > 0 && cell < cells; --n, ++cell) {
                const uint32_t cellBytes = cellHeight * cellStride;
                if (uint64_t(cellBytes) * 8 > carriedLeft) {
                    cell = cells; // the text bytes are used up
                    break;
                }
                carriedLeft -= uint64_t(cellBytes) * 8;
                for (uint32_t i = 0; i < cellBytes; ++i)
                    cellBits[i] = uint8_t(carried.Read(8));
                FontGlyph glyph;
                glyph.pBits = cellBits;
                glyph.wWidth = uint16_t(cellWidth);
                glyph.wHeight = uint16_t(cellHeight);
                glyph.wStride = uint16_t(cellStride);
                DrawGlyph(bits, stride, rows, cell * cellWidth, 0, glyph);
            }
            continue;
        }
        if (code == 128)
            continue;
        const uint32_t x = cell * cellWidth;
        ++cell;
        FontGlyph glyph;
        bool found = false;
        if (code >= 32)
            found = GetAsciiGlyph(code, cellHeight, &glyph);
        else if (chineseDay && code >= kTimeWeekdayName && code < kTimeWeekdayName + 3)
            found = GetHanGlyph(hanChars[code - kTimeWeekdayName], cellHeight, &glyph);
        else if (code <= kTimeTextLength)
            found = GetAsciiGlyph(uint8_t(timeText[code - 1]), cellHeight, &glyph);
        if (found)
            DrawGlyph(bits, stride, rows, x, 0, glyph);
    }
    m_osd.Append(item);
}
