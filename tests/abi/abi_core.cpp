// Layout checks of the core, parser and video decoder records. Compiling this
// file is the test: on 32-bit Windows every record must have exactly the size
// and field offsets our clients were built against; on the other targets the
// same records must have their natural layout (fields in order, no hidden
// padding, pointer fields pointer-sized), and the records without pointers
// must keep the 32-bit sizes and offsets.
#include <cstddef>
#include <utility>

#include "qvplay.h"

namespace {

constexpr std::size_t AlignUp(std::size_t n, std::size_t a) {
    return (n + a - 1) / a * a;
}

} // namespace

// Type, size and end of a field; f may name a nested member ("output.picture.pBuffer").
#define QV_FIELD_TYPE(T, f) decltype(std::declval<T &>().f)
#define QV_FIELD_SIZE(T, f) sizeof(QV_FIELD_TYPE(T, f))
#define QV_FIELD_END(T, f) (offsetof(T, f) + QV_FIELD_SIZE(T, f))

// Natural layout, valid on every target.
#define QV_FIRST(T, f) static_assert(offsetof(T, f) == 0, #T "." #f " starts the record")
#define QV_NEXT(T, a, b)                                                                                     \
    static_assert(offsetof(T, b) == AlignUp(QV_FIELD_END(T, a), alignof(QV_FIELD_TYPE(T, b))),               \
                  #T "." #b " follows " #a " with natural alignment only")
#define QV_LAST(T, f) static_assert(sizeof(T) == AlignUp(QV_FIELD_END(T, f), alignof(T)), #T " ends with " #f)
#define QV_U32(T, f) static_assert(QV_FIELD_SIZE(T, f) == 4, #T "." #f " is 32 bits")
#define QV_U16(T, f) static_assert(QV_FIELD_SIZE(T, f) == 2, #T "." #f " is 16 bits")
#define QV_U64(T, f) static_assert(QV_FIELD_SIZE(T, f) == 8, #T "." #f " is 64 bits")
#define QV_PTR(T, f) static_assert(QV_FIELD_SIZE(T, f) == sizeof(void *), #T "." #f " is pointer-sized")

// Exact layout.
#define QV_SIZE(T, n) static_assert(sizeof(T) == (n), #T " has its tabled size")
#define QV_AT(T, f, n) static_assert(offsetof(T, f) == (n), #T "." #f " at its tabled offset")

// ---- Natural layout of every record (all targets) ----

QV_FIRST(PLAY_CREATE_PARAM, dwSize);
QV_NEXT(PLAY_CREATE_PARAM, dwSize, dwExtensionSize);
QV_NEXT(PLAY_CREATE_PARAM, dwExtensionSize, pSoundDevice);
QV_NEXT(PLAY_CREATE_PARAM, pSoundDevice, dwReserved1);
QV_NEXT(PLAY_CREATE_PARAM, dwReserved1, dwReserved2);
QV_NEXT(PLAY_CREATE_PARAM, dwReserved2, dwType);
QV_NEXT(PLAY_CREATE_PARAM, dwType, pSource);
QV_NEXT(PLAY_CREATE_PARAM, pSource, dwSourceSize);
QV_LAST(PLAY_CREATE_PARAM, dwSourceSize);
QV_U32(PLAY_CREATE_PARAM, dwSize);
QV_U32(PLAY_CREATE_PARAM, dwExtensionSize);
QV_PTR(PLAY_CREATE_PARAM, pSoundDevice);
QV_U32(PLAY_CREATE_PARAM, dwReserved1);
QV_U32(PLAY_CREATE_PARAM, dwReserved2);
QV_U32(PLAY_CREATE_PARAM, dwType);
QV_PTR(PLAY_CREATE_PARAM, pSource);
QV_U32(PLAY_CREATE_PARAM, dwSourceSize);

QV_FIRST(PLAY_CALLBACK_PARAM, pfnCallback);
QV_NEXT(PLAY_CALLBACK_PARAM, pfnCallback, pContext);
QV_NEXT(PLAY_CALLBACK_PARAM, pContext, dwParam);
QV_NEXT(PLAY_CALLBACK_PARAM, dwParam, dwReserved);
QV_LAST(PLAY_CALLBACK_PARAM, dwReserved);
QV_PTR(PLAY_CALLBACK_PARAM, pfnCallback);
QV_PTR(PLAY_CALLBACK_PARAM, pContext);
QV_U32(PLAY_CALLBACK_PARAM, dwParam);
QV_U32(PLAY_CALLBACK_PARAM, dwReserved);

QV_FIRST(PLAY_FRAME, dwDuration);
QV_NEXT(PLAY_FRAME, dwDuration, dwPresentDelay);
QV_NEXT(PLAY_FRAME, dwPresentDelay, dwReserved);
QV_NEXT(PLAY_FRAME, dwReserved, pFrame);
QV_NEXT(PLAY_FRAME, pFrame, output);
QV_LAST(PLAY_FRAME, output);
QV_U32(PLAY_FRAME, dwDuration);
QV_U32(PLAY_FRAME, dwPresentDelay);
static_assert(sizeof(PLAY_FRAME::dwReserved) == 12, "PLAY_FRAME.dwReserved is three 32-bit words");
QV_PTR(PLAY_FRAME, pFrame);
// Both views of the decoded output start with the record size, and the
// output area is exactly as large as the larger record.
static_assert(offsetof(PLAY_FRAME, output.picture) == offsetof(PLAY_FRAME, output),
              "picture view at the output");
static_assert(offsetof(PLAY_FRAME, output.audio) == offsetof(PLAY_FRAME, output), "audio view at the output");
static_assert(QV_FIELD_SIZE(PLAY_FRAME, output) == sizeof(DecodedPicture), "output holds a DecodedPicture");
static_assert(sizeof(DecodedPicture) == sizeof(ADEC_OUTPUT), "picture and PCM views have one size");

QV_FIRST(DemuxInput, dwSize);
QV_NEXT(DemuxInput, dwSize, dwLength);
QV_NEXT(DemuxInput, dwLength, pData);
QV_NEXT(DemuxInput, pData, dwReserved);
QV_LAST(DemuxInput, dwReserved);
QV_U32(DemuxInput, dwSize);
QV_U32(DemuxInput, dwLength);
QV_PTR(DemuxInput, pData);
QV_U32(DemuxInput, dwReserved);

QV_FIRST(FrameRecord, dwSize);
QV_NEXT(FrameRecord, dwSize, dwHeaderLength);
QV_NEXT(FrameRecord, dwHeaderLength, pHeader);
QV_NEXT(FrameRecord, pHeader, dwPayloadLength);
QV_NEXT(FrameRecord, dwPayloadLength, pPayload);
QV_NEXT(FrameRecord, pPayload, dwReserved);
QV_NEXT(FrameRecord, dwReserved, nType);
QV_NEXT(FrameRecord, nType, dwCodec);
QV_NEXT(FrameRecord, dwCodec, wWidth);
QV_NEXT(FrameRecord, wWidth, wHeight);
QV_NEXT(FrameRecord, wHeight, ullFileOffset);
QV_NEXT(FrameRecord, ullFileOffset, stTime);
QV_NEXT(FrameRecord, stTime, dwSequence);
QV_NEXT(FrameRecord, dwSequence, dwTimestamp);
QV_NEXT(FrameRecord, dwTimestamp, wReserved);
QV_NEXT(FrameRecord, wReserved, byRate);
QV_NEXT(FrameRecord, byRate, byOsdCount);
QV_NEXT(FrameRecord, byOsdCount, pOsdItems);
QV_LAST(FrameRecord, pOsdItems);
QV_U32(FrameRecord, dwSize);
QV_U32(FrameRecord, dwHeaderLength);
QV_PTR(FrameRecord, pHeader);
QV_U32(FrameRecord, dwPayloadLength);
QV_PTR(FrameRecord, pPayload);
static_assert(sizeof(FrameRecord::dwReserved) == 8, "FrameRecord.dwReserved is two 32-bit words");
QV_U32(FrameRecord, nType);
QV_U32(FrameRecord, dwCodec);
QV_U16(FrameRecord, wWidth);
QV_U16(FrameRecord, wHeight);
QV_U64(FrameRecord, ullFileOffset);
static_assert(sizeof(FrameRecord::stTime) == 16, "FrameRecord.stTime is a SYSTEMTIME");
QV_U32(FrameRecord, dwSequence);
QV_U32(FrameRecord, dwTimestamp);
QV_U16(FrameRecord, wReserved);
static_assert(sizeof(FrameRecord::byRate) == 1 && sizeof(FrameRecord::byOsdCount) == 1, "8-bit fields");
QV_PTR(FrameRecord, pOsdItems);

QV_FIRST(DecodedPicture, dwSize);
QV_NEXT(DecodedPicture, dwSize, dwFourCC);
QV_NEXT(DecodedPicture, dwFourCC, dwWidth);
QV_NEXT(DecodedPicture, dwWidth, dwHeight);
QV_NEXT(DecodedPicture, dwHeight, pBuffer);
QV_NEXT(DecodedPicture, pBuffer, dwBufferSize);
QV_NEXT(DecodedPicture, dwBufferSize, dwReserved);
QV_LAST(DecodedPicture, dwReserved);
QV_U32(DecodedPicture, dwSize);
QV_U32(DecodedPicture, dwFourCC);
QV_U32(DecodedPicture, dwWidth);
QV_U32(DecodedPicture, dwHeight);
QV_PTR(DecodedPicture, pBuffer);
QV_U32(DecodedPicture, dwBufferSize);
static_assert(sizeof(DecodedPicture::dwReserved) == 8, "DecodedPicture.dwReserved is two 32-bit words");

QV_FIRST(H264CorePicture, pY);
QV_NEXT(H264CorePicture, pY, pU);
QV_NEXT(H264CorePicture, pU, pV);
QV_NEXT(H264CorePicture, pV, dwWidth);
QV_NEXT(H264CorePicture, dwWidth, dwHeight);
QV_NEXT(H264CorePicture, dwHeight, nLumaStride);
QV_NEXT(H264CorePicture, nLumaStride, nChromaStride);
QV_NEXT(H264CorePicture, nChromaStride, auCorePrivate);
QV_LAST(H264CorePicture, auCorePrivate);
QV_PTR(H264CorePicture, pY);
QV_PTR(H264CorePicture, pU);
QV_PTR(H264CorePicture, pV);
QV_U32(H264CorePicture, dwWidth);
QV_U32(H264CorePicture, dwHeight);
QV_U32(H264CorePicture, nLumaStride);
QV_U32(H264CorePicture, nChromaStride);
static_assert(sizeof(H264CorePicture::auCorePrivate) == 15 * sizeof(void *), "15 core words");

// ---- Records without pointers: the tabled layout on every target ----

QV_SIZE(PLAY_COLOR, 24);
QV_AT(PLAY_COLOR, dwSize, 0);
QV_AT(PLAY_COLOR, dwBrightness, 4);
QV_AT(PLAY_COLOR, dwContrast, 8);
QV_AT(PLAY_COLOR, dwSaturation, 12);
QV_AT(PLAY_COLOR, dwHue, 16);
QV_AT(PLAY_COLOR, dwReserved, 20);

QV_SIZE(PLAY_VERSION, 8);
QV_AT(PLAY_VERSION, dwVersion, 0);
QV_AT(PLAY_VERSION, dwBuild, 4);

QV_SIZE(StreamInfo, 80);
QV_AT(StreamInfo, dwSize, 0);
QV_AT(StreamInfo, dwGeneration, 4);
QV_AT(StreamInfo, dwReserved, 8);
QV_AT(StreamInfo, szName, 16);
static_assert(sizeof(StreamInfo::szName) == 64, "StreamInfo.szName is 64 bytes");

QV_SIZE(StreamStatistics, 48);
QV_AT(StreamStatistics, dwSize, 0);
QV_AT(StreamStatistics, dwAudioFrameCount, 4);
QV_AT(StreamStatistics, dwIFrameCount, 8);
QV_AT(StreamStatistics, dwPFrameCount, 12);
QV_AT(StreamStatistics, dwOtherVideoFrameCount, 16);
QV_AT(StreamStatistics, dwDroppableFrameCount, 20);
QV_AT(StreamStatistics, dwVideoDuration, 24);
QV_AT(StreamStatistics, dwReserved1, 28);
QV_AT(StreamStatistics, ullInputTime, 32);
QV_AT(StreamStatistics, dwReserved2, 40);
QV_U64(StreamStatistics, ullInputTime);

QV_SIZE(OsdItem, 2832);
QV_AT(OsdItem, dwKind, 0);
QV_AT(OsdItem, wX, 4);
QV_AT(OsdItem, wY, 6);
QV_AT(OsdItem, wWidth, 8);
QV_AT(OsdItem, wHeight, 10);
QV_AT(OsdItem, dwReserved, 12);
QV_AT(OsdItem, body, 16);
QV_AT(OsdItem, body.szText, 16);
QV_AT(OsdItem, body.mosaic.dwMode, 16);
QV_AT(OsdItem, body.mosaic.abColor, 20);
QV_AT(OsdItem, body.abBits, 16);
static_assert(sizeof(OsdItem::body) == 2816, "OsdItem body is 2816 bytes");
static_assert(sizeof(OsdItem::body.szText) >= DEMUX_OSD_TEXT_MAX * 2, "a text fits the body");

QV_SIZE(VideoDecoderParam, 24);
QV_AT(VideoDecoderParam, dwSize, 0);
QV_AT(VideoDecoderParam, dwCodec, 4);
QV_AT(VideoDecoderParam, dwWidth, 8);
QV_AT(VideoDecoderParam, dwHeight, 12);
QV_AT(VideoDecoderParam, dwFlags, 16);
QV_AT(VideoDecoderParam, dwReserved, 20);

QV_SIZE(DecoderInfo, 32);
QV_AT(DecoderInfo, dwSize, 0);
QV_AT(DecoderInfo, dwPictureCount, 4);
QV_AT(DecoderInfo, ullDecodeTime, 8);
QV_AT(DecoderInfo, dwSpeed, 16);
QV_AT(DecoderInfo, dwThreadCount, 20);
QV_AT(DecoderInfo, dwDecoderKind, 24);
QV_AT(DecoderInfo, dwReserved, 28);
QV_U64(DecoderInfo, ullDecodeTime);

QV_SIZE(H264CoreParam, 32);
QV_AT(H264CoreParam, dwReserved0, 0);
QV_AT(H264CoreParam, dwReserved1, 4);
QV_AT(H264CoreParam, dwMaxMbWidth, 8);
QV_AT(H264CoreParam, dwMaxMbHeight, 12);
QV_AT(H264CoreParam, dwCount, 16);
QV_AT(H264CoreParam, dwOptions, 20);
QV_AT(H264CoreParam, dwReserved6, 24);
QV_AT(H264CoreParam, dwReserved7, 28);

// ---- 32-bit Windows: the tabled sizes and offsets of the pointer records ----

#if defined(_WIN32) && !defined(_WIN64)

QV_SIZE(PLAY_CREATE_PARAM, 32);
QV_AT(PLAY_CREATE_PARAM, dwSize, 0);
QV_AT(PLAY_CREATE_PARAM, dwExtensionSize, 4);
QV_AT(PLAY_CREATE_PARAM, pSoundDevice, 8);
QV_AT(PLAY_CREATE_PARAM, dwReserved1, 12);
QV_AT(PLAY_CREATE_PARAM, dwReserved2, 16);
QV_AT(PLAY_CREATE_PARAM, dwType, 20);
QV_AT(PLAY_CREATE_PARAM, pSource, 24);
QV_AT(PLAY_CREATE_PARAM, dwSourceSize, 28);

QV_SIZE(PLAY_CALLBACK_PARAM, 16);
QV_AT(PLAY_CALLBACK_PARAM, pfnCallback, 0);
QV_AT(PLAY_CALLBACK_PARAM, pContext, 4);
QV_AT(PLAY_CALLBACK_PARAM, dwParam, 8);
QV_AT(PLAY_CALLBACK_PARAM, dwReserved, 12);

QV_SIZE(PLAY_FRAME, 56);
QV_AT(PLAY_FRAME, dwDuration, 0);
QV_AT(PLAY_FRAME, dwPresentDelay, 4);
QV_AT(PLAY_FRAME, dwReserved, 8);
QV_AT(PLAY_FRAME, pFrame, 20);
QV_AT(PLAY_FRAME, output, 24);
QV_AT(PLAY_FRAME, output.picture.dwFourCC, 28);
QV_AT(PLAY_FRAME, output.picture.dwWidth, 32);
QV_AT(PLAY_FRAME, output.picture.dwHeight, 36);
QV_AT(PLAY_FRAME, output.picture.pBuffer, 40);
QV_AT(PLAY_FRAME, output.picture.dwBufferSize, 44);
QV_AT(PLAY_FRAME, output.audio.pBuffer, 48);
QV_AT(PLAY_FRAME, output.audio.dwBufferSize, 52);

QV_SIZE(DemuxInput, 16);
QV_AT(DemuxInput, dwSize, 0);
QV_AT(DemuxInput, dwLength, 4);
QV_AT(DemuxInput, pData, 8);
QV_AT(DemuxInput, dwReserved, 12);

QV_SIZE(FrameRecord, 80);
QV_AT(FrameRecord, dwSize, 0);
QV_AT(FrameRecord, dwHeaderLength, 4);
QV_AT(FrameRecord, pHeader, 8);
QV_AT(FrameRecord, dwPayloadLength, 12);
QV_AT(FrameRecord, pPayload, 16);
QV_AT(FrameRecord, dwReserved, 20);
QV_AT(FrameRecord, nType, 28);
QV_AT(FrameRecord, dwCodec, 32);
QV_AT(FrameRecord, wWidth, 36);
QV_AT(FrameRecord, wHeight, 38);
QV_AT(FrameRecord, ullFileOffset, 40);
QV_AT(FrameRecord, stTime, 48);
QV_AT(FrameRecord, dwSequence, 64);
QV_AT(FrameRecord, dwTimestamp, 68);
QV_AT(FrameRecord, wReserved, 72);
QV_AT(FrameRecord, byRate, 74);
QV_AT(FrameRecord, byOsdCount, 75);
QV_AT(FrameRecord, pOsdItems, 76);

QV_SIZE(DecodedPicture, 32);
QV_AT(DecodedPicture, dwSize, 0);
QV_AT(DecodedPicture, dwFourCC, 4);
QV_AT(DecodedPicture, dwWidth, 8);
QV_AT(DecodedPicture, dwHeight, 12);
QV_AT(DecodedPicture, pBuffer, 16);
QV_AT(DecodedPicture, dwBufferSize, 20);
QV_AT(DecodedPicture, dwReserved, 24);

QV_SIZE(H264CorePicture, 88);
QV_AT(H264CorePicture, pY, 0);
QV_AT(H264CorePicture, pU, 4);
QV_AT(H264CorePicture, pV, 8);
QV_AT(H264CorePicture, dwWidth, 12);
QV_AT(H264CorePicture, dwHeight, 16);
QV_AT(H264CorePicture, nLumaStride, 20);
QV_AT(H264CorePicture, nChromaStride, 24);

// The size constants that callers put into the records.
static_assert(PLAY_CREATE_PARAM_SIZE == 32 && PLAY_CALLBACK_PARAM_SIZE == 16 && PLAY_FRAME_SIZE == 56,
              "core record sizes");
static_assert(DEMUX_INPUT_SIZE == 16 && DEMUX_FRAME_RECORD_SIZE == 80 && VDEC_PICTURE_SIZE == 32,
              "parser and decoder record sizes");

#endif

static_assert(PLAY_COLOR_SIZE == 24 && PLAY_VERSION_SIZE == 8, "pointer-free core record sizes");
static_assert(DEMUX_STREAM_INFO_SIZE == 80 && DEMUX_STATISTICS_SIZE == 48 && DEMUX_OSD_ITEM_SIZE == 2832,
              "pointer-free parser record sizes");
static_assert(VDEC_PARAM_SIZE == 24 && VDEC_INFO_SIZE == 32 && H264_CORE_PARAM_SIZE == 32,
              "pointer-free decoder record sizes");

// ---- Code values as the interface numbers them ----

static_assert(PLAY_E_FAIL == (int32_t)0x8AB50001 && PLAY_E_NOT_SUPPORTED == (int32_t)0x8AB50002 &&
                  PLAY_E_INVALID_VALUE == (int32_t)0x8AB50010 &&
                  PLAY_E_INVALID_HANDLE == (int32_t)0x8AB50011 &&
                  PLAY_E_NULL_POINTER == (int32_t)0x8AB50012 && PLAY_E_BAD_SIZE == (int32_t)0x8AB50013 &&
                  PLAY_E_BAD_PIXEL_FORMAT == (int32_t)0x8AB50014,
              "core codes of the shared scheme");
static_assert(PLAY_E_BUFFER_TOO_SMALL == (int32_t)0x8AB50020 && PLAY_E_FILE_OPEN == (int32_t)0x8AB50021 &&
                  PLAY_E_OUT_OF_MEMORY == (int32_t)0x8AB50022 && PLAY_E_NO_FRAME == (int32_t)0x8AB50023 &&
                  PLAY_E_BUFFER_FULL == (int32_t)0x8AB50024 && PLAY_E_NOT_READY == (int32_t)0x8AB50025 &&
                  PLAY_E_INDEX_NOT_READY == (int32_t)0x8AB50026 && PLAY_E_NOT_FOUND == (int32_t)0x8AB50027,
              "core specific codes");
static_assert(PLAY_E_FAIL < 0 && DEMUX_E_FAIL < 0 && VDEC_E_FAIL < 0, "failures are negative");
static_assert(DEMUX_E_NOT_SUPPORTED == (int32_t)0x8AB10002 && DEMUX_E_BAD_SIZE == (int32_t)0x8AB10013 &&
                  DEMUX_E_NO_FRAME == (int32_t)0x8AB10020 && DEMUX_E_QUEUE_FULL == (int32_t)0x8AB10021,
              "parser codes");
static_assert(VDEC_E_BUFFER_TOO_SMALL == (int32_t)0x8AB40020 && VDEC_E_CREATE_FAILED == (int32_t)0x8AB40021 &&
                  VDEC_E_NO_PICTURE == (int32_t)0x8AB40022,
              "decoder codes");

static_assert(PLAY_PIXEL_FORMAT_UYVY == 0x59565955u && PLAY_PIXEL_FORMAT_YUY2 == 0x32595559u &&
                  PLAY_PIXEL_FORMAT_YV12 == 0x32315659u && PLAY_PIXEL_FORMAT_I420 == 0x30323449u &&
                  PLAY_PIXEL_FORMAT_NV12 == 0x3231564Eu && PLAY_PIXEL_FORMAT_NV21 == 0x3132564Eu,
              "pixel format FourCCs");
static_assert(VDEC_FOURCC_YV12 == 0x32315659u && VDEC_FOURCC_NV12 == 0x3231564Eu &&
                  VDEC_FOURCC_YUY2 == 0x32595559u,
              "decoder FourCCs");

// The default flags are exactly the documented feature sets.
static_assert(PLAY_ENABLE_DEFAULT ==
                  (PLAY_ENABLE_VIDEO_DECODE | PLAY_ENABLE_MULTITHREAD_DECODE | PLAY_ENABLE_HARDWARE_DECODE |
                   PLAY_ENABLE_RESET_ON_GAP | PLAY_ENABLE_DISPLAY | PLAY_ENABLE_DIRECTDRAW7 |
                   PLAY_ENABLE_AUDIO_DECODE | PLAY_ENABLE_SOUND),
              "default enable flags");
static_assert(PLAY_ENABLE_DEFAULT_NT6 == ((PLAY_ENABLE_DEFAULT & ~PLAY_ENABLE_DIRECTDRAW7) |
                                          PLAY_ENABLE_DIRECT3D9 | PLAY_ENABLE_D3D9_IMMEDIATE),
              "default enable flags on Windows 6 and later");

// The play mode hands its enable bits straight to the decoder parameters.
static_assert(VDEC_FLAG_MULTITHREAD == PLAY_ENABLE_MULTITHREAD_DECODE >> 1 &&
                  VDEC_FLAG_HARDWARE == PLAY_ENABLE_HARDWARE_DECODE >> 1 &&
                  VDEC_FLAG_NO_CPU_LIMIT == PLAY_ENABLE_NO_CPU_LIMIT >> 1,
              "decoder flags follow the enable bits");
static_assert(DEMUX_CODEC_H264 == VDEC_CODEC_H264, "one H.264 codec id");
static_assert(DEMUX_CODEC_PCM8 == ADEC_CODEC_PCM8 && DEMUX_CODEC_G711_ALAW == ADEC_CODEC_G711_ALAW &&
                  DEMUX_CODEC_G722 == ADEC_CODEC_G722 && DEMUX_CODEC_G726 == ADEC_CODEC_HI_G726,
              "one set of audio codec ids");

// The largest core instance is 5632 x 4096 pixels; the default 1920 x 1088.
static_assert(H264_CORE_MB_WIDTH_MAX * 16 == 5632 && H264_CORE_MB_HEIGHT_MAX * 16 == 4096 &&
                  H264_CORE_MB_WIDTH_DEFAULT * 16 == 1920 && H264_CORE_MB_HEIGHT_DEFAULT * 16 == 1088,
              "core size limits");
