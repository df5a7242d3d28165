// Test stand-in for the NVIDIA video decoder library, backed by the software
// decoding core: the parser decodes the stream itself, announces the
// sequence, hands each picture to the decode callback (whose
// cuvidDecodePicture call stores it as an NV12 surface) and then to the
// display callback. As a real parser does, it completes a picture when the
// next one starts, or at once for a packet flagged as ending a picture; it
// displays pictures in display order with the time stamp of the packet that
// brought each, and flushes them all at the end of the stream. Surfaces live
// in host memory with a pitch wider than the picture, as a card's do.
// Switches make single steps fail or slow down.
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fakeapi.h"
#include "vdec/h264core.h"

namespace {

std::mutex g_lock;
std::map<std::string, long long> g_values;

long long Get(const std::string &name) {
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = g_values.find(name);
    return it != g_values.end() ? it->second : 0;
}

void Add(const std::string &name, long long delta) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_values[name] += delta;
}

void Put(const std::string &name, long long value) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_values[name] = value;
}

constexpr uint32_t kDecoderMagic = 0x44454331;
constexpr uint32_t kParserMagic = 0x50525331;

struct FakeDecoder {
    uint32_t dwMagic = kDecoderMagic;
    uint32_t dwWidth = 0; // coded size
    uint32_t dwHeight = 0;
    uint32_t dwPitch = 0;
    std::vector<std::vector<uint8_t>> surfaces;
    std::vector<bool> mapped;
};

struct FakeParser {
    uint32_t dwMagic = kParserMagic;
    CUVIDPARSERPARAMS params{};
    H264CoreHandle core = nullptr;
    uint32_t dwSequenceWidth = 0; // size last announced
    uint32_t dwSequenceHeight = 0;
    bool bAccepted = false; // the sequence callback's answer for that size
    uint32_t dwNextSurface = 0;
};

bool ValidDecoder(CUvideodecoder handle) {
    return handle && static_cast<FakeDecoder *>(handle)->dwMagic == kDecoderMagic;
}

bool ValidParser(CUvideoparser handle) {
    return handle && static_cast<FakeParser *>(handle)->dwMagic == kParserMagic;
}

} // namespace

FAKE_EXPORT void FakeCuvid_Set(const char *name, long long value) {
    Put(name, value);
}

FAKE_EXPORT long long FakeCuvid_Get(const char *name) {
    return Get(name);
}

FAKE_EXPORT void FakeCuvid_Reset() {
    std::lock_guard<std::mutex> guard(g_lock);
    g_values.clear();
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidCreateDecoder(CUvideodecoder *decoder, CUVIDDECODECREATEINFO *info) {
    Add("decoder_create_calls", 1);
    Put("decoder_width", (long long)info->ulWidth);
    Put("decoder_height", (long long)info->ulHeight);
    Put("decoder_surfaces", (long long)info->ulNumDecodeSurfaces);
    Put("decoder_codec", info->CodecType);
    Put("decoder_chroma", info->ChromaFormat);
    Put("decoder_flags", (long long)info->ulCreationFlags);
    Put("decoder_output_format", info->OutputFormat);
    Put("decoder_deinterlace", info->DeinterlaceMode);
    Put("decoder_target_width", (long long)info->ulTargetWidth);
    Put("decoder_target_height", (long long)info->ulTargetHeight);
    Put("decoder_output_surfaces", (long long)info->ulNumOutputSurfaces);
    Put("decoder_has_lock", info->vidLock != nullptr);
    Put("decoder_crop", info->display_area.left | info->display_area.top | info->display_area.right |
                            info->display_area.bottom);
    if (Get("fail_create_decoder") || info->ulNumDecodeSurfaces == 0 || info->ulWidth == 0 ||
        info->ulHeight == 0)
        return 1;
    auto *fake = new FakeDecoder;
    fake->dwWidth = uint32_t(info->ulWidth);
    fake->dwHeight = uint32_t(info->ulHeight);
    fake->dwPitch = (fake->dwWidth + 255) / 256 * 256 + 256; // wider than the picture
    fake->surfaces.assign(info->ulNumDecodeSurfaces,
                          std::vector<uint8_t>(size_t(fake->dwPitch) * fake->dwHeight * 3 / 2, 0));
    fake->mapped.assign(info->ulNumDecodeSurfaces, false);
    *decoder = fake;
    Add("decoders_alive", 1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidDestroyDecoder(CUvideodecoder decoder) {
    if (!ValidDecoder(decoder))
        return 1;
    auto *fake = static_cast<FakeDecoder *>(decoder);
    for (bool mapped : fake->mapped)
        if (mapped)
            Add("destroyed_while_mapped", 1);
    fake->dwMagic = 0;
    delete fake;
    Add("decoders_alive", -1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidDecodePicture(CUvideodecoder decoder, CUVIDPICPARAMS *params) {
    if (!ValidDecoder(decoder) || !params || params->dwMagic != kFakePicMagic)
        return 1;
    auto *fake = static_cast<FakeDecoder *>(decoder);
    if (params->nCurrPicIdx < 0 || size_t(params->nCurrPicIdx) >= fake->surfaces.size() ||
        params->dwWidth != fake->dwWidth || params->dwHeight != fake->dwHeight)
        return 1;
    if (long long delay = Get("decode_delay_us"))
        std::this_thread::sleep_for(std::chrono::microseconds(delay));
    // NV12: luma rows, then rows of interleaved Cb, Cr at the same pitch.
    uint8_t *surface = fake->surfaces[size_t(params->nCurrPicIdx)].data();
    for (uint32_t y = 0; y < fake->dwHeight; ++y)
        std::memcpy(surface + size_t(y) * fake->dwPitch, params->pY + size_t(y) * params->nLumaStride,
                    fake->dwWidth);
    uint8_t *chroma = surface + size_t(fake->dwHeight) * fake->dwPitch;
    for (uint32_t y = 0; y < fake->dwHeight / 2; ++y) {
        uint8_t *row = chroma + size_t(y) * fake->dwPitch;
        const uint8_t *u = params->pU + size_t(y) * params->nChromaStride;
        const uint8_t *v = params->pV + size_t(y) * params->nChromaStride;
        for (uint32_t x = 0; x < fake->dwWidth / 2; ++x) {
            row[2 * x] = u[x];
            row[2 * x + 1] = v[x];
        }
    }
    Add("pictures_decoded", 1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidMapVideoFrame64(CUvideodecoder decoder, int index,
                                                     unsigned long long *device, unsigned int *pitch,
                                                     CUVIDPROCPARAMS *params) {
    if (!ValidDecoder(decoder) || !params)
        return 1;
    auto *fake = static_cast<FakeDecoder *>(decoder);
    if (index < 0 || size_t(index) >= fake->surfaces.size() || fake->mapped[size_t(index)] || Get("fail_map"))
        return 1;
    fake->mapped[size_t(index)] = true;
    *device = uintptr_t(fake->surfaces[size_t(index)].data());
    *pitch = fake->dwPitch;
    Add("maps", 1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidUnmapVideoFrame64(CUvideodecoder decoder, unsigned long long device) {
    if (!ValidDecoder(decoder))
        return 1;
    auto *fake = static_cast<FakeDecoder *>(decoder);
    for (size_t i = 0; i < fake->surfaces.size(); ++i) {
        if (fake->mapped[i] && uintptr_t(fake->surfaces[i].data()) == device) {
            fake->mapped[i] = false;
            Add("unmaps", 1);
            return CUDA_SUCCESS;
        }
    }
    return 1;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidMapVideoFrame(CUvideodecoder decoder, int index, unsigned int *device,
                                                   unsigned int *pitch, CUVIDPROCPARAMS *params) {
    unsigned long long wide = 0;
    CUresult result = cuvidMapVideoFrame64(decoder, index, &wide, pitch, params);
    if (result == CUDA_SUCCESS && wide > 0xFFFFFFFFull) {
        cuvidUnmapVideoFrame64(decoder, wide);
        return 1; // does not fit the narrow entry point
    }
    *device = (unsigned int)wide;
    return result;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidUnmapVideoFrame(CUvideodecoder decoder, unsigned int device) {
    return cuvidUnmapVideoFrame64(decoder, device);
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidCreateVideoParser(CUvideoparser *parser, CUVIDPARSERPARAMS *params) {
    Add("parser_create_calls", 1);
    Put("parser_codec", params->CodecType);
    Put("parser_surfaces", params->ulMaxNumDecodeSurfaces);
    Put("parser_clock", params->ulClockRate);
    Put("parser_threshold", params->ulErrorThreshold);
    Put("parser_delay", params->ulMaxDisplayDelay);
    if (Get("fail_create_parser") || params->CodecType != CUDA_VIDEO_CODEC_H264 ||
        !params->pfnSequenceCallback || !params->pfnDecodePicture || !params->pfnDisplayPicture ||
        params->ulMaxNumDecodeSurfaces == 0)
        return 1;
    H264CoreParam coreParam{};
    coreParam.dwMaxMbWidth = 4096 / 16;
    coreParam.dwMaxMbHeight = 4096 / 16;
    coreParam.dwCount = H264_CORE_COUNT_SOFT_DECODER;
    coreParam.dwOptions = H264_CORE_OPT_BASE;
    H264CoreHandle core = H264Core_Create(&coreParam);
    if (!core)
        return 2;
    auto *fake = new FakeParser;
    fake->params = *params;
    fake->core = core;
    *parser = fake;
    Add("parsers_alive", 1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidDestroyVideoParser(CUvideoparser parser) {
    if (!ValidParser(parser))
        return 1;
    auto *fake = static_cast<FakeParser *>(parser);
    H264Core_Destroy(fake->core);
    fake->dwMagic = 0;
    delete fake;
    Add("parsers_alive", -1);
    return CUDA_SUCCESS;
}

FAKE_EXPORT CUresult QV_CUDAAPI cuvidParseVideoData(CUvideoparser parser, CUVIDSOURCEDATAPACKET *packet) {
    if (!ValidParser(parser) || !packet)
        return 1;
    Add("parse_calls", 1);
    Put("packet_flags", (long long)packet->flags);
    Put("packet_timestamp", packet->timestamp);
    Add("packets", 1);
    if (packet->flags & CUVID_PKT_ENDOFPICTURE)
        Add("end_of_picture_packets", 1);
    if (packet->flags & CUVID_PKT_ENDOFSTREAM)
        Add("end_of_stream_packets", 1);
    auto *fake = static_cast<FakeParser *>(parser);
    const CUVIDPARSERPARAMS &p = fake->params;
    H264CorePicture picture{};
    const uint8_t *data = packet->payload;
    uint32_t length = uint32_t(packet->payload_size);
    // The core's user value carries the time stamp through its reordering.
    const uint64_t stamp = packet->flags & CUVID_PKT_TIMESTAMP ? uint64_t(packet->timestamp) : 0;
    uint32_t flags = 0;
    if (packet->flags & CUVID_PKT_ENDOFPICTURE)
        flags |= H264_CORE_DECODE_END_OF_UNIT;
    if (packet->flags & CUVID_PKT_ENDOFSTREAM)
        flags |= H264_CORE_DECODE_END_OF_STREAM;
    while (H264Core_Decode(fake->core, data, length, stamp, &picture, flags) == H264_CORE_OK) {
        data = nullptr;
        length = 0;
        const H264CorePictureInfo &info = picture.info;
        if (picture.dwWidth != fake->dwSequenceWidth || picture.dwHeight != fake->dwSequenceHeight) {
            CUVIDEOFORMAT format{};
            format.codec = CUDA_VIDEO_CODEC_H264;
            format.progressive_sequence = 1;
            format.coded_width = picture.dwWidth;
            format.coded_height = picture.dwHeight;
            format.display_area.left = int(info.dwCropLeft);
            format.display_area.top = int(info.dwCropTop);
            format.display_area.right = int(info.dwCropLeft + info.dwDisplayWidth);
            format.display_area.bottom = int(info.dwCropTop + info.dwDisplayHeight);
            format.chroma_format = CUDA_VIDEO_CHROMA_420;
            format.min_num_decode_surfaces = 2;
            fake->dwSequenceWidth = picture.dwWidth;
            fake->dwSequenceHeight = picture.dwHeight;
            fake->bAccepted = p.pfnSequenceCallback(p.pUserData, &format) != 0;
            Add("sequence_calls", 1);
        }
        if (!fake->bAccepted)
            continue;
        CUVIDPICPARAMS pic{};
        pic.dwMagic = kFakePicMagic;
        pic.nCurrPicIdx = int(fake->dwNextSurface++ % p.ulMaxNumDecodeSurfaces);
        pic.pY = picture.pY;
        pic.pU = picture.pU;
        pic.pV = picture.pV;
        pic.dwWidth = picture.dwWidth;
        pic.dwHeight = picture.dwHeight;
        pic.nLumaStride = picture.nLumaStride;
        pic.nChromaStride = picture.nChromaStride;
        if (!p.pfnDecodePicture(p.pUserData, &pic))
            continue;
        CUVIDPARSERDISPINFO display{};
        display.picture_index = pic.nCurrPicIdx;
        display.progressive_frame = 1;
        display.timestamp = CUvideotimestamp(uint64_t(info.dwUserHigh) << 32 | info.dwUserLow);
        p.pfnDisplayPicture(p.pUserData, &display);
        Add("displayed", 1);
    }
    return CUDA_SUCCESS;
}
