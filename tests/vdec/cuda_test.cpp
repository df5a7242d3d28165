// The hardware decoder against the test driver in tests/vdec/fakecuda: two
// libraries under the real file names, backed by the software core, with
// switches for the device properties and counters of what was asked of them.
// Each test uses speed-record names of its own, so that parallel test
// processes and a real installation never meet.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cudachild.h"
#include "fakecuda/fakeapi.h"
#include "platform/shared.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "vdec/basevideocodec.h"
#include "vdec/cuda.h"
#include "vdec/cudaspeed.h"
#include "vdec/vdec.h"
#include "vdectest.h"

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

using namespace vdectest;

namespace {

std::string FakePath(const char *file) {
    return HostPath(std::string(QV_FAKECUDA_DIR) + "/" + file);
}

struct DecoderDeleter {
    void operator()(CBaseVideoCodec *decoder) const { Vdec_Destroy(decoder); }
};
using DecoderPtr = std::unique_ptr<CBaseVideoCodec, DecoderDeleter>;

int64_t g_nClock = 0;
int64_t g_nClockStep = 10000;
int64_t StepClock() {
    g_nClock += g_nClockStep;
    return g_nClock;
}

class CudaTest : public testing::Test {
protected:
    void SetUp() override {
        const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
        std::string unique = std::string("qvtest.") + std::to_string(getpid()) + "." + test->name();
        for (char &c : unique)
            if (c == '/')
                c = '_';
        m_mapping = unique + ".speed";
        m_mutex = unique + ".mutex";
        m_cudaPath = FakePath(kFakeCudaFile);
        m_cuvidPath = FakePath(kFakeCuvidFile);
        ASSERT_TRUE(m_cuda.Load(m_cudaPath.c_str())) << m_cudaPath;
        ASSERT_TRUE(m_cuvid.Load(m_cuvidPath.c_str())) << m_cuvidPath;
        m_cudaSet = reinterpret_cast<PFN_FakeSet>(m_cuda.Symbol("FakeCuda_Set"));
        m_cudaGet = reinterpret_cast<PFN_FakeGet>(m_cuda.Symbol("FakeCuda_Get"));
        m_cuvidSet = reinterpret_cast<PFN_FakeSet>(m_cuvid.Symbol("FakeCuvid_Set"));
        m_cuvidGet = reinterpret_cast<PFN_FakeGet>(m_cuvid.Symbol("FakeCuvid_Get"));
        auto cudaReset = reinterpret_cast<PFN_FakeReset>(m_cuda.Symbol("FakeCuda_Reset"));
        auto cuvidReset = reinterpret_cast<PFN_FakeReset>(m_cuvid.Symbol("FakeCuvid_Reset"));
        ASSERT_TRUE(m_cudaSet && m_cudaGet && m_cuvidSet && m_cuvidGet && cudaReset && cuvidReset);
        cudaReset();
        cuvidReset();
        UseFakeDriver(m_cudaPath.c_str(), m_cuvidPath.c_str());
        g_nClock = 0;
        g_nClockStep = 10000;
    }
    void TearDown() override {
        CudaSetTestOverrides(nullptr);
        VdecSetCounterForTesting(nullptr, 0);
    }

    void UseFakeDriver(const char *cuda, const char *cuvid) {
        CudaTestOverrides overrides{cuda, cuvid, m_mapping.c_str(), m_mutex.c_str()};
        CudaSetTestOverrides(&overrides);
    }

    DecoderPtr Create(uint32_t codec, uint32_t width, uint32_t height, int32_t *pResult = nullptr) {
        VideoDecoderParam param{VDEC_PARAM_SIZE, codec, width, height, VDEC_FLAG_HARDWARE, 0};
        CBaseVideoCodec *decoder = nullptr;
        int32_t result = Vdec_Create(&decoder, &param);
        if (pResult)
            *pResult = result;
        return DecoderPtr(decoder);
    }

    static uint32_t Kind(CBaseVideoCodec *decoder) {
        DecoderInfo info{};
        if (!decoder || Vdec_GetDecoderInfo(decoder, &info) != VDEC_OK)
            return 0xFFFFFFFFu;
        return info.dwDecoderKind;
    }

    // The record as another process sees it, without attaching.
    uint32_t RecordField(size_t offset) {
        platform::CNamedSharedMemory memory;
        if (!memory.Open(m_mapping.c_str(), kCudaSpeedMappedSize))
            return 0xFFFFFFFFu;
        return CCudaSpeedRecord::LoadU32(memory.Data(), offset);
    }

    std::string m_mapping, m_mutex, m_cudaPath, m_cuvidPath;
    platform::CDynamicLibrary m_cuda, m_cuvid;
    PFN_FakeSet m_cudaSet = nullptr, m_cuvidSet = nullptr;
    PFN_FakeGet m_cudaGet = nullptr, m_cuvidGet = nullptr;
};

struct Decoded {
    std::vector<std::string> md5s;
    uint32_t dwFourCC = 0, dwWidth = 0, dwHeight = 0;
    bool bUnexpected = false;
    bool bContextLeftCurrent = false;
};

Decoded DecodeNalByNal(CBaseVideoCodec *decoder, const std::vector<uint8_t> &stream, PFN_FakeGet cudaGet,
                       size_t maxPictures = SIZE_MAX) {
    Decoded out;
    std::vector<uint8_t> buffer;
    for (auto [offset, size] : Pieces(stream, Split::kNalByNal)) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        if (Vdec_Decode(decoder, stream.data() + offset, uint32_t(size), &picture) != VDEC_OK) {
            out.bUnexpected = true;
            break;
        }
        if (buffer.size() != picture.dwBufferSize)
            buffer.assign(picture.dwBufferSize, 0);
        picture.pBuffer = buffer.data();
        int32_t result = Vdec_Decode(decoder, stream.data() + offset, uint32_t(size), &picture);
        if (cudaGet && cudaGet("current"))
            out.bContextLeftCurrent = true;
        if (result == VDEC_E_NO_PICTURE)
            continue;
        if (result != VDEC_OK) {
            out.bUnexpected = true;
            break;
        }
        out.dwFourCC = picture.dwFourCC;
        out.dwWidth = picture.dwWidth;
        out.dwHeight = picture.dwHeight;
        out.md5s.push_back(PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight));
        if (out.md5s.size() == maxPictures)
            break;
    }
    return out;
}

// The pictures still held at the end of the stream, one per drain call.
void DrainAll(CBaseVideoCodec *decoder, Decoded &out) {
    std::vector<uint8_t> buffer;
    for (int guard = 0; guard < 64; ++guard) {
        DecodedPicture picture{};
        picture.dwSize = VDEC_PICTURE_SIZE;
        uint64_t tag = 0;
        if (Vdec_Drain(decoder, &picture, &tag) != VDEC_OK) {
            out.bUnexpected = true;
            return;
        }
        buffer.assign(picture.dwBufferSize, 0);
        picture.pBuffer = buffer.data();
        const int32_t result = Vdec_Drain(decoder, &picture, &tag);
        if (result == VDEC_E_NO_PICTURE)
            return;
        if (result != VDEC_OK) {
            out.bUnexpected = true;
            return;
        }
        out.md5s.push_back(PictureMd5(buffer.data(), picture.dwFourCC, picture.dwWidth, picture.dwHeight));
    }
    out.bUnexpected = true; // never ends
}

uint32_t Align16(uint32_t value) {
    return (value + 15) & ~15u;
}

// ---- Decoding ----

class CudaClipTest : public CudaTest, public testing::WithParamInterface<const char *> {};

TEST_P(CudaClipTest, Nv12PicturesFollowFfmpeg) {
    const char *clip = GetParam();
    std::vector<uint8_t> stream = ReadSample(clip);
    Reference ref = ReadReference(clip);
    ASSERT_FALSE(stream.empty());
    ASSERT_GT(ref.md5s.size(), 8u);
    {
        DecoderPtr decoder = Create(VDEC_CODEC_H264, ref.dwWidth, ref.dwHeight);
        ASSERT_TRUE(decoder);
        ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
        EXPECT_TRUE(CudaIsAvailable());
        DecoderInfo info{};
        Vdec_GetDecoderInfo(decoder.get(), &info);
        EXPECT_EQ(info.dwThreadCount, 0u);
        EXPECT_EQ(m_cudaGet("current"), 0) << "context detached after Open";

        Decoded out = DecodeNalByNal(decoder.get(), stream, m_cudaGet);
        EXPECT_FALSE(out.bUnexpected);
        EXPECT_FALSE(out.bContextLeftCurrent);
        EXPECT_EQ(out.dwFourCC, uint32_t(VDEC_FOURCC_NV12));
        EXPECT_EQ(out.dwWidth, ref.dwWidth);
        EXPECT_EQ(out.dwHeight, ref.dwHeight);
        ASSERT_LE(out.md5s.size(), ref.md5s.size());
        EXPECT_GE(out.md5s.size() + 8, ref.md5s.size());
        // The end of the stream brings the pictures held for reordering.
        EXPECT_EQ(m_cuvidGet("end_of_stream_packets"), 0);
        DrainAll(decoder.get(), out);
        EXPECT_FALSE(out.bUnexpected);
        EXPECT_EQ(m_cuvidGet("end_of_stream_packets"), 1);
        ASSERT_EQ(out.md5s.size(), ref.md5s.size());
        for (size_t i = 0; i < out.md5s.size(); ++i)
            EXPECT_EQ(out.md5s[i], ref.md5s[i]) << "picture " << i;

        // What the driver was asked for.
        const uint32_t codedHeight = Align16(ref.dwHeight);
        EXPECT_EQ(m_cudaGet("ctx_create_calls"), 1);
        EXPECT_EQ(m_cudaGet("ctx_flags"), 4);
        EXPECT_EQ(m_cudaGet("ctx_device"), 0);
        EXPECT_EQ(m_cuvidGet("decoder_width"), ref.dwWidth);
        EXPECT_EQ(m_cuvidGet("decoder_height"), codedHeight);
        EXPECT_EQ(m_cuvidGet("decoder_surfaces"), 20);
        EXPECT_EQ(m_cuvidGet("decoder_codec"), CUDA_VIDEO_CODEC_H264);
        EXPECT_EQ(m_cuvidGet("decoder_chroma"), CUDA_VIDEO_CHROMA_420);
        EXPECT_EQ(m_cuvidGet("decoder_flags"), 4);
        EXPECT_EQ(m_cuvidGet("decoder_output_format"), CUDA_VIDEO_SURFACE_NV12);
        EXPECT_EQ(m_cuvidGet("decoder_deinterlace"), CUDA_VIDEO_DEINTERLACE_WEAVE);
        EXPECT_EQ(m_cuvidGet("decoder_target_width"), ref.dwWidth);
        EXPECT_EQ(m_cuvidGet("decoder_target_height"), codedHeight);
        EXPECT_EQ(m_cuvidGet("decoder_output_surfaces"), 2);
        EXPECT_EQ(m_cuvidGet("decoder_has_lock"), 0);
        EXPECT_EQ(m_cuvidGet("decoder_crop"), 0);
        EXPECT_EQ(m_cuvidGet("parser_codec"), CUDA_VIDEO_CODEC_H264);
        EXPECT_EQ(m_cuvidGet("parser_surfaces"), 20);
        EXPECT_EQ(m_cuvidGet("parser_clock"), 0);
        EXPECT_EQ(m_cuvidGet("parser_threshold"), 0);
        EXPECT_EQ(m_cuvidGet("parser_delay"), 0);
        // Every frame a whole picture, with its tag (0 from Vdec_Decode);
        // the drain's end-of-stream packet came last.
        EXPECT_EQ(m_cuvidGet("end_of_picture_packets"), m_cuvidGet("packets") - 1);
        EXPECT_EQ(m_cuvidGet("packet_flags"), static_cast<long long>(CUVID_PKT_ENDOFSTREAM));
        EXPECT_EQ(m_cuvidGet("packet_timestamp"), 0);
        // The page-locked buffer is made once and kept.
        EXPECT_EQ(m_cudaGet("host_allocs"), 1);
        EXPECT_EQ(m_cuvidGet("maps"), m_cuvidGet("unmaps"));
    }
    // The last instance gone: everything given back, context destroyed.
    EXPECT_EQ(m_cuvidGet("decoders_alive"), 0);
    EXPECT_EQ(m_cuvidGet("parsers_alive"), 0);
    EXPECT_EQ(m_cudaGet("host_alive"), 0);
    EXPECT_EQ(m_cudaGet("ctx_alive"), 0);
    EXPECT_FALSE(CudaIsAvailable());
}

INSTANTIATE_TEST_SUITE_P(Clips, CudaClipTest, testing::Values(kHighCabac, kBaseline, k1080),
                         [](const testing::TestParamInfo<const char *> &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// Field-size streams are doubled the same way as in software. The hardware
// decoder completes each frame's picture at once, like the software decoder
// told that frames come whole.
TEST_F(CudaTest, FieldStreamMatchesTheSoftwareDecoderInLuma) {
    std::vector<uint8_t> stream = ReadSample(kField);
    ASSERT_FALSE(stream.empty());
    DecoderPtr hardware = Create(VDEC_CODEC_H264, 704, 288);
    ASSERT_EQ(Kind(hardware.get()), uint32_t(VDEC_KIND_CUDA));
    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 704, 288, 0, 0};
    CBaseVideoCodec *soft = nullptr;
    ASSERT_EQ(Vdec_Create(&soft, &param), VDEC_OK);
    DecoderPtr software(soft);
    ASSERT_EQ(Vdec_SetWholeFrames(soft, true), VDEC_OK);
    int compared = 0;
    for (const auto &unit : AccessUnits(stream)) {
        std::vector<uint8_t> a(704 * 576 * 3 / 2), b(a.size());
        DecodedPicture pa{VDEC_PICTURE_SIZE, 0, 0, 0, a.data(), uint32_t(a.size()), {0, 0}};
        DecodedPicture pb{VDEC_PICTURE_SIZE, 0, 0, 0, b.data(), uint32_t(b.size()), {0, 0}};
        int32_t ra = Vdec_Decode(hardware.get(), unit.data(), uint32_t(unit.size()), &pa);
        int32_t rb = Vdec_Decode(software.get(), unit.data(), uint32_t(unit.size()), &pb);
        ASSERT_EQ(ra, rb);
        if (ra != VDEC_OK)
            continue;
        EXPECT_EQ(pa.dwFourCC, uint32_t(VDEC_FOURCC_NV12));
        EXPECT_EQ(pa.dwHeight, 576u);
        EXPECT_EQ(pb.dwHeight, 576u);
        EXPECT_EQ(0, std::memcmp(a.data(), b.data(), 704 * 576)) << "picture " << compared;
        ++compared;
    }
    EXPECT_GT(compared, 40);
}

// A stream of another size than the decoder was opened for: the sequence is
// refused and no picture ever comes.
TEST_F(CudaTest, OtherStreamSizeGivesNoPictures) {
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    DecoderPtr decoder = Create(VDEC_CODEC_H264, 352, 288);
    ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
    std::vector<uint8_t> buffer(352 * 288 * 3 / 2);
    int results = 0;
    for (auto [offset, size] : Pieces(stream, Split::kNalByNal)) {
        DecodedPicture picture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(buffer.size()), {0, 0}};
        EXPECT_EQ(Vdec_Decode(decoder.get(), stream.data() + offset, uint32_t(size), &picture),
                  VDEC_E_NO_PICTURE);
        ++results;
    }
    EXPECT_GT(results, 50);
    EXPECT_GT(m_cuvidGet("sequence_calls"), 0);
    EXPECT_EQ(m_cuvidGet("pictures_decoded"), 0);
}

// A whole clip in one frame queues many pictures; one leaves per call, and
// those left at the end are mapped and unmapped before the decoder goes.
TEST_F(CudaTest, QueuedPicturesLeaveOnePerCallAndAreReleasedAtClose) {
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    {
        DecoderPtr decoder = Create(VDEC_CODEC_H264, 352, 288);
        ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
        std::vector<uint8_t> buffer(352 * 288 * 3 / 2);
        DecodedPicture picture{VDEC_PICTURE_SIZE, 0, 0, 0, buffer.data(), uint32_t(buffer.size()), {0, 0}};
        ASSERT_EQ(Vdec_Decode(decoder.get(), stream.data(), uint32_t(stream.size()), &picture), VDEC_OK);
        EXPECT_GT(m_cuvidGet("displayed"), 10);
        EXPECT_EQ(m_cuvidGet("maps"), 1);
        const uint8_t filler[] = {0, 0, 0, 1, 0x09, 0x10}; // an access unit delimiter: no new picture
        ASSERT_EQ(Vdec_Decode(decoder.get(), filler, sizeof filler, &picture), VDEC_OK);
        EXPECT_EQ(m_cuvidGet("maps"), 2);
    }
    EXPECT_EQ(m_cuvidGet("maps"), m_cuvidGet("displayed"));
    EXPECT_EQ(m_cuvidGet("unmaps"), m_cuvidGet("maps"));
    EXPECT_EQ(m_cuvidGet("destroyed_while_mapped"), 0);
}

// ---- Tagged decoding, display size and the drain ----

struct HardwareTaggedCase {
    const char *clip;
    uint32_t kind;                  // the hardware decoder, or software where the size is beyond it
    uint32_t width = 0, height = 0; // created; 0: the clip's display size
};

class CudaTaggedTest : public CudaTest, public testing::WithParamInterface<HardwareTaggedCase> {};

// Each frame is sent as a whole picture with its tag as time stamp: every
// picture comes back with its own frame's tag, in ffmpeg's order, at the
// display size; the end-of-stream packet gives the last ones. The decoder
// then takes the clip again as a new stream.
TEST_P(CudaTaggedTest, EveryPictureWithItsFramesTag) {
    const HardwareTaggedCase &c = GetParam();
    const std::vector<uint8_t> stream = ReadSample(c.clip);
    const Reference ref = ReadReference(c.clip);
    const auto units = AccessUnits(stream);
    ASSERT_EQ(units.size(), ref.md5s.size());
    const std::vector<size_t> order = DisplayOrder(units);
    ASSERT_EQ(order.size(), units.size());
    const bool field = ref.dwWidth == 704 && ref.dwHeight == 288;
    {
        const uint32_t width = c.width ? c.width : ref.dwWidth, height = c.height ? c.height : ref.dwHeight;
        DecoderPtr decoder = Create(VDEC_CODEC_H264, width, height);
        ASSERT_EQ(Kind(decoder.get()), c.kind);
        for (uint64_t base : {0xFFFFFFFF00000000ull, 0x7FFFFFFFFFFFFF00ull}) {
            SCOPED_TRACE(testing::Message() << "tags from " << std::hex << base);
            TaggedRun run = DecodeTaggedClip(decoder.get(), units, Feed::kWholeFrames, base, field ? 2 : 1);
            ExpectTaggedRun(run, ref, order, base);
            EXPECT_EQ(run.dwFourCC,
                      c.kind == VDEC_KIND_CUDA ? uint32_t(VDEC_FOURCC_NV12) : uint32_t(VDEC_FOURCC_YV12));
            EXPECT_EQ(run.dwWidth, ref.dwWidth);
            EXPECT_EQ(run.dwHeight, field ? ref.dwHeight * 2 : ref.dwHeight);
            EXPECT_GE(run.drained, 1u);
        }
        if (c.kind == VDEC_KIND_CUDA) {
            EXPECT_EQ(m_cuvidGet("decoder_width"), Align16(width));
            EXPECT_EQ(m_cuvidGet("decoder_height"), Align16(height));
            EXPECT_EQ(m_cuvidGet("end_of_stream_packets"), 2) << "one per drained stream";
            EXPECT_EQ(m_cuvidGet("end_of_picture_packets"), static_cast<long long>(2 * units.size()));
            EXPECT_EQ(m_cuvidGet("pictures_decoded"), static_cast<long long>(2 * units.size()));
        }
    }
    EXPECT_EQ(m_cuvidGet("maps"), m_cuvidGet("unmaps"));
    EXPECT_EQ(m_cuvidGet("destroyed_while_mapped"), 0);
}

INSTANTIATE_TEST_SUITE_P(Clips, CudaTaggedTest,
                         testing::Values(HardwareTaggedCase{kGop50, VDEC_KIND_CUDA},
                                         HardwareTaggedCase{kHighCabac, VDEC_KIND_CUDA},
                                         HardwareTaggedCase{k360, VDEC_KIND_CUDA},
                                         HardwareTaggedCase{k540, VDEC_KIND_CUDA},
                                         HardwareTaggedCase{kField, VDEC_KIND_CUDA},
                                         HardwareTaggedCase{k1944, VDEC_KIND_SOFT_H264},
                                         HardwareTaggedCase{kWindow, VDEC_KIND_CUDA, 736, 384}),
                         [](const testing::TestParamInfo<HardwareTaggedCase> &info) {
                             std::string name = info.param.clip;
                             return name.substr(0, name.find('.'));
                         });

// The coded size is the created size in whole macroblocks; a stream of that
// coded size is taken and shown at its display size, which must fit the
// created size (else the picture fails); another coded size is refused by
// the sequence callback and gives no pictures.
TEST_F(CudaTest, CodedSizeAndDisplayLimit) {
    struct Case {
        const char *clip;
        uint32_t width, height; // created
        uint32_t codedHeight;   // asked of the driver
        int32_t expected;       // of every call that has a picture
    };
    const Case cases[] = {
        {k360, 640, 360, 368, VDEC_OK},
        {k540, 960, 540, 544, VDEC_OK},
        {k1080, 1920, 1080, 1088, VDEC_OK},
        {kHighCabac, 704, 576, 576, VDEC_OK},
        {k360, 640, 359, 368, VDEC_E_FAIL}, // coded as 368 too, but 360 rows do not fit
        {k540, 960, 530, 544, VDEC_E_FAIL},
        {k360, 640, 352, 352, VDEC_E_NO_PICTURE},
        // The window of a larger coded picture: taken when created at the
        // coded size, refused (another coded size) when at the shown size.
        {kWindow, 736, 384, 384, VDEC_OK},
        {kWindow, 640, 360, 368, VDEC_E_NO_PICTURE},
        {k1080, 1920, 1072, 1072, VDEC_E_NO_PICTURE},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.clip << " in " << c.width << "x" << c.height);
        const std::vector<uint8_t> stream = ReadSample(c.clip);
        const Reference ref = ReadReference(c.clip);
        const auto units = AccessUnits(stream);
        ASSERT_EQ(units.size(), ref.md5s.size());
        DecoderPtr decoder = Create(VDEC_CODEC_H264, c.width, c.height);
        ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
        EXPECT_EQ(m_cuvidGet("decoder_width"), Align16(c.width));
        EXPECT_EQ(m_cuvidGet("decoder_height"), c.codedHeight);
        ExpectSizeCase(decoder.get(), units, ref, c.width, c.height, c.expected);
        decoder.reset();
        EXPECT_EQ(m_cuvidGet("maps"), m_cuvidGet("unmaps")) << "refused pictures are given back too";
    }
}

// The test driver's parser on its own, as a real one behaves: without the
// end-of-picture flag a picture is complete only when the next one starts,
// with it at once; pictures go to display in display order with the time
// stamp of the packet that brought each; the end of the stream flushes.
struct ParserLog {
    std::vector<long long> stamps; // displayed, in order
    int sequences = 0;
};

int QV_CUDAAPI LogSequence(void *user, CUVIDEOFORMAT *) {
    ++static_cast<ParserLog *>(user)->sequences;
    return 1;
}

int QV_CUDAAPI LogDecode(void *, CUVIDPICPARAMS *) {
    return 1;
}

int QV_CUDAAPI LogDisplay(void *user, CUVIDPARSERDISPINFO *info) {
    static_cast<ParserLog *>(user)->stamps.push_back(info->timestamp);
    return 1;
}

TEST_F(CudaTest, DriverParserCompletesAndOrdersPicturesAsARealOne) {
    auto create = reinterpret_cast<PFN_cuvidCreateVideoParser>(m_cuvid.Symbol("cuvidCreateVideoParser"));
    auto parse = reinterpret_cast<PFN_cuvidParseVideoData>(m_cuvid.Symbol("cuvidParseVideoData"));
    auto destroy = reinterpret_cast<PFN_cuvidDestroyVideoParser>(m_cuvid.Symbol("cuvidDestroyVideoParser"));
    ASSERT_TRUE(create && parse && destroy);
    struct Case {
        const char *clip;
        bool endOfPicture;
    };
    for (const Case &c :
         {Case{kBaseline, false}, Case{kBaseline, true}, Case{k360, false}, Case{k360, true}}) {
        SCOPED_TRACE(testing::Message() << c.clip << (c.endOfPicture ? " whole pictures" : " pieces"));
        const auto units = AccessUnits(ReadSample(c.clip));
        const std::vector<size_t> order = DisplayOrder(units);
        ASSERT_EQ(order.size(), units.size());
        ParserLog log;
        CUVIDPARSERPARAMS params{};
        params.CodecType = CUDA_VIDEO_CODEC_H264;
        params.ulMaxNumDecodeSurfaces = 20;
        params.pUserData = &log;
        params.pfnSequenceCallback = &LogSequence;
        params.pfnDecodePicture = &LogDecode;
        params.pfnDisplayPicture = &LogDisplay;
        CUvideoparser parser = nullptr;
        ASSERT_EQ(create(&parser, &params), CUDA_SUCCESS);
        std::vector<size_t> shownAfter; // pictures displayed after each packet
        for (size_t i = 0; i < units.size(); ++i) {
            CUVIDSOURCEDATAPACKET packet{};
            packet.flags = CUVID_PKT_TIMESTAMP | (c.endOfPicture ? CUVID_PKT_ENDOFPICTURE : 0);
            packet.payload_size = units[i].size();
            packet.payload = units[i].data();
            packet.timestamp = 1000 + static_cast<long long>(i);
            ASSERT_EQ(parse(parser, &packet), CUDA_SUCCESS);
            shownAfter.push_back(log.stamps.size());
        }
        CUVIDSOURCEDATAPACKET end{};
        end.flags = CUVID_PKT_ENDOFSTREAM;
        ASSERT_EQ(parse(parser, &end), CUDA_SUCCESS);
        destroy(parser);

        EXPECT_EQ(log.sequences, 1);
        std::vector<long long> expected;
        for (size_t frame : order)
            expected.push_back(1000 + static_cast<long long>(frame));
        EXPECT_EQ(log.stamps, expected);
        if (std::string(c.clip) == kBaseline) {
            // No reordering: each picture as soon as it is complete.
            for (size_t i = 0; i < units.size(); ++i)
                EXPECT_EQ(shownAfter[i], c.endOfPicture ? i + 1 : i) << "after packet " << i;
        } else {
            // Reordering holds pictures back, a whole picture less so.
            EXPECT_LT(shownAfter.back(), units.size());
        }
    }
}

// ---- Availability ----

TEST_F(CudaTest, MissingLibraryOrFunctionDisablesHardware) {
    const std::string missing = FakePath("no-such-library");
    struct Case {
        const char *name;
        std::string cuda, cuvid;
    };
    // A library of the wrong kind lacks every function of the other.
    const Case cases[] = {
        {"no cuda library", missing, m_cuvidPath},
        {"no cuvid library", m_cudaPath, missing},
        {"cuda functions missing", m_cuvidPath, m_cuvidPath},
        {"cuvid functions missing", m_cudaPath, m_cudaPath},
    };
    for (const Case &c : cases) {
        UseFakeDriver(c.cuda.c_str(), c.cuvid.c_str());
        int32_t result = 0;
        DecoderPtr h264 = Create(VDEC_CODEC_H264, 352, 288, &result);
        EXPECT_EQ(result, VDEC_OK) << c.name;
        EXPECT_EQ(Kind(h264.get()), uint32_t(VDEC_KIND_SOFT_H264)) << c.name;
        DecoderPtr other = Create(4, 352, 288, &result);
        EXPECT_EQ(result, VDEC_E_NOT_SUPPORTED) << c.name;
        EXPECT_FALSE(other);
    }
    EXPECT_EQ(m_cudaGet("ctx_create_calls"), 0);
}

TEST_F(CudaTest, DeviceChecks) {
    struct Case {
        const char *key;
        long long value;
        bool accepted;
    };
    const Case cases[] = {
        {"driver_version", 4000, false}, {"driver_version", 4009, false}, {"driver_version", 4010, true},
        {"device_count", 0, false},      {"device_count", 2, true},       {"cc_major", 0, false},
        {"cc_minor", 0, true}, // 5.0
        {"total_mem", 134217727, false}, {"total_mem", 134217728, true},  {"fail_init", 1, false},
        {"fail_ctx_create", 1, false},
    };
    for (const Case &c : cases) {
        m_cudaSet(c.key, c.value);
        int32_t result = 0;
        DecoderPtr h264 = Create(VDEC_CODEC_H264, 352, 288, &result);
        EXPECT_EQ(result, VDEC_OK);
        EXPECT_EQ(Kind(h264.get()), c.accepted ? uint32_t(VDEC_KIND_CUDA) : uint32_t(VDEC_KIND_SOFT_H264))
            << c.key << " " << c.value;
        h264.reset();
        DecoderPtr codec5 = Create(5, 352, 288, &result);
        EXPECT_EQ(result, c.accepted ? VDEC_OK : VDEC_E_NOT_SUPPORTED) << c.key << " " << c.value;
        codec5.reset();
        EXPECT_EQ(m_cudaGet("ctx_alive"), 0);
        reinterpret_cast<PFN_FakeReset>(m_cuda.Symbol("FakeCuda_Reset"))();
    }
    // Compute capability 1.0 is too old, 1.1 enough.
    const long long capabilities[][3] = {{1, 0, 0}, {1, 1, 1}, {2, 0, 1}, {0, 9, 0}};
    for (auto &cc : capabilities) {
        m_cudaSet("cc_major", cc[0]);
        m_cudaSet("cc_minor", cc[1]);
        DecoderPtr h264 = Create(VDEC_CODEC_H264, 352, 288);
        EXPECT_EQ(Kind(h264.get()), cc[2] ? uint32_t(VDEC_KIND_CUDA) : uint32_t(VDEC_KIND_SOFT_H264))
            << cc[0] << "." << cc[1];
    }
}

TEST_F(CudaTest, SizeLimit) {
    struct Case {
        uint32_t width, height;
        bool accepted;
    };
    const Case cases[] = {{1920, 1080, true},  {1920, 1088, true},  {1921, 1080, false},
                          {1920, 1089, false}, {2048, 1536, false}, {352, 288, true}};
    for (const Case &c : cases) {
        int32_t result = 0;
        DecoderPtr h264 = Create(VDEC_CODEC_H264, c.width, c.height, &result);
        EXPECT_EQ(result, VDEC_OK);
        EXPECT_EQ(Kind(h264.get()), c.accepted ? uint32_t(VDEC_KIND_CUDA) : uint32_t(VDEC_KIND_SOFT_H264))
            << c.width << "x" << c.height;
        DecoderPtr codec4 = Create(4, c.width, c.height, &result);
        EXPECT_EQ(result, c.accepted ? VDEC_OK : VDEC_E_NOT_SUPPORTED) << c.width << "x" << c.height;
    }
    // Refused by the hardware, a 2048 x 1536 H.264 stream is decoded in software.
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    DecoderPtr decoder = Create(VDEC_CODEC_H264, 2048, 1536);
    ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_SOFT_H264));
    Decoded out = DecodeNalByNal(decoder.get(), stream, nullptr, 3);
    EXPECT_EQ(out.md5s.size(), 3u);
    EXPECT_EQ(out.dwFourCC, uint32_t(VDEC_FOURCC_YV12));
}

TEST_F(CudaTest, DecoderOrParserFailureFallsBack) {
    for (const char *key : {"fail_create_decoder", "fail_create_parser"}) {
        m_cuvidSet(key, 1);
        int32_t result = 0;
        DecoderPtr h264 = Create(VDEC_CODEC_H264, 352, 288, &result);
        EXPECT_EQ(Kind(h264.get()), uint32_t(VDEC_KIND_SOFT_H264)) << key;
        DecoderPtr codec4 = Create(4, 352, 288, &result);
        EXPECT_EQ(result, VDEC_E_NOT_SUPPORTED) << key;
        m_cuvidSet(key, 0);
        EXPECT_EQ(m_cuvidGet("decoders_alive"), 0);
        EXPECT_EQ(m_cuvidGet("parsers_alive"), 0);
    }
    // Direct: the hardware decoder's own code for a decoder it cannot create.
    m_cuvidSet("fail_create_decoder", 1);
    CCodecCuda codec;
    VideoDecoderParam param{VDEC_PARAM_SIZE, VDEC_CODEC_H264, 352, 288, VDEC_FLAG_HARDWARE, 0};
    EXPECT_EQ(codec.Open(&param), VDEC_E_CREATE_FAILED);
    EXPECT_EQ(m_cudaGet("current"), 0);
}

// ---- The machine-wide speed ----

TEST_F(CudaTest, SharedSpeedDecidesAcceptance) {
    struct Case {
        uint32_t speed;
        bool accepted;
    };
    const Case cases[] = {{0, true}, {1, false}, {60, false}, {89, false}, {90, true}, {500, true}};
    CCudaSpeedRecord record; // keeps the record alive between the decoders
    ASSERT_TRUE(record.Attach(m_mapping.c_str(), m_mutex.c_str()));
    EXPECT_EQ(record.MutexName(), m_mutex);
    for (const Case &c : cases) {
        record.SetSpeed(c.speed);
        DecoderPtr h264 = Create(VDEC_CODEC_H264, 352, 288);
        EXPECT_EQ(Kind(h264.get()), c.accepted ? uint32_t(VDEC_KIND_CUDA) : uint32_t(VDEC_KIND_SOFT_H264))
            << c.speed;
        if (c.accepted) {
            EXPECT_EQ(record.AttachedCount(), 2u);
        }
        int32_t result = 0;
        DecoderPtr codec4 = Create(4, 352, 288, &result);
        EXPECT_EQ(result, c.accepted ? VDEC_OK : VDEC_E_NOT_SUPPORTED) << c.speed;
        h264.reset();
        codec4.reset();
        EXPECT_EQ(record.AttachedCount(), 1u) << "refused decoders detach too";
        EXPECT_EQ(record.Speed(), c.speed) << "never reset while the record is held";
    }
}

// Feeds one decoder a clip frame by frame, going on where it stopped.
class CFeeder {
public:
    CFeeder(CBaseVideoCodec *decoder, const std::vector<uint8_t> &stream)
        : m_pDecoder(decoder), m_stream(stream), m_pieces(Pieces(stream, Split::kNalByNal)) {}
    // Decodes until count more pictures came out; false at the clip's end.
    bool Pictures(uint32_t count) {
        std::vector<uint8_t> buffer(4 << 20);
        while (count > 0 && m_nNext < m_pieces.size()) {
            auto [offset, size] = m_pieces[m_nNext++];
            DecodedPicture picture{VDEC_PICTURE_SIZE,       0,     0, 0, buffer.data(),
                                   uint32_t(buffer.size()), {0, 0}};
            if (Vdec_Decode(m_pDecoder, m_stream.data() + offset, uint32_t(size), &picture) == VDEC_OK)
                --count;
        }
        return count == 0;
    }

private:
    CBaseVideoCodec *m_pDecoder;
    const std::vector<uint8_t> &m_stream;
    std::vector<std::pair<size_t, size_t>> m_pieces;
    size_t m_nNext = 0;
};

uint32_t Speed(CBaseVideoCodec *decoder) {
    DecoderInfo info{};
    Vdec_GetDecoderInfo(decoder, &info);
    return info.dwSpeed;
}

// Speeds from the test counter: a step of 10000 us per decode is 100
// pictures per second, 5000 us is 200.
TEST_F(CudaTest, TwoDecodersPublish100And200Giving133) {
    VdecSetCounterForTesting(&StepClock, 1000000);
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    DecoderPtr first = Create(VDEC_CODEC_H264, 704, 576);
    DecoderPtr second = Create(VDEC_CODEC_H264, 704, 576);
    ASSERT_EQ(Kind(first.get()), uint32_t(VDEC_KIND_CUDA));
    ASSERT_EQ(Kind(second.get()), uint32_t(VDEC_KIND_CUDA));
    EXPECT_EQ(RecordField(kCudaSpeedOffsetAttached), 2u);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 0u);
    CFeeder a(first.get(), stream), b(second.get(), stream);

    // No estimate before the fourth picture; the first one fills the
    // unmeasured record.
    g_nClockStep = 10000;
    ASSERT_TRUE(a.Pictures(3));
    EXPECT_EQ(Speed(first.get()), 0u);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 0u);
    ASSERT_TRUE(a.Pictures(1));
    EXPECT_EQ(Speed(first.get()), 100u);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 100u);

    // The second decoder's own estimate does not replace a measured value...
    g_nClockStep = 5000;
    ASSERT_TRUE(b.Pictures(31));
    EXPECT_EQ(Speed(second.get()), 200u);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 100u);
    // ...until its 32nd picture blends it in: (100 x 2 + 200) / 3.
    ASSERT_TRUE(b.Pictures(1));
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 133u);
    ASSERT_TRUE(b.Pictures(1));
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 133u) << "only every 32nd picture";
}

// The update is skipped while another holder has the mutex.
TEST_F(CudaTest, BusyMutexSkipsThePublication) {
    VdecSetCounterForTesting(&StepClock, 1000000);
    std::vector<uint8_t> stream = ReadSample(kHighCabac);
    DecoderPtr decoder = Create(VDEC_CODEC_H264, 704, 576);
    ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
    CFeeder feeder(decoder.get(), stream);

    // Another thread holds the mutex (the machine-wide mutex is recursive
    // for its owner, so it has to be another thread).
    std::atomic<int> state{0};
    std::thread holder([&] {
        platform::CNamedMutex mutex;
        if (!mutex.Open(m_mutex.c_str()) || mutex.Lock(platform::kInfinite) != platform::kWaitSignalled) {
            state = -1;
            return;
        }
        state = 1;
        while (state == 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        mutex.Unlock();
    });
    while (state == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(state.load(), 1);
    ASSERT_TRUE(feeder.Pictures(4));
    EXPECT_EQ(Speed(decoder.get()), 100u);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 0u);
    state = 2;
    holder.join();
    ASSERT_TRUE(feeder.Pictures(1));
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 100u);
}

// A measured slow card refuses every later decoder, here and elsewhere.
TEST_F(CudaTest, SlowMeasurementRefusesLaterDecoders) {
    VdecSetCounterForTesting(&StepClock, 1000000);
    g_nClockStep = 20000; // 50 pictures per second
    std::vector<uint8_t> stream = ReadSample(kBaseline);
    DecoderPtr decoder = Create(VDEC_CODEC_H264, 352, 288);
    ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
    CFeeder feeder(decoder.get(), stream);
    ASSERT_TRUE(feeder.Pictures(4));
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 50u);
    DecoderPtr later = Create(VDEC_CODEC_H264, 352, 288);
    EXPECT_EQ(Kind(later.get()), uint32_t(VDEC_KIND_SOFT_H264));
}

// Another process attaching shows in the count; leaving takes it back out.
TEST_F(CudaTest, AttachedCountAcrossProcesses) {
    DecoderPtr decoder = Create(VDEC_CODEC_H264, 352, 288);
    ASSERT_EQ(Kind(decoder.get()), uint32_t(VDEC_KIND_CUDA));
    EXPECT_EQ(RecordField(kCudaSpeedOffsetAttached), 1u);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetSpeed), 0u);

    const std::string controlName = m_mapping + ".control";
    platform::CNamedSharedMemory control;
    ASSERT_TRUE(control.Open(controlName.c_str(), 4));
    auto *flags = static_cast<volatile uint8_t *>(control.Data());
    flags[0] = 0;
    flags[1] = 0;
    flags[2] = 0;
    const char *args[] = {m_cudaPath.c_str(), m_cuvidPath.c_str(), m_mapping.c_str(), m_mutex.c_str(),
                          controlName.c_str()};
    void *process = nullptr;
    ASSERT_TRUE(StartCudaChild(args, 5, &process));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (flags[0] == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(flags[0], 1) << "the child did not open a hardware decoder";
    EXPECT_EQ(RecordField(kCudaSpeedOffsetAttached), 2u);
    flags[1] = 1;
    EXPECT_EQ(WaitCudaChild(process), 0);
    EXPECT_EQ(flags[2], 1);
    EXPECT_EQ(RecordField(kCudaSpeedOffsetAttached), 1u);
    decoder.reset();
    EXPECT_EQ(RecordField(kCudaSpeedOffsetAttached), 0u);
}

} // namespace
