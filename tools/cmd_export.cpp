// qvplay export: the recording's video copied without re-encoding into MP4,
// Matroska or a raw H.264 stream, and its audio decoded by the library into
// the container's audio (AAC for MP4, 16-bit PCM for Matroska and WAV).
//
// Frames come from the player in file order, parsed but not decoded (decode
// on demand with video decoding off). They are gathered one group at a time,
// from a key frame to the next: the group's time stamps (the container's, in
// file order) become the decoding times, and the pictures' order counts,
// read from the slice headers, give each picture its presentation time.
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.h"
#include "mediawriter.h"

namespace qvplay {

namespace {

struct ExportOptions {
    std::string path;
    std::string out;
    std::string from, to;
    bool bNoProgress = false;
    bool bNoAudio = false;
};

std::string TimeText(int64_t ms) {
    char text[48];
    if (ms < 0)
        ms = 0;
    std::snprintf(text, sizeof(text), "%lld:%02lld.%03lld", static_cast<long long>(ms / 60000),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return text;
}

// Frames held at most before a group is written (a group is normally the
// frames from one key frame to the next).
constexpr size_t kMaxGroupItems = 2048;

// One frame of the group being gathered.
struct Item {
    bool bVideo = false;
    bool bKey = false;
    int64_t llTime = 0;             // video: milliseconds from the first key frame
    VideoUnit unit;                 // video, for MP4, Matroska and .h264
    int nOrder = 0;                 // video: picture order count
    bool bOrder = false;            // nOrder was read
    bool bIdr = false;              // the counts start again here
    std::vector<uint8_t> paramSets; // key frames until the header is written
    std::vector<uint8_t> data;      // audio: 16-bit PCM
    size_t size = 0;                // bytes of data that count
};

class CExporter {
public:
    CExporter(const ExportOptions &o, ExportKind kind) : m_o(o), m_kind(kind) {}
    ~CExporter() {
        for (Item &item : m_items)
            CMediaWriter::Release(&item.unit);
    }
    CExporter(const CExporter &) = delete;
    CExporter &operator=(const CExporter &) = delete;

    int Run();

private:
    int Fail(int code, const std::string &message) {
        m_progress.reset();
        std::fprintf(stderr, "qvplay: %s\n", message.c_str());
        if (m_writer.Begun() || !m_writer.PartPath().empty())
            std::fprintf(stderr, "qvplay: %s not written (nothing left behind)\n", m_o.out.c_str());
        m_writer.Abandon();
        return code;
    }
    Item &NewItem() {
        if (m_count == m_items.size())
            m_items.emplace_back();
        Item &item = m_items[m_count++];
        item.size = 0;
        item.bOrder = false;
        item.bIdr = false;
        item.paramSets.clear();
        return item;
    }
    // Takes one pulled frame; 0 to go on, else the exit code.
    int Take(const PLAY_FRAME &frame);
    // Writes (or drops) the gathered group. bHaveNext: a key frame at
    // nextTime ends it.
    int Flush(bool bHaveNext, int64_t nextTime);
    int WriteGroup(bool bHaveNext, int64_t nextTime);
    bool Begin();

    const ExportOptions &m_o;
    const ExportKind m_kind;
    CMediaWriter m_writer;
    CPictureOrder m_order;
    std::unique_ptr<CProgress> m_progress;
    std::string m_error;

    bool m_bHasFrom = false, m_bHasTo = false;
    int64_t m_llFrom = 0, m_llTo = 0;

    std::vector<Item> m_items; // kept between groups, so their buffers are reused
    size_t m_count = 0;

    // Time stamps are 32-bit milliseconds: differences of neighbours are
    // summed, so a wrap is no jump.
    bool m_bAnyVideo = false;
    uint32_t m_dwLastRaw = 0;
    int64_t m_llUnwrapped = 0;
    bool m_bStarted = false; // the first key frame was seen
    int64_t m_llOrigin = 0;  // its unwrapped time
    bool m_bDone = false;    // past --to

    AudioFormat m_audio; // of the first PCM block
    bool m_bAudioStarted = false;
    int64_t m_llAudioNext = 0; // samples
    uint64_t m_ullAudioFrames = 0, m_ullAudioUndecoded = 0, m_ullAudioDropped = 0, m_ullAudioBeforeVideo = 0;

    int64_t m_llDelay = 0;           // presentation delay of reordered pictures, ms
    int64_t m_llBase = INT64_MIN;    // the first written key frame's time: the output starts at 0
    int64_t m_llLastDts = INT64_MIN; // decoding times must grow
    int64_t m_llLastDuration = 40;
    bool m_bOrderWarned = false;
    int m_frameWidth = 0, m_frameHeight = 0; // as the container states it
    uint64_t m_ullVideoWritten = 0, m_ullVideoSeen = 0;
    int64_t m_llFirstTime = 0, m_llLastTime = 0;
    uint64_t m_ullSamplesWritten = 0;
};

int CExporter::Take(const PLAY_FRAME &frame) {
    const FrameRecord *r = frame.pFrame;
    if (r == nullptr)
        return 0;
    if (IsVideoType(r->nType)) {
        if (r->dwCodec != DEMUX_CODEC_H264 && m_kind != ExportKind::Wav)
            return Fail(kExitNotFound,
                        m_o.path + ": the video is " + VideoCodecName(r->dwCodec) +
                            ", not H.264: MP4, Matroska and .h264 export take H.264 only, and this codec "
                            "has no identifier they know (-o OUT.wav exports the audio)");
        ++m_ullVideoSeen;
        if (!m_bAnyVideo) {
            m_bAnyVideo = true;
            m_llUnwrapped = 0;
        } else {
            m_llUnwrapped += static_cast<int32_t>(r->dwTimestamp - m_dwLastRaw);
        }
        m_dwLastRaw = r->dwTimestamp;
        if (r->nType == DEMUX_FRAME_I) {
            if (!m_bStarted) {
                m_bStarted = true;
                m_llOrigin = m_llUnwrapped;
            }
            const int code = Flush(true, m_llUnwrapped - m_llOrigin);
            if (code != 0 || m_bDone)
                return code;
        }
        if (!m_bStarted || r->dwPayloadLength == 0 || r->pPayload == nullptr)
            return 0; // nothing decodes before the first key frame
        Item &item = NewItem();
        item.bVideo = true;
        item.bKey = r->nType == DEMUX_FRAME_I;
        item.llTime = m_llUnwrapped - m_llOrigin;
        if (m_kind == ExportKind::Wav)
            return 0;
        if (m_kind != ExportKind::H264) {
            // Read from the payload as the library holds it (Annex B); the
            // stored unit is length-prefixed.
            item.bOrder = m_order.Read(r->pPayload, r->dwPayloadLength, &item.nOrder, &item.bIdr);
            if (item.bKey && !m_writer.Begun())
                item.paramSets = ParameterSets(r->pPayload, r->dwPayloadLength);
        }
        if (!m_writer.Store(r->pPayload, r->dwPayloadLength, &item.unit))
            return Fail(kExitFailure, "out of memory holding a group of pictures");
        // A group without end (no key frames for minutes) is written in
        // parts, so that memory stays bounded; only pictures reordered across
        // a cut may then show a frame early or late.
        if (m_count >= kMaxGroupItems)
            return Flush(true, item.llTime + m_llLastDuration);
        return 0;
    }
    if (r->nType != DEMUX_FRAME_AUDIO || m_kind == ExportKind::H264 ||
        (m_o.bNoAudio && m_kind != ExportKind::Wav))
        return 0;
    ++m_ullAudioFrames;
    // Audio before the first key frame follows no picture: only WAV of the
    // whole recording keeps it.
    if (!m_bStarted && (m_kind != ExportKind::Wav || m_bHasFrom || m_bHasTo)) {
        ++m_ullAudioBeforeVideo;
        return 0;
    }
    const ADEC_OUTPUT &pcm = frame.output.audio;
    if (pcm.pBuffer == nullptr || pcm.dwBufferSize == 0 || pcm.wBitsPerSample != 16 || pcm.wChannels == 0) {
        ++m_ullAudioUndecoded;
        return 0;
    }
    if (m_audio.nSampleRate == 0) {
        m_audio.nSampleRate = static_cast<int>(pcm.dwSamplesPerSec);
        m_audio.nChannels = pcm.wChannels;
    } else if (m_audio.nSampleRate != static_cast<int>(pcm.dwSamplesPerSec) ||
               m_audio.nChannels != pcm.wChannels) {
        ++m_ullAudioDropped; // one format per stream
        return 0;
    }
    Item &item = NewItem();
    item.bVideo = false;
    item.size = pcm.dwBufferSize - pcm.dwBufferSize % (2u * pcm.wChannels);
    item.data.resize(item.size);
    std::memcpy(item.data.data(), pcm.pBuffer, item.size);
    if (!m_bStarted && m_count >= kMaxGroupItems)
        return Flush(false, 0);
    return 0;
}

bool CExporter::Begin() {
    VideoFormat video;
    const Item *key = nullptr;
    for (size_t i = 0; i < m_count && key == nullptr; ++i)
        if (m_items[i].bVideo && m_items[i].bKey)
            key = &m_items[i];
    if (key != nullptr)
        video.extradata = key->paramSets;
    video.nWidth = m_order.Width();
    video.nHeight = m_order.Height();
    if (video.nWidth <= 0 || video.nHeight <= 0) {
        video.nWidth = m_frameWidth;
        video.nHeight = m_frameHeight;
    }
    AudioFormat audio;
    if (m_kind != ExportKind::H264)
        audio = m_audio;
    return m_writer.Begin(video, audio, &m_error);
}

int CExporter::Flush(bool bHaveNext, int64_t nextTime) {
    const int code = WriteGroup(bHaveNext, nextTime);
    for (size_t i = 0; i < m_count; ++i)
        CMediaWriter::Release(&m_items[i].unit); // the units not written
    m_count = 0;
    return code;
}

int CExporter::WriteGroup(bool bHaveNext, int64_t nextTime) {
    if (m_count == 0)
        return 0;
    const bool bRange = m_bHasFrom || m_bHasTo;
    if (!m_items[0].bVideo) {
        // Audio before the first key frame: only WAV of the whole recording
        // has a place for it.
        if (m_kind != ExportKind::Wav || bRange)
            return 0;
        m_bAudioStarted = true;
        for (size_t i = 0; i < m_count; ++i) {
            const Item &item = m_items[i];
            if (!m_writer.Begun() && !Begin())
                return Fail(kExitOutput, m_o.out + ": " + m_error);
            const size_t samples = item.size / 2 / m_audio.nChannels;
            if (!m_writer.WriteAudio(reinterpret_cast<const int16_t *>(item.data.data()), samples,
                                     m_llAudioNext, &m_error))
                return Fail(kExitOutput, m_o.out + ": " + m_error);
            m_llAudioNext += static_cast<int64_t>(samples);
            m_ullSamplesWritten += samples;
        }
        return 0;
    }
    const int64_t keyTime = m_items[0].llTime;
    if (m_bHasTo && keyTime >= m_llTo) {
        m_bDone = true;
        return 0;
    }
    if (m_bHasFrom) {
        // The group holds --from when the next key frame comes after it.
        int64_t lastTime = keyTime;
        for (size_t i = 0; i < m_count; ++i)
            if (m_items[i].bVideo)
                lastTime = m_items[i].llTime;
        if (bHaveNext ? nextTime <= m_llFrom : lastTime < m_llFrom)
            return 0;
    }

    if (!m_writer.Begun() && (m_kind == ExportKind::Mp4 || m_kind == ExportKind::Matroska) &&
        AvcConfiguration(m_items[0].paramSets).empty()) {
        // Nothing decodes before the sequence and picture parameter sets.
        std::fprintf(stderr,
                     "qvplay: warning: a key frame at %s without parameter sets: its group is left out\n",
                     TimeText(keyTime).c_str());
        return 0;
    }
    // The kept pictures (before --to), their decoding times (growing) and
    // picture order counts.
    std::vector<size_t> kept;
    std::vector<int64_t> dts;
    std::vector<int> order;
    std::vector<bool> idr;
    bool bOrdered = m_kind == ExportKind::Mp4 || m_kind == ExportKind::Matroska;
    for (size_t i = 0; i < m_count; ++i) {
        const Item &item = m_items[i];
        if (!item.bVideo || (m_bHasTo && item.llTime >= m_llTo))
            continue;
        kept.push_back(i);
        const int64_t t = std::max(item.llTime, m_llLastDts == INT64_MIN ? item.llTime : m_llLastDts + 1);
        dts.push_back(t);
        m_llLastDts = t;
        if (bOrdered && !item.bOrder) {
            bOrdered = false;
            if (!m_bOrderWarned && (m_kind == ExportKind::Mp4 || m_kind == ExportKind::Matroska)) {
                m_bOrderWarned = true;
                std::fprintf(stderr,
                             "qvplay: warning: a picture without a readable slice header: its group is "
                             "written in file order\n");
            }
        }
        order.push_back(item.nOrder);
        idr.push_back(item.bIdr);
    }
    // Presentation times: the group's decoding times handed out in picture
    // order, later by the delay that keeps each picture's presentation at or
    // after its decoding. The delay only grows, so groups never overlap.
    std::vector<int64_t> pts(dts);
    if (bOrdered && kept.size() > 1) {
        // Order counts compare only up to the next IDR picture (a container
        // may not mark every one as a key frame).
        std::vector<size_t> rank(kept.size());
        for (size_t k = 0; k < rank.size(); ++k)
            rank[k] = k;
        for (size_t a = 0; a < rank.size();) {
            size_t b = a + 1;
            while (b < rank.size() && !idr[b])
                ++b;
            std::stable_sort(rank.begin() + int64_t(a), rank.begin() + int64_t(b),
                             [&](size_t x, size_t y) { return order[x] < order[y]; });
            a = b;
        }
        for (size_t r = 0; r < rank.size(); ++r)
            pts[rank[r]] = dts[r];
        for (size_t k = 0; k < kept.size(); ++k)
            m_llDelay = std::max(m_llDelay, dts[k] - pts[k]);
    }
    if (m_llBase == INT64_MIN && !dts.empty())
        m_llBase = dts.front();
    if (!m_writer.Begun() && m_kind != ExportKind::Wav && !Begin())
        return Fail(kExitOutput, m_o.out + ": " + m_error);

    size_t k = 0;
    bool bLastVideoKept = false;
    int64_t lastVideoDts = 0;
    for (size_t i = 0; i < m_count; ++i) {
        const Item &item = m_items[i];
        if (item.bVideo) {
            bLastVideoKept = k < kept.size() && kept[k] == i;
            if (!bLastVideoKept)
                continue;
            // Until the next picture, in the group or the next key frame.
            int64_t until = bHaveNext ? nextTime : INT64_MIN;
            for (size_t j = i + 1; j < m_count; ++j)
                if (m_items[j].bVideo) {
                    until = m_items[j].llTime;
                    break;
                }
            int64_t duration = until == INT64_MIN ? 0 : until - dts[k];
            if (duration <= 0)
                duration = m_llLastDuration;
            m_llLastDuration = duration;
            lastVideoDts = dts[k];
            if (m_kind != ExportKind::Wav) {
                if (!m_writer.WriteVideo(&m_items[i].unit, pts[k] + m_llDelay - m_llBase, dts[k] - m_llBase,
                                         duration, item.bKey, &m_error))
                    return Fail(kExitOutput, m_o.out + ": " + m_error);
                if (m_ullVideoWritten == 0)
                    m_llFirstTime = dts[k];
                ++m_ullVideoWritten;
                m_llLastTime = std::max(m_llLastTime, dts[k]);
            }
            ++k;
            continue;
        }
        if (!bLastVideoKept)
            continue;
        if (!m_writer.Begun() && !Begin())
            return Fail(kExitOutput, m_o.out + ": " + m_error);
        if (!m_bAudioStarted) {
            // The audio starts with the picture it follows in the file.
            m_bAudioStarted = true;
            m_llAudioNext = std::max<int64_t>(0, lastVideoDts - m_llBase) * m_audio.nSampleRate / 1000;
            if (m_kind == ExportKind::Wav)
                m_llAudioNext = 0;
        }
        const size_t samples = item.size / 2 / m_audio.nChannels;
        if (!m_writer.WriteAudio(reinterpret_cast<const int16_t *>(item.data.data()), samples, m_llAudioNext,
                                 &m_error))
            return Fail(kExitOutput, m_o.out + ": " + m_error);
        m_llAudioNext += static_cast<int64_t>(samples);
        m_ullSamplesWritten += samples;
    }
    if (m_kind == ExportKind::Wav && !kept.empty()) {
        if (m_ullVideoWritten == 0)
            m_llFirstTime = dts.front();
        m_ullVideoWritten += kept.size();
        m_llLastTime = std::max(m_llLastTime, dts.back());
    }
    return 0;
}

int CExporter::Run() {
    CatchInterrupt();
    if (!m_o.from.empty()) {
        m_bHasFrom = true;
        uint32_t ms = 0;
        ParseTimeMs(m_o.from, &ms);
        m_llFrom = ms;
    }
    if (!m_o.to.empty()) {
        m_bHasTo = true;
        uint32_t ms = 0;
        ParseTimeMs(m_o.to, &ms);
        m_llTo = ms;
    }
    if (m_bHasFrom && m_bHasTo && m_llTo <= m_llFrom) {
        std::fprintf(stderr, "qvplay: --to (%s) must come after --from (%s)\n", m_o.to.c_str(),
                     m_o.from.c_str());
        return kExitFailure;
    }

    CFilePlayer player;
    if (const int code = player.Open(m_o.path))
        return code;
    // Parsed frames only; the audio is decoded when it is written.
    const bool bAudio = m_kind == ExportKind::Wav || (m_kind != ExportKind::H264 && !m_o.bNoAudio);
    uint32_t flags = PLAY_ENABLE_DECODE_ON_DEMAND | (bAudio ? PLAY_ENABLE_AUDIO_DECODE : 0u);
    int32_t rc = Play_SetControl(player.Handle(), PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
    if (rc != PLAY_OK) {
        PrintFailure("enabling decoding on demand", rc);
        return kExitFailure;
    }
    if (!m_writer.Open(m_o.out, m_kind, &m_error)) {
        std::fprintf(stderr, "qvplay: %s: %s\n", m_o.out.c_str(), m_error.c_str());
        m_writer.Abandon();
        return kExitOutput;
    }

    m_progress = std::make_unique<CProgress>(!m_o.bNoProgress && StderrIsTerminal());
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    uint32_t failedInARow = 0;
    uint64_t pulls = 0;
    for (;;) {
        if (Interrupted())
            return Fail(kExitInterrupted, "interrupted");
        PLAY_FRAME *pFrame = nullptr;
        rc = Play_GetDecodeFrame(player.Handle(), PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
        if (rc == PLAY_E_NO_FRAME)
            break;
        if (rc != PLAY_OK || pFrame == nullptr) {
            if (++failedInARow >= kMaxFailedPulls) {
                PrintFailure("Play_GetDecodeFrame", rc);
                return Fail(kExitFailure, m_o.path + ": reading the recording failed");
            }
            continue;
        }
        failedInARow = 0;
        if (pFrame->pFrame != nullptr && IsVideoType(pFrame->pFrame->nType) && m_frameWidth == 0) {
            m_frameWidth = pFrame->pFrame->wWidth;
            m_frameHeight = pFrame->pFrame->wHeight;
        }
        const int code = Take(*pFrame);
        Play_FreeDecodeFrame(player.Handle(), pFrame);
        if (code != 0)
            return code;
        if (m_bDone)
            break;
        if ((++pulls & 255) == 0)
            m_progress->Update(player.Get64(PLAY_ATTRIBUTE_PLAY_DATA_SIZE), fileSize);
    }
    if (!m_bDone)
        if (const int code = Flush(false, 0))
            return code;
    m_progress->Update(fileSize, fileSize, true);
    m_progress.reset();

    if (m_kind == ExportKind::Wav ? m_ullSamplesWritten == 0 : m_ullVideoWritten == 0) {
        std::string why;
        if (m_kind == ExportKind::Wav && m_ullAudioFrames == 0)
            why = "the recording holds no audio frames";
        else if (m_kind == ExportKind::Wav && m_ullAudioUndecoded == m_ullAudioFrames)
            why = "none of its " + std::to_string(m_ullAudioFrames) + " audio frames decoded";
        else if (m_ullVideoSeen == 0 && m_kind != ExportKind::Wav)
            why = "the recording holds no video frames";
        else if (!m_bStarted && m_kind != ExportKind::Wav)
            why = "the recording holds no key frame to start from";
        else
            why = "nothing in the range" + (m_bHasFrom ? " from " + m_o.from : std::string()) +
                  (m_bHasTo ? " to " + m_o.to : std::string()) + " (times count from the first key frame)";
        return Fail(kExitNotFound, m_o.path + ": nothing to export: " + why);
    }
    if (Interrupted())
        return Fail(kExitInterrupted, "interrupted");
    if (!m_writer.Finish(&m_error))
        return Fail(kExitOutput, m_o.out + ": " + m_error);

    std::printf("wrote %s (%s, %s)\n", m_o.out.c_str(), ExportKindName(m_kind),
                Bytes(m_writer.BytesWritten()).c_str());
    if (m_kind != ExportKind::Wav)
        std::printf("video  %llu frames, H.264 copied, from %s to %s\n",
                    static_cast<unsigned long long>(m_ullVideoWritten), TimeText(m_llFirstTime).c_str(),
                    TimeText(m_llLastTime).c_str());
    if (m_kind != ExportKind::H264) {
        if (m_ullSamplesWritten != 0)
            std::printf("audio  %llu samples, %d Hz, %s\n",
                        static_cast<unsigned long long>(m_ullSamplesWritten), m_audio.nSampleRate,
                        m_writer.AudioCodecName());
        else
            std::printf("audio  none\n");
        if (m_ullAudioUndecoded != 0)
            std::printf("note   %llu audio frames did not decode and were left out\n",
                        static_cast<unsigned long long>(m_ullAudioUndecoded));
        if (m_ullAudioDropped != 0)
            std::printf("note   %llu audio frames in another format than the first were left out\n",
                        static_cast<unsigned long long>(m_ullAudioDropped));
        if (m_ullAudioBeforeVideo != 0 && m_kind != ExportKind::Wav)
            std::printf("note   %llu audio frames before the first key frame were left out\n",
                        static_cast<unsigned long long>(m_ullAudioBeforeVideo));
    }
    return 0;
}

// A UTF-8 path as the file system takes it.
std::filesystem::path PathOf(const std::string &utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

int CmdExport(const ExportOptions &o) {
    ExportKind kind;
    if (!ExportKindOf(o.out, &kind)) {
        std::fprintf(stderr, "qvplay: %s: unknown output type; name it .mp4, .mkv, .h264 or .wav\n",
                     o.out.c_str());
        return kExitOutput;
    }
    // The output replaces its file only at the end, after the recording was
    // read: one file for both would lose the recording.
    std::error_code ec;
    if (std::filesystem::equivalent(PathOf(o.path), PathOf(o.out), ec)) {
        std::fprintf(stderr, "qvplay: %s: the output would replace the recording itself; name another file\n",
                     o.out.c_str());
        return kExitOutput;
    }
    CExporter exporter(o, kind);
    return exporter.Run();
}

} // namespace

Command AddExportCommand(CLI::App &app) {
    auto o = std::make_shared<ExportOptions>();
    Command command;
    command.pApp = app.add_subcommand(
        "export", "copy a recording's H.264 video, without re-encoding, into MP4, Matroska or a raw .h264 "
                  "stream, or its audio into WAV");
    command.pApp->add_option("FILE", o->path, "the recording")->required();
    command.pApp
        ->add_option("-o,--output", o->out,
                     "the file to write; its extension picks the type: .mp4 (H.264 and AAC audio), .mkv "
                     "(H.264 and 16-bit PCM audio), .h264 (the H.264 stream alone), .wav (the audio alone, "
                     "16-bit PCM)")
        ->required();
    const CLI::Validator time = TimeValidator();
    command.pApp
        ->add_option("--from", o->from,
                     "start: seconds, mm:ss or hh:mm:ss[.mmm] from the first key frame; the export starts at "
                     "the key frame at or before it, so that the first picture decodes")
        ->check(time);
    command.pApp
        ->add_option("--to", o->to,
                     "end (same forms): the pictures whose time stamp is before it, and the audio that "
                     "follows them in the file")
        ->check(time);
    command.pApp->add_flag("--no-audio", o->bNoAudio, "MP4 and Matroska: the video alone");
    command.pApp->add_flag("--no-progress", o->bNoProgress,
                           "no progress bar (it is shown only on a terminal)");
    command.pApp->footer(
        "Video: the H.264 access units as the recording holds them, from its first key frame; decoding "
        "times are the frames' time stamps, presentation times follow the pictures' order (B frames). "
        "The 15 and 6000 generations carry another video codec: only .wav works for them. The output's "
        "times start at 0 with its first key frame; the recording is read from its start (frames before "
        "--from are skipped at disk speed).\n"
        "Audio: decoded by the library (8-bit PCM, G.711 A-law, G.722, G.726) to 16-bit PCM; it starts "
        "with the picture it follows in the file. MP4 gets AAC, Matroska and WAV the PCM itself.\n"
        "The file is written as OUT.part and renamed at the end; on any failure or Ctrl-C nothing is "
        "left.\n"
        "Exit codes: 0 written; 3 FILE cannot be opened; 4 not a recording; 6 OUT cannot be written or "
        "its extension is unknown; 8 nothing to export (no H.264 video, no audio for .wav, or nothing in "
        "the range); 130 interrupted; 1 any other failure.\n"
        "Example: qvplay export recording.qv -o clip.mp4 --from 1:30 --to 2:00");
    command.run = [o] { return CmdExport(*o); };
    return command;
}

} // namespace qvplay
