// Fuzz target of the 6000-generation parser: the input is a whole file
// (recognised or not, it is loaded), then the cursor is walked and moved.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "demux/basestream.h"
#include "demux/demux.h"
#include "demux/stream6000.h"
#include "demux/streams.h"

static volatile uint64_t g_sink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kStream6000MaxFileLength)
        return 0;
    CBaseStream *stream = CreateStream6000();
    if (!stream)
        return 0;
    // Exact-size copy: a read past the input is caught.
    const std::vector<uint8_t> file(data, data + size);
    stream->Open(file.data(), uint32_t(file.size()));
    if (!file.empty()) {
        DemuxInput input{DEMUX_INPUT_SIZE, uint32_t(file.size()), file.data(), 0};
        Demux_InputData(stream, &input);
    }
    FrameRecord *frame = nullptr;
    uint64_t sum = 0;
    while (Demux_GetFrame(stream, &frame) == DEMUX_OK) {
        if (frame->dwPayloadLength)
            sum += frame->pPayload[0] + frame->pPayload[frame->dwPayloadLength - 1];
        Demux_FreeFrame(stream, frame);
    }
    const uint64_t target = size >= 8 ? (uint64_t(data[size - 1]) << 8 | data[size - 2]) * 16 : 0;
    if (stream->Seek(target) == DEMUX_OK && Demux_GetFrame(stream, &frame) == DEMUX_OK)
        sum += frame->dwSequence;
    uint32_t count = 0;
    Demux_GetFrameCount(stream, &count);
    stream->Reset();
    stream->Close();
    Demux_Destroy(stream);
    g_sink = sum;
    return 0;
}
