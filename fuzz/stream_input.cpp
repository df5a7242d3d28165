// A live stream player fed arbitrary bytes after a real V30 header block,
// frames pulled on demand and decoded (video and audio) as they come.
//
// The first input byte picks the block size the rest is pushed in; every
// block is followed by pulling whatever frames are queued, so that the
// parser's queue limit is exercised but never blocks the run.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/playapi.h"
#include "fixtures/fixtures.h"

namespace {

const std::vector<uint8_t> &Header() {
    static const std::vector<uint8_t> header = V30FileHeader();
    return header;
}

void PullAll(PLAY_HANDLE h) {
    for (int i = 0; i < 400; ++i) {
        PLAY_FRAME *pFrame = nullptr;
        if (PlayApi_GetDecodeFrame(h, PLAY_PIXEL_FORMAT_YV12, &pFrame) != PLAY_OK)
            return;
        // Touch what the caller may read.
        volatile uint8_t sink = 0;
        if (pFrame->pFrame && pFrame->pFrame->dwPayloadLength)
            sink = pFrame->pFrame->pPayload[pFrame->pFrame->dwPayloadLength - 1];
        (void)sink;
        PlayApi_FreeDecodeFrame(h, pFrame);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const std::vector<uint8_t> &header = Header();
    PLAY_CREATE_PARAM param{};
    param.dwSize = PLAY_CREATE_PARAM_SIZE;
    param.dwType = PLAY_MODE_STREAM;
    param.pSource = header.data();
    param.dwSourceSize = uint32_t(header.size());
    PLAY_HANDLE h = nullptr;
    if (PlayApi_CreateW(&h, &param) != PLAY_OK)
        __builtin_trap(); // the header is a valid V30 header
    const uint32_t flags = PLAY_ENABLE_DECODE_ON_DEMAND | PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_AUDIO_DECODE;
    PlayApi_SetControl(h, PLAY_CONTROL_ENABLE, &flags, sizeof(flags));

    const size_t block = 1 + size_t(data[0]) * 97;
    ++data;
    --size;
    size_t pos = 0;
    bool bRetried = false;
    while (pos < size) {
        const size_t n = size - pos < block ? size - pos : block;
        if (PlayApi_InputData(h, data + pos, uint32_t(n)) == PLAY_E_BUFFER_FULL) {
            // Pulling makes room: the same block is taken the second time.
            if (bRetried)
                __builtin_trap();
            bRetried = true;
            PullAll(h);
            continue;
        }
        bRetried = false;
        pos += n;
        PullAll(h);
    }
    PullAll(h);
    if (PlayApi_Release(h) != PLAY_OK)
        __builtin_trap();
    return 0;
}
