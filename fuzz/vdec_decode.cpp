// Damaged H.264 through the decoding core and through the software decoder's
// flat entry: every call must end in a picture of the decoder's size or in
// "no picture", never in a crash or an out-of-bounds access.
//
// Input: one byte choosing the stream size, then an Annex B byte stream that
// is given frame by frame, one NAL unit per frame as a recorder's frames
// would carry them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <qvvdec.h>

#include "vdec/basevideocodec.h"
#include "vdec/h264core.h"
#include "vdec/vdec.h"

namespace {

struct StreamSize {
    uint32_t width, height;
};
constexpr StreamSize kSizes[] = {{352, 288}, {704, 576}, {704, 288}, {176, 144}};

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Offsets where each NAL unit's start code begins.
std::vector<size_t> NalStarts(const uint8_t *data, size_t size) {
    std::vector<size_t> starts{0};
    for (size_t i = 1; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i);
            i += 2;
        }
    }
    return starts;
}

void FuzzCore(const uint8_t *data, size_t size, const StreamSize &limit) {
    H264CoreParam param{};
    param.dwMaxMbWidth = (limit.width + 15) / 16;
    param.dwMaxMbHeight = (limit.height + 15) / 16;
    param.dwCount = H264_CORE_COUNT_SOFT_DECODER;
    param.dwOptions = H264_CORE_OPT_BASE;
    H264CoreHandle core = H264Core_Create(&param);
    Check(core != nullptr);
    // Uneven pieces exercise the core's carrying of partial NAL units.
    size_t offset = 0, step = 1;
    H264CorePicture picture{};
    while (offset < size) {
        size_t piece = step < size - offset ? step : size - offset;
        int32_t result = H264Core_Decode(core, data + offset, uint32_t(piece), 0, &picture, 0);
        while (result == H264_CORE_OK) {
            Check(picture.pY && picture.pU && picture.pV);
            Check(picture.dwWidth <= param.dwMaxMbWidth * 16 && picture.dwHeight <= param.dwMaxMbHeight * 16);
            Check(picture.nLumaStride >= int32_t(picture.dwWidth));
            // Every sample must be readable.
            volatile uint8_t sink =
                picture.pY[size_t(picture.dwHeight - 1) * picture.nLumaStride + picture.dwWidth - 1];
            (void)sink;
            result = H264Core_Decode(core, nullptr, 0, 0, &picture, 0);
        }
        Check(result == H264_CORE_NO_PICTURE);
        offset += piece;
        step = step * 3 + 1;
    }
    int32_t result;
    while ((result = H264Core_Decode(core, nullptr, 0, 0, &picture, H264_CORE_DECODE_END_OF_STREAM)) ==
           H264_CORE_OK)
        Check(picture.pY != nullptr);
    Check(result == H264_CORE_NO_PICTURE);
    H264Core_Destroy(core);
}

void FuzzDecoder(const uint8_t *data, size_t size, const StreamSize &streamSize) {
    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, streamSize.width, streamSize.height, 0, 0};
    CBaseVideoCodec *decoder = nullptr;
    Check(Vdec_Create(&decoder, &param) == VDEC_OK);
    std::vector<size_t> starts = NalStarts(data, size);
    starts.push_back(size);
    std::vector<uint8_t> buffer;
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        const uint8_t *frame = data + starts[k];
        uint32_t length = uint32_t(starts[k + 1] - starts[k]);
        if (length == 0)
            continue;
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        Check(Vdec_Decode(decoder, frame, length, &picture) == VDEC_OK);
        // Exactly the size asked for: any overrun shows.
        buffer.assign(picture.dwBufferSize, 0);
        picture.pBuffer = buffer.data();
        int32_t result = Vdec_Decode(decoder, frame, length, &picture);
        Check(result == VDEC_OK || result == VDEC_E_NO_PICTURE);
        if (result == VDEC_OK) {
            Check(picture.dwFourCC == VDEC_FOURCC_YV12);
            Check(picture.dwWidth <= streamSize.width);
            Check(picture.dwHeight <=
                  (streamSize.height == 288 && streamSize.width == 704 ? 576u : streamSize.height));
            Check(uint64_t(picture.dwWidth) * picture.dwHeight * 3 / 2 <= buffer.size());
        }
    }
    DecoderInfo info{};
    Check(Vdec_GetDecoderInfo(decoder, &info) == VDEC_OK);
    Check(info.dwDecoderKind == VDEC_KIND_SOFT_H264);
    Vdec_Destroy(decoder);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const StreamSize &streamSize = kSizes[data[0] % (sizeof kSizes / sizeof kSizes[0])];
    ++data;
    --size;
    FuzzCore(data, size, streamSize);
    FuzzDecoder(data, size, streamSize);
    return 0;
}
