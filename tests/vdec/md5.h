// MD5 (RFC 1321) for comparing decoded pictures with ffmpeg's framemd5 lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace qvtest {

class CMd5 {
public:
    CMd5() { Reset(); }

    void Reset() {
        m_state[0] = 0x67452301u;
        m_state[1] = 0xefcdab89u;
        m_state[2] = 0x98badcfeu;
        m_state[3] = 0x10325476u;
        m_qwLength = 0;
        m_nBuffered = 0;
    }

    void Update(const void *data, size_t size) {
        const uint8_t *bytes = static_cast<const uint8_t *>(data);
        m_qwLength += size;
        while (size > 0) {
            size_t take = 64 - m_nBuffered;
            if (take > size)
                take = size;
            std::memcpy(m_buffer + m_nBuffered, bytes, take);
            m_nBuffered += take;
            bytes += take;
            size -= take;
            if (m_nBuffered == 64) {
                Block(m_buffer);
                m_nBuffered = 0;
            }
        }
    }

    // Lower-case hex digest; the object must be Reset before further use.
    std::string Finish() {
        uint64_t bits = m_qwLength * 8;
        static const uint8_t kPad[64] = {0x80};
        size_t padLength = m_nBuffered < 56 ? 56 - m_nBuffered : 120 - m_nBuffered;
        Update(kPad, padLength);
        uint8_t lengthBytes[8];
        for (int i = 0; i < 8; ++i)
            lengthBytes[i] = static_cast<uint8_t>(bits >> (8 * i));
        Update(lengthBytes, 8);
        static const char kHex[] = "0123456789abcdef";
        std::string digest;
        for (uint32_t word : m_state) {
            for (int i = 0; i < 4; ++i) {
                uint8_t byte = static_cast<uint8_t>(word >> (8 * i));
                digest += kHex[byte >> 4];
                digest += kHex[byte & 15];
            }
        }
        return digest;
    }

private:
    static uint32_t Rotate(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

    void Block(const uint8_t *block) {
        static const uint32_t kSine[64] = {
            0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
            0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
            0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
            0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
            0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
            0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
            0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
            0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
        static const int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                                       5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                                       4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                                       6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
        uint32_t m[16];
        for (int i = 0; i < 16; ++i)
            m[i] = uint32_t(block[4 * i]) | uint32_t(block[4 * i + 1]) << 8 |
                   uint32_t(block[4 * i + 2]) << 16 | uint32_t(block[4 * i + 3]) << 24;
        uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
        for (int i = 0; i < 64; ++i) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t next = b + Rotate(a + f + kSine[i] + m[g], kShift[i]);
            a = d;
            d = c;
            c = b;
            b = next;
        }
        m_state[0] += a;
        m_state[1] += b;
        m_state[2] += c;
        m_state[3] += d;
    }

    uint32_t m_state[4];
    uint64_t m_qwLength;
    size_t m_nBuffered;
    uint8_t m_buffer[64];
};

} // namespace qvtest
