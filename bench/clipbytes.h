// The committed clips as the decoder benchmarks read them: a file's bytes and
// its access units.
#pragma once

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

namespace benchref {

// The whole file; empty when it cannot be read.
inline std::vector<uint8_t> ReadFile(const char *path) {
    std::vector<uint8_t> bytes;
    if (FILE *file = std::fopen(path, "rb")) {
        uint8_t chunk[65536];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + got);
        std::fclose(file);
    }
    return bytes;
}

// Access units (offset, length) of a stream with one slice per picture: a
// new one starts at a delimiter, a sequence parameter set or a slice after a
// slice.
inline std::vector<std::pair<size_t, size_t>> AccessUnits(const std::vector<uint8_t> &s) {
    std::vector<size_t> cuts;
    bool sliceSeen = false;
    for (size_t i = 0; i + 3 < s.size(); ++i) {
        if (s[i] != 0 || s[i + 1] != 0 || s[i + 2] != 1)
            continue;
        const size_t start = i > 0 && s[i - 1] == 0 ? i - 1 : i;
        const int type = s[i + 3] & 0x1F;
        const bool slice = type == 1 || type == 5;
        if (cuts.empty() || type == 9 || type == 7 || (slice && sliceSeen)) {
            cuts.push_back(start);
            sliceSeen = false;
        }
        sliceSeen = sliceSeen || slice;
        i += 2;
    }
    std::vector<std::pair<size_t, size_t>> units;
    for (size_t k = 0; k < cuts.size(); ++k)
        units.push_back({cuts[k], (k + 1 < cuts.size() ? cuts[k + 1] : s.size()) - cuts[k]});
    return units;
}

} // namespace benchref
