// Parser of the V10 generation: "00dc" video and "00db" audio chunks whose
// headers are bit strings (most significant bit of each byte first) carrying
// the picture size, the recording time and up to 8 OSD blocks. Four variants
// of the format differ in how they number their codecs.
#pragma once

#include <cstdint>

#include "demux/basestream.h"

constexpr uint32_t kStreamV10MinVideoChunk = 32;
constexpr uint32_t kStreamV10AudioHeaderSize = 12;
constexpr uint32_t kStreamV10MaxOsdBlocks = 8;
// OSD blocks counted at an I frame are kept to this many.
constexpr uint32_t kStreamV10MaxOsdCount = 16;
constexpr uint32_t kStreamV10MaxCodes = 44; // character codes kept per block
// Payload limit of the codec family 1 / variant 2 pair.
constexpr uint32_t kStreamV10MaxFamily1Payload = 262144;
// A chunk is whole only when another tag follows it, right behind it or
// after a 4-byte gap; this many bytes behind it must be present.
constexpr uint32_t kStreamV10Trailer = 8;

enum StreamV10Variant : uint32_t {
    kStreamV10VariantNone = 0,
    kStreamV10VariantDrx = 1,  // "ZEMADRX "
    kStreamV10VariantDrxh = 2, // "ZEMADRXH"
    kStreamV10VariantIpca = 3, // "ZEMAIPCA"
    kStreamV10VariantDrtx = 4, // "ZEMADRTX"
};

// OSD modes of a video header.
constexpr uint32_t kStreamV10OsdNone = 0;
constexpr uint32_t kStreamV10OsdBitmaps = 1; // one bitmap item per block
constexpr uint32_t kStreamV10OsdTexts = 2;   // clock and texts, field g of block 0 choosing
constexpr uint32_t kStreamV10OsdTexts3 = 3;  // the same with other choices

// One OSD block as the header carries it, values scaled to pixels.
struct StreamV10OsdBlock {
    uint16_t wX = 0; // 10-bit value x 4
    uint16_t wY = 0;
    uint8_t abFields[6] = {}; // fields a to f, not interpreted
    uint8_t byG = 0;          // chooses the items in modes 2 and 3 (block 0)
    uint8_t byH = 0;
    uint16_t wW = 0;           // 8-bit value x 8: bitmap width, clock x
    uint16_t wV = 0;           // 10 bits: bitmap height, clock y
    uint16_t wGlyphWidth = 0;  // 5-bit value x 4, never 0
    uint16_t wGlyphHeight = 0; // 5-bit value x 4
    uint16_t awCodes[kStreamV10MaxCodes] = {};
    uint32_t dwCodeCount = 0; // codes in the header (only the first 44 are kept)
    uint16_t wTextLength = 0; // text bytes
    uint32_t dwTextBit = 0;   // bit position of the text bytes from the chunk start
};

struct StreamV10VideoHeader {
    uint8_t byFamily = 0;  // codec family A
    uint8_t byVariant = 0; // codec variant B
    uint16_t wHeaderLength = 0;
    uint8_t byKind = 0; // 0 I, 1 P, 2 third video kind
    uint8_t byExtension = 0;
    uint8_t byYear = 0;      // years since 2000
    uint8_t byDayOfWeek = 0; // 1 Monday .. 7 Sunday; bit 3 asks for the weekday name
    uint8_t byMonth = 0;
    uint8_t byDay = 0;
    uint8_t byHour = 0;
    uint8_t byMinute = 0;
    uint8_t bySecond = 0;
    uint16_t wMillisecond = 0;
    uint32_t dwTimestamp = 0;
    uint32_t dwSequence = 0;
    uint16_t wWidth = 0; // pixels, before the size corrections
    uint16_t wHeight = 0;
    uint8_t byOsdMode = 0;
    uint8_t byOsdBlocks = 0;
    StreamV10OsdBlock aBlocks[kStreamV10MaxOsdBlocks];
    uint32_t dwPayloadLength = 0;
    uint32_t dwHeaderBits = 0; // bits the fields take
};

struct StreamV10AudioHeader {
    uint8_t byFamily = 0;
    uint8_t byVariant = 0;
    uint8_t byHeaderLength = 0;
    uint16_t wPayloadLength = 0;
};

// Reads a video chunk header from the bytes at data (the "00dc" tag first).
// False when the tag, the lengths, the picture size or an OSD block is not
// valid, or when the fields reach past the header length or the bytes given.
bool ParseStreamV10VideoHeader(const uint8_t *data, uint32_t length, StreamV10VideoHeader *header);
bool ParseStreamV10AudioHeader(const uint8_t *data, uint32_t length, StreamV10AudioHeader *header);
// FrameRecord codecs of the codec pairs.
uint32_t StreamV10VideoCodec(uint32_t family, uint32_t variant, uint32_t streamVariant);
uint32_t StreamV10AudioCodec(uint32_t family, uint32_t variant);
// Picture size after the corrections for sizes the recorders misreport.
void StreamV10CorrectSize(uint16_t *width, uint16_t *height);
// Variant of a first block: by name, else by the codec bits of the first
// video chunk found. kStreamV10VariantNone when neither.
uint32_t StreamV10DetectVariant(const uint8_t *data, uint32_t length);

class CStreamV10 : public CBaseStream {
public:
    CStreamV10() = default;
    ~CStreamV10() override = default;

    int32_t Open(const uint8_t *data, uint32_t length) override;
    int32_t Close() override;
    int32_t Reset() override;
    bool IsVideoFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) override;
    bool IsAudioFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseAudioFrame(const uint8_t *data, uint32_t length) override;

private:
    void UpdateOsd(const uint8_t *data, const FrameRecord &frame);
    void AddClockItem(const FrameRecord &frame);
    void AddTextItem(const uint8_t *data, const StreamV10OsdBlock &block);
    void AddBitmapItem(const uint8_t *data, const StreamV10OsdBlock &block, const FrameRecord &frame);

    uint32_t m_variant = kStreamV10VariantNone;
    StreamV10VideoHeader m_video; // last video header parsed
    StreamV10AudioHeader m_audio; // last audio header parsed
    uint32_t m_osdCount = 0;      // OSD blocks counted at the last I frame
};
