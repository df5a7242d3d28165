// Helpers of the port-numbered family's tests: ports closed at the end of a
// scope, the core player behind a port (the tests link the front end's
// objects, so they can look into the port table), recordings written to
// disk, and independent references for what the family delivers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "api/porttable.h"
#include "fixtures/recordings.h"
#include "qvdisplay.h"
#include "qvplay.h"
#include "qvplayport.h"
#include "tests/vdec/md5.h"

namespace porttest {

using filetest::CTempDir;
using filetest::FileRecording;
using filetest::Gen;
using filetest::GenDecodes;
using filetest::GenName;
using filetest::MakeFile;
using filetest::WaitUntil;
using filetest::WidePath;

// Closes the port at the end of the scope (if it is still open).
class CPort {
public:
    CPort() = default;
    explicit CPort(LONG nPort) : m_nPort(nPort) {}
    ~CPort() { Close(); }
    CPort(const CPort &) = delete;
    CPort &operator=(const CPort &) = delete;

    void Set(LONG nPort) {
        Close();
        m_nPort = nPort;
    }
    LONG Get() const { return m_nPort; }
    operator LONG() const { return m_nPort; }
    void Close() {
        if (m_nPort >= 0)
            QV_PLAY_CloseFile(m_nPort);
        m_nPort = -1;
    }

private:
    LONG m_nPort = -1;
};

// The core player behind an open port; null when the port is not open.
inline PLAY_HANDLE HandleOf(LONG nPort) {
    api::CPortRef ref = api::CPortTable::Instance().Find(nPort);
    return ref ? ref->Player() : nullptr;
}

inline bool PortOpen(LONG nPort) {
    return static_cast<bool>(api::CPortTable::Instance().Find(nPort));
}

template <class T> T Attr(LONG nPort, uint32_t dwCode) {
    T value{};
    uint32_t dwSize = sizeof(T);
    EXPECT_EQ(Play_GetAttribute(HandleOf(nPort), dwCode, &value, &dwSize), PLAY_OK) << "attribute " << dwCode;
    return value;
}

inline uint32_t Flags(LONG nPort) {
    return Attr<uint32_t>(nPort, PLAY_ATTRIBUTE_ENABLE);
}

inline float Speed(LONG nPort) {
    return Attr<float>(nPort, PLAY_ATTRIBUTE_SPEED);
}

inline bool IndexDone(LONG nPort) {
    uint32_t done = 0, size = sizeof(done);
    return Play_GetAttribute(HandleOf(nPort), PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED, &done, &size) == PLAY_OK &&
           done != 0;
}

// The recording written into the folder.
inline std::filesystem::path WriteRecording(const CTempDir &dir, const FileRecording &rec, const char *name) {
    return dir.Write(name, rec.bytes);
}

// Opens the file at the port through the UTF-16 entry point.
inline BOOL OpenW(LONG nPort, const std::filesystem::path &path) {
    const std::vector<QV_WCHAR> wide = WidePath(path);
    return QV_PLAY_OpenFileW(nPort, wide.data());
}

// A V30 recording without on-screen-display records (the library draws those
// into the pictures, which then differ from ffmpeg's): frames 40 ms apart,
// A-law audio after each video frame when asked for.
inline FileRecording MakePlainV30(uint32_t videoFrames, bool audio, const char *clip = filetest::kSmallClip) {
    FileRecording r;
    r.gen = Gen::V30;
    r.clip = clip;
    const filetest::ClipSize size = filetest::SizeOf(clip);
    V30Options o;
    o.videoSample = clip;
    o.wWidth = size.wWidth;
    o.wHeight = size.wHeight;
    o.dwVideoFrames = videoFrames;
    o.dwAudioCodec = audio ? DEMUX_CODEC_G711_ALAW : 0;
    o.title.clear();
    o.nClockStyle = -1;
    r.bytes = WriteV30(o, &r.frames);
    return r;
}

// ---- References ----

// MD5 of a planar 4:2:0 picture in ffmpeg's yuv420p order (Y, U, V), from
// YV12 (Y, V, U) or I420 planes.
inline std::string PictureMd5(const uint8_t *p, uint32_t dwWidth, uint32_t dwHeight, uint32_t dwFourCC) {
    const size_t luma = size_t(dwWidth) * dwHeight, chroma = size_t(dwWidth / 2) * (dwHeight / 2);
    const uint8_t *first = p + luma;
    const uint8_t *second = first + chroma;
    const bool yv12 = dwFourCC == PLAY_PIXEL_FORMAT_YV12;
    qvtest::CMd5 md5;
    md5.Update(p, luma);
    md5.Update(yv12 ? second : first, chroma);
    md5.Update(yv12 ? first : second, chroma);
    return md5.Finish();
}

// G.711 A-law to 16-bit linear PCM, from the companding law itself (the
// 13-bit magnitude scaled to 16 bits).
inline int16_t AlawToLinear(uint8_t code) {
    code ^= 0x55;
    const int segment = (code >> 4) & 7;
    int magnitude = (code & 0x0F) << 4;
    magnitude += segment == 0 ? 8 : 0x108;
    if (segment > 1)
        magnitude <<= segment - 1;
    return static_cast<int16_t>((code & 0x80) ? magnitude : -magnitude);
}

inline std::vector<int16_t> AlawPcm(const std::vector<uint8_t> &payload) {
    std::vector<int16_t> pcm;
    pcm.reserve(payload.size());
    for (uint8_t b : payload)
        pcm.push_back(AlawToLinear(b));
    return pcm;
}

inline std::vector<int16_t> AsSamples(const uint8_t *p, size_t bytes) {
    std::vector<int16_t> v(bytes / 2);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = static_cast<int16_t>(uint16_t(p[2 * i]) | uint16_t(p[2 * i + 1]) << 8);
    return v;
}

// The frames of a recording in file order, by kind.
inline std::vector<const FixtureFrame *> AudioFrames(const FileRecording &rec) {
    std::vector<const FixtureFrame *> v;
    for (const FixtureFrame &f : rec.frames)
        if (f.bDelivered && f.nType == DEMUX_FRAME_AUDIO)
            v.push_back(&f);
    return v;
}

inline std::string GenParamName(const ::testing::TestParamInfo<Gen> &info) {
    return std::string("G") + GenName(info.param);
}

} // namespace porttest
