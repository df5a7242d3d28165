// Parser of the 6000 generation: a file that starts with a fixed index of
// 8192 frame positions. The whole file arrives in one InputData call; every
// indexed frame is parsed at once and kept until Close, and GetFrame hands
// them out through a cursor that Seek moves.
#pragma once

#include <cstddef>
#include <cstdint>

#include "demux/basestream.h"

// The index: 8192 little-endian words, bits 0 to 27 a file offset, bits 28 to
// 31 the kind of frame there.
constexpr uint32_t kStream6000IndexEntries = 8192;
constexpr uint32_t kStream6000IndexSize = kStream6000IndexEntries * 4;
constexpr uint32_t kStream6000OffsetMask = 0x0FFFFFFF;
constexpr uint32_t kStream6000KindShift = 28;
constexpr uint32_t kStream6000KindIFrame = 12;
constexpr uint32_t kStream6000KindPFrame = 8;
constexpr uint32_t kStream6000KindAudio = 4;
// Smallest first block Open looks at: the index and the first word behind it.
constexpr uint32_t kStream6000MinOpenLength = kStream6000IndexSize + 4;
// A video frame starts with a 16-bit length (two low bits are flags) that
// counts the whole frame, itself included.
constexpr uint32_t kStream6000MinVideoLength = 32;
constexpr uint32_t kStream6000MaxVideoLength = 32768;
constexpr uint32_t kStream6000AudioLength = 120;
// The whole file is given at once; larger ones are refused.
constexpr uint32_t kStream6000MaxFileLength = 0x10000000;
// The recorders of this generation write 352 x 288 at a fixed 25 frames a
// second.
constexpr uint16_t kStream6000Width = 352;
constexpr uint16_t kStream6000Height = 288;
constexpr uint32_t kStream6000FrameInterval = 40;

class CStream6000 : public CBaseStream {
public:
    CStream6000() = default;
    ~CStream6000() override;

    int32_t Open(const uint8_t *data, uint32_t length) override;
    int32_t Close() override;
    int32_t Reset() override;
    int32_t InputData(const DemuxInput *input) override;
    int32_t GetFrame(FrameRecord **out) override;
    // Every frame is kept for seeking: no sink.
    bool SetFrameSink(CFrameSink *) override { return false; }
    int32_t FreeFrame(FrameRecord *frame) override;
    int32_t Seek(uint64_t fileOffset) override;
    int32_t GetFrameCount(uint32_t *count) override;
    uint32_t ParseBuffer(const uint8_t *data, uint32_t length, uint64_t fileOffset) override;
    // The frame tests and builders work on the index entry being parsed;
    // data and length are the whole file.
    bool IsVideoFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) override;
    bool IsAudioFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseAudioFrame(const uint8_t *data, uint32_t length) override;

private:
    uint32_t EntryOffset() const { return m_entry & kStream6000OffsetMask; }
    uint32_t EntryKind() const { return m_entry >> kStream6000KindShift; }

    int32_t m_videoCounter = -1; // sequence of the next video frame; -1 before the first
    size_t m_cursor = 0;         // queue position of the next frame GetFrame gives
    bool m_loaded = false;
    uint32_t m_entry = 0; // index entry being parsed
};
