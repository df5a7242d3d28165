/*
 * QVPlaySDK container parsing: the records that cross the parser boundary
 * (input blocks, stream description, frame records, statistics), the
 * on-screen-display items that frames carry, and the parser's codes.
 *
 * A parser recognises one of five container generations from the first block
 * of a file or stream, then turns the bytes given to it into a queue of
 * self-contained frame records.
 */
#ifndef QVDEMUX_H
#define QVDEMUX_H

#include "qvtypes.h"

/* ---- Result codes (component 0x8AB1) ---- */

#define DEMUX_OK 0
#define DEMUX_E_FAIL ((int32_t)0x8AB10001) /* 6000 generation: not this container */
/* Not this container, operation not supported, or data given twice. */
#define DEMUX_E_NOT_SUPPORTED ((int32_t)0x8AB10002)
#define DEMUX_E_INVALID_VALUE ((int32_t)0x8AB10010)  /* length out of range */
#define DEMUX_E_INVALID_OBJECT ((int32_t)0x8AB10011) /* no parser */
#define DEMUX_E_NULL_POINTER ((int32_t)0x8AB10012)   /* required pointer null */
#define DEMUX_E_BAD_SIZE ((int32_t)0x8AB10013)       /* record size field wrong */
#define DEMUX_E_NO_FRAME ((int32_t)0x8AB10020)       /* no frame queued */
/* More than DEMUX_MAX_QUEUED_FRAMES frames wait: pull frames, then give the
   same block again (nothing of it was taken). */
#define DEMUX_E_QUEUE_FULL ((int32_t)0x8AB10021)

/* ---- Container generations (StreamInfo.dwGeneration) ---- */

#define DEMUX_GENERATION_15 1
#define DEMUX_GENERATION_6000 2
#define DEMUX_GENERATION_V10 10
#define DEMUX_GENERATION_V20 20
#define DEMUX_GENERATION_V30 30

/* ---- Frame types (FrameRecord.nType) ---- */

#define DEMUX_FRAME_UNKNOWN 0 /* a kind the parser does not map */
#define DEMUX_FRAME_AUDIO 1
#define DEMUX_FRAME_I 2 /* key frame: a decoder may start here */
#define DEMUX_FRAME_P 3
#define DEMUX_FRAME_OTHER_VIDEO 4 /* the third video kind, as the container marks it */
#define DEMUX_FRAME_DROPPABLE 5   /* video the player may skip under load */

/* ---- Codec ids (FrameRecord.dwCodec) ---- */

#define DEMUX_CODEC_UNKNOWN 0 /* container value not mapped; no decoder can be made */
/* Video codecs are numbered 1 to 6 as the containers state them. */
#define DEMUX_CODEC_VIDEO_1 1
#define DEMUX_CODEC_VIDEO_2 2
#define DEMUX_CODEC_H264 3
#define DEMUX_CODEC_VIDEO_4 4
#define DEMUX_CODEC_VIDEO_5 5
#define DEMUX_CODEC_VIDEO_6 6
#define DEMUX_CODEC_VIDEO_FIRST 1
#define DEMUX_CODEC_VIDEO_LAST 6
/* Audio codecs. */
#define DEMUX_CODEC_PCM8 2      /* signed 8-bit PCM */
#define DEMUX_CODEC_G711_ALAW 3 /* G.711 A-law */
#define DEMUX_CODEC_G722 4      /* G.722 */
#define DEMUX_CODEC_G726 5      /* G.726 in a voice-library frame */

/* ---- OSD items ---- */

#define DEMUX_OSD_TEXT 1   /* UTF-16 text */
#define DEMUX_OSD_BITMAP 2 /* one bit per pixel */
#define DEMUX_OSD_MOSAIC 3 /* privacy mask */

/* Mosaic item modes (first word of the body). */
#define DEMUX_OSD_MOSAIC_SOLID 0  /* a solid box in the colour that follows the mode */
#define DEMUX_OSD_MOSAIC_BLOCKS 1 /* drawn as a mosaic */

#define DEMUX_OSD_BODY_SIZE 2816
#define DEMUX_OSD_TEXT_MAX 128  /* code units of a text, the NUL included */
#define DEMUX_MAX_OSD_ITEMS 255 /* items copied onto one frame */

/* Styles of V30 time records, from which the clock text of each frame is
   formatted. Other values give an empty text. */
#define DEMUX_TIME_STYLE_YMD_HMS 0    /* 2012-03-04 00:05:09 */
#define DEMUX_TIME_STYLE_YMD_HMS_MS 1 /* 2012-03-04 00:05:09.000 */
#define DEMUX_TIME_STYLE_HMS 2        /* 00:05:09 */
#define DEMUX_TIME_STYLE_EN_LONG 3    /* Sun., Mar. 4, 2012, 00:05:09 */
#define DEMUX_TIME_STYLE_US_12H 4     /* 3/4/12 0:05:09 AM */
#define DEMUX_TIME_STYLE_CN 5         /* year, month, day and time with Chinese units */
#define DEMUX_TIME_STYLE_CN_WEEKDAY 6 /* the same with the Chinese weekday name */
#define DEMUX_TIME_STYLE_CN_12H 7     /* Chinese date, morning/afternoon and 12-hour time */
#define DEMUX_TIME_STYLE_COUNT 8

/* ---- Limits ---- */

#define DEMUX_MIN_FIRST_BLOCK 64         /* smallest block a container is recognised from */
#define DEMUX_FIRST_BLOCK_SIZE 0x40000   /* bytes a file player reads for recognition */
#define DEMUX_MAX_INPUT_LENGTH 0x1000000 /* largest block given at once (16 MiB) */
#define DEMUX_MAX_QUEUED_FRAMES 150      /* more queued frames refuse new input */
#define DEMUX_INPUT_BUFFER_SIZE 0x100000 /* the parser's input buffer */
/* A full input buffer without one complete frame keeps only its tail. */
#define DEMUX_RESYNC_KEEP 32768
/* Largest step between video time stamps added to the duration statistics. */
#define DEMUX_MAX_DURATION_STEP 1100

/* ---- Records ---- */

struct tagOsdItem;

/* A block of input. The parser copies the bytes before the call returns. */
typedef struct tagDemuxInput {
    uint32_t dwSize;      /* DEMUX_INPUT_SIZE */
    uint32_t dwLength;    /* bytes at pData */
    const uint8_t *pData; /* owned by the caller */
    uint32_t dwReserved;  /* written 0, not read */
} DemuxInput;

/* The container recognised when the parser opened. */
typedef struct tagStreamInfo {
    uint32_t dwSize;        /* DEMUX_STREAM_INFO_SIZE */
    uint32_t dwGeneration;  /* DEMUX_GENERATION_... */
    uint32_t dwReserved[2]; /* 0 */
    /* NUL-terminated ASCII name of the container ("ZEMASTREAMV30", ...);
       empty for the 6000 generation. */
    char szName[64];
} StreamInfo;

/* One demultiplexed frame. The record, its header-and-payload block and its
   OSD block belong to the parser's pool; whoever took the frame gives it back
   to the same parser. */
typedef struct tagFrameRecord {
    uint32_t dwSize;          /* DEMUX_FRAME_RECORD_SIZE */
    uint32_t dwHeaderLength;  /* bytes of the container frame header copied (0 for 6000 frames) */
    uint8_t *pHeader;         /* copy of the container frame header */
    uint32_t dwPayloadLength; /* bytes of compressed payload */
    uint8_t *pPayload;        /* elementary video or audio data, normally right behind the header */
    uint32_t dwReserved[2];   /* 0 */
    int32_t nType;            /* DEMUX_FRAME_... */
    uint32_t dwCodec;         /* DEMUX_CODEC_... */
    uint16_t wWidth;          /* picture size in pixels (video only) */
    uint16_t wHeight;
    /* Offset of the frame header from the first byte given to the parser
       since it was last reset. */
    uint64_t ullFileOffset;
    SYSTEMTIME stTime;            /* recording time; all zero where the container has none */
    uint32_t dwSequence;          /* container-specific counter or raw time word */
    uint32_t dwTimestamp;         /* presentation time in milliseconds on the container's clock */
    uint16_t wReserved;           /* 0 */
    uint8_t byRate;               /* 7-bit rate field of a V30 frame header; 0 elsewhere */
    uint8_t byOsdCount;           /* OSD items attached (video only) */
    struct tagOsdItem *pOsdItems; /* byOsdCount consecutive items; null when none */
} FrameRecord;

/* Parser counters since it opened or was last reset. */
typedef struct tagStreamStatistics {
    uint32_t dwSize;                 /* DEMUX_STATISTICS_SIZE */
    uint32_t dwAudioFrameCount;      /* frames of type DEMUX_FRAME_AUDIO */
    uint32_t dwIFrameCount;          /* DEMUX_FRAME_I */
    uint32_t dwPFrameCount;          /* DEMUX_FRAME_P */
    uint32_t dwOtherVideoFrameCount; /* DEMUX_FRAME_OTHER_VIDEO */
    uint32_t dwDroppableFrameCount;  /* DEMUX_FRAME_DROPPABLE */
    uint32_t dwVideoDuration;        /* accumulated video duration in milliseconds */
    uint32_t dwReserved1;
    uint64_t ullInputTime; /* microseconds spent taking input */
    uint32_t dwReserved2[2];
} StreamStatistics;

/* One on-screen-display item as the recorder sent it. Every byte that no
   field fills is zero. */
typedef struct tagOsdItem {
    uint32_t dwKind;     /* DEMUX_OSD_... */
    uint16_t wX;         /* left edge in picture pixels */
    uint16_t wY;         /* top edge in picture pixels */
    uint16_t wWidth;     /* bitmap and mosaic: pixels; text: 0 */
    uint16_t wHeight;    /* bitmap and mosaic: pixels; text: 0 */
    uint32_t dwReserved; /* 0 */
    union {
        /* Text: NUL-terminated, at most DEMUX_OSD_TEXT_MAX units with the NUL. */
        QV_WCHAR szText[DEMUX_OSD_BODY_SIZE / 2];
        /* Mosaic: DEMUX_OSD_MOSAIC_... and, for a solid box, its colour
           (zero from every container, so black). */
        struct {
            uint32_t dwMode;
            uint8_t abColor[3];
        } mosaic;
        /* Bitmap: one bit per pixel, rows of wWidth / 8 bytes, top row first. */
        uint8_t abBits[DEMUX_OSD_BODY_SIZE];
    } body;
} OsdItem;

/* Record sizes, checked before anything else. The records that hold a
   pointer grow in 64-bit builds; the sizes are those of the build. */
#define DEMUX_INPUT_SIZE ((uint32_t)sizeof(DemuxInput))
#define DEMUX_STREAM_INFO_SIZE ((uint32_t)sizeof(StreamInfo))
#define DEMUX_FRAME_RECORD_SIZE ((uint32_t)sizeof(FrameRecord))
#define DEMUX_STATISTICS_SIZE ((uint32_t)sizeof(StreamStatistics))
#define DEMUX_OSD_ITEM_SIZE ((uint32_t)sizeof(OsdItem))

#endif /* QVDEMUX_H */
