#include "vdec/h264core.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <new>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
}

namespace {

class CH264Core {
public:
    CH264Core() = default;
    ~CH264Core();
    CH264Core(const CH264Core &) = delete;
    CH264Core &operator=(const CH264Core &) = delete;

    bool Open(const H264CoreParam &param);
    int32_t Decode(const uint8_t *data, uint32_t length, uint64_t user, H264CorePicture &picture,
                   uint32_t flags);

private:
    bool OpenParser();
    bool Parse(const uint8_t *data, int length, int64_t serial);
    bool FlushParser();
    bool QueuePacket(const uint8_t *data, int size, int64_t serial);
    void ClearPackets();
    void Restart();
    bool Deliver(H264CorePicture &picture);
    uint64_t UserOf(int64_t serial) const;

    AVCodecContext *m_pContext = nullptr;
    AVCodecParserContext *m_pParser = nullptr;
    AVFrame *m_pFrame = nullptr; // the picture handed out last; kept until the next call
    // Access units cut by the parser and not yet taken by the decoder (it
    // refuses input while pictures wait to be received).
    std::deque<AVPacket *> m_packets;
    uint32_t m_dwMaxWidth = 0;
    uint32_t m_dwMaxHeight = 0;
    // Input on its way to the parser, with the zeroed tail it reads into.
    static constexpr uint32_t kParseStep = 1u << 16;
    std::vector<uint8_t> m_padded;
    bool m_bParserHolds = false; // bytes went to the parser since it last handed out
    bool m_bEndOfStream = false; // drain once m_packets is empty
    bool m_bDrainSent = false;   // the decoder has been told the stream ended
    // Each call with data gets the next serial; its packets carry the serial
    // as their time stamp, which the decoder hands back with the picture
    // after reordering. Serials rather than the user values themselves,
    // because every 64-bit value is a valid user value while the decoder
    // reserves one time stamp for "none". The ring remembers far more calls
    // than pictures can be held back.
    struct UserEntry {
        int64_t serial = -1;
        uint64_t user = 0;
    };
    static constexpr size_t kUserRing = 1024;
    std::array<UserEntry, kUserRing> m_users{};
    int64_t m_nNextSerial = 0;
    int64_t m_nParsedSerial = -1; // of the last piece given to the parser
};

uint32_t ClampMbCount(uint32_t value, uint32_t minimum, uint32_t maximum, uint32_t fallback) {
    return value >= minimum && value <= maximum ? value : fallback;
}

CH264Core::~CH264Core() {
    ClearPackets();
    av_frame_free(&m_pFrame);
    if (m_pParser)
        av_parser_close(m_pParser);
    // Joins the decoding threads of a multi-threaded instance.
    avcodec_free_context(&m_pContext);
}

bool CH264Core::Open(const H264CoreParam &param) {
    uint32_t mbWidth = ClampMbCount(param.dwMaxMbWidth, H264_CORE_MB_WIDTH_MIN, H264_CORE_MB_WIDTH_MAX,
                                    H264_CORE_MB_WIDTH_DEFAULT);
    uint32_t mbHeight = ClampMbCount(param.dwMaxMbHeight, H264_CORE_MB_HEIGHT_MIN, H264_CORE_MB_HEIGHT_MAX,
                                     H264_CORE_MB_HEIGHT_DEFAULT);
    m_dwMaxWidth = mbWidth * 16;
    m_dwMaxHeight = mbHeight * 16;

    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return false;
    m_pContext = avcodec_alloc_context3(codec);
    m_pFrame = av_frame_alloc();
    if (!m_pContext || !m_pFrame)
        return false;
    // Damaged recordings are common; the decoder's complaints about them are
    // lowered below the default log level instead of filling stderr.
    m_pContext->log_level_offset = AV_LOG_TRACE - AV_LOG_ERROR;
    // Pictures leave at the coded size with their display window beside
    // them; the caller crops.
    m_pContext->apply_cropping = 0;
    // The decoder refuses pictures far beyond the instance's limit before it
    // allocates them (it counts rows padded to its stride alignment, at most
    // 64 bytes); Deliver applies the exact limit.
    m_pContext->max_pixels = static_cast<int64_t>(m_dwMaxWidth + 64) * m_dwMaxHeight;
    if (param.dwOptions & H264_CORE_OPT_MULTITHREAD) {
        // Frame threads: the encoders our streams come from write one slice
        // per picture, so slice threads would not help. Output order stays
        // display order; a picture comes out up to three frames later.
        m_pContext->thread_count = H264_CORE_WORKER_THREADS;
        m_pContext->thread_type = FF_THREAD_FRAME;
    } else {
        m_pContext->thread_count = 1;
        m_pContext->thread_type = 0;
    }
    if (avcodec_open2(m_pContext, codec, nullptr) < 0)
        return false;
    return OpenParser();
}

bool CH264Core::OpenParser() {
    if (m_pParser)
        av_parser_close(m_pParser);
    m_pParser = av_parser_init(AV_CODEC_ID_H264);
    return m_pParser != nullptr;
}

void CH264Core::ClearPackets() {
    for (AVPacket *packet : m_packets)
        av_packet_free(&packet);
    m_packets.clear();
}

// Back to the state of a new instance after the decoder reported the end of
// the stream, so that the instance takes a new stream (the parser was
// renewed when the end was flagged).
// Access units queued after the end was flagged stay for the new stream.
void CH264Core::Restart() {
    avcodec_flush_buffers(m_pContext);
    m_bEndOfStream = false;
    m_bDrainSent = false;
}

bool CH264Core::QueuePacket(const uint8_t *data, int size, int64_t serial) {
    AVPacket *packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, size) < 0) {
        av_packet_free(&packet);
        return false;
    }
    std::copy(data, data + size, packet->data);
    packet->pts = serial;
    m_packets.push_back(packet); // may throw; the caller catches
    return true;
}

// Feeds the stream bytes to the parser, which keeps a partial access unit
// between calls; every complete one goes to the queue. A null buffer with
// length 0 makes the parser hand out what it holds. serial is the time stamp
// of these bytes (negative: bytes that continue the previous piece): the
// parser gives each unit the stamp of the bytes it started in. A unit whose
// start it cannot place (several units began in one piece) takes the serial
// of the last piece given.
bool CH264Core::Parse(const uint8_t *data, int length, int64_t serial) {
    bool flush = length == 0;
    if (serial >= 0)
        m_nParsedSerial = serial;
    int64_t stamp = serial >= 0 ? serial : AV_NOPTS_VALUE;
    const int64_t fallback = m_nParsedSerial;
    while (length > 0 || flush) {
        uint8_t *unit = nullptr;
        int unitSize = 0;
        int used =
            av_parser_parse2(m_pParser, m_pContext, &unit, &unitSize, data, length, stamp, AV_NOPTS_VALUE, 0);
        stamp = AV_NOPTS_VALUE; // the rest of the piece is not a new piece
        if (used < 0)
            return false;
        if (unitSize > 0 &&
            !QueuePacket(unit, unitSize, m_pParser->pts != AV_NOPTS_VALUE ? m_pParser->pts : fallback))
            return false;
        if (flush)
            break;
        if (used == 0 && unitSize == 0)
            break; // no progress; should not happen, but never spin
        data += used;
        length -= used;
    }
    return true;
}

// The parser hands out the access unit it holds; a fresh one takes whatever
// follows.
bool CH264Core::FlushParser() {
    if (!m_bParserHolds)
        return true;
    m_bParserHolds = false;
    return Parse(nullptr, 0, -1) && OpenParser();
}

uint64_t CH264Core::UserOf(int64_t serial) const {
    if (serial < 0)
        return 0; // no time stamp came back
    const UserEntry &entry = m_users[static_cast<size_t>(serial) % kUserRing];
    return entry.serial == serial ? entry.user : 0;
}

// Hands out m_pFrame. A picture that is not 8-bit 4:2:0 or exceeds the
// instance's limit is dropped (false) rather than given to a caller whose
// buffers were sized for the limit.
bool CH264Core::Deliver(H264CorePicture &picture) {
    AVFrame *frame = m_pFrame;
    bool planar420 = frame->format == AV_PIX_FMT_YUV420P || frame->format == AV_PIX_FMT_YUVJ420P;
    if (!planar420 || frame->width <= 0 || frame->height <= 0 ||
        static_cast<uint32_t>(frame->width) > m_dwMaxWidth ||
        static_cast<uint32_t>(frame->height) > m_dwMaxHeight || frame->linesize[1] != frame->linesize[2]) {
        av_frame_unref(frame);
        return false;
    }
    const uint32_t width = static_cast<uint32_t>(frame->width);
    const uint32_t height = static_cast<uint32_t>(frame->height);
    picture.pY = frame->data[0];
    picture.pU = frame->data[1];
    picture.pV = frame->data[2];
    picture.dwWidth = width;
    picture.dwHeight = height;
    picture.nLumaStride = frame->linesize[0];
    picture.nChromaStride = frame->linesize[1];
    const uint64_t user = UserOf(frame->pts);
    picture.info.dwUserLow = static_cast<uint32_t>(user);
    picture.info.dwUserHigh = static_cast<uint32_t>(user >> 32);
    // The decoder checked the cropping against the coded size (cropping it
    // cannot honour is dropped, leaving zeros); 4:2:0 crops in pairs.
    size_t left = frame->crop_left, right = frame->crop_right;
    size_t top = frame->crop_top, bottom = frame->crop_bottom;
    if (left + right >= width || top + bottom >= height)
        left = right = top = bottom = 0;
    picture.info.dwCropLeft = static_cast<uint32_t>(left & ~size_t(1));
    picture.info.dwCropTop = static_cast<uint32_t>(top & ~size_t(1));
    picture.info.dwDisplayWidth = width - static_cast<uint32_t>(left + right);
    picture.info.dwDisplayHeight = height - static_cast<uint32_t>(top + bottom);
    return true;
}

int32_t CH264Core::Decode(const uint8_t *data, uint32_t length, uint64_t user, H264CorePicture &picture,
                          uint32_t flags) {
    // The previous picture's planes end here.
    av_frame_unref(m_pFrame);

    int64_t serial = -1;
    if (data && length > 0) {
        serial = m_nNextSerial++;
        m_users[static_cast<size_t>(serial) % kUserRing] = UserEntry{serial, user};
    }
    if (data && length > 0 && (flags & H264_CORE_DECODE_WHOLE_UNIT)) {
        // A whole access unit needs no parser: it is decoded now rather than
        // when the next one starts. Whatever the parser holds goes first.
        if (!FlushParser())
            return H264_CORE_NO_PICTURE;
        if (length > static_cast<uint32_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE) ||
            !QueuePacket(data, static_cast<int>(length), serial))
            return H264_CORE_NO_PICTURE;
    } else if (data && length > 0) {
        m_bParserHolds = true;
        // The parser reads up to AV_INPUT_BUFFER_PADDING_SIZE bytes past the
        // end of its input, so the caller's bytes go through a buffer with a
        // zeroed tail, a step at a time.
        if (m_padded.empty())
            m_padded.assign(kParseStep + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        int64_t stamp = serial;
        while (length > 0) {
            uint32_t step = length < kParseStep ? length : kParseStep;
            std::copy(data, data + step, m_padded.data());
            std::fill(m_padded.begin() + step, m_padded.begin() + step + AV_INPUT_BUFFER_PADDING_SIZE, 0);
            if (!Parse(m_padded.data(), static_cast<int>(step), stamp))
                return H264_CORE_NO_PICTURE;
            stamp = -1;
            data += step;
            length -= step;
        }
        if ((flags & H264_CORE_DECODE_END_OF_UNIT) && !FlushParser())
            return H264_CORE_NO_PICTURE;
    }
    if ((flags & H264_CORE_DECODE_END_OF_STREAM) && !m_bEndOfStream) {
        m_bParserHolds = true; // renew the parser even when it holds nothing
        if (!FlushParser())
            return H264_CORE_NO_PICTURE;
        m_bEndOfStream = true;
    }

    // Each turn either takes a picture, hands the decoder one more access
    // unit (or the end of the stream once), or stops: the loop ends.
    int refusals = 0;
    for (;;) {
        int result = avcodec_receive_frame(m_pContext, m_pFrame);
        if (result == 0) {
            if (Deliver(picture))
                return H264_CORE_OK;
            continue; // dropped; the next one may do
        }
        if (result == AVERROR_EOF) {
            Restart();
            return H264_CORE_NO_PICTURE;
        }
        // EAGAIN, or a damaged picture the decoder dropped: give it more.
        if (!m_packets.empty()) {
            AVPacket *packet = m_packets.front();
            int sent = avcodec_send_packet(m_pContext, packet);
            if (sent == AVERROR(EAGAIN)) {
                // A picture is waiting after all; the decoder never refuses
                // both ways, but do not trust that with a loop.
                if (++refusals > 1)
                    return H264_CORE_NO_PICTURE;
                continue;
            }
            // Taken, or refused as damaged: either way it is done with.
            m_packets.pop_front();
            av_packet_free(&packet);
            continue;
        }
        if (m_bEndOfStream && !m_bDrainSent) {
            m_bDrainSent = true;
            if (avcodec_send_packet(m_pContext, nullptr) < 0) {
                Restart();
                return H264_CORE_NO_PICTURE;
            }
            continue;
        }
        return H264_CORE_NO_PICTURE;
    }
}

} // namespace

H264CoreHandle H264Core_Create(const H264CoreParam *param) {
    if (!param)
        return nullptr;
    try {
        CH264Core *core = new (std::nothrow) CH264Core;
        if (!core)
            return nullptr;
        if (!core->Open(*param)) {
            delete core;
            return nullptr;
        }
        return core;
    } catch (...) {
        return nullptr;
    }
}

int32_t H264Core_Decode(H264CoreHandle core, const uint8_t *data, uint32_t length, uint64_t user,
                        H264CorePicture *picture, uint32_t flags) {
    if (picture) {
        picture->pY = nullptr;
        picture->pU = nullptr;
        picture->pV = nullptr;
    }
    if (!core || !picture)
        return H264_CORE_E_NULL;
    try {
        return static_cast<CH264Core *>(core)->Decode(data, length, user, *picture, flags);
    } catch (...) {
        return H264_CORE_NO_PICTURE;
    }
}

void H264Core_Destroy(H264CoreHandle core) {
    delete static_cast<CH264Core *>(core);
}
