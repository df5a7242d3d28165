/*
 * QVPlaySDK audio frame decoders: codec types, the output and status records
 * and the result codes of the decoders.
 *
 * An audio decoder turns the payload of one audio frame into 16-bit linear
 * PCM, 8000 samples per second, mono. It is driven in two calls: once with no
 * output buffer to learn the size needed, then with a buffer of that size.
 */
#ifndef QVAUDIO_H
#define QVAUDIO_H

#include "qvtypes.h"

/* Audio codec types, as the container parsers put them into frame records. */
#define ADEC_CODEC_PCM8 2      /* signed 8-bit PCM, one byte per sample */
#define ADEC_CODEC_G711_ALAW 3 /* ITU-T G.711 A-law, one byte per sample */
#define ADEC_CODEC_G722 4      /* ITU-T G.722, 4 sample pairs in 3 bytes */
#define ADEC_CODEC_HI_G726 5   /* one voice-library frame, G.726 16 kbit/s */

/* What every decoder produces. */
#define ADEC_OUTPUT_CHANNELS 1
#define ADEC_OUTPUT_BITS_PER_SAMPLE 16
#define ADEC_OUTPUT_SAMPLES_PER_SEC 8000

/* Record sizes, checked before anything else. */
#define ADEC_OUTPUT_SIZE ((uint32_t)sizeof(ADEC_OUTPUT))
#define ADEC_STATUS_SIZE ((uint32_t)sizeof(ADEC_STATUS))

/* G.722: input comes in groups of 3 bytes that decode to 8 samples. */
#define ADEC_G722_GROUP_BYTES 3
#define ADEC_G722_GROUP_OUTPUT_BYTES 16
/* Size of the G.722 sub-band decoder state, allocated when the decoder opens. */
#define ADEC_G722_STATE_SIZE 160
/* Initial step sizes of the lower and upper sub-band (the ITU-T reset values). */
#define ADEC_G722_LOWER_INITIAL_STEP 32
#define ADEC_G722_UPPER_INITIAL_STEP 8
/* The receive QMF outputs are clamped to this range before they are stored. */
#define ADEC_G722_SAMPLE_MIN (-16384)
#define ADEC_G722_SAMPLE_MAX 16383

/* G.726 frames longer than this are refused, size queries included. */
#define ADEC_G726_MAX_INPUT 8192
/* A G.726 frame decodes to at most this many output bytes per input byte. */
#define ADEC_G726_OUTPUT_BYTES_PER_INPUT 8
/* The voice-library decoder state held inside the G.726 decoder. */
#define ADEC_G726_STATE_SIZE 128

/* Result codes of the audio decoders. */
#define ADEC_OK 0
#define ADEC_E_FAIL ((int32_t)0x8AB30001)             /* voice library failed, or G.726 input too long */
#define ADEC_E_NOT_SUPPORTED ((int32_t)0x8AB30002)    /* unknown codec type */
#define ADEC_E_INVALID_VALUE ((int32_t)0x8AB30010)    /* zero length, or G.722 length not a multiple of 3 */
#define ADEC_E_INVALID_OBJECT ((int32_t)0x8AB30011)   /* no decoder */
#define ADEC_E_NULL_POINTER ((int32_t)0x8AB30012)     /* required pointer null */
#define ADEC_E_BAD_SIZE ((int32_t)0x8AB30013)         /* output record size is not 32 */
#define ADEC_E_BUFFER_TOO_SMALL ((int32_t)0x8AB30020) /* the needed size is in dwBufferSize */

/* Output of one decode call. The caller sets dwSize, pBuffer and
   dwBufferSize; the decoder fills the format fields and the byte count. */
typedef struct tagADEC_OUTPUT {
    uint32_t dwSize;          /* ADEC_OUTPUT_SIZE */
    uint16_t wChannels;       /* written by the decoder: 1 */
    uint16_t wBitsPerSample;  /* written by the decoder: 16 */
    uint32_t dwSamplesPerSec; /* written by the decoder: 8000 */
    uint32_t dwReserved[3];   /* left untouched by the decoders */
    uint8_t *pBuffer;         /* PCM output, or null to ask for the size */
    uint32_t dwBufferSize;    /* in: capacity in bytes; out: bytes needed or written */
} ADEC_OUTPUT;

/* Decoder status: counters since the decoder was opened. */
typedef struct tagADEC_STATUS {
    uint32_t dwSize;        /* ADEC_STATUS_SIZE */
    uint32_t dwFrameCount;  /* frames decoded (size queries not counted) */
    uint64_t ullDecodeTime; /* microseconds spent decoding */
    uint32_t dwCodecType;   /* ADEC_CODEC_... */
    uint32_t dwReserved;
} ADEC_STATUS;

#endif /* QVAUDIO_H */
