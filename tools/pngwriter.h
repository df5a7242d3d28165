// PNG files without zlib (the Windows builds have none): 8-bit RGB, one
// zlib stream of fixed-Huffman deflate blocks with short back references,
// checked by CRC-32 and Adler-32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qvplay {

uint32_t Crc32(const uint8_t *data, size_t length, uint32_t crc = 0);
uint32_t Adler32(const uint8_t *data, size_t length, uint32_t adler = 1);
// A zlib stream (header, fixed-Huffman deflate, Adler-32) of the bytes.
std::vector<uint8_t> ZlibCompress(const uint8_t *data, size_t length);
// The same, also trying a back reference of rowBytes (the row above).
std::vector<uint8_t> ZlibCompressWithRows(const uint8_t *data, size_t length, size_t rowBytes);
// The whole PNG file of width x height pixels of R, G, B bytes, top row
// first, rows packed without padding.
std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, const uint8_t *rgb);

} // namespace qvplay
