/*
 * QVPlaySDK video decoding: the records exchanged with a video decoder, its
 * result codes and flags, and the parameter and picture records of the H.264
 * decoding core that the software decoder rests on.
 *
 * A decoder is created for one stream (codec, picture size) and driven in two
 * calls per frame: once with no buffer to learn the picture size, then with a
 * buffer of that size. Pictures are planar YUV 4:2:0 packed without gaps.
 */
#ifndef QVVDEC_H
#define QVVDEC_H

#include "qvtypes.h"

/* ---- Result codes (component 0x8AB4) ---- */

#define VDEC_OK 0
/* The decoded picture is larger than the decoder was created for, or the
   hardware decoder cannot be used. */
#define VDEC_E_FAIL ((int32_t)0x8AB40001)
/* Codec not supported, picture format unknown to the field step, or picture
   size beyond the hardware limit. */
#define VDEC_E_NOT_SUPPORTED ((int32_t)0x8AB40002)
#define VDEC_E_INVALID_VALUE ((int32_t)0x8AB40010)    /* input length 0 */
#define VDEC_E_INVALID_OBJECT ((int32_t)0x8AB40011)   /* no decoder */
#define VDEC_E_NULL_POINTER ((int32_t)0x8AB40012)     /* required pointer null */
#define VDEC_E_BAD_SIZE ((int32_t)0x8AB40013)         /* record size field wrong */
#define VDEC_E_BUFFER_TOO_SMALL ((int32_t)0x8AB40020) /* dwBufferSize now holds the size needed */
#define VDEC_E_CREATE_FAILED ((int32_t)0x8AB40021)    /* decoding core or hardware decoder not created */
#define VDEC_E_NO_PICTURE ((int32_t)0x8AB40022)       /* the frame gave no picture (more data needed) */

/* ---- Codec ids (as in the frame records) ---- */

#define VDEC_CODEC_H264 3 /* the only codec of the software decoder */
/* The hardware decoder is tried for codecs 3 to 5. */
#define VDEC_CODEC_HW_FIRST 3
#define VDEC_CODEC_HW_LAST 5

/* ---- VideoDecoderParam.dwFlags ---- */

#define VDEC_FLAG_MULTITHREAD 0x1u  /* multi-threaded decoding allowed */
#define VDEC_FLAG_HARDWARE 0x2u     /* hardware decoding allowed (tried first) */
#define VDEC_FLAG_NO_CPU_LIMIT 0x4u /* set by the player; the decoders do not read it */

/* ---- DecoderInfo.dwDecoderKind ---- */

#define VDEC_KIND_NONE 0      /* not opened */
#define VDEC_KIND_SOFT_H264 4 /* software H.264 decoder */
#define VDEC_KIND_CUDA 5      /* NVIDIA hardware decoder */

/* ---- Picture formats of DecodedPicture.dwFourCC ---- */

#define VDEC_FOURCC_YV12 QV_FOURCC('Y', 'V', '1', '2') /* Y, then V, then U planes (software decoder) */
#define VDEC_FOURCC_NV12 QV_FOURCC('N', 'V', '1', '2') /* Y, then interleaved U,V rows (hardware decoder) */
/* Packed Y0 U Y1 V; not produced by a decoder, but understood by the colour and field steps. */
#define VDEC_FOURCC_YUY2 QV_FOURCC('Y', 'U', 'Y', '2')

/* ---- Colour controls (PLAY_COLOR values handed to the decoder) ---- */

#define VDEC_COLOR_NEUTRAL 64 /* leaves the picture unchanged */
#define VDEC_COLOR_MAX 127    /* larger values are treated as this */

/* ---- Records ---- */

/* Colour adjustment, set on the player and handed unchanged to the video
   decoder. Each value is 0 to 127; 64 leaves the picture unchanged. */
typedef struct tagPLAY_COLOR {
    uint32_t dwSize; /* PLAY_COLOR_SIZE */
    uint32_t dwBrightness;
    uint32_t dwContrast;
    uint32_t dwSaturation;
    uint32_t dwHue;
    uint32_t dwReserved; /* written back as the player holds it (0) */
} PLAY_COLOR;

/* Creation parameters of a decoder; copied when the decoder opens. */
typedef struct tagVideoDecoderParam {
    uint32_t dwSize;     /* VDEC_PARAM_SIZE */
    uint32_t dwCodec;    /* video codec id of the frame records */
    uint32_t dwWidth;    /* picture width of the stream in pixels */
    uint32_t dwHeight;   /* picture height of the stream in pixels */
    uint32_t dwFlags;    /* VDEC_FLAG_... */
    uint32_t dwReserved; /* copied, not read */
} VideoDecoderParam;

/* One decoded picture. With pBuffer null or dwBufferSize 0 the decoder only
   reports the size needed; otherwise it writes the picture into pBuffer. The
   record carries no time: the player keeps the frame's time stamps beside it. */
typedef struct tagDecodedPicture {
    uint32_t dwSize;        /* VDEC_PICTURE_SIZE */
    uint32_t dwFourCC;      /* VDEC_FOURCC_... */
    uint32_t dwWidth;       /* pixels */
    uint32_t dwHeight;      /* pixels */
    uint8_t *pBuffer;       /* caller's buffer that receives the picture */
    uint32_t dwBufferSize;  /* in: bytes at pBuffer; out: bytes needed */
    uint32_t dwReserved[2]; /* not used */
} DecodedPicture;

/* Decoder statistics and identity. */
typedef struct tagDecoderInfo {
    uint32_t dwSize;         /* VDEC_INFO_SIZE */
    uint32_t dwPictureCount; /* pictures decoded */
    uint64_t ullDecodeTime;  /* total decoding time in microseconds */
    uint32_t dwSpeed;        /* pictures per second, running estimate; 0 until known */
    uint32_t dwThreadCount;  /* threads used */
    uint32_t dwDecoderKind;  /* VDEC_KIND_... */
    uint32_t dwReserved;
} DecoderInfo;

/* Record sizes, checked before anything else. The records that hold a
   pointer grow in 64-bit builds; the sizes are those of the build. */
#define VDEC_PARAM_SIZE ((uint32_t)sizeof(VideoDecoderParam))
#define VDEC_PICTURE_SIZE ((uint32_t)sizeof(DecodedPicture))
#define VDEC_INFO_SIZE ((uint32_t)sizeof(DecoderInfo))
#define PLAY_COLOR_SIZE ((uint32_t)sizeof(PLAY_COLOR))

/* ---- H.264 decoding core ---- */

/* Creation record of a core instance. Out-of-range sizes fall back to the
   defaults (1920 x 1088); the largest instance takes 5632 x 4096 pixels. */
typedef struct tagH264CoreParam {
    uint32_t dwReserved0;   /* not used; 0 */
    uint32_t dwReserved1;   /* not used; 0 */
    uint32_t dwMaxMbWidth;  /* largest width in 16-pixel macroblocks */
    uint32_t dwMaxMbHeight; /* largest height in macroblocks */
    uint32_t dwCount;       /* a count used by the core (0 means 4, capped at 16) */
    uint32_t dwOptions;     /* H264_CORE_OPT_... */
    uint32_t dwReserved6;   /* not used; 0 */
    uint32_t dwReserved7;   /* not used; 0 */
} H264CoreParam;

/* What the core tells about a picture besides its planes: the user value of
   the call that brought the picture's access unit (the caller's tag for that
   frame), and the display window the stream's cropping leaves of the coded
   picture. Held in the first of the core's own words. */
typedef struct tagH264CorePictureInfo {
    uint32_t dwUserLow; /* user value, low 32 bits */
    uint32_t dwUserHigh;
    uint32_t dwCropLeft; /* first displayed column; even */
    uint32_t dwCropTop;  /* first displayed row; even */
    uint32_t dwDisplayWidth;
    uint32_t dwDisplayHeight;
} H264CorePictureInfo;

/* A picture returned by the core: 8-bit 4:2:0 planes at the coded size
   (1088 rows for a 1080-line stream). The planes stay valid until the next
   call on the same instance. The trailing words are the core's own; info
   describes the picture further. */
typedef struct tagH264CorePicture {
    uint8_t *pY;           /* luma plane */
    uint8_t *pU;           /* Cb plane */
    uint8_t *pV;           /* Cr plane */
    uint32_t dwWidth;      /* pixels */
    uint32_t dwHeight;     /* pixels */
    int32_t nLumaStride;   /* bytes from one luma row to the next */
    int32_t nChromaStride; /* bytes from one chroma row to the next */
    union {
        uintptr_t auCorePrivate[15];
        H264CorePictureInfo info;
    };
} H264CorePicture;

#define H264_CORE_PARAM_SIZE ((uint32_t)sizeof(H264CoreParam))
#define H264_CORE_PICTURE_SIZE ((uint32_t)sizeof(H264CorePicture))

/* Accepted ranges of the size words and their fallbacks. */
#define H264_CORE_MB_WIDTH_MIN 2
#define H264_CORE_MB_WIDTH_MAX 352
#define H264_CORE_MB_WIDTH_DEFAULT 120
#define H264_CORE_MB_HEIGHT_MIN 6
#define H264_CORE_MB_HEIGHT_MAX 256
#define H264_CORE_MB_HEIGHT_DEFAULT 68
/* dwCount: 0 means the default, larger values are capped; the software
   decoder passes 2. */
#define H264_CORE_COUNT_DEFAULT 4
#define H264_CORE_COUNT_MAX 16
#define H264_CORE_COUNT_SOFT_DECODER 2

/* dwOptions bits. */
#define H264_CORE_OPT_EXTRA_MASK 0x07u  /* further options; the software decoder leaves them 0 */
#define H264_CORE_OPT_BASE 0x10u        /* always set by the software decoder */
#define H264_CORE_OPT_MULTITHREAD 0x20u /* decode with the core's worker threads */

/* Decode flags. */
#define H264_CORE_DECODE_END_OF_STREAM 0x1u /* flush the pictures held back */
/* The data is exactly one whole access unit: it goes to the decoder at once
   instead of waiting in the parser for the start of the next one. */
#define H264_CORE_DECODE_WHOLE_UNIT 0x2u
/* The data ends an access unit (it may hold several): the unit the parser
   holds is complete and goes to the decoder now. */
#define H264_CORE_DECODE_END_OF_UNIT 0x4u

/* Decode results. */
#define H264_CORE_OK 0            /* a picture was written */
#define H264_CORE_NO_PICTURE (-1) /* more data needed, or nothing left to drain */
#define H264_CORE_E_NULL (-3)     /* instance or picture pointer null */

/* Multi-threaded instances run this many workers; destruction waits this
   long for each before terminating it. */
#define H264_CORE_WORKER_THREADS 4
#define H264_CORE_WORKER_STOP_TIMEOUT_MS 5000

#endif /* QVVDEC_H */
