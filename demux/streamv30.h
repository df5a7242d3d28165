// Parser of the newest container generation (V30): frames with a checksummed
// header, a video block with picture size, times and sequence, and OSD
// records (texts, the clock, privacy masks).
#pragma once

#include "demux/basestream.h"

// Frame header layout.
constexpr uint32_t kV30Magic = 0xFF620068; // bytes 68 00 62 FF
constexpr uint32_t kV30MinHeader = 16;
constexpr uint32_t kV30VideoBlock = 16;     // offset of the video block
constexpr uint32_t kV30TimeRecordKept = 16; // bytes of a time record kept for rebuilding

enum V30FrameKind : uint8_t {
    kV30KindAudio = 0,
    kV30KindI = 1,
    kV30KindP = 2,
    kV30KindOther = 3,
    kV30KindDroppable = 4,
};

enum V30OsdType : uint32_t {
    kV30OsdText = 0,
    kV30OsdTime = 1,
    kV30OsdMosaic = 2,
};

// 24-bit checksum of a frame: header bytes from 16 on plus span payload
// bytes from each end (when the payload holds both), bit 23 set.
uint32_t V30ComputeChecksum(const uint8_t *header, uint32_t headerLength, const uint8_t *payload,
                            uint32_t payloadLength, uint32_t span);

class CStreamV30 : public CBaseStream {
public:
    CStreamV30() = default;
    ~CStreamV30() override;

    int32_t Open(const uint8_t *data, uint32_t length) override;
    int32_t Reset() override;
    bool IsVideoFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseVideoFrame(const uint8_t *data, uint32_t length, uint64_t fileOffset) override;
    bool IsAudioFrameAt(const uint8_t *data, uint32_t length) override;
    FrameRecord *ParseAudioFrame(const uint8_t *data, uint32_t length) override;
    uint32_t NextFrameCandidate(const uint8_t *data, uint32_t length) override;

private:
    // Frame test shared by video and audio: kind check, then the header.
    static bool IsFrameAt(const uint8_t *data, uint32_t length, bool video);
    void UpdateOsd(const uint8_t *header, uint32_t headerLength, const SYSTEMTIME &time);
    OsdItem *MakeTimeItem(const uint8_t *record, uint32_t recordLength, const SYSTEMTIME &time);

    uint8_t m_lastTimeRecord[kV30TimeRecordKept] = {};
};
