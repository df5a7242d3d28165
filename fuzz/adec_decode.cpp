// Audio frame decoders: the first byte picks the codec type, then each frame
// is a length byte pair and that many bytes, decoded with the two-call
// pattern the play mode uses. Frames are copied to buffers of their exact
// length so that any read past a frame's end is caught.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/adec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const uint32_t type = 1 + data[0] % 6; // 1 and 6 are refused
    ++data;
    --size;
    CBaseAudioCodec *codec = nullptr;
    if (CreateAudioCodec(type, &codec) != 0)
        return 0;
    size_t pos = 0;
    while (pos + 2 <= size) {
        size_t length = data[pos] | (data[pos + 1] << 8);
        pos += 2;
        if (length > size - pos)
            length = size - pos;
        std::vector<uint8_t> frame(data + pos, data + pos + length);
        pos += length;
        ADEC_OUTPUT out = {};
        out.dwSize = ADEC_OUTPUT_SIZE;
        if (DecodeAudioFrame(codec, frame.data(), static_cast<uint32_t>(frame.size()), &out) != 0)
            continue;
        std::vector<uint8_t> pcm(out.dwBufferSize);
        out.pBuffer = pcm.data();
        const uint32_t capacity = out.dwBufferSize;
        if (DecodeAudioFrame(codec, frame.data(), static_cast<uint32_t>(frame.size()), &out) == 0 &&
            out.dwBufferSize > capacity)
            __builtin_trap();
    }
    ADEC_STATUS status;
    codec->GetStatus(&status);
    codec->Close();
    ADEC_OUTPUT out = {};
    out.dwSize = ADEC_OUTPUT_SIZE;
    uint8_t pcm[64];
    out.pBuffer = pcm;
    out.dwBufferSize = sizeof(pcm);
    uint8_t three[3] = {1, 2, 3};
    DecodeAudioFrame(codec, three, 3, &out); // closed: refused, not a crash
    DestroyAudioCodec(codec);
    return 0;
}
