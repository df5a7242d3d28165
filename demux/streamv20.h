// Parser of the generation before V30 (V20): compact 20-byte headers
// ("QVMS" counting the payload in bytes, "MSV2" in 4-byte units), OSD records
// behind them, no checksum; a frame counts only when the next header follows.
#pragma once

#include "demux/basestream.h"

constexpr uint32_t kV20MinHeader = 20;
// A kept time record is at most this long (its length field has 9 bits).
constexpr uint32_t kV20MaxRecord = 511;

enum V20OsdType : uint32_t {
    kV20OsdText = 0, // ANSI code page
    kV20OsdTime = 1,
    kV20OsdUtf8 = 2,
};

// Fields of the first header word (offset 4) and of an OSD record's word.
struct V20HeaderWord {
    uint32_t headerLength; // bits 0..8
    uint32_t lengthField;  // bits 9..27
    uint32_t kind;         // bits 28..31
};
inline V20HeaderWord SplitV20HeaderWord(uint32_t word) {
    return {word & 0x1FF, (word >> 9) & 0x7FFFF, word >> 28};
}

class CStreamV20 : public CBaseStream {
public:
    CStreamV20() = default;
    ~CStreamV20() override;

    int32_t Open(const uint8_t *data, uint32_t length) override;
    int32_t Reset() override;
    bool IsVideoFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) override;
    bool IsAudioFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseAudioFrame(const uint8_t *data, uint32_t length) override;
    uint32_t NextFrameCandidate(const uint8_t *data, uint32_t length) override;

private:
    static bool IsFrameAt(const uint8_t *data, uint32_t length, bool video);
    static uint32_t PayloadLength(const uint8_t *data);
    void UpdateOsd(const uint8_t *header, uint32_t headerLength, bool iFrame, const SYSTEMTIME &time);
    OsdItem *MakeTimeItem(const uint8_t *record, uint32_t recordLength, const SYSTEMTIME &time);

    uint8_t m_lastTimeRecord[kV20MaxRecord] = {};
    uint32_t m_lastTimeRecordLength = 0;
    uint32_t m_droppableToggle = 0; // alternates the P frames of kind 5
};
