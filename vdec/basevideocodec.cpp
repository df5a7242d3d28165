#include "vdec/basevideocodec.h"

#include <atomic>
#include <cstring>

#include "platform/timers.h"
#include "vdec/fieldstep.h"

namespace {

std::atomic<VdecCounterFunction> g_pCounter{nullptr};
std::atomic<int64_t> g_nCounterFrequency{0};

int64_t ReadCounter() {
    VdecCounterFunction counter = g_pCounter.load(std::memory_order_acquire);
    return counter ? counter() : platform::QueryCounter();
}

int64_t ReadFrequency() {
    if (g_pCounter.load(std::memory_order_acquire))
        return g_nCounterFrequency.load(std::memory_order_relaxed);
    return platform::QueryCounterFrequency();
}

} // namespace

void VdecSetCounterForTesting(VdecCounterFunction counter, int64_t frequency) {
    g_nCounterFrequency.store(frequency, std::memory_order_relaxed);
    g_pCounter.store(counter, std::memory_order_release);
}

CBaseVideoCodec::CBaseVideoCodec()
    : m_hDecoder(nullptr), m_param{}, m_dwBrightness(0), m_dwContrast(0), m_dwSaturation(0),
      m_dwHue(0), m_color{}, m_info{}, m_dwWindowPictures(0), m_ullWindowMicroseconds(0), m_nFrequency(0),
      m_nFrequencyMs(0), m_nFrequencyUs(0), m_nDecodeStart(0) {
    m_nFrequency = ReadFrequency();
    m_nFrequencyMs = m_nFrequency / 1000;
    m_nFrequencyUs = m_nFrequency / 1000000;
}

CBaseVideoCodec::~CBaseVideoCodec() {
    CBaseVideoCodec::Close();
}

int32_t CBaseVideoCodec::Open(const VideoDecoderParam *pParam) {
    m_param = *pParam;
    m_dwBrightness = m_dwContrast = m_dwSaturation = m_dwHue = kColorNeutral;
    m_color = ComputeColorCoefficients(kColorNeutral, kColorNeutral, kColorNeutral, kColorNeutral);
    m_info = DecoderInfo{};
    m_info.dwSize = VDEC_INFO_SIZE;
    m_info.dwThreadCount = 1;
    m_dwWindowPictures = 0;
    m_ullWindowMicroseconds = 0;
    return VDEC_OK;
}

void CBaseVideoCodec::Close() {
    m_hDecoder = nullptr;
    m_param = VideoDecoderParam{};
    m_dwBrightness = m_dwContrast = m_dwSaturation = m_dwHue = 0;
    m_color = ColorCoefficients{};
    m_info = DecoderInfo{};
    m_dwWindowPictures = 0;
    m_ullWindowMicroseconds = 0;
    m_nFrequencyMs = 0;
    m_nFrequencyUs = 0;
    m_nDecodeStart = 0;
}

int32_t CBaseVideoCodec::SetColor(const PLAY_COLOR *pColor) {
    m_dwBrightness = pColor->dwBrightness > kColorMax ? kColorMax : pColor->dwBrightness;
    m_dwContrast = pColor->dwContrast > kColorMax ? kColorMax : pColor->dwContrast;
    m_dwSaturation = pColor->dwSaturation > kColorMax ? kColorMax : pColor->dwSaturation;
    m_dwHue = pColor->dwHue > kColorMax ? kColorMax : pColor->dwHue;
    m_color = ComputeColorCoefficients(m_dwBrightness, m_dwContrast, m_dwSaturation, m_dwHue);
    return VDEC_OK;
}

int32_t CBaseVideoCodec::GetColor(PLAY_COLOR *pColor) {
    pColor->dwBrightness = m_dwBrightness;
    pColor->dwContrast = m_dwContrast;
    pColor->dwSaturation = m_dwSaturation;
    pColor->dwHue = m_dwHue;
    return VDEC_OK;
}

int32_t CBaseVideoCodec::GetDecoderInfo(DecoderInfo *pInfo) {
    std::memcpy(pInfo, &m_info, sizeof m_info);
    return VDEC_OK;
}

void CBaseVideoCodec::ExpectedSize(uint32_t width, uint32_t height, uint32_t *pWidth, uint32_t *pHeight) {
    *pWidth = width;
    *pHeight = IsFieldPictureSize(width, height) ? height * 2 : height;
}

int32_t CBaseVideoCodec::CheckBuffer(DecodedPicture *pPicture, bool *pbQueryOnly) const {
    uint32_t width, height;
    ExpectedSize(m_param.dwWidth, m_param.dwHeight, &width, &height);
    uint64_t needed = uint64_t(width) * height * 3 / 2;
    // Sizes beyond 32 bits cannot be handed out in the record; no decoder is
    // created that large (the core's limit is 5632 x 4096).
    uint32_t needed32 = needed > UINT32_MAX ? UINT32_MAX : uint32_t(needed);
    *pbQueryOnly = false;
    if (!pPicture->pBuffer || pPicture->dwBufferSize == 0) {
        pPicture->dwBufferSize = needed32;
        *pbQueryOnly = true;
        return VDEC_OK;
    }
    if (pPicture->dwBufferSize < needed) {
        pPicture->dwBufferSize = needed32;
        return VDEC_E_BUFFER_TOO_SMALL;
    }
    return VDEC_OK;
}

bool CBaseVideoCodec::FitsCreatedSize(uint32_t width, uint32_t height) const {
    uint32_t maxWidth, maxHeight;
    ExpectedSize(m_param.dwWidth, m_param.dwHeight, &maxWidth, &maxHeight);
    return width <= maxWidth && height <= maxHeight;
}

void CBaseVideoCodec::StartTiming() {
    // The frequency is read again: it is fixed at boot on current systems,
    // but the test counter may have been swapped in since construction.
    m_nFrequency = ReadFrequency();
    m_nFrequencyMs = m_nFrequency / 1000;
    m_nFrequencyUs = m_nFrequency / 1000000;
    m_nDecodeStart = ReadCounter();
}

int32_t CBaseVideoCodec::FinishPicture(DecodedPicture *pPicture, bool bColorApplied) {
    // Neutral controls leave both flags off: nothing is touched.
    if (!bColorApplied && (m_color.bLuma || m_color.bChroma)) {
        int32_t result = ColorAdjustPicture(pPicture->pBuffer, pPicture->dwFourCC, pPicture->dwWidth,
                                            pPicture->dwHeight, m_color);
        if (result != VDEC_OK)
            return result;
    }
    uint32_t height = pPicture->dwHeight;
    int32_t result = FieldDoublePicture(pPicture->pBuffer, pPicture->dwFourCC, pPicture->dwWidth, &height);
    if (result != VDEC_OK)
        return result;
    pPicture->dwHeight = height;
    return VDEC_OK;
}

void CBaseVideoCodec::CountPicture() {
    int64_t elapsed = ReadCounter() - m_nDecodeStart;
    uint64_t microseconds = 0;
    if (elapsed > 0 && m_nFrequency > 0) {
        // Counts to microseconds without the rounding of a per-microsecond
        // frequency (which is 0 below 1 MHz).
        microseconds = uint64_t(elapsed) / uint64_t(m_nFrequency) * 1000000 +
                       uint64_t(elapsed) % uint64_t(m_nFrequency) * 1000000 / uint64_t(m_nFrequency);
    }
    ++m_info.dwPictureCount;
    m_info.ullDecodeTime += microseconds;

    ++m_dwWindowPictures;
    m_ullWindowMicroseconds += microseconds;
    if (m_dwWindowPictures < kVdecSpeedMinPictures || m_ullWindowMicroseconds == 0)
        return;
    uint64_t speed = uint64_t(m_dwWindowPictures) * 1000000 / m_ullWindowMicroseconds;
    if (m_info.dwSpeed == 0) {
        m_info.dwSpeed = speed > UINT32_MAX ? UINT32_MAX : uint32_t(speed);
    } else if (m_dwWindowPictures % kVdecSpeedWindow == 0) {
        uint64_t mean = (speed + m_info.dwSpeed) / 2;
        m_info.dwSpeed = mean > UINT32_MAX ? UINT32_MAX : uint32_t(mean);
        m_dwWindowPictures = 0;
        m_ullWindowMicroseconds = 0;
    }
}
