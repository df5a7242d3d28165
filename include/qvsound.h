/*
 * QVPlaySDK sound output: the records and result codes of the per-player
 * sound output, which plays decoded PCM through a looping streaming buffer.
 */
#ifndef QVSOUND_H
#define QVSOUND_H

#include "qvtypes.h"

/* Record sizes (minimum sizes for SOUND_SETTING and SOUND_INPUT). */
#define SOUND_SETTING_SIZE ((uint32_t)sizeof(SOUND_SETTING))
#define SOUND_INPUT_SIZE ((uint32_t)sizeof(SOUND_INPUT))
#define SOUND_STATUS_SIZE ((uint32_t)sizeof(SOUND_STATUS))

/* Buffer length in milliseconds. */
#define SOUND_BUFFER_TIME_MIN 1500
#define SOUND_BUFFER_TIME_MAX 10000
#define SOUND_BUFFER_TIME_DEFAULT 2000
/* Queued milliseconds before a stopped buffer starts playing. */
#define SOUND_START_THRESHOLD_MAX 1000
#define SOUND_START_THRESHOLD_DEFAULT 200
#define SOUND_START_THRESHOLD_STREAM 400 /* stream players queue more */
/* Smallest buffer in bytes, whatever the length asked for. */
#define SOUND_BUFFER_BYTES_MIN 4
/* Notifications at each quarter of the buffer. */
#define SOUND_NOTIFY_COUNT 4

/* The only format played: what every audio decoder produces. */
#define SOUND_FORMAT_TAG 1 /* WAVE_FORMAT_PCM */
#define SOUND_CHANNELS 1
#define SOUND_SAMPLES_PER_SEC 8000
#define SOUND_BITS_PER_SAMPLE 16
#define SOUND_BLOCK_ALIGN 2
#define SOUND_AVG_BYTES_PER_SEC 16000

/* Volume on a linear scale, mapped to an attenuation in hundredths of a
   decibel: 1000 * log10(v / 65535), never below SOUND_ATTENUATION_SILENT. */
#define SOUND_VOLUME_MAX 65535
#define SOUND_ATTENUATION_SILENT (-10000)
#define SOUND_ATTENUATION_NONE 0

/* Speed factors followed by changing the buffer frequency; outside this range
   the player passes no audio. A factor this close to 1 plays at the format's
   own rate. */
#define SOUND_SPEED_MIN 0.5f
#define SOUND_SPEED_MAX 2.0f
#define SOUND_SPEED_EPSILON 0.00001f

/* Result codes of the sound output. */
#define SOUND_OK 0
#define SOUND_E_FAIL ((int32_t)0x92A10001)           /* event or wait could not be created */
#define SOUND_E_NOT_AVAILABLE ((int32_t)0x92A10002)  /* sound system not available */
#define SOUND_E_INVALID_VALUE ((int32_t)0x92A10010)  /* value out of range, or block longer than the buffer  \
                                                      */
#define SOUND_E_INVALID_OBJECT ((int32_t)0x92A10012) /* null manager */
#define SOUND_E_NULL_POINTER ((int32_t)0x92A10013)   /* null record, data or out pointer */
#define SOUND_E_BAD_SIZE ((int32_t)0x92A10014)       /* record too small */
#define SOUND_E_BAD_FORMAT ((int32_t)0x92A10015)     /* format not PCM */
#define SOUND_E_BAD_VOLUME ((int32_t)0x92A10016)     /* volume above 65535 */
#define SOUND_E_BAD_SPEED ((int32_t)0x92A10017)      /* speed factor outside 0.5..2.0 */
#define SOUND_E_NO_ROOM ((int32_t)0x92A10020)        /* buffer too full now; retry later */

/* How a sound output is opened; the player fills it from its defaults. */
typedef struct tagSOUND_SETTING {
    uint32_t dwSize;           /* at least SOUND_SETTING_SIZE */
    uint32_t dwBufferTime;     /* ms, SOUND_BUFFER_TIME_MIN..MAX */
    uint32_t dwStartThreshold; /* ms, 0..SOUND_START_THRESHOLD_MAX */
    const GUID *pDeviceGuid;   /* sound device, or null for the default one */
    uint32_t dwReserved[2];
    WAVEFORMATEX wfx; /* wFormatTag must be SOUND_FORMAT_TAG */
    uint8_t abyPadding[6];
} SOUND_SETTING;

/* One block of PCM to queue. */
typedef struct tagSOUND_INPUT {
    uint32_t dwSize;   /* at least SOUND_INPUT_SIZE */
    uint32_t dwLength; /* bytes at pData, not 0 */
    const uint8_t *pData;
    uint32_t dwReserved;
} SOUND_INPUT;

/* State of the sound output's buffer. */
typedef struct tagSOUND_STATUS {
    uint32_t dwSize;        /* SOUND_STATUS_SIZE */
    uint32_t bPlaying;      /* 1 while the buffer plays */
    uint32_t dwQueuedBytes; /* written but not yet played */
    uint32_t dwQueuedTime;  /* the same in milliseconds */
    uint32_t dwReserved[2];
} SOUND_STATUS;

#endif /* QVSOUND_H */
