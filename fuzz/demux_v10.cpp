// Fuzz target of the V10 parser: the first byte picks a block size, the rest
// is fed in blocks of that size after Open saw the start; the OSD items of
// every frame are read through.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "demux/basestream.h"
#include "demux/demux.h"
#include "demux/streams.h"

static volatile uint64_t g_sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > (1u << 20))
        return 0;
    // Byte-by-byte feeding rescans the buffer on every byte: only for small
    // inputs.
    const size_t blockSize = data[0] == 0 && size <= 1024 ? 1 : size_t(data[0]) * 97 + 16;
    ++data;
    --size;
    CBaseStream *stream = CreateStreamV10();
    if (!stream)
        return 0;
    {
        const std::vector<uint8_t> first(data, data + (size < 0x40000 ? size : 0x40000));
        // Parsing works whether or not Open recognised a variant.
        stream->Open(first.data(), uint32_t(first.size()));
    }
    uint64_t sum = 0;
    for (size_t at = 0; at < size; at += blockSize) {
        const size_t n = size - at < blockSize ? size - at : blockSize;
        const std::vector<uint8_t> block(data + at, data + at + n); // exact size
        DemuxInput input{DEMUX_INPUT_SIZE, uint32_t(n), block.data(), 0};
        Demux_InputData(stream, &input);
        FrameRecord *frame = nullptr;
        while (Demux_GetFrame(stream, &frame) == DEMUX_OK) {
            if (frame->dwPayloadLength)
                sum += frame->pPayload[frame->dwPayloadLength - 1];
            for (uint32_t i = 0; i < frame->byOsdCount; ++i) {
                const OsdItem &item = frame->pOsdItems[i];
                sum += item.dwKind + item.body.abBits[DEMUX_OSD_BODY_SIZE - 1];
            }
            Demux_FreeFrame(stream, frame);
        }
    }
    stream->Close();
    Demux_Destroy(stream);
    g_sink = sum;
    return 0;
}
