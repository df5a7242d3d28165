// The output side of qvplay export: MP4 and Matroska through libavformat
// (H.264 copied, audio as AAC or 16-bit PCM), the raw H.264 stream and WAV.
// Everything is written to OUT.part first and renamed to OUT only when the
// file is complete, so a failed export never leaves a file that looks whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AVBufferPool;
struct AVBufferRef;
struct AVFormatContext;
struct AVCodecContext;
struct AVCodecParserContext;
struct AVStream;
struct AVPacket;
struct AVFrame;
struct AVIOContext;

namespace qvplay {

enum class ExportKind { Mp4, Matroska, H264, Wav };

// The kind named by the output's extension (.mp4, .mkv, .h264 or .264,
// .wav; any case); false for another.
bool ExportKindOf(const std::string &path, ExportKind *pKind);
const char *ExportKindName(ExportKind kind);

// The sequence and picture parameter sets (NAL types 7 and 8, start codes
// kept) of an Annex B access unit: the extradata of the H.264 stream.
std::vector<uint8_t> ParameterSets(const uint8_t *data, size_t size);

// The picture order count of each H.264 access unit (libavcodec's parser
// reads the slice headers; nothing is decoded), and the coded size once a
// sequence parameter set was seen.
class CPictureOrder {
public:
    CPictureOrder();
    ~CPictureOrder();
    CPictureOrder(const CPictureOrder &) = delete;
    CPictureOrder &operator=(const CPictureOrder &) = delete;

    // False when the unit has no slice the parser could read. *pbIdr: the
    // unit is an IDR picture, where the counts start again.
    bool Read(const uint8_t *data, size_t size, int *pOrder, bool *pbIdr);
    int Width() const;
    int Height() const;

private:
    AVCodecParserContext *m_pParser = nullptr;
    AVCodecContext *m_pContext = nullptr;
    std::vector<uint8_t> m_lastSets; // the parameter sets last given to the parser
};

// The avcC record (ISO/IEC 14496-15 decoder configuration) of Annex B
// parameter sets: MP4 and Matroska then take length-prefixed units as they
// are; empty without a sequence and a picture parameter set.
std::vector<uint8_t> AvcConfiguration(const std::vector<uint8_t> &parameterSets);
// Annex B to 4-byte length prefixes, start code by start code; answers the
// bytes written (at most size + size / 4 + 4).
size_t AnnexBToLengthPrefixed(const uint8_t *data, size_t size, uint8_t *out);

struct VideoFormat {
    int nWidth = 0, nHeight = 0;
    std::vector<uint8_t> extradata; // Annex B parameter sets
};

// One access unit held until it is written: a pooled, reference-counted
// buffer, length-prefixed for MP4 and Matroska, as read for .h264.
struct VideoUnit {
    AVBufferRef *pBuf = nullptr;
    size_t size = 0;
};

struct AudioFormat {
    int nSampleRate = 0; // 0: no audio stream
    int nChannels = 0;
};

class CMediaWriter {
public:
    CMediaWriter() = default;
    ~CMediaWriter(); // an unfinished output is removed
    CMediaWriter(const CMediaWriter &) = delete;
    CMediaWriter &operator=(const CMediaWriter &) = delete;

    // Creates OUT.part; false with the reason in *pError.
    bool Open(const std::string &path, ExportKind kind, std::string *pError);
    // Declares the streams and writes the container header (once, before any
    // packet). The H.264 and WAV kinds ignore what they do not carry.
    bool Begin(const VideoFormat &video, const AudioFormat &audio, std::string *pError);
    bool Begun() const { return m_bBegun; }
    // Copies an Annex B access unit into a unit of the writer's pool (in the
    // form its container takes); false when out of memory.
    bool Store(const uint8_t *data, size_t size, VideoUnit *pUnit);
    static void Release(VideoUnit *pUnit);
    // Writes the unit and releases it; times in milliseconds.
    bool WriteVideo(VideoUnit *pUnit, int64_t pts, int64_t dts, int64_t duration, bool bKey,
                    std::string *pError);
    // 16-bit little-endian PCM, interleaved; pts counts samples per channel.
    bool WriteAudio(const int16_t *samples, size_t count, int64_t pts, std::string *pError);
    // Flushes the encoder, writes the trailer, closes and renames OUT.part to
    // OUT.
    bool Finish(std::string *pError);
    // Closes and removes OUT.part.
    void Abandon();

    const char *AudioCodecName() const { return m_audioCodecName; }
    uint64_t BytesWritten() const { return m_ullBytes; }
    const std::string &PartPath() const { return m_partPath; }

private:
    bool WritePacket(AVPacket *pPacket, std::string *pError);
    bool EncodeAudio(bool bFlush, std::string *pError);

    ExportKind m_kind = ExportKind::Mp4;
    std::string m_path, m_partPath;
    AVFormatContext *m_pFormat = nullptr;
    AVIOContext *m_pRaw = nullptr; // the .h264 kind: no container
    AVStream *m_pVideo = nullptr;
    AVStream *m_pAudio = nullptr;
    AVCodecContext *m_pEncoder = nullptr; // AAC for MP4
    AVFrame *m_pFrame = nullptr;
    AVPacket *m_pPacket = nullptr;
    AVBufferPool *m_pPool = nullptr;
    size_t m_poolSize = 0; // bytes of each pooled buffer
    int m_nChannels = 0;
    int m_nSampleRate = 0;
    const char *m_audioCodecName = "none";
    std::vector<float> m_pending; // samples waiting for a whole AAC frame, interleaved
    int64_t m_llPendingPts = 0;   // of m_pending's first sample
    bool m_bPendingPts = false;
    bool m_bBegun = false;
    uint64_t m_ullBytes = 0;
};

} // namespace qvplay
