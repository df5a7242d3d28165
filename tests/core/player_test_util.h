// Helpers shared by the player tests: recordings from the fixture writers,
// stream players created through the core API, attribute and control calls.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../vdec/md5.h"
#include "core/baseplaymode.h"
#include "core/displaylink.h"
#include "core/playapi.h"
#include "core/streammode.h"
#include "fixtures/fixtures.h"
#include "vdec/vdec.h"

namespace playtest {

// An on-screen-display renderer that draws nothing, so that pictures stay
// as the decoder made them (plain_pictures.cpp installs it for this program).
inline const OsdRendererLink &PlainPicturesLink() {
    static int s_renderer;
    static const OsdRendererLink link = {
        [](const OSD_SETTING *, void **ppRenderer) {
            *ppRenderer = &s_renderer;
            return int32_t(OSD_OK);
        },
        [](void *) {},
        [](void *, const FrameRecord *, DecodedPicture *) { return int32_t(OSD_OK); },
        [](void *, OSD_STATUS *pStatus) {
            std::memset(pStatus, 0, sizeof(*pStatus));
            pStatus->dwSize = OSD_STATUS_SIZE;
            return int32_t(OSD_OK);
        },
    };
    return link;
}
inline void UsePlainPictures() {
    SetOsdRendererLink(&PlainPicturesLink());
}
// The library's own renderer, for the tests of what it draws.
inline void UseSystemOsd() {
    SetOsdRendererLink(nullptr);
}

// Bytes of the V30 file header that the writer puts first: the header block
// a live stream player is created from.
constexpr uint32_t kV30HeaderSize = 256;

struct Recording {
    std::vector<uint8_t> bytes;
    std::vector<FixtureFrame> frames; // every frame written, audio included
};

inline Recording MakeV30(const V30Options &options) {
    Recording r;
    r.bytes = WriteV30(options, &r.frames);
    return r;
}

// A V30 recording of the 704x576 clip without audio, repeated to count
// video frames (key frames every 25).
inline Recording MakeVideoOnly(uint32_t count, const char *sample = "h264_704x576_high_cabac.264",
                               uint16_t width = 704, uint16_t height = 576) {
    V30Options o;
    o.videoSample = sample;
    o.wWidth = width;
    o.wHeight = height;
    o.dwVideoFrames = count;
    o.dwAudioCodec = 0;
    return MakeV30(o);
}

inline PLAY_CREATE_PARAM StreamParam(const void *pSource, uint32_t dwSize, uint32_t dwExtension = 0) {
    PLAY_CREATE_PARAM p{};
    p.dwSize = PLAY_CREATE_PARAM_SIZE;
    p.dwExtensionSize = dwExtension;
    p.dwType = PLAY_MODE_STREAM;
    p.pSource = pSource;
    p.dwSourceSize = dwSize;
    return p;
}

// Releases the player at the end of a scope unless released before.
// MD5 of a decoded picture as I420 (ffmpeg's yuv420p order: Y, U, V), from
// YV12 or I420 planes or NV12's interleaved chroma.
inline std::string PictureMd5(const DecodedPicture &pic) {
    const size_t w = pic.dwWidth, h = pic.dwHeight;
    const size_t luma = w * h, chroma = (w / 2) * (h / 2);
    const uint8_t *y = pic.pBuffer;
    const uint8_t *first = y + luma;
    const uint8_t *second = first + chroma;
    qvtest::CMd5 md5;
    md5.Update(y, luma);
    if (pic.dwFourCC == VDEC_FOURCC_NV12) {
        std::vector<uint8_t> u(chroma), v(chroma);
        for (size_t i = 0; i < chroma; ++i) {
            u[i] = first[2 * i];
            v[i] = first[2 * i + 1];
        }
        md5.Update(u.data(), chroma);
        md5.Update(v.data(), chroma);
        return md5.Finish();
    }
    const bool yv12 = pic.dwFourCC == VDEC_FOURCC_YV12;
    md5.Update(yv12 ? second : first, chroma);
    md5.Update(yv12 ? first : second, chroma);
    return md5.Finish();
}

// The picture of every frame of a clip, by the library's own decoder with a
// tag per frame (the decoder tests check it against ffmpeg): md5[i] is the
// picture of the clip's i-th frame in decoding order, and order lists the
// frames in the order their pictures come out (display order). A recording
// stores frames in decoding order, so with B frames a player shows its
// frames in this order.
struct ClipPictures {
    std::vector<std::string> md5;
    std::vector<uint32_t> order;
};

inline ClipPictures ClipPicturesByFrame(const char *clip, uint32_t width, uint32_t height) {
    ClipPictures out;
    const std::vector<std::vector<uint8_t>> units = LoadAccessUnits(clip);
    VideoDecoderParam param{};
    param.dwSize = VDEC_PARAM_SIZE;
    param.dwCodec = DEMUX_CODEC_H264;
    param.dwWidth = width;
    param.dwHeight = height;
    CBaseVideoCodec *pDecoder = nullptr;
    if (units.empty() || Vdec_Create(&pDecoder, &param) < 0)
        return out;
    Vdec_SetWholeFrames(pDecoder, true);
    out.md5.resize(units.size());
    std::vector<uint8_t> buffer(size_t(width) * height * 3);
    auto take = [&](int32_t nResult, uint64_t qwTag, const DecodedPicture &pic) {
        if (nResult < 0 || qwTag >= units.size())
            return false;
        out.md5[qwTag] = PictureMd5(pic);
        out.order.push_back(uint32_t(qwTag));
        return true;
    };
    for (size_t i = 0; i < units.size(); ++i) {
        DecodedPicture pic{};
        pic.dwSize = VDEC_PICTURE_SIZE;
        pic.pBuffer = buffer.data();
        pic.dwBufferSize = uint32_t(buffer.size());
        uint64_t qwTag = 0;
        const int32_t nResult =
            Vdec_DecodeTagged(pDecoder, units[i].data(), uint32_t(units[i].size()), i, &pic, &qwTag);
        take(nResult, qwTag, pic);
    }
    for (;;) {
        DecodedPicture pic{};
        pic.dwSize = VDEC_PICTURE_SIZE;
        pic.pBuffer = buffer.data();
        pic.dwBufferSize = uint32_t(buffer.size());
        uint64_t qwTag = 0;
        const int32_t nResult = Vdec_Drain(pDecoder, &pic, &qwTag);
        if (!take(nResult, qwTag, pic))
            break;
    }
    Vdec_Destroy(pDecoder);
    return out;
}

class CPlayer {
public:
    CPlayer() = default;
    explicit CPlayer(PLAY_HANDLE h) : m_h(h) {}
    ~CPlayer() { Reset(); }
    CPlayer(const CPlayer &) = delete;
    CPlayer &operator=(const CPlayer &) = delete;
    void Reset() {
        if (m_h) {
            EXPECT_EQ(PlayApi_Release(m_h), PLAY_OK);
        }
        m_h = nullptr;
    }
    PLAY_HANDLE Detach() {
        PLAY_HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    PLAY_HANDLE Get() const { return m_h; }
    PLAY_HANDLE *Out() { return &m_h; }
    CStreamMode *Mode() const { return static_cast<CStreamMode *>(reinterpret_cast<CBasePlayMode *>(m_h)); }
    explicit operator bool() const { return m_h != nullptr; }

private:
    PLAY_HANDLE m_h = nullptr;
};

// A stream player from the first kV30HeaderSize bytes of a recording.
inline int32_t OpenStream(CPlayer &player, const std::vector<uint8_t> &bytes, uint32_t dwExtension = 0) {
    PLAY_CREATE_PARAM p = StreamParam(bytes.data(), kV30HeaderSize, dwExtension);
    return PlayApi_CreateW(player.Out(), &p);
}

inline uint32_t AttrU32(PLAY_HANDLE h, uint32_t code) {
    uint32_t v = 0xDEADBEEF, size = 4;
    EXPECT_EQ(PlayApi_GetAttribute(h, code, &v, &size), PLAY_OK) << "attribute " << code;
    return v;
}

inline float AttrFloat(PLAY_HANDLE h, uint32_t code) {
    float v = -1.0f;
    uint32_t size = 4;
    EXPECT_EQ(PlayApi_GetAttribute(h, code, &v, &size), PLAY_OK) << "attribute " << code;
    return v;
}

inline uint64_t AttrU64(PLAY_HANDLE h, uint32_t code) {
    uint64_t v = 0;
    uint32_t size = 8;
    EXPECT_EQ(PlayApi_GetAttribute(h, code, &v, &size), PLAY_OK) << "attribute " << code;
    return v;
}

inline int32_t SetU32(PLAY_HANDLE h, uint32_t code, uint32_t value) {
    return PlayApi_SetControl(h, code, &value, sizeof(value));
}

inline int32_t SetFloat(PLAY_HANDLE h, uint32_t code, float value) {
    return PlayApi_SetControl(h, code, &value, sizeof(value));
}

inline int32_t Action(PLAY_HANDLE h, uint32_t action) {
    return SetU32(h, PLAY_CONTROL_ACTION, action);
}

// Feeds bytes [from, to) in one block per frame boundary given (each frame
// of the recording whose header starts at or after from).
inline std::vector<std::vector<uint8_t>> FrameBlocks(const Recording &r, size_t from = kV30HeaderSize) {
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<size_t> cuts;
    for (const FixtureFrame &f : r.frames)
        if (f.ullOffset >= from)
            cuts.push_back(static_cast<size_t>(f.ullOffset));
    cuts.push_back(r.bytes.size());
    size_t start = from;
    for (size_t cut : cuts) {
        if (cut > start)
            blocks.emplace_back(r.bytes.begin() + static_cast<ptrdiff_t>(start),
                                r.bytes.begin() + static_cast<ptrdiff_t>(cut));
        start = cut;
    }
    return blocks;
}

inline std::vector<const FixtureFrame *> VideoFrames(const Recording &r) {
    std::vector<const FixtureFrame *> v;
    for (const FixtureFrame &f : r.frames)
        if (f.nType != DEMUX_FRAME_AUDIO)
            v.push_back(&f);
    return v;
}

} // namespace playtest
