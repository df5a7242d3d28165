// Voice codec library: decodes a stream of voice frames under one codec id
// (chosen by the first byte), then encodes and transcodes with the same
// bytes. The library reads 4 + 2W bytes of a frame, so each frame is copied
// into a buffer of the largest frame size first, as a caller must provide.
#include <qvvoice.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

const int16_t kIds[] = {1, 2, 3, 4, 5, 6, 7, 35, 36, 37, 38, 39, 65, 66, 67, 68, 0, 8, 69};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1)
        return 0;
    const int16_t id = kIds[data[0] % (sizeof(kIds) / sizeof(kIds[0]))];
    const uint8_t mode = data[0] >> 5;
    ++data;
    --size;

    alignas(8) uint8_t state[HI_VOICE_STATE_SIZE];
    HI_VOICE_DecReset(state, id);
    int16_t samples[HI_VOICE_MAX_SAMPLES];
    size_t pos = 0;
    while (pos < size) {
        uint8_t frame[HI_VOICE_MAX_FRAME_SIZE] = {};
        size_t n = size - pos < sizeof(frame) ? size - pos : sizeof(frame);
        std::memcpy(frame, data + pos, n);
        int16_t count = -1;
        int32_t rc = HI_VOICE_DecodeFrame(state, frame, samples, &count);
        if (rc == HI_VOICE_OK && (count < 0 || count > HI_VOICE_MAX_SAMPLES))
            __builtin_trap();
        if (rc != HI_VOICE_OK && count != 0)
            __builtin_trap();
        pos += HI_VOICE_FRAME_HEADER_SIZE + 2u * frame[2];
    }

    // The same bytes as samples for the encoder.
    alignas(8) uint8_t enc[HI_VOICE_STATE_SIZE];
    HI_VOICE_EncReset(enc, id);
    int16_t input[HI_VOICE_MAX_SAMPLES] = {};
    size_t nSamples = size / 2 < HI_VOICE_MAX_SAMPLES ? size / 2 : HI_VOICE_MAX_SAMPLES;
    std::memcpy(input, data, nSamples * 2);
    uint8_t out[HI_VOICE_MAX_FRAME_SIZE + 8];
    if (nSamples > 0 &&
        HI_VOICE_EncodeFrame(enc, input, out, static_cast<int16_t>(nSamples)) == HI_VOICE_OK) {
        if (4u + 2u * out[2] > HI_VOICE_MAX_FRAME_SIZE)
            __builtin_trap();
        // What the encoder wrote decodes under the same id.
        alignas(8) uint8_t dec[HI_VOICE_STATE_SIZE];
        HI_VOICE_DecReset(dec, id);
        int16_t count;
        HI_VOICE_DecodeFrame(dec, out, samples, &count);
    }

    // Transcoding in place; an ADPCM frame grows by its block header.
    alignas(8) static uint8_t trans[HI_VOICE_TRANSCODE_STATE_SIZE];
    HI_VOICE_TransCodeReset(trans, static_cast<int16_t>(HI_VOICE_TRANSCODE_MIN + (mode & 3)));
    uint8_t frame[HI_VOICE_MAX_FRAME_SIZE + 8] = {};
    std::memcpy(frame, data, size < HI_VOICE_MAX_FRAME_SIZE ? size : HI_VOICE_MAX_FRAME_SIZE);
    HI_VOICE_TransCodeFrame(trans, frame);
    return 0;
}
