// Recognition and parsing through the flat functions, as a player uses them:
// the first block (at least 64 bytes) goes to Demux_Create, then the whole
// input is fed again, cut in two at a point the input chooses.
// Input: two bytes of split point, then the stream.
#include <utility>

#include "demux_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 + DEMUX_MIN_FIRST_BLOCK)
        return 0;
    const size_t split = size_t(data[0]) | (size_t(data[1]) << 8);
    data += 2;
    size -= 2;
    CBaseStream *stream = nullptr;
    const size_t first = size < DEMUX_FIRST_BLOCK_SIZE ? size : DEMUX_FIRST_BLOCK_SIZE;
    DemuxInput in{DEMUX_INPUT_SIZE, uint32_t(first), data, 0};
    const int32_t result = Demux_Create(&stream, &in);
    if (result != DEMUX_OK) {
        demuxfuzz::Check(stream == nullptr);
        return 0;
    }
    StreamInfo info{};
    info.dwSize = DEMUX_STREAM_INFO_SIZE;
    demuxfuzz::Check(Demux_GetInfo(stream, &info) == DEMUX_OK);
    demuxfuzz::Check(info.dwSize == DEMUX_STREAM_INFO_SIZE);
    const size_t cut = split % (size + 1);
    // Parsers that take the whole file at once refuse a second block; that
    // is their documented answer, not a failure.
    for (const auto &[at, n] : {std::pair<size_t, size_t>{0, cut}, {cut, size - cut}}) {
        if (n == 0)
            continue;
        DemuxInput block{DEMUX_INPUT_SIZE, uint32_t(n), data + at, 0};
        int32_t r = Demux_InputData(stream, &block);
        if (r == DEMUX_E_QUEUE_FULL) {
            demuxfuzz::Drain(stream);
            r = Demux_InputData(stream, &block);
        }
        demuxfuzz::Check(r == DEMUX_OK || r == DEMUX_E_NOT_SUPPORTED || r == DEMUX_E_QUEUE_FULL);
        demuxfuzz::Drain(stream);
    }
    Demux_Destroy(stream);
    return 0;
}
