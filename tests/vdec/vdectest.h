// Helpers of the decoder tests: the committed clips, ffmpeg's reference
// checksums, cutting a stream into pieces, and checksums of the decoders'
// pictures in the layout of the references (Y, then Cb, then Cr).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <qvvdec.h>

#include "md5.h"

namespace vdectest {

constexpr const char *kHighCabac = "h264_704x576_high_cabac.264";
constexpr const char *kBaseline = "h264_352x288_baseline_cavlc.264";
constexpr const char *k1080 = "h264_1920x1080_high.264";
constexpr const char *kField = "h264_704x288_field.264";

// A path on the build machine as this program sees it (under wine the
// machine's file system is drive Z:).
inline std::string HostPath(const std::string &path) {
#ifdef _WIN32
    std::string out = path;
    if (!out.empty() && out[0] == '/')
        out = "Z:" + out;
    for (char &c : out)
        if (c == '/')
            c = '\\';
    return out;
#else
    return path;
#endif
}

inline std::vector<uint8_t> ReadSample(const std::string &name) {
    std::vector<uint8_t> bytes;
    FILE *file = std::fopen(HostPath(std::string(QV_SAMPLES_DIR) + "/" + name).c_str(), "rb");
    if (!file)
        return bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    std::fclose(file);
    return bytes;
}

struct Reference {
    uint32_t dwWidth = 0; // display size
    uint32_t dwHeight = 0;
    std::vector<std::string> md5s;
};

// "<clip>.framemd5": the "#dimensions 0: WxH" line and the last field of
// every data line.
inline Reference ReadReference(const std::string &clip) {
    Reference ref;
    FILE *file = std::fopen(HostPath(std::string(QV_SAMPLES_DIR) + "/" + clip + ".framemd5").c_str(), "r");
    if (!file)
        return ref;
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
        unsigned w, h;
        if (std::sscanf(line, "#dimensions 0: %ux%u", &w, &h) == 2) {
            ref.dwWidth = w;
            ref.dwHeight = h;
            continue;
        }
        if (line[0] == '#')
            continue;
        std::string text(line);
        size_t comma = text.rfind(',');
        if (comma == std::string::npos)
            continue;
        std::string md5 = text.substr(comma + 1);
        md5.erase(0, md5.find_first_not_of(" \t"));
        md5.erase(md5.find_last_not_of(" \t\r\n") + 1);
        ref.md5s.push_back(md5);
    }
    std::fclose(file);
    return ref;
}

enum class Split { kWhole, kNalByNal, kBytes };

inline const char *SplitName(Split split) {
    switch (split) {
    case Split::kWhole:
        return "Whole";
    case Split::kNalByNal:
        return "NalByNal";
    case Split::kBytes:
        return "Bytes";
    }
    return "?";
}

// Offsets and lengths of the pieces: one, one per NAL unit (each starting at
// its start code), or single bytes.
inline std::vector<std::pair<size_t, size_t>> Pieces(const std::vector<uint8_t> &stream, Split split) {
    std::vector<std::pair<size_t, size_t>> pieces;
    if (split == Split::kWhole) {
        pieces.push_back({0, stream.size()});
    } else if (split == Split::kBytes) {
        for (size_t i = 0; i < stream.size(); ++i)
            pieces.push_back({i, 1});
    } else {
        std::vector<size_t> starts;
        for (size_t i = 0; i + 3 <= stream.size(); ++i) {
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
                starts.push_back(i > 0 && stream[i - 1] == 0 ? i - 1 : i);
                i += 2;
            }
        }
        if (starts.empty() || starts[0] != 0)
            starts.insert(starts.begin(), 0);
        for (size_t k = 0; k < starts.size(); ++k) {
            size_t end = k + 1 < starts.size() ? starts[k + 1] : stream.size();
            pieces.push_back({starts[k], end - starts[k]});
        }
    }
    return pieces;
}

// Access units of a clip (single-slice pictures): a unit ends before the next
// parameter set, SEI, delimiter or slice once it holds a slice.
inline std::vector<std::vector<uint8_t>> AccessUnits(const std::vector<uint8_t> &stream) {
    std::vector<std::vector<uint8_t>> units;
    std::vector<uint8_t> unit;
    bool hasSlice = false;
    for (auto [offset, size] : Pieces(stream, Split::kNalByNal)) {
        size_t header = offset;
        while (header < offset + size && stream[header] == 0)
            ++header;
        const uint8_t type = header + 1 < offset + size ? stream[header + 1] & 0x1F : 0;
        const bool slice = type == 1 || type == 5;
        if (hasSlice && (slice || (type >= 6 && type <= 9))) {
            units.push_back(unit);
            unit.clear();
            hasSlice = false;
        }
        unit.insert(unit.end(), stream.begin() + offset, stream.begin() + offset + size);
        hasSlice = hasSlice || slice;
    }
    if (!unit.empty())
        units.push_back(unit);
    return units;
}

// Checksum of a packed picture in the references' plane order.
inline std::string PictureMd5(const uint8_t *buffer, uint32_t fourcc, uint32_t width, uint32_t height) {
    qvtest::CMd5 md5;
    const size_t luma = size_t(width) * height;
    const size_t chroma = size_t(width / 2) * (height / 2);
    md5.Update(buffer, luma);
    if (fourcc == VDEC_FOURCC_YV12) {
        md5.Update(buffer + luma + chroma, chroma); // Cb is the second plane
        md5.Update(buffer + luma, chroma);
    } else if (fourcc == VDEC_FOURCC_NV12) {
        std::vector<uint8_t> u(chroma), v(chroma);
        for (size_t i = 0; i < chroma; ++i) {
            u[i] = buffer[luma + 2 * i];
            v[i] = buffer[luma + 2 * i + 1];
        }
        md5.Update(u.data(), chroma);
        md5.Update(v.data(), chroma);
    }
    return md5.Finish();
}

} // namespace vdectest
