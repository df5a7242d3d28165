// PNG writing with our own deflate: fixed Huffman codes (no code tables to
// send) and back references found through one hash head per three bytes,
// the pixel to the left and the pixel above: enough for pictures whose
// OSD and flat areas repeat, and small enough to trust.
#include "pngwriter.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qvplay {
namespace {

std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[n] = c;
    }
    return table;
}

// Bits go out least significant first, as deflate packs them.
class CBitWriter {
public:
    explicit CBitWriter(std::vector<uint8_t> &out) : m_out(out) {}
    void Put(uint32_t value, int count) {
        m_buffer |= static_cast<uint64_t>(value) << m_count;
        m_count += count;
        while (m_count >= 8) {
            m_out.push_back(static_cast<uint8_t>(m_buffer));
            m_buffer >>= 8;
            m_count -= 8;
        }
    }
    // Huffman codes are defined most significant bit first.
    void PutCode(uint32_t code, int count) {
        uint32_t reversed = 0;
        for (int i = 0; i < count; ++i)
            reversed |= ((code >> i) & 1u) << (count - 1 - i);
        Put(reversed, count);
    }
    void Flush() {
        if (m_count > 0)
            m_out.push_back(static_cast<uint8_t>(m_buffer));
        m_buffer = 0;
        m_count = 0;
    }

private:
    std::vector<uint8_t> &m_out;
    uint64_t m_buffer = 0;
    int m_count = 0;
};

void PutLiteralOrLength(CBitWriter &bits, uint32_t symbol) {
    if (symbol <= 143)
        bits.PutCode(0x30 + symbol, 8);
    else if (symbol <= 255)
        bits.PutCode(0x190 + (symbol - 144), 9);
    else if (symbol <= 279)
        bits.PutCode(symbol - 256, 7);
    else
        bits.PutCode(0xC0 + (symbol - 280), 8);
}

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void PutMatch(CBitWriter &bits, uint32_t length, uint32_t distance) {
    int l = 28;
    while (kLengthBase[l] > length)
        --l;
    PutLiteralOrLength(bits, 257 + l);
    bits.Put(length - kLengthBase[l], kLengthExtra[l]);
    int d = 29;
    while (kDistanceBase[d] > distance)
        --d;
    bits.PutCode(static_cast<uint32_t>(d), 5);
    bits.Put(distance - kDistanceBase[d], kDistanceExtra[d]);
}

constexpr uint32_t kWindow = 32768;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = 258;
constexpr int kHashBits = 15;

uint32_t Hash3(const uint8_t *p) {
    const uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
    return (v * 2654435761u) >> (32 - kHashBits);
}

uint32_t MatchLength(const uint8_t *data, size_t length, size_t pos, size_t from) {
    const size_t limit = std::min<size_t>(kMaxMatch, length - pos);
    uint32_t n = 0;
    while (n < limit && data[from + n] == data[pos + n])
        ++n;
    return n;
}

void PutBe32(std::vector<uint8_t> &out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutChunk(std::vector<uint8_t> &out, const char *type, const std::vector<uint8_t> &data) {
    PutBe32(out, static_cast<uint32_t>(data.size()));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    PutBe32(out, Crc32(out.data() + start, out.size() - start));
}

} // namespace

uint32_t Crc32(const uint8_t *data, size_t length, uint32_t crc) {
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    crc = ~crc;
    for (size_t i = 0; i < length; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

uint32_t Adler32(const uint8_t *data, size_t length, uint32_t adler) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    while (length > 0) {
        // 5552 bytes cannot overflow the sums before the modulo.
        const size_t n = std::min<size_t>(length, 5552);
        for (size_t i = 0; i < n; ++i) {
            a += data[i];
            b += a;
        }
        a %= 65521;
        b %= 65521;
        data += n;
        length -= n;
    }
    return b << 16 | a;
}

std::vector<uint8_t> ZlibCompress(const uint8_t *data, size_t length) {
    return ZlibCompressWithRows(data, length, 0);
}

std::vector<uint8_t> ZlibCompressWithRows(const uint8_t *data, size_t length, size_t rowBytes) {
    // 0x78 0x01: deflate with a 32 KiB window, no dictionary, header check.
    std::vector<uint8_t> out = {0x78, 0x01};
    CBitWriter bits(out);
    bits.Put(1, 1); // the last block
    bits.Put(1, 2); // fixed Huffman codes
    std::vector<int64_t> head(size_t(1) << kHashBits, -1);
    size_t pos = 0;
    while (pos < length) {
        uint32_t bestLength = 0, bestDistance = 0;
        if (length - pos >= kMinMatch) {
            const uint32_t h = Hash3(data + pos);
            const size_t candidates[3] = {head[h] >= 0 ? size_t(head[h]) : pos, pos >= 3 ? pos - 3 : pos,
                                          rowBytes && pos >= rowBytes ? pos - rowBytes : pos};
            for (const size_t from : candidates) {
                if (from >= pos || pos - from > kWindow)
                    continue;
                const uint32_t n = MatchLength(data, length, pos, from);
                if (n > bestLength) {
                    bestLength = n;
                    bestDistance = static_cast<uint32_t>(pos - from);
                }
            }
        }
        const size_t step = bestLength >= kMinMatch ? bestLength : 1;
        if (bestLength >= kMinMatch)
            PutMatch(bits, bestLength, bestDistance);
        else
            PutLiteralOrLength(bits, data[pos]);
        for (size_t i = 0; i < step; ++i, ++pos)
            if (length - pos >= kMinMatch)
                head[Hash3(data + pos)] = static_cast<int64_t>(pos);
    }
    PutLiteralOrLength(bits, 256); // end of block
    bits.Flush();
    PutBe32(out, Adler32(data, length));
    return out;
}

std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, const uint8_t *rgb) {
    // Each row starts with its filter byte: 0, none; the back references to
    // the row above do the work a filter would.
    const size_t rowBytes = size_t(width) * 3;
    std::vector<uint8_t> raw;
    raw.reserve((rowBytes + 1) * height);
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb + y * rowBytes, rgb + (y + 1) * rowBytes);
    }
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    PutBe32(ihdr, width);
    PutBe32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter choice, no interlace
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", ZlibCompressWithRows(raw.data(), raw.size(), rowBytes + 1));
    PutChunk(png, "IEND", {});
    return png;
}

} // namespace qvplay
