// Little-endian field reads and byte-string search over container data.
// Callers check that the bytes read lie inside what they were given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

inline uint16_t ReadLe16(const uint8_t *p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t ReadLe24(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
}
inline uint32_t ReadLe32(const uint8_t *p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t ReadLe64(const uint8_t *p) {
    return uint64_t(ReadLe32(p)) | (uint64_t(ReadLe32(p + 4)) << 32);
}

// Offset of the first occurrence of needle in data, or -1. A plain search:
// memchr for the first byte, then a compare.
inline ptrdiff_t FindBytes(const uint8_t *data, size_t length, const void *needle, size_t needleLength) {
    if (needleLength == 0 || needleLength > length)
        return needleLength == 0 ? 0 : -1;
    const auto *n = static_cast<const uint8_t *>(needle);
    const uint8_t *p = data;
    const uint8_t *last = data + (length - needleLength);
    while (p <= last) {
        p = static_cast<const uint8_t *>(std::memchr(p, n[0], size_t(last - p) + 1));
        if (!p)
            return -1;
        if (std::memcmp(p, n, needleLength) == 0)
            return p - data;
        ++p;
    }
    return -1;
}

inline bool ContainsString(const uint8_t *data, size_t length, const char *text) {
    return FindBytes(data, length, text, std::strlen(text)) >= 0;
}

// Length of the NUL-terminated string at data within limit bytes, or -1 when
// no NUL lies inside them.
inline ptrdiff_t BoundedStringLength(const uint8_t *data, size_t limit) {
    const void *nul = std::memchr(data, 0, limit);
    return nul ? static_cast<const uint8_t *>(nul) - data : -1;
}
