// qvplay frames: every frame the parser finds, without decoding anything: a
// support engineer's look inside a recording, damaged ones included. The
// parsers resynchronise over damage, so the listing goes on to the end and
// closes with the counts and the bytes that no frame covers.
#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "common.h"

namespace qvplay {
namespace {

struct FramesOptions {
    std::string path;
    bool bJson = false;
    bool bNoProgress = false;
};

const char *TypeToken(int32_t type) {
    switch (type) {
    case DEMUX_FRAME_I:
        return "I";
    case DEMUX_FRAME_P:
        return "P";
    case DEMUX_FRAME_OTHER_VIDEO:
        return "B";
    case DEMUX_FRAME_DROPPABLE:
        return "droppable";
    case DEMUX_FRAME_AUDIO:
        return "audio";
    default:
        return "unknown";
    }
}

// One word per codec, so that the text columns stay columns.
std::string CodecToken(int32_t type, uint32_t codec) {
    if (type == DEMUX_FRAME_AUDIO) {
        switch (codec) {
        case DEMUX_CODEC_PCM8:
            return "PCM8";
        case DEMUX_CODEC_G711_ALAW:
            return "G.711A";
        case DEMUX_CODEC_G722:
            return "G.722";
        case DEMUX_CODEC_G726:
            return "G.726";
        default:
            return "audio-" + std::to_string(codec);
        }
    }
    if (codec == DEMUX_CODEC_H264)
        return "H.264";
    return "video-" + std::to_string(codec);
}

// "YYYY-MM-DD hh:mm:ss.mmm"; empty when the container gives no time.
std::string RecordingTime(const SYSTEMTIME &t) {
    if (t.wYear == 0 && t.wMonth == 0 && t.wDay == 0 && t.wHour == 0 && t.wMinute == 0 && t.wSecond == 0 &&
        t.wMilliseconds == 0)
        return "";
    char text[48];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned(t.wYear),
                  unsigned(t.wMonth), unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute),
                  unsigned(t.wSecond), unsigned(t.wMilliseconds));
    return text;
}

const char *OsdKindToken(uint32_t kind) {
    switch (kind) {
    case DEMUX_OSD_TEXT:
        return "text";
    case DEMUX_OSD_BITMAP:
        return "bitmap";
    case DEMUX_OSD_MOSAIC:
        return "mosaic";
    default:
        return "unknown";
    }
}

std::string OsdText(const OsdItem &item) {
    return Utf16ToUtf8(item.body.szText, DEMUX_OSD_TEXT_MAX);
}

// The items as text: kind@x,y then the text in quotes or the box's size.
std::string OsdColumn(const FrameRecord &r) {
    std::string s;
    for (uint32_t i = 0; i < r.byOsdCount && r.pOsdItems != nullptr; ++i) {
        const OsdItem &item = r.pOsdItems[i];
        if (!s.empty())
            s += "; ";
        s += std::string(OsdKindToken(item.dwKind)) + "@" + std::to_string(item.wX) + "," +
             std::to_string(item.wY);
        if (item.dwKind == DEMUX_OSD_TEXT)
            s += " " + JsonString(OsdText(item));
        else
            s += " " + std::to_string(item.wWidth) + "x" + std::to_string(item.wHeight);
        if (item.dwKind == DEMUX_OSD_MOSAIC)
            s += item.body.mosaic.dwMode == DEMUX_OSD_MOSAIC_SOLID ? " solid" : " blocks";
    }
    return s;
}

std::string OsdJson(const FrameRecord &r) {
    std::string s = "[";
    for (uint32_t i = 0; i < r.byOsdCount && r.pOsdItems != nullptr; ++i) {
        const OsdItem &item = r.pOsdItems[i];
        if (i)
            s += ", ";
        s += "{\"kind\": " + JsonString(OsdKindToken(item.dwKind)) + ", \"x\": " + std::to_string(item.wX) +
             ", \"y\": " + std::to_string(item.wY);
        if (item.dwKind == DEMUX_OSD_TEXT) {
            s += ", \"text\": " + JsonString(OsdText(item));
        } else {
            s += ", \"width\": " + std::to_string(item.wWidth) +
                 ", \"height\": " + std::to_string(item.wHeight);
            if (item.dwKind == DEMUX_OSD_MOSAIC)
                s += std::string(", \"mode\": ") +
                     (item.body.mosaic.dwMode == DEMUX_OSD_MOSAIC_SOLID ? "\"solid\"" : "\"blocks\"");
        }
        s += "}";
    }
    return s + "]";
}

// What the listing adds up to.
struct FrameTotals {
    uint64_t frames = 0, video = 0, audio = 0, unknown = 0;
    uint64_t byType[6] = {};
    uint64_t osdItems = 0;
    bool bAny = false;
    uint64_t firstOffset = 0;
    uint64_t end = 0;          // one past the furthest byte a frame covered
    uint64_t betweenBytes = 0; // bytes skipped between one frame and the next
    uint64_t gaps = 0;         // places where bytes were skipped
    uint64_t backwards = 0;    // frames that start before the previous one ended
    uint64_t audioBytes = 0;   // audio frames since the last placed frame: they fill the next gap
};

// The parsers place only video frames: an audio frame's offset is 0.
bool HasOffset(const FrameRecord &r) {
    return r.nType != DEMUX_FRAME_AUDIO || r.ullFileOffset != 0;
}

void Count(FrameTotals &t, const FrameRecord &r) {
    ++t.frames;
    if (r.nType >= 0 && r.nType < 6)
        ++t.byType[r.nType];
    if (IsVideoType(r.nType))
        ++t.video;
    else if (r.nType == DEMUX_FRAME_AUDIO)
        ++t.audio;
    else
        ++t.unknown;
    t.osdItems += r.byOsdCount;
    if (!HasOffset(r)) {
        t.audioBytes += uint64_t(r.dwHeaderLength) + r.dwPayloadLength;
        return;
    }
    // The payload normally follows its header; where a container stores it
    // elsewhere the header and payload lengths still bound the frame.
    const uint64_t frameEnd = r.ullFileOffset + r.dwHeaderLength + r.dwPayloadLength;
    if (!t.bAny) {
        // Audio before the first placed frame lies before it.
        t.bAny = true;
        t.firstOffset = r.ullFileOffset > t.audioBytes ? r.ullFileOffset - t.audioBytes : 0;
        t.audioBytes = 0;
        t.end = frameEnd;
        return;
    }
    if (r.ullFileOffset > t.end) {
        const uint64_t gap = r.ullFileOffset - t.end;
        const uint64_t skipped = gap > t.audioBytes ? gap - t.audioBytes : 0;
        if (skipped) {
            t.betweenBytes += skipped;
            ++t.gaps;
        }
    } else if (r.ullFileOffset < t.end) {
        ++t.backwards;
    }
    t.audioBytes = 0;
    if (frameEnd > t.end)
        t.end = frameEnd;
}

std::string Uint(uint64_t v) {
    return std::to_string(static_cast<unsigned long long>(v));
}

int CmdFrames(const FramesOptions &o) {
    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;
    // Parse only: nothing is decoded, the frames come as the parser made them.
    uint32_t flags = player.Get32(PLAY_ATTRIBUTE_ENABLE);
    flags |= PLAY_ENABLE_DECODE_ON_DEMAND;
    flags &= ~(PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE);
    int32_t rc = Play_SetControl(player.Handle(), PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
    if (rc != PLAY_OK) {
        PrintFailure("switching to parse-only pulling", rc);
        return kExitFailure;
    }
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    // The bar would tear the listing apart on a shared terminal.
    CProgress progress(!o.bNoProgress && StderrIsTerminal() && !StdoutIsTerminal());

    if (!o.bJson)
        std::printf("%7s %7s %-9s %-8s %12s %12s %-23s %8s  %s\n", "index", "video", "type", "codec",
                    "offset", "timestamp", "time", "size", "osd");
    FrameTotals totals;
    uint64_t failedPulls = 0;
    uint32_t failedInRow = 0;
    int32_t lastFailure = PLAY_OK;
    bool bEnded = false;
    for (;;) {
        PLAY_FRAME *pFrame = nullptr;
        rc = Play_GetDecodeFrame(player.Handle(), PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
        if (rc == PLAY_E_NO_FRAME) {
            bEnded = true;
            break;
        }
        if (rc != PLAY_OK || pFrame == nullptr) {
            ++failedPulls;
            lastFailure = rc;
            if (++failedInRow >= kMaxFailedPulls)
                break;
            continue;
        }
        failedInRow = 0;
        if (const FrameRecord *r = pFrame->pFrame) {
            const uint64_t index = totals.frames;
            const bool bVideo = IsVideoType(r->nType);
            const uint64_t videoIndex = totals.video;
            Count(totals, *r);
            const std::string time = RecordingTime(r->stTime);
            if (o.bJson) {
                std::string j = "{\"index\": " + Uint(index);
                j += ", \"video_index\": " + (bVideo ? Uint(videoIndex) : std::string("null"));
                j += ", \"type\": " + JsonString(TypeToken(r->nType));
                j += ", \"type_id\": " + std::to_string(r->nType);
                j += ", \"codec\": " + JsonString(CodecToken(r->nType, r->dwCodec));
                j += ", \"codec_id\": " + std::to_string(r->dwCodec);
                j += ", \"offset\": " + (HasOffset(*r) ? Uint(r->ullFileOffset) : std::string("null"));
                j += ", \"header_size\": " + std::to_string(r->dwHeaderLength);
                j += ", \"payload_size\": " + std::to_string(r->dwPayloadLength);
                j += ", \"timestamp_ms\": " + std::to_string(r->dwTimestamp);
                j += ", \"time\": " + (time.empty() ? std::string("null") : JsonString(time));
                j += ", \"sequence\": " + std::to_string(r->dwSequence);
                j += ", \"width\": " + (bVideo ? std::to_string(r->wWidth) : std::string("null"));
                j += ", \"height\": " + (bVideo ? std::to_string(r->wHeight) : std::string("null"));
                j += ", \"osd\": " + OsdJson(*r) + "}\n";
                std::fputs(j.c_str(), stdout);
            } else {
                std::printf("%7s %7s %-9s %-8s %12s %12u %-23s %8u  %s\n", Uint(index).c_str(),
                            bVideo ? Uint(videoIndex).c_str() : "-", TypeToken(r->nType),
                            CodecToken(r->nType, r->dwCodec).c_str(),
                            HasOffset(*r) ? Uint(r->ullFileOffset).c_str() : "-",
                            static_cast<unsigned>(r->dwTimestamp), time.empty() ? "-" : time.c_str(),
                            static_cast<unsigned>(r->dwPayloadLength), OsdColumn(*r).c_str());
            }
        }
        const int32_t freed = Play_FreeDecodeFrame(player.Handle(), pFrame);
        if (freed != PLAY_OK) {
            ++failedPulls;
            lastFailure = freed;
        }
        progress.Update(player.Get64(PLAY_ATTRIBUTE_PLAY_DATA_SIZE), fileSize);
    }
    if (bEnded)
        progress.Update(fileSize, fileSize, true);
    progress.Finish();

    const uint64_t before = totals.bAny ? totals.firstOffset : 0;
    const uint64_t covered = totals.end + totals.audioBytes;
    const uint64_t after = totals.bAny ? (fileSize > covered ? fileSize - covered : 0) : fileSize;
    const uint64_t outside = before + totals.betweenBytes + after;
    if (o.bJson) {
        std::string j = "{\"summary\": {\"frames\": " + Uint(totals.frames);
        j += ", \"video_frames\": " + Uint(totals.video);
        j += ", \"audio_frames\": " + Uint(totals.audio);
        j += ", \"unknown_frames\": " + Uint(totals.unknown);
        j += ", \"i_frames\": " + Uint(totals.byType[DEMUX_FRAME_I]);
        j += ", \"p_frames\": " + Uint(totals.byType[DEMUX_FRAME_P]);
        j += ", \"b_frames\": " + Uint(totals.byType[DEMUX_FRAME_OTHER_VIDEO]);
        j += ", \"droppable_frames\": " + Uint(totals.byType[DEMUX_FRAME_DROPPABLE]);
        j += ", \"osd_items\": " + Uint(totals.osdItems);
        j += ", \"file_size\": " + Uint(fileSize);
        j += ", \"bytes_outside_frames\": " + Uint(outside);
        j += ", \"bytes_before_first_frame\": " + Uint(before);
        j += ", \"bytes_between_frames\": " + Uint(totals.betweenBytes);
        j += ", \"gaps\": " + Uint(totals.gaps);
        j += ", \"bytes_after_last_frame\": " + Uint(after);
        j += ", \"out_of_order_frames\": " + Uint(totals.backwards);
        j += ", \"complete\": " + std::string(bEnded ? "true" : "false");
        j += ", \"failed_pulls\": " + Uint(failedPulls);
        j += ", \"last_failure\": " +
             (failedPulls ? JsonString(DescribeResult(lastFailure)) : std::string("null")) + "}}\n";
        std::fputs(j.c_str(), stdout);
    } else {
        std::printf(
            "frames              %s (%s video: %s I, %s P, %s B, %s droppable; %s audio; %s unknown)\n",
            Uint(totals.frames).c_str(), Uint(totals.video).c_str(),
            Uint(totals.byType[DEMUX_FRAME_I]).c_str(), Uint(totals.byType[DEMUX_FRAME_P]).c_str(),
            Uint(totals.byType[DEMUX_FRAME_OTHER_VIDEO]).c_str(),
            Uint(totals.byType[DEMUX_FRAME_DROPPABLE]).c_str(), Uint(totals.audio).c_str(),
            Uint(totals.unknown).c_str());
        std::printf("osd items           %s\n", Uint(totals.osdItems).c_str());
        std::printf(
            "bytes outside       %s of %s (%s before the first frame, %s between frames in %s gaps, %s "
            "after the last)\n",
            Uint(outside).c_str(), Uint(fileSize).c_str(), Uint(before).c_str(),
            Uint(totals.betweenBytes).c_str(), Uint(totals.gaps).c_str(), Uint(after).c_str());
        if (totals.backwards)
            std::printf("out of order        %s frames start before the previous one ends\n",
                        Uint(totals.backwards).c_str());
        if (failedPulls)
            std::printf("note                %s pulls failed, the last with %s: %s\n",
                        Uint(failedPulls).c_str(), DescribeResult(lastFailure).c_str(),
                        ResultHint(lastFailure));
    }
    std::fflush(stdout);
    if (!bEnded) {
        std::fprintf(stderr, "qvplay: gave up after %u failed pulls in a row, %s frames in\n",
                     kMaxFailedPulls, Uint(totals.frames).c_str());
        PrintFailure("pulling frames", lastFailure);
        return kExitFailure;
    }
    return 0;
}

} // namespace

Command AddFramesCommand(CLI::App &app) {
    auto o = std::make_shared<FramesOptions>();
    Command command;
    command.pApp = app.add_subcommand(
        "frames",
        "list every frame the parser finds, without decoding: index, video index, type (I, P, B, droppable, "
        "audio), codec, file offset, time stamp (ms), recording time, payload size and on-screen-display "
        "items; goes on through damage and ends with the counts and the bytes no frame covers");
    command.pApp->add_option("FILE", o->path, "the recording")->required();
    command.pApp->add_flag("--json", o->bJson,
                           "one JSON object per frame and line, then one {\"summary\": {...}} line");
    command.pApp->add_flag("--no-progress", o->bNoProgress,
                           "no progress bar (it is shown only when stderr is a terminal and stdout is not)");
    command.pApp->footer("Example: qvplay frames --json damaged.qv > frames.jsonl");
    command.run = [o] { return CmdFrames(*o); };
    return command;
}

} // namespace qvplay
