// Helpers of the on-screen-display tests: pictures in the six drawable
// formats built from one format-independent content (luma per pixel, chroma
// per 2x2 block), read back into that content, and items.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "display/osdrenderer.h"

namespace osdtest {

inline const uint32_t kFormats[] = {DISPLAY_FOURCC_I420, DISPLAY_FOURCC_YV12, DISPLAY_FOURCC_NV12,
                                    DISPLAY_FOURCC_NV21, DISPLAY_FOURCC_YUY2, DISPLAY_FOURCC_UYVY};

inline std::string FourCCName(uint32_t fourcc) {
    return std::string{char(fourcc & 0xFF), char((fourcc >> 8) & 0xFF), char((fourcc >> 16) & 0xFF),
                       char(fourcc >> 24)};
}

inline bool IsPacked(uint32_t fourcc) {
    return fourcc == DISPLAY_FOURCC_YUY2 || fourcc == DISPLAY_FOURCC_UYVY;
}

// Format-independent samples: Y per pixel; U and V per chroma sample, which
// covers 2x2 pixels in the 4:2:0 formats and 2x1 in the packed ones (cw x
// ch samples).
struct Planes {
    int w = 0, h = 0, cw = 0, ch = 0;
    std::vector<uint8_t> y, u, v;
    uint8_t Y(int px, int py) const { return y[size_t(py) * w + px]; }
    uint8_t U(int cx, int cy) const { return u[size_t(cy) * cw + cx]; }
    uint8_t V(int cx, int cy) const { return v[size_t(cy) * cw + cx]; }
};

// Canary bytes after the picture's data: a write past the picture shows.
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

class TestPicture {
public:
    // Random content, the same for every format with the same seed (the
    // packed formats repeat each 4:2:0 chroma sample on both rows). With
    // pairLuma both pixels of a horizontal pair have the same luma, so that
    // a packed pair's mean is its first pixel's value.
    TestPicture(uint32_t fourcc, int w, int h, uint32_t seed = 1, bool pairLuma = false)
        : m_fourcc(fourcc), m_w(w), m_h(h) {
        uint32_t bits = 0;
        COsdPlanes::BitsPerPixel(fourcc, &bits);
        m_size = size_t(w) * size_t(h) * (bits ? bits : 12) / 8;
        m_data.assign(m_size + kGuard, kGuardByte);
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> dist(20, 230);
        std::vector<uint8_t> y(size_t(w) * h), u(size_t(w / 2) * (h / 2)), v(u.size());
        for (size_t i = 0; i < y.size(); ++i)
            y[i] = (pairLuma && (i % size_t(w)) % 2 == 1) ? y[i - 1] : uint8_t(dist(rng));
        for (size_t i = 0; i < u.size(); ++i) {
            u[i] = uint8_t(dist(rng));
            v[i] = uint8_t(dist(rng));
        }
        Store(y, u, v);
    }
    // Uniform content.
    TestPicture(uint32_t fourcc, int w, int h, uint8_t y, uint8_t u, uint8_t v)
        : TestPicture(fourcc, w, h, 1u) {
        std::vector<uint8_t> py(size_t(w) * h, y), pu(size_t(w / 2) * (h / 2), u), pv(pu.size(), v);
        Store(py, pu, pv);
    }

    DISPLAY_PICTURE Record() {
        DISPLAY_PICTURE p{};
        p.dwSize = DISPLAY_PICTURE_SIZE;
        p.dwFourCC = m_fourcc;
        p.nWidth = m_w;
        p.nHeight = m_h;
        p.pData = m_data.data();
        p.dwDataSize = uint32_t(m_size);
        return p;
    }
    bool GuardIntact() const {
        for (size_t i = m_size; i < m_data.size(); ++i)
            if (m_data[i] != kGuardByte)
                return false;
        return true;
    }
    uint32_t FourCC() const { return m_fourcc; }

    Planes Read() const {
        Planes p;
        p.w = m_w;
        p.h = m_h;
        p.cw = m_w / 2;
        p.ch = IsPacked(m_fourcc) ? m_h : m_h / 2;
        p.y.resize(size_t(m_w) * m_h);
        p.u.resize(size_t(p.cw) * p.ch);
        p.v.resize(p.u.size());
        const uint8_t *d = m_data.data();
        const size_t ls = size_t(m_w) * m_h;
        for (int py = 0; py < m_h; ++py) {
            for (int px = 0; px < m_w; ++px)
                p.y[size_t(py) * m_w + px] = d[LumaOffset(px, py)];
        }
        for (int cy = 0; cy < p.ch; ++cy) {
            for (int cx = 0; cx < p.cw; ++cx) {
                size_t uo, vo;
                ChromaOffsets(cx, cy, ls, &uo, &vo);
                p.u[size_t(cy) * p.cw + cx] = d[uo];
                p.v[size_t(cy) * p.cw + cx] = d[vo];
            }
        }
        return p;
    }

private:
    size_t LumaOffset(int px, int py) const {
        if (m_fourcc == DISPLAY_FOURCC_YUY2)
            return 2 * (size_t(py) * m_w + px);
        if (m_fourcc == DISPLAY_FOURCC_UYVY)
            return 2 * (size_t(py) * m_w + px) + 1;
        return size_t(py) * m_w + px;
    }
    // Chroma sample (cx, cy) of the format's own chroma grid.
    void ChromaOffsets(int cx, int cy, size_t ls, size_t *uo, size_t *vo) const {
        const size_t pair = 2 * size_t(cy) * m_w + 4 * size_t(cx);
        switch (m_fourcc) {
        case DISPLAY_FOURCC_I420:
            *uo = ls + size_t(cy) * (m_w / 2) + cx;
            *vo = *uo + ls / 4;
            break;
        case DISPLAY_FOURCC_YV12:
            *vo = ls + size_t(cy) * (m_w / 2) + cx;
            *uo = *vo + ls / 4;
            break;
        case DISPLAY_FOURCC_NV12:
            *uo = ls + size_t(cy) * m_w + 2 * size_t(cx);
            *vo = *uo + 1;
            break;
        case DISPLAY_FOURCC_NV21:
            *vo = ls + size_t(cy) * m_w + 2 * size_t(cx);
            *uo = *vo + 1;
            break;
        case DISPLAY_FOURCC_YUY2:
            *uo = pair + 1;
            *vo = pair + 3;
            break;
        default: // UYVY
            *uo = pair;
            *vo = pair + 2;
            break;
        }
    }
    void Store(const std::vector<uint8_t> &y, const std::vector<uint8_t> &u, const std::vector<uint8_t> &v) {
        uint8_t *d = m_data.data();
        const size_t ls = size_t(m_w) * m_h;
        for (int py = 0; py < m_h; ++py)
            for (int px = 0; px < m_w; ++px)
                d[LumaOffset(px, py)] = y[size_t(py) * m_w + px];
        const int cw = m_w / 2;
        const int ch = IsPacked(m_fourcc) ? m_h : m_h / 2;
        for (int cy = 0; cy < ch; ++cy) {
            for (int cx = 0; cx < cw; ++cx) {
                const int sy = IsPacked(m_fourcc) ? std::min(cy / 2, m_h / 2 - 1) : cy;
                size_t uo, vo;
                ChromaOffsets(cx, cy, ls, &uo, &vo);
                d[uo] = u[size_t(sy) * cw + cx];
                d[vo] = v[size_t(sy) * cw + cx];
            }
        }
    }

    uint32_t m_fourcc;
    int m_w, m_h;
    size_t m_size = 0;
    std::vector<uint8_t> m_data;
};

inline OSD_SETTING DefaultSetting() {
    OSD_SETTING s{};
    s.dwSize = OSD_SETTING_SIZE;
    return s;
}

// A renderer that is destroyed with the scope.
struct Renderer {
    COsdObject *p = nullptr;
    explicit Renderer(const OSD_SETTING &setting = DefaultSetting()) {
        EXPECT_EQ(CreateOsd(&setting, &p), OSD_OK);
    }
    ~Renderer() { DestroyOsd(p); }
    Renderer(const Renderer &) = delete;
    Renderer &operator=(const Renderer &) = delete;
};

inline OsdItem MaskItem(uint16_t x, uint16_t y, uint16_t w, uint16_t h, uint32_t mode, uint8_t r = 0,
                        uint8_t g = 0, uint8_t b = 0) {
    OsdItem item;
    std::memset(&item, 0, sizeof(item));
    item.dwKind = DEMUX_OSD_MOSAIC;
    item.wX = x;
    item.wY = y;
    item.wWidth = w;
    item.wHeight = h;
    item.body.mosaic.dwMode = mode;
    item.body.mosaic.abColor[0] = r;
    item.body.mosaic.abColor[1] = g;
    item.body.mosaic.abColor[2] = b;
    return item;
}

inline OsdItem TextItem(uint16_t x, uint16_t y, const std::u16string &text) {
    OsdItem item;
    std::memset(&item, 0, sizeof(item));
    item.dwKind = DEMUX_OSD_TEXT;
    item.wX = x;
    item.wY = y;
    for (size_t i = 0; i < text.size() && i < DEMUX_OSD_BODY_SIZE / 2; ++i)
        item.body.szText[i] = QV_WCHAR(text[i]);
    return item;
}

// A bitmap item with the given set bits (column, row).
inline OsdItem BitmapItem(uint16_t x, uint16_t y, uint16_t w, uint16_t h,
                          const std::vector<std::pair<int, int>> &bits = {}) {
    OsdItem item;
    std::memset(&item, 0, sizeof(item));
    item.dwKind = DEMUX_OSD_BITMAP;
    item.wX = x;
    item.wY = y;
    item.wWidth = w;
    item.wHeight = h;
    const int stride = w / 8;
    for (auto [c, r] : bits)
        item.body.abBits[size_t(r) * stride + c / 8] |= uint8_t(0x80u >> (c % 8));
    return item;
}

} // namespace osdtest
