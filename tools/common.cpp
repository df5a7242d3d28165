// qvplay's shared pieces.
#include "common.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstring>

namespace qvplay {

const char *ResultName(int32_t rc) {
    switch (rc) {
    case PLAY_OK:
        return "ok";
    case PLAY_E_FAIL:
        return "PLAY_E_FAIL";
    case PLAY_E_NOT_SUPPORTED:
        return "PLAY_E_NOT_SUPPORTED";
    case PLAY_E_INVALID_VALUE:
        return "PLAY_E_INVALID_VALUE";
    case PLAY_E_INVALID_HANDLE:
        return "PLAY_E_INVALID_HANDLE";
    case PLAY_E_NULL_POINTER:
        return "PLAY_E_NULL_POINTER";
    case PLAY_E_BAD_SIZE:
        return "PLAY_E_BAD_SIZE";
    case PLAY_E_BAD_PIXEL_FORMAT:
        return "PLAY_E_BAD_PIXEL_FORMAT";
    case PLAY_E_BUFFER_TOO_SMALL:
        return "PLAY_E_BUFFER_TOO_SMALL";
    case PLAY_E_FILE_OPEN:
        return "PLAY_E_FILE_OPEN";
    case PLAY_E_OUT_OF_MEMORY:
        return "PLAY_E_OUT_OF_MEMORY";
    case PLAY_E_NO_FRAME:
        return "PLAY_E_NO_FRAME";
    case PLAY_E_BUFFER_FULL:
        return "PLAY_E_BUFFER_FULL";
    case PLAY_E_NOT_READY:
        return "PLAY_E_NOT_READY";
    case PLAY_E_INDEX_NOT_READY:
        return "PLAY_E_INDEX_NOT_READY";
    case PLAY_E_NOT_FOUND:
        return "PLAY_E_NOT_FOUND";
    default:
        break;
    }
    switch (static_cast<uint32_t>(rc) >> 16) {
    case 0x8AB1:
        return "container parser";
    case 0x8AB2:
        return "OSD renderer";
    case 0x8AB3:
        return "audio decoder";
    case 0x8AB4:
        return "video decoder";
    case 0x92A0:
        return "display";
    case 0x92A1:
        return "sound output";
    default:
        return "unknown";
    }
}

void PrintFailure(const char *what, int32_t rc) {
    std::fprintf(stderr, "qvplay: %s failed: 0x%08X (%s)\n", what, static_cast<unsigned>(rc), ResultName(rc));
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

int32_t WriteSnapshot(PLAY_HANDLE hPlay, const std::string &path) {
    PLAY_SNAPSHOT snapshot{};
    snapshot.dwSize = PLAY_SNAPSHOT_SIZE;
    int32_t rc = Play_SnapPicture(hPlay, &snapshot);
    if (rc != PLAY_OK)
        return rc;
    std::vector<uint8_t> pixels(snapshot.dwBufferSize);
    snapshot.pBuffer = pixels.data();
    rc = Play_SnapPicture(hPlay, &snapshot);
    if (rc != PLAY_OK)
        return rc;
    uint8_t fileHeader[14] = {'B', 'M'};
    const uint32_t offset = sizeof(fileHeader) + sizeof(BITMAPINFOHEADER);
    const uint32_t total = offset + static_cast<uint32_t>(pixels.size());
    for (int i = 0; i < 4; ++i) {
        fileHeader[2 + i] = static_cast<uint8_t>(total >> (8 * i));
        fileHeader[10 + i] = static_cast<uint8_t>(offset >> (8 * i));
    }
    BITMAPINFOHEADER header = snapshot.bmiHeader;
    header.biSizeImage = static_cast<uint32_t>(pixels.size());
    FILE *pFile = std::fopen(path.c_str(), "wb");
    if (pFile == nullptr)
        return PLAY_E_FILE_OPEN;
    const bool bOk = std::fwrite(fileHeader, sizeof(fileHeader), 1, pFile) == 1 &&
                     std::fwrite(&header, sizeof(header), 1, pFile) == 1 &&
                     std::fwrite(pixels.data(), pixels.size(), 1, pFile) == 1;
    return std::fclose(pFile) == 0 && bOk ? PLAY_OK : PLAY_E_FAIL;
}

std::string MinutesSeconds(uint32_t ms) {
    char text[32];
    std::snprintf(text, sizeof(text), "%u:%02u", ms / 60000, (ms / 1000) % 60);
    return text;
}

} // namespace qvplay
