// qvplay's shared pieces.
#include "common.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <csignal>
#include <cstring>
#include <string>

#include <CLI/CLI.hpp>

#include "qvosd.h"
#include "qvsound.h"

namespace qvplay {

namespace {

// Every result code of the public headers with what a user can do about it.
struct ResultInfo {
    int32_t rc;
    const char *pszName;
    const char *pszHint;
};

constexpr ResultInfo kResults[] = {
    {PLAY_OK, "PLAY_OK", ""},
    {PLAY_E_FAIL, "PLAY_E_FAIL", "an operating-system call failed; check free memory and disk, then retry"},
    {PLAY_E_NOT_SUPPORTED, "PLAY_E_NOT_SUPPORTED",
     "not possible in this mode or state (when opening: not a recording of a known container)"},
    {PLAY_E_INVALID_VALUE, "PLAY_E_INVALID_VALUE", "a value is out of range; check the options given"},
    {PLAY_E_INVALID_HANDLE, "PLAY_E_INVALID_HANDLE",
     "the player is gone; this is a fault of qvplay, please report it"},
    {PLAY_E_NULL_POINTER, "PLAY_E_NULL_POINTER", "a fault of qvplay, please report it"},
    {PLAY_E_BAD_SIZE, "PLAY_E_BAD_SIZE",
     "qvplay and the library disagree on a record size; use the library qvplay was built with"},
    {PLAY_E_BAD_PIXEL_FORMAT, "PLAY_E_BAD_PIXEL_FORMAT", "a fault of qvplay, please report it"},
    {PLAY_E_BUFFER_TOO_SMALL, "PLAY_E_BUFFER_TOO_SMALL", "the picture grew meanwhile; retry"},
    {PLAY_E_FILE_OPEN, "PLAY_E_FILE_OPEN", "check the path and that the file is readable"},
    {PLAY_E_OUT_OF_MEMORY, "PLAY_E_OUT_OF_MEMORY", "not enough memory; close other programs and retry"},
    {PLAY_E_NO_FRAME, "PLAY_E_NO_FRAME", "the recording has no more frames"},
    {PLAY_E_BUFFER_FULL, "PLAY_E_BUFFER_FULL", "the player's queue is full; retry"},
    {PLAY_E_NOT_READY, "PLAY_E_NOT_READY", "the player is busy; retry"},
    {PLAY_E_INDEX_NOT_READY, "PLAY_E_INDEX_NOT_READY",
     "the file index is not complete; retry with a longer --timeout"},
    {PLAY_E_NOT_FOUND, "PLAY_E_NOT_FOUND",
     "nothing to go to: the recording holds no indexed key frame (see qvplay frames)"},
    {DEMUX_E_FAIL, "DEMUX_E_FAIL", "not a recording of a known container"},
    {DEMUX_E_NOT_SUPPORTED, "DEMUX_E_NOT_SUPPORTED", "not a recording of a known container"},
    {DEMUX_E_INVALID_VALUE, "DEMUX_E_INVALID_VALUE", "a block of the file is too large for the parser"},
    {DEMUX_E_INVALID_OBJECT, "DEMUX_E_INVALID_OBJECT", "the parser is gone; please report it"},
    {DEMUX_E_NULL_POINTER, "DEMUX_E_NULL_POINTER", "please report it"},
    {DEMUX_E_BAD_SIZE, "DEMUX_E_BAD_SIZE", "use the library qvplay was built with"},
    {DEMUX_E_NO_FRAME, "DEMUX_E_NO_FRAME", "no complete frame in the data read; the file may be damaged"},
    {DEMUX_E_QUEUE_FULL, "DEMUX_E_QUEUE_FULL", "the parser's queue is full; retry"},
    {OSD_E_FAIL, "OSD_E_FAIL", "the on-screen display could not be drawn"},
    {OSD_E_INVALID_VALUE, "OSD_E_INVALID_VALUE", "an on-screen-display item of the recording is damaged"},
    {OSD_E_INVALID_OBJECT, "OSD_E_INVALID_OBJECT", "please report it"},
    {OSD_E_NULL_POINTER, "OSD_E_NULL_POINTER", "please report it"},
    {OSD_E_BAD_SIZE, "OSD_E_BAD_SIZE", "use the library qvplay was built with"},
    {OSD_E_BAD_PIXEL_FORMAT, "OSD_E_BAD_PIXEL_FORMAT",
     "the picture's layout cannot carry the on-screen display"},
    {OSD_E_BAD_PICTURE_SIZE, "OSD_E_BAD_PICTURE_SIZE", "the picture has no size; the video may be damaged"},
    {OSD_E_BAD_TEXT_LEVEL, "OSD_E_BAD_TEXT_LEVEL", "please report it"},
    {OSD_E_BAD_COLOR_DEPTH, "OSD_E_BAD_COLOR_DEPTH", "use a desktop of 16 bits per pixel or more"},
    {OSD_E_BUFFER_TOO_SMALL, "OSD_E_BUFFER_TOO_SMALL", "please report it"},
    {OSD_E_OUT_OF_MEMORY, "OSD_E_OUT_OF_MEMORY", "not enough memory; close other programs and retry"},
    {OSD_E_FONT, "OSD_E_FONT", "no font for the on-screen display; install the fonts scripts/setup installs"},
    {OSD_E_BITMAP, "OSD_E_BITMAP", "an on-screen-display bitmap could not be made"},
    {OSD_E_MEMORY_DC, "OSD_E_MEMORY_DC", "a drawing surface could not be made"},
    {OSD_E_BRUSH, "OSD_E_BRUSH", "a drawing brush could not be made"},
    {ADEC_E_FAIL, "ADEC_E_FAIL", "the audio could not be decoded; the file may be damaged"},
    {ADEC_E_NOT_SUPPORTED, "ADEC_E_NOT_SUPPORTED", "the audio codec has no decoder"},
    {ADEC_E_INVALID_VALUE, "ADEC_E_INVALID_VALUE", "an audio frame is damaged"},
    {ADEC_E_INVALID_OBJECT, "ADEC_E_INVALID_OBJECT", "please report it"},
    {ADEC_E_NULL_POINTER, "ADEC_E_NULL_POINTER", "please report it"},
    {ADEC_E_BAD_SIZE, "ADEC_E_BAD_SIZE", "use the library qvplay was built with"},
    {ADEC_E_BUFFER_TOO_SMALL, "ADEC_E_BUFFER_TOO_SMALL", "please report it"},
    {VDEC_E_FAIL, "VDEC_E_FAIL", "the video could not be decoded; the file may be damaged"},
    {VDEC_E_NOT_SUPPORTED, "VDEC_E_NOT_SUPPORTED",
     "the video codec has no decoder in this build (only H.264 decodes in software)"},
    {VDEC_E_INVALID_VALUE, "VDEC_E_INVALID_VALUE", "the video's picture size is out of range"},
    {VDEC_E_INVALID_OBJECT, "VDEC_E_INVALID_OBJECT", "please report it"},
    {VDEC_E_NULL_POINTER, "VDEC_E_NULL_POINTER", "please report it"},
    {VDEC_E_BAD_SIZE, "VDEC_E_BAD_SIZE", "use the library qvplay was built with"},
    {VDEC_E_BUFFER_TOO_SMALL, "VDEC_E_BUFFER_TOO_SMALL", "please report it"},
    {VDEC_E_CREATE_FAILED, "VDEC_E_CREATE_FAILED", "no video decoder could be made; check free memory"},
    {VDEC_E_NO_PICTURE, "VDEC_E_NO_PICTURE", "the decoder gave no picture; the video may be damaged"},
    {DISPLAY_E_FAIL, "DISPLAY_E_FAIL", "the display failed; check DISPLAY (Linux) or the desktop session"},
    {DISPLAY_E_NOT_AVAILABLE, "DISPLAY_E_NOT_AVAILABLE",
     "no display can be opened; set DISPLAY to a running X server (Linux)"},
    {DISPLAY_E_INVALID_VALUE, "DISPLAY_E_INVALID_VALUE", "a display setting is out of range"},
    {DISPLAY_E_INVALID_OBJECT, "DISPLAY_E_INVALID_OBJECT", "please report it"},
    {DISPLAY_E_NULL_POINTER, "DISPLAY_E_NULL_POINTER", "please report it"},
    {DISPLAY_E_BAD_SIZE, "DISPLAY_E_BAD_SIZE", "use the library qvplay was built with"},
    {DISPLAY_E_EMPTY_SOURCE, "DISPLAY_E_EMPTY_SOURCE", "the picture area asked for is empty"},
    {DISPLAY_E_EMPTY_DEST, "DISPLAY_E_EMPTY_DEST", "the window has no area to draw into; enlarge it"},
    {DISPLAY_E_BAD_FOURCC, "DISPLAY_E_BAD_FOURCC", "the picture's layout cannot be shown"},
    {DISPLAY_E_NO_SUCH_VIEWPORT, "DISPLAY_E_NO_SUCH_VIEWPORT", "please report it"},
    {DISPLAY_E_BAD_WINDOW, "DISPLAY_E_BAD_WINDOW", "the window is gone"},
    {DISPLAY_E_NO_BACKEND, "DISPLAY_E_NO_BACKEND", "no display back end works here; check DISPLAY"},
    {DISPLAY_E_TIMER, "DISPLAY_E_TIMER", "the display's timer failed; retry"},
    {DISPLAY_E_NO_PICTURE, "DISPLAY_E_NO_PICTURE", "no picture has been shown yet"},
    {DISPLAY_E_QUEUE_FULL, "DISPLAY_E_QUEUE_FULL", "the display is busy; retry"},
    {DISPLAY_E_TIMEOUT, "DISPLAY_E_TIMEOUT", "the display did not answer in time; retry"},
    {DISPLAY_E_BUFFER_TOO_SMALL, "DISPLAY_E_BUFFER_TOO_SMALL", "the picture grew meanwhile; retry"},
    {DISPLAY_E_NO_VIEWPORTS, "DISPLAY_E_NO_VIEWPORTS", "the window is gone"},
    {DISPLAY_E_OUT_OF_MEMORY, "DISPLAY_E_OUT_OF_MEMORY", "not enough memory; close other programs and retry"},
    {SOUND_E_FAIL, "SOUND_E_FAIL", "the sound output failed; try --no-sound"},
    {SOUND_E_NOT_AVAILABLE, "SOUND_E_NOT_AVAILABLE", "no sound device; try --no-sound"},
    {SOUND_E_INVALID_VALUE, "SOUND_E_INVALID_VALUE", "a sound setting is out of range"},
    {SOUND_E_INVALID_OBJECT, "SOUND_E_INVALID_OBJECT", "please report it"},
    {SOUND_E_NULL_POINTER, "SOUND_E_NULL_POINTER", "please report it"},
    {SOUND_E_BAD_SIZE, "SOUND_E_BAD_SIZE", "use the library qvplay was built with"},
    {SOUND_E_BAD_FORMAT, "SOUND_E_BAD_FORMAT", "the sound device refuses the audio's format; try --no-sound"},
    {SOUND_E_BAD_VOLUME, "SOUND_E_BAD_VOLUME", "the volume is out of range"},
    {SOUND_E_BAD_SPEED, "SOUND_E_BAD_SPEED", "the speed is out of range for sound; try --no-sound"},
    {SOUND_E_NO_ROOM, "SOUND_E_NO_ROOM", "the sound buffer is full; retry"},
};

const ResultInfo *FindResult(int32_t rc) {
    for (const ResultInfo &info : kResults)
        if (info.rc == rc)
            return &info;
    return nullptr;
}

} // namespace

const char *ResultName(int32_t rc) {
    if (const ResultInfo *info = FindResult(rc))
        return info->pszName;
    // A code this build does not know: at least say whose it is.
    switch (static_cast<uint32_t>(rc) >> 16) {
    case 0x8AB1:
        return "container parser code";
    case 0x8AB2:
        return "OSD renderer code";
    case 0x8AB3:
        return "audio decoder code";
    case 0x8AB4:
        return "video decoder code";
    case 0x8AB5:
        return "player code";
    case 0x92A0:
        return "display code";
    case 0x92A1:
        return "sound output code";
    default:
        return "unknown code";
    }
}

const char *ResultHint(int32_t rc) {
    const ResultInfo *info = FindResult(rc);
    return info != nullptr && info->pszHint[0] != '\0' ? info->pszHint : "please report it with the file";
}

std::string DescribeResult(int32_t rc) {
    char text[64];
    std::snprintf(text, sizeof(text), "0x%08X (%s)", static_cast<unsigned>(rc), ResultName(rc));
    return text;
}

void PrintFailure(const char *what, int32_t rc) {
    std::fprintf(stderr, "qvplay: %s failed: %s: %s\n", what, DescribeResult(rc).c_str(), ResultHint(rc));
}

bool ParseTimeMs(const std::string &text, uint32_t *pMs) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    if (fields.size() > 3)
        return false;
    uint64_t ms = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string &f = fields[i];
        const bool bLast = i + 1 == fields.size();
        const size_t dot = bLast ? f.find('.') : std::string::npos;
        const std::string whole = f.substr(0, dot);
        const std::string fraction = dot == std::string::npos ? "" : f.substr(dot + 1);
        if (whole.empty() || whole.size() > 9 || (dot != std::string::npos && fraction.empty()) ||
            fraction.size() > 3)
            return false;
        for (const char c : whole + fraction)
            if (c < '0' || c > '9')
                return false;
        const uint64_t value = std::stoull(whole);
        if (i > 0 && (value > 59 || whole.size() != 2))
            return false;
        ms = ms * 60 + value;
        if (bLast) {
            uint64_t milli = fraction.empty() ? 0 : std::stoull(fraction);
            for (size_t k = fraction.size(); k < 3; ++k)
                milli *= 10;
            ms = ms * 1000 + milli;
        }
    }
    if (ms > 0xFFFFFFFFull)
        return false;
    *pMs = static_cast<uint32_t>(ms);
    return true;
}

CLI::Validator TimeValidator() {
    return CLI::Validator(
        [](std::string &text) {
            uint32_t ms = 0;
            return ParseTimeMs(text, &ms) ? std::string()
                                          : "'" + text +
                                                "' is not a time: use seconds (12.5), mm:ss[.mmm] or "
                                                "hh:mm:ss[.mmm]";
        },
        "TIME");
}

CLI::Validator Seconds() {
    return CLI::Validator(
        [](std::string &text) {
            char *end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool bNumber = !text.empty() && end != nullptr && *end == '\0';
            return bNumber && value > 0.0 && value < 1e9
                       ? std::string()
                       : "'" + text + "' is not a number of seconds above 0";
        },
        "SECONDS");
}

bool Utf8ToUtf16(const std::string &text, std::vector<QV_WCHAR> &out) {
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        uint32_t cp = 0;
        size_t extra = 0;
        uint32_t least = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            cp = lead & 0x1F, extra = 1, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            cp = lead & 0x0F, extra = 2, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            cp = lead & 0x07, extra = 3, least = 0x10000;
        } else {
            return false;
        }
        if (extra != 0 && i + extra >= text.size())
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp == 0 || (extra && cp < least) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<QV_WCHAR>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<QV_WCHAR>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<QV_WCHAR>(cp));
        }
        i += extra + 1;
    }
    out.push_back(0);
    return true;
}

std::string Utf16ToUtf8(const QV_WCHAR *text, size_t maxUnits) {
    std::string out;
    auto put = [&out](uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    };
    for (size_t i = 0; i < maxUnits && text[i] != 0; ++i) {
        const uint32_t unit = text[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < maxUnits && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            put(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            put(0xFFFD);
        } else {
            put(unit);
        }
    }
    return out;
}

std::string JsonString(const std::string &text) {
    std::string out = "\"";
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof(escape), "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

namespace {
volatile std::sig_atomic_t g_interrupted = 0;

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    g_interrupted = 1;
    return TRUE;
}
#else
void OnSignal(int) {
    g_interrupted = 1;
}
#endif
} // namespace

void CatchInterrupt() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
    struct sigaction action {};
    action.sa_handler = OnSignal;
    action.sa_flags = SA_RESTART; // reads and writes go on; the work loop looks at the flag
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool Interrupted() {
    return g_interrupted != 0;
}

bool StderrIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

const char *GenerationName(uint32_t generation) {
    switch (generation) {
    case DEMUX_GENERATION_V30:
        return "V30";
    case DEMUX_GENERATION_V20:
        return "V20";
    case DEMUX_GENERATION_6000:
        return "6000";
    case DEMUX_GENERATION_15:
        return "15";
    case DEMUX_GENERATION_V10:
        return "V10";
    default:
        return "unknown";
    }
}

const char *AudioCodecName(uint32_t codec) {
    switch (codec) {
    case DEMUX_CODEC_PCM8:
        return "8-bit PCM";
    case DEMUX_CODEC_G711_ALAW:
        return "G.711 A-law";
    case DEMUX_CODEC_G722:
        return "G.722";
    case DEMUX_CODEC_G726:
        return "G.726";
    default:
        return "unknown";
    }
}

std::string VideoCodecName(uint32_t codec) {
    if (codec == DEMUX_CODEC_H264)
        return "H.264";
    // Only H.264 has a software decoder; the others decode on NVIDIA
    // hardware at best.
    return "codec " + std::to_string(codec) +
           (codec >= 4 && codec <= 5 ? " (hardware decoder only)" : " (no decoder)");
}

bool IsVideoType(int32_t type) {
    return type >= DEMUX_FRAME_I && type <= DEMUX_FRAME_DROPPABLE;
}

int32_t QV_CALL OnIndexCompleted(PLAY_HANDLE, void *pContext) {
    IndexWait *wait = static_cast<IndexWait *>(pContext);
    std::lock_guard<std::mutex> guard(wait->lock);
    wait->bFired = true;
    wait->done.notify_all();
    return 0;
}

// Pulls one frame and counts it; false when no frame came (end or failure).
bool PullOne(const CFilePlayer &player, PullCounts &counts) {
    PLAY_FRAME *pFrame = nullptr;
    const int32_t rc = Play_GetDecodeFrame(player.Handle(), PLAY_PIXEL_FORMAT_DEFAULT, &pFrame);
    if (rc == PLAY_E_NO_FRAME) {
        counts.bEnded = true;
        return false;
    }
    if (rc != PLAY_OK || pFrame == nullptr) {
        ++counts.failedPulls;
        counts.lastFailure = rc;
        return false;
    }
    ++counts.frames;
    const FrameRecord *record = pFrame->pFrame;
    if (record != nullptr && IsVideoType(record->nType)) {
        if (counts.video == 0)
            counts.firstTimestamp = record->dwTimestamp;
        counts.lastTimestamp = record->dwTimestamp;
        if (record->nType == DEMUX_FRAME_I) {
            if (counts.keyFrames++ == 0)
                counts.firstKey = counts.video;
            counts.lastKey = counts.video;
        }
        ++counts.video;
        counts.videoCodec = record->dwCodec;
        counts.frameWidth = record->wWidth;
        counts.frameHeight = record->wHeight;
        const DecodedPicture &picture = pFrame->output.picture;
        if (picture.pBuffer != nullptr && picture.dwWidth != 0) {
            ++counts.pictures;
            counts.width = picture.dwWidth;
            counts.height = picture.dwHeight;
        }
    } else if (record != nullptr && record->nType == DEMUX_FRAME_AUDIO) {
        ++counts.audio;
        counts.audioCodec = record->dwCodec;
        counts.audioBlocks +=
            pFrame->output.audio.pBuffer != nullptr && pFrame->output.audio.dwBufferSize != 0;
    }
    const int32_t freed = Play_FreeDecodeFrame(player.Handle(), pFrame);
    if (freed != PLAY_OK) {
        ++counts.failedPulls;
        counts.lastFailure = freed;
    }
    return true;
}

std::string Bytes(uint64_t bytes) {
    char text[64];
    if (bytes >= 1024ull * 1024 * 1024)
        std::snprintf(text, sizeof(text), "%llu bytes (%.2f GiB)", static_cast<unsigned long long>(bytes),
                      double(bytes) / (1024.0 * 1024 * 1024));
    else if (bytes >= 1024 * 1024)
        std::snprintf(text, sizeof(text), "%llu bytes (%.2f MiB)", static_cast<unsigned long long>(bytes),
                      double(bytes) / (1024.0 * 1024));
    else
        std::snprintf(text, sizeof(text), "%llu bytes", static_cast<unsigned long long>(bytes));
    return text;
}

bool WriteWholeFile(const std::string &path, const std::vector<uint8_t> &bytes) {
#ifdef _WIN32
    std::vector<QV_WCHAR> wide;
    if (!Utf8ToUtf16(path, wide))
        return false;
    FILE *pFile = _wfopen(reinterpret_cast<const wchar_t *>(wide.data()), L"wb");
#else
    FILE *pFile = std::fopen(path.c_str(), "wb");
#endif
    if (pFile == nullptr)
        return false;
    const bool bWritten = bytes.empty() || std::fwrite(bytes.data(), bytes.size(), 1, pFile) == 1;
    const bool bClosed = std::fclose(pFile) == 0;
    if (!(bWritten && bClosed)) {
        // No half a file left behind.
#ifdef _WIN32
        _wremove(reinterpret_cast<const wchar_t *>(wide.data()));
#else
        std::remove(path.c_str());
#endif
    }
    return bWritten && bClosed;
}

int32_t WriteSnapshot(PLAY_HANDLE hPlay, const std::string &path) {
    PLAY_SNAPSHOT snapshot{};
    snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    int32_t rc = Play_SnapPicture(hPlay, &snapshot);
    if (rc != PLAY_OK)
        return rc;
    // The file in one buffer: 14 bytes of file header, the 40-byte info
    // header, then the rows the library writes straight into place.
    constexpr uint32_t kOffset = 14 + sizeof(BITMAPINFOHEADER);
    std::vector<uint8_t> bytes(kOffset + snapshot.dwBufferSize);
    snapshot.pBuffer = bytes.data() + kOffset;
    rc = Play_SnapPicture(hPlay, &snapshot);
    if (rc != PLAY_OK)
        return rc;
    const uint32_t total = static_cast<uint32_t>(bytes.size());
    bytes[0] = 'B';
    bytes[1] = 'M';
    for (int i = 0; i < 4; ++i) {
        bytes[2 + i] = static_cast<uint8_t>(total >> (8 * i));
        bytes[10 + i] = static_cast<uint8_t>(kOffset >> (8 * i));
    }
    BITMAPINFOHEADER header = snapshot.bmiHeader;
    header.biSizeImage = snapshot.dwBufferSize;
    std::memcpy(bytes.data() + 14, &header, sizeof(header));
    // Through the UTF-8 file writer: any name works on Windows too.
    return WriteWholeFile(path, bytes) ? PLAY_OK : PLAY_E_FILE_OPEN;
}

std::string MinutesSeconds(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%u:%02u", ms / 60000, (ms / 1000) % 60);
    return text;
}

} // namespace qvplay
