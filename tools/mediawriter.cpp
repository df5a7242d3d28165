// qvplay export's output: libavformat muxers, the AAC encoder for MP4, the
// H.264 parser for picture order.
#include "mediawriter.h"

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace qvplay {

namespace {

constexpr AVRational kMilliseconds{1, 1000};
// 24 kbit/s is plenty for 8 kHz speech; the encoder clamps at low rates.
constexpr int64_t kAacBitrate = 24000;

std::string AvError(const char *what, int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, text, sizeof(text));
    return std::string(what) + ": " + text;
}

bool RemoveFile(const std::string &path) {
#ifdef _WIN32
    const int n = MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? size_t(n) : 1, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wide.data(), n);
    return DeleteFileW(wide.c_str()) != 0;
#else
    return std::remove(path.c_str()) == 0;
#endif
}

// Replaces an existing file, as rename does on POSIX.
bool RenameFile(const std::string &from, const std::string &to) {
#ifdef _WIN32
    auto wide = [](const std::string &s) {
        const int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
        std::wstring w(n > 0 ? size_t(n) : 1, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
        return w;
    };
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

} // namespace

namespace {

// The next 00 00 01 at or after from; size when none. memchr finds the
// zeros at the speed of the C library.
size_t NextStartCode(const uint8_t *data, size_t size, size_t from) {
    while (from + 2 < size) {
        const void *zero = std::memchr(data + from, 0, size - from - 2);
        if (zero == nullptr)
            return size;
        const size_t at = size_t(static_cast<const uint8_t *>(zero) - data);
        if (data[at + 1] == 0 && data[at + 2] == 1)
            return at;
        // 00 00 00 01: the start code begins at the last of the zeros.
        from = data[at + 1] == 0 ? at + 1 : at + 2;
    }
    return size;
}

} // namespace

bool ExportKindOf(const std::string &path, ExportKind *pKind) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of("/\\");
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return false;
    std::string ext = path.substr(dot + 1);
    for (char &c : ext)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (ext == "mp4")
        *pKind = ExportKind::Mp4;
    else if (ext == "mkv")
        *pKind = ExportKind::Matroska;
    else if (ext == "h264" || ext == "264")
        *pKind = ExportKind::H264;
    else if (ext == "wav")
        *pKind = ExportKind::Wav;
    else
        return false;
    return true;
}

const char *ExportKindName(ExportKind kind) {
    switch (kind) {
    case ExportKind::Mp4:
        return "MP4";
    case ExportKind::Matroska:
        return "Matroska";
    case ExportKind::H264:
        return "H.264 elementary stream";
    case ExportKind::Wav:
        return "WAV";
    }
    return "?";
}

std::vector<uint8_t> ParameterSets(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out;
    // NAL units start after 00 00 01; each runs to the next start code.
    auto nextStart = [&](size_t from) {
        for (size_t i = from; i + 2 < size; ++i)
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
                return i;
        return size;
    };
    size_t start = nextStart(0);
    while (start < size) {
        const size_t body = start + 3;
        size_t end = nextStart(body);
        const size_t next = end;
        // Zero bytes before the next start code belong to it (a four-byte
        // start code) or are trailing zeros.
        while (end > body && data[end - 1] == 0)
            --end;
        if (body < end) {
            const int type = data[body] & 0x1F;
            if (type == 7 || type == 8) {
                static const uint8_t kStartCode[4] = {0, 0, 0, 1};
                out.insert(out.end(), kStartCode, kStartCode + 4);
                out.insert(out.end(), data + body, data + end);
            }
        }
        start = next;
    }
    return out;
}

std::vector<uint8_t> AvcConfiguration(const std::vector<uint8_t> &parameterSets) {
    // The sets are 00 00 00 01 + NAL each, as ParameterSets writes them.
    std::vector<std::vector<uint8_t>> sps, pps;
    size_t i = 0;
    while (i + 4 < parameterSets.size()) {
        size_t end = i + 4;
        while (end + 3 < parameterSets.size() &&
               !(parameterSets[end] == 0 && parameterSets[end + 1] == 0 && parameterSets[end + 2] == 0 &&
                 parameterSets[end + 3] == 1))
            ++end;
        if (end + 3 >= parameterSets.size())
            end = parameterSets.size();
        std::vector<uint8_t> nal(parameterSets.begin() + int64_t(i + 4),
                                 parameterSets.begin() + int64_t(end));
        if (!nal.empty() && nal.size() <= 0xFFFF) {
            auto &list = (nal[0] & 0x1F) == 7 ? sps : pps;
            if (std::find(list.begin(), list.end(), nal) == list.end())
                list.push_back(std::move(nal));
        }
        i = end;
    }
    std::vector<uint8_t> out;
    if (sps.empty() || pps.empty() || sps.size() > 31 || pps.size() > 255 || sps[0].size() < 4)
        return out;
    out = {1, sps[0][1], sps[0][2], sps[0][3], 0xFF, uint8_t(0xE0 | sps.size())};
    for (const auto &nal : sps) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    out.push_back(uint8_t(pps.size()));
    for (const auto &nal : pps) {
        out.push_back(uint8_t(nal.size() >> 8));
        out.push_back(uint8_t(nal.size()));
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

size_t AnnexBToLengthPrefixed(const uint8_t *data, size_t size, uint8_t *out) {
    size_t written = 0;
    size_t start = NextStartCode(data, size, 0);
    while (start < size) {
        const size_t body = start + 3;
        const size_t next = NextStartCode(data, size, body);
        size_t end = next;
        // A zero before the next 00 00 01 belongs to its four-byte form.
        if (end < size && end > body && data[end - 1] == 0)
            --end;
        if (end > body) {
            const size_t n = end - body;
            out[written] = uint8_t(n >> 24);
            out[written + 1] = uint8_t(n >> 16);
            out[written + 2] = uint8_t(n >> 8);
            out[written + 3] = uint8_t(n);
            std::memcpy(out + written + 4, data + body, n);
            written += 4 + n;
        }
        start = next;
    }
    return written;
}

// ---- Picture order ----

CPictureOrder::CPictureOrder() {
    m_pParser = av_parser_init(AV_CODEC_ID_H264);
    m_pContext = avcodec_alloc_context3(nullptr);
    if (m_pParser)
        m_pParser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
}

CPictureOrder::~CPictureOrder() {
    if (m_pParser)
        av_parser_close(m_pParser);
    avcodec_free_context(&m_pContext);
}

bool CPictureOrder::Read(const uint8_t *data, size_t size, int *pOrder, bool *pbIdr) {
    *pbIdr = false;
    if (m_pParser == nullptr || m_pContext == nullptr || size == 0 || size > INT_MAX)
        return false;
    // The parser copies every byte it is given into a fresh, zeroed buffer,
    // and each parameter set into a large zeroed record. The order count lies
    // in the first slice's header: the unit is cut shortly behind that
    // header's start, and parameter sets the parser already holds are left
    // out.
    constexpr size_t kSliceHeaderBytes = 512;
    size_t first = 0;
    for (size_t start = NextStartCode(data, size, 0); start < size;) {
        const size_t body = start + 3;
        if (body < size && ((data[body] & 0x1F) == 1 || (data[body] & 0x1F) == 5)) {
            *pbIdr = (data[body] & 0x1F) == 5;
            size = std::min(size, body + kSliceHeaderBytes);
            std::vector<uint8_t> sets = ParameterSets(data, start);
            if (sets.empty() || sets == m_lastSets)
                first = start;
            else
                m_lastSets = std::move(sets);
            break;
        }
        start = NextStartCode(data, size, body);
    }
    data += first;
    size -= first;
    // The parser writes the count only when it reads a slice header.
    m_pParser->output_picture_number = INT_MIN;
    uint8_t *pOut = nullptr;
    int outSize = 0;
    av_parser_parse2(m_pParser, m_pContext, &pOut, &outSize, data, static_cast<int>(size), AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (m_pParser->output_picture_number == INT_MIN)
        return false;
    *pOrder = m_pParser->output_picture_number;
    return true;
}

int CPictureOrder::Width() const {
    return m_pParser ? m_pParser->width : 0;
}

int CPictureOrder::Height() const {
    return m_pParser ? m_pParser->height : 0;
}

// ---- Writer ----

CMediaWriter::~CMediaWriter() {
    Abandon();
}

bool CMediaWriter::Open(const std::string &path, ExportKind kind, std::string *pError) {
    // Our own messages say what failed; the muxers' notes would bury them.
    av_log_set_level(AV_LOG_ERROR);
    m_kind = kind;
    m_path = path;
    m_partPath = path + ".part";
    m_pPacket = av_packet_alloc();
    if (m_pPacket == nullptr) {
        *pError = "out of memory";
        return false;
    }
    int err;
    if (kind == ExportKind::H264) {
        err = avio_open(&m_pRaw, m_partPath.c_str(), AVIO_FLAG_WRITE);
    } else {
        const char *format = kind == ExportKind::Mp4        ? "mp4"
                             : kind == ExportKind::Matroska ? "matroska"
                                                            : "wav";
        err = avformat_alloc_output_context2(&m_pFormat, nullptr, format, m_partPath.c_str());
        if (err < 0 || m_pFormat == nullptr) {
            *pError = AvError("this FFmpeg has no muxer for it", err < 0 ? err : AVERROR_MUXER_NOT_FOUND);
            return false;
        }
        err = avio_open(&m_pFormat->pb, m_partPath.c_str(), AVIO_FLAG_WRITE);
    }
    if (err < 0) {
        *pError = AvError(("cannot create " + m_partPath).c_str(), err);
        return false;
    }
    return true;
}

bool CMediaWriter::Begin(const VideoFormat &video, const AudioFormat &audio, std::string *pError) {
    m_bBegun = true;
    if (m_kind == ExportKind::H264)
        return true;
    if (m_kind != ExportKind::Wav) {
        m_pVideo = avformat_new_stream(m_pFormat, nullptr);
        if (m_pVideo == nullptr) {
            *pError = "out of memory";
            return false;
        }
        AVCodecParameters *par = m_pVideo->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_H264;
        par->width = video.nWidth;
        par->height = video.nHeight;
        const std::vector<uint8_t> avcC = AvcConfiguration(video.extradata);
        if (avcC.empty()) {
            *pError = "the first key frame carries no sequence and picture parameter sets";
            return false;
        }
        par->extradata = static_cast<uint8_t *>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            *pError = "out of memory";
            return false;
        }
        std::memcpy(par->extradata, avcC.data(), avcC.size());
        par->extradata_size = static_cast<int>(avcC.size());
        m_pVideo->time_base = kMilliseconds;
    }
    if (audio.nSampleRate > 0 && audio.nChannels > 0) {
        m_nChannels = audio.nChannels;
        m_nSampleRate = audio.nSampleRate;
        m_pAudio = avformat_new_stream(m_pFormat, nullptr);
        if (m_pAudio == nullptr) {
            *pError = "out of memory";
            return false;
        }
        m_pAudio->time_base = AVRational{1, audio.nSampleRate};
        if (m_kind == ExportKind::Mp4) {
            // This FFmpeg's MP4 muxer takes no PCM: AAC, from float planes.
            const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
            if (codec == nullptr) {
                *pError = "this FFmpeg has no AAC encoder";
                return false;
            }
            m_pEncoder = avcodec_alloc_context3(codec);
            m_pFrame = av_frame_alloc();
            if (m_pEncoder == nullptr || m_pFrame == nullptr) {
                *pError = "out of memory";
                return false;
            }
            m_pEncoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
            m_pEncoder->sample_rate = audio.nSampleRate;
            av_channel_layout_default(&m_pEncoder->ch_layout, audio.nChannels);
            m_pEncoder->bit_rate = kAacBitrate * audio.nChannels;
            m_pEncoder->time_base = m_pAudio->time_base;
            if (m_pFormat->oformat->flags & AVFMT_GLOBALHEADER)
                m_pEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            int err = avcodec_open2(m_pEncoder, codec, nullptr);
            if (err < 0) {
                *pError = AvError("opening the AAC encoder", err);
                return false;
            }
            err = avcodec_parameters_from_context(m_pAudio->codecpar, m_pEncoder);
            if (err < 0) {
                *pError = AvError("AAC parameters", err);
                return false;
            }
        } else {
            AVCodecParameters *par = m_pAudio->codecpar;
            par->codec_type = AVMEDIA_TYPE_AUDIO;
            par->codec_id = AV_CODEC_ID_PCM_S16LE;
            par->sample_rate = audio.nSampleRate;
            av_channel_layout_default(&par->ch_layout, audio.nChannels);
            par->bits_per_coded_sample = 16;
            par->block_align = 2 * audio.nChannels;
            par->bit_rate = int64_t(audio.nSampleRate) * 16 * audio.nChannels;
        }
    }
    m_audioCodecName = m_pAudio == nullptr ? "none" : m_pEncoder ? "AAC" : "PCM s16le";
    AVDictionary *options = nullptr;
    if (m_kind == ExportKind::Matroska) {
        // The CRC-32 of every cluster (optional in Matroska) cost more than
        // all the rest of the export.
        av_dict_set(&options, "write_crc32", "0", 0);
    }
    const int err = avformat_write_header(m_pFormat, &options);
    av_dict_free(&options);
    if (err < 0) {
        *pError = AvError("writing the header", err);
        return false;
    }
    return true;
}

bool CMediaWriter::WritePacket(AVPacket *pPacket, std::string *pError) {
    // libavformat copies a packet that owns no buffer.
    const int err = av_interleaved_write_frame(m_pFormat, pPacket);
    if (err < 0) {
        *pError = AvError("writing", err);
        return false;
    }
    return true;
}

bool CMediaWriter::Store(const uint8_t *data, size_t size, VideoUnit *pUnit) {
    Release(pUnit);
    const size_t need = size + size / 4 + 8 + AV_INPUT_BUFFER_PADDING_SIZE;
    if (need > INT_MAX / 2)
        return false;
    if (need > m_poolSize) {
        // Buffers of the old pool still out go back to it and are freed with
        // it.
        av_buffer_pool_uninit(&m_pPool);
        m_poolSize = std::max<size_t>(need * 2, 256 * 1024);
        m_pPool = av_buffer_pool_init(m_poolSize, nullptr);
        if (m_pPool == nullptr)
            return false;
    }
    pUnit->pBuf = av_buffer_pool_get(m_pPool);
    if (pUnit->pBuf == nullptr)
        return false;
    uint8_t *out = pUnit->pBuf->data;
    if (m_kind == ExportKind::H264) {
        std::memcpy(out, data, size);
        pUnit->size = size;
    } else {
        pUnit->size = AnnexBToLengthPrefixed(data, size, out);
    }
    std::memset(out + pUnit->size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    return true;
}

void CMediaWriter::Release(VideoUnit *pUnit) {
    av_buffer_unref(&pUnit->pBuf);
    pUnit->size = 0;
}

bool CMediaWriter::WriteVideo(VideoUnit *pUnit, int64_t pts, int64_t dts, int64_t duration, bool bKey,
                              std::string *pError) {
    if (m_kind == ExportKind::H264) {
        avio_write(m_pRaw, pUnit->pBuf->data, static_cast<int>(pUnit->size));
        Release(pUnit);
        if (m_pRaw->error < 0) {
            *pError = AvError("writing", m_pRaw->error);
            return false;
        }
        return true;
    }
    if (m_pVideo == nullptr) {
        Release(pUnit);
        return true;
    }
    av_packet_unref(m_pPacket);
    // The packet takes the unit's reference: the muxer keeps it as long as
    // it needs, without a copy.
    m_pPacket->buf = pUnit->pBuf;
    m_pPacket->data = pUnit->pBuf->data;
    m_pPacket->size = static_cast<int>(pUnit->size);
    pUnit->pBuf = nullptr;
    pUnit->size = 0;
    m_pPacket->pts = pts;
    m_pPacket->dts = dts;
    m_pPacket->duration = duration;
    m_pPacket->flags = bKey ? AV_PKT_FLAG_KEY : 0;
    m_pPacket->stream_index = m_pVideo->index;
    av_packet_rescale_ts(m_pPacket, kMilliseconds, m_pVideo->time_base);
    return WritePacket(m_pPacket, pError);
}

bool CMediaWriter::WriteAudio(const int16_t *samples, size_t count, int64_t pts, std::string *pError) {
    if (m_pAudio == nullptr || count == 0)
        return true;
    if (m_pEncoder == nullptr) {
        av_packet_unref(m_pPacket);
        m_pPacket->data = reinterpret_cast<uint8_t *>(const_cast<int16_t *>(samples));
        m_pPacket->size = static_cast<int>(count * 2 * m_nChannels);
        m_pPacket->pts = m_pPacket->dts = pts;
        m_pPacket->duration = static_cast<int64_t>(count);
        m_pPacket->flags = AV_PKT_FLAG_KEY;
        m_pPacket->stream_index = m_pAudio->index;
        av_packet_rescale_ts(m_pPacket, AVRational{1, m_nSampleRate}, m_pAudio->time_base);
        return WritePacket(m_pPacket, pError);
    }
    if (m_pending.empty())
        m_llPendingPts = pts;
    const size_t values = count * m_nChannels;
    for (size_t i = 0; i < values; ++i)
        m_pending.push_back(samples[i] / 32768.0f);
    return EncodeAudio(false, pError);
}

bool CMediaWriter::EncodeAudio(bool bFlush, std::string *pError) {
    const size_t frameSize = m_pEncoder->frame_size > 0 ? size_t(m_pEncoder->frame_size) : 1024;
    const bool bSmallLast = (m_pEncoder->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    size_t used = 0;
    const size_t have = m_pending.size() / m_nChannels;
    while (have - used >= frameSize || (bFlush && have > used)) {
        size_t n = std::min(frameSize, have - used);
        const size_t samples = n < frameSize && !bSmallLast ? frameSize : n; // padded with silence
        av_frame_unref(m_pFrame);
        m_pFrame->format = AV_SAMPLE_FMT_FLTP;
        m_pFrame->sample_rate = m_pEncoder->sample_rate;
        m_pFrame->nb_samples = static_cast<int>(samples);
        av_channel_layout_copy(&m_pFrame->ch_layout, &m_pEncoder->ch_layout);
        int err = av_frame_get_buffer(m_pFrame, 0);
        if (err < 0) {
            *pError = AvError("audio frame", err);
            return false;
        }
        for (int c = 0; c < m_nChannels; ++c) {
            float *plane = reinterpret_cast<float *>(m_pFrame->data[c]);
            for (size_t i = 0; i < samples; ++i)
                plane[i] = i < n ? m_pending[(used + i) * m_nChannels + c] : 0.0f;
        }
        m_pFrame->pts = m_llPendingPts + static_cast<int64_t>(used);
        used += n;
        err = avcodec_send_frame(m_pEncoder, m_pFrame);
        if (err < 0) {
            *pError = AvError("AAC encoding", err);
            return false;
        }
        while ((err = avcodec_receive_packet(m_pEncoder, m_pPacket)) == 0) {
            m_pPacket->stream_index = m_pAudio->index;
            av_packet_rescale_ts(m_pPacket, m_pEncoder->time_base, m_pAudio->time_base);
            if (!WritePacket(m_pPacket, pError))
                return false;
        }
        if (err != AVERROR(EAGAIN)) {
            *pError = AvError("AAC encoding", err);
            return false;
        }
    }
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<ptrdiff_t>(used * m_nChannels));
    m_llPendingPts += static_cast<int64_t>(used);
    if (bFlush) {
        int err = avcodec_send_frame(m_pEncoder, nullptr);
        while (err >= 0 && (err = avcodec_receive_packet(m_pEncoder, m_pPacket)) == 0) {
            m_pPacket->stream_index = m_pAudio->index;
            av_packet_rescale_ts(m_pPacket, m_pEncoder->time_base, m_pAudio->time_base);
            if (!WritePacket(m_pPacket, pError))
                return false;
        }
        if (err != AVERROR_EOF) {
            *pError = AvError("AAC encoding", err);
            return false;
        }
    }
    return true;
}

bool CMediaWriter::Finish(std::string *pError) {
    if (m_kind == ExportKind::H264) {
        avio_flush(m_pRaw);
        if (m_pRaw->error < 0) {
            *pError = AvError("writing", m_pRaw->error);
            return false;
        }
        m_ullBytes = static_cast<uint64_t>(avio_tell(m_pRaw));
        if (avio_closep(&m_pRaw) < 0) {
            *pError = "closing " + m_partPath + " failed";
            return false;
        }
    } else {
        if (m_pEncoder && !EncodeAudio(true, pError))
            return false;
        int err = av_write_trailer(m_pFormat);
        if (err < 0) {
            *pError = AvError("writing the trailer", err);
            return false;
        }
        avio_flush(m_pFormat->pb);
        if (m_pFormat->pb->error < 0) {
            *pError = AvError("writing", m_pFormat->pb->error);
            return false;
        }
        m_ullBytes = static_cast<uint64_t>(avio_size(m_pFormat->pb));
        if (avio_closep(&m_pFormat->pb) < 0) {
            *pError = "closing " + m_partPath + " failed";
            return false;
        }
    }
    if (!RenameFile(m_partPath, m_path)) {
        *pError = "cannot rename " + m_partPath + " to " + m_path;
        return false;
    }
    m_partPath.clear(); // nothing to remove any more
    Abandon();
    return true;
}

void CMediaWriter::Abandon() {
    if (m_pRaw)
        avio_closep(&m_pRaw);
    if (m_pFormat) {
        if (m_pFormat->pb)
            avio_closep(&m_pFormat->pb);
        avformat_free_context(m_pFormat);
        m_pFormat = nullptr;
    }
    m_pVideo = m_pAudio = nullptr;
    avcodec_free_context(&m_pEncoder);
    av_frame_free(&m_pFrame);
    av_packet_free(&m_pPacket);
    av_buffer_pool_uninit(&m_pPool);
    m_poolSize = 0;
    if (!m_partPath.empty()) {
        RemoveFile(m_partPath);
        m_partPath.clear();
    }
}

} // namespace qvplay
