#include "vdec/cuda.h"

#include <cstring>
#include <mutex>
#include <new>

#include "platform/system.h"

namespace {

// The driver entry points, in the order they are looked up.
struct CudaFunctions {
    PFN_cuInit cuInit;
    PFN_cuDeviceGetCount cuDeviceGetCount;
    PFN_cuDeviceGet cuDeviceGet;
    PFN_cuDeviceComputeCapability cuDeviceComputeCapability;
    PFN_cuDeviceTotalMem cuDeviceTotalMem;
    PFN_cuDeviceGetName cuDeviceGetName;
    PFN_cuCtxCreate cuCtxCreate;
    PFN_cuCtxDestroy cuCtxDestroy;
    PFN_cuCtxSetCurrent cuCtxSetCurrent;
    PFN_cuDriverGetVersion cuDriverGetVersion;
    PFN_cuMemAllocHost cuMemAllocHost;
    PFN_cuMemFreeHost cuMemFreeHost;
    PFN_cuMemcpyDtoH cuMemcpyDtoH;
    PFN_cuvidCreateVideoParser cuvidCreateVideoParser;
    PFN_cuvidDestroyVideoParser cuvidDestroyVideoParser;
    PFN_cuvidParseVideoData cuvidParseVideoData;
    PFN_cuvidCreateDecoder cuvidCreateDecoder;
    PFN_cuvidDestroyDecoder cuvidDestroyDecoder;
    PFN_cuvidDecodePicture cuvidDecodePicture;
    PFN_cuvidMapVideoFrame cuvidMapVideoFrame;
    PFN_cuvidUnmapVideoFrame cuvidUnmapVideoFrame;
};

constexpr const char *kCudaFunctionNames[] = {
    "cuInit",
    "cuDeviceGetCount",
    "cuDeviceGet",
    "cuDeviceComputeCapability",
    "cuDeviceTotalMem_v2",
    "cuDeviceGetName",
    "cuCtxCreate_v2",
    "cuCtxDestroy_v2",
    "cuCtxSetCurrent",
    "cuDriverGetVersion",
    "cuMemAllocHost_v2",
    "cuMemFreeHost",
    "cuMemcpyDtoH_v2",
};
constexpr const char *kCuvidFunctionNames[] = {
    "cuvidCreateVideoParser", "cuvidDestroyVideoParser", "cuvidParseVideoData", "cuvidCreateDecoder",
    "cuvidDestroyDecoder",    "cuvidDecodePicture",      kCuvidMapName,         kCuvidUnmapName,
};
constexpr size_t kCudaFunctionCount = sizeof kCudaFunctionNames / sizeof kCudaFunctionNames[0];
constexpr size_t kCuvidFunctionCount = sizeof kCuvidFunctionNames / sizeof kCuvidFunctionNames[0];
static_assert(sizeof(CudaFunctions) == (kCudaFunctionCount + kCuvidFunctionCount) * sizeof(void *),
              "one pointer per entry point");

// Device requirements.
constexpr int kMinDriverVersion = 4010;
constexpr int kMinComputeMajor = 1;
constexpr int kMinComputeMinor = 1;
constexpr size_t kMinDeviceMemory = 134217728;
constexpr int kDeviceOrdinal = 0;
// Decoder and parser set-up. The parser cycles through its decode surfaces,
// so they must hold every picture H.264 may keep for reference or for
// reordering (up to 16), the one being decoded and those queued for display;
// two surfaces only suit streams with one reference frame and no B frames.
constexpr unsigned long kDecodeSurfaces = 20;
constexpr unsigned long kOutputSurfaces = 2;
// Streams are coded in whole macroblocks; cropping shows the picture size.
constexpr uint32_t kMacroblock = 16;

uint32_t RoundToMacroblocks(uint32_t size) {
    return uint32_t((uint64_t(size) + kMacroblock - 1) / kMacroblock * kMacroblock);
}

// What every instance of the process shares; guarded by lock except the
// functions and the context, which stay fixed while any instance exists.
struct CudaProcess {
    std::mutex lock;
    uint32_t nInstances = 0;
    platform::CDynamicLibrary cuda;
    platform::CDynamicLibrary cuvid;
    CudaFunctions fn{};
    CUcontext context = nullptr;
    std::string cudaName = kCudaLibraryName;
    std::string cuvidName = kCuvidLibraryName;
    std::string mappingName = kCudaSpeedMappingName;
    std::string mutexName = kCudaSpeedMutexName;
};

CudaProcess &Process() {
    static CudaProcess process;
    return process;
}

bool LoadFunctions(CudaProcess &p) {
    void *table[kCudaFunctionCount + kCuvidFunctionCount] = {};
    if (!p.cuda.Load(p.cudaName.c_str()) || !p.cuvid.Load(p.cuvidName.c_str()))
        return false;
    for (size_t i = 0; i < kCudaFunctionCount; ++i) {
        if (!(table[i] = p.cuda.Symbol(kCudaFunctionNames[i])))
            return false;
    }
    for (size_t i = 0; i < kCuvidFunctionCount; ++i) {
        if (!(table[kCudaFunctionCount + i] = p.cuvid.Symbol(kCuvidFunctionNames[i])))
            return false;
    }
    std::memcpy(&p.fn, table, sizeof table);
    return true;
}

// Device 0 when the driver and the card are recent and large enough.
bool ChooseDevice(const CudaFunctions &fn, CUdevice *pDevice) {
    int version = 0, count = 0, major = 0, minor = 0;
    size_t memory = 0;
    if (fn.cuInit(0) != CUDA_SUCCESS)
        return false;
    if (fn.cuDriverGetVersion(&version) != CUDA_SUCCESS || version < kMinDriverVersion)
        return false;
    if (fn.cuDeviceGetCount(&count) != CUDA_SUCCESS || count <= 0)
        return false;
    if (fn.cuDeviceGet(pDevice, kDeviceOrdinal) != CUDA_SUCCESS)
        return false;
    if (fn.cuDeviceComputeCapability(&major, &minor, *pDevice) != CUDA_SUCCESS)
        return false;
    if (major < kMinComputeMajor || (major == kMinComputeMajor && minor < kMinComputeMinor))
        return false;
    if (fn.cuDeviceTotalMem(&memory, *pDevice) != CUDA_SUCCESS || memory < kMinDeviceMemory)
        return false;
    return true;
}

void ReleaseProcess(CudaProcess &p) {
    if (p.context && p.fn.cuCtxDestroy)
        p.fn.cuCtxDestroy(p.context);
    p.context = nullptr;
    p.fn = CudaFunctions{};
    p.cuvid.Free();
    p.cuda.Free();
}

// First instance: libraries, functions, device, context (left detached).
void SetUpProcess(CudaProcess &p) {
    if (!LoadFunctions(p)) {
        ReleaseProcess(p);
        return;
    }
    CUdevice device = 0;
    CUcontext context = nullptr;
    if (!ChooseDevice(p.fn, &device) ||
        p.fn.cuCtxCreate(&context, CU_CTX_SCHED_BLOCKING_SYNC, device) != CUDA_SUCCESS || !context) {
        ReleaseProcess(p);
        return;
    }
    p.context = context;
    p.fn.cuCtxSetCurrent(nullptr);
}

// Makes the process context current for the length of a scope.
class CContextScope {
public:
    explicit CContextScope(const CudaProcess &p) : m_p(p) {
        m_bCurrent = p.context && p.fn.cuCtxSetCurrent(p.context) == CUDA_SUCCESS;
    }
    ~CContextScope() {
        if (m_bCurrent)
            m_p.fn.cuCtxSetCurrent(nullptr);
    }
    CContextScope(const CContextScope &) = delete;
    CContextScope &operator=(const CContextScope &) = delete;
    bool IsCurrent() const { return m_bCurrent; }

private:
    const CudaProcess &m_p;
    bool m_bCurrent;
};

} // namespace

void CudaSetTestOverrides(const CudaTestOverrides *pOverrides) {
    CudaProcess &p = Process();
    std::lock_guard<std::mutex> guard(p.lock);
    auto pick = [](const char *override, const char *real) {
        return std::string(override ? override : real);
    };
    p.cudaName = pick(pOverrides ? pOverrides->pszCudaLibrary : nullptr, kCudaLibraryName);
    p.cuvidName = pick(pOverrides ? pOverrides->pszCuvidLibrary : nullptr, kCuvidLibraryName);
    p.mappingName = pick(pOverrides ? pOverrides->pszSpeedMapping : nullptr, kCudaSpeedMappingName);
    p.mutexName = pick(pOverrides ? pOverrides->pszSpeedMutex : nullptr, kCudaSpeedMutexName);
}

bool CudaIsAvailable() {
    CudaProcess &p = Process();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.context != nullptr;
}

CCodecCuda::CCodecCuda()
    : m_hCuvidDecoder(nullptr), m_hParser(nullptr), m_dwCodedWidth(0), m_dwCodedHeight(0), m_dwDisplayLeft(0),
      m_dwDisplayTop(0), m_dwDisplayRight(0), m_dwDisplayBottom(0), m_bEndOfStreamSent(false),
      m_pHostBuffer(nullptr), m_nHostBufferSize(0) {
    CudaProcess &p = Process();
    std::lock_guard<std::mutex> guard(p.lock);
    if (++p.nInstances == 1)
        SetUpProcess(p);
}

CCodecCuda::~CCodecCuda() {
    CCodecCuda::Close();
    CudaProcess &p = Process();
    std::lock_guard<std::mutex> guard(p.lock);
    if (--p.nInstances == 0)
        ReleaseProcess(p);
}

int32_t CCodecCuda::Open(const VideoDecoderParam *pParam) {
    CCodecCuda::Close();
    CBaseVideoCodec::Open(pParam);
    CudaProcess &p = Process();
    std::string mappingName, mutexName;
    {
        std::lock_guard<std::mutex> guard(p.lock);
        mappingName = p.mappingName;
        mutexName = p.mutexName;
    }
    if (!p.context || pParam->dwWidth > kMaxWidth || pParam->dwHeight > kMaxHeight)
        return VDEC_E_NOT_SUPPORTED;
    if (!m_speedRecord.Attach(mappingName.c_str(), mutexName.c_str()))
        return VDEC_E_FAIL;
    std::string recordMutex = m_speedRecord.MutexName();
    if (recordMutex.empty() || !m_speedMutex.Open(recordMutex.c_str()))
        return VDEC_E_FAIL;
    uint32_t sharedSpeed = m_speedRecord.Speed();
    if (sharedSpeed > 0 && sharedSpeed < kMinSpeed)
        return VDEC_E_NOT_SUPPORTED; // the card is too slow; software takes over

    CContextScope scope(p);
    if (!scope.IsCurrent())
        return VDEC_E_FAIL;
    m_dwCodedWidth = RoundToMacroblocks(pParam->dwWidth);
    m_dwCodedHeight = RoundToMacroblocks(pParam->dwHeight);
    // Until a sequence says otherwise, the created size is shown.
    m_dwDisplayLeft = m_dwDisplayTop = 0;
    m_dwDisplayRight = pParam->dwWidth;
    m_dwDisplayBottom = pParam->dwHeight;

    CUVIDDECODECREATEINFO create{};
    create.ulWidth = m_dwCodedWidth;
    create.ulHeight = m_dwCodedHeight;
    create.ulNumDecodeSurfaces = kDecodeSurfaces;
    create.CodecType = CUDA_VIDEO_CODEC_H264;
    create.ChromaFormat = CUDA_VIDEO_CHROMA_420;
    create.ulCreationFlags = CUDA_VIDEO_CREATE_PREFER_CUVID;
    create.OutputFormat = CUDA_VIDEO_SURFACE_NV12;
    create.DeinterlaceMode = CUDA_VIDEO_DEINTERLACE_WEAVE;
    create.ulTargetWidth = m_dwCodedWidth;
    create.ulTargetHeight = m_dwCodedHeight;
    create.ulNumOutputSurfaces = kOutputSurfaces;
    create.vidLock = nullptr;
    if (p.fn.cuvidCreateDecoder(&m_hCuvidDecoder, &create) != CUDA_SUCCESS || !m_hCuvidDecoder) {
        m_hCuvidDecoder = nullptr;
        return VDEC_E_CREATE_FAILED;
    }
    m_hDecoder = m_hCuvidDecoder;

    CUVIDPARSERPARAMS parser{};
    parser.CodecType = CUDA_VIDEO_CODEC_H264;
    parser.ulMaxNumDecodeSurfaces = kDecodeSurfaces;
    parser.ulClockRate = 0;
    parser.ulErrorThreshold = 0;
    parser.ulMaxDisplayDelay = 0;
    parser.pUserData = this;
    parser.pfnSequenceCallback = &CCodecCuda::OnSequence;
    parser.pfnDecodePicture = &CCodecCuda::OnDecode;
    parser.pfnDisplayPicture = &CCodecCuda::OnDisplay;
    if (p.fn.cuvidCreateVideoParser(&m_hParser, &parser) != CUDA_SUCCESS || !m_hParser) {
        m_hParser = nullptr;
        return VDEC_E_CREATE_FAILED;
    }
    m_info.dwThreadCount = 0;
    m_info.dwDecoderKind = VDEC_KIND_CUDA;
    return VDEC_OK;
}

void CCodecCuda::Close() {
    CudaProcess &p = Process();
    if (m_hParser || m_hCuvidDecoder || m_pHostBuffer) {
        // The functions stay loaded while this instance exists.
        CContextScope scope(p);
        if (m_hParser)
            p.fn.cuvidDestroyVideoParser(m_hParser);
        m_hParser = nullptr;
        // Pictures never taken are still mapped and unmapped, so that the
        // decoder gives their surfaces back.
        for (const CUVIDPARSERDISPINFO &display : m_displayQueue) {
            CUVIDPROCPARAMS proc{};
            proc.progressive_frame = display.progressive_frame;
            proc.top_field_first = display.top_field_first;
            CUdeviceptr device = 0;
            unsigned int pitch = 0;
            if (m_hCuvidDecoder && p.fn.cuvidMapVideoFrame(m_hCuvidDecoder, display.picture_index, &device,
                                                           &pitch, &proc) == CUDA_SUCCESS)
                p.fn.cuvidUnmapVideoFrame(m_hCuvidDecoder, device);
        }
        if (m_hCuvidDecoder)
            p.fn.cuvidDestroyDecoder(m_hCuvidDecoder);
        m_hCuvidDecoder = nullptr;
        if (m_pHostBuffer)
            p.fn.cuMemFreeHost(m_pHostBuffer);
        m_pHostBuffer = nullptr;
    }
    m_displayQueue.clear();
    m_nHostBufferSize = 0;
    m_dwCodedWidth = m_dwCodedHeight = 0;
    m_dwDisplayLeft = m_dwDisplayTop = m_dwDisplayRight = m_dwDisplayBottom = 0;
    m_bEndOfStreamSent = false;
    m_speedMutex.Close();
    m_speedRecord.Detach();
    CBaseVideoCodec::Close();
}

int QV_CUDAAPI CCodecCuda::OnSequence(void *pUser, CUVIDEOFORMAT *pFormat) {
    auto *self = static_cast<CCodecCuda *>(pUser);
    // Another coded size yields no pictures: the player recreates the
    // decoder. A display area outside the coded picture shows all of it.
    if (pFormat->codec != CUDA_VIDEO_CODEC_H264 || pFormat->coded_width != self->m_dwCodedWidth ||
        pFormat->coded_height != self->m_dwCodedHeight || pFormat->chroma_format != CUDA_VIDEO_CHROMA_420)
        return 0;
    const auto &area = pFormat->display_area;
    if (area.left >= 0 && area.top >= 0 && area.left < area.right && area.top < area.bottom &&
        uint32_t(area.right) <= self->m_dwCodedWidth && uint32_t(area.bottom) <= self->m_dwCodedHeight) {
        // 4:2:0 crops in pairs of samples.
        self->m_dwDisplayLeft = uint32_t(area.left) & ~1u;
        self->m_dwDisplayTop = uint32_t(area.top) & ~1u;
        self->m_dwDisplayRight = uint32_t(area.right);
        self->m_dwDisplayBottom = uint32_t(area.bottom);
    } else {
        self->m_dwDisplayLeft = self->m_dwDisplayTop = 0;
        self->m_dwDisplayRight = self->m_dwCodedWidth;
        self->m_dwDisplayBottom = self->m_dwCodedHeight;
    }
    return 1;
}

int QV_CUDAAPI CCodecCuda::OnDecode(void *pUser, CUVIDPICPARAMS *pParams) {
    auto *self = static_cast<CCodecCuda *>(pUser);
    return Process().fn.cuvidDecodePicture(self->m_hCuvidDecoder, pParams) == CUDA_SUCCESS ? 1 : 0;
}

int QV_CUDAAPI CCodecCuda::OnDisplay(void *pUser, CUVIDPARSERDISPINFO *pInfo) {
    auto *self = static_cast<CCodecCuda *>(pUser);
    try {
        self->m_displayQueue.push_back(*pInfo);
    } catch (...) {
        return 0; // called from the driver: nothing may escape
    }
    return 1;
}

// Maps the picture, brings it to the host buffer and copies the display area
// into the caller's buffer as NV12 (pPicture's width and height are set).
bool CCodecCuda::CopySurface(const CUVIDPARSERDISPINFO &display, DecodedPicture *pPicture) {
    const CudaFunctions &fn = Process().fn;
    CUVIDPROCPARAMS proc{};
    proc.progressive_frame = display.progressive_frame;
    proc.top_field_first = display.top_field_first;
    CUdeviceptr device = 0;
    unsigned int pitch = 0;
    if (fn.cuvidMapVideoFrame(m_hCuvidDecoder, display.picture_index, &device, &pitch, &proc) != CUDA_SUCCESS)
        return false;
    const uint32_t left = m_dwDisplayLeft, top = m_dwDisplayTop;
    const uint32_t width = pPicture->dwWidth;
    const uint32_t height = pPicture->dwHeight;
    const size_t surfaceSize = size_t(pitch) * m_dwCodedHeight * 3 / 2;
    bool ok = pitch >= left + width && top + height <= m_dwCodedHeight;
    if (ok && m_nHostBufferSize < surfaceSize) {
        if (m_pHostBuffer)
            fn.cuMemFreeHost(m_pHostBuffer);
        m_pHostBuffer = nullptr;
        m_nHostBufferSize = 0;
        ok = fn.cuMemAllocHost(&m_pHostBuffer, surfaceSize) == CUDA_SUCCESS && m_pHostBuffer;
        if (ok)
            m_nHostBufferSize = surfaceSize;
        else
            m_pHostBuffer = nullptr;
    }
    if (ok)
        ok = fn.cuMemcpyDtoH(m_pHostBuffer, device, surfaceSize) == CUDA_SUCCESS;
    if (ok) {
        // Chroma rows hold interleaved U, V pairs: the same byte offset as
        // the luma column, half the rows.
        const uint8_t *pLuma = static_cast<const uint8_t *>(m_pHostBuffer) + left;
        const uint8_t *pChroma = pLuma + size_t(m_dwCodedHeight) * pitch;
        uint8_t *pOut = pPicture->pBuffer;
        for (uint32_t y = 0; y < height; ++y, pOut += width)
            std::memcpy(pOut, pLuma + size_t(top + y) * pitch, width);
        for (uint32_t y = 0; y < height / 2; ++y, pOut += width)
            std::memcpy(pOut, pChroma + size_t(top / 2 + y) * pitch, width);
    }
    fn.cuvidUnmapVideoFrame(m_hCuvidDecoder, device);
    return ok;
}

// The head of the display queue leaves the queue whatever happens to it, so
// that a picture that cannot be handed out does not block the others.
int32_t CCodecCuda::TakePicture(DecodedPicture *pPicture, uint64_t *pqwTag) {
    const CUVIDPARSERDISPINFO display = m_displayQueue.front();
    m_displayQueue.pop_front();
    *pqwTag = uint64_t(display.timestamp);
    const uint32_t width = m_dwDisplayRight - m_dwDisplayLeft;
    const uint32_t height = m_dwDisplayBottom - m_dwDisplayTop;
    if (!FitsCreatedSize(width, height)) {
        // Not copied, but mapped and unmapped so the decoder gets it back.
        CUVIDPROCPARAMS proc{};
        proc.progressive_frame = display.progressive_frame;
        proc.top_field_first = display.top_field_first;
        CUdeviceptr device = 0;
        unsigned int pitch = 0;
        const CudaFunctions &fn = Process().fn;
        if (fn.cuvidMapVideoFrame(m_hCuvidDecoder, display.picture_index, &device, &pitch, &proc) ==
            CUDA_SUCCESS)
            fn.cuvidUnmapVideoFrame(m_hCuvidDecoder, device);
        return VDEC_E_FAIL;
    }
    pPicture->dwWidth = width;
    pPicture->dwHeight = height;
    return CopySurface(display, pPicture) ? VDEC_OK : VDEC_E_NO_PICTURE;
}

// The steps after the copy: colour and field steps, statistics, the shared
// speed.
int32_t CCodecCuda::HandOut(DecodedPicture *pPicture) {
    pPicture->dwFourCC = VDEC_FOURCC_NV12;
    int32_t result = FinishPicture(pPicture);
    if (result != VDEC_OK)
        return result;
    CountPicture();
    PublishSpeed();
    return VDEC_OK;
}

int32_t CCodecCuda::Decode(const uint8_t *pData, uint32_t nLength, uint64_t qwTag, DecodedPicture *pPicture,
                           uint64_t *pqwTag) {
    bool queryOnly = false;
    int32_t result = CheckBuffer(pPicture, &queryOnly);
    if (result != VDEC_OK || queryOnly)
        return result;
    if (!m_hParser || !m_hCuvidDecoder)
        return VDEC_E_FAIL; // closed, or never opened

    StartTiming();
    result = VDEC_E_NO_PICTURE;
    {
        CContextScope scope(Process());
        if (!scope.IsCurrent())
            return VDEC_E_FAIL;
        // Each frame is a whole picture: the parser decodes it now instead
        // of when the next one starts, and the tag comes back with it.
        CUVIDSOURCEDATAPACKET packet{};
        packet.flags = CUVID_PKT_ENDOFPICTURE | CUVID_PKT_TIMESTAMP;
        packet.payload_size = nLength;
        packet.payload = pData;
        packet.timestamp = CUvideotimestamp(qwTag);
        Process().fn.cuvidParseVideoData(m_hParser, &packet);
        m_bEndOfStreamSent = false;
        // One picture per call; the others wait for the next calls.
        if (!m_displayQueue.empty())
            result = TakePicture(pPicture, pqwTag);
    }
    return result == VDEC_OK ? HandOut(pPicture) : result;
}

int32_t CCodecCuda::Drain(DecodedPicture *pPicture, uint64_t *pqwTag) {
    bool queryOnly = false;
    int32_t result = CheckBuffer(pPicture, &queryOnly);
    if (result != VDEC_OK || queryOnly)
        return result;
    if (!m_hParser || !m_hCuvidDecoder)
        return VDEC_E_FAIL;

    StartTiming();
    result = VDEC_E_NO_PICTURE;
    {
        CContextScope scope(Process());
        if (!scope.IsCurrent())
            return VDEC_E_FAIL;
        // The end of the stream once: the parser sends every picture it
        // holds to display, and then takes a new stream.
        if (!m_bEndOfStreamSent) {
            CUVIDSOURCEDATAPACKET packet{};
            packet.flags = CUVID_PKT_ENDOFSTREAM;
            Process().fn.cuvidParseVideoData(m_hParser, &packet);
            m_bEndOfStreamSent = true;
        }
        if (!m_displayQueue.empty())
            result = TakePicture(pPicture, pqwTag);
        else
            m_bEndOfStreamSent = false; // drained; the next drain ends the next stream
    }
    return result == VDEC_OK ? HandOut(pPicture) : result;
}

// Shares this decoder's speed with the machine: the first estimate fills an
// unmeasured record; afterwards every 32nd picture blends in, weighted
// against the decoders attached. A busy mutex skips the update.
void CCodecCuda::PublishSpeed() {
    const uint32_t own = m_info.dwSpeed;
    if (own == 0 || !m_speedRecord.IsAttached())
        return;
    if (m_speedRecord.Speed() == 0) {
        if (m_speedMutex.Lock(0) == platform::kWaitSignalled) {
            if (m_speedRecord.Speed() == 0)
                m_speedRecord.SetSpeed(own);
            m_speedMutex.Unlock();
        }
        return;
    }
    if (m_info.dwPictureCount % kVdecSpeedWindow != 0)
        return;
    if (m_speedMutex.Lock(0) == platform::kWaitSignalled) {
        uint64_t shared = m_speedRecord.Speed();
        uint64_t attached = m_speedRecord.AttachedCount();
        m_speedRecord.SetSpeed(uint32_t((shared * attached + own) / (attached + 1)));
        m_speedMutex.Unlock();
    }
}
