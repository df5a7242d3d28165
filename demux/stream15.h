// Parser of the 15 generation: a 64-byte file header beginning "TAVRODRX"
// (frame rate, picture size, audio codec), then "00dc" video and "00db"
// audio chunks with small fixed headers. Time stamps come from the frame
// numbers and the frame rate.
#pragma once

#include <cstdint>

#include "demux/basestream.h"

constexpr uint32_t kStream15FileHeaderSize = 64;
// Offsets in the file header (little-endian).
constexpr uint32_t kStream15RateOffset = 16;     // u32 frames per second, 0: from the standard
constexpr uint32_t kStream15StandardOffset = 20; // u32 0: 30 frames per second, else 25
constexpr uint32_t kStream15WidthOffset = 24;    // u16
constexpr uint32_t kStream15HeightOffset = 28;   // u16
constexpr uint32_t kStream15AudioOffset = 32;    // u32 4: G.722, else G.711 A-law
constexpr uint32_t kStream15AudioTypeG722 = 4;
// Chunks: video "00dc", u32 not read, u32 frame number, u32 payload length;
// audio "00db", u32 payload length.
constexpr uint32_t kStream15VideoHeaderSize = 16;
constexpr uint32_t kStream15AudioHeaderSize = 8;
constexpr uint32_t kStream15MaxVideoPayload = 262144;

class CStream15 : public CBaseStream {
public:
    CStream15() = default;
    ~CStream15() override = default;

    int32_t Open(const uint8_t *data, uint32_t length) override;
    int32_t Reset() override;
    bool IsVideoFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) override;
    bool IsAudioFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseAudioFrame(const uint8_t *data, uint32_t length) override;

private:
    uint8_t m_header[kStream15FileHeaderSize] = {};
    uint32_t m_frameRate = 30; // never 0; what a zeroed header gives until Open
    int64_t m_firstFrame = -1; // number of the first video frame; -1 before it
};
