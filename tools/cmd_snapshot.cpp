// qvplay snapshot: the picture at a moment or frame, with the recorder's
// on-screen display, as BMP or PNG.
//
// The library's own snapshot needs a display and so a window; pulled
// pictures already carry the drawn OSD, so the picture is pulled (decode on
// demand, from the start) and converted here with the same integer formulas
// the library's snapshot uses (qvdisplay.h: BT.601, or BT.709 from 1280x720
// up), so that both give the same pixels.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "common.h"
#include "pngwriter.h"

namespace qvplay {
namespace {

struct SnapshotOptions {
    std::string path;
    std::string at;                // TIME as given
    std::optional<uint32_t> frame; // --frame N
    std::string output;
    double timeout = 60.0;
    bool bNoProgress = false;
};

// Milliseconds as seconds with three decimals, for messages.
std::string FormatMs(uint32_t ms) {
    char text[48];
    std::snprintf(text, sizeof(text), "%.3f s", ms / 1000.0);
    return text;
}

std::string Lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool EndsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The picture pulled, kept while later ones are looked at.
struct HeldPicture {
    uint32_t dwFourCC = 0;
    uint32_t dwWidth = 0, dwHeight = 0;
    std::vector<uint8_t> bytes;
    uint32_t frameIndex = 0; // video frames from the first key frame
    uint32_t relativeMs = 0; // from the first key frame
};

// One pixel by the library's integer formulas; the divisions truncate
// toward zero as C++ does.
inline uint8_t Clamp(int value) {
    return value <= 0 ? 0 : value >= 255 ? 255 : static_cast<uint8_t>(value);
}

// The picture as 24-bit rows of blue, green, red, bottom row first, each
// padded to four bytes (a BMP's pixel array); false for a layout or size the
// conversion does not take.
bool ToBgrBottomUp(const HeldPicture &pic, std::vector<uint8_t> &out, std::string *pWhy) {
    const uint32_t w = pic.dwWidth, h = pic.dwHeight;
    if (w == 0 || h == 0 || w % 2 != 0 || h % 2 != 0) {
        *pWhy = "the picture is " + std::to_string(w) + " x " + std::to_string(h) +
                ", not even in both directions";
        return false;
    }
    const bool bPlanar = pic.dwFourCC == VDEC_FOURCC_YV12 || pic.dwFourCC == DISPLAY_FOURCC_I420;
    const bool bPairs = pic.dwFourCC == VDEC_FOURCC_NV12;
    if (!bPlanar && !bPairs) {
        char text[64];
        std::snprintf(text, sizeof(text), "the picture's layout 0x%08X is not YV12, I420 or NV12",
                      static_cast<unsigned>(pic.dwFourCC));
        *pWhy = text;
        return false;
    }
    const size_t luma = size_t(w) * h;
    if (pic.bytes.size() < luma * 3 / 2) {
        *pWhy = "the picture holds fewer bytes than its size needs";
        return false;
    }
    const bool bHd = w >= CONVERT_HD_WIDTH && h >= CONVERT_HD_HEIGHT;
    const int kR = bHd ? CONVERT_BT709_KR : CONVERT_BT601_KR;
    const int kGU = bHd ? CONVERT_BT709_KGU : CONVERT_BT601_KGU;
    const int kGV = bHd ? CONVERT_BT709_KGV : CONVERT_BT601_KGV;
    const int kB = bHd ? CONVERT_BT709_KB : CONVERT_BT601_KB;
    const uint32_t stride = DISPLAY_RGB24_STRIDE(w);
    out.assign(size_t(stride) * h, 0);
    const uint8_t *pY = pic.bytes.data();
    const uint8_t *pFirst = pY + luma, *pSecond = pY + luma + luma / 4;
    // YV12 stores V before U.
    const uint8_t *pU = pic.dwFourCC == VDEC_FOURCC_YV12 ? pSecond : pFirst;
    const uint8_t *pV = pic.dwFourCC == VDEC_FOURCC_YV12 ? pFirst : pSecond;
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t *row = out.data() + size_t(h - 1 - y) * stride;
        for (uint32_t x = 0; x < w; ++x) {
            int u, v;
            if (bPairs) {
                const uint8_t *pair = pY + luma + size_t(y / 2) * w + (x & ~1u);
                u = pair[0], v = pair[1];
            } else {
                u = pU[size_t(y / 2) * (w / 2) + x / 2];
                v = pV[size_t(y / 2) * (w / 2) + x / 2];
            }
            const int c = pY[size_t(y) * w + x] - 16, d = u - 128, e = v - 128;
            row[3 * x + 2] = Clamp((CONVERT_KY * c + kR * e) / 128);
            row[3 * x + 1] = Clamp((CONVERT_KY * c - kGU * d - kGV * e) / 128);
            row[3 * x] = Clamp((CONVERT_KY * c + kB * d) / 128);
        }
    }
    return true;
}

void PutLe(std::vector<uint8_t> &out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The BMP file the library's snapshot files are: a file header, a
// BITMAPINFOHEADER and bottom-up 24-bit rows.
std::vector<uint8_t> EncodeBmp(uint32_t w, uint32_t h, const std::vector<uint8_t> &rows) {
    std::vector<uint8_t> file;
    const uint32_t offset = 14 + 40;
    file.push_back('B');
    file.push_back('M');
    PutLe(file, offset + static_cast<uint32_t>(rows.size()), 4);
    PutLe(file, 0, 4);
    PutLe(file, offset, 4);
    PutLe(file, 40, 4); // biSize
    PutLe(file, w, 4);
    PutLe(file, h, 4); // positive: bottom-up
    PutLe(file, 1, 2); // planes
    PutLe(file, 24, 2);
    PutLe(file, 0, 4); // BI_RGB
    PutLe(file, static_cast<uint32_t>(rows.size()), 4);
    PutLe(file, 0, 4);
    PutLe(file, 0, 4);
    PutLe(file, 0, 4);
    PutLe(file, 0, 4);
    file.insert(file.end(), rows.begin(), rows.end());
    return file;
}

// The video time stamps in file order, from the first key frame: a
// reordering decoder hands pictures out in display order, each with its own
// frame, whose stamp some containers give in decoding order. The k-th
// picture shown is at the k-th smallest stamp.
struct ParsedStamps {
    std::mutex lock;
    bool bKeySeen = false;
    std::priority_queue<uint32_t, std::vector<uint32_t>, std::greater<uint32_t>> pending;
};

int32_t QV_CALL OnParsed(PLAY_HANDLE, FrameRecord *pFrame, void *pContext) {
    ParsedStamps *stamps = static_cast<ParsedStamps *>(pContext);
    std::lock_guard<std::mutex> guard(stamps->lock);
    if (pFrame == nullptr || !IsVideoType(pFrame->nType))
        return 0;
    if (pFrame->nType == DEMUX_FRAME_I)
        stamps->bKeySeen = true;
    if (stamps->bKeySeen)
        stamps->pending.push(pFrame->dwTimestamp);
    return 0;
}

// The display time of the next picture: the smallest stamp not yet given;
// the frame's own stamp when the parser told nothing.
uint32_t NextDisplayStamp(ParsedStamps &stamps, uint32_t own) {
    std::lock_guard<std::mutex> guard(stamps.lock);
    if (stamps.pending.empty())
        return own;
    const uint32_t stamp = stamps.pending.top();
    stamps.pending.pop();
    return stamp;
}

uint32_t ParseOnlyFlags(uint32_t flags) {
    flags |= PLAY_ENABLE_DECODE_ON_DEMAND;
    return flags & ~(PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE);
}

// Decoding everything before the asked picture would cost minutes in a long
// recording: a parse-only pass (as fast as the file reads) finds the last
// key frame at or before it, numbered in file order from the first key
// frame; the real pass decodes from there. 0 (decode from the start) when
// the pass finds nothing better.
uint32_t FindStartKey(const std::string &path, const SnapshotOptions &o, uint32_t targetMs) {
    CFilePlayer scan;
    if (scan.Open(path) != 0)
        return 0;
    const uint32_t flags = ParseOnlyFlags(scan.Get32(PLAY_ATTRIBUTE_ENABLE));
    if (Play_SetControl(scan.Handle(), PLAY_CONTROL_ENABLE, &flags, sizeof(flags)) != PLAY_OK)
        return 0;
    bool bStarted = false;
    uint32_t first = 0, index = 0, key = 0, failedInRow = 0;
    for (;;) {
        PLAY_FRAME *pFrame = nullptr;
        const int32_t rc = Play_GetDecodeFrame(scan.Handle(), PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
        if (rc == PLAY_E_NO_FRAME)
            break;
        if (rc != PLAY_OK || pFrame == nullptr) {
            if (++failedInRow >= kMaxFailedPulls)
                break;
            continue;
        }
        failedInRow = 0;
        bool bPast = false;
        const FrameRecord *r = pFrame->pFrame;
        if (r != nullptr && IsVideoType(r->nType)) {
            if (!bStarted && r->nType == DEMUX_FRAME_I) {
                bStarted = true;
                first = r->dwTimestamp;
            }
            if (bStarted) {
                // Key frames keep their order whatever order the container
                // stamps the others in.
                const bool bKey = r->nType == DEMUX_FRAME_I;
                const bool bBefore = o.frame ? index <= *o.frame
                                             : int64_t(r->dwTimestamp) - int64_t(first) <= int64_t(targetMs);
                if (bKey && bBefore)
                    key = index;
                bPast = o.frame ? index > *o.frame : bKey && !bBefore;
                ++index;
            }
        }
        Play_FreeDecodeFrame(scan.Handle(), pFrame);
        if (bPast)
            break;
    }
    return key;
}

int CmdSnapshot(const SnapshotOptions &o) {
    uint32_t targetMs = 0;
    if (!o.at.empty() && !ParseTimeMs(o.at, &targetMs)) {
        // The validator has refused it already; this keeps the two in step.
        std::fprintf(stderr, "qvplay: --at %s: not a time (seconds, mm:ss[.mmm] or hh:mm:ss[.mmm])\n",
                     o.at.c_str());
        return static_cast<int>(CLI::ExitCodes::ValidationError);
    }
    const bool bPng = EndsWith(Lower(o.output), ".png");

    CFilePlayer player;
    if (int rc = player.Open(o.path))
        return rc;
    if (int wait = player.WaitForIndex(o.timeout))
        return wait;
    const uint32_t duration = player.Get32(PLAY_ATTRIBUTE_FILE_DURATION);
    const uint32_t frameCount = player.Get32(PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT);
    if (frameCount == 0) {
        std::fprintf(stderr,
                     "qvplay: %s: nothing to write: the index holds no video frame (see qvplay frames)\n",
                     o.path.c_str());
        return kExitNotFound;
    }
    if (o.frame && *o.frame >= frameCount) {
        std::fprintf(stderr,
                     "qvplay: %s: frame %u is beyond the end: the recording has %u video frames (0 to %u)\n",
                     o.path.c_str(), static_cast<unsigned>(*o.frame), static_cast<unsigned>(frameCount),
                     static_cast<unsigned>(frameCount - 1));
        return kExitNotFound;
    }
    if (!o.frame && targetMs > duration) {
        std::fprintf(stderr, "qvplay: %s: %s is beyond the end: the recording lasts %s (0 to %s)\n",
                     o.path.c_str(), FormatMs(targetMs).c_str(), FormatMs(duration).c_str(),
                     FormatMs(duration).c_str());
        return kExitNotFound;
    }

    // Pictures only: no sound decoding, and the software decoder, whose
    // pictures are the same on every machine. Parse only up to the key
    // frame decoding starts from.
    const uint32_t startKey = FindStartKey(o.path, o, targetMs);
    bool bDecoding = startKey == 0;
    uint32_t decodeFlags =
        player.Get32(PLAY_ATTRIBUTE_ENABLE) | PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE;
    decodeFlags &= ~(PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_HARDWARE_DECODE);
    const uint32_t flags = bDecoding ? decodeFlags : ParseOnlyFlags(decodeFlags);
    int32_t rc = Play_SetControl(player.Handle(), PLAY_CONTROL_ENABLE, &flags, sizeof(flags));
    if (rc != PLAY_OK) {
        PrintFailure("enabling decode on demand", rc);
        return kExitFailure;
    }
    ParsedStamps stamps;
    PLAY_CALLBACK_PARAM cb{};
    cb.pfnCallback = reinterpret_cast<PLAY_CALLBACK_FUNCTION>(OnParsed);
    cb.pContext = &stamps;
    rc = Play_RegisterCallbackFunction(player.Handle(), PLAY_CALLBACK_STREAM_PARSE, &cb,
                                       PLAY_CALLBACK_PARAM_SIZE);
    if (rc != PLAY_OK) {
        PrintFailure("registering the parse callback", rc);
        return kExitFailure;
    }
    // Nothing may call into the stamps once this function has returned.
    struct Unregister {
        PLAY_HANDLE hPlay;
        ~Unregister() { Play_RegisterCallbackFunction(hPlay, PLAY_CALLBACK_STREAM_PARSE, nullptr, 0); }
    } unregister{player.Handle()};
    const uint64_t fileSize = player.Get64(PLAY_ATTRIBUTE_FILE_SIZE);
    CProgress progress(!o.bNoProgress && StderrIsTerminal());

    // Frames are counted and timed from the first key frame, as the index
    // counts them; pictures come in display order, each with its own frame.
    bool bStarted = false;
    uint32_t firstTimestamp = 0;
    uint32_t videoSeen = 0; // from the first key frame
    uint64_t pictures = 0;
    uint32_t lastCodec = 0;
    int32_t lastFailure = PLAY_OK;
    uint32_t failedInRow = 0;
    bool bEnded = false, bDone = false, bTargetWithoutPicture = false;
    HeldPicture held;
    bool bHeld = false;
    while (!bDone) {
        PLAY_FRAME *pFrame = nullptr;
        rc = Play_GetDecodeFrame(player.Handle(), PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
        if (rc == PLAY_E_NO_FRAME) {
            bEnded = true;
            break;
        }
        if (rc != PLAY_OK || pFrame == nullptr) {
            lastFailure = rc;
            if (++failedInRow >= kMaxFailedPulls)
                break;
            continue;
        }
        failedInRow = 0;
        const FrameRecord *r = pFrame->pFrame;
        if (r != nullptr && IsVideoType(r->nType)) {
            lastCodec = r->dwCodec;
            if (!bStarted && r->nType == DEMUX_FRAME_I) {
                bStarted = true;
                firstTimestamp = NextDisplayStamp(stamps, r->dwTimestamp);
                // The key frame's own stamp goes back for it to take below.
                std::lock_guard<std::mutex> guard(stamps.lock);
                stamps.pending.push(firstTimestamp);
            }
            if (bStarted) {
                const DecodedPicture &p = pFrame->output.picture;
                const bool bPicture = p.pBuffer != nullptr && p.dwWidth != 0 && p.dwHeight != 0;
                pictures += bPicture;
                const uint32_t index = videoSeen++;
                const int64_t relative =
                    int64_t(NextDisplayStamp(stamps, r->dwTimestamp)) - int64_t(firstTimestamp);
                bool bTake = false;
                if (o.frame) {
                    if (index == *o.frame) {
                        bTake = bPicture;
                        bTargetWithoutPicture = !bPicture;
                        bDone = true;
                    }
                } else if (relative > int64_t(targetMs)) {
                    // Past the moment: the picture before this one was on screen.
                    bDone = bHeld;
                } else if (relative >= 0) {
                    bTake = bPicture;
                }
                if (bTake) {
                    held.dwFourCC = p.dwFourCC;
                    held.dwWidth = p.dwWidth;
                    held.dwHeight = p.dwHeight;
                    held.bytes.assign(
                        p.pBuffer,
                        p.pBuffer + std::min<size_t>(p.dwBufferSize, size_t(p.dwWidth) * p.dwHeight * 3 / 2));
                    held.frameIndex = index;
                    held.relativeMs = static_cast<uint32_t>(std::max<int64_t>(relative, 0));
                    bHeld = true;
                }
                if (!bDecoding && videoSeen == startKey) {
                    // The next video frame is the key frame: decode from it.
                    rc = Play_SetControl(player.Handle(), PLAY_CONTROL_ENABLE, &decodeFlags,
                                         sizeof(decodeFlags));
                    if (rc != PLAY_OK) {
                        Play_FreeDecodeFrame(player.Handle(), pFrame);
                        PrintFailure("switching decoding on", rc);
                        return kExitFailure;
                    }
                    bDecoding = true;
                }
            }
        }
        const int32_t freed = Play_FreeDecodeFrame(player.Handle(), pFrame);
        if (freed != PLAY_OK)
            lastFailure = freed;
        progress.Update(player.Get64(PLAY_ATTRIBUTE_PLAY_DATA_SIZE), fileSize);
    }
    progress.Finish();

    if (!bDone && !bEnded) {
        std::fprintf(stderr, "qvplay: gave up after %u failed pulls in a row\n", kMaxFailedPulls);
        PrintFailure("pulling frames", lastFailure);
        return kExitFailure;
    }
    if (!bHeld) {
        if (videoSeen != 0 && pictures == 0) {
            std::fprintf(stderr, "qvplay: %s: no picture could be decoded: the video is %s\n", o.path.c_str(),
                         VideoCodecName(lastCodec).c_str());
            if (lastFailure != PLAY_OK)
                PrintFailure("decoding", lastFailure);
            return kExitFailure;
        }
        if (bTargetWithoutPicture) {
            std::fprintf(stderr,
                         "qvplay: %s: frame %u did not decode (damaged, or its key frame is missing); try a "
                         "neighbouring frame\n",
                         o.path.c_str(), static_cast<unsigned>(*o.frame));
            return kExitFailure;
        }
        if (o.frame)
            std::fprintf(stderr, "qvplay: %s: frame %u was not found: the file ended after %u video frames\n",
                         o.path.c_str(), static_cast<unsigned>(*o.frame), static_cast<unsigned>(videoSeen));
        else
            std::fprintf(stderr,
                         "qvplay: %s: no picture at or before %s: the file ended after %u video frames\n",
                         o.path.c_str(), FormatMs(targetMs).c_str(), static_cast<unsigned>(videoSeen));
        return kExitNotFound;
    }

    std::vector<uint8_t> rows;
    std::string why;
    if (!ToBgrBottomUp(held, rows, &why)) {
        std::fprintf(stderr, "qvplay: cannot convert the picture: %s\n", why.c_str());
        return kExitFailure;
    }
    std::vector<uint8_t> file;
    if (bPng) {
        // PNG rows are top down and red first.
        const uint32_t w = held.dwWidth, h = held.dwHeight, stride = DISPLAY_RGB24_STRIDE(w);
        std::vector<uint8_t> rgb(size_t(w) * h * 3);
        for (uint32_t y = 0; y < h; ++y) {
            const uint8_t *src = rows.data() + size_t(h - 1 - y) * stride;
            uint8_t *dst = rgb.data() + size_t(y) * w * 3;
            for (uint32_t x = 0; x < w; ++x) {
                dst[3 * x] = src[3 * x + 2];
                dst[3 * x + 1] = src[3 * x + 1];
                dst[3 * x + 2] = src[3 * x];
            }
        }
        file = EncodePng(w, h, rgb.data());
    } else {
        file = EncodeBmp(held.dwWidth, held.dwHeight, rows);
    }
    if (!WriteWholeFile(o.output, file)) {
        std::fprintf(stderr,
                     "qvplay: %s: cannot write the snapshot: check the folder exists and is writable\n",
                     o.output.c_str());
        return kExitOutput;
    }
    std::printf("frame %u at %s, %u x %u, written to %s\n", static_cast<unsigned>(held.frameIndex),
                FormatMs(held.relativeMs).c_str(), static_cast<unsigned>(held.dwWidth),
                static_cast<unsigned>(held.dwHeight), o.output.c_str());
    return 0;
}

} // namespace

Command AddSnapshotCommand(CLI::App &app) {
    auto o = std::make_shared<SnapshotOptions>();
    Command command;
    command.pApp = app.add_subcommand(
        "snapshot", "write the picture at a moment (--at) or video frame (--frame) of a recording, with its "
                    "on-screen display, as a BMP or PNG file");
    command.pApp->add_option("FILE", o->path, "the recording")->required();
    CLI::App *moment = command.pApp->add_option_group("moment", "which picture (give exactly one)");
    moment
        ->add_option(
            "--at", o->at,
            "the moment from the recording's start: seconds (12.5), mm:ss[.mmm] or hh:mm:ss[.mmm]; the "
            "picture on screen then")
        ->check(TimeValidator());
    moment->add_option(
        "--frame", o->frame,
        "the video frame, counted from 0 at the first key frame in the order pictures are shown");
    moment->require_option(1);
    command.pApp->add_option("-o,--output", o->output, "the file to write: .bmp or .png")
        ->required()
        ->check(CLI::Validator(
            [](std::string &text) {
                const std::string lower = Lower(text);
                return EndsWith(lower, ".bmp") || EndsWith(lower, ".png")
                           ? std::string()
                           : "the output must end in .bmp or .png";
            },
            "OUT.bmp|OUT.png"));
    command.pApp->add_option("--timeout", o->timeout, "seconds to wait for the file index (default 60)")
        ->check(Seconds());
    command.pApp->add_flag("--no-progress", o->bNoProgress,
                           "no progress bar (it is shown only on a terminal)");
    command.pApp->footer("Examples: qvplay snapshot recording.qv --at 1:02.5 -o shot.png\n"
                         "          qvplay snapshot recording.qv --frame 250 -o shot.bmp");
    command.run = [o] { return CmdSnapshot(*o); };
    return command;
}

} // namespace qvplay
