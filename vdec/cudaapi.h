// The part of the NVIDIA CUDA driver and video decoder interfaces that the
// hardware decoder uses, declared from their public documentation. Both
// libraries are loaded at run time; nothing here links against them.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define QV_CUDAAPI __stdcall
#else
#define QV_CUDAAPI
#endif

using CUresult = int;
using CUdevice = int;
using CUcontext = struct CUctx_st *;
using CUvideoparser = void *;
using CUvideodecoder = void *;
using CUvideoctxlock = void *;
using CUvideotimestamp = long long;
// Device addresses are as wide as host pointers.
#if UINTPTR_MAX > 0xFFFFFFFFu
using CUdeviceptr = unsigned long long;
#else
using CUdeviceptr = unsigned int;
#endif

constexpr CUresult CUDA_SUCCESS = 0;

// cudaVideoCodec
constexpr int CUDA_VIDEO_CODEC_H264 = 4;
// cudaVideoChromaFormat
constexpr int CUDA_VIDEO_CHROMA_420 = 1;
// cudaVideoSurfaceFormat
constexpr int CUDA_VIDEO_SURFACE_NV12 = 0;
// cudaVideoDeinterlaceMode
constexpr int CUDA_VIDEO_DEINTERLACE_WEAVE = 0;
// cudaVideoCreateFlags: prefer the dedicated video engine
constexpr unsigned long CUDA_VIDEO_CREATE_PREFER_CUVID = 4;
// cuCtxCreate flags: block on synchronisation instead of spinning
constexpr unsigned int CU_CTX_SCHED_BLOCKING_SYNC = 4;

// Sequence description handed to the sequence callback.
struct CUVIDEOFORMAT {
    int codec;
    struct {
        unsigned int numerator;
        unsigned int denominator;
    } frame_rate;
    unsigned char progressive_sequence;
    unsigned char bit_depth_luma_minus8;
    unsigned char bit_depth_chroma_minus8;
    unsigned char min_num_decode_surfaces;
    unsigned int coded_width;
    unsigned int coded_height;
    struct {
        int left;
        int top;
        int right;
        int bottom;
    } display_area;
    int chroma_format;
    unsigned int bitrate;
    struct {
        int x;
        int y;
    } display_aspect_ratio;
    unsigned char video_signal_description[4];
    unsigned int seqhdr_data_length;
};

// A picture ready for display, handed to the display callback.
struct CUVIDPARSERDISPINFO {
    int picture_index;
    int progressive_frame;
    int top_field_first;
    int repeat_first_field;
    CUvideotimestamp timestamp;
};

// CUVIDSOURCEDATAPACKET flags.
constexpr unsigned long CUVID_PKT_ENDOFSTREAM = 0x01; // flush: every picture held goes to display
constexpr unsigned long CUVID_PKT_TIMESTAMP = 0x02;   // the timestamp is valid
constexpr unsigned long CUVID_PKT_DISCONTINUITY = 0x04;
constexpr unsigned long CUVID_PKT_ENDOFPICTURE = 0x08; // the packet ends a picture: decode it now

// One piece of the elementary stream for the parser.
struct CUVIDSOURCEDATAPACKET {
    unsigned long flags;
    unsigned long payload_size;
    const unsigned char *payload;
    CUvideotimestamp timestamp;
};

// Post-processing of a mapped picture.
struct CUVIDPROCPARAMS {
    int progressive_frame;
    int second_field;
    int top_field_first;
    int unpaired_field;
    unsigned int reserved_flags;
    unsigned int reserved_zero;
    unsigned long long raw_input_dptr;
    unsigned int raw_input_pitch;
    unsigned int raw_input_format;
    unsigned long long raw_output_dptr;
    unsigned int raw_output_pitch;
    unsigned int Reserved1;
    void *output_stream;
    unsigned int Reserved[46];
    void *Reserved2[2];
};

// Picture parameters: produced by the parser, passed on to the decoder
// untouched, so their layout does not matter here.
struct CUVIDPICPARAMS;

using PFNVIDSEQUENCECALLBACK = int(QV_CUDAAPI *)(void *, CUVIDEOFORMAT *);
using PFNVIDDECODECALLBACK = int(QV_CUDAAPI *)(void *, CUVIDPICPARAMS *);
using PFNVIDDISPLAYCALLBACK = int(QV_CUDAAPI *)(void *, CUVIDPARSERDISPINFO *);

struct CUVIDPARSERPARAMS {
    int CodecType;
    unsigned int ulMaxNumDecodeSurfaces;
    unsigned int ulClockRate;
    unsigned int ulErrorThreshold;
    unsigned int ulMaxDisplayDelay;
    unsigned int uReserved1[5];
    void *pUserData;
    PFNVIDSEQUENCECALLBACK pfnSequenceCallback;
    PFNVIDDECODECALLBACK pfnDecodePicture;
    PFNVIDDISPLAYCALLBACK pfnDisplayPicture;
    void *pvReserved2[7];
    void *pExtVideoInfo;
};

struct CUVIDDECODECREATEINFO {
    unsigned long ulWidth;
    unsigned long ulHeight;
    unsigned long ulNumDecodeSurfaces;
    int CodecType;
    int ChromaFormat;
    unsigned long ulCreationFlags;
    unsigned long bitDepthMinus8;
    unsigned long ulIntraDecodeOnly;
    unsigned long ulMaxWidth;
    unsigned long ulMaxHeight;
    unsigned long Reserved1;
    struct {
        short left;
        short top;
        short right;
        short bottom;
    } display_area;
    int OutputFormat;
    int DeinterlaceMode;
    unsigned long ulTargetWidth;
    unsigned long ulTargetHeight;
    unsigned long ulNumOutputSurfaces;
    CUvideoctxlock vidLock;
    struct {
        short left;
        short top;
        short right;
        short bottom;
    } target_rect;
    unsigned long Reserved2[5];
};

// Entry points, in the order they are loaded.
using PFN_cuInit = CUresult(QV_CUDAAPI *)(unsigned int flags);
using PFN_cuDeviceGetCount = CUresult(QV_CUDAAPI *)(int *count);
using PFN_cuDeviceGet = CUresult(QV_CUDAAPI *)(CUdevice *device, int ordinal);
using PFN_cuDeviceComputeCapability = CUresult(QV_CUDAAPI *)(int *major, int *minor, CUdevice device);
using PFN_cuDeviceTotalMem = CUresult(QV_CUDAAPI *)(size_t *bytes, CUdevice device);
using PFN_cuDeviceGetName = CUresult(QV_CUDAAPI *)(char *name, int length, CUdevice device);
using PFN_cuCtxCreate = CUresult(QV_CUDAAPI *)(CUcontext *context, unsigned int flags, CUdevice device);
using PFN_cuCtxDestroy = CUresult(QV_CUDAAPI *)(CUcontext context);
using PFN_cuCtxSetCurrent = CUresult(QV_CUDAAPI *)(CUcontext context);
using PFN_cuDriverGetVersion = CUresult(QV_CUDAAPI *)(int *version);
using PFN_cuMemAllocHost = CUresult(QV_CUDAAPI *)(void **pointer, size_t bytes);
using PFN_cuMemFreeHost = CUresult(QV_CUDAAPI *)(void *pointer);
using PFN_cuMemcpyDtoH = CUresult(QV_CUDAAPI *)(void *destination, CUdeviceptr source, size_t bytes);
using PFN_cuvidCreateVideoParser = CUresult(QV_CUDAAPI *)(CUvideoparser *parser, CUVIDPARSERPARAMS *params);
using PFN_cuvidDestroyVideoParser = CUresult(QV_CUDAAPI *)(CUvideoparser parser);
using PFN_cuvidParseVideoData = CUresult(QV_CUDAAPI *)(CUvideoparser parser, CUVIDSOURCEDATAPACKET *packet);
using PFN_cuvidCreateDecoder = CUresult(QV_CUDAAPI *)(CUvideodecoder *decoder, CUVIDDECODECREATEINFO *info);
using PFN_cuvidDestroyDecoder = CUresult(QV_CUDAAPI *)(CUvideodecoder decoder);
using PFN_cuvidDecodePicture = CUresult(QV_CUDAAPI *)(CUvideodecoder decoder, CUVIDPICPARAMS *params);
using PFN_cuvidMapVideoFrame = CUresult(QV_CUDAAPI *)(CUvideodecoder decoder, int pictureIndex,
                                                      CUdeviceptr *devicePointer, unsigned int *pitch,
                                                      CUVIDPROCPARAMS *params);
using PFN_cuvidUnmapVideoFrame = CUresult(QV_CUDAAPI *)(CUvideodecoder decoder, CUdeviceptr devicePointer);

// Library file names.
#ifdef _WIN32
constexpr const char *kCudaLibraryName = "nvcuda.dll";
constexpr const char *kCuvidLibraryName = "nvcuvid.dll";
#else
constexpr const char *kCudaLibraryName = "libcuda.so.1";
constexpr const char *kCuvidLibraryName = "libnvcuvid.so.1";
#endif

// The mapping entry points take 32-bit device addresses; 64-bit processes
// use the variants with 64-bit addresses.
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr const char *kCuvidMapName = "cuvidMapVideoFrame64";
constexpr const char *kCuvidUnmapName = "cuvidUnmapVideoFrame64";
#else
constexpr const char *kCuvidMapName = "cuvidMapVideoFrame";
constexpr const char *kCuvidUnmapName = "cuvidUnmapVideoFrame";
#endif
