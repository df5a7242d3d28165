/*
 * QVPlaySDK voice codec library: narrow-band (8000 samples per second, 16-bit)
 * voice frames in G.711, IMA ADPCM and G.726, as the recorders' audio chips
 * produce them.
 *
 * The library keeps no global state. Every call works on a state block owned
 * by the caller: HI_VOICE_STATE_SIZE bytes for one encoder or decoder,
 * HI_VOICE_TRANSCODE_STATE_SIZE bytes for a transcoder. Reset a state with a
 * codec id, then pass any number of frames through it; reset it again to
 * change codec. A state block must not be used by two threads at once.
 */
#ifndef QVVOICE_H
#define QVVOICE_H

#include "qvtypes.h"

/* The text HI_VOICE_GetVersion copies, and the buffer size it needs. */
#define HI_VOICE_VERSION_STRING "HI_VOICE_VERSION=QV_VOICELIB_V1.0.0.0"
#define HI_VOICE_VERSION_SIZE 38 /* with the terminating zero */

/* Codec ids (16-bit), stored by the reset functions in the first 16-bit field
   of the state block. W is the payload length in 16-bit words. */
#define HI_VOICE_CODEC_G711A 1    /* A-law, one byte per sample: 2W samples */
#define HI_VOICE_CODEC_G711U 2    /* u-law, one byte per sample: 2W samples */
#define HI_VOICE_CODEC_ADPCM 3    /* IMA ADPCM, 4-byte block header, high nibble first: 4(W - 2) */
#define HI_VOICE_CODEC_G726_16K 4 /* G.726 2 bits per code, LSB first: 8W samples */
#define HI_VOICE_CODEC_G726_24K 5 /* 3 bits per code, LSB first: 16W / 3 samples */
#define HI_VOICE_CODEC_G726_32K 6 /* 4 bits per code, LSB first: 4W samples */
#define HI_VOICE_CODEC_G726_40K 7 /* 5 bits per code, LSB first: 16W / 5 samples */
#define HI_VOICE_CODEC_ADPCM_FIRST                                                                           \
    35 /* block header sample is output sample 0; low nibble first: 4(W - 2) + 1 */
#define HI_VOICE_CODEC_G726_16K_MSB 36 /* as 4 to 7, codes packed from the MSB of each byte down */
#define HI_VOICE_CODEC_G726_24K_MSB 37
#define HI_VOICE_CODEC_G726_32K_MSB 38
#define HI_VOICE_CODEC_G726_40K_MSB 39
#define HI_VOICE_CODEC_G711A_SWAP 65    /* as 1 with the two bytes of every word swapped */
#define HI_VOICE_CODEC_G711U_SWAP 66    /* as 2 with the two bytes of every word swapped */
#define HI_VOICE_CODEC_ADPCM_STREAM 67  /* no block header, coder runs on across frames: 4W */
#define HI_VOICE_CODEC_G726_16K_WORD 68 /* eight 2-bit codes per LE word from bits 15..14 down: 8W */
#define HI_VOICE_CODEC_MAX 68           /* ids above this are never valid */

/* Transcoder modes: each converts frames of an alternative packing into the
   standard one (decoder half id -> encoder half id). */
#define HI_VOICE_TRANSCODE_G711A 97     /* 65 -> 1 */
#define HI_VOICE_TRANSCODE_G711U 98     /* 66 -> 2 */
#define HI_VOICE_TRANSCODE_ADPCM 99     /* 67 -> 3 */
#define HI_VOICE_TRANSCODE_G726_16K 100 /* 68 -> 4 */
#define HI_VOICE_TRANSCODE_MIN 97
#define HI_VOICE_TRANSCODE_MAX 100

/* State blocks. A transcoder state is an encoder state followed, at
   HI_VOICE_TRANSCODE_DECODER_OFFSET bytes from its start, by a decoder state. */
#define HI_VOICE_STATE_SIZE 128
#define HI_VOICE_TRANSCODE_DECODER_OFFSET 2048
#define HI_VOICE_TRANSCODE_STATE_SIZE (HI_VOICE_TRANSCODE_DECODER_OFFSET + HI_VOICE_STATE_SIZE)

/* Voice frames. */
#define HI_VOICE_FRAME_HEADER_SIZE 4
#define HI_VOICE_FRAME_TYPE_MASK 0x03  /* frame type bits of byFrameType */
#define HI_VOICE_FRAME_TYPE_VOICE 1    /* the only frame type decoded */
#define HI_VOICE_FRAME_WORD0 0x0100    /* first little-endian word of an encoded frame */
#define HI_VOICE_MAX_PAYLOAD_WORDS 255 /* W is one byte */
#define HI_VOICE_MAX_FRAME_SIZE (HI_VOICE_FRAME_HEADER_SIZE + 2 * HI_VOICE_MAX_PAYLOAD_WORDS)
#define HI_VOICE_MAX_SAMPLES 481    /* samples one frame may carry */
#define HI_VOICE_SAMPLE_MULTIPLE 80 /* G.711 and G.726 frames hold a multiple of this */
#define HI_VOICE_SAMPLES_PER_SEC 8000
#define HI_VOICE_ADPCM_HEADER_SIZE 4 /* predicted sample (16), step index (8), spare */

/* Result codes. */
#define HI_VOICE_OK 0
#define HI_VOICE_E_NULL_BUFFER (-1)                          /* HI_VOICE_GetVersion: null buffer */
#define HI_VOICE_E_ENC_NOT_SUPPORTED ((int32_t)0xA1220001)   /* encoder codec id not supported */
#define HI_VOICE_E_ENC_SAMPLE_COUNT ((int32_t)0xA1220002)    /* encoder sample count outside 1..481 */
#define HI_VOICE_E_DEC_NOT_SUPPORTED ((int32_t)0xA1220011)   /* decoder codec id not supported */
#define HI_VOICE_E_DEC_FRAME_LENGTH ((int32_t)0xA1220012)    /* W zero or sample count not acceptable */
#define HI_VOICE_E_NOT_VOICE_FRAME ((int32_t)0xA1220013)     /* frame type is not 1 */
#define HI_VOICE_E_NULL_STATE ((int32_t)0xA1220101)          /* null state block */
#define HI_VOICE_E_NULL_INPUT ((int32_t)0xA1220102)          /* null input samples or frame */
#define HI_VOICE_E_NULL_OUTPUT ((int32_t)0xA1220103)         /* null output buffer or count */
#define HI_VOICE_E_TRANS_NULL_STATE ((int32_t)0xA1221001)    /* null transcoder state */
#define HI_VOICE_E_TRANS_NOT_SUPPORTED ((int32_t)0xA1221002) /* transcoder mode or id not supported */

/* Header of a voice frame; the payload of 2 * byLength bytes follows. */
typedef struct tagHI_VOICE_FRAME_HEADER {
    uint8_t byReserved0; /* 0 when encoded; not read */
    uint8_t byFrameType; /* bits 1..0: HI_VOICE_FRAME_TYPE_VOICE; bits 7..2 not read */
    uint8_t byLength;    /* payload length W in 16-bit words, 1..255 */
    uint8_t byReserved1; /* 0 when encoded; not read */
} HI_VOICE_FRAME_HEADER;

QV_BEGIN_DECLS

/* Copies HI_VOICE_VERSION_STRING with its zero into pszVersion (at least
   HI_VOICE_VERSION_SIZE bytes). 0, or -1 for a null buffer. */
int32_t QV_CALL HI_VOICE_GetVersion(char *pszVersion);

/* Prepares pState (HI_VOICE_STATE_SIZE bytes) as an encoder of nCodecId. */
int32_t QV_CALL HI_VOICE_EncReset(void *pState, int16_t nCodecId);

/* Prepares pState (HI_VOICE_STATE_SIZE bytes) as a decoder of nCodecId. */
int32_t QV_CALL HI_VOICE_DecReset(void *pState, int16_t nCodecId);

/* Encodes nSamples (1..481) samples into one voice frame at pFrame, which must
   hold HI_VOICE_FRAME_HEADER_SIZE bytes plus the payload. */
int32_t QV_CALL HI_VOICE_EncodeFrame(void *pState, const int16_t *pSamples, void *pFrame, int16_t nSamples);

/* Decodes one voice frame into pSamples (room for HI_VOICE_MAX_SAMPLES) and
   stores the sample count in *pnSamples (0 after a refused frame). */
int32_t QV_CALL HI_VOICE_DecodeFrame(void *pState, const void *pFrame, int16_t *pSamples, int16_t *pnSamples);

/* Prepares pState (HI_VOICE_TRANSCODE_STATE_SIZE bytes) for a
   HI_VOICE_TRANSCODE_... mode. */
int32_t QV_CALL HI_VOICE_TransCodeReset(void *pState, int16_t nMode);

/* Converts one frame of the alternative packing in place into the standard
   packing of the transcoder's mode. The buffer needs room for the converted
   frame: an ADPCM frame gains its 4-byte block header. */
int32_t QV_CALL HI_VOICE_TransCodeFrame(void *pState, void *pFrame);

QV_END_DECLS

#endif /* QVVOICE_H */
