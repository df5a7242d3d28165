// Helpers of the decoder tests: the committed clips, ffmpeg's reference
// checksums, cutting a stream into pieces, and checksums of the decoders'
// pictures in the layout of the references (Y, then Cb, then Cr).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <qvvdec.h>

#include "md5.h"
#include "vdec/vdec.h"

namespace vdectest {

constexpr const char *kHighCabac = "h264_704x576_high_cabac.264";
constexpr const char *kBaseline = "h264_352x288_baseline_cavlc.264";
constexpr const char *k1080 = "h264_1920x1080_high.264";
constexpr const char *kField = "h264_704x288_field.264";
constexpr const char *kGop50 = "h264_1920x1080_gop50.264";
// Sizes coded with more rows than they show (368 and 544), and one beyond
// the hardware decoder's limit; all with B frames.
constexpr const char *k360 = "h264_640x360_main.264";
constexpr const char *k540 = "h264_960x540_high.264";
constexpr const char *k1944 = "h264_2592x1944_high.264";
// 736 x 384 coded, shown as 640 x 360 from column 64, row 20.
constexpr const char *kWindow = "h264_640x360_window.264";

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

// Checksum of a packed picture in the references' plane order. rowStep 2
// takes only the even rows of every plane: the field rows of a picture the
// field step doubled.
inline std::string PictureMd5(const uint8_t *buffer, uint32_t fourcc, uint32_t width, uint32_t height,
                              uint32_t rowStep = 1) {
    qvtest::CMd5 md5;
    const size_t cw = width / 2, ch = height / 2;
    const size_t luma = size_t(width) * height;
    const size_t chroma = cw * ch;
    for (size_t y = 0; y < height; y += rowStep)
        md5.Update(buffer + y * width, width);
    if (fourcc == VDEC_FOURCC_YV12) {
        for (const uint8_t *plane : {buffer + luma + chroma, buffer + luma}) // Cb is the second plane
            for (size_t y = 0; y < ch; y += rowStep)
                md5.Update(plane + y * cw, cw);
    } else if (fourcc == VDEC_FOURCC_NV12) {
        std::vector<uint8_t> u, v;
        for (size_t y = 0; y < ch; y += rowStep) {
            const uint8_t *row = buffer + luma + y * width;
            for (size_t x = 0; x < cw; ++x) {
                u.push_back(row[2 * x]);
                v.push_back(row[2 * x + 1]);
            }
        }
        md5.Update(u.data(), u.size());
        md5.Update(v.data(), v.size());
    }
    return md5.Finish();
}

// ---- Display order, read from the stream itself ----

// Bits of a NAL unit's payload, emulation-prevention bytes removed; reads
// past the end give zeros and set Over().
class CBitReader {
public:
    CBitReader(const uint8_t *data, size_t size) {
        size_t zeros = 0;
        for (size_t i = 0; i < size; ++i) {
            if (zeros >= 2 && data[i] == 3) {
                zeros = 0;
                continue;
            }
            zeros = data[i] == 0 ? zeros + 1 : 0;
            m_bytes.push_back(data[i]);
        }
    }
    uint32_t Bits(int count) {
        uint32_t value = 0;
        for (int i = 0; i < count; ++i, ++m_bit) {
            const size_t byte = m_bit / 8;
            m_bOver = m_bOver || byte >= m_bytes.size();
            const uint32_t bit = byte < m_bytes.size() ? (m_bytes[byte] >> (7 - m_bit % 8)) & 1 : 0;
            value = value << 1 | bit;
        }
        return value;
    }
    uint32_t Ue() {
        int zeros = 0;
        while (Bits(1) == 0 && !m_bOver && zeros < 32)
            ++zeros;
        return zeros >= 32 ? 0 : (1u << zeros) - 1 + Bits(zeros);
    }
    int32_t Se() {
        const uint32_t k = Ue();
        return k & 1 ? int32_t((k + 1) / 2) : -int32_t(k / 2);
    }
    bool Over() const { return m_bOver; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_bit = 0;
    bool m_bOver = false;
};

// For each position in display order, the decode-order index of the access
// unit shown there, worked out from the picture order counts of the slice
// headers (H.264 8.2.1, order count types 0 and 2; type 1 and memory
// management operation 5 are not used by our clips). An IDR ends the
// pictures before it. Empty when the stream cannot be read that way.
inline std::vector<size_t> DisplayOrder(const std::vector<std::vector<uint8_t>> &units) {
    struct Sps {
        uint32_t log2MaxFrameNum = 0, pocType = 0, log2MaxPocLsb = 0;
        bool frameMbsOnly = true, separatePlanes = false;
    };
    std::map<uint32_t, Sps> spss;
    std::map<uint32_t, uint32_t> ppsToSps;
    std::vector<std::tuple<size_t, int64_t, size_t>> keys; // period, order count, unit
    size_t period = 0;
    int64_t prevMsb = 0, prevLsb = 0;
    for (size_t index = 0; index < units.size(); ++index) {
        const std::vector<uint8_t> &unit = units[index];
        bool found = false;
        for (auto [offset, size] : Pieces(unit, Split::kNalByNal)) {
            size_t header = offset;
            while (header < offset + size && unit[header] == 0)
                ++header;
            if (header + 2 > offset + size || unit[header] != 1)
                continue;
            ++header; // past the start code's 1
            const uint8_t type = unit[header] & 0x1F;
            const uint8_t refIdc = (unit[header] >> 5) & 3;
            CBitReader bits(unit.data() + header + 1, offset + size - header - 1);
            if (type == 7) {
                Sps sps;
                const uint32_t profile = bits.Bits(8);
                bits.Bits(16); // constraint flags, level
                const uint32_t id = bits.Ue();
                const uint32_t high[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
                if (std::find(std::begin(high), std::end(high), profile) != std::end(high)) {
                    const uint32_t chromaFormat = bits.Ue();
                    if (chromaFormat == 3)
                        sps.separatePlanes = bits.Bits(1) != 0;
                    bits.Ue(); // bit depths
                    bits.Ue();
                    bits.Bits(1);
                    if (bits.Bits(1)) { // scaling matrices: skipped list by list
                        for (int i = 0; i < (chromaFormat != 3 ? 8 : 12); ++i) {
                            if (!bits.Bits(1))
                                continue;
                            int last = 8, next = 8;
                            for (int j = 0; j < (i < 6 ? 16 : 64); ++j) {
                                if (next != 0)
                                    next = (last + bits.Se() + 256) % 256;
                                last = next == 0 ? last : next;
                            }
                        }
                    }
                }
                sps.log2MaxFrameNum = bits.Ue() + 4;
                sps.pocType = bits.Ue();
                if (sps.pocType == 0)
                    sps.log2MaxPocLsb = bits.Ue() + 4;
                else if (sps.pocType != 2)
                    return {};
                bits.Ue(); // reference frames
                bits.Bits(1);
                bits.Ue(); // size in macroblocks
                bits.Ue();
                sps.frameMbsOnly = bits.Bits(1) != 0;
                if (bits.Over())
                    return {};
                spss[id] = sps;
            } else if (type == 8) {
                const uint32_t id = bits.Ue();
                ppsToSps[id] = bits.Ue();
            } else if ((type == 1 || type == 5) && !found) {
                found = true;
                bits.Ue(); // first macroblock
                bits.Ue(); // slice type
                auto pps = ppsToSps.find(bits.Ue());
                if (pps == ppsToSps.end() || !spss.count(pps->second))
                    return {};
                const Sps &sps = spss[pps->second];
                if (sps.separatePlanes)
                    bits.Bits(2);
                bits.Bits(int(sps.log2MaxFrameNum));
                if (!sps.frameMbsOnly && bits.Bits(1))
                    bits.Bits(1); // a field: bottom or top
                if (type == 5) {
                    bits.Ue(); // IDR id
                    if (index > 0)
                        ++period;
                    prevMsb = prevLsb = 0;
                }
                int64_t count = int64_t(index); // type 2: decode order is display order
                if (sps.pocType == 0) {
                    const int64_t max = int64_t(1) << sps.log2MaxPocLsb;
                    const int64_t lsb = bits.Bits(int(sps.log2MaxPocLsb));
                    int64_t msb = prevMsb;
                    if (lsb < prevLsb && prevLsb - lsb >= max / 2)
                        msb += max;
                    else if (lsb > prevLsb && lsb - prevLsb > max / 2)
                        msb -= max;
                    count = msb + lsb;
                    if (refIdc != 0) {
                        prevMsb = msb;
                        prevLsb = lsb;
                    }
                }
                if (bits.Over())
                    return {};
                keys.emplace_back(period, count, index);
            }
        }
        if (!found)
            return {};
    }
    std::sort(keys.begin(), keys.end());
    std::vector<size_t> order;
    for (const auto &key : keys)
        order.push_back(std::get<2>(key));
    return order;
}

// ---- Tagged decoding ----

// How a clip is handed to a decoder: whole access units with the promise of
// whole frames, whole access units through the parser, or NAL units one at a
// time (each with its access unit's tag).
enum class Feed { kWholeFrames, kUnits, kNals };

inline const char *FeedName(Feed feed) {
    switch (feed) {
    case Feed::kWholeFrames:
        return "WholeFrames";
    case Feed::kUnits:
        return "Units";
    case Feed::kNals:
        return "Nals";
    }
    return "?";
}

// Distinct in both halves, so that a lost high word shows.
inline uint64_t FrameTag(uint64_t base, size_t frame) {
    return base + uint64_t(frame) * 0x100000001ull;
}

struct TaggedRun {
    std::vector<std::string> md5s; // in the order the pictures came
    std::vector<uint64_t> tags;
    size_t drained = 0; // pictures that came from the drain
    uint32_t dwFourCC = 0, dwWidth = 0, dwHeight = 0;
    std::vector<std::string> unexpected; // calls that gave neither a picture nor "no picture"
};

// One call of the player's two-call pattern (size query, buffer of that
// size, the real call) for a decode or a drain step; false when no picture
// came.
template <class TCall>
bool TakeTagged(TCall call, uint32_t rowStep, std::vector<uint8_t> &buffer, TaggedRun &run,
                const char *what) {
    DecodedPicture picture{};
    picture.dwSize = VDEC_PICTURE_SIZE;
    uint64_t tag = 0x5A5A5A5A5A5A5A5Aull;
    int32_t result = call(&picture, &tag);
    if (result != VDEC_OK || picture.dwBufferSize == 0 || tag != 0x5A5A5A5A5A5A5A5Aull) {
        run.unexpected.push_back(std::string(what) + " size query");
        return false;
    }
    buffer.assign(picture.dwBufferSize, 0);
    picture.pBuffer = buffer.data();
    result = call(&picture, &tag);
    if (result == VDEC_E_NO_PICTURE)
        return false;
    if (result != VDEC_OK) {
        run.unexpected.push_back(std::string(what) + " result " + std::to_string(result));
        return false;
    }
    run.dwFourCC = picture.dwFourCC;
    run.dwWidth = picture.dwWidth;
    run.dwHeight = picture.dwHeight;
    run.md5s.push_back(
        PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight, rowStep));
    run.tags.push_back(tag);
    return true;
}

// The clip through Vdec_DecodeTagged, frame i tagged FrameTag(base, i), then
// Vdec_Drain until no picture is left.
inline TaggedRun DecodeTaggedClip(CBaseVideoCodec *decoder, const std::vector<std::vector<uint8_t>> &units,
                                  Feed feed, uint64_t base, uint32_t rowStep = 1) {
    TaggedRun run;
    std::vector<uint8_t> buffer;
    Vdec_SetWholeFrames(decoder, feed == Feed::kWholeFrames);
    for (size_t i = 0; i < units.size(); ++i) {
        std::vector<std::pair<size_t, size_t>> pieces{{0, units[i].size()}};
        if (feed == Feed::kNals)
            pieces = Pieces(units[i], Split::kNalByNal);
        for (auto [offset, size] : pieces) {
            const uint8_t *data = units[i].data() + offset;
            TakeTagged(
                [&](DecodedPicture *picture, uint64_t *tag) {
                    return Vdec_DecodeTagged(decoder, data, uint32_t(size), FrameTag(base, i), picture, tag);
                },
                rowStep, buffer, run, "decode");
        }
    }
    // Bounded: a drain that never ends is a fault, not a hang.
    for (size_t k = 0; k <= units.size(); ++k) {
        if (!TakeTagged(
                [&](DecodedPicture *picture, uint64_t *tag) { return Vdec_Drain(decoder, picture, tag); },
                rowStep, buffer, run, "drain"))
            break;
        ++run.drained;
    }
    return run;
}

// Every picture of the clip came out, in ffmpeg's display order, each with
// the tag of the frame that carries it (the access unit at that display
// position), each tag exactly once.
inline void ExpectTaggedRun(const TaggedRun &run, const Reference &ref, const std::vector<size_t> &order,
                            uint64_t base) {
    EXPECT_TRUE(run.unexpected.empty()) << run.unexpected.front();
    EXPECT_EQ(run.md5s, ref.md5s);
    std::vector<uint64_t> expected;
    for (size_t frame : order)
        expected.push_back(FrameTag(base, frame));
    EXPECT_EQ(run.tags, expected);
    std::set<uint64_t> given, returned(run.tags.begin(), run.tags.end());
    for (size_t i = 0; i < order.size(); ++i)
        given.insert(FrameTag(base, i));
    EXPECT_EQ(returned.size(), run.tags.size()) << "a tag came twice";
    EXPECT_EQ(returned, given);
}

// A clip through a decoder of width x height, tagged frame by frame, then
// drained: with expected VDEC_OK every picture is ffmpeg's at the reference
// size; otherwise none comes out (VDEC_E_FAIL: each is refused) and the
// buffer is untouched. Nothing is ever written beyond the size asked for.
inline void ExpectSizeCase(CBaseVideoCodec *decoder, const std::vector<std::vector<uint8_t>> &units,
                           const Reference &ref, uint32_t width, uint32_t height, int32_t expected) {
    const size_t needed = size_t(width) * height * 3 / 2;
    std::vector<uint8_t> buffer(needed + 16, 0xC3);
    std::vector<std::string> md5s;
    std::map<int32_t, size_t> results; // of the calls that had a picture
    DecodedPicture picture{};
    auto record = [&](int32_t result) {
        if (result == VDEC_E_NO_PICTURE)
            return false;
        ++results[result];
        if (result == VDEC_OK) {
            EXPECT_EQ(picture.dwWidth, ref.dwWidth);
            EXPECT_EQ(picture.dwHeight, ref.dwHeight);
            md5s.push_back(PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight));
        }
        return true;
    };
    uint64_t tag = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        picture = DecodedPicture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(needed), {0, 0}};
        record(Vdec_DecodeTagged(decoder, units[i].data(), uint32_t(units[i].size()), i, &picture, &tag));
    }
    for (size_t k = 0; k <= units.size(); ++k) {
        picture = DecodedPicture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(needed), {0, 0}};
        if (!record(Vdec_Drain(decoder, &picture, &tag)))
            break;
    }
    if (expected == VDEC_OK) {
        EXPECT_EQ(md5s, ref.md5s);
        EXPECT_EQ(results.size(), 1u);
    } else {
        EXPECT_TRUE(md5s.empty());
        EXPECT_EQ(results.count(VDEC_OK), 0u);
        if (expected == VDEC_E_FAIL)
            EXPECT_EQ(results[VDEC_E_FAIL], ref.md5s.size()) << "every picture refused";
        else
            EXPECT_TRUE(results.empty());
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xC3), std::ptrdiff_t(buffer.size()));
    }
    EXPECT_EQ(buffer.back(), 0xC3) << "nothing beyond the size asked for";
}

} // namespace vdectest
