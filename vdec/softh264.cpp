#include "vdec/softh264.h"

#include "platform/system.h"
#include "vdec/colour.h"
#include "vdec/h264core.h"

namespace {

// A 1080-line stream is coded with 1088 rows; the last 8 are padding.
constexpr uint32_t kCodedWidth1080 = 1920;
constexpr uint32_t kCodedHeight1080 = 1088;
constexpr uint32_t kHeight1080 = 1080;

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

int32_t CCodecSoftH264::Decode(const uint8_t *pData, uint32_t nLength, DecodedPicture *pPicture) {
    bool queryOnly = false;
    int32_t result = CheckBuffer(pPicture, &queryOnly);
    if (result != VDEC_OK || queryOnly)
        return result;
    if (!m_hDecoder)
        return VDEC_E_CREATE_FAILED; // closed, or never opened

    uint32_t maxWidth, maxHeight;
    ExpectedSize(m_param.dwWidth, m_param.dwHeight, &maxWidth, &maxHeight);
    StartTiming();

    H264CorePicture core{};
    const uint8_t *pInput = pData;
    uint32_t inputLength = nLength;
    bool havePicture = false;
    uint32_t width = 0, height = 0;
    // The whole payload first, then drain every picture it released; the
    // last one wins.
    const uint32_t flags = m_bWholeFrames ? H264_CORE_DECODE_WHOLE_UNIT : 0;
    while (H264Core_Decode(m_hDecoder, pInput, inputLength, 0, &core, flags) == H264_CORE_OK) {
        pInput = nullptr;
        inputLength = 0;
        uint32_t coreWidth = core.dwWidth;
        uint32_t coreHeight = core.dwHeight;
        if (coreWidth == kCodedWidth1080 && coreHeight == kCodedHeight1080 &&
            m_param.dwWidth == kCodedWidth1080 && m_param.dwHeight == kHeight1080)
            coreHeight = kHeight1080;
        else if (coreWidth > maxWidth || coreHeight > maxHeight)
            return VDEC_E_FAIL;
        CopyYv12(core, coreWidth, coreHeight, m_color, pPicture->pBuffer);
        width = coreWidth;
        height = coreHeight;
        havePicture = true;
    }
    if (!havePicture)
        return VDEC_E_NO_PICTURE;

    pPicture->dwFourCC = VDEC_FOURCC_YV12;
    pPicture->dwWidth = width;
    pPicture->dwHeight = height;
    result = FinishPicture(pPicture, true);
    if (result != VDEC_OK)
        return result;
    CountPicture();
    return VDEC_OK;
}
