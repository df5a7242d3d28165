/*
 * QVPlaySDK core API: one player per handle, created from an open record and
 * driven by four generic operations (controls, attributes, seeks, callbacks)
 * selected by small integer codes. Every function returns a 32-bit result:
 * 0 for success, a negative value for failure.
 *
 * The other exported families are front ends over these functions.
 */
#ifndef QVPLAY_H
#define QVPLAY_H

#include "qvaudio.h"
#include "qvdemux.h"
#include "qvtypes.h"
#include "qvvdec.h"

/* ---- Result codes (component 0x8AB5) ----
   Codes of the components (parser 0x8AB1, OSD renderer 0x8AB2, audio decoder
   0x8AB3, video decoder 0x8AB4, display 0x92A0, sound output 0x92A1) pass
   through unchanged unless noted here. */

#define PLAY_OK 0
/* An operating-system call failed, or a display or sound failure reported
   generically. */
#define PLAY_E_FAIL ((int32_t)0x8AB50001)
/* Not supported by this play mode or in this state; while opening: the data
   is not of a format this play mode handles. */
#define PLAY_E_NOT_SUPPORTED ((int32_t)0x8AB50002)
#define PLAY_E_INVALID_VALUE ((int32_t)0x8AB50010)    /* code or value out of range */
#define PLAY_E_INVALID_HANDLE ((int32_t)0x8AB50011)   /* not a live player, or being released */
#define PLAY_E_NULL_POINTER ((int32_t)0x8AB50012)     /* required pointer null */
#define PLAY_E_BAD_SIZE ((int32_t)0x8AB50013)         /* record size field wrong or buffer too small */
#define PLAY_E_BAD_PIXEL_FORMAT ((int32_t)0x8AB50014) /* not one of PLAY_PIXEL_FORMAT_... */
/* The snapshot buffer is too small; the size needed is written back. */
#define PLAY_E_BUFFER_TOO_SMALL ((int32_t)0x8AB50020)
#define PLAY_E_FILE_OPEN ((int32_t)0x8AB50021)     /* the file could not be opened */
#define PLAY_E_OUT_OF_MEMORY ((int32_t)0x8AB50022) /* an allocation failed */
#define PLAY_E_NO_FRAME ((int32_t)0x8AB50023)      /* nothing buffered to decode */
#define PLAY_E_BUFFER_FULL ((int32_t)0x8AB50024)   /* stream input has no room (parser queue full) */
/* Not now, retry later: a state change is in progress, the parser needs more
   data, the sound buffer is full or the display queue is full. */
#define PLAY_E_NOT_READY ((int32_t)0x8AB50025)
#define PLAY_E_INDEX_NOT_READY ((int32_t)0x8AB50026) /* the file index is not complete yet */
/* Nothing to go to: the index is empty, or no key frame is buffered. */
#define PLAY_E_NOT_FOUND ((int32_t)0x8AB50027)

/* ---- Play modes (PLAY_CREATE_PARAM.dwType, PLAY_ATTRIBUTE_MODE) ---- */

#define PLAY_MODE_FILE 1   /* a recording file by path */
#define PLAY_MODE_STREAM 2 /* data pushed with Play_InputData after a header block */

/* ---- Control codes (Play_SetControl) ---- */

#define PLAY_CONTROL_ENABLE 1    /* uint32_t PLAY_ENABLE_... flags */
#define PLAY_CONTROL_ACTION 2    /* uint32_t PLAY_ACTION_... */
#define PLAY_CONTROL_SPEED 3     /* float factor, clamped to PLAY_SPEED_MIN .. PLAY_SPEED_MAX */
#define PLAY_CONTROL_VOLUME 4    /* uint32_t, clamped to 0 .. PLAY_VOLUME_MAX */
#define PLAY_CONTROL_COLOR 5     /* PLAY_COLOR */
#define PLAY_CONTROL_CPU_LIMIT 6 /* int32_t percentage, clamped to PLAY_CPU_LIMIT_MIN .. MAX */
#define PLAY_CONTROL_FIRST 1
#define PLAY_CONTROL_LAST 6

/* Actions (value of PLAY_CONTROL_ACTION). */
#define PLAY_ACTION_STOP 1
#define PLAY_ACTION_PAUSE 2
#define PLAY_ACTION_PLAY_FORWARD 3
#define PLAY_ACTION_PLAY_BACKWARD 4 /* file players only */

/* Ranges of the controls. */
#define PLAY_SPEED_MIN 0.015625f /* 1/64; also what a NaN speed becomes */
#define PLAY_SPEED_MAX 64.0f
#define PLAY_SPEED_DEFAULT 1.0f
#define PLAY_VOLUME_MAX 65535u
#define PLAY_CPU_LIMIT_MIN 50
#define PLAY_CPU_LIMIT_MAX 100
#define PLAY_CPU_LIMIT_DEFAULT 100
#define PLAY_COLOR_MAX 127u
#define PLAY_COLOR_DEFAULT 64u /* leaves the picture unchanged */

/* ---- Enable flags (PLAY_CONTROL_ENABLE, PLAY_ATTRIBUTE_ENABLE) ----
   Each time the flags are set they are normalised, in this order:
   (1) DECODE_ON_DEMAND clears DISPLAY and SOUND and sets NO_CPU_LIMIT;
   (2) without VIDEO_DECODE: MULTITHREAD_DECODE, HARDWARE_DECODE,
       NO_CPU_LIMIT, RESET_ON_GAP and DISPLAY are cleared;
   (3) without AUDIO_DECODE: SOUND is cleared;
   (4) DISPLAY without DIRECT3D9 or DIRECTDRAW7 sets DIRECTDRAW7; without
       DISPLAY both are cleared;
   (5) without DIRECT3D9: D3D9_IMMEDIATE is cleared;
   (6) without SOUND: SOUND_SYNC is cleared. */

#define PLAY_ENABLE_VIDEO_DECODE 0x1u
#define PLAY_ENABLE_MULTITHREAD_DECODE 0x2u /* decoder may use several threads */
#define PLAY_ENABLE_HARDWARE_DECODE 0x4u    /* try the hardware decoder first */
#define PLAY_ENABLE_NO_CPU_LIMIT 0x8u       /* never throttle on processor load */
/* Recreate the video decoder when video sequence numbers skip (forward play). */
#define PLAY_ENABLE_RESET_ON_GAP 0x10u
#define PLAY_ENABLE_DISPLAY 0x100u        /* render into viewports */
#define PLAY_ENABLE_D3D9_IMMEDIATE 0x200u /* Direct3D 9 presents without waiting for retrace */
#define PLAY_ENABLE_DIRECT3D9 0x400u      /* Direct3D 9 back end */
#define PLAY_ENABLE_DIRECTDRAW7 0x800u    /* DirectDraw 7 back end */
#define PLAY_ENABLE_AUDIO_DECODE 0x1000u
#define PLAY_ENABLE_SOUND 0x2000u /* send decoded audio to the sound output */
/* A full sound buffer holds playback back instead of dropping audio. */
#define PLAY_ENABLE_SOUND_SYNC 0x4000u
/* No free-running playback: frames are pulled with Play_GetDecodeFrame and
   actions are refused. */
#define PLAY_ENABLE_DECODE_ON_DEMAND 0x10000000u

/* Flags after open: DirectDraw 7, or on Windows 6 and later Direct3D 9 with
   immediate presentation. */
#define PLAY_ENABLE_DEFAULT 0x3917u
#define PLAY_ENABLE_DEFAULT_NT6 0x3717u

/* ---- Attribute codes (Play_GetAttribute) ----
   Sizes in bytes after each; the buffer must be at least that large and the
   size is set to exactly that on success. 27 to 32 are component status
   records: zero apart from their size field while the component does not
   exist yet. */

#define PLAY_ATTRIBUTE_MODE 1                    /* 4: PLAY_MODE_... */
#define PLAY_ATTRIBUTE_ENABLE 2                  /* 4: PLAY_ENABLE_... as normalised */
#define PLAY_ATTRIBUTE_STATE 3                   /* 4: PLAY_STATE_... */
#define PLAY_ATTRIBUTE_PLAY_BACKWARD 4           /* 4: nonzero while playing backward */
#define PLAY_ATTRIBUTE_SPEED 5                   /* 4: float */
#define PLAY_ATTRIBUTE_VOLUME 6                  /* 4: 0 .. 65535 */
#define PLAY_ATTRIBUTE_COLOR 7                   /* 24: PLAY_COLOR */
#define PLAY_ATTRIBUTE_CPU_LIMIT 8               /* 4: percentage */
#define PLAY_ATTRIBUTE_FILE_INDEX_COMPLETED 9    /* 4: nonzero once the index is complete */
#define PLAY_ATTRIBUTE_FILE_ENDED 10             /* 4: nonzero once playback reached the end */
#define PLAY_ATTRIBUTE_PICTURE_WIDTH 11          /* 4: pixels */
#define PLAY_ATTRIBUTE_PICTURE_HEIGHT 12         /* 4: pixels */
#define PLAY_ATTRIBUTE_BUFFERED_FRAME_COUNT 13   /* 4: frames queued, not yet played */
#define PLAY_ATTRIBUTE_FILE_SIZE 14              /* 8: bytes */
#define PLAY_ATTRIBUTE_PLAY_DATA_SIZE 15         /* 8: bytes consumed */
#define PLAY_ATTRIBUTE_FILE_DURATION 16          /* 4: milliseconds */
#define PLAY_ATTRIBUTE_PLAY_DURATION 17          /* 4: milliseconds played */
#define PLAY_ATTRIBUTE_FILE_VIDEO_FRAME_COUNT 18 /* 4 */
#define PLAY_ATTRIBUTE_PLAY_VIDEO_FRAME_INDEX 19 /* 4: last played, from the first */
#define PLAY_ATTRIBUTE_KEY_FRAME_DISTANCE 20     /* 4: video frames per key frame */
#define PLAY_ATTRIBUTE_KEY_FRAME_INTERVAL 21     /* 4: milliseconds between key frames */
#define PLAY_ATTRIBUTE_VIDEO_FRAME_RATE 22       /* 4: float, frames per second */
#define PLAY_ATTRIBUTE_VIDEO_BITRATE 23          /* 4: float, kbit (1024 bits) per second */
#define PLAY_ATTRIBUTE_AUDIO_FRAME_RATE 24       /* 4: float, frames per second */
#define PLAY_ATTRIBUTE_AUDIO_BITRATE 25          /* 4: float, kbit (1024 bits) per second */
#define PLAY_ATTRIBUTE_DEMUX_PROPERTY 26         /* 80: StreamInfo as read at open */
#define PLAY_ATTRIBUTE_DEMUX_STATUS 27           /* 48: StreamStatistics */
#define PLAY_ATTRIBUTE_VDEC_STATUS 28            /* 32: DecoderInfo */
#define PLAY_ATTRIBUTE_OSD_STATUS 29             /* 24: OSD_STATUS */
#define PLAY_ATTRIBUTE_DISPLAY_STATUS 30         /* 48: DISPLAY_STATUS */
#define PLAY_ATTRIBUTE_ADEC_STATUS 31            /* 24: ADEC_STATUS */
#define PLAY_ATTRIBUTE_SOUND_STATUS 32           /* 24: SOUND_STATUS */
/* Accepted by Play_GetAttribute; every play mode answers PLAY_E_NOT_SUPPORTED. */
#define PLAY_ATTRIBUTE_RESERVED 33
#define PLAY_ATTRIBUTE_FIRST 1
#define PLAY_ATTRIBUTE_LAST 33

/* Play states (PLAY_ATTRIBUTE_STATE). 3 and 4 are requests that the play
   thread carries out; while the state is 3, 4 or 5 actions and seeks answer
   PLAY_E_NOT_READY. */
#define PLAY_STATE_IDLE 0 /* after open and after stop */
#define PLAY_STATE_PAUSED 1
#define PLAY_STATE_PLAYING 2
#define PLAY_STATE_PAUSE_REQUESTED 3
#define PLAY_STATE_SEEK_REQUESTED 4
#define PLAY_STATE_SEEK_ACKNOWLEDGED 5

/* ---- Seek kinds (Play_Seek; file players only) ---- */

#define PLAY_SEEK_RATIO 1 /* float fraction of the file, 0.0 <= value < 1.0 */
#define PLAY_SEEK_TIME 2  /* uint32_t milliseconds from the start, at most the duration */
#define PLAY_SEEK_INDEX 3 /* uint32_t video frame index, below the frame count */

/* ---- Callback kinds (Play_RegisterCallbackFunction) ---- */

#define PLAY_CALLBACK_FILE_INDEX_COMPLETED 1 /* PLAY_NOTIFY_CALLBACK; fires once per registration */
#define PLAY_CALLBACK_FILE_ENDED 2           /* PLAY_NOTIFY_CALLBACK */
#define PLAY_CALLBACK_BUFFER_ALMOST_EMPTY 3  /* PLAY_BUFFER_CALLBACK; dwParam: threshold */
#define PLAY_CALLBACK_STREAM_PARSE 4         /* PLAY_STREAM_PARSE_CALLBACK */
#define PLAY_CALLBACK_DECODE 5               /* PLAY_DECODE_CALLBACK; dwParam: pixel format */
#define PLAY_CALLBACK_DC_RENDER 6            /* PLAY_DC_RENDER_CALLBACK */
#define PLAY_CALLBACK_FIRST 1
#define PLAY_CALLBACK_LAST 6
#define PLAY_CALLBACK_COUNT 6

/* Largest buffer-almost-empty threshold, in queued frames. */
#define PLAY_BUFFER_THRESHOLD_MAX 150u

/* ---- Pixel formats (decode callback, Play_GetDecodeFrame) ----
   Only validated and stored: pictures are delivered in the decoder's own
   format (see DecodedPicture.dwFourCC). */

#define PLAY_PIXEL_FORMAT_DEFAULT 0u
#define PLAY_PIXEL_FORMAT_UYVY QV_FOURCC('U', 'Y', 'V', 'Y')
#define PLAY_PIXEL_FORMAT_YUY2 QV_FOURCC('Y', 'U', 'Y', '2')
#define PLAY_PIXEL_FORMAT_YV12 QV_FOURCC('Y', 'V', '1', '2')
#define PLAY_PIXEL_FORMAT_I420 QV_FOURCC('I', '4', '2', '0')
#define PLAY_PIXEL_FORMAT_NV12 QV_FOURCC('N', 'V', '1', '2')
#define PLAY_PIXEL_FORMAT_NV21 QV_FOURCC('N', 'V', '2', '1')
/* Two plain codes, accepted as they are. */
#define PLAY_PIXEL_FORMAT_CODE2 2u
#define PLAY_PIXEL_FORMAT_CODE3 3u

/* ---- Limits of the open record and of stream input ---- */

#define PLAY_STREAM_HEADER_MIN 64u /* bytes of a stream's header block */
#define PLAY_STREAM_HEADER_MAX 0x40000u
#define PLAY_INPUT_DATA_MAX 0x1000000u /* largest Play_InputData block (16 MiB) */

/* Values written by Play_GetVersion. */
#define PLAY_VERSION_NUMBER 1u
/* Build date: day 10 in the top byte, month 1, year 2012 (0x07DC) in the low
   16 bits. */
#define PLAY_VERSION_BUILD 0x0A0107DCu

/* ---- Records ---- */

QV_BEGIN_DECLS

/* Records of the display; only pointers to them appear here. */
struct tagPLAY_VIEWPORT;
struct tagPLAY_SNAPSHOT;
struct tagPLAY_DC_RENDER;

/* A player, as handed out by Play_CreateW. */
typedef struct tagPLAY_PLAYER *PLAY_HANDLE;

/* Open record of Play_CreateW. */
typedef struct tagPLAY_CREATE_PARAM {
    uint32_t dwSize; /* PLAY_CREATE_PARAM_SIZE */
    /* Bytes of a zero-filled block that the player keeps for the caller
       (Play_GetExtension); 0 for none. Front ends keep their own per-player
       data there. */
    uint32_t dwExtensionSize;
    /* Sound output device (16-byte identifier, copied at open); null for the
       default device. */
    const GUID *pSoundDevice;
    uint32_t dwReserved1; /* 0 */
    uint32_t dwReserved2; /* 0 */
    uint32_t dwType;      /* PLAY_MODE_... */
    /* File: the path, UTF-16, zero-terminated. Stream: the stream's header
       bytes, not null. */
    const void *pSource;
    /* Stream only: bytes at pSource, PLAY_STREAM_HEADER_MIN to _MAX. */
    uint32_t dwSourceSize;
} PLAY_CREATE_PARAM;

/* Written by Play_GetVersion. */
typedef struct tagPLAY_VERSION {
    uint32_t dwVersion; /* PLAY_VERSION_NUMBER */
    uint32_t dwBuild;   /* PLAY_VERSION_BUILD */
} PLAY_VERSION;

/* One frame on its way through the pipeline: the parser's frame record and,
   once decoded, its picture or PCM. The decode callback receives one, and
   Play_GetDecodeFrame hands out copies that go back with
   Play_FreeDecodeFrame. */
typedef struct tagPLAY_FRAME {
    uint32_t dwDuration;     /* milliseconds; 0 until computed */
    uint32_t dwPresentDelay; /* microseconds; 0 until computed, or not to be shown */
    uint32_t dwReserved[3];  /* 0 */
    FrameRecord *pFrame;     /* the parser's record; null when the slot is empty */
    /* Decoded output of a video frame (types 2 to 5) or an audio frame. */
    union {
        DecodedPicture picture;
        ADEC_OUTPUT audio;
    } output;
} PLAY_FRAME;

/* Callback functions. Each receives the player handle first and the
   registration's context last; the result is ignored. A callback must not
   release its own player (the release would wait for the callback). */

/* PLAY_CALLBACK_FILE_INDEX_COMPLETED, PLAY_CALLBACK_FILE_ENDED. */
typedef int32_t(QV_CALL *PLAY_NOTIFY_CALLBACK)(PLAY_HANDLE hPlay, void *pContext);
/* PLAY_CALLBACK_BUFFER_ALMOST_EMPTY: frames still queued in the parser. */
typedef int32_t(QV_CALL *PLAY_BUFFER_CALLBACK)(PLAY_HANDLE hPlay, uint32_t dwQueued, void *pContext);
/* PLAY_CALLBACK_STREAM_PARSE: every frame the parser delivers, before decoding. */
typedef int32_t(QV_CALL *PLAY_STREAM_PARSE_CALLBACK)(PLAY_HANDLE hPlay, FrameRecord *pFrame, void *pContext);
/* PLAY_CALLBACK_DECODE: every frame that was decoded into a picture or PCM. */
typedef int32_t(QV_CALL *PLAY_DECODE_CALLBACK)(PLAY_HANDLE hPlay, PLAY_FRAME *pFrame, void *pContext);
/* PLAY_CALLBACK_DC_RENDER: on the display thread, after a picture was drawn
   into a viewport; the device context is valid during the call only. */
typedef int32_t(QV_CALL *PLAY_DC_RENDER_CALLBACK)(PLAY_HANDLE hPlay, struct tagPLAY_DC_RENDER *pRender,
                                                  void *pContext);

/* The registered function, whatever its kind: cast one of the types above
   to it, and back to the kind's type before calling. */
typedef void(QV_CALL *PLAY_CALLBACK_FUNCTION)(void);

/* Callback registration record. */
typedef struct tagPLAY_CALLBACK_PARAM {
    PLAY_CALLBACK_FUNCTION pfnCallback; /* null disables the callback */
    void *pContext;                     /* handed back as the callback's last argument */
    /* PLAY_CALLBACK_BUFFER_ALMOST_EMPTY: threshold in queued frames, 0 to
       PLAY_BUFFER_THRESHOLD_MAX; PLAY_CALLBACK_DECODE: PLAY_PIXEL_FORMAT_...;
       other kinds: not read. */
    uint32_t dwParam;
    uint32_t dwReserved; /* stored, not interpreted */
} PLAY_CALLBACK_PARAM;

/* Record sizes, checked before anything else. The records that hold a
   pointer grow in 64-bit builds; the sizes are those of the build. */
#define PLAY_CREATE_PARAM_SIZE ((uint32_t)sizeof(PLAY_CREATE_PARAM))
#define PLAY_CALLBACK_PARAM_SIZE ((uint32_t)sizeof(PLAY_CALLBACK_PARAM))
#define PLAY_VERSION_SIZE ((uint32_t)sizeof(PLAY_VERSION))
#define PLAY_FRAME_SIZE ((uint32_t)sizeof(PLAY_FRAME))

/* ---- Functions ---- */

/* Creates a player. Nothing is written for a null pointer or a wrong record
   size; any later failure stores a null handle. */
int32_t QV_CALL Play_CreateW(PLAY_HANDLE *phPlay, const PLAY_CREATE_PARAM *pParam);
/* Waits until no other call uses the handle, then destroys the player. */
int32_t QV_CALL Play_Release(PLAY_HANDLE hPlay);
/* The extension block asked for at open. */
int32_t QV_CALL Play_GetExtension(PLAY_HANDLE hPlay, void **ppExtension);
int32_t QV_CALL Play_SetControl(PLAY_HANDLE hPlay, uint32_t dwCode, const void *pValue, uint32_t dwSize);
/* *pdwSize: in, bytes at pBuffer; out, the attribute's size. */
int32_t QV_CALL Play_GetAttribute(PLAY_HANDLE hPlay, uint32_t dwCode, void *pBuffer, uint32_t *pdwSize);
int32_t QV_CALL Play_AddViewport(PLAY_HANDLE hPlay, const struct tagPLAY_VIEWPORT *pViewport);
int32_t QV_CALL Play_RemoveViewport(PLAY_HANDLE hPlay, uint32_t dwID);
/* A null array asks for the number of viewports; otherwise up to *pdwCount
   are copied and *pdwCount receives the number copied. */
int32_t QV_CALL Play_GetViewport(PLAY_HANDLE hPlay, struct tagPLAY_VIEWPORT *pViewports, uint32_t *pdwCount);
int32_t QV_CALL Play_SnapPicture(PLAY_HANDLE hPlay, struct tagPLAY_SNAPSHOT *pSnapshot);
/* Stream players: the next block of the stream (1 to PLAY_INPUT_DATA_MAX bytes). */
int32_t QV_CALL Play_InputData(PLAY_HANDLE hPlay, const void *pData, uint32_t dwLength);
/* With PLAY_ENABLE_DECODE_ON_DEMAND: the next decoded frame, owned by the
   caller until Play_FreeDecodeFrame. */
int32_t QV_CALL Play_GetDecodeFrame(PLAY_HANDLE hPlay, uint32_t dwPixelFormat, PLAY_FRAME **ppFrame);
int32_t QV_CALL Play_FreeDecodeFrame(PLAY_HANDLE hPlay, PLAY_FRAME *pFrame);
int32_t QV_CALL Play_Seek(PLAY_HANDLE hPlay, uint32_t dwKind, const void *pValue, uint32_t dwSize);
/* A null record clears the kind's registration. */
int32_t QV_CALL Play_RegisterCallbackFunction(PLAY_HANDLE hPlay, uint32_t dwKind,
                                              const PLAY_CALLBACK_PARAM *pParam, uint32_t dwSize);
/* Needs no player. */
int32_t QV_CALL Play_GetVersion(PLAY_VERSION *pVersion);

QV_END_DECLS

#endif /* QVPLAY_H */
