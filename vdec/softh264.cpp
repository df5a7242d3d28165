#include "vdec/softh264.h"

#include "platform/system.h"
#include "vdec/colour.h"
#include "vdec/h264core.h"

namespace {

// Copies a core picture of width x height into the buffer as YV12 (Y, then
// the Cr plane, then the Cb plane, each packed without gaps), with the colour
// step on the way: one pass over the picture instead of a copy and a second
// pass over the caller's buffer.
void CopyYv12(const H264CorePicture &core, uint32_t width, uint32_t height, const ColorCoefficients &color,
              uint8_t *pBuffer) {
    const uint32_t chromaWidth = width / 2;
    const uint32_t chromaHeight = height / 2;
    uint8_t *pV = pBuffer + size_t(width) * height;
    uint8_t *pU = pV + size_t(chromaWidth) * chromaHeight;
    ColorCopyLuma(core.pY, core.nLumaStride, pBuffer, int32_t(width), width, height, color);
    ColorCopyChroma(core.pU, core.nChromaStride, core.pV, core.nChromaStride, pU, int32_t(chromaWidth), pV,
                    int32_t(chromaWidth), chromaWidth, chromaHeight, color);
}

} // namespace

CCodecSoftH264::CCodecSoftH264() = default;

CCodecSoftH264::~CCodecSoftH264() {
    CCodecSoftH264::Close();
}

int32_t CCodecSoftH264::Open(const VideoDecoderParam *pParam) {
    CCodecSoftH264::Close();
    CBaseVideoCodec::Open(pParam);
    const uint32_t processors = platform::ProcessorCount();
    const bool multiThread = (pParam->dwFlags & VDEC_FLAG_MULTITHREAD) != 0;

    H264CoreParam core{};
    // Sizes the core does not accept fall back to its defaults there.
    core.dwMaxMbWidth = uint32_t((uint64_t(pParam->dwWidth) + 15) / 16);
    core.dwMaxMbHeight = uint32_t((uint64_t(pParam->dwHeight) + 15) / 16);
    core.dwCount = H264_CORE_COUNT_SOFT_DECODER;
    core.dwOptions = H264_CORE_OPT_BASE;
    if (multiThread && processors > 1)
        core.dwOptions |= H264_CORE_OPT_MULTITHREAD;
    m_hDecoder = H264Core_Create(&core);
    if (!m_hDecoder)
        return VDEC_E_CREATE_FAILED;

    m_info.dwThreadCount = multiThread ? processors : 1;
    m_info.dwDecoderKind = VDEC_KIND_SOFT_H264;
    return VDEC_OK;
}

void CCodecSoftH264::Close() {
    if (m_hDecoder)
        H264Core_Destroy(m_hDecoder);
    m_hDecoder = nullptr;
    CBaseVideoCodec::Close();
}

int32_t CCodecSoftH264::TakePicture(const H264CorePicture &core, DecodedPicture *pPicture, uint64_t *pqwTag) {
    const H264CorePictureInfo &info = core.info;
    const uint32_t width = info.dwDisplayWidth;
    uint32_t height = info.dwDisplayHeight;
    // Some encoders code 1080 lines as 1088 without saying where the
    // picture ends: a stream recorded as 1920 x 1080 drops the last 8 rows.
    if (width == 1920 && height == 1088 && m_param.dwWidth == 1920 && m_param.dwHeight == 1080)
        height = 1080;
    *pqwTag = uint64_t(info.dwUserHigh) << 32 | info.dwUserLow;
    // The core keeps the window inside the coded picture; a stream larger
    // than the decoder was made for is the player's to handle (it recreates
    // the decoder), and its picture does not fit the buffer.
    if (width == 0 || height == 0 || uint64_t(info.dwCropLeft) + width > core.dwWidth ||
        uint64_t(info.dwCropTop) + height > core.dwHeight || !FitsCreatedSize(width, height))
        return VDEC_E_FAIL;
    H264CorePicture window = core;
    window.pY += size_t(info.dwCropTop) * core.nLumaStride + info.dwCropLeft;
    window.pU += size_t(info.dwCropTop / 2) * core.nChromaStride + info.dwCropLeft / 2;
    window.pV += size_t(info.dwCropTop / 2) * core.nChromaStride + info.dwCropLeft / 2;
    CopyYv12(window, width, height, m_color, pPicture->pBuffer);

    pPicture->dwFourCC = VDEC_FOURCC_YV12;
    pPicture->dwWidth = width;
    pPicture->dwHeight = height;
    int32_t result = FinishPicture(pPicture, true);
    if (result != VDEC_OK)
        return result;
    CountPicture();
    return VDEC_OK;
}

int32_t CCodecSoftH264::Decode(const uint8_t *pData, uint32_t nLength, uint64_t qwTag,
                               DecodedPicture *pPicture, uint64_t *pqwTag) {
    bool queryOnly = false;
    int32_t result = CheckBuffer(pPicture, &queryOnly);
    if (result != VDEC_OK || queryOnly)
        return result;
    if (!m_hDecoder)
        return VDEC_E_CREATE_FAILED; // closed, or never opened

    StartTiming();
    // One picture per call: the core hands out the pictures it already has
    // ready before those of this frame, so none is lost and the order stays.
    H264CorePicture core{};
    const uint32_t flags = m_bWholeFrames ? H264_CORE_DECODE_WHOLE_UNIT : 0;
    if (H264Core_Decode(m_hDecoder, pData, nLength, qwTag, &core, flags) != H264_CORE_OK)
        return VDEC_E_NO_PICTURE;
    return TakePicture(core, pPicture, pqwTag);
}

int32_t CCodecSoftH264::Drain(DecodedPicture *pPicture, uint64_t *pqwTag) {
    bool queryOnly = false;
    int32_t result = CheckBuffer(pPicture, &queryOnly);
    if (result != VDEC_OK || queryOnly)
        return result;
    if (!m_hDecoder)
        return VDEC_E_CREATE_FAILED;

    StartTiming();
    // The core ends the access unit it holds, then gives out the pictures
    // held for reordering one per call; once empty it takes a new stream.
    H264CorePicture core{};
    if (H264Core_Decode(m_hDecoder, nullptr, 0, 0, &core, H264_CORE_DECODE_END_OF_STREAM) != H264_CORE_OK)
        return VDEC_E_NO_PICTURE;
    return TakePicture(core, pPicture, pqwTag);
}
